#pragma once
// Shared set-up of the console tests: one offscreen QApplication with the application
// object on the Qt loop, the virtual clock, a fresh settings store, the default
// simulated stick and recorded message boxes.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "console/QtEventLoop.h"
#include "platform/ant/AntSim.h"
#include "platform/framework/Application.h"
#include "platform/framework/Dialogs.h"
#include "platform/rtl/SysUtils.h"
#include "platform/rtl/Thread.h"
#include "platform/rtl/Tick.h"
#include "tests/support/SimStickTest.h"

// The process's QApplication, created on first use on the main thread.
inline QApplication& TestApp() {
    static int argc = 1;
    static char name[] = "test_console";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        MainThreadId();
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        auto* a = new QApplication(argc, argv);
        InstallQtApplication();
        return a;
    }();
    return *app;
}

class ConsoleTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestApp();
        FEnv = std::make_unique<TSimStickEnvironment>("console", 100.0);
        Application()->ResetTerminated();
        Application()->SetTitle("ANT Zelto");
        FMessages = std::make_unique<TRecordingMessageScope>();
    }

    void TearDown() override {
        FEnv.reset();
        FMessages.reset();
    }

    std::vector<std::string> BoxTexts() const {
        std::vector<std::string> out;
        for (const auto& b : FMessages->Handler().Boxes) out.push_back(b.text);
        return out;
    }
    TRecordingMessageHandler& Messages() { return FMessages->Handler(); }

    static bool WaitUntil(const std::function<bool()>& pred, uint32_t ms = 20000) {
        return ::WaitUntil(pred, TDeadline::AfterClock(ms), PumpMessages);
    }

private:
    std::unique_ptr<TSimStickEnvironment> FEnv;
    std::unique_ptr<TRecordingMessageScope> FMessages;
};
