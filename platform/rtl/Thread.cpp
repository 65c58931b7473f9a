// Threads with emulated suspension, and the main thread's queue of synchronised calls.
#include "platform/rtl/Thread.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <memory>
#include <vector>

#include "platform/rtl/SysUtils.h"

namespace {

struct TSyncItem {
    enum TState { Queued, Running, Done, Cancelled };
    std::function<void()> fn;
    const void* owner = nullptr;
    bool waited = false;
    TState state = Queued;
    std::exception_ptr error;
};

// The main thread's queue. Never destroyed: worker threads may still use it while the
// process's statics go away.
struct TSyncQueue {
    std::mutex mutex;
    std::condition_variable cond;
    std::deque<std::shared_ptr<TSyncItem>> queue;
    std::vector<std::shared_ptr<TSyncItem>> running;
    std::vector<const void*> cancelled;

    std::mutex wakeMutex;
    std::function<void()> wake;

    std::mutex mainMutex;
    bool mainSet = false;
    std::thread::id mainId;
};

TSyncQueue& Q() {
    static TSyncQueue* q = new TSyncQueue;
    return *q;
}

// The thread that loads the runtime counts as the main thread until told otherwise.
const bool gMainCaptured = (MainThreadId(), true);

void WakeMain() {
    auto& q = Q();
    std::lock_guard<std::mutex> lk(q.wakeMutex);
    if (q.wake) q.wake();
}

bool IsCancelled(TSyncQueue& q, const void* owner) {
    return owner && std::find(q.cancelled.begin(), q.cancelled.end(), owner) != q.cancelled.end();
}

// Drops queued items of `owner` and abandons its running ones; caller holds the mutex.
void DropItems(TSyncQueue& q, const void* owner) {
    for (auto it = q.queue.begin(); it != q.queue.end();) {
        if ((*it)->owner == owner) {
            (*it)->state = TSyncItem::Cancelled;
            it = q.queue.erase(it);
        } else {
            ++it;
        }
    }
    for (auto& item : q.running)
        if (item->owner == owner) item->state = TSyncItem::Cancelled;
}

}  // namespace

void SetMainThreadId(std::thread::id id) {
    auto& q = Q();
    std::lock_guard<std::mutex> lk(q.mainMutex);
    q.mainId = id;
    q.mainSet = true;
}

std::thread::id MainThreadId() {
    auto& q = Q();
    std::lock_guard<std::mutex> lk(q.mainMutex);
    if (!q.mainSet) {
        q.mainId = std::this_thread::get_id();
        q.mainSet = true;
    }
    return q.mainId;
}

bool IsMainThread() {
    return std::this_thread::get_id() == MainThreadId();
}

void SetWakeMainThread(std::function<void()> wake) {
    auto& q = Q();
    std::lock_guard<std::mutex> lk(q.wakeMutex);
    q.wake = std::move(wake);
}

bool CheckSynchronize() {
    if (!IsMainThread()) return false;
    auto& q = Q();
    size_t n;
    {
        std::lock_guard<std::mutex> lk(q.mutex);
        n = q.queue.size();
    }
    // Only what was waiting on entry: a thread that queues back to back cannot starve the loop.
    bool any = false;
    for (size_t i = 0; i < n; ++i) {
        std::shared_ptr<TSyncItem> item;
        {
            std::lock_guard<std::mutex> lk(q.mutex);
            if (q.queue.empty()) break;
            item = q.queue.front();
            q.queue.pop_front();
            item->state = TSyncItem::Running;
            q.running.push_back(item);
        }
        any = true;
        std::exception_ptr error;
        try {
            item->fn();
        } catch (...) {
            error = std::current_exception();
        }
        {
            std::lock_guard<std::mutex> lk(q.mutex);
            q.running.erase(std::find(q.running.begin(), q.running.end(), item));
            if (item->state == TSyncItem::Running) item->state = TSyncItem::Done;
            item->error = error;
        }
        q.cond.notify_all();
        if (error && !item->waited) {
            // Nobody waits for a queued call: report its failure instead of losing it.
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "Exception in queued call: %s\n", e.what());
            } catch (...) {
                std::fprintf(stderr, "Exception in queued call\n");
            }
        }
    }
    return any;
}

void QueueMainThreadCall(std::function<void()> fn, const void* owner) {
    auto& q = Q();
    auto item = std::make_shared<TSyncItem>();
    item->fn = std::move(fn);
    item->owner = owner;
    {
        std::lock_guard<std::mutex> lk(q.mutex);
        if (IsCancelled(q, owner)) return;
        q.queue.push_back(item);
    }
    WakeMain();
}

void RemoveQueuedCalls(const void* owner) {
    auto& q = Q();
    {
        std::lock_guard<std::mutex> lk(q.mutex);
        DropItems(q, owner);
    }
    q.cond.notify_all();
}

bool SynchronizeOnMainThread(const std::function<void()>& fn, const void* owner) {
    if (IsMainThread()) {
        fn();
        return true;
    }
    auto& q = Q();
    auto item = std::make_shared<TSyncItem>();
    item->fn = fn;
    item->owner = owner;
    item->waited = true;
    {
        std::lock_guard<std::mutex> lk(q.mutex);
        if (IsCancelled(q, owner)) return false;
        q.queue.push_back(item);
    }
    WakeMain();
    std::unique_lock<std::mutex> lk(q.mutex);
    q.cond.wait(lk, [&] { return item->state == TSyncItem::Done || item->state == TSyncItem::Cancelled; });
    if (item->state == TSyncItem::Cancelled) return false;
    if (item->error) {
        auto e = item->error;
        lk.unlock();
        std::rethrow_exception(e);
    }
    return true;
}

void CancelMainThreadCalls(const void* owner) {
    auto& q = Q();
    {
        std::lock_guard<std::mutex> lk(q.mutex);
        if (!IsCancelled(q, owner)) q.cancelled.push_back(owner);
        DropItems(q, owner);
    }
    q.cond.notify_all();
}

void ForgetCancelledOwner(const void* owner) {
    auto& q = Q();
    std::lock_guard<std::mutex> lk(q.mutex);
    q.cancelled.erase(std::remove(q.cancelled.begin(), q.cancelled.end(), owner), q.cancelled.end());
}

// ---- TThread

TThread::TThread(bool createSuspended) : FSuspended(createSuspended) {
    (void)gMainCaptured;
}

TThread::~TThread() {
    StopAndJoin();
    ForgetCancelledOwner(this);
}

void TThread::Start() {
    // Caller holds FMutex.
    FStarted = true;
    FThread = std::thread([this] { Run(); });
    FThreadId = FThread.get_id();
}

void TThread::Run() {
    try {
        Execute();
    } catch (...) {
        FFatalException = std::current_exception();
    }
    if (OnTerminate) {
        try {
            Synchronize([this] { OnTerminate(this); });
        } catch (...) {
        }
    }
    bool freeSelf = FreeOnTerminate;
    FFinished = true;
    if (freeSelf) {
        {
            std::lock_guard<std::mutex> lk(FMutex);
            if (FThread.joinable()) FThread.detach();
        }
        delete this;
    }
}

void TThread::Resume() {
    // Notified under the lock: a thread that frees itself on termination cannot go away
    // before this call is done with it.
    std::lock_guard<std::mutex> lk(FMutex);
    FSuspended = false;
    if (!FStarted) Start();
    FCond.notify_all();
}

void TThread::Suspend() {
    bool self;
    {
        std::lock_guard<std::mutex> lk(FMutex);
        FSuspended = true;
        self = FStarted && FThreadId.load() == std::this_thread::get_id();
    }
    if (self) CheckSuspended();
}

void TThread::Terminate() {
    {
        std::lock_guard<std::mutex> lk(FMutex);
        FTerminated = true;
    }
    FCond.notify_all();
}

bool TThread::CheckSuspended() {
    std::unique_lock<std::mutex> lk(FMutex);
    if (!FSuspended || FTerminated) return false;
    FCond.wait(lk, [this] { return !FSuspended || FTerminated; });
    return true;
}

int TThread::WaitFor() {
    if (IsMainThread()) CancelMainThreadCalls(this);
    {
        std::lock_guard<std::mutex> lk(FMutex);
        if (!FStarted) return ReturnValue;
    }
    std::lock_guard<std::mutex> lk(FJoinMutex);
    if (FThreadId.load() == std::this_thread::get_id()) throw Exception("A thread cannot wait for itself");
    if (FThread.joinable()) {
        FThread.join();
    }
    return ReturnValue;
}

bool TThread::Synchronize(const std::function<void()>& fn) {
    return SynchronizeOnMainThread(fn, this);
}

void TThread::StopAndJoin() {
    {
        std::lock_guard<std::mutex> lk(FMutex);
        FTerminated = true;
        FSuspended = false;
        if (!FStarted) {
            FStarted = true;  // never runs now
            FFinished = true;
        }
    }
    FCond.notify_all();
    CancelMainThreadCalls(this);
    std::lock_guard<std::mutex> lk(FJoinMutex);
    if (FThread.joinable()) {
        if (FThreadId.load() == std::this_thread::get_id())
            FThread.detach();
        else
            FThread.join();
    }
}
