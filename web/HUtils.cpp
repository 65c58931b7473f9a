// Process-wide settings of the web engine units.
#include "web/HUtils.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <mutex>

#include "platform/framework/Application.h"
#include "platform/rtl/SysUtils.h"
#include "platform/rtl/Thread.h"

namespace {

std::atomic<TProcessKind> GProcessKind{pkConsoleProgram};

std::mutex GExitMutex;
TProcessExitHandler GExitHandler;

std::atomic<bool> GForceStatusHeader{false};

// A symbol of this module, so that dladdr names the library when we are one.
void ModuleAnchor() {}

}  // namespace

TProcessKind ProcessKind() {
    return GProcessKind.load();
}
void SetProcessKind(TProcessKind Kind) {
    GProcessKind.store(Kind);
}
bool IsConsoleProcess() {
    return ProcessKind() == pkConsoleProgram;
}
bool IsLibraryProcess() {
    return ProcessKind() == pkLibrary;
}

bool ForceStatusHeader() {
    return GForceStatusHeader.load();
}

void SetForceStatusHeader(bool Value) {
    GForceStatusHeader.store(Value);
}

std::string GetModuleFileName() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&ModuleAnchor), &info) && info.dli_fname && info.dli_fname[0] == '/')
        return info.dli_fname;
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n > 0) return std::string(buf, static_cast<size_t>(n));
    return info.dli_fname ? info.dli_fname : "";
}

std::string ModuleDirectory() {
    return NormalisePath(ExtractFilePath(GetModuleFileName()));
}

bool IsAbsolutePath(const std::string& Path) {
    return !Path.empty() && Path[0] == '/';
}

std::string NormalisePath(const std::string& Path) {
    std::string s = Trim(Path);
    for (size_t p; (p = s.find("/./")) != std::string::npos;) s.erase(p, 2);
    // Linux paths have no UNC form, so every doubled '/' collapses.
    std::string out;
    for (char c : s) {
        if (c == '/' && !out.empty() && out.back() == '/') continue;
        out += c;
    }
    if (out.empty() || out.back() != '/') out += '/';
    return out;
}

std::string ModuleRelativeDir(const std::string& Dir) {
    std::string d = Trim(Dir);
    if (!IsAbsolutePath(d)) d = ModuleDirectory() + d;
    return NormalisePath(d);
}

bool LengthBeyondInteger(const std::string& v) {
    size_t i = v.empty() || v[0] != '+' ? 0 : 1;
    while (i < v.size() && v[i] == '0' && i + 1 < v.size()) ++i;
    const std::string digits = v.substr(i);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return false;
    return digits.size() > 10 || (digits.size() == 10 && digits > "2147483647");
}

std::string StripControlBytes(std::string Text) {
    std::erase_if(Text,
                  [](char c) { return (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f; });
    return Text;
}

void ProcessPendingMessages() {
    if (IsMainThread()) Application()->ProcessMessages();
}

void SetProcessExitHandler(TProcessExitHandler Handler) {
    std::lock_guard<std::mutex> lk(GExitMutex);
    GExitHandler = std::move(Handler);
}

void ExitEngineProcess(int ExitCode) {
    TProcessExitHandler h;
    {
        std::lock_guard<std::mutex> lk(GExitMutex);
        h = GExitHandler;
    }
    if (h) {
        h(ExitCode);
        return;
    }
    std::fflush(nullptr);
    _exit(ExitCode);
}
