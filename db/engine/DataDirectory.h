#pragma once
// A database: one folder on disk, or the in-memory database "MEMORY". It holds the shared
// tables its cursors open (one TDataTable per table), creates, deletes and renames tables,
// and runs transactions over all of its tables. Operations report by negated engine codes
// (-11010 missing, -11013 locked, open or unknown); the caller raises them.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/rtl/System.h"

class TDataSession;
class TDataTable;
struct TTableDefinition;

class TDataDirectory : public TObject {
public:
    TDataDirectory(TDataSession* session, const std::string& databaseName, const std::string& path,
                   const std::string& universalPath);
    TDataDirectory(const TDataDirectory&) = delete;
    TDataDirectory& operator=(const TDataDirectory&) = delete;
    // Rolls back an active transaction and frees the tables.
    ~TDataDirectory() override;

    TDataSession* Session() const { return FSession; }
    const std::string& DatabaseName() const { return FDatabaseName; }
    // Ends in a separator; empty for the in-memory database.
    const std::string& Path() const { return FPath; }
    const std::string& UniversalPath() const { return FUniversalPath; }
    bool IsMemory() const { return FPath.empty(); }

    // Opens or shares the table (name trimmed, ".DAT" forced). A table open here already
    // is shared unless either side wants it exclusively and no share override is given
    // (-11013).
    int32_t OpenTable(const std::string& name, TDataTable*& table, bool option1, bool option2, bool temporary,
                      bool inMemory, bool shareOverride, bool exclusive);
    // 0, or -11010 for a table that is not open here.
    int32_t CloseTable(TDataTable* table, bool temporaryDiscard);
    // Writes the three files of a new table, which is left open exclusively.
    int32_t CreateTable(const std::string& name, TDataTable*& table, bool temporary, bool inMemory,
                        const TTableDefinition& definition);
    int32_t DeleteTable(const std::string& name, bool inMemory);
    int32_t RenameTable(const std::string& name, const std::string& newName, bool toBackup, bool inMemory);
    bool TableExists(const std::string& name, bool inMemory);
    // The first free name made of the thread id's first five digits, a counter and ".DAT".
    std::string GetTemporaryTableName(bool inMemory);

    void StartTransaction();
    // Commits every table, last to first, and frees those no cursor holds any more. When a
    // table's commit fails, the transaction ends with nothing of it kept by the tables not
    // committed yet.
    void Commit(bool end);
    void Rollback();
    bool InTransaction() const { return FTransactionActive; }

    void AddReference() { ++FReferenceCount; }
    void ReleaseReference() { --FReferenceCount; }
    int32_t ReferenceCount() const { return FReferenceCount; }
    int32_t TableCount() const { return int32_t(FTables.size()); }

private:
    // The table of that name and memory flag in the list; nil when none.
    TDataTable* FindTable(const std::string& name, bool inMemory);
    int32_t IndexOfTable(TDataTable* table) const;
    void FreeTable(TDataTable* table);
    // Frees the tables no cursor holds once no transaction keeps them.
    void ReleaseClosedTables();

    TDataSession* FSession;
    std::string FDatabaseName;
    std::string FPath;
    std::string FUniversalPath;
    std::vector<TDataTable*> FTables;
    int32_t FReferenceCount = 0;
    bool FTransactionActive = false;
};
