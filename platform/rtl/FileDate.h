#pragma once
// File modification dates as local date-times (the framework's FileAge / FileSetDate).
#include <ctime>
#include <string>

#include "platform/rtl/DateTime.h"

// Local date-time of a point in time, and back (dates before 1970 clamp to 1970).
TDateTime UnixTimeToLocalDateTime(const timespec& Time);
timespec LocalDateTimeToUnixTime(TDateTime Time);
// The file's modification date; false when the file does not exist.
bool FileAge(const std::string& Path, TDateTime& Age);
// Sets the file's modification (and access) date; false on failure.
bool FileSetDate(const std::string& Path, TDateTime Age);
bool FileSetDate(int Handle, TDateTime Age);
