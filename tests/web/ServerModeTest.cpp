// Server mode end to end: real client processes hand their requests to a real resident
// server through the exchange files. Each test works on its own copy of the demo program,
// so its exchange directory (beside the program) is its own.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <thread>
#include <vector>

#include "platform/os/Files.h"
#include "platform/rtl/FileDate.h"
#include "tests/support/ForkChild.h"
#include "tests/support/LocalLighttpd.h"
#include "tests/support/ScratchDir.h"
#include "tests/support/WaitUntil.h"
#include "tests/web/WebTestSupport.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

bool WaitUntil(const std::function<bool()>& done, int ms) {
    return ::WaitUntil(done, TDeadline::After(std::chrono::milliseconds(ms)),
                       [] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); });
}

std::string BuiltProgram(const std::string& name) {
    const char* dir = std::getenv("ZELTO_TEST_BINARY_DIR");
    const std::string root = dir && *dir ? std::string(dir) + "/" : ModuleDirectory();
    return root + "tools/" + name + "/" + name;
}

// A started process: its standard output is read when it is finished.
struct TChild {
    pid_t Pid = -1;
    int Out = -1;
    // Reads the output to its end and waits for the process (killed when it hangs past the
    // deadline); the output.
    std::string Finish(int* ExitCode = nullptr) {
        std::string out;
        char buf[4096];
        const TDeadline end = TDeadline::After(ChildDeadline);
        for (pollfd p{Out, POLLIN, 0}; Out >= 0 && !end.Passed();) {
            if (::poll(&p, 1, 100) == 0) continue;
            const ssize_t n = ::read(Out, buf, sizeof(buf));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            out.append(buf, static_cast<size_t>(n));
        }
        if (Out >= 0) ::close(Out);
        Out = -1;
        const TChildEnd ended = WaitForChild(Pid);
        if (ExitCode) *ExitCode = ended.Exited ? ended.Status : -1;
        return out;
    }
};

// A private copy of a demo program (at Name in the sandbox) with its exchange directory
// and log.
class TSandbox {
public:
    explicit TSandbox(const std::string& program, const std::string& Name = "app") {
        App = Dir + "/" + Name;
        fs::create_directories(fs::path(App).parent_path());
        fs::copy_file(BuiltProgram(program), App);
        ExchangeDir = fs::path(App).parent_path().string() + "/temp";
        Stem = fs::path(App).filename().string() + "_";
        Prefix = ExchangeDir + "/" + Stem;
        Tick = Prefix + "s";
    }
    ~TSandbox() {
        // No server outlives its test.
        for (pid_t pid : ProcessesOfApp()) ::kill(pid, SIGKILL);
    }

    // Runs the program with the arguments and the variables (NAME=value) besides the
    // log directory; Input goes to its standard input.
    TChild Start(const std::vector<std::string>& Args, const std::vector<std::string>& Vars,
                 const std::string& Input = "") {
        // The resident server's clock runs ten times faster: its 5 s heartbeat comes in 0.5 s.
        std::vector<std::string> env = {"CGI_LOG_DIR=" + Dir + "/log", "CGI_DEMO_CLOCK_SPEED=10"};
        for (char** e = environ; e && *e; ++e)
            if (std::string(*e).rfind("ASAN_", 0) == 0 || std::string(*e).rfind("UBSAN_", 0) == 0)
                env.push_back(*e);
        env.insert(env.end(), Vars.begin(), Vars.end());
        std::vector<std::string> args = {App};
        args.insert(args.end(), Args.begin(), Args.end());
        std::vector<char*> argv, envp;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 2);
            ::execve(App.c_str(), argv.data(), envp.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        if (!Input.empty()) (void)!::write(in[1], Input.data(), Input.size());
        ::close(in[1]);
        return TChild{pid, out[0]};
    }

    // One CGI call: GET with a query, or POST with a body.
    TChild StartCall(const std::string& Mode, const std::string& Query, const std::string& Body = "",
                     const std::string& Address = "127.0.0.1", const std::string& ContentLength = "") {
        std::vector<std::string> vars = {"SERVER_SOFTWARE=test-server/1.0",
                                         "GATEWAY_INTERFACE=CGI/1.1",
                                         "REQUEST_METHOD=" + std::string(Body.empty() ? "GET" : "POST"),
                                         "QUERY_STRING=" + Query,
                                         "REMOTE_ADDR=" + Address,
                                         "CGI_DEMO_CGIMODE=" + Mode};
        if (!Body.empty()) {
            vars.push_back("CONTENT_TYPE=application/x-www-form-urlencoded");
            vars.push_back("CONTENT_LENGTH=" +
                           (ContentLength.empty() ? std::to_string(Body.size()) : ContentLength));
        }
        return Start({}, vars, Body);
    }
    std::string Call(const std::string& Mode, const std::string& Query, const std::string& Body = "") {
        return StartCall(Mode, Query, Body).Finish();
    }

    // Starts the resident server by hand and waits until it serves.
    TChild StartServer(const std::string& Mode = "server") {
        TChild server = Start({"$$START_SERVER", "X"}, {"CGI_DEMO_CGIMODE=" + Mode});
        EXPECT_TRUE(WaitUntil([&] { return ServerWindow(); }, 10000)) << "server did not start";
        return server;
    }

    // The server's stand-in window: its lock on the tick file.
    bool ServerWindow() const {
        int fd = ::open(Tick.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_len = 1;
        const bool held = ::fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
        ::close(fd);
        return held;
    }

    // Names (without the prefix) of the exchange files.
    std::vector<std::string> ExchangeFiles() const {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(ExchangeDir, ec)) {
            const std::string n = e.path().filename().string();
            if (n.rfind(Stem, 0) == 0) names.push_back(n.substr(Stem.size()));
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    int CountEnding(const std::string& End) const {
        int n = 0;
        for (const auto& f : ExchangeFiles())
            n += f.size() >= End.size() && f.substr(f.size() - End.size()) == End;
        return n;
    }

    std::vector<pid_t> ProcessesOfApp() const {
        std::vector<pid_t> pids;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator("/proc", ec)) {
            const std::string name = e.path().filename().string();
            if (name.find_first_not_of("0123456789") != std::string::npos) continue;
            std::error_code ec2;
            if (fs::read_symlink(e.path() / "exe", ec2).string() == App) pids.push_back(std::stoi(name));
        }
        return pids;
    }

    std::string Log() const {
        std::string all;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(Dir + "/log", ec))
            all += ReadFileBytes(e.path().string());
        return all;
    }

    TScratchDir Scratch{"servermode"};
    std::string Dir = Scratch.Path(), App, ExchangeDir, Stem, Prefix, Tick;
};

const std::string PostBody = "name=J%C3%B6rg+Mayer&note=" + std::string(3000, 'n');

TEST(ServerMode, ResidentServerAnswersLikeDirectModeAndStopsWithoutItsTickFile) {
    TSandbox sb("cgi_server_demo");
    const std::string directGet = sb.Call("normal", "a=1&b=two");
    const std::string directPost = sb.Call("normal", "q=3", PostBody);
    ASSERT_NE(directGet.find("field:b=two"), std::string::npos) << directGet;
    ASSERT_TRUE(sb.ExchangeFiles().empty());

    // The first call starts the resident server, the second finds it running.
    EXPECT_EQ(sb.Call("server", "a=1&b=two"), directGet);
    EXPECT_TRUE(sb.ServerWindow());
    EXPECT_EQ(sb.Call("server", "q=3", PostBody), directPost);
    EXPECT_EQ(sb.ExchangeFiles(), std::vector<std::string>{"s"});
    EXPECT_EQ(sb.ProcessesOfApp().size(), 1u);

    // The heartbeat: the tick file is re-dated every 5 s.
    TDateTime first = 0, later = 0;
    ASSERT_TRUE(FileAge(sb.Tick, first));
    EXPECT_TRUE(WaitUntil([&] { return FileAge(sb.Tick, later) && later > first; }, 8000));

    // Removing the tick file stops the server, which clears the exchange.
    ASSERT_TRUE(DeleteFile(sb.Tick));
    EXPECT_TRUE(WaitUntil([&] { return sb.ProcessesOfApp().empty(); }, 6000));
    EXPECT_FALSE(sb.ServerWindow());
    EXPECT_TRUE(sb.ExchangeFiles().empty());
}

TEST(ServerMode, TwentiethWaitingClientIsRefusedAndTheOthersAreServed) {
    TSandbox sb("cgi_server_demo");
    TChild server = sb.StartServer();
    ::kill(server.Pid, SIGSTOP);
    std::vector<TChild> clients;
    for (int i = 0; i < 19; ++i)
        clients.push_back(sb.StartCall("server", "id=" + std::to_string(i), i == 0 ? "b=1" : "",
                                       "10.0.0." + std::to_string(i)));
    EXPECT_TRUE(WaitUntil([&] { return sb.CountEnding("_REQ") == 19; }, 20000)) << sb.ExchangeFiles().size();

    // The waiting requests as written: variables, one CONTENT_LENGTH line (added when the
    // client had none), a blank line and the body; readable by the owner only.
    std::map<std::string, std::string> requests;
    for (const std::string& f : sb.ExchangeFiles())
        for (const char* address : {"10-0-0-0_", "10-0-0-1_"})
            if (f.rfind(address, 0) == 0) requests[address] = sb.Prefix + f;
    ASSERT_EQ(requests.size(), 2u);
    for (const auto& [address, file] : requests) {
        const std::string text = ReadFileBytes(file);
        const bool post = address == "10-0-0-0_";
        EXPECT_EQ(text.substr(text.find("\r\n\r\n") + 4), post ? "b=1" : "") << text;
        size_t lines = 0;
        for (size_t p = 0; (p = text.find("CONTENT_LENGTH=", p)) != std::string::npos; ++p) ++lines;
        EXPECT_EQ(lines, 1u) << text;
        EXPECT_NE(text.find(post ? "\r\nCONTENT_LENGTH=3\r\n" : "\r\nCONTENT_LENGTH=0\r\n\r\n"),
                  std::string::npos)
            << text;
        EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write);
    }
    EXPECT_EQ(fs::status(sb.Dir + "/temp").permissions() & fs::perms::all, fs::perms::owner_all);

    int code = -1;
    EXPECT_EQ(sb.StartCall("server", "id=late").Finish(&code), "");
    EXPECT_EQ(code, 0);
    EXPECT_NE(sb.Log().find("Server mode - Too many clients"), std::string::npos) << sb.Log();

    ::kill(server.Pid, SIGCONT);
    for (int i = 0; i < 19; ++i) {
        const std::string out = clients[i].Finish();
        EXPECT_NE(out.find("field:id=" + std::to_string(i) + "\r\n"), std::string::npos) << i << ": " << out;
        if (i == 0) {
            EXPECT_NE(out.find("field:b=1\r\n"), std::string::npos) << out;
        }
    }
    // A quit signal stops the server, which clears the exchange.
    ::kill(server.Pid, SIGTERM);
    server.Finish();
    EXPECT_TRUE(sb.ExchangeFiles().empty());
}

TEST(ServerMode, HeldFilesAreNeverSweptAndAVanishedServerIsNoticed) {
    TSandbox sb("cgi_server_demo");
    TChild server = sb.StartServer();
    // Two old files of the exchange; one of them is held open, as its writer would.
    for (const char* name : {"1-2-3-4_0AAAA_TMP", "1-2-3-4_0BBBB_TMP"}) {
        std::unique_ptr<TOsFile>(TOsFile::Create(sb.Prefix + name));
        ASSERT_TRUE(FileSetDate(sb.Prefix + name, Now() - 60.0 / 86400));
    }
    std::unique_ptr<TOsFile> held(
        TOsFile::Open(sb.Prefix + "1-2-3-4_0BBBB_TMP", TOsAccess::ReadWrite, TOsShare::ReadWrite));
    ASSERT_TRUE(held);

    // A body shorter than its CONTENT_LENGTH is forwarded as far as it goes.
    const std::string out = sb.StartCall("server", "", "x=short", "127.0.0.1", "500").Finish();
    EXPECT_NE(out.find("field:x=short\r\n"), std::string::npos) << out;
    EXPECT_FALSE(FileExists(sb.Prefix + "1-2-3-4_0AAAA_TMP"));
    EXPECT_TRUE(FileExists(sb.Prefix + "1-2-3-4_0BBBB_TMP"));

    // The server dies while a client waits: the client sees its lock go and clears the
    // exchange (what is still held stays).
    ::kill(server.Pid, SIGSTOP);
    TChild client = sb.StartCall("server", "id=orphan");
    EXPECT_TRUE(WaitUntil([&] { return sb.CountEnding("_REQ") == 1; }, 10000));
    ::kill(server.Pid, SIGKILL);
    server.Finish();
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(client.Finish(), "");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
    EXPECT_EQ(sb.ExchangeFiles(), std::vector<std::string>{"1-2-3-4_0BBBB_TMP"});
}

TEST(ServerMode, TickFileRemovedDuringALongRequestEndsTheServerAndClearsTheExchange) {
    TSandbox sb("cgi_server_demo");
    TChild server = sb.StartServer();
    // 20 s on the server's clock: 2 s here.
    TChild busy = sb.StartCall("server", "id=busy&wait=20000");
    ASSERT_TRUE(WaitUntil([&] { return sb.CountEnding("_cnf") == 1; }, 10000));
    TChild waiting = sb.StartCall("server", "id=waiting");
    ASSERT_TRUE(WaitUntil([&] { return sb.CountEnding("_REQ") == 1; }, 10000));

    // The server's heartbeat finds its tick file gone while the request still runs.
    ASSERT_TRUE(DeleteFile(sb.Tick));
    int status = 0;
    const bool ended = WaitUntil([&] { return ::waitpid(server.Pid, &status, WNOHANG) == server.Pid; }, 1500);
    EXPECT_TRUE(ended);
    if (!ended) ::kill(server.Pid, SIGKILL);
    server.Finish();
    EXPECT_EQ(busy.Finish(), "");
    EXPECT_EQ(waiting.Finish(), "");
    // The waiting request went with the server; what the running one held stays for the
    // sweeps.
    EXPECT_EQ(sb.CountEnding("_REQ"), 0);
    EXPECT_EQ(sb.CountEnding("s"), 0);
}

// A server told to end by a signal finishes the request in progress, and the answer stays
// for its client to collect (the end's sweep of the exchange took it before the client's
// next look, two times in three).
TEST(ServerMode, AServerEndedBySignalLeavesTheAnswerInProgressToItsClient) {
    TSandbox sb("cgi_server_demo");
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        TChild server = sb.StartServer();
        // 10 s on the server's clock: 1 s here.
        TChild call = sb.StartCall("server", "id=last&wait=10000");
        ASSERT_TRUE(WaitUntil([&] { return sb.CountEnding("_cnf") == 1; }, 10000));
        ::kill(server.Pid, SIGTERM);
        const std::string out = call.Finish();
        EXPECT_NE(out.find("field:id=last\r\n"), std::string::npos) << out;
        server.Finish();
        EXPECT_TRUE(sb.ExchangeFiles().empty());
    }
}

// The exchange's names are opened as files and nothing else: a pipe at the tick file's name
// made every call wait for a writer that never came, and a link there made the server
// re-date the file it named.
TEST(ServerMode, APipeOrALinkAtTheTickFilesNameIsNoTickFile) {
    TSandbox sb("cgi_server_demo");
    fs::create_directories(sb.ExchangeDir);
    ASSERT_EQ(::mkfifo(sb.Tick.c_str(), 0600), 0);
    const std::string out = sb.Call("server", "a=1");
    EXPECT_NE(out.find("field:a=1\r\n"), std::string::npos) << out;

    TChild server = sb.StartServer();
    const std::string victim = sb.Dir + "/victim";
    { std::ofstream(victim) << "x"; }
    ASSERT_TRUE(FileSetDate(victim, Now() - 1));
    TDateTime before = 0, after = 0;
    ASSERT_TRUE(FileAge(victim, before));
    ASSERT_TRUE(DeleteFile(sb.Tick));
    ASSERT_EQ(::symlink(victim.c_str(), sb.Tick.c_str()), 0);
    Sleep(1500);  // three heartbeats on the server's clock
    ASSERT_TRUE(FileAge(victim, after));
    EXPECT_EQ(after, before);
    ::kill(server.Pid, SIGKILL);
    server.Finish();
}

// A request the server cannot claim (its writer holds it) is passed over: the requests after
// it are served.
TEST(ServerMode, ARequestThatCannotBeClaimedHoldsUpNoOther) {
    for (const char* mode : {"server", "thread"}) {
        SCOPED_TRACE(mode);
        TSandbox sb("cgi_server_demo", std::string("app_") + mode);
        TChild server = sb.StartServer(mode);
        const std::string first = sb.Prefix + "0_00000_REQ";  // before every other name
        std::unique_ptr<TOsFile>(TOsFile::Create(first));
        std::unique_ptr<TOsFile> held(TOsFile::Open(first, TOsAccess::ReadWrite, TOsShare::ReadWrite));
        ASSERT_TRUE(held);
        const auto t0 = std::chrono::steady_clock::now();
        const std::string out = sb.Call(mode, "a=1");
        EXPECT_NE(out.find("field:a=1\r\n"), std::string::npos) << out;
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
        ::kill(server.Pid, SIGKILL);
        server.Finish();
    }
}

TEST(ServerMode, ThreadedServerAnswersLikeDirectMode) {
    TSandbox sb("cgi_server_demo");
    const std::string direct = sb.Call("normal", "t=1", PostBody);
    TChild server = sb.StartServer("thread");
    EXPECT_EQ(sb.Call("thread", "t=1", PostBody), direct);
    ::kill(server.Pid, SIGTERM);
    server.Finish();
}

TEST(ServerMode, ConsoleDebugServerTakesOneCall) {
    TSandbox sb("cgi_demo");
    const std::string direct = sb.Call("normal", "d=1&e=2", "f=3");
    ASSERT_NE(direct.find("field:f=3"), std::string::npos) << direct;
    // Started by hand: no arguments, outside a web server.
    TChild server = sb.Start({}, {});
    ASSERT_TRUE(WaitUntil([&] { return FileExists(sb.Tick); }, 10000));
    EXPECT_EQ(sb.Call("normal", "d=1&e=2", "f=3"), direct);
    int code = -1;
    server.Finish(&code);
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(sb.ExchangeFiles().empty());
}

// ---- Under a real web server: lighttpd starts a client process per request and ends it
// with SIGTERM as soon as its answer is complete, or when its client leaves.

class TLighttpdSandbox {
public:
    explicit TLighttpdSandbox(const std::string& Mode) {
        const std::string lighttpd = FindProgram("lighttpd");
        if (lighttpd.empty()) return;
        Setup = TLighttpdSetup{
            Box.Dir,
            FreePort(),
            "",
            {{"CGI_LOG_DIR", Box.Dir + "/log"}, {"CGI_DEMO_CGIMODE", Mode}, {"CGI_DEMO_CLOCK_SPEED", "10"}},
            {}};
        Server = Setup.Start(lighttpd, CleanEnvironment());
        if (!Setup.WaitUntilListening(std::chrono::seconds(5)))
            StartError = "lighttpd did not start: " + ReadFileBytes(Box.Dir + "/error.log");
    }
    ~TLighttpdSandbox() {
        if (Server <= 0) return;
        ::kill(Server, SIGTERM);
        WaitForChild(Server, std::chrono::seconds(2));
    }

    THttpResponse Request(const std::string& Method, const std::string& Target,
                          const std::vector<std::string>& Headers = {}, const std::string& Body = "") const {
        return HttpRequest(Setup.Port, Method, Target, Headers, Body);
    }
    // A client that sends its request and leaves once Left holds.
    void RequestAndLeave(const std::string& Target, const std::function<bool()>& Left) const {
        const int s = ConnectLoopback(Setup.Port, timeval{20, 0}, false);
        ASSERT_GE(s, 0);
        const std::string req = "GET " + Target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        ::send(s, req.data(), req.size(), MSG_NOSIGNAL);
        EXPECT_TRUE(WaitUntil(Left, 10000)) << Box.ExchangeFiles().size();
        ::close(s);
    }
    // The exchange holds the tick file only (the web server ends its client processes a
    // little after their answers).
    bool OnlyTheTickFileLeft() const {
        return WaitUntil([&] { return Box.ExchangeFiles() == std::vector<std::string>{"s"}; }, 15000);
    }
    std::string Exchange() const {
        std::string names;
        for (const std::string& f : Box.ExchangeFiles()) names += f + " ";
        return names;
    }

    TSandbox Box{"cgi_server_demo", "www/demo.cgi"};
    TLighttpdSetup Setup;
    pid_t Server = -1;
    std::string StartError;
};

#define REQUIRE_LIGHTTPD(web)                                  \
    if (!(web).StartError.empty()) FAIL() << (web).StartError; \
    if ((web).Server <= 0) GTEST_SKIP() << "lighttpd is missing"

// A file upload reaches the resident server's engine in either server mode, and the
// server's copy of the file goes with the request.
TEST(ServerModeUnderLighttpd, UploadIsAnsweredInBothServerModes) {
    const std::string body =
        "--BoUnDaRy\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\nhello\r\n"
        "--BoUnDaRy\r\nContent-Disposition: form-data; name=\"doc\"; filename=\"up.txt\"\r\n"
        "Content-Type: text/plain\r\n\r\nline one\r\n--BoUnDaRy--\r\n";
    for (const char* mode : {"server", "thread"}) {
        TLighttpdSandbox web(mode);
        REQUIRE_LIGHTTPD(web);
        const THttpResponse r =
            web.Request("POST", "/demo.cgi", {"Content-Type: multipart/form-data; boundary=BoUnDaRy"}, body);
        EXPECT_EQ(r.status, 200) << mode;
        EXPECT_EQ(r.body.find("Unhandled Exception"), std::string::npos) << mode << ": " << r.body;
        for (const char* field : {"note=hello", "doc=up.txt", "doc_CONTENT_TYPE=text/plain"})
            EXPECT_NE(r.body.find("field:" + std::string(field) + "\r\n"), std::string::npos) << mode << ": " << r.body;
        // Answered by the resident server, whose upload folder is empty again.
        EXPECT_TRUE(web.Box.ServerWindow()) << mode;
        std::error_code ec;
        EXPECT_TRUE(fs::is_empty(web.Box.Dir + "/www/Temp", ec)) << mode << " " << ec.message();
    }
}

// Whenever the web server ends a client (its answer complete, or its client gone while the
// request waits or runs), the client's request and answer files go: files left behind
// count toward the limit of 20 and would refuse later clients as too many.
TEST(ServerModeUnderLighttpd, EndedClientsLeaveOnlyTheTickFile) {
    for (const char* mode : {"server", "thread"}) {
        TLighttpdSandbox web(mode);
        REQUIRE_LIGHTTPD(web);
        // The first request starts the resident server.
        ASSERT_EQ(web.Request("GET", "/demo.cgi?id=first").status, 200) << mode;
        for (int burst = 0; burst < 3; ++burst) {
            std::vector<THttpResponse> answers(8);
            std::vector<std::thread> clients;
            for (int i = 0; i < 8; ++i)
                clients.emplace_back([&, i] {
                    answers[i] = web.Request("GET", "/demo.cgi?id=" + std::to_string(i) + "&wait=2000");
                });
            for (auto& c : clients) c.join();
            for (int i = 0; i < 8; ++i)
                EXPECT_NE(answers[i].body.find("field:id=" + std::to_string(i) + "\r\n"), std::string::npos)
                    << mode << " " << i << ": " << answers[i].status << " " << answers[i].body;
            ASSERT_TRUE(web.OnlyTheTickFileLeft()) << mode << ", burst " << burst << ": " << web.Exchange();
        }
        // A client that leaves while the server runs its request.
        web.RequestAndLeave("/demo.cgi?id=gone&wait=5000", [&] { return web.Box.CountEnding("_cnf") == 1; });
        ASSERT_TRUE(web.OnlyTheTickFileLeft()) << mode << ": " << web.Exchange();
        if (std::string(mode) == "server") {
            // One that leaves while its request waits behind another.
            std::thread busy([&] { EXPECT_EQ(web.Request("GET", "/demo.cgi?wait=10000").status, 200); });
            ASSERT_TRUE(WaitUntil([&] { return web.Box.CountEnding("_cnf") == 1; }, 10000));
            web.RequestAndLeave("/demo.cgi?id=queued", [&] { return web.Box.CountEnding("_REQ") == 1; });
            busy.join();
            ASSERT_TRUE(web.OnlyTheTickFileLeft()) << mode << ": " << web.Exchange();
        }
        EXPECT_EQ(web.Box.Log(), "") << mode;
    }
}

}  // namespace
