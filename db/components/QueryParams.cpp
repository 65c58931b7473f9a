// Query parameters: values in their native forms and the stored form of a parameter list.
//
// Native form of a value, by data type:
//   string, memo                   text length + 1, zero-terminated characters
//   smallint, word, boolean        16-bit integer (boolean 0 or 1)
//   integer, auto-increment        32-bit integer
//   date                           32-bit day number (0001-01-01 = 1)
//   time                           32-bit milliseconds of the day
//   float, currency                double
//   BCD                            64-bit BCD storage form at scale 4
//   date-time                      double milliseconds since day 1
//   BLOB kinds                     the bytes
//
// Stored form (little-endian): u16 version, then the count (u16, version 2: u32) and per
// parameter the name length (u8, version 2: u32) and name, the direction (u8), the data
// type (u8), when the type is not 0 the value size (u16, version 2: u32) and the value in
// its native form, then the null and bound flags (u8 each). Versions 0 and 1 read alike.
#include "db/components/ZIZIVUQuery.h"
//
#include <algorithm>
#include <cstring>

#include "db/storage/Encodings.h"
#include "platform/rtl/ByteCodec.h"
#include "platform/rtl/DateFormat.h"

namespace {

const char* const SParamNotFound = "Parameter '%s' not found";
const char* const SParamTooBig = "Parameter '%s', cannot save data larger than %d bytes";
const char* const SBadParamStream = "Unable to load bind parameters";

bool IsStringType(TFieldType t) {
    return t == ftString || t == ftMemo;
}

// Kinds whose native form is their bytes.
bool IsBlobType(TFieldType t) {
    switch (t) {
        case ftBlob:
        case ftGraphic:
        case ftFmtMemo:
        case ftParadoxOle:
        case ftDBaseOle:
        case ftTypedBinary:
            return true;
        default:
            return false;
    }
}

// The kinds the stored form takes as raw bytes (the others go through SetData).
bool IsRawStoredType(TFieldType t) {
    return IsBlobType(t) && t != ftTypedBinary;
}

// The variant a value of that type is kept as.
TVariant Normalize(TFieldType t, const TVariant& v) {
    switch (t) {
        case ftSmallint:
        case ftInteger:
        case ftWord:
        case ftAutoInc:
        case ftLargeint:
            return TVariant(v.AsInteger());
        case ftBoolean:
            return TVariant(v.AsBoolean());
        case ftFloat:
        case ftCurrency:
            return TVariant(v.AsFloat());
        case ftBCD:
            return TVariant(v.AsCurrency());
        case ftDate:
        case ftTime:
        case ftDateTime:
            return TVariant::FromDateTime(v.AsDateTime());
        case ftUnknown:
            return v;
        default:
            return TVariant(v.AsString());
    }
}

TFieldType TypeOfVariant(const TVariant& v) {
    switch (v.VarType()) {
        case varBoolean:
            return ftBoolean;
        case varInteger:
            return ftInteger;
        case varDouble:
            return ftFloat;
        case varCurrency:
            return ftCurrency;
        case varDate:
            return ftDateTime;
        case varString:
            return ftString;
        default:
            return ftUnknown;
    }
}

}  // namespace

// ---- TZIZIVUParam ----

TZIZIVUParam::TZIZIVUParam(TZIZIVUParams* Owner, const std::string& Name, TFieldType DataType,
                           TParamType ParamType)
    : FOwner(Owner), FName(Name), FDataType(DataType), FParamType(ParamType), FValue(TVariant::Null()) {}

TVariant TZIZIVUParam::Value() const {
    return FNull ? TVariant::Null() : FValue;
}

void TZIZIVUParam::Bind(TFieldType Type, TVariant Value) {
    FDataType = Type;
    FBound = true;
    FNull = false;
    FValue = std::move(Value);
}

void TZIZIVUParam::SetValue(const TVariant& v) {
    if (v.IsNull()) {
        FBound = !v.IsEmpty();
        Clear();
        return;
    }
    TFieldType t = FDataType == ftUnknown ? TypeOfVariant(v) : FDataType;
    // A number the parameter's type cannot hold would reach the statement cut to its width,
    // another number.
    if (t == ftSmallint || t == ftWord || t == ftInteger || t == ftAutoInc) {
        uint8_t type, subType;
        FieldTypeToEngine(t, type, subType);
        int64_t lo, hi;
        IntegerRangeOf(type, lo, hi);
        const int64_t i = v.AsInteger();
        if (i < lo || i > hi) DatabaseError(Format(SFieldOutOfRange, FName));
    }
    Bind(t, Normalize(t, v));
}

void TZIZIVUParam::SetAsString(const std::string& v) {
    Bind(ftString, TVariant(v));
}
void TZIZIVUParam::SetAsSmallInt(int16_t v) {
    Bind(ftSmallint, TVariant(int32_t(v)));
}
void TZIZIVUParam::SetAsInteger(int32_t v) {
    Bind(ftInteger, TVariant(v));
}
void TZIZIVUParam::SetAsWord(uint16_t v) {
    Bind(ftWord, TVariant(int32_t(v)));
}
void TZIZIVUParam::SetAsBoolean(bool v) {
    Bind(ftBoolean, TVariant(v));
}
void TZIZIVUParam::SetAsFloat(double v) {
    Bind(ftFloat, TVariant(v));
}
void TZIZIVUParam::SetAsCurrency(double v) {
    Bind(ftCurrency, TVariant(v));
}
void TZIZIVUParam::SetAsBCD(Currency v) {
    Bind(ftBCD, TVariant(v));
}
void TZIZIVUParam::SetAsDate(TDateTime v) {
    Bind(ftDate, TVariant::FromDateTime(v));
}
void TZIZIVUParam::SetAsTime(TDateTime v) {
    Bind(ftTime, TVariant::FromDateTime(v));
}
void TZIZIVUParam::SetAsDateTime(TDateTime v) {
    Bind(ftDateTime, TVariant::FromDateTime(v));
}
void TZIZIVUParam::SetAsMemo(const std::string& v) {
    Bind(ftMemo, TVariant(v));
}
void TZIZIVUParam::SetAsBlob(const std::string& bytes) {
    Bind(ftBlob, TVariant(bytes));
}

std::string TZIZIVUParam::AsString() const {
    return FNull ? std::string() : FValue.AsString();
}
int32_t TZIZIVUParam::AsInteger() const {
    return FNull ? 0 : int32_t(FValue.AsInteger());
}
double TZIZIVUParam::AsFloat() const {
    return FNull ? 0 : FValue.AsFloat();
}
bool TZIZIVUParam::AsBoolean() const {
    return FNull ? false : FValue.AsBoolean();
}
Currency TZIZIVUParam::AsBCD() const {
    return FNull ? Currency() : FValue.AsCurrency();
}
TDateTime TZIZIVUParam::AsDateTime() const {
    return FNull ? TDateTime(0) : FValue.AsDateTime();
}

void TZIZIVUParam::Clear() {
    FNull = true;
    FValue = TVariant::Null();
}

void TZIZIVUParam::Assign(TPersistent* Source) {
    if (auto* p = dynamic_cast<TZIZIVUParam*>(Source)) {
        FDataType = p->FDataType;
        FValue = p->FValue;
        FNull = p->FNull;
        FBound = p->FBound;
        if (FParamType == ptUnknown) FParamType = p->FParamType;
        return;
    }
    if (auto* f = dynamic_cast<TField*>(Source)) {
        AssignField(f);
        return;
    }
    TPersistent::Assign(Source);
}

void TZIZIVUParam::AssignField(TField* Field) {
    TFieldType t = Field->DataType();
    if (t == ftMemo && Field->Size() > 255) t = ftString;
    if (Field->IsNull()) {
        FDataType = t;
        FBound = true;
        Clear();
    } else {
        Bind(t, Normalize(t, Field->Value()));
    }
    FName = Field->FieldName();
}

bool TZIZIVUParam::IsEqual(const TZIZIVUParam& o) const {
    if (FDataType != o.FDataType || FNull != o.FNull || FBound != o.FBound || FParamType != o.FParamType ||
        FName != o.FName)
        return false;
    return FNull || FValue == o.FValue;
}

void TZIZIVUParam::TypeError() const {
    DatabaseError(Format(
        ComponentMessage(FDataType == ftUnknown ? SUnknownFieldTypeMsg : SUnsupportedFieldType), FName));
}

int32_t TZIZIVUParam::GetDataSize() const {
    switch (FDataType) {
        case ftString:
        case ftMemo:
            return int32_t(AsString().size()) + 1;
        case ftSmallint:
        case ftWord:
        case ftBoolean:
            return 2;
        case ftInteger:
        case ftAutoInc:
        case ftDate:
        case ftTime:
            return 4;
        case ftFloat:
        case ftCurrency:
        case ftBCD:
        case ftDateTime:
            return 8;
        default:
            if (IsBlobType(FDataType)) return int32_t(AsString().size());
            TypeError();
    }
}

void TZIZIVUParam::GetData(void* Buffer) const {
    auto* p = static_cast<uint8_t*>(Buffer);
    switch (FDataType) {
        case ftString:
        case ftMemo: {
            const std::string s = AsString();
            std::memcpy(p, s.data(), s.size());
            p[s.size()] = 0;
            return;
        }
        case ftSmallint:
        case ftWord:
            bytes::PutU16(p, uint16_t(AsInteger()));
            return;
        case ftBoolean:
            bytes::PutU16(p, AsBoolean() ? 1 : 0);
            return;
        case ftInteger:
        case ftAutoInc:
            bytes::PutI32(p, AsInteger());
            return;
        case ftDate:
            bytes::PutI32(p, DateTimeToTimeStamp(AsDateTime()).Date);
            return;
        case ftTime:
            bytes::PutI32(p, DateTimeToTimeStamp(AsDateTime()).Time);
            return;
        case ftFloat:
        case ftCurrency:
            bytes::PutF64(p, AsFloat());
            return;
        case ftBCD:
            bytes::PutI64(p, EncodeBCD(4, AsBCD()));
            return;
        case ftDateTime:
            bytes::PutF64(p, TimeStampToMSecs(DateTimeToTimeStamp(AsDateTime())));
            return;
        default:
            if (IsBlobType(FDataType)) {
                const std::string s = AsString();
                if (!s.empty()) std::memcpy(p, s.data(), s.size());
                return;
            }
            TypeError();
    }
}

void TZIZIVUParam::SetData(const void* Buffer, int32_t Size) {
    const auto* p = static_cast<const uint8_t*>(Buffer);
    const size_t size = Size > 0 ? size_t(Size) : 0;
    const TFieldType t = FDataType;
    // Fixed forms need their whole width.
    auto need = [&](size_t n) {
        if (size < n) DatabaseError(SBadParamStream);
    };
    switch (t) {
        case ftString:
        case ftMemo: {
            const char* s = reinterpret_cast<const char*>(p);
            Bind(t, TVariant(std::string(s, size ? strnlen(s, size) : 0)));
            return;
        }
        case ftSmallint:
            need(2);
            Bind(t, TVariant(int32_t(bytes::GetI16(p))));
            return;
        case ftWord:
            need(2);
            Bind(t, TVariant(int32_t(bytes::GetU16(p))));
            return;
        case ftBoolean:
            need(2);
            Bind(t, TVariant(bytes::GetU16(p) != 0));
            return;
        case ftInteger:
        case ftAutoInc:
            need(4);
            Bind(t, TVariant(bytes::GetI32(p)));
            return;
        case ftDate: {
            need(4);
            TTimeStamp ts;
            ts.Date = bytes::GetI32(p);
            Bind(t, TVariant::FromDateTime(TimeStampToDateTime(ts)));
            return;
        }
        case ftTime:
            need(4);
            Bind(t, TVariant::FromDateTime(bytes::GetI32(p) / double(MSecsPerDay)));
            return;
        case ftFloat:
        case ftCurrency:
            need(8);
            Bind(t, TVariant(bytes::GetF64(p)));
            return;
        case ftBCD:
            need(8);
            Bind(t, TVariant(DecodeBCD(bytes::GetI64(p))));
            return;
        case ftDateTime:
            need(8);
            Bind(t, TVariant::FromDateTime(TimeStampToDateTime(MSecsToTimeStamp(bytes::GetF64(p)))));
            return;
        default:
            if (IsBlobType(t)) {
                Bind(t, TVariant(std::string(reinterpret_cast<const char*>(p), size)));
                return;
            }
            TypeError();
    }
}

// ---- TZIZIVUParams ----

TZIZIVUParams::TZIZIVUParams(TPersistent* Owner) : FOwner(Owner) {}

TZIZIVUParams::~TZIZIVUParams() = default;

TZIZIVUParam* TZIZIVUParams::CreateParam(TFieldType DataType, const std::string& Name, TParamType ParamType) {
    FItems.push_back(std::make_unique<TZIZIVUParam>(this, Name, DataType, ParamType));
    return FItems.back().get();
}

TZIZIVUParam* TZIZIVUParams::Items(int Index) const {
    TZIZIVUParam* p = FItems.at(size_t(Index)).get();
    return FindParam(p->Name());
}

TZIZIVUParam* TZIZIVUParams::FindParam(const std::string& Name) const {
    for (const auto& p : FItems)
        if (SameText(p->Name(), Name)) return p.get();
    return nullptr;
}

TZIZIVUParam* TZIZIVUParams::ParamByName(const std::string& Name) const {
    TZIZIVUParam* p = FindParam(Name);
    if (!p) DatabaseError(Format(SParamNotFound, Name));
    return p;
}

void TZIZIVUParams::AssignValues(const TZIZIVUParams* Other) {
    for (const auto& p : FItems)
        for (const auto& o : Other->FItems)
            if (o->Name() == p->Name()) {
                p->Assign(o.get());
                break;
            }
}

void TZIZIVUParams::Clear() {
    FItems.clear();
}

void TZIZIVUParams::Assign(TPersistent* Source) {
    auto* other = dynamic_cast<TZIZIVUParams*>(Source);
    if (!other) {
        TPersistent::Assign(Source);
        return;
    }
    if (other == this) return;
    std::vector<std::unique_ptr<TZIZIVUParam>> items;
    for (const auto& o : other->FItems) {
        items.push_back(std::make_unique<TZIZIVUParam>(this, o->Name(), o->DataType(), o->ParamType()));
        items.back()->Assign(o.get());
    }
    FItems = std::move(items);
}

void TZIZIVUParams::AssignTo(TPersistent* Dest) {
    if (auto* other = dynamic_cast<TZIZIVUParams*>(Dest)) {
        other->Assign(this);
        return;
    }
    TPersistent::AssignTo(Dest);
}

bool TZIZIVUParams::IsEqual(const TZIZIVUParams* Other) const {
    if (!Other || Other->GetCount() != GetCount()) return false;
    for (size_t i = 0; i < FItems.size(); ++i)
        if (!FItems[i]->IsEqual(*Other->FItems[i])) return false;
    return true;
}

void TZIZIVUParams::DefineProperties(TFiler* Filer) {
    DefineDataProperty(Filer, "Data", dynamic_cast<TZIZIVUParams*>(Filer->Ancestor()));
}

void TZIZIVUParams::DefineDataProperty(TFiler* Filer, const std::string& Name,
                                       const TZIZIVUParams* Ancestor) {
    const bool hasData = Ancestor ? !IsEqual(Ancestor) : GetCount() > 0;
    Filer->DefineBinaryProperty(
        Name, [this](TStream& s) { ReadBinaryData(s); }, [this](TStream& s) { WriteBinaryData(s); }, hasData);
}

void TZIZIVUParams::ReadBinaryData(TStream& Stream) {
    const int64_t n = Stream.Size() - Stream.Position();
    std::string data(size_t(n > 0 ? n : 0), '\0');
    if (!data.empty()) Stream.ReadBuffer(data.data(), int64_t(data.size()));
    LoadFromBytes(data);
}

void TZIZIVUParams::WriteBinaryData(TStream& Stream) const {
    const std::string data = SaveToBytes();
    if (!data.empty()) Stream.WriteBuffer(data.data(), int64_t(data.size()));
}

std::string TZIZIVUParams::SaveToBytes() const {
    // Version 1 holds a name length in one byte and the count in two: larger lists and
    // longer names take version 2, which has 32-bit lengths.
    bool wide = FItems.size() > 0xFFFF;
    for (const auto& p : FItems)
        if (p->Name().size() > 0xFF) wide = true;
    std::string out;
    TByteWriter w(out);
    w.U16(wide ? 2 : 1);
    if (wide)
        w.U32(uint32_t(FItems.size()));
    else
        w.U16(uint16_t(FItems.size()));
    std::vector<uint8_t> value;
    for (size_t i = 0; i < FItems.size(); ++i) {
        const std::string& name = FItems[i]->Name();
        const TZIZIVUParam* p = Items(int(i));
        if (wide)
            w.U32(uint32_t(name.size()));
        else
            w.U8(uint8_t(name.size()));
        w.Bytes(name.data(), name.size());
        w.U8(p->ParamType());
        w.U8(p->DataType());
        if (p->DataType() != ftUnknown) {
            const int32_t size = p->GetDataSize();
            if (size > MaxStoredParamSize) DatabaseError(Format(SParamTooBig, name, int(MaxStoredParamSize)));
            value.assign(size_t(size) + 1, 0);
            p->GetData(value.data());
            if (wide)
                w.U32(uint32_t(size));
            else
                w.U16(uint16_t(size));
            w.Bytes(value.data(), size_t(size));
        }
        w.U8(p->IsNull() ? 1 : 0);
        w.U8(p->Bound() ? 1 : 0);
    }
    return out;
}

void TZIZIVUParams::LoadFromBytes(const std::string& Data) {
    std::vector<std::unique_ptr<TZIZIVUParam>> items;
    try {
        TByteReader r(Data);
        const uint16_t version = r.U16();
        if (version > 2) DatabaseError(SBadParamStream);
        const bool wide = version == 2;
        const uint32_t count = wide ? r.U32() : r.U16();
        // Each entry takes at least its name length, two type bytes and two flags.
        const size_t least = wide ? 8 : 5;
        if (count > r.Remaining() / least) DatabaseError(SBadParamStream);
        // Values are read into a zeroed buffer of the largest stored size, so that a short
        // fixed form reads zeros rather than what follows it.
        uint8_t buffer[MaxStoredParamSize];
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t n = wide ? r.U32() : r.U8();
            std::string name = r.Bytes(n);
            const uint8_t paramType = r.U8();
            const uint8_t dataType = r.U8();
            if (paramType > ptResult || dataType >= FieldTypeCount) DatabaseError(SBadParamStream);
            auto p = std::make_unique<TZIZIVUParam>(this, name, TFieldType(dataType), TParamType(paramType));
            if (dataType != ftUnknown) {
                const uint32_t size = wide ? r.U32() : r.U16();
                if (size > uint32_t(MaxStoredParamSize)) DatabaseError(SBadParamStream);
                std::memset(buffer, 0, sizeof buffer);
                r.Bytes(buffer, size);
                if (IsRawStoredType(TFieldType(dataType)))
                    p->SetAsBlob(std::string(reinterpret_cast<const char*>(buffer), size));
                else if (IsStringType(TFieldType(dataType)) || IsBlobType(TFieldType(dataType)))
                    p->SetData(buffer, int32_t(size));
                else
                    p->SetData(buffer, MaxStoredParamSize);
                p->SetDataType(TFieldType(dataType));
                // Bytes that decode to a decimal no BCD form holds are not a stored value.
                if (dataType == ftBCD) EncodeBCD(4, p->AsBCD());
            }
            const bool isNull = r.U8() != 0;
            const bool bound = r.U8() != 0;
            if (isNull) p->Clear();
            p->SetBound(bound);
            items.push_back(std::move(p));
        }
    } catch (...) {
        DatabaseError(SBadParamStream);
    }
    FItems = std::move(items);
}
