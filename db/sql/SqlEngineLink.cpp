#include "db/sql/SqlEngineLink.h"

#include "db/engine/DataDirectory.h"
#include "db/engine/DataSession.h"
#include "db/engine/Languages.h"
#include "platform/rtl/SysUtils.h"

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

TDataSession* StatementSession(TDataDirectory* database) {
    return database && database->Session() ? database->Session() : GetEngineSession();
}

void TSessionDirectory::Open(TDataSession* session, const std::string& database, const std::string& path) {
    Close();
    FDirectory = session->OpenDirectory(database, path);
    FSession = session;
}

void TSessionDirectory::Close() {
    TDataDirectory* directory = FDirectory;
    FDirectory = nullptr;
    if (directory && FSession) FSession->CloseDirectory(directory);
    FSession = nullptr;
}
