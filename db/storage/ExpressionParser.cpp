#include "db/storage/ExpressionParser.h"

#include <cfloat>
#include <cstring>
#include <vector>

#include "db/storage/EngineErrors.h"
#include "db/storage/FileLayer.h"
#include "platform/rtl/DateFormat.h"
#include "platform/rtl/SysUtils.h"

namespace {

// Deeper nesting is refused before it can exhaust the stack.
constexpr int32_t MaxNestingDepth = 256;
// Validation, evaluation and preparation walk a tree recursively: a deeper tree (a long
// chain such as a OR b OR ... of thousands of terms) is refused when parsed.
constexpr int32_t MaxTreeDepth = 1000;

// Every word TExpressionParser::Function answers to (in any case); keep the two together.
// clang-format off
constexpr const char* FunctionWords[] = {
    "SUM", "AVG", "MIN", "MAX", "COUNT", "LOWER", "UPPER", "ABS", "SUBSTRING", "REPLACE", "POS", "OCCURS",
    "CAST", "TRIM", "EXTRACT", "ROUND", "IF", "TRUE", "FALSE", "NULL",
    "CURRENT_DATE", "CURRENT_TIME", "CURRENT_TIMESTAMP"};
// clang-format on

// Keywords compare in ASCII case only.
char AsciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
}

// Whether a word can be one of them by its length and upper-cased first letter: column
// names mostly cannot, and are spared the upper-casing and the comparisons.
bool MayBeFunctionWord(const std::string& word) {
    struct TMasks {
        uint32_t Lengths = 0;
        uint32_t Letters = 0;
    };
    static constexpr TMasks masks = [] {
        TMasks m;
        for (const char* w : FunctionWords) {
            m.Lengths |= 1u << std::char_traits<char>::length(w);
            m.Letters |= 1u << (w[0] - 'A');
        }
        return m;
    }();
    if (word.empty() || word.size() >= 32 || !(masks.Lengths >> word.size() & 1)) return false;
    const char c = AsciiUpper(word[0]);
    return c >= 'A' && c <= 'Z' && (masks.Letters >> (c - 'A') & 1);
}

// The recursion depth the tree walkers need. Values chained in a list (through the Second
// of a constant, column or sign: IN values, BETWEEN bounds, function arguments) are walked
// in loops and add nothing.
int32_t TreeDepth(const TExpToken* root) {
    struct TItem {
        const TExpToken* Node;
        int32_t Depth;
    };
    std::vector<TItem> pending{{root, 1}};
    int32_t deepest = 0;
    while (!pending.empty()) {
        TItem item = pending.back();
        pending.pop_back();
        const TExpToken* n = item.Node;
        if (!n) continue;
        if (item.Depth > deepest) deepest = item.Depth;
        const bool chained = n->NodeKind == nkConstant || n->NodeKind == nkColumn || n->NodeKind == nkUnary;
        if (n->First) pending.push_back({n->First, item.Depth + 1});
        if (n->Second) pending.push_back({n->Second, chained ? item.Depth : item.Depth + 1});
        if (n->Third) pending.push_back({n->Third, item.Depth + 1});
    }
    return deepest;
}

bool IsBlank(char c) {
    auto b = static_cast<uint8_t>(c);
    return b >= 1 && b <= 32;
}

// One character of every doubled quote (either kind) is dropped.
std::string UndoubleQuotes(const std::string& s) {
    std::string r;
    r.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        r += s[i];
        if ((s[i] == '\'' || s[i] == '"') && i + 1 < s.size() && s[i + 1] == s[i]) ++i;
    }
    return r;
}

TExpTree NewNode(uint8_t kind, uint8_t code, const std::string& text) {
    TExpTree n = NewExpTree();
    n->NodeKind = kind;
    n->Code = code;
    n->Text = text;
    return n;
}

TExpTree NewConstant(const std::string& text, uint8_t type, uint32_t size) {
    TExpTree n = NewNode(nkConstant, 0, text);
    n->DataType = type;
    n->SetDataSize(size);
    return n;
}

struct TDepthGuard {
    int32_t& Depth;
    explicit TDepthGuard(int32_t& d) : Depth(d) { ++Depth; }
    ~TDepthGuard() { --Depth; }
};

}  // namespace

TExpressionParser::TExpressionParser(TExpressionOwner* owner) : FOwner(owner) {}

TExpressionParser::~TExpressionParser() {
    ClearText();
}

// ---- Tokenizer -------------------------------------------------------------------------

void TExpressionParser::ClearText() {
    FText.clear();
    FHasText = false;
}

void TExpressionParser::SetText(const std::string& text) {
    ClearText();
    // The scan ends at a zero byte: one inside the text would leave the rest unread, and
    // "DELETE FROM t\0 WHERE ..." run without its condition.
    if (text.find('\0') != std::string::npos) RaiseIn("Zero byte found in ");
    FText = text;
    FHasText = true;
    FScanPos = FTokenStart = FTokenEnd = 0;
    FTokenKind = 0;
    FMarkPos = FPrevEnd = 0;
}

void TExpressionParser::SkipComments() {
    const char* t = FText.c_str();
    for (;;) {
        while (IsBlank(t[FScanPos])) ++FScanPos;
        if (t[FScanPos] == '/' && t[FScanPos + 1] == '*') {
            size_t end = FText.find("*/", FScanPos + 2);
            if (end == std::string::npos) {
                FScanPos = FText.size();
                RaiseIn("Missing ending comment slash and asterisk in ");
            }
            FScanPos = end + 2;
            continue;
        }
        return;
    }
}

void TExpressionParser::RaiseUnterminated(const std::string& fixed) const {
    RaiseError(fixed + FText.substr(FTokenStart) + "'" + " in " + FContext);
}

uint8_t TExpressionParser::NextToken() {
    FPrevEnd = FScanPos;
    SkipComments();
    const char* t = FText.c_str();
    const char sep = FormatSettings().DecimalSeparator;
    size_t p = FScanPos;
    FTokenStart = p;
    char c = t[p];
    uint8_t kind;
    if (c == 0) {
        kind = tkEnd;
    } else if (IsIdentStartChar(c)) {
        while (IsIdentChar(t[p])) ++p;
        kind = tkSymbol;
    } else if (c == '#') {
        ++p;
        while (IsDigitChar(t[p])) ++p;
        kind = tkCharConst;
    } else if (c == '\'' || c == '"') {
        ++p;
        for (;;) {
            if (t[p] == 0) {
                FScanPos = p;
                RaiseUnterminated(c == '\'' ? "Missing single quote after '"
                                            : "Missing double quote after '");
            }
            if (t[p] == c) {
                if (t[p + 1] == c) {
                    p += 2;
                    continue;
                }
                ++p;
                break;
            }
            ++p;
        }
        kind = tkQuoted;
    } else if (c == '[') {
        ++p;
        while (t[p] != ']') {
            if (t[p] == 0) {
                FScanPos = p;
                RaiseUnterminated("Missing right bracket after '");
            }
            ++p;
        }
        ++p;
        kind = tkBracketed;
    } else if (IsDigitChar(c) || (c == sep && sep != ',' && IsDigitChar(t[p + 1]))) {
        // A decimal comma is also the list comma: it joins digits to digits only, so that
        // "3, 'pen'" and "'pen',5" stay values and a separator.
        auto joins = [&](size_t at) { return t[at] == sep && (sep != ',' || IsDigitChar(t[at + 1])); };
        const bool leadingSep = c == sep;
        if (leadingSep) ++p;
        while (IsDigitChar(t[p])) ++p;
        kind = tkInteger;
        char n = t[p];
        if (leadingSep || joins(p) || n == 'E' || n == 'e' || n == '+' || n == '-') {
            kind = tkFloat;
            for (;;) {
                char d = t[p];
                if (IsDigitChar(d) || d == 'E' || d == 'e') {
                    ++p;
                } else if (!leadingSep && joins(p)) {
                    ++p;
                } else if ((d == '+' || d == '-') && p > FTokenStart &&
                           (t[p - 1] == 'E' || t[p - 1] == 'e')) {
                    ++p;
                } else {
                    break;
                }
            }
        }
    } else {
        ++p;
        kind = static_cast<uint8_t>(c);
    }
    FScanPos = p;
    FTokenEnd = p;
    FTokenKind = kind;
    return kind;
}

void TExpressionParser::EndNumberAtDecimalComma() {
    if (FTokenKind != tkFloat || FormatSettings().DecimalSeparator != ',') return;
    size_t p = FTokenStart;
    while (IsDigitChar(FText[p])) ++p;
    if (p == FTokenStart || FText[p] != ',') return;
    FScanPos = FTokenEnd = p;
    FTokenKind = tkInteger;
}

std::string TExpressionParser::GetTokenText() const {
    if (FTokenKind == tkBracketed || FTokenKind == tkQuoted) {
        size_t len = FTokenEnd - FTokenStart;
        return UndoubleQuotes(len >= 2 ? FText.substr(FTokenStart + 1, len - 2) : std::string());
    }
    return FText.substr(FTokenStart, FScanPos - FTokenStart);
}

bool TExpressionParser::TokenIs(std::string_view keyword) const {
    // As SameText(GetTokenText(), keyword), compared in place: the grammar asks at almost
    // every token for several keywords.
    if (FTokenKind != tkSymbol || FScanPos - FTokenStart != keyword.size()) return false;
    for (size_t i = 0; i < keyword.size(); ++i)
        if (AsciiUpper(FText[FTokenStart + i]) != AsciiUpper(keyword[i])) return false;
    return true;
}

int32_t TExpressionParser::GetPosition() const {
    return static_cast<int32_t>(FTokenStart);
}

void TExpressionParser::MarkPosition() {
    FMarkPos = FTokenStart;
}

std::string TExpressionParser::GetMarkedText() const {
    std::string r;
    if (FPrevEnd > FMarkPos) r = FText.substr(FMarkPos, FPrevEnd - FMarkPos);
    std::string out;
    for (char c : r)
        if (c != '\r' && c != '\n') out += c;
    return out;
}

// ---- Errors ----------------------------------------------------------------------------

void TExpressionParser::RaiseError(const std::string& message) const {
    RaiseEngineError(FErrorCode, FTableName, "", "", message);
}

void TExpressionParser::RaiseIn(const std::string& fixed) const {
    RaiseError(fixed + FContext);
}

void TExpressionParser::RaiseToken(const std::string& fixed) const {
    RaiseError(fixed + GetTokenText() + "'" + " in " + FContext);
}

void TExpressionParser::Expect(char c, const std::string& fixed) {
    if (FTokenKind != static_cast<uint8_t>(c)) RaiseToken(fixed);
    NextToken();
}

void TExpressionParser::ExpectWord(const char* word, const std::string& fixed) {
    if (!TokenIs(word)) RaiseToken(fixed);
    NextToken();
}

// ---- Grammar ---------------------------------------------------------------------------

TExpTree TExpressionParser::Checked(TExpTree tree) const {
    if (TreeDepth(tree.get()) > MaxTreeDepth) RaiseIn("Expression nested too deeply in ");
    return tree;
}

void TExpressionParser::CountChainLevel(int32_t& levels) const {
    // n operators in a chain stand n levels above its first operand: past the bound, the
    // whole would be refused, so the rest is not built first.
    if (++levels >= MaxTreeDepth) RaiseIn("Expression nested too deeply in ");
}

TExpTree TExpressionParser::ParseExpression(uint8_t flags) {
    return Checked(Expression(flags));
}

TExpTree TExpressionParser::Expression(uint8_t flags) {
    TExpTree left = And(flags);
    int32_t levels = 0;
    while (TokenIs("OR")) {
        CountChainLevel(levels);
        TExpTree n = NewNode(nkBinary, opOr, GetTokenText());
        n->DataType = dtBoolean;
        n->First = left.release();
        NextToken();
        n->Second = And(flags).release();
        left = std::move(n);
    }
    return left;
}

TExpTree TExpressionParser::ParseAnd(uint8_t flags) {
    return Checked(And(flags));
}

TExpTree TExpressionParser::And(uint8_t flags) {
    TExpTree left = Not(flags);
    int32_t levels = 0;
    while (TokenIs("AND")) {
        CountChainLevel(levels);
        TExpTree n = NewNode(nkBinary, opAnd, GetTokenText());
        n->DataType = dtBoolean;
        n->First = left.release();
        NextToken();
        n->Second = Not(flags).release();
        left = std::move(n);
    }
    return left;
}

TExpTree TExpressionParser::ParseNot(uint8_t flags) {
    return Checked(Not(flags));
}

TExpTree TExpressionParser::Not(uint8_t flags) {
    if (!TokenIs("NOT")) return Predicate(flags);
    TExpTree n = NewNode(nkUnary, opNot, GetTokenText());
    n->DataType = dtBoolean;
    NextToken();
    n->First = Predicate(flags).release();
    return n;
}

TExpTree TExpressionParser::ParsePredicate(uint8_t flags) {
    return Checked(Predicate(flags));
}

// Links a value into a list chained through Second. A value whose Second is taken (an
// operator) cannot be chained; such a value is refused by validation anyway. The message
// is composed only then: lists are long, and failures rare.
template <class TMessage>
static void ChainValue(TExpressionParser& p, TExpToken* value, TExpTree next, const TMessage& message) {
    if (value->Second) p.RaiseError(message());
    value->Second = next.release();
}

static std::string ConstantExpected(const std::string& op, const TExpToken* value,
                                    const std::string& context) {
    return "Constant expression expected after " + op + " operator, " + "instead found " + "'" + value->Text +
           "'" + " in " + context;
}

TExpTree TExpressionParser::Predicate(uint8_t flags) {
    TExpTree left = Sum(flags);
    uint8_t code = 0;
    std::string text;
    switch (FTokenKind) {
        case '=':
            code = opEqual;
            text = "=";
            NextToken();
            break;
        case '<':
            NextToken();
            if (FTokenKind == '>') {
                code = opNotEqual;
                text = "< >";
                NextToken();
            } else if (FTokenKind == '=') {
                code = opLessEqual;
                text = "< =";
                NextToken();
            } else {
                code = opLess;
                text = "<";
            }
            break;
        case '>':
            NextToken();
            if (FTokenKind == '=') {
                code = opGreaterEqual;
                text = "> =";
                NextToken();
            } else {
                code = opGreater;
                text = ">";
            }
            break;
        default:
            break;
    }
    if (code) {
        TExpTree n = NewNode(nkBinary, code, text);
        n->First = left.release();
        n->Second = Sum(flags).release();
        return n;
    }

    if (!(TokenIs("LIKE") || TokenIs("BETWEEN") || TokenIs("IN") || TokenIs("IS") || TokenIs("NOT")))
        return left;
    if (!(flags & pfExtendedPredicates))
        RaiseIn("Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in ");

    if (TokenIs("IS")) {
        NextToken();
        bool negated = false;
        if (TokenIs("NOT")) {
            negated = true;
            NextToken();
        }
        if (!TokenIs("NULL"))
            RaiseError("Unknown or unexpected symbol '" + GetTokenText() + "'" + " found in " + FContext);
        TExpTree n = NewNode(nkBinary, negated ? opNotEqual : opEqual, negated ? "IS NOT NULL" : "IS NULL");
        n->First = left.release();
        TExpTree null = NewNode(nkConstant, 0, "NULL");
        null->IsNull = 1;
        n->Second = null.release();
        NextToken();
        return n;
    }

    bool negated = false;
    if (TokenIs("NOT")) {
        NextToken();
        if (!(TokenIs("BETWEEN") || TokenIs("LIKE") || TokenIs("IN")))
            RaiseError("Unknown or unexpected symbol '" + GetTokenText() + "'" + " in " + FContext);
        negated = true;
    }
    TExpTree n = NewNode(nkPredicate, 0, "");
    n->DataType = dtBoolean;
    n->First = left.release();
    if (TokenIs("LIKE")) {
        n->Code = negated ? opNotLike : opLike;
        n->Text = "LIKE";
        NextToken();
        n->Second = Sum(flags).release();
    } else if (TokenIs("BETWEEN")) {
        n->Code = negated ? opNotBetween : opBetween;
        n->Text = negated ? "NOT BETWEEN" : "BETWEEN";
        NextToken();
        n->Second = Sum(flags).release();
        if (!TokenIs("AND")) RaiseToken("Expected AND operator in BETWEEN operator, instead found '");
        NextToken();
        TExpTree upper = Sum(flags);
        ChainValue(*this, n->Second, std::move(upper), [&] {
            return ConstantExpected(negated ? "NOT BETWEEN" : "BETWEEN", n->Second, FContext);
        });
    } else {
        n->Code = negated ? opNotInList : opInList;
        n->Text = "IN";
        NextToken();
        ParseInList(n.get(), flags, negated);
    }
    return n;
}

void TExpressionParser::ParseInList(TExpToken* n, uint8_t flags, bool negated) {
    if (FTokenKind != '(')
        RaiseToken(negated ? "Expected left parentheses for IN operator, instead found '"
                           : "Expected left parentheses after IN operator, instead found '");
    NextToken();
    if (TokenIs("SELECT")) {
        if (!(flags & pfSubSelects) || !FOwner) RaiseIn("Sub-select queries are not allowed in ");
        n->Code = negated ? opNotInSelect : opInSelect;
        TExpTree holder = NewNode(nkSubSelect, 0, "SELECT");
        TExpToken* h = holder.get();
        n->Second = holder.release();
        h->SubQuery = FOwner->CreateSubQuery();
        if (h->SubQuery) h->SubQuery->ParseSubSelect(*this);
    } else {
        if (FTokenKind == ')')
            RaiseIn("You must provide at least one value as an operand of the IN operator  in ");
        n->Second = Sum(flags).release();
        TExpToken* last = n->Second;
        while (FTokenKind == ',') {
            NextToken();
            TExpTree v = Sum(flags);
            TExpToken* added = v.get();
            ChainValue(*this, last, std::move(v),
                       [&] { return ConstantExpected(negated ? "NOT IN" : "IN", last, FContext); });
            last = added;
        }
    }
    Expect(')', "Expected right parentheses after IN operator, instead found '");
}

TExpTree TExpressionParser::ParseSum(uint8_t flags) {
    return Checked(Sum(flags));
}

TExpTree TExpressionParser::Sum(uint8_t flags) {
    TExpTree left = Term(flags);
    int32_t levels = 0;
    for (;;) {
        uint8_t code;
        std::string text;
        if (FTokenKind == '+') {
            code = opAdd;
            text = "+";
        } else if (FTokenKind == '-') {
            code = opSubtract;
            text = "-";
        } else if (FTokenKind == '|') {
            NextToken();
            if (FTokenKind != '|')
                RaiseToken(
                    "Second concatenation symbol '|' expected after first concatentation symbol, instead "
                    "found '");
            code = opAdd;
            text = "||";
        } else {
            return left;
        }
        CountChainLevel(levels);
        NextToken();
        TExpTree n = NewNode(nkBinary, code, text);
        n->DataType = left->DataType;
        n->First = left.release();
        n->Second = Term(flags).release();
        left = std::move(n);
    }
}

TExpTree TExpressionParser::ParseTerm(uint8_t flags) {
    return Checked(Term(flags));
}

TExpTree TExpressionParser::Term(uint8_t flags) {
    TExpTree left = Signed(flags);
    int32_t levels = 0;
    while (FTokenKind == '*' || FTokenKind == '/') {
        CountChainLevel(levels);
        bool mul = FTokenKind == '*';
        TExpTree n = NewNode(nkBinary, mul ? opMultiply : opDivide, mul ? "*" : "/");
        n->DataType = left->DataType;
        n->First = left.release();
        NextToken();
        n->Second = Signed(flags).release();
        left = std::move(n);
    }
    return left;
}

TExpTree TExpressionParser::ParseSigned(uint8_t flags) {
    return Checked(Signed(flags));
}

TExpTree TExpressionParser::Signed(uint8_t flags) {
    if (FTokenKind != '+' && FTokenKind != '-') return Primary(flags);
    bool minus = FTokenKind == '-';
    TExpTree n = NewNode(nkUnary, minus ? opNegate : opPlusSign, minus ? "-" : "+");
    NextToken();
    n->First = Primary(flags).release();
    n->DataType = n->First->DataType;
    return n;
}

TExpTree TExpressionParser::ParsePrimary(uint8_t flags) {
    return Checked(Primary(flags));
}

TExpTree TExpressionParser::ColumnAfter(uint8_t flags, const std::string& correlation) {
    // The current token is the '.' after a correlation name.
    NextToken();
    std::string column;
    if (FTokenKind == tkSymbol || FTokenKind == tkBracketed || FTokenKind == tkQuoted) {
        column = GetTokenText();
    } else if (FTokenKind == '*') {
        if (!(flags & pfAllColumns)) RaiseIn("* (all columns) symbol is not allowed in ");
        column = "*";
    } else {
        RaiseToken(
            "Symbol or string expression expected after table correlation name separator '.', instead found "
            "'");
    }
    TExpTree n = NewNode(nkColumn, 0, correlation + "." + column);
    n->ColumnName = column;
    n->TableName = ExtractNameNoExt(correlation);
    NextToken();
    return n;
}

TExpTree TExpressionParser::Primary(uint8_t flags) {
    TDepthGuard depth(FDepth);
    if (FDepth > MaxNestingDepth) RaiseIn("Expression nested too deeply in ");
    switch (FTokenKind) {
        case tkInteger:
        case tkFloat: {
            std::string text = GetTokenText();
            TExpTree n;
            int32_t i;
            long double f;
            if (FTokenKind == tkInteger && TryStrToInt(text, i)) {
                n = NewConstant(text, dtInteger, 4);
                n->Set<int32_t>(i);
            } else if (TryStrToFloat(text, f) && f <= DBL_MAX && f >= -DBL_MAX) {
                n = NewConstant(text, dtFloat, 8);
                n->Set<double>(static_cast<double>(f));
            } else {
                RaiseError("Constant '" + text + "'" + " is not a valid number " + " in " + FContext);
            }
            NextToken();
            return n;
        }
        case tkCharConst: {
            std::string text = GetTokenText();
            if (text.empty() || text[0] != '#') RaiseIn("Internal character constant parse error in ");
            std::string digits = text.substr(1);
            int32_t v = -1;
            if (!TryStrToInt(digits, v) || v < 0 || v > 255)
                RaiseError(std::string("Character constants (#) must be within the range of ") + "0" +
                           " to " + "255" + " in " + FContext);
            TExpTree n = NewConstant(digits, dtString, 2);
            n->Value[0] = static_cast<uint8_t>(v);
            n->Value[1] = 0;
            NextToken();
            return n;
        }
        case tkQuoted: {
            std::string text = GetTokenText();
            NextToken();
            if (FTokenKind == '.') return ColumnAfter(flags, text);
            TExpTree n = NewConstant(text, dtString, static_cast<uint32_t>(text.size()) + 1);
            n->SetStr(text);
            n->IsNull = text.empty() ? 1 : 0;  // '' is NULL
            return n;
        }
        case tkBracketed: {
            std::string name = GetTokenText();
            NextToken();
            if (FTokenKind == '.') return ColumnAfter(flags, name);
            TExpTree n = NewNode(nkColumn, 0, name);
            n->ColumnName = name;
            return n;
        }
        case tkSymbol: {
            std::string word = GetTokenText();
            if (TExpTree f = Function(flags, word)) return f;
            NextToken();
            if (FTokenKind == '(')
                RaiseError("Unknown or unexpected function '" + word + "'" + " found in " + FContext);
            if (FTokenKind == '.') return ColumnAfter(flags, word);
            TExpTree n = NewNode(nkColumn, 0, word);
            n->ColumnName = word;
            return n;
        }
        case '(': {
            NextToken();
            TExpTree e = Expression(flags);
            Expect(')', "Right parentheses expected, instead found '");
            return e;
        }
        case '*': {
            if (!(flags & pfAllColumns)) RaiseIn("* (all columns) symbol is not allowed in ");
            TExpTree n = NewNode(nkColumn, 0, "*");
            n->ColumnName = "*";
            NextToken();
            return n;
        }
        case '?': {
            if (!(flags & pfParameters)) RaiseIn("Parameters are not allowed in ");
            TExpTree n = NewNode(nkConstant, 0, "?");
            n->IsParameter = 1;
            NextToken();
            if (FOwner) FOwner->AddParameter(n.get());
            return n;
        }
        default:
            RaiseError("Unknown or unexpected symbol '" + GetTokenText() + "'" + " found in " + FContext);
    }
}

// Keywords of a primary: functions and the constant words. Nil for any other symbol.
TExpTree TExpressionParser::Function(uint8_t flags, const std::string& word) {
    if (!MayBeFunctionWord(word)) return TExpTree();
    const std::string key = UpperCase(word);
    auto leftParen = [&](const std::string& fixed) { Expect('(', fixed); };

    if (uint8_t agg = AggregateFunctionCode(key)) {
        if (!(flags & pfAggregates)) RaiseIn("Aggregate functions are not allowed in ");
        NextToken();
        if (FTokenKind != '(')
            RaiseError("Left parentheses expectedafter aggregate function '" + word + "'" +
                       ", instead found " + "'" + GetTokenText() + "'" + " in " + FContext);
        NextToken();
        TExpTree n = NewNode(nkFunction, agg, word);
        n->First = Sum(flags).release();
        if (FTokenKind != ')')
            RaiseError("Right parentheses expected after aggregate " + word +
                       " function argument, instead found " + "'" + GetTokenText() + "'" + " in " + FContext);
        NextToken();
        return n;
    }
    if (key == "LOWER" || key == "UPPER" || key == "ABS") {
        const uint8_t code = key == "LOWER" ? fnLower : key == "UPPER" ? fnUpper : fnAbs;
        NextToken();
        leftParen("Left parentheses expectedafter " + key + " keyword, instead found '");
        TExpTree n = NewNode(nkFunction, code, word);
        n->First = Sum(flags).release();
        Expect(')', "Right parentheses expected after " + key + " function argument, instead found '");
        if (code == fnAbs) {
            n->DataType = n->First->DataType;
            n->SubType = n->First->SubType;
            n->SetDataSize(n->First->DataSize);
            n->Decimals = n->First->Decimals;
        } else {
            n->DataType = dtString;
        }
        return n;
    }
    if (key == "SUBSTRING") {
        NextToken();
        leftParen("Left parentheses expected after SUBSTRING keyword, instead found '");
        TExpTree n = NewNode(nkFunction, fnSubstring, word);
        n->DataType = dtString;
        n->First = Sum(flags).release();
        ExpectWord("FROM", "FROM keyword expected after first SUBSTRING function argument, instead found '");
        n->Second = Primary(flags).release();
        if (TokenIs("FOR")) {
            NextToken();
            TExpTree len = Primary(flags);
            ChainValue(*this, n->Second, std::move(len), [&] {
                return "FROM argument of SUBSTRING function must be an integer constant in " + FContext;
            });
        }
        Expect(')', "Right parentheses expected after SUBSTRING function arguments, instead found '");
        return n;
    }
    if (key == "REPLACE") {
        NextToken();
        leftParen("Left parentheses expected after REPLACE keyword, instead found '");
        TExpTree n = NewNode(nkFunction, fnReplace, word);
        n->DataType = dtString;
        n->Second = Sum(flags).release();
        ExpectWord("WITH", "WITH keyword expected after first REPLACE function argument, instead found '");
        TExpTree replacement = Sum(flags);
        ChainValue(*this, n->Second, std::move(replacement), [&] {
            return "Search argument of REPLACE function must be a string constant in " + FContext;
        });
        ExpectWord("IN", "IN keyword expected after second REPLACE function argument, instead found '");
        n->First = Primary(flags).release();
        Expect(')', "Right parentheses expected after REPLACE function arguments, instead found '");
        return n;
    }
    if (key == "POS" || key == "OCCURS") {
        NextToken();
        leftParen("Left parentheses expected after " + key + " keyword, instead found '");
        TExpTree n = NewNode(nkFunction, key == "POS" ? fnPos : fnOccurs, word);
        n->DataType = dtInteger;
        n->SetDataSize(4);
        n->Second = Sum(flags).release();
        ExpectWord("IN", "IN keyword expected after first " + key + " function argument, instead found '");
        n->First = Primary(flags).release();
        Expect(')', "Right parentheses expected after " + key + " function arguments, instead found '");
        return n;
    }
    if (key == "CAST") {
        NextToken();
        leftParen("Left parentheses expected after CAST keyword, instead found '");
        TExpTree n = NewNode(nkFunction, fnCast, word);
        n->First = Expression(flags).release();
        ExpectWord("AS", "AS keyword expected after first CAST function argument, instead found '");
        ParseDataType(n.get(), flags, false);
        Expect(')', "Right parentheses expected after CAST function arguments, instead found '");
        return n;
    }
    if (key == "TRIM") {
        NextToken();
        leftParen("Left parentheses expected after TRIM keyword, instead found '");
        uint8_t code = 0;
        if (TokenIs("LEADING"))
            code = fnTrimLeading;
        else if (TokenIs("TRAILING"))
            code = fnTrimTrailing;
        else if (TokenIs("BOTH"))
            code = fnTrimBoth;
        else
            RaiseToken("LEADING, TRAILING, or BOTH keyword expected after TRIM keyword, instead found '");
        NextToken();
        TExpTree n = NewNode(nkFunction, code, word);
        n->DataType = dtString;
        n->Second = Primary(flags).release();
        ExpectWord("FROM", "FROM keyword expected after second TRIM function argument, instead found '");
        n->First = Sum(flags).release();
        Expect(')', "Right parentheses expected after TRIM function arguments, instead found '");
        return n;
    }
    if (key == "EXTRACT") {
        NextToken();
        leftParen("Left parentheses expected after EXTRACT keyword, instead found '");
        static const char* const parts[] = {"YEAR", "MONTH", "DAY", "DAYOFWEEK", "HOUR", "MINUTE", "SECOND"};
        uint8_t code = 0;
        for (int i = 0; i < 7; ++i)
            if (TokenIs(parts[i])) code = static_cast<uint8_t>(fnExtractYear + i);
        if (!code)
            RaiseToken(
                "YEAR, MONTH, DAY, DAYOFWEEK, HOUR, MINUTE, or SECOND keyword expected after EXTRACT "
                "keyword, instead "
                "found '");
        NextToken();
        TExpTree n = NewNode(nkFunction, code, word);
        n->DataType = dtInteger;
        n->SetDataSize(4);
        ExpectWord("FROM", "FROM keyword expected after second EXTRACT function argument, instead found '");
        n->First = Primary(flags).release();
        Expect(')', "Right parentheses expected after EXTRACT function arguments, instead found '");
        return n;
    }
    if (key == "ROUND") {
        NextToken();
        leftParen("Left parentheses expectedafter ROUND keyword, instead found '");
        TExpTree n = NewNode(nkFunction, fnRound, word);
        n->DataType = dtFloat;
        n->SetDataSize(8);
        n->First = Sum(flags).release();
        if (TokenIs("TO")) {
            NextToken();
            n->Second = Sum(flags).release();
        }
        Expect(')', "Right parentheses expected after ROUND function arguments, instead found '");
        return n;
    }
    if (key == "IF") {
        NextToken();
        leftParen("Left parentheses expectedafter IF keyword, instead found '");
        TExpTree n = NewNode(nkFunction, fnIf, word);
        n->First = Expression(flags).release();
        ExpectWord("THEN", "THEN keyword expected after first IF function argument, instead found '");
        n->Second = Sum(flags).release();
        ExpectWord("ELSE", "ELSE keyword expected after second IF function argument, instead found '");
        n->Third = Sum(flags).release();
        Expect(')', "Right parentheses expected after IF function arguments, instead found '");
        return n;
    }
    if (key == "TRUE" || key == "FALSE") {
        TExpTree n = NewConstant(word, dtBoolean, 2);
        n->Set<uint16_t>(key == "TRUE" ? 1 : 0);
        NextToken();
        return n;
    }
    if (key == "NULL") {
        TExpTree n = NewNode(nkConstant, 0, word);
        n->IsNull = 1;
        NextToken();
        return n;
    }
    if (key == "CURRENT_DATE" || key == "CURRENT_TIME" || key == "CURRENT_TIMESTAMP") {
        // Taken once, when the text is parsed.
        TTimeStamp now = DateTimeToTimeStamp(Now());
        TExpTree n;
        if (key == "CURRENT_DATE") {
            n = NewConstant(word, dtDate, 4);
            n->Set<int32_t>(now.Date);
        } else if (key == "CURRENT_TIME") {
            n = NewConstant(word, dtTime, 4);
            n->Set<int32_t>(now.Time);
        } else {
            n = NewConstant(word, dtTimeStamp, 8);
            n->Set<double>(TimeStampToMSecs(now));
        }
        NextToken();
        return n;
    }
    return TExpTree();
}

bool TExpressionParser::ParseDataType(TExpToken* node, uint8_t flags, bool optional) {
    const std::string key = UpperCase(FTokenKind == tkSymbol ? GetTokenText() : std::string());
    struct TTypeWord {
        const char* Word;
        uint8_t Type, SubType;
    };
    static const TTypeWord words[] = {
        {"SMALLINT", dtSmallInt, 0}, {"WORD", dtWord, 0},        {"INTEGER", dtInteger, 0},
        {"INT", dtInteger, 0},       {"AUTOINC", dtInteger, 29}, {"DECIMAL", dtBCD, 0},
        {"NUMERIC", dtFloat, 0},     {"FLOAT", dtFloat, 0},      {"MONEY", dtFloat, 21},
        {"CHARACTER", dtString, 0},  {"CHAR", dtString, 0},      {"VARCHAR", dtString, 0},
        {"DATE", dtDate, 0},         {"TIME", dtTime, 0},        {"TIMESTAMP", dtTimeStamp, 0},
        {"BOOLEAN", dtBoolean, 0},   {"BYTES", dtBytes, 0},      {"BLOB", dtBlob, 0},
    };
    const TTypeWord* found = nullptr;
    if (!key.empty())
        for (const auto& w : words)
            if (key == w.Word) found = &w;
    if (!found) {
        if (optional) return false;
        RaiseToken("SQL data type keyword expected, instead found '");
    }
    node->DataType = found->Type;
    node->SubType = found->SubType;
    NextToken();

    // Type arguments chain from node's Second.
    auto argument = [&]() {
        EndNumberAtDecimalComma();
        TExpTree arg = Primary(flags);
        if (node->Second) {
            ChainValue(*this, node->Second, std::move(arg), [&] {
                return "Unknown or unexpected symbol '" + node->Second->Text + "'" + " found in " + FContext;
            });
        } else {
            node->Second = arg.release();
        }
    };

    if (key == "DECIMAL" || key == "NUMERIC" || key == "FLOAT") {
        if (FTokenKind != '(') return true;
        NextToken();
        argument();
        // One argument: the precision alone, scale 0.
        if (FTokenKind != ')') {
            if (FTokenKind != ',')
                RaiseToken("Comma expected after first " + key + " argument, instead found '");
            NextToken();
            argument();
        }
        Expect(')', "Right parentheses expected after " + key + " data type arguments, instead found '");
    } else if (key == "CHARACTER" || key == "CHAR") {
        Expect('(', "Left parentheses expected after CHARACTER or CHAR data type, instead found '");
        argument();
        Expect(')',
               "Right parentheses expected after CHARACTER or CHAR data type arguments, instead found '");
    } else if (key == "VARCHAR") {
        Expect('(', "Left parentheses expected after VARCHAR data type, instead found '");
        argument();
        Expect(')', "Right parentheses expected after VARCHAR data type arguments, instead found '");
    } else if (key == "BYTES") {
        if (FTokenKind != '(') return true;
        NextToken();
        argument();
        Expect(')', "Right parentheses expected after CHARACTER data type arguments, instead found '");
    } else if (key == "BLOB") {
        Expect('(', "Left parentheses expected after BLOB data type, instead found '");
        argument();
        Expect(',', "Comma expected after first BLOB argument, instead found '");
        argument();
        Expect(')', "Right parentheses expected after BLOB data type arguments, instead found '");
    }
    return true;
}

bool IsUpperOfColumn(const TExpToken* node) {
    return node && node->NodeKind == nkFunction && node->Code == fnUpper && node->First &&
           node->First->NodeKind == nkColumn;
}

uint8_t AggregateFunctionCode(const std::string& name) {
    if (SameText(name, "SUM")) return fnSum;
    if (SameText(name, "AVG")) return fnAvg;
    if (SameText(name, "MIN")) return fnMin;
    if (SameText(name, "MAX")) return fnMax;
    if (SameText(name, "COUNT")) return fnCount;
    return 0;
}
