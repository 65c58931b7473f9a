#pragma once
// Fields of the framework's datasets: the field types, field and index definitions, and
// the field classes that read and write the values of a dataset's active record.
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
class TField;
class TFieldDefs;

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

enum TFieldKind : uint8_t { fkData, fkCalculated };

enum : uint8_t { ixPrimary = 1, ixUnique = 2, ixDescending = 4, ixCaseInsensitive = 8, ixExpression = 16 };
using TIndexOptions = uint8_t;

using TFieldNotifyEvent = std::function<void(TField* Sender)>;

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
    TDataSet* DataSet() const { return FDataSet; }
    // Field numbers count from 1 in the order added.
    TFieldDef* Add(const std::string& Name, TFieldType DataType, int Size = 0, bool Required = false);
    void Clear();
    int Count() const { return static_cast<int>(FItems.size()); }
    TFieldDef* Items(int i) const { return FItems.at(i).get(); }
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
    std::vector<std::unique_ptr<TFieldDef>> FItems;
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
    TIndexDef* Add(const std::string& Name, const std::string& Fields, TIndexOptions Options);
    void Clear();
    int Count() const { return static_cast<int>(FItems.size()); }
    TIndexDef* Items(int i) const { return FItems.at(i).get(); }
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
    std::vector<std::unique_ptr<TIndexDef>> FItems;
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

    // Fired after a value was stored.
    TFieldNotifyEvent OnChange;

    // Used by the dataset.
    virtual void FreeBuffers() {}
    void Change();
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
