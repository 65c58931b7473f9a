#include <climits>
#include <cmath>
#include <string>

#include "ExpressionTestSupport.h"
#include "db/storage/RecordsBitmap.h"

using namespace exprtest;

namespace {

class ExpressionEvalTest : public ExpressionTest {
protected:
    TRecord Rec;

    void SetUp() override {
        ExpressionTest::SetUp();
        Rec = Table.NewRecord();
        Table.PutStr(Rec, "Name", "Smith");
        Table.Put<int32_t>(Rec, "Qty", 7);
        Table.Put<int16_t>(Rec, "Small", -3);
        Table.Put<uint16_t>(Rec, "W", 5);
        Table.Put<double>(Rec, "Price", 2.5);
        Table.Put<int64_t>(Rec, "Amount", EncodeBCD(2, Currency::FromUnits(123400)));
        Table.Put<int32_t>(Rec, "Day", DayOf(2001, 3, 1));
        Table.Put<int32_t>(Rec, "Day2", DayOf(2001, 2, 1));
        Table.Put<int32_t>(Rec, "At", MsOf(10, 30, 0));
        Table.Put<int32_t>(Rec, "At2", MsOf(8, 0, 0));
        Table.Put<double>(Rec, "Stamp", StampOf(2001, 1, 1, 10, 0, 0));
        Table.Put<double>(Rec, "Stamp2", StampOf(2001, 1, 2, 12, 0, 0));
        Table.Put<uint16_t>(Rec, "Active", 1);
        Table.Put<double>(Rec, "Cash", 3.0);
    }

    double Number(const std::string& text) {
        TExpTree r = Eval(text, Rec);
        EXPECT_EQ(r->IsNull, 0) << text;
        switch (r->DataType) {
            case dtSmallInt:
                return r->Get<int16_t>();
            case dtWord:
                return r->Get<uint16_t>();
            case dtFloat:
            case dtTimeStamp:
                return r->Get<double>();
            case dtBCD:
                return DecodeBCD(r->Get<int64_t>()).ToDouble();
            default:
                return r->Get<int32_t>();
        }
    }
    std::string Text(const std::string& text) {
        TExpTree r = Eval(text, Rec);
        return r->IsNull ? "(null)" : std::string(r->Str());
    }
    bool IsNullResult(const std::string& text) { return Eval(text, Rec)->IsNull != 0; }
};

TEST_F(ExpressionEvalTest, NullRules) {
    TRecord empty = Table.NewRecord();  // every column NULL
    Table.Put<int16_t>(empty, "Small", 3);
    struct {
        const char* Text;
        int Want;
    } cases[] = {
        {"Qty = NULL", 1},    {"Small = NULL", 0}, {"Qty <> NULL", 0},      {"Small <> NULL", 1},
        {"Qty IS NULL", 1},   {"Qty > 1", 0},      {"Qty <= 1", 0},         {"Qty = Small", 0},
        {"Qty <> Small", 1},  {"Qty = Qty", 1},    {"Qty IN (NULL, 1)", 1}, {"Name NOT LIKE 'a%'", 1},
        {"Name LIKE '%'", 0},
    };
    for (auto c : cases) EXPECT_EQ(Truth(c.Text, empty), c.Want) << c.Text;
    EXPECT_TRUE(Eval("Qty + 1", empty)->IsNull);
    EXPECT_TRUE(Eval("Qty * Small", empty)->IsNull);
    TExpTree cat = Eval("'a' || Name", empty);
    EXPECT_EQ(cat->IsNull, 0);
    EXPECT_STREQ(cat->Str(), "a");
    // No number comes out: a division by zero, or float arithmetic with no result (inf - inf).
    for (const char* div : {"5 / 0", "5.5 / 0", "Amount / 0", "Qty / 0", "1E308 * 10 - 1E308 * 10"})
        EXPECT_TRUE(IsNullResult(div)) << div;

    // Two NULL operands compare equal.
    TExpTree a = NewExpTree(), b = NewExpTree(), r = NewExpTree();
    a->IsNull = b->IsNull = 1;
    a->DataType = b->DataType = dtInteger;
    EvaluateBinaryOperator(opEqual, a.get(), b.get(), 0, 0, r.get());
    EXPECT_EQ(r->Get<uint16_t>(), 1);
    EvaluateBinaryOperator(opNotEqual, a.get(), b.get(), 0, 0, r.get());
    EXPECT_EQ(r->Get<uint16_t>(), 0);
    EvaluateUnaryOperator(opIsNull, a.get(), r.get());
    EXPECT_EQ(r->Get<uint16_t>(), 1);
    EvaluateUnaryOperator(opIsNotNull, a.get(), r.get());
    EXPECT_EQ(r->Get<uint16_t>(), 0);
}

// AND and OR look at their right operand first and skip the left when it decides.
TEST_F(ExpressionEvalTest, AndOrEvaluateTheRightOperandFirst) {
    struct {
        const char* Text;
        int Want, QtyReads, SmallReads;
    } cases[] = {
        {"Qty = 7 AND Small = 2", 0, 0, 1}, {"Qty = 7 AND Small = -3", 1, 1, 1},
        {"Qty = 1 OR Small = -3", 1, 0, 1}, {"Qty = 7 OR Small = 2", 1, 1, 1},
        {"Qty = 1 OR Small = 2", 0, 1, 1},
    };
    for (auto c : cases) {
        TExpTree t = Check(c.Text);
        Table.Reads.clear();
        TExpTree r = Eval(t.get(), Rec);
        EXPECT_EQ(r->Get<uint16_t>(), c.Want) << c.Text;
        EXPECT_EQ(Table.Reads["Qty"], c.QtyReads) << c.Text;
        EXPECT_EQ(Table.Reads["Small"], c.SmallReads) << c.Text;
    }
}

TEST_F(ExpressionEvalTest, Arithmetic) {
    struct {
        const char* Text;
        double Want;
        uint8_t Type;
    } cases[] = {
        {"Day - Day2", 28, dtInteger},
        {"Day + 1", 1.0 * DayOf(2001, 3, 2), dtDate},
        {"1 + Day", 1.0 * DayOf(2001, 3, 2), dtDate},
        {"Day - 1", 1.0 * DayOf(2001, 2, 28), dtDate},
        {"At - At2", 1.0 * MsOf(2, 30, 0), dtInteger},
        {"At + 1000", 1.0 * MsOf(10, 30, 1), dtTime},
        {"At - 1000", 1.0 * MsOf(10, 29, 59), dtTime},
        {"Stamp + 1", StampOf(2001, 1, 2, 10, 0, 0), dtTimeStamp},
        {"Stamp - 1", StampOf(2000, 12, 31, 10, 0, 0), dtTimeStamp},
        {"Stamp2 - Stamp", 1.0 * MsOf(26, 0, 0), dtFloat},
        {"Stamp - Day2", -31, dtInteger},
        {"Stamp - At", -1.0 * MsOf(0, 30, 0), dtInteger},
        {"Qty / 2", 3.5, dtFloat},
        {"Qty * Small", -21, dtInteger},
        {"Qty - Small + W", 15, dtInteger},
        {"W - 7", 65534, dtWord},
        {"Price * 2", 5.0, dtFloat},
        {"Amount + 1", 13.34, dtBCD},
        {"Amount * 2", 24.68, dtBCD},
        {"Amount - Small", 15.34, dtBCD},
        {"Amount / 4", 3.09, dtBCD},
        {"Amount + Price", 14.84, dtFloat},
        {"-Amount", -12.34, dtBCD},
        {"+Amount", 12.34, dtBCD},
        {"-Small", 3, dtSmallInt},
        {"-Price", -2.5, dtFloat},
        {"-Day", -1.0 * DayOf(2001, 3, 1), dtDate},
        {"-2 * 3", -6, dtInteger},
        // 32-bit integer arithmetic wraps.
        {"65536 * 65536", 0, dtInteger},
        {"2147483647 + 1", -2147483648.0, dtInteger},
        // A sign right after digits makes the number a float token.
        {"1+2", 3, dtFloat},
        {"1 + 2", 3, dtInteger},
    };
    for (auto c : cases) {
        EXPECT_NEAR(Number(c.Text), c.Want, 1e-9) << c.Text;
        EXPECT_EQ(Eval(c.Text, Rec)->DataType, c.Type) << c.Text;
    }
    // A BCD result no currency holds is refused, not cut to 64 bits (12.34 to the 14th is
    // about 1.9e15, beyond the currency's 9.2e14).
    std::string power = "Amount";
    for (int i = 1; i < 13; ++i) power += " * Amount";
    EXPECT_NEAR(Number(power), std::pow(12.34, 13), std::pow(12.34, 13) * 1e-4);  // rounded at each step
    EXPECT_THROW(Eval(power + " * Amount", Rec), EConvertError);
}

TEST_F(ExpressionEvalTest, Comparisons) {
    struct {
        const char* Text;
        int Want;
    } cases[] = {
        {"Amount > 12", 1},
        {"Amount = 12.34", 1},
        {"Amount < Small", 0},
        {"Qty > Price", 1},
        {"Small < Qty", 1},
        {"W = 5", 1},
        {"Day > Stamp", 1},
        {"Day2 = '2001-02-01'", 1},
        {"Stamp > '2001-01-01'", 1},
        {"At >= '10:30:00'", 1},
        {"Name = 'Smith'", 1},
        {"Name > 'Smits'", 0},
        {"Name < 'Smithy'", 1},
        {"Active = TRUE", 1},
        {"Active <> FALSE", 1},
        {"Active", 1},
        {"NOT Active", 0},
        {"Qty BETWEEN 1 AND 7", 1},
        {"Qty NOT BETWEEN 1 AND 6", 1},
        {"Qty IN (1, 7)", 1},
        {"Qty NOT IN (1, 7)", 0},
        {"Name IN ('a', 'Smith')", 1},
        {"Day BETWEEN '2001-01-01' AND '2001-12-31'", 1},
        {"Name LIKE 'Sm%'", 1},
        {"Name LIKE 'S_ith'", 1},
        {"Name NOT LIKE 'x%'", 1},
    };
    for (auto c : cases) EXPECT_EQ(Truth(c.Text, Rec), c.Want) << c.Text;
}

TEST_F(ExpressionEvalTest, Functions) {
    struct {
        const char* Text;
        const char* Want;
    } texts[] = {
        {"UPPER(Name)", "SMITH"},
        {"LOWER(Name)", "smith"},
        {"SUBSTRING('abc' FROM 5)", "(null)"},
        {"SUBSTRING('abcdef' FROM 2 FOR 3)", "bcd"},
        {"SUBSTRING(Name FROM 2)", "mith"},
        {"SUBSTRING(Name FROM 5 FOR 9)", "h"},
        {"SUBSTRING(Name FROM 2 FOR 2147483647)", "mith"},
        {"REPLACE('i' WITH 'ee' IN Name)", "Smeeth"},
        {"REPLACE('Smith' WITH '' IN Name)", "(null)"},
        {"TRIM(BOTH 'x' FROM 'xxaxx')", "a"},
        {"TRIM(LEADING 'x' FROM 'xxax')", "ax"},
        {"TRIM(TRAILING 'x' FROM 'xxax')", "xxa"},
        {"TRIM(BOTH 'x' FROM 'xxx')", "(null)"},
        {"UPPER('')", "(null)"},
        {"IF(Active THEN 'yes' ELSE 'no')", "yes"},
        {"IF(Qty > 9 THEN 'yes' ELSE 'no')", "no"},
        {"CAST(Qty AS CHAR(5))", "7"},
        {"CAST(Name AS CHAR(3))", "Smi"},
        {"Name || '-' || Name", "Smith-Smith"},
    };
    for (auto c : texts) EXPECT_EQ(Text(c.Text), c.Want) << c.Text;

    struct {
        const char* Text;
        double Want;
    } numbers[] = {
        {"POS('th' IN Name)", 4},
        {"POS('x' IN Name)", 0},
        {"OCCURS('s' IN 'mississippi')", 4},
        {"EXTRACT(YEAR FROM Day)", 2001},
        {"EXTRACT(MONTH FROM Day)", 3},
        {"EXTRACT(DAY FROM Day)", 1},
        {"EXTRACT(HOUR FROM Day)", 0},
        {"EXTRACT(DAYOFWEEK FROM (Day + 3))", 1},  // a Sunday
        {"EXTRACT(DAYOFWEEK FROM Day)", 5},
        {"EXTRACT(HOUR FROM At)", 10},
        {"EXTRACT(MINUTE FROM At)", 30},
        {"EXTRACT(SECOND FROM (At + 4500))", 4},
        {"EXTRACT(YEAR FROM At)", 0},
        {"EXTRACT(HOUR FROM Stamp2)", 12},
        {"EXTRACT(DAY FROM Stamp2)", 2},
        {"ABS(Small)", 3},
        {"ABS(-Amount)", 12.34},
        {"ABS(-Price)", 2.5},
        {"ROUND(Price)", 3},
        {"ROUND(-Price)", -3},
        {"ROUND(Amount TO 1)", 12.3},
        {"CAST('12' AS INTEGER)", 12},
        {"CAST(Price AS INTEGER)", 2},
        {"CAST(Qty AS DECIMAL(10,2))", 7},
        {"IF(Active THEN NULL ELSE 5)", 0},
        {"COUNT(Qty)", 7},
        {"MAX(Price)", 2.5},
    };
    for (auto c : numbers) {
        if (std::string(c.Text).find("NULL") != std::string::npos) {
            EXPECT_TRUE(IsNullResult(c.Text)) << c.Text;
            continue;
        }
        EXPECT_NEAR(Number(c.Text), c.Want, 1e-9) << c.Text;
    }
    // A text that does not convert gives NULL.
    EXPECT_TRUE(IsNullResult("CAST('abc' AS INTEGER)"));

    // Only the selected IF value is evaluated.
    Table.Reads.clear();
    Number("IF(Active THEN Qty ELSE EXTRACT(YEAR FROM Day))");
    EXPECT_EQ(Table.Reads["Day"], 0);
    EXPECT_EQ(Table.Reads["Qty"], 1);

    // The smallest integer has no positive counterpart and stays as it is.
    Table.Put<int32_t>(Rec, "Qty", INT32_MIN);
    EXPECT_EQ(Number("ABS(Qty)"), static_cast<double>(INT32_MIN));
}

// A concatenation longer than the 251-byte work area converts without overrunning it.
TEST_F(ExpressionEvalTest, CastOfALongConcatenation) {
    std::string a(250, 'a'), b(250, 'b');
    Table.PutStr(Rec, "Long", a);
    TRecord rec2 = Rec;
    Table.PutStr(rec2, "Name", "x");
    TExpTree t = Check("CAST(Long || Long AS CHAR(250))");
    TExpTree r = Eval(t.get(), Rec);
    EXPECT_EQ(std::string(r->Str()), a);
    t = Check("CAST(Long || Long AS BYTES(250))");
    r = Eval(t.get(), Rec);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(r->Value), 250), a);
    EXPECT_EQ(Text("Long || 'b'").size(), 251u);
}

TEST_F(ExpressionEvalTest, LikePatterns) {
    struct {
        const char* Text;
        const char* Pattern;
        bool Want;
    } cases[] = {
        {"ab", "ab%", true},
        {"abc", "a%b", false},
        {"axxb", "a%b", true},
        {"ab", "ab%c", false},
        {"", "%", true},
        {"abc", "%", true},
        {"abc", "a_c", true},
        {"ac", "a_c", false},
        {"abc", "abc", true},
        {"abcd", "abc", false},
        {"abc", "abcd", false},
        {"abcbd", "a%bd", true},
        {"xaby", "%ab%", true},
        {"ab", "%b", true},
        {"ba", "%b", false},
        {"", "", true},
        {"a", "", false},
        {"aXb", "a%", true},
        // A rest of nothing but '%', however many, matches any rest of text, none included.
        {"a", "a%%", true},
        {"", "%%", true},
        {"rate 100", "%100%%", true},
        {"ab", "a%%b%%%", true},
    };
    for (auto c : cases)
        EXPECT_EQ(MatchesLikePattern(0, 0, c.Text, c.Pattern), c.Want) << c.Text << " LIKE " << c.Pattern;
}

TEST_F(ExpressionEvalTest, InSubSelectThroughTheStatement) {
    TExpTree t = Check("Qty IN (SELECT k FROM t)");
    ASSERT_EQ(Statement.Queries.size(), 1u);
    TFakeSubQuery& q = *Statement.Queries[0];
    q.Keys = {3, 7, 7};
    TExpTree r = Eval(t.get(), Rec);
    EXPECT_EQ(r->Get<uint16_t>(), 1);
    EXPECT_EQ(q.FilterCalls, 1);
    EXPECT_EQ(q.LastFilterOp, "=");
    Table.Put<int32_t>(Rec, "Qty", 5);
    EXPECT_EQ(Eval(t.get(), Rec)->Get<uint16_t>(), 0);

    t = Check("Qty NOT IN (SELECT k FROM t)");
    Statement.Queries[1]->Keys = {5};
    EXPECT_EQ(Eval(t.get(), Rec)->Get<uint16_t>(), 0);
}

TEST_F(ExpressionEvalTest, ColumnsNeedAValueRoutine) {
    TExpTree t = Check("Qty = 1");
    EXPECT_EQ(ErrorOf([&] { TExpTree r = EvaluateExpression(t.get(), &Rec, nullptr, 0, 0, nullptr); },
                      ZIZIVU_SQLERROR),
              Expected("Internal error: Column 'Qty' specified illegally", ZIZIVU_SQLERROR));
    // A column bound from a quoted text stands for that text.
    t = Check("'Name' = 'Name'");
    TExpTree r = EvaluateExpression(t.get(), &Rec, nullptr, 0, 0, nullptr);
    EXPECT_EQ(r->Get<uint16_t>(), 1);
    // The text, whatever the type of the column it names.
    t = Check("'Qty'");
    ASSERT_EQ(t->NodeKind, nkColumn);
    r = EvaluateExpression(t.get(), &Rec, nullptr, 0, 0, nullptr);
    EXPECT_EQ(r->DataType, dtString);
    EXPECT_EQ(r->DataSize, 4u);
    EXPECT_STREQ(r->Str(), "Qty");
}

TEST_F(ExpressionEvalTest, PreparationMakesPrefixComparisonsAndConvertsConstants) {
    auto prepare = [&](const std::string& text, bool noPartial = false, bool ci = false) {
        TExpTree t = Check(text);
        TExpTree p = PrepareExpressionTree(t.get(), nullptr, Table.Getter(), noPartial, ci, 0, 0);
        EXPECT_TRUE(ExpressionTreesEqual(t.get(), Check(text).get())) << "original changed: " << text;
        return p;
    };
    auto truth = [&](TExpToken* p, const std::string& name) {
        Table.PutStr(Rec, "Name", name);
        return Eval(p, Rec)->Get<uint16_t>();
    };

    TExpTree p = prepare("Name LIKE 'ab%'");
    EXPECT_EQ(p->NodeKind, nkPartialCompare);
    EXPECT_EQ(p->Code, opEqual);
    EXPECT_EQ(p->CompareLength, 2u);
    EXPECT_STREQ(p->Second->Str(), "ab");
    EXPECT_EQ(truth(p.get(), "abc"), 1);
    EXPECT_EQ(truth(p.get(), "ab"), 1);
    EXPECT_EQ(truth(p.get(), "aX"), 0);
    p = prepare("Name NOT LIKE 'ab%'");
    EXPECT_EQ(p->Code, opNotEqual);
    EXPECT_EQ(truth(p.get(), "abc"), 0);
    for (const char* stays : {"Name LIKE 'a_%'", "Name LIKE '%'", "Name LIKE 'ab'", "Name LIKE 'a%b%'"})
        EXPECT_EQ(prepare(stays)->NodeKind, nkPredicate) << stays;

    p = prepare("Name = 'Sm*'");
    EXPECT_EQ(p->NodeKind, nkPartialCompare);
    EXPECT_EQ(p->CompareLength, 2u);
    EXPECT_EQ(truth(p.get(), "Smith"), 1);
    EXPECT_EQ(truth(p.get(), "Sx"), 0);
    p = prepare("Name <> 'Sm*'");
    EXPECT_EQ(truth(p.get(), "Smith"), 0);
    p = prepare("Name = 'Sm*'", true);
    EXPECT_EQ(p->CompareLength, 0u);
    EXPECT_EQ(truth(p.get(), "Smith"), 0);
    EXPECT_EQ(truth(p.get(), "Sm*"), 1);
    p = prepare("Name = 'smith'", false, true);
    EXPECT_EQ(p->CaseInsensitive, 1);
    EXPECT_EQ(truth(p.get(), "SMITH"), 1);
    EXPECT_EQ(prepare("Name = 'smith'")->NodeKind, nkBinary);

    // Constants take the type of what they are compared with.
    p = prepare("Qty = 7.0");
    EXPECT_EQ(p->Second->DataType, dtInteger);
    EXPECT_EQ(p->Second->Get<int32_t>(), 7);
    p = prepare("Amount > -12");
    EXPECT_EQ(p->Second->DataType, dtBCD);
    EXPECT_EQ(p->Second->Decimals, 2);
    p = prepare("Price IN (1, 2)");
    EXPECT_EQ(p->Second->DataType, dtFloat);
    EXPECT_EQ(p->Second->Second->Get<double>(), 2.0);
    p = prepare("Stamp > '2001-01-01'");
    EXPECT_EQ(p->Second->DataType, dtTimeStamp);
    EXPECT_EQ(p->Second->Get<double>(), StampOf(2001, 1, 1, 0, 0, 0));
    p = prepare("Small BETWEEN 1.5 AND 9");
    EXPECT_EQ(p->Second->DataType, dtFloat);  // a smallint cannot hold 1.5
    EXPECT_EQ(p->Second->Second->DataType, dtSmallInt);
    EXPECT_EQ(p->Second->Second->Get<int16_t>(), 9);
    p = prepare("IF(Qty = 7.9 THEN 1 ELSE 2) = 1");
    EXPECT_EQ(p->First->First->Second->DataType, dtFloat);  // IF operands are cloned, not prepared
}

TEST_F(ExpressionEvalTest, ValueConversions) {
    struct {
        uint8_t From;
        double Value;
        uint8_t To, Decimals;
        double Want;
    } cases[] = {
        {dtTimeStamp, StampOf(2001, 1, 1, 10, 0, 0), dtDate, 0, static_cast<double>(DayOf(2001, 1, 1))},
        {dtFloat, 3.9, dtSmallInt, 0, 3},
        {dtFloat, -3.9, dtInteger, 0, -3},
        {dtInteger, 65535, dtWord, 0, 65535},
        {dtBCD, 12.34, dtInteger, 0, 12},
        {dtInteger, 5, dtFloat, 0, 5},
        {dtInteger, 5, dtBCD, 2, 5},
        {dtFloat, 1.239, dtBCD, 2, 1.24},
        {dtDate, 1.0 * DayOf(2001, 1, 1), dtTimeStamp, 0, StampOf(2001, 1, 1, 0, 0, 0)},
    };
    for (auto c : cases) {
        TExpTree v = NewExpTree(), target = NewExpTree();
        v->DataType = c.From;
        switch (c.From) {
            case dtFloat:
            case dtTimeStamp:
                v->Set<double>(c.Value);
                break;
            case dtBCD:
                v->Set<int64_t>(EncodeBCD(2, Currency::FromUnits(static_cast<int64_t>(c.Value * 10000))));
                break;
            default:
                v->Set<int32_t>(static_cast<int32_t>(c.Value));
                break;
        }
        target->DataType = c.To;
        target->Decimals = c.Decimals;
        target->SetDataSize(c.To == dtSmallInt || c.To == dtWord  ? 2
                            : c.To == dtDate || c.To == dtInteger ? 4
                                                                  : 8);
        ConvertValueToType(target.get(), v.get(), TConvertMode::Lossy);
        EXPECT_EQ(v->DataType, c.To);
        double got = c.To == dtSmallInt                       ? v->Get<int16_t>()
                     : c.To == dtWord                         ? v->Get<uint16_t>()
                     : c.To == dtFloat || c.To == dtTimeStamp ? v->Get<double>()
                     : c.To == dtBCD                          ? DecodeBCD(v->Get<int64_t>()).ToDouble()
                                                              : v->Get<int32_t>();
        EXPECT_NEAR(got, c.Want, 1e-9) << int(c.From) << " -> " << int(c.To);
    }
    // A number the target cannot hold stays what it is, and so matches nothing.
    TExpTree t = Check("Small = 70000");
    TExpTree p = PrepareExpressionTree(t.get(), nullptr, Table.Getter(), false, false, 0, 0);
    EXPECT_EQ(p->Second->DataType, dtInteger);
    Table.Put<int16_t>(Rec, "Small", 70000 - 65536);
    EXPECT_EQ(Eval(p.get(), Rec)->Get<uint16_t>(), 0);
    t = Check("Amount = 3.02E80");
    p = PrepareExpressionTree(t.get(), nullptr, Table.Getter(), false, false, 0, 0);
    EXPECT_EQ(p->Second->DataType, dtFloat);
    EXPECT_EQ(Eval(p.get(), Rec)->Get<uint16_t>(), 0);
    t = Check("Qty < 4294967303.0");
    p = PrepareExpressionTree(t.get(), nullptr, Table.Getter(), false, false, 0, 0);
    EXPECT_EQ(Eval(p.get(), Rec)->Get<uint16_t>(), 1);

    // NULL and strings are left alone.
    TExpTree s = NewExpTree(), target = NewExpTree();
    s->DataType = dtString;
    s->SetStr("12");
    target->DataType = dtInteger;
    ConvertValueToType(target.get(), s.get());
    EXPECT_EQ(s->DataType, dtString);
}

TEST_F(ExpressionEvalTest, ExactConversionsLeaveWhatDoesNotFit) {
    struct {
        uint8_t From;
        double Value;
        uint8_t To, Decimals;
        bool Converted;
    } cases[] = {
        {dtFloat, 3.0, dtSmallInt, 0, true},
        {dtFloat, 3.5, dtSmallInt, 0, false},
        {dtFloat, -3.0, dtWord, 0, false},
        {dtFloat, 7.0, dtInteger, 0, true},
        {dtFloat, 7.25, dtInteger, 0, false},
        {dtBCD, 12.0, dtInteger, 0, true},
        {dtBCD, 12.34, dtInteger, 0, false},
        {dtInteger, 5, dtBCD, 2, true},
        {dtInteger, 5, dtFloat, 0, true},
        {dtFloat, 12.35, dtBCD, 2, true},
        {dtFloat, 12.349, dtBCD, 2, false},
        {dtFloat, 1e17, dtBCD, 4, false},  // beyond the storage form at that scale
        {dtTimeStamp, StampOf(2001, 1, 1, 0, 0, 0), dtDate, 0, true},
        {dtTimeStamp, StampOf(2001, 1, 1, 10, 0, 0), dtDate, 0, false},
    };
    for (auto c : cases) {
        TExpTree v = NewExpTree(), target = NewExpTree();
        v->DataType = c.From;
        if (c.From == dtBCD)
            v->Set<int64_t>(EncodeBCD(2, Currency::FromUnits(static_cast<int64_t>(c.Value * 10000))));
        else if (c.From == dtInteger)
            v->Set<int32_t>(static_cast<int32_t>(c.Value));
        else
            v->Set<double>(c.Value);
        target->DataType = c.To;
        target->Decimals = c.Decimals;
        ConvertValueToType(target.get(), v.get());
        EXPECT_EQ(v->DataType, c.Converted ? c.To : c.From)
            << int(c.From) << " " << c.Value << " -> " << int(c.To);
    }
}

// A prepared tree answers as the tree it was made from, whether its constants fit the
// column's type or not.
TEST_F(ExpressionEvalTest, PreparedTreesAnswerAsTheOriginal) {
    const char* conditions[] = {
        "Qty = 5.5",
        "Qty <> 5.5",
        "Qty < 5.5",
        "Qty >= 5.5",
        "Qty IN (5.5, 7)",
        "Qty NOT IN (5.5, 7)",
        "Qty BETWEEN 4.5 AND 5.5",
        "Qty = 5.0",
        "Qty = 5",
        "Qty > -2147483649",
        "Qty < 4294967296",
        "Small = 5.5",
        "Small > 4.9",
        "Small < 70000",
        "Small > -32769",
        "Small = 5.0",
        "W = -1",
        "W < 5.5",
        "W > -0.5",
        "Amount > 12.349",
        "Amount = 12.35",
        "Amount < 12.351",
        "Amount = 12",
        "Amount <= 12.3499",
        "Amount IN (12.345, 12.35)",
        "Amount = 1E17",
        "Amount > -3",
        "Price = 2.5",
        "Price > 2",
        "Price IN (2, 2.5)",
        "Price < 12.35",
        "Name = 'Smith'",
        "Name > 'Sm'",
        "Name IN ('Smith', 'Jones')",
        "Name <> 'Sm'",
    };
    struct {
        int32_t Qty;
        int16_t Small;
        uint16_t W;
        int64_t AmountUnits;
        double Price;
        const char* Name;
    } records[] = {
        {5, 5, 5, 123500, 2.5, "Smith"},
        {6, -32768, 0, 123400, 2.0, "Sm"},
        {-2147483647 - 1, 32767, 65535, 120000, 12.35, "Jones"},
    };
    for (auto r : records) {
        TRecord rec = Table.NewRecord();
        Table.Put<int32_t>(rec, "Qty", r.Qty);
        Table.Put<int16_t>(rec, "Small", r.Small);
        Table.Put<uint16_t>(rec, "W", r.W);
        Table.Put<int64_t>(rec, "Amount", EncodeBCD(2, Currency::FromUnits(r.AmountUnits)));
        Table.Put<double>(rec, "Price", r.Price);
        Table.PutStr(rec, "Name", r.Name);
        for (const char* text : conditions) {
            TExpTree t = Check(text);
            TExpTree p(PrepareExpressionTree(t.get(), nullptr, Table.Getter(), false, false, 0, 0));
            EXPECT_EQ(Eval(p.get(), rec)->Get<uint16_t>(), Eval(t.get(), rec)->Get<uint16_t>())
                << text << " with Qty " << r.Qty << ", Amount units " << r.AmountUnits;
        }
    }
    // With Qty 5 and Amount 12.35 the prepared filters give the plain answers.
    TRecord rec = Table.NewRecord();
    Table.Put<int32_t>(rec, "Qty", 5);
    Table.Put<int64_t>(rec, "Amount", EncodeBCD(2, Currency::FromUnits(123500)));
    for (auto [text, want] :
         {std::pair{"Qty = 5.5", 0}, {"Qty IN (5.5, 7)", 0}, {"Qty < 5.5", 1}, {"Amount > 12.349", 1}}) {
        TExpTree t = Check(text);
        TExpTree p(PrepareExpressionTree(t.get(), nullptr, Table.Getter(), false, false, 0, 0));
        EXPECT_EQ(Eval(p.get(), rec)->Get<uint16_t>(), want) << text;
    }
}

TEST_F(ExpressionEvalTest, CheckConditionTreeDropsNullTests) {
    TExpTree t = Check("Qty IS NULL");
    EXPECT_TRUE(CheckConditionTree(t));
    EXPECT_EQ(t, nullptr);

    t = Check("Qty IS NULL AND Small = 1");
    EXPECT_FALSE(CheckConditionTree(t));
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->NodeKind, nkBinary);
    EXPECT_EQ(t->Code, opEqual);
    EXPECT_EQ(t->First->ColumnName, "Small");
    EXPECT_EQ(t->First->Parent, t.get());
    EXPECT_EQ(t->Parent, nullptr);

    for (const char* dropped : {"NOT (Qty IS NULL)", "Qty IS NULL OR Small IS NOT NULL", "Qty = NULL"}) {
        t = Check(dropped);
        EXPECT_TRUE(CheckConditionTree(t)) << dropped;
        EXPECT_EQ(t, nullptr);
    }
    t = Check("Qty = 1 OR (Small <> NULL AND Qty = 2)");
    EXPECT_FALSE(CheckConditionTree(t));
    EXPECT_EQ(t->Code, opOr);
    EXPECT_EQ(t->Second->Code, opEqual);
    EXPECT_EQ(t->Second->Second->Get<int32_t>(), 2);
    t = Check("Qty = 1");
    EXPECT_FALSE(CheckConditionTree(t));
    TExpTree none;
    EXPECT_FALSE(CheckConditionTree(none));
}

TEST_F(ExpressionEvalTest, CloneCompareAndFree) {
    TExpTree t = Check("Qty IN (1, 2) AND UPPER(Name) = 'A' OR IF(Active THEN 1 ELSE 2) = 1");
    TExpTree c = CloneExpressionTree(t.get());
    EXPECT_TRUE(ExpressionTreesEqual(t.get(), c.get()));
    EXPECT_NE(c->First, t->First);
    EXPECT_EQ(c->First->Parent, c.get());
    c->First->First->Second->Second->Set<int32_t>(3);
    EXPECT_FALSE(ExpressionTreesEqual(t.get(), c.get()));
    EXPECT_FALSE(ExpressionTreesEqual(t.get(), nullptr));
    EXPECT_TRUE(ExpressionTreesEqual(nullptr, nullptr));
    EXPECT_EQ(CloneExpressionTree(nullptr), nullptr);
    // Names compare without regard to case.
    EXPECT_TRUE(ExpressionTreesEqual(Parse("a = 1").get(), Parse("A = 1").get()));
    EXPECT_FALSE(ExpressionTreesEqual(Parse("a = 1").get(), Parse("a = 2").get()));

    TExpToken* none = nullptr;
    FreeExpressionTree(none);
    const int32_t idle = ExpTokenStack()->IdleCount();
    TExpToken* raw = c.release();
    FreeExpressionTree(raw);
    EXPECT_EQ(raw, nullptr);
    EXPECT_GT(ExpTokenStack()->IdleCount(), idle + 10);
}

// Trees deeper than the freeing walk keeps at hand: every node, whichever link holds it,
// goes back to the pool once.
TEST_F(ExpressionEvalTest, FreeReturnsEveryNodeOfDeepTrees) {
    for (int depth : {1, 63, 64, 65, 300}) {
        const int32_t idle = ExpTokenStack()->IdleCount();
        TExpToken* root = NewExpToken();
        TExpToken* n = root;
        int32_t count = 1;
        for (int i = 1; i < depth; ++i) {
            TExpToken* c = NewExpToken();
            TExpToken* side = NewExpToken();
            count += 2;
            // The chain runs through each link in turn; a leaf hangs off another one.
            TExpToken** links[] = {&n->First, &n->Second, &n->Third};
            *links[i % 3] = c;
            *links[(i + 1) % 3] = side;
            n = c;
        }
        const int32_t taken = idle - ExpTokenStack()->IdleCount();
        FreeExpressionTree(root);
        EXPECT_EQ(root, nullptr);
        EXPECT_EQ(ExpTokenStack()->IdleCount(), idle - taken + count) << depth;
    }
}

TEST_F(ExpressionEvalTest, PoolsHandOutResetObjects) {
    TRecordsBitmap* b = NewRecordsBitmap();
    b->SetRecordCount(10);
    b->SetBit(3);
    DisposeRecordsBitmap(b);
    EXPECT_EQ(b, nullptr);
    b = NewRecordsBitmap();
    EXPECT_FALSE(b->GetBit(3));
    DisposeRecordsBitmap(b);

    TExpToken* t = NewExpToken();
    t->Text = "x";
    t->SetDataSize(600);
    t->Value[0] = 9;
    DisposeExpToken(t);
    EXPECT_EQ(t, nullptr);
    t = NewExpToken();
    EXPECT_TRUE(t->Text.empty());
    EXPECT_EQ(t->BufferSize, 255);
    EXPECT_EQ(t->Value[0], 0);
    DisposeExpToken(t);
}

}  // namespace
