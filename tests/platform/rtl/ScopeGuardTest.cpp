#include "platform/rtl/ScopeGuard.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

// The error a caller sees from a scope whose guard fails, left normally or by an error.
std::string Reported(bool scopeFails) {
    try {
        TScopeGuard guard([] { throw std::runtime_error("undo"); });
        if (scopeFails) throw std::runtime_error("work");
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

TEST(ScopeGuard, FailingUndoReachesTheCallerUnlessAnErrorUnwinds) {
    EXPECT_EQ(Reported(false), "undo");
    EXPECT_EQ(Reported(true), "work");
}

TEST(ScopeGuard, RunsOnEveryExitUntilDismissed) {
    int runs = 0;
    {
        TScopeGuard guard([&] { ++runs; });
    }
    try {
        TScopeGuard guard([&] { ++runs; });
        throw std::runtime_error("work");
    } catch (const std::runtime_error&) {
    }
    {
        TScopeGuard guard([&] { ++runs; });
        guard.Dismiss();
    }
    EXPECT_EQ(runs, 2);
}

}  // namespace
