// WSAPI adapter: the Process export, host binding, the request record's variables.
#include "web/WsapiEng.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

std::atomic<TWsapiEngine*> GWsapiEngine{nullptr};
std::mutex GBindMutex;
TWsapiHost GHost;

struct TWsapiUnitEnd {
    ~TWsapiUnitEnd() {
        TWsapiEngine* e = GWsapiEngine.load();
        if (e && e == ProcessEngine() && e->Owner()) delete e->Owner();
    }
} GWsapiUnitEnd;

// A text area of the record: zero-terminated, or cut at the end of its area.
template <size_t N>
std::string AreaText(const char (&Area)[N]) {
    return std::string(Area, strnlen(Area, N));
}

std::string PointerText(const char* Text) {
    return Text ? std::string(Text) : std::string();
}

}  // namespace

TWsapiRequest*& WsapiRequest() {
    thread_local TWsapiRequest* request = nullptr;
    return request;
}

const TWsapiHost& WsapiHost() {
    return GHost;
}

bool BindWsapiHost() {
    std::lock_guard<std::mutex> lk(GBindMutex);
    if (GHost.Bound) return true;
    // The host's functions are exported by the host program itself.
    void* program = dlopen(nullptr, RTLD_NOW);
    if (!program) return false;
    auto find = [&](const char* name) { return dlsym(program, name); };
    TWsapiHost h;
    h.bind_wsapi = reinterpret_cast<TWsapiBind>(find("bind_wsapi"));
    h.nwrite = reinterpret_cast<TWsapiWrite>(find("nwrite"));
    h.nread = reinterpret_cast<TWsapiRead>(find("nread"));
    h.nflush = reinterpret_cast<TWsapiFlush>(find("nflush"));
    h.send_http_header = reinterpret_cast<TWsapiSendHeader>(find("send_http_header"));
    h.get_server_variable = reinterpret_cast<TWsapiGetVariable>(find("get_server_variable"));
    h.die = reinterpret_cast<TWsapiDie>(find("die"));
    if (!h.bind_wsapi || !h.nwrite || !h.nread || !h.nflush || !h.send_http_header ||
        !h.get_server_variable || !h.die)
        return false;
    h.bind_wsapi(1, 1, 0);
    h.Bound = true;
    GHost = h;
    return true;
}

TWsapiEngine* RegisteredWsapiEngine() {
    return GWsapiEngine.load();
}

void RegisterWsapiEngine(TWsapiEngine* Engine) {
    GWsapiEngine.store(Engine);
}

// ---- TWsapiStream

int64_t TWsapiStream::Read(void* Buffer, int64_t Count) {
    TWsapiRequest* r = WsapiRequest();
    if (!r || !GHost.nread || !Buffer) return -1;
    if (Count <= 0) return 0;
    return GHost.nread(r, Buffer, static_cast<int32_t>(std::min<int64_t>(Count, 0x7FFFFFFF)));
}

int64_t TWsapiStream::Write(const void* Buffer, int64_t Count) {
    TWsapiRequest* r = WsapiRequest();
    if (!r || !GHost.nwrite || !Buffer || Count <= 0) return 0;
    return GHost.nwrite(r, Buffer, static_cast<int32_t>(std::min<int64_t>(Count, 0x7FFFFFFF)));
}

int64_t TWsapiStream::Seek(int64_t /*Offset*/, TSeekOrigin /*Origin*/) {
    return 0;
}

// ---- TWsapiEngine

TWsapiEngine::TWsapiEngine(TComponent* AOwner) : TModuleEngine(AOwner) {
    TWsapiEngine* none = nullptr;
    if (!HasState(csDesigning)) GWsapiEngine.compare_exchange_strong(none, this);
}

TWsapiEngine::~TWsapiEngine() {
    TWsapiEngine* self = this;
    GWsapiEngine.compare_exchange_strong(self, nullptr);
}

std::string TWsapiEngine::GetHostServerVariable(const std::string& Name) {
    TWsapiRequest* r = WsapiRequest();
    if (!r || !GHost.get_server_variable) return "";
    // Ask again with more room while the value did not fit, up to a limit.
    for (int32_t room = 2048;; room *= 2) {
        std::vector<char> buffer(static_cast<size_t>(room), 0);
        const int32_t length = GHost.get_server_variable(r, Name.c_str(), buffer.data(), room);
        if (length < 0) return "";
        if (length < room || room >= WsapiMaxVariableBuffer)
            return std::string(buffer.data(), strnlen(buffer.data(), static_cast<size_t>(room)));
    }
}

void TWsapiEngine::EndRequest() {
    // The host hears that the answer is complete, whatever the end of the request raised.
    auto tellHost = [] {
        TWsapiRequest* r = WsapiRequest();
        if (r && GHost.nflush) GHost.nflush(r);
    };
    try {
        THttpEngine::EndRequest();
    } catch (...) {
        tellHost();
        throw;
    }
    tellHost();
}

// ---- Requests

TStringList* BuildWsapiVariables(THttpEngine* Engine, TWsapiRequest* Request) {
    auto list = std::make_unique<TStringList>();
    auto host = [&](const char* name) {
        return Engine ? Engine->GetHostServerVariable(name) : std::string();
    };
    list->Add("QUERY_STRING=" + host("QUERY_STRING"));
    list->Add("SCRIPT_NAME=" + host("SCRIPT_NAME"));
    list->Add("REQUEST_METHOD=" + AreaText(Request->Method));
    list->Add("CONTENT_LENGTH=" + IntToStr(StrToIntDef(Trim(host("CONTENT_LENGTH")), 0)));
    list->Add("CONTENT_TYPE=" + AreaText(Request->ContentType));
    list->Add("CONTENT_ENCODING=" + AreaText(Request->ContentEncoding));
    list->Add("REMOTE_HOST=" + PointerText(Request->RemoteHost));
    list->Add("REMOTE_ADDR=" + PointerText(Request->RemoteAddress));
    list->Add("REMOTE_NAME=" + PointerText(Request->RemoteName));
    list->Add("USER_AGENT=" + AreaText(Request->UserAgent));
    list->Add("HTTP_REFERER=" + AreaText(Request->Referer));
    list->Add("HTTP_ACCEPT=" + AreaText(Request->Accept));
    list->Add("AUTH_TYPE=" + PointerText(Request->AuthType));
    list->Add("AUTH_USER=" + host("AUTH_USER"));
    list->Add("AUTH_PASSWORD=" + host("AUTH_PASSWORD"));
    // The count comes from the host: never beyond the record's room.
    const int32_t pairs = std::clamp<int32_t>(Request->HeaderCount, 0, WsapiMaxHeaderPairs);
    std::vector<std::pair<std::string, std::string>> headers;
    for (int32_t i = 0; i < pairs; ++i) {
        const TWsapiHeaderPair& p = Request->Headers[i];
        if (p.Name) headers.emplace_back(UpperCase(p.Name), PointerText(p.Value));
    }
    AddClientHeaderVariables(list.get(), headers);
    return list.release();
}

void RunWsapiRequest(TWsapiEngine* Engine) {
    TWsapiRequest* r = WsapiRequest();
    auto stream = std::make_unique<TWsapiStream>();
    r->ResponseFlags = 0;
    r->ResponseStatus = 200;
    TStringList* variables = BuildWsapiVariables(Engine, r);
    TWsapiStream* s = stream.release();
    Engine->ProcessRequest(s, s, variables);
}

extern "C" int32_t Process(TWsapiRequest* Request) {
    if (!Request) return 1;
    WsapiRequest() = Request;
    try {
        if (!BindWsapiHost()) {
            WriteLog("Request not served: WSAPI host functions not found");
        } else if (TWsapiEngine* engine = RegisteredWsapiEngine()) {
            RunWsapiRequest(engine);
        } else {
            WriteLog("Request not served: THttpEngine undefined");
        }
    } catch (const std::exception& e) {
        WriteLog(e.what());
    } catch (...) {
        // Nothing may cross into the host.
        WriteLog("Process: Unknown exception");
    }
    WsapiRequest() = nullptr;
    return 1;
}
