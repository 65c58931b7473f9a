#include "platform/rtl/DateFormat.h"

#include <cmath>
#include <cstring>

namespace {

// ASCII only: format tokens and AM/PM texts never follow the C library's locale.
char Up(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool StartsWithNoCase(const char* p, const char* word) {
    for (; *word; ++p, ++word)
        if (!*p || Up(*p) != Up(*word)) return false;
    return true;
}

void AppendNumber(std::string& out, int value, int digits) {
    std::string s = std::to_string(value < 0 ? -value : value);
    if (static_cast<int>(s.size()) < digits) s.insert(0, digits - s.size(), '0');
    if (value < 0) s.insert(0, 1, '-');
    out += s;
}

class TDateFormatter {
public:
    TDateFormatter(TDateTime dt, const TFormatSettings& fs) : FDateTime(dt), FSettings(fs) {
        DecodeDate(dt, FYear, FMonth, FDay);
        DecodeTime(dt, FHour, FMin, FSec, FMSec);
    }

    void Append(const std::string& format, std::string& out, int depth = 0) {
        if (depth > 2) return;  // nested c / ddddd / t formats stop here
        const char* p = format.c_str();
        char lastToken = ' ';
        bool use12Hour = false;
        while (*p) {
            char starter = *p++;
            char token = Up(starter);
            if (token >= 'A' && token <= 'Z') {
                if (token == 'M' && lastToken == 'H') token = 'N';
                lastToken = token;
            }
            auto count = [&](int max) {
                int n = 1;
                while (Up(*p) == Up(starter)) {
                    ++p;
                    ++n;
                }
                return n > max ? max : n;
            };
            switch (token) {
                case 'Y': {
                    int n = count(4);
                    if (n <= 2)
                        AppendNumber(out, FYear % 100, 2);
                    else
                        AppendNumber(out, FYear, 4);
                    break;
                }
                case 'M': {
                    int n = count(4);
                    if (n <= 2)
                        AppendNumber(out, FMonth, n);
                    else if (n == 3)
                        out += FSettings.ShortMonthNames[FMonth - 1];
                    else
                        out += FSettings.LongMonthNames[FMonth - 1];
                    break;
                }
                case 'D': {
                    int n = count(6);
                    int dow = DayOfWeek(FDateTime) - 1;
                    switch (n) {
                        case 1:
                        case 2:
                            AppendNumber(out, FDay, n);
                            break;
                        case 3:
                            out += FSettings.ShortDayNames[dow];
                            break;
                        case 4:
                            out += FSettings.LongDayNames[dow];
                            break;
                        case 5:
                            Append(FSettings.ShortDateFormat, out, depth + 1);
                            break;
                        default:
                            Append(FSettings.LongDateFormat, out, depth + 1);
                            break;
                    }
                    break;
                }
                case 'H': {
                    int n = count(2);
                    // 12-hour clock when an am/pm token follows before the next hour token.
                    use12Hour = false;
                    bool quoted = false;
                    for (const char* q = p; *q; ++q) {
                        if (*q == '\'' || *q == '"') {
                            quoted = !quoted;
                        } else if (!quoted && (*q == 'a' || *q == 'A')) {
                            use12Hour = StartsWithNoCase(q, "AM/PM") || StartsWithNoCase(q, "A/P") ||
                                        StartsWithNoCase(q, "AMPM");
                            break;
                        } else if (!quoted && (*q == 'h' || *q == 'H')) {
                            break;
                        }
                    }
                    int h = FHour;
                    if (use12Hour) {
                        if (h == 0)
                            h = 12;
                        else if (h > 12)
                            h -= 12;
                    }
                    AppendNumber(out, h, n);
                    break;
                }
                case 'N':
                    AppendNumber(out, FMin, count(2));
                    break;
                case 'S':
                    AppendNumber(out, FSec, count(2));
                    break;
                case 'Z': {
                    int n = count(3);
                    AppendNumber(out, FMSec, n == 3 ? 3 : 1);
                    break;
                }
                case 'T': {
                    int n = count(2);
                    Append(n == 1 ? FSettings.ShortTimeFormat : FSettings.LongTimeFormat, out, depth + 1);
                    break;
                }
                case 'C': {
                    count(1);
                    Append(FSettings.ShortDateFormat, out, depth + 1);
                    if (FHour != 0 || FMin != 0 || FSec != 0) {
                        out += ' ';
                        Append(FSettings.LongTimeFormat, out, depth + 1);
                    }
                    break;
                }
                case 'A': {
                    const char* q = p - 1;
                    if (StartsWithNoCase(q, "AM/PM")) {
                        out.append(FHour >= 12 ? q + 3 : q, 2);
                        p += 4;
                    } else if (StartsWithNoCase(q, "A/P")) {
                        out.append(FHour >= 12 ? q + 2 : q, 1);
                        p += 2;
                    } else if (StartsWithNoCase(q, "AMPM")) {
                        out += FHour < 12 ? FSettings.TimeAMString : FSettings.TimePMString;
                        p += 3;
                    } else {
                        out += starter;
                    }
                    break;
                }
                case '/':
                    out += FSettings.DateSeparator;
                    break;
                case ':':
                    out += FSettings.TimeSeparator;
                    break;
                case '\'':
                case '"': {
                    while (*p && *p != starter) out += *p++;
                    if (*p) ++p;
                    break;
                }
                default:
                    out += starter;
                    break;
            }
        }
    }

private:
    TDateTime FDateTime;
    const TFormatSettings& FSettings;
    int FYear, FMonth, FDay, FHour, FMin, FSec, FMSec;
};

// Text scanner of the framework's date and time parsing.
struct TScanner {
    const std::string& S;
    size_t Pos = 0;

    void Blanks() {
        while (Pos < S.size() && S[Pos] == ' ') ++Pos;
    }
    bool Number(int& n, int& len) {
        Blanks();
        size_t start = Pos;
        n = 0;
        while (Pos < S.size() && S[Pos] >= '0' && S[Pos] <= '9' && n < 1000) n = n * 10 + (S[Pos++] - '0');
        len = static_cast<int>(Pos - start);
        return len > 0;
    }
    bool Char(char c) {
        Blanks();
        if (Pos < S.size() && S[Pos] == c) {
            ++Pos;
            return true;
        }
        return false;
    }
    bool Word(const std::string& w) {
        Blanks();
        if (w.empty() || S.size() - Pos < w.size()) return false;
        for (size_t k = 0; k < w.size(); ++k)
            if (Up(S[Pos + k]) != Up(w[k])) return false;
        Pos += w.size();
        return true;
    }
    bool AtEnd() const { return Pos >= S.size(); }
};

enum TDateOrder { doMDY, doDMY, doYMD };

TDateOrder GetDateOrder(const std::string& format) {
    for (char c : format) {
        switch (Up(c)) {
            case 'D':
                return doDMY;
            case 'Y':
                return doYMD;
            case 'M':
                return doMDY;
        }
    }
    return doMDY;
}

int CurrentYear() {
    int y, m, d;
    DecodeDate(Date(), y, m, d);
    return y;
}

bool ScanDate(TScanner& sc, TDateTime& date) {
    const TFormatSettings& fs = FormatSettings();
    TDateOrder order = GetDateOrder(fs.ShortDateFormat);
    int n1, n2, n3, l1, l2, l3;
    int y, m, d;
    if (!(sc.Number(n1, l1) && sc.Char(fs.DateSeparator) && sc.Number(n2, l2))) return false;
    if (sc.Char(fs.DateSeparator)) {
        if (!sc.Number(n3, l3)) return false;
        int ylen;
        switch (order) {
            case doMDY:
                y = n3, m = n1, d = n2, ylen = l3;
                break;
            case doDMY:
                y = n3, m = n2, d = n1, ylen = l3;
                break;
            default:
                y = n1, m = n2, d = n3, ylen = l1;
                break;
        }
        if (ylen <= 2) {
            int base = CurrentYear() - 50;
            y += base / 100 * 100;
            if (y < base) y += 100;
        }
    } else {
        y = CurrentYear();
        if (order == doDMY)
            d = n1, m = n2;
        else
            m = n1, d = n2;
    }
    sc.Char(fs.DateSeparator);
    sc.Blanks();
    return TryEncodeDate(y, m, d, date);
}

bool ScanTime(TScanner& sc, TDateTime& time) {
    const TFormatSettings& fs = FormatSettings();
    int baseHour = -1;
    if (sc.Word(fs.TimeAMString) || sc.Word("AM"))
        baseHour = 0;
    else if (sc.Word(fs.TimePMString) || sc.Word("PM"))
        baseHour = 12;
    int hour, min = 0, sec = 0, msec = 0, len;
    if (!sc.Number(hour, len)) return false;
    if (sc.Char(fs.TimeSeparator)) {
        if (!sc.Number(min, len)) return false;
        if (sc.Char(fs.TimeSeparator)) {
            if (!sc.Number(sec, len)) return false;
            if (sc.Char(fs.DecimalSeparator))
                if (!sc.Number(msec, len)) return false;
        }
    }
    if (baseHour < 0) {
        if (sc.Word(fs.TimeAMString) || sc.Word("AM"))
            baseHour = 0;
        else if (sc.Word(fs.TimePMString) || sc.Word("PM"))
            baseHour = 12;
    }
    if (baseHour >= 0) {
        if (hour == 0 || hour > 12) return false;
        if (hour == 12) hour = 0;
        hour += baseHour;
    }
    sc.Blanks();
    return TryEncodeTime(hour, min, sec, msec, time);
}

[[noreturn]] void RaiseInvalidTimeStamp(const std::string& text) {
    throw EConvertError("'" + text + "' is not a valid timestamp");
}

}  // namespace

TTimeStamp DateTimeToTimeStamp(TDateTime dt) {
    TTimeStamp ts;
    double whole = std::trunc(dt);
    // Only a day number of 32 bits makes a time stamp (the day after it included).
    if (!(whole > double(INT32_MIN) - DateDelta + 1 && whole < double(INT32_MAX) - DateDelta - 1))
        RaiseInvalidTimeStamp(FloatToStr(dt));
    int64_t ms = std::llround(std::fabs(dt - whole) * MSecsPerDay);
    int32_t date = DateDelta + static_cast<int32_t>(whole);
    if (ms >= MSecsPerDay) {
        ms -= MSecsPerDay;
        date += dt < 0 ? -1 : 1;
    }
    ts.Time = static_cast<int32_t>(ms);
    ts.Date = date;
    return ts;
}

TDateTime TimeStampToDateTime(const TTimeStamp& ts) {
    if (ts.Time < 0 || ts.Date <= 0)
        RaiseInvalidTimeStamp(std::to_string(ts.Date) + "." + std::to_string(ts.Time));
    double days = static_cast<double>(ts.Date) - DateDelta;
    double frac = static_cast<double>(ts.Time) / MSecsPerDay;
    return days < 0 ? days - frac : days + frac;
}

double TimeStampToMSecs(const TTimeStamp& ts) {
    return static_cast<double>(ts.Date) * MSecsPerDay + static_cast<double>(ts.Time);
}

TTimeStamp MSecsToTimeStamp(double msecs) {
    TTimeStamp ts;
    double days = std::floor(msecs / MSecsPerDay);
    // Only a day number of 32 bits makes a time stamp.
    if (!(days >= INT32_MIN && days <= INT32_MAX)) RaiseInvalidTimeStamp(FloatToStr(msecs));
    ts.Date = static_cast<int32_t>(days);
    ts.Time = static_cast<int32_t>(msecs - days * MSecsPerDay);
    return ts;
}

std::string FormatDateTime(const std::string& format, TDateTime dt, const TFormatSettings& fs) {
    std::string out;
    TDateFormatter f(dt, fs);
    f.Append(format.empty() ? std::string("C") : format, out);
    return out;
}

std::string FormatDateTime(const std::string& format, TDateTime dt) {
    return FormatDateTime(format, dt, FormatSettings());
}

std::string DateToStr(TDateTime dt) {
    return FormatDateTime("ddddd", dt);
}
std::string TimeToStr(TDateTime dt) {
    return FormatDateTime("tt", dt);
}
std::string DateTimeToStr(TDateTime dt) {
    return FormatDateTime("c", dt);
}

bool TryStrToDate(const std::string& s, TDateTime& v) {
    TScanner sc{s};
    TDateTime d;
    if (!ScanDate(sc, d) || !sc.AtEnd()) return false;
    v = d;
    return true;
}

bool TryStrToTime(const std::string& s, TDateTime& v) {
    TScanner sc{s};
    TDateTime t;
    if (!ScanTime(sc, t) || !sc.AtEnd()) return false;
    v = t;
    return true;
}

bool TryStrToDateTime(const std::string& s, TDateTime& v) {
    TScanner sc{s};
    TDateTime d, t = 0;
    if (ScanDate(sc, d) && (sc.AtEnd() || (ScanTime(sc, t) && sc.AtEnd()))) {
        v = ComposeDateTime(d, t);
        return true;
    }
    return TryStrToTime(s, v);
}

TDateTime StrToDate(const std::string& s) {
    TDateTime v;
    if (!TryStrToDate(s, v)) throw EConvertError("'" + s + "' is not a valid date");
    return v;
}

TDateTime StrToTime(const std::string& s) {
    TDateTime v;
    if (!TryStrToTime(s, v)) throw EConvertError("'" + s + "' is not a valid time");
    return v;
}

TDateTime StrToDateTime(const std::string& s) {
    TDateTime v;
    if (!TryStrToDateTime(s, v)) throw EConvertError("'" + s + "' is not a valid date and time");
    return v;
}
