#include "db/engine/Languages.h"

#include "platform/os/Locale.h"
#include "platform/rtl/SysUtils.h"

namespace {

constexpr const char* AnsiStandard = "ANSI Standard";
constexpr const char* DefaultOrder = "Default Order";
constexpr const char* PhoneBookOrder = "German Phone Book Order";
constexpr uint16_t LangGerman = 0x07;

const TLocaleLanguage* Rows(size_t& count) {
    return LocaleLanguages(count);
}

bool HasPhoneBook(uint16_t languageId) {
    return (languageId & 0x3FF) == LangGerman;
}

}  // namespace

int32_t LanguageCount() {
    size_t n;
    Rows(n);
    return int32_t(n) + 1;
}

std::string LanguageName(int32_t index) {
    size_t n;
    const TLocaleLanguage* rows = Rows(n);
    if (index == 0) return AnsiStandard;
    if (index < 0 || size_t(index) > n) return "";
    return rows[index - 1].Name;
}

uint16_t LanguageIdAt(int32_t index) {
    size_t n;
    const TLocaleLanguage* rows = Rows(n);
    if (index <= 0 || size_t(index) > n) return 0;
    return rows[index - 1].LanguageID;
}

static int32_t LanguageIndexFromName(const std::string& name) {
    for (int32_t i = 0, n = LanguageCount(); i < n; ++i)
        if (SameText(LanguageName(i), name)) return i;
    return -1;
}

bool IsValidLanguageName(const std::string& name) {
    return LanguageIndexFromName(name) >= 0;
}

uint16_t LanguageIDFromName(const std::string& name) {
    return LanguageIdAt(LanguageIndexFromName(name));
}

int32_t LanguageIndexFromID(uint16_t languageId) {
    for (int32_t i = 0, n = LanguageCount(); i < n; ++i)
        if (LanguageIdAt(i) == languageId) return i;
    return -1;
}

void GetSortOrderNames(int32_t index, std::vector<std::string>& names) {
    names.clear();
    if (index < 0 || index >= LanguageCount()) return;
    names.push_back(DefaultOrder);
    if (HasPhoneBook(LanguageIdAt(index))) names.push_back(PhoneBookOrder);
}

bool IsValidSortOrderName(uint16_t languageId, const std::string& name) {
    std::vector<std::string> names;
    GetSortOrderNames(LanguageIndexFromID(languageId), names);
    for (const auto& n : names)
        if (SameText(n, name)) return true;
    return false;
}

uint16_t SortOrderIDFromName(uint16_t languageId, const std::string& name) {
    if (HasPhoneBook(languageId) && SameText(name, PhoneBookOrder)) return SORT_GERMAN_PHONE_BOOK;
    return 0;
}
