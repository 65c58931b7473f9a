// The application object: pumping waits, queued and synchronised calls, framework timers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "platform/framework/Application.h"
#include "platform/framework/Dialogs.h"
#include "platform/rtl/Thread.h"
#include "platform/rtl/Tick.h"
#include "tests/support/WaitUntil.h"

namespace {

class ApplicationTest : public ::testing::Test {
protected:
    ApplicationTest() : FClock(20.0, 0xFFFFFFFFu - 1500) {}
    ~ApplicationTest() override { Application()->ResetTerminated(); }
    TVirtualClockScope FClock;
};

TEST_F(ApplicationTest, TimerFiresInsideDelayOneIntervalAfterEnabling) {
    TTimer timer(nullptr);
    timer.SetEnabled(false);
    timer.SetInterval(100);
    std::vector<uint32_t> fired;  // the tick each firing started its next interval at
    timer.OnTimer = [&](TObject* sender) {
        EXPECT_EQ(sender, &timer);
        fired.push_back(timer.DueTick() - timer.Interval());
    };
    uint32_t enabledAt = GetTickCount();
    timer.SetEnabled(true);
    Application()->Delay(1000);  // crosses the tick counter's wrap
    uint32_t spent = TicksSince(enabledAt);
    EXPECT_GE(spent, 1000u);
    ASSERT_FALSE(fired.empty());
    EXPECT_GE(TickDiff(enabledAt, fired[0]), 100u);
    // Each tick restarts the interval, so there cannot be more than one per interval.
    EXPECT_LE(fired.size(), spent / 100);
    for (size_t i = 1; i < fired.size(); ++i) EXPECT_GE(TickDiff(fired[i - 1], fired[i]), 100u);
}

TEST_F(ApplicationTest, IntervalZeroOrDisabledNeverFires) {
    int zero = 0, disabled = 0;
    TTimer a(nullptr), b(nullptr);
    a.SetInterval(0);
    a.OnTimer = [&](TObject*) { ++zero; };
    b.SetInterval(50);
    b.SetEnabled(false);
    b.OnTimer = [&](TObject*) { ++disabled; };
    Application()->Delay(500);
    EXPECT_EQ(zero, 0);
    EXPECT_EQ(disabled, 0);
}

TEST_F(ApplicationTest, ChangingTheIntervalRestartsTheWait) {
    TTimer timer(nullptr);
    timer.SetInterval(4000);
    uint32_t first = 0;
    int count = 0;
    timer.OnTimer = [&](TObject*) {
        if (count++ == 0) first = GetTickCount();
    };
    Application()->Delay(1000);
    ASSERT_EQ(count, 0);
    uint32_t changedAt = GetTickCount();
    // Without a restart the old wait would end 2500 ms from here.
    timer.SetInterval(3500);
    Application()->Delay(5000);
    ASSERT_GT(count, 0);
    EXPECT_GE(TickDiff(changedAt, first), 3500u);
}

TEST_F(ApplicationTest, HandlerIsNotReenteredWhileItPumps) {
    TTimer slow(nullptr), fast(nullptr);
    slow.SetInterval(50);
    fast.SetInterval(50);
    int depth = 0, maxDepth = 0, slowCount = 0, fastCount = 0, fastInsideSlow = 0;
    slow.OnTimer = [&](TObject*) {
        ++slowCount;
        maxDepth = std::max(maxDepth, ++depth);
        if (slowCount == 1) {
            int before = fastCount;
            Application()->Delay(400);  // nested pumping: other timers keep running
            fastInsideSlow = fastCount - before;
        }
        --depth;
    };
    fast.OnTimer = [&](TObject*) { ++fastCount; };
    Application()->Delay(800);
    EXPECT_EQ(maxDepth, 1);
    EXPECT_GE(slowCount, 1);
    EXPECT_GT(fastInsideSlow, 0);
}

TEST_F(ApplicationTest, TimerMayFreeItselfInItsHandler) {
    auto* timer = new TTimer(nullptr);
    timer->SetInterval(50);
    size_t count = 0;
    // The handler's own data goes with the timer's handler, and is used after the free.
    timer->OnTimer = [&count, tag = std::string(64, 't')](TObject* sender) {
        delete static_cast<TTimer*>(sender);
        count += tag.size();
    };
    Application()->Delay(500);
    EXPECT_EQ(count, 64u);
}

TEST_F(ApplicationTest, TerminateEndsDelayEarly) {
    TTimer timer(nullptr);
    timer.SetInterval(100);
    timer.OnTimer = [&](TObject*) { Application()->Terminate(); };
    uint32_t start = GetTickCount();
    Application()->Delay(1000000);
    EXPECT_TRUE(Application()->Terminated());
    EXPECT_LT(TicksSince(start), 1000000u);
    // While terminated, a pumping wait returns at once.
    timer.SetEnabled(false);
    start = GetTickCount();
    Application()->Delay(1000000);
    EXPECT_LT(TicksSince(start), 1000000u);
}

TEST_F(ApplicationTest, TerminateFromAnotherThreadEndsRun) {
    int queued = 0;
    Application()->QueueCall([&] { ++queued; });
    std::thread t([] {
        Sleep(200);
        Application()->Terminate();
    });
    Application()->Run();
    t.join();
    EXPECT_EQ(queued, 1);
    EXPECT_TRUE(Application()->Terminated());
}

TEST_F(ApplicationTest, QueuedAndSynchronisedCallsRunInsideDelay) {
    std::atomic<bool> queued{false}, synced{false}, done{false};
    std::thread::id mainId = std::this_thread::get_id();
    bool onMain = false, ok = false;
    std::thread t([&] {
        Application()->QueueCall([&] { queued = true; });
        ok = SynchronizeOnMainThread([&] {
            onMain = std::this_thread::get_id() == mainId;
            synced = true;
        });
        done = true;
    });
    WaitUntil([&] { return queued && done; }, TDeadline::After(std::chrono::seconds(10)),
              [] { Application()->Delay(100); });
    t.join();
    EXPECT_TRUE(queued);
    EXPECT_TRUE(synced);
    EXPECT_TRUE(ok);
    EXPECT_TRUE(onMain);
}

TEST_F(ApplicationTest, ExceptionInAHandlerIsShownAndTheLoopGoesOn) {
    TRecordingMessageScope boxes;
    Application()->SetTitle("ANT Zelto");
    TTimer timer(nullptr);
    timer.SetInterval(100);
    int count = 0;
    timer.OnTimer = [&](TObject*) {
        if (++count == 1) throw std::runtime_error("bad tick");
        if (count == 2) throw EAbort("silent");
    };
    WaitUntil([&] { return count >= 3; }, TDeadline::After(std::chrono::seconds(10)),
              [] { Application()->Delay(100); });
    EXPECT_GE(count, 3);
    ASSERT_EQ(boxes.Handler().Boxes.size(), 1u);
    EXPECT_EQ(boxes.Handler().Boxes[0].text, "bad tick");
    EXPECT_EQ(boxes.Handler().Boxes[0].caption, "ANT Zelto");
    EXPECT_EQ(boxes.Handler().Boxes[0].flags, MB_OK | MB_ICONERROR);
}

TEST_F(ApplicationTest, OnExceptionTakesThePlaceOfTheBox) {
    TRecordingMessageScope boxes;
    std::vector<std::string> seen;
    Application()->OnException = [&](TObject* sender, const Exception& e) {
        EXPECT_EQ(sender, Application());
        seen.push_back(e.Message());
    };
    for (auto raise : std::vector<std::function<void()>>{[] { throw Exception("engine"); },
                                                         [] { throw std::runtime_error("std"); },
                                                         [] { throw EAbort("quiet"); }}) {
        try {
            raise();
        } catch (...) {
            Application()->HandleException();
        }
    }
    Application()->OnException = nullptr;
    EXPECT_EQ(seen, (std::vector<std::string>{"engine", "std"}));
    EXPECT_TRUE(boxes.Handler().Boxes.empty());
}

TEST_F(ApplicationTest, TimersMoveToANewEventLoop) {
    TTimer timer(nullptr);
    timer.SetInterval(100);
    int count = 0;
    timer.OnTimer = [&](TObject*) { ++count; };
    Application()->SetEventLoop(CreatePlainEventLoop());
    Application()->Delay(500);
    EXPECT_GT(count, 0);
}

TEST(DialogsTest, RecordingHandlerAndShowMessage) {
    Application()->SetTitle("Title");
    {
        TRecordingMessageScope scope;
        scope.Handler().Answer = IDNO;
        EXPECT_EQ(MessageBox("Question?", "Cap", MB_YESNO | MB_ICONQUESTION), IDNO);
        ShowMessage("Hello");
        MessageBeep(MB_ICONHAND);
        auto& boxes = scope.Handler().Boxes;
        ASSERT_EQ(boxes.size(), 2u);
        EXPECT_EQ(boxes[0].caption, "Cap");
        EXPECT_EQ(boxes[0].flags, MB_YESNO | MB_ICONQUESTION);
        EXPECT_EQ(boxes[1].text, "Hello");
        EXPECT_EQ(boxes[1].caption, "Title");
        EXPECT_EQ(scope.Handler().Beeps, std::vector<unsigned>{MB_ICONHAND});
    }
    EXPECT_EQ(dynamic_cast<TRecordingMessageHandler*>(&MessageHandler()), nullptr);
}

}  // namespace
