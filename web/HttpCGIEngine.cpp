// The CGI engine base: header lines on the output stream, the end of the process after
// the request, and the GUI program's start from its owner's creation.
#include "web/HttpCGIEngine.h"

#include "platform/rtl/Tick.h"
#include "web/HCgiDbg.h"

bool ServerWantsStatusHeader(const std::string& ServerSoftware) {
    const std::string s = UpperCase(ServerSoftware);
    for (const char* name : {"NETSCAPE", "APACHE", "IPLANET", "STRONGHOLD"})
        if (s.find(name) != std::string::npos) return true;
    for (size_t p = s.find("IIS/"); p != std::string::npos; p = s.find("IIS/", p + 1))
        if (p + 4 < s.size() && static_cast<uint8_t>(s[p + 4]) >= '4') return true;
    return false;
}

void TCGIRequest::Free() {
    if (In != Out) delete In;
    delete Out;
    delete Variables;
    *this = TCGIRequest{};
}

TCGIRequest TCGIRequest::Take() {
    TCGIRequest r = *this;
    *this = TCGIRequest{};
    return r;
}

void PrepareCGIRequest(TCGIRequest& Request, const TCGIUnitKind& Kind) {
    Request.Free();
    if (!Kind.CallTest && !IsServerInstance()) return;
    if (IsConsoleProcess() && IsServerInstance() && ServerIsRunning()) return;
    if (Kind.OpenStreams) Kind.OpenStreams(Request);

    const TServerModeHooks hooks = ServerModeHooks();
    if (IsConsoleProcess()) {
        Kind.CreateConsoleEngine();
        if (IsServerInstance()) {
            // A console debug server: the request handed to it replaces this one.
            if (hooks.DebugServerWaitRequest) {
                TStream* in = Request.In;
                TStream* out = Request.Out;
                TStrings* vars = nullptr;
                hooks.DebugServerWaitRequest(in, out, vars);
                if (in != Request.In && Request.In != out) delete Request.In;
                if (out != Request.Out && Request.Out != in) delete Request.Out;
                Request = TCGIRequest{in, out, vars};
            }
        } else if (ServerIsRunning() && hooks.ForwardRequestToDebugServer) {
            TCGIRequest r = Kind.ReadRequest(Request, false);
            hooks.ForwardRequestToDebugServer(r.In, r.Out, r.Variables);
        } else {
            Request = Kind.ReadRequest(Request, true);
        }
    } else if ((Kind.GuiServerInstanceForwards || !IsServerInstance()) && ServerIsRunning() &&
               hooks.ForwardRequestToServer) {
        TCGIRequest r = Kind.ReadRequest(Request, false);
        hooks.ForwardRequestToServer(r.In, r.Out, r.Variables);
    }
}

void TerminateCGIProcessRequest() {
    try {
        TerminateEngineProcess();
    } catch (const std::exception& e) {
        WriteLog("Unhandled Exception: " + std::string(e.what()));
    } catch (...) {
        WriteLog("Unhandled Exception: Unknown exception");
    }
}

THttpCGIEngine::THttpCGIEngine(TComponent* AOwner) : THttpEngine(AOwner) {}

void THttpCGIEngine::SendHeaderLine(const std::string& Name, const std::string& Value) {
    TStream* out = RequestContext().OutStream;
    if (!out) return;
    // CR and LF in a name or value would start a header of the client's choosing.
    const std::string name = StripControlBytes(Name);
    const std::string value = StripControlBytes(Value);
    std::string line;
    if (UpperCase(name).rfind("HTTP/", 0) == 0 &&
        (ForceStatusHeader() || ServerWantsStatusHeader(GetServerSoftware())))
        // "HTTP/1.1 200 OK" goes out as "Status: 200 OK".
        line = "Status:" + (name.size() > 8 ? name.substr(8) : std::string()) + "\r\n";
    else
        line = value.empty() ? name + "\r\n" : name + ": " + value + "\r\n";
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

void THttpCGIEngine::RunPrepared(TCGIRequest& Request) {
    if (!IsConsoleProcess() || !Request.Out) return;
    TCGIRequest r = Request.Take();
    ProcessRequest(r.In, r.Out, r.Variables);
}

void THttpCGIEngine::RunOwnRequest(uint32_t StartWaitMs, const std::function<TCGIRequest()>& ReadRequest) {
    const TServerModeHooks hooks = ServerModeHooks();
    if (ServerWanted() && hooks.ForwardRequestToServer) {
        StartResidentServer();
        Sleep(StartWaitMs);
        TCGIRequest r = ReadRequest();
        hooks.ForwardRequestToServer(r.In, r.Out, r.Variables);
        return;
    }
    if (IsServerInstance()) {
        if (hooks.ServerMainLoop) {
            if (CGIMode() == NormalMode) SetCGIMode(ServerMode);
            hooks.ServerMainLoop(this);
        }
        return;
    }
    TCGIRequest r = ReadRequest();
    ProcessRequest(r.In, r.Out, r.Variables);
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
