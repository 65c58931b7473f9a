// Shared tables between processes and sessions: record, read and write locks on the
// table's own files, change detection through the header counters, transactions.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>

#include "db/engine/BlobFile.h"
#include "db/engine/DataDirectory.h"
#include "db/engine/DataSession.h"
#include "db/engine/DataTable.h"
#include "db/storage/EngineErrors.h"
#include "db/storage/FileLayer.h"
#include "platform/os/Files.h"
#include "platform/rtl/Tick.h"
#include "tests/support/EngineErrorCode.h"
#include "tests/support/ForkChild.h"
#include "tests/support/ScratchDir.h"

namespace {

using namespace table_locks;

// The cursor's part in a cache miss: the implicit read lock.
class TTestClient : public TCacheClient {
public:
    explicit TTestClient(TDataTable* table) : FTable(table) {}
    bool LockForCacheMiss() override { return !FTable->LockRead(); }
    uint32_t VisibleRun(uint32_t, int32_t, uint32_t maximum) override { return maximum; }
    int32_t CompareKeys(const uint8_t* a, const uint8_t* b, int32_t n) override {
        int c = std::memcmp(a, b, size_t(n));
        return c < 0 ? -1 : c > 0;
    }

private:
    TDataTable* FTable;
};

TFieldDescriptor Field(uint16_t no, const char* name, TEngineDataType type, uint8_t size = 0) {
    TFieldDescriptor f;
    f.FieldNo = no;
    f.Name = name;
    f.DataType = type;
    f.Size = size;
    SetFieldDataSize(f);
    return f;
}

TTableDefinition PartsDefinition() {
    TTableDefinition d;
    d.Fields = {Field(1, "ID", dtInteger), Field(2, "NAME", dtString, 20), Field(3, "NOTES", dtBlob)};
    uint16_t offset = 9;
    for (auto& f : d.Fields) {
        f.Offset = offset;
        offset = uint16_t(offset + f.DataSize + 1);
    }
    d.BlobBlockSize = 512;
    TIndexDescriptor primary;
    primary.FieldCount = 1;
    primary.FieldNumbers[0] = 1;
    primary.Unique = 1;
    primary.KeyLength = 5;
    d.Indexes = {primary};
    return d;
}

class SharedTables : public ::testing::Test {
protected:
    void SetUp() override {
        InitializeEngine();
        FSession = GetEngineSession();
        FDirectory = FSession->OpenDirectory("db", FDir.Path());
        TDataTable* t = nullptr;
        ASSERT_EQ(FDirectory->CreateTable("PARTS", t, false, false, PartsDefinition()), 0);
        ASSERT_EQ(FDirectory->CloseTable(t, false), 0);
    }
    void TearDown() override { FinalizeEngine(); }

    // Opens PARTS shared in a directory of the given session.
    static TDataTable* Open(TDataSession* session, const std::string& path) {
        TDataDirectory* d = session->OpenDirectory("db", path);
        TDataTable* t = nullptr;
        if (d->OpenTable("parts", t, false, false, false, false, false, false) != 0) return nullptr;
        return t;
    }
    TDataTable* Open() { return Open(FSession, FDir.Path()); }

    // Appends one record under the write lock and writes it out.
    static void Append(TDataTable* t, int32_t id) {
        TTestClient client(t);
        t->LockForWrite();
        TRecord* r = nullptr;
        ASSERT_TRUE(t->DataFile()->AllocateRecord(&client, r));
        r->Clear(true);
        r->GetBuffer()[9] = 1;
        std::memcpy(r->GetBuffer() + 10, &id, 4);
        r->Modified = 1;
        t->DataFile()->ReleaseRecord(r);
        t->IndexFile()->IncCounter3974();
        t->FlushBuffers(false, false, false, false, false);
        t->UnlockForWrite();
    }

    TScratchDir FDir;
    TDataSession* FSession = nullptr;
    TDataDirectory* FDirectory = nullptr;
};

TEST_F(SharedTables, HeldRecordRefusedToAnotherProcessAfterItsRetries) {
    TForkChild child([&](TForkChild& me) {
        TDataTable* t = Open();
        if (!t) return 1;
        t->LockRecord(5);
        me.Send('l');
        if (me.Receive() != 'u') return 2;
        t->UnlockRecord(5);
        me.Send('u');
        return me.Receive() == 'q' ? 0 : 3;
    });
    TDataTable* t = Open();
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(child.Receive(), 'l');
    TVirtualClockScope clock(1000.0);
    for (uint8_t retries : {0, 3}) {
        FSession->SetLockRetryCount(retries);
        const uint32_t start = GetTickCount();
        EXPECT_EQ(RaisedCode([&] { t->LockRecord(5); }), ZIZIVU_RECLOCKFAILED);
        // Each failure but the last waits LockWaitTime (100 ms) before the next try.
        EXPECT_GE(TicksSince(start), retries * 100u);
        EXPECT_FALSE(t->HoldsRecordLock(5));
    }
    t->LockRecord(6);  // other records are free
    child.Send('u');
    ASSERT_EQ(child.Receive(), 'u');
    t->LockRecord(5);
    EXPECT_TRUE(t->HoldsRecordLock(5));
    child.Send('q');
    EXPECT_TRUE(child.Finish().ExitedWith(0));
}

TEST_F(SharedTables, TwoSessionsOfOneProcessConflictOnARecord) {
    TDataTable* first = Open();
    TDataSession other;
    TDataTable* second = Open(&other, FDir.Path());
    ASSERT_NE(first, second);
    other.SetLockRetryCount(0);
    first->LockRecord(9);
    EXPECT_EQ(RaisedCode([&] { second->LockRecord(9); }), ZIZIVU_RECLOCKFAILED);
    first->UnlockRecord(9);
    second->LockRecord(9);
    EXPECT_EQ(RaisedCode([&] { second->UnlockRecord(10); }), ZIZIVU_UNLOCKFAILED);
    EXPECT_EQ(RaisedCode([&] { second->LockRecord(0); }), ZIZIVU_RECLOCKFAILED);
}

// A number no record can have (a damaged header can name one) is refused as record 0 is,
// and leaves the lock bitmaps alone.
TEST_F(SharedTables, RecordNumbersBeyondAnyTableAreNotLocked) {
    TDataTable* t = Open();
    for (const bool inTransaction : {false, true}) {
        if (inTransaction) t->StartTransaction();
        for (const uint32_t n : {100000001u, 0x7F000000u, 0xFFFFFFF0u}) {
            EXPECT_EQ(RaisedCode([&] { t->LockRecord(n); }), ZIZIVU_RECLOCKFAILED) << n;
            EXPECT_EQ(RaisedCode([&] { t->UnlockRecord(n); }), ZIZIVU_UNLOCKFAILED) << n;
            t->SetPendingRecord(n);
            EXPECT_FALSE(t->IsPendingRecord(n));
        }
        t->LockRecord(100000000);
        EXPECT_TRUE(t->HoldsRecordLock(100000000));
        t->UnlockRecord(100000000);
    }
    t->Rollback();
}

TEST_F(SharedTables, ReadersShareAndAWriterExcludesThemWithoutLeavingARange) {
    TForkChild reader([&](TForkChild& me) {
        TDataTable* t = Open();
        if (!t) return 1;
        t->LockRead();
        me.Send('r');
        if (me.Receive() != 'u') return 2;
        t->UnlockRead();
        me.Send('u');
        return me.Receive() == 'q' ? 0 : 3;
    });
    ASSERT_EQ(reader.Receive(), 'r');
    TDataTable* t = Open();
    t->LockRead();  // a second reader takes another byte
    EXPECT_TRUE(t->HoldsReadLock());
    t->UnlockRead();

    TVirtualClockScope clock(100000.0);
    // The writer gets the data byte, then fails on the index range the reader's byte lies in.
    EXPECT_EQ(RaisedCode([&] { t->LockForWrite(); }), ZIZIVU_LOCKFAILED);
    EXPECT_FALSE(t->HoldsWriteLock());
    // Nothing was left behind: the data byte is free for another session.
    TDataSession other;
    TDataTable* second = Open(&other, FDir.Path());
    EXPECT_TRUE(second->DataFile()->LockRange(DataWriteByte, 1, true));
    EXPECT_TRUE(second->DataFile()->LockRange(DataWriteByte, 1, false));

    reader.Send('u');
    ASSERT_EQ(reader.Receive(), 'u');
    t->LockForWrite();
    EXPECT_TRUE(t->HoldsWriteLock());
    t->UnlockForWrite();
    reader.Send('q');
    EXPECT_TRUE(reader.Finish().ExitedWith(0));
}

TEST_F(SharedTables, AnotherProcessesAppendIsSeenAtTheNextLock) {
    TForkChild writer([&](TForkChild& me) {
        if (me.Receive() != 'w') return 1;
        TDataTable* t = Open();
        if (!t) return 2;
        Append(t, 41);
        Append(t, 42);
        me.Send('d');
        return me.Receive() == 'q' ? 0 : 3;
    });
    TDataTable* t = Open();
    ASSERT_EQ(t->DataFile()->GetPhysicalRecordCount(), 0u);
    const uint32_t before = t->DataFile()->GetChangeCount();
    writer.Send('w');
    ASSERT_EQ(writer.Receive(), 'd');
    EXPECT_EQ(t->DataFile()->GetPhysicalRecordCount(), 0u);  // not looked yet
    EXPECT_TRUE(t->LockRead());
    EXPECT_EQ(t->DataFile()->GetPhysicalRecordCount(), 2u);
    EXPECT_EQ(t->IndexFile()->GetCounter3974(), 2u);
    EXPECT_NE(t->DataFile()->GetChangeCount(), before);
    TTestClient client(t);
    TRecord* r = nullptr;
    ASSERT_TRUE(t->DataFile()->GetRecord(&client, 2, r));
    int32_t id;
    std::memcpy(&id, r->GetBuffer() + 10, 4);
    EXPECT_EQ(id, 42);
    t->DataFile()->ReleaseRecord(r);
    t->UnlockRead();
    EXPECT_FALSE(t->LockRead());  // nothing moved since
    t->UnlockRead();
    writer.Send('q');
    EXPECT_TRUE(writer.Finish().ExitedWith(0));
}

TEST_F(SharedTables, AKilledProcessLeavesNoLockBehind) {
    TForkChild child([&](TForkChild& me) {
        TDataTable* t = Open();
        if (!t) return 1;
        t->LockRecord(3);
        t->UnlockRead();
        t->LockForWrite();
        me.Send('l');
        me.Receive(std::chrono::seconds(30));
        return 2;
    });
    ASSERT_EQ(child.Receive(), 'l');
    child.Kill(SIGKILL);
    EXPECT_TRUE(child.Finish().KilledBy(SIGKILL));
    TDataTable* t = Open();
    FSession->SetLockRetryCount(0);
    t->LockRecord(3);
    t->UnlockRead();
    t->LockForWrite();
    EXPECT_TRUE(t->HoldsWriteLock());
    t->UnlockForWrite();
}

TEST_F(SharedTables, TransactionsKeepChangesInTheCachesUntilCommitAndRollBackToTheFiles) {
    TDataTable* t = Open();
    const std::string dat = FDir.File("PARTS.DAT"), idx = FDir.File("PARTS.IDX");
    const std::string datBefore = DiskFileBytes(dat), idxBefore = DiskFileBytes(idx);

    FDirectory->StartTransaction();
    ASSERT_TRUE(t->InTransaction());
    Append(t, 1);
    Append(t, 2);
    EXPECT_EQ(DiskFileBytes(dat), datBefore);  // nothing reached the files
    FDirectory->Rollback();
    EXPECT_FALSE(t->InTransaction());
    EXPECT_EQ(DiskFileBytes(dat), datBefore);
    EXPECT_EQ(DiskFileBytes(idx), idxBefore);
    EXPECT_EQ(t->DataFile()->GetPhysicalRecordCount(), 0u);

    FDirectory->StartTransaction();
    Append(t, 7);
    FDirectory->Commit(false);  // written, and the transaction goes on with its data byte
    EXPECT_TRUE(t->InTransaction());
    EXPECT_NE(DiskFileBytes(dat), datBefore);
    TDataSession other;
    TDataTable* second = Open(&other, FDir.Path());
    EXPECT_FALSE(second->DataFile()->LockRange(DataWriteByte, 1, true));
    Append(t, 8);
    FDirectory->Commit(true);
    EXPECT_FALSE(t->InTransaction());
    EXPECT_TRUE(second->DataFile()->LockRange(DataWriteByte, 1, true));
    EXPECT_TRUE(second->DataFile()->LockRange(DataWriteByte, 1, false));
    EXPECT_TRUE(second->LockRead());
    EXPECT_EQ(second->DataFile()->GetPhysicalRecordCount(), 2u);
    second->UnlockRead();
}

TEST_F(SharedTables, RecordUnlocksWaitForTheEndOfATransaction) {
    TDataTable* t = Open();
    TDataSession other;
    other.SetLockRetryCount(0);
    TDataTable* second = Open(&other, FDir.Path());
    FDirectory->StartTransaction();
    t->LockRecord(4);
    t->UnlockRecord(4);  // deferred
    EXPECT_EQ(RaisedCode([&] { second->LockRecord(4); }), ZIZIVU_RECLOCKFAILED);
    FDirectory->Commit(true);
    second->LockRecord(4);
    EXPECT_TRUE(second->HoldsRecordLock(4));
}

TEST_F(SharedTables, ATableClosedInATransactionStaysAndRejoins) {
    TDataTable* t = Open();
    FDirectory->StartTransaction();
    Append(t, 5);
    ASSERT_EQ(FDirectory->CloseTable(t, false), 0);
    EXPECT_EQ(FDirectory->TableCount(), 1);
    EXPECT_EQ(t->OpenCount(), 0);
    TDataTable* again = Open();
    EXPECT_EQ(again, t);
    EXPECT_TRUE(again->InTransaction());
    EXPECT_EQ(again->DataFile()->GetPhysicalRecordCount(), 1u);
    ASSERT_EQ(FDirectory->CloseTable(again, false), 0);
    FDirectory->Commit(true);
    EXPECT_EQ(FDirectory->TableCount(), 0);
    TDataTable* reopened = Open();
    EXPECT_EQ(reopened->DataFile()->GetPhysicalRecordCount(), 1u);
}

TEST_F(SharedTables, ExclusiveOpensConflictAndSharedOpensCount) {
    TDataTable* shared = nullptr;
    ASSERT_EQ(FDirectory->OpenTable("PARTS", shared, false, false, false, false, false, false), 0);
    TDataTable* again = nullptr;
    ASSERT_EQ(FDirectory->OpenTable(" parts.dat ", again, false, false, false, false, false, false), 0);
    EXPECT_EQ(again, shared);
    EXPECT_EQ(shared->OpenCount(), 2);
    TDataTable* exclusive = nullptr;
    EXPECT_EQ(FDirectory->OpenTable("PARTS", exclusive, false, false, false, false, false, true),
              -ZIZIVU_OSACCESSDENIED);
    EXPECT_EQ(FDirectory->OpenTable("PARTS", exclusive, false, false, false, false, true, true), 0);
    EXPECT_EQ(FDirectory->DeleteTable("PARTS", false), -ZIZIVU_OSACCESSDENIED);
    EXPECT_EQ(FDirectory->CloseTable(nullptr, false), -ZIZIVU_OSPATHNOTFOUND);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(FDirectory->CloseTable(shared, false), 0);
    EXPECT_EQ(FDirectory->TableCount(), 0);
}

TEST_F(SharedTables, TablesOfOneFileShareOneObjectAndCaseDifferingFilesStayApart) {
    TDataTable* t = Open();
    TDataTable* other = nullptr;
    ASSERT_EQ(FDirectory->OpenTable("Parts", other, false, false, false, false, false, false), 0);
    EXPECT_EQ(other, t);  // found through the one existing spelling

    TDataTable* lower = nullptr;
    ASSERT_EQ(FDirectory->CreateTable("parts", lower, false, false, PartsDefinition()),
              -ZIZIVU_OSACCESSDENIED);
    std::filesystem::copy_file(FDir.File("PARTS.DAT"), FDir.File("parts.DAT"));
    std::filesystem::copy_file(FDir.File("PARTS.IDX"), FDir.File("parts.IDX"));
    std::filesystem::copy_file(FDir.File("PARTS.BLB"), FDir.File("parts.BLB"));
    ASSERT_EQ(FDirectory->OpenTable("parts", lower, false, false, false, false, false, false), 0);
    EXPECT_NE(lower, t);
    Append(lower, 1);
    EXPECT_EQ(t->DataFile()->GetPhysicalRecordCount(), 0u);
    EXPECT_FALSE(t->LockRead());  // the other file changed, not this one
}

TEST_F(SharedTables, RenameDeleteAndExistence) {
    EXPECT_TRUE(FDirectory->TableExists("parts", false));
    {
        // A table's files go, or move, all together or not at all: one that cannot (another
        // opener holds it) brings back those moved before it, and nothing else is left.
        auto names = [&] {
            std::set<std::string> out;
            for (const auto& e : std::filesystem::directory_iterator(FDir.Path()))
                out.insert(e.path().string());
            return out;
        };
        const std::set<std::string> before = names();
        std::unique_ptr<TOsFile> held(
            TOsFile::Open(FDir.File("PARTS.BLB"), TOsAccess::Read, TOsShare::Exclusive));
        ASSERT_TRUE(held);
        const std::function<void()> changes[] = {
            [&] { FDirectory->DeleteTable("PARTS", false); },
            [&] { FDirectory->RenameTable("PARTS", "STOCK", false, false); },
            [&] { FDirectory->RenameTable("PARTS", "", true, false); }};
        for (const auto& change : changes) {
            EXPECT_EQ(RaisedCode(change), ZIZIVU_OSACCESSDENIED);
            EXPECT_EQ(names(), before);
        }
    }
    ASSERT_EQ(FDirectory->RenameTable("PARTS", "STOCK", false, false), 0);
    EXPECT_FALSE(FDirectory->TableExists("PARTS", false));
    EXPECT_TRUE(std::filesystem::exists(FDir.File("STOCK.BLB")));
    ASSERT_EQ(FDirectory->RenameTable("STOCK", "", true, false), 0);
    for (const char* f : {"STOCK.DBK", "STOCK.IBK", "STOCK.BBK"})
        EXPECT_TRUE(std::filesystem::exists(FDir.File(f)));
    TDataTable* t = nullptr;
    TTableDefinition noIndex = PartsDefinition();
    noIndex.Indexes.clear();
    ASSERT_EQ(FDirectory->CreateTable("T2", t, false, false, noIndex), 0);
    EXPECT_TRUE(t->NoPrimaryIndex());
    EXPECT_EQ(FDirectory->CreateTable("  ", t, false, false, noIndex), -ZIZIVU_OSPATHNOTFOUND);
    ASSERT_EQ(FDirectory->CloseTable(t, false), 0);
    ASSERT_EQ(FDirectory->DeleteTable("T2", false), 0);
    EXPECT_FALSE(FDirectory->TableExists("T2", false));
}

TEST(MemoryTables, TheMemoryDatabaseKeepsTablesOutOfTheFolder) {
    InitializeEngine();
    TDataSession* s = GetEngineSession();
    TDataDirectory* mem = s->OpenDirectory("Memory", "");
    TDataTable* t = nullptr;
    ASSERT_EQ(mem->CreateTable("MEMTAB", t, false, true, PartsDefinition()), 0);
    EXPECT_TRUE(mem->TableExists("memtab", true));
    EXPECT_FALSE(mem->TableExists("memtab", false));
    ASSERT_EQ(mem->CloseTable(t, false), 0);
    TDataTable* again = nullptr;
    ASSERT_EQ(mem->OpenTable("MemTab", again, false, false, false, true, false, false), 0);
    EXPECT_EQ(again->DataFile()->GetFieldCount(), 3);
    ASSERT_EQ(mem->CloseTable(again, false), 0);
    FinalizeEngine();
}

}  // namespace
