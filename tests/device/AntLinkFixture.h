#pragma once
// Shared set-up of the ANT link tests: the simulated stick on the virtual clock, a fresh
// settings store, '.' as decimal separator, and the link with two recording memos.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/ulma_ant_class.h"
#include "platform/ant/ANT_DLL.h"
#include "platform/ant/AntSim.h"
#include "platform/framework/Application.h"
#include "platform/rtl/Classes.h"
#include "platform/rtl/Thread.h"
#include "platform/rtl/Tick.h"
#include "tests/support/SimStickTest.h"

// A memo that notes whether any line was added off the main thread.
class TMainThreadMemo : public TStringList {
public:
    int Add(const std::string& s) override {
        if (!IsMainThread()) OffMainThread = true;
        return TStringList::Add(s);
    }
    bool OffMainThread = false;
};

class AntLinkTest : public ::testing::Test {
protected:
    // How many times faster than real time the virtual clock runs.
    virtual double ClockSpeed() const { return 100.0; }

    void SetUp() override { FEnv = std::make_unique<TSimStickEnvironment>("antlink", ClockSpeed()); }

    void TearDown() override {
        Link.reset();
        Stick.reset();
        FEnv.reset();
    }

    TAntSimStick& Install(const TAntSimConfig& config = {}, uint8_t usb = 0) {
        Stick = AntSimInstall(usb, config);
        return *Stick;
    }

    ulma_ANT& NewLink(TUlmaRecieverType kind = ulmVexa) {
        Link.reset();
        Link = std::make_unique<ulma_ANT>();
        Link->RecieverType = kind;
        Link->SetLogMemo(&Log);
        Link->SetRawMemo(&Raw);
        return *Link;
    }

    // Stick on USB 0, link connected, channel plan set and every planned channel opened.
    ulma_ANT& Open(TUlmaRecieverType kind = ulmVexa, int32_t trainer = AntSimTrainerNumber,
                   int32_t hr = AntSimHeartRateNumber, int32_t console = AntSimConsoleNumber,
                   TAntSimConfig config = {}) {
        if (kind != ulmVexa) config.TrainerKind = TAntSimTrainerKind::NAW;
        Install(config);
        ulma_ANT& link = NewLink(kind);
        EXPECT_TRUE(link.Connect(0));
        link.SetChannelPlan(trainer, hr, console);
        link.OpenChannels();
        return link;
    }

    static bool WaitUntil(const std::function<bool()>& pred, uint32_t ms = 20000) {
        return ::WaitUntil(pred, TDeadline::AfterClock(ms), PumpMessages);
    }

    static void Pump(uint32_t ms) { Application()->Delay(ms); }

    // Command-log lines that start with one of `prefixes`.
    std::vector<std::string> LogLines(const std::vector<std::string>& prefixes) const {
        std::vector<std::string> out;
        for (int i = 0; i < Log.Count(); ++i) {
            const std::string s = Log[i];
            for (const auto& p : prefixes)
                if (s.rfind(p, 0) == 0) {
                    out.push_back(s);
                    break;
                }
        }
        return out;
    }
    std::vector<std::string> SetupLines() const {
        return LogLines(
            {"ANT_", "Cmd - ", "Ack - ", "Fail(", "Paring", "Set channel", "Chiave", "Not Connected"});
    }
    static bool Contains(const TStrings& memo, const std::string& line) { return memo.IndexOf(line) >= 0; }
    static int CountPrefix(const TStrings& memo, const std::string& prefix) {
        int n = 0;
        for (int i = 0; i < memo.Count(); ++i)
            if (memo[i].rfind(prefix, 0) == 0) ++n;
        return n;
    }

    // Host frames of one message id on one channel.
    int HostFrames(uint8_t id, uint8_t channel) const {
        int n = 0;
        for (const auto& f : Stick->HostFrames())
            if (f.Id == id && !f.Data.empty() && f.Data[0] == channel) ++n;
        return n;
    }

    std::shared_ptr<TAntSimStick> Stick;
    std::unique_ptr<ulma_ANT> Link;
    TMainThreadMemo Log, Raw;

private:
    std::unique_ptr<TSimStickEnvironment> FEnv;
};

// For tests whose stick must answer inside one of the link's fixed pauses: a slower clock
// gives the stick's thread ten times more real time.
class AntLinkSlowClockTest : public AntLinkTest {
protected:
    double ClockSpeed() const override { return 10.0; }
};

// Emulates the library for a link that is not connected: fills the channel's receive
// buffer and calls the channel-event procedure on this thread.
inline void Feed(ulma_ANT& link, uint8_t channel, std::array<uint8_t, 8> page,
                 uint8_t event = EVENT_RX_BROADCAST) {
    auto* rx = const_cast<uint8_t*>(link.RxBuffer(channel));
    rx[0] = channel;
    std::copy(page.begin(), page.end(), rx + 1);
    ChannelEvent0(channel, event);
}
inline void Event(ulma_ANT& link, uint8_t channel, uint8_t event) {
    auto* rx = const_cast<uint8_t*>(link.RxBuffer(channel));
    rx[0] = channel;
    rx[1] = 1;
    rx[2] = event;
    ChannelEvent0(channel, event);
}
