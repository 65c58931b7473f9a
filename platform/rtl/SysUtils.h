#pragma once
// Exceptions, formatting and conversions with the semantics of the original framework
// (not printf's): results never depend on the C library's locale.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/rtl/System.h"

// Base of every exception of the system: carries a message.
class Exception : public std::exception {
public:
    explicit Exception(std::string msg) : FMessage(std::move(msg)) {}
    const std::string& Message() const { return FMessage; }
    void SetMessage(const std::string& m) { FMessage = m; }
    const char* what() const noexcept override { return FMessage.c_str(); }

private:
    std::string FMessage;
};

class EConvertError : public Exception {
public:
    using Exception::Exception;
};
class EAbort : public Exception {
public:
    using Exception::Exception;
};
class EListError : public Exception {
public:
    using Exception::Exception;
};
class EStreamError : public Exception {
public:
    using Exception::Exception;
};
class EFileStreamError : public EStreamError {
public:
    using EStreamError::EStreamError;
};
class EOSError : public Exception {
public:
    using Exception::Exception;
};

// Process-wide format settings, initialised from the user's locale (LANG / LC_ALL
// through ICU), never from LC_NUMERIC. Code that needs other settings swaps them in
// under its own lock and restores them.
struct TFormatSettings {
    char DecimalSeparator = '.';
    char ThousandSeparator = ',';
    char DateSeparator = '/';
    char TimeSeparator = ':';
    std::string ShortDateFormat = "dd/mm/yyyy";
    std::string LongDateFormat = "dddd, d mmmm yyyy";
    std::string ShortTimeFormat = "hh:nn";
    std::string LongTimeFormat = "hh:nn:ss";
    std::string TimeAMString = "AM";
    std::string TimePMString = "PM";
    int CurrencyDecimals = 2;
    std::string CurrencyString = "$";
    std::string ShortMonthNames[12];
    std::string LongMonthNames[12];
    std::string ShortDayNames[7];
    std::string LongDayNames[7];
};

// The process-wide settings (mutable, as in the original framework).
TFormatSettings& FormatSettings();
// Re-reads the settings from the user's locale (an ICU locale id such as "it_IT";
// empty means the environment's LC_ALL / LC_MESSAGES / LANG).
void InitFormatSettingsFromLocale(const std::string& localeId = "");

// One argument of Format: integers (64-bit), floating point, strings, pointers.
struct TFormatArg {
    enum Kind { kInt, kUInt, kFloat, kString, kPointer } kind;
    int64_t i = 0;
    uint64_t u = 0;
    long double f = 0;
    std::string s;
    const void* p = nullptr;

    template <class T, std::enable_if_t<std::is_integral_v<T> && std::is_signed_v<T>, int> = 0>
    TFormatArg(T v) : kind(kInt), i(v) {}
    template <class T, std::enable_if_t<std::is_integral_v<T> && std::is_unsigned_v<T> &&
                                            !std::is_same_v<T, bool>, int> = 0>
    TFormatArg(T v) : kind(kUInt), u(v) {}
    TFormatArg(bool v) : kind(kInt), i(v ? 1 : 0) {}
    TFormatArg(float v) : kind(kFloat), f(v) {}
    TFormatArg(double v) : kind(kFloat), f(v) {}
    TFormatArg(long double v) : kind(kFloat), f(v) {}
    TFormatArg(const char* v) : kind(kString), s(v ? v : "") {}
    TFormatArg(const std::string& v) : kind(kString), s(v) {}
    TFormatArg(std::string_view v) : kind(kString), s(v) {}
    TFormatArg(const void* v) : kind(kPointer), p(v) {}
};

// Format with the framework's rules: %d %u %x %X %s %f %e %g %n %m %p, index ("%0:s"),
// width, "-" and precision ("%.2X" zero-pads, "%.2d" zero-pads, "%2.1f"), "%%".
// %f/%n/%m default to two decimals with the settings' decimal separator.
// A mismatch of argument and specifier raises EConvertError.
std::string FormatV(std::string_view fmt, const std::vector<TFormatArg>& args);
std::string FormatV(std::string_view fmt, const std::vector<TFormatArg>& args, const TFormatSettings& fs);
template <class... A>
std::string Format(std::string_view fmt, const A&... a) {
    return FormatV(fmt, std::vector<TFormatArg>{TFormatArg(a)...});
}

std::string IntToStr(int64_t v);
std::string UIntToStr(uint64_t v);
std::string IntToHex(int64_t v, int digits);
// 15 significant digits, general form (exponent form "1.5E20" / "1E-5" as the framework prints).
std::string FloatToStr(long double v);
std::string FloatToStr(long double v, const TFormatSettings& fs);
enum TFloatFormat { ffGeneral, ffExponent, ffFixed, ffNumber, ffCurrency };
std::string FloatToStrF(long double v, TFloatFormat format, int precision, int digits);
// "0.00", "#,##0.0" ... picture formats.
std::string FormatFloat(std::string_view format, long double v);

// Strict conversions: surrounding blanks allowed, anything else raises EConvertError with
// "'%s' is not a valid integer value" / "'%s' is not a valid floating point value".
// StrToInt accepts a leading sign and "$"/"0x" hexadecimal, as the framework does.
int32_t StrToInt(const std::string& s);
int64_t StrToInt64(const std::string& s);
int32_t StrToIntDef(const std::string& s, int32_t def);
int64_t StrToInt64Def(const std::string& s, int64_t def);
bool TryStrToInt(const std::string& s, int32_t& v);
bool TryStrToInt64(const std::string& s, int64_t& v);
long double StrToFloat(const std::string& s);
long double StrToFloat(const std::string& s, const TFormatSettings& fs);
long double StrToFloatDef(const std::string& s, long double def);
bool TryStrToFloat(const std::string& s, long double& v);
bool TryStrToFloat(const std::string& s, long double& v, const TFormatSettings& fs);
std::string BoolToStr(bool b, bool useBoolStrs = false);

// Strings are bytes; case mapping is ASCII only here (the locale layer does the rest).
std::string Trim(const std::string& s);
std::string TrimLeft(const std::string& s);
std::string TrimRight(const std::string& s);
std::string UpperCase(const std::string& s);
std::string LowerCase(const std::string& s);
int CompareStr(const std::string& a, const std::string& b);
int CompareText(const std::string& a, const std::string& b);
bool SameText(const std::string& a, const std::string& b);
std::string StringReplace(const std::string& s, const std::string& from, const std::string& to,
                          bool all = true, bool ignoreCase = false);
std::string QuotedStr(const std::string& s);
// 1-based position of sub in s, 0 when absent.
int Pos(const std::string& sub, const std::string& s);
std::string Copy(const std::string& s, int index1, int count);

// File name helpers (both '/' and '\\' count as path delimiters).
std::string ExtractFilePath(const std::string& s);
std::string ExtractFileName(const std::string& s);
std::string ExtractFileExt(const std::string& s);
std::string ChangeFileExt(const std::string& s, const std::string& ext);
bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);
bool ForceDirectories(const std::string& path);
bool DeleteFile(const std::string& path);
bool RenameFile(const std::string& from, const std::string& to);
std::string GetEnvironmentVariable(const std::string& name);
