// The application loop over Qt and the Qt message boxes.
#include <QEventLoop>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <thread>

#include "ConsoleTestSupport.h"

namespace {

class QtLoopTest : public ConsoleTest {};

TEST_F(QtLoopTest, FrameworkTimerTicksInsidePumpingWaitOnTheVirtualClock) {
    TTimer timer(nullptr);
    int ticks = 0;
    timer.SetInterval(100);
    timer.OnTimer = [&](TObject*) { ++ticks; };
    const uint32_t start = GetTickCount();
    Application()->Delay(1000);
    EXPECT_GE(TicksSince(start), 1000u);
    // On a busy machine the whole wait can pass in one slice of real time; the timer then
    // ticks once for it (missed ticks do not pile up), so the test waits on for a second.
    EXPECT_TRUE(WaitUntil([&] { return ticks >= 2; }, 5000));
    EXPECT_LE(ticks, static_cast<int>(TicksSince(start) / 100) + 1);
    timer.SetEnabled(false);
    const int stopped = ticks;
    Application()->Delay(300);
    EXPECT_EQ(ticks, stopped);
}

TEST_F(QtLoopTest, SynchronizedCallFromAnotherThreadRunsOnTheMainThreadDuringAWait) {
    std::atomic<bool> ran{false}, onMain{false};
    std::thread worker([&] {
        SynchronizeOnMainThread([&] {
            onMain = IsMainThread();
            ran = true;
        });
    });
    EXPECT_TRUE(WaitUntil([&] { return ran.load(); }, 5000));
    worker.join();
    EXPECT_TRUE(onMain);
}

// A modal dialog runs a Qt loop of its own: synchronised calls, queued calls and
// framework timers must keep running inside it.
TEST_F(QtLoopTest, CallsAndTimersKeepRunningInsideANestedQtLoop) {
    QEventLoop nested;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &nested, &QEventLoop::quit);
    guard.start(10000);

    std::atomic<bool> synced{false};
    bool queued = false;
    int ticks = 0;
    TTimer timer(nullptr);
    timer.SetInterval(50);
    timer.OnTimer = [&](TObject*) {
        if (++ticks >= 3 && synced && queued) nested.quit();
    };
    std::thread worker([&] {
        SynchronizeOnMainThread([&] { synced = true; });
        Application()->QueueCall([&] { queued = true; });
    });
    nested.exec();
    worker.join();
    EXPECT_TRUE(synced);
    EXPECT_TRUE(queued);
    EXPECT_GE(ticks, 3);
}

TEST_F(QtLoopTest, QueuedCallsRunInOrderAndAFailingOneShowsTheErrorBox) {
    std::vector<int> order;
    Application()->QueueCall([&] { order.push_back(1); });
    Application()->QueueCall([] { throw EConvertError("'x' is not a valid integer value"); });
    Application()->QueueCall([&] { order.push_back(2); });
    EXPECT_TRUE(WaitUntil([&] { return order.size() == 2; }, 2000));
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    ASSERT_EQ(Messages().Boxes.size(), 1u);
    EXPECT_EQ(Messages().Boxes[0].text, "'x' is not a valid integer value");
    EXPECT_EQ(Messages().Boxes[0].caption, "ANT Zelto");
}

TEST_F(QtLoopTest, RunReturnsOnTerminate) {
    std::thread worker([] { Application()->Terminate(); });
    Application()->Run();
    worker.join();
    EXPECT_TRUE(Application()->Terminated());
    Application()->ResetTerminated();
}

struct TShownBox {
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
};

// Presses `button` of the next modal box and records what it showed.
void AnswerNextBox(QMessageBox::StandardButton button, TShownBox& shown) {
    QTimer::singleShot(0, [button, &shown] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        shown = {box->windowTitle(), box->text(), box->icon()};
        if (QAbstractButton* b = box->button(button)) b->click();
    });
}

TEST_F(QtLoopTest, QtMessageBoxMapsFlagsAndAnswers) {
    TQtMessageHandler handler;
    struct Case {
        unsigned flags;
        QMessageBox::StandardButton press;
        int result;
        QMessageBox::Icon icon;
    } cases[] = {
        {MB_YESNO | MB_ICONQUESTION, QMessageBox::No, IDNO, QMessageBox::Question},
        {MB_OK, QMessageBox::Ok, IDOK, QMessageBox::NoIcon},
        {MB_OKCANCEL | MB_ICONWARNING, QMessageBox::Cancel, IDCANCEL, QMessageBox::Warning},
        {MB_OK | MB_ICONERROR | MB_SYSTEMMODAL | MB_TOPMOST, QMessageBox::Ok, IDOK, QMessageBox::Critical},
        {MB_OK | MB_ICONINFORMATION, QMessageBox::Ok, IDOK, QMessageBox::Information},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flags);
        TShownBox shown;
        AnswerNextBox(c.press, shown);
        EXPECT_EQ(handler.MessageBox("Connesso", "ANT Zelto", c.flags), c.result);
        EXPECT_EQ(shown.title, "ANT Zelto");
        EXPECT_EQ(shown.text, "Connesso");
        EXPECT_EQ(shown.icon, c.icon);
    }
}

}  // namespace
