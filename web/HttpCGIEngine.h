#pragma once
// The engine for web servers that start the program once per request (CGI): it writes
// the header lines to the output stream and ends the process after the request. The
// standard CGI engine (CGISEng) and the Windows-CGI engine (CGIWEng) descend from it.
#include <cstdint>
#include <functional>
#include <string>

#include "web/HttpEng.h"

// Servers that take the status of a CGI answer only from a "Status:" header.
bool ServerWantsStatusHeader(const std::string& ServerSoftware);

// The request a CGI unit prepares at start: its streams and variables, held until they go
// to the engine or to a resident server.
struct TCGIRequest {
    TStream* In = nullptr;  // may be the same object as Out
    TStream* Out = nullptr;
    TStrings* Variables = nullptr;
    // Frees what is still held.
    void Free();
    // Hands everything over; nothing is held afterwards.
    TCGIRequest Take();
};

// How the two CGI units differ at start.
struct TCGIUnitKind {
    bool CallTest = false;  // the unit's call test (standard or Windows CGI)
    // Opens the request's streams before anything else happens (standard input and output).
    std::function<void(TCGIRequest& Request)> OpenStreams;
    // The whole request of this process, its variables in a sorted list when asked.
    std::function<TCGIRequest(TCGIRequest& Prepared, bool Sorted)> ReadRequest;
    std::function<void()> CreateConsoleEngine;
    // In a GUI program the server instance too hands its request to a running server.
    bool GuiServerInstanceForwards = false;
};

// Unit start of a CGI unit: prepares this process's request in Request (console program),
// or hands it to a running resident server.
void PrepareCGIRequest(TCGIRequest& Request, const TCGIUnitKind& Kind);

// Unit end of a console CGI program: flushes and ends the request (TerminateEngineProcess).
// It runs where nothing can catch a failure, so a failure is logged, never raised.
void TerminateCGIProcessRequest();

// An owner whose creation ends with an OnCreate event (a form or a data module). A GUI
// program's CGI engine runs its request from that event, once its owner is complete.
class TCGIEngineOwner {
public:
    virtual ~TCGIEngineOwner() = default;
    virtual TNotifyEvent& OwnerOnCreate() = 0;
};

class THttpCGIEngine : public THttpEngine {
public:
    explicit THttpCGIEngine(TComponent* AOwner);

    // A GUI program ends after its request unless this is False.
    bool CGIAutoTerminate() const override { return FCGIAutoTerminate; }
    void SetCGIAutoTerminate(bool v) { FCGIAutoTerminate = v; }
    bool IsCGIEngine() const override { return true; }

    void SendHeaderLine(const std::string& Name, const std::string& Value) override;
    void EndHeaders() override;
    void EndRequest() override;

protected:
    // The GUI program's start: when the unit's call test holds, run the request now or
    // from the owner's OnCreate.
    void LoadedForCall(bool CallTest);
    // The inherited Loaded, then the request.
    void RunAfterLoad();
    void OwnerCreateHook(TObject* Sender);
    // CGIMode asks for a resident server and none is there yet.
    bool ServerWanted();
    // Run of a console program: the request prepared at unit start.
    void RunPrepared(TCGIRequest& Request);
    // RunCGI without a request from the exchange: hands the request to a resident server
    // started now (after StartWaitMs), serves as the resident server, or answers here.
    void RunOwnRequest(uint32_t StartWaitMs, const std::function<TCGIRequest()>& ReadRequest);

private:
    bool FCGIAutoTerminate = true;
    TNotifyEvent FSavedOnCreate;
};
