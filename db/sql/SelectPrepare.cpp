// SELECT planning: the select list bound to the source tables and named, the clause lists
// checked, the choice between the source table's own cursor (live) and a result table, and
// the result table's layout and creation.
#include <algorithm>

#include "db/engine/DataCursor.h"
#include "db/engine/DataDirectory.h"
#include "db/engine/DataSession.h"
#include "db/engine/DataTable.h"
#include "db/sql/QueryStatement.h"
#include "db/sql/SqlEngineLink.h"
#include "db/sql/SqlQuerySupport.h"
#include "db/storage/EngineErrors.h"
#include "db/storage/ExpressionValidate.h"
#include "db/storage/LanguageSettings.h"
#include "platform/rtl/ScopeGuard.h"
#include "platform/rtl/SysUtils.h"

namespace {

const char* const SourceColumnsContext = "source columns";
constexpr size_t MaxResultColumns = 1024;
constexpr int32_t MaxExpressionFieldSize = 250;
constexpr int32_t MaxOrderByIndexFields = 16;
constexpr int32_t HighestIndexSlot = 30;

std::string InvalidColumnText(const std::string& name, const std::string& correlation, const char* where) {
    return "Invalid column name '" + name + "'" + " or table correlation name " + "'" + correlation + "'" +
           " specified in " + where;
}

const char* AggregatePrefix(uint8_t kind) {
    switch (kind) {
        case akSum:
            return "Sum Of ";
        case akMin:
            return "Min Of ";
        case akMax:
            return "Max Of ";
        case akAvg:
            return "Average Of ";
        case akCount:
            return "Count Of ";
        default:
            return "";
    }
}

// The type data of an aggregate's result from the type of what it folds.
void SetAggregateType(TResultField* c, uint8_t type, uint8_t subType, int32_t dataSize, uint8_t decimals) {
    c->DataType = type;
    c->SubType = subType;
    c->DataSize = dataSize;
    c->Decimals = decimals;
    switch (c->AggregateKind) {
        case akCount:
            c->DataType = dtInteger;
            c->SubType = 0;
            c->DataSize = 4;
            c->Decimals = 0;
            break;
        case akAvg:
            c->DataType = dtFloat;
            c->SubType = 0;
            c->DataSize = 8;
            c->Decimals = 0;
            break;
        case akSum:
            if (type == dtSmallInt) {
                c->DataType = dtInteger;
                c->DataSize = 4;
            }
            break;
        default:
            break;
    }
    if (c->DataType == dtInteger && c->SubType == fstAutoInc) c->SubType = 0;
}

// SUM, AVG, MIN and MAX of a plain column fold the types the expression rules give these
// functions, and texts for MIN and MAX, which compare as ORDER BY compares them. Any other
// column (a boolean, a BLOB, bytes) has nothing to fold by and is refused as an expression
// argument of that type is.
void CheckAggregateColumn(const TResultField* c, uint8_t type) {
    if (c->AggregateKind < akSum || c->AggregateKind > akAvg) return;
    const bool folds = type == dtSmallInt || type == dtInteger || type == dtWord || type == dtFloat ||
                       type == dtBCD || type == dtDate || type == dtTime || type == dtTimeStamp;
    if (folds || (type == dtString && (c->AggregateKind == akMin || c->AggregateKind == akMax))) return;
    RaiseSqlError(std::string(AggregateName(c->AggregateKind)) + " aggregate function " +
                  "must contain a numeric, date, time, or timestamp expression in " + SourceColumnsContext);
}

}  // namespace

// ---- Binding the select list -----------------------------------------------------------

void TDataQuery::AddTableColumns(TSourceTable* table) {
    for (int32_t no = 1; no <= table->Cursor->GetFieldCount(); ++no) {
        const TFieldDescriptor& f = table->GetFieldDefinition(no);
        auto c = std::make_unique<TResultField>(this);
        c->CorrelationName = table->CorrelationName;
        c->SetColumnName(f.Name);
        c->Expression = NewExpTree();
        c->Expression->NodeKind = nkColumn;
        c->Expression->ColumnName = f.Name;
        c->Expression->TableName = table->CorrelationName;
        BindSourceColumn(c->Expression.get(), false);
        c->SourcePosition = table->FromPosition;
        c->SourceFieldNo = no;
        FPlan.Columns.Own(std::move(c));
    }
}

void TDataQuery::BuildResultColumns() {
    FPlan.Columns.Clear();
    bool aggregates = false, others = false;
    auto bindPlain = [this](TResultField* c, TExpToken* node) {
        TSourceTable* table = nullptr;
        int32_t fieldNo = 0;
        if (!FindSourceColumn(c->CorrelationName, c->ColumnName, table, fieldNo) || fieldNo == 0)
            RaiseSqlError(InvalidColumnText(c->ColumnName, c->CorrelationName, SourceColumnsContext));
        c->SourcePosition = table->FromPosition;
        c->SourceFieldNo = fieldNo;
        if (node) {
            node->TableName = c->CorrelationName;
            node->ColumnName = c->ColumnName;
            BindSourceColumn(node, false);
        }
    };
    for (const std::unique_ptr<TResultField>& column : Clauses().ResultFields) {
        TResultField* c = column.get();
        if (c->IsAggregate()) {
            aggregates = true;
            if (!c->IsExpression) {
                if (c->ColumnName == "*" && c->AggregateKind == akCount) {
                    c->CountStar = true;
                    c->SourcePosition = FPlan.Tables.front()->FromPosition;
                    c->SourceFieldNo = 1;
                } else {
                    bindPlain(c, c->Expression ? c->Expression->First : nullptr);
                }
            }
            FPlan.Columns.Borrow(c);
        } else if (!c->IsExpression && c->ColumnName == "*") {
            others = true;
            const std::string item = c->CorrelationName.empty() ? "*" : c->CorrelationName + ".*";
            if (!c->AliasIsDefault)
                RaiseSqlError("Invalid use of column correlation name '" + c->Alias + "'" + " for " + "'" +
                              item + "'" + " specified in source columns");
            if (c->CorrelationName.empty()) {
                std::vector<TSourceTable*> inFromOrder;
                for (TSourceTable* t : FPlan.Tables) inFromOrder.push_back(t);
                std::stable_sort(inFromOrder.begin(), inFromOrder.end(),
                                 [](auto* a, auto* b) { return a->FromPosition < b->FromPosition; });
                for (TSourceTable* t : inFromOrder) AddTableColumns(t);
            } else {
                TSourceTable* t = FindSourceTable(c->CorrelationName);
                if (!t)
                    RaiseSqlError(InvalidColumnText(c->ColumnName, c->CorrelationName, SourceColumnsContext));
                AddTableColumns(t);
            }
        } else {
            others = true;
            if (!c->IsExpression) bindPlain(c, c->Expression.get());
            FPlan.Columns.Borrow(c);
        }
    }
    FPlan.ColumnsBound = true;
    if (FPlan.Columns.size() > MaxResultColumns)
        RaiseSqlError("Maximum number of columns (" + std::string("1024") + ") in result set exceeded");
    if (aggregates && others && Clauses().GroupByFields.empty())
        RaiseSqlError("Invalid use of aggregate function(s), the necessary GROUP BY clause is missing");

    const TBindColumnFunc bind = [this](void*, TExpToken* node) { return BindSourceColumn(node, false); };
    TLanguageSettingsSwap swap(FPlan.LanguageID, FPlan.SortID);
    FPlan.HasExpressionColumns = false;
    for (auto& column : FPlan.Columns) {
        TResultField* c = column;
        if (c->IsExpression) {
            ValidateExpression(ZIZIVU_SQLERROR, "", SourceColumnsContext, false, bind, this, nullptr,
                               c->Expression.get());
            const TExpToken* value = c->ValueExpression();
            if (value && value->NodeKind == nkColumn && value->BindLong2 == BoundSourceColumn) {
                // Only a column after all.
                c->IsExpression = false;
                c->CorrelationName = value->TableName;
                c->ColumnName = value->ColumnName;
                if (c->AliasIsDefault && !c->IsAggregate()) c->Alias = c->ColumnName;
                c->SourcePosition = int32_t(value->BindLong1);
                c->SourceFieldNo = value->BindWord;
            }
        }
        if (c->IsExpression) {
            FPlan.HasExpressionColumns = true;
            const TExpToken* value = c->ValueExpression();
            SetAggregateType(c, value->DataType, value->SubType, int32_t(value->DataSize), value->Decimals);
            if (c->DataType == dtBlob) FPlan.HasBlobExpression = true;
            if ((c->DataType == dtString && c->DataSize - 1 > MaxExpressionFieldSize) ||
                (c->DataType == dtBytes && c->DataSize > MaxExpressionFieldSize))
                RaiseSqlError("Column expression '" + c->ExpressionText + "'" +
                              " exceeds the maximum allowable field size");
        } else if (!c->CountStar) {
            const TFieldDescriptor& f =
                SourceAtPosition(c->SourcePosition)->GetFieldDefinition(c->SourceFieldNo);
            CheckAggregateColumn(c, f.DataType);
            SetAggregateType(c, f.DataType, f.SubType, f.DataSize, f.Decimals);
        } else {
            SetAggregateType(c, dtInteger, 0, 4, 0);
        }
    }
    for (size_t i = 0; i < FPlan.Columns.size(); ++i) {
        TResultField* c = FPlan.Columns[i];
        c->ResultFieldNo = int32_t(i) + 1;
        c->ResultName = MakeColumnName(c);
    }
}

bool TDataQuery::IsAggregateOnly() const {
    for (auto& c : FPlan.Columns)
        if (!c->IsAggregate()) return false;
    return true;
}

bool TDataQuery::IsCountStarOnly() const {
    return FPlan.Tables.size() == 1 && FPlan.Columns.size() == 1 && FPlan.Columns.front()->CountStar;
}

bool TDataQuery::CanReturnLiveResult() const {
    if (!FRequestLive || !Clauses().TargetTableName.empty() || FPlan.Distinct || FPlan.Tables.size() != 1 ||
        Clauses().MultipleTables)
        return false;
    if (FPlan.Grouped || FPlan.AggregateOnly || Clauses().HasHaving) return false;
    if (Clauses().HasOrderBy && !FPlan.OrderByIndexMatched) return false;
    if (FPlan.HasBlobExpression) return false;
    if (Clauses().IsSubQuery) return !FPlan.HasExpressionColumns;
    return FOwner->QueryCount() <= 1;
}

std::string TDataQuery::MakeColumnName(const TResultField* column) const {
    std::string base;
    if (!column->AliasIsDefault) {
        base = column->Alias;
    } else if (column->IsExpression) {
        base = column->IsAggregate() ? std::string(AggregatePrefix(column->AggregateKind)) + "Expr"
                                     : "Expression";
    } else {
        base = AggregatePrefix(column->AggregateKind) + column->ColumnName;
    }
    base = base.substr(0, MaxFieldNameLength);
    std::string name = base;
    auto taken = [&](const std::string& n) {
        for (auto& other : FPlan.Columns) {
            if (other == column) break;
            if (SameText(other->ResultName, n)) return true;
        }
        return false;
    };
    for (int32_t counter = 1; taken(name); ++counter) name = AppendNameCounter(base, counter);
    return name;
}

std::string TDataQuery::AppendNameCounter(const std::string& base, int32_t counter) const {
    const std::string suffix = "_" + IntToStr(counter);
    if (base.size() + suffix.size() <= size_t(MaxFieldNameLength)) return base + suffix;
    return base.substr(0, size_t(MaxFieldNameLength) - suffix.size()) + suffix;
}

// ---- Clause checks ---------------------------------------------------------------------

bool TDataQuery::FindResultColumn(bool aggregates, const std::string& name, const std::string& correlation,
                                  int32_t& number) const {
    for (auto& c : FPlan.Columns) {
        bool match;
        if (!correlation.empty())
            match = SameText(c->CorrelationName, correlation) && SameText(c->ColumnName, name) &&
                    (aggregates || !c->IsAggregate());
        else
            match = ((aggregates || !c->IsAggregate()) && SameText(c->ColumnName, name)) ||
                    (!c->Alias.empty() && SameText(c->Alias, name));
        if (match) {
            number = c->ResultFieldNo;
            return true;
        }
    }
    return false;
}

void TDataQuery::CheckOrderBy() {
    if (Clauses().OrderByFields.size() > MaxResultColumns)
        RaiseSqlError("Maximum number of columns (" + std::string("1024") + ") in ORDER BY clause " +
                      "exceeded");
    for (auto& o : Clauses().OrderByFields) {
        if (o->ByNumber) {
            if (o->ColumnNo < 1 || size_t(o->ColumnNo) > FPlan.Columns.size() ||
                FPlan.Columns[size_t(o->ColumnNo) - 1]->DataType == dtBlob)
                RaiseSqlError("Invalid column number '" + IntToStr(o->ColumnNo) + "'" +
                              " specified in ORDER BY clause");
            continue;
        }
        int32_t number = 0;
        if (!FindResultColumn(false, o->ColumnName, o->CorrelationName, number))
            RaiseSqlError(InvalidColumnText(o->ColumnName, o->CorrelationName, "ORDER BY clause"));
        o->ColumnNo = number;
    }
}

void TDataQuery::CheckGroupBy() {
    if (Clauses().GroupByFields.size() > MaxResultColumns)
        RaiseSqlError("Maximum number of columns (" + std::string("1024") + ") in GROUP BY clause " +
                      "exceeded");
    for (auto& g : Clauses().GroupByFields) {
        if (g->ByNumber) {
            if (g->ColumnNo < 1 || size_t(g->ColumnNo) > FPlan.Columns.size())
                RaiseSqlError("Invalid column number '" + IntToStr(g->ColumnNo) + "'" +
                              " specified in GROUP BY clause");
            if (FPlan.Columns[size_t(g->ColumnNo) - 1]->DataType == dtBlob)
                RaiseSqlError("Invalid BLOB column '" + IntToStr(g->ColumnNo) + "'" +
                              " specified in GROUP BY clause");
            continue;
        }
        int32_t number = 0;
        if (!FindResultColumn(false, g->ColumnName, g->CorrelationName, number))
            RaiseSqlError(InvalidColumnText(g->ColumnName, g->CorrelationName, "GROUP BY clause"));
        if (FPlan.Columns[size_t(number) - 1]->DataType == dtBlob)
            RaiseSqlError("Invalid BLOB column '" + g->ColumnName + "'" + " specified in GROUP BY clause");
        g->ColumnNo = number;
    }
}

void TDataQuery::CheckDistinct() {
    if (FPlan.Columns.size() > MaxResultColumns)
        RaiseSqlError("Maximum number of columns (" + std::string("1024") + ") in DISTINCT clause " +
                      "exceeded");
    for (auto& c : FPlan.Columns)
        if (c->DataType == dtBlob)
            RaiseSqlError("Invalid BLOB column '" + c->ResultName + "'" + " specified in DISTINCT clause");
}

namespace {

bool IsAggregateNode(const TExpToken* n) {
    return n->NodeKind == nkFunction && n->Code >= fnSum && n->Code <= fnAvg;
}

}  // namespace

// The same operators and the same columns of the same tables; constants by their text.
bool TDataQuery::SameExpression(const TExpToken* a, const TExpToken* b) const {
    if (!a || !b) return a == b;
    if (a->NodeKind != b->NodeKind || a->Code != b->Code) return false;
    if (a->NodeKind == nkColumn) {
        if (a->ColumnName == "*" || b->ColumnName == "*") return a->ColumnName == b->ColumnName;
        auto resolve = [this](const TExpToken* n, int32_t& position, int32_t& fieldNo) {
            if (n->BindLong2 == BoundSourceColumn) {
                position = int32_t(n->BindLong1);
                fieldNo = n->BindWord;
                return true;
            }
            TSourceTable* t = nullptr;
            if (!FindSourceColumn(n->TableName, n->ColumnName, t, fieldNo) || !fieldNo) return false;
            position = t->FromPosition;
            return true;
        };
        int32_t pa = 0, fa = 0, pb = 0, fb = 0;
        return resolve(a, pa, fa) && resolve(b, pb, fb) && pa == pb && fa == fb;
    }
    if (a->NodeKind == nkConstant && !SameText(a->Text, b->Text)) return false;
    return SameExpression(a->First, b->First) && SameExpression(a->Second, b->Second) &&
           SameExpression(a->Third, b->Third);
}

TResultField* TDataQuery::FindResultExpression(const TExpToken* expression) {
    for (auto& c : FPlan.Columns)
        if (SameExpression(expression, c->Expression.get())) return c;
    return nullptr;
}

void TDataQuery::BindHaving() {
    std::vector<TExpToken*> pending{Clauses().Having.get()};
    while (!pending.empty()) {
        TExpToken* n = pending.back();
        pending.pop_back();
        if (!n) continue;
        if (IsAggregateNode(n) || n->NodeKind == nkColumn) {
            TResultField* c = FindResultExpression(n);
            if (!c) RaiseSqlError("Expression in HAVING clause not found in source columns");
            FreeExpressionTree(n->First);
            FreeExpressionTree(n->Third);
            if (n->NodeKind != nkColumn) FreeExpressionTree(n->Second);
            n->NodeKind = nkColumn;
            n->Code = 0;
            n->ColumnName = c->ResultName;
            n->TableName.clear();
            n->BindLong2 = BoundResultColumn;
            n->BindWord = uint16_t(c->ResultFieldNo);
            n->DataType = c->DataType;
            n->SubType = c->SubType;
            n->SetDataSize(uint32_t(c->DataSize));
            n->Decimals = c->Decimals;
            continue;
        }
        pending.push_back(n->First);
        pending.push_back(n->Second);
        pending.push_back(n->Third);
    }
}

void TDataQuery::ValidateHavingCondition() {
    if (!Clauses().Having) return;
    const TBindColumnFunc bind = [this](void*, TExpToken* node) { return BindSourceColumn(node, false); };
    TLanguageSettingsSwap swap(FPlan.LanguageID, FPlan.SortID);
    ValidateExpression(ZIZIVU_SQLERROR, "", "HAVING clause", true, bind, this, nullptr,
                       Clauses().Having.get());
    if (Clauses().Having->DataType != dtBoolean) RaiseSqlError("HAVING clause must be a boolean expression");
}

// ---- Live ORDER BY ---------------------------------------------------------------------

namespace {

bool IndexMatchesOrderBy(TDataCursor& cursor, const TIndexDescriptor& index, const TIndexDescriptor& order) {
    if (index.Descending != order.Descending) return false;
    for (int32_t i = 0; i < index.FieldCount; ++i)
        if (cursor.GetTableFieldDefinition(index.FieldNumbers[i]).DataType == dtString &&
            index.CaseInsensitive != order.CaseInsensitive)
            return false;
    if (order.FieldCount > index.FieldCount) return false;
    for (int32_t i = 0; i < order.FieldCount; ++i)
        if (index.FieldNumbers[i] != order.FieldNumbers[i] || index.FieldOptions[i] != order.FieldOptions[i])
            return false;
    return true;
}

}  // namespace

void TDataQuery::FindOrderByIndex() {
    if (!Clauses().HasOrderBy || Clauses().OrderByFields.empty()) return;
    TIndexDescriptor order;
    bool allDescending = true;
    for (auto& o : Clauses().OrderByFields) {
        const TResultField* c = nullptr;
        if (o->ByNumber) {
            if (o->ColumnNo < 1 || size_t(o->ColumnNo) > FPlan.Columns.size())
                RaiseSqlError("Invalid column number '" + IntToStr(o->ColumnNo) + "'" +
                              " specified in ORDER BY clause");
            c = FPlan.Columns[size_t(o->ColumnNo) - 1];
        } else {
            int32_t number = 0;
            if (!FindResultColumn(true, o->ColumnName, o->CorrelationName, number))
                RaiseSqlError(InvalidColumnText(o->ColumnName, o->CorrelationName, "ORDER BY clause"));
            c = FPlan.Columns[size_t(number) - 1];
        }
        if (c->IsExpression || c->IsAggregate() || order.FieldCount >= MaxOrderByIndexFields) return;
        order.FieldNumbers[order.FieldCount] = uint16_t(c->SourceFieldNo);
        order.FieldOptions[order.FieldCount] = o->Descending ? 1 : 0;
        ++order.FieldCount;
        allDescending = allDescending && o->Descending;
    }
    order.Descending = allDescending ? 1 : 0;
    order.CaseInsensitive = Clauses().OrderByNoCase ? 1 : 0;
    // With every item descending the index's own flag says so, not the fields'.
    if (allDescending)
        for (int32_t i = 0; i < order.FieldCount; ++i) order.FieldOptions[i] = 0;
    if (FPlan.Distinct || FPlan.Tables.size() != 1 || Clauses().MultipleTables ||
        !Clauses().GroupByFields.empty() || FPlan.AggregateOnly || Clauses().HasHaving ||
        FPlan.HasExpressionColumns || !Clauses().TargetTableName.empty())
        return;
    TDataCursor& cursor = *FPlan.Tables.front()->Cursor;
    for (int32_t n = 0; n <= HighestIndexSlot; ++n) {
        if (n == 0 && cursor.GetNoPrimaryIndex()) continue;
        const TIndexDescriptor index = cursor.GetIndexDefinition(n);
        if (index.KeyLength == 0 || index.FieldCount == 0) continue;
        if (IndexMatchesOrderBy(cursor, index, order)) {
            FPlan.OrderByIndexMatched = true;
            FPlan.OrderByIndexNo = uint8_t(n);
            return;
        }
    }
}

// ---- The result table ------------------------------------------------------------------

void TDataQuery::OpenResultDirectory(bool select) {
    TDataDirectory* database = FOwner->Owner();
    TDataSession* session = StatementSession(database);
    const std::string& target = Clauses().TargetTableName;
    std::string folder, table;
    bool memory = false;
    if (!target.empty()) {
        const size_t delimiter = LastPathDelimiter(target);
        table = delimiter == std::string::npos ? target : target.substr(delimiter + 1);
        if (Clauses().TargetInMemory)
            memory = true;
        else if (delimiter != std::string::npos)
            folder = target.substr(0, delimiter + 1);
        else
            folder = select ? session->GetPrivateDirectory() : GetDatabasePath(database);
    } else {
        folder = session->GetPrivateDirectory();
    }
    CloseResultCursor();
    FRun.ResultDirectory.Open(session, memory ? "Memory" : "", folder);
    // Only a SELECT without INTO gets a name of its own; a named target with no file-name
    // part is refused as a blank name.
    if (table.empty() && !Clauses().TargetGiven)
        table = FRun.ResultDirectory.Get()->GetTemporaryTableName(false);
    FRun.ResultCursor.Own(std::make_unique<TDataCursor>(FRun.ResultDirectory.Get()));
    FRun.ResultCursor->SetTableName(table);
}

std::vector<TFieldDescriptor> TDataQuery::BuildResultDescriptors() {
    std::vector<TFieldDescriptor> fields;
    for (auto& column : FPlan.Columns) {
        TResultField* c = column;
        TFieldDescriptor f;
        if (!c->IsExpression && !c->IsAggregate()) {
            f = SourceAtPosition(c->SourcePosition)->GetFieldDefinition(c->SourceFieldNo);
        } else {
            f.DataType = c->DataType;
            f.Decimals = c->Decimals;
            if (c->DataType == dtString) f.Size = uint8_t(std::max(c->DataSize - 1, 1));
            if (c->DataType == dtBytes) f.Size = uint8_t(std::max(c->DataSize, 1));
        }
        // A result holds plain values: an auto-increment column would be renumbered.
        f.SubType = c->SubType;
        if (f.DataType == dtInteger && f.SubType == fstAutoInc) f.SubType = 0;
        f.FieldNo = uint16_t(c->ResultFieldNo);
        f.Name = c->ResultName.substr(0, MaxFieldNameLength);
        f.Required = 0;
        f.MinValue.clear();
        f.MaxValue.clear();
        f.DefaultValue.clear();
        f.Computed = 0;
        f.Offset = 0;
        f.DataSize = 0;
        std::fill(std::begin(f.WorkArea), std::end(f.WorkArea), uint8_t(0));
        fields.push_back(f);
    }
    FPlan.HiddenFieldCount = 0;
    for (auto& c : FPlan.Columns) {
        if (c->AggregateKind != akAvg) continue;
        TFieldDescriptor f;
        f.FieldNo = uint16_t(fields.size() + 1);
        f.Name = ("Sys__Avg__Count" + IntToStr(f.FieldNo)).substr(0, MaxFieldNameLength);
        f.DataType = dtInteger;
        f.WorkArea[HiddenFieldByte] = 1;
        c->AvgCountFieldNo = f.FieldNo;
        fields.push_back(f);
        ++FPlan.HiddenFieldCount;
    }
    return fields;
}

void TDataQuery::CreateResultTable() {
    std::vector<TFieldDescriptor> fields = BuildResultDescriptors();
    const auto& order = Clauses().OrderByFields;
    const auto& groups = Clauses().GroupByFields;
    FPlan.SkipOrderBySort = false;
    if (Clauses().HasOrderBy && !Clauses().OrderByNoCase) {
        if (SortsGroups() && order.size() == groups.size()) {
            FPlan.SkipOrderBySort = true;
            for (size_t i = 0; i < order.size(); ++i)
                if (order[i]->ColumnNo != groups[i]->ColumnNo || order[i]->Descending)
                    FPlan.SkipOrderBySort = false;
        } else if (FPlan.Distinct && order.size() == FPlan.Columns.size()) {
            FPlan.SkipOrderBySort = true;
            for (size_t i = 0; i < order.size(); ++i)
                if (order[i]->ColumnNo != int32_t(i) + 1 || order[i]->Descending)
                    FPlan.SkipOrderBySort = false;
        }
    }
    FRun.ResultCursor->SetExclusive(true);
    FRun.ResultCursor->SetInMemory(Clauses().TargetInMemory);
    // A result of its own is temporary: it goes with its last close.
    FRun.ResultCursor->SetPassThrough(Clauses().TargetTableName.empty());
    FRun.ResultCursor->SetComputedFields(true);
    const TTableOptions& given = Clauses().Options;
    TCreateTableOptions options;
    options.Language = FPlan.LanguageID;
    options.Sort = FPlan.SortID;
    options.BlobBlockSize = uint16_t(given.BlobBlockSize);
    options.Description = given.Description;
    options.Encrypted = given.Encrypted;
    options.Password = given.Password;
    FRun.ResultCursor->CreateTable(fields, {}, options);
    TDataSession* session = FRun.ResultDirectory.Get()->Session();
    const bool added =
        given.Encrypted && session && !given.Password.empty() && !session->HasPassword(given.Password);
    if (added) session->AddPassword(given.Password);
    TScopeGuard removePassword([&] {
        if (added) session->RemovePassword(given.Password);
    });
    FRun.ResultCursor->Open();
    FRun.ResultCursor->Table()->SetPrivateRecordLocks(true);
}

void TDataQuery::BuildLiveFieldList() {
    TSourceTable* table = FPlan.DrivingTable;
    std::vector<TFieldDescriptor> fields;
    std::vector<TExpToken*> expressions;
    for (auto& column : FPlan.Columns) {
        TResultField* c = column;
        TFieldDescriptor f;
        if (!c->IsExpression) {
            f = table->GetFieldDefinition(c->SourceFieldNo);
            expressions.push_back(nullptr);
        } else {
            f.DataType = c->DataType;
            f.SubType = c->SubType;
            f.Decimals = c->Decimals;
            if (c->DataType == dtString) f.Size = uint8_t(std::max(c->DataSize - 1, 1));
            if (c->DataType == dtBytes) f.Size = uint8_t(std::max(c->DataSize, 1));
            f.DataSize = 0;
            f.Computed = 1;
            expressions.push_back(c->Expression.get());
        }
        f.FieldNo = uint16_t(c->ResultFieldNo);
        f.Name = c->ResultName.substr(0, MaxFieldNameLength);
        fields.push_back(f);
    }
    table->Cursor->PrepareTableDefinition(fields, expressions);
}

// ---- Prepare ---------------------------------------------------------------------------

void TDataQuery::PrepareSelect() {
    // A run of an earlier prepare goes: its result and filters.
    CloseResultCursor();
    FPlan.Distinct = Clauses().Distinct && Clauses().GroupByFields.empty();
    FPlan.Grouped = Clauses().Grouped;
    OpenSourceTables();
    BuildResultColumns();
    if (Clauses().GroupByFields.empty()) {
        if (Clauses().HasHaving)
            RaiseSqlError("A GROUP BY clause must exist in order to use the HAVING clause");
        if (IsAggregateOnly()) {
            FPlan.AggregateOnly = true;
            FPlan.Grouped = true;
        }
    }
    FPlan.CountStarOnly = IsCountStarOnly();
    // Columns of the conditions are bound before the conditions are cut into joins.
    if (Clauses().HasConditions) ValidateWhere();
    if (FRequestLive) FindOrderByIndex();
    for (auto& t : FPlan.Tables)
        if (t->Cursor->GetBlobFieldCount() > 0) FPlan.BlobPerRow = true;
    if (!CanReturnLiveResult()) {
        AllocSourceBuffers();
        ChainSourceTables();
        if (Clauses().HasConditions) AnalyzeJoinConditions();
        if (Clauses().HasHaving) {
            BindHaving();
            ValidateHavingCondition();
        }
        SortSourceTables();
        FPlan.DrivingTable = FPlan.Tables.front();
        CheckJoinTargets();
        if (Clauses().HasOrderBy) CheckOrderBy();
        if (FPlan.Grouped && !FPlan.AggregateOnly)
            CheckGroupBy();
        else if (FPlan.Distinct)
            CheckDistinct();
        OpenResultDirectory(true);
        CreateResultTable();
        return;
    }
    FPlan.LivePlan = true;
    if (Clauses().HasConditions) AnalyzeJoinConditions();
    SortSourceTables();
    FPlan.DrivingTable = FPlan.Tables.front();
    FRun.ResultCursor.UseSource(FPlan.DrivingTable->Cursor.get());
    FPlan.DrivingTable->Cursor->SetComputedFields(true);
    BuildLiveFieldList();
}
