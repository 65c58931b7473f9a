// Running INSERT, UPDATE and DELETE: target columns bound to the table's fields, values
// checked, evaluated, converted and written into records, and the row loops of the
// set-based statements inside their transaction.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "db/engine/DataCursor.h"
#include "db/engine/DataDirectory.h"
#include "db/sql/QueryStatement.h"
#include "db/sql/SqlQuerySupport.h"
#include "db/sql/StatementTransaction.h"
#include "db/storage/EngineErrors.h"
#include "db/storage/ExpressionEval.h"
#include "db/storage/ExpressionValidate.h"
#include "db/storage/LanguageSettings.h"
#include "platform/rtl/ScopeGuard.h"
#include "platform/rtl/SysUtils.h"

// ---- Transactions ----------------------------------------------------------------------

namespace {

TStatementCommitObserver& CommitObserver() {
    static TStatementCommitObserver observer;
    return observer;
}

void CommitDirectory(TDataDirectory* directory, bool end) {
    if (CommitObserver()) CommitObserver()(directory, end);
    directory->Commit(end);
}

// Rows per commit when the statement gives none: 262140 bytes of records, at most 8191.
int32_t DefaultCommitInterval(int32_t recordSize) {
    return std::max(1, std::min(262140 / std::max(recordSize, 1), 8191));
}

}  // namespace

void SetStatementCommitObserver(TStatementCommitObserver observer) {
    CommitObserver() = std::move(observer);
}

TStatementTransaction::TStatementTransaction(TDataDirectory* directory, int32_t interval, int32_t recordSize)
    : FDirectory(directory), FRollback([this] {
          if (FOwn) FDirectory->Rollback();
      }) {
    const bool own = !directory->InTransaction();
    if (own) directory->StartTransaction();
    FOwn = own;
    FInterval = interval > 0 ? interval : DefaultCommitInterval(recordSize);
    // An outer transaction belongs to the caller: committed only when the statement asks.
    FCommits = FOwn || interval > 0;
}

void TStatementTransaction::RowDone(int32_t count, const std::vector<TDataCursor*>& cursors) {
    if (!FCommits || count % FInterval != 0) return;
    CommitDirectory(FDirectory, false);
    for (TDataCursor* c : cursors) c->SaveChangeCounts();
}

void TStatementTransaction::Finish() {
    FRollback.Dismiss();
    if (FOwn) CommitDirectory(FDirectory, true);
}

// ---- Values ----------------------------------------------------------------------------

namespace {

[[noreturn]] void SqlError(const std::string& message) {
    RaiseEngineError(ZIZIVU_SQLERROR, "", "", "", message);
}

bool IsDateKind(uint8_t type) {
    return type == dtDate || type == dtTime || type == dtTimeStamp;
}

bool IsNumberKind(uint8_t type) {
    switch (type) {
        case dtSmallInt:
        case dtInteger:
        case dtFloat:
        case dtBCD:
        case dtWord:
        case dtLongWord:
        case dtExtended:
            return true;
        default:
            return false;
    }
}

bool IsBytesKind(uint8_t type) {
    return type == dtBytes || type == dtVarBytes;
}

// Whether a value of one type may be written into a column of the other: strings go
// anywhere (their text is converted when the row is written), and values of a kind
// into columns of that kind.
bool ValueFitsColumn(uint8_t column, uint8_t value) {
    if (value == 0 || value == dtString) return true;
    switch (column) {
        case dtString:
            return value != dtBlob;
        case dtBlob:
            return value == dtBlob || IsBytesKind(value);
        case dtBoolean:
            return value == dtBoolean;
        default:
            if (IsNumberKind(column)) return IsNumberKind(value);
            if (IsBytesKind(column)) return IsBytesKind(value) || value == dtBlob;
            return value == column;
    }
}

}  // namespace

void TDataQuery::AddTargetColumns(size_t at) {
    TSourceTable* target = FPlan.Tables.front();
    FPlan.TargetColumns.Erase(at);
    for (int32_t i = 1; i <= target->Cursor->GetFieldCount(); ++i) {
        auto f = std::make_unique<TUpdateField>(this);
        f->ColumnName = target->Cursor->GetFieldDefinition(i).Name;
        f->CorrelationName = target->CorrelationName;
        FPlan.TargetColumns.Own(std::move(f), at + size_t(i) - 1);
    }
}

void TDataQuery::MapUpdateColumns(bool insert) {
    for (size_t i = 0; i < FPlan.TargetColumns.size(); ++i)
        if (insert && FPlan.TargetColumns[i]->ColumnName == "*") AddTargetColumns(i);
    for (TUpdateField* f : FPlan.TargetColumns) {
        int32_t fieldNo = 0;
        TSourceTable* table = nullptr;
        if (!FindSourceColumn(f->CorrelationName, f->ColumnName, table, fieldNo) || !table || fieldNo <= 0)
            SqlError("Invalid column name '" + f->ColumnName + "'" + " or table correlation name " + "'" +
                     f->CorrelationName + "'" + " specified in table columns");
        const TFieldDescriptor& d = table->Cursor->GetFieldDefinition(fieldNo);
        f->FieldNo = fieldNo;
        f->DataType = d.DataType;
        f->SubType = d.SubType;
        f->DataSize = d.DataSize;
        f->Decimals = d.Decimals;
    }
    if (FPlan.Values.size() != FPlan.TargetColumns.size())
        SqlError("The number of values must match the number of table columns");
}

void TDataQuery::CreateUpdateValues() {
    const TBoundList<TResultField>& columns = FOwner->Query(1)->ResultColumns();
    FPlan.Values.Clear();
    for (size_t i = 0; i < columns.size(); ++i) {
        const TResultField& r = *columns[i];
        auto v = std::make_unique<TUpdateValue>(this);
        // The value is the SELECT's result column, read from its current row.
        v->Expression = NewExpTree();
        TExpToken& n = *v->Expression;
        n.NodeKind = nkColumn;
        n.ColumnName = r.Alias.empty() ? r.ColumnName : r.Alias;
        n.Text = n.ColumnName;
        n.BindWord = static_cast<uint16_t>(i + 1);
        n.DataType = r.DataType;
        n.SubType = r.SubType;
        n.DataSize = static_cast<uint32_t>(std::max(r.DataSize, 0));
        n.Decimals = r.Decimals;
        v->ExpressionText = n.ColumnName;
        FPlan.Values.Own(std::move(v));
    }
}

void TDataQuery::CheckUpdateValues() {
    const std::string tableName = FPlan.Tables.front()->TableName;
    const TBindColumnFunc bind = [this](void*, TExpToken* node) { return BindSourceColumn(node, false); };
    TLanguageSettingsSwap swap(FPlan.LanguageID, FPlan.SortID);
    for (size_t i = 0; i < FPlan.Values.size() && i < FPlan.TargetColumns.size(); ++i) {
        const TUpdateField& f = *FPlan.TargetColumns[i];
        TUpdateValue& v = *FPlan.Values[i];
        // The values of an INSERT ... SELECT are the SELECT's result columns, bound there.
        if (!Clauses().InsertSelect)
            ValidateExpression(ZIZIVU_SQLERROR, tableName, "update values", false, bind, this, nullptr,
                               v.Expression.get());
        const TExpToken& value = *v.Expression;
        if (value.NodeKind == nkConstant && value.IsNull) continue;
        // A parameter's type comes with its value; the value is converted when written.
        if (value.IsParameter && value.DataType == 0) continue;
        // A quoted text of INSERT VALUES that names a column is still the text.
        const uint8_t type =
            Clauses().Kind == skInsert && value.BoundFromString ? value.SavedType : value.DataType;
        if (IsDateKind(f.DataType) && !IsDateKind(type) && type != dtString)
            SqlError("Date, time, or timestamp expression expected, instead found '" + v.ExpressionText +
                     "'" + " in update values");
        if (!ValueFitsColumn(f.DataType, type))
            SqlError("Type mismatch between " + f.ColumnName + " and " + v.ExpressionText);
    }
}

void TDataQuery::PutUpdateValue(int32_t i, TExpToken& value, uint8_t* record, bool update) {
    const TUpdateField& f = *FPlan.TargetColumns[i];
    TSourceTable* target = FPlan.Tables.front();
    TDataCursor& cursor = *target->Cursor;
    // A BLOB value of no bytes is no value, as an empty text is: read back, it is NULL too.
    if (value.IsNull || (f.DataType == dtBlob && BlobValueLength(value) == 0)) {
        cursor.PutField(f.FieldNo, record, nullptr);
        return;
    }
    if (f.DataType == dtBlob) {
        auto check = [&](uint16_t code) {
            if (code != 0) RaiseEngineError(code, target->TableName);
        };
        check(cursor.OpenBlob(f.FieldNo, record, 0, false, bmReadWrite));
        if (update) check(cursor.TruncateBlob(f.FieldNo, record, false, 0));
        check(cursor.PutBlob(f.FieldNo, record, false, BlobValueLength(value), value.Value, 0));
        return;
    }
    // The value zero-padded to the conversion buffer's size or the field's, whichever is
    // larger; the usual sizes fit on the stack.
    const size_t size = std::max<size_t>({ConvertBufferSize, value.DataSize + 1u, size_t(f.DataSize) + 1u});
    uint8_t local[2 * ConvertBufferSize];
    std::vector<uint8_t> large;
    uint8_t* buffer = local;
    if (size <= sizeof local) {
        std::memset(local, 0, size);
    } else {
        large.assign(size, 0);
        buffer = large.data();
    }
    std::memcpy(buffer, value.Value, value.DataSize);
    if (value.DataType != f.DataType || f.DataType == dtBCD) {
        if (!ConvertFieldValue(value.DataType, static_cast<int32_t>(value.DataSize), f.DataType, f.DataSize,
                               buffer, f.Decimals))
            SqlError("Type mismatch between column " + f.ColumnName + " and constant value " +
                     FPlan.Values[i]->ExpressionText +
                     (update ? " in UPDATE statement" : " in INSERT statement"));
    }
    cursor.PutField(f.FieldNo, record, buffer);
}

// Runs under the statement's language settings, swapped in by the caller once per row.
void TDataQuery::EvalInsertValue(int32_t i, uint8_t* record) {
    TExpToken* node = FPlan.Values[i]->Expression.get();
    // A constant or a parameter evaluates to a copy of itself: it is written as it stands.
    if (node->NodeKind == nkConstant) {
        PutUpdateValue(i, *node, record, false);
        return;
    }
    // No source row: without a column routine a quoted text that named a column comes
    // back as the text, instead of that column's value in the blank new record.
    TExpTree value = EvaluateExpression(node, nullptr, this, FPlan.SortID, FPlan.LanguageID, nullptr);
    PutUpdateValue(i, *value, record, false);
}

void TDataQuery::EvalInsertSelectValue(int32_t i, uint8_t* record, const uint8_t* selectRecord) {
    TDataCursor& source = *FOwner->Query(1)->ResultCursor();
    const int32_t fieldNo = FPlan.Values[i]->Expression->BindWord;
    const TFieldDescriptor& d = source.GetFieldDefinition(fieldNo);
    TExpTree value = NewExpTree();
    value->DataType = d.DataType;
    value->SubType = d.SubType;
    value->Decimals = d.Decimals;
    if (d.DataType == dtBlob) {
        // The SELECT's row keeps its BLOB: its bytes are read through a buffer of its own.
        std::vector<uint8_t> row(selectRecord, selectRecord + source.GetRecordSize());
        auto check = [&](uint16_t code) {
            if (code != 0) RaiseEngineError(code, source.TableName());
        };
        check(source.OpenBlob(fieldNo, row.data(), 0, false, bmRead));
        uint32_t length = 0, count = 0;
        uint16_t code = source.GetBlobSize(fieldNo, row.data(), false, length);
        if (code == 0) {
            value->SetDataSize(length + 1);
            if (length) code = source.GetBlob(fieldNo, row.data(), false, count, length, value->Value, 0);
            value->Value[count] = 0;
            value->SetDataSize(count + 1);
        }
        source.FreeBlob(fieldNo, row.data(), 0, false);
        check(code);
        value->IsNull = length == 0 ? 1 : 0;
    } else {
        value->SetDataSize(std::max<uint32_t>(d.DataSize, ConvertBufferSize));
        bool blank = false;
        source.GetField(fieldNo, selectRecord, blank, value->Value);
        value->SetDataSize(d.DataSize);
        value->IsNull = blank ? 1 : 0;
    }
    TLanguageSettingsSwap swap(FPlan.LanguageID, FPlan.SortID);
    PutUpdateValue(i, *value, record, false);
}

void TDataQuery::EvalUpdateValue(int32_t i, uint8_t* record) {
    TLanguageSettingsSwap swap(FPlan.LanguageID, FPlan.SortID);
    TExpTree value = Evaluate(FPlan.Values[i]->Expression.get());
    PutUpdateValue(i, *value, record, true);
}

// ---- Statements ------------------------------------------------------------------------

void TDataQuery::PrepareDataStatement() {
    OpenSourceTables();
    AllocSourceBuffers();
    FPlan.DrivingTable = FPlan.Tables.front();
    FPlan.TargetColumns.Clear();
    FPlan.TargetColumns.Borrow(Clauses().UpdateFields);
    FPlan.Values.Clear();
    FPlan.Values.Borrow(Clauses().UpdateValues);
    if (Clauses().Kind == skInsert) {
        FPlan.DrivingTable->Cursor->SwitchToIndexNumber(0);
        if (Clauses().InsertSelect) CreateUpdateValues();
    }
    if (Clauses().Kind == skInsert || Clauses().Kind == skUpdate) {
        MapUpdateColumns(Clauses().Kind == skInsert);
        CheckUpdateValues();
    }
}

void TDataQuery::ExecuteDataStatement() {
    ResetJoinFilters();
    FPlan.ResidualJoin.reset();
    FPlan.HasResidualJoin = false;
    if (Clauses().Kind != skInsert && Clauses().HasConditions) ValidateWhere();
    ResyncSourceCursors();
    FRun.RowsAffected = 0;
    if (Clauses().Kind == skInsert)
        Clauses().InsertSelect ? ExecInsertSelect() : ExecInsertValues();
    else if (Clauses().Kind == skUpdate)
        ExecUpdate();
    else
        ExecDelete();
}

void TDataQuery::ExecInsertValues() {
    TSourceTable& target = *FPlan.Tables.front();
    TDataCursor& cursor = *target.Cursor;
    if (Clauses().Options.NoAutoInc) cursor.SetKeepAutoInc(true);
    {
        TScopeGuard freeBlobs([&] { cursor.FreeBlobBuffers(true); });
        cursor.InitRecord(target.RecordBuffer.get());
        {
            // One swap for all the values: nothing the values run changes the settings.
            TLanguageSettingsSwap swap(FPlan.LanguageID, FPlan.SortID);
            for (size_t i = 0; i < FPlan.Values.size(); ++i)
                EvalInsertValue(static_cast<int32_t>(i), target.RecordBuffer.get());
        }
        // The statement's own cursor does not stand on the row: nothing reads it from
        // there, and moving onto it cost an index seek per row.
        cursor.InsertRecord(target.RecordBuffer.get(), false);
        freeBlobs.Dismiss();
    }
    FRun.RowsAffected = 1;
}

namespace {

int32_t Percent(int32_t counter, int32_t total) {
    return total > 0 ? static_cast<int32_t>(std::nearbyint(double(counter) / total * 100)) : 100;
}

}  // namespace

void TDataQuery::ExecInsertSelect() {
    TSourceTable& target = *FPlan.Tables.front();
    TDataCursor& cursor = *target.Cursor;
    TDataCursor& rows = *FOwner->Query(1)->ResultCursor();
    if (Clauses().Options.NoAutoInc) cursor.SetKeepAutoInc(true);
    TStatementTransaction transaction(
        target.Cursor->Directory(),
        Clauses().Options.CommitIntervalGiven ? Clauses().Options.CommitInterval : 0, cursor.GetRecordSize());
    std::vector<uint8_t> row(static_cast<size_t>(rows.GetRecordSize()));
    const int32_t total = rows.GetRecordCount();
    int32_t counter = 1, reported = 0;
    bool abort = false;
    rows.First();
    while (!abort && rows.GetNextRecord(row.data()) == 0) {
        DoProgress(counter, static_cast<uint16_t>(Percent(counter, total)), abort);
        reported = counter;
        {
            TScopeGuard freeBlobs([&] { cursor.FreeBlobBuffers(true); });
            cursor.InitRecord(target.RecordBuffer.get());
            for (size_t i = 0; i < FPlan.Values.size(); ++i)
                EvalInsertSelectValue(static_cast<int32_t>(i), target.RecordBuffer.get(), row.data());
            cursor.InsertRecord(target.RecordBuffer.get(), false);
            freeBlobs.Dismiss();
        }
        ++FRun.RowsAffected;
        transaction.RowDone(FRun.RowsAffected, {&cursor, &rows});
        ++counter;
    }
    transaction.Finish();
    if (reported != total) DoProgress(total, 100, abort);
}

// After a row was changed or deleted: whether a further row follows, read into the
// driving table's buffer. The cursor walks physical record order; when the change took
// the record out of the view, the cursor stands on the next record already (or, with
// none left, on an earlier one).
bool TDataQuery::NextRowAfterChange(uint32_t changed) {
    TSourceTable& table = *FPlan.DrivingTable;
    TDataCursor& cursor = *table.Cursor;
    if (!cursor.Bof() && !cursor.Eof() && cursor.GetPhysicalRecordNumber() == changed) return NextSourceRow();
    if (cursor.Bof() || cursor.Eof() || cursor.GetPhysicalRecordNumber() < changed) {
        table.EndOfData = true;
        return false;
    }
    if (cursor.GetCurrentRecord(table.RecordBuffer.get(), false) != 0) {
        table.EndOfData = true;
        return false;
    }
    return true;
}

void TDataQuery::RunChangeLoop(bool update) {
    TSourceTable& target = *FPlan.Tables.front();
    TDataCursor& cursor = *target.Cursor;
    if (update && Clauses().Options.NoAutoInc) cursor.SetKeepAutoInc(true);
    if (Clauses().HasConditions && FPlan.Where) {
        OptimizeWhere(1);
        OptimizeWhere(0);
    }
    TStatementTransaction transaction(
        cursor.Directory(), Clauses().Options.CommitIntervalGiven ? Clauses().Options.CommitInterval : 0,
        cursor.GetRecordSize());
    std::vector<TDataCursor*> cursors;
    for (TSourceTable* t : FPlan.Tables) cursors.push_back(t->Cursor.get());
    const int32_t total = FPlan.DrivingTable->Cursor->GetRecordCount();
    int32_t counter = 1, reported = 0;
    bool abort = false;
    bool row = FirstSourceRow();
    while (row && !abort) {
        DoProgress(counter, static_cast<uint16_t>(Percent(counter, total)), abort);
        reported = counter;
        ++counter;
        if ((FPlan.HasResidualWhere && !TestWhere()) || (FPlan.HasResidualJoin && !TestJoinFilter())) {
            row = NextSourceRow();
            continue;
        }
        const uint32_t recordNo = cursor.GetPhysicalRecordNumber();
        if (update) {
            cursor.LockRecord(0);
            TScopeGuard unlock([&] { cursor.UnlockRecord(recordNo); });
            TScopeGuard freeBlobs([&] { cursor.FreeBlobBuffers(true); });
            for (size_t i = 0; i < FPlan.Values.size(); ++i)
                EvalUpdateValue(static_cast<int32_t>(i), target.RecordBuffer.get());
            cursor.ModifyRecord(target.RecordBuffer.get());
            freeBlobs.Dismiss();
        } else {
            cursor.DeleteRecord();
        }
        ++FRun.RowsAffected;
        transaction.RowDone(FRun.RowsAffected, cursors);
        row = NextRowAfterChange(recordNo);
    }
    transaction.Finish();
    if (reported != total) DoProgress(total, 100, abort);
}

void TDataQuery::ExecUpdate() {
    RunChangeLoop(true);
}

void TDataQuery::ExecDelete() {
    RunChangeLoop(false);
}
