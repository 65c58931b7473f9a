#pragma once
// Currency: a fixed-point number held as a 64-bit count of 1/10000 units, with the
// framework's conversions (text in the format settings in force on the calling thread).
#include <compare>
#include <cstdint>
#include <string>

struct Currency {
    int64_t Units = 0;  // value × 10000

    static constexpr Currency FromUnits(int64_t units) { return Currency{units}; }
    static constexpr Currency FromInt(int64_t v) { return Currency{v * 10000}; }
    long double ToExtended() const { return static_cast<long double>(Units) / 10000.0L; }
    double ToDouble() const { return static_cast<double>(ToExtended()); }

    friend constexpr auto operator<=>(const Currency&, const Currency&) = default;
    friend constexpr Currency operator+(Currency a, Currency b) { return Currency{a.Units + b.Units}; }
    friend constexpr Currency operator-(Currency a, Currency b) { return Currency{a.Units - b.Units}; }
    friend constexpr Currency operator-(Currency a) { return Currency{-a.Units}; }
    // Product and quotient rounded to 1/10000, ties to even (as the framework's FPU does).
    friend Currency operator*(Currency a, Currency b);
    friend Currency operator/(Currency a, Currency b);
};

// Nearest 1/10000, ties to even; raises EConvertError when out of range.
Currency FloatToCurr(long double v);
// Up to four decimals, trailing zeros dropped, the settings' decimal separator.
std::string CurrToStr(Currency v);
// Decimal text (optional sign, decimal separator of the settings, exponent), rounded to
// 1/10000; anything else raises EConvertError "'%s' is not a valid floating point value".
Currency StrToCurr(const std::string& s);
bool TryStrToCurr(const std::string& s, Currency& v);
