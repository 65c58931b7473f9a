// The cursor's records and fields: new records with defaults, validity rules, reading,
// inserting, modifying and deleting under record locks with their keys and BLOBs, field
// values with their blank state, computed columns, and access to BLOB contents through
// open BLOB buffers.
#include <algorithm>
#include <array>
#include <cstring>
#include <exception>

#include "db/engine/BlobFile.h"
#include "db/engine/DataCursor.h"
#include "db/engine/DataTable.h"
#include "db/engine/EngineErrors.h"
#include "db/storage/Encodings.h"
#include "db/storage/ExpressionEval.h"
#include "db/storage/LanguageSettings.h"
#include "db/storage/RecordsBitmap.h"
#include "platform/rtl/ByteCodec.h"
#include "platform/rtl/DateFormat.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/ScopeGuard.h"
#include "platform/rtl/SysUtils.h"

namespace {

constexpr int32_t ValueBufferSize = 256;

int Sign3(double a, double b) {
    return a < b ? -1 : a > b ? 1 : 0;
}

// A failure of a BLOB call as its code.
template <class F>
uint16_t BlobCode(F&& work) {
    try {
        return work();
    } catch (const EZIZIVUEngineError& e) {
        return e.ErrorCode();
    }
}

}  // namespace

// ---- Record fetch -------------------------------------------------------------------------

void TDataCursor::FetchRecord(uint32_t recordNo, uint8_t* dest, int32_t direction, bool byRun) {
    ReadRecordInto(recordNo, dest, direction, byRun || IsRecordNumberOrder());
}

void TDataCursor::ReadRecordInto(uint32_t recordNo, uint8_t* dest, int32_t direction, bool byVisibleRun) {
    for (;;) {
        if (recordNo == 0 || recordNo >= DataFile()->GetNextRecordNo()) Raise(ZIZIVU_RECBUFCORRUPT);
        TRecord* r = nullptr;
        if (DataFile()->GetRecord(this, recordNo, r, direction, byVisibleRun, true)) {
            std::memcpy(dest, r->GetBuffer(), size_t(FPhysicalRecordSize));
            DataFile()->ReleaseRecord(r);
            return;
        }
        AfterCachesDropped();
    }
}

void TDataCursor::LoadCurrentRecord() {
    if (!FOpen) return;
    std::fill(FRecordBuffer.begin(), FRecordBuffer.end(), 0);
    if (FBof || FEof || FRecNo == 0) return;
    // In index order the read brings what the position's leaf shows next: the record alone
    // after a keyed jump, the leaf's run of following record numbers after a step.
    if (!IsRecordNumberOrder() && FRunRecNo == FRecNo)
        FetchRecord(FRecNo, FRecordBuffer.data(), FRunDirection, true);
    else
        FetchRecord(FRecNo, FRecordBuffer.data());
    ComputeColumns(FRecordBuffer.data());
}

void TDataCursor::ClearRecordBuffer(uint8_t* buffer) const {
    std::memset(buffer, 0, size_t(std::max(FRecordSize, RecordHeaderSize)));
}

// ---- Fields -------------------------------------------------------------------------------

const TFieldDescriptor& TDataCursor::FieldAt(int32_t fieldNo, bool useTable) const {
    CheckOpen();
    if (useTable) {
        if (FFieldNumberAddressing) return TableField(fieldNo);
        if (fieldNo < 1 || fieldNo > DataFile()->GetFieldCount())
            Raise(ZIZIVU_INVALIDFIELD, IntToStr(fieldNo));
        return DataFile()->GetFieldDescriptor(fieldNo - 1);
    }
    if (FFieldNumberAddressing) {
        for (const TFieldDescriptor& f : FFields)
            if (f.FieldNo == fieldNo) return f;
        Raise(ZIZIVU_INVALIDFIELD, IntToStr(fieldNo));
    }
    return GetFieldDefinitionChecked(fieldNo);
}

void TDataCursor::ReadFieldValue(const TFieldDescriptor& f, const uint8_t* record, bool& blank, void* value) {
    auto* out = static_cast<uint8_t*>(value);
    if (f.IsAutoInc()) {
        blank = false;
        std::memcpy(out, record + AutoIncOffset, 4);
        return;
    }
    // Every path below copies the field's whole data.
    if (f.DataType == dtBlob) {
        const int32_t word = bytes::GetI32(record + f.Offset + 1);
        if (word < 0) {
            TOpenBlob* blob = FindBlob(-word);
            blank = !blob || blob->Buffer->Length() == 0;
            std::memcpy(out, record + f.Offset + 1, f.DataSize);
            return;
        }
    }
    blank = record[f.Offset] == 0;
    std::memcpy(out, record + f.Offset + 1, f.DataSize);
}

void TDataCursor::WriteFieldValue(const TFieldDescriptor& f, uint8_t* record, const void* value, bool force) {
    if (f.Computed && !force) return;
    const auto* in = static_cast<const uint8_t*>(value);
    if (f.IsAutoInc()) {
        if (in) std::memcpy(record + AutoIncOffset, in, 4);
    } else if (!in) {
        std::memset(record + f.Offset, 0, size_t(f.DataSize) + 1);
    } else {
        uint8_t* flag = record + f.Offset;
        uint8_t* data = flag + 1;
        switch (f.DataType) {
            case dtString: {
                size_t length =
                    strnlen(reinterpret_cast<const char*>(in), size_t(std::max(f.DataSize - 1, 0)));
                while (length > 0 && in[length - 1] == ' ') --length;
                // Moved, as the value may lie in the record itself; a change of case is made
                // there too (the field ends in a zero after the text).
                std::memmove(data, in, length);
                std::memset(data + length, 0, size_t(f.DataSize) - length);
                char* text = reinterpret_cast<char*>(data);
                if (length > 0 && f.CharCase == fcUpper)
                    UpperCaseLocale(FLanguage, FSort, text, text);
                else if (length > 0 && f.CharCase == fcLower)
                    LowerCaseLocale(FLanguage, FSort, text, text);
                *flag = length == 0 ? 0 : 1;
                break;
            }
            case dtBlob: {
                const int32_t word = bytes::GetI32(in);
                bytes::PutI32(data, word);
                TOpenBlob* blob = word < 0 ? FindBlob(-word) : nullptr;
                *flag = (word > 0 || (blob && blob->Buffer->Length() > 0)) ? 1 : 0;
                break;
            }
            case dtBoolean:
                bytes::PutU16(data, NormalizeBoolean(bytes::GetU16(in)));
                *flag = 1;
                break;
            default:
                std::memcpy(data, in, f.DataSize);
                *flag = 1;
                break;
        }
    }
    if (!f.Computed) ComputeColumns(record);
}

void TDataCursor::GetField(int32_t fieldNo, const uint8_t* record, bool& blank, void* value) {
    ReadFieldValue(FieldAt(fieldNo, false), record, blank, value);
}

void TDataCursor::PutField(int32_t fieldNo, uint8_t* record, const void* value, bool force) {
    WriteFieldValue(FieldAt(fieldNo, false), record, value, force);
}

void TDataCursor::GetTableField(int32_t fieldNo, const uint8_t* record, bool& blank, void* value) {
    ReadFieldValue(FieldAt(fieldNo, true), record, blank, value);
}

void TDataCursor::PutTableField(int32_t fieldNo, uint8_t* record, const void* value) {
    WriteFieldValue(FieldAt(fieldNo, true), record, value, false);
}

void TDataCursor::EvaluateComputedColumns(uint8_t* record) {
    FComputing = true;
    TScopeGuard computed([this] { FComputing = false; });
    const TGetColumnValueFunc fetch = [this](void*, void* rec, TExpToken* node) {
        const int32_t no = node->BindWord;
        const TFieldDescriptor& f = FieldAt(no, true);
        auto* r = static_cast<uint8_t*>(rec);
        if (f.DataType == dtBlob) {
            uint32_t size = 0, count = 0;
            node->IsNull = 1;
            node->DataSize = 0;
            if (OpenBlob(no, r, EngineBlobTag, true, bmRead) != 0) return;
            if (GetBlobSize(no, r, true, size) == 0 && size > 0) {
                node->SetBufferSize(int32_t(size) + 1);
                GetBlob(no, r, true, count, size, node->Value, 0);
                node->Value[count] = 0;
                node->DataSize = count;
                node->IsNull = 0;
            }
            FreeBlob(no, r, EngineBlobTag, true);
            return;
        }
        node->SetBufferSize(ValueBufferSize);
        bool blank;
        ReadFieldValue(f, r, blank, node->Value);
        node->IsNull = blank ? 1 : 0;
        node->DataSize = f.DataSize;
    };
    for (int32_t i = 0; i < FFieldCount; ++i) {
        const TFieldDescriptor& f = FFields[size_t(i)];
        TExpToken* expression = FExpressions[size_t(i)];
        if (!f.Computed || !expression) continue;
        TExpTree result = EvaluateExpression(expression, record, this, FSort, FLanguage, fetch);
        if (!result || result->IsNull || !result->Value) {
            std::memset(record + f.Offset, 0, size_t(f.DataSize) + 1);
            continue;
        }
        uint8_t value[ValueBufferSize] = {};
        std::memcpy(value, result->Value, size_t(std::min<int32_t>(result->BufferSize, f.DataSize)));
        if (f.DataType == dtString) value[std::max(f.DataSize - 1, 0)] = 0;
        WriteFieldValue(f, record, value, true);
    }
}

// ---- Defaults and validity ----------------------------------------------------------------

bool TDataCursor::TextToValue(const TFieldDescriptor& f, const std::string& text, uint8_t* value,
                              bool keywords) {
    std::memset(value, 0, ValueBufferSize);
    const std::string upper = UpperCase(Trim(text));
    const TTimeStamp now = DateTimeToTimeStamp(Now());
    switch (f.DataType) {
        case dtString: {
            const size_t n = std::min<size_t>(text.size(), size_t(std::max(f.DataSize - 1, 0)));
            std::memcpy(value, text.data(), n);
            return true;
        }
        case dtDate:
            if (keywords && upper == "DATE") {
                bytes::PutI32(value, now.Date);
                return true;
            }
            break;
        case dtTime:
            if (keywords && upper == "TIME") {
                bytes::PutI32(value, now.Time);
                return true;
            }
            break;
        case dtTimeStamp:
            if (keywords && upper == "NOW") {
                bytes::PutF64(value, TimeStampToMSecs(now));
                return true;
            }
            if (keywords && upper == "DATE") {
                bytes::PutF64(value, TimeStampToMSecs(TTimeStamp{0, now.Date}));
                return true;
            }
            if (keywords && upper == "TIME") {
                bytes::PutF64(value, double(now.Time));
                return true;
            }
            break;
        case dtBoolean:
            try {
                bytes::PutU16(value, StrToBoolean(Trim(text)) ? 1 : 0);
                return true;
            } catch (const Exception&) {
                return false;
            }
        case dtBlob:
        case dtBytes:
        case dtVarBytes:
        case dtLongWord:
        case dtExtended:
            return true;
        default:
            break;
    }
    const std::string t = Trim(text);
    std::memcpy(value, t.data(), std::min<size_t>(t.size(), ValueBufferSize - 1));
    return ConvertFieldValue(dtString, ValueBufferSize - 1, f.DataType, f.DataSize, value, f.Decimals);
}

void TDataCursor::InitRecord(uint8_t* buffer) {
    CheckOpen();
    ClearRecordBuffer(buffer);
    if (!FHasDefaults) return;
    RunWithLanguageSettings(FLanguage, FSort, [&] {
        uint8_t value[ValueBufferSize];
        for (const TFieldDescriptor& f : FFields) {
            if (f.DefaultValue.empty() || f.Computed) continue;
            if (!TextToValue(f, f.DefaultValue, value, true)) continue;
            WriteFieldValue(f, buffer, value, false);
            if (!f.IsAutoInc() && f.DataType != dtString) buffer[f.Offset] = 1;
        }
    });
}

int32_t TDataCursor::CompareWithLimit(const std::string& limit, bool isMaximum, const TFieldDescriptor& f,
                                      const uint8_t* value) {
    (void)isMaximum;
    uint8_t bound[ValueBufferSize];
    if (!TextToValue(f, limit, bound, true)) return 0;
    switch (f.DataType) {
        case dtString: {
            std::string a(reinterpret_cast<const char*>(value),
                          strnlen(reinterpret_cast<const char*>(value), f.DataSize));
            std::string b(reinterpret_cast<const char*>(bound),
                          strnlen(reinterpret_cast<const char*>(bound), f.DataSize));
            return CompareStrLocale(FLanguage, FSort, a.data(), false, 0, b.data());
        }
        case dtDate:
        case dtTime:
        case dtInteger: {
            const int32_t a = bytes::GetI32(value), b = bytes::GetI32(bound);
            return a < b ? -1 : a > b ? 1 : 0;
        }
        case dtSmallInt: {
            const int16_t a = bytes::GetI16(value), b = bytes::GetI16(bound);
            return a < b ? -1 : a > b ? 1 : 0;
        }
        case dtWord: {
            const uint16_t a = bytes::GetU16(value), b = bytes::GetU16(bound);
            return a < b ? -1 : a > b ? 1 : 0;
        }
        case dtFloat:
        case dtTimeStamp:
            return Sign3(bytes::GetF64(value), bytes::GetF64(bound));
        case dtBCD: {
            const Currency a = bytes::GetI64(value) == 0 ? Currency{} : DecodeBCD(bytes::GetI64(value));
            const Currency b = DecodeBCD(bytes::GetI64(bound));
            return a < b ? -1 : b < a ? 1 : 0;
        }
        default:
            return 0;
    }
}

void TDataCursor::ValidateRecord(const uint8_t* buffer) {
    if (!FHasValidation) return;
    RunWithLanguageSettings(FLanguage, FSort, [&] {
        static const uint8_t zeros[ValueBufferSize] = {};
        for (const TFieldDescriptor& f : FFields) {
            if (!f.Required && f.MinValue.empty() && f.MaxValue.empty()) continue;
            if (f.Computed) continue;
            const bool autoInc = f.IsAutoInc();
            const bool blank = !autoInc && buffer[f.Offset] == 0;
            if (f.Required && blank) Raise(ZIZIVU_REQDERR, f.Name);
            const uint8_t* value = autoInc ? buffer + AutoIncOffset : blank ? zeros : buffer + f.Offset + 1;
            if (!f.MinValue.empty() && CompareWithLimit(f.MinValue, false, f, value) < 0)
                Raise(ZIZIVU_MINVALERR, f.Name);
            if (!f.MaxValue.empty() && CompareWithLimit(f.MaxValue, true, f, value) > 0)
                Raise(ZIZIVU_MAXVALERR, f.Name);
        }
    });
}

// ---- Reading ------------------------------------------------------------------------------

uint16_t TDataCursor::GetCurrentRecord(uint8_t* buffer, bool lock) {
    CheckOpen();
    TReadScope read(*this);
    RefreshIfChanged();
    if (lock && !FBof && !FEof && FRecNo != 0) {
        const uint32_t recNo = FRecNo;
        LockRecord(recNo);
        if (!FExclusive) {
            std::vector<uint8_t> now(static_cast<size_t>(FPhysicalRecordSize));
            FetchRecord(recNo, now.data());
            if (FRecNo != recNo || std::memcmp(now.data(), buffer, now.size()) != 0) {
                UnlockRecord(recNo);
                Raise(ZIZIVU_RECCHANGED);
            }
        }
    }
    if (FBof && FEof) {
        ClearRecordBuffer(buffer);
        return ZIZIVU_NOCURRREC;
    }
    if (FBof) {
        ClearRecordBuffer(buffer);
        return ZIZIVU_BOF;
    }
    if (FEof) {
        ClearRecordBuffer(buffer);
        return ZIZIVU_EOF;
    }
    LoadCurrentRecord();
    std::memcpy(buffer, FRecordBuffer.data(), size_t(FRecordSize));
    return 0;
}

uint16_t TDataCursor::GetNextRecord(uint8_t* buffer) {
    return GetRecordAfterSkip(1, buffer);
}

uint16_t TDataCursor::GetPriorRecord(uint8_t* buffer) {
    return GetRecordAfterSkip(-1, buffer);
}

uint16_t TDataCursor::GetRecordAfterSkip(int32_t by, uint8_t* buffer) {
    CheckOpen();
    TReadScope read(*this);
    Skip(by);
    if (by > 0 ? FEof : FBof) {
        ClearRecordBuffer(buffer);
        return by > 0 ? ZIZIVU_EOF : ZIZIVU_BOF;
    }
    std::memcpy(buffer, FRecordBuffer.data(), size_t(FRecordSize));
    return 0;
}

uint16_t TDataCursor::CopyCurrentRecord(uint8_t* buffer) {
    CheckOpen();
    TReadScope read(*this);
    RefreshIfChanged();
    if (FBof || FEof) return ZIZIVU_NOCURRREC;
    LoadCurrentRecord();
    ClearRecordBuffer(buffer);
    std::vector<uint8_t> source(FRecordBuffer);
    uint8_t value[ValueBufferSize];
    for (int32_t n = 1; n <= FFieldCount; ++n) {
        const TFieldDescriptor& f = FFields[size_t(n - 1)];
        if (f.IsAutoInc()) continue;
        bool blank;
        ReadFieldValue(f, source.data(), blank, value);
        if (blank) continue;
        if (f.DataType != dtBlob) {
            WriteFieldValue(f, buffer, value, true);
            continue;
        }
        uint32_t size = 0, count = 0;
        uint16_t code = OpenBlob(n, source.data(), EngineBlobTag, false, bmRead);
        if (code == 0) code = GetBlobSize(n, source.data(), false, size);
        std::vector<uint8_t> data(size);
        if (code == 0 && size > 0) code = GetBlob(n, source.data(), false, count, size, data.data(), 0);
        FreeBlob(n, source.data(), EngineBlobTag, false);
        if (code != 0) Raise(code);
        code = OpenBlob(n, buffer, 0, false, bmReadWrite);
        if (code == 0) code = PutBlob(n, buffer, false, count, data.data(), 0);
        if (code != 0) Raise(code);
    }
    if (FKeepAutoInc) std::memcpy(buffer + AutoIncOffset, source.data() + AutoIncOffset, 4);
    return 0;
}

// ---- Locks --------------------------------------------------------------------------------

bool TDataCursor::LockRecordInternal(uint32_t recordNo) {
    if (FTable->HoldsRecordLock(recordNo)) {
        if (std::find(FLockedRecords.begin(), FLockedRecords.end(), recordNo) != FLockedRecords.end())
            return false;
        // A lock given up inside the transaction is no other cursor's: it is taken again.
        if (!FTable->IsUnlockDeferred(recordNo)) Raise(ZIZIVU_RECLOCKFAILED);
    }
    // The table takes its implicit read lock for the change check: it belongs to the
    // operation under way and goes with it.
    const bool readHeld = FTable->HoldsReadLock();
    auto adoptReadLock = [&] {
        if (readHeld || !FTable->HoldsReadLock()) return;
        if (FReadDepth > 0)
            FReadOwned = true;
        else
            FTable->UnlockRead();
    };
    bool changed;
    {
        TScopeGuard adopt(adoptReadLock);
        changed = FTable->LockRecord(recordNo);
    }
    if (FTable->HoldsRecordLock(recordNo)) FLockedRecords.push_back(recordNo);
    return changed;
}

void TDataCursor::LockRecord(uint32_t recordNo) {
    CheckOpen();
    if (recordNo == 0) recordNo = FRecNo;
    if (recordNo == 0) Raise(ZIZIVU_RECLOCKFAILED);
    TReadScope read(*this);
    const bool changed = LockRecordInternal(recordNo);
    if (changed || TableChanged()) {
        ResetView();
        Reposition();
    }
}

void TDataCursor::UnlockRecord(uint32_t recordNo) {
    CheckOpen();
    if (recordNo == 0) recordNo = FRecNo;
    auto it = std::find(FLockedRecords.begin(), FLockedRecords.end(), recordNo);
    if (it == FLockedRecords.end()) {
        FTable->UnlockRecord(recordNo);
        return;
    }
    FLockedRecords.erase(it);
    FTable->UnlockRecord(recordNo);
}

// ---- Changes ------------------------------------------------------------------------------

uint32_t TDataCursor::NextRowIdAfter(uint32_t last) const {
    return last >= MaxRowId ? 1 : last + 1;
}

// A row id may be taken only once among the active records: after the counter wrapped,
// or when the caller supplies one, it is looked up first.
bool TDataCursor::RowIdInUse(uint32_t rowId) {
    uint8_t key[DeletedIndexKeyLength];
    BuildDeletedKey(0, rowId, key);
    return KeyExists(DeletedIndexNo, key);
}

void TDataCursor::CheckRowIdFree(uint32_t rowId) {
    if (RowIdInUse(rowId)) Raise(ZIZIVU_KEYVIOL, "", DeletedIndexName);
}

// Open BLOB buffers of a record that a change writes out, taken out of the open list as
// they are written and freed with the object. When an exception ends the change they go
// back into the list unwritten, the record's fields naming them again, so that the same
// change can be made again.
class TDataCursor::TWrittenBlobs {
public:
    TWrittenBlobs(TDataCursor& cursor, uint8_t* record);
    TWrittenBlobs(const TWrittenBlobs&) = delete;
    TWrittenBlobs& operator=(const TWrittenBlobs&) = delete;
    ~TWrittenBlobs();
    // Moves the open buffer of the field at the offset in here; the buffer to write.
    TOpenBlob& Take(TOpenBlob& open, uint16_t offset);

private:
    struct TEntry {
        TOpenBlob Blob;
        uint32_t FirstBlock = 0;
        bool Modified = false;
        int32_t PriorWord = 0;
        uint16_t Offset = 0;
        uint8_t Field[9] = {};  // flag byte, stored word, BLOB id
    };
    TDataCursor& FCursor;
    uint8_t* FRecord;
    int FExceptions = 0;  // counted at the first buffer taken: nothing to undo before
    std::vector<TEntry> FEntries;
};

class TDataCursor::TWriteScope {
public:
    explicit TWriteScope(TDataCursor& c) : FCursor(c) { FCursor.BeginWrite(); }
    ~TWriteScope() {
        try {
            FCursor.EndWrite();
        } catch (...) {
        }
    }

private:
    TDataCursor& FCursor;
};

void TDataCursor::InsertKeys(const uint8_t* record, uint32_t recordNo) {
    const int32_t count = IndexFile()->GetIndexCount();
    const bool noPrimary = IndexFile()->GetNoPrimaryIndex();
    uint8_t* key = FKeyBuffer2.data();
    for (int32_t i = noPrimary ? 1 : 0; i <= count; ++i) {
        const TIndexDescriptor& d = IndexFile()->IndexDescriptor(i);
        if (d.KeyLength == 0) continue;
        TCompareScope scope(*this, i, d);
        BuildIndexKey(i, d, record, key);
        if (!IndexFile()->InsertIndexKey(this, i, key, recordNo)) Raise(ZIZIVU_PAGEBUFCORRUPT);
    }
}

// Whether the active index's key count summed last still holds: nothing has changed,
// read or dropped a page or the header of the index file since (its tree mark stands).
bool TDataCursor::KeyCountStands() const {
    return !FRangeActive && !IsRecordNumberOrder() && FIndexNo == FKeyCountIndexNo && FIndexNo >= 0 &&
           FIndexNo <= IndexFile()->GetIndexCount() && FKeyCountMark == IndexFile()->TreeMark();
}

void TDataCursor::FlushAfterWriteAndView(uint32_t recordNo, const uint8_t* record, bool reposition,
                                         bool deleted, bool keyAdded) {
    if (FTable->DefersRowWrites())
        FTable->DeferRowWrite(FTable->HasBlobFile());
    else
        FlushAfterWrite();
    // A private fill's view and change counts are taken once when its batch ends.
    if (FPrivateFill && !reposition && !deleted) return;
    SaveChangeCounts();
    if (keyAdded) {
        // The insert's own key is all that changed the count since it was summed: the
        // range grows by one without summing the root's counts again.
        FRangeFirst = 1;
        FRangeLast = ++FKeyCount;
        FKeyCountMark = IndexFile()->TreeMark();
    } else {
        ComputeRangeBounds();
    }
    const uint32_t before = FBof || FEof ? 0 : FRecNo;
    FViewStepped = false;
    if (deleted)
        RemoveRecordFromBitmaps(recordNo);
    else
        UpdateFilterBitmapsForRecord(recordNo, record);
    const bool stepped = FViewStepped;
    FViewStepped = false;
    if (reposition && !deleted) {
        std::memcpy(FRecordBuffer.data(), record, size_t(FPhysicalRecordSize));
        FRecNo = recordNo;
        FBof = FEof = false;
    }
    // In record order a current record that stays visible keeps its ordinal, which the
    // view's step kept up to date: only its content is read again.
    if (stepped && before != 0 && FRecNo == before && IsRecordNumberOrder() &&
        int32_t(FRecNo) <= View().RecordCount() && View().GetBit(int32_t(FRecNo))) {
        LoadCurrentRecord();
        return;
    }
    Reposition();
}

void TDataCursor::InsertRecord(uint8_t* buffer, bool reposition) {
    CheckOpen();
    CheckNotReadOnly();
    TReadScope read(*this);
    TWriteScope write(*this);
    TDataFile* data = DataFile();
    TIndexFile* index = IndexFile();
    const uint32_t recNo = data->GetNextFreeRecordNo();
    const bool appended = recNo == data->GetNextRecordNo();
    // Only the fill's own appends may leave their keys out (StartPrivateFill).
    if (!(FPrivateFill && appended && !reposition)) BuildPendingDeletedKeys();
    // A private fill's records are seen by no one before it ends (StartPrivateFill).
    if (!FPrivateFill) LockRecordInternal(recNo);
    const bool held = !FPrivateFill && FTable->HoldsRecordLock(recNo);
    TScopeGuard unlock([this, held, recNo] {
        if (held) UnlockRecord(recNo);
    });
    TDataTable::TChangeScope change(*FTable);
    ValidateRecord(buffer);
    uint32_t rowId = bytes::GetU32(buffer + 5);
    const bool keep = FKeepAutoInc && rowId != 0;
    const uint32_t last = data->GetLastRowId();
    if (!keep) rowId = NextRowIdAfter(last);
    // Once the counter wrapped its ids may still be in use, and a kept one must be
    // free: every new id is looked up. While all ids lie within the counter every id
    // above it is free. A table seen without any record under the write lock has no id
    // in use; the mark goes when the counter goes back or another writer's header is
    // taken over (HeaderChanged).
    if (data->GetPhysicalRecordCount() == 0) data->SetNoRowIds();
    if (!(data->RowIdsWithinLast() && rowId > last)) {
        FlushFillKeys();
        BuildPendingDeletedKeys();
        // A new id passes over those in use (the counter wrapped, or was set back): refused,
        // it would stay the next one and refuse every later insert as well. Fewer records
        // can be active than there are ids.
        if (keep)
            CheckRowIdFree(rowId);
        else
            while (RowIdInUse(rowId)) rowId = NextRowIdAfter(rowId);
    }
    buffer[0] = 0;
    bytes::PutU32(buffer + 1, recNo);
    bytes::PutU32(buffer + 5, rowId);
    const bool checkKeys = !(FComputedFields && !IsRecordNumberOrder());
    if (checkKeys) {
        const int32_t count = index->GetIndexCount();
        uint8_t* key = FKeyBuffer1.data();
        for (int32_t i = index->GetNoPrimaryIndex() ? 1 : 0; i <= count; ++i) {
            const TIndexDescriptor& d = index->IndexDescriptor(i);
            if (d.KeyLength == 0) continue;
            BuildIndexKey(i, d, buffer, key);
            if (KeyExists(i, key)) Raise(ZIZIVU_KEYVIOL, "", d.Name);
        }
    }
    bool counted = false;
    TWrittenBlobs blobs(*this, buffer);
    change.Alter([&] {
        TRecord* rec = nullptr;
        while (!data->AllocateRecord(this, rec)) {
        }
        if (rec->RecordNumber() != recNo) {
            data->ReleaseRecord(rec);
            Raise(ZIZIVU_RECBUFCORRUPT);
        }
        const uint32_t oldRowId = rec->GetRowWord();
        // Checked before the insert's own changes move the tree mark: the active index takes
        // one key of them.
        counted = KeyCountStands();
        TScopeGuard release([data, rec] { data->ReleaseRecord(rec); });
        InsertKeys(buffer, recNo);
        TCompareScope scope(*this, DeletedIndexNo, index->IndexDescriptor(DeletedIndexNo));
        uint8_t key[DeletedIndexKeyLength];
        if (!appended) {
            FlushFillKeys();
            BuildDeletedKey(1, oldRowId, key);
            if (!index->DeleteIndexKey(this, DeletedIndexNo, key)) Raise(ZIZIVU_PAGEBUFCORRUPT);
        }
        BuildDeletedKey(0, rowId, key);
        if (FPrivateFill && appended && !reposition) {
            // Put in with the fill's other new keys (FlushFillKeys), or by the sort after it.
            if (!FDeletedKeysPending) {
                FFillKeys.insert(FFillKeys.end(), key, key + DeletedIndexKeyLength);
                FFillRecords.push_back(recNo);
            }
        } else if (!index->InsertIndexKey(this, DeletedIndexNo, key, recNo)) {
            Raise(ZIZIVU_PAGEBUFCORRUPT);
        }
        data->SetLastRowId(keep ? std::max(NextRowIdAfter(last), rowId) : rowId);
        WriteBlobs(buffer, recNo, blobs);
        // Header and fields cover the whole image: no clearing first.
        rec->GetBuffer()[0] = 0;
        bytes::PutU32(rec->GetBuffer() + 1, recNo);
        bytes::PutU32(rec->GetBuffer() + 5, rowId);
        rec->CopyFields(buffer);
        index->IncCounter3974();
    });
    FlushAfterWriteAndView(recNo, buffer, reposition, false, counted);
}

void TDataCursor::ModifyRecord(uint8_t* buffer, bool reposition) {
    CheckOpen();
    CheckNotReadOnly();
    CompleteDeletedKeys();
    TReadScope read(*this);
    if (FBof || FEof || FRecNo == 0) Raise(ZIZIVU_NOCURRREC);
    const uint32_t recNo = FRecNo;
    TWriteScope write(*this);
    if (FRecNo != recNo) Raise(ZIZIVU_RECCHANGED);
    TDataFile* data = DataFile();
    TIndexFile* index = IndexFile();
    // The caller's lock (an edit's) goes with a modify that is done; when the modify fails,
    // the caller still edits the record and gives the lock up with its cancel. A lock taken
    // here goes either way.
    const bool callers =
        std::find(FLockedRecords.begin(), FLockedRecords.end(), recNo) != FLockedRecords.end();
    LockRecordInternal(recNo);
    const bool held = FTable->HoldsRecordLock(recNo);
    bool done = false;
    TScopeGuard unlock([this, held, callers, recNo, &done] {
        if (held && (done || !callers)) UnlockRecord(recNo);
    });
    TDataTable::TChangeScope change(*FTable);
    // The old record and the keys go into scratch the cursor keeps: an UPDATE modifies
    // row after row, and nothing below modifies through this cursor meanwhile.
    const int32_t count = index->GetIndexCount();
    FModifyScratch.resize(size_t(FPhysicalRecordSize) + size_t(2 * KeyBufferSize) * size_t(count + 1));
    uint8_t* const old = FModifyScratch.data();
    uint8_t* const keys = old + FPhysicalRecordSize;
    FetchRecord(recNo, old);
    if (old[0] != 0) Raise(ZIZIVU_RECCHANGED);
    ValidateRecord(buffer);
    const uint32_t oldRowId = bytes::GetU32(old + 5);
    uint32_t rowId = oldRowId;
    if (FKeepAutoInc && bytes::GetU32(buffer + 5) != 0) rowId = bytes::GetU32(buffer + 5);
    buffer[0] = 0;
    bytes::PutU32(buffer + 1, recNo);
    bytes::PutU32(buffer + 5, rowId);
    if (rowId != oldRowId) CheckRowIdFree(rowId);
    const int32_t firstIndex = index->GetNoPrimaryIndex() ? 1 : 0;
    // Index i's old key at keys + 2i key buffers, its new key right after.
    const auto oldKey = [keys](int32_t i) { return keys + size_t(2 * i) * KeyBufferSize; };
    const auto newKey = [keys](int32_t i) { return keys + size_t(2 * i + 1) * KeyBufferSize; };
    std::array<int32_t, IndexDescriptorCount> changed;
    size_t changedCount = 0;
    for (int32_t i = firstIndex; i <= count; ++i) {
        const TIndexDescriptor& d = index->IndexDescriptor(i);
        if (d.KeyLength == 0) continue;
        BuildIndexKey(i, d, old, oldKey(i));
        BuildIndexKey(i, d, buffer, newKey(i));
        if (std::memcmp(oldKey(i), newKey(i), d.KeyLength) == 0) continue;
        if (KeyExists(i, newKey(i))) Raise(ZIZIVU_KEYVIOL, "", d.Name);
        changed[changedCount++] = i;
    }
    // A BLOB field blanked or pointed elsewhere without its open buffer leaves the old chain
    // with no reference: it goes once the record is rewritten, as a deleted record's does.
    FStaleBlobs.clear();
    if (FTable->HasBlobFile())
        for (int32_t i = 0; i < data->GetFieldCount(); ++i) {
            const TFieldDescriptor& f = data->GetFieldDescriptor(i);
            if (f.DataType != dtBlob || old[f.Offset] == 0) continue;
            const int32_t was = bytes::GetI32(old + f.Offset + 1), now = bytes::GetI32(buffer + f.Offset + 1);
            if (was > 0 && now >= 0 && (buffer[f.Offset] == 0 || now != was))
                FStaleBlobs.push_back(uint32_t(was));
        }
    TWrittenBlobs blobs(*this, buffer);
    change.Alter([&] {
        WriteBlobs(buffer, recNo, blobs);
        for (size_t k = 0; k < changedCount; ++k) {
            const int32_t i = changed[k];
            const TIndexDescriptor& d = index->IndexDescriptor(i);
            TCompareScope scope(*this, i, d);
            // A small change of the key (a quantity counted up) often stays in its leaf: no
            // descents then for the removal and the insertion.
            if (index->MoveKeyWithinLeaf(this, i, oldKey(i), newKey(i), recNo)) continue;
            if (!index->DeleteIndexKey(this, i, oldKey(i))) Raise(ZIZIVU_PAGEBUFCORRUPT);
            if (!index->InsertIndexKey(this, i, newKey(i), recNo)) Raise(ZIZIVU_PAGEBUFCORRUPT);
        }
        if (rowId != oldRowId) {
            const TIndexDescriptor& deleted = index->IndexDescriptor(DeletedIndexNo);
            TCompareScope scope(*this, DeletedIndexNo, deleted);
            uint8_t key[DeletedIndexKeyLength];
            BuildDeletedKey(0, oldRowId, key);
            if (!index->DeleteIndexKey(this, DeletedIndexNo, key)) Raise(ZIZIVU_PAGEBUFCORRUPT);
            BuildDeletedKey(0, rowId, key);
            if (!index->InsertIndexKey(this, DeletedIndexNo, key, recNo)) Raise(ZIZIVU_PAGEBUFCORRUPT);
            if (rowId > data->GetLastRowId()) data->SetLastRowId(rowId);
        }
        TRecord* rec = nullptr;
        while (!data->GetRecord(this, recNo, rec, 1, false, false)) {
        }
        rec->CopyFields(buffer);
        bytes::PutU32(rec->GetBuffer() + 5, rowId);
        data->ReleaseRecord(rec);
        for (const uint32_t first : FStaleBlobs) FreeBlobChain(first, recNo);
    });
    FlushAfterWriteAndView(recNo, buffer, true, false);
    (void)reposition;
    done = true;
}

void TDataCursor::DeleteRecord() {
    CheckOpen();
    CheckNotReadOnly();
    CompleteDeletedKeys();
    TReadScope read(*this);
    if (FBof || FEof || FRecNo == 0) Raise(ZIZIVU_NOCURRREC);
    const uint32_t recNo = FRecNo;
    const std::vector<uint8_t> seen(FRecordBuffer.begin(), FRecordBuffer.begin() + FPhysicalRecordSize);
    TWriteScope write(*this);
    // The write lock's change check may have moved the cursor off a vanished record.
    if (FRecNo != recNo) Raise(ZIZIVU_RECCHANGED);
    LockRecordInternal(recNo);
    const bool held = FTable->HoldsRecordLock(recNo);
    TScopeGuard unlock([this, held, recNo] {
        if (held) UnlockRecord(recNo);
    });
    TDataTable::TChangeScope change(*FTable);
    std::vector<uint8_t> old(static_cast<size_t>(FPhysicalRecordSize));
    FetchRecord(recNo, old.data());
    if (old[0] != 0 || old != seen) Raise(ZIZIVU_RECCHANGED);
    change.Alter([&] { RemoveRecord(recNo, old.data(), {}); });
    FlushAfterWriteAndView(recNo, old.data(), false, true);
}

// ---- BLOBs --------------------------------------------------------------------------------

bool TDataCursor::IsBlobHandle(int32_t word) const {
    if (word >= 0) return false;
    for (const TOpenBlob& b : FBlobs)
        if (b.Handle == -word) return true;
    return false;
}

TDataCursor::TOpenBlob* TDataCursor::FindBlob(int32_t handle) {
    for (TOpenBlob& b : FBlobs)
        if (b.Handle == handle) return &b;
    return nullptr;
}

uint32_t TDataCursor::GetBlobBlocksNeeded(uint32_t length) {
    const uint32_t dataSize = uint32_t(GetBlobBlockDataSize());
    return (length + dataSize - 1) / dataSize;
}

uint16_t TDataCursor::CheckBlobField(int32_t fieldNo, const uint8_t* record, bool useTable,
                                     TOpenBlob*& blob) {
    blob = nullptr;
    const TFieldDescriptor& f = FieldAt(fieldNo, useTable);
    if (f.DataType != dtBlob) return ZIZIVU_INVALIDBLOBFIELD;
    const int32_t word = bytes::GetI32(record + f.Offset + 1);
    blob = word < 0 ? FindBlob(-word) : nullptr;
    return blob ? 0 : ZIZIVU_INVALIDBLOBHANDLE;
}

uint16_t TDataCursor::OpenBlob(int32_t fieldNo, uint8_t* record, int32_t tag, bool useTable, int32_t mode) {
    return BlobCode([&]() -> uint16_t {
        TReadScope read(*this);
        const TFieldDescriptor& f = FieldAt(fieldNo, useTable);
        if (f.DataType != dtBlob) return ZIZIVU_INVALIDBLOBFIELD;
        uint8_t* field = record + f.Offset + 1;
        const int32_t word = bytes::GetI32(field);
        if (word < 0) {
            TOpenBlob* b = FindBlob(-word);
            if (!b) return ZIZIVU_INVALIDBLOBOFFSET;
            if (b->Tag == 0) b->Tag = tag;
            return 0;
        }
        if (int32_t(FBlobs.size()) >= MaxOpenBlobs) return ZIZIVU_TOOMANYBLOBS;
        if (!FTable->HasBlobFile()) return ZIZIVU_INVALIDBLOBFIELD;
        TOpenBlob b;
        b.Handle = FNextBlobHandle++;
        if (FNextBlobHandle <= 0) FNextBlobHandle = 1;
        b.FieldNo = f.FieldNo;
        b.UseTable = useTable;
        b.PriorWord = word;
        b.BlobId = bytes::GetU32(field + 4);
        b.Mode = mode;
        b.Tag = tag;
        b.Buffer = std::make_unique<TBlobBuffer>(FTable->BlobFile(), this);
        b.Buffer->RecordNo = bytes::GetU32(record + 1);
        b.Buffer->FirstBlock = uint32_t(word);
        if (word != 0) b.Buffer->Load();
        bytes::PutI32(field, -b.Handle);
        FBlobs.push_back(std::move(b));
        return 0;
    });
}

void TDataCursor::FreeOpenBlob(size_t i) {
    FBlobs.erase(FBlobs.begin() + std::ptrdiff_t(i));
}

uint16_t TDataCursor::FreeBlob(int32_t fieldNo, uint8_t* record, int32_t tag, bool useTable) {
    return BlobCode([&]() -> uint16_t {
        TOpenBlob* b;
        if (uint16_t code = CheckBlobField(fieldNo, record, useTable, b)) return code;
        if (b->Tag != tag) return 0;
        const TFieldDescriptor& f = FieldAt(fieldNo, useTable);
        bytes::PutI32(record + f.Offset + 1, b->PriorWord);
        FreeOpenBlob(size_t(b - FBlobs.data()));
        return 0;
    });
}

uint16_t TDataCursor::GetBlob(int32_t fieldNo, const uint8_t* record, bool useTable, uint32_t& count,
                              uint32_t length, void* dest, uint32_t offset) {
    count = 0;
    return BlobCode([&]() -> uint16_t {
        TOpenBlob* b;
        if (uint16_t code = CheckBlobField(fieldNo, record, useTable, b)) return code;
        const uint32_t size = b->Buffer->Length();
        if (length == 0) return 0;
        if (offset >= size) return ZIZIVU_ENDOFBLOB;
        const uint32_t n = std::min(length, size - offset);
        std::memcpy(dest, b->Buffer->GetData() + offset, n);
        count = n;
        return n < length ? ZIZIVU_ENDOFBLOB : 0;
    });
}

uint16_t TDataCursor::PutBlob(int32_t fieldNo, uint8_t* record, bool useTable, uint32_t length,
                              const void* source, uint32_t offset) {
    return BlobCode([&]() -> uint16_t {
        TOpenBlob* b;
        if (uint16_t code = CheckBlobField(fieldNo, record, useTable, b)) return code;
        if (uint64_t(offset) + length > uint64_t(INT32_MAX)) return ZIZIVU_INVALIDBLOBLEN;
        if (offset + length > b->Buffer->Length()) b->Buffer->SetSize(offset + length);
        if (length > 0) std::memcpy(b->Buffer->GetData() + offset, source, length);
        b->Buffer->Modified = true;
        const TFieldDescriptor& f = FieldAt(fieldNo, useTable);
        record[f.Offset] = b->Buffer->Length() > 0 ? 1 : 0;
        return 0;
    });
}

uint16_t TDataCursor::TruncateBlob(int32_t fieldNo, uint8_t* record, bool useTable, uint32_t newSize) {
    return BlobCode([&]() -> uint16_t {
        TOpenBlob* b;
        if (uint16_t code = CheckBlobField(fieldNo, record, useTable, b)) return code;
        b->Buffer->SetSize(newSize);
        b->Buffer->Modified = true;
        const TFieldDescriptor& f = FieldAt(fieldNo, useTable);
        record[f.Offset] = newSize > 0 ? 1 : 0;
        return 0;
    });
}

uint16_t TDataCursor::GetBlobSize(int32_t fieldNo, const uint8_t* record, bool useTable, uint32_t& size) {
    size = 0;
    return BlobCode([&]() -> uint16_t {
        TOpenBlob* b;
        if (uint16_t code = CheckBlobField(fieldNo, record, useTable, b)) return code;
        size = b->Buffer->Length();
        return 0;
    });
}

void TDataCursor::ClearBlobFields(uint8_t* record) {
    for (int32_t n = 1; n <= FFieldCount; ++n) {
        if (FFields[size_t(n - 1)].DataType != dtBlob || FFields[size_t(n - 1)].Computed) continue;
        uint16_t code = OpenBlob(n, record, EngineBlobTag, false, bmReadWrite);
        if (code == 0) code = TruncateBlob(n, record, false, 0);
        if (code != 0) Raise(code);
    }
}

// Every modified open buffer of the record gets a new BLOB id and its blocks written (or
// freed when empty); then every BLOB field holds its stored words again.
void TDataCursor::WriteBlobs(uint8_t* record, uint32_t recordNo, TWrittenBlobs& written) {
    if (FBlobs.empty()) return;
    const TDataFile* data = DataFile();
    for (int32_t i = 0; i < data->GetFieldCount(); ++i) {
        const TFieldDescriptor& f = data->GetFieldDescriptor(i);
        if (f.DataType != dtBlob) continue;
        uint8_t* field = record + f.Offset + 1;
        const int32_t word = bytes::GetI32(field);
        TOpenBlob* open = word < 0 ? FindBlob(-word) : nullptr;
        if (!open) continue;
        TOpenBlob& b = written.Take(*open, f.Offset);
        if (b.Buffer->Modified) {
            TBlobBuffer& buffer = *b.Buffer;
            buffer.RecordNo = recordNo;
            if (buffer.Length() == 0) {
                buffer.FreeBlocks();
            } else {
                buffer.Save();
            }
            b.PriorWord = int32_t(buffer.FirstBlock);
            bytes::PutU32(field + 4, buffer.FirstBlock ? DataFile()->NextBlobId() : 0);
        }
        bytes::PutI32(field, b.PriorWord);
        record[f.Offset] = b.PriorWord != 0 ? 1 : 0;
    }
}

TDataCursor::TWrittenBlobs::TWrittenBlobs(TDataCursor& cursor, uint8_t* record)
    : FCursor(cursor), FRecord(record) {}

TDataCursor::TWrittenBlobs::~TWrittenBlobs() {
    if (FEntries.empty() || std::uncaught_exceptions() <= FExceptions) return;
    for (auto it = FEntries.rbegin(); it != FEntries.rend(); ++it) {
        it->Blob.Buffer->FirstBlock = it->FirstBlock;
        it->Blob.Buffer->Modified = it->Modified;
        it->Blob.PriorWord = it->PriorWord;
        std::memcpy(FRecord + it->Offset, it->Field, sizeof it->Field);
        FCursor.FBlobs.push_back(std::move(it->Blob));
    }
}

TDataCursor::TOpenBlob& TDataCursor::TWrittenBlobs::Take(TOpenBlob& open, uint16_t offset) {
    if (FEntries.empty()) FExceptions = std::uncaught_exceptions();
    TEntry e;
    e.FirstBlock = open.Buffer->FirstBlock;
    e.Modified = open.Buffer->Modified;
    e.PriorWord = open.PriorWord;
    e.Offset = offset;
    std::memcpy(e.Field, FRecord + offset, sizeof e.Field);
    const size_t i = size_t(&open - FCursor.FBlobs.data());
    e.Blob = std::move(open);
    FEntries.push_back(std::move(e));
    FCursor.FreeOpenBlob(i);
    return FEntries.back().Blob;
}

void TDataCursor::FreeRecordBlobs(const uint8_t* record, uint32_t recordNo) {
    if (!FTable->HasBlobFile()) return;
    const TDataFile* data = DataFile();
    for (int32_t i = 0; i < data->GetFieldCount(); ++i) {
        const TFieldDescriptor& f = data->GetFieldDescriptor(i);
        if (f.DataType != dtBlob) continue;
        const int32_t word = bytes::GetI32(record + f.Offset + 1);
        if (word > 0) FreeBlobChain(uint32_t(word), recordNo);
    }
}

void TDataCursor::FreeBlobChain(uint32_t firstBlock, uint32_t recordNo) {
    TBlobBuffer chain(FTable->BlobFile(), this);
    chain.RecordNo = recordNo;
    chain.FirstBlock = firstBlock;
    chain.FreeBlocks();
}

void TDataCursor::StoreBlobHandles(uint8_t* record, bool useTable) {
    if (!FOpen) return;
    const int32_t count = useTable ? DataFile()->GetFieldCount() : FFieldCount;
    for (int32_t n = 1; n <= count; ++n) {
        const TFieldDescriptor& f = useTable ? DataFile()->GetFieldDescriptor(n - 1) : FFields[size_t(n - 1)];
        if (f.DataType != dtBlob || f.Computed) continue;
        uint8_t* field = record + f.Offset + 1;
        const int32_t word = bytes::GetI32(field);
        TOpenBlob* b = word < 0 ? FindBlob(-word) : nullptr;
        if (b) bytes::PutI32(field, b->PriorWord);
    }
}

void TDataCursor::FreeBlobBuffers(bool all) {
    for (size_t i = FBlobs.size(); i-- > 0;)
        if (all || FBlobs[i].Tag != 0) FreeOpenBlob(i);
}
