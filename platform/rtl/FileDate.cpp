// File modification dates as local date-times.
#include "platform/rtl/FileDate.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cmath>

namespace {
constexpr double UnixEpochDays = 25569.0;  // 1970-01-01 as a date-time
}

TDateTime UnixTimeToLocalDateTime(const timespec& Time) {
    tm lt{};
    localtime_r(&Time.tv_sec, &lt);
    TDateTime d = 0, t = 0;
    TryEncodeDate(lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday, d);
    TryEncodeTime(lt.tm_hour, lt.tm_min, lt.tm_sec > 59 ? 59 : lt.tm_sec,
                  static_cast<int>(Time.tv_nsec / 1000000), t);
    return ComposeDateTime(d, t);
}

timespec LocalDateTimeToUnixTime(TDateTime Time) {
    timespec ts{};
    if (!(Time > UnixEpochDays)) return ts;
    // The wall-clock fields, then mktime for the zone's offset at that time.
    const int64_t ms = std::llround((Time - UnixEpochDays) * 86400000.0);
    time_t wall = static_cast<time_t>(ms / 1000);
    tm fields{};
    gmtime_r(&wall, &fields);
    fields.tm_isdst = -1;
    time_t t = mktime(&fields);
    if (t == static_cast<time_t>(-1) || t < 0) return ts;
    ts.tv_sec = t;
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000;
    return ts;
}

bool FileAge(const std::string& Path, TDateTime& Age) {
    struct stat st {};
    if (::stat(Path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
    Age = UnixTimeToLocalDateTime(st.st_mtim);
    return true;
}

bool FileSetDate(const std::string& Path, TDateTime Age) {
    const timespec t = LocalDateTimeToUnixTime(Age);
    const timespec times[2] = {t, t};
    return ::utimensat(AT_FDCWD, Path.c_str(), times, 0) == 0;
}

bool FileSetDate(int Handle, TDateTime Age) {
    const timespec t = LocalDateTimeToUnixTime(Age);
    const timespec times[2] = {t, t};
    return ::futimens(Handle, times) == 0;
}
