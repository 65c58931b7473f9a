#pragma once
// The table's index file (".IDX"): a 4096-byte header with 33 index descriptors and the
// active-record count, followed by 4096-byte pages. Every index (primary, up to 30
// secondary, and the deleted-records index 31) is a counted B+-tree of those pages:
// interior entries carry the first key of a child's subtree, the child's position and the
// number of keys below it, so ordinal positions are found in one descent.
//
// TPage is one cached page with its entries unpacked (full keys); TIndexFile owns the
// header image, one page cache per index number, the free-page chains and the tree
// operations. Key order is the cursor's (TCacheClient::CompareKeys).
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "db/engine/DescriptorCodes.h"
#include "db/engine/TableFiles.h"
#include "db/storage/Encodings.h"
#include "db/storage/FileLayer.h"
#include "db/storage/Library.h"
#include "db/storage/LibraryMemory.h"
#include "platform/rtl/ByteCodec.h"

class TRecordsBitmap;
class TIndexFile;
class TPageRef;

constexpr int32_t IndexHeaderSize = 4096;
constexpr int32_t IndexPageSize = 4096;
constexpr int32_t IndexPageHeaderSize = 13;
// Bytes of entries a page holds.
constexpr int32_t IndexPageDataSize = IndexPageSize - IndexPageHeaderSize;  // 4083
constexpr int32_t IndexDescriptorSize = 120;
constexpr int32_t IndexDescriptorCount = 33;
constexpr int32_t MaxSecondaryIndexes = 30;
constexpr int32_t MaxIndexFields = 16;
constexpr int32_t MaxIndexNameLength = 30;
// Index number of the deleted-records index and its key length (status byte and row id).
constexpr int32_t DeletedIndexNo = 31;
constexpr int32_t DeletedIndexKeyLength = 5;
constexpr const char* DeletedIndexName = "Sys Deleted";
// The file may not grow beyond this position.
constexpr uint32_t IndexFileSizeLimit = 2000000000;
// Steady-state pages per index cache, and the growth inside a transaction.
constexpr int32_t PageCacheCapacity = 15;
constexpr int32_t PageCacheGrowth = 64;

// Seed pairs of the scrambling of encrypted tables: the header is scrambled as one block,
// every page on its own from the start of the pair.
constexpr uint8_t IndexHeaderSeedLo = 0x5B, IndexHeaderSeedHi = 0xC6;
constexpr uint8_t IndexPageSeedLo = 0x3D, IndexPageSeedHi = 0x92;

// Page types (below ptLeaf = interior).
constexpr uint8_t ptRootInterior = 0;
constexpr uint8_t ptInterior = 1;
constexpr uint8_t ptLeaf = 2;
constexpr uint8_t ptRootLeaf = 3;

// One 120-byte index descriptor.
struct TIndexDescriptor {
    std::string Name;
    uint16_t KeyLength = 0;  // 0: slot unused; a non-unique index counts its 4-byte row id
    uint8_t Descending = 0;
    uint8_t CaseInsensitive = 0;
    uint8_t Unique = 0;
    uint8_t Compression = 0;
    uint8_t FieldCount = 0;
    uint8_t FieldOptions[MaxIndexFields] = {};  // per-field descending flags
    uint16_t FieldNumbers[MaxIndexFields] = {};
    uint32_t RootPage = 0;
    uint32_t FreeHead = 0;
    uint8_t Reserved94 = 0;
    uint8_t Reserved95 = 0;
    uint8_t Reserved96[24] = {};

    void Read(const uint8_t* p);
    void Write(uint8_t* p) const;
};

// What the index file needs to know of a table field: its type and the bytes of its key
// image. The shared table answers from its field descriptors.
struct TIndexFieldInfo {
    TEngineDataType Type = 0;
    int32_t StoredSize = 0;
};
// False when the table has no field of that number (1-based).
using TIndexFieldLookup = std::function<bool(int32_t fieldNo, TIndexFieldInfo& info)>;

// A leaf entry's place: the page's position and the 1-based slot in it.
struct TLeafSlot {
    uint32_t Page = 0;
    int32_t Slot = 0;
};

// Which of a page's two entry positions an operation uses: the first serves insertion,
// removal and the exact searches, the second the counting and range walks.
enum class TPagePos { First, Second };

class TPage : public TObject {
public:
    TPage() = default;
    TPage(const TPage&) = delete;
    TPage& operator=(const TPage&) = delete;

    // Pool reset: an empty page of no index.
    void Reset();
    // An empty leaf of the index, with the descriptor's key settings.
    void Clear(TIndexFile* owner, int32_t indexNo, const TIndexDescriptor& d);
    // Copies position, links, type and entries of another page.
    void Assign(const TPage& source);

    // Entries a page of this type holds; a compressed leaf is bounded by bytes instead.
    int32_t GetMaxKeys() const;
    // Too many entries (or, for a compressed leaf, bytes) for one page.
    bool Overfull() const;
    void SetKeyCount(int32_t n);
    void SetPageType(uint8_t type) { FPageType = type; }

    // Reads a page image (unscrambled). With empty the entries are ignored and the page
    // counts as free when its stored count is 0. 8965 for an image that cannot be a page.
    void LoadFromBuffer(const uint8_t* image, bool empty);
    // Writes the 4096-byte image; a free page has count 0 and no entries. 8965 when a
    // compressed leaf does not fit.
    void SaveToBuffer(uint8_t* image) const;
    // Recomputes the L and T bytes of every entry and the bytes used (compressed leaves).
    void PackKeys();
    // Parses the packed entries of an image into full keys.
    void UnpackKeys(const uint8_t* entries, int32_t count, int32_t bytesUsed);

    // Entry access, 1-based.
    uint8_t* EntryKey(int32_t i) { return FEntries.get() + size_t(i - 1) * Stride(); }
    const uint8_t* EntryKey(int32_t i) const { return FEntries.get() + size_t(i - 1) * Stride(); }
    uint32_t EntryValue(int32_t i) const;
    void SetEntryValue(int32_t i, uint32_t v);
    // Copies a key into an entry of an interior page (no compression to keep).
    void SetEntryKey(int32_t i, const uint8_t* key);
    // Keys in the entry's subtree: the stored count on an interior page, 1 on a leaf.
    uint32_t EntryCount(int32_t i) const;
    void SetEntryCount(int32_t i, uint32_t v);
    // Index of the interior entry whose child is at pos; 0 when none.
    int32_t FindChild(uint32_t pos) const;

    int32_t Position(TPagePos which) const { return which == TPagePos::First ? FPos1 : FPos2; }
    void SetPosition(TPagePos which, int32_t v) { (which == TPagePos::First ? FPos1 : FPos2) = v; }
    uint32_t GetCurrentValue() const { return EntryValue(FPos1); }
    uint32_t GetCurrentValue2() const { return EntryValue(FPos2); }
    uint32_t GetCurrentCount() const { return EntryCount(FPos1); }
    uint32_t GetCurrentCount2() const { return EntryCount(FPos2); }
    void SetCurrentValue(uint32_t v) { SetEntryValue(FPos1, v); }
    void SetCurrentCount(uint32_t v);
    // Keys below the page: the sum of the counts, or the entry count on a leaf.
    uint32_t GetTotalCount() const;
    const uint8_t* GetCurrentEntry(TPagePos which) const { return EntryKey(Position(which)); }
    // Copies the other position into the one named.
    void CopyPosition(TPagePos to);
    bool NextPosition(TPagePos which);
    bool PriorPosition(TPagePos which);
    void FirstPosition(TPagePos which) { SetPosition(which, 1); }
    void LastPosition(TPagePos which) { SetPosition(which, FCount); }

    // Opens a slot after the first position, copies the key there and moves the first
    // position onto it.
    void InsertEntry(const uint8_t* key);
    // Closes the slot at the first position (clamped to the new count).
    void DeleteEntry();
    void SetCurrentKey(const uint8_t* key);

    // Exact searches on the first position (bisection with the cursor's compare).
    bool FindKeyPos(TCacheClient* client, const uint8_t* key);
    void FindInsertPos(TCacheClient* client, const uint8_t* key);
    // Whether the key lies above the last entry: where keys written in ascending order land,
    // found with one comparison instead of a bisection.
    bool KeyAboveLast(TCacheClient* client, const uint8_t* key) const {
        return FCount >= 1 && client->CompareKeys(EntryKey(FCount), key, FKeyLength) < 0;
    }
    void FindDeletePos(TCacheClient* client, const uint8_t* key);
    // Counting searches on the second position: each adds the keys before the position
    // it settles on to count.
    bool FindNearestPos(TCacheClient* client, const uint8_t* key, bool after, int32_t& count);
    // The same position without the count, for searches that only ask whether a key is there;
    // notAbove (when given) takes the last entry not above the key, or -1 when one equals it.
    bool FindNearestPos(TCacheClient* client, const uint8_t* key, bool after, int32_t* notAbove = nullptr);
    void CountFirst(int32_t& count);
    void CountToEnd(int32_t& count);
    void CountToKey(TCacheClient* client, const uint8_t* key, int32_t& count);
    void CountToKeyAfter(TCacheClient* client, const uint8_t* key, int32_t& count);
    void CountToRangeStart(TCacheClient* client, const uint8_t* key, int32_t& count) {
        CountToKey(client, key, count);
    }
    void CountToRangeEnd(TCacheClient* client, const uint8_t* key, int32_t& count) {
        CountToKeyAfter(client, key, count);
    }
    bool SeekInRange(TCacheClient* client, const uint8_t* startKey, const uint8_t* endKey, bool after,
                     int32_t& count);

    // Walks over the leaf's entries from the second position (exclusive) to the next
    // (prior) entry whose record is set in the bitmap; count grows by one per entry
    // stepped onto. The bounded forms stop, false, at an entry beyond the bound key.
    bool NextKeyInBitmap(const TRecordsBitmap& bitmap, int32_t& count);
    bool PriorKeyInBitmap(const TRecordsBitmap& bitmap, int32_t& count);
    bool NextKeyInBitmapBounded(TCacheClient* client, const TRecordsBitmap& bitmap, const uint8_t* bound,
                                int32_t& count);
    bool PriorKeyInBitmapBounded(TCacheClient* client, const TRecordsBitmap& bitmap, const uint8_t* bound,
                                 int32_t& count);
    // Marks the records of the entries from the second position on up to the bound key;
    // true when the whole rest of the page was marked (the walk continues on the next leaf).
    bool MarkKeysInBitmap(TCacheClient* client, TRecordsBitmap& bitmap, const uint8_t* bound);
    // Entries after (direction 1) or before the first position whose record numbers
    // continue the current one by one, at most maximum.
    uint32_t CountRecordRun(uint32_t maximum, int32_t direction) const;

    bool IsLeaf() const { return FPageType >= ptLeaf; }
    bool IsRoot() const { return FPageType == ptRootInterior || FPageType == ptRootLeaf; }
    bool IsCompressedLeaf() const { return IsLeaf() && FCompression != icNone; }
    uint8_t PageType() const { return FPageType; }
    int32_t Count() const { return FCount; }
    int32_t KeyLength() const { return FKeyLength; }
    int32_t IndexNo() const { return FIndexNo; }
    uint8_t Compression() const { return FCompression; }
    bool Unique() const { return FUnique != 0; }
    uint32_t PagePos() const { return FPagePos; }
    uint32_t Parent() const { return FParent; }
    void SetParent(uint32_t pos) { FParent = pos; }
    uint32_t Prev() const { return FPrev; }
    uint32_t Next() const { return FNext; }
    void SetPrev(uint32_t pos) { FPrev = pos; }
    void SetNext(uint32_t pos) { FNext = pos; }
    int32_t BytesUsed() const { return FBytesUsed; }
    bool Modified() const { return FModified; }
    void SetModified() { FModified = true; }
    bool Free() const { return FFree; }
    int32_t UseCount() const { return FUseCount; }
    // L and T of a compressed leaf entry.
    void EntryCompression(int32_t i, int32_t& leading, int32_t& trailing) const;

private:
    friend class TIndexFile;

    int32_t Stride() const { return FKeyLength + 12; }
    void EnsureEntries(int32_t n);
    // Bisection: the last entry not above the key (0 when all are above), and whether it
    // equals the key. 8965 on a page without entries.
    int32_t LastNotAbove(TCacheClient* client, const uint8_t* key, bool& equal) const;
    uint32_t CountBefore(int32_t pos) const;
    // Leading and trailing counts of one compressed entry (from its predecessor).
    void ComputeLT(int32_t i, uint16_t& leading, uint16_t& trailing) const;
    int32_t PackedSize(uint16_t leading, uint16_t trailing) const;
    void StoreLT(int32_t i, uint16_t leading, uint16_t trailing);
    void SumBytesUsed();
    // Bytes used recomputed with entries from..from + 1 repacked.
    void RepackAt(int32_t from);
    bool RecordSet(const TRecordsBitmap& bitmap, int32_t i) const;
    [[noreturn]] void Corrupt() const;

    TIndexFile* FOwner = nullptr;
    bool FModified = false;
    int32_t FUseCount = 0;
    uint32_t FPagePos = 0;
    uint32_t FParent = 0;
    int32_t FBytesUsed = 0;
    int32_t FCount = 0;
    int32_t FPos1 = 0;
    int32_t FPos2 = 0;
    int32_t FKeyLength = 0;
    int32_t FIndexNo = 0;
    uint8_t FDescending = 0;
    uint8_t FUnique = 0;
    uint8_t FCompression = 0;
    // Entries: key, u32 value, u32 count (interior) or the L and T bytes (leaf).
    TLibraryPtr<uint8_t[]> FEntries;
    int32_t FCapacity = 0;
    uint32_t FPrev = 0;
    uint32_t FNext = 0;
    uint8_t FPageType = ptLeaf;
    bool FFree = false;
    // Recency chain of the page's cache.
    TPage* FOlder = nullptr;
    TPage* FNewer = nullptr;
};

class TPageStack : public TObjectPool<TPage, false> {
public:
    TPageStack() : TObjectPool<TPage, false>(4095) {}
};

// Header bytes read on every move of a cursor (kept here so that their readers inline).
constexpr int32_t HeaderChangeCounterOffset = 0;
constexpr int32_t HeaderIndexCountOffset = 13;
constexpr int32_t HeaderNoPrimaryOffset = 3978;

class TIndexFile : public TFileHandler {
public:
    explicit TIndexFile(TTableFilesOwner* owner);
    ~TIndexFile() override;

    // Opens and reads the header; 8961 when it declares more than 32 indexes.
    void Open() override;
    // Frees every cached page, the deleted-records index's included, and closes.
    void Close() override;
    // A new file with a fresh header image (only the deleted-records index), modified.
    void CreateFile() override;

    // Scrambling of header and pages; the table sets it from its data file.
    void SetEncrypted(bool v) { FEncrypted = v; }
    bool Encrypted() const { return FEncrypted; }

    // ---- Header ----
    void ReadHeader();
    // When always or modified: change counter + 1, write, flush as the session asks.
    void WriteHeader(bool always, bool flush = false);
    void MarkHeaderDirty();
    bool HeaderModified() const { return FHeaderModified; }
    // Takes a header image kept earlier back, with its mark (a change undone).
    void RestoreHeader(const uint8_t* image, bool modified);
    // Rereads the header; true (and the new header taken) when its change counter moved.
    // The new header must pass the open check against the fields, or it is refused (8961)
    // and the one in hand kept.
    // (No check without fields.)
    bool HeaderChanged(const TIndexFieldLookup* fields);
    uint32_t GetChangeCount() const { return bytes::GetU32(FHeader + HeaderChangeCounterOffset); }
    // The open check against the table's fields: 12035, 8961.
    void CheckHeader(const TIndexFieldLookup& fields) const;
    // Truncates the pages away and clears every index.
    void Empty();
    const uint8_t* HeaderImage() const { return FHeader; }
    uint32_t GetNextNewPage() const;

    uint32_t GetCounter3974() const;
    void SetCounter3974(uint32_t v);
    void IncCounter3974();
    void DecCounter3974();

    // ---- Descriptors ----
    int32_t GetIndexCount() const { return FHeader[HeaderIndexCountOffset]; }
    void SetIndexCount(int32_t n);
    TIndexDescriptor GetIndexDescriptor(int32_t i) const { return IndexDescriptor(i); }
    // The decoded descriptor, valid until the header or that descriptor changes.
    const TIndexDescriptor& IndexDescriptor(int32_t i) const;
    // Name, key length, flags, fields; clears root and the reserved bytes, keeps the chain.
    void SetIndexDescriptor(int32_t i, const TIndexDescriptor& d);
    void SetIndexNameAndFields(int32_t i, const TIndexDescriptor& d);
    // The 32 bytes of field numbers.
    std::string GetIndexFields(int32_t i) const;
    uint32_t GetRootPageNo(int32_t i) const;
    void SetRootPageNo(int32_t i, uint32_t pos);
    uint32_t GetFreeHead(int32_t i) const;
    bool GetNoPrimaryIndex() const { return FHeader[HeaderNoPrimaryOffset] != 0; }
    // Setting it clears descriptor 0 except its free-page chain.
    void SetNoPrimaryIndex(bool v);
    // The key length is computed from the fields (their sizes + 1, + 4 when not unique).
    void AddPrimaryIndex(const TIndexDescriptor& d, const TIndexFieldLookup& fields);
    void AddSecondaryIndex(const TIndexDescriptor& d, const TIndexFieldLookup& fields);
    void DeleteIndexDescriptor(int32_t i, bool remove);
    // Key bytes of the index's fields (stored size + 1 each, without a row id); -1 when a
    // field is unknown, -2 for a BLOB field.
    static int32_t ComputeKeyFieldBytes(const TIndexDescriptor& d, const TIndexFieldLookup& fields);

    // ---- Pages ----
    // Fetches (and pins) the index's page at pos; false when a cache miss found the files
    // changed and the caches were dropped: the caller restarts without touching its pages.
    bool GetPage(TCacheClient* client, int32_t indexNo, uint32_t pos, TPage*& page, bool empty = false);
    void ReleasePage(TPage* page);
    // A cleared leaf from the index's free chain, else appended at the file's end.
    bool AllocatePage(TCacheClient* client, int32_t indexNo, TPage*& page);
    // Puts the page at the head of the index's free chain.
    void FreePage(TCacheClient* client, TPage* page);
    // The root with the chosen position on 1; nil for an empty index.
    bool GetRootPage(TCacheClient* client, int32_t indexNo, TPagePos which, TPage*& page);
    void FlushPages(bool flush);
    void ClearPageCache(bool withDeleted);
    // Drops the page at pos from the index's cache when it is there, clean and unpinned.
    void DropCleanPage(int32_t indexNo, uint32_t pos);
    void TrimPageCache(bool withDeleted);
    TPage* NewPageObject();
    void FreePageObject(TPage*& page);
    // Counts the times the caches were dropped: a page pinned before a drop is gone.
    uint32_t CacheGeneration() const { return FCacheGeneration; }
    // Moves whenever what a descent finds may have changed: a page of any index changed,
    // read, freed or dropped, the header changed, reread or restored. Values come from one
    // process-wide sequence, so two index file objects never show the same one.
    uint64_t TreeMark() const { return FTreeMark; }

    // ---- Tree ----
    // Inserts into the page after its first position (0: at the front); on a leaf value is
    // the record number and count 1, on an interior page a child and its total.
    bool InsertKey(TPage* page, TCacheClient* client, const uint8_t* key, uint32_t count, uint32_t value);
    // Removes the entry at the page's first position.
    bool DeleteKey(TPage* page, TCacheClient* client);
    // Descents from the root: insert a (key, record) entry, remove a key (8965 when it is
    // missing), the ordinal of a key (1 + keys below it; found when present), the key and
    // record at an ordinal (found false outside 1..key count), and the key count. All
    // return false when the caches were dropped.
    bool InsertIndexKey(TCacheClient* client, int32_t indexNo, const uint8_t* key, uint32_t recordNo);
    // count keys of keyLength bytes each, in ascending order, with their record numbers: put
    // in as that many InsertIndexKey calls would, pages, counts and splits alike.
    bool AppendIndexKeys(TCacheClient* client, int32_t indexNo, const uint8_t* keys, int32_t keyLength,
                         const uint32_t* recordNos, int32_t count);
    bool DeleteIndexKey(TCacheClient* client, int32_t indexNo, const uint8_t* key);
    // A key's change that stays inside one leaf, when the leaf is the one the probe of the
    // new key (ContainsKey) ended in, holds the old key past its first entry, brackets the
    // new key and keeps at least half its capacity without the old key: the entry moves
    // within the leaf and true comes back. The pages then are as DeleteIndexKey followed by
    // InsertIndexKey would leave them (the counts above gain and lose the same key). Else
    // nothing changes and false comes back.
    bool MoveKeyWithinLeaf(TCacheClient* client, int32_t indexNo, const uint8_t* oldKey,
                           const uint8_t* newKey, uint32_t recordNo);
    bool FindKeyOrdinal(TCacheClient* client, int32_t indexNo, const uint8_t* key, int32_t& ordinal,
                        bool& found);
    // FindKeyOrdinal's search without summing the counts of the pages passed.
    bool ContainsKey(TCacheClient* client, int32_t indexNo, const uint8_t* key, bool& found);
    // The same search, and the record number of the key's entry when found (the entry at
    // FindKeyOrdinal's ordinal); it leaves no probe behind.
    bool FindKeyRecord(TCacheClient* client, int32_t indexNo, const uint8_t* key, bool& found,
                       uint32_t& recordNo);
    // With run given: how many entries from the ordinal's on, in runDirection and at most
    // runMaximum, the leaf holds whose record numbers follow each other (1 at least).
    // With at given: the leaf slot the entry was found in.
    bool GetKeyAtOrdinal(TCacheClient* client, int32_t indexNo, int32_t ordinal, uint8_t* key,
                         uint32_t& recordNo, bool& found, uint32_t* run = nullptr, uint32_t runMaximum = 1,
                         int32_t runDirection = 1, TLeafSlot* at = nullptr);
    // What GetKeyAtOrdinal gives for an entry of a cached leaf, read without a descent; false
    // when the page is not cached, is not a leaf or the slot lies outside it.
    bool GetKeyInCachedLeaf(int32_t indexNo, const TLeafSlot& at, uint8_t* key, uint32_t& recordNo,
                            uint32_t* run, uint32_t runMaximum, int32_t runDirection);
    bool GetIndexKeyCount(TCacheClient* client, int32_t indexNo, int32_t& count);

    // ---- Statistics ----
    uint32_t Hits() const { return FHits; }
    uint32_t Reads() const { return FReads; }
    uint32_t PageReads() const { return FPageReads; }
    uint32_t PageWrites() const { return FPageWrites; }
    // Pages cached for the index and the cache's capacity.
    int32_t CachedPages(int32_t indexNo) const { return int32_t(FCaches[indexNo].Pages.size()); }
    int32_t CacheCapacity(int32_t indexNo) const { return FCaches[indexNo].Capacity; }

    TTableFilesOwner* Owner() const { return FOwner; }
    // Raises the code with the table's name.
    [[noreturn]] void Fail(uint16_t code) const;
    // 8965 unless pos is 0 or a page position of the file.
    void CheckLink(uint32_t pos) const;

private:
    bool SearchKey(TCacheClient* client, int32_t indexNo, const uint8_t* key, int32_t* ordinal, bool& found,
                   uint32_t* recordNo = nullptr);
    // The descent of the last probe for a key (ContainsKey), per index: an insert of the
    // same key that follows (an insert checks each key first) tries each page's remembered
    // place with two comparisons before it searches the page. The place is only taken when
    // the page's entries around it bracket the key, so a page changed since decides anew.
    static constexpr int32_t MaxProbeDepth = 16;
    struct TProbePath {
        std::vector<uint8_t> Key;
        int32_t Depth = 0;
        uint32_t Pages[MaxProbeDepth] = {};
        int32_t NotAbove[MaxProbeDepth] = {};
    };
    // The probe of this key in this index, or nil.
    const TProbePath* ProbeOf(int32_t indexNo, const uint8_t* key, int32_t keyLength) const;
    // FindInsertPos, taking the probe's place at this level when it still holds.
    void FindInsertPosAfterProbe(TPage* page, TCacheClient* client, const uint8_t* key,
                                 const TProbePath* probe, size_t level);
    struct TPageCache {
        std::vector<TPage*> Pages;  // by position
        // Their positions, side by side: a look-up bisects these instead of reaching into
        // a page object at every step (a transaction keeps hundreds of pages).
        std::vector<uint32_t> Positions;
        TPage* Oldest = nullptr;
        TPage* Newest = nullptr;
        int32_t Capacity = PageCacheCapacity;
    };

    // Writes to a descriptor's bytes go through here, which drops its decoded copy.
    uint8_t* DescriptorAt(int32_t i) {
        FDescriptorsRead &= ~(uint64_t(1) << i);
        return FHeader + 14 + IndexDescriptorSize * i;
    }
    const uint8_t* DescriptorAt(int32_t i) const { return FHeader + 14 + IndexDescriptorSize * i; }
    // After the whole header was replaced.
    void ForgetDescriptors() { FDescriptorsRead = 0; }
    void NewHeader();
    void SetFreeHead(int32_t i, uint32_t pos);
    void CheckIndexNo(int32_t i) const;
    void ApplyDescriptorToCache(int32_t i);

    TPage* FindCached(TPageCache& cache, uint32_t pos);
    void Touch(TPageCache& cache, TPage* page);
    // A cached page taken without GetPage, counted as GetPage counts a hit.
    void CountHit(TPageCache& cache, TPage* page) {
        ++FReads;
        ++FHits;
        Touch(cache, page);
    }
    void Unchain(TPageCache& cache, TPage* page);
    void AddToCache(TPageCache& cache, TPage* page);
    void RemoveFromCache(TPageCache& cache, TPage* page);
    TPage* TakePageObject(int32_t indexNo);
    void ClearCache(TPageCache& cache);
    void TrimCache(TPageCache& cache);

    // The page's parent, pinned, and the page's entry in it; 8965 when the page has no
    // parent or the parent does not name it. False when the caches were dropped.
    bool GetParent(TCacheClient* client, TPage* page, TPageRef& parent, int32_t& entry);
    bool UpdateParentKey(TPage* page, TCacheClient* client);
    bool SplitPage(TPage* page, TCacheClient* client);
    bool RemoveEmptyLeaf(TPage* page, TCacheClient* client);
    bool Rebalance(TPage* page, TCacheClient* client);
    bool Unlink(TPage* page, TCacheClient* client);
    bool DescendHeld(TCacheClient* client, int32_t indexNo, TPageRef& cur, std::vector<TPageRef>& path,
                     int32_t& depth);
    // InsertIndexKey with its pages left pinned in path and cur; atEnd tells whether the key
    // went down the last entry of every page and in after the leaf's last entry, no split.
    bool InsertIndexKeyHeld(TCacheClient* client, int32_t indexNo, const uint8_t* key, uint32_t recordNo,
                            TPageRef& cur, std::vector<TPageRef>& path, bool& atEnd);
    // The entries a key descended through (at their first positions) count it.
    static void CountKeyOnPath(std::vector<TPageRef>& path);
    void MoveEntries(TPage* from, int32_t first, int32_t n, TPage* to, int32_t at);
    void ReadLeafEntry(TPage* leaf, int32_t slot, uint8_t* key, uint32_t& recordNo, uint32_t* run,
                       uint32_t runMaximum, int32_t runDirection);
    void MarkTreesChanged();

    TTableFilesOwner* FOwner;
    bool FEncrypted = false;
    uint8_t FHeader[IndexHeaderSize] = {};
    // The descriptors decoded from the header (a write keeps about eight look-ups per row),
    // each valid while its bit in FDescriptorsRead is set.
    mutable TIndexDescriptor FDescriptors[IndexDescriptorCount];
    mutable uint64_t FDescriptorsRead = 0;
    bool FHeaderModified = false;
    TPageStack FPagePool;
    TPageCache FCaches[IndexDescriptorCount];
    TLibraryPtr<uint8_t[]> FWriteBuffer;
    int32_t FWriteCapacity = 0;
    uint32_t FCacheGeneration = 0;
    uint64_t FTreeMark = 0;
    std::vector<TProbePath> FProbes;  // per index, made on the first probe
    uint32_t FHits = 0;
    uint32_t FReads = 0;
    uint32_t FPageReads = 0;
    uint32_t FPageWrites = 0;
};

// A pinned page that is released when the reference goes, unless the caches were dropped
// meanwhile (the page object then belongs to the pool).
class TPageRef {
public:
    explicit TPageRef(TIndexFile& file) : FFile(&file) {}
    TPageRef(TPageRef&& other) noexcept
        : FFile(other.FFile), FPage(other.FPage), FGeneration(other.FGeneration) {
        other.FPage = nullptr;
    }
    TPageRef& operator=(TPageRef&& other) noexcept {
        if (this != &other) {
            Release();
            FFile = other.FFile;
            FPage = other.FPage;
            FGeneration = other.FGeneration;
            other.FPage = nullptr;
        }
        return *this;
    }
    TPageRef(const TPageRef&) = delete;
    TPageRef& operator=(const TPageRef&) = delete;
    ~TPageRef() { Release(); }

    bool Get(TCacheClient* client, int32_t indexNo, uint32_t pos, bool empty = false) {
        Release();
        TPage* p;
        if (!FFile->GetPage(client, indexNo, pos, p, empty)) return false;
        Hold(p);
        return true;
    }
    bool Allocate(TCacheClient* client, int32_t indexNo) {
        Release();
        TPage* p;
        if (!FFile->AllocatePage(client, indexNo, p)) return false;
        Hold(p);
        return true;
    }
    bool Root(TCacheClient* client, int32_t indexNo, TPagePos which) {
        Release();
        TPage* p;
        if (!FFile->GetRootPage(client, indexNo, which, p)) return false;
        if (p) Hold(p);
        return true;
    }
    void Release() {
        if (FPage && FGeneration == FFile->CacheGeneration()) FFile->ReleasePage(FPage);
        FPage = nullptr;
    }
    TPage* get() const { return FPage; }
    TPage* operator->() const { return FPage; }
    explicit operator bool() const { return FPage != nullptr; }

private:
    void Hold(TPage* p) {
        FPage = p;
        FGeneration = FFile->CacheGeneration();
    }

    TIndexFile* FFile;
    TPage* FPage = nullptr;
    uint32_t FGeneration = 0;
};
