#pragma once
// The engine dataset: one table-engine cursor behind the framework's dataset, so that
// fields, bookmarks, ranges, filters, Locate and Lookup work on engine tables; the binding
// to a session and a database; and stream access to BLOB fields.
//
// Record buffer of one row: the cursor's record image | the calculated fields (per field a
// flag byte and its data) | record info (32-bit record number, bookmark flag, 3 spare
// bytes) | the bookmark (4 bytes in record-number order, else the key length).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "db/components/Sessions.h"
#include "platform/framework/DataSet.h"

class TDataCursor;
class TFilter;
class TExpToken;
struct TFieldDescriptor;
class TZIZIVUBlobStream;

// Engine type (and subtype) of a framework field type; type 0 for types without one.
void FieldTypeToEngine(TFieldType type, uint8_t& engineType, uint8_t& subType);
// Framework type of an engine type and subtype; ftUnknown for types without one.
TFieldType EngineToFieldType(uint8_t engineType, uint8_t subType);

class TZIZIVUDataSet : public TDataSet {
public:
    explicit TZIZIVUDataSet(TComponent* AOwner);
    ~TZIZIVUDataSet() override;

    TDataCursor* Handle() const { return FCursor; }
    bool AutoDisplayLabels() const { return FAutoDisplayLabels; }
    void SetAutoDisplayLabels(bool v) { FAutoDisplayLabels = v; }
    bool CopyOnAppend() const { return FCopyOnAppend; }
    void SetCopyOnAppend(bool v) { FCopyOnAppend = v; }

    // ---- Dataset operations over the cursor ----
    int RecordCount() override;
    int RecNo() override;
    void SetRecNo(int Value) override;
    bool IsSequenced() override;
    bool BookmarkValid(const TBookmark& b) override;
    int CompareBookmarks(const TBookmark& b1, const TBookmark& b2) override;
    std::unique_ptr<TStream> CreateBlobStream(TField* Field, TBlobStreamMode Mode) override;
    bool GetCurrentRecord(TRecordBuffer Buffer) override;
    bool GetFieldData(TField* Field, void* Buffer) override;
    void SetFieldData(TField* Field, const void* Buffer) override;
    using TDataSet::GetFieldData;
    using TDataSet::SetFieldData;
    void DataConvert(TField* Field, const void* Source, void* Dest, bool ToNative) override;
    bool GetIsIndexField(TField* Field) override;
    void SetStateFieldValue(TDataSetState State, TField* Field, const TVariant& Value) override;
    int Translate(const char* Src, char* Dest, bool ToOem) override;
    void Post() override;
    void Cancel() override;

    // Filters: stored, and applied to an open cursor at once.
    void SetFilterText(const std::string& v) override;
    void SetFiltered(bool v) override;
    void SetFilterOptions(TFilterOptions v) override;
    void SetOnFilterRecord(const TFilterRecordEvent& v) override;

    bool Locate(const std::string& KeyFields, const TVariant& KeyValues, TLocateOptions Options) override;
    TVariant Lookup(const std::string& KeyFields, const TVariant& KeyValues,
                    const std::string& ResultFields) override;

    // ---- Keys and ranges (over the active index) ----
    // Edits the range start or end (dsSetKey); ApplyRange sets it on the cursor.
    void SetRangeStart();
    void SetRangeEnd();
    void ApplyRange();
    void CancelRange();
    // Start and end values of the leading index fields, then ApplyRange.
    void SetRange(const std::vector<TVariant>& StartValues, const std::vector<TVariant>& EndValues);
    // An exact search on the leading index fields; true when found (the dataset moves there).
    bool FindKey(const std::vector<TVariant>& KeyValues);
    // In the set-key state: the active index's first fields take the values, and the range
    // end becomes a copy of the range start (an exact-match range).
    void SetKeyFields(const std::vector<TVariant>& Values);
    // Active index: its field count and whether it ignores case.
    int IndexFieldCount() const { return static_cast<int>(FIndexFields.size()); }
    // The field of the i-th field of the active index ("Field index out of range").
    TField* IndexField(int i);

    // The cursor's BLOB field buffer operations (the BLOB stream).
    TRecordBuffer GetActiveRecBuf();

protected:
    // Key buffers: flag byte (modified), 32-bit field count, then a record.
    enum TKeyIndex { kiLookup, kiRangeStart, kiRangeEnd, kiCurRangeStart, kiCurRangeEnd, kiSave, kiCount };

    // New slots: the cursor of an open (nil here), its release, the lookup cursor.
    virtual TDataCursor* CreateHandle() { return nullptr; }
    virtual void DestroyHandle();
    virtual void DestroyLookupCursor() {}
    virtual TDataCursor* GetLookupCursor(const std::string& /*KeyFields*/, bool /*CaseInsensitive*/) {
        return nullptr;
    }
    virtual void PrepareCursor() {}
    // The session whose engine lock a cursor operation takes; nil: none.
    virtual TZIZIVUSession* CursorSession() const { return nullptr; }

    // Framework slots.
    void ClearCalcFields(TRecordBuffer Buffer) override;
    void CloseBlob(TField* Field) override;
    void OpenCursor(bool InfoQuery) override;
    void CloseCursor() override;
    void DoOnNewRecord() override;
    bool FindRecord(bool Restart, bool GoForward) override;
    bool GetCanModify() override { return FCanModify; }
    void InitRecord(TRecordBuffer Buffer) override;
    void InternalCancel() override;
    void InternalEdit() override;
    void InternalRefresh() override;
    TRecordBuffer AllocRecordBuffer() override;
    void FreeRecordBuffer(TRecordBuffer& Buffer) override;
    TBookmarkFlag GetBookmarkFlag(TRecordBuffer Buffer) override;
    void SetBookmarkFlag(TRecordBuffer Buffer, TBookmarkFlag Value) override;
    void GetBookmarkData(TRecordBuffer Buffer, void* Data) override;
    void SetBookmarkData(TRecordBuffer Buffer, const void* Data) override;
    TGetResult GetRecord(TRecordBuffer Buffer, TGetMode GetMode, bool DoCheck) override;
    int GetRecordSize() override { return FRecordSize; }
    void InternalAddRecord(TRecordBuffer Buffer, bool Append) override;
    void InternalClose() override;
    void InternalDelete() override;
    void InternalFirst() override;
    void InternalLast() override;
    void InternalGotoBookmark(const void* Bookmark) override;
    void InternalInitFieldDefs() override;
    void InternalInitRecord(TRecordBuffer Buffer) override;
    void InternalOpen() override;
    void InternalPost() override;
    void InternalSetToRecord(TRecordBuffer Buffer) override;
    bool IsCursorOpen() override { return FCursor != nullptr; }

    // The field definitions of a cursor's fields (hidden ones left out).
    void InitFieldDefsFrom(TDataCursor* Cursor);
    // The range of the key buffers onto the cursor; false when it was set already.
    bool SetCursorRange();
    // The cursor's range dropped; false when there was none.
    bool ResetCursorRange();
    // One field definition for an engine field (skipped for types without one); a name
    // already taken becomes "%s_%d".
    void AddFieldDef(const TFieldDescriptor& Descriptor, int FieldNo);
    // Re-reads the active index (after a switch).
    void GetIndexInfo();
    void SwitchToIndex(const std::string& IndexName);
    // Key buffers.
    uint8_t* KeyBuffer(TKeyIndex k) { return FKeyBuffers[k].data(); }
    uint8_t* KeyRecord(TKeyIndex k) { return FKeyBuffers[k].data() + 5; }
    bool KeyModified(TKeyIndex k) const { return FKeyBuffers[k][0] != 0; }
    int32_t KeyFieldCount(TKeyIndex k) const;
    void InitKeyBuffer(TKeyIndex k);
    void SetKeyBuffer(TKeyIndex k, bool Clear);
    void PostKeyBuffer(bool Commit);
    // Whether the field is one of the active index's fields that the current range spans
    // (they may not change while a record of the range is edited).
    bool RangeHoldsField(TField* Field) const;
    // Whether the active index serves a search on the fields.
    bool IndexMatchesFields(const std::vector<TField*>& Fields, bool CaseInsensitive) const;
    // Locate (SyncCursor) and Lookup (result fields read into the calc buffer).
    bool LocateRecord(const std::string& KeyFields, const TVariant& KeyValues, TLocateOptions Options,
                      bool SyncCursor, const std::string& ResultFields, TVariant* Result);
    // The filter tree of Locate: field = value joined by AND, constants typed by field.
    TExpToken* BuildLocateFilter(const std::vector<TField*>& Fields, const std::vector<TVariant>& Values,
                                 TLocateOptions Options);
    // A constant node of the field's engine type holding the value.
    TExpToken* BuildLocateValue(const TFieldDescriptor& Descriptor, const TVariant& Value,
                                TLocateOptions Options);
    // Locate through a filter of the key values on a cursor: the first record it accepts
    // into Record; true when there is one.
    bool LocateByFilter(TDataCursor* Cursor, const std::vector<TField*>& Fields,
                        const std::vector<TVariant>& Values, TLocateOptions Options, uint8_t* Record);
    // The filters of Filter and OnFilterRecord on the cursor.
    void CreateExprFilter();
    void CreateFuncFilter();
    void DropExprFilter();
    void RebuildExprFilter();
    void DropFuncFilter();
    void ActivateFilters();
    void DeactivateFilters();
    bool FilterRecordCallback(const uint8_t* Record);

    TDataCursor* FCursor = nullptr;

private:
    friend class TZIZIVUBlobStream;
    struct TRecInfo {
        int32_t RecordNumber;
        uint8_t BookmarkFlag;
    };
    TRecInfo ReadRecInfo(TRecordBuffer Buffer) const;
    void WriteRecInfo(TRecordBuffer Buffer, const TRecInfo& Info) const;
    // The engine's value image of a variant for a field (false: blank).
    bool VariantToImage(const TFieldDescriptor& Descriptor, const TVariant& Value, uint8_t* Image);
    // The variant as an integer of the field's type; a value the type cannot hold raises
    // the field's own range error.
    int64_t CheckedKeyInteger(const TFieldDescriptor& Descriptor, const TVariant& Value);
    std::vector<TVariant> ValuesOf(const TVariant& Values, size_t Count) const;
    // Assigns the leading index fields of a key buffer in the set-key state.
    void SetKeyFieldsAt(TKeyIndex k, const std::vector<TVariant>& Values);
    TField* FieldByNumber(int FieldNo) const;

    TFilter* FExprFilter = nullptr;
    TFilter* FFuncFilter = nullptr;
    std::vector<std::vector<uint8_t>> FKeyBuffers;
    TKeyIndex FKeyIndex = kiLookup;
    int FRecordSize = 0;
    int FRecInfoOfs = 0;
    int FBookmarkOfs = 0;
    // Where InternalSetToRecord left the cursor against the buffer's record when that record
    // is gone (another process deleted it or moved its key): 1 on the record after it, -1
    // on the one before, 0 on the record itself. A step toward that side reads the record
    // the cursor stands on instead of passing over it.
    int FSetToSide = 0;
    int FRecBufSize = 0;
    bool FCanModify = false;
    bool FAutoDisplayLabels = false;
    bool FCopyOnAppend = false;
    bool FIndexCaseInsensitive = false;
    std::vector<int> FIndexFields;
};

// Cursor work of a dataset under its session's engine lock.
class TZIZIVUDataSetLock {
public:
    explicit TZIZIVUDataSetLock(TZIZIVUSession* s) : FSession(s) {
        if (FSession) FSession->LockSession();
    }
    ~TZIZIVUDataSetLock() {
        if (FSession) FSession->UnlockSession();
    }
    TZIZIVUDataSetLock(const TZIZIVUDataSetLock&) = delete;
    TZIZIVUDataSetLock& operator=(const TZIZIVUDataSetLock&) = delete;

private:
    TZIZIVUSession* FSession;
};

// A dataset on a database of a session.
class TZIZIVUDBDataSet : public TZIZIVUDataSet, public IZIZIVUSessionBound, public IZIZIVUDatabaseClient {
public:
    explicit TZIZIVUDBDataSet(TComponent* AOwner);
    ~TZIZIVUDBDataSet() override;

    const std::string& DatabaseName() const { return FDatabaseName; }
    // Closed datasets only.
    virtual void SetDatabaseName(const std::string& v);
    const std::string& SessionName() const override { return FSessionName; }
    void SetSessionName(const std::string& v) override;
    // The database while the dataset holds it open; nil otherwise.
    TZIZIVUDatabase* Database() const { return FDatabase; }
    // The session of SessionName (the default one for an empty name).
    TZIZIVUSession* DBSession() const;
    // Closes the dataset (its database is closing).
    void Disconnect() override;

    // Why the database is held open: a set of flags; the first opens it, the last closes it.
    enum : uint8_t { dbfOpened = 1, dbfPrepared = 2, dbfTable = 4 };
    void SetDBFlag(uint8_t Flag, bool Value);

protected:
    void OpenCursor(bool InfoQuery) override;
    void CloseCursor() override;
    TZIZIVUSession* CursorSession() const override;

private:
    std::string FDatabaseName;
    std::string FSessionName;
    TZIZIVUDatabase* FDatabase = nullptr;
    TZIZIVUSession* FDatabaseSession = nullptr;
    uint8_t FDBFlags = 0;
};

// A BLOB field of the active record as a stream.
class TZIZIVUBlobStream : public TStream {
public:
    TZIZIVUBlobStream(TField* Field, TBlobStreamMode Mode);
    ~TZIZIVUBlobStream() override;
    int64_t Read(void* buf, int64_t count) override;
    int64_t Write(const void* buf, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override;
    void SetSize(int64_t n) override;
    void Truncate();

private:
    TField* FField;
    TZIZIVUDataSet* FDataSet;
    TRecordBuffer FBuffer;
    int32_t FFieldNo;
    TBlobStreamMode FMode;
    int64_t FPosition = 0;
    bool FOpened = false;
    bool FModified = false;
};
