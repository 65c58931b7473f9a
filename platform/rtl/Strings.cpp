// String, file-name and file-system helpers of the runtime. Strings are bytes; case mapping
// is ASCII only.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "platform/rtl/SysUtils.h"

namespace {

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}
char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}
bool IsBlank(char c) {
    return static_cast<unsigned char>(c) <= ' ';
}
bool IsDelimiter(char c) {
    return c == '/' || c == '\\';
}

// Index just after the last path delimiter (0 when none).
size_t NameStart(const std::string& s) {
    for (size_t i = s.size(); i-- > 0;)
        if (IsDelimiter(s[i])) return i + 1;
    return 0;
}

// Index of the extension's dot in the name part, npos when none.
size_t ExtStart(const std::string& s) {
    size_t start = NameStart(s);
    size_t dot = s.rfind('.');
    return dot != std::string::npos && dot >= start ? dot : std::string::npos;
}

}  // namespace

void RaiseOSError(int code) {
    throw EOSError("System Error.  Code: " + std::to_string(code) + ".\n" +
                   std::error_code(code, std::generic_category()).message());
}

// Trim: characters up to and including the blank are removed, as the framework does.
std::string Trim(const std::string& s) {
    return TrimLeft(TrimRight(s));
}

std::string TrimLeft(const std::string& s) {
    size_t i = 0;
    while (i < s.size() && IsBlank(s[i])) ++i;
    return s.substr(i);
}

std::string TrimRight(const std::string& s) {
    size_t n = s.size();
    while (n > 0 && IsBlank(s[n - 1])) --n;
    return s.substr(0, n);
}

std::string UpperCase(const std::string& s) {
    std::string r = s;
    std::transform(r.begin(), r.end(), r.begin(), Upper);
    return r;
}

std::string LowerCase(const std::string& s) {
    std::string r = s;
    std::transform(r.begin(), r.end(), r.begin(), Lower);
    return r;
}

int CompareStr(const std::string& a, const std::string& b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        int d = static_cast<unsigned char>(a[i]) - static_cast<unsigned char>(b[i]);
        if (d != 0) return d;
    }
    return static_cast<int>(a.size() > b.size()) - static_cast<int>(a.size() < b.size());
}

int CompareText(const std::string& a, const std::string& b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        int d = static_cast<unsigned char>(Upper(a[i])) - static_cast<unsigned char>(Upper(b[i]));
        if (d != 0) return d;
    }
    return static_cast<int>(a.size() > b.size()) - static_cast<int>(a.size() < b.size());
}

bool SameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && CompareText(a, b) == 0;
}

std::string StringReplace(const std::string& s, const std::string& from, const std::string& to, bool all,
                          bool ignoreCase) {
    if (from.empty()) return s;
    const std::string hay = ignoreCase ? UpperCase(s) : s;
    const std::string needle = ignoreCase ? UpperCase(from) : from;
    std::string out;
    size_t pos = 0;
    while (pos <= s.size()) {
        size_t hit = hay.find(needle, pos);
        if (hit == std::string::npos) break;
        out.append(s, pos, hit - pos);
        out += to;
        pos = hit + from.size();
        if (!all) break;
    }
    out.append(s, pos, std::string::npos);
    return out;
}

std::string QuotedStr(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        out += c;
        if (c == '\'') out += '\'';
    }
    return out + "'";
}

int Pos(const std::string& sub, const std::string& s) {
    if (sub.empty()) return 0;
    size_t p = s.find(sub);
    return p == std::string::npos ? 0 : static_cast<int>(p) + 1;
}

std::string Copy(const std::string& s, int index1, int count) {
    if (index1 < 1) index1 = 1;
    if (count <= 0 || static_cast<size_t>(index1) > s.size()) return "";
    return s.substr(index1 - 1, static_cast<size_t>(count));
}

std::string ExtractFilePath(const std::string& s) {
    return s.substr(0, NameStart(s));
}

std::string ExtractFileName(const std::string& s) {
    return s.substr(NameStart(s));
}

std::string ExtractFileExt(const std::string& s) {
    size_t dot = ExtStart(s);
    return dot == std::string::npos ? "" : s.substr(dot);
}

std::string ChangeFileExt(const std::string& s, const std::string& ext) {
    size_t dot = ExtStart(s);
    return (dot == std::string::npos ? s : s.substr(0, dot)) + ext;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ForceDirectories(const std::string& path) {
    std::string dir = path;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (dir.empty()) return false;
    if (DirectoryExists(dir)) return true;
    size_t slash = dir.rfind('/');
    if (slash != std::string::npos && slash > 0 && !ForceDirectories(dir.substr(0, slash))) return false;
    return ::mkdir(dir.c_str(), 0777) == 0 || (errno == EEXIST && DirectoryExists(dir));
}

bool DeleteFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

bool RenameFile(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // File systems without the no-replace flag: check, then rename.
    struct stat st {};
    if (::lstat(to.c_str(), &st) == 0) return false;
    return ::rename(from.c_str(), to.c_str()) == 0;
}

std::string GetEnvironmentVariable(const std::string& name) {
    const char* v = std::getenv(name.c_str());
    return v ? v : "";
}
