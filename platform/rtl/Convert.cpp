// Strict text-to-number conversions with the framework's rules and messages.
#include <charconv>
#include <cmath>
#include <limits>

#include "platform/rtl/SysUtils.h"

namespace {

// Leading blanks, a sign, "$" or "0x" for hexadecimal, digits, nothing after. Hexadecimal
// accepts the full unsigned range of the width (as two's complement), decimal the signed range.
template <class T>
bool ParseInteger(const std::string& s, T& out) {
    using U = std::make_unsigned_t<T>;
    size_t i = 0, n = s.size();
    while (i < n && s[i] == ' ') ++i;
    bool neg = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) {
        neg = s[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < n && s[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < n && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= n) return false;
    const U limit = base == 16
                        ? std::numeric_limits<U>::max()
                        : (neg ? U(std::numeric_limits<T>::max()) + 1 : U(std::numeric_limits<T>::max()));
    U v = 0;
    for (; i < n; ++i) {
        char c = s[i];
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        if (v > (limit - d) / base) return false;
        v = v * base + d;
    }
    out = static_cast<T>(neg ? U(0) - v : v);
    return true;
}

[[noreturn]] void InvalidInteger(const std::string& s) {
    throw EConvertError("'" + s + "' is not a valid integer value");
}

[[noreturn]] void InvalidFloat(const std::string& s) {
    throw EConvertError("'" + s + "' is not a valid floating point value");
}

// Blanks, sign, digits with the settings' decimal separator, optional exponent, blanks.
bool ParseFloat(const std::string& s, long double& out, const TFormatSettings& fs) {
    size_t i = 0, n = s.size();
    while (i < n && s[i] == ' ') ++i;
    while (n > i && s[n - 1] == ' ') --n;
    std::string norm;
    if (i < n && (s[i] == '+' || s[i] == '-')) {
        if (s[i] == '-') norm += '-';
        ++i;
    }
    int mantissaDigits = 0;
    int intDigits = 0;  // significant digits before the separator (tells underflow from overflow)
    while (i < n && s[i] >= '0' && s[i] <= '9') {
        if (intDigits > 0 || s[i] != '0') ++intDigits;
        norm += s[i++];
        ++mantissaDigits;
    }
    if (i < n && s[i] == fs.DecimalSeparator) {
        norm += '.';
        ++i;
        while (i < n && s[i] >= '0' && s[i] <= '9') {
            norm += s[i++];
            ++mantissaDigits;
        }
    }
    if (mantissaDigits == 0) return false;
    long long exp10 = 0;
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        norm += 'e';
        ++i;
        bool negExp = false;
        if (i < n && (s[i] == '+' || s[i] == '-')) {
            negExp = s[i] == '-';
            norm += s[i++];
        }
        int expDigits = 0;
        while (i < n && s[i] >= '0' && s[i] <= '9') {
            if (exp10 < 1000000) exp10 = exp10 * 10 + (s[i] - '0');
            norm += s[i++];
            ++expDigits;
        }
        if (expDigits == 0) return false;
        if (negExp) exp10 = -exp10;
    }
    if (i != n) return false;
    long double v = 0;
    const char* first = norm.data();
    auto r = std::from_chars(first, first + norm.size(), v);
    if (r.ptr != first + norm.size()) return false;
    if (r.ec == std::errc::result_out_of_range) {
        // Too small for the type reads as zero; too large is no value.
        if (exp10 + intDigits >= 0) return false;
        v = norm[0] == '-' ? -0.0L : 0.0L;
    }
    out = v;
    return true;
}

}  // namespace

int32_t StrToInt(const std::string& s) {
    int32_t v;
    if (!ParseInteger(s, v)) InvalidInteger(s);
    return v;
}

int64_t StrToInt64(const std::string& s) {
    int64_t v;
    if (!ParseInteger(s, v)) InvalidInteger(s);
    return v;
}

int32_t StrToIntDef(const std::string& s, int32_t def) {
    int32_t v;
    return ParseInteger(s, v) ? v : def;
}

int64_t StrToInt64Def(const std::string& s, int64_t def) {
    int64_t v;
    return ParseInteger(s, v) ? v : def;
}

bool TryStrToInt(const std::string& s, int32_t& v) {
    return ParseInteger(s, v);
}

bool TryStrToInt64(const std::string& s, int64_t& v) {
    return ParseInteger(s, v);
}

long double StrToFloat(const std::string& s) {
    return StrToFloat(s, FormatSettings());
}

long double StrToFloat(const std::string& s, const TFormatSettings& fs) {
    long double v;
    if (!ParseFloat(s, v, fs)) InvalidFloat(s);
    return v;
}

long double StrToFloatDef(const std::string& s, long double def) {
    long double v;
    return ParseFloat(s, v, FormatSettings()) ? v : def;
}

bool TryStrToFloat(const std::string& s, long double& v) {
    return ParseFloat(s, v, FormatSettings());
}

bool TryStrToFloat(const std::string& s, long double& v, const TFormatSettings& fs) {
    return ParseFloat(s, v, fs);
}
