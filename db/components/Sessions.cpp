// Session list, sessions and databases of the dataset components.
#include "db/components/Sessions.h"

#include <algorithm>
#include <memory>

#include "db/components/PasswordDialog.h"
#include "db/engine/DataDirectory.h"
#include "db/engine/DataSession.h"
#include "platform/framework/Application.h"
#include "platform/framework/Fields.h"  // DatabaseError
#include "platform/rtl/ScopeGuard.h"

namespace {

[[noreturn]] void ComponentError(int id, TComponent* c) {
    DatabaseError(ComponentMessage(id), c);
}

[[noreturn]] void ComponentErrorFmt(int id, const std::string& arg, TComponent* c) {
    DatabaseError(Format(ComponentMessage(id), arg), c);
}

// The list lives on the heap and is only freed by FinalizeSessions: freeing it from a
// static destructor would finish the engine after the engine's own statics are gone.
std::mutex GListGuard;
TZIZIVUSessionList* GList = nullptr;

bool LooksLikePath(const std::string& name) {
    return name.find_first_of(":\\/") != std::string::npos;
}

}  // namespace

// ---- session list ----

TZIZIVUSessionList::TZIZIVUSessionList() = default;

TZIZIVUSessionList::~TZIZIVUSessionList() {
    CloseAll();
}

void TZIZIVUSessionList::AddSession(TZIZIVUSession* s) {
    std::lock_guard<std::mutex> guard(FListLock);
    s->FDefault = FSessions.empty();
    FSessions.push_back(s);
}

void TZIZIVUSessionList::RemoveSession(TZIZIVUSession* s) {
    std::lock_guard<std::mutex> guard(FListLock);
    auto it = std::find(FSessions.begin(), FSessions.end(), s);
    if (it != FSessions.end()) FSessions.erase(it);
}

TZIZIVUSession* TZIZIVUSessionList::FindSession(const std::string& name) const {
    std::lock_guard<std::mutex> guard(FListLock);
    for (TZIZIVUSession* s : FSessions)
        if (name.empty() ? s->FDefault : SameText(s->SessionName(), name)) return s;
    return nullptr;
}

TZIZIVUSession* TZIZIVUSessionList::GetSession(const std::string& name) const {
    TZIZIVUSession* s = FindSession(name);
    if (!s) ComponentErrorFmt(SInvalidSessionName, name, nullptr);
    return s;
}

void TZIZIVUSessionList::CloseAll() {
    // Last first, so that "Default" goes after the sessions that depend on it.
    for (;;) {
        TZIZIVUSession* s = nullptr;
        {
            std::lock_guard<std::mutex> guard(FListLock);
            if (FSessions.empty()) break;
            s = FSessions.back();
        }
        delete s;
    }
}

int TZIZIVUSessionList::Count() const {
    std::lock_guard<std::mutex> guard(FListLock);
    return static_cast<int>(FSessions.size());
}

TZIZIVUSession* TZIZIVUSessionList::Sessions(int i) const {
    std::lock_guard<std::mutex> guard(FListLock);
    return FSessions.at(i);
}

std::vector<TZIZIVUSession*> TZIZIVUSessionList::Snapshot() const {
    std::lock_guard<std::mutex> guard(FListLock);
    return FSessions;
}

int TZIZIVUSessionList::TakeAutoNumber() {
    std::lock_guard<TCriticalSection> guard(FLock);
    for (size_t i = 0; i < FAutoNumbers.size(); ++i)
        if (!FAutoNumbers[i]) {
            FAutoNumbers[i] = true;
            return static_cast<int>(i);
        }
    FAutoNumbers.push_back(true);
    return static_cast<int>(FAutoNumbers.size() - 1);
}

void TZIZIVUSessionList::ReleaseAutoNumber(int n) {
    std::lock_guard<TCriticalSection> guard(FLock);
    if (n >= 0 && n < static_cast<int>(FAutoNumbers.size())) FAutoNumbers[n] = false;
}

TZIZIVUSessionList& Sessions() {
    std::lock_guard<std::mutex> guard(GListGuard);
    if (!GList) {
        auto list = std::make_unique<TZIZIVUSessionList>();
        auto* def = new TZIZIVUSession(nullptr, *list);
        def->SetSessionName("Default");
        GList = list.release();
    }
    return *GList;
}

TZIZIVUSession* DefaultSession() {
    return Sessions().FindSession("");
}

void FinalizeSessions() {
    TZIZIVUSessionList* list;
    {
        std::lock_guard<std::mutex> guard(GListGuard);
        list = GList;
        GList = nullptr;
    }
    delete list;
}

// ---- session ----

TZIZIVUSession::TZIZIVUSession(TComponent* AOwner) : TZIZIVUSession(AOwner, Sessions()) {}

TZIZIVUSession::TZIZIVUSession(TComponent* AOwner, TZIZIVUSessionList& list)
    : TComponent(AOwner), FList(list), FLanguageID(DefaultLanguageID()) {
    if (AOwner)
        for (int i = 0; i < AOwner->ComponentCount(); ++i) {
            auto* other = dynamic_cast<TZIZIVUSession*>(AOwner->Components(i));
            if (other && other != this && other->FAutoSessionName) ComponentError(SAutoSessionExists, this);
        }
    FList.AddSession(this);
}

TZIZIVUSession::~TZIZIVUSession() {
    Destroying();
    try {
        StartSession(false);
    } catch (...) {
        // A failure to close cannot stop the session from going away.
    }
    // Owned databases go while this session can still take them off its list.
    DestroyComponents();
    for (TZIZIVUDatabase* db : FDatabases) db->FSession = nullptr;
    FDatabases.clear();
    if (FAutoNumber >= 0) FList.ReleaseAutoNumber(FAutoNumber);
    FList.RemoveSession(this);
}

void TZIZIVUSession::SetActive(bool v) {
    if (HasState(csLoading)) {
        FStreamedActive = v;
        return;
    }
    StartSession(v);
}

void TZIZIVUSession::Loaded() {
    TComponent::Loaded();
    if (!FStreamedActive) return;
    try {
        SetActive(true);
    } catch (...) {
        if (!HasState(csDesigning)) throw;
        Application()->HandleException();
    }
}

void TZIZIVUSession::CheckInactive() {
    if (!Active()) return;
    ComponentError(FAutoSessionName ? SAutoSessionActive : SSessionActive, this);
}

void TZIZIVUSession::SetSessionName(const std::string& name) {
    std::string n = FAutoSessionName ? Format("%s_%d", Name(), FAutoNumber + 1) : name;
    if (n == FSessionName) return;
    CheckInactive();
    if (!n.empty()) {
        TZIZIVUSession* other = FList.FindSession(n);
        if (other && other != this) ComponentErrorFmt(SDuplicateSessionName, n, this);
    }
    std::string old = FSessionName;
    FSessionName = n;
    // Components of the same owner that named the old session follow it.
    if (Owner() && !old.empty())
        for (int i = 0; i < Owner()->ComponentCount(); ++i) {
            TComponent* c = Owner()->Components(i);
            auto* bound = dynamic_cast<IZIZIVUSessionBound*>(c);
            if (bound && c != this && SameText(bound->SessionName(), old)) bound->SetSessionName(n);
        }
}

void TZIZIVUSession::SetName(const std::string& n) {
    TComponent::SetName(n);
    if (FAutoSessionName) RenewAutoName();
}

void TZIZIVUSession::RenewAutoName() {
    SetSessionName("");
}

void TZIZIVUSession::SetAutoSessionName(bool v) {
    if (v == FAutoSessionName) return;
    std::lock_guard<TCriticalSection> guard(FList.Lock());
    if (v) {
        if (Owner())
            for (int i = 0; i < Owner()->ComponentCount(); ++i) {
                auto* other = dynamic_cast<TZIZIVUSession*>(Owner()->Components(i));
                if (other && other != this) ComponentError(SAutoSessionExclusive, this);
            }
        CheckInactive();
        FAutoNumber = FList.TakeAutoNumber();
        FAutoSessionName = true;
        TScopeGuard undo([this] {
            FList.ReleaseAutoNumber(FAutoNumber);
            FAutoNumber = -1;
            FAutoSessionName = false;
        });
        RenewAutoName();
        undo.Dismiss();
    } else {
        CheckInactive();
        FList.ReleaseAutoNumber(FAutoNumber);
        FAutoNumber = -1;
        FAutoSessionName = false;
    }
}

// Every call takes the process-wide section itself: the nesting counter belongs to the
// session, not to the thread, so it cannot tell whether this thread already holds it.
void TZIZIVUSession::LockSession() {
    FList.Lock().Enter();
    ++FLockCount;
    TScopeGuard undo([this] {
        --FLockCount;
        FList.Lock().Leave();
    });
    MakeCurrent();
    undo.Dismiss();
}

void TZIZIVUSession::UnlockSession() {
    if (FLockCount <= 0) return;
    --FLockCount;
    FList.Lock().Leave();
}

void TZIZIVUSession::MakeCurrent() {
    if (!Active()) StartSession(true);
    SetEngineSession(FEngineSession);
}

void TZIZIVUSession::StartSession(bool Activate) {
    std::lock_guard<TCriticalSection> guard(FList.Lock());
    if (Activate)
        this->Activate();
    else
        Deactivate();
}

void TZIZIVUSession::Activate() {
    if (Active()) return;
    if (OnStartup) OnStartup(this);
    if (FSessionName.empty()) ComponentError(SSessionNameMissing, this);
    if (!FDefault) {
        TZIZIVUSession* def = FList.FindSession("");
        if (!def) ComponentErrorFmt(SInvalidSessionName, "Default", this);
        def->StartSession(true);
        CreateEngineSession(FEngineSession);
    } else {
        InitializeEngine();
        FEngineSession = GetEngineSession();
    }
    TScopeGuard undo([this] { Deactivate(); });
    ApplySettings();
    undo.Dismiss();
}

void TZIZIVUSession::ApplySettings() {
    if (!FPrivateDir.empty()) FEngineSession->SetPrivateDirectory(FPrivateDir);
    FEngineSession->SetLockRetryCount(FLockRetryCount);
    FEngineSession->SetLockWaitTime(FLockWaitTime);
    FEngineSession->SetForceBufferFlush(FForceBufferFlush);
    FEngineSession->SetStrictChangeDetection(FStrictChangeDetection);
    FEngineSession->SetLanguageID(FLanguageID);
    FEngineSession->SetSortID(FSortID);
}

void TZIZIVUSession::Deactivate() {
    if (!Active()) return;
    std::exception_ptr failure;
    // Finishing the engine frees what every other session still holds: those go first.
    if (FDefault)
        for (TZIZIVUSession* s : FList.Snapshot()) {
            if (s == this || !s->Active()) continue;
            try {
                s->StartSession(false);
            } catch (...) {
                if (!failure) failure = std::current_exception();
            }
        }
    SetEngineSession(FEngineSession);
    for (int i = static_cast<int>(FDatabases.size()) - 1; i >= 0; --i) {
        if (i >= static_cast<int>(FDatabases.size())) continue;
        TZIZIVUDatabase* db = FDatabases[i];
        try {
            if (db->FTemporary && !db->HasState(csDestroying))
                delete db;
            else
                db->Close();
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
    }
    CloseDatabasesOf(FEngineSession);
    if (FDefault) {
        FinalizeEngine();
        FEngineSession = nullptr;
    } else {
        FreeEngineSession(FEngineSession);
        FEngineSession = nullptr;
        // The engine's current session must not stay on the one just freed.
        TZIZIVUSession* def = FList.FindSession("");
        if (def && def->Active()) SetEngineSession(def->FEngineSession);
    }
    if (failure) std::rethrow_exception(failure);
}

void TZIZIVUSession::CloseDatabasesOf(TDataSession* engine) {
    for (TZIZIVUSession* s : FList.Snapshot())
        for (int i = static_cast<int>(s->FDatabases.size()) - 1; i >= 0; --i) {
            TZIZIVUDatabase* db = s->FDatabases[i];
            if (db->FDirectory && db->FDirectory->Session() == engine) {
                db->CloseDataSets();
                db->FDirectory = nullptr;  // freed with the engine session
            }
        }
}

void TZIZIVUSession::SetForceBufferFlush(bool v) {
    std::lock_guard<TCriticalSection> guard(FList.Lock());
    FForceBufferFlush = v;
    if (Active()) FEngineSession->SetForceBufferFlush(v);
}

void TZIZIVUSession::SetStrictChangeDetection(bool v) {
    std::lock_guard<TCriticalSection> guard(FList.Lock());
    FStrictChangeDetection = v;
    if (Active()) FEngineSession->SetStrictChangeDetection(v);
}

void TZIZIVUSession::SetLockRetryCount(uint8_t v) {
    std::lock_guard<TCriticalSection> guard(FList.Lock());
    FLockRetryCount = v;
    if (Active()) FEngineSession->SetLockRetryCount(v);
}

void TZIZIVUSession::SetLockWaitTime(uint16_t v) {
    std::lock_guard<TCriticalSection> guard(FList.Lock());
    FLockWaitTime = v;
    if (Active()) FEngineSession->SetLockWaitTime(v);
}

void TZIZIVUSession::SetLanguageID(uint16_t v) {
    std::lock_guard<TCriticalSection> guard(FList.Lock());
    FLanguageID = v;
    if (Active()) FEngineSession->SetLanguageID(v);
}

void TZIZIVUSession::SetSortID(uint16_t v) {
    std::lock_guard<TCriticalSection> guard(FList.Lock());
    FSortID = v;
    if (Active()) FEngineSession->SetSortID(v);
}

void TZIZIVUSession::SetPrivateDir(const std::string& v) {
    std::lock_guard<TCriticalSection> guard(FList.Lock());
    FPrivateDir = v;
    if (Active()) FEngineSession->SetPrivateDirectory(v);
}

void TZIZIVUSession::AddPassword(const std::string& password) {
    TZIZIVUSessionLock lock(this);
    FEngineSession->AddPassword(password);
}

void TZIZIVUSession::RemovePassword(const std::string& password) {
    TZIZIVUSessionLock lock(this);
    FEngineSession->RemovePassword(password);
}

void TZIZIVUSession::RemoveAllPasswords() {
    TZIZIVUSessionLock lock(this);
    FEngineSession->RemoveAllPasswords();
}

bool TZIZIVUSession::DoPassword() {
    if (OnPassword) {
        bool cont = false;
        OnPassword(this, cont);
        return cont;
    }
    return PasswordDialog(this);
}

void TZIZIVUSession::AddDatabase(TZIZIVUDatabase* db) {
    if (std::find(FDatabases.begin(), FDatabases.end(), db) == FDatabases.end()) FDatabases.push_back(db);
}

void TZIZIVUSession::RemoveDatabase(TZIZIVUDatabase* db) {
    auto it = std::find(FDatabases.begin(), FDatabases.end(), db);
    if (it != FDatabases.end()) FDatabases.erase(it);
}

TZIZIVUDatabase* TZIZIVUSession::FindDatabase(const std::string& name) const {
    if (name.empty()) return nullptr;
    for (TZIZIVUDatabase* db : FDatabases)
        if (SameText(db->DatabaseName(), name)) return db;
    return nullptr;
}

TZIZIVUDatabase* TZIZIVUSession::OpenDatabase(const std::string& name) {
    TZIZIVUSessionLock lock(this);
    TZIZIVUDatabase* db = FindDatabase(name);
    // A database made here goes again when it fails to open.
    std::unique_ptr<TZIZIVUDatabase> temporary;
    if (!db) {
        // Made for a dataset that named no database component; a path names its folder.
        temporary = std::make_unique<TZIZIVUDatabase>(this);
        db = temporary.get();
        db->FTemporary = true;
        db->FDatabaseName = name;
        if (LooksLikePath(name)) db->FDirectoryName = name;
        db->FKeepConnection = FKeepConnections;
    }
    db->Open();
    temporary.release();  // open: the session, its owner, frees it
    ++db->FRefCount;
    return db;
}

void TZIZIVUSession::CloseDatabase(TZIZIVUDatabase* db) {
    if (!db) return;
    TZIZIVUSessionLock lock(this);
    if (db->FRefCount > 0) --db->FRefCount;
    if (db->FRefCount > 0 || db->FKeepConnection) return;
    if (!db->FTemporary)
        db->Close();
    else if (!db->HasState(csDestroying))
        delete db;
}

// ---- database ----

TZIZIVUDatabase::TZIZIVUDatabase(TComponent* AOwner) : TComponent(AOwner) {
    FSession = dynamic_cast<TZIZIVUSession*>(AOwner);
    if (!FSession) FSession = DefaultSession();
    FSession->AddDatabase(this);
}

TZIZIVUDatabase::~TZIZIVUDatabase() {
    Destroying();
    try {
        Close();
    } catch (...) {
        // Going away regardless.
    }
    if (FSession) FSession->RemoveDatabase(this);
}

void TZIZIVUDatabase::CheckInactive() const {
    if (Connected()) ComponentError(SDatabaseOpen, const_cast<TZIZIVUDatabase*>(this));
}

void TZIZIVUDatabase::SetDatabaseName(const std::string& name) {
    if (name == FDatabaseName) return;
    CheckInactive();
    if (!name.empty()) {
        auto c = static_cast<unsigned char>(name[0]);
        bool start = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= 129 && c <= 254);
        if (!start || name.find(':') != std::string::npos || name.find('\\') != std::string::npos)
            ComponentErrorFmt(SInvalidDatabaseName, name, this);
        TZIZIVUDatabase* other = FSession ? FSession->FindDatabase(name) : nullptr;
        if (other && other != this) ComponentErrorFmt(SDuplicateDatabaseName, name, this);
    }
    FDatabaseName = name;
}

std::string TZIZIVUDatabase::Directory() const {
    return FDirectory ? FDirectory->Path() : FDirectoryName;
}

void TZIZIVUDatabase::SetDirectory(const std::string& v) {
    if (v == FDirectoryName) return;
    CheckInactive();
    FDirectoryName = v;
}

void TZIZIVUDatabase::SetHandleShared(bool v) {
    if (v == FHandleShared) return;
    CheckInactive();
    FHandleShared = v;
}

void TZIZIVUDatabase::SetSessionName(const std::string& name) {
    if (name == FSessionName) return;
    CheckInactive();
    FSessionName = name;
    TZIZIVUSession* s = name.empty() ? DefaultSession() : Sessions().FindSession(name);
    if (!s || s == FSession) return;  // an unknown name is resolved at open
    if (FSession) FSession->RemoveDatabase(this);
    FSession = s;
    FSession->AddDatabase(this);
}

void TZIZIVUDatabase::SetConnected(bool v) {
    if (HasState(csLoading)) {
        FStreamedConnected = v;
        return;
    }
    if (v)
        Open();
    else
        Close();
}

void TZIZIVUDatabase::Loaded() {
    TComponent::Loaded();
    if (!FStreamedConnected) return;
    try {
        SetConnected(true);
    } catch (...) {
        if (!HasState(csDesigning)) throw;
        Application()->HandleException();
    }
}

void TZIZIVUDatabase::Open() {
    if (Connected()) return;
    if (BeforeConnect) BeforeConnect(this);
    if (!FSessionName.empty()) {
        TZIZIVUSession* s = Sessions().GetSession(FSessionName);
        if (s != FSession) {
            if (FSession) FSession->RemoveDatabase(this);
            FSession = s;
            FSession->AddDatabase(this);
        }
    }
    if (!FSession) ComponentError(SSessionNameMissing, this);
    if (FDatabaseName.empty()) ComponentError(SDatabaseNameMissing, this);
    TZIZIVUSessionLock lock(FSession);
    if (FHandleShared)
        for (TZIZIVUSession* s : Sessions().Snapshot())
            for (TZIZIVUDatabase* db : s->FDatabases)
                if (db != this && db->Connected() && SameText(db->FDatabaseName, FDatabaseName)) {
                    FDirectory = db->FDirectory;
                    FDirectory->AddReference();
                    return;
                }
    FDirectory = FSession->EngineSession()->OpenDirectory(FDatabaseName, FDirectoryName);
}

void TZIZIVUDatabase::Close() {
    if (!Connected()) return;
    TZIZIVUSessionLock lock(FSession);
    CloseDataSets();
    // The last dataset letting go may have closed the database already (KeepConnection off).
    if (FDirectory) CloseDirectory();
}

void TZIZIVUDatabase::CloseDataSets() {
    std::vector<IZIZIVUDatabaseClient*> sets = FDataSets;
    for (auto it = sets.rbegin(); it != sets.rend(); ++it) (*it)->Disconnect();
}

void TZIZIVUDatabase::CloseDirectory() {
    TDataDirectory* dir = FDirectory;
    FDirectory = nullptr;
    // A shared handle belongs to the engine session of the database that opened it.
    int32_t rc = dir->Session()->CloseDirectory(dir);
    if (rc < 0) RaiseEngineError(static_cast<uint16_t>(-rc), FDatabaseName);
}

void TZIZIVUDatabase::AddDataSet(IZIZIVUDatabaseClient* ds) {
    if (std::find(FDataSets.begin(), FDataSets.end(), ds) == FDataSets.end()) FDataSets.push_back(ds);
}

void TZIZIVUDatabase::RemoveDataSet(IZIZIVUDatabaseClient* ds) {
    auto it = std::find(FDataSets.begin(), FDataSets.end(), ds);
    if (it != FDataSets.end()) FDataSets.erase(it);
}
