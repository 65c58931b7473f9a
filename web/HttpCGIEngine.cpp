// The CGI engine base: header lines on the output stream, the end of the process after
// the request, and the GUI program's start from its owner's creation.
#include "web/HttpCGIEngine.h"

#include <atomic>

#include "web/HCgiDbg.h"

namespace {
std::atomic<bool> GForceStatusHeader{false};
}

bool ForceStatusHeader() {
    return GForceStatusHeader.load();
}

void SetForceStatusHeader(bool Value) {
    GForceStatusHeader.store(Value);
}

bool ServerWantsStatusHeader(const std::string& ServerSoftware) {
    const std::string s = UpperCase(ServerSoftware);
    for (const char* name : {"NETSCAPE", "APACHE", "IPLANET", "STRONGHOLD"})
        if (s.find(name) != std::string::npos) return true;
    for (size_t p = s.find("IIS/"); p != std::string::npos; p = s.find("IIS/", p + 1))
        if (p + 4 < s.size() && s[p + 4] >= '4') return true;
    return false;
}

THttpCGIEngine::THttpCGIEngine(TComponent* AOwner) : THttpEngine(AOwner) {}

void THttpCGIEngine::SendHeaderLine(const std::string& Name, const std::string& Value) {
    TStream* out = RequestContext().OutStream;
    if (!out) return;
    std::string line;
    if (UpperCase(Name).rfind("HTTP/", 0) == 0 &&
        (ForceStatusHeader() || ServerWantsStatusHeader(GetServerSoftware())))
        // "HTTP/1.1 200 OK" goes out as "Status: 200 OK".
        line = "Status:" + (Name.size() > 8 ? Name.substr(8) : std::string()) + "\r\n";
    else
        line = Value.empty() ? Name + "\r\n" : Name + ": " + Value + "\r\n";
    out->WriteBuffer(line.data(), static_cast<int64_t>(line.size()));
}

void THttpCGIEngine::EndHeaders() {
    if (TStream* out = RequestContext().OutStream) out->WriteBuffer("\r\n", 2);
}

void THttpCGIEngine::EndRequest() {
    THttpEngine::EndRequest();
    if (!IsConsoleProcess() && !IsLibraryProcess() && FCGIAutoTerminate && CGIMode() == NormalMode)
        Terminate();
}

bool THttpCGIEngine::ServerWanted() {
    return CGIMode() != NormalMode && !IsServerInstance() && !ServerIsRunning();
}

void THttpCGIEngine::LoadedForCall(bool CallTest) {
    if (HasState(csDesigning) || IsConsoleProcess() || IsLibraryProcess() || !CallTest) {
        THttpEngine::Loaded();
        return;
    }
    if (ServerWanted()) {
        RunAfterLoad();
        return;
    }
    if (auto* owner = dynamic_cast<TCGIEngineOwner*>(Owner())) {
        TNotifyEvent& onCreate = owner->OwnerOnCreate();
        FSavedOnCreate = onCreate;
        onCreate = [this](TObject* Sender) { OwnerCreateHook(Sender); };
        THttpEngine::Loaded();
        return;
    }
    RunAfterLoad();
}

void THttpCGIEngine::OwnerCreateHook(TObject* Sender) {
    if (!ServerWanted() && FSavedOnCreate) FSavedOnCreate(Sender);
    RunAfterLoad();
}

void THttpCGIEngine::RunAfterLoad() {
    THttpEngine::Loaded();
    RunCGI(nullptr, nullptr, nullptr);
}
