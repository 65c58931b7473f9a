#pragma once
// Session variables: a process-wide list of named sessions, each a list of name=value
// lines (a line may carry an object) and an expiry. A file-based session is also written
// to a session file: one record per variable, encrypted and URL-encoded, the file's
// modification date being the session's expiry.
#include <memory>
#include <mutex>
#include <string>

#include "platform/rtl/DateTime.h"
#include "platform/rtl/SyncObjs.h"
#include "web/HBlowFish.h"
#include "web/HttpEng.h"

// Guards the session list; one recursive lock for the whole process.
TCriticalSection& SessionLock();

// One session of the list.
class TSessionEntry : public TObject {
public:
    TStringList Variables;  // name=value lines, each may carry an object
    TDateTime Expiry = 0;   // 0: none
};

// A session's variables, reached only under the session lock: the lock is held for as long
// as this object lives. A temporary holds it for one expression
// (`s->Variables()->Add(...)`); a change made of several calls keeps the object
// (`auto v = s->Variables(); v->SetValues(n, v->Values(n) + "x");`). Empty (false) when the
// session is not in the list.
class TLockedVariables {
public:
    TLockedVariables(std::unique_lock<TCriticalSection> Lock, TStringList* List)
        : FLock(std::move(Lock)), FList(List) {}
    TStringList* operator->() const { return FList; }
    TStringList& operator*() const { return *FList; }
    explicit operator bool() const { return FList != nullptr; }

private:
    std::unique_lock<TCriticalSection> FLock;
    TStringList* FList;
};

// The request's view of the sessions. The request's own session (its name, its file and
// whether that file is saved) lives here, in the object of the request's thread.
class TCGISessionVariables : public TRequestSessionStore {
public:
    explicit TCGISessionVariables(TRemoveSessionObjectEvent OnRemoveSessionObject);
    // Saves a file-based session not saved yet; frees the list once the last object goes
    // and no session is left.
    ~TCGISessionVariables() override;

    void ReleaseRequest(bool FreeAll) override;
    // Index of the current session in the list, -1 when absent.
    int IndexOfCurrent();
    // The current session's expiry; 0 when it has expired or is not in the list. Both
    // forms take the session lock.
    TDateTime GetExpiry();
    TDateTime GetExpiryLocked();
    // Empties the current session ("No Session started" without one) and marks its file
    // cleared. Both forms take the session lock.
    void Clear();
    void ClearLocked();
    // Removes the sessions that expired before Before; 0 removes all.
    void ExpireSessions(TDateTime Before);
    // Writes the current session to its file.
    void SaveSession();
    // The session file opened with Mode; nullptr when it cannot be opened or is no file.
    // fmCreate makes a new file, readable by the owner only, that replaces the session file
    // when closed.
    std::unique_ptr<TStream> OpenSessionFile(uint16_t Mode);
    // Dates the file with the expiry, puts a new one in place and frees the stream; false
    // when the new file could not take the session file's place (it is removed).
    bool CloseSessionFile(std::unique_ptr<TStream> Stream);

    TBlowFish& Cipher() { return FCipher; }
    TRemoveSessionObjectEvent OnRemoveSessionObject;

    // The request's session.
    std::string CurrentSessionName;
    std::string SessionFileName;
    int32_t FileBasedActive = 0;  // above 0 while a file-based session is active
    bool Saved = false;

    // The current session's variables, under the session lock (see TLockedVariables).
    TLockedVariables Variables();

private:
    void Save();
    TBlowFish FCipher;
};

// Session start for the calling thread's request: makes Name the current session
// (creating it when new), sets its expiry and, with a FileName, makes it file-based. The
// cipher takes the engine's CGISession.EncryptionKey. The object becomes the request's
// session, which the end of the request saves and frees.
TCGISessionVariables* StartRequestSession(THttpEngine* Engine, const std::string& Name, TDateTime Expiry,
                                          const std::string& FileName = "");

// Empties the request's current session under the session lock.
void ClearSession();

// Number of sessions in the list (0 without a list).
int SessionCount();
