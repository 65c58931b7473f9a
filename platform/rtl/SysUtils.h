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
class EReadError : public EStreamError {
public:
    using EStreamError::EStreamError;
};
class EWriteError : public EStreamError {
public:
    using EStreamError::EStreamError;
};
class EFOpenError : public EFileStreamError {
public:
    using EFileStreamError::EFileStreamError;
};
class EFCreateError : public EFileStreamError {
public:
    using EFileStreamError::EFileStreamError;
};
class EOSError : public Exception {
public:
    using Exception::Exception;
};
// Floating-point failures (a value too large for an integer in Round/Trunc, NaN).
class EMathError : public Exception {
public:
    using Exception::Exception;
};
class EInvalidOp : public EMathError {
public:
    using EMathError::EMathError;
};
// Raises EOSError "System Error.  Code: %d.\n<text>" for errno `code`.
[[noreturn]] void RaiseOSError(int code);

// Format settings, initialised process-wide from the user's locale (LANG / LC_ALL
// through ICU), never from LC_NUMERIC. A thread that needs other settings for a while
// installs its own copy (TThreadFormatSettings); other threads keep formatting with theirs.
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
    // Placement of CurrencyString: 0 "$1", 1 "1$", 2 "$ 1", 3 "1 $"; negative amounts
    // 0 "($1)", 1 "-$1", ... 15 "(1 $)" as the framework numbers them.
    uint8_t CurrencyFormat = 0;
    uint8_t NegCurrFormat = 1;
};

// The settings in force on the calling thread: its own copy while a TThreadFormatSettings
// is installed on it, else the process-wide settings (mutable, as in the original
// framework). Every formatting and conversion routine without explicit settings reads this.
TFormatSettings& FormatSettings();
// Re-reads the process-wide settings from the user's locale (an ICU locale id such as
// "it_IT"; empty means the environment's LC_ALL / LC_MESSAGES / LANG).
void InitFormatSettingsFromLocale(const std::string& localeId = "");

// Installs the caller's own settings object itself (no copy) as the calling thread's for the
// scope's lifetime: FormatSettings() on this thread returns it. Nests; the destructor
// reinstates what was in force before and must run on the installing thread, innermost first
// (keep it a scoped object). For callers that keep one object to fill again and reuse; it
// must outlive the scope and serve nothing else in it. With source given, the object becomes
// a copy of source only when the thread first asks for its settings (FormatSettings) while
// the scope is the innermost: work that formats nothing pays no copy. Source must then stay
// as it is for the scope's lifetime.
class TThreadFormatSettingsScope {
public:
    explicit TThreadFormatSettingsScope(TFormatSettings& settings, const TFormatSettings* source = nullptr);
    ~TThreadFormatSettingsScope();
    TThreadFormatSettingsScope(const TThreadFormatSettingsScope&) = delete;
    TThreadFormatSettingsScope& operator=(const TThreadFormatSettingsScope&) = delete;

private:
    TFormatSettings* FSettings;
    TFormatSettings* FPrevious;
    const TFormatSettings* FPreviousSource;
};

// Installs a copy of the settings in force (or of the given ones) the same way: changes to
// it are seen by this thread only and vanish with it.
class TThreadFormatSettings {
public:
    TThreadFormatSettings();
    explicit TThreadFormatSettings(const TFormatSettings& settings);
    TThreadFormatSettings(const TThreadFormatSettings&) = delete;
    TThreadFormatSettings& operator=(const TThreadFormatSettings&) = delete;

    TFormatSettings& Settings() { return FSettings; }

private:
    TFormatSettings FSettings;
    TThreadFormatSettingsScope FScope{FSettings};
};

// One argument of Format: integers (64-bit), floating point, strings, pointers.
// `bits` is the width of an integer argument (32 for Integer): %x and %u of a negative
// value print the two's complement of that width, as the framework does.
struct TFormatArg {
    enum Kind { kInt, kUInt, kFloat, kString, kPointer } kind;
    int64_t i = 0;
    uint64_t u = 0;
    long double f = 0;
    std::string s;
    const void* p = nullptr;
    int bits = 64;

    template <class T, std::enable_if_t<std::is_integral_v<T> && std::is_signed_v<T>, int> = 0>
    TFormatArg(T v) : kind(kInt), i(v), bits(sizeof(T) < 4 ? 32 : int(sizeof(T) * 8)) {}
    template <
        class T,
        std::enable_if_t<std::is_integral_v<T> && std::is_unsigned_v<T> && !std::is_same_v<T, bool>, int> = 0>
    TFormatArg(T v) : kind(kUInt), u(v), bits(sizeof(T) < 4 ? 32 : int(sizeof(T) * 8)) {}
    TFormatArg(bool v) : kind(kInt), i(v ? 1 : 0), bits(32) {}
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
// Upper-case hex, at least `digits` digits; a negative value gives the two's complement
// of the argument's width (IntToHex(-1, 2) of an Integer is "FFFFFFFF").
std::string IntToHex(int64_t v, int digits);
std::string IntToHex(int32_t v, int digits);
std::string IntToHex(uint32_t v, int digits);
std::string IntToHex(uint64_t v, int digits);
// 15 significant digits, general form (exponent form "1.5E20" / "1E-5" as the framework prints).
std::string FloatToStr(long double v);
std::string FloatToStr(long double v, const TFormatSettings& fs);
enum TFloatFormat { ffGeneral, ffExponent, ffFixed, ffNumber, ffCurrency };
// precision: significant digits (at most 18); digits: exponent digits (ffGeneral, ffExponent)
// or decimals (ffFixed, ffNumber, ffCurrency).
std::string FloatToStrF(long double v, TFloatFormat format, int precision, int digits);
std::string FloatToStrF(long double v, TFloatFormat format, int precision, int digits,
                        const TFormatSettings& fs);
// "0.00", "#,##0.0", "0.00E+00", sections "pos;neg;zero", quoted literals: picture formats.
std::string FormatFloat(std::string_view format, long double v);
std::string FormatFloat(std::string_view format, long double v, const TFormatSettings& fs);

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
// Refuses to replace an existing target, as the framework's rename does.
bool RenameFile(const std::string& from, const std::string& to);
std::string GetEnvironmentVariable(const std::string& name);
