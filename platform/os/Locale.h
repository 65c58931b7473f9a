#pragma once
// Locale services for the database over ICU: language ids (low 16 bits of a locale id,
// the sort id in the high 16 bits) map to an ICU locale and an ANSI code page through our
// own table. Strings stay single-byte in the language's code page.
//
// Language 0 stands for no locale; its case mapping is the fixed Windows-1252 table
// (case-insensitive index keys on disk depend on it).
#include <cstdint>
#include <string>
#include <string_view>

// Comparison flags.
constexpr uint32_t NORM_IGNORECASE = 0x00000001;
constexpr uint32_t NORM_IGNORENONSPACE = 0x00000002;
constexpr uint32_t SORT_STRINGSORT = 0x00001000;
// Case mapping flags.
constexpr uint32_t LCMAP_LOWERCASE = 0x00000100;
constexpr uint32_t LCMAP_UPPERCASE = 0x00000200;

// The German phone-book sort order.
constexpr uint16_t SORT_GERMAN_PHONE_BOOK = 1;

struct TLocaleLanguage {
    uint16_t LanguageID;
    const char* Name;  // the engine's language-driver name
    const char* IcuLocale;
    uint16_t CodePage;
};

// The table of languages in the engine's language-list order (without the plain byte
// order, which is language 0).
const TLocaleLanguage* LocaleLanguages(size_t& count);
// The user's default language id: the table row of the environment's locale
// (LC_ALL / LC_MESSAGES / LANG), else the first row of its language, else English (USA).
uint16_t UserDefaultLanguageID();
// The table row of a language id; nil when the language is not known.
const TLocaleLanguage* FindLocaleLanguage(uint16_t languageId);
// The ANSI code page of a locale id (1252 for language 0 and unknown languages).
uint16_t LocaleCodePage(uint32_t lcid);
// Whether the locale id names a language of the table with a sort order it has
// (0, and the phone-book order for German).
bool IsLocaleInstalled(uint32_t lcid);

// Compares two single-byte strings of the locale's code page; a length below 0 means
// zero-terminated. Flags: SORT_STRINGSORT alone compares at tertiary strength;
// NORM_IGNORENONSPACE compares base letters with case as a separate level;
// NORM_IGNORENONSPACE | NORM_IGNORECASE base letters only; NORM_IGNORECASE alone letters
// with their accents. Returns -1, 0 or 1.
int LocaleCompareStrings(uint32_t lcid, uint32_t flags, const char* s1, int n1, const char* s2, int n2);

// Upper- or lower-cases (LCMAP_UPPERCASE / LCMAP_LOWERCASE) n bytes, one character to one
// character; characters without a counterpart in the code page stay as they are.
void LocaleMapCase(uint32_t lcid, uint32_t flags, const char* src, size_t n, char* dest);

// The fixed Windows-1252 case table.
uint8_t AnsiUpperChar(uint8_t c);
uint8_t AnsiLowerChar(uint8_t c);

// Code-page conversion of single-byte strings (874, 1250-1258). Characters that the code
// page lacks become '?' and clear *lossless when given.
std::u16string CodePageToUnicode(uint16_t codePage, std::string_view s);
std::string UnicodeToCodePage(uint16_t codePage, std::u16string_view s, bool* lossless = nullptr);

// Date, time and number formats of a locale, in the framework's format tokens and the
// locale's code page. A field left empty (or a flag false) was not available.
struct TLocaleFormats {
    std::string CurrencyString;
    int CurrencyFormat = -1;  // -1: not available
    int NegCurrFormat = -1;
    char ThousandSeparator = 0;  // 0: not available
    char DecimalSeparator = 0;
    int CurrencyDecimals = -1;
    char DateSeparator = 0;
    std::string ShortDateFormat;
    std::string LongDateFormat;
    char TimeSeparator = 0;
    std::string TimeAMString;
    std::string TimePMString;
    bool HasTimeFormat = false;
    bool HourLeadingZero = false;  // "hh" rather than "h"
    bool TwelveHourClock = false;
    std::string ShortMonthNames[12];
    std::string LongMonthNames[12];
    std::string ShortDayNames[7];  // Sunday first
    std::string LongDayNames[7];
};

// False when the language is not in the table.
bool GetLocaleFormats(uint32_t lcid, TLocaleFormats& formats);
