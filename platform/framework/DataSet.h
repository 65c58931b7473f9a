#pragma once
// The dataset base of the component framework: dataset states, the window of record
// buffers a descendant fills through GetRecord (with the BOF and EOF cracks), fields and
// field definitions, index definitions, bookmarks, filters, Locate and Lookup, data
// sources and data links. A concrete dataset (an engine table, a query, a test's own
// in-memory set) supplies the record access by overriding the Internal* operations.
//
// Native field forms (what GetFieldData and SetFieldData exchange):
//   string, fixed char   Size + 1 bytes, zero-terminated
//   smallint, word       16-bit; boolean 16-bit 0 / 1
//   integer, auto-inc    32-bit;  large int 64-bit
//   float, currency      double
//   BCD                  Currency (64-bit count of 1/10000), a descendant may convert in DataConvert
//   date                 32-bit day number (0001-01-01 = 1); time 32-bit milliseconds of the day
//   date-time            double milliseconds since day 1 (time stamp)
//   bytes                Size bytes; varbytes 16-bit length + Size bytes
//   BLOB kinds           through CreateBlobStream
// Fields ask for the non-native form of dates (TDateTime) and BCD (Currency); DataConvert
// translates between the two.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/framework/Component.h"
#include "platform/framework/DBConsts.h"
#include "platform/rtl/Classes.h"
#include "platform/rtl/Currency.h"
#include "platform/rtl/DB.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/Variants.h"

class TDataSet;
class TDataSource;
class TDataLink;
class TField;
class TFieldDefs;
class TIndexDefs;

// The framework's field types; the numbers are stored (parameter streams) and must not move.
enum TFieldType : uint8_t {
    ftUnknown,
    ftString,
    ftSmallint,
    ftInteger,
    ftWord,
    ftBoolean,
    ftFloat,
    ftCurrency,
    ftBCD,
    ftDate,
    ftTime,
    ftDateTime,
    ftBytes,
    ftVarBytes,
    ftAutoInc,
    ftBlob,
    ftMemo,
    ftGraphic,
    ftFmtMemo,
    ftParadoxOle,
    ftDBaseOle,
    ftTypedBinary,
    ftCursor,
    ftFixedChar,
    ftWideString,
    ftLargeint,
    ftADT,
    ftArray,
    ftReference,
    ftDataSet,
    ftOraBlob,
    ftOraClob,
    ftVariant,
    ftInterface,
    ftIDispatch,
    ftGuid
};
constexpr int FieldTypeCount = ftGuid + 1;
// The type's name as the framework prints it ("String", "Integer" ...).
const char* FieldTypeName(TFieldType t);

enum TParamType : uint8_t { ptUnknown, ptInput, ptOutput, ptInputOutput, ptResult };

enum TDataSetState : uint8_t {
    dsInactive,
    dsBrowse,
    dsEdit,
    dsInsert,
    dsSetKey,
    dsCalcFields,
    dsFilter,
    dsNewValue,
    dsOpening
};

enum TDataEvent : uint8_t {
    deFieldChange,
    deRecordChange,
    deDataSetChange,
    deDataSetScroll,
    deLayoutChange,
    deUpdateRecord,
    deUpdateState,
    deCheckBrowseMode,
    deFocusControl
};

enum TGetMode : uint8_t { gmCurrent, gmNext, gmPrior };
enum TGetResult : uint8_t { grOK, grBOF, grEOF, grError };
// bfBOF and bfEOF mark a buffer standing on a crack; bfInserted a record not yet posted.
enum TBookmarkFlag : uint8_t { bfCurrent, bfBOF, bfEOF, bfInserted };
enum TFieldKind : uint8_t { fkData, fkCalculated };
enum TBlobStreamMode : uint8_t { bmRead, bmWrite, bmReadWrite };
enum TDataAction : uint8_t { daFail, daAbort, daRetry };

// Option sets as bit masks.
enum : uint8_t { foCaseInsensitive = 1, foNoPartialCompare = 2 };
using TFilterOptions = uint8_t;
enum : uint8_t { loCaseInsensitive = 1, loPartialKey = 2 };
using TLocateOptions = uint8_t;
enum : uint8_t { rmExact = 1, rmCenter = 2 };
using TResyncMode = uint8_t;
enum : uint8_t { ixPrimary = 1, ixUnique = 2, ixDescending = 4, ixCaseInsensitive = 8, ixExpression = 16 };
using TIndexOptions = uint8_t;

using TRecordBuffer = char*;
// A bookmark's bytes; empty stands for no bookmark.
using TBookmark = std::string;

using TDataSetNotifyEvent = std::function<void(TDataSet* DataSet)>;
using TFilterRecordEvent = std::function<void(TDataSet* DataSet, bool& Accept)>;
using TDataSetErrorEvent = std::function<void(TDataSet* DataSet, EDatabaseError& E, TDataAction& Action)>;
using TFieldNotifyEvent = std::function<void(TField* Sender)>;
using TDataChangeEvent = std::function<void(TObject* Sender, TField* Field)>;

// Raises EDatabaseError; with a named component the message reads "<name>: <message>".
[[noreturn]] void DatabaseError(const std::string& Message, TComponent* Component = nullptr);

// ---------------------------------------------------------------------------------------
// Field definitions and index definitions

class TFieldDef : public TObject {
public:
    TFieldDef(TFieldDefs* Owner, const std::string& Name, TFieldType DataType, int Size, bool Required,
              int FieldNo);
    const std::string& Name() const { return FName; }
    void SetName(const std::string& v) { FName = v; }
    TFieldType DataType() const { return FDataType; }
    void SetDataType(TFieldType v) { FDataType = v; }
    int Size() const { return FSize; }
    void SetSize(int v) { FSize = v; }
    bool Required() const { return FRequired; }
    void SetRequired(bool v) { FRequired = v; }
    int FieldNo() const { return FFieldNo; }
    void SetFieldNo(int v) { FFieldNo = v; }
    int Precision() const { return FPrecision; }
    void SetPrecision(int v) { FPrecision = v; }
    // A field of the definition's class owned by Owner and bound to the dataset.
    TField* CreateField(TComponent* Owner);

private:
    TFieldDefs* FOwner;
    std::string FName;
    TFieldType FDataType;
    int FSize;
    bool FRequired;
    int FFieldNo;
    int FPrecision = 0;
};

class TFieldDefs : public TPersistent {
public:
    explicit TFieldDefs(TDataSet* DataSet) : FDataSet(DataSet) {}
    ~TFieldDefs() override;
    TDataSet* DataSet() const { return FDataSet; }
    // Field numbers count from 1 in the order added.
    TFieldDef* Add(const std::string& Name, TFieldType DataType, int Size = 0, bool Required = false);
    void Clear();
    int Count() const { return static_cast<int>(FItems.size()); }
    TFieldDef* Items(int i) const { return FItems.at(i); }
    int IndexOf(const std::string& Name) const;  // case-insensitive, -1 when absent
    // Raises "Field '%s' not found".
    TFieldDef* Find(const std::string& Name) const;
    // Asks the dataset to (re)read its definitions.
    void Update();
    bool Updated() const { return FUpdated; }
    void SetUpdated(bool v) { FUpdated = v; }
    void Assign(TPersistent* Source) override;

private:
    TDataSet* FDataSet;
    std::vector<TFieldDef*> FItems;
    bool FUpdated = false;
};

class TIndexDef : public TObject {
public:
    TIndexDef(const std::string& Name, const std::string& Fields, TIndexOptions Options)
        : FName(Name), FFields(Fields), FOptions(Options) {}
    const std::string& Name() const { return FName; }
    void SetName(const std::string& v) { FName = v; }
    // Field names separated by ';'.
    const std::string& Fields() const { return FFields; }
    void SetFields(const std::string& v) { FFields = v; }
    TIndexOptions Options() const { return FOptions; }
    void SetOptions(TIndexOptions v) { FOptions = v; }

private:
    std::string FName, FFields;
    TIndexOptions FOptions;
};

class TIndexDefs : public TPersistent {
public:
    explicit TIndexDefs(TDataSet* DataSet) : FDataSet(DataSet) {}
    ~TIndexDefs() override;
    TIndexDef* Add(const std::string& Name, const std::string& Fields, TIndexOptions Options);
    void Clear();
    int Count() const { return static_cast<int>(FItems.size()); }
    TIndexDef* Items(int i) const { return FItems.at(i); }
    int IndexOf(const std::string& Name) const;
    // Raises "Index '%s' not found".
    TIndexDef* Find(const std::string& Name) const;
    // The index whose fields are exactly Fields, else the first whose leading fields are
    // Fields; descending and expression indexes never qualify, and with CaseInsensitive
    // only case-insensitive ones do. Null when none.
    TIndexDef* GetIndexForFields(const std::string& Fields, bool CaseInsensitive) const;
    // As above for case-sensitive use; raises "No index for fields '%s'" when none.
    TIndexDef* FindIndexForFields(const std::string& Fields) const;
    // Asks the dataset to re-read its index definitions (UpdateIndexDefs).
    void Update();
    bool Updated() const { return FUpdated; }
    void SetUpdated(bool v) { FUpdated = v; }
    void Assign(TPersistent* Source) override;

private:
    TDataSet* FDataSet;
    std::vector<TIndexDef*> FItems;
    bool FUpdated = false;
};

// ---------------------------------------------------------------------------------------
// Fields

class TField : public TComponent {
public:
    explicit TField(TComponent* AOwner);
    ~TField() override;

    TDataSet* DataSet() const { return FDataSet; }
    // Adds the field to the dataset's field list (removing it from the old one); the
    // dataset must be closed.
    void SetDataSet(TDataSet* ds);
    const std::string& FieldName() const { return FFieldName; }
    void SetFieldName(const std::string& v);
    // 1-based position in the record, 0 for a calculated field or until bound.
    int FieldNo() const { return FFieldNo; }
    void SetFieldNo(int v) { FFieldNo = v; }
    TFieldType DataType() const { return FDataType; }
    TFieldKind FieldKind() const { return FFieldKind; }
    void SetFieldKind(TFieldKind k);
    bool Calculated() const { return FFieldKind == fkCalculated; }
    int Size() const { return FSize; }
    // Sizes are fixed while the dataset is open; a size the class refuses raises "Invalid field size".
    void SetSize(int v);
    bool Required() const { return FRequired; }
    void SetRequired(bool v) { FRequired = v; }
    bool ReadOnly() const { return FReadOnly; }
    void SetReadOnly(bool v) { FReadOnly = v; }
    bool Visible() const { return FVisible; }
    void SetVisible(bool v) { FVisible = v; }
    // DisplayLabel falls back to the field name.
    std::string DisplayLabel() const { return FDisplayLabel.empty() ? FFieldName : FDisplayLabel; }
    void SetDisplayLabel(const std::string& v) { FDisplayLabel = v; }
    std::string DisplayName() const { return DisplayLabel(); }
    // Position in the dataset's field list.
    int Index() const;
    // Offset of a calculated field in the calculated-fields area (its flag byte first).
    int Offset() const { return FOffset; }
    void SetOffset(int v) { FOffset = v; }
    // Bytes of the native form (0 for the BLOB kinds).
    virtual int DataSize() const { return 0; }
    virtual bool IsBlob() const { return false; }
    // The field can be written in the dataset's current state (not read-only, dataset can modify).
    bool CanModify() const;

    // Native (or, for dates and BCD, non-native) value of the active record; false when blank.
    bool GetData(void* Buffer, bool NativeFormat = true);
    // nullptr stores a blank. Raises "Field '%s' cannot be modified" on a read-only field.
    void SetData(const void* Buffer, bool NativeFormat = true);
    virtual bool IsNull();
    virtual void Clear();

    std::string AsString() { return GetAsString(); }
    void SetAsString(const std::string& v) { SetAsStringValue(v); }
    int32_t AsInteger() { return GetAsInteger(); }
    void SetAsInteger(int32_t v) { SetAsIntegerValue(v); }
    double AsFloat() { return GetAsFloat(); }
    void SetAsFloat(double v) { SetAsFloatValue(v); }
    bool AsBoolean() { return GetAsBoolean(); }
    void SetAsBoolean(bool v) { SetAsBooleanValue(v); }
    TDateTime AsDateTime() { return GetAsDateTime(); }
    void SetAsDateTime(TDateTime v) { SetAsDateTimeValue(v); }
    Currency AsCurrency() { return GetAsCurrency(); }
    void SetAsCurrency(Currency v) { SetAsCurrencyValue(v); }
    // Null when blank.
    TVariant Value() { return GetAsVariant(); }
    void SetValue(const TVariant& v);
    // Assigns through the dataset's new-value state.
    void SetNewValue(const TVariant& v);

    // Fired after a value was stored (OnChange) and before (OnValidate, with the new value
    // in place: it may raise to refuse it).
    TFieldNotifyEvent OnChange;
    TFieldNotifyEvent OnValidate;

    // Used by the dataset.
    virtual void FreeBuffers() {}
    void Change();
    void Validate();
    // Marks a BLOB as written through a stream (CloseBlob at post or cancel).
    bool Modified() const { return FModified; }
    void SetModified(bool v) { FModified = v; }

protected:
    void SetDataType(TFieldType t) { FDataType = t; }
    virtual bool ValidSize(int v) const { return v == 0; }
    [[noreturn]] void AccessError(const char* typeName) const;
    void CheckInactive() const;
    virtual std::string GetAsString();
    virtual int32_t GetAsInteger();
    virtual double GetAsFloat();
    virtual bool GetAsBoolean();
    virtual TDateTime GetAsDateTime();
    virtual Currency GetAsCurrency();
    virtual TVariant GetAsVariant();
    virtual void SetAsStringValue(const std::string& v);
    virtual void SetAsIntegerValue(int32_t v);
    virtual void SetAsFloatValue(double v);
    virtual void SetAsBooleanValue(bool v);
    virtual void SetAsDateTimeValue(TDateTime v);
    virtual void SetAsCurrencyValue(Currency v);
    virtual void SetVarValue(const TVariant& v);

private:
    friend class TDataSet;
    TDataSet* FDataSet = nullptr;
    std::string FFieldName;
    std::string FDisplayLabel;
    int FFieldNo = 0;
    TFieldType FDataType = ftUnknown;
    TFieldKind FFieldKind = fkData;
    int FSize = 0;
    int FOffset = 0;
    bool FRequired = false;
    bool FReadOnly = false;
    bool FVisible = true;
    bool FModified = false;
};

class TStringField : public TField {
public:
    explicit TStringField(TComponent* AOwner);
    int DataSize() const override { return Size() + 1; }

protected:
    bool ValidSize(int v) const override { return v >= 1 && v <= 8192; }
    std::string GetAsString() override;
    int32_t GetAsInteger() override;
    double GetAsFloat() override;
    bool GetAsBoolean() override;
    TDateTime GetAsDateTime() override;
    TVariant GetAsVariant() override;
    void SetAsStringValue(const std::string& v) override;
    void SetAsIntegerValue(int32_t v) override;
    void SetAsFloatValue(double v) override;
    void SetAsBooleanValue(bool v) override;
    void SetAsDateTimeValue(TDateTime v) override;
    void SetVarValue(const TVariant& v) override;

private:
    bool GetValue(std::string& v);
};

class TNumericField : public TField {
public:
    using TField::TField;
};

// Integers of 16 or 32 bits, by data type; a value outside MinValue..MaxValue (when either
// is set) or outside the type's range raises the range error.
class TIntegerField : public TNumericField {
public:
    explicit TIntegerField(TComponent* AOwner);
    int DataSize() const override { return FBytes; }
    int32_t MinValue() const { return FMinValue; }
    void SetMinValue(int32_t v) { FMinValue = v; }
    int32_t MaxValue() const { return FMaxValue; }
    void SetMaxValue(int32_t v) { FMaxValue = v; }

protected:
    TIntegerField(TComponent* AOwner, TFieldType t, int bytes, int32_t lo, int32_t hi);
    std::string GetAsString() override;
    int32_t GetAsInteger() override;
    double GetAsFloat() override;
    TVariant GetAsVariant() override;
    void SetAsStringValue(const std::string& v) override;
    void SetAsIntegerValue(int32_t v) override;
    void SetAsFloatValue(double v) override;
    void SetVarValue(const TVariant& v) override;

private:
    bool GetValue(int32_t& v);
    int FBytes;
    int32_t FTypeMin, FTypeMax;
    int32_t FMinValue = 0, FMaxValue = 0;
};

class TSmallintField : public TIntegerField {
public:
    explicit TSmallintField(TComponent* AOwner) : TIntegerField(AOwner, ftSmallint, 2, -32768, 32767) {}
};

class TWordField : public TIntegerField {
public:
    explicit TWordField(TComponent* AOwner) : TIntegerField(AOwner, ftWord, 2, 0, 65535) {}
};

class TAutoIncField : public TIntegerField {
public:
    explicit TAutoIncField(TComponent* AOwner);
};

class TLargeintField : public TNumericField {
public:
    explicit TLargeintField(TComponent* AOwner);
    int DataSize() const override { return 8; }
    int64_t AsLargeInt();
    void SetAsLargeInt(int64_t v);

protected:
    std::string GetAsString() override;
    int32_t GetAsInteger() override;
    double GetAsFloat() override;
    TVariant GetAsVariant() override;
    void SetAsStringValue(const std::string& v) override;
    void SetAsIntegerValue(int32_t v) override;
    void SetAsFloatValue(double v) override;
    void SetVarValue(const TVariant& v) override;
};

class TFloatField : public TNumericField {
public:
    explicit TFloatField(TComponent* AOwner);
    int DataSize() const override { return 8; }
    // Significant digits of the text form (15).
    int Precision() const { return FPrecision; }
    void SetPrecision(int v) { FPrecision = v; }
    bool IsCurrency() const { return FCurrency; }
    void SetCurrency(bool v) { FCurrency = v; }

protected:
    std::string GetAsString() override;
    int32_t GetAsInteger() override;
    double GetAsFloat() override;
    Currency GetAsCurrency() override;
    TVariant GetAsVariant() override;
    void SetAsStringValue(const std::string& v) override;
    void SetAsIntegerValue(int32_t v) override;
    void SetAsFloatValue(double v) override;
    void SetAsCurrencyValue(Currency v) override;
    void SetVarValue(const TVariant& v) override;

private:
    int FPrecision = 15;
    bool FCurrency = false;
};

class TCurrencyField : public TFloatField {
public:
    explicit TCurrencyField(TComponent* AOwner);
};

// Size is the number of decimals; the value is exchanged as Currency.
class TBCDField : public TNumericField {
public:
    explicit TBCDField(TComponent* AOwner);
    int DataSize() const override { return 8; }
    int Precision() const { return FPrecision; }
    void SetPrecision(int v) { FPrecision = v; }

protected:
    bool ValidSize(int v) const override { return v >= 0 && v <= 4; }
    std::string GetAsString() override;
    int32_t GetAsInteger() override;
    double GetAsFloat() override;
    Currency GetAsCurrency() override;
    TVariant GetAsVariant() override;
    void SetAsStringValue(const std::string& v) override;
    void SetAsIntegerValue(int32_t v) override;
    void SetAsFloatValue(double v) override;
    void SetAsCurrencyValue(Currency v) override;
    void SetVarValue(const TVariant& v) override;

private:
    bool GetValue(Currency& v);
    int FPrecision = 0;
};

class TBooleanField : public TField {
public:
    explicit TBooleanField(TComponent* AOwner);
    int DataSize() const override { return 2; }

protected:
    std::string GetAsString() override;
    bool GetAsBoolean() override;
    TVariant GetAsVariant() override;
    void SetAsStringValue(const std::string& v) override;
    void SetAsBooleanValue(bool v) override;
    void SetVarValue(const TVariant& v) override;
};

// Date, time and date-time by data type; the text uses the format settings.
class TDateTimeField : public TField {
public:
    explicit TDateTimeField(TComponent* AOwner);
    int DataSize() const override { return DataType() == ftDateTime ? 8 : 4; }

protected:
    TDateTimeField(TComponent* AOwner, TFieldType t);
    std::string GetAsString() override;
    double GetAsFloat() override;
    TDateTime GetAsDateTime() override;
    TVariant GetAsVariant() override;
    void SetAsStringValue(const std::string& v) override;
    void SetAsFloatValue(double v) override;
    void SetAsDateTimeValue(TDateTime v) override;
    void SetVarValue(const TVariant& v) override;
};

class TDateField : public TDateTimeField {
public:
    explicit TDateField(TComponent* AOwner) : TDateTimeField(AOwner, ftDate) {}
};

class TTimeField : public TDateTimeField {
public:
    explicit TTimeField(TComponent* AOwner) : TDateTimeField(AOwner, ftTime) {}
};

// Fixed (bytes) or counted (varbytes) binary data; the value is the bytes as a string.
class TBinaryField : public TField {
public:
    int DataSize() const override { return DataType() == ftVarBytes ? Size() + 2 : Size(); }

protected:
    bool ValidSize(int v) const override { return v >= 1 && v <= 65533; }
    TBinaryField(TComponent* AOwner, TFieldType t);
    std::string GetAsString() override;
    TVariant GetAsVariant() override;
    void SetAsStringValue(const std::string& v) override;
    void SetVarValue(const TVariant& v) override;
};

class TBytesField : public TBinaryField {
public:
    explicit TBytesField(TComponent* AOwner) : TBinaryField(AOwner, ftBytes) {}
};

class TVarBytesField : public TBinaryField {
public:
    explicit TVarBytesField(TComponent* AOwner) : TBinaryField(AOwner, ftVarBytes) {}
};

// BLOB kinds (BLOB, memo, graphic, formatted memo, OLE, typed binary): read and written
// through the dataset's BLOB streams.
class TBlobField : public TField {
public:
    explicit TBlobField(TComponent* AOwner);
    bool IsBlob() const override { return true; }
    bool IsNull() override;
    void Clear() override;
    int64_t BlobSize();
    void LoadFromStream(TStream& s);
    void SaveToStream(TStream& s);
    void FreeBuffers() override;
    void SetBlobType(TFieldType t) { SetDataType(t); }

protected:
    TBlobField(TComponent* AOwner, TFieldType t);
    bool ValidSize(int v) const override { return v >= 0; }
    std::string GetAsString() override;
    TVariant GetAsVariant() override;
    void SetAsStringValue(const std::string& v) override;
    void SetVarValue(const TVariant& v) override;
};

class TMemoField : public TBlobField {
public:
    explicit TMemoField(TComponent* AOwner) : TBlobField(AOwner, ftMemo) {}
};

class TGraphicField : public TBlobField {
public:
    explicit TGraphicField(TComponent* AOwner) : TBlobField(AOwner, ftGraphic) {}
};

// The class a field of that type gets; null for types without one (ADT, array, ...).
using TFieldFactory = TField* (*)(TComponent* Owner);
TFieldFactory DefaultFieldClass(TFieldType t);

// ---------------------------------------------------------------------------------------
// Data sources and data links

class TDataSource : public TComponent {
public:
    explicit TDataSource(TComponent* AOwner);
    ~TDataSource() override;
    TDataSet* DataSet() const { return FDataSet; }
    void SetDataSet(TDataSet* ds);
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool v);
    bool AutoEdit() const { return FAutoEdit; }
    void SetAutoEdit(bool v) { FAutoEdit = v; }
    // The dataset's state, inactive when disabled or without dataset.
    TDataSetState State() const;
    // With AutoEdit, puts a browsing dataset into edit mode.
    void Edit();
    // True when this source feeds, directly or through master sources, the dataset ds.
    bool IsLinkedTo(TDataSet* ds) const;

    TNotifyEvent OnStateChange;
    TDataChangeEvent OnDataChange;
    TNotifyEvent OnUpdateData;

    // Used by the dataset and the links.
    void DataEvent(TDataEvent Event, TField* Field, int Info);
    void AddDataLink(TDataLink* l);
    void RemoveDataLink(TDataLink* l);
    const std::vector<TDataLink*>& DataLinks() const { return FDataLinks; }

protected:
    void Notification(TComponent* AComponent, TOperation Operation) override;

private:
    TDataSet* FDataSet = nullptr;
    std::vector<TDataLink*> FDataLinks;
    bool FEnabled = true;
    bool FAutoEdit = true;
    TDataSetState FState = dsInactive;
};

// A consumer of a data source: its overridable handlers are told when the dataset opens
// or closes, scrolls, changes a record, or must give up an edit.
class TDataLink : public TPersistent {
public:
    TDataLink() = default;
    ~TDataLink() override;
    TDataSource* DataSource() const { return FDataSource; }
    void SetDataSource(TDataSource* ds);
    TDataSet* DataSet() const;
    bool Active() const { return FActive; }
    bool Editing() const { return FEditing; }
    bool ReadOnly() const { return FReadOnly; }
    void SetReadOnly(bool v) { FReadOnly = v; }
    // Rows this link wants buffered (a grid's visible rows); the dataset keeps the largest.
    int BufferCount() const { return FBufferCount; }
    void SetBufferCount(int v);
    // Row of the active record in the dataset's buffer window, and rows filled.
    int ActiveRecord() const;
    int RecordCount() const;
    // Through the source's AutoEdit.
    bool Edit();
    // Asks the link to write its pending changes (UpdateData), guarded against re-entry.
    void UpdateRecord();

    // Used by the data source.
    void DataEvent(TDataEvent Event, TField* Field, int Info);

protected:
    virtual void ActiveChanged() {}
    virtual void CheckBrowseMode() {}
    virtual void DataSetChanged() { RecordChanged(nullptr); }
    virtual void DataSetScrolled(int /*Distance*/) { DataSetChanged(); }
    virtual void EditingChanged() {}
    virtual void FocusControl(TField* /*Field*/) {}
    virtual void LayoutChanged() { DataSetChanged(); }
    virtual void RecordChanged(TField* /*Field*/) {}
    virtual void UpdateData() {}

private:
    void UpdateState();
    TDataSource* FDataSource = nullptr;
    bool FActive = false;
    bool FEditing = false;
    bool FReadOnly = false;
    bool FUpdating = false;
    int FBufferCount = 1;
};

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
