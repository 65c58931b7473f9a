// The tree's split, merge and borrow boundaries, and the searches, counts and bitmap walks
// of a single page.
#include <gtest/gtest.h>

#include "db/storage/Encodings.h"
#include "db/storage/RecordsBitmap.h"
#include "tests/db/engine/IndexFakes.h"

using namespace indextest;

namespace {

class BTreeBoundary : public IndexFixture {
protected:
    TIndexFile& Tree(int32_t keyLength, uint8_t compression = icNone) {
        FKeyLength = keyLength;
        TIndexFile& f = NewFile();
        f.AddPrimaryIndex(OneFieldIndex("", keyLength, true, compression), SizedFields);
        return f;
    }
    void Insert(TIndexFile& f, int32_t v) {
        ASSERT_TRUE(f.InsertIndexKey(&Cursor, 0, Bytes(IntKey(v, FKeyLength)), uint32_t(v)));
    }
    void Delete(TIndexFile& f, int32_t v) {
        ASSERT_TRUE(f.DeleteIndexKey(&Cursor, 0, Bytes(IntKey(v, FKeyLength))));
    }
    // Entry counts of the pages of one level, root level 0.
    std::vector<int32_t> LevelCounts(TIndexFile& f, const TTreeShape& shape, size_t level) {
        std::vector<int32_t> counts;
        for (uint32_t pos : shape.Levels[level]) {
            TPage* p = nullptr;
            EXPECT_TRUE(f.GetPage(&Cursor, 0, pos, p));
            counts.push_back(p->Count());
            f.ReleasePage(p);
        }
        return counts;
    }
    TTreeShape Shape(TIndexFile& f) {
        TTreeShape shape;
        EXPECT_EQ(CheckTree(f, Cursor, 0, shape), "");
        return shape;
    }

    int32_t FKeyLength = 0;
};

}  // namespace

TEST_F(BTreeBoundary, PlainLeafSplitsAt158KeysIntoTwoHalves) {
    TIndexFile& f = Tree(20);
    for (int32_t v = 1; v <= 157; ++v) ASSERT_NO_FATAL_FAILURE(Insert(f, v));
    TPage* root = nullptr;
    ASSERT_TRUE(f.GetRootPage(&Cursor, 0, TPagePos::First, root));
    EXPECT_EQ(root->PageType(), ptRootLeaf);
    EXPECT_EQ(root->GetMaxKeys(), 157);
    EXPECT_EQ(root->Count(), 157);
    f.ReleasePage(root);

    ASSERT_NO_FATAL_FAILURE(Insert(f, 158));
    const TTreeShape shape = Shape(f);
    ASSERT_EQ(shape.Depth, 2);
    EXPECT_EQ(LevelCounts(f, shape, 1), (std::vector<int32_t>{79, 79}));
    ASSERT_TRUE(f.GetRootPage(&Cursor, 0, TPagePos::First, root));
    EXPECT_EQ(root->PageType(), ptRootInterior);
    EXPECT_EQ(root->GetMaxKeys(), 136);
    EXPECT_EQ(root->Count(), 2);
    EXPECT_EQ(root->EntryCount(1) + root->EntryCount(2), 158u);
    f.ReleasePage(root);
}

TEST_F(BTreeBoundary, InteriorRootSplitAddsALevelWhoseCountsAddUp) {
    // 500-byte keys: 8 entries per leaf and per interior page.
    TIndexFile& f = Tree(500);
    int32_t n = 0;
    while (Shape(f).Depth < 3) ASSERT_NO_FATAL_FAILURE(Insert(f, ++n));
    TPage* root = nullptr;
    ASSERT_TRUE(f.GetRootPage(&Cursor, 0, TPagePos::First, root));
    EXPECT_EQ(root->PageType(), ptRootInterior);
    EXPECT_EQ(root->Count(), 2);
    EXPECT_EQ(root->EntryCount(1) + root->EntryCount(2), uint32_t(n));
    EXPECT_EQ(root->GetTotalCount(), uint32_t(n));
    f.ReleasePage(root);
    const TTreeShape shape = Shape(f);
    for (size_t level = 1; level < shape.Levels.size(); ++level)
        for (uint32_t pos : shape.Levels[level]) {
            TPage* p = nullptr;
            ASSERT_TRUE(f.GetPage(&Cursor, 0, pos, p));
            EXPECT_EQ(p->PageType(), level + 1 == shape.Levels.size() ? ptLeaf : ptInterior);
            f.ReleasePage(p);
        }
}

TEST_F(BTreeBoundary, SmallestKeyReachesEveryInteriorEntryOnTheLeftmostPath) {
    TIndexFile& f = Tree(500);
    for (int32_t v = 100; v < 200; ++v) ASSERT_NO_FATAL_FAILURE(Insert(f, v));
    ASSERT_GE(Shape(f).Depth, 3);
    ASSERT_NO_FATAL_FAILURE(Insert(f, 1));
    const std::string smallest = IntKey(1, 500);
    uint32_t pos = f.GetRootPageNo(0);
    for (;;) {
        TPage* p = nullptr;
        ASSERT_TRUE(f.GetPage(&Cursor, 0, pos, p));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(p->EntryKey(1)), 500), smallest);
        const bool leaf = p->IsLeaf();
        pos = p->EntryValue(1);
        f.ReleasePage(p);
        if (leaf) break;
    }
    EXPECT_EQ(Shape(f).Keys.size(), 101u);
}

struct RebalanceCase {
    const char* name;
    int32_t extraLeft;  // keys added to the left leaf of [79][79]
    std::vector<int32_t> leaves;
};

TEST_F(BTreeBoundary, UnderfullLeafMergesWhenBothFitElseLevelsByHalves) {
    const RebalanceCase cases[] = {
        {"156 fit one page: merge, and the root collapses", 0, {156}},
        {"exactly a page's worth: borrow", 1, {79, 78}},
        {"odd total: the left keeps the larger half", 77, {117, 116}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        TIndexFile& f = Tree(20);
        // Even keys 2..316 split into [2..158][160..316]; odd keys then go left.
        for (int32_t v = 2; v <= 316; v += 2) ASSERT_NO_FATAL_FAILURE(Insert(f, v));
        for (int32_t i = 0; i < c.extraLeft; ++i) ASSERT_NO_FATAL_FAILURE(Insert(f, 3 + 2 * i));
        // One removal leaves 78 (half of 157): nothing moves; the second goes below.
        ASSERT_NO_FATAL_FAILURE(Delete(f, 316));
        EXPECT_EQ(LevelCounts(f, Shape(f), 1), (std::vector<int32_t>{79 + c.extraLeft, 78}));
        ASSERT_NO_FATAL_FAILURE(Delete(f, 314));
        const TTreeShape shape = Shape(f);
        EXPECT_EQ(LevelCounts(f, shape, shape.Levels.size() - 1), c.leaves);
        if (c.leaves.size() == 1) {
            EXPECT_EQ(shape.Depth, 1);
            // The right leaf and the old root went to the free chain.
            EXPECT_EQ(FreeChainLength(f, Cursor, 0), 2);
        }
    }
}

TEST_F(BTreeBoundary, RemovingTheLastKeyEmptiesTheIndex) {
    TIndexFile& f = Tree(20);
    ASSERT_NO_FATAL_FAILURE(Insert(f, 7));
    ASSERT_NO_FATAL_FAILURE(Delete(f, 7));
    EXPECT_EQ(f.GetRootPageNo(0), 0u);
    EXPECT_EQ(FreeChainLength(f, Cursor, 0), 1);
    EXPECT_EQ(RaisedCode([&] { Delete(f, 7); }), ZIZIVU_PAGEBUFCORRUPT);
}

TEST_F(BTreeBoundary, CompressedLeafKeepsOneEntryAndGoesOnlyWhenEmpty) {
    TIndexFile& f = Tree(20, icLeading);
    int32_t n = 0;
    while (Shape(f).Levels.size() < 2 || Shape(f).Levels[1].size() < 3)
        ASSERT_NO_FATAL_FAILURE(Insert(f, ++n));
    const TTreeShape before = Shape(f);
    const uint32_t middle = before.Levels[1][1];
    TPage* p = nullptr;
    ASSERT_TRUE(f.GetPage(&Cursor, 0, middle, p));
    std::vector<int32_t> keys;
    for (int32_t i = 1; i <= p->Count(); ++i) keys.push_back(int32_t(p->EntryValue(i)));
    f.ReleasePage(p);
    for (size_t i = 1; i < keys.size(); ++i) ASSERT_NO_FATAL_FAILURE(Delete(f, keys[i]));
    TTreeShape shape = Shape(f);
    ASSERT_EQ(shape.Levels[1].size(), before.Levels[1].size());
    EXPECT_EQ(LevelCounts(f, shape, 1)[1], 1);
    ASSERT_NO_FATAL_FAILURE(Delete(f, keys[0]));
    shape = Shape(f);
    EXPECT_EQ(shape.Levels[1].size(), before.Levels[1].size() - 1);
    EXPECT_EQ(FreeChainLength(f, Cursor, 0), 1);
}

// ---- One page ---------------------------------------------------------------------------

namespace {

class PageSearch : public IndexFixture {
protected:
    void SetUp() override {
        IndexFixture::SetUp();
        TIndexDescriptor d;
        d.KeyLength = 4;
        d.Unique = 1;
        Leaf.Clear(nullptr, 0, d);
        Interior.Clear(nullptr, 0, d);
        Interior.SetPageType(ptInterior);
        const uint32_t records[] = {1, 2, 3, 5, 8};
        for (int32_t i = 0; i < 5; ++i) {
            Leaf.InsertEntry(Bytes(IntKey(10 * (i + 1), 4)));
            Leaf.SetCurrentValue(records[i]);
        }
        for (int32_t i = 0; i < 3; ++i) {
            Interior.InsertEntry(Bytes(IntKey(10 * (i + 1), 4)));
            Interior.SetCurrentValue(4096u * uint32_t(i + 1));
            Interior.SetCurrentCount(uint32_t(i + 3));  // 3, 4, 5
        }
    }
    TPage Leaf, Interior;
};

}  // namespace

TEST_F(PageSearch, ExactAndCountingSearchesSettleAsTabled) {
    struct Row {
        int32_t key;
        int32_t keyPos;
        bool keyFound;
        int32_t insertPos, deletePos;
        int32_t nearAfter, nearBefore, countBefore;  // count added by the "after" form
        bool nearFound;
        int32_t toKey, toKeyAdd, toKeyAfter;
    } rows[] = {
        {5, 1, false, 0, 1, 1, 1, 0, false, 1, 0, 1},  {10, 1, true, 1, 1, 1, 1, 0, true, 1, 0, 1},
        {25, 2, false, 2, 2, 3, 2, 2, false, 3, 2, 2}, {50, 5, true, 5, 5, 5, 5, 4, true, 5, 4, 5},
        {60, 5, false, 5, 5, 5, 5, 4, false, 5, 4, 5},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.key);
        const std::string key = IntKey(r.key, 4);
        EXPECT_EQ(Leaf.FindKeyPos(&Cursor, Bytes(key)), r.keyFound);
        EXPECT_EQ(Leaf.Position(TPagePos::First), r.keyPos);
        Leaf.FindInsertPos(&Cursor, Bytes(key));
        EXPECT_EQ(Leaf.Position(TPagePos::First), r.insertPos);
        Leaf.FindDeletePos(&Cursor, Bytes(key));
        EXPECT_EQ(Leaf.Position(TPagePos::First), r.deletePos);
        int32_t count = 100;
        EXPECT_EQ(Leaf.FindNearestPos(&Cursor, Bytes(key), true, count), r.nearFound);
        EXPECT_EQ(Leaf.Position(TPagePos::Second), r.nearAfter);
        EXPECT_EQ(count, 100 + r.countBefore);
        Leaf.FindNearestPos(&Cursor, Bytes(key), false, count);
        EXPECT_EQ(Leaf.Position(TPagePos::Second), r.nearBefore);
        count = 0;
        Leaf.CountToKey(&Cursor, Bytes(key), count);
        EXPECT_EQ(Leaf.Position(TPagePos::Second), r.toKey);
        EXPECT_EQ(count, r.toKeyAdd);
        Leaf.CountToKeyAfter(&Cursor, Bytes(key), count);
        EXPECT_EQ(Leaf.Position(TPagePos::Second), r.toKeyAfter);
    }
    // Interior pages add the subtree counts before the entry and never step past a key.
    int32_t count = 0;
    Interior.FindNearestPos(&Cursor, Bytes(IntKey(25, 4)), true, count);
    EXPECT_EQ(Interior.Position(TPagePos::Second), 2);
    EXPECT_EQ(count, 3);
    count = 0;
    Interior.CountToKey(&Cursor, Bytes(IntKey(35, 4)), count);
    EXPECT_EQ(count, 7);
    EXPECT_EQ(Interior.GetTotalCount(), 12u);
    EXPECT_EQ(Leaf.GetTotalCount(), 5u);
    count = 0;
    Leaf.CountToEnd(count);
    EXPECT_EQ(count, 4);
    Leaf.CountFirst(count);
    EXPECT_EQ(count, 1);
    // A page without entries cannot be searched.
    TIndexDescriptor d;
    d.KeyLength = 4;
    TPage empty;
    empty.Clear(nullptr, 0, d);
    EXPECT_EQ(RaisedCode([&] { empty.FindDeletePos(&Cursor, Bytes(IntKey(1, 4))); }), ZIZIVU_PAGEBUFCORRUPT);
}

TEST_F(PageSearch, SeekInRangeStopsBeforeTheRange) {
    struct Row {
        TPage* page;
        int32_t start, end;
        bool after;
        bool result;
        int32_t pos, added;
    } rows[] = {
        {&Leaf, 25, 45, false, false, 2, 1},    {&Leaf, 5, 45, false, false, 1, 0},
        {&Leaf, 60, 70, false, false, 5, 4},    {&Leaf, 25, 15, false, false, 1, 0},
        {&Interior, 20, 40, false, true, 2, 3}, {&Interior, 25, 40, false, false, 2, 3},
        {&Interior, 25, 40, true, false, 3, 7},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.start) + ".." + std::to_string(r.end));
        int32_t count = 0;
        EXPECT_EQ(
            r.page->SeekInRange(&Cursor, Bytes(IntKey(r.start, 4)), Bytes(IntKey(r.end, 4)), r.after, count),
            r.result);
        EXPECT_EQ(r.page->Position(TPagePos::Second), r.pos);
        EXPECT_EQ(count, r.added);
    }
}

TEST_F(PageSearch, BitmapWalksAndRecordRuns) {
    TRecordsBitmap bitmap;
    bitmap.SetRecordCount(10);
    bitmap.SetBit(3);
    bitmap.SetBit(8);
    int32_t count = 0;
    Leaf.SetPosition(TPagePos::Second, 1);
    EXPECT_TRUE(Leaf.NextKeyInBitmap(bitmap, count));
    EXPECT_EQ(Leaf.Position(TPagePos::Second), 3);
    EXPECT_EQ(count, 2);
    EXPECT_TRUE(Leaf.NextKeyInBitmap(bitmap, count));
    EXPECT_EQ(Leaf.Position(TPagePos::Second), 5);
    EXPECT_FALSE(Leaf.NextKeyInBitmap(bitmap, count));
    EXPECT_EQ(count, 4);
    EXPECT_TRUE(Leaf.PriorKeyInBitmap(bitmap, count));
    EXPECT_EQ(Leaf.Position(TPagePos::Second), 3);
    EXPECT_FALSE(Leaf.PriorKeyInBitmap(bitmap, count));
    // Bounded: the entry above 35 ends the walk before record 8.
    Leaf.SetPosition(TPagePos::Second, 3);
    EXPECT_FALSE(Leaf.NextKeyInBitmapBounded(&Cursor, bitmap, Bytes(IntKey(35, 4)), count));
    EXPECT_EQ(Leaf.Position(TPagePos::Second), 4);
    Leaf.SetPosition(TPagePos::Second, 5);
    EXPECT_FALSE(Leaf.PriorKeyInBitmapBounded(&Cursor, bitmap, Bytes(IntKey(45, 4)), count));
    EXPECT_EQ(Leaf.Position(TPagePos::Second), 4);
    Leaf.SetPosition(TPagePos::Second, 5);
    EXPECT_TRUE(Leaf.PriorKeyInBitmapBounded(&Cursor, bitmap, Bytes(IntKey(25, 4)), count));
    EXPECT_EQ(Leaf.Position(TPagePos::Second), 3);

    TRecordsBitmap marks;
    marks.SetRecordCount(10);
    Leaf.SetPosition(TPagePos::Second, 2);
    EXPECT_FALSE(Leaf.MarkKeysInBitmap(&Cursor, marks, Bytes(IntKey(35, 4))));
    EXPECT_EQ(marks.Count(), 2);
    EXPECT_TRUE(marks.GetBit(2) && marks.GetBit(3));
    Leaf.SetPosition(TPagePos::Second, 2);
    EXPECT_TRUE(Leaf.MarkKeysInBitmap(&Cursor, marks, Bytes(IntKey(99, 4))));
    EXPECT_EQ(marks.Count(), 4);

    // Records 1, 2, 3, 5, 8: runs of consecutive numbers.
    Leaf.SetPosition(TPagePos::First, 1);
    EXPECT_EQ(Leaf.CountRecordRun(10, 1), 2u);
    EXPECT_EQ(Leaf.CountRecordRun(1, 1), 1u);
    Leaf.SetPosition(TPagePos::First, 3);
    EXPECT_EQ(Leaf.CountRecordRun(10, -1), 2u);
    Leaf.SetPosition(TPagePos::First, 4);
    EXPECT_EQ(Leaf.CountRecordRun(10, 1), 0u);
}
