// The dataset: states, the record-buffer window, navigation, editing, bookmarks, searching
// and the notification of data sources.
#include "platform/framework/DataSet.h"

#include <algorithm>
#include <cstring>

#include "platform/framework/Application.h"
#include "platform/rtl/DateFormat.h"
#include "platform/rtl/ScopeGuard.h"

namespace {

bool InWriteState(TDataSetState s) {
    return s == dsEdit || s == dsInsert || s == dsSetKey || s == dsCalcFields || s == dsFilter ||
           s == dsNewValue;
}

}  // namespace

std::vector<std::string> SplitFieldNames(const std::string& names) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= names.size()) {
        size_t end = names.find(';', start);
        if (end == std::string::npos) end = names.size();
        std::string n = Trim(names.substr(start, end - start));
        if (!n.empty()) out.push_back(n);
        start = end + 1;
    }
    return out;
}

TDataSet::TDataSet(TComponent* AOwner) : TComponent(AOwner), FFieldDefs(std::make_unique<TFieldDefs>(this)) {}

TDataSet::~TDataSet() {
    Destroying();
    // A descendant closes in its own destructor; whatever is left is only detached here.
    while (!FDataSources.empty()) FDataSources.back()->SetDataSet(nullptr);
    while (!FFields.empty()) {
        TField* f = FFields.back();
        FFields.pop_back();
        f->FDataSet = nullptr;
        if (f->Owner() != this) continue;
        delete f;
    }
}

// ---- opening and closing ----

void TDataSet::SetActive(bool v) {
    if (HasState(csLoading)) {
        FStreamedActive = v;
        return;
    }
    if (Active() == v) return;
    if (v) {
        Fire(BeforeOpen, this);
        TScopeGuard complete([this] {
            if (State() != dsOpening) OpenCursorComplete();
        });
        OpenCursor(false);
    } else {
        if (!HasState(csDestroying)) Fire(BeforeClose, this);
        SetState(dsInactive);
        CloseCursor();
        if (!HasState(csDestroying)) Fire(AfterClose, this);
    }
}

void TDataSet::Loaded() {
    TComponent::Loaded();
    if (!FStreamedActive) return;
    try {
        SetActive(true);
    } catch (...) {
        if (!HasState(csDesigning)) throw;
        InternalHandleException();
    }
}

void TDataSet::OpenCursor(bool InfoQuery) {
    if (InfoQuery)
        InternalInitFieldDefs();
    else if (State() != dsOpening)
        DoInternalOpen();
}

void TDataSet::DoInternalOpen() {
    FDefaultFields = FieldCount() == 0;
    InternalOpen();
    // The open is complete once the record buffers are had and filled: an open that fails
    // there (no memory for a buffer, a first record that cannot be read) is closed again,
    // not left browsing a buffer list it does not hold.
    UpdateBufferCount();
    FInternalOpenComplete = true;
    FBOF = true;
}

void TDataSet::OpenCursorComplete() {
    if (FInternalOpenComplete) {
        SetState(dsBrowse);
        Fire(AfterOpen, this);
        if (!IsEmpty()) DoAfterScroll();
    } else {
        SetState(dsInactive);
        CloseCursor();
    }
}

void TDataSet::CloseCursor() {
    FInternalOpenComplete = false;
    FreeFieldBuffers();
    ClearBuffers();
    SetBufListSize(0);
    if (IsCursorOpen()) InternalClose();
    FBufferCount = 0;
    FDefaultFields = false;
}

void TDataSet::InitFieldDefs() {
    if (IsCursorOpen()) {
        InternalInitFieldDefs();
        return;
    }
    SetState(dsOpening);
    TScopeGuard close([this] {
        CloseCursor();
        SetState(dsInactive);
    });
    OpenCursor(true);
}

void TDataSet::InternalHandleException() {
    Application()->HandleException();
}

void TDataSet::CheckActive() const {
    if (!const_cast<TDataSet*>(this)->Active()) DatabaseError(SDataSetClosed, const_cast<TDataSet*>(this));
}

void TDataSet::CheckInactive() const {
    if (const_cast<TDataSet*>(this)->Active()) DatabaseError(SDataSetOpen, const_cast<TDataSet*>(this));
}

// ---- fields ----

void TDataSet::AddField(TField* f) {
    if (std::find(FFields.begin(), FFields.end(), f) == FFields.end()) FFields.push_back(f);
    f->FDataSet = this;
}

void TDataSet::RemoveField(TField* f) {
    auto it = std::find(FFields.begin(), FFields.end(), f);
    if (it != FFields.end()) FFields.erase(it);
    f->FDataSet = nullptr;
}

TField* TDataSet::FindField(const std::string& Name) const {
    for (TField* f : FFields)
        if (SameText(f->FieldName(), Name)) return f;
    return nullptr;
}

TField* TDataSet::FieldByName(const std::string& Name) const {
    TField* f = FindField(Name);
    if (!f) DatabaseError(Format(SFieldNotFound, Name), const_cast<TDataSet*>(this));
    return f;
}

std::vector<TField*> TDataSet::GetFieldList(const std::string& Names) const {
    std::vector<TField*> out;
    for (const std::string& n : SplitFieldNames(Names)) out.push_back(FieldByName(n));
    return out;
}

void TDataSet::CreateFields() {
    for (int i = 0; i < FFieldDefs->Count(); ++i) {
        TFieldDef* d = FFieldDefs->Items(i);
        if (d->DataType() != ftUnknown) d->CreateField(this);
    }
}

void TDataSet::DestroyFields() {
    while (!FFields.empty()) {
        TField* f = FFields.back();
        FFields.pop_back();
        f->FDataSet = nullptr;
        delete f;
    }
}

void TDataSet::BindFields(bool Binding) {
    FCalcFieldsSize = 0;
    for (TField* f : FFields) {
        if (!Binding) continue;
        if (f->Calculated()) {
            f->SetFieldNo(0);
            f->SetOffset(FCalcFieldsSize);
            FCalcFieldsSize += f->DataSize() + 1;
        } else {
            int i = FFieldDefs->IndexOf(f->FieldName());
            if (i < 0) DatabaseError(Format(SFieldNotFound, f->DisplayName()), this);
            TFieldDef* d = FFieldDefs->Items(i);
            if (d->DataType() != f->DataType() && !(f->IsBlob() && FieldTypeName(d->DataType())))
                DatabaseError(
                    Format("Type mismatch for field '%s', expecting: %s actual: %s", f->DisplayName(),
                           FieldTypeName(f->DataType()), FieldTypeName(d->DataType())),
                    this);
            f->SetFieldNo(d->FieldNo());
        }
    }
}

bool TDataSet::GetFieldData(TField* Field, void* Buffer, bool NativeFormat) {
    if (NativeFormat || !Buffer) return GetFieldData(Field, Buffer);
    std::vector<char> tmp(std::max(Field->DataSize(), 8) + 1);
    bool has = GetFieldData(Field, tmp.data());
    if (has) DataConvert(Field, tmp.data(), Buffer, false);
    return has;
}

void TDataSet::SetFieldData(TField* Field, const void* Buffer, bool NativeFormat) {
    if (NativeFormat || !Buffer) {
        SetFieldData(Field, Buffer);
        return;
    }
    std::vector<char> tmp(std::max(Field->DataSize(), 8) + 1);
    DataConvert(Field, Buffer, tmp.data(), true);
    SetFieldData(Field, tmp.data());
}

void TDataSet::DataConvert(TField* Field, const void* Source, void* Dest, bool ToNative) {
    switch (Field->DataType()) {
        case ftDate:
        case ftTime:
        case ftDateTime: {
            if (ToNative) {
                TDateTime dt;
                std::memcpy(&dt, Source, 8);
                TTimeStamp ts = DateTimeToTimeStamp(dt);
                // A day the record could hold but no reading could give back is refused here.
                if (Field->DataType() != ftTime) TimeStampToDateTime(ts);
                if (Field->DataType() == ftDateTime) {
                    double ms = TimeStampToMSecs(ts);
                    std::memcpy(Dest, &ms, 8);
                } else {
                    int32_t v = Field->DataType() == ftDate ? ts.Date : ts.Time;
                    std::memcpy(Dest, &v, 4);
                }
            } else {
                TTimeStamp ts;
                if (Field->DataType() == ftDateTime) {
                    double ms;
                    std::memcpy(&ms, Source, 8);
                    ts = MSecsToTimeStamp(ms);
                } else if (Field->DataType() == ftDate) {
                    std::memcpy(&ts.Date, Source, 4);
                } else {
                    std::memcpy(&ts.Time, Source, 4);
                    ts.Date = DateDelta;
                }
                TDateTime dt =
                    Field->DataType() == ftTime ? ts.Time / double(MSecsPerDay) : TimeStampToDateTime(ts);
                std::memcpy(Dest, &dt, 8);
            }
            break;
        }
        default:
            std::memcpy(Dest, Source, Field->DataSize());
    }
}

void TDataSet::SetStateFieldValue(TDataSetState State, TField* Field, const TVariant& Value) {
    if (Field->FieldKind() != fkData) return;
    TDataSetState saved = FState;
    FState = State;
    TScopeGuard restore([this, saved] { FState = saved; });
    Field->SetValue(Value);
}

int TDataSet::Translate(const char* Src, char* Dest, bool /*ToOem*/) {
    size_t n = std::strlen(Src);
    if (Dest != Src) std::memmove(Dest, Src, n + 1);
    return static_cast<int>(n);
}

// ---- record buffers ----

TRecordBuffer TDataSet::ActiveBuffer() const {
    if (FActiveRecord < 0 || FActiveRecord >= static_cast<int>(FBuffers.size())) return nullptr;
    return FBuffers[FActiveRecord];
}

void TDataSet::SetBufListSize(int n) {
    int have = static_cast<int>(FBuffers.size());
    if (n > have) {
        FBuffers.reserve(n);
        for (int i = have; i < n; ++i) FBuffers.push_back(AllocRecordBuffer());
    } else {
        while (static_cast<int>(FBuffers.size()) > n) {
            TRecordBuffer b = FBuffers.back();
            FBuffers.pop_back();
            FreeRecordBuffer(b);
        }
    }
}

void TDataSet::UpdateBufferCount() {
    if (!IsCursorOpen()) return;
    int n = 1;
    for (TDataSource* s : FDataSources)
        for (TDataLink* l : s->DataLinks()) n = std::max(n, l->BufferCount());
    SetBufferCount(n);
}

void TDataSet::SetBufferCount(int n) {
    if (FBufferCount == n) return;
    if (FBufferCount > n && FRecordCount > 0) {
        // Keep the active record inside the smaller window.
        int delta = std::max(0, FActiveRecord - (n - 1));
        for (int i = 0; i < delta; ++i) MoveBuffer(0, FRecordCount - 1);
        FActiveRecord -= delta;
        if (FCurrentRecord != -1) FCurrentRecord -= delta;
        if (FCurrentRecord >= n) FCurrentRecord = -1;
        FRecordCount = std::min(FRecordCount, n);
    }
    SetBufListSize(n + 1);
    FBufferCount = n;
    GetNextRecords();
}

void TDataSet::ClearBuffers() {
    FRecordCount = 0;
    FActiveRecord = 0;
    FCurrentRecord = -1;
    FBOF = true;
    FEOF = true;
}

void TDataSet::ActivateBuffers() {
    FRecordCount = 1;
    FActiveRecord = 0;
    FCurrentRecord = 0;
    FBOF = false;
    FEOF = false;
}

void TDataSet::MoveBuffer(int CurIndex, int NewIndex) {
    if (CurIndex == NewIndex) return;
    TRecordBuffer b = FBuffers[CurIndex];
    FBuffers.erase(FBuffers.begin() + CurIndex);
    FBuffers.insert(FBuffers.begin() + NewIndex, b);
}

void TDataSet::SetCurrentRecord(int Index) {
    if (FCurrentRecord == Index) return;
    switch (GetBookmarkFlag(FBuffers[Index])) {
        case bfCurrent:
        case bfInserted:
            InternalSetToRecord(FBuffers[Index]);
            break;
        case bfBOF:
            InternalFirst();
            break;
        case bfEOF:
            InternalLast();
            break;
    }
    FCurrentRecord = Index;
}

void TDataSet::UpdateCursorPos() {
    if (FRecordCount > 0) SetCurrentRecord(FActiveRecord);
}

bool TDataSet::GetNextRecord() {
    TGetMode mode = gmNext;
    if (FRecordCount > 0) {
        SetCurrentRecord(FRecordCount - 1);
        if (State() == dsInsert && FCurrentRecord == FActiveRecord &&
            GetBookmarkFlag(ActiveBuffer()) == bfCurrent)
            mode = gmCurrent;
    }
    bool ok = GetRecord(FBuffers[FRecordCount], mode, true) == grOK;
    if (ok) {
        if (FRecordCount == 0)
            ActivateBuffers();
        else if (FRecordCount < FBufferCount)
            ++FRecordCount;
        else
            MoveBuffer(0, FRecordCount);
        FCurrentRecord = FRecordCount - 1;
    } else {
        CursorPosChanged();
    }
    return ok;
}

bool TDataSet::GetPriorRecord() {
    if (FRecordCount > 0) SetCurrentRecord(0);
    bool ok = GetRecord(FBuffers[FRecordCount], gmPrior, true) == grOK;
    if (ok) {
        if (FRecordCount == 0) {
            ActivateBuffers();
        } else {
            MoveBuffer(FRecordCount, 0);
            if (FRecordCount < FBufferCount) {
                ++FRecordCount;
                ++FActiveRecord;
            }
        }
        FCurrentRecord = 0;
    } else {
        CursorPosChanged();
    }
    return ok;
}

int TDataSet::GetNextRecords() {
    int n = 0;
    while (FRecordCount < FBufferCount && GetNextRecord()) ++n;
    return n;
}

int TDataSet::GetPriorRecords() {
    int n = 0;
    while (FRecordCount < FBufferCount && GetPriorRecord()) ++n;
    return n;
}

// ---- navigation ----

void TDataSet::DoBeforeScroll() {
    Fire(BeforeScroll, this);
}

void TDataSet::DoAfterScroll() {
    Fire(AfterScroll, this);
}

void TDataSet::First() {
    CheckBrowseMode();
    DoBeforeScroll();
    ClearBuffers();
    {
        TScopeGuard changed([this] {
            FBOF = true;
            DataEvent(deDataSetChange);
        });
        InternalFirst();
        GetNextRecord();
        GetNextRecords();
    }
    DoAfterScroll();
}

void TDataSet::Last() {
    CheckBrowseMode();
    DoBeforeScroll();
    ClearBuffers();
    {
        TScopeGuard changed([this] {
            FEOF = true;
            DataEvent(deDataSetChange);
        });
        InternalLast();
        GetPriorRecord();
        GetPriorRecords();
    }
    DoAfterScroll();
}

int TDataSet::MoveBy(int Distance) {
    CheckBrowseMode();
    int moved = 0;
    DoBeforeScroll();
    if ((Distance > 0 && !FEOF) || (Distance < 0 && !FBOF)) {
        FBOF = false;
        FEOF = false;
        int oldCount = FRecordCount;
        int scrolled = 0;
        TScopeGuard changed([this] { DataEvent(deDataSetChange); });
        while (Distance > 0) {
            if (FActiveRecord < FRecordCount - 1) {
                ++FActiveRecord;
            } else {
                int before = FRecordCount;
                if (!GetNextRecord()) {
                    FEOF = true;
                    break;
                }
                if (FRecordCount == before) --scrolled;  // the window slid by one
                FActiveRecord = FRecordCount - 1;
            }
            --Distance;
            ++moved;
        }
        while (Distance < 0) {
            if (FActiveRecord > 0) {
                --FActiveRecord;
            } else {
                int before = FRecordCount;
                if (!GetPriorRecord()) {
                    FBOF = true;
                    break;
                }
                if (FRecordCount == before) ++scrolled;
                FActiveRecord = 0;
            }
            ++Distance;
            --moved;
        }
        changed.Dismiss();
        if (FRecordCount != oldCount)
            DataEvent(deDataSetChange);
        else
            DataEvent(deDataSetScroll, nullptr, scrolled);
        DoAfterScroll();
    }
    return moved;
}

void TDataSet::Resync(TResyncMode Mode) {
    if (Mode & rmExact) {
        CursorPosChanged();
        if (GetRecord(FBuffers[FRecordCount], gmCurrent, true) != grOK) DatabaseError(SRecordNotFound, this);
    } else if (GetRecord(FBuffers[FRecordCount], gmCurrent, false) != grOK &&
               GetRecord(FBuffers[FRecordCount], gmNext, false) != grOK &&
               GetRecord(FBuffers[FRecordCount], gmPrior, false) != grOK) {
        ClearBuffers();
        DataEvent(deDataSetChange);
        return;
    }
    int count = (Mode & rmCenter) ? (FBufferCount - 1) / 2 : FActiveRecord;
    MoveBuffer(FRecordCount, 0);
    ActivateBuffers();
    TScopeGuard changed([this] { DataEvent(deDataSetChange); });
    while (count > 0 && GetPriorRecord()) --count;
    GetNextRecords();
    GetPriorRecords();
}

void TDataSet::Refresh() {
    CheckBrowseMode();
    UpdateCursorPos();
    InternalRefresh();
    Resync(0);
}

// ---- states and notification ----

void TDataSet::SetState(TDataSetState s) {
    if (FState == s) return;
    FState = s;
    FModified = false;
    DataEvent(deUpdateState);
}

TDataSetState TDataSet::SetTempState(TDataSetState s) {
    TDataSetState old = FState;
    FState = s;
    ++FDisableCount;
    return old;
}

void TDataSet::RestoreState(TDataSetState s) {
    FState = s;
    --FDisableCount;
}

void TDataSet::DataEvent(TDataEvent Event, TField* Field, int Info) {
    if (Event == deFieldChange && Field) {
        if (Field->FieldKind() == fkData) FModified = true;
        if (FState != dsCalcFields && FState != dsFilter && FState != dsSetKey && FCalcFieldsSize > 0 &&
            Field->FieldKind() == fkData && ActiveBuffer())
            GetCalcFields(ActiveBuffer());
        Field->Change();
    }
    if (FDisableCount == 0) {
        // A source may leave the list while it is told.
        std::vector<TDataSource*> sources = FDataSources;
        for (TDataSource* s : sources)
            if (std::find(FDataSources.begin(), FDataSources.end(), s) != FDataSources.end())
                s->DataEvent(Event, Field, Info);
    } else if ((Event == deUpdateState && FState == dsInactive) || Event == deLayoutChange) {
        FEnableEvent = deLayoutChange;
    }
}

void TDataSet::DisableControls() {
    if (FDisableCount == 0) {
        FDisableState = FState;
        FEnableEvent = deDataSetChange;
    }
    ++FDisableCount;
}

void TDataSet::EnableControls() {
    if (FDisableCount == 0) return;
    if (--FDisableCount != 0) return;
    if (FDisableState != FState) DataEvent(deUpdateState);
    if (FDisableState != dsInactive && FState != dsInactive) DataEvent(FEnableEvent);
}

void TDataSet::AddDataSource(TDataSource* s) {
    if (std::find(FDataSources.begin(), FDataSources.end(), s) == FDataSources.end())
        FDataSources.push_back(s);
    UpdateBufferCount();
}

void TDataSet::RemoveDataSource(TDataSource* s) {
    auto it = std::find(FDataSources.begin(), FDataSources.end(), s);
    if (it != FDataSources.end()) FDataSources.erase(it);
}

bool TDataSet::IsLinkedTo(TDataSource* ds) const {
    return ds && ds->IsLinkedTo(const_cast<TDataSet*>(this));
}

// ---- calculated fields ----

void TDataSet::GetCalcFields(TRecordBuffer Buffer) {
    if (FCalcFieldsSize <= 0) return;
    TDataSetState old = FState;
    FState = dsCalcFields;
    TScopeGuard restore([this, old] { FState = old; });
    CalculateFields(Buffer);
}

void TDataSet::CalculateFields(TRecordBuffer Buffer) {
    FCalcBuffer = Buffer;
    ClearCalcFields(Buffer);
    Fire(OnCalcFields, this);
}

// ---- editing ----

void TDataSet::CheckCanModify() {
    if (!GetCanModify()) DatabaseError(SDataSetReadOnly, this);
}

void TDataSet::CheckOperation(const std::function<void()>& Operation, const TDataSetErrorEvent& ErrorEvent) {
    for (;;) {
        try {
            UpdateCursorPos();
            Operation();
            return;
        } catch (EDatabaseError& e) {
            TDataAction action = daFail;
            if (ErrorEvent) ErrorEvent(this, e, action);
            if (action == daFail) throw;
            if (action == daAbort) throw EAbort("Operation aborted");
        }
    }
}

void TDataSet::FreeFieldBuffers() {
    for (TField* f : FFields) f->FreeBuffers();
}

void TDataSet::InitRecord(TRecordBuffer Buffer) {
    InternalInitRecord(Buffer);
    ClearCalcFields(Buffer);
    SetBookmarkFlag(Buffer, bfInserted);
}

void TDataSet::DoOnNewRecord() {
    Fire(OnNewRecord, this);
}

void TDataSet::BeginInsertAppend() {
    CheckBrowseMode();
    CheckCanModify();
    Fire(BeforeInsert, this);
    DoBeforeScroll();
}

void TDataSet::EndInsertAppend() {
    SetState(dsInsert);
    TScopeGuard undo([this] {
        UpdateCursorPos();
        FreeFieldBuffers();
        SetState(dsBrowse);
        Resync(0);
    });
    DoOnNewRecord();
    undo.Dismiss();
    FModified = false;
    DataEvent(deDataSetChange);
    Fire(AfterInsert, this);
    DoAfterScroll();
}

void TDataSet::Insert() {
    BeginInsertAppend();
    TBookmark current = Bookmark();
    MoveBuffer(FRecordCount, FActiveRecord);
    TRecordBuffer b = ActiveBuffer();
    InitRecord(b);
    if (FRecordCount == 0)
        SetBookmarkFlag(b, bfBOF);
    else if (!current.empty())
        SetBookmarkData(b, current.data());
    if (FRecordCount < FBufferCount) ++FRecordCount;
    InternalInsert();
    EndInsertAppend();
}

void TDataSet::Append() {
    BeginInsertAppend();
    ClearBuffers();
    TRecordBuffer b = FBuffers[0];
    InitRecord(b);
    SetBookmarkFlag(b, bfEOF);
    FRecordCount = 1;
    FBOF = false;
    GetPriorRecords();
    InternalInsert();
    EndInsertAppend();
}

void TDataSet::Edit() {
    if (FState == dsEdit || FState == dsInsert) return;
    if (FRecordCount == 0) {
        Insert();
        return;
    }
    CheckBrowseMode();
    CheckCanModify();
    Fire(BeforeEdit, this);
    CheckOperation([this] { InternalEdit(); }, OnEditError);
    GetCalcFields(ActiveBuffer());
    SetState(dsEdit);
    DataEvent(deRecordChange);
    Fire(AfterEdit, this);
}

void TDataSet::UpdateRecord() {
    if (!InWriteState(FState)) DatabaseError(SNotEditing, this);
    DataEvent(deUpdateRecord);
}

void TDataSet::CheckRequiredFields() {
    for (TField* f : FFields)
        if (f->Required() && !f->ReadOnly() && f->FieldKind() == fkData && f->IsNull())
            DatabaseError(Format(SFieldRequired, f->DisplayName()), this);
}

void TDataSet::InternalPost() {
    CheckRequiredFields();
}

void TDataSet::Post() {
    UpdateRecord();
    if (FState != dsEdit && FState != dsInsert) return;
    DataEvent(deCheckBrowseMode);
    Fire(BeforePost, this);
    CheckOperation([this] { InternalPost(); }, OnPostError);
    FreeFieldBuffers();
    SetState(dsBrowse);
    Resync(0);
    Fire(AfterPost, this);
}

void TDataSet::Cancel() {
    if (FState != dsEdit && FState != dsInsert) return;
    DataEvent(deCheckBrowseMode);
    Fire(BeforeCancel, this);
    UpdateCursorPos();
    InternalCancel();
    FreeFieldBuffers();
    SetState(dsBrowse);
    Resync(0);
    Fire(AfterCancel, this);
}

void TDataSet::Delete() {
    CheckActive();
    if (FState == dsInsert || FState == dsSetKey) {
        Cancel();
        return;
    }
    if (FRecordCount == 0) DatabaseError(SDataSetEmpty, this);
    DataEvent(deCheckBrowseMode);
    Fire(BeforeDelete, this);
    DoBeforeScroll();
    CheckOperation([this] { InternalDelete(); }, OnDeleteError);
    FreeFieldBuffers();
    SetState(dsBrowse);
    Resync(0);
    Fire(AfterDelete, this);
    DoAfterScroll();
}

void TDataSet::CheckBrowseMode() {
    CheckActive();
    DataEvent(deCheckBrowseMode);
    switch (FState) {
        case dsEdit:
        case dsInsert:
            UpdateRecord();
            if (FModified)
                Post();
            else
                Cancel();
            break;
        case dsSetKey:
            Post();
            break;
        default:
            break;
    }
}

// ---- bookmarks ----

bool TDataSet::BookmarkAvailable() {
    return (FState == dsBrowse || FState == dsEdit || FState == dsInsert) && !IsEmpty() &&
           GetBookmarkFlag(ActiveBuffer()) == bfCurrent;
}

TBookmark TDataSet::Bookmark() {
    if (!BookmarkAvailable() || FBookmarkSize <= 0) return {};
    TBookmark b(FBookmarkSize, '\0');
    GetBookmarkData(ActiveBuffer(), b.data());
    return b;
}

void TDataSet::GotoBookmark(const TBookmark& b) {
    if (b.empty()) return;
    if (!BookmarkFits(b)) DatabaseError(SRecordNotFound, this);
    CheckBrowseMode();
    DoBeforeScroll();
    InternalGotoBookmark(b.data());
    Resync(rmExact | rmCenter);
    DoAfterScroll();
}

int TDataSet::CompareBookmarks(const TBookmark& b1, const TBookmark& b2) {
    if (b1.empty() && b2.empty()) return 0;
    if (b1.empty()) return -1;
    if (b2.empty()) return 1;
    return 0;
}

// ---- searching ----

bool TDataSet::MatchesKeys(const std::vector<TField*>& fields, const TVariant& values,
                           TLocateOptions options) {
    for (size_t i = 0; i < fields.size(); ++i) {
        const TVariant& want = fields.size() == 1 && !values.IsArray() ? values : values[static_cast<int>(i)];
        TField* f = fields[i];
        if (want.IsNull() || f->IsNull()) {
            if (want.IsNull() != f->IsNull()) return false;
            continue;
        }
        if (want.VarType() == varString || f->DataType() == ftString || f->DataType() == ftFixedChar ||
            f->DataType() == ftWideString || f->DataType() == ftMemo) {
            std::string have = f->AsString();
            std::string key = want.AsString();
            if (options & loPartialKey) have = have.substr(0, key.size());
            bool same = (options & loCaseInsensitive) ? SameText(have, key) : have == key;
            if (!same) return false;
        } else if (f->DataType() == ftBoolean) {
            if (f->AsBoolean() != want.AsBoolean()) return false;
        } else if (f->DataType() == ftDate || f->DataType() == ftTime || f->DataType() == ftDateTime) {
            if (f->AsDateTime() != want.AsDateTime()) return false;
        } else if (!(f->Value() == want) && f->AsFloat() != want.AsFloat()) {
            return false;
        }
    }
    return true;
}

bool TDataSet::Locate(const std::string& KeyFields, const TVariant& KeyValues, TLocateOptions Options) {
    CheckBrowseMode();
    std::vector<TField*> fields = GetFieldList(KeyFields);
    if (fields.size() > 1 &&
        (!KeyValues.IsArray() || KeyValues.ArrayCount() < static_cast<int>(fields.size())))
        DatabaseError("Key values do not match the key fields", this);
    TBookmark start = Bookmark();
    DisableControls();
    bool found = false;
    {
        TScopeGuard enable([this] { EnableControls(); });
        First();
        while (!Eof()) {
            if (MatchesKeys(fields, KeyValues, Options)) {
                found = true;
                break;
            }
            Next();
        }
        if (!found && !start.empty()) GotoBookmark(start);
    }
    return found;
}

TVariant TDataSet::Lookup(const std::string& KeyFields, const TVariant& KeyValues,
                          const std::string& ResultFields) {
    CheckBrowseMode();
    std::vector<TField*> fields = GetFieldList(KeyFields);
    std::vector<TField*> results = GetFieldList(ResultFields);
    TBookmark start = Bookmark();
    TVariant out = TVariant::Null();
    DisableControls();
    {
        TScopeGuard enable([this] { EnableControls(); });
        First();
        while (!Eof()) {
            if (MatchesKeys(fields, KeyValues, 0)) {
                if (results.size() == 1) {
                    out = results[0]->Value();
                } else {
                    std::vector<TVariant> vals;
                    for (TField* r : results) vals.push_back(r->Value());
                    out = TVariant(std::move(vals));
                }
                break;
            }
            Next();
        }
        if (!start.empty())
            GotoBookmark(start);
        else
            First();
    }
    return out;
}
