#pragma once
// What a table's three files (data, index and BLOB) need of the shared table that owns them
// and of the cursor that works through them. The shared table implements TTableFilesOwner;
// the cursor implements TCacheClient. Tests put small fakes behind both.
#include <cstdint>
#include <string>

class TWriteJournal;

// Key bytes of an index's fields at most; a non-unique index appends the 4-byte row id,
// so every key buffer holds KeyBufferSize bytes.
constexpr int32_t MaxKeyFieldBytes = 524;
constexpr int32_t KeyBufferSize = MaxKeyFieldBytes + 4;

class TTableFilesOwner {
public:
    virtual ~TTableFilesOwner() = default;

    // The table's name as errors report it.
    virtual std::string TableName() const = 0;
    // Session settings: every write reaches the disk before it returns; every move checks
    // for other processes' changes (instead of only cache misses).
    virtual bool ForceBufferFlush() const = 0;
    virtual bool StrictChangeDetection() const = 0;
    // While a transaction runs, changes stay in the caches: dirty entries are never
    // evicted and the caches grow instead.
    virtual bool InTransaction() const = 0;
    // Set whenever one of the files was written.
    virtual void SetTableChanged() = 0;
    // The index file's no-primary flag: such a table never reuses deleted record slots.
    virtual bool NoPrimaryIndex() = 0;
    // The session's private directory, where scratch files go; and whether the table
    // lives in the in-memory database.
    virtual std::string PrivateDirectory() const = 0;
    virtual bool InMemory() const = 0;
    // The journal every write of the files goes through while a change of the table runs
    // (nil otherwise), so that a change that fails can be taken back out of the files.
    virtual TWriteJournal* Journal() { return nullptr; }
};

class TCacheClient {
public:
    virtual ~TCacheClient() = default;

    // Called on a cache miss (with strict change detection off) before the file is read:
    // takes the cursor's implicit read lock. False when the lock found the files changed
    // by another process and the caches were dropped; the caller then restarts its
    // operation.
    virtual bool LockForCacheMiss() = 0;
    // How many consecutive records the cursor would show from `recordNo` on (itself
    // included) in `direction` (1 forward, else backward), at most `maximum`; sizes the
    // read-ahead of a record fetch by the visible run.
    virtual uint32_t VisibleRun(uint32_t recordNo, int32_t direction, uint32_t maximum) = 0;
    // The index order: an entry's key against a search key, -1, 0 or 1, over `length`
    // bytes of the index being searched.
    virtual int32_t CompareKeys(const uint8_t* entry, const uint8_t* key, int32_t length) = 0;
};
