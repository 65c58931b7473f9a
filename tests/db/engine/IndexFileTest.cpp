// The index file: header and descriptors, the open check, page images in the four leaf
// compressions, the page caches and their contract with the cursor, free chains, flushes
// and scrambling.
#include <gtest/gtest.h>

#include "db/storage/Encodings.h"
#include "platform/rtl/ByteCodec.h"
#include "tests/db/engine/IndexFakes.h"

using namespace indextest;

namespace {

const std::string kName = "MEMORY\\PARTS.IDX";

std::string Hex(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        if (i) s += ' ';
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

TIndexDescriptor Fields(const std::string& name, std::initializer_list<uint16_t> fields, bool unique = true) {
    TIndexDescriptor d;
    d.Name = name;
    d.Unique = unique ? 1 : 0;
    for (uint16_t f : fields) d.FieldNumbers[d.FieldCount++] = f;
    return d;
}

class IndexFile : public IndexFixture {
protected:
    // A table with a primary index of 20-byte keys holding `keys` keys, and two secondary
    // indexes; written out.
    TIndexFile& Populated(int32_t keys) {
        TIndexFile& f = NewFile(kName);
        f.AddPrimaryIndex(Fields("", {19}), SizedFields);
        f.AddSecondaryIndex(Fields("ByA", {10}), SizedFields);
        f.AddSecondaryIndex(Fields("ByB", {30}, false), SizedFields);
        for (int32_t v = 1; v <= keys; ++v)
            EXPECT_TRUE(f.InsertIndexKey(&Cursor, 0, Bytes(IntKey(v, 20)), uint32_t(v)));
        f.FlushPages(false);
        f.WriteHeader(true);
        return f;
    }
};

}  // namespace

TEST_F(IndexFile, NewFileHoldsOnlyTheDeletedRecordsIndex) {
    TIndexFile& f = NewFile(kName);
    EXPECT_TRUE(f.HeaderModified());
    f.WriteHeader(false);
    const std::string raw = RawBytes(f, 0, 10000);
    ASSERT_EQ(raw.size(), 4096u);
    const auto* h = Bytes(raw);
    EXPECT_EQ(h[8], 4);
    EXPECT_EQ(bytes::GetU32(h + 9), 4096u);
    EXPECT_EQ(h[13], 0);
    EXPECT_EQ(bytes::GetU32(h + 3974), 0u);
    EXPECT_EQ(h[3979], 1);
    for (int32_t i = 0; i < IndexDescriptorCount; ++i) {
        const TIndexDescriptor d = f.GetIndexDescriptor(i);
        if (i == DeletedIndexNo) {
            EXPECT_EQ(d.Name, "Sys Deleted");
            EXPECT_EQ(d.KeyLength, 5);
            EXPECT_EQ(d.Unique, 1);
            EXPECT_EQ(d.Compression, 0);
        } else {
            EXPECT_EQ(d.KeyLength, 0) << i;
            EXPECT_EQ(d.Name, "") << i;
        }
    }
    // The descriptor's bytes: name as a short string at 0, key length at 31.
    const uint8_t* slot31 = h + 14 + 120 * 31;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(slot31), 12), std::string("\x0BSys Deleted"));
    EXPECT_EQ(bytes::GetU16(slot31 + 31), 5);
    EXPECT_EQ(slot31[35], 1);
    EXPECT_EQ(Table.Changes, 1);
}

TEST_F(IndexFile, DescriptorsAreRefusedWithTheirCodes) {
    struct Case {
        const char* name;
        bool primary;
        TIndexDescriptor d;
        uint16_t code;
    } cases[] = {
        {"second primary", true, Fields("", {5}), ZIZIVU_PRIMARYEXISTS},
        {"secondary without name", false, Fields("  ", {5}), ZIZIVU_INDEXNAMEMISSING},
        {"name not starting with a letter", false, Fields("1st", {5}), ZIZIVU_INVALIDINDEXNAME},
        {"name taken in another case", false, Fields(" byname ", {6}), ZIZIVU_INDEXEXISTS},
        {"BLOB field", false, Fields("ByMemo", {900}), ZIZIVU_INVALIDINDEXTYPE},
        {"unknown field", false, Fields("ByNothing", {700}), ZIZIVU_INVALIDINDEXFIELD},
        {"fields beyond 524 bytes", false, Fields("Wide", {300, 300}), ZIZIVU_INVALIDKEYSIZE},
        {"17 fields", false, Fields("Many", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}),
         ZIZIVU_INDEXLIMIT},
    };
    cases[7].d.FieldCount = 17;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        TIndexFile& f = NewFile(kName);
        f.AddPrimaryIndex(Fields("", {4}), SizedFields);
        f.AddSecondaryIndex(Fields("ByName", {8}), SizedFields);
        EXPECT_EQ(RaisedCode([&] {
                      if (c.primary)
                          f.AddPrimaryIndex(c.d, SizedFields);
                      else
                          f.AddSecondaryIndex(c.d, SizedFields);
                  }),
                  c.code);
        EXPECT_EQ(f.GetIndexCount(), 1);
    }
}

TEST_F(IndexFile, KeyLengthsComeFromTheFieldsAndTheLimitIsThirtyIndexes) {
    TIndexFile& f = NewFile(kName);
    f.AddPrimaryIndex(Fields("", {10, 20}), SizedFields);
    EXPECT_EQ(f.GetIndexDescriptor(0).KeyLength, 32);
    EXPECT_EQ(f.GetIndexDescriptor(0).Unique, 1);
    f.AddSecondaryIndex(Fields("Dup", {10, 20}, false), SizedFields);
    EXPECT_EQ(f.GetIndexDescriptor(1).KeyLength, 36);
    // The widest fields a key may have, plus the row id.
    f.AddSecondaryIndex(Fields("Widest", {300, 222}, false), SizedFields);
    EXPECT_EQ(f.GetIndexDescriptor(2).KeyLength, KeyBufferSize);
    for (int32_t i = 3; i <= MaxSecondaryIndexes; ++i)
        f.AddSecondaryIndex(Fields("I" + std::to_string(i), {5}), SizedFields);
    EXPECT_EQ(f.GetIndexCount(), 30);
    EXPECT_EQ(RaisedCode([&] { f.AddSecondaryIndex(Fields("OneMore", {5}), SizedFields); }),
              ZIZIVU_INDEXLIMIT);
    // A primary index without fields makes a table without primary index.
    TIndexFile& g = NewFile("MEMORY\\OTHER.IDX");
    g.AddPrimaryIndex(Fields("", {}), SizedFields);
    EXPECT_TRUE(g.GetNoPrimaryIndex());
    g.CheckHeader(SizedFields);
}

TEST_F(IndexFile, RemovedIndexLeavesItsFreePagesToTheNextIndexAdded) {
    TIndexFile& f = NewFile(kName);
    f.AddPrimaryIndex(Fields("", {19}), SizedFields);
    for (const char* name : {"ByA", "ByB", "ByC"}) f.AddSecondaryIndex(Fields(name, {19}), SizedFields);
    for (int32_t v = 1; v <= 400; ++v) {
        ASSERT_TRUE(f.InsertIndexKey(&Cursor, 2, Bytes(IntKey(v, 20)), uint32_t(v)));
        ASSERT_TRUE(f.InsertIndexKey(&Cursor, 3, Bytes(IntKey(v, 20)), uint32_t(v)));
    }
    const uint32_t rootC = f.GetRootPageNo(3);
    // Dropping B's keys frees its pages onto its chain.
    for (int32_t v = 1; v <= 400; ++v) ASSERT_TRUE(f.DeleteIndexKey(&Cursor, 2, Bytes(IntKey(v, 20))));
    const int32_t freed = FreeChainLength(f, Cursor, 2);
    ASSERT_GT(freed, 2);
    const uint32_t headB = f.GetFreeHead(2);

    f.DeleteIndexDescriptor(2, true);
    EXPECT_EQ(f.GetIndexCount(), 2);
    EXPECT_EQ(f.GetIndexDescriptor(2).Name, "ByC");
    EXPECT_EQ(f.GetRootPageNo(2), rootC);
    EXPECT_EQ(f.GetIndexDescriptor(3).Name, "ByB");
    EXPECT_EQ(f.GetFreeHead(3), headB);
    // C's tree moved with its pages.
    TTreeShape shape;
    EXPECT_EQ(CheckTree(f, Cursor, 2, shape), "");
    EXPECT_EQ(shape.Keys.size(), 400u);

    f.AddSecondaryIndex(Fields("ByD", {19}), SizedFields);
    EXPECT_EQ(f.GetIndexCount(), 3);
    EXPECT_EQ(f.GetIndexDescriptor(3).Name, "ByD");
    EXPECT_EQ(f.GetRootPageNo(3), 0u);
    EXPECT_EQ(f.GetFreeHead(3), headB);
    const uint32_t end = f.GetNextNewPage();
    for (int32_t v = 1; v <= 300; ++v)
        ASSERT_TRUE(f.InsertIndexKey(&Cursor, 3, Bytes(IntKey(v, 20)), uint32_t(v)));
    EXPECT_EQ(f.GetNextNewPage(), end);
    EXPECT_LT(FreeChainLength(f, Cursor, 3), freed);
    // Written and read back, both trees hold.
    f.FlushPages(false);
    f.WriteHeader(false);
    f.Close();
    f.Open();
    f.CheckHeader(SizedFields);
    EXPECT_EQ(CheckTree(f, Cursor, 3, shape), "");
    EXPECT_EQ(shape.Keys.size(), 300u);
    EXPECT_EQ(CheckTree(f, Cursor, 2, shape), "");
    EXPECT_EQ(shape.Keys.size(), 400u);
}

TEST_F(IndexFile, DamagedHeadersAreRefusedByTheOpenCheck) {
    TIndexFile& source = Populated(400);
    const std::string good = RawBytes(source, 0, IndexHeaderSize);
    const uint32_t next = bytes::GetU32(Bytes(good) + 9);
    ASSERT_GT(next, 3u * IndexPageSize);
    const std::string pages = RawBytes(source, IndexHeaderSize, int32_t(next) - IndexHeaderSize);
    using TEdit = std::function<void(uint8_t * header)>;
    auto descriptor = [](int32_t i, const std::function<void(TIndexDescriptor&)>& edit) -> TEdit {
        return [=](uint8_t* h) {
            TIndexDescriptor d;
            d.Read(h + 14 + 120 * i);
            edit(d);
            d.Write(h + 14 + 120 * i);
        };
    };
    struct Case {
        const char* name;
        TEdit edit;
        uint16_t code;
    } cases[] = {
        {"intact", [](uint8_t*) {}, 0},
        {"version 3", [](uint8_t* h) { h[8] = 3; }, ZIZIVU_BADVERSION},
        {"named primary", descriptor(0, [](auto& d) { d.Name = "Pk"; }), ZIZIVU_HEADERCORRUPT},
        {"primary not unique", descriptor(0, [](auto& d) { d.Unique = 0; }), ZIZIVU_HEADERCORRUPT},
        {"blank secondary name", descriptor(1, [](auto& d) { d.Name = "   "; }), ZIZIVU_HEADERCORRUPT},
        {"same name twice", descriptor(2, [](auto& d) { d.Name = "BYA"; }), ZIZIVU_HEADERCORRUPT},
        {"17 fields", descriptor(1, [](auto& d) { d.FieldCount = 17; }), ZIZIVU_HEADERCORRUPT},
        {"unknown field", descriptor(1, [](auto& d) { d.FieldNumbers[0] = 700; }), ZIZIVU_HEADERCORRUPT},
        {"BLOB field", descriptor(1, [](auto& d) { d.FieldNumbers[0] = 900; }), ZIZIVU_HEADERCORRUPT},
        {"fields beyond 524 bytes",
         descriptor(1,
                    [](auto& d) {
                        d.FieldNumbers[0] = d.FieldNumbers[1] = 300;
                        d.FieldCount = 2;
                        d.KeyLength = 602;
                    }),
         ZIZIVU_HEADERCORRUPT},
        {"secondary without fields",
         descriptor(1,
                    [](auto& d) {
                        d.FieldCount = 0;
                        d.KeyLength = 0;
                    }),
         ZIZIVU_HEADERCORRUPT},
        {"key length not the fields'", descriptor(0, [](auto& d) { d.KeyLength = 21; }),
         ZIZIVU_HEADERCORRUPT},
        {"non-unique key without row id", descriptor(2, [](auto& d) { d.KeyLength = 31; }),
         ZIZIVU_HEADERCORRUPT},
        {"deleted-records key of 6", descriptor(31, [](auto& d) { d.KeyLength = 6; }), ZIZIVU_HEADERCORRUPT},
        {"compression 4", descriptor(1, [](auto& d) { d.Compression = 4; }), ZIZIVU_HEADERCORRUPT},
        {"root between pages", descriptor(0, [](auto& d) { d.RootPage = 4097; }), ZIZIVU_HEADERCORRUPT},
        {"root at the next new page", descriptor(0, [=](auto& d) { d.RootPage = next; }),
         ZIZIVU_HEADERCORRUPT},
        {"free head inside the header", descriptor(0, [](auto& d) { d.FreeHead = 100; }),
         ZIZIVU_HEADERCORRUPT},
        {"free head of an unused slot", descriptor(7, [](auto& d) { d.FreeHead = 4096 + 12; }),
         ZIZIVU_HEADERCORRUPT},
        {"deleted-records root out of range", descriptor(31, [](auto& d) { d.RootPage = 0x7FFF0000; }),
         ZIZIVU_HEADERCORRUPT},
        {"root while the file has no pages", [](uint8_t* h) { bytes::PutU32(h + 9, 4096); },
         ZIZIVU_HEADERCORRUPT},
        {"next new page unaligned", [](uint8_t* h) { bytes::PutU32(h + 9, 3 * 4096 + 1); },
         ZIZIVU_HEADERCORRUPT},
        {"next new page beyond the file", [=](uint8_t* h) { bytes::PutU32(h + 9, next + IndexPageSize); },
         ZIZIVU_HEADERCORRUPT},
        {"31 secondary indexes", [](uint8_t* h) { h[13] = 31; }, ZIZIVU_HEADERCORRUPT},
        {"33 secondary indexes", [](uint8_t* h) { h[13] = 33; }, ZIZIVU_HEADERCORRUPT},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string header = good;
        c.edit(reinterpret_cast<uint8_t*>(header.data()));
        const std::string name = "MEMORY\\CASE" + std::to_string(++n) + ".IDX";
        TFileHandler h;
        h.SetFileName(name);
        h.SetInMemory(true);
        h.CreateFile();
        h.Write(header.data(), int32_t(header.size()));
        h.Write(pages.data(), int32_t(pages.size()));
        h.Close();
        auto f = std::make_unique<TIndexFile>(&Table);
        f->SetFileName(name);
        f->SetInMemory(true);
        EXPECT_EQ(RaisedCode([&] {
                      f->Open();
                      f->CheckHeader(SizedFields);
                  }),
                  c.code);
    }
}

TEST_F(IndexFile, OpenRefusesMoreThan32IndexesAndStaysClosed) {
    Populated(10).Close();
    PutRawBytes(kName, 13, std::string(1, char(33)));
    auto f = std::make_unique<TIndexFile>(&Table);
    f->SetFileName(kName);
    f->SetInMemory(true);
    EXPECT_EQ(RaisedCode([&] { f->Open(); }), ZIZIVU_HEADERCORRUPT);
    EXPECT_FALSE(f->IsOpen());
}

TEST_F(IndexFile, PagesOutsideTheFileOrBetweenPagesAreRefused) {
    TIndexFile& f = Populated(400);
    TPage* p = nullptr;
    for (uint32_t pos : {0u, 4097u, 4096u * 1000u, 2048u}) {
        SCOPED_TRACE(pos);
        EXPECT_EQ(RaisedCode([&] { f.GetPage(&Cursor, 0, pos, p); }), ZIZIVU_PAGEBUFCORRUPT);
    }
    // A page whose next link points between pages is refused when it is read.
    f.ClearPageCache(true);
    const uint32_t root = f.GetRootPageNo(0);
    std::string link(4, '\0');
    bytes::PutU32(reinterpret_cast<uint8_t*>(link.data()), 4096 + 100);
    PutRawBytes(f, int32_t(root) + 7, link);
    EXPECT_EQ(RaisedCode([&] { f.GetPage(&Cursor, 0, root, p); }), ZIZIVU_PAGEBUFCORRUPT);
    EXPECT_EQ(f.CachedPages(0), 0);
}

// A root without entries is a freed page (an index dropped while its header still names it):
// an empty index has no root, so no walk or count may take the page for an empty tree.
TEST_F(IndexFile, ARootWithoutEntriesIsRefused) {
    for (int32_t keys : {3, 400}) {
        SCOPED_TRACE(keys);
        TIndexFile& f = Populated(keys);
        f.ClearPageCache(true);
        const uint32_t root = f.GetRootPageNo(0);
        PutRawBytes(f, int32_t(root), std::string(3, '\0'));
        TPage* p = nullptr;
        EXPECT_EQ(RaisedCode([&] { f.GetRootPage(&Cursor, 0, TPagePos::First, p); }), ZIZIVU_PAGEBUFCORRUPT);
        f.Close();
    }
}

// ---- Page images ------------------------------------------------------------------------

namespace {

struct ImageCase {
    const char* name;
    uint8_t compression;
    bool unique;
    uint16_t bytesUsed;
    const char* entries;  // hex of the entries after the 13-byte header
};

// Unique 6-byte keys 01 41 42 00 00 00 (record 7) and 01 41 43 44 00 00 (record 9); non-unique
// 9-byte keys of the same field value 01 41 00 00 00 and row ids 0x80000001, 0x80000002.
const ImageCase kImages[] = {
    {"plain", 0, true, 0, "01 41 42 00 00 00 07 00 00 00 01 41 43 44 00 00 09 00 00 00"},
    {"leading", 1, true, 22, "00 00 01 41 42 00 00 00 07 00 00 00 02 00 43 44 00 00 09 00 00 00"},
    {"trailing", 2, true, 19, "03 00 01 41 42 07 00 00 00 02 00 01 41 43 44 09 00 00 00"},
    {"both", 3, true, 17, "00 03 01 41 42 07 00 00 00 02 02 43 44 09 00 00 00"},
    {"plain, row ids", 0, false, 0,
     "01 41 00 00 00 80 00 00 01 07 00 00 00 01 41 00 00 00 80 00 00 02 09 00 00 00"},
    {"leading, row ids", 1, false, 22, "00 00 01 41 00 00 00 80 00 00 01 07 00 00 00 08 00 02 09 00 00 00"},
    {"trailing keeps the row id", 2, false, 24,
     "03 00 01 41 80 00 00 01 07 00 00 00 03 00 01 41 80 00 00 02 09 00 00 00"},
    {"both, row id only", 3, false, 19, "00 03 01 41 80 00 00 01 07 00 00 00 08 00 02 09 00 00 00"},
};

}  // namespace

TEST_F(IndexFile, PageImagesInEachCompressionRoundTripByteForByte) {
    for (const auto& c : kImages) {
        SCOPED_TRACE(c.name);
        TIndexDescriptor d;
        d.Unique = c.unique ? 1 : 0;
        d.Compression = c.compression;
        d.KeyLength = c.unique ? 6 : 9;
        const std::string keys[2] = {c.unique ? std::string("\x01\x41\x42\x00\x00\x00", 6)
                                              : std::string("\x01\x41\x00\x00\x00\x80\x00\x00\x01", 9),
                                     c.unique ? std::string("\x01\x41\x43\x44\x00\x00", 6)
                                              : std::string("\x01\x41\x00\x00\x00\x80\x00\x00\x02", 9)};
        TPage page;
        page.Clear(nullptr, 1, d);
        page.SetPageType(ptRootLeaf);
        page.SetPrev(0);
        page.SetNext(0);
        for (int i = 0; i < 2; ++i) {
            page.InsertEntry(Bytes(keys[i]));
            page.SetCurrentValue(i == 0 ? 7 : 9);
        }
        uint8_t image[IndexPageSize];
        page.SaveToBuffer(image);
        EXPECT_EQ(Hex(image, 13),
                  "03 02 00 00 00 00 00 00 00 00 00 " +
                      Hex(Bytes(std::string({char(c.bytesUsed & 0xFF), char(c.bytesUsed >> 8)})), 2));
        const size_t length = (std::string(c.entries).size() + 1) / 3;
        EXPECT_EQ(Hex(image + 13, length), c.entries);
        EXPECT_EQ(image[13 + length], 0);

        TPage back;
        back.Clear(nullptr, 1, d);
        back.LoadFromBuffer(image, false);
        ASSERT_EQ(back.Count(), 2);
        for (int i = 0; i < 2; ++i)
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(back.EntryKey(i + 1)), keys[i].size()),
                      keys[i]);
        EXPECT_EQ(back.EntryValue(2), 9u);
        uint8_t again[IndexPageSize];
        back.SaveToBuffer(again);
        EXPECT_EQ(std::memcmp(image, again, IndexPageSize), 0);
    }
}

TEST_F(IndexFile, DamagedPageImagesAreRefusedOnLoad) {
    TIndexDescriptor d;
    d.Unique = 0;
    d.Compression = icBoth;
    d.KeyLength = 9;
    struct Case {
        const char* name;
        uint8_t compression;
        std::function<void(uint8_t*)> edit;
    } cases[] = {
        {"page type 4", icBoth, [](uint8_t* p) { p[0] = 4; }},
        {"bytes used beyond the page", icBoth, [](uint8_t* p) { bytes::PutU16(p + 11, 4090); }},
        {"bytes used not the entries'", icBoth, [](uint8_t* p) { bytes::PutU16(p + 11, 18); }},
        {"first entry shares a prefix", icBoth, [](uint8_t* p) { p[13] = 1; }},
        {"trailing count beyond the key", icBoth, [](uint8_t* p) { p[14] = 7; }},
        {"trailing count on a row id alone", icBoth, [](uint8_t* p) { p[13 + 12 + 1] = 1; }},
        {"more entries than bytes", icBoth, [](uint8_t* p) { bytes::PutU16(p + 1, 3000); }},
        {"interior entries beyond the page", icNone,
         [](uint8_t* p) {
             p[0] = ptInterior;
             bytes::PutU16(p + 1, 300);
         }},
        {"leaf entries beyond the page", icNone, [](uint8_t* p) { bytes::PutU16(p + 1, 400); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        d.Compression = c.compression;
        TPage page;
        page.Clear(nullptr, 1, d);
        page.SetPageType(ptLeaf);
        for (uint8_t id : {1, 2}) {
            page.InsertEntry(Bytes(std::string("\x01\x41\x00\x00\x00\x80\x00\x00", 8) + char(id)));
            page.SetCurrentValue(id);
        }
        uint8_t image[IndexPageSize];
        page.SaveToBuffer(image);
        c.edit(image);
        TPage back;
        back.Clear(nullptr, 1, d);
        EXPECT_EQ(RaisedCode([&] { back.LoadFromBuffer(image, false); }), ZIZIVU_PAGEBUFCORRUPT);
    }
}

// ---- Caches, free chains, flushes -------------------------------------------------------

TEST_F(IndexFile, CacheMissesTakeTheReadLockAndDroppedCachesRestartTheCaller) {
    TIndexFile& f = Populated(2000);
    f.ClearPageCache(true);
    const uint32_t root = f.GetRootPageNo(0);
    const uint32_t hits = f.Hits(), reads = f.PageReads();
    TPage* p = nullptr;
    ASSERT_TRUE(f.GetPage(&Cursor, 0, root, p));
    EXPECT_EQ(Cursor.LockCalls, 1);
    f.ReleasePage(p);
    ASSERT_TRUE(f.GetPage(&Cursor, 0, root, p));
    EXPECT_EQ(Cursor.LockCalls, 1);  // a hit
    f.ReleasePage(p);
    EXPECT_EQ(f.Hits(), hits + 1);
    EXPECT_EQ(f.PageReads(), reads + 1);

    // Another process changed the files: the lock drops the caches and the fetch says so.
    Cursor.LockResult = false;
    Cursor.OnLock = [&] { f.ClearPageCache(true); };
    f.ClearPageCache(true);
    EXPECT_FALSE(f.InsertIndexKey(&Cursor, 0, Bytes(IntKey(5000, 20)), 5000));
    EXPECT_EQ(f.CachedPages(0), 0);
    // The restart succeeds.
    Cursor.OnLock = nullptr;
    Cursor.LockResult = true;
    ASSERT_TRUE(f.InsertIndexKey(&Cursor, 0, Bytes(IntKey(5000, 20)), 5000));
    TTreeShape shape;
    EXPECT_EQ(CheckTree(f, Cursor, 0, shape), "");
    EXPECT_EQ(shape.Keys.size(), 2001u);
    // Strict change detection checks before every move, not on misses.
    Table.Strict = true;
    f.ClearPageCache(true);
    const int before = Cursor.LockCalls;
    ASSERT_TRUE(f.GetPage(&Cursor, 0, root, p));
    f.ReleasePage(p);
    EXPECT_EQ(Cursor.LockCalls, before);
}

TEST_F(IndexFile, FullCacheOfPinnedPagesFailsOutsideATransactionAndGrowsInside) {
    TIndexFile& f = Populated(3000);  // 3000 keys of 20 bytes: about 38 leaves
    TTreeShape shape;
    ASSERT_EQ(CheckTree(f, Cursor, 0, shape), "");
    const std::vector<uint32_t>& leaves = shape.Levels.back();
    ASSERT_GT(leaves.size(), 20u);
    f.FlushPages(false);
    f.ClearPageCache(true);

    // Clean pages are reused inside a transaction: the cache keeps its size.
    Table.Transaction = true;
    TPage* p = nullptr;
    for (uint32_t pos : leaves) {
        ASSERT_TRUE(f.GetPage(&Cursor, 0, pos, p));
        f.ReleasePage(p);
    }
    EXPECT_EQ(f.CacheCapacity(0), PageCacheCapacity);
    // Pinned or dirty pages are never evicted inside: the cache grows by 64.
    std::vector<TPage*> pinned;
    for (uint32_t pos : leaves) {
        ASSERT_TRUE(f.GetPage(&Cursor, 0, pos, p));
        pinned.push_back(p);
    }
    EXPECT_EQ(f.CacheCapacity(0), PageCacheCapacity + PageCacheGrowth);
    for (TPage* q : pinned) f.ReleasePage(q);
    pinned.clear();

    Table.Transaction = false;
    f.TrimPageCache(true);
    EXPECT_EQ(f.CacheCapacity(0), PageCacheCapacity);
    EXPECT_EQ(f.CachedPages(0), PageCacheCapacity);
    f.ClearPageCache(true);
    for (size_t i = 0; i < size_t(PageCacheCapacity); ++i) {
        ASSERT_TRUE(f.GetPage(&Cursor, 0, leaves[i], p));
        pinned.push_back(p);
    }
    EXPECT_EQ(RaisedCode([&] { f.GetPage(&Cursor, 0, leaves[PageCacheCapacity], p); }),
              ZIZIVU_PAGEBUFCORRUPT);
    for (TPage* q : pinned) f.ReleasePage(q);
}

TEST_F(IndexFile, TransactionChangesStayInTheCache) {
    TIndexFile& f = Populated(100);
    const std::string before = RawBytes(f, 0, 1 << 20);
    const uint32_t writes = f.PageWrites();
    Table.Transaction = true;
    for (int32_t v = 1000; v < 12000; ++v) ASSERT_TRUE(f.InsertIndexKey(&Cursor, 0, Bytes(IntKey(v, 20)), 1));
    EXPECT_EQ(f.PageWrites(), writes);
    EXPECT_EQ(RawBytes(f, 0, 1 << 20), before);
    EXPECT_GT(f.CacheCapacity(0), PageCacheCapacity);
    TTreeShape shape;
    EXPECT_EQ(CheckTree(f, Cursor, 0, shape), "");
    EXPECT_EQ(shape.Keys.size(), 11100u);
    // The new pages lie one after another: a run longer than one write's buffer, read
    // back whole from the file.
    Table.Transaction = false;
    f.FlushPages(false);
    EXPECT_EQ(f.PageWrites(), writes + 1);
    f.ClearPageCache(true);
    TTreeShape reread;
    EXPECT_EQ(CheckTree(f, Cursor, 0, reread), "");
    EXPECT_EQ(reread.Keys, shape.Keys);
}

TEST_F(IndexFile, FreePagesComeBackLastFreedFirstAndADamagedChainIsRefused) {
    TIndexFile& f = NewFile(kName);
    f.AddPrimaryIndex(Fields("", {19}), SizedFields);
    TPage *a = nullptr, *b = nullptr, *c = nullptr;
    ASSERT_TRUE(f.AllocatePage(&Cursor, 0, a));
    ASSERT_TRUE(f.AllocatePage(&Cursor, 0, b));
    EXPECT_EQ(a->PagePos(), 4096u);
    EXPECT_EQ(b->PagePos(), 8192u);
    f.FreePage(&Cursor, a);
    f.FreePage(&Cursor, b);
    EXPECT_EQ(f.GetFreeHead(0), 8192u);
    EXPECT_EQ(b->Next(), 4096u);
    f.ReleasePage(a);
    f.ReleasePage(b);
    // Written and read again: the chain survives.
    f.FlushPages(false);
    f.WriteHeader(false);
    f.ClearPageCache(true);
    ASSERT_TRUE(f.AllocatePage(&Cursor, 0, c));
    EXPECT_EQ(c->PagePos(), 8192u);
    EXPECT_EQ(f.GetFreeHead(0), 4096u);
    EXPECT_FALSE(c->Free());
    c->InsertEntry(Bytes(IntKey(1, 20)));
    c->SetModified();
    f.ReleasePage(c);
    f.FlushPages(false);
    f.ClearPageCache(true);
    // A chain that leads into a page in use is damaged.
    std::string head(4, '\0');
    bytes::PutU32(reinterpret_cast<uint8_t*>(head.data()), 8192);
    f.WriteHeader(true);
    PutRawBytes(f, 14 + 90, head);
    f.ReadHeader();
    ASSERT_EQ(f.GetFreeHead(0), 8192u);
    EXPECT_EQ(RaisedCode([&] { f.AllocatePage(&Cursor, 0, c); }), ZIZIVU_PAGEBUFCORRUPT);
}

TEST_F(IndexFile, FlushWritesRunsOfConsecutivePages) {
    TIndexFile& f = NewFile(kName);
    f.AddPrimaryIndex(Fields("", {19}), SizedFields);
    std::vector<TPage*> pages;
    for (int i = 0; i < 6; ++i) {
        TPage* p = nullptr;
        ASSERT_TRUE(f.AllocatePage(&Cursor, 0, p));
        pages.push_back(p);
    }
    for (TPage* p : pages) f.ReleasePage(p);
    f.FlushPages(false);
    EXPECT_EQ(f.PageWrites(), 1u);
    // Pages 1, 2, 3 and 5 dirty, 4 pinned: two writes; the pinned page waits.
    for (int i : {0, 1, 2, 4}) pages[size_t(i)]->SetModified();
    TPage* held = nullptr;
    ASSERT_TRUE(f.GetPage(&Cursor, 0, pages[5]->PagePos(), held));
    held->SetModified();
    const int changes = Table.Changes;
    f.FlushPages(true);
    EXPECT_EQ(f.PageWrites(), 3u);
    EXPECT_TRUE(held->Modified());
    EXPECT_GT(Table.Changes, changes);
    f.ReleasePage(held);
    f.FlushPages(false);
    EXPECT_EQ(f.PageWrites(), 4u);
}

TEST_F(IndexFile, IndexCountsBeyondTheHeaderAreRefusedNotDropped) {
    TIndexFile& a = Populated(50);
    // A flush with a count the header cannot hold raises instead of writing nothing.
    a.SetIndexCount(33);
    EXPECT_EQ(RaisedCode([&] { a.FlushPages(false); }), ZIZIVU_HEADERCORRUPT);
    a.SetIndexCount(2);
    a.WriteHeader(false);
    a.Close();
    a.Open();

    TIndexFile& b = OpenFile(kName);
    EXPECT_FALSE(b.HeaderChanged(nullptr));
    a.SetCounter3974(77);
    a.WriteHeader(false);
    EXPECT_TRUE(b.HeaderChanged(nullptr));
    EXPECT_EQ(b.GetCounter3974(), 77u);
    // Another process's header with 33 indexes is not taken over.
    a.SetIndexCount(33);
    a.WriteHeader(false);
    EXPECT_EQ(RaisedCode([&] { b.HeaderChanged(nullptr); }), ZIZIVU_HEADERCORRUPT);
    EXPECT_EQ(b.GetIndexCount(), 2);
}

TEST_F(IndexFile, EncryptedHeaderAndPagesAreScrambledOnePageAtATime) {
    TIndexFile& f = NewFile(kName);
    f.SetEncrypted(true);
    f.AddPrimaryIndex(Fields("", {19}), SizedFields);
    for (int32_t v = 1; v <= 400; ++v)
        ASSERT_TRUE(f.InsertIndexKey(&Cursor, 0, Bytes(IntKey(v, 20)), uint32_t(v)));
    f.FlushPages(false);
    f.WriteHeader(false);
    const uint32_t root = f.GetRootPageNo(0);
    f.Close();

    std::string header = RawBytes(kName, 0, IndexHeaderSize);
    EXPECT_NE(header[8], 4);
    UnscrambleBuffer(header.data(), IndexHeaderSize, IndexHeaderSeedLo, IndexHeaderSeedHi);
    EXPECT_EQ(header[8], 4);
    EXPECT_EQ(bytes::GetU32(Bytes(header) + 14 + 86), root);
    // Every page unscrambles from the start of the seed pair.
    for (uint32_t pos = 4096; pos < bytes::GetU32(Bytes(header) + 9); pos += 4096) {
        std::string page = RawBytes(kName, int32_t(pos), IndexPageSize);
        UnscrambleBuffer(page.data(), IndexPageSize, IndexPageSeedLo, IndexPageSeedHi);
        EXPECT_EQ(uint8_t(page[0]), pos == root ? ptRootInterior : ptLeaf) << pos;
        EXPECT_EQ(page.substr(4000), std::string(96, '\0')) << pos;
    }
    TIndexFile& g = OpenFile(kName, true);
    g.CheckHeader(SizedFields);
    TTreeShape shape;
    EXPECT_EQ(CheckTree(g, Cursor, 0, shape), "");
    EXPECT_EQ(shape.Keys.size(), 400u);
}

TEST_F(IndexFile, EmptyCutsThePagesAndClearsEveryIndex) {
    TIndexFile& f = Populated(400);
    f.SetCounter3974(400);
    f.Empty();
    f.WriteHeader(false);
    EXPECT_EQ(RawBytes(f, 0, 1 << 20).size(), 4096u);
    EXPECT_EQ(f.GetNextNewPage(), 4096u);
    EXPECT_EQ(f.GetCounter3974(), 0u);
    for (int32_t i = 0; i <= DeletedIndexNo; ++i) {
        EXPECT_EQ(f.GetRootPageNo(i), 0u);
        EXPECT_EQ(f.GetFreeHead(i), 0u);
    }
    EXPECT_EQ(f.GetIndexCount(), 2);
    f.CheckHeader(SizedFields);
    ASSERT_TRUE(f.InsertIndexKey(&Cursor, 0, Bytes(IntKey(1, 20)), 1));
    EXPECT_EQ(f.GetRootPageNo(0), 4096u);
}

TEST_F(IndexFile, AppendedKeysGoInAsOneInsertPerKeyDoes) {
    // Ascending runs, one of them between keys already in: the pages, the header and the
    // cache counts end as those of one InsertIndexKey per key.
    struct TRun {
        int32_t From, To, Step;
    };
    const std::vector<TRun> runs = {{1, 1, 1}, {3, 3999, 2}, {2000, 2998, 2}, {4001, 9000, 1}, {9001, 9001, 1}};
    TIndexFile& one = NewFile("MEMORY\\ONE.IDX");
    TIndexFile& all = NewFile("MEMORY\\ALL.IDX");
    for (TIndexFile* f : {&one, &all}) f->AddPrimaryIndex(Fields("", {19}), SizedFields);
    for (const TRun& r : runs) {
        std::string keys;
        std::vector<uint32_t> records;
        for (int32_t v = r.From; v <= r.To; v += r.Step) {
            ASSERT_TRUE(one.InsertIndexKey(&Cursor, 0, Bytes(IntKey(v, 20)), uint32_t(v)));
            keys += IntKey(v, 20);
            records.push_back(uint32_t(v));
        }
        ASSERT_TRUE(all.AppendIndexKeys(&Cursor, 0, Bytes(keys), 20, records.data(), int32_t(records.size())));
    }
    EXPECT_EQ(all.Reads(), one.Reads());
    EXPECT_EQ(all.Hits(), one.Hits());
    for (TIndexFile* f : {&one, &all}) {
        f->FlushPages(false);
        f->WriteHeader(true);
    }
    ASSERT_EQ(all.GetNextNewPage(), one.GetNextNewPage());
    const int32_t size = int32_t(one.GetNextNewPage());
    EXPECT_TRUE(RawBytes(all, 0, size) == RawBytes(one, 0, size));
    TTreeShape shape;
    EXPECT_EQ(CheckTree(all, Cursor, 0, shape), "");
    EXPECT_EQ(shape.Keys.size(), 1u + 1999u + 500u + 5001u);
}
