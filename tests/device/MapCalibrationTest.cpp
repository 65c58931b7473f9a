#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <vector>

#include "device/MapCalibrationU.h"
#include "tests/support/ScratchDir.h"

namespace {

const char kPath[] = "Software\\Valtura\\Vexatrevia\\TreviaDeviceVexaAnt";
const char kKey5[] = "Software\\Valtura\\Vexatrevia\\TreviaDeviceVexaAnt\\Trevia5";

// The 15 integer values in their stored order, with the properties they belong to.
const struct {
    const char* name;
    int32_t (TMapCalibration::*get)() const;
    void (TMapCalibration::*set)(int32_t);
} kInts[] = {
    {"CalibrationP1", &TMapCalibration::CalibrationP1, &TMapCalibration::SetCalibrationP1},
    {"CalibrationP2", &TMapCalibration::CalibrationP2, &TMapCalibration::SetCalibrationP2},
    {"CalibrationP3", &TMapCalibration::CalibrationP3, &TMapCalibration::SetCalibrationP3},
    {"Speed1", &TMapCalibration::Speed1, &TMapCalibration::SetSpeed1},
    {"Speed2", &TMapCalibration::Speed2, &TMapCalibration::SetSpeed2},
    {"Speed3", &TMapCalibration::Speed3, &TMapCalibration::SetSpeed3},
    {"Resist1", &TMapCalibration::Resist1, &TMapCalibration::SetResist1},
    {"Resist2", &TMapCalibration::Resist2, &TMapCalibration::SetResist2},
    {"Resist3", &TMapCalibration::Resist3, &TMapCalibration::SetResist3},
    {"P1MaxValue", &TMapCalibration::P1MaxValue, &TMapCalibration::SetP1MaxValue},
    {"P2MaxValue", &TMapCalibration::P2MaxValue, &TMapCalibration::SetP2MaxValue},
    {"P3MaxValue", &TMapCalibration::P3MaxValue, &TMapCalibration::SetP3MaxValue},
    {"P1MinValue", &TMapCalibration::P1MinValue, &TMapCalibration::SetP1MinValue},
    {"P2MinValue", &TMapCalibration::P2MinValue, &TMapCalibration::SetP2MinValue},
    {"P3MinValue", &TMapCalibration::P3MinValue, &TMapCalibration::SetP3MinValue},
};

class MapCalibrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("ZELTO_CONFIG_DIR", FDir.c_str(), 1);
        FSavedSeparator = FormatSettings().DecimalSeparator;
        FormatSettings().DecimalSeparator = '.';
    }
    void TearDown() override {
        FormatSettings().DecimalSeparator = FSavedSeparator;
        unsetenv("ZELTO_CONFIG_DIR");
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
    // The i-th value of the table := base + i + 1.
    static void SetAll(TMapCalibration& m, int base) {
        // Range loops only: GCC 12's bounds check miscompiles a member-pointer call on kInts[i].
        int n = base;
        for (const auto& v : kInts) (m.*v.set)(++n);
    }
    static std::vector<int32_t> Ints(const TMapCalibration& m) {
        std::vector<int32_t> out;
        for (const auto& v : kInts) out.push_back((m.*v.get)());
        return out;
    }
    static std::string MessageOf(const std::function<void()>& fn) {
        try {
            fn();
        } catch (const Exception& e) {
            return e.Message();
        }
        return "<no exception>";
    }

    TScratchDir FScratch{"zelto-mapcal"};
    std::string FDir = FScratch.Path();
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

TEST_F(MapCalibrationTest, EachValueHasItsOwnName) {
    const std::string key = std::string(kPath) + "\\Trevia2";
    TMapCalibration a(nullptr);
    a.SetTreviaVersion(2);
    SetAll(a, 100);
    ASSERT_TRUE(a.SaveSettings(HKEY_CURRENT_USER, kPath));
    auto stored = Values(key);
    ASSERT_EQ(stored.size(), 16u);
    int n = 100;
    for (const auto& v : kInts) EXPECT_EQ(stored[v.name], std::to_string(++n)) << v.name;

    n = 0;
    for (const auto& v : kInts) Put(key, v.name, std::to_string(n -= 3));
    TMapCalibration b(nullptr);
    b.SetTreviaVersion(2);
    ASSERT_TRUE(b.LoadSettings(HKEY_CURRENT_USER, kPath));
    n = 0;
    for (const auto& v : kInts) EXPECT_EQ((b.*v.get)(), n -= 3) << v.name;
}

TEST_F(MapCalibrationTest, UseMapCalibrationIsExactlyTrue) {
    const std::string key = std::string(kPath) + "\\Trevia9";
    const struct {
        const char* text;
        bool use;
    } cases[] = {{"True", true}, {"true", false}, {"TRUE", false}, {"True ", false},
                 {"1", false},   {"-1", false},   {"", false},     {"False", false}};
    TMapCalibration m(nullptr);
    m.SetTreviaVersion(9);
    for (const auto& c : cases) {
        Put(key, "UseMapCalibration", c.text);
        m.SetUseMapCalibration(!c.use);
        ASSERT_TRUE(m.LoadSettings(HKEY_CURRENT_USER, kPath));
        EXPECT_EQ(m.UseMapCalibration(), c.use) << '"' << c.text << '"';
    }
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
    for (const auto& v : kInts) Put(key, v.name, "9");
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
    for (const auto& v : kInts)
        EXPECT_EQ(stored[v.name], std::string(v.name) == "Speed1" ? "12" : "0") << v.name;
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

TEST_F(MapCalibrationTest, MigrationLeavesTheRestOfTheKeyAlone) {
    Put(kKey5, "MapCalibrationTrevia5_UseMapCalibration", "True");
    Put(kKey5, "Speed3", "44");
    Put(kKey5, "Comment", "kept");
    Put(std::string(kKey5) + "\\Sub", "Inner", "kept too");
    TMapCalibration m(nullptr);
    m.SetTreviaVersion(7);
    EXPECT_TRUE(m.LoadSettings(HKEY_CURRENT_USER, kPath));

    auto stored = Values(kKey5);
    EXPECT_EQ(stored.size(), 17u);
    EXPECT_EQ(stored["UseMapCalibration"], "True");
    EXPECT_EQ(stored["Speed3"], "44");
    EXPECT_EQ(stored["Speed2"], "0");
    EXPECT_EQ(stored["Comment"], "kept");
    EXPECT_EQ(stored.count("MapCalibrationTrevia5_UseMapCalibration"), 0u);
    EXPECT_EQ(Values(std::string(kKey5) + "\\Sub")["Inner"], "kept too");
}

// A value that is no number, old or current, is not moved and does not stop the move: it
// stopped every later load of every model, as the move runs before each one.
TEST_F(MapCalibrationTest, UnreadableValuesDoNotBlockTheMove) {
    Put(kKey5, "Speed2", "33");
    Put(kKey5, "Speed3", "5");
    Put(kKey5, "MapCalibrationTrevia5_Speed1", "12");
    Put(kKey5, "MapCalibrationTrevia5_Speed3", "oops");
    Put(kKey5, "Resist1", "bad");
    TMapCalibration m(nullptr);
    m.SetTreviaVersion(1);
    EXPECT_TRUE(m.LoadSettings(HKEY_CURRENT_USER, kPath));
    m.SetTreviaVersion(5);
    EXPECT_TRUE(m.LoadSettings(HKEY_CURRENT_USER, kPath));
    EXPECT_EQ(m.Speed1(), 12);
    EXPECT_EQ(m.Speed2(), 33);
    EXPECT_EQ(m.Speed3(), 5);
    EXPECT_EQ(m.Resist1(), 0);  // damaged: written as 0, as a move that rewrites the key leaves it
    const auto stored = Values(kKey5);
    EXPECT_EQ(stored.size(), 16u);
    for (const auto& [name, value] : stored)
        EXPECT_EQ(name.find("MapCalibrationTrevia5"), std::string::npos) << name;
}

TEST_F(MapCalibrationTest, NoOldNamesNoMove) {
    // Without old names the key is left exactly as it is, damaged values included.
    Put(kKey5, "Speed2", "33");
    Put(kKey5, "Other", "x");
    TMapCalibration m(nullptr);
    m.SetTreviaVersion(5);
    EXPECT_TRUE(m.LoadSettings(HKEY_CURRENT_USER, kPath));
    EXPECT_EQ(Values(kKey5), (std::map<std::string, std::string>{{"Other", "x"}, {"Speed2", "33"}}));
    EXPECT_EQ(m.Speed2(), 33);
    Put(kKey5, "Speed1", "bad");
    m.SetTreviaVersion(1);
    EXPECT_TRUE(m.LoadSettings(HKEY_CURRENT_USER, kPath));
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
