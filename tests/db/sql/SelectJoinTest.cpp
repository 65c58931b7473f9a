// SELECT over several tables: cross products, inner and outer joins, join planning errors,
// conditions, sub-selects.
#include <pthread.h>

#include <algorithm>
#include <functional>

#include "tests/db/sql/SqlTableFixture.h"

namespace sqltest {
namespace {

class SelectJoinTest : public SqlTableTest {
protected:
    void SetUp() override {
        SqlTableTest::SetUp();
        CreateTable("A", {MakeField(1, "N", dtInteger), MakeField(2, "NAME", dtString, 10)});
        Insert("A", {{1, "one"}, {2, "two"}, {3, "three"}});
        CreateTable("B", {MakeField(1, "K", dtInteger), MakeField(2, "V", dtString, 10)});
        Insert("B", {{3, "c"}, {1, "a"}, {1, "b"}});
    }
    // A small table whose keys match some of a's.
    void CreateR() {
        CreateTable("R", {MakeField(1, "K", dtInteger), MakeField(2, "W", dtInteger)});
        Insert("R", {{1, 5}, {2, 0}});
    }
    struct TCase {
        const char* Text;
        TRows Expected;
    };
    void ExpectRows(const std::vector<TCase>& cases) {
        for (const TCase& c : cases) EXPECT_EQ(Query(c.Text), c.Expected) << c.Text;
    }
};

TEST_F(SelectJoinTest, CrossProductVariesTheLastTableFastest) {
    EXPECT_EQ(Query("SELECT a.n, b.v FROM a, b"), (TRows{{"1", "c"},
                                                         {"1", "a"},
                                                         {"1", "b"},
                                                         {"2", "c"},
                                                         {"2", "a"},
                                                         {"2", "b"},
                                                         {"3", "c"},
                                                         {"3", "a"},
                                                         {"3", "b"}}));
    EXPECT_EQ(FStatement->GetRowsAffected(), 9);
}

TEST_F(SelectJoinTest, InnerAndLeftOuterJoins) {
    ExpectRows({
        {"SELECT a.n, b.v FROM a JOIN b ON a.n = b.k", {{"1", "a"}, {"1", "b"}, {"3", "c"}}},
        {"SELECT a.n, b.v FROM a INNER JOIN b ON b.k = a.n", {{"1", "a"}, {"1", "b"}, {"3", "c"}}},
        {"SELECT a.n, b.v FROM a, b WHERE a.n = b.k", {{"1", "a"}, {"1", "b"}, {"3", "c"}}},
        // The row without a match comes once, with NULLs.
        {"SELECT a.n, b.v FROM a LEFT OUTER JOIN b ON a.n = b.k",
         {{"1", "a"}, {"1", "b"}, {"2", "NULL"}, {"3", "c"}}},
        {"SELECT a.n, b.v FROM b RIGHT JOIN a ON b.k = a.n",
         {{"1", "a"}, {"1", "b"}, {"2", "NULL"}, {"3", "c"}}},
        // A condition on the inner table of an outer join is tested on the joined row.
        {"SELECT a.n, b.v FROM a LEFT JOIN b ON a.n = b.k WHERE b.v IS NULL", {{"2", "NULL"}}},
        {"SELECT a.n, b.v FROM a, b WHERE a.n = b.k AND b.v <> 'a' AND a.n < 3", {{"1", "b"}}},
        // A disjunction over both tables is tested on every combination.
        {"SELECT a.n, b.v FROM a, b WHERE a.n = 2 OR b.v = 'c'",
         {{"1", "c"}, {"2", "c"}, {"2", "a"}, {"2", "b"}, {"3", "c"}}},
    });
}

TEST_F(SelectJoinTest, TheRowAnOuterJoinAddsHasNullsInEveryKindOfColumn) {
    // An auto-increment field has no blank flag in the record: its NULL comes from the
    // table having no row.
    CreateTable("G", {MakeField(1, "K", dtInteger), MakeField(2, "ID", dtInteger, 0, fstAutoInc)});
    Insert("G", {{3, 0}});
    EXPECT_EQ(Query("SELECT a.n, g.id, g.k FROM a LEFT JOIN g ON a.n = g.k"),
              (TRows{{"1", "NULL", "NULL"}, {"2", "NULL", "NULL"}, {"3", "1", "3"}}));
}

TEST_F(SelectJoinTest, ComparisonsAreMirroredWhenTheJoinRunsTheOtherWay) {
    CreateTable("X", {MakeField(1, "K", dtInteger)});
    Insert("X", {{1}, {2}, {3}});
    CreateTable("Y", {MakeField(1, "K", dtInteger)});
    Insert("Y", {{2}});
    // The join runs from y to x: x is filtered with x.k > the current y.k, equal values
    // are not joined.
    EXPECT_EQ(Query("SELECT x.k FROM y, x WHERE x.k > y.k"), (TRows{{"3"}}));
    EXPECT_EQ(Query("SELECT x.k FROM y, x WHERE y.k <= x.k NOJOINOPTIMIZE"), (TRows{{"2"}, {"3"}}));
    EXPECT_EQ(Query("SELECT x.k FROM x, y WHERE x.k < y.k"), (TRows{{"1"}}));
}

TEST_F(SelectJoinTest, ConditionsThatHoldOnlyOnTheJoinedRow) {
    CreateR();
    ExpectRows({
        // A NOT over two tables is no join: it is tested whole.
        {"SELECT a.n, b.v FROM a, b WHERE NOT (a.n = b.k)",
         {{"1", "c"}, {"2", "c"}, {"2", "a"}, {"2", "b"}, {"3", "a"}, {"3", "b"}}},
        {"SELECT a.n, b.v FROM a, b WHERE NOT (a.n > b.k OR b.v = 'c')", {{"1", "a"}, {"1", "b"}}},
        {"SELECT a.n, b.v FROM a JOIN b ON a.n >= b.k WHERE NOT ((b.k >= a.n OR b.v = 'c'))",
         {{"2", "a"}, {"2", "b"}, {"3", "a"}, {"3", "b"}}},
        // A WHERE comparison between the two tables of an outer join drops the row that
        // the join extends with NULLs; r has fewer rows than a.
        {"SELECT a.n, r.w FROM a LEFT JOIN r ON a.n = r.k WHERE r.w > a.n", {{"1", "5"}}},
        {"SELECT a.n, r.w FROM r RIGHT JOIN a ON r.k = a.n WHERE a.n < r.w", {{"1", "5"}}},
        // Nor does a join beyond it keep the row whose match it had refused.
        {"SELECT a.n, b.v, r.w FROM a LEFT JOIN b ON a.n = b.k JOIN r ON b.k >= r.k AND b.k <= r.k",
         {{"1", "a", "5"}, {"1", "b", "5"}}},
    });
}

TEST_F(SelectJoinTest, AComparisonThatClosesARingOfJoinsHoldsOnTheJoinedRow) {
    CreateR();
    CreateTable("T",
                {MakeField(1, "K", dtInteger), MakeField(2, "X", dtInteger), MakeField(3, "Y", dtInteger)});
    Insert("T", {{0, 3, 0}, {1, 2, 3}, {2, 3, 2}});
    ExpectRows({
        {"SELECT p.k, q.k, r.k FROM t p, t q, t r WHERE p.k < q.k AND q.k < r.k AND r.x = p.x",
         {{"0", "1", "2"}}},
        {"SELECT p.k, q.k, r.k FROM t p JOIN t q ON p.k = q.k JOIN t r ON q.y = r.y AND r.x = p.x",
         {{"0", "0", "0"}, {"1", "1", "1"}, {"2", "2", "2"}}},
        {"SELECT p.k, q.k, r.k, s.k FROM t p, t q, t r, t s "
         "WHERE p.x = q.x AND q.y = r.y AND r.k = s.k AND s.k = p.k",
         {{"0", "0", "0", "0"}, {"1", "1", "1", "1"}, {"2", "2", "2", "2"}}},
        {"SELECT a.n, b.k, r.k FROM a, b, r WHERE a.n = b.k AND b.k = r.k AND a.n = r.k",
         {{"1", "1", "1"}, {"1", "1", "1"}}},
    });
}

TEST_F(SelectJoinTest, AnOuterJoinMatchesOnItsWholeOnCondition) {
    ExpectRows({
        {"SELECT a.n, b.v FROM a LEFT JOIN b ON NOT (a.n = b.k)",
         {{"1", "c"}, {"2", "c"}, {"2", "a"}, {"2", "b"}, {"3", "a"}, {"3", "b"}}},
        {"SELECT a.n, b.v FROM b RIGHT JOIN a ON NOT (b.k = a.n)",
         {{"1", "c"}, {"2", "c"}, {"2", "a"}, {"2", "b"}, {"3", "a"}, {"3", "b"}}},
        {"SELECT a.n, b.v FROM a LEFT JOIN b ON a.n = b.k OR b.v = 'c'",
         {{"1", "c"}, {"1", "a"}, {"1", "b"}, {"2", "c"}, {"3", "c"}}},
        {"SELECT a.n, b.v FROM b RIGHT JOIN a ON b.v = 'c' OR b.k = a.n",
         {{"1", "c"}, {"1", "a"}, {"1", "b"}, {"2", "c"}, {"3", "c"}}},
        // A part on one table only refuses the match, not the row.
        {"SELECT a.n, b.v FROM a LEFT JOIN b ON NOT (a.n = b.k OR a.n = 2)",
         {{"1", "c"}, {"2", "NULL"}, {"3", "a"}, {"3", "b"}}},
        {"SELECT a.n, b.v FROM a LEFT JOIN b ON a.n = b.k AND b.v = 'c'",
         {{"1", "NULL"}, {"2", "NULL"}, {"3", "c"}}},
        {"SELECT a.n, b.v FROM b RIGHT JOIN a ON a.n > 1 AND b.k = a.n",
         {{"1", "NULL"}, {"2", "NULL"}, {"3", "c"}}},
    });
}

TEST_F(SelectJoinTest, ATableAfterAnOuterJoinIsCrossedWithEachJoinedRow) {
    CreateR();
    CreateTable("E", {MakeField(1, "K", dtInteger)});
    const TRows crossed{{"1", "a", "5"},    {"1", "a", "0"},    {"1", "b", "5"}, {"1", "b", "0"},
                        {"2", "NULL", "5"}, {"2", "NULL", "0"}, {"3", "c", "5"}, {"3", "c", "0"}};
    ExpectRows({
        {"SELECT a.n, b.v, r.w FROM a LEFT JOIN b ON a.n = b.k, r", crossed},
        {"SELECT a.n, b.v, r.w FROM b RIGHT JOIN a ON b.k = a.n, r", crossed},
        {"SELECT a.n, b.v, r.w FROM a LEFT JOIN b ON a.n = b.k LEFT JOIN e ON b.k = e.k, r", crossed},
        {"SELECT a.n, b.v FROM a LEFT JOIN b ON a.n = b.k, e", {}},
    });
}

TEST_F(SelectJoinTest, TablesBelowAnOuterJoinAreJoinedToItsNullExtendedRow) {
    CreateTable("T1", {MakeField(1, "N1", dtInteger)});
    CreateTable("T3", {MakeField(1, "N1", dtInteger), MakeField(2, "F1", dtFloat)});
    Insert("T3", {{5, 1}, {6, 2}});
    CreateTable("U1", {MakeField(1, "N1", dtInteger), MakeField(2, "S", dtString, 4)});
    Insert("U1", {{1, "a"}, {2, "b"}});
    CreateTable("U2", {MakeField(1, "N1", dtInteger), MakeField(2, "N2", dtInteger)});
    Insert("U2", {{1, 10}});
    CreateTable("U3", {MakeField(1, "N2", dtInteger), MakeField(2, "S1", dtString, 4)});
    Insert("U3", {{10, "x"}, {20, "y"}, {TValue::Null(), "z"}});
    CreateTable("V3", {MakeField(1, "N1", dtInteger), MakeField(2, "S1", dtString, 4),
                       MakeField(3, "S2", dtString, 4)});
    Insert("V3", {{4, "p", "q"}});
    CreateTable("V1", {MakeField(1, "N1", dtInteger), MakeField(2, "S1", dtString, 4)});
    Insert("V1", {{4, "w"}, {5, "v"}});
    ExpectRows({
        // No row of t1 matches: each a row comes once with b NULL, crossed with every c row.
        {"SELECT a.f1, c.f1 FROM t3 a LEFT JOIN t1 b ON a.n1 = b.n1, t3 c",
         {{"1", "1"}, {"1", "2"}, {"2", "1"}, {"2", "2"}}},
        {"SELECT a.f1, c.f1 FROM t3 a LEFT JOIN t1 b ON a.n1 = b.n1 JOIN t3 c ON (a.f1 = c.f1) OR (a.f1 = "
         "1.0)",
         {{"1", "1"}, {"1", "2"}, {"2", "2"}}},
        // An inner join below the NULL-extended row matches by NULL = NULL, and refuses
        // the row when nothing matches.
        {"SELECT a.n1, b.n2, c.s1 FROM u1 a LEFT JOIN u2 b ON a.n1 = b.n1 JOIN u3 c ON b.n2 = c.n2",
         {{"1", "10", "x"}, {"2", "NULL", "z"}}},
        {"SELECT a.n1, b.n2, c.s1 FROM u1 a LEFT JOIN u2 b ON a.n1 = b.n1 JOIN u3 c ON b.n2 = c.n2 "
         "WHERE c.s1 <> 'z'",
         {{"1", "10", "x"}}},
        // 4 <> NULL holds: the NULL-extended b row finds its c rows.
        {"SELECT b.s1, c.s1 FROM v3 a LEFT JOIN v3 b ON (b.s1 = a.s2) LEFT JOIN v1 c ON (c.n1 <> b.n1)",
         {{"NULL", "w"}, {"NULL", "v"}}},
        {"SELECT b.s1, c.s1 FROM v3 a LEFT JOIN v3 b ON (b.s1 = a.s2) LEFT JOIN v1 c ON (c.n1 = b.n1)",
         {{"NULL", "NULL"}}},
    });
}

TEST_F(SelectJoinTest, AJoinBetweenLaterTablesOfACommaList) {
    // The smallest joined table is reached through a cross product.
    CreateTable("S", {MakeField(1, "K", dtInteger)});
    Insert("S", {{9}});
    CreateTable("E", {MakeField(1, "K", dtInteger)});
    ExpectRows({{"SELECT x1.n, x2.v FROM a x1, b x2, s x3 WHERE x2.k = x3.k", {}},
                {"SELECT x1.n FROM a x1, a x2, e x3 WHERE x2.n = x3.k", {}}});
    Insert("S", {{1}});
    TRows rows = Query("SELECT x1.n, x2.v FROM a x1, b x2, s x3 WHERE x2.k = x3.k");
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, (TRows{{"1", "a"}, {"1", "b"}, {"2", "a"}, {"2", "b"}, {"3", "a"}, {"3", "b"}}));
}

TEST_F(SelectJoinTest, TheSmallerJoinedTableDrivesUnlessNoJoinOptimize) {
    CreateTable("BIG", {MakeField(1, "K", dtInteger)});
    Insert("BIG", {{1}, {2}, {3}, {4}, {5}, {6}});
    CreateTable("SMALL", {MakeField(1, "K", dtInteger)});
    Insert("SMALL", {{5}, {2}});
    EXPECT_EQ(Query("SELECT big.k FROM big, small WHERE big.k = small.k"), (TRows{{"5"}, {"2"}}));
    EXPECT_EQ(FStatement->MainQuery()->PlanText(), "result; small join big; big");
    EXPECT_EQ(Query("SELECT big.k FROM big, small WHERE big.k = small.k NOJOINOPTIMIZE"),
              (TRows{{"2"}, {"5"}}));
    EXPECT_EQ(FStatement->MainQuery()->PlanText(), "result; big join small; small");
}

TEST_F(SelectJoinTest, PlanningErrorsNameTheirCause) {
    CreateTable("C", {MakeField(1, "K", dtInteger), MakeField(2, "WIDE", dtString, 250)});
    struct Case {
        const char* Text;
        std::string Message;
    } cases[] = {
        {"SELECT * FROM a, b, c WHERE a.n = c.k AND b.k = c.k",
         "Internal join error - table correlation name \"c\" is target of multiple join conditions in WHERE "
         "or "
         "JOIN clause"},
        {"SELECT * FROM a WHERE q.n = 1",
         "Table correlation name 'q' referenced in WHERE clause is not defined in the FROM clause"},
        {"SELECT * FROM a, b WHERE a.n + b.k = c.k",
         "Table correlation name 'c' referenced in WHERE clause is "
         "not defined in the FROM clause"},
        {"SELECT * FROM a, b, c WHERE a.n + b.k = c.k",
         "The join condition cannot contain multiple table correlation names in either the left or right "
         "operand in WHERE or JOIN clause"},
        {"SELECT zz FROM a",
         "Invalid column name 'zz' or table correlation name '' specified in source columns"},
        {"SELECT * FROM a WHERE n + 1", "WHERE or JOIN clause must be a boolean expression"},
        {"SELECT wide + 'x' FROM c",
         "Column expression 'wide + 'x'' exceeds the maximum allowable field size"},
        {"SELECT a.* AS x FROM a",
         "Invalid use of column correlation name 'x' for 'a.*' specified in source columns"},
    };
    for (const Case& c : cases) EXPECT_EQ(Error(c.Text), c.Message) << c.Text;
}

TEST_F(SelectJoinTest, InSubSelectFiltersItsOwnResultPerRow) {
    EXPECT_EQ(Query("SELECT n FROM a WHERE n IN (SELECT k FROM b)"), (TRows{{"1"}, {"3"}}));
    EXPECT_EQ(Query("SELECT n FROM a WHERE n NOT IN (SELECT k FROM b WHERE v = 'c')"), (TRows{{"1"}, {"2"}}));
    // A sub-select with an expression column is materialised.
    EXPECT_EQ(Query("SELECT n FROM a WHERE n IN (SELECT k + 1 FROM b)"), (TRows{{"2"}}));
    EXPECT_EQ(FStatement->QueryCount(), 2);
    // The sub-select's column need not be its table's first field.
    EXPECT_EQ(Query("SELECT n FROM a WHERE name IN (SELECT name FROM a WHERE n > 1)"), (TRows{{"2"}, {"3"}}));
    EXPECT_EQ(Query("SELECT k FROM b WHERE v IN (SELECT v FROM b WHERE k = 1)"), (TRows{{"1"}, {"1"}}));
    // Freed after the middle sub-select's table changed, the statement drops each filter
    // while the sub-selects it reads are still there.
    CreateR();
    EXPECT_EQ(Query("SELECT n FROM a WHERE n IN (SELECT k FROM b WHERE k IN (SELECT k FROM r))"),
              (TRows{{"1"}}));
    Insert("B", {{2, "d"}});
    FStatement.reset();
}

TEST_F(SelectJoinTest, AStatementRunsAgainWithTheTablesAsTheyAreThen) {
    for (bool live : {false, true}) {
        const char* text =
            live ? "SELECT n FROM a WHERE n > 1" : "SELECT a.n, b.v FROM a, b WHERE a.n = b.k AND b.v <> 'a'";
        TDataCursor* result = Run(text, [live](TQueryStatement& s) { s.SetRequestLive(live); });
        EXPECT_EQ(FStatement->MainQuery()->PlanText(),
                  live ? "live; a filter" : "result; a join b; b; residual join");
        const TRows first = Rows(*result);
        result = nullptr;
        FStatement->Execute(result);
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(Rows(*result), first) << text;
    }
    Insert("A", {{5, "five"}});
    TDataCursor* result = nullptr;
    FStatement->Execute(result);
    EXPECT_EQ(Rows(*result), (TRows{{"2"}, {"3"}, {"5"}}));
}

// Outer rows with the joined column's value of the row before keep the joined table's
// filter; a new value, next to the row or further on, builds it again.
TEST_F(SelectJoinTest, OuterRowsRepeatingAValueJoinTheSameRows) {
    CreateTable("R", {MakeField(1, "N", dtInteger), MakeField(2, "S", dtString, 10)});
    Insert("R", {{1, "x"}, {2, "x"}, {3, "y"}, {4, "x"}, {5, "y"}, {6, "y"}, {7, "z"}});
    ExpectRows({
        {"SELECT r1.n, COUNT(*) FROM r r1 JOIN r r2 ON r1.s = r2.s GROUP BY r1.n",
         {{"1", "3"}, {"2", "3"}, {"3", "3"}, {"4", "3"}, {"5", "3"}, {"6", "3"}, {"7", "1"}}},
        {"SELECT DISTINCT x1.s FROM r x1 JOIN r x2 ON x1.s = x2.s JOIN r x3 ON x2.s = x3.s",
         {{"x"}, {"y"}, {"z"}}},
        {"SELECT COUNT(*) FROM r x1 JOIN r x2 ON x1.s = x2.s JOIN r x3 ON x2.s = x3.s", {{"55"}}},
    });
    // Memos that differ only past their first bytes are other values.
    Run("CREATE TABLE m (n INTEGER, t BLOB(1,1))");
    for (const char* row : {"(1, 'abcdefghw')", "(2, 'abcdefghq')", "(3, 'abcdefghw')"})
        Run(std::string("INSERT INTO m VALUES ") + row);
    ExpectRows({{"SELECT m1.n, m2.n FROM m m1 JOIN m m2 ON m1.t = m2.t",
                 {{"1", "1"}, {"1", "3"}, {"2", "2"}, {"3", "1"}, {"3", "3"}}}});
}

TEST_F(SelectJoinTest, WithLocksReleasesItsLocksWhenTheRunFails) {
    FSession->SetLockRetryCount(1);
    FSession->SetLockWaitTime(1);
    bool failed = false;
    try {
        Run("SELECT a.n FROM a, b WITH LOCKS", [](TQueryStatement& s) {
            s.SetProgressEvent([](TObject*, int32_t, uint16_t, bool&) { throw std::runtime_error("stop"); });
        });
    } catch (const std::runtime_error&) {
        failed = true;
    }
    EXPECT_TRUE(failed);
    // Another cursor of this process can change the tables again, also after a run that
    // ended normally.
    auto insertInto = [this](const char* table) {
        TDataCursor c(FDatabase);
        c.SetTableName(table);
        c.Open();
        std::vector<uint8_t> r(size_t(c.GetRecordSize()));
        c.InitRecord(r.data());
        EXPECT_NO_THROW(c.InsertRecord(r.data())) << table;
    };
    insertInto("A");
    insertInto("B");
    EXPECT_EQ(Query("SELECT a.n FROM a, b WHERE a.n = b.k AND a.n > 0 WITH LOCKS").size(), 3u);
    insertInto("A");
    EXPECT_EQ(Query("SELECT COUNT(*) FROM a WITH LOCKS"), (TRows{{"5"}}));
}

// The values of an IN list are one chain, walked in a loop: a list of any length needs no
// deeper stack than a short one (here a thread's 256 KB; the walk once recursed per value).
TEST_F(SelectJoinTest, ALongInListNeedsNoDeepStack) {
    std::string list = "1";
    for (int i = 3; i < 20000; ++i) list += "," + std::to_string(i);
    const std::vector<std::pair<std::string, TRows>> cases = {
        {"SELECT N FROM A WHERE N IN (" + list + ") ORDER BY N", {{"1"}, {"3"}}},
        {"SELECT COUNT(*) FROM A, B WHERE A.N = B.K AND B.K IN (" + list + ")", {{"3"}}},
        {"SELECT COUNT(*) FROM A LEFT OUTER JOIN B ON A.N = B.K WHERE A.N IN (" + list + ")", {{"3"}}},
        {"SELECT N FROM A WHERE N IN (SELECT K FROM B WHERE K IN (" + list + ")) ORDER BY N", {{"1"}, {"3"}}},
    };
    std::function<void()> run = [&] {
        for (const auto& [text, rows] : cases) EXPECT_EQ(Query(text), rows) << text.substr(0, 60);
    };
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, 256 * 1024), 0);
    pthread_t thread;
    ASSERT_EQ(pthread_create(
                  &thread, &attr,
                  [](void* f) -> void* {
                      (*static_cast<std::function<void()>*>(f))();
                      return nullptr;
                  },
                  &run),
              0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
}

}  // namespace
}  // namespace sqltest
