// Format and the number-to-text routines with the framework's semantics.
#include <algorithm>
#include <charconv>
#include <cstring>

#include "platform/rtl/FloatText.h"
#include "platform/rtl/SysUtils.h"

using rtl_detail::FloatToText;

namespace {

[[noreturn]] void InvalidFormat(std::string_view fmt) {
    throw EConvertError("Format '" + std::string(fmt) + "' invalid or incompatible with argument");
}

[[noreturn]] void MissingArgument(std::string_view fmt) {
    throw EConvertError("No argument for format '" + std::string(fmt) + "'");
}

std::string UnsignedText(uint64_t v, int base, bool upper) {
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, v, base);
    std::string s(buf, r.ptr);
    if (upper)
        std::transform(s.begin(), s.end(), s.begin(),
                       [](char c) { return c >= 'a' && c <= 'z' ? c - 32 : c; });
    return s;
}

uint64_t WidthMask(int bits) {
    return bits >= 64 ? ~uint64_t(0) : ((uint64_t(1) << bits) - 1);
}

// The bits of an integer argument as unsigned: negative values as two's complement of their width.
uint64_t AsUnsigned(const TFormatArg& a) {
    if (a.kind == TFormatArg::kUInt) return a.u;
    return static_cast<uint64_t>(a.i) & WidthMask(a.bits);
}

std::string ZeroPad(std::string digits, int precision) {
    if (precision > static_cast<int>(digits.size())) digits.insert(0, precision - digits.size(), '0');
    return digits;
}

}  // namespace

std::string FormatV(std::string_view fmt, const std::vector<TFormatArg>& args) {
    return FormatV(fmt, args, FormatSettings());
}

std::string FormatV(std::string_view fmt, const std::vector<TFormatArg>& args, const TFormatSettings& fs) {
    std::string out;
    size_t argIndex = 0;
    const size_t n = fmt.size();
    auto nextArg = [&]() -> const TFormatArg& {
        if (argIndex >= args.size()) MissingArgument(fmt);
        return args[argIndex++];
    };
    auto intArg = [&]() -> int64_t {
        const TFormatArg& a = nextArg();
        if (a.kind == TFormatArg::kInt) return a.i;
        if (a.kind == TFormatArg::kUInt) return static_cast<int64_t>(a.u);
        InvalidFormat(fmt);
    };
    size_t i = 0;
    // A number or '*' (taken from the arguments); -1 when absent.
    auto readNumber = [&]() -> int64_t {
        if (i < n && fmt[i] == '*') {
            ++i;
            return intArg();
        }
        if (i >= n || fmt[i] < '0' || fmt[i] > '9') return -1;
        int64_t v = 0;
        while (i < n && fmt[i] >= '0' && fmt[i] <= '9') {
            v = v * 10 + (fmt[i] - '0');
            if (v > 1000000) InvalidFormat(fmt);
            ++i;
        }
        return v;
    };
    while (i < n) {
        char c = fmt[i++];
        if (c != '%') {
            out += c;
            continue;
        }
        if (i >= n) InvalidFormat(fmt);
        if (fmt[i] == '%') {
            out += '%';
            ++i;
            continue;
        }
        bool left = false;
        if (fmt[i] == '-') {
            left = true;
            ++i;
        }
        int64_t width = readNumber();
        if (i < n && fmt[i] == ':') {
            if (left || width < 0) InvalidFormat(fmt);
            argIndex = static_cast<size_t>(width);
            ++i;
            if (i < n && fmt[i] == '-') {
                left = true;
                ++i;
            }
            width = readNumber();
        }
        int64_t prec = -1;
        if (i < n && fmt[i] == '.') {
            ++i;
            prec = readNumber();
            if (prec < 0) prec = 0;
        }
        if (i >= n) InvalidFormat(fmt);
        char type = fmt[i++];
        std::string text;
        switch (type) {
            case 'd':
            case 'D': {
                const TFormatArg& a = nextArg();
                if (a.kind == TFormatArg::kInt) {
                    uint64_t mag =
                        a.i < 0 ? uint64_t(0) - static_cast<uint64_t>(a.i) : static_cast<uint64_t>(a.i);
                    text = ZeroPad(UnsignedText(mag, 10, false), static_cast<int>(prec));
                    if (a.i < 0) text.insert(0, 1, '-');
                } else if (a.kind == TFormatArg::kUInt) {
                    text = ZeroPad(UnsignedText(a.u, 10, false), static_cast<int>(prec));
                } else {
                    InvalidFormat(fmt);
                }
                break;
            }
            case 'u':
            case 'U':
            case 'x':
            case 'X': {
                const TFormatArg& a = nextArg();
                if (a.kind != TFormatArg::kInt && a.kind != TFormatArg::kUInt) InvalidFormat(fmt);
                bool hex = type == 'x' || type == 'X';
                text =
                    ZeroPad(UnsignedText(AsUnsigned(a), hex ? 16 : 10, type == 'X'), static_cast<int>(prec));
                break;
            }
            case 'e':
            case 'E':
            case 'f':
            case 'F':
            case 'g':
            case 'G':
            case 'n':
            case 'N':
            case 'm':
            case 'M': {
                const TFormatArg& a = nextArg();
                if (a.kind != TFormatArg::kFloat) InvalidFormat(fmt);
                int p = static_cast<int>(std::min<int64_t>(prec, 999));
                switch (type | 0x20) {
                    case 'e':
                        text = FloatToText(a.f, ffExponent, p < 0 ? 15 : p, 3, fs);
                        break;
                    case 'f':
                        text = FloatToText(a.f, ffFixed, 18, p < 0 ? 2 : p, fs);
                        break;
                    case 'g':
                        text = FloatToText(a.f, ffGeneral, p < 0 ? 15 : p, 3, fs);
                        break;
                    case 'n':
                        text = FloatToText(a.f, ffNumber, 18, p < 0 ? 2 : p, fs);
                        break;
                    default:
                        text = FloatToText(a.f, ffCurrency, 18, p < 0 ? fs.CurrencyDecimals : p, fs);
                        break;
                }
                break;
            }
            case 's':
            case 'S': {
                const TFormatArg& a = nextArg();
                if (a.kind != TFormatArg::kString) InvalidFormat(fmt);
                text = a.s;
                if (prec >= 0 && static_cast<size_t>(prec) < text.size()) text.resize(prec);
                break;
            }
            case 'p':
            case 'P': {
                const TFormatArg& a = nextArg();
                if (a.kind != TFormatArg::kPointer) InvalidFormat(fmt);
                text = ZeroPad(UnsignedText(reinterpret_cast<uintptr_t>(a.p), 16, true), sizeof(void*) * 2);
                break;
            }
            default:
                InvalidFormat(fmt);
        }
        if (width > static_cast<int64_t>(text.size())) {
            if (left)
                text.append(width - text.size(), ' ');
            else
                text.insert(0, width - text.size(), ' ');
        }
        out += text;
    }
    return out;
}

std::string IntToStr(int64_t v) {
    return std::to_string(v);
}

std::string UIntToStr(uint64_t v) {
    return std::to_string(v);
}

std::string IntToHex(int64_t v, int digits) {
    return ZeroPad(UnsignedText(static_cast<uint64_t>(v), 16, true), digits);
}

std::string IntToHex(int32_t v, int digits) {
    return ZeroPad(UnsignedText(static_cast<uint32_t>(v), 16, true), digits);
}

std::string IntToHex(uint32_t v, int digits) {
    return ZeroPad(UnsignedText(v, 16, true), digits);
}

std::string IntToHex(uint64_t v, int digits) {
    return ZeroPad(UnsignedText(v, 16, true), digits);
}

std::string FloatToStr(long double v) {
    return FloatToText(v, ffGeneral, 15, 0, FormatSettings());
}

std::string FloatToStr(long double v, const TFormatSettings& fs) {
    return FloatToText(v, ffGeneral, 15, 0, fs);
}

std::string FloatToStrF(long double v, TFloatFormat format, int precision, int digits) {
    return FloatToText(v, format, precision, digits, FormatSettings());
}

std::string FloatToStrF(long double v, TFloatFormat format, int precision, int digits,
                        const TFormatSettings& fs) {
    return FloatToText(v, format, precision, digits, fs);
}

std::string BoolToStr(bool b, bool useBoolStrs) {
    if (useBoolStrs) return b ? "True" : "False";
    return b ? "-1" : "0";
}
