#pragma once
// What the parsers make of one statement: its kind, the clause objects, the WHERE and HAVING
// trees, the join marks and the options of the statement's tail. A query's clauses are
// written by its parsers alone; planning and execution read them. Binding fills the slots a
// clause object keeps for it (a result column's number and type, a target column's field, an
// ORDER BY item's column) and annotates the trees' nodes, as validating an expression does;
// the source tables are opened and joined where they are. The WHERE tree alone leaves the
// clauses: the plan takes it over to cut it apart.
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "db/engine/DescriptorCodes.h"
#include "db/sql/SourceTable.h"
#include "db/storage/ExpToken.h"
#include "platform/rtl/Classes.h"
#include "platform/rtl/System.h"

class TDataQuery;

using TStatementKind = uint8_t;
constexpr TStatementKind skNone = 0;  // not parsed
constexpr TStatementKind skSelect = 1;
constexpr TStatementKind skInsert = 2;
constexpr TStatementKind skUpdate = 3;
constexpr TStatementKind skDelete = 4;
constexpr TStatementKind skCreateTable = 5;
constexpr TStatementKind skAlterTable = 6;
constexpr TStatementKind skDropTable = 7;
constexpr TStatementKind skCreateIndex = 8;
constexpr TStatementKind skDropIndex = 9;

// Aggregate kinds of a result column.
constexpr uint8_t akNone = 0;
constexpr uint8_t akSum = 1;
constexpr uint8_t akMin = 2;
constexpr uint8_t akMax = 3;
constexpr uint8_t akAvg = 4;
constexpr uint8_t akCount = 5;

// The function's name as statements write it ("" for none).
inline const char* AggregateName(uint8_t kind) {
    static const char* names[] = {"", "SUM", "MIN", "MAX", "AVG", "COUNT"};
    return kind <= akCount ? names[kind] : "";
}

// CHARCASE of a column definition as the statement writes it. The table's field
// descriptor codes differ (0 as is, 1 upper, 2 lower): execution translates.
constexpr uint8_t ccNoChange = 0;
constexpr uint8_t ccLower = 1;
constexpr uint8_t ccUpper = 2;

// Index key compression as the statement names it: the index file's codes (icNone for
// NONE).
constexpr uint8_t icDupByte = icLeading;
constexpr uint8_t icTrailByte = icTrailing;
constexpr uint8_t icFull = icBoth;

// One select-list item.
class TResultField : public TObject {
public:
    explicit TResultField(TDataQuery* owner) : Owner(owner) {}

    TDataQuery* Owner;
    std::string ColumnName;
    std::string CorrelationName;
    std::string Alias;
    bool AliasIsDefault = true;  // until an alias is written
    bool IsExpression = false;   // computed, not a plain column or aggregate of one
    uint8_t AggregateKind = akNone;
    std::string ExpressionText;  // the item's source text, CR and LF removed
    // Filled when the select list is bound.
    int32_t ResultFieldNo = 0;
    uint8_t DataType = 0;
    uint8_t SubType = 0;
    int32_t DataSize = 0;
    uint8_t Decimals = 0;
    int32_t AvgCountFieldNo = 0;  // hidden count field of an AVG column
    std::string ResultName;       // the result field's name
    // The source column of a plain column or of an aggregate of one: the table's FROM
    // position and the field number; COUNT(*) counts rows.
    int32_t SourcePosition = 0;
    int32_t SourceFieldNo = 0;
    bool CountStar = false;
    TExpTree Expression;

    bool IsAggregate() const { return AggregateKind != akNone; }
    // What the row loop evaluates for an expression column: the aggregate's argument, or
    // the whole expression.
    TExpToken* ValueExpression() const;

    // Stored when it differs; an empty alias then takes the name, unless it is "*".
    void SetColumnName(const std::string& name);
};

// A result column named in ORDER BY or GROUP BY: by name or by number.
class TClauseColumn : public TObject {
public:
    explicit TClauseColumn(TDataQuery* owner) : Owner(owner) {}

    TDataQuery* Owner;
    std::string ColumnName;
    std::string CorrelationName;
    int32_t ColumnNo = 0;   // 1-based; found by the name when not written as a number
    bool ByNumber = false;  // a number was written: ColumnNo is it, even when 0
};

class TOrderByField : public TClauseColumn {
public:
    using TClauseColumn::TClauseColumn;
    bool Descending = false;
};

class TGroupByField : public TClauseColumn {
public:
    using TClauseColumn::TClauseColumn;
};

// A target column of INSERT or UPDATE; "*" stands for every column in table order.
class TUpdateField : public TObject {
public:
    explicit TUpdateField(TDataQuery* owner) : Owner(owner) {}

    TDataQuery* Owner;
    std::string ColumnName;
    std::string CorrelationName;
    int32_t FieldNo = 0;  // bound at execution
    TExpTree Expression;  // the parsed name
    // The bound field's type, subtype, stored size and decimals.
    uint8_t DataType = 0;
    uint8_t SubType = 0;
    int32_t DataSize = 0;
    uint8_t Decimals = 0;
};

class TUpdateValue : public TObject {
public:
    explicit TUpdateValue(TDataQuery* owner) : Owner(owner) {}

    TDataQuery* Owner;
    std::string ExpressionText;
    TExpTree Expression;
};

// A column of CREATE TABLE or an alteration of ALTER TABLE.
class TCreateField : public TObject {
public:
    explicit TCreateField(TDataQuery* owner) : Owner(owner) {}

    TDataQuery* Owner;
    std::string ColumnName;     // for REDEFINE the existing column
    std::string NewColumnName;  // REDEFINE only
    int32_t FieldNo = 0;
    uint8_t DataType = 0;
    uint8_t SubType = 0;
    int32_t Size = 0;
    int32_t Decimals = 0;
    std::string Description;
    bool DescriptionGiven = false;
    bool NotNull = false;
    bool NotNullGiven = false;
    uint8_t CharCase = ccNoChange;
    bool CharCaseGiven = false;
    std::string MinValue;
    bool MinValueGiven = false;
    std::string MaxValue;
    bool MaxValueGiven = false;
    std::string DefaultValue;
    bool DefaultValueGiven = false;
    bool Add = false;
    bool Redefine = false;
    bool Drop = false;
    int32_t AtPosition = 0;  // 0 = not given
    // The parsed name with its type and type arguments (chained from Second), and for a
    // REDEFINE with a new name the node of the old name.
    TExpTree Node;
    TExpTree OldNameNode;

    // Name, field number, type and subtype, size and decimals from the parsed node.
    void AssignDataType(int32_t fieldNo);
};

// A primary key of CREATE or ALTER TABLE, or the index of CREATE INDEX.
class TCreateIndex : public TObject {
public:
    explicit TCreateIndex(TDataQuery* owner) : Owner(owner) {}

    TDataQuery* Owner;
    std::string IndexName;
    TStringList ColumnNames;
    bool Descending = false;
    bool Unique = false;
    bool NoCase = false;
    uint8_t Compression = icNone;
    bool Add = false;
    bool Redefine = false;
    bool Drop = false;
    std::vector<TExpTree> ColumnNodes;  // as parsed, in order

    // One column name per parsed node: a column's name, or a quoted name's text.
    void BuildFieldList();
};

// The options of a statement's tail; a flag tells for each that the statement wrote it.
struct TTableOptions {
    bool Encrypted = false;
    std::string Password;
    uint16_t LanguageID = 0;
    uint16_t SortID = 0;
    int32_t BlobBlockSize = 512;
    std::string Description;
    int32_t UserMajorVersion = 1;
    int32_t UserMinorVersion = 0;
    int32_t LastAutoInc = -1;  // not given
    bool NoAutoInc = false;
    bool NoBackup = false;
    int32_t CommitInterval = 0;  // not given
    bool EncryptedGiven = false;
    bool LanguageGiven = false;
    bool SortGiven = false;
    bool BlobBlockSizeGiven = false;
    bool DescriptionGiven = false;
    bool UserMajorVersionGiven = false;
    bool UserMinorVersionGiven = false;
    bool CommitIntervalGiven = false;
};

// The marks the SELECT parser leaves on the WHERE tree for the join planner: the join type
// of each comparison of a column with a column in an ON condition, and the ON conditions
// themselves, by node, read while planning cuts the tree apart. They are kept beside the
// tree: its nodes' binding bytes are the engine filters'.
class TJoinMarks {
public:
    void MarkJoinType(const TExpToken* comparison, TJoinType joinType) { FJoinTypes[comparison] = joinType; }
    void MarkOnClause(const TExpToken* condition) { FOnClauses.insert(condition); }
    TJoinType JoinTypeMark(const TExpToken* node) const {
        auto it = FJoinTypes.find(node);
        return it == FJoinTypes.end() ? jtNone : it->second;
    }
    bool IsOnClauseCondition(const TExpToken* node) const { return FOnClauses.count(node) != 0; }

private:
    std::unordered_map<const TExpToken*, TJoinType> FJoinTypes;
    std::unordered_set<const TExpToken*> FOnClauses;
};

// One statement as parsed.
struct TQueryClauses {
    TStatementKind Kind = skNone;
    bool IsSubQuery = false;

    // SELECT.
    bool Distinct = false;
    bool HasAvg = false;
    bool HasExpressionColumns = false;  // an item that is not a plain column or aggregate of one
    bool MultipleTables = false;        // a "," or a JOIN in FROM
    bool NoJoinOptimize = false;
    bool HasConditions = false;  // a WHERE or an ON clause
    bool HasHaving = false;
    bool HavingGiven = false;
    bool HasOrderBy = false;
    bool OrderByNoCase = false;
    bool Grouped = false;  // GROUP BY given
    bool WithLocks = false;
    // Before the source tables, so that they go first: a live result's cursor evaluates the
    // select list's expressions.
    std::vector<std::unique_ptr<TResultField>> ResultFields;
    std::vector<std::unique_ptr<TOrderByField>> OrderByFields;
    std::vector<std::unique_ptr<TGroupByField>> GroupByFields;

    // The tables in FROM order as written (a RIGHT JOIN's table goes first), or the one
    // table of INSERT, UPDATE or DELETE.
    std::vector<std::unique_ptr<TSourceTable>> SourceTables;
    // The upper-cased correlation names of the FROM list's tables so far: each new one is
    // looked up here instead of compared with every table before it.
    std::unordered_set<std::string> CorrelationNames;
    TExpTree Where;  // every WHERE and ON condition, chained by AND in text order
    TExpTree Having;
    TJoinMarks JoinMarks;

    // The INTO table of a SELECT, or the table of a definition statement; DROP INDEX's index.
    bool TargetInMemory = false;
    bool TargetGiven = false;  // the statement names its table, even as an empty name
    std::string TargetTableName;
    std::string IndexName;

    // INSERT, UPDATE, CREATE and ALTER.
    bool InsertSelect = false;
    std::vector<std::unique_ptr<TUpdateField>> UpdateFields;
    std::vector<std::unique_ptr<TUpdateValue>> UpdateValues;
    std::vector<std::unique_ptr<TCreateField>> CreateFields;
    std::vector<std::unique_ptr<TCreateIndex>> CreateIndexes;

    TTableOptions Options;
};
