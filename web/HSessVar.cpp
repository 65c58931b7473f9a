// Session list, session files and their expiry.
#include "web/HSessVar.h"

#include <cxxabi.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <typeinfo>

#include "platform/os/Files.h"
#include "platform/rtl/FileDate.h"

namespace {

// The list and the number of live session objects; both under SessionLock().
TStringList* GSessions = nullptr;
int GObjectCount = 0;

TSessionEntry* EntryAt(int i) {
    return static_cast<TSessionEntry*>(GSessions->GetObject(i));
}

std::string ClassNameOf(TObject* o) {
    const char* mangled = typeid(*o).name();
    int status = 0;
    char* name = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::string result = status == 0 && name ? name : mangled;
    std::free(name);
    return result;
}

void RemoveObjects(TSessionEntry* Entry, TObject* Sender, const TRemoveSessionObjectEvent& Handler) {
    if (!Handler) return;
    for (int i = 0; i < Entry->Variables.Count(); ++i)
        if (TObject* o = Entry->Variables.GetObject(i)) Handler(Sender, ClassNameOf(o), o);
}

// The list, created when absent (under SessionLock()).
TStringList& SessionList() {
    if (!GSessions) {
        GSessions = new TStringList;
        GSessions->SetCaseSensitive(true);
    }
    return *GSessions;
}

void FreeSessionList() {
    if (!GSessions) return;
    for (int i = GSessions->Count() - 1; i >= 0; --i) delete EntryAt(i);
    delete GSessions;
    GSessions = nullptr;
}

// A session file: owns its descriptor. A new one is written beside the session file under a
// name of its own and takes the session file's place only once whole (PutInPlaceOf), so that
// a request of the same session in another process reads one save or the other, and a save
// that fails leaves the last one; one never put in place is removed.
class TSessionFileStream : public THandleStream {
public:
    explicit TSessionFileStream(int fd, std::string NewName = "")
        : THandleStream(fd), FNewName(std::move(NewName)) {}
    ~TSessionFileStream() override {
        ::close(Handle());
        if (!FNewName.empty()) ::unlink(FNewName.c_str());
    }
    void SetSize(int64_t n) override {
        if (::ftruncate(Handle(), n) != 0) throw EWriteError("Stream write error");
    }
    bool IsNew() const { return !FNewName.empty(); }
    bool PutInPlaceOf(const std::string& Target) {
        if (::rename(FNewName.c_str(), Target.c_str()) != 0) return false;
        FNewName.clear();
        return true;
    }

private:
    std::string FNewName;
};

// Whether something is at the session file's name (without following a link).
bool SessionFileExists(const std::string& Name) {
    struct stat st {};
    return ::lstat(Name.c_str(), &st) == 0;
}

void ExpireAllSessions() {
    std::lock_guard<TCriticalSection> lk(SessionLock());
    if (!GSessions) return;
    TCGISessionVariables v(nullptr);
    v.ExpireSessions(0);
}

}  // namespace

TCriticalSection& SessionLock() {
    static TCriticalSection lock;
    return lock;
}

TCGISessionVariables::TCGISessionVariables(TRemoveSessionObjectEvent OnRemove)
    : OnRemoveSessionObject(std::move(OnRemove)) {
    static std::once_flag hookInstalled;
    std::call_once(hookInstalled, [] { SetExpireAllSessionsHook(&ExpireAllSessions); });
    std::lock_guard<TCriticalSection> lk(SessionLock());
    SessionList();
    ++GObjectCount;
    FCipher.SetKey(DefaultEncryptionKey);
    FCipher.SetIV(DefaultBlowfishIV);
}

TCGISessionVariables::~TCGISessionVariables() {
    try {
        if (FileBasedActive > 0 && !Saved) SaveSession();
    } catch (const std::exception& e) {
        WriteLog("Session not saved: " + std::string(e.what()));
    }
    std::lock_guard<TCriticalSection> lk(SessionLock());
    if (--GObjectCount == 0 && GSessions && GSessions->Count() == 0) FreeSessionList();
}

void TCGISessionVariables::ReleaseRequest(bool FreeAll) {
    if (FileBasedActive > 0 && !Saved) SaveSession();
    if (FreeAll) {
        std::lock_guard<TCriticalSection> lk(SessionLock());
        FreeSessionList();
    }
}

int TCGISessionVariables::IndexOfCurrent() {
    std::lock_guard<TCriticalSection> lk(SessionLock());
    return GSessions ? GSessions->IndexOf(CurrentSessionName) : -1;
}

TLockedVariables TCGISessionVariables::Variables() {
    std::unique_lock<TCriticalSection> lk(SessionLock());
    const int i = IndexOfCurrent();
    return TLockedVariables(std::move(lk), i < 0 ? nullptr : &EntryAt(i)->Variables);
}

TDateTime TCGISessionVariables::GetExpiry() {
    std::lock_guard<TCriticalSection> lk(SessionLock());
    const int i = IndexOfCurrent();
    if (i < 0) return 0;
    TDateTime expiry = EntryAt(i)->Expiry;
    if (expiry == 0 && FileBasedActive > 0 && !FileAge(SessionFileName, expiry)) expiry = 0;
    return Now() > expiry ? 0 : expiry;
}

TDateTime TCGISessionVariables::GetExpiryLocked() {
    std::lock_guard<TCriticalSection> lk(SessionLock());
    return GetExpiry();
}

void TCGISessionVariables::Clear() {
    std::lock_guard<TCriticalSection> lk(SessionLock());
    const int i = IndexOfCurrent();
    if (i < 0) throw Exception("No Session started");
    TSessionEntry* entry = EntryAt(i);
    RemoveObjects(entry, this, OnRemoveSessionObject);
    entry->Variables.Clear();
    if (FileBasedActive > 0) {
        // The clearing record replaces the whole content of a file that is there: what
        // followed it were the variables just cleared.
        std::unique_ptr<TStream> f = SessionFileExists(SessionFileName) ? OpenSessionFile(fmCreate) : nullptr;
        if (f) {
            std::string marker = FCipher.Encrypt(UrlEncode(FCipher.Encrypt(std::string(1, '\x03'))) + '\0');
            f->WriteBuffer(marker.data(), static_cast<int64_t>(marker.size()));
            CloseSessionFile(std::move(f));
        }
        Saved = false;
    }
}

void TCGISessionVariables::ClearLocked() {
    std::lock_guard<TCriticalSection> lk(SessionLock());
    Clear();
}

void TCGISessionVariables::ExpireSessions(TDateTime Before) {
    std::lock_guard<TCriticalSection> lk(SessionLock());
    if (!GSessions) return;
    THttpEngine* pe = ProcessEngine();
    for (int i = GSessions->Count() - 1; i >= 0; --i) {
        TSessionEntry* entry = EntryAt(i);
        if (Before != 0 && !(entry->Expiry < Before)) continue;
        if (pe) RemoveObjects(entry, this, pe->OnRemoveSessionObject);
        delete entry;
        GSessions->Delete(i);
    }
}

void TCGISessionVariables::SaveSession() {
    std::lock_guard<TCriticalSection> lk(SessionLock());
    const int i = IndexOfCurrent();
    if (i < 0) return;
    std::unique_ptr<TStream> f = OpenSessionFile(fmCreate);
    if (!f) {
        WriteLog("Session file not written: " + SessionFileName);
        return;
    }
    const TStringList& vars = EntryAt(i)->Variables;
    for (int v = 0; v < vars.Count(); ++v) {
        const std::string record = UrlEncode(FCipher.Encrypt('\x01' + vars.Get(v))) + '\0';
        f->WriteBuffer(record.data(), static_cast<int64_t>(record.size()));
    }
    if (!CloseSessionFile(std::move(f))) {
        WriteLog("Session file not written: " + SessionFileName);
        return;
    }
    Saved = true;
}

std::unique_ptr<TStream> TCGISessionVariables::OpenSessionFile(uint16_t Mode) {
    if (SessionFileName.empty()) return nullptr;
    struct stat st {};
    if (Mode == fmCreate) {
        // A new file beside it, readable by the owner only. Only a file is replaced: a pipe,
        // a device, a folder or a link at the name is not the session's.
        if (::lstat(SessionFileName.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return nullptr;
        std::string name = SessionFileName + ".XXXXXX";
        const int fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd < 0) return nullptr;
        return std::make_unique<TSessionFileStream>(fd, name);
    }
    const int access = (Mode & 3) == fmOpenWrite       ? O_WRONLY
                       : (Mode & 3) == fmOpenReadWrite ? O_RDWR
                                                       : O_RDONLY;
    const int fd = OsOpenFileOnly(SessionFileName, access | O_NOFOLLOW);
    if (fd < 0) return nullptr;
    return std::make_unique<TSessionFileStream>(fd);
}

bool TCGISessionVariables::CloseSessionFile(std::unique_ptr<TStream> Stream) {
    if (!Stream) return false;
    auto* h = dynamic_cast<TSessionFileStream*>(Stream.get());
    if (!h) return true;
    FileSetDate(h->Handle(), GetExpiryLocked());
    return !h->IsNew() || h->PutInPlaceOf(SessionFileName);
}

TCGISessionVariables* StartRequestSession(THttpEngine* Engine, const std::string& Name, TDateTime Expiry,
                                          const std::string& FileName) {
    auto v = std::make_unique<TCGISessionVariables>(Engine ? Engine->OnRemoveSessionObject
                                                           : TRemoveSessionObjectEvent{});
    if (Engine) v->Cipher().SetKey(Engine->CGISession()->EncryptionKey());
    {
        std::lock_guard<TCriticalSection> lk(SessionLock());
        // Another request may have freed every session meanwhile (ReleaseRequest(true)).
        TStringList& list = SessionList();
        int i = list.IndexOf(Name);
        if (i < 0) i = list.AddObject(Name, new TSessionEntry);
        EntryAt(i)->Expiry = Expiry;
    }
    v->CurrentSessionName = Name;
    if (!FileName.empty()) {
        v->SessionFileName = FileName;
        v->FileBasedActive = 1;
        v->Saved = false;
    }
    TCGISessionVariables* result = v.get();
    RequestContext().SessionVariables = std::move(v);
    return result;
}

void ClearSession() {
    if (auto* v = dynamic_cast<TCGISessionVariables*>(RequestContext().SessionVariables.get()))
        v->ClearLocked();
}

int SessionCount() {
    std::lock_guard<TCriticalSection> lk(SessionLock());
    return GSessions ? GSessions->Count() : 0;
}
