// The worker thread and the component part shared by the thread-driven timers.
#include "device/TimerThread.h"

#include <utility>

#include "platform/framework/Application.h"

TTimerThread::TTimerThread(std::function<void()> Tick) : TThread(true), FTick(std::move(Tick)) {}

TTimerThread::~TTimerThread() {
    StopAndJoin();
}

void TTimerThread::StartWaiting() {
    ++FStarts;
    FStopEvent.SetEvent();
    Resume();
}

void TTimerThread::Shutdown() {
    Terminate();
    FStopEvent.SetEvent();
    if (Suspended()) Resume();
    WaitFor();
}

void TTimerThread::Execute() {
    while (!Terminated()) {
        uint32_t starts = FStarts;
        TWaitResult r = FStopEvent.WaitFor(FInterval);
        bool parked = CheckSuspended();
        if (Terminated()) break;
        if (parked || r != wrTimeout || starts != FStarts) continue;
        Synchronize([this, starts] {
            if (starts != FStarts) return;
            // The tick may free the timer, and this thread with it: call a copy. A handler
            // that raises is reported as the loop reports its own timers' handlers, and the
            // ticks go on: an exception ending this loop would stop the timer for good.
            const std::function<void()> tick = FTick;
            try {
                tick();
            } catch (...) {
                Application()->HandleException();
            }
        });
    }
}

TThreadTimerBase::TThreadTimerBase(TComponent* AOwner)
    : TComponent(AOwner), FTimerThread(std::make_unique<TTimerThread>([this] { Tick(); })) {
    FTimerThread->SetInterval(1000);
    FTimerThread->SetPriority(tpNormal);
}

TThreadTimerBase::~TThreadTimerBase() {
    StopThread();
}

void TThreadTimerBase::StopThread() {
    if (!FTimerThread) return;
    Destroying();
    FEnabled = false;
    FTimerThread->Shutdown();
    FTimerThread.reset();
}

void TThreadTimerBase::SetEnabled(bool v) {
    if (v == FEnabled) return;
    if (!MayEnable()) {
        FEnabled = false;
        return;
    }
    FEnabled = v;
    if (FEnabled) {
        if (Interval() > 0 || FAllowZero) FTimerThread->StartWaiting();
    } else {
        FTimerThread->Park();
    }
}

void TThreadTimerBase::SetInterval(uint32_t v) {
    if (v == Interval()) return;
    bool wasEnabled = FEnabled;
    SetEnabled(false);
    FTimerThread->SetInterval(v);
    SetEnabled(wasEnabled);
}
