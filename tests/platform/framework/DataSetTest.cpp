#include <gtest/gtest.h>

#include <cmath>

#include "platform/framework/Filer.h"
#include "platform/rtl/DateFormat.h"
#include "tests/platform/framework/MemoryDataSet.h"

namespace {

// Records what the dataset tells a link.
class TRecordingLink : public TDataLink {
public:
    std::vector<std::string> Events;

protected:
    void ActiveChanged() override { Events.push_back(Active() ? "active" : "inactive"); }
    void RecordChanged(TField* f) override { Events.push_back(f ? "field:" + f->FieldName() : "record"); }
    void DataSetScrolled(int) override { Events.push_back("scrolled"); }
    void CheckBrowseMode() override { Events.push_back("browse"); }
};

class DataSetTest : public ::testing::Test {
protected:
    void SetUp() override {
        ds = new TMemoryDataSet(&owner, {{"ID", ftInteger}, {"NAME", ftString, 10}, {"QTY", ftSmallint}});
        ds->SetName("People");
        ds->Open();
        const char* names[] = {"Anna", "bruno", "Carla", "Dario", "Elena"};
        for (int i = 0; i < 5; ++i) {
            ds->Append();
            ds->FieldByName("ID")->SetAsInteger(i + 1);
            ds->FieldByName("NAME")->SetAsString(names[i]);
            ds->FieldByName("QTY")->SetAsInteger(i * 10);
            ds->Post();
        }
        ds->First();
    }
    int Id() { return ds->FieldByName("ID")->AsInteger(); }
    std::vector<int> Ids() {
        std::vector<int> out;
        for (ds->First(); !ds->Eof(); ds->Next()) out.push_back(Id());
        return out;
    }

    TComponent owner{nullptr};
    TMemoryDataSet* ds = nullptr;
};

TEST_F(DataSetTest, NavigationStopsOnTheCracksWithoutRaising) {
    EXPECT_TRUE(ds->Bof());
    EXPECT_FALSE(ds->Eof());
    EXPECT_EQ(1, Id());
    ds->Prior();
    EXPECT_TRUE(ds->Bof());
    EXPECT_EQ(1, Id());
    EXPECT_EQ(4, ds->MoveBy(10));
    EXPECT_TRUE(ds->Eof());
    EXPECT_EQ(5, Id());
    ds->Next();
    EXPECT_TRUE(ds->Eof());
    EXPECT_EQ(5, Id());

    ds->Last();
    EXPECT_TRUE(ds->Eof());
    EXPECT_FALSE(ds->Bof());
    EXPECT_EQ(5, Id());
    EXPECT_EQ(-2, ds->MoveBy(-2));
    EXPECT_EQ(3, Id());
    EXPECT_EQ(3, ds->RecNo());
    EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 5}), Ids());
}

TEST_F(DataSetTest, EmptyDatasetIsOnBothCracks) {
    TMemoryDataSet empty(nullptr, {{"ID", ftInteger}});
    empty.Open();
    EXPECT_TRUE(empty.IsEmpty());
    EXPECT_TRUE(empty.Bof());
    EXPECT_TRUE(empty.Eof());
    empty.Last();
    EXPECT_TRUE(empty.Bof() && empty.Eof());
    EXPECT_TRUE(empty.FieldByName("ID")->IsNull());
    EXPECT_THROW(empty.Delete(), EDatabaseError);
    // Edit on an empty dataset starts an insert.
    empty.Edit();
    EXPECT_EQ(dsInsert, empty.State());
    empty.Cancel();
    EXPECT_TRUE(empty.IsEmpty());
}

TEST_F(DataSetTest, WindowOfBuffersFollowsTheLargestLink) {
    TDataSource src(nullptr);
    src.SetDataSet(ds);
    TRecordingLink grid;
    grid.SetBufferCount(3);
    grid.SetDataSource(&src);
    EXPECT_EQ(3, ds->BufferCount());
    ds->First();
    EXPECT_EQ(3, ds->BufferedRecordCount());
    std::vector<int> seen;
    while (!ds->Eof()) {
        seen.push_back(Id());
        ds->Next();
    }
    EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 5}), seen);
    EXPECT_EQ(2, grid.ActiveRecord());  // the last row of the window
    ds->Last();
    EXPECT_EQ(-4, ds->MoveBy(-4));
    EXPECT_FALSE(ds->Bof());
    EXPECT_EQ(0, ds->MoveBy(-1));
    EXPECT_EQ(1, Id());
    EXPECT_TRUE(ds->Bof());
    grid.SetDataSource(nullptr);
    EXPECT_EQ(1, ds->BufferCount());
    EXPECT_EQ(1, Id());
}

// An open that fails while it makes its record buffers (here the second of a grid's three,
// the heap out) raises and leaves the dataset closed, ready to open again.
TEST_F(DataSetTest, AnOpenThatCannotHaveItsBuffersStaysClosed) {
    TDataSource src(nullptr);
    src.SetDataSet(ds);
    TRecordingLink grid;
    grid.SetBufferCount(3);
    grid.SetDataSource(&src);
    ds->Close();
    for (int left : {0, 1}) {
        ds->BuffersLeft = left;
        EXPECT_THROW(ds->Open(), std::bad_alloc);
        EXPECT_FALSE(ds->Active());
        EXPECT_EQ(dsInactive, ds->State());
    }
    ds->BuffersLeft = -1;
    ds->Open();
    EXPECT_EQ(3, ds->BufferCount());
    EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 5}), Ids());
    grid.SetDataSource(nullptr);
}

TEST_F(DataSetTest, InsertAppendEditPostCancelDelete) {
    ds->MoveBy(2);  // Carla
    ds->Insert();
    EXPECT_EQ(dsInsert, ds->State());
    ds->FieldByName("ID")->SetAsInteger(10);
    ds->Post();
    EXPECT_EQ(10, Id());
    EXPECT_EQ((std::vector<int>{1, 2, 10, 3, 4, 5}), Ids());

    ds->First();
    ds->Edit();
    ds->FieldByName("NAME")->SetAsString("Annabella!!");  // cut to the field's size
    ds->Cancel();
    EXPECT_EQ("Anna", ds->FieldByName("NAME")->AsString());
    ds->Edit();
    ds->FieldByName("NAME")->SetAsString("Annabella!!");
    ds->Post();
    EXPECT_EQ("Annabella!", ds->FieldByName("NAME")->AsString());

    ds->Append();
    ds->FieldByName("ID")->SetAsInteger(99);
    ds->Cancel();
    EXPECT_EQ(6, ds->RecordCount());
    EXPECT_EQ(5, Id());  // back from the end crack

    ds->Locate("ID", 3, 0);
    ds->Delete();
    EXPECT_EQ(4, Id());  // the next record becomes current
    ds->Last();
    ds->Delete();
    EXPECT_EQ(4, Id());  // deleting the last moves back
    EXPECT_EQ((std::vector<int>{1, 2, 10, 4}), Ids());
}

TEST_F(DataSetTest, ScrollingPostsAModifiedRecordAndCancelsAnUntouchedInsert) {
    ds->Edit();
    ds->FieldByName("QTY")->SetAsInteger(7);
    ds->Next();
    EXPECT_EQ(dsBrowse, ds->State());
    ds->First();
    EXPECT_EQ(7, ds->FieldByName("QTY")->AsInteger());
    ds->Append();
    ds->First();
    EXPECT_EQ(5, ds->RecordCount());
}

TEST_F(DataSetTest, RefusedWritesRaise) {
    EXPECT_THROW(ds->FieldByName("ID")->SetAsInteger(3), EDatabaseError);  // browse state
    ds->Edit();
    EXPECT_THROW(ds->FieldByName("QTY")->SetAsInteger(40000), EDatabaseError);
    EXPECT_THROW(ds->FieldByName("QTY")->SetAsString("x"), EConvertError);
    ds->FieldByName("ID")->SetReadOnly(true);
    EXPECT_THROW(ds->FieldByName("ID")->SetAsInteger(3), EDatabaseError);
    ds->Cancel();
    ds->FReadOnly = true;
    try {
        ds->Edit();
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ("People: Cannot modify a read-only dataset", e.what());
    }
}

TEST_F(DataSetTest, RequiredFieldsAndPostErrorActions) {
    TMemoryDataSet req(nullptr, {{"ID", ftInteger, 0, true}, {"N", ftInteger}});
    req.Open();
    req.Append();
    req.FieldByName("N")->SetAsInteger(1);
    EXPECT_THROW(req.Post(), EDatabaseError);
    EXPECT_EQ(dsInsert, req.State());

    int calls = 0;
    req.OnPostError = [&](TDataSet* d, EDatabaseError&, TDataAction& a) {
        ++calls;
        d->FieldByName("ID")->SetAsInteger(5);
        a = daRetry;
    };
    req.Post();
    EXPECT_EQ(1, calls);
    EXPECT_EQ(5, req.FieldByName("ID")->AsInteger());

    req.Append();
    req.OnPostError = [](TDataSet*, EDatabaseError&, TDataAction& a) { a = daAbort; };
    EXPECT_THROW(req.Post(), EAbort);
}

TEST_F(DataSetTest, BookmarksReturnToTheirRecord) {
    ds->MoveBy(3);
    TBookmark dario = ds->Bookmark();
    ds->First();
    TBookmark anna = ds->Bookmark();
    ASSERT_EQ(4u, dario.size());
    EXPECT_TRUE(ds->BookmarkValid(dario));
    EXPECT_EQ(-1, ds->CompareBookmarks(anna, dario));
    EXPECT_EQ(1, ds->CompareBookmarks(dario, anna));
    EXPECT_EQ(0, ds->CompareBookmarks("", ""));
    EXPECT_EQ(-1, ds->CompareBookmarks("", anna));
    EXPECT_EQ(1, ds->CompareBookmarks(anna, ""));
    ds->GotoBookmark(dario);
    EXPECT_EQ(4, Id());
    ds->Delete();
    EXPECT_FALSE(ds->BookmarkValid(dario));
    EXPECT_THROW(ds->GotoBookmark(dario), EDatabaseError);
}

TEST_F(DataSetTest, FilterRecordHidesRowsAndFindWalksTheFilter) {
    ds->SetOnFilterRecord([](TDataSet* d, bool& accept) {
        EXPECT_EQ(dsFilter, d->State());
        accept = d->FieldByName("QTY")->AsInteger() % 20 == 0;
    });
    EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 5}), Ids());  // not yet filtered
    ds->SetFiltered(true);
    ds->First();
    EXPECT_EQ((std::vector<int>{1, 3, 5}), Ids());
    ds->SetFiltered(false);
    ds->First();
    EXPECT_TRUE(ds->FindNext());
    EXPECT_EQ(3, Id());
    EXPECT_TRUE(ds->FindLast());
    EXPECT_EQ(5, Id());
    EXPECT_FALSE(ds->FindNext());
    EXPECT_FALSE(ds->Found());
    EXPECT_TRUE(ds->FindFirst());
    EXPECT_EQ(1, Id());
}

TEST_F(DataSetTest, LocateAndLookup) {
    struct Case {
        const char* fields;
        TVariant values;
        TLocateOptions options;
        int expectId;  // 0 = not found
    };
    const Case cases[] = {
        {"NAME", TVariant("Carla"), 0, 3},
        {"NAME", TVariant("carla"), 0, 0},
        {"NAME", TVariant("carla"), loCaseInsensitive, 3},
        {"NAME", TVariant("Da"), loPartialKey, 4},
        {"name", TVariant("BR"), loPartialKey | loCaseInsensitive, 2},
        {"ID;QTY", TVariant(std::vector<TVariant>{4, 30}), 0, 4},
        {"ID;QTY", TVariant(std::vector<TVariant>{4, 31}), 0, 0},
        {"QTY", TVariant(40.0), 0, 5},
    };
    for (const Case& c : cases) {
        ds->First();
        ds->Next();  // stand on bruno
        bool found = ds->Locate(c.fields, c.values, c.options);
        EXPECT_EQ(c.expectId != 0, found) << c.fields << " " << c.values.AsString();
        EXPECT_EQ(c.expectId ? c.expectId : 2, Id()) << c.fields;
    }
    EXPECT_THROW(ds->Locate("NOPE", 1, 0), EDatabaseError);

    ds->Last();
    EXPECT_EQ("Carla", ds->Lookup("ID", 3, "NAME").AsString());
    TVariant pair = ds->Lookup("NAME", "Elena", "ID;QTY");
    ASSERT_TRUE(pair.IsArray());
    EXPECT_EQ(5, pair[0].AsInteger());
    EXPECT_EQ(40, pair[1].AsInteger());
    EXPECT_TRUE(ds->Lookup("ID", 42, "NAME").IsNull());
    EXPECT_EQ(5, Id());  // Lookup leaves the position alone
}

TEST_F(DataSetTest, LinksHearStateRecordAndBrowseChecks) {
    std::vector<TDataSetState> states;
    TDataSource src(nullptr);
    TRecordingLink link;
    link.SetDataSource(&src);
    src.OnStateChange = [&](TObject*) { states.push_back(src.State()); };
    src.SetDataSet(ds);
    EXPECT_TRUE(link.Active());
    link.Events.clear();

    ds->Edit();
    EXPECT_TRUE(link.Editing());
    ds->FieldByName("QTY")->SetAsInteger(3);
    ds->Post();
    ds->Next();
    ds->Close();
    std::vector<std::string> want = {"browse", "record", "field:QTY", "browse",
                                     "record", "browse", "scrolled",  "inactive"};
    EXPECT_EQ(want, link.Events);
    EXPECT_EQ((std::vector<TDataSetState>{dsBrowse, dsEdit, dsBrowse, dsInactive}), states);

    // A disabled source reports its dataset inactive.
    ds->Open();
    src.SetEnabled(false);
    EXPECT_FALSE(link.Active());
    EXPECT_EQ(dsInactive, src.State());
    src.SetEnabled(true);
    EXPECT_TRUE(link.Active());

    // A source cannot feed a dataset it depends on.
    struct TDetail : TMemoryDataSet {
        using TMemoryDataSet::TMemoryDataSet;
        TDataSource* Master = nullptr;
        TDataSource* GetDataSource() const override { return Master; }
    } detail(nullptr, {{"ID", ftInteger}});
    TDataSource masterSrc(nullptr);
    masterSrc.SetDataSet(ds);
    detail.Master = &masterSrc;
    EXPECT_THROW(masterSrc.SetDataSet(&detail), EDatabaseError);
    EXPECT_EQ(ds, masterSrc.DataSet());

    // A dataset going away leaves its sources without a dataset and their links inactive.
    auto* gone = new TMemoryDataSet(nullptr, {{"ID", ftInteger}});
    gone->Open();
    TDataSource goneSrc(nullptr);
    TRecordingLink goneLink;
    goneLink.SetDataSource(&goneSrc);
    goneSrc.SetDataSet(gone);
    TDataSource second(nullptr);
    second.SetDataSet(gone);
    EXPECT_TRUE(goneLink.Active());
    delete gone;
    EXPECT_EQ(nullptr, goneSrc.DataSet());
    EXPECT_EQ(nullptr, second.DataSet());
    EXPECT_FALSE(goneLink.Active());
}

TEST_F(DataSetTest, CalculatedFieldsFollowTheirRecord) {
    ds->Close();
    auto* id = new TIntegerField(&owner);
    id->SetFieldName("ID");
    id->SetDataSet(ds);
    auto* qty = new TSmallintField(&owner);
    qty->SetFieldName("QTY");
    qty->SetDataSet(ds);
    auto* twice = new TIntegerField(&owner);
    twice->SetFieldName("TWICE");
    twice->SetFieldKind(fkCalculated);
    twice->SetDataSet(ds);
    ds->OnCalcFields = [&](TDataSet* d) {
        EXPECT_EQ(dsCalcFields, d->State());
        twice->SetAsInteger(qty->AsInteger() * 2);
    };
    ds->Open();
    EXPECT_FALSE(ds->DefaultFields());
    EXPECT_EQ(nullptr, ds->FindField("NAME"));
    ds->Last();
    EXPECT_EQ(80, twice->AsInteger());
    ds->Edit();
    qty->SetAsInteger(3);
    EXPECT_EQ(6, twice->AsInteger());  // recalculated on change
    ds->Cancel();
    EXPECT_EQ(80, twice->AsInteger());
}

TEST_F(DataSetTest, FieldsOfEveryKindConvert) {
    TMemoryDataSet all(nullptr, {{"S", ftString, 5},
                                 {"W", ftWord},
                                 {"B", ftBoolean},
                                 {"F", ftFloat},
                                 {"C", ftCurrency},
                                 {"D", ftBCD, 2},
                                 {"DA", ftDate},
                                 {"TI", ftTime},
                                 {"DT", ftDateTime},
                                 {"BY", ftBytes, 3},
                                 {"VB", ftVarBytes, 4},
                                 {"A", ftAutoInc},
                                 {"L", ftLargeint},
                                 {"M", ftMemo}});
    all.Open();
    all.Append();
    struct Case {
        const char* field;
        const char* text;
        const char* expect;
    };
    const Case cases[] = {
        {"S", "abcdefg", "abcde"},
        {"W", "65535", "65535"},
        {"B", "yes", "True"},
        {"F", "2.5", "2.5"},
        {"C", "1.25", "1.25"},
        {"D", "12.3456", "12.3456"},
        {"BY", "xyz", "xyz"},
        {"VB", "ab", "ab"},
        {"A", "-7", "-7"},
        {"L", "9000000000", "9000000000"},
        {"M", "a long memo text", "a long memo text"},
    };
    for (const Case& c : cases) {
        TField* f = all.FieldByName(c.field);
        f->SetAsString(c.text);
        EXPECT_EQ(c.expect, f->AsString()) << c.field;
        EXPECT_FALSE(f->IsNull()) << c.field;
    }
    EXPECT_THROW(all.FieldByName("W")->SetAsInteger(-1), EDatabaseError);
    EXPECT_THROW(all.FieldByName("VB")->SetAsString("12345"), EDatabaseError);
    EXPECT_THROW(all.FieldByName("B")->SetAsString("maybe"), EDatabaseError);
    EXPECT_THROW(all.FieldByName("B")->AsDateTime(), EDatabaseError);

    // Dates travel as day numbers and milliseconds in the record.
    TDateTime when = EncodeDate(2024, 2, 29) + EncodeTime(13, 45, 30, 250);
    all.FieldByName("DA")->SetAsDateTime(when);
    all.FieldByName("TI")->SetAsDateTime(when);
    all.FieldByName("DT")->SetAsDateTime(when);
    int32_t day = 0, ms = 0;
    ASSERT_TRUE(all.FieldByName("DA")->GetData(&day));
    ASSERT_TRUE(all.FieldByName("TI")->GetData(&ms));
    EXPECT_EQ(DateTimeToTimeStamp(when).Date, day);
    EXPECT_EQ(((13 * 60 + 45) * 60 + 30) * 1000 + 250, ms);
    EXPECT_DOUBLE_EQ(EncodeDate(2024, 2, 29), all.FieldByName("DA")->AsDateTime());
    EXPECT_NEAR(when, all.FieldByName("DT")->AsDateTime(), 1e-9);
    // A day before the first of year 1 could be stored but never read back: it is refused,
    // and the field keeps its value.
    for (const char* name : {"DA", "DT"})
        for (double before : {-693594.0, -700000.0, -2147483648.0}) {
            EXPECT_THROW(all.FieldByName(name)->SetAsDateTime(before), EConvertError) << name << before;
            EXPECT_EQ(EncodeDate(2024, 2, 29), std::trunc(all.FieldByName(name)->AsDateTime())) << name;
        }

    // Values through the variant form, and Null for a blank.
    all.FieldByName("C")->SetValue(TVariant(Currency::FromUnits(12345)));
    EXPECT_DOUBLE_EQ(1.2345, all.FieldByName("C")->AsFloat());
    // A value beyond 64 bits is refused, not stored as whatever the conversion gives.
    EXPECT_THROW(all.FieldByName("L")->SetValue(TVariant(1e20)), EVariantError);
    EXPECT_EQ("9000000000", all.FieldByName("L")->AsString());
    all.FieldByName("D")->SetValue(TVariant::Null());
    EXPECT_TRUE(all.FieldByName("D")->Value().IsNull());
    EXPECT_EQ("", all.FieldByName("D")->AsString());
    all.Post();
    EXPECT_EQ("a long memo text", all.FieldByName("M")->AsString());
    EXPECT_EQ(1, all.FClosedBlobs);  // the written BLOB was closed at post
}

TEST_F(DataSetTest, ActiveWhileLoadingWaitsForLoaded) {
    TMemoryDataSet late(nullptr, {{"ID", ftInteger}});
    late.Loading();
    late.SetActive(true);
    EXPECT_FALSE(late.Active());
    late.Loaded();
    EXPECT_TRUE(late.Active());

    // A failing deferred open raises at run time and goes to the handler at design time.
    TMemoryDataSet bad(nullptr, {{"ID", ftInteger}, {"ID", ftInteger}});
    bad.Loading();
    bad.SetActive(true);
    EXPECT_THROW(bad.Loaded(), EDatabaseError);
    EXPECT_FALSE(bad.Active());
    bad.SetDesigning(true);
    bad.Loading();
    bad.SetActive(true);
    bad.Loaded();
    EXPECT_EQ(1, bad.FHandledExceptions);
}

TEST(IndexDefsTest, IndexForFieldsPrefersExactThenLeadingFields) {
    TIndexDefs defs(nullptr);
    defs.Add("", "ID", ixPrimary | ixUnique);
    defs.Add("ByNameDesc", "NAME", ixDescending);
    defs.Add("ByNameCity", "Name;City", ixCaseInsensitive);
    defs.Add("ByCityName", "CITY;NAME;ZIP", 0);
    defs.Add("ByCity", "CITY", 0);
    struct Case {
        const char* fields;
        bool caseInsensitive;
        const char* expect;  // nullptr = none
    };
    const Case cases[] = {
        {"id", false, ""},           {"NAME", false, "ByNameCity"},
        {"City", false, "ByCity"},   {"CITY;NAME", false, "ByCityName"},
        {"CITY;NA", false, nullptr}, {"NAME", true, "ByNameCity"},
        {"CITY", true, nullptr},
    };
    for (const Case& c : cases) {
        TIndexDef* d = defs.GetIndexForFields(c.fields, c.caseInsensitive);
        EXPECT_EQ(c.expect ? std::string(c.expect) : "(none)", d ? d->Name() : "(none)") << c.fields;
    }
    EXPECT_THROW(defs.FindIndexForFields("ZIP"), EDatabaseError);
    EXPECT_THROW(defs.Find("nope"), EDatabaseError);
    EXPECT_EQ("CITY", defs.Find("bycity")->Fields());
}

// A component whose one stored property is a block of bytes.
class TBinaryHolder : public TComponent {
public:
    using TComponent::TComponent;
    std::string Data;
    void DefineProperties(TFiler* Filer) override {
        Filer->DefineBinaryProperty(
            "Data",
            [this](TStream& s) {
                Data.assign(static_cast<size_t>(s.Size()), '\0');
                if (!Data.empty()) s.ReadBuffer(Data.data(), static_cast<int64_t>(Data.size()));
            },
            [this](TStream& s) { s.WriteBuffer(Data.data(), static_cast<int64_t>(Data.size())); },
            !Data.empty());
    }
};

TEST(FilerTest, BinaryPropertyRoundTrip) {
    TBinaryHolder a(nullptr), b(nullptr);
    a.Data = std::string("\x01\x00\x02zz", 5);
    TMemoryStream s;
    WriteComponentProperties(&a, s);
    s.SetPosition(0);
    ReadComponentProperties(&b, s);
    EXPECT_EQ(a.Data, b.Data);

    TMemoryStream empty;
    TBinaryHolder none(nullptr);
    WriteComponentProperties(&none, empty);
    EXPECT_EQ(4, empty.Size());  // only the end of the block
}

}  // namespace
