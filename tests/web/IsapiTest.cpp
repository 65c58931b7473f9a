// The ISAPI adapter in process: the control-block stream, host variables and shutdown.
// The module as a web server loads it is tested by tools/isapi_host.
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tests/web/WebTestSupport.h"
#include "web/HSessVar.h"
#include "web/IsapiEng.h"
#include "web/WsapiEng.h"

namespace {

// A host connection whose behaviour the tests set.
struct TFakeHost {
    std::string Body;  // what ReadClient delivers, from its start
    size_t Pos = 0;
    int FailAfter = -1;  // ReadClient calls that succeed before it fails (-1: never)
    std::vector<DWORD> Asked;
    std::map<std::string, std::string> Variables;
    bool FillEverything = false;  // GetServerVariable fills whatever room it is given
    std::vector<DWORD> VariableRoom;
    EXTENSION_CONTROL_BLOCK ECB{};

    static BOOL Read(HCONN c, void* buf, DWORD* size) {
        auto* h = static_cast<TFakeHost*>(c);
        h->Asked.push_back(*size);
        if (h->FailAfter == 0) return ISAPI_FALSE;
        if (h->FailAfter > 0) --h->FailAfter;
        size_t n = std::min<size_t>(*size, h->Body.size() - h->Pos);
        std::memcpy(buf, h->Body.data() + h->Pos, n);
        h->Pos += n;
        *size = static_cast<DWORD>(n);
        return ISAPI_TRUE;
    }
    static BOOL Variable(HCONN c, const char* name, void* buf, DWORD* size) {
        auto* h = static_cast<TFakeHost*>(c);
        h->VariableRoom.push_back(*size);
        std::string v;
        if (h->FillEverything) {
            v.assign(*size, 'x');
        } else {
            auto it = h->Variables.find(name);
            if (it == h->Variables.end()) return ISAPI_FALSE;
            v = it->second;
        }
        size_t n = std::min<size_t>(v.size(), *size - 1);
        std::memcpy(buf, v.data(), n);
        static_cast<char*>(buf)[n] = 0;
        *size = static_cast<DWORD>(n + 1);
        return ISAPI_TRUE;
    }

    TFakeHost(const std::string& readAhead, const std::string& rest) : Body(rest), PreRead(readAhead) {
        ECB.ConnID = this;
        ECB.cbTotalBytes = static_cast<DWORD>(readAhead.size() + rest.size());
        ECB.cbAvailable = static_cast<DWORD>(readAhead.size());
        ECB.lpbData = reinterpret_cast<const uint8_t*>(PreRead.data());
        ECB.ReadClient = Read;
        ECB.GetServerVariable = Variable;
    }
    std::string PreRead;
};

// Makes the fake the thread's extension request for the scope.
struct TExtensionScope {
    explicit TExtensionScope(TFakeHost& h) { IsapiRequestState().ECB = &h.ECB; }
    ~TExtensionScope() { IsapiRequestState().ECB = nullptr; }
};

std::string ReadAll(TIsapiStream& s, int64_t count, int64_t* result = nullptr) {
    std::string buf(static_cast<size_t>(count), '\0');
    int64_t n = s.Read(buf.data(), count);
    if (result) *result = n;
    return n > 0 ? buf.substr(0, static_cast<size_t>(n)) : std::string();
}

}  // namespace

TEST(IsapiStream, ReadAheadBytesThenReadClientInBoundedChunks) {
    const std::string ahead(1000, 'a'), rest(80000, 'b');
    TFakeHost h(ahead, rest);
    TExtensionScope scope(h);
    TIsapiStream s;
    EXPECT_EQ(ReadAll(s, 81000), ahead + rest);
    ASSERT_FALSE(h.Asked.empty());
    for (DWORD n : h.Asked) EXPECT_LE(n, static_cast<DWORD>(IsapiReadChunk));
    EXPECT_EQ(h.Asked.front(), static_cast<DWORD>(IsapiReadChunk));
}

TEST(IsapiStream, BytesCopiedBeforeAFailingReadAreKept) {
    struct {
        const char* name;
        std::string ahead, rest;
        int failAfter;
        int64_t count, expect;
    } cases[] = {
        {"read-ahead bytes, then the host fails", "12345", "678", 0, 8, 5},
        {"one good read, then the host fails", "12", "345678", 1, 8, 8},
        {"host has nothing more", "12", "", -1, 8, 2},
        {"nothing at all", "", "", 0, 8, -1},
        {"end of body without read-ahead", "", "", -1, 8, -1},
    };
    for (const auto& c : cases) {
        TFakeHost h(c.ahead, c.rest);
        h.FailAfter = c.failAfter;
        TExtensionScope scope(h);
        TIsapiStream s;
        int64_t n = 0;
        ReadAll(s, c.count, &n);
        EXPECT_EQ(n, c.expect) << c.name;
    }
}

TEST(IsapiStream, NetscapeServerSkipsTheReadAheadBytes) {
    TFakeHost h("ABC", "ABCDEF");
    h.Variables["SERVER_SOFTWARE"] = "Netscape-FastTrack/3.01";
    TExtensionScope scope(h);
    TIsapiStream s;
    EXPECT_EQ(ReadAll(s, 6), "ABCDEF");
}

TEST(IsapiVariables, ValueThatFillsTheBufferIsAskedAgainWithMoreRoom) {
    TFakeHost h("", "");
    h.Variables["LONG"] = std::string(5000, 'v');
    TExtensionScope scope(h);
    EXPECT_EQ(IsapiGetServerVariable("LONG"), std::string(5000, 'v'));
    EXPECT_EQ(h.VariableRoom, (std::vector<DWORD>{2047, 4095, 6143}));
    // Blanks (the line ends of ALL_HTTP) where the host cut it: still a full buffer.
    const std::string blanks = std::string(2040, 'v') + " \n  \n   " + std::string(3000, 'w');
    h.Variables["BLANKS"] = blanks;
    EXPECT_EQ(IsapiGetServerVariable("BLANKS"), blanks);
}

TEST(IsapiVariables, HostThatAlwaysFillsTheBufferIsCut) {
    TFakeHost h("", "");
    h.FillEverything = true;
    TExtensionScope scope(h);
    const std::string v = IsapiGetServerVariable("ANY");
    EXPECT_EQ(v.size(), static_cast<size_t>(IsapiMaxVariableBuffer - 2));
    EXPECT_EQ(h.VariableRoom.back(), static_cast<DWORD>(IsapiMaxVariableBuffer - 1));
}

TEST(IsapiVariables, ControlBlockTextsAndAllHttpLines) {
    TFakeHost h("", "");
    h.ECB.lpszMethod = "POST";
    h.ECB.lpszQueryString = "a=1";
    h.ECB.lpszPathInfo = nullptr;
    h.ECB.lpszPathTranslated = "/srv/x";
    h.ECB.cbTotalBytes = 42;
    h.Variables["HTTP_ACCEPT"] = "*/*";
    h.Variables["SERVER_NAME"] = "  ";
    h.Variables["ALL_HTTP"] = "Accept-Language: de \nx:\nHTTP_ACCEPT:text/html\nab";
    TExtensionScope scope(h);
    std::unique_ptr<TStringList> v(BuildIsapiVariables());
    EXPECT_EQ(v->Values("REQUEST_METHOD"), "POST");
    EXPECT_EQ(v->Values("QUERY_STRING"), "a=1");
    EXPECT_EQ(v->IndexOfName("PATH_INFO"), -1);
    EXPECT_EQ(v->Values("PATH_TRANSLATED"), "/srv/x");
    EXPECT_EQ(v->Values("CONTENT_LENGTH"), "42");
    EXPECT_EQ(v->IndexOfName("SERVER_NAME"), -1);  // blank values are left out
    EXPECT_EQ(v->Values("ACCEPT_LANGUAGE"), "de");
    EXPECT_EQ(v->Values("HTTP_ACCEPT"), "text/html");
    EXPECT_EQ(v->IndexOfName("AB"), -1);  // the last two characters are not a line
    int accepts = 0;
    for (int i = 0; i < v->Count(); ++i) accepts += v->Names(i) == "HTTP_ACCEPT";
    EXPECT_EQ(accepts, 1);
}

TEST(IsapiShutdown, CleanShutdownAnswersFalseAndMissingSessionTrue) {
    TProcessKindScope library(pkLibrary);
    RequestContext().Reset();
    TIsapiEngine engine(nullptr);
    ASSERT_EQ(RegisteredIsapiEngine(), &engine);
    const std::string before = ReadFileBytes(LogFileName());
    EXPECT_EQ(TerminateExtension(0), ISAPI_TRUE);
    EXPECT_NE(ReadFileBytes(LogFileName()).find("No Session started", before.size()), std::string::npos);

    StartRequestSession(&engine, "isapi-shutdown", Now() + 1);
    EXPECT_EQ(TerminateExtension(HSE_TERM_MUST_UNLOAD), ISAPI_FALSE);
    EXPECT_TRUE(IsapiRequestState().MustUnload);
    EXPECT_FALSE(RequestContext().SessionVariables);
}

TEST(IsapiEngineRegistration, FirstEngineRegistersAndUnregistersOnDestruction) {
    {
        TIsapiEngine first(nullptr);
        TIsapiEngine second(nullptr);
        EXPECT_EQ(RegisteredIsapiEngine(), &first);
    }
    EXPECT_EQ(RegisteredIsapiEngine(), nullptr);
    TFakeHost h("", "");
    EXPECT_EQ(HttpExtensionProc(&h.ECB), HSE_STATUS_ERROR);
    EXPECT_EQ(HttpFilterProc(nullptr, 0, nullptr), SF_STATUS_REQ_NEXT_NOTIFICATION);
}

// Both module engines send the status line first, header lines (bare names included) and
// the blank line ahead of the body; no header text can start a line of its own.
TEST(ModuleEngines, HeaderLinesGoAheadOfTheBody) {
    TIsapiEngine isapi(nullptr);
    TWsapiEngine wsapi(nullptr);
    for (THttpEngine* e : {static_cast<THttpEngine*>(&isapi), static_cast<THttpEngine*>(&wsapi)}) {
        e->OnExecRequest = [e](TObject*) {
            e->SetHeader("X-Note", "a\r\nSet-Cookie: evil=1");
            e->SetHeader("X-Bare\r\n", "");
            e->Write("body");
        };
        const std::string out = RunRequest(*e, {"REQUEST_METHOD=GET"})->bytes;
        EXPECT_EQ(out.find("\r\nSet-Cookie"), std::string::npos) << out;
        EXPECT_NE(out.find("\r\nX-Note: aSet-Cookie: evil=1\r\n"), std::string::npos) << out;
        EXPECT_NE(out.find("\r\nX-Bare\r\n"), std::string::npos) << out;
        EXPECT_EQ(out.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << out;
        EXPECT_EQ(out.substr(out.size() - 8), "\r\n\r\nbody") << out;
    }
}
