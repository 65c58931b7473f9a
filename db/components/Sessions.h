#pragma once
// The components that give an application its database context: the process-wide list
// of sessions with the session "Default", sessions (engine settings and table passwords
// bound to one engine session) and databases (one open engine directory).
//
// All engine work of the components runs inside one process-wide re-entrant critical
// section, entered through TZIZIVUSession::LockSession (TZIZIVUSessionLock) for the length
// of a component operation.
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "db/components/ComponentMessages.h"
#include "db/components/ZIZIVUErrors.h"
#include "platform/framework/Component.h"
#include "platform/rtl/SyncObjs.h"

class TDataSession;
class TDataDirectory;
class TZIZIVUSession;
class TZIZIVUDatabase;

using TZIZIVUPasswordEvent = std::function<void(TObject* Sender, bool& Continue)>;

// What a component bound to a session by name offers, so that renaming the session can
// follow it (databases here, the engine datasets later).
class IZIZIVUSessionBound {
public:
    virtual ~IZIZIVUSessionBound() = default;
    virtual const std::string& SessionName() const = 0;
    virtual void SetSessionName(const std::string& name) = 0;
};

// A dataset that works on a database: closed when the database closes.
class IZIZIVUDatabaseClient {
public:
    virtual ~IZIZIVUDatabaseClient() = default;
    virtual void Disconnect() = 0;
};

class TZIZIVUSessionList {
public:
    TZIZIVUSessionList();
    TZIZIVUSessionList(const TZIZIVUSessionList&) = delete;
    TZIZIVUSessionList& operator=(const TZIZIVUSessionList&) = delete;
    // Frees every session (the default one last).
    ~TZIZIVUSessionList();

    // The first session added becomes the default session.
    void AddSession(TZIZIVUSession* s);
    void RemoveSession(TZIZIVUSession* s);
    // Case-insensitive; "" gives the default session; null when absent.
    TZIZIVUSession* FindSession(const std::string& name) const;
    // As FindSession; raises "Session name %s is not valid." when absent.
    TZIZIVUSession* GetSession(const std::string& name) const;
    // Deactivates every session, the default one last.
    void CloseAll();
    int Count() const;
    TZIZIVUSession* Sessions(int i) const;
    std::vector<TZIZIVUSession*> Snapshot() const;

    // The process-wide critical section of all component engine work.
    TCriticalSection& Lock() { return FLock; }
    // Auto-session numbers (changed inside Lock()).
    int TakeAutoNumber();
    void ReleaseAutoNumber(int n);

private:
    mutable std::mutex FListLock;
    std::vector<TZIZIVUSession*> FSessions;
    std::vector<bool> FAutoNumbers;
    TCriticalSection FLock;
};

// The process-wide session list; the first call creates it with the session "Default".
TZIZIVUSessionList& Sessions();
// The session "Default".
TZIZIVUSession* DefaultSession();
// Frees the list and every session (deactivating them, which finishes the engine); the next
// Sessions() starts afresh.
void FinalizeSessions();

class TZIZIVUSession : public TComponent, public IZIZIVUSessionBound {
public:
    // Raises "This auto-session already exists." when the owner already holds a session
    // with AutoSessionName set.
    explicit TZIZIVUSession(TComponent* AOwner);
    ~TZIZIVUSession() override;

    static constexpr const char* EngineVersionText = "2.12";
    std::string EngineVersion() const { return EngineVersionText; }
    void SetEngineVersion(const std::string&) {}

    bool Active() const { return FEngineSession != nullptr; }
    // Deferred to Loaded while loading.
    void SetActive(bool v);
    bool AutoSessionName() const { return FAutoSessionName; }
    void SetAutoSessionName(bool v);
    const std::string& SessionName() const override { return FSessionName; }
    void SetSessionName(const std::string& name) override;
    void SetName(const std::string& n) override;
    bool IsDefault() const { return FDefault; }

    bool ForceBufferFlush() const { return FForceBufferFlush; }
    void SetForceBufferFlush(bool v);
    bool StrictChangeDetection() const { return FStrictChangeDetection; }
    void SetStrictChangeDetection(bool v);
    uint8_t LockRetryCount() const { return FLockRetryCount; }
    void SetLockRetryCount(uint8_t v);
    uint16_t LockWaitTime() const { return FLockWaitTime; }
    void SetLockWaitTime(uint16_t v);
    uint16_t LanguageID() const { return FLanguageID; }
    void SetLanguageID(uint16_t v);
    uint16_t SortID() const { return FSortID; }
    void SetSortID(uint16_t v);
    const std::string& PrivateDir() const { return FPrivateDir; }
    void SetPrivateDir(const std::string& v);
    bool KeepConnections() const { return FKeepConnections; }
    void SetKeepConnections(bool v) { FKeepConnections = v; }

    TZIZIVUPasswordEvent OnPassword;
    TNotifyEvent OnStartup;

    // Every engine operation of a component runs between these: Lock enters the
    // process-wide section (re-entrant), counts the nesting and makes this session the
    // engine's current one, activating it when inactive.
    void LockSession();
    void UnlockSession();
    int LockCount() const { return FLockCount; }

    // Activates or deactivates inside the process-wide section.
    void StartSession(bool Activate);

    // Table passwords, kept by the engine session (activating the session).
    void AddPassword(const std::string& password);
    void RemovePassword(const std::string& password);
    void RemoveAllPasswords();

    // The engine's password callback: the OnPassword handler's answer when set, else the
    // password dialog's (Cancel without a display).
    bool DoPassword();

    // Databases of this session.
    TZIZIVUDatabase* FindDatabase(const std::string& name) const;
    // The database of that name, or a temporary one, connected and referenced once more.
    TZIZIVUDatabase* OpenDatabase(const std::string& name);
    // Drops a reference; the last one closes the database unless it keeps its
    // connection, and frees a temporary one.
    void CloseDatabase(TZIZIVUDatabase* db);
    int DatabaseCount() const { return static_cast<int>(FDatabases.size()); }
    TZIZIVUDatabase* Databases(int i) const { return FDatabases.at(i); }

    // The engine session; null while inactive.
    TDataSession* EngineSession() const { return FEngineSession; }

    void Loaded() override;

private:
    friend class TZIZIVUSessionList;
    friend class TZIZIVUDatabase;
    friend TZIZIVUSessionList& Sessions();
    TZIZIVUSession(TComponent* AOwner, TZIZIVUSessionList& list);
    void Activate();
    void Deactivate();
    void ApplySettings();
    void MakeCurrent();
    // Closes the databases of every session that use a directory of this engine session.
    void CloseDatabasesOf(TDataSession* engine);
    void CheckInactive();
    void RenewAutoName();
    void AddDatabase(TZIZIVUDatabase* db);
    void RemoveDatabase(TZIZIVUDatabase* db);

    TZIZIVUSessionList& FList;
    std::vector<TZIZIVUDatabase*> FDatabases;
    TDataSession* FEngineSession = nullptr;
    bool FDefault = false;
    int FAutoNumber = -1;
    int FLockCount = 0;
    bool FStreamedActive = false;
    bool FAutoSessionName = false;
    std::string FSessionName;
    bool FForceBufferFlush = false;
    bool FStrictChangeDetection = false;
    uint8_t FLockRetryCount = 15;
    uint16_t FLockWaitTime = 100;
    uint16_t FLanguageID = 0;
    uint16_t FSortID = 0;
    std::string FPrivateDir;
    bool FKeepConnections = true;
};

// LockSession for a scope.
class TZIZIVUSessionLock {
public:
    explicit TZIZIVUSessionLock(TZIZIVUSession* s) : FSession(s) { FSession->LockSession(); }
    ~TZIZIVUSessionLock() { FSession->UnlockSession(); }
    TZIZIVUSessionLock(const TZIZIVUSessionLock&) = delete;
    TZIZIVUSessionLock& operator=(const TZIZIVUSessionLock&) = delete;

private:
    TZIZIVUSession* FSession;
};

class TZIZIVUDatabase : public TComponent, public IZIZIVUSessionBound {
public:
    // The session is the owner when the owner is a session, else the default session.
    explicit TZIZIVUDatabase(TComponent* AOwner);
    ~TZIZIVUDatabase() override;

    std::string EngineVersion() const { return TZIZIVUSession::EngineVersionText; }
    void SetEngineVersion(const std::string&) {}

    bool Connected() const { return FDirectory != nullptr; }
    // Deferred to Loaded while loading.
    void SetConnected(bool v);
    void Open();
    void Close();
    const std::string& DatabaseName() const { return FDatabaseName; }
    // Closed databases only; a name must begin with a letter, '_' or a byte 129-254 and hold
    // no ':' or '\', and be unique within the session.
    void SetDatabaseName(const std::string& name);
    // The open directory's path while connected, else the setting.
    std::string Directory() const;
    void SetDirectory(const std::string& v);
    bool HandleShared() const { return FHandleShared; }
    void SetHandleShared(bool v);
    bool KeepConnection() const { return FKeepConnection; }
    void SetKeepConnection(bool v) { FKeepConnection = v; }
    const std::string& SessionName() const override { return FSessionName; }
    void SetSessionName(const std::string& name) override;
    TZIZIVUSession* Session() const { return FSession; }
    bool Temporary() const { return FTemporary; }
    int ReferenceCount() const { return FRefCount; }
    TDataDirectory* Handle() const { return FDirectory; }

    TNotifyEvent BeforeConnect;

    // Datasets working on this database (closed with it).
    void AddDataSet(IZIZIVUDatabaseClient* ds);
    void RemoveDataSet(IZIZIVUDatabaseClient* ds);

    void Loaded() override;

private:
    friend class TZIZIVUSession;
    void CheckInactive() const;
    void CloseDataSets();
    void CloseDirectory();
    TZIZIVUSession* FSession = nullptr;
    TDataDirectory* FDirectory = nullptr;
    std::vector<IZIZIVUDatabaseClient*> FDataSets;
    std::string FDatabaseName;
    std::string FDirectoryName;
    std::string FSessionName;
    int FRefCount = 0;
    bool FTemporary = false;
    bool FHandleShared = false;
    bool FKeepConnection = true;
    bool FStreamedConnected = false;
};
