// The radio library's call-and-response contract, end to end over frames against the
// simulated stick.
#include <atomic>

#include "tests/platform/ant/AntTestUtil.h"

using namespace anttest;

namespace {

TEST_F(AntLibraryTest, InitFindsOnlyInstalledSticks) {
    unsetenv("ZELTO_ANT");
    EXPECT_EQ(ANT_Init(0, 57600), 0) << "no real transports yet";
    setenv("ZELTO_ANT", "sim", 1);

    // Nothing configured: the default stick on number 0 only.
    EXPECT_EQ(ANT_Init(1, 57600), 0);
    EXPECT_EQ(ANT_Init(0, 57600), 1);
    ASSERT_NE(AntSimStick(0), nullptr);
    EXPECT_TRUE(AntSimStick(0)->IsOpen());
    ANT_Close();
    EXPECT_FALSE(AntSimStick(0)->IsOpen());

    // A stick found only on number 3.
    auto s3 = AntSimInstall(3);
    for (uint8_t n = 0; n < 3; ++n) EXPECT_EQ(ANT_Init(n, 57600), 0) << int(n);
    EXPECT_EQ(ANT_Init(3, 57600), 1);
    EXPECT_TRUE(s3->IsOpen());
    ANT_Close();

    AntSimRemoveAll();
    for (uint8_t n = 0; n < 8; ++n) EXPECT_EQ(ANT_Init(n, 57600), 0) << int(n);
    // Calls without an open stick do nothing.
    EXPECT_EQ(ANT_OpenChannel(0), 0);
}

TEST_F(AntLibraryTest, EveryConfigurationCallGetsExactlyOneResponse) {
    Open();
    const uint8_t key[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    struct Step {
        uint8_t Id;
        uint8_t Byte0;  // channel, or network for the key
        std::function<uint8_t()> Call;
    };
    std::vector<Step> steps = {
        {MESG_NETWORK_KEY_ID, 5, [&] { return ANT_SetNetworkKey(5, key); }},
        {MESG_ASSIGN_CHANNEL_ID, 2, [] { return ANT_AssignChannel(2, 0, 5); }},
        {MESG_CHANNEL_ID_ID, 2, [] { return ANT_SetChannelId(2, 0x1234, 19, 1); }},
        {MESG_CHANNEL_MESG_PERIOD_ID, 2, [] { return ANT_SetChannelPeriod(2, 31814); }},
        {MESG_CHANNEL_RADIO_TX_POWER_ID, 2, [] { return ANT_SetChannelTxPower(2, 3); }},
        {MESG_CHANNEL_SEARCH_TIMEOUT_ID, 2, [] { return ANT_SetChannelSearchTimeout(2, 4); }},
        {MESG_CHANNEL_RADIO_FREQ_ID, 2, [] { return ANT_SetChannelRFFreq(2, 71); }},
        {MESG_OPEN_CHANNEL_ID, 2, [] { return ANT_OpenChannel(2); }},
        {MESG_CLOSE_CHANNEL_ID, 2, [] { return ANT_CloseChannel(2); }},
        {MESG_UNASSIGN_CHANNEL_ID, 2, [] { return ANT_UnAssignChannel(2); }},
    };
    for (auto& s : steps) {
        size_t before = Calls(true).size();
        EXPECT_EQ(s.Call(), 1);
        ASSERT_TRUE(WaitUntil([&] { return Calls(true).size() > before; }, 1000)) << std::hex << int(s.Id);
        PassClock(200);  // room for a second, wrong response
        auto all = Calls(true);
        ASSERT_EQ(all.size(), before + 1) << std::hex << int(s.Id);
        const TCall& r = all.back();
        EXPECT_EQ(r.Code, MESG_RESPONSE_EVENT_ID);
        EXPECT_EQ(r.Channel, s.Byte0);
        EXPECT_EQ(r.Buffer[0], s.Byte0) << std::hex << int(s.Id);
        EXPECT_EQ(r.Buffer[1], s.Id);
        EXPECT_EQ(r.Buffer[2], RESPONSE_NO_ERROR) << std::hex << int(s.Id);
    }
    auto stick = AntSimStick(0);
    EXPECT_EQ(stick->NetworkKey(5), (std::array<uint8_t, 8>{1, 2, 3, 4, 5, 6, 7, 8}));
    // The close also reported its channel event; nothing else came on channel 2.
    auto ev = Calls(false, 2);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].Code, EVENT_CHANNEL_CLOSED);
    EXPECT_EQ(ev[0].Buffer[0], 2);
}

TEST_F(AntLibraryTest, WrongStateAndRefusedStepsAnswerWithTheirCode) {
    auto stick = AntSimInstall(0);
    stick->RefuseCommand(MESG_ASSIGN_CHANNEL_ID, 0x31, 1);
    Open();
    ANT_AssignChannel(1, 0, 1);
    ASSERT_TRUE(WaitUntil([] { return Acks(MESG_ASSIGN_CHANNEL_ID).size() == 1; }, 1000));
    EXPECT_EQ(Acks(MESG_ASSIGN_CHANNEL_ID)[0].Buffer[2], 0x31);
    EXPECT_EQ(stick->Channel(1).State, TAntSimChannelState::Unassigned)
        << "a refused step is not carried out";

    // The refusal was for one command only.
    ANT_AssignChannel(1, 0, 1);
    ASSERT_TRUE(WaitUntil([] { return Acks(MESG_ASSIGN_CHANNEL_ID).size() == 2; }, 1000));
    EXPECT_EQ(Acks(MESG_ASSIGN_CHANNEL_ID)[1].Buffer[2], 0);

    struct Case {
        uint8_t Id;
        std::function<void()> Call;
        uint8_t Code;
    };
    std::vector<Case> cases = {
        {MESG_ASSIGN_CHANNEL_ID, [] { ANT_AssignChannel(1, 0, 1); }, 0x15},  // already assigned
        {MESG_CLOSE_CHANNEL_ID, [] { ANT_CloseChannel(1); }, 0x15},          // not open
        {MESG_CHANNEL_ID_ID, [] { ANT_SetChannelId(6, 0, 0, 0); }, 0x15},    // not assigned
        {MESG_OPEN_CHANNEL_ID, [] { ANT_OpenChannel(9); }, 0x28},            // no such channel
    };
    for (auto& c : cases) {
        size_t before = Acks(c.Id).size();
        c.Call();
        ASSERT_TRUE(WaitUntil([&] { return Acks(c.Id).size() > before; }, 1000)) << std::hex << int(c.Id);
        EXPECT_EQ(Acks(c.Id).back().Buffer[2], c.Code) << std::hex << int(c.Id);
    }
}

TEST_F(AntLibraryTest, ChannelIdRequestAnswersPairedNumberAndTransmissionType) {
    auto stick = AntSimInstall(0);
    stick->HeartRate().SetDeviceNumber(0xBEEF);
    stick->HeartRate().SetTransmissionType(0x05);
    Open();
    OpenHeartRate();  // wildcard number and transmission type
    ASSERT_TRUE(WaitUntil([] { return !Pages(0).empty(); }, 5000));
    ANT_RequestMessage(0, MESG_CHANNEL_ID_ID);
    ASSERT_TRUE(WaitUntil([] { return !Calls(true, 0, MESG_CHANNEL_ID_ID).empty(); }, 1000));
    const TCall r = Calls(true, 0, MESG_CHANNEL_ID_ID).back();
    EXPECT_EQ(r.Buffer[0], 0);
    EXPECT_EQ(r.Buffer[1], 0xEF);
    EXPECT_EQ(r.Buffer[2], 0xBE);
    EXPECT_EQ(r.Buffer[3], 120);
    EXPECT_EQ(r.Buffer[4], 0x05);
}

TEST_F(AntLibraryTest, ChannelIdBeforePairingIsTheWildcard) {
    auto stick = AntSimInstall(0, {.HeartRate = false});
    Open();
    OpenHeartRate();
    ANT_RequestMessage(0, MESG_CHANNEL_ID_ID);
    ASSERT_TRUE(WaitUntil([] { return !Calls(true, 0, MESG_CHANNEL_ID_ID).empty(); }, 1000));
    auto b = Calls(true, 0, MESG_CHANNEL_ID_ID).back().Buffer;
    EXPECT_EQ(b[1] | (b[2] << 8), 0);
    EXPECT_EQ(b[3], 120);
}

// The set-up chain as the link drives it: each next step issued from inside the
// response procedure, the channel-id request after the open.
TEST_F(AntLibraryTest, ReentrantChainFromInsideTheResponseProcedure) {
    Open();
    static std::atomic<int> inside{0};
    TRecorder::Get().SetHooks([](const TCall& c) {
        inside++;
        if (c.Code == MESG_RESPONSE_EVENT_ID && c.Buffer[2] == 0) {
            uint8_t ch = 3;
            switch (c.Buffer[1]) {
                case MESG_NETWORK_KEY_ID:
                    ANT_AssignChannel(ch, 0, 1);
                    break;
                case MESG_ASSIGN_CHANNEL_ID:
                    ANT_SetChannelId(ch, 0, 18, 1);
                    break;
                case MESG_CHANNEL_ID_ID:
                    ANT_SetChannelPeriod(ch, 16150);
                    break;
                case MESG_CHANNEL_MESG_PERIOD_ID:
                    ANT_SetChannelTxPower(ch, 3);
                    break;
                case MESG_CHANNEL_RADIO_TX_POWER_ID:
                    ANT_SetChannelSearchTimeout(ch, 4);
                    break;
                case MESG_CHANNEL_SEARCH_TIMEOUT_ID:
                    ANT_SetChannelRFFreq(ch, 70);
                    break;
                case MESG_CHANNEL_RADIO_FREQ_ID:
                    ANT_OpenChannel(ch);
                    break;
                case MESG_OPEN_CHANNEL_ID:
                    ANT_RequestMessage(ch, MESG_CHANNEL_ID_ID);
                    break;
            }
        }
        inside--;
    });
    const uint8_t zero[8] = {};
    ANT_SetNetworkKey(1, zero);
    ASSERT_TRUE(WaitUntil([] { return !Calls(true, 3, MESG_CHANNEL_ID_ID).empty(); }, 2000));
    std::vector<uint8_t> order;
    for (auto& c : Calls(true, -1, MESG_RESPONSE_EVENT_ID)) order.push_back(c.Buffer[1]);
    EXPECT_EQ(order, (std::vector<uint8_t>{0x46, 0x42, 0x51, 0x43, 0x60, 0x44, 0x45, 0x4B}));
    // Then the console is found and its pages arrive.
    ASSERT_TRUE(WaitUntil([] { return !Pages(3).empty(); }, 5000));
    EXPECT_EQ(Pages(3)[0][0], 5);
    ANT_RequestMessage(3, MESG_CHANNEL_ID_ID);
    ASSERT_TRUE(WaitUntil([] { return Calls(true, 3, MESG_CHANNEL_ID_ID).size() == 2; }, 1000));
    auto b = Calls(true, 3, MESG_CHANNEL_ID_ID)[1].Buffer;
    EXPECT_EQ(b[1] | (b[2] << 8), AntSimConsoleNumber);
    EXPECT_EQ(inside.load(), 0);
}

TEST_F(AntLibrarySlowClockTest, TxEventOncePerPeriodWhileTheHostTransmits) {
    Open();
    // Answer every trainer page, as the link does.
    TRecorder::Get().SetHooks({}, [](const TCall& c) {
        if (c.Channel == 1 && c.Code == EVENT_RX_BROADCAST) {
            const uint8_t page[8] = {1, 7, 0, 0, 0, 0, 0, 0};
            ANT_SendBroadcastData(1, page);
        }
    });
    OpenTrainer();
    ASSERT_TRUE(WaitUntil([] { return Events(1, EVENT_TX) >= 1; }, 5000));
    uint32_t start = GetTickCount();
    size_t tx0 = Events(1, EVENT_TX), rx0 = Pages(1).size();
    PassClock(10000);
    double periods = TicksSince(start) / (31814 * 1000.0 / 32768);
    double tx = double(Events(1, EVENT_TX) - tx0), rx = double(Pages(1).size() - rx0);
    EXPECT_NEAR(tx, periods, 2.5);
    EXPECT_NEAR(rx, periods, 2.5);
    EXPECT_EQ(AntSimStick(0)->Trainer().ResistanceLevel(), 7);
    // EVENT_TX follows the page of its period.
    auto ev = Calls(false, 1);
    for (size_t i = 0; i + 1 < ev.size(); ++i)
        if (ev[i + 1].Code == EVENT_TX) {
            EXPECT_EQ(ev[i].Code, EVENT_RX_BROADCAST);
        }
    // Channels the host never sends on get no EVENT_TX.
    EXPECT_EQ(Events(3, EVENT_TX), 0u);
}

TEST_F(AntLibraryTest, AcknowledgedSendsReportCompletedOrFailed) {
    auto stick = AntSimInstall(0);
    Open();
    OpenTrainer();
    ASSERT_TRUE(WaitUntil([] { return !Pages(1).empty(); }, 5000));
    const uint8_t read[8] = {2, 0x02, 0, 2, 0, 0, 0, 0};
    ANT_SendAcknowledgedData(1, read);
    ASSERT_TRUE(WaitUntil([] { return Events(1, EVENT_TRANSFER_TX_COMPLETED) == 1; }, 1000));
    EXPECT_EQ(stick->LastAcknowledged(1), (TAntPage{2, 2, 0, 2, 0, 0, 0, 0}));
    // The trainer answers with the two bytes of its device number.
    ASSERT_TRUE(WaitUntil(
        [] {
            for (auto& p : Pages(1))
                if (p[0] == 2) return true;
            return false;
        },
        5000));

    stick->Trainer().FailAcknowledged(2);
    size_t received = stick->Trainer().Received().size();
    ANT_SendAcknowledgedData(1, read);
    ANT_SendAcknowledgedData(1, read);
    ANT_SendAcknowledgedData(1, read);
    ASSERT_TRUE(WaitUntil([] { return Events(1, EVENT_TRANSFER_TX_FAILED) == 2; }, 1000));
    ASSERT_TRUE(WaitUntil([] { return Events(1, EVENT_TRANSFER_TX_COMPLETED) == 2; }, 1000));
    auto got = stick->Trainer().Received();
    // Failed sends do not reach the device.
    size_t acked = 0;
    for (size_t i = received; i < got.size(); ++i) acked += got[i].Acknowledged;
    EXPECT_EQ(acked, 1u);
}

TEST_F(AntLibraryTest, AcknowledgedSendWithoutDeviceFails) {
    AntSimInstall(0, {.Trainer = false});
    Open();
    OpenTrainer();
    const uint8_t page[8] = {4};
    ANT_SendAcknowledgedData(1, page);
    ASSERT_TRUE(WaitUntil([] { return Events(1, EVENT_TRANSFER_TX_FAILED) == 1; }, 1000));
    EXPECT_EQ(Events(1, EVENT_TRANSFER_TX_COMPLETED), 0u);
}

TEST_F(AntLibraryTest, CloseReportsResponseThenChannelClosed) {
    Open();
    OpenHeartRate();
    ASSERT_TRUE(WaitUntil([] { return !Pages(0).empty(); }, 5000));
    TRecorder::Get().Clear();
    ANT_AssignResponseFunction(ResponseProc, ResponseBuffer);
    ANT_CloseChannel(0);
    ASSERT_TRUE(WaitUntil([] { return Events(0, EVENT_CHANNEL_CLOSED) == 1; }, 1000));
    auto all = TRecorder::Get().Snapshot();
    size_t resp = 0, closed = 0;
    for (size_t i = 0; i < all.size(); ++i) {
        if (all[i].Response && all[i].Buffer[1] == MESG_CLOSE_CHANNEL_ID) resp = i + 1;
        if (!all[i].Response && all[i].Code == EVENT_CHANNEL_CLOSED) closed = i + 1;
    }
    ASSERT_GT(resp, 0u);
    EXPECT_LT(resp, closed);
    EXPECT_EQ(AntSimStick(0)->Channel(0).State, TAntSimChannelState::Assigned);
    // No more pages after the close.
    size_t pages = Pages(0).size();
    PassClock(2000);
    EXPECT_EQ(Pages(0).size(), pages);
}

TEST_F(AntLibraryTest, CloseFromInsideAProcedureReturns) {
    Open();
    static std::atomic<bool> closed{false};
    closed = false;
    TRecorder::Get().SetHooks({}, [](const TCall& c) {
        if (c.Code == EVENT_RX_BROADCAST && !closed.exchange(true)) ANT_Close();
    });
    OpenHeartRate();
    ASSERT_TRUE(WaitUntil([] { return closed.load(); }, 5000));
    size_t n = TRecorder::Get().Snapshot().size();
    PassClock(1000);
    EXPECT_EQ(TRecorder::Get().Snapshot().size(), n) << "nothing is delivered after the close";
    EXPECT_FALSE(AntSimStick(0)->IsOpen());
    // The library opens again.
    Open();
    EXPECT_TRUE(AntSimStick(0)->IsOpen());
}

TEST_F(AntLibraryTest, ResetClosesEverythingAndAnnouncesStartUp) {
    auto stick = AntSimInstall(0);
    Open();
    OpenHeartRate();
    ANT_ResetSystem();
    ASSERT_TRUE(WaitUntil([] { return !Calls(true, -1, 0x6F).empty(); }, 1000));
    EXPECT_EQ(stick->ResetCount(), 1u);
    EXPECT_EQ(stick->Channel(0).State, TAntSimChannelState::Unassigned);
}

}  // namespace
