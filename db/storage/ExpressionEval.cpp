#include "db/storage/ExpressionEval.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <vector>

#include "db/storage/EngineErrors.h"
#include "db/storage/LanguageSettings.h"
#include "db/storage/RecordsBitmap.h"
#include "db/storage/SubSelect.h"
#include "platform/rtl/DateFormat.h"
#include "platform/rtl/ScopeGuard.h"

namespace {

bool IsIntegral(uint8_t t) {
    return t == dtSmallInt || t == dtInteger || t == dtWord;
}
bool IsStringLike(uint8_t t) {
    return t == dtString || t == dtBlob;
}
// Day number and milliseconds of a timestamp; nonsense values give day 0.
TTimeStamp SplitStamp(double ms) {
    if (!(ms > -1e17 && ms < 1e17)) return TTimeStamp{};
    return MSecsToTimeStamp(ms);
}

int64_t IntOf(const TExpToken* t) {
    switch (t->DataType) {
        case dtSmallInt:
            return t->Get<int16_t>();
        case dtWord:
        case dtBoolean:
            return t->Get<uint16_t>();
        case dtFloat:
        case dtTimeStamp: {
            double d = t->Get<double>();
            if (!(d == d)) return 0;
            if (d >= 9.2e18) return INT64_MAX;
            if (d <= -9.2e18) return INT64_MIN;
            return static_cast<int64_t>(std::trunc(d));
        }
        case dtBCD:
            return DecodeBCD(t->Get<int64_t>()).Units / 10000;
        default:
            return t->Get<int32_t>();
    }
}

double FloatOf(const TExpToken* t) {
    switch (t->DataType) {
        case dtFloat:
        case dtTimeStamp:
            return t->Get<double>();
        case dtBCD:
            return DecodeBCD(t->Get<int64_t>()).ToDouble();
        default:
            return static_cast<double>(IntOf(t));
    }
}

Currency CurrOf(const TExpToken* t) {
    if (t->DataType == dtBCD) return DecodeBCD(t->Get<int64_t>());
    if (t->DataType == dtFloat) {
        double u = t->Get<double>() * 10000.0;
        if (!(u > -CurrencyUnitsLimit && u < CurrencyUnitsLimit))
            return Currency::FromUnits(u > 0 ? INT64_MAX : INT64_MIN);
        return Currency::FromUnits(std::llround(u));
    }
    return Currency::FromInt(IntOf(t));
}

void ZeroValue(TExpToken* r) {
    if (r->Value && r->BufferSize > 0) std::memset(r->Value, 0, r->BufferSize);
}

void SetNull(TExpToken* r) {
    ZeroValue(r);
    r->IsNull = 1;
}

void SetBool(TExpToken* r, bool b) {
    r->IsNull = 0;
    r->Set<uint16_t>(b ? 1 : 0);
}

// An integer into the result's stored form.
void StoreInt(TExpToken* r, int64_t v) {
    r->IsNull = 0;
    switch (r->DataType) {
        case dtSmallInt:
            r->Set<int16_t>(static_cast<int16_t>(v));
            break;
        case dtWord:
        case dtBoolean:
            r->Set<uint16_t>(static_cast<uint16_t>(v));
            break;
        case dtFloat:
        case dtTimeStamp:
            r->Set<double>(static_cast<double>(v));
            break;
        case dtBCD:
            r->Set<int64_t>(EncodeBCD(r->Decimals, Currency::FromInt(v)));
            break;
        default:
            r->Set<int32_t>(static_cast<int32_t>(static_cast<uint32_t>(v)));
            break;
    }
}

// The source's whole value (buffer, size and NULL flag) into the result.
void TakeValue(TExpToken* r, const TExpToken* s) {
    if (r->BufferSize < s->BufferSize) r->SetBufferSize(s->BufferSize);
    ZeroValue(r);
    std::memcpy(r->Value, s->Value, s->BufferSize);
    r->DataSize = s->DataSize;
    r->IsNull = s->IsNull;
}

// A zero-terminated text into the result; empty text is NULL where the function says so.
void StoreText(TExpToken* r, const char* s, size_t len, bool emptyIsNull) {
    if (static_cast<int64_t>(len) + 1 > r->BufferSize) r->SetBufferSize(static_cast<int32_t>(len) + 1);
    ZeroValue(r);
    std::memcpy(r->Value, s, len);
    r->Value[len] = 0;
    // A memo's size is that of its text; a string's stays its type's.
    if (r->DataType == dtBlob) r->DataSize = static_cast<uint32_t>(len) + 1;
    r->IsNull = emptyIsNull && len == 0 ? 1 : 0;
}

// Negative, zero or positive; the types were checked by validation.
int CompareValues(TExpToken* l, TExpToken* r, uint16_t sortID, uint16_t languageID) {
    const uint8_t lt = l->DataType, rt = r->DataType;
    auto sign = [](auto a, auto b) { return a < b ? -1 : a > b ? 1 : 0; };
    if (IsStringLike(lt) || IsStringLike(rt))
        return CompareStrLocale(languageID, sortID, l->Str(), false, 0, r->Str());
    if (lt == dtBoolean || rt == dtBoolean)
        return (l->Get<uint16_t>() != 0) == (r->Get<uint16_t>() != 0) ? 0 : 1;
    if ((lt == dtDate && rt == dtDate) || (lt == dtTime && rt == dtTime))
        return sign(l->Get<int32_t>(), r->Get<int32_t>());
    if (lt == dtDate || lt == dtTimeStamp || rt == dtDate || rt == dtTimeStamp) {
        auto ms = [](const TExpToken* t) {
            return t->DataType == dtDate ? static_cast<double>(t->Get<int32_t>()) * MSecsPerDay
                                         : t->Get<double>();
        };
        return sign(ms(l), ms(r));
    }
    if (lt == dtFloat || rt == dtFloat) {
        // A value that is not a number equals no number and orders above every one, as its key
        // image does in an index.
        const double a = FloatOf(l), b = FloatOf(r);
        if (std::isnan(a) || std::isnan(b)) return int(std::isnan(a)) - int(std::isnan(b));
        return sign(a, b);
    }
    if (lt == dtBCD || rt == dtBCD) return sign(CurrOf(l), CurrOf(r));
    return sign(IntOf(l), IntOf(r));
}

bool CompareResult(uint8_t code, int c) {
    switch (code) {
        case opEqual:
            return c == 0;
        case opNotEqual:
            return c != 0;
        case opGreater:
            return c > 0;
        case opLess:
            return c < 0;
        case opGreaterEqual:
            return c >= 0;
        case opLessEqual:
            return c <= 0;
        default:
            return false;
    }
}

// Date, time and timestamp arithmetic; false when neither operand is one of them.
bool DateArithmetic(uint8_t code, TExpToken* l, TExpToken* r, TExpToken* res) {
    const uint8_t lt = l->DataType, rt = r->DataType;
    auto isDT = [](uint8_t t) { return t == dtDate || t == dtTime || t == dtTimeStamp; };
    if (!isDT(lt) && !isDT(rt)) return false;
    auto shiftDays = [&](double ms, int64_t days) {
        TTimeStamp ts = SplitStamp(ms);
        ts.Date = static_cast<int32_t>(static_cast<uint32_t>(ts.Date + days));
        res->IsNull = 0;
        res->Set<double>(TimeStampToMSecs(ts));
    };
    if (code == opAdd) {
        const TExpToken* d = isDT(lt) ? l : r;
        const TExpToken* n = isDT(lt) ? r : l;
        if (d->DataType == dtTimeStamp) {
            shiftDays(d->Get<double>(), IntOf(n));
        } else {
            StoreInt(res, static_cast<int64_t>(d->Get<int32_t>()) + IntOf(n));
        }
        return true;
    }
    if (code != opSubtract) return false;
    if (lt == dtTimeStamp) {
        double ms = l->Get<double>();
        if (rt == dtTimeStamp) {
            res->IsNull = 0;
            res->Set<double>(ms - r->Get<double>());
        } else if (rt == dtDate) {
            StoreInt(res, static_cast<int64_t>(SplitStamp(ms).Date) - r->Get<int32_t>());
        } else if (rt == dtTime) {
            StoreInt(res, static_cast<int64_t>(SplitStamp(ms).Time) - r->Get<int32_t>());
        } else {
            shiftDays(ms, -IntOf(r));
        }
        return true;
    }
    int64_t right = isDT(rt) ? r->Get<int32_t>() : IntOf(r);
    StoreInt(res, static_cast<int64_t>(l->Get<int32_t>()) - right);
    return true;
}

// One of + - * / on values of one form; false for a division by zero.
template <class T, class Mul>
bool Operate(uint8_t code, const T& a, const T& b, bool zeroDivisor, T& v, Mul multiply) {
    switch (code) {
        case opAdd:
            v = a + b;
            return true;
        case opSubtract:
            v = a - b;
            return true;
        case opMultiply:
            v = multiply(a, b);
            return true;
        default:
            if (zeroDivisor) return false;
            v = a / b;
            return true;
    }
}

// The exact result of + - * / of two currency values, in units (a division by zero is
// left to Operate and gives 0 here).
long double CurrencyResultUnits(uint8_t code, Currency a, Currency b) {
    const long double x = static_cast<long double>(a.Units), y = static_cast<long double>(b.Units);
    long double units = 0;
    switch (code) {
        case opAdd:
            units = x + y;
            break;
        case opSubtract:
            units = x - y;
            break;
        case opMultiply:
            units = x * y / 10000;
            break;
        default:
            if (b.Units != 0) units = x * 10000 / y;
            break;
    }
    return units;
}

// A BCD result that a currency cannot hold, or the BCD form cannot pack at its scale, is
// refused as a currency conversion refuses it: cut to 64 bits it would be another number.
[[noreturn]] void RaiseBcdOutOfRange(long double units) {
    throw EConvertError(FloatToStr(double(units / 10000)) + " is not a valid currency value");
}

void Arithmetic(uint8_t code, TExpToken* l, TExpToken* r, TExpToken* res) {
    if (DateArithmetic(code, l, r, res)) return;
    const uint8_t type = res->DataType                                        ? res->DataType
                         : (l->DataType == dtFloat || r->DataType == dtFloat) ? dtFloat
                                                                              : l->DataType;
    if (type == dtFloat) {
        double a = FloatOf(l), b = FloatOf(r), v = 0;
        // Like a division by zero, an operation with no numeric result (inf - inf) gives
        // NULL: a stored NaN would compare one way through an index and another without.
        if (!Operate(code, a, b, b == 0.0, v, std::multiplies<>()) || std::isnan(v)) return SetNull(res);
        res->IsNull = 0;
        res->Set<double>(v);
        return;
    }
    if (type == dtBCD) {
        Currency a = CurrOf(l), b = CurrOf(r), v;
        const long double units = CurrencyResultUnits(code, a, b);
        if (std::fabs(units) >= CurrencyUnitsLimit) RaiseBcdOutOfRange(units);
        if (!Operate(code, a, b, b.Units == 0, v, std::multiplies<>())) return SetNull(res);
        uint8_t scale = 0;
        if (l->DataType == dtBCD) scale = l->Decimals;
        if (r->DataType == dtBCD && r->Decimals > scale) scale = r->Decimals;
        if (!FitsBCD(scale, v)) RaiseBcdOutOfRange(units);
        res->IsNull = 0;
        res->Set<int64_t>(EncodeBCD(scale, RoundCurrency(scale, v)));
        return;
    }
    // 32-bit integer arithmetic (computed wide, stored in the result's width).
    int64_t a = IntOf(l), b = IntOf(r), v = 0;
    auto multiply32 = [](int64_t x, int64_t y) {
        return static_cast<int64_t>(static_cast<int32_t>(x)) * static_cast<int32_t>(y);
    };
    if (!Operate(code, a, b, b == 0, v, multiply32)) return SetNull(res);
    StoreInt(res, v);
}

struct TEvaluator {
    void* Record;
    void* Owner;
    uint16_t SortID;
    uint16_t LanguageID;
    const TGetColumnValueFunc& GetColumnValue;

    // One call per level of the tree; the work of each kind is a function of its own so
    // that a level takes little stack.
    TExpTree Eval(TExpToken* n) const;
    [[gnu::noinline]] void Column(const TExpToken* n, TExpToken* res) const;
    [[gnu::noinline]] void Unary(TExpToken* n, TExpToken* res) const;
    [[gnu::noinline]] void Binary(TExpToken* n, TExpToken* res) const;
    void Function(TExpToken* n, TExpToken* res) const;
    void Predicate(TExpToken* n, TExpToken* res) const;
    bool EqualsRule(uint8_t code, TExpToken* l, TExpToken* r) const {
        TExpTree t = NewExpTree();
        EvaluateBinaryOperator(code, l, r, SortID, LanguageID, t.get());
        return t->Get<uint16_t>() != 0;
    }
};

TExpTree TEvaluator::Eval(TExpToken* n) const {
    TExpTree res = NewExpTree();
    res->Assign(*n);
    res->First = res->Second = res->Third = nullptr;
    TExpToken* r = res.get();
    switch (n->NodeKind) {
        case nkColumn:
            Column(n, r);
            break;
        case nkUnary:
            Unary(n, r);
            break;
        case nkBinary:
        case nkPartialCompare:
            Binary(n, r);
            break;
        case nkFunction:
            Function(n, r);
            break;
        case nkPredicate:
            ZeroValue(r);
            Predicate(n, r);
            break;
        default:  // constants and sub-select holders: the copy is the value
            break;
    }
    r->NodeKind = n->NodeKind == nkSubSelect ? nkColumn : nkConstant;
    return res;
}

void TEvaluator::Column(const TExpToken* n, TExpToken* r) const {
    if (GetColumnValue) {
        GetColumnValue(Owner, Record, r);
    } else if (n->BoundFromString) {
        // No row to read from: the quoted text the node was written as, of its own type.
        r->DataType = n->SavedType;
        r->SubType = n->SavedSubType;
        r->DataSize = n->SavedSize;
        r->Decimals = static_cast<uint8_t>(n->SavedDecimals);
    } else {
        RaiseEngineError(ZIZIVU_SQLERROR, "", "", "",
                         "Internal error: Column '" + n->ColumnName + "'" + " specified illegally");
    }
}

void TEvaluator::Unary(TExpToken* n, TExpToken* r) const {
    TExpTree a = Eval(n->First);
    ZeroValue(r);
    EvaluateUnaryOperator(n->Code, a.get(), r);
}

// Binary operators and partial comparisons.
void TEvaluator::Binary(TExpToken* n, TExpToken* r) const {
    ZeroValue(r);
    if (n->NodeKind == nkPartialCompare) {
        TExpTree left = Eval(n->First);
        TExpTree right = Eval(n->Second);
        if (IsStringLike(left->DataType))
            EvaluatePartialCompare(n->Code, n->CompareLength, n->CaseInsensitive != 0, SortID, LanguageID, r,
                                   right.get(), left.get());
        else
            EvaluateBinaryOperator(n->Code, left.get(), right.get(), SortID, LanguageID, r);
        return;
    }
    r->IsNull = 0;
    if (n->Code == opAnd || n->Code == opOr) {
        // The right operand first: it alone may decide.
        TExpTree right = Eval(n->Second);
        uint16_t rv = right->Get<uint16_t>();
        if ((n->Code == opAnd && rv == 0) || (n->Code == opOr && rv != 0)) return SetBool(r, rv != 0);
        TExpTree left = Eval(n->First);
        EvaluateBinaryOperator(n->Code, left.get(), right.get(), SortID, LanguageID, r);
        return;
    }
    TExpTree left = Eval(n->First);
    TExpTree right = Eval(n->Second);
    if (n->Code == opAdd && IsStringLike(left->DataType) && IsStringLike(right->DataType)) {
        int64_t size = static_cast<int64_t>(left->DataSize) - 1 + right->DataSize;
        r->SetDataSize(static_cast<uint32_t>(size < 1 ? 1 : size));
        r->Decimals = 0;
    }
    EvaluateBinaryOperator(n->Code, left.get(), right.get(), SortID, LanguageID, r);
}

void TEvaluator::Function(TExpToken* n, TExpToken* r) const {
    switch (n->Code) {
        case fnSum:
        case fnCount:
        case fnMin:
        case fnMax:
        case fnAvg: {
            // The aggregation itself is the SQL processor's.
            TExpTree a = Eval(n->First);
            TakeValue(r, a.get());
            return;
        }
        case fnUpper:
        case fnLower: {
            TExpTree a = Eval(n->First);
            StoreText(r, a->Str(), std::strlen(a->Str()), false);
            if (n->Code == fnUpper)
                UpperCaseLocale(LanguageID, SortID, r->Str(), r->Str());
            else
                LowerCaseLocale(LanguageID, SortID, r->Str(), r->Str());
            r->IsNull = r->Str()[0] == 0 ? 1 : 0;
            return;
        }
        case fnSubstring: {
            TExpTree a = Eval(n->First);
            const char* s = a->Str();
            const size_t len = std::strlen(s);
            const int64_t from = n->Second->Get<int32_t>();
            const TExpToken* forArg = n->Second->Second;
            size_t count = 0;
            if (from >= 1 && static_cast<size_t>(from) <= len) {
                count = len - static_cast<size_t>(from) + 1;
                if (forArg) {
                    int64_t f = forArg->Get<int32_t>();
                    if (f < 0) f = 0;
                    if (static_cast<size_t>(f) < count) count = static_cast<size_t>(f);
                }
            }
            StoreText(r, count ? s + from - 1 : "", count, true);
            return;
        }
        case fnReplace: {
            TExpTree a = Eval(n->First);
            const char* search = n->Second->Str();
            const char* with = n->Second->Second->Str();
            int32_t len = StrReplaceLength(search, with, a->Str());
            std::vector<char> out(static_cast<size_t>(len) + 1);
            StrReplace(search, with, a->Str(), out.data());
            size_t actual = std::strlen(out.data());
            StoreText(r, out.data(), actual, true);
            if (r->DataSize < actual + 1) r->SetDataSize(static_cast<uint32_t>(actual) + 1);
            return;
        }
        case fnPos:
        case fnOccurs: {
            TExpTree a = Eval(n->First);
            const char* sub = n->Second->Str();
            int32_t v = n->Code == fnPos ? StrPosIndex(sub, a->Str()) : StrCount(sub, a->Str());
            ZeroValue(r);
            r->IsNull = 0;
            r->Set<int32_t>(v);
            return;
        }
        case fnTrimLeading:
        case fnTrimTrailing:
        case fnTrimBoth: {
            TExpTree a = Eval(n->First);
            StoreText(r, a->Str(), std::strlen(a->Str()), false);
            char c = n->Second->Str()[0];
            if (n->Code == fnTrimLeading)
                TrimLeftChar(r->Str(), c);
            else if (n->Code == fnTrimTrailing)
                TrimRightChar(r->Str(), c);
            else
                TrimChar(r->Str(), c);
            if (r->DataType == dtBlob) r->DataSize = static_cast<uint32_t>(std::strlen(r->Str())) + 1;
            r->IsNull = r->Str()[0] == 0 ? 1 : 0;
            return;
        }
        case fnCast: {
            TExpTree a = Eval(n->First);
            const uint32_t size = n->DataSize;
            if (a->IsNull) return SetNull(r);
            if (a->DataType == dtBlob) {
                if (n->DataType == dtBlob) {
                    // BLOB bytes as they are, whole.
                    TakeValue(r, a.get());
                    return;
                }
                // A string target cut to its size.
                if (static_cast<int64_t>(size) + 1 > r->BufferSize)
                    r->SetBufferSize(static_cast<int32_t>(size) + 1);
                ZeroValue(r);
                uint32_t n2 = a->DataSize < size ? a->DataSize : size;
                if (static_cast<int64_t>(n2) > a->BufferSize) n2 = static_cast<uint32_t>(a->BufferSize);
                std::memcpy(r->Value, a->Value, n2);
                if (size > 0) r->Value[size - 1] = 0;
                r->IsNull = 0;
                return;
            }
            // Work area: at least 251 bytes and room for the source and the target.
            size_t work = ConvertBufferSize;
            size_t srcBytes = a->DataType == dtString ? std::strlen(a->Str()) + 1 : a->DataSize;
            if (srcBytes > static_cast<size_t>(a->BufferSize)) srcBytes = a->BufferSize;
            work = std::max<size_t>(work, std::max<size_t>(a->DataSize, srcBytes) + 1);
            work = std::max<size_t>(work, static_cast<size_t>(size) + 1);
            std::vector<uint8_t> buf(work, 0);
            std::memcpy(buf.data(), a->Value, srcBytes);
            if (!ConvertFieldValue(a->DataType, static_cast<int32_t>(a->DataSize), n->DataType,
                                   static_cast<int32_t>(size), buf.data(), n->Decimals))
                return SetNull(r);
            if (static_cast<int64_t>(size) > r->BufferSize) r->SetBufferSize(static_cast<int32_t>(size));
            ZeroValue(r);
            std::memcpy(r->Value, buf.data(), size);
            if (n->DataType == dtString && size > 0) r->Value[size - 1] = 0;
            r->IsNull = 0;
            return;
        }
        case fnExtractYear:
        case fnExtractMonth:
        case fnExtractDay:
        case fnExtractDayOfWeek:
        case fnExtractHour:
        case fnExtractMinute:
        case fnExtractSecond: {
            TExpTree a = Eval(n->First);
            int32_t day = 0, ms = -1;
            if (a->DataType == dtDate) {
                day = a->Get<int32_t>();
            } else if (a->DataType == dtTime) {
                ms = a->Get<int32_t>();
            } else {
                TTimeStamp ts = SplitStamp(std::round(a->Get<double>()));
                day = ts.Date;
                ms = ts.Time;
            }
            int32_t v = 0;
            constexpr int32_t LastDay = 3652059;  // 9999-12-31
            if (day >= 1 && day <= LastDay && n->Code <= fnExtractDayOfWeek) {
                TDateTime dt = TimeStampToDateTime(TTimeStamp{0, day});
                int y, m, d;
                DecodeDate(dt, y, m, d);
                v = n->Code == fnExtractYear    ? y
                    : n->Code == fnExtractMonth ? m
                    : n->Code == fnExtractDay   ? d
                                                : DayOfWeek(dt);
            } else if (ms >= 0 && n->Code >= fnExtractHour) {
                int32_t secs = ms / 1000;
                v = n->Code == fnExtractHour     ? secs / 3600
                    : n->Code == fnExtractMinute ? secs / 60 % 60
                                                 : secs % 60;
            }
            ZeroValue(r);
            r->IsNull = 0;
            r->Set<int32_t>(v);
            return;
        }
        case fnIf: {
            TExpTree c = Eval(n->First);
            TExpTree v = Eval(c->Get<uint16_t>() != 0 ? n->Second : n->Third);
            TakeValue(r, v.get());
            r->DataSize = n->DataSize;
            return;
        }
        case fnAbs: {
            TExpTree a = Eval(n->First);
            ZeroValue(r);
            r->IsNull = 0;
            switch (a->DataType) {
                case dtSmallInt: {
                    int16_t v = a->Get<int16_t>();
                    r->Set<int16_t>(v < 0 ? static_cast<int16_t>(-static_cast<int32_t>(v)) : v);
                    break;
                }
                case dtInteger: {
                    int32_t v = a->Get<int32_t>();
                    r->Set<int32_t>(v < 0 ? static_cast<int32_t>(0u - static_cast<uint32_t>(v)) : v);
                    break;
                }
                case dtFloat:
                    r->Set<double>(std::fabs(a->Get<double>()));
                    break;
                case dtBCD: {
                    Currency c = DecodeBCD(a->Get<int64_t>());
                    r->Set<int64_t>(EncodeBCD(a->Decimals, c.Units < 0 ? -c : c));
                    break;
                }
                default:
                    r->Set<uint16_t>(a->Get<uint16_t>());
                    break;
            }
            return;
        }
        case fnRound: {
            TExpTree a = Eval(n->First);
            int32_t places = n->Second ? n->Second->Get<int32_t>() : 0;
            if (places < 0) places = 0;
            ZeroValue(r);
            r->IsNull = 0;
            r->Set<double>(RoundFloat(static_cast<uint8_t>(places), FloatOf(a.get())));
            return;
        }
        default:
            return;
    }
}

void TEvaluator::Predicate(TExpToken* n, TExpToken* r) const {
    bool result = false;
    bool negate = false;
    switch (n->Code) {
        case opLike:
        case opNotLike: {
            negate = n->Code == opNotLike;
            TExpTree text = Eval(n->First);
            TExpTree pattern = Eval(n->Second);
            result = !text->IsNull && !pattern->IsNull &&
                     MatchesLikePattern(LanguageID, SortID, text->Str(), pattern->Str());
            break;
        }
        case opInList:
        case opNotInList: {
            negate = n->Code == opNotInList;
            TExpTree x = Eval(n->First);
            for (TExpToken* v = n->Second; v && !result; v = v->Second) {
                TExpTree value = Eval(v);
                result = EqualsRule(opEqual, x.get(), value.get());
            }
            break;
        }
        case opInSelect:
        case opNotInSelect: {
            negate = n->Code == opNotInSelect;
            TSubQuery* q = n->Second ? n->Second->SubQuery : nullptr;
            TExpTree x = Eval(n->First);
            TExpTree h = Eval(n->Second);
            if (q) {
                // The result token becomes First = Second for the sub-select's filter.
                const uint8_t kind = r->NodeKind, code = r->Code;
                r->NodeKind = nkBinary;
                r->Code = opEqual;
                r->First = x.get();
                r->Second = h.get();
                {
                    TScopeGuard detach([r] { r->First = r->Second = nullptr; });
                    q->SetSubQueryFilter(r);
                }
                r->NodeKind = kind;
                r->Code = code;
                result = q->GetRecordCount() > 0;
            }
            break;
        }
        case opBetween:
        case opNotBetween: {
            negate = n->Code == opNotBetween;
            TExpTree x = Eval(n->First);
            TExpTree low = Eval(n->Second);
            if (EqualsRule(opGreaterEqual, x.get(), low.get())) {
                TExpTree high = Eval(n->Second->Second);
                result = EqualsRule(opLessEqual, x.get(), high.get());
            }
            break;
        }
        default:
            break;
    }
    SetBool(r, negate ? !result : result);
}

// Preparation of a copy of the tree.
struct TPreparer {
    void* Owner;
    const TGetColumnValueFunc& GetColumnValue;
    bool NoPartialCompare;
    bool CaseInsensitive;
    uint16_t SortID;
    uint16_t LanguageID;

    TExpTree Copy(const TExpToken* n) const {
        TExpTree c = NewExpTree();
        c->Assign(*n);
        c->First = c->Second = c->Third = nullptr;
        return c;
    }
    void Adopt(TExpToken* parent, TExpToken*& slot, TExpTree child) const {
        slot = child.release();
        if (slot) slot->Parent = parent;
    }
    TExpTree ToType(const TExpToken* target, TExpToken* value) const {
        return EvaluateToType(target, value, Owner, SortID, LanguageID, GetColumnValue);
    }
    TExpTree Prepare(const TExpToken* n) const;
    [[gnu::noinline]] bool PrefixCompare(const TExpToken* n, TExpToken* p) const;
};

TExpTree TPreparer::Prepare(const TExpToken* n) const {
    if (!n) return TExpTree();
    TExpTree c = Copy(n);
    TExpToken* p = c.get();
    if (PrefixCompare(n, p)) return c;
    const bool comparison = n->NodeKind == nkBinary && n->Code >= opEqual && n->Code <= opLessEqual;
    if (comparison && IsConstantValue(n->Second)) {
        Adopt(p, p->First, Prepare(n->First));
        Adopt(p, p->Second, ToType(n->First, n->Second));
        return c;
    }
    if (n->NodeKind == nkPredicate &&
        (n->Code == opInList || n->Code == opNotInList || n->Code == opBetween || n->Code == opNotBetween)) {
        Adopt(p, p->First, Prepare(n->First));
        TExpToken** slot = &p->Second;
        for (TExpToken* v = n->Second; v; v = v->Second) {
            Adopt(p, *slot, ToType(n->First, v));
            slot = &(*slot)->Second;
        }
        return c;
    }
    if (n->NodeKind == nkFunction && n->Code == fnIf) {
        Adopt(p, p->First, CloneExpressionTree(n->First));
        Adopt(p, p->Second, CloneExpressionTree(n->Second));
        Adopt(p, p->Third, CloneExpressionTree(n->Third));
        return c;
    }
    Adopt(p, p->First, Prepare(n->First));
    Adopt(p, p->Second, Prepare(n->Second));
    Adopt(p, p->Third, Prepare(n->Third));
    return c;
}

// = and <> against a string constant ending in '*' (or with the case-insensitive option),
// and LIKE with a single trailing '%', become partial comparisons in the copy p.
bool TPreparer::PrefixCompare(const TExpToken* n, TExpToken* p) const {
    const TExpToken* k = n->Second;
    if (!k || k->NodeKind != nkConstant || k->DataType != dtString) return false;
    if (n->NodeKind == nkBinary && (n->Code == opEqual || n->Code == opNotEqual)) {
        const std::string s = k->Str();
        const bool star = !s.empty() && s.back() == '*';
        if (!star && !CaseInsensitive) return false;
        p->NodeKind = nkPartialCompare;
        p->CaseInsensitive = CaseInsensitive ? 1 : 0;
        Adopt(p, p->First, Prepare(n->First));
        TExpTree right = CloneExpressionTree(k);
        if (star && !NoPartialCompare) {
            p->CompareLength = static_cast<uint32_t>(s.size() - 1);
            right->Str()[s.size() - 1] = 0;
        } else {
            p->CompareLength = 0;
        }
        Adopt(p, p->Second, std::move(right));
        return true;
    }
    if (n->NodeKind == nkPredicate && (n->Code == opLike || n->Code == opNotLike) && !k->IsNull) {
        const std::string s = k->Str();
        if (s.size() <= 1 || s.find('%') != s.size() - 1 || s.find('_') != std::string::npos) return false;
        p->NodeKind = nkPartialCompare;
        p->Code = n->Code == opLike ? opEqual : opNotEqual;
        p->CaseInsensitive = 0;
        p->CompareLength = static_cast<uint32_t>(s.size() - 1);
        Adopt(p, p->First, Prepare(n->First));
        TExpTree pattern = CloneExpressionTree(k);
        pattern->Str()[s.size() - 1] = 0;
        Adopt(p, p->Second, std::move(pattern));
        return true;
    }
    return false;
}

bool IsNullTest(const TExpToken* n) {
    auto isNullConst = [](const TExpToken* t) { return t && t->NodeKind == nkConstant && t->IsNull; };
    return n->NodeKind == nkBinary && (n->Code == opEqual || n->Code == opNotEqual) &&
           (isNullConst(n->First) || isNullConst(n->Second));
}

}  // namespace

TExpTree EvaluateExpression(TExpToken* node, void* record, void* owner, uint16_t sortID, uint16_t languageID,
                            const TGetColumnValueFunc& getColumnValue) {
    TEvaluator e{record, owner, sortID, languageID, getColumnValue};
    return e.Eval(node);
}

void EvaluateUnaryOperator(uint8_t code, TExpToken* a, TExpToken* r) {
    switch (code) {
        case opIsNull:
            return SetBool(r, a->IsNull != 0);
        case opIsNotNull:
            return SetBool(r, a->IsNull == 0);
        case opNot:
            return SetBool(r, a->Get<uint16_t>() == 0);
        case opNegate:
        case opPlusSign: {
            if (a->IsNull) return SetNull(r);
            TakeValue(r, a);
            const bool neg = code == opNegate;
            switch (a->DataType) {
                case dtSmallInt:
                    if (neg) r->Set<int16_t>(static_cast<int16_t>(-static_cast<int32_t>(a->Get<int16_t>())));
                    break;
                case dtDate:
                case dtInteger:
                case dtTime:
                    if (neg)
                        r->Set<int32_t>(static_cast<int32_t>(0u - static_cast<uint32_t>(a->Get<int32_t>())));
                    break;
                case dtFloat:
                case dtTimeStamp:
                    if (neg) r->Set<double>(-a->Get<double>());
                    break;
                case dtBCD: {
                    Currency c = DecodeBCD(a->Get<int64_t>());
                    r->Set<int64_t>(EncodeBCD(a->Decimals, neg ? -c : c));
                    break;
                }
                case dtWord:
                    if (neg) r->Set<uint16_t>(static_cast<uint16_t>(0u - a->Get<uint16_t>()));
                    break;
                default:
                    break;
            }
            return;
        }
        default:
            return;
    }
}

void EvaluateBinaryOperator(uint8_t code, TExpToken* l, TExpToken* r, uint16_t sortID, uint16_t languageID,
                            TExpToken* res) {
    const bool ln = l->IsNull != 0, rn = r->IsNull != 0;
    switch (code) {
        case opEqual:
            if (ln || rn) return SetBool(res, ln && rn);
            return SetBool(res, CompareValues(l, r, sortID, languageID) == 0);
        case opNotEqual:
            if (ln || rn) return SetBool(res, !(ln && rn));
            return SetBool(res, CompareValues(l, r, sortID, languageID) != 0);
        case opGreater:
        case opLess:
        case opGreaterEqual:
        case opLessEqual:
            if (ln || rn) return SetBool(res, false);
            return SetBool(res, CompareResult(code, CompareValues(l, r, sortID, languageID)));
        case opAnd:
            return SetBool(res, l->Get<uint16_t>() != 0 && r->Get<uint16_t>() != 0);
        case opOr:
            return SetBool(res, l->Get<uint16_t>() != 0 || r->Get<uint16_t>() != 0);
        case opAdd:
            if (IsStringLike(l->DataType) || IsStringLike(r->DataType)) {
                // NULL counts as empty; the result is never NULL.
                std::string s = std::string(ln ? "" : l->Str()) + (rn ? "" : r->Str());
                uint32_t size = res->DataSize;
                StoreText(res, s.c_str(), s.size(), false);
                // A string keeps its type's size; a memo's is that of its text (StoreText).
                if (res->DataType != dtBlob)
                    res->DataSize = size > s.size() ? size : static_cast<uint32_t>(s.size()) + 1;
                return;
            }
            [[fallthrough]];
        case opSubtract:
        case opMultiply:
        case opDivide:
            if (ln || rn) return SetNull(res);
            return Arithmetic(code, l, r, res);
        default:
            return;
    }
}

void EvaluatePartialCompare(uint8_t code, uint32_t compareLength, bool caseInsensitive, uint16_t sortID,
                            uint16_t languageID, TExpToken* res, TExpToken* right, TExpToken* left) {
    const bool ln = left->IsNull != 0, rn = right->IsNull != 0;
    if (code == opEqual && (ln || rn)) return SetBool(res, ln && rn);
    if (code == opNotEqual && (ln || rn)) return SetBool(res, !(ln && rn));
    // Past both terminators a prefix compares nothing more.
    size_t longest = std::max(std::strlen(left->Str()), std::strlen(right->Str())) + 1;
    if (compareLength > longest) compareLength = static_cast<uint32_t>(longest);
    int c = CompareStrLocale(languageID, sortID, left->Str(), caseInsensitive,
                             static_cast<int32_t>(compareLength), right->Str());
    SetBool(res, code == opEqual ? c == 0 : c != 0);
}

// A number packed as BCD at the scale, in place. Exactly, only when the packed value
// compares as the number did: a float compared with a BCD compares as a float, anything
// else as currency. False leaves the value untouched.
static bool ToBCD(uint8_t scale, TExpToken* v, bool exact) {
    int64_t packed;
    try {
        packed = v->DataType == dtFloat ? EncodeScaledFloat(scale, v->Get<double>())
                                        : EncodeBCD(scale, RoundCurrency(scale, CurrOf(v)));
        if (exact) {
            Currency back = DecodeBCD(packed);
            // Beyond 2^53 units two currencies may share one double.
            constexpr int64_t exactUnits = int64_t(1) << 53;
            if (v->DataType == dtFloat ? back.ToDouble() != v->Get<double>() || back.Units > exactUnits ||
                                             back.Units < -exactUnits
                                       : back.Units != CurrOf(v).Units)
                return false;
        }
    } catch (const EConvertError&) {
        return false;
    }
    v->Set<int64_t>(packed);
    return true;
}

void ConvertValueToType(const TExpToken* target, TExpToken* v) {
    ConvertValueToType(target, v, TConvertMode::Exact);
}

void ConvertValueToType(const TExpToken* target, TExpToken* v, TConvertMode mode) {
    if (v->IsNull || v->DataType == dtString) return;
    const uint8_t t = target->DataType, s = v->DataType;
    const bool number = IsIntegral(s) || s == dtFloat || s == dtBCD;
    const bool exact = mode == TConvertMode::Exact;
    // A number the target cannot hold is left as it is: it then compares by its own value
    // instead of wrapping into one that may match.
    const double whole =
        number ? (s == dtFloat ? std::trunc(v->Get<double>()) : static_cast<double>(IntOf(v))) : 0;
    // Exactly, an integer target takes only whole numbers.
    const bool integral = !exact || !number ||
                          (s == dtFloat ? whole == v->Get<double>()
                           : s == dtBCD ? CurrOf(v).Units % 10000 == 0
                                        : true);
    auto fits = [&](double lo, double hi) { return integral && whole >= lo && whole <= hi; };
    bool converted = true;
    if (t == dtDate && s == dtTimeStamp) {
        TTimeStamp stamp = SplitStamp(v->Get<double>());
        if (exact && stamp.Time != 0)
            converted = false;
        else
            v->Set<int32_t>(stamp.Date);
    } else if (t == dtSmallInt && number && fits(INT16_MIN, INT16_MAX)) {
        v->Set<int16_t>(static_cast<int16_t>(whole));
    } else if (t == dtWord && number && fits(0, UINT16_MAX)) {
        v->Set<uint16_t>(static_cast<uint16_t>(whole));
    } else if (t == dtInteger && number && fits(INT32_MIN, INT32_MAX)) {
        v->Set<int32_t>(static_cast<int32_t>(whole));
    } else if (t == dtFloat && number) {
        // Comparisons with a float compare as floats, so this never changes an answer.
        v->Set<double>(FloatOf(v));
    } else if (t == dtBCD && number && whole >= -922337203685476.0 && whole <= 922337203685476.0) {
        converted = ToBCD(target->Decimals, v, exact);
    } else if (t == dtTimeStamp && s == dtDate) {
        v->Set<double>(static_cast<double>(v->Get<int32_t>()) * MSecsPerDay);
    } else {
        converted = t == s;
    }
    if (converted) {
        v->DataType = target->DataType;
        v->SubType = target->SubType;
        // A BLOB's value keeps the size of its bytes: a BLOB field's own size is that of its
        // reference in the record, and a value cut to it would equal every other value that
        // begins alike.
        if (s != dtBlob) v->SetDataSize(target->DataSize);
        v->Decimals = target->Decimals;
    }
}

TExpTree EvaluateToType(const TExpToken* target, TExpToken* node, void* owner, uint16_t sortID,
                        uint16_t languageID, const TGetColumnValueFunc& getColumnValue) {
    TExpTree v = EvaluateExpression(node, nullptr, owner, sortID, languageID, getColumnValue);
    ConvertValueToType(target, v.get());
    return v;
}

TExpTree PrepareExpressionTree(TExpToken* node, void* owner, const TGetColumnValueFunc& getColumnValue,
                               bool noPartialCompare, bool caseInsensitive, uint16_t sortID,
                               uint16_t languageID) {
    TPreparer p{owner, getColumnValue, noPartialCompare, caseInsensitive, sortID, languageID};
    TExpTree c = p.Prepare(node);
    if (c && node) c->Parent = node->Parent;
    return c;
}

namespace {

// Works on a slot of the tree: the reference is the root's or a parent's operand slot.
bool CheckConditionSlot(TExpToken*& node) {
    if (!node) return false;
    TExpToken* n = node;
    if (IsNullTest(n)) {
        FreeExpressionTree(node);
        return true;
    }
    if (n->NodeKind == nkBinary || n->NodeKind == nkPartialCompare) {
        bool l = CheckConditionSlot(n->First);
        bool r = CheckConditionSlot(n->Second);
        if (l && r) {
            FreeExpressionTree(node);
            return true;
        }
        if (l || r) {
            // The remaining operand takes the node's place.
            TExpToken* other = l ? n->Second : n->First;
            TExpToken* parent = n->Parent;
            n->Assign(*other);
            n->Parent = parent;
            for (TExpToken* c : {n->First, n->Second, n->Third})
                if (c) c->Parent = n;
            other->First = other->Second = other->Third = nullptr;
            DisposeExpToken(other);
        }
        return false;
    }
    if (n->NodeKind == nkUnary) {
        if (CheckConditionSlot(n->First)) {
            FreeExpressionTree(node);
            return true;
        }
        return false;
    }
    if (n->NodeKind == nkFunction && n->Code == fnIf) {
        bool a = CheckConditionSlot(n->First);
        bool b = CheckConditionSlot(n->Second);
        bool c = CheckConditionSlot(n->Third);
        if (a || b || c) {
            FreeExpressionTree(node);
            return true;
        }
    }
    return false;
}

}  // namespace

bool CheckConditionTree(TExpTree& tree) {
    // The root may be dropped; what is left (also after a failure, which leaves one
    // consistent tree) goes back to the holder.
    struct TPutBack {
        TExpTree& Tree;
        TExpToken*& Root;
        ~TPutBack() { Tree.reset(Root); }
    };
    TExpToken* root = tree.release();
    TPutBack putBack{tree, root};
    return CheckConditionSlot(root);
}

// Both walk Second in a loop: IN lists chain their values through it and may be long.
TExpTree CloneExpressionTree(const TExpToken* node) {
    TExpTree root;
    TExpToken** slot = nullptr;
    TExpToken* parent = nullptr;
    for (const TExpToken* s = node; s; s = s->Second) {
        TExpTree c = NewExpTree();
        c->Assign(*s);
        c->First = c->Second = c->Third = nullptr;
        if (parent) c->Parent = parent;
        TExpToken* p = c.get();
        if (!root)
            root = std::move(c);
        else
            *slot = c.release();
        for (auto [src, dst] : {std::pair{s->First, &p->First}, std::pair{s->Third, &p->Third}}) {
            *dst = CloneExpressionTree(src).release();
            if (*dst) (*dst)->Parent = p;
        }
        slot = &p->Second;
        parent = p;
    }
    return root;
}

bool ExpressionTreesEqual(const TExpToken* a, const TExpToken* b) {
    for (; a && b; a = a->Second, b = b->Second)
        if (!a->IsEqual(*b) || !ExpressionTreesEqual(a->First, b->First) ||
            !ExpressionTreesEqual(a->Third, b->Third))
            return false;
    return !a && !b;
}

bool MatchesLikePattern(uint16_t languageID, uint16_t sortID, const char* text, const char* pattern) {
    size_t t = 0, p = 0;
    bool haveMark = false;
    size_t markP = 0, markT = 0;
    for (;;) {
        // A rest of nothing but '%' ("%%" as much as "%") matches any rest of text.
        if (pattern[p] == '%' && pattern[p + std::strspn(pattern + p, "%")] == 0) return true;
        bool mismatch = false;
        if (text[t] == 0 && pattern[p] != 0) {
            mismatch = true;
        } else if (text[t] == 0 && pattern[p] == 0) {
            return true;
        } else if (pattern[p] == '%') {
            haveMark = true;
            markP = p;
            markT = t;
            ++p;
            continue;
        } else if (pattern[p] == '_') {
            ++p;
            ++t;
            continue;
        } else if (pattern[p] != 0 && CompareCharLocale(languageID, sortID, pattern[p], text[t]) == 0) {
            ++p;
            ++t;
            continue;
        } else {
            mismatch = true;
        }
        if (mismatch) {
            // Retry from the last '%' one character further into the text.
            if (!haveMark || text[markT] == 0) return false;
            p = markP;
            t = markT + 1;
            haveMark = false;
        }
    }
}

TRecordsBitmap* NewRecordsBitmap() {
    if (TRecordsBitmapStack* pool = RecordsBitmapStack()) return pool->Pop();
    return new TRecordsBitmap();
}

void DisposeRecordsBitmap(TRecordsBitmap*& bitmap) {
    if (!bitmap) return;
    if (TRecordsBitmapStack* pool = RecordsBitmapStack()) {
        pool->Push(bitmap);
    } else {
        delete bitmap;
        bitmap = nullptr;
    }
}
