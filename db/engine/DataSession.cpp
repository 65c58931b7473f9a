#include "db/engine/DataSession.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "db/engine/DataDirectory.h"
#include "db/storage/EngineErrors.h"
#include "db/storage/FileLayer.h"
#include "db/storage/Library.h"
#include "platform/os/Files.h"
#include "platform/os/Locale.h"
#include "platform/rtl/ScopeGuard.h"
#include "platform/rtl/SyncObjs.h"
#include "platform/rtl/SysUtils.h"

namespace {

constexpr const char* MemoryDatabase = "MEMORY";

TDataSession* EngineSession = nullptr;
bool Initialized = false;

// The generator of reader bytes, seeded once per process.
std::mutex RandomLock;
std::mt19937& Generator() {
    static std::mt19937 generator(std::random_device{}());
    return generator;
}

std::string WorkingDirectory() {
    std::error_code ec;
    std::string cwd = std::filesystem::current_path(ec).string();
    return ec ? std::string() : cwd;
}

// The identity of a folder: its absolute path with a name that exists only in another
// case found, "." and ".." segments and symbolic links resolved, without a trailing
// separator. Two spellings of one folder give the same identity; two folders whose names
// differ only in case stay apart.
std::string FolderIdentity(const std::string& path) {
    std::string resolved = OsResolvePath(path);
    std::error_code ec;
    std::filesystem::path p = std::filesystem::weakly_canonical(std::filesystem::absolute(resolved, ec), ec);
    std::string s = (ec ? std::filesystem::path(resolved).lexically_normal() : p).string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

}  // namespace

TDataSession::TDataSession()
    : FCurrentDirectory(IncludeTrailingBackslash(WorkingDirectory())), FLanguageID(DefaultLanguageID()) {}

TDataSession::~TDataSession() {
    FreeDirectories();
}

std::string TDataSession::GetPrivateDirectory() const {
    return FPrivateDirectory.empty() ? FCurrentDirectory : FPrivateDirectory;
}

void TDataSession::SetPrivateDirectory(const std::string& path) {
    if (Trim(path).empty()) return;
    std::string dir = IncludeTrailingBackslash(path);
    if (dir != FPrivateDirectory) FPrivateDirectory = dir;
}

void TDataSession::AddPassword(const std::string& password) {
    if (password.empty() || HasPassword(password)) return;
    FPasswords.push_back(password.substr(0, 255));
}

void TDataSession::RemovePassword(const std::string& password) {
    auto it = std::find(FPasswords.begin(), FPasswords.end(), password);
    if (it != FPasswords.end()) FPasswords.erase(it);
}

void TDataSession::RemoveAllPasswords() {
    FPasswords.clear();
}

bool TDataSession::HasPassword(const std::string& password) const {
    return std::find(FPasswords.begin(), FPasswords.end(), password) != FPasswords.end();
}

TDataDirectory* TDataSession::OpenDirectory(const std::string& databaseName, const std::string& path) {
    std::string dirPath, universal;
    const bool memory = SameText(Trim(databaseName), MemoryDatabase);
    if (!memory) {
        dirPath = Trim(path).empty() ? FCurrentDirectory : IncludeTrailingBackslash(path);
        GetUniversalName(dirPath, universal);
        if (universal.empty()) universal = dirPath;
    }
    const std::string identity = memory ? std::string() : FolderIdentity(universal);
    for (const auto& d : FDirectories) {
        if (d->IsMemory() != memory) continue;
        if (memory || FolderIdentity(d->UniversalPath()) == identity) {
            d->AddReference();
            return d.get();
        }
    }
    auto& d =
        FDirectories.emplace_back(std::make_unique<TDataDirectory>(this, databaseName, dirPath, universal));
    d->AddReference();
    return d.get();
}

int32_t TDataSession::CloseDirectory(TDataDirectory* directory) {
    auto it = std::find_if(FDirectories.begin(), FDirectories.end(),
                           [directory](const auto& d) { return d.get() == directory; });
    if (it == FDirectories.end() || directory->ReferenceCount() < 1) return -ZIZIVU_OSACCESSDENIED;
    directory->ReleaseReference();
    if (directory->ReferenceCount() == 0) {
        // Out of the list before it goes.
        std::unique_ptr<TDataDirectory> freed = std::move(*it);
        FDirectories.erase(it);
    }
    return 0;
}

void TDataSession::FreeDirectories() {
    while (!FDirectories.empty()) {
        std::unique_ptr<TDataDirectory> d = std::move(FDirectories.back());
        FDirectories.pop_back();
    }
}

void InitializeEngine() {
    EnterEngineLock();
    TScopeGuard leave([] { LeaveEngineLock(); });
    if (!Initialized) {
        InitializeLibrary();
        EngineSession = new TDataSession();
        Initialized = true;
    }
}

void FinalizeEngine() {
    EnterEngineLock();
    if (Initialized) {
        delete EngineSession;
        EngineSession = nullptr;
        FinalizeLibrary();
        Initialized = false;
    }
    LeaveEngineLock();
}

bool EngineInitialized() {
    return Initialized;
}

TDataSession* GetEngineSession() {
    if (!Initialized || !EngineSession) RaiseEngineError(ZIZIVU_NOTINITIALIZED);
    return EngineSession;
}

void SetEngineSession(TDataSession* session) {
    EngineSession = session;
}

void CreateEngineSession(TDataSession*& session) {
    session = new TDataSession();
}

void FreeEngineSession(TDataSession*& session) {
    delete session;
    session = nullptr;
}

uint32_t EngineRandom(uint32_t range) {
    if (range == 0) return 0;
    std::lock_guard<std::mutex> guard(RandomLock);
    return std::uniform_int_distribution<uint32_t>(0, range - 1)(Generator());
}

uint16_t DefaultLanguageID() {
    // The system has no double-byte character support to switch the language off.
    return UserDefaultLanguageID();
}
