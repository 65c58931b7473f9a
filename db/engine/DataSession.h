#pragma once
// The engine session: the settings every table operation consults, the table passwords the
// user supplied, and the open databases (directories). The engine start creates the first
// session; the dataset components create further ones.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/rtl/System.h"

class TDataDirectory;

class TDataSession : public TObject {
public:
    // Defaults: lock retries 15, lock wait 100 ms, no forced flush, change detection on
    // cache misses only, the user's default language and sort order 0; the current
    // directory is the working directory with a trailing separator.
    TDataSession();
    TDataSession(const TDataSession&) = delete;
    TDataSession& operator=(const TDataSession&) = delete;
    ~TDataSession() override;

    const std::string& CurrentDirectory() const { return FCurrentDirectory; }
    // The private directory, or the current directory when none is set.
    std::string GetPrivateDirectory() const;
    // An empty path is ignored; otherwise trimmed and given a trailing separator.
    void SetPrivateDirectory(const std::string& path);

    // Table passwords, compared case-sensitively.
    void AddPassword(const std::string& password);
    void RemovePassword(const std::string& password);
    void RemoveAllPasswords();
    bool HasPassword(const std::string& password) const;

    bool ForceBufferFlush() const { return FForceBufferFlush; }
    void SetForceBufferFlush(bool v) { FForceBufferFlush = v; }
    bool StrictChangeDetection() const { return FStrictChangeDetection; }
    void SetStrictChangeDetection(bool v) { FStrictChangeDetection = v; }
    uint8_t LockRetryCount() const { return FLockRetryCount; }
    void SetLockRetryCount(uint8_t v) { FLockRetryCount = v; }
    uint16_t LockWaitTime() const { return FLockWaitTime; }
    void SetLockWaitTime(uint16_t v) { FLockWaitTime = v; }
    uint16_t LanguageID() const { return FLanguageID; }
    void SetLanguageID(uint16_t v) { FLanguageID = v; }
    uint16_t SortID() const { return FSortID; }
    void SetSortID(uint16_t v) { FSortID = v; }

    // The directory of the database: "MEMORY" (any case) is the in-memory database;
    // otherwise the path (or the current directory when empty). A directory already open
    // for the same folder is shared, its reference count raised.
    TDataDirectory* OpenDirectory(const std::string& databaseName, const std::string& path);
    // 0, or -11013 for an unknown directory or one no longer referenced. The last release
    // frees the directory, rolling back its transaction.
    int32_t CloseDirectory(TDataDirectory* directory);
    void FreeDirectories();
    int32_t DirectoryCount() const { return int32_t(FDirectories.size()); }

private:
    std::string FCurrentDirectory;
    std::string FPrivateDirectory;
    std::vector<std::string> FPasswords;
    bool FForceBufferFlush = false;
    bool FStrictChangeDetection = false;
    uint8_t FLockRetryCount = 15;
    uint16_t FLockWaitTime = 100;
    std::vector<std::unique_ptr<TDataDirectory>> FDirectories;
    uint16_t FLanguageID = 0;
    uint16_t FSortID = 0;
};

// Engine start and finish: once per process; the library starts and finishes with it.
void InitializeEngine();
void FinalizeEngine();
bool EngineInitialized();
// The engine session; 10758 when the engine is not started.
TDataSession* GetEngineSession();
void SetEngineSession(TDataSession* session);
// A further session, and its release (nil is left alone).
void CreateEngineSession(TDataSession*& session);
void FreeEngineSession(TDataSession*& session);

// The engine's pseudo-random generator (seeded once at start): a number in 0 .. range - 1.
uint32_t EngineRandom(uint32_t range);
// The user's default language id for new sessions.
uint16_t DefaultLanguageID();
