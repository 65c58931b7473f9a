// The tables a statement reads: opening them, binding their columns, the join graph cut
// from the WHERE tree, the conditions handed to the tables' cursors as filters, the
// re-rooting of the join tree at its smallest table, and the nested-loop row iteration.
#include <algorithm>
#include <cstring>
#include <functional>

#include "db/engine/DataCursor.h"
#include "db/engine/DataDirectory.h"
#include "db/engine/DataSession.h"
#include "db/engine/Filter.h"
#include "db/sql/QueryStatement.h"
#include "db/sql/SqlEngineLink.h"
#include "db/sql/SqlQuerySupport.h"
#include "db/storage/EngineErrors.h"
#include "db/storage/ExpressionEval.h"
#include "db/storage/ExpressionValidate.h"
#include "db/storage/LanguageSettings.h"
#include "db/storage/LibraryMemory.h"
#include "platform/rtl/ByteCodec.h"
#include "platform/rtl/ScopeGuard.h"
#include "platform/rtl/SysUtils.h"

namespace {

const char* const WhereContext = "WHERE or JOIN clause";

// Whether `Holds` is true of a node of the tree, nodes taken in pre-order (a node, then its
// First, Second and Third subtrees). A loop, not a recursion: the values of an IN list are a
// chain through Second, as long as the list.
bool AnyNode(const TExpToken* root, const std::function<bool(const TExpToken*)>& Holds) {
    std::vector<const TExpToken*> pending{root};
    while (!pending.empty()) {
        const TExpToken* n = pending.back();
        pending.pop_back();
        if (!n) continue;
        if (Holds(n)) return true;
        pending.push_back(n->Third);
        pending.push_back(n->Second);
        pending.push_back(n->First);
    }
    return false;
}

bool HasOuterJoinMarks(const TJoinMarks& marks, const TExpToken* n) {
    return AnyNode(n, [&](const TExpToken* x) {
        return marks.JoinTypeMark(x) == jtLeftOuter || marks.JoinTypeMark(x) == jtRightOuter;
    });
}

// A comparison of columns of two different tables.
bool HasJoinComparison(const TExpToken* n) {
    return AnyNode(n, [](const TExpToken* x) {
        if (!IsComparison(x) || !ExpressionHasColumns(x->First) || !ExpressionHasColumns(x->Second))
            return false;
        std::vector<int32_t> l, r;
        CollectSourceTables(x->First, l);
        CollectSourceTables(x->Second, r);
        return l.size() != 1 || r.size() != 1 || l[0] != r[0];
    });
}

void SwapOperands(TExpToken* n) {
    std::swap(n->First, n->Second);
    n->Code = MirrorOperator(n->Code);
}

// Two conditions as the children of a new AND (or the operator given) node.
TExpTree CombineConditions(TExpTree left, TExpTree right, uint8_t code) {
    if (!left) return right;
    if (!right) return left;
    TExpTree both = NewExpTree();
    both->NodeKind = nkBinary;
    both->Code = code;
    both->Text = code == opOr ? "OR" : "AND";
    both->DataType = dtBoolean;
    both->SetDataSize(2);
    both->First = left.release();
    both->Second = right.release();
    both->First->Parent = both.get();
    both->Second->Parent = both.get();
    return both;
}

uint8_t ParentOperator(const TExpToken* parent) {
    return IsAndOr(parent) ? parent->Code : opAnd;
}

bool RefersToTable(const TExpToken* n, const TSourceTable* table) {
    std::vector<int32_t> tables;
    CollectSourceTables(n, tables);
    return std::find(tables.begin(), tables.end(), table->FromPosition) != tables.end();
}

}  // namespace

// ---- Shared helpers --------------------------------------------------------------------

bool IsComparison(const TExpToken* n) {
    return n && n->NodeKind == nkBinary && n->Code >= opEqual && n->Code <= opLessEqual;
}

bool IsAndOr(const TExpToken* n) {
    return n && n->NodeKind == nkBinary && (n->Code == opAnd || n->Code == opOr);
}

uint8_t MirrorOperator(uint8_t code) {
    switch (code) {
        case opGreater:
            return opLess;
        case opLess:
            return opGreater;
        case opGreaterEqual:
            return opLessEqual;
        case opLessEqual:
            return opGreaterEqual;
        default:
            return code;
    }
}

void CollectSourceTables(const TExpToken* n, std::vector<int32_t>& positions) {
    AnyNode(n, [&](const TExpToken* x) {
        if (x->NodeKind == nkColumn && x->BindLong2 == BoundSourceColumn &&
            std::find(positions.begin(), positions.end(), int32_t(x->BindLong1)) == positions.end())
            positions.push_back(int32_t(x->BindLong1));
        return false;
    });
}

bool HasSubSelect(const TExpToken* n) {
    return AnyNode(n, [](const TExpToken* x) { return x->NodeKind == nkSubSelect; });
}

size_t LastPathDelimiter(const std::string& name) {
    for (size_t i = name.size(); i > 0; --i)
        if (name[i - 1] == '\\' || name[i - 1] == ':' || name[i - 1] == '/') return i - 1;
    return std::string::npos;
}

[[noreturn]] void RaiseSqlError(const std::string& message) {
    RaiseEngineError(ZIZIVU_SQLERROR, "", "", "", message);
}

bool IsTrueValue(const TExpToken* v) {
    return v && !v->IsNull && v->DataType == dtBoolean && (v->Value[0] | v->Value[1]) != 0;
}

uint32_t BlobValueLength(const TExpToken& value) {
    const uint32_t size = std::min<uint32_t>(value.DataSize, uint32_t(std::max(value.BufferSize, 0)));
    if (value.DataType == dtString)
        return static_cast<uint32_t>(strnlen(reinterpret_cast<const char*>(value.Value), size));
    return size > 0 ? size - 1 : 0;
}

// ---- TSourceTable ----------------------------------------------------------------------

void TLibraryBlockFree::operator()(uint8_t* block) const {
    FreeMemory(block);
}

TSourceTable::TSourceTable(TDataQuery* owner) : Owner(owner) {}

TSourceTable::~TSourceTable() {
    CloseCursor();
}

void TSourceTable::SetTableName(const std::string& name) {
    if (Cursor) return;
    const size_t delimiter = LastPathDelimiter(name);
    if (InMemory) {
        TableName = delimiter == std::string::npos ? name : name.substr(delimiter + 1);
        DirectoryName = "Memory";
    } else if (delimiter != std::string::npos) {
        DirectoryName = name.substr(0, delimiter + 1);
        TableName = name.substr(delimiter + 1);
    } else {
        TableName = name;
        DirectoryName = GetDatabasePath(Owner && Owner->Owner() ? Owner->Owner()->Owner() : nullptr);
    }
    if (CorrelationName.empty()) CorrelationName = ExtractNameNoExt(TableName);
}

void TSourceTable::SetCorrelationName(const std::string& name) {
    if (Cursor) return;
    CorrelationName = name;
}

void TSourceTable::OpenCursor(const TQueryPasswordEvent& password, bool requestLive) {
    CloseCursor();
    TDataDirectory* database = Owner && Owner->Owner() ? Owner->Owner()->Owner() : nullptr;
    Directory.Open(StatementSession(database), InMemory ? "Memory" : "", DirectoryName);
    Cursor = std::make_unique<TDataCursor>(Directory.Get());
    Cursor->SetTableName(TableName);
    Cursor->SetReadOnly(!requestLive);
    Cursor->SetExclusive(false);
    Cursor->SetInMemory(InMemory);
    Cursor->SetRecordNumberOrder(true);
    if (password) Cursor->SetPasswordCallback(password);
    Cursor->Open();
    Cursor->SetPasswordCallback(nullptr);
    RecordBuffer.reset();
    RecordSize = 0;
    EndOfData = false;
}

void TSourceTable::CloseCursor() {
    for (auto& join : Joins) join->Filter = nullptr;
    Cursor.reset();
    Directory.Close();
}

void TSourceTable::AllocRecordBuffer() {
    RecordBuffer.reset();
    RecordSize = Cursor->GetRecordSize();
    RecordBuffer.reset(static_cast<uint8_t*>(AllocMemory(std::max(RecordSize, RecordHeaderSize))));
}

int32_t TSourceTable::FindFieldNo(const std::string& name) const {
    if (!Cursor) return 0;
    for (int32_t i = 1; i <= Cursor->GetFieldCount(); ++i)
        if (SameText(Cursor->GetFieldDefinition(i).Name, name)) return i;
    return 0;
}

const TFieldDescriptor& TSourceTable::GetFieldDefinition(int32_t fieldNo) const {
    return Cursor->GetFieldDefinition(fieldNo);
}

void TSourceTable::AddJoin(TJoinType joinType, TExpTree condition, TSourceTable* joined,
                           const TExpToken* parent) {
    for (auto& join : Joins)
        if (join->JoinedTable == joined && (join->JoinType == joinType || join->JoinType == jtNone)) {
            join->AddCondition(joinType, std::move(condition), parent);
            return;
        }
    auto join = std::make_unique<TTableJoin>(this);
    join->JoinedTable = joined;
    join->AddCondition(joinType, std::move(condition), parent);
    Joins.push_back(std::move(join));
}

TFilter* TSourceTable::AddFilter(TExpTree condition) {
    TFilter* filter = Cursor->AddFilter(condition.release(), true);
    Cursor->ActivateFilter(filter);
    return filter;
}

void TSourceTable::ReplaceFilter(TFilter* filter, TExpTree condition) {
    Cursor->ReplaceFilterTree(condition.release(), filter);
}

void TSourceTable::DropFilter(TFilter* filter) {
    if (filter) Cursor->DropFilter(filter);
}

void TSourceTable::DropFilters() {
    for (auto& join : Joins) join->Filter = nullptr;
    if (Cursor->FilterCount() > 0) Cursor->DropFilter(nullptr);
}

bool TSourceTable::FirstRow() {
    Cursor->First();
    return NextRow();
}

bool TSourceTable::NextRow() {
    const uint16_t code = Cursor->GetNextRecord(RecordBuffer.get());
    if (code == ZIZIVU_EOF) {
        EndOfData = true;
        return false;
    }
    if (code != 0) Cursor->Raise(code);
    EndOfData = false;
    return true;
}

bool TSourceTable::FirstJoinRow(TJoinType joinType) {
    NullRow = false;
    if (FirstRow())
        for (;;) {
            if (JoinsMatch()) return true;
            if (!NextRow()) break;
        }
    if (joinType != jtLeftOuter) return false;
    // The row a left outer join extends with NULLs is joined below like any other row:
    // the joins below read its columns as NULL and decide whether it is kept.
    NullRow = true;
    return JoinsMatch();
}

bool TSourceTable::NextJoinRow() {
    if (EndOfData && !NullRow) return false;
    if (!Joins.empty() && AdvanceJoins(int32_t(Joins.size()) - 1)) return true;
    if (NullRow) {
        NullRow = false;
        return false;
    }
    if (Joins.empty()) return NextRow();
    for (;;) {
        if (!NextRow()) return false;
        if (JoinsMatch()) return true;
    }
}

bool TSourceTable::JoinsMatch() {
    for (auto& join : Joins)
        if (!join->FindFirst()) return false;
    return true;
}

bool TSourceTable::AdvanceJoins(int32_t index) {
    if (index < 0) return false;
    TTableJoin* join = Joins[size_t(index)].get();
    if (join->JoinedTable->NextJoinRow()) return true;
    if (!AdvanceJoins(index - 1)) return false;
    return join->JoinedTable->FirstJoinRow(join->JoinType);
}

// ---- TTableJoin ------------------------------------------------------------------------

void TTableJoin::AddCondition(TJoinType joinType, TExpTree condition, const TExpToken* parent) {
    if (JoinType == jtNone) {
        JoinType = joinType;
        Condition = std::move(condition);
        if (Condition) Condition->Parent = nullptr;
        return;
    }
    Condition = CombineConditions(std::move(Condition), std::move(condition), ParentOperator(parent));
}

bool TTableJoin::FindFirst() {
    if (JoinType != jtNone) SetJoinFilter();
    return JoinedTable->FirstJoinRow(JoinType);
}

void TTableJoin::SetJoinFilter() {
    if (!Condition) return;
    TExpTree bound = BindCondition(Condition.get());
    // The outer row bound the same values as the filter in place was built with (outer rows
    // sharing the joined column's value): its result stands, and evaluating the condition
    // over every joined record again would give it once more. A change of the joined table
    // meanwhile is its cursor's own change check to find, as for any other filter.
    if (Filter && ExpressionTreesEqual(bound.get(), FilterBound.get())) return;
    TExpTree copy = CloneExpressionTree(bound.get());
    FilterBound.reset();
    if (Filter)
        JoinedTable->ReplaceFilter(Filter, std::move(bound));
    else
        Filter = JoinedTable->AddFilter(std::move(bound));
    FilterBound = std::move(copy);
}

TExpTree TTableJoin::BindCondition(const TExpToken* node) {
    if (!node) return nullptr;
    TDataQuery* query = Owner->Owner;
    auto asConstant = [](TExpTree value) {
        value->NodeKind = nkConstant;
        value->Code = 0;
        value->First = value->Second = value->Third = nullptr;
        return value;
    };
    // A part without the joined table's columns is decided by the outer row as it is now.
    if (ExpressionHasColumns(node) && !RefersToTable(node, JoinedTable))
        return asConstant(query->Evaluate(const_cast<TExpToken*>(node)));
    if (IsComparison(node) && !RefersToTable(node->First, JoinedTable)) {
        TExpTree n = NewExpTree();
        n->Assign(*node);
        n->First = n->Second = n->Third = nullptr;
        n->Parent = nullptr;
        n->Code = MirrorOperator(node->Code);
        n->First = CloneExpressionTree(node->Second).release();
        TExpTree value = query->Evaluate(node->First);
        ConvertValueToType(node->Second, value.get());
        n->Second = asConstant(std::move(value)).release();
        n->First->Parent = n->Second->Parent = n.get();
        return n;
    }
    if (IsAndOr(node) || node->NodeKind == nkUnary) {
        TExpTree n = NewExpTree();
        n->Assign(*node);
        n->First = n->Second = n->Third = nullptr;
        n->Parent = nullptr;
        n->First = BindCondition(node->First).release();
        n->Second = BindCondition(node->Second).release();
        for (TExpToken* c : {n->First, n->Second})
            if (c) c->Parent = n.get();
        return n;
    }
    return CloneExpressionTree(node);
}

void TTableJoin::ReverseCondition() {
    std::vector<TExpToken*> pending{Condition.get()};
    while (!pending.empty()) {
        TExpToken* n = pending.back();
        pending.pop_back();
        if (!n) continue;
        if (IsComparison(n)) {
            SwapOperands(n);
        } else if (IsAndOr(n) || n->NodeKind == nkUnary) {
            pending.push_back(n->First);
            pending.push_back(n->Second);
        }
    }
}

void TTableJoin::DropFilter() {
    if (Filter) JoinedTable->DropFilter(Filter);
    Filter = nullptr;
}

// ---- TDataQuery: opening and binding ---------------------------------------------------

void TDataQuery::OpenSourceTables() {
    // The join order starts as the FROM order.
    if (FPlan.Tables.empty())
        for (const std::unique_ptr<TSourceTable>& t : Clauses().SourceTables) FPlan.Tables.push_back(t.get());
    for (size_t i = 0; i < FPlan.Tables.size(); ++i) {
        TSourceTable* t = FPlan.Tables[i];
        t->PlanPosition = int32_t(i) + 1;
        t->OpenCursor(OnPassword, FRequestLive);
    }
    if (FPlan.Tables.empty()) return;
    TDataCursor* first = FPlan.Tables.front()->Cursor.get();
    if (!Clauses().Options.LanguageGiven) FPlan.LanguageID = first->GetLanguageID();
    if (!Clauses().Options.SortGiven) FPlan.SortID = first->GetSortOrderID();
}

void TDataQuery::AllocSourceBuffers() {
    for (auto& t : FPlan.Tables) t->AllocRecordBuffer();
}

TSourceTable* TDataQuery::FindSourceTable(const std::string& correlation) const {
    for (auto& t : FPlan.Tables)
        if (SameText(t->CorrelationName, correlation)) return t;
    return nullptr;
}

TSourceTable* TDataQuery::SourceAtPosition(int32_t fromPosition) const {
    for (auto& t : FPlan.Tables)
        if (t->FromPosition == fromPosition) return t;
    return nullptr;
}

bool TDataQuery::FindSourceColumn(const std::string& correlation, const std::string& name,
                                  TSourceTable*& table, int32_t& fieldNo) const {
    table = nullptr;
    fieldNo = 0;
    if (FPlan.Tables.empty()) return false;
    if (!correlation.empty()) {
        table = FindSourceTable(correlation);
        if (!table) return false;
        if (name.empty() || name == "*") return true;
        fieldNo = table->FindFieldNo(name);
        return fieldNo != 0;
    }
    if (name.empty() || name == "*") {
        table = FPlan.Tables.front();
        return true;
    }
    // In FROM order, whatever the planning did to the list.
    TSourceTable* found = nullptr;
    for (auto& t : FPlan.Tables)
        if (int32_t no = t->FindFieldNo(name); no && (!found || t->FromPosition < found->FromPosition)) {
            found = t;
            fieldNo = no;
        }
    table = found;
    return found != nullptr;
}

bool TDataQuery::BindSourceColumn(TExpToken* node, bool whereClause) {
    if (node->BindLong2 == BoundResultColumn) return true;
    if (!node->TableName.empty() && !FindSourceTable(node->TableName)) {
        if (whereClause)
            RaiseSqlError("Table correlation name '" + node->TableName + "'" +
                          " referenced in WHERE clause is not defined in the FROM clause");
        return false;
    }
    TSourceTable* table = nullptr;
    int32_t fieldNo = 0;
    if (!FindSourceColumn(node->TableName, node->ColumnName, table, fieldNo) || fieldNo == 0) return false;
    const TFieldDescriptor& f = table->GetFieldDefinition(fieldNo);
    node->BindLong1 = uint32_t(table->FromPosition);
    node->BindLong2 = BoundSourceColumn;
    node->BindWord = uint16_t(fieldNo);
    node->TableName = table->CorrelationName;
    node->DataType = f.DataType;
    node->SubType = f.SubType;
    node->SetDataSize(f.DataSize);
    node->Decimals = f.Decimals;
    return true;
}

void TDataQuery::ValidateWhere() {
    if (!FPlan.Where) return;
    const TBindColumnFunc bind = [this](void*, TExpToken* node) { return BindSourceColumn(node, true); };
    TLanguageSettingsSwap swap(FPlan.LanguageID, FPlan.SortID);
    ValidateExpression(ZIZIVU_SQLERROR, "", WhereContext, true, bind, this, nullptr, FPlan.Where.get());
    if (FPlan.Where->DataType != dtBoolean)
        RaiseSqlError("WHERE or JOIN clause must be a boolean expression");
}

void TDataQuery::MeetWhereParameters() {
    if (!FPlan.Where) return;
    TLanguageSettingsSwap swap(FPlan.LanguageID, FPlan.SortID);
    MeetParameterValues(ZIZIVU_SQLERROR, WhereContext, FPlan.Where.get());
}

void TDataQuery::LockSourceTables() {
    for (auto& t : FPlan.Tables) {
        t->Cursor->LockTableRead();
        FRun.ReadLockedTables.push_back(t);
    }
}

void TDataQuery::UnlockSourceTables() {
    if (FRun.ReadLockedTables.empty()) return;
    TSourceTable* t = FRun.ReadLockedTables.back();
    FRun.ReadLockedTables.pop_back();
    // Every lock goes, also when one release fails; the first failure is reported.
    TScopeGuard others([this] { UnlockSourceTables(); });
    if (t->Cursor) t->Cursor->UnlockTableRead();
}

void TDataQuery::ResyncSourceCursors() {
    for (auto& t : FPlan.Tables)
        if (t->Cursor) t->Cursor->Resync(true);
}

void TDataQuery::ResetJoinFilters() {
    for (auto& t : FPlan.Tables)
        if (t->Cursor) t->DropFilters();
    FPlan.Filters.clear();
    DropSubQueryFilter();
}

// ---- TDataQuery: the join graph --------------------------------------------------------

void TDataQuery::ChainSourceTables() {
    for (size_t i = 0; i + 1 < FPlan.Tables.size(); ++i) {
        auto join = std::make_unique<TTableJoin>(FPlan.Tables[i]);
        join->JoinedTable = FPlan.Tables[i + 1];
        FPlan.Tables[i]->Joins.push_back(std::move(join));
    }
}

void TDataQuery::AnalyzeJoinConditions() {
    if (!FPlan.Where) return;
    // The checks go first: the cut below moves nodes and must not stop half-way.
    CheckJoinComparisons(FPlan.Where.get(), nullptr);
    TExpToken* root = FPlan.Where.release();
    FPlan.Where.reset(ExtractJoinConditions(root, nullptr));
    if (FPlan.Where) FPlan.Where->Parent = nullptr;
}

namespace {

bool TakenAsResidual(const TJoinMarks& marks, const TExpToken* node, const TExpToken* parent) {
    std::vector<int32_t> tables;
    CollectSourceTables(node, tables);
    const bool underNot = parent && parent->NodeKind == nkUnary && parent->Code == opNot;
    // A NOT holds only as a whole: no comparison under it is a join of its own.
    const bool isNot = node->NodeKind == nkUnary && node->Code == opNot;
    return !HasOuterJoinMarks(marks, node) && tables.size() > 1 && (isNot || ExpressionIsDisjunction(node)) &&
           !underNot;
}

// Whether the joins from `from` reach `to`, directly or through the tables they join.
bool JoinsLeadTo(const TSourceTable* from, const TSourceTable* to) {
    for (auto& j : from->Joins)
        if (j->JoinedTable == to || JoinsLeadTo(j->JoinedTable, to)) return true;
    return false;
}

[[noreturn]] void RaiseMultipleJoinTargets(const std::string& correlationName) {
    RaiseSqlError(std::string("Internal join error - table correlation name ") + '"' + correlationName + '"' +
                  " is target of multiple join conditions in WHERE or JOIN clause");
}

// Whether the right operand's table is the outer one of a join comparison between two
// tables; the inner table's planning position is moved behind the outer one's if needed.
bool RightTableIsOuter(const TQueryPlan& q, TSourceTable* left, TSourceTable* right, TJoinType type) {
    auto joins = [](const TSourceTable* from, const TSourceTable* to) {
        for (auto& j : from->Joins)
            if (j->JoinedTable == to) return true;
        return false;
    };
    if (joins(left, right)) {
        if (left->PlanPosition > right->PlanPosition) right->PlanPosition = left->PlanPosition + 1;
        return false;
    }
    if (joins(right, left)) {
        if (right->PlanPosition > left->PlanPosition) left->PlanPosition = right->PlanPosition + 1;
        return true;
    }
    if (left->PlanPosition > right->PlanPosition) {
        if (type != jtInner || !q.IsJoinTarget(left, jtNone)) return true;
        right->PlanPosition = left->PlanPosition + 1;
        return false;
    }
    if (q.IsJoinTarget(right, jtNone) && type == jtInner && !q.IsJoinTarget(left, jtNone)) {
        left->PlanPosition = right->PlanPosition + 1;
        return true;
    }
    return false;
}

// The comparisons of a condition reached through AND, OR and NOT.
void ForEachComparison(TExpToken* n, const std::function<void(TExpToken*)>& visit) {
    if (IsComparison(n)) {
        visit(n);
    } else if (IsAndOr(n) || (n && n->NodeKind == nkUnary)) {
        ForEachComparison(n->First, visit);
        ForEachComparison(n->Second, visit);
    }
}

// The tables of the two sides of a comparison of columns of two different tables.
bool JoinedSides(const TExpToken* n, int32_t& left, int32_t& right) {
    if (!ExpressionHasColumns(n->First) || !ExpressionHasColumns(n->Second)) return false;
    std::vector<int32_t> l, r;
    CollectSourceTables(n->First, l);
    CollectSourceTables(n->Second, r);
    if (l.size() != 1 || r.size() != 1 || l[0] == r[0]) return false;
    left = l[0];
    right = r[0];
    return true;
}

}  // namespace

void TDataQuery::CheckJoinComparisons(const TExpToken* node, const TExpToken* parent) const {
    if (!node) return;
    if (node->NodeKind == nkUnary || IsAndOr(node)) {
        if (TakenAsResidual(Clauses().JoinMarks, node, parent)) return;
        CheckJoinComparisons(node->First, node);
        if (node->NodeKind != nkUnary) CheckJoinComparisons(node->Second, node);
        return;
    }
    if (!IsComparison(node) || FPlan.Tables.size() < 2 || !ExpressionHasColumns(node->First) ||
        !ExpressionHasColumns(node->Second))
        return;
    std::vector<int32_t> l, r;
    CollectSourceTables(node->First, l);
    CollectSourceTables(node->Second, r);
    if (l.size() != 1 || r.size() != 1)
        RaiseSqlError(
            "The join condition cannot contain multiple table correlation names in either the left or "
            "right operand in WHERE or JOIN clause");
    if (!SourceAtPosition(l[0]) || !SourceAtPosition(r[0]))
        RaiseSqlError("Internal join error attempting to validate table correlation names involved in join");
}

// The ON condition of an outer join between two tables is the join's condition as a
// whole: a NOT, an OR or a part on one table decides which rows match like a comparison
// does, and the outer row without a match is extended with NULLs.
bool TDataQuery::TakenAsOuterJoin(TExpToken* node, const TExpToken* parent) {
    const TJoinMarks& marks = Clauses().JoinMarks;
    if (!marks.IsOnClauseCondition(node) || !HasOuterJoinMarks(marks, node)) return false;
    std::vector<int32_t> tables;
    CollectSourceTables(node, tables);
    int32_t l = 0, r = 0;
    ForEachComparison(node, [&](TExpToken* c) {
        if (l == 0) JoinedSides(c, l, r);
    });
    if (tables.size() != 2 || l == 0) return false;
    TSourceTable* left = SourceAtPosition(l);
    TSourceTable* right = SourceAtPosition(r);
    const bool rightOuter = RightTableIsOuter(FPlan, left, right, jtLeftOuter);
    TSourceTable* outer = rightOuter ? right : left;
    TSourceTable* inner = rightOuter ? left : right;
    // Every comparison between the two reads from the outer table to the inner one.
    ForEachComparison(node, [&](TExpToken* c) {
        if (JoinedSides(c, l, r) && l == inner->FromPosition) SwapOperands(c);
    });
    outer->AddJoin(jtLeftOuter, TExpTree(node), inner, parent);
    return true;
}

TExpToken* TDataQuery::ExtractJoinConditions(TExpToken* node, TExpToken* parent) {
    if (!node) return nullptr;
    node->Parent = parent;
    if (node->NodeKind == nkUnary || IsAndOr(node)) {
        if (TakenAsOuterJoin(node, parent)) return nullptr;
        if (TakenAsResidual(Clauses().JoinMarks, node, parent)) {
            // A disjunction over several tables is tested on each row combination.
            FPlan.ResidualWhere = CombineConditions(std::move(FPlan.ResidualWhere), TExpTree(node), opAnd);
            FPlan.HasResidualWhere = true;
            return nullptr;
        }
        TExpToken* first = ExtractJoinConditions(node->First, node);
        TExpToken* second = node->NodeKind == nkUnary ? nullptr : ExtractJoinConditions(node->Second, node);
        node->First = first;
        if (node->NodeKind == nkUnary) {
            if (first) return node;
            DisposeExpToken(node);
            return nullptr;
        }
        node->Second = second;
        if (first && second) return node;
        node->First = node->Second = nullptr;
        DisposeExpToken(node);
        TExpToken* kept = first ? first : second;
        if (kept) kept->Parent = parent;
        return kept;
    }
    if (!IsComparison(node)) return node;
    const bool leftColumns = ExpressionHasColumns(node->First);
    const bool rightColumns = ExpressionHasColumns(node->Second);
    if (leftColumns && rightColumns && FPlan.Tables.size() > 1) {
        std::vector<int32_t> l, r;
        CollectSourceTables(node->First, l);
        CollectSourceTables(node->Second, r);
        // CheckJoinComparisons has made sure of one known table on each side.
        if (l[0] == r[0]) return node;
        TSourceTable* left = SourceAtPosition(l[0]);
        TSourceTable* right = SourceAtPosition(r[0]);
        TJoinType type = Clauses().JoinMarks.JoinTypeMark(node);
        if (type == jtNone) type = jtInner;
        if (type == jtRightOuter) type = jtLeftOuter;
        // The inner table of a left outer join keeps the row that it extends with NULLs: an
        // inner condition on it holds on the joined row and is no join of its own.
        if (type == jtInner &&
            (FPlan.IsJoinTarget(left, jtLeftOuter) || FPlan.IsJoinTarget(right, jtLeftOuter))) {
            FPlan.ResidualWhere = CombineConditions(std::move(FPlan.ResidualWhere), TExpTree(node), opAnd);
            FPlan.HasResidualWhere = true;
            return nullptr;
        }
        const int32_t leftPosition = left->PlanPosition, rightPosition = right->PlanPosition;
        const bool rightOuter = RightTableIsOuter(FPlan, left, right, type);
        TSourceTable* outer = rightOuter ? right : left;
        TSourceTable* inner = rightOuter ? left : right;
        // A join back to a table the inner one already leads to would close a ring, which
        // the joined rows' walk would go round for ever: an inner join's comparison then
        // holds on the joined row.
        if (JoinsLeadTo(inner, outer)) {
            if (type != jtInner) RaiseMultipleJoinTargets(inner->CorrelationName);
            left->PlanPosition = leftPosition;
            right->PlanPosition = rightPosition;
            FPlan.ResidualWhere = CombineConditions(std::move(FPlan.ResidualWhere), TExpTree(node), opAnd);
            FPlan.HasResidualWhere = true;
            return nullptr;
        }
        if (rightOuter) SwapOperands(node);
        outer->AddJoin(type, TExpTree(node), inner, parent);
        return nullptr;
    }
    if (!leftColumns && rightColumns) SwapOperands(node);
    return node;
}

void TDataQuery::SortSourceTables() {
    std::stable_sort(FPlan.Tables.begin(), FPlan.Tables.end(),
                     [](const auto& a, const auto& b) { return a->PlanPosition < b->PlanPosition; });
    for (size_t i = 0; i < FPlan.Tables.size(); ++i) FPlan.Tables[i]->PlanPosition = int32_t(i) + 1;
}

void TDataQuery::CheckJoinTargets() {
    // Joins of other tables onto the same table: typed ones, and any.
    auto targetedElsewhere = [this](const TSourceTable* owner, const TSourceTable* target, bool typedOnly) {
        for (auto& t : FPlan.Tables) {
            if (t == owner) continue;
            for (auto& j : t->Joins)
                if (j->JoinedTable == target && (!typedOnly || j->JoinType != jtNone)) return true;
        }
        return false;
    };
    for (auto& t : FPlan.Tables) {
        for (int32_t i = int32_t(t->Joins.size()) - 1; i >= 0; --i) {
            TTableJoin* j = t->Joins[size_t(i)].get();
            if (j->JoinType != jtNone) {
                if (targetedElsewhere(t, j->JoinedTable, true))
                    RaiseMultipleJoinTargets(j->JoinedTable->CorrelationName);
            } else if (targetedElsewhere(t, j->JoinedTable, false) || j->JoinedTable->PlanPosition == 1) {
                t->Joins.erase(t->Joins.begin() + i);
            }
        }
    }
    // A table crossed after an outer join is crossed with each of its rows, NULL-extended
    // or not: the cross product leaves the join's inner table for the outermost table
    // above it, since a table below the inner one reads as having no row with it.
    auto outerOf = [this](const TSourceTable* inner) -> TSourceTable* {
        for (auto& t : FPlan.Tables)
            for (auto& j : t->Joins)
                if (j->JoinedTable == inner && j->JoinType == jtLeftOuter) return t;
        return nullptr;
    };
    for (auto& t : FPlan.Tables) {
        TSourceTable* outer = t;
        for (size_t steps = 0; outerOf(outer) && steps < FPlan.Tables.size(); ++steps) outer = outerOf(outer);
        if (outer == t) continue;
        for (size_t i = 0; i < t->Joins.size();) {
            if (t->Joins[i]->JoinType != jtNone) {
                ++i;
                continue;
            }
            t->Joins[i]->Owner = outer;
            outer->Joins.push_back(std::move(t->Joins[i]));
            t->Joins.erase(t->Joins.begin() + std::ptrdiff_t(i));
        }
    }
}

void TDataQuery::ValidateJoinConditions() {
    const TBindColumnFunc bind = [this](void*, TExpToken* node) { return BindSourceColumn(node, true); };
    TLanguageSettingsSwap swap(FPlan.LanguageID, FPlan.SortID);
    for (auto& t : FPlan.Tables)
        for (auto& j : t->Joins) {
            if (j->JoinType == jtNone || !j->Condition) continue;
            ValidateExpression(ZIZIVU_SQLERROR, "", WhereContext, true, bind, this, nullptr,
                               j->Condition.get());
            if (j->Condition->DataType != dtBoolean)
                RaiseSqlError("WHERE or JOIN clause must be a boolean expression");
        }
}

// ---- TDataQuery: push-down -------------------------------------------------------------

void TDataQuery::OptimizeWhere(int32_t pass) {
    // The first pass notes the index filters it installs for the second, which forgets them.
    if (pass == 1) FRun.IndexFiltered.clear();
    TScopeGuard forget([this, pass] {
        if (pass == 0) FRun.IndexFiltered.clear();
    });
    if (FPlan.Where) PushDownConditions(pass, FPlan.Where.get());
}

void TDataQuery::PushDownConditions(int32_t pass, TExpToken* node) {
    if (!node) return;
    std::vector<int32_t> tables;
    CollectSourceTables(node, tables);
    auto tableOf = [this](int32_t position) {
        TSourceTable* t = SourceAtPosition(position);
        if (!t) RaiseSqlError("Internal table filter error");
        return t;
    };
    // Conditions without columns go to the driving table.
    auto single = [&]() { return tables.empty() ? FPlan.DrivingTable : tableOf(tables.front()); };
    const bool logical = (node->NodeKind == nkUnary && node->Code == opNot) || IsAndOr(node);
    if (logical) {
        if (tables.size() <= 1 && !HasJoinComparison(node)) {
            AddTableFilter(pass, node, single());
        } else if (node->NodeKind == nkBinary && node->Code == opAnd) {
            PushDownConditions(pass, node->First);
            PushDownConditions(pass, node->Second);
        } else if (pass == 0) {
            // A NOT or OR over several tables holds only as a whole: tested per row.
            TExpTree copy = CloneExpressionTree(node);
            FPlan.ResidualJoin = CombineConditions(std::move(FPlan.ResidualJoin), std::move(copy), opAnd);
            FPlan.HasResidualJoin = true;
        }
        return;
    }
    if (IsComparison(node) && ExpressionHasColumns(node->First) && ExpressionHasColumns(node->Second)) {
        std::vector<int32_t> l, r;
        CollectSourceTables(node->First, l);
        CollectSourceTables(node->Second, r);
        if (l.size() != 1 || r.size() != 1 || l[0] != r[0]) RaiseSqlError("Internal table filter error");
    } else if (tables.size() > 1) {
        RaiseSqlError("Internal table filter error");
    }
    AddTableFilter(pass, node, single());
}

void TDataQuery::AddTableFilter(int32_t pass, const TExpToken* condition, TSourceTable* table) {
    if (!table) return;
    const bool oneTable = FPlan.Tables.size() == 1;
    // Installed by the first pass: the second would prepare it and find it index-answered
    // again (one table, nothing reordered in between), and add nothing.
    if (pass == 0 && oneTable && !FPlan.LivePlan && !FPlan.CountStarOnly &&
        std::find(FRun.IndexFiltered.begin(), FRun.IndexFiltered.end(), condition) !=
            FRun.IndexFiltered.end())
        return;
    TExpTree copy;
    {
        TLanguageSettingsSwap swap(FPlan.LanguageID, FPlan.SortID);
        copy = PrepareExpressionTree(const_cast<TExpToken*>(condition), this, ColumnValueFunc(), false, false,
                                     FPlan.SortID, FPlan.LanguageID);
    }
    if (!copy) return;
    copy->Parent = nullptr;
    const bool constant = !ExpressionHasColumns(copy.get()) && !HasSubSelect(copy.get());
    // COUNT(*) of one table under one condition that an index range answers: the keys are
    // counted from the tree, and no filter marks them one by one.
    if (FPlan.CountStarOnly && !FPlan.LivePlan && oneTable && !constant && condition == FPlan.Where.get() &&
        pass == 1 && table->Cursor->CountFromIndex(copy.get(), FPlan.IndexCount)) {
        FPlan.IndexCountGiven = true;
        return;
    }
    if (FPlan.LivePlan || FPlan.CountStarOnly || constant) {
        if (FPlan.LivePlan ? pass == 0 : pass == 1) {
            InstallFilter(table, std::move(copy));
        }
        return;
    }
    auto addResidual = [this](TExpTree part) {
        FPlan.ResidualJoin = CombineConditions(std::move(FPlan.ResidualJoin), std::move(part), opAnd);
        FPlan.HasResidualJoin = true;
    };
    if (FPlan.IsJoinTarget(table, jtLeftOuter)) {
        // The inner table of a left outer join keeps its rows for the NULL-extended row:
        // the condition is tested on the joined row, never as a filter of the table.
        if (pass == 0) addResidual(std::move(copy));
        return;
    }
    // What an index answers is filtered before the joins are ordered, so that the
    // tables' counts tell which is smallest; the rest after.
    if (table->Cursor->OptimizeFilterNode(copy.get()) != olNone) {
        if (pass == 1) {
            InstallFilter(table, std::move(copy));
            if (oneTable) FRun.IndexFiltered.push_back(condition);
        }
        return;
    }
    if (pass != 0) return;
    if (oneTable || FPlan.IsJoinTarget(table, jtInner))
        addResidual(std::move(copy));
    else
        InstallFilter(table, std::move(copy));
}

TFilter* TDataQuery::InstallFilter(TSourceTable* table, TExpTree condition) {
    TFilter* filter = table->AddFilter(std::move(condition));
    FPlan.Filters.push_back({table, filter});
    return filter;
}

// ---- TDataQuery: join reordering -------------------------------------------------------

namespace {

// Whether the inner joins above a table lead up to the driving table: re-rooting follows
// only them, and a table below a cross product would be cut off from the rows.
bool InnerJoinsReachDrivingTable(const TQueryPlan& q, const TSourceTable* table) {
    for (size_t steps = 0; table && steps <= q.Tables.size(); ++steps) {
        if (table == q.DrivingTable) return true;
        const TSourceTable* source = nullptr;
        for (TSourceTable* t : q.Tables)
            for (auto& j : t->Joins)
                if (j->JoinedTable == table && j->JoinType == jtInner) source = t;
        table = source;
    }
    return false;
}

// The tables reached by an inner join whose outer table is not itself the inner table of
// a left outer join.
std::vector<TSourceTable*> JoinCandidates(const TQueryPlan& q) {
    std::vector<TSourceTable*> out;
    for (TSourceTable* t : q.Tables) {
        if (q.IsJoinTarget(t, jtLeftOuter) || !InnerJoinsReachDrivingTable(q, t)) continue;
        for (auto& j : t->Joins)
            if (j->JoinType == jtInner && std::find(out.begin(), out.end(), j->JoinedTable) == out.end())
                out.push_back(j->JoinedTable);
    }
    return out;
}

TSourceTable* SmallestCandidate(const TQueryPlan& q, int32_t& count) {
    TSourceTable* best = nullptr;
    for (TSourceTable* t : JoinCandidates(q)) {
        const int32_t n = t->Cursor->GetRecordCount();
        if (!best || n < count) {
            best = t;
            count = n;
        }
    }
    return best;
}

}  // namespace

bool TDataQuery::CanOptimizeJoins() {
    if (Clauses().NoJoinOptimize || !FPlan.DrivingTable) return false;
    int32_t count = 0;
    TSourceTable* best = SmallestCandidate(FPlan, count);
    return best && count < FPlan.DrivingTable->Cursor->GetRecordCount();
}

void TDataQuery::OptimizeJoins() {
    int32_t count = 0;
    TSourceTable* best = SmallestCandidate(FPlan, count);
    if (!best) return;
    ReRootJoinTree(best);
    for (size_t i = 0; i < FPlan.Tables.size(); ++i) FPlan.Tables[i]->PlanPosition = int32_t(i) + 1;
    FPlan.DrivingTable = FPlan.Tables.front();
}

void TDataQuery::ReRootJoinTree(TSourceTable* table) {
    TSourceTable* parent = nullptr;
    for (auto& t : FPlan.Tables)
        for (auto& j : t->Joins)
            if (j->JoinedTable == table && j->JoinType == jtInner) parent = t;
    if (!parent) return;
    ReRootJoinTree(parent);
    auto it = std::find_if(parent->Joins.begin(), parent->Joins.end(), [table](const auto& j) {
        return j->JoinedTable == table && j->JoinType == jtInner;
    });
    if (it == parent->Joins.end()) RaiseSqlError("Internal join optimization error");
    const bool onlyJoin = parent->Joins.size() == 1;
    std::unique_ptr<TTableJoin> join = std::move(*it);
    parent->Joins.erase(it);
    join->Owner = table;
    join->JoinedTable = parent;
    join->Filter = nullptr;
    join->ReverseCondition();
    table->Joins.push_back(std::move(join));
    MoveSourceTable(table, parent, onlyJoin);
}

void TDataQuery::MoveSourceTable(TSourceTable* table, TSourceTable* before, bool exchange) {
    auto indexOf = [this](const TSourceTable* t) {
        for (size_t i = 0; i < FPlan.Tables.size(); ++i)
            if (FPlan.Tables[i] == t) return int32_t(i);
        return -1;
    };
    const int32_t ti = indexOf(table), bi = indexOf(before);
    if (ti < 0 || bi < 0) RaiseSqlError("Internal join optimization error");
    if (ti < bi) return;
    if (exchange) {
        std::swap(FPlan.Tables[size_t(ti)], FPlan.Tables[size_t(bi)]);
        return;
    }
    TSourceTable* moved = FPlan.Tables[size_t(ti)];
    FPlan.Tables.erase(FPlan.Tables.begin() + ti);
    FPlan.Tables.insert(FPlan.Tables.begin() + indexOf(before), moved);
}

// ---- TDataQuery: rows ------------------------------------------------------------------

bool TDataQuery::FirstSourceRow() {
    return FPlan.DrivingTable && FPlan.DrivingTable->FirstJoinRow(jtNone);
}

bool TDataQuery::NextSourceRow() {
    return FPlan.DrivingTable && FPlan.DrivingTable->NextJoinRow();
}

void TDataQuery::GetSourceFieldValue(TExpToken* node, const uint8_t* resultRecord) {
    node->SetBufferSize(FieldValueBufferSize);
    if (node->BindLong2 == BoundResultColumn) {
        TDataCursor* cursor = FRun.ResultCursor.Get();
        if (!cursor || !resultRecord) {
            node->IsNull = 1;
            return;
        }
        bool blank = false;
        cursor->GetField(node->BindWord, resultRecord, blank, node->Value);
        node->IsNull = blank ? 1 : 0;
        return;
    }
    TSourceTable* t = SourceAtPosition(int32_t(node->BindLong1));
    if (!t || !t->RecordBuffer || t->EndOfData) {
        node->IsNull = 1;
        return;
    }
    const int32_t no = node->BindWord;
    if (node->DataType == dtBlob) {
        ReadSourceBlob(t, no, node);
        return;
    }
    bool blank = false;
    t->Cursor->GetTableField(no, t->RecordBuffer.get(), blank, node->Value);
    node->IsNull = blank ? 1 : 0;
}

void TDataQuery::ReadSourceBlob(TSourceTable* t, int32_t fieldNo, TExpToken* node) {
    TDataCursor* c = t->Cursor.get();
    node->IsNull = 1;
    node->DataSize = 0;
    // A BLOB the statement has open already (an earlier SET item wrote it) is read from its
    // buffer and stays open: freeing it here would take back what was written.
    const TFieldDescriptor f = c->GetTableFieldDefinition(fieldNo);
    const bool open = bytes::GetI32(t->RecordBuffer.get() + f.Offset + 1) < 0;
    uint16_t code = c->OpenBlob(fieldNo, t->RecordBuffer.get(), EngineBlobTag, true, bmRead);
    if (code != 0) RaiseEngineError(code, t->TableName);
    uint32_t size = 0, count = 0;
    code = c->GetBlobSize(fieldNo, t->RecordBuffer.get(), true, size);
    if (code == 0) {
        node->SetBufferSize(int32_t(size) + 1);
        if (size > 0) code = c->GetBlob(fieldNo, t->RecordBuffer.get(), true, count, size, node->Value, 0);
        node->Value[count] = 0;
        node->DataSize = count + 1;
        node->IsNull = count == 0 ? 1 : 0;
    }
    const uint16_t freed = open ? 0 : c->FreeBlob(fieldNo, t->RecordBuffer.get(), EngineBlobTag, true);
    if (code == 0) code = freed;
    if (code != 0) RaiseEngineError(code, t->TableName);
}

TGetColumnValueFunc TDataQuery::ColumnValueFunc() {
    return [this](void*, void* record, TExpToken* node) {
        GetSourceFieldValue(node, static_cast<const uint8_t*>(record));
    };
}

TExpTree TDataQuery::Evaluate(TExpToken* node, const uint8_t* resultRecord) {
    return EvaluateExpression(node, const_cast<uint8_t*>(resultRecord), this, FPlan.SortID, FPlan.LanguageID,
                              ColumnValueFunc());
}

bool TDataQuery::TestCondition(TExpToken* condition, const uint8_t* resultRecord) {
    if (!condition) return true;
    return IsTrueValue(Evaluate(condition, resultRecord).get());
}
