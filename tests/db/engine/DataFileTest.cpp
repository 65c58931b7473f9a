#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "db/engine/DataFile.h"
#include "db/storage/Encodings.h"
#include "db/storage/LanguageSettings.h"
#include "platform/os/Locale.h"
#include "platform/rtl/ByteCodec.h"
#include "platform/rtl/DateTime.h"
#include "tests/db/engine/EngineFilesFakes.h"

using namespace enginefiles_test;

namespace {

// Fields of a parts table: record size 9 + (20 + 2) + 5 + 9 + 9 = 54.
std::vector<TFieldDescriptor> PartsFields() {
    std::vector<TFieldDescriptor> f;
    f.push_back(MakeField(1, "ID", dtInteger, 0, fstAutoInc));
    TFieldDescriptor name = MakeField(2, "NAME", dtString, 20);
    name.Description = "Part name";
    name.Required = 1;
    name.CharCase = fcUpper;
    name.MinValue = "A";
    name.MaxValue = "ZZ";
    name.DefaultValue = "B";
    for (int i = 0; i < FieldWorkAreaSize; ++i) name.WorkArea[i] = uint8_t(i * 3);
    f.push_back(name);
    TFieldDescriptor qty = MakeField(3, "QTY", dtInteger);
    qty.MinValue = "0";
    qty.MaxValue = "1000";
    qty.DefaultValue = "1";
    f.push_back(qty);
    TFieldDescriptor price = MakeField(4, "PRICE", dtBCD);
    price.Decimals = 2;
    f.push_back(price);
    f.push_back(MakeField(5, "NOTES", dtBlob, 0, 22));
    return f;
}
constexpr int32_t PartsRecordSize = 54;

// One string field per 252 bytes: n fields make a record of 9 + 252 n bytes.
std::vector<TFieldDescriptor> WideFields(int n) {
    std::vector<TFieldDescriptor> f;
    for (int i = 0; i < n; ++i)
        f.push_back(MakeField(uint16_t(i + 1), "S" + std::to_string(i + 1), dtString, 250));
    return f;
}

class DataFileTest : public EngineFilesTest {
protected:
    std::unique_ptr<TDataFile> NewFile(const std::string& name = "PARTS.DAT") {
        auto f = std::make_unique<TDataFile>(&FTable);
        f->SetFileName(name);
        f->SetInMemory(true);
        return f;
    }

    std::unique_ptr<TDataFile> Create(const std::vector<TFieldDescriptor>& fields,
                                      const std::string& name = "PARTS.DAT", bool encrypted = false,
                                      uint16_t language = 0) {
        auto f = NewFile(name);
        f->CreateFile();
        f->InitStructure(language, 0, fields.data(), int32_t(fields.size()), 1024, "Parts list",
                         encrypted ? "secret" : "", encrypted, 3, 7);
        f->WriteHeader(true, false);
        f->WriteFieldDescriptors();
        return f;
    }

    // Fills the fields of a record with one byte value and marks it modified.
    static void Stamp(TRecord* r, uint8_t value) {
        std::vector<uint8_t> image(size_t(r->RecordSize()), value);
        r->CopyFields(image.data());
    }
    static uint8_t StampOf(const TRecord* r) { return r->GetBuffer()[RecordHeaderSize]; }

    // Appends n records stamped 1, 2, ... and writes everything.
    void Append(TDataFile& f, int n) {
        for (int i = 0; i < n; ++i) {
            TRecord* r = nullptr;
            ASSERT_TRUE(f.AllocateRecord(&FCursor, r));
            r->Clear(true);
            Stamp(r, uint8_t(r->Number));
            f.ReleaseRecord(r);
        }
        f.FlushRecords(false);
        f.WriteHeader(false, false);
    }

    // Deletes the records in the order given.
    void Delete(TDataFile& f, std::initializer_list<uint32_t> numbers) {
        for (uint32_t n : numbers) {
            TRecord* r = Get(f, n);
            f.DeleteRecord(r);
            f.ReleaseRecord(r);
        }
    }

    TRecord* Get(TDataFile& f, uint32_t n, bool readAhead = true, int32_t direction = 1) {
        TRecord* r = nullptr;
        EXPECT_TRUE(f.GetRecord(&FCursor, n, r, direction, false, readAhead));
        return r;
    }

    TFakeTable FTable;
    TFakeCursor FCursor;
};

// ---- Layout -----------------------------------------------------------------------------

TEST_F(DataFileTest, HeaderAndDescriptorsLieAtTheirOffsets) {
    const double before = Now() - 693594.0;
    Create(PartsFields())->Close();
    const std::string raw = FileBytes("PARTS.DAT");
    ASSERT_EQ(raw.size(), size_t(DataFileHeaderSize + 5 * FieldDescriptorSize));
    const uint8_t* h = reinterpret_cast<const uint8_t*>(raw.data());
    EXPECT_EQ(bytes::GetU32(h + 0), 1u);  // 0 at creation, +1 by the write
    EXPECT_EQ(bytes::GetU32(h + 4), 1024u);
    EXPECT_EQ(h[8], 4);
    EXPECT_EQ(bytes::GetU32(h + 9), 0u);
    EXPECT_EQ(bytes::GetU32(h + 13), 1u);
    EXPECT_EQ(bytes::GetU32(h + 17), 0u);
    EXPECT_EQ(bytes::GetU16(h + 21), PartsRecordSize);
    EXPECT_EQ(bytes::GetU16(h + 23), 5);
    EXPECT_EQ(bytes::GetU16(h + 25), 1);
    EXPECT_NEAR(bytes::GetF64(h + 27), before, 1.0);
    EXPECT_EQ(h[35], 10);
    EXPECT_EQ(raw.substr(36, 10), "Parts list");
    EXPECT_EQ(h[86], 0);
    EXPECT_EQ(h[87], 0);
    EXPECT_EQ(bytes::GetU16(h + 103), 0);
    EXPECT_EQ(bytes::GetU16(h + 105), 0);
    EXPECT_EQ(bytes::GetU16(h + 107), 7);
    EXPECT_EQ(bytes::GetU16(h + 109), 3);
    EXPECT_EQ(h[111], 1);
    EXPECT_EQ(bytes::GetU32(h + 112), 0u);
    EXPECT_EQ(bytes::GetI64(h + 116), 21200);

    const uint8_t* id = h + DataFileHeaderSize;
    EXPECT_EQ(bytes::GetU16(id + 90), 5);  // the auto-increment field is the row id
    const uint8_t* d = h + DataFileHeaderSize + FieldDescriptorSize;
    EXPECT_EQ(bytes::GetU16(d + 0), 2);
    EXPECT_EQ(d[2], 4);
    EXPECT_EQ(raw.substr(size_t(d - h) + 3, 4), "NAME");
    EXPECT_EQ(d[33], 9);
    EXPECT_EQ(raw.substr(size_t(d - h) + 34, 9), "Part name");
    EXPECT_EQ(d[84], dtString);
    EXPECT_EQ(d[85], 0);
    EXPECT_EQ(d[86], 20);
    EXPECT_EQ(d[87], 0);
    EXPECT_EQ(d[88], 21);
    EXPECT_EQ(d[89], 0);
    EXPECT_EQ(bytes::GetU16(d + 90), 9);
    EXPECT_EQ(d[92], 1);
    EXPECT_EQ(d[93], fcUpper);
    EXPECT_EQ(d[94], 1);
    EXPECT_EQ(d[95], 'A');
    EXPECT_EQ(d[145], 2);
    EXPECT_EQ(raw.substr(size_t(d - h) + 146, 2), "ZZ");
    EXPECT_EQ(d[196], 1);
    EXPECT_EQ(d[197], 'B');
    EXPECT_EQ(d[247], 0);
    for (int i = 0; i < FieldWorkAreaSize; ++i) ASSERT_EQ(d[248 + i], uint8_t(i * 3)) << i;
    const uint8_t* qty = d + FieldDescriptorSize;
    EXPECT_EQ(bytes::GetU16(qty + 90), 31);
    const uint8_t* price = qty + FieldDescriptorSize;
    EXPECT_EQ(price[87], 2);
    EXPECT_EQ(price[88], 8);
    EXPECT_EQ(price[89], 2);
    EXPECT_EQ(bytes::GetU16(price + 90), 36);
    EXPECT_EQ(bytes::GetU16(price + FieldDescriptorSize + 90), 45);
}

TEST_F(DataFileTest, HeaderAndDescriptorsRoundTripByteForByte) {
    {
        auto f = Create(PartsFields());
        Append(*f, 3);
        f->SetDescriptionAndPassword("", "Spare parts", 4, 9, 77);
        f->NextBlobId();
        f->WriteHeader(false, false);
        f->Close();
    }
    const std::string before = FileBytes("PARTS.DAT");
    auto f = NewFile();
    f->Open();
    f->CheckHeader();
    EXPECT_EQ(f->GetDescription(), "Spare parts");
    EXPECT_EQ(f->GetLastRowId(), 77u);
    EXPECT_EQ(f->GetHeaderWord107(), 9);
    EXPECT_EQ(f->GetHeaderWord109(), 4);
    EXPECT_EQ(f->GetPhysicalRecordCount(), 3u);
    TFieldDescriptor name;
    ASSERT_TRUE(f->FindFieldDescriptor(2, name));
    f->SetFieldDescriptor(1, name);  // unchanged content, descriptors marked for writing
    f->WriteFieldDescriptors();
    f->WriteHeader(true, false);
    const std::string after = FileBytes("PARTS.DAT");
    ASSERT_EQ(after.size(), before.size());
    // Only the counter, the stamp and the modified byte move.
    EXPECT_EQ(bytes::GetU32(reinterpret_cast<const uint8_t*>(after.data())),
              bytes::GetU32(reinterpret_cast<const uint8_t*>(before.data())) + 1);
    EXPECT_EQ(after[111], 0);
    EXPECT_EQ(after.substr(4, 23), before.substr(4, 23));
    EXPECT_EQ(after.substr(35, 111 - 35), before.substr(35, 111 - 35));
    EXPECT_EQ(after.substr(112), before.substr(112));
}

TEST_F(DataFileTest, EncryptedTableScramblesTextsDescriptorsAndRecords) {
    {
        auto f = Create(PartsFields(), "PARTS.DAT", true);
        Append(*f, 2);
        EXPECT_EQ(f->GetPassword(), "secret");
        f->Close();
    }
    const std::string raw = FileBytes("PARTS.DAT");
    EXPECT_EQ(raw.find("secret"), std::string::npos);
    EXPECT_EQ(raw.find("Parts list"), std::string::npos);
    EXPECT_EQ(raw.find("NAME"), std::string::npos);
    auto f = NewFile();
    f->Open();
    f->CheckHeader();
    EXPECT_TRUE(f->IsEncrypted());
    EXPECT_EQ(f->GetPassword(), "secret");
    EXPECT_EQ(f->GetDescription(), "Parts list");
    EXPECT_EQ(f->FindFieldDescriptorByName("name"), 1);
    TRecord* r = Get(*f, 2);
    EXPECT_EQ(StampOf(r), 2);
    EXPECT_EQ(r->GetRowWord(), 2u);
    f->ReleaseRecord(r);
}

TEST_F(DataFileTest, CreationRefusesTooManyBlobFieldsAndOversizedRecords) {
    auto f = NewFile();
    f->CreateFile();
    std::vector<TFieldDescriptor> blobs;
    for (int i = 0; i < 65; ++i) blobs.push_back(MakeField(uint16_t(i + 1), "B" + std::to_string(i), dtBlob));
    EXPECT_EQ(RaisedCode([&] { f->InitStructure(0, 0, blobs.data(), 65, 512, "", "", false, 0, 0); }),
              ZIZIVU_BLOBLIMIT);
    EXPECT_EQ(RaisedCode([&] { f->InitStructure(0, 0, blobs.data(), 64, 512, "", "", false, 0, 0); }), 0);
    auto wide = WideFields(261);  // 9 + 261 * 252 > 65535
    EXPECT_EQ(RaisedCode([&] { f->InitStructure(0, 0, wide.data(), 261, 0, "", "", false, 0, 0); }),
              ZIZIVU_MAXRECSIZE);
}

// ---- Open checks ------------------------------------------------------------------------

struct DamageCase {
    const char* what;
    int32_t offset;  // into the file
    std::string bytes;
    uint16_t code;
};

constexpr int32_t D1 = DataFileHeaderSize;  // descriptor of field 1 (ID)
constexpr int32_t D2 = D1 + FieldDescriptorSize;
constexpr int32_t D3 = D2 + FieldDescriptorSize;
constexpr int32_t D4 = D3 + FieldDescriptorSize;

std::string U16Bytes(uint16_t v) {
    return std::string{char(v & 0xFF), char(v >> 8)};
}

class DataFileDamage : public DataFileTest, public ::testing::WithParamInterface<DamageCase> {};

TEST_P(DataFileDamage, OpenCheckRefusesIt) {
    {
        auto f = Create(PartsFields());
        Append(*f, 2);
        f->Close();
    }
    const DamageCase& c = GetParam();
    if (c.bytes.empty()) {
    } else if (c.offset >= 0) {
        PatchFile("PARTS.DAT", c.offset, c.bytes);
    } else {
        AppendFile("PARTS.DAT", c.bytes);
    }
    auto f = NewFile();
    EXPECT_EQ(RaisedCode([&] {
                  f->Open();
                  f->CheckHeader();
              }),
              c.code);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DataFileDamage,
    ::testing::Values(DamageCase{"intact", 0, "", 0}, DamageCase{"version", 8, "\x03", ZIZIVU_BADVERSION},
                      DamageCase{"language", 103, U16Bytes(0x7F), ZIZIVU_LANGDRIVERMISSING},
                      DamageCase{"fieldcount", 23, U16Bytes(1025), ZIZIVU_HEADERCORRUPT},
                      DamageCase{"fewerfields", 23, U16Bytes(4), ZIZIVU_HEADERCORRUPT},
                      DamageCase{"blankname", D2 + 2, std::string("\x04    ", 5), ZIZIVU_HEADERCORRUPT},
                      DamageCase{"longname", D2 + 2, "\x1F", ZIZIVU_HEADERCORRUPT},
                      DamageCase{"samename", D3 + 2, std::string("\x04name", 5), ZIZIVU_HEADERCORRUPT},
                      DamageCase{"samenumber", D3, U16Bytes(2), ZIZIVU_HEADERCORRUPT},
                      DamageCase{"numbernotposition", D3, U16Bytes(9), ZIZIVU_HEADERCORRUPT},
                      DamageCase{"typezero", D3 + 84, std::string(1, '\0'), ZIZIVU_HEADERCORRUPT},
                      DamageCase{"unknowntype", D3 + 84, "\x10", ZIZIVU_HEADERCORRUPT},
                      DamageCase{"stringtoolong", D2 + 86, "\xFB", ZIZIVU_HEADERCORRUPT},
                      DamageCase{"sizedinteger", D3 + 86, "\x04", ZIZIVU_HEADERCORRUPT},
                      DamageCase{"baddefault", D3 + 196,
                                 "\x03"
                                 "abc",
                                 ZIZIVU_HEADERCORRUPT},
                      DamageCase{"badminimum", D3 + 94,
                                 "\x02"
                                 "1x",
                                 ZIZIVU_HEADERCORRUPT},
                      DamageCase{"badmaximum", D3 + 145,
                                 "\x01"
                                 "-",
                                 ZIZIVU_HEADERCORRUPT},
                      DamageCase{"decimalsoninteger", D3 + 87, "\x01", ZIZIVU_HEADERCORRUPT},
                      DamageCase{"charcase", D2 + 93, "\x03", ZIZIVU_HEADERCORRUPT},
                      DamageCase{"offset", D3 + 90, U16Bytes(32), ZIZIVU_HEADERCORRUPT},
                      DamageCase{"offsetbeyondrecord", D4 + 90, U16Bytes(60000), ZIZIVU_HEADERCORRUPT},
                      DamageCase{"autoincoffset", D1 + 90, U16Bytes(9), ZIZIVU_HEADERCORRUPT},
                      DamageCase{"recordsize", 21, U16Bytes(PartsRecordSize + 1), ZIZIVU_HEADERCORRUPT},
                      DamageCase{"recordsizezero", 21, U16Bytes(0), ZIZIVU_HEADERCORRUPT},
                      DamageCase{"blobcount", 25, U16Bytes(2), ZIZIVU_HEADERCORRUPT},
                      DamageCase{"partialrecord", -1, "xyz", ZIZIVU_HEADERCORRUPT},
                      DamageCase{"extrarecord", -1, std::string(PartsRecordSize, '\0'), ZIZIVU_HEADERCORRUPT},
                      DamageCase{"nextrecord", 13, U32Bytes(2), ZIZIVU_HEADERCORRUPT},
                      DamageCase{"deletedhead", 9, U32Bytes(3), ZIZIVU_HEADERCORRUPT}),
    [](const ::testing::TestParamInfo<DamageCase>& info) { return std::string(info.param.what); });

TEST_F(DataFileTest, ValueTextsAreCheckedInTheTablesLocale) {
    constexpr uint16_t German = 0x0407;
    ASSERT_TRUE(IsLocaleInstalled(MakeLCID(German, 0)));
    auto fields = PartsFields();
    TFieldDescriptor rate = MakeField(6, "RATE", dtFloat);
    rate.DefaultValue = "1,5";
    fields.push_back(rate);
    {
        auto f = Create(fields, "GERMAN.DAT", false, German);
        f->Close();
        f->Open();
        EXPECT_EQ(RaisedCode([&] { f->CheckHeader(); }), 0);
    }
    {
        auto f = Create(fields, "PLAIN.DAT");
        f->Close();
        f->Open();
        EXPECT_EQ(RaisedCode([&] { f->CheckHeader(); }), ZIZIVU_HEADERCORRUPT);
    }
}

// ---- Records ----------------------------------------------------------------------------

TEST_F(DataFileTest, DeletedSlotsAreReusedLastInFirstOut) {
    auto f = Create(PartsFields());
    Append(*f, 8);
    Delete(*f, {3, 7});
    EXPECT_EQ(f->GetNextFreeRecordNo(), 7u);
    EXPECT_EQ(f->CachedRecord(7)->GetNextDeleted(), 3u);
    EXPECT_EQ(f->CachedRecord(3)->GetNextDeleted(), 0u);
    std::vector<uint32_t> taken;
    for (int i = 0; i < 3; ++i) {
        TRecord* r = nullptr;
        ASSERT_TRUE(f->AllocateRecord(&FCursor, r));
        taken.push_back(r->Number);
        r->Clear(true);
        f->ReleaseRecord(r);
    }
    EXPECT_EQ(taken, (std::vector<uint32_t>{7, 3, 9}));
    EXPECT_EQ(f->GetNextFreeRecordNo(), 10u);
}

TEST_F(DataFileTest, TableWithoutPrimaryIndexNeverReusesSlots) {
    auto f = Create(PartsFields());
    Append(*f, 4);
    Delete(*f, {2});
    FTable.NoPrimary = true;
    TRecord* r = nullptr;
    ASSERT_TRUE(f->AllocateRecord(&FCursor, r));
    EXPECT_EQ(r->Number, 5u);
    f->ReleaseRecord(r);
}

TEST_F(DataFileTest, ChainLeadingToAnActiveRecordIsRefused) {
    auto f = Create(PartsFields());
    Append(*f, 4);
    f->Close();
    PatchFile("PARTS.DAT", 9, U32Bytes(2));  // head names an active record
    f->Open();
    f->CheckHeader();
    TRecord* r = nullptr;
    EXPECT_EQ(RaisedCode([&] { f->AllocateRecord(&FCursor, r); }), ZIZIVU_RECBUFCORRUPT);
    EXPECT_EQ(StampOf(Get(*f, 2)), 2);
}

TEST_F(DataFileTest, DeletedChainAndRecordsSurviveReopen) {
    {
        auto f = Create(PartsFields());
        Append(*f, 5);
        Delete(*f, {2, 4});
        f->FlushRecords(false);
        f->WriteHeader(false, false);
        f->Close();
    }
    auto f = NewFile();
    f->Open();
    f->CheckHeader();
    EXPECT_EQ(f->GetNextFreeRecordNo(), 4u);
    TRecord* r = Get(*f, 4);
    EXPECT_EQ(r->GetStatus(), 1);
    EXPECT_EQ(r->GetNextDeleted(), 2u);
    f->ReleaseRecord(r);
    r = Get(*f, 5);
    EXPECT_EQ(StampOf(r), 5);
    EXPECT_EQ(bytes::GetU32(r->GetBuffer() + 1), 5u);
    f->ReleaseRecord(r);
}

TEST_F(DataFileTest, AnotherHandlersHeaderWriteIsSeenAndTakenOver) {
    Create(PartsFields())->Close();
    auto a = NewFile();
    auto b = NewFile();
    a->Open();
    b->Open();
    EXPECT_FALSE(b->HeaderChanged());
    a->SetLastRowId(40);
    a->WriteHeader(false, false);
    EXPECT_TRUE(b->HeaderChanged());
    EXPECT_EQ(b->GetLastRowId(), 40u);
    EXPECT_EQ(b->GetChangeCount(), a->GetChangeCount());
    EXPECT_FALSE(b->HeaderChanged());
}

TEST_F(DataFileTest, EmptyCutsTheRecordsAndStartsNumberingAgain) {
    {
        auto f = Create(PartsFields());
        Append(*f, 4);
        Delete(*f, {2});
        f->Empty();
        EXPECT_EQ(f->GetPhysicalRecordCount(), 0u);
        EXPECT_EQ(f->GetNextFreeRecordNo(), 1u);
        EXPECT_EQ(f->GetLastRowId(), 0u);
        EXPECT_EQ(f->GetChangeCount(), 0u);
        EXPECT_EQ(f->CacheCount(), 0);
        f->WriteHeader(false, false);
        f->Close();
    }
    EXPECT_EQ(FileBytes("PARTS.DAT").size(), size_t(DataFileHeaderSize + 5 * FieldDescriptorSize));
    auto f = NewFile();
    f->Open();
    f->CheckHeader();
    TRecord* r = nullptr;
    ASSERT_TRUE(f->AllocateRecord(&FCursor, r));
    EXPECT_EQ(r->Number, 1u);
    f->ReleaseRecord(r);
}

TEST_F(DataFileTest, CacheSizesFollowTheRecordSize) {
    // 9 + (29 + 2) = 40 bytes a record.
    std::vector<TFieldDescriptor> fields{MakeField(1, "S", dtString, 29)};
    auto f = Create(fields);
    EXPECT_EQ(f->GetRecordSize(), 40);
    EXPECT_EQ(f->CacheCapacity(), 3276);
    EXPECT_EQ(f->ReadAheadCount(), 1638);
    f->Close();
    f->Open();
    EXPECT_EQ(f->CacheCapacity(), 3276);
    EXPECT_EQ(f->ReadAheadCount(), 1638);
    auto small = Create({MakeField(1, "W", dtWord)}, "SMALL.DAT");
    EXPECT_EQ(small->GetRecordSize(), 12);
    EXPECT_EQ(small->CacheCapacity(), 8191);
}

TEST_F(DataFileTest, AppendsStopAtTheTableLimits) {
    struct LimitCase {
        std::vector<TFieldDescriptor> fields;
        uint32_t allowed;  // the last number that may still be appended
    };
    // 9 + 989 + 2 = 1000-byte records reach 2,000,000,000 bytes at record 2,000,000.
    std::vector<TFieldDescriptor> big{MakeField(1, "A", dtBytes, 250), MakeField(2, "B", dtBytes, 250),
                                      MakeField(3, "C", dtBytes, 250), MakeField(4, "D", dtBytes, 237)};
    const LimitCase cases[] = {{{MakeField(1, "W", dtWord)}, 99999999}, {big, 2000000}};
    int i = 0;
    for (const LimitCase& c : cases) {
        const std::string name = "FULL" + std::to_string(i++) + ".DAT";
        auto f = Create(c.fields, name);
        f->Close();
        // A header that claims the records without the bytes behind it.
        PatchFile(name, 13, U32Bytes(c.allowed));
        f->Open();
        TRecord* r = nullptr;
        ASSERT_EQ(RaisedCode([&] { ASSERT_TRUE(f->GetRecord(&FCursor, c.allowed, r)); }), 0) << name;
        EXPECT_EQ(r->Number, c.allowed);
        f->ReleaseRecord(r);
        EXPECT_EQ(RaisedCode([&] { f->GetRecord(&FCursor, c.allowed + 1, r); }), ZIZIVU_TABLEFULL) << name;
        f->ClearRecordCache();
    }
}

TEST_F(DataFileTest, RowAndBlobIdsWrapToOne) {
    auto f = Create(PartsFields());
    f->SetLastRowId(2147483646);
    EXPECT_EQ(f->NextRowId(), 2147483647u);
    EXPECT_EQ(f->NextRowId(), 1u);
    EXPECT_EQ(f->NextBlobId(), 1u);
    for (int i = 0; i < 3; ++i) f->NextBlobId();
    EXPECT_EQ(f->NextBlobId(), 5u);
    const uint32_t counter = f->GetChangeCount();
    f->NextRowId();
    EXPECT_EQ(f->GetChangeCount(), counter + 1);
    EXPECT_TRUE(f->HeaderModified());
}

TEST_F(DataFileTest, RecordNumbersOutsideTheFileAreRefused) {
    auto f = Create(PartsFields());
    Append(*f, 2);
    TRecord* r = nullptr;
    EXPECT_EQ(RaisedCode([&] { f->GetRecord(&FCursor, 0, r); }), ZIZIVU_RECBUFCORRUPT);
    EXPECT_EQ(RaisedCode([&] { f->GetRecord(&FCursor, 4, r); }), ZIZIVU_RECBUFCORRUPT);
}

TEST_F(DataFileTest, MissTakesTheCursorsReadLockAndRestartsWhenCachesWereDropped) {
    auto f = Create(PartsFields());
    Append(*f, 3);
    f->ClearRecordCache();
    TRecord* r = nullptr;
    FCursor.LockResult = false;
    FCursor.OnLock = [&] { f->ClearRecordCache(); };
    EXPECT_FALSE(f->GetRecord(&FCursor, 2, r));
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(FCursor.LockCalls, 1);
    FCursor.LockResult = true;
    r = Get(*f, 2);
    EXPECT_EQ(FCursor.LockCalls, 2);
    f->ReleaseRecord(r);
    r = Get(*f, 2);  // a hit takes no lock
    EXPECT_EQ(FCursor.LockCalls, 2);
    f->ReleaseRecord(r);
    FTable.Strict = true;  // the caller checks every move itself
    f->ClearRecordCache();
    r = Get(*f, 1);
    EXPECT_EQ(FCursor.LockCalls, 2);
    f->ReleaseRecord(r);
}

TEST_F(DataFileTest, ReadAheadFillsRunsForwardBackwardAndByVisibleRun) {
    auto f = Create(PartsFields());
    Append(*f, 20);
    struct RunCase {
        uint32_t recordNo;
        int32_t direction;
        bool byVisibleRun;
        uint32_t visible;
        uint32_t first, last;
    };
    const RunCase cases[] = {{5, 1, false, 0, 5, 20}, {5, -1, false, 0, 1, 5}, {8, 1, true, 3, 8, 10}};
    for (const RunCase& c : cases) {
        f->ClearRecordCache();
        FCursor.Visible = c.visible;
        const uint32_t reads = f->CacheReads();
        TRecord* r = nullptr;
        ASSERT_TRUE(f->GetRecord(&FCursor, c.recordNo, r, c.direction, c.byVisibleRun, true));
        f->ReleaseRecord(r);
        EXPECT_EQ(f->CacheReads(), reads + 1);
        EXPECT_EQ(f->CacheCount(), int32_t(c.last - c.first + 1)) << c.recordNo;
        EXPECT_NE(f->CachedRecord(c.first), nullptr);
        EXPECT_NE(f->CachedRecord(c.last), nullptr);
        for (uint32_t n = c.first; n <= c.last; ++n) EXPECT_EQ(StampOf(f->CachedRecord(n)), n);
    }
}

TEST_F(DataFileTest, ReadAheadKeepsDirtyAndPinnedRecordsAndRefreshesCleanOnes) {
    auto f = Create(PartsFields());
    Append(*f, 10);
    f->ClearRecordCache();
    TRecord* dirty = Get(*f, 5, false);
    Stamp(dirty, 55);
    f->ReleaseRecord(dirty);
    TRecord* pinned = Get(*f, 6, false);
    pinned->GetBuffer()[RecordHeaderSize] = 66;  // changed in memory, not marked
    TRecord* clean = Get(*f, 7, false);
    clean->GetBuffer()[RecordHeaderSize] = 77;
    f->ReleaseRecord(clean);

    TRecord* r = Get(*f, 3);  // a miss whose run covers 3..10
    f->ReleaseRecord(r);
    EXPECT_EQ(StampOf(f->CachedRecord(5)), 55);
    EXPECT_TRUE(f->CachedRecord(5)->IsModified());
    EXPECT_EQ(StampOf(f->CachedRecord(6)), 66);
    EXPECT_EQ(StampOf(f->CachedRecord(7)), 7);
    EXPECT_EQ(StampOf(f->CachedRecord(10)), 10);
    f->ReleaseRecord(pinned);
}

TEST_F(DataFileTest, WriteBehindWritesEachRunOfAdjacentRecordsOnce) {
    auto f = Create(PartsFields());
    Append(*f, 10);
    const uint32_t writes = f->CacheWrites();
    for (uint32_t n : {2u, 3u, 4u, 7u}) {
        TRecord* r = Get(*f, n);
        Stamp(r, uint8_t(100 + n));
        f->ReleaseRecord(r);
    }
    TRecord* pinned = Get(*f, 9);
    Stamp(pinned, 109);
    const int changes = FTable.Changes;
    EXPECT_TRUE(f->FlushRecords(false));
    EXPECT_EQ(f->CacheWrites(), writes + 2);  // 2..4 and 7; 9 is pinned
    EXPECT_GT(FTable.Changes, changes);
    EXPECT_FALSE(f->FlushRecords(false));
    EXPECT_TRUE(pinned->IsModified());
    f->ReleaseRecord(pinned);
    f->Close();  // created files are held exclusively

    const std::string raw = FileBytes("PARTS.DAT");
    auto stampOnDisk = [&](uint32_t n) {
        return uint8_t(raw[size_t(f->RecordPosition(n)) + RecordHeaderSize]);
    };
    EXPECT_EQ(stampOnDisk(2), 102);
    EXPECT_EQ(stampOnDisk(4), 104);
    EXPECT_EQ(stampOnDisk(5), 5);
    EXPECT_EQ(stampOnDisk(7), 107);
    EXPECT_EQ(stampOnDisk(9), 9);
}

TEST_F(DataFileTest, FullCacheReusesCleanRecordsAndFlushesOutsideATransaction) {
    auto f = Create(WideFields(52));  // 13113-byte records: capacity 9, read-ahead 4
    ASSERT_EQ(f->CacheCapacity(), 9);
    ASSERT_EQ(f->ReadAheadCount(), 4);
    Append(*f, 12);  // the appends overflowed the cache: dirty records were written
    EXPECT_LE(f->CacheCount(), 9);
    f->ClearRecordCache();
    for (uint32_t n = 1; n <= 12; ++n) {
        TRecord* r = Get(*f, n, false);
        EXPECT_EQ(StampOf(r), n);
        Stamp(r, uint8_t(200 + n));
        f->ReleaseRecord(r);
    }
    EXPECT_EQ(f->CacheCapacity(), 9);
    f->FlushRecords(false);
    f->ClearRecordCache();
    for (uint32_t n = 1; n <= 12; ++n) {
        TRecord* r = Get(*f, n, false);
        EXPECT_EQ(StampOf(r), 200 + n);
        f->ReleaseRecord(r);
    }
    // Every entry pinned: nothing can be given out.
    f->ClearRecordCache();
    std::vector<TRecord*> pins;
    for (uint32_t n = 1; n <= 9; ++n) pins.push_back(Get(*f, n, false));
    TRecord* r = nullptr;
    EXPECT_EQ(RaisedCode([&] { f->GetRecord(&FCursor, 10, r, 1, false, false); }), ZIZIVU_RECBUFCORRUPT);
    for (TRecord* p : pins) f->ReleaseRecord(p);
}

TEST_F(DataFileTest, ReadAheadStopsWhereTheFileEndsBeforeRecordsOnlyCached) {
    auto f = Create(WideFields(52));  // capacity 9, read-ahead 4
    for (int i = 0; i < 12; ++i) {    // the tenth append writes 1..9; 10..12 stay cached
        TRecord* r = nullptr;
        ASSERT_TRUE(f->AllocateRecord(&FCursor, r));
        r->Clear(true);
        Stamp(r, uint8_t(r->Number));
        f->ReleaseRecord(r);
    }
    for (uint32_t n = 1; n <= 4; ++n) f->ReleaseRecord(Get(*f, n, false));
    ASSERT_EQ(f->CachedRecord(7), nullptr);
    ASSERT_LT(int64_t(f->GetSize()), f->RecordPosition(11));
    // The run 7..10 reaches past the file: the records there are read, 10 stays as cached.
    TRecord* r = Get(*f, 7);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(StampOf(r), 7);
    f->ReleaseRecord(r);
    for (uint32_t n = 8; n <= 12; ++n) {
        r = Get(*f, n, false);
        EXPECT_EQ(StampOf(r), n);
        f->ReleaseRecord(r);
    }
    // A record the file lacks and the cache does not hold is a read error.
    f->FlushRecords(false);
    f->ClearRecordCache();
    ASSERT_TRUE(f->AllocateRecord(&FCursor, r));
    f->ReleaseRecord(r);
    f->ClearRecordCache();
    EXPECT_EQ(RaisedCode([&] { Get(*f, 13); }), ZIZIVU_READERR);
}

TEST_F(DataFileTest, TransactionGrowsTheCacheInsteadOfDroppingDirtyRecords) {
    auto f = Create(WideFields(52));
    Append(*f, 20);
    f->ClearRecordCache();
    for (uint32_t n = 1; n <= 9; ++n) f->ReleaseRecord(Get(*f, n, false));
    const uint32_t writes = f->CacheWrites();
    FTable.Transaction = true;
    // Clean entries are still reused while one record is dirty.
    TRecord* r = Get(*f, 1);
    Stamp(r, 201);
    f->ReleaseRecord(r);
    for (uint32_t n = 10; n <= 13; ++n) f->ReleaseRecord(Get(*f, n, false));
    EXPECT_EQ(f->CacheCapacity(), 9);
    EXPECT_TRUE(f->CachedRecord(1)->IsModified());
    // All dirty: the cache grows by 255 and nothing is written.
    for (uint32_t n = 2; n <= 20; ++n) {
        r = Get(*f, n, false);
        Stamp(r, uint8_t(200 + n));
        f->ReleaseRecord(r);
    }
    EXPECT_EQ(f->CacheCapacity(), 9 + 255);
    EXPECT_EQ(f->CacheWrites(), writes);
    for (uint32_t n = 1; n <= 20; ++n) {
        ASSERT_NE(f->CachedRecord(n), nullptr) << n;
        EXPECT_EQ(StampOf(f->CachedRecord(n)), 200 + n);
    }
    // Appends inside the transaction stay in the cache as well.
    ASSERT_TRUE(f->AllocateRecord(&FCursor, r));
    EXPECT_EQ(r->Number, 21u);
    f->ReleaseRecord(r);
    EXPECT_EQ(f->CacheWrites(), writes);
    FTable.Transaction = false;
    EXPECT_TRUE(f->FlushRecords(false));
    f->TrimRecordCache();
    EXPECT_EQ(f->CacheCapacity(), 9);
    EXPECT_LE(f->CacheCount(), 9);
}

// Random reads with read-ahead both ways, changes, pins, flushes, commits and rollbacks against
// a model of the records: runs spread into a full cache around dirty, pinned and parked
// entries never lose a change or serve a stale image, and the cache stays consistent.
TEST_F(DataFileTest, CacheAgreesWithAModelOfTheRecordsUnderRandomWork) {
    for (const unsigned seed : {1u, 4u, 4102u}) {
        SCOPED_TRACE(seed);
        constexpr uint32_t Records = 60;
        // 6561-byte records: capacity 19, read-ahead 9
        auto f = Create(WideFields(26), "CACHE" + std::to_string(seed) + ".DAT");
        ASSERT_EQ(f->CacheCapacity(), 19);
        Append(*f, int(Records));
        std::vector<uint8_t> model(Records + 1);
        for (uint32_t n = 1; n <= Records; ++n) model[n] = uint8_t(n);
        std::vector<uint8_t> before = model;
        std::vector<TRecord*> pins;
        std::mt19937 rng(seed);
        auto pick = [&](uint32_t bound) { return uint32_t(rng() % bound); };
        auto commit = [&] {
            FTable.Transaction = false;
            f->FlushRecords(false);
            f->TrimRecordCache();
            EXPECT_EQ(f->CacheCapacity(), 19);
        };
        for (int step = 0; step < 4000; ++step) {
            const uint32_t op = pick(100);
            if (op < 70) {
                const uint32_t n = 1 + pick(Records);
                TRecord* r = Get(*f, n, pick(4) != 0, pick(2) ? 1 : -1);
                ASSERT_NE(r, nullptr);
                ASSERT_EQ(StampOf(r), model[n]) << "record " << n << " step " << step;
                if (pick(3) == 0) {
                    model[n] = uint8_t(100 + pick(150));
                    Stamp(r, model[n]);
                }
                if (pins.size() < 3 && pick(4) == 0)
                    pins.push_back(r);
                else
                    f->ReleaseRecord(r);
            } else if (op < 80 && !pins.empty()) {
                f->ReleaseRecord(pins.back());
                pins.pop_back();
            } else if (op < 85) {
                if (!FTable.Transaction) f->FlushRecords(false);
            } else if (op < 92) {
                if (FTable.Transaction) {
                    commit();
                } else if (pins.empty()) {
                    f->FlushRecords(false);  // a transaction starts from what the file holds
                    FTable.Transaction = true;
                    before = model;
                }
            } else if (op < 95 && FTable.Transaction && pins.empty()) {
                // A rollback drops the cache: nothing of the transaction reached the file.
                FTable.Transaction = false;
                f->ClearRecordCache();
                model = before;
            }
            // Every cached record is found by number, and each holds its latest image.
            int32_t found = 0;
            for (uint32_t n = 1; n <= Records; ++n)
                if (const TRecord* c = f->CachedRecord(n)) {
                    ++found;
                    ASSERT_EQ(c->Number, n);
                    ASSERT_EQ(StampOf(c), model[n]) << "cached " << n << " step " << step;
                }
            ASSERT_EQ(found, f->CacheCount()) << step;
            if (!FTable.Transaction) {
                ASSERT_LE(f->CacheCount(), f->CacheCapacity() + int32_t(pins.size()));
            }
        }
        for (TRecord* r : pins) f->ReleaseRecord(r);
        commit();
        f->ClearRecordCache();
        for (uint32_t n = 1; n <= Records; ++n) {
            TRecord* r = Get(*f, n);
            EXPECT_EQ(StampOf(r), model[n]) << n;
            f->ReleaseRecord(r);
        }
    }
}

TEST_F(DataFileTest, RecordObjectHelpers) {
    auto f = Create(PartsFields());
    Append(*f, 1);
    TRecord* a = Get(*f, 1);
    TRecord* copy = f->NewRecordObject();
    copy->CopyFrom(*a);
    EXPECT_TRUE(copy->SameImage(a->GetBuffer()));
    EXPECT_EQ(copy->Number, 1u);
    copy->GetBuffer()[20] ^= 1;
    EXPECT_FALSE(copy->SameImage(a->GetBuffer()));
    copy->SetRecordNumber(5);
    EXPECT_EQ(bytes::GetU32(copy->GetBuffer() + 1), 5u);
    copy->SetStatus(1);
    copy->SetRecordNumber(6);
    EXPECT_EQ(bytes::GetU32(copy->GetBuffer() + 1), 5u);  // a deleted record keeps its chain link
    f->FreeRecordObject(copy);
    EXPECT_EQ(copy, nullptr);
    f->ReleaseRecord(a);
}

// ---- Keys -------------------------------------------------------------------------------

TEST(FieldToKeyTest, ImagesOrderAsTheValues) {
    auto key = [](const TFieldDescriptor& fd, const std::vector<uint8_t>& value, bool ci, bool desc) {
        std::vector<uint8_t> k(size_t(fd.DataSize) + 2, 0);
        FieldToKey(fd, value.data(), k.data(), ci, desc, 0, 0);
        return k;
    };
    TFieldDescriptor i = MakeField(1, "I", dtInteger);
    SetFieldDataSize(i);
    std::vector<uint8_t> minus(4), plus(4);
    bytes::PutI32(minus.data(), -5);
    bytes::PutI32(plus.data(), 3);
    EXPECT_LT(key(i, minus, false, false), key(i, plus, false, false));
    EXPECT_GT(key(i, minus, false, true), key(i, plus, false, true));
    EXPECT_EQ(key(i, plus, false, false)[1], 0x80);

    TFieldDescriptor s = MakeField(2, "S", dtString, 5);
    SetFieldDataSize(s);
    std::vector<uint8_t> text{'a', 'b', 0, 'z', 'z', 0};
    auto k = key(s, text, true, false);
    EXPECT_EQ(std::string(k.begin() + 1, k.begin() + 4), std::string("AB\0", 3));
    EXPECT_EQ(k[4], 0);                                       // nothing copied past the terminator
    std::vector<uint8_t> full{'a', 'b', 'c', 'd', 'e', 'f'};  // no terminator inside the field
    k = key(s, full, false, false);
    EXPECT_EQ(std::string(k.begin() + 1, k.begin() + 7), std::string("abcde\0", 6));

    TFieldDescriptor d = MakeField(3, "F", dtFloat);
    SetFieldDataSize(d);
    std::vector<uint8_t> lo(8), hi(8);
    bytes::PutF64(lo.data(), -2.5);
    bytes::PutF64(hi.data(), 0.25);
    EXPECT_LT(key(d, lo, false, false), key(d, hi, false, false));
}

}  // namespace
