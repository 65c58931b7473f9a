// The trainer component without a radio: helpers, physics, resistance, the ride state
// machine and the statistics step of a ride started before connecting.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "device/DeviceStats.h"
#include "device/TreviaDeviceANT.h"
#include "platform/framework/Application.h"
#include "platform/rtl/Thread.h"
#include "platform/rtl/Tick.h"

using TreviaDeviceANT::RoundTo;

namespace {

TEST(TrainerHelpers, RoundToHalfAwayFromZeroAndSnapsTinyValues) {
    struct {
        int digits;
        long double x, expected;
    } cases[] = {
        {0, 2.5L, 3},
        {0, -2.5L, -3},
        {0, 2.4L, 2},
        {1, 0.25L, 0.3L},
        {2, -1.125L, -1.13L},
        {8, -0.000000004L, 0},
        {8, 0.00000001L, 0},
        {8, 0.00000002L, 0.00000002L},
        {0, 0, 0},
        {3, 12.34567L, 12.346L},
        {-2, 7.6L, 8},
    };
    for (const auto& c : cases)
        EXPECT_NEAR(static_cast<double>(RoundTo(c.digits, c.x)), static_cast<double>(c.expected), 1e-12)
            << c.digits << " " << static_cast<double>(c.x);
    EXPECT_EQ(RoundTo(8, -0.000000004L), 0.0L);
    EXPECT_FALSE(std::signbit(static_cast<double>(RoundTo(8, -0.000000004L))));
}

TEST(TrainerHelpers, AverageRampsUpNewestFirst) {
    TUlmaAverage a;
    EXPECT_EQ(a.Size(), 1);
    a.SetSize(3);
    std::vector<double> means;
    for (int i = 0; i < 4; ++i) {
        a.Push(30);
        means.push_back(a.Mean());
    }
    EXPECT_EQ(means, (std::vector<double>{10, 20, 30, 30}));
    a.Push(60);
    EXPECT_EQ(a[0], 60);
    EXPECT_EQ(a[2], 30);
    a.SetSize(0);  // ignored
    a.SetSize(-4);
    EXPECT_EQ(a.Size(), 3);
    a.SetSize(6);  // kept samples stay, new places count as 0
    EXPECT_EQ(a.Mean(), 20);
}

TEST(TrainerHelpers, DelayPumpsForTheClockTime) {
    MainThreadId();
    TVirtualClockScope clock(100.0);
    bool ran = false;
    Application()->QueueCall([&] { ran = true; });
    const uint32_t start = GetTickCount();
    TreviaDeviceANT::Delay(500);
    EXPECT_GE(TicksSince(start), 500u);
    EXPECT_TRUE(ran);
}

class TrainerOffline : public ::testing::Test {
protected:
    void SetUp() override {
        MainThreadId();
        FClock = std::make_unique<TVirtualClockScope>(100.0);
        Dev = std::make_unique<TTreviaDeviceANT>(nullptr);
    }
    void TearDown() override {
        // Handlers capture the test's locals; destruction disconnects.
        Dev->TQorCustomDevice::OnDisconnected = nullptr;
        Dev->OnDisconnected = nullptr;
        Dev->OnStats = nullptr;
        Dev.reset();
        Application()->ProcessMessages();
        FClock.reset();
    }
    void Record() {
        Dev->OnBeforeStart = [this](TObject*) { Events.push_back("before start"); };
        Dev->OnBeforePause = [this](TObject*) { Events.push_back("before pause"); };
        Dev->OnBeforeStop = [this](TObject*, bool& can) {
            Events.push_back("before stop");
            can = AllowStop;
        };
        Dev->OnAfterStop = [this](TObject*) { Events.push_back("after stop"); };
        Dev->OnCompetitorStateChanged = [this](TObject*, TCompetitorState o, TCompetitorState n) {
            Events.push_back(std::to_string(o) + ">" + std::to_string(n));
        };
    }
    std::unique_ptr<TTreviaDeviceANT> Dev;
    std::vector<std::string> Events;
    bool AllowStop = true;

private:
    std::unique_ptr<TVirtualClockScope> FClock;
};

TEST_F(TrainerOffline, CreationValues) {
    TTreviaDeviceANT& d = *Dev;
    EXPECT_EQ(d.GetCompetitorState(), cstStopped);
    EXPECT_EQ(d.DeviceType(), 6);
    EXPECT_EQ(d.Version(), "1.0.0.10");
    d.SetVersion("2.0");
    EXPECT_EQ(d.Version(), "1.0.0.10");
    EXPECT_EQ(d.MsgUsbDongleNotFound(), "Usb dongle not found! Check it and restart the software.");
    EXPECT_EQ(d.CadenceArrayLength(), 1);
    EXPECT_EQ(d.CadenceAverage().Size(), 1);
    EXPECT_EQ(d.HrAverage().Size(), 5);
    EXPECT_EQ(d.SpeedAverage().Size(), 3);
    EXPECT_EQ(d.PrecisionSpeed(), 8);
    EXPECT_EQ(d.HighPowerReduceCoefficient(), 1.0);
    EXPECT_EQ(d.ChannelTrainer(), 71);
    EXPECT_EQ(d.ChannelSpeedCadence(), 57);
    EXPECT_EQ(d.ChannelConsole(), 70);
    EXPECT_TRUE(d.HeartEnabled());
    EXPECT_TRUE(d.HeartConnectionActive());
    EXPECT_TRUE(d.EnableConsole());
    EXPECT_NE(d.PollTimer(), nullptr);
    EXPECT_FALSE(d.Connected());
    EXPECT_FALSE(d.ConnectedTrainer());
    EXPECT_FALSE(d.OutOfRange());
    EXPECT_EQ(d.GetHrSerialNumber(), 0u);
    EXPECT_EQ(d.GetTrainerEpromWord(0), 0);
    d.SetCadenceArrayLength(10);  // resized at once
    EXPECT_EQ(d.CadenceAverage().Size(), 10);
    d.SeteventPerTurn(0);
    EXPECT_EQ(d.eventPerTurn(), 1);
    d.SeteventPerTurn(2);
    EXPECT_EQ(d.eventPerTurn(), 2);
    d.SetDeviceTrainerNumber(777);
    EXPECT_EQ(d.DeviceTrainerNumber(), 777);
}

TEST_F(TrainerOffline, ResistanceClamps) {
    TTreviaDeviceANT& d = *Dev;
    struct {
        int32_t in, stored;
    } cases[] = {{240, 239}, {247, 246}, {300, 255}, {-5, 0}, {255, 255}, {100, 100}, {241, 241}, {0, 0}};
    for (const auto& c : cases) {
        d.SetTreviaResistance(c.in);
        EXPECT_EQ(d.TreviaResistance(), c.stored) << c.in;
    }
    // The reduction scales the stored level, with ties to even.
    d.SetHighPowerReduceCoefficient(0.5);
    d.SetTreviaResistance(101);
    EXPECT_EQ(d.TreviaResistance(), 50);
    d.SetTreviaResistance(103);
    EXPECT_EQ(d.TreviaResistance(), 52);
    d.SetHighPowerReduceCoefficient(0.1);  // below the minimum 0.25
    EXPECT_EQ(d.HighPowerReduceCoefficient(), 0.25);
    d.SetHighPowerReduceCoefficient(1);

    // Safety: standing still, every level becomes 0.
    d.SetSecurityActive(true);
    d.SetTreviaResistance(80);
    EXPECT_EQ(d.TreviaResistance(), 0);
    d.SetSpeed(10);
    d.SetTreviaResistance(80);
    EXPECT_EQ(d.TreviaResistance(), 80);

    // A NAW trainer takes no resistance levels.
    d.SetRecieverType(ulmNAW);
    d.SetTreviaResistance(120);
    EXPECT_EQ(d.TreviaResistance(), 80);
    d.SetRecieverType(ulmVexa);

    struct {
        int32_t in, stored;
    } initial[] = {{256, 255}, {-1, 0}, {240, 239}, {247, 246}, {30, 30}};
    for (const auto& c : initial) {
        d.SetInitialResistance(c.in);
        EXPECT_EQ(d.InitialResistance(), c.stored) << c.in;
        EXPECT_EQ(d.TreviaResistance(), c.stored) << c.in;
    }
}

TEST_F(TrainerOffline, RideStateMachineOrderAndVetoes) {
    TTreviaDeviceANT& d = *Dev;
    Record();
    d.SetInitialResistance(20);
    d.SetTreviaResistance(90);

    EXPECT_TRUE(d.Start());
    EXPECT_EQ(Events, (std::vector<std::string>{"before start", "6>4", "6>4"}));
    EXPECT_EQ(d.TreviaResistance(), 20);
    EXPECT_TRUE(d.GetTimerStatsEnabled());
    Events.clear();

    EXPECT_FALSE(d.Start());
    EXPECT_TRUE(Events.empty());

    d.Pause();
    d.Pause();  // no state change: only the before-event and the second notice
    EXPECT_EQ(Events, (std::vector<std::string>{"before pause", "4>5", "4>5", "before pause", "5>5"}));
    EXPECT_FALSE(d.GetTimerStatsEnabled());
    Events.clear();

    EXPECT_TRUE(d.Start());
    EXPECT_EQ(Events, (std::vector<std::string>{"before start", "5>4", "5>4"}));
    Events.clear();

    d.SetTreviaResistance(70);
    AllowStop = false;
    EXPECT_FALSE(d.Stop());
    EXPECT_EQ(Events, (std::vector<std::string>{"before stop"}));
    EXPECT_EQ(d.GetCompetitorState(), cstRunning);
    EXPECT_TRUE(d.GetTimerStatsEnabled());
    EXPECT_EQ(d.TreviaResistance(), 70);
    Events.clear();

    AllowStop = true;
    EXPECT_TRUE(d.Stop());
    EXPECT_EQ(Events, (std::vector<std::string>{"before stop", "4>6", "4>6", "after stop"}));
    EXPECT_EQ(d.GetCompetitorState(), cstStopped);
    EXPECT_FALSE(d.GetTimerStatsEnabled());
    EXPECT_EQ(d.TreviaResistance(), 20);
}

TEST_F(TrainerOffline, ResumeKeepsRideValuesRestartClearsThem) {
    TTreviaDeviceANT& d = *Dev;
    auto fill = [&] {
        d.SetDistance(5);
        d.SetMaxSpeed(40);
        d.SetCalories(300);
        d.SetAvgSpeed(25);
        d.SetMaxPower(250);
    };
    d.Start();
    fill();
    d.Pause();
    d.Start();
    EXPECT_EQ(d.GetDistance(), 5);
    EXPECT_EQ(d.MaxSpeed(), 40);
    EXPECT_EQ(d.GetCalories(), 300);
    EXPECT_EQ(d.GetAvgSpeed(), 25);
    d.Stop();
    d.Start();
    EXPECT_EQ(d.GetDistance(), 0);
    EXPECT_EQ(d.MaxSpeed(), 0);
    EXPECT_EQ(d.MaxPower(), 0);
    EXPECT_EQ(d.GetCalories(), 0);
    EXPECT_EQ(d.GetAvgSpeed(), 0);
    EXPECT_EQ(d.AuxIndex(), -1);
    EXPECT_EQ(d.TimeElapsed(), 0u);
    d.Stop();
}

// A disconnect in the middle of a ride stops its statistics; the next start goes on with
// the ride instead of refusing a ride that counts as running.
TEST_F(TrainerOffline, RideCutByADisconnectGoesOnAtTheNextStart) {
    TTreviaDeviceANT& d = *Dev;
    Record();
    ASSERT_TRUE(d.Start());
    d.SetDistance(5);
    d.SetMaxSpeed(40);
    d.Disconnect();
    EXPECT_EQ(d.GetCompetitorState(), cstRunning);
    EXPECT_FALSE(d.GetTimerStatsEnabled());
    Events.clear();
    EXPECT_TRUE(d.Start());
    EXPECT_EQ(Events, (std::vector<std::string>{"before start", "4>4"}));
    EXPECT_TRUE(d.GetTimerStatsEnabled());
    EXPECT_EQ(d.GetDistance(), 5);
    EXPECT_EQ(d.MaxSpeed(), 40);
    Events.clear();
    EXPECT_FALSE(d.Start());  // running with its statistics: nothing happens
    EXPECT_TRUE(Events.empty());
    d.Stop();
}

TEST_F(TrainerOffline, RideStartedBeforeConnectingRuns) {
    TTreviaDeviceANT& d = *Dev;
    int stats = 0, lost = 0, disconnected = 0, baseDisconnected = 0;
    d.OnStats = [&](TObject*) { ++stats; };
    d.OnHeartConnectionLost = [&](TObject*) { ++lost; };
    d.OnDisconnected = [&](TObject*) { ++disconnected; };
    d.TQorCustomDevice::OnDisconnected = [&](TObject*) { ++baseDisconnected; };
    d.SetTimerStatsInterval(1000);
    ASSERT_TRUE(d.Start());
    for (int i = 0; i < 3; ++i) d.StatsTimer()->DoTimer();
    EXPECT_EQ(stats, 3);
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(d.Time(), 0);  // steps count only while connected
    // The timer's own ticks run the step too.
    Application()->Delay(3500);
    EXPECT_GE(stats, 4);
    d.Stop();
    // Disconnect without a link: the events still fire.
    d.Disconnect();
    EXPECT_EQ(disconnected, 0);  // this class's event belongs to the link's loss
    EXPECT_EQ(baseDisconnected, 1);
}

TEST_F(TrainerOffline, PhysicsTables) {
    TTreviaDeviceANT& d = *Dev;
    d.SetRiderWeight(70);
    EXPECT_EQ(d.ComputeForces(0, 5), 0);
    EXPECT_EQ(d.ComputeForces(-3, 5), 0);
    EXPECT_NEAR(d.ComputeForces(30, 0), 142.35, 1e-9);
    // Slope term: d * w * slope * v with w = 80.
    EXPECT_NEAR(d.ComputeForces(30, 2), 142.35 + 0.027 * 80 * 2 * 30, 1e-9);
    // Steep descent: negative power counts as 0.
    EXPECT_EQ(d.ComputeForces(10, -20), 0);
    d.SetUOM(umMiles);
    d.SetRiderWeight(150);  // pounds, plus 22
    EXPECT_NEAR(d.ComputeForces(20, 1), 0.006 * 8000 + 0.33 * 400 + (0.02 * 172 * 1 - 0.6) * 20, 1e-9);
}

TEST_F(TrainerOffline, VirtualSpeedModel) {
    TTreviaDeviceANT& d = *Dev;
    d.SetRiderWeight(70);  // m = 80
    d.SetVirtualSpeedEnabled(true);
    d.SetCurrentSlope(-5);
    d.ComputeVirtualSpeed(20);
    // Gravity 80 * 5 / 100 = 4; pedalling and attrition both 55 / 20.
    EXPECT_NEAR(d.GravityForce(), 4, 1e-12);
    EXPECT_NEAR(d.PedalingForce(), 2.75, 1e-12);
    EXPECT_NEAR(d.AttritionForce(), 2.75, 1e-12);
    EXPECT_NEAR(d.VirtualSpeed(), 0.49, 1e-9);
    d.ComputeVirtualSpeed(20);
    EXPECT_GT(d.VirtualSpeed(), 0.49);
    EXPECT_LT(d.AttritionForce(), 2.75 + 0.1);

    // Flat road above the tolerance: decays by the attrition.
    d.SetCurrentSlope(0);
    d.SetTolerance(0.1);
    const double prev = d.VirtualSpeed();
    d.ComputeVirtualSpeed(20);
    const double attrition = d.ComputeForces(prev + 20, 0) / (prev + 20);
    EXPECT_NEAR(d.VirtualSpeed(), prev - attrition * 2.5 / (80 / 9.8), 1e-9);
    // Negative results become 0.
    d.ComputeVirtualSpeed(20);
    EXPECT_EQ(d.VirtualSpeed(), 0);

    // At or below the tolerance on the flat it drops to 0 at once.
    d.SetCurrentSlope(-5);
    d.SetTolerance(2);
    d.ComputeVirtualSpeed(20);
    ASSERT_GT(d.VirtualSpeed(), 0);
    d.SetCurrentSlope(0);
    d.ComputeVirtualSpeed(20);
    EXPECT_EQ(d.VirtualSpeed(), 0);

    // Standing still resets the model; turning it off too.
    d.SetCurrentSlope(-5);
    d.ComputeVirtualSpeed(20);
    d.ComputeVirtualSpeed(0);
    EXPECT_EQ(d.VirtualSpeed(), 0);
    EXPECT_EQ(d.GravityForce(), 0);
    d.ComputeVirtualSpeed(20);
    d.SetVirtualSpeedEnabled(false);
    EXPECT_EQ(d.VirtualSpeed(), 0);
    EXPECT_EQ(d.PedalingForce(), 0);
}

TEST_F(TrainerOffline, HighPowerReduction) {
    TTreviaDeviceANT& d = *Dev;
    d.SetHighPowerReduceCoefficient(0.5);
    d.ApplyHighPowerReduce();  // off: back to 1
    EXPECT_EQ(d.HighPowerReduceCoefficient(), 1.0);
    d.SetHighPowerReduceEnable(true);
    struct {
        long double instant;
        double coefficient;
    } cases[] = {{7, 1.0}, {10, 1.0}, {3.5, 0.625}, {0, 0.25}, {-2, 0.25}};
    for (const auto& c : cases) {
        d.SetInstantSpeed(c.instant);
        d.ApplyHighPowerReduce();
        EXPECT_NEAR(d.HighPowerReduceCoefficient(), c.coefficient, 1e-12) << static_cast<double>(c.instant);
    }
    // With the virtual model on, its speed is taken off the instant speed.
    d.SetRiderWeight(70);
    d.SetVirtualSpeedEnabled(true);
    d.SetCurrentSlope(-5);
    d.ComputeVirtualSpeed(20);  // 0.49
    d.SetInstantSpeed(7);
    d.ApplyHighPowerReduce();
    EXPECT_NEAR(d.HighPowerReduceCoefficient(), 0.75 * (7 - 0.49) / 7 + 0.25, 1e-9);
}

}  // namespace
