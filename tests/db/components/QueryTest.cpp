// The query component: its text and parameters, its life cycle and its stored form.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <limits>

#include "db/components/ZIZIVUQuery.h"
#include "tests/support/ExpectError.h"
#include "tests/support/ScratchDir.h"

namespace {

class QueryTest : public ::testing::Test {
protected:
    void TearDown() override { FinalizeSessions(); }

    std::unique_ptr<TZIZIVUQuery> NewQuery(const std::string& sql = std::string()) {
        auto q = std::make_unique<TZIZIVUQuery>(nullptr);
        q->SetName("Query1");
        q->SetDatabaseName(FDir);
        if (!sql.empty()) q->SQL()->SetText(sql);
        return q;
    }

    TScratchDir FScratch{"query"};
    std::string FDir = FScratch.Path();
};

TEST_F(QueryTest, TextChangesRebuildTheParameters) {
    auto q = NewQuery("select * from t where a = :a and b = ':b'\nand c = :c");
    EXPECT_EQ("2.12", q->EngineVersion());
    EXPECT_EQ("select * from t where a = ? and b = ':b'\r\nand c = ?\r\n", q->Text());
    ASSERT_EQ(2, q->ParamCount());
    q->ParamByName("a")->SetAsInteger(1);
    q->ParamByName("c")->SetAsString("x");

    // Values of parameters that keep their names stay.
    TStringList sql;
    sql.SetText("update t set c = :c where d = :d");
    q->SetSQL(sql);
    ASSERT_EQ(2, q->ParamCount());
    EXPECT_EQ("x", q->ParamByName("c")->AsString());
    EXPECT_TRUE(q->ParamByName("c")->Bound());
    EXPECT_FALSE(q->ParamByName("d")->Bound());
    ExpectError([&] { q->ParamByName("a"); }, "Parameter 'a' not found");

    // Editing the list in place counts as a change too.
    q->SQL()->Add("and e = :e");
    EXPECT_EQ(3, q->ParamCount());

    // Without ParamCheck the list stays as it is while the text changes.
    q->SetParamCheck(false);
    q->SQL()->SetText("select * from t where z = :z");
    EXPECT_EQ("select * from t where z = ?\r\n", q->Text());
    ASSERT_EQ(3, q->ParamCount());
    EXPECT_EQ("x", q->ParamByName("c")->AsString());
    // At design time the markers count whatever ParamCheck says.
    q->SetDesigning(true);
    q->SQL()->SetText("select * from t where y = :y");
    ASSERT_EQ(1, q->ParamCount());
    EXPECT_EQ("y", q->Params()->RawItems(0)->Name());
}

TEST_F(QueryTest, OpenAndPrepareNeedAText) {
    auto q = NewQuery();
    ExpectError([&] { q->Open(); }, "No SQL statement available");
    EXPECT_FALSE(q->Active());
    EXPECT_EQ(nullptr, q->Database());
    ExpectError([&] { q->Prepare(); }, "No SQL statement available");
    ExpectError([&] { q->ExecSQL(); }, "No SQL statement available");
    q->SQL()->SetText("  ");
    ExpectError([&] { q->Open(); }, "No SQL statement available");
    EXPECT_FALSE(q->Prepared());
}

TEST_F(QueryTest, AFailedPrepareLeavesNoStatement) {
    auto q = NewQuery("selec * from t");
    try {
        q->Prepare();
        ADD_FAILURE() << "prepared a bad text";
    } catch (const EZIZIVUEngineError& e) {
        ASSERT_EQ(1u, e.Errors().size());
        EXPECT_EQ(11949, e.ErrorCode());
    }
    EXPECT_FALSE(q->Prepared());
    EXPECT_EQ(nullptr, q->StmtHandle());
    // The database the prepare opened is let go again.
    EXPECT_EQ(nullptr, q->Database());
    EXPECT_THROW(q->Open(), EZIZIVUEngineError);
    EXPECT_FALSE(q->Active());
    EXPECT_EQ(nullptr, q->Database());
    EXPECT_THROW(q->ExecSQL(), EZIZIVUEngineError);
    EXPECT_EQ(nullptr, q->Database());
}

TEST_F(QueryTest, DataSourceMayNotLeadBack) {
    auto q = NewQuery();
    auto other = NewQuery();
    other->SetName("Query2");
    TDataSource own(nullptr), others(nullptr);
    own.SetDataSet(q.get());
    others.SetDataSet(other.get());
    ExpectError([&] { q->SetDataSource(&own); }, "Circular datalinks are not allowed");
    other->SetDataSource(&own);
    ExpectError([&] { q->SetDataSource(&others); }, "Circular datalinks are not allowed");
    EXPECT_EQ(nullptr, q->DataSource());
    other->SetDataSource(nullptr);
    q->SetDataSource(&others);
    EXPECT_EQ(&others, q->GetDataSource());
    q->SetDataSource(nullptr);
}

TEST_F(QueryTest, StoredFormKeepsParametersAndTheOwnBlock) {
    auto q = NewQuery("select * from t where a = :a and b = :b");
    q->ParamByName("a")->SetAsInteger(42);
    q->Params()->RawItems(1)->SetParamType(ptInput);

    // The own block is read whole and written back up to its first zero byte.
    TMemoryStream in;
    {
        TWriter w(in);
        w.DefineBinaryProperty(
            "Data", nullptr, [](TStream& s) { s.WriteBuffer("abc\0def", 7); }, true);
        w.WritePropName("");
    }
    in.SetPosition(0);
    ReadComponentProperties(q.get(), in);
    EXPECT_TRUE(q->HasStoredData());
    EXPECT_EQ(std::string("abc\0def", 7), q->StoredData());

    TMemoryStream form;
    WriteComponentProperties(q.get(), form);
    auto copy = NewQuery();
    copy->SetName("Query2");
    form.SetPosition(0);
    // Loading: the text is parsed, the parameters come from the form.
    copy->Loading();
    copy->SQL()->SetText("select * from t where a = :a and b = :b");
    copy->Loaded();
    copy->Params()->Clear();
    ReadComponentProperties(copy.get(), form);
    EXPECT_TRUE(copy->Params()->IsEqual(q->Params()));
    EXPECT_EQ(42, copy->ParamByName("a")->AsInteger());
    EXPECT_EQ(ptInput, copy->ParamByName("b")->ParamType());
    EXPECT_EQ("abc", copy->StoredData());

    // Against an ancestor with the same parameters and no block nothing is written.
    TMemoryStream same;
    copy->SQL()->Add("");  // a changed text drops the block
    EXPECT_FALSE(copy->HasStoredData());
    WriteComponentProperties(copy.get(), same, q.get());
    EXPECT_EQ(4, same.Size());  // the end of the block only
}

}  // namespace

// ---- statements run through the SQL processor ----

class QuerySqlTest : public QueryTest {
protected:
    void SetUp() override {
        QueryTest::SetUp();
        Exec(
            "CREATE TABLE parts (id INTEGER, name CHAR(20), price DECIMAL(8,2), made DATE, PRIMARY KEY "
            "(id))");
        auto ins = NewQuery("INSERT INTO parts (id, name, price) VALUES (:id, :name, :price)");
        const struct {
            int id;
            const char* name;
            int64_t cents;
        } rows[] = {{1, "bolt", 250}, {2, "nut", 75}, {3, "washer", 10}};
        for (const auto& r : rows) {
            ins->ParamByName("id")->SetAsInteger(r.id);
            ins->ParamByName("name")->SetAsString(r.name);
            ins->ParamByName("price")->SetAsBCD(Currency::FromUnits(r.cents * 100));
            ins->ExecSQL();
            EXPECT_EQ(1, ins->RowsAffected());
        }
    }

    int32_t Exec(const std::string& sql) {
        auto q = NewQuery(sql);
        q->ExecSQL();
        return q->RowsAffected();
    }

    static std::vector<std::string> Column(TZIZIVUQuery& q, const std::string& field) {
        std::vector<std::string> out;
        q.First();
        while (!q.Eof()) {
            out.push_back(q.FieldByName(field)->AsString());
            q.Next();
        }
        return out;
    }
};

TEST_F(QuerySqlTest, ExecSqlReportsTheRowsChanged) {
    auto upd = NewQuery("UPDATE parts SET price = :p WHERE id > :lo");
    upd->ParamByName("p")->SetAsFloat(1.5);
    upd->ParamByName("lo")->SetAsInteger(1);
    TObject* sender = nullptr;
    uint16_t percent = 0;
    upd->OnQueryProgress = [&](TObject* s, int32_t, uint16_t p, bool&) {
        sender = s;
        percent = p;
    };
    upd->ExecSQL();
    EXPECT_EQ(2, upd->RowsAffected());
    EXPECT_EQ(upd.get(), sender);
    EXPECT_EQ(100, percent);
    EXPECT_FALSE(upd->Active());
    EXPECT_FALSE(upd->Prepared());
    EXPECT_EQ(nullptr, upd->Database());

    // Prepared once, run twice with other values.
    auto del = NewQuery("DELETE FROM parts WHERE name = :n");
    del->Prepare();
    del->ParamByName("n")->SetAsString("nut");
    del->ExecSQL();
    EXPECT_EQ(1, del->RowsAffected());
    del->ParamByName("n")->SetAsString("none");
    del->ExecSQL();
    EXPECT_EQ(0, del->RowsAffected());
    EXPECT_TRUE(del->Prepared());
    del->UnPrepare();
    EXPECT_EQ(nullptr, del->Database());

    // A parameter nobody gave a value.
    auto bad = NewQuery("DELETE FROM parts WHERE id = :x");
    ExpectError([&] { bad->ExecSQL(); }, "No value for parameter 'x'");
    EXPECT_FALSE(bad->Prepared());

    auto sel = NewQuery("SELECT id, name, price FROM parts ORDER BY id");
    sel->Open();
    EXPECT_EQ((std::vector<std::string>{"bolt", "washer"}), Column(*sel, "name"));
    EXPECT_EQ((std::vector<std::string>{"2.5", "1.5"}), Column(*sel, "price"));
    EXPECT_EQ(2, sel->RowsAffected());
    ExpectError([&] { sel->ExecSQL(); }, "Cannot perform this operation on an open dataset");
    ExpectError([&] { sel->UnPrepare(); }, "Cannot perform this operation on an open dataset");
    sel->Close();

    // Open runs a data statement and then finds no result to show.
    auto ins = NewQuery("INSERT INTO parts (id, name) VALUES (9, 'pin')");
    ExpectError([&] { ins->Open(); }, "Error creating table handle.");
    EXPECT_FALSE(ins->Active());
    EXPECT_EQ(nullptr, ins->Database());
    sel->Open();
    EXPECT_EQ((std::vector<std::string>{"bolt", "washer", "pin"}), Column(*sel, "name"));
}

TEST_F(QuerySqlTest, ParametersMeetColumnsOfAnyComparisonAndDates) {
    // A marker has no type when the statement is prepared; its value's type counts.
    const struct {
        const char* sql;
        std::vector<std::string> names;
    } cases[] = {
        {"SELECT id, name FROM parts WHERE id > :v ORDER BY id", {"nut", "washer"}},
        {"SELECT id, name FROM parts WHERE :v < id ORDER BY id", {"nut", "washer"}},
        {"SELECT id, name FROM parts WHERE id <= :v ORDER BY id", {"bolt"}},
        {"SELECT id, name FROM parts WHERE id + :v = 3 ORDER BY id", {"nut"}},
    };
    for (const auto& c : cases) {
        auto q = NewQuery(c.sql);
        q->ParamByName("v")->SetAsInteger(1);
        q->Open();
        EXPECT_EQ(c.names, Column(*q, "name")) << c.sql;
    }
    // A value that is not a number equals no number.
    for (const char* op : {"=", "<>"}) {
        auto q = NewQuery(std::string("SELECT id, name FROM parts WHERE price ") + op + " :v ORDER BY id");
        q->ParamByName("v")->SetAsFloat(std::numeric_limits<double>::quiet_NaN());
        q->Open();
        const std::vector<std::string> none, all{"bolt", "nut", "washer"};
        EXPECT_EQ(*op == '=' ? none : all, Column(*q, "name")) << op;
    }
    auto upd = NewQuery("UPDATE parts SET made = :d WHERE id = 2");
    upd->ParamByName("d")->SetAsDate(EncodeDate(2026, 12, 7));
    upd->ExecSQL();
    EXPECT_EQ(1, upd->RowsAffected());
    auto q = NewQuery("SELECT name FROM parts WHERE made >= :d");
    q->ParamByName("d")->SetAsDate(EncodeDate(2026, 1, 1));
    q->Open();
    EXPECT_EQ((std::vector<std::string>{"nut"}), Column(*q, "name"));
    // A text meets the column as the same text written in the statement does: a date is
    // read from it, a number is refused.
    auto text = NewQuery("SELECT name FROM parts WHERE made = :d");
    text->ParamByName("d")->SetAsString("2026-12-07");
    text->Open();
    EXPECT_EQ((std::vector<std::string>{"nut"}), Column(*text, "name"));
    auto number = NewQuery("SELECT name FROM parts WHERE id = :v");
    number->ParamByName("v")->SetAsString("2");
    EXPECT_THROW(number->Open(), EZIZIVUEngineError);
}

TEST_F(QuerySqlTest, SelectResultsInFields) {
    auto q =
        NewQuery("SELECT id, name, price, made FROM parts WHERE id <> :skip AND name <> ':skip' ORDER BY id");
    ASSERT_EQ(1, q->ParamCount());
    q->ParamByName("skip")->SetAsInteger(1);
    q->Open();
    ASSERT_EQ(4, q->FieldCount());
    EXPECT_EQ(ftInteger, q->FieldByName("id")->DataType());
    EXPECT_EQ(ftString, q->FieldByName("name")->DataType());
    EXPECT_EQ(ftBCD, q->FieldByName("price")->DataType());
    EXPECT_EQ(ftDate, q->FieldByName("made")->DataType());
    EXPECT_EQ(2, q->RecordCount());
    q->First();
    EXPECT_EQ(2, q->FieldByName("id")->AsInteger());
    EXPECT_EQ("nut", q->FieldByName("name")->AsString());
    EXPECT_EQ(Currency::FromUnits(7500), q->FieldByName("price")->AsCurrency());
    EXPECT_TRUE(q->FieldByName("made")->IsNull());
    ExpectError([&] { q->SetPrepared(false); }, "Cannot perform this operation on an open dataset");

    // Reopened, explicitly prepared or not, the query runs again with the new values.
    q->Close();
    q->ParamByName("skip")->SetAsInteger(2);
    q->Open();
    EXPECT_EQ((std::vector<std::string>{"bolt", "washer"}), Column(*q, "name"));
    q->Close();
    q->Prepare();
    q->ParamByName("skip")->SetAsInteger(3);
    q->Open();
    EXPECT_EQ((std::vector<std::string>{"bolt", "nut"}), Column(*q, "name"));
    q->Close();
    EXPECT_TRUE(q->Prepared());
    q->ParamByName("skip")->SetAsInteger(0);
    q->SetMaxRowCount(2);
    q->Open();
    EXPECT_EQ((std::vector<std::string>{"bolt", "nut"}), Column(*q, "name"));
    q->Close();
    q->UnPrepare();
    q->SetMaxRowCount(-1);

    // A null value: <> with one NULL operand holds.
    q->ParamByName("skip")->Clear();
    q->Open();
    EXPECT_EQ(3, q->RecordCount());
}

TEST_F(QuerySqlTest, ParametersFollowTheDataSource) {
    Exec("CREATE TABLE orders (ord INTEGER, id INTEGER, qty INTEGER, PRIMARY KEY (ord))");
    Exec("INSERT INTO orders VALUES (1, 1, 10)");
    Exec("INSERT INTO orders VALUES (2, 3, 30)");
    Exec("INSERT INTO orders VALUES (3, 3, 31)");
    auto master = NewQuery("SELECT id, name FROM parts ORDER BY id");
    master->SetName("Master");
    TDataSource source(nullptr);
    source.SetDataSet(master.get());
    auto detail = NewQuery("SELECT qty FROM orders WHERE id = :id ORDER BY qty");
    detail->SetDataSource(&source);
    master->Open();
    detail->Open();
    EXPECT_EQ((std::vector<std::string>{"10"}), Column(*detail, "qty"));
    master->Next();
    EXPECT_EQ(0, detail->RecordCount());
    master->Next();
    EXPECT_EQ((std::vector<std::string>{"30", "31"}), Column(*detail, "qty"));
    // A value given by hand wins over the source's.
    detail->ParamByName("id")->SetAsInteger(1);
    master->First();
    EXPECT_EQ((std::vector<std::string>{"10"}), Column(*detail, "qty"));
    master->Last();
    EXPECT_EQ((std::vector<std::string>{"10"}), Column(*detail, "qty"));
    detail->Close();
    detail->SetDataSource(nullptr);
}

TEST_F(QuerySqlTest, ClosingTheDatabaseUnpreparesTheQuery) {
    auto q = NewQuery("SELECT id FROM parts");
    q->Prepare();
    TZIZIVUDatabase* db = q->Database();
    ASSERT_NE(nullptr, db);
    db->Close();
    EXPECT_FALSE(q->Prepared());
    EXPECT_EQ(nullptr, q->Database());
    q->Open();
    EXPECT_EQ(3, q->RecordCount());
}
