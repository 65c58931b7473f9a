#include "db/sql/QueryStatement.h"

#include <cstring>

#include "db/engine/DataCursor.h"
#include "db/engine/DataDirectory.h"
#include "db/engine/DataSession.h"
#include "db/sql/SqlEngineLink.h"
#include "db/storage/EngineErrors.h"
#include "db/storage/FileLayer.h"
#include "db/storage/LibraryMemory.h"
#include "platform/rtl/ScopeGuard.h"
#include "platform/rtl/SysUtils.h"
#include "platform/rtl/Tick.h"

namespace {

const char* const StatementContext = "SQL statement";

bool IsPathDelimiter(char c) {
    return c == '\\' || c == ':' || c == '/';
}

size_t LastPathDelimiter(const std::string& name) {
    for (size_t i = name.size(); i > 0; --i)
        if (IsPathDelimiter(name[i - 1])) return i - 1;
    return std::string::npos;
}

}  // namespace

// ---- Clause objects --------------------------------------------------------------------

void TResultField::SetColumnName(const std::string& name) {
    if (name == ColumnName) return;
    ColumnName = name;
    if (Alias.empty() && name != "*") Alias = name;
}

void TCreateField::AssignDataType(int32_t fieldNo) {
    const TExpToken* n = Node.get();
    FieldNo = fieldNo;
    if (!n) return;
    const std::string name = n->NodeKind == nkColumn ? n->ColumnName : n->Text;
    if (Redefine && OldNameNode) {
        NewColumnName = name;
        const TExpToken* old = OldNameNode.get();
        ColumnName = old->NodeKind == nkColumn ? old->ColumnName : old->Text;
    } else {
        ColumnName = name;
    }
    DataType = n->DataType;
    SubType = n->SubType;
    if (n->DataType == dtString)
        Size = n->DataSize > 0 ? static_cast<int32_t>(n->DataSize) - 1 : 0;
    else if (n->DataType == dtBytes)
        Size = static_cast<int32_t>(n->DataSize);
    if (n->DataType == dtBCD) Decimals = n->Decimals;
}

void TCreateIndex::BuildFieldList() {
    ColumnNames.Clear();
    for (const TExpTree& n : ColumnNodes) {
        if (n->NodeKind == nkConstant && n->DataType == dtString)
            ColumnNames.Add(n->IsNull ? std::string() : std::string(n->Str()));
        else
            ColumnNames.Add(n->ColumnName);
    }
}

void TLibraryBlockFree::operator()(uint8_t* block) const {
    FreeMemory(block);
}

TSourceTable::TSourceTable(TDataQuery* owner) : Owner(owner) {}

TSourceTable::~TSourceTable() {
    CloseCursor();
}

// ---- TResultCursor ---------------------------------------------------------------------

TResultCursor::TResultCursor() = default;
TResultCursor::~TResultCursor() = default;

void TResultCursor::Own(std::unique_ptr<TDataCursor> cursor) {
    FOwned = std::move(cursor);
    FCursor = FOwned.get();
}

void TResultCursor::UseSource(TDataCursor* cursor) {
    FOwned.reset();
    FCursor = cursor;
}

void TResultCursor::Release() {
    FCursor = nullptr;
    FOwned.reset();
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
        DirectoryName = GetDatabasePath(Owner && Owner->Owner ? Owner->Owner->Owner() : nullptr);
    }
    if (CorrelationName.empty()) CorrelationName = ExtractNameNoExt(TableName);
}

void TSourceTable::SetCorrelationName(const std::string& name) {
    if (Cursor) return;
    CorrelationName = name;
}

// ---- TDataQuery ------------------------------------------------------------------------

TDataQuery::TDataQuery(TQueryStatement* owner) : Owner(owner) {
    Reset();
}

TDataQuery::~TDataQuery() {
    CloseResultCursor();
}

void TDataQuery::Reset() {
    CloseResultCursor();
    Executed = false;
    IsSubQuery = false;
    Kind = skNone;
    ExecutionTime = 0;
    RowsAffected = 0;
    Distinct = HasAvg = HasExpressionColumns = HasResidualWhere = HasResidualJoin = false;
    MultipleTables = NoJoinOptimize = HasConditions = HasHaving = HasOrderBy = false;
    OrderByIndexMatched = false;
    OrderByIndexNo = 255;
    LiveOrderBy = false;
    ClearOrderByFields();
    OrderByNoCase = false;
    Grouped = false;
    ClearGroupByFields();
    AggregateOnly = CountStarOnly = HavingGiven = LivePlan = false;
    TargetInMemory = InsertSelect = false;
    TargetTableName.clear();
    IndexName.clear();
    BlobPerRow = WithLocks = false;
    DrivingTable = nullptr;
    SkipOrderBySort = HasBlobExpression = false;
    HiddenFieldCount = 0;
    ClearSourceTables();
    ClearResultFields();
    ClearUpdateFields();
    ClearUpdateValues();
    ClearCreateFields();
    ClearCreateIndexes();
    Where.reset();
    Having.reset();
    ResidualWhere.reset();
    ResidualJoin.reset();
    WhereFilter = nullptr;
    SubQueryFilter = nullptr;
    Encrypted = false;
    Password.clear();
    LanguageID = SortID = 0;
    BlobBlockSize = 512;
    Description.clear();
    UserMajorVersion = 1;
    UserMinorVersion = 0;
    LastAutoInc = -1;
    NoAutoInc = NoBackup = false;
    CommitInterval = 0;
    EncryptedGiven = LanguageGiven = SortGiven = BlobBlockSizeGiven = DescriptionGiven = false;
    UserMajorVersionGiven = UserMinorVersionGiven = CommitIntervalGiven = false;
}

TExpressionParser& TDataQuery::Parser() {
    return Owner->Parser();
}

void TDataQuery::Prepare() {
    switch (Kind) {
        case skSelect:
            PrepareSelect();
            break;
        case skInsert:
        case skUpdate:
        case skDelete:
            PrepareDataStatement();
            break;
        case skCreateTable:
        case skAlterTable:
        case skDropTable:
        case skCreateIndex:
        case skDropIndex:
            OpenResultDirectory(false);
            break;
    }
}

void TDataQuery::Execute(TDataCursor*& result) {
    result = nullptr;
    const uint32_t start = GetTickCount();
    switch (Kind) {
        case skSelect:
            ExecuteSelect(result);
            break;
        case skInsert:
        case skUpdate:
        case skDelete:
            ExecuteDataStatement();
            break;
        case skCreateTable:
            ExecCreateTable();
            break;
        case skDropTable:
            ExecDropTable();
            break;
        case skAlterTable:
            ExecAlterTable();
            break;
        case skCreateIndex:
            ExecCreateIndex();
            break;
        case skDropIndex:
            ExecDropIndex();
            break;
    }
    const uint32_t end = GetTickCount();
    ExecutionTime = end > start ? (end - start) / 1000.0 : 0;
}

void TDataQuery::DoProgress(int32_t currentRecord, uint16_t percentDone, bool& abort) {
    if (OnProgress) OnProgress(this, currentRecord, percentDone, abort);
}

void TDataQuery::CloseResultCursor() {
    DropSubQueryFilter();
    ResultCursor.Release();
    ResultDirectory.Close();
}

void TDataQuery::ParseSubSelect(TExpressionParser& parser) {
    // Each level of sub-select nesting costs stack in the parsers: refused beyond a bound.
    TQueryStatement::TNesting nesting(*Owner);
    if (nesting.Depth() > MaxSubSelectNesting) parser.RaiseIn("Sub-select queries nested too deeply in ");
    // The clause around the IN keeps its own context for what follows the sub-select.
    const std::string context = parser.Context();
    ParseStatement(true);
    parser.SetContext(context);
}

// ---- TQueryStatement -------------------------------------------------------------------

TQueryStatement::TQueryStatement(TDataDirectory* database) : FOwner(database) {
    FQueries.push_back(std::make_unique<TDataQuery>(this));
    FMainQuery = FQueries.front().get();
    FParser = std::make_unique<TExpressionParser>(this);
}

TQueryStatement::~TQueryStatement() {
    // Markers belong to the trees freed with the queries.
    FParams.clear();
    while (!FQueries.empty()) FQueries.pop_back();
    FMainQuery = nullptr;
}

void TQueryStatement::SetRequestLive(bool value) {
    if (FMainQuery) FMainQuery->RequestLive = value;
}

void TQueryStatement::SetMaxRowCount(int32_t value) {
    if (FMainQuery) FMainQuery->MaxRowCount = value;
}

void TQueryStatement::SetPasswordEvent(const TQueryPasswordEvent& event) {
    if (FMainQuery) FMainQuery->SetPasswordEvent(event);
}

void TQueryStatement::SetProgressEvent(const TQueryProgressEvent& event) {
    if (FMainQuery) FMainQuery->SetProgressEvent(event);
}

int32_t TQueryStatement::Parse(const std::string& text) {
    FParser->SetErrorCode(ZIZIVU_SQLERROR);
    FParser->SetContext(StatementContext);
    FParser->SetText(text);
    FParams.clear();
    // Sub-selects of an earlier text go; an executed query keeps what it ran.
    if (!FMainQuery->Executed)
        while (FQueries.size() > 1) FQueries.pop_back();
    // The markers of a failed parse went back to the pool with its trees.
    TScopeGuard forgetParams([this] { FParams.clear(); });
    FParser->NextToken();
    FMainQuery->ParseStatement(false);
    forgetParams.Dismiss();
    return FParser->GetPosition();
}

void TQueryStatement::Prepare(const std::string& text, int32_t& position) {
    {
        // A text that fails names the offset of its failing token.
        TScopeGuard failedAt([&] { position += FParser->GetPosition(); });
        Parse(text);
        failedAt.Dismiss();
    }
    // The rows a data statement's sub-selects read are fixed before it changes the first
    // one: a live result on the table it changes would see the rows changed so far (and an
    // INSERT ... SELECT into its own source would go on to the rows it inserts).
    const TStatementKind kind = FMainQuery->Kind;
    if (kind == skInsert || kind == skUpdate || kind == skDelete)
        for (int32_t i = 1; i < QueryCount(); ++i) FQueries[i]->RequestLive = false;
    for (int32_t i = QueryCount() - 1; i >= 0; --i) FQueries[i]->Prepare();
    position += FParser->GetPosition();
}

void TQueryStatement::SetParams(int32_t count, const TParamValue* fields, const uint8_t* record) {
    for (int32_t i = 0; i < count; ++i) {
        if (i >= ParamCount()) RaiseEngineError(ZIZIVU_SQLERROR, "", "", "", "Internal parameter error");
        TExpToken* node = FParams[i];
        const TParamValue& f = fields[i];
        const uint8_t* flag = record + f.Offset;
        node->DataType = f.DataType;
        node->SubType = f.SubType;
        node->IsNull = *flag == 0 ? 1 : 0;
        if (f.DataType != dtBlob) {
            const uint32_t size = f.DataSize > 0 ? static_cast<uint32_t>(f.DataSize) : 0;
            node->SetDataSize(size);
            node->Decimals = f.Decimals;
            if (size) std::memcpy(node->Value, flag + 1, size);
        } else {
            uint32_t length;
            const uint8_t* bytes;
            std::memcpy(&length, flag + 1, sizeof length);
            std::memcpy(&bytes, flag + 1 + sizeof length, sizeof bytes);
            if (!bytes) length = 0;
            node->SetDataSize(length);
            node->Decimals = 0;
            if (length) std::memcpy(node->Value, bytes, length);
        }
    }
}

void TQueryStatement::Execute(TDataCursor*& result) {
    result = nullptr;
    for (int32_t i = QueryCount() - 1; i >= 1; --i) {
        TDataCursor* ignored = nullptr;
        FQueries[i]->Execute(ignored);
    }
    if (FMainQuery) FMainQuery->Execute(result);
}

double TQueryStatement::GetExecutionTime() const {
    return FMainQuery ? FMainQuery->ExecutionTime : 0;
}

int32_t TQueryStatement::GetRowsAffected() const {
    return FMainQuery ? FMainQuery->RowsAffected : 0;
}

void TQueryStatement::AddQuery(std::unique_ptr<TDataQuery> query) {
    FQueries.push_back(std::move(query));
}

TSubQuery* TQueryStatement::CreateSubQuery() {
    auto query = std::make_unique<TDataQuery>(this);
    query->RequestLive = true;
    TDataQuery* q = query.get();
    AddQuery(std::move(query));
    return q;
}

void TQueryStatement::AddParameter(TExpToken* node) {
    FParams.push_back(node);
}
