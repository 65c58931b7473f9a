// Host side of the module tests.
#include "tools/isapi_host/HostSupport.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/support/ScratchDir.h"

namespace {

BOOL HostGetServerVariable(HCONN ConnID, const char* Name, void* Buffer, DWORD* Size) {
    auto* c = static_cast<TConnection*>(ConnID);
    auto it = c->Variables.find(Name);
    if (it == c->Variables.end() || *Size == 0) return ISAPI_FALSE;
    // Cuts a value that does not fit, as some servers do.
    const size_t n = std::min<size_t>(it->second.size(), *Size - 1);
    std::memcpy(Buffer, it->second.data(), n);
    static_cast<char*>(Buffer)[n] = 0;
    *Size = static_cast<DWORD>(n + 1);
    return ISAPI_TRUE;
}

BOOL HostReadClient(HCONN ConnID, void* Buffer, DWORD* Size) {
    auto* c = static_cast<TConnection*>(ConnID);
    c->ReadRequests.push_back(*Size);
    const size_t n = std::min<size_t>(*Size, c->Body.size() - c->ReadPos);
    std::memcpy(Buffer, c->Body.data() + c->ReadPos, n);
    c->ReadPos += n;
    c->ReadDelivered += n;
    *Size = static_cast<DWORD>(n);
    return ISAPI_TRUE;
}

BOOL HostWriteClient(HCONN ConnID, const void* Buffer, DWORD* Bytes, DWORD) {
    auto* c = static_cast<TConnection*>(ConnID);
    c->Output.append(static_cast<const char*>(Buffer), *Bytes);
    return ISAPI_TRUE;
}

TModule Load(const char* path) {
    // The module logs to our directory; set before it starts.
    setenv("CGI_LOG_DIR", LogDir().c_str(), 1);
    TModule m;
    m.Handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!m.Handle) throw std::runtime_error(std::string("dlopen: ") + dlerror());
    auto sym = [&](const char* name) {
        void* p = dlsym(m.Handle, name);
        if (!p) throw std::runtime_error(std::string("missing export ") + name);
        return p;
    };
    m.GetExtensionVersion = reinterpret_cast<TGetExtensionVersionProc>(sym("GetExtensionVersion"));
    m.HttpExtensionProc = reinterpret_cast<THttpExtensionProc>(sym("HttpExtensionProc"));
    m.TerminateExtension = reinterpret_cast<TTerminateExtensionProc>(sym("TerminateExtension"));
    m.GetFilterVersion = reinterpret_cast<TGetFilterVersionProc>(sym("GetFilterVersion"));
    m.HttpFilterProc = reinterpret_cast<THttpFilterProc>(sym("HttpFilterProc"));
    m.Process = reinterpret_cast<TProcessProc>(sym("Process"));
    return m;
}

}  // namespace

std::string LogDir() {
    // Made before the first module loads, so it goes after them at exit, with its logs.
    static const TScratchDir dir("webhost");
    return dir.Path();
}

TModule& FullModule() {
    static TModule m = Load(ZELTO_WEB_MODULE);
    return m;
}

TModule& BareModule() {
    static TModule m = Load(ZELTO_WEB_MODULE_BARE);
    return m;
}

std::string ReadLog(const char* ModulePath) {
    std::string name = std::filesystem::path(ModulePath).stem().string() + ".Log";
    std::ifstream f(LogDir() + "/" + name, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

EXTENSION_CONTROL_BLOCK* TConnection::Prepare() {
    if (ReadAhead.empty()) ReadAhead = Body.substr(0, PreRead);
    ReadPos = PreRead;
    ECB = {};
    ECB.ConnID = this;
    ECB.lpszMethod = Method.c_str();
    ECB.lpszQueryString = Query.c_str();
    ECB.cbTotalBytes = static_cast<DWORD>(Body.size());
    ECB.cbAvailable = PreRead;
    ECB.lpbData = reinterpret_cast<const uint8_t*>(ReadAhead.data());
    ECB.GetServerVariable = HostGetServerVariable;
    ECB.WriteClient = HostWriteClient;
    ECB.ReadClient = HostReadClient;
    return &ECB;
}

uint32_t Fnv(const std::string& s) {
    uint32_t h = 2166136261u;
    for (unsigned char c : s) h = (h ^ c) * 16777619u;
    return h;
}

std::string Describe(const std::string& v) {
    if (v.size() <= 64) return v;
    char hex[16];
    std::snprintf(hex, sizeof(hex), "%08X", Fnv(v));
    return "len " + std::to_string(v.size()) + " sum " + hex;
}
