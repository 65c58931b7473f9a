// The index file: header image and descriptors, the per-index page caches with their
// recency chains, free-page chains and the writing of dirty pages in runs.
#include "db/engine/IndexFile.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "db/engine/EngineErrors.h"
#include "db/engine/EngineFileSupport.h"
#include "db/engine/EntryCache.h"
#include "db/storage/LibraryMemory.h"
#include "platform/rtl/ByteCodec.h"
#include "platform/rtl/ScopeGuard.h"
#include "platform/rtl/SysUtils.h"

namespace {

constexpr int32_t OffChangeCounter = HeaderChangeCounterOffset;
constexpr int32_t OffVersion = 8;
constexpr int32_t OffNextNewPage = 9;
constexpr int32_t OffIndexCount = HeaderIndexCountOffset;
constexpr int32_t OffRecordCount = 3974;
constexpr int32_t OffNoPrimary = HeaderNoPrimaryOffset;
constexpr int32_t OffModified = 3979;
constexpr int32_t DescOffRoot = 86;
constexpr int32_t DescOffFreeHead = 90;
constexpr int32_t DescOffFields = 54;
// Index counts beyond this cannot be held by the header's descriptors.
constexpr int32_t MaxHeaderIndexCount = 32;
// Steps of the write buffer.
constexpr int32_t WriteBufferStep = 32767;
constexpr int32_t RunPiecePages = 64;

}  // namespace

// ---- TIndexDescriptor -------------------------------------------------------------------

void TIndexDescriptor::Read(const uint8_t* p) {
    TByteReader r(p, IndexDescriptorSize);
    Name = r.ShortString(MaxIndexNameLength);
    KeyLength = r.U16();
    Descending = r.U8();
    CaseInsensitive = r.U8();
    Unique = r.U8();
    Compression = r.U8();
    FieldCount = r.U8();
    r.Bytes(FieldOptions, MaxIndexFields);
    for (auto& f : FieldNumbers) f = r.U16();
    RootPage = r.U32();
    FreeHead = r.U32();
    Reserved94 = r.U8();
    Reserved95 = r.U8();
    r.Bytes(Reserved96, sizeof Reserved96);
}

void TIndexDescriptor::Write(uint8_t* p) const {
    TByteWriter w(p, IndexDescriptorSize);
    w.ShortString(Name, MaxIndexNameLength);
    w.U16(KeyLength).U8(Descending).U8(CaseInsensitive).U8(Unique).U8(Compression).U8(FieldCount);
    w.Bytes(FieldOptions, MaxIndexFields);
    for (auto f : FieldNumbers) w.U16(f);
    w.U32(RootPage).U32(FreeHead).U8(Reserved94).U8(Reserved95).Bytes(Reserved96, sizeof Reserved96);
}

// ---- TIndexFile: lifetime and header ----------------------------------------------------

namespace {
std::atomic<uint64_t> TreeMarks{0};
}  // namespace

void TIndexFile::MarkTreesChanged() {
    FTreeMark = TreeMarks.fetch_add(1, std::memory_order_relaxed) + 1;
}

TIndexFile::TIndexFile(TTableFilesOwner* owner) : FOwner(owner) {
    MarkTreesChanged();
    SetBlockBufferSize(16384, WriteBufferStep, FWriteBuffer, FWriteCapacity);
}

TIndexFile::~TIndexFile() {
    ClearPageCache(true);
}

void TIndexFile::Fail(uint16_t code) const {
    RaiseEngineError(code, FOwner ? FOwner->TableName() : FileName());
}

void TIndexFile::Open() {
    if (IsOpen()) return;
    TFileHandler::Open();
    TScopeGuard close([this] { Close(); });
    ReadHeader();
    if (GetIndexCount() > MaxHeaderIndexCount) Fail(ZIZIVU_HEADERCORRUPT);
    close.Dismiss();
    FHeaderModified = false;
    FHits = FReads = FPageReads = FPageWrites = 0;
}

void TIndexFile::Close() {
    ClearPageCache(true);
    for (auto& cache : FCaches) cache.Capacity = PageCacheCapacity;
    TFileHandler::Close();
}

void TIndexFile::CreateFile() {
    TFileHandler::CreateFile();
    ClearPageCache(true);
    NewHeader();
    FHits = FReads = FPageReads = FPageWrites = 0;
}

void TIndexFile::NewHeader() {
    std::memset(FHeader, 0, sizeof FHeader);
    ForgetDescriptors();
    FHeader[OffVersion] = EngineFileVersion;
    bytes::PutU32(FHeader + OffNextNewPage, IndexHeaderSize);
    TIndexDescriptor deleted;
    deleted.Name = DeletedIndexName;
    deleted.KeyLength = DeletedIndexKeyLength;
    deleted.Unique = 1;
    deleted.Write(DescriptorAt(DeletedIndexNo));
    MarkHeaderDirty();
}

void TIndexFile::ReadHeader() {
    MarkTreesChanged();
    ReadAt(*this, 0, FHeader, IndexHeaderSize);
    if (FEncrypted) UnscrambleBuffer(FHeader, IndexHeaderSize, IndexHeaderSeedLo, IndexHeaderSeedHi);
    ForgetDescriptors();
}

void TIndexFile::WriteHeader(bool always, bool flush) {
    if (!always && !FHeaderModified) return;
    bytes::PutU32(FHeader + OffChangeCounter, GetChangeCount() + 1);
    FHeader[OffModified] = FHeaderModified ? 1 : 0;
    uint8_t image[IndexHeaderSize];
    std::memcpy(image, FHeader, sizeof image);
    if (FEncrypted) ScrambleBuffer(image, IndexHeaderSize, IndexHeaderSeedLo, IndexHeaderSeedHi);
    WriteAt(*this, 0, image, IndexHeaderSize, FOwner ? FOwner->Journal() : nullptr);
    if (flush || (FOwner && FOwner->ForceBufferFlush())) Flush();
    if (FOwner) FOwner->SetTableChanged();
    FHeaderModified = false;
}

void TIndexFile::MarkHeaderDirty() {
    MarkTreesChanged();
    bytes::PutU32(FHeader + OffChangeCounter, GetChangeCount() + 1);
    FHeaderModified = true;
}

void TIndexFile::RestoreHeader(const uint8_t* image, bool modified) {
    MarkTreesChanged();
    std::memcpy(FHeader, image, IndexHeaderSize);
    ForgetDescriptors();
    FHeaderModified = modified;
}

bool TIndexFile::HeaderChanged(const TIndexFieldLookup* fields) {
    // The counter alone answers the common case of no change: the whole header is read
    // only when it moved (the scrambling runs from byte 0, so the counter unscrambles alone).
    uint8_t counter[4];
    ReadAt(*this, OffChangeCounter, counter, 4);
    if (FEncrypted) UnscrambleBuffer(counter, 4, IndexHeaderSeedLo, IndexHeaderSeedHi);
    if (bytes::GetU32(counter) == GetChangeCount()) return false;
    uint8_t image[IndexHeaderSize];
    ReadAt(*this, 0, image, IndexHeaderSize);
    if (FEncrypted) UnscrambleBuffer(image, IndexHeaderSize, IndexHeaderSeedLo, IndexHeaderSeedHi);
    if (bytes::GetU32(image + OffChangeCounter) == GetChangeCount()) return false;
    // Another process's header is only taken when it can be held, and as sound as one
    // opened: nothing may act on a damaged one.
    if (image[OffIndexCount] > MaxHeaderIndexCount) Fail(ZIZIVU_HEADERCORRUPT);
    uint8_t held[IndexHeaderSize];
    std::memcpy(held, FHeader, sizeof held);
    const bool heldModified = FHeaderModified;
    RestoreHeader(image, false);
    {
        TScopeGuard refuse([&] { RestoreHeader(held, heldModified); });
        if (fields) CheckHeader(*fields);
        refuse.Dismiss();
    }
    ClearPageCache(true);
    return true;
}

uint32_t TIndexFile::GetNextNewPage() const {
    return bytes::GetU32(FHeader + OffNextNewPage);
}

int32_t TIndexFile::ComputeKeyFieldBytes(const TIndexDescriptor& d, const TIndexFieldLookup& fields) {
    int32_t bytes = 0;
    for (int32_t f = 0; f < std::min<int32_t>(d.FieldCount, MaxIndexFields); ++f) {
        TIndexFieldInfo info;
        if (!fields || !fields(d.FieldNumbers[f], info) || info.StoredSize < 0) return -1;
        if (info.Type == dtBlob) return -2;
        bytes += info.StoredSize + 1;
    }
    return bytes;
}

void TIndexFile::CheckHeader(const TIndexFieldLookup& fields) const {
    if (FHeader[OffVersion] != EngineFileVersion) Fail(ZIZIVU_BADVERSION);
    const int32_t count = GetIndexCount();
    if (count > MaxHeaderIndexCount) Fail(ZIZIVU_HEADERCORRUPT);
    const uint32_t next = GetNextNewPage();
    if (next < uint32_t(IndexHeaderSize) || next % IndexPageSize != 0) Fail(ZIZIVU_HEADERCORRUPT);
    // Pages reach the file before the header that counts them: a header counting pages
    // beyond the file's end is damaged, and appending there would write far past it.
    if (next > uint32_t(IndexHeaderSize) && int64_t(next) > const_cast<TIndexFile*>(this)->GetSize())
        Fail(ZIZIVU_HEADERCORRUPT);
    // A page position of this file: aligned, past the header, before the next new page.
    auto checkLink = [&](uint32_t pos) {
        if (pos == 0) return;
        if (next == uint32_t(IndexHeaderSize) || pos % IndexPageSize != 0 ||
            pos < uint32_t(IndexHeaderSize) || pos > next - IndexPageSize)
            Fail(ZIZIVU_HEADERCORRUPT);
    };
    const bool noPrimary = GetNoPrimaryIndex();
    for (int32_t i = 0; i <= count; ++i) {
        const TIndexDescriptor d = GetIndexDescriptor(i);
        if (i == 0) {
            if (!d.Name.empty() || (!noPrimary && !d.Unique)) Fail(ZIZIVU_HEADERCORRUPT);
        } else {
            const std::string name = Trim(d.Name);
            if (name.empty()) Fail(ZIZIVU_HEADERCORRUPT);
            for (int32_t j = 1; j <= count; ++j)
                if (j != i && SameText(Trim(GetIndexDescriptor(j).Name), name)) Fail(ZIZIVU_HEADERCORRUPT);
        }
        if (d.FieldCount > MaxIndexFields || d.Compression > icBoth) Fail(ZIZIVU_HEADERCORRUPT);
        const int32_t fieldBytes = ComputeKeyFieldBytes(d, fields);
        if (fieldBytes < 0 || fieldBytes > MaxKeyFieldBytes) Fail(ZIZIVU_HEADERCORRUPT);
        if (fieldBytes == 0 && !(i == 0 && noPrimary)) Fail(ZIZIVU_HEADERCORRUPT);
        // Pages are parsed with the stored length: it must be the one the fields give.
        const int32_t expected = fieldBytes == 0 ? 0 : fieldBytes + (d.Unique || i == 0 ? 0 : 4);
        if (d.KeyLength != expected) Fail(ZIZIVU_HEADERCORRUPT);
        checkLink(d.RootPage);
        checkLink(d.FreeHead);
    }
    const TIndexDescriptor deleted = GetIndexDescriptor(DeletedIndexNo);
    if (deleted.KeyLength != DeletedIndexKeyLength || deleted.Compression > icBoth)
        Fail(ZIZIVU_HEADERCORRUPT);
    checkLink(deleted.RootPage);
    checkLink(deleted.FreeHead);
    // Unused slots keep the free chains of removed indexes for the next index added there.
    for (int32_t i = count + 1; i < DeletedIndexNo; ++i) checkLink(GetIndexDescriptor(i).FreeHead);
}

void TIndexFile::Empty() {
    WriteAt(*this, IndexHeaderSize, nullptr, 0, FOwner ? FOwner->Journal() : nullptr);
    if (FOwner && FOwner->ForceBufferFlush()) Flush();
    ClearPageCache(true);
    FHeader[OffVersion] = EngineFileVersion;
    bytes::PutU32(FHeader + OffNextNewPage, IndexHeaderSize);
    bytes::PutU32(FHeader + OffRecordCount, 0);
    for (int32_t i = 0; i <= DeletedIndexNo; ++i) {
        bytes::PutU32(DescriptorAt(i) + DescOffRoot, 0);
        bytes::PutU32(DescriptorAt(i) + DescOffFreeHead, 0);
    }
    MarkHeaderDirty();
}

uint32_t TIndexFile::GetCounter3974() const {
    return bytes::GetU32(FHeader + OffRecordCount);
}

void TIndexFile::SetCounter3974(uint32_t v) {
    bytes::PutU32(FHeader + OffRecordCount, v);
    MarkHeaderDirty();
}

void TIndexFile::IncCounter3974() {
    SetCounter3974(GetCounter3974() + 1);
}

void TIndexFile::DecCounter3974() {
    SetCounter3974(GetCounter3974() - 1);
}

// ---- Descriptors ------------------------------------------------------------------------

void TIndexFile::CheckIndexNo(int32_t i) const {
    if (i < 0 || i >= IndexDescriptorCount) Fail(ZIZIVU_INVALIDINDEXNAME);
}

void TIndexFile::SetIndexCount(int32_t n) {
    FHeader[OffIndexCount] = uint8_t(n);
    MarkHeaderDirty();
}

const TIndexDescriptor& TIndexFile::IndexDescriptor(int32_t i) const {
    CheckIndexNo(i);
    const uint64_t bit = uint64_t(1) << i;
    if (!(FDescriptorsRead & bit)) {
        FDescriptors[i].Read(DescriptorAt(i));
        FDescriptorsRead |= bit;
    }
    return FDescriptors[i];
}

void TIndexFile::SetIndexDescriptor(int32_t i, const TIndexDescriptor& d) {
    const TIndexDescriptor old = GetIndexDescriptor(i);
    TIndexDescriptor nd = d;
    nd.RootPage = 0;
    nd.FreeHead = old.FreeHead;
    nd.Reserved94 = 0;
    nd.Reserved95 = old.Reserved95;
    std::memset(nd.Reserved96, 0, sizeof nd.Reserved96);
    nd.Write(DescriptorAt(i));
    ApplyDescriptorToCache(i);
    MarkHeaderDirty();
}

void TIndexFile::SetIndexNameAndFields(int32_t i, const TIndexDescriptor& d) {
    TIndexDescriptor nd = GetIndexDescriptor(i);
    nd.Name = d.Name;
    nd.FieldCount = d.FieldCount;
    std::memcpy(nd.FieldOptions, d.FieldOptions, sizeof nd.FieldOptions);
    std::memcpy(nd.FieldNumbers, d.FieldNumbers, sizeof nd.FieldNumbers);
    nd.Write(DescriptorAt(i));
    MarkHeaderDirty();
}

std::string TIndexFile::GetIndexFields(int32_t i) const {
    CheckIndexNo(i);
    return std::string(reinterpret_cast<const char*>(DescriptorAt(i) + DescOffFields), 32);
}

uint32_t TIndexFile::GetRootPageNo(int32_t i) const {
    CheckIndexNo(i);
    return bytes::GetU32(DescriptorAt(i) + DescOffRoot);
}

void TIndexFile::SetRootPageNo(int32_t i, uint32_t pos) {
    CheckIndexNo(i);
    bytes::PutU32(DescriptorAt(i) + DescOffRoot, pos);
    MarkHeaderDirty();
}

uint32_t TIndexFile::GetFreeHead(int32_t i) const {
    CheckIndexNo(i);
    return bytes::GetU32(DescriptorAt(i) + DescOffFreeHead);
}

void TIndexFile::SetFreeHead(int32_t i, uint32_t pos) {
    bytes::PutU32(DescriptorAt(i) + DescOffFreeHead, pos);
    MarkHeaderDirty();
}

void TIndexFile::SetNoPrimaryIndex(bool v) {
    FHeader[OffNoPrimary] = v ? 1 : 0;
    if (v) {
        TIndexDescriptor cleared;
        cleared.FreeHead = GetFreeHead(0);
        cleared.Write(DescriptorAt(0));
        ApplyDescriptorToCache(0);
    }
    MarkHeaderDirty();
}

void TIndexFile::AddPrimaryIndex(const TIndexDescriptor& d, const TIndexFieldLookup& fields) {
    if (GetIndexDescriptor(0).KeyLength != 0) Fail(ZIZIVU_PRIMARYEXISTS);
    if (d.FieldCount > MaxIndexFields) Fail(ZIZIVU_INDEXLIMIT);
    if (d.FieldCount == 0) {
        SetNoPrimaryIndex(true);
        return;
    }
    const int32_t fieldBytes = ComputeKeyFieldBytes(d, fields);
    if (fieldBytes == -2) Fail(ZIZIVU_INVALIDINDEXTYPE);
    if (fieldBytes < 0) Fail(ZIZIVU_INVALIDINDEXFIELD);
    if (fieldBytes > MaxKeyFieldBytes) Fail(ZIZIVU_INVALIDKEYSIZE);
    FHeader[OffNoPrimary] = 0;
    TIndexDescriptor nd = d;
    nd.Name.clear();
    nd.Unique = 1;
    nd.KeyLength = uint16_t(fieldBytes);
    SetIndexDescriptor(0, nd);
}

void TIndexFile::AddSecondaryIndex(const TIndexDescriptor& d, const TIndexFieldLookup& fields) {
    const std::string name = Trim(d.Name);
    auto fail = [&](uint16_t code) {
        RaiseEngineError(code, FOwner ? FOwner->TableName() : FileName(), "", name);
    };
    const int32_t count = GetIndexCount();
    if (count >= MaxSecondaryIndexes || d.FieldCount > MaxIndexFields) fail(ZIZIVU_INDEXLIMIT);
    if (name.empty()) fail(ZIZIVU_INDEXNAMEMISSING);
    if (!IsIdentStartChar(name[0]) || name.size() > size_t(MaxIndexNameLength)) fail(ZIZIVU_INVALIDINDEXNAME);
    for (int32_t j = 1; j <= count; ++j)
        if (SameText(Trim(GetIndexDescriptor(j).Name), name)) fail(ZIZIVU_INDEXEXISTS);
    const int32_t fieldBytes = ComputeKeyFieldBytes(d, fields);
    if (fieldBytes == -2) fail(ZIZIVU_INVALIDINDEXTYPE);
    if (fieldBytes < 0) fail(ZIZIVU_INVALIDINDEXFIELD);
    if (fieldBytes == 0 || fieldBytes > MaxKeyFieldBytes) fail(ZIZIVU_INVALIDKEYSIZE);
    TIndexDescriptor nd = d;
    nd.Name = name;
    nd.KeyLength = uint16_t(fieldBytes + (d.Unique ? 0 : 4));
    SetIndexCount(count + 1);
    SetIndexDescriptor(count + 1, nd);
}

void TIndexFile::DeleteIndexDescriptor(int32_t i, bool remove) {
    MarkTreesChanged();
    if (i == 0) {
        SetNoPrimaryIndex(true);
        return;
    }
    const int32_t count = GetIndexCount();
    if (i < 1 || i > count) Fail(ZIZIVU_INVALIDINDEXNAME);
    if (!remove) {
        TIndexDescriptor cleared;
        cleared.FreeHead = GetFreeHead(i);
        cleared.Write(DescriptorAt(i));
        ApplyDescriptorToCache(i);
        MarkHeaderDirty();
        return;
    }
    // The descriptors above move down one slot with their caches; the removed one, with
    // its free chain and cached pages, goes to the slot of the last secondary index.
    uint8_t removed[IndexDescriptorSize];
    std::memcpy(removed, DescriptorAt(i), IndexDescriptorSize);
    TPageCache removedCache = std::move(FCaches[i]);
    for (int32_t j = i; j < count; ++j) {
        std::memcpy(DescriptorAt(j), DescriptorAt(j + 1), IndexDescriptorSize);
        FCaches[j] = std::move(FCaches[j + 1]);
    }
    std::memcpy(DescriptorAt(count), removed, IndexDescriptorSize);
    FCaches[count] = std::move(removedCache);
    for (int32_t j = i; j <= count; ++j)
        for (TPage* p : FCaches[j].Pages) p->FIndexNo = j;
    SetIndexCount(count - 1);
}

void TIndexFile::ApplyDescriptorToCache(int32_t i) {
    // A slot's new index takes over its free pages; other pages left there belong to no
    // tree any more.
    MarkTreesChanged();
    TPageCache& cache = FCaches[i];
    const TIndexDescriptor d = GetIndexDescriptor(i);
    for (size_t n = cache.Pages.size(); n-- > 0;) {
        TPage* p = cache.Pages[n];
        if (p->FFree) {
            p->FKeyLength = d.KeyLength;
            p->FDescending = d.Descending;
            p->FUnique = d.Unique;
            p->FCompression = d.Compression;
        } else if (p->FUseCount == 0) {
            RemoveFromCache(cache, p);
            FPagePool.Push(p);
        }
    }
}

// ---- Page cache -------------------------------------------------------------------------

void TIndexFile::CheckLink(uint32_t pos) const {
    if (pos == 0) return;
    if (pos % IndexPageSize != 0 || pos < uint32_t(IndexHeaderSize) || pos >= GetNextNewPage())
        Fail(ZIZIVU_PAGEBUFCORRUPT);
}

TPage* TIndexFile::FindCached(TPageCache& cache, uint32_t pos) {
    if (cache.Newest && cache.Newest->FPagePos == pos) return cache.Newest;
    if (cache.Newest && cache.Newest->FOlder && cache.Newest->FOlder->FPagePos == pos)
        return cache.Newest->FOlder;
    auto it = std::lower_bound(cache.Positions.begin(), cache.Positions.end(), pos);
    return it != cache.Positions.end() && *it == pos ? cache.Pages[size_t(it - cache.Positions.begin())]
                                                     : nullptr;
}

void TIndexFile::Unchain(TPageCache& cache, TPage* page) {
    if (page->FOlder) page->FOlder->FNewer = page->FNewer;
    if (page->FNewer) page->FNewer->FOlder = page->FOlder;
    if (cache.Oldest == page) cache.Oldest = page->FNewer;
    if (cache.Newest == page) cache.Newest = page->FOlder;
    page->FOlder = page->FNewer = nullptr;
}

void TIndexFile::Touch(TPageCache& cache, TPage* page) {
    if (cache.Newest == page) return;
    Unchain(cache, page);
    page->FOlder = cache.Newest;
    if (cache.Newest) cache.Newest->FNewer = page;
    cache.Newest = page;
    if (!cache.Oldest) cache.Oldest = page;
}

void TIndexFile::AddToCache(TPageCache& cache, TPage* page) {
    auto it = std::lower_bound(cache.Positions.begin(), cache.Positions.end(), page->FPagePos);
    const size_t at = size_t(it - cache.Positions.begin());
    cache.Pages.insert(cache.Pages.begin() + ptrdiff_t(at), page);
    cache.Positions.insert(it, page->FPagePos);
    Touch(cache, page);
}

void TIndexFile::RemoveFromCache(TPageCache& cache, TPage* page) {
    auto it = std::find(cache.Pages.begin(), cache.Pages.end(), page);
    if (it != cache.Pages.end()) {
        cache.Positions.erase(cache.Positions.begin() + (it - cache.Pages.begin()));
        cache.Pages.erase(it);
    }
    Unchain(cache, page);
}

TPage* TIndexFile::TakePageObject(int32_t indexNo) {
    TPageCache& cache = FCaches[indexNo];
    const bool inTransaction = FOwner && FOwner->InTransaction();
    for (int32_t attempt = 0;; ++attempt) {
        if (int32_t(cache.Pages.size()) < cache.Capacity) return FPagePool.Pop();
        for (TPage* p = cache.Oldest; p; p = p->FNewer) {
            if (!p->FModified && p->FUseCount == 0) {
                RemoveFromCache(cache, p);
                p->Reset();
                return p;
            }
        }
        if (inTransaction) {
            // Changes of a transaction stay in the cache: it grows instead.
            cache.Capacity += PageCacheGrowth;
            return FPagePool.Pop();
        }
        if (attempt > 0) Fail(ZIZIVU_PAGEBUFCORRUPT);
        FlushPages(false);
    }
}

bool TIndexFile::GetPage(TCacheClient* client, int32_t indexNo, uint32_t pos, TPage*& page, bool empty) {
    page = nullptr;
    CheckIndexNo(indexNo);
    if (pos == 0) Fail(ZIZIVU_PAGEBUFCORRUPT);
    ++FReads;
    TPageCache& cache = FCaches[indexNo];
    const uint32_t next = GetNextNewPage();
    if (pos == next) {
        if (next > IndexFileSizeLimit) Fail(ZIZIVU_TABLEFULL);
        MarkTreesChanged();
        TPage* p = TakePageObject(indexNo);
        p->Clear(this, indexNo, IndexDescriptor(indexNo));
        p->FPagePos = pos;
        p->FModified = true;
        AddToCache(cache, p);
        bytes::PutU32(FHeader + OffNextNewPage, next + IndexPageSize);
        MarkHeaderDirty();
        ++p->FUseCount;
        page = p;
        return true;
    }
    CheckLink(pos);
    if (TPage* p = FindCached(cache, pos)) {
        ++FHits;
        Touch(cache, p);
        if (p->FPagePos != pos) Fail(ZIZIVU_PAGEBUFCORRUPT);
        ++p->FUseCount;
        page = p;
        return true;
    }
    if (client && !(FOwner && FOwner->StrictChangeDetection()) && !client->LockForCacheMiss()) return false;
    // A page read may show another process's change that the cached pages do not.
    MarkTreesChanged();
    TPage* p = TakePageObject(indexNo);
    TScopeGuard back([this, &p] { FPagePool.Push(p); });
    uint8_t image[IndexPageSize];
    ReadAt(*this, int32_t(pos), image, IndexPageSize);
    if (FEncrypted) UnscrambleBuffer(image, IndexPageSize, IndexPageSeedLo, IndexPageSeedHi);
    p->Clear(this, indexNo, IndexDescriptor(indexNo));
    p->FPagePos = pos;
    p->LoadFromBuffer(image, empty);
    CheckLink(p->FPrev);
    CheckLink(p->FNext);
    back.Dismiss();
    ++FPageReads;
    AddToCache(cache, p);
    ++p->FUseCount;
    page = p;
    return true;
}

void TIndexFile::ReleasePage(TPage* page) {
    if (page && page->FUseCount > 0) --page->FUseCount;
}

bool TIndexFile::AllocatePage(TCacheClient* client, int32_t indexNo, TPage*& page) {
    page = nullptr;
    MarkTreesChanged();
    const uint32_t head = GetFreeHead(indexNo);
    TPage* p;
    if (!GetPage(client, indexNo, head ? head : GetNextNewPage(), p, head != 0)) return false;
    if (head) {
        // Only a free page may come off the chain: anything else means a damaged chain.
        if (!p->FFree) {
            ReleasePage(p);
            Fail(ZIZIVU_PAGEBUFCORRUPT);
        }
        SetFreeHead(indexNo, p->FNext);
    }
    p->Clear(this, indexNo, IndexDescriptor(indexNo));
    p->FModified = true;
    page = p;
    return true;
}

void TIndexFile::FreePage(TCacheClient*, TPage* page) {
    MarkTreesChanged();
    const int32_t i = page->FIndexNo;
    page->FNext = GetFreeHead(i);
    page->FFree = true;
    page->FCount = 0;
    page->FBytesUsed = 0;
    page->FPos1 = page->FPos2 = 0;
    page->FModified = true;
    SetFreeHead(i, page->FPagePos);
}

bool TIndexFile::GetRootPage(TCacheClient* client, int32_t indexNo, TPagePos which, TPage*& page) {
    page = nullptr;
    const uint32_t root = GetRootPageNo(indexNo);
    if (root == 0) return true;
    TPage* p;
    if (!GetPage(client, indexNo, root, p)) return false;
    // An empty tree has no root: a root page without entries is a freed one still named.
    if (!p->IsRoot() || p->FFree || p->Count() == 0) {
        ReleasePage(p);
        Fail(ZIZIVU_PAGEBUFCORRUPT);
    }
    p->FParent = 0;
    p->SetPosition(which, 1);
    page = p;
    return true;
}

void TIndexFile::FlushPages(bool flush) {
    if (GetIndexCount() > MaxHeaderIndexCount) Fail(ZIZIVU_HEADERCORRUPT);
    // Every cache: a removed index's slot may still hold its freed pages.
    std::vector<TPage*> dirty;
    for (auto& cache : FCaches)
        for (TPage* p : cache.Pages)
            if (p->FModified && p->FUseCount == 0) dirty.push_back(p);
    if (dirty.empty()) return;
    std::sort(dirty.begin(), dirty.end(),
              [](const TPage* a, const TPage* b) { return a->FPagePos < b->FPagePos; });
    // ForceBufferFlush syncs every write; a flush to disk syncs once, after the last run.
    const bool everyWrite = FOwner && FOwner->ForceBufferFlush();
    ForEachRun(
        dirty.data(), dirty.size(),
        [](const TPage* a, const TPage* b) { return a->FPagePos + IndexPageSize == b->FPagePos; },
        [&](TPage* const* run, int32_t n) {
            // A long run goes out in pieces of a bounded buffer (a bulk insert appends
            // thousands of pages).
            for (int32_t at = 0; at < n; at += RunPiecePages) {
                const int32_t m = std::min(RunPiecePages, n - at);
                SetBlockBufferSize(m * IndexPageSize, WriteBufferStep, FWriteBuffer, FWriteCapacity);
                for (int32_t j = 0; j < m; ++j) {
                    uint8_t* image = FWriteBuffer.get() + size_t(j) * IndexPageSize;
                    run[at + j]->SaveToBuffer(image);
                    if (FEncrypted) ScrambleBuffer(image, IndexPageSize, IndexPageSeedLo, IndexPageSeedHi);
                }
                WriteAt(*this, int32_t(run[at]->FPagePos), FWriteBuffer.get(), m * IndexPageSize,
                        FOwner ? FOwner->Journal() : nullptr);
            }
            ++FPageWrites;
            if (everyWrite) Flush();
            for (int32_t j = 0; j < n; ++j) run[j]->FModified = false;
            if (FOwner) FOwner->SetTableChanged();
        });
    if (flush && !everyWrite) Flush();
}

void TIndexFile::ClearCache(TPageCache& cache) {
    ++FCacheGeneration;
    MarkTreesChanged();
    for (TPage* p : cache.Pages) {
        p->FOlder = p->FNewer = nullptr;
        FPagePool.Push(p);
    }
    cache.Pages.clear();
    cache.Positions.clear();
    cache.Oldest = cache.Newest = nullptr;
}

void TIndexFile::DropCleanPage(int32_t indexNo, uint32_t pos) {
    CheckIndexNo(indexNo);
    TPageCache& cache = FCaches[indexNo];
    TPage* p = FindCached(cache, pos);
    if (!p || p->FModified || p->FUseCount > 0) return;
    MarkTreesChanged();
    RemoveFromCache(cache, p);
    FPagePool.Push(p);
}

void TIndexFile::ClearPageCache(bool withDeleted) {
    // One new generation and tree mark stand for every cache: the empty ones (most of the
    // 33) have nothing else to give back.
    ++FCacheGeneration;
    MarkTreesChanged();
    for (int32_t i = 0; i < IndexDescriptorCount; ++i)
        if ((i != DeletedIndexNo || withDeleted) && !FCaches[i].Pages.empty()) ClearCache(FCaches[i]);
}

void TIndexFile::TrimCache(TPageCache& cache) {
    // Keeps the lowest positions; a page that is dirty or pinned is never dropped.
    for (size_t n = cache.Pages.size(); n-- > size_t(PageCacheCapacity);) {
        TPage* p = cache.Pages[n];
        if (p->FModified || p->FUseCount > 0) continue;
        RemoveFromCache(cache, p);
        FPagePool.Push(p);
    }
    cache.Capacity = PageCacheCapacity;
}

void TIndexFile::TrimPageCache(bool withDeleted) {
    for (int32_t i = 0; i < IndexDescriptorCount; ++i)
        if (i != DeletedIndexNo || withDeleted) TrimCache(FCaches[i]);
}

TPage* TIndexFile::NewPageObject() {
    return FPagePool.Pop();
}

void TIndexFile::FreePageObject(TPage*& page) {
    FPagePool.Push(page);
}
