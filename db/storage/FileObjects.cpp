// The shared file objects: handle and position bookkeeping, memory files on the library
// heap and disk files over the operating-system layer.
#include <cstring>
#include <limits>
#include <mutex>
#include <vector>

#include "db/storage/EngineErrors.h"
#include "db/storage/FileLayer.h"
#include "db/storage/LibraryMemory.h"
#include "platform/os/Files.h"
#include "platform/rtl/ScopeGuard.h"

namespace {

using Guard = std::lock_guard<TCriticalSection>;

constexpr int64_t kMaxPosition = std::numeric_limits<int32_t>::max();

}  // namespace

// ---- TAbstractFile ----

TAbstractFile::TAbstractFile() = default;

TAbstractFile::~TAbstractFile() {
    for (int32_t i = 0; i < FHandles.Count(); ++i) {
        void* p = FHandles.Get(i);
        FreeMemory(p);
    }
    ReleaseLocks();
}

void TAbstractFile::SetFileName(const std::string& name) {
    FFileName = name;
    // Fixed now: a file of another case that appears later must not take this object over.
    FResolvedName = IsMemoryFile() ? std::string() : ResolveFileName(FFileName);
}

int32_t TAbstractFile::FindHandle(int32_t id) {
    Guard guard(FLock);
    if (FOpenCount <= 0) return -1;
    for (int32_t i = 0; i < FHandles.Count(); ++i)
        if (static_cast<THandleEntry*>(FHandles.Get(i))->Id == id) return i;
    return -1;
}

TAbstractFile::THandleEntry* TAbstractFile::HandleEntry(int32_t id) {
    int32_t index = FindHandle(id);
    return index < 0 ? nullptr : static_cast<THandleEntry*>(FHandles.Get(index));
}

int32_t TAbstractFile::HandlePosition(int32_t id) {
    Guard guard(FLock);
    THandleEntry* entry = HandleEntry(id);
    return entry ? entry->Position : 0;
}

int32_t TAbstractFile::CreateFile() {
    Guard guard(FLock);
    int32_t id = TAbstractFile::OpenFile();
    FSize = 0;
    return id;
}

int32_t TAbstractFile::OpenFile() {
    Guard guard(FLock);
    TLibraryPtr<THandleEntry> entry(static_cast<THandleEntry*>(AllocMemory(sizeof(THandleEntry))));
    entry->Id = ++FLastHandleId;
    entry->Position = 0;
    FHandles.Add(entry.get());
    ++FOpenCount;
    return entry.release()->Id;
}

int32_t TAbstractFile::CloseFile(int32_t id) {
    Guard guard(FLock);
    int32_t index = FindHandle(id);
    if (index < 0) return -ZIZIVU_OSBADHANDLE;
    void* entry = FHandles.Get(index);
    FHandles.Delete(index);
    FreeMemory(entry);
    --FOpenCount;
    // With the last handle gone nobody holds a range any more (a disk file's locks go
    // with its handle too): a lock left behind would bar the file for good.
    if (FOpenCount == 0) ReleaseLocks();
    return 0;
}

void TAbstractFile::ReleaseLocks() {
    for (int32_t i = 0; i < FLocks.Count(); ++i) {
        void* p = FLocks.Get(i);
        FreeMemory(p);
    }
    FLocks.Clear();
}

int32_t TAbstractFile::RenameFile(const std::string& newName) {
    Guard guard(FLock);
    SetFileName(newName);
    return 0;
}

int32_t TAbstractFile::DeleteFile() {
    return 0;
}

int32_t TAbstractFile::ReadBookkeeping(int32_t id, int32_t count, int32_t& start) {
    THandleEntry* entry = HandleEntry(id);
    start = 0;
    if (!entry || count < 0) return -1;
    start = entry->Position;
    if (start < 0 || start > FSize) return 0;
    if (int64_t(start) + count > FSize) {
        entry->Position = FSize;
        return FSize - start;
    }
    entry->Position += count;
    return count;
}

int32_t TAbstractFile::WriteBookkeeping(int32_t id, int32_t count, int32_t& start) {
    THandleEntry* entry = HandleEntry(id);
    start = 0;
    if (!entry || count < 0) return -1;
    start = entry->Position;
    // Nothing is transferred before the start of the file or past the largest position.
    if (start < 0 || int64_t(start) + count > kMaxPosition) return 0;
    if (count > 0) {
        entry->Position += count;
        if (entry->Position > FSize) FSize = entry->Position;
    } else {
        FSize = start;
    }
    return count;
}

int32_t TAbstractFile::Read(int32_t id, void* /*buffer*/, int32_t count) {
    Guard guard(FLock);
    int32_t start;
    return ReadBookkeeping(id, count, start);
}

int32_t TAbstractFile::Write(int32_t id, const void* /*buffer*/, int32_t count) {
    Guard guard(FLock);
    int32_t start;
    return WriteBookkeeping(id, count, start);
}

bool TAbstractFile::Flush() {
    return true;
}

int32_t TAbstractFile::Seek(int32_t id, int32_t offset, int32_t origin) {
    Guard guard(FLock);
    THandleEntry* entry = HandleEntry(id);
    if (!entry) return 0;
    int64_t position = entry->Position;
    switch (origin) {
        case 0:
            position = offset;
            break;
        case 1:
            position += offset;
            break;
        case 2:
            position = int64_t(FSize) + offset;
            break;
        default:
            break;
    }
    if (position >= std::numeric_limits<int32_t>::min() && position <= kMaxPosition)
        entry->Position = int32_t(position);
    return entry->Position;
}

bool TAbstractFile::LockRegion(uint32_t start, uint32_t length) {
    Guard guard(FLock);
    int64_t end = int64_t(start) + length - 1;
    for (int32_t i = 0; i < FLocks.Count(); ++i) {
        auto* held = static_cast<TLockEntry*>(FLocks.Get(i));
        if (held->Start <= start && start <= held->End) return false;
        if (start <= held->Start && end >= held->Start) return false;
    }
    TLibraryPtr<TLockEntry> entry(static_cast<TLockEntry*>(AllocMemory(sizeof(TLockEntry))));
    entry->Start = start;
    entry->End = end;
    entry->Length = length;
    FLocks.Add(entry.get());
    entry.release();
    return true;
}

bool TAbstractFile::UnlockRegion(uint32_t start, uint32_t length) {
    Guard guard(FLock);
    for (int32_t i = 0; i < FLocks.Count(); ++i) {
        auto* held = static_cast<TLockEntry*>(FLocks.Get(i));
        if (held->Start != start || held->Length != length) continue;
        FLocks.Delete(i);
        void* p = held;
        FreeMemory(p);
        return true;
    }
    return false;
}

bool TAbstractFile::UnlockAdjacentRegions(uint32_t start, uint32_t length) {
    Guard guard(FLock);
    const int64_t end = int64_t(start) + length - 1;
    if (length == 0) return false;
    // Held ranges never overlap: those wholly inside the span fill it exactly when their
    // lengths add up to it and none reaches over either edge.
    std::vector<int32_t> inside;
    uint64_t covered = 0;
    for (int32_t i = 0; i < FLocks.Count(); ++i) {
        auto* held = static_cast<TLockEntry*>(FLocks.Get(i));
        if (held->End < start || held->Start > end) continue;
        if (held->Start < start || held->End > end) return false;
        inside.push_back(i);
        covered += held->Length;
    }
    if (covered != length) return false;
    for (auto i = inside.rbegin(); i != inside.rend(); ++i) {
        void* p = FLocks.Get(*i);
        FLocks.Delete(*i);
        FreeMemory(p);
    }
    return true;
}

// ---- TMemoryFile ----

int32_t TMemoryFile::CreateFile() {
    Guard guard(FLock);
    SetBlockBufferSize(0, MemoryFileBlockSize, FBuffer, FCapacity);
    return TAbstractFile::CreateFile();
}

int32_t TMemoryFile::Read(int32_t id, void* buffer, int32_t count) {
    Guard guard(FLock);
    int32_t start;
    int32_t n = ReadBookkeeping(id, count, start);
    if (n > 0) std::memcpy(buffer, FBuffer.get() + start, size_t(n));
    return n;
}

int32_t TMemoryFile::Write(int32_t id, const void* buffer, int32_t count) {
    Guard guard(FLock);
    THandleEntry* entry = HandleEntry(id);
    if (!entry || count < 0) return -1;
    int32_t position = entry->Position;
    if (position < 0 || int64_t(position) + count > kMaxPosition) return 0;
    int32_t oldSize = FSize;
    if (count > 0) {
        // The buffer grows first, so a failed allocation leaves the size as it was.
        if (position + count > oldSize)
            SetBlockBufferSize(position + count, MemoryFileBlockSize, FBuffer, FCapacity);
        int32_t start;
        int32_t n = WriteBookkeeping(id, count, start);
        std::memcpy(FBuffer.get() + start, buffer, size_t(n));
        return n;
    }
    int32_t start;
    WriteBookkeeping(id, 0, start);
    // Cut bytes read as zeros when the file grows again, as on disk.
    if (position < oldSize && FBuffer) std::memset(FBuffer.get() + position, 0, size_t(oldSize - position));
    SetBlockBufferSize(position, MemoryFileBlockSize, FBuffer, FCapacity);
    return 0;
}

// ---- TPhysicalFile ----

TPhysicalFile::TPhysicalFile() = default;
TPhysicalFile::~TPhysicalFile() = default;

int32_t TPhysicalFile::CreateFile() {
    Guard guard(FLock);
    FOsFile.reset();
    FOsFile.reset(TOsFile::Create(FFileName));
    if (!FOsFile) return -int32_t(MapOSError());
    // The handle's bookkeeping may find the heap out: the file made (or cut) for the create
    // goes again, so that no half-made table stands in the way of the next create.
    TScopeGuard remove([this] {
        FOsFile.reset();
        OsDeleteFile(FFileName);
    });
    FReadOnly = false;
    FForcedReadOnly = false;
    FReadOnlyForAll = false;
    const int32_t id = TAbstractFile::CreateFile();
    remove.Dismiss();
    return id;
}

int32_t TPhysicalFile::OpenFile() {
    Guard guard(FLock);
    if (FOpenCount == 0) {
        FForcedReadOnly = false;
        bool readOnly = false, forAll = false;
        if (!OsGetReadOnly(FFileName, readOnly, &forAll)) return -int32_t(MapOSError());
        FReadOnly = readOnly;
        FForcedReadOnly = readOnly;
        FReadOnlyForAll = forAll;
        // The old object goes first: it may hold the file a share mode would refuse.
        FOsFile.reset();
        FOsFile.reset(TOsFile::Open(FFileName, readOnly ? TOsAccess::Read : TOsAccess::ReadWrite,
                                    FExclusive ? TOsShare::Exclusive : TOsShare::ReadWrite, FTemporary));
        if (!FOsFile) return -int32_t(MapOSError());
    }
    return TAbstractFile::OpenFile();
}

int32_t TPhysicalFile::CloseFile(int32_t id) {
    Guard guard(FLock);
    int32_t result = TAbstractFile::CloseFile(id);
    if (result == 0 && FOpenCount == 0) FOsFile.reset();
    return result;
}

int32_t TPhysicalFile::RenameFile(const std::string& newName) {
    Guard guard(FLock);
    if (!OsRenameFile(FFileName, newName)) return -int32_t(MapOSError());
    return TAbstractFile::RenameFile(newName);
}

int32_t TPhysicalFile::DeleteFile() {
    Guard guard(FLock);
    if (!OsDeleteFile(FFileName)) return -int32_t(MapOSError());
    return 0;
}

int32_t TPhysicalFile::Read(int32_t id, void* buffer, int32_t count) {
    Guard guard(FLock);
    if (!FOsFile || FindHandle(id) < 0 || count < 0) return -1;
    return int32_t(FOsFile->Read(buffer, count));
}

int32_t TPhysicalFile::Write(int32_t id, const void* buffer, int32_t count) {
    Guard guard(FLock);
    if (!FOsFile || FindHandle(id) < 0 || count < 0) return -1;
    if (count == 0) return FOsFile->SetEndOfFile() ? 0 : -1;
    return int32_t(FOsFile->Write(buffer, count));
}

bool TPhysicalFile::Flush() {
    Guard guard(FLock);
    return FOsFile && FOsFile->Flush();
}

int32_t TPhysicalFile::Seek(int32_t id, int32_t offset, int32_t origin) {
    Guard guard(FLock);
    if (!FOsFile || FindHandle(id) < 0) return 0;
    int64_t position = FOsFile->Seek(offset, origin);
    return position > kMaxPosition ? -1 : int32_t(position);
}

bool TPhysicalFile::LockRegion(uint32_t start, uint32_t length) {
    Guard guard(FLock);
    return FOsFile && FOsFile->LockRange(start, length);
}

bool TPhysicalFile::UnlockRegion(uint32_t start, uint32_t length) {
    Guard guard(FLock);
    return FOsFile && FOsFile->UnlockRange(start, length);
}

bool TPhysicalFile::UnlockAdjacentRegions(uint32_t start, uint32_t length) {
    Guard guard(FLock);
    return FOsFile && FOsFile->UnlockAdjacentRanges(start, length);
}
