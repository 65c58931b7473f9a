// FormatFloat: picture formats with '0' and '#' placeholders, '.', ',' grouping, "E+00"
// exponents, quoted literals and up to three sections (positive;negative;zero).
#include <algorithm>
#include <climits>
#include <cmath>
#include <vector>

#include "platform/rtl/FloatText.h"
#include "platform/rtl/SysUtils.h"

using rtl_detail::FloatToDecimal;
using rtl_detail::TFloatRec;

namespace {

struct TSectionScan {
    int digitCount = 0;     // '0' and '#' placeholders (exponent digits excluded)
    int decimalIndex = -1;  // placeholders before the first '.'
    int firstZero = INT_MAX;
    int lastZero = 0;  // one past the last '0' placeholder
    bool thousands = false;
    bool scientific = false;
};

std::vector<std::string_view> SplitSections(std::string_view f) {
    std::vector<std::string_view> out;
    size_t start = 0;
    for (size_t i = 0; i < f.size(); ++i) {
        char c = f[i];
        if (c == '"' || c == '\'') {
            size_t close = f.find(c, i + 1);
            i = close == std::string_view::npos ? f.size() - 1 : close;
        } else if (c == ';') {
            out.push_back(f.substr(start, i - start));
            start = i + 1;
        }
    }
    out.push_back(f.substr(start));
    return out;
}

bool IsExponentAt(std::string_view s, size_t i) {
    return (s[i] == 'E' || s[i] == 'e') && i + 1 < s.size() && (s[i + 1] == '+' || s[i + 1] == '-');
}

TSectionScan ScanSection(std::string_view s) {
    TSectionScan r;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '"' || c == '\'') {
            size_t close = s.find(c, i + 1);
            i = close == std::string_view::npos ? s.size() : close;
        } else if (c == '0' || c == '#') {
            if (c == '0' && r.digitCount < r.firstZero) r.firstZero = r.digitCount;
            ++r.digitCount;
            if (c == '0') r.lastZero = r.digitCount;
        } else if (c == '.') {
            if (r.decimalIndex < 0) r.decimalIndex = r.digitCount;
        } else if (c == ',') {
            if (r.digitCount > 0) r.thousands = true;
        } else if (!r.scientific && IsExponentAt(s, i)) {
            r.scientific = true;
            i += 1;
            while (i + 1 < s.size() && s[i + 1] == '0') ++i;
        }
    }
    if (r.decimalIndex < 0) r.decimalIndex = r.digitCount;
    return r;
}

// Rounds |v| as the section asks (to decide the zero section).
TFloatRec RoundForSection(long double v, const TSectionScan& sc) {
    if (sc.scientific) return FloatToDecimal(std::fabs(v), std::clamp(sc.digitCount, 1, 18), 9999);
    return FloatToDecimal(std::fabs(v), 18, sc.digitCount - sc.decimalIndex);
}

std::string ApplySection(std::string_view s, long double v, bool withSign, const TFormatSettings& fs) {
    TSectionScan sc = ScanSection(s);
    TFloatRec rec = RoundForSection(v, sc);
    if (!sc.scientific && rec.exponent > 18) return rtl_detail::FloatToText(v, ffGeneral, 15, 0, fs);
    const int intPlaces = sc.decimalIndex;
    const int fracPlaces = sc.digitCount - sc.decimalIndex;
    const int minInt = sc.firstZero < intPlaces ? intPlaces - sc.firstZero : 0;
    const int minFrac = std::max(0, sc.lastZero - intPlaces);
    std::string intDigits, fracDigits, expText;
    auto digitAt = [&](int idx) {
        return idx >= 0 && idx < static_cast<int>(rec.digits.size()) ? rec.digits[idx] : '0';
    };
    int exponent = 0;
    if (sc.scientific) {
        // The first digit is never 0 for a non-zero value; zero keeps only the '0' placeholders.
        if (!rec.digits.empty()) {
            exponent = rec.exponent - intPlaces;
            for (int k = 0; k < intPlaces; ++k) intDigits += digitAt(k);
        }
        for (int k = 0; k < fracPlaces; ++k) fracDigits += digitAt(intPlaces + k);
    } else {
        for (int k = 0; k < rec.exponent; ++k) intDigits += digitAt(k);
        for (int k = 0; k < fracPlaces; ++k) fracDigits += digitAt(rec.exponent + k);
    }
    if (static_cast<int>(intDigits.size()) < minInt) intDigits.insert(0, minInt - intDigits.size(), '0');
    while (static_cast<int>(fracDigits.size()) > minFrac && fracDigits.back() == '0') fracDigits.pop_back();

    std::string out;
    if (withSign && !rec.digits.empty()) out += '-';
    const int L = static_cast<int>(intDigits.size());
    auto putIntDigit = [&](int p) {
        out += intDigits[p];
        int rest = L - 1 - p;
        if (sc.thousands && rest > 0 && rest % 3 == 0 && fs.ThousandSeparator) out += fs.ThousandSeparator;
    };
    int placeholder = 0;
    bool decimalDone = false, exponentDone = false;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '"' || c == '\'') {
            size_t close = s.find(c, i + 1);
            size_t end = close == std::string_view::npos ? s.size() : close;
            out.append(s.substr(i + 1, end - i - 1));
            i = end;
        } else if (c == '0' || c == '#') {
            int k = placeholder++;
            if (k < intPlaces) {
                int p = L - intPlaces + k;
                if (k == 0)
                    for (int q = 0; q <= p; ++q) putIntDigit(q);
                else if (p >= 0)
                    putIntDigit(p);
            } else {
                int j = k - intPlaces;
                if (j < static_cast<int>(fracDigits.size())) out += fracDigits[j];
            }
        } else if (c == '.') {
            if (!decimalDone && !fracDigits.empty()) out += fs.DecimalSeparator;
            decimalDone = true;
        } else if (c == ',') {
            // grouping marker, not output
        } else if (!exponentDone && sc.scientific && IsExponentAt(s, i)) {
            exponentDone = true;
            out += c;
            bool forceSign = s[i + 1] == '+';
            i += 1;
            int minDigits = 0;
            while (i + 1 < s.size() && s[i + 1] == '0') {
                ++minDigits;
                ++i;
            }
            if (exponent < 0)
                out += '-';
            else if (forceSign)
                out += '+';
            std::string e = std::to_string(std::abs(exponent));
            if (static_cast<int>(e.size()) < minDigits) e.insert(0, minDigits - e.size(), '0');
            out += e;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::string FormatFloat(std::string_view format, long double v) {
    return FormatFloat(format, v, FormatSettings());
}

std::string FormatFloat(std::string_view format, long double v, const TFormatSettings& fs) {
    if (std::isnan(v) || std::isinf(v) || format.empty())
        return rtl_detail::FloatToText(v, ffGeneral, 15, 0, fs);
    std::vector<std::string_view> sections = SplitSections(format);
    TFloatRec first = RoundForSection(v, ScanSection(sections[0]));
    if (first.digits.empty()) {
        if (sections.size() >= 3 && !sections[2].empty()) return ApplySection(sections[2], 0, false, fs);
        return ApplySection(sections[0], 0, false, fs);
    }
    if (v < 0 && sections.size() >= 2 && !sections[1].empty())
        return ApplySection(sections[1], -v, false, fs);
    return ApplySection(sections[0], v, v < 0, fs);
}
