#pragma once
// The database's file layer: every data, index, BLOB, backup and scratch file of the
// engine, on disk or in memory, is reached through it.
//
// - TFileHandler: one engine-side file owned by its user; raises engine errors with its
//   file name.
// - TAbstractFile, TMemoryFile, TPhysicalFile: one shared object per file name and kind
//   within the process, counting its handles and holding the byte-range locks.
// - TFileList: the process-wide registry of shared objects; its operations return a
//   handle id or 0 on success and a negated engine error code on failure.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "db/storage/LibraryMemory.h"
#include "db/storage/SystemList.h"
#include "platform/rtl/SyncObjs.h"
#include "platform/rtl/System.h"

class TOsFile;

// Block size of memory-file buffers.
constexpr int32_t MemoryFileBlockSize = 4096;
// Bytes moved per step by the file copies.
constexpr int32_t FileCopyBufferSize = 65535;
// Longest file name kept (short strings).
constexpr size_t MaxFileNameLength = 255;

class TAbstractFile : public TObject {
public:
    TAbstractFile();
    TAbstractFile(const TAbstractFile&) = delete;
    TAbstractFile& operator=(const TAbstractFile&) = delete;
    ~TAbstractFile() override;

    // Index of the first handle entry with that id; -1 when none or nothing is open.
    virtual int32_t FindHandle(int32_t id);
    // Adds a handle and empties the file; the handle id.
    virtual int32_t CreateFile();
    // Adds a handle; the handle id or a negated engine code.
    virtual int32_t OpenFile();
    // Removes the handle entry; 0, or -11014 for an id that is not open here.
    virtual int32_t CloseFile(int32_t id);
    virtual int32_t RenameFile(const std::string& newName);
    virtual int32_t DeleteFile();
    // The bytes transferred at the handle's position, which they advance; -1 on failure.
    virtual int32_t Read(int32_t id, void* buffer, int32_t count);
    // A count of 0 ends the file at the handle's position.
    virtual int32_t Write(int32_t id, const void* buffer, int32_t count);
    virtual bool Flush();
    // Origin 0 from the start, 1 from the position, 2 from the end; the new position.
    virtual int32_t Seek(int32_t id, int32_t offset, int32_t origin);
    // Exclusive byte-range locks: any overlap with a held range is refused, and an unlock
    // must name exactly a held range.
    virtual bool LockRegion(uint32_t start, uint32_t length);
    virtual bool UnlockRegion(uint32_t start, uint32_t length);
    // Unlocks held ranges that fill [start, start + length) with no gap, each as a whole;
    // refused (nothing released) unless the span is exactly such a run.
    virtual bool UnlockAdjacentRegions(uint32_t start, uint32_t length);

    virtual bool IsMemoryFile() const { return false; }

    // The object's critical section (re-entrant).
    void Lock() { FLock.Enter(); }
    void Unlock() { FLock.Leave(); }

    const std::string& FileName() const { return FFileName; }
    // A disk file's name also fixes the file it reaches (see ResolveFileName).
    void SetFileName(const std::string& name);
    const std::string& ResolvedName() const { return FResolvedName; }
    bool Exclusive() const { return FExclusive; }
    void SetExclusive(bool v) { FExclusive = v; }
    bool ReadOnly() const { return FReadOnly; }
    bool ForcedReadOnly() const { return FForcedReadOnly; }
    // Read-only for every process, not only this one: no one changes the file while it is open.
    bool ReadOnlyForAll() const { return FReadOnlyForAll; }
    bool Temporary() const { return FTemporary; }
    void SetTemporary(bool v) { FTemporary = v; }
    int32_t Size() const { return FSize; }
    int32_t OpenCount() const { return FOpenCount; }
    int32_t HandleCount() const { return FHandles.Count(); }
    int32_t LockCount() const { return FLocks.Count(); }
    // Position of a handle; 0 for an unknown id.
    int32_t HandlePosition(int32_t id);

protected:
    struct THandleEntry {
        int32_t Id;
        int32_t Position;
    };
    struct TLockEntry {
        uint32_t Start;
        int64_t End;  // Start + Length - 1
        uint32_t Length;
    };

    THandleEntry* HandleEntry(int32_t id);
    // Bookkeeping of a transfer at the handle's position: the count transferred, and the
    // position the transfer starts from.
    int32_t ReadBookkeeping(int32_t id, int32_t count, int32_t& start);
    int32_t WriteBookkeeping(int32_t id, int32_t count, int32_t& start);
    void ReleaseLocks();

    TCriticalSection FLock;
    bool FExclusive = false;
    bool FReadOnly = false;
    bool FForcedReadOnly = false;
    bool FReadOnlyForAll = false;
    bool FTemporary = false;
    std::string FFileName;
    std::string FResolvedName;
    int32_t FSize = 0;
    TTypedList<TLockEntry> FLocks;
    int32_t FOpenCount = 0;
    TTypedList<THandleEntry> FHandles;
    // Handle ids only grow, so an id never names two handles.
    int32_t FLastHandleId = 0;
};

// A file of the in-memory database: its content lives in a block buffer on the library
// heap, grown in 4096-byte steps.
class TMemoryFile : public TAbstractFile {
public:
    TMemoryFile() = default;

    int32_t CreateFile() override;
    int32_t Read(int32_t id, void* buffer, int32_t count) override;
    int32_t Write(int32_t id, const void* buffer, int32_t count) override;
    bool IsMemoryFile() const override { return true; }

    int32_t Capacity() const { return FCapacity; }
    const uint8_t* Buffer() const { return FBuffer.get(); }

private:
    TLibraryPtr<uint8_t[]> FBuffer;
    int32_t FCapacity = 0;
};

// A disk file: one operating-system file per object, opened by the first handle and
// closed with the last; all handles share its file position.
class TPhysicalFile : public TAbstractFile {
public:
    TPhysicalFile();
    ~TPhysicalFile() override;

    int32_t CreateFile() override;
    int32_t OpenFile() override;
    int32_t CloseFile(int32_t id) override;
    int32_t RenameFile(const std::string& newName) override;
    int32_t DeleteFile() override;
    int32_t Read(int32_t id, void* buffer, int32_t count) override;
    int32_t Write(int32_t id, const void* buffer, int32_t count) override;
    bool Flush() override;
    int32_t Seek(int32_t id, int32_t offset, int32_t origin) override;
    bool LockRegion(uint32_t start, uint32_t length) override;
    bool UnlockRegion(uint32_t start, uint32_t length) override;
    bool UnlockAdjacentRegions(uint32_t start, uint32_t length) override;

    TOsFile* OsFile() const { return FOsFile.get(); }

private:
    std::unique_ptr<TOsFile> FOsFile;
};

// Makes the shared object of a listed name (trimmed) and kind; nil for the plain
// TMemoryFile or TPhysicalFile. Tests install one to put faulty files under files
// opened by name.
using TFileFactory = std::function<TAbstractFile*(const std::string& name, bool inMemory)>;

class TFileList : public TObject {
public:
    TFileList() = default;
    TFileList(const TFileList&) = delete;
    TFileList& operator=(const TFileList&) = delete;
    // Frees every object, first to last.
    ~TFileList() override;

    int32_t OpenFile(const std::string& name, bool inMemory, bool temporary, bool exclusive, bool& readOnly,
                     TAbstractFile*& file);
    int32_t CreateFile(const std::string& name, bool inMemory, bool temporary, TAbstractFile*& file);
    int32_t CloseFile(TAbstractFile* file, bool inMemory, int32_t id);
    int32_t RenameFile(const std::string& name, bool inMemory, const std::string& newName);
    int32_t DeleteFile(const std::string& name, bool inMemory);
    // Copies the source from its start into a new file (created, not temporary).
    int32_t CopyFileTo(TAbstractFile* source, int32_t sourceId, const std::string& newName, bool inMemory);
    // Replaces the target's content by the named file's (opened exclusively).
    int32_t CopyFileFrom(TAbstractFile* target, int32_t targetId, const std::string& sourceName,
                         bool inMemory);
    bool FileExists(const std::string& name, bool inMemory);

    int32_t Count();
    // Replaces the factory of new objects; an empty one restores the plain objects.
    // Objects already listed stay as they are.
    void SetFileFactory(TFileFactory factory);

private:
    TAbstractFile* Find(const std::string& name, bool inMemory);
    int32_t CopyData(TAbstractFile* source, int32_t sourceId, TAbstractFile* target, int32_t targetId,
                     int32_t& copied);
    // A new object of the kind, listed under the trimmed name.
    TAbstractFile* Add(const std::string& name, bool inMemory);
    void Remove(TAbstractFile* file);

    TCriticalSection FLock;
    TTypedList<TAbstractFile> FFiles;
    TFileFactory FFactory;
};

// The process-wide file list; nil outside InitializeFileList .. FinalizeFileList, which
// belong in the library's start and finish. A second call of either does nothing.
TFileList* GlobalFileList();
void InitializeFileList();
void FinalizeFileList();

// One engine-side file. Raises engine errors whose name is the handler's file name.
class TFileHandler : public TObject {
public:
    TFileHandler();
    TFileHandler(const TFileHandler&) = delete;
    TFileHandler& operator=(const TFileHandler&) = delete;
    // Closes the file when it is open.
    ~TFileHandler() override;

    // Nothing when already open; 11010 when the file does not exist.
    virtual void Open();
    virtual void Close();
    // Creates (or empties) the file, held exclusively until closed.
    virtual void CreateFile();
    virtual void Delete();
    // Takes the new name afterwards.
    virtual void Rename(const std::string& newName);
    virtual void SaveToFile(const std::string& newName);
    // The bytes read; 9217 when fewer came back and a short read is not allowed.
    virtual int32_t Read(void* buffer, int32_t count, bool allowShort = false);
    // 9218 unless every byte was written; a count of 0 ends the file at the position.
    virtual void Write(const void* buffer, int32_t count);
    virtual void Flush();

    int32_t Seek(int32_t offset, int32_t origin);
    int32_t GetSize();
    bool LockRange(uint32_t offset, uint32_t length, bool lock);
    // One unlock of adjacent ranges, each locked on its own (see UnlockAdjacentRegions).
    bool UnlockAdjacentRanges(uint32_t offset, uint32_t length);
    // The shared object's critical section, held around every Seek and Read or Write.
    void Lock();
    void Unlock();
    bool Exists();
    void LoadFromFile(const std::string& sourceName);

    bool InMemory() const { return FInMemory; }
    void SetInMemory(bool v) { FInMemory = v; }
    const std::string& FileName() const { return FFileName; }
    void SetFileName(const std::string& name);
    int32_t Handle() const { return FHandle; }
    bool Exclusive() const { return FExclusive; }
    void SetExclusive(bool v) { FExclusive = v; }
    // Set by Open when the file had to be opened read-only.
    bool ReadOnly() const { return FReadOnly; }
    // Open, and read-only for every process: no one changes it meanwhile.
    bool ReadOnlyForAll() const { return FFile && FFile->ReadOnlyForAll(); }
    bool IsOpen() const { return FOpen; }
    bool Temporary() const { return FTemporary; }
    void SetTemporary(bool v) { FTemporary = v; }
    TAbstractFile* FileObject() const { return FFile; }
    // Calls that wrote to (or cut) the file since this handler was made, failed ones too.
    uint64_t WriteCount() const { return FWriteCount; }

protected:
    [[noreturn]] void RaiseError(int32_t code);

    bool FInMemory = false;
    TAbstractFile* FFile = nullptr;
    std::string FFileName;
    int32_t FHandle = 0;
    bool FExclusive = false;
    bool FReadOnly = false;
    bool FOpen = false;
    bool FTemporary = false;
    uint64_t FWriteCount = 0;
};

// The disk file a name reaches: blanks trimmed, '\' taken as '/', and a name that does not
// exist as spelled looked up case-insensitively (see OsResolvePath). Shared disk objects
// are matched by it, so two existing names that differ only in case stay two files.
std::string ResolveFileName(const std::string& name);
// TFileList::FileExists on the process-wide list.
bool DataFileExists(const std::string& name, bool inMemory);
// A scratch-file name in the directory: the first five digits of the thread id, a counter
// from 0 and the extension (with its dot). A disk name is claimed by creating the file
// (empty) so that no other thread or process can take it. 0, or a negated engine code
// (-11013 when every counter is taken).
int32_t MakeUniqueFileName(const std::string& directory, const std::string& extension, bool inMemory,
                           std::string& name);
// The same from the counter `next` on, which then follows the name made: a caller that makes
// many names and keeps them skips the ones it already took.
int32_t MakeUniqueFileName(const std::string& directory, const std::string& extension, bool inMemory,
                           std::string& name, uint32_t& next);
// The network (UNC) form of a path; always empty here, as there is no such form.
void GetUniversalName(const std::string& path, std::string& name);

// File-name helpers on short strings; '/' counts as a path delimiter like '\'.
std::string RemoveFileExt(const std::string& name);
std::string ForceFileExt(const std::string& name, const std::string& extension);
std::string IncludeTrailingBackslash(const std::string& name);
bool HasPathChars(const std::string& name);
std::string ExtractNameNoExt(const std::string& name);

// The engine code of an errno value, and of the calling thread's last file error.
uint16_t MapErrnoToEngineCode(int error);
uint16_t MapOSError();
