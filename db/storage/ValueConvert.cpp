// Conversions of stored values between types and from text.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "db/storage/Encodings.h"
#include "platform/rtl/DateFormat.h"
#include "platform/rtl/SysUtils.h"

int32_t StoredWidth(TEngineDataType t) {
    switch (t) {
        case dtBoolean:
        case dtSmallInt:
        case dtWord:
            return 2;
        case dtDate:
        case dtInteger:
        case dtTime:
        case dtLongWord:
            return 4;
        case dtFloat:
        case dtBCD:
        case dtTimeStamp:
            return 8;
        case dtExtended:
            return 10;
        default:
            return 0;
    }
}

namespace {

bool IsBytes(TEngineDataType t) {
    return t == dtBytes || t == dtVarBytes;
}

template <class T>
T Load(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class T>
void Store(uint8_t* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

// An integer into the width of a smallint, integer or word target. A value the width
// cannot hold does not convert: stored, it would read back as another number.
void StoreInteger(uint8_t* p, TEngineDataType t, int64_t v) {
    int64_t low, high;
    IntegerRangeOf(t, low, high);
    if (v < low || v > high) throw EConvertError("'" + std::to_string(v) + "' is out of range");
    switch (t) {
        case dtSmallInt:
            Store<int16_t>(p, static_cast<int16_t>(v));
            break;
        case dtWord:
            Store<uint16_t>(p, static_cast<uint16_t>(v));
            break;
        default:
            Store<int32_t>(p, static_cast<int32_t>(v));
            break;
    }
}

int64_t LoadInteger(const uint8_t* p, TEngineDataType t) {
    switch (t) {
        case dtSmallInt:
            return Load<int16_t>(p);
        case dtWord:
            return Load<uint16_t>(p);
        default:
            return Load<int32_t>(p);
    }
}

bool IsIntegerType(TEngineDataType t) {
    return t == dtSmallInt || t == dtInteger || t == dtWord;
}

int64_t TruncToInt64(long double v) {
    if (!(v == v)) return 0;
    if (v >= 9.2e18L) return INT64_MAX;
    if (v <= -9.2e18L) return INT64_MIN;
    return static_cast<int64_t>(std::truncl(v));
}

// A string target cut to its size and terminated.
void StoreText(uint8_t* p, int32_t targetSize, const std::string& s) {
    size_t n = s.size();
    if (targetSize >= 0 && n > static_cast<size_t>(targetSize)) n = targetSize;
    std::memcpy(p, s.data(), n);
    p[n] = 0;
}

// Bytes copied up to the smaller size; the rest of the target zero.
void StoreBytes(uint8_t* p, int32_t targetSize, const uint8_t* src, int32_t sourceSize) {
    int32_t n = sourceSize < targetSize ? sourceSize : targetSize;
    if (n > 0) std::memcpy(p, src, n);
    if (targetSize > n) std::memset(p + n, 0, targetSize - n);
}

// The pairs of distinct types that have a conversion. Any other pair has no value to give:
// a date is no number, a boolean no float, a time no date.
bool Converts(TEngineDataType s, TEngineDataType t) {
    const bool number = IsIntegerType(t) || t == dtFloat || t == dtBCD;
    switch (s) {
        case dtString:
            return number || t == dtDate || t == dtBoolean || t == dtTime || t == dtTimeStamp;
        case dtDate:
        case dtTime:
            return t == dtString || t == dtTimeStamp;
        case dtBoolean:
            return t == dtString || IsIntegerType(t) || t == dtBCD;
        case dtSmallInt:
        case dtInteger:
        case dtWord:
        case dtBCD:
            return t == dtString || t == dtBoolean || number;
        case dtFloat:
            return t == dtString || number;
        case dtTimeStamp:
            return t == dtString || t == dtDate || t == dtTime;
        default:
            return false;
    }
}

// Day number of 9999-12-31, the last day a date text can show.
constexpr int32_t LastDateDay = 3652059;

// A day number as a date-time for text; days outside years 1 to 9999 fail, as no text
// holds them.
TDateTime DayToDateTime(int32_t day, int32_t msecs = 0) {
    if (day > LastDateDay)
        throw EConvertError("'" + std::to_string(day) + "." + std::to_string(msecs) +
                            "' is not a valid timestamp");
    return TimeStampToDateTime(TTimeStamp{msecs, day});
}

}  // namespace

bool ConvertFieldValue(TEngineDataType sourceType, int32_t sourceSize, TEngineDataType targetType,
                       int32_t targetSize, void* buffer, uint8_t targetDecimals) {
    const TEngineDataType S = sourceType, T = targetType;
    if (S == 0 || S == dtBlob || S == dtLongWord || S == dtExtended || S > dtVarBytes) return false;
    auto* buf = static_cast<uint8_t*>(buffer);

    // The value aside: strings up to their terminator, others their size (at least the
    // work area, so that fixed forms are always whole).
    std::vector<uint8_t> src;
    std::string text;
    if (S == dtString) {
        size_t len = sourceSize > 0 ? strnlen(reinterpret_cast<const char*>(buf), sourceSize)
                                    : std::strlen(reinterpret_cast<const char*>(buf));
        text.assign(reinterpret_cast<const char*>(buf), len);
        src.assign(text.begin(), text.end());
    } else {
        int32_t n = sourceSize > ConvertBufferSize ? sourceSize : ConvertBufferSize;
        src.assign(buf, buf + n);
    }
    const uint8_t* v = src.data();
    std::memset(buf, 0, ConvertBufferSize);

    try {
        if (IsBytes(S)) {
            // Every type but BLOB takes the bytes up to the smaller size.
            if (T != dtBlob) {
                int32_t width = T == dtString || IsBytes(T) ? targetSize : StoredWidth(T);
                if (width == 0) width = targetSize;
                StoreBytes(buf, width, v, sourceSize);
                if (T == dtString) buf[sourceSize < targetSize ? sourceSize : targetSize] = 0;
            }
            return true;
        }
        if (IsBytes(T)) {
            // Raw bytes of the source's stored form.
            int32_t n = S == dtString ? static_cast<int32_t>(text.size())
                                      : (StoredWidth(S) ? StoredWidth(S) : sourceSize);
            StoreBytes(buf, targetSize, v, n);
            return true;
        }
        // Reported as a value that does not convert, so that a restructure puts it to its
        // caller as a loss instead of storing a zero in its place.
        if (S != T && !Converts(S, T)) return false;
        if (S == T) {
            if (S == dtString)
                StoreText(buf, targetSize, text);
            else if (S == dtBCD)
                Store<int64_t>(buf, EncodeBCD(targetDecimals, DecodeBCD(Load<int64_t>(v))));
            else
                std::memcpy(buf, v, StoredWidth(S));
            return true;
        }
        switch (S) {
            case dtString:
                switch (T) {
                    case dtDate:
                        Store<int32_t>(buf, DateTimeToTimeStamp(StrToDate(text)).Date);
                        break;
                    case dtBoolean:
                        Store<uint16_t>(buf, StrToBoolean(text) ? 1 : 0);
                        break;
                    case dtSmallInt:
                    case dtInteger:
                    case dtWord:
                        StoreInteger(buf, T, StrToInt(text));
                        break;
                    case dtFloat:
                        Store<double>(buf, static_cast<double>(StrToFloat(text)));
                        break;
                    case dtBCD:
                        Store<int64_t>(buf, EncodeBCD(targetDecimals, StrToCurr(text)));
                        break;
                    case dtTime:
                        Store<int32_t>(buf, DateTimeToTimeStamp(StrToTime(text)).Time);
                        break;
                    case dtTimeStamp:
                        Store<double>(buf, TimeStampToMSecs(DateTimeToTimeStamp(StrToDateTime(text))));
                        break;
                }
                break;
            case dtDate: {
                int32_t day = Load<int32_t>(v);
                if (T == dtString) StoreText(buf, targetSize, DateToStr(DayToDateTime(day)));
                if (T == dtTimeStamp) Store<double>(buf, static_cast<double>(day) * MSecsPerDay);
                break;
            }
            case dtBoolean: {
                bool b = Load<uint16_t>(v) != 0;
                if (T == dtString) StoreText(buf, targetSize, BoolToShortStr(b));
                if (IsIntegerType(T)) StoreInteger(buf, T, b ? 1 : 0);
                if (T == dtBCD) Store<int64_t>(buf, EncodeBCD(targetDecimals, Currency::FromInt(b ? 1 : 0)));
                break;
            }
            case dtSmallInt:
            case dtInteger:
            case dtWord: {
                int64_t i = LoadInteger(v, S);
                if (T == dtString) StoreText(buf, targetSize, IntToStr(i));
                if (T == dtBoolean) Store<uint16_t>(buf, i != 0 ? 1 : 0);
                if (IsIntegerType(T)) StoreInteger(buf, T, i);
                if (T == dtFloat) Store<double>(buf, static_cast<double>(i));
                if (T == dtBCD) Store<int64_t>(buf, EncodeBCD(targetDecimals, Currency::FromInt(i)));
                break;
            }
            case dtFloat: {
                double d = Load<double>(v);
                if (T == dtString) StoreText(buf, targetSize, FloatToStr(d));
                if (IsIntegerType(T)) StoreInteger(buf, T, TruncToInt64(d));
                if (T == dtBCD) Store<int64_t>(buf, EncodeBCD(targetDecimals, FloatToCurr(d)));
                break;
            }
            case dtBCD: {
                Currency c = DecodeBCD(Load<int64_t>(v));
                if (T == dtString) StoreText(buf, targetSize, CurrToStr(c));
                if (T == dtBoolean) Store<uint16_t>(buf, c.Units != 0 ? 1 : 0);
                if (IsIntegerType(T)) StoreInteger(buf, T, c.Units / 10000);
                if (T == dtFloat) Store<double>(buf, c.ToDouble());
                break;
            }
            case dtTime: {
                int32_t ms = Load<int32_t>(v);
                if (T == dtString)
                    StoreText(buf, targetSize, TimeToStr(TimeStampToDateTime(TTimeStamp{ms, DateDelta})));
                if (T == dtTimeStamp) Store<double>(buf, static_cast<double>(ms));
                break;
            }
            case dtTimeStamp: {
                TTimeStamp ts = MSecsToTimeStamp(Load<double>(v));
                if (T == dtString) StoreText(buf, targetSize, DateTimeToStr(DayToDateTime(ts.Date, ts.Time)));
                if (T == dtDate) Store<int32_t>(buf, ts.Date);
                if (T == dtTime) Store<int32_t>(buf, ts.Time);
                break;
            }
        }
        return true;
    } catch (const EConvertError&) {
        std::memset(buf, 0, ConvertBufferSize);
        return false;
    }
}

bool StrToDateTimeValue(void* buffer, TEngineDataType type) {
    auto* buf = static_cast<uint8_t*>(buffer);
    std::string text(reinterpret_cast<const char*>(buf));
    TDateTime dt;
    switch (type) {
        case dtDate:
            if (!TryStrToDate(text, dt)) return false;
            Store<int32_t>(buf, DateTimeToTimeStamp(dt).Date);
            return true;
        case dtTime:
            if (!TryStrToTime(text, dt)) return false;
            Store<int32_t>(buf, DateTimeToTimeStamp(dt).Time);
            return true;
        case dtTimeStamp:
            if (!TryStrToDateTime(text, dt)) return false;
            Store<double>(buf, TimeStampToMSecs(DateTimeToTimeStamp(dt)));
            return true;
        default:
            return false;
    }
}

bool IsValidWordStr(const std::string& s) {
    int32_t v;
    return TryStrToInt(s, v) && v >= 0 && v <= 65535;
}

bool IsValidIntegerStr(const std::string& s) {
    int32_t v;
    return TryStrToInt(s, v);
}

bool IsValidSmallIntStr(const std::string& s) {
    int32_t v;
    return TryStrToInt(s, v) && v >= -32768 && v <= 32767;
}

bool IsValidBooleanStr(const std::string& s) {
    try {
        StrToBoolean(s);
        return true;
    } catch (const EConvertError&) {
        return false;
    }
}

bool IsValidFloatStr(const std::string& s) {
    long double v;
    return TryStrToFloat(s, v);
}

bool IsValidCurrencyStr(const std::string& s) {
    Currency v;
    return TryStrToCurr(s, v);
}

bool IsValidDateStr(const std::string& s) {
    TDateTime v;
    return TryStrToDate(s, v);
}

bool IsValidDateTimeStr(const std::string& s) {
    TDateTime v;
    return TryStrToDateTime(s, v);
}

bool IsValidTimeStr(const std::string& s) {
    TDateTime v;
    return TryStrToTime(s, v);
}

bool IsValidFieldValueStr(const std::string& text, TEngineDataType type) {
    if (text.empty() || type == dtString || IsBytes(type)) return true;
    switch (type) {
        case dtBoolean:
            return IsValidBooleanStr(text);
        case dtWord:
            return IsValidWordStr(text);
        case dtSmallInt:
            return IsValidSmallIntStr(text);
        case dtInteger:
            return IsValidIntegerStr(text);
        case dtFloat:
            return IsValidFloatStr(text);
        case dtBCD:
            return IsValidCurrencyStr(text);
        case dtDate:
            return SameText(text, "DATE") || IsValidDateStr(text);
        case dtTime:
            return SameText(text, "TIME") || IsValidTimeStr(text);
        case dtTimeStamp:
            return SameText(text, "NOW") || SameText(text, "DATE") || SameText(text, "TIME") ||
                   IsValidDateStr(text) || IsValidDateTimeStr(text) || IsValidTimeStr(text);
        default:
            return true;
    }
}
