// What the CGI engines ask of server mode: the server instance, a running server, and
// the hooks through which requests are handed over.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/framework/Application.h"
#include "platform/os/Files.h"
#include "platform/rtl/FileDate.h"
#include "platform/rtl/ScopeGuard.h"
#include "platform/rtl/Tick.h"
#include "tests/support/WaitUntil.h"
#include "tests/web/CgiTestSupport.h"
#include "tests/web/WebTestSupport.h"
#include "web/CGISEng.h"

namespace {

class CgiServerModeTest : public ::testing::Test {
protected:
    void TearDown() override {
        SetServerModeHooks({});
        SetServerFlag(false);
        Application()->ResetTerminated();
    }
};

TEST_F(CgiServerModeTest, RunningServerFromTheTickFile) {
    const std::string tick = GetTickFileName();
    ASSERT_EQ(tick.rfind(GetExchangePrefix(), 0), 0u);
    EXPECT_EQ(tick.substr(tick.size() - 2), "_s");
    ForceDirectories(GetExchangeRoot());
    std::ofstream(tick).close();
    const struct {
        double secondsOld;
        bool console, gui;
    } cases[] = {{1, true, true}, {10, false, true}, {40, false, false}};
    // A resident server holds its window lock on the tick file while it lives: without it
    // the file is a killed server's, however fresh (the console's debug server takes none).
    const int window = ::open(tick.c_str(), O_RDONLY | O_CLOEXEC);
    for (const bool held : {false, true}) {
        struct flock lock {};
        lock.l_type = F_RDLCK;
        lock.l_len = 1;
        ASSERT_TRUE(!held || ::fcntl(window, F_OFD_SETLK, &lock) == 0);
        for (const auto& c : cases) {
            ASSERT_TRUE(FileSetDate(tick, Now() - c.secondsOld / 86400));
            {
                TProcessKindScope kind(pkConsoleProgram);
                EXPECT_EQ(ServerIsRunning(), c.console) << c.secondsOld << " s, console";
            }
            TProcessKindScope kind(pkGuiProgram);
            EXPECT_EQ(ServerIsRunning(), held && c.gui) << c.secondsOld << " s, GUI, held " << held;
        }
    }
    ::close(window);
    DeleteFile(tick);
    ::rmdir(GetExchangeRoot().c_str());
    EXPECT_FALSE(ServerIsRunning());
    SetServerFlag(true);
    EXPECT_TRUE(ServerIsRunning());
}

// A daylight-saving change moves no point in time: files written a moment before the clocks
// went forward are as young as they were (their local dates would make them an hour old, a
// running server's tick file stale, and a waiting request rubbish).
TEST_F(CgiServerModeTest, ADaylightSavingChangeAgesNoFile) {
    const time_t change = ::time(nullptr) - 1;
    tm at{};
    ::gmtime_r(&change, &at);
    char zone[64];
    std::snprintf(zone, sizeof zone, "XST0XDT,%d/%02d:%02d:%02d,0/0", at.tm_yday, at.tm_hour, at.tm_min,
                  at.tm_sec);
    TScopeGuard zoneBack([] { ::tzset(); });
    TEnvScope tz({{"TZ", zone}});
    ::tzset();
    ForceDirectories(GetExchangeRoot());
    const std::string request = GetExchangePrefix() + "1-2-3-4_0CCCC_REQ";
    const timespec written[2] = {{change - 2, 0}, {change - 2, 0}};
    for (const std::string& name : {GetTickFileName(), request}) {
        std::ofstream(name).close();
        ASSERT_EQ(::utimensat(AT_FDCWD, name.c_str(), written, 0), 0);
    }
    {
        TProcessKindScope console(pkConsoleProgram);
        EXPECT_TRUE(ServerIsRunning());
    }
    DeleteExchangeFiles(GetExchangePrefix(), Now() - ServerStaleSeconds / 86400.0);
    EXPECT_TRUE(FileExists(request));
    DeleteFile(request);
    DeleteFile(GetTickFileName());
}

TEST_F(CgiServerModeTest, ServerInstanceEntersTheMainLoopInServerMode) {
    TProcessKindScope gui(pkGuiProgram);
    TEnvScope env(
        {{"SERVER_SOFTWARE", "test"}, {"REQUEST_METHOD", std::nullopt}, {"CGI_VERSION", std::nullopt}});
    TArgsScope args({"$$START_SERVER", "X"});
    THttpEngine* served = nullptr;
    TServerModeHooks hooks;
    hooks.ServerMainLoop = [&](THttpEngine* e) { served = e; };
    SetServerModeHooks(hooks);
    TCGIStdEngine engine(nullptr);
    engine.RunCGI(nullptr, nullptr, nullptr);
    EXPECT_EQ(served, &engine);
    EXPECT_EQ(engine.CGIMode(), ServerMode);
}

TEST_F(CgiServerModeTest, RequestsGoToARunningServer) {
    TEnvScope env({{"SERVER_SOFTWARE", "test"}, {"REQUEST_METHOD", "GET"}, {"CGI_VERSION", std::nullopt}});
    SetServerFlag(true);
    std::vector<std::string> calls;
    auto record = [&](const char* what) {
        return [&calls, what](TStream* in, TStream* out, TStrings* vars) {
            calls.push_back(std::string(what) +
                            (in && out && vars && vars->Values("REQUEST_METHOD") == "GET" ? " ok" : ""));
            if (in != out) delete in;
            delete out;
            delete vars;
        };
    };
    TServerModeHooks hooks;
    hooks.ForwardRequestToServer = record("server");
    hooks.ForwardRequestToDebugServer = record("debug server");
    SetServerModeHooks(hooks);
    {
        TProcessKindScope console(pkConsoleProgram);
        TCGIStdUnit unit;
        ASSERT_NE(CGIStdEngine(), nullptr);
        // The request was handed over: nothing is left to run here.
        CGIStdEngine()->Run();
    }
    {
        TProcessKindScope gui(pkGuiProgram);
        TCGIStdUnit unit;
        EXPECT_EQ(CGIStdEngine(), nullptr);
    }
    EXPECT_EQ(calls, (std::vector<std::string>{"debug server ok", "server ok"}));
}

TEST_F(CgiServerModeTest, ServerInstanceFromArgumentsAndEnvironment) {
    using Args = std::vector<std::string>;
    const struct {
        const char* software;
        const char* method;
        Args args;
        bool expected;
    } cases[] = {
        {nullptr, nullptr, {}, true},                       // started by hand
        {"srv", nullptr, {}, false},                        // a CGI call
        {"srv", "GET", {}, false},                          //
        {nullptr, nullptr, {"$$START_SERVER", "X"}, true},  // started by a client
        {"srv", nullptr, {" $$START_SERVER ", "X"}, true},  // the switch is trimmed
        {"srv", nullptr, {"$$START_SERVER"}, false},        // exactly two arguments
        {nullptr, nullptr, {"a"}, false},                   //
        {nullptr, "GET", {"a"}, false},                     // a query string as arguments
        {"srv", "GET", {"$$START_SERVER", "X"}, false},     // ... is never the switch
        {nullptr, "GET", {}, false},                        // a request is never a server,
        {"ZBox/1.0", "GET", {}, false},                     // whatever its server's name
    };
    for (const auto& c : cases) {
        TEnvScope env(
            {{"SERVER_SOFTWARE", c.software ? std::optional<std::string>(c.software) : std::nullopt},
             {"REQUEST_METHOD", c.method ? std::optional<std::string>(c.method) : std::nullopt}});
        TArgsScope args(c.args);
        EXPECT_EQ(IsServerInstance(), c.expected)
            << (c.software ? c.software : "-") << " " << (c.method ? c.method : "-") << " " << c.args.size();
    }
}

TEST_F(CgiServerModeTest, SweepMatchesNamesInAnyCaseAndOnlyStarIsAWildcard) {
    const std::string dir = TestDir() + "/sweep/";
    ForceDirectories(dir);
    const double old = Now() - 60.0 / 86400;
    const struct {
        const char* name;
        bool old, swept;
    } files[] = {
        {"app[1]_a_TMP", true, true}, {"APP[1]_B_REQ", true, true}, {"app[1]_new", false, false},
        {"app1_c", true, false},      {"app?_d", true, false},      {"other_e", true, false},
    };
    for (const auto& f : files) {
        std::ofstream(dir + f.name).close();
        if (f.old) {
            ASSERT_TRUE(FileSetDate(dir + f.name, old));
        }
    }
    DeleteStaleFiles(dir + "app[1]_*", Now() - 30.0 / 86400);
    for (const auto& f : files) EXPECT_EQ(FileExists(dir + f.name), !f.swept) << f.name;
    std::filesystem::remove_all(dir);
}

// Another program whose name begins with this one's and "_" (app and app_admin) has files
// that begin with the exchange prefix too, as may a file of the program's own: they are not
// its exchange, and its sweeps leave them.
TEST_F(CgiServerModeTest, FilesOfOtherProgramsBeginningWithThePrefixAreNotTheExchanges) {
    ForceDirectories(GetExchangeRoot());
    const std::string prefix = GetExchangePrefix();
    const struct {
        const char* rest;
        bool exchange;
    } files[] = {
        {"127-0-0-1_0ABCD_REQ", true},
        {"_1A2B3C_TMP", true},
        {"DEBUG_F00D5_cnf", true},
        {"admin", false},
        {"admin_s", false},
        {"admin_127-0-0-1_0ABCD_REQ", false},
        {"orders.csv", false},
        {"7_0ABCD_old", false},
        {"7_0ABCX_rsp", false},
    };
    for (const auto& f : files) {
        std::ofstream(prefix + f.rest).close();
        ASSERT_TRUE(FileSetDate(prefix + f.rest, Now() - 60.0 / 86400));
    }
    DeleteExchangeFiles(prefix, Now() - 30.0 / 86400);
    for (const auto& f : files) {
        EXPECT_EQ(FileExists(prefix + f.rest), !f.exchange) << f.rest;
        DeleteFile(prefix + f.rest);
    }
}

// The request file holds one variable per CR LF line: a value with a line break (a path
// decoded from %0D%0A) would end its line early and add variables of the sender's choosing.
TEST_F(CgiServerModeTest, AVariableHoldingALineBreakIsNotForwarded) {
    for (const char* value : {"/x\r\nQUERY_STRING=injected=1", "/x\ny", "/x\r"}) {
        TStringList vars;
        vars.Add(std::string("PATH_INFO=") + value);
        vars.Add("QUERY_STRING=a=real");
        TMemoryStream file;
        EXPECT_THROW(CGIServerExchange(file, nullptr, &vars, false), Exception) << value;
    }
    TStringList vars;
    vars.Add("PATH_INFO=/x y");
    TMemoryStream file;
    CGIServerExchange(file, nullptr, &vars, false);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(file.Memory()), size_t(file.Size())),
              "PATH_INFO=/x y\r\nCONTENT_LENGTH=0\r\n\r\n");
}

// A length the engine refuses unread is forwarded without its body: the server refuses
// the request all the same, and gigabytes are not copied into the exchange first.
TEST_F(CgiServerModeTest, ABodyTheEngineRefusesIsNotCopied) {
    for (const char* length : {"3000000000", "99999999999999999999"}) {
        TStringList vars;
        vars.Add(std::string("CONTENT_LENGTH=") + length);
        TStringStream body(std::string(1000, 'b'));
        TMemoryStream file;
        CGIServerExchange(file, &body, &vars, false);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(file.Memory()), size_t(file.Size())),
                  std::string("CONTENT_LENGTH=") + length + "\r\n\r\n");
    }
}

// The client's side of the exchange against a stand-in server in this process. The
// request waits behind a long one: the stand-in ages it past the sweeps' 30 s, and the
// client must keep it fresh so that another client's sweep leaves it alone. The client's
// one stream serves as input and output.
TEST_F(CgiServerModeTest, ClientKeepsItsWaitingRequestAndCopiesTheAnswer) {
    namespace fs = std::filesystem;
    using namespace std::chrono_literals;
    TVirtualClockScope clock(20);
    ForceDirectories(GetExchangeRoot());
    const std::string prefix = GetExchangePrefix();
    std::ofstream(GetTickFileName()).close();  // a running server (its window lock aside)

    std::string requestName, requestText;
    std::atomic<bool> redated{false}, survived{false};
    std::thread server([&] {
        WaitUntil(
            [&] {
                std::error_code ec;
                for (const auto& e : fs::directory_iterator(GetExchangeRoot(), ec)) {
                    const std::string n = e.path().string();
                    if (n.size() > 4 && n.substr(n.size() - 4) == "_REQ") requestName = n;
                }
                return !requestName.empty();
            },
            TDeadline::After(10s), [] { std::this_thread::sleep_for(5ms); });
        if (requestName.empty()) return;
        FileSetDate(requestName, Now() - 60.0 / 86400);
        TDateTime age = 0;
        WaitUntil(
            [&] {
                redated = FileAge(requestName, age) && age > Now() - 30.0 / 86400;
                return redated.load();
            },
            TDeadline::After(3s), [] { std::this_thread::sleep_for(5ms); });
        DeleteStaleFiles(prefix + "*", Now() - ServerStaleSeconds / 86400.0);  // another client's sweep
        survived = FileExists(requestName);
        requestText = ReadFileBytes(requestName);
        DeleteFile(requestName);
        const std::string base = requestName.substr(0, requestName.size() - 4);
        std::ofstream(base + "_ind", std::ios::binary) << "HTTP/1.1 200 OK\r\n\r\nanswer";
        ASSERT_TRUE(OsRenameFile(base + "_ind", base + "_rsp"));
    });

    auto rec = std::make_shared<TSinkStream::TRecord>();
    auto* both = new TSinkStream(rec);
    ForwardRequestToServer(both, both,
                           MakeVariables({"REQUEST_METHOD=GET", "REMOTE_ADDR=10.1.2.3", "QUERY_STRING=a=1"}));
    server.join();

    EXPECT_EQ(TakeExitCodes(), std::vector<int>{0});
    EXPECT_TRUE(redated);
    EXPECT_TRUE(survived);
    EXPECT_EQ(ExtractFileName(requestName).rfind(ExtractFileName(prefix) + "10-1-2-3_", 0), 0u)
        << requestName;
    EXPECT_EQ(requestText,
              "REQUEST_METHOD=GET\r\nREMOTE_ADDR=10.1.2.3\r\nQUERY_STRING=a=1\r\nCONTENT_LENGTH=0\r\n\r\n");
    EXPECT_EQ(rec->bytes, "HTTP/1.1 200 OK\r\n\r\nanswer");
    EXPECT_TRUE(rec->freed);
    // The answer went with the client; only the tick file is left.
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(GetExchangeRoot()))
        left.push_back(e.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{ExtractFileName(GetTickFileName())});
    fs::remove_all(GetExchangeRoot());
}

// A ServerThreadMode server runs each request on a thread of its own, and waits for the
// requests in progress before it ends: they use its engine.
TEST_F(CgiServerModeTest, ThreadModeServerEndsOnlyAfterItsRequests) {
    namespace fs = std::filesystem;
    using namespace std::chrono_literals;
    TProcessKindScope gui(pkGuiProgram);
    TVirtualClockScope clock(20);
    struct sigaction saved[3];
    const int signals[3] = {SIGTERM, SIGINT, SIGHUP};
    for (int i = 0; i < 3; ++i) ::sigaction(signals[i], nullptr, &saved[i]);

    TTestEngine engine;
    engine.SetCGIMode(ServerThreadMode);
    std::atomic<bool> started{false}, finished{false}, finishedAtExit{false};
    engine.OnExecRequest = [&](TObject*) {
        started = true;
        Sleep(2000);  // a slow request, still running when the server is told to stop
        engine.Write("done");
        finished = true;
    };
    TakeExitCodes();
    SetProcessExitHandler([&](int code) {
        finishedAtExit = finished.load();
        InstallRecordingExitHandler();
        ExitEngineProcess(code);
    });
    const std::string tick = GetTickFileName();
    std::thread client([&] {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!FileExists(tick) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(2ms);
        const std::string base = GetExchangePrefix() + "127-0-0-1_0ABCD_";
        std::ofstream(base + "TMP", std::ios::binary) << "REQUEST_METHOD=GET\r\nCONTENT_LENGTH=0\r\n\r\n";
        OsRenameFile(base + "TMP", base + "REQ");
        while (!started && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(2ms);
        DeleteFile(tick);  // the server is told to stop
    });
    ServerMainLoop(&engine);
    client.join();
    InstallRecordingExitHandler();
    for (int i = 0; i < 3; ++i) ::sigaction(signals[i], &saved[i], nullptr);

    EXPECT_TRUE(started);
    EXPECT_TRUE(finishedAtExit);
    EXPECT_EQ(TakeExitCodes(), std::vector<int>{0});
    fs::remove_all(GetExchangeRoot());
}

}  // namespace
