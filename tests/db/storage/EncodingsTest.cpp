#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "db/storage/Encodings.h"
#include "db/storage/LanguageSettings.h"
#include "platform/rtl/DateFormat.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Encodes each value (given in ascending order) and checks that the images ascend under
// an unsigned byte comparison; equal values must give equal images.
template <class T>
void ExpectOrdered(const std::vector<T>& values, int width, void (*encode)(T, uint8_t*)) {
    std::vector<Bytes> images;
    for (T v : values) {
        Bytes b(width);
        encode(v, b.data());
        images.push_back(b);
    }
    for (size_t i = 1; i < images.size(); ++i) {
        int c = std::memcmp(images[i - 1].data(), images[i].data(), width);
        if (values[i - 1] == values[i]) {
            EXPECT_EQ(c, 0) << i;
        } else {
            EXPECT_LT(c, 0) << "between " << values[i - 1] << " and " << values[i];
        }
    }
}

TEST(KeyImages, ByteOrderFollowsValueOrder) {
    ExpectOrdered<double>({-1e300, -1.5, -0.5, -1e-300, -0.0, 0.0, 1e-300, 0.5, 1.5, 1e300}, 8,
                          EncodeFloatKey);
    ExpectOrdered<int32_t>({INT32_MIN, -70000, -1, 0, 1, 255, 256, 70000, INT32_MAX}, 4, EncodeIntegerKey);
    ExpectOrdered<int64_t>({INT64_MIN, -(1LL << 40), -1, 0, 1, 1LL << 40, INT64_MAX}, 8, EncodeInt64Key);
    ExpectOrdered<int16_t>({-32768, -300, -1, 0, 1, 300, 32767}, 2, EncodeSmallIntKey);
    ExpectOrdered<uint16_t>({0, 1, 255, 256, 258, 65535}, 2, EncodeWordKey);
}

TEST(KeyImages, ExactBytes) {
    uint8_t b[8];
    EncodeFloatKey(-0.0, b);
    EXPECT_EQ(Bytes(b, b + 8), (Bytes{0x80, 0, 0, 0, 0, 0, 0, 0}));
    EncodeFloatKey(0.0, b);
    EXPECT_EQ(Bytes(b, b + 8), (Bytes{0x80, 0, 0, 0, 0, 0, 0, 0}));
    EncodeIntegerKey(-1, b);
    EXPECT_EQ(Bytes(b, b + 4), (Bytes{0x7F, 0xFF, 0xFF, 0xFF}));
    EncodeIntegerKey(0, b);
    EXPECT_EQ(Bytes(b, b + 4), (Bytes{0x80, 0, 0, 0}));
    EncodeSmallIntKey(-32768, b);
    EXPECT_EQ(Bytes(b, b + 2), (Bytes{0, 0}));
    EncodeWordKey(258, b);
    EXPECT_EQ(Bytes(b, b + 2), (Bytes{1, 2}));
    InvertKeyBytes(b, 2);
    EXPECT_EQ(Bytes(b, b + 2), (Bytes{0xFE, 0xFD}));
}

struct BCDCase {
    uint8_t scale;
    int64_t units;  // value × 10000
    int64_t packed;
};

TEST(BCD, EncodeAndDecode) {
    const BCDCase cases[] = {
        {2, 123450, 12352}, {2, -123450, -12352}, {2, 123500, 12352}, {2, 500, 52},
        {2, 0, 2},          {0, 70000, 70},       {0, 74999, 70},     {0, 75000, 80},
        {0, -75000, -80},   {4, 12345, 123454},   {2, -40, 2},        {6, 123456, 123456006},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EncodeBCD(c.scale, Currency::FromUnits(c.units)), c.packed)
            << int(c.scale) << " " << c.units;
    }
    struct {
        int64_t packed;
        int64_t units;
    } decodes[] = {{52, 500},   {2, 0},          {12352, 123500}, {-12352, -123500},
                   {70, 70000}, {123454, 12345}, {51, 5000}};
    for (const auto& d : decodes) EXPECT_EQ(DecodeBCD(d.packed).Units, d.units) << d.packed;
}

TEST(BCD, ValuesBeyondTheStorageFormRaise) {
    // The digits and the scale digit must make one 64-bit number, as the text they form
    // must convert; a decoded value must fit a currency.
    EXPECT_THROW(EncodeBCD(4, Currency::FromUnits(INT64_MAX)), EConvertError);
    EXPECT_THROW(EncodeBCD(4, Currency::FromUnits(-1000000000000000000LL)), EConvertError);
    // FitsBCD tells those apart beforehand.
    EXPECT_FALSE(FitsBCD(4, Currency::FromUnits(INT64_MAX)));
    EXPECT_FALSE(FitsBCD(4, Currency::FromUnits(-1000000000000000000LL)));
    EXPECT_TRUE(FitsBCD(4, Currency::FromUnits(922337203685477579LL)));
    EXPECT_TRUE(FitsBCD(2, Currency::FromUnits(INT64_MAX)));
    EXPECT_EQ(EncodeBCD(3, Currency::FromUnits(INT64_MAX - 7)), 9223372036854775803LL);
    EXPECT_EQ(EncodeBCD(2, Currency::FromUnits(INT64_MAX)), 922337203685477582LL);  // rounded down
    EXPECT_EQ(EncodeBCD(2, Currency::FromUnits(INT64_MIN)), -922337203685477582LL);
    EXPECT_THROW(DecodeBCD(9000000000000000000LL), EConvertError);  // 9e17 at scale 0
    EXPECT_THROW(DecodeBCD(-9000000000000000000LL), EConvertError);
    EXPECT_EQ(DecodeBCD(9000000000000000003LL).Units, 9000000000000000000LL);  // at scale 3
    EXPECT_THROW(EncodeScaledFloat(2, 1e17), EConvertError);
    EXPECT_THROW(EncodeScaledFloat(0, 1e300), EConvertError);
    EXPECT_EQ(EncodeScaledFloat(2, 1e15), 1000000000000000002LL);
}

TEST(BCD, ScaledFloats) {
    EXPECT_EQ(EncodeScaledFloat(2, 12.3451), 12352);
    EXPECT_EQ(EncodeScaledFloat(2, -12.3451), -12352);
    EXPECT_EQ(EncodeScaledFloat(1, 0.25), 31);
    EXPECT_EQ(EncodeScaledFloat(0, 7), 70);
    EXPECT_DOUBLE_EQ(DecodeScaledFloat(52), 0.05);
    EXPECT_DOUBLE_EQ(DecodeScaledFloat(-12352), -12.35);
    EXPECT_EQ(DecodeScaledFloat(2), 0);
}

TEST(Rounding, HalfAwayFromZero) {
    struct {
        uint8_t d;
        double v, expected;
    } floats[] = {{0, 2.5, 3},
                  {0, -2.5, -3},
                  {0, 2.4999, 2},
                  {2, 1.2351, 1.24},
                  {1, -0.25, -0.3},
                  {1, 0.25, 0.3},
                  // The divisor is 0.1 × 0.1, a little above 0.01: exact halves at two
                  // decimals round down.
                  {2, 12.375, 12.37},
                  {2, -12.375, -12.37},
                  {0, 0, 0}};
    for (const auto& f : floats) EXPECT_NEAR(RoundFloat(f.d, f.v), f.expected, 1e-9) << f.v;
    // A rounded value is the double nearest to its decimal digits, so that it compares equal
    // to the same number written out.
    EXPECT_EQ(RoundFloat(2, 3.5), 3.5);
    EXPECT_EQ(RoundFloat(1, 0.25), 0.3);
    EXPECT_EQ(RoundFloat(2, -1.2351), -1.24);
    EXPECT_EQ(RoundFloat(3, 2.0), 2.0);
    struct {
        uint8_t d;
        int64_t units, expected;
    } currs[] = {{2, 12345, 12300},  {2, 12350, 12400}, {2, -12350, -12400}, {0, 15000, 20000},
                 {0, -5000, -10000}, {6, 12345, 12345}, {4, 12345, 12345},   {3, 12345, 12350}};
    for (const auto& c : currs)
        EXPECT_EQ(RoundCurrency(c.d, Currency::FromUnits(c.units)).Units, c.expected)
            << c.units << "@" << int(c.d);
    EXPECT_EQ(FloatFormatMask(0), "##############0");
    EXPECT_EQ(FloatFormatMask(3), "##############0.000");
    EXPECT_EQ(CurrPowerOf(0, Currency::FromInt(5)), Currency::FromInt(1));
    EXPECT_EQ(CurrPowerOf(3, Currency::FromInt(5)), Currency::FromInt(125));
    EXPECT_DOUBLE_EQ(PowerOf(3, 2), 8);
    EXPECT_EQ(CurrIntPart(Currency::FromUnits(-15500)).Units, -10000);
}

TEST(Booleans, TextsAndNormalising) {
    EXPECT_TRUE(StrToBoolean("true"));
    EXPECT_FALSE(StrToBoolean("FaLsE"));
    try {
        StrToBoolean("yes");
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "'yes' is not a valid boolean value");
    }
    EXPECT_EQ(BoolToShortStr(true), "True");
    EXPECT_EQ(NormalizeBoolean(0xFFFF), 1);
    EXPECT_EQ(NormalizeBoolean(0), 0);
}

TEST(Scrambling, RoundTripsAndHonoursTheSixteenBitCount) {
    std::vector<uint8_t> data(70000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    const auto original = data;
    ScrambleBuffer(data.data(), 1000, 0x12, 0x34);
    EXPECT_NE(data, original);
    EXPECT_EQ(data[0], original[0] ^ 0x12 ^ 0x34);
    EXPECT_EQ(data[1], original[1] ^ 0x13 ^ 0x33);
    UnscrambleBuffer(data.data(), 1000, 0x12, 0x34);
    EXPECT_EQ(data, original);
    ScrambleBuffer(data.data(), 65536, 1, 2);  // low 16 bits zero: untouched
    EXPECT_EQ(data, original);
    ScrambleBuffer(data.data(), 65537, 1, 2);  // one byte
    EXPECT_NE(data[0], original[0]);
    EXPECT_EQ(data[1], original[1]);
}

TEST(StringHelpers, Table) {
    EXPECT_EQ(StripDoubledQuotes("a\"\"\"\"b''c'''"), "a\"b'c'");
    EXPECT_EQ(StripLineBreaks("a\r\nb\nc\r"), "abc");
    EXPECT_EQ(PadLeft("7", 3, '0'), "007");
    EXPECT_EQ(PadRight("abcd", 3, '.'), "abcd");
    EXPECT_EQ(ReplicateChar("ab", 3), "ababab");
    EXPECT_EQ(ReplicateChar("x", 300).size(), 255u);
    EXPECT_EQ(LeftStr("hello", 2), "he");
    EXPECT_EQ(RightStr("hello", 3), "llo");
    EXPECT_EQ(LastPos("l", "hello"), 4);
    EXPECT_EQ(LastPos("z", "hello"), 0);
    char buf[32] = "xxabcxx";
    TrimChar(buf, 'x');
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(StrPosIndex("bc", "abcbc"), 2);
    EXPECT_EQ(StrCount("aa", "aaaaa"), 2);
    char out[64];
    EXPECT_EQ(StrReplaceLength("a", "xyz", "banana"), 12);
    StrReplace("a", "xyz", "banana", out);
    EXPECT_STREQ(out, "bxyznxyznxyz");
    StrReplace("an", "an", "banana", out);
    EXPECT_STREQ(out, "banana");
    EXPECT_TRUE(IsIdentStartChar('_'));
    EXPECT_TRUE(IsIdentStartChar(static_cast<char>(200)));
    EXPECT_FALSE(IsIdentStartChar('1'));
    EXPECT_TRUE(IsIdentChar('1'));
    uint8_t z[] = {1, 0, 0, 0};
    EXPECT_EQ(CountTrailingZeroBytes(&z[3], 4), 3);
    EXPECT_EQ(CountEqualPrefix("abcd", "abzz", 4), 2);
    EXPECT_EQ(MaxInt32(-1, 2), 2);
    EXPECT_EQ(MinSmallInt(-1, 2), -1);
    EXPECT_EQ(MaxWord(65535, 1), 65535);
    EXPECT_EQ(MinCurrency(Currency::FromInt(3), Currency::FromInt(-3)), Currency::FromInt(-3));
    EXPECT_EQ(MaxByte(200, 100), 200);
}

// ---- Conversions, under the fixed formats of language 0 ----------------------------------

class Conversions : public ::testing::Test {
public:
    Conversions() : FSwap(0, 0) {}
    uint8_t Buf[600] = {};

    void PutText(const std::string& s) {
        std::memset(Buf, 0, sizeof Buf);
        std::memcpy(Buf, s.c_str(), s.size() + 1);
    }
    template <class T>
    void Put(T v) {
        std::memset(Buf, 0, sizeof Buf);
        std::memcpy(Buf, &v, sizeof v);
    }
    template <class T>
    T Get() const {
        T v;
        std::memcpy(&v, Buf, sizeof v);
        return v;
    }
    std::string Text() const { return reinterpret_cast<const char*>(Buf); }

private:
    TLanguageSettingsSwap FSwap;
};

TEST_F(Conversions, FromText) {
    struct Case {
        std::string text;
        TEngineDataType type;
        bool ok;
        std::function<void(const Conversions&)> check;
    };
    const int32_t day2024 = DateTimeToTimeStamp(EncodeDate(2024, 3, 15)).Date;
    const std::vector<Case> cases = {
        {"2024-03-15", dtDate, true, [&](const Conversions& t) { EXPECT_EQ(t.Get<int32_t>(), day2024); }},
        {"15/03/2024", dtDate, false, nullptr},
        {"true", dtBoolean, true, [](const Conversions& t) { EXPECT_EQ(t.Get<uint16_t>(), 1); }},
        {"maybe", dtBoolean, false, nullptr},
        {"-123", dtSmallInt, true, [](const Conversions& t) { EXPECT_EQ(t.Get<int16_t>(), -123); }},
        {"70000", dtInteger, true, [](const Conversions& t) { EXPECT_EQ(t.Get<int32_t>(), 70000); }},
        {"12x", dtInteger, false, nullptr},
        {"2.5", dtFloat, true, [](const Conversions& t) { EXPECT_EQ(t.Get<double>(), 2.5); }},
        {"2,5", dtFloat, false, nullptr},
        {"12.345", dtBCD, true, [](const Conversions& t) { EXPECT_EQ(t.Get<int64_t>(), 12352); }},
        {"13:45:10", dtTime, true, [](const Conversions& t) { EXPECT_EQ(t.Get<int32_t>(), 49510000); }},
        {"25:00", dtTime, false, nullptr},
        {"2024-03-15 00:00:01", dtTimeStamp, true,
         [&](const Conversions& t) { EXPECT_EQ(t.Get<double>(), day2024 * 86400000.0 + 1000); }},
    };
    for (const auto& c : cases) {
        PutText(c.text);
        bool ok = ConvertFieldValue(dtString, 20, c.type, 4, Buf, 2);
        EXPECT_EQ(ok, c.ok) << c.text;
        if (ok && c.check) c.check(*this);
    }
}

TEST_F(Conversions, ToTextIsCutToTheTargetSize) {
    Put<int32_t>(1234567);
    ASSERT_TRUE(ConvertFieldValue(dtInteger, 4, dtString, 4, Buf, 0));
    EXPECT_EQ(Text(), "1234");
    Put<int64_t>(12352);
    ASSERT_TRUE(ConvertFieldValue(dtBCD, 8, dtString, 20, Buf, 0));
    EXPECT_EQ(Text(), "12.35");
    Put<uint16_t>(1);
    ASSERT_TRUE(ConvertFieldValue(dtBoolean, 2, dtString, 20, Buf, 0));
    EXPECT_EQ(Text(), "True");
    Put<double>(2.5);
    ASSERT_TRUE(ConvertFieldValue(dtFloat, 8, dtString, 20, Buf, 0));
    EXPECT_EQ(Text(), "2.5");
    Put<int32_t>(DateTimeToTimeStamp(EncodeDate(2001, 2, 3)).Date);
    ASSERT_TRUE(ConvertFieldValue(dtDate, 4, dtString, 20, Buf, 0));
    EXPECT_EQ(Text(), "2001-02-03");
    Put<int32_t>(49510000);
    ASSERT_TRUE(ConvertFieldValue(dtTime, 4, dtString, 20, Buf, 0));
    EXPECT_EQ(Text(), "13:45:10");
    PutText("abcdef");
    ASSERT_TRUE(ConvertFieldValue(dtString, 10, dtString, 3, Buf, 0));
    EXPECT_EQ(Text(), "abc");
    EXPECT_EQ(Buf[3], 0);
}

TEST_F(Conversions, NumbersAndTimeStamps) {
    Put<double>(-7.9);
    ASSERT_TRUE(ConvertFieldValue(dtFloat, 8, dtSmallInt, 2, Buf, 0));
    EXPECT_EQ(Get<int16_t>(), -7);  // truncated toward zero
    Put<double>(1.23456);
    ASSERT_TRUE(ConvertFieldValue(dtFloat, 8, dtBCD, 8, Buf, 2));
    EXPECT_EQ(Get<int64_t>(), 1232);
    Put<int64_t>(-12352);
    ASSERT_TRUE(ConvertFieldValue(dtBCD, 8, dtInteger, 4, Buf, 0));
    EXPECT_EQ(Get<int32_t>(), -12);
    Put<int64_t>(12352);
    ASSERT_TRUE(ConvertFieldValue(dtBCD, 8, dtFloat, 8, Buf, 0));
    EXPECT_DOUBLE_EQ(Get<double>(), 12.35);
    Put<int16_t>(-2);
    ASSERT_TRUE(ConvertFieldValue(dtSmallInt, 2, dtBCD, 8, Buf, 1));
    EXPECT_EQ(Get<int64_t>(), -201);
    Put<int32_t>(70000);
    ASSERT_TRUE(ConvertFieldValue(dtInteger, 4, dtBoolean, 2, Buf, 0));
    EXPECT_EQ(Get<uint16_t>(), 1);
    Put<uint16_t>(1);
    ASSERT_TRUE(ConvertFieldValue(dtBoolean, 2, dtBCD, 8, Buf, 2));
    EXPECT_EQ(Get<int64_t>(), 1002);

    const double ts = 730000 * 86400000.0 + 3723004;  // day 730000, 01:02:03.004
    Put<double>(ts);
    ASSERT_TRUE(ConvertFieldValue(dtTimeStamp, 8, dtDate, 4, Buf, 0));
    EXPECT_EQ(Get<int32_t>(), 730000);
    Put<double>(ts);
    ASSERT_TRUE(ConvertFieldValue(dtTimeStamp, 8, dtTime, 4, Buf, 0));
    EXPECT_EQ(Get<int32_t>(), 3723004);
    Put<int32_t>(730000);
    ASSERT_TRUE(ConvertFieldValue(dtDate, 4, dtTimeStamp, 8, Buf, 0));
    EXPECT_EQ(Get<double>(), 730000 * 86400000.0);
    Put<int32_t>(5000);
    ASSERT_TRUE(ConvertFieldValue(dtTime, 4, dtTimeStamp, 8, Buf, 0));
    EXPECT_EQ(Get<double>(), 5000.0);
}

TEST_F(Conversions, BytesAreCopiedAndPadded) {
    Put<int32_t>(0x04030201);
    ASSERT_TRUE(ConvertFieldValue(dtInteger, 4, dtBytes, 6, Buf, 0));
    EXPECT_EQ(Bytes(Buf, Buf + 7), (Bytes{1, 2, 3, 4, 0, 0, 0}));
    std::memset(Buf, 0xEE, sizeof Buf);
    ASSERT_TRUE(ConvertFieldValue(dtBytes, 3, dtVarBytes, 5, Buf, 0));
    EXPECT_EQ(Bytes(Buf, Buf + 5), (Bytes{0xEE, 0xEE, 0xEE, 0, 0}));
    std::memset(Buf, 0xEE, sizeof Buf);
    ASSERT_TRUE(ConvertFieldValue(dtBytes, 8, dtSmallInt, 2, Buf, 0));
    EXPECT_EQ(Bytes(Buf, Buf + 3), (Bytes{0xEE, 0xEE, 0}));
}

TEST_F(Conversions, ValuesTooLargeForTheTargetFail) {
    Put<double>(1e14);  // a currency value, but 19 digits and the scale at 4 decimals
    EXPECT_FALSE(ConvertFieldValue(dtFloat, 8, dtBCD, 8, Buf, 4));
    EXPECT_EQ(Get<int64_t>(), 0);
    Put<double>(1e14);
    ASSERT_TRUE(ConvertFieldValue(dtFloat, 8, dtBCD, 8, Buf, 2));
    EXPECT_EQ(Get<int64_t>(), 100000000000000002LL);
    Put<int64_t>(9000000000000000000LL);  // 9e17 at scale 0: beyond a currency
    EXPECT_FALSE(ConvertFieldValue(dtBCD, 8, dtString, 30, Buf, 0));
    EXPECT_EQ(Text(), "");
    PutText("900000000000000");
    EXPECT_FALSE(ConvertFieldValue(dtString, 20, dtBCD, 8, Buf, 4));
    // Integers narrowed beyond the target's width, never wrapped into another number.
    Put<int32_t>(100000);
    EXPECT_FALSE(ConvertFieldValue(dtInteger, 4, dtSmallInt, 2, Buf, 0));
    EXPECT_EQ(Get<int32_t>(), 0);
    Put<int32_t>(-1);
    EXPECT_FALSE(ConvertFieldValue(dtInteger, 4, dtWord, 2, Buf, 0));
    Put<double>(3.9e10);
    EXPECT_FALSE(ConvertFieldValue(dtFloat, 8, dtInteger, 4, Buf, 0));
    PutText("40000");
    EXPECT_FALSE(ConvertFieldValue(dtString, 20, dtSmallInt, 2, Buf, 0));
    Put<int32_t>(-32768);
    ASSERT_TRUE(ConvertFieldValue(dtInteger, 4, dtSmallInt, 2, Buf, 0));
    EXPECT_EQ(Get<int16_t>(), -32768);
}

TEST_F(Conversions, StoredDatesOutsideTheCalendarFail) {
    struct {
        TEngineDataType type;
        double value;  // day number, milliseconds of the day or time stamp
        TEngineDataType target;
        bool ok;
        const char* text;
    } cases[] = {
        {dtDate, 0, dtString, false, ""},
        {dtDate, -5, dtString, false, ""},
        {dtDate, 1, dtString, true, "0001-01-01"},
        {dtDate, 3652059, dtString, true, "9999-12-31"},
        {dtDate, 3652060, dtString, false, ""},  // 10000-01-01
        {dtDate, 2147483647, dtString, false, ""},
        {dtTimeStamp, 3652059.0 * 86400000 + 1000, dtString, true, "9999-12-31 00:00:01"},
        {dtTimeStamp, 3652060.0 * 86400000, dtString, false, ""},
        {dtTime, -1, dtString, false, ""},
        {dtTime, 0, dtString, true, "00:00:00"},
        {dtTimeStamp, 0, dtString, false, ""},
        {dtTimeStamp, 86401000, dtString, true, "0001-01-01 00:00:01"},
        {dtTimeStamp, 1e300, dtString, false, ""},
        {dtTimeStamp, 1e300, dtDate, false, ""},
        {dtTimeStamp, std::nan(""), dtTime, false, ""},
        {dtTimeStamp, -1e16, dtDate, true, ""},  // a day number, though no date
    };
    for (const auto& c : cases) {
        if (c.type == dtTimeStamp)
            Put<double>(c.value);
        else
            Put<int32_t>(static_cast<int32_t>(c.value));
        EXPECT_EQ(ConvertFieldValue(c.type, 8, c.target, 30, Buf, 0), c.ok) << int(c.type) << " " << c.value;
        if (c.target == dtString) {
            EXPECT_EQ(Text(), c.text) << c.value;
        }
    }
}

TEST_F(Conversions, UnconvertibleSourcesFail) {
    for (TEngineDataType s : {0, 3, 13, 14, 16}) {
        Put<int32_t>(5);
        EXPECT_FALSE(ConvertFieldValue(s, 4, dtInteger, 4, Buf, 0)) << int(s);
    }
}

// A pair without a conversion is a value that does not convert, never a zero of the target.
TEST_F(Conversions, PairsWithoutAConversionFail) {
    const std::pair<TEngineDataType, TEngineDataType> pairs[] = {
        {dtBoolean, dtFloat}, {dtDate, dtInteger}, {dtDate, dtFloat},
        {dtTime, dtSmallInt}, {dtFloat, dtDate},   {dtInteger, dtTime},
        {dtFloat, dtBoolean}, {dtTime, dtDate},    {dtString, dtBlob}};
    for (const auto& [from, to] : pairs) {
        Put<int32_t>(738000);
        EXPECT_FALSE(ConvertFieldValue(from, 4, to, 8, Buf, 0)) << int(from) << " to " << int(to);
        EXPECT_EQ(Get<int64_t>(), 0);
    }
}

TEST_F(Conversions, EqualFixedTypesCopyAndBCDRescales) {
    Put<int32_t>(5);
    ASSERT_TRUE(ConvertFieldValue(dtInteger, 4, dtInteger, 4, Buf, 0));
    EXPECT_EQ(Get<int32_t>(), 5);
    Put<double>(-1.25);
    ASSERT_TRUE(ConvertFieldValue(dtFloat, 8, dtFloat, 8, Buf, 0));
    EXPECT_EQ(Get<double>(), -1.25);
    Put<int64_t>(12352);  // 12.35 at scale 2
    ASSERT_TRUE(ConvertFieldValue(dtBCD, 8, dtBCD, 8, Buf, 1));
    EXPECT_EQ(Get<int64_t>(), 1241);  // 12.4 at scale 1
    Put<int64_t>(12352);
    ASSERT_TRUE(ConvertFieldValue(dtBCD, 8, dtBoolean, 2, Buf, 0));
    EXPECT_EQ(Get<uint16_t>(), 1);
    Put<int64_t>(2);  // 0 at scale 2
    ASSERT_TRUE(ConvertFieldValue(dtBCD, 8, dtBoolean, 2, Buf, 0));
    EXPECT_EQ(Get<uint16_t>(), 0);
}

TEST_F(Conversions, LongSourcesAreAccepted) {
    std::string longText(400, 'x');
    longText += "END";
    PutText(longText);
    ASSERT_TRUE(ConvertFieldValue(dtString, 403, dtString, 403, Buf, 0));
    EXPECT_EQ(Text(), longText);
    PutText(longText);
    ASSERT_TRUE(ConvertFieldValue(dtString, 403, dtString, 10, Buf, 0));
    EXPECT_EQ(Text(), std::string(10, 'x'));
}

TEST_F(Conversions, ValidityOfTexts) {
    struct {
        std::string text;
        TEngineDataType type;
        bool valid;
    } cases[] = {
        {"now", dtTimeStamp, true},    {"now", dtDate, false},        {"date", dtDate, true},
        {"TIME", dtTime, true},        {"", dtInteger, true},         {"anything", dtString, true},
        {"65535", dtWord, true},       {"65536", dtWord, false},      {"-1", dtWord, false},
        {"-32769", dtSmallInt, false}, {"1.5", dtBCD, true},          {"1.5.", dtFloat, false},
        {"false", dtBoolean, true},    {"2024-02-30", dtDate, false}, {"12:30", dtTimeStamp, true},
    };
    for (const auto& c : cases) EXPECT_EQ(IsValidFieldValueStr(c.text, c.type), c.valid) << c.text;

    char buf[32] = "2000-01-01";
    ASSERT_TRUE(StrToDateTimeValue(buf, dtDate));
    int32_t day;
    std::memcpy(&day, buf, 4);
    EXPECT_EQ(day, 730120);
    std::strcpy(buf, "nonsense");
    EXPECT_FALSE(StrToDateTimeValue(buf, dtTime));
}

}  // namespace
