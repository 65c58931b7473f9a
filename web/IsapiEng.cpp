// ISAPI adapter: extension and filter exports, the control-block stream, host variables.
#include "web/IsapiEng.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "web/HSessVar.h"

namespace {

std::atomic<TIsapiEngine*> GIsapiEngine{nullptr};

// Unit end: the module's engine goes with its owner (its form or data module).
struct TIsapiUnitEnd {
    ~TIsapiUnitEnd() {
        TIsapiEngine* e = GIsapiEngine.load();
        if (e && e == ProcessEngine() && e->Owner()) delete e->Owner();
    }
} GIsapiUnitEnd;

// A zero-terminated text of at most Room bytes, cut when longer.
void CopyText(char* Dest, size_t Room, const std::string& Text) {
    if (!Dest || Room == 0) return;
    size_t n = std::min(Text.size(), Room - 1);
    std::memcpy(Dest, Text.data(), n);
    Dest[n] = 0;
}

std::string HostText(const char* Text) {
    return Text ? std::string(Text) : std::string();
}

// The value of Name in the ALL_HTTP text (lines "NAME:value" or "NAME=value"), letter
// case as it stands there.
std::string FindInAllHttp(const std::string& AllHttp, const std::string& Name) {
    const std::string text = "\n" + AllHttp + "\n\n";
    const std::string upper = UpperCase(text);
    const std::string key = "\n" + UpperCase(Name);
    size_t p = upper.find(key + "=");
    if (p == std::string::npos) p = upper.find(key + ":");
    if (p == std::string::npos) return "";
    const size_t start = p + key.size() + 1;
    const size_t end = text.find('\n', start);
    return Trim(text.substr(start, end - start));
}

// The log line of an exception that reached an export: nothing may cross into the host.
void LogExportFailure(const char* Export) {
    try {
        throw;
    } catch (const std::exception& e) {
        WriteLog(e.what());
    } catch (...) {
        WriteLog(std::string(Export) + ": Unknown exception");
    }
}

}  // namespace

TIsapiRequestState& IsapiRequestState() {
    thread_local TIsapiRequestState state;
    return state;
}

TIsapiEngine* RegisteredIsapiEngine() {
    return GIsapiEngine.load();
}

void RegisterIsapiEngine(TIsapiEngine* Engine) {
    GIsapiEngine.store(Engine);
}

// ---- Host variables

std::string IsapiGetServerVariable(const std::string& Name) {
    TIsapiRequestState& S = IsapiRequestState();
    EXTENSION_CONTROL_BLOCK* ecb = S.ECB;
    HTTP_FILTER_CONTEXT* fc = ecb ? nullptr : S.FilterContext;
    std::string value;
    // A value that fills the buffer may have been cut: ask again with more room, up to a
    // limit, so a host cannot make the module grow without end.
    for (int32_t room = 2048; room <= IsapiMaxVariableBuffer; room += 2048) {
        std::vector<char> buffer(static_cast<size_t>(room), 0);
        DWORD size = static_cast<DWORD>(room - 1);
        BOOL ok = ISAPI_FALSE;
        if (ecb && ecb->GetServerVariable)
            ok = ecb->GetServerVariable(ecb->ConnID, Name.c_str(), buffer.data(), &size);
        else if (fc && fc->GetServerVariable)
            ok = fc->GetServerVariable(fc, Name.c_str(), buffer.data(), &size);
        value.clear();
        if (ok && size > 0) {
            const size_t n = std::min<size_t>(size, static_cast<size_t>(room - 1));
            value.assign(buffer.data(), strnlen(buffer.data(), n));
        }
        // Whether the host filled the room is told by the value as given: trimmed, one cut
        // at blanks or line ends would look short.
        if (static_cast<int64_t>(value.size()) < room - 2) break;
    }
    value = Trim(value);
    if (fc && value.empty() && UpperCase(Name).rfind("HTTP_", 0) == 0)
        value = FindInAllHttp(IsapiGetServerVariable("ALL_HTTP"), Name);
    return value;
}

TStringList* BuildIsapiVariables() {
    EXTENSION_CONTROL_BLOCK* ecb = IsapiRequestState().ECB;
    auto list = std::make_unique<TStringList>();
    list->SetSorted(true);
    list->SetDuplicates(dupIgnore);
    if (ecb) {
        if (ecb->lpszQueryString) list->Add("QUERY_STRING=" + HostText(ecb->lpszQueryString));
        if (ecb->lpszMethod) list->Add("REQUEST_METHOD=" + HostText(ecb->lpszMethod));
        if (ecb->lpszPathInfo) list->Add("PATH_INFO=" + HostText(ecb->lpszPathInfo));
        if (ecb->lpszPathTranslated) list->Add("PATH_TRANSLATED=" + HostText(ecb->lpszPathTranslated));
        list->Add("CONTENT_LENGTH=" + UIntToStr(ecb->cbTotalBytes));
    }
    static const char* const names[] = {"AUTH_USER",
                                        "HTTP_COOKIE",
                                        "CONTENT_TYPE",
                                        "REMOTE_ADDR",
                                        "REMOTE_HOST",
                                        "REMOTE_USER",
                                        "UNMAPPED_REMOTE_USER",
                                        "SCRIPT_NAME",
                                        "SERVER_NAME",
                                        "SERVER_PORT",
                                        "SERVER_PORT_SECURE",
                                        "SERVER_PROTOCOL",
                                        "SERVER_SOFTWARE",
                                        "HTTP_ACCEPT",
                                        "URL",
                                        "ALL_HTTP"};
    std::string allHttp;
    for (const char* name : names) {
        std::string v = IsapiGetServerVariable(name);
        if (v.empty()) continue;
        list->Add(std::string(name) + "=" + v);
        if (std::strcmp(name, "ALL_HTTP") == 0) allHttp = v;
    }
    // Every request header of ALL_HTTP as a variable of its own, named as CGI names them.
    std::string rest = allHttp;
    while (rest.size() >= 3) {
        const size_t lf = rest.find('\n');
        std::string line = rest.substr(0, lf);
        rest = lf == std::string::npos ? std::string() : rest.substr(lf + 1);
        const size_t colon = line.find(':');
        if (colon != std::string::npos) line[colon] = '=';
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string name = UpperCase(Trim(line.substr(0, eq)));
        std::replace(name.begin(), name.end(), '-', '_');
        if (name.empty()) continue;
        const std::string value = Trim(line.substr(eq + 1));
        int i = list->IndexOfName(name);
        if (i >= 0) list->Delete(i);
        list->Add(name + "=" + value);
    }
    return list.release();
}

// ---- TIsapiStream

int64_t TIsapiStream::Read(void* Buffer, int64_t Count) {
    EXTENSION_CONTROL_BLOCK* ecb = IsapiRequestState().ECB;
    if (!ecb || !Buffer) return -1;
    if (Count <= 0) return 0;
    auto* out = static_cast<uint8_t*>(Buffer);
    int64_t copied = 0;
    // Some servers hand the read-ahead bytes to ReadClient again: take everything from there.
    if (UpperCase(IsapiGetServerVariable("SERVER_SOFTWARE")).find("NETSCAPE") == std::string::npos &&
        ecb->lpbData) {
        while (static_cast<DWORD>(FPosition) < ecb->cbAvailable && copied < Count)
            out[copied++] = ecb->lpbData[FPosition++];
    }
    bool failed = false;
    while (copied < Count) {
        const DWORD want = static_cast<DWORD>(std::min<int64_t>(Count - copied, IsapiReadChunk));
        DWORD got = want;
        if (!ecb->ReadClient || !ecb->ReadClient(ecb->ConnID, out + copied, &got) || got == 0) {
            failed = true;
            break;
        }
        copied += std::min(got, want);
    }
    // Bytes already copied are the result even when the host then fails.
    if (copied > 0) return copied;
    return failed ? -1 : 0;
}

int64_t TIsapiStream::Write(const void* Buffer, int64_t Count) {
    if (!Buffer || Count <= 0) return 0;
    TIsapiRequestState& S = IsapiRequestState();
    DWORD n = static_cast<DWORD>(std::min<int64_t>(Count, 0x7FFFFFFF));
    if (S.ECB) {
        if (!S.ECB->WriteClient || !S.ECB->WriteClient(S.ECB->ConnID, Buffer, &n, 0)) return 0;
    } else if (S.FilterContext) {
        if (!S.FilterContext->WriteClient || !S.FilterContext->WriteClient(S.FilterContext, Buffer, &n, 0))
            return 0;
    } else {
        return 0;
    }
    return n;
}

int64_t TIsapiStream::Seek(int64_t /*Offset*/, TSeekOrigin /*Origin*/) {
    return 0;
}

// ---- TIsapiEngine

TIsapiEngine::TIsapiEngine(TComponent* AOwner) : TModuleEngine(AOwner) {
    TIsapiEngine* none = nullptr;
    if (!HasState(csDesigning)) GIsapiEngine.compare_exchange_strong(none, this);
}

TIsapiEngine::~TIsapiEngine() {
    TIsapiEngine* self = this;
    GIsapiEngine.compare_exchange_strong(self, nullptr);
}

std::string TIsapiEngine::GetHostServerVariable(const std::string& Name) {
    return IsapiGetServerVariable(Name);
}

// ---- Exports

extern "C" BOOL GetExtensionVersion(HSE_VERSION_INFO* pVer) {
    if (!pVer) return ISAPI_FALSE;
    bool result = true;
    pVer->dwExtensionVersion = HSE_VERSION;
    std::string description;
    try {
        TIsapiEngine* engine = RegisteredIsapiEngine();
        if (engine && engine->OnGetExtensionVersion)
            engine->OnGetExtensionVersion(engine, pVer, description, result);
    } catch (...) {
        result = false;
        LogExportFailure("GetExtensionVersion");
    }
    CopyText(pVer->lpszExtensionDesc, sizeof(pVer->lpszExtensionDesc), description);
    return result ? ISAPI_TRUE : ISAPI_FALSE;
}

extern "C" DWORD HttpExtensionProc(EXTENSION_CONTROL_BLOCK* pECB) {
    TIsapiEngine* engine = RegisteredIsapiEngine();
    if (!engine || !pECB) {
        WriteLog(engine ? "Extension request without a control block"
                        : "Extension not loaded: THttpEngine undefined");
        return HSE_STATUS_ERROR;
    }
    TIsapiRequestState& S = IsapiRequestState();
    S.ECB = pECB;
    S.ExtensionStatus = HSE_STATUS_SUCCESS;
    try {
        auto stream = std::make_unique<TIsapiStream>();
        TStringList* variables = BuildIsapiVariables();
        TIsapiStream* s = stream.release();
        engine->ProcessRequest(s, s, variables);
    } catch (...) {
        LogExportFailure("HttpExtensionProc");
        S.ExtensionStatus = HSE_STATUS_ERROR;
    }
    // The control block is the host's only for the call.
    S.ECB = nullptr;
    return S.ExtensionStatus;
}

extern "C" BOOL TerminateExtension(DWORD dwFlags) {
    IsapiRequestState().MustUnload = (dwFlags & HSE_TERM_MUST_UNLOAD) != 0;
    bool result;
    try {
        // Clearing needs the thread's session: without one this raises "No Session started".
        THttpEngine* engine = ProcessEngine();
        if (!engine) throw Exception("No Session started");
        engine->CurrentSession();
        ClearSession();
        result = false;
        TerminateEngineProcess();
    } catch (...) {
        LogExportFailure("TerminateExtension");
        result = true;
    }
    return result ? ISAPI_TRUE : ISAPI_FALSE;
}

extern "C" BOOL GetFilterVersion(HTTP_FILTER_VERSION* pVer) {
    TIsapiEngine* engine = RegisteredIsapiEngine();
    if (!engine) {
        WriteLog("Filter not loaded: THttpEngine undefined");
        return ISAPI_TRUE;
    }
    if (!pVer) return ISAPI_TRUE;
    SetProcessEngine(engine);
    DWORD flags = 0;
    std::string description;
    DWORD filterVersion = HSE_VERSION;
    DWORD serverFilterVersion = pVer->dwServerFilterVersion;
    bool result = true;
    try {
        if (engine->OnGetFilterVersion)
            engine->OnGetFilterVersion(engine, serverFilterVersion, filterVersion, flags, description,
                                       result);
    } catch (...) {
        LogExportFailure("GetFilterVersion");
    }
    CopyText(pVer->lpszFilterDesc, sizeof(pVer->lpszFilterDesc), description);
    pVer->dwFlags = flags;
    pVer->dwFilterVersion = filterVersion;
    pVer->dwServerFilterVersion = serverFilterVersion;
    return ISAPI_TRUE;
}

extern "C" DWORD HttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD NotificationType, void* pvNotification) {
    DWORD status = SF_STATUS_REQ_NEXT_NOTIFICATION;
    TIsapiEngine* engine = RegisteredIsapiEngine();
    if (!engine) {
        WriteLog("Filter not loaded: THttpEngine undefined");
        return status;
    }
    TIsapiRequestState& S = IsapiRequestState();
    S.FilterContext = pfc;
    SetProcessEngine(engine);
    try {
        if (engine->OnHttpFilter) engine->OnHttpFilter(engine, pfc, NotificationType, status, pvNotification);
    } catch (...) {
        LogExportFailure("HttpFilterProc");
    }
    S.FilterContext = nullptr;
    return status;
}
