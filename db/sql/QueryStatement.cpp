#include "db/sql/QueryStatement.h"

#include <cstring>

#include "db/engine/DataCursor.h"
#include "db/engine/DataDirectory.h"
#include "db/engine/DataSession.h"
#include "db/sql/SqlEngineLink.h"
#include "db/sql/SqlQuerySupport.h"
#include "db/storage/EngineErrors.h"
#include "db/storage/FileLayer.h"
#include "db/storage/LibraryMemory.h"
#include "platform/rtl/ScopeGuard.h"
#include "platform/rtl/SysUtils.h"
#include "platform/rtl/Tick.h"

namespace {

const char* const StatementContext = "SQL statement";

}  // namespace

// ---- TDataQuery ------------------------------------------------------------------------

TDataQuery::TDataQuery(TQueryStatement* owner) : FOwner(owner) {
    Reset();
}

TDataQuery::~TDataQuery() {
    CloseResultCursor();
}

void TDataQuery::Reset() {
    CloseResultCursor();
    FRun.Executed = false;
    FRun.RowsAffected = 0;
    FRun.ExecutionTime = 0;
    FRun.ReadLockedTables.clear();
    // The plan points into the clauses: it goes first.
    FPlan = TQueryPlan();
    ClearOrderByFields();
    ClearGroupByFields();
    ClearSourceTables();
    ClearResultFields();
    ClearUpdateFields();
    ClearUpdateValues();
    ClearCreateFields();
    ClearCreateIndexes();
    FClauses = TQueryClauses();
}

TExpressionParser& TDataQuery::Parser() {
    return FOwner->Parser();
}

void TDataQuery::Prepare() {
    // The plan takes the WHERE tree over: planning cuts it into joins, filters and the
    // conditions the row loop tests. A query prepared again goes on from what is left.
    if (FClauses.Where) FPlan.Where = std::move(FClauses.Where);
    FPlan.LanguageID = Clauses().Options.LanguageID;
    FPlan.SortID = Clauses().Options.SortID;
    switch (Clauses().Kind) {
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
    switch (Clauses().Kind) {
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
    FRun.ExecutionTime = end > start ? (end - start) / 1000.0 : 0;
}

void TDataQuery::DoProgress(int32_t currentRecord, uint16_t percentDone, bool& abort) {
    if (OnProgress) OnProgress(this, currentRecord, percentDone, abort);
}

void TDataQuery::CloseResultCursor() {
    DropSubQueryFilter();
    FRun.ResultCursor.Release();
    FRun.ResultDirectory.Close();
}

void TDataQuery::ParseSubSelect(TExpressionParser& parser) {
    // Each level of sub-select nesting costs stack in the parsers: refused beyond a bound.
    TQueryStatement::TNesting nesting(*FOwner);
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
    // A live sub-select's result is its table's cursor, whose filter may read the next
    // sub-select: every filter goes, outer first, while all the sub-selects it reads are
    // still there (a drop refreshes a view another change made stale).
    for (auto& query : FQueries) query->CloseResultCursor();
    while (!FQueries.empty()) FQueries.pop_back();
    FMainQuery = nullptr;
}

void TQueryStatement::SetRequestLive(bool value) {
    if (FMainQuery) FMainQuery->SetRequestLive(value);
}

void TQueryStatement::SetMaxRowCount(int32_t value) {
    if (FMainQuery) FMainQuery->SetMaxRowCount(value);
}

void TQueryStatement::SetPasswordEvent(const TQueryPasswordEvent& event) {
    if (FMainQuery) FMainQuery->SetPasswordEvent(event);
}

void TQueryStatement::SetProgressEvent(const TQueryProgressEvent& event) {
    if (FMainQuery) FMainQuery->SetProgressEvent(event);
}

int32_t TQueryStatement::Parse(const std::string& text) {
    FPrepared = false;
    FParser->SetErrorCode(ZIZIVU_SQLERROR);
    FParser->SetContext(StatementContext);
    FParser->SetText(text);
    FParams.clear();
    // Sub-selects of an earlier text go; an executed query keeps what it ran.
    if (!FMainQuery->Executed())
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
    const TStatementKind kind = FMainQuery->Clauses().Kind;
    if (kind == skInsert || kind == skUpdate || kind == skDelete)
        for (int32_t i = 1; i < QueryCount(); ++i) FQueries[i]->SetRequestLive(false);
    for (int32_t i = QueryCount() - 1; i >= 0; --i) FQueries[i]->Prepare();
    FPrepared = true;
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
            // Its bytes and a terminator, as every BLOB value of an expression has.
            node->SetDataSize(length + 1);
            node->Decimals = 0;
            if (length) std::memcpy(node->Value, bytes, length);
            node->Value[length] = 0;
        }
    }
}

void TQueryStatement::Execute(TDataCursor*& result) {
    result = nullptr;
    // A text that failed to prepare left a plan half made (and an INSERT its values).
    if (!FPrepared) RaiseSqlError("Statement must be prepared before it is executed");
    for (int32_t i = QueryCount() - 1; i >= 1; --i) {
        TDataCursor* ignored = nullptr;
        FQueries[i]->Execute(ignored);
    }
    if (FMainQuery) FMainQuery->Execute(result);
}

double TQueryStatement::GetExecutionTime() const {
    return FMainQuery ? FMainQuery->ExecutionTime() : 0;
}

int32_t TQueryStatement::GetRowsAffected() const {
    return FMainQuery ? FMainQuery->RowsAffected() : 0;
}

void TQueryStatement::AddQuery(std::unique_ptr<TDataQuery> query) {
    FQueries.push_back(std::move(query));
}

TSubQuery* TQueryStatement::CreateSubQuery() {
    auto query = std::make_unique<TDataQuery>(this);
    query->SetRequestLive(true);
    TDataQuery* q = query.get();
    AddQuery(std::move(query));
    return q;
}

void TQueryStatement::AddParameter(TExpToken* node) {
    FParams.push_back(node);
}
