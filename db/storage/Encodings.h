#pragma once
// How the database represents values: type codes, stored forms, order-preserving key
// images, the decimal (BCD) storage form, conversions between types and to and from text,
// validity checks of text, table scrambling and the small string and buffer helpers.
//
// Routines that read or write text use the process-wide format settings: run them with the
// table's settings swapped in (TLanguageSettingsSwap).
#include <cstdint>
#include <string>

#include "platform/rtl/Currency.h"

// Type code of a stored value (a field descriptor's and an expression token's type).
using TEngineDataType = uint8_t;
constexpr TEngineDataType dtString = 1;      // zero-terminated characters, size + 1 bytes
constexpr TEngineDataType dtDate = 2;        // 32-bit day number, 0001-01-01 = 1
constexpr TEngineDataType dtBlob = 3;        // reference into the BLOB file
constexpr TEngineDataType dtBoolean = 4;     // 16-bit, stored 0 or 1
constexpr TEngineDataType dtSmallInt = 5;    // 16-bit signed
constexpr TEngineDataType dtInteger = 6;     // 32-bit signed
constexpr TEngineDataType dtFloat = 7;       // 64-bit double
constexpr TEngineDataType dtBCD = 8;         // 64-bit BCD storage form
constexpr TEngineDataType dtBytes = 9;       // raw bytes of the field's size
constexpr TEngineDataType dtTime = 10;       // 32-bit milliseconds of the day
constexpr TEngineDataType dtTimeStamp = 11;  // double: day number × 86,400,000 + ms
constexpr TEngineDataType dtWord = 12;       // 16-bit unsigned
constexpr TEngineDataType dtLongWord = 13;   // 32-bit
constexpr TEngineDataType dtExtended = 14;   // 80-bit float, 10 bytes
constexpr TEngineDataType dtVarBytes = 15;   // variable bytes, converted like dtBytes

// Subtypes (second type byte of a field descriptor).
constexpr uint8_t fstMoney = 21;          // on dtFloat
constexpr uint8_t fstMemo = 22;           // on dtBlob: a text
constexpr uint8_t fstFormattedMemo = 24;  // on dtBlob: a text with formatting
constexpr uint8_t fstAutoInc = 29;        // on dtInteger
constexpr uint8_t fstFixedChar = 31;      // on dtString
constexpr uint8_t fstWideString = 32;     // on dtString

// Bytes of a type's fixed stored form; 0 for strings, bytes, BLOBs and types without one.
int32_t StoredWidth(TEngineDataType type);

// Work area ConvertFieldValue clears and writes into.
constexpr int32_t ConvertBufferSize = 251;

// ---- Numbers and BCD --------------------------------------------------------------------

// BCD storage form: the value's digits (rounded to at most 4 decimals, padded with zeros to
// the scale), then the scale as one more digit, signed like the value: 12.35 at scale 2 is
// 12352, -12.35 is -12352, 0 is 2.
int64_t EncodeBCD(uint8_t scale, Currency value);
// Whether EncodeBCD can pack the value at that scale (the packed digits are a 64-bit
// integer, so large values at a fine scale do not fit).
bool FitsBCD(uint8_t scale, Currency value);
// The values a field of an integer form holds: smallint 16 bits signed, word (and boolean)
// 16 bits unsigned, longword 32 bits unsigned, any other 32 bits signed.
void IntegerRangeOf(TEngineDataType type, int64_t& low, int64_t& high);
// The currency units (ten-thousandths) a number may have; beyond them it is no currency.
constexpr long double CurrencyUnitsLimit = 9.2e18L;
Currency DecodeBCD(int64_t packed);
int64_t EncodeScaledFloat(uint8_t scale, double value);
double DecodeScaledFloat(int64_t packed);

// Half away from zero. RoundCurrency takes at most 4 decimals.
double RoundFloat(uint8_t decimals, double value);
Currency RoundCurrency(uint8_t decimals, Currency value);
// "##############0" and, for decimals above 0, "." and that many "0".
std::string FloatFormatMask(uint8_t decimals);
double IntPart(double value);
Currency CurrIntPart(Currency value);
// Repeated multiplication; exponent 0 gives 1.
double PowerOf(uint8_t exponent, double base);
Currency CurrPowerOf(uint8_t exponent, Currency base);

// "TRUE" / "FALSE" in any case; anything else raises EConvertError
// "'<text>' is not a valid boolean value".
bool StrToBoolean(const std::string& text);
std::string BoolToShortStr(bool b);
// 0 and 1 unchanged, anything else 1.
uint16_t NormalizeBoolean(uint16_t value);

// ---- Key images: unsigned byte order equals value order ---------------------------------

void EncodeFloatKey(double value, uint8_t* dest);      // 8 bytes
void EncodeIntegerKey(int32_t value, uint8_t* dest);   // 4 bytes
void EncodeInt64Key(int64_t value, uint8_t* dest);     // 8 bytes
void EncodeSmallIntKey(int16_t value, uint8_t* dest);  // 2 bytes
void EncodeWordKey(uint16_t value, uint8_t* dest);     // 2 bytes
// Every byte inverted: a descending segment.
void InvertKeyBytes(uint8_t* key, int32_t length);

// ---- Conversions ------------------------------------------------------------------------

// Converts the stored value in buffer from one type to another in place. The buffer holds
// at least 251 bytes, and at least the source's and the target's extent when those are
// larger (a string of size n takes n + 1 bytes). The first 251 bytes are cleared before
// the target is written; a string target is cut to its size. targetDecimals is the scale
// of a BCD target. False when a text does not convert, the source type has no
// conversions (0, 3, 13, 14, above 15) or the pair has none (a date to a number, a boolean
// to a float, a time to a date, and the like).
bool ConvertFieldValue(TEngineDataType sourceType, int32_t sourceSize, TEngineDataType targetType,
                       int32_t targetSize, void* buffer, uint8_t targetDecimals);
// The zero-terminated text in buffer becomes the stored form of a date, time or time stamp.
bool StrToDateTimeValue(void* buffer, TEngineDataType type);
// Whether a text may be given as a value of the type (defaults, minimum and maximum).
bool IsValidFieldValueStr(const std::string& text, TEngineDataType type);

bool IsValidWordStr(const std::string& s);
bool IsValidIntegerStr(const std::string& s);
bool IsValidSmallIntStr(const std::string& s);
bool IsValidBooleanStr(const std::string& s);
bool IsValidFloatStr(const std::string& s);
bool IsValidCurrencyStr(const std::string& s);
bool IsValidDateStr(const std::string& s);
bool IsValidDateTimeStr(const std::string& s);
bool IsValidTimeStr(const std::string& s);

// ---- Scrambling -------------------------------------------------------------------------

// byte := byte xor lo xor hi, then lo + 1 and hi - 1 (mod 256), over the low 16 bits of
// count; the transform is its own inverse.
void ScrambleBuffer(void* buffer, int32_t count, uint8_t seedLo, uint8_t seedHi);
void UnscrambleBuffer(void* buffer, int32_t count, uint8_t seedLo, uint8_t seedHi);

// ---- String and buffer helpers ----------------------------------------------------------

std::string PadLeft(const std::string& s, int32_t length, char c);
std::string PadRight(const std::string& s, int32_t length, char c);
std::string ReplicateChar(const std::string& s, int32_t n);
std::string LeftStr(const std::string& s, int32_t n);
std::string RightStr(const std::string& s, int32_t n);
int32_t LastPos(const std::string& sub, const std::string& s);
void TrimLeftChar(char* p, char c);
void TrimRightChar(char* p, char c);
void TrimChar(char* p, char c);
int32_t StrPosIndex(const char* sub, const char* p);
int32_t StrCount(const char* sub, const char* p);
int32_t StrReplaceLength(const char* sub, const char* replacement, const char* p);
// dest must hold StrReplaceLength + 1 bytes.
void StrReplace(const char* sub, const char* replacement, const char* p, char* dest);
std::string StripLineBreaks(const std::string& s);
std::string StripDoubledQuotes(const std::string& s);
bool IsIdentStartChar(char c);
bool IsIdentChar(char c);
bool IsDigitChar(char c);
int32_t CountEqualPrefix(const void* a, const void* b, int32_t n);
// Zero bytes ending at p (inclusive) going backwards, at most n.
int32_t CountTrailingZeroBytes(const void* p, int32_t n);
void ZeroBuffer(void* p, int32_t n);

// Larger and smaller of two values of one type.
template <class T>
constexpr T MaxOf(T a, T b) {
    return a > b ? a : b;
}
template <class T>
constexpr T MinOf(T a, T b) {
    return a < b ? a : b;
}
inline constexpr auto& MaxInt32 = MaxOf<int32_t>;
inline constexpr auto& MinInt32 = MinOf<int32_t>;
inline constexpr auto& MaxWord = MaxOf<uint16_t>;
inline constexpr auto& MinWord = MinOf<uint16_t>;
inline constexpr auto& MaxSmallInt = MaxOf<int16_t>;
inline constexpr auto& MinSmallInt = MinOf<int16_t>;
inline constexpr auto& MaxCurrency = MaxOf<Currency>;
inline constexpr auto& MinCurrency = MinOf<Currency>;
inline constexpr auto& MaxFloat = MaxOf<double>;
inline constexpr auto& MinFloat = MinOf<double>;
inline constexpr auto& MaxByte = MaxOf<uint8_t>;
