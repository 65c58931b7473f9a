#include "db/storage/ExpressionValidate.h"

#include <algorithm>
#include <cstring>

#include "db/storage/EngineErrors.h"
#include "db/storage/SubSelect.h"

namespace {

bool IsNumeric(uint8_t t) {
    return t == dtSmallInt || t == dtInteger || t == dtFloat || t == dtBCD || t == dtWord;
}
bool IsIntegral(uint8_t t) {
    return t == dtSmallInt || t == dtInteger || t == dtWord;
}
bool IsDateTime(uint8_t t) {
    return t == dtDate || t == dtTime || t == dtTimeStamp;
}
bool IsMemo(uint8_t t, uint8_t st) {
    return t == dtBlob && st == fstMemo;
}
bool IsStringOrMemo(uint8_t t, uint8_t st) {
    return t == dtString || IsMemo(t, st);
}
bool IsStringOrMemo(const TExpToken* n) {
    return IsStringOrMemo(n->DataType, n->SubType);
}

std::string KindWord(const TExpToken* n) {
    switch (n->NodeKind) {
        case nkUnary:
        case nkBinary:
            return "expression";
        case nkColumn:
            return "column";
        case nkConstant:
            return "constant";
        case nkFunction:
            return "function";
        default:
            return "";
    }
}

bool IsConstant(const TExpToken* n) {
    return n && n->NodeKind == nkConstant;
}
bool IsIntegerConstant(const TExpToken* n) {
    return IsConstant(n) && n->DataType == dtInteger;
}
bool IsStringConstant(const TExpToken* n) {
    return IsConstant(n) && n->DataType == dtString;
}
// BETWEEN and IN as messages name them.
const char* ListOperatorName(uint8_t code) {
    return code == opBetween      ? "BETWEEN"
           : code == opNotBetween ? "NOT BETWEEN"
           : code == opInList     ? "IN"
                                  : "NOT IN";
}
// A parameter marker whose value has not been set yet.
bool IsUntypedParameter(const TExpToken* n) {
    return n->IsParameter && n->DataType == 0;
}
// The untyped NULL.
bool IsNullConstant(const TExpToken* n) {
    return IsConstant(n) && n->IsNull && n->DataType == 0;
}

struct TValidator {
    uint16_t ErrorCode;
    const std::string& TableName;
    const std::string& Context;
    const TBindColumnFunc& Bind;
    void* Owner;

    [[noreturn]] void Fail(const std::string& message) const {
        RaiseEngineError(ErrorCode, TableName, "", "", message);
    }
    [[noreturn]] void FailIn(const std::string& fixed) const { Fail(fixed + Context); }

    bool BindColumn(TExpToken* n) const { return Bind && Bind(Owner, n); }

    [[noreturn]] void InvalidColumn(const TExpToken* n) const {
        Fail("Invalid column name '" + n->ColumnName + "'" + " or table correlation name " + "'" +
             n->TableName + "'" + " specified in " + Context);
    }

    // A string constant compared with a date, time or timestamp takes its type.
    [[gnu::noinline]] void ConvertDateString(TExpToken* constant, const TExpToken* other) const {
        if (!StrToDateTimeValue(constant->Value, other->DataType))
            Fail("Date, time, or timestamp expression expected, instead found '" + constant->Text + "'" +
                 " in " + Context);
        constant->DataType = other->DataType;
        constant->SubType = other->SubType;
        constant->SetDataSize(other->DataSize);
        constant->Decimals = other->Decimals;
    }

    static bool RewritesBoolean(const TExpToken* parent) {
        return !parent || parent->Code == opNot || parent->Code == opAnd || parent->Code == opOr;
    }

    // The walk recurses once per level of the tree: the steps that compose messages or
    // hold strings live in functions of their own, so that each level takes little stack.
    void Validate(TExpToken* parent, TExpToken* n, bool makeBool) const;
    [[gnu::noinline]] void TryStringAsColumn(TExpToken* n) const;
    [[gnu::noinline]] void Column(const TExpToken* parent, TExpToken* n, bool makeBool) const;
    [[gnu::noinline]] void SubSelect(TExpToken* n) const;
    [[noreturn, gnu::noinline]] void UnaryMismatch(const TExpToken* n) const;
    [[noreturn, gnu::noinline]] void BinaryMismatch(const TExpToken* l, const TExpToken* r) const;
    void Binary(TExpToken* n, bool makeBool) const;
    void Function(TExpToken* parent, TExpToken* n, bool makeBool) const;
    void Predicate(TExpToken* n) const;
    void CheckListValue(const TExpToken* tested, TExpToken* value, const std::string& op) const;
};

// A quoted text may name a column.
void TValidator::TryStringAsColumn(TExpToken* n) const {
    n->ColumnName = n->Str();
    if (!n->ColumnName.empty() && n->ColumnName != "*") {
        n->SavedType = n->DataType;
        n->SavedSubType = n->SubType;
        n->SavedSize = n->DataSize;
        n->SavedDecimals = n->Decimals;
        if (BindColumn(n)) {
            n->NodeKind = nkColumn;
            n->BoundFromString = 1;
        } else {
            n->ColumnName.clear();
        }
    } else {
        n->ColumnName.clear();
    }
}

void TValidator::Column(const TExpToken* parent, TExpToken* n, bool makeBool) const {
    if (n->ColumnName == "*") return;
    if (!n->BoundFromString && !BindColumn(n)) InvalidColumn(n);
    if (makeBool && n->DataType == dtBoolean && RewritesBoolean(parent)) MakeBooleanComparison(n);
}

void TValidator::SubSelect(TExpToken* n) const {
    if (!n->SubQuery || n->SubQuery->ResultColumnCount() != 1)
        FailIn("More than 1 column for sub-select  specified in ");
    if (!n->SubQuery->BindSubQueryColumn(n)) InvalidColumn(n);
}

void TValidator::UnaryMismatch(const TExpToken* n) const {
    Fail("Type mismatch between '" + n->Text + "'" + " operator and " + "'" + n->First->Text + "'" + " in " +
         Context);
}

void TValidator::BinaryMismatch(const TExpToken* l, const TExpToken* r) const {
    std::string lw = KindWord(l), rw = KindWord(r);
    Fail("Type mismatch between " + lw + " " + "'" + l->Text + "'" + " and " + rw + " " + "'" + r->Text +
         "'" + " in " + Context);
}

void TValidator::Validate(TExpToken* parent, TExpToken* n, bool makeBool) const {
    n->Parent = parent;
    if (n->NodeKind == nkConstant && n->DataType == dtString && !n->IsParameter) TryStringAsColumn(n);
    switch (n->NodeKind) {
        case nkColumn:
            Column(parent, n, makeBool);
            break;
        case nkSubSelect:
            SubSelect(n);
            break;
        case nkUnary:
            Validate(n, n->First, makeBool);
            if (!UnaryAcceptsType(n->Code, n->First->DataType)) UnaryMismatch(n);
            n->DataType = UnaryResultType(n->Code, n->First->DataType);
            n->SubType = UnaryResultSubType(n->Code, n->First->DataType, n->First->SubType);
            n->SetDataSize(n->First->DataSize);
            n->Decimals = n->First->Decimals;
            break;
        case nkBinary:
            Binary(n, makeBool);
            break;
        case nkFunction:
            Function(parent, n, makeBool);
            break;
        case nkPredicate:
            Predicate(n);
            break;
        default:
            break;
    }
}

void TValidator::Binary(TExpToken* n, bool makeBool) const {
    TExpToken* l = n->First;
    TExpToken* r = n->Second;
    Validate(n, l, makeBool);
    Validate(n, r, makeBool);
    // A quoted text compared with a column is a string, not a second column.
    if (l->NodeKind == nkColumn && r->NodeKind == nkColumn) {
        TExpToken* back = r->BoundFromString ? r : l->BoundFromString ? l : nullptr;
        if (back) {
            back->NodeKind = nkConstant;
            back->ColumnName.clear();
            back->BoundFromString = 0;
            back->DataType = back->SavedType;
            back->SubType = back->SavedSubType;
            back->SetDataSize(back->SavedSize);
            back->Decimals = static_cast<uint8_t>(back->SavedDecimals);
        }
    }
    if (l->NodeKind == nkConstant && l->DataType == dtString && IsDateTime(r->DataType)) {
        ConvertDateString(l, r);
    } else if (r->NodeKind == nkConstant && r->DataType == dtString && IsDateTime(l->DataType)) {
        ConvertDateString(r, l);
    }
    // A parameter marker has no type until its value is set, after the statement is
    // prepared: `x > ?` is accepted as `x = ?` always was, and the value meets the column
    // when it is evaluated.
    const bool parameter = IsUntypedParameter(l) || IsUntypedParameter(r);
    if (!parameter && !OperatorAcceptsTypes(n->Code, l->DataType, l->SubType, r->SubType, r->DataType))
        BinaryMismatch(l, r);
    n->DataType = BinaryResultType(n->Code, l->DataType, r->DataType);
    n->SubType = BinaryResultSubType(n->Code, l->DataType, l->SubType, r->SubType, r->DataType);
    if (parameter && n->DataType == 0) {
        // Arithmetic with a marker is of the typed operand's kind.
        const TExpToken* typed = IsUntypedParameter(l) ? r : l;
        n->DataType = typed->DataType;
        n->SubType = typed->SubType;
    }
    if (n->Code == opAdd && (l->DataType == dtString || l->DataType == dtBlob) &&
        (r->DataType == dtString || r->DataType == dtBlob)) {
        n->SetDataSize(l->DataSize - 1 + r->DataSize);
        n->Decimals = 0;
    } else {
        // A result of a fixed form holds all of it, also where it is wider than both
        // operands (the quotient of two integers is an 8-byte float).
        const int32_t width = StoredWidth(n->DataType);
        n->SetDataSize(width ? static_cast<uint32_t>(width) : std::max(l->DataSize, r->DataSize));
        n->Decimals = l->Decimals > r->Decimals ? l->Decimals : r->Decimals;
    }
}

void TValidator::Function(TExpToken* parent, TExpToken* n, bool makeBool) const {
    TExpToken* a = n->First;
    switch (n->Code) {
        case fnSum:
        case fnMin:
        case fnMax:
        case fnAvg:
            Validate(n, a, false);
            if (!(a->DataType == dtDate || IsNumeric(a->DataType) || a->DataType == dtTime ||
                  a->DataType == dtTimeStamp))
                Fail(n->Text + " aggregate function " +
                     "must contain a numeric, date, time, or timestamp expression in " + Context);
            n->DataType = a->DataType;
            n->SubType = a->SubType;
            n->SetDataSize(a->DataSize);
            n->Decimals = a->Decimals;
            break;
        case fnCount:
            Validate(n, a, false);
            n->DataType = dtInteger;
            n->SubType = 0;
            n->SetDataSize(4);
            n->Decimals = 0;
            break;
        case fnUpper:
        case fnLower:
            Validate(n, a, false);
            if (!IsStringOrMemo(a))
                Fail(std::string("Type mismatch between ") + (n->Code == fnUpper ? "UPPER" : "LOWER") +
                     " function and function argument in " + Context);
            n->DataType = a->DataType;
            n->SubType = a->DataType == dtBlob ? fstMemo : 0;
            n->SetDataSize(a->DataSize);
            n->Decimals = 0;
            break;
        case fnSubstring: {
            Validate(n, a, false);
            if (!IsStringOrMemo(a))
                FailIn("Expression argument of SUBSTRING function must be a string or memo in ");
            TExpToken* from = n->Second;
            TExpToken* count = from ? from->Second : nullptr;
            if (from) from->Parent = n;
            if (!IsIntegerConstant(from))
                FailIn("FROM argument of SUBSTRING function must be an integer constant in ");
            if (from->Get<int32_t>() < 1)
                FailIn("FROM argument of SUBSTRING function must be an integer constant greater than 0 in ");
            if (count) {
                count->Parent = n;
                if (!IsIntegerConstant(count))
                    FailIn("FOR argument of SUBSTRING function must be an integer constant in ");
                if (count->Get<int32_t>() < 1)
                    FailIn(
                        "FOR argument of SUBSTRING function must be an integer constant greater than 0 in ");
            }
            n->DataType = a->DataType;
            n->SubType = a->DataType == dtBlob ? fstMemo : 0;
            // The characters from FROM to the end and the terminator; with FOR, FOR + 1 but
            // never more than that (a huge FOR must not size the buffer by itself).
            int64_t size = static_cast<int64_t>(a->DataSize) - from->Get<int32_t>() + 1;
            if (size < 1) size = 1;
            if (count && static_cast<int64_t>(count->Get<int32_t>()) + 1 < size)
                size = count->Get<int32_t>() + 1;
            n->SetDataSize(static_cast<uint32_t>(size));
            n->Decimals = 0;
            break;
        }
        case fnReplace: {
            Validate(n, a, false);
            if (!IsStringOrMemo(a)) FailIn("IN argument of REPLACE function must be a string or memo in ");
            TExpToken* search = n->Second;
            TExpToken* with = search ? search->Second : nullptr;
            if (!IsStringConstant(search))
                FailIn("Search argument of REPLACE function must be a string constant in ");
            if (!IsStringConstant(with))
                FailIn("WITH argument of REPLACE function must be a string constant in ");
            search->Parent = with->Parent = n;
            n->DataType = a->DataType;
            n->SubType = a->DataType == dtBlob ? fstMemo : 0;
            n->SetDataSize(a->DataSize);
            // A longer replacement makes a longer string: sized by the most it can make (up
            // to the 250 characters of a string expression), a result column keeps it whole.
            const size_t from = std::strlen(search->Str()), to = std::strlen(with->Str());
            if (a->DataType == dtString && a->DataSize > 0 && from > 0 && to > from) {
                const uint64_t chars = a->DataSize - 1;
                const uint64_t most = chars / from * to + chars % from;
                n->SetDataSize(
                    static_cast<uint32_t>(std::min<uint64_t>(most, std::max<uint64_t>(chars, 250)) + 1));
            }
            n->Decimals = 0;
            break;
        }
        case fnPos:
        case fnOccurs: {
            const std::string name = n->Code == fnPos ? "POS" : "OCCURS";
            Validate(n, a, false);
            if (!IsStringOrMemo(a)) FailIn("Type mismatch between " + name + " function and IN argument in ");
            if (!IsStringConstant(n->Second))
                FailIn("Search string argument of " + name + " function must be a string constant in ");
            n->Second->Parent = n;
            n->DataType = dtInteger;
            n->SubType = 0;
            n->SetDataSize(4);
            n->Decimals = 0;
            break;
        }
        case fnTrimLeading:
        case fnTrimTrailing:
        case fnTrimBoth: {
            Validate(n, a, false);
            if (!IsStringOrMemo(a)) FailIn("FROM argument of TRIM function must be a string or memo in ");
            TExpToken* c = n->Second;
            if (!IsStringConstant(c) || c->IsNull || std::strlen(c->Str()) != 1)
                FailIn("Trim character argument of TRIM function must be a single character constant in ");
            c->Parent = n;
            n->DataType = a->DataType;
            n->SubType = a->DataType == dtBlob ? fstMemo : 0;
            n->SetDataSize(a->DataSize);
            n->Decimals = 0;
            break;
        }
        case fnCast:
            Validate(n, a, false);
            if (!CastAcceptsType(n->DataType, a->DataType))
                Fail("Type mismatch between " + KindWord(a) + " " + "'" + a->Text + "'" +
                     " and AS argument in " + Context);
            ValidateCastArguments(ErrorCode, TableName, Context, n);
            if (makeBool && n->DataType == dtBoolean && RewritesBoolean(parent)) MakeBooleanComparison(n);
            break;
        case fnExtractYear:
        case fnExtractMonth:
        case fnExtractDay:
        case fnExtractDayOfWeek:
        case fnExtractHour:
        case fnExtractMinute:
        case fnExtractSecond:
            Validate(n, a, false);
            if (!IsDateTime(a->DataType))
                FailIn("FROM argument of EXTRACT function must be a date, time, or timestamp in ");
            n->DataType = dtInteger;
            n->SubType = 0;
            n->SetDataSize(4);
            n->Decimals = 0;
            break;
        case fnIf: {
            Validate(n, a, true);
            if (a->DataType != dtBoolean)
                FailIn("First expression argument of IF function must be a boolean type in ");
            TExpToken* t = n->Second;
            TExpToken* e = n->Third;
            Validate(n, t, false);
            Validate(n, e, false);
            bool tn = IsNullConstant(t), en = IsNullConstant(e);
            if (tn && en)
                Fail("At least one of the second and third IF expression arguments in " + Context +
                     " must be a non-NULL value");
            for (auto [null, other] : {std::pair{t, e}, std::pair{e, t}}) {
                if (IsNullConstant(null)) {
                    null->DataType = other->DataType;
                    null->SubType = other->SubType;
                    null->SetDataSize(other->DataSize);
                    null->Decimals = other->Decimals;
                }
            }
            if (t->DataType != e->DataType || t->SubType != e->SubType)
                FailIn("Type mismatch between second and third IF expression arguments in ");
            n->DataType = t->DataType;
            n->SubType = t->SubType;
            n->SetDataSize(t->DataSize > e->DataSize ? t->DataSize : e->DataSize);
            n->Decimals = t->Decimals > e->Decimals ? t->Decimals : e->Decimals;
            if (makeBool && n->DataType == dtBoolean && RewritesBoolean(parent)) MakeBooleanComparison(n);
            break;
        }
        case fnAbs:
            Validate(n, a, false);
            if (!IsNumeric(a->DataType))
                FailIn("Expression argument of ABS function must be an integer or floating-point type in ");
            n->DataType = a->DataType;
            n->SubType = a->SubType;
            n->SetDataSize(a->DataSize);
            n->Decimals = a->Decimals;
            break;
        case fnRound: {
            Validate(n, a, false);
            if (a->DataType != dtFloat && a->DataType != dtBCD)
                FailIn("Expression argument of ROUND function must be a floating-point type in ");
            if (TExpToken* places = n->Second) {
                places->Parent = n;
                if (!IsIntegerConstant(places))
                    FailIn("Decimal places argument of ROUND function must be an integer constant in ");
                int32_t p = places->Get<int32_t>();
                if (p < 0 || p > 32)
                    FailIn(
                        "Decimal places argument of ROUND function must be an integer constant between 0 and "
                        "32 in ");
            }
            n->DataType = dtFloat;
            n->SubType = 0;
            n->SetDataSize(8);
            n->Decimals = 0;
            break;
        }
        default:
            break;
    }
}

void TValidator::CheckListValue(const TExpToken* tested, TExpToken* v, const std::string& op) const {
    if (!IsConstantValue(v))
        Fail("Constant expression expected after " + op + " operator, " + "instead found " + "'" + v->Text +
             "'" + " in " + Context);
    if (IsDateTime(tested->DataType) && IsStringConstant(v)) ConvertDateString(v, tested);
    if (!OperatorAcceptsTypes(opEqual, tested->DataType, tested->SubType, v->SubType, v->DataType))
        Fail("Type mismatch between " + op + " operator and expression " + "'" + v->Text + "'" + " in " +
             Context);
}

void TValidator::Predicate(TExpToken* n) const {
    n->DataType = dtBoolean;
    n->SubType = 0;
    n->SetDataSize(2);
    TExpToken* x = n->First;
    Validate(n, x, false);
    switch (n->Code) {
        case opLike:
        case opNotLike: {
            const std::string op = n->Code == opLike ? "LIKE" : "NOT LIKE";
            auto mismatch = [&](const TExpToken* t) {
                Fail("Type mismatch between " + op + " operator and expression " + "'" + t->Text + "'" +
                     " in " + Context);
            };
            if (!IsStringOrMemo(x)) mismatch(x);
            TExpToken* p = n->Second;
            p->Parent = n;
            if (!IsConstant(p))
                Fail("Constant expression expected after " + op + " operator, " + "instead found " + "'" +
                     p->Text + "'" + " in " + Context);
            if (p->DataType != dtString) mismatch(p);
            break;
        }
        case opBetween:
        case opNotBetween:
        case opInList:
        case opNotInList: {
            const std::string op = ListOperatorName(n->Code);
            for (TExpToken* v = n->Second; v; v = v->Second) {
                v->Parent = n;
                CheckListValue(x, v, op);
            }
            break;
        }
        case opInSelect:
        case opNotInSelect: {
            TExpToken* h = n->Second;
            Validate(n, h, false);
            if (!OperatorAcceptsTypes(opEqual, x->DataType, x->SubType, h->SubType, h->DataType))
                Fail(std::string("Type mismatch between ") + (n->Code == opInSelect ? "IN" : "NOT IN") +
                     " operator and expression " + "'" + x->Text + "'" + " in " + Context);
            break;
        }
        default:
            break;
    }
}

}  // namespace

void ValidateExpression(uint16_t errorCode, const std::string& tableName, const std::string& context,
                        bool makeBooleanComparisons, const TBindColumnFunc& bindColumn, void* owner,
                        TExpToken* parent, TExpToken* node) {
    if (!node) return;
    TValidator v{errorCode, tableName, context, bindColumn, owner};
    v.Validate(parent, node, makeBooleanComparisons);
}

void MeetParameterValues(uint16_t errorCode, const std::string& context, TExpToken* root) {
    const std::string noTable;
    const TBindColumnFunc noBind;
    const TValidator v{errorCode, noTable, context, noBind, nullptr};
    const auto hasValue = [](const TExpToken* n) { return n->IsParameter && n->DataType != 0 && !n->IsNull; };
    const auto typed = [](const TExpToken* n) { return !n->IsParameter && n->DataType != 0; };
    std::vector<TExpToken*> pending{root};
    while (!pending.empty()) {
        TExpToken* n = pending.back();
        pending.pop_back();
        if (!n) continue;
        const uint8_t code = n->Code & 0x7F;
        if (n->NodeKind == nkBinary && code >= opEqual && code <= opLessEqual) {
            TExpToken *l = n->First, *r = n->Second;
            if ((hasValue(l) && typed(r)) || (hasValue(r) && typed(l))) {
                TExpToken* marker = hasValue(l) ? l : r;
                const TExpToken* other = marker == l ? r : l;
                if (marker->DataType == dtString && IsDateTime(other->DataType))
                    v.ConvertDateString(marker, other);
                if (!OperatorAcceptsTypes(n->Code, l->DataType, l->SubType, r->SubType, r->DataType))
                    v.BinaryMismatch(l, r);
            }
        } else if (n->NodeKind == nkPredicate &&
                   (code == opBetween || code == opNotBetween || code == opInList || code == opNotInList)) {
            if (typed(n->First))
                for (TExpToken* value = n->Second; value; value = value->Second)
                    if (hasValue(value)) v.CheckListValue(n->First, value, ListOperatorName(code));
        }
        pending.push_back(n->Third);
        pending.push_back(n->Second);
        pending.push_back(n->First);
    }
}

bool OperatorAcceptsTypes(uint8_t code, uint8_t lt, uint8_t lst, uint8_t rst, uint8_t rt) {
    code &= 0x7F;
    const bool rNull = rt == 0;
    switch (code) {
        case opEqual:
        case opNotEqual:
            if (lt == dtString || IsMemo(lt, lst)) return rNull || IsStringOrMemo(rt, rst);
            if (lt == dtDate || lt == dtTimeStamp) return rNull || rt == dtDate || rt == dtTimeStamp;
            if (lt == dtBlob) return rNull;
            if (lt == dtBoolean) return rNull || rt == dtBoolean;
            if (IsNumeric(lt)) return rNull || IsNumeric(rt);
            if (lt == dtTime) return rNull || rt == dtTime;
            return false;
        case opGreater:
        case opLess:
        case opGreaterEqual:
        case opLessEqual:
            if (IsStringOrMemo(lt, lst)) return IsStringOrMemo(rt, rst);
            if (lt == dtDate || lt == dtTimeStamp) return rt == dtDate || rt == dtTimeStamp;
            if (IsNumeric(lt)) return IsNumeric(rt);
            if (lt == dtTime) return rt == dtTime;
            return false;
        case opAnd:
        case opOr:
            return lt == dtBoolean && rt == dtBoolean;
        case opAdd:
            if (IsStringOrMemo(lt, lst)) return IsStringOrMemo(rt, rst);
            if (IsDateTime(lt)) return IsIntegral(rt);
            if (IsIntegral(lt)) return IsNumeric(rt) || IsDateTime(rt);
            if (lt == dtFloat || lt == dtBCD) return IsNumeric(rt);
            return false;
        case opSubtract:
            if (lt == dtDate) return rt == dtDate || IsIntegral(rt);
            if (IsNumeric(lt)) return IsNumeric(rt);
            if (lt == dtTime) return rt == dtTime || IsIntegral(rt);
            if (lt == dtTimeStamp) return IsDateTime(rt) || IsIntegral(rt);
            return false;
        case opMultiply:
        case opDivide:
            return IsNumeric(lt) && IsNumeric(rt);
        default:
            return false;
    }
}

bool UnaryAcceptsType(uint8_t code, uint8_t type) {
    switch (code) {
        case opIsNull:
        case opIsNotNull:
        case opNot:
            return type == dtBoolean;
        case opNegate:
            return type == dtDate || type == dtSmallInt || type == dtInteger || type == dtFloat ||
                   type == dtBCD || type == dtTime || type == dtTimeStamp;
        case opPlusSign:
            return type == dtDate || type == dtSmallInt || type == dtInteger || type == dtFloat ||
                   type == dtBCD || type == dtTime || type == dtTimeStamp || type == dtWord;
        default:
            return false;
    }
}

uint8_t UnaryResultType(uint8_t code, uint8_t type) {
    switch (code) {
        case opIsNull:
        case opIsNotNull:
        case opNot:
            return dtBoolean;
        case opNegate:
        case opPlusSign:
            return type;
        default:
            return 0;
    }
}

uint8_t UnaryResultSubType(uint8_t code, uint8_t /*type*/, uint8_t subType) {
    return code == opNegate || code == opPlusSign ? subType : 0;
}

uint8_t BinaryResultType(uint8_t code, uint8_t l, uint8_t r) {
    switch (code) {
        case opEqual:
        case opNotEqual:
        case opGreater:
        case opLess:
        case opGreaterEqual:
        case opLessEqual:
        case opAnd:
        case opOr:
            return dtBoolean;
        default:
            break;
    }
    if (code < opAdd || code > opDivide) return 0;
    // Arithmetic shared by + - * / on numbers.
    if (IsIntegral(l) && (r == dtFloat || r == dtBCD) && code != opDivide) return r;
    if (l == dtFloat && IsNumeric(r)) return dtFloat;
    if (l == dtBCD && (IsIntegral(r) || r == dtBCD)) return dtBCD;
    if (l == dtBCD && r == dtFloat) return dtFloat;
    switch (code) {
        case opAdd:
            if (l == dtString && r == dtString) return dtString;
            if (l == dtString && r == dtBlob) return dtBlob;
            if (l == dtBlob && (r == dtString || r == dtBlob)) return dtBlob;
            if (IsDateTime(l) && IsIntegral(r)) return l;
            if (IsIntegral(l) && IsDateTime(r)) return r;
            if (IsIntegral(l) && IsIntegral(r)) return dtInteger;
            return 0;
        case opSubtract:
            if (l == dtDate && r == dtDate) return dtInteger;
            if (l == dtDate && IsIntegral(r)) return dtDate;
            if ((l == dtSmallInt || l == dtInteger) && IsIntegral(r)) return dtInteger;
            if (l == dtWord && IsIntegral(r)) return dtWord;
            if (l == dtTime && IsIntegral(r)) return dtTime;
            if (l == dtTime && r == dtTime) return dtInteger;
            if (l == dtTimeStamp && (r == dtDate || r == dtTime)) return dtInteger;
            if (l == dtTimeStamp && IsIntegral(r)) return dtTimeStamp;
            if (l == dtTimeStamp && r == dtTimeStamp) return dtFloat;
            return 0;
        case opMultiply:
            if (IsIntegral(l) && IsIntegral(r)) return dtInteger;
            return 0;
        case opDivide:
            if (IsIntegral(l) && (IsIntegral(r) || r == dtFloat)) return dtFloat;
            if (IsIntegral(l) && r == dtBCD) return dtBCD;
            return 0;
        default:
            return 0;
    }
}

uint8_t BinaryResultSubType(uint8_t code, uint8_t lt, uint8_t lst, uint8_t rst, uint8_t rt) {
    const bool money = (lst == 0 && rst == fstMoney) || (lst == fstMoney && IsNumeric(rt));
    switch (code) {
        case opAdd:
            if (lt == dtString) return rt == dtBlob ? fstMemo : 0;
            if (lt == dtBlob) return fstMemo;
            return money ? fstMoney : 0;
        case opMultiply:
            return money ? fstMoney : 0;
        case opSubtract:
        case opDivide:
            return lst == fstMoney && IsNumeric(rt) ? fstMoney : 0;
        default:
            return 0;
    }
}

bool CastAcceptsType(uint8_t target, uint8_t s) {
    switch (target) {
        case dtString:
        case dtBytes:
            return s <= dtWord && s != dtBlob;
        case dtDate:
            return s == dtString || s == dtDate || s == dtBytes || s == dtTimeStamp;
        case dtBlob:
            return s == dtBlob;
        case dtBoolean:
            return s == dtString || s == dtBoolean || s == dtSmallInt || s == dtInteger || s == dtBCD ||
                   s == dtBytes || s == dtWord;
        case dtSmallInt:
        case dtWord:
            return s == dtString || s == dtBoolean || IsNumeric(s) || s == dtBytes;
        case dtInteger:
        case dtFloat:
        case dtBCD:
            return s == dtString || IsNumeric(s) || s == dtBytes;
        case dtTime:
            return s == dtString || s == dtBytes || s == dtTime || s == dtTimeStamp;
        case dtTimeStamp:
            return s == dtString || s == dtDate || s == dtBytes || s == dtTime || s == dtTimeStamp;
        default:
            return false;
    }
}

void ValidateCastArguments(uint16_t errorCode, const std::string& tableName, const std::string& context,
                           TExpToken* n) {
    auto failIn = [&](const std::string& fixed) {
        RaiseEngineError(errorCode, tableName, "", "", fixed + context);
    };
    TExpToken* a1 = n->Second;
    TExpToken* a2 = a1 ? a1->Second : nullptr;
    auto isInt = [](const TExpToken* a) { return a && a->DataType == dtInteger; };
    auto length = [&](uint32_t fallback) -> int64_t {
        if (!a1) return n->First ? n->First->DataSize : fallback;
        if (!isInt(a1)) failIn("Length argument must be an integer in ");
        return a1->Get<int32_t>();
    };
    auto lengthRange = [&]() {
        failIn(std::string("Length argument must be an integer greater than 0 and less than or equal to ") +
               "250" + " in ");
    };
    switch (n->DataType) {
        case dtString:
            if (a1) {
                int64_t len = length(10);
                if (len < 1 || len > 250) lengthRange();
                n->SetDataSize(static_cast<uint32_t>(len) + 1);
            } else {
                n->SetDataSize(n->First ? n->First->DataSize : 10);
            }
            break;
        case dtDate:
        case dtInteger:
        case dtTime:
            n->SetDataSize(4);
            break;
        case dtBoolean:
        case dtSmallInt:
        case dtWord:
            n->SetDataSize(2);
            break;
        case dtTimeStamp:
            n->SetDataSize(8);
            break;
        case dtFloat:
        case dtBCD:
            n->SetDataSize(8);
            if (a2) {
                if (!isInt(a2)) failIn("Scale argument must be an integer in ");
                int32_t scale = a2->Get<int32_t>();
                if (n->DataType == dtBCD && scale > 4)
                    failIn(
                        "Scale argument must be an integer less than or equal to 4 for the BCD data type ");
                n->Decimals = static_cast<uint8_t>(scale);
            }
            break;
        case dtBytes: {
            int64_t len = length(10);
            if (len < 1 || len > 250) lengthRange();
            n->SetDataSize(static_cast<uint32_t>(len));
            break;
        }
        case dtBlob: {
            if (n->First) n->SetDataSize(n->First->DataSize);
            if (!isInt(a1)) failIn("First BLOB type argument must be an integer with the value of 0 in ");
            if (!isInt(a2)) failIn("BLOB type argument must be an integer in ");
            int64_t sub = static_cast<int64_t>(a2->Get<int32_t>()) + 21;
            if (sub != 22 && sub != 23 && sub != 24 && sub != 26 && sub != 28)
                failIn("BLOB type argument must be an integer equal to 1,2,3,5, or 7 in ");
            n->SubType = static_cast<uint8_t>(sub);
            break;
        }
        default:
            break;
    }
}

void MakeBooleanComparison(TExpToken* node) {
    TExpTree truth = NewExpTree();
    truth->NodeKind = nkConstant;
    truth->Text = "True";
    truth->DataType = dtBoolean;
    truth->SetDataSize(2);
    truth->Set<uint16_t>(1);
    truth->Parent = node;
    TExpTree copy = NewExpTree();
    copy->Assign(*node);
    // The copy now shares node's operands: node takes both new nodes at once, so that
    // every operand has exactly one owner again.
    node->First = copy.release();
    node->Second = truth.release();
    node->Third = nullptr;
    TExpToken* left = node->First;
    left->Parent = node;
    for (TExpToken* c : {left->First, left->Second, left->Third})
        if (c) c->Parent = left;

    node->NodeKind = nkBinary;
    node->Code = opEqual;
    node->Text = "=";
    node->ColumnName.clear();
    node->TableName.clear();
    std::memset(node->BindBytes, 0, sizeof node->BindBytes);
    node->BindWord = 0;
    node->BindLong1 = node->BindLong2 = 0;
    node->SubQuery = nullptr;
    node->IsNull = 0;
    node->BoundFromString = 0;
    node->DataType = dtBoolean;
    node->SubType = 0;
    node->SetDataSize(2);
    node->Decimals = 0;
}

namespace {

// Unary and binary nodes look at their operands, IF at all three, other functions and
// predicates at First only.
bool TreeHas(const TExpToken* n, bool (*hit)(const TExpToken*)) {
    if (!n) return false;
    if (hit(n)) return true;
    switch (n->NodeKind) {
        case nkUnary:
            return TreeHas(n->First, hit);
        case nkBinary:
        case nkPartialCompare:
            return TreeHas(n->First, hit) || TreeHas(n->Second, hit);
        case nkFunction:
            if (n->Code == fnIf)
                return TreeHas(n->First, hit) || TreeHas(n->Second, hit) || TreeHas(n->Third, hit);
            return TreeHas(n->First, hit);
        case nkPredicate:
            return TreeHas(n->First, hit);
        default:
            return false;
    }
}

}  // namespace

bool ExpressionHasColumns(const TExpToken* n) {
    return TreeHas(n, [](const TExpToken* t) { return t->NodeKind == nkColumn; });
}

bool ExpressionHasAggregates(const TExpToken* n) {
    return TreeHas(n, [](const TExpToken* t) {
        return t->NodeKind == nkFunction && t->Code >= fnSum && t->Code <= fnAvg;
    });
}

bool ExpressionIsDisjunction(const TExpToken* n) {
    if (!n) return false;
    if (n->NodeKind == nkBinary && n->Code == opOr) return true;
    if (n->NodeKind == nkUnary && n->Code == opNot) return !ExpressionIsDisjunction(n->First);
    return false;
}

bool ExpressionHasNot(const TExpToken* n) {
    if (!n) return false;
    if (n->NodeKind == nkUnary) return n->Code == opNot;
    // A root binary node has no parent to ask.
    if (n->NodeKind == nkBinary) return n->Parent ? ExpressionHasNot(n->Parent) : false;
    return false;
}
