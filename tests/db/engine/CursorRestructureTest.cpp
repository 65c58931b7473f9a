// Restructure: header-only changes, index rebuilds and full copies with their losses,
// refused records, backups and failures; the cursor clone.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "db/engine/BlobFile.h"
#include "db/engine/DataTable.h"
#include "db/engine/Filter.h"
#include "tests/db/engine/CursorFakes.h"
#include "tests/support/FaultyFile.h"
#include "tests/support/ForkChild.h"

namespace cursor_test {
namespace {

// ID (primary), NAME, QTY (index BYQTY, not unique), NOTE (BLOB).
std::vector<TFieldDescriptor> Fields() {
    return {MakeField(1, "ID", dtInteger), MakeField(2, "NAME", dtString, 12), MakeField(3, "QTY", dtInteger),
            MakeField(4, "NOTE", dtBlob)};
}

std::vector<TIndexDescriptor> Indexes() {
    return {Index("", {1}), Index("BYQTY", {3}, false)};
}

class CursorRestructureTest : public CursorTest {
protected:
    void SetUp() override {
        CursorTest::SetUp();
        FSession->SetPrivateDirectory(FScratch.Path());
    }

    // Twelve records; QTY = ID mod 4, NAME "n<ID>" (blank for ID 6), a note for odd IDs.
    void Fill(const std::string& table = "T", bool inMemory = false) {
        TDataCursor c(FDir);
        c.SetTableName(table);
        c.SetExclusive(true);
        c.SetInMemory(inMemory);
        c.CreateTable(Fields(), Indexes(), {});
        c.Open();
        for (int32_t i = 1; i <= 12; ++i) {
            std::vector<uint8_t> r = Buffer(c);
            PutInt(c, r, 1, i);
            if (i != 6) PutStr(c, r, 2, "n" + std::to_string(i));
            PutInt(c, r, 3, i % 4);
            if (i % 2) {
                const std::string note(700, char('a' + i));
                c.OpenBlob(4, r.data(), 0, false, bmReadWrite);
                c.PutBlob(4, r.data(), false, uint32_t(note.size()), note.data(), 0);
            }
            c.InsertRecord(r.data());
        }
    }

    TDataCursor& Exclusive(const std::string& table = "T", bool inMemory = false) {
        TDataCursor& c = NewCursor(table);
        c.SetExclusive(true);
        c.SetInMemory(inMemory);
        return c;
    }

    std::map<std::string, std::string> Files() const {
        std::map<std::string, std::string> out;
        for (const auto& e : std::filesystem::directory_iterator(FScratch.Path())) {
            std::ifstream in(e.path(), std::ios::binary);
            out[e.path().filename().string()] = std::string(std::istreambuf_iterator<char>(in), {});
        }
        return out;
    }

    // Changes a block of an open cursor's BLOB file in its cache (written at close).
    static void DamageBlock(TDataCursor& c, uint32_t position, const std::function<void(TBlock*)>& change) {
        TBlobFile* blobs = c.Table()->BlobFile();
        TBlock* block = nullptr;
        ASSERT_TRUE(blobs->GetBlock(&c, position, block, 1, false));
        change(block);
        blobs->ReleaseBlock(block);
    }

    static std::string Note(TDataCursor& c, std::vector<uint8_t>& r, int32_t field) {
        uint32_t size = 0, got = 0;
        if (c.OpenBlob(field, r.data(), 0, false, bmRead) != 0) return "<error>";
        c.GetBlobSize(field, r.data(), false, size);
        std::string s(size, '\0');
        if (size) c.GetBlob(field, r.data(), false, got, size, s.data(), 0);
        c.FreeBlob(field, r.data(), 0, false);
        return s;
    }

    // ID, NAME and note length of every record in primary order.
    std::vector<std::string> Rows(const std::string& table = "T", bool inMemory = false,
                                  const std::string& nameField = "NAME") {
        TDataCursor c(FDir);
        c.SetTableName(table);
        c.SetInMemory(inMemory);
        c.Open();
        std::vector<std::string> out;
        std::vector<uint8_t> r(size_t(c.GetRecordSize()));
        c.First();
        while (c.GetNextRecord(r.data()) == 0) {
            const TFieldDescriptor* note = c.GetFieldDefinitionByName("NOTE");
            const TFieldDescriptor* name = c.GetFieldDefinitionByName(nameField);
            out.push_back(std::to_string(GetInt(c, r, 1)) + "/" + (name ? GetStr(c, r, name->FieldNo) : "-") +
                          "/" + (note ? std::to_string(Note(c, r, note->FieldNo).size()) : "-"));
        }
        return out;
    }
};

TEST_F(CursorRestructureTest, RenamingAFieldOnlyRewritesTheHeader) {
    Fill();
    const auto before = Files();
    const std::vector<std::string> rows = Rows();
    TDataCursor& c = Exclusive();
    int32_t progress = 0;
    c.OnRestructureProgress = [&](int32_t, int32_t) { ++progress; };
    std::vector<TFieldDescriptor> f = Fields();
    f[1].Name = "TITLE";
    f[1].Description = "what it is called";
    TDataCursor::TAlterTableOptions opt;
    opt.Description = "renamed";
    c.AlterTable(f, Indexes(), opt);
    EXPECT_EQ(progress, 0);
    const auto after = Files();
    EXPECT_EQ(before.size(), after.size());  // no backup, no scratch table
    EXPECT_EQ(after.count("T.DBK"), 0u);
    // The records themselves are untouched.
    const std::string& oldDat = before.at("T.DAT");
    const std::string& newDat = after.at("T.DAT");
    ASSERT_EQ(oldDat.size(), newDat.size());
    const size_t records = 127 + 768 * 4;
    EXPECT_TRUE(oldDat.substr(records) == newDat.substr(records));
    // The BLOB file's blocks too (its header only counts the write).
    EXPECT_TRUE(after.at("T.BLB").substr(512) == before.at("T.BLB").substr(512));
    c.Open();
    EXPECT_EQ(c.GetFieldDefinition(2).Name, "TITLE");
    EXPECT_EQ(c.GetTableDescription(), "renamed");
    c.Close();
    EXPECT_EQ(Rows("T", false, "TITLE"), rows);
}

// A header change whose write to the data file fails once is not made: the close after
// the reported failure does not write it after all.
TEST_F(CursorRestructureTest, AHeaderChangeThatFailsIsNotWrittenAtClose) {
    Fill();
    std::vector<TFieldDescriptor> f = Fields();
    f[1].Name = "TITLE";
    bool done = false;
    for (int32_t writes = 0; writes < 20 && !done; ++writes) {
        SCOPED_TRACE(writes);
        {
            TFaultInjector faults;
            faults.Plan("T.DAT", {TFileFault::WriteError, writes, 1});
            TDataCursor& c = Exclusive();
            done = RaisedCode([&] { c.AlterTable(f, Indexes(), {}); }) == 0;
        }
        TDataCursor& c = NewCursor("T");
        c.Open();
        EXPECT_EQ(c.GetFieldDefinition(2).Name, done ? "TITLE" : "NAME");
        c.Close();
    }
    EXPECT_TRUE(done);
}

TEST_F(CursorRestructureTest, DroppingAFieldShrinksTheRecordAndReportsEachLoss) {
    Fill();
    struct Case {
        bool silence;
        int32_t calls;
    };
    for (const Case& k : {Case{false, 11}, Case{true, 1}}) {
        TDataCursor& c = Exclusive();
        c.Open();
        const int32_t oldSize = c.GetRecordSize();
        const uint32_t lastRowId = c.GetLastAutoIncValue();
        c.Close();
        int32_t calls = 0;
        c.OnDataLost = [&](uint16_t code, const std::string& text, bool& silence, bool&) {
            EXPECT_EQ(code, 0);
            EXPECT_EQ(text, "NAME");
            ++calls;
            silence = k.silence;
        };
        std::vector<int32_t> percents;
        c.OnRestructureProgress = [&](int32_t, int32_t p) { percents.push_back(p); };
        std::vector<TFieldDescriptor> f = Fields();
        f.erase(f.begin() + 1);  // NAME goes; the others keep their numbers
        TDataCursor::TAlterTableOptions opt;
        opt.KeepBackups = true;
        c.AlterTable(f, Indexes(), opt);
        EXPECT_EQ(calls, k.calls);  // ID 6 has no name to lose
        ASSERT_FALSE(percents.empty());
        EXPECT_EQ(percents.back(), 100);
        c.Open();
        EXPECT_EQ(c.GetRecordSize(), oldSize - 14);
        EXPECT_EQ(c.GetFieldCount(), 3);
        EXPECT_EQ(c.GetFieldDefinition(3).Name, "NOTE");
        EXPECT_EQ(c.GetFieldDefinition(3).FieldNo, 3);  // renumbered to positions
        EXPECT_EQ(c.GetLastAutoIncValue(), lastRowId);
        c.SwitchToIndex("BYQTY");
        EXPECT_EQ(Walk(c, 2), (std::vector<int32_t>{0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3}));
        c.Close();
        EXPECT_EQ(Rows()[0], "1/-/700");
        EXPECT_EQ(Rows()[1], "2/-/0");
        const auto files = Files();
        EXPECT_EQ(files.count("T.DBK") + files.count("T.IBK") + files.count("T.BBK"), 3u);
        EXPECT_EQ(files.size(), 6u);  // the table and its backups, no scratch table
        // The second round starts from the full table again.
        FCursors.clear();
        TDataCursor d(FDir);
        d.SetTableName("T");
        d.DeleteTable();
        Fill();
    }
}

TEST_F(CursorRestructureTest, BackupsAnotherUserMayNotRemoveRefuseTheRestructureAsAccessDenied) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs the rights to act as another user";
    Fill();
    // An earlier restructure's backups in a shared folder with the sticky bit: another user
    // may write the table, not remove the owner's files.
    const std::string folder = FScratch.Path();
    for (const char* ext : {".DBK", ".IBK", ".BBK"}) std::ofstream(folder + "/T" + ext) << "older";
    ASSERT_EQ(::chmod(folder.c_str(), 01777), 0);
    for (const char* ext : {".DAT", ".IDX", ".BLB"})
        ASSERT_EQ(::chmod((folder + "/T" + ext).c_str(), 0666), 0);
    TForkChild user([&](TForkChild&) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) return 10;
        TDataSession session;
        session.SetPrivateDirectory(folder);
        TDataCursor c(session.OpenDirectory("db", folder));
        c.SetTableName("T");
        c.SetExclusive(true);
        std::vector<TFieldDescriptor> f = Fields();
        f.erase(f.begin() + 1);
        TDataCursor::TAlterTableOptions opt;
        opt.KeepBackups = true;
        try {
            c.AlterTable(f, Indexes(), opt);
        } catch (const EZIZIVUEngineError& e) {
            return e.ErrorCode() == ZIZIVU_OSACCESSDENIED ? 0 : 20;
        }
        return 30;
    });
    EXPECT_EQ(user.Wait(), 0);
    TDataCursor& c = Exclusive();
    c.Open();
    EXPECT_EQ(c.GetFieldCount(), 4);
    EXPECT_EQ(c.GetRecordCount(), 12);
}

TEST_F(CursorRestructureTest, AStopOrARefusalWithoutHookLeavesTheFilesAsTheyWere) {
    Fill();
    // A user's own backup files are no business of the restructure.
    std::ofstream(FScratch.File("T.DBK")) << "mine";
    const auto before = Files();
    struct Case {
        const char* name;
        bool hook;
        bool changeType;  // a full copy; else an index rebuild
        bool stopOnLoss;
        uint16_t code;
    };
    const Case cases[] = {
        {"copy stopped by the hook", true, true, true, 0},
        {"copy refusing duplicates without hook", false, true, false, ZIZIVU_KEYVIOL},
        {"copy refusing duplicates, hook stops", true, true, false, ZIZIVU_KEYVIOL},
        {"rebuild refusing duplicates without hook", false, false, false, ZIZIVU_KEYVIOL},
        {"rebuild refusing duplicates, hook stops", true, false, false, ZIZIVU_KEYVIOL},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        TDataCursor& c = Exclusive();
        int32_t calls = 0;
        if (k.hook)
            c.OnDataLost = [&](uint16_t code, const std::string&, bool&, bool& cont) {
                ++calls;
                if (k.stopOnLoss || code != 0) cont = false;
            };
        std::vector<TFieldDescriptor> f = Fields();
        std::vector<TIndexDescriptor> x = Indexes();
        if (k.changeType) f[1].Size = 20;
        if (k.stopOnLoss)
            f.erase(f.begin() + 1);
        else
            x[1].Unique = 1;  // QTY repeats
        EXPECT_EQ(RaisedCode([&] { c.AlterTable(f, x, {}); }), k.code);
        EXPECT_EQ(calls > 0, k.hook);
        EXPECT_FALSE(c.IsOpen());
        EXPECT_TRUE(Files() == before);
    }
}

TEST_F(CursorRestructureTest, RefusedRecordsGoOnlyWhenTheHookSaysSo) {
    for (bool copy : {false, true}) {
        SCOPED_TRACE(copy ? "copy" : "rebuild");
        FCursors.clear();
        if (FDir->TableExists("T", false)) {
            TDataCursor d(FDir);
            d.SetTableName("T");
            d.DeleteTable();
        }
        Fill();
        TDataCursor& c = Exclusive();
        std::vector<uint16_t> codes;
        c.OnDataLost = [&](uint16_t code, const std::string&, bool&, bool&) { codes.push_back(code); };
        std::vector<TFieldDescriptor> f = Fields();
        if (copy) f[2].DataType = dtSmallInt;
        std::vector<TIndexDescriptor> x = Indexes();
        x[1].Unique = 1;
        c.AlterTable(f, x, {});
        EXPECT_EQ(codes, std::vector<uint16_t>(8, ZIZIVU_KEYVIOL));
        EXPECT_EQ(Rows(), (std::vector<std::string>{"1/n1/700", "2/n2/0", "3/n3/700", "4/n4/0"}));
    }
}

TEST_F(CursorRestructureTest, ARestructureWithoutBackupsLeavesTheUsersBackupFilesAlone) {
    Fill();
    for (const char* name : {"T.DBK", "T.IBK", "T.BBK"})
        std::ofstream(FScratch.File(name)) << "mine " << name;
    // An index rebuild, then a full copy.
    std::vector<TIndexDescriptor> x = Indexes();
    x[1].Descending = 1;
    TDataCursor& c = Exclusive();
    c.AlterTable(Fields(), x, {});
    std::vector<TFieldDescriptor> f = Fields();
    f[2].DataType = dtFloat;
    c.AlterTable(f, x, {});
    const auto files = Files();
    EXPECT_EQ(files.size(), 6u);  // no scratch file left behind
    for (const char* name : {"T.DBK", "T.IBK", "T.BBK"})
        EXPECT_EQ(files.at(name), std::string("mine ") + name);
    c.Open();
    c.SwitchToIndex("BYQTY");
    EXPECT_EQ(Walk(c, 1).front(), 11);  // QTY 3, the highest row id first
    EXPECT_EQ(c.GetFieldDefinition(3).DataType, dtFloat);
}

// The BLOB checks of record 1's note (700 bytes in two blocks of 494 and 206): a check logs
// what it finds ("error not fixed"), or without a log gives it as its result; a repair
// leaves a sound note alone, clears a start that names no block from the record, and cuts a
// broken chain where it breaks, keeping the blocks before. Afterwards the record's note
// reads back whole, cut, or blank, and checks find nothing more.
TEST_F(CursorRestructureTest, BlobChecksReportAndRepairThroughTheRepairLog) {
    const uint32_t block2 = 512 + 512;
    const struct Case {
        const char* what;
        bool chain;  // VerifyBlobChain, else VerifyBlob
        std::function<void(TDataCursor& c, std::vector<uint8_t>& r, uint32_t first)> damage;
        uint16_t unlogged;  // the result of a check without a log
        const char* line;   // the finding, before ", error (not) fixed"
        size_t noteAfter;   // the bytes of record 1's note after the repair (0: blank)
    } cases[] = {
        {"sound start", false, nullptr, 0, nullptr, 700},
        {"sound chain", true, nullptr, 0, nullptr, 700},
        {"start names no block", false,
         [](TDataCursor& c, std::vector<uint8_t>& r, uint32_t first) {
             bytes::PutU32(r.data() + c.GetFieldDefinition(4).Offset + 1, first + 3);
             c.ModifyRecord(r.data());
         },
         ZIZIVU_INVALIDBLOBOFFSET, "Invalid BLOB offset in BLOB file for physical record # 1", 0},
        // A reading follows the start whatever the field's flag says: so does the check.
        {"blank field whose start names no block", false,
         [](TDataCursor& c, std::vector<uint8_t>& r, uint32_t first) {
             r[c.GetFieldDefinition(4).Offset] = 0;
             bytes::PutU32(r.data() + c.GetFieldDefinition(4).Offset + 1, first + 3);
             c.ModifyRecord(r.data());
         },
         ZIZIVU_INVALIDBLOBOFFSET, "Invalid BLOB offset in BLOB file for physical record # 1", 0},
        {"first block of another record", true,
         [](TDataCursor& c, std::vector<uint8_t>&, uint32_t first) {
             DamageBlock(c, first, [](TBlock* b) { b->SetOwnerRecord(3); });
         },
         ZIZIVU_BLOCKBUFCORRUPT, "Invalid BLOB offset in BLOB file for physical record # 1", 0},
        {"second block of another record", true,
         [&](TDataCursor& c, std::vector<uint8_t>&, uint32_t) {
             DamageBlock(c, block2, [](TBlock* b) { b->SetOwnerRecord(3); });
         },
         ZIZIVU_BLOCKBUFCORRUPT, "Invalid BLOB offset in BLOB file for physical record # 1", 494},
        {"chain back to its start", true,
         [&](TDataCursor& c, std::vector<uint8_t>&, uint32_t first) {
             DamageBlock(c, block2, [first](TBlock* b) { b->SetNextBlock(first); });
         },
         ZIZIVU_BLOCKBUFCORRUPT, "Recursive intra-block pointer in BLOB file for physical record # 1", 700},
        {"next link outside the file", true,
         [&](TDataCursor& c, std::vector<uint8_t>&, uint32_t) {
             DamageBlock(c, block2, [](TBlock* b) { b->SetNextBlock(300); });
         },
         ZIZIVU_BLOCKBUFCORRUPT, "Invalid intra-block pointer in BLOB file for physical record # 1", 700},
        // A reading takes a block's bytes up to the note's length, whatever its count of
        // bytes used says: the cut keeps all that reads.
        {"next link outside the file and no bytes counted", true,
         [&](TDataCursor& c, std::vector<uint8_t>&, uint32_t) {
             DamageBlock(c, block2, [](TBlock* b) {
                 const uint8_t none = 0;
                 b->WriteData(0, 0, &none);
                 b->SetNextBlock(300);
             });
         },
         ZIZIVU_BLOCKBUFCORRUPT, "Invalid intra-block pointer in BLOB file for physical record # 1", 700},
    };
    int32_t n = 0;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        const std::string table = "B" + std::to_string(++n);
        Fill(table);
        auto check = [&](bool repair, std::vector<std::string>* log) {
            TDataCursor c(FDir);
            c.SetTableName(table);
            c.SetExclusive(true);
            c.Open();
            if (log) c.OnRepairLog = [log](const std::string& text) { log->push_back(text); };
            return k.chain ? c.VerifyBlobChain(1, 4, repair) : c.VerifyBlob(1, 4, repair);
        };
        {
            TDataCursor& c = Exclusive(table);
            c.Open();
            std::vector<uint8_t> r = Buffer(c);
            c.First();
            ASSERT_EQ(c.GetNextRecord(r.data()), 0);
            ASSERT_EQ(c.GetCurrentRecord(r.data(), true), 0);
            const uint32_t first = bytes::GetU32(r.data() + c.GetFieldDefinition(4).Offset + 1);
            ASSERT_EQ(first, 512u);
            if (k.damage) k.damage(c, r, first);
            c.Close();
        }
        const std::vector<std::string> found =
            k.line ? std::vector<std::string>{std::string(k.line) + ", error not fixed"}
                   : std::vector<std::string>{};
        std::vector<std::string> log;
        EXPECT_EQ(check(false, nullptr), k.unlogged);
        EXPECT_EQ(check(false, &log), k.line && !k.chain ? ZIZIVU_INVALIDBLOBOFFSET : 0);
        EXPECT_EQ(log, found);
        // A repair needs the table exclusively.
        TDataCursor& shared = NewCursor(table);
        shared.Open();
        EXPECT_EQ(k.chain ? shared.VerifyBlobChain(1, 4, true) : shared.VerifyBlob(1, 4, true),
                  ZIZIVU_NEEDEXCLUSIVE);
        shared.Close();

        log.clear();
        EXPECT_EQ(check(true, &log), 0);
        EXPECT_EQ(log, k.line ? std::vector<std::string>{std::string(k.line) + ", error fixed"}
                              : std::vector<std::string>{});
        // The repaired records read afresh (every note a run of one letter), and nothing
        // more to find.
        const std::vector<std::string> rows = Rows(table);
        EXPECT_EQ(rows[0], "1/n1/" + std::to_string(k.noteAfter));
        EXPECT_EQ(rows[2], "3/n3/700");
        TDataCursor& c = OpenCursor(table);
        std::vector<uint8_t> r = Buffer(c);
        c.First();
        ASSERT_EQ(c.GetNextRecord(r.data()), 0);
        bool blank = false;
        uint8_t word[8];
        c.GetField(4, r.data(), blank, word);
        EXPECT_EQ(blank, k.noteAfter == 0);
        c.Close();
        log.clear();
        EXPECT_EQ(check(false, &log), 0);
        EXPECT_TRUE(log.empty());
    }
}

TEST_F(CursorRestructureTest, TypeChangesConvertValuesAndKeepRowIds) {
    Fill();
    TDataCursor& c = Exclusive();
    std::vector<std::string> lost;
    c.OnDataLost = [&](uint16_t, const std::string& text, bool&, bool&) { lost.push_back(text); };
    std::vector<TFieldDescriptor> f = Fields();
    f[1].DataType = dtInteger;  // "n1" is no number
    f[1].Size = 0;
    f[2].DataType = dtString;
    f[2].Size = 5;
    std::vector<TIndexDescriptor> x = {Index("", {1})};
    c.AlterTable(f, x, {});
    EXPECT_EQ(lost.size(), 11u);
    c.Open();
    std::vector<uint8_t> r = Buffer(c);
    c.First();
    ASSERT_EQ(c.GetNextRecord(r.data()), 0);
    EXPECT_EQ(GetStr(c, r, 3), "1");
    bool blank;
    GetInt(c, r, 2, &blank);
    EXPECT_TRUE(blank);
    EXPECT_EQ(bytes::GetU32(r.data() + 5), 1u);
}

TEST_F(CursorRestructureTest, AFailedMoveLeavesTheOldTable) {
    Fill("M", true);
    const std::vector<std::string> rows = Rows("M", true);
    TFaultInjector faults;
    // The new table's index file cannot be moved into place.
    faults.Plan(".IDX", {TFileFault::RenameError, 0, 0});
    TDataCursor& c = Exclusive("M", true);
    std::vector<TFieldDescriptor> f = Fields();
    f.push_back(MakeField(5, "EXTRA", dtInteger));
    EXPECT_EQ(RaisedCode([&] { c.AlterTable(f, Indexes(), {}); }), ZIZIVU_OSUNKNOWN);
    EXPECT_EQ(Rows("M", true), rows);
    c.Open();
    EXPECT_EQ(c.GetFieldCount(), 4);
    c.Close();
    for (const char* ext : {".DAT", ".IDX", ".BLB"})
        EXPECT_TRUE(DataFileExists(std::string("M") + ext, true));
}

// Another user may open the table between the copy's end and the moves of the files: a row
// written then would go with the old files. The restructure is refused instead, and the
// table keeps the row.
TEST_F(CursorRestructureTest, ARowWrittenBeforeTheFilesAreMovedIsNotLost) {
    TFaultInjector faults;
    Fill("W", true);
    bool written = false;
    faults.BeforeRename = [&](const std::string& name) {
        if (written || !SameText(ExtractFileName(name), "W.DAT")) return;
        written = true;
        TDataCursor other(FDir);
        other.SetTableName("W");
        other.SetInMemory(true);
        other.Open();
        std::vector<uint8_t> r = Buffer(other);
        PutInt(other, r, 1, 13);
        other.InsertRecord(r.data());
    };
    TDataCursor& c = Exclusive("W", true);
    std::vector<TFieldDescriptor> f = Fields();
    f.push_back(MakeField(5, "EXTRA", dtInteger));
    EXPECT_EQ(RaisedCode([&] { c.AlterTable(f, Indexes(), {}); }), ZIZIVU_OSACCESSDENIED);
    EXPECT_TRUE(written);
    EXPECT_EQ(Rows("W", true).size(), 13u);
    c.Open();
    EXPECT_EQ(c.GetFieldCount(), 4);
    c.Close();
}

// A rename that raises after it moved its file (the heap out of room for the new name) is
// put back with the others: whichever of the new table's files raises as it moves in, the
// old table stays whole under its name.
TEST_F(CursorRestructureTest, AMoveThatRaisesAfterMovingIsUndoneToo) {
    Fill("R", true);
    const std::vector<std::string> rows = Rows("R", true);
    std::vector<TFieldDescriptor> f = Fields();
    f.push_back(MakeField(5, "EXTRA", dtInteger));
    for (const char* ext : {".DAT", ".IDX", ".BLB"}) {
        SCOPED_TRACE(ext);
        {
            TFaultInjector faults;
            faults.Plan(ext, {TFileFault::RenameRaises, 0, 1});
            TDataCursor& c = Exclusive("R", true);
            EXPECT_EQ(RaisedCode([&] { c.AlterTable(f, Indexes(), {}); }), ZIZIVU_OSNOMEMORY);
            c.Close();
        }
        EXPECT_EQ(Rows("R", true), rows);
        TDataCursor& c = Exclusive("R", true);
        c.Open();
        EXPECT_EQ(c.GetFieldCount(), 4);
        c.Close();
    }
}

// A write that fails anywhere in a copy, from the new table's creation to its close,
// leaves the old table whole and no file of the new one behind; so does a failed create.
TEST_F(CursorRestructureTest, AFailedCopyLeavesNoWorkFiles) {
    Fill("W");
    const std::vector<std::string> rows = Rows("W");
    const std::map<std::string, std::string> files = Files();
    std::vector<TFieldDescriptor> f = Fields();
    f.push_back(MakeField(5, "EXTRA", dtInteger));
    bool done = false;
    for (int32_t writes = 0; writes < 200 && !done; ++writes) {
        SCOPED_TRACE(writes);
        {
            TFaultInjector faults;
            faults.Plan(".DAT", {TFileFault::WriteError, writes, 0});
            TDataCursor& c = Exclusive("W");
            done = RaisedCode([&] { c.AlterTable(f, Indexes(), {}); }) == 0;
        }
        if (done) break;
        EXPECT_EQ(Rows("W"), rows);
        std::string names;
        for (const auto& [name, bytes] : Files())
            names += " " + name + (files.count(name) && files.at(name) == bytes ? "" : "*");
        ASSERT_TRUE(Files() == files) << "files left by the failed copy:" << names << " at " << writes;
    }
    EXPECT_TRUE(done);
    {
        TFaultInjector faults;
        faults.Plan("V.DAT", {TFileFault::WriteError, 1, 0});
        TDataCursor c(FDir);
        c.SetTableName("V");
        c.SetExclusive(true);
        EXPECT_EQ(RaisedCode([&] { c.CreateTable(Fields(), Indexes(), {}); }), ZIZIVU_WRITEERR);
    }
    EXPECT_FALSE(FDir->TableExists("V", false));
    EXPECT_EQ(Files().count("V.IDX") + Files().count("V.BLB"), 0u);
}

// A read or a write that fails once anywhere in an index rebuild, the index backup's copy
// included, leaves the rows and no backup file behind.
TEST_F(CursorRestructureTest, AFailedIndexRebuildLeavesNoBackupFile) {
    Fill("X");
    const std::vector<std::string> rows = Rows("X");
    std::vector<TIndexDescriptor> indexes = Indexes();
    indexes.push_back(Index("BYNAME", {2}, false));
    for (const TFileFault::TKind kind : {TFileFault::ReadError, TFileFault::WriteError}) {
        bool done = false;
        for (int32_t calls = 0; calls < 200 && !done; ++calls) {
            SCOPED_TRACE(std::to_string(kind) + " at " + std::to_string(calls));
            {
                TFaultInjector faults;
                faults.Plan("X.IDX", {kind, calls, 1});
                TDataCursor& c = Exclusive("X");
                done = RaisedCode([&] { c.AlterTable(Fields(), indexes, {}); }) == 0;
            }
            if (done) break;
            EXPECT_EQ(Rows("X"), rows);
            ASSERT_EQ(Files().count("X.IBK"), 0u);
        }
        EXPECT_TRUE(done);
        TDataCursor& c = Exclusive("X");
        c.AlterTable(Fields(), Indexes(), {});  // the next round starts without BYNAME
    }
}

TEST_F(CursorRestructureTest, ACloneSharesIndexRangeFiltersAndPosition) {
    Fill();
    TDataCursor& c = OpenCursor("T");
    c.SwitchToIndex("BYQTY");
    std::vector<uint8_t> low = Buffer(c), high = Buffer(c);
    PutInt(c, low, 3, 1);
    PutInt(c, high, 3, 2);
    c.SetRange(false, low.data(), 1, high.data(), 1);
    c.ActivateFilter(c.AddFilter("ID > 2"));
    c.ActivateFilter(c.AddFilter([](const uint8_t*, uint32_t n) { return n != 9; }, true));
    c.First();
    c.Skip(2);
    std::unique_ptr<TDataCursor> d = c.Clone();
    EXPECT_EQ(d->ActiveIndexDescriptor().Name, "BYQTY");
    EXPECT_EQ(d->GetRecordCount(), c.GetRecordCount());
    EXPECT_EQ(d->GetPhysicalRecordNumber(), c.GetPhysicalRecordNumber());
    EXPECT_EQ(d->FilterCount(), 2);
    EXPECT_EQ(Walk(*d, 1), Walk(c, 1));
    EXPECT_EQ(Walk(*d, 1), (std::vector<int32_t>{5, 6, 10}));
}

}  // namespace
}  // namespace cursor_test
