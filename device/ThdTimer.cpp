// The plain threaded timer: its tick fires OnTimer.
#include "device/ThdTimer.h"

TThreadedTimer::TThreadedTimer(TComponent* AOwner) : TThreadTimerBase(AOwner) {}

TThreadedTimer::~TThreadedTimer() {
    StopThread();
}

void TThreadedTimer::Tick() {
    if (FEnabled && OnTimer && !HasState(csDestroying)) OnTimer(this);
}
