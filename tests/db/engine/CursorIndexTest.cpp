// Indexes added to and removed from a table with records.
#include <algorithm>
#include <fstream>
#include <iterator>

#include "db/engine/DataTable.h"
#include "db/engine/Filter.h"
#include "tests/db/engine/CursorFakes.h"

namespace cursor_test {
namespace {

std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class CursorIndexTest : public CursorTest {
protected:
    // ID 1..20 with CODE = ID mod 7 (so CODE repeats from ID 8 on) and a BLOB.
    void SetUp() override {
        CursorTest::SetUp();
        Fill();
    }

    void Fill() {
        FCursors.clear();
        {
            TDataCursor d(FDir);
            d.SetTableName("T");
            if (FDir->TableExists("T", false)) d.DeleteTable();
        }
        Create("T",
               {MakeField(1, "ID", dtInteger), MakeField(2, "CODE", dtInteger), MakeField(3, "NOTE", dtBlob)},
               {Index("", {1})});
        TDataCursor& c = OpenExclusive();
        for (int32_t i = 1; i <= 20; ++i) {
            std::vector<uint8_t> r = Buffer(c);
            PutInt(c, r, 1, i);
            PutInt(c, r, 2, i % 7);
            ASSERT_EQ(c.OpenBlob(3, r.data(), 0, false, bmReadWrite), 0);
            const std::string note(600, char('a' + i % 26));
            ASSERT_EQ(c.PutBlob(3, r.data(), false, uint32_t(note.size()), note.data(), 0), 0);
            c.InsertRecord(r.data());
        }
        c.Close();
        FCursors.clear();
    }

    TDataCursor& OpenExclusive() {
        TDataCursor& c = NewCursor("T");
        c.SetExclusive(true);
        c.Open();
        return c;
    }

    std::string Path(const char* ext) const { return FScratch.Path() + "/T" + ext; }
};

TEST_F(CursorIndexTest, DuplicatesInANewUniqueIndexAreRefusedUnlessTheHookAgrees) {
    struct Case {
        const char* name;
        bool hook;
        bool stopAtSecond;
        bool silence;
        uint16_t code;
        int32_t records;
        int32_t calls;
    };
    const Case cases[] = {
        {"no hook", false, false, false, ZIZIVU_KEYVIOL, 20, 0},
        {"hook stops", true, true, false, ZIZIVU_KEYVIOL, 20, 2},
        {"hook goes on", true, false, false, 0, 7, 13},
        {"hook silenced", true, false, true, 0, 7, 1},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Fill();
        const std::string dat = FileBytes(Path(".DAT")), idx = FileBytes(Path(".IDX")),
                          blb = FileBytes(Path(".BLB"));
        TDataCursor& c = OpenExclusive();
        int32_t calls = 0;
        if (k.hook)
            c.OnDataLost = [&](uint16_t code, const std::string& text, bool& silence, bool& cont) {
                EXPECT_EQ(code, ZIZIVU_KEYVIOL);
                EXPECT_NE(text.find("BYCODE"), std::string::npos);
                ++calls;
                if (k.stopAtSecond && calls == 2) cont = false;
                if (k.silence) silence = true;
            };
        EXPECT_EQ(RaisedCode([&] { c.AddIndex(Index("BYCODE", {2})); }), k.code);
        EXPECT_EQ(calls, k.calls);
        EXPECT_EQ(c.GetTableRecordCount(), k.records);
        if (k.code == 0) {
            // The first record of every code stays; the index orders them.
            c.SwitchToIndex("BYCODE");
            EXPECT_EQ(Walk(c, 1), (std::vector<int32_t>{7, 1, 2, 3, 4, 5, 6}));
            EXPECT_EQ(Walk(c, 2), (std::vector<int32_t>{0, 1, 2, 3, 4, 5, 6}));
            continue;
        }
        EXPECT_EQ(c.GetIndexCount(), 0);
        c.Close();
        FCursors.clear();
        EXPECT_EQ(FileBytes(Path(".DAT")), dat);
        EXPECT_EQ(FileBytes(Path(".IDX")), idx);
        EXPECT_EQ(FileBytes(Path(".BLB")), blb);
    }
}

TEST_F(CursorIndexTest, AddAndDeleteIndexesReusingTheirPages) {
    TDataCursor& c = OpenExclusive();
    std::vector<std::pair<uint32_t, int32_t>> progress;
    c.OnIndexProgress = [&](uint32_t n, int32_t percent) { progress.emplace_back(n, percent); };
    c.AddIndex(Index("BYCODE", {2}, false));
    ASSERT_EQ(progress.size(), 20u);
    EXPECT_EQ(progress.back(), std::make_pair(20u, 100));
    EXPECT_EQ(progress[9].second, 50);
    c.AddIndex(Index("BYBOTH", {2, 1}));
    c.AddIndex(Index("DESCID", {1}, true, true));
    EXPECT_EQ(c.GetIndexCount(), 3);
    EXPECT_EQ(RaisedCode([&] { c.AddIndex(Index("bycode", {1})); }), ZIZIVU_INDEXEXISTS);
    EXPECT_EQ(RaisedCode([&] { c.AddIndex(Index("BYNOTE", {3})); }), ZIZIVU_INVALIDINDEXTYPE);
    EXPECT_EQ(RaisedCode([&] { c.DeleteIndex("NOPE"); }), ZIZIVU_INVALIDINDEXNAME);

    c.SwitchToIndex("DESCID");
    c.DeleteIndex("bycode");
    // The active index keeps its place in the view under its new number.
    EXPECT_EQ(c.ActiveIndex(), 2);
    EXPECT_EQ(c.ActiveIndexDescriptor().Name, "DESCID");
    EXPECT_EQ(Walk(c, 1).front(), 20);
    c.SwitchToIndex("BYBOTH");
    EXPECT_EQ(Walk(c, 1),
              (std::vector<int32_t>{7, 14, 1, 8, 15, 2, 9, 16, 3, 10, 17, 4, 11, 18, 5, 12, 19, 6, 13, 20}));
    c.DeleteIndexByNumber(1);
    EXPECT_EQ(c.ActiveIndex(), 0);
    EXPECT_EQ(Walk(c, 1).front(), 1);

    // A new index in a freed slot takes that slot's free pages: the file does not grow.
    c.Close();
    const size_t size = FileBytes(Path(".IDX")).size();
    TDataCursor& d = OpenExclusive();
    d.AddIndex(Index("AGAIN", {2}, false));
    d.AddIndex(Index("AGAIN2", {2, 1}));
    d.Close();
    EXPECT_EQ(FileBytes(Path(".IDX")).size(), size);
    TDataCursor& e = OpenExclusive();
    // A filter answered from an index follows it to its new slot.
    TFilter* filter = e.AddFilter("CODE = 3");
    e.ActivateFilter(filter);
    EXPECT_EQ(filter->Level(), olWholly);
    EXPECT_EQ(Walk(e, 1), (std::vector<int32_t>{3, 10, 17}));
    e.DeleteIndex("DESCID");
    EXPECT_EQ(Walk(e, 1), (std::vector<int32_t>{3, 10, 17}));
    e.DeleteIndex("AGAIN2");  // the slot the filter first used is gone
    EXPECT_EQ(Walk(e, 1), (std::vector<int32_t>{3, 10, 17}));
    e.DropFilter(filter);
    e.SwitchToIndex("AGAIN");
    EXPECT_EQ(Walk(e, 2).front(), 0);
    EXPECT_EQ(e.GetRecordCount(), 20);

    e.Close();
    TDataCursor& shared = OpenCursor("T");
    EXPECT_EQ(RaisedCode([&] { shared.AddIndex(Index("X", {2})); }), ZIZIVU_NEEDEXCLUSIVE);
}

TEST_F(CursorIndexTest, SortRecordsReordersATableWithoutIndexes) {
    Create("R", {MakeField(1, "N", dtInteger), MakeField(2, "S", dtString, 4)}, {NoPrimary()});
    TDataCursor& c = NewCursor("R");
    c.SetExclusive(true);
    c.Open();
    for (int32_t n : {5, 3, 9, 1, 3, 7, 2, 8}) {
        std::vector<uint8_t> r = Buffer(c);
        PutInt(c, r, 1, n);
        c.InsertRecord(r.data());
    }
    c.First();
    std::vector<uint8_t> r = Buffer(c);
    c.Skip(3);  // 9
    c.GetCurrentRecord(r.data(), false);
    c.DeleteRecord();
    std::vector<TFieldDescriptor> by = {c.GetFieldDefinition(1)};
    c.SortRecords(by, false, true);
    EXPECT_EQ(Walk(c, 1), (std::vector<int32_t>{1, 2, 3, 5, 7, 8}));
    EXPECT_EQ(c.GetRecordCount(), 6);
    EXPECT_EQ(c.GetTableRecordCount(), 6);
    // The slots follow the new order, and a new record goes after them.
    r = Buffer(c);
    PutInt(c, r, 1, 4);
    c.InsertRecord(r.data());
    c.Last();
    c.Skip(-1);
    EXPECT_EQ(c.GetPhysicalRecordNumber(), 7u);
    by[0].WorkArea[SortDescendingByte] = 1;
    c.SortRecords(by, false, false);
    EXPECT_EQ(Walk(c, 1), (std::vector<int32_t>{8, 7, 5, 4, 3, 2, 1}));
    c.Close();
    // The headers agree with the records when the table is opened again.
    TDataCursor& d = OpenCursor("R");
    EXPECT_EQ(Walk(d, 1), (std::vector<int32_t>{8, 7, 5, 4, 3, 2, 1}));
    d.Close();

    // A table with indexes keeps its order.
    TDataCursor& e = OpenExclusive();
    e.SwitchToIndexNumber(RecordNumberOrderIndex);
    const std::vector<int32_t> before = Walk(e, 2);
    std::vector<TFieldDescriptor> code = {e.GetFieldDefinition(2)};
    e.SortRecords(code, false, false);
    EXPECT_EQ(Walk(e, 2), before);
}

TEST_F(CursorIndexTest, AFillSortedAfterwardsLeavesItsDeletedRecordsKeysToTheSort) {
    // A statement's own result table, filled in batches of three rows.
    Create("F", {MakeField(1, "N", dtInteger)}, {NoPrimary()});
    TDataCursor& c = NewCursor("F");
    c.SetExclusive(true);
    c.SetPassThrough(true);
    c.Open();
    c.Table()->SetPrivateRecordLocks(true);
    auto fill = [&](std::vector<int32_t> values, int32_t repositionAt) {
        TTableWriteBatch batch(c, 3, true);
        for (size_t i = 0; i < values.size(); ++i) {
            std::vector<uint8_t> r = Buffer(c);
            PutInt(c, r, 1, values[i]);
            c.InsertRecord(r.data(), int32_t(i) == repositionAt);
            batch.RowWritten();
        }
        batch.Finish();
    };
    std::vector<TFieldDescriptor> by = {c.GetFieldDefinition(1)};

    fill({5, 3, 9, 3, 1, 5, 2}, -1);
    c.SortRecords(by, false, true);
    EXPECT_EQ(Walk(c, 1), (std::vector<int32_t>{1, 2, 3, 5, 9}));

    // A write that needs the index meanwhile has it built first; the rows after it put their
    // keys in as usual. Without the sort, the keys are completed on demand.
    for (const int32_t repositionAt : {4, -1}) {
        SCOPED_TRACE(repositionAt);
        c.EmptyTable();
        fill({10, 11, 12, 13, 14, 15, 16}, repositionAt);
        c.CompleteDeletedKeys();
        EXPECT_EQ(Walk(c, 1), (std::vector<int32_t>{10, 11, 12, 13, 14, 15, 16}));
        // A deleted record is taken again through its key.
        c.First();
        c.Skip(2);
        std::vector<uint8_t> r = Buffer(c);
        c.GetCurrentRecord(r.data(), false);
        c.DeleteRecord();
        r = Buffer(c);
        PutInt(c, r, 1, 20);
        c.InsertRecord(r.data());
        std::vector<int32_t> now = Walk(c, 1);
        std::sort(now.begin(), now.end());
        EXPECT_EQ(now, (std::vector<int32_t>{10, 12, 13, 14, 15, 16, 20}));
    }
}

TEST_F(CursorIndexTest, SortRebuildsADeepDeletedRecordsIndex) {
    // Enough records for a deleted-records index of several levels; without deletions the
    // row ids are one run, with them they have gaps.
    for (const int32_t deleteEvery : {0, 7}) {
        SCOPED_TRACE(deleteEvery);
        const std::string name = "D" + std::to_string(deleteEvery);
        Create(name, {MakeField(1, "N", dtInteger)}, {NoPrimary()});
        TDataCursor& c = NewCursor(name);
        c.SetExclusive(true);
        c.Open();
        const int32_t count = 3000;
        for (int32_t i = 0; i < count; ++i) {
            std::vector<uint8_t> r = Buffer(c);
            PutInt(c, r, 1, (i * 7919) % count);
            c.InsertRecord(r.data());
        }
        if (deleteEvery != 0) {
            c.First();
            std::vector<uint8_t> r = Buffer(c);
            for (int32_t i = 1; c.GetNextRecord(r.data()) == 0; ++i)
                if (i % deleteEvery == 0) c.DeleteRecord();
        }
        std::vector<int32_t> expected = Walk(c, 1);
        EXPECT_EQ(expected.size() < size_t(count), deleteEvery != 0);
        std::sort(expected.begin(), expected.end());
        std::vector<TFieldDescriptor> by = {c.GetFieldDefinition(1)};
        c.SortRecords(by, false, false);
        EXPECT_EQ(Walk(c, 1), expected);
        EXPECT_EQ(c.GetRecordCount(), int32_t(expected.size()));
        c.Close();
        // Each record's key is found again when it goes.
        TDataCursor& d = NewCursor(name);
        d.SetExclusive(true);
        d.Open();
        EXPECT_EQ(Walk(d, 1), expected);
        std::vector<uint8_t> r = Buffer(d);
        for (d.First(); d.GetNextRecord(r.data()) == 0; d.First()) d.DeleteRecord();
        EXPECT_EQ(d.GetTableRecordCount(), 0);
        d.Close();
    }
}

TEST_F(CursorIndexTest, SortedRecordsKeepTheirBlobs) {
    TCreateTableOptions o;
    o.BlobBlockSize = 64;  // several blocks per value
    Create("B", {MakeField(1, "N", dtInteger), MakeField(2, "BODY", dtBlob)}, {NoPrimary()}, o);
    TDataCursor& c = NewCursor("B");
    c.SetExclusive(true);
    c.Open();
    auto text = [](int32_t n) { return std::string(size_t(100 + n), char('a' + n)); };
    for (int32_t n : {4, 1, 3, 2}) {
        std::vector<uint8_t> r = Buffer(c);
        PutInt(c, r, 1, n);
        const std::string t = text(n);
        ASSERT_EQ(c.OpenBlob(2, r.data(), 0, false, bmReadWrite), 0);
        ASSERT_EQ(c.PutBlob(2, r.data(), false, uint32_t(t.size()), t.data(), 0), 0);
        c.InsertRecord(r.data());
    }
    std::vector<TFieldDescriptor> by = {c.GetFieldDefinition(1)};
    c.SortRecords(by, false, false);
    EXPECT_EQ(Walk(c, 1), (std::vector<int32_t>{1, 2, 3, 4}));
    // Each value still belongs to its record under the record's new number.
    c.First();
    std::vector<uint8_t> r = Buffer(c);
    for (int32_t n = 1; n <= 4; ++n) {
        ASSERT_EQ(c.GetNextRecord(r.data()), 0);
        ASSERT_EQ(c.OpenBlob(2, r.data(), 0, false, bmRead), 0);
        std::string back(text(n).size(), '\0');
        uint32_t count = 0;
        EXPECT_EQ(c.GetBlob(2, r.data(), false, count, uint32_t(back.size()), back.data(), 0), 0) << n;
        EXPECT_EQ(back, text(n));
        c.FreeBlob(2, r.data(), 0, false);
    }
}

}  // namespace
}  // namespace cursor_test
