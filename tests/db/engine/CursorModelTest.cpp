// Random inserts, modifies and deletes through a cursor against a model, every index
// walked; and the deleted-records index of a table without primary index rebuilt at open.
#include <algorithm>
#include <map>
#include <random>
#include <tuple>

#include "db/engine/DataTable.h"
#include "tests/db/engine/CursorFakes.h"

namespace cursor_test {
namespace {

struct Row {
    int32_t k;
    std::string s;
    int32_t v;
};

class CursorModelTest : public CursorTest {
protected:
    // Row ids of the table in the order of an index, as the model says.
    std::vector<int32_t> Expected(int index) const {
        std::vector<int32_t> ids;
        for (const auto& [id, row] : FModel) ids.push_back(id);
        std::sort(ids.begin(), ids.end(), [&](int32_t a, int32_t b) {
            const Row &x = FModel.at(a), &y = FModel.at(b);
            switch (index) {
                case 1:
                    return x.k < y.k;
                case 2:
                    return std::tie(x.s, a) < std::tie(y.s, b);
                case 3:
                    return std::tie(x.v, a) > std::tie(y.v, b);
                default:
                    return a < b;
            }
        });
        return ids;
    }

    std::map<int32_t, Row> FModel;
};

TEST_F(CursorModelTest, RandomChangesMatchTheModelInEveryIndex) {
    Create("MODEL",
           {MakeField(1, "ID", dtInteger, 0, fstAutoInc), MakeField(2, "K", dtInteger),
            MakeField(3, "S", dtString, 6), MakeField(4, "V", dtInteger)},
           {Index("", {1}), Index("ByK", {2}), Index("ByS", {3}, false), Index("ByV", {4}, false, true)});
    TDataCursor& c = OpenCursor("MODEL");
    TDataCursor& reader = NewCursor("MODEL");
    reader.SetRecordNumberOrder(true);
    reader.Open();
    std::mt19937 rng(20261207);
    auto rnd = [&](int n) { return int(rng() % uint32_t(n)); };
    auto text = [&] { return std::string(size_t(1 + rnd(3)), char('a' + rnd(4))); };
    auto keyUsed = [&](int32_t k, int32_t except) {
        for (const auto& [id, row] : FModel)
            if (row.k == k && id != except) return true;
        return false;
    };
    int32_t nextId = 1;
    for (int step = 0; step < 600; ++step) {
        const int op = FModel.empty() ? 0 : rnd(10);
        if (op < 5) {
            Row row{rnd(400), text(), rnd(20)};
            std::vector<uint8_t> r = Buffer(c);
            PutInt(c, r, 2, row.k);
            PutStr(c, r, 3, row.s);
            PutInt(c, r, 4, row.v);
            const uint16_t code = RaisedCode([&] { c.InsertRecord(r.data()); });
            if (keyUsed(row.k, -1)) {
                ASSERT_EQ(code, ZIZIVU_KEYVIOL) << step;
            } else {
                ASSERT_EQ(code, 0) << step;
                FModel[nextId++] = row;
            }
        } else {
            // A random record through the primary index (row ids ascend).
            c.SwitchToIndexNumber(0);
            const int n = 1 + rnd(int(FModel.size()));
            c.MoveToRecNo(n);
            const int32_t id = std::next(FModel.begin(), n - 1)->first;
            std::vector<uint8_t> r(size_t(c.GetRecordSize()));
            ASSERT_EQ(c.GetCurrentRecord(r.data(), false), 0);
            ASSERT_EQ(GetInt(c, r, 1), id);
            if (op < 8) {
                ASSERT_EQ(c.GetCurrentRecord(r.data(), true), 0);
                Row row = FModel[id];
                if (rnd(2)) row.k = rnd(400);
                if (rnd(2)) row.s = text();
                row.v = rnd(20);
                PutInt(c, r, 2, row.k);
                PutStr(c, r, 3, row.s);
                PutInt(c, r, 4, row.v);
                const uint16_t code = RaisedCode([&] { c.ModifyRecord(r.data()); });
                if (keyUsed(row.k, id)) {
                    ASSERT_EQ(code, ZIZIVU_KEYVIOL) << step;
                } else {
                    ASSERT_EQ(code, 0) << step;
                    FModel[id] = row;
                }
            } else {
                c.DeleteRecord();
                FModel.erase(id);
            }
        }
        if (step % 50 != 49) continue;
        for (int index = 0; index <= 3; ++index) {
            c.SwitchToIndexNumber(index);
            ASSERT_EQ(Walk(c, 1), Expected(index)) << "index " << index << " after step " << step;
            ASSERT_EQ(c.GetRecordCount(), int32_t(FModel.size()));
            // Backwards too.
            std::vector<int32_t> back;
            std::vector<uint8_t> r(size_t(c.GetRecordSize()));
            c.Last();
            while (c.GetPriorRecord(r.data()) == 0) back.push_back(GetInt(c, r, 1));
            std::reverse(back.begin(), back.end());
            ASSERT_EQ(back, Expected(index));
        }
        // The other cursor sees the changes at its next move.
        std::vector<int32_t> physical = Walk(reader, 1);
        std::sort(physical.begin(), physical.end());
        ASSERT_EQ(physical, Expected(0));
        ASSERT_EQ(reader.GetRecordCount(), int32_t(FModel.size()));
    }
}

TEST_F(CursorModelTest, DeletedRecordsIndexIsRebuiltWhenItDisagrees) {
    Create("HEAP", {MakeField(1, "N", dtInteger)}, {NoPrimary()});
    {
        TDataCursor& c = OpenCursor("HEAP");
        EXPECT_TRUE(c.IsRecordNumberOrder());
        for (int i = 1; i <= 30; ++i) {
            std::vector<uint8_t> r = Buffer(c);
            PutInt(c, r, 1, i);
            c.InsertRecord(r.data());
        }
        c.MoveToRecNo(10);
        c.DeleteRecord();
        // Lose the deleted-records index, as a write cut short would.
        TIndexFile* index = c.Table()->IndexFile();
        c.BeginWrite();
        index->SetRootPageNo(DeletedIndexNo, 0);
        index->SetCounter3974(0);
        c.Table()->FlushBuffers(false, true, true, false, true);
        c.EndWrite();
        c.Close();
    }
    TDataCursor& c = OpenCursor("HEAP");
    EXPECT_EQ(c.GetRecordCount(), 29);
    EXPECT_EQ(c.GetTableRecordCount(), 29);
    std::vector<int32_t> expected;
    for (int i = 1; i <= 30; ++i)
        if (i != 10) expected.push_back(i);
    EXPECT_EQ(Walk(c, 1), expected);
    // A table without primary index appends: the deleted slot is not reused.
    std::vector<uint8_t> r = Buffer(c);
    PutInt(c, r, 1, 31);
    c.InsertRecord(r.data());
    EXPECT_EQ(c.GetPhysicalRecordNumber(), 31u);
}

}  // namespace
}  // namespace cursor_test
