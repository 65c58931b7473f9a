#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "device/MapCalibrationU.h"

namespace fs = std::filesystem;

namespace {

const char kPath[] = "Software\\Valtura\\Vexatrevia\\TreviaDeviceVexaAnt";
const char kKey5[] = "Software\\Valtura\\Vexatrevia\\TreviaDeviceVexaAnt\\Trevia5";

const char* const kIntNames[] = {"CalibrationP1", "CalibrationP2", "CalibrationP3", "Speed1",
                                 "Speed2",        "Speed3",        "Resist1",       "Resist2",
                                 "Resist3",       "P1MaxValue",    "P2MaxValue",    "P3MaxValue",
                                 "P1MinValue",    "P2MinValue",    "P3MinValue"};

class MapCalibrationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zelto-mapcal-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        FDir = tmpl;
        setenv("ZELTO_CONFIG_DIR", FDir.c_str(), 1);
        FSavedSeparator = FormatSettings().DecimalSeparator;
        FormatSettings().DecimalSeparator = '.';
    }
    void TearDown() override {
        FormatSettings().DecimalSeparator = FSavedSeparator;
        unsetenv("ZELTO_CONFIG_DIR");
        std::error_code ec;
        fs::remove_all(FDir, ec);
    }

    // All values of a key, by name.
    std::map<std::string, std::string> Values(const std::string& key) {
        std::map<std::string, std::string> out;
        TRegistry r;
        if (!r.OpenKey(key, false)) return out;
        TStringList names;
        r.GetValueNames(names);
        for (int i = 0; i < names.Count(); ++i) out[names[i]] = r.ReadString(names[i]);
        return out;
    }
    void Put(const std::string& key, const std::string& name, const std::string& value) {
        TRegistry r;
        ASSERT_TRUE(r.OpenKey(key, true));
        r.WriteString(name, value);
    }
    static void SetAll(TMapCalibration& m, int base) {
        m.SetCalibrationP1(base + 1);
        m.SetCalibrationP2(base + 2);
        m.SetCalibrationP3(base + 3);
        m.SetSpeed1(base + 4);
        m.SetSpeed2(base + 5);
        m.SetSpeed3(base + 6);
        m.SetResist1(base + 7);
        m.SetResist2(base + 8);
        m.SetResist3(base + 9);
        m.SetP1MaxValue(base + 10);
        m.SetP2MaxValue(base + 11);
        m.SetP3MaxValue(base + 12);
        m.SetP1MinValue(base + 13);
        m.SetP2MinValue(base + 14);
        m.SetP3MinValue(base + 15);
    }
    static std::vector<int32_t> Ints(const TMapCalibration& m) {
        return {m.CalibrationP1(), m.CalibrationP2(), m.CalibrationP3(), m.Speed1(),     m.Speed2(),
                m.Speed3(),        m.Resist1(),       m.Resist2(),       m.Resist3(),    m.P1MaxValue(),
                m.P2MaxValue(),    m.P3MaxValue(),    m.P1MinValue(),    m.P2MinValue(), m.P3MinValue()};
    }
    static std::string MessageOf(const std::function<void()>& fn) {
        try {
            fn();
        } catch (const Exception& e) {
            return e.Message();
        }
        return "<no exception>";
    }

    std::string FDir;
    char FSavedSeparator = '.';
};

TEST_F(MapCalibrationTest, KeyNamePerModel) {
    const struct {
        double model;
        const char* key;
    } cases[] = {{1, "Trevia1"},     {2, "Trevia2"}, {3, "Trevia3"},     {4, "Trevia4"},
                 {4.5, "Trevia4.5"}, {5, "Trevia5"}, {5.5, "Trevia5.5"}, {6, "Trevia6"},
                 {7, "Trevia7"},     {9, "Trevia9"}, {10, "Trevia5"},    {11, "Trevia11"}};
    TMapCalibration m(nullptr);
    for (const auto& c : cases) {
        m.SetTreviaVersion(c.model);
        EXPECT_EQ(m.GetKeyDeviceName(), c.key) << c.model;
    }
    const struct {
        double model;
        const char* text;
    } bad[] = {{8, "8.0"}, {0, "0.0"}, {12, "12.0"}, {4.4, "4.4"}, {5.0000001, "5.0"}};
    for (const auto& b : bad) {
        m.SetTreviaVersion(b.model);
        EXPECT_EQ(MessageOf([&] { m.GetKeyDeviceName(); }),
                  std::string("Error in TMapCalibration.GetKeyDeviceName: No key name for ") + b.text);
    }
}

TEST_F(MapCalibrationTest, ModelWithoutKeyFailsLoadAndSaveUnchanged) {
    TMapCalibration m(nullptr);
    m.SetTreviaVersion(8);
    const std::string expected = "Error in TMapCalibration.GetKeyDeviceName: No key name for 8.0";
    EXPECT_EQ(MessageOf([&] { m.SaveSettings(HKEY_CURRENT_USER, kPath); }), expected);
    EXPECT_EQ(MessageOf([&] { m.LoadSettings(HKEY_CURRENT_USER, kPath); }), expected);
}

TEST_F(MapCalibrationTest, SaveAndLoadRoundTrip) {
    TMapCalibration a(nullptr);
    a.SetTreviaVersion(4.5);
    SetAll(a, 100);
    a.SetP3MinValue(-7);
    a.SetUseMapCalibration(true);
    ASSERT_TRUE(a.SaveSettings(HKEY_CURRENT_USER, kPath));  // no trailing backslash on the path

    auto stored = Values(std::string(kPath) + "\\Trevia4.5");
    ASSERT_EQ(stored.size(), 16u);
    EXPECT_EQ(stored["CalibrationP1"], "101");
    EXPECT_EQ(stored["Resist2"], "108");
    EXPECT_EQ(stored["P3MinValue"], "-7");
    EXPECT_EQ(stored["UseMapCalibration"], "True");

    TMapCalibration b(nullptr);
    b.SetTreviaVersion(4.5);
    b.SetUseConsoleValues(true);
    ASSERT_TRUE(b.LoadSettings(HKEY_CURRENT_USER, std::string(kPath) + "\\"));
    EXPECT_EQ(Ints(b), Ints(a));
    EXPECT_TRUE(b.UseMapCalibration());
    EXPECT_TRUE(b.UseConsoleValues());  // not stored

    a.SetUseMapCalibration(false);
    a.SaveSettings(HKEY_CURRENT_USER, kPath);
    EXPECT_EQ(Values(std::string(kPath) + "\\Trevia4.5")["UseMapCalibration"], "False");
    b.LoadSettings(HKEY_CURRENT_USER, kPath);
    EXPECT_FALSE(b.UseMapCalibration());

    // Model 10 lives in model 5's key.
    TMapCalibration ten(nullptr);
    ten.SetTreviaVersion(10);
    SetAll(ten, 500);
    ten.SaveSettings(HKEY_CURRENT_USER, kPath);
    EXPECT_EQ(Values(kKey5).size(), 16u);
    TMapCalibration five(nullptr);
    five.SetTreviaVersion(5);
    five.LoadSettings(HKEY_CURRENT_USER, kPath);
    EXPECT_EQ(Ints(five), Ints(ten));
}

TEST_F(MapCalibrationTest, MissingKeyLoadsZerosAndFalse) {
    TMapCalibration m(nullptr);
    m.SetTreviaVersion(6);
    SetAll(m, 1);
    m.SetUseMapCalibration(true);
    Put(std::string(kPath) + "\\Trevia6", "Speed1", "");  // empty reads as 0 too
    EXPECT_TRUE(m.LoadSettings(HKEY_CURRENT_USER, kPath));
    EXPECT_EQ(Ints(m), std::vector<int32_t>(15, 0));
    EXPECT_FALSE(m.UseMapCalibration());

    TMapCalibration other(nullptr);
    other.SetTreviaVersion(7);
    SetAll(other, 1);
    EXPECT_TRUE(other.LoadSettings(HKEY_CURRENT_USER, "Software\\Nowhere"));
    EXPECT_EQ(Ints(other), std::vector<int32_t>(15, 0));
}

TEST_F(MapCalibrationTest, NonIntegerValueFailsAndKeepsEarlierValues) {
    std::string key = std::string(kPath) + "\\Trevia3";
    for (const char* n : kIntNames) Put(key, n, "9");
    Put(key, "Speed2", "12a");
    TMapCalibration m(nullptr);
    m.SetTreviaVersion(3);
    SetAll(m, 100);
    EXPECT_EQ(MessageOf([&] { m.LoadSettings(HKEY_CURRENT_USER, kPath); }),
              "Error in TMapCalibration.DoLoadSettings");
    EXPECT_EQ(m.CalibrationP1(), 9);
    EXPECT_EQ(m.Speed1(), 9);
    EXPECT_EQ(m.Speed2(), 105);  // the failing one and those after it keep their values
    EXPECT_EQ(m.P3MinValue(), 115);
}

TEST_F(MapCalibrationTest, SaveFailureIsReportedByRoutineName) {
    // A configuration "directory" that is a file: nothing can be written.
    std::string file = FDir + "/not-a-dir";
    std::ofstream(file) << "x";
    setenv("ZELTO_CONFIG_DIR", file.c_str(), 1);
    TMapCalibration m(nullptr);
    m.SetTreviaVersion(1);
    EXPECT_EQ(MessageOf([&] { m.SaveSettings(HKEY_CURRENT_USER, kPath); }),
              "Error in TMapCalibration.DoSaveSettings");
}

TEST_F(MapCalibrationTest, OldLayoutOfModel5IsMovedOnAnyLoad) {
    Put(kKey5, "MapCalibrationTrevia5_Speed1", "12");
    TMapCalibration m(nullptr);
    m.SetTreviaVersion(1);
    EXPECT_TRUE(m.LoadSettings(HKEY_CURRENT_USER, kPath));

    auto stored = Values(kKey5);
    ASSERT_EQ(stored.size(), 16u);
    for (const char* n : kIntNames) EXPECT_EQ(stored[n], std::string(n) == "Speed1" ? "12" : "0") << n;
    EXPECT_EQ(stored["UseMapCalibration"], "False");

    TMapCalibration five(nullptr);
    five.SetTreviaVersion(5);
    five.LoadSettings(HKEY_CURRENT_USER, kPath);
    EXPECT_EQ(five.Speed1(), 12);
}

TEST_F(MapCalibrationTest, MigrationKeepsValuesOfTheCurrentLayout) {
    Put(kKey5, "Speed2", "33");
    Put(kKey5, "Speed1", "5");
    Put(kKey5, "UseMapCalibration", "True");
    Put(kKey5, "MapCalibrationTrevia5_Speed1", "12");
    Put(kKey5, "MapCalibrationTrevia5_Resist3", "7");
    TMapCalibration m(nullptr);
    m.SetTreviaVersion(5);
    EXPECT_TRUE(m.LoadSettings(HKEY_CURRENT_USER, kPath));
    EXPECT_EQ(m.Speed1(), 12);  // the old value takes the place of the current one
    EXPECT_EQ(m.Speed2(), 33);
    EXPECT_EQ(m.Resist3(), 7);
    EXPECT_TRUE(m.UseMapCalibration());
    auto stored = Values(kKey5);
    EXPECT_EQ(stored.size(), 16u);
    for (auto& [name, value] : stored)
        EXPECT_EQ(name.find("MapCalibrationTrevia5"), std::string::npos) << name;
}

TEST_F(MapCalibrationTest, FailedMigrationChangesNothing) {
    Put(kKey5, "Speed2", "33");
    Put(kKey5, "MapCalibrationTrevia5_Speed1", "12");
    Put(kKey5, "MapCalibrationTrevia5_Speed3", "oops");
    auto before = Values(kKey5);
    TMapCalibration m(nullptr);
    m.SetTreviaVersion(5);
    EXPECT_EQ(MessageOf([&] { m.LoadSettings(HKEY_CURRENT_USER, kPath); }),
              "Error in TMapCalibration.UpdateExistingOldKeysOfTrevia5");
    EXPECT_EQ(Values(kKey5), before);

    // Without old names the key is left exactly as it is.
    TRegistry r;
    ASSERT_TRUE(r.OpenKey(kKey5, false));
    r.DeleteValue("MapCalibrationTrevia5_Speed1");
    r.DeleteValue("MapCalibrationTrevia5_Speed3");
    EXPECT_TRUE(m.LoadSettings(HKEY_CURRENT_USER, kPath));
    EXPECT_EQ(Values(kKey5).size(), 1u);
    EXPECT_EQ(m.Speed2(), 33);
}

TEST_F(MapCalibrationTest, AssignAndPrefix) {
    TMapCalibration a(nullptr), b(nullptr);
    SetAll(a, 10);
    a.SetTreviaVersion(5.5);
    a.SetUseMapCalibration(true);
    a.SetUseConsoleValues(true);
    b.Assign(&a);
    EXPECT_EQ(b.CalibrationP1(), 11);
    EXPECT_EQ(b.Resist2(), 18);
    EXPECT_EQ(b.Resist3(), 19);
    EXPECT_EQ(b.TreviaVersion(), 5.5);
    EXPECT_TRUE(b.UseMapCalibration());
    EXPECT_FALSE(b.UseConsoleValues());
    EXPECT_EQ(b.P1MaxValue(), 0);  // limits are not copied
    EXPECT_EQ(b.P3MinValue(), 0);

    TComponent plain(nullptr);
    EXPECT_THROW(b.Assign(&plain), Exception);

    a.SetName("MapCalibrationTrevia5");
    EXPECT_EQ(a.GetValuePrefix(true), "MapCalibrationTrevia5_");
    EXPECT_EQ(a.GetValuePrefix(false), "");
}

TEST_F(MapCalibrationTest, RegistryRoutines) {
    const struct {
        const char* in;
        const char* out;
    } paths[] = {{"", ""}, {"A", "A\\"}, {"A\\", "A\\"}, {"A\\B", "A\\B\\"}, {"\\", "\\"}};
    for (const auto& p : paths) EXPECT_EQ(AddBackslash(p.in), p.out) << p.in;

    std::string text = "x";
    RegReadStringDef0(HKEY_CURRENT_USER, "K", "V", text);
    EXPECT_EQ(text, "0");
    EXPECT_FALSE(RegValueExists(HKEY_CURRENT_USER, "K", "V"));
    EXPECT_FALSE(RegDeleteValue(HKEY_CURRENT_USER, "K", "V"));
    EXPECT_THROW(RegWriteString(HKEY_CURRENT_USER, "K", "V", false, "1"), ERegistryException);
    EXPECT_FALSE(TRegistry().KeyExists("K"));

    EXPECT_TRUE(RegWriteString(HKEY_LOCAL_MACHINE, "K", "V", true, "abc"));
    EXPECT_FALSE(RegValueExists(HKEY_CURRENT_USER, "K", "V"));
    EXPECT_TRUE(RegValueExists(HKEY_LOCAL_MACHINE, "k", "v"));
    RegReadStringDef0(HKEY_LOCAL_MACHINE, "K", "V", text);
    EXPECT_EQ(text, "abc");
    RegWriteString(HKEY_LOCAL_MACHINE, "K", "V", false, "");
    RegReadStringDef0(HKEY_LOCAL_MACHINE, "K", "V", text);
    EXPECT_EQ(text, "0");
    EXPECT_TRUE(RegDeleteValue(HKEY_LOCAL_MACHINE, "K", "V"));
    EXPECT_FALSE(RegValueExists(HKEY_LOCAL_MACHINE, "K", "V"));
}

}  // namespace
