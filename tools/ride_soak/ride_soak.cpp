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
    static const std::set<std::string> texts = {"Eprom Read Succefully", "Eprom Read Failed",
                                                "Time Out Read new EPROM!", "Time Out Read Console EPROM!",
                                                "console connessa!!"};
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
    int Minutes = 4;
    uint32_t Seed = 1;
    double ClockSpeed = 100;
    bool Debug = false;  // the link's and the stick's state at each frozen ride
};

}  // namespace

int main(int argc, char** argv) {
    TOptions opt;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const std::string v = i + 1 < argc ? argv[i + 1] : "";
        if (a == "--debug") {
            opt.Debug = true;
            continue;
        }
        if (a == "--minutes")
            opt.Minutes = std::max(2, std::atoi(v.c_str()));
        else if (a == "--seed")
            opt.Seed = static_cast<uint32_t>(std::strtoul(v.c_str(), nullptr, 10));
        else if (a == "--clock-speed")
            opt.ClockSpeed = std::max(1.0, std::atof(v.c_str()));
        else {
            std::fprintf(stderr, "usage: ride_soak [--minutes M] [--seed S] [--clock-speed X] [--debug]\n");
            return 2;
        }
        ++i;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    MainThreadId();
    int qargc = 1;
    char name[] = "ride_soak";
    char* qargv[] = {name, nullptr};
    QApplication app(qargc, qargv);
    InstallQtApplication();
    Application()->SetTitle("ANT Zelto");

    std::vector<std::string> failures;
    std::map<std::string, int> boxes, events, actions;
    TMemory atStart, atMiddle, atEnd, peak;
    int steps = 0;
    const uint32_t rideMs = static_cast<uint32_t>(opt.Minutes) * 60000;
    // The last two minutes bring no new fault: the ride must be running again by its end.
    const uint32_t quietFrom = rideMs - 120000;
    std::printf("ride_soak: seed %u, %d minutes on a clock %g times real time\n", opt.Seed, opt.Minutes,
                opt.ClockSpeed);
    {
        TSimStickEnvironment env("ride_soak", opt.ClockSpeed);
        TRecordingMessageScope messages;
        TAir air(opt.Seed);
        auto form = std::make_unique<TForm1>();
        TTreviaDeviceANT* device = form->TreviaDeviceANT1.get();
        // The component's own reports, besides the window's boxes.
        device->OnHeartConnection = [&](TObject*) { ++events["heart strap found"]; };
        device->OnHeartConnectionLost = [&](TObject*) { ++events["heart data missing (per step)"]; };
        const TNotifyEvent show = device->OnStats;
        double lastSpeed = -1;
        uint32_t speedChanged = 0;
        device->OnStats = [&](TObject* s) {
            show(s);
            ++steps;
            if (device->GetSpeed() != lastSpeed)
                lastSpeed = device->GetSpeed(), speedChanged = GetTickCount();
        };

        std::mt19937 rider(opt.Seed ^ 0x5eed);
        std::atomic<bool> stop{false};
        TFaults faults(air, opt.Seed * 7919u + 1, quietFrom);
        const uint32_t start = GetTickCount();
        std::thread faultThread([&] { faults.Run(stop); });

        size_t seen = 0;  // boxes handled so far
        auto newBoxes = [&] {
            std::vector<std::string> out;
            auto& all = messages.Handler().Boxes;
            for (; seen < all.size(); ++seen) {
                out.push_back(all[seen].text);
                ++boxes[all[seen].text];
            }
            return out;
        };
        auto act = [&](const std::string& what) {
            ++actions[what];
            std::printf("  %7.1f s  rider: %s\n", TicksSince(start) / 1000.0, what.c_str());
            std::fflush(stdout);
        };
        bool riding = false;
        uint32_t nextTry = 0, lastPedal = 0, nextCommand = 60000;
        bool disconnectedSinceConnect = false;
        bool inCommand = false;
        // Every box is one the window or its component shows for what happened.
        auto handleBox = [&](const std::string& b) {
            const uint32_t now = TicksSince(start);
            if (b == "Disconnesso!!!") {
                if (disconnectedSinceConnect)
                    failures.push_back("\"Disconnesso!!!\" twice for one loss at " +
                                       std::to_string(now / 1000) + " s");
                disconnectedSinceConnect = true;
                riding = false;
                nextTry = now + 3000;
            } else if (inCommand && CommandTexts().count(b) == 0) {
                failures.push_back("unexpected box \"" + b + "\" after a command at " +
                                   std::to_string(now / 1000) + " s");
            } else if (!inCommand && b != "console connessa!!") {
                failures.push_back("unexpected box \"" + b + "\" at " + std::to_string(now / 1000) + " s");
            }
        };
        auto connectAndStart = [&] {
            const bool present = air.Present();
            act("connect");
            Click(form->Button1);
            const std::vector<std::string> got = newBoxes();
            // Every attempt ends with its verdict; the dongle box comes only without a stick.
            const bool dongle = std::find(got.begin(), got.end(), DongleText) != got.end();
            if (got.empty() || (got.back() != "Connesso" && got.back() != "NON Connesso !!"))
                failures.push_back("a connect at " + std::to_string(TicksSince(start) / 1000) +
                                   " s ended without its verdict");
            if (dongle && present && air.Present())
                failures.push_back("the dongle box with the stick present at " +
                                   std::to_string(TicksSince(start) / 1000) + " s");
            for (const std::string& b : got)
                if (b != "Connesso" && b != "NON Connesso !!" && b != DongleText) handleBox(b);
            if (!got.empty() && got.back() == "Connesso" && device->Connected()) {
                Click(form->Button62);
                act("start");
                riding = true;
                disconnectedSinceConnect = false;
                speedChanged = GetTickCount();
            } else {
                nextTry = TicksSince(start) + 10000;
            }
        };
        // An impatient user: a Disconnect click a few seconds after a command, which may
        // land inside the command's wait.
        TTimer impatience(nullptr);
        impatience.SetEnabled(false);
        impatience.OnTimer = [&](TObject*) {
            impatience.SetEnabled(false);
            act(inCommand ? "disconnect during a command's wait" : "disconnect (impatient)");
            Click(form->Button2);
            riding = false;
            nextTry = TicksSince(start) + 2000;
        };
        // The commands of the window the rider uses now and then.
        auto command = [&] {
            static const char* names[] = {"send resistance",     "read total distance", "read trainer memory",
                                          "read console memory", "console selected",    "device numbers"};
            const int which = static_cast<int>(rider() % std::size(names));
            act(names[which]);
            if (rider() % 4 == 0) {
                impatience.SetInterval(1000 + rider() % 8000);
                impatience.SetEnabled(true);
            }
            inCommand = true;
            switch (which) {
                case 0:
                    form->TxtTreviaResistance->SetValue(static_cast<int32_t>(rider() % 256));
                    Click(form->Button4);
                    break;
                case 1:
                    Click(form->Button6);
                    break;
                case 2:
                    Click(form->btn_ReadEprom);
                    break;
                case 3:
                    Click(form->Button3);
                    break;
                case 4:
                    form->CheckBox1->click();
                    break;
                default:
                    Click(form->Button9);
            }
            for (const std::string& b : newBoxes()) handleBox(b);
            inCommand = false;
        };

        bool middleTaken = false;
        uint32_t nextSample = 0;
        while (TicksSince(start) < rideMs) {
            Application()->Delay(500);
            const uint32_t now = TicksSince(start);
            // The rider's effort changes every few seconds.
            if (now - lastPedal >= 5000) {
                lastPedal = now;
                if (auto s = air.Stick()) {
                    s->SpeedCadence().SetWheelRpm(250 + rider() % 300);
                    s->SpeedCadence().SetCadence(55 + rider() % 50);
                    s->HeartRate().SetHeartRate(static_cast<uint8_t>(90 + rider() % 80));
                }
            }
            for (const std::string& b : newBoxes()) handleBox(b);
            if (riding && now >= nextCommand && now + 60000 < rideMs) {
                nextCommand = now + 20000 + rider() % 100000;
                command();
            }
            if (riding && device->GetCompetitorState() != cstRunning) {
                failures.push_back("the ride stopped without a message at " + std::to_string(now / 1000) +
                                   " s");
                riding = false;
            }
            // Values frozen for 30 s: the user starts over.
            if (riding && TicksSince(speedChanged) > 30000) {
                act("reconnect (values frozen)");
                if (device->GetCompetitorState() == cstRunning && !device->GetTimerStatsEnabled())
                    failures.push_back("the ride runs without statistics at " + std::to_string(now / 1000) +
                                       " s");
                if (opt.Debug) {
                    std::printf(
                        "     steps %d state %d timer %d speed %g trainer %d sc %d hr %d kb %d quality %d",
                        steps, device->GetCompetitorState(), device->GetTimerStatsEnabled(),
                        device->GetSpeed(), device->Connected(), device->ConnectedTrainer(),
                        device->ConnectedHr(), device->ConnectedKeyboard(), device->GetLinkQuality());
                    if (auto st = air.Stick())
                        for (int c = 0; c < 4; ++c)
                            std::printf(" ch%d=%d/%u", c, st->Channel(c).State, st->Channel(c).DeviceNumber);
                    std::printf("\n");
                }
                Click(form->btn5);
                Click(form->Button2);
                riding = false;
                nextTry = now;
            }
            if (!riding && now >= nextTry) connectAndStart();
            const TMemory m = MemoryNow();
            peak.RssKb = std::max(peak.RssKb, m.RssKb);
            peak.HeapKb = std::max(peak.HeapKb, m.HeapKb);
            if (atStart.RssKb == 0 && riding) atStart = m;
            if (!middleTaken && now >= rideMs / 2) atMiddle = m, middleTaken = true;
            if (now >= nextSample) {
                nextSample += rideMs / 10;
                std::printf("  %7.1f s  memory %ld kB", now / 1000.0, m.RssKb);
                if (m.HeapKb >= 0) std::printf(", heap %ld kB", m.HeapKb);
                std::printf(", radio log %d lines, %d steps\n", form->Memo1->Lines().Count(), steps);
                std::fflush(stdout);
            }
        }
        atEnd = MemoryNow();
        impatience.SetEnabled(false);
        stop = true;
        faultThread.join();

        // After the quiet minutes the ride runs on live values.
        const int stepsBefore = steps;
        const double speedBefore = lastSpeed;
        if (auto s = air.Stick()) s->SpeedCadence().SetWheelRpm(777);
        Application()->Delay(5000);
        if (!riding || device->GetCompetitorState() != cstRunning || !device->Connected())
            failures.push_back("the ride is not running at its end");
        if (steps - stepsBefore < 3) failures.push_back("no statistics steps at the end of the ride");
        if (lastSpeed == speedBefore) failures.push_back("the speed does not follow the rider at the end");
        Click(form->btn5);
        Click(form->Button2);
        for (const std::string& b : newBoxes())
            if (b != "console connessa!!") failures.push_back("unexpected box \"" + b + "\" at the end");
        form.reset();

        std::printf("faults:");
        for (const auto& [kind, n] : faults.Counts()) std::printf("  %s: %d", kind.c_str(), n);
        std::printf("\nmessages shown:");
        for (const auto& [text, n] : boxes) std::printf("  \"%s\": %d", text.c_str(), n);
        std::printf("\ncomponent events:");
        for (const auto& [text, n] : events) std::printf("  %s: %d", text.c_str(), n);
        std::printf("\nrider's actions:");
        for (const auto& [text, n] : actions) std::printf("  %s: %d", text.c_str(), n);
        std::printf("\nstatistics steps: %d\n", steps);
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
