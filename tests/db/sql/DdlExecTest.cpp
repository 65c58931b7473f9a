// Definition statements against tables on disk, read back through the engine.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "SqlExecSupport.h"
#include "tests/support/EngineErrorCode.h"

using namespace sqltest;

namespace {

using DdlExecTest = SqlExecTest;

const std::string Sixty = "abcdefghij0123456789abcdefghij0123456789abcdefghij0123456789";

TEST_F(DdlExecTest, CreateTableWritesEveryDescriptorValue) {
    Run("CREATE TABLE parts (id AUTOINC, name CHAR(20) DESCRIPTION '" + Sixty +
        "' NOT NULL DEFAULT 'none' CHARCASE UPPER, code VARCHAR(8) MIN 'a' MAX '" + Sixty +
        "' CHARCASE LOWER, price DECIMAL(10,2), qty INTEGER CHARCASE NOCHANGE, PRIMARY KEY (id) "
        "DESCRIPTION 'Parts list' USER MAJOR VERSION 3 USER MINOR VERSION 7)");
    auto c = Open("parts");
    ASSERT_EQ(c->GetFieldCount(), 5);
    struct TExpect {
        const char* Name;
        uint8_t Type, SubType, Size, Decimals, Required, CharCase;
        std::string Description, Min, Max, Default;
    };
    const std::string fifty = Sixty.substr(0, 50);
    const TExpect expected[] = {
        {"id", dtInteger, fstAutoInc, 0, 0, 0, fcAsIs, "", "", "", ""},
        {"name", dtString, 0, 20, 0, 1, fcUpper, fifty, "", "", "none"},
        {"code", dtString, 0, 8, 0, 0, fcLower, "", "a", fifty, ""},
        {"price", dtBCD, 0, 0, 2, 0, fcAsIs, "", "", "", ""},
        {"qty", dtInteger, 0, 0, 0, 0, fcAsIs, "", "", "", ""},
    };
    for (int32_t i = 1; i <= 5; ++i) {
        const TExpect& e = expected[i - 1];
        const TFieldDescriptor& f = c->GetFieldDefinition(i);
        SCOPED_TRACE(e.Name);
        EXPECT_EQ(f.FieldNo, i);
        EXPECT_EQ(f.Name, e.Name);
        EXPECT_EQ(f.DataType, e.Type);
        EXPECT_EQ(f.SubType, e.SubType);
        EXPECT_EQ(f.Size, e.Size);
        EXPECT_EQ(f.Decimals, e.Decimals);
        EXPECT_EQ(f.Required, e.Required);
        EXPECT_EQ(f.CharCase, e.CharCase);
        EXPECT_EQ(f.Description, e.Description);
        EXPECT_EQ(f.MinValue, e.Min);
        EXPECT_EQ(f.MaxValue, e.Max);
        EXPECT_EQ(f.DefaultValue, e.Default);
        EXPECT_EQ(f.Computed, 0);
    }
    const TIndexDescriptor primary = c->GetIndexDefinition(0);
    EXPECT_EQ(primary.FieldCount, 1);
    EXPECT_EQ(primary.FieldNumbers[0], 1);
    EXPECT_EQ(primary.Unique, 1);
    EXPECT_EQ(c->GetTableDescription(), "Parts list");
    EXPECT_EQ(c->GetUserVersionMajor(), 3);
    EXPECT_EQ(c->GetUserVersionMinor(), 7);
}

TEST_F(DdlExecTest, BlobBlockSizeOfATableWithBlobs) {
    Run("CREATE TABLE b (m BLOB(1,1) BLOB BLOCK SIZE 1024)");
    EXPECT_EQ(Open("b")->GetBlobBlockSize(), 1024);
}

// A language that writes decimals with a comma: list commas, type arguments and column
// numbers are read as such, and "2,5" is a number.
TEST_F(DdlExecTest, ADecimalCommaLanguageKeepsListsTypeArgumentsAndColumnNumbers) {
    Session->SetLanguageID(0x0407);
    Run("CREATE TABLE g (n INTEGER, d DECIMAL(10,2), m BLOB(1,1))");
    EXPECT_EQ(Open("g")->GetFieldDefinition(2).Decimals, 2);
    EXPECT_EQ(Run("INSERT INTO g (n, d, m) VALUES (1, 2,5, 'memo')"), 1);
    EXPECT_EQ(Run("INSERT INTO g (m,n) VALUES ('x',2)"), 1);
    EXPECT_EQ(Count("g", "d = 2,5 AND n IN (1, 2)"), 1);
    EXPECT_EQ(Run("SELECT n, d FROM g ORDER BY 2,1"), 2);
}

// A file's whole name holds at most 255 characters: a table whose names would be longer is
// refused, never made under names cut to the limit.
TEST_F(DdlExecTest, FileNamesBeyondTheLimitAreRefusedNotCut) {
    for (const size_t length : {255u, 256u}) {
        SCOPED_TRACE(length);
        const bool fits = length <= 255;
        // The folder's path with the separator and "t.DAT" comes to `length` characters.
        std::string dir = Scratch.Path() + "/" + std::to_string(length);
        dir += std::string(length - dir.size() - 6, 'd');
        ASSERT_TRUE(std::filesystem::create_directory(dir));
        Database = Session->OpenDirectory("long" + std::to_string(length), dir);
        EXPECT_EQ(RaisedCode([&] { Run("CREATE TABLE t (a INTEGER, m BLOB(1,1), PRIMARY KEY (a))"); }),
                  fits ? 0 : ZIZIVU_OSPATHNOTFOUND);
        EXPECT_EQ(std::filesystem::exists(dir + "/t.DAT"), fits);
        EXPECT_EQ(std::filesystem::is_empty(dir), !fits);
    }
}

TEST_F(DdlExecTest, PrimaryKeyOptionsAndColumnsByName) {
    Run("CREATE TABLE k (a CHAR(5), b INTEGER, DESC NOCASE PRIMARY KEY (B, \"a\") COMPRESS FULL)");
    auto c = Open("k");
    const TIndexDescriptor d = c->GetIndexDefinition(0);
    ASSERT_EQ(d.FieldCount, 2);
    EXPECT_EQ(d.FieldNumbers[0], 2);
    EXPECT_EQ(d.FieldNumbers[1], 1);
    EXPECT_EQ(d.Descending, 1);
    EXPECT_EQ(d.CaseInsensitive, 1);
    EXPECT_EQ(d.Compression, icFull);
}

TEST_F(DdlExecTest, DefinitionErrors) {
    Run("CREATE TABLE t (a INTEGER)");
    EXPECT_EQ(Fail("CREATE TABLE t (a INTEGER)").Code, ZIZIVU_TABLEEXISTS);
    TExecFailure f = Fail("CREATE TABLE u (a INTEGER, PRIMARY KEY (b))");
    EXPECT_EQ(f.Code, ZIZIVU_SQLERROR);
    EXPECT_EQ(f.Message, "Column b not found");
    EXPECT_FALSE(Database->TableExists("u", false));
    // A target whose file-name part is empty names no table: none is made under another name.
    const std::string sub = Scratch.Path() + "/sub";
    ASSERT_TRUE(std::filesystem::create_directory(sub));
    for (const std::string& text :
         {"CREATE TABLE \"" + sub + "/\" (a INTEGER)", std::string("CREATE TABLE \"\" (a INTEGER)"),
          "SELECT * INTO \"" + sub + "/\" FROM t"})
        EXPECT_EQ(Fail(text).Code, ZIZIVU_OSPATHNOTFOUND) << text;
    EXPECT_TRUE(std::filesystem::is_empty(sub));
}

TEST_F(DdlExecTest, DropTableRemovesItsFiles) {
    Run("CREATE TABLE gone (a INTEGER)");
    ASSERT_TRUE(Database->TableExists("gone", false));
    Run("DROP TABLE gone");
    EXPECT_FALSE(Database->TableExists("gone", false));
    EXPECT_NE(Fail("DROP TABLE gone").Code, 0);
}

TEST_F(DdlExecTest, MemoryTablesLiveInTheMemoryDatabase) {
    Run("CREATE TABLE MEMORY m (a INTEGER)");
    TDataDirectory* memory = Session->OpenDirectory("Memory", "");
    EXPECT_TRUE(memory->TableExists("m", true));
    EXPECT_FALSE(Database->TableExists("m", false));
    Run("DROP TABLE MEMORY m");
    EXPECT_FALSE(memory->TableExists("m", true));
    Session->CloseDirectory(memory);
}

TEST_F(DdlExecTest, StatementsReleaseTheirDirectories) {
    const int32_t references = Database->ReferenceCount();
    Run("CREATE TABLE r (a INTEGER)");
    Run("DROP TABLE r");
    EXPECT_EQ(Database->ReferenceCount(), references);
    EXPECT_EQ(Session->DirectoryCount(), 1);
}

}  // namespace

namespace {

class IndexExecTest : public SqlExecTest {
protected:
    void SetUp() override {
        SqlExecTest::SetUp();
        Run("CREATE TABLE t (id INTEGER, x INTEGER, PRIMARY KEY (id))");
        InsertRows("t", {{1, 5}, {2, 7}, {3, 5}});
    }
};

TEST_F(IndexExecTest, CreateAndDropSecondaryIndexes) {
    Run("CREATE DESC INDEX ByX ON t (X)");
    {
        auto c = Open("t");
        ASSERT_EQ(c->GetIndexCount(), 1);
        const TIndexDescriptor d = c->GetIndexDefinition(1);
        EXPECT_EQ(d.Name, "ByX");
        EXPECT_EQ(d.FieldNumbers[0], 2);
        EXPECT_EQ(d.Descending, 1);
        EXPECT_EQ(d.Unique, 0);
        c->SwitchToIndex("ByX");
        EXPECT_EQ(c->GetRecordCount(), 3);
    }
    Run("DROP INDEX t.ByX");
    EXPECT_EQ(Open("t")->GetIndexCount(), 0);
    EXPECT_EQ(Fail("DROP INDEX t.ByX").Code, ZIZIVU_INVALIDINDEXNAME);
}

// A new index holds every record of the table, whatever its header counts: a damaged count
// of 0 gave an empty index, and success.
TEST_F(IndexExecTest, ANewIndexHoldsEveryRecordWhateverTheHeaderCounts) {
    {
        std::fstream f(Scratch.Path() + "/t.IDX", std::ios::in | std::ios::out | std::ios::binary);
        ASSERT_TRUE(f);
        f.seekp(3974);
        f.write("\0\0\0\0", 4);
    }
    Run("CREATE INDEX ByX ON t (X)");
    auto c = Open("t");
    c->SwitchToIndex("ByX");
    EXPECT_EQ(c->GetRecordCount(), 3);
}

TEST_F(IndexExecTest, UniqueIndexOverDuplicatesIsRefusedAndTheTableKept) {
    EXPECT_EQ(Fail("CREATE UNIQUE INDEX ByX ON t (x)").Code, ZIZIVU_KEYVIOL);
    auto c = Open("t");
    EXPECT_EQ(c->GetIndexCount(), 0);
    EXPECT_EQ(c->GetRecordCount(), 3);
    c.reset();
    EXPECT_EQ(Ints("t", 2), (std::vector<int32_t>{5, 7, 5}));
}

TEST_F(IndexExecTest, DropIndexPrimaryRemovesThePrimaryIndex) {
    Run("DROP INDEX t.PRIMARY");
    auto c = Open("t");
    EXPECT_TRUE(c->GetNoPrimaryIndex());
    EXPECT_EQ(c->GetRecordCount(), 3);
    c.reset();
    EXPECT_EQ(Ints("t", 1), (std::vector<int32_t>{1, 2, 3}));
}

class AlterExecTest : public SqlExecTest {
protected:
    void SetUp() override {
        SqlExecTest::SetUp();
        Run("CREATE TABLE t (a INTEGER, b CHAR(10) CHARCASE UPPER, c INTEGER, d INTEGER, PRIMARY KEY (a))");
        InsertRows("t", {{1}, {2}});
        // b and c and d of each row.
        auto cur = Open("t");
        std::vector<uint8_t> r(size_t(cur->GetRecordSize()));
        cur->First();
        while (cur->GetNextRecord(r.data()) == 0) {
            cur->GetCurrentRecord(r.data(), true);
            uint8_t v[8];
            bool blank;
            cur->GetField(1, r.data(), blank, v);
            const int32_t a = bytes::GetI32(v);
            const std::string name = "N" + std::to_string(a);
            cur->PutField(2, r.data(), name.c_str());
            bytes::PutI32(v, a * 10);
            cur->PutField(3, r.data(), v);
            bytes::PutI32(v, a * 100);
            cur->PutField(4, r.data(), v);
            cur->ModifyRecord(r.data());
        }
    }

    std::vector<std::string> Names() {
        auto c = Open("t");
        std::vector<std::string> out;
        for (int32_t i = 1; i <= c->GetFieldCount(); ++i) out.push_back(c->GetFieldDefinition(i).Name);
        return out;
    }
};

// An encrypted table is restructured as any other, and an ALTER takes its encryption off.
TEST_F(AlterExecTest, AnEncryptedTableIsRestructured) {
    Session->AddPassword("pw");
    Run("CREATE TABLE w (id INTEGER, m BLOB(1,1), PRIMARY KEY (id) ENCRYPTED WITH 'pw')");
    Run("INSERT INTO w VALUES (1, 'abc')");
    Run("ALTER TABLE w ADD q INTEGER");
    Run("ALTER TABLE w ENCRYPTED WITH ''");
    Session->RemovePassword("pw");
    EXPECT_EQ(Count("w", "id = 1 AND m = 'abc' AND q IS NULL"), 1);
}

TEST_F(AlterExecTest, AddAtRedefineWithRenameAndDrop) {
    Run("ALTER TABLE t ADD e INTEGER AT 2, REDEFINE b bb CHAR(12) DESCRIPTION 'renamed', DROP c NOBACKUP");
    EXPECT_EQ(Names(), (std::vector<std::string>{"a", "e", "bb", "d"}));
    auto c = Open("t");
    const TFieldDescriptor& bb = c->GetFieldDefinition(3);
    EXPECT_EQ(bb.Size, 12);
    EXPECT_EQ(bb.Description, "renamed");
    EXPECT_EQ(bb.CharCase, fcUpper);  // not given: kept
    std::vector<uint8_t> r(size_t(c->GetRecordSize()));
    c->First();
    std::vector<std::string> rows;
    while (c->GetNextRecord(r.data()) == 0) {
        uint8_t v[256];
        bool blankE, blank;
        c->GetField(2, r.data(), blankE, v);
        std::string row = blankE ? "-" : "?";
        c->GetField(3, r.data(), blank, v);
        row += std::string(reinterpret_cast<char*>(v)) + ",";
        c->GetField(4, r.data(), blank, v);
        row += std::to_string(bytes::GetI32(v));
        rows.push_back(row);
    }
    EXPECT_EQ(rows, (std::vector<std::string>{"-N1,100", "-N2,200"}));
}

// A restructure writes the table anew: the new files keep the old ones' permissions, and
// their owner and group where the process may give them, so that whom the table was shared
// with keeps it.
TEST_F(AlterExecTest, TheNewFilesKeepThePermissionsAndOwnerOfTheOld) {
    const std::string base = Scratch.Path() + "/t";
    const bool root = ::geteuid() == 0;
    for (const char* ext : {".DAT", ".IDX"}) {
        ASSERT_EQ(::chmod((base + ext).c_str(), 0660), 0);
        ASSERT_TRUE(!root || ::chown((base + ext).c_str(), 65534, 65534) == 0);
    }
    Run("ALTER TABLE t ADD m BLOB(1,1)");  // the BLOB file is new, and takes the data file's
    for (const char* ext : {".DAT", ".IDX", ".BLB"}) {
        struct stat st {};
        ASSERT_EQ(::stat((base + ext).c_str(), &st), 0) << ext;
        EXPECT_EQ(st.st_mode & 07777, 0660u) << ext;
        EXPECT_TRUE(!root || (st.st_uid == 65534 && st.st_gid == 65534)) << ext;
    }
}

TEST_F(AlterExecTest, RefusedAlterationsLeaveTheTable) {
    const struct {
        const char* Text;
        const char* Message;
    } cases[] = {
        // The position is checked against the columns before the ADD.
        {"ALTER TABLE t ADD e INTEGER AT 5", "AT column position must be between 1 and 4"},
        {"ALTER TABLE t DROP c, ADD e INTEGER AT 4", "AT column position must be between 1 and 3"},
        {"ALTER TABLE t REDEFINE zz INTEGER", "Column zz not found"},
        {"ALTER TABLE t DROP zz", "Column zz not found"},
        {"ALTER TABLE t ADD PRIMARY KEY (b)", "Cannot REDEFINE the primary key using the ADD keyword"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        const TExecFailure f = Fail(c.Text);
        EXPECT_EQ(f.Code, ZIZIVU_SQLERROR);
        EXPECT_EQ(f.Message, c.Message);
    }
    EXPECT_EQ(Names(), (std::vector<std::string>{"a", "b", "c", "d"}));
    // AT 0 is no position: the column goes last.
    Run("ALTER TABLE t ADD e INTEGER AT 0");
    EXPECT_EQ(Names(), (std::vector<std::string>{"a", "b", "c", "d", "e"}));
}

// A copy of the table keeps every NULL and leaves what it could not convert blank; only a
// column it adds takes its default.
TEST_F(AlterExecTest, ACopyKeepsNullsAndGivesNewColumnsTheirDefault) {
    Run("ALTER TABLE t REDEFINE c DEFAULT '7'");
    Run("UPDATE t SET c = NULL WHERE a = 1");
    Run("ALTER TABLE t ADD e INTEGER DEFAULT '5'");
    EXPECT_EQ(Ints("t", 3), (std::vector<int32_t>{-999, 20}));
    EXPECT_EQ(Ints("t", 5), (std::vector<int32_t>{5, 5}));
    // Nor does a value lost to a new type ("N1" is no number).
    Run("ALTER TABLE t REDEFINE b INTEGER DEFAULT '9'");
    EXPECT_EQ(Ints("t", 2), (std::vector<int32_t>{-999, -999}));
}

TEST_F(AlterExecTest, PrimaryKeyRedefinedAndDropped) {
    Run("ALTER TABLE t REDEFINE PRIMARY KEY (d, a)");
    {
        const TIndexDescriptor d = Open("t")->GetIndexDefinition(0);
        ASSERT_EQ(d.FieldCount, 2);
        EXPECT_EQ(d.FieldNumbers[0], 4);
        EXPECT_EQ(d.FieldNumbers[1], 1);
    }
    Run("ALTER TABLE t DROP PRIMARY KEY");
    auto c = Open("t");
    EXPECT_TRUE(c->GetNoPrimaryIndex());
    EXPECT_EQ(c->GetRecordCount(), 2);
}

}  // namespace
