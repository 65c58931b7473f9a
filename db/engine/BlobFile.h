#pragma once
// The table's BLOB file (".BLB"): a 512-byte header, then blocks of the table's block size,
// each an 18-byte block header and data. One BLOB value is a doubly linked chain of blocks
// that all name their owning record; freed blocks form a last-in first-out chain.
// TBlobFile keeps the header and a cache of blocks; TBlobBuffer holds one value in memory
// and loads it from or saves it into its chain.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "db/engine/EngineFileSupport.h"
#include "db/engine/EntryCache.h"
#include "db/engine/TableFiles.h"
#include "db/storage/FileLayer.h"
#include "db/storage/Library.h"
#include "db/storage/LibraryMemory.h"

constexpr int32_t BlobFileHeaderSize = 512;
constexpr int32_t BlockHeaderSize = 18;
// The first block's position, and the bound of the next new block position.
constexpr uint32_t FirstBlockPosition = 512;
constexpr int64_t MaxBlobFileBytes = 2000000000;

struct TBlobFileHeader {
    uint32_t ChangeCount = 0;                        // 0
    uint32_t Reserved4 = 0;                          // 4
    uint8_t Version = 0;                             // 8
    uint32_t FreeHead = 0;                           // 9
    uint32_t NextBlockPos = 0;                       // 13
    uint8_t Modified = 0;                            // 17
    uint8_t Reserved[BlobFileHeaderSize - 18] = {};  // 18..511, carried

    void ReadFrom(const uint8_t* image);
    void WriteTo(uint8_t* image) const;
};

struct TBlockHeader {
    uint32_t PrevBlock = 0;    // 0
    uint32_t NextBlock = 0;    // 4: in a free block the next free block
    uint16_t BytesUsed = 0;    // 8
    uint32_t OwnerRecord = 0;  // 10
    uint32_t TotalLength = 0;  // 14: first block only

    void ReadFrom(const uint8_t* image);
    void WriteTo(uint8_t* image) const;
};

class TBlobFile;

// One cached block; Number is its position.
class TBlock : public TCacheEntry {
public:
    TBlock() = default;
    TBlock(const TBlock&) = delete;
    TBlock& operator=(const TBlock&) = delete;

    void Reset();
    void Prepare(TBlobFile* owner, int32_t dataSize);
    // Header and data zeroed.
    void Clear();
    void ClearImage() { Clear(); }
    // The block image (header and data), already unscrambled.
    void LoadFromBuffer(const uint8_t* image);
    void SaveToBuffer(uint8_t* image) const;
    // At most the bytes used from the offset; the bytes copied. 10029 beyond the data size.
    int32_t ReadData(int32_t offset, int32_t count, void* dest) const;
    // Bytes used becomes offset + count; 10029 beyond the data size.
    void WriteData(int32_t offset, int32_t count, const void* source);
    void SetTotalLength(uint32_t v);
    void SetOwnerRecord(uint32_t v);
    void SetPrevBlock(uint32_t v);
    void SetNextBlock(uint32_t v);

    uint32_t Position() const { return Number; }
    uint32_t TotalLength() const { return FHeader.TotalLength; }
    uint32_t OwnerRecord() const { return FHeader.OwnerRecord; }
    uint32_t PrevBlock() const { return FHeader.PrevBlock; }
    uint32_t NextBlock() const { return FHeader.NextBlock; }
    uint16_t BytesUsed() const { return FHeader.BytesUsed; }
    const uint8_t* Data() const { return FData.get(); }
    int32_t DataSize() const { return FDataSize; }
    bool IsModified() const { return Modified != 0; }

private:
    TBlobFile* FOwner = nullptr;
    TBlockHeader FHeader;
    TLibraryPtr<uint8_t[]> FData;
    int32_t FDataSize = 0;
    int32_t FCapacity = 0;
};

using TBlockStack = TObjectPool<TBlock, false>;

// Repair log of a repair run: one line per damage found.
using TBlobRepairLogEvent = std::function<void(const std::string& text)>;

// What a checked walk does with a chain: only checks it, cuts it where it breaks and keeps
// the rest, or frees every block it walks.
enum class TChainWalk { Verify, Cut, Free };

class TBlobFile : public TFileHandler, private TEntryCacheHost<TBlock> {
public:
    explicit TBlobFile(TTableFilesOwner* owner);
    ~TBlobFile() override;

    // The table's block size (0 stands for 512) and encryption; set before the file is
    // opened or created.
    void SetBlockSize(int32_t blockSize);
    void SetEncrypted(bool encrypted) { FEncrypted = encrypted; }
    int32_t BlockSize() const { return FBlockSize; }
    // Data bytes per block.
    int32_t DataSize() const { return FBlockSize - BlockHeaderSize; }

    void Open() override;
    void Close() override;
    void CreateFile() override;

    void ReadHeader();
    void WriteHeader(bool always, bool flush);
    void MarkHeaderDirty();
    // Rereads the header; true (and the new header taken) when its change counter moved.
    // One that fails the open check is refused (8961) and the one in hand kept.
    bool HeaderChanged();
    uint32_t GetChangeCount() const { return FHeader.ChangeCount; }
    // Raises 12035 or 8961 for a file this engine cannot use.
    void CheckHeader();
    void Empty();
    const TBlobFileHeader& Header() const { return FHeader; }
    bool HeaderModified() const { return FHeaderModified; }
    // Takes a header kept earlier back, with its mark (a change undone).
    void RestoreHeader(const TBlobFileHeader& header, bool modified) {
        FHeader = header;
        FHeaderModified = modified;
    }
    // The block the next allocation takes: the free-chain head, else a new one.
    uint32_t GetNewBlockPos() const;
    uint32_t GetNextNewBlockPos() const { return FHeader.NextBlockPos; }
    // Whether a position names an existing block.
    bool IsBlockPosition(uint32_t position) const;

    // The block, pinned until ReleaseBlock. False when the cursor's change check dropped
    // the caches: the caller starts again. wantedBlocks sizes the read-ahead.
    bool GetBlock(TCacheClient* cursor, uint32_t position, TBlock*& block, uint32_t wantedBlocks = 1,
                  bool readAhead = true);
    void ReleaseBlock(TBlock* block);
    // A cleared block taken from the free chain or appended; pinned.
    bool AllocateBlock(TCacheClient* cursor, TBlock*& block);
    // Puts the block at the head of the free chain.
    void FreeBlock(TBlock* block);
    bool FlushBlocks(bool flush);
    void ClearBlockCache();
    void TrimBlockCache();

    // Frees (or with verifyOnly only checks) the chain starting at firstBlock, which
    // belongs to ownerRecord. Damage raises 8963, or, while OnRepairLog is set (a repair
    // run), is logged with messageRecordNo: cut off and "error fixed", or "error not
    // fixed" when only verifying. firstBlock becomes 0 when the chain was freed or cut
    // at its start. ignoreOwner gives blocks of another owner the right owner. False
    // when the caches were dropped (start again).
    bool RepairBlobs(TCacheClient* cursor, bool verifyOnly, bool ignoreOwner, uint32_t messageRecordNo,
                     uint32_t ownerRecord, uint32_t& firstBlock);
    // Checks the chain and keeps it. Damage is reported as by RepairBlobs; with repair the
    // chain is cut where it breaks ("error fixed"): the block before the damage ends it and
    // the first block's total length becomes the bytes kept, or firstBlock becomes 0 when
    // the chain breaks at its start.
    bool CheckBlobChain(TCacheClient* cursor, bool repair, uint32_t messageRecordNo, uint32_t ownerRecord,
                        uint32_t& firstBlock);
    // The walk of both from one block on; prevBlock is the block whose next link leads
    // there (0 for a chain's first block).
    bool RepairBlockChain(TCacheClient* cursor, TChainWalk walk, bool ignoreOwner, uint32_t messageRecordNo,
                          uint32_t ownerRecord, uint32_t startBlock, uint32_t prevBlock, bool& cutAtStart);

    // Set by the cursor for a repair run only.
    TBlobRepairLogEvent OnRepairLog;

    int32_t CacheCapacity() const { return FCache.Capacity(); }
    int32_t CacheCount() const { return FCache.Count(); }
    int32_t ReadAheadCount() const { return FReadAheadCount; }
    uint32_t CacheHits() const { return FCache.Hits(); }
    uint32_t CacheReads() const { return FCache.Reads(); }
    uint32_t CacheWrites() const { return FCache.Writes(); }
    TBlock* CachedBlock(uint32_t position) const { return FCache.Find(position); }
    TTableFilesOwner* Owner() const { return FOwner; }

    [[noreturn]] void Fail(uint16_t code) const;

private:
    TBlock* CacheNewEntry() override;
    void CacheFreeEntry(TBlock* entry) override;
    void CacheWriteRun(TBlock* const* run, int32_t count) override;

    void SetCacheSizes();
    void LoadImage(TBlock* block, uint8_t* image);
    void Log(const char* text, uint32_t recordNo, bool fixed);
    // Ends a chain at its block last; with a first block, that block's total length becomes
    // kept. False when the caches were dropped (nothing changed then).
    bool EndChainAt(TCacheClient* cursor, uint32_t last, uint32_t first, uint32_t kept);

    TTableFilesOwner* FOwner;
    TBlobFileHeader FHeader;
    bool FHeaderModified = false;
    int32_t FBlockSize = 512;
    bool FEncrypted = false;
    TBlockStack FBlockStack{1024};
    TEntryCache<TBlock> FCache{*this, 512};
    int32_t FReadAheadCount = 1;
    TLibraryPtr<uint8_t[]> FReadBuffer;
    int32_t FReadCapacity = 0;
    TLibraryPtr<uint8_t[]> FWriteBuffer;
    int32_t FWriteCapacity = 0;
};

// One BLOB value of one record while a cursor works on it.
class TBlobBuffer {
public:
    TBlobBuffer(TBlobFile* file, TCacheClient* cursor);
    TBlobBuffer(const TBlobBuffer&) = delete;
    TBlobBuffer& operator=(const TBlobBuffer&) = delete;

    // 0 frees the data; a larger size keeps the bytes there are and zeroes the rest.
    void SetSize(uint32_t length);
    // Reads the chain at FirstBlock (nothing when 0): 8708 for a block of another record,
    // 8963 for a broken chain, 8711 for a short one.
    void Load();
    // Writes the value into its chain, reusing the existing blocks, appending or taking
    // free ones and freeing what is left over. Nothing for an empty value.
    void Save();
    // Frees the whole chain; FirstBlock becomes 0.
    void FreeBlocks();
    uint8_t* GetData() { return FData.get(); }
    uint32_t Length() const { return FLength; }

    uint32_t RecordNo = 0;
    uint32_t FirstBlock = 0;
    bool Modified = false;

private:
    bool TryLoad();
    bool TrySave();

    TBlobFile* FFile;
    TCacheClient* FCursor;
    TLibraryPtr<uint8_t[]> FData;
    uint32_t FLength = 0;
};
