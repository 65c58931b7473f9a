// Strict text-to-number conversions, rounding, the locale-derived settings and the string helpers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>

#include "FormatSettingsGuard.h"
#include "platform/rtl/Math.h"
#include "platform/rtl/SysUtils.h"

namespace {

class ConvertTest : public ::testing::Test {
  protected:
    FormatSettingsGuard guard;
};

TEST_F(ConvertTest, StrToIntAccepts) {
    struct {
        const char* text;
        int32_t want;
    } cases[] = {
        {"123", 123},
        {"  42", 42},
        {"-7", -7},
        {"+7", 7},
        {"$FF", 255},
        {"$ff", 255},
        {"0x1f", 31},
        {"0X1F", 31},
        {"-$10", -16},
        {"2147483647", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"$FFFFFFFF", -1},
        {"$80000000", INT32_MIN},
        {"007", 7},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StrToInt(c.text), c.want) << c.text;
        int32_t v = 0;
        EXPECT_TRUE(TryStrToInt(c.text, v)) << c.text;
        EXPECT_EQ(StrToIntDef(c.text, -99), c.want) << c.text;
    }
}

TEST_F(ConvertTest, StrToIntRejects) {
    for (const char* text : {"", " ", "12 ", "2147483648", "-2147483649", "1.0", "abc", "$", "0x",
                             "$1FFFFFFFF", "1e3", "--1", "- 1", "1,000", "\t1", "12a"}) {
        try {
            StrToInt(text);
            ADD_FAILURE() << "'" << text << "' accepted";
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.Message(), std::string("'") + text + "' is not a valid integer value");
        }
        int32_t v = 5;
        EXPECT_FALSE(TryStrToInt(text, v)) << text;
        EXPECT_EQ(StrToIntDef(text, -99), -99) << text;
    }
}

TEST_F(ConvertTest, StrToInt64Range) {
    EXPECT_EQ(StrToInt64("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(StrToInt64("-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(StrToInt64("$FFFFFFFFFFFFFFFF"), -1);
    EXPECT_EQ(StrToInt64("4294967296"), 4294967296LL);
    EXPECT_THROW(StrToInt64("9223372036854775808"), EConvertError);
    EXPECT_THROW(StrToInt64("-9223372036854775809"), EConvertError);
    EXPECT_EQ(StrToInt64Def("x", 3), 3);
    int64_t v = 0;
    EXPECT_TRUE(TryStrToInt64(" -12", v));
    EXPECT_EQ(v, -12);
}

TEST_F(ConvertTest, StrToFloatWithPoint) {
    struct {
        const char* text;
        long double want;
    } cases[] = {
        {"1.5", 1.5L},       {" 1.5 ", 1.5L},    {"-2", -2.0L}, {"1e3", 1000.0L},
        {"1.5E-2", 0.015L},  {".5", 0.5L},       {"1.", 1.0L},  {"+3", 3.0L},
        {"-0.25e+1", -2.5L}, {"1e-99999", 0.0L}, {"0.1", 0.1L},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StrToFloat(c.text), c.want) << c.text;
        EXPECT_EQ(StrToFloatDef(c.text, 7), c.want) << c.text;
    }
    for (const char* text : {"", " ", "1,5", "1.5.1", "e5", "1e", "1e+", "abc", "1 5", "INF", "NAN", "0x10",
                             "1e99999", ".", "-", "1.5x"}) {
        try {
            StrToFloat(text);
            ADD_FAILURE() << "'" << text << "' accepted";
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.Message(), std::string("'") + text + "' is not a valid floating point value");
        }
        long double v = 0;
        EXPECT_FALSE(TryStrToFloat(text, v)) << text;
        EXPECT_EQ(StrToFloatDef(text, 7), 7) << text;
    }
}

TEST_F(ConvertTest, StrToFloatWithComma) {
    FormatSettingsGuard::UseComma();
    EXPECT_EQ(StrToFloat("1,5"), 1.5L);
    EXPECT_EQ(StrToFloat("-0,25"), -0.25L);
    EXPECT_THROW(StrToFloat("1.5"), EConvertError);
    EXPECT_THROW(StrToFloat("1.000,5"), EConvertError);
    // Round trip through the settings' own text.
    for (double v : {0.1, -123.456, 1e-7, 6.02214076e23}) {
        EXPECT_DOUBLE_EQ(static_cast<double>(StrToFloat(FloatToStr(v))), v) << v;
    }
    TFormatSettings point = FormatSettings();
    point.DecimalSeparator = '.';
    EXPECT_EQ(StrToFloat("2.5", point), 2.5L);
}

TEST(MathTest, RoundHalfToEven) {
    struct {
        long double v;
        int64_t want;
    } cases[] = {
        {2.5L, 2},
        {3.5L, 4},
        {-2.5L, -2},
        {-3.5L, -4},
        {0.5L, 0},
        {1.5L, 2},
        {-0.5L, 0},
        {2.4999L, 2},
        {2.5000001L, 3},
        {-2.6L, -3},
        {0.0L, 0},
        {1e15L + 0.5L, 1000000000000000},
        {4503599627370497.5L, 4503599627370498},
        {-9223372036854775808.0L, INT64_MIN},
    };
    for (const auto& c : cases) EXPECT_EQ(Round(c.v), c.want) << static_cast<double>(c.v);
    EXPECT_THROW(Round(1e30L), EInvalidOp);
    EXPECT_THROW(Round(9223372036854775808.0L), EInvalidOp);
    EXPECT_THROW(Round(std::nanl("")), EInvalidOp);
    EXPECT_THROW(Trunc(std::numeric_limits<long double>::infinity()), EInvalidOp);
}

TEST(MathTest, TruncFracInt) {
    EXPECT_EQ(Trunc(-2.7L), -2);
    EXPECT_EQ(Trunc(2.7L), 2);
    EXPECT_EQ(Int(-2.7L), -2.0L);
    EXPECT_NEAR(static_cast<double>(Frac(-2.75L)), -0.75, 1e-15);
    EXPECT_NEAR(static_cast<double>(Frac(2.75L)), 0.75, 1e-15);
}

TEST(FormatSettingsTest, LocalesThroughIcu) {
    FormatSettingsGuard guard;
    InitFormatSettingsFromLocale("it_IT");
    TFormatSettings& fs = FormatSettings();
    EXPECT_EQ(fs.DecimalSeparator, ',');
    EXPECT_EQ(fs.ThousandSeparator, '.');
    EXPECT_EQ(fs.LongMonthNames[0], "gennaio");
    EXPECT_EQ(fs.ShortDateFormat, "dd/mm/yyyy");
    EXPECT_EQ(fs.LongTimeFormat, "hh:nn:ss");
    EXPECT_EQ(Format("%2.1f", 4.5), "4,5");
    EXPECT_EQ(StrToFloat("4,5"), 4.5L);

    InitFormatSettingsFromLocale("de_DE");
    EXPECT_EQ(fs.DateSeparator, '.');
    EXPECT_EQ(fs.ShortDateFormat, "dd/mm/yyyy");
    EXPECT_EQ(fs.LongDayNames[0], "Sonntag");

    InitFormatSettingsFromLocale("en_US");
    EXPECT_EQ(fs.DecimalSeparator, '.');
    EXPECT_EQ(fs.ThousandSeparator, ',');
    EXPECT_EQ(fs.ShortDateFormat, "m/d/yyyy");
    EXPECT_EQ(fs.TimeAMString, "AM");
    EXPECT_EQ(fs.LongMonthNames[11], "December");
    EXPECT_EQ(fs.ShortDayNames[6], "Sat");
    EXPECT_EQ(fs.CurrencyString, "$");
}

TEST(FormatSettingsTest, EnvironmentChoosesLocale) {
    FormatSettingsGuard guard;
    const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    std::string saved[3];
    bool had[3];
    for (int i = 0; i < 3; ++i) {
        const char* v = std::getenv(names[i]);
        had[i] = v != nullptr;
        if (v) saved[i] = v;
        unsetenv(names[i]);
    }
    setenv("LANG", "it_IT.UTF-8", 1);
    InitFormatSettingsFromLocale();
    EXPECT_EQ(FormatSettings().DecimalSeparator, ',');
    setenv("LC_ALL", "C", 1);  // LC_ALL wins; "C" reads as English defaults
    InitFormatSettingsFromLocale();
    EXPECT_EQ(FormatSettings().DecimalSeparator, '.');
    unsetenv("LC_ALL");
    unsetenv("LANG");
    InitFormatSettingsFromLocale();
    EXPECT_EQ(FormatSettings().DecimalSeparator, '.');
    for (int i = 0; i < 3; ++i) {
        if (had[i])
            setenv(names[i], saved[i].c_str(), 1);
        else
            unsetenv(names[i]);
    }
}

TEST(StringHelpersTest, TrimCaseCompareReplace) {
    EXPECT_EQ(Trim(" \t a b \r\n"), "a b");
    EXPECT_EQ(TrimLeft("  a "), "a ");
    EXPECT_EQ(TrimRight("  a "), "  a");
    EXPECT_EQ(UpperCase("abZ1\xe9"), "ABZ1\xe9");
    EXPECT_EQ(LowerCase("ABz1"), "abz1");
    EXPECT_LT(CompareText("a", "B"), 0);
    EXPECT_GT(CompareStr("a", "B"), 0);
    EXPECT_LT(CompareStr("ab", "abc"), 0);
    EXPECT_TRUE(SameText("Hello", "hELLO"));
    EXPECT_FALSE(SameText("Hello", "Hell"));
    EXPECT_EQ(StringReplace("aXbxc", "x", "-", true, true), "a-b-c");
    EXPECT_EQ(StringReplace("aXbxc", "x", "-", true, false), "aXb-c");
    EXPECT_EQ(StringReplace("a.b.c", ".", "::", false), "a::b.c");
    EXPECT_EQ(StringReplace("aaa", "aa", "a"), "aa");
    EXPECT_EQ(StringReplace("abc", "", "x"), "abc");
    EXPECT_EQ(QuotedStr("it's"), "'it''s'");
    EXPECT_EQ(Pos("lo", "hello"), 4);
    EXPECT_EQ(Pos("z", "hello"), 0);
    EXPECT_EQ(Pos("", "hello"), 0);
    EXPECT_EQ(Copy("hello", 2, 3), "ell");
    EXPECT_EQ(Copy("hello", 0, 2), "he");
    EXPECT_EQ(Copy("hello", 4, 100), "lo");
    EXPECT_EQ(Copy("hello", 6, 1), "");
    EXPECT_EQ(IntToStr(-5), "-5");
    EXPECT_EQ(UIntToStr(18446744073709551615ULL), "18446744073709551615");
    EXPECT_EQ(IntToHex(255, 4), "00FF");
    EXPECT_EQ(IntToHex(-1, 2), "FFFFFFFF");
    EXPECT_EQ(IntToHex(int64_t(-1), 2), "FFFFFFFFFFFFFFFF");
    EXPECT_EQ(IntToHex(0xABCDEu, 5), "ABCDE");
    EXPECT_EQ(BoolToStr(true), "-1");
    EXPECT_EQ(BoolToStr(false, true), "False");
}

TEST(StringHelpersTest, FileNames) {
    EXPECT_EQ(ExtractFilePath("/a/b.txt"), "/a/");
    EXPECT_EQ(ExtractFilePath("C:\\dir\\f.txt"), "C:\\dir\\");
    EXPECT_EQ(ExtractFileName("/a/b.txt"), "b.txt");
    EXPECT_EQ(ExtractFileName("b.txt"), "b.txt");
    EXPECT_EQ(ExtractFileExt("/a/b.tar.gz"), ".gz");
    EXPECT_EQ(ExtractFileExt("/a.b/c"), "");
    EXPECT_EQ(ChangeFileExt("x.tar.gz", ".zip"), "x.tar.zip");
    EXPECT_EQ(ChangeFileExt("dir.d/x", ".ini"), "dir.d/x.ini");
    EXPECT_EQ(ChangeFileExt("x.txt", ""), "x");
}

}  // namespace
