// The parsers of INSERT, UPDATE, DELETE, CREATE, ALTER and DROP TABLE, CREATE and DROP
// INDEX, and their shared parts: target tables and columns, values, column definitions,
// primary keys, index columns and the options of a table.
#include "db/sql/QueryStatement.h"
#include "db/storage/EngineErrors.h"
#include "db/storage/ExpressionValidate.h"
#include "platform/rtl/ScopeGuard.h"
#include "platform/rtl/SysUtils.h"

// ---- Shared parts ----------------------------------------------------------------------

std::string TDataQuery::ParseOptionText() {
    // Whatever the next token is, its text (normally a quoted string).
    std::string text = TokenText();
    Next();
    return text;
}

int32_t TDataQuery::ParseInteger(const char* context, const char* emptyMessage) {
    TExpTree n = ParseClause(TClauseLevel::Signed, pfNames, context, emptyMessage);
    auto isInteger = [](const TExpToken* c) {
        return c && c->NodeKind == nkConstant && c->DataType == dtInteger && !c->IsNull;
    };
    if (isInteger(n.get())) return n->Get<int32_t>();
    if (n->NodeKind == nkUnary && (n->Code == opNegate || n->Code == opPlusSign) && isInteger(n->First)) {
        const int32_t v = n->First->Get<int32_t>();
        return n->Code == opNegate ? -v : v;
    }
    return 0;
}

int32_t TDataQuery::ParseLastAutoInc() {
    return ParseInteger("next auto-increment number", "Next auto-increment number is empty");
}

int32_t TDataQuery::ParseCommitInterval() {
    return ParseInteger("commit interval", "Commit interval is empty");
}

void TDataQuery::ParseCommitIntervalOption() {
    if (!TokenIs("COMMIT")) return;
    Next();
    if (!TokenIs("INTERVAL")) FailToken("INTERVAL keyword expected after COMMIT keyword, instead found '");
    Next();
    const int32_t interval = ParseCommitInterval();
    if (interval < 1)
        Fail("COMMIT INTERVAL specified (" + IntToStr(interval) + ") is invalid, it must be " +
             "greater than 0");
    FClauses.Options.CommitInterval = interval;
    FClauses.Options.CommitIntervalGiven = true;
}

void TDataQuery::ParseTargetColumn(TUpdateField* field) {
    TExpTree n = ParseClause(TClauseLevel::Primary, pfNames, "table column", "Table column name is empty");
    if (n->NodeKind == nkColumn) {
        field->ColumnName = n->ColumnName;
        field->CorrelationName = n->TableName;
    } else if (n->NodeKind == nkConstant && n->DataType == dtString) {
        field->ColumnName = n->Text;  // a column named in quotes
    }
    field->Expression = std::move(n);
}

void TDataQuery::ParseInsertColumn(TUpdateField* field) {
    ParseTargetColumn(field);
}

void TDataQuery::ParseUpdateColumn(TUpdateField* field) {
    ParseTargetColumn(field);
}

void TDataQuery::ParseValue(TUpdateValue* value) {
    Parser().MarkPosition();
    value->Expression =
        ParseClause(TClauseLevel::Expression, pfValue, "value expression", "Value expression is empty");
    value->ExpressionText = Parser().GetMarkedText();
}

void TDataQuery::ParseInsertValue(TUpdateValue* value) {
    ParseValue(value);
}

void TDataQuery::ParseUpdateValue(TUpdateValue* value) {
    ParseValue(value);
}

void TDataQuery::ParseColumnDefinition(TCreateField* field, bool typeRequired) {
    TExpressionParser& p = Parser();
    TScopeGuard reset([&p] { p.SetContext("SQL statement"); });
    const char* const context = "table column";
    p.SetContext(context);
    if (p.TokenKindIs(tkEnd)) Fail("Table column name is empty");
    TExpTree n = p.ParsePrimary(pfNames);
    if (p.ParseDataType(n.get(), pfNames, !typeRequired))
        ValidateCastArguments(ZIZIVU_SQLERROR, "", context, n.get());
    // A second definition of a REDEFINE renames: the first one names the column.
    if (field->Node) field->OldNameNode = std::move(field->Node);
    field->Node = std::move(n);
    field->AssignDataType(field->FieldNo);
}

void TDataQuery::ParseColumnAttributes(TCreateField* field, bool alter) {
    if (alter && TokenIs("AT")) {
        Next();
        field->AtPosition = ParseInteger("column position", "column position is empty");
    }
    if (TokenIs("DESCRIPTION")) {
        Next();
        field->Description = ParseOptionText();
        field->DescriptionGiven = true;
    }
    if (TokenIs("NOT")) {
        Next();
        if (!TokenIs("NULL")) FailToken("NULL keyword expected after NOT keyword, instead found '");
        Next();
        field->NotNull = true;
        field->NotNullGiven = true;
    }
    if (TokenIs("DEFAULT")) {
        Next();
        field->DefaultValue = ParseOptionText();
        field->DefaultValueGiven = true;
    }
    if (TokenIsAny({"MIN", "MINIMUM"})) {
        Next();
        field->MinValue = ParseOptionText();
        field->MinValueGiven = true;
    }
    if (TokenIsAny({"MAX", "MAXIMUM"})) {
        Next();
        field->MaxValue = ParseOptionText();
        field->MaxValueGiven = true;
    }
    if (TokenIs("CHARCASE")) {
        Next();
        if (TokenIs("UPPER"))
            field->CharCase = ccUpper;
        else if (TokenIs("LOWER"))
            field->CharCase = ccLower;
        else if (TokenIs("NOCHANGE"))
            field->CharCase = ccNoChange;
        else
            FailToken("UPPER, LOWER, or NOCHANGE keyword expected after CHARCASE keyword, instead found '");
        field->CharCaseGiven = true;
        Next();
    }
}

void TDataQuery::ParseName(TCreateIndex* index) {
    index->ColumnNodes.push_back(
        ParseClause(TClauseLevel::Primary, pfNames, "index column", "Index column name is empty"));
}

void TDataQuery::ParseIndexColumns(TCreateIndex* index) {
    if (!Parser().TokenKindIs('(')) FailToken("Left parentheses expected after KEY keyword, instead found '");
    Next();
    for (;;) {
        ParseName(index);
        if (!Parser().TokenKindIs(',')) break;
        Next();
    }
    if (!Parser().TokenKindIs(')'))
        FailToken("Right parentheses expected after primary key clause, instead found '");
    Next();
    index->BuildFieldList();
}

void TDataQuery::ParseCompression(TCreateIndex* index) {
    if (!TokenIs("COMPRESS")) return;
    Next();
    if (TokenIs("FULL"))
        index->Compression = icFull;
    else if (TokenIs("DUPBYTE"))
        index->Compression = icDupByte;
    else if (TokenIs("TRAILBYTE"))
        index->Compression = icTrailByte;
    else if (TokenIs("NONE"))
        index->Compression = icNone;
    else
        FailToken(
            "FULL, DUPBYTE, TRAILBYTE, or NONE keyword expected after COMPRESS keyword, instead found '");
    Next();
}

// [UNIQUE] [ASC | DESC] [NOCASE], before a primary key or an index.
void TDataQuery::ParseIndexFlags(TCreateIndex* index) {
    if (TokenIs("UNIQUE")) {
        index->Unique = true;
        Next();
    }
    if (TokenIsAny({"ASC", "ASCENDING"})) {
        Next();
    } else if (TokenIsAny({"DESC", "DESCENDING"})) {
        index->Descending = true;
        Next();
    }
    if (TokenIs("NOCASE")) {
        index->NoCase = true;
        Next();
    }
}

void TDataQuery::SkipConstraintName() {
    if (!TokenIs("CONSTRAINT")) return;
    Next();
    Next();  // the constraint's name is not kept
}

void TDataQuery::ExpectPrimaryKey() {
    if (!TokenIs("PRIMARY")) FailToken("PRIMARY keyword expected, instead found '");
    Next();
    if (!TokenIs("KEY")) FailToken("KEY keyword expected after PRIMARY keyword, instead found '");
    Next();
}

// [CONSTRAINT name] [UNIQUE] [ASC | DESC] [NOCASE] PRIMARY KEY (columns) [COMPRESS ...]
TCreateIndex* TDataQuery::ParsePrimaryKey() {
    FClauses.CreateIndexes.push_back(std::make_unique<TCreateIndex>(this));
    TCreateIndex* index = FClauses.CreateIndexes.back().get();
    SkipConstraintName();
    ParseIndexFlags(index);
    ExpectPrimaryKey();
    ParseIndexColumns(index);
    ParseCompression(index);
    return index;
}

void TDataQuery::ParseTableOptions(bool alter) {
    if (TokenIs("DESCRIPTION")) {
        Next();
        FClauses.Options.Description = ParseOptionText();
        FClauses.Options.DescriptionGiven = true;
    }
    if (TokenIs("BLOB")) {
        Next();
        if (!TokenIs("BLOCK")) FailToken("BLOCK keyword expected after BLOB keyword, instead found '");
        Next();
        if (!TokenIs("SIZE")) FailToken("SIZE keyword expected after BLOCK keyword, instead found '");
        Next();
        FClauses.Options.BlobBlockSize = ParseInteger("BLOB block size", "BLOB block size is empty");
        FClauses.Options.BlobBlockSizeGiven = true;
    }
    if (TokenIs("LANGUAGE")) ParseLanguageOption();
    if (TokenIs("ENCRYPTED")) ParseEncryptedOption();
    if (TokenIs("USER")) {
        Next();
        if (!TokenIs("MAJOR")) FailToken("MAJOR keyword expected after USER keyword, instead found '");
        Next();
        if (!TokenIs("VERSION")) FailToken("VERSION keyword expected after MAJOR keyword, instead found '");
        Next();
        FClauses.Options.UserMajorVersion =
            ParseInteger("user version number", "User version number is empty");
        FClauses.Options.UserMajorVersionGiven = true;
        if (TokenIs("USER")) {
            Next();
            if (!TokenIs("MINOR")) FailToken("MINOR keyword expected after USER keyword, instead found '");
            Next();
            if (!TokenIs("VERSION"))
                FailToken("VERSION keyword expected after MINOR keyword, instead found '");
            Next();
            FClauses.Options.UserMinorVersion =
                ParseInteger("user version number", "User version number is empty");
            FClauses.Options.UserMinorVersionGiven = true;
        }
    }
    if (!alter) return;
    if (TokenIs("LAST")) {
        Next();
        if (!TokenIs("AUTOINC")) FailToken("AUTOINC keyword expected after LAST keyword, instead found '");
        Next();
        FClauses.Options.LastAutoInc = ParseLastAutoInc();
    }
    if (TokenIs("NOBACKUP")) {
        FClauses.Options.NoBackup = true;
        Next();
    }
}

// [MEMORY] before a table's name, which must follow (missing, or missingAfterMemory after
// MEMORY, when it does not); true when MEMORY was given. The name is left as the token.
bool TDataQuery::ParseMemoryPrefix(const char* missing, const char* missingAfterMemory) {
    const bool memory = TokenIs("MEMORY");
    if (memory) Next();
    if (!IsNameToken()) FailToken(memory ? missingAfterMemory : missing);
    return memory;
}

// The one table of INSERT, UPDATE or DELETE: [MEMORY] name.
TSourceTable* TDataQuery::ParseDmlTarget(const char* missing, const char* missingAfterMemory) {
    FClauses.SourceTables.push_back(std::make_unique<TSourceTable>(this));
    TSourceTable* table = FClauses.SourceTables.back().get();
    table->FromPosition = 1;
    if (ParseMemoryPrefix(missing, missingAfterMemory)) table->InMemory = true;
    table->SetTableName(TokenText());
    Next();
    return table;
}

// The table of a definition statement: [MEMORY] name.
void TDataQuery::ParseTargetTableName(const char* missing) {
    if (ParseMemoryPrefix(missing, "Table name expected, instead found '")) FClauses.TargetInMemory = true;
    FClauses.TargetTableName = TokenText();
    FClauses.TargetGiven = true;
    Next();
}

// [AS] name after the table of UPDATE or DELETE; a name among the clause words that may
// follow is that clause, not a correlation name.
void TDataQuery::ParseCorrelationName(TSourceTable* table, std::initializer_list<const char*> clauseWords) {
    if (TokenIs("AS")) {
        Next();
        if (!IsNameToken()) FailToken("Symbol or string expected after AS keyword, instead found '");
    } else if (!IsNameToken() || TokenIsAny(clauseWords)) {
        return;
    }
    table->SetCorrelationName(TokenText());
    Next();
}

// ---- INSERT, UPDATE, DELETE ------------------------------------------------------------

void TDataQuery::ParseInsert() {
    FRequestLive = true;  // the target opens for writing
    Next();
    if (!TokenIs("INTO")) FailToken("INTO keyword expected, instead found '");
    Next();
    TSourceTable* table = ParseDmlTarget("Table name expected after INTO clause, instead found '",
                                         "Table name expected after INTO keyword, instead found '");
    if (IsNameToken() && !TokenIsAny({"VALUES", "SELECT"})) {
        table->SetCorrelationName(TokenText());
        Next();
    }
    if (Parser().TokenKindIs('(')) {
        Next();
        for (;;) {
            FClauses.UpdateFields.push_back(std::make_unique<TUpdateField>(this));
            ParseInsertColumn(FClauses.UpdateFields.back().get());
            if (!Parser().TokenKindIs(',')) break;
            Next();
        }
        if (!Parser().TokenKindIs(')'))
            FailToken("Right parentheses expected after list of table columns, instead found '");
        Next();
    } else {
        // Every column of the table, in table order.
        FClauses.UpdateFields.push_back(std::make_unique<TUpdateField>(this));
        FClauses.UpdateFields.back()->ColumnName = "*";
    }
    if (TokenIs("VALUES")) {
        Next();
        if (!Parser().TokenKindIs('('))
            FailToken("Left parentheses expected after VALUES keyword, instead found '");
        Next();
        for (;;) {
            FClauses.UpdateValues.push_back(std::make_unique<TUpdateValue>(this));
            ParseInsertValue(FClauses.UpdateValues.back().get());
            if (!Parser().TokenKindIs(',')) break;
            Next();
        }
        if (!Parser().TokenKindIs(')'))
            FailToken("Right parentheses expected after list of values, instead found '");
        Next();
    } else if (TokenIs("SELECT")) {
        FClauses.InsertSelect = true;
        static_cast<TDataQuery*>(FOwner->CreateSubQuery())->ParseStatement(true);
    } else {
        FailToken("VALUES or SELECT  keyword expected, instead found '");
    }
    if (TokenIs("NOAUTOINC")) {
        FClauses.Options.NoAutoInc = true;
        Next();
    }
    ParseCommitIntervalOption();
    ExpectStatementEnd("INSERT");
}

void TDataQuery::ParseUpdate() {
    FRequestLive = true;
    Next();
    TSourceTable* table =
        ParseDmlTarget("Table name expected, instead found '", "Table name expected, instead found '");
    ParseCorrelationName(table, {"SET"});
    if (!TokenIs("SET")) FailToken("SET keyword expected, instead found '");
    Next();
    for (;;) {
        FClauses.UpdateFields.push_back(std::make_unique<TUpdateField>(this));
        ParseUpdateColumn(FClauses.UpdateFields.back().get());
        if (!Parser().TokenKindIs('='))
            FailToken("Assignment (=) operator expected after column name, instead found '");
        Next();
        FClauses.UpdateValues.push_back(std::make_unique<TUpdateValue>(this));
        ParseUpdateValue(FClauses.UpdateValues.back().get());
        if (!Parser().TokenKindIs(',')) break;
        Next();
    }
    if (TokenIs("WHERE")) {
        Next();
        ParseCondition(true);
        FClauses.HasConditions = true;
    }
    if (TokenIs("NOAUTOINC")) {
        FClauses.Options.NoAutoInc = true;
        Next();
    }
    ParseCommitIntervalOption();
    ExpectStatementEnd("UPDATE");
}

void TDataQuery::ParseDelete() {
    FRequestLive = true;
    Next();
    if (!TokenIs("FROM")) FailToken("FROM keyword expected, instead found '");
    Next();
    TSourceTable* table =
        ParseDmlTarget("Table name expected, instead found '", "Table name expected, instead found '");
    ParseCorrelationName(table, {"WHERE", "NOJOINOPTIMIZE", "COMMIT"});
    if (TokenIs("WHERE")) {
        Next();
        ParseCondition(true);
        FClauses.HasConditions = true;
    }
    // Accepted for symmetry with SELECT; one table leaves no join to order.
    if (TokenIs("NOJOINOPTIMIZE")) {
        FClauses.NoJoinOptimize = true;
        Next();
    }
    ParseCommitIntervalOption();
    ExpectStatementEnd("DELETE");
}

// ---- CREATE, ALTER, DROP ---------------------------------------------------------------

namespace {

// The words that begin a primary key clause.
const std::initializer_list<const char*> PrimaryKeyStart = {"CONSTRAINT", "PRIMARY", "UNIQUE",     "ASC",
                                                            "ASCENDING",  "DESC",    "DESCENDING", "NOCASE"};

}  // namespace

void TDataQuery::ParseCreateTable() {
    Next();
    ParseTargetTableName("Table name expected after CREATE TABLE keywords, instead found '");
    if (!Parser().TokenKindIs('('))
        FailToken("Left parentheses expected before list of table columns, instead found '");
    Next();
    while (!Parser().TokenKindIs(')') && !TokenIsAny(PrimaryKeyStart) &&
           !TokenIsAny({"DESCRIPTION", "BLOB", "LANGUAGE", "ENCRYPTED", "USER"})) {
        FClauses.CreateFields.push_back(std::make_unique<TCreateField>(this));
        TCreateField* field = FClauses.CreateFields.back().get();
        ParseColumnDefinition(field, true);
        ParseColumnAttributes(field, false);
        if (!Parser().TokenKindIs(',')) break;
        Next();
    }
    if (TokenIsAny(PrimaryKeyStart)) ParsePrimaryKey();
    ParseTableOptions(false);
    if (!Parser().TokenKindIs(')'))
        FailToken("Right parentheses expected after CREATE TABLE statement, instead found '");
    Next();
    ExpectStatementEnd("CREATE TABLE");
}

void TDataQuery::ParseAlterTable() {
    Next();
    ParseTargetTableName("Table name expected after ALTER TABLE keywords, instead found '");
    while (TokenIsAny({"ADD", "REDEFINE", "DROP"})) {
        if (TokenIs("DROP")) {
            Next();
            if (TokenIsAny({"CONSTRAINT", "PRIMARY"})) {
                FClauses.CreateIndexes.push_back(std::make_unique<TCreateIndex>(this));
                FClauses.CreateIndexes.back()->Drop = true;
                SkipConstraintName();
                ExpectPrimaryKey();
            } else {
                if (TokenIs("COLUMN")) Next();
                FClauses.CreateFields.push_back(std::make_unique<TCreateField>(this));
                TCreateField* field = FClauses.CreateFields.back().get();
                field->Drop = true;
                ParseColumnDefinition(field, false);
            }
        } else {
            const bool add = TokenIs("ADD");
            Next();
            if (TokenIsAny(PrimaryKeyStart)) {
                TCreateIndex* index = ParsePrimaryKey();
                index->Add = add;
                index->Redefine = !add;
            } else {
                if (TokenIs("COLUMN")) Next();
                FClauses.CreateFields.push_back(std::make_unique<TCreateField>(this));
                TCreateField* field = FClauses.CreateFields.back().get();
                field->Add = add;
                field->Redefine = !add;
                ParseColumnDefinition(field, add);
                // REDEFINE old new [type]: anything but an attribute, a separator or a
                // table option after the first name is the new name.
                if (!add && !Parser().TokenKindIs(tkEnd) && !Parser().TokenKindIs(',') &&
                    !Parser().TokenKindIs(';') &&
                    !TokenIsAny({"AT", "DESCRIPTION", "NOT", "DEFAULT", "MIN", "MINIMUM", "MAX", "MAXIMUM",
                                 "CHARCASE", "BLOB", "LANGUAGE", "ENCRYPTED", "USER", "LAST", "NOBACKUP"}))
                    ParseColumnDefinition(field, false);
                ParseColumnAttributes(field, true);
            }
        }
        if (!Parser().TokenKindIs(',')) break;
        Next();
    }
    ParseTableOptions(true);
    ExpectStatementEnd("ALTER TABLE");
}

void TDataQuery::ParseDropTable() {
    Next();
    ParseTargetTableName("Table name expected after TABLE keyword, instead found '");
    ExpectStatementEnd("DROP TABLE");
}

void TDataQuery::ParseCreateIndex() {
    FClauses.CreateIndexes.push_back(std::make_unique<TCreateIndex>(this));
    TCreateIndex* index = FClauses.CreateIndexes.back().get();
    ParseIndexFlags(index);
    if (!TokenIs("INDEX")) FailToken("INDEX keyword expected, instead found '");
    Next();
    if (!IsNameToken()) FailToken("Index name expected after INDEX keyword, instead found '");
    index->IndexName = TokenText();
    Next();
    if (!TokenIs("ON")) FailToken("ON keyword expected after index name, instead found '");
    Next();
    ParseTargetTableName("Table name expected after ON keyword, instead found '");
    ParseIndexColumns(index);
    ParseCompression(index);
    ExpectStatementEnd("CREATE INDEX");
}

void TDataQuery::ParseIndexName() {
    TExpTree n = ParseClause(TClauseLevel::Primary, pfNames, "index name expression",
                             "Index name expression is empty");
    if (n->NodeKind == nkColumn) {
        FClauses.IndexName = n->ColumnName;
        // The table part as written (the node's own correlation name drops a path).
        const size_t tableLength = n->Text.size() - n->ColumnName.size();
        FClauses.TargetTableName = tableLength > 0 ? n->Text.substr(0, tableLength - 1) : std::string();
    } else {
        FClauses.IndexName = n->Text;
    }
}

void TDataQuery::ParseDropIndex() {
    Next();
    if (ParseMemoryPrefix("Table name expected after INDEX keyword, instead found '",
                          "Table name expected, instead found '"))
        FClauses.TargetInMemory = true;
    ParseIndexName();
    ExpectStatementEnd("DROP INDEX");
}
