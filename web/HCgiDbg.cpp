// What the CGI engines ask of server mode, and the hooks of the exchange.
#include "web/HCgiDbg.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>

#include "platform/framework/Application.h"
#include "platform/os/Files.h"
#include "platform/rtl/FileDate.h"
#include "platform/rtl/SyncObjs.h"
#include "platform/rtl/Thread.h"
#include "platform/rtl/Tick.h"
#include "web/HUtils.h"
#include "web/HttpEng.h"

extern char** environ;

namespace {

std::mutex GMutex;
std::optional<std::vector<std::string>> GArguments;
TServerModeHooks GHooks;
std::atomic<bool> GServerFlag{false};

std::vector<std::string> ProcessArguments() {
    std::vector<std::string> args;
    std::ifstream f("/proc/self/cmdline", std::ios::binary);
    std::string arg;
    bool first = true;
    while (std::getline(f, arg, '\0')) {
        if (!first) args.push_back(arg);
        first = false;
    }
    return args;
}

}  // namespace

std::vector<std::string> CommandLineArguments() {
    {
        std::lock_guard<std::mutex> lk(GMutex);
        if (GArguments) return *GArguments;
    }
    return ProcessArguments();
}

void SetCommandLineArguments(std::vector<std::string> Args) {
    std::lock_guard<std::mutex> lk(GMutex);
    GArguments = std::move(Args);
}

void SetCommandLineArguments(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    SetCommandLineArguments(std::move(args));
}

void ResetCommandLineArguments() {
    std::lock_guard<std::mutex> lk(GMutex);
    GArguments.reset();
}

bool IsWebRequestEnvironment() {
    return std::getenv("REQUEST_METHOD") != nullptr;
}

bool IsServerInstance() {
    // A process with a request to answer is never the server: under a web server that names
    // itself with "ZB" (taken as no name) or not at all, it would wait for forwarded requests
    // and never answer its own; its arguments come from the query string, never a switch.
    if (IsWebRequestEnvironment()) return false;
    const std::vector<std::string> args = CommandLineArguments();
    if (GetEnvVariable("SERVER_SOFTWARE").empty() && args.empty()) return true;
    return args.size() == 2 && Trim(args[0]) == StartServerSwitch;
}

std::string GetExchangeRoot() {
    return ModuleRelativeDir(DefaultServerDir);
}

std::string GetExchangePrefix() {
    return GetExchangeRoot() + ExtractFileName(GetModuleFileName()) + "_";
}

std::string GetTickFileName() {
    return GetExchangePrefix() + "s";
}

bool ServerFlag() {
    return GServerFlag.load();
}

void SetServerFlag(bool Value) {
    GServerFlag.store(Value);
}

namespace {
int PresenceOf(const std::string& Name);

// Seconds since the file was last written, in points of time: local dates jump at a
// daylight-saving change, when a running server's tick file would look an hour old (or a
// dead one's an hour young). False when there is no such file.
bool SecondsSinceWritten(const std::string& Name, double& Seconds) {
    struct stat st {};
    if (::stat(Name.c_str(), &st) != 0) return false;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    Seconds = double(now.tv_sec - st.st_mtim.tv_sec) + double(now.tv_nsec - st.st_mtim.tv_nsec) / 1e9;
    return true;
}
}  // namespace

bool ServerIsRunning() {
    if (ServerFlag()) return true;
    const std::string tick = GetTickFileName();
    double seconds = 0;
    if (!SecondsSinceWritten(tick, seconds)) return false;
    if (IsConsoleProcess()) return seconds < DebugServerStaleSeconds;
    // A resident server holds its window lock on the tick file for as long as it lives: a
    // fresh tick file without it is a killed server's, which would leave a request waiting
    // out the whole response time (where locks cannot be asked, the date alone decides).
    return seconds < ServerStaleSeconds && PresenceOf(tick) != 0;
}

bool StartResidentServer() {
    const std::string path = GetModuleFileName();
    std::string a0 = path, a1 = StartServerSwitch, a2 = "X";
    char* argv[] = {a0.data(), a1.data(), a2.data(), nullptr};
    // The server's environment must not look like a request.
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        std::string s(*e);
        if (s.rfind("REQUEST_METHOD=", 0) != 0 && s.rfind("SERVER_SOFTWARE=", 0) != 0) env.push_back(s);
    }
    std::vector<char*> envp;
    for (auto& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    // Upper bound of the descriptors to close should close_range be missing.
    struct rlimit limit {};
    const int maxFd = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                          ? static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 1 << 20))
                          : 65536;
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        // Detached and without the web server's pipes (or any other descriptor): a server
        // that held them would keep the client's response open.
        ::setsid();
        const int null = ::open("/dev/null", O_RDWR);
        for (int fd = 0; fd <= 2; ++fd) {
            if (null < 0)
                ::close(fd);
            else if (null != fd)
                ::dup2(null, fd);
        }
        if (::close_range(3, ~0U, 0) != 0)
            for (int fd = 3; fd < maxFd; ++fd) ::close(fd);
        // The quit signals must reach the server whatever this thread had blocked.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(path.c_str(), argv, envp.data());
        ::_exit(127);
    }
    return true;
}

void SetServerModeHooks(TServerModeHooks Hooks) {
    std::lock_guard<std::mutex> lk(GMutex);
    GHooks = std::move(Hooks);
}

TServerModeHooks ServerModeHooks() {
    std::lock_guard<std::mutex> lk(GMutex);
    return GHooks;
}

// ---- The exchange between CGI clients and the resident server
//
// Stand-ins for what the exchange took from Windows:
// - a file held open by its writer or processor cannot be deleted or renamed: exchange
//   files are opened through the os layer's shared files, whose deletes and renames refuse
//   a file another opener holds, so sweeps and claims pass over it;
// - the server's window (found by its title) is a lock the server holds on byte 0 of its
//   tick file; clients probe it;
// - the quit message is a flag set by SIGTERM, SIGINT, SIGHUP and by the application's
//   Terminate;
// - names are matched without regard to case ("_REQ" is written, "*_req" looked for);
// - the exchange directory is 0700 and its files 0600: they hold environments, bodies
//   and credentials.

namespace {

constexpr uint32_t ServerTickInterval = 5000;      // ms between re-datings of the tick file
constexpr uint32_t ClientPollInterval = 50;        // ms
constexpr uint32_t DebugClientPollInterval = 100;  // ms
constexpr uint32_t ServerPollInterval = 50;        // ms
constexpr uint32_t ClientWatchDogInterval = 50;    // ms
constexpr uint32_t ClientWatchDogTimeout = 30000;  // ms
constexpr uint32_t ServerStartWait = 10000;        // ms a client gives a starting server
constexpr uint32_t PendingRequestRedate = 5000;    // ms between re-datings of a waiting request
constexpr int32_t ExchangeSweepSeconds = 900;
constexpr int32_t ExchangeChunk = 1032;
constexpr double OneSecond = 1.0 / 86400.0;
// A date later than every file: "whatever its age".
constexpr TDateTime AnyAge = 1.0e7;

volatile sig_atomic_t GQuitSignal = 0;

void OnQuitSignal(int) {
    GQuitSignal = 1;
}

void InstallQuitSignals() {
    struct sigaction sa {};
    sa.sa_handler = OnQuitSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(sig, &sa, nullptr);
}

// A quit message waits for the application.
bool QuitRequested() {
    return GQuitSignal != 0 || Application()->Terminated();
}

// A stream over a shared file of the os layer; the file stays held until the stream goes.
class TExchangeStream : public TStream {
public:
    explicit TExchangeStream(TOsFile* File) : FFile(File) {}
    int64_t Read(void* Buffer, int64_t Count) override { return FFile->Read(Buffer, Count); }
    int64_t Write(const void* Buffer, int64_t Count) override { return FFile->Write(Buffer, Count); }
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override {
        return FFile->Seek(Offset, Origin == soBeginning ? 0 : Origin == soCurrent ? 1 : 2);
    }
    int64_t Size() override { return FFile->Size(); }

private:
    std::unique_ptr<TOsFile> FFile;
};

// Creates (or empties) an exchange file, readable by the owner only.
std::unique_ptr<TStream> CreateExchangeFile(const std::string& Name) {
    TOsFile* f = TOsFile::Create(Name);
    if (!f) throw EFCreateError("Cannot create file \"" + Name + "\"");
    ::fchmod(f->Handle(), 0600);
    return std::make_unique<TExchangeStream>(f);
}

void MakeExchangeRoot() {
    const std::string root = GetExchangeRoot();
    if (!DirectoryExists(root)) ForceDirectories(root);
    ::chmod(root.c_str(), 0700);
}

// The files whose names match the mask's last component (wildcard '*', any case).
std::vector<std::string> MatchFiles(const std::string& Mask) {
    const size_t slash = Mask.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : Mask.substr(0, slash + 1);
    // Only '*' is a wildcard: other pattern characters in the program's name stand for
    // themselves.
    std::string pattern;
    for (char c : slash == std::string::npos ? Mask : Mask.substr(slash + 1)) {
        if (c == '?' || c == '[' || c == ']' || c == '\\') pattern += '\\';
        pattern += c;
    }
    std::vector<std::string> found;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return found;
    while (dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        if (::fnmatch(pattern.c_str(), e->d_name, FNM_CASEFOLD) != 0) continue;
        const std::string path = (slash == std::string::npos ? "" : dir) + e->d_name;
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) found.push_back(path);
    }
    ::closedir(d);
    std::sort(found.begin(), found.end());
    return found;
}

// Whether a file found with Prefix is one of the exchange's: the tick file, or a request's
// file: address (letters, digits and '-'; "DEBUG" for the console's), '_', at least five hex
// digits, '_', and its kind.
bool IsExchangeName(const std::string& Name, const std::string& Prefix) {
    if (Name.size() <= Prefix.size()) return false;
    const std::string rest = Name.substr(Prefix.size());
    if (SameText(rest, "s")) return true;
    const size_t first = rest.find('_');
    const size_t second = first == std::string::npos ? first : rest.find('_', first + 1);
    if (second == std::string::npos || second - first - 1 < 5) return false;
    auto charsAre = [&](size_t from, size_t to, bool (*ok)(unsigned char)) {
        return std::all_of(rest.begin() + from, rest.begin() + to, [ok](char c) { return ok(c); });
    };
    const std::string kind = rest.substr(second + 1);
    return charsAre(0, first, [](unsigned char c) { return std::isalnum(c) || c == '-'; }) &&
           charsAre(first + 1, second, [](unsigned char c) { return std::isxdigit(c) != 0; }) &&
           (SameText(kind, "TMP") || SameText(kind, "REQ") || SameText(kind, "cnf") ||
            SameText(kind, "ind") || SameText(kind, "rsp"));
}

// The exchange files of Prefix whose names match Prefix + Pattern.
std::vector<std::string> ExchangeFiles(const std::string& Prefix, const std::string& Pattern = "*") {
    std::vector<std::string> found = MatchFiles(Prefix + Pattern);
    std::erase_if(found, [&](const std::string& name) { return !IsExchangeName(name, Prefix); });
    return found;
}

bool ExchangeFileExists(const std::string& Name) {
    return !MatchFiles(Name).empty();
}

// A name spelled in any case, as it stands on disk (the name itself when there is none).
std::string ExistingName(const std::string& Name) {
    std::vector<std::string> m = MatchFiles(Name);
    return m.empty() ? Name : m.front();
}

// A process's presence: a lock on byte 0 of a file, held on the open descriptor and
// released by the kernel when the process ends, however it ends. Runs a lock command on
// that byte; false when it failed.
bool OnPresenceByte(int Fd, int Command, struct flock& Lock) {
    Lock.l_whence = SEEK_SET;
    Lock.l_start = 0;
    Lock.l_len = 1;
    int rc;
    do rc = ::fcntl(Fd, Command, &Lock);
    while (rc == -1 && errno == EINTR);
    return rc == 0;
}

bool TakePresenceLock(int Fd) {
    struct flock fl {};
    fl.l_type = F_RDLCK;
    return OnPresenceByte(Fd, F_OFD_SETLK, fl);
}

// Whether some process holds the presence lock of the file: 1 yes, 0 no (also for what is
// no file: a pipe at the name, whose open would wait for a writer), -1 when it cannot be
// told (no such file, no locks on its file system).
int PresenceOf(const std::string& Name) {
    int fd = OsOpenFileOnly(Name, O_RDONLY);
    if (fd < 0) return errno == ENOENT ? -1 : 0;
    struct flock fl {};
    fl.l_type = F_WRLCK;
    const bool asked = OnPresenceByte(fd, F_OFD_GETLK, fl);
    ::close(fd);
    if (!asked) return -1;
    return fl.l_type != F_UNLCK ? 1 : 0;
}

// The server's window: the presence lock its server holds on the tick file.
bool ServerWindowExists() {
    return PresenceOf(GetTickFileName()) == 1;
}

std::mutex GTickMutex;
int GTickHandle = -1;  // the server's open tick file, holding the window lock

// Creates the tick file dated now; a server also takes its window lock on it.
void CreateTickFile(bool WindowLock) {
    const std::string tick = GetTickFileName();
    // The server's own file: not a pipe, nor a file a link at the name leads to.
    int fd = OsOpenFileOnly(tick, O_RDWR | O_CREAT | O_NOFOLLOW);
    if (fd < 0) throw EFCreateError("Cannot create file \"" + tick + "\"");
    ::fchmod(fd, 0600);
    FileSetDate(fd, Now());
    if (!WindowLock) {
        ::close(fd);
        return;
    }
    TakePresenceLock(fd);
    std::lock_guard<std::mutex> lk(GTickMutex);
    if (GTickHandle >= 0) ::close(GTickHandle);
    GTickHandle = fd;
}

void ReleaseTickFile() {
    std::lock_guard<std::mutex> lk(GTickMutex);
    if (GTickHandle >= 0) ::close(GTickHandle);
    GTickHandle = -1;
}

// Random digits for a request name: at least five hexadecimal digits.
std::string RandomHex() {
    static std::mutex m;
    static std::mt19937 gen{std::random_device{}()};
    std::lock_guard<std::mutex> lk(m);
    return IntToHex(static_cast<int32_t>(std::uniform_int_distribution<int32_t>(0, 0x0FFFFFFE)(gen)), 5);
}

// A request name of Stem no file of the exchange begins with yet.
std::string UniqueRequestName(const std::string& Stem) {
    for (;;) {
        const std::string name = Stem + RandomHex();
        if (MatchFiles(name + "*").empty()) return name;
    }
}

// The client's address as it may appear in a file name.
std::string AddressPart(TStrings* Variables) {
    std::string a = Variables ? Variables->Values("REMOTE_ADDR") : "";
    if (a.empty() && Variables) a = Variables->Values("REMOTE_ADDRESS");
    for (char& c : a)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '-';
    return a;
}

// Claims a request: base + "req" becomes base + "cnf". A request its writer still holds
// is passed over.
bool ClaimRequest(const std::string& RequestName, std::string& Base) {
    Base = RequestName.substr(0, RequestName.size() - 3);
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (OsRenameFile(RequestName, Base + "cnf")) return true;
        if (OsLastError() == ENOENT) return false;
        Sleep(50);
    }
    return false;
}

// Claims the first request of the exchange that can be claimed. One that cannot (held by a
// process that does not let it go, or whose claimed name is taken) is passed over for a
// while (each try costs half a second): the requests after it are served.
using TPassedOver = std::map<std::string, uint32_t>;  // name, tick of the failed claim
bool ClaimNextRequest(const std::string& Prefix, TPassedOver& PassedOver, std::string& Base) {
    constexpr uint32_t PassOverFor = 5000;
    std::erase_if(PassedOver, [](const auto& p) { return TicksSince(p.second) >= PassOverFor; });
    for (const std::string& name : ExchangeFiles(Prefix, "*_req")) {
        if (PassedOver.count(name)) continue;
        if (ClaimRequest(name, Base)) return true;
        if (FileExists(name)) PassedOver[name] = GetTickCount();
    }
    return false;
}

// Reads the variable block of a claimed request; the stream is left at the body.
std::unique_ptr<TStrings> ReadVariableBlock(TStream& Request) {
    std::string text;
    char buffer[512];
    size_t end = std::string::npos;
    for (;;) {
        const int64_t n = Request.Read(buffer, sizeof(buffer));
        if (n <= 0) break;
        // Only where the new bytes can complete the blank line: searching the whole text
        // after each read made a long block cost its length squared.
        const size_t from = text.size() < 3 ? 0 : text.size() - 3;
        text.append(buffer, static_cast<size_t>(n));
        end = text.find("\r\n\r\n", from);
        if (end != std::string::npos) break;
    }
    if (end == std::string::npos) return nullptr;
    Request.Seek(static_cast<int64_t>(end + 4), soBeginning);
    return std::unique_ptr<TStrings>(ParseVariableBlock(text.substr(0, end)));
}

void CopyStream(TStream& From, TStream& To) {
    char buffer[ExchangeChunk];
    for (;;) {
        const int64_t n = From.Read(buffer, sizeof(buffer));
        if (n <= 0) break;
        To.WriteBuffer(buffer, n);
        ProcessPendingMessages();
    }
}

// ---- Client watchdog: ends a client that hangs while it hands its request over.

std::atomic<bool> GClientDeadlineArmed{false};
std::atomic<uint32_t> GClientDeadline{0};

class TWatchDogThread : public TThread {
public:
    TWatchDogThread() : TThread(true) { Resume(); }
    ~TWatchDogThread() override { StopAndJoin(); }

protected:
    void Execute() override {
        while (!Terminated()) {
            Sleep(ClientWatchDogInterval);
            if (GClientDeadlineArmed.load() &&
                static_cast<int32_t>(GetTickCount() - GClientDeadline.load()) > 0) {
                WriteLog("Server mode - client watchdog expired");
                DeleteTrackedTempFiles();
                ExitEngineProcess(0);
                return;
            }
        }
    }
};

void ArmClientWatchdog() {
    GClientDeadline.store(GetTickCount() + ClientWatchDogTimeout);
    GClientDeadlineArmed.store(true);
}

// ---- Server threads

void ServerUnitEnd();
// Every exchange file of the prefix but the answers: an answer written as the server ends is
// its client's to collect (the sweeps take one nobody collects).
void DeleteExchangeFilesButAnswers(const std::string& Prefix);

class TServerTickThread : public TThread {
public:
    TServerTickThread() : TThread(true) { Resume(); }
    ~TServerTickThread() override { Stop(); }
    void Stop() {
        Terminate();
        FWake.SetEvent();
        StopAndJoin();
    }

protected:
    void Execute() override {
        while (!Terminated()) {
            if (FWake.WaitFor(ServerTickInterval) == wrSignaled || Terminated()) break;
            const std::string tick = GetTickFileName();
            // Someone removed the tick file: the server is to stop at once, clearing its
            // files as its unit end does.
            if (!FileExists(tick)) {
                ServerUnitEnd();
                ExitEngineProcess(0);
                return;
            }
            // Through the server's own descriptor: whatever a link at the name leads to
            // is no tick file.
            std::lock_guard<std::mutex> lk(GTickMutex);
            if (GTickHandle >= 0) FileSetDate(GTickHandle, Now());
        }
    }

private:
    TEvent FWake;
};

// One request of a ServerThreadMode server. The server owns it and waits for it before it
// ends: the request uses the server's engine.
class TCGIRequestThread : public TThread {
public:
    TCGIRequestThread(THttpEngine* Engine, std::string Base)
        : TThread(true), FEngine(Engine), FBase(std::move(Base)) {
        Resume();
    }
    ~TCGIRequestThread() override { StopAndJoin(); }

protected:
    void Execute() override {
        try {
            ServerRunRequestFile(FEngine, FBase);
        } catch (const std::exception& e) {
            WriteLog(std::string("Server loop: ") + e.what());
        } catch (...) {
            WriteLog("Server loop: Unknown exception");
        }
    }

private:
    THttpEngine* FEngine;
    std::string FBase;
};

// Unit end of a server instance: its files go.
void ServerUnitEnd() {
    if (!ServerFlag()) return;
    if (IsConsoleProcess()) {
        DeleteStaleFiles(GetTickFileName(), AnyAge);
    } else {
        DeleteExchangeFilesButAnswers(GetExchangePrefix());
        DeleteExchangeFiles(GetModuleFileName() + "_", AnyAge);
    }
    ReleaseTickFile();
    SetServerFlag(false);
}

struct TServerModeUnit {
    TServerModeUnit() {
        TServerModeHooks h;
        h.ForwardRequestToServer = ForwardRequestToServer;
        h.ForwardRequestToDebugServer = ForwardRequestToDebugServer;
        h.DebugServerWaitRequest = DebugServerWaitRequest;
        h.ServerMainLoop = ServerMainLoop;
        SetServerModeHooks(std::move(h));
    }
    ~TServerModeUnit() {
        try {
            ServerUnitEnd();
        } catch (...) {
        }
    }
} GServerModeUnit;

}  // namespace

TStringList* ParseVariableBlock(const std::string& Text) {
    auto* list = new TStringList;
    size_t start = 0;
    while (start < Text.size()) {
        size_t end = Text.find("\r\n", start);
        if (end == std::string::npos) end = Text.size();
        if (end > start) list->Add(Text.substr(start, end - start));
        start = end + 2;
    }
    return list;
}

namespace {
void DeleteFilesBefore(const std::vector<std::string>& Names, TDateTime Before) {
    // Before as an age, which files are measured against in points of time.
    const double oldest = (Now() - Before) * 86400.0;
    for (const std::string& name : Names) {
        double seconds = 0;
        if (!SecondsSinceWritten(name, seconds) || seconds <= oldest) continue;
        for (int attempt = 0; attempt < 11; ++attempt) {
            if (OsDeleteFile(name)) break;
            // Held by its writer or processor: not rubbish. Gone: nothing to do.
            if (OsLastError() == EBUSY || OsLastError() == ENOENT) break;
            Sleep(50);
        }
    }
}
}  // namespace

void DeleteStaleFiles(const std::string& Mask, TDateTime Before) {
    DeleteFilesBefore(MatchFiles(Mask), Before);
}

void DeleteExchangeFiles(const std::string& Prefix, TDateTime Before) {
    DeleteFilesBefore(ExchangeFiles(Prefix), Before);
}

namespace {
void DeleteExchangeFilesButAnswers(const std::string& Prefix) {
    std::vector<std::string> names = ExchangeFiles(Prefix);
    std::erase_if(
        names, [](const std::string& n) { return n.size() >= 3 && SameText(n.substr(n.size() - 3), "rsp"); });
    DeleteFilesBefore(names, AnyAge);
}
}  // namespace

std::unique_ptr<TStream> OpenShareStream(const std::string& Name, bool ForWriting, int Tries) {
    for (int attempt = 1;; ++attempt) {
        TOsFile* f = TOsFile::Open(ExistingName(Name), ForWriting ? TOsAccess::ReadWrite : TOsAccess::Read,
                                   TOsShare::ReadWrite);
        if (f) return std::make_unique<TExchangeStream>(f);
        if (attempt >= Tries) throw EFOpenError("Cannot open file \"" + Name + "\"");
        Sleep(500);
    }
}

void CGIServerExchange(TStream& RequestFile, TStream* InStream, TStrings* Variables, bool Watch) {
    auto write = [&](const std::string& s) {
        RequestFile.WriteBuffer(s.data(), static_cast<int64_t>(s.size()));
    };
    const int count = Variables ? Variables->Count() : 0;
    // One variable per CR LF line: a value with a line break in it would end its line early
    // and add variables of the sender's choosing, so such a request is not forwarded.
    for (int i = 0; i < count; ++i)
        if (Variables->Get(i).find_first_of("\r\n") != std::string::npos)
            throw Exception("Server mode - Line break in variable " + Variables->Names(i));
    for (int i = 0; i < count; ++i) {
        ProcessPendingMessages();
        if (Watch) ArmClientWatchdog();
        write(Variables->Get(i) + "\r\n");
    }
    std::string length = Variables ? Variables->Values("CONTENT_LENGTH") : "";
    if (length.empty()) {
        const int64_t size = InStream ? InStream->Size() : 0;
        length = IntToStr(std::max<int64_t>(size, 0));
        write("CONTENT_LENGTH=" + length + "\r\n");
    }
    write("\r\n");
    // The body: CONTENT_LENGTH bytes, or what arrived when the input ends before. A length
    // the engine refuses unread goes without its body: the server refuses it all the same.
    const THttpEngine* engine = ProcessEngine();
    int64_t left = StrToInt64Def(Trim(length), 0);
    if (LengthBeyondInteger(Trim(length)) ||
        (engine && engine->AutoReadLimit() > 0 && left > engine->AutoReadLimit()))
        left = 0;
    char buffer[ExchangeChunk];
    while (InStream && left > 0) {
        if (Watch) ArmClientWatchdog();
        const int64_t n = InStream->Read(buffer, std::min<int64_t>(left, sizeof(buffer)));
        if (n <= 0) break;
        RequestFile.WriteBuffer(buffer, n);
        left -= n;
        ProcessPendingMessages();
    }
}

namespace {

// What a client hands over: its streams and its variables, freed when the client is done.
// One stream may serve both ways; it then goes with the output, at the end.
struct TClientRequest {
    TClientRequest(TStream* In, TStream* Out, TStrings* Vars)
        : Input(In), Output(Out), Variables(Vars), FOut(Out), FIn(In != Out ? In : nullptr) {}
    // The body is in the request file: the input is no longer needed.
    void DropInput() {
        FIn.reset();
        Input = nullptr;
    }
    TStream* Input;
    TStream* Output;
    std::unique_ptr<TStrings> Variables;

private:
    std::unique_ptr<TStream> FOut;
    std::unique_ptr<TStream> FIn;
};

// The files a client's request makes under the base name: the request being written, the
// request and the answer. They go on every way out of the client: with this guard, and
// through the end signals and the watchdog, which end the client before it gets here (a
// web server ends its program as soon as the answer is complete, and when its client
// leaves). The client's presence lock on the request file, which travels with its renames,
// tells the server whether anyone still waits for the answer.
class TClientFiles {
public:
    explicit TClientFiles(const std::string& Base) : FNames{Base + "_TMP", Base + "_REQ", Base + "_rsp"} {
        for (const std::string& name : FNames) TrackTempFile(name);
    }
    ~TClientFiles() {
        for (const std::string& name : FNames) {
            DeleteStaleFiles(name, AnyAge);
            ForgetTempFile(name);
        }
        if (FPresence >= 0) ::close(FPresence);
    }
    TClientFiles(const TClientFiles&) = delete;
    TClientFiles& operator=(const TClientFiles&) = delete;

    void HoldPresence(const std::string& RequestFile) {
        FPresence = OsOpenFileOnly(RequestFile, O_RDONLY);
        if (FPresence >= 0) TakePresenceLock(FPresence);
    }

private:
    std::vector<std::string> FNames;
    int FPresence = -1;
};

}  // namespace

void ForwardRequestToServer(TStream* InStream, TStream* OutStream, TStrings* Variables) {
    TClientRequest request(InStream, OutStream, Variables);
    try {
        const std::string prefix = GetExchangePrefix();
        const std::string tick = GetTickFileName();
        // A server started just now clears the exchange before it makes its tick file:
        // a request written before that would be lost.
        for (uint32_t waited = 0; !FileExists(tick) && waited < ServerStartWait; waited += ClientPollInterval)
            Sleep(ClientPollInterval);
        const bool window = ServerWindowExists();
        DeleteExchangeFiles(prefix, Now() - ServerStaleSeconds * OneSecond);
        if (ServerMaxClients <= static_cast<int32_t>(ExchangeFiles(prefix).size()))
            throw Exception("Server mode - Too many clients");
        const std::string base = UniqueRequestName(prefix + AddressPart(request.Variables.get()) + "_");
        TClientFiles files(base);
        {
            std::unique_ptr<TStream> file = CreateExchangeFile(base + "_TMP");
            files.HoldPresence(base + "_TMP");
            std::unique_ptr<TWatchDogThread> watchdog = std::make_unique<TWatchDogThread>();
            CGIServerExchange(*file, request.Input, request.Variables.get(), true);
            GClientDeadlineArmed.store(false);
            watchdog.reset();
            request.DropInput();
        }
        if (!OsRenameFile(base + "_TMP", base + "_REQ")) throw EOSError("Cannot rename \"" + base + "_TMP\"");
        const uint32_t submitted = GetTickCount();
        uint32_t dated = submitted;
        bool vanished = false;
        bool timedOut = false;
        for (;;) {
            ProcessPendingMessages();
            if (ExchangeFileExists(base + "_rsp") || !FileExists(tick) || QuitRequested()) break;
            // A request still waiting behind a long one is no rubbish: keep it younger
            // than the sweeps' 30 s (it is gone once the server claimed it).
            if (TicksSince(dated) >= PendingRequestRedate) {
                FileSetDate(base + "_REQ", Now());
                dated = GetTickCount();
            }
            if (TicksSince(submitted) >= static_cast<uint32_t>(ServerResponseTimeout) * 1000u) {
                timedOut = true;
                break;
            }
            if (window && !ServerWindowExists()) {
                vanished = true;
                break;
            }
            Sleep(ClientPollInterval);
        }
        if (vanished || timedOut) {
            // The server is gone or hangs: clear the exchange, which also stops a server
            // that is still alive.
            DeleteExchangeFiles(prefix, AnyAge);
        } else if (ExchangeFileExists(base + "_rsp")) {
            std::unique_ptr<TStream> response = OpenShareStream(base + "_rsp", false, 3);
            if (request.Output) CopyStream(*response, *request.Output);
        }
        DeleteStaleFiles(GetExchangeRoot() + "*_*", Now() - ExchangeSweepSeconds * OneSecond);
    } catch (const std::exception& e) {
        WriteLog(e.what());
    }
    ExitEngineProcess(0);
}

void ForwardRequestToDebugServer(TStream* InStream, TStream* OutStream, TStrings* Variables) {
    TClientRequest request(InStream, OutStream, Variables);
    const std::string prefix = GetExchangePrefix();
    try {
        const std::string tick = GetTickFileName();
        const std::string stem = UniqueRequestName(prefix + "DEBUG_");
        const std::string name = stem + "_REQ";
        const std::string base = name.substr(0, name.size() - 3);
        TClientFiles files(stem);
        {
            std::unique_ptr<TStream> file;
            for (int attempt = 1; !file; ++attempt) {
                try {
                    file = CreateExchangeFile(name);
                } catch (const Exception&) {
                    if (attempt >= 3) throw;
                    Sleep(500);
                }
            }
            CGIServerExchange(*file, request.Input, request.Variables.get(), false);
            request.DropInput();
        }
        const uint32_t submitted = GetTickCount();
        while (FileExists(tick) &&
               TicksSince(submitted) < static_cast<uint32_t>(ServerResponseTimeout) * 1000u)
            Sleep(DebugClientPollInterval);
        if (ExchangeFileExists(base + "rsp")) {
            std::unique_ptr<TStream> response = OpenShareStream(base + "rsp", false, 3);
            if (request.Output) CopyStream(*response, *request.Output);
        }
    } catch (const std::exception& e) {
        WriteLog(e.what());
    }
    DeleteExchangeFiles(prefix, AnyAge);
    ExitEngineProcess(0);
}

void StartServer(bool Debug) {
    SetServerFlag(true);
    MakeExchangeRoot();
    const std::string tick = GetTickFileName();
    const bool hadTick = FileExists(tick);
    DeleteExchangeFiles(GetExchangePrefix(), AnyAge);
    // What stands at the tick file's name and is no file (a pipe, a link) is no server's:
    // it goes, so that the server's own can be made.
    struct stat st {};
    if (::lstat(tick.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) ::unlink(tick.c_str());
    if (hadTick) Sleep(500);
    CreateTickFile(!Debug);
}

void ServerRunRequestFile(THttpEngine* Engine, const std::string& Base) {
    // The claimed request, and an answer that never became complete, go however the
    // request ends.
    struct TRequestFiles {
        const std::string& Base;
        ~TRequestFiles() {
            DeleteStaleFiles(Base + "ind", AnyAge);
            DeleteStaleFiles(Base + "cnf", AnyAge);
        }
    } files{Base};
    std::unique_ptr<TStream> request = OpenShareStream(Base + "cnf", false, 3);
    std::unique_ptr<TStrings> variables = ReadVariableBlock(*request);
    if (!variables) return;
    std::unique_ptr<TStream> response = CreateExchangeFile(Base + "ind");
    // The engine frees both streams and the variables at the end of the request.
    Engine->RunCGI(request.release(), response.release(), variables.release());
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (OsRenameFile(Base + "ind", Base + "rsp")) break;
        Sleep(20);
    }
    // A client that was ended before the answer was complete never collects it. (One
    // ended after this look deletes the answer itself.)
    if (PresenceOf(Base + "cnf") == 0) DeleteStaleFiles(Base + "rsp", AnyAge);
}

void ServerMainLoop(THttpEngine* Engine) {
    InstallQuitSignals();
    StartServer(false);
    const std::string prefix = GetExchangePrefix();
    const std::string tick = GetTickFileName();
    auto ticker = std::make_unique<TServerTickThread>();
    std::vector<std::unique_ptr<TCGIRequestThread>> requestThreads;
    TPassedOver passedOver;
    while (FileExists(tick) && !QuitRequested()) {
        ProcessPendingMessages();
        std::erase_if(requestThreads, [](const auto& t) { return t->Finished(); });
        try {
            std::string base;
            if (!ClaimNextRequest(prefix, passedOver, base)) {
                Sleep(ServerPollInterval);
                continue;
            }
            if (Engine->CGIMode() == ServerThreadMode)
                requestThreads.push_back(std::make_unique<TCGIRequestThread>(Engine, base));
            else
                ServerRunRequestFile(Engine, base);
            Sleep(20);
            DeleteStaleFiles(GetExchangeRoot() + "*_*", Now() - ExchangeSweepSeconds * OneSecond);
        } catch (const std::exception& e) {
            WriteLog(std::string("Server loop: ") + e.what());
        }
    }
    ticker.reset();
    // The requests in progress finish (and write their answers) before the server ends.
    requestThreads.clear();
    DeleteExchangeFilesButAnswers(prefix);
    TerminateEngineProcess();
    ServerUnitEnd();
    ExitEngineProcess(0);
}

void DebugServerWaitRequest(TStream*& InStream, TStream*& OutStream, TStrings*& Variables) {
    StartServer(true);
    const std::string prefix = GetExchangePrefix();
    const std::string tick = GetTickFileName();
    TPassedOver passedOver;
    while (FileExists(tick)) {
        std::string base;
        if (!ClaimNextRequest(prefix, passedOver, base)) {
            Sleep(ServerPollInterval);
            continue;
        }
        try {
            std::unique_ptr<TStream> request = OpenShareStream(base + "cnf", false, 3);
            std::unique_ptr<TStrings> variables = ReadVariableBlock(*request);
            if (!variables) continue;
            std::unique_ptr<TStream> response = CreateExchangeFile(base + "rsp");
            InStream = request.release();
            OutStream = response.release();
            Variables = variables.release();
            return;
        } catch (const std::exception& e) {
            WriteLog(std::string("Server loop: ") + e.what());
        }
    }
    // The tick file was removed: the debug server is to stop.
    SetServerFlag(false);
    ExitEngineProcess(0);
}
