// Standard CGI engine: request from the environment and standard input, answer on standard
// output, one request per process.
#include "web/CGISEng.h"

#include <signal.h>
#include <unistd.h>

#include <memory>

#include "web/HCgiDbg.h"

extern char** environ;

namespace {

// The request this process prepared (per thread; handed over to ProcessRequest).
thread_local TCGIRequest GStd;

// Created by unit start in a console program, freed by unit end (never at exit: the
// engine's end needs the session lock and the request state).
TCGIStdEngine* GConsoleEngine = nullptr;

// The request on the prepared streams with the environment as its variables.
TCGIRequest EnvironmentRequest(TCGIRequest& Prepared) {
    TCGIRequest r = Prepared.Take();
    delete r.Variables;
    r.Variables = ReadEnvironmentVariables();
    return r;
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
    TCGIUnitKind kind;
    kind.CallTest = IsStdCGICall();
    kind.OpenStreams = [](TCGIRequest& r) {
        // A client that went away must not kill the program halfway through its work:
        // writes then fail with EPIPE instead.
        ::signal(SIGPIPE, SIG_IGN);
        // A web server stops a program whose client went away: its uploads must not stay.
        DeleteTempFilesOnEndSignals();
        r.In = new THandleStream(STDIN_FILENO);
        r.Out = new THandleStream(STDOUT_FILENO);
    };
    kind.ReadRequest = [](TCGIRequest& prepared, bool) { return EnvironmentRequest(prepared); };
    kind.CreateConsoleEngine = [] {
        delete GConsoleEngine;
        GConsoleEngine = new TCGIStdEngine(nullptr);
    };
    kind.GuiServerInstanceForwards = true;
    PrepareCGIRequest(GStd, kind);
}

void FinishStdCGIRequest() {
    if (IsConsoleProcess() && IsStdCGICall()) TerminateCGIProcessRequest();
    GStd.Free();
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
    RunPrepared(GStd);
}

void TCGIStdEngine::RunCGI(TStream* InStream, TStream* OutStream, TStrings* Variables) {
    // A request taken from the exchange.
    if (OutStream) {
        ProcessRequest(InStream, OutStream, Variables);
        return;
    }
    delete Variables;
    RunOwnRequest(600, [] { return EnvironmentRequest(GStd); });
}
