// What the INSERT, UPDATE, DELETE and definition parsers leave in the query.
#include "SqlTestSupport.h"
#include "platform/rtl/SysUtils.h"

using namespace sqltest;

namespace {

using DmlDdlParserTest = SqlParseTest;

TEST_F(DmlDdlParserTest, InsertWithoutColumnsTargetsEveryColumn) {
    TDataQuery* q = ParseMain("INSERT INTO t VALUES (1, 'x' || \"y\")");
    EXPECT_EQ(q->Clauses().Kind, skInsert);
    EXPECT_TRUE(q->RequestLive());
    ASSERT_EQ(q->Clauses().SourceTables.size(), 1u);
    EXPECT_EQ(q->Clauses().SourceTables[0]->TableName, "t");
    EXPECT_EQ(q->Clauses().SourceTables[0]->FromPosition, 1);
    ASSERT_EQ(q->Clauses().UpdateFields.size(), 1u);
    EXPECT_EQ(q->Clauses().UpdateFields[0]->ColumnName, "*");
    ASSERT_EQ(q->Clauses().UpdateValues.size(), 2u);
    EXPECT_EQ(q->Clauses().UpdateValues[0]->ExpressionText, "1");
    EXPECT_EQ(q->Clauses().UpdateValues[1]->ExpressionText, "'x' || \"y\"");
    EXPECT_EQ(q->Clauses().UpdateValues[1]->Expression->Code, opAdd);
}

TEST_F(DmlDdlParserTest, InsertColumnsValuesAndOptions) {
    TDataQuery* q = ParseMain(
        "INSERT INTO MEMORY t x (a, 'b c', x.d) VALUES (1+2, ?, NULL) NOAUTOINC COMMIT INTERVAL 10;");
    EXPECT_TRUE(q->Clauses().SourceTables[0]->InMemory);
    EXPECT_EQ(q->Clauses().SourceTables[0]->CorrelationName, "x");
    ASSERT_EQ(q->Clauses().UpdateFields.size(), 3u);
    EXPECT_EQ(q->Clauses().UpdateFields[1]->ColumnName, "b c");
    EXPECT_EQ(q->Clauses().UpdateFields[2]->ColumnName, "d");
    EXPECT_EQ(q->Clauses().UpdateFields[2]->CorrelationName, "x");
    ASSERT_EQ(q->Clauses().UpdateValues.size(), 3u);
    EXPECT_EQ(q->Clauses().UpdateValues[0]->ExpressionText, "1+2");
    EXPECT_EQ(Statement->ParamCount(), 1);
    EXPECT_EQ(Statement->Param(0), q->Clauses().UpdateValues[1]->Expression.get());
    EXPECT_TRUE(q->Clauses().Options.NoAutoInc);
    EXPECT_EQ(q->Clauses().Options.CommitInterval, 10);
    EXPECT_TRUE(q->Clauses().Options.CommitIntervalGiven);
}

TEST_F(DmlDdlParserTest, InsertSelectParsesTheSelectAsASecondQuery) {
    TDataQuery* q = ParseMain("INSERT INTO t SELECT a, b FROM u NOAUTOINC COMMIT INTERVAL 5");
    EXPECT_TRUE(q->Clauses().InsertSelect);
    EXPECT_TRUE(q->Clauses().UpdateValues.empty());
    ASSERT_EQ(Statement->QueryCount(), 2);
    TDataQuery* select = Statement->Query(1);
    EXPECT_TRUE(select->Clauses().IsSubQuery);
    EXPECT_TRUE(select->RequestLive());
    EXPECT_EQ(select->Clauses().ResultFields.size(), 2u);
    EXPECT_EQ(select->Clauses().SourceTables[0]->CorrelationName, "u");
    EXPECT_TRUE(q->Clauses().Options.NoAutoInc);
    EXPECT_EQ(q->Clauses().Options.CommitInterval, 5);
}

TEST_F(DmlDdlParserTest, UpdatePairsColumnsWithValues) {
    TDataQuery* q =
        ParseMain("UPDATE t AS x SET a = 1, x.b = b + ?, 'c d' = 'v' WHERE c = ? COMMIT INTERVAL 2");
    EXPECT_EQ(q->Clauses().Kind, skUpdate);
    EXPECT_EQ(q->Clauses().SourceTables[0]->CorrelationName, "x");
    ASSERT_EQ(q->Clauses().UpdateFields.size(), 3u);
    ASSERT_EQ(q->Clauses().UpdateValues.size(), 3u);
    EXPECT_EQ(q->Clauses().UpdateFields[1]->ColumnName, "b");
    EXPECT_EQ(q->Clauses().UpdateFields[1]->CorrelationName, "x");
    EXPECT_EQ(q->Clauses().UpdateValues[1]->ExpressionText, "b + ?");
    EXPECT_EQ(q->Clauses().UpdateFields[2]->ColumnName, "c d");
    EXPECT_TRUE(q->Clauses().HasConditions);
    ASSERT_TRUE(q->Clauses().Where);
    EXPECT_EQ(Statement->ParamCount(), 2);
    EXPECT_EQ(Statement->Param(1), q->Clauses().Where->Second);
    EXPECT_EQ(q->Clauses().Options.CommitInterval, 2);

    q = ParseMain("UPDATE MEMORY t y SET a = 1");
    EXPECT_TRUE(q->Clauses().SourceTables[0]->InMemory);
    EXPECT_EQ(q->Clauses().SourceTables[0]->CorrelationName, "y");
}

TEST_F(DmlDdlParserTest, Delete) {
    TDataQuery* q = ParseMain("DELETE FROM t x WHERE a IN (SELECT b FROM u) COMMIT INTERVAL 3");
    EXPECT_EQ(q->Clauses().Kind, skDelete);
    EXPECT_TRUE(q->RequestLive());
    EXPECT_EQ(q->Clauses().SourceTables[0]->CorrelationName, "x");
    EXPECT_EQ(Statement->QueryCount(), 2);
    EXPECT_EQ(q->Clauses().Options.CommitInterval, 3);
    q = ParseMain("DELETE FROM t NOJOINOPTIMIZE");
    EXPECT_EQ(q->Clauses().SourceTables[0]->CorrelationName, "t");
    EXPECT_TRUE(q->Clauses().NoJoinOptimize);
}

TEST_F(DmlDdlParserTest, CreateTableColumnsPrimaryKeyAndOptions) {
    TDataQuery* q = ParseMain(
        "CREATE TABLE MEMORY \"parts\" (a INTEGER DESCRIPTION 'da' NOT NULL DEFAULT '1' MIN '0' MAXIMUM '9', "
        "b CHAR(20) CHARCASE UPPER, c DECIMAL(10,2) CHARCASE LOWER, 'd e' BYTES(5), f AUTOINC, g BLOB(0,1), "
        "CONSTRAINT pk UNIQUE DESC NOCASE PRIMARY KEY (a, 'd e') COMPRESS FULL DESCRIPTION 'tbl' BLOB BLOCK "
        "SIZE 1024 LANGUAGE 'ANSI Standard' ENCRYPTED WITH 'pw' USER MAJOR VERSION 3 USER MINOR VERSION +4)");
    EXPECT_EQ(q->Clauses().Kind, skCreateTable);
    EXPECT_EQ(q->Clauses().TargetTableName, "parts");
    EXPECT_TRUE(q->Clauses().TargetInMemory);
    ASSERT_EQ(q->Clauses().CreateFields.size(), 6u);
    const TCreateField* a = q->Clauses().CreateFields[0].get();
    EXPECT_EQ(a->ColumnName, "a");
    EXPECT_EQ(a->DataType, dtInteger);
    EXPECT_EQ(a->Description, "da");
    EXPECT_TRUE(a->DescriptionGiven);
    EXPECT_TRUE(a->NotNull && a->NotNullGiven);
    EXPECT_EQ(a->DefaultValue, "1");
    EXPECT_EQ(a->MinValue, "0");
    EXPECT_EQ(a->MaxValue, "9");
    EXPECT_FALSE(a->CharCaseGiven);
    const TCreateField* b = q->Clauses().CreateFields[1].get();
    EXPECT_EQ(b->DataType, dtString);
    EXPECT_EQ(b->Size, 20);
    EXPECT_EQ(b->CharCase, ccUpper);  // the statement's code; the table's descriptor differs
    EXPECT_TRUE(b->CharCaseGiven);
    const TCreateField* c = q->Clauses().CreateFields[2].get();
    EXPECT_EQ(c->DataType, dtBCD);
    EXPECT_EQ(c->Decimals, 2);
    EXPECT_EQ(c->CharCase, ccLower);
    EXPECT_EQ(q->Clauses().CreateFields[3]->ColumnName, "d e");
    EXPECT_EQ(q->Clauses().CreateFields[3]->DataType, dtBytes);
    EXPECT_EQ(q->Clauses().CreateFields[3]->Size, 5);
    EXPECT_EQ(q->Clauses().CreateFields[4]->SubType, fstAutoInc);
    EXPECT_EQ(q->Clauses().CreateFields[5]->DataType, dtBlob);
    ASSERT_EQ(q->Clauses().CreateIndexes.size(), 1u);
    const TCreateIndex* pk = q->Clauses().CreateIndexes[0].get();
    EXPECT_TRUE(pk->Unique && pk->Descending && pk->NoCase);
    EXPECT_EQ(pk->Compression, icFull);
    ASSERT_EQ(pk->ColumnNames.Count(), 2);
    EXPECT_EQ(pk->ColumnNames.Get(0), "a");
    EXPECT_EQ(pk->ColumnNames.Get(1), "d e");
    EXPECT_EQ(q->Clauses().Options.Description, "tbl");
    EXPECT_EQ(q->Clauses().Options.BlobBlockSize, 1024);
    EXPECT_TRUE(q->Clauses().Options.BlobBlockSizeGiven && q->Clauses().Options.LanguageGiven &&
                q->Clauses().Options.Encrypted && q->Clauses().Options.EncryptedGiven);
    EXPECT_EQ(q->Clauses().Options.Password, "pw");
    EXPECT_EQ(q->Clauses().Options.UserMajorVersion, 3);
    EXPECT_EQ(q->Clauses().Options.UserMinorVersion, 4);
    EXPECT_TRUE(q->Clauses().Options.UserMajorVersionGiven && q->Clauses().Options.UserMinorVersionGiven);

    q = ParseMain("CREATE TABLE t (a INTEGER, PRIMARY KEY (a))");
    EXPECT_EQ(q->Clauses().CreateIndexes.size(), 1u);
    EXPECT_EQ(q->Clauses().Options.BlobBlockSize, 512);
    EXPECT_EQ(q->Clauses().Options.UserMajorVersion, 1);
}

TEST_F(DmlDdlParserTest, AlterTableAlterations) {
    TDataQuery* q = ParseMain(
        "ALTER TABLE t REDEFINE a b INTEGER, REDEFINE COLUMN c CHAR(8) NOT NULL, ADD d SMALLINT AT 2 "
        "CHARCASE NOCHANGE, DROP e, DROP PRIMARY KEY, ADD PRIMARY KEY (d) DESCRIPTION 'x' LAST AUTOINC 100 "
        "NOBACKUP");
    EXPECT_EQ(q->Clauses().Kind, skAlterTable);
    EXPECT_EQ(q->Clauses().TargetTableName, "t");
    ASSERT_EQ(q->Clauses().CreateFields.size(), 4u);
    const TCreateField* rename = q->Clauses().CreateFields[0].get();
    EXPECT_TRUE(rename->Redefine);
    EXPECT_EQ(rename->ColumnName, "a");
    EXPECT_EQ(rename->NewColumnName, "b");
    EXPECT_EQ(rename->DataType, dtInteger);
    const TCreateField* retype = q->Clauses().CreateFields[1].get();
    EXPECT_EQ(retype->ColumnName, "c");
    EXPECT_TRUE(retype->NewColumnName.empty());
    EXPECT_EQ(retype->Size, 8);
    EXPECT_TRUE(retype->NotNullGiven);
    EXPECT_FALSE(retype->DescriptionGiven);
    const TCreateField* add = q->Clauses().CreateFields[2].get();
    EXPECT_TRUE(add->Add);
    EXPECT_EQ(add->AtPosition, 2);
    EXPECT_TRUE(add->CharCaseGiven);
    EXPECT_EQ(add->CharCase, ccNoChange);
    EXPECT_TRUE(q->Clauses().CreateFields[3]->Drop);
    EXPECT_EQ(q->Clauses().CreateFields[3]->ColumnName, "e");
    ASSERT_EQ(q->Clauses().CreateIndexes.size(), 2u);
    EXPECT_TRUE(q->Clauses().CreateIndexes[0]->Drop);
    EXPECT_TRUE(q->Clauses().CreateIndexes[1]->Add);
    EXPECT_EQ(q->Clauses().Options.Description, "x");
    EXPECT_EQ(q->Clauses().Options.LastAutoInc, 100);
    EXPECT_TRUE(q->Clauses().Options.NoBackup);

    q = ParseMain("ALTER TABLE t REDEFINE a INTEGER NOBACKUP");
    EXPECT_EQ(q->Clauses().CreateFields[0]->ColumnName, "a");
    EXPECT_TRUE(q->Clauses().CreateFields[0]->NewColumnName.empty());
    EXPECT_TRUE(q->Clauses().Options.NoBackup);
    EXPECT_EQ(q->Clauses().Options.LastAutoInc, -1);
}

TEST_F(DmlDdlParserTest, CreateAndDropIndexAndDropTable) {
    TDataQuery* q = ParseMain(
        "CREATE UNIQUE DESCENDING NOCASE INDEX \"by name\" ON MEMORY t (a, [b]) COMPRESS TRAILBYTE");
    EXPECT_EQ(q->Clauses().Kind, skCreateIndex);
    EXPECT_TRUE(q->Clauses().TargetInMemory);
    EXPECT_EQ(q->Clauses().TargetTableName, "t");
    ASSERT_EQ(q->Clauses().CreateIndexes.size(), 1u);
    const TCreateIndex* i = q->Clauses().CreateIndexes[0].get();
    EXPECT_EQ(i->IndexName, "by name");
    EXPECT_TRUE(i->Unique && i->Descending && i->NoCase);
    EXPECT_EQ(i->Compression, icTrailByte);
    EXPECT_EQ(i->ColumnNames.Count(), 2);
    EXPECT_EQ(i->ColumnNames.Get(1), "b");

    q = ParseMain("CREATE INDEX i ON t (a) COMPRESS DUPBYTE");
    EXPECT_FALSE(q->Clauses().CreateIndexes[0]->Unique);
    EXPECT_EQ(q->Clauses().CreateIndexes[0]->Compression, icDupByte);

    q = ParseMain("DROP INDEX t.i");
    EXPECT_EQ(q->Clauses().Kind, skDropIndex);
    EXPECT_EQ(q->Clauses().TargetTableName, "t");
    EXPECT_EQ(q->Clauses().IndexName, "i");
    q = ParseMain("DROP INDEX MEMORY 'c:\\db\\t.dat'.\"i 2\"");
    EXPECT_TRUE(q->Clauses().TargetInMemory);
    EXPECT_EQ(q->Clauses().TargetTableName, "c:\\db\\t.dat");
    EXPECT_EQ(q->Clauses().IndexName, "i 2");

    q = ParseMain("DROP TABLE MEMORY t;");
    EXPECT_EQ(q->Clauses().Kind, skDropTable);
    EXPECT_EQ(q->Clauses().TargetTableName, "t");
    EXPECT_TRUE(q->Clauses().TargetInMemory);
}

TEST_F(DmlDdlParserTest, IndexSlotLimitIsLeftToCreation) {
    std::string text = "CREATE INDEX i ON t (";
    for (int i = 0; i < 1100; ++i) text += (i ? ", c" : "c") + IntToStr(i);
    TDataQuery* q = ParseMain(text + ")");
    EXPECT_EQ(q->Clauses().CreateIndexes[0]->ColumnNames.Count(), 1100);
}

}  // namespace
