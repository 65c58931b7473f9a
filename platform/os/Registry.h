#pragma once
// The settings store in place of the registry: one human-readable file per root key
// under the user's configuration directory ($ZELTO_CONFIG_DIR, else
// $XDG_CONFIG_HOME/zelto, else ~/.config/zelto). Key and value names are
// case-insensitive and case-preserving. Every write re-reads the file, changes it and
// replaces it atomically (temporary file + rename) under a file lock, so two processes
// never lose each other's values.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/rtl/Classes.h"
#include "platform/rtl/SysUtils.h"

using HKEY = uintptr_t;
constexpr HKEY HKEY_CLASSES_ROOT = 0x80000000u;
constexpr HKEY HKEY_CURRENT_USER = 0x80000001u;
constexpr HKEY HKEY_LOCAL_MACHINE = 0x80000002u;

class ERegistryException : public Exception {
public:
    using Exception::Exception;
};

class TRegistry : public TObject {
public:
    TRegistry();
    ~TRegistry() override;
    HKEY RootKey() const { return FRootKey; }
    void SetRootKey(HKEY k);
    // Key paths use '\\'; a leading '\\' is optional (keys are always from the root here).
    bool OpenKey(const std::string& key, bool canCreate);
    bool OpenKeyReadOnly(const std::string& key);
    void CloseKey();
    std::string CurrentPath() const { return FCurrentPath; }
    bool HasCurrentKey() const { return FOpen; }
    bool KeyExists(const std::string& key);
    bool CreateKey(const std::string& key);
    bool DeleteKey(const std::string& key);  // recursive
    bool ValueExists(const std::string& name);
    // Missing value: empty string (as the registry class does).
    std::string ReadString(const std::string& name);
    // Raise ERegistryException ("Failed to set data for '%s'") when no key is open.
    void WriteString(const std::string& name, const std::string& value);
    int32_t ReadInteger(const std::string& name);  // ERegistryException "Invalid data type for '%s'"
    void WriteInteger(const std::string& name, int32_t value);
    bool ReadBool(const std::string& name);
    void WriteBool(const std::string& name, bool value);
    bool DeleteValue(const std::string& name);
    void GetValueNames(TStrings& out);
    void GetKeyNames(TStrings& out);

    // The file that holds a root key (for tests and diagnostics).
    static std::string StoreFileFor(HKEY root);

private:
    HKEY FRootKey = HKEY_CURRENT_USER;
    std::string FCurrentPath;
    bool FOpen = false;
    bool FReadOnly = false;
};
