// The query component.
#include "db/components/ZIZIVUQuery.h"
//
#include <cstring>

#include "db/storage/Encodings.h"
#include "platform/rtl/ScopeGuard.h"

namespace {

bool IsNameDelimiter(char c) {
    return c == ' ' || c == ',' || c == ';' || c == ')' || c == '\r' || c == '\n';
}

bool IsQuote(char c) {
    return c == '\'' || c == '"';
}

// A quoted marker name loses its enclosing single quotes, then its enclosing double quotes.
std::string StripQuotes(std::string name) {
    for (char q : {'\'', '"'}) {
        if (!name.empty() && name.front() == q) name.erase(0, 1);
        if (!name.empty() && name.back() == q) name.pop_back();
    }
    return name;
}

}  // namespace

// ---- data link ----

void TZIZIVUQueryDataLink::ActiveChanged() {
    if (FQuery->Active()) FQuery->RefreshParams();
}

void TZIZIVUQueryDataLink::CheckBrowseMode() {
    if (FQuery->Active()) FQuery->CheckBrowseMode();
}

void TZIZIVUQueryDataLink::RecordChanged(TField* Field) {
    // A move to another record, not an edit of one of its fields.
    if (!Field && FQuery->Active()) FQuery->RefreshParams();
}

// ---- query ----

TZIZIVUQuery::TZIZIVUQuery(TComponent* AOwner)
    : TZIZIVUDBDataSet(AOwner),
      FParams(std::make_unique<TZIZIVUParams>(this)),
      FDataLink(std::make_unique<TZIZIVUQueryDataLink>(this)) {
    FSQL.OnChange = [this](TObject*) { QueryChanged(); };
}

TZIZIVUQuery::~TZIZIVUQuery() {
    Destroying();
    try {
        SetActive(false);
    } catch (...) {
    }
    try {
        FreeStatement();
        SetDBFlag(dbfPrepared, false);
    } catch (...) {
    }
    FDataLink->SetDataSource(nullptr);
    FSQL.OnChange = nullptr;
}

std::string TZIZIVUQuery::CreateParams(TZIZIVUParams* List, const std::string& Text) {
    std::string s = Text;
    bool literal = false;
    size_t i = 0;
    while (i < s.size()) {
        const char c = s[i];
        if (c == ':' && !literal && i + 1 < s.size() && s[i + 1] == ':') {
            // "::" stands for one colon.
            s.erase(i, 1);
            ++i;
            continue;
        }
        if (c == ':' && !literal) {
            // The name runs up to a delimiter outside quotes; quotes inside it count for the
            // literal state as anywhere else.
            size_t end = i + 1;
            const bool quoted = end < s.size() && IsQuote(s[end]);
            while (end < s.size() && (literal || !IsNameDelimiter(s[end]))) {
                if (IsQuote(s[end])) literal = !literal;
                ++end;
            }
            std::string name = s.substr(i + 1, end - i - 1);
            if (quoted) name = StripQuotes(name);
            if (List) List->CreateParam(ftUnknown, name, ptUnknown);
            s[i] = '?';
            s.erase(i + 1, end - i - 1);
            ++i;
            continue;
        }
        if (IsQuote(c)) literal = !literal;
        ++i;
    }
    return s;
}

void TZIZIVUQuery::SetSQL(const TStrings& Value) {
    if (FSQL.Text() == Value.Text()) return;
    Disconnect();
    FSQL.Assign(const_cast<TStrings*>(&Value));
}

void TZIZIVUQuery::QueryChanged() {
    const std::string text = FSQL.Text();
    if (HasState(csLoading)) {
        FText = CreateParams(nullptr, text);
        return;
    }
    Disconnect();
    FStoredData.clear();
    FHasStoredData = false;
    if (FParamCheck || HasState(csDesigning)) {
        TZIZIVUParams list(this);
        FText = CreateParams(&list, text);
        list.AssignValues(FParams.get());
        FParams->Assign(&list);
    } else {
        FText = CreateParams(nullptr, text);
    }
}

void TZIZIVUQuery::Disconnect() {
    Close();
    SetPrepared(false);
}

void TZIZIVUQuery::SetMaxRowCount(int32_t v) {
    FMaxRowCount = v;
    if (FStatement) FStatement->SetMaxRowCount(v);
}

void TZIZIVUQuery::SetDataSource(TDataSource* v) {
    int guard = 0;
    for (TDataSet* d = v ? v->DataSet() : nullptr; d && guard++ < 1000;) {
        if (d == this) DatabaseError(SCircularDataLink, this);
        TDataSource* s = d->GetDataSource();
        d = s ? s->DataSet() : nullptr;
    }
    FDataLink->SetDataSource(v);
}

// ---- statement ----

void TZIZIVUQuery::SetPrepared(bool v) {
    if (FCursor) DatabaseError(SDataSetOpen, this);
    FOpenPrepared = false;
    if (v == Prepared()) return;
    if (v) {
        if (FText.size() < 2) DatabaseError(ComponentMessage(SNoSQLStatement), this);
        SetDBFlag(dbfPrepared, true);
        TScopeGuard release([this] { SetDBFlag(dbfPrepared, false); });
        PrepareStatement();
        release.Dismiss();
    } else {
        DropPreparedStatement();
    }
}

// Frees the statement; the dataset counts as unprepared even when freeing fails.
void TZIZIVUQuery::DropPreparedStatement() {
    TScopeGuard release([this] { SetDBFlag(dbfPrepared, false); });
    FreeStatement();
}

void TZIZIVUQuery::PrepareStatement() {
    TZIZIVUDatabase* db = Database();
    if (!db || !db->Handle()) DatabaseError(ComponentMessage(SDatabaseNameMissing), this);
    TZIZIVUSession* session = db->Session();
    TZIZIVUDataSetLock lock(session);
    // Freed before the error goes on when the text fails.
    auto statement = std::make_unique<TQueryStatement>(db->Handle());
    statement->SetRequestLive(FRequestLive);
    statement->SetMaxRowCount(FMaxRowCount);
    statement->SetPasswordEvent([session] { return session->DoPassword(); });
    int32_t position = 0;
    statement->Prepare(FText, position);
    FStatement = std::move(statement);
    FExecuted = false;
}

void TZIZIVUQuery::FreeStatement() {
    if (!FStatement) return;
    TZIZIVUDataSetLock lock(CursorSession());
    std::unique_ptr<TQueryStatement> statement = std::move(FStatement);
    FExecuted = false;
    statement.reset();
}

void TZIZIVUQuery::FreshStatement() {
    if (!FStatement || !FExecuted) return;
    FreeStatement();
    PrepareStatement();
}

TDataCursor* TZIZIVUQuery::CreateHandle() {
    if (Trim(FSQL.Text()).empty()) DatabaseError(ComponentMessage(SNoSQLStatement), this);
    const bool implicit = !Prepared();
    if (implicit)
        SetPrepared(true);
    else
        FreshStatement();
    FOpenPrepared = implicit;
    TScopeGuard release([this] { ReleaseOpenPrepare(); });
    if (DataSource()) SetParamsFromCursor();
    TDataCursor* cursor = OpenResult();
    // A statement without a result: the open fails, and nothing keeps the statement.
    if (cursor) release.Dismiss();
    return cursor;
}

void TZIZIVUQuery::ReleaseOpenPrepare() {
    if (!FOpenPrepared) return;
    FOpenPrepared = false;
    DropPreparedStatement();
}

void TZIZIVUQuery::DestroyHandle() {
    // The result cursor belongs to the statement, which closes it when it goes.
    DestroyLookupCursor();
    FCursor = nullptr;
    ReleaseOpenPrepare();
}

TDataCursor* TZIZIVUQuery::OpenResult() {
    TZIZIVUDataSetLock lock(CursorSession());
    if (FParams->GetCount() > 0) ExecuteStatement();
    FStatement->SetProgressEvent(
        [this](TObject* Sender, int32_t CurrentRecord, uint16_t PercentDone, bool& AbortQuery) {
            DoQueryProgress(Sender, CurrentRecord, PercentDone, AbortQuery);
        });
    TDataCursor* cursor = nullptr;
    FExecuted = true;
    FStatement->Execute(cursor);
    FRowsAffected = FStatement->GetRowsAffected();
    FExecutionTime = FStatement->GetExecutionTime();
    return cursor;
}

void TZIZIVUQuery::ExecSQL() {
    CheckInactive();
    if (Trim(FSQL.Text()).empty()) DatabaseError(ComponentMessage(SNoSQLStatement), this);
    const bool implicit = !Prepared();
    if (implicit)
        SetPrepared(true);
    else
        FreshStatement();
    TScopeGuard unprepare([this, implicit] {
        if (implicit) SetPrepared(false);
    });
    if (DataSource()) SetParamsFromCursor();
    // A SELECT's result stays with the statement.
    OpenResult();
}

void TZIZIVUQuery::ExecuteStatement() {
    const int count = FParams->GetCount();
    // Per parameter a flag byte and the native form; a BLOB kind holds its length and the
    // address of its bytes instead.
    constexpr int32_t blobSlot = int32_t(sizeof(uint32_t) + sizeof(const uint8_t*));
    std::vector<TQueryStatement::TParamValue> values(static_cast<size_t>(count));
    std::vector<std::string> blobs(static_cast<size_t>(count));
    int32_t offset = 0;
    for (int i = 0; i < count; ++i) {
        TZIZIVUParam* p = FParams->Items(i);
        TQueryStatement::TParamValue& v = values[size_t(i)];
        FieldTypeToEngine(p->DataType(), v.DataType, v.SubType);
        if (v.DataType == 0) DatabaseError(Format(ComponentMessage(SNoParameterValue), p->Name()), this);
        v.Offset = offset;
        if (v.DataType == dtBlob) {
            blobs[size_t(i)] = p->AsString();
            v.DataSize = blobSlot;
        } else {
            v.DataSize = p->GetDataSize();
            if (v.DataType == dtBCD) v.Decimals = 4;
        }
        offset += 1 + v.DataSize;
    }
    std::vector<uint8_t> record(size_t(offset) + 1, 0);
    for (int i = 0; i < count; ++i) {
        TZIZIVUParam* p = FParams->Items(i);
        const TQueryStatement::TParamValue& v = values[size_t(i)];
        uint8_t* slot = record.data() + v.Offset;
        slot[0] = p->IsNull() ? 0 : 1;
        if (v.DataType == dtBlob) {
            const std::string& bytes = blobs[size_t(i)];
            const uint32_t length = uint32_t(bytes.size());
            const uint8_t* address = reinterpret_cast<const uint8_t*>(bytes.data());
            std::memcpy(slot + 1, &length, sizeof length);
            std::memcpy(slot + 1 + sizeof length, &address, sizeof address);
        } else {
            p->GetData(slot + 1);
        }
    }
    FStatement->SetParams(count, values.data(), record.data());
}

void TZIZIVUQuery::SetParamsFromCursor() {
    TDataSet* ds = DataSource() ? DataSource()->DataSet() : nullptr;
    if (!ds || !ds->Active()) return;
    for (int i = 0; i < FParams->GetCount(); ++i) {
        TZIZIVUParam* p = FParams->RawItems(i);
        if (p->Bound()) continue;
        TField* f = ds->FindField(p->Name());
        if (!f) continue;
        p->AssignField(f);
        // Still unbound, so that the source's next record supplies it again.
        p->SetBound(false);
    }
}

void TZIZIVUQuery::RefreshParams() {
    DisableControls();
    TScopeGuard enable([this] { EnableControls(); });
    TDataSet* ds = DataSource() ? DataSource()->DataSet() : nullptr;
    if (ds && ds->Active() && ds->State() != dsSetKey) {
        Close();
        Open();
    }
}

void TZIZIVUQuery::DoQueryProgress(TObject*, int32_t CurrentRecord, uint16_t PercentDone, bool& AbortQuery) {
    if (OnQueryProgress) OnQueryProgress(this, CurrentRecord, PercentDone, AbortQuery);
}

// ---- stored form ----

void TZIZIVUQuery::DefineProperties(TFiler* Filer) {
    TZIZIVUDBDataSet::DefineProperties(Filer);
    Filer->DefineBinaryProperty(
        "Data", [this](TStream& s) { ReadStoredData(s); }, [this](TStream& s) { WriteStoredData(s); },
        FHasStoredData);
    auto* ancestor = dynamic_cast<TZIZIVUQuery*>(Filer->Ancestor());
    FParams->DefineDataProperty(Filer, "Params.Data", ancestor ? ancestor->Params() : nullptr);
}

void TZIZIVUQuery::ReadStoredData(TStream& Stream) {
    const int64_t n = Stream.Size() - Stream.Position();
    FStoredData.assign(size_t(n > 0 ? n : 0), '\0');
    if (!FStoredData.empty()) Stream.ReadBuffer(FStoredData.data(), int64_t(FStoredData.size()));
    FHasStoredData = true;
}

void TZIZIVUQuery::WriteStoredData(TStream& Stream) {
    const size_t end = std::min(FStoredData.find('\0'), FStoredData.size());
    if (end) Stream.WriteBuffer(FStoredData.data(), int64_t(end));
}
