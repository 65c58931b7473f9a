#pragma once
// A timer whose ticks come from a worker thread, so they keep their interval while the
// main thread is busy; each tick's handler still runs on the main thread.
#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/framework/Component.h"
#include "platform/rtl/SyncObjs.h"
#include "platform/rtl/Thread.h"

class TThreadedTimer;

namespace ThdTimer {

// Waits on its stop event with the interval as time-out and hands each time-out to the
// main thread. A signalled event (enabling, destroying) ends a wait without a tick.
class TTimerThread : public TThread {
public:
    explicit TTimerThread(TThreadedTimer* owner);
    ~TTimerThread() override;

    TThreadedTimer* FOwner;
    std::atomic<uint32_t> FInterval{1000};
    TEvent FStopEvent{false, false};

protected:
    void Execute() override;
};

}  // namespace ThdTimer

class TThreadedTimer : public TComponent {
public:
    explicit TThreadedTimer(TComponent* AOwner);
    ~TThreadedTimer() override;

    bool AllowZero() const { return FAllowZero; }
    void SetAllowZero(bool v) { FAllowZero = v; }
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool v);
    uint32_t Interval() const { return FTimerThread->FInterval; }
    void SetInterval(uint32_t v);
    TThreadPriority ThreadPriority() const { return FTimerThread->Priority(); }
    void SetThreadPriority(TThreadPriority v) { FTimerThread->SetPriority(v); }
    TNotifyEvent OnTimer;

private:
    friend class ThdTimer::TTimerThread;
    // One tick, on the main thread.
    void Timer();
    bool FAllowZero = false;
    bool FEnabled = false;
    // Counts the starts, so a wait begun before a restart never ticks.
    std::atomic<uint32_t> FStarts{0};
    std::unique_ptr<ThdTimer::TTimerThread> FTimerThread;
};
