// Floating-point to text with the framework's rules: 18-digit decimal expansion rounded half away
// from zero, general/exponent/fixed/number/currency forms, separators from the settings.
#include "platform/rtl/FloatText.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace rtl_detail {

namespace {

constexpr int kMaxDigits = 18;

// Adds one unit at the last digit of `digits`; returns true when it carried out of the top.
bool RoundUp(std::string& digits) {
    for (size_t i = digits.size(); i-- > 0;) {
        if (digits[i] != '9') {
            ++digits[i];
            return false;
        }
        digits[i] = '0';
    }
    return true;
}

std::string ExponentText(int e, bool forceSign, int minDigits) {
    std::string out;
    if (e < 0)
        out += '-';
    else if (forceSign)
        out += '+';
    std::string n = std::to_string(std::abs(e));
    if (static_cast<int>(n.size()) < minDigits) out.append(minDigits - n.size(), '0');
    return out + n;
}

// Integer part of a decimal record with optional grouping.
std::string IntegerPart(const TFloatRec& r, char thousandSep, bool group) {
    std::string ip;
    if (r.exponent <= 0 || r.digits.empty()) {
        ip = "0";
    } else {
        for (int i = 0; i < r.exponent; ++i) ip += i < static_cast<int>(r.digits.size()) ? r.digits[i] : '0';
    }
    if (!group || thousandSep == 0) return ip;
    std::string out;
    int n = static_cast<int>(ip.size());
    for (int i = 0; i < n; ++i) {
        out += ip[i];
        int rest = n - 1 - i;
        if (rest > 0 && rest % 3 == 0) out += thousandSep;
    }
    return out;
}

std::string FractionPart(const TFloatRec& r, int decimals) {
    std::string f;
    for (int i = 0; i < decimals; ++i) {
        int idx = r.exponent + i;
        f += (idx >= 0 && idx < static_cast<int>(r.digits.size())) ? r.digits[idx] : '0';
    }
    return f;
}

std::string GeneralText(long double v, int precision, int digits, const TFormatSettings& fs) {
    precision = std::clamp(precision, 1, kMaxDigits);
    digits = std::clamp(digits, 0, 4);
    TFloatRec r = FloatToDecimal(v, precision, 9999);
    if (r.digits.empty()) return "0";
    std::string out = r.negative ? "-" : "";
    int e = r.exponent;
    int n = static_cast<int>(r.digits.size());
    if (e > precision || e < -3) {
        out += r.digits[0];
        if (n > 1) {
            out += fs.DecimalSeparator;
            out.append(r.digits, 1, std::string::npos);
        }
        out += 'E';
        out += ExponentText(e - 1, false, digits);
        return out;
    }
    if (e <= 0) {
        out += '0';
        out += fs.DecimalSeparator;
        out.append(-e, '0');
        out += r.digits;
        return out;
    }
    for (int i = 0; i < e; ++i) out += i < n ? r.digits[i] : '0';
    if (n > e) {
        out += fs.DecimalSeparator;
        out.append(r.digits, e, std::string::npos);
    }
    return out;
}

std::string ExponentFormText(long double v, int precision, int digits, const TFormatSettings& fs) {
    precision = std::clamp(precision, 1, kMaxDigits);
    digits = std::clamp(digits, 0, 4);
    TFloatRec r = FloatToDecimal(v, precision, 9999);
    std::string out = r.negative ? "-" : "";
    std::string d = r.digits;
    d.resize(precision, '0');
    out += d[0];
    if (precision > 1) {
        out += fs.DecimalSeparator;
        out.append(d, 1, std::string::npos);
    }
    out += 'E';
    out += ExponentText(r.digits.empty() ? 0 : r.exponent - 1, true, digits);
    return out;
}

std::string ApplyCurrency(const std::string& number, bool negative, const TFormatSettings& fs) {
    static const char* const kPositive[] = {"$1", "1$", "$ 1", "1 $"};
    static const char* const kNegative[] = {"($1)", "-$1",  "$-1",  "$1-",  "(1$)", "-1$",  "1-$",   "1$-",
                                            "-1 $", "-$ 1", "1 $-", "$ 1-", "$ -1", "1- $", "($ 1)", "(1 $)"};
    const char* pattern = negative ? kNegative[fs.NegCurrFormat % 16] : kPositive[fs.CurrencyFormat % 4];
    std::string out;
    for (const char* p = pattern; *p; ++p) {
        if (*p == '$')
            out += fs.CurrencyString;
        else if (*p == '1')
            out += number;
        else
            out += *p;
    }
    return out;
}

}  // namespace

TFloatRec FloatToDecimal(long double v, int precision, int decimals) {
    TFloatRec r;
    if (std::isnan(v)) {
        r.special = TFloatRec::kNaN;
        return r;
    }
    r.negative = std::signbit(v);
    if (std::isinf(v)) {
        r.special = TFloatRec::kInf;
        return r;
    }
    if (v == 0) {
        r.negative = false;
        return r;
    }
    precision = std::clamp(precision, 1, kMaxDigits);
    char buf[64];
    auto res =
        std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::scientific, kMaxDigits - 1);
    std::string text(buf, res.ptr);
    // text: d.ddddddddddddddddde[+-]xx
    size_t epos = text.find('e');
    r.digits = text.substr(0, 1) + text.substr(2, epos - 2);
    r.exponent = std::atoi(text.c_str() + epos + 1) + 1;
    long long keep = std::min<long long>(precision, static_cast<long long>(r.exponent) + decimals);
    if (keep < 0) {
        r.digits.clear();
    } else if (keep < static_cast<long long>(r.digits.size())) {
        bool up = r.digits[keep] >= '5';
        r.digits.resize(keep);
        if (up) {
            if (r.digits.empty() || RoundUp(r.digits)) {
                r.digits.insert(r.digits.begin(), '1');
                if (r.digits.size() > 1) r.digits.pop_back();
                ++r.exponent;
            }
        }
    }
    while (!r.digits.empty() && r.digits.back() == '0') r.digits.pop_back();
    if (r.digits.empty()) {
        r.exponent = 0;
        r.negative = false;
    }
    return r;
}

std::string FloatToText(long double v, TFloatFormat format, int precision, int digits,
                        const TFormatSettings& fs) {
    if (std::isnan(v)) return "NAN";
    if (std::isinf(v)) return v < 0 ? "-INF" : "INF";
    switch (format) {
        case ffGeneral:
            return GeneralText(v, precision, digits, fs);
        case ffExponent:
            return ExponentFormText(v, precision, digits, fs);
        case ffFixed:
        case ffNumber:
        case ffCurrency: {
            precision = std::clamp(precision, 1, kMaxDigits);
            digits = std::clamp(digits, 0, kMaxDigits);
            TFloatRec r = FloatToDecimal(v, precision, digits);
            if (r.exponent > precision) return GeneralText(v, precision, std::min(digits, 4), fs);
            std::string number = IntegerPart(r, fs.ThousandSeparator, format != ffFixed);
            if (digits > 0) {
                number += fs.DecimalSeparator;
                number += FractionPart(r, digits);
            }
            if (format == ffCurrency) return ApplyCurrency(number, r.negative, fs);
            return r.negative ? "-" + number : number;
        }
    }
    return GeneralText(v, precision, digits, fs);
}

}  // namespace rtl_detail
