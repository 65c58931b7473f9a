// The WSAPI export of the module, driven by this program as the WSAPI host: the host
// functions below are exported by the program and bound by the module by name.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/isapi_host/HostSupport.h"

namespace {

struct THostRequest {
    std::unique_ptr<TWsapiRequest> Record = std::make_unique<TWsapiRequest>();
    std::map<std::string, std::string> Variables;
    std::string Body;
    size_t Pos = 0;
    std::string Output;
    int Flushes = 0;
    std::deque<std::string> Keep;  // texts the record points at (stable addresses)
};

std::mutex GMutex;
std::map<TWsapiRequest*, THostRequest*> GRequests;
std::atomic<int> GBindCalls{0};
std::atomic<bool> GBindArgumentsRight{true};

THostRequest* Find(TWsapiRequest* r) {
    std::lock_guard<std::mutex> lk(GMutex);
    auto it = GRequests.find(r);
    return it == GRequests.end() ? nullptr : it->second;
}

struct TRegistration {
    TWsapiRequest* R;
    explicit TRegistration(THostRequest& h) : R(h.Record.get()) {
        std::lock_guard<std::mutex> lk(GMutex);
        GRequests[R] = &h;
    }
    ~TRegistration() {
        std::lock_guard<std::mutex> lk(GMutex);
        GRequests.erase(R);
    }
};

void SetText(char* area, size_t room, const std::string& s) {
    std::strncpy(area, s.c_str(), room - 1);
}

const char* Keep(THostRequest& h, const std::string& s) {
    h.Keep.push_back(s);
    return h.Keep.back().c_str();
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

extern "C" {
int32_t bind_wsapi(int32_t Major, int32_t Minor, int32_t Flags) {
    ++GBindCalls;
    if (Major != 1 || Minor != 1 || Flags != 0) GBindArgumentsRight = false;
    return 1;
}
int32_t nwrite(TWsapiRequest* Request, const void* Buffer, int32_t Count) {
    THostRequest* h = Find(Request);
    if (!h) return -1;
    h->Output.append(static_cast<const char*>(Buffer), static_cast<size_t>(Count));
    return Count;
}
int32_t nread(TWsapiRequest* Request, void* Buffer, int32_t Count) {
    THostRequest* h = Find(Request);
    if (!h) return -1;
    // Small pieces, as a network delivers them.
    const size_t n = std::min({static_cast<size_t>(Count), h->Body.size() - h->Pos, size_t{700}});
    std::memcpy(Buffer, h->Body.data() + h->Pos, n);
    h->Pos += n;
    return static_cast<int32_t>(n);
}
int32_t nflush(TWsapiRequest* Request) {
    THostRequest* h = Find(Request);
    if (h) ++h->Flushes;
    return h ? 0 : -1;
}
int32_t send_http_header(TWsapiRequest*) {
    return 0;
}
int32_t get_server_variable(TWsapiRequest* Request, const char* Name, char* Buffer, int32_t Size) {
    THostRequest* h = Find(Request);
    if (!h) return -1;
    auto it = h->Variables.find(Name);
    if (it == h->Variables.end()) return -1;
    if (Size > 0) {
        const size_t n = std::min(it->second.size(), static_cast<size_t>(Size - 1));
        std::memcpy(Buffer, it->second.data(), n);
        Buffer[n] = 0;
    }
    return static_cast<int32_t>(it->second.size());
}
void die(TWsapiRequest*, int32_t, const char*) {}
}

TEST(WsapiHost, PostRequestRunsThroughTheHostFunctions) {
    THostRequest h;
    TRegistration reg(h);
    TWsapiRequest& r = *h.Record;
    h.Body = "id=5&data=" + std::string(5000, 'z');
    h.Variables["CONTENT_LENGTH"] = std::to_string(h.Body.size());
    h.Variables["QUERY_STRING"] = "vars=REMOTE_ADDR,USER_AGENT,HTTP_X_EXTRA,AUTH_TYPE,HTTP_ACCEPT,AUTH_USER";
    h.Variables["AUTH_USER"] = "joe";
    SetText(r.Method, sizeof(r.Method), "POST");
    SetText(r.ContentType, sizeof(r.ContentType), "application/x-www-form-urlencoded");
    SetText(r.UserAgent, sizeof(r.UserAgent), "Tester/1");
    SetText(r.Accept, sizeof(r.Accept), "text/html");
    r.RemoteAddress = Keep(h, "10.0.0.9");
    r.AuthType = Keep(h, "Basic");
    r.HeaderCount = 2;
    r.Headers[0] = {Keep(h, "http_x_extra"), Keep(h, "yes")};
    r.Headers[1] = {nullptr, Keep(h, "ignored")};
    r.ResponseFlags = 77;
    r.ResponseStatus = 500;

    const int bindsBefore = GBindCalls.load();
    EXPECT_EQ(FullModule().Process(&r), 1);
    EXPECT_LE(GBindCalls.load() - bindsBefore, 1);
    EXPECT_TRUE(GBindArgumentsRight.load());
    EXPECT_EQ(r.ResponseFlags, 0);
    EXPECT_EQ(r.ResponseStatus, 200);
    EXPECT_GE(h.Flushes, 1);
    const std::string& out = h.Output;
    EXPECT_EQ(out.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << out;
    for (const char* line :
         {"method=POST\r\n", "field:id=5\r\n", "var:REMOTE_ADDR=10.0.0.9\r\n", "var:USER_AGENT=Tester/1\r\n",
          "var:HTTP_X_EXTRA=yes\r\n", "var:AUTH_TYPE=Basic\r\n", "var:HTTP_ACCEPT=text/html\r\n",
          "var:AUTH_USER=joe\r\n"})
        EXPECT_TRUE(Has(out, line)) << line << "\n" << out;
    EXPECT_TRUE(Has(out, "field:data=" + Describe(std::string(5000, 'z')) + "\r\n")) << out;
}

// Something that is no standard exception, raised by the application, stays in the
// module: the request gets the error page and the host its usual answer.
TEST(WsapiHost, ForeignThrowAnswersWithTheErrorPage) {
    THostRequest h;
    TRegistration reg(h);
    SetText(h.Record->Method, sizeof(h.Record->Method), "GET");
    h.Variables["QUERY_STRING"] = "throw=1";
    EXPECT_EQ(FullModule().Process(h.Record.get()), 1);
    EXPECT_TRUE(Has(h.Output, "<html><body>Unhandled Exception: Unknown exception</body></html>"))
        << h.Output;
    EXPECT_GE(h.Flushes, 1);
    // From the response-ready event: the answer still goes, and the host hears it is done.
    THostRequest ready;
    TRegistration readyReg(ready);
    SetText(ready.Record->Method, sizeof(ready.Record->Method), "GET");
    ready.Variables["QUERY_STRING"] = "readythrow=1";
    EXPECT_EQ(FullModule().Process(ready.Record.get()), 1);
    EXPECT_TRUE(Has(ready.Output, "field:readythrow=1\r\n")) << ready.Output;
    EXPECT_GE(ready.Flushes, 1);
}

TEST(WsapiHost, HostCountBeyondTheRecordsRoomIsCapped) {
    THostRequest h;
    TRegistration reg(h);
    TWsapiRequest& r = *h.Record;
    SetText(r.Method, sizeof(r.Method), "GET");
    h.Variables["QUERY_STRING"] = "vars=H99";
    r.HeaderCount = 100000;
    for (int i = 0; i < WsapiMaxHeaderPairs; ++i)
        r.Headers[i] = {Keep(h, "h" + std::to_string(i)), Keep(h, "v" + std::to_string(i))};
    EXPECT_EQ(FullModule().Process(&r), 1);
    EXPECT_TRUE(Has(h.Output, "var:H99=v99\r\n")) << h.Output;
}

TEST(WsapiHost, LongHostVariableArrivesWhole) {
    THostRequest h;
    TRegistration reg(h);
    SetText(h.Record->Method, sizeof(h.Record->Method), "GET");
    const std::string value(9000, 'q');
    h.Variables["QUERY_STRING"] = "long=" + value;
    EXPECT_EQ(FullModule().Process(h.Record.get()), 1);
    EXPECT_TRUE(Has(h.Output, "field:long=" + Describe(value) + "\r\n")) << h.Output.substr(0, 300);
}

TEST(WsapiHost, ConcurrentRequestsKeepTheirOwnRecords) {
    constexpr int kThreads = 5, kRequests = 4;
    std::vector<std::string> failures(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < kRequests; ++i) {
                THostRequest h;
                TRegistration reg(h);
                const std::string id = std::to_string(t * 10 + i);
                h.Body = "id=" + id + "&wait=10";
                h.Variables["CONTENT_LENGTH"] = std::to_string(h.Body.size());
                h.Variables["QUERY_STRING"] = "q=" + id;
                SetText(h.Record->Method, sizeof(h.Record->Method), "POST");
                SetText(h.Record->ContentType, sizeof(h.Record->ContentType),
                        "application/x-www-form-urlencoded");
                if (FullModule().Process(h.Record.get()) != 1 || !Has(h.Output, "field:id=" + id + "\r\n") ||
                    !Has(h.Output, "field:q=" + id + "\r\n") || h.Record->ResponseStatus != 200)
                    failures[t] += id + ": " + h.Output + "\n";
            }
        });
    }
    for (auto& th : threads) th.join();
    for (const auto& f : failures) EXPECT_EQ(f, "");
}
