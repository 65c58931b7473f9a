// Format, FloatToStr, FloatToStrF and FormatFloat against the framework's outputs.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "FormatSettingsGuard.h"
#include "platform/rtl/SysUtils.h"

namespace {

struct Case {
    std::string got;
    const char* want;
};

void ExpectAll(const std::vector<Case>& cases) {
    for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(cases[i].got, cases[i].want) << "case " << i;
}

class FormatTest : public ::testing::Test {
  protected:
    FormatSettingsGuard guard;
};

TEST_F(FormatTest, Integers) {
    ExpectAll({
        {Format("%d", 42), "42"},
        {Format("%d", -42), "-42"},
        {Format("%.2d", 7), "07"},
        {Format("%.3d", -5), "-005"},
        {Format("%5d|", 42), "   42|"},
        {Format("%-5d|", 42), "42   |"},
        {Format("%d", std::numeric_limits<int64_t>::max()), "9223372036854775807"},
        {Format("%d", std::numeric_limits<int64_t>::min()), "-9223372036854775808"},
        {Format("%d", uint32_t(4000000000u)), "4000000000"},
        {Format("%u", uint32_t(4000000000u)), "4000000000"},
        {Format("%u", -1), "4294967295"},
        {Format("%x", 255), "ff"},
        {Format("%X", 255), "FF"},
        {Format("%.2X", 5), "05"},
        {Format("%.2x", 10), "0a"},
        {Format("0x%x", uint8_t(0x3C)), "0x3c"},
        {Format("%x", -1), "ffffffff"},
        {Format("%X", int16_t(-2)), "FFFFFFFE"},
        {Format("%x", int64_t(-1)), "ffffffffffffffff"},
        {Format("[%.2X][%.2X]", uint8_t(0xA4), uint8_t(0)), "[A4][00]"},
        {Format("%d", true), "1"},
    });
}

TEST_F(FormatTest, StringsIndexesAndWidths) {
    ExpectAll({
        {Format("%s", "abc"), "abc"},
        {Format("%.2s", std::string("abc")), "ab"},
        {Format("%5s|%-5s|", "ab", "cd"), "   ab|cd   |"},
        {Format("%1:s %0:s %s", "a", "b"), "b a b"},
        {Format("%*d|%-*d|", 5, 42, 4, 7), "   42|7   |"},
        {Format("%.*f", 1, 2.25), "2.3"},
        {Format("100%%"), "100%"},
        {Format("no args"), "no args"},
        {Format("%2:-4s|", "a", "b", "c"), "c   |"},
    });
}

TEST_F(FormatTest, Floats) {
    ExpectAll({
        {Format("%f", 3.14159), "3.14"},
        {Format("%.3f", 2.0), "2.000"},
        {Format("%2.1f", 8.0), "8.0"},
        {Format("%2.1f", 4.5), "4.5"},
        {Format("%.0f", 2.5), "3"},
        {Format("%.1f", 0.25), "0.3"},
        {Format("%.2f", -0.001), "0.00"},
        {Format("%.2f", -1.005), "-1.00"},  // 1.005 is 1.00499999999999989... in binary
        {Format("%f", 1234567.891), "1234567.89"},
        {Format("%6.2f|", 3.14159), "  3.14|"},
        {Format("%n", 1234567.891), "1,234,567.89"},
        {Format("%.0n", -1234.5), "-1,235"},
        {Format("%n", 12.0), "12.00"},
        {Format("%e", 1.5), "1.50000000000000E+000"},
        {Format("%.3e", -12345.678), "-1.23E+004"},
        {Format("%.2e", 0.000123), "1.2E-004"},
        {Format("%g", 0.5), "0.5"},
        {Format("%g", 123.456), "123.456"},
        {Format("%.3g", 123456.0), "1.23E005"},
        {Format("%m", 1234.5), "$1,234.50"},
        {Format("%m", -1234.5), "-$1,234.50"},
        {Format("%.0m", 2.5), "$3"},
        {Format("%f", double(NAN)), "NAN"},
        {Format("%f", -double(INFINITY)), "-INF"},
        {Format("%f", 1.5f), "1.50"},
        {Format("%f", 1.5L), "1.50"},
    });
}

TEST_F(FormatTest, CommaSeparatorLocale) {
    FormatSettingsGuard::UseComma();
    ExpectAll({
        {Format("%f", 3.5), "3,50"},
        {Format("Trevia%2.1f", 4.5), "Trevia4,5"},
        {Format("%n", 1234.5), "1.234,50"},
        {Format("%e", 1.5), "1,50000000000000E+000"},
        {FloatToStr(1.5), "1,5"},
        {FloatToStr(1.5e-7), "1,5E-7"},
        {FormatFloat("#,##0.00", 1234.5), "1.234,50"},
    });
}

TEST_F(FormatTest, CurrencyPlacements) {
    TFormatSettings fs = FormatSettings();
    fs.CurrencyString = "EUR";
    fs.CurrencyFormat = 3;
    fs.NegCurrFormat = 8;
    EXPECT_EQ(FormatV("%m", {1.5}, fs), "1.50 EUR");
    EXPECT_EQ(FormatV("%m", {-1.5}, fs), "-1.50 EUR");
    fs.NegCurrFormat = 0;
    fs.CurrencyFormat = 0;
    fs.CurrencyString = "$";
    EXPECT_EQ(FormatV("%m", {-1.5}, fs), "($1.50)");
    EXPECT_EQ(FormatV("%m", {1.5}, fs), "$1.50");
}

TEST_F(FormatTest, PointerPrintsAllDigits) {
    int x = 0;
    std::string s = Format("%p", static_cast<const void*>(&x));
    EXPECT_EQ(s.size(), sizeof(void*) * 2);
    EXPECT_EQ(std::stoull(s, nullptr, 16), reinterpret_cast<uintptr_t>(&x));
}

TEST_F(FormatTest, MismatchesRaise) {
    auto expectInvalid = [](auto fn, const char* fmt) {
        try {
            fn();
            ADD_FAILURE() << fmt << " did not raise";
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.Message(), std::string("Format '") + fmt + "' invalid or incompatible with argument");
        }
    };
    expectInvalid([] { Format("%d", 1.5); }, "%d");
    expectInvalid([] { Format("%f", 1); }, "%f");
    expectInvalid([] { Format("%s", 1); }, "%s");
    expectInvalid([] { Format("%x", "a"); }, "%x");
    expectInvalid([] { Format("%k", 1); }, "%k");
    expectInvalid([] { Format("abc%", 1); }, "abc%");
    expectInvalid([] { Format("%p", 1); }, "%p");
    EXPECT_THROW(Format("%d %d", 1), EConvertError);
    EXPECT_THROW(Format("%s"), EConvertError);
    EXPECT_THROW(Format("%5:d", 1), EConvertError);
}

TEST_F(FormatTest, FloatToStrGeneralForm) {
    ExpectAll({
        {FloatToStr(0.0), "0"},
        {FloatToStr(-0.0), "0"},
        {FloatToStr(1.0), "1"},
        {FloatToStr(-1.5), "-1.5"},
        {FloatToStr(0.1), "0.1"},
        {FloatToStr(0.1 + 0.2), "0.3"},
        {FloatToStr(1.0 / 3), "0.333333333333333"},
        {FloatToStr(2.0 / 3), "0.666666666666667"},
        {FloatToStr(100.0), "100"},
        {FloatToStr(1e14), "100000000000000"},
        {FloatToStr(1e15), "1E15"},
        {FloatToStr(999999999999999.9), "1E15"},
        {FloatToStr(123456789012345678.0), "1.23456789012346E17"},
        {FloatToStr(1e20), "1E20"},
        {FloatToStr(1.5e20), "1.5E20"},
        {FloatToStr(-2.5e-20), "-2.5E-20"},
        {FloatToStr(0.0001), "0.0001"},
        {FloatToStr(0.00012345), "0.00012345"},
        {FloatToStr(0.00001), "1E-5"},
        {FloatToStr(1.5e-7), "1.5E-7"},
        {FloatToStr(1e-300), "1E-300"},
        {FloatToStr(5e-324), "4.94065645841247E-324"},  // smallest denormal, its exact value
        {FloatToStr(std::numeric_limits<double>::max()), "1.79769313486232E308"},
        {FloatToStr(std::nan("")), "NAN"},
        {FloatToStr(std::numeric_limits<double>::infinity()), "INF"},
        {FloatToStr(-std::numeric_limits<double>::infinity()), "-INF"},
        {FloatToStr(1e4000L), "1E4000"},
    });
}

TEST_F(FormatTest, FloatToStrFForms) {
    ExpectAll({
        {FloatToStrF(1234.5678, ffFixed, 15, 2), "1234.57"},
        {FloatToStrF(1.23456, ffFixed, 3, 4), "1.2300"},
        {FloatToStrF(0.5, ffFixed, 15, 0), "1"},
        {FloatToStrF(1234.5678, ffNumber, 15, 2), "1,234.57"},
        {FloatToStrF(123.0, ffNumber, 15, 0), "123"},
        {FloatToStrF(1234567.0, ffNumber, 15, 1), "1,234,567.0"},
        {FloatToStrF(1234.5678, ffExponent, 4, 2), "1.235E+03"},
        {FloatToStrF(0.0, ffExponent, 3, 0), "0.00E+0"},
        {FloatToStrF(-0.00015, ffExponent, 2, 3), "-1.5E-004"},
        {FloatToStrF(1e20, ffGeneral, 15, 0), "1E20"},
        {FloatToStrF(1e20, ffGeneral, 15, 2), "1E20"},
        {FloatToStrF(1e-20, ffGeneral, 15, 3), "1E-020"},
        {FloatToStrF(3.14159, ffGeneral, 3, 0), "3.14"},
        {FloatToStrF(2.5, ffCurrency, 15, 2), "$2.50"},
    });
}

TEST_F(FormatTest, FormatFloatPictures) {
    ExpectAll({
        {FormatFloat("0.00", 3.14159), "3.14"},
        {FormatFloat("#,##0.00", 1234567.891), "1,234,567.89"},
        {FormatFloat("#,##0", 999.5), "1,000"},
        {FormatFloat("#.##", 0.5), ".5"},
        {FormatFloat("0.0#", 1.2), "1.2"},
        {FormatFloat("0.0#", 1.256), "1.26"},
        {FormatFloat("0.##", 1.0), "1"},
        {FormatFloat("0000", 42), "0042"},
        {FormatFloat("#", 0), ""},
        {FormatFloat("0", 2.5), "3"},
        {FormatFloat("0", -0.4), "0"},
        {FormatFloat("0.0", -1.25), "-1.3"},
        {FormatFloat("0.00;(0.00)", -1.5), "(1.50)"},
        {FormatFloat("0.00;(0.00)", 1.5), "1.50"},
        {FormatFloat("0.00;;zero", 0.001), "zero"},
        {FormatFloat("0.00E+00", 1234.5), "1.23E+03"},
        {FormatFloat("0.0E-0", 0.00012), "1.2E-4"},
        {FormatFloat("0.0E-0", 120), "1.2E2"},
        {FormatFloat("00.0E+0", 0), "00.0E+0"},
        {FormatFloat("\"x=\"0 'u'", 5), "x=5 u"},
        {FormatFloat("#,##0.00 \"km\"", 12345.678), "12,345.68 km"},
        {FormatFloat("", 1.5), "1.5"},
        {FormatFloat("0.00", 1e25), "1E25"},
    });
}

}  // namespace
