#pragma once
// WSAPI adapter: the Process export, the stream over the host's read and write functions,
// the host functions bound once by name, and the engine that registers itself as the one
// that serves WSAPI requests.
#include <string>

#include "web/ModuleEng.h"
#include "web/WsapiTypes.h"

// The host program's functions, looked up once per process.
struct TWsapiHost {
    TWsapiBind bind_wsapi = nullptr;
    TWsapiWrite nwrite = nullptr;
    TWsapiRead nread = nullptr;
    TWsapiFlush nflush = nullptr;
    TWsapiSendHeader send_http_header = nullptr;
    TWsapiGetVariable get_server_variable = nullptr;
    TWsapiDie die = nullptr;
    bool Bound = false;
};
// Binds the host's functions the first time (bind_wsapi is called at once with 1, 1, 0);
// false while any of them is missing.
bool BindWsapiHost();
const TWsapiHost& WsapiHost();

// The request record of the thread's WSAPI request.
TWsapiRequest*& WsapiRequest();

// Body and response of the thread's WSAPI request through the host's nread and nwrite.
class TWsapiStream : public TStream {
public:
    int64_t Read(void* Buffer, int64_t Count) override;
    int64_t Write(const void* Buffer, int64_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;  // always 0
};

// Largest buffer offered to the host's get_server_variable.
inline constexpr int32_t WsapiMaxVariableBuffer = 1 << 20;

// The engine of WSAPI requests. The first one created registers itself; destroying it
// unregisters it.
class TWsapiEngine : public TModuleEngine {
public:
    explicit TWsapiEngine(TComponent* AOwner);
    ~TWsapiEngine() override;

    // The host's value of the variable for the thread's request.
    std::string GetHostServerVariable(const std::string& Name) override;
    // The response is complete: the host sends what it holds.
    void EndRequest() override;
};

TWsapiEngine* RegisteredWsapiEngine();
void RegisterWsapiEngine(TWsapiEngine* Engine);

// The variable list of a request (unsorted), from the record and the engine's host.
TStringList* BuildWsapiVariables(THttpEngine* Engine, TWsapiRequest* Request);
// Runs the thread's request through Engine.
void RunWsapiRequest(TWsapiEngine* Engine);
