#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "db/storage/LanguageSettings.h"
#include "db/storage/Library.h"
#include "platform/os/Locale.h"
#include "platform/rtl/SysUtils.h"

namespace {

constexpr uint16_t German = 0x0407;
constexpr uint16_t EnglishUS = 0x0409;
constexpr uint16_t Italian = 0x0410;
constexpr uint16_t Russian = 0x0419;

TEST(LanguageSettings, LanguageZeroIsFixed) {
    TLanguageSettings s;
    GetLanguageSettings(0, 0, s);
    EXPECT_EQ(s.DecimalSeparator, '.');
    EXPECT_EQ(s.ThousandSeparator, ',');
    EXPECT_EQ(s.DateSeparator, '-');
    EXPECT_EQ(s.ShortDateFormat, "yyyy-mm-dd");
    EXPECT_EQ(s.LongDateFormat, "dddd, mmmm dd, yyyy");
    EXPECT_EQ(s.ShortTimeFormat, "hh:mm");
    EXPECT_EQ(s.LongTimeFormat, "hh:mm:ss");
    EXPECT_EQ(s.CurrencyString, "");
    EXPECT_EQ(s.CurrencyDecimals, 2);
    EXPECT_EQ(s.ShortMonthNames[4], "May");
    EXPECT_EQ(s.LongMonthNames[4], "May");
    EXPECT_EQ(s.LongMonthNames[8], "September");
    EXPECT_EQ(s.ShortDayNames[0], "Sun");
    EXPECT_EQ(s.LongDayNames[6], "Saturday");
}

TEST(LanguageSettings, LocalesGiveTheirFormats) {
    TLanguageSettings de, us, it;
    GetLanguageSettings(German, 0, de);
    EXPECT_EQ(de.DecimalSeparator, ',');
    EXPECT_EQ(de.ThousandSeparator, '.');
    EXPECT_EQ(de.DateSeparator, '.');
    EXPECT_EQ(de.ShortDateFormat, "dd.MM.yyyy");
    EXPECT_EQ(de.ShortTimeFormat, "hh:mm");
    EXPECT_EQ(de.LongTimeFormat, "hh:mm:ss");
    EXPECT_EQ(de.CurrencyString, "\x80");  // the euro sign of code page 1252
    EXPECT_EQ(de.LongMonthNames[2], "M\xE4rz");
    EXPECT_EQ(de.LongDayNames[1], "Montag");

    GetLanguageSettings(EnglishUS, 0, us);  // 12-hour clock
    EXPECT_EQ(us.ShortTimeFormat, "h:mm AMPM");
    EXPECT_EQ(us.LongTimeFormat, "h:mm:ss AMPM");
    EXPECT_EQ(us.DecimalSeparator, '.');
    EXPECT_EQ(us.DateSeparator, '/');
    EXPECT_EQ(us.CurrencyString, "$");
    EXPECT_EQ(us.CurrencyFormat, 0);

    GetLanguageSettings(Italian, 0, it);
    EXPECT_EQ(it.DecimalSeparator, ',');
    EXPECT_EQ(it.DateSeparator, '/');
    EXPECT_EQ(it.ShortDateFormat, "dd/MM/yyyy");
    EXPECT_EQ(it.CurrencyFormat, 3);  // "1 €"
}

TEST(LanguageSettings, SwapIsRestoredWhenTheWorkThrows) {
    TFormatSettings saved = FormatSettings();
    FormatSettings().DecimalSeparator = '#';
    FormatSettings().ShortDateFormat = "outer";
    FormatSettings().CurrencyFormat = 3;
    EXPECT_THROW(RunWithLanguageSettings(0, 0,
                                         [] {
                                             EXPECT_EQ(FormatSettings().DecimalSeparator, '.');
                                             EXPECT_EQ(FormatSettings().ShortDateFormat, "yyyy-mm-dd");
                                             EXPECT_EQ(FormatSettings().CurrencyFormat, 0);
                                             throw std::runtime_error("work failed");
                                         }),
                 std::runtime_error);
    EXPECT_EQ(FormatSettings().DecimalSeparator, '#');
    EXPECT_EQ(FormatSettings().ShortDateFormat, "outer");
    EXPECT_EQ(FormatSettings().CurrencyFormat, 3);
    // The library lock was left: another thread can take it.
    bool taken = false;
    std::thread other([&] {
        EnterLibraryLock();
        taken = true;
        LeaveLibraryLock();
    });
    other.join();
    EXPECT_TRUE(taken);
    EXPECT_EQ(RunWithLanguageSettings(German, 0, [] { return FormatSettings().DecimalSeparator; }), ',');
    FormatSettings() = saved;
}

// A thread keeps the settings it built: what work changes inside one swap must not reach the
// next swap of the same language, also after more languages than are kept came and went.
TEST(LanguageSettings, EachSwapStartsFromTheLanguagesOwnSettings) {
    RunWithLanguageSettings(German, 0, [] {
        FormatSettings().DecimalSeparator = '#';
        FormatSettings().LongMonthNames[2] = "changed";
    });
    auto german = [] { return FormatSettings().DecimalSeparator + FormatSettings().LongMonthNames[2]; };
    EXPECT_EQ(RunWithLanguageSettings(German, 0, german), ",M\xE4rz");
    for (uint16_t sort = 0; sort < 20; ++sort)
        EXPECT_EQ(RunWithLanguageSettings(0, sort, [] { return FormatSettings().ShortDateFormat; }),
                  "yyyy-mm-dd");
    EXPECT_EQ(RunWithLanguageSettings(German, 0, german), ",M\xE4rz");
    EXPECT_EQ(RunWithLanguageSettings(Italian, 0, [] { return FormatSettings().ShortDateFormat; }),
              "dd/MM/yyyy");
}

// Nested swaps of one language each have their own copy: what the inner work changes is
// gone when the outer work goes on, and the next inner swap starts from the language again.
TEST(LanguageSettings, NestedSwapsOfOneLanguageKeepTheirOwnCopies) {
    RunWithLanguageSettings(German, 0, [] {
        FormatSettings().DecimalSeparator = '#';
        for (int round = 0; round < 2; ++round) {
            RunWithLanguageSettings(German, 0, [] {
                EXPECT_EQ(FormatSettings().DecimalSeparator, ',');
                FormatSettings().DecimalSeparator = '!';
                FormatSettings().LongMonthNames[2] = "inner";
            });
            EXPECT_EQ(FormatSettings().DecimalSeparator, '#');
            EXPECT_EQ(FormatSettings().LongMonthNames[2], "M\xE4rz");
        }
    });
    EXPECT_EQ(RunWithLanguageSettings(German, 0, [] { return FormatSettings().DecimalSeparator; }), ',');
}

// A swap whose work has not asked for the settings yet still gets its language's, also when
// the swaps inside it built more languages than a thread keeps.
TEST(LanguageSettings, OuterSwapKeepsItsLanguageAcrossManyInnerOnes) {
    RunWithLanguageSettings(German, 0, [] {
        for (uint16_t sort = 0; sort < 20; ++sort)
            EXPECT_EQ(RunWithLanguageSettings(0, sort, [] { return FormatSettings().DecimalSeparator; }),
                      '.');
        EXPECT_EQ(FormatSettings().DecimalSeparator, ',');
        EXPECT_EQ(FormatSettings().LongMonthNames[2], "M\xE4rz");
        RunWithLanguageSettings(Italian, 0, [] {
            for (uint16_t sort = 0; sort < 20; ++sort) RunWithLanguageSettings(0, sort, [] {});
            EXPECT_EQ(FormatSettings().ShortDateFormat, "dd/MM/yyyy");
        });
        EXPECT_EQ(FormatSettings().LongMonthNames[2], "M\xE4rz");
    });
}

TEST(LocaleIds, Packing) {
    EXPECT_EQ(MakeLCID(German, 1), 0x00010407u);
    EXPECT_EQ(MakeLangID(7, 2), 0x0807);
    EXPECT_TRUE(IsLocaleInstalled(MakeLCID(German, 1)));
    EXPECT_FALSE(IsLocaleInstalled(MakeLCID(Italian, 1)));
    EXPECT_FALSE(IsLocaleInstalled(MakeLCID(0x7F, 0)));
}

struct LangZeroCase {
    const char* a;
    const char* b;
    bool ci;
    int expected;
};

TEST(CompareStrLocale, LanguageZeroComparesBytes) {
    const LangZeroCase cases[] = {
        {"abc", "abcd", false, -1}, {"abcd", "abc", false, 1}, {"abc", "abc", false, 0},
        {"", "", false, 0},         {"ABC", "abc", false, -1}, {"Hello", "hELLO", true, 0},
        {"b", "A", true, 1},        {"\xE9", "\xC9", true, 0},
    };
    for (const auto& c : cases) {
        char a[16], b[16];
        std::strcpy(a, c.a);
        std::strcpy(b, c.b);
        EXPECT_EQ(CompareStrLocale(0, 0, a, c.ci, 0, b), c.expected) << c.a << " / " << c.b;
    }
    char a[] = "Hello", b[] = "hELLO";
    CompareStrLocale(0, 0, a, true, 0, b);
    EXPECT_STREQ(a, "HELLO");  // upper-cased in place
    EXPECT_STREQ(b, "HELLO");
    char c[] = "abX", d[] = "abY";
    EXPECT_EQ(CompareStrLocale(0, 0, c, false, 2, d), 0);  // an explicit length
}

TEST(CompareStrLocale, LongStringsCompareOverTheirFullLength) {
    for (size_t len : {255u, 256u, 300u, 600u}) {
        std::string a(len, 'x'), b(len, 'x');
        b.back() = 'y';
        EXPECT_EQ(CompareStrLocale(0, 0, a.data(), false, 0, b.data()), -1) << len;
        std::string shorter(len - 1, 'x');
        EXPECT_EQ(CompareStrLocale(0, 0, shorter.data(), false, 0, a.data()), -1) << len;
    }
}

TEST(CompareBuffers, SenseAndNil) {
    EXPECT_EQ(CompareBuffers("ab", "ac", 2, false), -1);
    EXPECT_EQ(CompareBuffers("ab", "ac", 2, true), 1);
    EXPECT_EQ(CompareBuffers("\xFF", "\x01", 1, false), 1);  // unsigned bytes
    EXPECT_EQ(CompareBuffers(nullptr, "a", 1, false), 1);
    EXPECT_EQ(CompareBuffers(nullptr, nullptr, 0, true), 1);
    EXPECT_EQ(CompareBuffers("ab", "ab", 2, true), 0);
    EXPECT_EQ(CompareCharLocale(0, 0, 'a', 'B'), 1);
}

struct LocaleCase {
    const char* name;
    uint16_t sort;
    const char* a;
    const char* b;
    bool ci;
    int expected;
};

TEST(CompareStrLocale, GermanOrders) {
    const LocaleCase cases[] = {
        {"accents ignored", 0, "M\xFCller", "Muller", false, 0},
        {"case counts", 0, "muller", "Muller", false, -1},
        {"case ignored", 0, "muller", "MULLER", true, 0},
        {"dictionary: u-umlaut is u", 0, "M\xFCller", "Mueller", false, 1},
        {"phone book: u-umlaut is ue", 1, "M\xFCller", "Mueller", false, 0},
        {"letters before bytes order", 0, "apfel", "Zebra", false, -1},
        {"sharp s", 0,
         "Stra\xDF"
         "e",
         "Strasse", false, 0},
    };
    for (const auto& c : cases) {
        char a[32], b[32];
        std::strcpy(a, c.a);
        std::strcpy(b, c.b);
        EXPECT_EQ(CompareStrLocale(German, c.sort, a, c.ci, 0, b), c.expected) << c.name;
    }
    EXPECT_EQ(CompareCharLocale(German, 0, 'a', 'B'), -1);
    EXPECT_EQ(CompareCharLocale(German, 0, '\xE4', 'a'), 0);
}

TEST(CaseMapping, LanguageZeroUsesTheWindows1252Table) {
    char s[] = "abc \xE9t\xE9 \xFF\x9A\x9C\x9E \xB5\xDF\xF7";
    UpperCaseLocale(0, 0, s, s);
    EXPECT_STREQ(s, "ABC \xC9T\xC9 \x9F\x8A\x8C\x8E \xB5\xDF\xF7");
    char t[32];
    LowerCaseLocale(0, 0, s, t);
    EXPECT_STREQ(t, "abc \xE9t\xE9 \xFF\x9A\x9C\x9E \xB5\xDF\xF7");
}

TEST(CaseMapping, LocalesMapInTheirCodePage) {
    // English and German share code page 1252: ICU's mapping must agree with the table.
    for (int b = 1; b < 256; ++b) {
        char in[2] = {static_cast<char>(b), 0}, up[2], low[2];
        UpperCaseLocale(German, 0, in, up);
        LowerCaseLocale(EnglishUS, 0, in, low);
        EXPECT_EQ(static_cast<uint8_t>(up[0]), AnsiUpperChar(static_cast<uint8_t>(b))) << b;
        EXPECT_EQ(static_cast<uint8_t>(low[0]), AnsiLowerChar(static_cast<uint8_t>(b))) << b;
    }
    char ru[] = "\xE0\xE1\xE2 abc";  // Cyrillic a, be, ve in code page 1251
    UpperCaseLocale(Russian, 0, ru, ru);
    EXPECT_STREQ(ru, "\xC0\xC1\xC2 ABC");
}

int PositionOf(const uint8_t* map, uint8_t value) {
    for (int k = 0; k < 256; ++k)
        if (map[k] == value) return k;
    return -1;
}

TEST(CharMaps, IdentityForLanguageZeroAndCachedPerLocale) {
    TLanguageCharMapsList list;
    uint8_t map[256];
    list.GetCharMap(0, 0, map);
    for (int k = 0; k < 256; ++k) ASSERT_EQ(map[k], k);

    uint8_t de[256], again[256];
    list.GetCharMap(German, 0, de);
    EXPECT_EQ(list.Count(), 2);
    list.GetCharMap(German, 0, again);
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(std::memcmp(de, again, 256), 0);
    // A permutation of the byte values in collation order.
    bool seen[256] = {};
    for (int k = 0; k < 256; ++k) seen[de[k]] = true;
    for (int k = 0; k < 256; ++k) EXPECT_TRUE(seen[k]);
    EXPECT_LT(PositionOf(de, '9'), PositionOf(de, 'a'));
    EXPECT_LT(PositionOf(de, 'a'), PositionOf(de, 'A'));
    EXPECT_LT(PositionOf(de, 'A'), PositionOf(de, 0xE4));  // a-umlaut after a and A
    EXPECT_LT(PositionOf(de, 0xE4), PositionOf(de, 'b'));
    EXPECT_LT(PositionOf(de, 'z'), PositionOf(de, 'Z'));

    uint8_t built[256];
    TLanguageCharMapsList::BuildCharMap(German, 0, built);
    EXPECT_EQ(std::memcmp(de, built, 256), 0);  // the sort's tie order is deterministic
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
}

}  // namespace
