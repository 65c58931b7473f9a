#pragma once
// The statement model of the SQL processor: one TQueryStatement per SQL text, owning its
// expression parser, its main TDataQuery and one TDataQuery per sub-select, and the
// parameter markers of the text. A query keeps its state in three parts, each written by
// one phase: the clauses (the parsers), the plan (Prepare, completed by the first steps of
// a run) and the run (Execute).
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "db/sql/QueryClauses.h"
#include "db/sql/QueryPlan.h"
#include "db/sql/SourceTable.h"
#include "db/storage/ExpToken.h"
#include "db/storage/ExpressionEval.h"
#include "db/storage/ExpressionParser.h"
#include "db/storage/SubSelect.h"
#include "platform/rtl/System.h"

class TDataCursor;
class TQueryStatement;
struct TCreateTableOptions;
struct TFieldDescriptor;
struct TIndexDescriptor;
struct TSortGroupSteps;

using TQueryProgressEvent =
    std::function<void(TObject* Sender, int32_t CurrentRecord, uint16_t PercentDone, bool& AbortQuery)>;

// Sub-selects inside sub-selects, at most.
constexpr int32_t MaxSubSelectNesting = 32;

// One statement of the text: the main query or a sub-select.
class TDataQuery : public TObject, public TSubQuery {
public:
    explicit TDataQuery(TQueryStatement* owner);
    ~TDataQuery() override;
    TDataQuery(const TDataQuery&) = delete;
    TDataQuery& operator=(const TDataQuery&) = delete;

    TQueryStatement* Owner() const { return FOwner; }
    const TQueryClauses& Clauses() const { return FClauses; }
    // The plan in short: see TQueryPlan::Text.
    std::string PlanText() const { return FPlan.Text(); }

    // The caller's settings, which Reset keeps.
    bool RequestLive() const { return FRequestLive; }
    void SetRequestLive(bool value) { FRequestLive = value; }
    int32_t MaxRowCount() const { return FMaxRowCount; }  // -1: no limit
    void SetMaxRowCount(int32_t value) { FMaxRowCount = value; }
    TQueryPasswordEvent OnPassword;
    TQueryProgressEvent OnProgress;
    void SetPasswordEvent(const TQueryPasswordEvent& event) { OnPassword = event; }
    void SetProgressEvent(const TQueryProgressEvent& event) { OnProgress = event; }

    // What a run gives.
    bool Executed() const { return FRun.Executed; }
    int32_t RowsAffected() const { return FRun.RowsAffected; }
    double ExecutionTime() const { return FRun.ExecutionTime; }
    TDataCursor* ResultCursor() const { return FRun.ResultCursor.Get(); }
    // The select list as bound.
    const TBoundList<TResultField>& ResultColumns() const { return FPlan.Columns; }

    // Back to the defaults, clauses, plan and run freed; the settings and callbacks stay.
    void Reset();
    // Parses one statement from the parser's current token with the database's language
    // settings in force. Does nothing once executed.
    void ParseStatement(bool subQuery);
    void Prepare();
    // Runs the statement; result is the result cursor of a SELECT (nil otherwise).
    void Execute(TDataCursor*& result);
    void DoProgress(int32_t currentRecord, uint16_t percentDone, bool& abort);
    void CloseResultCursor();

    // A node evaluated on the source tables' current rows (result columns from the record).
    TExpTree Evaluate(TExpToken* node, const uint8_t* resultRecord = nullptr);

    // The query of an IN (SELECT ...): parsing here; binding, filtering and counting
    // belong to the SELECT execution.
    void ParseSubSelect(TExpressionParser& parser) override;
    // The select list as bound, or as parsed before binding.
    int32_t ResultColumnCount() override;
    bool BindSubQueryColumn(TExpToken* node) override;
    void SetSubQueryFilter(TExpToken* comparison) override;
    int32_t GetRecordCount() override;

private:
    enum class TClauseLevel { Expression, Signed, Primary };

    TExpressionParser& Parser();

    // ---- Parsing: writes the clauses ----
    // The clause lists' objects freed, by Reset before a parse (the plan points into them).
    void ClearSourceTables() {
        FClauses.SourceTables.clear();
        FClauses.CorrelationNames.clear();
    }
    void ClearResultFields() { FClauses.ResultFields.clear(); }
    void ClearUpdateFields() { FClauses.UpdateFields.clear(); }
    void ClearUpdateValues() { FClauses.UpdateValues.clear(); }
    void ClearCreateFields() { FClauses.CreateFields.clear(); }
    void ClearCreateIndexes() { FClauses.CreateIndexes.clear(); }
    void ClearOrderByFields() { FClauses.OrderByFields.clear(); }
    void ClearGroupByFields() { FClauses.GroupByFields.clear(); }

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
    void ParseSelect();
    void ParseSelectColumn(TResultField* column);
    // A WHERE (where true) or ON condition, chained into the WHERE tree; returns it.
    TExpToken* ParseCondition(bool where);
    void ParseHaving();
    // Refuses a correlation name that another source table already has.
    void CheckCorrelationNames(const std::string& name);
    // Marks the comparisons of columns with columns in an ON condition with its join type.
    void MarkJoinConditions(TJoinType joinType, TExpToken* condition);
    void ParseTableReference(const char* missingMessage, bool joined, bool atHead);
    void ParseOrderOrGroupItem(bool order);
    void ParseLanguageOption();
    void ParseEncryptedOption();
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

    // ---- Planning: writes the plan ----
    // Source tables (shared with the data statements). Opens every source table in list
    // order; the first gives the language and sort ids unless the statement gave them.
    void OpenSourceTables();
    void AllocSourceBuffers();
    TSourceTable* FindSourceTable(const std::string& correlation) const;
    TSourceTable* SourceAtPosition(int32_t fromPosition) const;
    // With a correlation name that table; without one the first table with the field;
    // "*" or an empty name gives the first table (field 0). False when not found.
    bool FindSourceColumn(const std::string& correlation, const std::string& name, TSourceTable*& table,
                          int32_t& fieldNo) const;
    // Binds a column node of a source expression: BindLong1 the table's FROM position,
    // BindWord the field number, BindLong2 BoundSourceColumn, and the field's type data.
    bool BindSourceColumn(TExpToken* node, bool whereClause);
    // Validates the WHERE tree (every column bound) as a boolean expression.
    void ValidateWhere();
    // A SELECT's WHERE prepared once meets this run's parameter values (MeetParameterValues).
    void MeetWhereParameters();
    // The join graph.
    void ChainSourceTables();
    void AnalyzeJoinConditions();
    // The join comparisons' checks, before anything of the tree is moved.
    void CheckJoinComparisons(const TExpToken* node, const TExpToken* parent) const;
    // Returns what stands in the node's place afterwards (nil: taken out).
    TExpToken* ExtractJoinConditions(TExpToken* node, TExpToken* parent);
    // An outer join's whole ON condition taken as the join's (true), or not.
    bool TakenAsOuterJoin(TExpToken* node, const TExpToken* parent);
    void SortSourceTables();
    void CheckJoinTargets();
    void ValidateJoinConditions();
    // Push-down, run when a run starts. Pass 1: conditions an index answers, before the
    // joins are reordered; pass 0: the rest.
    void ResetJoinFilters();
    void OptimizeWhere(int32_t pass);
    void PushDownConditions(int32_t pass, TExpToken* node);
    void AddTableFilter(int32_t pass, const TExpToken* condition, TSourceTable* table);
    TFilter* InstallFilter(TSourceTable* table, TExpTree condition);
    bool CanOptimizeJoins();
    void OptimizeJoins();
    void ReRootJoinTree(TSourceTable* table);
    // Puts the table before the other: the two exchange places, or it is moved there.
    void MoveSourceTable(TSourceTable* table, TSourceTable* before, bool exchange);
    // SELECT binding and the result table.
    void PrepareSelect();
    void BuildResultColumns();
    void AddTableColumns(TSourceTable* table);
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
    // Whether a HAVING part is a select item's expression.
    bool SameExpression(const TExpToken* a, const TExpToken* b) const;
    void FindOrderByIndex();
    // DDL: the target's directory (the statement database's folder for a plain name).
    void OpenResultDirectory(bool select);
    void CreateResultTable();
    void BuildLiveFieldList();
    // The result table's field descriptors (hidden AVG counts last).
    std::vector<TFieldDescriptor> BuildResultDescriptors();
    // Data statements. Binds the target columns to the target table's fields ("*" of an
    // INSERT becomes every field) and checks the value count.
    void PrepareDataStatement();
    void MapUpdateColumns(bool insert);
    void AddTargetColumns(size_t at);
    // One value per result column of the INSERT's SELECT.
    void CreateUpdateValues();
    // Validates every value against its column.
    void CheckUpdateValues();

    // ---- Running: writes the run ----
    void LockSourceTables();
    void UnlockSourceTables();
    void ResyncSourceCursors();
    bool FirstSourceRow();
    bool NextSourceRow();
    // The evaluator's column callback: source columns from their table's record buffer
    // (NULL while the table has no row), result columns from the record passed.
    void GetSourceFieldValue(TExpToken* node, const uint8_t* resultRecord);
    void ReadSourceBlob(TSourceTable* table, int32_t fieldNo, TExpToken* node);
    TGetColumnValueFunc ColumnValueFunc();
    bool TestCondition(TExpToken* condition, const uint8_t* resultRecord = nullptr);
    bool TestWhere() { return TestCondition(FPlan.ResidualWhere.get()); }
    bool TestJoinFilter() { return TestCondition(FPlan.ResidualJoin.get()); }
    // SELECT.
    void ExecuteSelect(TDataCursor*& result);
    int32_t ScanSourceRows(bool& abort, int32_t limit, const std::function<void()>& take,
                           const std::function<void()>& afterRow);
    // Whether the result cursor's view is what the table holds (a private fill just built it).
    bool BuildResultRows();
    void BuildAggregateResult();
    // Where each result column reads its source, found once for a fill's rows.
    void BindColumnSources();
    // The row's columns into a result record; value is a token the caller keeps for its rows.
    void FillResultRecord(uint8_t* record, TExpToken* value);
    void WriteResultColumns(uint8_t* record);
    // The sorts of the result table, in their order (DISTINCT, grouping, ORDER BY), and
    // whether any of them runs.
    bool SortsDistinct() const;
    bool SortsGroups() const;
    bool SortsOrder() const;
    bool ResultSorted() const;
    // Runs the sorts of the result table; whether anything was sorted.
    bool SortResultTable();
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
    bool TestHaving(const uint8_t* head) { return TestCondition(Clauses().Having.get(), head); }
    TExpTree BuildSubQueryCondition(const TExpToken* comparison);
    void DropSubQueryFilter();
    // Data and definition statements.
    void ExecuteDataStatement();
    // Value i evaluated and written into the target record.
    void EvalInsertValue(int32_t i, uint8_t* record);
    void EvalInsertSelectValue(int32_t i, uint8_t* record, const uint8_t* selectRecord);
    void EvalUpdateValue(int32_t i, uint8_t* record);
    // Value i into the target record: NULL blanks the field, another type is converted.
    void PutUpdateValue(int32_t i, TExpToken& value, uint8_t* record, bool update);
    void ExecInsertValues();
    void ExecInsertSelect();
    void ExecUpdate();
    void ExecDelete();
    // The row loop of UPDATE (update) and DELETE.
    void RunChangeLoop(bool update);
    bool NextRowAfterChange(uint32_t changed);
    void ExecCreateTable();
    void ExecAlterTable();
    void ExecDropTable();
    void ExecCreateIndex();
    void ExecDropIndex();
    // ALTER TABLE's parts: the definition as stored with the options the statement did not
    // give, the restructure with those options, and the primary index dropped.
    void ReadTableDefinition(std::vector<TFieldDescriptor>& fields, std::vector<TIndexDescriptor>& indexes,
                             TTableOptions& options);
    void RestructureTable(std::vector<TFieldDescriptor> fields, std::vector<TIndexDescriptor> indexes,
                          const TTableOptions& options);
    void DropPrimaryIndex();

    TQueryStatement* FOwner;
    bool FRequestLive = false;
    int32_t FMaxRowCount = -1;
    // Declared in the order they depend on one another: the plan and the run point at the
    // clauses' tables, so they go first.
    TQueryClauses FClauses;
    TQueryPlan FPlan;
    TQueryRun FRun;
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
    // The last text was parsed and its queries prepared: only then may it run.
    bool FPrepared = false;
};
