#pragma once
// The library's pointer list: untyped items on the library heap, growth in fixed steps,
// no index checks (callers keep indexes in range) and no ownership of the items.
#include <cassert>
#include <cstdint>
#include <functional>

#include "db/storage/LibraryMemory.h"
#include "platform/rtl/System.h"

// Negative, zero or positive as the first item sorts before, with or after the second.
using TListSortCompare = std::function<int(void* Item1, void* Item2)>;

// In-place quicksort of items low..high; its tie order is relied on (collation maps).
void QuickSortPointers(void** items, int32_t low, int32_t high, const TListSortCompare& compare);

// Not polymorphic: a sanitized build checks the dynamic type of a polymorphic object at every
// member access, and the lists are read at every step of the caches and pools.
class TSystemList final {
public:
    TSystemList() = default;
    TSystemList(const TSystemList&) = delete;
    TSystemList& operator=(const TSystemList&) = delete;

    int32_t Add(void* item);
    void Insert(int32_t index, void* item);
    void Delete(int32_t index);
    void Exchange(int32_t i, int32_t j);
    void* Get(int32_t index) const { return FList[index]; }
    void Put(int32_t index, void* item) { FList[index] = item; }
    void* operator[](int32_t index) const { return FList[index]; }
    void* First() const { return FList[0]; }
    void* Last() const { return FList[FCount - 1]; }
    int32_t IndexOf(void* item) const;
    void SetCapacity(int32_t n);
    void SetCount(int32_t n);
    void Clear();
    void Assign(const TSystemList& source);
    void Sort(const TListSortCompare& compare);

    int32_t Count() const { return FCount; }
    int32_t Capacity() const { return FCapacity; }
    void** List() const { return FList.get(); }

private:
    void Grow();

    TLibraryPtr<void*[]> FList;
    int32_t FCount = 0;
    int32_t FCapacity = 0;
};

// A TSystemList of T*: the same storage, growth and (absent) ownership, without casts at
// the call sites. Debug builds assert every index; release builds check nothing, as the
// untyped list.
template <class T>
class TTypedList {
public:
    using TCompare = std::function<int(T* Item1, T* Item2)>;

    int32_t Add(T* item) { return FList.Add(item); }
    void Insert(int32_t index, T* item) {
        assert(index >= 0 && index <= Count() && "list index out of bounds");
        FList.Insert(index, item);
    }
    void Delete(int32_t index) {
        CheckIndex(index);
        FList.Delete(index);
    }
    void Exchange(int32_t i, int32_t j) {
        CheckIndex(i);
        CheckIndex(j);
        FList.Exchange(i, j);
    }
    T* Get(int32_t index) const {
        CheckIndex(index);
        return static_cast<T*>(FList.Get(index));
    }
    void Put(int32_t index, T* item) {
        CheckIndex(index);
        FList.Put(index, item);
    }
    T* operator[](int32_t index) const { return Get(index); }
    T* First() const { return Get(0); }
    T* Last() const { return Get(Count() - 1); }
    int32_t IndexOf(const T* item) const { return FList.IndexOf(const_cast<T*>(item)); }
    void SetCapacity(int32_t n) { FList.SetCapacity(n); }
    void SetCount(int32_t n) {
        assert(n >= 0 && "negative list count");
        FList.SetCount(n);
    }
    void Clear() { FList.Clear(); }
    void Assign(const TTypedList& source) { FList.Assign(source.FList); }
    void Sort(const TCompare& compare) {
        FList.Sort([&](void* a, void* b) { return compare(static_cast<T*>(a), static_cast<T*>(b)); });
    }

    int32_t Count() const { return FList.Count(); }
    int32_t Capacity() const { return FList.Capacity(); }

private:
    void CheckIndex([[maybe_unused]] int32_t index) const {
        assert(index >= 0 && index < Count() && "list index out of bounds");
    }

    TSystemList FList;
};
