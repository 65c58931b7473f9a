// Standard CGI engine: request from the environment and standard input, answer on standard
// output, one request per process.
#include "web/CGISEng.h"

#include <signal.h>
#include <unistd.h>

#include <memory>

#include "platform/rtl/Tick.h"
#include "web/HCgiDbg.h"

extern char** environ;

namespace {

// The request this process prepared (per thread; handed over to ProcessRequest).
struct TCGIStreams {
    TStream* In = nullptr;
    TStream* Out = nullptr;
    TStrings* Variables = nullptr;
};
thread_local TCGIStreams GStd;

// Created by unit start in a console program, freed by unit end (never at exit: the
// engine's end needs the session lock and the request state).
TCGIStdEngine* GConsoleEngine = nullptr;

void FreeStreams(TCGIStreams& s) {
    if (s.In != s.Out) delete s.In;
    delete s.Out;
    delete s.Variables;
    s = TCGIStreams{};
}

// Hands the prepared request over (the caller owns it from now on).
TCGIStreams TakeStreams() {
    TCGIStreams s = GStd;
    GStd = TCGIStreams{};
    return s;
}

}  // namespace

bool IsStdCGICall() {
    if (IsLibraryProcess()) return false;
    if (GetEnvVariable("SERVER_SOFTWARE").empty() && !IsServerInstance()) return false;
    return UpperCase(GetEnvVariable("CGI_VERSION")).find("WIN") == std::string::npos;
}

TStringList* ReadEnvironmentVariables() {
    auto* list = new TStringList;
    list->SetSorted(true);
    list->SetDuplicates(dupAccept);
    for (char** e = environ; e && *e; ++e) list->Add(*e);
    return list;
}

void PrepareStdCGIRequest() {
    FreeStreams(GStd);
    if (!IsStdCGICall() && !IsServerInstance()) return;
    if (IsConsoleProcess() && IsServerInstance() && ServerIsRunning()) return;

    // A client that went away must not kill the program halfway through its work: writes
    // then fail with EPIPE instead.
    ::signal(SIGPIPE, SIG_IGN);
    GStd.In = new THandleStream(STDIN_FILENO);
    GStd.Out = new THandleStream(STDOUT_FILENO);

    const TServerModeHooks hooks = ServerModeHooks();
    if (IsConsoleProcess()) {
        delete GConsoleEngine;
        GConsoleEngine = new TCGIStdEngine(nullptr);
        if (IsServerInstance() && hooks.DebugServerWaitRequest) {
            TStream* in = GStd.In;
            TStream* out = GStd.Out;
            TStrings* vars = nullptr;
            hooks.DebugServerWaitRequest(in, out, vars);
            if (in != GStd.In && GStd.In != out) delete GStd.In;
            if (out != GStd.Out && GStd.Out != in) delete GStd.Out;
            GStd = TCGIStreams{in, out, vars};
        } else if (!IsServerInstance() && ServerIsRunning() && hooks.ForwardRequestToDebugServer) {
            TCGIStreams s = TakeStreams();
            hooks.ForwardRequestToDebugServer(s.In, s.Out, ReadEnvironmentVariables());
        } else {
            GStd.Variables = ReadEnvironmentVariables();
        }
    } else if (ServerIsRunning() && hooks.ForwardRequestToServer) {
        TCGIStreams s = TakeStreams();
        hooks.ForwardRequestToServer(s.In, s.Out, ReadEnvironmentVariables());
    }
}

void FinishStdCGIRequest() {
    if (IsConsoleProcess() && IsStdCGICall()) TerminateEngineProcess();
    FreeStreams(GStd);
    delete GConsoleEngine;
    GConsoleEngine = nullptr;
}

TCGIStdEngine* CGIStdEngine() {
    return GConsoleEngine;
}

TCGIStdEngine::TCGIStdEngine(TComponent* AOwner) : THttpCGIEngine(AOwner) {}

void TCGIStdEngine::Loaded() {
    LoadedForCall(IsStdCGICall());
}

void TCGIStdEngine::Run() {
    if (!IsConsoleProcess() || !GStd.Out) return;
    TCGIStreams s = TakeStreams();
    ProcessRequest(s.In, s.Out, s.Variables);
}

void TCGIStdEngine::RunCGI(TStream* InStream, TStream* OutStream, TStrings* Variables) {
    // A request taken from the exchange.
    if (OutStream) {
        ProcessRequest(InStream, OutStream, Variables);
        return;
    }
    delete Variables;
    const TServerModeHooks hooks = ServerModeHooks();
    if (ServerWanted() && hooks.ForwardRequestToServer) {
        StartResidentServer();
        Sleep(600);
        TCGIStreams s = TakeStreams();
        hooks.ForwardRequestToServer(s.In, s.Out, ReadEnvironmentVariables());
        return;
    }
    if (IsServerInstance() && hooks.ServerMainLoop) {
        if (CGIMode() == NormalMode) SetCGIMode(ServerMode);
        hooks.ServerMainLoop(this);
        return;
    }
    TCGIStreams s = TakeStreams();
    delete s.Variables;
    ProcessRequest(s.In, s.Out, ReadEnvironmentVariables());
}
