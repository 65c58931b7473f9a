#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "db/engine/BlobFile.h"
#include "platform/rtl/ByteCodec.h"
#include "tests/db/engine/EngineFilesFakes.h"
#include "tests/support/ScratchDir.h"

using namespace enginefiles_test;

// The sanitizers' allocation hook, when the tests run under one.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, size_t),
                                                         void (*)(const volatile void*))
    __attribute__((weak));

namespace {

// The largest allocation made while a TLargestAllocation is alive (sanitizer builds only).
std::atomic<bool> gWatchAllocations{false};
std::atomic<size_t> gLargestAllocation{0};
void OnMalloc(const volatile void*, size_t size) {
    if (!gWatchAllocations) return;
    size_t seen = gLargestAllocation;
    while (size > seen && !gLargestAllocation.compare_exchange_weak(seen, size)) {
    }
}
void OnFree(const volatile void*) {}

struct TLargestAllocation {
    static bool Available() {
        static const bool installed = __sanitizer_install_malloc_and_free_hooks &&
                                      __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree);
        return installed;
    }
    TLargestAllocation() {
        gLargestAllocation = 0;
        gWatchAllocations = true;
    }
    ~TLargestAllocation() { gWatchAllocations = false; }
    size_t Bytes() const { return gLargestAllocation; }
};

std::string Pattern(size_t n, int seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char((i * 7 + size_t(seed)) % 251);
    return s;
}

class BlobFileTest : public EngineFilesTest {
protected:
    std::unique_ptr<TBlobFile> NewFile(int32_t blockSize = 512, bool encrypted = false) {
        auto f = std::make_unique<TBlobFile>(&FTable);
        f->SetFileName("PARTS.BLB");
        f->SetInMemory(true);
        f->SetBlockSize(blockSize);
        f->SetEncrypted(encrypted);
        return f;
    }
    std::unique_ptr<TBlobFile> Create(int32_t blockSize = 512, bool encrypted = false) {
        auto f = NewFile(blockSize, encrypted);
        f->CreateFile();
        f->WriteHeader(true, false);
        return f;
    }
    // Writes everything and forgets the cache, so that what follows reads the file.
    static void Persist(TBlobFile& f) {
        f.FlushBlocks(false);
        f.WriteHeader(false, false);
        f.ClearBlockCache();
    }
    // A new file holding one 1000-byte value of record 1, written and closed; its first block.
    uint32_t CreateWithOneValue() {
        auto f = Create();
        const uint32_t first = Save(*f, 1, Pattern(1000, 1));
        Persist(*f);
        f->Close();
        return first;
    }

    uint32_t Save(TBlobFile& f, uint32_t recordNo, const std::string& value, uint32_t first = 0) {
        TBlobBuffer b(&f, &FCursor);
        b.RecordNo = recordNo;
        b.FirstBlock = first;
        b.SetSize(uint32_t(value.size()));
        if (!value.empty()) std::memcpy(b.GetData(), value.data(), value.size());
        b.Save();
        return b.FirstBlock;
    }
    std::string Load(TBlobFile& f, uint32_t recordNo, uint32_t first) {
        TBlobBuffer b(&f, &FCursor);
        b.RecordNo = recordNo;
        b.FirstBlock = first;
        b.Load();
        return std::string(reinterpret_cast<const char*>(b.GetData()), b.Length());
    }

    struct TBlockView {
        uint32_t prev, next, used, owner, total;
        bool operator==(const TBlockView&) const = default;
    };
    TBlockView View(TBlobFile& f, uint32_t position) {
        TBlock* b = nullptr;
        EXPECT_TRUE(f.GetBlock(&FCursor, position, b));
        TBlockView v{b->PrevBlock(), b->NextBlock(), b->BytesUsed(), b->OwnerRecord(), b->TotalLength()};
        f.ReleaseBlock(b);
        return v;
    }
    // Changes one block through the cache and writes it.
    void Damage(TBlobFile& f, uint32_t position, const std::function<void(TBlock*)>& change) {
        TBlock* b = nullptr;
        ASSERT_TRUE(f.GetBlock(&FCursor, position, b));
        change(b);
        f.ReleaseBlock(b);
        Persist(f);
    }

    TFakeTable FTable;
    TFakeCursor FCursor;
};

TEST_F(BlobFileTest, ValueIsSplitIntoALinkedChainOfBlocks) {
    auto f = Create();
    EXPECT_EQ(f->DataSize(), 494);
    const std::string value = Pattern(1000, 1);
    const uint32_t first = Save(*f, 1, value);
    EXPECT_EQ(first, 512u);
    Persist(*f);
    EXPECT_EQ(View(*f, 512), (TBlockView{0, 1024, 494, 1, 1000}));
    EXPECT_EQ(View(*f, 1024), (TBlockView{512, 1536, 494, 1, 0}));
    EXPECT_EQ(View(*f, 1536), (TBlockView{1024, 0, 12, 1, 0}));
    EXPECT_EQ(Load(*f, 1, first), value);
    f->Close();

    const std::string raw = FileBytes("PARTS.BLB");
    ASSERT_EQ(raw.size(), 2048u);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(raw.data());
    EXPECT_EQ(p[8], 4);
    EXPECT_EQ(bytes::GetU32(p + 9), 0u);
    EXPECT_EQ(bytes::GetU32(p + 13), 2048u);
    EXPECT_EQ(bytes::GetU32(p + 512 + 0), 0u);
    EXPECT_EQ(bytes::GetU32(p + 512 + 4), 1024u);
    EXPECT_EQ(bytes::GetU16(p + 512 + 8), 494);
    EXPECT_EQ(bytes::GetU32(p + 512 + 10), 1u);
    EXPECT_EQ(bytes::GetU32(p + 512 + 14), 1000u);
    EXPECT_EQ(raw.substr(512 + 18, 494), value.substr(0, 494));
    EXPECT_EQ(raw.substr(1536 + 18, 12), value.substr(988, 12));

    auto g = NewFile();
    g->Open();
    g->CheckHeader();
    EXPECT_EQ(Load(*g, 1, first), value);
}

TEST_F(BlobFileTest, ShrinkingFreesTheTailAndNewValuesReuseTheLastFreedFirst) {
    auto f = Create();
    uint32_t first = Save(*f, 1, Pattern(1000, 1));
    first = Save(*f, 1, Pattern(100, 2), first);
    EXPECT_EQ(first, 512u);
    EXPECT_EQ(f->Header().FreeHead, 1536u);
    EXPECT_EQ(View(*f, 1536).next, 1024u);
    EXPECT_EQ(View(*f, 512).next, 0u);
    Persist(*f);
    EXPECT_EQ(Load(*f, 1, first), Pattern(100, 2));

    const uint32_t second = Save(*f, 2, Pattern(1000, 3));
    EXPECT_EQ(second, 1536u);
    EXPECT_EQ(View(*f, 1536), (TBlockView{0, 1024, 494, 2, 1000}));
    EXPECT_EQ(View(*f, 1024), (TBlockView{1536, 2048, 494, 2, 0}));
    EXPECT_EQ(View(*f, 2048), (TBlockView{1024, 0, 12, 2, 0}));
    EXPECT_EQ(f->Header().FreeHead, 0u);
    Persist(*f);
    EXPECT_EQ(Load(*f, 2, second), Pattern(1000, 3));
    EXPECT_EQ(Load(*f, 1, first), Pattern(100, 2));

    TBlobBuffer b(f.get(), &FCursor);
    b.RecordNo = 2;
    b.FirstBlock = second;
    b.FreeBlocks();
    EXPECT_EQ(b.FirstBlock, 0u);
    EXPECT_EQ(f->Header().FreeHead, 2048u);
}

TEST_F(BlobFileTest, DamagedChainsFailWithTheirCodes) {
    struct ChainCase {
        const char* what;
        uint32_t block;  // the block to damage (0: none)
        std::function<void(TBlock*)> change;
        uint16_t loadCode;
        uint16_t saveCode;  // saving 2000 bytes over the damaged chain
    };
    const ChainCase cases[] = {
        {"intact", 0, nullptr, 0, 0},
        {"total beyond chain", 512, [](TBlock* b) { b->SetTotalLength(1500); }, ZIZIVU_ENDOFBLOB, 0},
        {"foreign owner", 1024, [](TBlock* b) { b->SetOwnerRecord(99); }, ZIZIVU_RECCHANGED,
         ZIZIVU_RECCHANGED},
        {"cycle", 1024, [](TBlock* b) { b->SetNextBlock(512); }, ZIZIVU_BLOCKBUFCORRUPT,
         ZIZIVU_BLOCKBUFCORRUPT},
        {"misaligned link", 1024, [](TBlock* b) { b->SetNextBlock(1536 + 100); }, ZIZIVU_BLOCKBUFCORRUPT,
         ZIZIVU_BLOCKBUFCORRUPT},
        {"link beyond file", 1024, [](TBlock* b) { b->SetNextBlock(1 << 20); }, ZIZIVU_BLOCKBUFCORRUPT,
         ZIZIVU_BLOCKBUFCORRUPT},
        {"huge total", 512, [](TBlock* b) { b->SetTotalLength(0xFFFFFFF0u); }, ZIZIVU_ENDOFBLOB, 0},
    };
    for (const ChainCase& c : cases) {
        SCOPED_TRACE(c.what);
        auto f = Create();
        const uint32_t first = Save(*f, 1, Pattern(1000, 1));
        Save(*f, 2, Pattern(3000, 2));  // more blocks behind, so a long total is not out of reach
        Persist(*f);
        if (c.change) Damage(*f, c.block, c.change);
        EXPECT_EQ(RaisedCode([&] { Load(*f, 1, first); }), c.loadCode);
        f->ClearBlockCache();
        const uint32_t writes = f->CacheWrites();
        EXPECT_EQ(RaisedCode([&] { Save(*f, 1, Pattern(2000, 3), first); }), c.saveCode);
        if (c.saveCode) {
            // Refused before anything was changed.
            EXPECT_FALSE(f->FlushBlocks(false));
            EXPECT_EQ(f->CacheWrites(), writes);
            EXPECT_EQ(View(*f, 512).total, 1000u);
        }
        f->Close();
        f.reset();
        DropFile("PARTS.BLB");
    }
}

TEST_F(BlobFileTest, DamagedLengthTakesNoMoreMemoryThanTheChainFills) {
    if (!TLargestAllocation::Available()) GTEST_SKIP() << "needs the sanitizers' allocation hook";
    const uint32_t first = CreateWithOneValue();
    // The header counts nearly 2 GB of blocks (as read, say, after another process wrote
    // it), the first block claims 1.9 GB.
    PatchFile("PARTS.BLB", 13, U32Bytes(512 + 512 * 3900000u));
    auto f = NewFile();
    f->Open();
    Damage(*f, first, [](TBlock* b) { b->SetTotalLength(1900000000u); });
    TLargestAllocation largest;
    EXPECT_EQ(RaisedCode([&] { Load(*f, 1, first); }), ZIZIVU_ENDOFBLOB);
    EXPECT_LT(largest.Bytes(), 1u << 20);
}

// A header another handler wrote that counts blocks past the file's end is refused, and the
// one in hand kept.
TEST_F(BlobFileTest, AnotherHandlersDamagedHeaderIsRefused) {
    CreateWithOneValue();
    auto b = NewFile();
    b->Open();
    const uint32_t next = b->GetNextNewBlockPos();
    PatchFile("PARTS.BLB", 13, U32Bytes(next + 512 * 100));
    PatchFile("PARTS.BLB", 0, U32Bytes(b->GetChangeCount() + 1));
    EXPECT_EQ(RaisedCode([&] { b->HeaderChanged(); }), ZIZIVU_HEADERCORRUPT);
    EXPECT_EQ(b->GetNextNewBlockPos(), next);
}

TEST_F(BlobFileTest, FirstBlockThatNamesNoBlockIsRefused) {
    auto f = Create();
    Save(*f, 1, Pattern(1000, 1));
    Persist(*f);
    for (uint32_t first : {300u, 512u + 100u, 4096u}) {
        EXPECT_EQ(RaisedCode([&] { Load(*f, 1, first); }), ZIZIVU_BLOCKBUFCORRUPT) << first;
        EXPECT_EQ(RaisedCode([&] { Save(*f, 1, "x", first); }), ZIZIVU_BLOCKBUFCORRUPT) << first;
    }
}

TEST_F(BlobFileTest, HeaderChecksRefuseDamage) {
    struct HeaderCase {
        const char* what;
        int32_t offset;
        std::string bytes;
        uint16_t code;
    };
    const HeaderCase cases[] = {
        {"intact", 0, "", 0},
        {"version", 8, "\x03", ZIZIVU_BADVERSION},
        {"free head 300", 9, U32Bytes(300), ZIZIVU_HEADERCORRUPT},
        {"free head unaligned", 9, U32Bytes(512 + 100), ZIZIVU_HEADERCORRUPT},
        {"free head at next new", 9, U32Bytes(2048), ZIZIVU_HEADERCORRUPT},
        {"free head without blocks", 13, U32Bytes(512), ZIZIVU_HEADERCORRUPT},
        {"next new unaligned", 13, U32Bytes(2000), ZIZIVU_HEADERCORRUPT},
        {"next new below first", 13, U32Bytes(0), ZIZIVU_HEADERCORRUPT},
        {"next new beyond the file", 13, U32Bytes(2048 + 512), ZIZIVU_HEADERCORRUPT},
    };
    for (const HeaderCase& c : cases) {
        SCOPED_TRACE(c.what);
        {
            auto f = Create();
            uint32_t first = Save(*f, 1, Pattern(1000, 1));
            Save(*f, 1, "short", first);  // free head 1536
            Persist(*f);
            f->Close();
        }
        if (!c.bytes.empty()) PatchFile("PARTS.BLB", c.offset, c.bytes);
        auto f = NewFile();
        f->Open();
        EXPECT_EQ(RaisedCode([&] { f->CheckHeader(); }), c.code);
    }
}

TEST_F(BlobFileTest, BrokenFreeChainIsNotHandedOut) {
    auto f = Create();
    uint32_t first = Save(*f, 1, Pattern(1000, 1));
    Save(*f, 1, "short", first);  // frees 1024 and 1536
    Persist(*f);
    Damage(*f, 1536, [](TBlock* b) { b->SetOwnerRecord(7); });  // looks in use
    TBlock* b = nullptr;
    EXPECT_EQ(RaisedCode([&] { f->AllocateBlock(&FCursor, b); }), ZIZIVU_BLOCKBUFCORRUPT);
    f->ClearBlockCache();
    Damage(*f, 1536, [](TBlock* b) {
        b->SetOwnerRecord(0);
        b->SetNextBlock(1536);  // names itself
    });
    EXPECT_EQ(RaisedCode([&] { f->AllocateBlock(&FCursor, b); }), ZIZIVU_BLOCKBUFCORRUPT);
}

TEST_F(BlobFileTest, RepairWalkLogsEachDamageOrRaisesOutsideARepairRun) {
    struct RepairCase {
        const char* what;
        uint32_t block;
        std::function<void(TBlock*)> change;
        bool verifyOnly;
        std::string line;  // expected log line; empty: nothing logged
        uint32_t firstAfter;
    };
    const RepairCase cases[] = {
        {"foreign owner, verify", 1024, [](TBlock* b) { b->SetOwnerRecord(9); }, true,
         "Invalid BLOB offset in BLOB file for physical record # 41, error not fixed", 512},
        {"foreign owner, free", 1024, [](TBlock* b) { b->SetOwnerRecord(9); }, false,
         "Invalid BLOB offset in BLOB file for physical record # 41, error fixed", 0},
        {"recursive", 1536, [](TBlock* b) { b->SetNextBlock(512); }, false,
         "Recursive intra-block pointer in BLOB file for physical record # 41, error fixed", 0},
        {"invalid pointer", 1024, [](TBlock* b) { b->SetNextBlock(300); }, true,
         "Invalid intra-block pointer in BLOB file for physical record # 41, error not fixed", 512},
        {"intact, verify", 0, nullptr, true, "", 512},
        {"intact, free", 0, nullptr, false, "", 0},
    };
    for (const RepairCase& c : cases) {
        SCOPED_TRACE(c.what);
        auto f = Create();
        const uint32_t first = Save(*f, 1, Pattern(1000, 1));
        Persist(*f);
        if (c.change) Damage(*f, c.block, c.change);
        std::vector<std::string> log;
        f->OnRepairLog = [&](const std::string& line) { log.push_back(line); };
        uint32_t start = first;
        ASSERT_TRUE(f->RepairBlobs(&FCursor, c.verifyOnly, false, 41, 1, start));
        EXPECT_EQ(start, c.firstAfter);
        EXPECT_EQ(log, c.line.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.line});
        if (!c.verifyOnly) {
            EXPECT_NE(f->Header().FreeHead, 0u);
        }

        f->OnRepairLog = nullptr;
        uint32_t again = first;
        if (c.change && c.verifyOnly) {
            EXPECT_EQ(RaisedCode([&] { f->RepairBlobs(&FCursor, true, false, 41, 1, again); }),
                      ZIZIVU_BLOCKBUFCORRUPT);
        }
        f->Close();
        f.reset();
        DropFile("PARTS.BLB");
    }
}

TEST_F(BlobFileTest, RepairWithIgnoreOwnerGivesBlocksTheirOwner) {
    auto f = Create();
    const uint32_t first = Save(*f, 1, Pattern(1000, 1));
    Persist(*f);
    Damage(*f, 1024, [](TBlock* b) { b->SetOwnerRecord(9); });
    uint32_t start = first;
    ASSERT_TRUE(f->RepairBlobs(&FCursor, true, true, 1, 1, start));
    EXPECT_EQ(start, first);
    EXPECT_EQ(View(*f, 1024).owner, 1u);
    EXPECT_EQ(Load(*f, 1, first), Pattern(1000, 1));
}

TEST_F(BlobFileTest, BlockDataAccessStaysInsideTheBlock) {
    auto f = Create();
    TBlock* b = nullptr;
    ASSERT_TRUE(f->AllocateBlock(&FCursor, b));
    const std::string data = Pattern(494, 4);
    b->WriteData(0, 100, data.data());
    EXPECT_EQ(b->BytesUsed(), 100);
    char out[494];
    EXPECT_EQ(b->ReadData(50, 200, out), 50);  // only the bytes used
    EXPECT_EQ(std::string(out, 50), data.substr(50, 50));
    EXPECT_EQ(RaisedCode([&] { b->ReadData(0, 495, out); }), ZIZIVU_INVALIDBLOBLEN);
    EXPECT_EQ(RaisedCode([&] { b->WriteData(400, 95, data.data()); }), ZIZIVU_INVALIDBLOBLEN);
    f->ReleaseBlock(b);
}

TEST_F(BlobFileTest, AdjacentBlocksAreWrittenAndReadInOneGo) {
    auto f = Create();
    const uint32_t writes = f->CacheWrites();
    const uint32_t first = Save(*f, 1, Pattern(3000, 1));  // 7 adjacent blocks
    EXPECT_TRUE(f->FlushBlocks(false));
    EXPECT_EQ(f->CacheWrites(), writes + 1);
    f->ClearBlockCache();
    const uint32_t reads = f->CacheReads();
    EXPECT_EQ(Load(*f, 1, first), Pattern(3000, 1));
    EXPECT_EQ(f->CacheReads(), reads + 2);  // the first block, then the rest of the value
    EXPECT_EQ(f->CacheCount(), 7);
}

TEST_F(BlobFileTest, LoadStartsAgainWhenTheCachesWereDropped) {
    auto f = Create();
    const uint32_t first = Save(*f, 1, Pattern(1000, 1));
    Persist(*f);
    int calls = 0;
    FCursor.OnLock = [&] {
        FCursor.LockResult = ++calls > 1;
        if (calls == 1) f->ClearBlockCache();
    };
    EXPECT_EQ(Load(*f, 1, first), Pattern(1000, 1));
    EXPECT_GE(FCursor.LockCalls, 3);
}

TEST_F(BlobFileTest, TransactionKeepsDirtyBlocksAndGrowsTheCache) {
    auto f = Create(8192);  // capacity 15 blocks
    ASSERT_EQ(f->CacheCapacity(), 15);
    ASSERT_EQ(f->ReadAheadCount(), 7);
    FTable.Transaction = true;
    const uint32_t first = Save(*f, 1, Pattern(20 * 8174, 5));
    EXPECT_EQ(f->CacheCapacity(), 15 + 255);
    EXPECT_EQ(f->CacheWrites(), 0u);
    FTable.Transaction = false;
    Persist(*f);
    EXPECT_EQ(Load(*f, 1, first), Pattern(20 * 8174, 5));
}

TEST_F(BlobFileTest, ReadAheadStopsWhereTheFileEndsBeforeBlocksOnlyCached) {
    auto f = Create(8192);  // capacity 15 blocks, read-ahead 7
    // The sixteenth block of the first value writes the fifteen before it; the rest of the
    // values stays cached and past the file's end.
    const uint32_t first = Save(*f, 1, Pattern(20 * 8174, 1));
    const uint32_t second = Save(*f, 2, Pattern(3 * 8174, 2));
    ASSERT_LT(uint32_t(f->GetSize()), f->GetNextNewBlockPos());
    EXPECT_EQ(Load(*f, 1, first), Pattern(20 * 8174, 1));
    EXPECT_EQ(Load(*f, 2, second), Pattern(3 * 8174, 2));
    TBlobBuffer b(f.get(), &FCursor);
    b.RecordNo = 1;
    b.FirstBlock = first;
    b.FreeBlocks();
    Persist(*f);
    EXPECT_EQ(Load(*f, 2, second), Pattern(3 * 8174, 2));
}

TEST_F(BlobFileTest, AppendingStopsAtTheFileLimit) {
    {
        auto f = Create();
        f->Close();
    }
    PatchFile("PARTS.BLB", 13, U32Bytes(1999999488));  // a header that claims blocks it lacks
    auto f = NewFile();
    f->Open();
    EXPECT_EQ(RaisedCode([&] { f->CheckHeader(); }), ZIZIVU_HEADERCORRUPT);
    TBlock* b = nullptr;
    // Blocks are appended while their position does not exceed 2,000,000,000.
    for (uint32_t position : {1999999488u, 2000000000u}) {
        ASSERT_TRUE(f->AllocateBlock(&FCursor, b));
        EXPECT_EQ(b->Position(), position);
        f->ReleaseBlock(b);
    }
    EXPECT_EQ(RaisedCode([&] { f->AllocateBlock(&FCursor, b); }), ZIZIVU_TABLEFULL);
    f->ClearBlockCache();
}

TEST_F(BlobFileTest, EmptyAndAnotherHandlersHeaderWrite) {
    CreateWithOneValue();
    auto a = NewFile();
    auto b = NewFile();
    a->Open();
    b->Open();
    EXPECT_FALSE(b->HeaderChanged());
    EXPECT_EQ(a->GetNewBlockPos(), 2048u);
    a->Empty();
    EXPECT_EQ(a->GetNewBlockPos(), 512u);
    EXPECT_EQ(a->CacheCount(), 0);
    a->WriteHeader(false, false);
    EXPECT_TRUE(b->HeaderChanged());
    EXPECT_EQ(b->GetNextNewBlockPos(), 512u);
    b->CheckHeader();
    a->Close();
    b->Close();
    EXPECT_EQ(FileBytes("PARTS.BLB").size(), 512u);
}

TEST_F(BlobFileTest, FilePairOnDiskSurvivesReopenWithEveryWriteFlushed) {
    TScratchDir dir;
    FTable.ForceFlush = true;
    std::vector<TFieldDescriptor> fields{MakeField(1, "NAME", dtString, 10), MakeField(2, "NOTES", dtBlob)};
    const std::string value = Pattern(5000, 9);
    uint32_t first = 0;
    {
        TDataFile data(&FTable);
        data.SetFileName(dir.File("PARTS.DAT"));
        data.CreateFile();
        data.InitStructure(0, 0, fields.data(), 2, 1024, "", "", false, 0, 0);
        TBlobFile blobs(&FTable);
        blobs.SetFileName(dir.File("PARTS.BLB"));
        blobs.SetBlockSize(data.GetBlobBlockSize());
        blobs.CreateFile();
        first = Save(blobs, 1, value);
        TRecord* r = nullptr;
        ASSERT_TRUE(data.AllocateRecord(&FCursor, r));
        r->Clear(true);
        std::vector<uint8_t> image(size_t(data.GetRecordSize()), 0);
        image[21] = 1;
        bytes::PutU32(image.data() + 22, first);
        bytes::PutU32(image.data() + 26, data.NextBlobId());
        r->CopyFields(image.data());
        data.ReleaseRecord(r);
        data.FlushRecords(false);
        data.WriteHeader(false, false);
        data.WriteFieldDescriptors();
        blobs.FlushBlocks(false);
        blobs.WriteHeader(false, false);
    }
    EXPECT_EQ(std::filesystem::file_size(dir.File("PARTS.BLB")), 512u + 5 * 1024u);
    TDataFile data(&FTable);
    data.SetFileName(dir.File("PARTS.DAT"));
    data.Open();
    data.CheckHeader();
    TRecord* r = nullptr;
    ASSERT_TRUE(data.GetRecord(&FCursor, 1, r));
    EXPECT_EQ(bytes::GetU32(r->GetBuffer() + 22), first);
    EXPECT_EQ(bytes::GetU32(r->GetBuffer() + 26), 1u);
    data.ReleaseRecord(r);
    TBlobFile blobs(&FTable);
    blobs.SetFileName(dir.File("PARTS.BLB"));
    blobs.SetBlockSize(data.GetBlobBlockSize());
    blobs.Open();
    blobs.CheckHeader();
    EXPECT_EQ(Load(blobs, 1, first), value);
}

TEST_F(BlobFileTest, EncryptedFileScramblesHeaderAndBlocks) {
    auto f = Create(512, true);
    const std::string value = Pattern(1000, 6);
    const uint32_t first = Save(*f, 1, value);
    Persist(*f);
    f->Close();
    const std::string raw = FileBytes("PARTS.BLB");
    EXPECT_NE(raw[8], 4);
    EXPECT_EQ(raw.find(value.substr(0, 32)), std::string::npos);
    auto g = NewFile(512, true);
    g->Open();
    g->CheckHeader();
    EXPECT_EQ(Load(*g, 1, first), value);
}

}  // namespace
