#pragma once
// The table's data file (".DAT"): a 127-byte header, one 768-byte field descriptor per
// field, then fixed-size records numbered from 1, each a 9-byte record header and the
// fields. TDataFile keeps the header image, the descriptors, a cache of records with
// read-ahead and write-behind, and the chain of deleted records.
//
// A BLOB field's 8 bytes hold the position of the value's first block in the BLOB file
// (0 for none), then the value's 32-bit BLOB id.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "db/engine/DescriptorCodes.h"
#include "db/engine/EngineFileSupport.h"
#include "db/engine/EntryCache.h"
#include "db/engine/TableFiles.h"
#include "db/storage/Encodings.h"
#include "db/storage/FileLayer.h"
#include "db/storage/Library.h"
#include "db/storage/LibraryMemory.h"
#include "platform/rtl/ByteCodec.h"

constexpr int32_t DataFileHeaderSize = 127;
constexpr int32_t FieldDescriptorSize = 768;
constexpr int32_t RecordHeaderSize = 9;
constexpr int64_t EngineVersionStamp = 21200;
constexpr int32_t MaxFieldCount = 1024;
constexpr int32_t MaxBlobFieldCount = 64;
constexpr int32_t MaxRecordSize = 65535;
constexpr int32_t MaxFieldNameLength = 30;
// A record number whose successor reaches this, or a file beyond MaxTableBytes, is full.
constexpr uint32_t RecordNumberLimit = 100000001;
constexpr int64_t MaxTableBytes = 2000000000;
constexpr uint32_t MaxRowId = 2147483647;
// Offset of the auto-increment field: the record header's row id.
constexpr uint16_t AutoIncOffset = 5;
constexpr int32_t DefaultBlobBlockSize = 512;
constexpr int32_t FieldWorkAreaSize = FieldDescriptorSize - FieldWorkAreaOffset;

// A physical sort that does not find the whole table cached sorts runs of at most
// min(SortRunBytes div record size, SortRunRecords) records in scratch files and merges them.
constexpr int32_t SortRunBytes = 2097120;
constexpr int32_t SortRunRecords = 8191;

// Character case of a string field's values.
constexpr uint8_t fcAsIs = 0;
constexpr uint8_t fcUpper = 1;
constexpr uint8_t fcLower = 2;

struct TDataFileHeader {
    uint32_t ChangeCount = 0;     // 0
    uint32_t BlobBlockSize = 0;   // 4: low 16 bits; 0 without BLOB fields
    uint8_t Version = 0;          // 8
    uint32_t DeletedHead = 0;     // 9
    uint32_t NextRecordNo = 0;    // 13
    uint32_t LastRowId = 0;       // 17
    uint16_t RecordSize = 0;      // 21
    uint16_t FieldCount = 0;      // 23
    uint16_t BlobFieldCount = 0;  // 25
    double Stamp = 0;             // 27
    std::string Description;      // 35, string[50], scrambled when encrypted
    uint8_t Encrypted = 0;        // 86
    std::string Password;         // 87, string[15], scrambled when encrypted
    uint16_t LanguageId = 0;      // 103
    uint16_t SortId = 0;          // 105
    uint16_t UserMajor = 0;       // 107
    uint16_t UserMinor = 0;       // 109
    uint8_t Modified = 0;         // 111
    uint32_t LastBlobId = 0;      // 112
    int64_t EngineVersion = 0;    // 116
    uint16_t Reserved124 = 0;     // 124
    uint8_t Reserved126 = 0;      // 126

    void ReadFrom(const uint8_t* image);
    void WriteTo(uint8_t* image) const;
};

struct TFieldDescriptor {
    uint16_t FieldNo = 0;                      // 0
    std::string Name;                          // 2, string[30]
    std::string Description;                   // 33, string[50]
    uint8_t DataType = 0;                      // 84
    uint8_t SubType = 0;                       // 85
    uint8_t Size = 0;                          // 86: declared size
    uint8_t Decimals = 0;                      // 87
    uint8_t DataSize = 0;                      // 88: stored size
    uint8_t DataDecimals = 0;                  // 89
    uint16_t Offset = 0;                       // 90: the flag byte's offset in the record
    uint8_t Required = 0;                      // 92
    uint8_t CharCase = fcAsIs;                 // 93
    std::string MinValue;                      // 94, string[50]
    std::string MaxValue;                      // 145, string[50]
    std::string DefaultValue;                  // 196, string[50]
    uint8_t Computed = 0;                      // 247
    uint8_t WorkArea[FieldWorkAreaSize] = {};  // 248..767

    // Strings whose length byte exceeds their capacity are read as long as they claim
    // (within the descriptor), so that a check can see it; they are written cut.
    void ReadFrom(const uint8_t* image);
    void WriteTo(uint8_t* image) const;
    bool IsAutoInc() const { return DataType == dtInteger && SubType == fstAutoInc; }
    // Whether the field has bytes of its own in the record.
    bool HasStorage() const;
};

// Stored size and the decimals copy from the type and declared size.
void SetFieldDataSize(TFieldDescriptor& field);

struct TRecordHeader {
    uint8_t Status = 0;     // 0 active, 1 deleted
    uint32_t RecordNo = 0;  // own number, or the next deleted record
    uint32_t RowId = 0;

    void ReadFrom(const uint8_t* image);
    void WriteTo(uint8_t* image) const;
};

class TDataFile;
class TSortOutput;

// One cached record of a data file.
class TRecord : public TCacheEntry {
public:
    TRecord() = default;
    TRecord(const TRecord&) = delete;
    TRecord& operator=(const TRecord&) = delete;

    // Back to the empty state of a pooled object (buffers kept).
    void Reset();
    // Sizes the image for the owner's record size and zeroes it.
    void Prepare(TDataFile* owner, int32_t recordSize);
    // Zeroed image; with giveRowId the owner's next row id at byte 5 and the record
    // number at byte 1. Clears the modified flag.
    void Clear(bool giveRowId);
    void ClearImage();
    void ReadFrom(const uint8_t* image);
    void WriteTo(uint8_t* image) const;
    uint8_t GetStatus() const { return FBuffer[0]; }
    void SetStatus(uint8_t status);
    // The word at byte 1 while deleted, else 0.
    uint32_t GetNextDeleted() const;
    // The row id (byte 5).
    uint32_t GetRowWord() const { return bytes::GetU32(FBuffer.get() + 5); }
    void SetRecordID(uint32_t value);
    // Renumbers; an active record's byte-1 word follows, without marking it modified.
    void SetRecordNumber(uint32_t number);
    uint32_t RecordNumber() const { return Number; }
    uint8_t* GetBuffer() { return FBuffer.get(); }
    const uint8_t* GetBuffer() const { return FBuffer.get(); }
    uint8_t* GetExtraBuffer() { return FExtra.get(); }
    int32_t GetExtraSize() const { return FExtraSize; }
    void SetExtraSize(int32_t size);
    int32_t RecordSize() const { return FRecordSize; }
    TDataFile* Owner() const { return FOwner; }
    bool IsModified() const { return Modified != 0; }
    void SetModified(bool v) { Modified = v ? 1 : 0; }

    // Owner, modified flag, number and the smaller of the two images.
    void CopyFrom(const TRecord& source);
    // Whether the image equals a buffer of record size.
    bool SameImage(const uint8_t* buffer) const;
    // Bytes 9 onward from a buffer of record size (the header stays); marks modified.
    void CopyFields(const uint8_t* buffer);

private:
    TDataFile* FOwner = nullptr;
    TLibraryPtr<uint8_t[]> FBuffer;
    int32_t FCapacity = 0;
    int32_t FRecordSize = 0;
    TLibraryPtr<uint8_t[]> FExtra;
    int32_t FExtraSize = 0;
    int32_t FExtraCapacity = 0;
};

// Pool of free record objects.
using TRecordStack = TObjectPool<TRecord, false>;

// The steps of a grouping sort, called with record images of the table's record size.
// Records whose sort keys are equal (row id aside) form a group; `head` is the group's
// output record and `row` one record of the group. The group's first record is both: the
// step then sees head == row and `first` set. After the group's last record Finish (when
// set) completes the head, and Keep (when set) decides whether it stays in the table. What
// the steps need beyond the records (the query, its columns) they capture.
struct TSortGroupSteps {
    std::function<void(uint8_t* head, const uint8_t* row, bool first)> Accumulate;
    std::function<void(uint8_t* head)> Finish;
    std::function<bool(const uint8_t* head)> Keep;
};

class TDataFile : public TFileHandler, private TEntryCacheHost<TRecord> {
public:
    explicit TDataFile(TTableFilesOwner* owner);
    ~TDataFile() override;

    void Open() override;
    void Close() override;

    void InitStructure(uint16_t language, uint16_t sort, const TFieldDescriptor* fields, int32_t fieldCount,
                       uint16_t blobBlockSize, const std::string& description, const std::string& password,
                       bool encrypted, uint16_t userMinor, uint16_t userMajor);
    // Raises 12035, 15878 or 8961 for a file this engine cannot use.
    void CheckHeader();
    // 8961 unless the file holds exactly the records the header counts, and the deleted
    // chain starts at one of them.
    void CheckRecordCount();
    void ReadHeader();
    void WriteHeader(bool always, bool flush);
    void MarkHeaderDirty();
    // Whether the change counter on disk moved; the header on disk is then taken over. One
    // that does not fit the table as opened, or its file, is refused (8961) and the one in
    // hand kept.
    bool HeaderChanged();
    uint32_t GetChangeCount() const { return FHeader.ChangeCount; }
    void GetHeader(uint8_t* image) const;
    const TDataFileHeader& Header() const { return FHeader; }
    bool HeaderModified() const { return FHeaderModified; }
    bool FieldsModified() const { return FFieldsModified; }
    // Takes a header kept earlier back, with its marks (a change undone).
    void RestoreHeader(const TDataFileHeader& header, bool modified, bool fieldsModified) {
        FRowIdsWithinLast = false;
        FHeader = header;
        FHeaderModified = modified;
        FFieldsModified = fieldsModified;
    }
    void Empty();
    // The table holds no record: every row id lies within the counter.
    void SetNoRowIds() { FRowIdsWithinLast = true; }

    void ReadFieldDescriptors();
    void WriteFieldDescriptors();
    const TFieldDescriptor& GetFieldDescriptor(int32_t i) const { return FFields[i]; }
    // By field number; the buffer stays as it is when no field has it.
    bool FindFieldDescriptor(uint16_t fieldNo, TFieldDescriptor& field) const;
    // By name, case-insensitive; -1 when none.
    int32_t FindFieldDescriptorByName(const std::string& name) const;
    // Takes over number, name, subtype, description, required flag, character case,
    // minimum, maximum and default.
    void SetFieldDescriptor(int32_t i, const TFieldDescriptor& field);

    int32_t GetFieldCount() const { return FHeader.FieldCount; }
    int32_t GetBlobFieldCount() const { return FHeader.BlobFieldCount; }
    int32_t GetRecordSize() const { return FHeader.RecordSize; }
    int32_t GetBlobBlockSize() const;
    uint16_t GetLanguageId() const { return FHeader.LanguageId; }
    uint16_t GetSortId() const { return FHeader.SortId; }
    uint16_t GetHeaderWord107() const { return FHeader.UserMajor; }
    uint16_t GetHeaderWord109() const { return FHeader.UserMinor; }
    uint32_t GetPhysicalRecordCount() const { return FHeader.NextRecordNo - 1; }
    uint32_t GetNextRecordNo() const { return FHeader.NextRecordNo; }
    std::string GetDescription() const;
    std::string GetPassword() const;
    bool IsEncrypted() const { return FHeader.Encrypted != 0; }
    void SetDescriptionAndPassword(const std::string& password, const std::string& description,
                                   uint16_t userMinor, uint16_t userMajor, uint32_t lastRowId);
    uint32_t GetLastRowId() const { return FHeader.LastRowId; }
    void SetLastRowId(uint32_t value);
    // Every live record's row id is at most the last row id: true from an emptying (or a
    // table seen without records) on as long as the last row id never went back and no
    // other writer's header was taken over.
    bool RowIdsWithinLast() const { return FRowIdsWithinLast; }
    uint32_t NextRowId();
    uint32_t NextBlobId();

    // The record, pinned until ReleaseRecord. False when the cursor's change check
    // dropped the caches: the caller starts its operation again. direction 1 reads ahead
    // forward, any other value backward; byVisibleRun sizes the run by what the cursor
    // shows. The next new record number appends a slot.
    bool GetRecord(TCacheClient* cursor, uint32_t recordNo, TRecord*& record, int32_t direction = 1,
                   bool byVisibleRun = false, bool readAhead = true);
    void ReleaseRecord(TRecord* record) {
        if (record) record->DecUseCount();
    }
    // The slot the next new record takes (reused from the deleted chain or appended).
    bool AllocateRecord(TCacheClient* cursor, TRecord*& record);
    void DeleteRecord(TRecord* record);
    uint32_t GetNextFreeRecordNo();
    bool FlushRecords(bool flush);
    void ClearRecordCache();
    void TrimRecordCache();
    TRecord* NewRecordObject();
    void FreeRecordObject(TRecord*& record);

    // Reorders the records by the sort fields (descending where a descriptor's working-area
    // byte SortDescendingByte is set) and renumbers them from 1. With dropDuplicates only the
    // first record of equal keys stays; with groupSteps each group of equal keys becomes one
    // record (see TSortGroupSteps). Deleted records do not take part: they leave the table
    // and the deleted chain is empty afterwards. Returns the number of records the table
    // holds afterwards. Scratch files go to the owner's private directory and are gone when
    // the call returns or raises. When it raises, every active record is still there: as
    // before (a wholly cached table, through its cache) or as after a plain sort by the
    // keys (a table sorted by runs, once the merge had written to the file).
    uint32_t SortRecords(int32_t sortFieldCount, const TFieldDescriptor* sortFields, bool caseInsensitive,
                         bool dropDuplicates, const TSortGroupSteps* groupSteps = nullptr);
    // The sort keys that BuildSortKey builds and CompareSortKeys compares: per field its flag
    // byte and key image, then the row id. Raises 9985 for a field that does not lie within
    // the record. Returns the key length.
    int32_t SetSortFields(int32_t sortFieldCount, const TFieldDescriptor* sortFields, bool caseInsensitive);
    int32_t SortKeyLength() const { return FSortKeyLength; }
    // The sort key of a record image into a buffer of SortKeyLength bytes.
    void BuildSortKey(const uint8_t* record, uint8_t* key) const;
    // -1, 0 or 1; the row id decides last only when asked.
    int32_t CompareSortKeys(const uint8_t* a, const uint8_t* b, bool withRowId) const;

    int32_t CacheCapacity() const { return FCache.Capacity(); }
    int32_t CacheCount() const { return FCache.Count(); }
    int32_t ReadAheadCount() const { return FReadAheadCount; }
    uint32_t CacheHits() const { return FCache.Hits(); }
    uint32_t CacheReads() const { return FCache.Reads(); }
    uint32_t CacheWrites() const { return FCache.Writes(); }
    // The cached record of the number (no pin, no hit); nil when not cached.
    TRecord* CachedRecord(uint32_t recordNo) const { return FCache.Find(recordNo); }
    // The file offset of a record.
    int64_t RecordPosition(uint32_t recordNo) const;
    TTableFilesOwner* Owner() const { return FOwner; }

    [[noreturn]] void Fail(uint16_t code) const;

private:
    TRecord* CacheNewEntry() override;
    void CacheFreeEntry(TRecord* entry) override;
    void CacheWriteRun(TRecord* const* run, int32_t count) override;

    void SetCacheSizes();
    void LoadImage(TRecord* record, const uint8_t* image);
    std::string ScrambledText(const std::string& text) const;
    // The two ways of a sort; each returns the number of records output.
    uint32_t SortCachedRecords(TSortOutput& output);
    uint32_t SortByRuns(TSortOutput& output, int32_t runRecords);
    // Cuts the file after the records a sort output and empties the deleted chain.
    void EndSort(uint32_t count);

    TTableFilesOwner* FOwner;
    TDataFileHeader FHeader;
    bool FHeaderModified = false;
    bool FRowIdsWithinLast = false;
    std::vector<TFieldDescriptor> FFields;
    bool FFieldsModified = false;
    TRecordStack FRecordStack{16383};
    TEntryCache<TRecord> FCache{*this, 1};
    int32_t FReadAheadCount = 1;
    TLibraryPtr<uint8_t[]> FReadBuffer;
    int32_t FReadCapacity = 0;
    TLibraryPtr<uint8_t[]> FWriteBuffer;
    int32_t FWriteCapacity = 0;
    std::vector<TFieldDescriptor> FSortFields;
    bool FSortCaseInsensitive = false;
    int32_t FSortKeyLength = 4;
};

// One field's key image at key + 1 (the flag byte at key[0] is the caller's). value
// points at the stored value. With language 0 a descending segment is inverted whole.
void FieldToKey(const TFieldDescriptor& field, const uint8_t* value, uint8_t* key, bool caseInsensitive,
                bool descending, uint16_t language, uint16_t sort);

// List compare callbacks: a number against a cached entry's number, and two entries.
int CompareEntryNumber(uint32_t number, const TCacheEntry* entry);
int CompareEntries(const TCacheEntry* a, const TCacheEntry* b);
