// The web engine: request lifecycle, per-thread request state, buffered response,
// error pages, the log file and process termination.
#include "web/HttpEng.h"

#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>

#include "platform/framework/Application.h"
#include "platform/rtl/SyncObjs.h"

namespace {

std::atomic<THttpEngine*> GProcessEngine{nullptr};
// Requests started in this process.
std::atomic<int32_t> GRequestCounter{0};

std::mutex GHooksMutex;
std::function<void()> GExpireAllSessions;

// Files that must not outlive the process (upload temp files of the requests in progress on
// every thread, a server-mode client's exchange files), in a table that a signal handler
// may read: the watchdogs and the end signals delete them. A slot is free (0), being
// written (1) or holds a name (2). A longer name or a full table leaves a file to its
// owner's own clean-up alone.
constexpr int MaxTrackedTempFiles = 128;
constexpr size_t MaxTrackedTempName = 1024;
struct TTempFileSlot {
    std::atomic<int> State{0};
    char Name[MaxTrackedTempName];
};
TTempFileSlot GTempFileSlots[MaxTrackedTempFiles];
static_assert(std::atomic<int>::is_always_lock_free);
// Files being made under a TTrackedFileCreation, and whether an end signal has come.
std::atomic<int> GTrackedFilesBeingMade{0};
std::atomic<bool> GEndSignalled{false};

// The signals that end a CGI program, as its web server sends them.
constexpr int EndSignalNumbers[] = {SIGTERM, SIGINT, SIGHUP};

sigset_t EndSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : EndSignalNumbers) sigaddset(&set, sig);
    return set;
}

// The end signals of a CGI program: its tracked files go, then the signal ends it as it
// would have.
void OnEndSignal(int Signal) {
    GEndSignalled.store(true);
    DeleteTrackedTempFiles();
    ::signal(Signal, SIG_DFL);
    ::raise(Signal);
}

// The engine whose HandleException the application object calls (its last-created engine).
std::atomic<THttpEngine*> GExceptionHandlerEngine{nullptr};

// Serialises the request events of a library in ServerMode. Created on first use
// (thread-safe), freed at unit end.
TCriticalSection& ServerModeLock() {
    static TCriticalSection lock;
    return lock;
}

int32_t NewRequestId() {
    static std::mutex m;
    static std::mt19937 gen{std::random_device{}()};
    std::lock_guard<std::mutex> lk(m);
    return std::uniform_int_distribution<int32_t>(0, 9999)(gen);
}

// Sets a flag for the lifetime of a scope.
class TFlagScope {
public:
    explicit TFlagScope(bool& f) : FFlag(f) { FFlag = true; }
    ~TFlagScope() { FFlag = false; }

private:
    bool& FFlag;
};

// The text of an exception that is no Exception or std::exception.
const char* const UnknownExceptionText = "Unknown exception";

const char* const DebugRule = "(************************)";

std::string DebugBanner(const char* title) {
    return std::string("\r\n") + DebugRule + "\r\n" + title + "\r\n" + DebugRule;
}

void ReportSafely(THttpEngine* engine, const Exception& E) {
    try {
        engine->ReportException(E);
    } catch (const std::exception& e) {
        // The error page itself failed (the client went away): the log keeps both.
        WriteLog("Unhandled Exception: " + std::string(e.what()));
    } catch (...) {
        WriteLog("Unhandled Exception: " + std::string(UnknownExceptionText));
    }
}

}  // namespace

void SetExpireAllSessionsHook(std::function<void()> Hook) {
    std::lock_guard<std::mutex> lk(GHooksMutex);
    GExpireAllSessions = std::move(Hook);
}

THttpEngine* ProcessEngine() {
    return GProcessEngine.load();
}
void SetProcessEngine(THttpEngine* Engine) {
    GProcessEngine.store(Engine);
}

// ---- TRequestContext

TRequestContext::TRequestContext() {
    FormFields.SetSorted(true);
    RequestId = NewRequestId();
}

TRequestContext::~TRequestContext() {
    try {
        ReleaseRequestObjects();
    } catch (...) {
    }
}

TRequestContext& RequestContext() {
    thread_local TRequestContext context;
    return context;
}

void TRequestContext::ReleaseRequestObjects() {
    std::exception_ptr error;
    if (SessionVariables) {
        std::unique_ptr<TRequestSessionStore> s = std::move(SessionVariables);
        try {
            s->ReleaseRequest(false);
        } catch (...) {
            error = std::current_exception();
        }
    }
    if (InStream != OutStream) delete InStream;
    delete OutStream;
    InStream = nullptr;
    OutStream = nullptr;
    ClientInput.reset();
    UserLog.reset();
    Variables.reset();
    FormFields.Clear();
    for (int i = 0; i < TempFiles.Count(); ++i) {
        ::unlink(TempFiles.Get(i).c_str());
        ForgetTempFile(TempFiles.Get(i));
    }
    TempFiles.Clear();
    Headers.Clear();
    Buffer.Clear();
    RedirectStreams.clear();
    if (error) std::rethrow_exception(error);
}

void TrackTempFile(const std::string& Name) {
    if (Name.size() >= MaxTrackedTempName) return;
    for (TTempFileSlot& slot : GTempFileSlots) {
        int free = 0;
        if (!slot.State.compare_exchange_strong(free, 1)) continue;
        std::memcpy(slot.Name, Name.c_str(), Name.size() + 1);
        slot.State.store(2);
        return;
    }
}

void ForgetTempFile(const std::string& Name) {
    for (TTempFileSlot& slot : GTempFileSlots) {
        if (slot.State.load() != 2 || Name != slot.Name) continue;
        int held = 2;
        if (slot.State.compare_exchange_strong(held, 1)) {
            slot.State.store(0);
            return;
        }
    }
}

TTrackedFileCreation::TTrackedFileCreation() {
    const sigset_t ends = EndSignals();
    pthread_sigmask(SIG_BLOCK, &ends, &FPrevious);
    // Announced before the end is asked: either a handler sees the file coming and waits
    // for it, or this sees the end and makes none.
    GTrackedFilesBeingMade.fetch_add(1);
    FAllowed = !GEndSignalled.load();
}

TTrackedFileCreation::~TTrackedFileCreation() {
    GTrackedFilesBeingMade.fetch_sub(1);
    pthread_sigmask(SIG_SETMASK, &FPrevious, nullptr);
}

// Async-signal-safe: atomics, nanosleep and unlink only.
void DeleteTrackedTempFiles() {
    while (GTrackedFilesBeingMade.load() > 0) {
        timespec pause{0, 100000};
        ::nanosleep(&pause, nullptr);
    }
    for (TTempFileSlot& slot : GTempFileSlots) {
        int held = 2;
        if (!slot.State.compare_exchange_strong(held, 1)) continue;
        ::unlink(slot.Name);
        slot.State.store(0);
    }
}

void DeleteTempFilesOnEndSignals() {
    struct sigaction sa {};
    sa.sa_handler = OnEndSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : EndSignalNumbers) ::sigaction(sig, &sa, nullptr);
}

void TRequestContext::Reset() {
    try {
        ReleaseRequestObjects();
    } catch (const std::exception& e) {
        WriteLog("Unhandled Exception: " + std::string(e.what()));
    }
    HeadersSent = false;
    BodySent = false;
    ContentLengthAdded = -1;
    PlainTextDebug = false;
    PlainTextDebugStarted = false;
    ServerLockEntered = false;
    InFlush = false;
    EndRequestDone = false;
    Terminating = false;
    Reporting = false;
    AnswerLost = false;
}

// ---- TAllowedMethods

void TAllowedMethods::SetGet(bool v) {
    FGet = v;
    THttpEngine* pe = ProcessEngine();
    if (pe && pe->AllowedMethods() && pe->AllowedMethods() != this && pe->AllowedMethods()->Get() != v)
        pe->AllowedMethods()->SetGet(v);
}

void TAllowedMethods::SetPut(bool v) {
    FPut = v;
    THttpEngine* pe = ProcessEngine();
    if (pe && pe->AllowedMethods() && pe->AllowedMethods() != this && pe->AllowedMethods()->Put() != v)
        pe->AllowedMethods()->SetPut(v);
}

void TAllowedMethods::SetPost(bool v) {
    FPost = v;
    THttpEngine* pe = ProcessEngine();
    if (pe && pe->AllowedMethods() && pe->AllowedMethods() != this && pe->AllowedMethods()->Post() != v)
        pe->AllowedMethods()->SetPost(v);
}

void TAllowedMethods::Assign(TPersistent* Source) {
    if (auto* s = dynamic_cast<TAllowedMethods*>(Source)) {
        SetGet(s->Get());
        SetPut(s->Put());
        SetPost(s->Post());
        return;
    }
    TPersistent::Assign(Source);
}

// ---- TSessionProperties

namespace {
TSessionProperties* ForwardSession(const TSessionProperties* self) {
    THttpEngine* pe = ProcessEngine();
    if (!pe || !pe->CGISession() || pe->CGISession() == self) return nullptr;
    return pe->CGISession();
}
}  // namespace

void TSessionProperties::SetSessionName(const std::string& v) {
    FSessionName = v;
    if (auto* t = ForwardSession(this); t && t->SessionName() != v) t->SetSessionName(v);
}

void TSessionProperties::SetSessionType(TSessionType v) {
    FSessionType = v;
    if (auto* t = ForwardSession(this); t && t->SessionType() != v) t->SetSessionType(v);
}

void TSessionProperties::SetFileBased(bool v) {
    FFileBased = v;
    // A session for all applications must live in a file.
    if (!v && FVisibility == AllApplications) SetVisibility(ThisApplication);
    if (auto* t = ForwardSession(this); t && t->FileBased() != v) t->SetFileBased(v);
}

void TSessionProperties::SetVisibility(TSessionVisibility v) {
    FVisibility = v;
    if (v == AllApplications && !FFileBased) SetFileBased(true);
    if (auto* t = ForwardSession(this); t && t->Visibility() != v) t->SetVisibility(v);
}

void TSessionProperties::SetEncryptionKey(const std::string& v) {
    FEncryptionKey = v;
    if (auto* t = ForwardSession(this); t && t->EncryptionKey() != v) t->SetEncryptionKey(v);
}

void TSessionProperties::Assign(TPersistent* Source) {
    if (auto* s = dynamic_cast<TSessionProperties*>(Source)) {
        SetSessionName(s->SessionName());
        SetEncryptionKey(s->EncryptionKey());
        SetVisibility(s->Visibility());
        SetSessionType(s->SessionType());
        SetFileBased(s->FileBased());
        return;
    }
    TPersistent::Assign(Source);
}

// ---- THttpEngine: construction

THttpEngine::THttpEngine(TComponent* AOwner) : TComponent(AOwner) {
    if (!HasState(csDesigning)) SetProcessEngine(this);
    FCGISession = new TSessionProperties;
    FCGISession->SetSessionName("Default");
    FCGISession->SetEncryptionKey(DefaultEncryptionKey);
    FCGISession->SetVisibility(AllApplications);
    FCGISession->SetSessionType(sPrivateCookie);
    FCGISession->SetFileBased(true);
    FAllowedMethods = new TAllowedMethods;
    if (!HasState(csDesigning)) {
        // Whatever escapes to the application object ends the process with a log line, and a
        // CGI program never shows its main form.
        Application()->OnException = [this](TObject* Sender, const Exception& E) {
            HandleException(Sender, E);
        };
        Application()->ShowMainForm = false;
        GExceptionHandlerEngine.store(this);
    }
}

THttpEngine::~THttpEngine() {
    // The application object must not call into a freed engine.
    THttpEngine* handler = this;
    if (GExceptionHandlerEngine.compare_exchange_strong(handler, nullptr))
        Application()->OnException = nullptr;
    if (!HasState(csDesigning) && ProcessEngine()) {
        try {
            THttpEngine* pe = ProcessEngine();
            if (IsLibraryProcess() && FCGIMode != NormalMode && OnLastExecRequest)
                OnLastExecRequest(pe->Owner());
            std::function<void()> expire;
            {
                std::lock_guard<std::mutex> lk(GHooksMutex);
                expire = GExpireAllSessions;
            }
            if (expire) expire();
        } catch (const std::exception& e) {
            WriteLog("Unhandled Exception: " + std::string(e.what()));
        } catch (...) {
            // A library's engine goes when its host unloads it: nothing may reach the host.
            WriteLog("Unhandled Exception: " + std::string(UnknownExceptionText));
        }
        // Only this engine is forgotten: another process engine stays valid.
        THttpEngine* self = this;
        GProcessEngine.compare_exchange_strong(self, nullptr);
    }
    delete FCGISession;
    delete FAllowedMethods;
    FCGISession = nullptr;
    FAllowedMethods = nullptr;
}

void THttpEngine::Loaded() {
    TComponent::Loaded();
}

THttpEngine* THttpEngine::ForwardTarget() const {
    THttpEngine* pe = ProcessEngine();
    return pe && pe != this ? pe : nullptr;
}

// ---- Setters: each passes the value on to the process engine when that is another object.

void THttpEngine::SetOnResponseReady(TResponseReadyEvent v) {
    OnResponseReady = v;
    if (auto* t = ForwardTarget()) t->SetOnResponseReady(v);
}
void THttpEngine::SetOnExecRequest(TExecRequestEvent v) {
    OnExecRequest = v;
    if (auto* t = ForwardTarget()) t->SetOnExecRequest(v);
}
void THttpEngine::SetOnFirstExecRequest(TFirstExecRequestEvent v) {
    OnFirstExecRequest = v;
    if (auto* t = ForwardTarget()) t->SetOnFirstExecRequest(v);
}
void THttpEngine::SetOnLastExecRequest(TLastExecRequestEvent v) {
    OnLastExecRequest = v;
    if (auto* t = ForwardTarget()) t->SetOnLastExecRequest(v);
}
void THttpEngine::SetOnPrepareRequest(TPrepareRequestEvent v) {
    OnPrepareRequest = v;
    if (auto* t = ForwardTarget()) t->SetOnPrepareRequest(v);
}
void THttpEngine::SetOnRequestError(TRequestErrorEvent v) {
    OnRequestError = v;
    if (auto* t = ForwardTarget()) t->SetOnRequestError(v);
}
void THttpEngine::SetOnUploadPrepareFile(TUploadPrepareFileEvent v) {
    OnUploadPrepareFile = v;
    if (auto* t = ForwardTarget()) t->SetOnUploadPrepareFile(v);
}
void THttpEngine::SetOnRemoveSessionObject(TRemoveSessionObjectEvent v) {
    OnRemoveSessionObject = v;
    if (auto* t = ForwardTarget()) t->SetOnRemoveSessionObject(v);
}
void THttpEngine::SetAutoContentType(const std::string& v) {
    FAutoContentType = v;
    if (auto* t = ForwardTarget()) t->SetAutoContentType(v);
}
void THttpEngine::SetAutoHttpHeader(bool v) {
    FAutoHttpHeader = v;
    if (auto* t = ForwardTarget()) t->SetAutoHttpHeader(v);
}
void THttpEngine::SetAutoReadInput(bool v) {
    FAutoReadInput = v;
    if (auto* t = ForwardTarget()) t->SetAutoReadInput(v);
}
void THttpEngine::SetTrimFields(bool v) {
    FTrimFields = v;
    if (auto* t = ForwardTarget()) t->SetTrimFields(v);
}
void THttpEngine::SetAutoReadLimit(int32_t v) {
    FAutoReadLimit = v;
    if (auto* t = ForwardTarget()) t->SetAutoReadLimit(v);
}
void THttpEngine::SetCGIMode(TCGIMode v) {
    FCGIMode = v;
    if (auto* t = ForwardTarget()) t->SetCGIMode(v);
}
void THttpEngine::SetDebugMode(TDebugMode v) {
    FDebugMode = v;
    if (auto* t = ForwardTarget()) t->SetDebugMode(v);
}
void THttpEngine::SetNoCache(bool v) {
    FNoCache = v;
    if (auto* t = ForwardTarget()) t->SetNoCache(v);
}
void THttpEngine::SetTempDir(const std::string& v) {
    FTempDir = v;
    if (auto* t = ForwardTarget()) t->SetTempDir(v);
}
void THttpEngine::SetSessionName(const std::string& v) {
    FCGISession->SetSessionName(v);
}
void THttpEngine::SetBufferedOutput(bool v) {
    FBufferedOutput = v;
}

// ---- Request lifecycle

void THttpEngine::BeforeRequest() {}
void THttpEngine::Run() {}

void THttpEngine::ProcessRequest(TStream* InStream, TStream* OutStream, TStrings* Variables) {
    TRequestContext& C = RequestContext();
    C.Reset();
    SetProcessEngine(this);
    C.InStream = InStream;
    C.OutStream = OutStream;
    C.Variables.reset(Variables);
    C.RequestId = NewRequestId();
    try {
        BeforeRequest();
        if (FDebugMode != NoDebug) {
            C.ClientInput = std::make_unique<TMemoryStream>();
            C.UserLog = std::make_unique<TMemoryStream>();
            if (FDebugMode == DebugAlways) StartPlainTextDebug();
        }
        if (OnPrepareRequest) OnPrepareRequest(this);
        if (FAutoReadInput) ReadInput(&C.FormFields);
        if (FCGIMode == ServerMode && IsLibraryProcess()) {
            ServerModeLock().Enter();
            C.ServerLockEntered = true;
        }
        if (++GRequestCounter == 1 && OnFirstExecRequest) OnFirstExecRequest(this);
        if (OnExecRequest) OnExecRequest(this);
        if (!IsLibraryProcess() && FCGIMode == NormalMode && OnLastExecRequest) OnLastExecRequest(this);
        if (!IsConsoleProcess()) AddContentLength();
    } catch (Exception& E) {
        HandleRequestError(E);
    } catch (const std::exception& e) {
        Exception E(e.what());
        HandleRequestError(E);
    } catch (...) {
        // Nothing may leave a request: a host calling through a C interface would die of it.
        Exception E(UnknownExceptionText);
        HandleRequestError(E);
    }
    if (!IsConsoleProcess()) {
        // Only a request that entered the lock leaves it.
        if (C.ServerLockEntered) {
            C.ServerLockEntered = false;
            ServerModeLock().Leave();
        }
        try {
            EndRequest();
        } catch (const Exception& E) {
            ReportSafely(this, E);
        } catch (const std::exception& e) {
            ReportSafely(this, Exception(e.what()));
        } catch (...) {
            ReportSafely(this, Exception(UnknownExceptionText));
        }
    }
    // A console program ends its request later, through Terminate.
}

void THttpEngine::HandleRequestError(Exception& E) {
    if (OnRequestError) {
        // The application's page replaces the built-in one; the log still gets the error.
        WriteLog("Unhandled Exception: " + E.Message());
        try {
            OnRequestError(this, E);
        } catch (const Exception& E2) {
            ReportSafely(this, E2);
        } catch (const std::exception& e) {
            ReportSafely(this, Exception(e.what()));
        } catch (...) {
            ReportSafely(this, Exception(UnknownExceptionText));
        }
    } else {
        ReportSafely(this, E);
    }
}

// Content-Length of the buffered body, counting the WML prologue that Flush will put in
// front of it.
void THttpEngine::AddContentLength() {
    TRequestContext& C = RequestContext();
    if (!FAutoHttpHeader || C.BodySent || C.Buffer.Size() == 0 || !C.Headers.Values("content-length").empty())
        return;
    int64_t length = C.Buffer.Size();
    if (PrologueWillBeWritten()) length += static_cast<int64_t>(WmlPrologue().size());
    SetHeader("content-length", IntToStr(length));
    SetHeader("Connection", "Keep-Alive");
    C.ContentLengthAdded = length;
}

// The response-ready handler changed the body by Delta bytes: the length the engine gave
// follows, unless the handler wrote one of its own.
void THttpEngine::AdjustContentLength(int64_t Delta) {
    TRequestContext& C = RequestContext();
    const int own = C.Headers.IndexOfName("content-length");
    if (Delta == 0 || C.ContentLengthAdded < 0 || own < 0 || C.BodySent ||
        C.Headers.ValueFromIndex(own) != IntToStr(C.ContentLengthAdded))
        return;
    C.ContentLengthAdded += Delta;
    C.Headers.Put(own, "content-length=" + IntToStr(C.ContentLengthAdded));
}

void THttpEngine::EndRequest() {
    TRequestContext& C = RequestContext();
    if (C.EndRequestDone) return;
    C.EndRequestDone = true;
    if (IsConsoleProcess() && !IsLibraryProcess()) AddContentLength();
    if (C.PlainTextDebug) WriteLn("");
    std::exception_ptr error;
    if (C.OutStream) {
        // A session that cannot be saved (a full disk) does not keep the answer from the
        // client: it goes out, and the failure is raised after.
        try {
            if (C.SessionVariables) {
                std::unique_ptr<TRequestSessionStore> s = std::move(C.SessionVariables);
                s->ReleaseRequest(false);
            }
        } catch (...) {
            error = std::current_exception();
        }
        // An exception of the response-ready handler's does not keep the answer from the
        // client.
        const int64_t counted = C.Buffer.Size();
        try {
            if (OnResponseReady) OnResponseReady(this, &C.Headers, &C.Buffer);
        } catch (...) {
            if (!error) error = std::current_exception();
        }
        try {
            AdjustContentLength(C.Buffer.Size() - counted);
            Flush();
        } catch (...) {
            if (!error) error = std::current_exception();
        }
    }
    // Whether or not there was anything to send, the request's objects and upload files go.
    try {
        C.ReleaseRequestObjects();
    } catch (...) {
        if (!error) error = std::current_exception();
    }
    if (error) std::rethrow_exception(error);
}

void THttpEngine::Terminate() {
    TerminateEngineProcess();
}

void TerminateEngineProcess() {
    TRequestContext& C = RequestContext();
    if (C.Terminating) return;
    C.Terminating = true;
    THttpEngine* pe = ProcessEngine();
    // Whatever fails, the rest of the end still runs; the first failure is raised at the end.
    std::exception_ptr error;
    if (pe && C.OutStream) {
        try {
            pe->Flush();
        } catch (...) {
            error = std::current_exception();
        }
        // A GUI program ends its request in ProcessRequest (or through the CGI engine's own
        // EndRequest); a console program and a library end it here.
        bool endedElsewhere =
            !IsLibraryProcess() && !IsConsoleProcess() && (!pe->IsCGIEngine() || pe->CGIAutoTerminate());
        try {
            if (!endedElsewhere) pe->EndRequest();
        } catch (...) {
            if (!error) error = std::current_exception();
        }
    }
    StopReadingWatchdog();
    if (C.SessionVariables) {
        std::unique_ptr<TRequestSessionStore> s = std::move(C.SessionVariables);
        try {
            s->ReleaseRequest(false);
        } catch (...) {
            if (!error) error = std::current_exception();
        }
    }
    // The quit request is all: the utility unit's termination level is 1.
    if (!IsLibraryProcess()) Application()->Terminate();
    if (error) std::rethrow_exception(error);
}

// ---- Response

void THttpEngine::SetHeader(const std::string& Name, const std::string& Value) {
    TRequestContext& C = RequestContext();
    // The list holds the header as it will go, so that the checks of Flush see what is sent.
    const std::string name = StripControlBytes(Name);
    std::string line = name + "=" + StripControlBytes(Value);
    std::string upper = UpperCase(name);
    if (upper.rfind("HTTP/", 0) == 0 || upper.rfind("STATUS", 0) == 0)
        C.Headers.Insert(0, line);
    else
        C.Headers.Add(line);
}

void THttpEngine::ClearOutput() {
    TRequestContext& C = RequestContext();
    C.Headers.Clear();
    C.Buffer.Clear();
}

bool THttpEngine::PrologueWillBeWritten() {
    TRequestContext& C = RequestContext();
    if (C.HeadersSent || !FAutoHttpHeader || C.Buffer.Size() < 6) return false;
    if (!IsWapClient() || !OutputIsWml()) return false;
    return std::memcmp(C.Buffer.Memory(), "<?xml ", 6) != 0;
}

void THttpEngine::SendToOutput(const std::function<void()>& Send) {
    TRequestContext& C = RequestContext();
    if (C.AnswerLost) return;
    try {
        Send();
    } catch (const EWriteError& E) {
        // The client or the web server went away: the request ends as usual, unanswered.
        // (A nested send may have found it out first.)
        if (!C.AnswerLost) WriteLog("Response not sent: " + E.Message());
        C.AnswerLost = true;
    }
}

void THttpEngine::WriteToOutput(const std::string& Bytes) {
    TRequestContext& C = RequestContext();
    if (!C.OutStream || Bytes.empty()) return;
    SendToOutput([&] { C.OutStream->WriteBuffer(Bytes.data(), static_cast<int64_t>(Bytes.size())); });
}

void THttpEngine::Flush() {
    TRequestContext& C = RequestContext();
    // Flush never runs inside itself (a handler or a stream copy calling back).
    if (C.InFlush) return;
    TFlagScope inFlush(C.InFlush);

    if (FAutoHttpHeader && !C.HeadersSent && !C.BodySent && C.Headers.Values("location").empty()) {
        // A status line of the application's own is a header whose name begins with HTTP/;
        // a value with a line break before "HTTP/" is none (its break is stripped when sent).
        bool status = false;
        for (int i = 0; i < C.Headers.Count() && !status; ++i)
            status = UpperCase(C.Headers.Get(i)).rfind("HTTP/", 0) == 0;
        if (!status) SetHeader(std::string(HttpVersionText) + " 200 OK", "");
        if (C.Headers.Values("content-type").empty())
            SetHeader("content-type", IsWapClient() && OutputIsWml() ? "text/vnd.wap.wml" : FAutoContentType);
        if (FNoCache) {
            SetHeader("Pragma", "no-cache");
            SetHeader("Cache-Control", "no-cache");
            // Only "Expires": a header name with a blank in it makes common web servers
            // refuse the program's whole answer.
            SetHeader("Expires", HttpDate(Now() - 1000));
        }
    }
    // Headers queued once the body has begun would land in it: they go with the rest.
    if (!C.HeadersSent && !C.BodySent && (C.Headers.Count() > 0 || FAutoHttpHeader)) {
        bool prologue = PrologueWillBeWritten();
        SendHeaders();
        if (prologue) WriteToOutput(WmlPrologue());
    }
    if (C.PlainTextDebug) {
        auto append = [&](TMemoryStream* s) {
            if (s && s->Size() > 0) WriteBuffer(s->Memory(), static_cast<int32_t>(s->Size()));
        };
        WriteLn("(*** END ***)");
        WriteLn(DebugBanner("(***    User Log      ***)"));
        append(C.UserLog.get());
        WriteLn(DebugBanner("(***   Client input   ***)"));
        append(C.ClientInput.get());
        WriteLn(DebugBanner("(*** Server variables ***)"));
        WriteLn(C.Variables ? C.Variables->Text() : "");
        C.PlainTextDebug = false;
    }
    if (C.Buffer.Size() > 0) {
        if (C.OutStream) SendToOutput([&] { C.OutStream->WriteBuffer(C.Buffer.Memory(), C.Buffer.Size()); });
        C.BodySent = true;
    }
    C.Headers.Clear();
    C.Buffer.Clear();
}

void THttpEngine::SendHeaders() {
    TRequestContext& C = RequestContext();
    SendToOutput([&] {
        for (int i = 0; i < C.Headers.Count(); ++i) {
            const std::string& line = C.Headers.Get(i);
            size_t eq = line.find('=');
            // CR and LF would let a value start a header of its own (the application may
            // have filled the list itself).
            std::string name = StripControlBytes(line.substr(0, eq));
            std::string value = eq == std::string::npos ? "" : StripControlBytes(line.substr(eq + 1));
            if (C.PlainTextDebug) {
                std::string text = value.empty() ? name : name + ": " + value;
                WriteToOutput(text + "\r\n");
                WriteLog(text);
            } else {
                SendHeaderLine(name, value);
            }
        }
        C.Headers.Clear();
        C.HeadersSent = true;
        EndHeaders();
    });
}

void THttpEngine::Write(const std::string& Text) {
    if (Text.empty()) return;
    TRequestContext& C = RequestContext();
    if (!C.RedirectStreams.empty()) {
        C.RedirectStreams.back()->WriteBuffer(Text.data(), static_cast<int64_t>(Text.size()));
        return;
    }
    C.Buffer.Seek(0, soEnd);
    C.Buffer.WriteBuffer(Text.data(), static_cast<int64_t>(Text.size()));
}

void THttpEngine::WriteLn(const std::string& Text) {
    Write(Text + "\r\n");
}

void THttpEngine::WriteBuffer(const void* Buffer, int32_t Count) {
    if (!Buffer || Count <= 0) return;
    TRequestContext& C = RequestContext();
    C.Buffer.Seek(0, soEnd);
    C.Buffer.WriteBuffer(Buffer, Count);
}

void THttpEngine::WriteStream(TStream* Stream) {
    if (!Stream) return;
    const int64_t size = Stream->Size();
    uint8_t chunk[1032];
    for (;;) {
        int64_t n = Stream->Read(chunk, sizeof(chunk));
        if (n <= 0) break;
        WriteBuffer(chunk, static_cast<int32_t>(n));
        // A large stream goes out as it is copied rather than piling up in the buffer.
        if (size > 50000) Flush();
        ProcessPendingMessages();
    }
}

void THttpEngine::SendFile(const std::string& FileName, const std::string& ContentType) {
    std::string type = Trim(ContentType);
    const std::string browser = GetBrowserName();
    if (type.empty()) {
        static const struct {
            const char* ext;
            const char* type;
        } types[] = {
            {".doc", "application/msword"},
            {".pdf", "application/pdf"},
            {".xls", "application/msexcel"},
            {".ppt", "application/ppt"},
            {".txt", "text/plain;charset=us-ascii"},
            {".htm", "text/html"},
            {".html", "text/html"},
            {".gif", "image/gif"},
            {".jpg", "image/jpeg"},
            {".jpeg", "image/jpeg"},
            {".png", "image/png"},
            {".bmp", "image/bmp"},
            {".zip", "application/x-zip-compressed"},
        };
        std::string ext = LowerCase(ExtractFileExt(FileName));
        for (const auto& t : types)
            if (ext == t.ext) type = t.type;
        if (type.empty()) type = browser == "OPERA" ? "application/octet-stream" : "application/binary";
    }
    // Only the file's own name reaches the client, never the server's path.
    const std::string name = ExtractFileName(FileName);
    SetHeader("Content-Type", type);
    SetHeader("Content-Transfer-Encoding", "8bit");
    std::string disposition;
    if (browser == "NETSCAPE" || UpperCase(GetUserAgent()).find("GECKO") != std::string::npos)
        disposition = "attachment; filename=" + name;
    else if (browser == "OPERA")
        disposition = "inline; filename=" + name;
    else
        disposition = "filename=" + name;
    SetHeader("Content-Disposition", disposition);
}

std::string THttpEngine::GetBrowserName() {
    const std::string ua = UpperCase(GetUserAgent());
    auto has = [&](const char* s) { return ua.find(s) != std::string::npos; };
    if (has("OPERA")) return "OPERA";
    if (has("MSIE") || has("MSPIE") || has("INTERNET EXPLORER")) return "MSIE";
    if (has("MOZILLA") && !has("COMPATIBLE")) return "NETSCAPE";
    return "UNKNOWN";
}

bool THttpEngine::IsWapClient() {
    return GetServerVariable("HTTP_ACCEPT").find("text/vnd.wap.wml") != std::string::npos;
}

bool THttpEngine::OutputIsWml() {
    TRequestContext& C = RequestContext();
    const size_t n = static_cast<size_t>(std::min<int64_t>(C.Buffer.Size(), 512));
    std::string_view head(reinterpret_cast<const char*>(C.Buffer.Memory()), n);
    return head.find("<wml>") != std::string_view::npos;
}

std::string WmlPrologue() {
    return "<?xml version=\"1.0\"?>\r\n"
           "<!DOCTYPE wml PUBLIC \"-//WAPFORUM//DTD WML 1.1//EN\" "
           "\"http://www.wapforum.org/DTD/wml_1.1.xml\">"
           "\r\n\r\n";
}

// ---- Debug output and errors

void THttpEngine::StartPlainTextDebug() {
    TRequestContext& C = RequestContext();
    if (C.PlainTextDebugStarted) return;
    C.PlainTextDebugStarted = true;
    TStringList saved(C.Headers);
    C.Headers.Clear();
    SendToOutput([&] {
        SendHeaderLine(std::string(HttpVersionText) + " 200 OK", "");
        SendHeaderLine("content-type", "text/plain");
        EndHeaders();
    });
    C.HeadersSent = false;
    C.Headers = saved;
    C.PlainTextDebug = true;
}

void THttpEngine::ReportException(const Exception& E) {
    TRequestContext& C = RequestContext();
    if (C.Reporting) {
        // Reached again through Flush or Terminate of the report itself: log only.
        WriteLog("Unhandled Exception: " + E.Message());
        return;
    }
    TFlagScope reporting(C.Reporting);
    if (FDebugMode != NoDebug) StartPlainTextDebug();
    ShowUnhandledException(E);
}

void THttpEngine::ShowUnhandledException(const Exception& E) {
    TRequestContext& C = RequestContext();
    WriteLog("Unhandled Exception: " + E.Message());
    if (FDebugMode == NoDebug && !ProcessEngine()) return;
    if (!C.PlainTextDebug) {
        C.Buffer.Clear();
        C.Headers.Clear();
    }
    const bool wap = IsWapClient();
    if (!C.HeadersSent) SetHeader("content-type", wap ? "text/vnd.wap.wml" : "text/html");
    if (!C.PlainTextDebug) {
        const std::string msg = HtmlEscape(E.Message());
        if (wap)
            WriteLn(
                "<wml>\r\n<card id=\"Exception\" newcontext=\"false\" title=\"Server error\">\r\n<p>Error: " +
                msg + "\r\n</p>\r\n</card>\r\n</wml>\r\n");
        else
            WriteLn("<html><body>Unhandled Exception: " + msg + "</body></html>");
    }
    THttpEngine* pe = ProcessEngine();
    if (pe && pe->IsCGIEngine() && pe->CGIMode() == NormalMode) {
        Flush();
        Terminate();
    }
}

void THttpEngine::HandleException(TObject* /*Sender*/, const Exception& E) {
    WriteLog("Unhandled Exception (2) :" + E.Message());
    ExitEngineProcess(0);
}

TRequestSessionStore* THttpEngine::CurrentSession() {
    TRequestContext& C = RequestContext();
    if (!C.SessionVariables) throw Exception("No Session started");
    return C.SessionVariables.get();
}

// ---- Helpers

namespace {

// The length of the well-formed UTF-8 sequence of two to four bytes at Text[At], with its
// code point; 0 when none starts there (overlong forms, surrogates and code points above
// U+10FFFF are not well-formed).
size_t Utf8Sequence(const std::string& Text, size_t At, uint32_t& CodePoint) {
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(Text[i]); };
    const uint8_t lead = byte(At);
    size_t length;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        CodePoint = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        CodePoint = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        CodePoint = lead & 0x07u;
    } else {
        return 0;
    }
    if (At + length > Text.size()) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(At + i) & 0xC0) != 0x80) return 0;
        CodePoint = (CodePoint << 6) | (byte(At + i) & 0x3Fu);
    }
    if (length == 3 && (CodePoint < 0x800 || (CodePoint >= 0xD800 && CodePoint <= 0xDFFF))) return 0;
    if (length == 4 && (CodePoint < 0x10000 || CodePoint > 0x10FFFF)) return 0;
    return length;
}

}  // namespace

std::string HtmlEscape(const std::string& Text) {
    std::string out;
    out.reserve(Text.size());
    for (size_t i = 0; i < Text.size();) {
        uint32_t code = static_cast<uint8_t>(Text[i]);
        size_t length = 1;
        if (code >= 0x80) {
            uint32_t decoded = 0;
            if (const size_t n = Utf8Sequence(Text, i, decoded)) {
                code = decoded;
                length = n;
            }
        }
        if (code == '"' || code == '&' || code == '<' || code == '>' || code >= 160)
            out += "&#" + std::to_string(code) + ";";
        else
            out.append(Text, i, length);
        i += length;
    }
    return out;
}

std::string HttpDate(TDateTime Time) {
    // The local wall-clock time in whole seconds, broken down as if it were UTC...
    const int64_t wall = std::llround((Time - 25569.0) * 86400.0);
    time_t w = static_cast<time_t>(wall);
    struct tm local {};
    gmtime_r(&w, &local);
    // ...then the zone's offset at that local time (daylight saving included).
    local.tm_isdst = -1;
    long offset = 0;
    time_t t = mktime(&local);
    if (t != static_cast<time_t>(-1)) {
        struct tm check {};
        localtime_r(&t, &check);
        offset = check.tm_gmtoff;
    }
    time_t u = static_cast<time_t>(wall - offset);
    struct tm g {};
    gmtime_r(&u, &g);
    static const char days[] = "SunMonTueWedThuFriSat";
    static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    char buf[64];
    std::snprintf(buf, sizeof(buf), "%.3s, %02d %.3s %04d %02d:%02d:%02d GMT", days + 3 * g.tm_wday,
                  g.tm_mday, months + 3 * g.tm_mon, g.tm_year + 1900, g.tm_hour, g.tm_min, g.tm_sec);
    return buf;
}

// One format for every log line, local time with milliseconds: "2026-12-07 04:37:14.123".
std::string LogDateTime() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm lt {};
    localtime_r(&ts.tv_sec, &lt);
    char buf[40];
    std::snprintf(buf, sizeof(buf), "%04d-%02d-%02d %02d:%02d:%02d.%03d", lt.tm_year + 1900, lt.tm_mon + 1,
                  lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec, static_cast<int>(ts.tv_nsec / 1000000));
    return buf;
}

void WriteLog(const std::string& Text) {
    try {
        TRequestContext& C = RequestContext();
        const char* env = std::getenv("CGI_LOG_DIR");
        std::string dir = ModuleRelativeDir(env && *env ? env : "log");
        if (!DirectoryExists(dir) && !ForceDirectories(dir)) dir = ModuleDirectory();
        const std::string file = dir + ChangeFileExt(ExtractFileName(GetModuleFileName()), ".Log");
        const std::string line = LogDateTime() + ",  " + IntToStr(C.RequestId) + " : " + Text + "\r\n";
        // One append of the whole line, so lines of concurrent requests never interleave.
        int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            size_t done = 0;
            while (done < line.size()) {
                ssize_t n = ::write(fd, line.data() + done, line.size() - done);
                if (n <= 0) break;
                done += static_cast<size_t>(n);
            }
            ::close(fd);
        }
        ProcessPendingMessages();
        THttpEngine* pe = ProcessEngine();
        if (pe && pe->DebugMode() != NoDebug && C.UserLog) {
            C.UserLog->Seek(0, soEnd);
            C.UserLog->WriteBuffer(line.data(), static_cast<int64_t>(line.size()));
        }
    } catch (...) {
        // The log never fails a request.
    }
}
