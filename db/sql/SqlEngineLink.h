#pragma once
// What the SQL parsers need of the table engine's sessions, databases and language list,
// kept in one place: the language and sort of a statement's database (swapped in while
// the text is parsed), its folder (the default folder of unqualified table names) and the
// names of languages and sort orders the LANGUAGE and SORT options may give; and the
// directories a statement opens for its tables and its result.
#include <cstdint>
#include <string>

class TDataDirectory;
class TDataSession;

// The language and sort of the database's session; 0 and 0 without a database.
void GetDatabaseLanguage(TDataDirectory* database, uint16_t& language, uint16_t& sort);
// The database's folder (with its trailing separator); empty without a database.
std::string GetDatabasePath(TDataDirectory* database);
// The language id of a language name of the engine's list (any case); false when unknown.
bool FindLanguageID(const std::string& name, uint16_t& language);
// The sort id of a sort-order name the language offers (any case); false when unknown.
bool FindSortOrderID(uint16_t language, const std::string& name, uint16_t& sort);

// The session a statement opens its tables and results in: its database's, or the
// engine's own without one.
TDataSession* StatementSession(TDataDirectory* database);

// A directory opened through a session, closed again when the handle goes.
class TSessionDirectory {
public:
    TSessionDirectory() = default;
    ~TSessionDirectory() { Close(); }
    TSessionDirectory(const TSessionDirectory&) = delete;
    TSessionDirectory& operator=(const TSessionDirectory&) = delete;

    // database: "Memory" for the in-memory database, else empty (the folder's own).
    void Open(TDataSession* session, const std::string& database, const std::string& path);
    void Close();
    TDataDirectory* Get() const { return FDirectory; }

private:
    TDataSession* FSession = nullptr;
    TDataDirectory* FDirectory = nullptr;
};
