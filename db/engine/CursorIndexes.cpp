// Indexes added to and removed from an existing table. A new unique index that finds
// duplicate keys asks the data-lost hook about each refused record before anything is
// changed: the table loses records only when the caller said so.
#include <algorithm>
#include <array>
#include <cstring>
#include <numeric>
#include <set>
#include <string>
#include <vector>

#include "db/engine/BlobFile.h"
#include "db/engine/DataCursor.h"
#include "db/engine/DataTable.h"
#include "db/engine/EngineErrors.h"
#include "db/engine/Filter.h"
#include "platform/rtl/ByteCodec.h"
#include "platform/rtl/Math.h"
#include "platform/rtl/ScopeGuard.h"
#include "platform/rtl/SysUtils.h"

namespace {

int32_t Percent(uint32_t n, uint32_t total) {
    return total == 0 ? 100 : int32_t(Round((long double)n / total * 100.0L));
}

}  // namespace

std::vector<uint32_t> TDataCursor::FindRefusedRecords(
    const std::vector<std::pair<int32_t, TIndexDescriptor>>& indexes) {
    std::vector<uint32_t> refused;
    // The records themselves decide, not the index header's count of them (which damage
    // can have made 0).
    if (indexes.empty() || DataFile()->GetPhysicalRecordCount() == 0) return refused;
    struct TKeyOrder {
        const TDataCursor* Cursor;
        int32_t IndexNo;
        const TIndexDescriptor* Index;
        bool operator()(const std::string& a, const std::string& b) const {
            return Cursor->CompareIndexKeys(*Index, IndexNo, reinterpret_cast<const uint8_t*>(a.data()),
                                            reinterpret_cast<const uint8_t*>(b.data()), Index->KeyLength) < 0;
        }
    };
    std::vector<std::set<std::string, TKeyOrder>> seen;
    for (const auto& [no, d] : indexes) seen.emplace_back(TKeyOrder{this, no, &d});
    const uint32_t physical = DataFile()->GetPhysicalRecordCount();
    std::vector<uint8_t> image(size_t(std::max(FPhysicalRecordSize, RecordHeaderSize)));
    std::vector<uint8_t> key(KeyBufferSize);
    std::vector<std::string> keys(indexes.size());
    bool silence = false, cont = true;
    for (uint32_t n = 1; n <= physical; ++n) {
        FetchRecord(n, image.data());
        if (image[0] != 0) continue;
        bool refuse = false;
        for (size_t i = 0; i < indexes.size() && !refuse; ++i) {
            const auto& [no, d] = indexes[i];
            BuildIndexKey(no, d, image.data(), key.data());
            keys[i].assign(reinterpret_cast<const char*>(key.data()), d.KeyLength);
            if (seen[i].count(keys[i]) == 0) continue;
            refuse = true;
            AskAboutRefusedRecord(ZIZIVU_KEYVIOL, d.Name, silence, cont);
            refused.push_back(n);
        }
        if (!refuse)
            for (size_t i = 0; i < indexes.size(); ++i) seen[i].insert(keys[i]);
    }
    return refused;
}

void TDataCursor::AskAboutRefusedRecord(uint16_t code, const std::string& indexName, bool& silence,
                                        bool& cont) {
    if (!OnDataLost) Raise(code, "", indexName);
    if (!silence)
        DoDataLost(code, FormatEngineErrorMessage(code, FTableName, "", indexName, ""), silence, cont);
    if (!cont) Raise(code, "", indexName);
}

void TDataCursor::DeleteRecordAt(uint32_t recordNo, const std::vector<int32_t>& skipIndexes) {
    std::vector<uint8_t> old(size_t(std::max(FPhysicalRecordSize, RecordHeaderSize)));
    FetchRecord(recordNo, old.data());
    if (old[0] != 0) return;
    RemoveRecord(recordNo, old.data(), skipIndexes);
}

void TDataCursor::RemoveRecord(uint32_t recordNo, const uint8_t* old,
                               const std::vector<int32_t>& skipIndexes) {
    TDataFile* data = DataFile();
    TIndexFile* index = IndexFile();
    uint8_t* key = FKeyBuffer2.data();
    const int32_t count = index->GetIndexCount();
    for (int32_t i = index->GetNoPrimaryIndex() ? 1 : 0; i <= count; ++i) {
        const TIndexDescriptor& d = index->IndexDescriptor(i);
        if (d.KeyLength == 0 || std::count(skipIndexes.begin(), skipIndexes.end(), i) > 0) continue;
        TCompareScope scope(*this, i, d);
        BuildIndexKey(i, d, old, key);
        if (!index->DeleteIndexKey(this, i, key)) Raise(ZIZIVU_PAGEBUFCORRUPT);
    }
    {
        const TIndexDescriptor& deleted = index->IndexDescriptor(DeletedIndexNo);
        TCompareScope scope(*this, DeletedIndexNo, deleted);
        uint8_t dkey[DeletedIndexKeyLength];
        const uint32_t rowId = bytes::GetU32(old + 5);
        BuildDeletedKey(0, rowId, dkey);
        if (!index->DeleteIndexKey(this, DeletedIndexNo, dkey)) Raise(ZIZIVU_PAGEBUFCORRUPT);
        BuildDeletedKey(1, rowId, dkey);
        if (!index->InsertIndexKey(this, DeletedIndexNo, dkey, recordNo)) Raise(ZIZIVU_PAGEBUFCORRUPT);
    }
    FreeRecordBlobs(old, recordNo);
    TRecord* rec = nullptr;
    while (!data->GetRecord(this, recordNo, rec, 1, false, false)) {
    }
    data->DeleteRecord(rec);
    data->ReleaseRecord(rec);
    index->DecCounter3974();
}

void TDataCursor::BuildIndexKeys(const std::vector<int32_t>& indexNos, bool restructureProgress,
                                 const std::vector<uint32_t>& refused) {
    TIndexFile* index = IndexFile();
    const uint32_t physical = DataFile()->GetPhysicalRecordCount();
    std::vector<TIndexDescriptor> descriptors;
    for (int32_t i : indexNos) descriptors.push_back(index->GetIndexDescriptor(i));
    std::vector<uint8_t> image(size_t(std::max(FPhysicalRecordSize, RecordHeaderSize)));
    uint8_t* key = FKeyBuffer2.data();
    for (uint32_t n = 1; n <= physical; ++n) {
        FetchRecord(n, image.data());
        if (image[0] == 0 && !std::binary_search(refused.begin(), refused.end(), n)) {
            for (size_t k = 0; k < indexNos.size(); ++k) {
                TCompareScope scope(*this, indexNos[k], descriptors[k]);
                BuildIndexKey(indexNos[k], descriptors[k], image.data(), key);
                if (!index->InsertIndexKey(this, indexNos[k], key, n)) Raise(ZIZIVU_PAGEBUFCORRUPT);
            }
        }
        if (restructureProgress)
            DoRestructureProgress(int32_t(n), Percent(n, physical));
        else
            DoIndexProgress(n, Percent(n, physical));
    }
}

void TDataCursor::AddIndex(const TIndexDescriptor& index) {
    CheckOpen();
    CheckExclusive();
    CheckNotReadOnly();
    TIndexDescriptor d = index;
    d.Name = Trim(d.Name);
    const bool primary = d.Name.empty();
    int32_t fieldBytes = 0;
    int32_t fields = 0;
    for (; fields < MaxIndexFields && d.FieldNumbers[fields] != 0; ++fields) {
        const TFieldDescriptor& f = TableField(d.FieldNumbers[fields]);
        if (f.DataType == dtBlob) Raise(ZIZIVU_INVALIDINDEXTYPE, "", d.Name);
        fieldBytes += f.DataSize + 1;
    }
    if (fieldBytes == 0 || fieldBytes > MaxKeyFieldBytes) Raise(ZIZIVU_INVALIDKEYSIZE, "", d.Name);
    if (primary) d.Unique = 1;
    d.FieldCount = uint8_t(fields);
    d.KeyLength = uint16_t(fieldBytes + (d.Unique ? 0 : 4));
    TIndexFile* file = IndexFile();
    const int32_t slot = primary ? 0 : file->GetIndexCount() + 1;
    TReadScope read(*this);
    BeginWrite();
    {
        TScopeGuard end([this] {
            EndWrite();
            SetActiveIndexNumber(FIndexNo);
        });
        // Every refused record is put to the caller before the table changes.
        std::vector<uint32_t> refused;
        if (d.Unique) refused = FindRefusedRecords({{slot, d}});
        if (primary)
            file->AddPrimaryIndex(d, FTable->FieldLookup());
        else
            file->AddSecondaryIndex(d, FTable->FieldLookup());
        // A half-built index goes again.
        TScopeGuard drop([this, file, slot] {
            FreeIndexPages(slot);
            file->DeleteIndexDescriptor(slot, true);
            FlushAfterWrite();
        });
        if (DataFile()->GetPhysicalRecordCount() > 0) BuildIndexKeys({slot}, false, refused);
        // The refused records go last; the new index never held their keys.
        for (uint32_t n : refused) DeleteRecordAt(n, {slot});
        FlushAfterWrite();
        drop.Dismiss();
    }
    for (const auto& f : FFilters)
        if (auto* filter = dynamic_cast<TFilter*>(f.get())) filter->Reoptimize();
    UpdateFilterState();
    ResetView();
    First();
}

void TDataCursor::DeleteIndex(const std::string& name) {
    CheckOpen();
    CheckExclusive();
    CheckNotReadOnly();
    const std::string wanted = Trim(name);
    const int32_t count = IndexFile()->GetIndexCount();
    for (int32_t i = 1; i <= count; ++i) {
        if (SameText(Trim(IndexFile()->GetIndexDescriptor(i).Name), wanted)) {
            DeleteIndexByNumber(i);
            return;
        }
    }
    Raise(ZIZIVU_INVALIDINDEXNAME, "", wanted);
}

void TDataCursor::DeleteIndexByNumber(int32_t n) {
    CheckOpen();
    CheckExclusive();
    CheckNotReadOnly();
    TIndexFile* file = IndexFile();
    if (n < 1 || n > file->GetIndexCount()) Raise(ZIZIVU_INVALIDINDEXNAME, "", IntToStr(n));
    const std::string activeName = FIndex.Name;
    const int32_t active = FIndexNo;
    TReadScope read(*this);
    BeginWrite();
    {
        TScopeGuard end([this] { EndWrite(); });
        // The pages go to the index's own free chain, which moves with the descriptor.
        FreeIndexPages(n);
        file->DeleteIndexDescriptor(n, true);
        FlushAfterWrite();
    }
    int32_t select = active;
    if (active == n) {
        select = 0;
    } else if (active >= 1 && active <= MaxSecondaryIndexes) {
        for (int32_t i = 1; i <= file->GetIndexCount(); ++i)
            if (SameText(file->GetIndexDescriptor(i).Name, activeName)) select = i;
    }
    FRangeActive = false;
    std::fill(FRangeStart.begin(), FRangeStart.end(), 0);
    std::fill(FRangeEnd.begin(), FRangeEnd.end(), 0xFF);
    SetActiveIndexNumber(select);
    // Index numbers moved: the filters choose their indexes again.
    for (const auto& f : FFilters)
        if (auto* filter = dynamic_cast<TFilter*>(f.get())) filter->Reoptimize();
    UpdateFilterState();
    ResetView();
    First();
}

// BLOB blocks name the record that owns them: after the sort renumbered the records, every
// chain of record n is tagged with n again, or reading it back would find another owner.
void TDataCursor::RetagBlobOwners(uint32_t recordNo, const uint8_t* image) {
    if (!FTable->HasBlobFile()) return;
    TBlobFile* blobs = FTable->BlobFile();
    const TDataFile* data = DataFile();
    const uint32_t maxBlocks = blobs->GetNextNewBlockPos() / uint32_t(blobs->BlockSize()) + 1;
    for (int32_t i = 0; i < data->GetFieldCount(); ++i) {
        const TFieldDescriptor& f = data->GetFieldDescriptor(i);
        if (f.DataType != dtBlob || f.Computed || image[f.Offset] == 0) continue;
        uint32_t position = bytes::GetU32(image + f.Offset + 1);
        for (uint32_t walked = 0; position != 0; ++walked) {
            if (walked > maxBlocks || !blobs->IsBlockPosition(position)) Raise(ZIZIVU_BLOCKBUFCORRUPT);
            TBlock* block = nullptr;
            if (!blobs->GetBlock(this, position, block, 1, false)) Raise(ZIZIVU_BLOCKBUFCORRUPT);
            block->SetOwnerRecord(recordNo);
            position = block->NextBlock();
            blobs->ReleaseBlock(block);
        }
    }
}

// The deleted-records index built anew from records 1..count, its old pages freed; with
// retagBlobs every BLOB chain is tagged with its record's number again. Keys a fill left
// out are no longer pending after it.
void TDataCursor::RebuildDeletedIndex(uint32_t count, bool retagBlobs) {
    // Cleared first: the rebuild reads records, and a read may ask for the view.
    const bool pending = FDeletedKeysPending;
    FDeletedKeysPending = false;
    TScopeGuard restore([this, pending] { FDeletedKeysPending = pending; });
    TIndexFile* index = IndexFile();
    FreeIndexPages(DeletedIndexNo);
    const TIndexDescriptor d = index->GetIndexDescriptor(DeletedIndexNo);
    TCompareScope scope(*this, DeletedIndexNo, d);
    std::vector<uint8_t> image(size_t(std::max(FPhysicalRecordSize, RecordHeaderSize)));
    // The row ids may lie in any order over the records (a sort scrambles them): the keys go
    // in in key order, so that each insert lands on the tree's rightmost path, which stays
    // in the page cache.
    struct TDeletedKey {
        uint64_t Order;  // the key's bytes as one big-endian number: compares as they do
        uint32_t RecordNo;
    };
    static_assert(DeletedIndexKeyLength <= 8);
    std::vector<TDeletedKey> keys(count);
    TDataFile* data = DataFile();
    for (uint32_t n = 1; n <= count; ++n) {
        TDeletedKey& k = keys[n - 1];
        // Every record is read, whatever the view holds (none of it, after a fill that left
        // its keys out): read ahead by the file, not by the view's visible runs.
        if (n >= data->GetNextRecordNo()) Raise(ZIZIVU_RECBUFCORRUPT);
        TRecord* r = nullptr;
        while (!data->GetRecord(this, n, r, 1, false, true)) AfterCachesDropped();
        std::memcpy(image.data(), r->GetBuffer(), size_t(FPhysicalRecordSize));
        data->ReleaseRecord(r);
        uint8_t key[DeletedIndexKeyLength];
        BuildDeletedKey(image[0] == 0 ? 0 : 1, bytes::GetU32(image.data() + 5), key);
        k.RecordNo = n;
        k.Order = 0;
        for (uint8_t byte : key) k.Order = (k.Order << 8) | byte;
        if (retagBlobs) RetagBlobOwners(n, image.data());
    }
    // Row ids handed out in turn make the keys one run of consecutive numbers: each
    // record goes to its key's slot directly. Any other set (a gap, a repeat) is sorted.
    uint64_t low = 0;
    std::vector<uint32_t> bySlot;
    if (!keys.empty()) {
        uint64_t high = low = keys[0].Order;
        for (const TDeletedKey& k : keys) {
            low = std::min(low, k.Order);
            high = std::max(high, k.Order);
        }
        if (high - low == keys.size() - 1) {
            bySlot.assign(keys.size(), 0);
            for (const TDeletedKey& k : keys) {
                uint32_t& slot = bySlot[size_t(k.Order - low)];
                if (slot != 0) {
                    bySlot.clear();
                    break;
                }
                slot = k.RecordNo;
            }
        }
    }
    const bool placed = !keys.empty() && bySlot.size() == keys.size();
    if (!placed)
        std::sort(keys.begin(), keys.end(), [](const TDeletedKey& a, const TDeletedKey& b) {
            return a.Order != b.Order ? a.Order < b.Order : a.RecordNo < b.RecordNo;
        });
    // Appended in slices, down the rightmost path without a descent per key.
    constexpr size_t Slice = 4096;
    std::vector<uint8_t> slice(Slice * DeletedIndexKeyLength);
    std::vector<uint32_t> records(Slice);
    for (size_t from = 0; from < keys.size(); from += Slice) {
        const size_t n = std::min(Slice, keys.size() - from);
        for (size_t i = 0; i < n; ++i) {
            uint8_t* key = slice.data() + i * DeletedIndexKeyLength;
            const uint64_t order = placed ? low + from + i : keys[from + i].Order;
            for (int32_t b = 0; b < DeletedIndexKeyLength; ++b)
                key[b] = uint8_t(order >> (8 * (DeletedIndexKeyLength - 1 - b)));
            records[i] = placed ? bySlot[from + i] : keys[from + i].RecordNo;
        }
        if (!index->AppendIndexKeys(this, DeletedIndexNo, slice.data(), DeletedIndexKeyLength, records.data(),
                                    int32_t(n)))
            Raise(ZIZIVU_PAGEBUFCORRUPT);
    }
    restore.Dismiss();
}

void TDataCursor::SortRecords(const std::vector<TFieldDescriptor>& sortFields, bool caseInsensitive,
                              bool dropDuplicates, const TSortGroupSteps* groupSteps) {
    CheckOpen();
    CheckExclusive();
    TIndexFile* index = IndexFile();
    if (index->GetIndexCount() > 0 || !index->GetNoPrimaryIndex()) return;
    TReadScope read(*this);
    BeginWrite();
    {
        TScopeGuard end([this] { EndWrite(); });
        FreeBlobBuffers(true);
        FTable->FlushBuffers(false, true, false, FTable->HasBlobFile(), true);
        const uint32_t count = FTable->SortRecords(int32_t(sortFields.size()), sortFields.data(),
                                                   caseInsensitive, dropDuplicates, groupSteps);
        // The records moved and the deleted ones are gone: the deleted-records index
        // (which the live records of the view come from) is built again.
        RebuildDeletedIndex(count, true);
        FlushAfterWrite();
    }
    ResetView();
    First();
}
