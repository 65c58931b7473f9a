// Cursors of two processes on one table: record locks, and changes seen at the next move.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>

#include "db/engine/BlobFile.h"
#include "db/engine/DataTable.h"
#include "db/engine/IndexFile.h"
#include "platform/rtl/ByteCodec.h"
#include "platform/rtl/SysUtils.h"
#include "tests/db/engine/CursorFakes.h"
#include "tests/support/EngineErrorCode.h"
#include "tests/support/FaultyFile.h"
#include "tests/support/ForkChild.h"

namespace cursor_test {
namespace {

class CursorProcessTest : public CursorTest {
protected:
    void SetUp() override {
        CursorTest::SetUp();
        Create("SHARED", {MakeField(1, "ID", dtInteger, 0, fstAutoInc), MakeField(2, "NAME", dtString, 10)},
               {Index("", {1}), Index("ByName", {2}, false)});
        AddNames({"one", "two"});
        FSession->SetLockRetryCount(0);
        FSession->SetStrictChangeDetection(true);
    }

    // Inserts the names into the shared table, through a cursor closed again afterwards.
    void AddNames(const std::vector<std::string>& names) {
        TDataCursor& c = OpenCursor("SHARED");
        std::vector<uint8_t> r = Buffer(c);
        for (const std::string& n : names) {
            PutStr(c, r, 2, n);
            c.InsertRecord(r.data());
        }
        c.Close();
    }

    // Names n0000 .. n0199, added in an order unlike their key order: a step in name order
    // reads the next key's record alone.
    static std::string Numbered(int i) {
        char b[12];
        std::snprintf(b, sizeof b, "n%04d", i);
        return b;
    }
    void AddNumberedNames() {
        std::vector<std::string> added;
        for (int i = 0; i < 200; ++i) added.push_back(Numbered(i * 77 % 200));
        AddNames(added);
    }
    // In a child: finds the row of the name, locks it and deletes it; 0 or the failed step.
    static int DeleteName(TDataCursor& w, const std::string& name) {
        w.SwitchToIndex("ByName");
        std::vector<uint8_t> b(size_t(w.GetRecordSize()));
        w.InitRecord(b.data());
        PutStr(w, b, 2, name);
        if (!w.FindKey(b.data(), false, nullptr, 0, false, 0)) return 11;
        if (w.GetCurrentRecord(b.data(), false) != 0) return 12;
        if (w.GetCurrentRecord(b.data(), true) != 0) return 13;
        w.DeleteRecord();
        return 0;
    }

    // A cursor on the shared table in name order, moved forward `steps` records; r holds the
    // last record read.
    TDataCursor& ScanByName(std::vector<uint8_t>& r, int steps) {
        TDataCursor& c = OpenCursor("SHARED");
        r.assign(size_t(c.GetRecordSize()), 0);
        c.SwitchToIndex("ByName");
        c.First();
        for (int i = 0; i < steps; ++i) EXPECT_EQ(c.GetNextRecord(r.data()), 0) << "step " << i;
        return c;
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

// A process waiting for a record that another holds must let the holder write it: the
// holder's write lock needs the reader bytes free. The waiter then locks the record and
// finds it changed (8708), instead of failing (10258) after stalling the holder's write.
TEST_F(CursorProcessTest, AWaitForARecordLetsItsHolderWriteIt) {
    const std::string folder = FScratch.Path();
    for (const bool strict : {false, true}) {
        FSession->SetStrictChangeDetection(strict);
        const std::string name = strict ? "held 2" : "held 1";
        TForkChild child([&](TForkChild& link) {
            TDataSession session;
            session.SetLockRetryCount(50);  // up to 5 s
            session.SetStrictChangeDetection(strict);
            TDataCursor w(session.OpenDirectory("db", folder));
            w.SetTableName("SHARED");
            w.Open();
            std::vector<uint8_t> b(size_t(w.GetRecordSize()));
            if (w.GetNextRecord(b.data()) != 0) return 10;
            link.Send('R');
            if (link.Receive() != 'L') return 11;
            link.Send('W');
            const uint16_t code = RaisedCode([&] { w.GetCurrentRecord(b.data(), true); });
            if (code != ZIZIVU_RECCHANGED) return code == ZIZIVU_RECLOCKFAILED ? 12 : 13;
            if (w.GetCurrentRecord(b.data(), false) != 0 || GetStr(w, b, 2) != name) return 14;
            if (w.GetCurrentRecord(b.data(), true) != 0) return 15;
            w.UnlockRecord(0);
            return 0;
        });
        ASSERT_EQ(child.Receive(), 'R');
        TDataCursor& c = OpenCursor("SHARED");
        std::vector<uint8_t> r(size_t(c.GetRecordSize()));
        ASSERT_EQ(c.GetNextRecord(r.data()), 0);
        ASSERT_EQ(c.GetCurrentRecord(r.data(), true), 0);
        child.Send('L');
        ASSERT_EQ(child.Receive(), 'W');
        // Lets the child reach its wait; it must end the same way if it has not.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        PutStr(c, r, 2, name);
        c.ModifyRecord(r.data());
        EXPECT_EQ(child.Wait(), 0) << (strict ? "strict" : "not strict");
        c.Close();
    }
}

// Headers another writer leaves damaged (its change counter moved) are refused at the next
// move or change, as at an open, instead of being acted on; once sound again, the table is
// read as before. A refused read lock leaves the cursor taking it again at its next move,
// or the cases after the first would go unseen.
TEST_F(CursorProcessTest, DamagedHeadersAnotherWriterLeavesAreRefused) {
    struct Case {
        const char* what;
        const char* file;
        int32_t offset;
        std::vector<uint8_t> bytes;
    };
    const int32_t byNameKeyLength = 14 + IndexDescriptorSize + 31;
    const Case cases[] = {
        {"record size", "SHARED.DAT", 21, {0xF0, 0x00}},
        {"record count", "SHARED.DAT", 13, {0x40, 0x00, 0x00, 0x7F}},
        {"deleted chain", "SHARED.DAT", 9, {0x09, 0x00, 0x00, 0x00}},
        {"field count", "SHARED.DAT", 23, {0x07, 0x00}},
        {"index key length", "SHARED.IDX", byNameKeyLength, {0xC8, 0x00}},
    };
    TDataCursor& c = OpenCursor("SHARED");
    ASSERT_EQ(Names(c), (std::vector<std::string>{"one", "two"}));
    // Bytes written in place, as the other writer's handle does, with its counter moved.
    auto write = [&](const std::string& name, std::vector<uint8_t> image, uint32_t moves) {
        bytes::PutU32(image.data(), bytes::GetU32(image.data()) + moves);
        std::fstream f(FScratch.File(name), std::ios::in | std::ios::out | std::ios::binary);
        f.write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        std::ifstream in(FScratch.File(k.file), std::ios::binary);
        const std::vector<uint8_t> sound{std::istreambuf_iterator<char>(in), {}};
        in.close();
        std::vector<uint8_t> damaged = sound;
        std::copy(k.bytes.begin(), k.bytes.end(), damaged.begin() + k.offset);
        write(k.file, damaged, 1);
        EXPECT_EQ(RaisedCode([&] { Names(c); }), ZIZIVU_HEADERCORRUPT);
        EXPECT_EQ(RaisedCode([&] {
                      std::vector<uint8_t> r = Buffer(c);
                      PutStr(c, r, 2, "three");
                      c.InsertRecord(r.data());
                  }),
                  ZIZIVU_HEADERCORRUPT);
        write(k.file, sound, 2);
        EXPECT_EQ(Names(c), (std::vector<std::string>{"one", "two"}));
    }
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

// A table filled from empty skips the look-up of each new row id above the counter; once
// another process set the counter back, the ids it hands out again are looked up.
TEST_F(CursorProcessTest, RowIdsAreLookedUpAfterAnotherProcessSetTheCounterBack) {
    // Without a primary key on the id only the row id look-up finds an id in use.
    Create("BARE", {MakeField(1, "ID", dtInteger, 0, fstAutoInc), MakeField(2, "NAME", dtString, 10)},
           {NoPrimary(), Index("ByName", {2}, false)});
    const std::string folder = FScratch.Path();
    TForkChild child([&](TForkChild& link) {
        TDataSession session;
        session.SetLockRetryCount(0);
        TDataCursor c(session.OpenDirectory("db", folder));
        c.SetTableName("BARE");
        c.Open();
        link.Send('O');
        if (link.Receive() != 'S') return 10;
        c.SetLastAutoIncValue(0);
        link.Send('D');
        return 0;
    });
    ASSERT_EQ(child.Receive(), 'O');
    TDataCursor& c = OpenCursor("BARE");
    auto insert = [&](const char* name) {
        std::vector<uint8_t> r = Buffer(c);
        PutStr(c, r, 2, name);
        c.InsertRecord(r.data());
    };
    insert("a");
    insert("b");
    child.Send('S');
    ASSERT_EQ(child.Receive(), 'D');
    insert("c");  // ids 1 and 2 are taken
    EXPECT_EQ(Walk(c, 1), (std::vector<int32_t>{1, 2, 3}));
    EXPECT_EQ(child.Wait(), 0);
}

// A scan in key order while another process inserts, renames and deletes records between
// its steps: each step lands on the name next to the last one in the table as it is now.
TEST_F(CursorProcessTest, ScanStepsFollowAnotherProcessChanges) {
    auto name = [](const char* prefix, int n) {
        char b[12];
        std::snprintf(b, sizeof b, "%s%04d", prefix, n);
        return std::string(b);
    };
    std::set<std::string> names{"one", "two"};
    std::vector<std::string> added;
    for (int i = 0; i < 1200; i += 2) added.push_back(name("n", i));
    AddNames(added);
    names.insert(added.begin(), added.end());
    // Round k: one insert anywhere, one record near the front renamed to the front, one
    // deleted; the scan stays further on.
    struct Change {
        std::string Insert, Renamed, Rename, Deleted;
    };
    std::vector<Change> rounds;
    for (int k = 0; k < 12; ++k)
        rounds.push_back({name("n", 2 * ((k * 131) % 600) + 1), name("n", 2 * ((k * 37) % 50)), name("m", k),
                          name("n", 2 * ((k * 37) % 50 + 50))});
    const std::string folder = FScratch.Path();
    TForkChild child([&](TForkChild& link) {
        return RunChild(
            folder,
            [&rounds](TDataCursor& w, TForkChild& l) {
                w.SwitchToIndex("ByName");
                std::vector<uint8_t> b(size_t(w.GetRecordSize()));
                for (const Change& change : rounds) {
                    if (l.Receive() != 'R') return 10;
                    w.InitRecord(b.data());
                    PutStr(w, b, 2, change.Insert);
                    w.InsertRecord(b.data());
                    for (const std::string* n : {&change.Renamed, &change.Deleted}) {
                        w.InitRecord(b.data());
                        PutStr(w, b, 2, *n);
                        if (!w.FindKey(b.data(), false, nullptr, 0, false, 0)) return 11;
                        if (w.GetCurrentRecord(b.data(), false) != 0) return 12;
                        if (w.GetCurrentRecord(b.data(), true) != 0) return 13;
                        if (n == &change.Deleted) {
                            w.DeleteRecord();
                        } else {
                            PutStr(w, b, 2, change.Rename);
                            w.ModifyRecord(b.data());
                        }
                    }
                    l.Send('C');
                }
                return 0;
            },
            link);
    });
    std::vector<uint8_t> r;
    TDataCursor& c = ScanByName(r, 300);
    std::string current = GetStr(c, r, 2);
    for (const Change& change : rounds) {
        child.Send('R');
        ASSERT_EQ(child.Receive(), 'C');
        names.insert(change.Insert);
        names.erase(change.Renamed);
        names.insert(change.Rename);
        names.erase(change.Deleted);
        for (int step = 0; step < 3; ++step) {
            const bool forward = step != 1;
            ASSERT_EQ(forward ? c.GetNextRecord(r.data()) : c.GetPriorRecord(r.data()), 0);
            const std::string expected =
                forward ? *names.upper_bound(current) : *std::prev(names.lower_bound(current));
            current = GetStr(c, r, 2);
            ASSERT_EQ(current, expected) << change.Insert << (forward ? " forward" : " back");
        }
    }
    EXPECT_EQ(child.Wait(), 0);
}

// Without strict detection a change is found at the next cache miss, which can come in the
// middle of a step. Another process inserts names before the scan's position: the scan must
// go on from its record, not from its place counted in the table as it was.
TEST_F(CursorProcessTest, AChangeFoundAtACacheMissKeepsTheScanInOrder) {
    std::vector<std::string> added;
    for (int i = 0; i < 1000; ++i) {
        char b[12];
        std::snprintf(b, sizeof b, "n%05d", i);
        added.push_back(b);
    }
    AddNames(added);
    const std::string folder = FScratch.Path();
    TForkChild child([&](TForkChild& link) {
        return RunChild(
            folder,
            [](TDataCursor& w, TForkChild& l) {
                if (l.Receive() != 'I') return 10;
                std::vector<uint8_t> b(size_t(w.GetRecordSize()));
                for (const char* n : {"a1", "a2", "a3"}) {
                    w.InitRecord(b.data());
                    PutStr(w, b, 2, n);
                    w.InsertRecord(b.data());
                }
                return 0;
            },
            link);
    });
    FSession->SetStrictChangeDetection(false);
    std::vector<uint8_t> r;
    TDataCursor& c = ScanByName(r, 300);
    std::string last = GetStr(c, r, 2);
    child.Send('I');
    ASSERT_EQ(child.Wait(), 0);
    int steps = 0;
    while (c.GetNextRecord(r.data()) == 0) {
        const std::string name = GetStr(c, r, 2);
        ASSERT_LT(last, name) << "step " << steps;
        last = name;
        ++steps;
    }
    EXPECT_EQ(last, "two");
    EXPECT_EQ(steps, 700 + 2);  // the rest of the n names, "one" and "two"
}

// The leaf in hand names the next record; reading it finds the table changed, and the record
// is now another row (the next name was deleted and its slot taken by a new first name). The
// step is made again in the changed table.
TEST_F(CursorProcessTest, ARecordReadAfterAChangeIsNotTakenForTheNextKey) {
    AddNumberedNames();
    const std::string folder = FScratch.Path();
    TForkChild child([&](TForkChild& link) {
        return RunChild(
            folder,
            [](TDataCursor& w, TForkChild& l) {
                if (l.Receive() != 'C') return 10;
                if (const int failed = DeleteName(w, Numbered(51))) return failed;
                std::vector<uint8_t> b(size_t(w.GetRecordSize()));
                w.InitRecord(b.data());
                PutStr(w, b, 2, "a0000");
                w.InsertRecord(b.data());
                return 0;
            },
            link);
    });
    FSession->SetStrictChangeDetection(false);
    std::vector<uint8_t> r;
    TDataCursor& c = ScanByName(r, 51);
    ASSERT_EQ(GetStr(c, r, 2), Numbered(50));
    child.Send('C');
    ASSERT_EQ(child.Wait(), 0);
    ASSERT_EQ(c.GetNextRecord(r.data()), 0);
    EXPECT_EQ(GetStr(c, r, 2), Numbered(52));
}

// Another process deletes the record the scan stands on. Going back to it finds its successor
// in its place, and that is the next record: a step from there would pass over it. Strict
// detection finds the change as the step begins, the other at the cache miss of the step's read.
TEST_F(CursorProcessTest, AScanWhoseRecordAnotherProcessDeletedGoesOnToTheSuccessor) {
    AddNumberedNames();
    const std::string folder = FScratch.Path();
    for (const int at : {50, 120}) {
        const bool strict = at == 50;
        SCOPED_TRACE(strict ? "strict" : "at a cache miss");
        TForkChild child([&](TForkChild& link) {
            return RunChild(
                folder,
                [at](TDataCursor& w, TForkChild& l) {
                    if (l.Receive() != 'D') return 10;
                    return DeleteName(w, Numbered(at));
                },
                link);
        });
        FSession->SetStrictChangeDetection(strict);
        std::vector<uint8_t> r;
        // Steps onto Numbered(at): the names up to it, less n0050 once the first round deleted it.
        TDataCursor& c = ScanByName(r, strict ? at + 1 : at);
        ASSERT_EQ(GetStr(c, r, 2), Numbered(at));
        child.Send('D');
        ASSERT_EQ(child.Wait(), 0);
        ASSERT_EQ(c.GetNextRecord(r.data()), 0);
        EXPECT_EQ(GetStr(c, r, 2), Numbered(at + 1));
        c.Close();
    }
}

// A second cursor opened on a table the process holds open builds its view as one operation:
// the pages it reads are read under the read lock, with the change check, not beside a header
// in hand that another process has moved on since.
TEST_F(CursorProcessTest, ASecondCursorOpensOnATableAnotherProcessGrew) {
    Create("GROWN", {MakeField(1, "ID", dtInteger), MakeField(2, "NAME", dtString, 10)}, {Index("", {1})});
    {
        TDataCursor& fill = OpenCursor("GROWN");
        for (int id = 10000; id < 11000; ++id) Insert(fill, id, "x");
        fill.Close();
    }
    const std::string folder = FScratch.Path();
    TForkChild child([&](TForkChild& link) {
        TDataSession session;
        TDataCursor w(session.OpenDirectory("db", folder));
        w.SetTableName("GROWN");
        w.Open();
        for (int from : {1, 1000}) {
            if (link.Receive() != 'G') return 10;
            for (int id = from; id < from + 500; ++id) Insert(w, id, "y");
            link.Send('g');
        }
        return 0;
    });
    FSession->SetStrictChangeDetection(false);
    TDataCursor& first = OpenCursor("GROWN");
    ASSERT_EQ(Walk(first, 1).size(), 1000u);
    // The first cursor finds the first change and drops the caches; it reads no page of the
    // deleted-records index again.
    child.Send('G');
    ASSERT_EQ(child.Receive(), 'g');
    first.Resync();
    ASSERT_EQ(first.GetRecordCount(), 1500);
    child.Send('G');
    ASSERT_EQ(child.Receive(), 'g');
    ASSERT_EQ(child.Wait(), 0);
    TDataCursor& second = NewCursor("GROWN");
    second.SetRecordNumberOrder(true);
    second.Open();
    EXPECT_EQ(Walk(second, 1).size(), 2000u);
}

// Files this process may only read, while another may write them: the table opens read-only
// and still sees the other's changes (only files no one may write stay unlooked-at).
TEST_F(CursorProcessTest, ATableOpenedReadOnlyForLackOfRightsSeesAnotherWriter) {
    const std::string folder = FScratch.Path();
    ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
    for (const char* ext : {".DAT", ".IDX"}) ASSERT_EQ(::chmod((folder + "/SHARED" + ext).c_str(), 0464), 0);
    TForkChild reader([&](TForkChild& link) {
        // The owner (or, for the superuser, another user) may read and not write.
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 10;
        TDataSession session;
        TDataCursor c(session.OpenDirectory("db", folder));
        c.SetTableName("SHARED");
        c.Open();
        if (!c.ReadOnly() || c.GetRecordCount() != 2) return 11;
        link.Send('o');
        if (link.Receive() != 'w') return 12;
        c.Resync();
        return c.GetRecordCount() == 3 ? 0 : 13;
    });
    ASSERT_EQ(reader.Receive(), 'o');
    for (const char* ext : {".DAT", ".IDX"}) ASSERT_EQ(::chmod((folder + "/SHARED" + ext).c_str(), 0664), 0);
    AddNames({"three"});
    reader.Send('w');
    EXPECT_EQ(reader.Wait(), 0);
}

}  // namespace
}  // namespace cursor_test

namespace cursor_test {
namespace {

using namespace table_locks;

// Cursor writes whose files fail once: the failed call leaves no lock and the files as they
// were, a later flush does not store it, and the call goes through when made again.
class CursorFailureTest : public CursorTest {
protected:
    // ID (primary), NAME (non-unique index), BODY (BLOB): rows 1 "one" and 2 "two".
    void MakeTable(const std::string& name) {
        TCreateTableOptions o;
        o.BlobBlockSize = 64;
        Create(
            name,
            {MakeField(1, "ID", dtInteger), MakeField(2, "NAME", dtString, 10), MakeField(3, "BODY", dtBlob)},
            {Index("", {1}), Index("ByName", {2}, false)}, o);
        TDataCursor& c = OpenCursor(name);
        Insert(c, 1, "one");
        Insert(c, 2, "two");
        c.Close();
        FOtherId = 10;
    }
    // The first record, locked, in r.
    static void OnFirst(TDataCursor& c, std::vector<uint8_t>& r) {
        c.First();
        ASSERT_EQ(c.GetNextRecord(r.data()), 0);
        ASSERT_EQ(c.GetCurrentRecord(r.data(), true), 0);
    }
    // A fault of one of the table's files from now on.
    static void Fail(TDataCursor& c, const std::string& ext, TFileFault fault) {
        TDataTable* t = c.Table();
        TFileHandler* f = ext == ".DAT"   ? static_cast<TFileHandler*>(t->DataFile())
                          : ext == ".IDX" ? static_cast<TFileHandler*>(t->IndexFile())
                                          : static_cast<TFileHandler*>(t->BlobFile());
        dynamic_cast<TFaultyFile<TPhysicalFile>&>(*f->FileObject()).SetFault(fault);
    }
    std::string Files(const std::string& name) {
        std::string all;
        for (const char* ext : {".DAT", ".IDX", ".BLB"})
            all += DiskFileBytes(FScratch.File(name + ext)) + "|";
        return all;
    }
    // Whether another process can take every lock of the table: the record bytes and the
    // write byte of the data file, the writer ranges (and so every reader byte) of the
    // index and BLOB files.
    bool LocksFree(const std::string& name) {
        const std::string base = FScratch.File(name);
        TForkChild child([&](TForkChild&) {
            const struct {
                const char* ext;
                off_t start, length;
            } ranges[] = {{".DAT", AllRecordsStart, DataWriteByte - AllRecordsStart + 1},
                          {".IDX", WriteRangeStart, WriteRangeLength},
                          {".BLB", WriteRangeStart, WriteRangeLength}};
            for (const auto& range : ranges) {
                const int fd = ::open((base + range.ext).c_str(), O_RDWR | O_CLOEXEC);
                struct flock l {};
                l.l_type = F_WRLCK;
                l.l_whence = SEEK_SET;
                l.l_start = range.start;
                l.l_len = range.length;
                if (fd < 0 || ::fcntl(fd, F_OFD_SETLK, &l) != 0) return 1;
            }
            return 0;
        });
        return child.Wait() == 0;
    }
    // "id:name:BLOB size" of every row by ID.
    std::string Rows(const std::string& name) {
        TDataCursor& c = OpenCursor(name);
        std::string out;
        std::vector<uint8_t> r(size_t(c.GetRecordSize()));
        c.First();
        while (c.GetNextRecord(r.data()) == 0) {
            uint32_t size = 0;
            if (c.OpenBlob(3, r.data(), 0, false, bmRead) == 0) c.GetBlobSize(3, r.data(), false, size);
            c.FreeBlob(3, r.data(), 0, false);
            out += (out.empty() ? "" : " ") + IntToStr(GetInt(c, r, 1)) + ":" + GetStr(c, r, 2) + ":" +
                   IntToStr(int64_t(size));
        }
        c.Close();
        return out;
    }

    std::string FName;
    int32_t FOtherId = 10;
};

TEST_F(CursorFailureTest, AFailedWriteLeavesLocksAndFilesAsTheyWere) {
    using Step = std::function<void(TDataCursor&, std::vector<uint8_t>&)>;
    const Step none = [](TDataCursor&, std::vector<uint8_t>&) {};
    const Step insert = [](TDataCursor& c, std::vector<uint8_t>&) { Insert(c, 3, "three"); };
    const Step transaction = [this](TDataCursor& c, std::vector<uint8_t>&) {
        FDir->StartTransaction();
        Insert(c, 3, "three");
        FDir->Commit(true);
    };
    const Step otherSession = [this](TDataCursor&, std::vector<uint8_t>&) {
        TDataSession other;
        TDataCursor o(other.OpenDirectory("db", FScratch.Path()));
        o.SetTableName(FName);
        o.Open();
        Insert(o, FOtherId++, "other");
    };
    const Step dropCaches = [](TDataCursor& c, std::vector<uint8_t>&) { c.DiscardBuffers(); };
    const Step read = [](TDataCursor& c, std::vector<uint8_t>& r) {
        c.First();
        c.GetNextRecord(r.data());
    };
    const Step onFirst = [](TDataCursor& c, std::vector<uint8_t>& r) { OnFirst(c, r); };
    const Step rename = [](TDataCursor& c, std::vector<uint8_t>& r) {
        OnFirst(c, r);
        PutStr(c, r, 2, "uno");
    };
    const Step put = [](TDataCursor& c, std::vector<uint8_t>& r) {
        OnFirst(c, r);
        const std::string text(300, 'x');
        ASSERT_EQ(c.OpenBlob(3, r.data(), 0, false, bmReadWrite), 0);
        ASSERT_EQ(c.PutBlob(3, r.data(), false, 300, text.data(), 0), 0);
    };
    const Step modify = [](TDataCursor& c, std::vector<uint8_t>& r) { c.ModifyRecord(r.data()); };
    const Step remove = [](TDataCursor& c, std::vector<uint8_t>&) { c.DeleteRecord(); };
    const Step describe = [](TDataCursor& c, std::vector<uint8_t>&) {
        TFieldDescriptor f = c.GetFieldDefinition(2);
        f.Description = "the name";
        c.SetFieldDefinition(2, f);
    };
    const Step close = [](TDataCursor& c, std::vector<uint8_t>&) { c.Close(); };
    const TFileFault readFails{TFileFault::ReadError, 0, 1}, secondReadFails{TFileFault::ReadError, 1, 1},
        writeFails{TFileFault::WriteError, 0, 1};
    struct Case {
        const char* what;
        bool exclusive;
        const char* file;
        TFileFault fault;  // one transfer fails
        uint16_t code;
        Step prepare, call;
        const char* rows;  // after the call went through
    };
    const char *two = "1:one:0 2:two:0", *three = "1:one:0 2:two:0 3:three:0";
    const Case cases[] = {
        {"insert: the write lock's change check cannot read", false, ".IDX", readFails, ZIZIVU_READERR, none,
         insert, three},
        {"transaction: its lock's change check cannot read", false, ".IDX", readFails, ZIZIVU_READERR, none,
         transaction, three},
        {"insert: the view cannot be read again after another session's change", false, ".IDX",
         secondReadFails, ZIZIVU_READERR, otherSession, insert,
         "1:one:0 2:two:0 3:three:0 10:other:0 11:other:0"},
        {"read: the read lock's change check cannot read", false, ".IDX", readFails, ZIZIVU_READERR,
         dropCaches, read, two},
        {"insert: the record cannot be written", true, ".DAT", writeFails, ZIZIVU_WRITEERR, none, insert,
         three},
        {"modify: the record cannot be written", true, ".DAT", writeFails, ZIZIVU_WRITEERR, rename, modify,
         "1:uno:0 2:two:0"},
        {"delete: the record cannot be written", true, ".DAT", writeFails, ZIZIVU_WRITEERR, onFirst, remove,
         "2:two:0"},
        {"BLOB put: the blocks cannot be written after the record and keys", true, ".BLB", writeFails,
         ZIZIVU_WRITEERR, put, modify, "1:one:300 2:two:0"},
        {"commit: the pages cannot be written after the records", false, ".IDX", writeFails, ZIZIVU_WRITEERR,
         none, transaction, three},
        {"close: the changed header cannot be written", true, ".DAT", writeFails, ZIZIVU_WRITEERR, describe,
         close, two},
    };
    int n = 0;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        const std::string name = FName = "F" + IntToStr(n++);
        MakeTable(name);
        // The failed call and a later flush (the close) of what it left; then the call
        // made again at once, which goes through.
        for (const bool again : {false, true}) {
            TFaultInjector faults;
            TDataCursor& c = NewCursor(name);
            c.SetExclusive(k.exclusive);
            c.Open();
            std::vector<uint8_t> r = Buffer(c);
            k.prepare(c, r);
            const std::string prepared = Files(name);
            Fail(c, k.file, k.fault);
            EXPECT_EQ(RaisedCode([&] { k.call(c, r); }), k.code);
            if (again) {
                EXPECT_EQ(RaisedCode([&] { k.call(c, r); }), 0);
                c.Close();
                continue;
            }
            EXPECT_FALSE(FDir->InTransaction());
            EXPECT_TRUE(LocksFree(name));
            EXPECT_TRUE(Files(name) == prepared) << "changed by the failed call";
            c.Close();
            EXPECT_EQ(FDir->TableCount(), 0);
            EXPECT_EQ(faults.LiveFiles(), 0);
            EXPECT_TRUE(Files(name) == prepared) << "changed by a later flush";
        }
        EXPECT_EQ(Rows(name), k.rows);
    }
}

// A transaction that one table cannot start starts on none: the tables before it give their
// transaction and its lock back, so nothing posted afterwards waits for a commit.
TEST_F(CursorFailureTest, ATransactionThatCannotStartOnOneTableStartsOnNone) {
    MakeTable("G");
    MakeTable("H");
    TFaultInjector faults;
    TDataCursor& g = NewCursor("G");
    g.Open();
    TDataCursor& h = NewCursor("H");
    h.Open();
    Fail(h, ".IDX", {TFileFault::ReadError, 0, 1});
    EXPECT_EQ(RaisedCode([&] { FDir->StartTransaction(); }), ZIZIVU_READERR);
    EXPECT_FALSE(FDir->InTransaction());
    EXPECT_FALSE(g.Table()->InTransaction());
    EXPECT_TRUE(LocksFree("G"));
    g.Close();
    h.Close();
    EXPECT_EQ(FDir->TableCount(), 0);
}

}  // namespace
}  // namespace cursor_test
