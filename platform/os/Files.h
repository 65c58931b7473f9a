#pragma once
// Disk files with the sharing rules the database engine relies on:
// - share modes: an exclusive open, a create of an open name, and a delete or rename of
//   a file that another opener holds fail with a sharing violation (EBUSY);
// - byte-range locks are exclusive, never wait, refuse any overlap (within the process,
//   also through the same file object, and between processes) and are released only by
//   an unlock of exactly the locked range; offsets may lie far past the end of the file.
// Between processes both rest on open-file-description locks, which belong to the one
// open file and survive unrelated opens and closes of the same file. Within a process a
// table per file object refuses overlaps and demands exact unlocks.
//
// Paths accept '\' as well as '/'; a name that does not exist as spelled is looked up
// case-insensitively, component by component, and taken when exactly one entry matches.
//
// Failures return false / -1 / nil and leave an errno value in OsLastError().
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/rtl/System.h"

// The calling thread's last error of this layer (an errno value). Kept apart from errno
// so that clean-up between a failure and its report cannot overwrite it.
int OsLastError();
void SetOsLastError(int error);

enum class TOsAccess { Read, ReadWrite };
enum class TOsShare { Exclusive, ReadWrite };

class TOsFile : public TObject {
public:
    TOsFile(const TOsFile&) = delete;
    TOsFile& operator=(const TOsFile&) = delete;
    // Closes the file (dropping its locks); a delete-on-close file is removed.
    ~TOsFile() override;

    // Opens an existing file. Nil on failure (EBUSY for a sharing conflict).
    static TOsFile* Open(const std::string& path, TOsAccess access, TOsShare share,
                         bool deleteOnClose = false);
    // Creates or truncates a file, read-write and unshared. The truncation happens only
    // once the file is held; a file without write permission is refused (EACCES).
    static TOsFile* Create(const std::string& path);
    // Creates a file that must not exist yet (EEXIST), read-write and unshared.
    static TOsFile* CreateNew(const std::string& path);

    // At the file position, which they advance. Read returns the bytes read (fewer at the
    // end of the file), Write the bytes written; -1 when nothing could be transferred.
    int64_t Read(void* buffer, int64_t count);
    int64_t Write(const void* buffer, int64_t count);
    // Origin 0 from the start, 1 from the position, 2 from the end; the new position,
    // -1 on failure (a negative result position included).
    int64_t Seek(int64_t offset, int origin);
    int64_t Position();
    // Cuts or extends the file at the position.
    bool SetEndOfFile();
    bool Flush();
    int64_t Size();

    bool LockRange(uint64_t offset, uint64_t length);
    bool UnlockRange(uint64_t offset, uint64_t length);
    // Unlocks adjacent ranges that fill [offset, offset + length) with no gap, each locked
    // as a whole, with one call; refused (nothing released) unless every one is held.
    bool UnlockAdjacentRanges(uint64_t offset, uint64_t length);

    const std::string& Path() const { return FPath; }
    bool Writable() const { return FWritable; }
    int Handle() const { return FHandle; }

private:
    TOsFile(int handle, std::string path, bool writable, bool deleteOnClose);
    // The object for a descriptor just opened (nil for -1). When the object cannot be had,
    // the descriptor is closed, and its share locks with it, and a file this call created
    // or would delete at its close is removed, before the error goes on.
    static TOsFile* Adopt(int fd, const std::string& path, bool writable, bool deleteOnClose, bool created);

    std::mutex FLock;  // position, lock table and mapped head
    // A child forked while the file is open shares its open file description, and with it
    // the parent's locks: in the child the file takes no locks (EBADF), its unlocks leave
    // the parent's alone, and its end deletes nothing.
    bool Inherited() const;
    uint32_t FForks;  // forks of this process before the open

    int FHandle;
    std::string FPath;
    bool FWritable;
    bool FDeleteOnClose;
    int64_t FPosition = 0;
    // The ranges this handle holds, as runs of adjacent ranges of one length, keyed by the
    // run's start: a transaction holds one one-byte lock per record, mostly side by side,
    // so its locks take one entry instead of one each. Runs never overlap, so the one that
    // starts last before a range's end is the only one that can reach into it: a check
    // costs a search, not a walk over every lock held. An unlock must still name exactly
    // one of the ranges locked, which a run's start, length and count determine.
    struct TRun {
        uint64_t Length;  // of each range
        uint64_t Count;
        uint64_t End(uint64_t start) const { return start + Length * Count; }
    };
    using TRuns = std::map<uint64_t, TRun>;
    TRuns FRanges;
    TRuns::node_type FSpare;  // an entry removed, reused by the next one added
    void AddRun(TRuns::const_iterator before, uint64_t start, TRun run);
    void DropRun(TRuns::iterator run);
    TRuns::iterator MoveRun(TRuns::iterator run, uint64_t start, uint64_t count);
    // The run holding a range that starts at `offset`, with the range's place in it; end()
    // when no held range starts there.
    TRuns::iterator RunAt(uint64_t offset, uint64_t& index);

    // The file's first page, mapped shared on the first small read there: the engine
    // rereads a 4-byte change counter in a header at every lock, and a copy from the page
    // cache answers that without a system call. Such a read is served from the map only
    // when it lies below FHeadValid, bytes known to lie within the file (its size when
    // mapped, raised by this handle's writes, lowered by its truncations), so a short
    // read at the end of the file stays short. A cut by another program is met as a bus
    // error on the page, which sends the read to the file and lowers FHeadValid to 0.
    const char* FHead = nullptr;
    int64_t FHeadValid = 0;
    bool FHeadTried = false;
    bool ReadFromHead(void* buffer, int64_t count);
    // The file is known to reach `end` bytes (after a write or a cut of this handle's).
    void FileReaches(int64_t end);
};

// The path with '\' turned into '/' and, where the name as spelled does not exist, each
// missing component replaced by the single entry that differs from it only in case.
std::string OsResolvePath(const std::string& path);
// Exists and is not a directory.
bool OsFileExists(const std::string& path);
// Opens a file with `flags` (close-on-exec added) without waiting, as a pipe in a file's
// place would wait for its other end, and refuses anything but a file: a folder with
// EISDIR, the rest with EACCES. A descriptor, or -1 with errno set.
int OsOpenFileOnly(const std::string& path, int flags);
// Whether the file is read-only: no write-permission bit set (what decides when running
// as root), or not writable for this user. forAll, when given, tells the first case alone:
// no one may write the file, so no one changes it. False with OsLastError() when it cannot
// be examined.
bool OsGetReadOnly(const std::string& path, bool& readOnly, bool* forAll = nullptr);
// Fails with EBUSY while another opener holds the file, and with EACCES when this process
// may neither read nor write it (so cannot ask whether another has it open).
bool OsDeleteFile(const std::string& path);
// Never replaces an existing target (EEXIST); fails with EBUSY while another opener holds
// the source, and with EACCES as a delete does; across file systems the file is copied
// and the source removed.
bool OsRenameFile(const std::string& from, const std::string& to);
// Writes the folder holding `path` to disk, so that renames and new names in it last.
bool OsSyncFolderOf(const std::string& path);
// Gives `to` the permissions of `from`, and its owner and group where this process may (as
// the superuser, or for a group it belongs to): for a file written anew in another's place.
bool OsCopyAccess(const std::string& from, const std::string& to);
