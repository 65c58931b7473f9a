// Process-wide format settings read from the user's locale through ICU (never from the C
// library's LC_NUMERIC). Texts are kept single-byte: what does not fit is replaced by the
// English defaults.
//
// ICU is loaded on the first reading of the settings, not linked: most programs on the
// runtime (the web engine's CGI programs among them) never read them, and loading ICU's
// libraries would cost each of their starts more than their own work. Without ICU the
// settings keep the English defaults.
#define U_SHOW_CPLUSPLUS_API 0
#include <dlfcn.h>
#include <unicode/udat.h>
#include <unicode/uloc.h>
#include <unicode/unum.h>
#include <unicode/uvernum.h>

#include <cassert>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/rtl/SysUtils.h"

namespace {

// ICU's C entry points, found by their versioned names in the library the runtime was
// built against.
#define ZELTO_ICU_NAME2(x) #x
#define ZELTO_ICU_NAME(x) ZELTO_ICU_NAME2(x)
// clang-format off
#define ZELTO_ICU_CALLS(X) \
    X(uloc_getName) \
    X(unum_open) X(unum_close) X(unum_getSymbol) X(unum_getAttribute) X(unum_toPattern) \
    X(udat_open) X(udat_close) X(udat_toPattern) X(udat_countSymbols) X(udat_getSymbols)
// clang-format on

struct TIcu {
#define ZELTO_ICU_FIELD(f) decltype(&f) f##_;
    ZELTO_ICU_CALLS(ZELTO_ICU_FIELD)
#undef ZELTO_ICU_FIELD
};

// Loaded once per process and kept; nil when ICU is not there.
const TIcu* Icu() {
    static const TIcu* icu = []() -> const TIcu* {
        void* lib = dlopen("libicui18n.so." U_ICU_VERSION_SHORT, RTLD_NOW | RTLD_LOCAL);
        if (!lib) return nullptr;
        static TIcu calls;
        bool complete = true;
#define ZELTO_ICU_FIND(f)                                                       \
    calls.f##_ = reinterpret_cast<decltype(&f)>(dlsym(lib, ZELTO_ICU_NAME(f))); \
    complete = complete && calls.f##_ != nullptr;
        ZELTO_ICU_CALLS(ZELTO_ICU_FIND)
#undef ZELTO_ICU_FIND
        return complete ? &calls : nullptr;
    }();
    return icu;
}

using TUString = std::u16string;

// Reads an ICU string through `call(buffer, capacity, status)`, growing the buffer once when
// it was too small. Empty on failure.
template <class Call>
TUString ReadUString(Call call) {
    TUString s(64, u'\0');
    UErrorCode st = U_ZERO_ERROR;
    int32_t n = call(s.data(), static_cast<int32_t>(s.size()), &st);
    if (st == U_BUFFER_OVERFLOW_ERROR) {
        s.assign(n, u'\0');
        st = U_ZERO_ERROR;
        n = call(s.data(), static_cast<int32_t>(s.size()), &st);
    }
    if (U_FAILURE(st) || n < 0) return TUString();
    s.resize(n);
    return s;
}

// The code point at i and its length in UTF-16 units (a lone surrogate stands for itself).
UChar32 CharAt(const TUString& s, size_t i, size_t& len) {
    char16_t c = s[i];
    if (U16_IS_LEAD(c) && i + 1 < s.size() && U16_IS_TRAIL(s[i + 1])) {
        len = 2;
        return U16_GET_SUPPLEMENTARY(c, s[i + 1]);
    }
    len = 1;
    return c;
}

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

// One character to Latin-1 (wide spaces as the no-break space); false when it has no such
// form. Direction marks give nothing.
bool AppendSingleByte(UChar32 c, std::string& out) {
    if (c == 0x200E || c == 0x200F || c == 0x061C)
        ;
    else if (c <= 0xFF)
        out += static_cast<char>(c);
    else if (IsSpaceLike(c))
        out += '\xA0';
    else if (c == 0x2019)
        out += '\'';
    else
        return false;
    return true;
}

// UTF-16 to Latin-1; false when a character has no such form.
bool ToSingleByte(const TUString& u, std::string& out) {
    out.clear();
    size_t len = 0;
    for (size_t i = 0; i < u.size(); i += len)
        if (!AppendSingleByte(CharAt(u, i, len), out)) return false;
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

// The pattern of a date/time format of the locale; empty when there is none.
TUString DatePattern(const TIcu& icu, UDateFormatStyle timeStyle, UDateFormatStyle dateStyle,
                     const char* loc) {
    UErrorCode st = U_ZERO_ERROR;
    UDateFormat* df = icu.udat_open_(timeStyle, dateStyle, loc, nullptr, 0, nullptr, 0, &st);
    if (U_FAILURE(st) || !df) return TUString();
    TUString pat = ReadUString(
        [&](UChar* buf, int32_t cap, UErrorCode* s) { return icu.udat_toPattern_(df, false, buf, cap, s); });
    icu.udat_close_(df);
    return pat;
}

// Translates an ICU date/time pattern to the framework's letters (d m yyyy h n s ddd dddd mmm
// mmmm AMPM). Unless `sepMark` is 0, the first literal that separates fields becomes `sep` and is
// written as `sepMark` ('/' for dates, ':' for times), as the framework's formats expect.
// Returns "" when the pattern holds literals without a single-byte form (the caller keeps its
// default then).
std::string TranslatePattern(const TUString& pat, char sepMark, char& sep) {
    std::string out;
    sep = 0;
    const size_t len = pat.size();
    size_t clen = 0;
    for (size_t i = 0; i < len;) {
        UChar32 c = CharAt(pat, i, clen);
        if (c == '\'') {
            // Quoted literal; '' is a quote.
            size_t j = i + 1;
            std::string lit;
            if (j < len && pat[j] == '\'') {
                out += '\'';
                i = j + 1;
                continue;
            }
            while (j < len) {
                if (pat[j] == '\'') {
                    if (j + 1 < len && pat[j + 1] == '\'') {
                        lit += '\'';
                        j += 2;
                        continue;
                    }
                    break;
                }
                size_t llen = 0;
                if (!AppendSingleByte(CharAt(pat, j, llen), lit)) return "";
                j += llen;
            }
            i = j + 1;
            if (!lit.empty()) out += "\"" + lit + "\"";
            continue;
        }
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
            int32_t run = 0;
            while (i < len && pat[i] == c) {
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
        i += clen;
        if (IsSpaceLike(c)) {
            out += ' ';
            continue;
        }
        std::string b;
        if (!AppendSingleByte(c, b)) return "";
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

// Names of one kind from `first` on (ICU counts weekdays from 1, Sunday); a name without a
// single-byte form keeps the default.
void ReadNames(const TIcu& icu, const UDateFormat* df, UDateFormatSymbolType type, int32_t first,
               std::string* dest, int n) {
    if (icu.udat_countSymbols_(df, type) < first + n) return;
    std::string b;
    for (int k = 0; k < n; ++k) {
        TUString name = ReadUString([&](UChar* buf, int32_t cap, UErrorCode* s) {
            return icu.udat_getSymbols_(df, type, first + k, buf, cap, s);
        });
        if (ToSingleByte(name, b) && !b.empty()) dest[k] = b;
    }
}

void ReadNumberFormats(const TIcu& icu, const char* loc, TFormatSettings& fs) {
    UErrorCode st = U_ZERO_ERROR;
    UNumberFormat* nf = icu.unum_open_(UNUM_DECIMAL, nullptr, 0, loc, nullptr, &st);
    if (U_SUCCESS(st) && nf) {
        auto symbol = [&](UNumberFormatSymbol which) {
            return ReadUString([&](UChar* buf, int32_t cap, UErrorCode* s) {
                return icu.unum_getSymbol_(nf, which, buf, cap, s);
            });
        };
        std::string b;
        if (ToSingleByte(symbol(UNUM_DECIMAL_SEPARATOR_SYMBOL), b) && b.size() == 1)
            fs.DecimalSeparator = b[0];
        if (ToSingleByte(symbol(UNUM_GROUPING_SEPARATOR_SYMBOL), b) && b.size() == 1)
            fs.ThousandSeparator = b[0];
        else
            fs.ThousandSeparator = fs.DecimalSeparator == ',' ? '.' : ',';
        if (fs.ThousandSeparator == fs.DecimalSeparator)
            fs.ThousandSeparator = fs.DecimalSeparator == ',' ? '.' : ',';
        if (ToSingleByte(symbol(UNUM_CURRENCY_SYMBOL), b) && !b.empty())
            fs.CurrencyString = b;
        else if (ToSingleByte(symbol(UNUM_INTL_CURRENCY_SYMBOL), b) && !b.empty())
            fs.CurrencyString = b;
    }
    if (nf) icu.unum_close_(nf);

    st = U_ZERO_ERROR;
    UNumberFormat* cf = icu.unum_open_(UNUM_CURRENCY, nullptr, 0, loc, nullptr, &st);
    if (U_SUCCESS(st) && cf) {
        fs.CurrencyDecimals = icu.unum_getAttribute_(cf, UNUM_MAX_FRACTION_DIGITS);
        TUString pat = ReadUString([&](UChar* buf, int32_t cap, UErrorCode* s) {
            return icu.unum_toPattern_(cf, false, buf, cap, s);
        });
        pat = pat.substr(0, pat.find(u';'));
        size_t cur = pat.find(static_cast<char16_t>(0x00A4));
        size_t num = pat.find(u'#');
        if (num == TUString::npos) num = pat.find(u'0');
        if (cur != TUString::npos && num != TUString::npos) {
            bool prefix = cur < num;
            size_t len = 0;
            UChar32 between = prefix ? (cur + 1 < pat.size() ? CharAt(pat, cur + 1, len) : 0)
                                     : (cur > 0 ? CharAt(pat, cur - 1, len) : 0);
            bool space = IsSpaceLike(between);
            fs.CurrencyFormat = prefix ? (space ? 2 : 0) : (space ? 3 : 1);
            fs.NegCurrFormat = prefix ? (space ? 9 : 1) : (space ? 8 : 5);
        }
    }
    if (cf) icu.unum_close_(cf);
}

void ReadDateFormats(const TIcu& icu, const char* loc, TFormatSettings& fs) {
    char sep = 0;
    std::string s = TranslatePattern(DatePattern(icu, UDAT_NONE, UDAT_SHORT, loc), '/', sep);
    if (!s.empty() && sep != 0) {
        fs.ShortDateFormat = s;
        fs.DateSeparator = sep;
    }
    char ignored = 0;
    // The long format keeps its literals as they stand (no separator mark).
    s = TranslatePattern(DatePattern(icu, UDAT_NONE, UDAT_FULL, loc), '\0', ignored);
    if (!s.empty()) fs.LongDateFormat = s;
    sep = 0;
    s = TranslatePattern(DatePattern(icu, UDAT_SHORT, UDAT_NONE, loc), ':', sep);
    if (!s.empty()) {
        fs.ShortTimeFormat = s;
        if (sep != 0) fs.TimeSeparator = sep;
    }
    sep = 0;
    s = TranslatePattern(DatePattern(icu, UDAT_MEDIUM, UDAT_NONE, loc), ':', sep);
    if (!s.empty()) fs.LongTimeFormat = s;

    // Month and day names of the Gregorian calendar, whatever calendar the locale prefers.
    std::string gregorian = std::string(loc) + "@calendar=gregorian";
    UErrorCode st = U_ZERO_ERROR;
    UDateFormat* df = icu.udat_open_(UDAT_NONE, UDAT_SHORT, gregorian.c_str(), nullptr, 0, nullptr, 0, &st);
    if (U_SUCCESS(st) && df) {
        ReadNames(icu, df, UDAT_MONTHS, 0, fs.LongMonthNames, 12);
        ReadNames(icu, df, UDAT_SHORT_MONTHS, 0, fs.ShortMonthNames, 12);
        ReadNames(icu, df, UDAT_WEEKDAYS, 1, fs.LongDayNames, 7);
        ReadNames(icu, df, UDAT_SHORT_WEEKDAYS, 1, fs.ShortDayNames, 7);
        std::string ampm[2] = {fs.TimeAMString, fs.TimePMString};
        ReadNames(icu, df, UDAT_AM_PMS, 0, ampm, 2);
        fs.TimeAMString = ampm[0];
        fs.TimePMString = ampm[1];
    }
    if (df) icu.udat_close_(df);
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
    const TIcu* icu = Icu();
    if (!icu) return fs;
    // The locale's name as ICU reads it; a malformed one keeps the defaults.
    char loc[ULOC_FULLNAME_CAPACITY];
    UErrorCode st = U_ZERO_ERROR;
    int32_t n = icu->uloc_getName_(NormaliseLocaleId(localeId).c_str(), loc, sizeof(loc), &st);
    if (U_FAILURE(st) || st == U_STRING_NOT_TERMINATED_WARNING || n >= static_cast<int32_t>(sizeof(loc)))
        return fs;
    ReadNumberFormats(*icu, loc, fs);
    ReadDateFormats(*icu, loc, fs);
    return fs;
}

TFormatSettings& ProcessFormatSettings() {
    static TFormatSettings settings = BuildSettings(EnvironmentLocaleId());
    return settings;
}

// The innermost copy installed on this thread, none when it uses the process-wide settings;
// while its source is set, the copy still has to be taken from there.
thread_local TFormatSettings* tThreadSettings = nullptr;
thread_local const TFormatSettings* tThreadSource = nullptr;

}  // namespace

TFormatSettings& FormatSettings() {
    if (tThreadSource) {
        *tThreadSettings = *tThreadSource;
        tThreadSource = nullptr;
    }
    return tThreadSettings ? *tThreadSettings : ProcessFormatSettings();
}

void InitFormatSettingsFromLocale(const std::string& localeId) {
    ProcessFormatSettings() = BuildSettings(localeId.empty() ? EnvironmentLocaleId() : localeId);
}

TThreadFormatSettings::TThreadFormatSettings() : TThreadFormatSettings(FormatSettings()) {}

TThreadFormatSettings::TThreadFormatSettings(const TFormatSettings& settings) : FSettings(settings) {}

TThreadFormatSettingsScope::TThreadFormatSettingsScope(TFormatSettings& settings,
                                                       const TFormatSettings* source)
    : FSettings(&settings), FPrevious(tThreadSettings), FPreviousSource(tThreadSource) {
    tThreadSettings = FSettings;
    tThreadSource = source;
}

TThreadFormatSettingsScope::~TThreadFormatSettingsScope() {
    assert(tThreadSettings == FSettings);
    tThreadSettings = FPrevious;
    tThreadSource = FPreviousSource;
}
