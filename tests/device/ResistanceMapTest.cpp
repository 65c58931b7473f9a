#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "device/ResistanceMapU.h"
#include "platform/framework/Filer.h"

namespace {

using Table = std::vector<std::vector<double>>;

// Keeps the process-wide decimal separator as it was.
class ResistanceMapTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = FormatSettings().DecimalSeparator;
        FormatSettings().DecimalSeparator = '.';
    }
    void TearDown() override { FormatSettings().DecimalSeparator = saved_; }

    static void SetLines(TResistanceMap& m, std::initializer_list<const char*> lines) {
        m.Strings()->Clear();
        for (const char* l : lines) m.Strings()->Add(l);
    }
    // Speeds 10 and 20 km/h; level 1: 50/100 W, level 2: 80/160 W.
    static void LoadExample(TResistanceMap& m) {
        SetLines(m, {"0\t10\t20", "1\t50\t100", "2\t80\t160"});
        m.ParseStrings();
    }

private:
    char saved_ = '.';
};

TEST(FieldHelpers, Table) {
    struct {
        const char* s;
        int count, index;
        const char* field;
    } cases[] = {{"a\tb\t", 2, 1, "b"}, {"", 0, 0, ""},        {"\ta", 2, 0, ""},  {"a\t\t", 2, 1, ""},
                 {"a\t\tc", 3, 1, ""},  {"a\t\tc", 3, 2, "c"}, {"a\tb", 2, 5, ""}, {"\t", 1, 0, ""}};
    for (const auto& c : cases) {
        EXPECT_EQ(CountFields(c.s, '\t'), c.count) << c.s;
        EXPECT_EQ(GetField(c.s, '\t', c.index), c.field) << c.s << " #" << c.index;
    }
    std::string s = "ab\tcd\t", f;
    CutFirstField(s, '\t', f);
    EXPECT_EQ(f + "|" + s, "ab|cd\t");
    s = "xyz";
    CutFirstField(s, '\t', f);
    EXPECT_EQ(f + "|" + s, "xyz|");
    EXPECT_EQ(ReplaceChar(',', '.', "1,5,2"), "1.5.2");
}

TEST(EMQorTest, MessageTable) {
    const char* texts[] = {"One or more competitor(s) not ready to start",
                           "Course not ready to Start",
                           "Error while UnAssignDeviceSourceEvents",
                           "This function can't accept a DeviceType Unknown or this device is not compatible",
                           "Error while reading the resistance map",
                           "CompetitorList unAssigned"};
    for (int code = 0; code < 6; ++code) {
        EMQor e = EMQor::CreateCode(code, "x");
        EXPECT_EQ(e.Code(), code);
        EXPECT_EQ(e.Message(), std::string(texts[code]) + " (Error code: " + std::to_string(code) + ")\r\nx");
    }
    // The extra text is not a format.
    EXPECT_EQ(EMQor::CreateCode(4, "100% %d").Message(),
              "Error while reading the resistance map (Error code: 4)\r\n100% %d");
    // A code outside the table keeps the rest of the message.
    EXPECT_EQ(EMQor::CreateCode(9, "y").Message(), " (Error code: 9)\r\ny");
}

TEST_F(ResistanceMapTest, AdapterZeroStoresOne) {
    TResistanceMap m(nullptr);
    m.SetResistanceMapAdapter(2.5);
    m.SetResistanceMapAdapter(0);
    EXPECT_EQ(m.ResistanceMapAdapter(), 1.0);
}

TEST_F(ResistanceMapTest, ParsesAndFiresLoaded) {
    TResistanceMap m(nullptr);
    int loaded = 0;
    m.OnResistanceMapLoaded = [&](TObject* s) {
        EXPECT_EQ(s, &m);
        ++loaded;
    };
    LoadExample(m);
    EXPECT_EQ(loaded, 1);
    EXPECT_EQ(m.ColCount(), 3);
    EXPECT_EQ(m.Table(), (Table{{0, 10, 20}, {1, 50, 100}, {2, 80, 160}}));
    // Empty and single-blank fields, and short lines, leave zeros.
    SetLines(m, {"\t10\t20\t30", " \t1\t \t3", "5\t6"});
    m.ParseStrings();
    EXPECT_EQ(m.Table(), (Table{{0, 10, 20, 30}, {0, 1, 0, 3}, {5, 6, 0, 0}}));
    // No lines: an empty table.
    m.Strings()->Clear();
    m.ParseStrings();
    EXPECT_EQ(m.ColCount(), 0);
    EXPECT_TRUE(m.Table().empty());
}

TEST_F(ResistanceMapTest, DecimalSeparator) {
    for (char sep : {',', '.'}) {
        FormatSettings().DecimalSeparator = sep;
        TResistanceMap m(nullptr);
        SetLines(m, {"0\t12,5", "1\t3,25"});
        m.ParseStrings();
        EXPECT_EQ(m.Table()[0][1], 12.5) << sep;
        EXPECT_EQ(m.Table()[1][1], 3.25) << sep;
    }
    FormatSettings().DecimalSeparator = '.';
    TResistanceMap m(nullptr);
    SetLines(m, {"0\t12.5"});
    m.ParseStrings();
    EXPECT_EQ(m.Table()[0][1], 12.5);
}

TEST_F(ResistanceMapTest, ParseErrorIsCode4AndKeepsConvertedCells) {
    FormatSettings().DecimalSeparator = ',';
    TResistanceMap m(nullptr);
    int loaded = 0;
    m.OnResistanceMapLoaded = [&](TObject*) { ++loaded; };
    SetLines(m, {"0\t10\t12.5", "1\t50\t100"});
    try {
        m.ParseStrings();
        FAIL() << "no error";
    } catch (const EMQor& e) {
        EXPECT_EQ(e.Code(), 4);
        EXPECT_EQ(e.Message(),
                  "Error while reading the resistance map (Error code: 4)\r\n"
                  "Please, contact the Valtura support\r\n\r\n'12.5' is not a valid floating point value");
    }
    EXPECT_EQ(loaded, 0);
    EXPECT_EQ(m.Table()[0][1], 10.0);
    EXPECT_EQ(m.Table()[1][1], 0.0);

    FormatSettings().DecimalSeparator = '.';
    SetLines(m, {"0\tabc"});
    EXPECT_THROW(m.ParseStrings(), EMQor);

    // The caught message is kept whole, bytes after a NUL included.
    const std::string field = std::string("1") + '\0' + "2";
    m.Strings()->Clear();
    m.Strings()->Add("0\t" + field);
    try {
        m.ParseStrings();
        FAIL() << "no error";
    } catch (const EMQor& e) {
        EXPECT_EQ(e.Message(),
                  "Error while reading the resistance map (Error code: 4)\r\n"
                  "Please, contact the Valtura support\r\n\r\n'" +
                      field + "' is not a valid floating point value");
    }
}

TEST_F(ResistanceMapTest, LookupExample) {
    TResistanceMap m(nullptr);
    LoadExample(m);
    struct {
        long double speed;
        bool miles;
        int32_t target;
        uint8_t status;
        int32_t power;
    } cases[] = {
        {15, false, 200, 1, 120},
        {15, false, 100, 3, 100},
        {15, false, 60, 2, 75},
        // Below the first speed: column 1 alone.
        {5, false, 200, 1, 80},
        {5, false, 60, 3, 60},
        {5, false, 40, 2, 50},
        // Exactly on a speed, and above the last one.
        {20, false, 200, 1, 160},
        {30, false, 200, 1, 160},
        {30, false, 120, 3, 120},
        // A target equal to a level's power moves below that level.
        {10, false, 80, 3, 80},
        {10, false, 50, 2, 50},
        // 10 mph = 16.09 km/h: 80 + 0.609 * 80 = 128.72.
        {10, true, 200, 1, 129},
        {10, false, 200, 1, 80},
    };
    for (const auto& c : cases) {
        int32_t power = -1;
        EXPECT_EQ(m.GetPowerForSpeed(power, c.target, c.miles, c.speed), c.status)
            << (double)c.speed << (c.miles ? " mph " : " km/h ") << c.target;
        EXPECT_EQ(power, c.power) << (double)c.speed << " " << c.target;
    }
    int32_t power = 123;
    EXPECT_EQ(m.GetPowerForSpeed(power, 100, false, 0), 0);
    EXPECT_EQ(power, 123);
}

TEST_F(ResistanceMapTest, LookupOnZerosAndTinyMaps) {
    struct {
        std::vector<const char*> lines;
        uint8_t status;
        int32_t power;
    } cases[] = {
        // Level 2 has no power at 20 km/h: level 1 is the top.
        {{"0\t10\t20", "1\t50\t100", "2\t80\t0"}, 1, 75},
        // Zeros down to level 1: the speed row is never read as powers.
        {{"0\t10\t20", "1\t0\t0", "2\t0\t0"}, 1, 0},
        {{"0\t0\t0", "1\t0\t0"}, 1, 0},
        // Too small to bracket anything: no answer, Power unchanged.
        {{}, 0, 123},
        {{"0\t10\t20"}, 0, 123},
        {{"0", "1", "2"}, 0, 123},
        {{"", "1\t50"}, 0, 123},
    };
    for (const auto& c : cases) {
        TResistanceMap m(nullptr);
        for (const char* l : c.lines) m.Strings()->Add(l);
        m.ParseStrings();
        int32_t power = 123;
        EXPECT_EQ(m.GetPowerForSpeed(power, 60, false, 15), c.status) << m.Strings()->CommaText();
        EXPECT_EQ(power, c.power) << m.Strings()->CommaText();
    }
}

TEST_F(ResistanceMapTest, DecreasingPowersFailInterpolation) {
    TResistanceMap m(nullptr);
    SetLines(m, {"0\t10\t20", "1\t100\t50"});
    m.ParseStrings();
    int32_t power = 0;
    try {
        m.GetPowerForSpeed(power, 10, false, 15);
        FAIL() << "no error";
    } catch (const EMQor&) {
        FAIL() << "wrong class";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "x1>x2 or y1>y2");
    }
}

TEST_F(ResistanceMapTest, ApplyAdapterRoundsHalfToEven) {
    TResistanceMap m(nullptr);
    SetLines(m, {"1\t10\t20\t30", "3\t5\t7\t9", "5\t2.5\t1\t0"});
    m.ParseStrings();
    m.SetResistanceMapAdapter(0.5);
    m.ApplyAdapter();
    // Column 0 and the speed row are left alone.
    EXPECT_EQ(m.Table(), (Table{{1, 10, 20, 30}, {3, 2, 4, 4}, {5, 1, 0, 0}}));

    TResistanceMap old(nullptr);
    SetLines(old, {"1\t10", "3\t5"});
    old.ParseStrings();
    old.SetTreviaVersion(3);
    old.SetResistanceMapAdapter(0.5);
    old.ApplyAdapter();
    EXPECT_EQ(old.Table()[1][1], 5.0);
}

TEST_F(ResistanceMapTest, ComputePowerRange) {
    TResistanceMap m(nullptr);
    SetLines(m, {"0\t10\t20", "1\t0\t100.4", "2\t80.5\t160.6"});
    m.ParseStrings();
    m.ComputePowerRange();
    EXPECT_EQ(m.MinPower(), 80);  // 80.5 rounds to even; zero cells are not a minimum
    EXPECT_EQ(m.MaxPower(), 161);

    m.SetTreviaVersion(3);
    m.ComputePowerRange();
    EXPECT_EQ(m.MinPower(), 1000000);
    EXPECT_EQ(m.MaxPower(), 0);
}

// The range is reset directly; only the values found go through the setters.
class RangeSpy : public TResistanceMap {
public:
    using TResistanceMap::TResistanceMap;
    std::vector<int32_t> mins, maxes;
    void SetMinPower(int32_t v) override {
        mins.push_back(v);
        TResistanceMap::SetMinPower(v);
    }
    void SetMaxPower(int32_t v) override {
        maxes.push_back(v);
        TResistanceMap::SetMaxPower(v);
    }
};

TEST_F(ResistanceMapTest, ComputePowerRangeResetsDirectly) {
    for (double version : {3.0, 3.5, 4.0}) {
        RangeSpy m(nullptr);
        SetLines(m, {"0\t10\t20", "1\t50\t100", "2\t0\t160"});
        m.ParseStrings();
        m.SetTreviaVersion(version);
        m.ComputePowerRange();
        if (version < 4) {
            EXPECT_TRUE(m.mins.empty() && m.maxes.empty()) << version;
            EXPECT_EQ(m.MinPower(), 1000000);
            continue;
        }
        EXPECT_EQ(m.mins, (std::vector<int32_t>{50}));
        EXPECT_EQ(m.maxes, (std::vector<int32_t>{50, 100, 160}));
        EXPECT_EQ(m.MinPower(), 50);
        EXPECT_EQ(m.MaxPower(), 160);
    }
}

class HookedMap : public TResistanceMap {
public:
    using TResistanceMap::TResistanceMap;
    int changed = 0, changing = 0;

protected:
    void Changed() override { ++changed; }
    void Changing() override { ++changing; }
};

TEST_F(ResistanceMapTest, StrDataRoundTripWithoutHooks) {
    HookedMap m(nullptr);
    SetLines(m, {"0\t10\t20", "", "2\t80,5\t160"});
    EXPECT_GT(m.changed, 0);
    EXPECT_GT(m.changing, 0);

    TStringStream s;
    WriteComponentProperties(&m, s);
    HookedMap r(nullptr);
    r.Strings()->Add("old line");
    r.changed = r.changing = 0;
    s.SetPosition(0);
    ReadComponentProperties(&r, s);
    EXPECT_TRUE(r.Strings()->Equals(*m.Strings()));
    EXPECT_EQ(r.Strings()->Count(), 3);
    // No change events while loading.
    EXPECT_EQ(r.changed, 0);
    EXPECT_EQ(r.changing, 0);
    EXPECT_FALSE(r.HasState(csLoading));
}

TEST_F(ResistanceMapTest, StrDataStoredAgainstAncestor) {
    using Lines = std::vector<const char*>;
    struct {
        Lines lines;
        bool hasAncestor;
        Lines ancestor;
        bool written;
    } cases[] = {
        {{}, false, {}, false},
        {{"x"}, false, {}, true},
        {{"0\t10", "1\t50"}, true, {"0\t10", "1\t50"}, false},
        {{"a\tb"}, true, {"A\tB"}, false},  // compared case-insensitively
        {{"0\t10", "1\t51"}, true, {"0\t10", "1\t50"}, true},
        {{"0\t10"}, true, {"0\t10", "1\t50"}, true},
        {{"0", "1", "2"}, true, {"0", "1"}, true},
        {{}, true, {"0", "1"}, false},
        {{}, true, {}, false},
        {{"a"}, true, {}, true},
    };
    for (const auto& c : cases) {
        TResistanceMap m(nullptr), a(nullptr);
        for (const char* l : c.lines) m.Strings()->Add(l);
        for (const char* l : c.ancestor) a.Strings()->Add(l);
        TStringStream s;
        WriteComponentProperties(&m, s, c.hasAncestor ? &a : nullptr);
        // Anything beyond the 4-byte end of the property block is "StrData".
        EXPECT_EQ(s.Size() > 4, c.written) << m.Strings()->CommaText() << " / " << a.Strings()->CommaText();
    }
    // An ancestor of another class counts as none.
    TResistanceMap m(nullptr);
    m.Strings()->Add("x");
    TStringList other;
    TStringStream s;
    WriteComponentProperties(&m, s, &other);
    EXPECT_GT(s.Size(), 4);
}

TEST_F(ResistanceMapTest, AssignAndAssignTo) {
    TMapCalibration cal(nullptr);
    TResistanceMap a(nullptr);
    SetLines(a, {"0\t10", "1\t50"});
    a.SetTreviaVersion(5);
    a.SetResistanceMapAdapter(1.5);
    a.SetResistanceLatency(3);
    a.SetMinPower(10);
    a.SetMaxPower(20);
    a.SetMapCalibration(&cal);

    TResistanceMap b(nullptr);
    b.Assign(&a);
    EXPECT_TRUE(b.Strings()->Equals(*a.Strings()));
    EXPECT_EQ(b.TreviaVersion(), 5.0);
    EXPECT_EQ(b.ResistanceMapAdapter(), 1.5);
    EXPECT_EQ(b.ResistanceLatency(), 3);
    EXPECT_EQ(b.MinPower(), 10);
    EXPECT_EQ(b.MaxPower(), 20);
    EXPECT_EQ(b.MapCalibration(), &cal);

    TStringList list;
    list.Assign(&a);
    EXPECT_EQ(list.Text(), "0\t10\r\n1\t50\r\n");

    list.Clear();
    list.Add("9\t9");
    b.Assign(&list);
    EXPECT_EQ(b.Strings()->Text(), "9\t9\r\n");
    EXPECT_EQ(b.TreviaVersion(), 5.0);

    EXPECT_THROW(b.Assign(&cal), Exception);

    // The copied reference is watched like one set directly.
    auto* freed = new TMapCalibration(nullptr);
    a.SetMapCalibration(freed);
    b.Assign(&a);
    ASSERT_EQ(b.MapCalibration(), freed);
    delete freed;
    EXPECT_EQ(a.MapCalibration(), nullptr);
    EXPECT_EQ(b.MapCalibration(), nullptr);
}

TEST_F(ResistanceMapTest, MapCalibrationClearedWhenFreed) {
    // Unowned, and both owned by the same component.
    {
        TResistanceMap m(nullptr);
        auto* cal = new TMapCalibration(nullptr);
        m.SetMapCalibration(cal);
        delete cal;
        EXPECT_EQ(m.MapCalibration(), nullptr);
    }
    {
        TComponent owner(nullptr);
        auto* m = new TResistanceMap(&owner);
        auto* cal = new TMapCalibration(&owner);
        m->SetMapCalibration(cal);
        delete cal;
        EXPECT_EQ(m->MapCalibration(), nullptr);
    }
    // A calibration the map let go of, freed after the map: nothing dangles.
    auto* m = new TResistanceMap(nullptr);
    auto* cal1 = new TMapCalibration(nullptr);
    TMapCalibration cal2(nullptr);
    m->SetMapCalibration(cal1);
    m->SetMapCalibration(&cal2);
    delete m;
    delete cal1;
}

}  // namespace
