// The ISAPI exports of the module, driven as a web server drives them.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tools/isapi_host/HostSupport.h"

namespace {

std::string Letters(size_t n, unsigned seed) {
    std::string s(n, 'a');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + seed) % 26);
    return s;
}

TConnection Post(const std::string& body, uint32_t preRead) {
    TConnection c;
    c.Method = "POST";
    c.Body = body;
    c.PreRead = preRead;
    c.Variables["CONTENT_TYPE"] = "application/x-www-form-urlencoded";
    c.Variables["SERVER_SOFTWARE"] = "Test-Host/1.0";
    return c;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST(IsapiHost, VersionsCarryTheModulesDescriptions) {
    TModule& m = FullModule();
    HSE_VERSION_INFO ver{};
    EXPECT_EQ(m.GetExtensionVersion(&ver), ISAPI_TRUE);
    EXPECT_EQ(ver.dwExtensionVersion, HSE_VERSION);
    EXPECT_STREQ(ver.lpszExtensionDesc, "Zelto web module");

    HTTP_FILTER_VERSION fv{};
    fv.dwServerFilterVersion = 0x00060000;
    EXPECT_EQ(m.GetFilterVersion(&fv), ISAPI_TRUE);
    EXPECT_EQ(fv.dwServerFilterVersion, 0x00060000u);
    EXPECT_EQ(fv.dwFilterVersion, HSE_VERSION);
    EXPECT_EQ(fv.dwFlags, 0x00004000u);
    EXPECT_STREQ(fv.lpszFilterDesc, "Zelto web filter");
}

TEST(IsapiHost, PartlyPreReadBodyArrivesWhole) {
    const std::string data = Letters(100000, 3);
    TConnection c = Post("id=7&data=" + data, 5000);
    EXPECT_EQ(FullModule().HttpExtensionProc(c.Prepare()), HSE_STATUS_SUCCESS);
    EXPECT_TRUE(Has(c.Output, "HTTP/1.1 200 OK\r\n")) << c.Output.substr(0, 200);
    EXPECT_TRUE(Has(c.Output, "method=POST\r\n"));
    EXPECT_TRUE(Has(c.Output, "field:id=7\r\n"));
    EXPECT_TRUE(Has(c.Output, "field:data=" + Describe(data) + "\r\n")) << c.Output;
    EXPECT_EQ(c.ReadDelivered, c.Body.size() - 5000);
    for (uint32_t n : c.ReadRequests) EXPECT_LE(n, 32386u);
}

TEST(IsapiHost, NetscapeServerDeliversEverythingThroughReadClient) {
    const std::string data = Letters(3000, 5);
    TConnection c = Post("data=" + data, 100);
    c.Variables["SERVER_SOFTWARE"] = "Netscape-Enterprise/6.0";
    c.Prepare();
    c.ReadPos = 0;  // this server hands the read-ahead bytes to ReadClient again
    EXPECT_EQ(FullModule().HttpExtensionProc(&c.ECB), HSE_STATUS_SUCCESS);
    EXPECT_TRUE(Has(c.Output, "field:data=" + Describe(data) + "\r\n")) << c.Output;
    EXPECT_EQ(c.ReadDelivered, c.Body.size());
}

TEST(IsapiHost, AllHttpHeadersBecomeVariablesAndReplaceEarlierOnes) {
    TConnection c;
    c.Query = "vars=HTTP_ACCEPT,X_FORWARDED_FOR,HTTP_COOKIE";
    c.Variables["HTTP_ACCEPT"] = "*/*";
    c.Variables["HTTP_COOKIE"] = "a=1";
    c.Variables["ALL_HTTP"] = "HTTP-Accept: text/plain \nx-forwarded-for:  10.1.2.3\r\nHTTP_COOKIE:a=1\n";
    EXPECT_EQ(FullModule().HttpExtensionProc(c.Prepare()), HSE_STATUS_SUCCESS);
    EXPECT_TRUE(Has(c.Output, "var:HTTP_ACCEPT=text/plain\r\n")) << c.Output;
    EXPECT_TRUE(Has(c.Output, "var:X_FORWARDED_FOR=10.1.2.3\r\n")) << c.Output;
    EXPECT_TRUE(Has(c.Output, "var:HTTP_COOKIE=a=1\r\n")) << c.Output;
}

TEST(IsapiHost, ConcurrentRequestsKeepTheirOwnState) {
    constexpr int kThreads = 6, kRequests = 4;
    std::vector<std::string> failures(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            for (int r = 0; r < kRequests; ++r) {
                const std::string id = std::to_string(t * 100 + r);
                const std::string data = Letters(4000 + t * 10 + r, t + r);
                TConnection c = Post("id=" + id + "&wait=15&data=" + data, static_cast<uint32_t>(t * 300));
                c.Query = "q=" + id;
                if (FullModule().HttpExtensionProc(c.Prepare()) != HSE_STATUS_SUCCESS ||
                    !Has(c.Output, "field:id=" + id + "\r\n") || !Has(c.Output, "field:q=" + id + "\r\n") ||
                    !Has(c.Output, "field:data=" + Describe(data) + "\r\n") ||
                    Has(c.Output.substr(1), "HTTP/1.1"))
                    failures[t] += "request " + id + ":\n" + c.Output + "\n";
            }
        });
    }
    for (auto& th : threads) th.join();
    for (const auto& f : failures) EXPECT_EQ(f, "");
}

namespace {
struct TFilterHost {
    HTTP_FILTER_CONTEXT Context{};  // first member: the module's pointer is ours
    std::map<std::string, std::string> Variables;
    std::string Output;
};
BOOL FilterGetServerVariable(HTTP_FILTER_CONTEXT* pfc, const char* Name, void* Buffer, DWORD* Size) {
    auto* h = reinterpret_cast<TFilterHost*>(pfc);
    auto it = h->Variables.find(Name);
    if (it == h->Variables.end() || it->second.size() + 1 > *Size) return ISAPI_FALSE;
    std::memcpy(Buffer, it->second.c_str(), it->second.size() + 1);
    *Size = static_cast<DWORD>(it->second.size() + 1);
    return ISAPI_TRUE;
}
BOOL FilterWriteClient(HTTP_FILTER_CONTEXT* pfc, const void* Buffer, DWORD* Bytes, DWORD) {
    reinterpret_cast<TFilterHost*>(pfc)->Output.append(static_cast<const char*>(Buffer), *Bytes);
    return ISAPI_TRUE;
}
}  // namespace

TEST(IsapiHost, FilterFindsHeadersInAllHttpAndWritesThroughTheContext) {
    TFilterHost h;
    h.Context.GetServerVariable = FilterGetServerVariable;
    h.Context.WriteClient = FilterWriteClient;
    h.Variables["ALL_HTTP"] = "HTTP_HOST:example\nHTTP_X_TRACE: Abc-42 \n";
    EXPECT_EQ(FullModule().HttpFilterProc(&h.Context, 0x4000, nullptr), SF_STATUS_REQ_NEXT_NOTIFICATION);
    EXPECT_EQ(h.Output, "trace=Abc-42\r\n");
}

// Something that is no standard exception, raised in the module's events, stays in the
// module: each export logs it and answers as for any other failure.
TEST(IsapiHost, ForeignThrowsStayInTheModule) {
    TModule& m = FullModule();
    HSE_VERSION_INFO ver{};
    std::strcpy(ver.lpszExtensionDesc, "throw");
    EXPECT_EQ(m.GetExtensionVersion(&ver), ISAPI_FALSE);
    EXPECT_TRUE(Has(ReadLog(ZELTO_WEB_MODULE), "GetExtensionVersion: Unknown exception"));

    HTTP_FILTER_VERSION fv{};
    fv.dwServerFilterVersion = 0x7EEE0000;
    EXPECT_EQ(m.GetFilterVersion(&fv), ISAPI_TRUE);
    EXPECT_TRUE(Has(ReadLog(ZELTO_WEB_MODULE), "GetFilterVersion: Unknown exception"));

    TFilterHost h;
    h.Context.GetServerVariable = FilterGetServerVariable;
    h.Context.WriteClient = FilterWriteClient;
    EXPECT_EQ(m.HttpFilterProc(&h.Context, 0x7EEE, nullptr), SF_STATUS_REQ_NEXT_NOTIFICATION);
    EXPECT_TRUE(Has(ReadLog(ZELTO_WEB_MODULE), "HttpFilterProc: Unknown exception"));

    TConnection c;
    c.Query = "throw=1";
    EXPECT_EQ(m.HttpExtensionProc(c.Prepare()), HSE_STATUS_SUCCESS);
    EXPECT_TRUE(Has(c.Output, "<html><body>Unhandled Exception: Unknown exception</body></html>"))
        << c.Output;
}

TEST(IsapiHost, ModuleWithoutEngineRefusesRequestsWithoutCrashing) {
    TModule& m = BareModule();
    HTTP_FILTER_VERSION fv{};
    EXPECT_EQ(m.GetFilterVersion(&fv), ISAPI_TRUE);
    EXPECT_TRUE(Has(ReadLog(ZELTO_WEB_MODULE_BARE), "Filter not loaded: THttpEngine undefined"));
    HSE_VERSION_INFO ver{};
    EXPECT_EQ(m.GetExtensionVersion(&ver), ISAPI_TRUE);

    TConnection c = Post("a=1", 3);
    EXPECT_EQ(m.HttpExtensionProc(c.Prepare()), HSE_STATUS_ERROR);
    EXPECT_EQ(c.Output, "");
    HTTP_FILTER_CONTEXT fc{};
    EXPECT_EQ(m.HttpFilterProc(&fc, 1, nullptr), SF_STATUS_REQ_NEXT_NOTIFICATION);
    TWsapiRequest r{};
    EXPECT_EQ(m.Process(&r), 1);
}

// Runs last in this file: the host shuts the extension down. Without a session on this
// thread, clearing it fails, which is logged and answered TRUE.
TEST(IsapiHost, TerminateExtensionLogsMissingSession) {
    TModule& m = FullModule();
    EXPECT_EQ(m.TerminateExtension(HSE_TERM_MUST_UNLOAD), ISAPI_TRUE);
    EXPECT_TRUE(Has(ReadLog(ZELTO_WEB_MODULE), "No Session started"));
    // The module still serves after the shutdown call.
    TConnection c;
    c.Query = "x=1";
    EXPECT_EQ(m.HttpExtensionProc(c.Prepare()), HSE_STATUS_SUCCESS);
    EXPECT_TRUE(Has(c.Output, "field:x=1\r\n"));
}
