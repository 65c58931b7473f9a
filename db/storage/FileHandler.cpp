// The engine-side file: opens, creates and closes through the process-wide file list and
// raises the lower levels' negated codes as engine errors with its file name.
#include "db/storage/EngineErrors.h"
#include "db/storage/FileLayer.h"

namespace {

TFileList* RequireFileList() {
    TFileList* list = GlobalFileList();
    if (!list) RaiseEngineError(ZIZIVU_NOTINITIALIZED);
    return list;
}

}  // namespace

TFileHandler::TFileHandler() = default;

TFileHandler::~TFileHandler() {
    if (FOpen || FFile) TFileHandler::Close();
}

void TFileHandler::RaiseError(int32_t code) {
    RaiseEngineError(uint16_t(code), FFileName);
}

void TFileHandler::SetFileName(const std::string& name) {
    FFileName = name;
}

void TFileHandler::Open() {
    if (FOpen) return;
    TFileList* list = RequireFileList();
    if (!list->FileExists(FFileName, FInMemory)) RaiseError(ZIZIVU_OSPATHNOTFOUND);
    FReadOnly = false;
    bool readOnly = false;
    TAbstractFile* file = nullptr;
    int32_t result = list->OpenFile(FFileName, FInMemory, FTemporary, FExclusive, readOnly, file);
    if (result < 0) RaiseError(-result);
    FHandle = result;
    FFile = file;
    FReadOnly = readOnly;
    FOpen = true;
}

void TFileHandler::Close() {
    if (FHandle >= 1 && FFile) {
        if (TFileList* list = GlobalFileList()) list->CloseFile(FFile, FInMemory, FHandle);
    }
    FFile = nullptr;
    FHandle = 0;
    FOpen = false;
}

void TFileHandler::CreateFile() {
    TFileList* list = RequireFileList();
    TAbstractFile* file = nullptr;
    int32_t result = list->CreateFile(FFileName, FInMemory, FTemporary, file);
    if (result < 0) RaiseError(-result);
    ++FWriteCount;
    FHandle = result;
    FFile = file;
    FReadOnly = false;
    FOpen = true;
}

void TFileHandler::Delete() {
    int32_t result = RequireFileList()->DeleteFile(FFileName, FInMemory);
    if (result < 0) RaiseError(-result);
}

void TFileHandler::Rename(const std::string& newName) {
    int32_t result = RequireFileList()->RenameFile(FFileName, FInMemory, newName);
    if (result < 0) RaiseError(-result);
    SetFileName(newName);
}

void TFileHandler::SaveToFile(const std::string& newName) {
    if (!FOpen) return;
    int32_t result = RequireFileList()->CopyFileTo(FFile, FHandle, newName, FInMemory);
    if (result < 0) RaiseError(-result);
}

void TFileHandler::LoadFromFile(const std::string& sourceName) {
    if (!FOpen) return;
    ++FWriteCount;
    int32_t result = RequireFileList()->CopyFileFrom(FFile, FHandle, sourceName, FInMemory);
    if (result < 0) RaiseError(-result);
}

int32_t TFileHandler::Read(void* buffer, int32_t count, bool allowShort) {
    if (!FFile) RaiseError(ZIZIVU_READERR);
    int32_t n = FFile->Read(FHandle, buffer, count);
    if (n < 0 || (n < count && !allowShort)) RaiseError(ZIZIVU_READERR);
    return n;
}

void TFileHandler::Write(const void* buffer, int32_t count) {
    if (!FFile) RaiseError(ZIZIVU_WRITEERR);
    ++FWriteCount;
    if (FFile->Write(FHandle, buffer, count) != count) RaiseError(ZIZIVU_WRITEERR);
}

void TFileHandler::Flush() {
    if (FFile && !FFile->Flush()) RaiseError(ZIZIVU_WRITEERR);
}

int32_t TFileHandler::Seek(int32_t offset, int32_t origin) {
    return FFile ? FFile->Seek(FHandle, offset, origin) : 0;
}

int32_t TFileHandler::GetSize() {
    if (!FFile) return 0;
    FFile->Lock();
    int32_t position = Seek(0, 1);
    int32_t size = Seek(0, 2);
    Seek(position, 0);
    FFile->Unlock();
    return size;
}

bool TFileHandler::LockRange(uint32_t offset, uint32_t length, bool lock) {
    if (!FFile) return false;
    return lock ? FFile->LockRegion(offset, length) : FFile->UnlockRegion(offset, length);
}

bool TFileHandler::UnlockAdjacentRanges(uint32_t offset, uint32_t length) {
    return FFile && FFile->UnlockAdjacentRegions(offset, length);
}

void TFileHandler::Lock() {
    if (FFile) FFile->Lock();
}

void TFileHandler::Unlock() {
    if (FFile) FFile->Unlock();
}

bool TFileHandler::Exists() {
    return RequireFileList()->FileExists(FFileName, FInMemory);
}
