// The BLOB file: header, blocks and their cache, the free-block chain and the checked
// freeing of chains.
#include "db/engine/BlobFile.h"

#include <cstring>
#include <unordered_set>

#include "db/engine/EngineErrors.h"
#include "db/engine/EngineFileSupport.h"
#include "db/storage/LibraryMemory.h"
#include "platform/rtl/ByteCodec.h"
#include "platform/rtl/ScopeGuard.h"

namespace {

constexpr int32_t TransferBufferStep = 32767;
constexpr int32_t BlockDataStep = 512;

const char* const InvalidOffsetText = "Invalid BLOB offset in BLOB file for physical record # ";
const char* const InvalidPointerText = "Invalid intra-block pointer in BLOB file for physical record # ";
const char* const RecursivePointerText = "Recursive intra-block pointer in BLOB file for physical record # ";

}  // namespace

// ---- Layouts ----------------------------------------------------------------------------

void TBlobFileHeader::ReadFrom(const uint8_t* image) {
    TByteReader r(image, BlobFileHeaderSize);
    ChangeCount = r.U32();
    Reserved4 = r.U32();
    Version = r.U8();
    FreeHead = r.U32();
    NextBlockPos = r.U32();
    Modified = r.U8();
    r.Bytes(Reserved, sizeof Reserved);
}

void TBlobFileHeader::WriteTo(uint8_t* image) const {
    TByteWriter(image, BlobFileHeaderSize)
        .U32(ChangeCount)
        .U32(Reserved4)
        .U8(Version)
        .U32(FreeHead)
        .U32(NextBlockPos)
        .U8(Modified)
        .Bytes(Reserved, sizeof Reserved);
}

void TBlockHeader::ReadFrom(const uint8_t* image) {
    TByteReader r(image, BlockHeaderSize);
    PrevBlock = r.U32();
    NextBlock = r.U32();
    BytesUsed = r.U16();
    OwnerRecord = r.U32();
    TotalLength = r.U32();
}

void TBlockHeader::WriteTo(uint8_t* image) const {
    TByteWriter(image, BlockHeaderSize)
        .U32(PrevBlock)
        .U32(NextBlock)
        .U16(BytesUsed)
        .U32(OwnerRecord)
        .U32(TotalLength);
}

// ---- TBlock -----------------------------------------------------------------------------

void TBlock::Reset() {
    Number = 0;
    Modified = 0;
    UseCount = 0;
    Older = Newer = nullptr;
    FHeader = TBlockHeader();
}

void TBlock::Prepare(TBlobFile* owner, int32_t dataSize) {
    FOwner = owner;
    FDataSize = dataSize;
    SetBlockBufferSize(MaxInt32(dataSize, 1), BlockDataStep, FData, FCapacity);
    Clear();
}

void TBlock::Clear() {
    FHeader = TBlockHeader();
    if (FData) std::memset(FData.get(), 0, size_t(FCapacity));
}

void TBlock::LoadFromBuffer(const uint8_t* image) {
    FHeader.ReadFrom(image);
    std::memcpy(FData.get(), image + BlockHeaderSize, size_t(FDataSize));
}

void TBlock::SaveToBuffer(uint8_t* image) const {
    FHeader.WriteTo(image);
    std::memcpy(image + BlockHeaderSize, FData.get(), size_t(FDataSize));
}

int32_t TBlock::ReadData(int32_t offset, int32_t count, void* dest) const {
    if (offset < 0 || count < 0 || int64_t(offset) + count > FDataSize) FOwner->Fail(ZIZIVU_INVALIDBLOBLEN);
    const int32_t used = MinInt32(FHeader.BytesUsed, FDataSize);
    const int32_t n = MaxInt32(0, MinInt32(count, used - offset));
    if (n > 0) std::memcpy(dest, FData.get() + offset, size_t(n));
    return n;
}

void TBlock::WriteData(int32_t offset, int32_t count, const void* source) {
    if (offset < 0 || count < 0 || int64_t(offset) + count > FDataSize) FOwner->Fail(ZIZIVU_INVALIDBLOBLEN);
    if (count > 0) std::memcpy(FData.get() + offset, source, size_t(count));
    FHeader.BytesUsed = uint16_t(offset + count);
    Modified = 1;
}

void TBlock::SetTotalLength(uint32_t v) {
    if (FHeader.TotalLength == v) return;
    FHeader.TotalLength = v;
    Modified = 1;
}

void TBlock::SetOwnerRecord(uint32_t v) {
    if (FHeader.OwnerRecord == v) return;
    FHeader.OwnerRecord = v;
    Modified = 1;
}

void TBlock::SetPrevBlock(uint32_t v) {
    if (FHeader.PrevBlock == v) return;
    FHeader.PrevBlock = v;
    Modified = 1;
}

void TBlock::SetNextBlock(uint32_t v) {
    if (FHeader.NextBlock == v) return;
    FHeader.NextBlock = v;
    Modified = 1;
}

// ---- File life and header ---------------------------------------------------------------

TBlobFile::TBlobFile(TTableFilesOwner* owner) : FOwner(owner) {
    SetBlockBufferSize(65535, TransferBufferStep, FReadBuffer, FReadCapacity);
    SetBlockBufferSize(65535, TransferBufferStep, FWriteBuffer, FWriteCapacity);
}

TBlobFile::~TBlobFile() {
    TBlobFile::Close();
}

void TBlobFile::Fail(uint16_t code) const {
    RaiseEngineError(code, FOwner ? FOwner->TableName() : FileName());
}

void TBlobFile::SetBlockSize(int32_t blockSize) {
    if (blockSize == 0) blockSize = 512;
    if (blockSize <= BlockHeaderSize || blockSize > 65535) Fail(ZIZIVU_BLOBLIMIT);
    if (blockSize != FBlockSize) {
        ClearBlockCache();
        FBlockSize = blockSize;
        FCache.SetStep(uint32_t(blockSize));
    }
    SetCacheSizes();
}

void TBlobFile::SetCacheSizes() {
    FReadAheadCount = MaxInt32(65535 / FBlockSize, 1);
    FCache.SetCapacity(MinInt32(131070 / FBlockSize, 32767));
}

void TBlobFile::Open() {
    if (IsOpen()) return;
    TFileHandler::Open();
    TScopeGuard close([this] { TFileHandler::Close(); });
    ReadHeader();
    close.Dismiss();
    SetCacheSizes();
    FCache.ResetCounters();
}

void TBlobFile::Close() {
    ClearBlockCache();
    TFileHandler::Close();
}

void TBlobFile::CreateFile() {
    ClearBlockCache();
    TFileHandler::CreateFile();
    FHeader = TBlobFileHeader();
    FHeader.Version = EngineFileVersion;
    FHeader.NextBlockPos = FirstBlockPosition;
    FHeaderModified = true;
    SetCacheSizes();
    FCache.ResetCounters();
}

void TBlobFile::ReadHeader() {
    uint8_t image[BlobFileHeaderSize];
    ReadAt(*this, 0, image, BlobFileHeaderSize);
    if (FEncrypted) Scramble(image, BlobFileHeaderSize, BlobSeed);
    FHeader.ReadFrom(image);
    FHeaderModified = false;
}

void TBlobFile::WriteHeader(bool always, bool flush) {
    if (!always && !FHeaderModified) return;
    ++FHeader.ChangeCount;
    FHeader.Modified = FHeaderModified ? 1 : 0;
    uint8_t image[BlobFileHeaderSize];
    FHeader.WriteTo(image);
    if (FEncrypted) Scramble(image, BlobFileHeaderSize, BlobSeed);
    WriteAt(*this, 0, image, BlobFileHeaderSize, FOwner->Journal());
    if (flush || FOwner->ForceBufferFlush()) Flush();
    FOwner->SetTableChanged();
    FHeaderModified = false;
}

void TBlobFile::MarkHeaderDirty() {
    ++FHeader.ChangeCount;
    FHeaderModified = true;
    FOwner->SetTableChanged();
}

bool TBlobFile::HeaderChanged() {
    uint8_t image[BlobFileHeaderSize];
    ReadAt(*this, 0, image, BlobFileHeaderSize);
    if (FEncrypted) Scramble(image, BlobFileHeaderSize, BlobSeed);
    if (bytes::GetU32(image) == FHeader.ChangeCount) return false;
    // Another process's header is taken only as sound as one opened.
    const TBlobFileHeader held = FHeader;
    FHeader.ReadFrom(image);
    {
        TScopeGuard refuse([&] { FHeader = held; });
        CheckHeader();
        refuse.Dismiss();
    }
    FHeaderModified = false;
    return true;
}

void TBlobFile::CheckHeader() {
    if (FHeader.Version != EngineFileVersion) Fail(ZIZIVU_BADVERSION);
    const uint32_t next = FHeader.NextBlockPos;
    if (next < FirstBlockPosition || (next - FirstBlockPosition) % uint32_t(FBlockSize) != 0 ||
        int64_t(next) > MaxBlobFileBytes + FBlockSize)
        Fail(ZIZIVU_HEADERCORRUPT);
    // Blocks reach the file before the header that counts them: a header counting blocks
    // beyond the file's end is damaged, and appending there would write far past it.
    if (next > FirstBlockPosition && int64_t(next) > GetSize()) Fail(ZIZIVU_HEADERCORRUPT);
    if (FHeader.FreeHead != 0 && !IsBlockPosition(FHeader.FreeHead)) Fail(ZIZIVU_HEADERCORRUPT);
}

void TBlobFile::Empty() {
    ClearBlockCache();
    WriteAt(*this, BlobFileHeaderSize, FWriteBuffer.get(), 0, FOwner->Journal());
    if (FOwner->ForceBufferFlush()) Flush();
    FHeader.Version = EngineFileVersion;
    FHeader.NextBlockPos = FirstBlockPosition;
    FHeader.FreeHead = 0;
    FHeaderModified = true;
    FOwner->SetTableChanged();
}

uint32_t TBlobFile::GetNewBlockPos() const {
    return FHeader.FreeHead ? FHeader.FreeHead : FHeader.NextBlockPos;
}

bool TBlobFile::IsBlockPosition(uint32_t position) const {
    return position >= FirstBlockPosition && position < FHeader.NextBlockPos &&
           (position - FirstBlockPosition) % uint32_t(FBlockSize) == 0;
}

// ---- Block cache ------------------------------------------------------------------------

TBlock* TBlobFile::CacheNewEntry() {
    TBlock* block = FBlockStack.Pop();
    block->Prepare(this, DataSize());
    return block;
}

void TBlobFile::CacheFreeEntry(TBlock* entry) {
    FBlockStack.Push(entry);
}

void TBlobFile::LoadImage(TBlock* block, uint8_t* image) {
    if (FEncrypted) {
        Scramble(image, BlockHeaderSize, BlobSeed);
        Scramble(image + BlockHeaderSize, DataSize(), BlobSeed);
    }
    block->LoadFromBuffer(image);
}

bool TBlobFile::GetBlock(TCacheClient* cursor, uint32_t position, TBlock*& block, uint32_t wantedBlocks,
                         bool readAhead) {
    block = nullptr;
    if (position == 0) Fail(ZIZIVU_BLOCKBUFCORRUPT);
    if (position == FHeader.NextBlockPos) {
        if (int64_t(position) > MaxBlobFileBytes) Fail(ZIZIVU_TABLEFULL);
        TBlock* b = FCache.TakeAppended(position, FOwner->InTransaction());
        if (!b) Fail(ZIZIVU_BLOCKBUFCORRUPT);
        FHeader.NextBlockPos += uint32_t(FBlockSize);
        MarkHeaderDirty();
        block = b;
        return true;
    }
    if (!IsBlockPosition(position)) Fail(ZIZIVU_BLOCKBUFCORRUPT);
    TBlock* b = FCache.Lookup(position);
    if (!b) {
        if (cursor && !FOwner->StrictChangeDetection() && !cursor->LockForCacheMiss()) return false;
        if (!IsBlockPosition(position)) Fail(ZIZIVU_BLOCKBUFCORRUPT);
        uint32_t count = 1;
        if (readAhead) {
            count = MinOf<uint32_t>(uint32_t(FReadAheadCount), wantedBlocks);
            count = MinOf<uint32_t>(count, (FHeader.NextBlockPos - position) / uint32_t(FBlockSize));
            count = MaxOf<uint32_t>(count, 1);
            // Blocks appended inside a transaction live only in the cache until the commit:
            // a run that reaches changed blocks ends where the file does.
            if (count > 1 && FCache.AnyModified(position + uint32_t(FBlockSize),
                                                position + (count - 1) * uint32_t(FBlockSize))) {
                const int64_t onDisk = (int64_t(GetSize()) - position) / FBlockSize;
                count = uint32_t(MaxOf<int64_t>(1, MinOf<int64_t>(count, onDisk)));
            }
        }
        const int32_t bytesToRead = int32_t(count) * FBlockSize;
        SetBlockBufferSize(bytesToRead, TransferBufferStep, FReadBuffer, FReadCapacity);
        const int32_t bytesRead = ReadAvailableAt(*this, int32_t(position), FReadBuffer.get(), bytesToRead);
        // Blocks appended since the last flush are counted but still only cached: the
        // run ends where the file does, and only the block asked for must be there.
        if (bytesRead < FBlockSize) RaiseError(ZIZIVU_READERR);
        count = uint32_t(bytesRead / FBlockSize);
        b = FCache.DistributeRead(position, count, FReadBuffer.get(), size_t(FBlockSize), position,
                                  FOwner->InTransaction(),
                                  [this](TBlock* e, uint8_t* image) { LoadImage(e, image); });
        if (!b || b->Number != position) Fail(ZIZIVU_BLOCKBUFCORRUPT);
        block = b;
        return true;
    }
    if (b->Number != position) Fail(ZIZIVU_BLOCKBUFCORRUPT);
    b->IncUseCount();
    block = b;
    return true;
}

void TBlobFile::ReleaseBlock(TBlock* block) {
    if (block) block->DecUseCount();
}

bool TBlobFile::AllocateBlock(TCacheClient* cursor, TBlock*& block) {
    const uint32_t position = GetNewBlockPos();
    const bool fromChain = FHeader.FreeHead != 0;
    if (fromChain && !IsBlockPosition(position)) Fail(ZIZIVU_BLOCKBUFCORRUPT);
    if (!GetBlock(cursor, position, block, 1, false)) return false;
    if (fromChain) {
        // A free block has no owner; one that has is in use, and the free chain is broken.
        const uint32_t next = block->NextBlock();
        if (block->OwnerRecord() != 0 || (next != 0 && !IsBlockPosition(next)) || next == position) {
            ReleaseBlock(block);
            block = nullptr;
            Fail(ZIZIVU_BLOCKBUFCORRUPT);
        }
        FHeader.FreeHead = next;
        MarkHeaderDirty();
    }
    block->Clear();
    block->Modified = 1;
    return true;
}

void TBlobFile::FreeBlock(TBlock* block) {
    block->SetNextBlock(FHeader.FreeHead);
    block->SetPrevBlock(0);
    block->SetOwnerRecord(0);
    block->SetTotalLength(0);
    block->Modified = 1;
    FHeader.FreeHead = block->Position();
    MarkHeaderDirty();
}

bool TBlobFile::FlushBlocks(bool flush) {
    const bool written = FCache.Flush();
    // One sync after the last run, as for the data file.
    if (written && flush && !FOwner->ForceBufferFlush()) Flush();
    return written;
}

void TBlobFile::CacheWriteRun(TBlock* const* run, int32_t count) {
    const int32_t total = count * FBlockSize;
    SetBlockBufferSize(total, TransferBufferStep, FWriteBuffer, FWriteCapacity);
    for (int32_t i = 0; i < count; ++i) {
        uint8_t* image = FWriteBuffer.get() + size_t(i) * size_t(FBlockSize);
        run[i]->SaveToBuffer(image);
        if (FEncrypted) {
            Scramble(image, BlockHeaderSize, BlobSeed);
            Scramble(image + BlockHeaderSize, DataSize(), BlobSeed);
        }
    }
    WriteAt(*this, int32_t(run[0]->Number), FWriteBuffer.get(), total, FOwner->Journal());
    if (FOwner->ForceBufferFlush()) Flush();
    FOwner->SetTableChanged();
}

void TBlobFile::ClearBlockCache() {
    FCache.Clear();
}

void TBlobFile::TrimBlockCache() {
    FCache.Trim();
}

// ---- Checked freeing --------------------------------------------------------------------

void TBlobFile::Log(const char* text, uint32_t recordNo, bool fixed) {
    OnRepairLog(std::string(text) + std::to_string(recordNo) + ", " +
                (fixed ? "error fixed" : "error not fixed"));
}

bool TBlobFile::RepairBlobs(TCacheClient* cursor, bool verifyOnly, bool ignoreOwner, uint32_t messageRecordNo,
                            uint32_t ownerRecord, uint32_t& firstBlock) {
    if (firstBlock == 0) return true;
    bool cut = false;
    if (!RepairBlockChain(cursor, verifyOnly ? TChainWalk::Verify : TChainWalk::Free, ignoreOwner,
                          messageRecordNo, ownerRecord, firstBlock, 0, cut))
        return false;
    if (!verifyOnly || cut) firstBlock = 0;
    return true;
}

bool TBlobFile::CheckBlobChain(TCacheClient* cursor, bool repair, uint32_t messageRecordNo,
                               uint32_t ownerRecord, uint32_t& firstBlock) {
    if (firstBlock == 0) return true;
    bool cut = false;
    if (!RepairBlockChain(cursor, repair ? TChainWalk::Cut : TChainWalk::Verify, false, messageRecordNo,
                          ownerRecord, firstBlock, 0, cut))
        return false;
    if (cut) firstBlock = 0;
    return true;
}

bool TBlobFile::EndChainAt(TCacheClient* cursor, uint32_t last, uint32_t first, uint32_t kept) {
    if (!IsBlockPosition(last)) return true;
    TBlock* tail = nullptr;
    if (!GetBlock(cursor, last, tail, 1, false)) return false;
    TBlock* head = nullptr;
    if (first != 0 && first != last && !GetBlock(cursor, first, head, 1, false)) {
        ReleaseBlock(tail);
        return false;
    }
    tail->SetNextBlock(0);
    if (first != 0) (head ? head : tail)->SetTotalLength(kept);
    ReleaseBlock(head);
    ReleaseBlock(tail);
    return true;
}

bool TBlobFile::RepairBlockChain(TCacheClient* cursor, TChainWalk walk, bool ignoreOwner,
                                 uint32_t messageRecordNo, uint32_t ownerRecord, uint32_t startBlock,
                                 uint32_t prevBlock, bool& cutAtStart) {
    cutAtStart = false;
    std::unordered_set<uint32_t> seen;
    uint32_t position = startBlock;
    // The block whose next link leads to position, and the bytes of the blocks walked.
    uint32_t previous = prevBlock;
    uint32_t kept = 0;
    // A walk from a value's start counts the bytes a reading takes: each block's data up to
    // the value's length, whatever its count of bytes used says.
    uint32_t total = 0;
    while (position != 0) {
        const char* damage = nullptr;
        TBlock* block = nullptr;
        if (!IsBlockPosition(position)) {
            damage = position == startBlock && prevBlock == 0 ? InvalidOffsetText : InvalidPointerText;
        } else if (seen.count(position)) {
            damage = RecursivePointerText;
        } else {
            if (!GetBlock(cursor, position, block, uint32_t(FReadAheadCount), true)) return false;
            if (block->OwnerRecord() != ownerRecord) {
                if (ignoreOwner) {
                    block->SetOwnerRecord(ownerRecord);
                } else {
                    ReleaseBlock(block);
                    block = nullptr;
                    damage = InvalidOffsetText;
                }
            }
        }
        if (damage) {
            if (!OnRepairLog) Fail(ZIZIVU_BLOCKBUFCORRUPT);
            // Cut the chain where it went wrong. A freeing walk has freed the blocks before,
            // so only a break at its start is cut; a cutting walk keeps them.
            if (walk == TChainWalk::Cut || (walk == TChainWalk::Free && position == startBlock)) {
                if (previous == 0)
                    cutAtStart = true;
                else if (!EndChainAt(cursor, previous,
                                     walk == TChainWalk::Cut && prevBlock == 0 ? startBlock : 0, kept))
                    return false;
            }
            Log(damage, messageRecordNo, walk != TChainWalk::Verify);
            return true;
        }
        seen.insert(position);
        const uint32_t next = block->NextBlock();
        if (prevBlock == 0 && position == startBlock) total = block->TotalLength();
        kept += prevBlock == 0 ? MinOf<uint32_t>(uint32_t(DataSize()), total - kept) : block->BytesUsed();
        if (walk == TChainWalk::Free) FreeBlock(block);
        ReleaseBlock(block);
        previous = position;
        position = next;
    }
    return true;
}
