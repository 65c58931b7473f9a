// Random statements from a fixed seed on the SQL processor and on SQLite agree.
#include <gtest/gtest.h>

#include "tests/support/SqlDiff.h"

namespace {

TEST(DifferentialTest, StatementsFromASeedAgreeWithSQLite) {
    sqldiff::TOptions options;
    options.Seed = 20261207;
    options.Count = 800;
    const sqldiff::TOutcome out = sqldiff::Run(options);
    EXPECT_FALSE(out.Mismatch) << out.Report;
    EXPECT_EQ(out.Statements, options.Count);
    // The generator writes statements both take: refusals are rare.
    EXPECT_LT(out.BothFailed, out.Statements / 20);
}

// Without this dialect's NULL rules spelt out for SQLite the runs differ, and the report
// shows the statement reduced.
TEST(DifferentialTest, AMismatchIsReportedReduced) {
    sqldiff::TOptions options;
    options.Seed = 3;
    options.Count = 400;
    options.ModelNullRules = false;
    const sqldiff::TOutcome out = sqldiff::Run(options);
    ASSERT_TRUE(out.Mismatch);
    EXPECT_NE(out.Report.find("statement: "), std::string::npos) << out.Report;
    EXPECT_NE(out.Report.find("SQLite: "), std::string::npos) << out.Report;
}

}  // namespace
