#include "tools/table_check/TableCheck.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "db/engine/BlobFile.h"
#include "db/engine/DataFile.h"
#include "db/engine/DataTable.h"
#include "db/engine/EngineErrors.h"
#include "db/engine/EngineFileSupport.h"
#include "db/engine/IndexFile.h"
#include "db/storage/Encodings.h"
#include "db/storage/LanguageSettings.h"
#include "platform/os/Locale.h"
#include "platform/rtl/ByteCodec.h"
#include "platform/rtl/SysUtils.h"

namespace {

constexpr int32_t OffNextNewPage = 9;
constexpr int32_t OffIndexCount = 13;
constexpr int32_t OffRecordCount = 3974;
constexpr int32_t OffNoPrimary = 3978;
constexpr int32_t MaxDepth = 32;

std::string ReadWhole(const std::string& path, bool& found) {
    std::ifstream in(path, std::ios::binary);
    found = bool(in);
    return found ? std::string(std::istreambuf_iterator<char>(in), {}) : std::string();
}

// The table's file of an extension, found case-insensitively as the engine does.
std::string TableFile(const std::string& folder, const std::string& name, const char* ext) {
    std::string base = name;
    if (base.size() >= 4 && SameText(base.substr(base.size() - 4), ".DAT")) base.resize(base.size() - 4);
    const std::string wanted = base + ext;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(folder, ec))
        if (SameText(e.path().filename().string(), wanted)) return e.path().string();
    return folder + "/" + wanted;
}

std::string Str(uint64_t v) {
    return std::to_string(v);
}

// Everything the walk needs of the files and what it learned so far.
class TChecker {
public:
    explicit TChecker(TTableCheckReport& report) : R(report) {}

    void Run(const std::string& folder, const std::string& name) {
        bool found;
        const std::string dataFile = TableFile(folder, name, ".DAT");
        Data = ReadWhole(dataFile, found);
        if (!found) return R.Add("data file missing: " + dataFile);
        const std::string indexFile = TableFile(folder, name, ".IDX");
        Index = ReadWhole(indexFile, found);
        if (!found) return R.Add("index file missing: " + indexFile);
        if (!ReadDataHeader()) return;
        CheckRecords();
        CheckDeletedChain();
        if (ReadIndexHeader()) CheckIndexes();
        if (BlobFieldCount() > 0) {
            const std::string blobFile = TableFile(folder, name, ".BLB");
            Blob = ReadWhole(blobFile, found);
            if (!found) return R.Add("BLOB file missing: " + blobFile);
            CheckBlobs();
        }
    }

private:
    int32_t BlobFieldCount() const { return Header.BlobFieldCount; }
    const uint8_t* At(const std::string& s, size_t offset) const {
        return reinterpret_cast<const uint8_t*>(s.data()) + offset;
    }

    // ---- Data file ----

    bool ReadDataHeader() {
        if (Data.size() < size_t(DataFileHeaderSize)) {
            R.Add("data file shorter than its header");
            return false;
        }
        Header.ReadFrom(At(Data, 0));
        Encrypted = Header.Encrypted != 0;
        const size_t fieldsEnd = size_t(DataFileHeaderSize) + size_t(FieldDescriptorSize) * Header.FieldCount;
        if (Data.size() < fieldsEnd || Header.RecordSize < RecordHeaderSize) {
            R.Add("data header or field descriptors damaged");
            return false;
        }
        for (int32_t i = 0; i < Header.FieldCount; ++i) {
            uint8_t image[FieldDescriptorSize];
            std::memcpy(image, At(Data, DataFileHeaderSize + size_t(FieldDescriptorSize) * i), sizeof image);
            if (Encrypted) Scramble(image, FieldDescriptorSize, RecordSeed);
            TFieldDescriptor f;
            f.ReadFrom(image);
            Fields.push_back(f);
        }
        RecordsStart = fieldsEnd;
        const uint32_t slots = Header.NextRecordNo ? Header.NextRecordNo - 1 : 0;
        const uint64_t expected = RecordsStart + uint64_t(slots) * Header.RecordSize;
        if (Data.size() < expected) {
            R.Add("data file holds " + Str((Data.size() - RecordsStart) / Header.RecordSize) +
                  " record slots, its header counts " + Str(slots));
            Physical = uint32_t((Data.size() - RecordsStart) / Header.RecordSize);
        } else {
            Physical = slots;
            if (Data.size() > expected)
                R.Add("data file has " + Str(Data.size() - expected) + " bytes beyond its last record");
        }
        R.PhysicalRecords = Physical;
        return true;
    }

    std::vector<uint8_t> Record(uint32_t n) const {
        std::vector<uint8_t> r(At(Data, RecordsStart + size_t(n - 1) * Header.RecordSize),
                               At(Data, RecordsStart + size_t(n) * Header.RecordSize));
        if (Encrypted) Scramble(r.data(), Header.RecordSize, RecordSeed);
        return r;
    }

    void CheckRecords() {
        std::unordered_map<uint32_t, uint32_t> rowIds;
        Status.assign(Physical + 1, 0xFF);
        for (uint32_t n = 1; n <= Physical; ++n) {
            const std::vector<uint8_t> r = Record(n);
            Status[n] = r[0];
            if (r[0] == 1) {
                ++R.DeletedRecords;
                continue;
            }
            if (r[0] != 0) {
                R.Add("record " + Str(n) + " has status byte " + Str(r[0]));
                continue;
            }
            ++R.ActiveRecords;
            if (bytes::GetU32(r.data() + 1) != n)
                R.Add("active record " + Str(n) + " names itself " + Str(bytes::GetU32(r.data() + 1)));
            const uint32_t rowId = bytes::GetU32(r.data() + 5);
            auto [it, fresh] = rowIds.emplace(rowId, n);
            if (!fresh)
                R.Add("records " + Str(it->second) + " and " + Str(n) + " share row id " + Str(rowId));
        }
    }

    void CheckDeletedChain() {
        if (Index.size() >= size_t(IndexHeaderSize) && IndexHeaderByte(OffNoPrimary) != 0) return;
        std::unordered_set<uint32_t> seen;
        for (uint32_t n = Header.DeletedHead; n != 0;) {
            if (n > Physical) return R.Add("deleted chain leads to record " + Str(n) + " beyond the file");
            if (!seen.insert(n).second) return R.Add("deleted chain runs in a cycle at record " + Str(n));
            const std::vector<uint8_t> r = Record(n);
            if (r[0] != 1) return R.Add("deleted chain leads to active record " + Str(n));
            n = bytes::GetU32(r.data() + 1);
        }
        if (seen.size() != R.DeletedRecords)
            R.Add("deleted chain holds " + Str(seen.size()) + " records, the file " + Str(R.DeletedRecords));
    }

    // ---- Index file ----

    uint8_t IndexHeaderByte(size_t offset) const {
        uint8_t copy[IndexHeaderSize];
        std::memcpy(copy, At(Index, 0), sizeof copy);
        if (Encrypted) UnscrambleBuffer(copy, IndexHeaderSize, IndexHeaderSeedLo, IndexHeaderSeedHi);
        return copy[offset];
    }

    bool ReadIndexHeader() {
        if (Index.size() < size_t(IndexHeaderSize)) {
            R.Add("index file shorter than its header");
            return false;
        }
        std::memcpy(IdxHeader, At(Index, 0), sizeof IdxHeader);
        if (Encrypted) UnscrambleBuffer(IdxHeader, IndexHeaderSize, IndexHeaderSeedLo, IndexHeaderSeedHi);
        NextNewPage = bytes::GetU32(IdxHeader + OffNextNewPage);
        if (NextNewPage < uint32_t(IndexHeaderSize) || NextNewPage % IndexPageSize != 0) {
            R.Add("index header names next page " + Str(NextNewPage));
            return false;
        }
        if (Index.size() < NextNewPage)
            R.Add("index file ends at " + Str(Index.size()) + ", before its next page " + Str(NextNewPage));
        const uint32_t counted = bytes::GetU32(IdxHeader + OffRecordCount);
        if (counted != R.ActiveRecords)
            R.Add("index header counts " + Str(counted) + " records, the data file holds " +
                  Str(R.ActiveRecords));
        return true;
    }

    TIndexDescriptor Descriptor(int32_t i) const {
        TIndexDescriptor d;
        d.Read(IdxHeader + 14 + IndexDescriptorSize * i);
        return d;
    }

    const TFieldDescriptor* FieldByNumber(uint16_t no) const {
        for (const TFieldDescriptor& f : Fields)
            if (f.FieldNo == no) return &f;
        return nullptr;
    }

    bool BuildKey(int32_t indexNo, const TIndexDescriptor& d, const std::vector<uint8_t>& r, uint8_t* key) {
        std::memset(key, 0, KeyBufferSize);
        if (indexNo == DeletedIndexNo) {
            key[0] = r[0] == 0 ? 0 : 1;
            EncodeIntegerKey(bytes::GetI32(r.data() + 5), key + 1);
            return true;
        }
        static const uint8_t zeros[256] = {};
        int32_t off = 0;
        for (int32_t i = 0; i < d.FieldCount && i < MaxIndexFields; ++i) {
            const TFieldDescriptor* f = FieldByNumber(d.FieldNumbers[i]);
            if (!f) return false;
            const bool autoInc = f->IsAutoInc();
            const bool present = autoInc || r[f->Offset] != 0;
            const uint8_t* value = autoInc ? r.data() + AutoIncOffset : r.data() + f->Offset + 1;
            key[off] = present ? 1 : 0;
            const bool descending = d.FieldOptions[i] != 0 && d.Descending == 0;
            FieldToKey(*f, present ? value : zeros, key + off, d.CaseInsensitive != 0, descending,
                       Header.LanguageId, Header.SortId);
            off += f->DataSize + 1;
        }
        if (!d.Unique && off + 4 <= d.KeyLength) EncodeIntegerKey(bytes::GetI32(r.data() + 5), key + off);
        return true;
    }

    // The index's order, as the engine's cursor compares.
    int Compare(int32_t indexNo, const TIndexDescriptor& d, const uint8_t* a, const uint8_t* b) const {
        auto sign = [](int v) { return v < 0 ? -1 : v > 0 ? 1 : 0; };
        const int32_t length = d.KeyLength;
        if (indexNo == DeletedIndexNo) return sign(std::memcmp(a, b, size_t(length)));
        const bool descending = d.Descending != 0;
        if (Header.LanguageId == 0) {
            const int c = sign(std::memcmp(a, b, size_t(length)));
            return descending ? -c : c;
        }
        int32_t off = 0;
        for (int32_t i = 0; i < d.FieldCount && i < MaxIndexFields && off < length; ++i) {
            const TFieldDescriptor* f = FieldByNumber(d.FieldNumbers[i]);
            if (!f) return 0;
            const int32_t segment = std::min<int32_t>(f->DataSize + 1, length - off);
            const bool desc = descending || d.FieldOptions[i] != 0;
            int c;
            if (f->DataType == dtString) {
                c = sign(int(a[off]) - int(b[off]));
                if (c == 0 && segment > 1) {
                    const char* sa = reinterpret_cast<const char*>(a + off + 1);
                    const char* sb = reinterpret_cast<const char*>(b + off + 1);
                    const int32_t n = segment - 1;
                    c = LocaleCompareStrings(MakeLCID(Header.LanguageId, Header.SortId),
                                             SORT_STRINGSORT | NORM_IGNORENONSPACE, sa,
                                             int(strnlen(sa, size_t(n))), sb, int(strnlen(sb, size_t(n))));
                    if (c == 0) c = sign(std::memcmp(sa, sb, size_t(n)));
                }
            } else {
                c = sign(std::memcmp(a + off, b + off, size_t(segment)));
            }
            if (c != 0) return desc ? -c : c;
            off += segment;
        }
        if (off < length) {
            const int c = sign(std::memcmp(a + off, b + off, size_t(length - off)));
            return descending ? -c : c;
        }
        return 0;
    }

    bool PagePosition(uint32_t pos) const {
        return pos >= uint32_t(IndexHeaderSize) && pos % IndexPageSize == 0 && pos < NextNewPage &&
               size_t(pos) + IndexPageSize <= Index.size();
    }

    // The page at pos parsed with the index's key settings; false (and a problem) when it
    // cannot be.
    bool LoadPage(int32_t indexNo, const TIndexDescriptor& d, uint32_t pos, TPage& page) {
        uint8_t image[IndexPageSize];
        std::memcpy(image, At(Index, pos), sizeof image);
        if (Encrypted) UnscrambleBuffer(image, IndexPageSize, IndexPageSeedLo, IndexPageSeedHi);
        page.Clear(nullptr, indexNo, d);
        try {
            page.LoadFromBuffer(image, false);
        } catch (const EZIZIVUEngineError&) {
            R.Add("index " + Str(indexNo) + ": page " + Str(pos) + " cannot be parsed");
            return false;
        }
        return true;
    }

    struct TLeafEntry {
        std::vector<uint8_t> Key;
        uint32_t RecordNo;
    };

    // Walks the subtree at pos: its keys in order go to entries; the keys below it are
    // returned (-1 when the subtree is damaged beyond counting).
    int64_t Walk(int32_t indexNo, const TIndexDescriptor& d, uint32_t pos, int32_t depth, bool root,
                 std::vector<TLeafEntry>& entries, std::vector<uint32_t>& leaves, int32_t& leafDepth) {
        const std::string where = "index " + Str(indexNo) + ": page " + Str(pos);
        if (!PagePosition(pos)) return R.Add(where + " is no page of the file"), -1;
        if (depth > MaxDepth) return R.Add(where + " lies deeper than any tree"), -1;
        if (!Owner.emplace(pos, indexNo).second)
            return R.Add(where + " is used twice (also by index " + Str(Owner[pos]) + ")"), -1;
        ++R.IndexPages;
        TPage page;
        if (!LoadPage(indexNo, d, pos, page)) return -1;
        if (page.IsRoot() != root) R.Add(where + " has page type " + Str(page.PageType()));
        if (page.Count() == 0) R.Add(where + " is an empty page inside the tree");
        if (page.IsLeaf()) {
            if (leafDepth < 0) leafDepth = depth;
            if (leafDepth != depth)
                R.Add(where + " is a leaf at depth " + Str(depth) + ", others at " + Str(leafDepth));
            leaves.push_back(pos);
            for (int32_t i = 1; i <= page.Count(); ++i)
                entries.push_back({std::vector<uint8_t>(page.EntryKey(i), page.EntryKey(i) + d.KeyLength),
                                   page.EntryValue(i)});
            return page.Count();
        }
        int64_t total = 0;
        for (int32_t i = 1; i <= page.Count(); ++i) {
            const size_t first = entries.size();
            const int64_t below =
                Walk(indexNo, d, page.EntryValue(i), depth + 1, false, entries, leaves, leafDepth);
            if (below < 0) return -1;
            if (below != int64_t(page.EntryCount(i)))
                R.Add(where + " entry " + Str(i) + " counts " + Str(page.EntryCount(i)) +
                      " keys, its subtree " + Str(uint64_t(below)));
            if (first < entries.size() &&
                std::memcmp(entries[first].Key.data(), page.EntryKey(i), d.KeyLength) != 0)
                R.Add(where + " entry " + Str(i) + " does not carry its subtree's first key");
            total += below;
        }
        return total;
    }

    void CheckIndexes() {
        const int32_t count = IdxHeader[OffIndexCount];
        if (count > MaxSecondaryIndexes) return R.Add("index header declares " + Str(count) + " indexes");
        const bool noPrimary = IdxHeader[OffNoPrimary] != 0;
        std::vector<int32_t> numbers;
        for (int32_t i = noPrimary ? 1 : 0; i <= count; ++i) numbers.push_back(i);
        numbers.push_back(DeletedIndexNo);
        for (int32_t i : numbers) {
            const TIndexDescriptor d = Descriptor(i);
            if (d.KeyLength == 0) continue;
            if (d.KeyLength > KeyBufferSize) {
                R.Add("index " + Str(i) + " has key length " + Str(d.KeyLength));
                continue;
            }
            CheckIndex(i, d);
        }
        for (int32_t i = 0; i < IndexDescriptorCount; ++i) CheckFreePages(i, Descriptor(i));
        uint32_t unused = 0;
        for (uint32_t pos = IndexHeaderSize; pos < NextNewPage; pos += IndexPageSize)
            if (!Owner.count(pos)) ++unused;
        if (unused) R.Add(Str(unused) + " index pages belong to no tree and no free chain");
    }

    void CheckIndex(int32_t indexNo, const TIndexDescriptor& d) {
        const std::string name = "index " + Str(indexNo) + (d.Name.empty() ? "" : " (" + d.Name + ")");
        std::vector<TLeafEntry> entries;
        std::vector<uint32_t> leaves;
        int32_t leafDepth = -1;
        if (d.RootPage != 0 && Walk(indexNo, d, d.RootPage, 0, true, entries, leaves, leafDepth) < 0) return;
        R.IndexKeys += uint32_t(entries.size());
        // Leaf links: the chain in key order, both ways.
        for (size_t i = 0; i < leaves.size(); ++i) {
            TPage page;
            if (!LoadPage(indexNo, d, leaves[i], page)) return;
            const uint32_t prev = i ? leaves[i - 1] : 0, next = i + 1 < leaves.size() ? leaves[i + 1] : 0;
            if (page.Prev() != prev || page.Next() != next)
                R.Add(name + ": leaf " + Str(leaves[i]) + " links " + Str(page.Prev()) + "/" +
                      Str(page.Next()) + ", its neighbours are " + Str(prev) + "/" + Str(next));
        }
        for (size_t i = 1; i < entries.size(); ++i)
            if (Compare(indexNo, d, entries[i - 1].Key.data(), entries[i].Key.data()) >= 0)
                R.Add(name + ": keys " + Str(i) + " and " + Str(i + 1) + " are out of order");
        // Every key names a live record (any record for the deleted-records index) whose
        // own key it is; every such record is named once.
        std::vector<uint8_t> named(Physical + 1, 0);
        uint8_t built[KeyBufferSize];
        for (const TLeafEntry& e : entries) {
            const uint32_t n = e.RecordNo;
            if (n == 0 || n > Physical) {
                R.Add(name + ": a key names record " + Str(n) + ", beyond the data file");
                continue;
            }
            if (named[n]++) R.Add(name + ": record " + Str(n) + " is named by two keys");
            if (indexNo != DeletedIndexNo && Status[n] != 0) {
                R.Add(name + ": a key names record " + Str(n) + ", which is not active");
                continue;
            }
            if (!BuildKey(indexNo, d, Record(n), built)) {
                R.Add(name + ": names a field the table does not have");
                return;
            }
            if (std::memcmp(built, e.Key.data(), d.KeyLength) != 0)
                R.Add(name + ": the key of record " + Str(n) + " differs from the record's own");
        }
        const uint32_t wanted = indexNo == DeletedIndexNo ? Physical : R.ActiveRecords;
        if (entries.size() != wanted)
            R.Add(name + " holds " + Str(entries.size()) + " keys for " + Str(wanted) + " records");
        for (uint32_t n = 1; n <= Physical; ++n)
            if (!named[n] && (indexNo == DeletedIndexNo || Status[n] == 0)) {
                R.Add(name + ": record " + Str(n) + " is missing");
                break;
            }
    }

    void CheckFreePages(int32_t indexNo, const TIndexDescriptor& d) {
        std::unordered_set<uint32_t> seen;
        for (uint32_t pos = d.FreeHead; pos != 0;) {
            const std::string where = "index " + Str(indexNo) + ": free page " + Str(pos);
            if (!PagePosition(pos)) return R.Add(where + " is no page of the file");
            if (!seen.insert(pos).second) return R.Add(where + " closes a cycle in the free chain");
            if (!Owner.emplace(pos, indexNo).second)
                return R.Add(where + " is also used by index " + Str(Owner[pos]));
            uint8_t image[IndexPageSize];
            std::memcpy(image, At(Index, pos), sizeof image);
            if (Encrypted) UnscrambleBuffer(image, IndexPageSize, IndexPageSeedLo, IndexPageSeedHi);
            if (bytes::GetU16(image + 1) != 0) R.Add(where + " holds entries");
            ++R.FreeIndexPages;
            pos = bytes::GetU32(image + 7);
        }
    }

    // ---- BLOB file ----

    void CheckBlobs() {
        if (Blob.size() < size_t(BlobFileHeaderSize)) return R.Add("BLOB file shorter than its header");
        uint8_t image[BlobFileHeaderSize];
        std::memcpy(image, At(Blob, 0), sizeof image);
        if (Encrypted) Scramble(image, BlobFileHeaderSize, BlobSeed);
        TBlobFileHeader h;
        h.ReadFrom(image);
        BlockSize = int32_t(Header.BlobBlockSize & 0xFFFF);
        if (BlockSize == 0) BlockSize = DefaultBlobBlockSize;
        NextBlock = h.NextBlockPos;
        if (NextBlock < FirstBlockPosition || (NextBlock - FirstBlockPosition) % uint32_t(BlockSize) != 0)
            return R.Add("BLOB header names next block " + Str(NextBlock));
        if (Blob.size() < NextBlock)
            R.Add("BLOB file ends at " + Str(Blob.size()) + ", before its next block " + Str(NextBlock));
        std::unordered_map<uint32_t, uint32_t> used;  // block -> owner record
        for (uint32_t n = 1; n <= Physical; ++n) {
            if (Status[n] != 0) continue;
            const std::vector<uint8_t> r = Record(n);
            for (const TFieldDescriptor& f : Fields) {
                if (f.DataType != dtBlob || f.Computed) continue;
                const uint32_t first = bytes::GetU32(r.data() + f.Offset + 1);
                if (first == 0) continue;
                if (r[f.Offset] == 0)
                    R.Add("record " + Str(n) + " field " + f.Name + " names BLOB block " + Str(first) +
                          " but is blank");
                ++R.BlobChains;
                CheckChain(n, f.Name, first, used);
            }
        }
        std::unordered_set<uint32_t> free;
        for (uint32_t pos = h.FreeHead; pos != 0;) {
            const std::string where = "free BLOB block " + Str(pos);
            if (!BlockPosition(pos)) return R.Add(where + " is no block of the file");
            if (!free.insert(pos).second) return R.Add(where + " closes a cycle in the free chain");
            if (used.count(pos)) return R.Add(where + " is in use by record " + Str(used[pos]));
            const TBlockHeader b = Block(pos);
            if (b.OwnerRecord != 0) R.Add(where + " names owner " + Str(b.OwnerRecord));
            ++R.BlobBlocksFree;
            pos = b.NextBlock;
        }
        R.BlobBlocksUsed = uint32_t(used.size());
        const uint64_t total = (NextBlock - FirstBlockPosition) / uint32_t(BlockSize);
        if (used.size() + free.size() != total)
            R.Add(Str(total - used.size() - free.size()) + " BLOB blocks belong to no chain");
    }

    bool BlockPosition(uint32_t pos) const {
        return pos >= FirstBlockPosition && pos < NextBlock &&
               (pos - FirstBlockPosition) % uint32_t(BlockSize) == 0 &&
               size_t(pos) + size_t(BlockSize) <= Blob.size();
    }

    TBlockHeader Block(uint32_t pos) const {
        uint8_t image[BlockHeaderSize];
        std::memcpy(image, At(Blob, pos), sizeof image);
        if (Encrypted) Scramble(image, BlockHeaderSize, BlobSeed);
        TBlockHeader b;
        b.ReadFrom(image);
        return b;
    }

    void CheckChain(uint32_t recordNo, const std::string& field, uint32_t first,
                    std::unordered_map<uint32_t, uint32_t>& used) {
        const std::string what = "record " + Str(recordNo) + " field " + field + ": BLOB block ";
        const uint32_t dataSize = uint32_t(BlockSize - BlockHeaderSize);
        uint32_t total = 0, copied = 0, prev = 0;
        for (uint32_t pos = first; pos != 0;) {
            if (!BlockPosition(pos)) return R.Add(what + Str(pos) + " is no block of the file");
            auto [it, fresh] = used.emplace(pos, recordNo);
            if (!fresh) return R.Add(what + Str(pos) + " is used by record " + Str(it->second) + " too");
            const TBlockHeader b = Block(pos);
            if (b.OwnerRecord != recordNo) R.Add(what + Str(pos) + " names owner " + Str(b.OwnerRecord));
            if (b.PrevBlock != prev) R.Add(what + Str(pos) + " links back to " + Str(b.PrevBlock));
            if (pos == first) total = b.TotalLength;
            if (b.BytesUsed > dataSize) R.Add(what + Str(pos) + " uses " + Str(b.BytesUsed) + " bytes");
            copied += b.BytesUsed;
            if (b.NextBlock != 0 && b.BytesUsed != dataSize)
                R.Add(what + Str(pos) + " is not full but not the last");
            prev = pos;
            pos = b.NextBlock;
        }
        if (copied != total)
            R.Add("record " + Str(recordNo) + " field " + field + ": BLOB chain holds " + Str(copied) +
                  " bytes, its length is " + Str(total));
    }

    TTableCheckReport& R;
    std::string Data, Index, Blob;
    TDataFileHeader Header;
    bool Encrypted = false;
    std::vector<TFieldDescriptor> Fields;
    size_t RecordsStart = 0;
    uint32_t Physical = 0;
    std::vector<uint8_t> Status;
    uint8_t IdxHeader[IndexHeaderSize] = {};
    uint32_t NextNewPage = 0;
    std::map<uint32_t, int32_t> Owner;  // index page -> index number
    int32_t BlockSize = DefaultBlobBlockSize;
    uint32_t NextBlock = 0;
};

}  // namespace

void TTableCheckReport::Add(const std::string& problem) {
    ++ProblemCount;
    if (Problems.size() < MaxProblemLines) Problems.push_back(problem);
}

std::string TTableCheckReport::Text() const {
    std::string s;
    for (const std::string& p : Problems) s += p + "\n";
    if (ProblemCount > int64_t(Problems.size()))
        s += "... and " + std::to_string(ProblemCount - int64_t(Problems.size())) + " more\n";
    return s;
}

TTableCheckReport CheckTableFiles(const std::string& folder, const std::string& name) {
    TTableCheckReport report;
    TChecker(report).Run(folder, name);
    return report;
}

std::vector<std::string> HeldTableLocks(const std::string& folder, const std::string& name) {
    using namespace table_locks;
    struct TRange {
        const char* Ext;
        const char* Name;
        uint32_t Start;
        uint32_t Length;
    };
    const TRange ranges[] = {
        {".DAT", "record bytes", AllRecordsStart, AllRecordsLength},
        {".DAT", "data write byte", DataWriteByte, 1},
        {".IDX", "index write range", WriteRangeStart, WriteRangeLength},
        {".BLB", "BLOB write range", WriteRangeStart, WriteRangeLength},
    };
    std::vector<std::string> held;
    for (const TRange& r : ranges) {
        const std::string path = TableFile(folder, name, r.Ext);
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) continue;  // no such file: nothing to hold
        struct flock l {};
        l.l_type = F_WRLCK;
        l.l_whence = SEEK_SET;
        l.l_start = off_t(r.Start);
        l.l_len = off_t(r.Length);
        if (::fcntl(fd, F_OFD_SETLK, &l) != 0) {
            held.push_back(r.Name);
        } else {
            l.l_type = F_UNLCK;
            ::fcntl(fd, F_OFD_SETLK, &l);
        }
        ::close(fd);
    }
    return held;
}

std::vector<std::string> ForeignFiles(const std::string& folder, const std::string& name) {
    std::string base = name;
    if (base.size() >= 4 && SameText(base.substr(base.size() - 4), ".DAT")) base.resize(base.size() - 4);
    std::vector<std::string> foreign;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(folder, ec)) {
        const std::string file = e.path().filename().string();
        bool own = false;
        for (const char* ext : {".DAT", ".IDX", ".BLB"}) own = own || SameText(file, base + ext);
        if (!own) foreign.push_back(file);
    }
    std::sort(foreign.begin(), foreign.end());
    return foreign;
}
