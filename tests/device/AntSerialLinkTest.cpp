// The ANT link over a real serial transport: the simulated stick answers on the far side
// of a pseudo-terminal (ZELTO_ANT=/dev/pts/N), and the link connects, sets up its channels
// and exchanges pages exactly as it does with the stick in process.
#include <stdlib.h>

#include "platform/ant/AntSerial.h"
#include "platform/ant/AntSimPipe.h"
#include "tests/device/AntLinkFixture.h"
#include "tests/platform/ant/AntSerialTestUtil.h"

namespace {

class AntSerialLinkTest : public AntLinkTest {
protected:
    void TearDown() override {
        Link.reset();
        Pipe.reset();
        setenv("ZELTO_ANT", "sim", 1);
        AntLinkTest::TearDown();
    }

    // Serves a fresh stick on the pseudo-terminal and points ZELTO_ANT at its tty.
    void ServeOnTty(const TAntSimConfig& config = {}) {
        ASSERT_TRUE(Pty.Ok());
        Stick = std::make_shared<TAntSimStick>(config);
        Pipe = std::make_unique<TAntSimPipe>(Stick, Pty.Master);
        ASSERT_TRUE(Pipe->Start());
        setenv("ZELTO_ANT", Pty.SlavePath.c_str(), 1);
    }

    ulma_ANT& ConnectAndOpen(TUlmaRecieverType kind) {
        ulma_ANT& link = NewLink(kind);
        EXPECT_TRUE(link.Connect(0));
        link.SetChannelPlan(AntSimTrainerNumber, AntSimHeartRateNumber, AntSimConsoleNumber);
        link.OpenChannels();
        return link;
    }

    anttest::TPty Pty;
    anttest::TReportCapture Capture;
    std::unique_ptr<TAntSimPipe> Pipe;
};

TEST_F(AntSerialLinkTest, VexaPlanRunsAsInProcessAndPagesFlowBothWays) {
    // The set-up log with the stick in process ...
    Open(ulmVexa);
    const auto inProcess = SetupLines();
    ASSERT_FALSE(inProcess.empty());
    Link.reset();
    Log.Clear();

    // ... and through the tty.
    ServeOnTty();
    ulma_ANT& link = ConnectAndOpen(ulmVexa);
    EXPECT_EQ(SetupLines(), inProcess);
    for (int c = 0; c < 4; ++c) {
        EXPECT_TRUE(link.ChannelAlive(c)) << c;
        EXPECT_EQ(Stick->Channel(c).State, TAntSimChannelState::Tracking) << c;
    }
    Stick->HeartRate().SetHeartRate(131);
    EXPECT_TRUE(WaitUntil([&] { return link.HeartRate.load() == 131; }));

    // A request answered by the trainer: host page out, reply page back.
    Stick->Trainer().SetTotalDistance(123456);
    EXPECT_EQ(link.RequestDistance(), 123456u);
    EXPECT_EQ(Stick->HostBadFrames(), 0u);

    link.Close();
    // The stick on the far side of the tty works through the closing frames at its own pace.
    EXPECT_TRUE(WaitUntil([&] {
        for (int c = 0; c < 4; ++c)
            if (Stick->Channel(c).State != TAntSimChannelState::Unassigned) return false;
        return true;
    }));
    for (int c = 0; c < 4; ++c) EXPECT_EQ(Stick->Channel(c).State, TAntSimChannelState::Unassigned) << c;
    // ANT_Close let go of the tty.
    anttest::TByteSink sink;
    TAntSerialTransport t(Pty.SlavePath, 57600);
    EXPECT_TRUE(t.Open(&sink)) << Capture.All();
    EXPECT_TRUE(Capture.Reports().empty()) << Capture.All();
}

TEST_F(AntSerialLinkTest, BusyTtyIsNotConnected) {
    ServeOnTty();
    anttest::TByteSink sink;
    TAntSerialTransport other(Pty.SlavePath, 57600);
    ASSERT_TRUE(other.Open(&sink));
    ulma_ANT& link = NewLink(ulmVexa);
    for (uint8_t n = 0; n < 8; ++n) EXPECT_FALSE(link.Connect(n));
    EXPECT_TRUE(Contains(Log, "Not Connected 0"));
    const auto reports = Capture.Reports();
    ASSERT_EQ(reports.size(), 1u);  // one line for the probe round, not one per number
    EXPECT_NE(reports[0].find("busy"), std::string::npos) << reports[0];
}

}  // namespace
