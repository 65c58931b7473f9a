// SELECT planning: the select list bound to the source tables and named, the clause lists
// checked, the choice between the source table's own cursor (live) and a result table, and
// the result table's layout and creation.
#include <algorithm>

#include "db/engine/DataCursor.h"
#include "db/engine/DataDirectory.h"
#include "db/engine/DataSession.h"
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

size_t LastPathDelimiter(const std::string& name) {
    for (size_t i = name.size(); i > 0; --i)
        if (name[i - 1] == '\\' || name[i - 1] == ':' || name[i - 1] == '/') return i - 1;
    return std::string::npos;
}

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

}  // namespace

TExpToken* TResultField::ValueExpression() const {
    if (!Expression) return nullptr;
    return IsAggregate() ? Expression->First : Expression.get();
}

// ---- Binding the select list -----------------------------------------------------------

void TDataQuery::AddTableColumns(TSourceTable* table, std::vector<std::unique_ptr<TResultField>>& into) {
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
        into.push_back(std::move(c));
    }
}

void TDataQuery::BuildResultColumns() {
    std::vector<std::unique_ptr<TResultField>> columns;
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
    for (auto& column : ResultFields) {
        TResultField* c = column.get();
        if (c->IsAggregate()) {
            aggregates = true;
            if (!c->IsExpression) {
                if (c->ColumnName == "*" && c->AggregateKind == akCount) {
                    c->CountStar = true;
                    c->SourcePosition = SourceTables.front()->FromPosition;
                    c->SourceFieldNo = 1;
                } else {
                    bindPlain(c, c->Expression ? c->Expression->First : nullptr);
                }
            }
            columns.push_back(std::move(column));
        } else if (!c->IsExpression && c->ColumnName == "*") {
            others = true;
            const std::string item = c->CorrelationName.empty() ? "*" : c->CorrelationName + ".*";
            if (!c->AliasIsDefault)
                RaiseSqlError("Invalid use of column correlation name '" + c->Alias + "'" + " for " + "'" +
                              item + "'" + " specified in source columns");
            if (c->CorrelationName.empty()) {
                std::vector<TSourceTable*> inFromOrder;
                for (auto& t : SourceTables) inFromOrder.push_back(t.get());
                std::stable_sort(inFromOrder.begin(), inFromOrder.end(),
                                 [](auto* a, auto* b) { return a->FromPosition < b->FromPosition; });
                for (TSourceTable* t : inFromOrder) AddTableColumns(t, columns);
            } else {
                TSourceTable* t = FindSourceTable(c->CorrelationName);
                if (!t)
                    RaiseSqlError(InvalidColumnText(c->ColumnName, c->CorrelationName, SourceColumnsContext));
                AddTableColumns(t, columns);
            }
        } else {
            others = true;
            if (!c->IsExpression) bindPlain(c, c->Expression.get());
            columns.push_back(std::move(column));
        }
    }
    ResultFields = std::move(columns);
    if (ResultFields.size() > MaxResultColumns)
        RaiseSqlError("Maximum number of columns (" + std::string("1024") + ") in result set exceeded");
    if (aggregates && others && GroupByFields.empty())
        RaiseSqlError("Invalid use of aggregate function(s), the necessary GROUP BY clause is missing");

    const TBindColumnFunc bind = [this](void*, TExpToken* node) { return BindSourceColumn(node, false); };
    TLanguageSettingsSwap swap(LanguageID, SortID);
    HasExpressionColumns = false;
    for (auto& column : ResultFields) {
        TResultField* c = column.get();
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
            HasExpressionColumns = true;
            const TExpToken* value = c->ValueExpression();
            SetAggregateType(c, value->DataType, value->SubType, int32_t(value->DataSize), value->Decimals);
            if (c->DataType == dtBlob) HasBlobExpression = true;
            if ((c->DataType == dtString && c->DataSize - 1 > MaxExpressionFieldSize) ||
                (c->DataType == dtBytes && c->DataSize > MaxExpressionFieldSize))
                RaiseSqlError("Column expression '" + c->ExpressionText + "'" +
                              " exceeds the maximum allowable field size");
        } else if (!c->CountStar) {
            const TFieldDescriptor& f =
                SourceAtPosition(c->SourcePosition)->GetFieldDefinition(c->SourceFieldNo);
            SetAggregateType(c, f.DataType, f.SubType, f.DataSize, f.Decimals);
        } else {
            SetAggregateType(c, dtInteger, 0, 4, 0);
        }
    }
    for (size_t i = 0; i < ResultFields.size(); ++i) {
        TResultField* c = ResultFields[i].get();
        c->ResultFieldNo = int32_t(i) + 1;
        c->ResultName = MakeColumnName(c);
    }
}

bool TDataQuery::IsAggregateOnly() const {
    for (auto& c : ResultFields)
        if (!c->IsAggregate()) return false;
    return true;
}

bool TDataQuery::IsCountStarOnly() const {
    return SourceTables.size() == 1 && ResultFields.size() == 1 && ResultFields.front()->CountStar;
}

bool TDataQuery::CanReturnLiveResult() const {
    if (!RequestLive || !TargetTableName.empty() || Distinct || SourceTables.size() != 1 || MultipleTables)
        return false;
    if (Grouped || AggregateOnly || HasHaving) return false;
    if (HasOrderBy && !OrderByIndexMatched) return false;
    if (HasBlobExpression) return false;
    if (IsSubQuery) return !HasExpressionColumns;
    return Owner->QueryCount() <= 1;
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
        for (auto& other : ResultFields) {
            if (other.get() == column) break;
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
    for (auto& c : ResultFields) {
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
    if (OrderByFields.size() > MaxResultColumns)
        RaiseSqlError("Maximum number of columns (" + std::string("1024") + ") in ORDER BY clause " +
                      "exceeded");
    for (auto& o : OrderByFields) {
        if (o->ByNumber) {
            if (o->ColumnNo < 1 || size_t(o->ColumnNo) > ResultFields.size() ||
                ResultFields[size_t(o->ColumnNo) - 1]->DataType == dtBlob)
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
    if (GroupByFields.size() > MaxResultColumns)
        RaiseSqlError("Maximum number of columns (" + std::string("1024") + ") in GROUP BY clause " +
                      "exceeded");
    for (auto& g : GroupByFields) {
        if (g->ByNumber) {
            if (g->ColumnNo < 1 || size_t(g->ColumnNo) > ResultFields.size())
                RaiseSqlError("Invalid column number '" + IntToStr(g->ColumnNo) + "'" +
                              " specified in GROUP BY clause");
            if (ResultFields[size_t(g->ColumnNo) - 1]->DataType == dtBlob)
                RaiseSqlError("Invalid BLOB column '" + IntToStr(g->ColumnNo) + "'" +
                              " specified in GROUP BY clause");
            continue;
        }
        int32_t number = 0;
        if (!FindResultColumn(false, g->ColumnName, g->CorrelationName, number))
            RaiseSqlError(InvalidColumnText(g->ColumnName, g->CorrelationName, "GROUP BY clause"));
        if (ResultFields[size_t(number) - 1]->DataType == dtBlob)
            RaiseSqlError("Invalid BLOB column '" + g->ColumnName + "'" + " specified in GROUP BY clause");
        g->ColumnNo = number;
    }
}

void TDataQuery::CheckDistinct() {
    if (ResultFields.size() > MaxResultColumns)
        RaiseSqlError("Maximum number of columns (" + std::string("1024") + ") in DISTINCT clause " +
                      "exceeded");
    for (auto& c : ResultFields)
        if (c->DataType == dtBlob)
            RaiseSqlError("Invalid BLOB column '" + c->ResultName + "'" + " specified in DISTINCT clause");
}

namespace {

// Whether a HAVING part is the select item's expression: the same operators and the same
// columns of the same tables; constants by their text.
bool SameExpression(const TDataQuery& q, const TExpToken* a, const TExpToken* b) {
    if (!a || !b) return a == b;
    if (a->NodeKind != b->NodeKind || a->Code != b->Code) return false;
    if (a->NodeKind == nkColumn) {
        if (a->ColumnName == "*" || b->ColumnName == "*") return a->ColumnName == b->ColumnName;
        auto resolve = [&q](const TExpToken* n, int32_t& position, int32_t& fieldNo) {
            if (n->BindLong2 == BoundSourceColumn) {
                position = int32_t(n->BindLong1);
                fieldNo = n->BindWord;
                return true;
            }
            TSourceTable* t = nullptr;
            if (!q.FindSourceColumn(n->TableName, n->ColumnName, t, fieldNo) || !fieldNo) return false;
            position = t->FromPosition;
            return true;
        };
        int32_t pa = 0, fa = 0, pb = 0, fb = 0;
        return resolve(a, pa, fa) && resolve(b, pb, fb) && pa == pb && fa == fb;
    }
    if (a->NodeKind == nkConstant && !SameText(a->Text, b->Text)) return false;
    return SameExpression(q, a->First, b->First) && SameExpression(q, a->Second, b->Second) &&
           SameExpression(q, a->Third, b->Third);
}

bool IsAggregateNode(const TExpToken* n) {
    return n->NodeKind == nkFunction && n->Code >= fnSum && n->Code <= fnAvg;
}

}  // namespace

TResultField* TDataQuery::FindResultExpression(const TExpToken* expression) {
    for (auto& c : ResultFields)
        if (SameExpression(*this, expression, c->Expression.get())) return c.get();
    return nullptr;
}

void TDataQuery::BindHaving() {
    std::vector<TExpToken*> pending{Having.get()};
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
    if (!Having) return;
    const TBindColumnFunc bind = [this](void*, TExpToken* node) { return BindSourceColumn(node, false); };
    TLanguageSettingsSwap swap(LanguageID, SortID);
    ValidateExpression(ZIZIVU_SQLERROR, "", "HAVING clause", true, bind, this, nullptr, Having.get());
    if (Having->DataType != dtBoolean) RaiseSqlError("HAVING clause must be a boolean expression");
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
    if (!HasOrderBy || OrderByFields.empty()) return;
    TIndexDescriptor order;
    bool allDescending = true;
    for (auto& o : OrderByFields) {
        const TResultField* c = nullptr;
        if (o->ByNumber) {
            if (o->ColumnNo < 1 || size_t(o->ColumnNo) > ResultFields.size())
                RaiseSqlError("Invalid column number '" + IntToStr(o->ColumnNo) + "'" +
                              " specified in ORDER BY clause");
            c = ResultFields[size_t(o->ColumnNo) - 1].get();
        } else {
            int32_t number = 0;
            if (!FindResultColumn(true, o->ColumnName, o->CorrelationName, number))
                RaiseSqlError(InvalidColumnText(o->ColumnName, o->CorrelationName, "ORDER BY clause"));
            c = ResultFields[size_t(number) - 1].get();
        }
        if (c->IsExpression || c->IsAggregate() || order.FieldCount >= MaxOrderByIndexFields) return;
        order.FieldNumbers[order.FieldCount] = uint16_t(c->SourceFieldNo);
        order.FieldOptions[order.FieldCount] = o->Descending ? 1 : 0;
        ++order.FieldCount;
        allDescending = allDescending && o->Descending;
    }
    order.Descending = allDescending ? 1 : 0;
    order.CaseInsensitive = OrderByNoCase ? 1 : 0;
    // With every item descending the index's own flag says so, not the fields'.
    if (allDescending)
        for (int32_t i = 0; i < order.FieldCount; ++i) order.FieldOptions[i] = 0;
    if (Distinct || SourceTables.size() != 1 || MultipleTables || !GroupByFields.empty() || AggregateOnly ||
        HasHaving || HasExpressionColumns || !TargetTableName.empty())
        return;
    TDataCursor& cursor = *SourceTables.front()->Cursor;
    for (int32_t n = 0; n <= HighestIndexSlot; ++n) {
        if (n == 0 && cursor.GetNoPrimaryIndex()) continue;
        const TIndexDescriptor index = cursor.GetIndexDefinition(n);
        if (index.KeyLength == 0 || index.FieldCount == 0) continue;
        if (IndexMatchesOrderBy(cursor, index, order)) {
            OrderByIndexMatched = true;
            LiveOrderBy = true;
            OrderByIndexNo = uint8_t(n);
            return;
        }
    }
}

// ---- The result table ------------------------------------------------------------------

void TDataQuery::OpenResultDirectory(bool select) {
    TDataDirectory* database = Owner->Owner();
    TDataSession* session = StatementSession(database);
    std::string folder, table;
    bool memory = false;
    if (!TargetTableName.empty()) {
        const size_t delimiter = LastPathDelimiter(TargetTableName);
        table = delimiter == std::string::npos ? TargetTableName : TargetTableName.substr(delimiter + 1);
        if (TargetInMemory)
            memory = true;
        else if (delimiter != std::string::npos)
            folder = TargetTableName.substr(0, delimiter + 1);
        else
            folder = select ? session->GetPrivateDirectory() : GetDatabasePath(database);
    } else {
        folder = session->GetPrivateDirectory();
    }
    CloseResultCursor();
    ResultDirectory.Open(session, memory ? "Memory" : "", folder);
    if (table.empty()) table = ResultDirectory.Get()->GetTemporaryTableName(false);
    ResultCursor.Own(std::make_unique<TDataCursor>(ResultDirectory.Get()));
    ResultCursor->SetTableName(table);
}

std::vector<TFieldDescriptor> TDataQuery::BuildResultDescriptors() {
    std::vector<TFieldDescriptor> fields;
    for (auto& column : ResultFields) {
        TResultField* c = column.get();
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
    HiddenFieldCount = 0;
    for (auto& c : ResultFields) {
        if (c->AggregateKind != akAvg) continue;
        TFieldDescriptor f;
        f.FieldNo = uint16_t(fields.size() + 1);
        f.Name = ("Sys__Avg__Count" + IntToStr(f.FieldNo)).substr(0, MaxFieldNameLength);
        f.DataType = dtInteger;
        f.WorkArea[HiddenFieldByte] = 1;
        c->AvgCountFieldNo = f.FieldNo;
        fields.push_back(f);
        ++HiddenFieldCount;
    }
    return fields;
}

void TDataQuery::CreateResultTable() {
    std::vector<TFieldDescriptor> fields = BuildResultDescriptors();
    SkipOrderBySort = false;
    if (HasOrderBy && !OrderByNoCase) {
        if (Grouped && !AggregateOnly && OrderByFields.size() == GroupByFields.size()) {
            SkipOrderBySort = true;
            for (size_t i = 0; i < OrderByFields.size(); ++i)
                if (OrderByFields[i]->ColumnNo != GroupByFields[i]->ColumnNo || OrderByFields[i]->Descending)
                    SkipOrderBySort = false;
        } else if (Distinct && OrderByFields.size() == ResultFields.size()) {
            SkipOrderBySort = true;
            for (size_t i = 0; i < OrderByFields.size(); ++i)
                if (OrderByFields[i]->ColumnNo != int32_t(i) + 1 || OrderByFields[i]->Descending)
                    SkipOrderBySort = false;
        }
    }
    ResultCursor->SetExclusive(true);
    ResultCursor->SetInMemory(TargetInMemory);
    // A result of its own is temporary: it goes with its last close.
    ResultCursor->SetPassThrough(TargetTableName.empty());
    ResultCursor->SetComputedFields(true);
    TCreateTableOptions options;
    options.Language = LanguageID;
    options.Sort = SortID;
    options.BlobBlockSize = uint16_t(BlobBlockSize);
    options.Description = Description;
    options.Encrypted = Encrypted;
    options.Password = Password;
    ResultCursor->CreateTable(fields, {}, options);
    TDataSession* session = ResultDirectory.Get()->Session();
    const bool added = Encrypted && session && !Password.empty() && !session->HasPassword(Password);
    if (added) session->AddPassword(Password);
    TScopeGuard removePassword([&] {
        if (added) session->RemovePassword(Password);
    });
    ResultCursor->Open();
}

void TDataQuery::BuildLiveFieldList() {
    TSourceTable* table = DrivingTable;
    std::vector<TFieldDescriptor> fields;
    std::vector<TExpToken*> expressions;
    for (auto& column : ResultFields) {
        TResultField* c = column.get();
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
    if (Distinct && !GroupByFields.empty()) Distinct = false;
    OpenSourceTables();
    BuildResultColumns();
    if (GroupByFields.empty()) {
        if (HasHaving) RaiseSqlError("A GROUP BY clause must exist in order to use the HAVING clause");
        if (IsAggregateOnly()) {
            AggregateOnly = true;
            Grouped = true;
        }
    }
    CountStarOnly = IsCountStarOnly();
    // Columns of the conditions are bound before the conditions are cut into joins.
    if (HasConditions) ValidateWhere();
    if (RequestLive) FindOrderByIndex();
    for (auto& t : SourceTables)
        if (t->Cursor->GetBlobFieldCount() > 0) BlobPerRow = true;
    if (!CanReturnLiveResult()) {
        AllocSourceBuffers();
        ChainSourceTables();
        if (HasConditions) AnalyzeJoinConditions();
        if (HasHaving) {
            BindHaving();
            ValidateHavingCondition();
        }
        SortSourceTables();
        DrivingTable = SourceTables.front().get();
        CheckJoinTargets();
        if (HasOrderBy) CheckOrderBy();
        if (Grouped && !AggregateOnly)
            CheckGroupBy();
        else if (Distinct)
            CheckDistinct();
        OpenResultDirectory(true);
        CreateResultTable();
        return;
    }
    LivePlan = true;
    if (HasConditions) AnalyzeJoinConditions();
    SortSourceTables();
    DrivingTable = SourceTables.front().get();
    ResultCursor.UseSource(DrivingTable->Cursor.get());
    DrivingTable->Cursor->SetComputedFields(true);
    BuildLiveFieldList();
}
