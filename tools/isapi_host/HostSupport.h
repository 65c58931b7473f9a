#pragma once
// The host side of the module tests: loading a module, one ISAPI connection with its
// control block and callbacks, and the log the module writes.
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "web/IsapiTypes.h"
#include "web/WsapiTypes.h"

using TGetExtensionVersionProc = decltype(&GetExtensionVersion);
using THttpExtensionProc = decltype(&HttpExtensionProc);
using TTerminateExtensionProc = decltype(&TerminateExtension);
using TGetFilterVersionProc = decltype(&GetFilterVersion);
using THttpFilterProc = decltype(&HttpFilterProc);
using TProcessProc = decltype(&Process);

// A loaded module and its exports.
struct TModule {
    void* Handle = nullptr;
    TGetExtensionVersionProc GetExtensionVersion = nullptr;
    THttpExtensionProc HttpExtensionProc = nullptr;
    TTerminateExtensionProc TerminateExtension = nullptr;
    TGetFilterVersionProc GetFilterVersion = nullptr;
    THttpFilterProc HttpFilterProc = nullptr;
    TProcessProc Process = nullptr;
};
// The module with its application, and the bare one (loaded once each).
TModule& FullModule();
TModule& BareModule();

// The directory the modules log to, and the log of a module file.
std::string LogDir();
std::string ReadLog(const char* ModulePath);

// One request as an ISAPI host holds it. The control block's ConnID points here.
struct TConnection {
    std::string Method = "GET";
    std::string Query;
    std::string Body;
    uint32_t PreRead = 0;   // body bytes offered in lpbData
    std::string ReadAhead;  // what lpbData holds (defaults to the body's first bytes)
    size_t ReadPos = 0;     // next body byte ReadClient delivers
    std::map<std::string, std::string> Variables;
    std::vector<uint32_t> ReadRequests;  // sizes asked of ReadClient
    uint64_t ReadDelivered = 0;
    std::string Output;

    EXTENSION_CONTROL_BLOCK ECB{};
    // Fills the control block; ReadClient starts after the read-ahead bytes.
    EXTENSION_CONTROL_BLOCK* Prepare();
};

uint32_t Fnv(const std::string& s);
// As the module's answer describes a field value.
std::string Describe(const std::string& v);
