#pragma once
// A timer whose ticks come from a worker thread, so they keep their interval while the
// main thread is busy; each tick's handler still runs on the main thread.
#include "device/TimerThread.h"

class TThreadedTimer : public TThreadTimerBase {
public:
    explicit TThreadedTimer(TComponent* AOwner);
    ~TThreadedTimer() override;

protected:
    // Fires OnTimer while enabled.
    void Tick() override;
};
