// The engine dataset's keys: the active index, key buffers, ranges, key searches, Locate
// and Lookup.
#include "db/components/EngineCursor.h"
//
#include <algorithm>
#include <cstring>

#include "db/components/ZIZIVUDataSet.h"
#include "db/storage/Encodings.h"
#include "platform/rtl/DateFormat.h"
#include "platform/rtl/ScopeGuard.h"

namespace {

constexpr size_t FieldValueSize = 256;

bool IsTextType(uint8_t t) {
    return t == dtString || t == dtBlob || t == dtBytes || t == dtVarBytes;
}

}  // namespace

// ---- the active index ----

void TZIZIVUDataSet::GetIndexInfo() {
    FIndexFields.clear();
    FIndexCaseInsensitive = false;
    if (FCursor->ActiveIndex() == RecordNumberOrderIndex) return;
    const TIndexDescriptor& d = FCursor->ActiveIndexDescriptor();
    FIndexCaseInsensitive = d.CaseInsensitive != 0;
    for (int i = 0; i < d.FieldCount && i < MaxIndexFields; ++i) FIndexFields.push_back(d.FieldNumbers[i]);
}

void TZIZIVUDataSet::SwitchToIndex(const std::string& IndexName) {
    TZIZIVUDataSetLock lock(CursorSession());
    const int before = FCursor->ActiveIndex();
    FCursor->SwitchToIndex(IndexName);
    // The cursor drops its range only for another index.
    if (FCursor->ActiveIndex() != before) {
        InitKeyBuffer(kiCurRangeStart);
        InitKeyBuffer(kiCurRangeEnd);
    }
    SetBookmarkSize(FCursor->GetBookmarkSize());
    GetIndexInfo();
}

TField* TZIZIVUDataSet::FieldByNumber(int FieldNo) const {
    for (int i = 0; i < FieldCount(); ++i)
        if (!Fields(i)->Calculated() && Fields(i)->FieldNo() == FieldNo) return Fields(i);
    return nullptr;
}

TField* TZIZIVUDataSet::IndexField(int i) {
    if (i < 0 || i >= IndexFieldCount()) DatabaseError(SFieldIndexError, this);
    TField* f = FieldByNumber(FIndexFields[size_t(i)]);
    if (!f) {
        std::string name = FCursor ? FCursor->GetFieldDefinition(FIndexFields[size_t(i)]).Name : "";
        DatabaseError(Format("Cannot access index field '%s'", name), this);
    }
    return f;
}

bool TZIZIVUDataSet::GetIsIndexField(TField* Field) {
    if (Field->Calculated() || Field->FieldNo() < 1) return false;
    for (int n : FIndexFields)
        if (n == Field->FieldNo()) return true;
    return false;
}

bool TZIZIVUDataSet::RangeHoldsField(TField* Field) const {
    if (Field->Calculated() || FKeyBuffers.empty()) return false;
    for (TKeyIndex k : {kiCurRangeStart, kiCurRangeEnd}) {
        if (!KeyModified(k)) continue;
        // A field count of 0 spans every field of the index.
        const size_t n = KeyFieldCount(k) > 0 ? std::min(size_t(KeyFieldCount(k)), FIndexFields.size())
                                              : FIndexFields.size();
        for (size_t i = 0; i < n; ++i)
            if (FIndexFields[i] == Field->FieldNo()) return true;
    }
    return false;
}

bool TZIZIVUDataSet::IndexMatchesFields(const std::vector<TField*>& Fields, bool CaseInsensitive) const {
    if (FIndexCaseInsensitive != CaseInsensitive || FIndexFields.size() < Fields.size() || Fields.empty())
        return false;
    for (size_t i = 0; i < Fields.size(); ++i)
        if (Fields[i]->Calculated() || FIndexFields[i] != Fields[i]->FieldNo()) return false;
    return true;
}

// ---- key buffers ----

int32_t TZIZIVUDataSet::KeyFieldCount(TKeyIndex k) const {
    int32_t n;
    std::memcpy(&n, FKeyBuffers[k].data() + 1, 4);
    return n;
}

void TZIZIVUDataSet::InitKeyBuffer(TKeyIndex k) {
    std::vector<uint8_t>& b = FKeyBuffers[k];
    std::fill(b.begin(), b.end(), 0);
    FCursor->ClearRecordBuffer(b.data() + 5);
}

void TZIZIVUDataSet::SetKeyBuffer(TKeyIndex k, bool Clear) {
    CheckBrowseMode();
    FKeyIndex = k;
    FKeyBuffers[kiSave] = FKeyBuffers[k];
    if (Clear) InitKeyBuffer(k);
    SetState(dsSetKey);
    DataEvent(deDataSetChange);
}

void TZIZIVUDataSet::PostKeyBuffer(bool Commit) {
    DataEvent(deCheckBrowseMode);
    if (Commit)
        FKeyBuffers[FKeyIndex][0] = 1;
    else
        FKeyBuffers[FKeyIndex] = FKeyBuffers[kiSave];
    SetState(dsBrowse);
    DataEvent(deDataSetChange);
}

void TZIZIVUDataSet::SetKeyFieldsAt(TKeyIndex k, const std::vector<TVariant>& Values) {
    if (Values.size() > FIndexFields.size()) DatabaseError(SFieldIndexError, this);
    std::vector<TField*> fields;
    for (size_t i = 0; i < Values.size(); ++i) fields.push_back(IndexField(int(i)));
    TKeyIndex saved = FKeyIndex;
    FKeyIndex = k;
    InitKeyBuffer(k);
    TDataSetState old = SetTempState(dsSetKey);
    {
        TScopeGuard restore([&] {
            RestoreState(old);
            FKeyIndex = saved;
        });
        for (size_t i = 0; i < Values.size(); ++i) fields[i]->SetValue(Values[i]);
    }
    FKeyBuffers[k][0] = 1;
    int32_t n = int32_t(Values.size());
    std::memcpy(FKeyBuffers[k].data() + 1, &n, 4);
}

void TZIZIVUDataSet::SetKeyFields(const std::vector<TVariant>& Values) {
    SetKeyFieldsAt(kiRangeStart, Values);
    FKeyBuffers[kiRangeEnd] = FKeyBuffers[kiRangeStart];
}

// ---- ranges and key searches ----

void TZIZIVUDataSet::SetRangeStart() {
    SetKeyBuffer(kiRangeStart, true);
}

void TZIZIVUDataSet::SetRangeEnd() {
    SetKeyBuffer(kiRangeEnd, true);
}

void TZIZIVUDataSet::SetRange(const std::vector<TVariant>& StartValues,
                              const std::vector<TVariant>& EndValues) {
    CheckBrowseMode();
    SetKeyFieldsAt(kiRangeStart, StartValues);
    SetKeyFieldsAt(kiRangeEnd, EndValues);
    ApplyRange();
}

bool TZIZIVUDataSet::SetCursorRange() {
    if (FKeyBuffers[kiRangeStart] == FKeyBuffers[kiCurRangeStart] &&
        FKeyBuffers[kiRangeEnd] == FKeyBuffers[kiCurRangeEnd])
        return false;
    DestroyLookupCursor();  // a clone of the old view
    {
        TZIZIVUDataSetLock lock(CursorSession());
        // Keys of the edited buffers (a field count of 0 means every field of the index); a
        // range without a start begins at the lowest key, one without an end runs to the
        // highest.
        std::vector<uint8_t> start(KeyBufferSize, 0), end(KeyBufferSize, 0xFF);
        const bool hasStart = KeyModified(kiRangeStart), hasEnd = KeyModified(kiRangeEnd);
        if (hasStart) FCursor->BuildKey(KeyRecord(kiRangeStart), start.data());
        if (hasEnd) FCursor->BuildKey(KeyRecord(kiRangeEnd), end.data());
        FCursor->SetRange(true, hasStart ? start.data() : nullptr, hasStart ? KeyFieldCount(kiRangeStart) : 0,
                          end.data(), hasEnd ? KeyFieldCount(kiRangeEnd) : 0);
    }
    FKeyBuffers[kiCurRangeStart] = FKeyBuffers[kiRangeStart];
    FKeyBuffers[kiCurRangeEnd] = FKeyBuffers[kiRangeEnd];
    return true;
}

void TZIZIVUDataSet::ApplyRange() {
    CheckBrowseMode();
    if (SetCursorRange()) First();
}

bool TZIZIVUDataSet::ResetCursorRange() {
    if (!KeyModified(kiCurRangeStart) && !KeyModified(kiCurRangeEnd)) return false;
    DestroyLookupCursor();
    {
        TZIZIVUDataSetLock lock(CursorSession());
        FCursor->CancelRange();
    }
    InitKeyBuffer(kiCurRangeStart);
    InitKeyBuffer(kiCurRangeEnd);
    InitKeyBuffer(kiRangeStart);
    InitKeyBuffer(kiRangeEnd);
    return true;
}

void TZIZIVUDataSet::CancelRange() {
    CheckBrowseMode();
    if (ResetCursorRange()) First();
}

bool TZIZIVUDataSet::FindKey(const std::vector<TVariant>& KeyValues) {
    CheckBrowseMode();
    SetKeyFieldsAt(kiLookup, KeyValues);
    DoBeforeScroll();
    CursorPosChanged();
    bool found;
    {
        TZIZIVUDataSetLock lock(CursorSession());
        found = FCursor->FindKey(KeyRecord(kiLookup), false, nullptr, 0, false, KeyFieldCount(kiLookup));
    }
    if (found) {
        Resync(rmExact | rmCenter);
        DoAfterScroll();
    }
    return found;
}

// ---- Locate and Lookup ----

std::vector<TVariant> TZIZIVUDataSet::ValuesOf(const TVariant& Values, size_t Count) const {
    std::vector<TVariant> out;
    if (Count == 1 && !Values.IsArray()) {
        out.push_back(Values);
        return out;
    }
    if (!Values.IsArray() || size_t(Values.ArrayCount()) < Count)
        DatabaseError("Key values do not match the key fields", const_cast<TZIZIVUDataSet*>(this));
    for (size_t i = 0; i < Count; ++i) out.push_back(Values[int(i)]);
    return out;
}

int64_t TZIZIVUDataSet::CheckedKeyInteger(const TFieldDescriptor& d, const TVariant& Value) {
    // A value the field cannot hold is refused as the field refuses it (FindKey sets it
    // there): cut to the field's width it would find records holding another value.
    const int64_t v = Value.AsInteger();
    int64_t lo, hi;
    IntegerRangeOf(d.DataType, lo, hi);
    if (v >= lo && v <= hi) return v;
    TField* field = FindField(d.Name);
    const std::string name = field ? field->DisplayName() : d.Name;
    if (v < INT32_MIN || v > INT32_MAX) DatabaseError(Format(SFieldOutOfRange, name), this);
    DatabaseError(Format(SFieldRangeError, IntToStr(v), name, IntToStr(lo), IntToStr(hi)), this);
}

bool TZIZIVUDataSet::VariantToImage(const TFieldDescriptor& d, const TVariant& Value, uint8_t* Image) {
    std::memset(Image, 0, FieldValueSize);
    if (Value.IsNull()) return false;
    switch (d.DataType) {
        case dtString:
        case dtBytes:
        case dtVarBytes:
        case dtBlob: {
            std::string s = Value.AsString();
            if (s.empty()) return false;
            std::memcpy(Image, s.data(), std::min(s.size(), FieldValueSize - 1));
            return true;
        }
        case dtDate:
        case dtTime:
        case dtTimeStamp: {
            TTimeStamp ts = DateTimeToTimeStamp(Value.AsDateTime());
            if (d.DataType == dtTimeStamp) {
                double ms = TimeStampToMSecs(ts);
                std::memcpy(Image, &ms, 8);
            } else {
                int32_t v = d.DataType == dtDate ? ts.Date : ts.Time;
                std::memcpy(Image, &v, 4);
            }
            return true;
        }
        case dtBoolean: {
            uint16_t v = Value.AsBoolean() ? 1 : 0;
            std::memcpy(Image, &v, 2);
            return true;
        }
        case dtSmallInt:
        case dtWord: {
            auto v = static_cast<uint16_t>(CheckedKeyInteger(d, Value));
            std::memcpy(Image, &v, 2);
            return true;
        }
        case dtInteger:
        case dtLongWord: {
            auto v = static_cast<int32_t>(CheckedKeyInteger(d, Value));
            std::memcpy(Image, &v, 4);
            return true;
        }
        case dtFloat: {
            double v = Value.AsFloat();
            std::memcpy(Image, &v, 8);
            return true;
        }
        case dtBCD: {
            int64_t v = EncodeBCD(d.Decimals, Value.AsCurrency());
            std::memcpy(Image, &v, 8);
            return true;
        }
        default:
            return false;
    }
}

bool TZIZIVUDataSet::LocateRecord(const std::string& KeyFields, const TVariant& KeyValues,
                                  TLocateOptions Options, bool SyncCursor, const std::string& ResultFields,
                                  TVariant* Result) {
    CheckBrowseMode();
    std::vector<TField*> fields = GetFieldList(KeyFields);
    std::vector<TVariant> values = ValuesOf(KeyValues, fields.size());
    for (TField* f : fields)
        if (f->Calculated() || f->FieldNo() < 1)
            DatabaseError(Format(SFieldNotFound, f->DisplayName()), this);
    std::vector<TField*> results;
    if (!SyncCursor) results = GetFieldList(ResultFields);
    const bool caseInsensitive = (Options & loCaseInsensitive) != 0;
    TZIZIVUDataSetLock lock(CursorSession());
    CursorPosChanged();
    TDataCursor* cursor = FCursor;
    bool byIndex = IndexMatchesFields(fields, caseInsensitive);
    if (!SyncCursor) {
        if (TDataCursor* lookup = GetLookupCursor(KeyFields, caseInsensitive)) {
            cursor = lookup;
            byIndex = true;
        }
    }
    std::vector<uint8_t> record(size_t(FRecordSize) + 8, 0);
    bool found;
    if (byIndex) {
        // The values into a record; a partial search compares the last value's length.
        std::vector<uint8_t> key(size_t(FRecordSize) + 8, 0);
        cursor->ClearRecordBuffer(key.data());
        int32_t partial = 0;
        uint8_t image[FieldValueSize];
        for (size_t i = 0; i < fields.size(); ++i) {
            const TFieldDescriptor& d = cursor->GetFieldDefinition(fields[i]->FieldNo());
            TVariant v = values[i];
            if ((Options & loPartialKey) && i + 1 == fields.size() && IsTextType(d.DataType) && !v.IsNull()) {
                std::string s = v.AsString();
                if (!s.empty() && s.back() == '*') s.pop_back();
                partial = int32_t(s.size());
                v = TVariant(s);
            }
            bool has = VariantToImage(d, v, image);
            cursor->PutField(fields[i]->FieldNo(), key.data(), has ? image : nullptr);
        }
        int32_t count = int32_t(fields.size());
        if (partial > 0) --count;
        found = cursor->FindKey(key.data(), false, record.data(), partial, false, count);
    } else {
        found = LocateByFilter(cursor, fields, values, Options, record.data());
    }
    if (!found) return false;
    if (SyncCursor) {
        Resync(rmExact | rmCenter);
        return true;
    }
    // The result fields of the found record, read through the calculated-fields buffer.
    TRecordBuffer temp = AllocRecordBuffer();
    TRecordBuffer savedCalc = CalcBuffer();
    TDataSetState old = SetTempState(dsCalcFields);
    TScopeGuard restore([&] {
        RestoreState(old);
        SetCalcBuffer(savedCalc);
        FreeRecordBuffer(temp);
    });
    std::memcpy(temp, record.data(), size_t(FRecordSize));
    CalculateFields(temp);
    if (results.size() == 1) {
        *Result = results[0]->Value();
    } else {
        std::vector<TVariant> vals;
        for (TField* r : results) vals.push_back(r->Value());
        *Result = TVariant(std::move(vals));
    }
    return true;
}

bool TZIZIVUDataSet::Locate(const std::string& KeyFields, const TVariant& KeyValues, TLocateOptions Options) {
    DoBeforeScroll();
    bool found = LocateRecord(KeyFields, KeyValues, Options, true, "", nullptr);
    if (found) DoAfterScroll();
    return found;
}

TVariant TZIZIVUDataSet::Lookup(const std::string& KeyFields, const TVariant& KeyValues,
                                const std::string& ResultFields) {
    TVariant result = TVariant::Null();
    LocateRecord(KeyFields, KeyValues, 0, false, ResultFields, &result);
    return result;
}
