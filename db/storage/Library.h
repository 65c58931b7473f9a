#pragma once
// Library-wide lock, the object-pool pattern and the start and finish of the database
// library. The library's singletons exist between InitializeLibrary and FinalizeLibrary.
#include <cstdint>
#include <mutex>
#include <type_traits>

#include "db/storage/LibraryMemory.h"
#include "db/storage/SystemList.h"
#include "platform/rtl/SyncObjs.h"

// Process-wide, re-entrant for its owner thread.
void EnterLibraryLock();
void LeaveLibraryLock();

// Recycles short-lived objects: Pop hands out an idle object reset to its empty state
// (T::Reset) or a new one; Push takes the object back and clears the caller's reference.
// The idle list's capacity is preset, not a limit. A pool that Locked is false for belongs
// to one owner used by one thread at a time (a table file's pool, reached only through the
// file's unlocked cache): it takes no lock, which cost two library calls per object.
template <class T, bool Locked = true>
class TObjectPool : public TObject {
    struct TNoLock {
        void lock() {}
        void unlock() {}
    };
    using TLock = std::conditional_t<Locked, TCriticalSection, TNoLock>;

public:
    explicit TObjectPool(int32_t idleCapacity) { FIdle.SetCapacity(idleCapacity); }
    TObjectPool(const TObjectPool&) = delete;
    TObjectPool& operator=(const TObjectPool&) = delete;
    ~TObjectPool() override {
        THeapReleaseBatch batch;
        for (int32_t i = FIdle.Count() - 1; i >= 0; --i) delete FIdle.Get(i);
        FIdle.Clear();
    }

    T* Pop() {
        {
            std::lock_guard<TLock> guard(FLock);
            if (FIdle.Count() > 0) {
                T* obj = FIdle.Last();
                obj->Reset();
                FIdle.Delete(FIdle.Count() - 1);
                return obj;
            }
        }
        return new T();
    }

    void Push(T*& obj) {
        if (!obj) return;
        std::lock_guard<TLock> guard(FLock);
        FIdle.Add(obj);
        obj = nullptr;
    }

    int32_t IdleCount() {
        std::lock_guard<TLock> guard(FLock);
        return FIdle.Count();
    }
    int32_t IdleCapacity() {
        std::lock_guard<TLock> guard(FLock);
        return FIdle.Capacity();
    }

private:
    TLock FLock;
    TTypedList<T> FIdle;
};

class TRecordsBitmapStack;
class TLanguageCharMapsList;

// The library's singletons; nil outside InitializeLibrary .. FinalizeLibrary.
TRecordsBitmapStack* RecordsBitmapStack();
TLanguageCharMapsList* LanguageCharMapsList();

void InitializeLibrary();
void FinalizeLibrary();
