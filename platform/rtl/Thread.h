#pragma once
// The thread class. Suspend/Resume are emulated: a suspended thread parks at its next
// CheckSuspended() call (the timer threads call it between their waits) until resumed.
// Synchronize hands a call to the main thread and waits for it; the main thread runs
// queued calls in CheckSynchronize(), which the application's event loop calls.
//
// A C++ base cannot run the virtual Execute before the most-derived constructor has
// finished, so the thread starts on the first Resume(): a descendant that wants to run at
// once calls Resume() at the end of its own constructor (whatever createSuspended said).
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
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

    // Starts the thread the first time; afterwards releases a parked thread.
    void Resume();
    // Called from another thread, the thread parks at its next CheckSuspended(); called
    // from the thread itself, it parks at once.
    void Suspend();
    bool Suspended() const { return FSuspended; }
    // Sets Terminated and releases a parked thread.
    void Terminate();
    bool Terminated() const { return FTerminated; }
    // Waits for Execute to return; returns ReturnValue. Called on the main thread, it
    // cancels this thread's pending Synchronize calls, so it cannot deadlock. A thread
    // that never started returns at once.
    int WaitFor();
    bool Finished() const { return FFinished; }
    TThreadPriority Priority() const { return FPriority; }
    void SetPriority(TThreadPriority p) { FPriority = p; }
    bool FreeOnTerminate = false;
    int ReturnValue = 0;
    // Runs on the main thread (synchronised) after Execute returned.
    std::function<void(TObject*)> OnTerminate;
    // The exception that ended Execute, if any.
    std::exception_ptr FatalException() const { return FFatalException; }

    // Runs `fn` on the main thread and waits for it. Returns false when the call was
    // cancelled (the thread is being waited for or destroyed) and did not run or was
    // abandoned. Called on the main thread, it runs `fn` directly. An exception of `fn`
    // is raised again in the calling thread.
    bool Synchronize(const std::function<void()>& fn);

protected:
    virtual void Execute() = 0;
    // Parks the thread while it is suspended (emulation point). Returns true when it parked,
    // so a caller can tell that its last wait is stale.
    bool CheckSuspended();
    // Must be called by the destructor of a derived class before its members go away.
    void StopAndJoin();

private:
    void Start();
    void Run();
    std::thread FThread;
    // The thread's id, set at the start: self-checks read it, not FThread, which a join on
    // another thread changes.
    std::atomic<std::thread::id> FThreadId{};
    std::mutex FMutex;
    std::mutex FJoinMutex;
    std::condition_variable FCond;
    std::atomic<bool> FSuspended{false};
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFinished{false};
    bool FStarted = false;
    TThreadPriority FPriority = tpNormal;
    std::exception_ptr FFatalException;
};

// Main-thread identity: the thread that first touched the runtime, or the one set here.
void SetMainThreadId(std::thread::id id);
std::thread::id MainThreadId();
bool IsMainThread();

// Runs the synchronised and queued calls that were waiting when it was called; returns
// true when at least one ran. Only the main thread runs them (elsewhere it does nothing).
bool CheckSynchronize();
// Called whenever a synchronised call is queued, so the event loop can wake up.
void SetWakeMainThread(std::function<void()> wake);
// Queues a call for the main thread without waiting (TThread.Queue).
void QueueMainThreadCall(std::function<void()> fn, const void* owner = nullptr);
// Drops queued calls of `owner` (a dying object).
void RemoveQueuedCalls(const void* owner);
// Synchronize for code that is not a TThread (a library's callback thread): runs `fn` on
// the main thread and waits; false when cancelled through CancelMainThreadCalls(owner).
bool SynchronizeOnMainThread(const std::function<void()>& fn, const void* owner = nullptr);
// Cancels the pending and running synchronised calls of `owner`, and refuses its later
// ones until ForgetCancelledOwner(owner).
void CancelMainThreadCalls(const void* owner);
void ForgetCancelledOwner(const void* owner);
