// Fields, field definitions and index definitions of the dataset base.
#include "platform/framework/Fields.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "platform/framework/DataSet.h"
#include "platform/rtl/DateFormat.h"

void DatabaseError(const std::string& Message, TComponent* Component) {
    if (Component && !Component->Name().empty()) throw EDatabaseError(Component->Name() + ": " + Message);
    throw EDatabaseError(Message);
}

const char* FieldTypeName(TFieldType t) {
    static const char* const names[FieldTypeCount] = {
        "Unknown",    "String",     "SmallInt", "Integer",     "Word",      "Boolean",
        "Float",      "Currency",   "BCD",      "Date",        "Time",      "DateTime",
        "Bytes",      "VarBytes",   "AutoInc",  "Blob",        "Memo",      "Graphic",
        "FmtMemo",    "ParadoxOle", "DBaseOle", "TypedBinary", "Cursor",    "FixedChar",
        "WideString", "Largeint",   "ADT",      "Array",       "Reference", "DataSet",
        "OraBlob",    "OraClob",    "Variant",  "Interface",   "IDispatch", "Guid"};
    return t < FieldTypeCount ? names[t] : "Unknown";
}

namespace {

template <class T>
TField* Make(TComponent* owner) {
    return new T(owner);
}

template <TFieldType T>
TField* MakeBlob(TComponent* owner) {
    auto* f = new TBlobField(owner);
    f->SetBlobType(T);
    return f;
}

TField* MakeFixedChar(TComponent* owner) {
    return new TStringField(owner);
}

}  // namespace

TFieldFactory DefaultFieldClass(TFieldType t) {
    switch (t) {
        case ftString:
        case ftFixedChar:
        case ftWideString:
        case ftGuid:
            return &MakeFixedChar;
        case ftSmallint:
            return &Make<TSmallintField>;
        case ftInteger:
            return &Make<TIntegerField>;
        case ftWord:
            return &Make<TWordField>;
        case ftBoolean:
            return &Make<TBooleanField>;
        case ftFloat:
            return &Make<TFloatField>;
        case ftCurrency:
            return &Make<TCurrencyField>;
        case ftBCD:
            return &Make<TBCDField>;
        case ftDate:
            return &Make<TDateField>;
        case ftTime:
            return &Make<TTimeField>;
        case ftDateTime:
            return &Make<TDateTimeField>;
        case ftBytes:
            return &Make<TBytesField>;
        case ftVarBytes:
            return &Make<TVarBytesField>;
        case ftAutoInc:
            return &Make<TAutoIncField>;
        case ftLargeint:
            return &Make<TLargeintField>;
        case ftBlob:
            return &Make<TBlobField>;
        case ftMemo:
            return &Make<TMemoField>;
        case ftGraphic:
            return &Make<TGraphicField>;
        case ftFmtMemo:
            return &MakeBlob<ftFmtMemo>;
        case ftParadoxOle:
            return &MakeBlob<ftParadoxOle>;
        case ftDBaseOle:
            return &MakeBlob<ftDBaseOle>;
        case ftTypedBinary:
            return &MakeBlob<ftTypedBinary>;
        case ftOraBlob:
            return &MakeBlob<ftOraBlob>;
        case ftOraClob:
            return &MakeBlob<ftOraClob>;
        default:
            return nullptr;
    }
}

// ---- field definitions ----

TFieldDef::TFieldDef(TFieldDefs* Owner, const std::string& Name, TFieldType DataType, int Size, bool Required,
                     int FieldNo)
    : FOwner(Owner), FName(Name), FDataType(DataType), FSize(Size), FRequired(Required), FFieldNo(FieldNo) {}

TField* TFieldDef::CreateField(TComponent* Owner) {
    TDataSet* ds = FOwner ? FOwner->DataSet() : nullptr;
    TFieldFactory make = ds ? ds->GetFieldClass(FDataType) : DefaultFieldClass(FDataType);
    if (!make) DatabaseError(Format(SUnknownFieldType, FName), ds);
    std::unique_ptr<TField> f(make(Owner));
    f->SetSize(FSize);
    f->SetFieldName(FName);
    f->SetRequired(FRequired);
    f->SetFieldNo(FFieldNo);
    if (auto* bcd = dynamic_cast<TBCDField*>(f.get())) bcd->SetPrecision(FPrecision);
    if (ds) f->SetDataSet(ds);
    return f.release();
}

TFieldDef* TFieldDefs::Add(const std::string& Name, TFieldType DataType, int Size, bool Required) {
    if (Name.empty()) DatabaseError(SFieldNameMissing, FDataSet);
    if (IndexOf(Name) >= 0) DatabaseError(Format(SDuplicateFieldName, Name), FDataSet);
    FItems.push_back(std::make_unique<TFieldDef>(this, Name, DataType, Size, Required, Count() + 1));
    return FItems.back().get();
}

void TFieldDefs::Clear() {
    FItems.clear();
}

int TFieldDefs::IndexOf(const std::string& Name) const {
    for (int i = 0; i < Count(); ++i)
        if (SameText(FItems[i]->Name(), Name)) return i;
    return -1;
}

TFieldDef* TFieldDefs::Find(const std::string& Name) const {
    int i = IndexOf(Name);
    if (i < 0) DatabaseError(Format(SFieldNotFound, Name), FDataSet);
    return FItems[i].get();
}

void TFieldDefs::Update() {
    if (FDataSet) FDataSet->InitFieldDefs();
    FUpdated = true;
}

void TFieldDefs::Assign(TPersistent* Source) {
    auto* src = dynamic_cast<TFieldDefs*>(Source);
    if (!src) {
        TPersistent::Assign(Source);
        return;
    }
    Clear();
    for (const auto& d : src->FItems) {
        TFieldDef* n = Add(d->Name(), d->DataType(), d->Size(), d->Required());
        n->SetPrecision(d->Precision());
    }
}

// ---- index definitions ----

TIndexDef* TIndexDefs::Add(const std::string& Name, const std::string& Fields, TIndexOptions Options) {
    FItems.push_back(std::make_unique<TIndexDef>(Name, Fields, Options));
    return FItems.back().get();
}

void TIndexDefs::Clear() {
    FItems.clear();
}

int TIndexDefs::IndexOf(const std::string& Name) const {
    for (int i = 0; i < Count(); ++i)
        if (SameText(FItems[i]->Name(), Name)) return i;
    return -1;
}

TIndexDef* TIndexDefs::Find(const std::string& Name) const {
    int i = IndexOf(Name);
    if (i < 0) DatabaseError(Format(SIndexNotFound, Name), FDataSet);
    return FItems[i].get();
}

TIndexDef* TIndexDefs::GetIndexForFields(const std::string& Fields, bool CaseInsensitive) const {
    size_t len = Fields.size();
    for (int pass = 0; pass < 2; ++pass) {
        for (const auto& d : FItems) {
            if (d->Options() & (ixDescending | ixExpression)) continue;
            if (CaseInsensitive && !(d->Options() & ixCaseInsensitive)) continue;
            const std::string& f = d->Fields();
            if (pass == 0) {
                if (SameText(Fields, f)) return d.get();
            } else if (f.size() > len && SameText(Fields, f.substr(0, len)) && f[len] == ';') {
                return d.get();
            }
        }
    }
    return nullptr;
}

TIndexDef* TIndexDefs::FindIndexForFields(const std::string& Fields) const {
    TIndexDef* d = GetIndexForFields(Fields, false);
    if (!d) DatabaseError(Format(SNoIndexForFields, Fields), FDataSet);
    return d;
}

void TIndexDefs::Update() {
    if (FDataSet) FDataSet->UpdateIndexDefs();
    FUpdated = true;
}

void TIndexDefs::Assign(TPersistent* Source) {
    auto* src = dynamic_cast<TIndexDefs*>(Source);
    if (!src) {
        TPersistent::Assign(Source);
        return;
    }
    Clear();
    for (const auto& d : src->FItems) Add(d->Name(), d->Fields(), d->Options());
}

// ---- TField ----

TField::TField(TComponent* AOwner) : TComponent(AOwner) {}

TField::~TField() {
    if (FDataSet) FDataSet->RemoveField(this);
}

void TField::CheckInactive() const {
    if (FDataSet) FDataSet->CheckInactive();
}

void TField::SetDataSet(TDataSet* ds) {
    if (ds == FDataSet) return;
    if (FDataSet) FDataSet->CheckInactive();
    if (ds) {
        ds->CheckInactive();
        if (ds->FindField(FFieldName)) DatabaseError(Format(SDuplicateFieldName, DisplayName()), ds);
    }
    if (FDataSet) FDataSet->RemoveField(this);
    if (ds) ds->AddField(this);
}

void TField::SetFieldName(const std::string& v) {
    if (FDataSet && !SameText(v, FFieldName) && FDataSet->FindField(v))
        DatabaseError(Format(SDuplicateFieldName, v), FDataSet);
    FFieldName = v;
}

void TField::SetFieldKind(TFieldKind k) {
    CheckInactive();
    FFieldKind = k;
}

void TField::SetSize(int v) {
    CheckInactive();
    if (!ValidSize(v)) DatabaseError(SInvalidFieldSize, FDataSet);
    FSize = v;
}

int TField::Index() const {
    if (!FDataSet) return -1;
    for (int i = 0; i < FDataSet->FieldCount(); ++i)
        if (FDataSet->Fields(i) == this) return i;
    return -1;
}

bool TField::CanModify() const {
    if (FReadOnly || !FDataSet) return false;
    return FFieldKind == fkCalculated || FDataSet->CanModify();
}

bool TField::GetData(void* Buffer, bool NativeFormat) {
    if (!FDataSet) DatabaseError(Format(SNoDataSet, DisplayName()));
    return FDataSet->GetFieldData(this, Buffer, NativeFormat);
}

void TField::SetData(const void* Buffer, bool NativeFormat) {
    if (!FDataSet) DatabaseError(Format(SNoDataSet, DisplayName()));
    TDataSetState s = FDataSet->State();
    if (FReadOnly && s != dsSetKey && s != dsCalcFields && s != dsFilter)
        DatabaseError(Format(SFieldReadOnly, DisplayName()), FDataSet);
    FDataSet->SetFieldData(this, Buffer, NativeFormat);
}

bool TField::IsNull() {
    return !GetData(nullptr);
}

void TField::Clear() {
    SetData(nullptr);
}

void TField::Change() {
    if (OnChange) OnChange(this);
}

void TField::AccessError(const char* typeName) const {
    DatabaseError(Format(SFieldAccessError, DisplayName(), typeName));
}

std::string TField::GetAsString() {
    AccessError("String");
}
int32_t TField::GetAsInteger() {
    AccessError("Integer");
}
double TField::GetAsFloat() {
    AccessError("Float");
}
bool TField::GetAsBoolean() {
    AccessError("Boolean");
}
TDateTime TField::GetAsDateTime() {
    AccessError("DateTime");
}
Currency TField::GetAsCurrency() {
    return FloatToCurr(GetAsFloat());
}
TVariant TField::GetAsVariant() {
    AccessError("Variant");
}
void TField::SetAsStringValue(const std::string&) {
    AccessError("String");
}
void TField::SetAsIntegerValue(int32_t) {
    AccessError("Integer");
}
void TField::SetAsFloatValue(double) {
    AccessError("Float");
}
void TField::SetAsBooleanValue(bool) {
    AccessError("Boolean");
}
void TField::SetAsDateTimeValue(TDateTime) {
    AccessError("DateTime");
}
void TField::SetAsCurrencyValue(Currency v) {
    SetAsFloatValue(v.ToDouble());
}
void TField::SetVarValue(const TVariant&) {
    AccessError("Variant");
}

void TField::SetValue(const TVariant& v) {
    if (v.IsNull())
        Clear();
    else
        SetVarValue(v);
}

void TField::SetNewValue(const TVariant& v) {
    if (!FDataSet) DatabaseError(Format(SNoDataSet, DisplayName()));
    FDataSet->SetStateFieldValue(dsNewValue, this, v);
}

// ---- strings ----

TStringField::TStringField(TComponent* AOwner) : TField(AOwner) {
    SetDataType(ftString);
    SetSize(20);
}

bool TStringField::GetValue(std::string& v) {
    std::vector<char> buf(DataSize() + 1, '\0');
    if (!GetData(buf.data())) return false;
    v.assign(buf.data(), strnlen(buf.data(), Size()));
    return true;
}

std::string TStringField::GetAsString() {
    std::string v;
    return GetValue(v) ? v : std::string();
}

int32_t TStringField::GetAsInteger() {
    return StrToInt(GetAsString());
}

double TStringField::GetAsFloat() {
    return static_cast<double>(StrToFloat(GetAsString()));
}

bool TStringField::GetAsBoolean() {
    std::string s = GetAsString();
    if (s.empty()) return false;
    char c = static_cast<char>(toupper(static_cast<unsigned char>(s[0])));
    return c == 'T' || c == 'Y';
}

TDateTime TStringField::GetAsDateTime() {
    return StrToDateTime(GetAsString());
}

TVariant TStringField::GetAsVariant() {
    std::string v;
    if (!GetValue(v)) return TVariant::Null();
    return TVariant(v);
}

void TStringField::SetAsStringValue(const std::string& v) {
    std::vector<char> buf(DataSize(), '\0');
    std::memcpy(buf.data(), v.data(), std::min<size_t>(v.size(), Size()));
    SetData(buf.data());
}

void TStringField::SetAsIntegerValue(int32_t v) {
    SetAsStringValue(IntToStr(v));
}

void TStringField::SetAsFloatValue(double v) {
    SetAsStringValue(FloatToStr(v));
}

void TStringField::SetAsBooleanValue(bool v) {
    SetAsStringValue(v ? "T" : "F");
}

void TStringField::SetAsDateTimeValue(TDateTime v) {
    SetAsStringValue(DateTimeToStr(v));
}

void TStringField::SetVarValue(const TVariant& v) {
    SetAsStringValue(v.AsString());
}

// ---- integers ----

TIntegerField::TIntegerField(TComponent* AOwner)
    : TIntegerField(AOwner, ftInteger, 4, INT32_MIN, INT32_MAX) {}

TIntegerField::TIntegerField(TComponent* AOwner, TFieldType t, int bytes, int32_t lo, int32_t hi)
    : TNumericField(AOwner), FBytes(bytes), FTypeMin(lo), FTypeMax(hi) {
    SetDataType(t);
}

TAutoIncField::TAutoIncField(TComponent* AOwner)
    : TIntegerField(AOwner, ftAutoInc, 4, INT32_MIN, INT32_MAX) {}

bool TIntegerField::GetValue(int32_t& v) {
    if (FBytes == 2) {
        uint8_t b[2];
        if (!GetData(b)) return false;
        if (DataType() == ftWord) {
            uint16_t w;
            std::memcpy(&w, b, 2);
            v = w;
        } else {
            int16_t s;
            std::memcpy(&s, b, 2);
            v = s;
        }
        return true;
    }
    return GetData(&v);
}

std::string TIntegerField::GetAsString() {
    int32_t v;
    return GetValue(v) ? IntToStr(v) : std::string();
}

int32_t TIntegerField::GetAsInteger() {
    int32_t v;
    return GetValue(v) ? v : 0;
}

double TIntegerField::GetAsFloat() {
    return GetAsInteger();
}

TVariant TIntegerField::GetAsVariant() {
    int32_t v;
    if (!GetValue(v)) return TVariant::Null();
    return TVariant(v);
}

void TIntegerField::SetAsIntegerValue(int32_t v) {
    int32_t lo = FTypeMin, hi = FTypeMax;
    if (FMinValue != 0 || FMaxValue != 0) {
        lo = std::max(lo, FMinValue);
        hi = std::min(hi, FMaxValue);
    }
    if (v < lo || v > hi)
        DatabaseError(Format(SFieldRangeError, IntToStr(v), DisplayName(), IntToStr(lo), IntToStr(hi)),
                      DataSet());
    if (FBytes == 2) {
        uint16_t w = static_cast<uint16_t>(v);
        SetData(&w);
    } else {
        SetData(&v);
    }
}

void TIntegerField::SetAsStringValue(const std::string& v) {
    if (v.empty())
        Clear();
    else
        SetAsIntegerValue(StrToInt(v));
}

void TIntegerField::SetAsFloatValue(double v) {
    if (!std::isfinite(v) || v < INT32_MIN || v > INT32_MAX)
        DatabaseError(Format(SFieldOutOfRange, DisplayName()), DataSet());
    SetAsIntegerValue(static_cast<int32_t>(std::nearbyint(v)));
}

void TIntegerField::SetVarValue(const TVariant& v) {
    int64_t i = v.AsInteger();
    if (i < INT32_MIN || i > INT32_MAX) DatabaseError(Format(SFieldOutOfRange, DisplayName()), DataSet());
    SetAsIntegerValue(static_cast<int32_t>(i));
}

TLargeintField::TLargeintField(TComponent* AOwner) : TNumericField(AOwner) {
    SetDataType(ftLargeint);
}

int64_t TLargeintField::AsLargeInt() {
    int64_t v = 0;
    return GetData(&v) ? v : 0;
}

void TLargeintField::SetAsLargeInt(int64_t v) {
    SetData(&v);
}

std::string TLargeintField::GetAsString() {
    int64_t v;
    return GetData(&v) ? IntToStr(v) : std::string();
}

int32_t TLargeintField::GetAsInteger() {
    int64_t v = AsLargeInt();
    if (v < INT32_MIN || v > INT32_MAX) DatabaseError(Format(SFieldOutOfRange, DisplayName()), DataSet());
    return static_cast<int32_t>(v);
}

double TLargeintField::GetAsFloat() {
    return static_cast<double>(AsLargeInt());
}

TVariant TLargeintField::GetAsVariant() {
    int64_t v;
    if (!GetData(&v)) return TVariant::Null();
    return TVariant(v);
}

void TLargeintField::SetAsStringValue(const std::string& v) {
    if (v.empty())
        Clear();
    else
        SetAsLargeInt(StrToInt64(v));
}

void TLargeintField::SetAsIntegerValue(int32_t v) {
    SetAsLargeInt(v);
}

void TLargeintField::SetAsFloatValue(double v) {
    if (!std::isfinite(v) || std::fabs(v) > 9.2e18)
        DatabaseError(Format(SFieldOutOfRange, DisplayName()), DataSet());
    SetAsLargeInt(static_cast<int64_t>(std::nearbyint(v)));
}

void TLargeintField::SetVarValue(const TVariant& v) {
    SetAsLargeInt(v.AsInteger());
}

// ---- floating point ----

TFloatField::TFloatField(TComponent* AOwner) : TNumericField(AOwner) {
    SetDataType(ftFloat);
}

TCurrencyField::TCurrencyField(TComponent* AOwner) : TFloatField(AOwner) {
    SetDataType(ftCurrency);
    SetCurrency(true);
}

std::string TFloatField::GetAsString() {
    double v;
    if (!GetData(&v)) return {};
    return FloatToStrF(v, ffGeneral, FPrecision, 0);
}

int32_t TFloatField::GetAsInteger() {
    double v = GetAsFloat();
    if (!std::isfinite(v) || v < INT32_MIN || v > INT32_MAX)
        DatabaseError(Format(SFieldOutOfRange, DisplayName()), DataSet());
    return static_cast<int32_t>(std::nearbyint(v));
}

double TFloatField::GetAsFloat() {
    double v = 0;
    return GetData(&v) ? v : 0;
}

Currency TFloatField::GetAsCurrency() {
    return FloatToCurr(GetAsFloat());
}

TVariant TFloatField::GetAsVariant() {
    double v;
    if (!GetData(&v)) return TVariant::Null();
    return TVariant(v);
}

void TFloatField::SetAsStringValue(const std::string& v) {
    if (v.empty())
        Clear();
    else
        SetAsFloatValue(static_cast<double>(StrToFloat(v)));
}

void TFloatField::SetAsIntegerValue(int32_t v) {
    SetAsFloatValue(v);
}

void TFloatField::SetAsFloatValue(double v) {
    SetData(&v);
}

void TFloatField::SetAsCurrencyValue(Currency v) {
    SetAsFloatValue(v.ToDouble());
}

void TFloatField::SetVarValue(const TVariant& v) {
    SetAsFloatValue(v.AsFloat());
}

// ---- BCD ----

TBCDField::TBCDField(TComponent* AOwner) : TNumericField(AOwner) {
    SetDataType(ftBCD);
    SetSize(4);
}

bool TBCDField::GetValue(Currency& v) {
    int64_t units = 0;
    if (!GetData(&units, false)) return false;
    v = Currency::FromUnits(units);
    return true;
}

std::string TBCDField::GetAsString() {
    Currency v;
    return GetValue(v) ? CurrToStr(v) : std::string();
}

int32_t TBCDField::GetAsInteger() {
    Currency v = GetAsCurrency();
    long double r = std::nearbyint(v.ToExtended());
    if (r < INT32_MIN || r > INT32_MAX) DatabaseError(Format(SFieldOutOfRange, DisplayName()), DataSet());
    return static_cast<int32_t>(r);
}

double TBCDField::GetAsFloat() {
    return GetAsCurrency().ToDouble();
}

Currency TBCDField::GetAsCurrency() {
    Currency v;
    return GetValue(v) ? v : Currency{};
}

TVariant TBCDField::GetAsVariant() {
    Currency v;
    if (!GetValue(v)) return TVariant::Null();
    return TVariant(v);
}

void TBCDField::SetAsCurrencyValue(Currency v) {
    SetData(&v.Units, false);
}

void TBCDField::SetAsStringValue(const std::string& v) {
    if (v.empty())
        Clear();
    else
        SetAsCurrencyValue(StrToCurr(v));
}

void TBCDField::SetAsIntegerValue(int32_t v) {
    SetAsCurrencyValue(Currency::FromInt(v));
}

void TBCDField::SetAsFloatValue(double v) {
    Currency c;
    try {
        c = FloatToCurr(v);
    } catch (const EConvertError&) {
        DatabaseError(Format(SFieldOutOfRange, DisplayName()), DataSet());
    }
    SetAsCurrencyValue(c);
}

void TBCDField::SetVarValue(const TVariant& v) {
    SetAsCurrencyValue(v.AsCurrency());
}

// ---- booleans ----

TBooleanField::TBooleanField(TComponent* AOwner) : TField(AOwner) {
    SetDataType(ftBoolean);
}

std::string TBooleanField::GetAsString() {
    uint16_t v;
    if (!GetData(&v)) return {};
    return v ? "True" : "False";
}

bool TBooleanField::GetAsBoolean() {
    uint16_t v = 0;
    return GetData(&v) && v != 0;
}

TVariant TBooleanField::GetAsVariant() {
    uint16_t v;
    if (!GetData(&v)) return TVariant::Null();
    return TVariant(v != 0);
}

void TBooleanField::SetAsBooleanValue(bool v) {
    uint16_t w = v ? 1 : 0;
    SetData(&w);
}

void TBooleanField::SetAsStringValue(const std::string& v) {
    std::string t = Trim(v);
    if (t.empty()) {
        Clear();
        return;
    }
    if (SameText(t, "True") || SameText(t, "T") || SameText(t, "Yes") || SameText(t, "Y"))
        SetAsBooleanValue(true);
    else if (SameText(t, "False") || SameText(t, "F") || SameText(t, "No") || SameText(t, "N"))
        SetAsBooleanValue(false);
    else
        DatabaseError(Format(SNotABoolean, v), DataSet());
}

void TBooleanField::SetVarValue(const TVariant& v) {
    SetAsBooleanValue(v.AsBoolean());
}

// ---- dates and times ----

TDateTimeField::TDateTimeField(TComponent* AOwner) : TDateTimeField(AOwner, ftDateTime) {}

TDateTimeField::TDateTimeField(TComponent* AOwner, TFieldType t) : TField(AOwner) {
    SetDataType(t);
}

std::string TDateTimeField::GetAsString() {
    TDateTime v;
    if (!GetData(&v, false)) return {};
    switch (DataType()) {
        case ftDate:
            return DateToStr(v);
        case ftTime:
            return TimeToStr(v);
        default:
            return DateTimeToStr(v);
    }
}

double TDateTimeField::GetAsFloat() {
    return GetAsDateTime();
}

TDateTime TDateTimeField::GetAsDateTime() {
    TDateTime v = 0;
    return GetData(&v, false) ? v : 0;
}

TVariant TDateTimeField::GetAsVariant() {
    TDateTime v;
    if (!GetData(&v, false)) return TVariant::Null();
    return TVariant::FromDateTime(v);
}

void TDateTimeField::SetAsDateTimeValue(TDateTime v) {
    SetData(&v, false);
}

void TDateTimeField::SetAsFloatValue(double v) {
    SetAsDateTimeValue(v);
}

void TDateTimeField::SetAsStringValue(const std::string& v) {
    if (v.empty()) {
        Clear();
        return;
    }
    switch (DataType()) {
        case ftDate:
            SetAsDateTimeValue(StrToDate(v));
            break;
        case ftTime:
            SetAsDateTimeValue(StrToTime(v));
            break;
        default:
            SetAsDateTimeValue(StrToDateTime(v));
    }
}

void TDateTimeField::SetVarValue(const TVariant& v) {
    SetAsDateTimeValue(v.AsDateTime());
}

// ---- binary ----

TBinaryField::TBinaryField(TComponent* AOwner, TFieldType t) : TField(AOwner) {
    SetDataType(t);
    SetSize(16);
}

std::string TBinaryField::GetAsString() {
    std::vector<uint8_t> buf(DataSize());
    if (!GetData(buf.data())) return {};
    if (DataType() == ftVarBytes) {
        uint16_t n;
        std::memcpy(&n, buf.data(), 2);
        n = std::min<uint16_t>(n, static_cast<uint16_t>(Size()));
        return std::string(reinterpret_cast<const char*>(buf.data()) + 2, n);
    }
    return std::string(reinterpret_cast<const char*>(buf.data()), buf.size());
}

TVariant TBinaryField::GetAsVariant() {
    if (IsNull()) return TVariant::Null();
    return TVariant(GetAsString());
}

void TBinaryField::SetAsStringValue(const std::string& v) {
    std::vector<uint8_t> buf(DataSize(), 0);
    if (DataType() == ftVarBytes) {
        if (v.size() > static_cast<size_t>(Size()))
            DatabaseError(Format(SInvalidVarBytes, DisplayName()), DataSet());
        uint16_t n = static_cast<uint16_t>(v.size());
        std::memcpy(buf.data(), &n, 2);
        std::memcpy(buf.data() + 2, v.data(), n);
    } else {
        std::memcpy(buf.data(), v.data(), std::min<size_t>(v.size(), buf.size()));
    }
    SetData(buf.data());
}

void TBinaryField::SetVarValue(const TVariant& v) {
    SetAsStringValue(v.AsString());
}

// ---- BLOBs ----

TBlobField::TBlobField(TComponent* AOwner) : TBlobField(AOwner, ftBlob) {}

TBlobField::TBlobField(TComponent* AOwner, TFieldType t) : TField(AOwner) {
    SetDataType(t);
}

bool TBlobField::IsNull() {
    if (Modified()) return BlobSize() == 0;
    return TField::IsNull();
}

void TBlobField::Clear() {
    SetAsStringValue("");
}

int64_t TBlobField::BlobSize() {
    if (!DataSet()) DatabaseError(Format(SNoDataSet, DisplayName()));
    std::unique_ptr<TStream> s = DataSet()->CreateBlobStream(this, bmRead);
    if (!s) return 0;
    return s->Size();
}

void TBlobField::SaveToStream(TStream& out) {
    if (!DataSet()) DatabaseError(Format(SNoDataSet, DisplayName()));
    std::unique_ptr<TStream> s = DataSet()->CreateBlobStream(this, bmRead);
    if (s) out.CopyFrom(*s, 0);
}

void TBlobField::LoadFromStream(TStream& in) {
    if (!DataSet()) DatabaseError(Format(SNoDataSet, DisplayName()));
    std::unique_ptr<TStream> s = DataSet()->CreateBlobStream(this, bmWrite);
    if (!s) AccessError("Blob");
    in.SetPosition(0);
    s->CopyFrom(in, 0);
}

void TBlobField::FreeBuffers() {
    if (!Modified()) return;
    if (DataSet()) DataSet()->CloseBlob(this);
    SetModified(false);
}

std::string TBlobField::GetAsString() {
    if (!DataSet()) DatabaseError(Format(SNoDataSet, DisplayName()));
    std::unique_ptr<TStream> s = DataSet()->CreateBlobStream(this, bmRead);
    if (!s) return {};
    std::string out(static_cast<size_t>(s->Size()), '\0');
    s->SetPosition(0);
    if (!out.empty()) s->ReadBuffer(out.data(), static_cast<int64_t>(out.size()));
    return out;
}

TVariant TBlobField::GetAsVariant() {
    if (IsNull()) return TVariant::Null();
    return TVariant(GetAsString());
}

void TBlobField::SetAsStringValue(const std::string& v) {
    if (!DataSet()) DatabaseError(Format(SNoDataSet, DisplayName()));
    if (ReadOnly()) DatabaseError(Format(SFieldReadOnly, DisplayName()), DataSet());
    std::unique_ptr<TStream> s = DataSet()->CreateBlobStream(this, bmWrite);
    if (!s) AccessError("Blob");
    if (!v.empty()) s->WriteBuffer(v.data(), static_cast<int64_t>(v.size()));
}

void TBlobField::SetVarValue(const TVariant& v) {
    SetAsStringValue(v.AsString());
}
