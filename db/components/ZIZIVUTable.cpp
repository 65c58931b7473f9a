// The table component.
#include "db/components/EngineCursor.h"
//
#include <cstring>

#include "db/components/ZIZIVUTable.h"
#include "db/engine/DataDirectory.h"
#include "db/storage/Encodings.h"
#include "platform/framework/Filer.h"
#include "platform/rtl/ScopeGuard.h"

// ---- master link ----

void TZIZIVUMasterDataLink::SetFieldNames(const std::string& v) {
    if (v == FFieldNames) return;
    FFieldNames = v;
    ActiveChanged();
}

void TZIZIVUMasterDataLink::ActiveChanged() {
    FFields.clear();
    if (Active()) {
        try {
            FFields = DataSet()->GetFieldList(FFieldNames);
        } catch (...) {
            FFields.clear();
            if (!FTable->HasState(csDesigning)) throw;
        }
    }
    if (!FTable->Active() || FTable->HasState(csDestroying)) return;
    if (Active() && !FFields.empty())
        FTable->MasterChanged();
    else
        FTable->MasterDisabled();
}

void TZIZIVUMasterDataLink::CheckBrowseMode() {
    if (FTable->Active()) FTable->CheckBrowseMode();
}

void TZIZIVUMasterDataLink::LayoutChanged() {
    ActiveChanged();
}

void TZIZIVUMasterDataLink::RecordChanged(TField* Field) {
    if (!DataSource() || DataSource()->State() == dsSetKey || !FTable->Active() || FFields.empty()) return;
    if (Field && std::find(FFields.begin(), FFields.end(), Field) == FFields.end()) return;
    FTable->MasterChanged();
}

// ---- table ----

TZIZIVUTable::TZIZIVUTable(TComponent* AOwner)
    : TZIZIVUDBDataSet(AOwner),
      FIndexDefs(std::make_unique<TIndexDefs>(this)),
      FMasterLink(std::make_unique<TZIZIVUMasterDataLink>(this)),
      FRestructureFieldDefs(std::make_unique<TRestructureFieldDefs>(this)),
      FRestructureIndexDefs(std::make_unique<TRestructureIndexDefs>(this)) {}

TZIZIVUTable::~TZIZIVUTable() {
    Destroying();
    try {
        SetActive(false);
    } catch (...) {
    }
    FMasterLink->SetDataSource(nullptr);
}

void TZIZIVUTable::SetExclusive(bool v) {
    CheckInactive();
    FExclusive = v;
}

void TZIZIVUTable::SetReadOnly(bool v) {
    CheckInactive();
    FReadOnly = v;
}

void TZIZIVUTable::SetInMemory(bool v) {
    CheckInactive();
    FInMemory = v;
    if (v) SetDatabaseName("Memory");
}

void TZIZIVUTable::SetTableName(const std::string& v) {
    CheckInactive();
    size_t cut = v.find_last_of(":\\/");
    if (cut == std::string::npos) {
        FTableName = v;
        return;
    }
    if (!FInMemory) SetDatabaseName(v.substr(0, cut == 0 || v[cut] == ':' ? cut + 1 : cut));
    FTableName = v.substr(cut + 1);
}

// ---- the cursor ----

void TZIZIVUTable::OpenCursor(bool InfoQuery) {
    if (FTableName.empty()) DatabaseError(ComponentMessage(SNoTableName), this);
    TZIZIVUDBDataSet::OpenCursor(InfoQuery);
}

TDataCursor* TZIZIVUTable::CreateHandle() {
    if (FTableName.empty()) DatabaseError(ComponentMessage(SNoTableName), this);
    CheckInMemoryTable();
    return OpenTableCursor(ResolveIndexName());
}

TDataCursor* TZIZIVUTable::OpenTableCursor(const std::string& IndexName) {
    TZIZIVUDatabase* db = Database();
    if (!db || !db->Handle()) DatabaseError(ComponentMessage(SDatabaseNameMissing), this);
    TZIZIVUDataSetLock lock(db->Session());
    auto cursor = std::make_unique<TDataCursor>(db->Handle());
    TScopeGuard close([&cursor] { cursor->Close(); });
    cursor->SetTableName(FTableName.substr(0, 255));
    cursor->SetExclusive(FExclusive);
    cursor->SetReadOnly(FReadOnly);
    cursor->SetInMemory(FInMemory);
    TZIZIVUSession* session = db->Session();
    cursor->SetPasswordCallback([session] { return session->DoPassword(); });
    cursor->Open();
    // A table whose files are read-only opens read-only.
    FReadOnly = cursor->ReadOnly();
    cursor->SwitchToIndex(IndexName);
    close.Dismiss();
    return cursor.release();
}

void TZIZIVUTable::DestroyHandle() {
    TZIZIVUDBDataSet::DestroyHandle();
    if (HasState(csDesigning) && FInMemory) DropInMemoryTable();
}

void TZIZIVUTable::InternalOpen() {
    TZIZIVUDBDataSet::InternalOpen();
    if (MasterActive()) {
        SetMasterRange();
        FCursor->First();
    }
}

std::string TZIZIVUTable::ResolveIndexName() {
    if (!FFieldsIndex || FIndexName.empty()) return FIndexName;
    UpdateIndexDefs();
    return FIndexDefs->FindIndexForFields(FIndexName)->Name();
}

void TZIZIVUTable::SetIndexName(const std::string& v) {
    SetIndex(v, false);
}

void TZIZIVUTable::SetIndexFieldNames(const std::string& v) {
    SetIndex(v, !v.empty());
}

void TZIZIVUTable::SetIndex(const std::string& Value, bool FieldsIndex) {
    if (!Active()) {
        FIndexName = Value;
        FFieldsIndex = FieldsIndex;
        return;
    }
    CheckBrowseMode();
    if (Value == FIndexName && FieldsIndex == FFieldsIndex) return;
    std::string oldName = FIndexName;
    bool oldFields = FFieldsIndex;
    FIndexName = Value;
    FFieldsIndex = FieldsIndex;
    TScopeGuard undo([&] {
        FIndexName = oldName;
        FFieldsIndex = oldFields;
    });
    std::string name = ResolveIndexName();
    undo.Dismiss();
    UpdateCursorPos();
    SwitchToIndex(name);
    DestroyLookupCursor();
    CheckMasterRange();
    Resync(0);
}

// ---- definitions ----

std::unique_ptr<TDataCursor> TZIZIVUTable::OpenTempCursor() {
    if (FTableName.empty()) DatabaseError(ComponentMessage(SNoTableName), this);
    SetDBFlag(dbfTable, true);
    TScopeGuard release([this] { SetDBFlag(dbfTable, false); });
    TZIZIVUDataSetLock lock(Database()->Session());
    auto cursor = std::make_unique<TDataCursor>(Database()->Handle());
    cursor->SetTableName(FTableName.substr(0, 255));
    cursor->SetReadOnly(true);
    cursor->SetInMemory(FInMemory);
    TZIZIVUSession* session = Database()->Session();
    cursor->SetPasswordCallback([session] { return session->DoPassword(); });
    cursor->Open();
    release.Dismiss();
    return cursor;
}

// A cursor that fails to close is freed after the database is let go of.
void TZIZIVUTable::CloseTempCursor(std::unique_ptr<TDataCursor> Cursor) {
    TScopeGuard release([this] { SetDBFlag(dbfTable, false); });
    {
        TZIZIVUDataSetLock lock(Database()->Session());
        Cursor->Close();
    }
    Cursor.reset();
}

void TZIZIVUTable::InitFieldDefs() {
    if (FCursor) {
        InternalInitFieldDefs();
        return;
    }
    std::unique_ptr<TDataCursor> c = OpenTempCursor();
    TScopeGuard close([this, &c] { CloseTempCursor(std::move(c)); });
    InitFieldDefsFrom(c.get());
}

std::string TZIZIVUTable::GetIndexFieldList(TDataCursor* Cursor, const TIndexDescriptor& d) {
    std::string out;
    for (int i = 0; i < d.FieldCount && i < MaxIndexFields; ++i) {
        int n = d.FieldNumbers[i];
        if (n < 1 || n > Cursor->GetFieldCount()) continue;
        if (!out.empty()) out += ';';
        out += Cursor->GetFieldDefinition(n).Name;
    }
    return out;
}

void TZIZIVUTable::UpdateIndexDefs() {
    std::unique_ptr<TDataCursor> temp;
    if (!FCursor) temp = OpenTempCursor();
    TDataCursor* c = FCursor ? FCursor : temp.get();
    TScopeGuard close([this, &temp] {
        if (temp) CloseTempCursor(std::move(temp));
    });
    TZIZIVUDataSetLock lock(Database() ? Database()->Session() : nullptr);
    FIndexDefs->Clear();
    const int count = c->GetIndexCount();
    for (int i = c->GetNoPrimaryIndex() ? 1 : 0; i <= count; ++i) {
        TIndexDescriptor d = c->GetIndexDefinition(i);
        if (d.KeyLength == 0) continue;
        TIndexOptions o = 0;
        if (i == 0) o |= ixPrimary;
        if (d.Descending) o |= ixDescending;
        if (d.CaseInsensitive) o |= ixCaseInsensitive;
        if (d.Unique) o |= ixUnique;
        FIndexDefs->Add(i == 0 ? std::string() : d.Name, GetIndexFieldList(c, d), o);
    }
    FIndexDefs->SetUpdated(true);
}

bool TZIZIVUTable::TableExists() {
    if (FTableName.empty()) DatabaseError(ComponentMessage(SNoTableName), this);
    SetDBFlag(dbfTable, true);
    TScopeGuard release([this] { SetDBFlag(dbfTable, false); });
    TZIZIVUDataSetLock lock(Database()->Session());
    std::string name = Trim(FTableName);
    if (!(name.size() >= 4 && SameText(name.substr(name.size() - 4), ".DAT"))) name += ".DAT";
    return Database()->Handle()->TableExists(name, FInMemory);
}

void TZIZIVUTable::FieldDefToDescriptor(TFieldDef* Def, TFieldDescriptor& d) {
    d = TFieldDescriptor{};
    d.Name = Def->Name().substr(0, 30);
    FieldTypeToEngine(Def->DataType(), d.DataType, d.SubType);
    if (d.DataType == dtString || d.DataType == dtBytes || d.DataType == dtVarBytes)
        d.Size = uint8_t(std::min(Def->Size(), 255));
    else if (d.DataType == dtBCD)
        d.Decimals = uint8_t(std::min(Def->Size(), 255));
}

void TZIZIVUTable::ParseIndexFields(TIndexDef* Def, TIndexDescriptor& d) {
    d = TIndexDescriptor{};
    d.Name = Def->Name().substr(0, 30);
    if (Def->Options() & ixDescending) {
        d.Descending = 1;
        for (uint8_t& o : d.FieldOptions) o = 1;
    }
    d.CaseInsensitive = (Def->Options() & ixCaseInsensitive) ? 1 : 0;
    d.Unique = (Def->Options() & ixUnique) ? 1 : 0;
    int n = 0;
    for (const std::string& name : SplitFieldNames(Def->Fields())) {
        if (n >= MaxIndexFields) break;
        FieldDefs()->Find(name);  // "Field '%s' not found" for a name no definition has
        d.FieldNumbers[n++] = uint16_t(FieldDefs()->IndexOf(name) + 1);
    }
    d.FieldCount = uint8_t(n);
}

void TZIZIVUTable::CreateTable() {
    CheckInactive();
    if (FTableName.empty()) DatabaseError(ComponentMessage(SNoTableName), this);
    // A definition that no field could be opened with (its class refuses the size) is
    // refused before the table is written over the one of that name.
    for (int i = 0; i < FieldDefs()->Count(); ++i) {
        const TFieldDef* def = FieldDefs()->Items(i);
        if (TFieldFactory make = GetFieldClass(def->DataType())) {
            std::unique_ptr<TField> probe(make(nullptr));
            probe->SetSize(def->Size());
        }
    }
    std::vector<TFieldDescriptor> fields(size_t(FieldDefs()->Count()));
    for (int i = 0; i < FieldDefs()->Count(); ++i) {
        TFieldDef* def = FieldDefs()->Items(i);
        FieldDefToDescriptor(def, fields[size_t(i)]);
        fields[size_t(i)].FieldNo = uint16_t(i + 1);
        fields[size_t(i)].Required = def->Required() ? 1 : 0;
    }
    // The primary index first: the first definition when it is primary, else none.
    std::vector<TIndexDescriptor> indexes(1);
    for (int i = 0; i < FIndexDefs->Count(); ++i) {
        TIndexDef* def = FIndexDefs->Items(i);
        if (i == 0 && (def->Options() & ixPrimary)) {
            ParseIndexFields(def, indexes[0]);
            indexes[0].Name.clear();
            continue;
        }
        TIndexDescriptor d;
        ParseIndexFields(def, d);
        indexes.push_back(d);
    }
    SetDBFlag(dbfTable, true);
    TScopeGuard release([this] { SetDBFlag(dbfTable, false); });
    TZIZIVUDataSetLock lock(Database()->Session());
    TDataCursor cursor(Database()->Handle());
    cursor.SetTableName(FTableName.substr(0, 255));
    cursor.SetExclusive(true);
    cursor.SetReadOnly(false);
    cursor.SetInMemory(FInMemory);
    TCreateTableOptions options;
    options.Overwrite = true;
    options.BlobBlockSize = 512;
    cursor.CreateTable(std::move(fields), std::move(indexes), options);
}

void TZIZIVUTable::CheckInMemoryTable() {
    if (!FInMemory || !HasState(csDesigning) || TableExists()) return;
    if (FieldDefs()->Count() == 0)
        DatabaseError(
            "You must define at least one field before you can open an in-memory table at design-time", this);
    CreateTable();
}

void TZIZIVUTable::DropInMemoryTable() {
    SetDBFlag(dbfTable, true);
    TScopeGuard release([this] { SetDBFlag(dbfTable, false); });
    TZIZIVUDataSetLock lock(Database()->Session());
    TDataCursor cursor(Database()->Handle());
    cursor.SetTableName(FTableName.substr(0, 255));
    cursor.SetInMemory(true);
    if (Database()->Handle()->TableExists(cursor.TableName(), true)) cursor.DeleteTable();
}

// ---- stored form ----
// FieldDefs: a list holding per definition a list of its name, type name, size, required
// flag and precision. IndexDefs: per definition a list of its name, fields and options
// (the option bits as a number). A list is read whole before it replaces the old one.

namespace {

[[noreturn]] void BadStoredValue() {
    throw EReadError("Invalid property value");
}

int ReadCount(TReader* Reader) {
    int32_t v = 0;
    if (!TryStrToInt(Reader->ReadString(), v) || v < 0) BadStoredValue();
    return v;
}

TFieldType ReadFieldType(TReader* Reader) {
    const std::string name = Reader->ReadString();
    for (int t = 0; t < FieldTypeCount; ++t)
        if (name == FieldTypeName(TFieldType(t))) return TFieldType(t);
    BadStoredValue();
}

bool ReadFlag(TReader* Reader) {
    const std::string v = Reader->ReadString();
    if (v != "True" && v != "False") BadStoredValue();
    return v == "True";
}

}  // namespace

void TZIZIVUTable::DefineProperties(TFiler* Filer) {
    TZIZIVUDBDataSet::DefineProperties(Filer);
    Filer->DefineProperty(
        "FieldDefs", [this](TReader* r) { ReadFieldDefs(r); }, [this](TWriter* w) { WriteFieldDefs(w); },
        FStoreDefs && FieldDefs()->Count() > 0);
    Filer->DefineProperty(
        "IndexDefs", [this](TReader* r) { ReadIndexDefs(r); }, [this](TWriter* w) { WriteIndexDefs(w); },
        FStoreDefs && FIndexDefs->Count() > 0);
}

void TZIZIVUTable::WriteFieldDefs(TWriter* Writer) {
    Writer->WriteListBegin();
    for (int i = 0; i < FieldDefs()->Count(); ++i) {
        TFieldDef* d = FieldDefs()->Items(i);
        Writer->WriteListBegin();
        Writer->WriteString(d->Name());
        Writer->WriteString(FieldTypeName(d->DataType()));
        Writer->WriteString(IntToStr(d->Size()));
        Writer->WriteString(d->Required() ? "True" : "False");
        Writer->WriteString(IntToStr(d->Precision()));
        Writer->WriteListEnd();
    }
    Writer->WriteListEnd();
}

void TZIZIVUTable::ReadFieldDefs(TReader* Reader) {
    TFieldDefs defs(this);
    Reader->ReadListBegin();
    while (!Reader->EndOfList()) {
        Reader->ReadListBegin();
        const std::string name = Reader->ReadString();
        const TFieldType type = ReadFieldType(Reader);
        const int size = ReadCount(Reader);
        const bool required = ReadFlag(Reader);
        const int precision = ReadCount(Reader);
        defs.Add(name, type, size, required)->SetPrecision(precision);
        Reader->ReadListEnd();
    }
    Reader->ReadListEnd();
    FieldDefs()->Assign(&defs);
    // Stored definitions were stored with StoreDefs set: they are kept for the next write.
    FStoreDefs = true;
}

void TZIZIVUTable::WriteIndexDefs(TWriter* Writer) {
    Writer->WriteListBegin();
    for (int i = 0; i < FIndexDefs->Count(); ++i) {
        TIndexDef* d = FIndexDefs->Items(i);
        Writer->WriteListBegin();
        Writer->WriteString(d->Name());
        Writer->WriteString(d->Fields());
        Writer->WriteString(IntToStr(d->Options()));
        Writer->WriteListEnd();
    }
    Writer->WriteListEnd();
}

void TZIZIVUTable::ReadIndexDefs(TReader* Reader) {
    constexpr int AllOptions = ixPrimary | ixUnique | ixDescending | ixCaseInsensitive | ixExpression;
    TIndexDefs defs(this);
    Reader->ReadListBegin();
    while (!Reader->EndOfList()) {
        Reader->ReadListBegin();
        const std::string name = Reader->ReadString();
        const std::string fields = Reader->ReadString();
        const int options = ReadCount(Reader);
        if (options & ~AllOptions) BadStoredValue();
        defs.Add(name, fields, TIndexOptions(options));
        Reader->ReadListEnd();
    }
    Reader->ReadListEnd();
    FIndexDefs->Assign(&defs);
    FStoreDefs = true;
}

// ---- master-detail ----

void TZIZIVUTable::SetMasterSource(TDataSource* v) {
    // A master whose own masters lead back here would follow itself.
    int guard = 0;
    for (TDataSet* d = v ? v->DataSet() : nullptr; d && guard++ < 1000;) {
        if (d == this) DatabaseError(SCircularDataLink, this);
        TDataSource* s = d->GetDataSource();
        d = s ? s->DataSet() : nullptr;
    }
    FMasterLink->SetDataSource(v);
}

void TZIZIVUTable::SetMasterFields(const std::string& v) {
    FMasterLink->SetFieldNames(v);
}

bool TZIZIVUTable::MasterActive() const {
    return FMasterLink->Active() && !FMasterLink->Fields().empty();
}

void TZIZIVUTable::SetMasterRange() {
    std::vector<TVariant> values;
    for (TField* f : FMasterLink->Fields()) values.push_back(f->Value());
    SetKeyFields(values);
    SetCursorRange();
}

void TZIZIVUTable::CheckMasterRange() {
    if (!MasterActive()) return;
    SetMasterRange();
}

void TZIZIVUTable::MasterChanged() {
    CheckBrowseMode();
    SetMasterRange();
    First();
}

void TZIZIVUTable::MasterDisabled() {
    CancelRange();
}

void TZIZIVUTable::DoOnNewRecord() {
    if (MasterActive()) {
        const std::vector<TField*>& master = FMasterLink->Fields();
        for (size_t i = 0; i < master.size() && int(i) < IndexFieldCount(); ++i)
            IndexField(int(i))->SetValue(master[i]->Value());
    }
    TZIZIVUDBDataSet::DoOnNewRecord();
}

// ---- lookup cursor ----

void TZIZIVUTable::DestroyLookupCursor() {
    if (!FLookupCursor) return;
    std::unique_ptr<TDataCursor> c = std::move(FLookupCursor);
    FLookupKeyFields.clear();
    TZIZIVUDataSetLock lock(CursorSession());
    c->Close();
}
