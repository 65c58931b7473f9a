#pragma once
// The statement model of the SQL processor: one TQueryStatement per SQL text, owning its
// expression parser, its main TDataQuery and one TDataQuery per sub-select, and the
// parameter markers of the text. The parsers fill the queries' clause objects and options;
// planning and execution work from them.
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "db/engine/DescriptorCodes.h"
#include "db/sql/SqlEngineLink.h"
#include "db/storage/ExpToken.h"
#include "db/storage/ExpressionEval.h"
#include "db/storage/ExpressionParser.h"
#include "db/storage/SubSelect.h"
#include "platform/rtl/Classes.h"
#include "platform/rtl/System.h"

class TDataDirectory;
class TDataCursor;
class TDataSession;
class TDataQuery;
class TFilter;
struct TCreateTableOptions;
struct TFieldDescriptor;
struct TIndexDescriptor;
struct TSortGroupSteps;
class TQueryStatement;
class TSourceTable;

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

using TJoinType = uint8_t;
constexpr TJoinType jtNone = 0;  // tables of a comma-separated FROM list
constexpr TJoinType jtInner = 1;
constexpr TJoinType jtLeftOuter = 2;
constexpr TJoinType jtRightOuter = 3;  // only while an ON clause is parsed

// Aggregate kinds of a result column.
constexpr uint8_t akNone = 0;
constexpr uint8_t akSum = 1;
constexpr uint8_t akMin = 2;
constexpr uint8_t akMax = 3;
constexpr uint8_t akAvg = 4;
constexpr uint8_t akCount = 5;

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

// The marks the SELECT parser leaves in the WHERE tree for the join planner, kept in the
// nodes' binding bytes 0 and 1 (comparison and condition nodes are never bound; column
// binding must leave these two bytes alone).
inline uint8_t JoinTypeMark(const TExpToken* node) {
    return node->BindBytes[0];
}
inline bool IsOnClauseCondition(const TExpToken* node) {
    return node->BindBytes[1] != 0;
}

// Called with no arguments when a source table is encrypted and the session lacks its
// password; true when a password was added and the open is to be tried again.
using TQueryPasswordEvent = std::function<bool()>;
using TQueryProgressEvent =
    std::function<void(TObject* Sender, int32_t CurrentRecord, uint16_t PercentDone, bool& AbortQuery)>;

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

class TOrderByField : public TObject {
public:
    explicit TOrderByField(TDataQuery* owner) : Owner(owner) {}

    TDataQuery* Owner;
    std::string ColumnName;
    std::string CorrelationName;
    int32_t ColumnNo = 0;   // 1-based; found by the name when not written as a number
    bool ByNumber = false;  // a number was written: ColumnNo is it, even when 0
    bool Descending = false;
};

class TGroupByField : public TObject {
public:
    explicit TGroupByField(TDataQuery* owner) : Owner(owner) {}

    TDataQuery* Owner;
    std::string ColumnName;
    std::string CorrelationName;
    int32_t ColumnNo = 0;   // 1-based; found by the name when not written as a number
    bool ByNumber = false;  // a number was written: ColumnNo is it, even when 0
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

class TTableJoin : public TObject {
public:
    explicit TTableJoin(TSourceTable* owner) : Owner(owner) {}

    TSourceTable* Owner;
    TJoinType JoinType = jtNone;
    TSourceTable* JoinedTable = nullptr;
    TExpTree Condition;
    TFilter* Filter = nullptr;  // on the joined table's cursor

    // A join without type takes type and condition; otherwise the conditions are combined
    // with the operator of the new condition's parent in the WHERE tree (AND without one).
    void AddCondition(TJoinType joinType, TExpTree condition, const TExpToken* parent);
    // Positions the joined table on its first row matching the outer row; a left outer
    // join succeeds without a match (the joined table then reads as NULL).
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

// A table a statement reads or changes.
class TSourceTable : public TObject {
public:
    explicit TSourceTable(TDataQuery* owner);
    ~TSourceTable() override;
    TSourceTable(const TSourceTable&) = delete;
    TSourceTable& operator=(const TSourceTable&) = delete;

    TDataQuery* Owner;
    TSessionDirectory Directory;
    std::unique_ptr<TDataCursor> Cursor;
    bool InMemory = false;
    int32_t FromPosition = 0;  // 1-based over the whole FROM clause
    int32_t PlanPosition = 0;
    std::string DirectoryName;
    std::string TableName;
    std::string CorrelationName;
    int32_t RecordSize = 0;
    TRecordBlock RecordBuffer;
    std::vector<std::unique_ptr<TTableJoin>> Joins;
    bool EndOfData = false;

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
    // The nested loop below this table: the first (next) row with every join matched.
    bool FirstJoinRow(TJoinType joinType);
    bool NextJoinRow();
    bool AdvanceJoins(int32_t index);
    // Whether every join finds its first row for this table's current row.
    bool JoinsMatch();
    // This table and the tables joined below it read as NULL.
    void MarkNoRow();

    // Splits a path off the name ("\", ":" or "/"); a MEMORY table lives in "Memory",
    // a plain name in the folder of the statement's database. Without a correlation name
    // the table's file name without extension becomes it. Ignored while the cursor is open.
    void SetTableName(const std::string& name);
    void SetCorrelationName(const std::string& name);
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
    // The live result: the driving table's own cursor.
    bool IsSource() const { return FCursor && !FOwned; }

private:
    std::unique_ptr<TDataCursor> FOwned;
    TDataCursor* FCursor = nullptr;
};

// Sub-selects inside sub-selects, at most.
constexpr int32_t MaxSubSelectNesting = 32;

// One statement of the text: the main query or a sub-select.
class TDataQuery : public TObject, public TSubQuery {
public:
    explicit TDataQuery(TQueryStatement* owner);
    ~TDataQuery() override;
    TDataQuery(const TDataQuery&) = delete;
    TDataQuery& operator=(const TDataQuery&) = delete;

    TQueryStatement* Owner;
    TSessionDirectory ResultDirectory;
    bool Executed = false;
    bool IsSubQuery = false;
    TStatementKind Kind = skNone;
    double ExecutionTime = 0;
    bool RequestLive = false;
    int32_t RowsAffected = 0;
    int32_t MaxRowCount = -1;
    TQueryPasswordEvent OnPassword;
    TQueryProgressEvent OnProgress;

    // SELECT flags.
    bool Distinct = false;
    bool HasAvg = false;
    bool HasExpressionColumns = false;
    bool HasResidualWhere = false;
    bool HasResidualJoin = false;
    bool MultipleTables = false;  // a "," or a JOIN in FROM
    bool NoJoinOptimize = false;
    bool HasConditions = false;  // a WHERE or an ON clause
    bool HasHaving = false;
    bool HasOrderBy = false;
    bool OrderByIndexMatched = false;
    uint8_t OrderByIndexNo = 255;  // none
    bool LiveOrderBy = false;
    std::vector<std::unique_ptr<TOrderByField>> OrderByFields;
    bool OrderByNoCase = false;
    bool Grouped = false;
    std::vector<std::unique_ptr<TGroupByField>> GroupByFields;
    bool AggregateOnly = false;
    bool CountStarOnly = false;
    // A COUNT(*)-only run whose whole condition one index range answered: its count.
    bool IndexCountGiven = false;
    int32_t IndexCount = 0;
    bool HavingGiven = false;
    bool LivePlan = false;
    bool TargetInMemory = false;
    bool InsertSelect = false;
    std::string TargetTableName;
    std::string IndexName;
    TResultCursor ResultCursor;
    bool BlobPerRow = false;
    bool WithLocks = false;
    TSourceTable* DrivingTable = nullptr;

    std::vector<std::unique_ptr<TSourceTable>> SourceTables;
    std::vector<std::unique_ptr<TResultField>> ResultFields;
    std::vector<std::unique_ptr<TUpdateField>> UpdateFields;
    std::vector<std::unique_ptr<TUpdateValue>> UpdateValues;
    std::vector<std::unique_ptr<TCreateField>> CreateFields;
    std::vector<std::unique_ptr<TCreateIndex>> CreateIndexes;

    TExpTree Where;  // every WHERE and ON condition, chained by AND in text order
    TExpTree Having;
    TExpTree ResidualWhere;
    TExpTree ResidualJoin;
    TFilter* WhereFilter = nullptr;
    TFilter* SubQueryFilter = nullptr;

    // Options of the statement's tail.
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

    // Back to the defaults, clause lists and trees freed; RequestLive, MaxRowCount and
    // the callbacks stay.
    void Reset();
    // Parses one statement from the parser's current token with the database's language
    // settings in force. Does nothing once executed.
    void ParseStatement(bool subQuery);
    // Planning and running; the SQL processor's execution side.
    void Prepare();
    // Runs the statement; result is the result cursor of a SELECT (nil otherwise).
    void Execute(TDataCursor*& result);
    void SetPasswordEvent(const TQueryPasswordEvent& event) { OnPassword = event; }
    void SetProgressEvent(const TQueryProgressEvent& event) { OnProgress = event; }
    void DoProgress(int32_t currentRecord, uint16_t percentDone, bool& abort);
    void CloseResultCursor();

    void ClearSourceTables() { SourceTables.clear(); }
    void ClearResultFields() { ResultFields.clear(); }
    void ClearUpdateFields() { UpdateFields.clear(); }
    void ClearUpdateValues() { UpdateValues.clear(); }
    void ClearCreateFields() { CreateFields.clear(); }
    void ClearCreateIndexes() { CreateIndexes.clear(); }
    void ClearOrderByFields() { OrderByFields.clear(); }
    void ClearGroupByFields() { GroupByFields.clear(); }

    // The SELECT parser.
    void ParseSelect();
    void ParseSelectColumn(TResultField* column);
    // A WHERE (where true) or ON condition, chained into the WHERE tree; returns it.
    TExpToken* ParseCondition(bool where);
    void ParseHaving();
    // Refuses a correlation name that another source table already has.
    void CheckCorrelationNames(const std::string& name, TSourceTable* table);
    // Marks the comparisons of columns with columns in an ON condition with its join type.
    void MarkJoinConditions(TJoinType joinType, TExpToken* condition);

    // The data and definition statement parsers and their parts.
    void ParseInsert();
    void ParseUpdate();
    void ParseDelete();
    void ParseCreateTable();
    void ParseAlterTable();
    void ParseDropTable();
    void ParseCreateIndex();
    void ParseDropIndex();
    void ParseInsertColumn(TUpdateField* field);
    void ParseUpdateColumn(TUpdateField* field);
    void ParseInsertValue(TUpdateValue* value);
    void ParseUpdateValue(TUpdateValue* value);
    void ParseColumnDefinition(TCreateField* field, bool typeRequired);
    void ParseName(TCreateIndex* index);
    void ParseIndexName();
    int32_t ParseLastAutoInc();
    int32_t ParseCommitInterval();

    // ---- Source tables, joins and push-down (shared with the data statements) ----
    // Opens every source table in list order; the first gives the language and sort ids
    // unless the statement gave them.
    void OpenSourceTables();
    void AllocSourceBuffers();
    TSourceTable* FindSourceTable(const std::string& correlation) const;
    TSourceTable* SourceAtPosition(int32_t fromPosition) const;
    // With a correlation name that table; without one the first table with the field;
    // "*" or an empty name gives the first table (field 0). False when not found.
    bool FindSourceColumn(const std::string& correlation, const std::string& name, TSourceTable*& table,
                          int32_t& fieldNo) const;
    // Binds a column node of a source expression: BindLong1 the table's FROM position,
    // BindWord the field number, BindLong2 srcSource, and the field's type data.
    bool BindSourceColumn(TExpToken* node, bool whereClause);
    // Validates the WHERE tree (every column bound) as a boolean expression.
    void ValidateWhere();
    void LockSourceTables();
    void UnlockSourceTables();
    void ResyncSourceCursors();
    void ResetJoinFilters();
    void ChainSourceTables();
    void AnalyzeJoinConditions();
    // The join comparisons' checks, before anything of the tree is moved.
    void CheckJoinComparisons(const TExpToken* node, const TExpToken* parent) const;
    // Returns what stands in the node's place afterwards (nil: taken out).
    TExpToken* ExtractJoinConditions(TExpToken* node, TExpToken* parent);
    void SortSourceTables();
    void CheckJoinTargets();
    void ValidateJoinConditions();
    // pass 1: conditions an index answers, before joins are reordered; pass 0: the rest.
    void OptimizeWhere(int32_t pass);
    void PushDownConditions(int32_t pass, TExpToken* node);
    void AddTableFilter(int32_t pass, const TExpToken* condition, TSourceTable* table);
    bool CanOptimizeJoins();
    void OptimizeJoins();
    void ReRootJoinTree(TSourceTable* table);
    // Puts the table before the other: the two exchange places, or it is moved there.
    void MoveSourceTable(TSourceTable* table, TSourceTable* before, bool exchange);
    bool FirstSourceRow();
    bool NextSourceRow();
    // The evaluator's column callback: source columns from their table's record buffer
    // (NULL while the table has no row), result columns from the record passed.
    void GetSourceFieldValue(TExpToken* node, const uint8_t* resultRecord);
    void ReadSourceBlob(TSourceTable* table, int32_t fieldNo, TExpToken* node);
    TGetColumnValueFunc ColumnValueFunc();
    TExpTree Evaluate(TExpToken* node, const uint8_t* resultRecord = nullptr);
    bool TestCondition(TExpToken* condition, const uint8_t* resultRecord = nullptr);
    bool TestWhere() { return TestCondition(ResidualWhere.get()); }
    bool TestJoinFilter() { return TestCondition(ResidualJoin.get()); }
    // The inner table of a typed join of that type (jtNone: any typed join).
    bool IsJoinTarget(const TSourceTable* table, TJoinType joinType) const;

    // ---- SELECT binding and result table ----
    void PrepareSelect();
    void BuildResultColumns();
    void AddTableColumns(TSourceTable* table, std::vector<std::unique_ptr<TResultField>>& into);
    bool IsAggregateOnly() const;
    bool IsCountStarOnly() const;
    bool CanReturnLiveResult() const;
    std::string MakeColumnName(const TResultField* column) const;
    std::string AppendNameCounter(const std::string& base, int32_t counter) const;
    void CheckOrderBy();
    void CheckGroupBy();
    void CheckDistinct();
    void ValidateHavingCondition();
    void BindHaving();
    bool FindResultColumn(bool aggregates, const std::string& name, const std::string& correlation,
                          int32_t& number) const;
    TResultField* FindResultExpression(const TExpToken* expression);
    void FindOrderByIndex();
    // DDL: the target's directory (the statement database's folder for a plain name).
    void OpenResultDirectory(bool select);
    void CreateResultTable();
    void BuildLiveFieldList();
    // The result table's field descriptors (hidden AVG counts last).
    std::vector<TFieldDescriptor> BuildResultDescriptors();

    // ---- SELECT execution ----
    void ExecuteSelect(TDataCursor*& result);
    int32_t ScanSourceRows(bool& abort, int32_t limit, const std::function<void()>& take,
                           const std::function<void()>& afterRow);
    void BuildResultRows();
    void BuildAggregateResult();
    void FillResultRecord(uint8_t* record);
    void WriteResultColumns(uint8_t* record);
    void SortResultTable();
    void SortResult(const std::vector<TFieldDescriptor>& fields, bool caseInsensitive, bool dropDuplicates,
                    const TSortGroupSteps* steps);
    // A column's value into a result record, in the result field's type; aggregates store
    // what one row contributes (COUNT 1 or 0, AVG also its hidden count).
    void StoreResultValue(const TResultField* column, uint8_t* record, TExpToken* value);
    // A result field's value out of a record image (column nil: a hidden integer count).
    void ReadResultValue(const uint8_t* record, int32_t fieldNo, const TResultField* column,
                         TExpToken* value);
    void MergeGroupRow(bool first, uint8_t* head, const uint8_t* row);
    void ConvertAggregateValue(uint8_t kind, const TResultField* column, TExpToken* head, TExpToken* value);
    void FinishGroupRow(uint8_t* head);
    bool HavingGroupRow(const uint8_t* head) { return TestHaving(head); }
    bool TestHaving(const uint8_t* head) { return TestCondition(Having.get(), head); }
    TExpTree BuildSubQueryCondition(const TExpToken* comparison);

    // Planning state beyond the parsed model.
    bool SkipOrderBySort = false;
    int32_t HiddenFieldCount = 0;
    bool HasBlobExpression = false;
    // The tables whose explicit read lock a WITH LOCKS run holds.
    std::vector<TSourceTable*> ReadLockedTables;
    void DropSubQueryFilter();

    // The query of an IN (SELECT ...): parsing here; binding, filtering and counting
    // belong to the SELECT execution.
    void ParseSubSelect(TExpressionParser& parser) override;
    int32_t ResultColumnCount() override { return static_cast<int32_t>(ResultFields.size()); }
    bool BindSubQueryColumn(TExpToken* node) override;
    void SetSubQueryFilter(TExpToken* comparison) override;
    int32_t GetRecordCount() override;

    TExpressionParser& Parser();

    // ---- Data and definition statements ----
    // Binds the target columns to the target table's fields ("*" of an INSERT becomes
    // every field) and checks the value count.
    void MapUpdateColumns(bool insert);
    void AddTargetColumns(size_t at);
    // One value per result column of the INSERT's SELECT.
    void CreateUpdateValues();
    // Validates every value against its column.
    void CheckUpdateValues();
    // Value i evaluated and written into the target record.
    void EvalInsertValue(int32_t i, uint8_t* record);
    void EvalInsertSelectValue(int32_t i, uint8_t* record, const uint8_t* selectRecord);
    void EvalUpdateValue(int32_t i, uint8_t* record);
    void ExecInsertValues();
    void ExecInsertSelect();
    void ExecUpdate();
    void ExecDelete();
    void ExecCreateTable();
    void ExecAlterTable();
    void ExecDropTable();
    void ExecCreateIndex();
    void ExecDropIndex();
    // Prepare and Execute of INSERT, UPDATE and DELETE.
    void PrepareDataStatement();
    void ExecuteDataStatement();
    // Value i into the target record: NULL blanks the field, another type is converted.
    void PutUpdateValue(int32_t i, TExpToken& value, uint8_t* record, bool update);
    // The row loop of UPDATE (update) and DELETE.
    void RunChangeLoop(bool update);
    bool NextRowAfterChange(uint32_t changed);
    // ALTER TABLE's parts: the definition as stored (with the options not given), the
    // restructure with the query's options, and the primary index dropped.
    void ReadTableDefinition(std::vector<TFieldDescriptor>& fields, std::vector<TIndexDescriptor>& indexes);
    void RestructureTable(std::vector<TFieldDescriptor> fields, std::vector<TIndexDescriptor> indexes);
    void DropPrimaryIndex();
    // The options CREATE and ALTER TABLE share, from the statement (ALTER has read the
    // table's own into those not given).
    void SetTableOptions(TCreateTableOptions& options) const;

private:
    enum class TClauseLevel { Expression, Signed, Primary };

    [[noreturn]] void Fail(const std::string& message);
    // message + the current token's text + "'".
    [[noreturn]] void FailToken(const std::string& message);
    bool IsNameToken() const;        // symbol or quoted string
    bool IsSelectNameToken() const;  // symbol, bracketed name or quoted string
    bool TokenIs(const char* keyword) const;
    bool TokenIsAny(std::initializer_list<const char*> keywords) const;
    std::string TokenText() const;
    void Next();
    void ExpectStatementEnd(const char* statement);
    // One clause through the expression parser with its context; the context goes back
    // to the statement's afterwards.
    TExpTree ParseClause(TClauseLevel level, uint8_t flags, const char* context, const char* emptyMessage);
    void ParseTableReference(const char* missingMessage, bool joined, bool atHead);
    void ParseOrderOrGroupItem(bool order);
    void ParseLanguageOption();
    void ParseEncryptedOption();
    std::string ParseOptionText();
    int32_t ParseInteger(const char* context, const char* emptyMessage);
    void ParseTargetColumn(TUpdateField* field);
    void ParseValue(TUpdateValue* value);
    void ParseColumnAttributes(TCreateField* field, bool alter);
    TCreateIndex* ParsePrimaryKey();
    void ParseIndexColumns(TCreateIndex* index);
    void ParseCompression(TCreateIndex* index);
    void ParseIndexFlags(TCreateIndex* index);
    void SkipConstraintName();
    void ExpectPrimaryKey();
    void ParseCommitIntervalOption();
    void ParseTableOptions(bool alter);
    TSourceTable* ParseDmlTarget(const char* missing, const char* missingAfterMemory);
    void ParseTargetTableName(const char* missing);
    bool ParseMemoryPrefix(const char* missing, const char* missingAfterMemory);
    void ParseCorrelationName(TSourceTable* table, std::initializer_list<const char*> clauseWords);
};

// One SQL text, from Prepare through Execute.
class TQueryStatement : public TObject, public TExpressionOwner {
public:
    // database: the engine database whose folder holds unqualified tables and whose
    // session's language reads the text; nil parses with language 0.
    explicit TQueryStatement(TDataDirectory* database);
    ~TQueryStatement() override;
    TQueryStatement(const TQueryStatement&) = delete;
    TQueryStatement& operator=(const TQueryStatement&) = delete;

    TDataDirectory* Owner() const { return FOwner; }
    TExpressionParser& Parser() { return *FParser; }
    TDataQuery* MainQuery() const { return FMainQuery; }
    int32_t QueryCount() const { return static_cast<int32_t>(FQueries.size()); }
    TDataQuery* Query(int32_t index) const { return FQueries[index].get(); }
    // The parameter markers in text order; they belong to the parsed trees.
    int32_t ParamCount() const { return static_cast<int32_t>(FParams.size()); }
    TExpToken* Param(int32_t index) const { return FParams[index]; }

    void SetRequestLive(bool value);
    void SetMaxRowCount(int32_t value);
    void SetPasswordEvent(const TQueryPasswordEvent& event);
    void SetProgressEvent(const TQueryProgressEvent& event);
    // Parses the text and prepares every query, the sub-selects last to first, then the
    // main query. Adds the offset of the token after the statement to position; when the
    // text fails, the offset of the failing token, and the error goes on to the caller.
    void Prepare(const std::string& text, int32_t& position);
    // The parse half of Prepare; returns the parser's offset after the statement.
    int32_t Parse(const std::string& text);
    // One parameter's value per marker, in order.
    struct TParamValue {
        uint8_t DataType = 0;
        uint8_t SubType = 0;
        int32_t DataSize = 0;  // stored bytes behind the flag byte
        uint8_t Decimals = 0;
        int32_t Offset = 0;  // of the flag byte in the record
    };
    // Copies values from a record laid out by the descriptors: a flag byte (0 = NULL)
    // and the stored bytes; a BLOB holds a 32-bit length and the address of its bytes.
    void SetParams(int32_t count, const TParamValue* fields, const uint8_t* record);
    template <class TDescriptor>
    void SetParams(int32_t count, const TDescriptor* descriptors, const uint8_t* record) {
        std::vector<TParamValue> values(count > 0 ? count : 0);
        for (int32_t i = 0; i < count; ++i)
            values[i] = {descriptors[i].DataType, descriptors[i].SubType, descriptors[i].DataSize,
                         descriptors[i].Decimals, descriptors[i].Offset};
        SetParams(count, values.data(), record);
    }
    void Execute(TDataCursor*& result);
    double GetExecutionTime() const;
    int32_t GetRowsAffected() const;
    void AddQuery(std::unique_ptr<TDataQuery> query);

    // The expression parser's calls.
    TSubQuery* CreateSubQuery() override;
    void AddParameter(TExpToken* node) override;

    // Counts the sub-selects being parsed inside one another.
    class TNesting {
    public:
        explicit TNesting(TQueryStatement& s) : FStatement(s) { ++FStatement.FNesting; }
        ~TNesting() { --FStatement.FNesting; }
        TNesting(const TNesting&) = delete;
        TNesting& operator=(const TNesting&) = delete;
        int32_t Depth() const { return FStatement.FNesting; }

    private:
        TQueryStatement& FStatement;
    };

private:
    int32_t FNesting = 0;
    TDataDirectory* FOwner;
    std::unique_ptr<TExpressionParser> FParser;
    TDataQuery* FMainQuery = nullptr;
    std::vector<std::unique_ptr<TDataQuery>> FQueries;
    std::vector<TExpToken*> FParams;
};
