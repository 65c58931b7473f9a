#include "db/components/ComponentMessages.h"

namespace {

struct Entry {
    int id;
    const char* text;
};

constexpr Entry Messages[] = {
    {SAutoSessionExclusive, "The active auto-session can be the only active session."},
    {SAutoSessionExists, "This auto-session already exists."},
    {SHandleError, "Error creating table handle."},
    {SUnknownFieldTypeMsg, "Field '%s' is of unknown type"},
    {SUnsupportedFieldType, "Field '%s' is of an unsupported type"},
    {SNoSQLStatement, "No SQL statement available"},
    {SNoParameterValue, "No value for parameter '%s'"},
    {SNoTableName, "Missing table name."},
    {SDuplicateDatabaseName, "Database name %s already exists."},
    {SDuplicateSessionName, "Session name %s already exists."},
    {SInvalidSessionName, "Session name %s is not valid."},
    {SDatabaseNameMissing, "Database name is missing."},
    {SInvalidDatabaseName, "Database name %s is not valid."},
    {SSessionNameMissing, "Session name is missing."},
    {SDatabaseOpen, "Cannot perform this operation on an open database."},
    {SSessionActive, "Cannot perform this operation on an active session."},
    {SAutoSessionActive, "Cannot perform this operation on the active auto-session."},
};

}  // namespace

std::string ComponentMessage(int id) {
    for (const Entry& e : Messages)
        if (e.id == id) return e.text;
    return {};
}
