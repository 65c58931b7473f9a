#include "platform/rtl/Variants.h"

#include <cmath>

#include "platform/rtl/DateFormat.h"

namespace {

[[noreturn]] void ConversionError() {
    throw EVariantError("Invalid variant type conversion");
}

}  // namespace

const TVariant& TVariant::operator[](int i) const {
    if (FType != varArray || i < 0 || i >= ArrayCount())
        throw EVariantError("Variant array index out of bounds");
    return FItems[i];
}

std::string TVariant::AsString() const {
    switch (FType) {
        case varEmpty:
        case varNull:
            return "";
        case varBoolean:
            return FInt ? "True" : "False";
        case varInteger:
            return IntToStr(FInt);
        case varDouble:
            return FloatToStr(FFloat);
        case varCurrency:
            return CurrToStr(Currency::FromUnits(FInt));
        case varDate:
            return DateTimeToStr(FFloat);
        case varString:
            return FString;
        case varArray:
            break;
    }
    ConversionError();
}

int64_t TVariant::AsInteger() const {
    switch (FType) {
        case varBoolean:
            return FInt ? -1 : 0;
        case varInteger:
            return FInt;
        case varDouble:
        case varDate: {
            if (!std::isfinite(FFloat)) ConversionError();
            const double n = std::nearbyint(FFloat);
            // 2^63 and beyond have no 64-bit integer: not cut to whatever the cast gives.
            if (!(n >= -9223372036854775808.0 && n < 9223372036854775808.0))
                throw EVariantError("Variant overflow");
            return static_cast<int64_t>(n);
        }
        case varCurrency:
            return static_cast<int64_t>(std::nearbyint(Currency::FromUnits(FInt).ToExtended()));
        case varString:
            return StrToInt64(FString);
        default:
            ConversionError();
    }
}

double TVariant::AsFloat() const {
    switch (FType) {
        case varBoolean:
            return FInt ? -1.0 : 0.0;
        case varInteger:
            return static_cast<double>(FInt);
        case varDouble:
        case varDate:
            return FFloat;
        case varCurrency:
            return Currency::FromUnits(FInt).ToDouble();
        case varString:
            return static_cast<double>(StrToFloat(FString));
        default:
            ConversionError();
    }
}

bool TVariant::AsBoolean() const {
    switch (FType) {
        case varBoolean:
        case varInteger:
        case varCurrency:
            return FInt != 0;
        case varDouble:
        case varDate:
            return FFloat != 0;
        case varString:
            if (SameText(FString, "True")) return true;
            if (SameText(FString, "False")) return false;
            return StrToInt64(FString) != 0;
        default:
            ConversionError();
    }
}

Currency TVariant::AsCurrency() const {
    switch (FType) {
        case varCurrency:
            return Currency::FromUnits(FInt);
        case varString:
            return StrToCurr(FString);
        default:
            return FloatToCurr(AsFloat());
    }
}

TDateTime TVariant::AsDateTime() const {
    if (FType == varString) return StrToDateTime(FString);
    return AsFloat();
}

bool TVariant::operator==(const TVariant& o) const {
    if (IsNull() || o.IsNull()) return FType == o.FType;
    if (FType == varArray || o.FType == varArray) return FType == o.FType && FItems == o.FItems;
    if (FType == varString || o.FType == varString) return FType == o.FType && FString == o.FString;
    if (FType == varCurrency && o.FType == varCurrency) return FInt == o.FInt;
    if ((FType == varInteger || FType == varBoolean) && (o.FType == varInteger || o.FType == varBoolean))
        return FInt == o.FInt;
    return AsFloat() == o.AsFloat();
}
