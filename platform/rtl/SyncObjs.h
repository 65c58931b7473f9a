#pragma once
// Events and critical sections.
#include <condition_variable>
#include <cstdint>
#include <mutex>

constexpr uint32_t INFINITE = 0xFFFFFFFF;

enum TWaitResult { wrSignaled, wrTimeout, wrAbandoned, wrError };

// Auto-reset event: a successful wait resets it; a Signal (SetEvent) with no waiter stays set.
class TEvent {
public:
    explicit TEvent(bool initialState = false, bool manualReset = false);
    void SetEvent();
    void ResetEvent();
    // Timeout in clock milliseconds (the installed tick source); INFINITE waits for ever.
    TWaitResult WaitFor(uint32_t timeout);

private:
    std::mutex FMutex;
    std::condition_variable FCond;
    bool FState;
    bool FManualReset;
};

// Recursive critical section.
class TCriticalSection {
public:
    void Enter() { FMutex.lock(); }
    void Leave() { FMutex.unlock(); }
    bool TryEnter() { return FMutex.try_lock(); }
    void Acquire() { Enter(); }
    void Release() { Leave(); }
    // For std::lock_guard / std::unique_lock.
    void lock() { Enter(); }
    void unlock() { Leave(); }
    bool try_lock() { return TryEnter(); }

private:
    std::recursive_mutex FMutex;
};
