#pragma once
// The millisecond tick counter (32-bit, wraps after 49.7 days) and Sleep.
// Tests install a virtual clock that runs faster than real time, so that 10 s,
// 20 s and 40 s waits take milliseconds. Every timed wait of the runtime
// (Sleep, TEvent::WaitFor, pumping waits) goes through the installed clock.
#include <chrono>
#include <cstdint>

class TTickSource {
public:
    virtual ~TTickSource() = default;
    // Milliseconds, 32-bit, free to wrap.
    virtual uint32_t Ticks() = 0;
    // The real duration that a wait of `ms` clock milliseconds lasts.
    virtual std::chrono::nanoseconds RealDuration(uint32_t ms) = 0;
};

// The installed source (the monotonic clock unless a test installed another).
TTickSource& TickSource();
// Installs a source; nullptr restores the monotonic clock. Not owned.
void SetTickSource(TTickSource* src);

uint32_t GetTickCount();
// Milliseconds from `from` to `to`, modulo 2^32: correct across the wrap.
inline uint32_t TickDiff(uint32_t from, uint32_t to) {
    return to - from;
}
// Milliseconds since `start` on the installed clock.
inline uint32_t TicksSince(uint32_t start) {
    return TickDiff(start, GetTickCount());
}
void Sleep(uint32_t ms);

// CLOCK_MONOTONIC in milliseconds.
class TMonotonicTickSource : public TTickSource {
public:
    uint32_t Ticks() override;
    std::chrono::nanoseconds RealDuration(uint32_t ms) override;
};

// Runs `speed` times faster than real time, starting at `start` (so the wrap can be tested).
// Install with TVirtualClockScope in tests.
class TVirtualClock : public TTickSource {
public:
    explicit TVirtualClock(double speed = 100.0, uint32_t start = 0);
    uint32_t Ticks() override;
    std::chrono::nanoseconds RealDuration(uint32_t ms) override;
    double Speed() const { return FSpeed; }

private:
    double FSpeed;
    uint32_t FStart;
    std::chrono::steady_clock::time_point FOrigin;
};

class TVirtualClockScope {
public:
    explicit TVirtualClockScope(double speed = 100.0, uint32_t start = 0);
    ~TVirtualClockScope();
    TVirtualClock& Clock() { return FClock; }

private:
    TVirtualClock FClock;
};
