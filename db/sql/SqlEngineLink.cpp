#include "db/sql/SqlEngineLink.h"

#include "platform/rtl/SysUtils.h"

#if __has_include("db/engine/DataSession.h") && __has_include("db/engine/Languages.h")
#include "db/engine/DataDirectory.h"
#include "db/engine/DataSession.h"
#include "db/engine/Languages.h"

void GetDatabaseLanguage(TDataDirectory* database, uint16_t& language, uint16_t& sort) {
    language = 0;
    sort = 0;
    if (!database || !database->Session()) return;
    language = database->Session()->LanguageID();
    sort = database->Session()->SortID();
}

std::string GetDatabasePath(TDataDirectory* database) {
    return database ? database->Path() : std::string();
}

bool FindLanguageID(const std::string& name, uint16_t& language) {
    if (!IsValidLanguageName(name)) return false;
    language = LanguageIDFromName(name);
    return true;
}

bool FindSortOrderID(uint16_t language, const std::string& name, uint16_t& sort) {
    if (!IsValidSortOrderName(language, name)) return false;
    sort = SortOrderIDFromName(language, name);
    return true;
}

#else
// Until the engine's sessions and language list are part of the build, no database can
// be handed in, and only the first row of the language list (plain byte order) is known.
#include <cassert>

void GetDatabaseLanguage([[maybe_unused]] TDataDirectory* database, uint16_t& language, uint16_t& sort) {
    assert(!database && "no engine sessions in this build");
    language = 0;
    sort = 0;
}

std::string GetDatabasePath([[maybe_unused]] TDataDirectory* database) {
    assert(!database && "no engine sessions in this build");
    return std::string();
}

bool FindLanguageID(const std::string& name, uint16_t& language) {
    if (!SameText(name, "ANSI Standard")) return false;
    language = 0;
    return true;
}

bool FindSortOrderID(uint16_t language, const std::string& name, uint16_t& sort) {
    if (language != 0 || !SameText(name, "Default Order")) return false;
    sort = 0;
    return true;
}
#endif
