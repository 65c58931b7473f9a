// The plain event loop: a queue of posted calls, the main thread's synchronised calls and
// a list of timers; waits sleep on a condition variable until woken or the next timer.
#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/framework/Application.h"
#include "platform/rtl/Thread.h"
#include "platform/rtl/Tick.h"

namespace {

class TPlainEventLoop final : public IEventLoop {
public:
    bool ProcessPending() override {
        bool any = CheckSynchronize();
        // Posted calls waiting on entry; those they post run next time.
        size_t n;
        {
            std::lock_guard<std::mutex> lk(FMutex);
            n = FPosted.size();
        }
        for (size_t i = 0; i < n; ++i) {
            std::function<void()> fn;
            {
                std::lock_guard<std::mutex> lk(FMutex);
                if (FPosted.empty()) break;
                fn = std::move(FPosted.front());
                FPosted.pop_front();
            }
            any = true;
            try {
                fn();
            } catch (...) {
                Application()->HandleException();
            }
        }
        // A handler may free or stop any timer, so each one is looked up again before use.
        std::vector<TTimer*> timers = FTimers;
        for (TTimer* t : timers) {
            if (std::find(FTimers.begin(), FTimers.end(), t) == FTimers.end()) continue;
            if (t->DueIn(GetTickCount()) != 0) continue;
            any = true;
            try {
                t->Fire();
            } catch (...) {
                Application()->HandleException();
            }
        }
        return any;
    }

    void WaitForWork(uint32_t ms) override {
        uint32_t wait = ms;
        uint32_t now = GetTickCount();
        for (TTimer* t : FTimers) wait = std::min(wait, t->DueIn(now));
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

    void TimerChanged(TTimer* t) override {
        if (std::find(FTimers.begin(), FTimers.end(), t) == FTimers.end()) FTimers.push_back(t);
    }

    void TimerRemoved(TTimer* t) override {
        FTimers.erase(std::remove(FTimers.begin(), FTimers.end(), t), FTimers.end());
    }

private:
    std::mutex FMutex;
    std::condition_variable FCond;
    std::deque<std::function<void()>> FPosted;
    bool FWoken = false;
    std::vector<TTimer*> FTimers;  // main thread only
};

}  // namespace

std::unique_ptr<IEventLoop> CreatePlainEventLoop() {
    return std::make_unique<TPlainEventLoop>();
}
