#pragma once
// Parse-only tests of the SQL processor: a started library, statements without a database
// (language 0), and the error a text fails with.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "db/sql/QueryStatement.h"
#include "db/storage/EngineErrors.h"
#include "db/storage/Library.h"

namespace sqltest {

const std::string SqlErrorPrefix = "ZIZIVU Engine Error # 11949 SQL error - ";

struct TParseFailure {
    uint16_t Code = 0;
    std::string Message;  // without the engine's prefix
    int32_t Position = -1;
};

class SqlParseTest : public ::testing::Test {
protected:
    void SetUp() override {
        InitializeLibrary();
        // Enough idle nodes that no parse below creates one: a node lost by a failed
        // parse then lowers the idle count, a node given back twice raises it.
        std::vector<TExpToken*> spare;
        for (int i = 0; i < 256; ++i) spare.push_back(NewExpToken());
        for (auto*& t : spare) DisposeExpToken(t);
        Idle = ExpTokenStack()->IdleCount();
    }
    void TearDown() override { FinalizeLibrary(); }

    // The statement with the text parsed; fails the test when the text is refused.
    std::unique_ptr<TQueryStatement> Parse(const std::string& text) {
        auto s = std::make_unique<TQueryStatement>(nullptr);
        try {
            s->Parse(text);
        } catch (const EZIZIVUEngineError& e) {
            ADD_FAILURE() << text << " -> " << e.Message();
        }
        return s;
    }

    TDataQuery* ParseMain(const std::string& text) {
        Statement = Parse(text);
        return Statement->MainQuery();
    }

    // The error of a text that is refused, through Prepare (the caller's way in).
    TParseFailure Fail(const std::string& text) {
        TParseFailure f;
        auto s = std::make_unique<TQueryStatement>(nullptr);
        int32_t position = 0;
        try {
            s->Prepare(text, position);
            ADD_FAILURE() << text.substr(0, 200) << " was accepted";
        } catch (const EZIZIVUEngineError& e) {
            f.Code = e.ErrorCode();
            f.Message = e.Message().rfind(SqlErrorPrefix, 0) == 0 ? e.Message().substr(SqlErrorPrefix.size())
                                                                  : "<" + e.Message() + ">";
            f.Position = position;
            EXPECT_EQ(s->ParamCount(), 0) << text.substr(0, 200);
        }
        s.reset();
        EXPECT_EQ(ExpTokenStack()->IdleCount(), Idle)
            << text.substr(0, 200) << ": nodes lost or given back twice";
        return f;
    }

    int32_t Idle = 0;
    std::unique_ptr<TQueryStatement> Statement;
};

}  // namespace sqltest
