#pragma once
// What the tests that drive the simulated stick share: the simulator selected, a fresh
// settings store, '.' as the decimal separator, the virtual clock, and a pumping wait
// for a condition.
#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "platform/ant/AntSim.h"
#include "platform/framework/Application.h"
#include "platform/rtl/SysUtils.h"
#include "platform/rtl/Thread.h"
#include "platform/rtl/Tick.h"

// Pumps the application loop until `pred` holds or `ms` clock milliseconds passed; gives up
// only once 10 s of real time passed as well, since a loaded machine runs the other
// threads late.
inline bool PumpUntil(const std::function<bool()>& pred, uint32_t ms = 20000) {
    const uint32_t start = GetTickCount();
    const auto realEnd = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!pred()) {
        if (TicksSince(start) > ms && std::chrono::steady_clock::now() > realEnd) return false;
        Application()->Delay(20);
    }
    return true;
}

// Set up for the life of the object, restored when it goes.
class TSimStickEnvironment {
public:
    // `prefix` names the scratch settings folder; `clockSpeed` is how many times faster
    // than real time the virtual clock runs.
    TSimStickEnvironment(const std::string& prefix, double clockSpeed) {
        MainThreadId();
        setenv("ZELTO_ANT", "sim", 1);
        std::string dir = "/tmp/" + prefix + "-XXXXXX";
        if (mkdtemp(dir.data())) FConfigDir = dir;
        setenv("ZELTO_CONFIG_DIR", FConfigDir.c_str(), 1);
        FSeparator = FormatSettings().DecimalSeparator;
        FormatSettings().DecimalSeparator = '.';
        FClock = std::make_unique<TVirtualClockScope>(clockSpeed);
        AntSimRestore();
    }
    ~TSimStickEnvironment() {
        AntSimRestore();
        Application()->ProcessMessages();
        FClock.reset();
        FormatSettings().DecimalSeparator = FSeparator;
        std::error_code ec;
        std::filesystem::remove_all(FConfigDir, ec);
    }
    const std::string& ConfigDir() const { return FConfigDir; }

private:
    std::string FConfigDir;
    char FSeparator = '.';
    std::unique_ptr<TVirtualClockScope> FClock;
};
