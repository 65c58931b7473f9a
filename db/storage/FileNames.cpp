// File-name helpers of the file layer and the mapping of operating-system errors to
// engine codes.
#include <cerrno>

#include "db/storage/EngineErrors.h"
#include "db/storage/FileLayer.h"
#include "platform/os/Files.h"
#include "platform/rtl/SysUtils.h"

namespace {

inline bool IsPathDelimiter(char c) {
    return c == '\\' || c == '/';
}

size_t LastDelimiter(const std::string& name) {
    return name.find_last_of("\\/");
}

// Position of the extension's dot, npos when the last dot lies in a directory part.
size_t ExtensionDot(const std::string& name) {
    size_t dot = name.rfind('.');
    if (dot == std::string::npos) return dot;
    size_t delimiter = LastDelimiter(name);
    return delimiter != std::string::npos && dot < delimiter ? std::string::npos : dot;
}

}  // namespace

std::string RemoveFileExt(const std::string& name) {
    size_t dot = ExtensionDot(name);
    return dot == std::string::npos ? name : name.substr(0, dot);
}

std::string ForceFileExt(const std::string& name, const std::string& extension) {
    std::string trimmed = Trim(name);
    size_t dot = ExtensionDot(trimmed);
    std::string current = dot == std::string::npos ? "" : trimmed.substr(dot);
    if (SameText(current, extension)) return trimmed;
    return RemoveFileExt(trimmed) + extension;
}

std::string IncludeTrailingBackslash(const std::string& name) {
    std::string trimmed = Trim(name);
    if (!trimmed.empty() && !IsPathDelimiter(trimmed.back())) trimmed += '\\';
    return trimmed;
}

bool HasPathChars(const std::string& name) {
    return name.empty() || name.find_first_of(":\\/") != std::string::npos;
}

std::string ExtractNameNoExt(const std::string& name) {
    size_t delimiter = LastDelimiter(name);
    return RemoveFileExt(delimiter == std::string::npos ? name : name.substr(delimiter + 1));
}

void GetUniversalName(const std::string& /*path*/, std::string& name) {
    name.clear();
}

uint16_t MapErrnoToEngineCode(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return ZIZIVU_OSPATHNOTFOUND;
        case EMFILE:
        case ENFILE:
            return ZIZIVU_OSTOOMANYFILES;
        case EACCES:
        case EPERM:
        case EROFS:
        case EBUSY:
        case EWOULDBLOCK:
            return ZIZIVU_OSACCESSDENIED;
        case EBADF:
            return ZIZIVU_OSBADHANDLE;
        case ENOMEM:
            return ZIZIVU_OSNOMEMORY;
        case ENODEV:
        case ENXIO:
            return ZIZIVU_OSBADDRIVE;
        case EXDEV:
            return ZIZIVU_OSNOTSAMEDEVICE;
        default:
            return ZIZIVU_OSUNKNOWN;
    }
}

uint16_t MapOSError() {
    return MapErrnoToEngineCode(OsLastError());
}
