#pragma once
// The application object over an event-loop interface. The plain loop serves the
// library, the tests and headless programs; the console installs a Qt loop.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/framework/Component.h"
#include "platform/rtl/SyncObjs.h"

class TTimer;

// What the application needs of a loop. Implementations run queued calls,
// synchronised calls of other threads (CheckSynchronize) and due timers.
class IEventLoop {
public:
    virtual ~IEventLoop() = default;
    // Handles everything pending, without waiting; returns true when something ran.
    virtual bool ProcessPending() = 0;
    // Waits until something is pending or `ms` clock milliseconds passed (or Wake()).
    virtual void WaitForWork(uint32_t ms) = 0;
    // Thread-safe: wakes WaitForWork.
    virtual void Wake() = 0;
    // Thread-safe: queues a call for the loop's thread.
    virtual void Post(std::function<void()> fn) = 0;
    // Timer registration; the loop fires due timers from ProcessPending.
    virtual void TimerChanged(TTimer* t) = 0;
    virtual void TimerRemoved(TTimer* t) = 0;
};

// Loop with its own queue and timer list; time comes from the installed tick source.
std::unique_ptr<IEventLoop> CreatePlainEventLoop();

class TApplication : public TComponent {
public:
    explicit TApplication(TComponent* AOwner = nullptr);
    ~TApplication() override;

    void SetEventLoop(std::unique_ptr<IEventLoop> loop);
    IEventLoop& EventLoop() { return *FLoop; }

    const std::string& Title() const { return FTitle; }
    void SetTitle(const std::string& t) { FTitle = t; }

    // Runs what is pending (queued calls, synchronised calls, due timers) and returns.
    void ProcessMessages();
    // Pumping wait: keeps handlers, timer ticks and callbacks running nested inside it;
    // returns after `ms` clock milliseconds, or early when the application terminates.
    void Delay(uint32_t ms);
    // Runs the loop until Terminate.
    void Run();
    void Terminate();
    bool Terminated() const { return FTerminated; }
    void ResetTerminated() { FTerminated = false; }
    // Thread-safe: run `fn` on the main thread later (no wait).
    void QueueCall(std::function<void()> fn);

private:
    std::unique_ptr<IEventLoop> FLoop;
    std::string FTitle;
    bool FTerminated = false;
};

// The process-wide application object (created on first use, plain loop).
TApplication* Application();

// The framework timer: fired by the event loop, also inside pumping waits; first tick one
// interval after enabling; interval 0 never fires.
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
    uint32_t DueTick() const { return FDue; }
    void Fire();

private:
    void Reschedule();
    bool FEnabled = true;
    uint32_t FInterval = 1000;
    uint32_t FDue = 0;
    bool FInHandler = false;
};
