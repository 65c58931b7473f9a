// Every refused text raises engine error 11949 with its own message, the offending token
// quoted without its delimiters, and returns every node it built to the pool.
#include "SqlTestSupport.h"

using namespace sqltest;

namespace {

struct TErrorCase {
    const char* Text;
    const char* Message;
    int32_t Position = -1;  // of the failing token; -1 = not checked
};

class SqlErrorTest : public SqlParseTest {
protected:
    void Check(const std::vector<TErrorCase>& cases) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.Text);
            TParseFailure f = Fail(c.Text);
            EXPECT_EQ(f.Code, ZIZIVU_SQLERROR);
            EXPECT_EQ(f.Message, c.Message);
            if (c.Position >= 0) {
                EXPECT_EQ(f.Position, c.Position);
            }
        }
    }
};

// A zero byte would end the text there, and "DELETE FROM t" would run without its condition.
TEST_F(SqlErrorTest, AZeroByteInTheTextIsRefused) {
    const std::string text("DELETE FROM t\0 WHERE a = 99", 27);
    TParseFailure f = Fail(text);
    EXPECT_EQ(f.Code, ZIZIVU_SQLERROR);
    EXPECT_EQ(f.Message, "Zero byte found in SQL statement");
}

TEST_F(SqlErrorTest, Dispatcher) {
    Check({
        {"SELEC * FROM t",
         "SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead found 'SELEC'", 0},
        {"", "SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead found ''", 0},
        {"CREATE VIEW v", "TABLE or INDEX keyword expected, instead found 'VIEW'", 7},
        {"ALTER INDEX i", "TABLE keyword expected, instead found 'INDEX'", 6},
        {"DROP VIEW v", "TABLE or INDEX keyword expected, instead found 'VIEW'", 5},
        {"'SELECT' * FROM t",
         "SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead found 'SELECT'"},
    });
}

TEST_F(SqlErrorTest, Select) {
    Check({
        {"SELECT", "Source column expression is empty", 6},
        {"SELECT a AS , b FROM t", "Symbol or string expected after AS keyword, instead found ','", 12},
        {"SELECT a b.(c) FROM t",
         "Symbol or string expected after table correlation name, instead found '('"},
        {"SELECT a INTO MEMORY ( FROM t",
         "Result table name expected in INTO MEMORY clause, instead found '('"},
        {"SELECT a INTO [r] FROM t", "Result table name expected in INTO clause, instead found 'r'"},
        {"SELECT a, b c d", "FROM keyword expected, instead found 'd'", 14},
        {"SELECT * FROM [a b]", "Table name expected after FROM keyword, instead found 'a b'", 14},
        {"SELECT * FROM a, a", "Duplicate table correlation name 'a' found in source tables"},
        {"SELECT * FROM a x, b X", "Duplicate table correlation name 'X' found in source tables"},
        {"SELECT * FROM a JOIN a ON a.k = a.k",
         "Duplicate table correlation name 'a' found in source tables"},
        {"SELECT * FROM a AS ,", "Symbol or string expected after AS keyword, instead found ','"},
        {"SELECT * FROM a INNER b", "JOIN keyword expected after INNER keyword, instead found 'b'"},
        {"SELECT * FROM a LEFT OUTER b",
         "JOIN keyword expected after LEFT or OUTER keyword, instead found 'b'"},
        {"SELECT * FROM a RIGHT x", "JOIN keyword expected after RIGHT or OUTER keyword, instead found 'x'"},
        {"SELECT * FROM a FULL JOIN b ON a.k = b.k",
         "Full outer joins are currently not supported in ZIZIVU SQL SELECT statements"},
        {"SELECT * FROM a JOIN [b] ON a.k = b.k",
         "Table name expected after JOIN keyword, instead found 'b'"},
        {"SELECT * FROM a JOIN b c d", "ON keyword expected in JOIN clause, instead found 'd'"},
        {"SELECT * FROM a JOIN b ON", "WHERE or JOIN clause is empty"},
        {"SELECT * FROM a WHERE", "WHERE or JOIN clause is empty"},
        {"SELECT * FROM a JOIN b ON a.k IN (SELECT k FROM c)",
         "Sub-select queries are not allowed in WHERE or JOIN clause"},
        {"SELECT * FROM a WHERE x IN (SELECT y FROM b) AND",
         "Unknown or unexpected symbol '' found in WHERE or JOIN clause"},
        {"SELECT * FROM a WHERE x IN (SELECT y FROM b WHERE)",
         "Unknown or unexpected symbol ')' found in WHERE or JOIN clause"},
        {"SELECT * FROM a WHERE SUM(x) > 1", "Aggregate functions are not allowed in WHERE or JOIN clause"},
        {"SELECT * FROM a GROUP x", "BY keyword expected after GROUP keyword, instead found 'x'"},
        {"SELECT * FROM a GROUP BY (x)",
         "Column name or column number expected in GROUP BY clause, instead found '('"},
        {"SELECT * FROM a GROUP BY a.",
         "Column name or column number expected in GROUP BY clause, instead found ''"},
        {"SELECT * FROM a ORDER x", "BY keyword expected after ORDER keyword, instead found 'x'"},
        {"SELECT * FROM a ORDER BY 1.5",
         "Column name or column number expected in ORDER BY clause, instead found '1.5'"},
        {"SELECT * FROM a HAVING", "HAVING clause is empty"},
        {"SELECT * FROM a HAVING x LIKE 'a'",
         "Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in HAVING clause"},
        {"SELECT * FROM a WITH x", "LOCKS keyword expected after WITH keyword, instead found 'x'"},
        {"SELECT * FROM a LANGUAGE 'Klingon'",
         "Invalid language constant 'Klingon' specified after LANGUAGE keyword"},
        {"SELECT * FROM a LANGUAGE", "Invalid language constant '' specified after LANGUAGE keyword"},
        {"SELECT * FROM a LANGUAGE 'ANSI Standard' SORT 'Phone'",
         "Invalid sort constant 'Phone' specified after SORT keyword"},
        {"SELECT * FROM a ENCRYPTED 'x'", "WITH keyword expected after ENCRYPTED keyword, instead found 'x'"},
        {"SELECT * FROM a; SELECT", "End of SELECT statement expected, instead found 'SELECT'", 17},
        {"SELECT * FROM a ORDER BY x WHERE y = 1", "End of SELECT statement expected, instead found 'WHERE'",
         27},
        {"SELECT * FROM a WHERE b = 'x' 'y'", "End of SELECT statement expected, instead found 'y'"},
        {"SELECT SUM(AVG(x)) FROM a", "Aggregate functions cannot be nested"},
        {"SELECT SUM(x)+1 FROM a", "Aggregate functions cannot be used within expressions"},
        {"SELECT 2*MAX(x) FROM a", "Aggregate functions cannot be used within expressions"},
        {"SELECT ? FROM a", "Parameters are not allowed in source column expression"},
        {"SELECT * FROM a WHERE b = 'open", "Missing single quote after ''open' in WHERE or JOIN clause"},
    });
}

TEST_F(SqlErrorTest, InsertUpdateDelete) {
    Check({
        {"INSERT t VALUES (1)", "INTO keyword expected, instead found 't'", 7},
        {"INSERT INTO (a) VALUES (1)", "Table name expected after INTO clause, instead found '('"},
        {"INSERT INTO MEMORY (a)", "Table name expected after INTO keyword, instead found '('"},
        {"INSERT INTO t (", "Table column name is empty"},
        {"INSERT INTO t (a, b VALUES (1)",
         "Right parentheses expected after list of table columns, instead found 'VALUES'"},
        {"INSERT INTO t (a + b) VALUES (1)",
         "Right parentheses expected after list of table columns, instead found '+'"},
        {"INSERT INTO t VALUES 1", "Left parentheses expected after VALUES keyword, instead found '1'"},
        {"INSERT INTO t VALUES (1, 2", "Right parentheses expected after list of values, instead found ''"},
        {"INSERT INTO t VALUES (", "Value expression is empty"},
        {"INSERT INTO t VALUES ()", "Unknown or unexpected symbol ')' found in value expression"},
        {"INSERT INTO t VALUES (SUM(a))", "Aggregate functions are not allowed in value expression"},
        {"INSERT INTO t (a) 1", "VALUES or SELECT  keyword expected, instead found '1'"},
        {"INSERT INTO t VALUES (1) COMMIT 5",
         "INTERVAL keyword expected after COMMIT keyword, instead found '5'"},
        {"INSERT INTO t VALUES (1) COMMIT INTERVAL 0",
         "COMMIT INTERVAL specified (0) is invalid, it must be greater than 0"},
        {"INSERT INTO t VALUES (1) COMMIT INTERVAL -5",
         "COMMIT INTERVAL specified (-5) is invalid, it must be greater than 0"},
        {"INSERT INTO t VALUES (1) COMMIT INTERVAL 2.5",
         "COMMIT INTERVAL specified (0) is invalid, it must be greater than 0"},
        {"INSERT INTO t VALUES (1) COMMIT INTERVAL n",
         "COMMIT INTERVAL specified (0) is invalid, it must be greater than 0"},
        {"INSERT INTO t VALUES (1) COMMIT INTERVAL", "Commit interval is empty"},
        {"INSERT INTO t VALUES (1) x", "End of INSERT statement expected, instead found 'x'"},
        {"INSERT INTO t SELECT a FROM u v w", "End of INSERT statement expected, instead found 'w'"},
        {"UPDATE (t) SET a = 1", "Table name expected, instead found '('"},
        {"UPDATE MEMORY (t) SET a = 1", "Table name expected, instead found '('"},
        {"UPDATE t AS (x) SET a = 1", "Symbol or string expected after AS keyword, instead found '('"},
        {"UPDATE t a = 1", "SET keyword expected, instead found '='"},
        {"UPDATE t SET a 1", "Assignment (=) operator expected after column name, instead found '1'"},
        {"UPDATE t SET a =", "Value expression is empty"},
        {"UPDATE t SET a = 1 WHERE b = 1 c", "End of UPDATE statement expected, instead found 'c'"},
        {"DELETE t", "FROM keyword expected, instead found 't'"},
        {"DELETE FROM (t)", "Table name expected, instead found '('"},
        {"DELETE FROM t WHERE a = 1 x", "End of DELETE statement expected, instead found 'x'"},
    });
}

TEST_F(SqlErrorTest, CreateAlterDrop) {
    Check({
        {"CREATE TABLE (a INTEGER)", "Table name expected after CREATE TABLE keywords, instead found '('"},
        {"CREATE TABLE MEMORY (a INTEGER)", "Table name expected, instead found '('"},
        {"CREATE TABLE t a INTEGER",
         "Left parentheses expected before list of table columns, instead found 'a'"},
        {"CREATE TABLE t (", "Table column name is empty"},
        {"CREATE TABLE t (a)", "SQL data type keyword expected, instead found ')' in table column"},
        {"CREATE TABLE t (a CHAR(300))",
         "Length argument must be an integer greater than 0 and less than or equal to 250 in table column"},
        {"CREATE TABLE t (a INTEGER NOT 1)", "NULL keyword expected after NOT keyword, instead found '1'"},
        {"CREATE TABLE t (a CHAR(10) CHARCASE MIXED)",
         "UPPER, LOWER, or NOCHANGE keyword expected after CHARCASE keyword, instead found 'MIXED'"},
        {"CREATE TABLE t (a INTEGER, UNIQUE KEY (a))", "PRIMARY keyword expected, instead found 'KEY'"},
        {"CREATE TABLE t (a INTEGER, PRIMARY (a))",
         "KEY keyword expected after PRIMARY keyword, instead found '('"},
        {"CREATE TABLE t (a INTEGER, PRIMARY KEY a)",
         "Left parentheses expected after KEY keyword, instead found 'a'"},
        {"CREATE TABLE t (a INTEGER, PRIMARY KEY (a b))",
         "Right parentheses expected after primary key clause, instead found 'b'"},
        {"CREATE TABLE t (a INTEGER, PRIMARY KEY ()",
         "Unknown or unexpected symbol ')' found in index column"},
        {"CREATE TABLE t (a INTEGER, PRIMARY KEY (", "Index column name is empty"},
        {"CREATE TABLE t (a INTEGER, PRIMARY KEY (a) COMPRESS ALL)",
         "FULL, DUPBYTE, TRAILBYTE, or NONE keyword expected after COMPRESS keyword, instead found 'ALL'"},
        {"CREATE TABLE t (a INTEGER, BLOB SIZE 5)",
         "BLOCK keyword expected after BLOB keyword, instead found 'SIZE'"},
        {"CREATE TABLE t (a INTEGER, BLOB BLOCK 5)",
         "SIZE keyword expected after BLOCK keyword, instead found '5'"},
        {"CREATE TABLE t (a INTEGER, BLOB BLOCK SIZE", "BLOB block size is empty"},
        {"CREATE TABLE t (a INTEGER, USER MINOR VERSION 2)",
         "MAJOR keyword expected after USER keyword, instead found 'MINOR'"},
        {"CREATE TABLE t (a INTEGER, USER MAJOR 2)",
         "VERSION keyword expected after MAJOR keyword, instead found '2'"},
        {"CREATE TABLE t (a INTEGER, USER MAJOR VERSION 2 USER MAJOR VERSION 3)",
         "MINOR keyword expected after USER keyword, instead found 'MAJOR'"},
        {"CREATE TABLE t (a INTEGER, USER MAJOR VERSION 2 USER MINOR 3)",
         "VERSION keyword expected after MINOR keyword, instead found '3'"},
        {"CREATE TABLE t (a INTEGER, USER MAJOR VERSION", "User version number is empty"},
        {"CREATE TABLE t (a INTEGER, ENCRYPTED 'x')",
         "WITH keyword expected after ENCRYPTED keyword, instead found 'x'"},
        {"CREATE TABLE t (a INTEGER, LANGUAGE 'x')",
         "Invalid language constant 'x' specified after LANGUAGE keyword"},
        {"CREATE TABLE t (a INTEGER",
         "Right parentheses expected after CREATE TABLE statement, instead found ''"},
        {"CREATE TABLE t (a INTEGER) DESCRIPTION 'x'",
         "End of CREATE TABLE statement expected, instead found 'DESCRIPTION'", 27},
        {"ALTER TABLE (t)", "Table name expected after ALTER TABLE keywords, instead found '('"},
        {"ALTER TABLE MEMORY (t)", "Table name expected, instead found '('"},
        {"ALTER TABLE t ADD a", "SQL data type keyword expected, instead found '' in table column"},
        {"ALTER TABLE t DROP CONSTRAINT c KEY", "PRIMARY keyword expected, instead found 'KEY'"},
        {"ALTER TABLE t DROP PRIMARY (a)", "KEY keyword expected after PRIMARY keyword, instead found '('"},
        {"ALTER TABLE t ADD a INTEGER AT", "column position is empty"},
        {"ALTER TABLE t LAST 5", "AUTOINC keyword expected after LAST keyword, instead found '5'"},
        {"ALTER TABLE t LAST AUTOINC", "Next auto-increment number is empty"},
        {"ALTER TABLE t ADD a INTEGER x", "End of ALTER TABLE statement expected, instead found 'x'"},
        {"CREATE NOCASE UNIQUE INDEX i ON t (a)", "INDEX keyword expected, instead found 'UNIQUE'", 14},
        {"CREATE INDEX (i) ON t (a)", "Index name expected after INDEX keyword, instead found '('"},
        {"CREATE INDEX i t (a)", "ON keyword expected after index name, instead found 't'"},
        {"CREATE INDEX i ON (a)", "Table name expected after ON keyword, instead found '('"},
        {"CREATE INDEX i ON MEMORY (a)", "Table name expected, instead found '('"},
        {"CREATE INDEX i ON t a", "Left parentheses expected after KEY keyword, instead found 'a'"},
        {"CREATE INDEX i ON t (a) x", "End of CREATE INDEX statement expected, instead found 'x'"},
        {"DROP TABLE (t)", "Table name expected after TABLE keyword, instead found '('"},
        {"DROP TABLE MEMORY (t)", "Table name expected, instead found '('"},
        {"DROP TABLE t x", "End of DROP TABLE statement expected, instead found 'x'"},
        {"DROP INDEX (t).i", "Table name expected after INDEX keyword, instead found '('"},
        {"DROP INDEX MEMORY (t)", "Table name expected, instead found '('"},
        {"DROP INDEX t.i x", "End of DROP INDEX statement expected, instead found 'x'"},
    });
}

// A SELECT that parses but whose tables cannot be opened fails in Prepare with the
// engine's own error (here: no engine started), and the query then refuses to run.
TEST_F(SqlErrorTest, PrepareOfAStatementWhoseTablesCannotOpenFailsWithTheEngineError) {
    TQueryStatement s(nullptr);
    int32_t position = 100;
    try {
        s.Prepare("SELECT a FROM t;", position);
        FAIL() << "prepared";
    } catch (const EZIZIVUEngineError& e) {
        EXPECT_NE(e.ErrorCode(), ZIZIVU_SQLERROR) << e.Message();
    }
    TDataCursor* result = reinterpret_cast<TDataCursor*>(&s);
    EXPECT_THROW(s.Execute(result), EZIZIVUEngineError);
    EXPECT_EQ(result, nullptr);
}

}  // namespace

namespace {

// Nested sub-selects recurse through both parsers: a bound refuses what would exhaust the
// stack, with the context of the clause that held the last sub-select.
TEST_F(SqlParseTest, SubSelectNestingIsBounded) {
    auto nested = [](int subSelects) {
        std::string text = "SELECT * FROM t WHERE a IN (";
        for (int i = 1; i < subSelects; ++i) text += "SELECT a FROM t WHERE a IN (";
        return text + "SELECT a FROM t" + std::string(subSelects, ')');
    };
    TDataQuery* q = ParseMain(nested(MaxSubSelectNesting));
    EXPECT_EQ(q->Clauses().Kind, skSelect);
    EXPECT_EQ(Statement->QueryCount(), MaxSubSelectNesting + 1);
    Statement.reset();
    TParseFailure f = Fail(nested(MaxSubSelectNesting + 1));
    EXPECT_EQ(f.Message, "Sub-select queries nested too deeply in WHERE or JOIN clause");
    EXPECT_EQ(Fail(nested(5000)).Message, f.Message);
}

// The conditions of JOIN ... ON join the WHERE clause one level each: the whole is held to
// the bound of one condition, as the same join written with commas and WHERE is.
TEST_F(SqlParseTest, JoinConditionsTogetherAreBounded) {
    auto joined = [](int joins) {
        std::string text = "SELECT * FROM t t0";
        for (int i = 1; i <= joins; ++i)
            text += " JOIN t t" + std::to_string(i) + " ON t" + std::to_string(i - 1) + ".a = t" +
                    std::to_string(i) + ".a";
        return text;
    };
    EXPECT_EQ(ParseMain(joined(100))->Clauses().Kind, skSelect);
    Statement.reset();
    std::vector<TExpToken*> spare(20000);  // idle nodes for the long text, as SetUp's
    for (auto*& t : spare) t = NewExpToken();
    for (auto*& t : spare) DisposeExpToken(t);
    Idle = ExpTokenStack()->IdleCount();
    EXPECT_EQ(Fail(joined(1000)).Message, "Expression nested too deeply in WHERE or JOIN clause");
}

}  // namespace
