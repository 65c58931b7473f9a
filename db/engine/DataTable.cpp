#include "db/engine/DataTable.h"

#include <bit>
#include <exception>

#include "db/engine/BlobFile.h"
#include "db/engine/DataDirectory.h"
#include "db/engine/DataFile.h"
#include "db/engine/DataSession.h"
#include "db/engine/FileMoves.h"
#include "db/engine/IndexFile.h"
#include "db/storage/EngineErrors.h"
#include "db/storage/FileLayer.h"
#include "db/storage/RecordsBitmap.h"
#include "platform/os/Files.h"
#include "platform/rtl/ScopeGuard.h"
#include "platform/rtl/SysUtils.h"
#include "platform/rtl/Tick.h"

using namespace table_locks;

namespace {

constexpr int32_t InitialBitmapRecords = 8192;

// The bitmaps cover the numbers a record can have, and no more.
bool PossibleRecordNo(uint32_t recordNo) {
    return recordNo != 0 && recordNo < RecordNumberLimit;
}

void EnsureBitmap(TRecordsBitmap& bitmap, uint32_t recordNo) {
    if (int64_t(recordNo) <= bitmap.RecordCount()) return;
    int64_t n = std::max<int64_t>(recordNo, int64_t(bitmap.RecordCount()) * 2);
    bitmap.SetRecordCount(int32_t(std::min<int64_t>(n, RecordNumberLimit)));
}

bool BitSet(const TRecordsBitmap& bitmap, uint32_t recordNo) {
    return recordNo >= 1 && int64_t(recordNo) <= bitmap.RecordCount() && bitmap.GetBit(int32_t(recordNo));
}

}  // namespace

TDataTable::TDataTable(TDataDirectory* directory)
    : FDirectory(directory),
      FDataFile(std::make_unique<TDataFile>(this)),
      FIndexFile(std::make_unique<TIndexFile>(this)),
      FBlobFile(std::make_unique<TBlobFile>(this)) {
    const TDataFile* data = FDataFile.get();
    FFieldLookup = [data](int32_t fieldNo, TIndexFieldInfo& info) {
        TFieldDescriptor f;
        if (fieldNo < 1 || fieldNo > 0xFFFF || !data->FindFieldDescriptor(uint16_t(fieldNo), f)) return false;
        info.Type = f.DataType;
        info.StoredSize = f.DataSize;
        return true;
    };
    for (TRecordsBitmap* b : {&FLocked, &FPending, &FDeferred}) b->SetRecordCount(InitialBitmapRecords);
}

TDataTable::~TDataTable() {
    try {
        if (FOpen) {
            FOpenCount = 1;
            FTransactionActive = false;
            CloseFiles(false);
        }
    } catch (...) {
        // Closing releases what it can; a failed flush must not escape a destructor.
    }
}

bool TDataTable::ForceBufferFlush() const {
    return Session() && Session()->ForceBufferFlush();
}

bool TDataTable::NoPrimaryIndex() {
    return FIndexFile->IsOpen() && FIndexFile->GetNoPrimaryIndex();
}

std::string TDataTable::PrivateDirectory() const {
    return Session() ? Session()->GetPrivateDirectory() : std::string();
}

void TDataTable::Raise(uint16_t code) const {
    RaiseEngineError(code, FTableName);
}

void TDataTable::SetTableName(const std::string& name) {
    FTableName = ForceFileExt(Trim(name), ".DAT");
}

void TDataTable::AssignFileNames() {
    const std::string base = RemoveFileExt(FTableName);
    const std::string prefix = FInMemory ? std::string() : FDirectory->Path();
    const struct {
        TFileHandler* file;
        const char* ext;
    } files[] = {{FDataFile.get(), ".DAT"}, {FIndexFile.get(), ".IDX"}, {FBlobFile.get(), ".BLB"}};
    FResolvedName = FInMemory ? std::string() : ResolveFileName(prefix + base + ".DAT");
    for (const auto& f : files) {
        f.file->SetFileName(prefix + base + f.ext);
        f.file->SetExclusive(FExclusive);
        f.file->SetInMemory(FInMemory);
        f.file->SetTemporary(FTemporary);
    }
}

void TDataTable::OpenFiles() {
    if (FOpen) {
        // Kept open by a transaction after its last cursor left: rejoins as it stands.
        FOpenCount = 1;
        return;
    }
    FOpenCount = 1;
    FOpen = true;
    FRowWritesPending = false;
    FEmptied.reset();
    TScopeGuard close([this] {
        FBlobFile->Close();
        FIndexFile->Close();
        FDataFile->Close();
        FOpen = false;
        FOpenCount = 0;
    });
    FDataFile->Open();
    FIndexFile->SetEncrypted(FDataFile->IsEncrypted());
    FIndexFile->Open();
    if (FDataFile->GetBlobFieldCount() > 0) {
        FBlobFile->SetEncrypted(FDataFile->IsEncrypted());
        FBlobFile->SetBlockSize(FDataFile->GetBlobBlockSize());
        FBlobFile->Open();
    }
    close.Dismiss();
    FFilesReadOnly =
        FDataFile->ReadOnly() || FIndexFile->ReadOnly() || (HasBlobFile() && FBlobFile->ReadOnly());
    if (FFilesReadOnly) FReadOnly = true;
    FFilesReadOnlyForAll = FDataFile->ReadOnlyForAll() || FIndexFile->ReadOnlyForAll() ||
                           (HasBlobFile() && FBlobFile->ReadOnlyForAll());
    FExplicitRead = FWriteLock = FImplicitRead = FTransactionLock = FAllRecordsLocked = false;
}

void TDataTable::CloseFiles(bool temporaryDiscard) {
    if (!FOpen) return;
    if (FOpenCount > 0) --FOpenCount;
    if (FOpenCount > 0 || FTransactionActive) return;
    // The locks and the files go even when the flush fails; such a flush leaves the files
    // as they were, and its failure is reported afterwards.
    TScopeGuard close([this] { ReleaseAndCloseFiles(); });
    if (!FExclusive || FReadOnly) return;
    if (FTemporary && temporaryDiscard) {
        DropAllCaches();
        FRowWritesPending = false;
        return;
    }
    TChangeScope change(*this);
    FlushBuffers(true, false, false, false, false);
}

void TDataTable::ReleaseAndCloseFiles() {
    ReleaseTableRange();
    UnlockAllRecords(false);
    FPending.ClearAll();
    if (FImplicitRead) {
        FImplicitRead = false;
        ReleaseReadBytes(FIndexReadByte, FBlobReadByte);
    }
    if (FExplicitRead) {
        FExplicitRead = false;
        ReleaseReadBytes(FIndexExplicitByte, FBlobExplicitByte);
    }
    ReleaseWriteLock();
    ReleaseTransactionLock();
    FIndexFile->Close();
    FBlobFile->Close();
    FDataFile->Close();
    FOpen = false;
    FSkipIndexCheck = false;
    FChanged = false;
}

void TDataTable::CreateFiles(const TTableDefinition& d) {
    // A create that fails takes away the files it made: a half-written table could not be
    // opened, and would stand in the way of the next create of its name.
    TScopeGuard discard([this] {
        TFileHandler* const files[] = {FIndexFile.get(), FBlobFile.get(), FDataFile.get()};
        for (TFileHandler* f : files) {
            if (!f->IsOpen()) continue;
            f->Close();
            try {
                f->Delete();
            } catch (const EZIZIVUEngineError&) {
                // The others go all the same; the create's own error is the one reported.
            }
        }
    });
    FDataFile->InitStructure(d.Language, d.Sort, d.Fields.data(), int32_t(d.Fields.size()), d.BlobBlockSize,
                             d.Description, d.Password, d.Encrypted, d.UserMinor, d.UserMajor);
    FDataFile->CreateFile();
    FDataFile->WriteHeader(true, false);
    FDataFile->WriteFieldDescriptors();
    FIndexFile->SetEncrypted(d.Encrypted);
    FIndexFile->CreateFile();
    const TIndexFieldLookup fields = FieldLookup();
    if (d.Indexes.empty()) {
        FIndexFile->SetNoPrimaryIndex(true);
    } else {
        FIndexFile->AddPrimaryIndex(d.Indexes[0], fields);
        for (size_t i = 1; i < d.Indexes.size(); ++i) FIndexFile->AddSecondaryIndex(d.Indexes[i], fields);
    }
    FIndexFile->WriteHeader(true, false);
    if (FDataFile->GetBlobFieldCount() > 0) {
        FBlobFile->SetEncrypted(d.Encrypted);
        FBlobFile->SetBlockSize(FDataFile->GetBlobBlockSize());
        FBlobFile->CreateFile();
        FBlobFile->WriteHeader(true, false);
    } else if (FBlobFile->Exists()) {
        // A table without BLOB fields has no BLOB file; a stale one would be taken for it.
        FBlobFile->Delete();
    }
    discard.Dismiss();
    FOpen = true;
    FOpenCount = 1;
    FExplicitRead = FWriteLock = FImplicitRead = FTransactionLock = FAllRecordsLocked = false;
}

void TDataTable::DeleteFiles() {
    // A table goes whole or not at all: its files are first moved aside in its folder, so
    // that a file that cannot go (another opener holds it, or it is not this user's to
    // remove) brings back those moved before it.
    if (!FDataFile->Exists()) FDataFile->Delete();  // raises as for a table that is not there
    const std::string prefix = FInMemory ? std::string() : FDirectory->Path();
    const std::string aside = prefix + RemoveFileExt(FDirectory->GetTemporaryTableName(FInMemory));
    TFileMoves moves(FInMemory);
    TScopeGuard undo([&moves] { moves.Undo(); });
    for (TFileHandler* f :
         std::initializer_list<TFileHandler*>{FDataFile.get(), FIndexFile.get(), FBlobFile.get()})
        moves.Move(f->FileName(), aside + ExtractFileExt(f->FileName()), f->FileName());
    undo.Dismiss();
    for (const auto& [from, to] : moves.Done())
        if (const int32_t r = GlobalFileList()->DeleteFile(to, FInMemory); r < 0)
            RaiseEngineError(uint16_t(-r), from);
}

void TDataTable::RenameFiles(const std::string& newName, bool toBackup) {
    const struct {
        TFileHandler* file;
        const char* ext;
        const char* backup;
    } files[] = {{FDataFile.get(), ".DAT", ".DBK"},
                 {FIndexFile.get(), ".IDX", ".IBK"},
                 {FBlobFile.get(), ".BLB", ".BBK"}};
    std::string target = RemoveFileExt(Trim(newName));
    if (!toBackup && !FInMemory && FDirectory && !HasPathChars(target)) target = FDirectory->Path() + target;
    // All or none: a file that cannot be moved brings back those moved before it.
    TFileMoves moves(FInMemory);
    TScopeGuard undo([&moves] { moves.Undo(); });
    std::string moved[3];
    for (int i = 0; i < 3; ++i) {
        const auto& f = files[i];
        if (!f.file->Exists()) continue;
        moved[i] = toBackup ? ForceFileExt(f.file->FileName(), f.backup) : target + f.ext;
        if (toBackup && DataFileExists(moved[i], FInMemory)) {
            TFileHandler old;
            old.SetInMemory(FInMemory);
            old.SetFileName(moved[i]);
            old.Delete();
        }
        moves.Move(f.file->FileName(), moved[i], f.file->FileName());
    }
    undo.Dismiss();
    for (int i = 0; i < 3; ++i)
        if (!moved[i].empty()) files[i].file->SetFileName(moved[i]);
    // With forced flushing the new names reach the disk too, not only the files' contents.
    if (!FInMemory && ForceBufferFlush() && !OsSyncFolderOf(FDataFile->FileName())) Raise(MapOSError());
}

void TDataTable::EmptyFiles() {
    // What the caches hold belongs to the old content; the emptied headers must reach the
    // files before the headers are reread.
    DropAllCaches();
    FRowWritesPending = false;
    FEmptied.reset();
    FDataFile->Empty();
    FIndexFile->Empty();
    if (HasBlobFile()) FBlobFile->Empty();
    FDataFile->WriteHeader(true, false);
    FIndexFile->WriteHeader(true, false);
    if (HasBlobFile()) FBlobFile->WriteHeader(true, false);
}

void TDataTable::FileWriteCounts(uint64_t (&counts)[3]) const {
    counts[0] = FDataFile->WriteCount();
    counts[1] = FIndexFile->WriteCount();
    counts[2] = FBlobFile->WriteCount();
}

void TDataTable::Empty() {
    uint64_t writes[3];
    FileWriteCounts(writes);
    if (FEmptied && std::equal(writes, writes + 3, FEmptied->Writes)) {
        // Nothing reached the files since they were emptied, and nobody else opens them:
        // the rows since then lived in the caches only, and the headers in memory.
        DropAllCaches();
        FRowWritesPending = false;
        FDataFile->TrimRecordCache();
        FIndexFile->TrimPageCache(true);
        if (HasBlobFile()) FBlobFile->TrimBlockCache();
        RestoreHeaderStates(FEmptied->Headers);
        FDataFile->SetNoRowIds();
        FChanged = true;
        return;
    }
    EmptyFiles();
    DiscardBuffers();
    if (!FExclusive || !FPrivateRecordLocks) return;
    FEmptied.emplace();
    SaveHeaderStates(FEmptied->Headers);
    FileWriteCounts(FEmptied->Writes);
}

uint32_t TDataTable::SortRecords(int32_t sortFieldCount, const TFieldDescriptor* sortFields,
                                 bool caseInsensitive, bool dropDuplicates,
                                 const TSortGroupSteps* groupSteps) {
    WritePendingRows();
    FEmptied.reset();
    const uint32_t count =
        FDataFile->SortRecords(sortFieldCount, sortFields, caseInsensitive, dropDuplicates, groupSteps);
    FIndexFile->SetCounter3974(count);
    return count;
}

void TDataTable::BackupIndexFile() {
    FlushBuffers(false, false, true, false, false);
    const std::string backup = ForceFileExt(FIndexFile->FileName(), ".IBK");
    // A copy cut short goes: it would pass for the index as it was.
    TScopeGuard discard([this, &backup] {
        if (DataFileExists(backup, FInMemory)) GlobalFileList()->DeleteFile(backup, FInMemory);
    });
    FIndexFile->SaveToFile(backup);
    discard.Dismiss();
}

void TDataTable::RestoreIndexFile(bool skipRestore, bool deleteBackup) {
    FEmptied.reset();
    const std::string backup = ForceFileExt(FIndexFile->FileName(), ".IBK");
    if (!skipRestore) {
        FIndexFile->LoadFromFile(backup);
        FIndexFile->ClearPageCache(true);
        FIndexFile->ReadHeader();
    }
    if (deleteBackup) {
        TFileHandler old;
        old.SetInMemory(FInMemory);
        old.SetFileName(backup);
        old.Delete();
    }
}

void TDataTable::ReadHeaders() {
    FDataFile->ReadHeader();
    FDataFile->ReadFieldDescriptors();
    FDataFile->CheckHeader();
    FIndexFile->ReadHeader();
    if (!FSkipIndexCheck) FIndexFile->CheckHeader(FieldLookup());
    if (HasBlobFile()) {
        FBlobFile->ReadHeader();
        FBlobFile->CheckHeader();
    }
}

void TDataTable::ReadHeadersLocked() {
    const bool held = HoldsAnyLock();
    LockRead();
    TScopeGuard unlock([this, held] {
        if (!held) UnlockRead();
    });
    ReadHeaders();
}

// ---- Locks ------------------------------------------------------------------------------

bool TDataTable::TryLock(TFileHandler& file, uint32_t start, uint32_t length, int32_t tries,
                         uint32_t waitMs) {
    for (int32_t attempt = 1;; ++attempt) {
        if (file.LockRange(start, length, true)) return true;
        if (attempt >= tries) return false;
        Sleep(waitMs);
    }
}

uint16_t TDataTable::LockReaderByte(TFileHandler& file) {
    for (int32_t attempt = 1;; ++attempt) {
        uint16_t r = uint16_t(EngineRandom(65535));
        if (r == 0) r = 1;
        if (file.LockRange(ReaderBase - r, 1, true)) return r;
        if (attempt >= FileLockTries) return 0;
        Sleep(FileLockWaitMs);
    }
}

void TDataTable::TakeRange(TTakenRanges& taken, TFileHandler& file, uint32_t start, uint32_t length) {
    if (!TryLock(file, start, length, FileLockTries, FileLockWaitMs)) Raise(ZIZIVU_LOCKFAILED);
    taken.Add(file, start, length);
}

uint16_t TDataTable::TakeReaderByte(TTakenRanges& taken, TFileHandler& file) {
    const uint16_t r = LockReaderByte(file);
    if (r == 0) Raise(ZIZIVU_LOCKFAILED);
    taken.Add(file, ReaderBase - r, 1);
    return r;
}

bool TDataTable::TakeReadLock(uint16_t& indexByte, uint16_t& blobByte, bool& held) {
    if (FExplicitRead || FImplicitRead || FWriteLock || FTransactionLock || FExclusive || Unchanging())
        return false;
    TTakenRanges taken;
    const uint16_t i = TakeReaderByte(taken, *FIndexFile);
    const uint16_t b = HasBlobFile() ? TakeReaderByte(taken, *FBlobFile) : 0;
    const bool changed = CheckForChanges();
    taken.Keep();
    indexByte = i;
    blobByte = b;
    held = true;
    return changed;
}

bool TDataTable::ReleaseReadBytes(uint16_t& indexByte, uint16_t& blobByte) {
    const uint16_t i = indexByte, b = blobByte;
    indexByte = blobByte = 0;
    bool ok = true;
    if (b != 0 && HasBlobFile()) ok = FBlobFile->LockRange(ReaderBase - b, 1, false) && ok;
    if (i != 0) ok = FIndexFile->LockRange(ReaderBase - i, 1, false) && ok;
    return ok;
}

bool TDataTable::LockRecord(uint32_t recordNo) {
    if ((FExclusive && !FTransactionActive) || FReadOnly) return false;
    if (!PossibleRecordNo(recordNo)) Raise(ZIZIVU_RECLOCKFAILED);
    if (FTransactionActive && BitSet(FLocked, recordNo)) {
        // Taken again after it was given up: it stays until it is given up once more.
        if (BitSet(FDeferred, recordNo)) FDeferred.ClearBit(int32_t(recordNo));
        return false;
    }
    bool changed = false;
    const bool tookRead = !FExclusive && !StrictChangeDetection() && !HoldsAnyLock();
    if (tookRead) changed = LockRead();
    const int32_t tries = int32_t(Session() ? Session()->LockRetryCount() : 15) + 1;
    const uint32_t wait = Session() ? Session()->LockWaitTime() : 100;
    // The record's holder may need the write lock to finish with it, which the reader bytes
    // keep out: an implicit read lock (this call's or the operation's) is given up while
    // waiting, and each try is made under it again, with the change check that brings.
    const bool yieldRead = FImplicitRead && !FExplicitRead && !FWriteLock && !FTransactionLock;
    for (int32_t attempt = 1; RecordBytesLocked(); ++attempt) {
        if (FDataFile->LockRange(RecordBase - recordNo, 1, true)) break;
        if (attempt >= tries) {
            // A failed record lock leaves no read lock of its own behind.
            if (tookRead) UnlockRead();
            Raise(ZIZIVU_RECLOCKFAILED);
        }
        if (yieldRead) UnlockRead();
        Sleep(wait);
        if (yieldRead) changed = LockRead() || changed;
    }
    EnsureBitmap(FLocked, recordNo);
    EnsureBitmap(FDeferred, recordNo);
    FLocked.SetBit(int32_t(recordNo));
    FDeferred.ClearBit(int32_t(recordNo));
    return changed;
}

void TDataTable::UnlockRecord(uint32_t recordNo) {
    if ((FExclusive && !FTransactionActive) || FReadOnly) return;
    if (!PossibleRecordNo(recordNo)) Raise(ZIZIVU_UNLOCKFAILED);
    if (FTransactionActive) {
        EnsureBitmap(FDeferred, recordNo);
        FDeferred.SetBit(int32_t(recordNo));
        return;
    }
    if (!BitSet(FLocked, recordNo)) Raise(ZIZIVU_UNLOCKFAILED);
    FLocked.ClearBit(int32_t(recordNo));
    if (RecordBytesLocked() && !FDataFile->LockRange(RecordBase - recordNo, 1, false))
        Raise(ZIZIVU_UNLOCKFAILED);
}

void TDataTable::UnlockAllRecords(bool deferredOnly) {
    // Word by word over the words that can be marked: a large bitmap is mostly empty words
    // (a statement's result table walked all of them at each run). Records next to each
    // other have lock bytes next to each other, so a run of them is given back with one
    // unlock (a commit after a bulk insert holds one per row); the same bytes end unlocked.
    const TRecordsBitmap& which = deferredOnly ? FDeferred : FLocked;
    const int32_t count = which.RecordCount();
    const bool bytes = RecordBytesLocked();
    uint32_t runFirst = 0, runLength = 0;
    auto releaseRun = [&] {
        if (runLength == 0) return;
        const uint32_t lowest = RecordBase - (runFirst + runLength - 1);
        if (runLength == 1 || !FDataFile->UnlockAdjacentRanges(lowest, runLength)) {
            for (uint32_t i = 0; i < runLength; ++i) FDataFile->LockRange(lowest + i, 1, false);
        }
        runLength = 0;
    };
    for (int32_t w = which.MarkedFrom(); w < which.MarkedTo() && w * 32 < count; ++w) {
        uint32_t bits = which.Words()[w];
        if (count - w * 32 < 32) bits &= (1u << (count - w * 32)) - 1;
        for (; bits != 0; bits &= bits - 1) {
            const int32_t n = w * 32 + std::countr_zero(bits) + 1;
            if (BitSet(FLocked, uint32_t(n))) {
                FLocked.ClearBit(n);
                if (bytes) {
                    if (runLength != 0 && uint32_t(n) != runFirst + runLength) releaseRun();
                    if (runLength == 0) runFirst = uint32_t(n);
                    ++runLength;
                }
            }
            if (BitSet(FDeferred, uint32_t(n))) FDeferred.ClearBit(n);
        }
    }
    releaseRun();
}

void TDataTable::UnlockTable() {
    if (!ReleaseTableRange()) Raise(ZIZIVU_UNLOCKFAILED);
}

bool TDataTable::ReleaseTableRange() {
    if (!FAllRecordsLocked) return true;
    FAllRecordsLocked = false;
    return FDataFile->LockRange(AllRecordsStart, AllRecordsLength, false);
}

// Each lock takes its ranges and then runs the change check under them; a failure of
// either gives back what the call took, the last first, and leaves the lock not held.

bool TDataTable::LockExplicitRead() {
    return TakeReadLock(FIndexExplicitByte, FBlobExplicitByte, FExplicitRead);
}

void TDataTable::UnlockExplicitRead() {
    if (!FExplicitRead) return;
    FExplicitRead = false;
    if (!ReleaseReadBytes(FIndexExplicitByte, FBlobExplicitByte)) Raise(ZIZIVU_UNLOCKFAILED);
}

bool TDataTable::LockRead() {
    return TakeReadLock(FIndexReadByte, FBlobReadByte, FImplicitRead);
}

void TDataTable::UnlockRead() {
    if (!FImplicitRead) return;
    FImplicitRead = false;
    if (!ReleaseReadBytes(FIndexReadByte, FBlobReadByte)) Raise(ZIZIVU_UNLOCKFAILED);
}

bool TDataTable::LockForWrite() {
    if (FWriteLock || FExclusive || FReadOnly) return false;
    TTakenRanges taken;
    if (!FTransactionLock) TakeRange(taken, *FDataFile, DataWriteByte, 1);
    TakeRange(taken, *FIndexFile, WriteRangeStart, WriteRangeLength);
    if (HasBlobFile()) TakeRange(taken, *FBlobFile, WriteRangeStart, WriteRangeLength);
    const bool changed = FTransactionActive ? false : CheckForChanges();
    taken.Keep();
    FWriteLock = true;
    return changed;
}

void TDataTable::UnlockForWrite() {
    if (!ReleaseWriteLock()) Raise(ZIZIVU_LOCKFAILED);
}

bool TDataTable::ReleaseWriteLock() {
    if (!FWriteLock) return true;
    FWriteLock = false;
    bool ok = true;
    if (HasBlobFile()) ok = FBlobFile->LockRange(WriteRangeStart, WriteRangeLength, false) && ok;
    ok = FIndexFile->LockRange(WriteRangeStart, WriteRangeLength, false) && ok;
    if (!FTransactionLock) ok = FDataFile->LockRange(DataWriteByte, 1, false) && ok;
    return ok;
}

void TDataTable::LockTransaction() {
    if (FTransactionLock) return;
    TTakenRanges taken;
    // A statement's own result table has no other opener to keep out (see RecordBytesLocked).
    if (RecordBytesLocked()) TakeRange(taken, *FDataFile, DataWriteByte, 1);
    if (!FExclusive) CheckForChanges();
    taken.Keep();
    FTransactionLock = true;
}

void TDataTable::UnlockTransaction() {
    if (!ReleaseTransactionLock()) Raise(ZIZIVU_LOCKFAILED);
}

bool TDataTable::ReleaseTransactionLock() {
    if (!FTransactionLock) return true;
    FTransactionLock = false;
    bool ok = !RecordBytesLocked() || FDataFile->LockRange(DataWriteByte, 1, false);
    // An exclusive table locks records only inside a transaction: those go with it too.
    UnlockAllRecords(true);
    return ReleaseTableRange() && ok;
}

bool TDataTable::HoldsAnyLock() const {
    return FExplicitRead || FImplicitRead || FWriteLock || FTransactionLock;
}

bool TDataTable::HoldsRecordLock(uint32_t recordNo) const {
    return BitSet(FLocked, recordNo);
}

bool TDataTable::IsUnlockDeferred(uint32_t recordNo) const {
    return FTransactionActive && BitSet(FLocked, recordNo) && BitSet(FDeferred, recordNo);
}

void TDataTable::SetPendingRecord(uint32_t recordNo) {
    if (!PossibleRecordNo(recordNo)) return;
    EnsureBitmap(FPending, recordNo);
    FPending.SetBit(int32_t(recordNo));
}

void TDataTable::ClearPendingRecord(uint32_t recordNo) {
    if (BitSet(FPending, recordNo)) FPending.ClearBit(int32_t(recordNo));
}

bool TDataTable::IsPendingRecord(uint32_t recordNo) const {
    return BitSet(FPending, recordNo);
}

// ---- Change detection, transactions, buffers ------------------------------------------

bool TDataTable::CheckForChanges() {
    bool changed = false;
    if (FIndexFile->HeaderChanged(FSkipIndexCheck ? nullptr : &FFieldLookup)) {
        FIndexFile->ClearPageCache(true);
        FDataFile->HeaderChanged();  // takes the data header over as well
        changed = true;
    } else if (FDataFile->HeaderChanged()) {
        changed = true;
    }
    if (changed) FDataFile->ClearRecordCache();
    if (HasBlobFile() && FBlobFile->HeaderChanged()) {
        FBlobFile->ClearBlockCache();
        changed = true;
    }
    return changed;
}

void TDataTable::StartTransaction() {
    if (FReadOnly || FTransactionActive) return;
    if (FExclusive) FlushBuffers(false, false, false, false, false);
    LockTransaction();
    FTransactionActive = true;
    // The files stay as they are until the commit: what a failed commit comes back to.
    SaveHeaderStates(FTransactionBase);
}

void TDataTable::Commit(bool end, bool toDisk) {
    if (!FTransactionActive) return;
    RaiseIfTransactionBroken();
    if (end && !toDisk && PrivateTemporary()) {
        // Its rows are read through these caches alone (see DefersRowWrites).
        FTransactionActive = false;
        FRowWritesPending = true;
        UnlockTransaction();
        return;
    }
    // The write lock is taken while the transaction still holds the data byte, so no
    // change check drops the changes about to be written.
    LockForWrite();
    {
        // A flush that fails is taken back out of the files, and the transaction ends
        // without its changes.
        TScopeGuard abandon([this] { AbandonTransaction(); });
        FTransactionActive = false;
        TChangeScope change(*this, FTransactionBase);
        if (!end) change.KeepJournalStorage();
        FlushBuffers(end, false, toDisk, false, false);
        abandon.Dismiss();
    }
    if (end) {
        UnlockForWrite();
        UnlockTransaction();
        return;
    }
    // Written as outside a transaction; the transaction and its data byte go on.
    FTransactionActive = true;
    SaveHeaderStates(FTransactionBase);
    if (!FExclusive) UnlockAllRecords(true);
    UnlockForWrite();
}

void TDataTable::RaiseIfTransactionBroken() {
    if (!FTransactionBrokenBy) return;
    std::exception_ptr failure = FTransactionBrokenBy;
    AbandonTransaction();
    std::rethrow_exception(failure);
}

void TDataTable::AbandonTransaction() {
    FTransactionActive = false;
    FTransactionBrokenBy = nullptr;
    DropAllCaches();
    RestoreHeaderStates(FTransactionBase);
    ReleaseWriteLock();
    ReleaseTransactionLock();
}

void TDataTable::SaveHeaderStates(THeaderStates& s) const {
    s.Data = FDataFile->Header();
    s.DataModified = FDataFile->HeaderModified();
    s.FieldsModified = FDataFile->FieldsModified();
    std::copy(FIndexFile->HeaderImage(), FIndexFile->HeaderImage() + IndexHeaderSize, s.Index.begin());
    s.IndexModified = FIndexFile->HeaderModified();
    s.Blob = FBlobFile->Header();
    s.BlobModified = FBlobFile->HeaderModified();
}

void TDataTable::RestoreHeaderStates(const THeaderStates& s) {
    FDataFile->RestoreHeader(s.Data, s.DataModified, s.FieldsModified);
    FIndexFile->RestoreHeader(s.Index.data(), s.IndexModified);
    FBlobFile->RestoreHeader(s.Blob, s.BlobModified);
}

TDataTable::TChangeScope::TChangeScope(TDataTable& table) : FOwner(table) {
    if (!Applies(table)) return;
    // A failed change drops the caches: rows held there only must be in the files first.
    table.WritePendingRows();
    table.SaveHeaderStates(FRestore.emplace(THeaderStates{}));
    Begin(table);
}

TDataTable::TChangeScope::TChangeScope(TDataTable& table, const THeaderStates& restore) : FOwner(table) {
    if (!Applies(table)) return;
    table.WritePendingRows();
    FRestore.emplace(restore);
    Begin(table);
}

bool TDataTable::TChangeScope::Applies(const TDataTable& table) {
    return !table.FTransactionActive && !table.FJournalActive;
}

// The count of errors in flight (a thread-local lookup) only for a scope that undoes.
void TDataTable::TChangeScope::Begin(TDataTable& table) {
    FExceptions = std::uncaught_exceptions();
    FTable = &table;
    table.FJournalActive = true;
}

TDataTable::TChangeScope::~TChangeScope() {
    if (!FTable) return;
    FTable->FJournalActive = false;
    if (std::uncaught_exceptions() <= FExceptions) {
        if (FKeepStorage)
            FTable->FJournal.Clear();
        else
            FTable->FJournal.ReleaseStorage();
        return;
    }
    FTable->FJournal.Undo();
    FTable->FJournal.ReleaseStorage();
    FTable->DropAllCaches();
    FTable->RestoreHeaderStates(*FRestore);
}

void TDataTable::Rollback() {
    if (!FTransactionActive) return;
    FTransactionActive = false;
    FTransactionBrokenBy = nullptr;
    FJournal.ReleaseStorage();
    DropAllCaches();
    RereadHeaders();
    UnlockTransaction();
}

void TDataTable::DropAllCaches() {
    FDataFile->ClearRecordCache();
    FIndexFile->ClearPageCache(true);
    if (HasBlobFile()) FBlobFile->ClearBlockCache();
}

void TDataTable::RereadHeaders() {
    FDataFile->TrimRecordCache();
    FIndexFile->TrimPageCache(true);
    if (HasBlobFile()) FBlobFile->TrimBlockCache();
    FDataFile->ReadHeader();
    FIndexFile->ReadHeader();
    if (HasBlobFile()) FBlobFile->ReadHeader();
}

void TDataTable::FlushBuffers(bool trim, bool writeDataHeader, bool flushToDisk, bool writeBlobHeader,
                              bool writeIndexHeader) {
    if (FReadOnly || !FOpen) return;
    if (FTransactionActive) {
        MarkChanged(writeDataHeader, writeIndexHeader, writeBlobHeader);
        return;
    }
    FDataFile->FlushRecords(flushToDisk);
    FDataFile->WriteHeader(writeDataHeader, flushToDisk);
    FDataFile->WriteFieldDescriptors();
    if (trim) FDataFile->TrimRecordCache();
    FIndexFile->FlushPages(flushToDisk);
    FIndexFile->WriteHeader(writeIndexHeader, flushToDisk);
    if (trim) FIndexFile->TrimPageCache(true);
    if (HasBlobFile()) {
        FBlobFile->FlushBlocks(flushToDisk);
        FBlobFile->WriteHeader(writeBlobHeader, flushToDisk);
        if (trim) FBlobFile->TrimBlockCache();
    }
    FRowWritesPending = false;
}

void TDataTable::DeferRowWrite(bool blob) {
    MarkChanged(true, true, blob);
    FRowWritesPending = true;
}

// A failed write leaves the rows in the caches, still pending, and the table as its reader
// sees it.
void TDataTable::WritePendingRows() {
    if (FRowWritesPending) FlushBuffers(false, false, false, false, false);
}

void TDataTable::MarkChanged(bool data, bool index, bool blob) {
    if (data) FDataFile->MarkHeaderDirty();
    if (index) FIndexFile->MarkHeaderDirty();
    if (blob && HasBlobFile()) FBlobFile->MarkHeaderDirty();
}

void TDataTable::DiscardBuffers() {
    WritePendingRows();
    FEmptied.reset();
    DropAllCaches();
    RereadHeaders();
}
