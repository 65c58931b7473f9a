// The threaded timer and its worker thread.
#include "device/ThdTimer.h"

namespace ThdTimer {

TTimerThread::TTimerThread(TThreadedTimer* owner) : TThread(true), FOwner(owner) {}

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
        TThreadedTimer* owner = FOwner;
        Synchronize([owner, starts] {
            if (starts == owner->FStarts) owner->Timer();
        });
    }
}

}  // namespace ThdTimer

TThreadedTimer::TThreadedTimer(TComponent* AOwner)
    : TComponent(AOwner), FTimerThread(std::make_unique<ThdTimer::TTimerThread>(this)) {
    FTimerThread->FInterval = 1000;
    FTimerThread->SetPriority(tpNormal);
}

TThreadedTimer::~TThreadedTimer() {
    Destroying();
    FEnabled = false;
    FTimerThread->Terminate();
    FTimerThread->FStopEvent.SetEvent();
    if (FTimerThread->Suspended()) FTimerThread->Resume();
    // On the main thread this also cancels a tick still waiting to run.
    FTimerThread->WaitFor();
    FTimerThread.reset();
}

void TThreadedTimer::SetEnabled(bool v) {
    if (v == FEnabled) return;
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

void TThreadedTimer::SetInterval(uint32_t v) {
    if (v == Interval()) return;
    bool wasEnabled = FEnabled;
    SetEnabled(false);
    FTimerThread->FInterval = v;
    SetEnabled(wasEnabled);
}

void TThreadedTimer::Timer() {
    if (FEnabled && OnTimer && !HasState(csDestroying)) OnTimer(this);
}
