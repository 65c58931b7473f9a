// The engine dataset: records, fields, bookmarks and editing over the cursor.
#include "db/components/EngineCursor.h"
//
#include <algorithm>
#include <cstring>

#include "db/components/ZIZIVUDataSet.h"
#include "db/engine/DescriptorCodes.h"
#include "db/storage/Encodings.h"
#include "db/storage/LibraryMemory.h"
#include "platform/rtl/ScopeGuard.h"

namespace {

// The value buffer of a cursor field read or write.
constexpr size_t FieldValueSize = 256;

bool InWriteState(TDataSetState s) {
    return s == dsEdit || s == dsInsert || s == dsSetKey || s == dsCalcFields || s == dsFilter ||
           s == dsNewValue;
}

struct TTypeRow {
    TFieldType Field;
    uint8_t Engine;
    uint8_t Sub;
};

// Framework to engine.
constexpr TTypeRow ToEngine[] = {
    {ftString, dtString, 0},
    {ftSmallint, dtSmallInt, 0},
    {ftInteger, dtInteger, 0},
    {ftWord, dtWord, 0},
    {ftBoolean, dtBoolean, 0},
    {ftFloat, dtFloat, 0},
    {ftCurrency, dtFloat, fstMoney},
    {ftBCD, dtBCD, 0},
    {ftDate, dtDate, 0},
    {ftTime, dtTime, 0},
    {ftDateTime, dtTimeStamp, 0},
    {ftBytes, dtBytes, 0},
    {ftVarBytes, dtVarBytes, 0},
    {ftAutoInc, dtInteger, fstAutoInc},
    {ftBlob, dtBlob, 0},
    {ftMemo, dtBlob, 22},
    {ftGraphic, dtBlob, 26},
    {ftFmtMemo, dtBlob, 24},
    {ftParadoxOle, dtBlob, 0},
    {ftDBaseOle, dtBlob, 0},
    {ftTypedBinary, dtBlob, 28},
    {ftCursor, 17, 0},
    {ftFixedChar, dtString, fstFixedChar},
    {ftWideString, dtString, fstWideString},
    {ftLargeint, 18, 0},
    {ftADT, 20, 0},
    {ftArray, 21, 0},
    {ftReference, 22, 0},
    {ftDataSet, 23, 0},
    {ftOraBlob, dtBlob, 0},
    {ftOraClob, dtBlob, 0},
    {ftGuid, dtString, 0},
};

}  // namespace

void FieldTypeToEngine(TFieldType type, uint8_t& engineType, uint8_t& subType) {
    engineType = 0;
    subType = 0;
    for (const TTypeRow& r : ToEngine)
        if (r.Field == type) {
            engineType = r.Engine;
            subType = r.Sub;
            return;
        }
}

TFieldType EngineToFieldType(uint8_t engineType, uint8_t subType) {
    switch (engineType) {
        case dtString:
            return ftString;
        case dtDate:
            return ftDate;
        case dtBlob:
            switch (subType) {
                case 22:
                    return ftMemo;
                case 24:
                    return ftFmtMemo;
                case 26:
                    return ftGraphic;
                case 28:
                    return ftTypedBinary;
                default:
                    return ftBlob;
            }
        case dtBoolean:
            return ftBoolean;
        case dtSmallInt:
            return ftSmallint;
        case dtInteger:
            return subType == fstAutoInc ? ftAutoInc : ftInteger;
        case dtFloat:
            return subType == fstMoney ? ftCurrency : ftFloat;
        case dtBCD:
            return ftBCD;
        case dtBytes:
            return ftBytes;
        case dtTime:
            return ftTime;
        case dtTimeStamp:
            return ftDateTime;
        case dtWord:
            return ftWord;
        case dtLongWord:
            return ftInteger;
        case dtVarBytes:
            return ftVarBytes;
        case 18:
        case 19:
            return ftLargeint;
        case 20:
            return ftADT;
        case 21:
            return ftArray;
        case 22:
            return ftReference;
        case 23:
            return ftDataSet;
        default:
            return ftUnknown;
    }
}

// ---- TZIZIVUDataSet ----

TZIZIVUDataSet::TZIZIVUDataSet(TComponent* AOwner) : TDataSet(AOwner) {}

TZIZIVUDataSet::~TZIZIVUDataSet() {
    Destroying();
    try {
        SetActive(false);
    } catch (...) {
        // Going away regardless.
    }
}

TZIZIVUDataSet::TRecInfo TZIZIVUDataSet::ReadRecInfo(TRecordBuffer Buffer) const {
    TRecInfo info;
    std::memcpy(&info.RecordNumber, Buffer + FRecInfoOfs, 4);
    info.BookmarkFlag = static_cast<uint8_t>(Buffer[FRecInfoOfs + 4]);
    return info;
}

void TZIZIVUDataSet::WriteRecInfo(TRecordBuffer Buffer, const TRecInfo& Info) const {
    std::memcpy(Buffer + FRecInfoOfs, &Info.RecordNumber, 4);
    Buffer[FRecInfoOfs + 4] = static_cast<char>(Info.BookmarkFlag);
}

// ---- opening and closing ----

void TZIZIVUDataSet::OpenCursor(bool InfoQuery) {
    TZIZIVUDataSetLock lock(CursorSession());
    FCursor = CreateHandle();
    if (!FCursor) DatabaseError(ComponentMessage(SHandleError), this);
    TDataSet::OpenCursor(InfoQuery);
}

void TZIZIVUDataSet::CloseCursor() {
    TZIZIVUDataSetLock lock(CursorSession());
    TDataSet::CloseCursor();
    if (FCursor) DestroyHandle();
}

void TZIZIVUDataSet::DestroyHandle() {
    DestroyLookupCursor();
    std::unique_ptr<TDataCursor> c(FCursor);
    FCursor = nullptr;
    FExprFilter = nullptr;
    FFuncFilter = nullptr;
    c->Close();
}

void TZIZIVUDataSet::InternalOpen() {
    FRecordSize = FCursor->GetRecordSize();
    SetBookmarkSize(FCursor->GetBookmarkSize());
    FCanModify = !FCursor->ReadOnly();
    PrepareCursor();
    GetIndexInfo();
    FieldDefs()->SetUpdated(false);
    InternalInitFieldDefs();
    FieldDefs()->SetUpdated(true);
    if (DefaultFields()) CreateFields();
    BindFields(true);
    FRecInfoOfs = FRecordSize + CalcFieldsSize();
    FBookmarkOfs = FRecInfoOfs + 8;
    // Room for the largest bookmark: switching the index changes the bookmark size.
    FRecBufSize = FBookmarkOfs + std::max(BookmarkSize(), int(KeyBufferSize));
    if (FAutoDisplayLabels)
        for (int i = 0; i < FieldCount(); ++i) {
            TField* f = Fields(i);
            if (f->FieldNo() < 1 || f->FieldNo() > FCursor->GetFieldCount()) continue;
            const std::string& d = FCursor->GetFieldDefinition(f->FieldNo()).Description;
            if (!d.empty()) f->SetDisplayLabel(d);
        }
    FKeyBuffers.assign(kiCount, std::vector<uint8_t>(size_t(5 + FRecordSize), 0));
    for (int k = 0; k < kiCount; ++k) InitKeyBuffer(TKeyIndex(k));
    FCursor->First();
    if (!Filter().empty()) CreateExprFilter();
    if (OnFilterRecord()) CreateFuncFilter();
    if (Filtered()) ActivateFilters();
}

void TZIZIVUDataSet::InternalClose() {
    FExprFilter = nullptr;
    FFuncFilter = nullptr;
    FKeyBuffers.clear();
    FIndexFields.clear();
    BindFields(false);
    if (DefaultFields()) DestroyFields();
}

void TZIZIVUDataSet::InternalInitFieldDefs() {
    InitFieldDefsFrom(FCursor);
}

void TZIZIVUDataSet::InitFieldDefsFrom(TDataCursor* Cursor) {
    FieldDefs()->Clear();
    for (int i = 1; i <= Cursor->GetFieldCount(); ++i) {
        const TFieldDescriptor& d = Cursor->GetFieldDefinition(i);
        if (d.WorkArea[HiddenFieldByte] != 0) continue;
        AddFieldDef(d, i);
    }
}

void TZIZIVUDataSet::AddFieldDef(const TFieldDescriptor& Descriptor, int FieldNo) {
    TFieldType type = EngineToFieldType(Descriptor.DataType, Descriptor.SubType);
    if (type == ftUnknown) return;
    int size = 0;
    if (Descriptor.DataType == dtString || Descriptor.DataType == dtBytes ||
        Descriptor.DataType == dtVarBytes)
        size = Descriptor.Size;
    else if (Descriptor.DataType == dtBCD)
        size = Descriptor.Decimals;
    std::string name = Descriptor.Name;
    for (int n = 1; FieldDefs()->IndexOf(name) >= 0; ++n) name = Format("%s_%d", Descriptor.Name, n);
    TFieldDef* def = FieldDefs()->Add(name, type, size, Descriptor.Required != 0);
    def->SetFieldNo(FieldNo);
    if (type == ftBCD) def->SetPrecision(20);
}

// ---- record buffers ----

TRecordBuffer TZIZIVUDataSet::AllocRecordBuffer() {
    return static_cast<TRecordBuffer>(AllocMemory(FRecBufSize));
}

void TZIZIVUDataSet::FreeRecordBuffer(TRecordBuffer& Buffer) {
    FreeMemory(Buffer);
    Buffer = nullptr;
}

void TZIZIVUDataSet::ClearCalcFields(TRecordBuffer Buffer) {
    std::memset(Buffer + FRecordSize, 0, size_t(CalcFieldsSize()));
}

TBookmarkFlag TZIZIVUDataSet::GetBookmarkFlag(TRecordBuffer Buffer) {
    return TBookmarkFlag(ReadRecInfo(Buffer).BookmarkFlag);
}

void TZIZIVUDataSet::SetBookmarkFlag(TRecordBuffer Buffer, TBookmarkFlag Value) {
    TRecInfo info = ReadRecInfo(Buffer);
    info.BookmarkFlag = Value;
    WriteRecInfo(Buffer, info);
}

void TZIZIVUDataSet::GetBookmarkData(TRecordBuffer Buffer, void* Data) {
    std::memcpy(Data, Buffer + FBookmarkOfs, size_t(BookmarkSize()));
}

void TZIZIVUDataSet::SetBookmarkData(TRecordBuffer Buffer, const void* Data) {
    std::memcpy(Buffer + FBookmarkOfs, Data, size_t(BookmarkSize()));
}

TGetResult TZIZIVUDataSet::GetRecord(TRecordBuffer Buffer, TGetMode GetMode, bool DoCheck) {
    TZIZIVUDataSetLock lock(CursorSession());
    auto* rec = reinterpret_cast<uint8_t*>(Buffer);
    uint16_t rc;
    switch (GetMode) {
        case gmCurrent:
            rc = FCursor->GetCurrentRecord(rec, false);
            break;
        case gmNext:
            rc = FSetToSide > 0 ? FCursor->GetCurrentRecord(rec, false) : FCursor->GetNextRecord(rec);
            break;
        default:
            rc = FSetToSide < 0 ? FCursor->GetCurrentRecord(rec, false) : FCursor->GetPriorRecord(rec);
            break;
    }
    FSetToSide = 0;
    switch (rc) {
        case 0: {
            WriteRecInfo(Buffer, TRecInfo{FCursor->GetRecNo(), bfCurrent});
            GetCalcFields(Buffer);
            FCursor->GetBookmark(rec + FBookmarkOfs);
            return grOK;
        }
        case ZIZIVU_BOF:
            return grBOF;
        case ZIZIVU_EOF:
            return grEOF;
        default:
            if (DoCheck) Check(rc);
            return grError;
    }
}

bool TZIZIVUDataSet::GetCurrentRecord(TRecordBuffer Buffer) {
    if (State() == dsInsert || IsEmpty() || !ActiveBuffer()) return false;
    TZIZIVUDataSetLock lock(CursorSession());
    UpdateCursorPos();
    return FCursor->GetCurrentRecord(reinterpret_cast<uint8_t*>(Buffer), false) == 0;
}

TRecordBuffer TZIZIVUDataSet::GetActiveRecBuf() {
    switch (State()) {
        case dsBrowse:
            return IsEmpty() ? nullptr : ActiveBuffer();
        case dsEdit:
        case dsInsert:
        case dsNewValue:
            return ActiveBuffer();
        case dsSetKey:
            return FKeyBuffers.empty() ? nullptr : reinterpret_cast<TRecordBuffer>(KeyRecord(FKeyIndex));
        case dsCalcFields:
            return CalcBuffer();
        case dsFilter:
            return FFilterBuffer;
        default:
            return nullptr;
    }
}

// ---- fields ----

bool TZIZIVUDataSet::GetFieldData(TField* Field, void* Buffer) {
    TRecordBuffer rec = GetActiveRecBuf();
    if (!rec) return false;
    if (Field->Calculated()) {
        if (State() == dsSetKey) return false;  // a key buffer has no calculated area
        const char* p = rec + FRecordSize + Field->Offset();
        if (p[0] == 0) return false;
        if (Buffer) std::memcpy(Buffer, p + 1, size_t(Field->DataSize()));
        return true;
    }
    if (Field->FieldNo() < 1) return false;
    TZIZIVUDataSetLock lock(CursorSession());
    uint8_t value[FieldValueSize] = {};
    bool blank = true;
    FCursor->GetField(Field->FieldNo(), reinterpret_cast<uint8_t*>(rec), blank, value);
    if (blank) return false;
    if (Buffer) {
        size_t n = Field->IsBlob() ? 4 : std::min(size_t(Field->DataSize()), FieldValueSize);
        std::memcpy(Buffer, value, n);
    }
    return true;
}

void TZIZIVUDataSet::SetFieldData(TField* Field, const void* Buffer) {
    const TDataSetState s = State();
    if (!InWriteState(s)) DatabaseError(SNotEditing, this);
    if (s == dsEdit && RangeHoldsField(Field))
        DatabaseError(Format(SNotIndexField, Field->DisplayName()), this);
    if (s == dsSetKey && Field->Calculated())
        DatabaseError(Format(SFieldReadOnly, Field->DisplayName()), this);
    TRecordBuffer rec = GetActiveRecBuf();
    if (!rec) DatabaseError(SNotEditing, this);
    if (Field->Calculated()) {
        char* p = rec + FRecordSize + Field->Offset();
        p[0] = Buffer ? 1 : 0;
        if (Buffer) std::memcpy(p + 1, Buffer, size_t(Field->DataSize()));
    } else {
        if (Field->FieldNo() < 1) return;
        TZIZIVUDataSetLock lock(CursorSession());
        uint8_t value[FieldValueSize] = {};
        if (Buffer) std::memcpy(value, Buffer, std::min(size_t(Field->DataSize()), FieldValueSize - 1));
        FCursor->PutField(Field->FieldNo(), reinterpret_cast<uint8_t*>(rec), Buffer ? value : nullptr);
    }
    if (s != dsCalcFields && s != dsFilter) DataEvent(deFieldChange, Field);
}

void TZIZIVUDataSet::DataConvert(TField* Field, const void* Source, void* Dest, bool ToNative) {
    if (Field->DataType() != ftBCD) {
        TDataSet::DataConvert(Field, Source, Dest, ToNative);
        return;
    }
    try {
        if (ToNative) {
            Currency c;
            std::memcpy(&c.Units, Source, 8);
            int64_t packed = EncodeBCD(uint8_t(Field->Size()), c);
            std::memcpy(Dest, &packed, 8);
        } else {
            int64_t packed;
            std::memcpy(&packed, Source, 8);
            Currency c = DecodeBCD(packed);
            std::memcpy(Dest, &c.Units, 8);
        }
    } catch (const Exception&) {
        DatabaseError(Format(SFieldOutOfRange, Field->DisplayName()), this);
    }
}

void TZIZIVUDataSet::SetStateFieldValue(TDataSetState State, TField* Field, const TVariant& Value) {
    if (State == dsNewValue) DatabaseError(Format(SFieldReadOnly, Field->DisplayName()), this);
    TDataSet::SetStateFieldValue(State, Field, Value);
}

int TZIZIVUDataSet::Translate(const char* Src, char* Dest, bool /*ToOem*/) {
    size_t n = std::strlen(Src);
    if (Dest != Src) std::memmove(Dest, Src, n + 1);
    return static_cast<int>(n);
}

std::unique_ptr<TStream> TZIZIVUDataSet::CreateBlobStream(TField* Field, TBlobStreamMode Mode) {
    return std::make_unique<TZIZIVUBlobStream>(Field, Mode);
}

void TZIZIVUDataSet::CloseBlob(TField* Field) {
    TRecordBuffer rec = ActiveBuffer();
    if (!FCursor || !rec || Field->FieldNo() < 1) return;
    TZIZIVUDataSetLock lock(CursorSession());
    FCursor->FreeBlob(Field->FieldNo(), reinterpret_cast<uint8_t*>(rec), 0, false);
}

// ---- navigation ----

int TZIZIVUDataSet::RecordCount() {
    CheckActive();
    TZIZIVUDataSetLock lock(CursorSession());
    return FCursor->GetRecordCount();
}

int TZIZIVUDataSet::RecNo() {
    CheckActive();
    TRecordBuffer b = State() == dsCalcFields ? CalcBuffer() : ActiveBuffer();
    if (!b || IsEmpty()) return 0;
    return ReadRecInfo(b).RecordNumber;
}

void TZIZIVUDataSet::SetRecNo(int Value) {
    CheckBrowseMode();
    if (Value == RecNo()) return;
    TZIZIVUDataSetLock lock(CursorSession());
    DoBeforeScroll();
    FCursor->MoveToRecNo(Value);
    Resync(rmCenter);
    DoAfterScroll();
}

bool TZIZIVUDataSet::IsSequenced() {
    return !(Filtered() && (FExprFilter || FFuncFilter));
}

void TZIZIVUDataSet::InternalFirst() {
    TZIZIVUDataSetLock lock(CursorSession());
    FSetToSide = 0;
    FCursor->First();
}

void TZIZIVUDataSet::InternalLast() {
    TZIZIVUDataSetLock lock(CursorSession());
    FSetToSide = 0;
    FCursor->Last();
}

void TZIZIVUDataSet::InternalGotoBookmark(const void* Bookmark) {
    TZIZIVUDataSetLock lock(CursorSession());
    FSetToSide = 0;
    FCursor->GotoBookmark(static_cast<const uint8_t*>(Bookmark), false);
}

void TZIZIVUDataSet::InternalSetToRecord(TRecordBuffer Buffer) {
    const auto* wanted = reinterpret_cast<const uint8_t*>(Buffer + FBookmarkOfs);
    TZIZIVUDataSetLock lock(CursorSession());
    FSetToSide = 0;
    if (FCursor->GotoBookmark(wanted, false)) return;
    // The record is gone: the nearest one stands on one side of its place already.
    std::vector<uint8_t> now(size_t(std::max(BookmarkSize(), 4)));
    FCursor->GetBookmark(now.data());
    if (FCursor->GetPhysicalRecordNumber() != 0) FSetToSide = FCursor->CompareBookmarks(now.data(), wanted);
}

void TZIZIVUDataSet::InternalRefresh() {
    TZIZIVUDataSetLock lock(CursorSession());
    FCursor->Resync();
}

bool TZIZIVUDataSet::BookmarkValid(const TBookmark& b) {
    if (!FCursor || !BookmarkFits(b)) return false;
    TZIZIVUDataSetLock lock(CursorSession());
    CursorPosChanged();
    return FCursor->GotoBookmark(reinterpret_cast<const uint8_t*>(b.data()), false);
}

int TZIZIVUDataSet::CompareBookmarks(const TBookmark& b1, const TBookmark& b2) {
    if (b1.empty() && b2.empty()) return 0;
    if (b1.empty()) return -1;
    if (b2.empty()) return 1;
    if (!BookmarkFits(b1) || !BookmarkFits(b2)) DatabaseError(SRecordNotFound, this);
    TZIZIVUDataSetLock lock(CursorSession());
    return FCursor->CompareBookmarks(reinterpret_cast<const uint8_t*>(b1.data()),
                                     reinterpret_cast<const uint8_t*>(b2.data()));
}

// ---- editing ----

void TZIZIVUDataSet::InitRecord(TRecordBuffer Buffer) {
    TDataSet::InitRecord(Buffer);
    WriteRecInfo(Buffer, TRecInfo{-1, bfInserted});
}

void TZIZIVUDataSet::InternalInitRecord(TRecordBuffer Buffer) {
    TZIZIVUDataSetLock lock(CursorSession());
    FCursor->InitRecord(reinterpret_cast<uint8_t*>(Buffer));
}

void TZIZIVUDataSet::DoOnNewRecord() {
    if (FCopyOnAppend) {
        TZIZIVUDataSetLock lock(CursorSession());
        // The new record starts as the current one (blank when there is none).
        FCursor->CopyCurrentRecord(reinterpret_cast<uint8_t*>(ActiveBuffer()));
    }
    TDataSet::DoOnNewRecord();
}

void TZIZIVUDataSet::InternalEdit() {
    TZIZIVUDataSetLock lock(CursorSession());
    uint16_t rc = FCursor->GetCurrentRecord(reinterpret_cast<uint8_t*>(ActiveBuffer()), true);
    if (rc != 0) Check(rc);
}

void TZIZIVUDataSet::InternalCancel() {
    TZIZIVUDataSetLock lock(CursorSession());
    if (State() == dsEdit) FCursor->UnlockRecord(0);
    FCursor->FreeBlobBuffers(true);
}

void TZIZIVUDataSet::InternalPost() {
    TDataSet::InternalPost();
    TZIZIVUDataSetLock lock(CursorSession());
    auto* rec = reinterpret_cast<uint8_t*>(ActiveBuffer());
    if (State() == dsEdit)
        FCursor->ModifyRecord(rec, true);
    else
        FCursor->InsertRecord(rec, true);
}

void TZIZIVUDataSet::InternalAddRecord(TRecordBuffer Buffer, bool /*Append*/) {
    TZIZIVUDataSetLock lock(CursorSession());
    FCursor->InsertRecord(reinterpret_cast<uint8_t*>(Buffer), true);
}

void TZIZIVUDataSet::InternalDelete() {
    TZIZIVUDataSetLock lock(CursorSession());
    if (State() == dsEdit) FCursor->UnlockRecord(0);
    FCursor->DeleteRecord();
}

void TZIZIVUDataSet::Post() {
    TDataSet::Post();
    if (State() == dsSetKey) PostKeyBuffer(true);
}

void TZIZIVUDataSet::Cancel() {
    TDataSet::Cancel();
    if (State() == dsSetKey) PostKeyBuffer(false);
}

// ---- TZIZIVUDBDataSet ----

TZIZIVUDBDataSet::TZIZIVUDBDataSet(TComponent* AOwner) : TZIZIVUDataSet(AOwner) {}

TZIZIVUDBDataSet::~TZIZIVUDBDataSet() {
    Destroying();
    try {
        SetActive(false);
    } catch (...) {
    }
    // Whatever still holds the database open lets go of it.
    if (FDBFlags) {
        FDBFlags = 1;
        try {
            SetDBFlag(1, false);
        } catch (...) {
        }
    }
}

void TZIZIVUDBDataSet::SetDatabaseName(const std::string& v) {
    if (v == FDatabaseName) return;
    CheckInactive();
    FDatabaseName = v;
}

void TZIZIVUDBDataSet::SetSessionName(const std::string& v) {
    if (v == FSessionName) return;
    CheckInactive();
    FSessionName = v;
}

TZIZIVUSession* TZIZIVUDBDataSet::DBSession() const {
    return Sessions().GetSession(FSessionName);
}

TZIZIVUSession* TZIZIVUDBDataSet::CursorSession() const {
    return FDatabase ? FDatabase->Session() : nullptr;
}

void TZIZIVUDBDataSet::Disconnect() {
    Close();
}

void TZIZIVUDBDataSet::SetDBFlag(uint8_t Flag, bool Value) {
    // The database and its list of datasets are shared by the datasets of every thread on
    // the session: joining and leaving them happens inside the session's section.
    if (Value) {
        if (FDBFlags == 0) {
            TZIZIVUSession* s = DBSession();
            TZIZIVUSessionLock lock(s);
            TZIZIVUDatabase* db = s->OpenDatabase(FDatabaseName);
            FDatabaseSession = s;
            FDatabase = db;
            db->AddDataSet(this);
        }
        FDBFlags |= Flag;
    } else {
        if (!(FDBFlags & Flag)) return;
        FDBFlags &= uint8_t(~Flag);
        if (FDBFlags == 0 && FDatabase) {
            TZIZIVUDatabase* db = FDatabase;
            TZIZIVUSession* s = FDatabaseSession;
            TZIZIVUSessionLock lock(s);
            FDatabase = nullptr;
            FDatabaseSession = nullptr;
            db->RemoveDataSet(this);
            s->CloseDatabase(db);
        }
    }
}

void TZIZIVUDBDataSet::OpenCursor(bool InfoQuery) {
    // A failure further on closes the cursor again (CloseCursor), which lets go of the
    // database.
    SetDBFlag(dbfOpened, true);
    TZIZIVUDataSet::OpenCursor(InfoQuery);
}

void TZIZIVUDBDataSet::CloseCursor() {
    TScopeGuard release([this] { SetDBFlag(dbfOpened, false); });
    TZIZIVUDataSet::CloseCursor();
}

// ---- TZIZIVUBlobStream ----

TZIZIVUBlobStream::TZIZIVUBlobStream(TField* Field, TBlobStreamMode Mode)
    : FField(Field),
      FDataSet(dynamic_cast<TZIZIVUDataSet*>(Field->DataSet())),
      FFieldNo(Field->FieldNo()),
      FMode(Mode) {
    if (!FDataSet) DatabaseError(Format(SNoDataSet, Field->DisplayName()));
    if (Mode != bmRead) {
        if (Field->ReadOnly()) DatabaseError(Format(SFieldReadOnly, Field->DisplayName()), FDataSet);
        if (FDataSet->State() != dsEdit && FDataSet->State() != dsInsert)
            DatabaseError(SNotEditing, FDataSet);
    }
    FBuffer = FDataSet->GetActiveRecBuf();
    if (!FBuffer || FFieldNo < 1) return;
    TZIZIVUDataSetLock lock(FDataSet->CursorSession());
    // A BLOB written through an earlier stream stays open until the post or cancel.
    Check(FDataSet->FCursor->OpenBlob(FFieldNo, reinterpret_cast<uint8_t*>(FBuffer), 0, false,
                                      Mode == bmRead ? EngineBlobRead : EngineBlobReadWrite));
    FOpened = true;
    if (Mode == bmWrite) Truncate();
}

TZIZIVUBlobStream::~TZIZIVUBlobStream() {
    if (FOpened) {
        if (FModified) FField->SetModified(true);
        if (!FField->Modified()) {
            TZIZIVUDataSetLock lock(FDataSet->CursorSession());
            FDataSet->FCursor->FreeBlob(FFieldNo, reinterpret_cast<uint8_t*>(FBuffer), 0, false);
        }
    }
    if (FModified) {
        try {
            FDataSet->DataEvent(deFieldChange, FField);
        } catch (...) {
            FDataSet->InternalHandleException();
        }
    }
}

// A BLOB holds at most 2^31 - 1 bytes: a stream position beyond that has nothing to read
// and takes no write, rather than being cut to the engine's 32-bit offsets.
int64_t TZIZIVUBlobStream::Read(void* buf, int64_t count) {
    if (!FOpened || count <= 0 || FPosition > INT32_MAX) return 0;
    TZIZIVUDataSetLock lock(FDataSet->CursorSession());
    uint32_t got = 0;
    uint16_t rc =
        FDataSet->FCursor->GetBlob(FFieldNo, reinterpret_cast<uint8_t*>(FBuffer), false, got,
                                   uint32_t(std::min<int64_t>(count, INT32_MAX)), buf, uint32_t(FPosition));
    if (rc != 0 && rc != ZIZIVU_ENDOFBLOB) Check(rc);
    FPosition += got;
    return got;
}

int64_t TZIZIVUBlobStream::Write(const void* buf, int64_t count) {
    if (!FOpened || count <= 0) return 0;
    if (FPosition > INT32_MAX || count > INT32_MAX - FPosition) Check(ZIZIVU_INVALIDBLOBLEN);
    TZIZIVUDataSetLock lock(FDataSet->CursorSession());
    Check(FDataSet->FCursor->PutBlob(FFieldNo, reinterpret_cast<uint8_t*>(FBuffer), false, uint32_t(count),
                                     buf, uint32_t(FPosition)));
    FPosition += count;
    FModified = true;
    return count;
}

int64_t TZIZIVUBlobStream::Seek(int64_t offset, TSeekOrigin origin) {
    FPosition = std::max<int64_t>(SeekTarget(FPosition, origin == soEnd ? Size() : 0, offset, origin), 0);
    return FPosition;
}

int64_t TZIZIVUBlobStream::Size() {
    if (!FOpened) return 0;
    TZIZIVUDataSetLock lock(FDataSet->CursorSession());
    uint32_t size = 0;
    Check(FDataSet->FCursor->GetBlobSize(FFieldNo, reinterpret_cast<uint8_t*>(FBuffer), false, size));
    return size;
}

void TZIZIVUBlobStream::SetSize(int64_t n) {
    FPosition = n;
    Truncate();
}

void TZIZIVUBlobStream::Truncate() {
    if (!FOpened) return;
    if (FPosition > INT32_MAX) Check(ZIZIVU_INVALIDBLOBLEN);
    TZIZIVUDataSetLock lock(FDataSet->CursorSession());
    Check(FDataSet->FCursor->TruncateBlob(FFieldNo, reinterpret_cast<uint8_t*>(FBuffer), false,
                                          uint32_t(FPosition)));
    FModified = true;
}
