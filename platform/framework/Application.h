#pragma once
// The application object over an event-loop interface. The plain loop serves the
// library, the tests and headless programs; the console installs a Qt loop.
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/framework/Component.h"
#include "platform/rtl/SyncObjs.h"

class TTimer;

// What the application needs of a loop. Implementations run queued calls,
// synchronised calls of other threads (CheckSynchronize) and due timers. The application
// installs SetWakeMainThread(Wake) while the loop is its own, so a loop only has to run
// CheckSynchronize when woken. A loop with timers of its own (QTimer) starts one per
// TimerChanged timer with its Interval and calls Fire on each expiry; a plain loop asks
// TTimer::DueIn. All of it runs on the main thread except Wake and Post.
class IEventLoop {
public:
    virtual ~IEventLoop() = default;
    // Handles everything pending, without waiting; returns true when something ran.
    virtual bool ProcessPending() = 0;
    // Waits until something is pending or `ms` clock milliseconds passed (or Wake()), at
    // most until the next timer is due. INFINITE waits for work only.
    virtual void WaitForWork(uint32_t ms) = 0;
    // Thread-safe: wakes WaitForWork.
    virtual void Wake() = 0;
    // Thread-safe: queues a call for the loop's thread.
    virtual void Post(std::function<void()> fn) = 0;
    // Timer registration; the loop fires due timers from ProcessPending. TimerChanged comes
    // for a timer that is (re)started (enabled, interval > 0), TimerRemoved for one that
    // stopped or dies.
    virtual void TimerChanged(TTimer* t) = 0;
    virtual void TimerRemoved(TTimer* t) = 0;
};

// What the loops share. Runs the calls waiting in `posted` on entry (those they post
// wait for the next round), each under Application()->HandleException; `mutex` guards
// `posted`. True when any ran.
bool RunPostedCalls(std::mutex& mutex, std::deque<std::function<void()>>& posted);

// The started framework timers of a loop that polls them (TTimer::DueIn). Main thread only.
class TLoopTimers {
public:
    void Add(TTimer* t);  // for TimerChanged; a listed timer stays listed once
    void Remove(TTimer* t);
    // Fires the due timers, each under Application()->HandleException; true when any fired.
    bool FireDue();
    // Clock milliseconds until the first one is due at `now`; INFINITE when none.
    uint32_t NextDueIn(uint32_t now) const;

private:
    std::vector<TTimer*> FTimers;
};

// Loop with its own queue and timer list; time comes from the installed tick source.
std::unique_ptr<IEventLoop> CreatePlainEventLoop();

class TApplication : public TComponent {
public:
    explicit TApplication(TComponent* AOwner = nullptr);
    ~TApplication() override;

    // Replaces the loop (on the main thread); running timers move to the new one.
    void SetEventLoop(std::unique_ptr<IEventLoop> loop);
    IEventLoop& EventLoop() { return *FLoop; }

    const std::string& Title() const { return FTitle; }
    void SetTitle(const std::string& t) { FTitle = t; }

    // Runs what is pending (queued calls, synchronised calls, due timers) and returns.
    void ProcessMessages();
    // Pumping wait: keeps handlers, timer ticks and callbacks running nested inside it;
    // returns after `ms` clock milliseconds, or early when the application terminates.
    void Delay(uint32_t ms);
    // Runs the loop until Terminate. All of these are for the main thread.
    void Run();
    // Thread-safe; wakes the loop.
    void Terminate();
    bool Terminated() const { return FTerminated; }
    void ResetTerminated() { FTerminated = false; }
    // Thread-safe: run `fn` on the main thread later (no wait).
    void QueueCall(std::function<void()> fn);
    // What the loop does with an exception escaping a handler, a timer tick or a queued
    // call: shown as an error box with the title as caption (EAbort stays silent), and the
    // loop goes on. Call it inside a catch block.
    void HandleException();
    // When set, receives the exceptions HandleException would show (EAbort stays silent).
    std::function<void(TObject* Sender, const Exception& E)> OnException;
    // Whether the program shows its main form (a CGI program in a GUI build does not).
    bool ShowMainForm = true;

private:
    friend class TTimer;
    std::unique_ptr<IEventLoop> FLoop;
    std::string FTitle;
    std::atomic<bool> FTerminated{false};
    std::vector<TTimer*> FTimers;  // every live timer, for SetEventLoop
};

// The process-wide application object (created on first use, plain loop).
TApplication* Application();

// The framework timer: fired by the event loop, also inside pumping waits; first tick one
// interval after enabling; interval 0 never fires; changing Interval or Enabled restarts
// the wait; a handler still running is not entered again. Main thread only.
class TTimer : public TComponent {
public:
    explicit TTimer(TComponent* AOwner);
    ~TTimer() override;
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool v);
    uint32_t Interval() const { return FInterval; }
    void SetInterval(uint32_t v);
    TNotifyEvent OnTimer;

    // Used by event loops.
    uint32_t DueTick() const { return FStart + FInterval; }
    // Clock milliseconds until due at `now` (0 = due); INFINITE when stopped or while its
    // handler runs.
    uint32_t DueIn(uint32_t now) const;
    // Runs the handler (unless it is running already) and starts the next interval.
    void Fire();

private:
    void Reschedule();
    bool FEnabled = true;
    uint32_t FInterval = 1000;
    uint32_t FStart = 0;
    bool FInHandler = false;
    std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
};
