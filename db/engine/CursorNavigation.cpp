// The cursor's order and position: key images and their comparison, searches, ranges by
// ordinal bounds of the counted tree, the moves, record numbers and bookmarks, and the
// view bitmaps that record-number order (and filters) walk.
#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>

#include "db/engine/DataCursor.h"
#include "db/engine/DataTable.h"
#include "db/engine/EngineErrors.h"
#include "db/storage/Encodings.h"
#include "db/storage/LanguageSettings.h"
#include "db/storage/RecordsBitmap.h"
#include "platform/os/Locale.h"
#include "platform/rtl/ByteCodec.h"
#include "platform/rtl/ScopeGuard.h"
#include "platform/rtl/SysUtils.h"

namespace {

int Sign(int v) {
    return v < 0 ? -1 : v > 0 ? 1 : 0;
}

// Sign(memcmp) for the short keys a tree search compares at every step, without the call:
// eight bytes at a time read as big-endian numbers, then byte by byte.
int CompareKeyBytes(const uint8_t* a, const uint8_t* b, size_t n) {
    static_assert(std::endian::native == std::endian::little);
    for (; n >= 8; a += 8, b += 8, n -= 8) {
        uint64_t x, y;
        std::memcpy(&x, a, 8);
        std::memcpy(&y, b, 8);
        if (x != y) return __builtin_bswap64(x) < __builtin_bswap64(y) ? -1 : 1;
    }
    for (; n > 0; ++a, ++b, --n)
        if (*a != *b) return *a < *b ? -1 : 1;
    return 0;
}

}  // namespace

// ---- Keys -------------------------------------------------------------------------------

const TFieldDescriptor& TDataCursor::TableField(int32_t fieldNo) const {
    TDataFile* data = DataFile();
    const int32_t count = data->GetFieldCount();
    if (fieldNo >= 1 && fieldNo <= count && data->GetFieldDescriptor(fieldNo - 1).FieldNo == fieldNo)
        return data->GetFieldDescriptor(fieldNo - 1);
    for (int32_t i = 0; i < count; ++i)
        if (data->GetFieldDescriptor(i).FieldNo == fieldNo) return data->GetFieldDescriptor(i);
    Raise(ZIZIVU_INVALIDFIELD, IntToStr(fieldNo));
}

void TDataCursor::BuildDeletedKey(uint8_t status, uint32_t rowId, uint8_t* key) const {
    key[0] = status;
    EncodeIntegerKey(int32_t(rowId), key + 1);
}

void TDataCursor::BuildIndexKey(int32_t indexNo, const TIndexDescriptor& d, const uint8_t* record,
                                uint8_t* key) const {
    if (indexNo == DeletedIndexNo) {
        BuildDeletedKey(record[0] == 0 ? 0 : 1, bytes::GetU32(record + 5), key);
        return;
    }
    if (indexNo == RecordNumberOrderIndex || d.KeyLength == 0) return;
    std::memset(key, 0, d.KeyLength);
    static const uint8_t zeros[256] = {};
    int32_t off = 0;
    for (int32_t i = 0; i < d.FieldCount && i < MaxIndexFields; ++i) {
        const TFieldDescriptor& f = TableField(d.FieldNumbers[i]);
        const bool autoInc = f.IsAutoInc();
        const bool present = autoInc || record[f.Offset] != 0;
        const uint8_t* value = autoInc ? record + AutoIncOffset : record + f.Offset + 1;
        key[off] = present ? 1 : 0;
        const bool descending = d.FieldOptions[i] != 0 && d.Descending == 0;
        FieldToKey(f, present ? value : zeros, key + off, d.CaseInsensitive != 0, descending, FLanguage,
                   FSort);
        off += f.DataSize + 1;
    }
    if (!d.Unique && off + 4 <= d.KeyLength) EncodeIntegerKey(bytes::GetI32(record + 5), key + off);
}

void TDataCursor::BuildKey(const uint8_t* record, uint8_t* key) const {
    BuildIndexKey(FIndexNo, FIndex, record, key);
}

int32_t TDataCursor::CompareIndexKeys(const TIndexDescriptor& d, int32_t indexNo, const uint8_t* a,
                                      const uint8_t* b, int32_t length) const {
    if (indexNo == DeletedIndexNo) return CompareKeyBytes(a, b, size_t(length));
    const bool descending = d.Descending != 0;
    if (FLanguage == 0) {
        const int c = CompareKeyBytes(a, b, size_t(length));
        return descending ? -c : c;
    }
    int32_t off = 0;
    for (int32_t i = 0; i < d.FieldCount && i < MaxIndexFields && off < length; ++i) {
        const TFieldDescriptor& f = TableField(d.FieldNumbers[i]);
        const int32_t segment = std::min<int32_t>(f.DataSize + 1, length - off);
        const bool desc = descending || d.FieldOptions[i] != 0;
        int c;
        if (f.DataType == dtString) {
            c = Sign(int(a[off]) - int(b[off]));
            if (c == 0 && segment > 1) {
                const char* sa = reinterpret_cast<const char*>(a + off + 1);
                const char* sb = reinterpret_cast<const char*>(b + off + 1);
                const int32_t n = segment - 1;
                c = LocaleCompareStrings(MakeLCID(FLanguage, FSort), SORT_STRINGSORT | NORM_IGNORENONSPACE,
                                         sa, int(strnlen(sa, size_t(n))), sb, int(strnlen(sb, size_t(n))));
                // Equal under the locale but different bytes: the bytes decide, so that
                // the tree's keys stay distinct.
                if (c == 0) c = Sign(std::memcmp(sa, sb, size_t(n)));
            }
        } else {
            c = CompareKeyBytes(a + off, b + off, size_t(segment));
        }
        if (c != 0) return desc ? -c : c;
        off += segment;
    }
    if (off < length) {
        const int c = CompareKeyBytes(a + off, b + off, size_t(length - off));
        return descending ? -c : c;
    }
    return 0;
}

int32_t TDataCursor::CompareKeys(const uint8_t* a, const uint8_t* b, int32_t length) {
    if (FCmpIndex) return CompareIndexKeys(*FCmpIndex, FCmpIndexNo, a, b, length);
    return CompareIndexKeys(FIndex, FIndexNo, a, b, length);
}

// Whether a key byte is a string field's data byte (fills use the collation map there).
bool TDataCursor::IsStringSegmentByte(int32_t offset, bool& isFlag) const {
    isFlag = false;
    int32_t off = 0;
    for (int32_t i = 0; i < FIndex.FieldCount && i < MaxIndexFields; ++i) {
        const TFieldDescriptor& f = TableField(FIndex.FieldNumbers[i]);
        if (offset == off) {
            isFlag = true;
            return false;
        }
        if (offset < off + f.DataSize + 1) return f.DataType == dtString;
        off += f.DataSize + 1;
    }
    return false;
}

void TDataCursor::FillKey(uint8_t* key, int32_t prefixLength, bool high) const {
    const int32_t length = FIndex.KeyLength;
    const bool useMap = FLanguage != 0 && FIndexNo != DeletedIndexNo;
    for (int32_t i = std::max(prefixLength, 0); i < length; ++i) {
        bool isFlag;
        if (useMap && IsStringSegmentByte(i, isFlag))
            key[i] = high ? FCharMap[255] : FCharMap[0];
        else
            key[i] = high ? 0xFF : 0x00;
    }
}

void TDataCursor::CopyKeyPartLow(uint8_t* key, int32_t prefixLength) const {
    FillKey(key, prefixLength, false);
}

void TDataCursor::CopyKeyPartHigh(uint8_t* key, int32_t prefixLength) const {
    FillKey(key, prefixLength, true);
}

int32_t TDataCursor::PrefixLength(int32_t fieldCount, int32_t partialLength) const {
    int32_t length = partialLength > 0 ? partialLength + 1 : 0;
    for (int32_t i = 0; i < fieldCount && i < FIndex.FieldCount; ++i)
        length += TableField(FIndex.FieldNumbers[i]).DataSize + 1;
    return std::min<int32_t>(length, FIndex.KeyLength);
}

bool TDataCursor::KeyExists(int32_t indexNo, const uint8_t* key) {
    const TIndexDescriptor d = IndexFile()->GetIndexDescriptor(indexNo);
    TCompareScope scope(*this, indexNo, d);
    bool found;
    while (!IndexFile()->ContainsKey(this, indexNo, key, found)) AfterCachesDropped();
    return found;
}

// ---- Index selection ----------------------------------------------------------------------

void TDataCursor::SetActiveIndexNumber(int32_t n) {
    FIndexNo = n;
    if (n == RecordNumberOrderIndex || (n == 0 && IndexFile()->GetNoPrimaryIndex()))
        FIndex = TIndexDescriptor();
    else
        FIndex = IndexFile()->GetIndexDescriptor(n);
    if (IsRecordNumberOrder()) UpdateFilterState();
}

void TDataCursor::SwitchToIndexNumber(int32_t n) {
    CheckOpen();
    TReadScope read(*this);
    RefreshIfChanged();
    if (n != RecordNumberOrderIndex && n != DeletedIndexNo &&
        (n < 0 || n > IndexFile()->GetIndexCount() ||
         (n > 0 && IndexFile()->GetIndexDescriptor(n).KeyLength == 0)))
        Raise(ZIZIVU_INVALIDINDEXNAME, "", IntToStr(n));
    const bool onRecord = !FBof && !FEof && FRecNo != 0;
    const uint32_t recNo = FRecNo;
    // A range belongs to its index: only another index drops it.
    if (n != FIndexNo) {
        FRangeActive = false;
        std::fill(FRangeStart.begin(), FRangeStart.end(), 0);
        std::fill(FRangeEnd.begin(), FRangeEnd.end(), 0xFF);
    }
    SetActiveIndexNumber(n);
    UpdateFilterState();
    ResetView();
    if (onRecord) {
        FetchRecord(recNo, FRecordBuffer.data());
        FRecNo = recNo;
        Reposition();
    } else {
        FirstInternal();
    }
}

void TDataCursor::SwitchToIndex(const std::string& name) {
    CheckOpen();
    const std::string wanted = Trim(name);
    if (wanted.empty()) {
        SwitchToIndexNumber(0);
        return;
    }
    const int32_t count = IndexFile()->GetIndexCount();
    for (int32_t i = 1; i <= count; ++i) {
        if (SameText(IndexFile()->GetIndexDescriptor(i).Name, wanted)) {
            SwitchToIndexNumber(i);
            return;
        }
    }
    Raise(ZIZIVU_INVALIDINDEXNAME, "", wanted);
}

// ---- View bounds ------------------------------------------------------------------------

int32_t TDataCursor::ViewFirst() const {
    return IsRecordNumberOrder() ? 1 : FRangeFirst;
}

int32_t TDataCursor::ViewLast() const {
    return IsRecordNumberOrder() ? FFilteredCount : FRangeLast;
}

bool TDataCursor::RecordVisible(uint32_t recordNo) const {
    if (!FFiltered) return true;
    const TRecordsBitmap& view = View();
    return recordNo >= 1 && int64_t(recordNo) <= view.RecordCount() && view.GetBit(int32_t(recordNo));
}

void TDataCursor::ComputeRangeBounds() {
    if (IsRecordNumberOrder()) {
        FRangeFirst = 1;
        FRangeLast = GetTableRecordCount();
        return;
    }
    TCompareScope scope(*this, FIndexNo, FIndex);
    for (;;) {
        int32_t keys = 0;
        if (!IndexFile()->GetIndexKeyCount(this, FIndexNo, keys)) {
            AfterCachesDropped();
            continue;
        }
        if (!FRangeActive) {
            FRangeFirst = 1;
            FRangeLast = keys;
            FKeyCount = keys;
            FKeyCountIndexNo = FIndexNo;
            FKeyCountMark = IndexFile()->TreeMark();
            return;
        }
        if (CompareKeys(FRangeStart.data(), FRangeEnd.data(), FIndex.KeyLength) > 0) {
            FRangeFirst = FRangeLast = 0;
            return;
        }
        int32_t first, last;
        bool found;
        if (!IndexFile()->FindKeyOrdinal(this, FIndexNo, FRangeStart.data(), first, found)) continue;
        if (!IndexFile()->FindKeyOrdinal(this, FIndexNo, FRangeEnd.data(), last, found)) continue;
        if (!found) --last;
        FRangeFirst = first;
        FRangeLast = last;
        if (FRangeLast < FRangeFirst) FRangeFirst = FRangeLast = 0;
        return;
    }
}

void TDataCursor::ResetView() {
    if (!FOpen) return;
    BuildPendingDeletedKeys();
    ComputeRangeBounds();
    RebuildFilterBitmaps();
}

// ---- Positions ----------------------------------------------------------------------------

void TDataCursor::SetEmpty() {
    FBof = FEof = true;
    FOrdinal = 0;
    FRecNo = 0;
    std::fill(FCurKey.begin(), FCurKey.end(), 0);
}

void TDataCursor::SetBofAt() {
    if (GetRecordCount() == 0) {
        SetEmpty();
        return;
    }
    FBof = true;
    FEof = false;
    FRecNo = 0;
    FOrdinal = IsRecordNumberOrder() ? 0 : ViewFirst() - 1;
}

void TDataCursor::SetEofAt() {
    if (GetRecordCount() == 0) {
        SetEmpty();
        return;
    }
    FBof = false;
    FEof = true;
    FRecNo = 0;
    FOrdinal = IsRecordNumberOrder() ? FFilteredCount + 1 : ViewLast() + 1;
}

bool TDataCursor::OrdinalEntry(int32_t ordinal, uint8_t* key, uint32_t& recordNo, uint32_t* run,
                               uint32_t runMaximum, int32_t runDirection) {
    TIndexFile* index = IndexFile();
    // Nothing a descent reads has changed since the last one (the mark moves with every
    // page change, read or drop and every header change of the file, whichever cursor or
    // check caused it): the ordinal's entry lies as many slots away in the same leaf.
    if (FLeafMark == index->TreeMark() && FLeafIndexNo == FIndexNo) {
        const int64_t slot = int64_t(FLeaf.Slot) + (int64_t(ordinal) - FLeafOrdinal);
        if (slot >= 1 && slot <= INT32_MAX) {
            const TLeafSlot at{FLeaf.Page, int32_t(slot)};
            // One slot on along a run of following record numbers counted at the last entry
            // (the position's run, which PositionOnOrdinal keeps), with a bound one less: the
            // run goes on from here, one shorter, and is not counted again (a step would
            // otherwise count the rest of its run every time).
            const bool inRun = run && FRun >= 2 && runDirection == FRunDirection &&
                               slot == int64_t(FLeaf.Slot) + runDirection && runMaximum + 1 == FLeafRunMaximum;
            if (index->GetKeyInCachedLeaf(FIndexNo, at, key, recordNo, inRun ? nullptr : run, runMaximum,
                                          runDirection)) {
                if (inRun) *run = FRun - 1;
                FLeaf = at;
                FLeafOrdinal = ordinal;
                FLeafRunMaximum = runMaximum;
                return true;
            }
        }
    }
    FLeafMark = 0;
    TCompareScope scope(*this, FIndexNo, FIndex);
    bool found = false;
    TLeafSlot at;
    while (!index->GetKeyAtOrdinal(this, FIndexNo, ordinal, key, recordNo, found, run, runMaximum, runDirection,
                                   &at))
        AfterCachesDropped();
    if (found) {
        FLeafMark = index->TreeMark();
        FLeafIndexNo = FIndexNo;
        FLeafOrdinal = ordinal;
        FLeaf = at;
        FLeafRunMaximum = runMaximum;
    }
    return found;
}

void TDataCursor::PositionOnOrdinal(int32_t ordinal, int32_t stepDirection) {
    uint32_t recNo = 0;
    uint32_t run = 1;
    // A step reads ahead no further than the view goes.
    const int64_t left =
        stepDirection > 0 ? int64_t(ViewLast()) - ordinal + 1 : int64_t(ordinal) - ViewFirst() + 1;
    const uint32_t maximum = stepDirection == 0 ? 1 : uint32_t(std::clamp<int64_t>(left, 1, INT32_MAX));
    if (!OrdinalEntry(ordinal, FCurKey.data(), recNo, maximum > 1 ? &run : nullptr, maximum,
                      stepDirection < 0 ? -1 : 1)) {
        SetEofAt();
        return;
    }
    FOrdinal = ordinal;
    FRecNo = recNo;
    FBof = FEof = false;
    FRunRecNo = recNo;
    FRun = run;
    FRunDirection = stepDirection < 0 ? -1 : 1;
}

bool TDataCursor::WalkOrdinals(int32_t indexNo, int32_t from, int32_t to,
                               const std::function<bool(const uint8_t* key, uint32_t recordNo)>& fn) {
    TIndexFile* index = IndexFile();
    TPageRef cur(*index);
    if (!cur.Root(this, indexNo, TPagePos::Second)) return false;
    if (!cur || from < 1 || uint32_t(from) > cur->GetTotalCount()) return true;
    uint32_t rest = uint32_t(from);
    for (int32_t depth = 0; !cur->IsLeaf(); ++depth) {
        if (depth > 32) Raise(ZIZIVU_PAGEBUFCORRUPT);
        int32_t i = 1;
        for (; i <= cur->Count(); ++i) {
            const uint32_t n = cur->EntryCount(i);
            if (rest <= n) break;
            rest -= n;
        }
        if (i > cur->Count()) Raise(ZIZIVU_PAGEBUFCORRUPT);
        TPageRef child(*index);
        if (!child.Get(this, indexNo, cur->EntryValue(i))) return false;
        cur = std::move(child);
    }
    int32_t pos = int32_t(rest);
    const int32_t step = from <= to ? 1 : -1;
    int32_t ordinal = from;
    for (;;) {
        if (pos < 1 || pos > cur->Count()) Raise(ZIZIVU_PAGEBUFCORRUPT);
        if (!fn(cur->EntryKey(pos), cur->EntryValue(pos))) return true;
        if (ordinal == to) return true;
        ordinal += step;
        pos += step;
        if (pos < 1 || pos > cur->Count()) {
            const uint32_t next = step > 0 ? cur->Next() : cur->Prev();
            if (next == 0) return true;
            TPageRef page(*index);
            if (!page.Get(this, indexNo, next)) return false;
            cur = std::move(page);
            pos = step > 0 ? 1 : cur->Count();
        }
    }
}

void TDataCursor::StepRecordOrder(int32_t n) {
    const TRecordsBitmap& view = View();
    int32_t position = FBof ? 0 : FEof ? int32_t(view.RecordCount()) + 1 : int32_t(FRecNo);
    int32_t ordinal = FBof ? 0 : FEof ? FFilteredCount + 1 : FOrdinal;
    if (n > 0) {
        if (FEof) return;
        int32_t pos = position, ord = ordinal;
        if (view.FindNext(pos, n, ord)) {
            FRecNo = uint32_t(pos);
            FOrdinal = ord;
            FBof = FEof = false;
        } else {
            SetEofAt();
        }
    } else {
        if (FBof) return;
        if (FEof) {
            position = view.RecordCount() + 1;
            ordinal = FFilteredCount + 1;
        }
        int32_t pos = position, ord = ordinal;
        if (view.FindPrior(pos, -n, ord)) {
            FRecNo = uint32_t(pos);
            FOrdinal = ord;
            FBof = FEof = false;
        } else {
            SetBofAt();
        }
    }
}

void TDataCursor::StepIndexOrder(int32_t n) {
    const int32_t first = ViewFirst(), last = ViewLast();
    int32_t from = FBof ? first - 1 : FEof ? last + 1 : FOrdinal;
    if (n > 0 && FEof) return;
    if (n < 0 && FBof) return;
    if (!FFiltered) {
        const int64_t target = int64_t(from) + n;
        if (target > last) {
            SetEofAt();
        } else if (target < first) {
            SetBofAt();
        } else {
            PositionOnOrdinal(int32_t(target), n > 0 ? 1 : -1);
        }
        return;
    }
    // Filtered: only visible entries count.
    const int32_t fromPosition = KnownVisiblePosition();
    const int32_t start = n > 0 ? from + 1 : from - 1;
    const int32_t stop = n > 0 ? last : first;
    if ((n > 0 && start > stop) || (n < 0 && start < stop)) {
        if (n > 0)
            SetEofAt();
        else
            SetBofAt();
        return;
    }
    int32_t remaining = n > 0 ? n : -n;
    int32_t ordinal = start - (n > 0 ? 1 : -1);
    int32_t hit = 0;
    uint32_t hitRec = 0;
    while (!WalkOrdinals(FIndexNo, start, stop, [&](const uint8_t* key, uint32_t recNo) {
        ordinal += n > 0 ? 1 : -1;
        if (!RecordVisible(recNo)) return true;
        if (--remaining > 0) return true;
        hit = ordinal;
        hitRec = recNo;
        std::memcpy(FCurKey.data(), key, FIndex.KeyLength);
        return false;
    })) {
        AfterCachesDropped();
        remaining = n > 0 ? n : -n;
        ordinal = start - (n > 0 ? 1 : -1);
    }
    if (hit == 0) {
        if (n > 0)
            SetEofAt();
        else
            SetBofAt();
        return;
    }
    FOrdinal = hit;
    FRecNo = hitRec;
    FBof = FEof = false;
    if (fromPosition >= 0) RememberVisiblePosition(fromPosition + n);
}

void TDataCursor::FirstInternal() {
    SetBofAt();
    LoadCurrentRecord();
}

void TDataCursor::LastInternal() {
    SetEofAt();
    LoadCurrentRecord();
}

void TDataCursor::First() {
    CheckOpen();
    TReadScope read(*this);
    RefreshIfChanged();
    FirstInternal();
}

void TDataCursor::Last() {
    CheckOpen();
    TReadScope read(*this);
    RefreshIfChanged();
    LastInternal();
}

void TDataCursor::Skip(int32_t n) {
    CheckOpen();
    if (n == 0) return;
    TReadScope read(*this);
    // A change found here takes the cursor back to its record, or to a neighbour when the
    // record is gone: the step counts from the record as it stood.
    const bool onRecord = !FBof && !FEof;
    const uint32_t fromRecNo = FRecNo;
    uint8_t fromKey[KeyBufferSize];
    if (onRecord && !IsRecordNumberOrder()) std::memcpy(fromKey, FCurKey.data(), size_t(FIndex.KeyLength));
    RefreshIfChanged();
    // (Back on the same record, nothing moved: the common case needs no comparison.)
    if (onRecord && (FRecNo != fromRecNo || FBof || FEof))
        n = StepsLeftAfterReposition(n, fromKey, fromRecNo);
    if (n == 0) return;
    StepFromPosition(n);
}

int32_t TDataCursor::StepsLeftAfterReposition(int32_t n, const uint8_t* fromKey, uint32_t fromRecNo) {
    if (FBof || FEof) return n;
    const int32_t c = IsRecordNumberOrder()
                          ? (FRecNo > fromRecNo) - (FRecNo < fromRecNo)
                          : CompareIndexKeys(FIndex, FIndexNo, FCurKey.data(), fromKey, FIndex.KeyLength);
    if (n > 0 && c > 0) return n - 1;
    if (n < 0 && c < 0) return n + 1;
    return n;
}

// A step counts from the position's ordinal, then reads the record it lands on. A change
// found meanwhile (at a cache miss) is in neither: the ordinals counted the table as it was,
// and the record read may no longer be the one the index named. The cursor goes back to the
// record it started from, in the changed table, and steps again.
void TDataCursor::StepFromPosition(int32_t n) {
    const uint32_t recNo = FRecNo;
    const int32_t ordinal = FOrdinal;
    const bool bof = FBof, eof = FEof;
    FStepFrom.assign(FRecordBuffer.begin(), FRecordBuffer.end());
    int32_t steps = n;
    for (;;) {
        FPositionStale = false;
        if (steps != 0) {
            if (IsRecordNumberOrder())
                StepRecordOrder(steps);
            else
                StepIndexOrder(steps);
        }
        if (!FPositionStale) {
            LoadCurrentRecord();
            if (!FPositionStale) return;
        }
        FRecNo = recNo;
        FOrdinal = ordinal;
        FBof = bof;
        FEof = eof;
        std::copy(FStepFrom.begin(), FStepFrom.end(), FRecordBuffer.begin());
        uint8_t fromKey[KeyBufferSize];
        if (!IsRecordNumberOrder()) BuildKey(FRecordBuffer.data(), fromKey);
        Reposition();
        steps = bof || eof ? n : StepsLeftAfterReposition(n, fromKey, recNo);
    }
}

void TDataCursor::MoveToRecNo(int32_t n) {
    CheckOpen();
    TReadScope read(*this);
    RefreshIfChanged();
    // The n-th record of the view as it is: counted again when a change is found meanwhile.
    do {
        FPositionStale = false;
        const int32_t count = GetRecordCount();
        if (n < 1) {
            SetBofAt();
        } else if (n > count) {
            SetEofAt();
        } else if (IsRecordNumberOrder() || FFiltered) {
            SetBofAt();
            if (IsRecordNumberOrder())
                StepRecordOrder(n);
            else
                StepIndexOrder(n);
        } else {
            PositionOnOrdinal(ViewFirst() + n - 1);
        }
        if (!FPositionStale) LoadCurrentRecord();
    } while (FPositionStale);
}

void TDataCursor::GoNearestRecord(uint32_t recordNo) {
    const TRecordsBitmap& view = View();
    if (FFilteredCount == 0 || view.RecordCount() == 0) {
        SetEmpty();
        return;
    }
    const int32_t max = view.RecordCount();
    int32_t n = int32_t(std::min<uint32_t>(recordNo, uint32_t(max)));
    if (n >= 1 && view.GetBit(n)) {
        FRecNo = uint32_t(n);
        FOrdinal = view.CountBefore(n) + 1;
        FBof = FEof = false;
        return;
    }
    int32_t pos = n, ord = 0;
    if (view.FindNext(pos, 1, ord) || (pos = n, view.FindPrior(pos, 1, ord))) {
        FRecNo = uint32_t(pos);
        FOrdinal = view.CountBefore(pos) + 1;
        FBof = FEof = false;
        return;
    }
    SetEmpty();
}

void TDataCursor::SetRecordNumberPosition(int32_t n) {
    CheckOpen();
    if (n == 0) return;
    TReadScope read(*this);
    RefreshIfChanged();
    const int32_t physical = int32_t(DataFile()->GetPhysicalRecordCount());
    n = std::clamp(n, 1, std::max(physical, 1));
    GoNearestRecord(uint32_t(n));
    LoadCurrentRecord();
}

// The first key not below the search key that the view shows; an empty view when none. A
// change found during the search recounts the view under it: the search is made again.
bool TDataCursor::SeekNearest(const uint8_t* key) {
    for (;;) {
        FPositionStale = false;
        const bool found = SeekNearestOnce(key);
        if (!FPositionStale) return found;
    }
}

bool TDataCursor::SeekNearestOnce(const uint8_t* key) {
    const int32_t first = ViewFirst(), last = ViewLast();
    if (last < first || last < 1) {
        SetEmpty();
        return false;
    }
    int32_t ordinal;
    bool found;
    {
        TCompareScope scope(*this, FIndexNo, FIndex);
        while (!IndexFile()->FindKeyOrdinal(this, FIndexNo, key, ordinal, found)) AfterCachesDropped();
    }
    if (ordinal < first) {
        ordinal = first;
        found = false;
    }
    if (ordinal > last) {
        SetEofAt();
        if (!FFiltered) return false;
        StepIndexOrder(-1);
        return false;
    }
    if (!FFiltered) {
        PositionOnOrdinal(ordinal);
        return found;
    }
    FOrdinal = ordinal - 1;
    FBof = FEof = false;
    StepIndexOrder(1);
    if (FEof) StepIndexOrder(-1);
    return found && !FEof && !FBof && FOrdinal == ordinal;
}

bool TDataCursor::SeekKey(const uint8_t* key, bool nearest) {
    CheckOpen();
    if (IsRecordNumberOrder()) return false;
    const bool bof = FBof, eof = FEof;
    const std::vector<uint8_t> from = FCurKey;
    if (SeekNearest(key)) return true;
    if (nearest) return false;
    // An exact search that missed goes back: to the record (its key, so found again unless
    // it left the view meanwhile) or to the end it stood at.
    if (!bof && !eof)
        SeekNearest(from.data());
    else if (bof && eof)
        SetEmpty();
    else if (bof)
        SetBofAt();
    else
        SetEofAt();
    return false;
}

// A partial text under a locale. The keys that begin with the given characters are no
// single run there: a key that differs from them earlier only in case or accents (a lesser
// difference than a later letter's) sorts among them, as "smith" among the keys beginning
// with "S". They all lie between the characters alone (the lowest of them, since keys equal
// under the locale are ordered by their bytes) and the characters followed by the locale's
// highest character; the first key between these bounds that begins with the characters
// is the one found. When none does, the cursor is left on the first key not below the start.
bool TDataCursor::SeekPartialText(const uint8_t* key, int32_t fieldCount, int32_t prefixLength) {
    const int32_t segmentEnd = PrefixLength(fieldCount + 1, 0);
    std::vector<uint8_t> low(key, key + FIndex.KeyLength), high(low);
    std::fill(low.begin() + prefixLength, low.begin() + segmentEnd, uint8_t(0));
    FillKey(low.data(), segmentEnd, false);
    FillKey(high.data(), prefixLength, true);
    const bool descending = FIndex.Descending != 0;
    const uint8_t* start = descending ? high.data() : low.data();
    const uint8_t* bound = descending ? low.data() : high.data();
    for (;;) {
        SeekNearest(start);
        bool found = false;
        while (!FBof && !FEof && !FPositionStale) {
            if (CompareKeys(FCurKey.data(), low.data(), prefixLength) == 0) {
                found = true;
                break;
            }
            if (CompareKeys(FCurKey.data(), bound, FIndex.KeyLength) > 0) break;
            StepIndexOrder(1);
        }
        if (FPositionStale) continue;
        if (!found) SeekNearest(start);
        return found;
    }
}

bool TDataCursor::FindKey(const uint8_t* source, bool isKey, uint8_t* record, int32_t partialLength,
                          bool nearest, int32_t fieldCount) {
    CheckOpen();
    if (IsRecordNumberOrder()) return false;
    TReadScope read(*this);
    RefreshIfChanged();
    uint8_t* key = FKeyBuffer1.data();
    if (isKey)
        std::memcpy(key, source, FIndex.KeyLength);
    else
        BuildKey(source, key);
    bool found;
    bool moved = true;
    if (FIndex.Unique && ((fieldCount >= FIndex.FieldCount) || (fieldCount == 0 && partialLength == 0))) {
        found = SeekKey(key, nearest);
        moved = found || nearest;
    } else {
        if (fieldCount == 0 && partialLength == 0) fieldCount = FIndex.FieldCount;
        const int32_t prefix = PrefixLength(fieldCount, partialLength);
        const bool localeText = partialLength > 0 && FLanguage != 0 && fieldCount < FIndex.FieldCount &&
                                TableField(FIndex.FieldNumbers[fieldCount]).DataType == dtString;
        if (localeText) {
            found = SeekPartialText(key, fieldCount, prefix);
        } else {
            FillKey(key, prefix, FIndex.Descending != 0);
            SeekNearest(key);
            found = !FBof && !FEof && CompareKeys(FCurKey.data(), key, prefix) == 0;
        }
    }
    if (moved && FEof && !FBof) StepIndexOrder(-1);
    LoadCurrentRecord();
    if (record) std::memcpy(record, FRecordBuffer.data(), FRecordBuffer.size());
    return found;
}

// ---- Ranges -------------------------------------------------------------------------------

void TDataCursor::LoadRange(const uint8_t* source, bool isKey, int32_t fieldCount, bool high,
                            uint8_t* key) const {
    std::memset(key, 0, KeyBufferSize);
    if (!source) return;
    if (isKey)
        std::memcpy(key, source, FIndex.KeyLength);
    else
        BuildKey(source, key);
    if ((fieldCount >= 1 && fieldCount < FIndex.FieldCount) || !FIndex.Unique) {
        if (fieldCount == 0 || fieldCount > FIndex.FieldCount) fieldCount = FIndex.FieldCount;
        FillKey(key, PrefixLength(fieldCount, 0), FIndex.Descending ? !high : high);
    }
}

void TDataCursor::SetRange(bool isKey, const uint8_t* start, int32_t startFields, const uint8_t* end,
                           int32_t endFields) {
    CheckOpen();
    if (IsRecordNumberOrder()) return;
    TReadScope read(*this);
    RefreshIfChanged();
    LoadRange(start, isKey, startFields, false, FRangeStart.data());
    LoadRange(end, isKey, endFields, true, FRangeEnd.data());
    FRangeActive = true;
    ResetView();
    Reposition();
}

void TDataCursor::CancelRange() {
    CheckOpen();
    TReadScope read(*this);
    std::fill(FRangeStart.begin(), FRangeStart.end(), 0);
    std::fill(FRangeEnd.begin(), FRangeEnd.end(), 0xFF);
    FRangeActive = false;
    ResetView();
    Reposition();
}

// ---- Numbers and counts -------------------------------------------------------------------

int32_t TDataCursor::GetTableRecordCount() {
    CheckOpen();
    return int32_t(IndexFile()->GetCounter3974());
}

int32_t TDataCursor::GetRecordCount() {
    CheckOpen();
    if (FFiltered) return FFilteredCount;
    if (IsRecordNumberOrder()) return GetTableRecordCount();
    return FRangeFirst >= 1 && FRangeLast >= 1 ? FRangeLast - FRangeFirst + 1 : 0;
}

int32_t TDataCursor::KnownVisiblePosition() {
    if (FBof) return 0;
    if (FEof) return FFilteredCount + 1;
    const TVisiblePosition& v = FVisiblePosition;
    if (v.IndexNo != FIndexNo || v.Ordinal != FOrdinal || v.RecNo != FRecNo || v.Stamp != FViewStamp ||
        v.TreeMark != IndexFile()->TreeMark())
        return -1;
    return v.Position;
}

void TDataCursor::RememberVisiblePosition(int32_t position) {
    FVisiblePosition = {FIndexNo, FOrdinal, FRecNo, FViewStamp, IndexFile()->TreeMark(), position};
}

int32_t TDataCursor::IndexOrderRecNo() {
    if (FFiltered) {
        if (!FBof && !FEof) {
            const int32_t known = KnownVisiblePosition();
            if (known >= 0) return known;
        }
        int32_t count = 0;
        while (!WalkOrdinals(FIndexNo, ViewFirst(), FOrdinal, [&](const uint8_t*, uint32_t recNo) {
            if (RecordVisible(recNo)) ++count;
            return true;
        }))
            count = 0;
        if (!FBof && !FEof) RememberVisiblePosition(count);
        return count;
    }
    return FOrdinal < 1 ? 0 : FOrdinal - ViewFirst() + 1;
}

uint32_t TDataCursor::GetPhysicalRecordNumber() const {
    return FBof || FEof ? 0 : FRecNo;
}

uint32_t TDataCursor::CountVisibleRun(uint32_t count, int32_t direction) {
    if (FBof || FEof || FRecNo == 0) return 0;
    return VisibleRun(FRecNo, direction, count);
}

uint32_t TDataCursor::VisibleRun(uint32_t recordNo, int32_t direction, uint32_t maximum) {
    if (!IsRecordNumberOrder() && recordNo != 0 && recordNo == FRunRecNo)
        maximum = std::min(maximum, std::max<uint32_t>(FRun, 1));
    if (!FFiltered) return maximum;
    const TRecordsBitmap& view = View();
    uint32_t run = 0;
    int64_t n = recordNo;
    while (run < maximum && n >= 1 && n <= view.RecordCount() && view.GetBit(int32_t(n))) {
        ++run;
        n += direction == 1 ? 1 : -1;
    }
    return std::max<uint32_t>(run, 1);
}

// ---- Bookmarks ----------------------------------------------------------------------------

int32_t TDataCursor::GetBookmarkSize() const {
    return IsRecordNumberOrder() ? 4 : FIndex.KeyLength;
}

void TDataCursor::GetBookmark(uint8_t* bookmark) const {
    if (IsRecordNumberOrder()) {
        bytes::PutU32(bookmark, GetPhysicalRecordNumber());
        return;
    }
    if (FBof || FEof)
        std::memset(bookmark, 0, FIndex.KeyLength);
    else
        std::memcpy(bookmark, FCurKey.data(), FIndex.KeyLength);
}

bool TDataCursor::GotoBookmark(const uint8_t* bookmark, bool acceptNearest, bool skipRefresh) {
    CheckOpen();
    TReadScope read(*this);
    if (!skipRefresh) RefreshIfChanged();
    if (IsRecordNumberOrder()) {
        const uint32_t n = bytes::GetU32(bookmark);
        GoNearestRecord(n == 0 ? 1 : n);
    } else {
        SeekNearest(bookmark);
        if (FEof && !FBof) StepIndexOrder(-1);
    }
    LoadCurrentRecord();
    if (FBof && FEof) return false;
    if (acceptNearest) return true;
    std::vector<uint8_t> now(size_t(std::max(GetBookmarkSize(), 4)));
    GetBookmark(now.data());
    return std::memcmp(now.data(), bookmark, size_t(GetBookmarkSize())) == 0;
}

int32_t TDataCursor::CompareBookmarks(const uint8_t* a, const uint8_t* b) {
    CheckOpen();
    if (IsRecordNumberOrder()) {
        const uint32_t x = bytes::GetU32(a), y = bytes::GetU32(b);
        return x < y ? -1 : x > y ? 1 : 0;
    }
    return CompareKeys(a, b, FIndex.KeyLength);
}

uint16_t TDataCursor::GotoCursorRecord(TDataCursor& other) {
    CheckOpen();
    const uint32_t recNo = other.GetPhysicalRecordNumber();
    if (recNo == 0) return ZIZIVU_RECNOTFOUND;
    TReadScope read(*this);
    RefreshIfChanged();
    std::vector<uint8_t> image(size_t(std::max(FPhysicalRecordSize, RecordHeaderSize)));
    FetchRecord(recNo, image.data());
    if (image[0] != 0 || !RecordVisible(recNo)) return ZIZIVU_RECNOTFOUND;
    if (IsRecordNumberOrder()) {
        GoNearestRecord(recNo);
    } else {
        uint8_t* key = FKeyBuffer2.data();
        BuildKey(image.data(), key);
        if (!SeekNearest(key) || FRecNo != recNo) {
            LoadCurrentRecord();
            return ZIZIVU_RECNOTFOUND;
        }
    }
    LoadCurrentRecord();
    return FRecNo == recNo ? 0 : ZIZIVU_RECNOTFOUND;
}

void TDataCursor::Reposition() {
    if (!FOpen) return;
    if (FBof && FEof) {
        SetBofAt();
    } else if (FBof) {
        SetBofAt();
    } else if (FEof) {
        SetEofAt();
    } else {
        // Back to the record by its number or its key, as often as reading it finds the table
        // changed again.
        uint8_t key[KeyBufferSize];
        const uint32_t recNo = FRecNo;
        const bool keyed = !IsRecordNumberOrder();
        if (keyed) BuildKey(FRecordBuffer.data(), key);
        do {
            if (keyed)
                SeekNearest(key);
            else
                GoNearestRecord(recNo);
            FPositionStale = false;
            LoadCurrentRecord();
        } while (FPositionStale);
        return;
    }
    FPositionStale = false;
    LoadCurrentRecord();
}

// ---- View bitmaps -------------------------------------------------------------------------

void TDataCursor::UpdateFilterState() {
    bool any = false;
    for (const auto& f : FFilters)
        if (f->IsActive()) any = true;
    const bool filtered = any || IsRecordNumberOrder();
    if (!filtered && FFiltered) {
        for (TRecordsBitmap* b : {&FRangeBitmap, &FLiveBitmap, &FViewBitmap}) b->ClearAll();
        FViewIsLive = false;
        FFilteredCount = 0;
    }
    FFiltered = filtered;
}

void TDataCursor::MarkLiveRecords(TRecordsBitmap& bitmap) {
    const int32_t physical = int32_t(DataFile()->GetPhysicalRecordCount());
    if (physical == 0 && Exclusive()) {
        // No record to mark (a result table just emptied): the deleted-records keys could
        // only fall outside the bitmap. Nobody else opens the table, so the walk has no
        // change check to run either.
        bitmap.SetRecordCount(0);
        bitmap.ClearAll();
        bitmap.NotBitmap();
        return;
    }
    const TIndexDescriptor d = IndexFile()->GetIndexDescriptor(DeletedIndexNo);
    TCompareScope scope(*this, DeletedIndexNo, d);
    for (;;) {
        bitmap.SetRecordCount(physical);
        bitmap.ClearAll();
        uint8_t low[DeletedIndexKeyLength] = {1, 0, 0, 0, 0};
        int32_t from, count;
        bool found;
        if (!IndexFile()->FindKeyOrdinal(this, DeletedIndexNo, low, from, found)) continue;
        if (!IndexFile()->GetIndexKeyCount(this, DeletedIndexNo, count)) continue;
        if (from <= count && !WalkOrdinals(DeletedIndexNo, from, count, [&](const uint8_t*, uint32_t recNo) {
                if (recNo >= 1 && int64_t(recNo) <= physical) bitmap.SetBit(int32_t(recNo));
                return true;
            }))
            continue;
        bitmap.NotBitmap();
        return;
    }
}

void TDataCursor::MarkRangeRecords(TRecordsBitmap& bitmap) {
    const int32_t physical = int32_t(DataFile()->GetPhysicalRecordCount());
    for (;;) {
        bitmap.SetRecordCount(physical);
        bitmap.ClearAll();
        if (FRangeFirst < 1 || FRangeLast < FRangeFirst) return;
        if (WalkOrdinals(FIndexNo, FRangeFirst, FRangeLast, [&](const uint8_t*, uint32_t recNo) {
                if (recNo >= 1 && int64_t(recNo) <= physical) bitmap.SetBit(int32_t(recNo));
                return true;
            }))
            return;
    }
}

void TDataCursor::RebuildFilterBitmaps() {
    if (!FFiltered || FRebuilding) return;
    FRebuilding = true;
    {
        TScopeGuard rebuilt([this] { FRebuilding = false; });
        for (;;) {
            const bool ranged = FRangeActive && !IsRecordNumberOrder();
            if (ranged)
                MarkRangeRecords(FRangeBitmap);
            else
                FRangeBitmap.SetRecordCount(int32_t(DataFile()->GetPhysicalRecordCount()));
            SeparateView();
            MarkLiveRecords(FLiveBitmap);
            bool restart = false;
            TRecordsBitmap narrowed;
            for (const auto& f : FFilters) {
                if (!f->IsActive()) continue;
                f->BuildResult(FilterCandidates(f.get(), narrowed), restart);
                if (restart) break;
            }
            if (!restart) break;
        }
    }
    ResetFilterBitmaps();
}

const TRecordsBitmap& TDataCursor::FilterCandidates(const TCursorFilter* filter,
                                                    TRecordsBitmap& narrowed) const {
    bool narrow = false;
    auto narrowBy = [&](const TRecordsBitmap& b) {
        if (!narrow) narrowed.Assign(FLiveBitmap);
        narrow = true;
        narrowed.AndBitmap(b);
    };
    if (FRangeActive && !IsRecordNumberOrder()) narrowBy(FRangeBitmap);
    if (filter->IsChained())
        for (const auto& f : FFilters) {
            if (f.get() == filter) break;
            if (f->IsActive()) narrowBy(f->Result());
        }
    // The live records alone are taken as they stand (a result starts as their copy).
    return narrow ? narrowed : FLiveBitmap;
}

void TDataCursor::SeparateView() {
    if (!FViewIsLive) return;
    FViewBitmap.Assign(FLiveBitmap);
    FViewIsLive = false;
}

void TDataCursor::CombineView() {
    FViewStepped = false;
    ++FViewStamp;
    // The range and every active filter's result.
    std::vector<const TRecordsBitmap*> narrowing;
    if (FRangeActive && !IsRecordNumberOrder()) narrowing.push_back(&FRangeBitmap);
    for (const auto& f : FFilters)
        if (f->IsActive()) narrowing.push_back(&f->Result());
    // The live records ANDed with the others in any order give the same words: the one with
    // the fewest markable words goes first, so that a view of a few records is built, and
    // counted, over those words only.
    auto first = std::min_element(narrowing.begin(), narrowing.end(), [](const auto* a, const auto* b) {
        return a->MarkedWordSpan() < b->MarkedWordSpan();
    });
    FViewIsLive = false;
    if (first != narrowing.end() && (*first)->MarkedWordSpan() < FLiveBitmap.MarkedWordSpan()) {
        FViewBitmap.AssignAnd(FLiveBitmap, **first);
        narrowing.erase(first);
    } else if (narrowing.empty()) {
        // Unnarrowed, the view is the live records, counted once while they stay as they are.
        FViewIsLive = true;
        FFilteredCount = FLiveBitmap.RecordCount() > 0 ? FLiveBitmap.Count() : 0;
        return;
    } else {
        FViewBitmap.Assign(FLiveBitmap);
    }
    for (const TRecordsBitmap* b : narrowing) FViewBitmap.AndBitmap(*b);
    FFilteredCount = FViewBitmap.RecordCount() > 0 ? FViewBitmap.Count() : 0;
}

void TDataCursor::ResetFilterBitmaps() {
    if (!FFiltered) return;
    CombineView();
}

void TDataCursor::UpdateFilterBitmapsForRecord(uint32_t recordNo, const uint8_t* record) {
    if (!FFiltered || recordNo == 0) return;
    ++FViewStamp;
    SeparateView();
    const int32_t n = int32_t(recordNo);
    // The view follows the live bitmap's size; while they agree only bit n can change.
    const bool inStep = FViewBitmap.RecordCount() == FLiveBitmap.RecordCount();
    // A record appended past the covered ones must not meet a spare bit left set by an
    // inversion: grown bitmaps cover it unmarked.
    for (TRecordsBitmap* b : {&FRangeBitmap, &FLiveBitmap}) b->Extend(n);
    if (FRangeActive && !IsRecordNumberOrder()) {
        uint8_t* key = FKeyBuffer2.data();
        BuildKey(record, key);
        const int32_t length = FIndex.KeyLength;
        if (CompareKeys(key, FRangeStart.data(), length) >= 0 &&
            CompareKeys(key, FRangeEnd.data(), length) <= 0)
            FRangeBitmap.SetBit(n);
        else
            FRangeBitmap.ClearBit(n);
    }
    FLiveBitmap.SetBit(n);
    for (const auto& f : FFilters)
        if (f->IsActive()) f->CheckRecord(recordNo, record);
    // Only bit n of the inputs changed: the view's bit and count are set from it alone,
    // instead of combining and counting every bitmap again for each record written.
    bool single = inStep;
    bool visible = true;
    if (single && FRangeActive && !IsRecordNumberOrder()) {
        single = n <= FRangeBitmap.RecordCount();
        visible = single && FRangeBitmap.GetBit(n);
    }
    for (const auto& f : FFilters) {
        if (!single || !f->IsActive()) continue;
        single = n <= f->Result().RecordCount();
        visible = visible && single && f->Result().GetBit(n);
    }
    if (!single) {
        CombineView();
        return;
    }
    FViewBitmap.Extend(n);
    const bool was = FViewBitmap.GetBit(n);
    if (was != visible) {
        if (visible)
            FViewBitmap.SetBit(n);
        else
            FViewBitmap.ClearBit(n);
        FFilteredCount += visible ? 1 : -1;
        if (IsRecordNumberOrder() && !FBof && !FEof && n < int32_t(FRecNo)) FOrdinal += visible ? 1 : -1;
    }
    FViewStepped = true;
}

void TDataCursor::RemoveRecordFromBitmaps(uint32_t recordNo) {
    if (!FFiltered || recordNo == 0) return;
    ++FViewStamp;
    SeparateView();
    const int32_t n = int32_t(recordNo);
    for (const auto& f : FFilters) f->ClearRecord(recordNo);
    if (n <= FLiveBitmap.RecordCount()) FLiveBitmap.ClearBit(n);
    if (n <= FViewBitmap.RecordCount() && FViewBitmap.GetBit(n)) {
        FViewBitmap.ClearBit(n);
        --FFilteredCount;
    }
}
