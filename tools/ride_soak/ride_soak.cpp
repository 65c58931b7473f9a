// Long ride of the console's main window against the simulated stick, on the virtual
// clock: the rider pedals at changing rates while pages are lost at random, devices go
// silent and the stick vanishes and comes back. The rider acts as a user would: connects,
// starts the ride, and reconnects when the window says the trainer is gone or the live
// values freeze. Checks that the window shows the messages its component reports (and
// no others), that nothing crashes, and that the ride runs again once the faults stop;
// reports the faults, the messages and the memory the process holds as the ride goes on.
//
//   ride_soak [--minutes M] [--seed S] [--clock-speed X] [--debug]
//
// Everything random comes from the seed, printed first; the same seed gives the same
// faults at the same clock times (thread timing aside).
#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "console/QtEventLoop.h"
#include "console/Unit1.h"
#include "platform/ant/AntSim.h"
#include "platform/framework/Application.h"
#include "platform/framework/Dialogs.h"
#include "platform/rtl/Thread.h"
#include "platform/rtl/Tick.h"
#include "tests/support/SimStickTest.h"
#include "tools/tool_options/ToolOptions.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RIDE_SOAK_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define RIDE_SOAK_ASAN 1
#endif

namespace {

const std::string DongleText = "Usb dongle not found! Check it and restart the software.";

// What the commands the rider uses may show: their results and the link's time-outs.
const std::set<std::string>& CommandTexts() {
    static const std::set<std::string> texts = {
        "Eprom Read Succefully",         "Eprom Read Failed",
        "Time Out Read new EPROM!",      "Time Out Read Console EPROM!",
        "Time Out Read Total Distance!", "console connessa!!"};
    return texts;
}

// Resident memory and the allocator's bytes in use (the latter not under the address
// sanitizer, whose allocator keeps freed blocks in quarantine).
struct TMemory {
    long RssKb = 0;
    long HeapKb = -1;
};

TMemory MemoryNow() {
    TMemory m;
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    m.RssKb = resident * (::sysconf(_SC_PAGESIZE) / 1024);
#ifndef RIDE_SOAK_ASAN
    m.HeapKb = static_cast<long>(mallinfo2().uordblks / 1024);
#endif
    return m;
}

// The stick in use and the faults put on it, shared by the fault thread and the rider.
class TAir {
public:
    explicit TAir(uint32_t seed) : FSeed(seed) { Plug(); }

    std::shared_ptr<TAntSimStick> Stick() {
        std::lock_guard<std::mutex> g(FMutex);
        return FStick;
    }
    bool Present() {
        std::lock_guard<std::mutex> g(FMutex);
        return FStick != nullptr;
    }
    // The stick is pulled: it stops talking, and no opening finds it.
    void Pull() {
        std::shared_ptr<TAntSimStick> s;
        {
            std::lock_guard<std::mutex> g(FMutex);
            s.swap(FStick);
        }
        AntSimRemove(0);
        if (s) s->Close();
    }
    void Plug() {
        TAntSimConfig config;
        config.Seed = FSeed + FPlugs++;
        auto s = AntSimInstall(0, config);
        std::lock_guard<std::mutex> g(FMutex);
        FStick = s;
    }

private:
    std::mutex FMutex;
    std::shared_ptr<TAntSimStick> FStick;
    uint32_t FSeed;
    uint32_t FPlugs = 0;
};

TAntSimDevice* DeviceOf(TAntSimStick& s, int which) {
    switch (which) {
        case 0:
            return &s.Trainer();
        case 1:
            return &s.SpeedCadence();
        case 2:
            return &s.HeartRate();
        default:
            return &s.Console();
    }
}
const char* DeviceName(int which) {
    static const char* names[] = {"trainer", "speed/cadence", "heart-rate strap", "console"};
    return names[which];
}

// Puts faults on the air at random clock times until told to stop.
class TFaults {
public:
    TFaults(TAir& air, uint32_t seed, uint32_t quietFrom) : FAir(air), FRng(seed), FQuietFrom(quietFrom) {}
    void Run(const std::atomic<bool>& stop) {
        const uint32_t start = FStart = GetTickCount();
        while (!stop && TicksSince(start) < FQuietFrom) {
            if (!Wait(stop, 10000 + FRng() % 50000) || TicksSince(start) >= FQuietFrom) break;
            const int kind = FRng() % 10;
            auto stick = FAir.Stick();
            if (!stick) continue;
            const int which = FRng() % 4;
            TAntSimDevice* d = DeviceOf(*stick, which);
            if (kind < 4) {
                const int n = 1 + FRng() % 30;
                Count("page loss burst",
                      std::string(DeviceName(which)) + ", " + std::to_string(n) + " pages");
                d->LosePages(n);
            } else if (kind < 6) {
                const double p = 0.05 + (FRng() % 50) / 100.0;
                Count("lossy air", std::string(DeviceName(which)) + ", p=" + std::to_string(p));
                d->SetPageLoss(p);
                Wait(stop, 10000 + FRng() % 50000);
                d->SetPageLoss(0);
            } else if (kind < 8) {
                const uint32_t ms = 5000 + FRng() % 85000;
                Count("device silent",
                      std::string(DeviceName(which)) + ", " + std::to_string(ms / 1000) + " s");
                d->SetPresent(false);
                Wait(stop, ms);
                d->SetPresent(true);
            } else {
                const uint32_t ms = 5000 + FRng() % 55000;
                Count("stick vanished", std::to_string(ms / 1000) + " s");
                FAir.Pull();
                Wait(stop, ms);
                FAir.Plug();
            }
        }
    }
    std::map<std::string, int> Counts() {
        std::lock_guard<std::mutex> g(FMutex);
        return FCounts;
    }

private:
    bool Wait(const std::atomic<bool>& stop, uint32_t ms) {
        const uint32_t start = GetTickCount();
        while (!stop && TicksSince(start) < ms) Sleep(std::min<uint32_t>(500, ms - TicksSince(start)));
        return !stop;
    }
    void Count(const std::string& kind, const std::string& detail) {
        std::lock_guard<std::mutex> g(FMutex);
        ++FCounts[kind];
        std::printf("  %7.1f s  %s: %s\n", TicksSince(FStart) / 1000.0, kind.c_str(), detail.c_str());
        std::fflush(stdout);
    }

    TAir& FAir;
    std::mt19937 FRng;
    uint32_t FQuietFrom;
    uint32_t FStart = 0;
    std::mutex FMutex;
    std::map<std::string, int> FCounts;
};

struct TOptions {
    int32_t Minutes = 4;
    uint32_t Seed = 1;
    double ClockSpeed = 100;
    bool Debug = false;  // the link's and the stick's state at each frozen ride
};

// The ride: the window on the air, the rider's choices, and what was seen and shown.
class TRide {
public:
    TRide(const TOptions& opt, TAir& air, TRecordingMessageScope& messages)
        : FOpt(opt), FAir(air), FMessages(messages), FRider(opt.Seed ^ 0x5eed) {
        FForm = std::make_unique<TForm1>();
        FDevice = FForm->TreviaDeviceANT1.get();
        // The component's own reports, besides the window's boxes.
        FDevice->OnHeartConnection = [this](TObject*) { ++Events["heart strap found"]; };
        FDevice->OnHeartConnectionLost = [this](TObject*) { ++Events["heart data missing (per step)"]; };
        const TNotifyEvent show = FDevice->OnStats;
        FDevice->OnStats = [this, show](TObject* s) {
            show(s);
            ++Steps;
            if (FDevice->GetSpeed() != FLastSpeed)
                FLastSpeed = FDevice->GetSpeed(), FSpeedChanged = GetTickCount();
        };
        // An impatient user: a Disconnect click a few seconds after a command, which may
        // land inside the command's wait.
        FImpatience.SetEnabled(false);
        FImpatience.OnTimer = [this](TObject*) {
            FImpatience.SetEnabled(false);
            Act(FInCommand ? "disconnect during a command's wait" : "disconnect (impatient)");
            Click(FForm->Button2);
            FRiding = false;
            FNextTry = TicksSince(FStart) + 2000;
        };
    }

    // Rides for `rideMs` clock milliseconds, the rider acting as the window asks.
    void Ride(uint32_t rideMs) {
        FStart = GetTickCount();
        bool middleTaken = false;
        uint32_t nextSample = 0;
        while (TicksSince(FStart) < rideMs) {
            Application()->Delay(500);
            const uint32_t now = TicksSince(FStart);
            Pedal(now);
            for (const std::string& b : NewBoxes()) HandleBox(b);
            if (FRiding && now >= FNextCommand && now + 60000 < rideMs) {
                FNextCommand = now + 20000 + FRider() % 100000;
                Command();
            }
            if (FRiding && FDevice->GetCompetitorState() != cstRunning) {
                Failures.push_back("the ride stopped without a message at " + std::to_string(now / 1000) +
                                   " s");
                FRiding = false;
            }
            // Values frozen for 30 s: the user starts over.
            if (FRiding && TicksSince(FSpeedChanged) > 30000) StartOver(now);
            if (!FRiding && now >= FNextTry) ConnectAndStart();
            const TMemory m = MemoryNow();
            Peak.RssKb = std::max(Peak.RssKb, m.RssKb);
            Peak.HeapKb = std::max(Peak.HeapKb, m.HeapKb);
            if (AtStart.RssKb == 0 && FRiding) AtStart = m;
            if (!middleTaken && now >= rideMs / 2) AtMiddle = m, middleTaken = true;
            if (now >= nextSample) {
                nextSample += rideMs / 10;
                std::printf("  %7.1f s  memory %ld kB", now / 1000.0, m.RssKb);
                if (m.HeapKb >= 0) std::printf(", heap %ld kB", m.HeapKb);
                std::printf(", radio log %d lines, %d steps\n", FForm->Memo1->Lines().Count(), Steps);
                std::fflush(stdout);
            }
        }
        AtEnd = MemoryNow();
        FImpatience.SetEnabled(false);
    }

    // After the quiet minutes the ride runs on live values; then the rider stops.
    void Finish() {
        const int stepsBefore = Steps;
        const double speedBefore = FLastSpeed;
        if (auto s = FAir.Stick()) s->SpeedCadence().SetWheelRpm(777);
        // Five seconds of the ride, longer (up to 20) while a busy machine delays the steps.
        Application()->Delay(5000);
        for (int waited = 5000; waited < 20000 && Steps - stepsBefore < 3; waited += 500)
            Application()->Delay(500);
        if (!FRiding || FDevice->GetCompetitorState() != cstRunning || !FDevice->Connected())
            Failures.push_back("the ride is not running at its end");
        if (Steps - stepsBefore < 3) Failures.push_back("no statistics steps at the end of the ride");
        if (FLastSpeed == speedBefore) Failures.push_back("the speed does not follow the rider at the end");
        Click(FForm->btn5);
        Click(FForm->Button2);
        for (const std::string& b : NewBoxes())
            if (b != "console connessa!!") Failures.push_back("unexpected box \"" + b + "\" at the end");
        FForm.reset();
    }

    std::vector<std::string> Failures;
    std::map<std::string, int> Boxes, Events, Actions;
    TMemory AtStart, AtMiddle, AtEnd, Peak;
    int Steps = 0;

private:
    // The boxes shown since the last call.
    std::vector<std::string> NewBoxes() {
        std::vector<std::string> out;
        auto& all = FMessages.Handler().Boxes;
        for (; FSeen < all.size(); ++FSeen) {
            out.push_back(all[FSeen].text);
            ++Boxes[all[FSeen].text];
        }
        return out;
    }

    void Act(const std::string& what) {
        ++Actions[what];
        std::printf("  %7.1f s  rider: %s\n", TicksSince(FStart) / 1000.0, what.c_str());
        std::fflush(stdout);
    }

    // The rider's effort changes every few seconds.
    void Pedal(uint32_t now) {
        if (now - FLastPedal < 5000) return;
        FLastPedal = now;
        if (auto s = FAir.Stick()) {
            s->SpeedCadence().SetWheelRpm(250 + FRider() % 300);
            s->SpeedCadence().SetCadence(55 + FRider() % 50);
            s->HeartRate().SetHeartRate(static_cast<uint8_t>(90 + FRider() % 80));
        }
    }

    // Every box is one the window or its component shows for what happened.
    void HandleBox(const std::string& b) {
        const uint32_t now = TicksSince(FStart);
        if (b == "Disconnesso!!!") {
            if (FDisconnectedSinceConnect)
                Failures.push_back("\"Disconnesso!!!\" twice for one loss at " + std::to_string(now / 1000) +
                                   " s");
            FDisconnectedSinceConnect = true;
            FRiding = false;
            FNextTry = now + 3000;
        } else if (FInCommand && CommandTexts().count(b) == 0) {
            Failures.push_back("unexpected box \"" + b + "\" after a command at " +
                               std::to_string(now / 1000) + " s");
        } else if (!FInCommand && b != "console connessa!!") {
            Failures.push_back("unexpected box \"" + b + "\" at " + std::to_string(now / 1000) + " s");
        }
    }

    void ConnectAndStart() {
        const bool present = FAir.Present();
        Act("connect");
        Click(FForm->Button1);
        const std::vector<std::string> got = NewBoxes();
        // Every attempt ends with its verdict; the dongle box comes only without a stick.
        const bool dongle = std::find(got.begin(), got.end(), DongleText) != got.end();
        if (got.empty() || (got.back() != "Connesso" && got.back() != "NON Connesso !!"))
            Failures.push_back("a connect at " + std::to_string(TicksSince(FStart) / 1000) +
                               " s ended without its verdict");
        if (dongle && present && FAir.Present())
            Failures.push_back("the dongle box with the stick present at " +
                               std::to_string(TicksSince(FStart) / 1000) + " s");
        for (const std::string& b : got)
            if (b != "Connesso" && b != "NON Connesso !!" && b != DongleText) HandleBox(b);
        if (!got.empty() && got.back() == "Connesso" && FDevice->Connected()) {
            Click(FForm->Button62);
            Act("start");
            FRiding = true;
            FDisconnectedSinceConnect = false;
            FSpeedChanged = GetTickCount();
        } else {
            FNextTry = TicksSince(FStart) + 10000;
        }
    }

    // One of the window's commands, now and then with an impatient Disconnect after it.
    void Command() {
        static const char* names[] = {"send resistance",     "read total distance", "read trainer memory",
                                      "read console memory", "console selected",    "device numbers"};
        const int which = static_cast<int>(FRider() % std::size(names));
        Act(names[which]);
        if (FRider() % 4 == 0) {
            FImpatience.SetInterval(1000 + FRider() % 8000);
            FImpatience.SetEnabled(true);
        }
        FInCommand = true;
        switch (which) {
            case 0:
                FForm->TxtTreviaResistance->SetValue(static_cast<int32_t>(FRider() % 256));
                Click(FForm->Button4);
                break;
            case 1:
                Click(FForm->Button6);
                break;
            case 2:
                Click(FForm->btn_ReadEprom);
                break;
            case 3:
                Click(FForm->Button3);
                break;
            case 4:
                FForm->CheckBox1->click();
                break;
            default:
                Click(FForm->Button9);
        }
        for (const std::string& b : NewBoxes()) HandleBox(b);
        FInCommand = false;
    }

    void StartOver(uint32_t now) {
        Act("reconnect (values frozen)");
        if (FDevice->GetCompetitorState() == cstRunning && !FDevice->GetTimerStatsEnabled())
            Failures.push_back("the ride runs without statistics at " + std::to_string(now / 1000) + " s");
        if (FOpt.Debug) {
            std::printf("     steps %d state %d timer %d speed %g trainer %d sc %d hr %d kb %d quality %d",
                        Steps, FDevice->GetCompetitorState(), FDevice->GetTimerStatsEnabled(),
                        FDevice->GetSpeed(), FDevice->Connected(), FDevice->ConnectedTrainer(),
                        FDevice->ConnectedHr(), FDevice->ConnectedKeyboard(), FDevice->GetLinkQuality());
            if (auto st = FAir.Stick())
                for (int c = 0; c < 4; ++c)
                    std::printf(" ch%d=%d/%u", c, st->Channel(c).State, st->Channel(c).DeviceNumber);
            std::printf("\n");
        }
        Click(FForm->btn5);
        Click(FForm->Button2);
        FRiding = false;
        FNextTry = now;
    }

    const TOptions& FOpt;
    TAir& FAir;
    TRecordingMessageScope& FMessages;
    std::unique_ptr<TForm1> FForm;
    TTreviaDeviceANT* FDevice = nullptr;
    std::mt19937 FRider;
    TTimer FImpatience{nullptr};
    uint32_t FStart = 0;
    size_t FSeen = 0;  // boxes handled so far
    double FLastSpeed = -1;
    uint32_t FSpeedChanged = 0;
    bool FRiding = false;
    uint32_t FNextTry = 0, FLastPedal = 0, FNextCommand = 60000;
    bool FDisconnectedSinceConnect = false;
    bool FInCommand = false;
};

template <typename TMap>
void PrintCounts(const char* title, const TMap& counts, bool quoted) {
    std::printf("%s:", title);
    for (const auto& [text, n] : counts) std::printf(quoted ? "  \"%s\": %d" : "  %s: %d", text.c_str(), n);
    std::printf("\n");
}

int Soak(const TOptions& opt) {
    MainThreadId();
    int qargc = 1;
    char name[] = "ride_soak";
    char* qargv[] = {name, nullptr};
    QApplication app(qargc, qargv);
    InstallQtApplication();
    Application()->SetTitle("ANT Zelto");

    const uint32_t rideMs = static_cast<uint32_t>(opt.Minutes) * 60000;
    // The last two minutes bring no new fault: the ride must be running again by its end.
    const uint32_t quietFrom = rideMs - 120000;
    std::printf("ride_soak: seed %u, %d minutes on a clock %g times real time\n", opt.Seed, opt.Minutes,
                opt.ClockSpeed);
    std::vector<std::string> failures;
    TMemory atStart, atMiddle, atEnd, peak;
    {
        TSimStickEnvironment env("ride_soak", opt.ClockSpeed);
        TRecordingMessageScope messages;
        TAir air(opt.Seed);
        TRide ride(opt, air, messages);
        std::atomic<bool> stop{false};
        TFaults faults(air, opt.Seed * 7919u + 1, quietFrom);
        std::thread faultThread([&] { faults.Run(stop); });
        ride.Ride(rideMs);
        stop = true;
        faultThread.join();
        ride.Finish();

        PrintCounts("faults", faults.Counts(), false);
        PrintCounts("messages shown", ride.Boxes, true);
        PrintCounts("component events", ride.Events, false);
        PrintCounts("rider's actions", ride.Actions, false);
        std::printf("statistics steps: %d\n", ride.Steps);
        failures = ride.Failures;
        atStart = ride.AtStart, atMiddle = ride.AtMiddle, atEnd = ride.AtEnd, peak = ride.Peak;
    }
    auto kb = [](const TMemory& m) {
        return std::to_string(m.RssKb) + " kB" +
               (m.HeapKb >= 0 ? " (heap " + std::to_string(m.HeapKb) + " kB)" : "");
    };
    std::printf("memory: at start %s, middle %s, end %s, peak %s\n", kb(atStart).c_str(),
                kb(atMiddle).c_str(), kb(atEnd).c_str(), kb(peak).c_str());
    SetMessageHandler(nullptr);
    if (failures.empty()) {
        std::printf("ride_soak: passed\n");
        return 0;
    }
    std::printf("ride_soak: %zu failures (replay with --seed %u --minutes %d):\n", failures.size(), opt.Seed,
                opt.Minutes);
    for (const auto& f : failures) std::printf("  %s\n", f.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    TOptions opt;
    TToolOptions options("ride_soak", "[--minutes M] [--seed S] [--clock-speed X] [--debug]");
    options.Number("--minutes", opt.Minutes, 2, 1440)
        .Number("--seed", opt.Seed)
        .Number("--clock-speed", opt.ClockSpeed, 1, 10000)
        .Flag("--debug", opt.Debug);
    if (!options.Parse(argc, argv)) return 2;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    return Soak(opt);
}
