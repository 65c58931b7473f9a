#pragma once
// Waiting in tests for something another thread, process or the message loop brings about:
// poll a condition until it holds or a deadline passes, never a plain sleep.
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

#include "platform/rtl/Tick.h"

// When a wait gives up: after a span of real time, or after a span on the installed tick
// source (the tests' virtual clock, which may run many times faster than real time) and a
// floor of real time as well, since a loaded machine runs the other threads late.
class TDeadline {
public:
    static TDeadline After(std::chrono::milliseconds real) { return TDeadline(real, false, 0); }
    static TDeadline AfterClock(uint32_t clockMs,
                                std::chrono::milliseconds minReal = std::chrono::seconds(10)) {
        return TDeadline(minReal, true, clockMs);
    }
    bool Passed() const {
        if (std::chrono::steady_clock::now() <= FRealEnd) return false;
        return !FOnClock || TicksSince(FClockStart) > FClockMs;
    }

private:
    TDeadline(std::chrono::milliseconds real, bool onClock, uint32_t clockMs)
        : FRealEnd(std::chrono::steady_clock::now() + real),
          FOnClock(onClock),
          FClockStart(onClock ? GetTickCount() : 0),
          FClockMs(clockMs) {}
    std::chrono::steady_clock::time_point FRealEnd;
    bool FOnClock;
    uint32_t FClockStart;
    uint32_t FClockMs;
};

// Runs `step` (by default a short pause; pumping the application loop where the condition
// needs messages to flow) until `pred` holds; false when the deadline passed first.
inline bool WaitUntil(const std::function<bool()>& pred, const TDeadline& deadline,
                      const std::function<void()>& step = {}) {
    while (!pred()) {
        if (deadline.Passed()) return pred();
        if (step)
            step();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
