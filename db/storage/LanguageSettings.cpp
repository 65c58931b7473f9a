#include "db/storage/LanguageSettings.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "db/storage/Library.h"
#include "db/storage/LibraryMemory.h"
#include "platform/os/Locale.h"
#include "platform/rtl/ScopeGuard.h"
#include "platform/rtl/SysUtils.h"

namespace {

const char* const EnglishShortMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const EnglishLongMonths[12] = {"January",   "February", "March",    "April",
                                           "May",       "June",     "July",     "August",
                                           "September", "October",  "November", "December"};
const char* const EnglishShortDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const EnglishLongDays[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                        "Thursday", "Friday", "Saturday"};

void EnglishNames(TLanguageSettings& s) {
    for (int i = 0; i < 12; ++i) {
        s.ShortMonthNames[i] = EnglishShortMonths[i];
        s.LongMonthNames[i] = EnglishLongMonths[i];
    }
    for (int i = 0; i < 7; ++i) {
        s.ShortDayNames[i] = EnglishShortDays[i];
        s.LongDayNames[i] = EnglishLongDays[i];
    }
}

std::string Or(const std::string& v, const char* fallback) {
    return v.empty() ? fallback : v;
}
char Or(char v, char fallback) {
    return v ? v : fallback;
}

// One cache entry: 260 bytes on the library heap.
struct TCharMapEntry {
    uint16_t LanguageID;
    uint16_t SortID;
    uint8_t Map[256];
};

// A byte value with its locale id, sorted to build a collation map.
struct TCharMapItem {
    uint8_t Value;
    uint32_t LCID;
};

int CompareCharMapItems(void* a, void* b) {
    auto* x = static_cast<TCharMapItem*>(a);
    auto* y = static_cast<TCharMapItem*>(b);
    char cx = static_cast<char>(x->Value), cy = static_cast<char>(y->Value);
    return LocaleCompareStrings(x->LCID, SORT_STRINGSORT, &cx, 1, &cy, 1);
}

}  // namespace

void GetLanguageSettings(uint16_t language, uint16_t sort, TLanguageSettings& s) {
    s = TLanguageSettings{};
    if (language == 0) {
        s.CurrencyString = "";
        s.CurrencyFormat = 0;
        s.NegCurrFormat = 0;
        s.ThousandSeparator = ',';
        s.DecimalSeparator = '.';
        s.CurrencyDecimals = 2;
        s.DateSeparator = '-';
        s.ShortDateFormat = "yyyy-mm-dd";
        s.LongDateFormat = "dddd, mmmm dd, yyyy";
        s.TimeSeparator = ':';
        s.TimeAMString = "AM";
        s.TimePMString = "PM";
        s.ShortTimeFormat = "hh:mm";
        s.LongTimeFormat = "hh:mm:ss";
        EnglishNames(s);
        return;
    }
    TLocaleFormats f;
    GetLocaleFormats(MakeLCID(language, sort), f);
    s.CurrencyString = Or(f.CurrencyString, "$");
    s.CurrencyFormat = static_cast<uint8_t>(f.CurrencyFormat < 0 ? 0 : f.CurrencyFormat);
    s.NegCurrFormat = static_cast<uint8_t>(f.NegCurrFormat < 0 ? 0 : f.NegCurrFormat);
    s.ThousandSeparator = Or(f.ThousandSeparator, ',');
    s.DecimalSeparator = Or(f.DecimalSeparator, '.');
    s.CurrencyDecimals = static_cast<uint8_t>(f.CurrencyDecimals < 0 ? 2 : f.CurrencyDecimals);
    s.DateSeparator = Or(f.DateSeparator, '/');
    s.ShortDateFormat = Or(f.ShortDateFormat, "M/d/yyyy");
    s.LongDateFormat = Or(f.LongDateFormat, "dddd, MMMM dd, yyyy");
    s.TimeSeparator = Or(f.TimeSeparator, ':');
    s.TimeAMString = Or(f.TimeAMString, "AM");
    s.TimePMString = Or(f.TimePMString, "PM");
    std::string hour = f.HourLeadingZero ? "hh" : "h";
    std::string suffix = f.HasTimeFormat && f.TwelveHourClock ? " AMPM" : "";
    s.ShortTimeFormat = hour + ":mm" + suffix;
    s.LongTimeFormat = hour + ":mm:ss" + suffix;
    EnglishNames(s);
    for (int i = 0; i < 12; ++i) {
        if (!f.ShortMonthNames[i].empty()) s.ShortMonthNames[i] = f.ShortMonthNames[i];
        if (!f.LongMonthNames[i].empty()) s.LongMonthNames[i] = f.LongMonthNames[i];
    }
    for (int i = 0; i < 7; ++i) {
        if (!f.ShortDayNames[i].empty()) s.ShortDayNames[i] = f.ShortDayNames[i];
        if (!f.LongDayNames[i].empty()) s.LongDayNames[i] = f.LongDayNames[i];
    }
}

namespace {

// The record and the format settings share their field names: one copy serves both
// directions.
template <class From, class To>
void CopySettings(const From& f, To& t) {
    t.CurrencyString = f.CurrencyString;
    t.CurrencyFormat = f.CurrencyFormat;
    t.NegCurrFormat = f.NegCurrFormat;
    t.ThousandSeparator = f.ThousandSeparator;
    t.DecimalSeparator = f.DecimalSeparator;
    t.CurrencyDecimals = static_cast<decltype(t.CurrencyDecimals)>(f.CurrencyDecimals);
    t.DateSeparator = f.DateSeparator;
    t.ShortDateFormat = f.ShortDateFormat;
    t.LongDateFormat = f.LongDateFormat;
    t.TimeSeparator = f.TimeSeparator;
    t.TimeAMString = f.TimeAMString;
    t.TimePMString = f.TimePMString;
    t.ShortTimeFormat = f.ShortTimeFormat;
    t.LongTimeFormat = f.LongTimeFormat;
    for (int i = 0; i < 12; ++i) {
        t.ShortMonthNames[i] = f.ShortMonthNames[i];
        t.LongMonthNames[i] = f.LongMonthNames[i];
    }
    for (int i = 0; i < 7; ++i) {
        t.ShortDayNames[i] = f.ShortDayNames[i];
        t.LongDayNames[i] = f.LongDayNames[i];
    }
}

}  // namespace

void SaveLanguageSettings(TLanguageSettings& s) {
    CopySettings(FormatSettings(), s);
}

void RestoreLanguageSettings(const TLanguageSettings& s) {
    CopySettings(s, FormatSettings());
}

namespace {

// The format settings of one language and sort, as a swap installs them: every field is
// overwritten from the language's settings, so they are the same each time they are built.
struct TBuiltSettings {
    uint16_t Language = 0;
    uint16_t Sort = 0;
    TFormatSettings Settings;
};

// A thread swaps the same few languages in for every value of every row: it keeps those it
// built instead of building them again each time (reading the locale's data is the cost).
// A swap may still have to take its copy from settings kept here: they never move, and
// those replaced stay until no swap is left on the thread.
constexpr size_t BuiltSettingsKept = 8;
thread_local std::vector<std::unique_ptr<TBuiltSettings>> tBuiltSettings;
thread_local std::vector<std::unique_ptr<TBuiltSettings>> tReplacedSettings;
thread_local size_t tNextReplaced = 0;

const TFormatSettings& BuiltSettings(uint16_t language, uint16_t sort) {
    for (const auto& b : tBuiltSettings)
        if (b->Language == language && b->Sort == sort) return b->Settings;
    auto built = std::make_unique<TBuiltSettings>();
    built->Language = language;
    built->Sort = sort;
    {
        EnterLibraryLock();
        TScopeGuard leave([] { LeaveLibraryLock(); });
        TLanguageSettings table;
        GetLanguageSettings(language, sort, table);
        CopySettings(table, built->Settings);
    }
    if (tBuiltSettings.size() < BuiltSettingsKept) {
        tBuiltSettings.push_back(std::move(built));
        return tBuiltSettings.back()->Settings;
    }
    tReplacedSettings.reserve(tReplacedSettings.size() + 1);
    std::unique_ptr<TBuiltSettings>& replaced = tBuiltSettings[tNextReplaced];
    tNextReplaced = (tNextReplaced + 1) % BuiltSettingsKept;
    tReplacedSettings.push_back(std::move(replaced));
    replaced = std::move(built);
    return replaced->Settings;
}

}  // namespace

// The table's settings go into a copy owned by this thread, never into the process-wide
// settings that every other thread formats with; removing the copy reinstates what was in
// force before. The library lock covers the building of a language's settings only (once
// per thread and language): the work after it reads this thread's copy, and must not stall
// the statements of every other thread for as long as it runs.
namespace {

// The copies the swaps of this thread install, one per nesting depth, kept from one swap to
// the next. A copy is taken from the language's settings only when the work asks for the
// settings in force: most work of a statement formats nothing.
thread_local std::vector<std::unique_ptr<TFormatSettings>> tSwapCopies;
thread_local size_t tSwapDepth = 0;

}  // namespace

TLanguageSettingsSwap::TLanguageSettingsSwap(uint16_t language, uint16_t sort) {
    const TFormatSettings& built = BuiltSettings(language, sort);
    if (tSwapDepth == tSwapCopies.size()) tSwapCopies.push_back(std::make_unique<TFormatSettings>());
    FTableSettings.emplace(*tSwapCopies[tSwapDepth], &built);
    ++tSwapDepth;
}

TLanguageSettingsSwap::~TLanguageSettingsSwap() {
    FTableSettings.reset();
    if (--tSwapDepth == 0) tReplacedSettings.clear();
}

int CompareCharLCID(uint32_t lcid, char a, char b) {
    return LocaleCompareStrings(lcid, SORT_STRINGSORT | NORM_IGNORENONSPACE, &a, 1, &b, 1);
}

int CompareCharLocale(uint16_t language, uint16_t sort, char a, char b) {
    if (language != 0) return CompareCharLCID(MakeLCID(language, sort), a, b);
    return CompareBuffers(&a, &b, 1, false);
}

int CompareBuffers(const void* a, const void* b, int32_t count, bool descending) {
    if (!a) return 1;
    const uint8_t* x = static_cast<const uint8_t*>(a);
    const uint8_t* y = static_cast<const uint8_t*>(b);
    for (int32_t i = 0; i < count; ++i) {
        if (x[i] != y[i]) {
            int r = x[i] > y[i] ? 1 : -1;
            return descending ? -r : r;
        }
    }
    return 0;
}

int CompareStrLocale(uint16_t language, uint16_t sort, char* s1, bool caseInsensitive, int32_t length,
                     char* s2) {
    if (language != 0) {
        uint32_t flags = SORT_STRINGSORT | NORM_IGNORENONSPACE | (caseInsensitive ? NORM_IGNORECASE : 0);
        int n1 = length != 0 ? static_cast<int>(strnlen(s1, length)) : -1;
        int n2 = length != 0 ? static_cast<int>(strnlen(s2, length)) : -1;
        return LocaleCompareStrings(MakeLCID(language, sort), flags, s1, n1, s2, n2);
    }
    if (caseInsensitive) {
        UpperCaseLocale(0, 0, s1, s1);
        UpperCaseLocale(0, 0, s2, s2);
    }
    int32_t n = length;
    if (n == 0) {
        // The longer length, so that the shorter string's terminator takes part.
        size_t l1 = std::strlen(s1), l2 = std::strlen(s2);
        n = static_cast<int32_t>(l1 > l2 ? l1 : l2);
    }
    return CompareBuffers(s1, s2, n, false);
}

void UpperCaseLocale(uint16_t language, uint16_t sort, const char* source, char* dest) {
    size_t n = std::strlen(source);
    LocaleMapCase(MakeLCID(language, language == 0 ? 0 : sort), LCMAP_UPPERCASE, source, n, dest);
    dest[n] = '\0';
}

void LowerCaseLocale(uint16_t language, uint16_t sort, const char* source, char* dest) {
    size_t n = std::strlen(source);
    LocaleMapCase(MakeLCID(language, language == 0 ? 0 : sort), LCMAP_LOWERCASE, source, n, dest);
    dest[n] = '\0';
}

TLanguageCharMapsList::TLanguageCharMapsList() {
    FEntries.SetCapacity(255);
}

TLanguageCharMapsList::~TLanguageCharMapsList() {
    Clear();
}

void TLanguageCharMapsList::Clear() {
    std::lock_guard<TCriticalSection> guard(FLock);
    for (int32_t i = 0; i < FEntries.Count(); ++i) {
        void* p = FEntries.Get(i);
        FreeMemory(p);
    }
    FEntries.Clear();
}

int32_t TLanguageCharMapsList::Count() {
    std::lock_guard<TCriticalSection> guard(FLock);
    return FEntries.Count();
}

void TLanguageCharMapsList::BuildCharMap(uint16_t language, uint16_t sort, uint8_t* map) {
    uint32_t lcid = MakeLCID(language, sort);
    TCharMapItem items[256];
    void* ptrs[256];
    for (int b = 0; b < 256; ++b) {
        items[b].Value = static_cast<uint8_t>(b);
        items[b].LCID = lcid;
        ptrs[b] = &items[b];
    }
    if (language != 0) QuickSortPointers(ptrs, 0, 255, CompareCharMapItems);
    for (int k = 0; k < 256; ++k) map[k] = static_cast<TCharMapItem*>(ptrs[k])->Value;
}

void TLanguageCharMapsList::GetCharMap(uint16_t language, uint16_t sort, uint8_t* map) {
    std::lock_guard<TCriticalSection> guard(FLock);
    for (int32_t i = 0; i < FEntries.Count(); ++i) {
        auto* e = static_cast<TCharMapEntry*>(FEntries.Get(i));
        if (e->LanguageID == language && e->SortID == sort) {
            std::memcpy(map, e->Map, 256);
            return;
        }
    }
    TLibraryPtr<TCharMapEntry> e(static_cast<TCharMapEntry*>(AllocMemory(sizeof(TCharMapEntry))));
    e->LanguageID = language;
    e->SortID = sort;
    BuildCharMap(language, sort, e->Map);
    FEntries.Add(e.get());
    std::memcpy(map, e.release()->Map, 256);
}

void GetLanguageCharMap(uint16_t language, uint16_t sort, uint8_t* map) {
    if (TLanguageCharMapsList* list = LanguageCharMapsList())
        list->GetCharMap(language, sort, map);
    else
        TLanguageCharMapsList::BuildCharMap(language, sort, map);
}
