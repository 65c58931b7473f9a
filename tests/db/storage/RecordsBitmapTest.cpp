#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <random>
#include <set>
#include <vector>

#include "db/storage/EngineErrors.h"
#include "db/storage/RecordsBitmap.h"

namespace {

void Mark(TRecordsBitmap& bm, std::initializer_list<int32_t> recs) {
    for (int32_t r : recs) bm.SetBit(r);
}

TEST(RecordsBitmap, LayoutAndSizing) {
    TRecordsBitmap bm;
    EXPECT_EQ(bm.BufferCapacity(), 0);
    bm.SetRecordCount(33);
    EXPECT_EQ(bm.BitCount(), 64);
    EXPECT_EQ(bm.WordCount(), 2);
    EXPECT_EQ(bm.BufferCapacity(), 1024);
    bm.SetBit(33);
    bm.SetBit(1);
    bm.SetBit(32);
    EXPECT_EQ(bm.Words()[0], 0x80000001u);
    EXPECT_EQ(bm.Words()[1], 1u);  // record 33 is bit 0 of the second word
    EXPECT_TRUE(bm.GetBit(33));
    bm.ClearBit(33);
    EXPECT_FALSE(bm.GetBit(33));
    bm.SetRecordCount(8193);  // past 1024 bytes: the next 1024-byte step
    EXPECT_EQ(bm.BufferCapacity(), 2048);
    EXPECT_TRUE(bm.GetBit(32));  // bits kept
    bm.SetRecordCount(10);
    EXPECT_EQ(bm.BufferCapacity(), 2048);  // never shrinks
}

// A table's view meets a heap that runs out as its bitmaps grow (a cursor opened while memory
// is short, say): the error reaches the caller and the bitmap stays as it was, so that the
// cursor's clean-up counts it safely.
TEST(RecordsBitmap, AGrowthTheHeapRefusesLeavesTheBitmapAsItWas) {
    TRecordsBitmap bm;
    bm.SetRecordCount(100);
    Mark(bm, {1, 50, 100});
    EXPECT_EQ(bm.Count(), 3);
    SetHeapRefusal([](int32_t) { return true; });
    for (int32_t grown : {10000, 100000}) {
        try {
            grown == 10000 ? bm.Extend(grown) : bm.SetRecordCount(grown);
            ADD_FAILURE() << "the heap gave " << grown << " records' room";
        } catch (const EZIZIVUEngineError& e) {
            EXPECT_EQ(e.ErrorCode(), ZIZIVU_OSNOMEMORY);
        }
        EXPECT_EQ(bm.RecordCount(), 100);
        EXPECT_EQ(bm.WordCount(), 4);
        EXPECT_EQ(bm.Count(), 3);
    }
    SetHeapRefusal(nullptr);
    bm.Extend(100000);
    EXPECT_EQ(bm.RecordCount(), 100000);
    EXPECT_EQ(bm.Count(), 3);
}

TEST(RecordsBitmap, CountIgnoresSpareBits) {
    TRecordsBitmap bm;
    bm.SetRecordCount(70);
    bm.SetAll();
    EXPECT_EQ(bm.Count(), 70);
    bm.ClearAll();
    EXPECT_EQ(bm.Count(), 0);
    Mark(bm, {2, 40, 70});
    bm.NotBitmap();  // spare bits 71..96 become set
    EXPECT_EQ(bm.Count(), 67);
    EXPECT_FALSE(bm.GetBit(40));
    EXPECT_TRUE(bm.GetBit(71));
    // Records covered anew start unmarked, in the word of the old end and past it.
    bm.Extend(72);
    EXPECT_EQ(bm.Count(), 67);
    bm.Extend(200);
    EXPECT_EQ(bm.Count(), 67);
    EXPECT_FALSE(bm.GetBit(97));
    bm.Extend(10);  // never shrinks
    EXPECT_EQ(bm.RecordCount(), 200);
}

struct CountBeforeCase {
    int32_t n;
    int32_t expected;
};

TEST(RecordsBitmap, CountBefore) {
    TRecordsBitmap bm;
    bm.SetRecordCount(200);
    for (int32_t r = 33; r <= 96; ++r) bm.SetBit(r);  // two full words
    Mark(bm, {1, 5, 150, 200});
    const CountBeforeCase cases[] = {{-3, 0},  {1, 0},   {2, 1},    {6, 2},    {33, 2},   {34, 3},
                                     {97, 66}, {98, 66}, {151, 67}, {200, 67}, {201, 68}, {500, 68}};
    for (const auto& c : cases) EXPECT_EQ(bm.CountBefore(c.n), c.expected) << c.n;
}

struct FindCase {
    const char* name;
    bool forward;
    int32_t start;
    int32_t n;
    bool result;
    int32_t position;
    int32_t ordinalDelta;
};

TEST(RecordsBitmap, FindNextAndPriorWithOrdinals) {
    TRecordsBitmap all;
    all.SetRecordCount(100);
    all.SetAll();
    TRecordsBitmap sparse;
    sparse.SetRecordCount(100);
    Mark(sparse, {3, 7, 64, 65, 100});

    const FindCase onAll[] = {
        {"next 64 from 0", true, 0, 64, true, 64, 64},
        {"next 101 from 0", true, 0, 101, false, 100, 100},
        {"next 1 from 99", true, 99, 1, true, 100, 1},
        {"next from the end", true, 100, 1, false, 100, 0},
        {"next 33 from 10", true, 10, 33, true, 43, 33},
        {"prior from 1", false, 1, 1, false, 1, 0},
        {"prior 64 from 101", false, 101, 64, true, 37, -64},
        {"prior 100 from 101", false, 101, 100, true, 1, -100},
    };
    for (const auto& c : onAll) {
        int32_t pos = c.start, ord = 1000;
        bool r = c.forward ? all.FindNext(pos, c.n, ord) : all.FindPrior(pos, c.n, ord);
        EXPECT_EQ(r, c.result) << c.name;
        EXPECT_EQ(pos, c.position) << c.name;
        EXPECT_EQ(ord, 1000 + c.ordinalDelta) << c.name;
    }
    const FindCase onSparse[] = {
        {"prior 2 from 10", false, 10, 2, true, 3, -2}, {"prior 3 from 10", false, 10, 3, false, 3, -2},
        {"next 1 from 7", true, 7, 1, true, 64, 1},     {"next 3 from 0", true, 0, 3, true, 64, 3},
        {"next 9 from 0", true, 0, 9, false, 100, 5},   {"prior 2 from 100", false, 100, 2, true, 64, -2},
    };
    for (const auto& c : onSparse) {
        int32_t pos = c.start, ord = 1000;
        bool r = c.forward ? sparse.FindNext(pos, c.n, ord) : sparse.FindPrior(pos, c.n, ord);
        EXPECT_EQ(r, c.result) << c.name;
        EXPECT_EQ(pos, c.position) << c.name;
        EXPECT_EQ(ord, 1000 + c.ordinalDelta) << c.name;
    }
}

TEST(RecordsBitmap, FindDoesNotStepOntoSpareBits) {
    TRecordsBitmap bm;
    bm.SetRecordCount(40);
    bm.NotBitmap();  // records 1..40 and spare bits 41..64 set
    int32_t pos = 0, ord = 0;
    EXPECT_FALSE(bm.FindNext(pos, 41, ord));
    EXPECT_EQ(pos, 40);
    EXPECT_EQ(ord, 40);
    pos = 41;
    ord = 0;
    EXPECT_TRUE(bm.FindPrior(pos, 1, ord));
    EXPECT_EQ(pos, 40);
}

TEST(RecordsBitmap, AndOrNotAssign) {
    TRecordsBitmap a, b;
    a.SetRecordCount(64);
    b.SetRecordCount(64);
    Mark(a, {1, 2, 3, 40});
    Mark(b, {2, 3, 4, 63});
    TRecordsBitmap c;
    c.Assign(a);
    EXPECT_EQ(c.RecordCount(), 64);
    EXPECT_EQ(c.BufferCapacity(), a.BufferCapacity());
    c.AndBitmap(b);
    std::set<int32_t> got;
    for (int32_t r = 1; r <= 64; ++r)
        if (c.GetBit(r)) got.insert(r);
    EXPECT_EQ(got, (std::set<int32_t>{2, 3}));
    c.Assign(a);
    c.OrBitmap(b);
    EXPECT_EQ(c.Count(), 6);
    c.NotBitmap();
    EXPECT_EQ(c.Count(), 58);
    EXPECT_TRUE(a.GetBit(40));  // the source is untouched
}

TEST(RecordsBitmap, ShorterSecondBitmapCountsAsUnmarked) {
    // The longer bitmap spans more than the shorter one's whole buffer.
    for (bool useAnd : {true, false}) {
        TRecordsBitmap shortOne, longOne;
        shortOne.SetRecordCount(40);
        shortOne.SetAll();  // spare bits and the unused buffer are all ones
        longOne.SetRecordCount(20000);
        longOne.SetBit(3);
        longOne.SetBit(41);
        longOne.SetBit(19999);
        if (useAnd) {
            longOne.AndBitmap(shortOne);
            EXPECT_EQ(longOne.Count(), 1);
            EXPECT_TRUE(longOne.GetBit(3));
        } else {
            longOne.OrBitmap(shortOne);
            EXPECT_EQ(longOne.Count(), 42);  // records 1..40, 41 and 19999
            EXPECT_TRUE(longOne.GetBit(19999));
        }
        TRecordsBitmap empty;
        empty.SetRecordCount(0);
        if (useAnd) {
            longOne.AndBitmap(empty);
            EXPECT_EQ(longOne.Count(), 0);
        } else {
            longOne.OrBitmap(empty);
            EXPECT_EQ(longOne.Count(), 42);
        }
    }
}

TEST(RecordsBitmapStack, PoppedBitmapsHaveNoBitSet) {
    TRecordsBitmapStack pool;
    TRecordsBitmap* bm = pool.Pop();
    EXPECT_EQ(bm->RecordCount(), 0);
    bm->SetRecordCount(500);
    bm->SetAll();
    TRecordsBitmap* same = bm;
    pool.Push(bm);
    EXPECT_EQ(bm, nullptr);
    bm = pool.Pop();
    EXPECT_EQ(bm, same);
    EXPECT_EQ(bm->RecordCount(), 500);  // kept from its previous use
    EXPECT_EQ(bm->Count(), 0);
    pool.Push(bm);
}

// A plain model of the bitmap: every word of the buffer, each operation over all of them.
struct TBitmapModel {
    std::vector<uint32_t> words;
    int32_t records = 0;

    int32_t WordCount() const { return (records + 31) / 32; }
    bool Bit(int32_t r) const { return (words[size_t((r - 1) / 32)] >> ((r - 1) % 32)) & 1; }
    void Mark(int32_t r, bool on) {
        uint32_t& w = words[size_t((r - 1) / 32)];
        w = on ? w | 1u << ((r - 1) % 32) : w & ~(1u << ((r - 1) % 32));
    }
    void Size(int32_t n) {
        records = n;
        const size_t bytes = size_t(WordCount()) * 4;
        const size_t capacity = (bytes + 1023) / 1024 * 1024;
        if (capacity > words.size() * 4) words.resize(capacity / 4, 0);
    }
    uint32_t Covered(int32_t w) const {
        if (w >= WordCount()) return 0;
        const int32_t spare = WordCount() * 32 - records;
        return spare > 0 && w == WordCount() - 1 ? words[size_t(w)] & (~0u >> spare) : words[size_t(w)];
    }
    int32_t Count() const {
        int32_t total = 0;
        for (int32_t r = 1; r <= records; ++r) total += Bit(r);
        return total;
    }
};

// Words outside the marked span are skipped by every operation: the results must stay those
// of a walk over the whole buffer, for sparse, full, inverted and regrown bitmaps alike.
TEST(RecordsBitmap, OperationsMatchWholeBufferModel) {
    std::mt19937 random(35);
    TRecordsBitmap bits[2];
    TBitmapModel model[2];
    auto pick = [&](int32_t n) { return int32_t(random() % uint32_t(n)); };
    for (int32_t step = 0; step < 1500; ++step) {
        const int32_t i = pick(2);
        TRecordsBitmap& b = bits[i];
        TBitmapModel& m = model[i];
        const int32_t op = b.RecordCount() == 0 ? 0 : pick(11);
        switch (op) {
            case 0: {
                const int32_t n = m.records + 1 + pick(3000);
                b.SetRecordCount(n);
                m.Size(n);
                break;
            }
            case 1: {
                const int32_t n = m.records + pick(200);
                b.Extend(n);
                if (n > m.records) {
                    const int32_t old = m.records;
                    m.Size(n);
                    for (int32_t r = old + 1; r <= m.WordCount() * 32; ++r) m.Mark(r, false);
                }
                break;
            }
            case 2:
            case 3:
                for (int32_t k = pick(40); k >= 0; --k) {
                    const int32_t r = 1 + pick(m.records);
                    b.SetBit(r);
                    m.Mark(r, true);
                }
                break;
            case 4: {
                const int32_t r = 1 + pick(m.records);
                b.ClearBit(r);
                m.Mark(r, false);
                break;
            }
            case 5:
                b.AndBitmap(bits[1 - i]);
                for (int32_t w = 0; w < m.WordCount(); ++w) m.words[size_t(w)] &= model[1 - i].Covered(w);
                break;
            case 6:
                b.OrBitmap(bits[1 - i]);
                for (int32_t w = 0; w < m.WordCount(); ++w) m.words[size_t(w)] |= model[1 - i].Covered(w);
                break;
            case 7:
                b.NotBitmap();
                for (int32_t w = 0; w < m.WordCount(); ++w) m.words[size_t(w)] = ~m.words[size_t(w)];
                break;
            case 8:
                if (pick(2)) {
                    b.ClearAll();
                    std::fill(m.words.begin(), m.words.end(), 0u);
                } else {
                    b.SetAll();
                    std::fill(m.words.begin(), m.words.end(), ~0u);
                }
                break;
            case 9: {
                const TBitmapModel& from = model[1 - i];
                b.Assign(bits[1 - i]);
                if (from.words.size() > m.words.size()) m.words.resize(from.words.size(), 0);
                std::copy(from.words.begin(), from.words.end(), m.words.begin());
                m.records = from.records;
                break;
            }
            case 10: {
                // The other bitmap's copy and this one's old words ANDed in.
                TRecordsBitmap old;
                old.Assign(b);
                const TBitmapModel was = m;
                b.AssignAnd(bits[1 - i], old);
                const TBitmapModel& from = model[1 - i];
                if (from.words.size() > m.words.size()) m.words.resize(from.words.size(), 0);
                std::copy(from.words.begin(), from.words.end(), m.words.begin());
                m.records = from.records;
                for (int32_t w = 0; w < m.WordCount(); ++w) m.words[size_t(w)] &= was.Covered(w);
                break;
            }
        }
        ASSERT_EQ(size_t(b.BufferCapacity()), m.words.size() * 4) << step;
        ASSERT_TRUE(std::equal(m.words.begin(), m.words.end(), b.Words())) << step << " op " << op;
        ASSERT_EQ(b.Count(), m.Count()) << step;
        // Walks from a random place, as the cursor takes them.
        const int32_t from = pick(m.records + 2);
        int32_t expectNext = 0, expectPrior = 0;
        for (int32_t r = from + 1; r <= m.records && !expectNext; ++r)
            if (m.Bit(r)) expectNext = r;
        for (int32_t r = std::min(from - 1, m.records); r >= 1 && !expectPrior; --r)
            if (m.Bit(r)) expectPrior = r;
        int32_t before = 0;
        for (int32_t r = 1; r < from && r <= m.records; ++r) before += m.Bit(r) ? 1 : 0;
        ASSERT_EQ(b.CountBefore(from), before) << step;
        int32_t position = from, ordinal = 0;
        ASSERT_EQ(b.FindNext(position, 1, ordinal), expectNext != 0) << step;
        if (expectNext) {
            ASSERT_EQ(position, expectNext) << step;
        }
        position = from;
        ASSERT_EQ(b.FindPrior(position, 1, ordinal), expectPrior != 0) << step;
        if (expectPrior) {
            ASSERT_EQ(position, expectPrior) << step;
        }
    }
}

}  // namespace
