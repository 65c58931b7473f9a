#pragma once
// The engine for web servers that start the program once per request (CGI): it writes
// the header lines to the output stream and ends the process after the request. The
// standard CGI engine (CGISEng) and the Windows-CGI engine (CGIWEng) descend from it.
#include <string>

#include "web/HttpEng.h"

// Send the status line as "Status:" whatever the server (false at start).
bool ForceStatusHeader();
void SetForceStatusHeader(bool Value);

// Servers that take the status of a CGI answer only from a "Status:" header.
bool ServerWantsStatusHeader(const std::string& ServerSoftware);

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

private:
    bool FCGIAutoTerminate = true;
    TNotifyEvent FSavedOnCreate;
};
