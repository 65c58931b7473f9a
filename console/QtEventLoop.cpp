// The application loop over Qt's event dispatcher. Framework timers are polled with the
// runtime's tick source (so the virtual clock of the tests drives them too); one Qt timer
// wakes the dispatcher when the next of them is due. Posted and synchronised calls run
// from a queued Qt call, so a modal dialog's own loop keeps them flowing.
#include "console/QtEventLoop.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/rtl/Thread.h"
#include "platform/rtl/Tick.h"

namespace {

// Real milliseconds for a wait of `ms` clock milliseconds, rounded up.
int RealMs(uint32_t ms) {
    const int64_t ns = TickSource().RealDuration(ms).count();
    const int64_t real = (ns + 999999) / 1000000;
    return static_cast<int>(std::min<int64_t>(real, INT_MAX));
}

// The thread sanitizer cannot see Qt's own locks: these tell it that what one thread made
// before posting an event is seen by the thread that receives it.
#if defined(__SANITIZE_THREAD__)
#define ZELTO_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZELTO_TSAN 1
#endif
#endif
#ifdef ZELTO_TSAN
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
void HandOverSent(QEvent* e) {
    __tsan_release(e);
}
void HandOverReceived(QEvent* e) {
    __tsan_acquire(e);
}
#else
void HandOverSent(QEvent*) {}
void HandOverReceived(QEvent*) {}
#endif

// A wake-up of the main thread's dispatcher, posted from any thread.
class TWakeEvent final : public QEvent {
public:
    TWakeEvent() : QEvent(Type()) {}
    static QEvent::Type Type() {
        static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return type;
    }
};

// The loop's object on the main thread: receives the wake-ups.
class TLoopObject final : public QObject {
public:
    explicit TLoopObject(std::function<void()> onWake) : FOnWake(std::move(onWake)) {}
    bool event(QEvent* e) override {
        HandOverReceived(e);
        if (e->type() != TWakeEvent::Type()) return QObject::event(e);
        FOnWake();
        return true;
    }

private:
    std::function<void()> FOnWake;
};

class TQtEventLoop final : public IEventLoop {
public:
    TQtEventLoop()
        : FHelper(std::make_unique<TLoopObject>([this] {
              FWakePosted = false;
              RunQueued();
          })) {
        FTimerWake = new QTimer(FHelper.get());
        FTimerWake->setSingleShot(true);
        FTimerWake->setTimerType(Qt::PreciseTimer);
        QObject::connect(FTimerWake, &QTimer::timeout, FHelper.get(), [this] {
            FTimers.FireDue();
            ArmTimerWake();
        });
    }

    bool ProcessPending() override {
        bool any = RunQueued();
        if (QAbstractEventDispatcher* d = QAbstractEventDispatcher::instance())
            any = d->processEvents(QEventLoop::AllEvents) || any;
        any = FTimers.FireDue() || any;
        ArmTimerWake();
        return any;
    }

    void WaitForWork(uint32_t ms) override {
        if (ms == 0) return;
        ArmTimerWake();
        QAbstractEventDispatcher* d = QAbstractEventDispatcher::instance();
        if (!d) return;
        // The limit's own timer event ends the dispatcher's wait.
        QTimer limit;
        if (ms != INFINITE) {
            limit.setSingleShot(true);
            limit.setTimerType(Qt::PreciseTimer);
            limit.start(RealMs(ms));
        }
        d->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }

    void Wake() override {
        if (FWakePosted.exchange(true)) return;
        auto* e = new TWakeEvent;
        HandOverSent(e);
        QCoreApplication::postEvent(FHelper.get(), e);
    }

    void Post(std::function<void()> fn) override {
        {
            std::lock_guard<std::mutex> lk(FMutex);
            FPosted.push_back(std::move(fn));
        }
        Wake();
    }

    void TimerChanged(TTimer* t) override {
        FTimers.Add(t);
        ArmTimerWake();
    }

    void TimerRemoved(TTimer* t) override {
        FTimers.Remove(t);
        ArmTimerWake();
    }

private:
    // Synchronised calls, then the posted calls that were waiting on entry.
    bool RunQueued() {
        bool any = CheckSynchronize();
        return RunPostedCalls(FMutex, FPosted) || any;
    }

    void ArmTimerWake() {
        const uint32_t wait = FTimers.NextDueIn(GetTickCount());
        if (wait == INFINITE)
            FTimerWake->stop();
        else
            FTimerWake->start(RealMs(wait));
    }

    std::unique_ptr<TLoopObject> FHelper;
    QTimer* FTimerWake = nullptr;  // owned by FHelper
    std::atomic<bool> FWakePosted{false};
    std::mutex FMutex;
    std::deque<std::function<void()>> FPosted;
    TLoopTimers FTimers;
};

QString FromBytes(const std::string& s) {
    return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

}  // namespace

std::unique_ptr<IEventLoop> CreateQtEventLoop() {
    return std::make_unique<TQtEventLoop>();
}

int TQtMessageHandler::MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
        std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
        return IDOK;
    }
    if (!IsMainThread()) {
        int result = IDCANCEL;
        SynchronizeOnMainThread([&] { result = MessageBox(text, caption, flags); });
        return result;
    }
    QMessageBox box;
    box.setWindowTitle(FromBytes(caption));
    box.setText(FromBytes(text));
    static const std::pair<unsigned, QMessageBox::Icon> icons[] = {
        {MB_ICONERROR, QMessageBox::Critical},
        {MB_ICONQUESTION, QMessageBox::Question},
        {MB_ICONWARNING, QMessageBox::Warning},
        {MB_ICONINFORMATION, QMessageBox::Information},
    };
    for (const auto& [flag, icon] : icons)
        if ((flags & 0xF0) == flag) box.setIcon(icon);
    struct Choice {
        QMessageBox::StandardButton button;
        int id;
    };
    std::vector<Choice> choices;
    switch (flags & 0x0F) {
        case MB_OKCANCEL:
            choices = {{QMessageBox::Ok, IDOK}, {QMessageBox::Cancel, IDCANCEL}};
            break;
        case 0x3:
            choices = {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}, {QMessageBox::Cancel, IDCANCEL}};
            break;
        case MB_YESNO:
            choices = {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}};
            break;
        case 0x5:
            choices = {{QMessageBox::Retry, 4}, {QMessageBox::Cancel, IDCANCEL}};
            break;
        default:
            choices = {{QMessageBox::Ok, IDOK}};
            break;
    }
    QMessageBox::StandardButtons buttons;
    for (const Choice& c : choices) buttons |= c.button;
    box.setStandardButtons(buttons);
    if (flags & (MB_TOPMOST | MB_SYSTEMMODAL)) box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
    QAbstractButton* clicked = box.clickedButton();
    for (const Choice& c : choices)
        if (clicked && box.standardButton(clicked) == c.button) return c.id;
    // Closed without a button: the framework answers with the escape choice.
    return choices.size() == 1 ? choices[0].id : IDCANCEL;
}

void TQtMessageHandler::Beep(unsigned /*type*/) {
    if (QCoreApplication::instance())
        QApplication::beep();
    else
        std::fputc('\a', stderr);
}

void InstallQtApplication() {
    static TQtMessageHandler handler;
    Application()->SetEventLoop(CreateQtEventLoop());
    SetMessageHandler(&handler);
}
