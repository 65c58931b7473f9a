// One page of an index: its image on disk (13-byte header and packed entries in one of
// four leaf compressions) and its unpacked form in memory, with the searches, counts and
// bitmap walks the tree and the cursor run on it.
#include <algorithm>
#include <cstring>

#include "db/engine/EngineErrors.h"
#include "db/engine/IndexFile.h"
#include "db/storage/LibraryMemory.h"
#include "db/storage/RecordsBitmap.h"
#include "platform/rtl/ByteCodec.h"

namespace {

// The entry buffer grows in these steps.
constexpr int32_t EntryBufferStep = 8192;

// n bytes (at least 4) in 8- or 4-byte moves, the last one overlapping.
inline void CopyEntryBytes(uint8_t* to, const uint8_t* from, size_t n) {
    if (n < 8) {
        std::memcpy(to, from, 4);
        std::memcpy(to + n - 4, from + n - 4, 4);
        return;
    }
    for (size_t i = 0; i + 8 < n; i += 8) std::memcpy(to + i, from + i, 8);
    std::memcpy(to + n - 8, from + n - 8, 8);
}

}  // namespace

void TPage::Corrupt() const {
    if (FOwner) FOwner->Fail(ZIZIVU_PAGEBUFCORRUPT);
    RaiseEngineError(ZIZIVU_PAGEBUFCORRUPT);
}

void TPage::Reset() {
    FOwner = nullptr;
    FModified = false;
    FUseCount = 0;
    FPagePos = 0;
    FParent = 0;
    FBytesUsed = 0;
    FCount = 0;
    FPos1 = FPos2 = 0;
    FKeyLength = 0;
    FIndexNo = 0;
    FDescending = FUnique = FCompression = 0;
    FPrev = FNext = 0;
    FPageType = ptLeaf;
    FFree = false;
    FOlder = FNewer = nullptr;
}

void TPage::Clear(TIndexFile* owner, int32_t indexNo, const TIndexDescriptor& d) {
    FOwner = owner;
    FIndexNo = indexNo;
    FKeyLength = d.KeyLength;
    FDescending = d.Descending;
    FUnique = d.Unique;
    FCompression = d.Compression;
    FCount = 0;
    FBytesUsed = 0;
    FPos1 = FPos2 = 0;
    FPrev = FNext = 0;
    FParent = 0;
    FPageType = ptLeaf;
    FFree = false;
}

void TPage::Assign(const TPage& source) {
    FOwner = source.FOwner;
    FPagePos = source.FPagePos;
    FParent = source.FParent;
    FKeyLength = source.FKeyLength;
    FIndexNo = source.FIndexNo;
    FDescending = source.FDescending;
    FUnique = source.FUnique;
    FCompression = source.FCompression;
    FPrev = source.FPrev;
    FNext = source.FNext;
    FPageType = source.FPageType;
    FFree = source.FFree;
    FBytesUsed = source.FBytesUsed;
    FPos1 = source.FPos1;
    FPos2 = source.FPos2;
    EnsureEntries(source.FCount);
    FCount = source.FCount;
    if (FCount) std::memcpy(FEntries.get(), source.FEntries.get(), size_t(FCount) * Stride());
}

void TPage::EnsureEntries(int32_t n) {
    const int32_t bytes = n * Stride();
    if (bytes > FCapacity) SetBlockBufferSize(bytes, EntryBufferStep, FEntries, FCapacity);
}

int32_t TPage::GetMaxKeys() const {
    if (!IsLeaf()) return IndexPageDataSize / (FKeyLength + 10);
    return IndexPageDataSize / (FKeyLength + 6);
}

bool TPage::Overfull() const {
    if (IsCompressedLeaf()) return FBytesUsed > IndexPageDataSize;
    return FCount > GetMaxKeys();
}

void TPage::SetKeyCount(int32_t n) {
    EnsureEntries(n);
    if (n > FCount) std::memset(EntryKey(FCount + 1), 0, size_t(n - FCount) * Stride());
    FCount = n;
    FPos1 = std::min(FPos1, n);
    FPos2 = std::min(FPos2, n);
    if (IsCompressedLeaf()) PackKeys();
}

uint32_t TPage::EntryValue(int32_t i) const {
    if (i < 1 || i > FCount) Corrupt();
    return bytes::GetU32(EntryKey(i) + FKeyLength);
}

void TPage::SetEntryValue(int32_t i, uint32_t v) {
    if (i < 1 || i > FCount) Corrupt();
    bytes::PutU32(EntryKey(i) + FKeyLength, v);
}

void TPage::SetEntryKey(int32_t i, const uint8_t* key) {
    if (i < 1 || i > FCount) Corrupt();
    std::memcpy(EntryKey(i), key, size_t(FKeyLength));
}

uint32_t TPage::EntryCount(int32_t i) const {
    if (i < 1 || i > FCount) Corrupt();
    return IsLeaf() ? 1 : bytes::GetU32(EntryKey(i) + FKeyLength + 4);
}

void TPage::SetEntryCount(int32_t i, uint32_t v) {
    if (i < 1 || i > FCount) Corrupt();
    if (!IsLeaf()) bytes::PutU32(EntryKey(i) + FKeyLength + 4, v);
}

void TPage::SetCurrentCount(uint32_t v) {
    SetEntryCount(FPos1, v);
}

int32_t TPage::FindChild(uint32_t pos) const {
    for (int32_t i = 1; i <= FCount; ++i)
        if (bytes::GetU32(EntryKey(i) + FKeyLength) == pos) return i;
    return 0;
}

uint32_t TPage::GetTotalCount() const {
    if (IsLeaf()) return uint32_t(FCount);
    return CountBefore(FCount + 1);
}

uint32_t TPage::CountBefore(int32_t pos) const {
    if (IsLeaf()) return uint32_t(std::max(pos - 1, 0));
    uint32_t n = 0;
    for (int32_t i = 1; i < pos && i <= FCount; ++i) n += bytes::GetU32(EntryKey(i) + FKeyLength + 4);
    return n;
}

void TPage::CopyPosition(TPagePos to) {
    if (to == TPagePos::First)
        FPos1 = FPos2;
    else
        FPos2 = FPos1;
}

bool TPage::NextPosition(TPagePos which) {
    const int32_t p = Position(which);
    if (p >= FCount) return false;
    SetPosition(which, p + 1);
    return true;
}

bool TPage::PriorPosition(TPagePos which) {
    const int32_t p = Position(which);
    if (p <= 1) return false;
    SetPosition(which, p - 1);
    return true;
}

// ---- Entries ----------------------------------------------------------------------------

void TPage::InsertEntry(const uint8_t* key) {
    EnsureEntries(FCount + 1);
    const int32_t at = std::clamp(FPos1, 0, FCount) + 1;
    uint8_t* slot = EntryKey(at);
    if (at <= FCount) std::memmove(slot + Stride(), slot, size_t(FCount - at + 1) * Stride());
    std::memset(slot, 0, size_t(Stride()));
    std::memcpy(slot, key, size_t(FKeyLength));
    ++FCount;
    FPos1 = at;
    if (IsCompressedLeaf()) RepackAt(at);
}

void TPage::DeleteEntry() {
    if (FPos1 < 1 || FPos1 > FCount) Corrupt();
    uint8_t* slot = EntryKey(FPos1);
    if (FPos1 < FCount) std::memmove(slot, slot + Stride(), size_t(FCount - FPos1) * Stride());
    --FCount;
    const int32_t at = FPos1;
    FPos1 = std::min(FPos1, FCount);
    if (IsCompressedLeaf()) RepackAt(at);
}

void TPage::SetCurrentKey(const uint8_t* key) {
    if (FPos1 < 1 || FPos1 > FCount) Corrupt();
    std::memcpy(EntryKey(FPos1), key, size_t(FKeyLength));
    if (IsCompressedLeaf()) RepackAt(FPos1);
}

// ---- Compression ------------------------------------------------------------------------

void TPage::ComputeLT(int32_t i, uint16_t& leading, uint16_t& trailing) const {
    const int32_t k = FKeyLength;
    const uint8_t* key = EntryKey(i);
    leading = trailing = 0;
    // Where the droppable part ends: a non-unique key always keeps its row id.
    const int32_t end = FUnique ? k : k - 4;
    switch (FCompression) {
        case icLeading:
            if (i > 1) leading = uint16_t(CountEqualPrefix(EntryKey(i - 1), key, k));
            break;
        case icTrailing:
            if (end > 0) trailing = uint16_t(CountTrailingZeroBytes(key + end - 1, end));
            break;
        case icBoth: {
            if (i > 1) leading = uint16_t(std::min(CountEqualPrefix(EntryKey(i - 1), key, k), 255));
            if (!FUnique && k - leading <= 4) break;
            if (end - leading > 0)
                trailing = uint16_t(std::min(CountTrailingZeroBytes(key + end - 1, end - leading), 255));
            break;
        }
        default:
            break;
    }
}

int32_t TPage::PackedSize(uint16_t leading, uint16_t trailing) const {
    return FKeyLength - leading - trailing + 6;
}

void TPage::StoreLT(int32_t i, uint16_t leading, uint16_t trailing) {
    uint8_t* p = EntryKey(i) + FKeyLength + 4;
    switch (FCompression) {
        case icLeading:
            p[0] = uint8_t(leading);
            p[1] = uint8_t(leading >> 8);
            break;
        case icTrailing:
            p[0] = uint8_t(trailing);
            p[1] = uint8_t(trailing >> 8);
            break;
        default:
            p[0] = uint8_t(leading);
            p[1] = uint8_t(trailing);
            break;
    }
}

void TPage::EntryCompression(int32_t i, int32_t& leading, int32_t& trailing) const {
    const uint8_t* p = EntryKey(i) + FKeyLength + 4;
    leading = trailing = 0;
    switch (FCompression) {
        case icLeading:
            leading = p[0] | (p[1] << 8);
            break;
        case icTrailing:
            trailing = p[0] | (p[1] << 8);
            break;
        case icBoth:
            leading = p[0];
            trailing = p[1];
            break;
        default:
            break;
    }
}

void TPage::SumBytesUsed() {
    FBytesUsed = 0;
    for (int32_t i = 1; i <= FCount; ++i) {
        int32_t l, t;
        EntryCompression(i, l, t);
        FBytesUsed += PackedSize(uint16_t(l), uint16_t(t));
    }
}

void TPage::PackKeys() {
    FBytesUsed = 0;
    if (!IsCompressedLeaf()) return;
    for (int32_t i = 1; i <= FCount; ++i) {
        uint16_t l, t;
        ComputeLT(i, l, t);
        StoreLT(i, l, t);
    }
    SumBytesUsed();
}

void TPage::RepackAt(int32_t from) {
    // Only the entry at from and its successor see a new neighbour; the others keep
    // their counts.
    for (int32_t i = std::max(from, 1); i <= std::min(from + 1, FCount); ++i) {
        uint16_t l, t;
        ComputeLT(i, l, t);
        StoreLT(i, l, t);
    }
    SumBytesUsed();
}

// ---- Images -----------------------------------------------------------------------------

void TPage::LoadFromBuffer(const uint8_t* image, bool empty) {
    const uint8_t type = image[0];
    const int32_t count = bytes::GetU16(image + 1);
    const uint32_t prev = bytes::GetU32(image + 3);
    const uint32_t next = bytes::GetU32(image + 7);
    const int32_t used = bytes::GetU16(image + 11);
    if (type > ptRootLeaf) Corrupt();
    FPageType = type;
    FPrev = prev;
    FNext = next;
    FPos1 = FPos2 = 0;
    FCount = 0;
    FBytesUsed = 0;
    if (empty) {
        FFree = count == 0;
        return;
    }
    FFree = false;
    UnpackKeys(image + IndexPageHeaderSize, count, used);
}

void TPage::UnpackKeys(const uint8_t* entries, int32_t count, int32_t bytesUsed) {
    const int32_t k = FKeyLength;
    FCount = 0;
    if (k < 1 || k > KeyBufferSize) Corrupt();
    if (!IsCompressedLeaf()) {
        const int32_t size = IsLeaf() ? k + 4 : k + 8;
        if (int64_t(count) * size > IndexPageDataSize) Corrupt();
        EnsureEntries(count);
        // One clearing pass, then each entry copied in words: a page is unpacked at every
        // read, and a copy call per entry of a few bytes cost more than the read itself.
        if (count > 0) std::memset(FEntries.get(), 0, size_t(count) * size_t(Stride()));
        for (int32_t i = 1; i <= count; ++i)
            CopyEntryBytes(EntryKey(i), entries + size_t(i - 1) * size, size_t(size));
        FCount = count;
        return;
    }
    if (bytesUsed > IndexPageDataSize || int64_t(count) * 6 > bytesUsed) Corrupt();
    EnsureEntries(count);
    int32_t pos = 0;
    for (int32_t i = 1; i <= count; ++i) {
        uint8_t* slot = EntryKey(i);
        std::memset(slot, 0, size_t(Stride()));
        int32_t l = 0, t = 0;
        if (pos + 2 > bytesUsed) Corrupt();
        if (FCompression == icLeading) {
            l = bytes::GetU16(entries + pos);
        } else if (FCompression == icTrailing) {
            t = bytes::GetU16(entries + pos);
        } else {
            l = entries[pos];
            t = entries[pos + 1];
        }
        pos += 2;
        if (l > k || (i == 1 && l > 0)) Corrupt();
        // Whether the row id follows the shortened key on its own.
        const bool rowIdApart = !FUnique && t > 0;
        if (!FUnique && k - l <= 4 && t > 0) Corrupt();
        if (FUnique ? t > k - l : (t > 0 && t > k - 4 - l)) Corrupt();
        const int32_t stored = k - l - t;
        if (pos + stored + 4 > bytesUsed) Corrupt();
        if (l > 0) std::memcpy(slot, EntryKey(i - 1), size_t(l));
        if (rowIdApart) {
            std::memcpy(slot + l, entries + pos, size_t(stored - 4));
            std::memcpy(slot + k - 4, entries + pos + stored - 4, 4);
        } else {
            std::memcpy(slot + l, entries + pos, size_t(stored));
        }
        pos += stored;
        std::memcpy(slot + k, entries + pos, 4);
        pos += 4;
        FCount = i;
    }
    if (pos != bytesUsed) Corrupt();
    PackKeys();
}

void TPage::SaveToBuffer(uint8_t* image) const {
    std::memset(image, 0, IndexPageSize);
    const int32_t count = FFree ? 0 : FCount;
    const int32_t used = (FFree || !IsCompressedLeaf()) ? 0 : FBytesUsed;
    if (used > IndexPageDataSize) Corrupt();
    if (!IsCompressedLeaf() &&
        int64_t(count) * (IsLeaf() ? FKeyLength + 4 : FKeyLength + 8) > IndexPageDataSize)
        Corrupt();
    TByteWriter w(image, IndexPageSize);
    w.U8(FPageType).U16(uint16_t(count)).U32(FPrev).U32(FNext).U16(uint16_t(used));
    const int32_t k = FKeyLength;
    if (!IsCompressedLeaf()) {
        // An entry's stored bytes (key, value and an interior page's count) lead its slot
        // as they lie in the image (the size was checked above).
        const size_t size = size_t(k) + (IsLeaf() ? 4 : 8);
        uint8_t* out = image + IndexPageHeaderSize;
        if (size < 8 || size > 16) {
            for (int32_t i = 1; i <= count; ++i, out += size) std::memcpy(out, EntryKey(i), size);
            return;
        }
        // The common short entry as two eight-byte moves that overlap, not a call per entry.
        for (int32_t i = 1; i <= count; ++i, out += size) {
            const uint8_t* in = EntryKey(i);
            uint64_t head, tail;
            std::memcpy(&head, in, 8);
            std::memcpy(&tail, in + size - 8, 8);
            std::memcpy(out, &head, 8);
            std::memcpy(out + size - 8, &tail, 8);
        }
        return;
    }
    for (int32_t i = 1; i <= count; ++i) {
        const uint8_t* key = EntryKey(i);
        const uint32_t value = bytes::GetU32(key + k);
        int32_t l, t;
        EntryCompression(i, l, t);
        if (FCompression == icLeading)
            w.U16(uint16_t(l));
        else if (FCompression == icTrailing)
            w.U16(uint16_t(t));
        else
            w.U8(uint8_t(l)).U8(uint8_t(t));
        if (!FUnique && t > 0) {
            w.Bytes(key + l, size_t(k - l - t - 4)).Bytes(key + k - 4, 4);
        } else {
            w.Bytes(key + l, size_t(k - l - t));
        }
        w.U32(value);
    }
}

// ---- Searches ---------------------------------------------------------------------------

int32_t TPage::LastNotAbove(TCacheClient* client, const uint8_t* key, bool& equal) const {
    if (FCount < 1) Corrupt();
    equal = false;
    int32_t lo = 1, hi = FCount, found = 0;
    while (lo <= hi) {
        const int32_t mid = (lo + hi) / 2;
        const int32_t c = client->CompareKeys(EntryKey(mid), key, FKeyLength);
        if (c <= 0) {
            found = mid;
            if (c == 0) {
                equal = true;
                break;
            }
            lo = mid + 1;
        } else {
            hi = mid - 1;
        }
    }
    return found;
}

bool TPage::FindKeyPos(TCacheClient* client, const uint8_t* key) {
    bool equal;
    FPos1 = std::max(LastNotAbove(client, key, equal), 1);
    return equal && IsLeaf();
}

void TPage::FindInsertPos(TCacheClient* client, const uint8_t* key) {
    // Keys written in ascending order (row ids, a sorted rebuild) land after the last entry.
    if (KeyAboveLast(client, key)) {
        FPos1 = FCount;
        return;
    }
    bool equal;
    FPos1 = LastNotAbove(client, key, equal);
}

void TPage::FindDeletePos(TCacheClient* client, const uint8_t* key) {
    bool equal;
    FPos1 = std::max(LastNotAbove(client, key, equal), 1);
}

bool TPage::FindNearestPos(TCacheClient* client, const uint8_t* key, bool after, int32_t& count) {
    const bool equal = FindNearestPos(client, key, after);
    count += int32_t(CountBefore(FPos2));
    return equal;
}

bool TPage::FindNearestPos(TCacheClient* client, const uint8_t* key, bool after, int32_t* notAbove) {
    bool equal = false;
    int32_t last;
    // The key check before an insert (the one search that asks for notAbove) mostly sees
    // keys written in ascending order, as FindInsertPos does.
    if (notAbove && KeyAboveLast(client, key))
        last = FCount;
    else
        last = LastNotAbove(client, key, equal);
    if (notAbove) *notAbove = equal ? -1 : last;
    if (equal)
        FPos2 = last;
    else if (IsLeaf() && after && last < FCount)
        FPos2 = last + 1;
    else
        FPos2 = std::max(last, 1);
    return equal;
}

void TPage::CountFirst(int32_t& count) {
    if (FCount < 1) Corrupt();
    FPos2 = 1;
    count = 1;
}

void TPage::CountToEnd(int32_t& count) {
    if (FCount < 1) Corrupt();
    FPos2 = FCount;
    count += int32_t(CountBefore(FPos2));
}

void TPage::CountToKey(TCacheClient* client, const uint8_t* key, int32_t& count) {
    bool equal;
    const int32_t last = LastNotAbove(client, key, equal);
    if (equal)
        FPos2 = last;
    else if (IsLeaf() && last < FCount)
        FPos2 = last + 1;
    else
        FPos2 = std::max(last, 1);
    count += int32_t(CountBefore(FPos2));
}

void TPage::CountToKeyAfter(TCacheClient* client, const uint8_t* key, int32_t& count) {
    bool equal;
    FPos2 = std::max(LastNotAbove(client, key, equal), 1);
    count += int32_t(CountBefore(FPos2));
}

bool TPage::SeekInRange(TCacheClient* client, const uint8_t* startKey, const uint8_t* endKey, bool after,
                        int32_t& count) {
    if (FCount < 1) Corrupt();
    int32_t i = 1;
    if (IsLeaf()) {
        while (i <= FCount && client->CompareKeys(EntryKey(i), endKey, FKeyLength) <= 0 &&
               client->CompareKeys(EntryKey(i), startKey, FKeyLength) < 0)
            ++i;
        // Back onto the last entry passed, if any.
        FPos2 = std::max(i - 1, 1);
        count += int32_t(CountBefore(FPos2));
        return false;
    }
    while (i <= FCount) {
        const int32_t c = client->CompareKeys(EntryKey(i), startKey, FKeyLength);
        if (c == 0) {
            FPos2 = i;
            count += int32_t(CountBefore(i));
            return true;
        }
        if (c > 0) break;
        ++i;
    }
    FPos2 = after ? std::min(i, FCount) : std::max(i - 1, 1);
    count += int32_t(CountBefore(FPos2));
    return false;
}

// ---- Bitmap walks -----------------------------------------------------------------------

bool TPage::RecordSet(const TRecordsBitmap& bitmap, int32_t i) const {
    const uint32_t rec = EntryValue(i);
    return rec >= 1 && rec <= uint32_t(bitmap.RecordCount()) && bitmap.GetBit(int32_t(rec));
}

bool TPage::NextKeyInBitmap(const TRecordsBitmap& bitmap, int32_t& count) {
    for (int32_t i = std::max(FPos2, 0) + 1; i <= FCount; ++i) {
        ++count;
        FPos2 = i;
        if (RecordSet(bitmap, i)) return true;
    }
    FPos2 = FCount;
    return false;
}

bool TPage::PriorKeyInBitmap(const TRecordsBitmap& bitmap, int32_t& count) {
    for (int32_t i = std::min(FPos2, FCount + 1) - 1; i >= 1; --i) {
        ++count;
        FPos2 = i;
        if (RecordSet(bitmap, i)) return true;
    }
    FPos2 = FCount > 0 ? 1 : 0;
    return false;
}

bool TPage::NextKeyInBitmapBounded(TCacheClient* client, const TRecordsBitmap& bitmap, const uint8_t* bound,
                                   int32_t& count) {
    for (int32_t i = std::max(FPos2, 0) + 1; i <= FCount; ++i) {
        FPos2 = i;
        if (client->CompareKeys(EntryKey(i), bound, FKeyLength) > 0) return false;
        ++count;
        if (RecordSet(bitmap, i)) return true;
    }
    FPos2 = FCount;
    return false;
}

bool TPage::PriorKeyInBitmapBounded(TCacheClient* client, const TRecordsBitmap& bitmap, const uint8_t* bound,
                                    int32_t& count) {
    for (int32_t i = std::min(FPos2, FCount + 1) - 1; i >= 1; --i) {
        FPos2 = i;
        if (client->CompareKeys(EntryKey(i), bound, FKeyLength) < 0) return false;
        ++count;
        if (RecordSet(bitmap, i)) return true;
    }
    FPos2 = FCount > 0 ? 1 : 0;
    return false;
}

bool TPage::MarkKeysInBitmap(TCacheClient* client, TRecordsBitmap& bitmap, const uint8_t* bound) {
    if (FCount < 1) Corrupt();
    const bool wholeRest = client->CompareKeys(EntryKey(FCount), bound, FKeyLength) <= 0;
    for (int32_t i = std::max(FPos2, 1); i <= FCount; ++i) {
        if (!wholeRest && client->CompareKeys(EntryKey(i), bound, FKeyLength) > 0) {
            FPos2 = i;
            return false;
        }
        const uint32_t rec = EntryValue(i);
        if (rec >= 1 && rec <= uint32_t(bitmap.RecordCount())) bitmap.SetBit(int32_t(rec));
    }
    FPos2 = FCount;
    return wholeRest;
}

uint32_t TPage::CountRecordRun(uint32_t maximum, int32_t direction) const {
    if (FPos1 < 1 || FPos1 > FCount) return 0;
    const int32_t step = direction == 1 ? 1 : -1;
    uint32_t run = 0;
    uint32_t rec = EntryValue(FPos1);
    for (int32_t i = FPos1 + step; i >= 1 && i <= FCount && run < maximum; i += step) {
        const uint32_t next = EntryValue(i);
        if (next != rec + uint32_t(step)) break;
        rec = next;
        ++run;
    }
    return run;
}
