#pragma once
// The device's statistics timer: ticks from a worker thread, runs them on the main thread
// and keeps the elapsed-time bookkeeping that the device reads.
#include <cstdint>

#include "device/TimerThread.h"

class TQorTimer : public TThreadTimerBase {
public:
    explicit TQorTimer(TComponent* AOwner);
    ~TQorTimer() override;

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

protected:
    void Tick() override { DoTimer(); }
    // At design time the timer stays disabled.
    bool MayEnable() override { return !HasState(csDesigning); }

private:
    uint32_t FLastTick = 0;
    uint32_t FNominalElapsed = 0;
    uint32_t FLastDelta = 0;
    uint32_t FMeasuredElapsed = 0;
    uint32_t FElapsedTime = 0;
    uint32_t FLapTime = 0;
};
