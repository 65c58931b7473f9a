// A small application in module form: one ISAPI and one WSAPI engine on a data module,
// answering every request with what it received. The hosts' tests drive it.
//
// Fields the answer understands: "wait" (ms, at most 2000) delays the answer so that
// requests overlap; "vars" names server variables to echo, separated by ','; "throw"
// raises something that is no standard exception, and "readythrow" raises it from the
// response-ready event. The version and filter events raise it too when asked (see
// ModuleThrowRequest below).
#include <cstdint>

#include "platform/rtl/Tick.h"
#include "web/IsapiEng.h"
#include "web/WsapiEng.h"

namespace {

// What the module raises on request: no standard exception, as foreign code may throw.
struct TModuleFault {};

// The hosts ask for a throw with this server filter version or notification type, or with
// this text in the extension description.
constexpr DWORD ThrowingFilterVersion = 0x7EEE0000;
constexpr DWORD ThrowingNotification = 0x7EEE;
constexpr const char* ThrowingDescription = "throw";

// Short values as they are; long ones as their length and an FNV-1a sum.
std::string Describe(const std::string& v) {
    if (v.size() <= 64) return v;
    uint32_t h = 2166136261u;
    for (unsigned char c : v) h = (h ^ c) * 16777619u;
    return "len " + IntToStr(static_cast<int64_t>(v.size())) + " sum " + IntToHex(h, 8);
}

void Answer(TObject* Sender) {
    auto* e = static_cast<THttpEngine*>(Sender);
    if (!e->GetField("throw").empty()) throw TModuleFault{};
    const int32_t wait = StrToIntDef(e->GetField("wait"), 0);
    if (wait > 0) Sleep(static_cast<uint32_t>(std::min(wait, 2000)));
    e->WriteLn("method=" + e->GetRequestMethod());
    auto names = e->GetFieldNames();
    for (int i = 0; i < names->Count(); ++i) {
        const std::string n = names->Get(i);
        e->WriteLn("field:" + n + "=" + Describe(e->GetField(n)));
    }
    std::string vars = e->GetField("vars");
    while (!vars.empty()) {
        const size_t comma = vars.find(',');
        const std::string n = vars.substr(0, comma);
        vars = comma == std::string::npos ? "" : vars.substr(comma + 1);
        if (!n.empty()) e->WriteLn("var:" + n + "=" + e->GetServerVariable(n));
    }
}

struct TWebModule {
    TWebModule() {
        SetProcessKind(pkLibrary);
        auto* owner = new TComponent(nullptr);
        owner->SetName("WebModule");
        auto* isapi = new TIsapiEngine(owner);
        isapi->SetName("IsapiEngine");
        isapi->OnExecRequest = Answer;
        isapi->OnGetExtensionVersion = [](TObject*, HSE_VERSION_INFO* Ver, std::string& Description, bool&) {
            if (std::string(Ver->lpszExtensionDesc) == ThrowingDescription) throw TModuleFault{};
            Description = "Zelto web module";
        };
        isapi->OnGetFilterVersion = [](TObject*, DWORD& ServerVersion, DWORD&, DWORD& Flags,
                                       std::string& Description, bool&) {
            if (ServerVersion == ThrowingFilterVersion) throw TModuleFault{};
            Flags = 0x00004000;
            Description = "Zelto web filter";
        };
        // The filter answers a request that carries an X-Trace header with its value.
        isapi->OnHttpFilter = [](TObject*, HTTP_FILTER_CONTEXT*, DWORD Notification, DWORD&, void*) {
            if (Notification == ThrowingNotification) throw TModuleFault{};
            const std::string trace = IsapiGetServerVariable("HTTP_X_TRACE");
            if (trace.empty()) return;
            const std::string line = "trace=" + trace + "\r\n";
            TIsapiStream out;
            out.WriteBuffer(line.data(), static_cast<int64_t>(line.size()));
        };
        auto* wsapi = new TWsapiEngine(owner);
        wsapi->SetName("WsapiEngine");
        wsapi->OnExecRequest = Answer;
        for (THttpEngine* e : std::initializer_list<THttpEngine*>{isapi, wsapi})
            e->OnResponseReady = [e](TObject*, TStringList*, TMemoryStream*) {
                if (!e->GetField("readythrow").empty()) throw TModuleFault{};
            };
    }
} GWebModule;

}  // namespace
