#pragma once
// The SQL processor run beside SQLite: random tables and statements from a seed (SELECT over
// one to three tables with comma, INNER and LEFT joins, grouping and aggregates, IN lists and
// IN sub-selects; INSERT, UPDATE and DELETE; constants and parameters), each statement run on
// both, the results compared under this dialect's own rules: = and <> with NULL give True or
// False (NULL = NULL holds), an empty string constant is NULL, a division is a float
// division, strings compare as bytes, a text value is stored without its empty form, and
// UPDATE reads the columns that earlier SET items wrote. The first mismatch is reduced to a
// small statement over few rows and reported.
#include <cstdint>
#include <iosfwd>
#include <string>

namespace sqldiff {

// Constructs whose faults are still open; a run leaves out those whose bit is set.
enum TAvoid : uint32_t {
    avInSubSelectColumn = 1,   // IN (SELECT c FROM t) with c not t's first field
    avDivisionWritten = 2,     // a division written into a column
    avThreeTableComma = 4,     // three tables in FROM, a comma (or an ON with OR) among them
    avLeftJoinWhere = 8,       // WHERE comparing two tables' columns beside a LEFT JOIN
    avNotOverJoin = 16,        // NOT above a comparison of two tables' columns
    avValueNamesColumn = 32,   // an INSERT text value that is a column's name
    avDmlSelfSubSelect = 64,   // a DML sub-select that reads the statement's own target
    avMaxRowsAggregate = 128,  // MaxRowCount on an aggregate-only query
    avChainAfterLeft = 256,    // a table after a LEFT JOIN, by a comma, an ON with OR or an ON
                               // naming the LEFT JOIN's inner table
};
constexpr uint32_t OpenFaults = avChainAfterLeft;

// OpenFaults, or the number in ZELTO_SQLDIFF_AVOID when it is set (0: leave nothing out).
uint32_t AvoidFromEnvironment();

struct TOptions {
    uint64_t Seed = 1;
    int64_t Count = 1000;     // statements in all
    int CaseStatements = 40;  // statements per set of tables
    uint32_t Avoid = OpenFaults;
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
