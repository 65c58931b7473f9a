// The engine's response: headers and their order, flushes, WML, streams, files, error
// pages and the log, over memory streams with exact bytes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <thread>

#include "platform/framework/Application.h"
#include "platform/rtl/DateTime.h"
#include "tests/web/WebTestSupport.h"

using ::testing::HasSubstr;

namespace {

const std::string WapAccept = "HTTP_ACCEPT=text/vnd.wap.wml, */*";

TEST(EngineResponse, BodyGetsStatusLengthAndType) {
    TTestEngine e;
    e.OnExecRequest = [&](TObject*) { e.Write("Hello"); };
    auto out = RunRequest(e, {"REQUEST_METHOD=GET"});
    EXPECT_EQ(
        out->bytes,
        "HTTP/1.1 200 OK\r\ncontent-length: 5\r\nConnection: Keep-Alive\r\ncontent-type: text/html\r\n\r\n"
        "Hello");
    EXPECT_TRUE(out->freed);
}

TEST(EngineResponse, HeaderRules) {
    struct Case {
        const char* name;
        std::function<void(THttpEngine&)> app;
        bool autoHeader;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"location skips status, type and cache headers",
         [](THttpEngine& e) {
             e.SetNoCache(true);
             e.SetHeader("Location", "http://host/next");
         },
         true, "Location: http://host/next\r\n\r\n"},
        {"status header goes before earlier headers",
         [](THttpEngine& e) {
             e.SetHeader("X-One", "1");
             e.SetHeader("Status", "302 Found");
         },
         true, "HTTP/1.1 200 OK\r\nStatus: 302 Found\r\nX-One: 1\r\ncontent-type: text/html\r\n\r\n"},
        {"own HTTP/ line replaces the automatic one",
         [](THttpEngine& e) {
             e.SetHeader("X-One", "1");
             e.SetHeader("HTTP/1.0 404 Not Found", "");
         },
         true, "HTTP/1.0 404 Not Found\r\nX-One: 1\r\ncontent-type: text/html\r\n\r\n"},
        {"own content type is kept", [](THttpEngine& e) { e.SetHeader("Content-Type", "text/plain"); }, true,
         "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n"},
        {"nothing written still gets status and type", [](THttpEngine&) {}, true,
         "HTTP/1.1 200 OK\r\ncontent-type: text/html\r\n\r\n"},
        {"nothing at all without automatic headers", [](THttpEngine&) {}, false, ""},
        {"own headers only without automatic headers",
         [](THttpEngine& e) {
             e.SetHeader("X-One", "1");
             e.Write("b");
         },
         false, "X-One: 1\r\n\r\nb"},
        {"line breaks in a header cannot start another header",
         [](THttpEngine& e) { e.SetHeader("X-Note", "a\r\nSet-Cookie: evil=1\n"); }, true,
         "HTTP/1.1 200 OK\r\nX-Note: aSet-Cookie: evil=1\r\ncontent-type: text/html\r\n\r\n"},
        {"other control bytes cannot break the header block either",
         [](THttpEngine& e) { e.SetHeader("X-\x01Note", std::string("a\0b\x1b\x7f\tc", 7)); }, true,
         "HTTP/1.1 200 OK\r\nX-Note: ab\tc\r\ncontent-type: text/html\r\n\r\n"},
        {"a name that is Location once its line break goes is one",
         [](THttpEngine& e) { e.SetHeader("Loca\ntion", "http://host/next"); }, true,
         "Location: http://host/next\r\n\r\n"},
        {"own headers after the body began are dropped without automatic headers",
         [](THttpEngine& e) {
             e.Write("b");
             e.Flush();
             e.SetHeader("X-Late", "1");
             e.Write("c");
         },
         false, "bc"},
        {"a value that breaks before HTTP/ is no status line of its own",
         [](THttpEngine& e) { e.SetHeader("X-Lang", "en\r\nHTTP/"); }, true,
         "HTTP/1.1 200 OK\r\nX-Lang: enHTTP/\r\ncontent-type: text/html\r\n\r\n"},
        {"automatic type is the configured one", [](THttpEngine& e) { e.SetAutoContentType("text/xml"); },
         true, "HTTP/1.1 200 OK\r\ncontent-type: text/xml\r\n\r\n"},
        {"cleared output sends only the automatic headers",
         [](THttpEngine& e) {
             e.SetHeader("X-One", "1");
             e.Write("gone");
             e.ClearOutput();
         },
         true, "HTTP/1.1 200 OK\r\ncontent-type: text/html\r\n\r\n"},
    };
    for (const Case& c : cases) {
        TTestEngine e;
        e.SetAutoHttpHeader(c.autoHeader);
        e.OnExecRequest = [&](TObject*) { c.app(e); };
        EXPECT_EQ(RunRequest(e, {"REQUEST_METHOD=GET"})->bytes, c.expected) << c.name;
    }
}

// The response-ready handler sees the answer before it goes: the length follows what it
// leaves, and an exception of its own does not keep the answer from the client.
TEST(EngineResponse, ReadyHandlerChangesTheAnswerAndItsLength) {
    for (bool raise : {false, true}) {
        TTestEngine e;
        e.OnExecRequest = [&](TObject*) { e.Write("body"); };
        e.OnResponseReady = [&](TObject*, TStringList*, TMemoryStream* body) {
            body->Seek(0, soEnd);
            body->WriteBuffer("+tail", 5);
            if (raise) throw Exception("ready failed");
        };
        EXPECT_EQ(RunRequest(e, {"REQUEST_METHOD=GET"})->bytes,
                  "HTTP/1.1 200 OK\r\ncontent-length: 9\r\nConnection: Keep-Alive\r\ncontent-type: "
                  "text/html\r\n\r\nbody+tail")
            << raise;
    }
}

TEST(EngineResponse, NoCacheHeaders) {
    TTestEngine e;
    e.SetNoCache(true);
    auto out = RunRequest(e, {"REQUEST_METHOD=GET"});
    std::regex re(
        "HTTP/1.1 200 OK\r\ncontent-type: text/html\r\nPragma: no-cache\r\nCache-Control: no-cache\r\n"
        "Expires: \\w{3}, \\d\\d \\w{3} \\d{4} \\d\\d:\\d\\d:\\d\\d GMT\r\n\r\n");
    EXPECT_TRUE(std::regex_match(out->bytes, re)) << out->bytes;
}

TEST(EngineResponse, TwoFlushesSendHeadersOnce) {
    TTestEngine e;
    e.OnExecRequest = [&](TObject*) {
        e.Write("first");
        e.Flush();
        e.SetHeader("X-Late", "1");  // headers are gone: this one is dropped with the next flush
        e.Write("second");
    };
    auto out = RunRequest(e, {"REQUEST_METHOD=GET"});
    EXPECT_EQ(out->bytes, "HTTP/1.1 200 OK\r\ncontent-type: text/html\r\n\r\nfirstsecond");
}

TEST(EngineResponse, WmlForWapClients) {
    const std::string prologue = WmlPrologue();
    EXPECT_EQ(prologue,
              "<?xml version=\"1.0\"?>\r\n<!DOCTYPE wml PUBLIC \"-//WAPFORUM//DTD WML 1.1//EN\" "
              "\"http://www.wapforum.org/DTD/wml_1.1.xml\">\r\n\r\n");
    struct Case {
        bool wap;
        std::string body;
        std::string type;
        bool withPrologue;
    };
    const std::string wml = "<wml><card><p>x</p></card></wml>";
    const std::string xml = "<?xml version=\"1.0\"?>\r\n" + wml;
    const std::vector<Case> cases = {
        {true, wml, "text/vnd.wap.wml", true},
        {true, xml, "text/vnd.wap.wml", false},
        {false, wml, "text/html", false},
        {true, "<html>no</html>", "text/html", false},
        {true, std::string(600, ' ') + wml, "text/html", false},  // "<wml>" beyond the first 512 bytes
    };
    for (const Case& c : cases) {
        TTestEngine e;
        e.OnExecRequest = [&](TObject*) { e.Write(c.body); };
        std::vector<std::string> vars = {"REQUEST_METHOD=GET"};
        if (c.wap) vars.push_back(WapAccept);
        auto out = RunRequest(e, vars);
        const std::string body = (c.withPrologue ? prologue : "") + c.body;
        EXPECT_EQ(out->bytes, "HTTP/1.1 200 OK\r\ncontent-length: " + std::to_string(body.size()) +
                                  "\r\nConnection: Keep-Alive\r\ncontent-type: " + c.type + "\r\n\r\n" + body)
            << c.body.substr(0, 20);
    }
}

TEST(EngineResponse, LargeStreamFlushesEveryChunk) {
    std::string data(60000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + 3);
    TTestEngine e;
    e.OnExecRequest = [&](TObject*) {
        TMemoryStream s;
        s.WriteBuffer(data.data(), data.size());
        s.SetPosition(0);
        e.WriteStream(&s);
    };
    auto out = RunRequest(e, {"REQUEST_METHOD=GET"});
    const std::string head = "HTTP/1.1 200 OK\r\ncontent-type: text/html\r\n\r\n";
    EXPECT_EQ(out->bytes, head + data);
    // Headers (three writes), then one write per chunk of 1032 bytes.
    ASSERT_EQ(out->writes.size(), 3u + (60000 + 1031) / 1032);
    for (size_t i = 3; i + 1 < out->writes.size(); ++i) EXPECT_EQ(out->writes[i], 1032u);
    EXPECT_EQ(out->writes.back(), 60000u % 1032);
}

TEST(EngineResponse, SmallStreamStaysBuffered) {
    TTestEngine e;
    e.OnExecRequest = [&](TObject*) {
        TStringStream s("0123456789abcdef");
        s.SetPosition(10);  // copies from the stream's position
        e.WriteStream(&s);
    };
    auto out = RunRequest(e, {"REQUEST_METHOD=GET"});
    EXPECT_EQ(
        out->bytes,
        "HTTP/1.1 200 OK\r\ncontent-length: 6\r\nConnection: Keep-Alive\r\ncontent-type: text/html\r\n\r\n"
        "abcdef");
}

TEST(EngineResponse, SendFileTypesAndDisposition) {
    struct Case {
        std::string file, type, agent, expType, expDisposition;
    };
    const std::string ie = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)";
    const std::string gecko = "Mozilla/5.0 (X11; Linux x86_64; rv:109.0) Gecko/20100101 Firefox/115.0";
    const std::string opera = "Opera/9.80 (Windows NT 6.1) Presto/2.12";
    const std::string netscape = "Mozilla/4.7 [en] (WinNT; I)";
    const std::vector<Case> cases = {
        {"PHOTO.JPG", "", ie, "image/jpeg", "filename=PHOTO.JPG"},
        {"a.jpeg", "", gecko, "image/jpeg", "attachment; filename=a.jpeg"},
        {"C:\\docs\\report.pdf", "", ie, "application/pdf", "filename=report.pdf"},
        {"/srv/files/sheet.xls", "", netscape, "application/msexcel", "attachment; filename=sheet.xls"},
        {"backup.tar", "", opera, "application/octet-stream", "inline; filename=backup.tar"},
        {"backup.tar", "", ie, "application/binary", "filename=backup.tar"},
        {"notes.txt", "", "", "text/plain;charset=us-ascii", "filename=notes.txt"},
        {"page.HTM", "", opera, "text/html", "inline; filename=page.HTM"},
        {"x.zip", "", ie, "application/x-zip-compressed", "filename=x.zip"},
        {"x.doc", "  application/x-own  ", ie, "application/x-own", "filename=x.doc"},
    };
    for (const Case& c : cases) {
        TTestEngine e;
        e.OnExecRequest = [&](TObject*) { e.SendFile(c.file, c.type); };
        auto out = RunRequest(e, {"REQUEST_METHOD=GET", "HTTP_USER_AGENT=" + c.agent});
        EXPECT_EQ(out->bytes, "HTTP/1.1 200 OK\r\nContent-Type: " + c.expType +
                                  "\r\nContent-Transfer-Encoding: 8bit\r\nContent-Disposition: " +
                                  c.expDisposition + "\r\n\r\n")
            << c.file << " / " << c.agent;
    }
}

TEST(EngineResponse, BrowserNames) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Opera/9.80 (compatible; MSIE 6.0)", "OPERA"},
        {"Mozilla/4.0 (compatible; MSIE 5.5)", "MSIE"},
        {"Microsoft Internet Explorer/4.0b1", "MSIE"},
        {"Mozilla/4.0 (compatible; MSPIE 2.0)", "MSIE"},
        {"Mozilla/5.0 (X11) Gecko", "NETSCAPE"},
        {"Mozilla/4.0 (compatible; Konqueror)", "UNKNOWN"},
        {"", "UNKNOWN"},
    };
    for (const auto& [agent, name] : cases) {
        TTestEngine e;
        std::string got;
        e.OnExecRequest = [&](TObject*) { got = e.GetBrowserName(); };
        RunRequest(e, {"USER_AGENT=" + agent});
        EXPECT_EQ(got, name) << agent;
    }
}

// A well-formed UTF-8 sequence is one character (its code point); any other byte is a
// character of its own, as on a single-byte page.
TEST(EngineResponse, HtmlEscape) {
    const struct {
        const char* text;
        const char* escaped;
    } cases[] = {
        {"", ""},
        {"a<b>&\"c'", "a&#60;b&#62;&#38;&#34;c'"},
        // Latin-1 bytes, stray or before a byte that cannot continue a sequence.
        {"\x9F\xA0\xE9\xFF", "\x9F&#160;&#233;&#255;"},
        {"caf\xE9 cr\xE8me", "caf&#233; cr&#232;me"},
        // UTF-8: two, three and four bytes.
        {"caf\xC3\xA9", "caf&#233;"},
        {"\xC2\xA0", "&#160;"},
        {"5 \xE2\x82\xAC <", "5 &#8364; &#60;"},
        {"\xF0\x9F\x98\x80!", "&#128512;!"},
        {"\xF4\x8F\xBF\xBF", "&#1114111;"},
        // Code points below 160 stay as they are, as their bytes do on a single-byte page.
        {"\xC2\x85", "\xC2\x85"},
        // Cut, overlong, surrogate and out-of-range sequences are single bytes.
        {"\xE2\x82", "&#226;\x82"},
        {"\xC3", "&#195;"},
        {"\xC0\xA9", "&#192;&#169;"},
        {"\xE0\x80\xAF", "&#224;\x80&#175;"},
        {"\xED\xA0\x80", "&#237;&#160;\x80"},
        {"\xF4\x90\x80\x80", "&#244;\x90\x80\x80"},
        {"\xF8\x88\x80\x80\x80", "&#248;\x88\x80\x80\x80"},
        {"\xA9\xC3\xA9\xA9", "&#169;&#233;&#169;"},
    };
    for (const auto& c : cases) EXPECT_EQ(HtmlEscape(c.text), c.escaped) << c.text;
}

TEST(EngineResponse, ErrorPageAndLogLine) {
    TTestEngine e;
    const std::string message = "bad <x> & \"q\" \xE9";
    e.OnExecRequest = [&](TObject*) {
        e.SetHeader("X-Lost", "1");
        e.Write("partial output");
        throw Exception(message);
    };
    const size_t logBefore = ReadFileBytes(LogFileName()).size();
    auto out = RunRequest(e, {"REQUEST_METHOD=GET"});
    EXPECT_EQ(out->bytes,
              "HTTP/1.1 200 OK\r\ncontent-type: text/html\r\n\r\n"
              "<html><body>Unhandled Exception: bad &#60;x&#62; &#38; &#34;q&#34; &#233;</body></html>\r\n");
    const std::string log = ReadFileBytes(LogFileName()).substr(logBefore);
    std::regex line(
        "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3},  \\d{1,4} : Unhandled Exception: ([^\r]*)\r\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(log, m, line)) << log;
    EXPECT_EQ(m[1].str(), message);
}

TEST(EngineResponse, WapErrorPage) {
    TTestEngine e;
    e.OnExecRequest = [&](TObject*) { throw Exception("no <card>"); };
    auto out = RunRequest(e, {"REQUEST_METHOD=GET", WapAccept});
    const std::string page =
        "<wml>\r\n<card id=\"Exception\" newcontext=\"false\" title=\"Server error\">\r\n<p>Error: no "
        "&#60;card&#62;\r\n</p>\r\n</card>\r\n</wml>\r\n\r\n";
    EXPECT_EQ(out->bytes, "HTTP/1.1 200 OK\r\ncontent-type: text/vnd.wap.wml\r\n\r\n" + WmlPrologue() + page);
}

TEST(EngineResponse, RequestErrorEventReplacesThePage) {
    TTestEngine e;
    std::string seen;
    e.OnExecRequest = [&](TObject*) { throw Exception("boom"); };
    e.OnRequestError = [&](TObject*, Exception& E) {
        seen = E.Message();
        e.ClearOutput();
        e.Write("sorry");
    };
    const size_t logBefore = ReadFileBytes(LogFileName()).size();
    auto out = RunRequest(e, {"REQUEST_METHOD=GET"});
    EXPECT_EQ(seen, "boom");
    EXPECT_EQ(out->bytes, "HTTP/1.1 200 OK\r\ncontent-type: text/html\r\n\r\nsorry");
    // Every error of a request is logged, also one the application answers itself.
    EXPECT_THAT(ReadFileBytes(LogFileName()).substr(logBefore),
                HasSubstr(" : Unhandled Exception: boom\r\n"));

    // An exception of the handler itself gets the built-in page.
    e.OnRequestError = [&](TObject*, Exception&) { throw Exception("handler failed"); };
    out = RunRequest(e, {"REQUEST_METHOD=GET"});
    EXPECT_THAT(out->bytes, HasSubstr("<html><body>Unhandled Exception: handler failed</body></html>"));
}

TEST(EngineResponse, PlainTextDebug) {
    TTestEngine e;
    e.SetDebugMode(DebugAlways);
    e.OnExecRequest = [&](TObject*) {
        e.SetHeader("X-App", "1");
        e.Write("body");
        WriteLog("note from app");
    };
    auto out = RunRequest(e, {"REQUEST_METHOD=POST", "CONTENT_LENGTH=3"}, new TStringStream("a=1"));
    const std::string& s = out->bytes;
    const std::string start =
        "HTTP/1.1 200 OK\r\ncontent-type: text/plain\r\n\r\n"
        "HTTP/1.1 200 OK\r\nX-App: 1\r\ncontent-length: 4\r\nConnection: Keep-Alive\r\ncontent-type: "
        "text/html\r\n"
        "\r\nbody\r\n(*** END ***)\r\n\r\n(************************)\r\n(***    User Log      ***)\r\n"
        "(************************)\r\n";
    ASSERT_EQ(s.substr(0, start.size()), start);
    EXPECT_THAT(s, HasSubstr(" : note from app\r\n"));
    EXPECT_THAT(s, HasSubstr("(***   Client input   ***)\r\n(************************)\r\na=1"));
    EXPECT_THAT(s, HasSubstr("(*** Server variables ***)\r\n(************************)\r\n"
                             "REQUEST_METHOD=POST\r\nCONTENT_LENGTH=3\r\n"));
}

TEST(EngineResponse, DebugErrorShowsInPlainText) {
    TTestEngine e;
    e.SetDebugMode(DebugException);
    e.OnExecRequest = [&](TObject*) {
        e.Write("so far");
        throw Exception("broken");
    };
    auto out = RunRequest(e, {"REQUEST_METHOD=GET"});
    EXPECT_EQ(out->bytes.rfind("HTTP/1.1 200 OK\r\ncontent-type: text/plain\r\n\r\n", 0), 0u);
    EXPECT_THAT(out->bytes, HasSubstr("so far\r\n(*** END ***)"));
    EXPECT_THAT(out->bytes, HasSubstr(" : Unhandled Exception: broken\r\n"));
    EXPECT_THAT(out->bytes, ::testing::Not(HasSubstr("<html>")));
}

TEST(EngineResponse, HttpDateConvertsLocalTimeToGmt) {
    const char* oldTz = std::getenv("TZ");
    const std::string saved = oldTz ? oldTz : "";
    auto at = [](int y, int mo, int d, int h, int mi, int s) {
        return EncodeDate(y, mo, d) + EncodeTime(h, mi, s, 0);
    };
    setenv("TZ", "UTC0", 1);
    tzset();
    EXPECT_EQ(HttpDate(at(1994, 11, 6, 8, 49, 37)), "Sun, 06 Nov 1994 08:49:37 GMT");
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    EXPECT_EQ(HttpDate(at(1994, 11, 6, 9, 49, 37)), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(HttpDate(at(2020, 7, 1, 12, 0, 0)), "Wed, 01 Jul 2020 10:00:00 GMT");
    EXPECT_EQ(HttpDate(at(2021, 1, 1, 0, 30, 0)), "Thu, 31 Dec 2020 23:30:00 GMT");
    setenv("TZ", "EST5", 1);
    tzset();
    EXPECT_EQ(HttpDate(at(1999, 12, 31, 22, 0, 0)), "Sat, 01 Jan 2000 03:00:00 GMT");
    if (oldTz)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

// Events in their order; the first-request event fires once per process, so this runs in
// a fresh process.
TEST(EngineLifecycleDeathTest, EventOrderAndFirstRequest) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            class TOrderEngine : public TTestEngine {
            public:
                std::string* trace;
                void BeforeRequest() override { *trace += "before,"; }
            };
            std::string trace;
            TOrderEngine e;
            e.trace = &trace;
            e.OnPrepareRequest = [&](TObject*) { trace += "prepare(" + e.GetField("a", "-") + "),"; };
            e.OnFirstExecRequest = [&](TObject*) { trace += "first(" + e.GetField("a") + "),"; };
            e.OnExecRequest = [&](TObject*) { trace += "exec,"; };
            e.OnLastExecRequest = [&](TObject*) { trace += "last,"; };
            e.OnResponseReady = [&](TObject*, TStringList*, TMemoryStream*) { trace += "ready,"; };
            RunRequest(e, {"QUERY_STRING=a=1"});
            RunRequest(e, {"QUERY_STRING=a=2"});
            const bool ok =
                trace == "before,prepare(-),first(1),exec,last,ready,before,prepare(-),exec,last,ready,";
            if (!ok) std::fprintf(stderr, "%s\n", trace.c_str());
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(EngineLifecycle, LibraryFiresTheLastRequestEventOnlyAsItsEngineGoes) {
    TProcessKindScope kind(pkLibrary);
    int last = 0;
    {
        TTestEngine e;
        e.OnLastExecRequest = [&](TObject*) { ++last; };
        RunRequest(e, {});
        EXPECT_EQ(last, 0);
        e.SetCGIMode(ServerThreadMode);
        TProcessKindScope gui(pkGuiProgram);
        RunRequest(e, {});
        EXPECT_EQ(last, 0);  // only NormalMode programs answer a single request
    }
    EXPECT_EQ(last, 1);  // a library's engine outside NormalMode, as it is freed
}

TEST(EngineLifecycle, ConsoleProgramEndsTheRequestThroughTerminate) {
    TProcessKindScope kind(pkConsoleProgram);
    TTestEngine e;
    int ready = 0;
    e.OnExecRequest = [&](TObject*) { e.Write("abc"); };
    e.OnResponseReady = [&](TObject*, TStringList*, TMemoryStream*) { ++ready; };
    auto out = RunRequest(e, {"QUERY_STRING=x=1"});
    EXPECT_EQ(out->bytes, "");
    EXPECT_EQ(e.GetField("x"), "1");  // the request is still open
    e.Terminate();
    EXPECT_EQ(out->bytes, "HTTP/1.1 200 OK\r\ncontent-type: text/html\r\n\r\nabc");
    EXPECT_TRUE(out->freed);
    EXPECT_EQ(ready, 1);
    EXPECT_EQ(e.GetField("x", "gone"), "gone");
    EXPECT_TRUE(Application()->Terminated());
    e.Terminate();  // again: nothing more happens
    EXPECT_EQ(out->bytes, "HTTP/1.1 200 OK\r\ncontent-type: text/html\r\n\r\nabc");
    Application()->ResetTerminated();
}

TEST(EngineLifecycle, EndRequestWithoutOutputStreamStillCleansUp) {
    TTestEngine e;
    std::string tempName;
    e.SetTempDir(TestDir() + "/up-noout");
    e.AllowedMethods()->SetPut(true);
    e.OnExecRequest = [&](TObject*) { tempName = e.GetField("f_FILENAME"); };
    const std::string body =
        "--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.txt\"\r\n\r\nabc\r\n--B--\r\n";
    e.ProcessRequest(new TStringStream(body), nullptr,
                     MakeVariables({"REQUEST_METHOD=POST", "CONTENT_TYPE=multipart/form-data; boundary=B",
                                    "CONTENT_LENGTH=" + std::to_string(body.size())}));
    ASSERT_FALSE(tempName.empty());
    EXPECT_FALSE(FileExists(tempName));
}

TEST(EngineLifecycle, ErrorInCgiEngineTerminatesOnce) {
    class TCgiLike : public TTestEngine {
    public:
        bool IsCGIEngine() const override { return true; }
        bool CGIAutoTerminate() const override { return true; }
    };
    TCgiLike e;
    e.OnExecRequest = [&](TObject*) { throw Exception("fatal"); };
    auto out = RunRequest(e, {"REQUEST_METHOD=GET"});
    EXPECT_EQ(out->bytes,
              "HTTP/1.1 200 OK\r\ncontent-type: text/html\r\n\r\n<html><body>Unhandled Exception: "
              "fatal</body></html>\r\n");
    EXPECT_TRUE(out->freed);
    EXPECT_TRUE(Application()->Terminated());
    Application()->ResetTerminated();
}

TEST(EngineState, RequestsOnSeveralThreadsKeepTheirOwnState) {
    TProcessKindScope kind(pkLibrary);
    TTestEngine e;
    e.AllowedMethods()->SetPut(true);
    e.OnExecRequest = [&](TObject*) {
        const std::string n = e.GetField("n");
        for (int i = 0; i < 50; ++i) {
            e.Write(n);
            std::this_thread::yield();
        }
        e.SetHeader("X-N", n);
    };
    constexpr int threads = 6;
    std::vector<std::shared_ptr<TSinkStream::TRecord>> outs(threads);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            for (int r = 0; r < 5; ++r) {
                const std::string n = std::to_string(t);
                if (t % 2 == 0) {
                    outs[t] = RunRequest(e, {"QUERY_STRING=n=" + n});
                    continue;
                }
                // Odd threads post the field as a multipart upload.
                const std::string body =
                    "--b\r\nContent-Disposition: form-data; name=\"n\"\r\n\r\n" + n + "\r\n--b--\r\n";
                outs[t] = RunRequest(e,
                                     {"REQUEST_METHOD=POST", "CONTENT_TYPE=multipart/form-data",
                                      "CONTENT_LENGTH=" + std::to_string(body.size())},
                                     new TStringStream(body));
            }
        });
    for (auto& th : pool) th.join();
    for (int t = 0; t < threads; ++t) {
        const std::string n = std::to_string(t);
        EXPECT_EQ(outs[t]->bytes,
                  "HTTP/1.1 200 OK\r\nX-N: " + n +
                      "\r\ncontent-length: 50\r\nConnection: Keep-Alive\r\ncontent-type: text/html\r\n\r\n" +
                      std::string(50, n[0]));
    }
}

TEST(EngineState, ServerModeSerialisesLibraryRequests) {
    TProcessKindScope kind(pkLibrary);
    TTestEngine e;
    e.SetCGIMode(ServerMode);
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    e.OnExecRequest = [&](TObject*) {
        if (++inside > 1) ++overlaps;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        --inside;
    };
    std::vector<std::thread> pool;
    for (int t = 0; t < 4; ++t)
        pool.emplace_back([&] {
            for (int r = 0; r < 5; ++r) RunRequest(e, {});
        });
    for (auto& th : pool) th.join();
    EXPECT_EQ(overlaps.load(), 0);
}

TEST(EngineState, FailureBeforeTheServerLockLeavesNoLock) {
    TProcessKindScope kind(pkLibrary);
    TTestEngine e;
    e.SetCGIMode(ServerMode);
    e.AllowedMethods()->SetPost(false);
    auto out = RunRequest(e, {"REQUEST_METHOD=POST"});
    EXPECT_THAT(out->bytes, HasSubstr("Method not allowed (POST)"));
    // The lock is free for another thread (a stray Leave would have broken it).
    bool ran = false;
    e.OnExecRequest = [&](TObject*) { ran = true; };
    e.AllowedMethods()->SetPost(true);
    std::thread([&] { RunRequest(e, {}); }).join();
    EXPECT_TRUE(ran);
}

// An exception of no known kind ends in the error page too, and a library request that
// held the server-mode lock leaves it.
TEST(EngineState, ForeignExceptionsStayInsideTheRequest) {
    TProcessKindScope kind(pkLibrary);
    TTestEngine e;
    e.SetCGIMode(ServerMode);
    const std::string page = "<html><body>Unhandled Exception: Unknown exception</body></html>\r\n";
    e.OnExecRequest = [](TObject*) { throw 42; };
    EXPECT_THAT(RunRequest(e, {})->bytes, HasSubstr(page));
    e.OnRequestError = [](TObject*, Exception&) { throw 7; };
    EXPECT_THAT(RunRequest(e, {})->bytes, HasSubstr(page));
    e.OnRequestError = nullptr;
    bool ran = false;
    e.OnExecRequest = [&](TObject*) { ran = true; };
    std::thread([&] { RunRequest(e, {}); }).join();
    EXPECT_TRUE(ran);
}

TEST(EngineProperties, DefaultsAndForwardingToTheProcessEngine) {
    TTestEngine a;
    EXPECT_EQ(a.Version(), "7.0.1");
    EXPECT_EQ(a.AutoContentType(), "text/html");
    EXPECT_TRUE(a.AutoReadInput());
    EXPECT_TRUE(a.AutoHttpHeader());
    EXPECT_EQ(a.AutoReadLimit(), 0);
    EXPECT_EQ(a.TempDir(), "Temp");
    EXPECT_TRUE(a.TrimFields());
    EXPECT_TRUE(a.AllowedMethods()->Get());
    EXPECT_TRUE(a.AllowedMethods()->Post());
    EXPECT_FALSE(a.AllowedMethods()->Put());
    EXPECT_EQ(a.SessionName(), "Default");
    EXPECT_EQ(a.CGISession()->EncryptionKey(), "5D1E83B0C47F2A96E0B3D58C17A4F62E");
    EXPECT_EQ(a.CGISession()->Visibility(), AllApplications);
    EXPECT_TRUE(a.CGISession()->FileBased());
    EXPECT_EQ(a.CGISession()->SessionType(), sPrivateCookie);
    EXPECT_EQ(ProcessEngine(), &a);

    TTestEngine b;  // the last engine created is the process engine
    EXPECT_EQ(ProcessEngine(), &b);
    a.SetNoCache(true);
    a.SetTempDir("/tmp/x");
    a.SetSessionName("Shop");
    a.AllowedMethods()->SetPut(true);
    a.CGISession()->SetSessionType(sGlobal);
    a.SetBufferedOutput(false);
    int fired = 0;
    a.SetOnExecRequest([&](TObject*) { ++fired; });
    EXPECT_TRUE(b.NoCache());
    EXPECT_EQ(b.TempDir(), "/tmp/x");
    EXPECT_EQ(b.SessionName(), "Shop");
    EXPECT_TRUE(b.AllowedMethods()->Put());
    EXPECT_EQ(b.CGISession()->SessionType(), sGlobal);
    EXPECT_TRUE(b.BufferedOutput());  // stored only where it was set
    ASSERT_TRUE(b.OnExecRequest);
    RunRequest(b, {});
    EXPECT_EQ(fired, 1);
    b.SetNoCache(false);  // the process engine itself passes nothing back
    EXPECT_TRUE(a.NoCache());
}

TEST(EngineProperties, SessionFlagsAreCoupled) {
    TSessionProperties p;
    p.SetVisibility(AllApplications);
    EXPECT_TRUE(p.FileBased());
    p.SetFileBased(false);
    EXPECT_EQ(p.Visibility(), ThisApplication);
    p.SetVisibility(AllApplications);
    EXPECT_TRUE(p.FileBased());
    p.SetVisibility(ThisApplication);
    p.SetFileBased(false);
    EXPECT_EQ(p.Visibility(), ThisApplication);
    EXPECT_FALSE(p.FileBased());
}

TEST(EngineProperties, NoSessionStarted) {
    TTestEngine e;
    std::string message;
    e.OnExecRequest = [&](TObject*) {
        try {
            e.CurrentSession();
        } catch (const Exception& ex) {
            message = ex.Message();
        }
    };
    RunRequest(e, {});
    EXPECT_EQ(message, "No Session started");
}

TEST(EngineProperties, EngineTakesTheApplicationsExceptionsAndHidesItsForm) {
    Application()->ShowMainForm = true;
    Application()->OnException = nullptr;
    {
        TTestEngine e;
        EXPECT_FALSE(Application()->ShowMainForm);
        ASSERT_TRUE(Application()->OnException);
        TakeExitCodes();
        const size_t before = ReadFileBytes(LogFileName()).size();
        Application()->QueueCall([] { throw Exception("escaped a handler"); });
        Application()->ProcessMessages();
        EXPECT_THAT(ReadFileBytes(LogFileName()).substr(before),
                    HasSubstr(" : Unhandled Exception (2) :escaped a handler\r\n"));
        EXPECT_EQ(TakeExitCodes(), std::vector<int>{0});
    }
    // A freed engine is no longer called.
    EXPECT_FALSE(Application()->OnException);
    Application()->ShowMainForm = true;
}

TEST(EngineProperties, HandleExceptionLogsAndHalts) {
    TTestEngine e;
    TakeExitCodes();
    const size_t before = ReadFileBytes(LogFileName()).size();
    e.HandleException(nullptr, Exception("stray"));
    EXPECT_THAT(ReadFileBytes(LogFileName()).substr(before),
                HasSubstr(" : Unhandled Exception (2) :stray\r\n"));
    EXPECT_EQ(TakeExitCodes(), std::vector<int>{0});
}

}  // namespace
