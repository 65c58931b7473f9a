#pragma once
// An open view of one table: the active index with its range, the position, the record
// and field access with their keys, locks and BLOBs, and the whole-table maintenance
// (create, delete, rename, empty). Every caller of the table engine works through a
// cursor; the cursors of one directory share the table (TDataTable) they open.
//
// Positions: in index order the cursor stands on an ordinal of the counted tree (its key
// kept, so that the position survives changes); in record-number order on a physical
// record, walking the view bitmap (live records, filters). Every public move first
// refreshes the view when the table's change counters moved.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db/engine/DataFile.h"
#include "db/engine/DataTable.h"
#include "db/engine/IndexFile.h"
#include "db/engine/TableFiles.h"
#include "db/storage/RecordsBitmap.h"
#include "platform/rtl/ScopeGuard.h"
#include "platform/rtl/System.h"

class TDataDirectory;
class TDataTable;
class TBlobBuffer;
class TExpToken;
class TFilter;

// A callback filter's question about one record (its buffer and physical number); true
// keeps the record.
using TFilterCallback = std::function<bool(const uint8_t* record, uint32_t recordNo)>;

// Active index numbers beyond the primary (0) and secondary ones (1-30).
constexpr int32_t RecordNumberOrderIndex = 255;
// Open BLOB buffers per cursor.
constexpr int32_t MaxOpenBlobs = 64;
// Tag of the engine's own temporary BLOB opens.
constexpr int32_t EngineBlobTag = 1;
// BLOB open modes.
constexpr int32_t bmRead = 1;
constexpr int32_t bmReadWrite = 2;

// One filter of a cursor as the view sees it: while active, its result bitmap (over
// physical record numbers) is ANDed into the view. The filter code derives its filters
// from this.
class TCursorFilter {
public:
    virtual ~TCursorFilter() = default;
    virtual bool IsActive() const = 0;
    // Evaluates the filter over the candidate records into its result; restart is set
    // when an index changed under the walk (the whole rebuild starts again).
    virtual void BuildResult(const TRecordsBitmap& candidates, bool& restart) = 0;
    // Re-evaluates one changed record, and forgets a deleted one.
    virtual void CheckRecord(uint32_t recordNo, const uint8_t* record) = 0;
    virtual void ClearRecord(uint32_t recordNo) = 0;
    virtual const TRecordsBitmap& Result() const = 0;
    // Chained filters see only what the active filters before them accept.
    virtual bool IsChained() const { return false; }
};

// What a new table is given (CreateTable).
struct TCreateTableOptions {
    bool Overwrite = false;
    std::string Description;
    std::string Password;
    bool Encrypted = false;
    uint16_t Language = 0;
    uint16_t Sort = 0;
    uint16_t BlobBlockSize = 512;
    uint16_t UserMajor = 0;
    uint16_t UserMinor = 0;
    // -1 keeps the new table's counter at 0.
    int64_t LastAutoInc = -1;
    // The primary index may name no fields (a table without a primary index).
    bool PrimaryOptional = true;
};

class TDataCursor : public TObject, public TCacheClient {
public:
    explicit TDataCursor(TDataDirectory* directory);
    TDataCursor(const TDataCursor&) = delete;
    TDataCursor& operator=(const TDataCursor&) = delete;
    ~TDataCursor() override;

    TDataDirectory* Directory() const { return FDirectory; }
    TDataTable* Table() const { return FTable; }

    // ---- Options (10031 while open) ----
    void SetExclusive(bool v);
    bool Exclusive() const { return FExclusive; }
    void SetReadOnly(bool v);
    bool ReadOnly() const { return FReadOnly; }
    bool ForcedReadOnly() const { return FForcedReadOnly; }
    void SetInMemory(bool v);
    bool InMemory() const { return FInMemory; }
    // Trimmed, ".DAT" forced.
    void SetTableName(const std::string& name);
    const std::string& TableName() const { return FTableName; }
    void SetSharedExclusive(bool v);
    void SetRecordNumberOrder(bool v);
    bool RecordNumberOrderOption() const { return FRecordNumberOrder; }
    void SetPassThrough(bool v);
    void SetComputedFields(bool v) { FComputedFields = v; }
    // Fields found by their stored field number (the work cursor of a restructure).
    void SetFieldNumberAddressing(bool v);
    // Only on an open cursor whose table has an auto-increment field.
    void SetKeepAutoInc(bool v);
    bool KeepAutoInc() const { return FKeepAutoInc; }
    // Asked when the session lacks an encrypted table's password: true when one was
    // added and the open is to be tried again.
    void SetPasswordCallback(std::function<bool()> callback) { FPasswordCallback = std::move(callback); }

    // Hooks, each called only when assigned.
    std::function<void(const std::string& text)> OnRepairLog;
    std::function<void(uint32_t recordNo, int32_t percent)> OnIndexProgress;
    std::function<void(int32_t recordNo, int32_t percent)> OnRestructureProgress;
    std::function<void(uint16_t code, const std::string& text, bool& silence, bool& cont)> OnDataLost;
    void DoRepairLog(const std::string& text);
    void DoIndexProgress(uint32_t recordNo, int32_t percent);
    void DoRestructureProgress(int32_t recordNo, int32_t percent);
    void DoDataLost(uint16_t code, const std::string& text, bool& silence, bool& cont);

    // ---- Open, close, guards ----
    void Open();
    void Close();
    bool IsOpen() const { return FOpen; }
    void CheckExclusive() const;
    void CheckNotReadOnly() const;
    void CheckNotOpen() const;

    // ---- Table maintenance ----
    // Fields and indexes (the primary first; a key length of 0 with no fields: none).
    void CreateTable(std::vector<TFieldDescriptor> fields, std::vector<TIndexDescriptor> indexes,
                     const TCreateTableOptions& options);
    void DeleteTable();
    void RenameTable(const std::string& newName);
    void RenameTableToBackup();
    void EmptyTable();
    void BackupIndex();
    // Back to the index backup, or with keep the index as it is; the backup goes.
    void RestoreIndex(bool keep);

    // ---- Header access (open or closed) ----
    void GetTableHeader(TDataFileHeader& header);
    uint32_t GetLastAutoIncValue();
    void SetLastAutoIncValue(uint32_t v);
    uint32_t NextBlobId();
    int32_t GetBlobBlockSize();
    int32_t GetBlobBlockDataSize();
    uint16_t GetLanguageID();
    uint16_t GetSortOrderID();
    uint16_t GetUserVersionMajor();
    uint16_t GetUserVersionMinor();
    std::string GetTableDescription();
    bool IsTableEncrypted();
    std::string GetTablePassword();
    void SetTableInfo(const std::string& description, const std::string& password, uint16_t userMajor,
                      uint16_t userMinor);
    int32_t GetIndexCount();
    bool GetNoPrimaryIndex();
    void SetNoPrimaryIndex(bool v);
    void SetIndexCount(int32_t n);
    std::string GetIndexFields(int32_t n);
    // Open: the cursor's (computed columns included); closed: the table header's.
    int32_t GetRecordSize();
    int32_t GetFieldCount();
    int32_t GetBlobFieldCount();

    // ---- Definitions ----
    const TFieldDescriptor& GetFieldDefinition(int32_t n) const;
    TFieldDescriptor GetTableFieldDefinition(int32_t n) const;
    // 9985 for 0 or above the field count.
    const TFieldDescriptor& GetFieldDefinitionChecked(int32_t n) const {
        if (n < 1 || n > FFieldCount) RaiseInvalidField(n);
        return FFields[size_t(n - 1)];
    }
    // Nil when no field has the name (case-insensitive).
    const TFieldDescriptor* GetFieldDefinitionByName(const std::string& name) const;
    void SetFieldDefinition(int32_t n, const TFieldDescriptor& field);
    // All zero for record-number order.
    TIndexDescriptor GetIndexDefinition(int32_t n);
    void SetIndexDefinition(int32_t n, const TIndexDescriptor& index);
    void SetIndexFieldInfo(int32_t n, const TIndexDescriptor& index);
    static bool FieldDefinitionsDiffer(const TFieldDescriptor& a, const TFieldDescriptor& b);
    void ValidateTableDefinition(std::vector<TFieldDescriptor>& fields,
                                 std::vector<TIndexDescriptor>& indexes, const TCreateTableOptions& options);
    void ValidateFieldDefinitions(std::vector<TFieldDescriptor>& fields, bool assignOffsets);
    void ValidateIndexDefinitions(bool primaryOptional, std::vector<TIndexDescriptor>& indexes,
                                  const std::vector<TFieldDescriptor>& fields);
    // The cursor's own field table (result tables): computed fields get room after the
    // stored record and their expression (not owned) is evaluated after every read and
    // field write. A column of an expression names its table field by BindWord.
    void PrepareTableDefinition(const std::vector<TFieldDescriptor>& fields,
                                const std::vector<TExpToken*>& expressions = {});

    // ---- Caches, locks, change detection ----
    void DiscardBuffers();
    void FlushBuffers(bool commit);
    void LockTableRead();
    void UnlockTableRead();
    // The operation's read scope; with strict change detection its outermost level holds
    // the table's read lock.
    void BeginRead() {
        CheckOpen();
        if (FReadDepth++ > 0) return;
        FReadOwned = false;
        if (!FTable->StrictChangeDetection()) return;
        // A lock that fails (held elsewhere, or headers refused) leaves no read begun: the
        // next operation takes it again.
        try {
            LockReadForOperation();
        } catch (...) {
            FReadDepth = 0;
            throw;
        }
    }
    void EndRead() {
        if (FReadDepth <= 0) return;
        if (--FReadDepth > 0) return;
        if (FReadOwned && FTable) UnlockReadForOperation();
    }
    void BeginWrite();
    void EndWrite();
    void SaveChangeCounts();
    bool TableChanged();
    void CheckChanges();
    void RefreshIfChanged();
    void Resync(bool onlyWhenChanged = false);

    // ---- Keys, ranges, navigation ----
    void SwitchToIndex(const std::string& name);
    void SwitchToIndexNumber(int32_t n);
    void SetActiveIndexNumber(int32_t n);
    int32_t ActiveIndex() const { return FIndexNo; }
    const TIndexDescriptor& ActiveIndexDescriptor() const { return FIndex; }
    bool IsRecordNumberOrder() const {
        return FIndexNo == RecordNumberOrderIndex ||
               (FIndexNo == 0 && FTable && IndexFile()->GetNoPrimaryIndex());
    }
    int32_t KeyLength() const { return FIndex.KeyLength; }
    void BuildKey(const uint8_t* record, uint8_t* key) const;
    int32_t CompareKeys(const uint8_t* a, const uint8_t* b, int32_t length) override;
    void CopyKeyPartLow(uint8_t* key, int32_t prefixLength) const;
    void CopyKeyPartHigh(uint8_t* key, int32_t prefixLength) const;
    // source: a key (isKey) or a record buffer. fieldCount 0 with partialLength 0: all
    // index fields. The found record goes to `record` when given.
    bool FindKey(const uint8_t* source, bool isKey, uint8_t* record, int32_t partialLength, bool nearest,
                 int32_t fieldCount);
    bool SeekKey(const uint8_t* key, bool nearest);
    // Buffers are record buffers (or keys when isKey); nil gives an all-zero key.
    void SetRange(bool isKey, const uint8_t* start, int32_t startFields, const uint8_t* end,
                  int32_t endFields);
    void CancelRange();
    bool RangeActive() const { return FRangeActive; }
    void First();
    void Last();
    void Skip(int32_t n);
    void MoveToRecNo(int32_t n);
    void SetRecordNumberPosition(int32_t n);
    int32_t GetRecNo() {
        CheckOpen();
        if (FBof || FEof) return 0;
        if (IsRecordNumberOrder()) return FOrdinal;
        return IndexOrderRecNo();
    }
    uint32_t GetPhysicalRecordNumber() const;
    int32_t GetRecordCount();
    int32_t GetTableRecordCount();
    uint32_t CountVisibleRun(uint32_t count, int32_t direction);
    bool Bof() const { return FBof; }
    bool Eof() const { return FEof; }
    int32_t GetBookmarkSize() const;
    void GetBookmark(uint8_t* bookmark) const;
    bool GotoBookmark(const uint8_t* bookmark, bool acceptNearest, bool skipRefresh = false);
    int32_t CompareBookmarks(const uint8_t* a, const uint8_t* b);
    uint16_t GotoCursorRecord(TDataCursor& other);
    void Reposition();
    void ResetView();
    // A statement filling its own private result table appends rows and reads none of them
    // back until it is done: meanwhile the view is left alone (built once at the end) and
    // the new records take no record locks, which nobody else could ever see or ask for.
    // Its records' deleted-records keys are put in together, before each commit of the
    // batch (FlushFillKeys) and at the end. When the table is sorted right after the fill
    // (keysRebuilt; a table without indexes, whose sort frees that index and builds it
    // anew from the sorted records), the keys are left out until then instead of being put
    // in only to be thrown away. Should a write of the fill need that index, it is built
    // from the records there and then.
    void StartPrivateFill(bool keysRebuilt = false);
    void FlushFillKeys();
    void EndPrivateFill();
    void DropPrivateFill();
    // Builds the deleted-records index, and the view from it, when a fill left its keys out
    // and no sort built it since; nothing otherwise.
    void CompleteDeletedKeys();

    // ---- View bitmaps and filters ----
    void UpdateFilterState();
    void RebuildFilterBitmaps();
    void ResetFilterBitmaps();
    void UpdateFilterBitmapsForRecord(uint32_t recordNo, const uint8_t* record);
    void RemoveRecordFromBitmaps(uint32_t recordNo);
    bool Filtered() const { return FFiltered; }
    // The filters whose results the view combines; the filter code manages the list.
    std::vector<std::unique_ptr<TCursorFilter>>& Filters() { return FFilters; }
    const TRecordsBitmap* ViewBitmap() const { return &View(); }

    // ---- Filters (CursorFilters.cpp) ----
    // Each public call refreshes the view first, raises 10050 for a filter not of this
    // cursor and repositions on the current record. A new filter is inactive; unchained
    // filters go before the first chained one, chained ones last. 9482 beyond 64 filters.
    // From a text: parsed, type-checked, bound to the table's fields and prepared; parse
    // and type errors raise 10051 with the parser's message.
    TFilter* AddFilter(const std::string& text, bool noPartialCompare = false, bool caseInsensitive = false,
                       bool countFirst = false, bool chained = false);
    // From a bound, prepared tree (column references name table fields by position in
    // BindWord); the filter frees it when it owns it. The tree's nodes receive the
    // optimisation levels.
    TFilter* AddFilter(TExpToken* tree, bool ownsTree, bool countFirst = false, bool chained = false);
    TFilter* AddFilter(TFilterCallback callback, bool chained = false);
    // nil: every filter.
    void DropFilter(TFilter* filter);
    void ActivateFilter(TFilter* filter);
    // nil: every filter.
    void DeactivateFilter(TFilter* filter);
    // A new expression for an active filter (nil does nothing); the filter takes it over.
    void ReplaceFilterTree(TExpToken* tree, TFilter* filter);
    void DropAllFilters();
    int32_t FilterCount() const { return int32_t(FFilters.size()); }
    // Whether the filter is one of this cursor's still (dropping every filter forgets it).
    bool HasFilter(const TFilter* filter) const;
    // The parsed, unchecked tree of a filter text (10051).
    TExpToken* ParseFilterExpression(const std::string& text);
    // Type check and binding; 10051 unless the result is boolean.
    void ValidateFilterExpression(TExpToken* tree);
    // The node's level (stored in the node); with the selectivity test a comparison is
    // wholly from its index only when its range holds at most 90% of the records.
    uint8_t OptimizeFilterNode(TExpToken* node, bool selectivity = false);
    // The ascending index whose first field is the field (number), with a matching
    // case-insensitive flag unless anyCase or the field is not a string; -1 when none.
    int32_t FindIndexForField(int32_t fieldNo, bool caseInsensitive, bool anyCase);
    bool EvaluateFilterForRecord(TExpToken* node, const uint8_t* record);
    // Clears the bit of every marked record for which the node is false or NULL.
    void EvaluateFilterForRecords(TExpToken* node, TRecordsBitmap& bits);
    // The number of records for which a condition holds, counted from the subtree counts of
    // the index that answers it wholly, without visiting its keys: one comparison or BETWEEN
    // on an indexed column (not the inverted forms). False, nothing counted, for any other
    // condition, or when a range or an active filter narrows the view.
    bool CountFromIndex(TExpToken* node, int32_t& count);
    // Keys of an index between two whole keys; restart when the tree changed under it.
    int32_t CountKeysInRange(int32_t indexNo, const uint8_t* low, const uint8_t* high, bool& restart);
    // The records of those keys into the bitmap (cleared first); with countFirst on a table
    // without language, a range holding most records is marked through its complement.
    int32_t MarkKeysInRange(int32_t indexNo, const uint8_t* low, const uint8_t* high, bool& restart,
                            TRecordsBitmap& bitmap, bool countFirst = false);

    // ---- Indexes (CursorIndexes.cpp) ----
    // A new secondary index (or the primary one, with an empty name, on a table without
    // one), built over the table's records. A unique index over duplicate keys asks the
    // data-lost hook with 9729; without a hook, or when it stops, 9729 is raised and the
    // table is left as it was.
    void AddIndex(const TIndexDescriptor& index);
    void DeleteIndex(const std::string& name);
    void DeleteIndexByNumber(int32_t n);
    // Reorders the physical records of a table without any index (the SQL processor's
    // result tables; descending sort fields are marked in their working area); on a table
    // with indexes it does nothing. The view starts again before the first record.
    void SortRecords(const std::vector<TFieldDescriptor>& sortFields, bool caseInsensitive,
                     bool dropDuplicates, const TSortGroupSteps* groupSteps = nullptr);
    // ---- Restructure and repair (CursorRestructure.cpp) ----
    struct TAlterTableOptions : TCreateTableOptions {
        bool KeepBackups = false;
    };
    // The table's complete new definition (cursor closed, exclusive): header values only,
    // the changed indexes rebuilt, or every record copied into a new table.
    void AlterTable(std::vector<TFieldDescriptor> fields, std::vector<TIndexDescriptor> indexes,
                    const TAlterTableOptions& options);
    static bool IndexDefinitionsDiffer(const TIndexDescriptor& a, const TIndexDescriptor& b,
                                       const std::vector<TFieldDescriptor>& oldFields,
                                       const std::vector<TFieldDescriptor>& newFields);
    void RenumberIndexFields();
    // A new cursor on the same table (shared-exclusive) with this one's index, range,
    // filters and position.
    std::unique_ptr<TDataCursor> Clone();
    // Checks of the BLOB of a physical record's field (by table field number): its start
    // block, and its chain. Findings go to the repair log; without it they are the result.
    // In repair mode (exclusive cursor) a start block that names no block is cleared from
    // the record, and a broken chain is cut where it breaks (the record's BLOB cleared when
    // that is its start); a sound BLOB is left as it is. 0 or an engine code.
    uint16_t VerifyBlob(uint32_t recordNo, int32_t fieldNo, bool repair);
    uint16_t VerifyBlobChain(uint32_t recordNo, int32_t fieldNo, bool repair);

    // ---- Records ----
    void InitRecord(uint8_t* buffer);
    void ClearRecordBuffer(uint8_t* buffer) const;
    const uint8_t* GetRecordBuffer() const { return FRecordBuffer.data(); }
    uint16_t GetCurrentRecord(uint8_t* buffer, bool lock);
    uint16_t GetNextRecord(uint8_t* buffer);
    uint16_t GetPriorRecord(uint8_t* buffer);
    uint16_t CopyCurrentRecord(uint8_t* buffer);
    void InsertRecord(uint8_t* buffer, bool reposition = true);
    void ModifyRecord(uint8_t* buffer, bool reposition = true);
    void DeleteRecord();
    void ValidateRecord(const uint8_t* buffer);
    // The value against a limit text of its field: -1, 0 or 1.
    int32_t CompareWithLimit(const std::string& limit, bool isMaximum, const TFieldDescriptor& field,
                             const uint8_t* value);
    // 0 for the current record.
    void LockRecord(uint32_t recordNo);
    void UnlockRecord(uint32_t recordNo);
    void LoadCurrentRecord();

    // ---- Fields ----
    // value receives the stored form (at least 251 bytes); blank when the field is blank.
    void GetField(int32_t fieldNo, const uint8_t* record, bool& blank, void* value);
    // value nil stores a blank; a computed column is written only when forced.
    void PutField(int32_t fieldNo, uint8_t* record, const void* value, bool force = false);
    void GetTableField(int32_t fieldNo, const uint8_t* record, bool& blank, void* value);
    void PutTableField(int32_t fieldNo, uint8_t* record, const void* value);

    // ---- BLOBs (codes, never raised) ----
    uint16_t OpenBlob(int32_t fieldNo, uint8_t* record, int32_t tag, bool useTable, int32_t mode);
    uint16_t FreeBlob(int32_t fieldNo, uint8_t* record, int32_t tag, bool useTable);
    uint16_t GetBlob(int32_t fieldNo, const uint8_t* record, bool useTable, uint32_t& count, uint32_t length,
                     void* dest, uint32_t offset);
    uint16_t PutBlob(int32_t fieldNo, uint8_t* record, bool useTable, uint32_t length, const void* source,
                     uint32_t offset);
    uint16_t TruncateBlob(int32_t fieldNo, uint8_t* record, bool useTable, uint32_t newSize);
    uint16_t GetBlobSize(int32_t fieldNo, const uint8_t* record, bool useTable, uint32_t& size);
    bool IsBlobHandle(int32_t word) const;
    void ClearBlobFields(uint8_t* record);
    // Puts the stored words back into the BLOB fields that name open buffers.
    void StoreBlobHandles(uint8_t* record, bool useTable);
    // All buffers, or only those with a tag.
    void FreeBlobBuffers(bool all);
    int32_t OpenBlobCount() const { return int32_t(FBlobs.size()); }
    uint32_t GetBlobBlocksNeeded(uint32_t length);

    // ---- TCacheClient ----
    bool LockForCacheMiss() override;
    uint32_t VisibleRun(uint32_t recordNo, int32_t direction, uint32_t maximum) override;

    [[noreturn]] void Raise(uint16_t code, const std::string& field = "",
                            const std::string& index = "") const;

private:
    void RetagBlobOwners(uint32_t recordNo, const uint8_t* image);
    void RebuildDeletedIndex(uint32_t count, bool retagBlobs);
    // CompleteDeletedKeys without the view.
    void BuildPendingDeletedKeys();
    struct TOpenBlob {
        int32_t Handle = 0;
        int32_t FieldNo = 0;
        bool UseTable = false;
        int32_t PriorWord = 0;
        uint32_t BlobId = 0;
        int32_t Mode = 0;
        int32_t Tag = 0;
        std::unique_ptr<TBlobBuffer> Buffer;
    };
    // Implicit read lock around one public operation.
    class TReadScope {
    public:
        explicit TReadScope(TDataCursor& c) : FCursor(c) { FCursor.BeginRead(); }
        ~TReadScope() {
            try {
                FCursor.EndRead();
            } catch (...) {
            }
        }

    private:
        TDataCursor& FCursor;
    };
    class TWriteScope;
    friend class TWriteScope;

    friend class TFilter;
    // Filters.
    TFilter* InsertFilter(std::unique_ptr<TFilter> filter);
    size_t FilterIndex(const TFilter* filter) const;
    void AfterFilterChange(bool rebuild);
    uint8_t OptimizeComparison(TExpToken* node);
    // Low and high keys of one comparison's range on its index; false for an empty range.
    bool BuildRangeKey(const TExpToken* node, const TExpToken* constant, uint8_t code, int32_t indexNo,
                       uint8_t* low, uint8_t* high);
    // The records for which a level-2 node holds; false when the selectivity test turned
    // the index down (the node is then evaluated instead).
    bool BitmapFromIndexRange(TExpToken* node, TRecordsBitmap& bits, bool countFirst, bool selectivity,
                              bool& restart);
    void NarrowFilterInto(const TRecordsBitmap& candidates, TExpToken* node, TRecordsBitmap& result,
                          bool countFirst, bool& restart);
    // Runs work with the kept range bitmap, or with a new one while that is in use.
    template <class F>
    bool WithRangeMarks(F&& work);
    void NarrowFilter(TExpToken* node, TRecordsBitmap& bits, bool countFirst, bool underParent,
                      bool& restart);
    void FetchFilterValue(uint8_t* record, TExpToken* node);
    // Indexes.
    // The records (in record order) that new unique indexes refuse: a record whose key in
    // one of them equals the key of an earlier record that stays. Each is put to the
    // data-lost hook with 9729; without a hook, or when it stops, 9729 is raised naming
    // the index, before anything changed.
    std::vector<uint32_t> FindRefusedRecords(
        const std::vector<std::pair<int32_t, TIndexDescriptor>>& indexes);
    void AskAboutRefusedRecord(uint16_t code, const std::string& indexName, bool& silence, bool& cont);
    // Removes an active record from the table (BLOBs, keys of every index but those
    // skipped, deleted-records key, chain, count).
    void DeleteRecordAt(uint32_t recordNo, const std::vector<int32_t>& skipIndexes);
    // The same for a record already read into old.
    void RemoveRecord(uint32_t recordNo, const uint8_t* old, const std::vector<int32_t>& skipIndexes);
    // Inserts the key of every active record not refused into the indexes; progress per
    // record through the index-build or the restructure hook.
    void BuildIndexKeys(const std::vector<int32_t>& indexNos, bool restructureProgress,
                        const std::vector<uint32_t>& refused);
    // Restructure.
    void StoreHeaderValues(const std::vector<TFieldDescriptor>& fields,
                           const std::vector<TIndexDescriptor>& indexes, const TAlterTableOptions& opt,
                           bool setAutoInc);
    void RebuildIndexes(const std::vector<TIndexDescriptor>& indexes,
                        const std::vector<TFieldDescriptor>& oldFields,
                        const std::vector<TFieldDescriptor>& fields);
    void RestoreIndexAfterFailure();
    void ReportLoss(const std::string& text, bool& silence, bool& cont);
    void AlterByCopy(TDataCursor& copy, TDataDirectory* work, std::vector<TFieldDescriptor>& fields,
                     std::vector<TIndexDescriptor>& indexes, const TAlterTableOptions& opt);
    // leftCounts: the change counters of the data and index files as the copy left them;
    // the old files must still hold them once moved aside (else 11013, nothing moved).
    void ReplaceTableFiles(TDataDirectory* work, const std::string& tempName, bool keepBackups,
                           const uint32_t (&leftCounts)[2]);
    // Repair: the BLOB field checked (a repair needs the table exclusively), the first block
    // a record stores for it (0 for a deleted record), and the record
    // written without its BLOB.
    const TFieldDescriptor& RepairBlobField(int32_t fieldNo, bool repair);
    uint32_t StoredBlobStart(uint32_t recordNo, const TFieldDescriptor& f);
    void ClearBlobReference(uint32_t recordNo, const TFieldDescriptor& f);
    void CheckOpen() const {
        if (!FOpen || !FTable) RaiseNotOpen();
    }
    [[noreturn]] void RaiseNotOpen() const;
    void LockReadForOperation();
    void UnlockReadForOperation();
    int32_t IndexOrderRecNo();
    [[noreturn]] void RaiseInvalidField(int32_t fieldNo) const;
    TDataFile* DataFile() const { return FTable->DataFile(); }
    TIndexFile* IndexFile() const { return FTable->IndexFile(); }
    void ClearFieldTable();
    // Open after the table is held: headers, password, fields, the view.
    void OpenView();
    void LoadFieldTable();
    void RebuildDeletedIndex();
    void FreeIndexPages(int32_t indexNo);
    // Header of a closed table's data file.
    void ReadClosedHeader(TDataFileHeader& header);
    // A closed table's index file, opened for its header (after the data header, whose
    // password it needs).
    std::unique_ptr<TIndexFile> OpenClosedIndexFile();
    void AskForPassword(const std::string& password);
    void AfterCachesDropped();

    // Keys.
    const TFieldDescriptor& TableField(int32_t fieldNo) const;
    void BuildIndexKey(int32_t indexNo, const TIndexDescriptor& d, const uint8_t* record, uint8_t* key) const;
    void BuildDeletedKey(uint8_t status, uint32_t rowId, uint8_t* key) const;
    int32_t CompareIndexKeys(const TIndexDescriptor& d, int32_t indexNo, const uint8_t* a, const uint8_t* b,
                             int32_t length) const;
    void FillKey(uint8_t* key, int32_t prefixLength, bool high) const;
    int32_t PrefixLength(int32_t fieldCount, int32_t partialLength) const;
    bool KeyExists(int32_t indexNo, const uint8_t* key);
    bool IsStringSegmentByte(int32_t offset, bool& isFlag) const;

    // Positions.
    void SetEmpty();
    void SetBofAt();
    void SetEofAt();
    int32_t ViewFirst() const;
    int32_t ViewLast() const;
    bool RecordVisible(uint32_t recordNo) const;
    bool OrdinalEntry(int32_t ordinal, uint8_t* key, uint32_t& recordNo, uint32_t* run = nullptr,
                      uint32_t runMaximum = 1, int32_t runDirection = 1);
    // stepDirection 0: a jump to the ordinal (its record is read alone); 1 or -1: a step,
    // after which the record is read with those the leaf holds next in that direction.
    void PositionOnOrdinal(int32_t ordinal, int32_t stepDirection = 0);
    void ComputeRangeBounds();
    bool SeekNearest(const uint8_t* key);
    bool SeekNearestOnce(const uint8_t* key);
    bool SeekPartialText(const uint8_t* key, int32_t fieldCount, int32_t prefixLength);
    void GoNearestRecord(uint32_t recordNo);
    void StepRecordOrder(int32_t n);
    void StepIndexOrder(int32_t n);
    void StepFromPosition(int32_t n);
    // The steps left of a step by n after Reposition brought the cursor back to the record it
    // started from (key fromKey in index order, number fromRecNo in record-number order): when
    // that record left the view, the cursor stands on the neighbour Reposition took, which is
    // one step from it already in that neighbour's direction.
    int32_t StepsLeftAfterReposition(int32_t n, const uint8_t* fromKey, uint32_t fromRecNo);
    void FirstInternal();
    void LastInternal();
    void GotoKeyOrRecord();
    void RememberPosition(uint8_t* key, uint32_t& recordNo, bool& onRecord) const;
    void ReturnTo(const uint8_t* key, uint32_t recordNo, bool onRecord);
    void LoadRange(const uint8_t* source, bool isKey, int32_t fieldCount, bool high, uint8_t* key) const;
    // Calls fn for the entries of ordinals from..to of an index (backward when from > to)
    // until it returns false; false when the caches were dropped under the walk.
    bool WalkOrdinals(int32_t indexNo, int32_t from, int32_t to,
                      const std::function<bool(const uint8_t* key, uint32_t recordNo)>& fn);
    void MarkLiveRecords(TRecordsBitmap& bitmap);
    void MarkRangeRecords(TRecordsBitmap& bitmap);
    // What a filter's result is built over: the live records, narrowed by the range and,
    // chained, by what the active filters before it accept (into narrowed, when any does).
    const TRecordsBitmap& FilterCandidates(const TCursorFilter* filter, TRecordsBitmap& narrowed) const;
    void CombineView();

    // Records.
    // byRun: read ahead in the direction as far as VisibleRun allows (else by record
    // number only in record-number order).
    void FetchRecord(uint32_t recordNo, uint8_t* dest, int32_t direction = 1, bool byRun = false);
    // byVisibleRun as above; without it a miss reads ahead plainly, as filter evaluation
    // does: its candidates are not the view.
    void ReadRecordInto(uint32_t recordNo, uint8_t* dest, int32_t direction, bool byVisibleRun);
    // GetNextRecord (by 1) and GetPriorRecord (by -1).
    uint16_t GetRecordAfterSkip(int32_t by, uint8_t* buffer);
    const TFieldDescriptor& FieldAt(int32_t fieldNo, bool useTable) const;
    void ReadFieldValue(const TFieldDescriptor& f, const uint8_t* record, bool& blank, void* value);
    void WriteFieldValue(const TFieldDescriptor& f, uint8_t* record, const void* value, bool force);
    bool TextToValue(const TFieldDescriptor& f, const std::string& text, uint8_t* value, bool keywords);
    // Computed fields evaluated into the record (none to do, or already under way: nothing).
    void ComputeColumns(uint8_t* record) {
        if (FHasComputed && !FComputing) EvaluateComputedColumns(record);
    }
    void EvaluateComputedColumns(uint8_t* record);
    uint32_t NextRowIdAfter(uint32_t last) const;
    bool RowIdInUse(uint32_t rowId);
    void CheckRowIdFree(uint32_t rowId);
    void InsertKeys(const uint8_t* record, uint32_t recordNo);
    // The open BLOB buffers a change writes out (CursorRecords.cpp).
    class TWrittenBlobs;
    void WriteBlobs(uint8_t* record, uint32_t recordNo, TWrittenBlobs& written);
    void FreeRecordBlobs(const uint8_t* record, uint32_t recordNo);
    // The BLOB chain of the record that starts at the block.
    void FreeBlobChain(uint32_t firstBlock, uint32_t recordNo);
    void FlushAfterWrite();
    // After a change of one record: buffers written, view bounds and bitmaps updated, and
    // the cursor back on its record (or on the changed one with reposition).
    // keyAdded: an insert that put one key into the active index while its count stood
    // (KeyCountStands).
    void FlushAfterWriteAndView(uint32_t recordNo, const uint8_t* record, bool reposition, bool deleted,
                                bool keyAdded = false);
    bool KeyCountStands() const;
    bool LockRecordInternal(uint32_t recordNo);

    // BLOBs.
    TOpenBlob* FindBlob(int32_t handle);
    uint16_t CheckBlobField(int32_t fieldNo, const uint8_t* record, bool useTable, TOpenBlob*& blob);
    void FreeOpenBlob(size_t i);

    TDataDirectory* FDirectory;
    TDataTable* FTable = nullptr;
    std::string FTableName;
    uint32_t FChangeCounts[3] = {0, 0, 0};
    bool FOpen = false;
    bool FExclusive = false;
    bool FSharedExclusive = false;
    bool FReadOnly = false;
    bool FForcedReadOnly = false;
    bool FInMemory = false;
    bool FComputedFields = false;
    bool FPassThrough = false;
    bool FFieldNumberAddressing = false;
    bool FKeepAutoInc = false;
    bool FRecordNumberOrder = false;
    std::function<bool()> FPasswordCallback;

    // View.
    int32_t FIndexNo = 0;
    TIndexDescriptor FIndex;
    std::vector<uint8_t> FRangeStart;
    std::vector<uint8_t> FRangeEnd;
    bool FRangeActive = false;
    int32_t FRangeFirst = 1;
    int32_t FRangeLast = 0;
    // The key count of index FKeyCountIndexNo as last summed from its root, valid while the
    // index file's tree mark stands at FKeyCountMark.
    uint64_t FKeyCountMark = 0;
    int32_t FKeyCountIndexNo = -1;
    int32_t FKeyCount = 0;
    int32_t FOrdinal = 0;
    uint32_t FRecNo = 0;
    // The view's changes of this cursor (its filters, range or records), counted.
    uint32_t FViewStamp = 0;
    // In a filtered index order: the position among the visible records of the entry at
    // Ordinal (RecNo), valid while the view stamp and the index file's tree mark stand;
    // steps carry it along, so that a walk asking for its record numbers does not count
    // from the view's start at every record.
    struct TVisiblePosition {
        int32_t IndexNo = -1;
        int32_t Ordinal = 0;
        uint32_t RecNo = 0;
        uint32_t Stamp = 0;
        uint64_t TreeMark = 0;
        int32_t Position = 0;
    } FVisiblePosition;
    // The position of the cursor's entry among the visible ones when known, else -1.
    int32_t KnownVisiblePosition();
    void RememberVisiblePosition(int32_t position);
    // In index order: the records from FRunRecNo on (in FRunDirection) that one read may
    // bring, as the position's leaf showed them; 1 after a keyed jump.
    uint32_t FRunRecNo = 0;
    uint32_t FRun = 0;
    int32_t FRunDirection = 1;
    // Where the last ordinal looked up lies: while the index file's tree mark stands, the
    // ordinals next to it are read from the same leaf without a descent from the root.
    uint64_t FLeafMark = 0;
    int32_t FLeafIndexNo = -1;
    int32_t FLeafOrdinal = 0;
    TLeafSlot FLeaf;
    // The bound the run at FLeaf (FRun, FRunDirection) was counted with.
    uint32_t FLeafRunMaximum = 0;
    std::vector<uint8_t> FCurKey;
    bool FBof = true;
    bool FEof = true;
    bool FFiltered = false;
    int32_t FFilteredCount = 0;
    // Set when the view changed only at the record just written and the record-order
    // ordinal followed that change, so that repositioning need not count it again.
    bool FViewStepped = false;
    bool FPrivateFill = false;
    // The table's deleted-records index lacks the keys of the fill's records (while this
    // fill runs and after it, until the sort or CompleteDeletedKeys builds it).
    bool FDeletedKeysPending = false;
    std::vector<uint8_t> FFillKeys;  // DeletedIndexKeyLength bytes each
    std::vector<uint32_t> FFillRecords;
    TRecordsBitmap FRangeBitmap;
    TRecordsBitmap FLiveBitmap;
    TRecordsBitmap FViewBitmap;
    // The view is every live record: it is read from the live bitmap, and FViewBitmap (not
    // kept up to date meanwhile) becomes their copy only before the live records change.
    // Filters dropped and added again per run then never copy and clear a whole table's words.
    bool FViewIsLive = false;
    const TRecordsBitmap& View() const { return FViewIsLive ? FLiveBitmap : FViewBitmap; }
    // Before the live records change.
    void SeparateView();
    // The marks of one index range while a filter narrows by it, kept between uses: a
    // bitmap of a few marks is cleared over those words only, a new one over the whole table.
    TRecordsBitmap FRangeMarks;
    bool FRangeMarksInUse = false;
    // The cleared result buffer of a dropped filter, for the next filter built.
    TRecordsBitmap FSpareResult;
    std::vector<std::unique_ptr<TCursorFilter>> FFilters;
    bool FRebuilding = false;
    // A change found at a cache miss inside an operation reset the view; the position still
    // counts the table as it was until the cursor goes back to its record (Reposition).
    bool FPositionStale = false;
    std::vector<uint8_t> FRecordBuffer;
    // The record a step starts from, to go back to when the step meets a change.
    std::vector<uint8_t> FStepFrom;
    std::vector<uint8_t> FKeyBuffer1;
    std::vector<uint8_t> FKeyBuffer2;
    std::vector<uint8_t> FModifyScratch;  // ModifyRecord's old record and keys
    std::vector<uint32_t> FStaleBlobs;    // ModifyRecord: first blocks of chains no field refers to now

    // Fields.
    std::vector<TFieldDescriptor> FFields;
    std::vector<TExpToken*> FExpressions;
    uint16_t FLanguage = 0;
    uint16_t FSort = 0;
    uint8_t FCharMap[256] = {};
    int32_t FFieldCount = 0;
    int32_t FRecordSize = 0;
    int32_t FPhysicalRecordSize = 0;
    bool FHasValidation = false;
    bool FHasDefaults = false;
    bool FHasComputed = false;
    bool FHasAutoInc = false;
    bool FComputing = false;

    // The index whose keys the tree calls compare (the active one unless a change of
    // another index is under way).
    int32_t FCmpIndexNo = 0;
    const TIndexDescriptor* FCmpIndex = nullptr;
    class TCompareScope {
    public:
        TCompareScope(TDataCursor& c, int32_t indexNo, const TIndexDescriptor& d)
            : FCursor(c), FSavedNo(c.FCmpIndexNo), FSaved(c.FCmpIndex) {
            c.FCmpIndexNo = indexNo;
            c.FCmpIndex = &d;
        }
        ~TCompareScope() {
            FCursor.FCmpIndexNo = FSavedNo;
            FCursor.FCmpIndex = FSaved;
        }
        TCompareScope(const TCompareScope&) = delete;
        TCompareScope& operator=(const TCompareScope&) = delete;

    private:
        TDataCursor& FCursor;
        int32_t FSavedNo;
        const TIndexDescriptor* FSaved;
    };
    // Records this cursor holds locks on.
    std::vector<uint32_t> FLockedRecords;

    // Locks.
    int32_t FReadDepth = 0;
    bool FReadOwned = false;
    int32_t FWriteDepth = 0;

    std::vector<TOpenBlob> FBlobs;
    int32_t FNextBlobHandle = 1;
};

// Rows written through an exclusive cursor as one transaction of its table alone, committed
// every so many rows with the writes left to the system: for a table that no crash needs to
// find complete, such as a statement's result table. A table shared with other cursors, or
// one inside a transaction already, is written as it is. Rolled back unless finished.
class TTableWriteBatch {
public:
    // keysRebuilt: the table is sorted right after the batch (StartPrivateFill).
    TTableWriteBatch(TDataCursor& cursor, int32_t rowsPerCommit, bool keysRebuilt = false);
    TTableWriteBatch(const TTableWriteBatch&) = delete;
    TTableWriteBatch& operator=(const TTableWriteBatch&) = delete;

    void RowWritten();
    // Whether it ended a private fill, which built the cursor's view of the table as it is.
    bool Finish();

private:
    TDataTable* FTable = nullptr;
    int32_t FRowsPerCommit;
    int32_t FRows = 0;
    TDataCursor* FFillCursor = nullptr;
    TScopeGuard<std::function<void()>> FRollback;
};
