#pragma once
// The tables a statement reads or changes, and the join edges of the nested loop between
// them. The parser names a table (its folder, file and correlation names); planning opens
// its cursor, places it in the join order and hangs the joins below it; the row loops read
// its records into its buffer.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db/sql/SqlEngineLink.h"
#include "db/storage/ExpToken.h"
#include "platform/rtl/System.h"

class TDataCursor;
class TDataQuery;
class TFilter;
class TSourceTable;
struct TFieldDescriptor;

using TJoinType = uint8_t;
constexpr TJoinType jtNone = 0;  // tables of a comma-separated FROM list
constexpr TJoinType jtInner = 1;
constexpr TJoinType jtLeftOuter = 2;
constexpr TJoinType jtRightOuter = 3;  // only while an ON clause is parsed

// Called with no arguments when a source table is encrypted and the session lacks its
// password; true when a password was added and the open is to be tried again.
using TQueryPasswordEvent = std::function<bool()>;

class TTableJoin : public TObject {
public:
    explicit TTableJoin(TSourceTable* owner) : Owner(owner) {}

    TSourceTable* Owner;
    TJoinType JoinType = jtNone;
    TSourceTable* JoinedTable = nullptr;
    TExpTree Condition;
    TFilter* Filter = nullptr;  // on the joined table's cursor
    TExpTree FilterBound;       // the condition as bound when Filter was last built

    // A join without type takes type and condition; otherwise the conditions are combined
    // with the operator of the new condition's parent in the WHERE tree (AND without one).
    void AddCondition(TJoinType joinType, TExpTree condition, const TExpToken* parent);
    // Positions the joined table on its first row matching the outer row; a left outer
    // join without a match goes on with the joined table's row of NULLs.
    bool FindFirst();
    // The condition bound to the outer row's values, as the joined table's filter.
    void SetJoinFilter();
    // A copy of the condition with the joined table's column on the left of every
    // comparison and the outer side evaluated now on the right.
    TExpTree BindCondition(const TExpToken* node);
    // Every comparison's operands exchanged, its operator mirrored.
    void ReverseCondition();
    void DropFilter();
};

// A record buffer from the library heap.
struct TLibraryBlockFree {
    void operator()(uint8_t* block) const;
};
using TRecordBlock = std::unique_ptr<uint8_t, TLibraryBlockFree>;

class TSourceTable : public TObject {
public:
    explicit TSourceTable(TDataQuery* owner);
    ~TSourceTable() override;
    TSourceTable(const TSourceTable&) = delete;
    TSourceTable& operator=(const TSourceTable&) = delete;

    TDataQuery* Owner;
    // As the parser named it.
    bool InMemory = false;
    int32_t FromPosition = 0;  // 1-based over the whole FROM clause
    std::string DirectoryName;
    std::string TableName;
    std::string CorrelationName;
    // Planning: the place in the join order, and the tables joined below this one.
    int32_t PlanPosition = 0;
    std::vector<std::unique_ptr<TTableJoin>> Joins;
    // Reading: the directory before the cursor on it, so that the cursor goes first.
    TSessionDirectory Directory;
    std::unique_ptr<TDataCursor> Cursor;
    int32_t RecordSize = 0;
    TRecordBlock RecordBuffer;
    bool EndOfData = false;
    // At its end of data, on the row a left outer join extends with NULLs.
    bool NullRow = false;

    // Releases the filters, the cursor and the directory.
    void CloseCursor();
    // The table opened in record-number order, read-only unless the statement changes it.
    void OpenCursor(const TQueryPasswordEvent& password, bool requestLive);
    void AllocRecordBuffer();
    // 1-based field number by name (any case); 0 when the table has none.
    int32_t FindFieldNo(const std::string& name) const;
    const TFieldDescriptor& GetFieldDefinition(int32_t fieldNo) const;
    // Adds the condition to an existing join to that table of the same type or without
    // one, else a new join.
    void AddJoin(TJoinType joinType, TExpTree condition, TSourceTable* joined, const TExpToken* parent);
    // An active filter of the statement on this table's cursor (which owns it).
    TFilter* AddFilter(TExpTree condition);
    void ReplaceFilter(TFilter* filter, TExpTree condition);
    void DropFilter(TFilter* filter);
    void DropFilters();
    // Row reading into the record buffer; false (and EndOfData) at the end.
    bool FirstRow();
    bool NextRow();
    // The nested loop below this table: the first (next) row with every join matched;
    // for a left outer join without a match, the row of NULLs, joined below likewise.
    bool FirstJoinRow(TJoinType joinType);
    bool NextJoinRow();
    bool AdvanceJoins(int32_t index);
    // Whether every join finds its first row for this table's current row.
    bool JoinsMatch();

    // Splits a path off the name ("\", ":" or "/"); a MEMORY table lives in "Memory",
    // a plain name in the folder of the statement's database. Without a correlation name
    // the table's file name without extension becomes it. Ignored while the cursor is open.
    void SetTableName(const std::string& name);
    void SetCorrelationName(const std::string& name);
};
