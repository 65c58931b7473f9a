#pragma once
// What the tests that drive the simulated stick share: the simulator selected, a fresh
// settings store, '.' as the decimal separator, the virtual clock, and the step of a
// wait that pumps the application loop.
#include <stdlib.h>

#include <memory>
#include <string>

#include "platform/ant/AntSim.h"
#include "platform/framework/Application.h"
#include "platform/rtl/SysUtils.h"
#include "platform/rtl/Thread.h"
#include "platform/rtl/Tick.h"
#include "tests/support/ScratchDir.h"
#include "tests/support/WaitUntil.h"

// The step of a wait whose condition needs messages to flow: pumps the application loop.
inline void PumpMessages() {
    Application()->Delay(20);
}

// Set up for the life of the object, restored when it goes.
class TSimStickEnvironment {
public:
    // `prefix` names the scratch settings folder; `clockSpeed` is how many times faster
    // than real time the virtual clock runs.
    TSimStickEnvironment(const std::string& prefix, double clockSpeed) : FConfigDir(prefix) {
        MainThreadId();
        setenv("ZELTO_ANT", "sim", 1);
        setenv("ZELTO_CONFIG_DIR", FConfigDir.Path().c_str(), 1);
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
    }
    const std::string& ConfigDir() const { return FConfigDir.Path(); }

private:
    TScratchDir FConfigDir;
    char FSeparator = '.';
    std::unique_ptr<TVirtualClockScope> FClock;
};
