// Process-wide format settings read from the user's locale through ICU (never from the C
// library's LC_NUMERIC). Texts are kept single-byte: what does not fit is replaced by the
// English defaults.
#include <unicode/datefmt.h>
#include <unicode/dcfmtsym.h>
#include <unicode/decimfmt.h>
#include <unicode/dtfmtsym.h>
#include <unicode/locid.h>
#include <unicode/numfmt.h>
#include <unicode/smpdtfmt.h>

#include <cassert>
#include <cstdlib>
#include <memory>

#include "platform/rtl/SysUtils.h"

namespace {

const char* const kShortMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kLongMonths[12] = {"January", "February", "March",     "April",   "May",      "June",
                                     "July",    "August",   "September", "October", "November", "December"};
const char* const kShortDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kLongDays[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                  "Thursday", "Friday", "Saturday"};

bool IsSpaceLike(UChar32 c) {
    return c == 0x20 || c == 0xA0 || c == 0x202F || c == 0x2009 || c == 0x2007;
}

// UTF-16 to Latin-1 (wide spaces as the no-break space); false when a character has no such form.
bool ToSingleByte(const icu::UnicodeString& u, std::string& out) {
    out.clear();
    for (int32_t i = 0; i < u.length();) {
        UChar32 c = u.char32At(i);
        i += U16_LENGTH(c);
        if (c == 0x200E || c == 0x200F || c == 0x061C) continue;  // direction marks
        if (c <= 0xFF)
            out += static_cast<char>(c);
        else if (IsSpaceLike(c))
            out += '\xA0';
        else if (c == 0x2019)
            out += '\'';
        else
            return false;
    }
    return true;
}

// "it_IT.UTF-8@euro" -> "it_IT"; "C", "POSIX" and nothing -> "en_US".
std::string NormaliseLocaleId(std::string id) {
    size_t cut = id.find_first_of(".@");
    if (cut != std::string::npos) id.resize(cut);
    if (id.empty() || id == "C" || id == "POSIX") return "en_US";
    return id;
}

std::string EnvironmentLocaleId() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(name);
        if (v && *v) return v;
    }
    return "";
}

icu::UnicodeString DatePattern(icu::DateFormat* df) {
    icu::UnicodeString pat;
    if (df && df->getDynamicClassID() == icu::SimpleDateFormat::getStaticClassID())
        static_cast<icu::SimpleDateFormat*>(df)->toPattern(pat);
    return pat;
}

// Translates an ICU date/time pattern to the framework's letters (d m yyyy h n s ddd dddd mmm
// mmmm AMPM). Unless `sepMark` is 0, the first literal that separates fields becomes `sep` and is
// written as `sepMark` ('/' for dates, ':' for times), as the framework's formats expect.
// Returns "" when the pattern holds literals without a single-byte form (the caller keeps its
// default then).
std::string TranslatePattern(const icu::UnicodeString& pat, char sepMark, char& sep) {
    std::string out;
    sep = 0;
    int32_t len = pat.length();
    for (int32_t i = 0; i < len;) {
        UChar32 c = pat.char32At(i);
        if (c == '\'') {
            // Quoted literal; '' is a quote.
            int32_t j = i + 1;
            std::string lit;
            if (j < len && pat.charAt(j) == '\'') {
                out += '\'';
                i = j + 1;
                continue;
            }
            while (j < len) {
                if (pat.charAt(j) == '\'') {
                    if (j + 1 < len && pat.charAt(j + 1) == '\'') {
                        lit += '\'';
                        j += 2;
                        continue;
                    }
                    break;
                }
                std::string b;
                UChar32 lc = pat.char32At(j);
                if (!ToSingleByte(icu::UnicodeString(lc), b)) return "";
                lit += b;
                j += U16_LENGTH(lc);
            }
            i = j + 1;
            if (!lit.empty()) out += "\"" + lit + "\"";
            continue;
        }
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
            int32_t run = 0;
            while (i < len && pat.charAt(i) == c) {
                ++run;
                ++i;
            }
            switch (c) {
                case 'y':
                case 'Y':
                case 'u':
                    out += "yyyy";
                    break;
                case 'M':
                case 'L':
                    out += run == 1 ? "m" : run == 2 ? "mm" : run == 3 ? "mmm" : "mmmm";
                    break;
                case 'd':
                    out += run == 1 ? "d" : "dd";
                    break;
                case 'E':
                case 'c':
                case 'e':
                    out += run <= 3 ? "ddd" : "dddd";
                    break;
                case 'H':
                case 'k':
                case 'h':
                case 'K':
                    out += run == 1 ? "h" : "hh";
                    break;
                case 'm':
                    out += run == 1 ? "n" : "nn";
                    break;
                case 's':
                    out += run == 1 ? "s" : "ss";
                    break;
                case 'a':
                case 'b':
                case 'B':
                    out += "AMPM";
                    break;
                default:
                    break;  // era, zone, fractions: not part of the framework's formats
            }
            continue;
        }
        i += U16_LENGTH(c);
        if (IsSpaceLike(c)) {
            out += ' ';
            continue;
        }
        std::string b;
        if (!ToSingleByte(icu::UnicodeString(c), b)) return "";
        if (sepMark != 0 && sep == 0 && b.size() == 1 && b[0] != ',' && !out.empty()) sep = b[0];
        if (sep != 0 && b.size() == 1 && b[0] == sep)
            out += sepMark;
        else
            out += b;
    }
    // Trim blanks left by dropped fields.
    while (!out.empty() && out.back() == ' ') out.pop_back();
    while (!out.empty() && out.front() == ' ') out.erase(0, 1);
    return out;
}

void ReadNames(const icu::UnicodeString* names, int32_t count, int32_t first, std::string* dest, int n) {
    if (!names || count < first + n) return;
    std::string b;
    for (int k = 0; k < n; ++k)
        if (ToSingleByte(names[first + k], b) && !b.empty()) dest[k] = b;
}

TFormatSettings BuildSettings(const std::string& localeId) {
    TFormatSettings fs;
    for (int k = 0; k < 12; ++k) {
        fs.ShortMonthNames[k] = kShortMonths[k];
        fs.LongMonthNames[k] = kLongMonths[k];
    }
    for (int k = 0; k < 7; ++k) {
        fs.ShortDayNames[k] = kShortDays[k];
        fs.LongDayNames[k] = kLongDays[k];
    }
    icu::Locale loc(NormaliseLocaleId(localeId).c_str());
    if (loc.isBogus()) return fs;

    UErrorCode st = U_ZERO_ERROR;
    icu::DecimalFormatSymbols sym(loc, st);
    if (U_SUCCESS(st)) {
        std::string b;
        if (ToSingleByte(sym.getSymbol(icu::DecimalFormatSymbols::kDecimalSeparatorSymbol), b) &&
            b.size() == 1)
            fs.DecimalSeparator = b[0];
        if (ToSingleByte(sym.getSymbol(icu::DecimalFormatSymbols::kGroupingSeparatorSymbol), b) &&
            b.size() == 1)
            fs.ThousandSeparator = b[0];
        else
            fs.ThousandSeparator = fs.DecimalSeparator == ',' ? '.' : ',';
        if (fs.ThousandSeparator == fs.DecimalSeparator)
            fs.ThousandSeparator = fs.DecimalSeparator == ',' ? '.' : ',';
        if (ToSingleByte(sym.getSymbol(icu::DecimalFormatSymbols::kCurrencySymbol), b) && !b.empty())
            fs.CurrencyString = b;
        else if (ToSingleByte(sym.getSymbol(icu::DecimalFormatSymbols::kIntlCurrencySymbol), b) && !b.empty())
            fs.CurrencyString = b;
    }

    st = U_ZERO_ERROR;
    std::unique_ptr<icu::NumberFormat> cf(icu::NumberFormat::createCurrencyInstance(loc, st));
    if (U_SUCCESS(st) && cf) {
        fs.CurrencyDecimals = cf->getMaximumFractionDigits();
        if (cf->getDynamicClassID() == icu::DecimalFormat::getStaticClassID()) {
            icu::UnicodeString pat;
            static_cast<icu::DecimalFormat*>(cf.get())->toPattern(pat);
            int32_t semi = pat.indexOf(u';');
            if (semi >= 0) pat.truncate(semi);
            int32_t cur = pat.indexOf(static_cast<char16_t>(0x00A4));
            int32_t num = pat.indexOf(u'#');
            if (num < 0) num = pat.indexOf(u'0');
            if (cur >= 0 && num >= 0) {
                bool prefix = cur < num;
                UChar32 between = prefix ? pat.char32At(cur + 1) : pat.char32At(cur - 1);
                bool space = IsSpaceLike(between);
                fs.CurrencyFormat = prefix ? (space ? 2 : 0) : (space ? 3 : 1);
                fs.NegCurrFormat = prefix ? (space ? 9 : 1) : (space ? 8 : 5);
            }
        }
    }

    char sep = 0;
    std::unique_ptr<icu::DateFormat> df(icu::DateFormat::createDateInstance(icu::DateFormat::kShort, loc));
    std::string s = TranslatePattern(DatePattern(df.get()), '/', sep);
    if (!s.empty() && sep != 0) {
        fs.ShortDateFormat = s;
        fs.DateSeparator = sep;
    }
    char ignored = 0;
    df.reset(icu::DateFormat::createDateInstance(icu::DateFormat::kFull, loc));
    // The long format keeps its literals as they stand (no separator mark).
    s = TranslatePattern(DatePattern(df.get()), '\0', ignored);
    if (!s.empty()) fs.LongDateFormat = s;
    df.reset(icu::DateFormat::createTimeInstance(icu::DateFormat::kShort, loc));
    sep = 0;
    s = TranslatePattern(DatePattern(df.get()), ':', sep);
    if (!s.empty()) {
        fs.ShortTimeFormat = s;
        if (sep != 0) fs.TimeSeparator = sep;
    }
    df.reset(icu::DateFormat::createTimeInstance(icu::DateFormat::kMedium, loc));
    sep = 0;
    s = TranslatePattern(DatePattern(df.get()), ':', sep);
    if (!s.empty()) fs.LongTimeFormat = s;

    st = U_ZERO_ERROR;
    icu::DateFormatSymbols dsym(loc, st);
    if (U_SUCCESS(st)) {
        int32_t count = 0;
        const icu::UnicodeString* names =
            dsym.getMonths(count, icu::DateFormatSymbols::FORMAT, icu::DateFormatSymbols::WIDE);
        ReadNames(names, count, 0, fs.LongMonthNames, 12);
        names = dsym.getMonths(count, icu::DateFormatSymbols::FORMAT, icu::DateFormatSymbols::ABBREVIATED);
        ReadNames(names, count, 0, fs.ShortMonthNames, 12);
        // Weekdays are indexed from 1 (Sunday) in ICU.
        names = dsym.getWeekdays(count, icu::DateFormatSymbols::FORMAT, icu::DateFormatSymbols::WIDE);
        ReadNames(names, count, 1, fs.LongDayNames, 7);
        names = dsym.getWeekdays(count, icu::DateFormatSymbols::FORMAT, icu::DateFormatSymbols::ABBREVIATED);
        ReadNames(names, count, 1, fs.ShortDayNames, 7);
        names = dsym.getAmPmStrings(count);
        std::string b;
        if (names && count >= 2) {
            if (ToSingleByte(names[0], b) && !b.empty()) fs.TimeAMString = b;
            if (ToSingleByte(names[1], b) && !b.empty()) fs.TimePMString = b;
        }
    }
    return fs;
}

TFormatSettings& ProcessFormatSettings() {
    static TFormatSettings settings = BuildSettings(EnvironmentLocaleId());
    return settings;
}

// The innermost copy installed on this thread, none when it uses the process-wide settings.
thread_local TFormatSettings* tThreadSettings = nullptr;

}  // namespace

TFormatSettings& FormatSettings() {
    return tThreadSettings ? *tThreadSettings : ProcessFormatSettings();
}

void InitFormatSettingsFromLocale(const std::string& localeId) {
    ProcessFormatSettings() = BuildSettings(localeId.empty() ? EnvironmentLocaleId() : localeId);
}

TThreadFormatSettings::TThreadFormatSettings() : TThreadFormatSettings(FormatSettings()) {}

TThreadFormatSettings::TThreadFormatSettings(const TFormatSettings& settings)
    : FSettings(settings), FPrevious(tThreadSettings) {
    tThreadSettings = &FSettings;
}

TThreadFormatSettings::~TThreadFormatSettings() {
    assert(tThreadSettings == &FSettings);
    tThreadSettings = FPrevious;
}
