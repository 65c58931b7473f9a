#pragma once
// The SQL processor run beside SQLite: random tables and statements from a seed (SELECT over
// one to three tables with comma, INNER and LEFT joins, grouping and aggregates, IN lists and
// IN sub-selects; INSERT, UPDATE and DELETE; CREATE INDEX, DROP INDEX and ALTER TABLE, which
// SQLite runs as a copy into a new table; constants and parameters), each statement run on
// both, the results compared under this dialect's own rules: = and <> with NULL give True or
// False (NULL = NULL holds), an empty string constant is NULL, a division is a float
// division, strings compare as bytes, a text value is stored without its empty form, and
// UPDATE reads the columns that earlier SET items wrote. The first mismatch is reduced to a
// small statement over few rows and reported.
#include <cstdint>
#include <iosfwd>
#include <string>

namespace sqldiff {

struct TOptions {
    uint64_t Seed = 1;
    int64_t Count = 1000;        // statements in all
    int CaseStatements = 40;     // statements per set of tables
    bool ModelNullRules = true;  // off only to see the comparer catch the difference
};

struct TOutcome {
    int64_t Statements = 0;  // run on both
    int64_t BothFailed = 0;  // refused by both, which is no mismatch
    bool Mismatch = false;
    std::string Report;  // where it was met and its reduced form
};

// Runs until Count statements ran or the first mismatch; a line per set of tables goes to
// progress when given.
TOutcome Run(const TOptions& options, std::ostream* progress = nullptr);

}  // namespace sqldiff
