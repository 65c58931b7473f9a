#pragma once
// What a query's planning makes of its clauses, and what a run of it holds. Prepare writes
// the plan, and the run's first steps complete it (the conditions pushed down as filters,
// the joins reordered by the filtered counts); the rows, the result and the counts are the
// run's.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "db/sql/QueryClauses.h"
#include "db/sql/SourceTable.h"
#include "db/sql/SqlEngineLink.h"
#include "db/storage/ExpToken.h"

class TDataCursor;
class TFilter;

// The items a plan works from, in order: the clauses' own (bound in place) and those that
// binding adds, which the plan owns (the columns a "*" stands for, an INSERT's target
// columns for "*", the values an INSERT ... SELECT reads from its SELECT).
template <class T>
class TBoundList {
public:
    void Clear() {
        FItems.clear();
        FOwned.clear();
    }
    void Borrow(T* item) { FItems.push_back(item); }
    void Borrow(const std::vector<std::unique_ptr<T>>& items) {
        for (const std::unique_ptr<T>& item : items) FItems.push_back(item.get());
    }
    // Added before the item at, or at the end.
    T* Own(std::unique_ptr<T> item, size_t at = SIZE_MAX) {
        T* p = item.get();
        FOwned.push_back(std::move(item));
        FItems.insert(at < FItems.size() ? FItems.begin() + std::ptrdiff_t(at) : FItems.end(), p);
        return p;
    }
    void Erase(size_t at) { FItems.erase(FItems.begin() + std::ptrdiff_t(at)); }

    size_t size() const { return FItems.size(); }
    bool empty() const { return FItems.empty(); }
    T* operator[](size_t i) const { return FItems[i]; }
    T* front() const { return FItems.front(); }
    auto begin() const { return FItems.begin(); }
    auto end() const { return FItems.end(); }

private:
    std::vector<T*> FItems;
    std::vector<std::unique_ptr<T>> FOwned;
};

// A filter the plan put on a source table's cursor.
struct TPlanFilter {
    TSourceTable* Table;
    TFilter* Filter;
};

struct TQueryPlan {
    // The clauses as bound.
    TBoundList<TResultField> Columns;  // the select list, "*" spread out
    bool ColumnsBound = false;
    TBoundList<TUpdateField> TargetColumns;  // "*" of an INSERT spread out
    TBoundList<TUpdateValue> Values;
    // The statement's LANGUAGE and SORT, or those of its first table.
    uint16_t LanguageID = 0;
    uint16_t SortID = 0;
    bool Distinct = false;  // not with GROUP BY
    bool Grouped = false;   // GROUP BY, or every column an aggregate
    bool AggregateOnly = false;
    bool CountStarOnly = false;
    bool HasExpressionColumns = false;
    bool HasBlobExpression = false;
    bool BlobPerRow = false;  // source BLOB buffers are stored and freed per row
    int32_t HiddenFieldCount = 0;

    // Live (the driving table's own cursor) or materialised into a result table.
    bool LivePlan = false;
    bool OrderByIndexMatched = false;
    uint8_t OrderByIndexNo = 255;  // none
    bool SkipOrderBySort = false;  // the group or DISTINCT sort gives the order already

    // The source tables in join order, the driving table first.
    std::vector<TSourceTable*> Tables;
    TSourceTable* DrivingTable = nullptr;
    // The WHERE tree as the join extraction leaves it: the plan takes it over from the
    // clauses.
    TExpTree Where;
    TExpTree ResidualWhere;
    bool HasResidualWhere = false;
    TExpTree ResidualJoin;
    bool HasResidualJoin = false;
    std::vector<TPlanFilter> Filters;
    // A COUNT(*)-only run whose whole condition one index range answered: its count.
    bool IndexCountGiven = false;
    int32_t IndexCount = 0;

    // The inner table of a typed join of that type (jtNone: any typed join).
    bool IsJoinTarget(const TSourceTable* table, TJoinType joinType) const;
    // "live" or "result", then per table in join order its filters (with the indexes that
    // answer them) and its joins, then what the row loop tests itself; empty before the
    // plan has a driving table.
    std::string Text() const;
};

// The cursor a query's result is read through: a result table of the query's own, or for
// a live result the driving table's cursor, which stays the table's.
class TResultCursor {
public:
    TResultCursor();
    ~TResultCursor();
    TResultCursor(const TResultCursor&) = delete;
    TResultCursor& operator=(const TResultCursor&) = delete;

    void Own(std::unique_ptr<TDataCursor> cursor);
    void UseSource(TDataCursor* cursor);
    // Frees a result table's cursor; forgets a source's.
    void Release();
    TDataCursor* Get() const { return FCursor; }
    TDataCursor* operator->() const { return FCursor; }
    TDataCursor& operator*() const { return *FCursor; }
    explicit operator bool() const { return FCursor != nullptr; }

private:
    std::unique_ptr<TDataCursor> FOwned;
    TDataCursor* FCursor = nullptr;
};

// A result column's source for the rows of one fill: the table (nil for COUNT(*) and
// expressions), and whether the field goes over as it is (same type, no BLOB, not counted).
struct TColumnSource {
    TSourceTable* Table = nullptr;
    bool Plain = false;
};

struct TQueryRun {
    // The result's directory before its cursor, so that the cursor goes first.
    TSessionDirectory ResultDirectory;
    TResultCursor ResultCursor;
    TFilter* SubQueryFilter = nullptr;  // on the result, for the query around an IN
    std::vector<TSourceTable*> ReadLockedTables;
    // The conditions of a one-table query that the first push-down pass installed as index
    // filters: the second pass would only prepare them again to find the same and drop them.
    std::vector<const TExpToken*> IndexFiltered;
    std::vector<TColumnSource> ColumnSources;  // by column, see BindColumnSources
    bool Executed = false;
    int32_t RowsAffected = 0;
    double ExecutionTime = 0;  // seconds
};
