#pragma once
// The thread class. Suspend/Resume are emulated: a suspended thread parks at its next
// CheckSuspended() call (the timer threads call it between their waits) until resumed.
// Synchronize hands a call to the main thread and waits for it; the main thread runs
// queued calls in CheckSynchronize(), which the application's event loop calls.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/rtl/System.h"

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

class TThread : public TObject {
public:
    explicit TThread(bool createSuspended);
    // Destroying a running thread terminates it and waits for it.
    ~TThread() override;

    void Resume();
    void Suspend();
    bool Suspended() const { return FSuspended; }
    void Terminate();
    bool Terminated() const { return FTerminated; }
    // Waits for Execute to return; returns ReturnValue. Called on the main thread, it
    // cancels this thread's pending Synchronize calls, so it cannot deadlock.
    int WaitFor();
    bool Finished() const { return FFinished; }
    TThreadPriority Priority() const { return FPriority; }
    void SetPriority(TThreadPriority p) { FPriority = p; }
    bool FreeOnTerminate = false;
    int ReturnValue = 0;
    std::function<void(TObject*)> OnTerminate;

    // Runs `fn` on the main thread and waits for it. Returns false when the call was
    // cancelled (the thread is being waited for or destroyed) and did not run.
    // Called on the main thread, it runs `fn` directly.
    bool Synchronize(const std::function<void()>& fn);

protected:
    virtual void Execute() = 0;
    // Parks the thread while it is suspended (emulation point).
    void CheckSuspended();
    // Must be called by the destructor of a derived class before its members go away.
    void StopAndJoin();

private:
    void Start();
    void Run();
    std::thread FThread;
    std::mutex FMutex;
    std::condition_variable FCond;
    std::atomic<bool> FSuspended{false};
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFinished{false};
    bool FStarted = false;
    TThreadPriority FPriority = tpNormal;
};

// Main-thread identity: the thread that first touched the runtime, or the one set here.
void SetMainThreadId(std::thread::id id);
std::thread::id MainThreadId();
bool IsMainThread();

// Runs the queued synchronised calls; returns true when at least one ran.
// Only the main thread runs them (a call from another thread does nothing).
bool CheckSynchronize();
// Called whenever a synchronised call is queued, so the event loop can wake up.
void SetWakeMainThread(std::function<void()> wake);
// Queues a call for the main thread without waiting (TThread.Queue).
void QueueMainThreadCall(std::function<void()> fn, const void* owner = nullptr);
// Drops queued calls of `owner` (a dying object).
void RemoveQueuedCalls(const void* owner);
