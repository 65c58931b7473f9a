// The ANT link's page decoding and frame lines. Most cases feed pages through the
// channel-event procedure as the library does; the last ones run against the simulator.
#include <cmath>

#include "tests/device/AntLinkFixture.h"

namespace {

using TPage = std::array<uint8_t, 8>;

class AntLinkPagesTest : public AntLinkTest {
protected:
    ulma_ANT& Planned(TUlmaRecieverType kind = ulmVexa) {
        ulma_ANT& link = NewLink(kind);
        link.SetChannelPlan(AntSimTrainerNumber, AntSimHeartRateNumber, AntSimConsoleNumber);
        Log.Clear();
        return link;
    }
};

TEST_F(AntLinkPagesTest, HeartRatePages) {
    ulma_ANT& link = Planned();
    Feed(link, 0, {0x84, 0, 0x34, 0x12, 0x34, 0x12, 9, 77});  // page 4, toggle bit set
    EXPECT_TRUE(link.ChannelAlive(0));
    EXPECT_TRUE(link.HeartSeen);
    EXPECT_EQ(link.HeartRate, 77);
    EXPECT_EQ(link.HeartBeatEventTime, 0x1234u);
    EXPECT_EQ(link.HeartBeatCount, 9);
    EXPECT_EQ(link.HrPreviousBeatTime, 0x1234);
    Feed(link, 0, {0x01, 0x01, 0x02, 0x03, 0, 0, 10, 80});
    EXPECT_EQ(link.HrOperatingTime, 0x030201u);
    EXPECT_EQ(link.HeartRate, 80);
    Feed(link, 0, {0x82, 7, 0xEF, 0xBE, 0, 0, 11, 81});
    EXPECT_EQ(link.HrManufacturerId, 7);
    EXPECT_EQ(link.HrSerialNumber, 0xBEEF);
    Feed(link, 0, {0x03, 5, 9, 2, 0, 0, 12, 82});
    EXPECT_EQ(link.HrHardwareVersion, 5);
    EXPECT_EQ(link.HrSoftwareVersion, 9);
    EXPECT_EQ(link.HrModelNumber, 2);
    Feed(link, 0, {0x00, 1, 1, 1, 0x10, 0, 13, 83});  // page 0: common bytes only
    EXPECT_EQ(link.HrOperatingTime, 0x030201u);
    EXPECT_EQ(link.HeartBeatEventTime, 0x10u);
}

TPage SpeedCadencePage(int cTime, int cRevs, int sTime, int sRevs) {
    return {uint8_t(cTime), uint8_t(cTime >> 8), uint8_t(cRevs), uint8_t(cRevs >> 8),
            uint8_t(sTime), uint8_t(sTime >> 8), uint8_t(sRevs), uint8_t(sRevs >> 8)};
}

TEST_F(AntLinkPagesTest, Cadence) {
    struct Row {
        const char* What;
        std::vector<std::pair<int, int>> Pages;  // (time, revolutions)
        int Cadence;
    } rows[] = {
        {"one revolution in a second", {{0, 5}, {1024, 6}}, 60},
        {"the revolution difference only gates", {{0, 5}, {1024, 7}}, 60},
        {"half a second", {{0, 5}, {512, 6}}, 120},
        {"rounded", {{0, 5}, {1000, 6}}, 61},
        {"first page alone gives nothing", {{0, 5}}, 0},
        {"time wrapped: unchanged", {{64000, 5}, {65000, 6}, {500, 7}}, 61},
        {"next page after the wrap computes from 500", {{64000, 5}, {65000, 6}, {500, 7}, {1524, 8}}, 60},
        {"revolutions going back: unchanged", {{0, 5}, {1024, 6}, {2048, 2}}, 60},
    };
    for (const auto& r : rows) {
        ulma_ANT& link = Planned();
        for (auto [t, n] : r.Pages) Feed(link, 2, SpeedCadencePage(t, n, 0, 0));
        EXPECT_EQ(link.Cadence, r.Cadence) << r.What;
        EXPECT_TRUE(link.ChannelAlive(2));
    }
}

TEST_F(AntLinkPagesTest, CadenceDropsAfterFortyOneUnchangedPages) {
    ulma_ANT& link = Planned();
    Feed(link, 2, SpeedCadencePage(0, 5, 0, 0));
    Feed(link, 2, SpeedCadencePage(1024, 6, 0, 0));
    for (int i = 0; i < 40; ++i) Feed(link, 2, SpeedCadencePage(1024, 6, 0, 0));
    EXPECT_EQ(link.Cadence, 60);
    Feed(link, 2, SpeedCadencePage(1024, 6, 0, 0));
    EXPECT_EQ(link.Cadence, 0);
    EXPECT_EQ(link.PrevCadenceEventTime, 1024);
    EXPECT_EQ(link.PrevCadenceRevolutions, 6);
}

TEST_F(AntLinkPagesTest, Speed) {
    struct Row {
        const char* What;
        double Roll;
        uint8_t PerTurn;
        std::vector<std::pair<int, int>> Pages;  // (time, revolutions)
        double Speed;
    } rows[] = {
        // 700 / 2 x 3.14 x 3686.4 / 1000 x 1 / 1024
        {"one event in a second", 700, 2, {{0, 10}, {1024, 11}}, 3.95640},
        {"four events in a second", 700, 2, {{0, 10}, {1024, 14}}, 15.8256},
        {"one event per turn", 700, 1, {{0, 10}, {1024, 11}}, 7.91280},
        {"no events per turn counts as one", 700, 0, {{0, 10}, {1024, 11}}, 7.91280},
        {"roll diameter 0", 0, 2, {{0, 10}, {1024, 11}}, 0},
        {"below 0.4 km/h is 0", 700, 2, {{0, 10}, {20480, 11}}, 0},
        {"standing: same time and count", 700, 2, {{0, 10}, {1024, 11}, {1024, 11}}, 0},
        {"count wrapped: unchanged", 700, 2, {{0, 10}, {1024, 11}, {2048, 0}}, 3.95640},
        {"first page alone gives nothing", 700, 2, {{60000, 500}}, 0},
    };
    for (const auto& r : rows) {
        ulma_ANT& link = Planned();
        link.RollDiameter = r.Roll;
        link.EventPerTurn = r.PerTurn;
        for (auto [t, n] : r.Pages) Feed(link, 2, SpeedCadencePage(0, 0, t, n));
        EXPECT_NEAR(link.Speed, r.Speed, 1e-4) << r.What;
    }
}

TEST_F(AntLinkPagesTest, ConsolePages) {
    ulma_ANT& link = Planned();
    Feed(link, 3, {5, 1, 0, 7, 0, 0, 0, 0});
    EXPECT_TRUE(link.ChannelAlive(3));
    EXPECT_TRUE(link.ConsoleKeys[ckPlus]);
    EXPECT_FALSE(link.ConsoleKeys[ckMinus]);
    EXPECT_TRUE(link.ConsoleKeys[ckEnter]);
    EXPECT_FALSE(link.ConsoleKeys[ckTab]);
    Feed(link, 3, {0xFF, 8, 0, 0, 0, 0, 0, 0});
    Feed(link, 3, {0xFF, 9, 0, 0, 0, 0, 0, 0});
    Feed(link, 3, {0xFF, 0x0A, 0, 0, 0, 0, 0, 0});
    EXPECT_TRUE(link.ConsoleCommand8Ack);
    EXPECT_TRUE(link.ConsoleCommand9Ack);
    EXPECT_TRUE(link.KeepAliveAck);
    EXPECT_FALSE(link.ConsoleEprom.WriteDone);
    Feed(link, 3, {0xFF, 3, 0, 0, 0, 0, 0, 0});
    EXPECT_TRUE(link.ConsoleEprom.WriteDone);
    Feed(link, 3, {2, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77});
    EXPECT_TRUE(link.ConsoleEprom.ReadDone);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(link.ConsoleEprom.Reply[i], 0x11 * (i + 1));
    EXPECT_TRUE(Contains(Log, "********EPROM RECEIVED CONSOLE******"));
}

TEST_F(AntLinkPagesTest, VexaTrainerPagesAndAnswers) {
    ulma_ANT& link = Planned();
    link.SetResistance(0x2C);
    link.Channel(1)->DeviceNumber = 0;
    Feed(link, 1, {1, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_FALSE(link.ChannelAlive(1));  // not paired yet
    link.Channel(1)->DeviceNumber = 77;
    Feed(link, 1, {7, 0x56, 0x34, 0x12, 0, 0, 0, 0});
    EXPECT_TRUE(link.ChannelAlive(1));
    EXPECT_EQ(link.TotalDistance, 0x123456u);
    Feed(link, 1, {2, 1, 2, 3, 4, 5, 6, 0});
    EXPECT_TRUE(link.TrainerEprom.ReadDone);
    EXPECT_EQ(link.TrainerEprom.Reply[5], 6);
    Feed(link, 1, {0xFF, 3, 0, 0, 0, 0, 0, 0});
    EXPECT_TRUE(link.TrainerEprom.WriteDone);
    Feed(link, 1, {0xFE, 8, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(LogLines({"Distance", "ACK(", "NACK", "Tx(1):("}),
              (std::vector<std::string>{
                  "Tx(1):(1; [01] [2C] [00] [00] [00] [00] [00] [00])",  // answer before pairing
                  "Distance Recieved command (1)",
                  "Tx(1):(1; [01] [2C] [00] [00] [00] [00] [00] [00])",
                  "Tx(1):(1; [01] [2C] [00] [00] [00] [00] [00] [00])",
                  "ACK(1)-CMD(3)",
                  "Tx(1):(1; [01] [2C] [00] [00] [00] [00] [00] [00])",
                  "NACK!!(1)-CMD(8)",
                  "Tx(1):(1; [01] [2C] [00] [00] [00] [00] [00] [00])",
              }));
    EXPECT_EQ(link.Channel(1)->TransmitPage(), (TPage{1, 0x2C, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(link.TxFrames, 0);  // answers are not counted
}

TEST_F(AntLinkPagesTest, NawTrainerPage) {
    struct Row {
        TPage Page;
        float Speed;
        int Cadence, Count, Flag;
    } rows[] = {
        // speed 23.4: units 3 (high nibble of byte 0), tenths 4, tens 2; cadence 85
        {{0x34, 0x20, 0x10, 0x00, 0x50, 0x80, 0x00, 0}, 23.4f, 85, 0, 0},
        {{0x34, 0x20, 0x14, 0x00, 0x50, 0x80, 0x01, 0}, 23.4f, 85, 8, 1},
        {{0x90, 0x91, 0x10, 0x01, 0x90, 0x99, 0x00, 0}, 199.0f, 999, 512, 0},
    };
    ulma_ANT& link = Planned(ulmNAW);
    link.NawBrakeValue = 0xFFFF;
    for (const auto& r : rows) {
        Feed(link, 1, r.Page);
        EXPECT_NEAR(link.Speed, r.Speed, 1e-4);
        EXPECT_EQ(link.Cadence, r.Cadence);
        EXPECT_EQ(link.NawEventCount, r.Count);
        EXPECT_EQ(link.NawFlag, r.Flag);
    }
    EXPECT_EQ(link.NawCountBase, 32);
    EXPECT_TRUE(link.ChannelAlive(1));
    // The brake value is capped at 0xFFFE.
    EXPECT_EQ(link.NawBrakeValue, 0xFFFE);
    EXPECT_EQ(link.Channel(1)->TransmitPage(), (TPage{0xFE, 0xFF, 0, 0, 0, 0, 0, 1}));
    link.NawBrakeValue = 0x1234;
    Event(link, 1, EVENT_TX);
    EXPECT_EQ(link.Channel(1)->TransmitPage(), (TPage{0x34, 0x12, 0, 0, 0, 0, 0, 1}));
}

TEST_F(AntLinkPagesTest, TransmitEventPlacesQueuedPagesInOrder) {
    ulma_ANT& link = Planned();
    struct Row {
        const char* What;
        std::function<void()> Queue;
        TPage Page;
        bool DistanceStays;
    } rows[] = {
        {"resistance", [&] { link.SetResistance(300); }, {1, 44, 0, 0, 0, 0, 0, 0}, false},
        {"command 4 over resistance",
         [&] {
             link.SetResistance(5);
             link.TrainerCommand4();
         },
         {4, 0, 0, 0, 0, 0, 0, 0},
         false},
        {"command 8", [&] { link.TrainerCommand8(1193046); }, {8, 0x56, 0x34, 0x12, 0, 0, 0, 0}, false},
        {"command 8 over the distance request",
         [&] {
             link.DistancePending = true;
             link.TrainerCommand8(0x010203);
         },
         {8, 3, 2, 1, 0, 0, 0, 0},
         true},
        {"distance request over command 4",
         [&] {
             link.DistancePending = true;
             link.TrainerCommand4();
         },
         {7, 0, 0, 0, 0, 0, 0, 0},
         true},
    };
    for (const auto& r : rows) {
        link.DistancePending = false;
        r.Queue();
        Event(link, 1, EVENT_TX);
        EXPECT_EQ(link.Channel(1)->TransmitPage(), r.Page) << r.What;
        EXPECT_FALSE(link.ResistancePending) << r.What;
        EXPECT_FALSE(link.Command4Pending) << r.What;
        EXPECT_FALSE(link.Command8Pending) << r.What;
        EXPECT_EQ(link.DistancePending, r.DistanceStays) << r.What;
    }
    EXPECT_TRUE(Contains(Raw, "Tx(1): [07][00][00][00][00][00][00][00] RF Freq:71 RxCount:0"));
}

TEST_F(AntLinkPagesTest, FrameLinesAndCounters) {
    ulma_ANT& link = Planned();
    link.TxFrames = 5;
    Feed(link, 3, {5, 0, 0, 0, 0, 0, 0, 0xAB});
    EXPECT_EQ(Raw[0], "Rx(3): [03][05][00][00][00][00][00][00] RF Freq:70 RxCount:5");
    EXPECT_EQ(Log[Log.Count() - 1], "Recv(3): [05][00][00][00][00][00][00][AB] RF Freq:70 RxCount:1");
    Event(link, 3, EVENT_RX_FAIL);
    Event(link, 3, EVENT_RX_FAIL);
    EXPECT_EQ(Log[Log.Count() - 2], "Rx Fail RF Freq:70 NoConnectCount:0.00.0 Channel: 3");
    EXPECT_EQ(Log[Log.Count() - 1], "Rx Fail RF Freq:70 NoConnectCount:1.00.0 Channel: 3");
    EXPECT_EQ(link.RxFailures, 2u);
    EXPECT_EQ(link.GetLinkQuality(), 33);
    Event(link, 1, EVENT_TRANSFER_TX_FAILED);
    EXPECT_EQ(LogLines({"Recv Ack", "EVENT_", "Recv("}).back(),
              "Recv(3): [05][00][00][00][00][00][00][AB] RF Freq:70 RxCount:1");
    EXPECT_TRUE(Contains(Log, "Recv Ack(1): [01][01][06][00][00][00][00][00] RxCount:0"));
    EXPECT_TRUE(Contains(Log, "EVENT_TRANSFER_TX_FAILED (1)"));
    EXPECT_TRUE(link.TrainerEprom.Retry);
    EXPECT_EQ(link.GetLinkQuality(), 50);  // failed sends count as good events
    EXPECT_EQ(link.NoConnectCount, 0);
    Event(link, 2, EVENT_CHANNEL_CLOSED);
    EXPECT_TRUE(link.ChannelClosed);
    EXPECT_EQ(Log[Log.Count() - 1], "Ack - Channel Close2");
}

TEST_F(AntLinkPagesTest, LogSwitches) {
    ulma_ANT& link = Planned();
    link.RawLogEnabled = false;
    Feed(link, 0, {4, 0, 0, 0, 0, 0, 0, 60});
    EXPECT_EQ(CountPrefix(Log, "Recv("), 0);
    EXPECT_EQ(CountPrefix(Raw, "Rx(0)"), 1);

    link.RawLogEnabled = true;
    link.LogEnabled = false;
    Feed(link, 0, {4, 0, 0, 0, 0, 0, 0, 60});
    Event(link, 0, EVENT_RX_FAIL);
    Event(link, 1, EVENT_TRANSFER_TX_FAILED);
    EXPECT_EQ(CountPrefix(Log, "Recv("), 2);  // the page and its repetition after the failed send
    EXPECT_EQ(CountPrefix(Raw, "Rx(0)"), 1);
    EXPECT_EQ(CountPrefix(Log, "Rx Fail"), 0);
    EXPECT_EQ(CountPrefix(Log, "EVENT_TRANSFER"), 0);
    // A log switch does not change what the link does.
    EXPECT_TRUE(link.TrainerEprom.Retry);
}

TEST_F(AntLinkPagesTest, LiveValuesFromTheSimulatedDevices) {
    TAntSimConfig config;
    Install(config);
    Stick->HeartRate().SetHeartRate(91);
    Stick->SpeedCadence().SetCadence(90);
    ulma_ANT& link = NewLink();
    link.RollDiameter = 700;
    ASSERT_TRUE(link.Connect(0));
    link.SetChannelPlan(AntSimTrainerNumber, AntSimHeartRateNumber, AntSimConsoleNumber);
    link.OpenChannels();
    ASSERT_TRUE(WaitUntil([&] { return link.HeartRate == 91 && link.HrSerialNumber != 0; }));
    EXPECT_TRUE(WaitUntil([&] { return std::abs(link.Cadence - 90) <= 2; }));
    EXPECT_GT(link.Speed, 0);
    EXPECT_GT(link.GetLinkQuality(), 90);
}

TEST_F(AntLinkPagesTest, NawTrainerAgainstTheSimulator) {
    TAntSimConfig config;
    config.TrainerKind = TAntSimTrainerKind::NAW;
    Install(config);
    Stick->Trainer().SetSpeed(31.7);
    Stick->Trainer().SetCadence(74);
    ulma_ANT& link = NewLink(ulmNAW);
    link.NawBrakeValue = 250;
    ASSERT_TRUE(link.Connect(0));
    link.SetChannelPlan(AntSimTrainerNumber, AntSimHeartRateNumber, AntSimConsoleNumber);
    link.OpenChannels();
    ASSERT_TRUE(WaitUntil([&] { return std::abs(link.Speed - 31.7f) < 1e-3 && link.Cadence == 74; }));
    EXPECT_TRUE(WaitUntil([&] { return Stick->Trainer().BrakeValue() == 250; }));
    EXPECT_TRUE(WaitUntil([&] { return link.NawEventCount > 0; }));
}

}  // namespace
