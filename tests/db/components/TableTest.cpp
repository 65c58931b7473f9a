// The table component end to end on tables in a temporary folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

#include "db/components/EngineCursor.h"
//
#include "db/components/ZIZIVUTable.h"
#include "db/engine/DataFile.h"
#include "db/engine/DataSession.h"
#include "db/sql/QueryStatement.h"
#include "db/storage/Encodings.h"
#include "db/storage/Library.h"
#include "platform/framework/Filer.h"
#include "tests/support/EngineErrorCode.h"
#include "tests/support/ExpectError.h"
#include "tests/support/ForkChild.h"
#include "tests/support/ScratchDir.h"

namespace {

class TableTest : public ::testing::Test {
protected:
    void TearDown() override { FinalizeSessions(); }

    std::unique_ptr<TZIZIVUTable> NewTable(const std::string& name) {
        auto t = std::make_unique<TZIZIVUTable>(nullptr);
        t->SetDatabaseName(FDir);
        t->SetTableName(name);
        return t;
    }

    // People: ID (primary), Name (case-insensitive index), Amount BCD(2), Born, Notes.
    std::unique_ptr<TZIZIVUTable> CreatePeople() {
        auto t = NewTable("People");
        t->FieldDefs()->Add("ID", ftInteger, 0, true);
        t->FieldDefs()->Add("Name", ftString, 20);
        t->FieldDefs()->Add("Amount", ftBCD, 2);
        t->FieldDefs()->Add("Born", ftDate);
        t->FieldDefs()->Add("Notes", ftMemo);
        t->IndexDefs()->Add("", "ID", ixPrimary);
        t->IndexDefs()->Add("ByName", "Name", ixCaseInsensitive);
        t->CreateTable();
        t->FieldDefs()->Clear();
        t->IndexDefs()->Clear();
        return t;
    }

    static void AddPerson(TZIZIVUTable& t, int id, const std::string& name, const std::string& amount = "") {
        t.Append();
        t.FieldByName("ID")->SetAsInteger(id);
        t.FieldByName("Name")->SetAsString(name);
        if (!amount.empty()) t.FieldByName("Amount")->SetAsString(amount);
        t.Post();
    }

    static std::vector<std::string> Names(TZIZIVUTable& t) {
        std::vector<std::string> out;
        t.First();
        while (!t.Eof()) {
            out.push_back(t.FieldByName("Name")->AsString());
            t.Next();
        }
        return out;
    }

    TScratchDir FScratch{"table"};
    std::string FDir = FScratch.Path();
};

TEST_F(TableTest, CreatedTableIsNavigatedEditedAndDeleted) {
    auto t = CreatePeople();
    EXPECT_TRUE(t->TableExists());
    t->Open();
    ASSERT_EQ(5, t->FieldCount());
    EXPECT_EQ(ftBCD, t->FieldByName("Amount")->DataType());
    EXPECT_EQ(ftMemo, t->FieldByName("Notes")->DataType());
    EXPECT_TRUE(t->FieldByName("ID")->Required());
    EXPECT_EQ(0, t->RecordCount());
    AddPerson(*t, 3, "Carla", "12.35");
    AddPerson(*t, 1, "Anna");
    AddPerson(*t, 2, "Bruno");
    EXPECT_EQ(3, t->RecordCount());
    EXPECT_EQ((std::vector<std::string>{"Anna", "Bruno", "Carla"}), Names(*t));
    EXPECT_TRUE(t->Eof());
    t->Next();  // past the end: EOF, no exception
    EXPECT_TRUE(t->Eof());

    // BCD with 2 decimals: the stored form 12352 reads 12.35 and goes back unchanged.
    t->Last();
    EXPECT_EQ(3, t->RecNo());
    TField* amount = t->FieldByName("Amount");
    int64_t stored = 0;
    ASSERT_TRUE(amount->GetData(&stored));
    EXPECT_EQ(12352, stored);
    EXPECT_EQ("12.35", amount->AsString());
    t->Edit();
    amount->SetAsCurrency(amount->AsCurrency());
    t->Post();
    ASSERT_TRUE(amount->GetData(&stored));
    EXPECT_EQ(12352, stored);

    // Edit and bookmarks.
    t->First();
    t->Next();
    TBookmark bruno = t->Bookmark();
    t->Edit();
    t->FieldByName("Name")->SetAsString("Bruna");
    t->Post();
    t->First();
    TBookmark anna = t->Bookmark();
    EXPECT_EQ(-1, t->CompareBookmarks(anna, bruno));
    EXPECT_EQ(0, t->CompareBookmarks(TBookmark(), TBookmark()));
    t->GotoBookmark(bruno);
    EXPECT_EQ("Bruna", t->FieldByName("Name")->AsString());
    // A bookmark of another size (another table's, or taken under another index) names no
    // record here: refused, not read beyond its end.
    const TBookmark foreign = bruno + std::string(100, 'x');
    ExpectError([&] { t->GotoBookmark(foreign); }, SRecordNotFound);
    ExpectError([&] { t->CompareBookmarks(foreign, anna); }, SRecordNotFound);
    ExpectError([&] { t->CompareBookmarks(anna, bruno.substr(1)); }, SRecordNotFound);
    EXPECT_EQ("Bruna", t->FieldByName("Name")->AsString());
    t->Delete();
    EXPECT_EQ((std::vector<std::string>{"Anna", "Carla"}), Names(*t));

    // What was written is there for the next open.
    t->Close();
    t->Open();
    EXPECT_EQ((std::vector<std::string>{"Anna", "Carla"}), Names(*t));
    // A duplicate primary key is refused by the engine.
    t->Append();
    t->FieldByName("ID")->SetAsInteger(1);
    EXPECT_THROW(t->Post(), EZIZIVUEngineError);
    t->Cancel();
    EXPECT_EQ(2, t->RecordCount());
}

TEST_F(TableTest, IndexesRangesAndKeySearches) {
    auto t = CreatePeople();
    t->Open();
    int id = 1;
    for (const char* n : {"delta", "Alpha", "charlie", "Bravo", "echo"}) AddPerson(*t, id++, n);
    t->UpdateIndexDefs();
    ASSERT_EQ(2, t->IndexDefs()->Count());
    EXPECT_EQ(ixPrimary | ixUnique, t->IndexDefs()->Items(0)->Options());
    EXPECT_EQ("ID", t->IndexDefs()->Items(0)->Fields());
    EXPECT_EQ("ByName", t->IndexDefs()->Items(1)->Name());
    EXPECT_EQ(ixCaseInsensitive, t->IndexDefs()->Items(1)->Options());

    t->SetIndexFieldNames("Name");
    EXPECT_EQ("ByName", t->IndexDefs()->FindIndexForFields("Name")->Name());
    EXPECT_EQ((std::vector<std::string>{"Alpha", "Bravo", "charlie", "delta", "echo"}), Names(*t));
    t->SetRange({TVariant("b")}, {TVariant("d~")});
    EXPECT_EQ((std::vector<std::string>{"Bravo", "charlie", "delta"}), Names(*t));
    EXPECT_EQ(3, t->RecordCount());
    // Naming the active index again keeps its range, which can still be cancelled.
    t->SetIndexName("ByName");
    EXPECT_EQ(3, t->RecordCount());
    t->CancelRange();
    EXPECT_EQ(5, t->RecordCount());
    // The range edited field by field in the set-key state; a field outside the index may
    // be written there and plays no part in the key.
    t->SetRangeStart();
    EXPECT_EQ(dsSetKey, t->State());
    t->FieldByName("Name")->SetAsString("charlie");
    t->FieldByName("ID")->SetAsInteger(1);
    t->SetRangeEnd();
    t->FieldByName("Name")->SetAsString("ECHO");
    t->Cancel();  // the end stays as it was: open
    EXPECT_EQ(dsBrowse, t->State());
    t->ApplyRange();
    EXPECT_EQ((std::vector<std::string>{"charlie", "delta", "echo"}), Names(*t));
    t->CancelRange();
    EXPECT_TRUE(t->FindKey({TVariant("CHARLIE")}));
    EXPECT_EQ(3, t->FieldByName("ID")->AsInteger());
    EXPECT_FALSE(t->FindKey({TVariant("zulu")}));

    // Back to the primary index by name; the current record stays current.
    t->SetIndexName("");
    EXPECT_EQ("", t->IndexFieldNames());
    EXPECT_EQ(3, t->FieldByName("ID")->AsInteger());
    EXPECT_EQ((std::vector<std::string>{"delta", "Alpha", "charlie", "Bravo", "echo"}), Names(*t));
    t->SetRange({TVariant(int32_t(2))}, {TVariant(int32_t(4))});
    EXPECT_EQ((std::vector<std::string>{"Alpha", "charlie", "Bravo"}), Names(*t));
    t->First();
    EXPECT_EQ(1, t->RecNo());
    ExpectError([&] { t->SetIndexFieldNames("Born"); }, "No index for fields 'Born'");

    // Locate and Lookup through the index that serves the key field.
    t->CancelRange();
    EXPECT_TRUE(t->Locate("ID", TVariant(int32_t(4)), 0));
    EXPECT_EQ("Bravo", t->FieldByName("Name")->AsString());
    EXPECT_EQ("echo", t->Lookup("ID", TVariant(int32_t(5)), "Name").AsString());
    EXPECT_EQ("Bravo", t->FieldByName("Name")->AsString());
    EXPECT_TRUE(t->Lookup("ID", TVariant(int32_t(9)), "Name").IsNull());
}

// While a range is set, the index fields it spans hold still in the records it shows.
TEST_F(TableTest, ARangeLocksTheFieldsItSpansWhileEditing) {
    auto t = CreatePeople();
    t->Open();
    int id = 1;
    for (const char* n : {"Anna", "Bruno", "Carla"}) AddPerson(*t, id++, n);
    t->SetIndexName("ByName");
    t->SetRange({TVariant("b")}, {TVariant("c~")});
    t->First();
    t->Edit();
    ExpectError([&] { t->FieldByName("Name")->SetAsString("Zeno"); },
                "Field 'Name' is not indexed and cannot be modified");
    t->FieldByName("ID")->SetAsInteger(9);  // outside the index
    t->Post();
    EXPECT_EQ((std::vector<std::string>{"Bruno", "Carla"}), Names(*t));
    // A range on the primary index holds its field instead.
    t->SetIndexName("");
    t->SetRange({TVariant(int32_t(1))}, {TVariant(int32_t(3))});
    t->First();
    t->Edit();
    t->FieldByName("Name")->SetAsString("Anne");
    ExpectError([&] { t->FieldByName("ID")->SetAsInteger(7); },
                "Field 'ID' is not indexed and cannot be modified");
    t->Post();
    t->CancelRange();
    t->First();
    t->Edit();
    t->FieldByName("ID")->SetAsInteger(5);
    t->Post();
    EXPECT_EQ((std::vector<std::string>{"Carla", "Anne", "Bruno"}), Names(*t));
}

// A key buffer is a record image without a calculated area: a calculated field has no
// value in the set-key state and takes none.
TEST_F(TableTest, CalculatedFieldsStayOutOfKeyBuffers) {
    CreatePeople();
    TComponent owner(nullptr);
    auto t = NewTable("People");
    auto* idField = new TIntegerField(&owner);
    idField->SetFieldName("ID");
    idField->SetDataSet(t.get());
    auto* name = new TStringField(&owner);
    name->SetFieldName("Name");
    name->SetDataSet(t.get());
    auto* twice = new TIntegerField(&owner);
    twice->SetFieldName("Twice");
    twice->SetFieldKind(fkCalculated);
    twice->SetDataSet(t.get());
    t->OnCalcFields = [&](TDataSet*) { twice->SetAsInteger(idField->AsInteger() * 2); };
    t->Open();
    AddPerson(*t, 21, "Anna");
    EXPECT_EQ(42, twice->AsInteger());
    t->SetRangeStart();
    EXPECT_TRUE(twice->IsNull());
    ExpectError([&] { twice->SetAsInteger(1); }, "Field 'Twice' cannot be modified");
    t->Cancel();
    EXPECT_EQ(42, twice->AsInteger());
    t->Close();
}

// Values a field cannot hold, and fields that take no new value.
TEST_F(TableTest, ValuesAFieldCannotTakeAreRefused) {
    auto t = NewTable("Prices");
    t->FieldDefs()->Add("Code", ftString, 8);
    t->FieldDefs()->Add("Price", ftBCD, 4);
    t->CreateTable();
    t->FieldDefs()->Clear();
    t->Open();
    t->Append();
    t->FieldByName("Code")->SetAsString("A");
    t->FieldByName("Price")->SetAsString("1.2345");
    t->Post();
    // Four decimals of a hundred thousand billion need more digits than the stored form has.
    t->Edit();
    ExpectError([&] { t->FieldByName("Price")->SetAsCurrency(Currency::FromInt(100000000000000)); },
                "Value of field 'Price' is out of range");
    t->Post();
    EXPECT_EQ("1.2345", t->FieldByName("Price")->AsString());
    ExpectError([&] { t->FieldByName("Code")->SetNewValue(TVariant("B")); },
                "Field 'Code' cannot be modified");
    EXPECT_EQ("A", t->FieldByName("Code")->AsString());
}

TEST_F(TableTest, BlobsAreStreamedInAndOut) {
    auto t = CreatePeople();
    t->Open();
    const std::string text(3000, 'x');
    t->Append();
    t->FieldByName("ID")->SetAsInteger(1);
    t->FieldByName("Notes")->SetAsString(text + "end");
    t->Post();
    t->Close();
    t->Open();
    auto* notes = static_cast<TBlobField*>(t->FieldByName("Notes"));
    EXPECT_EQ(3003, notes->BlobSize());
    EXPECT_EQ(text + "end", notes->AsString());
    {
        std::unique_ptr<TStream> s = t->CreateBlobStream(notes, bmRead);
        EXPECT_EQ(3003, s->Seek(0, soEnd));
        s->Seek(-3, soEnd);
        char tail[4] = {};
        EXPECT_EQ(3, s->Read(tail, 10));
        EXPECT_STREQ("end", tail);
        ExpectError([&] { t->CreateBlobStream(notes, bmWrite); }, SNotEditing);
    }
    // Written through a stream, kept until the post; a cancel drops it.
    t->Edit();
    {
        std::unique_ptr<TStream> s = t->CreateBlobStream(notes, bmWrite);
        s->WriteBuffer("short", 5);
    }
    EXPECT_EQ("short", notes->AsString());
    t->Cancel();
    EXPECT_EQ(3003, notes->BlobSize());
    t->Edit();
    {
        std::unique_ptr<TStream> s = t->CreateBlobStream(notes, bmReadWrite);
        s->Seek(0, soEnd);
        s->WriteBuffer("!", 1);
    }
    // Positions beyond what a BLOB holds are not cut to 32 bits: nothing to read there, and
    // neither a write nor a new size is taken.
    {
        std::unique_ptr<TStream> s = t->CreateBlobStream(notes, bmReadWrite);
        const int64_t far = (int64_t(1) << 32) + 3;
        s->Seek(far, soBeginning);
        char got[4] = {};
        EXPECT_EQ(0, s->Read(got, 3));
        EXPECT_EQ(ZIZIVU_INVALIDBLOBLEN, RaisedCode([&] { s->SetSize(far + 2); }));
        s->Seek(INT64_MAX, soBeginning);
        EXPECT_EQ(INT64_MAX, s->Seek(10, soCurrent));  // not wrapped to the start
        for (int64_t at : {far, int64_t(INT32_MAX), INT64_MAX}) {
            s->Seek(at, soBeginning);
            EXPECT_EQ(ZIZIVU_INVALIDBLOBLEN, RaisedCode([&] { s->WriteBuffer("XY", 2); })) << at;
        }
    }
    EXPECT_EQ(text + "end!", notes->AsString());
    t->Post();
    t->Close();
    t->Open();
    EXPECT_EQ(text + "end!", t->FieldByName("Notes")->AsString());
    t->Edit();
    t->FieldByName("Notes")->Clear();
    t->Post();
    EXPECT_TRUE(t->FieldByName("Notes")->IsNull());
}

TEST_F(TableTest, DetailFollowsItsMaster) {
    auto people = CreatePeople();
    auto orders = NewTable("Orders");
    orders->FieldDefs()->Add("OrderID", ftInteger, 0, true);
    orders->FieldDefs()->Add("CustID", ftInteger);
    orders->FieldDefs()->Add("Item", ftString, 10);
    orders->IndexDefs()->Add("", "OrderID", ixPrimary);
    orders->IndexDefs()->Add("ByCust", "CustID", 0);
    orders->CreateTable();
    people->Open();
    AddPerson(*people, 1, "Anna");
    AddPerson(*people, 2, "Bruno");
    AddPerson(*people, 3, "Carla");
    orders->Open();
    int n = 1;
    for (int cust : {2, 1, 2, 3, 2}) {
        orders->Append();
        orders->FieldByName("OrderID")->SetAsInteger(n++);
        orders->FieldByName("CustID")->SetAsInteger(cust);
        orders->Post();
    }
    orders->Close();

    TDataSource source(nullptr);
    source.SetDataSet(people.get());
    orders->SetIndexFieldNames("CustID");
    orders->SetMasterSource(&source);
    orders->SetMasterFields("ID");
    orders->Open();
    auto ids = [&] {
        std::vector<int> out;
        orders->First();
        while (!orders->Eof()) {
            out.push_back(orders->FieldByName("OrderID")->AsInteger());
            orders->Next();
        }
        return out;
    };
    people->First();
    EXPECT_EQ((std::vector<int>{2}), ids());
    people->Next();
    EXPECT_EQ((std::vector<int>{1, 3, 5}), ids());
    people->Next();
    EXPECT_EQ((std::vector<int>{4}), ids());
    // A new detail record takes the master's key.
    orders->Append();
    EXPECT_EQ(3, orders->FieldByName("CustID")->AsInteger());
    orders->FieldByName("OrderID")->SetAsInteger(6);
    orders->Post();
    EXPECT_EQ((std::vector<int>{4, 6}), ids());
    // The master's key is held while a detail record is edited.
    orders->Edit();
    ExpectError([&] { orders->FieldByName("CustID")->SetAsInteger(1); },
                "Field 'CustID' is not indexed and cannot be modified");
    orders->FieldByName("Item")->SetAsString("lamp");
    orders->Post();
    // Without a master the whole table shows again.
    orders->SetMasterSource(nullptr);
    EXPECT_EQ(6, orders->RecordCount());
    ExpectError(
        [&] {
            TDataSource own(nullptr);
            own.SetDataSet(orders.get());
            orders->SetMasterSource(&own);
        },
        SCircularDataLink);
}

// Table components of several threads on the one session "Default": each open and close
// joins and leaves the shared database's list of datasets inside the session's section.
TEST_F(TableTest, ThreadsOpenAndCloseTheirTablesOnTheSharedSession) {
    CreatePeople();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&] {
            std::unique_ptr<TZIZIVUTable> table = NewTable("People");
            for (int i = 0; i < 60; ++i) try {
                    table->Open();
                    table->Close();
                } catch (...) {
                    ++failures;
                }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(0, DefaultSession()->FindDatabase(FDir)->ReferenceCount());
}

TEST_F(TableTest, NamesDefinitionsAndFailures) {
    auto t = std::make_unique<TZIZIVUTable>(nullptr);
    ExpectError([&] { t->Open(); }, "Missing table name.");
    // A table that cannot be opened lets go of its database again.
    auto missing = NewTable("Missing");
    EXPECT_THROW(missing->Open(), EZIZIVUEngineError);
    EXPECT_FALSE(missing->Active());
    EXPECT_EQ(nullptr, missing->Database());
    ASSERT_NE(nullptr, DefaultSession()->FindDatabase(FDir));
    EXPECT_EQ(0, DefaultSession()->FindDatabase(FDir)->ReferenceCount());
    t->SetTableName(FDir + "/People.DAT");
    EXPECT_EQ(FDir, t->DatabaseName());
    EXPECT_EQ("People.DAT", t->TableName());
    EXPECT_FALSE(t->TableExists());
    t->SetInMemory(true);
    EXPECT_EQ("Memory", t->DatabaseName());
    t->SetTableName("C:\\data\\Mem.DAT");
    EXPECT_EQ("Memory", t->DatabaseName());
    EXPECT_EQ("Mem.DAT", t->TableName());
    EXPECT_EQ("2.12", t->EngineVersion());

    // An in-memory table lives as long as the engine.
    t->FieldDefs()->Add("Code", ftString, 8);
    t->FieldDefs()->Add("Qty", ftSmallint);
    t->CreateTable();
    EXPECT_TRUE(t->TableExists());
    t->FieldDefs()->Clear();
    t->InitFieldDefs();
    ASSERT_EQ(2, t->FieldDefs()->Count());
    EXPECT_EQ(ftSmallint, t->FieldDefs()->Items(1)->DataType());
    EXPECT_EQ(8, t->FieldDefs()->Items(0)->Size());
    // Without a primary index the index definitions start with the first secondary one.
    t->UpdateIndexDefs();
    EXPECT_EQ(0, t->IndexDefs()->Count());
    t->Open();
    t->Append();
    t->FieldByName("Code")->SetAsString("A'B");
    t->FieldByName("Qty")->SetAsInteger(7);
    t->Post();
    EXPECT_EQ(1, t->RecordCount());
    ExpectError([&] { t->SetTableName("Other"); }, SDataSetOpen);

    // Definitions that no field could be opened with are refused before the table is
    // written, so the table of that name stays as it was.
    auto people = CreatePeople();
    people->Open();
    AddPerson(*people, 1, "Anna");
    people->Close();
    for (auto [type, size] : {std::pair{ftString, 0}, {ftBytes, 0}, {ftBCD, 5}}) {
        people->FieldDefs()->Clear();
        people->FieldDefs()->Add("ID", ftInteger, 0, true);
        people->FieldDefs()->Add("X", type, size);
        ExpectError([&] { people->CreateTable(); }, SInvalidFieldSize);
    }
    people->FieldDefs()->Clear();
    people->Open();
    EXPECT_EQ((std::vector<std::string>{"Anna"}), Names(*people));
}

TEST_F(TableTest, FiltersNarrowTheView) {
    auto t = CreatePeople();
    t->Open();
    AddPerson(*t, 1, "Anna", "10");
    AddPerson(*t, 2, "Bruno", "20");
    AddPerson(*t, 3, "Carla", "30");
    AddPerson(*t, 4, "dario", "40");
    t->SetFilter("Amount > 15");
    EXPECT_EQ(4, t->RecordCount());  // not filtered yet
    t->SetFiltered(true);
    EXPECT_EQ((std::vector<std::string>{"Bruno", "Carla", "dario"}), Names(*t));
    EXPECT_EQ(3, t->RecordCount());
    EXPECT_FALSE(t->IsSequenced());

    // The event filter is asked only about what the expression accepts.
    std::vector<int> asked;
    t->SetOnFilterRecord([&](TDataSet* ds, bool& accept) {
        int id = ds->FieldByName("ID")->AsInteger();
        asked.push_back(id);
        accept = id != 3;
    });
    EXPECT_EQ((std::vector<std::string>{"Bruno", "dario"}), Names(*t));
    EXPECT_EQ(asked.end(), std::find(asked.begin(), asked.end(), 1));
    // A new record is shown only when both filters take it.
    AddPerson(*t, 5, "Ezio", "50");
    AddPerson(*t, 6, "Fede", "5");
    EXPECT_EQ((std::vector<std::string>{"Bruno", "dario", "Ezio"}), Names(*t));

    // Off: everything; the search calls use the filters for their length only.
    t->SetFiltered(false);
    EXPECT_EQ(6, t->RecordCount());
    EXPECT_TRUE(t->IsSequenced());
    EXPECT_TRUE(t->FindFirst());
    EXPECT_EQ(2, t->FieldByName("ID")->AsInteger());
    EXPECT_TRUE(t->FindNext());
    EXPECT_EQ(4, t->FieldByName("ID")->AsInteger());
    EXPECT_TRUE(t->FindLast());
    EXPECT_EQ(5, t->FieldByName("ID")->AsInteger());
    EXPECT_FALSE(t->FindNext());
    EXPECT_EQ(6, t->RecordCount());

    t->SetOnFilterRecord(nullptr);
    t->SetFilterOptions(foCaseInsensitive);
    t->SetFilter("Name = 'D*'");
    t->SetFiltered(true);
    EXPECT_EQ((std::vector<std::string>{"dario"}), Names(*t));
    t->SetFilterOptions(0);
    EXPECT_TRUE(Names(*t).empty());
    ExpectError([&] { t->SetFilter("Name"); }, "filter expression must be a boolean expression");
    t->Close();
    // Set before the open, applied by it.
    t->SetFilter("ID <= 2");
    t->Open();
    EXPECT_EQ((std::vector<std::string>{"Anna", "Bruno"}), Names(*t));
}

TEST_F(TableTest, LocateAndLookupByFilterAndLookupCursor) {
    auto t = CreatePeople();
    t->Open();
    AddPerson(*t, 1, "Smith", "10");
    AddPerson(*t, 2, "O'Brien", "20");
    AddPerson(*t, 3, "smithers", "30");
    AddPerson(*t, 4, "Jones*", "20");
    t->First();
    t->Edit();
    t->FieldByName("Born")->SetAsDateTime(EncodeDate(1970, 5, 17));
    t->Post();
    auto at = [&] { return t->FieldByName("ID")->AsInteger(); };

    // Case-sensitive searches on Name are not served by its case-insensitive index.
    EXPECT_TRUE(t->Locate("Name", TVariant("O'Brien"), 0));
    EXPECT_EQ(2, at());
    EXPECT_TRUE(t->Locate("Name", TVariant("smi"), loPartialKey));
    EXPECT_EQ(3, at());
    EXPECT_TRUE(t->Locate("Name", TVariant("Jones*"), 0));  // the '*' is a character here
    EXPECT_EQ(4, at());
    EXPECT_FALSE(t->Locate("Name", TVariant("Jones"), 0));
    EXPECT_EQ(4, at());
    EXPECT_TRUE(t->Locate("Name", TVariant("Jon*"), loPartialKey));
    EXPECT_EQ(4, at());
    // Through the index: case-insensitive.
    EXPECT_TRUE(t->Locate("Name", TVariant("SMITH"), loCaseInsensitive | loPartialKey));
    EXPECT_EQ(1, at());
    EXPECT_TRUE(t->Locate("Name", TVariant("o'brien"), loCaseInsensitive));
    EXPECT_EQ(2, at());
    // Typed constants: BCD, several fields, dates and blanks.
    EXPECT_TRUE(t->Locate("Amount", TVariant(Currency::FromInt(30)), 0));
    EXPECT_EQ(3, at());
    EXPECT_TRUE(
        t->Locate("Amount;Name", TVariant(std::vector<TVariant>{TVariant(20.0), TVariant("Jones*")}), 0));
    EXPECT_EQ(4, at());
    EXPECT_TRUE(t->Locate("Born", TVariant::FromDateTime(EncodeDate(1970, 5, 17)), 0));
    EXPECT_EQ(1, at());
    EXPECT_TRUE(t->Locate("Born", TVariant::Null(), 0));
    EXPECT_EQ(2, at());

    // Lookup leaves the position alone, through the filter or the lookup cursor.
    t->SetIndexName("ByName");
    EXPECT_TRUE(t->Locate("ID", TVariant(int32_t(3)), 0));
    TVariant r = t->Lookup("Name", TVariant("O'Brien"), "ID;Amount");
    ASSERT_TRUE(r.IsArray());
    EXPECT_EQ(2, r[0].AsInteger());
    EXPECT_EQ(20.0, r[1].AsFloat());
    EXPECT_EQ("Jones*", t->Lookup("ID", TVariant(int32_t(4)), "Name").AsString());
    EXPECT_EQ("Smith", t->Lookup("ID", TVariant(int32_t(1)), "Name").AsString());
    EXPECT_EQ(3, at());
    t->Prior();
    EXPECT_EQ(1, at());  // index order: Smith, smithers
    // The lookup cursor sees the same filtered view.
    t->SetFilter("ID <> 4");
    t->SetFiltered(true);
    EXPECT_TRUE(t->Lookup("ID", TVariant(int32_t(4)), "Name").IsNull());
    EXPECT_EQ("O'Brien", t->Lookup("ID", TVariant(int32_t(2)), "Name").AsString());
}

TEST_F(TableTest, LocateOfAValueItsFieldCannotHoldIsRefusedAsFindKeyRefusesIt) {
    auto t = NewTable("Counts");
    t->FieldDefs()->Add("ID", ftInteger, 0, true);
    t->FieldDefs()->Add("W", ftWord);
    t->FieldDefs()->Add("S", ftSmallint);
    t->IndexDefs()->Add("", "ID", ixPrimary);
    t->CreateTable();
    t->Open();
    // Each row holds what a value out of its field's range would wrap to.
    int id = 1;
    for (auto [w, s] : std::vector<std::pair<int, int>>{{4464, -25536}, {65535, -1}}) {
        t->Append();
        t->FieldByName("ID")->SetAsInteger(id++);
        t->FieldByName("W")->SetAsInteger(w);
        t->FieldByName("S")->SetAsInteger(s);
        t->Post();
    }
    t->Last();
    // Through a filter (W, S) and through the primary index (ID), as FindKey refuses it.
    const struct {
        const char* field;
        int64_t value;
        const char* text;
    } cases[] = {
        {"W", 70000, "70000 is not a valid value for field 'W'. The allowed range is 0 to 65535"},
        {"W", -1, "-1 is not a valid value for field 'W'. The allowed range is 0 to 65535"},
        {"S", 40000, "40000 is not a valid value for field 'S'. The allowed range is -32768 to 32767"},
        {"ID", 4294967297LL, "Value of field 'ID' is out of range"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.field);
        ExpectError([&] { t->Locate(c.field, TVariant(c.value), 0); }, c.text);
        ExpectError([&] { t->Lookup(c.field, TVariant(c.value), "ID"); }, c.text);
        EXPECT_EQ(2, t->FieldByName("ID")->AsInteger());
    }
    ExpectError([&] { t->FindKey({TVariant(int64_t(4294967297LL))}); },
                "Value of field 'ID' is out of range");
    EXPECT_TRUE(t->Locate("W", TVariant(int32_t(4464)), 0));
    EXPECT_EQ(1, t->FieldByName("ID")->AsInteger());
}

TEST_F(TableTest, EditLocksTheRecordAgainstASecondTable) {
    auto a = CreatePeople();
    a->Open();
    AddPerson(*a, 1, "Anna");
    AddPerson(*a, 2, "Bruno");
    auto b = NewTable("People");
    b->Open();
    a->First();
    a->Edit();
    b->First();
    EXPECT_THROW(b->Edit(), EZIZIVUEngineError);
    EXPECT_EQ(dsBrowse, b->State());
    a->Cancel();
    b->Edit();
    b->FieldByName("Name")->SetAsString("Anne");
    b->Post();
    a->Refresh();
    EXPECT_EQ("Anne", a->FieldByName("Name")->AsString());

    // A post the engine refuses (a duplicate key) leaves the edit and its lock: the record
    // stays refused to the second table, and the edit can still be cancelled.
    a->First();
    a->Edit();
    a->FieldByName("ID")->SetAsInteger(2);
    EXPECT_THROW(a->Post(), EZIZIVUEngineError);
    EXPECT_EQ(dsEdit, a->State());
    b->First();
    EXPECT_THROW(b->Edit(), EZIZIVUEngineError);
    a->Cancel();
    EXPECT_EQ(dsBrowse, a->State());
    b->Edit();
    b->Cancel();
}

TEST_F(TableTest, CopyOnAppendRecordNumbersAndReadOnlyFiles) {
    auto t = CreatePeople();
    t->Open();
    AddPerson(*t, 1, "Anna", "1.5");
    AddPerson(*t, 2, "Bruno");
    t->SetCopyOnAppend(true);
    t->First();
    t->Insert();
    EXPECT_EQ("Anna", t->FieldByName("Name")->AsString());
    EXPECT_EQ("1.5", t->FieldByName("Amount")->AsString());
    EXPECT_EQ(-1, t->RecNo());
    t->FieldByName("ID")->SetAsInteger(3);
    t->Post();
    EXPECT_EQ(3, t->RecordCount());
    t->SetRecNo(2);
    EXPECT_EQ(2, t->RecNo());
    EXPECT_EQ("Bruno", t->FieldByName("Name")->AsString());
    t->Close();

    for (const auto& e : std::filesystem::directory_iterator(FDir))
        std::filesystem::permissions(e.path(),
                                     std::filesystem::perms::owner_read | std::filesystem::perms::group_read);
    t->Open();
    EXPECT_TRUE(t->ReadOnly());
    EXPECT_FALSE(t->CanModify());
    ExpectError([&] { t->Edit(); }, SDataSetReadOnly);
    EXPECT_EQ(3, t->RecordCount());
    t->Close();
    for (const auto& e : std::filesystem::directory_iterator(FDir))
        std::filesystem::permissions(e.path(), std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::add);
}

TEST_F(TableTest, ClosingADatabaseClosesItsTables) {
    CreatePeople();
    auto db = std::make_unique<TZIZIVUDatabase>(nullptr);
    db->SetDatabaseName("Data");
    db->SetDirectory(FDir);
    db->SetKeepConnection(false);
    auto t = std::make_unique<TZIZIVUTable>(nullptr);
    t->SetDatabaseName("Data");
    t->SetTableName("People");
    t->SetAutoDisplayLabels(true);
    t->Open();
    EXPECT_TRUE(db->Connected());
    EXPECT_EQ(db.get(), t->Database());
    db->Close();
    EXPECT_FALSE(t->Active());
    EXPECT_FALSE(db->Connected());
    EXPECT_EQ(nullptr, t->Database());
    // Without KeepConnection the database closes with its last table.
    t->Open();
    EXPECT_TRUE(db->Connected());
    t->Close();
    EXPECT_FALSE(db->Connected());
    t->Open();
    DefaultSession()->SetActive(false);
    EXPECT_FALSE(t->Active());
}

TEST_F(TableTest, TableOfAnotherSession) {
    CreatePeople()->Open();
    auto* reports = new TZIZIVUSession(nullptr);
    reports->SetSessionName("Reports");
    auto t = NewTable("People");
    t->SetSessionName("Reports");
    t->Open();
    EXPECT_TRUE(reports->Active());
    EXPECT_EQ(reports, t->Database()->Session());
    EXPECT_EQ(0, t->RecordCount());
    ExpectError([&] { t->SetSessionName("Default"); }, SDataSetOpen);
    // The session going away takes its tables' cursors with it.
    delete reports;
    EXPECT_FALSE(t->Active());
    EXPECT_EQ(nullptr, t->Database());
    ExpectError([&] { t->Open(); }, "Session name Reports is not valid.");
}

// A step from a record another process deleted goes to the record next to where it stood:
// back on that place the cursor stands on its neighbour already, which the step passed over.
TEST_F(TableTest, AStepFromARecordAnotherProcessDeletedMissesNoRow) {
    // The other process deletes the row whose ID it is sent, before this one opens anything.
    TForkChild other([&](TForkChild& link) {
        InitializeLibrary();
        for (char id; (id = link.Receive()) != 'Q';) {
            TDataSession session;
            TQueryStatement s(session.OpenDirectory("db", FDir));
            int32_t position = 0;
            s.Prepare(std::string("DELETE FROM People WHERE ID = ") + id, position);
            TDataCursor* result = nullptr;
            s.Execute(result);
            link.Send(s.GetRowsAffected() == 1 ? 'D' : 'N');
        }
        return 0;
    });
    auto remove = [&](char id) {
        other.Send(id);
        ASSERT_EQ(other.Receive(), 'D');
    };
    DefaultSession()->SetStrictChangeDetection(true);
    auto t = CreatePeople();
    t->Open();
    for (int id = 1; id <= 5; ++id) AddPerson(*t, id, "p" + std::to_string(id));
    t->Close();
    t->Open();
    for (t->First(); !t->Eof();) t->Next();
    remove('5');
    t->Prior();
    EXPECT_EQ(t->FieldByName("ID")->AsInteger(), 4);
    for (t->Last(); !t->Bof();) t->Prior();
    remove('1');
    t->Next();
    EXPECT_EQ(t->FieldByName("ID")->AsInteger(), 2);
    other.Send('Q');
    EXPECT_EQ(other.Wait(), 0);
}

// At design time an in-memory table is made from the field definitions for the open and
// dropped again at the close.
TEST_F(TableTest, DesignTimeInMemoryTableComesAndGoes) {
    auto t = std::make_unique<TZIZIVUTable>(nullptr);
    t->SetDesigning(true);
    t->SetInMemory(true);
    t->SetTableName("Scratch");
    ExpectError([&] { t->Open(); },
                "You must define at least one field before you can open an in-memory table at design-time");
    t->FieldDefs()->Add("N", ftInteger);
    t->Open();
    EXPECT_TRUE(t->TableExists());
    EXPECT_EQ(1, t->FieldCount());
    t->Close();
    EXPECT_FALSE(t->TableExists());
}

// A field marked hidden in its descriptor's working area has no field definition.
TEST_F(TableTest, HiddenFieldsAreLeftOut) {
    {
        TZIZIVUDatabase* db = DefaultSession()->OpenDatabase(FDir);
        TZIZIVUSessionLock lock(DefaultSession());
        TDataCursor c(db->Handle());
        c.SetTableName("Hidden");
        c.SetExclusive(true);
        std::vector<TFieldDescriptor> fields(3);
        const char* names[] = {"Shown", "Secret", "Last"};
        for (int i = 0; i < 3; ++i) {
            fields[size_t(i)].FieldNo = uint16_t(i + 1);
            fields[size_t(i)].Name = names[i];
            fields[size_t(i)].DataType = dtInteger;
        }
        fields[1].WorkArea[252 - 248] = 1;
        c.CreateTable(fields, std::vector<TIndexDescriptor>(1), TCreateTableOptions{});
        DefaultSession()->CloseDatabase(db);
    }
    auto t = NewTable("Hidden");
    t->Open();
    ASSERT_EQ(2, t->FieldCount());
    EXPECT_EQ("Last", t->Fields(1)->FieldName());
    EXPECT_EQ(3, t->Fields(1)->FieldNo());
    t->Append();
    t->FieldByName("Last")->SetAsInteger(9);
    t->Post();
    EXPECT_EQ(9, t->FieldByName("Last")->AsInteger());
    EXPECT_TRUE(t->FieldByName("Shown")->IsNull());
}

// With StoreDefs set, the definitions go into the stored form and come back from it.
TEST_F(TableTest, StoredDefinitionsComeBack) {
    auto t = NewTable("Stock");
    t->FieldDefs()->Add("ID", ftInteger, 0, true);
    t->FieldDefs()->Add("Name", ftString, 20);
    t->FieldDefs()->Add("Price", ftBCD, 2)->SetPrecision(20);
    t->FieldDefs()->Add("Notes", ftMemo);
    t->IndexDefs()->Add("", "ID", ixPrimary | ixUnique);
    t->IndexDefs()->Add("ByName", "Name;Price", ixCaseInsensitive | ixDescending);
    auto stored = [&] {
        TMemoryStream s;
        WriteComponentProperties(t.get(), s);
        return std::string(reinterpret_cast<const char*>(s.Memory()), size_t(s.Size()));
    };
    auto load = [](const std::string& bytes, TZIZIVUTable& into) {
        TMemoryStream s;
        s.WriteBuffer(bytes.data(), int64_t(bytes.size()));
        s.SetPosition(0);
        ReadComponentProperties(&into, s);
    };
    const std::string nothing(4, '\0');  // the end of an empty property block
    EXPECT_EQ(nothing, stored());
    t->SetStoreDefs(true);
    const std::string both = stored();

    TZIZIVUTable copy(nullptr);
    load(both, copy);
    EXPECT_TRUE(copy.StoreDefs());
    ASSERT_EQ(4, copy.FieldDefs()->Count());
    for (int i = 0; i < 4; ++i) {
        TFieldDef *a = t->FieldDefs()->Items(i), *b = copy.FieldDefs()->Items(i);
        EXPECT_EQ(a->Name(), b->Name());
        EXPECT_EQ(a->DataType(), b->DataType()) << a->Name();
        EXPECT_EQ(a->Size(), b->Size()) << a->Name();
        EXPECT_EQ(a->Required(), b->Required()) << a->Name();
        EXPECT_EQ(a->Precision(), b->Precision()) << a->Name();
    }
    ASSERT_EQ(2, copy.IndexDefs()->Count());
    EXPECT_EQ("ByName", copy.IndexDefs()->Items(1)->Name());
    EXPECT_EQ("Name;Price", copy.IndexDefs()->Items(1)->Fields());
    EXPECT_EQ(ixCaseInsensitive | ixDescending, copy.IndexDefs()->Items(1)->Options());
    EXPECT_EQ(ixPrimary | ixUnique, copy.IndexDefs()->Items(0)->Options());

    // An empty list is left out; so is everything without StoreDefs.
    t->IndexDefs()->Clear();
    const std::string fieldsOnly = stored();
    EXPECT_EQ(std::string::npos, fieldsOnly.find("IndexDefs"));
    EXPECT_NE(std::string::npos, fieldsOnly.find("FieldDefs"));
    t->SetStoreDefs(false);
    EXPECT_EQ(nothing, stored());

    // Stored definitions that make no sense are refused, and the old ones stay.
    auto defs = [](const std::string& prop, const std::vector<std::string>& item) {
        TMemoryStream s;
        TWriter w(s);
        w.WritePropName(prop);
        w.WriteListBegin();
        w.WriteListBegin();
        for (const std::string& v : item) w.WriteString(v);
        w.WriteListEnd();
        w.WriteListEnd();
        w.WritePropName("");
        return std::string(reinterpret_cast<const char*>(s.Memory()), size_t(s.Size()));
    };
    const std::string bad[] = {
        defs("FieldDefs", {"A", "Nothing", "0", "False", "0"}),
        defs("FieldDefs", {"A", "String", "-1", "False", "0"}),
        defs("FieldDefs", {"A", "String", "8", "maybe", "0"}),
        defs("FieldDefs", {"A", "String", "8"}),
        defs("IndexDefs", {"X", "A", "64"}),
        both.substr(0, both.size() - 9),
    };
    for (const std::string& b : bad) {
        EXPECT_ANY_THROW(load(b, copy));
        EXPECT_EQ(4, copy.FieldDefs()->Count());
        EXPECT_EQ(2, copy.IndexDefs()->Count());
    }
}

// Index descriptors take their flags from the options: the primary option alone does not
// make an index unique.
TEST_F(TableTest, IndexDescriptorsFollowTheOptions) {
    auto t = NewTable("Any");
    t->FieldDefs()->Add("ID", ftInteger);
    t->FieldDefs()->Add("Name", ftString, 20);
    const struct {
        TIndexOptions Options;
        const char* Fields;
        uint8_t Unique, CaseInsensitive, Descending;
        std::vector<uint16_t> Numbers;
    } rows[] = {
        {ixPrimary, "ID", 0, 0, 0, {1}},
        {ixPrimary | ixUnique, "ID", 1, 0, 0, {1}},
        {ixUnique | ixCaseInsensitive, "Name", 1, 1, 0, {2}},
        {ixDescending, "Name;ID", 0, 0, 1, {2, 1}},
    };
    for (const auto& r : rows) {
        TIndexDef def("Ix", r.Fields, r.Options);
        TIndexDescriptor d;
        t->ParseIndexFields(&def, d);
        EXPECT_EQ(r.Unique, d.Unique) << r.Fields << int(r.Options);
        EXPECT_EQ(r.CaseInsensitive, d.CaseInsensitive) << int(r.Options);
        EXPECT_EQ(r.Descending, d.Descending) << int(r.Options);
        EXPECT_EQ(r.Descending, d.FieldOptions[15]) << int(r.Options);
        ASSERT_EQ(r.Numbers.size(), d.FieldCount) << r.Fields;
        for (size_t i = 0; i < r.Numbers.size(); ++i) EXPECT_EQ(r.Numbers[i], d.FieldNumbers[i]) << r.Fields;
    }
    // A secondary index with the primary option keeps its duplicates.
    t->IndexDefs()->Add("", "ID", ixPrimary);
    t->IndexDefs()->Add("ByName", "Name", ixPrimary);
    t->CreateTable();
    t->Open();
    for (int id : {1, 2}) {
        t->Append();
        t->FieldByName("ID")->SetAsInteger(id);
        t->FieldByName("Name")->SetAsString("same");
        t->Post();
    }
    EXPECT_EQ(2, t->RecordCount());
}

// The restructure lists belong to the table and go with it, entries and all.
TEST_F(TableTest, RestructureListsBelongToTheTable) {
    auto t = NewTable("Any");
    EXPECT_EQ(t.get(), t->RestructureFieldDefs()->Owner());
    EXPECT_EQ(t.get(), t->RestructureIndexDefs()->Owner());
    EXPECT_EQ(0, t->RestructureFieldDefs()->Count());
    t->RestructureFieldDefs()->Add(TFieldDescriptor{})->Name = "Renamed";
    t->RestructureIndexDefs()->Add(TIndexDescriptor{});
    EXPECT_EQ("Renamed", t->RestructureFieldDefs()->Items(0)->Name);
    EXPECT_EQ(1, t->RestructureIndexDefs()->Count());
}

TEST_F(TableTest, TypesMapBothWays) {
    const struct {
        TFieldType Field;
        uint8_t Engine, Sub;
    } rows[] = {
        {ftString, dtString, 0},
        {ftCurrency, dtFloat, fstMoney},
        {ftAutoInc, dtInteger, fstAutoInc},
        {ftMemo, dtBlob, 22},
        {ftGraphic, dtBlob, 26},
        {ftFmtMemo, dtBlob, 24},
        {ftTypedBinary, dtBlob, 28},
        {ftDateTime, dtTimeStamp, 0},
        {ftWord, dtWord, 0},
        {ftVarBytes, dtVarBytes, 0},
        {ftLargeint, 18, 0},
        {ftDataSet, 23, 0},
    };
    for (const auto& r : rows) {
        uint8_t e = 0, s = 0;
        FieldTypeToEngine(r.Field, e, s);
        EXPECT_EQ(r.Engine, e) << FieldTypeName(r.Field);
        EXPECT_EQ(r.Sub, s) << FieldTypeName(r.Field);
        EXPECT_EQ(r.Field, EngineToFieldType(e, s)) << FieldTypeName(r.Field);
    }
    uint8_t e = 1, s = 1;
    FieldTypeToEngine(ftVariant, e, s);
    EXPECT_EQ(0, e);
    EXPECT_EQ(ftInteger, EngineToFieldType(dtLongWord, 0));
    for (uint8_t code : {0, 14, 16, 17, 24}) EXPECT_EQ(ftUnknown, EngineToFieldType(code, 0));
}

// A dataset whose descendant supplies no cursor, and one that shows its field definitions.
class TNoCursorDataSet : public TZIZIVUDataSet {
public:
    using TZIZIVUDataSet::TZIZIVUDataSet;
    void AddDef(const std::string& name, int no) {
        TFieldDescriptor d;
        d.Name = name;
        d.DataType = dtInteger;
        AddFieldDef(d, no);
    }
};

TEST_F(TableTest, DataSetWithoutCursorAndDuplicateFieldNames) {
    TNoCursorDataSet ds(nullptr);
    ExpectError([&] { ds.Open(); }, "Error creating table handle.");
    EXPECT_FALSE(ds.Active());
    ds.AddDef("Total", 1);
    ds.AddDef("Total", 2);
    ds.AddDef("Total", 3);
    ASSERT_EQ(3, ds.FieldDefs()->Count());
    EXPECT_EQ("Total_1", ds.FieldDefs()->Items(1)->Name());
    EXPECT_EQ("Total_2", ds.FieldDefs()->Items(2)->Name());
    EXPECT_EQ(3, ds.FieldDefs()->Items(2)->FieldNo());
}

}  // namespace
