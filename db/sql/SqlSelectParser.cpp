// The statement dispatcher, the SELECT parser and the helpers every statement parser
// shares: recursive descent over the tokens of the statement's expression parser.
#include <vector>

#include "db/sql/QueryStatement.h"
#include "db/sql/SqlEngineLink.h"
#include "db/storage/EngineErrors.h"
#include "db/storage/ExpressionValidate.h"
#include "db/storage/LanguageSettings.h"
#include "platform/rtl/ScopeGuard.h"
#include "platform/rtl/SysUtils.h"

namespace {

const char* const StatementContext = "SQL statement";

bool IsOneOf(const TExpressionParser& p, std::initializer_list<const char*> words) {
    for (const char* w : words)
        if (p.TokenIs(w)) return true;
    return false;
}

}  // namespace

// ---- Shared helpers --------------------------------------------------------------------

void TDataQuery::Fail(const std::string& message) {
    Parser().RaiseError(message);
}

void TDataQuery::FailToken(const std::string& message) {
    Parser().RaiseError(message + Parser().GetTokenText() + "'");
}

bool TDataQuery::IsNameToken() const {
    const TExpressionParser& p = FOwner->Parser();
    return p.TokenKindIs(tkSymbol) || p.TokenKindIs(tkQuoted);
}

bool TDataQuery::IsSelectNameToken() const {
    return IsNameToken() || FOwner->Parser().TokenKindIs(tkBracketed);
}

bool TDataQuery::TokenIs(const char* keyword) const {
    return FOwner->Parser().TokenIs(keyword);
}

bool TDataQuery::TokenIsAny(std::initializer_list<const char*> keywords) const {
    return IsOneOf(FOwner->Parser(), keywords);
}

std::string TDataQuery::TokenText() const {
    return FOwner->Parser().GetTokenText();
}

void TDataQuery::Next() {
    Parser().NextToken();
}

void TDataQuery::ExpectStatementEnd(const char* statement) {
    TExpressionParser& p = Parser();
    if (p.TokenKindIs(';')) p.NextToken();
    if (!p.TokenKindIs(tkEnd))
        FailToken(std::string("End of ") + statement + " statement expected, instead found '");
}

TExpTree TDataQuery::ParseClause(TClauseLevel level, uint8_t flags, const char* context,
                                 const char* emptyMessage) {
    TExpressionParser& p = Parser();
    TScopeGuard reset([&p] { p.SetContext(StatementContext); });
    p.SetContext(context);
    if (p.TokenKindIs(tkEnd)) Fail(emptyMessage);
    switch (level) {
        case TClauseLevel::Primary:
            return p.ParsePrimary(flags);
        case TClauseLevel::Signed:
            return p.ParseSigned(flags);
        default:
            return p.ParseExpression(flags);
    }
}

void TDataQuery::ParseLanguageOption() {
    Next();
    const std::string language = TokenText();
    uint16_t id = 0;
    if (!FindLanguageID(language, id))
        Fail("Invalid language constant '" + language + "'" + " specified after LANGUAGE keyword");
    FClauses.Options.LanguageID = id;
    FClauses.Options.LanguageGiven = true;
    Next();
    if (!TokenIs("SORT")) return;
    Next();
    const std::string sort = TokenText();
    if (!FindSortOrderID(FClauses.Options.LanguageID, sort, id))
        Fail("Invalid sort constant '" + sort + "'" + " specified after SORT keyword");
    FClauses.Options.SortID = id;
    FClauses.Options.SortGiven = true;
    Next();
}

void TDataQuery::ParseEncryptedOption() {
    Next();
    if (!TokenIs("WITH")) FailToken("WITH keyword expected after ENCRYPTED keyword, instead found '");
    Next();
    FClauses.Options.Password = TokenText();
    FClauses.Options.Encrypted = !FClauses.Options.Password.empty();
    FClauses.Options.EncryptedGiven = true;
    Next();
}

// ---- Dispatcher ------------------------------------------------------------------------

void TDataQuery::ParseStatement(bool subQuery) {
    if (FRun.Executed) return;
    Reset();
    FClauses.IsSubQuery = subQuery;
    Parser().SetErrorCode(ZIZIVU_SQLERROR);
    uint16_t language = 0, sort = 0;
    GetDatabaseLanguage(FOwner->Owner(), language, sort);
    // Numbers and dates in the text are read in the database's formats.
    TLanguageSettingsSwap swap(language, sort);
    if (TokenIs("SELECT")) {
        FClauses.Kind = skSelect;
        ParseSelect();
    } else if (TokenIs("INSERT")) {
        FClauses.Kind = skInsert;
        ParseInsert();
    } else if (TokenIs("UPDATE")) {
        FClauses.Kind = skUpdate;
        ParseUpdate();
    } else if (TokenIs("DELETE")) {
        FClauses.Kind = skDelete;
        ParseDelete();
    } else if (TokenIs("CREATE")) {
        Next();
        if (TokenIs("TABLE")) {
            FClauses.Kind = skCreateTable;
            ParseCreateTable();
        } else if (TokenIsAny({"INDEX", "UNIQUE", "ASC", "ASCENDING", "DESC", "DESCENDING", "NOCASE"})) {
            FClauses.Kind = skCreateIndex;
            ParseCreateIndex();
        } else {
            FailToken("TABLE or INDEX keyword expected, instead found '");
        }
    } else if (TokenIs("ALTER")) {
        Next();
        if (!TokenIs("TABLE")) FailToken("TABLE keyword expected, instead found '");
        FClauses.Kind = skAlterTable;
        ParseAlterTable();
    } else if (TokenIs("DROP")) {
        Next();
        if (TokenIs("TABLE")) {
            FClauses.Kind = skDropTable;
            ParseDropTable();
        } else if (TokenIs("INDEX")) {
            FClauses.Kind = skDropIndex;
            ParseDropIndex();
        } else {
            FailToken("TABLE or INDEX keyword expected, instead found '");
        }
    } else {
        FailToken("SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead found '");
    }
}

// ---- SELECT ----------------------------------------------------------------------------

void TDataQuery::ParseSelect() {
    Next();
    if (TokenIs("ALL")) Next();
    if (TokenIs("DISTINCT")) {
        FClauses.Distinct = true;
        Next();
    }

    for (;;) {
        FClauses.ResultFields.push_back(std::make_unique<TResultField>(this));
        TResultField* column = FClauses.ResultFields.back().get();
        ParseSelectColumn(column);
        bool alias = false;
        if (TokenIs("AS")) {
            Next();
            if (!IsSelectNameToken())
                FailToken("Symbol or string expected after AS keyword, instead found '");
            alias = true;
        } else if (IsSelectNameToken() && !TokenIsAny({"INTO", "FROM"})) {
            alias = true;
        }
        if (alias) {
            column->Alias = TokenText();
            column->AliasIsDefault = false;
            Next();
            if (Parser().TokenKindIs('.')) {
                Next();
                if (!IsSelectNameToken())
                    FailToken("Symbol or string expected after table correlation name, instead found '");
                column->Alias = TokenText();
                Next();
            }
        }
        if (!Parser().TokenKindIs(',')) break;
        Next();
    }

    if (TokenIs("INTO")) {
        FRequestLive = false;
        Next();
        if (TokenIs("MEMORY")) {
            FClauses.TargetInMemory = true;
            Next();
            if (!IsNameToken())
                FailToken("Result table name expected in INTO MEMORY clause, instead found '");
        } else if (!IsNameToken()) {
            FailToken("Result table name expected in INTO clause, instead found '");
        }
        FClauses.TargetTableName = TokenText();
        FClauses.TargetGiven = true;
        Next();
    }

    if (!TokenIs("FROM")) FailToken("FROM keyword expected, instead found '");
    Next();
    ParseTableReference("Table name expected after FROM keyword, instead found '", false, false);
    for (;;) {
        if (Parser().TokenKindIs(',')) {
            FClauses.MultipleTables = true;
            Next();
            ParseTableReference("Table name expected after FROM keyword, instead found '", false, false);
            continue;
        }
        TJoinType join;
        if (TokenIs("JOIN")) {
            join = jtInner;
            Next();
        } else if (TokenIs("INNER")) {
            Next();
            if (!TokenIs("JOIN")) FailToken("JOIN keyword expected after INNER keyword, instead found '");
            join = jtInner;
            Next();
        } else if (TokenIs("LEFT") || TokenIs("RIGHT")) {
            const bool left = TokenIs("LEFT");
            Next();
            if (TokenIs("OUTER")) Next();
            if (!TokenIs("JOIN"))
                FailToken(left ? "JOIN keyword expected after LEFT or OUTER keyword, instead found '"
                               : "JOIN keyword expected after RIGHT or OUTER keyword, instead found '");
            join = left ? jtLeftOuter : jtRightOuter;
            Next();
        } else if (TokenIs("FULL")) {
            Fail("Full outer joins are currently not supported in ZIZIVU SQL SELECT statements");
        } else {
            break;
        }
        ParseTableReference("Table name expected after JOIN keyword, instead found '", true,
                            join == jtRightOuter);
        if (!TokenIs("ON")) FailToken("ON keyword expected in JOIN clause, instead found '");
        Next();
        MarkJoinConditions(join, ParseCondition(false));
        FClauses.MultipleTables = true;
        FClauses.HasConditions = true;
    }

    if (TokenIs("WHERE")) {
        Next();
        ParseCondition(true);
        FClauses.HasConditions = true;
    }
    if (TokenIs("GROUP")) {
        Next();
        if (!TokenIs("BY")) FailToken("BY keyword expected after GROUP keyword, instead found '");
        Next();
        FClauses.Grouped = true;
        for (;;) {
            ParseOrderOrGroupItem(false);
            if (!Parser().TokenKindIs(',')) break;
            Next();
        }
    }
    if (TokenIs("HAVING")) {
        Next();
        ParseHaving();
        FClauses.HasHaving = true;
        FClauses.HavingGiven = true;
    }
    if (TokenIs("ORDER")) {
        Next();
        if (!TokenIs("BY")) FailToken("BY keyword expected after ORDER keyword, instead found '");
        Next();
        FClauses.HasOrderBy = true;
        for (;;) {
            ParseOrderOrGroupItem(true);
            if (!Parser().TokenKindIs(',')) break;
            Next();
        }
        if (TokenIs("NOCASE")) {
            FClauses.OrderByNoCase = true;
            Next();
        }
    }
    if (TokenIs("WITH")) {
        Next();
        if (!TokenIs("LOCKS")) FailToken("LOCKS keyword expected after WITH keyword, instead found '");
        FClauses.WithLocks = true;
        Next();
    }
    if (TokenIs("LANGUAGE")) ParseLanguageOption();
    if (TokenIs("ENCRYPTED")) ParseEncryptedOption();
    if (TokenIs("NOJOINOPTIMIZE")) {
        FClauses.NoJoinOptimize = true;
        Next();
    }
    // A sub-select leaves what follows it to its caller.
    if (!FClauses.IsSubQuery) ExpectStatementEnd("SELECT");
}

void TDataQuery::ParseTableReference(const char* missingMessage, bool joined, bool atHead) {
    auto owned = std::make_unique<TSourceTable>(this);
    TSourceTable* table = owned.get();
    if (atHead)
        FClauses.SourceTables.insert(FClauses.SourceTables.begin(), std::move(owned));
    else
        FClauses.SourceTables.push_back(std::move(owned));
    table->FromPosition = static_cast<int32_t>(FClauses.SourceTables.size());
    if (TokenIs("MEMORY")) {
        table->InMemory = true;
        Next();
    }
    if (!IsNameToken()) FailToken(missingMessage);
    table->SetTableName(TokenText());
    Next();
    if (TokenIs("AS")) {
        Next();
        if (!IsNameToken()) FailToken("Symbol or string expected after AS keyword, instead found '");
        table->SetCorrelationName(TokenText());
        Next();
    } else if (IsNameToken()) {
        bool correlation;
        if (joined) {
            correlation = !TokenIs("ON");
        } else {
            // The words that may follow a table in FROM, and in the SELECT of an
            // INSERT ... SELECT the options of the INSERT.
            correlation = !TokenIsAny({"LEFT", "RIGHT", "INNER", "JOIN", "FULL", "WHERE", "ORDER", "GROUP",
                                       "HAVING", "WITH", "LANGUAGE", "ENCRYPTED", "NOJOINOPTIMIZE"});
            if (correlation && FClauses.IsSubQuery && FOwner->MainQuery() &&
                FOwner->MainQuery()->Clauses().InsertSelect)
                correlation = !TokenIsAny({"NOAUTOINC", "COMMIT"});
        }
        if (correlation) {
            table->SetCorrelationName(TokenText());
            Next();
        }
    }
    CheckCorrelationNames(table->CorrelationName);
}

void TDataQuery::CheckCorrelationNames(const std::string& name) {
    // Names compare as SameText does: ASCII letters without case.
    if (!FClauses.CorrelationNames.insert(UpperCase(name)).second)
        Fail("Duplicate table correlation name '" + name + "'" + " found in source tables");
}

void TDataQuery::ParseOrderOrGroupItem(bool order) {
    const char* message = order ? "Column name or column number expected in ORDER BY clause, instead found '"
                                : "Column name or column number expected in GROUP BY clause, instead found '";
    std::string column, correlation;
    int32_t number = 0;
    Parser().EndNumberAtDecimalComma();
    const bool byNumber = Parser().TokenKindIs(tkInteger);
    if (byNumber) {
        // A number out of the result's columns is refused when the columns are known.
        if (!TryStrToInt(TokenText(), number)) FailToken(message);
        Next();
    } else if (IsSelectNameToken()) {
        column = TokenText();
        Next();
        if (Parser().TokenKindIs('.')) {
            Next();
            if (!IsSelectNameToken()) FailToken(message);
            correlation = column;
            column = TokenText();
            Next();
        }
    } else {
        FailToken(message);
    }
    TClauseColumn* f = nullptr;
    if (order) {
        FClauses.OrderByFields.push_back(std::make_unique<TOrderByField>(this));
        TOrderByField* o = FClauses.OrderByFields.back().get();
        f = o;
        if (TokenIsAny({"ASC", "ASCENDING"})) {
            Next();
        } else if (TokenIsAny({"DESC", "DESCENDING"})) {
            o->Descending = true;
            Next();
        }
    } else {
        FClauses.GroupByFields.push_back(std::make_unique<TGroupByField>(this));
        f = FClauses.GroupByFields.back().get();
    }
    f->ColumnName = column;
    f->CorrelationName = correlation;
    f->ColumnNo = number;
    f->ByNumber = byNumber;
}

void TDataQuery::ParseSelectColumn(TResultField* column) {
    TExpressionParser& p = Parser();
    p.MarkPosition();
    TExpTree tree = ParseClause(TClauseLevel::Expression, pfSelectColumn, "source column expression",
                                "Source column expression is empty");
    const TExpToken* n = tree.get();
    bool expression = false;
    if (n->NodeKind == nkColumn) {
        column->CorrelationName = n->TableName;
        column->SetColumnName(n->ColumnName);
    } else if (n->NodeKind == nkFunction && n->Code >= fnSum && n->Code <= fnAvg) {
        switch (n->Code) {
            case fnSum:
                column->AggregateKind = akSum;
                break;
            case fnMin:
                column->AggregateKind = akMin;
                break;
            case fnMax:
                column->AggregateKind = akMax;
                break;
            case fnAvg:
                column->AggregateKind = akAvg;
                FClauses.HasAvg = true;
                break;
            default:
                column->AggregateKind = akCount;
                break;
        }
        if (const TExpToken* argument = n->First) {
            if (ExpressionHasAggregates(argument)) Fail("Aggregate functions cannot be nested");
            if (argument->NodeKind == nkColumn) {
                column->CorrelationName = argument->TableName;
                column->SetColumnName(argument->ColumnName);
                column->Alias.clear();
            } else {
                expression = true;
            }
        }
    } else {
        if (ExpressionHasAggregates(n)) Fail("Aggregate functions cannot be used within expressions");
        expression = true;
    }
    if (expression) {
        column->IsExpression = true;
        column->ExpressionText = p.GetMarkedText();
        FClauses.HasExpressionColumns = true;
    }
    column->Expression = std::move(tree);
}

TExpToken* TDataQuery::ParseCondition(bool where) {
    TExpTree condition = ParseClause(TClauseLevel::Expression, where ? pfCondition : pfConditionNoSubSelects,
                                     "WHERE or JOIN clause", "WHERE or JOIN clause is empty");
    TExpToken* parsed = condition.get();
    if (FClauses.Where) {
        TExpTree both = NewExpTree();
        both->NodeKind = nkBinary;
        both->Code = opAnd;
        both->Text = "AND";
        both->DataType = dtBoolean;
        both->First = FClauses.Where.release();
        both->Second = condition.release();
        // Each JOIN's condition adds a level: the whole is held to the bound of one clause.
        TExpressionParser& p = Parser();
        TScopeGuard reset([&p] { p.SetContext(StatementContext); });
        p.SetContext("WHERE or JOIN clause");
        FClauses.Where = p.Checked(std::move(both));
    } else {
        FClauses.Where = std::move(condition);
    }
    return parsed;
}

void TDataQuery::ParseHaving() {
    FClauses.Having =
        ParseClause(TClauseLevel::Expression, pfHaving, "HAVING clause", "HAVING clause is empty");
}

void TDataQuery::MarkJoinConditions(TJoinType joinType, TExpToken* condition) {
    if (!condition) return;
    FClauses.JoinMarks.MarkOnClause(condition);
    std::vector<TExpToken*> pending{condition};
    while (!pending.empty()) {
        TExpToken* n = pending.back();
        pending.pop_back();
        if (n->NodeKind == nkUnary) {
            if (n->First) pending.push_back(n->First);
        } else if (n->NodeKind == nkBinary && (n->Code == opAnd || n->Code == opOr)) {
            if (n->First) pending.push_back(n->First);
            if (n->Second) pending.push_back(n->Second);
        } else if (n->NodeKind == nkBinary && n->Code >= opEqual && n->Code <= opLessEqual) {
            if (ExpressionHasColumns(n->First) && ExpressionHasColumns(n->Second))
                FClauses.JoinMarks.MarkJoinType(n, joinType);
        }
    }
}
