// Date-time encoding: the day numbering, the round trip over the whole range, times and the clock.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/rtl/DateTime.h"
#include "platform/rtl/FileDate.h"
#include "platform/rtl/SysUtils.h"

namespace {

TEST(DateTimeTest, KnownDayNumbers) {
    struct {
        int y, m, d;
        double want;
    } cases[] = {
        {1899, 12, 30, 0},  {1900, 1, 1, 2},         {2000, 1, 1, 36526}, {2000, 2, 29, 36585},
        {1, 1, 1, -693593}, {9999, 12, 31, 2958465}, {1899, 12, 29, -1},  {2024, 3, 1, 45352},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EncodeDate(c.y, c.m, c.d), c.want) << c.y << "-" << c.m << "-" << c.d;
        int y, m, d;
        DecodeDate(c.want, y, m, d);
        EXPECT_EQ(y * 10000 + m * 100 + d, c.y * 10000 + c.m * 100 + c.d);
    }
}

TEST(DateTimeTest, RoundTripOverTheWholeRange) {
    for (int day = -693593; day <= 2958465; day += 7) {
        int y, m, d;
        DecodeDate(day, y, m, d);
        ASSERT_EQ(EncodeDate(y, m, d), day) << y << "-" << m << "-" << d;
    }
    // Every day of a leap century and its neighbours.
    for (TDateTime day = EncodeDate(1999, 12, 1); day <= EncodeDate(2001, 3, 1); day += 1) {
        int y, m, d;
        DecodeDate(day, y, m, d);
        ASSERT_EQ(EncodeDate(y, m, d), day);
    }
}

TEST(DateTimeTest, InvalidDatesAndTimes) {
    TDateTime dt;
    EXPECT_FALSE(TryEncodeDate(1900, 2, 29, dt));
    EXPECT_TRUE(TryEncodeDate(2000, 2, 29, dt));
    EXPECT_FALSE(TryEncodeDate(0, 1, 1, dt));
    EXPECT_FALSE(TryEncodeDate(10000, 1, 1, dt));
    EXPECT_FALSE(TryEncodeDate(2020, 13, 1, dt));
    EXPECT_FALSE(TryEncodeDate(2020, 4, 31, dt));
    EXPECT_FALSE(TryEncodeTime(24, 0, 0, 0, dt));
    EXPECT_FALSE(TryEncodeTime(0, 60, 0, 0, dt));
    EXPECT_FALSE(TryEncodeTime(0, 0, 0, 1000, dt));
    try {
        EncodeDate(2021, 2, 29);
        ADD_FAILURE();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "Invalid argument to date encode");
    }
    EXPECT_THROW(EncodeTime(-1, 0, 0, 0), EConvertError);
    int y, m, d;
    DecodeDate(-693594, y, m, d);  // before 0001-01-01
    EXPECT_EQ(y + m + d, 0);
}

TEST(DateTimeTest, TimesAndNegativeValues) {
    TDateTime t = EncodeTime(12, 30, 15, 500);
    int h, n, s, ms;
    DecodeTime(t, h, n, s, ms);
    EXPECT_EQ((std::vector<int>{h, n, s, ms}), (std::vector<int>{12, 30, 15, 500}));
    EXPECT_DOUBLE_EQ(EncodeTime(6, 0, 0, 0), 0.25);
    // Before 1899-12-30 the fraction's magnitude is the time of day.
    int y, m, d;
    DecodeDate(-1.25, y, m, d);
    EXPECT_EQ(y * 10000 + m * 100 + d, 18991229);
    DecodeTime(-1.25, h, n, s, ms);
    EXPECT_EQ(h, 6);
    // So a point in time of those days (the clock's or a file's) reads back as itself.
    tm fields{};
    fields.tm_year = 1850 - 1900;
    fields.tm_mon = 5;
    fields.tm_mday = 15;
    fields.tm_hour = 6;
    fields.tm_isdst = -1;
    const TDateTime old = UnixTimeToLocalDateTime(timespec{mktime(&fields), 0});
    DecodeDate(old, y, m, d);
    DecodeTime(old, h, n, s, ms);
    EXPECT_EQ(y * 10000 + m * 100 + d, 18500615);
    EXPECT_EQ(h, 6);
    // Rounding to the millisecond can carry into the next day.
    TDateTime nearlyNextDay = 100.0 - 1e-10;
    DecodeDate(nearlyNextDay, y, m, d);
    DecodeTime(nearlyNextDay, h, n, s, ms);
    EXPECT_EQ(EncodeDate(y, m, d), 100.0);
    EXPECT_EQ(h + n + s + ms, 0);
}

TEST(DateTimeTest, WeekdaysAndCalendar) {
    EXPECT_EQ(DayOfWeek(EncodeDate(1899, 12, 30)), 7);  // Saturday
    EXPECT_EQ(DayOfWeek(EncodeDate(2024, 1, 1)), 2);    // Monday
    EXPECT_EQ(DayOfWeek(EncodeDate(1, 1, 1)), 2);       // Monday (proleptic calendar)
    EXPECT_EQ(DayOfWeek(EncodeDate(2024, 1, 1) + 0.75), 2);
    EXPECT_TRUE(IsLeapYear(2000));
    EXPECT_FALSE(IsLeapYear(1900));
    EXPECT_TRUE(IsLeapYear(2024));
    EXPECT_EQ(DaysInMonth(2024, 2), 29);
    EXPECT_EQ(DaysInMonth(2023, 2), 28);
    EXPECT_EQ(DaysInMonth(2023, 13), 0);
}

TEST(DateTimeTest, ClockParts) {
    TDateTime now = Now();
    TDateTime today = Date();
    EXPECT_EQ(today, std::floor(today));
    // Both read the same clock; allow for a midnight between the calls.
    EXPECT_TRUE(today - now < 1.0 && now - today < 2.0);
    EXPECT_GT(now, EncodeDate(2020, 1, 1));
    TDateTime t = Time();
    EXPECT_TRUE(t >= 0 && t < 1);
}

}  // namespace
