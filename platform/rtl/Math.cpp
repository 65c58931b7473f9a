// Rounding with the framework's rules: Round ties to even, Trunc toward zero; a value outside
// the 64-bit range (or NaN) raises EInvalidOp.
#include "platform/rtl/Math.h"

#include <cmath>

#include "platform/rtl/SysUtils.h"

namespace {

int64_t CheckedInt64(long double r) {
    // 2^63 is exact in long double; anything outside [-2^63, 2^63) does not fit.
    constexpr long double kLimit = 9223372036854775808.0L;
    if (std::isnan(r) || r >= kLimit || r < -kLimit) throw EInvalidOp("Invalid floating point operation");
    return static_cast<int64_t>(r);
}

}  // namespace

int64_t Round(long double v) {
    if (std::isnan(v) || std::isinf(v)) return CheckedInt64(v);
    long double fl = std::floor(v);
    long double diff = v - fl;
    long double r;
    if (diff > 0.5L)
        r = fl + 1;
    else if (diff < 0.5L)
        r = fl;
    else
        r = std::fmod(fl, 2.0L) == 0 ? fl : fl + 1;
    return CheckedInt64(r);
}

int64_t Trunc(long double v) {
    return CheckedInt64(std::trunc(v));
}

long double Frac(long double v) {
    return v - std::trunc(v);
}

long double Int(long double v) {
    return std::trunc(v);
}
