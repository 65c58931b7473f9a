// Random inserts, modifies and deletes through a cursor against a model, every index
// walked; and the deleted-records index of a table without primary index rebuilt at open.
#include <algorithm>
#include <fstream>
#include <map>
#include <random>
#include <set>
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

// Steps of one cursor in key order, with inserts, key changes and deletes of other
// records through a second cursor in between: each step lands on the key next to the last
// one in the table as it is now, the leaf it was read from changed or not.
TEST_F(CursorModelTest, StepsBetweenChangesOfAnotherCursorFollowTheKeys) {
    Create("SCAN", {MakeField(1, "ID", dtInteger, 0, fstAutoInc), MakeField(2, "K", dtInteger)},
           {Index("", {1}), Index("ByK", {2})});
    TDataCursor& writer = OpenCursor("SCAN");
    std::map<int32_t, int32_t> keyOf;  // row id -> K
    std::set<int32_t> keys;
    for (int32_t i = 1; i <= 1500; ++i) {
        std::vector<uint8_t> r = Buffer(writer);
        PutInt(writer, r, 2, 4 * i);
        writer.InsertRecord(r.data());
        keyOf[i] = 4 * i;
        keys.insert(4 * i);
    }
    int32_t nextId = 1501;
    TDataCursor& scan = OpenCursor("SCAN");
    scan.SwitchToIndex("ByK");
    std::vector<uint8_t> r(size_t(scan.GetRecordSize()));
    std::mt19937 rng(35);
    auto rnd = [&](int n) { return int(rng() % uint32_t(n)); };
    auto freeKey = [&] {
        for (;;)
            if (const int32_t k = 1 + rnd(6100); !keys.count(k)) return k;
    };
    scan.First();
    ASSERT_EQ(scan.GetNextRecord(r.data()), 0);
    int32_t current = GetInt(scan, r, 2);
    for (int step = 0; step < 3000; ++step) {
        const int op = rnd(8);
        if (op == 0) {
            std::vector<uint8_t> n = Buffer(writer);
            const int32_t k = freeKey();
            PutInt(writer, n, 2, k);
            writer.InsertRecord(n.data());
            keyOf[nextId++] = k;
            keys.insert(k);
        } else if (op <= 2 && keys.size() > 2) {
            // Another record than the scan's: its key changes or it goes.
            auto it = std::next(keyOf.begin(), rnd(int(keyOf.size())));
            if (it->second == current) continue;
            writer.SwitchToIndexNumber(0);
            writer.MoveToRecNo(int32_t(std::distance(keyOf.begin(), it)) + 1);
            std::vector<uint8_t> w(size_t(writer.GetRecordSize()));
            ASSERT_EQ(writer.GetCurrentRecord(w.data(), false), 0);
            ASSERT_EQ(GetInt(writer, w, 1), it->first);
            ASSERT_EQ(writer.GetCurrentRecord(w.data(), true), 0);
            keys.erase(it->second);
            if (op == 1) {
                it->second = freeKey();
                PutInt(writer, w, 2, it->second);
                writer.ModifyRecord(w.data());
                keys.insert(it->second);
            } else {
                writer.DeleteRecord();
                keyOf.erase(it);
            }
        }
        const bool forward = rnd(4) != 0;
        auto expected = forward ? keys.upper_bound(current) : keys.lower_bound(current);
        if (!forward) {
            if (expected == keys.begin()) continue;
            --expected;
        }
        if (expected == keys.end()) {
            ASSERT_NE(scan.GetNextRecord(r.data()), 0) << step;
            scan.First();
            ASSERT_EQ(scan.GetNextRecord(r.data()), 0);
            current = GetInt(scan, r, 2);
            ASSERT_EQ(current, *keys.begin());
            continue;
        }
        ASSERT_EQ(forward ? scan.GetNextRecord(r.data()) : scan.GetPriorRecord(r.data()), 0) << step;
        current = GetInt(scan, r, 2);
        ASSERT_EQ(current, *expected) << "step " << step << (forward ? " forward" : " back");
    }
}

// After every step in key order the cursor offers, for one read, the run of following
// record numbers the leaf holds next in the step's direction within the view: counted
// afresh or carried on from the previous step's run.
TEST_F(CursorModelTest, StepsOfferTheLeafsRunOfFollowingRecordNumbers) {
    Create("RUNS", {MakeField(1, "ID", dtInteger, 0, fstAutoInc), MakeField(2, "K", dtInteger)},
           {Index("", {1}), Index("ByK", {2})});
    TDataCursor& c = OpenCursor("RUNS");
    // Record numbers in key order: 4 1 2 3 9 5 6 7 8 10.
    const std::vector<int32_t> keys = {20, 30, 40, 10, 60, 70, 80, 90, 50, 95};
    for (int32_t k : keys) {
        std::vector<uint8_t> r = Buffer(c);
        PutInt(c, r, 2, k);
        c.InsertRecord(r.data());
    }
    c.SwitchToIndex("ByK");
    struct Case {
        int32_t lo, hi;  // key range; 0: none
        bool forward;
    };
    for (const Case& t : std::vector<Case>{{0, 0, true}, {0, 0, false}, {30, 80, true}, {30, 80, false}}) {
        std::vector<int32_t> order;  // record numbers of the view in key order
        std::vector<std::pair<int32_t, int32_t>> byKey;
        for (size_t i = 0; i < keys.size(); ++i)
            if (t.lo == 0 || (keys[i] >= t.lo && keys[i] <= t.hi)) byKey.emplace_back(keys[i], int32_t(i) + 1);
        std::sort(byKey.begin(), byKey.end());
        for (const auto& kr : byKey) order.push_back(kr.second);
        if (!t.forward) std::reverse(order.begin(), order.end());
        if (t.lo == 0) {
            c.CancelRange();
        } else {
            std::vector<uint8_t> lo = Buffer(c), hi = Buffer(c);
            PutInt(c, lo, 2, t.lo);
            PutInt(c, hi, 2, t.hi);
            c.SetRange(false, lo.data(), 1, hi.data(), 1);
        }
        const int32_t way = t.forward ? 1 : -1;
        if (t.forward)
            c.First();
        else
            c.Last();
        std::vector<uint8_t> r(size_t(c.GetRecordSize()));
        for (size_t i = 0; i < order.size(); ++i) {
            ASSERT_EQ(t.forward ? c.GetNextRecord(r.data()) : c.GetPriorRecord(r.data()), 0);
            ASSERT_EQ(int32_t(c.GetPhysicalRecordNumber()), order[i]);
            uint32_t run = 1;
            while (i + run < order.size() && order[i + run] == order[i + run - 1] + way) ++run;
            EXPECT_EQ(c.CountVisibleRun(1000, way), run) << t.lo << (t.forward ? " forward " : " back ") << i;
        }
    }
}

TEST_F(CursorModelTest, DeletedRecordsIndexIsRebuiltWhenItDisagrees) {
    // Lost, as a write cut short would lose it, or damaged so that its tree cannot be read
    // (its root holds no entries): the open builds it again either way.
    for (const bool damaged : {false, true}) {
        SCOPED_TRACE(damaged ? "damaged" : "lost");
        const std::string name = damaged ? "HEAP2" : "HEAP";
        Create(name, {MakeField(1, "N", dtInteger)}, {NoPrimary()});
        {
            TDataCursor& c = OpenCursor(name);
            EXPECT_TRUE(c.IsRecordNumberOrder());
            for (int i = 1; i <= 30; ++i) {
                std::vector<uint8_t> r = Buffer(c);
                PutInt(c, r, 1, i);
                c.InsertRecord(r.data());
            }
            c.MoveToRecNo(10);
            c.DeleteRecord();
            TIndexFile* index = c.Table()->IndexFile();
            const uint32_t root = index->GetRootPageNo(DeletedIndexNo);
            if (!damaged) {
                c.BeginWrite();
                index->SetRootPageNo(DeletedIndexNo, 0);
                index->SetCounter3974(0);
                c.Table()->FlushBuffers(false, true, true, false, true);
                c.EndWrite();
            }
            c.Close();
            if (damaged) {
                std::fstream f(FScratch.File(name + ".IDX"), std::ios::in | std::ios::out | std::ios::binary);
                f.seekp(root);
                f.write("\0\0\0", 3);
            }
        }
        TDataCursor& c = OpenCursor(name);
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
}

}  // namespace
}  // namespace cursor_test
