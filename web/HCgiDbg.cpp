// What the CGI engines ask of server mode, and the hooks of the exchange.
#include "web/HCgiDbg.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>

#include "platform/rtl/FileDate.h"
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
    // Under a web server the arguments come from the query string: never a switch.
    const std::vector<std::string> args =
        IsWebRequestEnvironment() ? std::vector<std::string>{} : CommandLineArguments();
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

bool ServerIsRunning() {
    if (ServerFlag()) return true;
    TDateTime age = 0;
    if (!FileAge(GetTickFileName(), age)) return false;
    const int32_t stale = IsConsoleProcess() ? DebugServerStaleSeconds : ServerStaleSeconds;
    return age > Now() - stale / 86400.0;
}

bool StartResidentServer() {
    const std::string path = GetModuleFileName();
    std::string a0 = path, a1 = StartServerSwitch, a2 = "X";
    char* argv[] = {a0.data(), a1.data(), a2.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // Detached from the web server's pipes: the server must not hold the response open.
    for (int fd = 0; fd <= 2; ++fd)
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    // The server's environment must not look like a request.
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        std::string s(*e);
        if (s.rfind("REQUEST_METHOD=", 0) != 0 && s.rfind("SERVER_SOFTWARE=", 0) != 0) env.push_back(s);
    }
    std::vector<char*> envp;
    for (auto& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, path.c_str(), &actions, &attr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return rc == 0;
}

void SetServerModeHooks(TServerModeHooks Hooks) {
    std::lock_guard<std::mutex> lk(GMutex);
    GHooks = std::move(Hooks);
}

TServerModeHooks ServerModeHooks() {
    std::lock_guard<std::mutex> lk(GMutex);
    return GHooks;
}
