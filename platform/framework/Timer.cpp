// The framework timer, fired by the application's event loop.
#include <algorithm>

#include "platform/framework/Application.h"
#include "platform/rtl/ScopeGuard.h"
#include "platform/rtl/Tick.h"

TTimer::TTimer(TComponent* AOwner) : TComponent(AOwner) {
    Application()->FTimers.push_back(this);
    Reschedule();
}

TTimer::~TTimer() {
    *FAlive = false;
    TApplication* app = Application();
    app->FTimers.erase(std::remove(app->FTimers.begin(), app->FTimers.end(), this), app->FTimers.end());
    app->EventLoop().TimerRemoved(this);
}

void TTimer::SetEnabled(bool v) {
    if (v == FEnabled) return;
    FEnabled = v;
    Reschedule();
}

void TTimer::SetInterval(uint32_t v) {
    if (v == FInterval) return;
    FInterval = v;
    Reschedule();
}

void TTimer::Reschedule() {
    FStart = GetTickCount();
    IEventLoop& loop = Application()->EventLoop();
    if (FEnabled && FInterval > 0)
        loop.TimerChanged(this);
    else
        loop.TimerRemoved(this);
}

uint32_t TTimer::DueIn(uint32_t now) const {
    if (!FEnabled || FInterval == 0 || FInHandler) return INFINITE;
    uint32_t elapsed = TickDiff(FStart, now);
    return elapsed >= FInterval ? 0 : FInterval - elapsed;
}

void TTimer::Fire() {
    if (FInHandler || !FEnabled || FInterval == 0) return;
    FStart = GetTickCount();
    if (!OnTimer) return;
    // The handler may free the timer.
    std::shared_ptr<bool> alive = FAlive;
    FInHandler = true;
    TScopeGuard leave([this, &alive] {
        if (*alive) FInHandler = false;
    });
    // Its own handler object goes with it too: call a copy.
    const TNotifyEvent handler = OnTimer;
    handler(this);
}
