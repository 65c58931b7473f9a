// SELECT execution: the live result, or the result table filled from the nested-loop join
// and then grouped, de-duplicated and ordered by physical sorts of that table; aggregates
// folded inside the sort; and the IN sub-select's filter on its result.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "db/engine/DataCursor.h"
#include "db/engine/DataDirectory.h"
#include "db/engine/DataSession.h"
#include "db/sql/QueryStatement.h"
#include "db/sql/SqlQuerySupport.h"
#include "db/storage/Encodings.h"
#include "db/storage/EngineErrors.h"
#include "db/storage/ExpressionEval.h"
#include "db/storage/LanguageSettings.h"
#include "platform/rtl/Math.h"
#include "platform/rtl/ScopeGuard.h"

namespace {

uint16_t Percent(int32_t current, int32_t total) {
    if (total <= 0) return 100;
    return uint16_t(std::clamp<int64_t>(Round((long double)current * 100 / total), 0, 100));
}

template <class T>
T Load(const uint8_t* v) {
    T x;
    std::memcpy(&x, v, sizeof x);
    return x;
}

// A number of any numeric, date or time form, and back within the type's range.
long double NumberOf(uint8_t type, uint8_t decimals, const uint8_t* v) {
    (void)decimals;
    switch (type) {
        case dtSmallInt:
            return Load<int16_t>(v);
        case dtWord:
        case dtBoolean:
            return Load<uint16_t>(v);
        case dtInteger:
        case dtDate:
        case dtTime:
            return Load<int32_t>(v);
        case dtLongWord:
            return Load<uint32_t>(v);
        case dtFloat:
        case dtTimeStamp:
            return Load<double>(v);
        case dtBCD:
            return (long double)DecodeBCD(Load<int64_t>(v)).Units / 10000;
        default:
            return 0;
    }
}

template <class T>
void StoreClamped(long double x, uint8_t* v) {
    x = std::clamp<long double>(x, std::numeric_limits<T>::lowest(), std::numeric_limits<T>::max());
    const T t = T(x);
    std::memcpy(v, &t, sizeof t);
}

void StoreNumber(uint8_t type, uint8_t decimals, long double x, uint8_t* v) {
    switch (type) {
        case dtSmallInt:
            return StoreClamped<int16_t>(std::nearbyint(x), v);
        case dtWord:
            return StoreClamped<uint16_t>(std::nearbyint(x), v);
        case dtInteger:
        case dtDate:
        case dtTime:
            return StoreClamped<int32_t>(std::nearbyint(x), v);
        case dtLongWord:
            return StoreClamped<uint32_t>(std::nearbyint(x), v);
        case dtFloat:
        case dtTimeStamp:
            return StoreClamped<double>(x, v);
        case dtBCD: {
            const long double units =
                std::clamp<long double>(std::nearbyint(x * 10000), -CurrencyUnitsLimit, CurrencyUnitsLimit);
            const int64_t packed = EncodeBCD(decimals, Currency::FromUnits(int64_t(units)));
            std::memcpy(v, &packed, 8);
            return;
        }
        default:
            return;
    }
}

// Whether a field of the type holds x (StoreNumber brings any other value to the nearest
// one it holds).
bool HoldsNumber(uint8_t type, uint8_t decimals, long double x) {
    switch (type) {
        case dtSmallInt:
        case dtWord:
        case dtBoolean:
        case dtInteger:
        case dtDate:
        case dtTime:
        case dtLongWord: {
            int64_t low, high;
            IntegerRangeOf(type, low, high);
            const long double n = std::nearbyint(x);
            return n >= low && n <= high;
        }
        case dtFloat:
        case dtTimeStamp:
            return std::fabs(x) <= std::numeric_limits<double>::max();
        case dtBCD:
            return std::fabs(std::nearbyint(x * 10000)) <= CurrencyUnitsLimit &&
                   FitsBCD(decimals, Currency::FromUnits(int64_t(std::nearbyint(x * 10000))));
        default:
            return true;
    }
}

bool IsNumericLike(uint8_t type) {
    switch (type) {
        case dtSmallInt:
        case dtWord:
        case dtInteger:
        case dtDate:
        case dtTime:
        case dtLongWord:
        case dtFloat:
        case dtTimeStamp:
        case dtBCD:
            return true;
        default:
            return false;
    }
}

// Rows written into a result table of this statement's own go in as one transaction of
// that table, committed every so many rows: without it every row would write the table's
// headers.
constexpr int32_t ResultCommitRows = 8191;

// Sort fields as the result cursor lays them out, each with its descending mark.
std::vector<TFieldDescriptor> SortFields(TDataCursor& cursor,
                                         const std::vector<std::pair<int32_t, bool>>& items) {
    std::vector<TFieldDescriptor> fields;
    for (auto [no, descending] : items) {
        TFieldDescriptor f = cursor.GetFieldDefinition(no);
        f.WorkArea[SortDescendingByte] = descending ? 1 : 0;
        fields.push_back(f);
    }
    return fields;
}

}  // namespace

// ---- Run -------------------------------------------------------------------------------

void TDataQuery::ExecuteSelect(TDataCursor*& result) {
    if (!FPlan.DrivingTable || !FPlan.DrivingTable->Cursor || !FRun.ResultCursor)
        RaiseSqlError("SELECT statement must be prepared before it is executed");
    ResetJoinFilters();
    FPlan.ResidualJoin.reset();
    FPlan.HasResidualJoin = false;
    FPlan.IndexCountGiven = false;
    if (Clauses().HasConditions) {
        MeetWhereParameters();
        if (FPlan.Where && FPlan.Where->DataType != dtBoolean)
            RaiseSqlError("WHERE or JOIN clause must be a boolean expression");
        if (FPlan.ResidualWhere && FPlan.ResidualWhere->DataType != dtBoolean)
            RaiseSqlError("WHERE or JOIN clause must be a boolean expression");
    }
    if (Clauses().MultipleTables) ValidateJoinConditions();
    ResyncSourceCursors();
    if (FPlan.LivePlan) {
        FPlan.DrivingTable->Cursor->SwitchToIndexNumber(FPlan.OrderByIndexMatched ? FPlan.OrderByIndexNo
                                                                                  : RecordNumberOrderIndex);
        if (Clauses().HasConditions) OptimizeWhere(0);
        FPlan.DrivingTable->Cursor->First();
        FRun.RowsAffected = FPlan.DrivingTable->Cursor->GetRecordCount();
        result = FRun.ResultCursor.Get();
        FRun.Executed = true;
        return;
    }
    {
        // The explicit read locks lie in this process's own lock ranges: a lock left
        // behind would make every later change of the table wait and fail.
        TScopeGuard unlock([this] { UnlockSourceTables(); });
        if (Clauses().WithLocks) LockSourceTables();
        DropSubQueryFilter();
        FRun.ResultCursor->EmptyTable();
        if (Clauses().HasConditions) OptimizeWhere(1);
        if (Clauses().MultipleTables && CanOptimizeJoins()) OptimizeJoins();
        if (Clauses().HasConditions) OptimizeWhere(0);
        bool viewBuilt = false;
        {
            TLanguageSettingsSwap swap(FPlan.LanguageID, FPlan.SortID);
            if (FPlan.AggregateOnly)
                BuildAggregateResult();
            else
                viewBuilt = BuildResultRows();
        }
        FRun.ResultCursor->First();
        // The end of a private fill rebuilt the view from the table as it now stands (nobody
        // else opens it): a second rebuild would give the same.
        if (!viewBuilt) FRun.ResultCursor->Resync();
        FRun.RowsAffected = FRun.ResultCursor->GetRecordCount();
    }
    result = FRun.ResultCursor.Get();
    FRun.Executed = true;
}

// The nested loop from the driving table: progress for each of its records, and each row
// that passes the residual filters handed to take, limit at most (-1: every one); afterRow
// follows every row, passing or not. The number of driving records reached; abort is the
// progress hook's.
int32_t TDataQuery::ScanSourceRows(bool& abort, int32_t limit, const std::function<void()>& take,
                                   const std::function<void()>& afterRow) {
    int32_t counter = 1;
    int32_t taken = 0;
    TDataCursor* driving = FPlan.DrivingTable->Cursor.get();
    const int32_t total = driving->GetRecordCount();
    if (!FirstSourceRow()) return counter;
    int32_t position = driving->GetRecNo();
    for (;;) {
        const int32_t now = driving->GetRecNo();
        if (now != position) {
            position = now;
            ++counter;
            // The percentage (a long double rounding) only for a handler that sees it.
            if (OnProgress) DoProgress(counter, Percent(counter, total), abort);
            if (abort) break;
        }
        if ((!FPlan.HasResidualWhere || TestWhere()) && (!FPlan.HasResidualJoin || TestJoinFilter())) {
            if (limit >= 0 && taken >= limit) break;
            take();
            ++taken;
        }
        afterRow();
        if (!NextSourceRow()) break;
    }
    return counter;
}

bool TDataQuery::BuildResultRows() {
    TDataCursor* driving = FPlan.DrivingTable->Cursor.get();
    std::vector<uint8_t> row(size_t(std::max(FRun.ResultCursor->GetRecordSize(), RecordHeaderSize)));
    const bool resultBlobs = FRun.ResultCursor->GetBlobFieldCount() > 0;
    auto freeSourceBlobs = [this]() {
        if (!FPlan.BlobPerRow) return;
        for (auto& t : FPlan.Tables) {
            if (t->RecordBuffer && !t->EndOfData) t->Cursor->StoreBlobHandles(t->RecordBuffer.get(), true);
            t->Cursor->FreeBlobBuffers(true);
        }
    };
    // A sort after the fill builds the deleted-records index anew: the fill leaves its keys
    // out, unless a progress handler could reach the table meanwhile.
    TTableWriteBatch batch(*FRun.ResultCursor, ResultCommitRows, !OnProgress && ResultSorted());
    BindColumnSources();
    TExpTree value = NewExpTree();
    bool abort = false;
    int32_t counter = 1;
    {
        TScopeGuard freeBlobs(freeSourceBlobs);
        counter = ScanSourceRows(
            abort, FMaxRowCount,
            [&] {
                {
                    // The row's BLOB buffers go once it is in, when the result has BLOB
                    // fields, and always when it never went in.
                    TScopeGuard freeRowBlobs([this] { FRun.ResultCursor->FreeBlobBuffers(true); });
                    FRun.ResultCursor->InitRecord(row.data());
                    FillResultRecord(row.data(), value.get());
                    if (FPlan.HasExpressionColumns) WriteResultColumns(row.data());
                    FRun.ResultCursor->InsertRecord(row.data(), false);
                    if (!resultBlobs) freeRowBlobs.Dismiss();
                }
                batch.RowWritten();
            },
            freeSourceBlobs);
    }
    const bool filled = batch.Finish();
    const bool sorted = SortResultTable();
    FRun.ResultCursor->CompleteDeletedKeys();
    if (driving->GetRecordCount() != counter) DoProgress(driving->GetRecordCount(), 100, abort);
    // A progress handler may have reached the result table since.
    return filled && !sorted && !OnProgress;
}

// MaxRowCount limits result rows, and this result has one row, made of every row read: it
// is left out only by a limit of none.
void TDataQuery::BuildAggregateResult() {
    bool abort = false;
    const size_t size = size_t(std::max(FRun.ResultCursor->GetRecordSize(), RecordHeaderSize));
    std::vector<uint8_t> aggregate(size), row(size);
    FRun.ResultCursor->InitRecord(aggregate.data());
    TDataCursor* driving = FPlan.DrivingTable->Cursor.get();
    if (FPlan.CountStarOnly) {
        const int32_t total = FPlan.IndexCountGiven ? FPlan.IndexCount : driving->GetRecordCount();
        uint8_t v[4];
        std::memcpy(v, &total, 4);
        FRun.ResultCursor->PutField(FPlan.Columns.front()->ResultFieldNo, aggregate.data(), v);
        DoProgress(total, 100, abort);
        if (FMaxRowCount != 0) FRun.ResultCursor->InsertRecord(aggregate.data(), false);
        return;
    }
    BindColumnSources();
    TExpTree value = NewExpTree();
    const int32_t counter = ScanSourceRows(
        abort, -1,
        [&] {
            FRun.ResultCursor->InitRecord(row.data());
            FillResultRecord(row.data(), value.get());
            if (FPlan.HasExpressionColumns) WriteResultColumns(row.data());
            MergeGroupRow(false, aggregate.data(), row.data());
        },
        [&] {
            if (FPlan.BlobPerRow)
                for (auto& t : FPlan.Tables) t->Cursor->FreeBlobBuffers(true);
        });
    FinishGroupRow(aggregate.data());
    if (FMaxRowCount != 0) FRun.ResultCursor->InsertRecord(aggregate.data(), false);
    if (driving->GetRecordCount() != counter) DoProgress(driving->GetRecordCount(), 100, abort);
}

// ---- Result rows -----------------------------------------------------------------------

void TDataQuery::StoreResultValue(const TResultField* c, uint8_t* record, TExpToken* value) {
    const int32_t no = c->ResultFieldNo;
    if (c->AggregateKind == akCount) {
        // Each row counts itself (COUNT(*)) or its value when it has one.
        const int32_t one = c->CountStar || !value->IsNull ? 1 : 0;
        FRun.ResultCursor->PutField(no, record, &one);
        return;
    }
    if (c->AggregateKind == akAvg) {
        const int32_t one = value->IsNull ? 0 : 1;
        FRun.ResultCursor->PutField(c->AvgCountFieldNo, record, &one);
    }
    if (value->IsNull) {
        FRun.ResultCursor->PutField(no, record, nullptr);
        return;
    }
    if (c->DataType == dtBlob) {
        const uint32_t length = BlobValueLength(*value);
        uint16_t code = FRun.ResultCursor->OpenBlob(no, record, 0, false, bmReadWrite);
        if (code == 0 && length > 0)
            code = FRun.ResultCursor->PutBlob(no, record, false, length, value->Value, 0);
        if (code != 0) RaiseEngineError(code, FRun.ResultCursor->TableName());
        return;
    }
    if (value->DataType != c->DataType) {
        TExpTree target = NewExpTree();
        target->DataType = c->DataType;
        target->SubType = c->SubType;
        target->SetDataSize(uint32_t(c->DataSize));
        target->Decimals = c->Decimals;
        ConvertValueToType(target.get(), value, TConvertMode::Lossy);
        if (value->DataType != c->DataType && IsNumericLike(c->DataType) && IsNumericLike(value->DataType)) {
            // Out of the field type's range: the nearest value it holds.
            uint8_t bytes[16] = {};
            StoreNumber(c->DataType, c->Decimals, NumberOf(value->DataType, value->Decimals, value->Value),
                        bytes);
            FRun.ResultCursor->PutField(no, record, bytes);
            return;
        }
    }
    FRun.ResultCursor->PutField(no, record, value->Value);
}

void TDataQuery::BindColumnSources() {
    FRun.ColumnSources.assign(FPlan.Columns.size(), TColumnSource());
    for (size_t i = 0; i < FPlan.Columns.size(); ++i) {
        const TResultField* c = FPlan.Columns[i];
        if (c->IsExpression || c->CountStar) continue;
        TColumnSource& s = FRun.ColumnSources[i];
        s.Table = SourceAtPosition(c->SourcePosition);
        const uint8_t type = s.Table->GetFieldDefinition(c->SourceFieldNo).DataType;
        s.Plain =
            type == c->DataType && type != dtBlob && c->AggregateKind != akCount && c->AggregateKind != akAvg;
    }
}

void TDataQuery::FillResultRecord(uint8_t* record, TExpToken* value) {
    value->SetBufferSize(FieldValueBufferSize);
    for (size_t i = 0; i < FPlan.Columns.size(); ++i) {
        const TResultField* c = FPlan.Columns[i];
        if (c->IsExpression) continue;
        const TColumnSource& s = FRun.ColumnSources[i];
        if (s.Plain) {
            // What the value token would carry to StoreResultValue: the field as it is, or
            // NULL while the table has no row.
            bool blank = true;
            if (s.Table->RecordBuffer && !s.Table->EndOfData)
                s.Table->Cursor->GetTableField(c->SourceFieldNo, s.Table->RecordBuffer.get(), blank,
                                               value->Value);
            FRun.ResultCursor->PutField(c->ResultFieldNo, record, blank ? nullptr : value->Value);
            continue;
        }
        value->IsNull = 0;
        if (!c->CountStar) {
            const TSourceTable* t = s.Table;
            const TFieldDescriptor& f = t->GetFieldDefinition(c->SourceFieldNo);
            value->NodeKind = nkColumn;
            value->BindLong2 = BoundSourceColumn;
            value->BindLong1 = uint32_t(c->SourcePosition);
            value->BindWord = uint16_t(c->SourceFieldNo);
            value->DataType = f.DataType;
            value->SubType = f.SubType;
            value->SetDataSize(f.DataSize);
            value->Decimals = f.Decimals;
            GetSourceFieldValue(value, nullptr);
        }
        StoreResultValue(c, record, value);
    }
}

void TDataQuery::WriteResultColumns(uint8_t* record) {
    for (auto& column : FPlan.Columns) {
        const TResultField* c = column;
        if (!c->IsExpression) continue;
        TExpTree value = Evaluate(c->ValueExpression());
        StoreResultValue(c, record, value.get());
    }
}

// ---- Sorting and groups ----------------------------------------------------------------

void TDataQuery::SortResult(const std::vector<TFieldDescriptor>& fields, bool caseInsensitive,
                            bool dropDuplicates, const TSortGroupSteps* steps) {
    if (fields.empty()) return;
    FRun.ResultCursor->SortRecords(fields, caseInsensitive, dropDuplicates, steps);
}

bool TDataQuery::SortsDistinct() const {
    return FPlan.Distinct && !FPlan.Grouped;
}

bool TDataQuery::SortsGroups() const {
    return FPlan.Grouped && !FPlan.AggregateOnly;
}

bool TDataQuery::SortsOrder() const {
    return Clauses().HasOrderBy && !FPlan.SkipOrderBySort;
}

bool TDataQuery::ResultSorted() const {
    return SortsDistinct() || SortsGroups() || SortsOrder();
}

bool TDataQuery::SortResultTable() {
    TDataCursor& cursor = *FRun.ResultCursor;
    if (SortsDistinct()) {
        std::vector<std::pair<int32_t, bool>> items;
        for (auto& c : FPlan.Columns) items.emplace_back(c->ResultFieldNo, false);
        SortResult(SortFields(cursor, items), false, true, nullptr);
    }
    if (SortsGroups()) {
        std::vector<std::pair<int32_t, bool>> items;
        for (auto& g : Clauses().GroupByFields) items.emplace_back(g->ColumnNo, false);
        TSortGroupSteps steps;
        steps.Accumulate = [this](uint8_t* head, const uint8_t* row, bool first) {
            MergeGroupRow(first, head, row);
        };
        if (Clauses().HasAvg) steps.Finish = [this](uint8_t* head) { FinishGroupRow(head); };
        if (Clauses().HasHaving) steps.Keep = [this](const uint8_t* head) { return HavingGroupRow(head); };
        SortResult(SortFields(cursor, items), false, false, &steps);
    }
    if (SortsOrder()) {
        std::vector<std::pair<int32_t, bool>> items;
        for (auto& o : Clauses().OrderByFields) items.emplace_back(o->ColumnNo, o->Descending);
        SortResult(SortFields(cursor, items), Clauses().OrderByNoCase, false, nullptr);
    }
    return ResultSorted();
}

void TDataQuery::ReadResultValue(const uint8_t* record, int32_t fieldNo, const TResultField* c,
                                 TExpToken* v) {
    v->SetBufferSize(FieldValueBufferSize);
    bool blank = false;
    FRun.ResultCursor->GetField(fieldNo, record, blank, v->Value);
    v->IsNull = blank ? 1 : 0;
    v->DataType = c ? c->DataType : uint8_t(dtInteger);
    v->SubType = c ? c->SubType : uint8_t(0);
    v->DataSize = c ? uint32_t(c->DataSize) : 4u;
    v->Decimals = c ? c->Decimals : uint8_t(0);
}

void TDataQuery::MergeGroupRow(bool first, uint8_t* head, const uint8_t* row) {
    // The group's first row is its own head: its values are the start of every fold.
    if (first) return;
    TExpTree h = NewExpTree(), v = NewExpTree();
    for (auto& column : FPlan.Columns) {
        const TResultField* c = column;
        if (c->DataType == dtBlob) continue;
        ReadResultValue(head, c->ResultFieldNo, c, h.get());
        ReadResultValue(row, c->ResultFieldNo, c, v.get());
        if (!c->IsAggregate()) {
            if (h->IsNull && !v->IsNull) FRun.ResultCursor->PutField(c->ResultFieldNo, head, v->Value);
            continue;
        }
        if (v->IsNull) continue;
        ConvertAggregateValue(c->AggregateKind, c, h.get(), v.get());
        FRun.ResultCursor->PutField(c->ResultFieldNo, head, h->Value);
        if (c->AggregateKind == akAvg) {
            ReadResultValue(head, c->AvgCountFieldNo, nullptr, h.get());
            ReadResultValue(row, c->AvgCountFieldNo, nullptr, v.get());
            ConvertAggregateValue(akCount, nullptr, h.get(), v.get());
            FRun.ResultCursor->PutField(c->AvgCountFieldNo, head, h->Value);
        }
    }
}

void TDataQuery::ConvertAggregateValue(uint8_t kind, const TResultField* column, TExpToken* head,
                                       TExpToken* value) {
    if (value->IsNull) return;
    // A blank accumulator takes the first value.
    if (head->IsNull) {
        std::memcpy(head->Value, value->Value, size_t(std::min(head->BufferSize, value->BufferSize)));
        head->IsNull = 0;
        return;
    }
    switch (kind) {
        case akCount:
        case akSum:
        case akAvg: {
            const long double sum = NumberOf(head->DataType, head->Decimals, head->Value) +
                                    NumberOf(value->DataType, value->Decimals, value->Value);
            // A sum the column's type cannot hold has no value there: the nearest one it
            // holds would be a wrong answer.
            if (!HoldsNumber(head->DataType, head->Decimals, sum))
                RaiseSqlError(std::string("Result of ") + AggregateName(kind) +
                              " aggregate function is out of range in column " +
                              (column ? column->ResultName : std::string()));
            StoreNumber(head->DataType, head->Decimals, sum, head->Value);
            return;
        }
        case akMin:
        case akMax: {
            TExpTree r = NewExpTree();
            r->DataType = dtBoolean;
            r->SetDataSize(2);
            EvaluateBinaryOperator(kind == akMin ? opLess : opGreater, value, head, FPlan.SortID,
                                   FPlan.LanguageID, r.get());
            if (IsTrueValue(r.get()))
                std::memcpy(head->Value, value->Value, size_t(std::min(head->BufferSize, value->BufferSize)));
            return;
        }
        default:
            return;
    }
}

void TDataQuery::FinishGroupRow(uint8_t* head) {
    TExpTree v = NewExpTree(), n = NewExpTree();
    for (auto& column : FPlan.Columns) {
        const TResultField* c = column;
        if (c->AggregateKind == akCount) {
            ReadResultValue(head, c->ResultFieldNo, c, v.get());
            if (v->IsNull) {
                const int32_t zero = 0;
                FRun.ResultCursor->PutField(c->ResultFieldNo, head, &zero);
            }
            continue;
        }
        if (c->AggregateKind != akAvg) continue;
        ReadResultValue(head, c->ResultFieldNo, c, v.get());
        ReadResultValue(head, c->AvgCountFieldNo, nullptr, n.get());
        const int32_t count = n->IsNull ? 0 : n->Get<int32_t>();
        const double average = count == 0 || v->IsNull ? 0.0 : v->Get<double>() / count;
        FRun.ResultCursor->PutField(c->ResultFieldNo, head, &average);
    }
}

// ---- Sub-selects -----------------------------------------------------------------------

int32_t TDataQuery::ResultColumnCount() {
    return static_cast<int32_t>(FPlan.ColumnsBound ? FPlan.Columns.size() : Clauses().ResultFields.size());
}

bool TDataQuery::BindSubQueryColumn(TExpToken* node) {
    if (FPlan.Columns.empty()) return false;
    const TResultField* c = FPlan.Columns.front();
    if (FPlan.LivePlan && !c->IsExpression && FPlan.DrivingTable) {
        // The live cursor shows the result columns; the source field is the table's.
        const TFieldDescriptor f = FPlan.DrivingTable->Cursor->GetTableFieldDefinition(c->SourceFieldNo);
        node->DataType = f.DataType;
        node->SubType = f.SubType;
        node->SetDataSize(f.DataSize);
        node->Decimals = f.Decimals;
        node->TableName = FPlan.DrivingTable->CorrelationName;
        return true;
    }
    node->DataType = c->DataType;
    node->SubType = c->SubType;
    node->SetDataSize(uint32_t(c->DataSize));
    node->Decimals = c->Decimals;
    return true;
}

TExpTree TDataQuery::BuildSubQueryCondition(const TExpToken* comparison) {
    const TResultField* c = FPlan.Columns.front();
    const TExpToken* holder = comparison->Second;
    TExpTree condition = NewExpTree();
    condition->NodeKind = nkBinary;
    condition->Code = MirrorOperator(comparison->Code);
    condition->Text = "=";
    condition->DataType = dtBoolean;
    condition->SetDataSize(2);
    TExpTree column = NewExpTree();
    column->NodeKind = nkColumn;
    column->ColumnName = c->ResultName;
    // The filter reads the table's own fields: a live result's source field, or the
    // result table's first field.
    column->BindWord = uint16_t(FPlan.LivePlan ? c->SourceFieldNo : 1);
    column->DataType = holder->DataType;
    column->SubType = holder->SubType;
    column->SetDataSize(holder->DataSize);
    column->Decimals = holder->Decimals;
    TExpTree value = CloneExpressionTree(comparison->First);
    value->NodeKind = nkConstant;
    value->Code = 0;
    if (value->First || value->Second || value->Third) {
        TExpToken* links[] = {value->First, value->Second, value->Third};
        for (TExpToken* l : links) {
            TExpToken* p = l;
            FreeExpressionTree(p);
        }
        value->First = value->Second = value->Third = nullptr;
    }
    ConvertValueToType(column.get(), value.get());
    condition->First = column.release();
    condition->Second = value.release();
    condition->First->Parent = condition->Second->Parent = condition.get();
    return condition;
}

void TDataQuery::SetSubQueryFilter(TExpToken* comparison) {
    TDataCursor* cursor = FRun.ResultCursor.Get();
    if (!cursor) RaiseSqlError("SELECT statement must be prepared before it is executed");
    TExpTree condition = BuildSubQueryCondition(comparison);
    if (FRun.SubQueryFilter) {
        cursor->ReplaceFilterTree(condition.release(), FRun.SubQueryFilter);
        return;
    }
    FRun.SubQueryFilter = cursor->AddFilter(condition.release(), true);
    cursor->ActivateFilter(FRun.SubQueryFilter);
}

int32_t TDataQuery::GetRecordCount() {
    TDataCursor* cursor = FRun.ResultCursor.Get();
    return cursor ? cursor->GetRecordCount() : 0;
}

void TDataQuery::DropSubQueryFilter() {
    TDataCursor* cursor = FRun.ResultCursor.Get();
    TFilter* filter = FRun.SubQueryFilter;
    FRun.SubQueryFilter = nullptr;
    // Gone already when the cursor's filters were dropped.
    if (cursor && cursor->IsOpen() && cursor->HasFilter(filter)) cursor->DropFilter(filter);
}
