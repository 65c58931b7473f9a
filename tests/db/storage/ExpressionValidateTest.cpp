#include <string>
#include <vector>

#include "ExpressionTestSupport.h"

using namespace exprtest;

namespace {

class ExpressionValidateTest : public ExpressionTest {};

constexpr uint8_t NUL = 0, STR = dtString, DAT = dtDate, BLB = dtBlob, BOO = dtBoolean, SMA = dtSmallInt,
                  INT = dtInteger, FLT = dtFloat, BCD = dtBCD, BYT = dtBytes, TIM = dtTime, TST = dtTimeStamp,
                  WRD = dtWord;
constexpr uint8_t MEMO = 22, GRAPHIC = 23, MONEY = 21;

TEST(ExpressionTypeRules, OperatorAcceptsTypes) {
    struct {
        uint8_t Code, L, LS, R, RS;
        bool Want;
    } cases[] = {
        {3, STR, 0, NUL, 0, true},
        {3, STR, 0, BLB, MEMO, true},
        {3, STR, 0, BLB, GRAPHIC, false},
        {3, STR, 0, INT, 0, false},
        {4, DAT, 0, TST, 0, true},
        {3, TST, 0, TIM, 0, false},
        {3, BLB, MEMO, STR, 0, true},
        {3, BLB, GRAPHIC, NUL, 0, true},
        {3, BLB, GRAPHIC, BLB, GRAPHIC, false},
        {3, BOO, 0, BOO, 0, true},
        {3, BOO, 0, INT, 0, false},
        {3, WRD, 0, BCD, 0, true},
        {3, TIM, 0, TIM, 0, true},
        {3, BYT, 0, NUL, 0, false},
        {3, BYT, 0, BYT, 0, false},
        {3, NUL, 0, INT, 0, false},
        {3 | 128, INT, 0, FLT, 0, true},
        {5, STR, 0, BLB, MEMO, true},
        {6, STR, 0, NUL, 0, false},
        {7, DAT, 0, TST, 0, true},
        {8, BOO, 0, BOO, 0, false},
        {5, BLB, GRAPHIC, BLB, GRAPHIC, false},
        {5, TIM, 0, DAT, 0, false},
        {10, BOO, 0, BOO, 0, true},
        {11, BOO, 0, INT, 0, false},
        {17, STR, 0, STR, 0, true},
        {17, DAT, 0, INT, 0, true},
        {17, DAT, 0, FLT, 0, false},
        {17, SMA, 0, TST, 0, true},
        {17, FLT, 0, DAT, 0, false},
        {17, BCD, 0, WRD, 0, true},
        {18, DAT, 0, DAT, 0, true},
        {18, DAT, 0, TIM, 0, false},
        {18, TIM, 0, TIM, 0, true},
        {18, TIM, 0, DAT, 0, false},
        {18, TST, 0, TIM, 0, true},
        {18, INT, 0, DAT, 0, false},
        {19, INT, 0, BCD, 0, true},
        {20, STR, 0, STR, 0, false},
        {19, DAT, 0, INT, 0, false},
        {3, 13, 0, 13, 0, false},
        {3, 14, 0, 14, 0, false},
    };
    for (auto c : cases)
        EXPECT_EQ(OperatorAcceptsTypes(c.Code, c.L, c.LS, c.RS, c.R), c.Want)
            << int(c.Code) << " " << int(c.L) << "/" << int(c.LS) << " " << int(c.R) << "/" << int(c.RS);
}

TEST(ExpressionTypeRules, BinaryResultTypes) {
    struct {
        uint8_t Code, L, R, Want;
    } cases[] = {
        {3, STR, STR, BOO},  {11, BOO, BOO, BOO}, {17, STR, STR, STR}, {17, STR, BLB, BLB},
        {17, BLB, STR, BLB}, {17, DAT, INT, DAT}, {17, TIM, SMA, TIM}, {17, TST, WRD, TST},
        {17, INT, DAT, DAT}, {17, WRD, TST, TST}, {17, SMA, WRD, INT}, {17, INT, FLT, FLT},
        {18, INT, BCD, BCD}, {19, WRD, FLT, FLT}, {20, FLT, INT, FLT}, {17, BCD, INT, BCD},
        {20, BCD, BCD, BCD}, {19, BCD, FLT, FLT}, {18, DAT, DAT, INT}, {18, DAT, WRD, DAT},
        {18, SMA, INT, INT}, {18, WRD, WRD, WRD}, {18, WRD, INT, WRD}, {18, TIM, INT, TIM},
        {18, TIM, TIM, INT}, {18, TST, DAT, INT}, {18, TST, TIM, INT}, {18, TST, INT, TST},
        {18, TST, TST, FLT}, {19, SMA, INT, INT}, {20, INT, INT, FLT}, {20, INT, FLT, FLT},
        {20, WRD, BCD, BCD},
    };
    for (auto c : cases)
        EXPECT_EQ(BinaryResultType(c.Code, c.L, c.R), c.Want)
            << int(c.Code) << " " << int(c.L) << " " << int(c.R);

    struct {
        uint8_t Code, L, LS, R, RS, Want;
    } subs[] = {
        {17, STR, 0, BLB, MEMO, MEMO},   {17, STR, 0, STR, 0, 0},         {17, BLB, MEMO, STR, 0, MEMO},
        {17, INT, 0, FLT, MONEY, MONEY}, {17, FLT, MONEY, INT, 0, MONEY}, {17, FLT, 0, FLT, 0, 0},
        {19, FLT, MONEY, FLT, 0, MONEY}, {18, FLT, MONEY, INT, 0, MONEY}, {18, INT, 0, FLT, MONEY, 0},
        {20, FLT, 0, FLT, MONEY, 0},     {20, FLT, MONEY, BCD, 0, MONEY}, {3, FLT, MONEY, FLT, MONEY, 0},
    };
    for (auto c : subs)
        EXPECT_EQ(BinaryResultSubType(c.Code, c.L, c.LS, c.RS, c.R), c.Want)
            << int(c.Code) << " " << int(c.L) << "/" << int(c.LS) << " " << int(c.R) << "/" << int(c.RS);
}

TEST(ExpressionTypeRules, UnaryAndCastTables) {
    EXPECT_TRUE(UnaryAcceptsType(opNot, BOO));
    EXPECT_FALSE(UnaryAcceptsType(opNot, INT));
    EXPECT_TRUE(UnaryAcceptsType(opIsNull, BOO));
    EXPECT_TRUE(UnaryAcceptsType(opNegate, TST));
    EXPECT_FALSE(UnaryAcceptsType(opNegate, WRD));
    EXPECT_TRUE(UnaryAcceptsType(opPlusSign, WRD));
    EXPECT_FALSE(UnaryAcceptsType(opPlusSign, STR));
    EXPECT_EQ(UnaryResultType(opNot, BOO), BOO);
    EXPECT_EQ(UnaryResultType(opNegate, BCD), BCD);
    EXPECT_EQ(UnaryResultSubType(opNegate, FLT, MONEY), MONEY);
    EXPECT_EQ(UnaryResultSubType(opNot, BOO, 5), 0);

    struct {
        uint8_t Target, Source;
        bool Want;
    } casts[] = {
        {STR, NUL, true},  {STR, BLB, false}, {BYT, TST, true},  {DAT, TST, true},  {DAT, TIM, false},
        {BLB, BLB, true},  {BLB, STR, false}, {BOO, BCD, true},  {BOO, FLT, false}, {SMA, BOO, true},
        {WRD, FLT, true},  {INT, BOO, false}, {FLT, WRD, true},  {BCD, STR, true},  {TIM, TST, true},
        {TIM, DAT, false}, {TST, DAT, true},  {TST, BOO, false}, {INT, NUL, false}, {STR, 13, false},
    };
    for (auto c : casts)
        EXPECT_EQ(CastAcceptsType(c.Target, c.Source), c.Want) << int(c.Target) << " " << int(c.Source);
}

// The operator, result and CAST tables written out once more, row by row as documented,
// and compared with the rules over every pair of types (BLOB split into memo and other).
struct TTypeKey {
    const char* Name;
    uint8_t Type, SubType;
};
const TTypeKey AllTypes[] = {
    {"NULL", NUL, 0},       {"STR", STR, 0}, {"DAT", DAT, 0}, {"MEMO", BLB, MEMO},
    {"BLOB", BLB, GRAPHIC}, {"BOO", BOO, 0}, {"SMA", SMA, 0}, {"INT", INT, 0},
    {"FLT", FLT, 0},        {"BCD", BCD, 0}, {"BYT", BYT, 0}, {"TIM", TIM, 0},
    {"TST", TST, 0},        {"WRD", WRD, 0}, {"13", 13, 0},   {"14", 14, 0},
};

// "SMA INT" style lists; NUM stands for the numeric types, INTS for smallint, integer, word.
bool Listed(const std::string& list, const std::string& name) {
    std::string l = " " + list + " ";
    auto has = [&](const std::string& w) { return l.find(" " + w + " ") != std::string::npos; };
    if (has(name)) return true;
    if (has("NUM") && (name == "SMA" || name == "INT" || name == "FLT" || name == "BCD" || name == "WRD"))
        return true;
    return has("INTS") && (name == "SMA" || name == "INT" || name == "WRD");
}

TEST(ExpressionTypeRules, WholeTables) {
    struct TRow {
        std::vector<uint8_t> Codes;
        const char* Left;
        const char* Right;
    };
    const TRow accepts[] = {
        {{3, 4}, "STR", "NULL STR MEMO"},
        {{3, 4}, "DAT TST", "NULL DAT TST"},
        {{3, 4}, "MEMO", "NULL STR MEMO"},
        {{3, 4}, "BLOB", "NULL"},
        {{3, 4}, "BOO", "NULL BOO"},
        {{3, 4}, "NUM", "NULL NUM"},
        {{3, 4}, "TIM", "NULL TIM"},
        {{5, 6, 7, 8}, "STR MEMO", "STR MEMO"},
        {{5, 6, 7, 8}, "DAT TST", "DAT TST"},
        {{5, 6, 7, 8}, "NUM", "NUM"},
        {{5, 6, 7, 8}, "TIM", "TIM"},
        {{10, 11}, "BOO", "BOO"},
        {{17}, "STR MEMO", "STR MEMO"},
        {{17}, "DAT TIM TST", "INTS"},
        {{17}, "INTS", "DAT NUM TIM TST"},
        {{17}, "FLT BCD", "NUM"},
        {{18}, "DAT", "DAT INTS"},
        {{18}, "NUM", "NUM"},
        {{18}, "TIM", "INTS TIM"},
        {{18}, "TST", "DAT INTS TIM TST"},
        {{19, 20}, "NUM", "NUM"},
    };
    // Result types of the arithmetic codes for accepted pairs ("=" keeps the left or right).
    struct TResult {
        std::vector<uint8_t> Codes;
        const char* Left;
        const char* Right;
        uint8_t Want;
    };
    const TResult results[] = {
        {{17}, "STR", "STR", STR},
        {{17}, "STR", "MEMO", BLB},
        {{17}, "MEMO", "STR MEMO", BLB},
        {{17}, "DAT", "INTS", DAT},
        {{17}, "TIM", "INTS", TIM},
        {{17}, "TST", "INTS", TST},
        {{17}, "INTS", "DAT", DAT},
        {{17}, "INTS", "TIM", TIM},
        {{17}, "INTS", "TST", TST},
        {{17}, "INTS", "INTS", INT},
        {{17, 18, 19}, "INTS", "FLT", FLT},
        {{17, 18, 19}, "INTS", "BCD", BCD},
        {{17, 18, 19, 20}, "FLT", "NUM", FLT},
        {{17, 18, 19, 20}, "BCD", "INTS BCD", BCD},
        {{17, 18, 19, 20}, "BCD", "FLT", FLT},
        {{18}, "DAT", "DAT", INT},
        {{18}, "DAT", "INTS", DAT},
        {{18}, "SMA INT", "INTS", INT},
        {{18}, "WRD", "INTS", WRD},
        {{18}, "TIM", "INTS", TIM},
        {{18}, "TIM", "TIM", INT},
        {{18}, "TST", "DAT TIM", INT},
        {{18}, "TST", "INTS", TST},
        {{18}, "TST", "TST", FLT},
        {{19}, "INTS", "INTS", INT},
        {{20}, "INTS", "SMA INT FLT WRD", FLT},
        {{20}, "INTS", "BCD", BCD},
    };
    for (uint8_t code = 1; code <= 62; ++code) {
        for (const auto& l : AllTypes) {
            for (const auto& r : AllTypes) {
                bool want = false;
                for (const auto& row : accepts)
                    for (uint8_t c : row.Codes)
                        if (c == code && Listed(row.Left, l.Name) && Listed(row.Right, r.Name)) want = true;
                const bool got = OperatorAcceptsTypes(code, l.Type, l.SubType, r.SubType, r.Type);
                EXPECT_EQ(got, want) << int(code) << " " << l.Name << " " << r.Name;
                if (!got) continue;
                uint8_t result = 0;
                if (code <= 11) result = BOO;
                for (const auto& row : results)
                    for (uint8_t c : row.Codes)
                        if (c == code && Listed(row.Left, l.Name) && Listed(row.Right, r.Name))
                            result = row.Want;
                // Comparisons with the untyped NULL stay boolean; arithmetic always has a row.
                EXPECT_EQ(BinaryResultType(code, l.Type, r.Type), result)
                    << int(code) << " " << l.Name << " " << r.Name;
            }
        }
    }

    struct TUnary {
        uint8_t Code;
        const char* Accepts;
    };
    const TUnary unary[] = {{1, "BOO"},
                            {2, "BOO"},
                            {9, "BOO"},
                            {15, "DAT SMA INT FLT BCD TIM TST"},
                            {16, "DAT SMA INT FLT BCD TIM TST WRD"}};
    for (uint8_t code = 1; code <= 62; ++code) {
        for (const auto& t : AllTypes) {
            bool want = false;
            for (const auto& row : unary)
                if (row.Code == code && Listed(row.Accepts, t.Name)) want = true;
            EXPECT_EQ(UnaryAcceptsType(code, t.Type), want) << int(code) << " " << t.Name;
            if (want) {
                EXPECT_EQ(UnaryResultType(code, t.Type), code <= 9 ? BOO : t.Type)
                    << int(code) << " " << t.Name;
            }
        }
    }

    struct TCast {
        const char* Targets;
        const char* Sources;
    };
    const TCast casts[] = {
        {"STR BYT", "NULL STR DAT BOO NUM BYT TIM TST"},
        {"DAT", "STR DAT BYT TST"},
        {"MEMO BLOB", "MEMO BLOB"},
        {"BOO", "STR BOO SMA INT BCD BYT WRD"},
        {"SMA WRD", "STR BOO NUM BYT"},
        {"INT FLT BCD", "STR NUM BYT"},
        {"TIM", "STR BYT TIM TST"},
        {"TST", "STR DAT BYT TIM TST"},
    };
    for (const auto& t : AllTypes) {
        for (const auto& s : AllTypes) {
            bool want = false;
            for (const auto& row : casts)
                if (Listed(row.Targets, t.Name) && Listed(row.Sources, s.Name)) want = true;
            EXPECT_EQ(CastAcceptsType(t.Type, s.Type), want) << t.Name << " from " << s.Name;
        }
    }
}

TEST_F(ExpressionValidateTest, BooleanColumnsBecomeComparisons) {
    TExpTree t = Check("Active");
    ASSERT_EQ(t->NodeKind, nkBinary);
    EXPECT_EQ(t->Code, opEqual);
    EXPECT_EQ(t->First->ColumnName, "Active");
    EXPECT_EQ(t->First->Parent, t.get());
    EXPECT_EQ(t->Second->Get<uint16_t>(), 1);
    EXPECT_EQ(t->Second->Text, "True");

    t = Check("NOT Active");
    EXPECT_EQ(t->Code, opNot);
    EXPECT_EQ(t->First->Code, opEqual);
    EXPECT_EQ(t->First->First->NodeKind, nkColumn);

    t = Check("Active AND Qty = 1");
    EXPECT_EQ(t->First->Code, opEqual);
    t = Check("Active = FALSE");  // already a comparison
    EXPECT_EQ(t->First->NodeKind, nkColumn);
    t = Check("CAST(Qty AS BOOLEAN)");
    EXPECT_EQ(t->Code, opEqual);
    EXPECT_EQ(t->First->Code, fnCast);

    // Without the rewrite a bare boolean column stays a column.
    t = Parse("Active");
    ValidateExpression(ZIZIVU_SQLERROR, "", "", false, Table.Binder(), nullptr, nullptr, t.get());
    EXPECT_EQ(t->NodeKind, nkColumn);
}

TEST_F(ExpressionValidateTest, QuotedTextsMayNameColumns) {
    TExpTree t = Check("Name = 'Smith'");  // a column Smith exists, yet this is a string
    EXPECT_EQ(t->Second->NodeKind, nkConstant);
    EXPECT_EQ(t->Second->DataType, dtString);
    EXPECT_EQ(t->Second->DataSize, 6u);
    EXPECT_TRUE(t->Second->ColumnName.empty());

    t = Check("'Name' = 'Smith'");
    EXPECT_EQ(t->First->NodeKind, nkColumn);
    EXPECT_EQ(t->First->BoundFromString, 1);
    EXPECT_EQ(t->Second->NodeKind, nkConstant);

    t = Check("'Name' = Smith");
    EXPECT_EQ(t->First->NodeKind, nkConstant);
    EXPECT_STREQ(t->First->Str(), "Name");
    EXPECT_EQ(t->Second->NodeKind, nkColumn);

    t = Check("UPPER('Name') = 'X'");
    EXPECT_EQ(t->First->First->NodeKind, nkColumn);
    // IN values are never taken as columns.
    t = Check("Name IN ('Smith', 'Name')");
    EXPECT_EQ(t->Second->NodeKind, nkConstant);
    EXPECT_EQ(t->Second->Second->NodeKind, nkConstant);
}

TEST_F(ExpressionValidateTest, DateStringsAreConverted) {
    TExpTree t = Check("Day > '2001-05-01'");
    EXPECT_EQ(t->Second->DataType, dtDate);
    EXPECT_EQ(t->Second->Get<int32_t>(), DayOf(2001, 5, 1));
    t = Check("'10:30:00' < At");
    EXPECT_EQ(t->First->DataType, dtTime);
    EXPECT_EQ(t->First->Get<int32_t>(), MsOf(10, 30, 0));
    t = Check("Day BETWEEN '2001-01-01' AND '2001-12-31'");
    EXPECT_EQ(t->Second->Second->Get<int32_t>(), DayOf(2001, 12, 31));
    t = Check("Stamp IN ('2001-01-01 10:00:00')");
    EXPECT_EQ(t->Second->DataType, dtTimeStamp);
    EXPECT_EQ(t->Second->Get<double>(), StampOf(2001, 1, 1, 10, 0, 0));
}

TEST_F(ExpressionValidateTest, ResultTypesAndSizes) {
    struct {
        const char* Text;
        uint8_t Type;
        uint32_t Size;
        uint8_t SubType;
    } cases[] = {
        {"IF(Active THEN NULL ELSE 5)", dtInteger, 4, 0},
        {"Day - Day2", dtInteger, 4, 0},
        {"Stamp - Stamp2", dtFloat, 8, 0},
        {"W - W", dtWord, 2, 0},
        // A result of another type than its operands holds that type's stored form whole.
        {"Qty / Qty", dtFloat, 8, 0},
        {"Small / W", dtFloat, 8, 0},
        {"Small * Small", dtInteger, 4, 0},
        {"Small + W", dtInteger, 4, 0},
        {"Stamp - Day", dtInteger, 4, 0},
        {"Qty > Small", dtBoolean, 2, 0},
        {"'ab' || Name", dtString, 23, 0},
        {"Name + Memo", dtBlob, 28, 22},
        {"SUBSTRING(Name FROM 3 FOR 4)", dtString, 5, 0},
        // The characters from FROM to the end and the terminator.
        {"SUBSTRING(Name FROM 1)", dtString, 21, 0},
        {"SUBSTRING(Name FROM 5)", dtString, 17, 0},
        {"SUBSTRING(Name FROM 40)", dtString, 1, 0},
        // FOR never sizes beyond what the subject can yield.
        {"SUBSTRING(Name FROM 5 FOR 30)", dtString, 17, 0},
        {"SUBSTRING(Name FROM 1 FOR 2147483647)", dtString, 21, 0},
        {"SUBSTRING(Memo FROM 2 FOR 2147483647)", dtBlob, 7, 22},
        {"UPPER(Memo)", dtBlob, 8, 22},
        {"Cash * 2", dtFloat, 8, 21},
        {"-Amount", dtBCD, 8, 0},
        {"COUNT(*)", dtInteger, 4, 0},
        {"MAX(Day)", dtDate, 4, 0},
        {"CAST(Qty AS CHAR(12))", dtString, 13, 0},
        {"CAST(Name AS CHAR(12))", dtString, 13, 0},
        {"CAST(Qty AS DECIMAL(10,2))", dtBCD, 8, 0},
        {"CAST(Name AS BYTES)", dtBytes, 21, 0},
        {"CAST(Memo AS BLOB(0,3))", dtBlob, 8, 24},
        {"ROUND(Amount TO 1)", dtFloat, 8, 0},
        {"EXTRACT(HOUR FROM Stamp)", dtInteger, 4, 0},
        {"POS('a' IN Name)", dtInteger, 4, 0},
        // REPLACE: the subject's size, or the most a longer replacement can make of it.
        {"REPLACE('ab' WITH 'x' IN Name)", dtString, 21, 0},
        {"REPLACE('a' WITH 'xyz' IN Name)", dtString, 61, 0},
        {"REPLACE('ab' WITH 'xyz' IN Name)", dtString, 31, 0},
        {"REPLACE('a' WITH '0123456789abcdef' IN Name)", dtString, 251, 0},
        {"ABS(Small)", dtSmallInt, 2, 0},
    };
    for (auto c : cases) {
        TExpTree t = Check(c.Text);
        EXPECT_EQ(t->DataType, c.Type) << c.Text;
        EXPECT_EQ(t->DataSize, c.Size) << c.Text;
        EXPECT_EQ(t->SubType, c.SubType) << c.Text;
    }
    EXPECT_EQ(Check("CAST(Qty AS DECIMAL(10,2))")->Decimals, 2);
}

TEST_F(ExpressionValidateTest, MessagesWordForWord) {
    const std::string in = " in filter expression";
    struct Case {
        std::string Text;
        std::string Message;
    } cases[] = {
        {"Nope = 1",
         "Invalid column name 'Nope' or table correlation name '' specified in filter expression"},
        {"t.Nope = 1",
         "Invalid column name 'Nope' or table correlation name 't' specified in filter expression"},
        {"-Name = 'a'", "Type mismatch between '-' operator and 'Name'" + in},
        {"NOT Qty", "Type mismatch between 'NOT' operator and 'Qty'" + in},
        {"Name = 1", "Type mismatch between column 'Name' and constant '1'" + in},
        {"Qty + 1 = UPPER(Name)", "Type mismatch between expression '+' and function 'UPPER'" + in},
        {"NULL = Qty", "Type mismatch between constant 'NULL' and column 'Qty'" + in},
        {"Raw IS NULL", "Type mismatch between column 'Raw' and constant 'NULL'" + in},
        {"Raw = Raw", "Type mismatch between column 'Raw' and column 'Raw'" + in},
        {"Day > 'xyz'", "Date, time, or timestamp expression expected, instead found 'xyz'" + in},
        {"SUM(Name) > 1",
         "SUM aggregate function must contain a numeric, date, time, or timestamp expression in filter "
         "expression"},
        {"UPPER(Qty) = 'a'", "Type mismatch between UPPER function and function argument" + in},
        {"LOWER(Qty) = 'a'", "Type mismatch between LOWER function and function argument" + in},
        {"SUBSTRING(Qty FROM 1) = 'a'",
         "Expression argument of SUBSTRING function must be a string or memo" + in},
        {"SUBSTRING(Name FROM Qty) = 'a'",
         "FROM argument of SUBSTRING function must be an integer constant" + in},
        {"SUBSTRING(Name FROM (-1)) = 'a'",
         "FROM argument of SUBSTRING function must be an integer constant" + in},
        {"SUBSTRING(Name FROM 0) = 'a'",
         "FROM argument of SUBSTRING function must be an integer constant greater than 0" + in},
        {"SUBSTRING(Name FROM 1 FOR 'x') = 'a'",
         "FOR argument of SUBSTRING function must be an integer constant" + in},
        {"SUBSTRING(Name FROM 1 FOR 0) = 'a'",
         "FOR argument of SUBSTRING function must be an integer constant greater than 0" + in},
        {"REPLACE('a' WITH 'b' IN Qty) = 'a'",
         "IN argument of REPLACE function must be a string or memo" + in},
        {"REPLACE(1 WITH 'b' IN Name) = 'a'",
         "Search argument of REPLACE function must be a string constant" + in},
        {"REPLACE('a' WITH 2 IN Name) = 'a'",
         "WITH argument of REPLACE function must be a string constant" + in},
        {"POS('a' IN Qty) = 1", "Type mismatch between POS function and IN argument" + in},
        {"POS(Name IN Name) = 1", "Search string argument of POS function must be a string constant" + in},
        {"OCCURS('a' IN Qty) = 1", "Type mismatch between OCCURS function and IN argument" + in},
        {"OCCURS(Name IN Name) = 1",
         "Search string argument of OCCURS function must be a string constant" + in},
        {"TRIM(BOTH 'a' FROM Qty) = 'a'", "FROM argument of TRIM function must be a string or memo" + in},
        {"TRIM(BOTH 'ab' FROM Name) = 'a'",
         "Trim character argument of TRIM function must be a single character constant" + in},
        {"CAST(Price AS BOOLEAN)", "Type mismatch between column 'Price' and AS argument" + in},
        {"CAST(Name AS VARCHAR(251)) = 'a'",
         "Length argument must be an integer greater than 0 and less than or equal to 250" + in},
        {"CAST(Name AS CHAR('x')) = 'a'", "Length argument must be an integer" + in},
        {"CAST(Name AS BYTES(0)) = Raw",
         "Length argument must be an integer greater than 0 and less than or equal to 250" + in},
        {"CAST(Name AS DECIMAL(10,5)) = 1",
         "Scale argument must be an integer less than or equal to 4 for the BCD data type filter expression"},
        {"CAST(Qty AS FLOAT(10,'x')) = 1", "Scale argument must be an integer" + in},
        {"CAST(Memo AS BLOB('x',1)) = 'a'",
         "First BLOB type argument must be an integer with the value of 0" + in},
        {"CAST(Memo AS BLOB(0,'x')) = 'a'", "BLOB type argument must be an integer" + in},
        {"CAST(Memo AS BLOB(0,4)) = 'a'",
         "BLOB type argument must be an integer equal to 1,2,3,5, or 7" + in},
        {"CAST(Memo AS BLOB(0,2147483647)) = 'a'",
         "BLOB type argument must be an integer equal to 1,2,3,5, or 7" + in},
        {"EXTRACT(YEAR FROM Qty) = 1",
         "FROM argument of EXTRACT function must be a date, time, or timestamp" + in},
        {"IF(Qty THEN 1 ELSE 2) = 1", "First expression argument of IF function must be a boolean type" + in},
        {"IF(Active THEN NULL ELSE NULL) = 1",
         "At least one of the second and third IF expression arguments in filter expression must be a "
         "non-NULL value"},
        {"IF(Active THEN 1 ELSE 'a') = 1",
         "Type mismatch between second and third IF expression arguments" + in},
        {"ABS(Day) = 1",
         "Expression argument of ABS function must be an integer or floating-point type" + in},
        {"ROUND(Qty) = 1", "Expression argument of ROUND function must be a floating-point type" + in},
        {"ROUND(Price TO 'x') = 1",
         "Decimal places argument of ROUND function must be an integer constant" + in},
        {"ROUND(Price TO 33) = 1",
         "Decimal places argument of ROUND function must be an integer constant between 0 and 32" + in},
        {"Qty LIKE 'a'", "Type mismatch between LIKE operator and expression 'Qty'" + in},
        {"Name NOT LIKE Qty",
         "Constant expression expected after NOT LIKE operator, instead found 'Qty'" + in},
        {"Name LIKE 1", "Type mismatch between LIKE operator and expression '1'" + in},
        {"Qty BETWEEN Qty AND 2",
         "Constant expression expected after BETWEEN operator, instead found 'Qty'" + in},
        {"Qty NOT BETWEEN 'a' AND 2", "Type mismatch between NOT BETWEEN operator and expression 'a'" + in},
        {"Day BETWEEN 'x' AND '2001-01-01'",
         "Date, time, or timestamp expression expected, instead found 'x'" + in},
        {"Qty IN (1, Qty)", "Constant expression expected after IN operator, instead found 'Qty'" + in},
        {"Qty NOT IN ('a')", "Type mismatch between NOT IN operator and expression 'a'" + in},
        {"Qty IN (SELECT a, b FROM t)", "More than 1 column for sub-select  specified in filter expression"},
        {"Name NOT IN (SELECT k FROM t)", "Type mismatch between NOT IN operator and expression 'Name'" + in},
    };
    for (const auto& c : cases) EXPECT_EQ(ErrorOf([&] { Check(c.Text); }), Expected(c.Message)) << c.Text;

    // Accepted: a NULL test on every comparable type, a signed constant in a list.
    for (const char* ok : {"Name IS NULL", "Pic IS NOT NULL", "Stamp = NULL", "Qty IN (-1, 2)", "-Small < 3"})
        EXPECT_EQ(ErrorOf([&] { Check(ok); }), "(no error)") << ok;
}

TEST_F(ExpressionValidateTest, ErrorsCarryTheCallersCodeAndTable) {
    TExpTree t = Parse("Nope = 1");
    std::string got = ErrorOf(
        [&] {
            ValidateExpression(ZIZIVU_SQLERROR, "Orders", "WHERE clause", false, Table.Binder(), nullptr,
                               nullptr, t.get());
        },
        ZIZIVU_SQLERROR);
    EXPECT_EQ(got,
              Expected("Invalid column name 'Nope' or table correlation name '' specified in WHERE clause",
                       ZIZIVU_SQLERROR, "Orders"));
}

TEST_F(ExpressionValidateTest, Inspections) {
    struct {
        const char* Text;
        bool Disjunction, Columns, Aggregates;
    } cases[] = {
        {"Active OR Qty = 1", true, true, false},
        {"NOT (Active AND Qty = 1)", true, true, false},
        {"NOT (Active OR Qty = 1)", false, true, false},
        {"Active AND Qty = 1", false, true, false},
        {"1 + 2 = 3", false, false, false},
        {"SUBSTRING('abc' FROM 1) = 'a'", false, false, false},
        {"IF(TRUE THEN 1 ELSE Qty) = 1", false, true, false},
        {"SUM(Qty) + 1 > 2", false, true, true},
        {"COUNT(*) > 2", false, true, true},
        {"Qty IN (1, 2)", false, true, false},
        {"IF(TRUE THEN 1 ELSE MAX(Qty)) = 1", false, true, true},
        {"IF(Qty = 1 THEN 1 ELSE 2) = 1", false, true, false},
        {"SUM(Qty) IN (1, 2)", false, true, true},
        {"UPPER(Name) LIKE 'a%'", false, true, false},
        {"-SUM(Qty) = 1", false, true, true},
    };
    for (auto c : cases) {
        TExpTree t = Check(c.Text);
        EXPECT_EQ(ExpressionIsDisjunction(t.get()), c.Disjunction) << c.Text;
        EXPECT_EQ(ExpressionHasColumns(t.get()), c.Columns) << c.Text;
        EXPECT_EQ(ExpressionHasAggregates(t.get()), c.Aggregates) << c.Text;
    }
    // A binary node answers for the nearest unary node above it; a root one has none.
    TExpTree t = Check("Qty = 1 AND Qty = 2");
    EXPECT_FALSE(ExpressionHasNot(t.get()));
    EXPECT_FALSE(ExpressionHasNot(t->First));
    t = Check("NOT (Qty = 1 AND Qty = 2)");
    EXPECT_TRUE(ExpressionHasNot(t.get()));
    EXPECT_TRUE(ExpressionHasNot(t->First));
    EXPECT_TRUE(ExpressionHasNot(t->First->Second));
    t = Check("-(Qty + 1) = 1");
    EXPECT_FALSE(ExpressionHasNot(t->First->First));
}

}  // namespace
