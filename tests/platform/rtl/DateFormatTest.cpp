#include <gtest/gtest.h>

#include <cmath>

#include "platform/rtl/Currency.h"
#include "platform/rtl/DateFormat.h"

namespace {

// Known settings for the duration of a test, whatever the user's locale.
class KnownSettings : public ::testing::Test {
protected:
    KnownSettings() : FSaved(FormatSettings()) {
        TFormatSettings& fs = FormatSettings();
        fs.DecimalSeparator = '.';
        fs.DateSeparator = '-';
        fs.TimeSeparator = ':';
        fs.ShortDateFormat = "yyyy-mm-dd";
        fs.LongDateFormat = "dddd, mmmm dd, yyyy";
        fs.ShortTimeFormat = "hh:mm";
        fs.LongTimeFormat = "hh:mm:ss";
        fs.TimeAMString = "AM";
        fs.TimePMString = "PM";
        const char* sm[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
        const char* lm[] = {"January", "February", "March",     "April",   "May",      "June",
                            "July",    "August",   "September", "October", "November", "December"};
        const char* sd[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
        const char* ld[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
        for (int i = 0; i < 12; ++i) fs.ShortMonthNames[i] = sm[i], fs.LongMonthNames[i] = lm[i];
        for (int i = 0; i < 7; ++i) fs.ShortDayNames[i] = sd[i], fs.LongDayNames[i] = ld[i];
    }
    ~KnownSettings() override { FormatSettings() = FSaved; }

private:
    TFormatSettings FSaved;
};

TEST(TimeStamps, DayNumbersCountFromYearOne) {
    EXPECT_EQ(DateTimeToTimeStamp(EncodeDate(1, 1, 1)).Date, 1);
    EXPECT_EQ(DateTimeToTimeStamp(0.0).Date, DateDelta);
    EXPECT_EQ(DateTimeToTimeStamp(EncodeDate(2000, 1, 1)).Date, 730120);
    TTimeStamp ts = DateTimeToTimeStamp(EncodeDate(2024, 2, 29) + EncodeTime(13, 45, 10, 250));
    EXPECT_EQ(ts.Time, 49510250);
    EXPECT_EQ(TimeStampToMSecs(ts), ts.Date * 86400000.0 + 49510250);
    TTimeStamp back = MSecsToTimeStamp(TimeStampToMSecs(ts));
    EXPECT_EQ(back.Date, ts.Date);
    EXPECT_EQ(back.Time, ts.Time);
    EXPECT_DOUBLE_EQ(TimeStampToDateTime(ts), EncodeDate(2024, 2, 29) + EncodeTime(13, 45, 10, 250));
    // Before 1899-12-30 the time runs the other way, as in the framework.
    EXPECT_DOUBLE_EQ(TimeStampToDateTime(TTimeStamp{43200000, DateDelta - 2}), -2.5);
    // Day 0 and negative times are no time stamps; nor is a day beyond 32 bits.
    try {
        TimeStampToDateTime(TTimeStamp{5, 0});
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "'0.5' is not a valid timestamp");
    }
    EXPECT_THROW(TimeStampToDateTime(TTimeStamp{-1, 10}), EConvertError);
    EXPECT_THROW(MSecsToTimeStamp(1e300), EConvertError);
    EXPECT_THROW(MSecsToTimeStamp(std::nan("")), EConvertError);
    // A date-time whose day number 32 bits cannot hold is refused under its own value.
    for (double far : {1e20, -1e20, 3e9, std::nan("")})
        EXPECT_THROW(DateTimeToTimeStamp(far), EConvertError) << far;
    try {
        DateTimeToTimeStamp(1e20);
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "'" + FloatToStr(1e20) + "' is not a valid timestamp");
    }
    EXPECT_EQ(MSecsToTimeStamp(-1).Date, -1);
    EXPECT_EQ(MSecsToTimeStamp(-1).Time, 86399999);
}

TEST_F(KnownSettings, FormatTokens) {
    const TDateTime dt = EncodeDate(2024, 3, 5) + EncodeTime(14, 7, 9, 45);  // a Tuesday
    struct {
        const char* format;
        const char* expected;
    } cases[] = {
        {"yyyy/mm/dd", "2024-03-05"},
        {"d/m/yy", "5-3-24"},
        {"ddd dddd mmm mmmm", "Tue Tuesday Mar March"},
        {"hh:mm:ss.zzz", "14:07:09.045"},
        {"h:m", "14:7"},
        {"hh:nn", "14:07"},
        {"h:mm AMPM", "2:07 PM"},
        {"hh:mm am/pm", "02:07 pm"},
        {"h a/p", "2 p"},
        {"'yyyy' \"mm\" yyyy", "yyyy mm 2024"},
        {"ddddd", "2024-03-05"},
        {"dddddd", "Tuesday, March 05, 2024"},
        {"c", "2024-03-05 14:07:09"},
        {"t", "14:07"},
        {"tt", "14:07:09"},
        {"MM-DD", "03-05"},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatDateTime(c.format, dt), c.expected) << c.format;
    EXPECT_EQ(DateTimeToStr(EncodeDate(2024, 3, 5)), "2024-03-05");
    EXPECT_EQ(FormatDateTime("h AMPM", EncodeTime(0, 30, 0, 0)), "12 AM");
}

TEST_F(KnownSettings, ParsingFollowsTheShortDateOrder) {
    struct {
        const char* shortFormat;
        char sep;
        const char* text;
        int y, m, d;
    } dates[] = {
        {"yyyy-mm-dd", '-', "2024-03-05", 2024, 3, 5},
        {"dd/MM/yyyy", '/', " 5/3/2024 ", 2024, 3, 5},
        {"M/d/yyyy", '/', "3/5/2024", 2024, 3, 5},
        {"dd.MM.yyyy", '.', "29.02.2024", 2024, 2, 29},
    };
    for (const auto& c : dates) {
        FormatSettings().ShortDateFormat = c.shortFormat;
        FormatSettings().DateSeparator = c.sep;
        EXPECT_EQ(StrToDate(c.text), EncodeDate(c.y, c.m, c.d)) << c.text;
    }
    FormatSettings().ShortDateFormat = "yyyy-mm-dd";
    FormatSettings().DateSeparator = '-';
    for (const char* bad : {"2024-02-30", "2024-03", "2024-03-05x", "", "abc"}) {
        TDateTime v;
        EXPECT_FALSE(TryStrToDate(bad, v)) << bad;
    }
    EXPECT_THROW(StrToDate("nonsense"), EConvertError);
    try {
        StrToDate("x");
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "'x' is not a valid date");
    }
}

TEST_F(KnownSettings, ParsingTimes) {
    struct {
        const char* text;
        bool ok;
        int h, m, s, ms;
    } cases[] = {
        {"13:45", true, 13, 45, 0, 0},  {"13:45:10.5", true, 13, 45, 10, 5}, {"1:05 PM", true, 13, 5, 0, 0},
        {"12:00 am", true, 0, 0, 0, 0}, {"AM 11:00", true, 11, 0, 0, 0},     {"13:00 PM", false, 0, 0, 0, 0},
        {"24:00", false, 0, 0, 0, 0},   {"10:", false, 0, 0, 0, 0},          {"9", true, 9, 0, 0, 0},
    };
    for (const auto& c : cases) {
        TDateTime v;
        ASSERT_EQ(TryStrToTime(c.text, v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_DOUBLE_EQ(v, EncodeTime(c.h, c.m, c.s, c.ms)) << c.text;
        }
    }
    EXPECT_DOUBLE_EQ(StrToDateTime("2024-03-05 13:45:10"),
                     EncodeDate(2024, 3, 5) + EncodeTime(13, 45, 10, 0));
    EXPECT_DOUBLE_EQ(StrToDateTime("2024-03-05"), EncodeDate(2024, 3, 5));
    EXPECT_DOUBLE_EQ(StrToDateTime("13:45"), EncodeTime(13, 45, 0, 0));
    TDateTime v;
    EXPECT_FALSE(TryStrToDateTime("2024-03-05 13:45 junk", v));
}

TEST_F(KnownSettings, CurrencyTextAndArithmetic) {
    struct {
        const char* text;
        bool ok;
        int64_t units;
    } cases[] = {
        {"12.345", true, 123450},
        {"-0.00005", true, 0},
        {"0.00015", true, 2},
        {"1e3", true, 10000000},
        {" 7 ", true, 70000},
        {"1,5", false, 0},
        {"", false, 0},
        {"1.2.3", false, 0},
        {"-12.34567", true, -123457},
        {"99999999999999999999", false, 0},
    };
    for (const auto& c : cases) {
        Currency v;
        ASSERT_EQ(TryStrToCurr(c.text, v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v.Units, c.units) << c.text;
        }
    }
    EXPECT_EQ(CurrToStr(Currency::FromUnits(123500)), "12.35");
    EXPECT_EQ(CurrToStr(Currency::FromUnits(-5)), "-0.0005");
    EXPECT_EQ(CurrToStr(Currency::FromInt(100)), "100");
    FormatSettings().DecimalSeparator = ',';
    EXPECT_EQ(CurrToStr(Currency::FromUnits(15000)), "1,5");
    EXPECT_EQ(StrToCurr("1,5").Units, 15000);
    EXPECT_EQ((Currency::FromUnits(15) * Currency::FromUnits(5000)).Units, 8);   // 7.5 → 8
    EXPECT_EQ((Currency::FromUnits(25) * Currency::FromUnits(5000)).Units, 12);  // 12.5 → 12
    EXPECT_EQ((Currency::FromInt(1) / Currency::FromInt(3)).Units, 3333);
    EXPECT_EQ(FloatToCurr(-1.23456).Units, -12346);
    EXPECT_EQ(FloatToCurr(2.5).Units, 25000);
    EXPECT_THROW(FloatToCurr(1e300), EConvertError);
}

}  // namespace
