// The process-wide registry of shared file objects: sharing and exclusivity, creation,
// deletion, renaming, copies, and unique scratch names.
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>

#include "db/storage/EngineErrors.h"
#include "db/storage/FileLayer.h"
#include "db/storage/LibraryMemory.h"
#include "platform/os/Files.h"
#include "platform/rtl/SysUtils.h"

namespace {

using Guard = std::lock_guard<TCriticalSection>;

TFileList* GFileList = nullptr;

inline bool IsPathDelimiter(char c) {
    return c == '\\' || c == '/';
}

// Memory file names match with surrounding blanks trimmed, ignoring case; either
// delimiter matches the other.
bool SameFileName(const std::string& a, const std::string& b) {
    std::string x = Trim(a), y = Trim(b);
    if (x.size() != y.size()) return false;
    for (size_t i = 0; i < x.size(); ++i) {
        if (IsPathDelimiter(x[i]) && IsPathDelimiter(y[i])) continue;
        if (UpperCase(std::string(1, x[i])) != UpperCase(std::string(1, y[i]))) return false;
    }
    return true;
}

// A name longer than a file name may be is refused, not cut: cut, it names another file
// (a folder's path cut in its middle, or three files' extensions cut to one name).
bool TooLong(const std::string& name) {
    return Trim(name).size() > MaxFileNameLength;
}

}  // namespace

TFileList::~TFileList() {
    for (int32_t i = 0; i < FFiles.Count(); ++i) delete FFiles.Get(i);
    FFiles.Clear();
}

int32_t TFileList::Count() {
    Guard guard(FLock);
    return FFiles.Count();
}

// Disk objects match by the file their names reach, so two existing files whose names
// differ only in case never share an object, while a name that exists only in another
// case finds the object of that file.
// Names are resolved at each look-up: a closed object left by a failed open may come to
// reach a file created since under another case, so an open object is preferred.
TAbstractFile* TFileList::Find(const std::string& name, bool inMemory) {
    std::string resolved;
    TAbstractFile* closed = nullptr;
    for (int32_t i = 0; i < FFiles.Count(); ++i) {
        TAbstractFile* file = FFiles.Get(i);
        if (file->IsMemoryFile() != inMemory) continue;
        if (inMemory) {
            if (SameFileName(file->FileName(), name)) return file;
            continue;
        }
        if (resolved.empty()) resolved = ResolveFileName(name);
        if (file->ResolvedName() != resolved) continue;
        if (file->OpenCount() > 0) return file;
        if (!closed) closed = file;
    }
    return closed;
}

void TFileList::SetFileFactory(TFileFactory factory) {
    Guard guard(FLock);
    FFactory = std::move(factory);
}

TAbstractFile* TFileList::Add(const std::string& name, bool inMemory) {
    const std::string trimmed = Trim(name);
    std::unique_ptr<TAbstractFile> made(FFactory ? FFactory(trimmed, inMemory) : nullptr);
    if (!made && inMemory) made = std::make_unique<TMemoryFile>();
    if (!made) made = std::make_unique<TPhysicalFile>();
    FFiles.Add(made.get());
    TAbstractFile* file = made.release();
    file->SetFileName(trimmed);
    return file;
}

void TFileList::Remove(TAbstractFile* file) {
    int32_t index = FFiles.IndexOf(file);
    if (index >= 0) FFiles.Delete(index);
    delete file;
}

int32_t TFileList::OpenFile(const std::string& name, bool inMemory, bool temporary, bool exclusive,
                            bool& readOnly, TAbstractFile*& file) {
    Guard guard(FLock);
    readOnly = false;
    file = nullptr;
    if (TooLong(name)) return -ZIZIVU_OSPATHNOTFOUND;
    TAbstractFile* object = Find(name, inMemory);
    if (object && object->OpenCount() > 0) {
        if (object->Exclusive() || exclusive) return -ZIZIVU_OSACCESSDENIED;
    } else {
        // Memory files exist only once created; a disk object stays listed even when
        // the open below fails.
        if (!object && inMemory) return -ZIZIVU_OSPATHNOTFOUND;
        if (!object) object = Add(name, false);
        object->SetExclusive(exclusive);
        object->SetTemporary(temporary);
    }
    int32_t id = object->OpenFile();
    if (id < 0) return id;
    file = object;
    readOnly = object->ForcedReadOnly();
    return id;
}

int32_t TFileList::CreateFile(const std::string& name, bool inMemory, bool temporary, TAbstractFile*& file) {
    Guard guard(FLock);
    file = nullptr;
    if (TooLong(name)) return -ZIZIVU_OSPATHNOTFOUND;
    if (Trim(ExtractNameNoExt(name)).empty()) return -ZIZIVU_OSPATHNOTFOUND;
    TAbstractFile* object = Find(name, inMemory);
    if (object && object->OpenCount() > 0) return -ZIZIVU_OSACCESSDENIED;
    if (!object) object = Add(name, inMemory);
    object->SetExclusive(true);
    object->SetTemporary(temporary);
    int32_t id = object->CreateFile();
    if (id < 0) return id;
    file = object;
    return id;
}

int32_t TFileList::CloseFile(TAbstractFile* file, bool inMemory, int32_t id) {
    Guard guard(FLock);
    if (!file || FFiles.IndexOf(file) < 0 || file->IsMemoryFile() != inMemory) return -ZIZIVU_OSPATHNOTFOUND;
    if (file->OpenCount() <= 0) return -ZIZIVU_OSPATHNOTFOUND;
    int32_t result = file->CloseFile(id);
    if (result < 0) return result;
    if (file->OpenCount() == 0) {
        if (!inMemory) {
            Remove(file);
        } else if (file->Temporary()) {
            file->DeleteFile();
            Remove(file);
        }
    }
    return 0;
}

int32_t TFileList::RenameFile(const std::string& name, bool inMemory, const std::string& newName) {
    Guard guard(FLock);
    if (TooLong(newName)) return -ZIZIVU_OSPATHNOTFOUND;
    TAbstractFile* object = Find(name, inMemory);
    if (object) {
        if (object->OpenCount() > 0) return -ZIZIVU_OSACCESSDENIED;
        // A memory name must stay unique, as a disk name is kept unique by the file system.
        TAbstractFile* other = inMemory ? Find(newName, true) : nullptr;
        if (other && other != object) return -ZIZIVU_OSUNKNOWN;
        return object->RenameFile(Trim(newName));
    }
    if (inMemory) return -ZIZIVU_OSPATHNOTFOUND;
    TPhysicalFile disk;
    disk.SetFileName(Trim(name));
    return disk.RenameFile(Trim(newName));
}

int32_t TFileList::DeleteFile(const std::string& name, bool inMemory) {
    Guard guard(FLock);
    TAbstractFile* object = Find(name, inMemory);
    if (object) {
        if (object->OpenCount() > 0) return -ZIZIVU_OSACCESSDENIED;
        int32_t result = object->DeleteFile();
        Remove(object);
        return result;
    }
    if (inMemory) return -ZIZIVU_OSPATHNOTFOUND;
    TPhysicalFile disk;
    disk.SetFileName(Trim(name));
    return disk.DeleteFile();
}

// Copies from the source's start in 65535-byte steps; a failed read or a short write
// ends the copy with -9217 or -9218.
int32_t TFileList::CopyData(TAbstractFile* source, int32_t sourceId, TAbstractFile* target, int32_t targetId,
                            int32_t& copied) {
    copied = 0;
    // A work buffer on the library heap.
    const TLibraryPtr<void> buffer(AllocMemory(FileCopyBufferSize));
    // Both files are locked in one fixed (address) order, so copies in opposite directions
    // cannot wait on each other.
    TAbstractFile* first = std::less<TAbstractFile*>()(target, source) ? target : source;
    TAbstractFile* second = first == source ? target : source;
    first->Lock();
    second->Lock();
    int32_t result = 0;
    if (source->Seek(sourceId, 0, 0) != 0) {
        result = -ZIZIVU_READERR;
    } else if (target->Seek(targetId, 0, 0) != 0) {
        result = -ZIZIVU_WRITEERR;
    } else {
        int32_t n;
        do {
            n = source->Read(sourceId, buffer.get(), FileCopyBufferSize);
            if (n < 0) {
                result = -ZIZIVU_READERR;
                break;
            }
            if (n > 0 && target->Write(targetId, buffer.get(), n) != n) {
                result = -ZIZIVU_WRITEERR;
                break;
            }
            copied += n;
        } while (n == FileCopyBufferSize);
    }
    second->Unlock();
    first->Unlock();
    return result;
}

int32_t TFileList::CopyFileTo(TAbstractFile* source, int32_t sourceId, const std::string& newName,
                              bool inMemory) {
    Guard guard(FLock);
    TAbstractFile* target = nullptr;
    int32_t id = CreateFile(newName, inMemory, false, target);
    if (id < 0) return id;
    int32_t copied;
    int32_t result = CopyData(source, sourceId, target, id, copied);
    CloseFile(target, inMemory, id);
    return result;
}

int32_t TFileList::CopyFileFrom(TAbstractFile* target, int32_t targetId, const std::string& sourceName,
                                bool inMemory) {
    Guard guard(FLock);
    TAbstractFile* source = nullptr;
    bool readOnly;
    int32_t id = OpenFile(sourceName, inMemory, false, true, readOnly, source);
    if (id < 0) return id;
    int32_t copied;
    int32_t result = CopyData(source, id, target, targetId, copied);
    if (result == 0) {
        // The target ends where the copy ends; no stale tail of its old content stays.
        target->Lock();
        if (target->Seek(targetId, copied, 0) != copied || target->Write(targetId, nullptr, 0) != 0)
            result = -ZIZIVU_WRITEERR;
        target->Unlock();
    }
    CloseFile(source, inMemory, id);
    return result;
}

bool TFileList::FileExists(const std::string& name, bool inMemory) {
    Guard guard(FLock);
    if (inMemory) return Find(name, true) != nullptr;
    return OsFileExists(Trim(name));
}

std::string ResolveFileName(const std::string& name) {
    return OsResolvePath(Trim(name));
}

TFileList* GlobalFileList() {
    return GFileList;
}

void InitializeFileList() {
    if (!GFileList) GFileList = new TFileList();
}

void FinalizeFileList() {
    delete GFileList;
    GFileList = nullptr;
}

bool DataFileExists(const std::string& name, bool inMemory) {
    if (GFileList) return GFileList->FileExists(name, inMemory);
    return !inMemory && OsFileExists(Trim(name));
}

int32_t MakeUniqueFileName(const std::string& directory, const std::string& extension, bool inMemory,
                           std::string& name) {
    uint32_t next = 0;
    return MakeUniqueFileName(directory, extension, inMemory, name, next);
}

int32_t MakeUniqueFileName(const std::string& directory, const std::string& extension, bool inMemory,
                           std::string& name, uint32_t& next) {
    long tid = ::syscall(SYS_gettid);
    std::string prefix = IntToStr(int64_t(std::labs(tid))).substr(0, 5);
    std::string base = IncludeTrailingBackslash(directory) + prefix;
    for (uint32_t counter = next; counter <= 0xFFFF; ++counter) {
        std::string candidate = base + IntToStr(int64_t(counter)) + extension;
        if (TooLong(candidate)) return -ZIZIVU_OSPATHNOTFOUND;
        if (DataFileExists(candidate, inMemory)) continue;
        if (!inMemory) {
            // Claim the name on disk, so that no other thread or process takes it too.
            const std::unique_ptr<TOsFile> claim(TOsFile::CreateNew(Trim(candidate)));
            if (!claim) {
                if (OsLastError() == EEXIST) continue;
                return -int32_t(MapOSError());
            }
        }
        name = candidate;
        next = counter + 1;
        return 0;
    }
    return -ZIZIVU_OSACCESSDENIED;
}
