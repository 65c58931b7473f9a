#pragma once
// Helpers of the radio library tests: a recorder behind the library's two procedures,
// waits on the installed clock, and a fixture that selects the simulated stick and a
// fast virtual clock.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/ant/ANT_DLL.h"
#include "platform/ant/AntSim.h"
#include "platform/rtl/Tick.h"
#include "tests/support/WaitUntil.h"

namespace anttest {

struct TCall {
    bool Response = false;          // response procedure, else channel event
    uint8_t Channel = 0, Code = 0;  // message id or event code
    std::array<uint8_t, ANT_BUFFER_SIZE> Buffer{};
    uint32_t Tick = GetTickCount();  // when the procedure ran
};

class TRecorder {
public:
    static TRecorder& Get() {
        static TRecorder r;
        return r;
    }
    void Clear() {
        std::lock_guard<std::mutex> g(M);
        Calls.clear();
        OnResponse = nullptr;
        OnEvent = nullptr;
    }
    std::vector<TCall> Snapshot() {
        std::lock_guard<std::mutex> g(M);
        return Calls;
    }
    void Record(const TCall& c) {
        std::function<void(const TCall&)> hook;
        {
            std::lock_guard<std::mutex> g(M);
            Calls.push_back(c);
            hook = c.Response ? OnResponse : OnEvent;
        }
        if (hook) hook(c);
    }
    // Set before the calls that trigger them; run on the library's thread.
    void SetHooks(std::function<void(const TCall&)> onResponse,
                  std::function<void(const TCall&)> onEvent = {}) {
        std::lock_guard<std::mutex> g(M);
        OnResponse = std::move(onResponse);
        OnEvent = std::move(onEvent);
    }

    std::mutex M;
    std::vector<TCall> Calls;
    std::function<void(const TCall&)> OnResponse, OnEvent;
};

inline uint8_t ResponseBuffer[ANT_BUFFER_SIZE];
inline uint8_t RxBuffers[8][ANT_BUFFER_SIZE];

inline uint8_t ResponseProc(uint8_t ch, uint8_t id) {
    TCall c{true, ch, id, {}};
    std::copy(ResponseBuffer, ResponseBuffer + ANT_BUFFER_SIZE, c.Buffer.begin());
    TRecorder::Get().Record(c);
    return 0;
}

inline uint8_t EventProc(uint8_t ch, uint8_t ev) {
    TCall c{false, ch, ev, {}};
    if (ch < 8) std::copy(RxBuffers[ch], RxBuffers[ch] + ANT_BUFFER_SIZE, c.Buffer.begin());
    TRecorder::Get().Record(c);
    return 0;
}

// Waits for `pred` until `clockMs` have passed on the installed clock, and at least 10 s in
// real time: on the fast clock a few clock seconds are a few real milliseconds, shorter
// than a stall of a thread on a loaded machine.
inline bool WaitUntil(const std::function<bool()>& pred, uint32_t clockMs) {
    return ::WaitUntil(pred, TDeadline::AfterClock(clockMs));
}

// Lets `clockMs` pass on the installed clock (to see that nothing more arrives).
inline void PassClock(uint32_t clockMs) {
    Sleep(clockMs);
}

inline std::vector<TCall> Calls(bool response, int channel = -1, int code = -1) {
    std::vector<TCall> out;
    for (auto& c : TRecorder::Get().Snapshot())
        if (c.Response == response && (channel < 0 || c.Channel == channel) && (code < 0 || c.Code == code))
            out.push_back(c);
    return out;
}

// Channel responses [channel, id, code] with message id 0x40 answering `id`.
inline std::vector<TCall> Acks(uint8_t id) {
    std::vector<TCall> out;
    for (auto& c : Calls(true, -1, MESG_RESPONSE_EVENT_ID))
        if (c.Buffer[1] == id) out.push_back(c);
    return out;
}

// Received data pages of a channel.
inline std::vector<TAntPage> Pages(uint8_t ch) {
    std::vector<TAntPage> out;
    for (auto& c : Calls(false, ch))
        if (c.Code == EVENT_RX_BROADCAST || c.Code == EVENT_RX_ACKNOWLEDGED) {
            TAntPage p;
            std::copy(c.Buffer.begin() + 1, c.Buffer.end(), p.begin());
            out.push_back(p);
        }
    return out;
}
inline size_t Events(uint8_t ch, uint8_t ev) {
    return Calls(false, ch, ev).size();
}

class AntLibraryTest : public ::testing::Test {
protected:
    explicit AntLibraryTest(double clockSpeed = 50.0) : Clock(clockSpeed) {}
    void SetUp() override {
        setenv("ZELTO_ANT", "sim", 1);
        AntSimRestore();
        TRecorder::Get().Clear();
    }
    void TearDown() override {
        ANT_Close();
        TRecorder::Get().Clear();
        AntSimRestore();
        unsetenv("ZELTO_ANT");
    }
    // Opens the stick on `usb` with the recorder's procedures on every channel.
    void Open(uint8_t usb = 0) {
        ASSERT_EQ(ANT_Init(usb, 57600), 1);
        ANT_AssignResponseFunction(ResponseProc, ResponseBuffer);
        for (uint8_t ch = 0; ch < 8; ++ch) ANT_AssignChannelEventFunction(ch, EventProc, RxBuffers[ch]);
    }
    // Assigns and opens a receive channel, waiting for each response.
    void OpenChannel(uint8_t ch, uint8_t net, uint16_t number, uint8_t type, uint8_t tt, uint16_t period,
                     uint8_t rf, uint8_t searchTimeout = 4) {
        auto step = [&](uint8_t id, const std::function<void()>& call) {
            size_t before = Acks(id).size();
            call();
            ASSERT_TRUE(WaitUntil([&] { return Acks(id).size() > before; }, 1000)) << std::hex << int(id);
            ASSERT_EQ(Acks(id).back().Buffer[2], 0) << std::hex << int(id);
        };
        step(MESG_ASSIGN_CHANNEL_ID, [&] { ANT_AssignChannel(ch, 0, net); });
        step(MESG_CHANNEL_ID_ID, [&] { ANT_SetChannelId(ch, number, type, tt); });
        step(MESG_CHANNEL_MESG_PERIOD_ID, [&] { ANT_SetChannelPeriod(ch, period); });
        step(MESG_CHANNEL_SEARCH_TIMEOUT_ID, [&] { ANT_SetChannelSearchTimeout(ch, searchTimeout); });
        step(MESG_CHANNEL_RADIO_FREQ_ID, [&] { ANT_SetChannelRFFreq(ch, rf); });
        step(MESG_OPEN_CHANNEL_ID, [&] { ANT_OpenChannel(ch); });
    }
    // The channel plan's receive channels.
    void OpenTrainer() { OpenChannel(1, 1, 0, 19, 1, 31814, 71); }
    void OpenConsole() { OpenChannel(3, 1, 0, 18, 1, 16150, 70); }
    void OpenHeartRate() { OpenChannel(0, 0, 0, 120, 0, 8070, 57); }
    void OpenSpeedCadence() { OpenChannel(2, 0, AntSimTrainerNumber, 121, 0, 8086, 57); }
    TVirtualClockScope Clock;
};

// For checks of timing: a slower clock leaves a stalled thread more room before it shows.
class AntLibrarySlowClockTest : public AntLibraryTest {
protected:
    AntLibrarySlowClockTest() : AntLibraryTest(10.0) {}
};

}  // namespace anttest
