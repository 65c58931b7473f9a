// The ANT link against the simulated stick: opening the stick, the set-up chain of each
// channel and receiver kind, pairing, refused steps, search time-outs, close.
#include "device/ulma_ant_class.h"
#include "platform/os/Registry.h"
#include "tests/device/AntLinkFixture.h"

namespace {

struct TPlanRow {
    int Channel, Network, Number, DeviceType, TransmissionType, Period, RF;
};

// The set-up lines of one channel, from StartChannel to the open acknowledgement.
std::vector<std::string> ChainLines(const TPlanRow& r, const std::string& key) {
    const std::string c = std::to_string(r.Channel), n = std::to_string(r.Network);
    std::vector<std::string> l = {
        "ANT_AssignChannelEventFunction(" + c + "),@ChannelEvent0)",
        "Cmd - SetNetworkKey(" + n + "; " + key + ")",
        "Ack - SetNetworkKey",
        "Cmd - AssignChannel(" + c + "; 0, " + n + ")",
        "Ack - AssignChannel(" + c + "; 0; " + n + ")",
        "Cmd - SetChannelId(" + c + "; " + std::to_string(r.Number) + "; " + std::to_string(r.DeviceType) +
            "; " + std::to_string(r.TransmissionType) + ")",
    };
    if (r.Number == 0)
        l.push_back("Ack - ANT_RequestMessage Device Number:0 Transmission Type:" +
                    std::to_string(r.TransmissionType));
    for (const char* s : {"Ack - SetChannelID"}) l.push_back(s);
    l.push_back("Cmd - SetChannelPeriod(" + c + "; " + std::to_string(r.Period) + ")");
    l.push_back("Ack - SetChannelPeriod");
    l.push_back("Cmd - ANT_SetTransmitPower");
    l.push_back("Ack - ANT_SetTransmitPower");
    l.push_back("Cmd - SetChannelSearchTimeout(" + c + ": 4)");
    l.push_back("Ack - SetChannelSearchTimeout");
    l.push_back("Cmd - SetChannelRFFreq(" + c + "; " + std::to_string(r.RF) + ")");
    l.push_back("Ack - SetRFFreq");
    l.push_back("Cmd - OpenChannel " + c);
    l.push_back("Ack - Open " + c);
    return l;
}

const std::string kZeroKey = "[00] [00] [00] [00] [00] [00] [00] [00]";

TEST_F(AntLinkTest, VexaPlanRunsEveryChainInOrderAndStartsTheKeepAlive) {
    ulma_ANT& link = Open(ulmVexa);
    std::vector<std::string> expected = {
        "Chiave connessa!",
        "Cmd - Reset",
        "Set channel parameter array [0]",
        "Set channel parameter array [1]",
        "Set channel parameter array [2]",
        "Set channel parameter array [3]",
    };
    const TPlanRow rows[] = {
        {1, 1, AntSimTrainerNumber, 19, 1, 31814, 71},
        {2, 0, AntSimTrainerNumber, 121, 0, 8086, 57},
        {3, 1, AntSimConsoleNumber, 18, 1, 16150, 70},
        {0, 0, AntSimHeartRateNumber, 120, 0, 8070, 57},
    };
    for (const auto& r : rows) {
        auto l = ChainLines(r, kZeroKey);
        expected.insert(expected.end(), l.begin(), l.end());
    }
    EXPECT_EQ(SetupLines(), expected);
    for (int c = 0; c < 4; ++c) {
        EXPECT_TRUE(link.ChannelAlive(c)) << c;
        EXPECT_EQ(Stick->Channel(c).State, TAntSimChannelState::Tracking) << c;
    }
    ASSERT_NE(link.KeepAlive(), nullptr);
    EXPECT_TRUE(link.KeepAlive()->Enabled());
    EXPECT_EQ(link.KeepAlive()->Interval(), 15000u);
    EXPECT_FALSE(Log.OffMainThread);
    EXPECT_FALSE(Raw.OffMainThread);
}

TEST_F(AntLinkTest, NawPlanStartsTrainerAndHeartRateOnlyWithTheStoredNetworkKey) {
    {
        TRegistry reg;
        reg.SetRootKey(HKEY_CURRENT_USER);
        ASSERT_TRUE(reg.OpenKey(AntLinkSettingsKey, true));
        reg.WriteString(AntNetworkKey0Value, "11 22 33 44 55 66 77 8F");
    }
    ulma_ANT& link = Open(ulmNAW);
    const std::string key0 = "[11] [22] [33] [44] [55] [66] [77] [8f]";
    std::vector<std::string> expected = {
        "Chiave connessa!",
        "Cmd - Reset",
        "Set channel parameter array [0]",
        "Set channel parameter array [1]",
        "Set channel parameter array [3]",
    };
    for (const auto& r : {TPlanRow{1, 0, AntSimTrainerNumber, 121, 1, 16172, 57},
                          TPlanRow{0, 0, AntSimHeartRateNumber, 120, 0, 8070, 57}}) {
        auto l = ChainLines(r, key0);
        expected.insert(expected.end(), l.begin(), l.end());
    }
    EXPECT_EQ(SetupLines(), expected);
    EXPECT_EQ(Stick->NetworkKey(0), (std::array<uint8_t, 8>{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x8F}));
    EXPECT_TRUE(link.ChannelAlive(1));
    EXPECT_TRUE(link.ChannelAlive(0));
    EXPECT_EQ(link.Channel(2), nullptr);
    EXPECT_FALSE(link.ChannelAlive(3));
    EXPECT_EQ(Stick->Channel(3).State, TAntSimChannelState::Unassigned);
    EXPECT_FALSE(link.KeepAlive()->Enabled());
}

TEST_F(AntLinkTest, NetworkKeySetting) {
    struct Row {
        const char* Stored;
        TAntKey Key;
        bool Ignored;  // told on stderr, naming the value and the settings file
    } rows[] = {
        {nullptr, {}, false},
        {"0102030405060708", {1, 2, 3, 4, 5, 6, 7, 8}, false},
        {"a1:b2:c3:d4:e5:f6:07:18", {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x07, 0x18}, false},
        {"01020304050607", {}, true},      // too short
        {"0102030405060708xx", {}, true},  // not hexadecimal
        {"", {}, true},
    };
    for (const auto& r : rows) {
        TRegistry reg;
        reg.SetRootKey(HKEY_CURRENT_USER);
        ASSERT_TRUE(reg.OpenKey(AntLinkSettingsKey, true));
        if (r.Stored)
            reg.WriteString(AntNetworkKey0Value, r.Stored);
        else
            reg.DeleteValue(AntNetworkKey0Value);
        testing::internal::CaptureStderr();
        EXPECT_EQ(ReadAntNetworkKey0(), r.Key) << (r.Stored ? r.Stored : "(none)");
        const std::string told = testing::internal::GetCapturedStderr();
        EXPECT_EQ(told, r.Ignored ? "NetworkKey0 value \"" + std::string(r.Stored) + "\" in " +
                                        TRegistry::StoreFileFor(HKEY_CURRENT_USER) +
                                        " ignored: not 16 hexadecimal digits; network key 0 stays all zero\n"
                                  : "");
    }
}

TEST_F(AntLinkTest, StickFoundOnlyOnNumberThree) {
    AntSimRemoveAll();
    Install({}, 3);
    ulma_ANT& link = NewLink();
    int found = -1;
    for (int n = 0; n < 8 && found < 0; ++n)
        if (link.Connect(static_cast<uint8_t>(n))) found = n;
    EXPECT_EQ(found, 3);
    EXPECT_EQ(SetupLines(), (std::vector<std::string>{"Not Connected 0", "Not Connected 1", "Not Connected 2",
                                                      "Chiave connessa!", "Cmd - Reset"}));
    // The stick handles the reset on its own thread.
    ASSERT_TRUE(WaitUntil([&] { return Stick->ResetCount() >= 1u; }));
    EXPECT_EQ(Stick->ResetCount(), 1u);
}

TEST_F(AntLinkTest, CapabilitiesLine) {
    Install();
    ulma_ANT& link = NewLink();
    ASSERT_TRUE(link.Connect(0));
    ANT_RequestMessage(0, 0x54);
    ASSERT_TRUE(WaitUntil([&] { return CountPrefix(Log, "ANT Capabilities:") > 0; }));
    EXPECT_TRUE(Contains(Log,
                         "ANT Capabilities:  -Max Channel: 8  -Max Network: 8  -Standard Options: 0x0  "
                         "-Advanced Options: 0x0  -Advanced Options 2: 0x0"));
}

TEST_F(AntLinkTest, WildcardChannelsPairThroughTheChannelIdRequest) {
    ulma_ANT& link = Open(ulmVexa, 0, AntSimHeartRateNumber, 0);
    // The trainer channel comes alive only once paired; the console pairs as well.
    EXPECT_TRUE(link.ChannelAlive(1));
    EXPECT_TRUE(link.ChannelAlive(3));
    EXPECT_EQ(link.Channel(1)->DeviceNumber, AntSimTrainerNumber);
    EXPECT_EQ(link.Channel(3)->DeviceNumber, AntSimConsoleNumber);
    EXPECT_EQ(link.Channel(3)->TransmissionType, 1);
    // The speed/cadence channel pairs too, on a page of its own: its line may come anywhere.
    std::vector<std::string> lines;
    for (const auto& l : SetupLines())
        if (l.rfind("Paring done (2)", 0) != 0) lines.push_back(l);
    auto at = [&](const std::string& s) { return std::find(lines.begin(), lines.end(), s) - lines.begin(); };
    const auto chain = ChainLines({3, 1, 0, 18, 1, 16150, 70}, kZeroKey);
    ASSERT_LT(at(chain.front()), static_cast<long>(lines.size()));
    EXPECT_TRUE(std::equal(chain.begin(), chain.end(), lines.begin() + at(chain.front())));
    const long request = at("Cmd - ANT_RequestMessage(3,MESG_CHANNEL_ID_ID)");
    const long paired = at("Paring done (3). Device Number =  " + std::to_string(AntSimConsoleNumber));
    EXPECT_EQ(request, at("Ack - Open 3") + 1);
    EXPECT_LT(request, paired);
    EXPECT_LT(paired, static_cast<long>(lines.size()));
    EXPECT_EQ(CountPrefix(Log, "Paring done (3)"), 1);
    EXPECT_EQ(CountPrefix(Log, "Paring done (1)"), 1);
    EXPECT_EQ(CountPrefix(Log, "Paring done (2)"), 1);
    // Once paired, pages ask for nothing more.
    Stick->ClearHostFrames();
    Pump(3000);
    EXPECT_EQ(HostFrames(MESG_REQUEST_ID, 3), 0);
    EXPECT_EQ(HostFrames(MESG_REQUEST_ID, 1), 0);
    EXPECT_EQ(HostFrames(MESG_REQUEST_ID, 2), 0);
}

TEST_F(AntLinkTest, RefusedStepLogsOneFailureLineAndEndsTheChain) {
    struct Row {
        uint8_t Id;
        const char* Line;
    } rows[] = {
        {MESG_NETWORK_KEY_ID, "Fail(0x2A) - NetworkKey"},
        {MESG_ASSIGN_CHANNEL_ID, "Fail(0x2A) - AssignChannel(01)"},
        {MESG_CHANNEL_ID_ID, "Fail(0x2A) - SetChannelID(01)"},
        {MESG_CHANNEL_MESG_PERIOD_ID, "Fail(0x2A) - SetChannelPeriod(1)"},
        {MESG_CHANNEL_RADIO_TX_POWER_ID, "Fail(0x2A) - MesgID:(0x60) - Channel:(01)"},
        {MESG_CHANNEL_SEARCH_TIMEOUT_ID, "Fail(0x2A) - SetChannelSearchTimeout(01)"},
        {MESG_CHANNEL_RADIO_FREQ_ID, "Fail(0x2A) - SetRFFreq(01)"},
        {MESG_OPEN_CHANNEL_ID, "Fail(0x2a) - Open(01)"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.Line);
        Log.Clear();
        TAntSimStick& stick = Install();
        stick.RefuseCommand(r.Id, 0x2A, 1);
        ulma_ANT& link = NewLink();
        ASSERT_TRUE(link.Connect(0));
        link.SetChannelPlan(AntSimTrainerNumber, 0, AntSimConsoleNumber);
        link.StartChannel(1);
        Pump(3000);
        const auto lines = SetupLines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), r.Line);
        EXPECT_EQ(CountPrefix(Log, "Fail("), 1);
        EXPECT_FALSE(link.ChannelAlive(1));
        Link.reset();
    }
}

TEST_F(AntLinkTest, RefusedChannelStillGetsItsTenSecondWait) {
    TAntSimStick& stick = Install();
    stick.RefuseCommand(MESG_OPEN_CHANNEL_ID, 0x15, 2);
    ulma_ANT& link = NewLink();
    ASSERT_TRUE(link.Connect(0));
    link.SetChannelPlan(AntSimTrainerNumber, AntSimHeartRateNumber, AntSimConsoleNumber);
    link.ConsoleEnabled = false;
    link.HeartEnabled = false;
    const uint32_t start = GetTickCount();
    link.OpenChannels();
    const uint32_t took = TicksSince(start);
    EXPECT_GE(took, 10000u);
    EXPECT_LT(took, 20000u);  // channel 2's wait only, not a second one
    EXPECT_TRUE(link.ChannelAlive(1));
    EXPECT_FALSE(link.ChannelAlive(2));
    EXPECT_TRUE(Contains(Log, "Fail(0x15) - Open(02)"));
    EXPECT_EQ(CountPrefix(Log, "ANT_AssignChannelEventFunction(3)"), 0);
    EXPECT_FALSE(link.KeepAlive()->Enabled());
}

TEST_F(AntLinkTest, SilentHeartStrapIsReopenedSixTimesThenDropped) {
    ulma_ANT& link = Open(ulmVexa);
    ASSERT_TRUE(link.ChannelAlive(0));
    ASSERT_GT(link.HeartRate, 0);
    Stick->HeartRate().SetPresent(false);
    Stick->ClearHostFrames();
    // Each search times out after 10 s; six reopens follow silently, the seventh time-out
    // drops the heart rate (the delivery thread logs the line first, then clears the value).
    ASSERT_TRUE(
        WaitUntil([&] { return CountPrefix(Log, "It should call") > 0 && link.HeartRate == 0; }, 120000));
    EXPECT_EQ(HostFrames(MESG_OPEN_CHANNEL_ID, 0), 6);
    EXPECT_EQ(link.HeartRate, 0);
    EXPECT_TRUE(link.HeartSeen);
    EXPECT_TRUE(link.ChannelAlive(0));  // the link's view
    EXPECT_FALSE(Contains(Log, "Cmd - OpenChannel(0)"));
    EXPECT_EQ(link.SearchReopen[0], 6u);
    // A strap that comes back is found only by an explicit reopen.
    Stick->HeartRate().SetPresent(true);
    link.ReopenHrChannel();
    ASSERT_TRUE(WaitUntil([&] { return link.HeartRate > 0; }));
    EXPECT_EQ(link.SearchReopen[0], 0u);
}

TEST_F(AntLinkTest, InterferenceFlagAllowsOneMoreReopen) {
    ulma_ANT& link = NewLink();
    link.SetChannelPlan(AntSimTrainerNumber, AntSimHeartRateNumber, AntSimConsoleNumber);
    link.Channel(1)->Alive = true;
    for (int i = 0; i < 6; ++i) Event(link, 1, EVENT_RX_SEARCH_TIMEOUT);
    EXPECT_EQ(link.SearchReopen[1], 6u);
    EXPECT_EQ(CountPrefix(Log, "It should call"), 0);

    // A completed transfer arms the interference flag, going back to search sets it.
    Event(link, 1, EVENT_TRANSFER_TX_COMPLETED);
    Event(link, 1, EVENT_RX_FAIL_GO_TO_SEARCH);
    EXPECT_TRUE(link.Interference);
    EXPECT_EQ(CountPrefix(Log, "It should call \"HandleInterference\". Removed from cose."), 1);
    Event(link, 1, EVENT_RX_SEARCH_TIMEOUT);
    EXPECT_FALSE(link.Interference);
    EXPECT_EQ(Log[Log.Count() - 1], "Cmd - OpenChannel(1)");
    EXPECT_FALSE(link.TrainerLost);

    // Not armed: going back to search clears the flag; the next time-out loses the trainer,
    // and so does every further one (the counter is not reset).
    Event(link, 1, EVENT_RX_FAIL_GO_TO_SEARCH);
    EXPECT_FALSE(link.Interference);
    Event(link, 1, EVENT_RX_SEARCH_TIMEOUT);
    EXPECT_TRUE(link.TrainerLost);
    link.TrainerLost = false;
    Event(link, 1, EVENT_RX_SEARCH_TIMEOUT);
    EXPECT_TRUE(link.TrainerLost);
    EXPECT_EQ(CountPrefix(Log, "It should call"), 3);
}

// A speed and cadence sensor given up after its reopens shows no speed and no cadence, as a
// lost strap shows no heart rate, instead of its last values for the rest of the ride.
TEST_F(AntLinkTest, ASpeedSensorGivenUpShowsNoSpeedOrCadence) {
    ulma_ANT& link = NewLink();
    link.RecieverType = ulmVexa;
    link.SetChannelPlan(AntSimTrainerNumber, AntSimHeartRateNumber, AntSimConsoleNumber);
    ASSERT_NE(link.Channel(2), nullptr);
    link.Channel(2)->Alive = true;
    link.Speed = 30;
    link.Cadence = 90;
    for (int i = 0; i < 6; ++i) Event(link, 2, EVENT_RX_SEARCH_TIMEOUT);
    EXPECT_EQ(link.Speed, 30);  // searching again: it may come back
    Event(link, 2, EVENT_RX_SEARCH_TIMEOUT);
    EXPECT_EQ(link.Speed, 0);
    EXPECT_EQ(link.Cadence, 0);
}

TEST_F(AntLinkSlowClockTest, CloseClosesAliveChannelsOnlyThenResetsAndClosesTheStick) {
    TAntSimConfig config;
    config.HeartRate = false;
    ulma_ANT& link = Open(ulmNAW, AntSimTrainerNumber, AntSimHeartRateNumber, AntSimConsoleNumber, config);
    ASSERT_TRUE(link.ChannelAlive(1));
    ASSERT_FALSE(link.ChannelAlive(0));
    Log.Clear();
    link.Close();
    Pump(100);
    EXPECT_EQ(LogLines({"Cmd - "}),
              (std::vector<std::string>{"Cmd - Close channel 1", "Cmd - Unassigned channel 1",
                                        "Cmd - ResetSystem", "Cmd - Close"}));
    // The stick's answers: the close acknowledgement and event come within the 1 s pause
    // (channel 0 keeps searching meanwhile and is left alone).
    EXPECT_EQ(LogLines({"Ack - Close", "Ack - Channel Close1", "Ack - Unassign", "Cmd - Close channel"}),
              (std::vector<std::string>{"Ack - Close", "Ack - Channel Close1", "Cmd - Close channel 1",
                                        "Ack - UnassignChannel"}));
    EXPECT_EQ(HostFrames(MESG_CLOSE_CHANNEL_ID, 0), 0);
    EXPECT_FALSE(link.ChannelAlive(1));
    EXPECT_FALSE(Stick->IsOpen());
}

TEST_F(AntLinkTest, FreeingAnOpenLinkClosesIt) {
    Open(ulmVexa);
    EXPECT_TRUE(Stick->IsOpen());
    Link.reset();
    EXPECT_FALSE(Stick->IsOpen());
    EXPECT_TRUE(Contains(Log, "Cmd - Close"));
    // The stick opens again for the next link.
    ulma_ANT& link = NewLink();
    EXPECT_TRUE(link.Connect(0));
}

TEST_F(AntLinkTest, DestroyingSilencesCallbacksAndClose) {
    ulma_ANT& link = Open(ulmVexa);
    link.Destroying = true;
    Pump(100);
    link.FlushLog();
    Log.Clear();
    const uint32_t good = link.GoodEvents;
    Pump(2000);
    EXPECT_EQ(link.GoodEvents, good);
    link.Close();
    EXPECT_EQ(Log.Count(), 0);
    EXPECT_FALSE(Stick->IsOpen());
}

TEST_F(AntLinkTest, ChannelFilterKeepsFrameLinesOfOneChannel) {
    TAntSimStick& stick = Install();
    (void)stick;
    ulma_ANT& link = NewLink();
    link.FilterOn = true;
    link.FilterChannel = 1;
    ASSERT_TRUE(link.Connect(0));
    link.SetChannelPlan(AntSimTrainerNumber, AntSimHeartRateNumber, AntSimConsoleNumber);
    link.OpenChannels();
    Pump(2000);
    EXPECT_GT(CountPrefix(Raw, "Rx(1)"), 0);
    EXPECT_GT(CountPrefix(Log, "Recv(1)"), 0);
    for (const char* other : {"Rx(0)", "Rx(2)", "Rx(3)", "Tx(0)", "Tx(2)", "Tx(3)"})
        EXPECT_EQ(CountPrefix(Raw, other), 0) << other;
    for (const char* other : {"Recv(0)", "Recv(2)", "Recv(3)"})
        EXPECT_EQ(CountPrefix(Log, other), 0) << other;
    EXPECT_TRUE(Contains(Log, "Ack - Open 0"));
    EXPECT_TRUE(Contains(Log, "Ack - Open 3"));
}

TEST_F(AntLinkTest, PairConsoleKeepsTheReceiveBufferOfTheChannel) {
    ulma_ANT& link = Open(ulmVexa);
    const uint8_t* before = link.RxBuffer(3);
    link.SetChannelParams(3, 1, 16150, 18, 1, 0, 70, 0, TAntKey{});
    EXPECT_EQ(link.RxBuffer(3), before);
    link.ReopenConsoleChannel();
    Stick->Console().SetKey(ckEnter, true);
    ASSERT_TRUE(WaitUntil([&] { return link.ConsoleKeys[ckEnter].load(); }));
    EXPECT_TRUE(link.ChannelAlive(3));
    // Pages of the unpaired record ask for the channel id until the reply fills it in.
    EXPECT_TRUE(WaitUntil([&] { return link.Channel(3)->DeviceNumber == AntSimConsoleNumber; }));
}

// Responses that start no chain step, fed through the response procedure as the library does.
TEST_F(AntLinkTest, ResponseLinesWithoutAChainStep) {
    ulma_ANT& link = NewLink();
    link.SetChannelPlan(AntSimTrainerNumber, AntSimHeartRateNumber, AntSimConsoleNumber);
    auto* r = const_cast<uint8_t*>(link.ResponseBuffer());
    struct Row {
        uint8_t Channel, Answered, Code;
        const char* Line;  // nullptr: no line
        bool ClearsAlive;
    } rows[] = {
        {2, MESG_CLOSE_CHANNEL_ID, 0, "Ack - Close", true},
        {2, MESG_CLOSE_CHANNEL_ID, 0x15, "Fail(0x15) - Close(02)", true},
        {2, MESG_CLOSE_CHANNEL_ID, 0xAB, "Fail(0xab) - Close(02)", true},
        {3, MESG_UNASSIGN_CHANNEL_ID, 0, "Ack - UnassignChannel", false},
        {3, MESG_UNASSIGN_CHANNEL_ID, 0x1F, "Fail((0x1F)) - UnassignChannel(3)", false},
        {1, 0x47, 0, "Ack - MesgID:(0x47) - Channel:(01)", false},
        {1, 0x47, 0x28, "Fail(0x28) - MesgID:(0x47) - Channel:(01)", false},
        {1, 0x04, 0, nullptr, false},
        {1, 0x04, 0x15, nullptr, false},
        {3, MESG_BROADCAST_DATA_ID, 0, nullptr, false},
        {3, MESG_BROADCAST_DATA_ID, 0x15, nullptr, false},
        {3, 0x50, 0x15, nullptr, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Line ? row.Line : "ignored");
        Log.Clear();
        link.Channel(row.Channel)->Alive = true;
        r[0] = row.Channel;
        r[1] = row.Answered;
        r[2] = row.Code;
        ResponseFunction(row.Channel, MESG_RESPONSE_EVENT_ID);
        ASSERT_EQ(Log.Count(), row.Line ? 1 : 0);
        if (row.Line) {
            EXPECT_EQ(Log[0], row.Line);
        }
        EXPECT_EQ(link.ChannelAlive(row.Channel), !row.ClearsAlive);
    }
    // The channel-id reply fills in a wildcard record only, and logs only a non-zero number.
    struct IdRow {
        int32_t Number;
        uint8_t Lo, Hi, Type;
        const char* Line;
        int32_t NumberAfter;
        uint8_t TypeAfter;
    } ids[] = {
        {0, 0x34, 0x12, 5, "Paring done (3). Device Number =  4660", 0x1234, 5},
        {0, 0, 0, 7, nullptr, 0, 7},
        {77, 0x34, 0x12, 5, nullptr, 77, 1},
    };
    for (const auto& row : ids) {
        Log.Clear();
        link.Channel(3)->DeviceNumber = row.Number;
        link.Channel(3)->TransmissionType = 1;
        r[0] = 3;
        r[1] = row.Lo;
        r[2] = row.Hi;
        r[3] = 0;
        r[4] = row.Type;
        ResponseFunction(3, MESG_CHANNEL_ID_ID);
        ASSERT_EQ(Log.Count(), row.Line ? 1 : 0);
        if (row.Line) {
            EXPECT_EQ(Log[0], row.Line);
        }
        EXPECT_EQ(link.Channel(3)->DeviceNumber, row.NumberAfter);
        EXPECT_EQ(link.Channel(3)->TransmissionType, row.TypeAfter);
    }
}

}  // namespace
