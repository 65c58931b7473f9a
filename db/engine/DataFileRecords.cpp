// Records of the data file: the cached record object, the record cache with read-ahead
// and write-behind, and the chain of deleted records.
#include <cstring>

#include "db/engine/DataFile.h"
#include "db/engine/EngineErrors.h"
#include "db/engine/EngineFileSupport.h"
#include "db/storage/LibraryMemory.h"
#include "platform/rtl/ByteCodec.h"

namespace {

constexpr int32_t RecordBufferStep = 510;
constexpr int32_t SortKeyStep = 127;
constexpr int32_t TransferBufferStep = 32767;
constexpr int32_t RunPieceBytes = 262144;

}  // namespace

// ---- TRecord ----------------------------------------------------------------------------

void TRecord::Reset() {
    Number = 0;
    Modified = 0;
    UseCount = 0;
    Older = Newer = nullptr;
    FExtraSize = 0;
}

void TRecord::Prepare(TDataFile* owner, int32_t recordSize) {
    FOwner = owner;
    FRecordSize = recordSize;
    SetBlockBufferSize(MaxInt32(recordSize, RecordHeaderSize), RecordBufferStep, FBuffer, FCapacity);
    ClearImage();
}

void TRecord::Clear(bool giveRowId) {
    ClearImage();
    if (giveRowId && FOwner) {
        bytes::PutU32(FBuffer.get() + 5, FOwner->NextRowId());
        bytes::PutU32(FBuffer.get() + 1, Number);
    }
    Modified = 0;
}

// The image only: the buffer's rounded-up rest is never read or written (every read, write
// and copy of an image covers the record size), and clearing it made each record the cache
// took or reused cost a few times its size.
void TRecord::ClearImage() {
    std::memset(FBuffer.get(), 0, size_t(MinInt32(MaxInt32(FRecordSize, RecordHeaderSize), FCapacity)));
}

void TRecord::ReadFrom(const uint8_t* image) {
    std::memcpy(FBuffer.get(), image, size_t(FRecordSize));
}

void TRecord::WriteTo(uint8_t* image) const {
    std::memcpy(image, FBuffer.get(), size_t(FRecordSize));
}

void TRecord::SetStatus(uint8_t status) {
    FBuffer[0] = status;
}

uint32_t TRecord::GetNextDeleted() const {
    return FBuffer[0] != 0 ? bytes::GetU32(FBuffer.get() + 1) : 0;
}

void TRecord::SetRecordID(uint32_t value) {
    bytes::PutU32(FBuffer.get() + 1, value);
}

void TRecord::SetRecordNumber(uint32_t number) {
    Number = number;
    if (FBuffer[0] == 0) bytes::PutU32(FBuffer.get() + 1, number);
}

void TRecord::SetExtraSize(int32_t size) {
    if (size <= FExtraSize) return;
    SetBlockBufferSize(size, SortKeyStep, FExtra, FExtraCapacity);
    FExtraSize = size;
}

void TRecord::CopyFrom(const TRecord& source) {
    FOwner = source.FOwner;
    Modified = source.Modified;
    Number = source.Number;
    std::memcpy(FBuffer.get(), source.FBuffer.get(), size_t(MinInt32(FRecordSize, source.FRecordSize)));
}

bool TRecord::SameImage(const uint8_t* buffer) const {
    return std::memcmp(FBuffer.get(), buffer, size_t(FRecordSize)) == 0;
}

void TRecord::CopyFields(const uint8_t* buffer) {
    if (FRecordSize > RecordHeaderSize)
        std::memcpy(FBuffer.get() + RecordHeaderSize, buffer + RecordHeaderSize,
                    size_t(FRecordSize - RecordHeaderSize));
    Modified = 1;
}

// ---- Record objects ---------------------------------------------------------------------

TRecord* TDataFile::NewRecordObject() {
    TRecord* record = FRecordStack.Pop();
    record->Prepare(this, FHeader.RecordSize);
    return record;
}

void TDataFile::FreeRecordObject(TRecord*& record) {
    FRecordStack.Push(record);
}

TRecord* TDataFile::CacheNewEntry() {
    return NewRecordObject();
}

void TDataFile::CacheFreeEntry(TRecord* entry) {
    FreeRecordObject(entry);
}

int64_t TDataFile::RecordPosition(uint32_t recordNo) const {
    return int64_t(DataFileHeaderSize) + int64_t(FieldDescriptorSize) * FHeader.FieldCount +
           int64_t(recordNo - 1) * FHeader.RecordSize;
}

void TDataFile::LoadImage(TRecord* record, const uint8_t* image) {
    record->ReadFrom(image);
    if (IsEncrypted()) Scramble(record->GetBuffer(), FHeader.RecordSize, RecordSeed);
}

// ---- Record cache -----------------------------------------------------------------------

bool TDataFile::GetRecord(TCacheClient* cursor, uint32_t recordNo, TRecord*& record, int32_t direction,
                          bool byVisibleRun, bool readAhead) {
    record = nullptr;
    const uint32_t nextNew = FHeader.NextRecordNo;
    if (recordNo == 0 || recordNo > nextNew) Fail(ZIZIVU_RECBUFCORRUPT);
    const int32_t size = FHeader.RecordSize;
    if (recordNo == nextNew) {
        if (uint64_t(recordNo) + 1 >= RecordNumberLimit || int64_t(size) * recordNo > MaxTableBytes)
            Fail(ZIZIVU_TABLEFULL);
        // The new slot is written even when nothing is stored in it, so that the file
        // always holds as many slots as the header counts.
        TRecord* r = FCache.TakeAppended(recordNo, FOwner->InTransaction());
        if (!r) Fail(ZIZIVU_RECBUFCORRUPT);
        ++FHeader.NextRecordNo;
        MarkHeaderDirty();
        record = r;
        return true;
    }

    TRecord* r = FCache.Lookup(recordNo);
    if (!r) {
        if (cursor && !FOwner->StrictChangeDetection() && !cursor->LockForCacheMiss()) return false;
        if (recordNo >= FHeader.NextRecordNo) Fail(ZIZIVU_RECBUFCORRUPT);
        const bool forward = direction == 1;
        const uint32_t available = forward ? FHeader.NextRecordNo - recordNo : recordNo;
        uint32_t count = 1;
        if (readAhead) {
            if (byVisibleRun && cursor)
                count = cursor->VisibleRun(recordNo, direction, uint32_t(FReadAheadCount));
            else
                count = uint32_t(FReadAheadCount);
            count = MinOf<uint32_t>(MaxOf<uint32_t>(count, 1),
                                    MinOf<uint32_t>(uint32_t(FReadAheadCount), available));
            // Slots appended inside a transaction live only in the cache until the commit:
            // a forward run that reaches changed entries ends where the file does.
            if (forward && count > 1 && FCache.AnyModified(recordNo + 1, recordNo + count - 1)) {
                const int64_t onDisk = (int64_t(GetSize()) - RecordPosition(recordNo)) / size;
                count = uint32_t(MaxOf<int64_t>(1, MinOf<int64_t>(count, onDisk)));
            }
        }
        const uint32_t first = forward ? recordNo : recordNo - count + 1;
        const int64_t position = RecordPosition(first);
        const int64_t bytesToRead = int64_t(count) * size;
        if (position + bytesToRead > INT32_MAX) Fail(ZIZIVU_RECBUFCORRUPT);
        SetBlockBufferSize(int32_t(bytesToRead), TransferBufferStep, FReadBuffer, FReadCapacity);
        const int32_t bytesRead =
            ReadAvailableAt(*this, int32_t(position), FReadBuffer.get(), int32_t(bytesToRead));
        // Records appended since the last flush are counted but still only cached: the
        // run ends where the file does, and only the record asked for must be there.
        if (size > 0) {
            const uint32_t whole = uint32_t(bytesRead / size);
            if (whole <= recordNo - first) RaiseError(ZIZIVU_READERR);
            count = whole;
        }
        r = FCache.DistributeRead(first, count, FReadBuffer.get(), size_t(size), recordNo,
                                  FOwner->InTransaction(),
                                  [this](TRecord* e, const uint8_t* image) { LoadImage(e, image); });
        if (!r || r->Number != recordNo) Fail(ZIZIVU_RECBUFCORRUPT);
        record = r;
        return true;
    }
    if (r->Number != recordNo) Fail(ZIZIVU_RECBUFCORRUPT);
    r->IncUseCount();
    record = r;
    return true;
}

uint32_t TDataFile::GetNextFreeRecordNo() {
    if (FHeader.DeletedHead == 0 || FOwner->NoPrimaryIndex()) return FHeader.NextRecordNo;
    return FHeader.DeletedHead;
}

bool TDataFile::AllocateRecord(TCacheClient* cursor, TRecord*& record) {
    const uint32_t recordNo = GetNextFreeRecordNo();
    const bool reused = recordNo != FHeader.NextRecordNo;
    if (!GetRecord(cursor, recordNo, record, 1, false, false)) return false;
    if (reused) {
        // A chain that leads to an active record is damaged: reusing it would overwrite a row.
        if (record->GetStatus() == 0) {
            ReleaseRecord(record);
            record = nullptr;
            Fail(ZIZIVU_RECBUFCORRUPT);
        }
        FHeader.DeletedHead = record->GetNextDeleted();
        MarkHeaderDirty();
    }
    return true;
}

void TDataFile::DeleteRecord(TRecord* record) {
    const uint32_t head = GetNextFreeRecordNo();
    record->SetStatus(1);
    record->SetRecordID(head == FHeader.NextRecordNo ? 0 : head);
    record->SetModified(true);
    FHeader.DeletedHead = record->Number;
    MarkHeaderDirty();
}

bool TDataFile::FlushRecords(bool flush) {
    const bool written = FCache.Flush();
    // A flush to disk syncs the file once, after its last run: syncing after every run
    // made a commit as slow as its scattered writes (ForceBufferFlush syncs each write).
    if (written && flush && !FOwner->ForceBufferFlush()) Flush();
    return written;
}

void TDataFile::CacheWriteRun(TRecord* const* run, int32_t count) {
    const int32_t size = FHeader.RecordSize;
    const int64_t position = RecordPosition(run[0]->Number);
    const int64_t total = int64_t(count) * size;
    if (position + total > INT32_MAX) Fail(ZIZIVU_RECBUFCORRUPT);
    // A long run goes out in pieces of a bounded buffer: the commit of a bulk insert grew
    // (and zeroed) a buffer as large as everything it appended.
    const int32_t per = MaxInt32(1, RunPieceBytes / MaxInt32(size, 1));
    for (int32_t at = 0; at < count; at += per) {
        const int32_t n = MinInt32(per, count - at);
        SetBlockBufferSize(n * size, TransferBufferStep, FWriteBuffer, FWriteCapacity);
        for (int32_t i = 0; i < n; ++i) {
            uint8_t* image = FWriteBuffer.get() + size_t(i) * size_t(size);
            run[at + i]->WriteTo(image);
            if (IsEncrypted()) Scramble(image, size, RecordSeed);
        }
        WriteAt(*this, int32_t(position + int64_t(at) * size), FWriteBuffer.get(), n * size, FOwner->Journal());
    }
    if (FOwner->ForceBufferFlush()) Flush();
    FOwner->SetTableChanged();
}

void TDataFile::ClearRecordCache() {
    FCache.Clear();
}

void TDataFile::TrimRecordCache() {
    FCache.Trim();
}
