#pragma once
// Date and time as text with the framework's format tokens, and the day-number time stamp.
//
// Tokens (case-insensitive): c, d, dd, ddd, dddd, ddddd, dddddd, m, mm, mmm, mmmm, yy, yyyy,
// h, hh, n, nn, s, ss, z, zzz, t, tt, am/pm, a/p, ampm, / (date separator), : (time
// separator), quoted text. "m" following an "h" token means minutes.
#include <cstdint>
#include <string>

#include "platform/rtl/DateTime.h"
#include "platform/rtl/SysUtils.h"

// Days from 0001-01-01 (day 1) to 1899-12-30 (TDateTime 0).
constexpr int32_t DateDelta = 693594;
constexpr int32_t MSecsPerDay = 86400000;

// A date as the day number counted from 0001-01-01 = 1, and milliseconds of the day.
struct TTimeStamp {
    int32_t Time = 0;
    int32_t Date = 0;
};

TTimeStamp DateTimeToTimeStamp(TDateTime dt);
// EConvertError "'<date>.<time>' is not a valid timestamp" for a day below 1 or a
// negative time.
TDateTime TimeStampToDateTime(const TTimeStamp& ts);
// Milliseconds since the start of day 1 (Date × 86,400,000 + Time).
double TimeStampToMSecs(const TTimeStamp& ts);
// EConvertError when the day number does not fit 32 bits (or the value is not a number).
TTimeStamp MSecsToTimeStamp(double msecs);

std::string FormatDateTime(const std::string& format, TDateTime dt);
std::string FormatDateTime(const std::string& format, TDateTime dt, const TFormatSettings& fs);
std::string DateToStr(TDateTime dt);      // short date format
std::string TimeToStr(TDateTime dt);      // long time format
std::string DateTimeToStr(TDateTime dt);  // short date, then the long time when not midnight

// Parsing follows the settings' short date format order (day, month, year) and the date,
// time and decimal separators; failures raise EConvertError ("'%s' is not a valid date",
// "... time", "... date and time"). A two-digit year falls within 50 years of the current
// year; a date without a year takes the current year.
TDateTime StrToDate(const std::string& s);
TDateTime StrToTime(const std::string& s);
TDateTime StrToDateTime(const std::string& s);
bool TryStrToDate(const std::string& s, TDateTime& v);
bool TryStrToTime(const std::string& s, TDateTime& v);
bool TryStrToDateTime(const std::string& s, TDateTime& v);
