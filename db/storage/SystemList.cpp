#include "db/storage/SystemList.h"

#include <cstring>

#include "db/storage/LibraryMemory.h"

void QuickSortPointers(void** items, int32_t low, int32_t high, const TListSortCompare& compare) {
    int32_t i;
    do {
        i = low;
        int32_t j = high;
        void* pivot = items[(low + high) / 2];
        do {
            while (compare(items[i], pivot) < 0) ++i;
            while (compare(items[j], pivot) > 0) --j;
            if (i <= j) {
                void* t = items[i];
                items[i] = items[j];
                items[j] = t;
                ++i;
                --j;
            }
        } while (i <= j);
        if (low < j) QuickSortPointers(items, low, j, compare);
        low = i;
    } while (i < high);
}

void TSystemList::Grow() {
    int32_t delta;
    if (FCapacity < 9)
        delta = 4;
    else if (FCapacity <= 64)
        delta = 16;
    else
        delta = FCapacity / 4;
    SetCapacity(FCapacity + delta);
}

int32_t TSystemList::Add(void* item) {
    if (FCount == FCapacity) Grow();
    FList[FCount] = item;
    return FCount++;
}

void TSystemList::Insert(int32_t index, void* item) {
    if (FCount == FCapacity) Grow();
    if (index < FCount) std::memmove(&FList[index + 1], &FList[index], (FCount - index) * sizeof(void*));
    FList[index] = item;
    ++FCount;
}

void TSystemList::Delete(int32_t index) {
    --FCount;
    if (index < FCount) std::memmove(&FList[index], &FList[index + 1], (FCount - index) * sizeof(void*));
}

void TSystemList::Exchange(int32_t i, int32_t j) {
    void* t = FList[i];
    FList[i] = FList[j];
    FList[j] = t;
}

int32_t TSystemList::IndexOf(void* item) const {
    for (int32_t i = 0; i < FCount; ++i)
        if (FList[i] == item) return i;
    return -1;
}

void TSystemList::SetCapacity(int32_t n) {
    if (n == FCapacity) return;
    if (n == 0) {
        FList.reset();
    } else if (FCapacity == 0 || !FList) {
        FList.reset(static_cast<void**>(AllocMemory(n * static_cast<int32_t>(sizeof(void*)))));
    } else {
        ResizeMemory(FList, n * static_cast<int32_t>(sizeof(void*)));
    }
    FCapacity = n;
}

void TSystemList::SetCount(int32_t n) {
    if (n > FCapacity) SetCapacity(n);
    if (n > FCount) std::memset(&FList[FCount], 0, (n - FCount) * sizeof(void*));
    FCount = n;
}

void TSystemList::Clear() {
    FCount = 0;
    SetCapacity(0);
}

void TSystemList::Assign(const TSystemList& source) {
    if (source.FCapacity > FCapacity) SetCapacity(source.FCapacity);
    if (source.FCapacity > 0) std::memcpy(FList.get(), source.FList.get(), source.FCapacity * sizeof(void*));
    FCount = source.FCount;
}

void TSystemList::Sort(const TListSortCompare& compare) {
    if (FCount > 0) QuickSortPointers(FList.get(), 0, FCount - 1, compare);
}
