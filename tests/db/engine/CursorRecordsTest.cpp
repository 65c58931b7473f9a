// Cursor records, fields, validity rules, row ids and BLOBs.
#include <algorithm>
#include <cmath>

#include "platform/rtl/DateFormat.h"
#include "platform/rtl/DateTime.h"
#include "tests/db/engine/CursorFakes.h"

namespace cursor_test {
namespace {

TEST_F(CursorTest, DefaultsFillANewRecord) {
    std::vector<TFieldDescriptor> f = {
        MakeField(1, "S", dtString, 8),  MakeField(2, "D", dtDate),     MakeField(3, "T", dtTime),
        MakeField(4, "TS", dtTimeStamp), MakeField(5, "B", dtBoolean),  MakeField(6, "I", dtInteger),
        MakeField(7, "M", dtBCD),        MakeField(8, "FIXED", dtDate), MakeField(9, "NONE", dtInteger)};
    f[0].DefaultValue = "abc";
    f[1].DefaultValue = "date";
    f[2].DefaultValue = "TIME";
    f[3].DefaultValue = "now";
    f[4].DefaultValue = "true";
    f[5].DefaultValue = "-17";
    f[6].Decimals = 2;
    f[6].DefaultValue = "12.345";
    f[7].DefaultValue = "2020-02-29";
    Create("DEF", f, {NoPrimary()});
    TDataCursor& c = OpenCursor("DEF");
    const TTimeStamp before = DateTimeToTimeStamp(Now());
    std::vector<uint8_t> r = Buffer(c);
    const TTimeStamp after = DateTimeToTimeStamp(Now());
    uint8_t v[256];
    bool blank;
    EXPECT_EQ(GetStr(c, r, 1), "abc");
    c.GetField(2, r.data(), blank, v);
    EXPECT_TRUE(bytes::GetI32(v) == before.Date || bytes::GetI32(v) == after.Date);
    c.GetField(3, r.data(), blank, v);
    EXPECT_FALSE(blank);
    EXPECT_LE(std::abs(bytes::GetI32(v) - before.Time), 60000);
    c.GetField(4, r.data(), blank, v);
    EXPECT_NEAR(bytes::GetF64(v), TimeStampToMSecs(before), 60000.0);
    c.GetField(5, r.data(), blank, v);
    EXPECT_EQ(bytes::GetU16(v), 1);
    EXPECT_EQ(GetInt(c, r, 6), -17);
    c.GetField(7, r.data(), blank, v);
    EXPECT_EQ(bytes::GetI64(v), 12352);  // rounded half away from zero, scale digit last
    c.GetField(8, r.data(), blank, v);
    EXPECT_EQ(bytes::GetI32(v), DateTimeToTimeStamp(EncodeDate(2020, 2, 29)).Date);
    GetInt(c, r, 9, &blank);
    EXPECT_TRUE(blank);
}

TEST_F(CursorTest, ValidityRulesAndBlankStrings) {
    std::vector<TFieldDescriptor> f = {MakeField(1, "NAME", dtString, 10), MakeField(2, "QTY", dtInteger),
                                       MakeField(3, "UP", dtString, 10)};
    f[0].Required = 1;
    f[1].MinValue = "5";
    f[1].MaxValue = "10";
    f[2].CharCase = fcUpper;
    Create("RULES", f, {NoPrimary()});
    TDataCursor& c = OpenCursor("RULES");
    struct Case {
        const char* name;
        bool putQty;
        int32_t qty;
        uint16_t code;
    };
    const Case cases[] = {
        {"bolt", true, 5, 0},
        {"bolt", true, 10, 0},  // equal to a limit passes
        {"bolt", true, 4, ZIZIVU_MINVALERR},
        {"bolt", true, 11, ZIZIVU_MAXVALERR},
        {"bolt", false, 0, ZIZIVU_MINVALERR},  // a blank compares as 0
        {"   ", true, 7, ZIZIVU_REQDERR},
        {"", true, 7, ZIZIVU_REQDERR},
    };
    for (const Case& k : cases) {
        std::vector<uint8_t> r = Buffer(c);
        PutStr(c, r, 1, k.name);
        if (k.putQty) PutInt(c, r, 2, k.qty);
        EXPECT_EQ(RaisedCode([&] { c.InsertRecord(r.data()); }), k.code) << k.name << " " << k.qty;
    }
    EXPECT_EQ(c.GetRecordCount(), 2);
    std::vector<uint8_t> r = Buffer(c);
    PutStr(c, r, 1, "  padded   ");
    EXPECT_EQ(GetStr(c, r, 1), "  padded");
    PutStr(c, r, 3, "mixed Case");
    EXPECT_EQ(GetStr(c, r, 3), "MIXED CASE");
    PutStr(c, r, 3, "    ");
    EXPECT_EQ(GetStr(c, r, 3), "<blank>");
    PutStr(c, r, 1, "this is far too long");
    EXPECT_EQ(GetStr(c, r, 1), "this is fa");
}

class RowIdTest : public CursorTest {
protected:
    void SetUp() override {
        CursorTest::SetUp();
        Create("AUTO", {MakeField(1, "ID", dtInteger, 0, fstAutoInc), MakeField(2, "NAME", dtString, 10)},
               {Index("", {1}), Index("ByName", {2}, false)});
        // Without the primary key on the id only the row id look-up finds an id in use.
        Create("BARE", {MakeField(1, "ID", dtInteger, 0, fstAutoInc), MakeField(2, "NAME", dtString, 10)},
               {NoPrimary(), Index("ByName", {2}, false)});
    }
    // Shared, or exclusive and emptied: such a table knows when its ids all lie within
    // the counter, and skips the look-up of a new id above it.
    struct TOpening {
        const char* Table;
        bool Exclusive;
    };
    static constexpr TOpening Openings[] = {{"AUTO", false}, {"AUTO", true}, {"BARE", false}, {"BARE", true}};
    TDataCursor& OpenAuto(const TOpening& o) {
        TDataCursor& c = NewCursor(o.Table);
        c.SetExclusive(o.Exclusive);
        c.Open();
        if (o.Exclusive) c.EmptyTable();
        return c;
    }
    void Insert(TDataCursor& c, const std::string& name, int32_t id = 0) {
        std::vector<uint8_t> r = Buffer(c);
        PutStr(c, r, 2, name);
        if (id) PutInt(c, r, 1, id);
        c.InsertRecord(r.data());
    }
};

TEST_F(RowIdTest, KeepAutoIncrementKeepsFreeValuesOnly) {
    for (const TOpening& o : Openings) {
        SCOPED_TRACE(std::string(o.Table) + (o.Exclusive ? " exclusive" : " shared"));
        TDataCursor& c = OpenAuto(o);
        for (int i = 0; i < 10; ++i) Insert(c, "n" + std::to_string(i));
        EXPECT_EQ(c.GetLastAutoIncValue(), 10u);
        // A counter set back leaves the ids above it in use: a new id passes over them.
        c.SetLastAutoIncValue(7);
        Insert(c, "past");
        EXPECT_EQ(c.GetLastAutoIncValue(), 11u);
        c.SetKeepAutoInc(true);
        ASSERT_TRUE(c.KeepAutoInc());
        Insert(c, "high", 100);
        EXPECT_EQ(c.GetLastAutoIncValue(), 100u);
        Insert(c, "low", 5 + 100);  // free: kept, counter stays the larger
        EXPECT_EQ(c.GetLastAutoIncValue(), 105u);
        EXPECT_EQ(RaisedCode([&] { Insert(c, "dup", 5); }), ZIZIVU_KEYVIOL);
        EXPECT_EQ(RaisedCode([&] { Insert(c, "dup", 100); }), ZIZIVU_KEYVIOL);
        Insert(c, "low2", 50);
        EXPECT_EQ(c.GetLastAutoIncValue(), 106u);  // its value plus 1 is larger
        c.SetKeepAutoInc(false);
        Insert(c, "next");
        EXPECT_EQ(c.GetLastAutoIncValue(), 107u);
        std::vector<int32_t> ids = Walk(c, 1);
        std::sort(ids.begin(), ids.end());
        EXPECT_EQ(ids, (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 50, 100, 105, 107}));
        c.Close();
    }
}

TEST_F(RowIdTest, RowIdWrapsToOneAndSkipsIdsInUse) {
    for (const TOpening& o : Openings) {
        SCOPED_TRACE(std::string(o.Table) + (o.Exclusive ? " exclusive" : " shared"));
        TDataCursor& c = OpenAuto(o);
        Insert(c, "first");   // 1
        Insert(c, "second");  // 2
        c.SetLastAutoIncValue(MaxRowId - 1);
        Insert(c, "max");  // 2147483647
        // The wrap gives 1; 1 and 2 are taken.
        Insert(c, "wrapped");
        EXPECT_EQ(c.GetLastAutoIncValue(), 3u);
        c.First();
        std::vector<uint8_t> r(size_t(c.GetRecordSize()));
        ASSERT_EQ(c.GetNextRecord(r.data()), 0);
        c.DeleteRecord();  // frees 1
        c.SetLastAutoIncValue(MaxRowId);
        Insert(c, "again");
        EXPECT_EQ(c.GetLastAutoIncValue(), 1u);
        // Every key matches its record: each one can be deleted again.
        c.SwitchToIndex("ByName");
        EXPECT_EQ(Walk(c, 1), (std::vector<int32_t>{1, int32_t(MaxRowId), 2, 3}));
        c.First();
        while (c.GetNextRecord(r.data()) == 0) c.DeleteRecord(), c.First();
        EXPECT_EQ(c.GetRecordCount(), 0);
        c.Close();
    }
}

TEST_F(RowIdTest, ModifyChecksKeysAndKeepsTheRowId) {
    TDataCursor& c = OpenCursor("AUTO");
    Insert(c, "a");
    Insert(c, "b");
    c.SwitchToIndex("ByName");
    c.MoveToRecNo(2);
    std::vector<uint8_t> r(size_t(c.GetRecordSize()));
    // A locking read compares with what the caller read before.
    EXPECT_EQ(RaisedCode([&] { c.GetCurrentRecord(r.data(), true); }), ZIZIVU_RECCHANGED);
    ASSERT_EQ(c.GetCurrentRecord(r.data(), false), 0);
    ASSERT_EQ(c.GetCurrentRecord(r.data(), true), 0);
    PutStr(c, r, 2, "0first");
    PutInt(c, r, 1, 77);  // ignored without keep-auto-increment
    c.ModifyRecord(r.data());
    EXPECT_EQ(c.GetRecNo(), 1);  // repositioned on the changed key
    EXPECT_EQ(
        GetInt(c, std::vector<uint8_t>(c.GetRecordBuffer(), c.GetRecordBuffer() + c.GetRecordSize()), 1), 2);
    c.SetKeepAutoInc(true);
    ASSERT_EQ(c.GetCurrentRecord(r.data(), false), 0);
    ASSERT_EQ(c.GetCurrentRecord(r.data(), true), 0);
    PutInt(c, r, 1, 1);
    EXPECT_EQ(RaisedCode([&] { c.ModifyRecord(r.data()); }), ZIZIVU_KEYVIOL);
    ASSERT_EQ(c.GetCurrentRecord(r.data(), false), 0);
    ASSERT_EQ(c.GetCurrentRecord(r.data(), true), 0);
    PutInt(c, r, 1, 40);
    c.ModifyRecord(r.data());
    EXPECT_EQ(c.GetLastAutoIncValue(), 40u);
    c.SwitchToIndexNumber(0);
    EXPECT_EQ(Walk(c, 1), (std::vector<int32_t>{1, 40}));
}

TEST_F(CursorTest, BlobsAcrossBlocksAndTheirEnds) {
    TCreateTableOptions o;
    o.BlobBlockSize = 64;  // 46 data bytes a block
    Create("DOCS", {MakeField(1, "NAME", dtString, 10), MakeField(2, "BODY", dtBlob)}, {Index("", {1})}, o);
    TDataCursor& c = OpenCursor("DOCS");
    EXPECT_EQ(c.GetBlobBlockDataSize(), 46);
    std::string text;
    for (int i = 0; i < 300; ++i) text += char('a' + i % 26);
    std::vector<uint8_t> r = Buffer(c);
    PutStr(c, r, 1, "doc");
    uint32_t size = 0, count = 0;
    EXPECT_EQ(c.GetBlob(2, r.data(), false, count, 1, nullptr, 0), ZIZIVU_INVALIDBLOBHANDLE);
    EXPECT_EQ(c.OpenBlob(1, r.data(), 0, false, bmReadWrite), ZIZIVU_INVALIDBLOBFIELD);
    ASSERT_EQ(c.OpenBlob(2, r.data(), 0, false, bmReadWrite), 0);
    ASSERT_EQ(c.PutBlob(2, r.data(), false, 200, text.data(), 0), 0);
    ASSERT_EQ(c.PutBlob(2, r.data(), false, 100, text.data() + 200, 200), 0);
    c.InsertRecord(r.data());
    EXPECT_EQ(c.OpenBlobCount(), 0);

    c.First();
    ASSERT_EQ(c.GetNextRecord(r.data()), 0);
    ASSERT_EQ(c.OpenBlob(2, r.data(), 0, false, bmRead), 0);
    EXPECT_EQ(c.GetBlobSize(2, r.data(), false, size), 0);
    EXPECT_EQ(size, 300u);
    std::string back(300, '\0');
    EXPECT_EQ(c.GetBlob(2, r.data(), false, count, 300, back.data(), 0), 0);
    EXPECT_EQ(back, text);
    char tail[10];
    EXPECT_EQ(c.GetBlob(2, r.data(), false, count, 10, tail, 299), ZIZIVU_ENDOFBLOB);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(tail[0], text[299]);
    EXPECT_EQ(c.GetBlob(2, r.data(), false, count, 10, tail, 300), ZIZIVU_ENDOFBLOB);
    EXPECT_EQ(count, 0u);
    // A shorter value in place of the long one.
    EXPECT_EQ(c.TruncateBlob(2, r.data(), false, 50), 0);
    c.ModifyRecord(r.data());
    c.First();
    ASSERT_EQ(c.GetNextRecord(r.data()), 0);
    ASSERT_EQ(c.OpenBlob(2, r.data(), 0, false, bmRead), 0);
    EXPECT_EQ(c.GetBlobSize(2, r.data(), false, size), 0);
    EXPECT_EQ(size, 50u);
    EXPECT_EQ(c.FreeBlob(2, r.data(), 0, false), 0);
    EXPECT_EQ(c.OpenBlobCount(), 0);

    // Handles a cursor does not know, and the limit of open buffers.
    std::vector<uint8_t> fake = Buffer(c);
    bytes::PutI32(fake.data() + c.GetFieldDefinition(2).Offset + 1, -999);
    EXPECT_EQ(c.OpenBlob(2, fake.data(), 0, false, bmRead), ZIZIVU_INVALIDBLOBOFFSET);
    std::vector<std::vector<uint8_t>> many(65, Buffer(c));
    for (int i = 0; i < 64; ++i) EXPECT_EQ(c.OpenBlob(2, many[size_t(i)].data(), 1, false, bmReadWrite), 0);
    EXPECT_EQ(c.OpenBlob(2, many[64].data(), 1, false, bmReadWrite), ZIZIVU_TOOMANYBLOBS);
    c.FreeBlobBuffers(false);
    EXPECT_EQ(c.OpenBlobCount(), 0);

    // A copy takes the BLOB along; deleting frees the blocks for reuse.
    ASSERT_EQ(c.GetNextRecord(r.data()), ZIZIVU_EOF);
    c.First();
    c.Skip(1);
    std::vector<uint8_t> copy(size_t(c.GetRecordSize()));
    ASSERT_EQ(c.CopyCurrentRecord(copy.data()), 0);
    PutStr(c, copy, 1, "copy");
    c.InsertRecord(copy.data());
    c.MoveToRecNo(1);
    ASSERT_EQ(c.GetCurrentRecord(r.data(), false), 0);
    EXPECT_EQ(GetStr(c, r, 1), "copy");
    ASSERT_EQ(c.OpenBlob(2, r.data(), 0, false, bmRead), 0);
    EXPECT_EQ(c.GetBlob(2, r.data(), false, count, 50, back.data(), 0), 0);
    EXPECT_EQ(back.substr(0, 50), text.substr(0, 50));
    c.FreeBlob(2, r.data(), 0, false);
    c.DeleteRecord();
    EXPECT_EQ(c.GetRecordCount(), 1);
}

}  // namespace
}  // namespace cursor_test

namespace cursor_test {
namespace {

TEST_F(CursorTest, TransactionsCommitOrRollBackWhatTheCursorChanged) {
    Create("TX", {MakeField(1, "ID", dtInteger, 0, fstAutoInc), MakeField(2, "N", dtInteger)},
           {Index("", {1})});
    TDataCursor& c = OpenCursor("TX");
    auto insert = [&](int32_t n) {
        std::vector<uint8_t> r = Buffer(c);
        PutInt(c, r, 2, n);
        c.InsertRecord(r.data());
    };
    insert(1);
    FDir->StartTransaction();
    insert(2);
    insert(3);
    EXPECT_EQ(c.GetRecordCount(), 3);
    FDir->Rollback();
    EXPECT_EQ(Walk(c, 2), (std::vector<int32_t>{1}));
    EXPECT_EQ(c.GetRecordCount(), 1);
    FDir->StartTransaction();
    insert(4);
    FDir->Commit(true);
    c.Close();
    TDataCursor& again = OpenCursor("TX");
    EXPECT_EQ(Walk(again, 2), (std::vector<int32_t>{1, 4}));
}

}  // namespace
}  // namespace cursor_test
