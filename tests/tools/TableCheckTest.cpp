// The consistency check of a table's files finds each kind of damage it is meant to find,
// and nothing in a sound table; held lock ranges and stray files are named.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "db/engine/DataCursor.h"
#include "db/engine/DataDirectory.h"
#include "db/engine/DataSession.h"
#include "db/engine/DataTable.h"
#include "db/storage/Library.h"
#include "platform/rtl/ByteCodec.h"
#include "tests/support/FieldDescriptors.h"
#include "tests/support/ScratchDir.h"
#include "tools/table_check/TableCheck.h"

namespace {

constexpr int32_t Rows = 40;

class TableCheckTest : public ::testing::Test {
protected:
    void SetUp() override {
        InitializeLibrary();
        Build();
    }
    void TearDown() override { FinalizeLibrary(); }

    // Rows 1..40 with a name (indexed, not unique) and a BLOB of up to 200 bytes; every
    // fifth row deleted again.
    void Build() {
        TDataSession session;
        TDataCursor c(session.OpenDirectory("db", FScratch.Path()));
        c.SetTableName("T");
        c.SetExclusive(true);
        TIndexDescriptor primary, byName;
        primary.FieldCount = 1;
        primary.FieldNumbers[0] = 1;
        byName.Name = "ByName";
        byName.FieldCount = 1;
        byName.FieldNumbers[0] = 2;
        TCreateTableOptions options;
        options.BlobBlockSize = 64;
        c.CreateTable(
            {MakeField(1, "ID", dtInteger), MakeField(2, "NAME", dtString, 10), MakeField(3, "DATA", dtBlob)},
            {primary, byName}, options);
        c.SetExclusive(false);
        c.Open();
        NameOffset = c.GetFieldDefinition(2).Offset;
        BlobOffset = c.GetFieldDefinition(3).Offset;
        std::vector<uint8_t> r(size_t(c.GetRecordSize()));
        for (int32_t id = 1; id <= Rows; ++id) {
            c.InitRecord(r.data());
            uint8_t v[4];
            bytes::PutI32(v, id);
            c.PutField(1, r.data(), v);
            const std::string name = "n" + std::to_string(id % 7);
            c.PutField(2, r.data(), name.c_str());
            const std::vector<uint8_t> blob(size_t(id * 5), uint8_t(id));
            ASSERT_EQ(c.OpenBlob(3, r.data(), 0, false, bmReadWrite), 0);
            ASSERT_EQ(c.PutBlob(3, r.data(), false, uint32_t(blob.size()), blob.data(), 0), 0);
            c.InsertRecord(r.data());
        }
        for (int32_t id = 5; id <= Rows; id += 5) {
            c.InitRecord(r.data());
            uint8_t v[4];
            bytes::PutI32(v, id);
            c.PutField(1, r.data(), v);
            ASSERT_TRUE(c.FindKey(r.data(), false, r.data(), 0, false, 0));
            c.DeleteRecord();
        }
        c.Close();
    }

    std::string Path(const char* ext) const { return FScratch.File(std::string("T") + ext); }
    std::string Read(const char* ext) const { return DiskFileBytes(Path(ext)); }
    void Write(const char* ext, const std::string& bytes) const {
        std::ofstream(Path(ext), std::ios::binary | std::ios::trunc) << bytes;
    }

    // Offsets in the data file.
    size_t RecordAt(const std::string& data, uint32_t n) const {
        TDataFileHeader h;
        h.ReadFrom(reinterpret_cast<const uint8_t*>(data.data()));
        return size_t(DataFileHeaderSize) + size_t(FieldDescriptorSize) * h.FieldCount +
               size_t(n - 1) * h.RecordSize;
    }
    static uint32_t U32(const std::string& s, size_t at) {
        return bytes::GetU32(reinterpret_cast<const uint8_t*>(s.data()) + at);
    }
    static void PutU32(std::string& s, size_t at, uint32_t v) {
        bytes::PutU32(reinterpret_cast<uint8_t*>(s.data()) + at, v);
    }

    TScratchDir FScratch{"zelto-check"};
    uint16_t NameOffset = 0;
    uint16_t BlobOffset = 0;
};

TEST_F(TableCheckTest, ASoundTableIsClean) {
    const TTableCheckReport r = CheckTableFiles(FScratch.Path(), "T.DAT");
    EXPECT_TRUE(r.Ok()) << r.Text();
    EXPECT_EQ(r.PhysicalRecords, uint32_t(Rows));
    EXPECT_EQ(r.ActiveRecords, uint32_t(Rows - Rows / 5));
    EXPECT_EQ(r.DeletedRecords, uint32_t(Rows / 5));
    // Two indexes over the active records and the deleted-records index over all of them.
    EXPECT_EQ(r.IndexKeys, 2 * r.ActiveRecords + r.PhysicalRecords);
    EXPECT_EQ(r.BlobChains, r.ActiveRecords);
    EXPECT_GT(r.BlobBlocksFree, 0u);
}

TEST_F(TableCheckTest, EachDamageIsFound) {
    struct Case {
        const char* what;
        const char* ext;
        std::function<void(std::string&)> damage;
        const char* found;  // a piece of the problem text expected
    };
    const Case cases[] = {
        {"an active record marked deleted", ".DAT", [&](std::string& d) { d[RecordAt(d, 1)] = 1; },
         "which is not active"},
        {"an indexed value changed past the index", ".DAT",
         [&](std::string& d) { d[RecordAt(d, 2) + NameOffset + 1] = 'x'; }, "differs from the record's own"},
        {"a record naming another number", ".DAT", [&](std::string& d) { PutU32(d, RecordAt(d, 3) + 1, 7); },
         "names itself"},
        {"a cycle in the deleted chain", ".DAT", [&](std::string& d) { PutU32(d, RecordAt(d, 5) + 1, 5); },
         "cycle"},
        {"the record count of the index header", ".IDX", [](std::string& i) { PutU32(i, 3974, 99); },
         "index header counts 99"},
        {"two primary keys swapped in their leaf", ".IDX",
         [](std::string& i) {
             const uint32_t root = U32(i, 14 + 86);  // descriptor 0's root page
             const size_t entry = 5 + 4, first = root + 13;
             std::string a = i.substr(first, entry);
             i.replace(first, entry, i.substr(first + entry, entry));
             i.replace(first + entry, entry, a);
         },
         "out of order"},
        {"a BLOB block owned by another record", ".BLB",
         [&](std::string& b) {
             const std::string d = Read(".DAT");
             PutU32(b, U32(d, RecordAt(d, 2) + BlobOffset + 1) + 10, 3);
         },
         "names owner 3"},
        {"the free BLOB chain leading into a used block", ".BLB",
         [&](std::string& b) {
             const std::string d = Read(".DAT");
             PutU32(b, 9, U32(d, RecordAt(d, 4) + BlobOffset + 1));
         },
         "is in use by record 4"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        const std::string saved = Read(k.ext);
        std::string damaged = saved;
        k.damage(damaged);
        Write(k.ext, damaged);
        const TTableCheckReport r = CheckTableFiles(FScratch.Path(), "T");
        EXPECT_FALSE(r.Ok());
        EXPECT_NE(r.Text().find(k.found), std::string::npos) << r.Text();
        Write(k.ext, saved);
    }
    EXPECT_TRUE(CheckTableFiles(FScratch.Path(), "T").Ok());
}

TEST_F(TableCheckTest, HeldLockRangesAndStrayFilesAreNamed) {
    EXPECT_TRUE(HeldTableLocks(FScratch.Path(), "T").empty());
    EXPECT_TRUE(ForeignFiles(FScratch.Path(), "T").empty());
    // Locks of an open file description of their own conflict like another process's.
    const int data = ::open(Path(".DAT").c_str(), O_RDWR), index = ::open(Path(".IDX").c_str(), O_RDWR);
    auto lock = [](int fd, uint32_t start) {
        struct flock l {};
        l.l_type = F_WRLCK;
        l.l_whence = SEEK_SET;
        l.l_start = off_t(start);
        l.l_len = 1;
        return ::fcntl(fd, F_OFD_SETLK, &l) == 0;
    };
    ASSERT_TRUE(lock(data, table_locks::RecordBase - 17));
    ASSERT_TRUE(lock(index, table_locks::ReaderBase - 300));
    EXPECT_EQ(HeldTableLocks(FScratch.Path(), "T"),
              (std::vector<std::string>{"record bytes", "index write range"}));
    ::close(data);
    ::close(index);
    EXPECT_TRUE(HeldTableLocks(FScratch.Path(), "T").empty());
    std::ofstream(FScratch.File("12345.DAT")) << "";
    EXPECT_EQ(ForeignFiles(FScratch.Path(), "T"), std::vector<std::string>{"12345.DAT"});
}

}  // namespace
