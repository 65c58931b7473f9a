#include <gtest/gtest.h>

#include "db/components/ComponentMessages.h"
#include "db/components/PasswordDialog.h"
#include "db/components/ZIZIVUErrors.h"

namespace {

TEST(ComponentErrorsTest, MessagesWordForWord) {
    const std::pair<int, const char*> table[] = {
        {65248, "The active auto-session can be the only active session."},
        {65249, "This auto-session already exists."},
        {65250, "Error creating table handle."},
        {65251, "Field '%s' is of unknown type"},
        {65252, "Field '%s' is of an unsupported type"},
        {65253, "No SQL statement available"},
        {65254, "No value for parameter '%s'"},
        {65255, "Missing table name."},
        {65271, "Database name %s already exists."},
        {65272, "Session name %s already exists."},
        {65273, "Session name %s is not valid."},
        {65274, "Database name is missing."},
        {65275, "Database name %s is not valid."},
        {65276, "Session name is missing."},
        {65277, "Cannot perform this operation on an open database."},
        {65278, "Cannot perform this operation on an active session."},
        {65279, "Cannot perform this operation on the active auto-session."},
    };
    for (const auto& [id, text] : table) EXPECT_EQ(text, ComponentMessage(id)) << id;
    EXPECT_EQ("", ComponentMessage(65256));
}

TEST(ComponentErrorsTest, EngineErrorsCarryTheirTextAndOneEntry) {
    EXPECT_NO_THROW(Check(0));
    SetErrorContext(ZIZIVU_KEYVIOL, "Parts", "", "ByName", "");
    try {
        Check(ZIZIVU_KEYVIOL);
        FAIL();
    } catch (const EZIZIVUEngineError& e) {
        const std::string text = "Duplicate key found in index 'ByName' of table 'Parts'";
        EXPECT_EQ("ZIZIVU Engine Error # 9729 " + text, std::string(e.what()));
        ASSERT_EQ(1u, e.Errors().size());
        EXPECT_EQ(9729, e.Errors()[0].ErrorCode());
        EXPECT_EQ(text, e.Errors()[0].Message());
    }
    // The component exception is a database error of the framework.
    EXPECT_THROW(Check(ZIZIVU_NOTINITIALIZED), EDatabaseError);
}

TEST(ComponentErrorsTest, WithoutADialogThePasswordIsRefused) {
    SetPasswordDialogHook(nullptr);
    EXPECT_FALSE(HasPasswordDialogHook());
    EXPECT_FALSE(PasswordDialog(nullptr));
    int calls = 0;
    SetPasswordDialogHook([&](TZIZIVUSession*) { return ++calls == 1; });
    EXPECT_TRUE(PasswordDialog(nullptr));
    EXPECT_FALSE(PasswordDialog(nullptr));
    SetPasswordDialogHook(nullptr);
    EXPECT_FALSE(PasswordDialog(nullptr));
    EXPECT_EQ(2, calls);
}

}  // namespace
