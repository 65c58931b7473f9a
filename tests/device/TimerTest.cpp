// The thread-driven timer components on a fast virtual clock. Assertions are on counts and on
// clock times as lower bounds (scheduling delays only make ticks later), never on real time.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "device/QorTimerU.h"
#include "device/ThdTimer.h"
#include "device/TumoThdTimer.h"
#include "platform/framework/Application.h"
#include "platform/rtl/Tick.h"
#include "tests/support/WaitUntil.h"

namespace {

// Pumps the application until `pred` holds; false after 10 s of real time.
bool PumpUntil(const std::function<bool()>& pred) {
    return WaitUntil(pred, TDeadline::After(std::chrono::seconds(10)), [] { Application()->Delay(20); });
}

// Aborts the test program when a step that must not block does block.
class TWatchdog {
public:
    explicit TWatchdog(const char* what, int realMs = 20000)
        : FThread([this, what, realMs] {
              std::unique_lock<std::mutex> lk(FMutex);
              if (!FCond.wait_for(lk, std::chrono::milliseconds(realMs), [this] { return FDone; })) {
                  std::fprintf(stderr, "deadlock: %s\n", what);
                  std::abort();
              }
          }) {}
    ~TWatchdog() {
        {
            std::lock_guard<std::mutex> lk(FMutex);
            FDone = true;
        }
        FCond.notify_all();
        FThread.join();
    }

private:
    std::mutex FMutex;
    std::condition_variable FCond;
    bool FDone = false;
    std::thread FThread;
};

// 1000 ms of clock time is 10 ms of real time.
constexpr double kSpeed = 100.0;

template <class T>
class ThreadTimerTest : public ::testing::Test {
protected:
    ThreadTimerTest() : FClock(kSpeed, 0xFFFFFFFFu - 2500) {}
    TVirtualClockScope FClock;
};

using TimerTypes = ::testing::Types<TQorTimer, TThreadedTimer, TTumoThreadTimer>;
TYPED_TEST_SUITE(ThreadTimerTest, TimerTypes);

TYPED_TEST(ThreadTimerTest, Defaults) {
    TypeParam timer(nullptr);
    EXPECT_FALSE(timer.Enabled());
    EXPECT_FALSE(timer.AllowZero());
    EXPECT_EQ(timer.Interval(), 1000u);
    EXPECT_EQ(timer.ThreadPriority(), tpNormal);
    timer.SetThreadPriority(tpHighest);
    EXPECT_EQ(timer.ThreadPriority(), tpHighest);
}

TYPED_TEST(ThreadTimerTest, FirstTickOneFullIntervalAfterEnablingAndOnTheMainThread) {
    TypeParam timer(nullptr);
    std::vector<uint32_t> ticks;
    bool offMain = false;
    timer.OnTimer = [&](TObject* sender) {
        EXPECT_EQ(sender, &timer);
        offMain |= std::this_thread::get_id() != MainThreadId();
        ticks.push_back(GetTickCount());
    };
    Application()->Delay(1500);  // created disabled: nothing comes
    EXPECT_TRUE(ticks.empty());
    uint32_t enabledAt = GetTickCount();
    timer.SetEnabled(true);
    ASSERT_TRUE(PumpUntil([&] { return ticks.size() >= 3; }));  // crosses the tick counter's wrap
    EXPECT_FALSE(offMain);
    EXPECT_GE(TickDiff(enabledAt, ticks[0]), 1000u);
    for (size_t i = 1; i < ticks.size(); ++i) EXPECT_GE(TickDiff(ticks[i - 1], ticks[i]), 1000u);
}

TYPED_TEST(ThreadTimerTest, DisablingStopsTheTicksAndEnablingRestartsTheWait) {
    TypeParam timer(nullptr);
    timer.SetInterval(500);
    int count = 0;
    uint32_t last = 0;
    timer.OnTimer = [&](TObject*) {
        ++count;
        last = GetTickCount();
    };
    timer.SetEnabled(true);
    ASSERT_TRUE(PumpUntil([&] { return count >= 2; }));
    timer.SetEnabled(false);
    int stopped = count;
    Application()->Delay(3000);
    EXPECT_EQ(count, stopped);

    uint32_t enabledAt = GetTickCount();
    timer.SetEnabled(true);
    ASSERT_TRUE(PumpUntil([&] { return count > stopped; }));
    EXPECT_GE(TickDiff(enabledAt, last), 500u);
}

TYPED_TEST(ThreadTimerTest, IntervalZeroTicksOnlyWithAllowZero) {
    TypeParam timer(nullptr);
    int count = 0;
    timer.OnTimer = [&](TObject*) { ++count; };
    timer.SetInterval(0);
    timer.SetEnabled(true);
    EXPECT_TRUE(timer.Enabled());
    Application()->Delay(3000);
    EXPECT_EQ(count, 0);

    timer.SetEnabled(false);
    timer.SetAllowZero(true);
    timer.SetEnabled(true);
    // Back to back, as fast as the main thread takes them.
    ASSERT_TRUE(PumpUntil([&] { return count >= 20; }));
    timer.SetEnabled(false);
    int stopped = count;
    Application()->Delay(500);
    EXPECT_EQ(count, stopped);
}

TYPED_TEST(ThreadTimerTest, ChangingTheIntervalRestartsTheWait) {
    TypeParam timer(nullptr);
    timer.SetInterval(4000);
    std::vector<uint32_t> ticks;
    timer.OnTimer = [&](TObject*) { ticks.push_back(GetTickCount()); };
    timer.SetEnabled(true);
    Application()->Delay(1000);
    ASSERT_TRUE(ticks.empty());
    uint32_t changedAt = GetTickCount();
    // Without a restart the old wait would end about 3000 ms from here.
    timer.SetInterval(3500);
    EXPECT_TRUE(timer.Enabled());
    EXPECT_EQ(timer.Interval(), 3500u);
    ASSERT_TRUE(PumpUntil([&] { return ticks.size() >= 2; }));
    EXPECT_GE(TickDiff(changedAt, ticks[0]), 3500u);
    EXPECT_GE(TickDiff(ticks[0], ticks[1]), 3500u);

    // A disabled timer stays disabled.
    timer.SetEnabled(false);
    timer.SetInterval(100);
    EXPECT_FALSE(timer.Enabled());
}

TYPED_TEST(ThreadTimerTest, SettingIntervalZeroOnARunningTimerStopsItsTicks) {
    TypeParam timer(nullptr);
    timer.SetInterval(300);
    int count = 0;
    timer.OnTimer = [&](TObject*) { ++count; };
    timer.SetEnabled(true);
    ASSERT_TRUE(PumpUntil([&] { return count >= 1; }));
    timer.SetInterval(0);
    EXPECT_TRUE(timer.Enabled());
    int at = count;
    Application()->Delay(3000);
    EXPECT_EQ(count, at);
}

TYPED_TEST(ThreadTimerTest, DestroyingWithATickPendingDoesNotDeadlock) {
    int count = 0;
    auto* timer = new TypeParam(nullptr);
    timer->SetInterval(200);
    timer->OnTimer = [&](TObject*) { ++count; };
    timer->SetEnabled(true);
    // The main thread does not pump: the worker's tick waits for it.
    Sleep(2000);
    {
        TWatchdog dog("destroying a timer with a tick pending");
        delete timer;
    }
    Application()->Delay(1000);
    EXPECT_EQ(count, 0);
}

TYPED_TEST(ThreadTimerTest, FreedWithItsOwnerWhileRunning) {
    int count = 0;
    auto* owner = new TComponent(nullptr);
    auto* timer = new TypeParam(owner);
    timer->SetInterval(100);
    timer->OnTimer = [&](TObject*) { ++count; };
    timer->SetEnabled(true);
    ASSERT_TRUE(PumpUntil([&] { return count >= 1; }));
    Sleep(500);
    {
        TWatchdog dog("freeing the owner of a running timer");
        delete owner;
    }
    int at = count;
    Application()->Delay(500);
    EXPECT_EQ(count, at);
}

TYPED_TEST(ThreadTimerTest, HandlerMayFreeTheTimer) {
    int count = 0;
    auto* timer = new TypeParam(nullptr);
    timer->SetInterval(100);
    // The handler's own data goes with the timer's handler, and is used after the free.
    timer->OnTimer = [&count, tag = std::string(64, 't')](TObject* sender) {
        {
            TWatchdog dog("freeing a timer inside its own tick");
            delete static_cast<TypeParam*>(sender);
        }
        count += tag.size() == 64;
    };
    timer->SetEnabled(true);
    ASSERT_TRUE(PumpUntil([&] { return count >= 1; }));
    Application()->Delay(500);
    EXPECT_EQ(count, 1);
}

// A raising handler is reported as the loop's own timers report theirs, and the ticks go on.
TYPED_TEST(ThreadTimerTest, AHandlerThatRaisesIsReportedAndTheTicksGoOn) {
    TypeParam timer(nullptr);
    timer.SetInterval(100);
    int count = 0;
    std::vector<std::string> reported;
    Application()->OnException = [&](TObject*, const Exception& e) { reported.push_back(e.Message()); };
    timer.OnTimer = [&](TObject*) {
        if (++count <= 2) throw EInvalidOp("Invalid floating point operation");
    };
    timer.SetEnabled(true);
    const bool ticking = PumpUntil([&] { return count >= 4; });
    Application()->OnException = nullptr;
    EXPECT_TRUE(ticking);
    EXPECT_EQ(reported, std::vector<std::string>(2, "Invalid floating point operation"));
}

class QorTimerTest : public ::testing::Test {
protected:
    QorTimerTest() : FClock(kSpeed, 0xFFFFFFFFu - 2500) {}
    TVirtualClockScope FClock;
};

TEST_F(QorTimerTest, NominalElapsedCountsIntervalsWhateverTimePassed) {
    TQorTimer timer(nullptr);
    timer.SetInterval(1000);
    int count = 0;
    uint32_t deltaSum = 0;
    timer.OnTimer = [&](TObject*) {
        deltaSum += timer.LastDelta();
        if (++count == 3) Sleep(2500);  // the main thread is busy: later ticks come late
        if (count == 10) timer.SetEnabled(false);
    };
    timer.Reset();
    timer.SetEnabled(true);
    ASSERT_TRUE(PumpUntil([&] { return count >= 10; }));
    Application()->Delay(2000);
    EXPECT_EQ(count, 10);
    EXPECT_EQ(timer.NominalElapsed(), 10000u);
    // Measured time is the sum of the deltas, across the wrap, and shows the busy spell.
    EXPECT_EQ(timer.MeasuredElapsed(), deltaSum);
    EXPECT_GE(timer.MeasuredElapsed(), 12000u);
    EXPECT_LT(timer.MeasuredElapsed(), 0x80000000u);
    EXPECT_GE(timer.LastDelta(), 1000u);
}

TEST_F(QorTimerTest, WaitsAndDeltasAcrossTheTickWrap) {
    TQorTimer timer(nullptr);
    timer.SetInterval(700);
    std::vector<uint32_t> deltas;
    timer.OnTimer = [&](TObject*) { deltas.push_back(timer.LastDelta()); };
    uint32_t start = GetTickCount();
    timer.Reset();
    timer.SetEnabled(true);
    ASSERT_TRUE(PumpUntil([&] { return deltas.size() >= 6; }));
    timer.SetEnabled(false);
    ASSERT_LT(GetTickCount(), start);  // the counter wrapped meanwhile
    for (uint32_t d : deltas) {
        EXPECT_GE(d, 700u);
        EXPECT_LT(d, 0x80000000u);
    }
}

TEST_F(QorTimerTest, RestartSetsTheTimesWithoutATick) {
    TQorTimer timer(nullptr);
    int count = 0;
    timer.OnTimer = [&](TObject*) { ++count; };
    timer.SetInterval(1000);
    timer.SetEnabled(true);
    ASSERT_TRUE(PumpUntil([&] { return count >= 2; }));
    timer.SetLapTime(123);
    int before = count;
    timer.Restart(5000);
    EXPECT_EQ(count, before);
    EXPECT_EQ(timer.NominalElapsed(), 5000u);
    EXPECT_EQ(timer.MeasuredElapsed(), 5000u);
    EXPECT_EQ(timer.ElapsedTime(), 5000u);
    EXPECT_EQ(timer.LastDelta(), 0u);
    EXPECT_EQ(timer.LapTime(), 123u);
    EXPECT_TRUE(timer.Enabled());
    // Ticks go on from there.
    ASSERT_TRUE(PumpUntil([&] { return count > before; }));
    EXPECT_EQ(timer.NominalElapsed(), 5000u + 1000u * (count - before));

    timer.ClearElapsed();
    EXPECT_EQ(timer.ElapsedTime(), 0u);
    EXPECT_EQ(timer.LapTime(), 0u);
    timer.Reset();
    EXPECT_EQ(timer.NominalElapsed(), 0u);
    EXPECT_EQ(timer.MeasuredElapsed(), 0u);
}

TEST_F(QorTimerTest, DoTimerRunsOneTickOnlyWhenEnabledWithAHandler) {
    TQorTimer timer(nullptr);
    timer.SetInterval(250);
    int count = 0;
    timer.DoTimer();  // disabled, no handler
    timer.OnTimer = [&](TObject*) { ++count; };
    timer.DoTimer();  // disabled
    EXPECT_EQ(count, 0);
    EXPECT_EQ(timer.NominalElapsed(), 0u);
    timer.SetEnabled(true);
    timer.DoTimer();
    EXPECT_EQ(count, 1);
    EXPECT_EQ(timer.NominalElapsed(), 250u);
    timer.SetEnabled(false);
}

TEST_F(QorTimerTest, CannotBeEnabledAtDesignTime) {
    TComponent form(nullptr);
    form.SetDesigning(true);
    auto* timer = new TQorTimer(&form);
    int count = 0;
    timer->OnTimer = [&](TObject*) { ++count; };
    timer->SetInterval(100);
    timer->SetEnabled(true);
    EXPECT_FALSE(timer->Enabled());
    Application()->Delay(1000);
    EXPECT_EQ(count, 0);
}

TEST(TumoThreadTimerTest, TimesBelongToTheUser) {
    TVirtualClockScope clock(kSpeed);
    TTumoThreadTimer timer(nullptr);
    EXPECT_EQ(timer.ElapsedTime(), 0u);
    EXPECT_EQ(timer.LapTime(), 0u);
    timer.SetElapsedTime(3600000);
    timer.SetLapTime(60000);
    int count = 0;
    timer.OnTimer = [&](TObject*) { ++count; };
    timer.SetInterval(200);
    timer.SetEnabled(true);
    ASSERT_TRUE(PumpUntil([&] { return count >= 3; }));
    EXPECT_EQ(timer.ElapsedTime(), 3600000u);
    EXPECT_EQ(timer.LapTime(), 60000u);
    timer.ClearTimes();
    EXPECT_EQ(timer.ElapsedTime(), 0u);
    EXPECT_EQ(timer.LapTime(), 0u);
}

}  // namespace
