// What the SELECT parser leaves in the query: result columns, source tables, the chained
// WHERE tree with its join marks, GROUP BY, HAVING, ORDER BY and the options.
#include "SqlTestSupport.h"
#include "platform/rtl/SysUtils.h"

using namespace sqltest;

namespace {

using SelectParserTest = SqlParseTest;

TEST_F(SelectParserTest, ResultColumnsTakeNamesAliasesAggregatesAndExpressions) {
    TDataQuery* q = ParseMain(
        "SELECT DISTINCT a, b AS bb, t.c cc, SUM(x), COUNT(*), AVG(t.y) av, a +\r\n 1 e, MIN(a*2), "
        "[d] AS \"q\".w, * FROM t");
    EXPECT_EQ(q->Clauses().Kind, skSelect);
    EXPECT_TRUE(q->Clauses().Distinct);
    EXPECT_TRUE(q->Clauses().HasAvg);
    EXPECT_TRUE(q->Clauses().HasExpressionColumns);
    struct TExpect {
        const char *Column, *Correlation, *Alias;
        bool AliasIsDefault, IsExpression;
        uint8_t Aggregate;
        const char* Text;
    };
    const TExpect expected[] = {
        {"a", "", "a", true, false, akNone, ""},     {"b", "", "bb", false, false, akNone, ""},
        {"c", "t", "cc", false, false, akNone, ""},  {"x", "", "", true, false, akSum, ""},
        {"*", "", "", true, false, akCount, ""},     {"y", "t", "av", false, false, akAvg, ""},
        {"", "", "e", false, true, akNone, "a + 1"}, {"", "", "", true, true, akMin, "MIN(a*2)"},
        {"d", "", "w", false, false, akNone, ""},    {"*", "", "", true, false, akNone, ""},
    };
    ASSERT_EQ(q->Clauses().ResultFields.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(i);
        const TResultField* f = q->Clauses().ResultFields[i].get();
        EXPECT_EQ(f->Owner, q);
        EXPECT_EQ(f->ColumnName, expected[i].Column);
        EXPECT_EQ(f->CorrelationName, expected[i].Correlation);
        EXPECT_EQ(f->Alias, expected[i].Alias);
        EXPECT_EQ(f->AliasIsDefault, expected[i].AliasIsDefault);
        EXPECT_EQ(f->IsExpression, expected[i].IsExpression);
        EXPECT_EQ(f->AggregateKind, expected[i].Aggregate);
        EXPECT_EQ(f->ExpressionText, expected[i].Text);
        EXPECT_NE(f->Expression, nullptr);
    }
}

TEST_F(SelectParserTest, AliasAndIntoAreTold) {
    TDataQuery* q = ParseMain("SELECT a b FROM t");
    EXPECT_EQ(q->Clauses().ResultFields[0]->Alias, "b");
    EXPECT_TRUE(q->Clauses().TargetTableName.empty());

    Statement = std::make_unique<TQueryStatement>(nullptr);
    Statement->SetRequestLive(true);
    Statement->Parse("SELECT a INTO r FROM t");
    q = Statement->MainQuery();
    EXPECT_EQ(q->Clauses().ResultFields[0]->Alias, "a");
    EXPECT_TRUE(q->Clauses().ResultFields[0]->AliasIsDefault);
    EXPECT_EQ(q->Clauses().TargetTableName, "r");
    EXPECT_FALSE(q->Clauses().TargetInMemory);
    EXPECT_FALSE(q->RequestLive());  // INTO never returns a live result

    q = ParseMain("SELECT a INTO MEMORY 'r 2' FROM t");
    EXPECT_EQ(q->Clauses().TargetTableName, "r 2");
    EXPECT_TRUE(q->Clauses().TargetInMemory);
}

TEST_F(SelectParserTest, FromListAndJoinsGiveSourceTablesInPlanOrder) {
    TDataQuery* q = ParseMain(
        "SELECT * FROM a x JOIN MEMORY b AS y ON x.k = y.k LEFT OUTER JOIN c ON c.k = x.k AND c.v > 5 "
        "RIGHT JOIN d ON d.k = x.k, 'e.dat' WHERE x.v > 1");
    EXPECT_TRUE(q->Clauses().MultipleTables);
    EXPECT_TRUE(q->Clauses().HasConditions);
    struct TExpect {
        const char *Table, *Correlation;
        int32_t FromPosition;
        bool InMemory;
    };
    // A RIGHT JOIN puts its table first.
    const TExpect expected[] = {
        {"d", "d", 4, false}, {"a", "x", 1, false},     {"b", "y", 2, true},
        {"c", "c", 3, false}, {"e.dat", "e", 5, false},
    };
    ASSERT_EQ(q->Clauses().SourceTables.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(i);
        const TSourceTable* t = q->Clauses().SourceTables[i].get();
        EXPECT_EQ(t->Owner, q);
        EXPECT_EQ(t->TableName, expected[i].Table);
        EXPECT_EQ(t->CorrelationName, expected[i].Correlation);
        EXPECT_EQ(t->FromPosition, expected[i].FromPosition);
        EXPECT_EQ(t->InMemory, expected[i].InMemory);
        EXPECT_EQ(t->DirectoryName, expected[i].InMemory ? "Memory" : "");
    }

    // (((on1 AND on2) AND on3) AND where), in text order.
    const TJoinMarks& marks = q->Clauses().JoinMarks;
    const TExpToken* w = q->Clauses().Where.get();
    ASSERT_TRUE(w && w->Code == opAnd);
    const TExpToken* where = w->Second;
    const TExpToken* on3 = w->First->Second;
    const TExpToken* on2 = w->First->First->Second;
    const TExpToken* on1 = w->First->First->First;
    EXPECT_EQ(where->Code, opGreater);
    EXPECT_FALSE(marks.IsOnClauseCondition(where));
    EXPECT_EQ(marks.JoinTypeMark(where), jtNone);
    EXPECT_EQ(on1->Code, opEqual);
    EXPECT_TRUE(marks.IsOnClauseCondition(on1));
    EXPECT_EQ(marks.JoinTypeMark(on1), jtInner);
    // Only comparisons of a column with a column carry the join type.
    ASSERT_EQ(on2->Code, opAnd);
    EXPECT_TRUE(marks.IsOnClauseCondition(on2));
    EXPECT_EQ(marks.JoinTypeMark(on2->First), jtLeftOuter);
    EXPECT_EQ(marks.JoinTypeMark(on2->Second), jtNone);
    EXPECT_EQ(marks.JoinTypeMark(on3), jtRightOuter);
}

TEST_F(SelectParserTest, JoinMarksReachThroughNotAndOr) {
    TDataQuery* q = ParseMain("SELECT * FROM a JOIN b ON NOT (a.k = b.k OR a.j <> b.j + 1) AND a.x IS NULL");
    const TJoinMarks& marks = q->Clauses().JoinMarks;
    const TExpToken* on = q->Clauses().Where.get();
    ASSERT_EQ(on->Code, opAnd);
    const TExpToken* disjunction = on->First->First;
    ASSERT_EQ(disjunction->Code, opOr);
    EXPECT_EQ(marks.JoinTypeMark(disjunction->First), jtInner);
    EXPECT_EQ(marks.JoinTypeMark(disjunction->Second), jtInner);
    EXPECT_EQ(marks.JoinTypeMark(on->Second), jtNone);  // a column against NULL
}

TEST_F(SelectParserTest, CorrelationNamesAreDistinctPerQuery) {
    TDataQuery* q = ParseMain("SELECT * FROM a x, a y");
    ASSERT_EQ(q->Clauses().SourceTables.size(), 2u);
    EXPECT_EQ(q->Clauses().SourceTables[1]->CorrelationName, "y");
    // A sub-select has its own source tables.
    q = ParseMain("SELECT * FROM a WHERE k IN (SELECT k FROM a)");
    EXPECT_EQ(Statement->QueryCount(), 2);
    // Words that continue the statement are no correlation names.
    for (const char* text : {"SELECT * FROM a NOJOINOPTIMIZE", "SELECT * FROM a LANGUAGE 'ANSI Standard'",
                             "SELECT * FROM a WITH LOCKS", "SELECT * FROM a ENCRYPTED WITH 'p'"}) {
        q = ParseMain(text);
        EXPECT_EQ(q->Clauses().SourceTables[0]->CorrelationName, "a") << text;
    }
}

TEST_F(SelectParserTest, TableNamesSplitOffTheirFolder) {
    struct TCase {
        const char* Text;
        const char *Directory, *Table, *Correlation;
    };
    const TCase cases[] = {
        {"SELECT * FROM 'c:\\data\\parts.dat'", "c:\\data\\", "parts.dat", "parts"},
        {"SELECT * FROM 'd:parts'", "d:", "parts", "parts"},
        {"SELECT * FROM '/srv/db/parts.dat' p", "/srv/db/", "parts.dat", "p"},
        {"SELECT * FROM MEMORY 'x\\parts'", "Memory", "parts", "parts"},
        {"SELECT * FROM parts", "", "parts", "parts"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        TDataQuery* q = ParseMain(c.Text);
        ASSERT_EQ(q->Clauses().SourceTables.size(), 1u);
        EXPECT_EQ(q->Clauses().SourceTables[0]->DirectoryName, c.Directory);
        EXPECT_EQ(q->Clauses().SourceTables[0]->TableName, c.Table);
        EXPECT_EQ(q->Clauses().SourceTables[0]->CorrelationName, c.Correlation);
    }
}

TEST_F(SelectParserTest, GroupHavingOrderAndOptions) {
    TDataQuery* q = ParseMain(
        "SELECT a, SUM(b) FROM t WHERE a > 0 GROUP BY a, t.c, 2 HAVING SUM(b) > 10 "
        "ORDER BY 2 DESC, t.a ASCENDING, [x y] NOCASE WITH LOCKS LANGUAGE 'ansi standard' SORT 'DEFAULT "
        "ORDER' "
        "ENCRYPTED WITH 'secret' NOJOINOPTIMIZE;");
    EXPECT_TRUE(q->Clauses().Grouped);
    ASSERT_EQ(q->Clauses().GroupByFields.size(), 3u);
    EXPECT_EQ(q->Clauses().GroupByFields[0]->ColumnName, "a");
    EXPECT_EQ(q->Clauses().GroupByFields[1]->CorrelationName, "t");
    EXPECT_EQ(q->Clauses().GroupByFields[1]->ColumnName, "c");
    EXPECT_EQ(q->Clauses().GroupByFields[2]->ColumnNo, 2);
    EXPECT_TRUE(q->Clauses().HasHaving);
    EXPECT_TRUE(q->Clauses().HavingGiven);
    ASSERT_TRUE(q->Clauses().Having);
    EXPECT_EQ(q->Clauses().Having->Code, opGreater);
    EXPECT_TRUE(q->Clauses().HasOrderBy);
    ASSERT_EQ(q->Clauses().OrderByFields.size(), 3u);
    EXPECT_EQ(q->Clauses().OrderByFields[0]->ColumnNo, 2);
    EXPECT_TRUE(q->Clauses().OrderByFields[0]->Descending);
    EXPECT_EQ(q->Clauses().OrderByFields[1]->CorrelationName, "t");
    EXPECT_FALSE(q->Clauses().OrderByFields[1]->Descending);
    EXPECT_EQ(q->Clauses().OrderByFields[2]->ColumnName, "x y");
    EXPECT_TRUE(q->Clauses().OrderByNoCase);
    EXPECT_TRUE(q->Clauses().WithLocks);
    EXPECT_TRUE(q->Clauses().Options.LanguageGiven);
    EXPECT_EQ(q->Clauses().Options.LanguageID, 0);
    EXPECT_TRUE(q->Clauses().Options.SortGiven);
    EXPECT_TRUE(q->Clauses().Options.Encrypted);
    EXPECT_EQ(q->Clauses().Options.Password, "secret");
    EXPECT_TRUE(q->Clauses().NoJoinOptimize);

    q = ParseMain("SELECT * FROM t ENCRYPTED WITH ''");
    EXPECT_FALSE(q->Clauses().Options.Encrypted);
    EXPECT_TRUE(q->Clauses().Options.Password.empty());
}

TEST_F(SelectParserTest, SubSelectsAreQueriesInTheOrderMet) {
    TDataQuery* q = ParseMain(
        "SELECT * FROM t WHERE a IN (SELECT b FROM u) AND c NOT IN (SELECT d FROM v WHERE e IN "
        "(SELECT f FROM w)) ORDER BY a");
    ASSERT_EQ(Statement->QueryCount(), 4);
    EXPECT_EQ(Statement->Query(0), q);
    EXPECT_FALSE(q->Clauses().IsSubQuery);
    const char* tables[] = {"t", "u", "v", "w"};
    for (int i = 0; i < 4; ++i) {
        TDataQuery* s = Statement->Query(i);
        ASSERT_EQ(s->Clauses().SourceTables.size(), 1u);
        EXPECT_EQ(s->Clauses().SourceTables[0]->TableName, tables[i]);
        if (i) {
            EXPECT_TRUE(s->Clauses().IsSubQuery);
            EXPECT_TRUE(s->RequestLive());
            EXPECT_EQ(s->Clauses().Kind, skSelect);
            EXPECT_EQ(s->ResultColumnCount(), 1);
        }
    }
    // The holder node of the IN refers to its query.
    const TExpToken* in = q->Clauses().Where->First;
    ASSERT_EQ(in->Code, opInSelect);
    EXPECT_EQ(in->Second->SubQuery, static_cast<TSubQuery*>(Statement->Query(1)));
    EXPECT_EQ(q->Clauses().OrderByFields.size(), 1u);
}

TEST_F(SelectParserTest, TheTextIsReadInTheDatabaseLanguageNotTheCallers) {
    TThreadFormatSettings mine;
    FormatSettings().DecimalSeparator = ',';
    TDataQuery* q = ParseMain("SELECT a FROM t WHERE a = 1.5");
    ASSERT_TRUE(q->Clauses().Where);
    EXPECT_EQ(q->Clauses().Where->Second->DataType, dtFloat);
    EXPECT_DOUBLE_EQ(q->Clauses().Where->Second->Get<double>(), 1.5);
    EXPECT_EQ(FormatSettings().DecimalSeparator, ',');
}

TEST_F(SelectParserTest, ColumnAndNameLimitsAreLeftToBinding) {
    std::string text = "SELECT ";
    for (int i = 0; i < 1100; ++i) text += (i ? ", c" : "c") + IntToStr(i);
    const std::string longName(40, 'n');
    text += " FROM " + longName + " " + longName + "x";
    TDataQuery* q = ParseMain(text);
    EXPECT_EQ(q->Clauses().ResultFields.size(), 1100u);
    EXPECT_EQ(q->Clauses().SourceTables[0]->TableName, longName);
}

}  // namespace
