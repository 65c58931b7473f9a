// Cursor filters: the index answers against evaluation record by record, the filter list,
// chained callback filters, parse errors and the per-record updates of the view.
#include <algorithm>
#include <set>

#include "db/engine/Filter.h"
#include "db/storage/Encodings.h"
#include "tests/db/engine/CursorFakes.h"

namespace cursor_test {
namespace {

// ID, NAME, QTY, PRICE, M (BCD, 2 decimals), ACTIVE.
std::vector<TFieldDescriptor> FilterFields() {
    std::vector<TFieldDescriptor> f = {MakeField(1, "ID", dtInteger),  MakeField(2, "NAME", dtString, 6),
                                       MakeField(3, "QTY", dtInteger), MakeField(4, "PRICE", dtFloat),
                                       MakeField(5, "M", dtBCD),       MakeField(6, "ACTIVE", dtBoolean)};
    f[4].Decimals = 2;
    return f;
}

class CursorFilterTest : public CursorTest {
protected:
    // The same rows in a table with an index on every column and in one with none.
    void SetUp() override {
        CursorTest::SetUp();
        Create("IDX", FilterFields(),
               {Index("", {1}), Index("BYNAME", {2}, false), Index("BYQTY", {3}, false),
                Index("BYPRICE", {4}, false), Index("BYM", {5}, false), Index("BYACTIVE", {6}, false),
                Index("UPNAME", {2}, false, false, true)});
        Create("SCAN", FilterFields(), {NoPrimary()});
        for (const char* table : {"IDX", "SCAN"}) {
            TDataCursor& c = OpenCursor(table);
            for (int32_t i = 1; i <= 60; ++i) Insert(c, i);
        }
    }

    static void Insert(TDataCursor& c, int32_t i) {
        static const char* names[] = {"a", "b", "bb", "bob", "Bob", "BOB", "c", "b  ", "abcde", "B"};
        std::vector<uint8_t> r = Buffer(c);
        PutInt(c, r, 1, i);
        if (i % 5 != 0) PutStr(c, r, 2, names[i % 10]);
        if (i == 11)
            PutInt(c, r, 3, 2147483647);
        else if (i == 13)
            PutInt(c, r, 3, -2147483647 - 1);
        else if (i % 7 != 0)
            PutInt(c, r, 3, (i * 3) % 11);
        if (i % 6 != 0) {
            uint8_t v[8];
            bytes::PutF64(v, i == 25 ? -0.0 : (i % 4) * 0.5 - 0.5);
            c.PutField(4, r.data(), v);
        }
        if (i % 9 != 0) {
            uint8_t v[8];
            bytes::PutI64(v, EncodeBCD(2, Currency::FromUnits((i % 3) * 12500 - 12500)));
            c.PutField(5, r.data(), v);
        }
        if (i % 8 != 0) {
            uint8_t v[2];
            bytes::PutU16(v, i % 3 == 0 ? 1 : 0);
            c.PutField(6, r.data(), v);
        }
        c.InsertRecord(r.data());
    }

    // Gives an active filter a new expression.
    static void Replace(TDataCursor& c, TFilter* filter, const std::string& text) {
        TExpToken* tree = c.ParseFilterExpression(text);
        c.ValidateFilterExpression(tree);
        c.ReplaceFilterTree(tree, filter);
    }

    static std::set<int32_t> Ids(TDataCursor& c) {
        std::vector<int32_t> v = Walk(c, 1);
        return {v.begin(), v.end()};
    }
};

TEST_F(CursorFilterTest, IndexAnswersEqualEvaluation) {
    struct Case {
        const char* text;
        uint8_t level;  // on the indexed table
    };
    const Case cases[] = {
        {"QTY = 5", olWholly},
        {"QTY <> 5", olWholly},  // keeps the blanks
        {"QTY > 5", olWholly},   // drops them
        {"QTY >= 5", olWholly},
        {"QTY < 5", olWholly},
        {"QTY <= 5", olWholly},
        {"QTY = NULL", olWholly},  // the blank ones
        {"QTY <> NULL", olWholly},
        {"QTY IS NULL", olWholly},
        {"QTY IS NOT NULL", olWholly},
        {"QTY IN (1, 5, 7)", olWholly},
        {"QTY IN (1, NULL)", olWholly},
        {"QTY NOT IN (1, 5)", olWholly},
        {"QTY BETWEEN 3 AND 6", olWholly},
        {"QTY NOT BETWEEN 3 AND 6", olWholly},
        {"QTY BETWEEN 6 AND 3", olWholly},
        {"QTY > 2147483647", olWholly},
        {"QTY >= 2147483647", olWholly},
        {"QTY < -2147483648", olWholly},
        {"QTY > 5.5", olNone},  // no exact integer: left to evaluation
        {"QTY = 5.0", olWholly},
        {"QTY > 3 AND QTY < 8", olWholly},
        // Under an operator a range of more than 90% of the records is read instead.
        {"ID > 0 AND QTY = 5", olWholly},
        {"ID >= 7 AND NOT (QTY > 5)", olWholly},
        {"ID > 0 OR QTY = 5", olWholly},
        {"QTY = 1 OR QTY = 9", olWholly},
        {"NOT (QTY > 5)", olWholly},
        {"QTY > 3 AND NAME LIKE '%b'", olPartly},
        {"NAME LIKE '%b' AND QTY > 3", olPartly},
        {"QTY > 3 OR NAME LIKE '%b'", olNone},
        {"NAME = 'b'", olWholly},
        {"NAME = ''", olWholly},
        {"NAME <> 'bb'", olWholly},
        {"NAME > 'b'", olWholly},
        {"NAME <= 'bb'", olWholly},
        {"NAME = 'b*'", olWholly},
        {"NAME <> 'b*'", olWholly},
        {"NAME LIKE 'b%'", olWholly},
        {"NAME NOT LIKE 'b%'", olWholly},
        {"NAME = 'abcdefgh'", olNone},  // longer than the field holds
        {"NAME > 'abcdefgh'", olNone},
        {"NAME = 'b  '", olWholly},
        {"UPPER(NAME) = 'BOB'", olWholly},
        {"UPPER(NAME) = 'bob'", olNone},
        {"UPPER(NAME) IN ('B', 'BB')", olWholly},
        {"PRICE > 0.5", olWholly},
        {"PRICE >= -0.5", olWholly},
        {"PRICE < 0.5", olWholly},
        {"PRICE = 0", olNone},  // minus zero equals zero
        {"PRICE = -0.5", olWholly},
        {"M = 1.25", olWholly},
        {"M > 0", olWholly},
        {"M < 1.251", olNone},  // more decimals than the column
        {"M BETWEEN -1.25 AND 1.25", olWholly},
        {"ACTIVE", olWholly},
        {"NOT ACTIVE", olWholly},
        {"ACTIVE = FALSE", olWholly},
    };
    TDataCursor& indexed = OpenCursor("IDX");
    TDataCursor& scanned = OpenCursor("SCAN");
    for (const Case& k : cases) {
        SCOPED_TRACE(k.text);
        TFilter* a = indexed.AddFilter(k.text);
        EXPECT_EQ(a->Level(), k.level);
        indexed.ActivateFilter(a);
        const std::set<int32_t> fromIndex = Ids(indexed);
        EXPECT_EQ(indexed.GetRecordCount(), int32_t(fromIndex.size()));
        indexed.DropFilter(a);
        TFilter* complement = indexed.AddFilter(k.text, false, false, true);
        indexed.ActivateFilter(complement);
        const std::set<int32_t> countFirst = Ids(indexed);
        indexed.DropFilter(complement);
        TFilter* b = scanned.AddFilter(k.text);
        EXPECT_EQ(b->Level(), olNone);
        scanned.ActivateFilter(b);
        const std::set<int32_t> fromScan = Ids(scanned);
        scanned.DropFilter(b);
        EXPECT_EQ(fromIndex, fromScan);
        EXPECT_EQ(countFirst, fromScan);
    }
    // Filters gone, the whole table is back.
    EXPECT_EQ(indexed.GetRecordCount(), 60);
}

TEST_F(CursorFilterTest, OptionsMatchEvaluation) {
    TDataCursor& indexed = OpenCursor("IDX");
    TDataCursor& scanned = OpenCursor("SCAN");
    // Case-insensitive prefixes use the case-insensitive index.
    for (const char* text : {"NAME = 'b*'", "NAME = 'bob'", "NAME <> 'BO*'"}) {
        SCOPED_TRACE(text);
        TFilter* a = indexed.AddFilter(text, false, true);
        EXPECT_EQ(a->Level(), olWholly);
        TFilter* b = scanned.AddFilter(text, false, true);
        indexed.ActivateFilter(a);
        scanned.ActivateFilter(b);
        EXPECT_EQ(Ids(indexed), Ids(scanned));
        indexed.DropFilter(a);
        scanned.DropFilter(b);
    }
    // Without partial comparison the '*' is a character.
    TFilter* star = indexed.AddFilter("NAME = 'b*'", true);
    indexed.ActivateFilter(star);
    EXPECT_EQ(indexed.GetRecordCount(), 0);
}

TEST_F(CursorFilterTest, ChainedCallbackSeesOnlyAcceptedRecords) {
    TDataCursor& c = OpenCursor("IDX");
    std::vector<uint32_t> asked;
    TFilter* even = c.AddFilter(
        [&](const uint8_t* record, uint32_t recordNo) {
            asked.push_back(recordNo);
            return bytes::GetI32(record + c.GetFieldDefinition(1).Offset + 1) % 2 == 0;
        },
        true);
    // Added later, yet placed before the chained one.
    TFilter* qty = c.AddFilter("QTY > 5");
    c.ActivateFilter(even);
    c.ActivateFilter(qty);
    // Built on activation, and the same when the whole view is built again.
    const std::set<int32_t> activated = Ids(c);
    asked.clear();
    c.Resync();
    const std::set<int32_t> ids = Ids(c);
    EXPECT_EQ(ids, activated);
    TDataCursor& s = OpenCursor("SCAN");
    s.ActivateFilter(s.AddFilter("QTY > 5"));
    const std::set<int32_t> accepted = Ids(s);
    ASSERT_FALSE(asked.empty());
    for (uint32_t n : asked) EXPECT_TRUE(accepted.count(int32_t(n))) << n;  // record n holds ID n
    EXPECT_EQ(asked.size(), accepted.size());
    for (int32_t id : ids) EXPECT_TRUE(id % 2 == 0 && accepted.count(id));
    EXPECT_EQ(ids.size(),
              size_t(std::count_if(accepted.begin(), accepted.end(), [](int32_t i) { return i % 2 == 0; })));
}

// Evaluation reads its candidates with read-ahead: the view as it stands (two records here)
// says nothing of what a new filter must read. A join rebinds its filter on the inner table
// for every outer row; read by the old view's runs, a table beyond the record cache was read
// one record at a time, every time.
TEST_F(CursorFilterTest, EvaluationReadsItsCandidatesAhead) {
    TDataCursor& indexed = OpenCursor("IDX");
    TDataCursor& scanned = OpenCursor("SCAN");  // record-number order, navigated by the view
    for (TDataCursor* c : {&indexed, &scanned}) c->ActivateFilter(c->AddFilter("ID <= 2"));
    TDataFile* data = scanned.Table()->DataFile();
    data->ClearRecordCache();
    const uint32_t reads = data->CacheReads();
    for (TDataCursor* c : {&indexed, &scanned}) c->ActivateFilter(c->AddFilter("QTY = 6"));
    EXPECT_LE(data->CacheReads(), reads + 2);  // 60 records of a few dozen bytes
    EXPECT_EQ(Ids(scanned), (std::set<int32_t>{2}));
    EXPECT_EQ(Ids(indexed), (std::set<int32_t>{2}));
}

TEST_F(CursorFilterTest, FilterListLimitsAndHandles) {
    TDataCursor& c = OpenCursor("IDX");
    for (int32_t i = 0; i < 64; ++i) c.AddFilter("QTY > 1");
    EXPECT_EQ(RaisedCode([&] { c.AddFilter("QTY > 1"); }), ZIZIVU_TOOMANYFILTERS);
    EXPECT_EQ(RaisedCode([&] { c.AddFilter([](const uint8_t*, uint32_t) { return true; }); }),
              ZIZIVU_TOOMANYFILTERS);
    c.DropAllFilters();
    EXPECT_EQ(c.FilterCount(), 0);

    TDataCursor& other = OpenCursor("SCAN");
    TFilter* foreign = other.AddFilter("QTY > 1");
    EXPECT_EQ(RaisedCode([&] { c.ActivateFilter(foreign); }), ZIZIVU_INVALIDFILTERHANDLE);
    EXPECT_EQ(RaisedCode([&] { c.DropFilter(foreign); }), ZIZIVU_INVALIDFILTERHANDLE);
    TFilter* inactive = c.AddFilter("QTY > 1");
    EXPECT_EQ(RaisedCode([&] { c.ReplaceFilterTree(c.ParseFilterExpression("QTY > 2"), inactive); }),
              ZIZIVU_INVALIDFILTERHANDLE);

    // A replaced expression takes effect at once. Only its result is built anew, and those of
    // the chained filters after it (built over what it accepted), not the other filters'.
    int evaluated = 0;
    c.ActivateFilter(c.AddFilter([&](const uint8_t*, uint32_t) { return ++evaluated > 0; }));
    c.ActivateFilter(inactive);
    TFilter* chained = c.AddFilter("QTY < 6", false, false, false, true);
    c.ActivateFilter(chained);
    TDataCursor& s = OpenCursor("SCAN");
    for (const char* text : {"QTY = 5", "QTY = 3"}) {  // within QTY < 6: the chained one passes all
        const int before = evaluated;
        Replace(c, inactive, text);
        EXPECT_EQ(evaluated, before) << text;
        s.DropFilter(nullptr);
        s.ActivateFilter(s.AddFilter(text));
        EXPECT_EQ(Ids(c), Ids(s)) << text;
        EXPECT_FALSE(Ids(c).empty()) << text;
    }
    c.DeactivateFilter(nullptr);
    EXPECT_EQ(c.GetRecordCount(), 60);
}

TEST_F(CursorFilterTest, BadExpressionsRaiseTheParsersMessage) {
    TDataCursor& c = OpenCursor("IDX");
    auto message = [&](const char* text) {
        try {
            c.AddFilter(text);
        } catch (const EZIZIVUEngineError& e) {
            EXPECT_EQ(e.ErrorCode(), ZIZIVU_FILTERERR) << text;
            return std::string(e.what());
        }
        ADD_FAILURE() << text;
        return std::string();
    };
    EXPECT_NE(message("QTY >").find("in filter expression"), std::string::npos);
    EXPECT_NE(message("QTY > 'x'").find("Type mismatch"), std::string::npos);
    EXPECT_NE(message("NOPE = 1").find("NOPE"), std::string::npos);
    EXPECT_NE(message("QTY").find("filter expression must be a boolean expression"), std::string::npos);
    EXPECT_NE(message("QTY > 1 QTY").find("in filter expression"), std::string::npos);
    EXPECT_EQ(c.FilterCount(), 0);
}

TEST_F(CursorFilterTest, ChangedRecordsFollowTheFilters) {
    TDataCursor& c = OpenCursor("IDX");
    c.ActivateFilter(c.AddFilter("QTY = 100"));
    c.ActivateFilter(c.AddFilter([&](const uint8_t* record, uint32_t) {
        bool blank;
        uint8_t v[256];
        c.GetField(2, record, blank, v);
        return !blank;
    }));
    EXPECT_EQ(c.GetRecordCount(), 0);
    std::vector<uint8_t> r = Buffer(c);
    PutInt(c, r, 1, 500);
    PutInt(c, r, 3, 100);
    PutStr(c, r, 2, "new");
    c.InsertRecord(r.data());
    EXPECT_EQ(Ids(c), std::set<int32_t>{500});
    c.First();
    ASSERT_EQ(c.GetNextRecord(r.data()), 0);
    ASSERT_EQ(c.GetCurrentRecord(r.data(), true), 0);
    c.PutField(2, r.data(), nullptr);  // the callback now refuses it
    c.ModifyRecord(r.data());
    EXPECT_EQ(c.GetRecordCount(), 0);
    // Through another cursor: a delete leaves the view once it is seen.
    TDataCursor& all = OpenCursor("IDX");
    ASSERT_TRUE(all.FindKey(r.data(), false, nullptr, 0, false, 1));
    std::vector<uint8_t> cur = Buffer(all);
    all.GetCurrentRecord(cur.data(), false);
    all.GetCurrentRecord(cur.data(), true);
    PutStr(all, cur, 2, "back");
    all.ModifyRecord(cur.data());
    c.Resync();
    EXPECT_EQ(c.GetRecordCount(), 1);
    all.DeleteRecord();
    c.Resync();
    EXPECT_EQ(c.GetRecordCount(), 0);
}

// In record order under a filter, records written one by one (the current one into and
// out of the view, new ones in freed slots before the position and after it): the
// position's ordinal and the count stay those of a cursor that builds its view afresh.
TEST_F(CursorFilterTest, RecordOrderKeepsOrdinalAndCountThroughChanges) {
    TDataCursor& c = OpenCursor("IDX");
    c.SwitchToIndexNumber(RecordNumberOrderIndex);
    c.ActivateFilter(c.AddFilter("ID < 1000"));
    enum TOp { Modify, Delete, InsertHere };
    struct Step {
        int32_t Position;  // the record the cursor goes to first
        TOp Op;
        int32_t Id;  // >= 1000 is outside the view
    } steps[] = {
        {30, Modify, 30},      {30, Modify, 1030},    {30, Modify, 31},       {5, Delete, 0},
        {12, Delete, 0},       {40, InsertHere, 500}, {40, InsertHere, 1500}, {40, Modify, 1040},
        {41, InsertHere, 501}, {3, InsertHere, 502},  {3, Modify, 3},
    };
    std::vector<uint8_t> r = Buffer(c);
    for (const Step& s : steps) {
        SCOPED_TRACE(std::to_string(s.Position) + " " + std::to_string(s.Id));
        c.SetRecordNumberPosition(s.Position);
        ASSERT_FALSE(c.Eof());
        if (s.Op == Delete) {
            c.DeleteRecord();
        } else if (s.Op == Modify) {
            ASSERT_EQ(c.GetCurrentRecord(r.data(), false), 0);
            PutInt(c, r, 1, s.Id);
            c.ModifyRecord(r.data());
        } else {
            std::vector<uint8_t> n = Buffer(c);
            PutInt(c, n, 1, s.Id);
            c.InsertRecord(n.data(), false);
        }
        TDataCursor& fresh = OpenCursor("IDX");
        fresh.SwitchToIndexNumber(RecordNumberOrderIndex);
        fresh.ActivateFilter(fresh.AddFilter("ID < 1000"));
        EXPECT_EQ(c.GetRecordCount(), fresh.GetRecordCount());
        ASSERT_FALSE(c.Eof() || c.Bof());
        fresh.SetRecordNumberPosition(int32_t(c.GetPhysicalRecordNumber()));
        EXPECT_EQ(c.GetPhysicalRecordNumber(), fresh.GetPhysicalRecordNumber());
        EXPECT_EQ(c.GetRecNo(), fresh.GetRecNo());
    }
}

// Records appended after the last physical one through an open cursor join its view, in
// record-number order (a table without primary index, or chosen) and in index order under
// a filter answered by reading records or from its index.
TEST_F(CursorFilterTest, AppendedRecordsJoinTheView) {
    const struct {
        const char* table;
        bool recordOrder;
        const char* filter;
    } cases[] = {
        {"SCAN", false, nullptr},       {"SCAN", false, "QTY + 0 >= 0"}, {"IDX", true, nullptr},
        {"IDX", false, "QTY + 0 >= 0"}, {"IDX", false, "QTY >= 0"},
    };
    int32_t id = 1000;  // QTY 8 and 2: both pass the filters, and sort last by ID
    for (const auto& k : cases) {
        SCOPED_TRACE(std::string(k.table) + (k.recordOrder ? " in record order " : " ") +
                     (k.filter ? k.filter : ""));
        TDataCursor& c = OpenCursor(k.table);
        if (k.recordOrder) c.SwitchToIndexNumber(RecordNumberOrderIndex);
        if (k.filter) c.ActivateFilter(c.AddFilter(k.filter));
        const int32_t before = c.GetRecordCount();
        for (int32_t i = 0; i < 2; ++i, id += 2) Insert(c, id);
        EXPECT_EQ(c.GetRecordCount(), before + 2);
        EXPECT_EQ(int32_t(Walk(c, 1).size()), before + 2);
        c.MoveToRecNo(before + 2);
        std::vector<uint8_t> r = Buffer(c);
        EXPECT_EQ(c.GetCurrentRecord(r.data(), false), 0);
        EXPECT_EQ(GetInt(c, r, 1), id - 2);
    }
}

// In record order once its filters are dropped, the view is every live record: records
// written then, and filters built again afterwards (over a dropped filter's buffer), give
// what a cursor that never had a filter gives.
TEST_F(CursorFilterTest, RecordOrderAfterDroppedFiltersFollowsWrites) {
    TDataCursor& c = OpenCursor("IDX");
    c.SwitchToIndexNumber(RecordNumberOrderIndex);
    auto sameAsFresh = [&](const char* filter) {
        TDataCursor& fresh = OpenCursor("IDX");
        fresh.SwitchToIndexNumber(RecordNumberOrderIndex);
        if (filter) fresh.ActivateFilter(fresh.AddFilter(filter));
        EXPECT_EQ(c.GetRecordCount(), fresh.GetRecordCount());
        EXPECT_EQ(Walk(c, 1), Walk(fresh, 1));
        auto backwards = [](TDataCursor& k) {
            std::vector<int32_t> out;
            std::vector<uint8_t> b(size_t(k.GetRecordSize()));
            k.Last();
            while (k.GetPriorRecord(b.data()) == 0) out.push_back(GetInt(k, b, 1));
            return out;
        };
        EXPECT_EQ(backwards(c), backwards(fresh));
    };
    std::vector<uint8_t> r = Buffer(c);
    for (int32_t round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        TFilter* f = c.AddFilter(round == 1 ? "ID > 20" : "ID = 7");
        c.ActivateFilter(f);
        sameAsFresh(round == 1 ? "ID > 20" : "ID = 7");
        c.DropFilter(round == 2 ? nullptr : f);
        sameAsFresh(nullptr);
        if (round == 0) {
            Insert(c, 2000);
        } else if (round == 1) {
            c.SetRecordNumberPosition(10);
            c.DeleteRecord();
        } else {
            c.SetRecordNumberPosition(20);
            ASSERT_EQ(c.GetCurrentRecord(r.data(), false), 0);
            PutInt(c, r, 1, 3000);
            c.ModifyRecord(r.data());
        }
        sameAsFresh(nullptr);
    }
}

// In a filtered view in index order a record's number is counted once and then carried along
// by the steps: through steps, inserts, deletes, key changes and a filter replaced, it is
// always the count of visible records from the view's first to the cursor's.
TEST_F(CursorFilterTest, RecordNumbersOfAFilteredIndexOrderFollowTheCursor) {
    TDataCursor& c = OpenCursor("IDX");
    c.SwitchToIndex("BYQTY");
    std::string text = "QTY > 2";
    TFilter* filter = c.AddFilter(text);
    c.ActivateFilter(filter);
    TDataCursor& fresh = OpenCursor("IDX");
    fresh.SwitchToIndex("BYQTY");
    std::vector<uint8_t> r = Buffer(c);
    uint32_t seed = 11;
    auto next = [&](uint32_t n) { return (seed = seed * 1103515245u + 12345u) / 65536u % n; };
    for (int step = 0; step < 400; ++step) {
        SCOPED_TRACE(step);
        switch (next(8)) {
            case 0:
            case 1:
                c.Skip(int32_t(next(5)) + 1);
                break;
            case 2:
                c.Skip(-int32_t(next(5)) - 1);
                break;
            case 3:
                next(2) ? (c.First(), c.Skip(1)) : (c.Last(), c.Skip(-1));
                break;
            case 4:
                Insert(c, 100 + step);
                break;
            case 5:
                if (!c.Bof() && !c.Eof() && c.GetRecordCount() > 20) c.DeleteRecord();
                break;
            case 6:
                if (!c.Bof() && !c.Eof() && c.GetCurrentRecord(r.data(), false) == 0) {
                    PutInt(c, r, 3, int32_t(next(12)));
                    c.ModifyRecord(r.data());
                }
                break;
            default:
                text = next(2) ? "QTY > 2" : "QTY < 8";
                Replace(c, filter, text);
                break;
        }
        if (c.Bof() || c.Eof()) continue;
        fresh.DropFilter(nullptr);
        fresh.ActivateFilter(fresh.AddFilter(text));
        int32_t expected = 0;
        for (fresh.First(), fresh.Skip(1); !fresh.Eof(); fresh.Skip(1)) {
            ++expected;
            if (fresh.GetPhysicalRecordNumber() == c.GetPhysicalRecordNumber()) break;
        }
        ASSERT_EQ(c.GetRecNo(), expected);
    }
}

}  // namespace
}  // namespace cursor_test
