// CGI engines: header lines, the status-header rule, the end of a console request, the
// GUI program's start from its owner, call detection and Windows-CGI profiles.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "platform/framework/Application.h"
#include "tests/web/CgiTestSupport.h"
#include "tests/web/WebTestSupport.h"
#include "web/CGISEng.h"
#include "web/CGIWEng.h"

namespace {

TEST(CgiEngineTest, StatusHeaderRulePerServerSoftware) {
    const struct {
        const char* software;
        bool wanted;
    } cases[] = {
        {"Apache/2.4.57 (Debian)", true},
        {"apache", true},
        {"Netscape-Enterprise/3.6", true},
        {"iPlanet-WebServer-Enterprise/6.0", true},
        {"Stronghold/2.4.2 Apache/1.3.6", true},
        {"Microsoft-IIS/4.0", true},
        {"Microsoft-IIS/5.0", true},
        {"Microsoft-IIS/3.0", false},
        {"Microsoft-IIS/10.0", false},
        {"Microsoft-IIS/", false},
        {"Microsoft-IIS/\xE9", true},  // any character from '4' up, not only digits
        {"lighttpd/1.4.69", false},
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(ServerWantsStatusHeader(c.software), c.wanted) << c.software;
}

// Runs one request through a CGI engine of a GUI program (which ends the request at once).
std::string RunCgiRequest(THttpCGIEngine& engine, const std::vector<std::string>& vars) {
    return RunRequest(engine, vars)->bytes;
}

TEST(CgiEngineTest, StatusLineOrStatusHeader) {
    TProcessKindScope gui(pkGuiProgram);
    TCGIStdEngine engine(nullptr);
    engine.SetCGIAutoTerminate(false);
    engine.OnExecRequest = [&](TObject*) {
        engine.SetHeader("X-Empty", "");
        engine.Write("body");
    };
    EXPECT_EQ(RunCgiRequest(engine, {"SERVER_SOFTWARE=Microsoft-IIS/5.0"}),
              "Status: 200 OK\r\nX-Empty\r\ncontent-length: 4\r\nConnection: Keep-Alive\r\n"
              "content-type: text/html\r\n\r\nbody");
    EXPECT_EQ(RunCgiRequest(engine, {"SERVER_SOFTWARE=Microsoft-IIS/10.0"}),
              "HTTP/1.1 200 OK\r\nX-Empty\r\ncontent-length: 4\r\nConnection: Keep-Alive\r\n"
              "content-type: text/html\r\n\r\nbody");
    SetForceStatusHeader(true);
    const std::string forced = RunCgiRequest(engine, {"SERVER_SOFTWARE=lighttpd/1.4.69"});
    SetForceStatusHeader(false);
    EXPECT_EQ(forced.substr(0, 16), "Status: 200 OK\r\n");
    EXPECT_FALSE(Application()->Terminated());
}

TEST(CgiEngineTest, HeaderLinesCannotBeSplit) {
    TProcessKindScope gui(pkGuiProgram);
    TCGIStdEngine engine(nullptr);
    engine.SetCGIAutoTerminate(false);
    engine.SetAutoHttpHeader(false);
    engine.OnExecRequest = [&](TObject*) {
        // Called directly, as an adapter or the plain-text debug output does.
        engine.SendHeaderLine("X-A\r\n", "1\r\nSet-Cookie: a=b\n");
        engine.SendHeaderLine("HTTP/1.1 302\r\nX-B: 1", "");
        engine.EndHeaders();
    };
    EXPECT_EQ(RunCgiRequest(engine, {"SERVER_SOFTWARE=Apache"}),
              "X-A: 1Set-Cookie: a=b\r\nStatus: 302X-B: 1\r\n\r\n");
}

TEST(CgiEngineTest, GuiProgramEndsAfterTheRequestWhenAutoTerminating) {
    TProcessKindScope gui(pkGuiProgram);
    TCGIStdEngine engine(nullptr);
    EXPECT_TRUE(engine.CGIAutoTerminate());
    RunCgiRequest(engine, {"REQUEST_METHOD=GET"});
    EXPECT_TRUE(Application()->Terminated());
    Application()->ResetTerminated();

    engine.SetCGIMode(ServerMode);
    RunCgiRequest(engine, {"REQUEST_METHOD=GET"});
    EXPECT_FALSE(Application()->Terminated());
}

// A console program's request ends through Terminate, exactly once: the response goes
// out, OnResponseReady fires, the upload's temporary file goes.
TEST(CgiEngineTest, ConsoleRequestEndsOnceThroughTerminate) {
    TProcessKindScope console(pkConsoleProgram);
    TCGIStdEngine engine(nullptr);
    engine.AllowedMethods()->SetPut(true);
    engine.SetTempDir(TestDir() + "/console-uploads");
    int ready = 0;
    engine.OnResponseReady = [&](TObject*, TStringList*, TMemoryStream*) { ++ready; };
    std::string tempFile;
    engine.OnExecRequest = [&](TObject*) {
        tempFile = engine.GetField("f_FILENAME");
        engine.Write("got " + engine.GetField("f"));
    };
    const std::string body =
        "--XyZ\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.txt\"\r\n"
        "Content-Type: text/plain\r\n\r\nfile content\r\n--XyZ--\r\n";
    auto rec = RunRequest(engine,
                          {"REQUEST_METHOD=POST", "CONTENT_TYPE=multipart/form-data; boundary=XyZ",
                           "CONTENT_LENGTH=" + std::to_string(body.size())},
                          new TChunkStream(body));
    EXPECT_EQ(rec->bytes, "");
    ASSERT_FALSE(tempFile.empty());
    EXPECT_TRUE(FileExists(tempFile));
    EXPECT_EQ(ready, 0);

    TerminateEngineProcess();
    EXPECT_EQ(ready, 1);
    EXPECT_TRUE(rec->freed);
    EXPECT_NE(rec->bytes.find("\r\n\r\ngot a.txt"), std::string::npos);
    EXPECT_FALSE(FileExists(tempFile));
    TerminateEngineProcess();
    EXPECT_EQ(ready, 1);
    Application()->ResetTerminated();
}

TEST(CgiEngineTest, ConsoleErrorPageGoesOutOnce) {
    TProcessKindScope console(pkConsoleProgram);
    TCGIStdEngine engine(nullptr);
    int ready = 0;
    engine.OnResponseReady = [&](TObject*, TStringList*, TMemoryStream*) { ++ready; };
    engine.OnExecRequest = [&](TObject*) { throw Exception("broken <here>"); };
    auto rec = RunRequest(engine, {"REQUEST_METHOD=GET"});
    TerminateEngineProcess();
    EXPECT_EQ(ready, 1);
    const std::string page = "<html><body>Unhandled Exception: broken &#60;here&#62;</body></html>";
    const size_t at = rec->bytes.find(page);
    ASSERT_NE(at, std::string::npos) << rec->bytes;
    EXPECT_EQ(rec->bytes.find(page, at + 1), std::string::npos);
    Application()->ResetTerminated();
}

size_t Occurrences(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t p = text.find(part); p != std::string::npos; p = text.find(part, p + 1)) ++n;
    return n;
}

// An answer that cannot be written (the client or web server went away) ends the request
// quietly, in the request or at the program's end: one log line, no further write, the
// rest of the end of the request as usual.
TEST(CgiEngineTest, AnswerThatCannotBeWrittenEndsTheRequestQuietly) {
    const std::string upload =
        "--XyZ\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.txt\"\r\n"
        "Content-Type: text/plain\r\n\r\nfile content\r\n--XyZ--\r\n";
    const struct {
        TProcessKind kind;
        const char* what;  // "get", "error", "upload" or "debug" (plain-text debug output)
    } cases[] = {
        {pkConsoleProgram, "get"}, {pkConsoleProgram, "error"}, {pkConsoleProgram, "upload"},
        {pkGuiProgram, "get"},     {pkGuiProgram, "error"},     {pkGuiProgram, "upload"},
        {pkGuiProgram, "debug"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.kind == pkConsoleProgram ? "console " : "gui ") + c.what);
        TProcessKindScope kind(c.kind);
        TCGIStdEngine engine(nullptr);
        engine.AllowedMethods()->SetPut(true);
        engine.SetTempDir(TestDir() + "/dead-output-uploads");
        if (std::string(c.what) == "debug") engine.SetDebugMode(DebugAlways);
        int ready = 0;
        engine.OnResponseReady = [&](TObject*, TStringList*, TMemoryStream*) { ++ready; };
        std::string tempFile;
        engine.OnExecRequest = [&](TObject*) {
            if (std::string(c.what) == "error") throw Exception("broken");
            tempFile = engine.GetField("f_FILENAME");
            engine.Write("answer");
        };
        std::vector<std::string> vars = {"REQUEST_METHOD=GET", "SERVER_SOFTWARE=lighttpd/1.4.69"};
        TStream* input = nullptr;
        if (std::string(c.what) == "upload") {
            vars = {"REQUEST_METHOD=POST", "CONTENT_TYPE=multipart/form-data; boundary=XyZ",
                    "CONTENT_LENGTH=" + std::to_string(upload.size())};
            input = new TChunkStream(upload);
        }
        const size_t logged = Occurrences(ReadFileBytes(LogFileName()), "Response not sent");
        auto attempts = std::make_shared<int>(0);
        EXPECT_NO_THROW(engine.ProcessRequest(input, new TDeadStream(attempts), MakeVariables(vars)));
        EXPECT_NO_THROW(TerminateEngineProcess());
        EXPECT_EQ(ready, 1);
        EXPECT_EQ(*attempts, 1);
        EXPECT_EQ(Occurrences(ReadFileBytes(LogFileName()), "Response not sent"), logged + 1);
        if (std::string(c.what) == "upload") {
            ASSERT_FALSE(tempFile.empty());
            EXPECT_FALSE(FileExists(tempFile));
        }
        EXPECT_EQ(RequestContext().OutStream, nullptr);
        Application()->ResetTerminated();
    }
}

TEST(CgiEngineTest, CallDetection) {
    const std::string profile = TestDir() + "/detect.ini";
    std::ofstream(profile) << "[CGI]\r\n";
    {
        TEnvScope env({{"SERVER_SOFTWARE", std::nullopt},
                       {"REQUEST_METHOD", std::nullopt},
                       {"CGI_VERSION", std::nullopt}});
        TArgsScope args({});
        EXPECT_TRUE(IsServerInstance());
    }
    {
        TEnvScope env(
            {{"SERVER_SOFTWARE", "test"}, {"REQUEST_METHOD", std::nullopt}, {"CGI_VERSION", std::nullopt}});
        {
            TArgsScope args({" $$START_SERVER ", "X"});
            EXPECT_TRUE(IsServerInstance());
        }
        {
            TArgsScope args({"$$START_SERVER"});
            EXPECT_FALSE(IsServerInstance());
        }
        TArgsScope args({profile});
        EXPECT_TRUE(IsWinCGICall());
        EXPECT_TRUE(IsStdCGICall());
    }
    {
        TEnvScope env({{"SERVER_SOFTWARE", "test"},
                       {"REQUEST_METHOD", std::nullopt},
                       {"CGI_VERSION", "CGI/1.3a (Win)"}});
        TArgsScope args({profile});
        EXPECT_TRUE(IsWinCGICall());
        EXPECT_FALSE(IsStdCGICall());
    }
    {
        TEnvScope env(
            {{"SERVER_SOFTWARE", "test"}, {"REQUEST_METHOD", std::nullopt}, {"CGI_VERSION", "CGI/1.1"}});
        TArgsScope args({profile});
        EXPECT_FALSE(IsWinCGICall());
        TArgsScope missing({TestDir() + "/no such profile"});
        EXPECT_FALSE(IsWinCGICall());
    }
    {
        // A query string without '=' arrives as arguments: under a web server they are
        // neither the server switch nor a profile.
        TEnvScope env(
            {{"SERVER_SOFTWARE", "test"}, {"REQUEST_METHOD", "GET"}, {"CGI_VERSION", std::nullopt}});
        {
            TArgsScope args({"$$START_SERVER", "X"});
            EXPECT_FALSE(IsServerInstance());
        }
        TArgsScope args({profile});
        EXPECT_FALSE(IsWinCGICall());
        EXPECT_TRUE(IsStdCGICall());
        TProcessKindScope library(pkLibrary);
        EXPECT_FALSE(IsStdCGICall());
    }
}

TEST(CgiEngineTest, EnvironmentVariablesSorted) {
    TEnvScope env({{"ZZ_CGI_TEST", "last"}, {"AA_CGI_TEST", "a=b"}});
    std::unique_ptr<TStringList> vars(ReadEnvironmentVariables());
    EXPECT_TRUE(vars->Sorted());
    EXPECT_EQ(vars->Values("AA_CGI_TEST"), "a=b");
    EXPECT_LT(vars->IndexOfName("AA_CGI_TEST"), vars->IndexOfName("ZZ_CGI_TEST"));
}

// An owner that fires OnCreate once its children are loaded (a data module).
class TTestDataModule : public TComponent, public TCGIEngineOwner {
public:
    TTestDataModule() : TComponent(nullptr) {}
    TNotifyEvent& OwnerOnCreate() override { return OnCreate; }
    TNotifyEvent OnCreate;
};

// Standard input and output of the process replaced by files for the scope.
class TStdioScope {
public:
    TStdioScope(const std::string& in, const std::string& out) {
        std::fflush(stdout);
        FIn = ::dup(STDIN_FILENO);
        FOut = ::dup(STDOUT_FILENO);
        int i = ::open(in.c_str(), O_RDONLY);
        int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(i, STDIN_FILENO);
        ::dup2(o, STDOUT_FILENO);
        ::close(i);
        ::close(o);
    }
    ~TStdioScope() {
        ::dup2(FIn, STDIN_FILENO);
        ::dup2(FOut, STDOUT_FILENO);
        ::close(FIn);
        ::close(FOut);
    }

private:
    int FIn, FOut;
};

TEST(CgiEngineTest, GuiProgramRunsTheRequestFromItsOwnersCreation) {
    const std::string in = TestDir() + "/gui-stdin", out = TestDir() + "/gui-stdout";
    std::ofstream(in) << "x=1&y=2";
    TProcessKindScope gui(pkGuiProgram);
    TEnvScope env({{"SERVER_SOFTWARE", "lighttpd/1.4.69"},
                   {"REQUEST_METHOD", "POST"},
                   {"CONTENT_LENGTH", "7"},
                   {"QUERY_STRING", "q=3"},
                   {"CGI_VERSION", std::nullopt}});
    std::vector<std::string> seen;
    {
        TStdioScope stdio(in, out);
        TCGIStdUnit unit;
        TTestDataModule owner;
        auto* engine = new TCGIStdEngine(&owner);
        engine->OnExecRequest = [&](TObject*) {
            seen.push_back("request");
            engine->Write(engine->GetField("x") + engine->GetField("y") + engine->GetField("q"));
        };
        owner.OnCreate = [&](TObject*) { seen.push_back("owner created"); };
        engine->Loading();
        engine->Loaded();
        // Nothing runs before the owner is complete.
        seen.push_back("loaded");
        owner.OnCreate(&owner);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"loaded", "owner created", "request"}));
    const std::string response = ReadFileBytes(out);
    EXPECT_EQ(response.substr(0, 17), "HTTP/1.1 200 OK\r\n");
    EXPECT_EQ(response.substr(response.size() - 7), "\r\n\r\n123");
    EXPECT_TRUE(Application()->Terminated());
    Application()->ResetTerminated();
}

// ---- Windows-CGI profiles

std::string WriteFile(const std::string& name, const std::string& bytes) {
    const std::string path = TestDir() + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

struct TProfileResult {
    std::unique_ptr<TStringList> vars = std::make_unique<TStringList>();
    std::unique_ptr<TStream> in, out;
    std::string outputFile;
    std::string Input() {
        if (!in) return "<none>";
        std::string s(static_cast<size_t>(in->Size() - in->Position()), '\0');
        in->ReadBuffer(s.data(), static_cast<int64_t>(s.size()));
        return s;
    }
};

TProfileResult ReadProfileFile(const std::string& path) {
    TProfileResult r;
    TStream* in = nullptr;
    TStream* out = nullptr;
    ReadProfile(path, r.outputFile, in, r.vars.get(), out);
    r.in.reset(in);
    r.out.reset(out);
    return r;
}

TEST(CgiEngineTest, ProfileSectionsVariablesAndFormData) {
    const std::string external = WriteFile("external.txt", "from a file & more");
    const std::string output = TestDir() + "/profile-out.txt";
    const std::string profile = WriteFile(
        "p1.ini",
        "[CGI]\r\nRequest Method = POST\r\nQuery String=a=1\r\n"
        "[Accept]\r\ntext/html=Yes\r\nimage/png=No\r\ntext/plain=yes\r\n"
        "[ form external ]\r\nfirst=" +
            external + " 9\r\n" + "gone=" + TestDir() + "/missing.txt 5\r\n" +
            "[Form Literal]\r\nname=J Doe\r\nempty=\r\na&b+c%41=1\r\n"
            "[Extra Headers]\r\nX Forwarded=1\r\nQuery_String=evil\r\nAuthenticated_Username=admin\r\n"
            "[Other]\r\nignored=1\r\n"
            "[System]\r\nOutput File=" +
            output + "\r\n");
    TProfileResult r = ReadProfileFile(profile);
    EXPECT_EQ(r.vars->Values("Request_Method"), "POST");
    EXPECT_EQ(r.vars->Values("Query_String"), "a=1");
    EXPECT_EQ(r.vars->Values("X_Forwarded"), "1");
    // Headers the client sent cannot stand for what the server tells of the request.
    EXPECT_EQ(r.vars->Count(), 5);
    EXPECT_EQ(r.vars->IndexOfName("Authenticated_Username"), -1);
    EXPECT_EQ(r.vars->Values("HTTP_ACCEPT"), "text/html,text/plain");
    EXPECT_EQ(r.vars->IndexOfName("ignored"), -1);
    EXPECT_EQ(r.outputFile, output);
    // The external entry came first; an unreadable one is skipped.
    EXPECT_EQ(r.Input(), "first=from+a+fi&name=J+Doe&empty=&a%26b%2Bc%2541=1&");
    ASSERT_TRUE(r.out);
    EXPECT_TRUE(FileExists(output));
}

TEST(CgiEngineTest, ProfileContentFileAndOutputFile) {
    const std::string content = WriteFile("content.bin", "a=b&c=d");
    // An output file left from before is emptied: what it held is no part of the answer.
    const std::string output = WriteFile("old-output.txt", "left over from an earlier request");
    const std::string profile =
        WriteFile("p2.ini", "[System]\r\nContent File=" + content + "\r\nOutput File=" + output +
                                "\r\n[Form Literal]\r\nx=1\r\n");
    TProfileResult r = ReadProfileFile(profile);
    EXPECT_EQ(r.Input(), "a=b&c=d");
    r.out->WriteBuffer("new", 3);
    r.out.reset();
    EXPECT_EQ(ReadFileBytes(output), "new");

    const std::string bare = WriteFile("p3.ini", "[System]\r\nOutput File=" + output + "\r\n");
    EXPECT_EQ(ReadFileBytes(output), "new");
    EXPECT_EQ(ReadFileBytes(bare).empty(), false);
    TProfileResult none = ReadProfileFile(bare);
    EXPECT_FALSE(none.in);
    // The files are the server's: a client's header of the same name names neither.
    const std::string planted =
        WriteFile("p4.ini", "[Extra Headers]\r\nContent File=" + content + "\r\nOutput_File=" + TestDir() +
                                "/planted-out.txt\r\n[System]\r\nOutput File=" + output + "\r\n");
    TProfileResult client = ReadProfileFile(planted);
    EXPECT_FALSE(client.in);
    EXPECT_EQ(client.outputFile, output);

    EXPECT_THROW(ReadProfileFile(TestDir() + "/no-such.ini"), EFOpenError);
}

TEST(CgiEngineTest, ProfileLinesEndAtCarriageReturns) {
    TStringStream s("one\r\ntwo\rthree\nstill three\r" + std::string(16390, 'x'));
    std::string line;
    bool cr = false;
    std::vector<std::pair<std::string, bool>> lines;
    while (ReadProfileLine(s, line, cr)) lines.push_back({line, cr});
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], std::make_pair(std::string("one"), true));
    EXPECT_EQ(lines[1], std::make_pair(std::string("two"), true));
    EXPECT_EQ(lines[2], std::make_pair(std::string("three\nstill three"), true));
    EXPECT_EQ(lines[3].first.size(), 16383u);
    EXPECT_FALSE(lines[3].second);
    EXPECT_EQ(lines[4].first, "xxxxxxx");

    std::string section = "OLD", key, value;
    EXPECT_EQ(ParseProfileLine("[ extra headers ]", section, key, value), plSection);
    EXPECT_EQ(section, "EXTRA_HEADERS");
    EXPECT_EQ(ParseProfileLine(" Key Name = a = b ", section, key, value), plKeyValue);
    EXPECT_EQ(key, "Key Name");
    EXPECT_EQ(value, "a = b");
    EXPECT_EQ(ParseProfileLine("k=", section, key, value), plKeyValue);
    EXPECT_EQ(value, "");
    EXPECT_EQ(ParseProfileLine("no pair here", section, key, value), plNone);
}

}  // namespace
