#pragma once
// What the thread-driven timer components share: the worker thread that waits out each
// interval and hands the tick to the main thread, and the component part that publishes
// AllowZero, Enabled, Interval, ThreadPriority and OnTimer over it.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/framework/Component.h"
#include "platform/rtl/SyncObjs.h"
#include "platform/rtl/Thread.h"

// Waits on its stop event with the interval as time-out and hands each time-out to the
// main thread. A signalled event (enabling, destroying) ends a wait without a tick.
class TTimerThread : public TThread {
public:
    // `Tick` runs on the main thread once per interval that passed without a restart.
    explicit TTimerThread(std::function<void()> Tick);
    ~TTimerThread() override;

    uint32_t Interval() const { return FInterval; }
    void SetInterval(uint32_t v) { FInterval = v; }
    // Begins a new wait (enabling): a wait begun before it never ticks.
    void StartWaiting();
    // Parks the thread between waits (disabling).
    void Park() { Suspend(); }
    // Ends the thread and waits for it; on the main thread a tick still waiting to run
    // is cancelled.
    void Shutdown();

protected:
    void Execute() override;

private:
    std::function<void()> FTick;
    std::atomic<uint32_t> FInterval{1000};
    // Counts the starts, so a wait begun before a restart never ticks.
    std::atomic<uint32_t> FStarts{0};
    TEvent FStopEvent{false, false};
};

// The component side of a thread-driven timer. Descendants say what a tick does.
class TThreadTimerBase : public TComponent {
public:
    ~TThreadTimerBase() override;

    bool AllowZero() const { return FAllowZero; }
    void SetAllowZero(bool v) { FAllowZero = v; }
    bool Enabled() const { return FEnabled; }
    // Enabling starts a wait when the interval is above 0 (or 0 is allowed); otherwise the
    // timer is enabled but never ticks. Disabling parks the thread.
    void SetEnabled(bool v);
    uint32_t Interval() const { return FTimerThread->Interval(); }
    // A change restarts the wait of a running timer.
    void SetInterval(uint32_t v);
    TThreadPriority ThreadPriority() const { return FTimerThread->Priority(); }
    void SetThreadPriority(TThreadPriority v) { FTimerThread->SetPriority(v); }
    TNotifyEvent OnTimer;

protected:
    explicit TThreadTimerBase(TComponent* AOwner);
    // One tick, on the main thread.
    virtual void Tick() = 0;
    // False where the timer must stay disabled (then SetEnabled only clears the flag).
    virtual bool MayEnable() { return true; }
    // Disables the timer (flag only) and ends its thread; descendants call it first in
    // their destructor, so no tick reaches a half-destroyed timer.
    void StopThread();
    bool FEnabled = false;

private:
    bool FAllowZero = false;
    std::unique_ptr<TTimerThread> FTimerThread;
};
