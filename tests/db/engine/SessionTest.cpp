// Engine sessions, directories, the language list and the engine's start.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "db/engine/DataDirectory.h"
#include "db/engine/DataSession.h"
#include "db/engine/Languages.h"
#include "db/storage/EngineErrors.h"
#include "platform/rtl/SysUtils.h"
#include "tests/support/ScratchDir.h"

namespace fs = std::filesystem;

namespace {

struct ScratchFolder {
    TScratchDir dir;
    fs::path path{dir.Path()};
};

TEST(Languages, NamesAndIdsFollowTheLocaleTable) {
    EXPECT_EQ(LanguageCount(), 99);
    EXPECT_EQ(LanguageName(0), "ANSI Standard");
    EXPECT_EQ(LanguageName(98), "Vietnamese");
    const struct {
        const char* name;
        uint16_t id;
    } rows[] = {{"ANSI Standard", 0},
                {"English (USA)", 0x0409},
                {"English (UK)", 0x0809},
                {"German (Standard)", 0x0407},
                {"gERMAN (sWISS)", 0x0807},
                {"Portuguese (Standard)", 0x0816},
                {"Portuguese (Brazilian)", 0x0416},
                {"Spanish (Castilian)", 0x040A},
                {"Spanish (Modern)", 0x0C0A},
                {"Serbian (Latin)", 0x081A},
                {"Vietnamese", 0x042A},
                {"Ukranian", 0x0422},
                {"Klingon", 0}};
    for (const auto& r : rows) EXPECT_EQ(LanguageIDFromName(r.name), r.id) << r.name;
    EXPECT_FALSE(IsValidLanguageName("Klingon"));
    EXPECT_TRUE(IsValidLanguageName("arabic (u.a.e)"));
    EXPECT_EQ(LanguageIndexFromID(0x0407), 48);
    EXPECT_EQ(LanguageIndexFromID(0x1407), 52);
    EXPECT_EQ(LanguageIndexFromID(0x7777), -1);
}

TEST(Languages, OnlyGermanRowsOfferThePhoneBookOrder) {
    for (int32_t i = 0; i < LanguageCount(); ++i) {
        std::vector<std::string> names;
        GetSortOrderNames(i, names);
        const bool german = i >= 48 && i <= 52;
        ASSERT_EQ(names.size(), german ? 2u : 1u) << LanguageName(i);
        EXPECT_EQ(names[0], "Default Order");
        if (german) {
            EXPECT_EQ(names[1], "German Phone Book Order");
        }
    }
    EXPECT_EQ(SortOrderIDFromName(0x0407, "german phone book order"), 1);
    EXPECT_EQ(SortOrderIDFromName(0x0407, "Default Order"), 0);
    EXPECT_EQ(SortOrderIDFromName(0x0409, "German Phone Book Order"), 0);
    EXPECT_TRUE(IsValidSortOrderName(0x0C07, "German Phone Book Order"));
    EXPECT_FALSE(IsValidSortOrderName(0x0409, "German Phone Book Order"));
}

TEST(Session, DefaultsPrivateDirectoryAndPasswords) {
    TDataSession s;
    EXPECT_EQ(s.LockRetryCount(), 15);
    EXPECT_EQ(s.LockWaitTime(), 100);
    EXPECT_FALSE(s.ForceBufferFlush());
    EXPECT_FALSE(s.StrictChangeDetection());
    EXPECT_EQ(s.SortID(), 0);
    EXPECT_EQ(s.CurrentDirectory(), fs::current_path().string() + "\\");
    EXPECT_EQ(s.GetPrivateDirectory(), s.CurrentDirectory());
    s.SetPrivateDirectory("   ");
    EXPECT_EQ(s.GetPrivateDirectory(), s.CurrentDirectory());
    s.SetPrivateDirectory(" /tmp/work ");
    EXPECT_EQ(s.GetPrivateDirectory(), "/tmp/work\\");

    s.AddPassword("");
    s.AddPassword("Secret");
    s.AddPassword("Secret");
    EXPECT_TRUE(s.HasPassword("Secret"));
    EXPECT_FALSE(s.HasPassword("secret"));
    s.RemovePassword("secret");
    EXPECT_TRUE(s.HasPassword("Secret"));
    s.RemovePassword("Secret");
    EXPECT_FALSE(s.HasPassword("Secret"));
    s.AddPassword("a");
    s.AddPassword("b");
    s.RemoveAllPasswords();
    EXPECT_FALSE(s.HasPassword("a") || s.HasPassword("b"));
}

TEST(Session, SpellingsOfOneFolderShareOneDirectory) {
    ScratchFolder scratch;
    const std::string dir = (scratch.path / "Data").string();
    fs::create_directory(dir);
    TDataSession s;
    TDataDirectory* d = s.OpenDirectory("first", dir);
    EXPECT_EQ(d->Path(), dir + "\\");
    EXPECT_EQ(d->ReferenceCount(), 1);
    for (const std::string& other :
         {dir + "/", scratch.path.string() + "/./Data", scratch.path.string() + "/DATA"})
        EXPECT_EQ(s.OpenDirectory("other", other), d) << other;
    EXPECT_EQ(d->ReferenceCount(), 4);
    EXPECT_EQ(s.DirectoryCount(), 1);

    TDataDirectory* mem = s.OpenDirectory("memory", "/ignored");
    EXPECT_TRUE(mem->IsMemory());
    EXPECT_EQ(mem->Path(), "");
    EXPECT_EQ(s.OpenDirectory("MEMORY", ""), mem);
    EXPECT_EQ(mem->ReferenceCount(), 2);

    for (int i = 0; i < 4; ++i) EXPECT_EQ(s.CloseDirectory(d), 0);
    EXPECT_EQ(s.DirectoryCount(), 1);  // only the in-memory one is left
    TDataDirectory stranger(&s, "x", "/x\\", "/x\\");
    EXPECT_EQ(s.CloseDirectory(&stranger), -ZIZIVU_OSACCESSDENIED);
}

TEST(Session, FoldersThatDifferOnlyInCaseStayApart) {
    ScratchFolder scratch;
    fs::create_directory(scratch.path / "data");
    fs::create_directory(scratch.path / "DATA");
    TDataSession s;
    TDataDirectory* lower = s.OpenDirectory("a", (scratch.path / "data").string());
    TDataDirectory* upper = s.OpenDirectory("b", (scratch.path / "DATA").string());
    EXPECT_NE(lower, upper);
    EXPECT_EQ(s.DirectoryCount(), 2);
}

// The whole thread id in seven digits: threads whose ids share their first five digits (ids
// above 99,999), here or in another process on the same folder, get names of their own.
TEST(Session, TemporaryNamesComeFromTheThreadIdAndSkipTakenNames) {
    ScratchFolder scratch;
    TDataSession s;
    TDataDirectory* d = s.OpenDirectory("db", scratch.path.string());
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "%07d", int(::gettid()));
    EXPECT_EQ(d->GetTemporaryTableName(false), prefix + std::string("0.DAT"));
    std::ofstream(scratch.path / (prefix + std::string("0.DAT"))) << "x";
    EXPECT_EQ(d->GetTemporaryTableName(false), prefix + std::string("1.DAT"));
    EXPECT_EQ(d->GetTemporaryTableName(true), prefix + std::string("0.DAT"));
}

TEST(Engine, SessionOnlyWhileStarted) {
    ASSERT_FALSE(EngineInitialized());
    try {
        GetEngineSession();
        FAIL() << "no error before the engine started";
    } catch (const EZIZIVUEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), ZIZIVU_NOTINITIALIZED);
    }
    InitializeEngine();
    TDataSession* first = GetEngineSession();
    InitializeEngine();  // a second start changes nothing
    EXPECT_EQ(GetEngineSession(), first);
    TDataSession* extra = nullptr;
    CreateEngineSession(extra);
    EXPECT_NE(extra, first);
    FreeEngineSession(extra);
    EXPECT_EQ(extra, nullptr);
    FinalizeEngine();
    EXPECT_FALSE(EngineInitialized());
}

}  // namespace
