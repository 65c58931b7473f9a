// SELECT results of one table: column names, aggregates and groups, DISTINCT and ORDER BY
// sorts, row limits, progress and abort, live results, and the result table's life.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "db/engine/DataTable.h"
#include "tests/db/sql/SqlTableFixture.h"

namespace sqltest {
namespace {

class SelectResultTest : public SqlTableTest {
protected:
    void SetUp() override {
        SqlTableTest::SetUp();
        // G groups, V values (NULL in one row), S text.
        CreateTable("T", {MakeField(1, "G", dtInteger), MakeField(2, "V", dtInteger),
                          MakeField(3, "S", dtString, 20)});
        Insert("T",
               {{2, 5, "b"}, {1, 7, "a"}, {2, TValue::Null(), "c"}, {3, 4, "a"}, {1, 9, "b"}, {2, 6, "a"}});
    }

    // A table of 100 rows: N 1..100, M = N mod 3.
    void CreateHundred() {
        CreateTable("H", {MakeField(1, "N", dtInteger), MakeField(2, "M", dtInteger)});
        std::vector<std::vector<TValue>> rows;
        for (int i = 1; i <= 100; ++i) rows.push_back({i, i % 3});
        Insert("H", rows);
    }
};

TEST_F(SelectResultTest, ColumnNamesFollowAliasesAggregatesAndCounters) {
    struct Case {
        const char* Text;
        std::vector<std::string> Names;
    } cases[] = {
        {"SELECT g, G, v + 1, v + 1 FROM t", {"g", "G_1", "Expression", "Expression_1"}},
        {"SELECT * FROM t", {"G", "V", "S"}},
        {"SELECT SUM(v), SUM(v), MIN(v), MAX(v * 2), COUNT(*), COUNT(s) FROM t",
         {"Sum Of v", "Sum Of v_1", "Min Of v", "Max Of Expr", "Count Of *", "Count Of s"}},
        // The hidden count of an AVG comes after every column, numbered by its place.
        {"SELECT AVG(v), g AS total FROM t GROUP BY g", {"Average Of v", "total", "Sys__Avg__Count3"}},
        // Names are cut to 30 characters; the counter shortens the base to stay within them.
        {"SELECT g AS abcdefghijklmnopqrstuvwxyz12345678, v AS abcdefghijklmnopqrstuvwxyz1234 FROM t",
         {"abcdefghijklmnopqrstuvwxyz1234", "abcdefghijklmnopqrstuvwxyz12_1"}},
    };
    for (const Case& c : cases) {
        TDataCursor* result = Run(c.Text);
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(Names(*result), c.Names) << c.Text;
    }
}

TEST_F(SelectResultTest, GroupsComeOutOrderedWithOrWithoutTheirOwnSort) {
    const TRows ascending{{"1", "16", "2"}, {"2", "11", "3"}, {"3", "4", "1"}};
    EXPECT_EQ(Query("SELECT g, SUM(v), COUNT(*) FROM t GROUP BY g"), ascending);
    EXPECT_EQ(Query("SELECT g, SUM(v), COUNT(*) FROM t GROUP BY g ORDER BY g"), ascending);
    EXPECT_EQ(FStatement->MainQuery()->PlanText(), "result sorted once; t");
    EXPECT_EQ(Query("SELECT g, SUM(v), COUNT(*) FROM t GROUP BY g ORDER BY g DESC"),
              (TRows{{"3", "4", "1"}, {"2", "11", "3"}, {"1", "16", "2"}}));
    EXPECT_EQ(FStatement->MainQuery()->PlanText(), "result; t");
    EXPECT_EQ(Query("SELECT g, SUM(v) FROM t GROUP BY g ORDER BY 2"),
              (TRows{{"3", "4"}, {"2", "11"}, {"1", "16"}}));
    EXPECT_EQ(Query("SELECT g, COUNT(s) FROM t GROUP BY g HAVING COUNT(s) > 1"),
              (TRows{{"1", "2"}, {"2", "3"}}));
    EXPECT_EQ(Query("SELECT g, AVG(v) FROM t GROUP BY g HAVING AVG(v) >= 5.5"),
              (TRows{{"1", "8"}, {"2", "5.5"}}));
    EXPECT_EQ(Error("SELECT g FROM t GROUP BY g HAVING SUM(v) > 1"),
              "Expression in HAVING clause not found in source columns");
    EXPECT_EQ(Error("SELECT g FROM t HAVING g > 1"),
              "A GROUP BY clause must exist in order to use the HAVING clause");
    EXPECT_EQ(Error("SELECT g, SUM(v) FROM t"),
              "Invalid use of aggregate function(s), the necessary GROUP BY clause is missing");
}

TEST_F(SelectResultTest, DistinctAndOrderBy) {
    EXPECT_EQ(Query("SELECT DISTINCT s FROM t"), (TRows{{"a"}, {"b"}, {"c"}}));
    EXPECT_EQ(Query("SELECT DISTINCT s FROM t ORDER BY s DESC"), (TRows{{"c"}, {"b"}, {"a"}}));
    EXPECT_EQ(Query("SELECT v, s FROM t ORDER BY v DESC"),
              (TRows{{"9", "b"}, {"7", "a"}, {"6", "a"}, {"5", "b"}, {"4", "a"}, {"NULL", "c"}}));
    EXPECT_EQ(Query("SELECT s, g FROM t ORDER BY s, g DESC"),
              (TRows{{"a", "3"}, {"a", "2"}, {"a", "1"}, {"b", "2"}, {"b", "1"}, {"c", "2"}}));
    const struct {
        const char* Text;
        const char* Message;
    } errors[] = {
        {"SELECT g FROM t ORDER BY 2", "Invalid column number '2' specified in ORDER BY clause"},
        {"SELECT g FROM t ORDER BY 0", "Invalid column number '0' specified in ORDER BY clause"},
        {"SELECT g, COUNT(*) FROM t GROUP BY 0", "Invalid column number '0' specified in GROUP BY clause"},
        {"SELECT g, COUNT(*) FROM t GROUP BY 3", "Invalid column number '3' specified in GROUP BY clause"},
        {"SELECT g FROM t ORDER BY v",
         "Invalid column name 'v' or table correlation name '' specified in ORDER BY clause"},
        {"SELECT g, SUM(v) FROM t GROUP BY s",
         "Invalid column name 's' or table correlation name '' specified in GROUP BY clause"},
    };
    for (const auto& e : errors) EXPECT_EQ(Error(e.Text), e.Message) << e.Text;
    CreateTable("W", {MakeField(1, "S", dtString, 5)});
    Insert("W", {{"b"}, {"B"}, {"a"}, {"C"}, {"A"}});
    EXPECT_EQ(Query("SELECT s FROM w ORDER BY s"), (TRows{{"A"}, {"B"}, {"C"}, {"a"}, {"b"}}));
    const TRows nocase = Query("SELECT s FROM w ORDER BY s NOCASE");
    ASSERT_EQ(nocase.size(), 5u);
    EXPECT_EQ(nocase[4], (TRow{"C"}));
    EXPECT_TRUE((nocase[0] == TRow{"a"} || nocase[0] == TRow{"A"}) &&
                (nocase[2] == TRow{"b"} || nocase[2] == TRow{"B"}));
}

TEST_F(SelectResultTest, MaxRowCountLimitsTheRowsBeforeGroupingAndDistinct) {
    CreateHundred();
    const struct {
        const char* Text;
        int32_t Limit;
        TRows Rows;
    } cases[] = {
        {"SELECT n FROM h", 0, {}},
        {"SELECT n FROM h", 5, {{"1"}, {"2"}, {"3"}, {"4"}, {"5"}}},
        {"SELECT DISTINCT m FROM h", 5, {{"0"}, {"1"}, {"2"}}},
        {"SELECT m, COUNT(*) FROM h GROUP BY m", 5, {{"0", "1"}, {"1", "2"}, {"2", "2"}}},
        {"SELECT m FROM h GROUP BY m", 0, {}},
        // An aggregate-only query has one row, made of every row.
        {"SELECT COUNT(*) FROM h", 5, {{"100"}}},
        {"SELECT COUNT(*) FROM h WHERE m = 1", 5, {{"34"}}},
        {"SELECT SUM(n), COUNT(*), MAX(n) FROM h", 5, {{"5050", "100", "100"}}},
        {"SELECT COUNT(*), SUM(n) FROM h", 1, {{"100", "5050"}}},
        {"SELECT COUNT(*) FROM h", 0, {}},
        {"SELECT SUM(n) FROM h", 0, {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Query(c.Text, [&](TQueryStatement& s) { s.SetMaxRowCount(c.Limit); }), c.Rows)
            << c.Text << " limit " << c.Limit;
    EXPECT_EQ(Query("SELECT n FROM h").size(), 100u);
}

TEST_F(SelectResultTest, ProgressPerDrivingRowAndAbort) {
    CreateHundred();
    std::vector<std::pair<int32_t, uint16_t>> calls;
    auto record = [&calls](TQueryStatement& s) {
        s.SetProgressEvent([&calls](TObject*, int32_t current, uint16_t percent, bool&) {
            calls.emplace_back(current, percent);
        });
    };
    EXPECT_EQ(Query("SELECT n FROM h WHERE n > 90", record).size(), 10u);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front(), std::make_pair(2, uint16_t(2)));
    EXPECT_EQ(calls.back(), std::make_pair(100, uint16_t(100)));
    EXPECT_EQ(calls.size(), 99u);
    // Stopped at the first report: the first driving row's combinations only.
    auto stop = [](TQueryStatement& s) {
        s.SetProgressEvent([](TObject*, int32_t, uint16_t, bool& abort) { abort = true; });
    };
    EXPECT_EQ(Query("SELECT h.n, t.g FROM h, t", stop).size(), 6u);
    // An empty table reports once that it is done.
    CreateTable("EMPTY", {MakeField(1, "N", dtInteger)});
    calls.clear();
    EXPECT_EQ(Query("SELECT n FROM empty", record).size(), 0u);
    EXPECT_EQ(calls, (std::vector<std::pair<int32_t, uint16_t>>{{0, 100}}));
}

// A query that waits in its progress callback holds nothing another thread's statements
// need: a query of another session and thread runs to its end meanwhile, well before the
// deadline of the wait.
TEST_F(SelectResultTest, AnotherThreadsQueryRunsWhileOneWaitsInItsProgress) {
    CreateHundred();
    std::mutex mutex;
    std::condition_variable done;
    bool otherDone = false, otherInTime = false;
    TRows otherRows;
    std::string otherError;
    std::thread other;
    auto runOther = [&] {
        try {
            TDataSession session;
            session.SetPrivateDirectory(FScratch.Path());
            TQueryStatement s(session.OpenDirectory("db", FScratch.Path()));
            int32_t position = 0;
            s.Prepare("SELECT s FROM t WHERE v > 6 ORDER BY s", position);
            TDataCursor* result = nullptr;
            s.Execute(result);
            otherRows = Rows(*result);
        } catch (const std::exception& e) {
            otherError = e.what();
        }
        std::lock_guard<std::mutex> lock(mutex);
        otherDone = true;
        done.notify_all();
    };
    auto waitForOther = [&](TQueryStatement& s) {
        s.SetProgressEvent([&](TObject*, int32_t current, uint16_t, bool&) {
            if (current != 2) return;
            other = std::thread(runOther);
            std::unique_lock<std::mutex> lock(mutex);
            otherInTime = done.wait_for(lock, std::chrono::seconds(20), [&] { return otherDone; });
        });
    };
    EXPECT_EQ(Query("SELECT n FROM h WHERE m = 0", waitForOther).size(), 33u);
    ASSERT_TRUE(other.joinable());
    other.join();
    EXPECT_TRUE(otherInTime);
    EXPECT_EQ(otherError, "");
    EXPECT_EQ(otherRows, (TRows{{"a"}, {"b"}}));
}

TEST_F(SelectResultTest, AggregatesStartFromTheFirstValueAndCountValues) {
    // MIN over positive values, COUNT of a column with a NULL, COUNT(*) of rows.
    EXPECT_EQ(Query("SELECT MIN(v), MAX(v), COUNT(v), COUNT(*), SUM(v), AVG(v) FROM t"),
              (TRows{{"4", "9", "5", "6", "31", "6.2"}}));
    EXPECT_EQ(Query("SELECT g, MIN(v), COUNT(v), COUNT(*) FROM t GROUP BY g"),
              (TRows{{"1", "7", "2", "2"}, {"2", "5", "2", "3"}, {"3", "4", "1", "1"}}));
    EXPECT_EQ(Query("SELECT MIN(s), MAX(s) FROM t"), (TRows{{"a", "c"}}));
    // A text has no sum: refused as a text expression is, not a value from no arithmetic.
    for (const char* kind : {"SUM", "AVG"})
        EXPECT_EQ(Error("SELECT " + std::string(kind) + "(s) FROM t"),
                  std::string(kind) + " aggregate function must contain a numeric, date, time, or " +
                      "timestamp expression in source columns");
    // Nor has a boolean an order to take a MIN by.
    CreateTable("B", {MakeField(1, "F", dtBoolean)});
    EXPECT_EQ(Error("SELECT MIN(f) FROM b"),
              "MIN aggregate function must contain a numeric, date, time, or timestamp expression in source "
              "columns");
    // Over no rows: one row, COUNT 0, the others blank, AVG 0.
    EXPECT_EQ(Query("SELECT COUNT(v), SUM(v), MIN(v), MAX(v), AVG(v) FROM t WHERE g > 10"),
              (TRows{{"0", "NULL", "NULL", "NULL", "0"}}));
    EXPECT_EQ(Query("SELECT COUNT(*) FROM t WHERE g > 10"), (TRows{{"0"}}));
    EXPECT_EQ(Query("SELECT COUNT(*) FROM t WHERE g = 2"), (TRows{{"3"}}));
    // A group whose values are all NULL averages to 0.
    Insert("T", {{4, TValue::Null(), "z"}});
    EXPECT_EQ(Query("SELECT g, AVG(v), COUNT(v) FROM t WHERE g = 4 GROUP BY g"), (TRows{{"4", "0", "0"}}));
}

TEST_F(SelectResultTest, ASumBeyondItsColumnTypeIsAnErrorNotTheTypesLimit) {
    // SUM keeps the column's type (a SMALLINT's becomes an INTEGER): a sum that leaves the
    // type's range has no value there, and the nearest one it holds would be a wrong answer.
    CreateTable("BIG", {MakeField(1, "G", dtInteger), MakeField(2, "W", dtWord), MakeField(3, "N", dtInteger),
                        MakeField(4, "S", dtSmallInt)});
    Insert("BIG", {{1, 40000, 2000000000, 30000}, {1, 25535, 147483647, 30000}, {2, 40000, 2000000000, 1}});
    EXPECT_EQ(Query("SELECT SUM(w), SUM(n), SUM(s) FROM big WHERE g = 1"),
              (TRows{{"65535", "2147483647", "60000"}}));
    for (const char* text :
         {"SELECT SUM(w) FROM big", "SELECT SUM(s), SUM(n) FROM big", "SELECT n, SUM(w) FROM big GROUP BY n"})
        EXPECT_EQ(Error(text).rfind("Result of SUM aggregate function is out of range in column ", 0), 0u)
            << text;
    EXPECT_EQ(Query("SELECT g, SUM(w), SUM(n) FROM big WHERE g = 2 GROUP BY g"),
              (TRows{{"2", "40000", "2000000000"}}));
}

TEST_F(SelectResultTest, AutoIncrementColumnsKeepTheirValuesInTheResult) {
    CreateTable("IDS", {MakeField(1, "ID", dtInteger, 0, fstAutoInc), MakeField(2, "X", dtInteger)});
    std::vector<std::vector<TValue>> rows;
    for (int i = 1; i <= 8; ++i) rows.push_back({0, i});
    Insert("IDS", rows);
    EXPECT_EQ(Query("SELECT id FROM ids WHERE id > 5"), (TRows{{"6"}, {"7"}, {"8"}}));
    TDataCursor* result = Run("SELECT id FROM ids WHERE id > 5");
    EXPECT_EQ(result->GetFieldDefinition(1).SubType, 0);
    // SELECT INTO makes a plain integer column.
    Run("SELECT id, x INTO copied FROM ids WHERE x > 6");
    FStatement.reset();
    TDataCursor c(FDatabase);
    c.SetTableName("COPIED");
    c.Open();
    EXPECT_FALSE(c.GetFieldDefinition(1).IsAutoInc());
    EXPECT_EQ(Rows(c), (TRows{{"7", "7"}, {"8", "8"}}));
}

TEST_F(SelectResultTest, LiveResultIsTheSourceCursorThroughAnIndex) {
    CreateTable("L", {MakeField(1, "A", dtInteger), MakeField(2, "B", dtInteger)},
                {SecondaryIndex("ByB", {2})});
    Insert("L", {{1, 30}, {2, 10}, {3, 20}});
    auto live = [](TQueryStatement& s) { s.SetRequestLive(true); };
    TDataCursor* result = Run("SELECT * FROM l ORDER BY b", live);
    EXPECT_EQ(FStatement->MainQuery()->PlanText(), "live by index 1; l");
    EXPECT_EQ(result->TableName(), "l.DAT");
    EXPECT_EQ(Rows(*result), (TRows{{"2", "10"}, {"3", "20"}, {"1", "30"}}));
    result = Run("SELECT a, a * 2 AS twice FROM l WHERE b > 10", live);
    EXPECT_EQ(FStatement->MainQuery()->PlanText(), "live; l filter by index 1");
    EXPECT_EQ(Rows(*result), (TRows{{"1", "2"}, {"3", "6"}}));
    EXPECT_EQ(FStatement->GetRowsAffected(), 2);
    // No index gives ORDER BY a: the result is materialised.
    result = Run("SELECT * FROM l ORDER BY a DESC", live);
    EXPECT_EQ(FStatement->MainQuery()->PlanText(), "result; l");
    EXPECT_EQ(Rows(*result), (TRows{{"3", "20"}, {"2", "10"}, {"1", "30"}}));
}

TEST_F(SelectResultTest, ResultTablesGoWithTheirStatementIntoTablesStay) {
    const std::vector<std::string> before = Files();
    EXPECT_EQ(Query("SELECT g, v FROM t ORDER BY v").size(), 6u);
    EXPECT_EQ(Query("SELECT g, COUNT(*) FROM t GROUP BY g").size(), 3u);
    FStatement.reset();
    EXPECT_EQ(Files(), before);
    Run("SELECT g INTO kept FROM t");
    FStatement.reset();
    std::vector<std::string> after = before;
    after.insert(after.end(), {"kept.DAT", "kept.IDX"});
    std::sort(after.begin(), after.end());
    EXPECT_EQ(Files(), after);
    EXPECT_NE(Error("SELECT g INTO kept FROM t"), "<accepted>");
}

// The result table is the statement's alone: its rows go in without locking record bytes or
// its transaction byte, so a lock that another open file description holds on them hinders
// no run.
TEST_F(SelectResultTest, ResultRowsGoInWithoutLockingRecordOrTransactionBytes) {
    FSession->SetLockRetryCount(0);
    FSession->SetLockWaitTime(1);
    for (const char* text : {"SELECT g, v FROM t ORDER BY v", "SELECT g, COUNT(*) FROM t GROUP BY g",
                             "SELECT DISTINCT s FROM t"}) {
        SCOPED_TRACE(text);
        TDataCursor* result = Run(text);
        ASSERT_NE(result, nullptr);
        const TRows expected = Rows(*result);
        const int fd = ::open(result->Table()->ResolvedName().c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        struct flock l {};
        l.l_type = F_WRLCK;
        l.l_whence = SEEK_SET;
        l.l_start = off_t(table_locks::RecordBase - 8);
        l.l_len = 8;  // records 1 to 8
        EXPECT_EQ(::fcntl(fd, F_OFD_SETLK, &l), 0);
        l.l_start = off_t(table_locks::DataWriteByte);
        l.l_len = 1;
        EXPECT_EQ(::fcntl(fd, F_OFD_SETLK, &l), 0);
        FStatement->Execute(result);
        ::close(fd);
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(Rows(*result), expected);
    }
}

TEST_F(SelectResultTest, IndexedConditionsAreAnsweredByTheTablesFilter) {
    CreateTable("I", {MakeField(1, "K", dtInteger), MakeField(2, "S", dtString, 10)},
                {SecondaryIndex("ByK", {1})});
    Insert("I", {{1, "ab"}, {2, "b"}, {2, "ac"}, {3, "a"}, {2, "x"}});
    std::vector<std::pair<int32_t, uint16_t>> calls;
    auto record = [&calls](TQueryStatement& s) {
        s.SetProgressEvent([&calls](TObject*, int32_t current, uint16_t percent, bool&) {
            calls.emplace_back(current, percent);
        });
    };
    // COUNT(*) reads no rows: the index counts, progress is reported once.
    EXPECT_EQ(Query("SELECT COUNT(*) FROM i WHERE k = 2", record), (TRows{{"3"}}));
    EXPECT_EQ(FStatement->MainQuery()->PlanText(), "result; i; count from index");
    EXPECT_EQ(calls, (std::vector<std::pair<int32_t, uint16_t>>{{3, 100}}));
    // Partly from the index: the filter evaluates the rest on what the index leaves.
    EXPECT_EQ(Query("SELECT s FROM i WHERE k = 2 AND s LIKE 'a%'"), (TRows{{"ac"}}));
    EXPECT_EQ(FStatement->MainQuery()->PlanText(), "result; i filter partly by index 1");
    // Nothing from an index: tested per row.
    EXPECT_EQ(Query("SELECT k FROM i WHERE s LIKE 'a%' OR s = 'x'"), (TRows{{"1"}, {"2"}, {"3"}, {"2"}}));
    EXPECT_EQ(FStatement->MainQuery()->PlanText(), "result; i; residual join");
    EXPECT_EQ(Query("SELECT s FROM i WHERE s LIKE 'a%' ORDER BY s"), (TRows{{"a"}, {"ab"}, {"ac"}}));
    EXPECT_EQ(Query("SELECT i.s, t.s FROM i, t WHERE i.k = t.g AND i.k > 2"), (TRows{{"a", "a"}}));
}

// BLOB and memo columns are copied whole, a zero byte inside them included, into a result
// and by INSERT ... SELECT.
TEST_F(SelectResultTest, BlobColumnsAreCopiedIntoTheResult) {
    CreateTable("DOCS", {MakeField(1, "N", dtInteger), MakeField(2, "BODY", dtBlob),
                         MakeField(3, "NOTE", dtBlob, 1, fstMemo)});
    auto body = [](int n) { return std::string(size_t(100 * n), char('a' + n)) + '\0' + "tail"; };
    {
        TDataCursor c(FDatabase);
        c.SetTableName("DOCS");
        c.Open();
        std::vector<uint8_t> r(size_t(c.GetRecordSize()));
        for (int n = 1; n <= 3; ++n) {
            c.InitRecord(r.data());
            c.PutField(1, r.data(), &n);
            for (uint16_t field : {2, 3}) {
                ASSERT_EQ(c.OpenBlob(field, r.data(), 0, false, bmReadWrite), 0);
                ASSERT_EQ(c.PutBlob(field, r.data(), false, uint32_t(body(n).size()), body(n).data(), 0), 0);
            }
            c.InsertRecord(r.data());
        }
    }
    Run("INSERT INTO docs SELECT n + 10, body, note FROM docs WHERE n = 3");
    TDataCursor* result = Run("SELECT n, body, note FROM docs WHERE n > 1 ORDER BY n DESC");
    ASSERT_NE(result, nullptr);
    std::vector<uint8_t> r(size_t(result->GetRecordSize()));
    std::vector<std::string> bodies;
    result->First();
    while (result->GetNextRecord(r.data()) == 0) {
        for (uint16_t field : {2, 3}) {
            uint32_t size = 0, count = 0;
            ASSERT_EQ(result->OpenBlob(field, r.data(), 0, false, bmRead), 0);
            ASSERT_EQ(result->GetBlobSize(field, r.data(), false, size), 0);
            std::string bytes(size, '\0');
            EXPECT_EQ(result->GetBlob(field, r.data(), false, count, size, bytes.data(), 0), 0);
            result->FreeBlob(field, r.data(), 0, false);
            bodies.push_back(bytes);
        }
    }
    EXPECT_EQ(bodies, (std::vector<std::string>{body(3), body(3), body(3), body(3), body(2), body(2)}));
    EXPECT_EQ(Error("SELECT DISTINCT body FROM docs"),
              "Invalid BLOB column 'body' specified in DISTINCT clause");
    // Nor can an aggregate fold a BLOB.
    EXPECT_EQ(Error("SELECT MAX(body) FROM docs"),
              "MAX aggregate function must contain a numeric, date, time, or timestamp expression in source "
              "columns");
}

// A comparison with a parameter on an indexed column: the rows of each run are those of
// the same comparison with a constant, run after run.
TEST_F(SelectResultTest, ParameterComparisonsGiveTheRowsOfConstants) {
    CreateTable("P", {MakeField(1, "N", dtInteger), MakeField(2, "M", dtInteger)},
                {SecondaryIndex("ByM", {2})});
    std::vector<std::vector<TValue>> rows;
    for (int i = 1; i <= 60; ++i) rows.push_back({i, i % 7 == 0 ? TValue::Null() : TValue(i % 5)});
    Insert("P", rows);
    struct Case {
        const char* Text;      // with one or two markers
        const char* Constant;  // the same with the values
        std::vector<TValue> Values;
    } cases[] = {
        {"SELECT n FROM p WHERE m = ?", "SELECT n FROM p WHERE m = 3", {3}},
        {"SELECT n FROM p WHERE m = ?", "SELECT n FROM p WHERE m = 0", {0}},
        {"SELECT n FROM p WHERE m <> ?", "SELECT n FROM p WHERE m <> 2", {2}},
        {"SELECT n FROM p WHERE m BETWEEN ? AND ?", "SELECT n FROM p WHERE m BETWEEN 1 AND 3", {1, 3}},
        {"SELECT n FROM p WHERE m = ? AND n < 30", "SELECT n FROM p WHERE m = 2 AND n < 30", {2}},
        {"SELECT n FROM p WHERE m = ?", "SELECT n FROM p WHERE m = NULL", {TValue::Null()}},
        {"SELECT COUNT(*) FROM p WHERE m = ?", "SELECT COUNT(*) FROM p WHERE m = 1", {1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        const TRows expected = Query(c.Constant);
        ASSERT_FALSE(expected.empty());
        std::vector<TQueryStatement::TParamValue> fields;
        std::vector<uint8_t> bytes;
        for (const TValue& v : c.Values) {
            TQueryStatement::TParamValue f;
            f.Offset = int32_t(bytes.size());
            bytes.push_back(v.IsNull ? 0 : 1);
            if (v.Text) {
                f.DataType = dtString;
                f.DataSize = int32_t(v.Text->size() + 1);
                bytes.insert(bytes.end(), v.Text->c_str(), v.Text->c_str() + v.Text->size() + 1);
            } else {
                f.DataType = dtInteger;
                f.DataSize = 4;
                const auto* p = reinterpret_cast<const uint8_t*>(&v.Int);
                bytes.insert(bytes.end(), p, p + 4);
            }
            fields.push_back(f);
        }
        FStatement = std::make_unique<TQueryStatement>(FDatabase);
        int32_t position = 0;
        FStatement->Prepare(c.Text, position);
        for (int run = 0; run < 2; ++run) {
            FStatement->SetParams(int32_t(fields.size()), fields.data(), bytes.data());
            TDataCursor* result = nullptr;
            FStatement->Execute(result);
            ASSERT_NE(result, nullptr);
            EXPECT_EQ(Rows(*result), expected) << "run " << run;
        }
    }
}

// COUNT(*) under one condition that an index range answers is counted from the index; it
// must agree with the same condition evaluated row by row on a table without the index,
// also after rows were deleted and for the conditions the index does not answer alone.
TEST_F(SelectResultTest, CountStarFromAnIndexAgreesWithEvaluation) {
    for (const char* name : {"P", "Q"}) {
        std::vector<TIndexDescriptor> indexes;
        if (std::string(name) == "P") indexes.push_back(SecondaryIndex("ByM", {2}));
        CreateTable(name, {MakeField(1, "N", dtInteger), MakeField(2, "M", dtInteger)}, indexes);
        std::vector<std::vector<TValue>> rows;
        for (int i = 1; i <= 90; ++i) rows.push_back({i, i % 7 == 0 ? TValue::Null() : TValue(i % 5)});
        Insert(name, rows);
        Run(std::string("DELETE FROM ") + name + " WHERE n > 80 OR n = 3");
    }
    const char* conditions[] = {
        "m = 3",
        "m = 9",
        "m > 2",
        "m >= 2",
        "m < 2",
        "m <= 0",
        "m BETWEEN 1 AND 3",
        "m BETWEEN 3 AND 1",
        "m = NULL",
        "m <> NULL",
        "m IS NULL",
        "m <> 2",
        "m IN (1, 4)",
        "m NOT BETWEEN 1 AND 3",
        "m > 1 AND m < 4",
        "NOT (m = 1)",
    };
    for (const char* c : conditions) {
        SCOPED_TRACE(c);
        const TRows indexed = Query(std::string("SELECT COUNT(*) FROM p WHERE ") + c);
        const TRows evaluated = Query(std::string("SELECT COUNT(*) FROM q WHERE ") + c);
        const size_t rows = Query(std::string("SELECT n FROM q WHERE ") + c).size();
        EXPECT_EQ(indexed, evaluated);
        EXPECT_EQ(indexed, (TRows{{std::to_string(rows)}}));
    }
}

// A statement run again keeps the views of its source tables while nothing changed them:
// rows written since its last run by another cursor or statement must show in the next run.
TEST_F(SelectResultTest, StatementsRunAgainSeeTheRowsWrittenSinceTheirLastRun) {
    CreateTable("P", {MakeField(1, "N", dtInteger), MakeField(2, "M", dtInteger)},
                {SecondaryIndex("ByM", {2})});
    std::vector<std::vector<TValue>> rows;
    for (int i = 1; i <= 40; ++i) rows.push_back({i, i % 5});
    Insert("P", rows);
    const char* texts[] = {
        "SELECT n FROM p",
        "SELECT n FROM p WHERE m = 2",
        "SELECT n FROM p WHERE n > 35",
        "SELECT COUNT(*) FROM p WHERE m BETWEEN 1 AND 3",
        "SELECT COUNT(*) FROM p",
    };
    std::vector<std::unique_ptr<TQueryStatement>> statements;
    for (const char* text : texts) {
        statements.push_back(std::make_unique<TQueryStatement>(FDatabase));
        int32_t position = 0;
        statements.back()->Prepare(text, position);
    }
    auto check = [&](const char* step) {
        SCOPED_TRACE(step);
        for (size_t i = 0; i < statements.size(); ++i) {
            TDataCursor* result = nullptr;
            statements[i]->Execute(result);
            ASSERT_NE(result, nullptr);
            EXPECT_EQ(Rows(*result), Query(texts[i])) << texts[i];
        }
    };
    check("first run");
    check("nothing changed");
    Insert("P", {{41, 2}, {42, 3}});
    check("inserted by a cursor");
    Run("DELETE FROM p WHERE n = 2 OR n = 38");
    check("deleted by a statement");
    EXPECT_EQ(Query("SELECT COUNT(*) FROM p"), (TRows{{"40"}}));
}

}  // namespace
}  // namespace sqltest
