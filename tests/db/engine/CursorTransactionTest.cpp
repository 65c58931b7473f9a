// A shared table's transaction as one process's cursor works through it: a row changed more
// than once, records read while rows appended by the transaction exist only in the cache,
// and the record locks the transaction keeps until its end.
#include <fcntl.h>
#include <unistd.h>

#include <fstream>

#include "db/engine/DataTable.h"
#include "platform/rtl/ByteCodec.h"
#include "tests/db/engine/CursorFakes.h"
#include "tests/support/EngineErrorCode.h"

namespace cursor_test {
namespace {

class CursorTransactionTest : public CursorTest {
protected:
    void SetUp() override {
        CursorTest::SetUp();
        MakeTable("ROWS");
    }
    // A table of rows 1, 2 and 3, all named "row"; later cursors open it.
    void MakeTable(const std::string& name) {
        FName = name;
        Create(name, {MakeField(1, "ID", dtInteger), MakeField(2, "NAME", dtString, 10)},
               {Index("", {1}), Index("ByName", {2}, false)});
        TDataCursor& c = OpenCursor(name);
        for (int32_t id : {1, 2, 3}) Insert(c, id, "row");
        c.Close();
    }

    static void Insert(TDataCursor& c, int32_t id, const std::string& name) {
        std::vector<uint8_t> r = Buffer(c);
        PutInt(c, r, 1, id);
        PutStr(c, r, 2, name);
        c.InsertRecord(r.data());
    }
    // Finds the row by its key and locks it; its record comes back.
    static std::vector<uint8_t> LockRow(TDataCursor& c, int32_t id) {
        std::vector<uint8_t> key = Buffer(c), r(size_t(c.GetRecordSize()));
        PutInt(c, key, 1, id);
        EXPECT_TRUE(c.FindKey(key.data(), false, r.data(), 0, false, 0));
        EXPECT_EQ(c.GetCurrentRecord(r.data(), true), 0);
        return r;
    }
    static void Rename(TDataCursor& c, int32_t id, const std::string& name) {
        std::vector<uint8_t> r = LockRow(c, id);
        PutStr(c, r, 2, name);
        c.ModifyRecord(r.data());
    }
    static void Remove(TDataCursor& c, int32_t id) {
        LockRow(c, id);
        c.DeleteRecord();
    }
    // Whether the record's lock byte is free for another process (an open file description
    // of its own, as another process has).
    bool RecordLockFree(uint32_t recordNo) {
        const int fd = ::open(FScratch.File(FName + ".DAT").c_str(), O_RDWR | O_CLOEXEC);
        EXPECT_GE(fd, 0);
        struct flock l {};
        l.l_type = F_WRLCK;
        l.l_whence = SEEK_SET;
        l.l_start = off_t(table_locks::RecordBase - recordNo);
        l.l_len = 1;
        const bool free = ::fcntl(fd, F_OFD_SETLK, &l) == 0;
        ::close(fd);
        return free;
    }

    std::string FName;
};

TEST_F(CursorTransactionTest, ARowChangesMoreThanOnceInOneTransaction) {
    struct Case {
        const char* what;
        std::function<void(TDataCursor&)> work;
        std::vector<std::string> names;  // by ID order afterwards
    };
    const Case cases[] = {
        {"modified twice",
         [](TDataCursor& c) {
             Rename(c, 2, "first");
             Rename(c, 2, "second");
         },
         {"row", "second", "row"}},
        {"inserted then modified",
         [](TDataCursor& c) {
             Insert(c, 4, "new");
             Rename(c, 4, "changed");
         },
         {"row", "row", "row", "changed"}},
        {"modified then deleted",
         [](TDataCursor& c) {
             Rename(c, 1, "gone");
             Remove(c, 1);
         },
         {"row", "row"}},
        {"deleted, its slot reused and modified",
         [](TDataCursor& c) {
             Remove(c, 3);
             Insert(c, 5, "again");
             Rename(c, 5, "twice");
         },
         {"row", "row", "twice"}},
    };
    int32_t n = 0;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        MakeTable("CASE" + std::to_string(++n));
        TDataCursor& c = OpenCursor(FName);
        FDir->StartTransaction();
        ASSERT_EQ(RaisedCode([&] { k.work(c); }), 0);
        FDir->Commit(true);
        std::vector<std::string> names;
        std::vector<uint8_t> r(size_t(c.GetRecordSize()));
        c.First();
        while (c.GetNextRecord(r.data()) == 0) names.push_back(GetStr(c, r, 2));
        EXPECT_EQ(names, k.names);
    }
}

TEST_F(CursorTransactionTest, LocksGivenUpInATransactionLastUntilItsEnd) {
    TDataCursor& a = OpenCursor("ROWS");
    TDataCursor& b = OpenCursor("ROWS");
    FDir->StartTransaction();
    Rename(a, 2, "mine");
    // Given up by a, the lock is no other cursor's: b of the same process takes it over;
    // another process still waits for the end of the transaction (rows 1-3 are records 1-3).
    Rename(b, 2, "ours");
    EXPECT_FALSE(RecordLockFree(2));
    // A lock b holds now is refused to a, as outside a transaction.
    LockRow(b, 1);
    EXPECT_EQ(RaisedCode([&] { LockRow(a, 1); }), ZIZIVU_RECLOCKFAILED);
    b.UnlockRecord(0);
    FDir->Commit(true);
    EXPECT_TRUE(RecordLockFree(2));
    EXPECT_TRUE(RecordLockFree(1));
}

// At the commit the locks given up come free together, runs of adjacent records with
// one unlock; a lock still held between two of them stays.
TEST_F(CursorTransactionTest, CommitFreesTheLocksGivenUpAroundOneStillHeld) {
    TDataCursor& a = OpenCursor("ROWS");
    TDataCursor& b = OpenCursor("ROWS");
    FDir->StartTransaction();
    Rename(a, 1, "one");
    LockRow(b, 2);
    Rename(a, 3, "three");
    for (int32_t id : {4, 5, 6}) Insert(a, id, "new");
    FDir->Commit(true);
    std::string free;
    for (uint32_t n = 1; n <= 6; ++n) free += RecordLockFree(n) ? '1' : '0';
    EXPECT_EQ(free, "101111");
    b.UnlockRecord(0);
    EXPECT_TRUE(RecordLockFree(2));
}

TEST_F(CursorTransactionTest, OlderRecordsReadWhileAppendedRowsAreOnlyInTheCache) {
    TDataCursor& c = OpenCursor("ROWS");
    FDir->StartTransaction();  // the caches are dropped: rows 1-3 come from the file again
    Insert(c, 10, "ten");
    Insert(c, 11, "eleven");
    // Reading row 1 reads ahead over the slots the transaction appended.
    std::vector<uint8_t> r = LockRow(c, 1);
    EXPECT_EQ(GetStr(c, r, 2), "row");
    EXPECT_EQ(Walk(c, 1), (std::vector<int32_t>{1, 2, 3, 10, 11}));
    FDir->Rollback();
    EXPECT_EQ(Walk(c, 1), (std::vector<int32_t>{1, 2, 3}));
}

// A BLOB whose chain runs over the file's last block on disk is read in a transaction that
// appended blocks after it: they live only in the cache.
TEST_F(CursorTransactionTest, BlobChainsReadWhileAppendedBlocksAreOnlyInTheCache) {
    TCreateTableOptions options;
    options.BlobBlockSize = 64;  // 46 data bytes a block
    Create("BLOBS", {MakeField(1, "ID", dtInteger), MakeField(2, "DATA", dtBlob)}, {Index("", {1})}, options);
    auto put = [](TDataCursor& c, int32_t id, size_t length, bool insert) {
        std::vector<uint8_t> r = insert ? Buffer(c) : LockRow(c, id);
        PutInt(c, r, 1, id);
        const std::vector<uint8_t> data(length, uint8_t(id));
        ASSERT_EQ(c.OpenBlob(2, r.data(), 0, false, bmReadWrite), 0);
        ASSERT_EQ(c.TruncateBlob(2, r.data(), false, 0), 0);
        ASSERT_EQ(c.PutBlob(2, r.data(), false, uint32_t(length), data.data(), 0), 0);
        insert ? c.InsertRecord(r.data()) : c.ModifyRecord(r.data());
    };
    TDataCursor& c = OpenCursor("BLOBS");
    put(c, 1, 40, true);   // block 0
    put(c, 2, 40, true);   // block 1
    put(c, 1, 80, false);  // 0 -> 2
    LockRow(c, 2);
    c.DeleteRecord();       // block 1 free
    put(c, 1, 120, false);  // 0 -> 2 -> 1: the read at block 2 wants two blocks
    c.Close();
    FDir->StartTransaction();  // the caches are dropped
    TDataCursor& d = OpenCursor("BLOBS");
    put(d, 3, 40, true);  // block 3, not yet in the file
    std::vector<uint8_t> r = LockRow(d, 1);
    uint32_t size = 0;
    EXPECT_EQ(d.OpenBlob(2, r.data(), 0, false, bmRead), 0);
    EXPECT_EQ(d.GetBlobSize(2, r.data(), false, size), 0);
    EXPECT_EQ(size, 120u);
    d.FreeBlob(2, r.data(), 0, false);
    FDir->Commit(true);
}

// A table first opened inside a transaction has its headers checked as one opened outside:
// a damaged deleted-records chain head or record count is refused at the open, and not met
// first by an insert that locks the record it names.
TEST_F(CursorTransactionTest, HeadersOfATableOpenedInATransactionAreChecked) {
    for (const uint32_t offset : {9u, 13u}) {  // the deleted chain's head, the next record number
        for (const bool inTransaction : {false, true}) {
            SCOPED_TRACE(std::to_string(offset) + (inTransaction ? " in a transaction" : ""));
            MakeTable("DAMAGED");
            {
                std::fstream f(FScratch.File("DAMAGED.DAT"), std::ios::in | std::ios::out | std::ios::binary);
                uint8_t value[4];
                bytes::PutU32(value, 0x7F000000u);
                f.seekp(offset);
                f.write(reinterpret_cast<const char*>(value), 4);
            }
            if (inTransaction) FDir->StartTransaction();
            TDataCursor& c = NewCursor("DAMAGED");
            EXPECT_EQ(RaisedCode([&] { c.Open(); }), ZIZIVU_HEADERCORRUPT);
            EXPECT_FALSE(c.IsOpen());
            if (inTransaction) FDir->Commit(true);
            FCursors.clear();
            std::remove(FScratch.File("DAMAGED.DAT").c_str());
            std::remove(FScratch.File("DAMAGED.IDX").c_str());
        }
    }
}

// A table kept open for its transaction after its last cursor left holds its files as it
// opened them: opened again as exclusive it would skip the locks other processes rely on, so
// that open is refused, and the transaction goes on.
TEST_F(CursorTransactionTest, ATableKeptForItsTransactionIsNotOpenedAgainAsExclusive) {
    TDataCursor& a = OpenCursor("ROWS");
    FDir->StartTransaction();
    Rename(a, 2, "mine");
    a.Close();
    TDataCursor& exclusive = NewCursor("ROWS");
    exclusive.SetExclusive(true);
    EXPECT_EQ(RaisedCode([&] { exclusive.Open(); }), ZIZIVU_OSACCESSDENIED);
    TDataCursor& shared = OpenCursor("ROWS");
    FDir->Commit(true);
    EXPECT_FALSE(shared.Table()->Exclusive());
    std::vector<uint8_t> r = LockRow(shared, 2);
    EXPECT_EQ(GetStr(shared, r, 2), "mine");
}

TEST_F(CursorTransactionTest, AChangeThatFailsHalfwayLeavesTheTransactionOnlyToEnd) {
    {
        // A key that is refused before anything changes leaves the transaction whole.
        TDataCursor& c = OpenCursor("ROWS");
        FDir->StartTransaction();
        Insert(c, 4, "four");
        EXPECT_EQ(RaisedCode([&] { Insert(c, 1, "again"); }), ZIZIVU_KEYVIOL);
        FDir->Commit(true);
        EXPECT_EQ(c.GetTableRecordCount(), 4);
        c.Close();
    }
    // An index file at its size limit: a page split, which comes after the record and some
    // keys are in, is refused.
    const uint32_t full = (IndexFileSizeLimit / IndexPageSize + 1) * IndexPageSize;
    const std::string index = FScratch.File("ROWS.IDX");
    ASSERT_EQ(::truncate(index.c_str(), off_t(full)), 0);
    {
        std::fstream f(index, std::ios::in | std::ios::out | std::ios::binary);
        uint8_t next[4];
        bytes::PutU32(next, full);
        f.seekp(9);
        f.write(reinterpret_cast<const char*>(next), 4);
    }
    TDataCursor& c = OpenCursor("ROWS");
    FDir->StartTransaction();
    int32_t id = 5;
    uint16_t failure = 0;
    while (failure == 0 && id < 5000)
        failure = RaisedCode([&] { Insert(c, id++, "name" + std::to_string(id)); });
    ASSERT_EQ(failure, ZIZIVU_TABLEFULL);
    // Committed, the half-made record and its keys would stay in the files for good.
    EXPECT_EQ(RaisedCode([&] { FDir->Commit(true); }), ZIZIVU_TABLEFULL);
    EXPECT_FALSE(FDir->InTransaction());
    TDataCursor& after = OpenCursor("ROWS");
    EXPECT_EQ(after.GetTableRecordCount(), 4);
    Insert(after, 9999, "x");
    EXPECT_EQ(after.GetTableRecordCount(), 5);
    Rename(after, 4, "renamed");
    EXPECT_EQ(GetStr(after, LockRow(after, 4), 2), "renamed");
}

}  // namespace
}  // namespace cursor_test
