// Tick sources and Sleep.
#include "platform/rtl/Tick.h"

#include <time.h>

#include <atomic>
#include <cmath>
#include <thread>

namespace {
std::atomic<TTickSource*> gSource{nullptr};

TMonotonicTickSource& Monotonic() {
    static TMonotonicTickSource src;
    return src;
}
}  // namespace

TTickSource& TickSource() {
    TTickSource* s = gSource.load(std::memory_order_acquire);
    return s ? *s : Monotonic();
}

void SetTickSource(TTickSource* src) {
    gSource.store(src, std::memory_order_release);
}

uint32_t GetTickCount() {
    return TickSource().Ticks();
}

void Sleep(uint32_t ms) {
    if (ms == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(TickSource().RealDuration(ms));
}

uint32_t TMonotonicTickSource::Ticks() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

std::chrono::nanoseconds TMonotonicTickSource::RealDuration(uint32_t ms) {
    return std::chrono::milliseconds(ms);
}

TVirtualClock::TVirtualClock(double speed, uint32_t start)
    : FSpeed(speed > 0 ? speed : 1.0), FStart(start), FOrigin(std::chrono::steady_clock::now()) {}

uint32_t TVirtualClock::Ticks() {
    auto real = std::chrono::steady_clock::now() - FOrigin;
    long double ns =
        static_cast<long double>(std::chrono::duration_cast<std::chrono::nanoseconds>(real).count());
    uint64_t virt = static_cast<uint64_t>(ns * FSpeed / 1e6L);
    return FStart + static_cast<uint32_t>(virt);
}

std::chrono::nanoseconds TVirtualClock::RealDuration(uint32_t ms) {
    // Rounded up, so that a wait of `ms` always lets at least `ms` clock milliseconds pass.
    long double ns = std::ceil(static_cast<long double>(ms) * 1e6L / FSpeed);
    return std::chrono::nanoseconds(static_cast<int64_t>(ns) + 1);
}

TVirtualClockScope::TVirtualClockScope(double speed, uint32_t start) : FClock(speed, start) {
    SetTickSource(&FClock);
}

TVirtualClockScope::~TVirtualClockScope() {
    SetTickSource(nullptr);
}
