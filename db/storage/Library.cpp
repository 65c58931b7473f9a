#include "db/storage/Library.h"

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
    GBitmapStack = new TRecordsBitmapStack();
    GCharMaps = new TLanguageCharMapsList();
}

void FinalizeLibrary() {
    delete GCharMaps;
    GCharMaps = nullptr;
    delete GBitmapStack;
    GBitmapStack = nullptr;
}
