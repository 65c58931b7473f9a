#pragma once
// One physical table as this process sees it: its data, index and BLOB files, the cursors
// sharing it (open count), the locks this process holds on the table's files, the
// transaction, and the detection of other processes' changes through the files' change
// counters. Processes meet only through byte-range locks far beyond the files' data.
#include <array>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "db/engine/BlobFile.h"
#include "db/engine/DataDirectory.h"
#include "db/engine/DataFile.h"
#include "db/engine/DataSession.h"
#include "db/engine/IndexFile.h"
#include "db/engine/TableFiles.h"
#include "db/engine/WriteJournal.h"
#include "db/storage/RecordsBitmap.h"
#include "platform/rtl/System.h"

class TDataDirectory;
class TDataSession;
class TFileHandler;

// Byte-range lock layout on the table's files.
namespace table_locks {
// Record n: one byte at RecordBase - n on the data file.
constexpr uint32_t RecordBase = 0x7FFFFFFE;
// Every record byte at once (records 1 .. 100000001).
constexpr uint32_t AllRecordsStart = 2047483645;
constexpr uint32_t AllRecordsLength = 100000001;
// The data file's write and transaction byte.
constexpr uint32_t DataWriteByte = 0x7FFFFFFF;
// Writers of the index and BLOB files lock this range; readers one byte inside it.
constexpr uint32_t WriteRangeStart = 0x7FFF0000;
constexpr uint32_t WriteRangeLength = 65535;
constexpr uint32_t ReaderBase = 0x7FFFFFFF;
// File-level locks: tries and the wait between them.
constexpr int32_t FileLockTries = 8193;
constexpr uint32_t FileLockWaitMs = 3;
}  // namespace table_locks

// What a new table is made of.
struct TTableDefinition {
    uint16_t Language = 0;
    uint16_t Sort = 0;
    std::vector<TFieldDescriptor> Fields;
    // The primary index first (a key length of 0: none), then the secondary indexes.
    std::vector<TIndexDescriptor> Indexes;
    uint16_t BlobBlockSize = 0;
    std::string Description;
    std::string Password;
    bool Encrypted = false;
    uint16_t UserMajor = 0;
    uint16_t UserMinor = 0;
};

class TDataTable final : public TObject, public TTableFilesOwner {
public:
    explicit TDataTable(TDataDirectory* directory);
    TDataTable(const TDataTable&) = delete;
    TDataTable& operator=(const TDataTable&) = delete;
    ~TDataTable() override;

    TDataDirectory* Directory() const { return FDirectory; }
    TDataSession* Session() const { return FDirectory ? FDirectory->Session() : nullptr; }

    // The name with ".DAT" forced.
    void SetTableName(const std::string& name);
    const std::string& Name() const { return FTableName; }
    // The data file a disk table reached when its files were named (empty in memory): a
    // table is known by the file, not by the spelling of its name.
    const std::string& ResolvedName() const { return FResolvedName; }
    void SetExclusive(bool v) { FExclusive = v; }
    bool Exclusive() const { return FExclusive; }
    // A statement's own result table: opened exclusive by that statement alone, so no other
    // opener exists to meet its record bytes. Its record locks are kept in the bitmaps only,
    // its transaction lock in the lock state only.
    void SetPrivateRecordLocks(bool v) { FPrivateRecordLocks = v; }
    void SetReadOnly(bool v) { FReadOnly = v; }
    bool ReadOnly() const { return FReadOnly; }
    bool FilesReadOnly() const { return FFilesReadOnly; }
    // A file of the table is read-only for every process, so the table never changes while it
    // is open: no read locks, no change checks. Files read-only for this process alone are
    // still written by others.
    bool Unchanging() const { return FFilesReadOnlyForAll; }
    void SetInMemory(bool v) { FInMemory = v; }
    void SetTemporary(bool v) { FTemporary = v; }
    bool Temporary() const { return FTemporary; }
    // Two open options of the cursors, kept for them.
    void SetOpenOptions(bool option1, bool option2) {
        FOption1 = option1;
        FOption2 = option2;
    }
    bool Option1() const { return FOption1; }
    bool Option2() const { return FOption2; }
    void SetSkipIndexCheck(bool v) { FSkipIndexCheck = v; }
    bool IsOpen() const { return FOpen; }
    int32_t OpenCount() const { return FOpenCount; }
    void IncOpenCount() { ++FOpenCount; }

    // The three files' names: the table name with ".DAT", ".IDX" and ".BLB", in the
    // directory's folder unless in memory, each with the table's flags.
    void AssignFileNames();
    void OpenFiles();
    // One opener less; the last one closes the files (unless a transaction keeps them),
    // an exclusive writable table flushing its buffers first (a temporary table with
    // `temporaryDiscard` drops them instead).
    void CloseFiles(bool temporaryDiscard);
    void CreateFiles(const TTableDefinition& definition);
    void DeleteFiles();
    void RenameFiles(const std::string& newName, bool toBackup);
    // Truncates the three files to their headers, written emptied; what the caches held
    // is dropped.
    void EmptyFiles();
    // EmptyFiles, then every buffer dropped and the headers reread. A private result
    // table whose files still hold only what its last emptying wrote keeps them: its
    // caches go and its headers are set back to that emptying's.
    void Empty();
    // Reorders the physical records (result tables); the table's record count follows.
    uint32_t SortRecords(int32_t sortFieldCount, const TFieldDescriptor* sortFields, bool caseInsensitive,
                         bool dropDuplicates, const TSortGroupSteps* groupSteps = nullptr);
    void BackupIndexFile();
    void RestoreIndexFile(bool skipRestore, bool deleteBackup);
    // Rereads the three headers and runs their open checks.
    void ReadHeaders();
    // ReadHeaders under the implicit read lock (unless a lock is held already), so that no
    // writer is halfway through the files: what a table's first opener does.
    void ReadHeadersLocked();

    // Locks. LockRecord returns whether the files were found changed.
    bool LockRecord(uint32_t recordNo);
    void UnlockRecord(uint32_t recordNo);
    void UnlockAllRecords(bool deferredOnly);
    void UnlockTable();
    bool LockExplicitRead();
    void UnlockExplicitRead();
    bool LockRead();
    void UnlockRead();
    bool LockForWrite();
    void UnlockForWrite();
    void LockTransaction();
    void UnlockTransaction();
    // Gives the write lock back without raising; false when a range would not unlock.
    bool ReleaseWriteLock();
    bool HoldsRecordLock(uint32_t recordNo) const;
    // A record lock given up inside the transaction, held on only until its end.
    bool IsUnlockDeferred(uint32_t recordNo) const;
    bool HoldsAnyLock() const;
    bool HoldsReadLock() const { return FImplicitRead || FExplicitRead; }
    bool HoldsWriteLock() const { return FWriteLock; }

    void SetPendingRecord(uint32_t recordNo);
    void ClearPendingRecord(uint32_t recordNo);
    bool IsPendingRecord(uint32_t recordNo) const;

    // True when another process changed the files since they were last read; the caches
    // of what changed are dropped.
    bool CheckForChanges();

    void StartTransaction();
    // With `end` the transaction ends; without it the changes are written and the
    // transaction goes on with its locks.
    // toDisk off leaves the written buffers to the system (a statement's own result table,
    // which no crash needs to find complete).
    // A commit that fails keeps nothing of the transaction: the files stay as they were, and
    // the transaction ends with its locks given back.
    void Commit(bool end, bool toDisk = true);
    void Rollback();
    // Ends the transaction keeping none of its changes, without reading or raising: the
    // caches dropped, the headers as the transaction found them, its locks given back.
    void AbandonTransaction();
    // A change that failed halfway inside the transaction (TChangeScope::Alter) has left
    // its caches half changed: the transaction ends without its changes, and the failure
    // is raised again.
    void RaiseIfTransactionBroken();

    // The three headers as they stand in memory, with their modified marks.
    struct THeaderStates {
        TDataFileHeader Data;
        bool DataModified = false;
        bool FieldsModified = false;
        std::array<uint8_t, IndexHeaderSize> Index{};
        bool IndexModified = false;
        TBlobFileHeader Blob;
        bool BlobModified = false;
    };

    // One change of the table outside a transaction: a cursor's insert, modify or delete, a
    // commit, the flush at close. Its writes go through the journal; when an exception
    // leaves the scope, the files are put back, the caches dropped and the headers taken
    // back as they were at its start (or as given), so that the table stays as it was and
    // no later flush stores any of the change. Inside a transaction, where the caches are
    // the transaction's, and inside another change it does nothing.
    class TChangeScope {
    public:
        explicit TChangeScope(TDataTable& table);
        TChangeScope(TDataTable& table, const THeaderStates& restore);
        TChangeScope(const TChangeScope&) = delete;
        TChangeScope& operator=(const TChangeScope&) = delete;
        ~TChangeScope();
        // The journal keeps its storage for the next change (a commit inside a statement's
        // transaction, followed by more of the same).
        void KeepJournalStorage() { FKeepStorage = true; }
        // Runs the part of the change that alters the caches or the files. Inside a
        // transaction nothing takes a failure there back: the transaction keeps it, and can
        // only end without its changes (Commit raises the failure again).
        template <class F>
        void Alter(F&& alter) {
            try {
                alter();
            } catch (...) {
                FOwner.BreakTransaction(std::current_exception());
                throw;
            }
        }

    private:
        static bool Applies(const TDataTable& table);
        void Begin(TDataTable& table);

        TDataTable& FOwner;
        TDataTable* FTable = nullptr;
        std::optional<THeaderStates> FRestore;
        int FExceptions = 0;
        bool FKeepStorage = false;
    };

    // A statement's own temporary result table keeps a row written outside a transaction,
    // and the rows of a transaction it ends, in its caches, the headers marked changed: the
    // next change, transaction, sort or discard writes them first, and emptying the table
    // or its last close drops them.
    bool DefersRowWrites() const { return PrivateTemporary() && !FTransactionActive; }
    void DeferRowWrite(bool blob);
    void WritePendingRows();
    // Writes dirty entries and headers, data then index then BLOB (inside a transaction
    // only marks the headers changed).
    void FlushBuffers(bool trim, bool writeDataHeader, bool flushToDisk, bool writeBlobHeader,
                      bool writeIndexHeader);
    void MarkChanged(bool data, bool index, bool blob);
    void DiscardBuffers();

    TDataFile* DataFile() const { return FDataFile.get(); }
    TIndexFile* IndexFile() const { return FIndexFile.get(); }
    TBlobFile* BlobFile() const { return FBlobFile.get(); }
    bool HasBlobFile() const { return FBlobFile->IsOpen(); }
    // The field lookup the index file's checks need.
    const TIndexFieldLookup& FieldLookup() const { return FFieldLookup; }
    bool Changed() const { return FChanged; }
    void ClearChanged() { FChanged = false; }

    // TTableFilesOwner
    std::string TableName() const override { return FTableName; }
    bool ForceBufferFlush() const override;
    bool StrictChangeDetection() const override { return Session() && Session()->StrictChangeDetection(); }
    bool InTransaction() const override { return FTransactionActive; }
    void SetTableChanged() override { FChanged = true; }
    bool NoPrimaryIndex() override;
    std::string PrivateDirectory() const override;
    bool InMemory() const override { return FInMemory; }
    TWriteJournal* Journal() override { return FJournalActive ? &FJournal : nullptr; }

private:
    // Ranges taken by one lock call: given back, the last first, unless the call keeps them.
    class TTakenRanges {
    public:
        TTakenRanges() = default;
        TTakenRanges(const TTakenRanges&) = delete;
        TTakenRanges& operator=(const TTakenRanges&) = delete;
        ~TTakenRanges() {
            while (FCount > 0) {
                const TRange& r = FRanges[size_t(--FCount)];
                r.File->LockRange(r.Start, r.Length, false);
            }
        }
        void Add(TFileHandler& file, uint32_t start, uint32_t length) {
            FRanges[size_t(FCount++)] = {&file, start, length};
        }
        void Keep() { FCount = 0; }

    private:
        struct TRange {
            TFileHandler* File;
            uint32_t Start;
            uint32_t Length;
        };
        std::array<TRange, 3> FRanges{};
        int32_t FCount = 0;
    };
    // A file-level range (10249 when it cannot be had) and a reader byte, each kept in
    // `taken`.
    void TakeRange(TTakenRanges& taken, TFileHandler& file, uint32_t start, uint32_t length);
    uint16_t TakeReaderByte(TTakenRanges& taken, TFileHandler& file);
    // The read bytes of the index and BLOB files and the change check under them; nothing
    // is left held when any of it fails.
    bool TakeReadLock(uint16_t& indexByte, uint16_t& blobByte, bool& held);
    bool ReleaseReadBytes(uint16_t& indexByte, uint16_t& blobByte);
    bool ReleaseTransactionLock();
    bool ReleaseTableRange();
    // The headers into a kept copy, without a temporary (the index header alone is 4096 bytes).
    void SaveHeaderStates(THeaderStates& states) const;
    void RestoreHeaderStates(const THeaderStates& states);
    // The end of the last opener: every lock given back and the files closed, whatever
    // failed before.
    void ReleaseAndCloseFiles();
    // One range on a file, tried up to `tries` times `waitMs` apart.
    bool TryLock(TFileHandler& file, uint32_t start, uint32_t length, int32_t tries, uint32_t waitMs);
    // A reader byte on the file, a new one drawn each try; 0 when none could be had.
    uint16_t LockReaderByte(TFileHandler& file);
    void DropAllCaches();
    void RereadHeaders();
    [[noreturn]] void Raise(uint16_t code) const;
    bool RecordBytesLocked() const { return !(FExclusive && FPrivateRecordLocks); }
    bool PrivateTemporary() const { return FExclusive && FPrivateRecordLocks && FTemporary; }
    void FileWriteCounts(uint64_t (&counts)[3]) const;

    TDataDirectory* FDirectory;
    int32_t FOpenCount = 0;
    std::string FTableName;
    std::string FResolvedName;
    bool FOpen = false;
    bool FExclusive = false;
    bool FPrivateRecordLocks = false;
    // Rows of a private result table in the caches only (see DeferRowWrite).
    bool FRowWritesPending = false;
    // A private result table's state right after its files were last emptied, with each
    // file's write count then.
    struct TEmptiedState {
        THeaderStates Headers;
        uint64_t Writes[3];
    };
    std::optional<TEmptiedState> FEmptied;
    bool FReadOnly = false;
    bool FFilesReadOnly = false;
    bool FFilesReadOnlyForAll = false;
    bool FInMemory = false;
    bool FOption1 = false;
    bool FOption2 = false;
    bool FTemporary = false;
    std::unique_ptr<TDataFile> FDataFile;
    std::unique_ptr<TIndexFile> FIndexFile;
    std::unique_ptr<TBlobFile> FBlobFile;
    TIndexFieldLookup FFieldLookup;
    bool FSkipIndexCheck = false;
    TRecordsBitmap FLocked;
    TRecordsBitmap FPending;
    TRecordsBitmap FDeferred;
    bool FExplicitRead = false;
    bool FWriteLock = false;
    bool FImplicitRead = false;
    bool FTransactionLock = false;
    bool FAllRecordsLocked = false;
    uint16_t FIndexReadByte = 0;
    uint16_t FBlobReadByte = 0;
    uint16_t FIndexExplicitByte = 0;
    uint16_t FBlobExplicitByte = 0;
    bool FTransactionActive = false;
    bool FChanged = false;
    // The headers as the transaction found them (and as its last commit left them).
    THeaderStates FTransactionBase;
    // The failure of a change that left the transaction's caches half changed.
    std::exception_ptr FTransactionBrokenBy;
    void BreakTransaction(std::exception_ptr failure) {
        if (FTransactionActive && !FTransactionBrokenBy) FTransactionBrokenBy = std::move(failure);
    }
    TWriteJournal FJournal;
    bool FJournalActive = false;
};
