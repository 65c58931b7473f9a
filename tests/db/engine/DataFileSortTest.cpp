#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "db/engine/DataFile.h"
#include "db/storage/Encodings.h"
#include "platform/rtl/ByteCodec.h"
#include "platform/rtl/SysUtils.h"
#include "tests/db/engine/EngineFilesFakes.h"
#include "tests/support/FaultyFile.h"
#include "tests/support/ScratchDir.h"

using namespace enginefiles_test;

namespace {

// K1 integer, K2 string[10], V integer, N integer: record size 36, so that a run holds
// 8191 records and the cache 3640.
constexpr int32_t OffK1 = 9, OffK2 = 14, OffV = 26, OffN = 31;
constexpr int32_t BigTable = 20000;

struct Row {
    uint32_t RowId = 0;
    std::optional<int32_t> K1;
    std::optional<std::string> K2;
    int32_t V = 0;
    int32_t N = 0;
    bool operator==(const Row&) const = default;
};

std::vector<TFieldDescriptor> Fields() {
    return {MakeField(1, "K1", dtInteger), MakeField(2, "K2", dtString, 10), MakeField(3, "V", dtInteger),
            MakeField(4, "N", dtInteger)};
}

void PutInt(uint8_t* image, int32_t offset, std::optional<int32_t> v) {
    image[offset] = v ? 1 : 0;
    bytes::PutI32(image + offset + 1, v.value_or(0));
}

std::optional<int32_t> GetInt(const uint8_t* image, int32_t offset) {
    if (!image[offset]) return std::nullopt;
    return bytes::GetI32(image + offset + 1);
}

Row Decode(const uint8_t* image) {
    Row r;
    r.RowId = bytes::GetU32(image + 5);
    r.K1 = GetInt(image, OffK1);
    if (image[OffK2]) r.K2 = std::string(reinterpret_cast<const char*>(image + OffK2 + 1));
    r.V = GetInt(image, OffV).value_or(0);
    r.N = GetInt(image, OffN).value_or(0);
    return r;
}

const std::vector<std::string> Words = {"apple",  "APPLE", "Banana",   "banana",
                                        "cherry", "Delta", "\xE9tude", "zebra"};

// Row i of a generated table: keys repeat so that groups and duplicates form.
Row Generated(uint32_t i) {
    uint32_t x = i * 2654435761u;
    Row r;
    r.RowId = i + 1;
    if (x % 17 != 0) r.K1 = int32_t((x >> 8) % 40) - 5;
    if (x % 13 != 0) r.K2 = Words[(x >> 16) % Words.size()];
    r.V = int32_t(i % 1000);
    return r;
}

struct SortField {
    int32_t Field;  // 0 K1, 1 K2, 2 V
    bool Descending;
};

// The order a sort must give, built from the values: blanks first (last when descending),
// strings by bytes (upper-cased when case-insensitive), the row id last.
int ModelCompare(const Row& a, const Row& b, const std::vector<SortField>& order, bool ci) {
    for (const SortField& s : order) {
        int c = 0;
        if (s.Field == 0) {
            if (a.K1.has_value() != b.K1.has_value())
                c = a.K1 ? 1 : -1;
            else if (a.K1)
                c = *a.K1 < *b.K1 ? -1 : *a.K1 > *b.K1;
        } else if (s.Field == 2) {
            c = a.V < b.V ? -1 : a.V > b.V;
        } else {
            if (a.K2.has_value() != b.K2.has_value()) {
                c = a.K2 ? 1 : -1;
            } else if (a.K2) {
                std::string x = ci ? UpperCase(*a.K2) : *a.K2, y = ci ? UpperCase(*b.K2) : *b.K2;
                c = x.compare(y) < 0 ? -1 : x.compare(y) > 0;
            }
        }
        if (c) return s.Descending ? -c : c;
    }
    return 0;
}

class DataFileSortTest : public EngineFilesTest {
protected:
    void SetUp() override {
        EngineFilesTest::SetUp();
        GlobalFileList()->SetFileFactory([this](const std::string& name, bool) -> TAbstractFile* {
            if (EndsWithText(name, ".TMP")) FScratchMade.push_back(name);
            return nullptr;
        });
    }
    void TearDown() override {
        FFile.reset();
        EngineFilesTest::TearDown();
    }

    static bool EndsWithText(const std::string& s, const std::string& suffix) {
        return s.size() >= suffix.size() && SameText(s.substr(s.size() - suffix.size()), suffix);
    }

    void UseDisk(bool disk) {
        FTable.Memory = !disk;
        FTable.Private = disk ? FDir.Path() : "";
    }

    // A table of n generated rows (or the given ones), written and with an empty cache.
    TDataFile& Build(uint32_t n, uint16_t language = 0, bool encrypted = false, std::vector<Row> rows = {}) {
        if (rows.empty())
            for (uint32_t i = 0; i < n; ++i) rows.push_back(Generated(i));
        const auto fields = Fields();
        FFile = std::make_unique<TDataFile>(&FTable);
        FFile->SetFileName(FTable.Memory ? "SORTED.DAT" : FDir.File("SORTED.DAT"));
        FFile->SetInMemory(FTable.Memory);
        FFile->CreateFile();
        FFile->InitStructure(language, 0, fields.data(), 4, 0, "", encrypted ? "pw" : "", encrypted, 0, 0);
        for (const Row& row : rows) {
            TRecord* r = nullptr;
            EXPECT_TRUE(FFile->AllocateRecord(&FCursor, r));
            r->Clear(true);
            uint8_t* image = r->GetBuffer();
            PutInt(image, OffK1, row.K1);
            image[OffK2] = row.K2 ? 1 : 0;
            if (row.K2) std::memcpy(image + OffK2 + 1, row.K2->c_str(), row.K2->size() + 1);
            PutInt(image, OffV, row.V);
            PutInt(image, OffN, row.N);
            r->SetModified(true);
            FFile->ReleaseRecord(r);
        }
        FFile->FlushRecords(false);
        FFile->ClearRecordCache();
        FFile->WriteHeader(true, false);
        FFile->WriteFieldDescriptors();
        return *FFile;
    }

    // Every record in number order, checked to be active and numbered; the cache left empty.
    std::vector<Row> ReadAll() {
        std::vector<Row> rows;
        for (uint32_t n = 1; n <= FFile->GetPhysicalRecordCount(); ++n) {
            TRecord* r = nullptr;
            EXPECT_TRUE(FFile->GetRecord(&FCursor, n, r));
            EXPECT_EQ(r->GetStatus(), 0);
            EXPECT_EQ(bytes::GetU32(r->GetBuffer() + 1), n);
            rows.push_back(Decode(r->GetBuffer()));
            FFile->ReleaseRecord(r);
        }
        FFile->ClearRecordCache();
        return rows;
    }

    void CacheAll() {
        for (uint32_t n = 1; n <= FFile->GetPhysicalRecordCount(); ++n) {
            TRecord* r = nullptr;
            // Inside a transaction dirty records make the cache grow past its capacity (a
            // read-ahead would only push out what it read).
            ASSERT_TRUE(FFile->GetRecord(&FCursor, n, r, 1, false, !FTable.Transaction));
            if (FTable.Transaction) r->SetModified(true);
            FFile->ReleaseRecord(r);
        }
        ASSERT_EQ(FFile->CacheCount(), int32_t(FFile->GetPhysicalRecordCount()));
    }

    static std::vector<TFieldDescriptor> SortDescriptors(const std::vector<SortField>& order) {
        std::vector<TFieldDescriptor> all = Fields(), out;
        int32_t offset = RecordHeaderSize;
        for (TFieldDescriptor& f : all) {
            SetFieldDataSize(f);
            f.Offset = uint16_t(offset);
            offset += f.DataSize + 1;
        }
        for (const SortField& s : order) {
            out.push_back(all[size_t(s.Field)]);
            out.back().WorkArea[SortDescendingByte] = s.Descending ? 1 : 0;
        }
        return out;
    }

    uint32_t Sort(const std::vector<SortField>& order, bool ci = false, bool dedupe = false,
                  const TSortGroupSteps* steps = nullptr) {
        const auto fields = SortDescriptors(order);
        return FFile->SortRecords(int32_t(fields.size()), fields.data(), ci, dedupe, steps);
    }

    // Scratch files made (a disk file's object is made again whenever it is opened).
    size_t ScratchNames() const {
        std::vector<std::string> names = FScratchMade;
        std::sort(names.begin(), names.end());
        return size_t(std::unique(names.begin(), names.end()) - names.begin());
    }

    // Whether a scratch file of any sort so far is still there.
    bool ScratchLeft() {
        for (const std::string& name : FScratchMade)
            if (DataFileExists(name, FTable.Memory)) return true;
        for (const auto& entry : std::filesystem::directory_iterator(FDir.Path()))
            if (EndsWithText(entry.path().string(), ".TMP")) return true;
        return false;
    }

    TScratchDir FDir{"sortrec"};
    TFakeTable FTable;
    TFakeCursor FCursor;
    std::unique_ptr<TDataFile> FFile;
    std::vector<std::string> FScratchMade;
};

// ---- Order ------------------------------------------------------------------------------

TEST_F(DataFileSortTest, RunsMergeIntoTheOrderOfTheKeys) {
    struct Case {
        const char* Name;
        std::vector<SortField> Order;
        bool CaseInsensitive, Dedupe, Disk, Encrypted;
    };
    const Case cases[] = {
        {"ascending", {{0, false}}, false, false, false, false},
        {"descending on disk", {{0, true}}, false, false, true, false},
        {"two fields", {{0, false}, {1, true}}, false, false, false, true},
        {"distinct, no case", {{1, false}, {0, true}}, true, true, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        UseDisk(c.Disk);
        FScratchMade.clear();
        Build(BigTable, 0, c.Encrypted);
        std::vector<Row> expected;
        for (uint32_t i = 0; i < BigTable; ++i) expected.push_back(Generated(i));
        std::stable_sort(expected.begin(), expected.end(), [&](const Row& a, const Row& b) {
            return ModelCompare(a, b, c.Order, c.CaseInsensitive) < 0;
        });
        if (c.Dedupe) {
            auto same = [&](const Row& a, const Row& b) { return ModelCompare(a, b, c.Order, true) == 0; };
            expected.erase(std::unique(expected.begin(), expected.end(), same), expected.end());
        }
        EXPECT_EQ(Sort(c.Order, c.CaseInsensitive, c.Dedupe), expected.size());
        EXPECT_EQ(ScratchNames(), 3u);  // 20,000 records in runs of 8191
        EXPECT_FALSE(ScratchLeft());
        EXPECT_EQ(FFile->GetPhysicalRecordCount(), expected.size());
        EXPECT_TRUE(ReadAll() == expected);
        FFile->WriteHeader(false, false);
        FFile->Close();
        FFile->Open();
        EXPECT_EQ(RaisedCode([&] { FFile->CheckHeader(); }), 0);
    }
}

TEST_F(DataFileSortTest, DistinctOverRunsReadInSlicesKeepsTheFirstOfEachKey) {
    // Nine runs: each is read back in two slices, and most of a run's records repeat the
    // key before them.
    constexpr uint32_t Rows = 9 * 8191 - 100;
    UseDisk(false);
    for (const std::vector<SortField>& order :
         {std::vector<SortField>{{0, true}}, std::vector<SortField>{{1, false}, {0, false}}}) {
        Build(Rows);
        std::vector<Row> expected;
        for (uint32_t i = 0; i < Rows; ++i) expected.push_back(Generated(i));
        std::stable_sort(expected.begin(), expected.end(),
                         [&](const Row& a, const Row& b) { return ModelCompare(a, b, order, false) < 0; });
        auto same = [&](const Row& a, const Row& b) { return ModelCompare(a, b, order, false) == 0; };
        expected.erase(std::unique(expected.begin(), expected.end(), same), expected.end());
        EXPECT_EQ(Sort(order, false, true), expected.size());
        EXPECT_TRUE(ReadAll() == expected);
    }
}

TEST_F(DataFileSortTest, LanguageOrdersStringsByTheLocale) {
    // English: letters by the alphabet whatever their case, the accented letter among them;
    // byte order puts capitals first and the accented letter last.
    std::vector<Row> rows;
    const std::vector<std::string> words = {"zebra", "Delta", "\xE9tude", "apple", "cherry", "Banana"};
    for (uint32_t i = 0; i < 300; ++i) {
        Row r;
        if (i % 7 != 3) r.K2 = words[i % words.size()];
        r.V = int32_t(i);
        rows.push_back(r);
    }
    struct Case {
        uint16_t Language;
        bool Descending, Cached;
        std::vector<std::string> Order;  // "" for blank
    };
    const Case cases[] = {
        {0x409, false, false, {"", "apple", "Banana", "cherry", "Delta", "\xE9tude", "zebra"}},
        {0x409, true, true, {"zebra", "\xE9tude", "Delta", "cherry", "Banana", "apple", ""}},
        {0, false, true, {"", "Banana", "Delta", "apple", "cherry", "zebra", "\xE9tude"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.Language << (c.Descending ? " desc" : ""));
        Build(0, c.Language, false, rows);
        if (c.Cached) CacheAll();
        ASSERT_EQ(Sort({{1, c.Descending}}, false, true), c.Order.size());
        std::vector<std::string> got;
        for (const Row& r : ReadAll()) got.push_back(r.K2.value_or(""));
        EXPECT_EQ(got, c.Order);
    }
}

// ---- Groups -----------------------------------------------------------------------------

// Sums V per K1 group and counts its rows in N, finishes N as count × 100 and keeps the
// groups whose K1 is even or blank.
struct GroupProbe {
    int FirstCalls = 0, FinishCalls = 0, KeepCalls = 0;
    int ThrowAtKeep = 0;
    TSortGroupSteps Steps() {
        TSortGroupSteps s;
        s.Accumulate = [this](uint8_t* head, const uint8_t* row, bool first) {
            if (first) {
                EXPECT_EQ(head, row);
                ++FirstCalls;
                PutInt(head, OffN, 1);
                return;
            }
            PutInt(head, OffV, *GetInt(head, OffV) + *GetInt(row, OffV));
            PutInt(head, OffN, *GetInt(head, OffN) + 1);
        };
        s.Finish = [this](uint8_t* head) {
            ++FinishCalls;
            PutInt(head, OffN, *GetInt(head, OffN) * 100);
        };
        s.Keep = [this](const uint8_t* head) {
            if (++KeepCalls == ThrowAtKeep) throw std::runtime_error("having failed");
            auto k = GetInt(head, OffK1);
            return !k || *k % 2 == 0;
        };
        return s;
    }
};

std::vector<Row> ExpectedGroups(uint32_t n) {
    std::vector<Row> rows;
    for (uint32_t i = 0; i < n; ++i) rows.push_back(Generated(i));
    std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
        return ModelCompare(a, b, {{0, false}}, false) < 0;
    });
    std::vector<Row> groups;
    for (size_t i = 0; i < rows.size();) {
        Row head = rows[i];
        head.N = 0;
        head.V = 0;
        size_t j = i;
        for (; j < rows.size() && rows[j].K1 == rows[i].K1; ++j) {
            head.V += rows[j].V;
            ++head.N;
        }
        head.N *= 100;
        if (!head.K1 || *head.K1 % 2 == 0) groups.push_back(head);
        i = j;
    }
    return groups;
}

TEST_F(DataFileSortTest, GroupsFoldIntoTheirFirstRecord) {
    GroupProbe probe;
    const TSortGroupSteps steps = probe.Steps();
    Build(BigTable);
    const std::vector<Row> expected = ExpectedGroups(BigTable);
    EXPECT_EQ(Sort({{0, false}}, false, false, &steps), expected.size());
    EXPECT_EQ(probe.FirstCalls, 41);  // K1 from -5 to 34 and blank
    EXPECT_EQ(probe.FinishCalls, 41);
    EXPECT_EQ(probe.KeepCalls, 41);
    EXPECT_EQ(ScratchNames(), 3u);
    EXPECT_TRUE(ReadAll() == expected);
}

TEST_F(DataFileSortTest, CachedTableSortsAsTheRunsDo) {
    // Inside a transaction the cache grows until it holds the whole table.
    GroupProbe probe;
    const TSortGroupSteps steps = probe.Steps();
    struct Case {
        std::vector<SortField> Order;
        const TSortGroupSteps* Steps;
    };
    for (const Case& c : {Case{{{0, true}, {1, false}}, nullptr}, Case{{{0, false}}, &steps}}) {
        Build(BigTable);
        Sort(c.Order, false, false, c.Steps);
        FFile->Close();
        const std::string byRuns = FileBytes("SORTED.DAT").substr(DataFileHeaderSize);
        FScratchMade.clear();
        Build(BigTable);
        FTable.Transaction = true;
        CacheAll();
        Sort(c.Order, false, false, c.Steps);
        FTable.Transaction = false;
        EXPECT_TRUE(FScratchMade.empty());
        EXPECT_EQ(FFile->CacheCount(), 0);
        FFile->Close();
        EXPECT_TRUE(FileBytes("SORTED.DAT").substr(DataFileHeaderSize) == byRuns);
    }
}

// ---- Deleted records and bad input --------------------------------------------------------

TEST_F(DataFileSortTest, DeletedRecordsLeaveTheTable) {
    for (bool cached : {false, true}) {
        SCOPED_TRACE(cached ? "cached" : "runs");
        Build(500);
        for (uint32_t n : {7u, 1u, 500u, 250u}) {
            TRecord* r = nullptr;
            ASSERT_TRUE(FFile->GetRecord(&FCursor, n, r));
            FFile->DeleteRecord(r);
            FFile->ReleaseRecord(r);
        }
        if (cached) CacheAll();
        EXPECT_EQ(Sort({{0, false}}), 496u);
        EXPECT_EQ(FFile->Header().DeletedHead, 0u);
        EXPECT_EQ(FFile->GetNextFreeRecordNo(), 497u);
        std::vector<uint32_t> ids;
        for (const Row& r : ReadAll()) ids.push_back(r.RowId);
        std::sort(ids.begin(), ids.end());
        std::vector<uint32_t> expected;
        for (uint32_t id = 1; id <= 500; ++id)
            if (id != 7 && id != 1 && id != 500 && id != 250) expected.push_back(id);
        EXPECT_EQ(ids, expected);
    }
}

TEST_F(DataFileSortTest, FieldOutsideTheRecordIsRefused) {
    Build(10);
    auto fields = SortDescriptors({{1, false}});
    fields[0].Offset = 30;  // 11 bytes from 31 pass the record's 36
    EXPECT_EQ(RaisedCode([&] { FFile->SortRecords(1, fields.data(), false, false, nullptr); }),
              ZIZIVU_INVALIDFIELD);
}

// ---- Failures ---------------------------------------------------------------------------

TEST_F(DataFileSortTest, NoScratchFileOutlivesAFailure) {
    struct Case {
        const char* Name;
        bool Disk;
        TFileFault Scratch;    // faults of scratch files
        TFileFault DataWrite;  // fault of the data file once the sort starts
        int ThrowAtKeep;
        uint16_t Code;  // 0 for the callback's own exception
    };
    const Case cases[] = {
        {"keep step throws", true, {}, {}, 3, 0},
        {"keep step throws in memory", false, {}, {}, 40, 0},
        {"second run cannot be written", true, {TFileFault::WriteError, 0}, {}, 0, ZIZIVU_WRITEERR},
        {"run cannot be read back", false, {TFileFault::ReadError, 0}, {}, 0, ZIZIVU_READERR},
        {"merged records cannot be written", true, {}, {TFileFault::WriteError, 0}, 0, ZIZIVU_WRITEERR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        UseDisk(c.Disk);
        TFaultInjector faults;
        // Scratch names end in a counter from 0: the second run's ends in "1.TMP".
        faults.Plan(c.Scratch.Kind == TFileFault::WriteError ? "1.TMP" : ".TMP", c.Scratch);
        Build(BigTable);
        const int32_t files = GlobalFileList()->Count();
        if (c.DataWrite.Kind != TFileFault::None)
            dynamic_cast<TFaultyFile<TPhysicalFile>&>(*FFile->FileObject()).SetFault(c.DataWrite);
        GroupProbe probe;
        probe.ThrowAtKeep = c.ThrowAtKeep;
        const TSortGroupSteps steps = probe.Steps();
        try {
            Sort({{0, false}}, false, false, &steps);
            ADD_FAILURE() << "the sort did not fail";
        } catch (const EZIZIVUEngineError& e) {
            EXPECT_EQ(e.ErrorCode(), c.Code);
        } catch (const std::runtime_error&) {
            EXPECT_EQ(c.Code, 0);
        }
        EXPECT_FALSE(ScratchLeft());
        EXPECT_EQ(GlobalFileList()->Count(), files);
        FFile.reset();
    }
}

TEST_F(DataFileSortTest, FailedSortKeepsEveryRecord) {
    // Nearly every record is a group of its own: the first output buffer (8191 records)
    // reaches the file before the keep step fails at its 17,000th group. A cached table
    // gets its records back from the cache, one sorted by runs from the runs.
    const std::vector<SortField> order = {{0, false}, {1, false}, {2, false}};
    std::vector<Row> sorted;
    for (uint32_t i = 0; i < BigTable; ++i) sorted.push_back(Generated(i));
    std::stable_sort(sorted.begin(), sorted.end(),
                     [&](const Row& a, const Row& b) { return ModelCompare(a, b, order, false) < 0; });
    for (bool cached : {true, false}) {
        for (int throwAt : {3, 17000}) {
            SCOPED_TRACE(testing::Message() << (cached ? "cached, " : "runs, ") << throwAt);
            Build(BigTable);
            const std::vector<Row> before = ReadAll();
            if (cached) {
                FTable.Transaction = true;
                CacheAll();
                FFile->FlushRecords(false);  // every cached record clean, as the file holds it
            }
            GroupProbe probe;
            probe.ThrowAtKeep = throwAt;
            const TSortGroupSteps steps = probe.Steps();
            EXPECT_THROW(Sort(order, false, false, &steps), std::runtime_error);
            FTable.Transaction = false;
            FFile->FlushRecords(false);
            FFile->ClearRecordCache();
            EXPECT_TRUE(ReadAll() == (cached || throwAt == 3 ? before : sorted));
        }
    }
}

}  // namespace
