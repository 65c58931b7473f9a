// The device base component: defaults, the design-time alarm clamps, tolerance, events.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/QorDeviceBaseClasses.h"
#include "platform/framework/Dialogs.h"
#include "platform/rtl/Thread.h"

namespace {

TEST(DeviceBase, CreationDefaults) {
    MainThreadId();
    TQorCustomDevice d(nullptr);
    EXPECT_EQ(d.RiderId(), -1);
    EXPECT_EQ(d.UOM(), umKm);
    EXPECT_EQ(d.HeartMaxLimit(), 220);
    EXPECT_EQ(d.AlarmHeartHighLimit(), 210);
    EXPECT_EQ(d.AlarmHeartLowLimit(), 35);
    EXPECT_EQ(d.AlarmHeartMaxLimit(), 220);
    EXPECT_EQ(d.TimeToleranceMs(), 100u);
    EXPECT_EQ(d.BikeWeight(), 10);
    EXPECT_EQ(d.GetCompetitorState(), cstNone);
    EXPECT_FALSE(d.GetConnected());
    EXPECT_FALSE(d.GetTimerStatsEnabled());
    EXPECT_FALSE(d.IsAuxFlagSet());
}

TEST(DeviceBase, AlarmLimitsClampOnlyAtDesignTime) {
    TRecordingMessageScope boxes;
    TQorCustomDevice d(nullptr);
    d.SetAlarmHeartHighLimit(250);
    d.SetAlarmHeartLowLimit(20);
    d.SetAlarmHeartMaxLimit(230);
    EXPECT_EQ(d.AlarmHeartHighLimit(), 250);
    EXPECT_EQ(d.AlarmHeartLowLimit(), 20);
    EXPECT_EQ(d.AlarmHeartMaxLimit(), 230);
    EXPECT_TRUE(boxes.Handler().Beeps.empty());

    TQorCustomDevice designed(nullptr);
    designed.SetDesigning(true);
    designed.SetAlarmHeartHighLimit(250);
    designed.SetAlarmHeartLowLimit(20);
    designed.SetAlarmHeartMaxLimit(230);
    EXPECT_EQ(designed.AlarmHeartHighLimit(), 210);
    EXPECT_EQ(designed.AlarmHeartLowLimit(), 35);
    EXPECT_EQ(designed.AlarmHeartMaxLimit(), 220);
    EXPECT_EQ(boxes.Handler().Beeps.size(), 3u);
    // Values within the bounds are taken as they are.
    designed.SetAlarmHeartHighLimit(180);
    EXPECT_EQ(designed.AlarmHeartHighLimit(), 180);
    EXPECT_EQ(boxes.Handler().Beeps.size(), 3u);
}

TEST(DeviceBase, ToleranceIsModular) {
    TQorCustomDevice d(nullptr);
    struct {
        uint32_t a, b;
        bool within;
    } cases[] = {
        {1000, 900, true},  {1000, 899, false},         {5, 0xFFFFFFF0u, true},
        {900, 1000, false}, {0x10, 0xFFFFFF00u, false}, {7, 7, true},
    };
    for (const auto& c : cases) EXPECT_EQ(d.IsWithinTolerance(c.a, c.b), c.within) << c.a << " " << c.b;
}

TEST(DeviceBase, ConnectDisconnectAndStateEvents) {
    TQorCustomDevice d(nullptr);
    std::vector<std::string> log;
    d.OnConnected = [&](TObject* s) {
        EXPECT_EQ(s, &d);
        log.push_back("connected");
    };
    d.OnDisconnected = [&](TObject*) { log.push_back("disconnected"); };
    d.OnCompetitorStateChanged = [&](TObject*, TCompetitorState o, TCompetitorState n) {
        log.push_back("state " + std::to_string(o) + ">" + std::to_string(n));
    };
    d.Connect();
    EXPECT_TRUE(d.GetConnected());
    d.SetCompetitorState(cstRunning);
    d.SetCompetitorState(cstRunning);  // unchanged: no event
    d.Disconnect();
    EXPECT_FALSE(d.GetConnected());
    EXPECT_EQ(log, (std::vector<std::string>{"connected", "state 0>4", "disconnected"}));
}

TEST(DeviceBase, LiveValuesAndAssign) {
    TQorCustomDevice a(nullptr), b(nullptr);
    a.SetLiveValues(120, 85, 31.5, 12.25, 99);
    EXPECT_EQ(a.GetHeartRate(), 120);
    EXPECT_EQ(a.GetCadence(), 85);
    EXPECT_EQ(a.GetSpeed(), 31.5);
    EXPECT_EQ(a.GetDistance(), 12.25);

    a.SetRiderName("Rider");
    a.SetRiderWeight(70);
    b.Assign(&a);
    EXPECT_EQ(b.RiderName(), "Rider");
    EXPECT_EQ(b.RiderWeight(), 0);
    TStringList other;
    EXPECT_THROW(b.Assign(&other), EConvertError);
}

TEST(DeviceBase, StatsTimerBindsTheStep) {
    TQorCustomDevice d(nullptr);
    int stats = 0;
    d.OnStats = [&](TObject*) { ++stats; };
    d.SetTimerStatsInterval(1000);
    EXPECT_EQ(d.GetTimerStatsInterval(), 1000u);
    d.SetTimerStatsEnabled(true);
    d.StatsTimer()->DoTimer();
    d.SetTimerStatsEnabled(false);
    EXPECT_EQ(stats, 1);
}

}  // namespace
