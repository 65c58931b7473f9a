// The statistics timer and its worker thread.
#include "device/QorTimerU.h"

#include "platform/rtl/Tick.h"

namespace QorTimerU {

TTimerThread::TTimerThread(TQorTimer* owner) : TThread(true), FOwner(owner) {}

TTimerThread::~TTimerThread() {
    StopAndJoin();
}

void TTimerThread::Execute() {
    while (!Terminated()) {
        uint32_t starts = FOwner->FStarts;
        TWaitResult r = FStopEvent.WaitFor(FInterval);
        bool parked = CheckSuspended();
        if (Terminated()) break;
        if (parked || r != wrTimeout || starts != FOwner->FStarts) continue;
        TQorTimer* owner = FOwner;
        Synchronize([owner, starts] {
            if (starts == owner->FStarts) owner->DoTimer();
        });
    }
}

}  // namespace QorTimerU

TQorTimer::TQorTimer(TComponent* AOwner)
    : TComponent(AOwner), FTimerThread(std::make_unique<QorTimerU::TTimerThread>(this)) {
    FTimerThread->FInterval = 1000;
    FTimerThread->SetPriority(tpNormal);
    ClearElapsed();
    Reset();
}

TQorTimer::~TQorTimer() {
    Destroying();
    FEnabled = false;
    FTimerThread->Terminate();
    FTimerThread->FStopEvent.SetEvent();
    if (FTimerThread->Suspended()) FTimerThread->Resume();
    // On the main thread this also cancels a tick still waiting to run.
    FTimerThread->WaitFor();
    FTimerThread.reset();
}

void TQorTimer::SetEnabled(bool v) {
    if (v == FEnabled) return;
    if (HasState(csDesigning)) {
        FEnabled = false;
        return;
    }
    FEnabled = v;
    if (FEnabled) {
        if (Interval() > 0 || FAllowZero) {
            ++FStarts;
            FTimerThread->FStopEvent.SetEvent();
            FTimerThread->Resume();
        }
    } else {
        FTimerThread->Suspend();
    }
}

void TQorTimer::SetInterval(uint32_t v) {
    if (v == Interval()) return;
    bool wasEnabled = FEnabled;
    SetEnabled(false);
    FTimerThread->FInterval = v;
    SetEnabled(wasEnabled);
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
    OnTimer(this);
}
