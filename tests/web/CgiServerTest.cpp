// End to end: the demo CGI program under a real web server (lighttpd on 127.0.0.1), and
// as a Windows-CGI program run with profile files.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "platform/rtl/FileDate.h"
#include "tests/support/ForkChild.h"
#include "tests/support/LocalLighttpd.h"
#include "tests/support/WaitUntil.h"
#include "tests/web/WebTestSupport.h"
#include "web/HBlowFish.h"

namespace {

namespace fs = std::filesystem;

std::string DemoProgram() {
    const char* dir = std::getenv("ZELTO_TEST_BINARY_DIR");
    return (dir && *dir ? std::string(dir) + "/" : ModuleDirectory()) + "tools/cgi_demo/cgi_demo";
}

int Connect(int port) {
    return ConnectLoopback(port, timeval{20, 0}, false);
}

std::string Base64(const std::string& s) {
    static const char* t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < s.size(); i += 3) {
        uint32_t v = static_cast<uint8_t>(s[i]) << 16;
        if (i + 1 < s.size()) v |= static_cast<uint8_t>(s[i + 1]) << 8;
        if (i + 2 < s.size()) v |= static_cast<uint8_t>(s[i + 2]);
        out += t[(v >> 18) & 63];
        out += t[(v >> 12) & 63];
        out += i + 1 < s.size() ? t[(v >> 6) & 63] : '=';
        out += i + 2 < s.size() ? t[v & 63] : '=';
    }
    return out;
}

#ifdef ZELTO_HAVE_LIBCRYPTO
std::string DecryptRecord(const std::string& key, const std::string& cipher) {
    return OracleCfb(key, DefaultBlowfishIV, cipher, false);
}
#endif

class CgiServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::string lighttpd = FindProgram("lighttpd");
        if (lighttpd.empty() || ::access(DemoProgram().c_str(), X_OK) != 0) return;
        Dir = TestDir() + "/lighttpd";
        // A repeated run finds the previous round's link, sessions and uploads: start afresh.
        fs::remove_all(Dir);
        fs::create_directories(Dir + "/www");
        fs::create_directories(Dir + "/sessions");
        fs::create_directories(Dir + "/uploads");
        fs::create_directories(Dir + "/log");
        fs::create_symlink(DemoProgram(), Dir + "/www/demo.cgi");
        Port = FreePort();
        const TLighttpdSetup server{Dir,
                                    Port,
                                    "",
                                    {{"CGI_LOG_DIR", Dir + "/log"},
                                     {"CGI_DEMO_SESSION_DIR", Dir + "/sessions"},
                                     {"CGI_DEMO_TEMP", Dir + "/uploads"}},
                                    {}};
        Server = server.Start(lighttpd, CleanEnvironment());
        const bool up = server.WaitUntilListening(std::chrono::seconds(5));
        if (up) return;
        StopServer();
        StartError = "lighttpd did not start: " + ReadFileBytes(Dir + "/error.log");
    }

    static void TearDownTestSuite() { StopServer(); }

    static void StopServer() {
        if (Server <= 0) return;
        ::kill(Server, SIGTERM);
        WaitForChild(Server, std::chrono::seconds(2));  // then killed
        Server = 0;
    }

    void SetUp() override {
        if (!StartError.empty()) FAIL() << StartError;
        if (Server <= 0) GTEST_SKIP() << "lighttpd or the demo program is missing";
    }

    static THttpResponse Request(const std::string& method, const std::string& target,
                                 const std::vector<std::string>& headers = {}, const std::string& body = "") {
        return HttpRequest(Port, method, target, headers, body);
    }

    static std::string Dir;
    static int Port;
    static pid_t Server;
    static std::string StartError;
};

std::string CgiServerTest::Dir;
int CgiServerTest::Port = 0;
pid_t CgiServerTest::Server = 0;
std::string CgiServerTest::StartError;

TEST_F(CgiServerTest, GetWithQueryString) {
    THttpResponse r = Request("GET", "/demo.cgi?a=1&b=x+y%21&a=2");
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.headers.find("content-type: text/plain"), std::string::npos);
    EXPECT_NE(r.body.find("method=GET\r\n"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("field:a=1\r\n2\r\n"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("field:b=x y!\r\n"), std::string::npos) << r.body;
    // A field named like an upload's copy shows no file the client names.
    r = Request("GET", "/demo.cgi?x_FILENAME=" + Dir + "/demo.cgi");
    EXPECT_NE(r.body.find("field:x_FILENAME="), std::string::npos) << r.body;
    EXPECT_EQ(r.body.find("upload:x="), std::string::npos) << r.body;
}

TEST_F(CgiServerTest, PostFormAndQuery) {
    THttpResponse r =
        Request("POST", "/demo.cgi?q=from+query", {"Content-Type: application/x-www-form-urlencoded"},
                "p=%C3%A9t%C3%A9&empty=&r=1");
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.body.find("method=POST\r\n"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("field:p=\xC3\xA9t\xC3\xA9\r\n"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("field:q=from query\r\n"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("field:r=1\r\n"), std::string::npos) << r.body;
}

TEST_F(CgiServerTest, MultipartUploadAndItsTemporaryFileGoes) {
    const std::string body =
        "--BoUnDaRy\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\nhello there\r\n"
        "--BoUnDaRy\r\nContent-Disposition: form-data; name=\"doc\"; filename=\"report.txt\"\r\n"
        "Content-Type: text/plain\r\n\r\nline one\r\nline two\r\n--BoUnDaRy--\r\n";
    THttpResponse r =
        Request("POST", "/demo.cgi", {"Content-Type: multipart/form-data; boundary=BoUnDaRy"}, body);
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.body.find("field:note=hello there\r\n"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("field:doc=report.txt\r\n"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("field:doc_CONTENT_TYPE=text/plain\r\n"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("upload:doc=line one\r\nline two\r\n"), std::string::npos) << r.body;
    // The console program ended its request: the temporary copy is gone.
    EXPECT_TRUE(fs::is_empty(Dir + "/uploads"));
}

TEST_F(CgiServerTest, BasicAuthorization) {
    THttpResponse r = Request("GET", "/demo.cgi", {"Authorization: Basic " + Base64("bob:pass:word")});
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.body.find("user=bob\r\n"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("password=pass:word\r\n"), std::string::npos) << r.body;
}

TEST_F(CgiServerTest, StatusLineAndErrorPage) {
    THttpResponse r = Request("GET", "/demo.cgi?status=404+Not+Found");
    EXPECT_EQ(r.status, 404);
    r = Request("GET", "/demo.cgi?fail=%3Cb%3E");
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.headers.find("content-type: text/html"), std::string::npos);
    EXPECT_EQ(r.body,
              "<html><body>Unhandled Exception: demo failure &#60;&#60;b&#62;&#62;</body></html>\r\n");
    // A query string without '=' is no server switch.
    r = Request("GET", "/demo.cgi?%24%24START_SERVER+X");
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.body.find("query=%24%24START_SERVER+X\r\n"), std::string::npos) << r.body;
}

TEST_F(CgiServerTest, SessionStoredEncryptedForTheOwnerOnly) {
    THttpResponse r = Request("GET", "/demo.cgi?session=abc123&sv_user=bob&other=1");
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.body.find("session=abc123 variables=1\r\n"), std::string::npos) << r.body;
    const std::string file = Dir + "/sessions/abc123.ses";
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    TDateTime age = 0;
    ASSERT_TRUE(FileAge(file, age));
    EXPECT_GT(age, Now());
    const std::string bytes = ReadFileBytes(file);
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(bytes.back(), '\0');
    EXPECT_EQ(bytes.find("bob"), std::string::npos);
#ifdef ZELTO_HAVE_LIBCRYPTO
    EXPECT_EQ(DecryptRecord(DefaultEncryptionKey, UrlDecode(bytes.substr(0, bytes.size() - 1))),
              "\x01sv_user=bob");
#endif
}

// A client that goes away halfway through a streamed upload: the web server stops the
// program, and the upload's temporary file goes with it.
TEST_F(CgiServerTest, ClientThatLeavesDuringAnUploadLeavesNoFile) {
    using namespace std::chrono_literals;
    const std::string uploads = Dir + "/uploads";
    ASSERT_TRUE(fs::is_empty(uploads));
    int s = Connect(Port);
    ASSERT_GE(s, 0);
    const std::string part =
        "--BoUnDaRy\r\nContent-Disposition: form-data; name=\"doc\"; filename=\"big.bin\"\r\n"
        "Content-Type: application/octet-stream\r\n\r\n" +
        std::string(70000, 'x');
    const std::string req =
        "POST /demo.cgi HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: multipart/form-data; "
        "boundary=BoUnDaRy\r\n"
        "Content-Length: 500000\r\n\r\n" +
        part;
    ASSERT_EQ(::send(s, req.data(), req.size(), MSG_NOSIGNAL), static_cast<ssize_t>(req.size()));
    auto waitFor = [](const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
        return done();
    };
    // The program has begun to store the upload...
    EXPECT_TRUE(waitFor([&] { return !fs::is_empty(uploads); }));
    ::close(s);
    // ...and the client left: nothing may stay behind.
    EXPECT_TRUE(waitFor([&] { return fs::is_empty(uploads); }));
}

// ---- Windows CGI: the demo program run with a profile file.

std::string RunWinCgi(const std::string& name, const std::string& profileText) {
    const std::string dir = TestDir() + "/wincgi";
    fs::create_directories(dir);
    const std::string profile = dir + "/" + name + ".ini";
    const std::string output = dir + "/" + name + ".out";
    std::ofstream(output) << std::string(5000, '#');  // stale bytes of an earlier request
    std::ofstream(profile, std::ios::binary) << profileText << "[System]\r\nOutput File=" << output << "\r\n";
    std::vector<std::string> env = CleanEnvironment();
    env.push_back("CGI_LOG_DIR=" + dir);
    const TChildEnd ended = WaitForChild(SpawnWithEnvironment({DemoProgram(), profile}, env));
    EXPECT_TRUE(ended.ExitedWith(0)) << ended;
    return ReadFileBytes(output);
}

TEST(CgiWinProfileTest, PostFromContentFileUnderIIS5) {
    if (::access(DemoProgram().c_str(), X_OK) != 0) GTEST_SKIP() << "demo program missing";
    const std::string content = TestDir() + "/wincgi-body.txt";
    fs::create_directories(TestDir());
    std::ofstream(content, std::ios::binary) << "a=1&b=two+words";
    const std::string out =
        RunWinCgi("post",
                  "[CGI]\r\nRequest Method=POST\r\nQuery String=q=1\r\n"
                  "Server Software=Microsoft-IIS/5.0\r\n"
                  "Content Type=application/x-www-form-urlencoded\r\nContent Length=15\r\n"
                  "Authenticated Username=alice\r\n"
                  "[Accept]\r\ntext/html=Yes\r\nimage/gif=No\r\ntext/plain=Yes\r\n"
                  "[System]\r\nContent File=" +
                      content + "\r\n");
    EXPECT_EQ(out.substr(0, 16), "Status: 200 OK\r\n") << out;
    EXPECT_NE(out.find("field:a=1\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("field:b=two words\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("field:q=1\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("user=alice\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("accept=text/html,text/plain\r\n"), std::string::npos) << out;
    EXPECT_EQ(out.find('#'), std::string::npos) << "stale bytes kept";
}

TEST(CgiWinProfileTest, FormSectionsUnderANewerServer) {
    if (::access(DemoProgram().c_str(), X_OK) != 0) GTEST_SKIP() << "demo program missing";
    const std::string external = TestDir() + "/wincgi-external.txt";
    std::ofstream(external, std::ios::binary) << "external text, cut here: never seen";
    const std::string out = RunWinCgi("forms",
                                      "[CGI]\r\nRequest Method=POST\r\nServer Software=Microsoft-IIS/10.0\r\n"
                                      "[Form External]\r\next=" +
                                          external +
                                          " 23\r\n"
                                          "[Form Literal]\r\nname=J. Doe & Co\r\n");
    EXPECT_EQ(out.substr(0, 17), "HTTP/1.1 200 OK\r\n") << out;
    EXPECT_NE(out.find("field:ext=external text, cut here\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("field:name=J. Doe & Co\r\n"), std::string::npos) << out;
}

// ---- A web server or client that goes away before the answer is written.

struct TDeadPipeRun {
    int status = -1;
    std::string errors;  // what the program wrote on standard error
};

// Runs the demo program with Body on its standard input and a pipe without a reader as its
// standard output.
TDeadPipeRun RunIntoDeadPipe(const std::vector<std::string>& extraEnv, const std::string& body,
                             const std::string& dir) {
    const std::string in = dir + "/stdin", err = dir + "/stderr";
    std::ofstream(in, std::ios::binary) << body;
    int out[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    ::close(out[0]);
    std::vector<std::string> env = CleanEnvironment();
    std::erase_if(env, [](const std::string& v) { return v.rfind("CGI_LOG_DIR=", 0) == 0; });
    env.insert(env.end(),
               {"SERVER_SOFTWARE=lighttpd/1.4.69", "CGI_LOG_DIR=" + dir + "/log",
                "CGI_DEMO_TEMP=" + dir + "/uploads", "CONTENT_LENGTH=" + std::to_string(body.size())});
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> e;
    for (auto& v : env) e.push_back(v.data());
    e.push_back(nullptr);
    const std::string program = DemoProgram();
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int i = ::open(in.c_str(), O_RDONLY),
                  o = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(i, STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(o, STDERR_FILENO);
        ::execve(argv[0], argv, e.data());
        ::_exit(127);
    }
    ::close(out[1]);
    TDeadPipeRun r;
    ::waitpid(pid, &r.status, 0);
    r.errors = ReadFileBytes(err);
    return r;
}

// The lines of the log that tell of the lost answer.
int LostAnswerLines(const std::string& log) {
    int n = 0;
    for (size_t p = log.find("Response not sent"); p != std::string::npos;
         p = log.find("Response not sent", p + 1))
        ++n;
    return n;
}

TEST(CgiDeadPipeTest, RequestEndsQuietlyWhenNobodyReadsTheAnswer) {
    if (::access(DemoProgram().c_str(), X_OK) != 0) GTEST_SKIP() << "demo program missing";
    const std::string multipart =
        "--XyZ\r\nContent-Disposition: form-data; name=\"doc\"; filename=\"a.txt\"\r\n"
        "Content-Type: text/plain\r\n\r\nfile content\r\n--XyZ--\r\n";
    const struct {
        const char* name;
        std::vector<std::string> env;
        std::string body;
    } cases[] = {
        {"get", {"REQUEST_METHOD=GET", "QUERY_STRING=a=1"}, ""},
        {"error-page", {"REQUEST_METHOD=GET", "QUERY_STRING=fail=x"}, ""},
        {"upload", {"REQUEST_METHOD=POST", "CONTENT_TYPE=multipart/form-data; boundary=XyZ"}, multipart},
    };
    for (const auto& c : cases) {
        const std::string dir = TestDir() + "/dead-pipe-" + c.name;
        fs::create_directories(dir + "/uploads");
        const TDeadPipeRun r = RunIntoDeadPipe(c.env, c.body, dir);
        EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0)
            << c.name << ": status " << r.status << "\n"
            << r.errors;
        EXPECT_EQ(r.errors, "") << c.name;
        EXPECT_TRUE(fs::is_empty(dir + "/uploads")) << c.name;
        const std::string log = ReadFileBytes(dir + "/log/cgi_demo.Log");
        EXPECT_EQ(LostAnswerLines(log), 1) << c.name << "\n" << log;
    }
}

// A CGI program starts once per request: it must not load the locale library, which it
// never calls (the runtime loads it when the format settings are first read).
TEST(CgiProgramTest, StartsWithoutTheLocaleLibrary) {
    if (::access(DemoProgram().c_str(), X_OK) != 0) GTEST_SKIP() << "demo program missing";
    // The loader lists what it would load and stops before the program runs.
    FILE* p = ::popen(("LD_TRACE_LOADED_OBJECTS=1 '" + DemoProgram() + "' </dev/null").c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string listing;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof(buf), p)) > 0;) listing.append(buf, n);
    EXPECT_EQ(::pclose(p), 0);
    EXPECT_NE(listing.find("libc.so"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("libicu"), std::string::npos) << listing;
}

}  // namespace
