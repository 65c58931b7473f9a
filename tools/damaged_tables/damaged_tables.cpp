// Damaged table files: builds one valid table (primary key, secondary index, BLOB column,
// deleted records, values over several blocks), then damages copies of its data, index
// and BLOB files: every byte of every header field and descriptor changed, record, page
// and block headers and random offsets changed, each file cut and extended at many
// lengths, and a few files missing. Each variant is opened through its database folder
// (every other one exclusively, which flushes on close) and walked in full: every record
// and the deleted chain, every BLOB chain, every index tree (descent, leaf links, counts,
// ordinals, key searches). A variant may end in an engine error or walk cleanly; it may
// not crash, hang (a watchdog aborts), leak (checked after each variant under the leak
// sanitizer), throw anything else, or change the files (a walk only reads; the folder is
// compared byte for byte afterwards).
//
//   damaged_tables [--variants N] [--only TEXT] [--list] [--verbose] [--timeout SECONDS]
//
// Without --variants every variant runs (a few thousand); with it an evenly spread N. A
// line of progress comes every few hundred variants.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "db/engine/BlobFile.h"
#include "db/engine/DataDirectory.h"
#include "db/engine/DataSession.h"
#include "db/engine/DataTable.h"
#include "db/storage/EngineErrors.h"
#include "platform/rtl/ByteCodec.h"
#include "tests/support/FieldDescriptors.h"
#include "tests/support/ScratchDir.h"
#include "tools/tool_options/ToolOptions.h"

extern "C" int __lsan_do_recoverable_leak_check() __attribute__((weak));

namespace fs = std::filesystem;

namespace {

enum TFileKind { fkData, fkIndex, fkBlob, FileKinds };
const char* const kExtensions[FileKinds] = {".DAT", ".IDX", ".BLB"};
const char* const kKindNames[FileKinds] = {"DAT", "IDX", "BLB"};

constexpr uint32_t kRecords = 300;
constexpr uint16_t kBlockSize = 128;
// Record layout of the table below (offsets of the fields' flag bytes).
constexpr int kIdOffset = RecordHeaderSize;
constexpr int kNameOffset = kIdOffset + 5;
constexpr int kNameSize = 20;
constexpr int kQtyOffset = kNameOffset + kNameSize + 2;
constexpr int kNotesOffset = kQtyOffset + 3;

using TFiles = std::vector<std::string>;  // by TFileKind; a missing file is absent below

// ---- The valid table --------------------------------------------------------------------

// Key order for the walk and the build: plain bytes.
class TWalkClient : public TCacheClient {
public:
    bool LockForCacheMiss() override { return true; }
    uint32_t VisibleRun(uint32_t, int32_t, uint32_t maximum) override { return maximum; }
    int32_t CompareKeys(const uint8_t* entry, const uint8_t* key, int32_t length) override {
        const int c = std::memcmp(entry, key, size_t(length));
        return (c > 0) - (c < 0);
    }
};

TTableDefinition Definition() {
    TTableDefinition d;
    d.Fields = {MakeField(1, "ID", dtInteger), MakeField(2, "NAME", dtString, kNameSize),
                MakeField(3, "QTY", dtSmallInt), MakeField(4, "NOTES", dtBlob)};
    d.BlobBlockSize = kBlockSize;
    d.Description = "damaged tables";
    TIndexDescriptor primary;
    primary.FieldCount = 1;
    primary.FieldNumbers[0] = 1;
    primary.Unique = 1;
    TIndexDescriptor byName;
    byName.Name = "ByName";
    byName.FieldCount = 1;
    byName.FieldNumbers[0] = 2;
    byName.CaseInsensitive = 1;
    d.Indexes = {primary, byName};
    return d;
}

// Row ids go into keys most significant byte first, so that they sort as numbers.
void PutRowId(uint8_t* p, uint32_t v) {
    for (int i = 3; i >= 0; --i, v >>= 8) p[i] = uint8_t(v);
}

// The index keys of a record: field flag and key image, a non-unique index adding the row id.
std::vector<uint8_t> KeyOf(TDataFile& data, const uint8_t* record, uint16_t fieldNo, bool withRowId) {
    std::vector<uint8_t> key(KeyBufferSize, 0);
    TFieldDescriptor f;
    data.FindFieldDescriptor(fieldNo, f);
    key[0] = record[f.Offset];
    FieldToKey(f, record + f.Offset + 1, key.data(), false, false, 0, 0);
    if (withRowId) PutRowId(key.data() + 1 + f.DataSize, bytes::GetU32(record + 5));
    return key;
}

// Writes the table through the files' own calls (there is no cursor at this level): records
// with index keys, BLOB values of up to a dozen blocks, then every seventh record deleted
// with its keys and value, its row id kept in the deleted-records index.
void BuildTable(TDataDirectory* directory) {
    TDataTable* t = nullptr;
    if (directory->CreateTable("PARTS", t, false, false, Definition()) != 0)
        throw std::runtime_error("cannot create the table");
    TWalkClient client;
    TDataFile* data = t->DataFile();
    TIndexFile* index = t->IndexFile();
    std::mt19937 random(7);
    for (uint32_t n = 1; n <= kRecords; ++n) {
        TRecord* r = nullptr;
        data->AllocateRecord(&client, r);
        r->Clear(true);
        uint8_t* b = r->GetBuffer();
        b[kIdOffset] = 1;
        bytes::PutU32(b + kIdOffset + 1, n * 3 + 1000);
        b[kNameOffset] = 1;
        const std::string name = "part " + std::to_string(random() % 97);
        std::memcpy(b + kNameOffset + 1, name.data(), name.size());
        b[kQtyOffset] = n % 5 ? 1 : 0;
        bytes::PutU16(b + kQtyOffset + 1, uint16_t(n));
        if (n % 3 != 0) {
            TBlobBuffer value(t->BlobFile(), &client);
            value.RecordNo = r->RecordNumber();
            value.SetSize(20 + random() % (12 * (kBlockSize - BlockHeaderSize)));
            for (uint32_t i = 0; i < value.Length(); ++i) value.GetData()[i] = uint8_t(i * 7 + n);
            value.Save();
            b[kNotesOffset] = 1;
            bytes::PutU32(b + kNotesOffset + 1, value.FirstBlock);
            bytes::PutU32(b + kNotesOffset + 5, data->NextBlobId());
        }
        r->SetModified(true);
        index->InsertIndexKey(&client, 0, KeyOf(*data, b, 1, false).data(), r->RecordNumber());
        index->InsertIndexKey(&client, 1, KeyOf(*data, b, 2, true).data(), r->RecordNumber());
        index->IncCounter3974();
        data->ReleaseRecord(r);
    }
    for (uint32_t n = 7; n <= kRecords; n += 7) {
        TRecord* r = nullptr;
        data->GetRecord(&client, n, r);
        uint8_t* b = r->GetBuffer();
        index->DeleteIndexKey(&client, 0, KeyOf(*data, b, 1, false).data());
        index->DeleteIndexKey(&client, 1, KeyOf(*data, b, 2, true).data());
        if (b[kNotesOffset]) {
            TBlobBuffer value(t->BlobFile(), &client);
            value.RecordNo = n;
            value.FirstBlock = bytes::GetU32(b + kNotesOffset + 1);
            value.FreeBlocks();
        }
        uint8_t deletedKey[KeyBufferSize] = {1};
        PutRowId(deletedKey + 1, r->GetRowWord());
        index->InsertIndexKey(&client, DeletedIndexNo, deletedKey, n);
        index->DecCounter3974();
        data->DeleteRecord(r);
        data->ReleaseRecord(r);
    }
    t->FlushBuffers(true, true, false, true, true);
    directory->CloseTable(t, false);
}

// ---- The walk ---------------------------------------------------------------------------

struct TWalkResult {
    bool Opened = false;
    uint16_t OpenCode = 0;            // the engine error refusing the open
    std::vector<uint16_t> WalkCodes;  // engine errors during the walk, one per part
};

void WalkIndex(TIndexFile& f, TWalkClient& c, int32_t indexNo) {
    // No walk of the file can take more steps than it has pages.
    const uint32_t pages = (f.GetNextNewPage() - IndexHeaderSize) / IndexPageSize + 1;
    int32_t total = 0;
    if (!f.GetIndexKeyCount(&c, indexNo, total)) throw std::logic_error("caches dropped");
    TPageRef cur(f);
    if (!cur.Root(&c, indexNo, TPagePos::First)) throw std::logic_error("caches dropped");
    if (!cur) return;
    const int32_t keyLength = cur->KeyLength();
    for (uint32_t depth = 0; !cur->IsLeaf(); ++depth) {
        if (depth > pages || cur->Count() == 0) return;  // the walker's bound, not the engine's
        if (!cur.Get(&c, indexNo, cur->EntryValue(1))) throw std::logic_error("caches dropped");
    }
    std::vector<std::vector<uint8_t>> keys;
    int32_t seen = 0;
    for (uint32_t steps = 0;; ++steps) {
        if (steps > pages) return;
        seen += cur->Count();
        for (int32_t i = 1; i <= cur->Count() && keys.size() < 64; i += 7)
            keys.emplace_back(cur->EntryKey(i), cur->EntryKey(i) + keyLength);
        const uint32_t next = cur->Next();
        if (next == 0) break;
        if (!cur.Get(&c, indexNo, next)) throw std::logic_error("caches dropped");
    }
    cur.Release();
    std::vector<uint8_t> key(KeyBufferSize);
    uint32_t recordNo = 0;
    bool found = false;
    for (int32_t ordinal : {1, total / 3, total / 2, total, seen, total + 1}) {
        if (!f.GetKeyAtOrdinal(&c, indexNo, ordinal, key.data(), recordNo, found))
            throw std::logic_error("caches dropped");
    }
    for (auto& k : keys) {
        k.resize(KeyBufferSize);
        int32_t ordinal = 0;
        if (!f.FindKeyOrdinal(&c, indexNo, k.data(), ordinal, found))
            throw std::logic_error("caches dropped");
    }
}

// One part of the walk: an engine error ends only that part.
template <typename F>
void Part(TWalkResult& result, F&& part) {
    try {
        part();
    } catch (const EZIZIVUEngineError& e) {
        result.WalkCodes.push_back(e.ErrorCode());
    }
}

void Walk(TDataTable* t, TWalkResult& result);

TWalkResult OpenAndWalk(TDataDirectory* directory, bool exclusive) {
    TWalkResult result;
    TDataTable* t = nullptr;
    try {
        const int32_t code = directory->OpenTable("PARTS", t, false, false, false, false, false, exclusive);
        if (code != 0) {
            result.OpenCode = uint16_t(-code);
            return result;
        }
        t->ReadHeaders();
    } catch (const EZIZIVUEngineError& e) {
        result.OpenCode = e.ErrorCode();
        if (t) directory->CloseTable(t, false);
        return result;
    }
    result.Opened = true;
    try {
        Walk(t, result);
    } catch (...) {
        directory->CloseTable(t, false);
        throw;
    }
    Part(result, [&] { directory->CloseTable(t, false); });
    return result;
}

void Walk(TDataTable* t, TWalkResult& result) {
    TWalkClient client;
    TDataFile* data = t->DataFile();
    struct TBlobRef {
        uint32_t RecordNo, FirstBlock;
    };
    std::vector<TBlobRef> blobs;
    const uint32_t count = data->GetPhysicalRecordCount();
    Part(result, [&] {
        for (uint32_t n = 1; n <= count; ++n) {
            TRecord* r = nullptr;
            if (!data->GetRecord(&client, n, r)) throw std::logic_error("caches dropped");
            for (int32_t i = 0; r->GetStatus() == 0 && i < data->GetFieldCount(); ++i) {
                const TFieldDescriptor& f = data->GetFieldDescriptor(i);
                if (f.DataType != dtBlob || !f.HasStorage()) continue;
                const uint8_t* field = r->GetBuffer() + f.Offset;
                if (field[0] && bytes::GetU32(field + 1)) blobs.push_back({n, bytes::GetU32(field + 1)});
            }
            data->ReleaseRecord(r);
        }
    });
    Part(result, [&] {
        // The deleted chain, at most one step per record.
        uint32_t next = data->Header().DeletedHead;
        for (uint32_t steps = 0; next != 0 && steps <= count; ++steps) {
            TRecord* r = nullptr;
            if (!data->GetRecord(&client, next, r)) throw std::logic_error("caches dropped");
            next = r->GetStatus() == 0 ? 0 : r->GetNextDeleted();
            data->ReleaseRecord(r);
        }
    });
    if (t->HasBlobFile()) {
        for (const TBlobRef& ref : blobs) {
            Part(result, [&] {
                TBlobBuffer value(t->BlobFile(), &client);
                value.RecordNo = ref.RecordNo;
                value.FirstBlock = ref.FirstBlock;
                value.Load();
                uint32_t first = ref.FirstBlock;
                if (!t->BlobFile()->RepairBlobs(&client, true, false, ref.RecordNo, ref.RecordNo, first))
                    throw std::logic_error("caches dropped");
            });
        }
    }
    TIndexFile* index = t->IndexFile();
    std::vector<int32_t> indexes;
    for (int32_t i = 0; i <= index->GetIndexCount(); ++i) indexes.push_back(i);
    indexes.push_back(DeletedIndexNo);
    for (int32_t i : indexes) Part(result, [&] { WalkIndex(*index, client, i); });
}

// ---- Variants ---------------------------------------------------------------------------

struct TVariant {
    std::string Name;
    TFileKind File = fkData;
    enum { Set, Xor, Cut, Extend, Remove, Random } Op = Set;
    size_t Offset = 0;  // Set, Xor: the byte; Cut: the new length; Random: the seed
    uint8_t Value = 0;  // Set, Xor: the value; Extend: the filler (Random: bytes changed)
    size_t Length = 0;  // Extend: bytes added
};

struct TFieldSpan {
    const char* Name;
    size_t Offset;
    size_t Size;
    bool Text;  // a length byte and characters: the length byte in full, the characters sampled
};

// Header layouts, as the engine reads them.
const std::vector<TFieldSpan> kDataHeader = {
    {"ChangeCount", 0, 4, false},  {"BlobBlockSize", 4, 4, false},   {"Version", 8, 1, false},
    {"DeletedHead", 9, 4, false},  {"NextRecordNo", 13, 4, false},   {"LastRowId", 17, 4, false},
    {"RecordSize", 21, 2, false},  {"FieldCount", 23, 2, false},     {"BlobFieldCount", 25, 2, false},
    {"Stamp", 27, 8, false},       {"Description", 35, 51, true},    {"Encrypted", 86, 1, false},
    {"Password", 87, 16, true},    {"LanguageId", 103, 2, false},    {"SortId", 105, 2, false},
    {"UserMajor", 107, 2, false},  {"UserMinor", 109, 2, false},     {"Modified", 111, 1, false},
    {"LastBlobId", 112, 4, false}, {"EngineVersion", 116, 8, false}, {"Reserved124", 124, 3, false}};
const std::vector<TFieldSpan> kFieldDescriptor = {
    {"FieldNo", 0, 2, false},    {"Name", 2, 31, true},       {"Description", 33, 51, true},
    {"DataType", 84, 1, false},  {"SubType", 85, 1, false},   {"Size", 86, 1, false},
    {"Decimals", 87, 1, false},  {"DataSize", 88, 1, false},  {"DataDecimals", 89, 1, false},
    {"Offset", 90, 2, false},    {"Required", 92, 1, false},  {"CharCase", 93, 1, false},
    {"MinValue", 94, 51, true},  {"MaxValue", 145, 51, true}, {"DefaultValue", 196, 51, true},
    {"Computed", 247, 1, false}, {"WorkArea", 248, 520, true}};
const std::vector<TFieldSpan> kIndexHeader = {
    {"ChangeCount", 0, 4, false},  {"Reserved4", 4, 4, false},   {"Version", 8, 1, false},
    {"NextNewPage", 9, 4, false},  {"IndexCount", 13, 1, false}, {"RecordCount", 3974, 4, false},
    {"NoPrimary", 3978, 1, false}, {"Modified", 3979, 1, false}, {"Reserved", 3980, 116, true}};
const std::vector<TFieldSpan> kIndexDescriptor = {
    {"Name", 0, 31, true},           {"KeyLength", 31, 2, false},
    {"Descending", 33, 1, false},    {"CaseInsensitive", 34, 1, false},
    {"Unique", 35, 1, false},        {"Compression", 36, 1, false},
    {"FieldCount", 37, 1, false},    {"FieldOptions", 38, 16, true},
    {"FieldNumbers", 54, 32, false}, {"RootPage", 86, 4, false},
    {"FreeHead", 90, 4, false},      {"Reserved", 94, 26, true}};
const std::vector<TFieldSpan> kBlobHeader = {{"ChangeCount", 0, 4, false},   {"Reserved4", 4, 4, false},
                                             {"Version", 8, 1, false},       {"FreeHead", 9, 4, false},
                                             {"NextBlockPos", 13, 4, false}, {"Modified", 17, 1, false},
                                             {"Reserved", 18, 494, true}};
const std::vector<TFieldSpan> kRecordHeader = {
    {"Status", 0, 1, false}, {"RecordNo", 1, 4, false}, {"RowId", 5, 4, false}};
const std::vector<TFieldSpan> kPageHeader = {{"Header", 0, IndexPageHeaderSize, false}};
const std::vector<TFieldSpan> kBlockHeader = {{"PrevBlock", 0, 4, false},
                                              {"NextBlock", 4, 4, false},
                                              {"BytesUsed", 8, 2, false},
                                              {"OwnerRecord", 10, 4, false},
                                              {"TotalLength", 14, 4, false}};

class TVariantList {
public:
    std::vector<TVariant> Items;

    // Every byte of a numeric field: all bits, the low bit, zero and the top bit; a text's
    // length byte likewise and its first and last characters inverted.
    void Fields(TFileKind file, const std::string& prefix, size_t base,
                const std::vector<TFieldSpan>& spans) {
        for (const TFieldSpan& s : spans) {
            const std::string name = prefix + s.Name;
            if (s.Text) {
                Bytes(file, name, base + s.Offset);
                Add({name + "[1]^ff", file, TVariant::Xor, base + s.Offset + 1, 0xFF});
                Add({name + "[last]^ff", file, TVariant::Xor, base + s.Offset + s.Size - 1, 0xFF});
                continue;
            }
            for (size_t i = 0; i < s.Size; ++i)
                Bytes(file, name + "[" + std::to_string(i) + "]", base + s.Offset + i);
        }
    }
    void Bytes(TFileKind file, const std::string& name, size_t at) {
        Add({name + "^ff", file, TVariant::Xor, at, 0xFF});
        Add({name + "^01", file, TVariant::Xor, at, 0x01});
        Add({name + "=00", file, TVariant::Set, at, 0x00});
        Add({name + "=80", file, TVariant::Set, at, 0x80});
    }
    void Add(TVariant v) { Items.push_back(std::move(v)); }
};

std::vector<TVariant> MakeVariants(const TFiles& valid) {
    TVariantList list;
    std::mt19937 random(11);
    const size_t recordSize = bytes::GetU16(reinterpret_cast<const uint8_t*>(valid[fkData].data()) + 21);
    const size_t fieldCount = bytes::GetU16(reinterpret_cast<const uint8_t*>(valid[fkData].data()) + 23);
    const size_t dataStart = DataFileHeaderSize + FieldDescriptorSize * fieldCount;
    const size_t records = (valid[fkData].size() - dataStart) / recordSize;
    const size_t pages = (valid[fkIndex].size() - IndexHeaderSize) / IndexPageSize;
    const size_t blocks = (valid[fkBlob].size() - BlobFileHeaderSize) / kBlockSize;

    // Headers and descriptors.
    list.Fields(fkData, "DAT header ", 0, kDataHeader);
    for (size_t i = 0; i < fieldCount; ++i)
        list.Fields(fkData, "DAT field " + std::to_string(i + 1) + " ",
                    DataFileHeaderSize + FieldDescriptorSize * i, kFieldDescriptor);
    list.Fields(fkIndex, "IDX header ", 0, kIndexHeader);
    for (int32_t i : {0, 1, 2, DeletedIndexNo})
        list.Fields(fkIndex, "IDX index " + std::to_string(i) + " ", 14 + IndexDescriptorSize * size_t(i),
                    kIndexDescriptor);
    list.Fields(fkBlob, "BLB header ", 0, kBlobHeader);

    // Record, page and block headers, and random offsets inside them.
    for (size_t n : {size_t(1), size_t(2), size_t(7), records / 2, records - 1, records})
        list.Fields(fkData, "DAT record " + std::to_string(n) + " ", dataStart + recordSize * (n - 1),
                    kRecordHeader);
    for (size_t p = 0; p < pages; ++p)
        list.Fields(fkIndex, "IDX page " + std::to_string(p + 1) + " ", IndexHeaderSize + IndexPageSize * p,
                    kPageHeader);
    for (size_t b = 0; b < blocks; b += std::max<size_t>(1, blocks / 12))
        list.Fields(fkBlob, "BLB block " + std::to_string(b) + " ", BlobFileHeaderSize + kBlockSize * b,
                    kBlockHeader);
    const struct {
        TFileKind File;
        size_t Start, Count;
    } bodies[] = {
        {fkData, dataStart, 200}, {fkIndex, IndexHeaderSize, 400}, {fkBlob, BlobFileHeaderSize, 200}};
    for (const auto& body : bodies) {
        const size_t size = valid[body.File].size();
        for (size_t i = 0; i < body.Count; ++i) {
            const size_t at = body.Start + random() % (size - body.Start);
            const uint8_t value = uint8_t(1 + random() % 255);
            list.Add({std::string(kKindNames[body.File]) + " body @" + std::to_string(at) + "^" +
                          std::to_string(value),
                      body.File, TVariant::Xor, at, value});
        }
        // Several bytes at once, anywhere in the file.
        for (size_t i = 0; i < 40; ++i)
            list.Add({std::string(kKindNames[body.File]) + " scattered #" + std::to_string(i), body.File,
                      TVariant::Random, random(), uint8_t(2 + random() % 30)});
    }

    // Cuts and extensions: around every unit boundary of the headers, a sample of the
    // units after them, and random lengths.
    const struct {
        TFileKind File;
        size_t Header, Unit;
    } layouts[] = {{fkData, dataStart, recordSize},
                   {fkIndex, IndexHeaderSize, IndexPageSize},
                   {fkBlob, BlobFileHeaderSize, kBlockSize}};
    for (const auto& l : layouts) {
        const std::string kind = kKindNames[l.File];
        const size_t size = valid[l.File].size();
        std::vector<size_t> cuts = {0, 1, 8, 13, 17, l.Header / 2, l.Header - 1, l.Header, l.Header + 1};
        if (l.File == fkData)
            for (size_t i = 0; i <= fieldCount; ++i)
                cuts.push_back(DataFileHeaderSize + FieldDescriptorSize * i);
        for (size_t u = l.Header; u < size; u += std::max<size_t>(l.Unit, (size - l.Header) / 20)) {
            cuts.push_back(u);
            cuts.push_back(u + l.Unit / 2);
        }
        for (size_t i = 0; i < 10; ++i) cuts.push_back(random() % size);
        cuts.push_back(size - 1);
        for (size_t c : cuts)
            if (c < size) list.Add({kind + " cut to " + std::to_string(c), l.File, TVariant::Cut, c});
        for (size_t add :
             {size_t(1), l.Unit - 1, l.Unit, l.Unit + 1, 3 * l.Unit, size_t(4096), size_t(65536)})
            for (uint8_t filler : {0x00, 0xFF, 0x5A})
                list.Add({kind + " extended by " + std::to_string(add) + " of " + std::to_string(filler),
                          l.File, TVariant::Extend, 0, filler, add});
        list.Add({kind + " missing", l.File, TVariant::Remove});
    }
    return list.Items;
}

TFiles Apply(const TFiles& valid, const TVariant& v) {
    TFiles files = valid;
    std::string& f = files[v.File];
    switch (v.Op) {
        case TVariant::Set:
            if (v.Offset < f.size()) f[v.Offset] = char(v.Value);
            break;
        case TVariant::Xor:
            if (v.Offset < f.size()) f[v.Offset] = char(uint8_t(f[v.Offset]) ^ v.Value);
            break;
        case TVariant::Cut:
            f.resize(std::min(f.size(), v.Offset));
            break;
        case TVariant::Extend:
            f.append(v.Length, char(v.Value));
            break;
        case TVariant::Remove:
            break;
        case TVariant::Random: {
            std::mt19937 random(uint32_t(v.Offset));
            for (uint8_t i = 0; i < v.Value && !f.empty(); ++i) f[random() % f.size()] = char(random());
            break;
        }
    }
    return files;
}

// ---- Folder handling and the run ---------------------------------------------------------

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFolder(const fs::path& dir, const TFiles& files, const TVariant* v) {
    for (const auto& entry : fs::directory_iterator(dir)) fs::remove(entry.path());
    for (int k = 0; k < FileKinds; ++k) {
        if (v && v->Op == TVariant::Remove && v->File == k) continue;
        std::ofstream(dir / (std::string("PARTS") + kExtensions[k]), std::ios::binary) << files[k];
    }
}

// What the folder holds after the walk, against what was written: "" when unchanged.
std::string FolderChange(const fs::path& dir, const TFiles& files, const TVariant& v) {
    std::map<std::string, std::string> expected;
    for (int k = 0; k < FileKinds; ++k)
        if (!(v.Op == TVariant::Remove && v.File == k))
            expected[std::string("PARTS") + kExtensions[k]] = files[k];
    std::map<std::string, std::string> found;
    for (const auto& entry : fs::directory_iterator(dir))
        found[entry.path().filename().string()] = ReadFile(entry.path());
    for (const auto& [name, bytes] : found) {
        auto it = expected.find(name);
        if (it == expected.end()) return "left the file " + name;
        if (bytes.size() != it->second.size())
            return name + " went from " + std::to_string(it->second.size()) + " to " +
                   std::to_string(bytes.size()) + " bytes";
        if (bytes != it->second) return name + " was written";
    }
    for (const auto& [name, bytes] : expected)
        if (!found.count(name)) return "removed " + name;
    return "";
}

volatile sig_atomic_t gVariantIndex = -1;
const std::vector<TVariant>* gVariants = nullptr;

void OnWatchdog(int) {
    static const char text[] = "damaged_tables: HANG (watchdog) in variant: ";
    (void)!write(2, text, sizeof text - 1);
    if (gVariants && gVariantIndex >= 0) {
        const std::string& name = (*gVariants)[size_t(gVariantIndex)].Name;
        (void)!write(2, name.data(), name.size());
    }
    (void)!write(2, "\n", 1);
    _exit(3);
}

std::string CodeText(uint16_t code) {
    return std::to_string(code);
}

struct TOptions {
    int32_t Variants = 0;  // 0: every one
    std::string Only;
    bool List = false, Verbose = false;
    int32_t Timeout = 20;
};

// The figures of a run, by outcome.
struct TTally {
    size_t Walked = 0, Refused = 0, WalkErrors = 0;
    std::map<std::string, size_t> OpenCodes, WalkCodes;
    std::vector<std::string> Findings;
};

// The variants the options pick: those whose name holds --only, evenly spread to --variants.
std::vector<TVariant> Pick(const std::vector<TVariant>& all, const TOptions& o) {
    std::vector<TVariant> variants;
    for (const TVariant& v : all)
        if (o.Only.empty() || v.Name.find(o.Only) != std::string::npos) variants.push_back(v);
    const size_t wanted = size_t(o.Variants);
    if (wanted && wanted < variants.size()) {
        std::vector<TVariant> spread;
        for (size_t i = 0; i < wanted; ++i) spread.push_back(variants[i * variants.size() / wanted]);
        variants = std::move(spread);
    }
    return variants;
}

// One variant written into the work folder, opened, walked and compared afterwards.
void RunVariant(TDataDirectory* work, const fs::path& workDir, const TFiles& valid, const TVariant& v,
                size_t i, const TOptions& o, TTally& tally) {
    const TFiles files = Apply(valid, v);
    WriteFolder(workDir, files, &v);
    gVariantIndex = sig_atomic_t(i);
    alarm(unsigned(o.Timeout));
    TWalkResult r;
    std::string finding;
    try {
        r = OpenAndWalk(work, i % 2 == 1);
    } catch (const std::exception& e) {
        finding = std::string("threw ") + e.what();
    } catch (...) {
        finding = "threw a foreign exception";
    }
    alarm(0);
    if (finding.empty()) finding = FolderChange(workDir, files, v);
    if (finding.empty() && __lsan_do_recoverable_leak_check && __lsan_do_recoverable_leak_check())
        finding = "leaked";
    if (!finding.empty()) tally.Findings.push_back(v.Name + ": " + finding);
    if (!r.Opened) {
        ++tally.Refused;
        ++tally.OpenCodes[CodeText(r.OpenCode)];
    } else if (r.WalkCodes.empty()) {
        ++tally.Walked;
    } else {
        ++tally.WalkErrors;
        for (uint16_t c : r.WalkCodes) ++tally.WalkCodes[CodeText(c)];
    }
    if (o.Verbose) {
        std::printf("%-60s %s", v.Name.c_str(),
                    !r.Opened             ? ("refused " + CodeText(r.OpenCode)).c_str()
                    : r.WalkCodes.empty() ? "walked"
                                          : "walk errors");
        for (uint16_t c : r.WalkCodes) std::printf(" %u", c);
        std::printf("%s%s\n", finding.empty() ? "" : "  FINDING: ", finding.c_str());
    }
}

void PrintSummary(size_t variants, const TTally& t) {
    auto codes = [](const std::map<std::string, size_t>& m) {
        std::string s;
        for (const auto& [code, n] : m) s += (s.empty() ? "" : ", ") + code + ": " + std::to_string(n);
        return s;
    };
    std::printf(
        "damaged_tables: %zu variants: %zu walked cleanly, %zu refused at open (%s), %zu with engine "
        "errors in the walk (%s part errors)\n",
        variants, t.Walked, t.Refused, codes(t.OpenCodes).c_str(), t.WalkErrors, codes(t.WalkCodes).c_str());
    for (const std::string& f : t.Findings) std::printf("FINDING %s\n", f.c_str());
    std::printf("damaged_tables: %zu findings\n", t.Findings.size());
}

// A line every so many variants, so that the full run (several minutes) is not silent.
constexpr size_t ProgressEvery = 250;

int Run(const TOptions& o, const TToolOptions& options) {
    const TScratchDir root("damaged_tables");
    const fs::path validDir = fs::path(root.Path()) / "valid", workDir = fs::path(root.Path()) / "work";
    fs::create_directories(validDir);
    fs::create_directories(workDir);

    InitializeEngine();
    TDataSession* session = GetEngineSession();
    TFiles valid(FileKinds);
    BuildTable(session->OpenDirectory("valid", validDir.string()));
    for (int k = 0; k < FileKinds; ++k)
        valid[k] = ReadFile(validDir / (std::string("PARTS") + kExtensions[k]));

    const std::vector<TVariant> variants = Pick(MakeVariants(valid), o);
    if (variants.empty()) {
        FinalizeEngine();
        return options.Fail("no variant's name contains \"" + o.Only + "\" (--list shows them)");
    }
    if (o.List) {
        for (const TVariant& v : variants) std::printf("%s\n", v.Name.c_str());
        FinalizeEngine();
        return 0;
    }
    gVariants = &variants;
    signal(SIGALRM, OnWatchdog);

    TDataDirectory* work = session->OpenDirectory("work", workDir.string());
    // The valid table itself must walk cleanly, or the run measures nothing.
    WriteFolder(workDir, valid, nullptr);
    for (bool exclusive : {false, true}) {
        const TWalkResult baseline = OpenAndWalk(work, exclusive);
        if (!baseline.Opened || !baseline.WalkCodes.empty() ||
            !FolderChange(workDir, valid, TVariant{}).empty()) {
            std::fprintf(stderr,
                         "damaged_tables: the valid table does not walk cleanly (open %u, %zu errors)\n",
                         baseline.OpenCode, baseline.WalkCodes.size());
            FinalizeEngine();
            return 1;
        }
    }

    TTally tally;
    for (size_t i = 0; i < variants.size(); ++i) {
        RunVariant(work, workDir, valid, variants[i], i, o, tally);
        if (!o.Verbose && (i + 1) % ProgressEvery == 0 && i + 1 < variants.size()) {
            std::printf("damaged_tables: %zu of %zu variants, %zu findings\n", i + 1, variants.size(),
                        tally.Findings.size());
            std::fflush(stdout);
        }
    }
    session->CloseDirectory(work);
    FinalizeEngine();
    PrintSummary(variants.size(), tally);
    return tally.Findings.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    TOptions o;
    TToolOptions options("damaged_tables",
                         "[--variants N] [--only TEXT] [--list] [--verbose] [--timeout SECONDS]");
    options.Number("--variants", o.Variants, 1, INT32_MAX)
        .Text("--only", o.Only)
        .Flag("--list", o.List)
        .Flag("--verbose", o.Verbose)
        .Number("--timeout", o.Timeout, 1, 3600);
    if (!options.Parse(argc, argv)) return 2;
    try {
        return Run(o, options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "damaged_tables: %s\n", e.what());
        return 1;
    }
}
