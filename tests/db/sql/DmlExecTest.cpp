// Data statements against tables on disk: values written and converted, the row loops of
// UPDATE and DELETE, their transactions and commits, and a second process meanwhile.
#include <filesystem>

#include "SqlExecSupport.h"
#include "db/sql/StatementTransaction.h"
#include "platform/rtl/Tick.h"
#include "tests/db/sql/SqlTableFixture.h"
#include "tests/support/FaultyFile.h"
#include "tests/support/ForkChild.h"

using namespace sqltest;

namespace {

using DmlExecTest = SqlExecTest;

std::string StrField(TDataCursor& c, const std::vector<uint8_t>& r, int32_t field) {
    char v[256];
    bool blank = false;
    c.GetField(field, r.data(), blank, v);
    return blank ? "<blank>" : std::string(v);
}

TEST_F(DmlExecTest, InsertValuesConvertsEachValueToItsColumn) {
    Run("CREATE TABLE t (id AUTOINC, name CHAR(10) CHARCASE UPPER, qty INTEGER, price DECIMAL(8,2), "
        "memo BLOB(1,1), PRIMARY KEY (id))");
    EXPECT_EQ(Run("INSERT INTO t (name, qty, price, memo) VALUES ('bolt', '12', 2.5, 'long text')"), 1);
    EXPECT_EQ(Run("INSERT INTO t VALUES (0, 'nut', 3 + 4, NULL, NULL)"), 1);
    // A text longer than any usual value is cut to the column all the same.
    EXPECT_EQ(Run("INSERT INTO t (name) VALUES ('" + std::string(600, 'w') + "')"), 1);
    auto c = Open("t");
    std::vector<uint8_t> r(size_t(c->GetRecordSize()));
    c->First();
    ASSERT_EQ(c->GetNextRecord(r.data()), 0);
    EXPECT_EQ(StrField(*c, r, 2), "BOLT");
    uint8_t v[256];
    bool blank = false;
    c->GetField(3, r.data(), blank, v);
    EXPECT_EQ(bytes::GetI32(v), 12);
    c->GetField(4, r.data(), blank, v);
    EXPECT_FALSE(blank);
    uint32_t size = 0;
    ASSERT_EQ(c->OpenBlob(5, r.data(), 0, false, bmRead), 0);
    ASSERT_EQ(c->GetBlobSize(5, r.data(), false, size), 0);
    EXPECT_EQ(size, 9u);
    c->FreeBlob(5, r.data(), 0, false);
    ASSERT_EQ(c->GetNextRecord(r.data()), 0);
    EXPECT_EQ(StrField(*c, r, 2), "NUT");
    c->GetField(3, r.data(), blank, v);
    EXPECT_EQ(bytes::GetI32(v), 7);
    c->GetField(4, r.data(), blank, v);
    EXPECT_TRUE(blank);
    c->GetField(1, r.data(), blank, v);
    EXPECT_EQ(bytes::GetI32(v), 2);  // the counter's, not the value given
    ASSERT_EQ(c->GetNextRecord(r.data()), 0);
    EXPECT_EQ(StrField(*c, r, 2), "WWWWWWWWWW");
}

TEST_F(DmlExecTest, NoAutoIncKeepsTheGivenNumbers) {
    Run("CREATE TABLE t (id AUTOINC, x INTEGER, PRIMARY KEY (id))");
    Run("INSERT INTO t (id, x) VALUES (100, 1) NOAUTOINC");
    Run("INSERT INTO t (x) VALUES (2)");
    EXPECT_EQ(Ints("t", 1), (std::vector<int32_t>{100, 101}));
}

TEST_F(DmlExecTest, ValueErrorsNameTheColumnAndTheValue) {
    Run("CREATE TABLE t (a INTEGER, b INTEGER, d DATE)");
    const struct {
        const char* Text;
        const char* Message;
    } cases[] = {
        {"INSERT INTO t (a, b) VALUES (1)", "The number of values must match the number of table columns"},
        {"INSERT INTO t VALUES (1, 2)", "The number of values must match the number of table columns"},
        {"INSERT INTO t (a) VALUES ('x')",
         "Type mismatch between column a and constant value 'x' in INSERT statement"},
        {"INSERT INTO t (d) VALUES (5)",
         "Date, time, or timestamp expression expected, instead found '5' in update values"},
        {"INSERT INTO t (zz) VALUES (5)",
         "Invalid column name 'zz' or table correlation name '' specified in table columns"},
        {"UPDATE t SET a = 'y'", "Type mismatch between column a and constant value 'y' in UPDATE statement"},
    };
    InsertRows("t", {{1, 1}});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        const TExecFailure f = Fail(c.Text);
        EXPECT_EQ(f.Code, ZIZIVU_SQLERROR);
        EXPECT_EQ(f.Message, c.Message);
    }
    EXPECT_EQ(Ints("t", 1), (std::vector<int32_t>{1}));
    EXPECT_FALSE(Database->InTransaction());
}

// Every row visited once: a delete or a change that takes the row out of the view leaves
// the cursor on the next row already.
TEST_F(DmlExecTest, EveryQualifyingRowIsVisitedOnce) {
    for (const char* index : {"", "CREATE INDEX ByX ON t (x)"}) {
        SCOPED_TRACE(*index ? "with an index on x" : "without index");
        Run("CREATE TABLE t (x INTEGER)");
        if (*index) Run(index);
        InsertRows("t", {{0}, {1}, {2}, {3}, {4}, {5}, {6}, {7}, {8}, {9}});
        EXPECT_EQ(Run("UPDATE t SET x = x + 10 WHERE x < 10"), 10);
        EXPECT_EQ(Ints("t", 1), (std::vector<int32_t>{10, 11, 12, 13, 14, 15, 16, 17, 18, 19}));
        EXPECT_EQ(Run("DELETE FROM t WHERE x > 14"), 5);
        EXPECT_EQ(Ints("t", 1), (std::vector<int32_t>{10, 11, 12, 13, 14}));
        // The last row leaves the view while an earlier changed one stays in it.
        Run("DELETE FROM t");
        InsertRows("t", {{2}, {9}});
        EXPECT_EQ(Run("UPDATE t SET x = x + 1 WHERE x < 10"), 2);
        EXPECT_EQ(Ints("t", 1), (std::vector<int32_t>{3, 10}));
        EXPECT_EQ(Run("DELETE FROM t"), 2);
        EXPECT_TRUE(Ints("t", 1).empty());
        Run("DROP TABLE t");
    }
}

// What a commit wrote survives a crash right after it: the rows and their keys of an
// index whose pages the commit writes in scattered runs, through a transaction and
// through an UPDATE's own commits.
TEST_F(DmlExecTest, CommittedRowsAndKeysSurviveACrash) {
    Session.reset();
    TFaultInjector faults;
    Reopen();
    Run("CREATE TABLE t (x INTEGER, y INTEGER)");
    Run("CREATE INDEX ByY ON t (y)");
    std::vector<std::vector<int32_t>> rows;
    for (int32_t i = 1; i <= 3000; ++i) rows.push_back({i, (i * 7919) % 101});
    InsertRows("t", rows);
    EXPECT_EQ(Run("UPDATE t SET y = y + 1 COMMIT INTERVAL 700"), 3000);
    faults.Crash();
    try {
        Session.reset();
    } catch (...) {
    }
    Reopen();
    const std::vector<int32_t> y = Ints("t", 2);
    ASSERT_EQ(y.size(), 3000u);
    for (int32_t i = 1; i <= 3000; ++i) ASSERT_EQ(y[size_t(i - 1)], (i * 7919) % 101 + 1) << i;
    // The index holds the same keys: counted from it and by evaluation.
    for (int32_t v : {1, 50, 101}) {
        const int32_t byIndex = Count("t", "y = " + std::to_string(v));
        EXPECT_EQ(byIndex, Count("t", "y + 0 = " + std::to_string(v))) << v;
        EXPECT_GT(byIndex, 0) << v;
    }
}

// A write of the index that fails in any commit of an UPDATE's intervals leaves the
// intervals committed before it, and the failing one wholly undone: rows and keys agree.
TEST_F(DmlExecTest, AFailedIntervalCommitIsUndoneWhereverItsWriteFails) {
    Session.reset();
    TFaultInjector faults;
    int32_t laterIntervals = 0;
    bool done = false;
    for (int32_t writes = 0; writes < 400 && !done; ++writes) {
        // A table per attempt: the faults are planned by file name.
        const std::string t = "t" + std::to_string(writes);
        Reopen();
        Run("CREATE TABLE " + t + " (x INTEGER, y INTEGER)");
        Run("CREATE INDEX ByY ON " + t + " (y)");
        std::vector<std::vector<int32_t>> rows;
        for (int32_t i = 1; i <= 100; ++i) rows.push_back({i, (i * 37) % 11});
        InsertRows(t, rows);
        faults.Plan(t + ".IDX", {TFileFault::WriteError, writes, 1});
        Reopen();
        try {
            Run("UPDATE " + t + " SET y = y + 1 COMMIT INTERVAL 20");
            done = true;
        } catch (const EZIZIVUEngineError&) {
        }
        faults.Plan(t + ".IDX", {});
        Reopen();
        const std::vector<int32_t> y = Ints(t, 2);
        ASSERT_EQ(y.size(), 100u) << writes;
        int32_t updated = 0;
        while (updated < 100 && y[size_t(updated)] == ((updated + 1) * 37) % 11 + 1) ++updated;
        for (int32_t i = updated; i < 100; ++i)
            ASSERT_EQ(y[size_t(i)], ((i + 1) * 37) % 11) << writes << " row " << i;
        EXPECT_EQ(updated % 20, 0) << writes;
        if (!done && updated >= 40) ++laterIntervals;
        for (int32_t v = 0; v <= 11; ++v) {
            const std::string value = std::to_string(v);
            ASSERT_EQ(Count(t, "y = " + value), Count(t, "y + 0 = " + value)) << writes << " value " << v;
        }
    }
    EXPECT_TRUE(done);
    EXPECT_GT(laterIntervals, 0);
}

class CommitTest : public SqlExecTest {
protected:
    void SetUp() override {
        SqlExecTest::SetUp();
        SetStatementCommitObserver([this](TDataDirectory*, bool end) { Commits.push_back(end); });
    }
    void TearDown() override {
        SetStatementCommitObserver(nullptr);
        SqlExecTest::TearDown();
    }

    // 100-byte records: the 9-byte header, an integer (5) and a string of 84 (86).
    void MakeTable(int32_t rows) {
        Run("CREATE TABLE t (x INTEGER, s CHAR(84))");
        ASSERT_EQ(Open("t")->GetRecordSize(), 100);
        std::vector<std::vector<int32_t>> values;
        for (int32_t i = 0; i < rows; ++i) values.push_back({i});
        InsertRows("t", values);
        Commits.clear();
    }

    std::vector<bool> Commits;
};

TEST_F(CommitTest, OwnTransactionCommitsEveryIntervalOfRows) {
    MakeTable(2700);
    EXPECT_EQ(Run("UPDATE t SET x = x + 1"), 2700);
    // 262140 div 100 = 2621 rows per commit, then the end.
    EXPECT_EQ(Commits, (std::vector<bool>{false, true}));
    EXPECT_FALSE(Database->InTransaction());
    Commits.clear();
    EXPECT_EQ(Run("DELETE FROM t WHERE x > 1900 COMMIT INTERVAL 400"), 800);
    EXPECT_EQ(Commits, (std::vector<bool>{false, false, true}));
}

TEST_F(CommitTest, OuterTransactionIsCommittedOnlyWhenTheStatementAsks) {
    MakeTable(3000);
    Database->StartTransaction();
    EXPECT_EQ(Run("UPDATE t SET x = x + 10000"), 3000);
    EXPECT_TRUE(Commits.empty());
    EXPECT_TRUE(Database->InTransaction());
    Database->Rollback();
    EXPECT_EQ(Ints("t", 1)[2999], 2999);  // nothing of it was committed
    Database->StartTransaction();
    EXPECT_EQ(Run("DELETE FROM t WHERE x >= 2000 COMMIT INTERVAL 250"), 1000);
    EXPECT_EQ(Commits, (std::vector<bool>{false, false, false, false}));
    EXPECT_TRUE(Database->InTransaction());
    Database->Rollback();
    EXPECT_EQ(Ints("t", 1).size(), 2000u);  // committed every 250 rows
}

// A failing statement rolls back what its own transaction holds, so that the statements
// after it run in transactions of their own and close keeps them.
TEST_F(DmlExecTest, FailingUpdateRollsBackItsOwnTransaction) {
    Run("CREATE TABLE t (x INTEGER, y INTEGER MAX '999')");
    std::vector<std::vector<int32_t>> rows;
    for (int32_t i = 1; i <= 100; ++i) rows.push_back({i, 0});
    InsertRows("t", rows);
    const TExecFailure f = Fail("UPDATE t SET y = x * 20");  // row 50 exceeds the maximum
    EXPECT_EQ(f.Code, ZIZIVU_MAXVALERR);
    EXPECT_FALSE(Database->InTransaction());
    Run("INSERT INTO t (x, y) VALUES (500, 1)");
    Reopen();
    const std::vector<int32_t> y = Ints("t", 2);
    ASSERT_EQ(y.size(), 101u);
    for (int32_t i = 0; i < 100; ++i) EXPECT_EQ(y[size_t(i)], 0) << "row " << i + 1;
    EXPECT_EQ(y[100], 1);
}

TEST_F(DmlExecTest, FailingUpdateKeepsEarlierCommitIntervals) {
    Run("CREATE TABLE t (x INTEGER, y INTEGER MAX '999')");
    std::vector<std::vector<int32_t>> rows;
    for (int32_t i = 1; i <= 100; ++i) rows.push_back({i, 0});
    InsertRows("t", rows);
    Fail("UPDATE t SET y = x * 20 COMMIT INTERVAL 20");
    const std::vector<int32_t> y = Ints("t", 2);
    for (int32_t i = 1; i <= 100; ++i) EXPECT_EQ(y[size_t(i - 1)], i <= 40 ? i * 20 : 0) << "row " << i;
}

TEST_F(DmlExecTest, SecondProcessCannotWriteWhileTheStatementRuns) {
    Run("CREATE TABLE t (x INTEGER)");
    InsertRows("t", {{1}, {2}, {3}});
    const std::string folder = Scratch.Path();
    TForkChild child([&](TForkChild& link) {
        if (link.Receive() != 'G') return 10;
        // The write lock's retries run on a fast clock.
        TVirtualClockScope clock(1000.0);
        TDataSession session;
        session.SetLockRetryCount(0);
        TDataCursor c(session.OpenDirectory("db", folder));
        c.SetTableName("t");
        c.Open();
        std::vector<uint8_t> r(size_t(c.GetRecordSize()));
        c.InitRecord(r.data());
        uint16_t code = 0;
        try {
            c.InsertRecord(r.data());
        } catch (const EZIZIVUEngineError& e) {
            code = e.ErrorCode();
        }
        link.Send(code == ZIZIVU_LOCKFAILED ? 'R' : 'W');
        return 0;
    });
    char answer = 0;
    Run("UPDATE t SET x = x + 1", [&](TObject*, int32_t current, uint16_t, bool&) {
        if (current != 2) return;
        child.Send('G');
        answer = child.Receive();
    });
    EXPECT_EQ(answer, 'R');
    EXPECT_TRUE(WaitForChild(child.Pid()).ExitedWith(0));
    EXPECT_EQ(Ints("t", 1), (std::vector<int32_t>{2, 3, 4}));
}

TEST_F(DmlExecTest, InsertSelectCopiesTheSelectedRows) {
    Run("CREATE TABLE src (a INTEGER, b CHAR(5))");
    Run("CREATE TABLE dst (n INTEGER, s CHAR(8), extra INTEGER)");
    for (const char* row : {"(1, 'one')", "(2, 'two')", "(3, 'three')"})
        Run(std::string("INSERT INTO src VALUES ") + row);
    EXPECT_EQ(Run("INSERT INTO dst (s, n) SELECT b, a * 10 FROM src WHERE a > 1"), 2);
    auto c = Open("dst");
    std::vector<uint8_t> r(size_t(c->GetRecordSize()));
    std::vector<std::string> rows;
    c->First();
    while (c->GetNextRecord(r.data()) == 0) {
        uint8_t v[8];
        bool blank;
        c->GetField(1, r.data(), blank, v);
        rows.push_back(std::to_string(bytes::GetI32(v)) + StrField(*c, r, 2) + StrField(*c, r, 3));
    }
    EXPECT_EQ(rows, (std::vector<std::string>{"20two<blank>", "30three<blank>"}));
    EXPECT_EQ(Fail("INSERT INTO dst (n) SELECT a, b FROM src").Message,
              "The number of values must match the number of table columns");
}

TEST_F(DmlExecTest, InsertSelectFromItsOwnTargetReadsTheRowsOnce) {
    Run("CREATE TABLE t (x INTEGER)");
    InsertRows("t", {{1}, {2}, {3}});
    EXPECT_EQ(Run("INSERT INTO t SELECT x + 10 FROM t"), 3);
    EXPECT_EQ(Ints("t", 1), (std::vector<int32_t>{1, 2, 3, 11, 12, 13}));
}

TEST_F(DmlExecTest, CorrelationNamesAndSubSelects) {
    Run("CREATE TABLE t (x INTEGER)");
    Run("CREATE TABLE u (y INTEGER)");
    InsertRows("t", {{1}, {2}, {3}, {4}});
    InsertRows("u", {{2}, {4}});
    EXPECT_EQ(Run("UPDATE t AS a SET a.x = a.x + 100 WHERE a.x IN (SELECT y FROM u)"), 2);
    EXPECT_EQ(Ints("t", 1), (std::vector<int32_t>{1, 102, 3, 104}));
    EXPECT_EQ(Run("DELETE FROM t b WHERE b.x > 100"), 2);
    EXPECT_EQ(Ints("t", 1), (std::vector<int32_t>{1, 3}));
}

TEST_F(DmlExecTest, SubSelectOfATablesLaterField) {
    Run("CREATE TABLE t (x INTEGER)");
    Run("CREATE TABLE u (z INTEGER, y INTEGER)");
    InsertRows("t", {{1}, {2}, {3}, {4}});
    InsertRows("u", {{0, 2}, {0, 4}});
    EXPECT_EQ(Run("UPDATE t SET x = x + 10 WHERE x IN (SELECT y FROM u)"), 2);
    EXPECT_EQ(Run("DELETE FROM t WHERE x - 10 IN (SELECT y FROM u)"), 2);
    EXPECT_EQ(Ints("t", 1), (std::vector<int32_t>{1, 3}));
}

// A sub-select reads its rows before the statement changes the first one, also when it
// reads the table the statement changes, directly or through a sub-select of its own.
TEST_F(DmlExecTest, SubSelectsSeeTheRowsAsTheyWereBeforeTheStatement) {
    const struct {
        const char* Text;
        int32_t Affected;
        std::vector<int32_t> Ids;  // left in t2 afterwards
    } cases[] = {
        {"DELETE FROM t2 WHERE n2 IN (SELECT id FROM t2)", 2, {12}},
        {"DELETE FROM t2 WHERE n2 IN (SELECT y FROM u WHERE y IN (SELECT id FROM t2))", 2, {12}},
        {"UPDATE t2 SET id = id + 100 WHERE n2 IN (SELECT id FROM t2)", 2, {111, 113, 12}},
    };
    Run("CREATE TABLE u (y INTEGER)");
    InsertRows("u", {{11}, {13}});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        Run("CREATE TABLE t2 (id INTEGER, n2 INTEGER)");
        InsertRows("t2", {{11, 13}, {13, 11}, {12, 99}});
        EXPECT_EQ(Run(c.Text), c.Affected);
        EXPECT_EQ(Ints("t2", 1), c.Ids);
        Run("DROP TABLE t2");
    }
}

TEST_F(DmlExecTest, ProgressPerRowAndAbort) {
    Run("CREATE TABLE t (x INTEGER)");
    InsertRows("t", {{1}, {2}, {3}, {4}});
    std::vector<std::pair<int32_t, int32_t>> calls;
    const auto record = [&](TObject*, int32_t current, uint16_t percent, bool&) {
        calls.emplace_back(current, percent);
    };
    EXPECT_EQ(Run("UPDATE t SET x = x * 2", record), 4);
    EXPECT_EQ(calls, (std::vector<std::pair<int32_t, int32_t>>{{1, 25}, {2, 50}, {3, 75}, {4, 100}}));
    calls.clear();
    // Aborted at the first row: that row is done, the total reported at the end.
    const auto abortFirst = [&](TObject* sender, int32_t current, uint16_t percent, bool& abort) {
        record(sender, current, percent, abort);
        abort = true;
    };
    EXPECT_EQ(Run("DELETE FROM t", abortFirst), 1);
    EXPECT_EQ(calls, (std::vector<std::pair<int32_t, int32_t>>{{1, 25}, {4, 100}}));
    EXPECT_EQ(Ints("t", 1), (std::vector<int32_t>{4, 6, 8}));
}

// A row another cursor holds makes the UPDATE fail with the lock error; the statement's
// own locks and transaction go with it.
TEST_F(DmlExecTest, UpdateOfALockedRecordFailsAndLeavesNoLocks) {
    Run("CREATE TABLE t (x INTEGER)");
    InsertRows("t", {{1}, {2}, {3}});
    auto holder = Open("t");
    holder->SwitchToIndexNumber(RecordNumberOrderIndex);
    std::vector<uint8_t> r(size_t(holder->GetRecordSize()));
    holder->First();
    holder->GetNextRecord(r.data());
    holder->GetNextRecord(r.data());
    ASSERT_EQ(holder->GetCurrentRecord(r.data(), true), 0);
    EXPECT_EQ(Fail("UPDATE t SET x = x + 1").Code, ZIZIVU_RECLOCKFAILED);
    EXPECT_FALSE(Database->InTransaction());
    holder->UnlockRecord(0);
    holder.reset();
    EXPECT_EQ(Ints("t", 1), (std::vector<int32_t>{1, 2, 3}));
    EXPECT_EQ(Run("UPDATE t SET x = x + 1"), 3);
    EXPECT_EQ(Ints("t", 1), (std::vector<int32_t>{2, 3, 4}));
}

// A statement whose preparation failed is refused when run: it neither writes what it
// made of its text nor reads the plan it did not finish.
TEST_F(DmlExecTest, AStatementThatFailedToPrepareIsNotRun) {
    Run("CREATE TABLE t (n INTEGER, m INTEGER)");
    Run("CREATE TABLE u (k INTEGER)");
    for (const char* text : {"INSERT INTO t (n, m) VALUES (7)", "UPDATE t SET m = (SELECT k FROM u)"}) {
        TQueryStatement s(Database);
        int32_t position = 0;
        EXPECT_THROW(s.Prepare(text, position), EZIZIVUEngineError) << text;
        TDataCursor* result = nullptr;
        try {
            s.Execute(result);
            ADD_FAILURE() << text << " was run";
        } catch (const EZIZIVUEngineError& e) {
            EXPECT_EQ(e.ErrorCode(), ZIZIVU_SQLERROR) << text;
        }
    }
    EXPECT_EQ(Count("t", "n = n"), 0);
}

// BLOB values: written whole, replaced (a shorter one too) and copied by INSERT ... SELECT.
TEST_F(DmlExecTest, BlobValuesAreReplacedAndCopied) {
    Run("CREATE TABLE t (x INTEGER, memo BLOB(1,1))");
    Run("CREATE TABLE u (x INTEGER, memo BLOB(1,1))");
    Run("INSERT INTO t VALUES (1, 'abc')");
    Run("INSERT INTO t VALUES (2, 'defgh')");
    EXPECT_EQ(Run("UPDATE t SET memo = 'longer text' WHERE x = 1"), 1);
    EXPECT_EQ(Run("UPDATE t SET memo = 'xy' WHERE x = 2"), 1);
    // A memo written from an expression over memos, or selected as one, is as long as its
    // text.
    EXPECT_EQ(Run("UPDATE t SET memo = UPPER(memo)"), 2);
    EXPECT_EQ(Run("UPDATE t SET memo = LOWER(memo) || ''"), 2);
    EXPECT_EQ(Run("UPDATE t SET memo = TRIM(TRAILING ' ' FROM memo || '   ')"), 2);
    EXPECT_EQ(Run("UPDATE t SET memo = CAST(memo AS BLOB(1,1))"), 2);
    EXPECT_EQ(Run("INSERT INTO u SELECT x, UPPER(memo) FROM t"), 2);
    for (const char* name : {"t", "u"}) {
        auto c = Open(name);
        std::vector<uint8_t> r(size_t(c->GetRecordSize()));
        std::vector<uint32_t> sizes;
        c->First();
        while (c->GetNextRecord(r.data()) == 0) {
            uint32_t size = 0;
            EXPECT_EQ(c->OpenBlob(2, r.data(), 0, false, bmRead), 0);
            EXPECT_EQ(c->GetBlobSize(2, r.data(), false, size), 0);
            c->FreeBlob(2, r.data(), 0, false);
            sizes.push_back(size);
        }
        EXPECT_EQ(sizes, (std::vector<uint32_t>{11, 2})) << name;
    }
    // A value of no bytes (the memo of two NULLs) leaves the field blank, as an empty text does.
    Run("INSERT INTO t VALUES (3, NULL)");
    EXPECT_EQ(Run("UPDATE t SET memo = memo || memo WHERE x = 3"), 1);
    EXPECT_EQ(Run("INSERT INTO t SELECT 4, memo || memo FROM t WHERE x = 3"), 1);
    auto c = Open("t");
    std::vector<uint8_t> r(size_t(c->GetRecordSize()));
    std::vector<bool> blanks;
    c->First();
    while (c->GetNextRecord(r.data()) == 0) {
        uint8_t v[64];
        bool blank = false;
        c->GetField(2, r.data(), blank, v);
        blanks.push_back(blank);
    }
    EXPECT_EQ(blanks, (std::vector<bool>{false, false, true, true}));
    // A later SET item reads the memo an earlier one wrote, and the earlier one's stays.
    Run("CREATE TABLE w (a BLOB(1,1), b BLOB(1,1))");
    Run("INSERT INTO w VALUES (NULL, NULL)");
    EXPECT_EQ(Run("UPDATE w SET a = 'new text', b = a"), 1);
    EXPECT_EQ(Count("w", "a = 'new text' AND b = 'new text'"), 1);
}

// A memo set to NULL gives its blocks back: set and cleared again and again, the BLOB file
// keeps the size it took the first time.
TEST_F(DmlExecTest, AMemoSetToNullGivesItsBlocksBack) {
    Run("CREATE TABLE t (x INTEGER, memo BLOB(1,1))");
    Run("INSERT INTO t VALUES (1, 'x')");
    const std::string text(200, 'b');
    auto cycle = [&] {
        Run("UPDATE t SET memo = '" + text + "'");
        Run("UPDATE t SET memo = NULL");
    };
    cycle();
    const std::string file = Scratch.Path() + "/t.BLB";
    const auto size = std::filesystem::file_size(file);
    for (int i = 0; i < 10; ++i) cycle();
    EXPECT_EQ(std::filesystem::file_size(file), size);
}

// Statements run in order on fresh tables, then a SELECT whose rows they must give.
class DmlValuesTest : public SqlTableTest {
protected:
    struct Case {
        std::vector<const char*> Statements;
        const char* Select;
        TRows Rows;
    };
    void Check(const std::vector<Case>& cases, const std::vector<const char*>& tables) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.Statements.back());
            for (const char* t : tables) Run(std::string("CREATE TABLE ") + t);
            for (const char* statement : c.Statements) Run(statement);
            EXPECT_EQ(Query(c.Select), c.Rows);
            FStatement.reset();
            for (const std::string t : tables) Run("DROP TABLE " + t.substr(0, t.find(' ')));
        }
    }
};

// A computed value is written whole, whatever the sizes of the operands it came from.
TEST_F(DmlValuesTest, ArithmeticResultsAreWrittenWhole) {
    Check({{{"INSERT INTO t1 VALUES (20, -3, 40, NULL)", "UPDATE t1 SET fl = (n1 / id)"},
            "SELECT fl FROM t1",
            {{"-0.15"}}},
           {{"INSERT INTO t1 VALUES (20, -3, 40, NULL)", "UPDATE t1 SET n2 = (n2 / id)"},
            "SELECT n2 FROM t1",
            {{"2"}}},
           {{"INSERT INTO t1 (id, fl) VALUES (1, 3 / 4)"}, "SELECT fl FROM t1", {{"0.75"}}},
           {{"INSERT INTO t1 VALUES (20, -3, 40, NULL)"},
            "SELECT CAST(n1 / id AS CHAR(12)) FROM t1",
            {{"-0.15"}}},
           {{"INSERT INTO s1 VALUES (30000, 30000, 0)", "UPDATE s1 SET i = a * b"},
            "SELECT i FROM s1",
            {{"900000000"}}},
           {{"INSERT INTO s1 VALUES (-30000, -30000, 0)", "UPDATE s1 SET i = a + b"},
            "SELECT i FROM s1",
            {{"-60000"}}}},
          {"t1 (id INTEGER, n1 INTEGER, n2 INTEGER, fl FLOAT)", "s1 (a SMALLINT, b SMALLINT, i INTEGER)"});
}

// INSERT VALUES has no row to read columns from: a quoted value that names a column of
// the table is the text it spells.
TEST_F(DmlValuesTest, InsertedTextsThatNameColumnsAreTexts) {
    Check({{{"INSERT INTO k (c) VALUES ('c')"}, "SELECT c, s, n FROM k", {{"c", "NULL", "NULL"}}},
           {{"INSERT INTO k (c, s) VALUES ('C', 's')"}, "SELECT c, s FROM k", {{"C", "s"}}},
           {{"INSERT INTO k VALUES ('S', 'n', 5, NULL, NULL)"}, "SELECT c, s, n FROM k", {{"S", "n", "5"}}},
           // Named columns of other types: the texts are converted as any other.
           {{"INSERT INTO k (c, n) VALUES ('n', 7)"}, "SELECT c, n FROM k", {{"n", "7"}}},
           {{"INSERT INTO k (b) VALUES ('true')"}, "SELECT b FROM k", {{"1"}}}},
          {"k (c CHAR(10), s CHAR(10), n INTEGER, b BOOLEAN, 'True' INTEGER)"});
}

}  // namespace
