// Cursor keys, searches, ranges, moves, record numbers and bookmarks.
#include "db/engine/DataTable.h"
#include "db/storage/RecordsBitmap.h"
#include "tests/db/engine/CursorFakes.h"

namespace cursor_test {
namespace {

class CursorNavigationTest : public CursorTest {
protected:
    // ID (row id), NAME, AGE; ByName unique, ByAge and AgeDown not unique (AgeDown
    // descending), ByMixed: AGE descending per field then NAME.
    void SetUp() override {
        CursorTest::SetUp();
        TIndexDescriptor mixed = Index("ByMixed", {3, 2});
        mixed.FieldOptions[0] = 1;
        Create("PEOPLE",
               {MakeField(1, "ID", dtInteger, 0, fstAutoInc), MakeField(2, "NAME", dtString, 20),
                MakeField(3, "AGE", dtInteger)},
               {Index("", {1}), Index("ByName", {2}), Index("ByAge", {3}, false),
                Index("AgeDown", {3}, false, true), mixed});
        TDataCursor& c = OpenCursor("PEOPLE");
        const struct {
            const char* name;
            int32_t age;
        } rows[] = {{"carol", 40}, {"alice", 30}, {"bob", 30}, {"dave", 25}, {"alfred", 30}, {"eve", 50}};
        for (const auto& row : rows) {
            std::vector<uint8_t> r = Buffer(c);
            PutStr(c, r, 2, row.name);
            PutInt(c, r, 3, row.age);
            c.InsertRecord(r.data());
        }
        c.Close();
    }

    std::string Current(TDataCursor& c) {
        std::vector<uint8_t> r(size_t(c.GetRecordSize()));
        if (c.GetCurrentRecord(r.data(), false) != 0) return "<none>";
        return GetStr(c, r, 2);
    }
    std::vector<uint8_t> Probe(TDataCursor& c, const char* name, int32_t age = 0) {
        std::vector<uint8_t> r(size_t(c.GetRecordSize()));
        c.ClearRecordBuffer(r.data());
        if (name) PutStr(c, r, 2, name);
        if (age) PutInt(c, r, 3, age);
        return r;
    }
};

TEST_F(CursorNavigationTest, EveryIndexGivesItsOrder) {
    TDataCursor& c = OpenCursor("PEOPLE");
    const struct {
        const char* index;
        std::vector<std::string> names;
    } orders[] = {
        {"", {"carol", "alice", "bob", "dave", "alfred", "eve"}},
        {"byname", {"alfred", "alice", "bob", "carol", "dave", "eve"}},
        // Duplicates in row-id order; descending: the row ids descend too.
        {"ByAge", {"dave", "alice", "bob", "alfred", "carol", "eve"}},
        {"AgeDown", {"eve", "carol", "alfred", "bob", "alice", "dave"}},
        {"ByMixed", {"eve", "carol", "alfred", "alice", "bob", "dave"}},
    };
    for (const auto& o : orders) {
        c.SwitchToIndex(o.index);
        EXPECT_EQ(Names(c), o.names) << o.index;
        EXPECT_EQ(c.GetRecordCount(), 6);
    }
    EXPECT_EQ(RaisedCode([&] { c.SwitchToIndex("Nope"); }), ZIZIVU_INVALIDINDEXNAME);
}

TEST_F(CursorNavigationTest, FindKeyExactPartialAndNearest) {
    TDataCursor& c = OpenCursor("PEOPLE");
    c.SwitchToIndex("ByName");
    EXPECT_TRUE(c.FindKey(Probe(c, "bob").data(), false, nullptr, 0, false, 0));
    EXPECT_EQ(Current(c), "bob");
    EXPECT_EQ(c.GetRecNo(), 3);
    // Partial: the first name beginning with "al" in index order.
    EXPECT_TRUE(c.FindKey(Probe(c, "al").data(), false, nullptr, 2, false, 0));
    EXPECT_EQ(Current(c), "alfred");
    EXPECT_FALSE(c.FindKey(Probe(c, "az").data(), false, nullptr, 2, false, 0));
    // Nearest: the first key not below.
    EXPECT_FALSE(c.FindKey(Probe(c, "bz").data(), false, nullptr, 0, true, 0));
    EXPECT_EQ(Current(c), "carol");
    // Beyond the last key: put on the last record.
    EXPECT_FALSE(c.FindKey(Probe(c, "zz").data(), false, nullptr, 0, true, 0));
    EXPECT_EQ(Current(c), "eve");
    // An exact search that misses leaves the cursor where it was, on a record or after
    // the last; the seek underneath moves only when asked for the nearest key.
    EXPECT_TRUE(c.FindKey(Probe(c, "bob").data(), false, nullptr, 0, false, 0));
    EXPECT_FALSE(c.FindKey(Probe(c, "bz").data(), false, nullptr, 0, false, 0));
    EXPECT_EQ(Current(c), "bob");
    EXPECT_EQ(c.GetRecNo(), 3);
    c.Last();
    EXPECT_FALSE(c.FindKey(Probe(c, "zz").data(), false, nullptr, 0, false, 0));
    EXPECT_TRUE(c.Eof() && !c.Bof());
    std::vector<uint8_t> key(KeyBufferSize);
    c.BuildKey(Probe(c, "bz").data(), key.data());
    c.First();
    c.Skip(1);
    EXPECT_FALSE(c.SeekKey(key.data(), false));
    EXPECT_EQ(Current(c), "alfred");
    EXPECT_FALSE(c.SeekKey(key.data(), true));
    EXPECT_EQ(Current(c), "carol");

    // Duplicates: the lowest row id among them.
    c.SwitchToIndex("ByAge");
    std::vector<uint8_t> found(size_t(c.GetRecordSize()));
    EXPECT_TRUE(c.FindKey(Probe(c, nullptr, 30).data(), false, found.data(), 0, false, 0));
    EXPECT_EQ(GetStr(c, found, 2), "alice");
    EXPECT_FALSE(c.FindKey(Probe(c, nullptr, 31).data(), false, nullptr, 0, false, 0));
    c.SwitchToIndex("AgeDown");
    EXPECT_TRUE(c.FindKey(Probe(c, nullptr, 30).data(), false, nullptr, 0, false, 0));
    EXPECT_EQ(Current(c), "alfred");  // the first of the three in descending order
    // First field of two given.
    c.SwitchToIndex("ByMixed");
    EXPECT_TRUE(c.FindKey(Probe(c, nullptr, 30).data(), false, nullptr, 0, false, 1));
    EXPECT_EQ(Current(c), "alfred");
}

// In index order a keyed jump reads its record alone; a step reads the records the leaf
// holds next with following numbers, in the step's direction and within the view.
TEST_F(CursorNavigationTest, IndexOrderReadsAheadAlongTheLeaf) {
    TDataCursor& c = OpenCursor("PEOPLE");  // primary index: records 1..6 in key order
    TDataFile* data = c.Table()->DataFile();
    std::vector<uint8_t> r(size_t(c.GetRecordSize()));
    auto cached = [&] {
        std::vector<uint32_t> out;
        for (uint32_t n = 1; n <= 6; ++n)
            if (data->CachedRecord(n)) out.push_back(n);
        return out;
    };
    std::vector<uint8_t> probe(size_t(c.GetRecordSize()));
    c.ClearRecordBuffer(probe.data());
    PutInt(c, probe, 1, 2);
    data->ClearRecordCache();
    ASSERT_TRUE(c.FindKey(probe.data(), false, r.data(), 0, false, 0));
    EXPECT_EQ(cached(), (std::vector<uint32_t>{2}));
    EXPECT_EQ(GetStr(c, r, 2), "alice");
    ASSERT_EQ(c.GetNextRecord(r.data()), 0);
    EXPECT_EQ(GetStr(c, r, 2), "bob");
    EXPECT_EQ(cached(), (std::vector<uint32_t>{2, 3, 4, 5, 6}));

    std::vector<uint8_t> hi = probe;
    PutInt(c, hi, 1, 4);
    c.SetRange(false, probe.data(), 1, hi.data(), 1);
    data->ClearRecordCache();
    c.First();
    ASSERT_EQ(c.GetNextRecord(r.data()), 0);
    EXPECT_EQ(cached(), (std::vector<uint32_t>{2, 3, 4}));

    c.CancelRange();
    data->ClearRecordCache();
    c.Last();
    ASSERT_EQ(c.GetPriorRecord(r.data()), 0);
    EXPECT_EQ(GetStr(c, r, 2), "eve");
    EXPECT_EQ(cached(), (std::vector<uint32_t>{1, 2, 3, 4, 5, 6}));
}

TEST_F(CursorNavigationTest, RangesByOrdinalBounds) {
    TDataCursor& c = OpenCursor("PEOPLE");
    c.SwitchToIndex("ByAge");
    auto lo = Probe(c, nullptr, 30), hi = Probe(c, nullptr, 40);
    c.SetRange(false, lo.data(), 1, hi.data(), 1);
    EXPECT_EQ(c.GetRecordCount(), 4);
    EXPECT_EQ(Names(c), (std::vector<std::string>{"alice", "bob", "alfred", "carol"}));
    c.First();
    c.Skip(1);
    EXPECT_EQ(c.GetRecNo(), 1);  // the range starts at ordinal 2 of the index
    c.MoveToRecNo(4);
    EXPECT_EQ(Current(c), "carol");
    c.Skip(1);
    EXPECT_TRUE(c.Eof());
    c.MoveToRecNo(5);
    EXPECT_TRUE(c.Eof() && !c.Bof());
    // Start above end: empty.
    c.SetRange(false, hi.data(), 1, lo.data(), 1);
    EXPECT_EQ(c.GetRecordCount(), 0);
    EXPECT_TRUE(c.Bof() && c.Eof());
    std::vector<uint8_t> r(size_t(c.GetRecordSize()));
    EXPECT_EQ(c.GetCurrentRecord(r.data(), false), ZIZIVU_NOCURRREC);
    c.CancelRange();
    EXPECT_EQ(c.GetRecordCount(), 6);

    // A descending index fills high at the start and low at the end.
    c.SwitchToIndex("AgeDown");
    c.SetRange(false, hi.data(), 1, lo.data(), 1);
    EXPECT_EQ(Names(c), (std::vector<std::string>{"carol", "alfred", "bob", "alice"}));
    // All fields of a unique index given: the bounds are exact keys ("bob" is above "b").
    c.SwitchToIndex("ByName");
    auto a = Probe(c, "a"), b = Probe(c, "b");
    c.SetRange(false, a.data(), 1, b.data(), 1);
    EXPECT_EQ(Names(c), (std::vector<std::string>{"alfred", "alice"}));
    // Selecting the active index again keeps the range and the record; another drops it.
    c.First();
    c.Skip(2);
    c.SwitchToIndex("BYNAME");
    EXPECT_EQ(c.GetRecordCount(), 2);
    EXPECT_EQ(Current(c), "alice");
    c.SwitchToIndexNumber(c.ActiveIndex());
    EXPECT_TRUE(c.RangeActive());
    EXPECT_EQ(Names(c), (std::vector<std::string>{"alfred", "alice"}));
    c.SwitchToIndex("ByAge");
    EXPECT_FALSE(c.RangeActive());
    EXPECT_EQ(c.GetRecordCount(), 6);
}

TEST_F(CursorNavigationTest, MovesAtTheEndsAndRecordNumbers) {
    TDataCursor& c = OpenCursor("PEOPLE");
    c.SwitchToIndex("ByName");
    c.First();
    EXPECT_TRUE(c.Bof());
    EXPECT_EQ(c.GetRecNo(), 0);
    std::vector<uint8_t> r(size_t(c.GetRecordSize()));
    EXPECT_EQ(c.GetPriorRecord(r.data()), ZIZIVU_BOF);
    c.Skip(3);
    EXPECT_EQ(Current(c), "bob");
    c.Skip(0);
    EXPECT_EQ(Current(c), "bob");
    c.Skip(10);
    EXPECT_TRUE(c.Eof());
    EXPECT_EQ(c.GetNextRecord(r.data()), ZIZIVU_EOF);
    EXPECT_EQ(c.GetPriorRecord(r.data()), 0);
    EXPECT_EQ(GetStr(c, r, 2), "eve");
    c.Last();
    c.Skip(-6);
    EXPECT_EQ(Current(c), "alfred");
    c.Skip(-1);
    EXPECT_TRUE(c.Bof());
    EXPECT_EQ(c.GetCurrentRecord(r.data(), false), ZIZIVU_BOF);
    c.MoveToRecNo(2);
    EXPECT_EQ(Current(c), "alice");
    EXPECT_EQ(c.GetRecNo(), 2);
}

TEST_F(CursorNavigationTest, BookmarksInBothOrders) {
    TDataCursor& c = OpenCursor("PEOPLE");
    c.SwitchToIndex("ByAge");
    EXPECT_EQ(c.GetBookmarkSize(), 5 + 4);
    c.MoveToRecNo(3);
    std::vector<uint8_t> mark(size_t(c.GetBookmarkSize()));
    c.GetBookmark(mark.data());
    std::vector<uint8_t> other(mark.size());
    c.MoveToRecNo(5);
    c.GetBookmark(other.data());
    EXPECT_EQ(c.CompareBookmarks(mark.data(), other.data()), -1);
    EXPECT_TRUE(c.GotoBookmark(mark.data(), false));
    EXPECT_EQ(Current(c), "bob");

    c.SwitchToIndexNumber(RecordNumberOrderIndex);
    EXPECT_EQ(Current(c), "bob");  // the index switch keeps the record
    EXPECT_EQ(c.GetRecNo(), 3);
    EXPECT_EQ(c.GetBookmarkSize(), 4);
    std::vector<uint8_t> rec(4);
    c.GetBookmark(rec.data());
    EXPECT_EQ(bytes::GetU32(rec.data()), 3u);
    c.First();
    EXPECT_TRUE(c.GotoBookmark(rec.data(), false));
    EXPECT_EQ(Current(c), "bob");

    TDataCursor& second = OpenCursor("PEOPLE");
    second.SwitchToIndex("ByName");
    EXPECT_EQ(second.GotoCursorRecord(c), 0);
    EXPECT_EQ(Current(second), "bob");
    auto lo = Probe(second, "c");
    second.SetRange(false, lo.data(), 1, nullptr, 0);
    second.CancelRange();
    second.SetRange(false, lo.data(), 1, Probe(second, "z").data(), 1);
    EXPECT_EQ(second.GotoCursorRecord(c), ZIZIVU_RECNOTFOUND);
}

TEST_F(CursorNavigationTest, RecordNumberOrderWalksLiveRecords) {
    TDataCursor& c = NewCursor("PEOPLE");
    c.SetRecordNumberOrder(true);
    c.Open();
    EXPECT_TRUE(c.IsRecordNumberOrder());
    EXPECT_EQ(Names(c), (std::vector<std::string>{"carol", "alice", "bob", "dave", "alfred", "eve"}));
    c.MoveToRecNo(2);
    c.DeleteRecord();
    EXPECT_EQ(Current(c), "bob");
    EXPECT_EQ(c.GetRecNo(), 2);
    EXPECT_EQ(c.GetRecordCount(), 5);
    EXPECT_EQ(Names(c), (std::vector<std::string>{"carol", "bob", "dave", "alfred", "eve"}));
    c.SetRecordNumberPosition(2);  // deleted: the next live one
    EXPECT_EQ(Current(c), "bob");
    c.Last();
    c.Skip(-1);
    EXPECT_EQ(Current(c), "eve");
    EXPECT_EQ(c.GetRecNo(), 5);
}

TEST_F(CursorNavigationTest, LanguageComparesTextThroughTheLocale) {
    TCreateTableOptions o;
    o.Language = 0x0409;
    Create("WORDS", {MakeField(1, "W", dtString, 10)}, {Index("", {1}), Index("Down", {1}, false, true)}, o);
    TDataCursor& c = OpenCursor("WORDS");
    for (const char* w : {"b", "B", "a", "C"}) {
        std::vector<uint8_t> r = Buffer(c);
        PutStr(c, r, 1, w);
        c.InsertRecord(r.data());
    }
    std::vector<std::string> up, down;
    std::vector<uint8_t> r(size_t(c.GetRecordSize()));
    c.First();
    while (c.GetNextRecord(r.data()) == 0) up.push_back(GetStr(c, r, 1));
    EXPECT_EQ(up, (std::vector<std::string>{"a", "b", "B", "C"}));
    c.SwitchToIndex("Down");
    c.First();
    while (c.GetNextRecord(r.data()) == 0) down.push_back(GetStr(c, r, 1));
    EXPECT_EQ(down, (std::vector<std::string>{"C", "B", "b", "a"}));
}

// Under a locale the keys beginning with some characters are no single run of the index:
// "smith" sorts before "Smith" and among the keys beginning with "S", and a key equal to
// the characters themselves sorts before any filled search key.
TEST_F(CursorNavigationTest, PartialSearchUnderALocaleFindsTheFirstKeyWithThoseCharacters) {
    TCreateTableOptions o;
    o.Language = 0x0409;
    Create("NAMES", {MakeField(1, "ID", dtInteger, 0, fstAutoInc), MakeField(2, "W", dtString, 10)},
           {Index("", {1}), Index("Up", {2}, false), Index("Down", {2}, false, true)}, o);
    TDataCursor& c = OpenCursor("NAMES");
    for (const char* w : {"a", "A", "Ab", "b", "bm", "bma", "smith", "Smith", "Smyth"}) {
        std::vector<uint8_t> r = Buffer(c);
        PutStr(c, r, 2, w);
        c.InsertRecord(r.data());
    }
    auto find = [&](const char* text) {
        std::vector<uint8_t> r = Buffer(c);
        PutStr(c, r, 2, text);
        if (!c.FindKey(r.data(), false, nullptr, int32_t(std::strlen(text)), false, 0))
            return std::string("-");
        std::vector<uint8_t> cur(size_t(c.GetRecordSize()));
        c.GetCurrentRecord(cur.data(), false);
        return GetStr(c, cur, 2);
    };
    const struct {
        const char* index;
        const char* text;
        const char* found;
    } cases[] = {
        {"Up", "A", "A"},      {"Up", "a", "a"},       {"Up", "bm", "bm"},     {"Up", "b", "b"},
        {"Up", "Sm", "Smith"}, {"Up", "Smy", "Smyth"}, {"Up", "B", "-"},       {"Up", "Smz", "-"},
        {"Down", "a", "a"},    {"Down", "A", "Ab"},    {"Down", "s", "smith"}, {"Down", "Sm", "Smyth"},
        {"Down", "bm", "bma"}, {"Down", "c", "-"},
    };
    for (const auto& k : cases) {
        c.SwitchToIndex(k.index);
        EXPECT_EQ(find(k.text), k.found) << k.index << " " << k.text;
    }
}

}  // namespace
}  // namespace cursor_test

namespace cursor_test {
namespace {

// A filter that keeps the records whose AGE is at least a bound.
class TAgeFilter : public TCursorFilter {
public:
    TAgeFilter(TDataCursor& c, int32_t minAge) : FCursor(c), FMin(minAge) {}
    bool IsActive() const override { return true; }
    void BuildResult(const TRecordsBitmap& candidates, bool&) override {
        FResult.SetRecordCount(candidates.RecordCount());
        FResult.ClearAll();
        for (int32_t n = 1; n <= candidates.RecordCount(); ++n)
            if (candidates.GetBit(n) && Keeps(FCursor.Table()->DataFile()->CachedRecord(uint32_t(n)), n))
                FResult.SetBit(n);
    }
    void CheckRecord(uint32_t recordNo, const uint8_t* record) override {
        if (FResult.RecordCount() < int32_t(recordNo)) FResult.SetRecordCount(int32_t(recordNo));
        if (Age(record) >= FMin)
            FResult.SetBit(int32_t(recordNo));
        else
            FResult.ClearBit(int32_t(recordNo));
    }
    void ClearRecord(uint32_t recordNo) override {
        if (int32_t(recordNo) <= FResult.RecordCount()) FResult.ClearBit(int32_t(recordNo));
    }
    const TRecordsBitmap& Result() const override { return FResult; }

private:
    int32_t Age(const uint8_t* record) const {
        return bytes::GetI32(record + FCursor.GetFieldDefinition(3).Offset + 1);
    }
    bool Keeps(TRecord* cached, int32_t) const { return cached && Age(cached->GetBuffer()) >= FMin; }

    TDataCursor& FCursor;
    int32_t FMin;
    TRecordsBitmap FResult;
};

TEST_F(CursorNavigationTest, FilteredViewsWalkOnlyVisibleRecords) {
    TDataCursor& c = OpenCursor("PEOPLE");
    // Every record cached, so that the fake filter can look at them.
    EXPECT_EQ(Names(c).size(), 6u);
    c.Filters().push_back(std::make_unique<TAgeFilter>(c, 30));
    c.UpdateFilterState();
    c.ResetView();
    c.SwitchToIndex("ByName");
    EXPECT_TRUE(c.Filtered());
    EXPECT_EQ(c.GetRecordCount(), 5);  // dave (25) is out
    EXPECT_EQ(Names(c), (std::vector<std::string>{"alfred", "alice", "bob", "carol", "eve"}));
    c.MoveToRecNo(4);
    EXPECT_EQ(Current(c), "carol");
    EXPECT_EQ(c.GetRecNo(), 4);
    c.Last();
    c.Skip(-2);
    EXPECT_EQ(Current(c), "carol");
    // A search for the hidden record lands on the next visible one.
    EXPECT_FALSE(c.FindKey(Probe(c, "dave").data(), false, nullptr, 0, true, 0));
    EXPECT_EQ(Current(c), "eve");
    // A new record is checked by the filter.
    std::vector<uint8_t> r = Buffer(c);
    PutStr(c, r, 2, "young");
    PutInt(c, r, 3, 10);
    c.InsertRecord(r.data());
    EXPECT_EQ(c.GetRecordCount(), 5);
    PutStr(c, r, 2, "old");
    PutInt(c, r, 3, 90);
    c.InsertRecord(r.data());
    EXPECT_EQ(c.GetRecordCount(), 6);
    EXPECT_EQ(Current(c), "old");
    EXPECT_EQ(c.GetRecNo(), 6);
    c.DeleteRecord();
    EXPECT_EQ(c.GetRecordCount(), 5);
    c.Filters().clear();
    c.UpdateFilterState();
    c.ResetView();
    EXPECT_FALSE(c.Filtered());
    EXPECT_EQ(c.GetRecordCount(), 7);
}

}  // namespace
}  // namespace cursor_test
