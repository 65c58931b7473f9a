// The trainer component against the simulated stick on the virtual clock: connecting,
// notices and keys, pairing, commands and EPROM, and the statistics step on link values.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "device/TreviaDeviceANT.h"
#include "device/ulma_ant_class.h"
#include "platform/ant/ANT_DLL.h"
#include "platform/ant/AntSim.h"
#include "platform/framework/Application.h"
#include "platform/framework/Dialogs.h"
#include "platform/rtl/Classes.h"
#include "platform/rtl/SysUtils.h"
#include "platform/rtl/Thread.h"
#include "platform/rtl/Tick.h"
#include "tests/support/ForkChild.h"
#include "tests/support/SimStickTest.h"

namespace {

void ClearHandlers(TTreviaDeviceANT& d) {
    d.TQorCustomDevice::OnDisconnected = nullptr;
    d.OnDisconnected = nullptr;
    d.OnStats = nullptr;
    d.OnConnected = nullptr;
    d.OnHeartConnection = nullptr;
    d.OnConsoleConnection = nullptr;
    d.OnConsoleKeydown = nullptr;
    d.OnHeartConnectionLost = nullptr;
    d.OnCompetitorStateChanged = nullptr;
    d.OnAfterStop = nullptr;
    d.OnCourseFinished = nullptr;
}

class TrainerLink : public ::testing::Test {
protected:
    // How many times faster than real time the virtual clock runs.
    virtual double ClockSpeed() const { return 100.0; }

    void SetUp() override {
        FEnv = std::make_unique<TSimStickEnvironment>("trainer", ClockSpeed());
        FBoxes = std::make_unique<TRecordingMessageScope>();
        Dev = std::make_unique<TTreviaDeviceANT>(nullptr);
        Dev->SetDebugMemo(&Log);
    }
    void TearDown() override {
        // Handlers capture the test's locals; destruction disconnects.
        ClearHandlers(*Dev);
        Dev.reset();
        Stick.reset();
        FEnv.reset();
        FBoxes.reset();
    }

    TAntSimStick& Install(const TAntSimConfig& config = {}) {
        Stick = AntSimInstall(0, config);
        return *Stick;
    }
    bool ConnectAll() {
        return Dev->Connect(AntSimTrainerNumber, AntSimHeartRateNumber, AntSimConsoleNumber);
    }
    static bool WaitUntil(const std::function<bool()>& pred, uint32_t ms = 20000) {
        return ::WaitUntil(pred, TDeadline::AfterClock(ms), PumpMessages);
    }
    TRecordingMessageHandler& Boxes() { return FBoxes->Handler(); }

    // A connected trainer whose link values the test sets: no sensor and no strap on the
    // air, so nothing overwrites speed, cadence and heart rate.
    ulma_ANT& ConnectQuiet() {
        TAntSimConfig config;
        config.SpeedCadence = false;
        config.HeartRate = false;
        Install(config);
        EXPECT_TRUE(ConnectAll());
        EXPECT_NE(TTreviaDeviceANT::Link(), nullptr);
        return *TTreviaDeviceANT::Link();
    }
    // One statistics step at `second` seconds into the ride.
    void Step(int second) {
        Dev->StatsTimer()->Restart(1000u * second);
        Dev->DoStats();
    }

    std::unique_ptr<TTreviaDeviceANT> Dev;
    std::shared_ptr<TAntSimStick> Stick;
    TStringList Log;

private:
    std::unique_ptr<TSimStickEnvironment> FEnv;
    std::unique_ptr<TRecordingMessageScope> FBoxes;
};

// A slower clock for tests whose connect must not lose the race with a loaded stick thread:
// the link's 10 s channel waits then last a real second.
class TrainerLinkSlowClock : public TrainerLink {
protected:
    double ClockSpeed() const override { return 10.0; }
};

TEST_F(TrainerLink, ConnectAndDisconnect) {
    TAntSimStick& stick = Install();
    std::vector<std::string> events;
    Dev->OnConnected = [&](TObject*) { events.push_back("connected"); };
    Dev->TQorCustomDevice::OnDisconnected = [&](TObject*) { events.push_back("disconnected"); };
    Dev->OnHeartConnection = [&](TObject*) { events.push_back("heart notice"); };
    Dev->OnConsoleConnection = [&](TObject*) { events.push_back("console notice"); };

    ASSERT_TRUE(ConnectAll());
    EXPECT_TRUE(Dev->Connected());
    EXPECT_TRUE(Dev->GetConnected());
    ulma_ANT* link = TTreviaDeviceANT::Link();
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->BaudRate.load(), 57600);
    EXPECT_EQ(link->LogMemo(), &Log);
    EXPECT_TRUE(Dev->ConnectedKeyboard());
    EXPECT_TRUE(link->KeepAlive() && link->KeepAlive()->Enabled());
    EXPECT_EQ(stick.Channel(1).RFFrequency, 71);
    EXPECT_EQ(stick.Channel(3).RFFrequency, 70);
    EXPECT_TRUE(WaitUntil([&] { return Dev->ConnectedTrainer() && Dev->ConnectedHr(); }));
    // The poll timer gives each notice once (it may already have during the connect's waits).
    Application()->Delay(500);
    for (const char* e : {"connected", "heart notice", "console notice"})
        EXPECT_EQ(std::count(events.begin(), events.end(), e), 1) << e;
    EXPECT_TRUE(WaitUntil([&] { return Dev->GetHrSerialNumber() == 0xBEEF; }));
    EXPECT_TRUE(WaitUntil([&] { return Dev->GetHrModelNumber() == 2u; }));
    EXPECT_GT(Dev->GetLinkQuality(), 0);

    const uint32_t start = GetTickCount();
    Dev->Disconnect();
    EXPECT_GE(TicksSince(start), 400u);
    EXPECT_EQ(events.back(), "disconnected");
    EXPECT_FALSE(Dev->Connected());
    EXPECT_FALSE(Dev->GetConnected());
    EXPECT_EQ(TTreviaDeviceANT::Link(), nullptr);
    EXPECT_EQ(Dev->PollTimer(), nullptr);
    EXPECT_FALSE(stick.IsOpen());
    EXPECT_TRUE(Boxes().Boxes.empty());
}

TEST_F(TrainerLink, NoStickShowsTheBox) {
    AntSimRemoveAll();
    bool connected = false;
    Dev->OnConnected = [&](TObject*) { connected = true; };
    EXPECT_FALSE(ConnectAll());
    EXPECT_FALSE(Dev->Connected());
    EXPECT_FALSE(connected);
    ASSERT_EQ(Boxes().Boxes.size(), 1u);
    EXPECT_EQ(Boxes().Boxes[0].text, "Usb dongle not found! Check it and restart the software.");
    EXPECT_EQ(Boxes().Boxes[0].caption, "");
    EXPECT_EQ(Boxes().Boxes[0].flags, MB_ICONERROR | MB_SYSTEMMODAL | MB_SETFOREGROUND | MB_TOPMOST);
    // Every USB number was tried.
    Application()->ProcessMessages();
    EXPECT_GE(Log.IndexOf("Not Connected 0"), 0);
    EXPECT_GE(Log.IndexOf("Not Connected 7"), 0);
    Dev->Disconnect();  // closes the unopened link without trouble
    EXPECT_EQ(TTreviaDeviceANT::Link(), nullptr);
}

TEST_F(TrainerLink, SilentTrainerGivesUpAfterFortySeconds) {
    TAntSimConfig config;
    config.Trainer = false;
    Install(config);
    bool connected = false;
    Dev->OnConnected = [&](TObject*) { connected = true; };
    const uint32_t start = GetTickCount();
    EXPECT_FALSE(ConnectAll());
    EXPECT_GE(TicksSince(start), 40000u);
    EXPECT_FALSE(Dev->Connected());
    EXPECT_FALSE(connected);
    // The link stays open until the next connect frees it.
    ulma_ANT* first = TTreviaDeviceANT::Link();
    ASSERT_NE(first, nullptr);
    Stick->Trainer().SetPresent(true);
    ASSERT_TRUE(ConnectAll());
    EXPECT_TRUE(Dev->Connected());
    EXPECT_GE(Stick->OpenCount(), 2u);
}

TEST_F(TrainerLink, StoredDeviceNumbersWin) {
    Install();
    Dev->SetDeviceTrainerNumber(AntSimTrainerNumber);
    Dev->SetDeviceNumberKeyboard(AntSimConsoleNumber);
    ASSERT_TRUE(Dev->Connect(-5, AntSimHeartRateNumber, 999));
    ulma_ANT* link = TTreviaDeviceANT::Link();
    EXPECT_EQ(link->Channel(1)->DeviceNumber.load(), AntSimTrainerNumber);
    EXPECT_EQ(link->Channel(3)->DeviceNumber.load(), AntSimConsoleNumber);
    // While connected the numbers are the channel records'.
    Dev->SetDeviceHrNumber(55);
    EXPECT_EQ(link->Channel(0)->DeviceNumber.load(), 55);
    EXPECT_EQ(Dev->DeviceHrNumber(), 55);
    Dev->SetRollDiameter(45.5L);
    EXPECT_EQ(link->RollDiameter.load(), 45.5);
    Dev->SeteventPerTurn(0);
    EXPECT_EQ(link->EventPerTurn.load(), 1);
}

TEST_F(TrainerLink, KeyReportsOnceOnRelease) {
    Install();
    std::vector<TConsoleKey> keys;
    Dev->OnConsoleKeydown = [&](TObject*, TConsoleKey k) { keys.push_back(k); };
    ASSERT_TRUE(ConnectAll());
    ulma_ANT* link = TTreviaDeviceANT::Link();
    Stick->Console().SetKey(ckEnter, true);
    ASSERT_TRUE(WaitUntil([&] { return link->ConsoleKeys[ckEnter].load(); }));
    Application()->Delay(1500);  // held for many poll ticks
    EXPECT_TRUE(keys.empty());
    Stick->Console().SetKey(ckEnter, false);
    ASSERT_TRUE(WaitUntil([&] { return !keys.empty(); }));
    Application()->Delay(1000);
    EXPECT_EQ(keys, (std::vector<TConsoleKey>{ckEnter}));
}

TEST_F(TrainerLink, PairConsoleAgain) {
    Install();
    ASSERT_TRUE(ConnectAll());
    ulma_ANT* link = TTreviaDeviceANT::Link();
    link->KeepAlive()->SetEnabled(false);
    Dev->PairConsole();
    ulma_Channel* rec = link->Channel(3);
    EXPECT_EQ(rec->RFFrequency.load(), 70);
    EXPECT_EQ(rec->DeviceType.load(), 18);
    EXPECT_EQ(rec->TransmissionType.load(), 1);
    EXPECT_EQ(rec->Period.load(), 16150);
    EXPECT_EQ(rec->DeviceNumber.load(), 0);
    EXPECT_TRUE(link->KeepAlive()->Enabled());
    // The console's pages make the channel alive again.
    EXPECT_TRUE(WaitUntil([&] { return rec->Alive.load(); }));
}

TEST_F(TrainerLink, EpromAndCommands) {
    TAntSimStick& stick = Install();
    stick.Trainer().SetEpromByte(0x14, 45);
    stick.Trainer().SetEpromByte(0x15, 50);
    ASSERT_TRUE(ConnectAll());
    const uint32_t start = GetTickCount();
    EXPECT_TRUE(Dev->ReadTrainerEprom(0x14, 2));
    EXPECT_GE(TicksSince(start), 2000u);
    EXPECT_EQ(Dev->GetTrainerEpromWord(0), 45);
    EXPECT_EQ(Dev->GetTrainerEpromWord(1), 50);
    EXPECT_EQ(Dev->GetTrainerEpromWord(6), 0);
    // The reply stays the read's through that wait: a read of another field started by a
    // handler meanwhile (a second button clicked) is refused, not let overwrite it.
    stick.Trainer().SetEpromByte(0x16, 99);
    std::string nested;
    uint32_t replied = 0;  // when the reply was first seen: the link's own wait ends within 100 ms
    std::function<void()> readOnceReplied = [&] {
        if (replied == 0 && TTreviaDeviceANT::Link()->TrainerEprom.ReadDone) replied = GetTickCount();
        if (replied == 0 || TicksSince(replied) < 300) return Application()->QueueCall(readOnceReplied);
        try {
            Dev->ReadTrainerEprom(0x16, 1);
        } catch (const ERdEPROM& e) {
            nested = e.Message();
        }
    };
    Application()->QueueCall(readOnceReplied);
    EXPECT_TRUE(Dev->ReadTrainerEprom(0x14, 2));
    EXPECT_EQ(Dev->GetTrainerEpromWord(0), 45);
    EXPECT_EQ(nested, "Trainer EPROM busy: another EPROM operation is waiting for its reply");

    EXPECT_TRUE(Dev->WriteConsoleEprom(2, 1, 9, 0, 0, 0));
    EXPECT_EQ(stick.Console().Eprom()[2], 9);
    stick.Console().SetEpromByte(3, 77);
    EXPECT_TRUE(Dev->ReadConsoleEprom(3, 1));
    EXPECT_EQ(Dev->GetConsoleEpromWord(0), 77);

    stick.Trainer().SetTotalDistance(4321);
    EXPECT_EQ(Dev->RequestDistance(), 4321u);

    stick.Console().SetMute(true);
    EXPECT_THROW(Dev->ReadConsoleEprom(3, 1), ERdEPROM);
}

TEST_F(TrainerLink, ResistanceReachesTheTrainer) {
    TAntSimStick& stick = Install();
    ASSERT_TRUE(ConnectAll());
    Dev->SetHighPowerReduceCoefficient(0.5);
    Dev->SetTreviaResistance(100);
    EXPECT_EQ(Dev->TreviaResistance(), 50);
    // The unreduced level goes out at once.
    EXPECT_TRUE(WaitUntil([&] { return stick.Trainer().ResistanceLevel() == 100; }));
}

TEST_F(TrainerLink, StatisticsStepByStep) {
    ulma_ANT& link = ConnectQuiet();
    Dev->SetRiderWeight(70);
    int stats = 0, heartLost = 0;
    Dev->OnStats = [&](TObject*) { ++stats; };
    Dev->OnHeartConnectionLost = [&](TObject*) { ++heartLost; };
    ASSERT_TRUE(Dev->Start());
    Dev->SetTimerStatsEnabled(false);  // the test runs the steps
    link.Speed = 36;
    link.Cadence = 90;
    link.HeartRate = 100;

    Step(1);
    EXPECT_EQ(Dev->Time(), 1);
    EXPECT_DOUBLE_EQ(Dev->GetDistance(), 0.01);
    EXPECT_DOUBLE_EQ(Dev->GetSpeed(), 12);  // speed average of 3 ramps up
    EXPECT_DOUBLE_EQ(Dev->GetAvgSpeed(), 36);
    EXPECT_DOUBLE_EQ(Dev->MaxSpeed(), 12);
    EXPECT_EQ(Dev->GetCadence(), 90);
    EXPECT_EQ(Dev->GetAvgCadence(), 90);
    // Heart average 20 < 35: the strap counts as absent.
    EXPECT_FALSE(Dev->HeartConnectionActive());
    EXPECT_EQ(Dev->GetHeartRate(), 0);
    EXPECT_EQ(Dev->GetCalories(), 0);
    EXPECT_EQ(Dev->GetPower(), 16);  // 2.5056 + 18.288 - 4.44
    EXPECT_EQ(link.NawBrakeValue.load(), 16);

    Step(2);
    EXPECT_DOUBLE_EQ(Dev->GetSpeed(), 24);
    EXPECT_TRUE(Dev->HeartConnectionActive());
    EXPECT_EQ(Dev->GetHeartRate(), 100);  // the raw value
    EXPECT_EQ(Dev->GetMaxHeartRate(), 100);
    EXPECT_EQ(Dev->GetAvgHeartRate(), 100);
    EXPECT_EQ(Dev->GetPower(), 84);

    link.Cadence = 95;
    Step(3);
    EXPECT_NEAR(Dev->GetDistance(), 0.03, 1e-15);
    EXPECT_DOUBLE_EQ(Dev->GetSpeed(), 36);
    EXPECT_DOUBLE_EQ(Dev->GetAvgSpeed(), 36);
    EXPECT_EQ(Dev->GetPower(), 219);
    EXPECT_EQ(Dev->MaxPower(), 219);
    EXPECT_EQ(Dev->GetMaxCadence(), 95);
    EXPECT_EQ(Dev->GetAvgCadence(), 92);  // 275 / 3 = 91.67
    // Energy: e(12) + e(24) = 0.0248832 + 0.0953856
    EXPECT_NEAR(static_cast<double>(Dev->Energy()), 0.1202688, 1e-9);
    EXPECT_EQ(stats, 3);
    EXPECT_EQ(heartLost, 3);  // no strap data yet: repeats every step

    // Calories accumulate with the speed at step start (36 km/h from now on).
    for (int s = 4; s <= 30; ++s) Step(s);
    const long double e36 = 4.4e-06L * 36 * 36 * 36 + 1.8e-05L * 36 * 80;
    EXPECT_NEAR(static_cast<double>(Dev->Energy()), static_cast<double>(0.1202688L + 27 * e36), 1e-9);
    EXPECT_EQ(Dev->GetCalories(), static_cast<int>(std::lround(static_cast<double>(0.1202688L + 27 * e36))));
    EXPECT_NEAR(Dev->GetDistance(), 0.3, 1e-12);
    Dev->Stop();
}

TEST_F(TrainerLink, MilesConvertTheLinkSpeed) {
    ulma_ANT& link = ConnectQuiet();
    Dev->SetUOM(umMiles);
    Dev->SetRiderWeight(150);
    ASSERT_TRUE(Dev->Start());
    Dev->SetTimerStatsEnabled(false);
    link.Speed = 100;
    Step(1);
    const double t = 0.621371192 * 100.0f;
    EXPECT_DOUBLE_EQ(Dev->GetDistance(), t / 3600);
    EXPECT_NEAR(Dev->GetSpeed(), t / 3, 1e-8);
    // Power at t/3 mph with the miles coefficients and 150 + 22 pounds.
    const double v = Dev->GetSpeed();
    EXPECT_EQ(Dev->GetPower(), std::lround(0.006 * v * v * v + 0.33 * v * v - 0.6 * v));
    Dev->Stop();
}

TEST_F(TrainerLink, HeartRateAlarms) {
    ulma_ANT& link = ConnectQuiet();
    struct TAlarm {
        int32_t percent;
        bool higher;
    };
    std::vector<TAlarm> alarms;
    Dev->OnAlarmHeart = [&](TObject*, int32_t p, bool higher, bool aborted, bool& doStop) {
        EXPECT_FALSE(aborted);
        EXPECT_TRUE(doStop);
        alarms.push_back({p, higher});
    };
    ASSERT_TRUE(Dev->Start());
    Dev->SetTimerStatsEnabled(false);
    Dev->SetSpeed(10);
    Dev->SetTreviaResistance(60);
    link.Speed = 20;
    link.HeartRate = 215;
    Step(1);  // heart average 43: present, the raw 215 is checked
    ASSERT_EQ(alarms.size(), 1u);
    EXPECT_EQ(alarms[0].percent, 2);
    EXPECT_TRUE(alarms[0].higher);
    EXPECT_EQ(Dev->TreviaResistance(), 60);  // 215 is within the maximum

    Dev->SetTreviaElevation(3);
    link.HeartRate = 225;
    Step(2);
    ASSERT_EQ(alarms.size(), 2u);
    EXPECT_EQ(alarms[1].percent, 7);
    EXPECT_EQ(Dev->TreviaResistance(), 0);
    EXPECT_EQ(Dev->TreviaElevation(), 0);
    EXPECT_EQ(Dev->GetMaxHeartRate(), 225);

    Dev->SetAlarmHeartLowLimit(60);
    link.HeartRate = 50;
    Step(3);  // average of 50, 225, 215 and two empty places: 98
    ASSERT_EQ(alarms.size(), 3u);
    EXPECT_EQ(alarms[2].percent, 17);
    EXPECT_FALSE(alarms[2].higher);

    // Heart processing off: values are zeroed and nothing is checked.
    Dev->SetHeartEnabled(false);
    Step(4);
    EXPECT_EQ(alarms.size(), 3u);
    EXPECT_EQ(Dev->GetHeartRate(), 0);
    EXPECT_EQ(Dev->GetAvgHeartRate(), 0);
    Dev->Stop();
}

TEST_F(TrainerLink, CourseEndTrainerLossAndReentrancy) {
    ulma_ANT& link = ConnectQuiet();
    std::vector<std::string> events;
    Dev->OnCourseFinished = [&](TObject*) {
        events.push_back("course");
        Dev->DoStats();  // a nested step is dropped
    };
    Dev->OnAfterStop = [&](TObject*) { events.push_back("stop"); };
    Dev->OnStats = [&](TObject*) { events.push_back("stats"); };
    Dev->OnDisconnected = [&](TObject*) { events.push_back("lost"); };
    Dev->TQorCustomDevice::OnDisconnected = [&](TObject*) { events.push_back("base disconnected"); };
    Dev->SetDistanceToPerform(0.015);
    ASSERT_TRUE(Dev->Start());
    Dev->SetTimerStatsEnabled(false);
    link.Speed = 36;
    Step(1);
    Step(2);
    EXPECT_EQ(events, (std::vector<std::string>{"stats", "stop", "course", "stats"}));
    EXPECT_TRUE(Dev->GetCourseFlagA());
    EXPECT_TRUE(Dev->GetCourseFlagB());
    EXPECT_EQ(Dev->GetCompetitorState(), cstStopped);
    events.clear();
    Dev->SetDistanceToPerform(0);

    link.TrainerLost = true;
    Step(3);
    Step(4);
    EXPECT_EQ(events, (std::vector<std::string>{"base disconnected", "lost", "stats", "base disconnected",
                                                "lost", "stats"}));
    EXPECT_FALSE(Dev->Connected());
    EXPECT_NE(TTreviaDeviceANT::Link(), nullptr);  // the link stays open

    // An exception inside the step passes, and the next step runs again.
    Dev->OnStats = nullptr;
    Dev->OnDisconnected = [&](TObject*) { throw std::runtime_error("handler"); };
    EXPECT_THROW(Step(5), std::runtime_error);
    Dev->OnDisconnected = nullptr;
    int stats = 0;
    Dev->OnStats = [&](TObject*) { ++stats; };
    Step(6);
    EXPECT_EQ(stats, 1);
}

TEST_F(TrainerLink, VirtualSpeedInTheStep) {
    ulma_ANT& link = ConnectQuiet();
    Dev->SetRiderWeight(70);
    Dev->SetSpeedArrayLength(1);  // applied only at creation: the average keeps 3 places
    ASSERT_TRUE(Dev->Start());
    Dev->SetTimerStatsEnabled(false);
    Dev->SetVirtualSpeedEnabled(true);
    Dev->SetCurrentSlope(-5);
    link.Speed = 60;
    Step(1);  // real 20, virtual from 0 to 0.49
    EXPECT_DOUBLE_EQ(static_cast<double>(Dev->RealSpeed()), 20);
    EXPECT_NEAR(Dev->VirtualSpeed(), 0.49, 1e-9);
    EXPECT_NEAR(Dev->VirtualDistance(), 0.00013611, 1e-12);
    EXPECT_EQ(Dev->GetPower(), static_cast<int>(std::lround(Dev->ComputeForces(20, -5))));
    Step(2);  // the speed shown adds the previous virtual speed
    EXPECT_NEAR(Dev->GetSpeed(), 40 + 0.49, 1e-9);
    Dev->Stop();
}

// A power beyond the brake's 16-bit scale holds the brake at its top instead of wrapping
// to a light load, and a power or calories beyond 32 bits are shown as the largest there is.
TEST_F(TrainerLink, PowerBeyondTheBrakeScaleHoldsTheBrakeAtItsTop) {
    ulma_ANT& link = ConnectQuiet();
    Dev->SetRiderWeight(70);
    ASSERT_TRUE(Dev->Start());
    Dev->SetTimerStatsEnabled(false);
    link.Speed = 36;
    Dev->SetCurrentSlope(2000);
    Step(1);
    Step(2);  // about 104 kW at 24 km/h
    EXPECT_GT(Dev->GetPower(), 0xFFFF);
    EXPECT_GE(link.NawBrakeValue.load(), 0xFFFE);
    Dev->SetCurrentSlope(1e9);
    Step(3);
    EXPECT_EQ(Dev->GetPower(), INT32_MAX);
    EXPECT_GE(link.NawBrakeValue.load(), 0xFFFE);
    // Calories beyond 32 bits likewise, where they wrapped negative and, far beyond, the
    // rounding raised at every step.
    Dev->SetCurrentSlope(1e12);
    Step(4);
    EXPECT_EQ(Dev->GetCalories(), INT32_MAX);
    Dev->SetCurrentSlope(1e30);
    EXPECT_NO_THROW(Step(5));
    EXPECT_EQ(Dev->GetCalories(), INT32_MAX);
    Dev->Stop();
}

// A program that ends with its trainer still connected ends at once: the link, closed at
// exit after the radio library it sends through had gone, sent to a destroyed object and
// pumped the loop for seconds, running statistics steps as the program ended.
TEST_F(TrainerLink, AProgramEndingWhileConnectedEndsAtOnce) {
    TForkChild child([&](TForkChild& self) {
        Install();
        if (!ConnectAll() || !Dev->Start()) return 2;
        static bool exiting = false;
        Dev->OnStats = [&](TObject*) {
            if (exiting) self.Send('s');
        };
        exiting = true;
        Dev.release();  // as a program that never frees its component
        std::exit(0);
    });
    std::string sent = child.ReceiveAll();
    EXPECT_TRUE(child.Finish().ExitedWith(0));
    EXPECT_EQ(sent.find('s'), std::string::npos) << "statistics steps ran during the exit";
}

TEST_F(TrainerLink, ReconnectClosesTheOpenLinkFirst) {
    TAntSimStick& stick = Install();
    ASSERT_TRUE(ConnectAll());
    stick.ClearHostFrames();
    ASSERT_TRUE(ConnectAll());
    // The old link closed its alive channels before the new one reset the stick.
    const auto frames = stick.HostFrames();
    auto closeAt = std::find_if(frames.begin(), frames.end(), [](const TAntFrame& f) {
        return f.Id == MESG_CLOSE_CHANNEL_ID && !f.Data.empty() && f.Data[0] == 1;
    });
    ASSERT_NE(closeAt, frames.end());
    EXPECT_TRUE(Dev->Connected());
}

TEST_F(TrainerLink, QuittingEndsTheTrainerWait) {
    TAntSimConfig config;
    config.Trainer = false;
    Install(config);
    Application()->QueueCall([] { Application()->Terminate(); });
    const uint32_t start = GetTickCount();
    EXPECT_FALSE(ConnectAll());
    EXPECT_LT(TicksSince(start), 40000u);
    Application()->ResetTerminated();
}

TEST_F(TrainerLink, NawTrainerTakesTheBrakeValue) {
    TAntSimConfig config;
    config.TrainerKind = TAntSimTrainerKind::NAW;
    TAntSimStick& stick = Install(config);
    Dev->SetRecieverType(ulmNAW);
    Dev->SetRiderWeight(70);
    ASSERT_TRUE(ConnectAll());
    ulma_ANT* link = TTreviaDeviceANT::Link();
    EXPECT_EQ(link->Channel(2), nullptr);
    EXPECT_FALSE(Dev->ConnectedTrainer());
    EXPECT_FALSE(link->KeepAlive() && link->KeepAlive()->Enabled());
    Dev->SetTreviaResistance(50);  // only a Vexa trainer takes levels
    EXPECT_EQ(Dev->TreviaResistance(), 0);

    stick.Trainer().SetSpeed(30);
    ASSERT_TRUE(WaitUntil([&] { return link->Speed.load() == 30.0f && link->NawEventCount.load() >= 8; }));
    const int32_t countBefore = link->NawEventCount;
    ASSERT_TRUE(Dev->Start());
    Dev->SetTimerStatsEnabled(false);
    Step(1);  // speed average 10 km/h
    EXPECT_DOUBLE_EQ(Dev->GetSpeed(), 10);
    const int32_t power = Dev->GetPower();
    EXPECT_EQ(power, std::lround(Dev->ComputeForces(10, 0)));
    EXPECT_TRUE(WaitUntil([&] { return stick.Trainer().BrakeValue() == power; }));
    // A fresh ride counts from the first status page after the start.
    EXPECT_TRUE(WaitUntil([&] { return link->NawCountBase.load() != -1; }));
    EXPECT_LT(link->NawEventCount.load(), countBefore);
    Dev->Stop();
}

TEST_F(TrainerLinkSlowClock, DisconnectFromAStepHandler) {
    ulma_ANT& link = ConnectQuiet();
    int stats = 0;
    Dev->OnCourseFinished = [&](TObject*) { Dev->Disconnect(); };
    Dev->OnStats = [&](TObject*) { ++stats; };
    Dev->SetDistanceToPerform(0.005);
    ASSERT_TRUE(Dev->Start());
    Dev->SetTimerStatsEnabled(false);
    link.Speed = 36;
    Step(1);
    EXPECT_EQ(TTreviaDeviceANT::Link(), nullptr);
    EXPECT_FALSE(Dev->Connected());
    EXPECT_EQ(stats, 1);
    Step(2);  // runs on without a link
    EXPECT_EQ(stats, 2);
}

// Clicks that land in the pumping waits of a running connect: the dropped link is closed at
// once and freed only after the connect has returned.
TEST_F(TrainerLink, DisconnectClickedDuringConnect) {
    TAntSimStick& stick = Install();
    // Runs in the connect's first wait (the stick's reset pause).
    QueueMainThreadCall([&] { Dev->Disconnect(); });
    EXPECT_FALSE(ConnectAll());
    EXPECT_FALSE(Dev->Connected());
    EXPECT_EQ(TTreviaDeviceANT::Link(), nullptr);
    EXPECT_FALSE(stick.IsOpen());
    EXPECT_TRUE(ConnectAll());
}

TEST_F(TrainerLink, ConnectClickedAgainDuringConnect) {
    TAntSimStick& stick = Install();
    int nested = 0;
    bool nestedResult = false;
    // Fires while the first connect waits for its channels to come alive.
    TTimer click(nullptr);
    click.SetInterval(1500);
    click.OnTimer = [&](TObject*) {
        click.SetEnabled(false);
        ++nested;
        nestedResult = ConnectAll();
    };
    click.SetEnabled(true);
    EXPECT_FALSE(ConnectAll());
    EXPECT_EQ(nested, 1);
    EXPECT_TRUE(nestedResult);
    // The second connect's link is the one that runs.
    EXPECT_TRUE(Dev->Connected());
    ulma_ANT* link = TTreviaDeviceANT::Link();
    ASSERT_NE(link, nullptr);
    EXPECT_TRUE(link->ChannelAlive(1));
    EXPECT_TRUE(stick.IsOpen());
    const uint32_t good = link->GoodEvents;
    EXPECT_TRUE(WaitUntil([&] { return link->GoodEvents > good + 4; }));
    Dev->Disconnect();
    EXPECT_FALSE(stick.IsOpen());
}

}  // namespace
