// The counted B+-tree against a std::map: random insertions and removals in every leaf
// compression, unique and non-unique, ascending and descending, with the tree's
// invariants, the free chains and the ordinals checked after every phase; then the split,
// merge and borrow boundaries.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "db/storage/Encodings.h"
#include "tests/db/engine/IndexFakes.h"

using namespace indextest;

namespace {

constexpr int32_t FieldBytes = 200;

struct ModelCase {
    uint8_t Compression;
    bool Unique;
    bool Descending;
};

std::string CaseName(const testing::TestParamInfo<ModelCase>& info) {
    return "Compression" + std::to_string(info.param.Compression) +
           (info.param.Unique ? "Unique" : "Duplicates") +
           (info.param.Descending ? "Descending" : "Ascending");
}

class BTreeModel : public IndexFixture, public testing::WithParamInterface<ModelCase> {
protected:
    using TModel =
        std::map<std::string, uint32_t, std::function<bool(const std::string&, const std::string&)>>;

    void SetUp() override {
        IndexFixture::SetUp();
        Cursor.Descending = GetParam().Descending;
        FKeyLength = FieldBytes + (GetParam().Unique ? 0 : 4);
        FModel = TModel([this](const std::string& a, const std::string& b) {
            return Cursor.CompareKeys(reinterpret_cast<const uint8_t*>(a.data()),
                                      reinterpret_cast<const uint8_t*>(b.data()), FKeyLength) < 0;
        });
        FFile = &NewFile();
        FFile->AddPrimaryIndex(
            OneFieldIndex("", FKeyLength, true, GetParam().Compression, GetParam().Descending), SizedFields);
        if (!GetParam().Unique) {
            FFile->AddSecondaryIndex(
                OneFieldIndex("ByValue", FKeyLength, false, GetParam().Compression, GetParam().Descending),
                SizedFields);
            FIndex = 1;
        }
    }

    // A key like a string field's: a flag byte, text with a common beginning, zero
    // padding; a non-unique index draws from fewer values and ends in the row id.
    std::string NewKey() {
        for (;;) {
            std::string key(size_t(FKeyLength), '\0');
            key[0] = 1;
            const uint32_t v = GetParam().Unique ? FRandom() % 1000000 : FRandom() % 400;
            const std::string text = "item" + std::to_string(v);
            std::memcpy(key.data() + 1, text.data(), text.size());
            if (!GetParam().Unique)
                EncodeIntegerKey(int32_t(++FRowId), reinterpret_cast<uint8_t*>(key.data()) + FieldBytes);
            if (!FModel.count(key)) return key;
        }
    }
    static const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

    void Insert() {
        const std::string key = NewKey();
        const uint32_t rec = ++FRecordNo;
        ASSERT_TRUE(FFile->InsertIndexKey(&Cursor, FIndex, Bytes(key), rec));
        FModel.emplace(key, rec);
        FKeys.push_back(key);
    }
    void Delete() {
        const size_t i = FRandom() % FKeys.size();
        ASSERT_TRUE(FFile->DeleteIndexKey(&Cursor, FIndex, Bytes(FKeys[i])));
        FModel.erase(FKeys[i]);
        FKeys[i] = FKeys.back();
        FKeys.pop_back();
    }

    void Check(const std::string& phase) {
        SCOPED_TRACE(phase);
        TTreeShape shape;
        ASSERT_EQ(CheckTree(*FFile, Cursor, FIndex, shape), "");
        std::vector<std::pair<std::string, uint32_t>> ordered(FModel.begin(), FModel.end());
        ASSERT_EQ(shape.Keys.size(), ordered.size());
        for (size_t i = 0; i < ordered.size(); ++i) {
            ASSERT_EQ(shape.Keys[i], ordered[i].first) << i;
            ASSERT_EQ(shape.Records[i], ordered[i].second) << i;
        }
        // Every page is in the tree or on the free chain.
        const int32_t free = FreeChainLength(*FFile, Cursor, FIndex);
        ASSERT_GE(free, 0);
        EXPECT_EQ(shape.Pages + free, FilePages(*FFile));
        int32_t count = -1;
        ASSERT_TRUE(FFile->GetIndexKeyCount(&Cursor, FIndex, count));
        EXPECT_EQ(count, int32_t(ordered.size()));
        // Ordinals both ways, for present keys and for absent ones.
        for (int n = 0; n < 60 && !ordered.empty(); ++n) {
            const size_t i = FRandom() % ordered.size();
            int32_t ordinal = 0;
            bool found = false;
            ASSERT_TRUE(FFile->FindKeyOrdinal(&Cursor, FIndex, Bytes(ordered[i].first), ordinal, found));
            EXPECT_TRUE(found);
            EXPECT_EQ(ordinal, int32_t(i) + 1);
            std::string key(size_t(FKeyLength), '\0');
            uint32_t rec = 0;
            ASSERT_TRUE(FFile->GetKeyAtOrdinal(&Cursor, FIndex, int32_t(i) + 1,
                                               reinterpret_cast<uint8_t*>(key.data()), rec, found));
            EXPECT_TRUE(found);
            EXPECT_EQ(key, ordered[i].first);
            EXPECT_EQ(rec, ordered[i].second);
            const std::string absent = NewKey();
            ASSERT_TRUE(FFile->FindKeyOrdinal(&Cursor, FIndex, Bytes(absent), ordinal, found));
            EXPECT_FALSE(found);
            EXPECT_EQ(ordinal, int32_t(std::distance(FModel.begin(), FModel.lower_bound(absent))) + 1);
        }
        if (!ordered.empty()) {
            // The last key's ordinal is the key count.
            int32_t ordinal = 0;
            bool found = false;
            ASSERT_TRUE(FFile->FindKeyOrdinal(&Cursor, FIndex, Bytes(ordered.back().first), ordinal, found));
            EXPECT_EQ(ordinal, int32_t(ordered.size()));
        }
    }

    void Reopen() {
        FFile->FlushPages(false);
        FFile->WriteHeader(false);
        FFile->Close();
        FFile->Open();
    }

    std::mt19937 FRandom{12345};
    TModel FModel;
    std::vector<std::string> FKeys;
    TIndexFile* FFile = nullptr;
    int32_t FIndex = 0;
    int32_t FKeyLength = 0;
    uint32_t FRecordNo = 0;
    uint32_t FRowId = 0;
};

}  // namespace

TEST_P(BTreeModel, RandomInsertsAndDeletesMatchTheMap) {
    for (int i = 0; i < 2200; ++i) ASSERT_NO_FATAL_FAILURE(Insert());
    ASSERT_NO_FATAL_FAILURE(Check("grown"));
    for (int i = 0; i < 2600; ++i) {
        if (FRandom() % 2)
            ASSERT_NO_FATAL_FAILURE(Insert());
        else
            ASSERT_NO_FATAL_FAILURE(Delete());
    }
    ASSERT_NO_FATAL_FAILURE(Check("churned"));
    Reopen();
    ASSERT_NO_FATAL_FAILURE(Check("reopened"));
    while (FKeys.size() > 150) ASSERT_NO_FATAL_FAILURE(Delete());
    ASSERT_NO_FATAL_FAILURE(Check("shrunk"));
    while (!FKeys.empty()) ASSERT_NO_FATAL_FAILURE(Delete());
    ASSERT_NO_FATAL_FAILURE(Check("drained"));
    EXPECT_EQ(FFile->GetRootPageNo(FIndex), 0u);
    EXPECT_EQ(FreeChainLength(*FFile, Cursor, FIndex), FilePages(*FFile));
    // A drained index grows again from its own free pages.
    const uint32_t end = FFile->GetNextNewPage();
    for (int i = 0; i < 300; ++i) ASSERT_NO_FATAL_FAILURE(Insert());
    ASSERT_NO_FATAL_FAILURE(Check("regrown"));
    EXPECT_EQ(FFile->GetNextNewPage(), end);
}

INSTANTIATE_TEST_SUITE_P(AllModes, BTreeModel,
                         testing::Values(ModelCase{0, true, false}, ModelCase{0, false, true},
                                         ModelCase{0, true, true}, ModelCase{0, false, false},
                                         ModelCase{1, true, false}, ModelCase{1, false, true},
                                         ModelCase{1, true, true}, ModelCase{1, false, false},
                                         ModelCase{2, true, false}, ModelCase{2, false, true},
                                         ModelCase{2, true, true}, ModelCase{2, false, false},
                                         ModelCase{3, true, false}, ModelCase{3, false, true},
                                         ModelCase{3, true, true}, ModelCase{3, false, false}),
                         CaseName);

using KeyMoveTest = IndexFixture;

// A key change moved within its leaf leaves the pages as the removal and the insertion do:
// two files given the same changes of a quantity index, one each way, stay equal byte for
// byte. The quantities step up and down by a little, as an UPDATE counting them up does, so
// many changes stay in their leaf, first entries among them: in groups of a hundred keys,
// and alone, where a key steps past no other.
TEST_F(KeyMoveTest, MovesWithinALeafLeaveThePagesAsRemovalAndInsertion) {
    auto key = [](int32_t quantity, int32_t rowId) {
        std::string k(9, '\0');  // flag and quantity, then the row id
        k[0] = 1;
        EncodeIntegerKey(quantity, reinterpret_cast<uint8_t*>(k.data()) + 1);
        EncodeIntegerKey(rowId, reinterpret_cast<uint8_t*>(k.data()) + 5);
        return k;
    };
    using Case = std::pair<uint32_t, std::vector<int32_t>>;  // quantities, steps
    for (const auto& [quantities, steps] : {Case{30, {1, 1, -1, 4}}, Case{1000000, {1, -1}}}) {
        const std::string name = "MEMORY\\Q" + std::to_string(quantities);
        TIndexFile& moved = NewFile(name + "M.IDX");
        TIndexFile& plain = NewFile(name + "P.IDX");
        std::mt19937 random(2026);
        std::vector<int32_t> quantity(3000);
        for (uint32_t row = 1; row <= quantity.size(); ++row)
            quantity[row - 1] = int32_t(random() % quantities);
        for (TIndexFile* f : {&moved, &plain}) {
            f->AddPrimaryIndex(OneFieldIndex("", 9, true, 0), SizedFields);
            f->AddSecondaryIndex(OneFieldIndex("ByQty", 9, false, 0), SizedFields);
            for (uint32_t row = 1; row <= quantity.size(); ++row)
                ASSERT_TRUE(f->InsertIndexKey(&Cursor, 1, Bytes(key(quantity[row - 1], int32_t(row))), row));
        }
        int32_t withinLeaf = 0;
        for (const int32_t step : steps) {
            for (uint32_t row = 1; row <= quantity.size(); ++row) {
                int32_t& q = quantity[row - 1];
                const std::string from = key(q, int32_t(row)), to = key(q += step, int32_t(row));
                bool found = true;
                ASSERT_TRUE(moved.ContainsKey(&Cursor, 1, Bytes(to), found));
                if (moved.MoveKeyWithinLeaf(&Cursor, 1, Bytes(from), Bytes(to), row)) {
                    ++withinLeaf;
                } else {
                    ASSERT_TRUE(moved.DeleteIndexKey(&Cursor, 1, Bytes(from)));
                    ASSERT_TRUE(moved.InsertIndexKey(&Cursor, 1, Bytes(to), row));
                }
                ASSERT_TRUE(plain.DeleteIndexKey(&Cursor, 1, Bytes(from)));
                ASSERT_TRUE(plain.InsertIndexKey(&Cursor, 1, Bytes(to), row));
            }
            for (TIndexFile* f : {&moved, &plain}) f->FlushPages(false);
            ASSERT_TRUE(RawBytes(moved, 0, moved.GetSize()) == RawBytes(plain, 0, plain.GetSize()))
                << quantities << " step " << step;
        }
        EXPECT_GT(withinLeaf, 2000) << quantities;
    }
}
