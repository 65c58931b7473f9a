// The ANT link's commands, EPROM exchange and keep-alive against the simulated stick.
#include "platform/framework/Dialogs.h"
#include "tests/device/AntLinkFixture.h"

namespace {

using TPage = std::array<uint8_t, 8>;

bool ReceivedPage(TAntSimDevice& device, const TPage& page, bool acknowledged) {
    for (const auto& r : device.Received())
        if (r.Page == page && r.Acknowledged == acknowledged) return true;
    return false;
}

TEST_F(AntLinkTest, TrainerCommandsReachTheTrainer) {
    ulma_ANT& link = Open();
    TAntSimTrainer& trainer = Stick->Trainer();

    link.SetResistance(0x12C);  // low byte used
    EXPECT_TRUE(WaitUntil([&] { return trainer.ResistanceLevel() == 0x2C; }));

    link.TrainerCommand8(1193046);
    ASSERT_TRUE(WaitUntil([&] { return trainer.TotalDistance() == 1193046u; }));
    EXPECT_TRUE(ReceivedPage(trainer, {8, 0x56, 0x34, 0x12, 0, 0, 0, 0}, false));
    EXPECT_TRUE(WaitUntil([&] { return Contains(Log, "ACK(1)-CMD(8)"); }));

    link.TrainerCommand4();
    EXPECT_TRUE(WaitUntil([&] { return Contains(Log, "ACK(1)-CMD(4)"); }));
    EXPECT_EQ(trainer.Eprom()[0x16], 0x56);
    EXPECT_EQ(trainer.Eprom()[0x18], 0x12);

    trainer.SetTotalDistance(0x0A0B0C);
    EXPECT_EQ(link.RequestDistance(), 0x0A0B0Cu);
    EXPECT_FALSE(link.DistancePending);
    link.FlushLog();  // logged on the delivery thread
    EXPECT_TRUE(Contains(Log, "Distance Recieved command (1)"));
}

// With no reply there is no distance to show: the request raises, as an EPROM read does,
// instead of answering 0.
TEST_F(AntLinkTest, RequestDistanceGivesUpAfterTenSeconds) {
    ulma_ANT& link = Open();
    Stick->Trainer().SetMute(true);
    const uint32_t start = GetTickCount();
    EXPECT_THROW(link.RequestDistance(), ERdEPROM);
    EXPECT_GE(TicksSince(start), 10000u);
    EXPECT_FALSE(link.DistancePending);
}

TEST_F(AntLinkTest, ConsoleCommands) {
    ulma_ANT& link = Open();
    TAntSimConsole& console = Stick->Console();
    ASSERT_TRUE(link.KeepAlive()->Enabled());

    EXPECT_TRUE(link.ConsoleCommand9(true));
    EXPECT_TRUE(console.Selected());
    EXPECT_TRUE(ReceivedPage(console, {9, 1, 0, 0, 0, 0, 0, 0}, false));
    EXPECT_FALSE(link.ConsoleCommand9Pending);
    EXPECT_TRUE(link.ConsoleCommand9(false));
    EXPECT_FALSE(console.Selected());

    const int64_t frames = link.TxFrames;
    EXPECT_TRUE(link.ConsoleCommand8());
    EXPECT_TRUE(console.Sleeping());
    EXPECT_TRUE(ReceivedPage(console, {8, 0, 0, 0, 0, 0, 0, 0}, false));
    EXPECT_FALSE(link.KeepAlive()->Enabled());
    EXPECT_EQ(link.TxFrames, frames + 1);
    EXPECT_TRUE(Contains(
        Log, "Tx(3): [08][00][00][00][00][00][00][00] RF Freq:70 RxCount:" + std::to_string(frames)));
}

TEST_F(AntLinkTest, UnansweredConsoleCommandsFailAfterTenSeconds) {
    ulma_ANT& link = Open();
    Stick->Console().SetMute(true);
    uint32_t start = GetTickCount();
    EXPECT_FALSE(link.ConsoleCommand8());
    EXPECT_GE(TicksSince(start), 10000u);
    EXPECT_FALSE(link.KeepAlive()->Enabled());  // stops anyway
    start = GetTickCount();
    EXPECT_FALSE(link.ConsoleCommand9(true));
    EXPECT_GE(TicksSince(start), 10000u);
    EXPECT_FALSE(link.ConsoleCommand9Pending);
}

TEST_F(AntLinkTest, TrainerEpromReadAndWrite) {
    ulma_ANT& link = Open();
    TAntSimTrainer& trainer = Stick->Trainer();
    for (int a = 0; a < 32; ++a)
        trainer.SetEpromByte(static_cast<uint8_t>(a), static_cast<uint8_t>(0xA0 + a));

    ASSERT_TRUE(link.ReadTrainerEprom(0x11, 3));
    EXPECT_TRUE(ReceivedPage(trainer, {2, 0x11, 0, 3, 0, 0, 0, 0}, true));
    EXPECT_EQ(link.TrainerEprom.Reply[0], 0xB1);
    EXPECT_EQ(link.TrainerEprom.Reply[1], 0xB2);
    EXPECT_EQ(link.TrainerEprom.Reply[2], 0xB3);
    // Lines logged on the delivery thread reach the memo through a queued flush.
    link.FlushLog();
    EXPECT_TRUE(Contains(Log, "########## RICHIESTA EPROM LETTURA NEW ########"));
    EXPECT_TRUE(Contains(Log, "EVENT_TRANSFER_TX_COMPLETED (1)"));

    ASSERT_TRUE(link.WriteTrainerEprom(0x04, 2, 0x34, 0x12, 0x99, 0x99));
    EXPECT_EQ(trainer.Eprom()[0x04], 0x34);
    EXPECT_EQ(trainer.Eprom()[0x05], 0x12);
    EXPECT_EQ(trainer.Eprom()[0x06], 0xA6);
    EXPECT_TRUE(ReceivedPage(trainer, {3, 0x04, 0, 2, 0x34, 0x12, 0x99, 0x99}, false));
    link.FlushLog();
    EXPECT_TRUE(Contains(Log, "########## RICHIESTA EPROM TRAINER SCRITTURA  ########"));
    EXPECT_TRUE(Contains(Log, "ACK(1)-CMD(3)"));
    EXPECT_FALSE(link.TrainerEprom.WritePending);

    // An acknowledgement that comes while the write's page has not gone out (a late one, of
    // a write that timed out) answers no write of this one: it times out, as unsent.
    link.TransmitEnabled = false;
    trainer.QueuePage({0xFF, 3, 0, 0, 0, 0, 0, 0});
    EXPECT_THROW(link.WriteTrainerEprom(0x07, 1, 0x55, 0, 0, 0), EWrEPROM);
    EXPECT_EQ(trainer.Eprom()[0x07], 0xA7);
}

TEST_F(AntLinkTest, TrainerEpromReadRetriesFailedSendsWhetherLoggedOrNot) {
    for (bool logged : {true, false}) {
        SCOPED_TRACE(logged ? "logged" : "not logged");
        ulma_ANT& link = Open();
        link.LogEnabled = logged;
        Stick->Trainer().SetEpromByte(0x19, 2);
        Stick->Trainer().FailAcknowledged(2);
        Stick->ClearHostFrames();
        const uint32_t start = GetTickCount();
        ASSERT_TRUE(link.ReadTrainerEprom(0x19, 1));
        EXPECT_LT(TicksSince(start), 20000u);
        EXPECT_EQ(HostFrames(MESG_ACKNOWLEDGED_DATA_ID, 1), 3);
        EXPECT_EQ(CountPrefix(Log, "########## RICHIESTA EPROM LETTURA NEW"), 3);
        EXPECT_EQ(link.TrainerEprom.Reply[0], 2);
        Link.reset();
        Log.Clear();
    }
}

TEST_F(AntLinkTest, EpromTimeOuts) {
    ulma_ANT& link = Open();
    Stick->Trainer().SetMute(true);
    Stick->Console().SetMute(true);
    {
        TRecordingMessageScope boxes;
        const uint32_t start = GetTickCount();
        EXPECT_FALSE(link.ReadTrainerEprom(0x01, 1));
        EXPECT_GT(TicksSince(start), 20000u);
        ASSERT_EQ(boxes.Handler().Boxes.size(), 1u);
        EXPECT_EQ(boxes.Handler().Boxes[0].text, "Time Out Read new EPROM!");
    }
    struct Row {
        const char* Text;
        std::function<void()> Run;
    } rows[] = {
        {"Time Out Write Trainer EPROM!",
         [&] {
             try {
                 link.WriteTrainerEprom(0x10, 1, 1, 0, 0, 0);
             } catch (const EWrEPROM& e) {
                 throw Exception(e.Message());
             }
         }},
        {"Time Out Read Console EPROM!",
         [&] {
             try {
                 link.ReadConsoleEprom(0x08, 4);
             } catch (const ERdEPROM& e) {
                 throw Exception(e.Message());
             }
         }},
        {"Time Out Write Console EPROM!",
         [&] {
             try {
                 link.WriteConsoleEprom(0x08, 1, 5, 0, 0, 0);
             } catch (const EWrEPROM& e) {
                 throw Exception(e.Message());
             }
         }},
    };
    for (const auto& r : rows) {
        const uint32_t start = GetTickCount();
        try {
            r.Run();
            ADD_FAILURE() << "no exception: " << r.Text;
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), r.Text);
        }
        EXPECT_GT(TicksSince(start), 20000u) << r.Text;
    }
}

TEST_F(AntLinkTest, TimedOutTrainerWriteIsNotSentLater) {
    ulma_ANT& link = NewLink();
    link.SetChannelPlan(AntSimTrainerNumber, AntSimHeartRateNumber, AntSimConsoleNumber);
    EXPECT_THROW(link.WriteTrainerEprom(0x10, 1, 1, 0, 0, 0), EWrEPROM);
    EXPECT_FALSE(link.TrainerEprom.WritePending);
    Event(link, 1, EVENT_TX);
    EXPECT_EQ(link.Channel(1)->TransmitPage(), (TPage{}));
}

TEST_F(AntLinkTest, ConsoleEpromReadAndWrite) {
    ulma_ANT& link = Open();
    TAntSimConsole& console = Stick->Console();
    for (int a = 0; a <= 0x10; ++a)
        console.SetEpromByte(static_cast<uint8_t>(a), static_cast<uint8_t>(a * 3));
    ASSERT_TRUE(link.ReadConsoleEprom(0x0C, 2));
    EXPECT_TRUE(ReceivedPage(console, {2, 0x0C, 0, 2, 0, 0, 0, 0}, true));
    EXPECT_EQ(link.ConsoleEprom.Reply[0], 0x24);
    EXPECT_EQ(link.ConsoleEprom.Reply[1], 0x27);
    link.FlushLog();  // the reply's line is logged on the delivery thread
    EXPECT_TRUE(Contains(Log, "########## RICHIESTA EPROM CONSOLE LETTURA ########"));
    EXPECT_TRUE(Contains(Log, "********EPROM RECEIVED CONSOLE******"));

    ASSERT_TRUE(link.WriteConsoleEprom(0x0C, 2, 0x39, 0x30, 0, 0));
    EXPECT_EQ(console.Eprom()[0x0C], 0x39);
    EXPECT_EQ(console.Eprom()[0x0D], 0x30);
    EXPECT_EQ(console.Eprom()[0x0E], 0x2A);
    EXPECT_TRUE(ReceivedPage(console, {3, 0x0C, 0, 2, 0x39, 0x30, 0, 0}, false));
    EXPECT_TRUE(Contains(Log, "########## RICHIESTA EPROM CONSOLE SCRITTURA  ########"));
}

TEST_F(AntLinkTest, NestedEpromOperationIsRefused) {
    ulma_ANT& link = Open();
    std::string nestedRead, nestedWrite;
    bool consoleRead = false;
    Application()->QueueCall([&] {
        try {
            link.ReadTrainerEprom(0x01, 1);
        } catch (const ERdEPROM& e) {
            nestedRead = e.Message();
        }
        try {
            link.WriteTrainerEprom(0x01, 1, 0, 0, 0, 0);
        } catch (const EWrEPROM& e) {
            nestedWrite = e.Message();
        }
        consoleRead = link.ReadConsoleEprom(0x01, 1);  // the other record is free
    });
    ASSERT_TRUE(link.ReadTrainerEprom(0x02, 2));
    EXPECT_EQ(nestedRead, "Trainer EPROM busy: another EPROM operation is waiting for its reply");
    EXPECT_EQ(nestedWrite, nestedRead);
    EXPECT_TRUE(consoleRead);
    EXPECT_FALSE(link.TrainerEprom.Busy);
    EXPECT_TRUE(link.ReadTrainerEprom(0x01, 1));
}

TEST_F(AntLinkTest, KeepAliveEveryFifteenSeconds) {
    ulma_ANT& link = Open();
    TAntSimConsole& console = Stick->Console();
    const uint32_t before = console.KeepAlives();
    const int64_t frames = link.TxFrames;
    Pump(31000);
    // The stick's thread takes the second one in at its own pace.
    EXPECT_TRUE(WaitUntil([&] { return console.KeepAlives() >= before + 2; }));
    EXPECT_LE(console.KeepAlives(), before + 3);
    EXPECT_TRUE(link.KeepAliveAck);
    EXPECT_EQ(link.TxFrames, frames);  // not counted
    EXPECT_TRUE(Contains(Log, "Tx(3): [0A][00][00][00][00][00][00][00] RF Freq:70 TxCount:" +
                                  std::to_string(frames) + "   (KAL)"));
    link.ConsoleEnabled = false;
    Pump(16000);
    EXPECT_FALSE(link.KeepAlive()->Enabled());
    EXPECT_LE(console.KeepAlives(), before + 4);
}

}  // namespace
