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
        setenv("ZELTO_ANT", "sim", 1);
        char dir[] = "/tmp/console-XXXXXX";
        FConfigDir = mkdtemp(dir);
        setenv("ZELTO_CONFIG_DIR", FConfigDir.c_str(), 1);
        FSeparator = FormatSettings().DecimalSeparator;
        FormatSettings().DecimalSeparator = '.';
        FClock = std::make_unique<TVirtualClockScope>(100.0);
        AntSimRestore();
        Application()->ResetTerminated();
        Application()->SetTitle("ANT Zelto");
        FMessages = std::make_unique<TRecordingMessageScope>();
    }

    void TearDown() override {
        AntSimRestore();
        Application()->ProcessMessages();
        FMessages.reset();
        FClock.reset();
        FormatSettings().DecimalSeparator = FSeparator;
        std::error_code ec;
        std::filesystem::remove_all(FConfigDir, ec);
    }

    std::vector<std::string> BoxTexts() const {
        std::vector<std::string> out;
        for (const auto& b : FMessages->Handler().Boxes) out.push_back(b.text);
        return out;
    }
    TRecordingMessageHandler& Messages() { return FMessages->Handler(); }

    // Pumps until `pred` holds or `ms` clock milliseconds passed; gives up only once 10 s of
    // real time passed as well, since a loaded machine runs the other threads late.
    static bool WaitUntil(const std::function<bool()>& pred, uint32_t ms = 20000) {
        const uint32_t start = GetTickCount();
        const auto realEnd = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!pred()) {
            if (TicksSince(start) > ms && std::chrono::steady_clock::now() > realEnd) return false;
            Application()->Delay(20);
        }
        return true;
    }

    std::string FConfigDir;

private:
    std::unique_ptr<TVirtualClockScope> FClock;
    std::unique_ptr<TRecordingMessageScope> FMessages;
    char FSeparator = '.';
};
