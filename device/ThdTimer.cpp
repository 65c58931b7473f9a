// The plain threaded timer: its tick fires OnTimer.
#include "device/ThdTimer.h"

TThreadedTimer::TThreadedTimer(TComponent* AOwner) : TThreadTimerBase(AOwner) {}

TThreadedTimer::~TThreadedTimer() {
    StopThread();
}

void TThreadedTimer::Tick() {
    if (!FEnabled || !OnTimer || HasState(csDestroying)) return;
    // The handler may free the timer, and its own handler object with it: call a copy.
    const TNotifyEvent handler = OnTimer;
    handler(this);
}
