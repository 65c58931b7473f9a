#pragma once
// The device's statistics timer: ticks from a worker thread, runs them on the main thread
// and keeps the elapsed-time bookkeeping that the device reads.
#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/framework/Component.h"
#include "platform/rtl/SyncObjs.h"
#include "platform/rtl/Thread.h"

class TQorTimer;

namespace QorTimerU {

// Waits on its stop event with the interval as time-out and hands each time-out to the
// main thread. A signalled event (enabling, destroying) ends a wait without a tick.
class TTimerThread : public TThread {
public:
    explicit TTimerThread(TQorTimer* owner);
    ~TTimerThread() override;

    TQorTimer* FOwner;
    std::atomic<uint32_t> FInterval{1000};
    TEvent FStopEvent{false, false};

protected:
    void Execute() override;
};

}  // namespace QorTimerU

class TQorTimer : public TComponent {
public:
    explicit TQorTimer(TComponent* AOwner);
    ~TQorTimer() override;

    bool AllowZero() const { return FAllowZero; }
    void SetAllowZero(bool v) { FAllowZero = v; }
    bool Enabled() const { return FEnabled; }
    // At design time the timer stays disabled.
    void SetEnabled(bool v);
    uint32_t Interval() const { return FTimerThread->FInterval; }
    // A change restarts the wait of a running timer.
    void SetInterval(uint32_t v);
    TThreadPriority ThreadPriority() const { return FTimerThread->Priority(); }
    void SetThreadPriority(TThreadPriority v) { FTimerThread->SetPriority(v); }
    TNotifyEvent OnTimer;

    // Tick count of the last tick (or of the last Reset).
    uint32_t LastTick() const { return FLastTick; }
    // Interval summed over the ticks, whatever time really passed.
    uint32_t NominalElapsed() const { return FNominalElapsed; }
    // Milliseconds between the last two ticks.
    uint32_t LastDelta() const { return FLastDelta; }
    // The measured deltas summed.
    uint32_t MeasuredElapsed() const { return FMeasuredElapsed; }
    uint32_t ElapsedTime() const { return FElapsedTime; }
    uint32_t LapTime() const { return FLapTime; }

    virtual void SetElapsedTime(uint32_t v);
    virtual void SetLapTime(uint32_t v);
    virtual void Reset();
    // Sets nominal, measured and elapsed time to `v` and the last delta to 0, without a tick.
    virtual void Restart(uint32_t v);
    virtual void ClearElapsed();
    // One tick on the calling thread (the worker thread has it run on the main thread).
    virtual void DoTimer();

private:
    friend class QorTimerU::TTimerThread;
    bool FAllowZero = false;
    bool FEnabled = false;
    uint32_t FLastTick = 0;
    uint32_t FNominalElapsed = 0;
    uint32_t FLastDelta = 0;
    uint32_t FMeasuredElapsed = 0;
    uint32_t FElapsedTime = 0;
    uint32_t FLapTime = 0;
    // Counts the starts, so a wait begun before a restart never ticks.
    std::atomic<uint32_t> FStarts{0};
    std::unique_ptr<QorTimerU::TTimerThread> FTimerThread;
};
