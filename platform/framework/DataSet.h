#pragma once
// The dataset base of the component framework: dataset states, the window of record
// buffers a descendant fills through GetRecord (with the BOF and EOF cracks), bookmarks,
// filters, Locate and Lookup. A concrete dataset (an engine table, a query, a test's own
// in-memory set) supplies the record access by overriding the Internal* operations. Its
// fields are in Fields.h, its data sources and data links in DataLinks.h.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/framework/Component.h"
#include "platform/framework/DataLinks.h"
#include "platform/framework/Fields.h"
#include "platform/rtl/Classes.h"
#include "platform/rtl/DB.h"
#include "platform/rtl/Variants.h"

enum TGetMode : uint8_t { gmCurrent, gmNext, gmPrior };
enum TGetResult : uint8_t { grOK, grBOF, grEOF, grError };
// bfBOF and bfEOF mark a buffer standing on a crack; bfInserted a record not yet posted.
enum TBookmarkFlag : uint8_t { bfCurrent, bfBOF, bfEOF, bfInserted };
enum TBlobStreamMode : uint8_t { bmRead, bmWrite, bmReadWrite };
enum TDataAction : uint8_t { daFail, daAbort, daRetry };

// Option sets as bit masks.
enum : uint8_t { foCaseInsensitive = 1, foNoPartialCompare = 2 };
using TFilterOptions = uint8_t;
enum : uint8_t { loCaseInsensitive = 1, loPartialKey = 2 };
using TLocateOptions = uint8_t;
enum : uint8_t { rmExact = 1, rmCenter = 2 };
using TResyncMode = uint8_t;

using TRecordBuffer = char*;
// A bookmark's bytes; empty stands for no bookmark.
using TBookmark = std::string;

using TDataSetNotifyEvent = std::function<void(TDataSet* DataSet)>;
using TFilterRecordEvent = std::function<void(TDataSet* DataSet, bool& Accept)>;
using TDataSetErrorEvent = std::function<void(TDataSet* DataSet, EDatabaseError& E, TDataAction& Action)>;

// ---------------------------------------------------------------------------------------
// The dataset

// The names of a ';'-separated field list, trimmed, empty entries left out.
std::vector<std::string> SplitFieldNames(const std::string& names);

class TDataSet : public TComponent {
public:
    explicit TDataSet(TComponent* AOwner);
    // Closes the dataset and frees its fields; descendants close in their own destructor
    // (Destroying(); SetActive(false)) so that their overrides still run.
    ~TDataSet() override;

    // Opening and closing. Setting Active while loading is deferred to Loaded.
    bool Active() const { return FState != dsInactive && FState != dsOpening; }
    void SetActive(bool v);
    void Open() { SetActive(true); }
    void Close() { SetActive(false); }
    TDataSetState State() const { return FState; }
    void Loaded() override;

    // Navigation. First and Last leave the dataset on the BOF / EOF crack; Next and Prior
    // past the ends set EOF / BOF without raising. MoveBy returns the rows moved.
    void First();
    void Last();
    void Next() { MoveBy(1); }
    void Prior() { MoveBy(-1); }
    int MoveBy(int Distance);
    bool Bof() const { return FBOF; }
    bool Eof() const { return FEOF; }
    bool IsEmpty() const { return FActiveRecord >= FRecordCount; }
    void Refresh();
    void Resync(TResyncMode Mode);
    // Record count and position as the descendant knows them (-1 unknown).
    virtual int RecordCount() { return -1; }
    virtual int RecNo() { return -1; }
    virtual void SetRecNo(int /*Value*/) {}
    virtual bool IsSequenced() { return true; }

    // Editing.
    void Append();
    void Insert();
    void Edit();
    virtual void Post();
    virtual void Cancel();
    void Delete();
    void CheckBrowseMode();
    // Writes the links' pending changes into the record (edit or insert state only).
    void UpdateRecord();
    bool Modified() const { return FModified; }
    bool CanModify() { return GetCanModify(); }

    // Bookmarks.
    TBookmark Bookmark();
    void SetBookmark(const TBookmark& b) { GotoBookmark(b); }
    void GotoBookmark(const TBookmark& b);
    bool BookmarkAvailable();
    virtual bool BookmarkValid(const TBookmark& /*b*/) { return false; }
    // Empty bookmarks are nil: both 0, first -1, second 1.
    virtual int CompareBookmarks(const TBookmark& b1, const TBookmark& b2);

    // Filters: the settings are stored here; the descendant applies them.
    const std::string& Filter() const { return FFilterText; }
    void SetFilter(const std::string& v) { SetFilterText(v); }
    bool Filtered() const { return FFiltered; }
    TFilterOptions FilterOptions() const { return FFilterOptions; }
    const TFilterRecordEvent& OnFilterRecord() const { return FOnFilterRecord; }
    virtual void SetFilterText(const std::string& v) { FFilterText = v; }
    virtual void SetFiltered(bool v) { FFiltered = v; }
    virtual void SetFilterOptions(TFilterOptions v) { FFilterOptions = v; }
    virtual void SetOnFilterRecord(const TFilterRecordEvent& v) { FOnFilterRecord = v; }
    bool FindFirst() { return SetFound(FindRecord(true, true)); }
    bool FindLast() { return SetFound(FindRecord(true, false)); }
    bool FindNext() { return SetFound(FindRecord(false, true)); }
    bool FindPrior() { return SetFound(FindRecord(false, false)); }
    bool Found() const { return FFound; }

    // Searching. The base implementations walk the records from the first and compare
    // the field values; descendants search their own way. Values: one value for one key
    // field, an array for several (names separated by ';').
    virtual bool Locate(const std::string& KeyFields, const TVariant& KeyValues, TLocateOptions Options);
    // The result field(s) of the record found, Null when none; the position does not change.
    virtual TVariant Lookup(const std::string& KeyFields, const TVariant& KeyValues,
                            const std::string& ResultFields);

    // Fields.
    int FieldCount() const { return static_cast<int>(FFields.size()); }
    TField* Fields(int i) const { return FFields.at(i); }
    TField* FindField(const std::string& Name) const;
    // Raises "Field '%s' not found".
    TField* FieldByName(const std::string& Name) const;
    // The fields named in a ';'-separated list, each through FieldByName.
    std::vector<TField*> GetFieldList(const std::string& Names) const;
    TFieldDefs* FieldDefs() const { return FFieldDefs.get(); }
    // Fills FieldDefs, opening the cursor for information when closed.
    virtual void InitFieldDefs();
    bool DefaultFields() const { return FDefaultFields; }
    virtual std::unique_ptr<TStream> CreateBlobStream(TField* /*Field*/, TBlobStreamMode /*Mode*/) {
        return {};
    }
    // Field values of the active record through the native or non-native form (see above).
    bool GetFieldData(TField* Field, void* Buffer, bool NativeFormat);
    void SetFieldData(TField* Field, const void* Buffer, bool NativeFormat);
    // Descendants: fill Buffer with the native value and return true when not blank;
    // Buffer may be null to ask for blankness only.
    virtual bool GetFieldData(TField* Field, void* Buffer) = 0;
    // Descendants: store the native value (null = blank) into the active buffer and call
    // DataEvent(deFieldChange, Field) outside the calc and filter states.
    virtual void SetFieldData(TField* Field, const void* Buffer) = 0;
    // Converts between the native and the non-native form of dates and BCD; copies others.
    virtual void DataConvert(TField* Field, const void* Source, void* Dest, bool ToNative);
    virtual bool GetCurrentRecord(TRecordBuffer /*Buffer*/) { return false; }
    virtual bool GetIsIndexField(TField* /*Field*/) { return false; }
    // Stores Value into Field in the given state (the field's NewValue goes through dsNewValue).
    virtual void SetStateFieldValue(TDataSetState State, TField* Field, const TVariant& Value);
    // Text conversion between the dataset's and the program's character set; the base copies.
    // Returns the length of the zero-terminated result.
    virtual int Translate(const char* Src, char* Dest, bool ToOem);
    // Re-reads IndexDefs (TIndexDefs::Update); the base has none.
    virtual void UpdateIndexDefs() {}
    virtual TFieldFactory GetFieldClass(TFieldType t) { return DefaultFieldClass(t); }

    // Data sources feeding links from this dataset; the master's source for a detail.
    virtual TDataSource* GetDataSource() const { return nullptr; }
    bool IsLinkedTo(TDataSource* ds) const;
    void DisableControls();
    void EnableControls();
    bool ControlsDisabled() const { return FDisableCount != 0; }

    // Events.
    TDataSetNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose, BeforeInsert, AfterInsert, BeforeEdit,
        AfterEdit, BeforePost, AfterPost, BeforeCancel, AfterCancel, BeforeDelete, AfterDelete, BeforeScroll,
        AfterScroll, OnNewRecord, OnCalcFields;
    TDataSetErrorEvent OnEditError, OnPostError, OnDeleteError;

    // Used by fields, sources and links.
    void DataEvent(TDataEvent Event, TField* Field = nullptr, int Info = 0);
    void AddField(TField* f);
    void RemoveField(TField* f);
    void AddDataSource(TDataSource* s);
    void RemoveDataSource(TDataSource* s);
    void UpdateBufferCount();
    int BufferCount() const { return FBufferCount; }
    int ActiveRecord() const { return FActiveRecord; }
    int BufferedRecordCount() const { return FRecordCount; }
    void CheckActive() const;
    void CheckInactive() const;
    int CalcFieldsSize() const { return FCalcFieldsSize; }
    TRecordBuffer ActiveBuffer() const;
    TRecordBuffer CalcBuffer() const { return FCalcBuffer; }

protected:
    friend class TBlobField;
    // Record buffers.
    virtual TRecordBuffer AllocRecordBuffer() = 0;
    virtual void FreeRecordBuffer(TRecordBuffer& Buffer) = 0;
    virtual void GetBookmarkData(TRecordBuffer Buffer, void* Data) = 0;
    virtual void SetBookmarkData(TRecordBuffer Buffer, const void* Data) = 0;
    virtual TBookmarkFlag GetBookmarkFlag(TRecordBuffer Buffer) = 0;
    virtual void SetBookmarkFlag(TRecordBuffer Buffer, TBookmarkFlag Value) = 0;
    // Moves the cursor (gmNext / gmPrior) or re-reads it (gmCurrent) into Buffer; fills the
    // calculated fields (GetCalcFields). A failure raises when DoCheck, else gives grError.
    virtual TGetResult GetRecord(TRecordBuffer Buffer, TGetMode GetMode, bool DoCheck) = 0;
    virtual int GetRecordSize() { return 0; }
    // Cursor operations.
    virtual void InternalOpen() = 0;
    virtual void InternalClose() = 0;
    virtual bool IsCursorOpen() = 0;
    // Before the first record / after the last one (the cracks).
    virtual void InternalFirst() = 0;
    virtual void InternalLast() = 0;
    virtual void InternalGotoBookmark(const void* Bookmark) = 0;
    virtual void InternalSetToRecord(TRecordBuffer Buffer) = 0;
    virtual void InternalInitFieldDefs() = 0;
    virtual void InternalDelete() = 0;
    // Adds a whole record buffer at once; not used by the base's own editing.
    virtual void InternalAddRecord(TRecordBuffer /*Buffer*/, bool /*Append*/) {}
    // The base checks required fields.
    virtual void InternalPost();
    virtual void InternalInitRecord(TRecordBuffer /*Buffer*/) {}
    virtual void InternalEdit() {}
    virtual void InternalInsert() {}
    virtual void InternalCancel() {}
    virtual void InternalRefresh() {}
    // The application's exception handler (design-time failures of a deferred open).
    virtual void InternalHandleException();
    virtual void OpenCursor(bool InfoQuery);
    virtual void CloseCursor();
    virtual void InitRecord(TRecordBuffer Buffer);
    virtual void ClearCalcFields(TRecordBuffer /*Buffer*/) {}
    virtual void CalculateFields(TRecordBuffer Buffer);
    virtual void CloseBlob(TField* /*Field*/) {}
    virtual void DoOnNewRecord();
    virtual bool FindRecord(bool /*Restart*/, bool /*GoForward*/) { return false; }
    virtual bool GetCanModify() { return true; }
    // Field creation and binding.
    virtual void CreateFields();
    virtual void DestroyFields();
    // Binding lays out the calculated fields; unbinding clears it.
    virtual void BindFields(bool Binding);

    // Helpers for descendants.
    void SetState(TDataSetState s);
    // Temporary states (calc, filter) without notifying the links.
    TDataSetState SetTempState(TDataSetState s);
    void RestoreState(TDataSetState s);
    void GetCalcFields(TRecordBuffer Buffer);
    void SetModified(bool v) { FModified = v; }
    void CheckCanModify();
    void CursorPosChanged() { FCurrentRecord = -1; }
    void UpdateCursorPos();
    void SetBookmarkSize(int n) { FBookmarkSize = n; }
    int BookmarkSize() const { return FBookmarkSize; }
    // A bookmark of another size (another dataset's, or one taken under another index)
    // names no record here, and its bytes are not read.
    bool BookmarkFits(const TBookmark& b) const { return b.size() == size_t(FBookmarkSize); }
    TRecordBuffer Buffers(int i) const { return FBuffers.at(i); }
    // The buffer a filter callback tests (dsFilter state).
    TRecordBuffer FFilterBuffer = nullptr;
    void SetCalcBuffer(TRecordBuffer b) { FCalcBuffer = b; }
    void SetDefaultFields(bool v) { FDefaultFields = v; }
    // Runs Operation, offering a failure to ErrorEvent, which may retry or abort.
    void CheckOperation(const std::function<void()>& Operation, const TDataSetErrorEvent& ErrorEvent);
    bool SetFound(bool v) { return FFound = v; }
    void FreeFieldBuffers();
    void CheckRequiredFields();
    void DoBeforeScroll();
    void DoAfterScroll();

private:
    void SetBufferCount(int n);
    void SetBufListSize(int n);
    void ClearBuffers();
    void ActivateBuffers();
    bool GetNextRecord();
    bool GetPriorRecord();
    int GetNextRecords();
    int GetPriorRecords();
    void SetCurrentRecord(int Index);
    void MoveBuffer(int CurIndex, int NewIndex);
    void BeginInsertAppend();
    void EndInsertAppend();
    void DoInternalOpen();
    void OpenCursorComplete();
    static void Fire(const TDataSetNotifyEvent& e, TDataSet* ds) {
        if (e) e(ds);
    }
    bool MatchesKeys(const std::vector<TField*>& fields, const TVariant& values, TLocateOptions options);

    TDataSetState FState = dsInactive;
    std::vector<TField*> FFields;
    std::unique_ptr<TFieldDefs> FFieldDefs;
    std::vector<TDataSource*> FDataSources;
    std::vector<TRecordBuffer> FBuffers;
    int FBufferCount = 0;
    int FRecordCount = 0;
    int FActiveRecord = 0;
    int FCurrentRecord = -1;
    int FCalcFieldsSize = 0;
    int FBookmarkSize = 0;
    TRecordBuffer FCalcBuffer = nullptr;
    bool FBOF = true;
    bool FEOF = true;
    bool FModified = false;
    bool FStreamedActive = false;
    bool FDefaultFields = false;
    bool FInternalOpenComplete = false;
    bool FFound = false;
    int FDisableCount = 0;
    TDataSetState FDisableState = dsInactive;
    TDataEvent FEnableEvent = deDataSetChange;
    std::string FFilterText;
    bool FFiltered = false;
    TFilterOptions FFilterOptions = 0;
    TFilterRecordEvent FOnFilterRecord;
};
