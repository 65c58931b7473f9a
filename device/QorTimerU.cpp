// The statistics timer: its elapsed-time bookkeeping and its tick.
#include "device/QorTimerU.h"

#include "platform/rtl/Tick.h"

TQorTimer::TQorTimer(TComponent* AOwner) : TThreadTimerBase(AOwner) {
    ClearElapsed();
    Reset();
}

TQorTimer::~TQorTimer() {
    StopThread();
}

void TQorTimer::SetElapsedTime(uint32_t v) {
    if (v != FElapsedTime) FElapsedTime = v;
}

void TQorTimer::SetLapTime(uint32_t v) {
    if (v != FLapTime) FLapTime = v;
}

void TQorTimer::Reset() {
    FNominalElapsed = 0;
    FLastDelta = 0;
    FMeasuredElapsed = 0;
    FLastTick = GetTickCount();
}

void TQorTimer::Restart(uint32_t v) {
    bool wasEnabled = FEnabled;
    FEnabled = false;
    Reset();
    FMeasuredElapsed = v;
    FLastDelta = 0;
    FNominalElapsed = v;
    SetElapsedTime(v);
    FEnabled = wasEnabled;
}

void TQorTimer::ClearElapsed() {
    SetElapsedTime(0);
    SetLapTime(0);
}

void TQorTimer::DoTimer() {
    if (!FEnabled || !OnTimer || HasState(csDestroying)) return;
    // One reading of the clock, so the measured deltas add up to the time that passed.
    uint32_t now = GetTickCount();
    FLastDelta = TickDiff(FLastTick, now);
    FMeasuredElapsed += FLastDelta;
    FLastTick = now;
    FNominalElapsed += Interval();
    // The handler may free the timer, and its own handler object with it: call a copy.
    const TNotifyEvent handler = OnTimer;
    handler(this);
}
