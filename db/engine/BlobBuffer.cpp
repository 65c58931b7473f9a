// One BLOB value in memory: loaded from its block chain and saved back into it.
#include <cstring>
#include <unordered_set>

#include "db/engine/BlobFile.h"
#include "db/engine/EngineErrors.h"
#include "db/storage/LibraryMemory.h"

namespace {

uint32_t BlocksFor(uint32_t bytes, int32_t dataSize) {
    return uint32_t((uint64_t(bytes) + uint64_t(dataSize) - 1) / uint64_t(dataSize));
}

}  // namespace

TBlobBuffer::TBlobBuffer(TBlobFile* file, TCacheClient* cursor) : FFile(file), FCursor(cursor) {}

void TBlobBuffer::SetSize(uint32_t length) {
    if (length == 0) {
        FData.reset();
        FLength = 0;
        return;
    }
    if (length > uint32_t(INT32_MAX)) FFile->Fail(ZIZIVU_INVALIDBLOBLEN);
    ResizeMemory(FData, int32_t(length));
    // The heap zeroes what a resize adds beyond the block's old size, not what a shrink left
    // behind in it.
    if (length > FLength) std::memset(FData.get() + FLength, 0, length - FLength);
    FLength = length;
}

void TBlobBuffer::Load() {
    while (!TryLoad()) {
    }
}

bool TBlobBuffer::TryLoad() {
    if (FirstBlock == 0) {
        SetSize(0);
        Modified = false;
        return true;
    }
    const int32_t dataSize = FFile->DataSize();
    if (!FFile->IsBlockPosition(FirstBlock)) FFile->Fail(ZIZIVU_BLOCKBUFCORRUPT);
    TBlock* block = nullptr;
    if (!FFile->GetBlock(FCursor, FirstBlock, block, 1, true)) return false;
    if (block->OwnerRecord() != RecordNo) {
        FFile->ReleaseBlock(block);
        FFile->Fail(ZIZIVU_RECCHANGED);
    }
    const uint32_t total = block->TotalLength();
    // No chain in this file can hold more than its blocks carry.
    const uint64_t blocksInFile =
        (FFile->GetNextNewBlockPos() - FirstBlockPosition) / uint32_t(FFile->BlockSize());
    if (uint64_t(total) > blocksInFile * uint64_t(dataSize)) {
        FFile->ReleaseBlock(block);
        FFile->Fail(ZIZIVU_ENDOFBLOB);
    }
    // The buffer grows with the blocks found rather than with the length claimed, so that
    // a damaged length cannot take memory the chain does not fill.
    SetSize(MinOf<uint32_t>(total, uint32_t(dataSize)));
    std::unordered_set<uint32_t> seen{FirstBlock};
    uint32_t copied = 0;
    for (;;) {
        const uint32_t n = MinOf<uint32_t>(uint32_t(dataSize), total - copied);
        if (copied + n > FLength) SetSize(MinOf<uint32_t>(total, MaxOf<uint32_t>(copied + n, FLength * 2)));
        if (n > 0) std::memcpy(FData.get() + copied, block->Data(), n);
        copied += n;
        const uint32_t next = block->NextBlock();
        FFile->ReleaseBlock(block);
        block = nullptr;
        if (copied >= total) break;
        if (next == 0) FFile->Fail(ZIZIVU_ENDOFBLOB);
        if (!FFile->IsBlockPosition(next) || !seen.insert(next).second) FFile->Fail(ZIZIVU_BLOCKBUFCORRUPT);
        if (!FFile->GetBlock(FCursor, next, block, BlocksFor(total - copied, dataSize), true)) return false;
        if (block->OwnerRecord() != RecordNo) {
            FFile->ReleaseBlock(block);
            FFile->Fail(ZIZIVU_RECCHANGED);
        }
    }
    Modified = false;
    return true;
}

void TBlobBuffer::Save() {
    while (!TrySave()) {
    }
}

bool TBlobBuffer::TrySave() {
    if (FLength == 0) {
        Modified = false;
        return true;
    }
    const int32_t dataSize = FFile->DataSize();
    // The existing chain is walked and checked first, so that a damaged or foreign chain
    // fails before anything is written into it.
    std::vector<uint32_t> chain;
    {
        std::unordered_set<uint32_t> seen;
        uint32_t position = FirstBlock;
        while (position != 0) {
            if (!FFile->IsBlockPosition(position) || !seen.insert(position).second)
                FFile->Fail(ZIZIVU_BLOCKBUFCORRUPT);
            TBlock* block = nullptr;
            const uint32_t needed = BlocksFor(FLength, dataSize);
            const uint32_t wanted = needed > chain.size() ? needed - uint32_t(chain.size()) : 1;
            if (!FFile->GetBlock(FCursor, position, block, wanted, true)) return false;
            const uint32_t owner = block->OwnerRecord();
            const uint32_t next = block->NextBlock();
            FFile->ReleaseBlock(block);
            if (owner != RecordNo) FFile->Fail(ZIZIVU_RECCHANGED);
            chain.push_back(position);
            position = next;
        }
    }

    uint32_t first = 0;
    uint32_t left = FLength;
    const uint8_t* source = FData.get();
    size_t used = 0;
    TBlock* previous = nullptr;
    while (left > 0) {
        TBlock* block = nullptr;
        if (used < chain.size()) {
            if (!FFile->GetBlock(FCursor, chain[used], block, BlocksFor(left, dataSize), true)) return false;
        } else if (!FFile->AllocateBlock(FCursor, block)) {
            return false;
        }
        ++used;
        if (previous) {
            previous->SetNextBlock(block->Position());
            FFile->ReleaseBlock(previous);
        } else {
            first = block->Position();
        }
        block->SetPrevBlock(previous ? previous->Position() : 0);
        block->SetOwnerRecord(RecordNo);
        block->SetTotalLength(previous ? 0 : FLength);
        const uint32_t n = MinOf<uint32_t>(uint32_t(dataSize), left);
        block->WriteData(0, int32_t(n), source);
        source += n;
        left -= n;
        previous = block;
    }
    if (left > 0) FFile->Fail(ZIZIVU_ENDOFBLOB);
    previous->SetNextBlock(0);
    FFile->ReleaseBlock(previous);
    // The rest of a longer old chain goes to the free chain.
    for (size_t i = used; i < chain.size(); ++i) {
        TBlock* block = nullptr;
        if (!FFile->GetBlock(FCursor, chain[i], block, uint32_t(chain.size() - i), true)) return false;
        FFile->FreeBlock(block);
        FFile->ReleaseBlock(block);
    }
    FirstBlock = first;
    Modified = false;
    return true;
}

void TBlobBuffer::FreeBlocks() {
    while (!FFile->RepairBlobs(FCursor, false, false, RecordNo, RecordNo, FirstBlock)) {
    }
}
