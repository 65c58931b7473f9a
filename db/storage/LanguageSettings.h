#pragma once
// Per-table locale: the format record swapped into the calling thread's settings around
// text parsing and formatting, locale comparison and case mapping, and the cache of 256-byte
// collation maps. Language 0 means no locale: byte order and fixed formats.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "db/storage/SystemList.h"
#include "platform/rtl/SyncObjs.h"
#include "platform/rtl/SysUtils.h"

struct TLanguageSettings {
    std::string CurrencyString;
    uint8_t CurrencyFormat = 0;
    uint8_t NegCurrFormat = 0;
    char ThousandSeparator = ',';
    char DecimalSeparator = '.';
    uint8_t CurrencyDecimals = 2;
    char DateSeparator = '/';
    std::string ShortDateFormat;
    std::string LongDateFormat;
    char TimeSeparator = ':';
    std::string TimeAMString;
    std::string TimePMString;
    std::string ShortTimeFormat;
    std::string LongTimeFormat;
    std::string ShortMonthNames[12];
    std::string LongMonthNames[12];
    std::string ShortDayNames[7];  // Sunday first
    std::string LongDayNames[7];
};

// Locale id: language in the low 16 bits, sort order in the high 16 bits.
constexpr uint32_t MakeLCID(uint16_t language, uint16_t sort) {
    return static_cast<uint32_t>(language) | (static_cast<uint32_t>(sort) << 16);
}
constexpr uint16_t MakeLangID(uint16_t primary, uint16_t sub) {
    return static_cast<uint16_t>(sub * 1024 + primary);
}

void GetLanguageSettings(uint16_t language, uint16_t sort, TLanguageSettings& settings);
// The format settings in force on the calling thread into the record, and back (into the
// swap's own copy inside a TLanguageSettingsSwap, else into the process-wide settings).
void SaveLanguageSettings(TLanguageSettings& settings);
void RestoreLanguageSettings(const TLanguageSettings& settings);

// Puts a table's formats into force for its lifetime, on the calling thread only: installs
// those of the language and sort as the thread's own copy; the destructor reinstates the
// settings in force before (also when the work raised). The thread builds a language's
// settings once, under the library lock, and keeps them for its later swaps. Other threads
// go on formatting with their settings meanwhile. Nests on one thread.
class TLanguageSettingsSwap {
public:
    TLanguageSettingsSwap(uint16_t language, uint16_t sort);
    ~TLanguageSettingsSwap();
    TLanguageSettingsSwap(const TLanguageSettingsSwap&) = delete;
    TLanguageSettingsSwap& operator=(const TLanguageSettingsSwap&) = delete;

private:
    std::optional<TThreadFormatSettingsScope> FTableSettings;
};

template <class F>
decltype(auto) RunWithLanguageSettings(uint16_t language, uint16_t sort, F&& work) {
    TLanguageSettingsSwap swap(language, sort);
    return std::forward<F>(work)();
}

// Results -1, 0, 1.
int CompareCharLCID(uint32_t lcid, char a, char b);
int CompareCharLocale(uint16_t language, uint16_t sort, char a, char b);
// A nil first buffer gives 1; descending reverses the sense of the first difference.
int CompareBuffers(const void* a, const void* b, int32_t count, bool descending);
// Zero-terminated strings; a length of 0 compares the whole strings. Language 0 compares
// bytes and, when case-insensitive, upper-cases both strings in place first.
int CompareStrLocale(uint16_t language, uint16_t sort, char* s1, bool caseInsensitive, int32_t length,
                     char* s2);

// Case mapping of a zero-terminated string into dest (which may be the source).
// Language 0 uses the Windows-1252 table.
void UpperCaseLocale(uint16_t language, uint16_t sort, const char* source, char* dest);
void LowerCaseLocale(uint16_t language, uint16_t sort, const char* source, char* dest);

// The collation-map cache: per language and sort, the 256 byte values in the locale's
// character order (identity for language 0). Built once, never evicted.
class TLanguageCharMapsList : public TObject {
public:
    TLanguageCharMapsList();
    ~TLanguageCharMapsList() override;
    TLanguageCharMapsList(const TLanguageCharMapsList&) = delete;
    TLanguageCharMapsList& operator=(const TLanguageCharMapsList&) = delete;

    void GetCharMap(uint16_t language, uint16_t sort, uint8_t* map);
    void Clear();
    int32_t Count();
    static void BuildCharMap(uint16_t language, uint16_t sort, uint8_t* map);

private:
    TCriticalSection FLock;
    TSystemList FEntries;
};

// The map from the global cache.
void GetLanguageCharMap(uint16_t language, uint16_t sort, uint8_t* map);
