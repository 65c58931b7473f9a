#include "db/storage/Library.h"

#include "db/storage/ExpToken.h"
#include "db/storage/FileLayer.h"
#include "db/storage/LanguageSettings.h"
#include "db/storage/LibraryMemory.h"
#include "db/storage/RecordsBitmap.h"

namespace {

TCriticalSection& LibraryLock() {
    static TCriticalSection lock;
    return lock;
}

TRecordsBitmapStack* GBitmapStack = nullptr;
TLanguageCharMapsList* GCharMaps = nullptr;

}  // namespace

void EnterLibraryLock() {
    LibraryLock().Enter();
}
void LeaveLibraryLock() {
    LibraryLock().Leave();
}

TRecordsBitmapStack* RecordsBitmapStack() {
    return GBitmapStack;
}
TLanguageCharMapsList* LanguageCharMapsList() {
    return GCharMaps;
}

void InitializeLibrary() {
    ResetHeapCompactionCounter();
    CreateExpTokenStack();
    GBitmapStack = new TRecordsBitmapStack();
    InitializeFileList();
    GCharMaps = new TLanguageCharMapsList();
}

void FinalizeLibrary() {
    delete GCharMaps;
    GCharMaps = nullptr;
    FinalizeFileList();
    delete GBitmapStack;
    GBitmapStack = nullptr;
    DestroyExpTokenStack();
}
