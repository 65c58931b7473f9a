#include <string>
#include <vector>

#include "ExpressionTestSupport.h"

using namespace exprtest;

namespace {

class ExpressionParserTest : public ExpressionTest {};

struct TTok {
    uint8_t Kind;
    std::string Text;
};

std::vector<TTok> Tokens(const std::string& text) {
    TExpressionParser p;
    p.SetText(text);
    std::vector<TTok> out;
    while (p.NextToken() != tkEnd) out.push_back({p.TokenKind(), p.GetTokenText()});
    return out;
}

TEST_F(ExpressionParserTest, TokenizerKindsAndTexts) {
    struct Case {
        std::string Text;
        std::vector<TTok> Want;
    } cases[] = {
        {"abc _x1 \xE9t\xE9", {{tkSymbol, "abc"}, {tkSymbol, "_x1"}, {tkSymbol, "\xE9t\xE9"}}},
        {"a/* c */b /**/ c", {{tkSymbol, "a"}, {tkSymbol, "b"}, {tkSymbol, "c"}}},
        {"'It''s'", {{tkQuoted, "It's"}}},
        {"\"say \"\"hi\"\"\"", {{tkQuoted, "say \"hi\""}}},
        {"'a''''b'", {{tkQuoted, "a''b"}}},
        {"[a''b] [x \"\" y]", {{tkBracketed, "a'b"}, {tkBracketed, "x \" y"}}},
        {"#65 #", {{tkCharConst, "#65"}, {tkCharConst, "#"}}},
        {"12 3000000000", {{tkInteger, "12"}, {tkInteger, "3000000000"}}},
        {"1.5E-3 1.2.3 12E .5 .5.5",
         {{tkFloat, "1.5E-3"},
          {tkFloat, "1.2.3"},
          {tkFloat, "12E"},
          {tkFloat, ".5"},
          {tkFloat, ".5"},
          {tkFloat, ".5"}}},
        // A sign after digits makes a float token but is not part of it.
        {"1+2", {{tkFloat, "1"}, {'+', "+"}, {tkInteger, "2"}}},
        {"a<>b", {{tkSymbol, "a"}, {'<', "<"}, {'>', ">"}, {tkSymbol, "b"}}},
        {"x\x01\t\ny", {{tkSymbol, "x"}, {tkSymbol, "y"}}},
    };
    for (const auto& c : cases) {
        auto got = Tokens(c.Text);
        ASSERT_EQ(got.size(), c.Want.size()) << c.Text;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].Kind, c.Want[i].Kind) << c.Text << " #" << i;
            EXPECT_EQ(got[i].Text, c.Want[i].Text) << c.Text << " #" << i;
        }
    }
}

// Where the language writes decimals with a comma, a comma is part of a number only between
// digits: "3, 'pen'" is a value and a list comma, as in VALUES, IN and select lists; where
// only whole numbers stand, "10,2" is two of them.
TEST_F(ExpressionParserTest, ACommaDecimalSeparatorJoinsOnlyDigits) {
    TThreadFormatSettings mine;
    FormatSettings().DecimalSeparator = ',';
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"1,5", {"1,5"}},
        {",5", {",", "5"}},
        {"'pen',5", {"pen", ",", "5"}},
        {"1,5,5", {"1,5,5"}},
        {"3, 'pen'", {"3", ",", "pen"}},
        {"price * 2, name", {"price", "*", "2", ",", "name"}},
        {"(3,4, 5)", {"(", "3,4", ",", "5", ")"}},
        {"1,5E2,x", {"1,5E2", ",", "x"}},
    };
    for (const auto& [text, want] : cases) {
        std::vector<std::string> got;
        for (const TTok& t : Tokens(text)) got.push_back(t.Text);
        EXPECT_EQ(got, want) << text;
    }
    EXPECT_DOUBLE_EQ(Parse("1,5")->Get<double>(), 1.5);
    for (const char* type : {"DECIMAL(10,2)", "BLOB(10,2)"}) {
        TExpTree t = Parse(std::string("CAST(a AS ") + type + ")");
        ASSERT_TRUE(t->Second && t->Second->Second) << type;
        EXPECT_EQ(t->Second->Get<int32_t>(), 10) << type;
        EXPECT_EQ(t->Second->Second->Get<int32_t>(), 2) << type;
    }
}

TEST_F(ExpressionParserTest, KeywordsAreSymbolsOnlyAndPositionsAndMarks) {
    TExpressionParser p;
    p.SetText("  select [Select] 'SELECT'");
    p.NextToken();
    EXPECT_TRUE(p.TokenIs("SELECT"));
    EXPECT_EQ(p.GetPosition(), 2);
    p.NextToken();
    EXPECT_FALSE(p.TokenIs("SELECT"));
    p.NextToken();
    EXPECT_FALSE(p.TokenIs("SELECT"));
    // The whole word, in any case.
    p.SetText("Notes nOt");
    p.NextToken();
    EXPECT_FALSE(p.TokenIs("NOT"));
    EXPECT_FALSE(p.TokenIs("NOTESX"));
    EXPECT_TRUE(p.TokenIs("notes"));
    p.NextToken();
    EXPECT_TRUE(p.TokenIs("NOT"));

    p.SetText("x, a +\r\n b , y");
    p.NextToken();
    p.NextToken();
    p.NextToken();
    p.MarkPosition();
    TExpTree t = p.ParseSum(0);
    EXPECT_TRUE(p.TokenKindIs(','));
    EXPECT_EQ(p.GetMarkedText(), "a + b");
}

TEST_F(ExpressionParserTest, Constants) {
    TExpTree t = Parse("''");
    EXPECT_EQ(t->NodeKind, nkConstant);
    EXPECT_EQ(t->DataType, dtString);
    EXPECT_EQ(t->IsNull, 1);
    EXPECT_EQ(t->DataSize, 1u);

    t = Parse("#0");
    EXPECT_EQ(t->DataType, dtString);
    EXPECT_EQ(t->IsNull, 0);
    EXPECT_EQ(t->DataSize, 2u);
    EXPECT_EQ(t->Text, "0");
    t = Parse("#65");
    EXPECT_STREQ(t->Str(), "A");

    t = Parse("12");
    EXPECT_EQ(t->DataType, dtInteger);
    EXPECT_EQ(t->DataSize, 4u);
    EXPECT_EQ(t->Get<int32_t>(), 12);
    t = Parse("3000000000");
    EXPECT_EQ(t->DataType, dtFloat);
    EXPECT_EQ(t->Get<double>(), 3000000000.0);
    t = Parse("1.5E-3");
    EXPECT_EQ(t->DataType, dtFloat);
    EXPECT_DOUBLE_EQ(t->Get<double>(), 0.0015);
    t = Parse(".5");
    EXPECT_DOUBLE_EQ(t->Get<double>(), 0.5);

    t = Parse("'abc'");
    EXPECT_STREQ(t->Str(), "abc");
    EXPECT_EQ(t->DataSize, 4u);
    t = Parse("TRUE");
    EXPECT_EQ(t->DataType, dtBoolean);
    EXPECT_EQ(t->Get<uint16_t>(), 1);
    t = Parse("false");
    EXPECT_EQ(t->Get<uint16_t>(), 0);
    t = Parse("NULL");
    EXPECT_EQ(t->IsNull, 1);
    EXPECT_EQ(t->DataType, 0);

    // Taken when the text is parsed.
    int32_t before = DateTimeToTimeStamp(Now()).Date;
    t = Parse("CURRENT_DATE");
    int32_t after = DateTimeToTimeStamp(Now()).Date;
    EXPECT_EQ(t->DataType, dtDate);
    EXPECT_GE(t->Get<int32_t>(), before);
    EXPECT_LE(t->Get<int32_t>(), after);
    t = Parse("CURRENT_TIME");
    EXPECT_EQ(t->DataType, dtTime);
    EXPECT_LT(t->Get<int32_t>(), MSecsPerDay);
    t = Parse("CURRENT_TIMESTAMP");
    EXPECT_EQ(t->DataType, dtTimeStamp);
    EXPECT_GE(t->Get<double>(), static_cast<double>(before) * MSecsPerDay);
}

TEST_F(ExpressionParserTest, PrecedenceAndShapes) {
    TExpTree t = Parse("-2*3");
    ASSERT_EQ(t->Code, opMultiply);
    EXPECT_EQ(t->First->NodeKind, nkUnary);
    EXPECT_EQ(t->First->Code, opNegate);
    EXPECT_EQ(t->First->DataType, dtInteger);

    t = Parse("a OR b AND NOT c");
    ASSERT_EQ(t->Code, opOr);
    EXPECT_EQ(t->DataType, dtBoolean);
    ASSERT_EQ(t->Second->Code, opAnd);
    EXPECT_EQ(t->Second->Second->Code, opNot);
    EXPECT_EQ(t->Second->Second->First->ColumnName, "c");

    t = Parse("a - b - c + d || e");  // left-associative
    EXPECT_EQ(t->Text, "||");
    EXPECT_EQ(t->First->Code, opAdd);
    EXPECT_EQ(t->First->First->Code, opSubtract);
    EXPECT_EQ(t->First->First->First->Code, opSubtract);

    for (const char* text : {"a<>b", "a < > b", "a </* x */> b"}) {
        t = Parse(text);
        EXPECT_EQ(t->NodeKind, nkBinary) << text;
        EXPECT_EQ(t->Code, opNotEqual) << text;
    }
    struct {
        const char* Text;
        uint8_t Code;
    } cmp[] = {{"a=b", opEqual},
               {"a>b", opGreater},
               {"a<b", opLess},
               {"a>=b", opGreaterEqual},
               {"a<=b", opLessEqual}};
    for (auto c : cmp) EXPECT_EQ(Parse(c.Text)->Code, c.Code) << c.Text;

    EXPECT_TRUE(ExpressionTreesEqual(Parse("x IS NULL").get(), Parse("x = NULL").get()));
    EXPECT_TRUE(ExpressionTreesEqual(Parse("x IS NOT NULL").get(), Parse("x <> NULL").get()));
    EXPECT_EQ(Parse("x is not null")->Text, "IS NOT NULL");

    t = Parse("[SELECT]");
    EXPECT_EQ(t->NodeKind, nkColumn);
    EXPECT_EQ(t->ColumnName, "SELECT");
    t = Parse("'C:\\data\\Orders.dat'.\"Last Name\"");
    EXPECT_EQ(t->NodeKind, nkColumn);
    EXPECT_EQ(t->ColumnName, "Last Name");
    EXPECT_EQ(t->TableName, "Orders");
    EXPECT_EQ(t->Text, "C:\\data\\Orders.dat.Last Name");
    t = Parse("o.*", pfAllColumns);
    EXPECT_EQ(t->ColumnName, "*");
}

// The node kind, code and type the parser gives each operator, function and keyword.
TEST_F(ExpressionParserTest, NodeKindsAndCodes) {
    struct {
        const char* Text;
        uint8_t Kind, Code, Type;
    } cases[] = {
        {"a = b", nkBinary, 3, 0},
        {"a <> b", nkBinary, 4, 0},
        {"a > b", nkBinary, 5, 0},
        {"a < b", nkBinary, 6, 0},
        {"a >= b", nkBinary, 7, 0},
        {"a <= b", nkBinary, 8, 0},
        {"NOT a", nkUnary, 9, dtBoolean},
        {"a AND b", nkBinary, 10, dtBoolean},
        {"a OR b", nkBinary, 11, dtBoolean},
        {"-1", nkUnary, 15, dtInteger},
        {"+1.5", nkUnary, 16, dtFloat},
        {"1 + a", nkBinary, 17, dtInteger},
        {"'x' || a", nkBinary, 17, dtString},
        {"a - 1", nkBinary, 18, 0},
        {"a * b", nkBinary, 19, 0},
        {"2 / b", nkBinary, 20, dtInteger},
        {"SUM(a)", nkFunction, 23, 0},
        {"COUNT(a)", nkFunction, 24, 0},
        {"MIN(a)", nkFunction, 25, 0},
        {"MAX(a)", nkFunction, 26, 0},
        {"AVG(a)", nkFunction, 27, 0},
        {"a LIKE 'x'", nkPredicate, 31, dtBoolean},
        {"a IN (1)", nkPredicate, 32, dtBoolean},
        {"UPPER(a)", nkFunction, 35, dtString},
        {"LOWER(a)", nkFunction, 36, dtString},
        {"a BETWEEN 1 AND 2", nkPredicate, 40, dtBoolean},
        {"a NOT BETWEEN 1 AND 2", nkPredicate, 41, dtBoolean},
        {"a NOT LIKE 'x'", nkPredicate, 42, dtBoolean},
        {"a NOT IN (1)", nkPredicate, 43, dtBoolean},
        {"SUBSTRING(a FROM 1)", nkFunction, 45, dtString},
        {"REPLACE('a' WITH 'b' IN c)", nkFunction, 46, dtString},
        {"POS('a' IN c)", nkFunction, 47, dtInteger},
        {"OCCURS('a' IN c)", nkFunction, 48, dtInteger},
        {"TRIM(LEADING ' ' FROM a)", nkFunction, 49, dtString},
        {"TRIM(TRAILING ' ' FROM a)", nkFunction, 50, dtString},
        {"TRIM(BOTH ' ' FROM a)", nkFunction, 51, dtString},
        {"CAST(a AS DATE)", nkFunction, 52, dtDate},
        {"EXTRACT(YEAR FROM a)", nkFunction, 53, dtInteger},
        {"EXTRACT(MONTH FROM a)", nkFunction, 54, dtInteger},
        {"EXTRACT(DAY FROM a)", nkFunction, 55, dtInteger},
        {"EXTRACT(DAYOFWEEK FROM a)", nkFunction, 56, dtInteger},
        {"EXTRACT(HOUR FROM a)", nkFunction, 57, dtInteger},
        {"EXTRACT(MINUTE FROM a)", nkFunction, 58, dtInteger},
        {"EXTRACT(SECOND FROM a)", nkFunction, 59, dtInteger},
        {"IF(a THEN 1 ELSE 2)", nkFunction, 60, 0},
        {"ABS(1.5)", nkFunction, 61, dtFloat},
        {"ROUND(a)", nkFunction, 62, dtFloat},
        {"TRUE", nkConstant, 0, dtBoolean},
        {"FALSE", nkConstant, 0, dtBoolean},
        {"NULL", nkConstant, 0, 0},
        {"CURRENT_DATE", nkConstant, 0, dtDate},
        {"CURRENT_TIME", nkConstant, 0, dtTime},
        {"CURRENT_TIMESTAMP", nkConstant, 0, dtTimeStamp},
        {"a", nkColumn, 0, 0},
    };
    for (auto c : cases) {
        // Words are known in any case.
        for (const std::string& text : {std::string(c.Text), LowerCase(c.Text)}) {
            TExpTree t = Parse(text, pfAggregates | pfExtendedPredicates);
            EXPECT_EQ(t->NodeKind, c.Kind) << text;
            EXPECT_EQ(t->Code, c.Code) << text;
            EXPECT_EQ(t->DataType, c.Type) << text;
        }
    }
}

TEST_F(ExpressionParserTest, TheParserStopsWhereTheExpressionEnds) {
    struct {
        const char* Text;
        const char* Next;
    } cases[] = {{"a = 1 b", "b"}, {"NOT NOT a", "a"}, {"a = b = c", "="}, {"1 2", "2"}};
    for (auto c : cases) {
        TExpressionParser p;
        p.SetText(c.Text);
        p.NextToken();
        TExpTree t = p.ParseExpression(pfExtendedPredicates);
        EXPECT_EQ(p.GetTokenText(), c.Next) << c.Text;
    }
    // The second NOT is a column.
    TExpTree t = Parse("NOT NOT a");
    EXPECT_EQ(t->First->NodeKind, nkColumn);
    EXPECT_EQ(t->First->ColumnName, "NOT");
}

TEST_F(ExpressionParserTest, PredicatesAndFunctions) {
    TExpTree t = Parse("a NOT BETWEEN 1 AND 5");
    EXPECT_EQ(t->NodeKind, nkPredicate);
    EXPECT_EQ(t->Code, opNotBetween);
    EXPECT_EQ(t->Text, "NOT BETWEEN");
    EXPECT_EQ(t->Second->Get<int32_t>(), 1);
    EXPECT_EQ(t->Second->Second->Get<int32_t>(), 5);

    t = Parse("a IN (1, 'x', -3)");
    EXPECT_EQ(t->Code, opInList);
    EXPECT_EQ(t->Second->Text, "1");
    EXPECT_EQ(t->Second->Second->Text, "x");
    EXPECT_EQ(t->Second->Second->Second->Code, opNegate);
    EXPECT_EQ(Parse("a NOT IN (1)")->Code, opNotInList);
    EXPECT_EQ(Parse("a NOT LIKE 'x%'")->Code, opNotLike);

    t = Parse("SUBSTRING(a FROM 2 FOR 3)");
    EXPECT_EQ(t->Code, fnSubstring);
    EXPECT_EQ(t->First->ColumnName, "a");
    EXPECT_EQ(t->Second->Get<int32_t>(), 2);
    EXPECT_EQ(t->Second->Second->Get<int32_t>(), 3);
    t = Parse("REPLACE('x' WITH 'y' IN a)");
    EXPECT_EQ(t->First->ColumnName, "a");
    EXPECT_STREQ(t->Second->Str(), "x");
    EXPECT_STREQ(t->Second->Second->Str(), "y");
    t = Parse("TRIM(TRAILING '.' FROM a)");
    EXPECT_EQ(t->Code, fnTrimTrailing);
    EXPECT_EQ(t->First->ColumnName, "a");
    t = Parse("EXTRACT(dayofweek FROM d)");
    EXPECT_EQ(t->Code, fnExtractDayOfWeek);
    t = Parse("IF(a THEN 1 ELSE 2)");
    EXPECT_EQ(t->Third->Get<int32_t>(), 2);
    t = Parse("ROUND(a TO 2)");
    EXPECT_EQ(t->Second->Get<int32_t>(), 2);
    EXPECT_EQ(Parse("POS('x' IN a)")->DataType, dtInteger);
    EXPECT_EQ(Parse("count(*)", pfAggregates | pfAllColumns)->Code, fnCount);

    struct {
        const char* Type;
        uint8_t DataType, SubType;
    } types[] = {{"SMALLINT", dtSmallInt, 0},   {"word", dtWord, 0},         {"INT", dtInteger, 0},
                 {"AUTOINC", dtInteger, 29},    {"DECIMAL(10,2)", dtBCD, 0}, {"NUMERIC(8,3)", dtFloat, 0},
                 {"FLOAT", dtFloat, 0},         {"MONEY", dtFloat, 21},      {"CHAR(5)", dtString, 0},
                 {"VARCHAR(9)", dtString, 0},   {"DATE", dtDate, 0},         {"TIME", dtTime, 0},
                 {"TIMESTAMP", dtTimeStamp, 0}, {"BOOLEAN", dtBoolean, 0},   {"BYTES", dtBytes, 0},
                 {"BLOB(0,1)", dtBlob, 0}};
    for (auto c : types) {
        t = Parse(std::string("CAST(a AS ") + c.Type + ")");
        EXPECT_EQ(t->DataType, c.DataType) << c.Type;
        EXPECT_EQ(t->SubType, c.SubType) << c.Type;
    }
    // One argument is the precision alone.
    t = Parse("CAST(a AS DECIMAL(10))");
    EXPECT_EQ(t->Second->Get<int32_t>(), 10);
    EXPECT_EQ(t->Second->Second, nullptr);

    TExpToken node;
    TExpressionParser p;
    p.SetText("VARIANT");
    p.NextToken();
    EXPECT_FALSE(p.ParseDataType(&node, 0, true));
    EXPECT_EQ(node.DataType, 0);
    EXPECT_TRUE(p.TokenIs("VARIANT"));

    EXPECT_EQ(AggregateFunctionCode("avg"), fnAvg);
    EXPECT_EQ(AggregateFunctionCode("Sum"), fnSum);
    EXPECT_EQ(AggregateFunctionCode("MEAN"), 0);
    EXPECT_TRUE(IsUpperOfColumn(Parse("UPPER(a)").get()));
    EXPECT_FALSE(IsUpperOfColumn(Parse("UPPER('a')").get()));
    EXPECT_FALSE(IsUpperOfColumn(Parse("LOWER(a)").get()));
}

// Every message text, with the token or Context where each one puts it.
TEST_F(ExpressionParserTest, MessagesWordForWord) {
    const std::string in = " in filter expression";
    auto tok = [&](const std::string& fixed, const std::string& token) { return fixed + token + "'" + in; };
    struct Case {
        std::string Text;
        uint8_t Flags;
        std::string Message;
    } cases[] = {
        {"a /* x", 4, "Missing ending comment slash and asterisk in filter expression"},
        {"'abc", 4, tok("Missing single quote after '", "'abc")},
        {"\"ab", 4, tok("Missing double quote after '", "\"ab")},
        {"[ab", 4, tok("Missing right bracket after '", "[ab")},
        {"", 4, "Unknown or unexpected symbol '' found in filter expression"},
        {"--1", 4, "Unknown or unexpected symbol '-' found in filter expression"},
        {"a NOT x", 4, "Unknown or unexpected symbol 'x' in filter expression"},
        {"a IS 5", 4, "Unknown or unexpected symbol '5' found in filter expression"},
        {"a IS NOT x", 4, "Unknown or unexpected symbol 'x' found in filter expression"},
        {"a LIKE 'x'", 0,
         "Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in filter expression"},
        {"a IN (SELECT b FROM t)", 4, "Sub-select queries are not allowed in filter expression"},
        {"a BETWEEN 1 OR 2", 4, tok("Expected AND operator in BETWEEN operator, instead found '", "OR")},
        {"a IN 1", 4, tok("Expected left parentheses after IN operator, instead found '", "1")},
        {"a NOT IN 1", 4, tok("Expected left parentheses for IN operator, instead found '", "1")},
        {"a IN (1, 2", 4, tok("Expected right parentheses after IN operator, instead found '", "")},
        {"a IN ()", 4,
         "You must provide at least one value as an operand of the IN operator  in filter expression"},
        {"a | b", 4,
         tok("Second concatenation symbol '|' expected after first concatentation symbol, instead found '",
             "b")},
        {"1.2.3", 4, "Constant '1.2.3' is not a valid number  in filter expression"},
        {"12E", 4, "Constant '12E' is not a valid number  in filter expression"},
        {"#256", 4, "Character constants (#) must be within the range of 0 to 255 in filter expression"},
        {"#", 4, "Character constants (#) must be within the range of 0 to 255 in filter expression"},
        {"foo(1)", 4, "Unknown or unexpected function 'foo' found in filter expression"},
        {"t.+", 4,
         tok("Symbol or string expression expected after table correlation name separator '.', instead found "
             "'",
             "+")},
        {"t.*", 4, "* (all columns) symbol is not allowed in filter expression"},
        {"*", 4, "* (all columns) symbol is not allowed in filter expression"},
        {"(a", 4, tok("Right parentheses expected, instead found '", "")},
        {"?", 4, "Parameters are not allowed in filter expression"},
        {"SUM(a)", 4, "Aggregate functions are not allowed in filter expression"},
        {"SUM a", 1, "Left parentheses expectedafter aggregate function 'SUM', instead found 'a'" + in},
        {"Sum(a x", 1,
         "Right parentheses expected after aggregate Sum function argument, instead found 'x'" + in},
        {"LOWER x", 4, tok("Left parentheses expectedafter LOWER keyword, instead found '", "x")},
        {"LOWER(a x", 4,
         tok("Right parentheses expected after LOWER function argument, instead found '", "x")},
        {"UPPER x", 4, tok("Left parentheses expectedafter UPPER keyword, instead found '", "x")},
        {"UPPER(a x", 4,
         tok("Right parentheses expected after UPPER function argument, instead found '", "x")},
        {"ABS x", 4, tok("Left parentheses expectedafter ABS keyword, instead found '", "x")},
        {"ABS(a x", 4, tok("Right parentheses expected after ABS function argument, instead found '", "x")},
        {"SUBSTRING x", 4, tok("Left parentheses expected after SUBSTRING keyword, instead found '", "x")},
        {"SUBSTRING(a x", 4,
         tok("FROM keyword expected after first SUBSTRING function argument, instead found '", "x")},
        {"SUBSTRING(a FROM 1 x", 4,
         tok("Right parentheses expected after SUBSTRING function arguments, instead found '", "x")},
        {"REPLACE x", 4, tok("Left parentheses expected after REPLACE keyword, instead found '", "x")},
        {"REPLACE('a' x", 4,
         tok("WITH keyword expected after first REPLACE function argument, instead found '", "x")},
        {"REPLACE('a' WITH 'b' x", 4,
         tok("IN keyword expected after second REPLACE function argument, instead found '", "x")},
        {"REPLACE('a' WITH 'b' IN c x", 4,
         tok("Right parentheses expected after REPLACE function arguments, instead found '", "x")},
        {"POS x", 4, tok("Left parentheses expected after POS keyword, instead found '", "x")},
        {"POS('a' x", 4, tok("IN keyword expected after first POS function argument, instead found '", "x")},
        {"POS('a' IN b x", 4,
         tok("Right parentheses expected after POS function arguments, instead found '", "x")},
        {"OCCURS x", 4, tok("Left parentheses expected after OCCURS keyword, instead found '", "x")},
        {"OCCURS('a' x", 4,
         tok("IN keyword expected after first OCCURS function argument, instead found '", "x")},
        {"OCCURS('a' IN b x", 4,
         tok("Right parentheses expected after OCCURS function arguments, instead found '", "x")},
        {"CAST x", 4, tok("Left parentheses expected after CAST keyword, instead found '", "x")},
        {"CAST(a x", 4, tok("AS keyword expected after first CAST function argument, instead found '", "x")},
        {"CAST(a AS INT x", 4,
         tok("Right parentheses expected after CAST function arguments, instead found '", "x")},
        {"CAST(a AS FOO)", 4, tok("SQL data type keyword expected, instead found '", "FOO")},
        {"TRIM x", 4, tok("Left parentheses expected after TRIM keyword, instead found '", "x")},
        {"TRIM(x", 4,
         tok("LEADING, TRAILING, or BOTH keyword expected after TRIM keyword, instead found '", "x")},
        {"TRIM(BOTH 'a' x", 4,
         tok("FROM keyword expected after second TRIM function argument, instead found '", "x")},
        {"TRIM(BOTH 'a' FROM b x", 4,
         tok("Right parentheses expected after TRIM function arguments, instead found '", "x")},
        {"EXTRACT x", 4, tok("Left parentheses expected after EXTRACT keyword, instead found '", "x")},
        {"EXTRACT(x", 4,
         tok("YEAR, MONTH, DAY, DAYOFWEEK, HOUR, MINUTE, or SECOND keyword expected after EXTRACT keyword, "
             "instead "
             "found '",
             "x")},
        {"EXTRACT(YEAR x", 4,
         tok("FROM keyword expected after second EXTRACT function argument, instead found '", "x")},
        {"EXTRACT(YEAR FROM d x", 4,
         tok("Right parentheses expected after EXTRACT function arguments, instead found '", "x")},
        {"ROUND x", 4, tok("Left parentheses expectedafter ROUND keyword, instead found '", "x")},
        {"ROUND(a x", 4,
         tok("Right parentheses expected after ROUND function arguments, instead found '", "x")},
        {"IF x", 4, tok("Left parentheses expectedafter IF keyword, instead found '", "x")},
        {"IF(a x", 4, tok("THEN keyword expected after first IF function argument, instead found '", "x")},
        {"IF(a THEN 1 x", 4,
         tok("ELSE keyword expected after second IF function argument, instead found '", "x")},
        {"IF(a THEN 1 ELSE 2 x", 4,
         tok("Right parentheses expected after IF function arguments, instead found '", "x")},
        {"CAST(a AS DECIMAL(10 x", 4,
         tok("Comma expected after first DECIMAL argument, instead found '", "x")},
        {"CAST(a AS DECIMAL(10,2 x", 4,
         tok("Right parentheses expected after DECIMAL data type arguments, instead found '", "x")},
        {"CAST(a AS NUMERIC(10 x", 4,
         tok("Comma expected after first NUMERIC argument, instead found '", "x")},
        {"CAST(a AS NUMERIC(10,2 x", 4,
         tok("Right parentheses expected after NUMERIC data type arguments, instead found '", "x")},
        {"CAST(a AS FLOAT(10 x", 4, tok("Comma expected after first FLOAT argument, instead found '", "x")},
        {"CAST(a AS FLOAT(10,2 x", 4,
         tok("Right parentheses expected after FLOAT data type arguments, instead found '", "x")},
        {"CAST(a AS CHAR x", 4,
         tok("Left parentheses expected after CHARACTER or CHAR data type, instead found '", "x")},
        {"CAST(a AS CHARACTER(5 x", 4,
         tok("Right parentheses expected after CHARACTER or CHAR data type arguments, instead found '", "x")},
        {"CAST(a AS VARCHAR x", 4,
         tok("Left parentheses expected after VARCHAR data type, instead found '", "x")},
        {"CAST(a AS VARCHAR(5 x", 4,
         tok("Right parentheses expected after VARCHAR data type arguments, instead found '", "x")},
        {"CAST(a AS BYTES(5 x", 4,
         tok("Right parentheses expected after CHARACTER data type arguments, instead found '", "x")},
        {"CAST(a AS BLOB x", 4, tok("Left parentheses expected after BLOB data type, instead found '", "x")},
        {"CAST(a AS BLOB(0 x", 4, tok("Comma expected after first BLOB argument, instead found '", "x")},
        {"CAST(a AS BLOB(0,1 x", 4,
         tok("Right parentheses expected after BLOB data type arguments, instead found '", "x")},
        {"a BETWEEN b + 1 AND 2", 4,
         "Constant expression expected after BETWEEN operator, instead found '+' in filter expression"},
        {"a NOT IN (b + 1, 2)", 4,
         "Constant expression expected after NOT IN operator, instead found '+' in filter expression"},
        {"SUBSTRING(a FROM (b + 1) FOR 2)", 4,
         "FROM argument of SUBSTRING function must be an integer constant in filter expression"},
        {"REPLACE(a + 1 WITH 'x' IN c)", 4,
         "Search argument of REPLACE function must be a string constant in filter expression"},
        {"CAST(a AS DECIMAL((1 + 2), 3))", 4, "Unknown or unexpected symbol '+' found in filter expression"},
        {std::string(300, '('), 4, "Expression nested too deeply in filter expression"},
        // Beyond the range of a stored float.
        {"1E400", 4, "Constant '1E400' is not a valid number  in filter expression"},
        {"-1E400", 4, "Constant '1E400' is not a valid number  in filter expression"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ErrorOf([&] { Parse(c.Text, c.Flags); }), Expected(c.Message)) << c.Text;
    }
}

TEST_F(ExpressionParserTest, ErrorsCarryTheCallersCodeAndTable) {
    TExpressionParser p;
    p.SetErrorCode(ZIZIVU_SQLERROR);
    p.SetTableName("Orders");
    p.SetContext("WHERE clause");
    p.SetText("a +");
    p.NextToken();
    std::string got = ErrorOf([&] { TExpTree t = p.ParseExpression(28); }, ZIZIVU_SQLERROR);
    EXPECT_EQ(got,
              Expected("Unknown or unexpected symbol '' found in WHERE clause", ZIZIVU_SQLERROR, "Orders"));
}

// Nodes built before an error go back to the pool.
TEST_F(ExpressionParserTest, AFailedParseReturnsItsNodesToThePool) {
    std::vector<TExpToken*> spare;
    for (int i = 0; i < 64; ++i) spare.push_back(NewExpToken());
    for (auto*& t : spare) DisposeExpToken(t);
    const int32_t idle = ExpTokenStack()->IdleCount();
    for (const char* text : {"a + b * (c - d", "a AND b OR SUBSTRING(c FROM 1 x", "a IN (1, 2, 3 x",
                             "IF(a THEN b ELSE c x", "CAST(a AS BLOB(1, 2 x", "x BETWEEN (1 + 2) AND 3"}) {
        EXPECT_NE(ErrorOf([&] { Parse(text); }), "(no error)") << text;
        EXPECT_EQ(ExpTokenStack()->IdleCount(), idle) << text;
    }
    { TExpTree ok = Parse("a + b * c"); }
    EXPECT_EQ(ExpTokenStack()->IdleCount(), idle);
}

// Tree walkers recurse: a chain deeper than they allow is refused when parsed, while a
// long IN list (chained through Second and walked in loops) is not.
TEST_F(ExpressionParserTest, LongChainsAndLongLists) {
    auto chain = [](const std::string& op, int terms) {
        std::string s = "a";
        for (int i = 1; i < terms; ++i) s += op + "a";
        return s;
    };
    for (const char* op : {" OR ", " AND ", "+", "*"}) {
        EXPECT_EQ(ErrorOf([&] { Parse(chain(op, 1000)); }), "(no error)") << op;
        EXPECT_EQ(ErrorOf([&] { Parse(chain(op, 1001)); }),
                  Expected("Expression nested too deeply in filter expression"))
            << op;
        // Far beyond the bound, it is refused once past it, not after the whole chain was
        // built (a million terms took gigabytes first).
        const int32_t idle = ExpTokenStack()->IdleCount();
        EXPECT_EQ(ErrorOf([&] { Parse(chain(op, 50000)); }),
                  Expected("Expression nested too deeply in filter expression"))
            << op;
        EXPECT_LT(ExpTokenStack()->IdleCount() - idle, 5000) << op;
    }
    // Every public level checks what it built.
    TExpressionParser p;
    p.SetErrorCode(ZIZIVU_FILTERERR);
    p.SetText(chain("+", 1500));
    p.NextToken();
    EXPECT_EQ(ErrorOf([&] { TExpTree t = p.ParseSum(0); }), Expected("Expression nested too deeply in "));

    std::string list = "a IN (1";
    for (int i = 2; i <= 60000; ++i) list += "," + std::to_string(i);
    TExpTree t = Parse(list + ")");
    TExpTree copy = CloneExpressionTree(t.get());
    EXPECT_TRUE(ExpressionTreesEqual(t.get(), copy.get()));
    TExpToken* last = copy->Second;
    while (last->Second) {
        EXPECT_EQ(last->Second->Parent, last);
        last = last->Second;
    }
    EXPECT_EQ(last->Get<int32_t>(), 60000);
    last->Set<int32_t>(1);
    EXPECT_FALSE(ExpressionTreesEqual(t.get(), copy.get()));
}

TEST_F(ExpressionParserTest, TokenBufferAndCopies) {
    TExpToken t;
    EXPECT_EQ(t.BufferSize, 255);
    t.SetDataSize(600);
    EXPECT_EQ(t.BufferSize, 765);
    t.Value[599] = 7;
    t.Text = "x";
    t.First = &t;
    TExpToken c;
    c.Assign(t);
    EXPECT_EQ(c.Value[599], 7);
    EXPECT_EQ(c.First, &t);
    EXPECT_TRUE(c.IsEqual(t));
    t.Clear();
    EXPECT_EQ(t.BufferSize, 255);
    EXPECT_EQ(t.First, nullptr);
    EXPECT_EQ(t.DataSize, 0u);
    EXPECT_EQ(t.Value[0], 0);

    // A size beyond the 32-bit capacity is refused and leaves the buffer as it was.
    EXPECT_EQ(ErrorOf([&] { t.SetDataSize(0x80000000u); }, ZIZIVU_OSNOMEMORY),
              FormatEngineErrorMessage(ZIZIVU_OSNOMEMORY, "", "", "", ""));
    EXPECT_EQ(t.BufferSize, 255);
    ASSERT_NE(t.Value, nullptr);
    EXPECT_EQ(t.DataSize, 0u);
}

TEST_F(ExpressionParserTest, ParametersAndSubSelectsGoToTheOwningStatement) {
    TFakeStatement st;
    TExpressionParser p(&st);
    p.SetErrorCode(ZIZIVU_SQLERROR);
    p.SetContext("WHERE clause");
    p.SetText("a = ? AND b IN (SELECT k FROM t) AND c <> ?");
    p.NextToken();
    TExpTree t = p.ParseExpression(28);
    ASSERT_EQ(st.Params.size(), 2u);
    EXPECT_EQ(st.Params[0]->IsParameter, 1);
    EXPECT_EQ(st.Params[0], t->First->First->Second);
    ASSERT_EQ(st.Queries.size(), 1u);
    TExpToken* in = t->First->Second;
    EXPECT_EQ(in->Code, opInSelect);
    EXPECT_EQ(in->Second->NodeKind, nkSubSelect);
    EXPECT_EQ(in->Second->Text, "SELECT");
    EXPECT_EQ(in->Second->SubQuery, st.Queries[0].get());
    EXPECT_EQ(p.TokenKind(), tkEnd);

    p.SetText("b NOT IN (SELECT k FROM t)");
    p.NextToken();
    t = p.ParseExpression(28);
    EXPECT_EQ(t->Code, opNotInSelect);
    p.SetText("b IN (SELECT k FROM t)");
    p.NextToken();
    EXPECT_EQ(ErrorOf([&] { TExpTree x = p.ParseExpression(12); }, ZIZIVU_SQLERROR),
              Expected("Sub-select queries are not allowed in WHERE clause", ZIZIVU_SQLERROR));
}

}  // namespace
