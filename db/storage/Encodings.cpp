#include "db/storage/Encodings.h"

#include <bit>
#include <cmath>
#include <cstring>

#include "platform/rtl/SysUtils.h"

namespace {

int64_t Pow10(int n) {
    int64_t p = 1;
    for (int i = 0; i < n; ++i) p *= 10;
    return p;
}

std::string Digits(unsigned __int128 v) {
    std::string s;
    do {
        s.insert(s.begin(), char('0' + int(v % 10)));
        v /= 10;
    } while (v != 0);
    return s;
}

// The digits, then the scale's decimal text, signed like the value, read as one number:
// a value too large for the storage form raises EConvertError, as reading the text does.
int64_t PackDigits(const std::string& digits, bool negative, uint8_t scale) {
    return StrToInt64((negative ? "-" : "") + digits + std::to_string(scale));
}

// The decimal text a packed value stands for ("-12.35" for -12352), for messages.
std::string PackedText(bool negative, uint64_t digits, int scale) {
    std::string s = std::to_string(digits);
    if (int(s.size()) < scale) s.insert(0, size_t(scale) - s.size(), '0');
    if (scale > 0) {
        s.insert(s.size() - size_t(scale), 1, FormatSettings().DecimalSeparator);
        if (s.size() == size_t(scale) + 1) s.insert(0, 1, '0');
    }
    return negative ? "-" + s : s;
}

void PutBigEndian(uint64_t v, int bytes, uint8_t* dest) {
    for (int i = bytes - 1; i >= 0; --i) {
        dest[i] = static_cast<uint8_t>(v);
        v >>= 8;
    }
}

}  // namespace

// ---- Numbers and BCD --------------------------------------------------------------------

int64_t EncodeBCD(uint8_t scale, Currency value) {
    int64_t units = RoundCurrency(scale, value).Units;
    bool negative = units < 0;
    uint64_t mag = negative ? 0 - static_cast<uint64_t>(units) : static_cast<uint64_t>(units);
    // Units are 1/10000: drop decimals beyond the scale (already zero) or add zeros.
    std::string digits = scale <= 4 ? std::to_string(mag / static_cast<uint64_t>(Pow10(4 - scale)))
                                    : std::to_string(mag) + std::string(scale - 4u, '0');
    return PackDigits(digits, negative && mag != 0, scale);
}

bool FitsBCD(uint8_t scale, Currency value) {
    const int64_t units = RoundCurrency(scale, value).Units;
    const uint64_t mag = units < 0 ? 0 - static_cast<uint64_t>(units) : static_cast<uint64_t>(units);
    // The digits EncodeBCD packs, then one more digit for the scale.
    __int128 digits = mag;
    if (scale <= 4)
        digits /= Pow10(4 - scale);
    else
        for (int i = 4; i < scale && digits <= INT64_MAX; ++i) digits *= 10;
    return digits * 10 + scale <= INT64_MAX;
}

void IntegerRangeOf(TEngineDataType type, int64_t& low, int64_t& high) {
    switch (type) {
        case dtSmallInt:
            low = INT16_MIN, high = INT16_MAX;
            return;
        case dtWord:
        case dtBoolean:
            low = 0, high = UINT16_MAX;
            return;
        case dtLongWord:
            low = 0, high = UINT32_MAX;
            return;
        default:
            low = INT32_MIN, high = INT32_MAX;
            return;
    }
}

Currency DecodeBCD(int64_t packed) {
    bool negative = packed < 0;
    uint64_t mag = negative ? 0 - static_cast<uint64_t>(packed) : static_cast<uint64_t>(packed);
    int scale = static_cast<int>(mag % 10);
    uint64_t digits = mag / 10;
    int64_t units;
    if (scale <= 4) {
        if (__builtin_mul_overflow(static_cast<int64_t>(digits), Pow10(4 - scale), &units))
            throw EConvertError("'" + PackedText(negative, digits, scale) +
                                "' is not a valid floating point value");
    } else {
        // More decimals than a currency holds: round to 1/10000, ties to even.
        int64_t div = Pow10(scale - 4);
        int64_t q = static_cast<int64_t>(digits) / div, r = static_cast<int64_t>(digits) % div;
        if (2 * r > div || (2 * r == div && (q & 1))) ++q;
        units = q;
    }
    return Currency::FromUnits(negative ? -units : units);
}

int64_t EncodeScaledFloat(uint8_t scale, double value) {
    double r = RoundFloat(scale, value);
    long double scaled = std::fabs(static_cast<long double>(r)) * std::pow(10.0L, scale);
    if (!(scaled < 1e36L)) throw EConvertError("'" + FloatToStr(r) + "' is not a valid integer value");
    auto mag = static_cast<unsigned __int128>(std::roundl(scaled));
    return PackDigits(Digits(mag), r < 0 && mag != 0, scale);
}

double DecodeScaledFloat(int64_t packed) {
    bool negative = packed < 0;
    uint64_t mag = negative ? 0 - static_cast<uint64_t>(packed) : static_cast<uint64_t>(packed);
    int scale = static_cast<int>(mag % 10);
    double v = static_cast<double>(mag / 10) / static_cast<double>(Pow10(scale));
    return negative ? -v : v;
}

double RoundFloat(uint8_t decimals, double value) {
    if (value == 0) return 0;
    const double half = value > 0 ? 0.5 : -0.5;
    if (decimals == 0) return IntPart(value + half);
    // The count of steps comes from dividing by 0.1^decimals (a little above the decimal
    // step, so exact halves round towards zero). The result is that count divided by
    // 10^decimals, which is exact up to 22 decimals, so that a value that has no more
    // decimals than asked comes back as it was: 350 × 0.1 × 0.1 would be 3.5000000000000004.
    // From 2^52 steps on a double has no room for a fraction of a step: the value is its
    // own rounding (the count would drift from it by the divisor's error).
    const double steps = IntPart(value / PowerOf(decimals, 0.1) + half);
    if (std::fabs(steps) >= 4503599627370496.0) return value;
    return steps / PowerOf(decimals, 10.0);
}

Currency RoundCurrency(uint8_t decimals, Currency value) {
    if (decimals > 4) decimals = 4;
    const __int128 step = Pow10(4 - decimals), half = step / 2;
    __int128 u = value.Units;
    if (u > 0)
        u = (u + half) / step * step;
    else if (u < 0)
        u = (u - half) / step * step;
    // At the ends of the range the next step away from zero does not exist.
    if (u > INT64_MAX) u -= step;
    if (u < INT64_MIN) u += step;
    return Currency::FromUnits(static_cast<int64_t>(u));
}

std::string FloatFormatMask(uint8_t decimals) {
    std::string mask = "##############0";
    if (decimals > 0) mask += "." + std::string(decimals, '0');
    return mask;
}

double IntPart(double value) {
    return std::trunc(value);
}

Currency CurrIntPart(Currency value) {
    return Currency::FromUnits(value.Units / 10000 * 10000);
}

double PowerOf(uint8_t exponent, double base) {
    double r = 1;
    for (int i = 0; i < exponent; ++i) r *= base;
    return r;
}

Currency CurrPowerOf(uint8_t exponent, Currency base) {
    Currency r = Currency::FromInt(1);
    for (int i = 0; i < exponent; ++i) r = r * base;
    return r;
}

bool StrToBoolean(const std::string& text) {
    if (SameText(text, "TRUE")) return true;
    if (SameText(text, "FALSE")) return false;
    throw EConvertError("'" + text + "' is not a valid boolean value");
}

std::string BoolToShortStr(bool b) {
    return b ? "True" : "False";
}

uint16_t NormalizeBoolean(uint16_t value) {
    return value == 0 ? 0 : 1;
}

// ---- Key images -------------------------------------------------------------------------

void EncodeFloatKey(double value, uint8_t* dest) {
    uint64_t bits = std::bit_cast<uint64_t>(value);
    PutBigEndian(bits, 8, dest);
    if (value < 0) {
        for (int i = 0; i < 8; ++i) dest[i] = static_cast<uint8_t>(~dest[i]);
    } else {
        dest[0] |= 0x80;  // also turns -0 into +0
    }
}

void EncodeIntegerKey(int32_t value, uint8_t* dest) {
    PutBigEndian(static_cast<uint32_t>(value) ^ 0x80000000u, 4, dest);
}

void EncodeInt64Key(int64_t value, uint8_t* dest) {
    PutBigEndian(static_cast<uint64_t>(value) ^ 0x8000000000000000ull, 8, dest);
}

void EncodeSmallIntKey(int16_t value, uint8_t* dest) {
    PutBigEndian(static_cast<uint16_t>(value) ^ 0x8000u, 2, dest);
}

void EncodeWordKey(uint16_t value, uint8_t* dest) {
    PutBigEndian(value, 2, dest);
}

void InvertKeyBytes(uint8_t* key, int32_t length) {
    for (int32_t i = 0; i < length; ++i) key[i] = static_cast<uint8_t>(~key[i]);
}

// ---- Scrambling -------------------------------------------------------------------------

void ScrambleBuffer(void* buffer, int32_t count, uint8_t seedLo, uint8_t seedHi) {
    auto* p = static_cast<uint8_t*>(buffer);
    uint16_t n = static_cast<uint16_t>(count);
    for (uint16_t i = 0; i < n; ++i) {
        p[i] ^= static_cast<uint8_t>(seedLo ^ seedHi);
        ++seedLo;
        --seedHi;
    }
}

void UnscrambleBuffer(void* buffer, int32_t count, uint8_t seedLo, uint8_t seedHi) {
    ScrambleBuffer(buffer, count, seedLo, seedHi);
}

// ---- String and buffer helpers ----------------------------------------------------------

std::string PadLeft(const std::string& s, int32_t length, char c) {
    if (static_cast<int32_t>(s.size()) >= length) return s;
    return std::string(length - s.size(), c) + s;
}

std::string PadRight(const std::string& s, int32_t length, char c) {
    if (static_cast<int32_t>(s.size()) >= length) return s;
    return s + std::string(length - s.size(), c);
}

std::string ReplicateChar(const std::string& s, int32_t n) {
    std::string r;
    for (int32_t i = 0; i < n && r.size() < 255; ++i) r += s;
    if (r.size() > 255) r.resize(255);
    return r;
}

std::string LeftStr(const std::string& s, int32_t n) {
    if (n <= 0) return "";
    return s.substr(0, static_cast<size_t>(n));
}

std::string RightStr(const std::string& s, int32_t n) {
    if (n <= 0) return "";
    if (static_cast<size_t>(n) >= s.size()) return s;
    return s.substr(s.size() - n);
}

int32_t LastPos(const std::string& sub, const std::string& s) {
    if (sub.empty()) return 0;
    size_t p = s.rfind(sub);
    return p == std::string::npos ? 0 : static_cast<int32_t>(p) + 1;
}

void TrimLeftChar(char* p, char c) {
    size_t n = 0;
    while (p[n] == c && c != '\0') ++n;
    if (n) std::memmove(p, p + n, std::strlen(p + n) + 1);
}

void TrimRightChar(char* p, char c) {
    size_t n = std::strlen(p);
    while (n > 0 && p[n - 1] == c) p[--n] = '\0';
}

void TrimChar(char* p, char c) {
    TrimRightChar(p, c);
    TrimLeftChar(p, c);
}

int32_t StrPosIndex(const char* sub, const char* p) {
    const char* f = std::strstr(p, sub);
    return f ? static_cast<int32_t>(f - p) + 1 : 0;
}

int32_t StrCount(const char* sub, const char* p) {
    size_t len = std::strlen(sub);
    if (len == 0) return 0;
    int32_t n = 0;
    for (const char* f = std::strstr(p, sub); f; f = std::strstr(f + len, sub)) ++n;
    return n;
}

int32_t StrReplaceLength(const char* sub, const char* replacement, const char* p) {
    size_t len = std::strlen(p);
    size_t sl = std::strlen(sub);
    if (sl == 0 || std::strcmp(sub, replacement) == 0) return static_cast<int32_t>(len);
    return static_cast<int32_t>(len + StrCount(sub, p) * (std::strlen(replacement) - sl));
}

void StrReplace(const char* sub, const char* replacement, const char* p, char* dest) {
    size_t sl = std::strlen(sub);
    if (sl == 0 || std::strcmp(sub, replacement) == 0) {
        std::memmove(dest, p, std::strlen(p) + 1);
        return;
    }
    std::string out;
    const char* cur = p;
    for (const char* f = std::strstr(cur, sub); f; f = std::strstr(cur, sub)) {
        out.append(cur, f - cur);
        out += replacement;
        cur = f + sl;
    }
    out += cur;
    std::memcpy(dest, out.c_str(), out.size() + 1);
}

std::string StripLineBreaks(const std::string& s) {
    std::string r;
    for (char c : s)
        if (c != '\r') r += c;
    std::string t;
    for (char c : r)
        if (c != '\n') t += c;
    return t;
}

std::string StripDoubledQuotes(const std::string& s) {
    std::string r = s;
    for (const char* pair : {"\"\"", "''"}) {
        for (size_t p = r.find(pair); p != std::string::npos; p = r.find(pair)) r.erase(p, 1);
    }
    return r;
}

bool IsIdentStartChar(char c) {
    auto b = static_cast<uint8_t>(c);
    return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || b == '_' || (b >= 129 && b <= 254);
}

bool IsIdentChar(char c) {
    return IsIdentStartChar(c) || IsDigitChar(c);
}

bool IsDigitChar(char c) {
    return c >= '0' && c <= '9';
}

int32_t CountEqualPrefix(const void* a, const void* b, int32_t n) {
    auto* x = static_cast<const uint8_t*>(a);
    auto* y = static_cast<const uint8_t*>(b);
    int32_t i = 0;
    while (i < n && x[i] == y[i]) ++i;
    return i;
}

int32_t CountTrailingZeroBytes(const void* p, int32_t n) {
    auto* x = static_cast<const uint8_t*>(p);
    int32_t i = 0;
    while (i < n && *(x - i) == 0) ++i;
    return i;
}

void ZeroBuffer(void* p, int32_t n) {
    if (n > 0) std::memset(p, 0, n);
}
