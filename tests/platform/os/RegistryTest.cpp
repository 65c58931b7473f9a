#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "platform/os/Registry.h"
#include "tests/support/ForkChild.h"
#include "tests/support/ScratchDir.h"

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary);
    f << text;
}

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("ZELTO_CONFIG_DIR", FDir.c_str(), 1); }
    void TearDown() override { unsetenv("ZELTO_CONFIG_DIR"); }
    TScratchDir FScratch{"zelto-reg"};
    std::string FDir = FScratch.Path();
};

TEST_F(RegistryTest, RoundTripThroughTheFile) {
    {
        TRegistry r;
        r.SetRootKey(HKEY_CURRENT_USER);
        ASSERT_TRUE(r.OpenKey("Software\\Valtura\\Vexatrevia", true));
        r.WriteString("Speed1", "12");
        r.WriteInteger("Count", 42);
        r.WriteInteger("Negative", -5);
        r.WriteBool("Flag", true);
        r.WriteString("Speed1", "13");  // overwrite
    }
    TRegistry r;
    ASSERT_TRUE(r.OpenKey("Software\\Valtura\\Vexatrevia", false));
    EXPECT_EQ(r.ReadString("Speed1"), "13");
    EXPECT_EQ(r.ReadInteger("Count"), 42);
    EXPECT_EQ(r.ReadInteger("Negative"), -5);
    EXPECT_TRUE(r.ReadBool("Flag"));

    std::string text = ReadFile(TRegistry::StoreFileFor(HKEY_CURRENT_USER));
    EXPECT_NE(text.find("[Software\\Valtura\\Vexatrevia]\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"Speed1\"=\"13\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"Count\"=dword:0000002a\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"Negative\"=dword:fffffffb\n"), std::string::npos) << text;

    // Each root key has its own file.
    TRegistry m;
    m.SetRootKey(HKEY_LOCAL_MACHINE);
    EXPECT_FALSE(m.KeyExists("Software\\Valtura"));
    ASSERT_TRUE(m.OpenKey("Software\\Valtura", true));
    m.WriteString("X", "y");
    EXPECT_EQ(fs::path(TRegistry::StoreFileFor(HKEY_LOCAL_MACHINE)).filename(), "HKEY_LOCAL_MACHINE.reg");
    EXPECT_TRUE(fs::exists(TRegistry::StoreFileFor(HKEY_LOCAL_MACHINE)));
    EXPECT_FALSE(r.ValueExists("X"));
}

TEST_F(RegistryTest, NamesAreCaseInsensitiveAndKeepTheirFirstSpelling) {
    TRegistry r;
    ASSERT_TRUE(r.OpenKey("Software\\Valtura", true));
    r.WriteString("Speed1", "1");
    // Leading and trailing backslashes are optional; case does not matter.
    ASSERT_TRUE(r.OpenKey("\\SOFTWARE\\valtura\\", false));
    EXPECT_EQ(r.CurrentPath(), "Software\\Valtura");
    EXPECT_TRUE(r.ValueExists("SPEED1"));
    EXPECT_EQ(r.ReadString("speed1"), "1");
    r.WriteString("SPEED1", "2");
    // A subkey created with other spelling keeps the parents' spelling.
    ASSERT_TRUE(r.OpenKey("software\\VALTURA\\Trevia5", true));
    EXPECT_EQ(r.CurrentPath(), "Software\\Valtura\\Trevia5");
    EXPECT_TRUE(r.KeyExists("software\\valtura\\trevia5"));

    std::string text = ReadFile(TRegistry::StoreFileFor(HKEY_CURRENT_USER));
    EXPECT_NE(text.find("\"Speed1\"=\"2\""), std::string::npos) << text;
    EXPECT_EQ(text.find("SPEED1"), std::string::npos) << text;
    EXPECT_NE(text.find("[Software\\Valtura\\Trevia5]"), std::string::npos) << text;
    EXPECT_EQ(text.find("VALTURA"), std::string::npos) << text;
}

TEST_F(RegistryTest, MissingKeysAndValues) {
    TRegistry r;
    EXPECT_FALSE(r.KeyExists("Software\\Nothing"));
    EXPECT_FALSE(r.OpenKey("Software\\Nothing", false));
    EXPECT_FALSE(r.HasCurrentKey());
    EXPECT_FALSE(r.DeleteKey("Software\\Nothing"));
    EXPECT_FALSE(fs::exists(TRegistry::StoreFileFor(HKEY_CURRENT_USER)));  // reads create nothing

    ASSERT_TRUE(r.OpenKey("Software\\Valtura", true));
    EXPECT_FALSE(r.ValueExists("Speed1"));
    EXPECT_EQ(r.ReadString("Speed1"), "");
    EXPECT_FALSE(r.DeleteValue("Speed1"));
    EXPECT_THROW(r.ReadInteger("Speed1"), ERegistryException);

    // Type mismatches raise as the registry class does.
    r.WriteInteger("Number", 1);
    r.WriteString("Text", "1");
    try {
        r.ReadString("Number");
        FAIL();
    } catch (const ERegistryException& e) {
        EXPECT_EQ(e.Message(), "Invalid data type for 'Number'");
    }
    EXPECT_THROW(r.ReadInteger("Text"), ERegistryException);

    EXPECT_TRUE(r.DeleteValue("TEXT"));
    EXPECT_FALSE(r.ValueExists("Text"));
    EXPECT_TRUE(r.ValueExists("Number"));
}

TEST_F(RegistryTest, EmptyKeysPersistAndParentsAreCreated) {
    {
        TRegistry r;
        ASSERT_TRUE(r.OpenKey("A\\B\\Empty", true));
    }
    TRegistry r;
    EXPECT_TRUE(r.KeyExists("A\\B\\Empty"));
    EXPECT_TRUE(r.KeyExists("A\\B"));
    EXPECT_TRUE(r.KeyExists("A"));
    EXPECT_TRUE(r.OpenKey("A\\B\\Empty", false));
    TStringList names;
    r.GetValueNames(names);
    EXPECT_EQ(names.Count(), 0);
    ASSERT_TRUE(r.OpenKey("A", false));
    r.GetKeyNames(names);
    ASSERT_EQ(names.Count(), 1);
    EXPECT_EQ(names[0], "B");
}

TEST_F(RegistryTest, DeleteKeyRemovesTheSubtreeOnly) {
    TRegistry r;
    for (const char* k : {"A\\B", "A\\B\\C", "A\\B\\C\\D", "A\\BB", "A\\B C", "A\\C"}) {
        ASSERT_TRUE(r.OpenKey(k, true));
        r.WriteString("v", k);
    }
    EXPECT_TRUE(r.DeleteKey("\\a\\b"));
    EXPECT_FALSE(r.KeyExists("A\\B"));
    EXPECT_FALSE(r.KeyExists("A\\B\\C"));
    EXPECT_FALSE(r.KeyExists("A\\B\\C\\D"));
    for (const char* k : {"A", "A\\BB", "A\\B C", "A\\C"}) EXPECT_TRUE(r.KeyExists(k)) << k;
    ASSERT_TRUE(r.OpenKey("A\\BB", false));
    EXPECT_EQ(r.ReadString("v"), "A\\BB");
    ASSERT_TRUE(r.OpenKey("A", false));
    TStringList names;
    r.GetKeyNames(names);
    EXPECT_EQ(names.Count(), 3);
}

TEST_F(RegistryTest, WritingWithoutAnOpenKeyRaises) {
    TRegistry r;
    try {
        r.WriteString("Speed1", "1");
        FAIL() << "no exception";
    } catch (const ERegistryException& e) {
        EXPECT_EQ(e.Message(), "Failed to set data for 'Speed1'");
    }
    EXPECT_THROW(r.WriteInteger("Count", 1), ERegistryException);
    EXPECT_FALSE(r.DeleteValue("Speed1"));

    ASSERT_TRUE(r.OpenKey("A", true));
    r.CloseKey();
    EXPECT_THROW(r.WriteString("Speed1", "1"), ERegistryException);

    ASSERT_TRUE(r.OpenKeyReadOnly("A"));
    EXPECT_THROW(r.WriteString("Speed1", "1"), ERegistryException);

    // A key deleted under an open handle refuses writes instead of coming back.
    ASSERT_TRUE(r.OpenKey("A\\B", true));
    TRegistry other;
    ASSERT_TRUE(other.DeleteKey("A"));
    EXPECT_THROW(r.WriteString("Speed1", "1"), ERegistryException);
    EXPECT_FALSE(other.KeyExists("A\\B"));
}

TEST_F(RegistryTest, OddBytesSurviveAndKeepOneValuePerLine) {
    std::string odd =
        std::string("back\\slash \"quoted\" cr\r lf\n tab\t nul") + '\0' + "\x01\x1f\x7f\xff\xe9=]";
    std::string oddName = std::string("n\"a\\m\ne") + '\0';
    std::string oddKey = std::string("Key %41 [x] \x01 \xe9");
    {
        TRegistry r;
        ASSERT_TRUE(r.OpenKey("Software\\" + oddKey, true));
        r.WriteString(oddName, odd);
        r.WriteString("Empty", "");
    }
    TRegistry r;
    ASSERT_TRUE(r.OpenKey("Software\\" + oddKey, false));
    EXPECT_EQ(r.ReadString(oddName), odd);
    EXPECT_TRUE(r.ValueExists("Empty"));
    EXPECT_EQ(r.ReadString("Empty"), "");
    EXPECT_EQ(r.CurrentPath(), "Software\\" + oddKey);

    std::string text = ReadFile(TRegistry::StoreFileFor(HKEY_CURRENT_USER));
    EXPECT_EQ(text.find('\r'), std::string::npos);
    EXPECT_EQ(text.find('\0'), std::string::npos);
    int valueLines = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line[0] == '"') ++valueLines;
    EXPECT_EQ(valueLines, 2) << text;
}

TEST_F(RegistryTest, HandEditedFilesAreReadAndDamageIsReported) {
    std::string file = TRegistry::StoreFileFor(HKEY_CURRENT_USER);
    WriteFile(file,
              "; edited by hand\r\n\r\n[Software\\Valtura\\Trevia5]\r\n"
              "  \"Speed1\" = \"12\"  \r\n\"Count\"=dword:2A\r\n");
    TRegistry r;
    ASSERT_TRUE(r.OpenKey("Software\\Valtura\\Trevia5", false));
    EXPECT_TRUE(r.KeyExists("Software\\Valtura"));  // parents of a listed key exist
    EXPECT_EQ(r.ReadString("Speed1"), "12");
    EXPECT_EQ(r.ReadInteger("Count"), 42);

    WriteFile(file, "[Software]\n\"Speed1\"=\"12\"\n\"Speed2\"=\"unterminated\n");
    try {
        r.ReadString("Speed1");
        FAIL() << "no exception";
    } catch (const ERegistryException& e) {
        EXPECT_NE(e.Message().find("line 3"), std::string::npos) << e.Message();
    }
    // A write never replaces a damaged file with what it could make of it.
    EXPECT_THROW(r.WriteString("Speed3", "1"), ERegistryException);
    EXPECT_EQ(ReadFile(file), "[Software]\n\"Speed1\"=\"12\"\n\"Speed2\"=\"unterminated\n");

    // A pipe in the file's place (nothing ever writes into it) is refused, not waited on.
    fs::remove(file);
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    EXPECT_THROW(r.ReadString("Speed1"), ERegistryException);
    EXPECT_TRUE(fs::is_fifo(file));
}

TEST_F(RegistryTest, StoreLocationFollowsTheEnvironment) {
    EXPECT_EQ(TRegistry::StoreFileFor(HKEY_CURRENT_USER), FDir + "/HKEY_CURRENT_USER.reg");
    unsetenv("ZELTO_CONFIG_DIR");
    const char* oldXdg = getenv("XDG_CONFIG_HOME");
    std::string savedXdg = oldXdg ? oldXdg : "";
    setenv("XDG_CONFIG_HOME", (FDir + "/xdg").c_str(), 1);
    EXPECT_EQ(TRegistry::StoreFileFor(HKEY_LOCAL_MACHINE), FDir + "/xdg/zelto/HKEY_LOCAL_MACHINE.reg");
    {
        // The directory is created on the first write.
        TRegistry r;
        ASSERT_TRUE(r.OpenKey("A", true));
        EXPECT_TRUE(fs::exists(FDir + "/xdg/zelto/HKEY_CURRENT_USER.reg"));
    }
    unsetenv("XDG_CONFIG_HOME");
    const char* home = getenv("HOME");
    if (home) {
        EXPECT_EQ(TRegistry::StoreFileFor(HKEY_CURRENT_USER),
                  std::string(home) + "/.config/zelto/HKEY_CURRENT_USER.reg");
    }
    if (oldXdg) setenv("XDG_CONFIG_HOME", savedXdg.c_str(), 1);
    setenv("ZELTO_CONFIG_DIR", FDir.c_str(), 1);
}

// Real second processes: each writes its own values while the others do the same;
// no write may lose another's. The children start only when they read the parent's
// "go", which shows that every operation re-reads the file.
TEST_F(RegistryTest, ConcurrentProcessesNeverLoseValues) {
    const int kChildren = 3;
    const int kValues = 40;
    const std::string key = "Software\\Valtura\\Shared";
    std::vector<std::unique_ptr<TForkChild>> children;
    for (int c = 0; c < kChildren; ++c) {
        children.push_back(std::make_unique<TForkChild>([&, c](TForkChild&) {
            try {
                TRegistry r;
                if (!WaitUntil([&] { return r.OpenKey(key, false) && r.ReadString("go") == "1"; },
                               TDeadline::After(std::chrono::seconds(20))))
                    return 3;
                for (int i = 0; i < kValues; ++i) {
                    TRegistry w;
                    if (!w.OpenKey(key, true)) return 4;
                    w.WriteString("c" + std::to_string(c) + "_" + std::to_string(i), std::to_string(i * 7));
                }
            } catch (...) {
                return 5;
            }
            return 0;
        }));
    }
    TRegistry r;
    ASSERT_TRUE(r.OpenKey(key, true));
    r.WriteString("go", "1");
    for (int i = 0; i < kValues; ++i) r.WriteString("parent_" + std::to_string(i), std::to_string(i));
    for (auto& child : children) EXPECT_TRUE(child->Finish().ExitedWith(0)) << child->Finish();
    TRegistry check;
    ASSERT_TRUE(check.OpenKey(key, false));
    for (int i = 0; i < kValues; ++i) {
        EXPECT_EQ(check.ReadString("parent_" + std::to_string(i)), std::to_string(i));
        for (int c = 0; c < kChildren; ++c)
            EXPECT_EQ(check.ReadString("c" + std::to_string(c) + "_" + std::to_string(i)),
                      std::to_string(i * 7))
                << c << " " << i;
    }
    // No temporary files are left behind.
    for (auto& e : fs::directory_iterator(FDir)) {
        std::string n = e.path().filename().string();
        EXPECT_TRUE(n == "HKEY_CURRENT_USER.reg" || n == "HKEY_CURRENT_USER.reg.lock") << n;
    }
}

}  // namespace
