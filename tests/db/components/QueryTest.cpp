// The query component: its text and parameters, its life cycle and its stored form.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "db/components/ZIZIVUQuery.h"

namespace {

class QueryTest : public ::testing::Test {
protected:
    void SetUp() override {
        FDir = std::filesystem::temp_directory_path() /
               ("zelto-query-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(FDir);
        std::filesystem::create_directories(FDir);
    }
    void TearDown() override {
        FinalizeSessions();
        std::filesystem::remove_all(FDir);
    }

    std::unique_ptr<TZIZIVUQuery> NewQuery(const std::string& sql = std::string()) {
        auto q = std::make_unique<TZIZIVUQuery>(nullptr);
        q->SetName("Query1");
        q->SetDatabaseName(FDir);
        if (!sql.empty()) q->SQL()->SetText(sql);
        return q;
    }

    template <class F>
    static void ExpectError(F fn, const std::string& text) {
        try {
            fn();
            ADD_FAILURE() << "no error, expected: " << text;
        } catch (const Exception& e) {
            std::string m = e.what();
            EXPECT_NE(m.find(text), std::string::npos) << m << " / expected: " << text;
        }
    }

    std::string FDir;
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
