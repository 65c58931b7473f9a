#pragma once
// The library's pointer list: untyped items on the library heap, growth in fixed steps,
// no index checks (callers keep indexes in range) and no ownership of the items.
#include <cstdint>
#include <functional>

#include "platform/rtl/System.h"

// Negative, zero or positive as the first item sorts before, with or after the second.
using TListSortCompare = std::function<int(void* Item1, void* Item2)>;

// In-place quicksort of items low..high; its tie order is relied on (collation maps).
void QuickSortPointers(void** items, int32_t low, int32_t high, const TListSortCompare& compare);

class TSystemList : public TObject {
public:
    TSystemList() = default;
    TSystemList(const TSystemList&) = delete;
    TSystemList& operator=(const TSystemList&) = delete;
    ~TSystemList() override;

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
    void** List() const { return FList; }

protected:
    virtual void Grow();

private:
    void** FList = nullptr;
    int32_t FCount = 0;
    int32_t FCapacity = 0;
};
