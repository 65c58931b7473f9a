#pragma once
// Runs an action that must fail with an exception of the system whose message holds a text.
#include <gtest/gtest.h>

#include <string>

#include "platform/rtl/SysUtils.h"

template <class F>
void ExpectError(F fn, const std::string& text) {
    try {
        fn();
        ADD_FAILURE() << "no error, expected: " << text;
    } catch (const Exception& e) {
        const std::string m = e.what();
        EXPECT_NE(m.find(text), std::string::npos) << m << " / expected: " << text;
    }
}
