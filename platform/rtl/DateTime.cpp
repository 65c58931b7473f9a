// Date-time as days since 1899-12-30 (the fraction is the time of day). Before 1899-12-30 the
// integral part is negative and the fraction's magnitude is still the time of day.
#include "platform/rtl/DateTime.h"

#include <cmath>
#include <ctime>

#include "platform/rtl/Math.h"
#include "platform/rtl/SysUtils.h"

namespace {

constexpr int64_t kMSecsPerDay = 86400000;
// Days from 0001-01-01 (day 1) to 1899-12-30.
constexpr int64_t kDateDelta = 693594;

const int kMonthDays[2][12] = {{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
                               {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31}};

// Milliseconds rounded from the value, then split into the day (counted from 0001-01-01 as 1)
// and the time of day.
void SplitDateTime(TDateTime dt, int64_t& day, int64_t& msOfDay) {
    if (!(std::fabs(dt) < 1e8)) {  // NaN or far outside the calendar: no date
        day = 0;
        msOfDay = 0;
        return;
    }
    int64_t ms = std::llround(static_cast<long double>(dt) * kMSecsPerDay);
    day = kDateDelta + ms / kMSecsPerDay;
    msOfDay = (ms < 0 ? -ms : ms) % kMSecsPerDay;
}

}  // namespace

bool IsLeapYear(int year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int DaysInMonth(int year, int month) {
    if (month < 1 || month > 12) return 0;
    return kMonthDays[IsLeapYear(year) ? 1 : 0][month - 1];
}

bool TryEncodeDate(int year, int month, int day, TDateTime& out) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
        return false;
    int64_t d = day;
    for (int m = 1; m < month; ++m) d += DaysInMonth(year, m);
    int64_t y = year - 1;
    d += y * 365 + y / 4 - y / 100 + y / 400;
    out = static_cast<TDateTime>(d - kDateDelta);
    return true;
}

TDateTime EncodeDate(int year, int month, int day) {
    TDateTime dt;
    if (!TryEncodeDate(year, month, day, dt)) throw EConvertError("Invalid argument to date encode");
    return dt;
}

bool TryEncodeTime(int hour, int min, int sec, int msec, TDateTime& out) {
    if (hour < 0 || hour > 23 || min < 0 || min > 59 || sec < 0 || sec > 59 || msec < 0 || msec > 999)
        return false;
    int64_t ms = ((static_cast<int64_t>(hour) * 60 + min) * 60 + sec) * 1000 + msec;
    out = static_cast<TDateTime>(ms) / kMSecsPerDay;
    return true;
}

TDateTime EncodeTime(int hour, int min, int sec, int msec) {
    TDateTime dt;
    if (!TryEncodeTime(hour, min, sec, msec, dt)) throw EConvertError("Invalid argument to time encode");
    return dt;
}

TDateTime ComposeDateTime(TDateTime date, TDateTime time) {
    return date >= 0 ? date + time : date - time;
}

void DecodeDate(TDateTime dt, int& year, int& month, int& day) {
    int64_t t, ms;
    SplitDateTime(dt, t, ms);
    if (t <= 0 || t > 3652059) {  // outside 0001-01-01 .. 9999-12-31
        year = month = day = 0;
        return;
    }
    // Count 400-, 100-, 4- and 1-year blocks from 0001-01-01.
    int64_t d = t - 1;
    int64_t y = 1;
    y += 400 * (d / 146097);
    d %= 146097;
    int64_t c = d / 36524;
    if (c == 4) c = 3;  // last day of a 400-year block
    y += 100 * c;
    d -= c * 36524;
    y += 4 * (d / 1461);
    d %= 1461;
    int64_t yy = d / 365;
    if (yy == 4) yy = 3;  // last day of a leap year
    y += yy;
    d -= yy * 365;
    year = static_cast<int>(y);
    int m = 1;
    while (d >= DaysInMonth(year, m)) {
        d -= DaysInMonth(year, m);
        ++m;
    }
    month = m;
    day = static_cast<int>(d) + 1;
}

void DecodeTime(TDateTime dt, int& hour, int& min, int& sec, int& msec) {
    int64_t t, ms;
    SplitDateTime(dt, t, ms);
    hour = static_cast<int>(ms / 3600000);
    min = static_cast<int>(ms / 60000 % 60);
    sec = static_cast<int>(ms / 1000 % 60);
    msec = static_cast<int>(ms % 1000);
}

int DayOfWeek(TDateTime dt) {
    int64_t t, ms;
    SplitDateTime(dt, t, ms);
    int64_t r = t % 7;
    if (r < 0) r += 7;
    return static_cast<int>(r) + 1;
}

TDateTime Now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm lt{};
    localtime_r(&ts.tv_sec, &lt);
    TDateTime d = 0, t = 0;
    TryEncodeDate(lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday, d);
    // A leap second (tm_sec 60) counts as the last second of the minute.
    TryEncodeTime(lt.tm_hour, lt.tm_min, lt.tm_sec > 59 ? 59 : lt.tm_sec,
                  static_cast<int>(ts.tv_nsec / 1000000), t);
    return ComposeDateTime(d, t);
}

TDateTime Date() {
    return std::trunc(Now());
}

TDateTime Time() {
    return Frac(Now());
}
