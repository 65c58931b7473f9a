// Events: timed waits go through the installed tick source.
#include "platform/rtl/SyncObjs.h"

#include "platform/rtl/Tick.h"

TEvent::TEvent(bool initialState, bool manualReset) : FState(initialState), FManualReset(manualReset) {}

void TEvent::SetEvent() {
    {
        std::lock_guard<std::mutex> lk(FMutex);
        FState = true;
    }
    FCond.notify_all();
}

void TEvent::ResetEvent() {
    std::lock_guard<std::mutex> lk(FMutex);
    FState = false;
}

TWaitResult TEvent::WaitFor(uint32_t timeout) {
    std::unique_lock<std::mutex> lk(FMutex);
    if (timeout == INFINITE) {
        FCond.wait(lk, [this] { return FState; });
    } else {
        auto deadline = std::chrono::steady_clock::now() + TickSource().RealDuration(timeout);
        if (!FCond.wait_until(lk, deadline, [this] { return FState; })) return wrTimeout;
    }
    if (!FManualReset) FState = false;
    return wrSignaled;
}
