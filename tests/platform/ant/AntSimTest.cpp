// The simulated devices and the fault injection, seen through the radio library.
#include <algorithm>
#include <set>

#include "tests/platform/ant/AntTestUtil.h"

using namespace anttest;

namespace {

bool HasPage(uint8_t ch, const std::function<bool(const TAntPage&)>& pred) {
    for (auto& p : Pages(ch))
        if (pred(p)) return true;
    return false;
}

class AntSimTest : public AntLibraryTest {
protected:
    // Sends a page and waits for the device's answer that `pred` accepts.
    TAntPage Exchange(uint8_t ch, const TAntPage& page, bool ack,
                      const std::function<bool(const TAntPage&)>& pred) {
        size_t before = Pages(ch).size();
        if (ack)
            ANT_SendAcknowledgedData(ch, page.data());
        else
            ANT_SendBroadcastData(ch, page.data());
        TAntPage got{};
        bool ok = WaitUntil(
            [&] {
                auto ps = Pages(ch);
                for (size_t i = before; i < ps.size(); ++i)
                    if (pred(ps[i])) {
                        got = ps[i];
                        return true;
                    }
                return false;
            },
            10000);
        EXPECT_TRUE(ok) << "no answer on channel " << int(ch);
        return got;
    }
    static bool Is(const TAntPage& p, uint8_t b0, uint8_t b1) { return p[0] == b0 && p[1] == b1; }
};

TEST_F(AntSimTest, ConfigurationCallsPutLittleEndianFieldsOnTheWire) {
    auto stick = AntSimInstall(0);
    Open();
    const uint8_t key[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ANT_SetNetworkKey(1, key);
    ANT_AssignChannel(2, 0, 1);
    ANT_SetChannelId(2, 0x1234, 19, 1);
    ANT_SetChannelPeriod(2, 31814);
    ASSERT_TRUE(WaitUntil([] { return Acks(MESG_CHANNEL_MESG_PERIOD_ID).size() == 1; }, 1000));
    const std::vector<TAntFrame> want = {
        {MESG_NETWORK_KEY_ID, {1, 1, 2, 3, 4, 5, 6, 7, 8}},
        {MESG_ASSIGN_CHANNEL_ID, {2, 0, 1}},
        {MESG_CHANNEL_ID_ID, {2, 0x34, 0x12, 19, 1}},
        {MESG_CHANNEL_MESG_PERIOD_ID, {2, 0x46, 0x7C}},
    };
    EXPECT_EQ(stick->HostFrames(), want);
}

// The default memories in the layout of the console's field map.
TEST(AntSimDevices, DefaultEpromImages) {
    TAntSimStick stick;
    const std::array<uint8_t, 32> trainer = {0x00, 0x12, 0x39, 0x30, 0xB0, 0x04, 0xC4, 0x09, 0xA0, 0x0F, 10,
                                             25,   40,   20,   60,   120,  1,    15,   6,    9,    30,   50,
                                             0x45, 0x23, 0x01, 2,    3,    71,   57,   0x80, 0x40, 0};
    EXPECT_EQ(stick.Trainer().Eprom(), trainer);
    const std::array<uint8_t, 17> console = {0x00, 0x10, 0xA0, 0x5B, 1,    20, 3,  10, 40,
                                             40,   50,   50,   0x39, 0x30, 3,  70, 71};
    EXPECT_EQ(stick.Console().Eprom(), console);
}

TEST_F(AntSimTest, TrainerEpromReadWriteAndCommands) {
    auto stick = AntSimInstall(0);
    Open();
    OpenTrainer();
    ASSERT_TRUE(WaitUntil([] { return !Pages(1).empty(); }, 5000));

    // Read the device number (0x02, 2 bytes) and the production date (0x11, 3 bytes).
    auto r = Exchange(1, {2, 0x02, 0, 2, 0, 0, 0, 0}, true, [](auto& p) { return p[0] == 2; });
    EXPECT_EQ(r, (TAntPage{2, AntSimTrainerNumber & 0xFF, AntSimTrainerNumber >> 8, 0, 0, 0, 0, 0}));
    r = Exchange(1, {2, 0x11, 0, 3, 0, 0, 0, 0}, true, [](auto& p) { return p[0] == 2; });
    EXPECT_EQ(r, (TAntPage{2, 15, 6, 9, 0, 0, 0, 0}));

    // Write total distance 0x012345 to 0x16..0x18; read it back.
    r = Exchange(1, {3, 0x16, 0, 3, 0x45, 0x23, 0x01, 0}, false, [](auto& p) { return p[0] == 0xFF; });
    EXPECT_TRUE(Is(r, 0xFF, 3));
    auto e = stick->Trainer().Eprom();
    EXPECT_EQ(e[0x16], 0x45);
    EXPECT_EQ(e[0x17], 0x23);
    EXPECT_EQ(e[0x18], 0x01);
    r = Exchange(1, {2, 0x16, 0, 3, 0, 0, 0, 0}, true, [](auto& p) { return p[0] == 2; });
    EXPECT_EQ(r, (TAntPage{2, 0x45, 0x23, 0x01, 0, 0, 0, 0}));

    // Bad ranges are refused.
    r = Exchange(1, {2, 0x1E, 0, 3, 0, 0, 0, 0}, true, [](auto& p) { return p[0] == 0xFE; });
    EXPECT_TRUE(Is(r, 0xFE, 2));
    r = Exchange(1, {3, 0x01, 0, 5, 1, 2, 3, 4}, false, [](auto& p) { return p[0] == 0xFE; });
    EXPECT_TRUE(Is(r, 0xFE, 3));

    // Command 8 sets the total distance, page 7 reports it, command 4 saves it.
    r = Exchange(1, {8, 0x56, 0x34, 0x12, 0, 0, 0, 0}, false, [](auto& p) { return p[0] == 0xFF; });
    EXPECT_TRUE(Is(r, 0xFF, 8));
    EXPECT_EQ(stick->Trainer().TotalDistance(), 0x123456u);
    r = Exchange(1, {7, 0, 0, 0, 0, 0, 0, 0}, false, [](auto& p) { return p[0] == 7; });
    EXPECT_EQ(r, (TAntPage{7, 0x56, 0x34, 0x12, 0, 0, 0, 0}));
    r = Exchange(1, {4, 0, 0, 0, 0, 0, 0, 0}, false, [](auto& p) { return p[0] == 0xFF; });
    EXPECT_TRUE(Is(r, 0xFF, 4));
    EXPECT_EQ(stick->Trainer().Eprom()[0x18], 0x12);

    // A muted trainer takes the page but never answers.
    stick->Trainer().SetMute(true);
    size_t before = Pages(1).size();
    ANT_SendAcknowledgedData(1, TAntPage{2, 1, 0, 1, 0, 0, 0, 0}.data());
    PassClock(5000);
    auto ps = Pages(1);
    for (size_t i = before; i < ps.size(); ++i) EXPECT_EQ(ps[i][0], 1) << "only regular pages";
    EXPECT_GT(ps.size(), before);
}

TEST_F(AntSimTest, ConsoleKeysEpromKeepAliveAndSleep) {
    auto stick = AntSimInstall(0);
    Open();
    OpenConsole();
    stick->Console().SetKey(2, true);
    ASSERT_TRUE(WaitUntil(
        [] { return HasPage(3, [](auto& p) { return p == TAntPage{5, 0, 0, 1, 0, 0, 0, 0}; }); }, 5000));

    auto r = Exchange(3, {2, 0x0C, 0, 2, 0, 0, 0, 0}, true, [](auto& p) { return p[0] == 2; });
    EXPECT_EQ(r[1] | (r[2] << 8), AntSimTrainerNumber);
    r = Exchange(3, {3, 0x08, 0, 4, 11, 12, 13, 14}, false, [](auto& p) { return p[0] == 0xFF; });
    EXPECT_TRUE(Is(r, 0xFF, 3));
    auto e = stick->Console().Eprom();
    EXPECT_EQ((std::vector<uint8_t>{e[8], e[9], e[10], e[11]}), (std::vector<uint8_t>{11, 12, 13, 14}));
    r = Exchange(3, {3, 0x10, 0, 2, 1, 2, 0, 0}, false, [](auto& p) { return p[0] == 0xFE; });
    EXPECT_TRUE(Is(r, 0xFE, 3)) << "0x10 is the last address";

    r = Exchange(3, {0x0A, 0, 0, 0, 0, 0, 0, 0}, false, [](auto& p) { return p[0] >= 0xFE; });
    EXPECT_TRUE(Is(r, 0xFF, 0x0A));
    stick->Console().SetRefuseKeepAlive(true);
    r = Exchange(3, {0x0A, 0, 0, 0, 0, 0, 0, 0}, false, [](auto& p) { return p[0] >= 0xFE; });
    EXPECT_TRUE(Is(r, 0xFE, 0x0A));
    EXPECT_EQ(stick->Console().KeepAlives(), 2u);

    r = Exchange(3, {9, 1, 0, 0, 0, 0, 0, 0}, false, [](auto& p) { return p[0] == 0xFF; });
    EXPECT_TRUE(Is(r, 0xFF, 9));
    EXPECT_TRUE(stick->Console().Selected());

    // Sleep: the answer, then silence (receive failures, back to search).
    r = Exchange(3, {8, 0, 0, 0, 0, 0, 0, 0}, false, [](auto& p) { return p[0] == 0xFF; });
    EXPECT_TRUE(Is(r, 0xFF, 8));
    EXPECT_TRUE(stick->Console().Sleeping());
    ASSERT_TRUE(WaitUntil([] { return Events(3, EVENT_RX_FAIL_GO_TO_SEARCH) == 1; }, 20000));
    EXPECT_EQ(Events(3, EVENT_RX_FAIL), size_t(AntSimMissesToSearch - 1));
    // A key press wakes it and the channel finds it again.
    size_t pages = Pages(3).size();
    stick->Console().SetKey(0, true);
    ASSERT_TRUE(WaitUntil([&] { return Pages(3).size() > pages; }, 5000));
    EXPECT_EQ(Pages(3).back()[1], 1);
}

TEST_F(AntSimTest, HeartRatePagesWithToggleBit) {
    auto stick = AntSimInstall(0);
    stick->HeartRate().SetHeartRate(120);
    stick->HeartRate().SetProductInfo(7, 0x1234, 3, 4, 5);
    Open();
    OpenHeartRate();
    ASSERT_TRUE(WaitUntil([] { return Pages(0).size() >= 26; }, 20000));
    auto ps = Pages(0);
    std::set<int> seen;
    for (size_t i = 0; i < ps.size(); ++i) {
        const auto& p = ps[i];
        seen.insert(p[0] & 0x7F);
        EXPECT_EQ(p[7], 120);
        // The toggle bit flips every four messages.
        EXPECT_EQ((p[0] & 0x80) != 0, (i / 4) % 2 == 1) << i;
        std::vector<int> info{p[1], p[2], p[3]};
        if ((p[0] & 0x7F) == 2) {
            EXPECT_EQ(info, (std::vector<int>{7, 0x34, 0x12}));
        }
        if ((p[0] & 0x7F) == 3) {
            EXPECT_EQ(info, (std::vector<int>{3, 4, 5}));
        }
        if (i > 0) {
            // 120 bpm: one beat each 512/1024 s; event time and count move together.
            const auto& q = ps[i - 1];
            int dt = uint16_t((p[4] | (p[5] << 8)) - (q[4] | (q[5] << 8)));
            int dn = uint8_t(p[6] - q[6]);
            EXPECT_EQ(dt, dn * 512) << i;
            if ((p[0] & 0x7F) == 4 && dn == 1) {
                EXPECT_EQ(p[2] | (p[3] << 8), q[4] | (q[5] << 8)) << i;
            }
        }
    }
    EXPECT_EQ(seen, (std::set<int>{1, 2, 3, 4}));
}

TEST_F(AntSimTest, SpeedCadencePageFollowsTheRates) {
    auto stick = AntSimInstall(0);
    stick->SpeedCadence().SetCadence(60);    // one crank turn a second
    stick->SpeedCadence().SetWheelRpm(120);  // two wheel turns a second
    Open();
    OpenSpeedCadence();
    ASSERT_TRUE(WaitUntil([] { return Pages(2).size() >= 20; }, 20000));
    auto ps = Pages(2);
    auto w = [](const TAntPage& p, int i) { return p[i] | (p[i + 1] << 8); };
    const auto &a = ps[2], &b = ps.back();
    int crankRevs = uint16_t(w(b, 2) - w(a, 2)), crankTime = uint16_t(w(b, 0) - w(a, 0));
    int wheelRevs = uint16_t(w(b, 6) - w(a, 6)), wheelTime = uint16_t(w(b, 4) - w(a, 4));
    ASSERT_GT(crankRevs, 0);
    ASSERT_GT(wheelRevs, 0);
    EXPECT_EQ(crankTime, crankRevs * 1024);
    EXPECT_EQ(wheelTime, wheelRevs * 512);
}

TEST_F(AntSimTest, NawTrainerSpeedCadenceDigitsAndBrake) {
    auto stick = AntSimInstall(0, {.TrainerKind = TAntSimTrainerKind::NAW});
    stick->Trainer().SetSpeed(123.4);
    stick->Trainer().SetCadence(87);
    stick->Trainer().SetFlag(true);
    Open();
    OpenChannel(1, 0, 0, 121, 1, 16172, 57);
    ASSERT_TRUE(WaitUntil([] { return Pages(1).size() >= 2; }, 5000));
    auto ps = Pages(1);
    const auto& p = ps[1];
    EXPECT_EQ(p[0], 0x34);  // units 3, tenths 4
    EXPECT_EQ(p[1], 0x21);  // tens 2, hundreds 1
    EXPECT_EQ(p[4], 0x70);  // cadence units 7
    EXPECT_EQ(p[5], 0x80);  // tens 8, hundreds 0
    EXPECT_EQ(p[6], 1);
    EXPECT_EQ((p[2] | (p[3] << 8)) - (ps[0][2] | (ps[0][3] << 8)), 1);
    ANT_SendBroadcastData(1, TAntPage{0x34, 0x12, 0, 0, 0, 0, 0, 1}.data());
    ASSERT_TRUE(WaitUntil([&] { return stick->Trainer().BrakeValue() == 0x1234; }, 2000));
}

TEST_F(AntSimTest, QueuedPagesGoOutFirstAndInOrder) {
    auto stick = AntSimInstall(0);
    Open();
    OpenSpeedCadence();
    ASSERT_TRUE(WaitUntil([] { return !Pages(2).empty(); }, 5000));
    const TAntPage first{0, 0, 5, 0, 0, 0, 0, 0}, second{0, 4, 6, 0, 0, 0, 0, 0};
    const size_t before = Pages(2).size();
    stick->SpeedCadence().QueuePage(first);
    stick->SpeedCadence().QueuePage(second);
    ASSERT_TRUE(WaitUntil(
        [&] {
            const auto ps = Pages(2);
            return std::find(ps.begin() + before, ps.end(), second) != ps.end();
        },
        5000));
    // Regular pages chosen before the queue took the pages may still be on their way after
    // the count above; the queued ones come next, one right after the other.
    const auto ps = Pages(2);
    const size_t at = std::find(ps.begin() + before, ps.end(), first) - ps.begin();
    ASSERT_LT(at + 1, ps.size());
    EXPECT_EQ(ps[at + 1], second);
    for (auto& c : Calls(false, 2)) EXPECT_EQ(c.Buffer[0], 2) << "the receive buffer starts with the channel";
}

TEST_F(AntLibrarySlowClockTest, AbsentDeviceTimesOutTheSearchAndClosesTheChannel) {
    auto stick = AntSimInstall(0, {.HeartRate = false});
    Open();
    uint32_t start = GetTickCount();
    OpenHeartRate();  // search time-out 4: 10 s
    ASSERT_TRUE(WaitUntil([] { return Events(0, EVENT_CHANNEL_CLOSED) == 1; }, 20000));
    // At least 10 s after the open command went out, at most 10 s and a slot after it
    // was answered (as the procedures saw it, not when this thread looked).
    uint32_t closedAt = Calls(false, 0, EVENT_CHANNEL_CLOSED)[0].Tick;
    EXPECT_GE(TickDiff(start, closedAt), 10000u);
    EXPECT_LT(TickDiff(Acks(MESG_OPEN_CHANNEL_ID).back().Tick, closedAt), 12000u);
    auto ev = Calls(false, 0);
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].Code, EVENT_RX_SEARCH_TIMEOUT);
    EXPECT_EQ(ev[1].Code, EVENT_CHANNEL_CLOSED);
    EXPECT_EQ(stick->Channel(0).State, TAntSimChannelState::Assigned);
    // Reopened after the device came back, the channel finds it.
    stick->HeartRate().SetPresent(true);
    ANT_OpenChannel(0);
    ASSERT_TRUE(WaitUntil([] { return !Pages(0).empty(); }, 5000));
}

TEST_F(AntSimTest, WrongChannelIdNeverPairs) {
    struct Case {
        const char* Name;
        uint8_t Net, Type, Tt, Rf;
        uint16_t Number;
    };
    std::vector<Case> cases = {
        {"network", 1, 120, 0, 57, 0},
        {"device type", 0, 121, 0, 57, AntSimHeartRateNumber},
        {"transmission type", 0, 120, 3, 57, 0},
        {"RF", 0, 120, 0, 58, 0},
        {"device number", 0, 120, 0, 57, AntSimHeartRateNumber + 1},
    };
    auto stick = AntSimInstall(0, {.Trainer = false, .Console = false, .SpeedCadence = false});
    Open();
    for (auto& c : cases) {
        TRecorder::Get().Clear();
        ANT_AssignResponseFunction(ResponseProc, ResponseBuffer);
        OpenChannel(0, c.Net, c.Number, c.Type, c.Tt, 8070, c.Rf, 1);
        ASSERT_TRUE(WaitUntil([] { return Events(0, EVENT_CHANNEL_CLOSED) == 1; }, 5000)) << c.Name;
        EXPECT_TRUE(Pages(0).empty()) << c.Name;
        ANT_UnAssignChannel(0);
        ASSERT_TRUE(WaitUntil([] { return Acks(MESG_UNASSIGN_CHANNEL_ID).size() == 1; }, 1000));
    }
}

TEST_F(AntSimTest, SilentDeviceGivesReceiveFailuresThenSearchThenTimeOut) {
    auto stick = AntSimInstall(0);
    Open();
    OpenHeartRate();
    ASSERT_TRUE(WaitUntil([] { return !Pages(0).empty(); }, 5000));
    stick->HeartRate().SetPresent(false);
    ASSERT_TRUE(WaitUntil([] { return Events(0, EVENT_CHANNEL_CLOSED) == 1; }, 30000));
    std::vector<uint8_t> codes;
    for (auto& c : Calls(false, 0))
        if (c.Code != EVENT_RX_BROADCAST) codes.push_back(c.Code);
    std::vector<uint8_t> want(AntSimMissesToSearch - 1, EVENT_RX_FAIL);
    want.insert(want.end(), {EVENT_RX_FAIL_GO_TO_SEARCH, EVENT_RX_SEARCH_TIMEOUT, EVENT_CHANNEL_CLOSED});
    EXPECT_EQ(codes, want);
}

TEST_F(AntSimTest, LostPagesBecomeReceiveFailures) {
    auto stick = AntSimInstall(0);
    Open();
    OpenHeartRate();
    ASSERT_TRUE(WaitUntil([] { return !Pages(0).empty(); }, 5000));
    stick->HeartRate().LosePages(3);
    size_t pages = Pages(0).size();
    ASSERT_TRUE(WaitUntil([&] { return Pages(0).size() >= pages + 2; }, 5000));
    EXPECT_EQ(Events(0, EVENT_RX_FAIL), 3u);
    EXPECT_EQ(Events(0, EVENT_RX_FAIL_GO_TO_SEARCH), 0u);

    // Probabilistic loss: roughly the share asked for.
    stick->HeartRate().SetPageLoss(0.5);
    size_t fails = Events(0, EVENT_RX_FAIL), got = Pages(0).size();
    ASSERT_TRUE(
        WaitUntil([&] { return Events(0, EVENT_RX_FAIL) + Pages(0).size() >= fails + got + 60; }, 60000));
    double lost = double(Events(0, EVENT_RX_FAIL) + Events(0, EVENT_RX_FAIL_GO_TO_SEARCH) - fails);
    EXPECT_GT(lost, 10);
    EXPECT_LT(lost, 50);
}

TEST_F(AntSimTest, InjectedEventReachesTheChannel) {
    auto stick = AntSimInstall(0);
    Open();
    stick->InjectEvent(2, EVENT_RX_FAIL_GO_TO_SEARCH);
    ASSERT_TRUE(WaitUntil([] { return Events(2, EVENT_RX_FAIL_GO_TO_SEARCH) == 1; }, 1000));
    auto c = Calls(false, 2)[0];
    EXPECT_EQ((std::vector<uint8_t>(c.Buffer.begin(), c.Buffer.end())),
              (std::vector<uint8_t>{2, 1, EVENT_RX_FAIL_GO_TO_SEARCH, 0, 0, 0, 0, 0, 0}));
}

TEST_F(AntSimTest, HostFramesAreRecordedAndCorruptOnesSkipped) {
    auto stick = AntSimInstall(0);
    Open();
    ANT_OpenChannel(0);  // unassigned: refused, but recorded
    ASSERT_TRUE(WaitUntil([] { return Acks(MESG_OPEN_CHANNEL_ID).size() == 1; }, 1000));
    auto frames = stick->HostFrames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], (TAntFrame{MESG_OPEN_CHANNEL_ID, {0}}));

    // Garbage and a corrupt frame straight on the transport, then a good one.
    std::vector<uint8_t> bytes{0x00, 0xA4, 0x01, 0x4B, 0x00, 0x00};
    auto good = EncodeAntFrame(TAntFrame{MESG_OPEN_CHANNEL_ID, {1}});
    bytes.insert(bytes.end(), good.begin(), good.end());
    stick->Write(bytes.data(), bytes.size());
    ASSERT_TRUE(WaitUntil([] { return Acks(MESG_OPEN_CHANNEL_ID).size() == 2; }, 1000));
    EXPECT_EQ(Acks(MESG_OPEN_CHANNEL_ID)[1].Buffer[0], 1);
    EXPECT_EQ(stick->HostBadFrames(), 1u);
}

}  // namespace
