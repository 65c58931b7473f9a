#pragma once
// Decimal expansion of floating-point values shared by Format, FloatToStr, FloatToStrF and
// FormatFloat. Internal to the runtime.
#include <string>

#include "platform/rtl/SysUtils.h"

namespace rtl_detail {

// value = 0.d1d2d3... * 10^Exponent; Digits empty for zero.
struct TFloatRec {
    enum Special { kFinite, kNaN, kInf } special = kFinite;
    bool negative = false;
    int exponent = 0;
    std::string digits;
};

// Rounds to `precision` significant digits (at most 18) and to at most `decimals` digits after
// the decimal point, halves away from zero on the 18-digit expansion (the framework's rounding).
TFloatRec FloatToDecimal(long double v, int precision, int decimals);

// The framework's FloatToText: the formats of TFloatFormat with the settings' separators.
std::string FloatToText(long double v, TFloatFormat format, int precision, int digits,
                        const TFormatSettings& fs);

}  // namespace rtl_detail
