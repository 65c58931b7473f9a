#pragma once
// Date-time as days since 1899-12-30 with the time of day as the fraction.
#include <cstdint>
#include <string>

using TDateTime = double;

TDateTime Now();
TDateTime Date();
TDateTime Time();
TDateTime EncodeDate(int year, int month, int day);  // raises EConvertError on a bad date
TDateTime EncodeTime(int hour, int min, int sec, int msec);
bool TryEncodeDate(int year, int month, int day, TDateTime& out);
bool TryEncodeTime(int hour, int min, int sec, int msec, TDateTime& out);
// A date and a time of day as one value: before 1899-12-30 the date is negative and the
// time's fraction is counted away from zero.
TDateTime ComposeDateTime(TDateTime date, TDateTime time);
void DecodeDate(TDateTime dt, int& year, int& month, int& day);
void DecodeTime(TDateTime dt, int& hour, int& min, int& sec, int& msec);
bool IsLeapYear(int year);
int DaysInMonth(int year, int month);
int DayOfWeek(TDateTime dt);  // 1 = Sunday ... 7 = Saturday
