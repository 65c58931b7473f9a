#pragma once
// Tokenizer and recursive-descent parser of the expression language shared by table
// filters and the SQL processor. Every syntax error is raised as an engine error with the
// parser's error code and table name; its text ends in " in " and the Context.
//
// Callers parse with their locale's settings swapped in (TLanguageSettingsSwap): the
// decimal separator of float constants is the locale's.
#include <cstdint>
#include <string>
#include <string_view>

#include "db/storage/ExpToken.h"
#include "db/storage/SubSelect.h"

// Token kinds; any other kind is the code of a one-character token.
constexpr uint8_t tkEnd = 0;
constexpr uint8_t tkSymbol = 1;
constexpr uint8_t tkBracketed = 2;
constexpr uint8_t tkQuoted = 3;
constexpr uint8_t tkCharConst = 4;
constexpr uint8_t tkInteger = 5;
constexpr uint8_t tkFloat = 6;

// Flags of the grammar levels: what a clause allows.
constexpr uint8_t pfAggregates = 1;
constexpr uint8_t pfAllColumns = 2;
constexpr uint8_t pfExtendedPredicates = 4;
constexpr uint8_t pfParameters = 8;
constexpr uint8_t pfSubSelects = 16;

// The flags each caller passes.
constexpr uint8_t pfFilter = pfExtendedPredicates;
constexpr uint8_t pfSelectColumn = pfAggregates | pfAllColumns | pfExtendedPredicates;
constexpr uint8_t pfCondition = pfExtendedPredicates | pfParameters | pfSubSelects;  // WHERE, ON
constexpr uint8_t pfConditionNoSubSelects = pfExtendedPredicates | pfParameters;
constexpr uint8_t pfHaving = pfAggregates;
constexpr uint8_t pfValue = pfParameters;  // INSERT and UPDATE values
constexpr uint8_t pfNames = 0;             // names in INSERT, UPDATE, CREATE and DROP
static_assert(pfFilter == 4 && pfSelectColumn == 7 && pfCondition == 28 && pfConditionNoSubSelects == 12 &&
              pfHaving == 1 && pfValue == 8);

// Not polymorphic, as the nodes: a sanitized build checks the dynamic type of a
// polymorphic class at every member access, and the tokenizer makes them per character.
class TExpressionParser final {
public:
    // Owner is nil for a table filter.
    explicit TExpressionParser(TExpressionOwner* owner = nullptr);
    ~TExpressionParser();
    TExpressionParser(const TExpressionParser&) = delete;
    TExpressionParser& operator=(const TExpressionParser&) = delete;

    TExpressionOwner* Owner() const { return FOwner; }
    uint16_t ErrorCode() const { return FErrorCode; }
    void SetErrorCode(uint16_t v) { FErrorCode = v; }
    const std::string& TableName() const { return FTableName; }
    void SetTableName(const std::string& v) { FTableName = v; }
    const std::string& Context() const { return FContext; }
    void SetContext(const std::string& v) { FContext = v; }

    // Tokenizer.
    void SetText(const std::string& text);
    void ClearText();
    uint8_t NextToken();
    // Where only whole numbers may stand, a number token "10,2" of a decimal-comma language
    // ends before its comma: the comma and the digits after it are read as the next tokens.
    void EndNumberAtDecimalComma();
    void SkipComments();
    std::string GetTokenText() const;
    bool TokenIs(std::string_view keyword) const;
    bool TokenKindIs(uint8_t kind) const { return FTokenKind == kind; }
    uint8_t TokenKind() const { return FTokenKind; }
    int32_t GetPosition() const;
    void MarkPosition();
    std::string GetMarkedText() const;

    // Grammar; each hands the caller the new tree. A failed parse raises and leaves no
    // node behind: what was built so far goes back to the pool.
    TExpTree ParseExpression(uint8_t flags);
    TExpTree ParseAnd(uint8_t flags);
    TExpTree ParseNot(uint8_t flags);
    TExpTree ParsePredicate(uint8_t flags);
    TExpTree ParseSum(uint8_t flags);
    TExpTree ParseTerm(uint8_t flags);
    TExpTree ParseSigned(uint8_t flags);
    TExpTree ParsePrimary(uint8_t flags);
    // An SQL data type into node's DataType and SubType, its arguments chained from
    // node's Second (node stays the caller's). False (node unchanged) when optional and
    // the word names no type.
    bool ParseDataType(TExpToken* node, uint8_t flags, bool optional);

    // Raises the parser's error with the text as the message.
    [[noreturn]] void RaiseError(const std::string& message) const;
    // fixed + Context (texts ending in "in ").
    [[noreturn]] void RaiseIn(const std::string& fixed) const;
    // fixed + current token + "'" + " in " + Context (texts ending in an opening quote).
    [[noreturn]] void RaiseToken(const std::string& fixed) const;

    // A tree built by a public entry (or joined from such trees), refused when deeper than
    // the tree walkers allow.
    TExpTree Checked(TExpTree tree) const;

private:
    // Counts one more operator of a left-deep chain, refusing the chain once it alone
    // passes the bound.
    void CountChainLevel(int32_t& levels) const;
    TExpTree And(uint8_t flags);
    TExpTree Not(uint8_t flags);
    TExpTree Term(uint8_t flags);
    TExpTree Signed(uint8_t flags);
    TExpTree Sum(uint8_t flags);
    TExpTree Primary(uint8_t flags);
    TExpTree Expression(uint8_t flags);
    TExpTree Predicate(uint8_t flags);
    TExpTree Function(uint8_t flags, const std::string& name);
    TExpTree ColumnAfter(uint8_t flags, const std::string& first);
    void ParseInList(TExpToken* predicate, uint8_t flags, bool negated);
    void Expect(char c, const std::string& fixed);
    void ExpectWord(const char* word, const std::string& fixed);
    [[noreturn]] void RaiseUnterminated(const std::string& fixed) const;

    TExpressionOwner* FOwner;
    uint16_t FErrorCode = 0;
    std::string FTableName;
    std::string FContext;
    std::string FText;  // private copy, zero-terminated
    bool FHasText = false;
    size_t FScanPos = 0;
    size_t FTokenStart = 0;
    uint8_t FTokenKind = 0;
    size_t FTokenEnd = 0;
    size_t FMarkPos = 0;
    size_t FPrevEnd = 0;
    int32_t FDepth = 0;
};

// UPPER applied directly to a column.
bool IsUpperOfColumn(const TExpToken* node);
// SUM 23, COUNT 24, MIN 25, MAX 26, AVG 27 (any case); anything else 0.
uint8_t AggregateFunctionCode(const std::string& name);
