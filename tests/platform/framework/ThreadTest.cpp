// Tick source, events, threads and synchronised calls.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "platform/framework/Application.h"
#include "platform/rtl/SyncObjs.h"
#include "platform/rtl/SysUtils.h"
#include "platform/rtl/Thread.h"
#include "platform/rtl/Tick.h"
#include "tests/support/WaitUntil.h"

namespace {

// Pumps the application until `pred` holds; false after 10 s of real time.
bool PumpUntil(const std::function<bool()>& pred) {
    return WaitUntil(pred, TDeadline::After(std::chrono::seconds(10)), [] { Application()->Delay(10); });
}

TEST(TickTest, DifferencesAreModular) {
    struct Row {
        uint32_t from, to, diff;
    } rows[] = {
        {100, 350, 250},
        {0xFFFFFFF0u, 0x10u, 0x20u},
        {0xFFFFFFFFu, 0u, 1u},
        {5, 5, 0},
    };
    for (const Row& r : rows) EXPECT_EQ(TickDiff(r.from, r.to), r.diff) << r.from << " -> " << r.to;
}

TEST(TickTest, VirtualClockSleepCrossesTheWrap) {
    TVirtualClockScope clock(1000.0, 0xFFFFFFFFu - 2000);
    uint32_t start = GetTickCount();
    Sleep(3000);
    uint32_t now = GetTickCount();
    EXPECT_LT(now, start);  // wrapped
    EXPECT_GE(TickDiff(start, now), 3000u);
    // Scaled: 3 s of clock time is 3 ms of real time, not 3 s (3,000,000 clock ms).
    EXPECT_LT(TickDiff(start, now), 1000000u);
}

TEST(TickTest, ScopeRestoresTheMonotonicClock) {
    {
        TVirtualClockScope clock(10.0, 0x80000000u);
        EXPECT_EQ(&TickSource(), &clock.Clock());
    }
    EXPECT_NE(dynamic_cast<TMonotonicTickSource*>(&TickSource()), nullptr);
}

TEST(EventTest, TimedWaitAndAutoReset) {
    TVirtualClockScope clock(100.0, 0xFFFFFFFFu - 300);
    TEvent ev;
    uint32_t start = GetTickCount();
    EXPECT_EQ(ev.WaitFor(1000), wrTimeout);
    EXPECT_GE(TicksSince(start), 1000u);

    ev.SetEvent();  // no waiter: stays set
    EXPECT_EQ(ev.WaitFor(0), wrSignaled);
    EXPECT_EQ(ev.WaitFor(0), wrTimeout);  // the wait reset it

    ev.SetEvent();
    ev.ResetEvent();
    EXPECT_EQ(ev.WaitFor(10), wrTimeout);

    std::thread t([&] {
        Sleep(200);
        ev.SetEvent();
    });
    EXPECT_EQ(ev.WaitFor(INFINITE), wrSignaled);
    t.join();
}

TEST(EventTest, ManualResetStaysSet) {
    TEvent ev(true, true);
    EXPECT_EQ(ev.WaitFor(0), wrSignaled);
    EXPECT_EQ(ev.WaitFor(0), wrSignaled);
    ev.ResetEvent();
    EXPECT_EQ(ev.WaitFor(0), wrTimeout);
}

// Counts loops; parks between them like the timer threads do.
class TCountingThread : public TThread {
public:
    explicit TCountingThread(bool suspended) : TThread(suspended) {}
    ~TCountingThread() override { StopAndJoin(); }
    std::atomic<int> Loops{0};
    std::atomic<int> Parks{0};
    std::atomic<bool> AtPark{false};  // suspended and about to park; Loops stands still

protected:
    void Execute() override {
        while (!Terminated()) {
            ++Loops;
            Sleep(1);
            if (Suspended()) AtPark = true;
            if (CheckSuspended()) ++Parks;
            AtPark = false;
        }
        ReturnValue = 42;
    }
};

bool WaitReal(const std::function<bool()>& pred) {
    return WaitUntil(pred, TDeadline::After(std::chrono::seconds(10)));
}

TEST(ThreadTest, SuspendResumeTerminate) {
    TVirtualClockScope clock(100.0);
    TCountingThread t(true);
    EXPECT_TRUE(t.Suspended());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(t.Loops, 0);  // created suspended: not started

    t.Resume();
    EXPECT_FALSE(t.Suspended());
    ASSERT_TRUE(WaitReal([&] { return t.Loops > 3; }));

    t.Suspend();
    EXPECT_TRUE(t.Suspended());
    // Once parked, the count stands still.
    ASSERT_TRUE(WaitReal([&] { return t.AtPark.load(); }));
    const int parkedAt = t.Loops;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(t.Loops, parkedAt);
    EXPECT_TRUE(t.AtPark);

    t.Resume();
    ASSERT_TRUE(WaitReal([&] { return t.Loops > parkedAt + 2; }));
    EXPECT_EQ(t.Parks, 1);

    t.Terminate();
    EXPECT_EQ(t.WaitFor(), 42);
    EXPECT_TRUE(t.Finished());
}

// Suspends itself (parks at once) after trying to wait for itself.
class TSelfSuspendingThread : public TThread {
public:
    TSelfSuspendingThread() : TThread(true) {}
    ~TSelfSuspendingThread() override { StopAndJoin(); }
    std::atomic<int> Stage{0};
    std::atomic<bool> SelfWaitRaised{false};

protected:
    void Execute() override {
        try {
            WaitFor();
        } catch (const Exception&) {
            SelfWaitRaised = true;
        }
        Stage = 1;
        Suspend();
        Stage = 2;
    }
};

TEST(ThreadTest, SuspendFromInsideParksAtOnceAndWaitForFromInsideRaises) {
    TSelfSuspendingThread t;
    t.Resume();
    ASSERT_TRUE(WaitReal([&] { return t.Stage == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(t.Stage, 1);
    EXPECT_TRUE(t.SelfWaitRaised);
    // A Suspend from a third thread while the main thread joins (ThreadSanitizer checks
    // that the two do not race on the thread object).
    std::thread other([&] { t.Suspend(); });
    t.Terminate();
    t.WaitFor();
    other.join();
    EXPECT_EQ(t.Stage, 2);
}

TEST(ThreadTest, TerminateReleasesAParkedThread) {
    TCountingThread t(true);
    t.Resume();
    ASSERT_TRUE(WaitReal([&] { return t.Loops > 0; }));
    t.Suspend();
    t.Terminate();
    EXPECT_EQ(t.WaitFor(), 42);
}

TEST(ThreadTest, NeverStartedThreadIsDestroyedAndWaitedForAtOnce) {
    auto* t = new TCountingThread(true);
    EXPECT_EQ(t->WaitFor(), 0);
    delete t;
}

class TThrowingThread : public TThread {
public:
    TThrowingThread() : TThread(true) {}
    ~TThrowingThread() override { StopAndJoin(); }

protected:
    void Execute() override { throw std::runtime_error("boom"); }
};

TEST(ThreadTest, ExceptionOfExecuteIsKept) {
    TThrowingThread t;
    t.Resume();
    t.WaitFor();
    ASSERT_TRUE(t.FatalException());
    EXPECT_THROW(std::rethrow_exception(t.FatalException()), std::runtime_error);
}

// Runs one synchronised call and records what became of it.
class TSyncThread : public TThread {
public:
    explicit TSyncThread(std::function<void()> fn) : TThread(true), FFn(std::move(fn)) {}
    ~TSyncThread() override { StopAndJoin(); }
    std::atomic<int> Result{-1};  // 1 ran, 0 cancelled, 2 raised
    std::atomic<bool> Queued{false};

protected:
    void Execute() override {
        Queued = true;
        try {
            Result = Synchronize(FFn) ? 1 : 0;
        } catch (const std::exception&) {
            Result = 2;
        }
    }

private:
    std::function<void()> FFn;
};

TEST(ThreadTest, SynchronizeRunsOnTheMainThreadInsideAPumpingWait) {
    TVirtualClockScope clock(50.0);
    std::thread::id ranOn;
    TSyncThread t([&] { ranOn = std::this_thread::get_id(); });
    t.Resume();
    ASSERT_TRUE(PumpUntil([&] { return t.Result != -1; }));
    t.WaitFor();
    EXPECT_EQ(t.Result, 1);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_TRUE(IsMainThread());
}

TEST(ThreadTest, SynchronizeRaisesTheCallsExceptionInTheThread) {
    TSyncThread t([] { throw std::runtime_error("in main"); });
    t.Resume();
    ASSERT_TRUE(PumpUntil([&] { return t.Result != -1; }));
    t.WaitFor();
    EXPECT_EQ(t.Result, 2);
}

TEST(ThreadTest, WaitForOnTheMainThreadCancelsAPendingSynchronize) {
    bool ran = false;
    TSyncThread t([&] { ran = true; });
    t.Resume();
    ASSERT_TRUE(WaitReal([&] { return t.Queued.load(); }));
    // The main thread does not pump: without cancelling, this would never return.
    t.WaitFor();
    EXPECT_EQ(t.Result, 0);
    Application()->ProcessMessages();
    EXPECT_FALSE(ran);
}

TEST(ThreadTest, CheckSynchronizeOffTheMainThreadDoesNothing) {
    std::atomic<bool> ran{false};
    QueueMainThreadCall([&] { ran = true; });
    bool other = true;
    std::thread t([&] { other = CheckSynchronize(); });
    t.join();
    EXPECT_FALSE(other);
    EXPECT_FALSE(ran);
    EXPECT_TRUE(CheckSynchronize());
    EXPECT_TRUE(ran);
}

TEST(ThreadTest, RemoveQueuedCallsDropsOnlyThatOwner) {
    int a = 0, b = 0;
    int ownerA, ownerB;
    QueueMainThreadCall([&] { ++a; }, &ownerA);
    QueueMainThreadCall([&] { ++b; }, &ownerB);
    RemoveQueuedCalls(&ownerA);
    CheckSynchronize();
    EXPECT_EQ(a, 0);
    EXPECT_EQ(b, 1);
}

TEST(ThreadTest, FreeOnTerminateDeletesTheThread) {
    static std::atomic<bool> destroyed;
    destroyed = false;
    class TSelfFreeing : public TThread {
    public:
        TSelfFreeing() : TThread(true) { FreeOnTerminate = true; }
        ~TSelfFreeing() override {
            StopAndJoin();
            destroyed = true;
        }

    protected:
        void Execute() override {}
    };
    (new TSelfFreeing)->Resume();
    EXPECT_TRUE(WaitReal([] { return destroyed.load(); }));
}

}  // namespace
