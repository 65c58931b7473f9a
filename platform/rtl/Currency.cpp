#include "platform/rtl/Currency.h"

#include <cmath>
#include <limits>

#include "platform/rtl/SysUtils.h"

namespace {

// Rounds num / den to the nearest integer, ties to even (den > 0).
__int128 DivRoundEven(__int128 num, __int128 den) {
    __int128 q = num / den;
    __int128 r = num % den;
    if (r < 0) r = -r;
    __int128 twice = 2 * r;
    if (twice > den || (twice == den && (q % 2 != 0))) q += num < 0 ? -1 : 1;
    return q;
}

[[noreturn]] void InvalidFloat(const std::string& s) {
    throw EConvertError("'" + s + "' is not a valid floating point value");
}

bool InRange(__int128 v) {
    return v >= std::numeric_limits<int64_t>::min() && v <= std::numeric_limits<int64_t>::max();
}

}  // namespace

Currency operator*(Currency a, Currency b) {
    __int128 p = static_cast<__int128>(a.Units) * b.Units;
    return Currency{static_cast<int64_t>(DivRoundEven(p, 10000))};
}

Currency operator/(Currency a, Currency b) {
    __int128 n = static_cast<__int128>(a.Units) * 10000;
    __int128 d = b.Units;
    if (d < 0) {
        n = -n;
        d = -d;
    }
    return Currency{static_cast<int64_t>(DivRoundEven(n, d))};
}

Currency FloatToCurr(long double v) {
    long double u = v * 10000.0L;
    if (!std::isfinite(u) || u >= 9223372036854775807.0L || u <= -9223372036854775808.0L)
        throw EConvertError(FloatToStr(v) + " is not a valid currency value");
    return Currency{static_cast<int64_t>(std::nearbyintl(u))};
}

std::string CurrToStr(Currency v) {
    __int128 u = v.Units;
    bool neg = u < 0;
    if (neg) u = -u;
    uint64_t whole = static_cast<uint64_t>(u / 10000);
    int frac = static_cast<int>(u % 10000);
    std::string s = neg ? "-" : "";
    s += std::to_string(whole);
    if (frac != 0) {
        std::string f = std::to_string(frac + 10000).substr(1);
        while (!f.empty() && f.back() == '0') f.pop_back();
        s += FormatSettings().DecimalSeparator;
        s += f;
    }
    return s;
}

bool TryStrToCurr(const std::string& s, Currency& v) {
    const char dec = FormatSettings().DecimalSeparator;
    size_t i = 0, n = s.size();
    while (i < n && s[i] == ' ') ++i;
    bool neg = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
    __int128 digits = 0;
    int scale = 0;  // decimal places taken into digits
    int ndigits = 0;
    bool any = false;
    auto take = [&](char c) {
        any = true;
        if (digits == 0 && c == '0') return true;
        if (++ndigits > 30) return false;
        digits = digits * 10 + (c - '0');
        return true;
    };
    while (i < n && s[i] >= '0' && s[i] <= '9')
        if (!take(s[i++])) return false;
    if (i < n && s[i] == dec) {
        ++i;
        while (i < n && s[i] >= '0' && s[i] <= '9') {
            if (!take(s[i++])) return false;
            ++scale;
        }
    }
    if (!any) return false;
    int exp = 0;
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        bool eneg = false;
        if (i < n && (s[i] == '+' || s[i] == '-')) eneg = s[i++] == '-';
        if (i >= n || s[i] < '0' || s[i] > '9') return false;
        while (i < n && s[i] >= '0' && s[i] <= '9') {
            exp = exp * 10 + (s[i++] - '0');
            if (exp > 1000) return false;
        }
        if (eneg) exp = -exp;
    }
    while (i < n && s[i] == ' ') ++i;
    if (i != n) return false;
    // Units = digits × 10^(4 - scale + exp), rounded to an integer.
    int shift = 4 - scale + exp;
    __int128 units;
    if (digits == 0) {
        units = 0;
    } else if (shift >= 0) {
        if (shift > 19 || ndigits + shift > 36) return false;
        __int128 p = 1;
        for (int k = 0; k < shift; ++k) p *= 10;
        units = digits * p;
    } else {
        if (-shift > 36) {
            units = 0;
        } else {
            __int128 p = 1;
            for (int k = 0; k < -shift; ++k) p *= 10;
            units = DivRoundEven(digits, p);
        }
    }
    if (neg) units = -units;
    if (!InRange(units)) return false;
    v = Currency{static_cast<int64_t>(units)};
    return true;
}

Currency StrToCurr(const std::string& s) {
    Currency v;
    if (!TryStrToCurr(s, v)) InvalidFloat(s);
    return v;
}
