// Cursors of two processes on one table: record locks, and changes seen at the next move.
#include "tests/db/engine/CursorFakes.h"
#include "tests/support/ForkChild.h"

namespace cursor_test {
namespace {

class CursorProcessTest : public CursorTest {
protected:
    void SetUp() override {
        CursorTest::SetUp();
        Create("SHARED", {MakeField(1, "ID", dtInteger, 0, fstAutoInc), MakeField(2, "NAME", dtString, 10)},
               {Index("", {1}), Index("ByName", {2}, false)});
        TDataCursor& c = OpenCursor("SHARED");
        for (const char* n : {"one", "two"}) {
            std::vector<uint8_t> r = Buffer(c);
            PutStr(c, r, 2, n);
            c.InsertRecord(r.data());
        }
        c.Close();
        FSession->SetLockRetryCount(0);
        FSession->SetStrictChangeDetection(true);
    }

    // The child's own session and cursor on the table (nothing of the parent's is open).
    static int RunChild(const std::string& folder, const std::function<int(TDataCursor&, TForkChild&)>& body,
                        TForkChild& link) {
        TDataSession session;
        session.SetLockRetryCount(0);
        session.SetStrictChangeDetection(true);
        TDataCursor c(session.OpenDirectory("db", folder));
        c.SetTableName("SHARED");
        c.Open();
        return body(c, link);
    }

    std::vector<std::string> Names(TDataCursor& c) {
        std::vector<std::string> out;
        std::vector<uint8_t> r(size_t(c.GetRecordSize()));
        c.First();
        while (c.GetNextRecord(r.data()) == 0) out.push_back(GetStr(c, r, 2));
        return out;
    }
};

TEST_F(CursorProcessTest, RecordLocksAndChangesBetweenProcesses) {
    const std::string folder = FScratch.Path();
    TForkChild child([&](TForkChild& link) {
        return RunChild(
            folder,
            [](TDataCursor& c, TForkChild& l) {
                std::vector<uint8_t> r(size_t(c.GetRecordSize()));
                c.First();
                if (c.GetNextRecord(r.data()) != 0) return 10;
                if (c.GetCurrentRecord(r.data(), true) != 0) return 11;
                l.Send('L');  // record 1 locked
                if (l.Receive() != 'G') return 12;
                PutStr(c, r, 2, "changed");
                c.ModifyRecord(r.data());  // ends the lock
                l.Send('M');
                if (l.Receive() != 'I') return 13;
                // The parent's insert and delete are seen at the next move.
                c.SwitchToIndex("ByName");
                c.First();
                std::string names;
                while (c.GetNextRecord(r.data()) == 0) names += GetStr(c, r, 2) + ",";
                if (names != "changed,three,") return 14;
                if (c.GetRecordCount() != 2) return 15;
                l.Send('D');
                return 0;
            },
            link);
    });
    ASSERT_EQ(child.Receive(), 'L');
    TDataCursor& c = OpenCursor("SHARED");
    std::vector<uint8_t> r(size_t(c.GetRecordSize()));
    ASSERT_EQ(c.GetNextRecord(r.data()), 0);
    EXPECT_EQ(RaisedCode([&] { c.GetCurrentRecord(r.data(), true); }), ZIZIVU_RECLOCKFAILED);
    EXPECT_EQ(RaisedCode([&] { c.DeleteRecord(); }), ZIZIVU_RECLOCKFAILED);
    // Another record is free.
    ASSERT_EQ(c.GetNextRecord(r.data()), 0);
    ASSERT_EQ(c.GetCurrentRecord(r.data(), true), 0);
    c.UnlockRecord(0);
    child.Send('G');
    ASSERT_EQ(child.Receive(), 'M');
    EXPECT_EQ(Names(c), (std::vector<std::string>{"changed", "two"}));
    // The changed record can be locked and deleted now; a new one goes in.
    c.First();
    ASSERT_EQ(c.GetNextRecord(r.data()), 0);
    c.Skip(1);
    c.DeleteRecord();
    std::vector<uint8_t> n = Buffer(c);
    PutStr(c, n, 2, "three");
    c.InsertRecord(n.data());
    child.Send('I');
    EXPECT_EQ(child.Receive(), 'D');
    EXPECT_EQ(child.Wait(), 0);
}

TEST_F(CursorProcessTest, SecondCursorOfTheProcessIsRefusedAtOnce) {
    FSession->SetLockRetryCount(15);  // no retries happen inside the process
    TDataCursor& a = OpenCursor("SHARED");
    TDataCursor& b = OpenCursor("SHARED");
    std::vector<uint8_t> r(size_t(a.GetRecordSize()));
    ASSERT_EQ(a.GetNextRecord(r.data()), 0);
    ASSERT_EQ(a.GetCurrentRecord(r.data(), true), 0);
    ASSERT_EQ(b.GetNextRecord(r.data()), 0);
    EXPECT_EQ(RaisedCode([&] { b.LockRecord(0); }), ZIZIVU_RECLOCKFAILED);
    PutStr(a, r, 2, "mine");
    a.ModifyRecord(r.data());
    // b sees a's change at its next move, and may lock the record now.
    b.First();
    ASSERT_EQ(b.GetNextRecord(r.data()), 0);
    EXPECT_EQ(GetStr(b, r, 2), "mine");
    b.LockRecord(0);
    b.UnlockRecord(0);
}

}  // namespace
}  // namespace cursor_test
