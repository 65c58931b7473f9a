#pragma once
// Fault injection under the database's file layer. TFaultyFile<TBase> stands where the file
// list puts a TMemoryFile or TPhysicalFile and can make the file full at a size, write
// short, fail reads, writes, flushes or renames with an I/O error, and simulate a crash that drops
// what was written since the last flush. TFaultInjector installs a factory on a file list,
// so that every file opened or created by name afterwards is such a file, with the faults
// planned for its name.
//
// A crash restores the content a file had at its last flush (or at its first open) and
// makes every later transfer and flush fail until the file's last handle is closed. Closing
// the last handle counts as a flush: a disk object does not outlive it.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "db/storage/EngineErrors.h"
#include "db/storage/FileLayer.h"
#include "platform/rtl/SysUtils.h"

struct TFileFault {
    // RenameRaises: the file is renamed, then the rename raises 11016, as it does when the
    // heap cannot hold the new name.
    enum TKind {
        None,
        FullAtSize,
        ShortWrites,
        ReadError,
        WriteError,
        FlushError,
        RenameError,
        RenameRaises
    };
    TKind Kind = None;
    // FullAtSize: the size the file cannot grow past. Otherwise: the calls of the fault's
    // kind (reads, writes, flushes or renames) that succeed before the fault starts.
    int64_t After = 0;
    // Calls that fail (or write short) once the fault has started; 0 for every later one.
    int32_t Times = 0;
};

class TFaultInjector;

// What a crash needs of a faulty file, whatever its base.
class TCrashableFile {
public:
    virtual ~TCrashableFile() = default;
    virtual void Crash() = 0;
    virtual void Detach() = 0;
};

class TFaultInjector {
public:
    explicit TFaultInjector(TFileList* list = GlobalFileList()) : FList(list) {
        FList->SetFileFactory(
            [this](const std::string& name, bool inMemory) { return Make(name, inMemory); });
    }
    TFaultInjector(const TFaultInjector&) = delete;
    TFaultInjector& operator=(const TFaultInjector&) = delete;
    // The plain factory comes back; files already made keep their faults.
    ~TFaultInjector() {
        FList->SetFileFactory(nullptr);
        std::lock_guard<std::mutex> guard(FLock);
        for (TCrashableFile* f : FLive) f->Detach();
    }

    // Faults of files made from now on whose name ends with the suffix, ignoring case
    // ("" for every file). The last matching plan wins.
    void Plan(const std::string& nameSuffix, TFileFault fault) {
        std::lock_guard<std::mutex> guard(FLock);
        FPlans.emplace_back(UpperCase(nameSuffix), fault);
    }
    // Every live faulty file drops what was written since its last flush.
    void Crash() {
        std::lock_guard<std::mutex> guard(FLock);
        for (TCrashableFile* f : FLive) f->Crash();
    }
    // Called with a file's name as a file of the list is about to be renamed: what another
    // user could do at that moment.
    std::function<void(const std::string& name)> BeforeRename;
    int32_t LiveFiles() {
        std::lock_guard<std::mutex> guard(FLock);
        return static_cast<int32_t>(FLive.size());
    }

    void Forget(TCrashableFile* f) {
        std::lock_guard<std::mutex> guard(FLock);
        FLive.erase(f);
    }

private:
    TAbstractFile* Make(const std::string& name, bool inMemory);

    TFileList* FList;
    std::mutex FLock;
    std::vector<std::pair<std::string, TFileFault>> FPlans;
    std::set<TCrashableFile*> FLive;
};

template <class TBase>
class TFaultyFile : public TBase, public TCrashableFile {
public:
    explicit TFaultyFile(TFileFault fault = {}, TFaultInjector* injector = nullptr)
        : FFault(fault), FInjector(injector) {}
    ~TFaultyFile() override {
        if (FInjector) FInjector->Forget(this);
    }

    // A new fault; the call counts start again.
    void SetFault(TFileFault fault) {
        Guard guard(this);
        FFault = fault;
        FReads = FWrites = FFlushes = FRenames = 0;
    }
    bool Crashed() const { return FCrashed; }

    int32_t Read(int32_t id, void* buffer, int32_t count) override {
        Guard guard(this);
        if (FCrashed) return -1;
        if (FFault.Kind == TFileFault::ReadError && Hit(FReads++)) return -1;
        return TBase::Read(id, buffer, count);
    }

    int32_t Write(int32_t id, const void* buffer, int32_t count) override {
        Guard guard(this);
        if (FCrashed) return -1;
        if (!FImageTaken) TakeImage(id);
        int64_t n = count;
        if (count > 0) {
            const int32_t call = FWrites++;
            if (FFault.Kind == TFileFault::WriteError && Hit(call)) return -1;
            if (FFault.Kind == TFileFault::ShortWrites && Hit(call)) n = count / 2;
            if (FFault.Kind == TFileFault::FullAtSize) {
                int64_t room = FFault.After - TBase::Seek(id, 0, 1);
                if (room <= 0) return -1;
                n = std::min<int64_t>(n, room);
            }
            if (n == 0) return 0;
        }
        return TBase::Write(id, buffer, static_cast<int32_t>(n));
    }

    bool Flush() override {
        Guard guard(this);
        if (FCrashed) return false;
        if (FFault.Kind == TFileFault::FlushError && Hit(FFlushes++)) return false;
        if (!TBase::Flush()) return false;
        DropImage();
        return true;
    }

    // A file in the file list (a memory file, or a disk file while open) is renamed here.
    int32_t RenameFile(const std::string& newName) override {
        if (FInjector && FInjector->BeforeRename) FInjector->BeforeRename(this->FileName());
        Guard guard(this);
        const bool hit =
            (FFault.Kind == TFileFault::RenameError || FFault.Kind == TFileFault::RenameRaises) &&
            Hit(FRenames++);
        if (hit && FFault.Kind == TFileFault::RenameError) return -int32_t(ZIZIVU_OSUNKNOWN);
        const int32_t r = TBase::RenameFile(newName);
        if (hit && r == 0) RaiseEngineError(ZIZIVU_OSNOMEMORY);
        return r;
    }

    int32_t CloseFile(int32_t id) override {
        Guard guard(this);
        int32_t result = TBase::CloseFile(id);
        if (result == 0 && this->OpenCount() == 0) {
            DropImage();
            FCrashed = false;
        }
        return result;
    }

    void Crash() override {
        Guard guard(this);
        if (FImageTaken && this->OpenCount() > 0) {
            int32_t id = FImageId;
            if (this->FindHandle(id) < 0)
                id = static_cast<typename TBase::THandleEntry*>(this->FHandles.Get(0))->Id;
            TBase::Seek(id, 0, 0);
            if (!FImage.empty()) TBase::Write(id, FImage.data(), static_cast<int32_t>(FImage.size()));
            TBase::Seek(id, static_cast<int32_t>(FImage.size()), 0);
            TBase::Write(id, nullptr, 0);
            DropImage();
        }
        if (this->OpenCount() > 0) FCrashed = true;
    }

    void Detach() override { FInjector = nullptr; }

private:
    struct Guard {
        explicit Guard(TAbstractFile* f) : F(f) { F->Lock(); }
        ~Guard() { F->Unlock(); }
        TAbstractFile* F;
    };

    bool Hit(int32_t call) const {
        return call >= FFault.After && (FFault.Times == 0 || call < FFault.After + FFault.Times);
    }

    // The content as it stands before the first write since the last flush: what a crash
    // comes back to. The handle's position is kept.
    void TakeImage(int32_t id) {
        int32_t position = TBase::Seek(id, 0, 1);
        int32_t size = TBase::Seek(id, 0, 2);
        FImage.assign(static_cast<size_t>(std::max(size, 0)), '\0');
        TBase::Seek(id, 0, 0);
        int32_t n = FImage.empty() ? 0 : TBase::Read(id, FImage.data(), size);
        FImage.resize(static_cast<size_t>(std::max(n, 0)));
        TBase::Seek(id, position, 0);
        FImageTaken = true;
        FImageId = id;
    }
    void DropImage() {
        FImage.clear();
        FImageTaken = false;
    }

    TFileFault FFault;
    TFaultInjector* FInjector;
    int32_t FReads = 0, FWrites = 0, FFlushes = 0, FRenames = 0;
    bool FCrashed = false;
    bool FImageTaken = false;
    int32_t FImageId = 0;
    std::string FImage;
};

inline TAbstractFile* TFaultInjector::Make(const std::string& name, bool inMemory) {
    TFileFault fault;
    {
        std::lock_guard<std::mutex> guard(FLock);
        const std::string upper = UpperCase(name);
        for (const auto& [suffix, planned] : FPlans)
            if (upper.size() >= suffix.size() &&
                upper.compare(upper.size() - suffix.size(), suffix.size(), suffix) == 0)
                fault = planned;
    }
    TAbstractFile* file;
    TCrashableFile* crashable;
    if (inMemory) {
        auto* f = new TFaultyFile<TMemoryFile>(fault, this);
        file = f;
        crashable = f;
    } else {
        auto* f = new TFaultyFile<TPhysicalFile>(fault, this);
        file = f;
        crashable = f;
    }
    std::lock_guard<std::mutex> guard(FLock);
    FLive.insert(crashable);
    return file;
}
