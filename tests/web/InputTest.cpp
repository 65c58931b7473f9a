// Request input: URL-encoded fields, methods, bodies, authorization, server variables.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <random>
#include <thread>

#include "platform/framework/Application.h"
#include "platform/rtl/Tick.h"
#include "tests/support/ForkChild.h"
#include "tests/web/WebTestSupport.h"

using ::testing::HasSubstr;

namespace {

using TFieldList = std::vector<std::pair<std::string, std::string>>;

TFieldList FieldsOf(const TStrings& list) {
    TFieldList out;
    for (int i = 0; i < list.Count(); ++i) out.emplace_back(list.Names(i), list.ValueFromIndex(i));
    return out;
}

std::string Base64(const std::string& s) {
    static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < s.size(); i += 3) {
        uint32_t v = (uint8_t(s[i]) << 16) | (uint8_t(s[i + 1]) << 8) | uint8_t(s[i + 2]);
        for (int k = 3; k >= 0; --k) out += a[(v >> (6 * k)) & 63];
    }
    if (i + 1 == s.size()) {
        uint32_t v = uint8_t(s[i]) << 16;
        out += std::string{a[v >> 18], a[(v >> 12) & 63], '=', '='};
    } else if (i + 2 == s.size()) {
        uint32_t v = (uint8_t(s[i]) << 16) | (uint8_t(s[i + 1]) << 8);
        out += std::string{a[v >> 18], a[(v >> 12) & 63], a[(v >> 6) & 63], '='};
    }
    return out;
}

TEST(UrlEncodedInput, QueryStringTable) {
    struct Case {
        std::string query;
        TFieldList fields;  // in list order (sorted by line)
    };
    const std::vector<Case> cases = {
        {"a=1&a=2&b=", {{"a", "1\r\n2"}, {"b", ""}}},
        {"b=2&a=1", {{"a", "1"}, {"b", "2"}}},
        {"x=%41%2b+y%2F", {{"x", "A+ y/"}}},
        {"p=100%", {{"p", "100%"}}},
        {"p=%4", {{"p", "%4"}}},
        {"p=%zz&q=%4g1", {{"p", "%zz"}, {"q", "%4g1"}}},
        {"p=%%41", {{"p", "%A"}}},
        {"=v&k&&k2=", {{"k2", ""}}},
        {"k=v=w", {{"k", "v=w"}}},
        {"%6eame=1", {{"name", "1"}}},
        {"a+b=c+d", {{"a b", "c d"}}},
        {"e=&e=x", {{"e", "\r\nx"}}},
        {"bin=%00%FF", {{"bin", std::string("\0\xFF", 2)}}},
        {"", {}},
    };
    for (const Case& c : cases) {
        TStringList fields;
        fields.SetSorted(true);
        ParseUrlEncoded(&fields, c.query + "&", static_cast<int32_t>(c.query.size() + 1));
        EXPECT_EQ(FieldsOf(fields), c.fields) << c.query;
    }
}

// Into an empty sorted list a body is parsed at once, not pair by pair: it gives the lines the
// pairs would give one by one (the reference: the same text parsed after another line).
TEST(UrlEncodedInput, ABodyGivesTheLinesItsPairsGiveOneByOne) {
    std::mt19937 random(5);
    const std::string alphabet = "aAbB==&&+%3D";
    for (int round = 0; round < 4000; ++round) {
        std::string text;
        for (int i = int(random() % 40); i > 0; --i) text += alphabet[random() % alphabet.size()];
        text += '&';
        for (const bool sensitive : {false, true}) {
            TStringList batch, reference;
            for (TStringList* l : {&batch, &reference}) {
                l->SetSorted(true);
                l->SetCaseSensitive(sensitive);
            }
            reference.Add("\x7F=");
            ParseUrlEncoded(&batch, text, int32_t(text.size()));
            ParseUrlEncoded(&reference, text, int32_t(text.size()));
            reference.Delete(reference.IndexOf("\x7F="));
            ASSERT_EQ(batch.Text(), reference.Text()) << text << (sensitive ? " (case-sensitive)" : "");
        }
    }
}

TEST(UrlEncodedInput, LengthLimitsTheScan) {
    TStringList fields;
    ParseUrlEncoded(&fields, "a=1&b=2&", 4);
    EXPECT_EQ(FieldsOf(fields), (TFieldList{{"a", "1"}}));
    ParseUrlEncoded(&fields, "c=3&", 100);  // longer than the text
    EXPECT_EQ(FieldsOf(fields), (TFieldList{{"a", "1"}, {"c", "3"}}));
}

TEST(UrlEncodedInput, EncodeTable) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"a b", "a+b"},
        {"AZaz09./\\", "AZaz09./\\"},
        {"~-_*+&=%", "%7E%2D%5F%2A%2B%26%3D%25"},
        {std::string("\0\x7F\x80\xE9\xFF", 5), "%00%7F%80%E9%FF"},
        {"", ""},
    };
    for (const auto& [plain, encoded] : cases) {
        EXPECT_EQ(UrlEncode(plain), encoded);
        EXPECT_EQ(UrlDecode(encoded), plain);
    }
}

TEST(UrlEncodedInput, FieldsThroughTheEngine) {
    TTestEngine e;
    std::string a, missing, trimmed, untrimmed;
    std::vector<std::string> names;
    e.OnExecRequest = [&](TObject*) {
        a = e.GetField("A");  // names compare without regard to case
        missing = e.GetField("none", "dflt");
        trimmed = e.GetField("t", "dflt");
        auto list = e.GetFieldNames();
        for (int i = 0; i < list->Count(); ++i) names.push_back(list->Get(i));
        e.SetTrimFields(false);
        untrimmed = e.GetField("t", "dflt");
        e.SetTrimFields(true);
    };
    RunRequest(e, {"REQUEST_METHOD=GET", "QUERY_STRING=zz=1&a=+v+&t=++"});
    EXPECT_EQ(a, "v");
    EXPECT_EQ(missing, "dflt");
    EXPECT_EQ(trimmed, "dflt");  // blanks only: empty after trimming
    EXPECT_EQ(untrimmed, "  ");
    EXPECT_EQ(names, (std::vector<std::string>{"a", "t", "zz"}));
}

struct TMethodCase {
    const char* name;
    std::vector<std::string> vars;
    std::string body;
    std::function<void(THttpEngine&)> setup;
    std::string error;  // expected message on the error page, or empty
    TFieldList fields;  // expected fields when no error
};

TEST(RequestInput, MethodsAndLimits) {
    const std::vector<TMethodCase> cases = {
        {"GET refused",
         {"REQUEST_METHOD=GET", "QUERY_STRING=a=1"},
         "",
         [](THttpEngine& e) { e.AllowedMethods()->SetGet(false); },
         "Method not allowed (GET)",
         {}},
        {"POST ignores the query without GET",
         {"REQUEST_METHOD=POST", "QUERY_STRING=q=1"},
         "b=2",
         [](THttpEngine& e) { e.AllowedMethods()->SetGet(false); },
         "",
         {{"b", "2"}}},
        {"POST refused",
         {"REQUEST_METHOD=POST"},
         "b=2",
         [](THttpEngine& e) { e.AllowedMethods()->SetPost(false); },
         "Method not allowed (POST)",
         {}},
        {"body fields come before query fields of the same name",
         {"REQUEST_METHOD=post", "QUERY_STRING=x=q"},
         "x=b",
         [](THttpEngine&) {},
         "",
         {{"x", "b\r\nq"}}},
        {"other methods read only the query",
         {"REQUEST_METHOD=PUT", "QUERY_STRING=q=1"},
         "b=2",
         [](THttpEngine&) {},
         "",
         {{"q", "1"}}},
        {"multipart needs PUT allowed",
         {"REQUEST_METHOD=POST", "CONTENT_TYPE=Multipart/Form-Data; boundary=x", "CONTENT_LENGTH=3"},
         "--x",
         [](THttpEngine&) {},
         "Method not allowed (PUT)",
         {}},
        {"read limit",
         {"REQUEST_METHOD=POST", "CONTENT_LENGTH=11"},
         "b=123456789",
         [](THttpEngine& e) { e.SetAutoReadLimit(10); },
         "Content length exceeds allowed limit",
         {}},
        {"read limit reached exactly",
         {"REQUEST_METHOD=POST", "CONTENT_LENGTH=10"},
         "b=12345678",
         [](THttpEngine& e) { e.SetAutoReadLimit(10); },
         "",
         {{"b", "12345678"}}},
        {"no input read",
         {"REQUEST_METHOD=GET", "QUERY_STRING=a=1"},
         "",
         [](THttpEngine& e) { e.SetAutoReadInput(false); },
         "",
         {}},
    };
    for (const TMethodCase& c : cases) {
        TTestEngine e;
        c.setup(e);
        TFieldList fields;
        e.OnExecRequest = [&](TObject*) { fields = FieldsOf(RequestContext().FormFields); };
        auto out = RunRequest(e, c.vars, new TStringStream(c.body));
        if (c.error.empty()) {
            EXPECT_THAT(out->bytes, ::testing::Not(HasSubstr("Unhandled"))) << c.name;
            EXPECT_EQ(fields, c.fields) << c.name;
        } else {
            EXPECT_THAT(out->bytes,
                        HasSubstr("<html><body>Unhandled Exception: " + c.error + "</body></html>"))
                << c.name;
        }
    }
}

TEST(RequestInput, ShortBodyFromAPipeEndsTheInput) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::string sent = "a=1&b=2";
    ASSERT_EQ(write(fds[1], sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
    close(fds[1]);  // the client stops after 7 of the 50 announced bytes
    TTestEngine e;
    TFieldList fields;
    e.OnExecRequest = [&](TObject*) { fields = FieldsOf(RequestContext().FormFields); };
    RunRequest(e, {"REQUEST_METHOD=POST", "CONTENT_LENGTH=50"}, new THandleStream(fds[0]));
    close(fds[0]);
    EXPECT_EQ(fields, (TFieldList{{"a", "1"}, {"b", "2"}}));
}

// Delivers its data, then blocks until released (a client that stops sending).
class TStallingStream : public TStream {
public:
    struct TGate {
        std::mutex m;
        std::condition_variable cv;
        bool open = false;
        void Release() {
            std::lock_guard<std::mutex> lk(m);
            open = true;
            cv.notify_all();
        }
    };
    TStallingStream(std::string data, std::shared_ptr<TGate> gate, std::chrono::milliseconds limit)
        : FData(std::move(data)), FGate(std::move(gate)), FLimit(limit) {}
    int64_t Read(void* buf, int64_t count) override {
        if (!FData.empty()) {
            size_t n = std::min(FData.size(), static_cast<size_t>(count));
            std::memcpy(buf, FData.data(), n);
            FData.erase(0, n);
            return static_cast<int64_t>(n);
        }
        std::unique_lock<std::mutex> lk(FGate->m);
        FGate->cv.wait_for(lk, FLimit, [&] { return FGate->open; });
        return 0;
    }
    int64_t Write(const void*, int64_t) override { return 0; }
    int64_t Seek(int64_t, TSeekOrigin) override { return 0; }

private:
    std::string FData;
    std::shared_ptr<TGate> FGate;
    std::chrono::milliseconds FLimit;
};

TEST(RequestInput, WatchdogEndsAStalledBody) {
    struct Case {
        TProcessKind kind;
        std::string length;
        bool fires;
    };
    // With the clock 2000 times faster, the 30 s deadline passes in 15 ms; a stream that
    // is never released gives up after 150 ms (300 s of clock time).
    const std::vector<Case> cases = {
        {pkGuiProgram, "5000", true},
        {pkConsoleProgram, "2049", true},
        {pkGuiProgram, "2048", false},  // small bodies are not watched
        {pkLibrary, "5000", false},     // a library never ends its host's process
    };
    for (const Case& c : cases) {
        TProcessKindScope kind(c.kind);
        TVirtualClockScope clock(2000.0);
        auto gate = std::make_shared<TStallingStream::TGate>();
        TakeExitCodes();
        SetProcessExitHandler([&](int code) {
            InstallRecordingExitHandler();
            ExitEngineProcess(code);
            gate->Release();
        });
        TTestEngine e;
        std::string a;
        e.OnExecRequest = [&](TObject*) { a = e.GetField("a"); };
        RunRequest(e, {"REQUEST_METHOD=POST", "CONTENT_LENGTH=" + c.length},
                   new TStallingStream("a=1&", gate, std::chrono::milliseconds(150)));
        if (c.kind == pkConsoleProgram) e.Terminate();
        InstallRecordingExitHandler();
        StopReadingWatchdog();
        EXPECT_EQ(a, "1");
        EXPECT_EQ(TakeExitCodes(), c.fires ? std::vector<int>{0} : std::vector<int>{}) << c.length;
    }
    Application()->ResetTerminated();
}

// A multipart upload that stalls halfway through its file: the watchdog deletes the
// request's temporary file before it ends the process.
TEST(RequestInput, WatchdogDeletesTheUploadOfAStalledRequest) {
    TProcessKindScope kind(pkConsoleProgram);
    TVirtualClockScope clock(2000.0);
    const std::string dir = TestDir() + "/stalled-uploads";
    const std::string head =
        "--XyZ\r\nContent-Disposition: form-data; name=\"f\"; filename=\"big.bin\"\r\n"
        "Content-Type: application/octet-stream\r\n\r\n" +
        std::string(40000, 'x');  // past the parser's first buffer: the file exists
    auto gate = std::make_shared<TStallingStream::TGate>();
    std::vector<std::string> leftAtExit;
    TakeExitCodes();
    SetProcessExitHandler([&](int code) {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
            leftAtExit.push_back(entry.path().string());
        InstallRecordingExitHandler();
        ExitEngineProcess(code);
        gate->Release();
    });
    TTestEngine e;
    e.AllowedMethods()->SetPut(true);
    e.SetTempDir(dir);
    RunRequest(
        e, {"REQUEST_METHOD=POST", "CONTENT_TYPE=multipart/form-data; boundary=XyZ", "CONTENT_LENGTH=100000"},
        new TStallingStream(head, gate, std::chrono::milliseconds(2000)));
    e.Terminate();
    InstallRecordingExitHandler();
    StopReadingWatchdog();
    EXPECT_EQ(TakeExitCodes(), std::vector<int>{0});
    EXPECT_EQ(leftAtExit, std::vector<std::string>{});
    Application()->ResetTerminated();
}

// A web server ends a CGI program with SIGTERM when its client leaves. The signal goes to
// any thread of the program that does not block it (the reading watchdog's, say): an
// upload file being created on the main thread just then must still go with the program.
TEST(RequestInput, AnEndSignalOnAnotherThreadDeletesTheUploadBeingCreated) {
    namespace fs = std::filesystem;
    const std::string dir = TestDir() + "/signalled-uploads/";
    std::mt19937 draw(11);
    for (int round = 0; round < 40; ++round) {
        fs::create_directories(dir);
        TForkChild child([&](TForkChild& test) -> int {
            DeleteTempFilesOnEndSignals();
            std::thread other([&] { test.Receive(); });
            TTestEngine e;
            e.SetTempDir(dir);
            TStringList info;
            info.Add("Name=f");
            test.Send('r');
            for (;;) {
                TStream* out = nullptr;
                bool freeOut = false, cancel = false;
                try {
                    e.PrepareUploadFile(nullptr, &info, out, freeOut, cancel);
                } catch (const Exception&) {
                    // no new file once the end has begun
                }
                delete out;
                RequestContext().ReleaseRequestObjects();
            }
        });
        ASSERT_EQ(child.Receive(), 'r');
        std::this_thread::sleep_for(std::chrono::microseconds(draw() % 3000));
        child.Kill(SIGTERM);
        const TChildEnd end = child.Finish();
        EXPECT_TRUE(end.KilledBy(SIGTERM)) << end;
        std::vector<std::string> left;
        for (const auto& entry : fs::directory_iterator(dir)) left.push_back(entry.path().string());
        ASSERT_EQ(left, std::vector<std::string>{}) << "round " << round;
        fs::remove_all(dir);
    }
}

TEST(RequestInput, LargeBodyInSmallReads) {
    const std::string value(100000, 'x');
    const std::string body = "v=" + value + "&w=1";
    TTestEngine e;
    std::string got, w;
    e.OnExecRequest = [&](TObject*) {
        got = e.GetField("v");
        w = e.GetField("w");
    };
    RunRequest(e, {"REQUEST_METHOD=POST", "CONTENT_LENGTH=" + std::to_string(body.size())},
               new TChunkStream(body, 700));
    EXPECT_EQ(got, value);
    EXPECT_EQ(w, "1");
}

// Lengths the engine cannot take are refused, not read as an empty body; lengths that are
// no number at all still count as none.
TEST(RequestInput, ContentLengthBeyondTheEngineIsRefused) {
    const std::string multipart = "CONTENT_TYPE=multipart/form-data; boundary=XyZ";
    const struct {
        std::string length, type;
        bool refused;
    } cases[] = {
        {"2147483647", "", true},  // would overflow the buffer size
        {"2147483648", "", true},        {"4294967296", "", true},
        {"+0009999999999", "", true},    {"99999999999999999999999999", "", true},
        {"4294967296", multipart, true}, {"9223372036854775808", multipart, true},
        {"0000000000003", "", false},    {"12abc", "", false},
        {"-4294967296", "", false},      {"", "", false},
    };
    for (const auto& c : cases) {
        TTestEngine e;
        e.AllowedMethods()->SetPut(true);
        bool ran = false;
        e.OnExecRequest = [&](TObject*) { ran = true; };
        std::vector<std::string> vars = {"REQUEST_METHOD=POST", "CONTENT_LENGTH=" + c.length};
        if (!c.type.empty()) vars.push_back(c.type);
        auto out = RunRequest(e, vars, new TChunkStream(c.type.empty() ? "a=1" : "--XyZ--\r\n"));
        EXPECT_NE(ran, c.refused) << c.length;
        EXPECT_EQ(out->bytes.find("Content length exceeds allowed limit") != std::string::npos, c.refused)
            << c.length;
    }
}

TEST(RequestInput, ReadClient) {
    TTestEngine e;
    int32_t noStream = 0, first = 0, rest = 0, atEnd = 0;
    std::string bytes(10, '\0');
    e.OnExecRequest = [&](TObject*) {
        first = e.ReadClient(bytes.data(), 4);
        rest = e.ReadClient(bytes.data() + 4, 6);
        atEnd = e.ReadClient(bytes.data(), 6);
    };
    e.SetAutoReadInput(false);
    RunRequest(e, {}, new TChunkStream("abcdefgh", 3));
    EXPECT_EQ(first, 4);
    EXPECT_EQ(rest, 4);
    EXPECT_EQ(atEnd, 0);
    EXPECT_EQ(bytes.substr(0, 8), "abcdefgh");
    e.OnExecRequest = [&](TObject*) { noStream = e.ReadClient(bytes.data(), 4); };
    RunRequest(e, {});
    EXPECT_EQ(noStream, -1);
}

TEST(RequestInput, BasicAuthorization) {
    struct Case {
        std::string header, user, password;
    };
    const std::vector<Case> cases = {
        {"Basic " + Base64("user:pa:ss"), "user", "pa:ss"},
        {"Basic " + Base64("us:p"), "us", "p"},  // '=' padding leaves zero bytes, trimmed away
        {"Basic " + Base64(" u : p w "), "u", "p w"},
        {"Basic " + Base64("nocolon"), "old-user", "old-password"},
        {Base64("x:y"), "x", "y"},  // no scheme word
    };
    for (const Case& c : cases) {
        std::string user = "old-user", password = "old-password";
        DecodeBasicAuthorization(c.header, user, password);
        EXPECT_EQ(user, c.user) << c.header;
        EXPECT_EQ(password, c.password) << c.header;
    }
}

TEST(ServerVariables, NamesAndAliases) {
    struct Case {
        std::vector<std::string> vars;
        std::string ask, expected;
    };
    const std::string auth = "HTTP_AUTHORIZATION=Basic " + Base64("ann:se:cret");
    const std::vector<Case> cases = {
        {{"HTTP_USER_AGENT=", "USER_AGENT=first"}, "http-user-agent", "first"},
        {{"USER_AGENT=first", "HTTP_USER_AGENT=second"},
         "http-user-agent",
         "second"},  // a value of its own wins
        {{"HTTP_USER_AGENT=second", "USER_AGENT=first"}, "user_agent", "first"},
        {{"HTTP_USER_AGENT=second"}, "user agent", "second"},
        {{"QUERY=q=1"}, "Query_String", "q=1"},
        {{"IP=10.0.0.1"}, "remote address", "10.0.0.1"},
        {{"REMOTE_ADDRESS=10.0.0.2", "IP=10.0.0.1"}, "REMOTE_ADDR", "10.0.0.2"},
        {{"HTTP_URL=/h", "URI=/i"}, "url", "/h"},
        {{"SCRIPT_NAME=/s", "URL=/u"}, "URL", "/u"},
        {{"SCRIPT_NAME=/s", "URL=/u"}, "uri", "/s"},
        {{"METHOD=POST"}, "request-method", "POST"},
        {{"DNS=host.example"}, "REMOTE_HOST", "host.example"},
        {{"AUTHETICATION_METHOD=Basic"}, "auth type", "Basic"},
        {{"REFERER=/from"}, "HTTP_REFERER", "/from"},
        {{"PROTOCOL=HTTP/1.0"}, "SERVER_PROTOCOL", "HTTP/1.0"},
        {{"COOKIE=c=1"}, "http_cookie", "c=1"},
        {{"PATH=/bin"}, "document root", "/bin"},
        {{"SERVER_NAME=web"}, "SERVER_SOFTWARE", "web"},
        {{auth}, "auth-user", "ann"},
        {{auth}, "AUTHENTICATED_PASSWORD", "se:cret"},
        {{auth, "AUTHENTICATED_USERNAME=bob"}, "AUTH_USER", "bob"},
        {{"server_port=8080"}, "SERVER-PORT", "8080"},
        {{}, "SERVER_PORT", ""},
    };
    for (const Case& c : cases) {
        TTestEngine e;
        std::string got;
        e.OnExecRequest = [&](TObject*) { got = e.GetServerVariable(c.ask); };
        RunRequest(e, c.vars);
        EXPECT_EQ(got, c.expected) << c.ask;
    }
}

TEST(ServerVariables, HostLookupAndTypedGetters) {
    TTestEngine e;
    std::vector<std::string> asked;
    e.HostVariable = [&](const std::string& name) {
        asked.push_back(name);
        return name == "x-extra" ? std::string("from host") : std::string();
    };
    std::string extra, listed, software;
    bool secure = true;
    int32_t length = -1;
    e.OnExecRequest = [&](TObject*) {
        extra = e.GetServerVariable("x-extra");
        listed = e.GetServerVariable("HTTP_ACCEPT");
        software = e.GetServerSoftware();
        secure = e.GetServerPortSecure();
        length = e.GetContentLength();
    };
    RunRequest(
        e, {"HTTP_ACCEPT=*/*", "SERVER_SOFTWARE=web/1", "SERVER_PORT_SECURE=yes", "CONTENT_LENGTH=12abc"});
    EXPECT_EQ(extra, "from host");
    EXPECT_EQ(listed, "*/*");
    EXPECT_EQ(software, "web/1");
    EXPECT_FALSE(secure);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(std::count(asked.begin(), asked.end(), "x-extra"), 1);  // the name as given
    EXPECT_EQ(std::count(asked.begin(), asked.end(), "HTTP_ACCEPT"), 0);

    e.OnExecRequest = [&](TObject*) {
        secure = e.GetServerPortSecure();
        length = e.GetContentLength();
    };
    RunRequest(e, {"SERVER_PORT_SECURE=1", "CONTENT_LENGTH=42"});
    EXPECT_TRUE(secure);
    EXPECT_EQ(length, 42);
}

TEST(ServerVariables, EnvironmentVariables) {
    setenv("ZELTO_WEB_TEST_VAR", "value", 1);
    EXPECT_EQ(GetEnvVariable("ZELTO_WEB_TEST_VAR"), "value");
    setenv("ZELTO_WEB_TEST_VAR", std::string(5000, 'v').c_str(), 1);
    EXPECT_EQ(GetEnvVariable("ZELTO_WEB_TEST_VAR").size(), 4095u);
    unsetenv("ZELTO_WEB_TEST_VAR");
    EXPECT_EQ(GetEnvVariable("ZELTO_WEB_TEST_VAR"), "");

    const char* old = std::getenv("SERVER_SOFTWARE");
    const std::string saved = old ? old : "";
    setenv("SERVER_SOFTWARE", "ZB-Server/2", 1);
    EXPECT_EQ(GetEnvVariable("SERVER_SOFTWARE"), "");
    setenv("SERVER_SOFTWARE", "Apache/2.4", 1);
    EXPECT_EQ(GetEnvVariable("SERVER_SOFTWARE"), "Apache/2.4");
    if (old)
        setenv("SERVER_SOFTWARE", saved.c_str(), 1);
    else
        unsetenv("SERVER_SOFTWARE");
}

}  // namespace
