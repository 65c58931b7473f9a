#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "db/storage/EngineErrors.h"
#include "db/storage/Library.h"
#include "db/storage/LibraryMemory.h"
#include "db/storage/RecordsBitmap.h"
#include "db/storage/SystemList.h"

namespace {

TEST(LibraryMemory, AllocZeroFillsAndResizeZeroesTheGrownTail) {
    auto* p = static_cast<uint8_t*>(AllocMemory(100));
    for (int i = 0; i < 100; ++i) ASSERT_EQ(p[i], 0);
    std::memset(p, 0xAB, 100);
    p = static_cast<uint8_t*>(ResizeMemory(p, 40));  // shrink keeps the head
    p = static_cast<uint8_t*>(ResizeMemory(p, 5000));
    for (int i = 0; i < 40; ++i) ASSERT_EQ(p[i], 0xAB) << i;
    for (int i = 40; i < 5000; ++i) ASSERT_EQ(p[i], 0) << i;
    FreeMemory(p);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(AllocMemory(-1), nullptr);
}

TEST(LibraryMemory, CompactsAfterEvery1020ResizesOrReleases) {
    ResetHeapCompactionCounter();
    uint32_t before = GetHeapCompactions();
    std::vector<void*> blocks;
    for (int i = 0; i < 1500; ++i) blocks.push_back(AllocMemory(16));
    EXPECT_EQ(GetHeapCompactionCounter(), 0u);  // allocations do not count
    void* none = nullptr;
    FreeMemory(none);  // nil neither releases nor counts
    EXPECT_EQ(GetHeapCompactionCounter(), 0u);
    for (int i = 0; i < 1019; ++i) FreeMemory(blocks[i]);
    EXPECT_EQ(GetHeapCompactionCounter(), 1019u);
    EXPECT_EQ(GetHeapCompactions(), before);
    blocks[1019] = ResizeMemory(blocks[1019], 32);
    EXPECT_EQ(GetHeapCompactions(), before + 1);
    EXPECT_EQ(GetHeapCompactionCounter(), 0u);
    for (size_t i = 1019; i < blocks.size(); ++i) FreeMemory(blocks[i]);
}

TEST(LibraryMemory, ReleaseBatchKeepsTheCompactionPace) {
    // Blocks large enough that the releases reach the heap walk, which the batch holds back.
    std::vector<void*> blocks;
    for (int i = 0; i < 2100; ++i) blocks.push_back(AllocMemory(1024));
    ResetHeapCompactionCounter();
    const uint32_t before = GetHeapCompactions();
    {
        THeapReleaseBatch outer;
        {
            THeapReleaseBatch inner;
            for (int i = 0; i < 1020; ++i) FreeMemory(blocks[i]);
            EXPECT_EQ(GetHeapCompactions(), before + 1);
            EXPECT_EQ(GetHeapCompactionCounter(), 0u);
        }
        for (int i = 1020; i < 2040; ++i) FreeMemory(blocks[i]);
        EXPECT_EQ(GetHeapCompactions(), before + 2);
    }
    for (int i = 2040; i < 2050; ++i) FreeMemory(blocks[i]);
    EXPECT_EQ(GetHeapCompactionCounter(), 10u);
    EXPECT_EQ(GetHeapCompactions(), before + 2);
    for (size_t i = 2050; i < blocks.size(); ++i) FreeMemory(blocks[i]);
}

TEST(LibraryMemory, BlockBuffersGrowInWholeBlocksAndNeverShrink) {
    void* buf = nullptr;
    int32_t cap = 0;
    struct Step {
        int32_t size;
        int32_t capacity;
        bool present;
    };
    const Step steps[] = {{5000, 8192, true}, {3000, 8192, true}, {8192, 8192, true}, {8193, 12288, true},
                          {0, 0, false},      {-1, 0, false},     {4096, 4096, true}, {-1, 0, false}};
    for (const auto& s : steps) {
        SetBlockBufferSize(s.size, 4096, buf, cap);
        EXPECT_EQ(cap, s.capacity) << s.size;
        EXPECT_EQ(buf != nullptr, s.present) << s.size;
    }
}

TEST(LibraryMemory, BlockBufferPastTheLargestSizeRaisesOutOfMemory) {
    void* buf = nullptr;
    int32_t cap = 0;
    SetBlockBufferSize(100, 4096, buf, cap);
    // INT32_MAX rounds up to 2^31 bytes, which no 32-bit size can name.
    try {
        SetBlockBufferSize(INT32_MAX, 4096, buf, cap);
        FAIL() << "no error";
    } catch (const EZIZIVUEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), ZIZIVU_OSNOMEMORY);
    }
    EXPECT_EQ(cap, 4096);
    EXPECT_NE(buf, nullptr);
    SetBlockBufferSize(0, 4096, buf, cap);
}

TEST(SystemList, GrowsInTheFixedSteps) {
    TSystemList list;
    std::vector<int32_t> capacities;
    int dummy[200];
    for (int i = 0; i < 200; ++i) {
        int32_t before = list.Capacity();
        EXPECT_EQ(list.Add(&dummy[i]), i);
        if (list.Capacity() != before) capacities.push_back(list.Capacity());
    }
    EXPECT_EQ(capacities, (std::vector<int32_t>{4, 8, 12, 28, 44, 60, 76, 95, 118, 147, 183, 228}));
    EXPECT_EQ(list.Get(199), &dummy[199]);
}

TEST(SystemList, EditingOperations) {
    int a, b, c, d;
    TSystemList list;
    list.Add(&a);
    list.Add(&c);
    list.Insert(1, &b);
    list.Insert(3, &d);
    EXPECT_EQ(list.Count(), 4);
    EXPECT_EQ(list.First(), &a);
    EXPECT_EQ(list.Get(1), &b);
    EXPECT_EQ(list.Last(), &d);
    list.Delete(0);
    EXPECT_EQ(list.IndexOf(&b), 0);
    EXPECT_EQ(list.IndexOf(&a), -1);
    list.Exchange(0, 2);
    EXPECT_EQ(list.First(), &d);
    EXPECT_EQ(list.Last(), &b);

    list.SetCount(10);  // new slots are nil, capacity raised to exactly 10
    EXPECT_EQ(list.Capacity(), 10);
    for (int i = 3; i < 10; ++i) EXPECT_EQ(list.Get(i), nullptr);
    EXPECT_EQ(list.IndexOf(nullptr), 3);

    TSystemList copy;
    copy.Assign(list);
    EXPECT_EQ(copy.Count(), 10);
    EXPECT_EQ(copy.Capacity(), 10);
    EXPECT_EQ(copy.Get(1), &c);

    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.Capacity(), 0);
    EXPECT_EQ(list.List(), nullptr);
}

TEST(SystemList, SortsWithTheCompareFunction) {
    int values[] = {5, 3, 9, 1, 7, 3, 0, 8};
    TSystemList list;
    list.Sort([](void*, void*) { return 0; });  // empty: nothing happens
    for (int& v : values) list.Add(&v);
    list.Sort([](void* x, void* y) { return *static_cast<int*>(x) - *static_cast<int*>(y); });
    std::vector<int> sorted;
    for (int i = 0; i < list.Count(); ++i) sorted.push_back(*static_cast<int*>(list.Get(i)));
    EXPECT_EQ(sorted, (std::vector<int>{0, 1, 3, 3, 5, 7, 8, 9}));
}

TEST(TypedList, TypedItemsOverTheSameList) {
    struct TItem {
        int Key;
    };
    TItem a{3}, b{1}, c{2};
    TTypedList<TItem> list;
    EXPECT_EQ(list.Add(&a), 0);
    EXPECT_EQ(list.Capacity(), 4);  // the untyped list's growth
    list.Add(&b);
    list.Insert(1, &c);
    EXPECT_EQ(list.Get(1)->Key, 2);
    EXPECT_EQ(list.IndexOf(&b), 2);
    list.Sort([](TItem* x, TItem* y) { return x->Key - y->Key; });
    EXPECT_EQ(list.First(), &b);
    EXPECT_EQ(list[1], &c);
    EXPECT_EQ(list.Last(), &a);
    list.Delete(0);
    list.Exchange(0, 1);
    EXPECT_EQ(list.First(), &a);
    list.SetCount(3);
    EXPECT_EQ(list.Get(2), nullptr);
    list.Put(2, &b);
    TTypedList<TItem> copy;
    copy.Assign(list);
    EXPECT_EQ(copy.Count(), 3);
    EXPECT_EQ(copy.Last(), &b);
}

// Debug builds stop at an index out of range; release builds check nothing, as the
// untyped list.
TEST(TypedListDeathTest, DebugBuildsStopAtABadIndex) {
#ifdef NDEBUG
    GTEST_SKIP() << "index checks are compiled into debug builds only";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    int x = 0;
    TTypedList<int> list;
    list.Add(&x);
    list.Add(&x);
    const std::pair<const char*, std::function<void()>> bad[] = {
        {"Get(-1)", [&] { (void)list.Get(-1); }},
        {"Get(Count)", [&] { (void)list.Get(2); }},
        {"Put(Count)", [&] { list.Put(2, &x); }},
        {"Delete(Count)", [&] { list.Delete(2); }},
        {"Exchange(0, Count)", [&] { list.Exchange(0, 2); }},
        {"Insert(Count + 1)", [&] { list.Insert(3, &x); }},
        {"First of empty", [] { (void)TTypedList<int>().First(); }},
        {"Last of empty", [] { (void)TTypedList<int>().Last(); }},
    };
    for (const auto& [name, work] : bad) EXPECT_DEATH(work(), "list index out of bounds") << name;
    list.Insert(2, &x);  // appending at Count is in range
    EXPECT_EQ(list.Count(), 3);
#endif
}

// Sorts (key, name) pairs by key and lists the names in the resulting order.
std::string SortByKey(std::vector<std::pair<int, char>> items) {
    std::vector<void*> ptrs;
    for (auto& item : items) ptrs.push_back(&item);
    QuickSortPointers(ptrs.data(), 0, int32_t(ptrs.size()) - 1, [](void* a, void* b) {
        return static_cast<std::pair<int, char>*>(a)->first - static_cast<std::pair<int, char>*>(b)->first;
    });
    std::string names;
    for (void* p : ptrs) names += static_cast<std::pair<int, char>*>(p)->second;
    return names;
}

TEST(QuickSortPointers, TiesEndInTheOrderTheSwapsLeave) {
    // Equal keys are not kept in input order: the pivot walk swaps them.
    EXPECT_EQ(SortByKey({{1, 'A'}, {1, 'B'}, {1, 'C'}}), "CBA");
    EXPECT_EQ(SortByKey({{2, 'A'}, {1, 'B'}, {2, 'C'}, {1, 'D'}}), "DBAC");
    EXPECT_EQ(SortByKey({{5, 'A'}}), "A");
}

struct Counter {
    int Value = 0;
    void Reset() { Value = 0; }
};

TEST(ObjectPool, PopCreatesWhenEmptyAndResetsRecycledObjects) {
    TObjectPool<Counter> pool(16);
    EXPECT_EQ(pool.IdleCapacity(), 16);
    Counter* a = pool.Pop();
    a->Value = 42;
    Counter* keep = a;
    pool.Push(a);
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(pool.IdleCount(), 1);
    Counter* b = pool.Pop();
    EXPECT_EQ(b, keep);
    EXPECT_EQ(b->Value, 0);
    EXPECT_EQ(pool.IdleCount(), 0);
    Counter* none = nullptr;
    pool.Push(none);
    EXPECT_EQ(pool.IdleCount(), 0);
    pool.Push(b);
}

TEST(Library, InitializeCreatesAndFinalizeFreesTheSingletons) {
    InitializeLibrary();
    ASSERT_NE(RecordsBitmapStack(), nullptr);
    ASSERT_NE(LanguageCharMapsList(), nullptr);
    EXPECT_EQ(RecordsBitmapStack()->IdleCapacity(), 512);
    TRecordsBitmap* bm = RecordsBitmapStack()->Pop();
    RecordsBitmapStack()->Push(bm);
    EnterLibraryLock();
    EnterLibraryLock();  // re-entrant
    LeaveLibraryLock();
    LeaveLibraryLock();
    FinalizeLibrary();
    EXPECT_EQ(RecordsBitmapStack(), nullptr);
    EXPECT_EQ(LanguageCharMapsList(), nullptr);
}

}  // namespace
