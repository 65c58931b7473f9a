#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "db/engine/EngineErrors.h"

namespace {

struct MessageCase {
    const char* name;
    uint16_t code;
    const char* table;
    const char* field;
    const char* index;
    const char* extra;
    const char* expected;
};

// One case per fill order of the message table.
const MessageCase kMessages[] = {
    {"T", ZIZIVU_RECNOTFOUND, "Parts", "Qty", "ByName", "x", "Record not found in table 'Parts'"},
    {"F,T", ZIZIVU_REQDERR, "Parts", "Qty", "ByName", "x",
     "A value must be provided for the field 'Qty' in table 'Parts'"},
    {"I,T", ZIZIVU_KEYVIOL, "Parts", "Qty", "ByName", "x",
     "Duplicate key found in index 'ByName' of table 'Parts'"},
    {"F,I,T", ZIZIVU_INVALIDINDEXFIELD, "Parts", "Qty", "ByName", "x",
     "Invalid field number 'Qty' specified in index 'ByName' for table 'Parts'"},
    {"T,X", ZIZIVU_FILTERERR, "Parts", "Qty", "ByName", "bad token",
     "Filter error for table 'Parts' - bad token"},
    {"X", ZIZIVU_SQLERROR, "Parts", "Qty", "ByName", "Expected FROM", "SQL error - Expected FROM"},
    {"none", ZIZIVU_NOTINITIALIZED, "Parts", "Qty", "ByName", "x", "Engine not initialized"},
    {"none-memory", ZIZIVU_OSNOMEMORY, "Parts", "", "", "",
     "There is insufficient operating system memory available for the current operation"},
    {"detail word ignored", ZIZIVU_OSUNKNOWN, "Parts", "", "", "",
     "An unknown operating system error occurred with table 'Parts'"},
    {"unknown code", 1, "Parts", "Qty", "ByName", "x", "Unknown error occurred with table 'Parts'"},
};

TEST(EngineErrors, MessagesFollowTheFillOrderOfTheirCode) {
    for (const auto& c : kMessages) {
        SCOPED_TRACE(c.name);
        SetErrorContext(c.code, c.table, c.field, c.index, c.extra);
        EXPECT_EQ(GetEngineErrorMessage(c.code), c.expected);
        EXPECT_EQ(FormatEngineErrorMessage(c.code, c.table, c.field, c.index, c.extra), c.expected);
        try {
            RaiseEngineError(c.code, c.table, c.field, c.index, c.extra);
            FAIL() << "RaiseEngineError returned";
        } catch (const EZIZIVUEngineError& e) {
            EXPECT_EQ(e.Message(), "ZIZIVU Engine Error # " + std::to_string(c.code) + " " + c.expected);
            ASSERT_EQ(e.Errors().size(), 1u);
            EXPECT_EQ(e.Errors()[0].ErrorCode(), c.code);
            EXPECT_EQ(e.Errors()[0].Message(), c.expected);
        }
    }
}

TEST(EngineErrors, RaiseLeavesTheContextBehind) {
    try {
        RaiseEngineError(ZIZIVU_KEYVIOL, "Parts", "", "ByName");
    } catch (const EDatabaseError&) {
    }
    EXPECT_EQ(GetLastEngineError(), ZIZIVU_KEYVIOL);
    EXPECT_EQ(GetErrorContextString(1), "Parts");
    EXPECT_EQ(GetErrorContextString(2), "ByName");
    EXPECT_EQ(GetErrorContextString(0), "");
    EXPECT_EQ(GetErrorContextString(3), "");
    // The exception built from the context alone gives the same text.
    EZIZIVUEngineError again(ZIZIVU_KEYVIOL);
    EXPECT_EQ(again.Message(),
              "ZIZIVU Engine Error # 9729 Duplicate key found in index 'ByName' of table 'Parts'");
    ClearErrorContext();
    EXPECT_EQ(GetLastEngineError(), 0);
    EXPECT_EQ(GetErrorContextString(1), "");
}

TEST(EngineErrors, LongNamesAreCutAndMessagesStayWithin254) {
    std::string table(300, 'T');
    SetErrorContext(ZIZIVU_RECNOTFOUND, table, "", "", "");
    EXPECT_EQ(GetErrorContextString(1).size(), 255u);
    std::string msg = GetEngineErrorMessage(ZIZIVU_RECNOTFOUND);
    EXPECT_EQ(msg.size(), 254u);
    EXPECT_EQ(msg.substr(0, 32), "Record not found in table '" + std::string(5, 'T'));
    // A short message is not padded.
    SetErrorContext(ZIZIVU_EOF, "A", "", "", "");
    EXPECT_EQ(GetEngineErrorMessage(ZIZIVU_EOF), "End of file encountered in table 'A'");
}

TEST(EngineErrors, IsADatabaseError) {
    try {
        RaiseEngineError(ZIZIVU_TABLEEXISTS, "Orders");
    } catch (const Exception& e) {
        EXPECT_NE(dynamic_cast<const EDatabaseError*>(&e), nullptr);
        EXPECT_STREQ(e.what(), "ZIZIVU Engine Error # 13060 The table 'Orders' already exists");
    }
}

TEST(EngineErrors, ConcurrentRaisesNameTheirOwnTable) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &wrong] {
            const std::string table = "Table" + std::to_string(t);
            for (int i = 0; i < 500; ++i) {
                try {
                    RaiseEngineError(ZIZIVU_TABLELOCKED, table);
                } catch (const EZIZIVUEngineError& e) {
                    if (e.Errors()[0].Message() !=
                        "The table '" + table + "' is already locked by another user")
                        ++wrong;
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
