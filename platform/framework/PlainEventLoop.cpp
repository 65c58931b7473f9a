// The plain event loop: a queue of posted calls, the main thread's synchronised calls and
// a list of timers; waits sleep on a condition variable until woken or the next timer.
#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/framework/Application.h"
#include "platform/rtl/Thread.h"
#include "platform/rtl/Tick.h"

namespace {

class TPlainEventLoop final : public IEventLoop {
public:
    bool ProcessPending() override {
        bool any = CheckSynchronize();
        any = RunPostedCalls(FMutex, FPosted) || any;
        any = FTimers.FireDue() || any;
        return any;
    }

    void WaitForWork(uint32_t ms) override {
        const uint32_t wait = std::min(ms, FTimers.NextDueIn(GetTickCount()));
        std::unique_lock<std::mutex> lk(FMutex);
        auto ready = [this] { return FWoken || !FPosted.empty(); };
        if (!ready() && wait > 0) {
            if (wait == INFINITE)
                FCond.wait(lk, ready);
            else
                FCond.wait_for(lk, TickSource().RealDuration(wait), ready);
        }
        FWoken = false;
    }

    void Wake() override {
        {
            std::lock_guard<std::mutex> lk(FMutex);
            FWoken = true;
        }
        FCond.notify_all();
    }

    void Post(std::function<void()> fn) override {
        {
            std::lock_guard<std::mutex> lk(FMutex);
            FPosted.push_back(std::move(fn));
        }
        FCond.notify_all();
    }

    void TimerChanged(TTimer* t) override { FTimers.Add(t); }
    void TimerRemoved(TTimer* t) override { FTimers.Remove(t); }

private:
    std::mutex FMutex;
    std::condition_variable FCond;
    std::deque<std::function<void()>> FPosted;
    bool FWoken = false;
    TLoopTimers FTimers;
};

}  // namespace

std::unique_ptr<IEventLoop> CreatePlainEventLoop() {
    return std::make_unique<TPlainEventLoop>();
}
