#pragma once
// A small variant: the values that fields, parameters, Locate and Lookup exchange.
// Empty and Null are distinct states; an array holds the values of several key fields.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/rtl/Currency.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/SysUtils.h"

// "Invalid variant type conversion" and the like.
class EVariantError : public Exception {
public:
    using Exception::Exception;
};

enum TVarType : uint8_t {
    varEmpty,
    varNull,
    varBoolean,
    varInteger,
    varDouble,
    varCurrency,
    varDate,
    varString,
    varArray
};

class TVariant {
public:
    TVariant() = default;
    TVariant(bool v) : FType(varBoolean), FInt(v ? 1 : 0) {}
    TVariant(int32_t v) : FType(varInteger), FInt(v) {}
    TVariant(int64_t v) : FType(varInteger), FInt(v) {}
    TVariant(uint16_t v) : FType(varInteger), FInt(v) {}
    TVariant(int16_t v) : FType(varInteger), FInt(v) {}
    TVariant(double v) : FType(varDouble), FFloat(v) {}
    TVariant(Currency v) : FType(varCurrency), FInt(v.Units) {}
    TVariant(const char* v) : FType(varString), FString(v ? v : "") {}
    TVariant(std::string v) : FType(varString), FString(std::move(v)) {}
    TVariant(std::vector<TVariant> items) : FType(varArray), FItems(std::move(items)) {}
    static TVariant Null() {
        TVariant v;
        v.FType = varNull;
        return v;
    }
    static TVariant FromDateTime(TDateTime d) {
        TVariant v(d);
        v.FType = varDate;
        return v;
    }

    TVarType VarType() const { return FType; }
    bool IsEmpty() const { return FType == varEmpty; }
    // Null or Empty: no value.
    bool IsNull() const { return FType == varNull || FType == varEmpty; }
    bool IsArray() const { return FType == varArray; }
    int ArrayCount() const { return static_cast<int>(FItems.size()); }
    const TVariant& operator[](int i) const;

    // Conversions; EVariantError when the value cannot be converted (Null included).
    std::string AsString() const;  // Null and Empty give ""
    int64_t AsInteger() const;
    double AsFloat() const;
    bool AsBoolean() const;
    Currency AsCurrency() const;
    TDateTime AsDateTime() const;

    // Same type family and value; numbers compare by value, strings exactly.
    bool operator==(const TVariant& o) const;

private:
    TVarType FType = varEmpty;
    int64_t FInt = 0;
    double FFloat = 0;
    std::string FString;
    std::vector<TVariant> FItems;
};

inline bool VarIsNull(const TVariant& v) {
    return v.IsNull();
}
