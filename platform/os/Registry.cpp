// The settings store: one text file per root key, re-read on every operation and
// replaced atomically on every change.
//
// File layout (LF line endings):
//   ; comment
//   [Software\Maker\Program]          a key; control bytes and '%' in names as %HH
//   "Name"="text"                     a string value; \\ \" \r \n \t and \xHH escapes
//   "Count"=dword:0000002a            an integer value
// A key with no values is still listed, so empty keys persist. Values of the root key
// itself sit under "[]".
#include "platform/os/Registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>

#include "platform/os/Files.h"

namespace {

// ---------------------------------------------------------------------------------
// Names

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

std::string Lower(const std::string& s) {
    std::string r(s);
    for (char& c : r) c = LowerAscii(c);
    return r;
}

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    return true;
}

// Splits a key path at '\\'; leading, trailing and doubled separators are ignored.
std::vector<std::string> SplitPath(const std::string& path) {
    std::vector<std::string> parts;
    std::string cur;
    for (char c : path) {
        if (c == '\\') {
            if (!cur.empty()) parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) parts.push_back(cur);
    return parts;
}

std::string JoinPath(const std::vector<std::string>& parts, size_t count) {
    std::string r;
    for (size_t i = 0; i < count && i < parts.size(); ++i) {
        if (i) r += '\\';
        r += parts[i];
    }
    return r;
}

std::string NormalizePath(const std::string& path) {
    auto parts = SplitPath(path);
    return JoinPath(parts, parts.size());
}

// Orders lower-cased paths so that a key is followed directly by its subkeys.
struct PathLess {
    bool operator()(const std::string& a, const std::string& b) const {
        size_t n = std::min(a.size(), b.size());
        for (size_t i = 0; i < n; ++i) {
            int ca = a[i] == '\\' ? -1 : static_cast<unsigned char>(a[i]);
            int cb = b[i] == '\\' ? -1 : static_cast<unsigned char>(b[i]);
            if (ca != cb) return ca < cb;
        }
        return a.size() < b.size();
    }
};

// ---------------------------------------------------------------------------------
// In-memory form of one file

struct RegValue {
    std::string name;
    bool isDword = false;
    std::string text;
    uint32_t dword = 0;
};

struct RegKey {
    std::string path;  // as first spelled
    std::vector<RegValue> values;

    RegValue* Find(const std::string& name) {
        for (auto& v : values)
            if (SameName(v.name, name)) return &v;
        return nullptr;
    }
};

struct RegData {
    // Keyed by the lower-cased normalised path; "" is the root key, which always exists.
    std::map<std::string, RegKey, PathLess> keys;

    RegKey* Find(const std::string& normPath) {
        if (normPath.empty()) return &Root();
        auto it = keys.find(Lower(normPath));
        return it == keys.end() ? nullptr : &it->second;
    }
    RegKey& Root() { return keys[""]; }

    // Creates the key and its missing parents; existing parents keep their spelling.
    // Returns the key and whether anything was added.
    std::pair<RegKey*, bool> Create(const std::string& normPath) {
        auto parts = SplitPath(normPath);
        bool added = false;
        std::string spelled;
        RegKey* key = &Root();
        for (size_t i = 0; i < parts.size(); ++i) {
            std::string candidate = spelled.empty() ? parts[i] : spelled + '\\' + parts[i];
            std::string low = Lower(candidate);
            auto it = keys.find(low);
            if (it == keys.end()) {
                it = keys.emplace(low, RegKey{candidate, {}}).first;
                added = true;
            }
            key = &it->second;
            spelled = key->path;
        }
        return {key, added};
    }

    // Removes the key and all its subkeys; returns whether the key existed.
    bool Delete(const std::string& normPath) {
        std::string low = Lower(normPath);
        if (low.empty()) return false;  // the root key cannot go
        if (keys.erase(low) == 0) return false;
        std::string prefix = low + '\\';
        for (auto it = keys.begin(); it != keys.end();) {
            if (it->first.compare(0, prefix.size(), prefix) == 0)
                it = keys.erase(it);
            else
                ++it;
        }
        return true;
    }

    std::vector<std::string> SubkeyNames(const std::string& normPath) {
        std::vector<std::string> out;
        std::string low = Lower(normPath);
        std::string prefix = low.empty() ? "" : low + '\\';
        for (auto& [k, key] : keys) {
            if (k.empty() || k.size() <= prefix.size()) continue;
            if (k.compare(0, prefix.size(), prefix) != 0) continue;
            if (k.find('\\', prefix.size()) != std::string::npos) continue;
            out.push_back(key.path.substr(prefix.size()));
        }
        return out;
    }
};

// ---------------------------------------------------------------------------------
// Text form

const char kHex[] = "0123456789abcdef";

std::string EscapeQuoted(const std::string& s) {
    std::string r = "\"";
    for (char ch : s) {
        unsigned char c = static_cast<unsigned char>(ch);
        switch (c) {
            case '\\':
                r += "\\\\";
                break;
            case '"':
                r += "\\\"";
                break;
            case '\r':
                r += "\\r";
                break;
            case '\n':
                r += "\\n";
                break;
            case '\t':
                r += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    r += "\\x";
                    r += kHex[c >> 4];
                    r += kHex[c & 15];
                } else {
                    r += ch;
                }
        }
    }
    return r + "\"";
}

std::string EscapeKeyPath(const std::string& s) {
    std::string r;
    for (char ch : s) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7f || c == '%') {
            r += '%';
            r += kHex[c >> 4];
            r += kHex[c & 15];
        } else {
            r += ch;
        }
    }
    return r;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string Serialize(RegData& data, const std::string& rootName) {
    std::string out = "; " + rootName + " settings\n";
    for (auto& [low, key] : data.keys) {
        if (low.empty() && key.values.empty()) continue;
        out += "\n[" + EscapeKeyPath(key.path) + "]\n";
        for (auto& v : key.values) {
            out += EscapeQuoted(v.name) + "=";
            if (v.isDword) {
                char buf[16];
                for (int i = 7; i >= 0; --i) buf[7 - i] = kHex[(v.dword >> (i * 4)) & 15];
                out += "dword:" + std::string(buf, 8);
            } else {
                out += EscapeQuoted(v.text);
            }
            out += '\n';
        }
    }
    return out;
}

class Parser {
  public:
    Parser(const std::string& text, const std::string& fileName) : FText(text), FFileName(fileName) {}

    RegData Parse() {
        RegData data;
        RegKey* current = nullptr;
        size_t pos = 0;
        while (pos < FText.size()) {
            ++FLine;
            size_t eol = FText.find('\n', pos);
            if (eol == std::string::npos) eol = FText.size();
            std::string line = FText.substr(pos, eol - pos);
            pos = eol + 1;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            size_t first = line.find_first_not_of(" \t");
            if (first == std::string::npos || line[first] == ';' || line[first] == '#') continue;
            size_t last = line.find_last_not_of(" \t");
            line = line.substr(first, last - first + 1);
            if (line[0] == '[') {
                if (line.back() != ']') Fail();
                current = data.Create(NormalizePath(UnescapeKeyPath(line.substr(1, line.size() - 2)))).first;
            } else if (line[0] == '"') {
                if (!current) Fail();
                ParseValue(line, *current);
            } else {
                Fail();
            }
        }
        return data;
    }

  private:
    [[noreturn]] void Fail() {
        throw ERegistryException("Settings file \"" + FFileName + "\" is damaged at line " +
                                 std::to_string(FLine));
    }

    std::string UnescapeKeyPath(const std::string& s) {
        std::string r;
        for (size_t i = 0; i < s.size(); ++i) {
            if (s[i] == '%') {
                if (i + 2 >= s.size()) Fail();
                int h = HexDigit(s[i + 1]), l = HexDigit(s[i + 2]);
                if (h < 0 || l < 0) Fail();
                r += static_cast<char>(h * 16 + l);
                i += 2;
            } else {
                r += s[i];
            }
        }
        return r;
    }

    // Reads a quoted string starting at s[i] == '"'; leaves i after the closing quote.
    std::string ReadQuoted(const std::string& s, size_t& i) {
        std::string r;
        ++i;
        while (true) {
            if (i >= s.size()) Fail();
            char c = s[i++];
            if (c == '"') return r;
            if (c != '\\') {
                r += c;
                continue;
            }
            if (i >= s.size()) Fail();
            char e = s[i++];
            switch (e) {
                case '\\':
                    r += '\\';
                    break;
                case '"':
                    r += '"';
                    break;
                case 'r':
                    r += '\r';
                    break;
                case 'n':
                    r += '\n';
                    break;
                case 't':
                    r += '\t';
                    break;
                case 'x': {
                    if (i + 1 >= s.size()) Fail();
                    int h = HexDigit(s[i]), l = HexDigit(s[i + 1]);
                    if (h < 0 || l < 0) Fail();
                    r += static_cast<char>(h * 16 + l);
                    i += 2;
                    break;
                }
                default:
                    Fail();
            }
        }
    }

    void ParseValue(const std::string& line, RegKey& key) {
        size_t i = 0;
        RegValue v;
        v.name = ReadQuoted(line, i);
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i >= line.size() || line[i] != '=') Fail();
        ++i;
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i < line.size() && line[i] == '"') {
            v.text = ReadQuoted(line, i);
        } else if (line.compare(i, 6, "dword:") == 0) {
            i += 6;
            size_t start = i;
            uint32_t n = 0;
            while (i < line.size() && HexDigit(line[i]) >= 0) n = n * 16 + HexDigit(line[i++]);
            if (i == start || i - start > 8) Fail();
            v.isDword = true;
            v.dword = n;
        } else {
            Fail();
        }
        if (i != line.size()) Fail();
        if (RegValue* old = key.Find(v.name)) {
            std::string spelled = old->name;
            *old = v;
            old->name = spelled;
        } else {
            key.values.push_back(v);
        }
    }

    const std::string& FText;
    std::string FFileName;
    int FLine = 0;
};

// ---------------------------------------------------------------------------------
// Files

std::string RootName(HKEY root) {
    switch (root) {
        case HKEY_CLASSES_ROOT:
            return "HKEY_CLASSES_ROOT";
        case HKEY_CURRENT_USER:
            return "HKEY_CURRENT_USER";
        case HKEY_LOCAL_MACHINE:
            return "HKEY_LOCAL_MACHINE";
        case 0x80000003u:
            return "HKEY_USERS";
        case 0x80000005u:
            return "HKEY_CURRENT_CONFIG";
        default: {
            char buf[32];
            snprintf(buf, sizeof buf, "HKEY_%08llX", static_cast<unsigned long long>(root));
            return buf;
        }
    }
}

std::string ConfigDir() {
    const char* dir = std::getenv("ZELTO_CONFIG_DIR");
    if (dir && *dir) return dir;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg) return std::string(xdg) + "/zelto";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : ".") + "/.config/zelto";
}

std::string ErrnoText(const std::string& what, const std::string& file) {
    return what + " \"" + file + "\": " + std::strerror(errno);
}

// Owns a descriptor for the length of a scope.
struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

RegData ReadStore(HKEY root) {
    std::string file = TRegistry::StoreFileFor(root);
    Fd f(OsOpenFileOnly(file, O_RDONLY));
    if (f.fd < 0) {
        if (errno == ENOENT) return RegData{};
        throw ERegistryException(ErrnoText("Cannot open settings file", file));
    }
    std::string text;
    char buf[8192];
    while (true) {
        ssize_t n = ::read(f.fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw ERegistryException(ErrnoText("Cannot read settings file", file));
        }
        if (n == 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    return Parser(text, file).Parse();
}

void WriteAll(int fd, const std::string& s, const std::string& file) {
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = ::write(fd, s.data() + done, s.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw ERegistryException(ErrnoText("Cannot write settings file", file));
        }
        done += static_cast<size_t>(n);
    }
}

// Replaces the file: temporary file in the same directory, fsync, rename, fsync of
// the directory. The caller holds the lock.
void ReplaceStore(HKEY root, RegData& data) {
    std::string file = TRegistry::StoreFileFor(root);
    std::string dir = std::filesystem::path(file).parent_path().string();
    std::string tmpl = file + ".tmpXXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) throw ERegistryException(ErrnoText("Cannot create temporary file for", file));
    Fd tmp(fd);
    std::string tmpName(name.data());
    try {
        WriteAll(tmp.fd, Serialize(data, RootName(root)), tmpName);
        if (::fsync(tmp.fd) != 0) throw ERegistryException(ErrnoText("Cannot flush", tmpName));
        if (::rename(tmpName.c_str(), file.c_str()) != 0)
            throw ERegistryException(ErrnoText("Cannot replace settings file", file));
    } catch (...) {
        ::unlink(tmpName.c_str());
        throw;
    }
    Fd d(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d.fd >= 0) ::fsync(d.fd);
}

// Read-modify-write under an exclusive lock on "<file>.lock". `change` returns whether
// it changed anything; an unchanged store is not rewritten.
template <class F>
void ModifyStore(HKEY root, F&& change) {
    std::string file = TRegistry::StoreFileFor(root);
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(file).parent_path(), ec);
    if (ec) throw ERegistryException("Cannot create directory for \"" + file + "\": " + ec.message());
    std::string lockName = file + ".lock";
    Fd lock(::open(lockName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (lock.fd < 0) throw ERegistryException(ErrnoText("Cannot open lock file", lockName));
    while (::flock(lock.fd, LOCK_EX) != 0) {
        if (errno != EINTR) throw ERegistryException(ErrnoText("Cannot lock", lockName));
    }
    // The lock goes with the descriptor.
    RegData data = ReadStore(root);
    if (change(data)) ReplaceStore(root, data);
}

}  // namespace

// ---------------------------------------------------------------------------------
// TRegistry

TRegistry::TRegistry() = default;

TRegistry::~TRegistry() {
    CloseKey();
}

void TRegistry::SetRootKey(HKEY k) {
    if (k == FRootKey) return;
    CloseKey();
    FRootKey = k;
}

std::string TRegistry::StoreFileFor(HKEY root) {
    return ConfigDir() + "/" + RootName(root) + ".reg";
}

bool TRegistry::OpenKey(const std::string& key, bool canCreate) {
    std::string path = NormalizePath(key);
    // A damaged file raises; a key that cannot be created gives false, as the
    // registry class reports it.
    RegData data = ReadStore(FRootKey);
    RegKey* found = data.Find(path);
    if (found) {
        path = found->path;
    } else if (!canCreate) {
        return false;
    } else {
        try {
            std::string spelled;
            ModifyStore(FRootKey, [&](RegData& d) {
                auto [k, added] = d.Create(path);
                spelled = k->path;
                return added;
            });
            path = spelled;
        } catch (const ERegistryException&) {
            return false;
        }
    }
    CloseKey();
    FCurrentPath = path;
    FOpen = true;
    FReadOnly = false;
    return true;
}

bool TRegistry::OpenKeyReadOnly(const std::string& key) {
    std::string path = NormalizePath(key);
    RegData data = ReadStore(FRootKey);
    RegKey* found = data.Find(path);
    if (!found) return false;
    path = found->path;
    CloseKey();
    FCurrentPath = path;
    FOpen = true;
    FReadOnly = true;
    return true;
}

void TRegistry::CloseKey() {
    FOpen = false;
    FReadOnly = false;
    FCurrentPath.clear();
}

bool TRegistry::KeyExists(const std::string& key) {
    RegData data = ReadStore(FRootKey);
    return data.Find(NormalizePath(key)) != nullptr;
}

bool TRegistry::CreateKey(const std::string& key) {
    std::string path = NormalizePath(key);
    try {
        ModifyStore(FRootKey, [&](RegData& d) { return d.Create(path).second; });
    } catch (const ERegistryException& e) {
        throw ERegistryException("Failed to create key " + key + ": " + e.Message());
    }
    return true;
}

bool TRegistry::DeleteKey(const std::string& key) {
    std::string path = NormalizePath(key);
    if (path.empty()) return false;
    bool existed = false;
    ModifyStore(FRootKey, [&](RegData& d) {
        existed = d.Delete(path);
        return existed;
    });
    return existed;
}

bool TRegistry::ValueExists(const std::string& name) {
    if (!FOpen) return false;
    RegData data = ReadStore(FRootKey);
    RegKey* key = data.Find(FCurrentPath);
    return key && key->Find(name);
}

std::string TRegistry::ReadString(const std::string& name) {
    if (!FOpen) return "";
    RegData data = ReadStore(FRootKey);
    RegKey* key = data.Find(FCurrentPath);
    RegValue* v = key ? key->Find(name) : nullptr;
    if (!v) return "";
    if (v->isDword) throw ERegistryException("Invalid data type for '" + name + "'");
    return v->text;
}

namespace {

// Shared by the write operations: the current key must be open for writing and still
// exist (a key deleted under an open handle refuses writes, as the registry does).
template <class F>
void WriteValue(HKEY root, bool open, bool readOnly, const std::string& path, const std::string& name,
                F&& assign) {
    std::string failed = "Failed to set data for '" + name + "'";
    if (!open || readOnly) throw ERegistryException(failed);
    bool missingKey = false;
    try {
        ModifyStore(root, [&](RegData& d) {
            RegKey* key = d.Find(path);
            if (!key) {
                missingKey = true;
                return false;
            }
            RegValue* v = key->Find(name);
            if (!v) {
                key->values.push_back(RegValue{name, false, "", 0});
                assign(key->values.back());
                return true;
            }
            RegValue before = *v;
            assign(*v);
            return before.isDword != v->isDword || before.text != v->text || before.dword != v->dword;
        });
    } catch (const ERegistryException& e) {
        throw ERegistryException(failed + ": " + e.Message());
    }
    if (missingKey) throw ERegistryException(failed);
}

}  // namespace

void TRegistry::WriteString(const std::string& name, const std::string& value) {
    WriteValue(FRootKey, FOpen, FReadOnly, FCurrentPath, name, [&](RegValue& v) {
        v.isDword = false;
        v.dword = 0;
        v.text = value;
    });
}

int32_t TRegistry::ReadInteger(const std::string& name) {
    RegValue* v = nullptr;
    RegData data;
    if (FOpen) {
        data = ReadStore(FRootKey);
        RegKey* key = data.Find(FCurrentPath);
        v = key ? key->Find(name) : nullptr;
    }
    if (!v) throw ERegistryException("Failed to get data for '" + name + "'");
    if (!v->isDword) throw ERegistryException("Invalid data type for '" + name + "'");
    return static_cast<int32_t>(v->dword);
}

void TRegistry::WriteInteger(const std::string& name, int32_t value) {
    WriteValue(FRootKey, FOpen, FReadOnly, FCurrentPath, name, [&](RegValue& v) {
        v.isDword = true;
        v.text.clear();
        v.dword = static_cast<uint32_t>(value);
    });
}

bool TRegistry::ReadBool(const std::string& name) {
    return ReadInteger(name) != 0;
}

void TRegistry::WriteBool(const std::string& name, bool value) {
    WriteInteger(name, value ? 1 : 0);
}

bool TRegistry::DeleteValue(const std::string& name) {
    if (!FOpen || FReadOnly) return false;
    bool deleted = false;
    ModifyStore(FRootKey, [&](RegData& d) {
        RegKey* key = d.Find(FCurrentPath);
        if (!key) return false;
        for (auto it = key->values.begin(); it != key->values.end(); ++it) {
            if (SameName(it->name, name)) {
                key->values.erase(it);
                deleted = true;
                return true;
            }
        }
        return false;
    });
    return deleted;
}

void TRegistry::GetValueNames(TStrings& out) {
    out.Clear();
    if (!FOpen) return;
    RegData data = ReadStore(FRootKey);
    RegKey* key = data.Find(FCurrentPath);
    if (!key) return;
    for (auto& v : key->values) out.Add(v.name);
}

void TRegistry::GetKeyNames(TStrings& out) {
    out.Clear();
    if (!FOpen) return;
    RegData data = ReadStore(FRootKey);
    if (!data.Find(FCurrentPath)) return;
    for (auto& n : data.SubkeyNames(FCurrentPath)) out.Add(n);
}
