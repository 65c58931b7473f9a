// The application object: pumping, pumping waits and the process-wide instance.
#include "platform/framework/Application.h"

#include <algorithm>
#include <exception>

#include "platform/framework/Dialogs.h"
#include "platform/rtl/Thread.h"
#include "platform/rtl/Tick.h"

namespace {
TApplication* gApplication = nullptr;
}

TApplication::TApplication(TComponent* AOwner) : TComponent(AOwner) {
    SetEventLoop(CreatePlainEventLoop());
}

TApplication::~TApplication() {
    if (gApplication == this) {
        SetWakeMainThread(nullptr);
        gApplication = nullptr;
    } else if (gApplication) {
        IEventLoop* l = gApplication->FLoop.get();
        SetWakeMainThread([l] { l->Wake(); });
    } else {
        SetWakeMainThread(nullptr);
    }
}

TApplication* Application() {
    // Never freed: timers and threads may still refer to it while the process ends.
    static TApplication* app = [] {
        MainThreadId();
        gApplication = new TApplication(nullptr);
        return gApplication;
    }();
    return app;
}

void TApplication::SetEventLoop(std::unique_ptr<IEventLoop> loop) {
    if (!loop) return;
    if (FLoop)
        for (TTimer* t : FTimers) FLoop->TimerRemoved(t);
    std::unique_ptr<IEventLoop> old = std::move(FLoop);
    FLoop = std::move(loop);
    IEventLoop* l = FLoop.get();
    SetWakeMainThread([l] { l->Wake(); });
    for (TTimer* t : FTimers)
        if (t->Enabled() && t->Interval() > 0) FLoop->TimerChanged(t);
}

void TApplication::ProcessMessages() {
    FLoop->ProcessPending();
}

void TApplication::Delay(uint32_t ms) {
    uint32_t start = GetTickCount();
    for (;;) {
        FLoop->ProcessPending();
        if (FTerminated) return;
        uint32_t elapsed = TicksSince(start);
        if (elapsed >= ms) return;
        FLoop->WaitForWork(ms - elapsed);
    }
}

void TApplication::Run() {
    while (!FTerminated) {
        FLoop->ProcessPending();
        if (FTerminated) break;
        FLoop->WaitForWork(INFINITE);
    }
}

void TApplication::Terminate() {
    FTerminated = true;
    FLoop->Wake();
}

void TApplication::QueueCall(std::function<void()> fn) {
    FLoop->Post(std::move(fn));
}

void TApplication::HandleException() {
    try {
        throw;
    } catch (const EAbort&) {
    } catch (const Exception& e) {
        if (OnException)
            OnException(this, e);
        else
            MessageBox(e.what(), FTitle, MB_OK | MB_ICONERROR);
    } catch (const std::exception& e) {
        if (OnException)
            OnException(this, Exception(e.what()));
        else
            MessageBox(e.what(), FTitle, MB_OK | MB_ICONERROR);
    } catch (...) {
        MessageBox("Unknown exception", FTitle, MB_OK | MB_ICONERROR);
    }
}

bool RunPostedCalls(std::mutex& mutex, std::deque<std::function<void()>>& posted) {
    bool any = false;
    size_t n;
    {
        std::lock_guard<std::mutex> lk(mutex);
        n = posted.size();
    }
    for (size_t i = 0; i < n; ++i) {
        std::function<void()> fn;
        {
            std::lock_guard<std::mutex> lk(mutex);
            if (posted.empty()) break;
            fn = std::move(posted.front());
            posted.pop_front();
        }
        any = true;
        try {
            fn();
        } catch (...) {
            Application()->HandleException();
        }
    }
    return any;
}

void TLoopTimers::Add(TTimer* t) {
    if (std::find(FTimers.begin(), FTimers.end(), t) == FTimers.end()) FTimers.push_back(t);
}

void TLoopTimers::Remove(TTimer* t) {
    FTimers.erase(std::remove(FTimers.begin(), FTimers.end(), t), FTimers.end());
}

bool TLoopTimers::FireDue() {
    bool any = false;
    // A handler may free or stop any timer, so each one is looked up again before use.
    const std::vector<TTimer*> timers = FTimers;
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

uint32_t TLoopTimers::NextDueIn(uint32_t now) const {
    uint32_t wait = INFINITE;
    for (TTimer* t : FTimers) wait = std::min(wait, t->DueIn(now));
    return wait;
}
