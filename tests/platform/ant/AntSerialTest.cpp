// The serial transport over a pseudo-terminal: raw bytes both ways, the line settings,
// exclusive use, the user's error cases, clean close, and the radio library end to end
// with the simulated stick answering on the far side.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <numeric>

#include "platform/ant/ANT_DLL.h"
#include "platform/ant/AntSerial.h"
#include "platform/ant/AntSim.h"
#include "platform/ant/AntSimPipe.h"
#include "tests/platform/ant/AntSerialTestUtil.h"
#include "tests/platform/ant/AntTestUtil.h"
#include "tests/support/ForkChild.h"
#include "tests/support/ScratchDir.h"

using namespace anttest;

namespace {

std::vector<uint8_t> AllByteValues() {
    std::vector<uint8_t> v(256);
    std::iota(v.begin(), v.end(), 0);
    return v;
}

class AntSerialTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Pty.Ok()); }
    TPty Pty;
    TReportCapture Capture;
};

// Control characters, CR/LF and flow-control bytes must pass untouched: the line is raw.
TEST_F(AntSerialTest, EveryByteValuePassesUnchangedBothWays) {
    TByteSink sink;
    TAntSerialTransport t(Pty.SlavePath, 57600);
    ASSERT_TRUE(t.Open(&sink)) << Capture.All();

    const auto all = AllByteValues();
    ASSERT_EQ(::write(Pty.Master, all.data(), all.size()), 256);
    ASSERT_TRUE(sink.WaitFor(256));
    EXPECT_EQ(sink.Get(), all);

    ASSERT_TRUE(t.Write(all.data(), all.size()));
    EXPECT_EQ(Pty.ReadMaster(256), all);
    t.Close();
    EXPECT_TRUE(Capture.Reports().empty()) << Capture.All();
}

TEST_F(AntSerialTest, LineIsRaw8N1AtTheRequestedRateAndRestoredOnClose) {
    termios before{};
    ASSERT_EQ(tcgetattr(Pty.Keeper, &before), 0);
    for (uint32_t baud : {57600u, 115200u}) {
        TByteSink sink;
        TAntSerialTransport t(Pty.SlavePath, baud);
        ASSERT_TRUE(t.Open(&sink));
        termios now{};
        ASSERT_EQ(tcgetattr(Pty.Keeper, &now), 0);
        EXPECT_EQ(cfgetospeed(&now), *AntSerialSpeed(baud));
        EXPECT_EQ(cfgetispeed(&now), *AntSerialSpeed(baud));
        EXPECT_EQ(now.c_cflag & CSIZE, tcflag_t(CS8));
        EXPECT_FALSE(now.c_cflag & (PARENB | CSTOPB | CRTSCTS));
        EXPECT_FALSE(now.c_lflag & (ICANON | ECHO | ISIG));
        EXPECT_FALSE(now.c_iflag & (ICRNL | IXON | ISTRIP));
        EXPECT_FALSE(now.c_oflag & OPOST);
        t.Close();
        termios after{};
        ASSERT_EQ(tcgetattr(Pty.Keeper, &after), 0);
        EXPECT_EQ(after.c_lflag, before.c_lflag);
        EXPECT_EQ(after.c_oflag, before.c_oflag);
    }
}

TEST_F(AntSerialTest, SecondOpenIsBusyUntilTheFirstCloses) {
    TByteSink sa, sb;
    TAntSerialTransport a(Pty.SlavePath, 57600), b(Pty.SlavePath, 57600);
    ASSERT_TRUE(a.Open(&sa));
    EXPECT_FALSE(b.Open(&sb));
    EXPECT_EQ(b.LastError().Kind, TAntOpenFailure::Busy);
    EXPECT_NE(Capture.All().find("busy"), std::string::npos) << Capture.All();
    EXPECT_NE(Capture.All().find(Pty.SlavePath), std::string::npos);
    a.Close();
    EXPECT_TRUE(b.Open(&sb)) << Capture.All();
    EXPECT_EQ(b.LastError().Kind, TAntOpenFailure::None);
}

TEST_F(AntSerialTest, MissingDeviceNonTtyAndOddRateAreReported) {
    TScratchDir scratch("antserial");
    const std::string d = scratch.Path();
    const std::string file = d + "/plain";
    { std::ofstream(file) << "x"; }
    struct TRow {
        std::string Path;
        uint32_t Baud;
        TAntOpenFailure Kind;
        std::string Words;
    };
    const TRow rows[] = {
        {d + "/ttyUSB9", 57600, TAntOpenFailure::NotFound, "no such device"},
        {file, 57600, TAntOpenFailure::Other, "not a serial device"},
        {Pty.SlavePath, 12345, TAntOpenFailure::Other, "unsupported line rate 12345"},
    };
    for (const auto& r : rows) {
        Capture.Clear();
        TByteSink sink;
        TAntSerialTransport t(r.Path, r.Baud);
        EXPECT_FALSE(t.Open(&sink)) << r.Path;
        EXPECT_EQ(t.LastError().Kind, r.Kind) << r.Path;
        EXPECT_NE(Capture.All().find(r.Words), std::string::npos) << Capture.All();
        EXPECT_FALSE(t.Write(reinterpret_cast<const uint8_t*>("x"), 1));
    }
    // A failed open leaves the tty free.
    TByteSink sink;
    TAntSerialTransport ok(Pty.SlavePath, 57600);
    EXPECT_TRUE(ok.Open(&sink));
}

// Run in a child without the rights to the device node (as another user when root).
TEST_F(AntSerialTest, PermissionDeniedIsReportedWithTheUdevRule) {
    char path[] = "/tmp/antserial-perm-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    ::chmod(path, 0600);
    if (geteuid() != 0) ::chmod(path, 0);
    TForkChild child([&](TForkChild& me) {
        std::string out;
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            out = "skip";
        } else {
            SetAntReportProc([](const std::string&) {});
            TByteSink sink;
            TAntSerialTransport t(path, 57600);
            bool opened = t.Open(&sink);
            out = std::string(1, char('0' + int(t.LastError().Kind))) + (opened ? "opened" : "") +
                  AntOpenErrorText(t.LastError());
        }
        for (char c : out) me.Send(c);
        return 0;
    });
    const std::string got = child.ReceiveAll();
    EXPECT_TRUE(child.Finish().ExitedWith(0)) << child.Finish();
    ::unlink(path);
    if (got == "skip") GTEST_SKIP() << "cannot drop root rights here";
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0], char('0' + int(TAntOpenFailure::PermissionDenied))) << got;
    EXPECT_NE(got.find("permission denied"), std::string::npos) << got;
    EXPECT_NE(got.find(AntUdevRule), std::string::npos) << got;
}

// The hold on the tty goes with the process: a program killed by SIGTERM or SIGINT leaves
// no stale lock behind, for a user without root's rights either.
TEST_F(AntSerialTest, KilledProgramLeavesTheStickFree) {
    if (geteuid() == 0) ::chmod(Pty.SlavePath.c_str(), 0666);
    auto opensAsAUser = [&] {
        TForkChild user([&](TForkChild& me) {
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 1;
            SetAntReportProc([](const std::string&) {});
            TByteSink sink;
            TAntSerialTransport t(Pty.SlavePath, 57600);
            me.Send(t.Open(&sink) ? 'y' : 'n');
            return 0;
        });
        const bool opened = user.Receive() == 'y';
        EXPECT_TRUE(user.Finish().ExitedWith(0)) << user.Finish();
        return opened;
    };
    for (int sig : {SIGTERM, SIGINT}) {
        TForkChild child([&](TForkChild& me) {
            SetAntReportProc([](const std::string&) {});
            TByteSink sink;
            TAntSerialTransport t(Pty.SlavePath, 57600);
            me.Send(t.Open(&sink) ? 'y' : 'n');
            for (;;) pause();
            return 0;
        });
        ASSERT_EQ(child.Receive(), 'y');
        {
            TByteSink sink;
            TAntSerialTransport t(Pty.SlavePath, 57600);
            EXPECT_FALSE(t.Open(&sink));
            EXPECT_EQ(t.LastError().Kind, TAntOpenFailure::Busy);
        }
        child.Kill(sig);
        const TChildEnd end = child.Finish();
        EXPECT_TRUE(end.KilledBy(sig)) << end;
        EXPECT_TRUE(opensAsAUser());
    }
}

TEST_F(AntSerialTest, NoDeliveryAfterCloseAndCloseFromInsideADelivery) {
    {
        TByteSink sink;
        TAntSerialTransport t(Pty.SlavePath, 57600);
        ASSERT_TRUE(t.Open(&sink));
        ASSERT_EQ(::write(Pty.Master, "ab", 2), 2);
        ASSERT_TRUE(sink.WaitFor(2));
        t.Close();
        const int deliveries = sink.DeliveryCount();
        ASSERT_EQ(::write(Pty.Master, "cd", 2), 2);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(sink.DeliveryCount(), deliveries);
        EXPECT_FALSE(t.Write(reinterpret_cast<const uint8_t*>("x"), 1));
    }
    // The transport goes away from inside its own delivery, as when a callback closes
    // the library; the delivery finishes on its own afterwards.
    TByteSink sink;
    auto t = std::make_unique<TAntSerialTransport>(Pty.SlavePath, 57600);
    std::atomic<bool> closing{false}, closed{false};
    sink.OnBytes = [&] {
        if (closing.exchange(true)) return;
        t.reset();
        closed = true;  // only now is `t` done with: the test may leave its scope
    };
    ASSERT_TRUE(t->Open(&sink));
    ASSERT_EQ(::write(Pty.Master, "e", 1), 1);
    ASSERT_TRUE(WaitUntil([&] { return closed.load(); }, 5000));
    // Closed: the tty opens again.
    TByteSink s2;
    TAntSerialTransport again(Pty.SlavePath, 57600);
    EXPECT_TRUE(WaitUntil([&] { return again.Open(&s2); }, 5000)) << Capture.All();
}

TEST_F(AntSerialTest, StickGoingAwayIsReported) {
    TByteSink sink;
    TAntSerialTransport t(Pty.SlavePath, 57600);
    ASSERT_TRUE(t.Open(&sink));
    ::close(Pty.Keeper);
    Pty.Keeper = -1;
    Pty.CloseMaster();
    EXPECT_TRUE(WaitUntil([&] { return Capture.All().find("went away") != std::string::npos; }, 5000));
    t.Close();
}

// The radio library through a tty, with the simulated stick answering on the far side.
class AntSerialLibraryTest : public AntLibraryTest {
protected:
    void SetUp() override {
        AntLibraryTest::SetUp();
        ASSERT_TRUE(Pty.Ok());
        Stick = std::make_shared<TAntSimStick>();
        Pipe = std::make_unique<TAntSimPipe>(Stick, Pty.Master);
        ASSERT_TRUE(Pipe->Start());
        setenv("ZELTO_ANT", Pty.SlavePath.c_str(), 1);
    }
    void TearDown() override {
        ANT_Close();
        Pipe.reset();
        AntLibraryTest::TearDown();
    }
    // As the in-process fixture's, with clock waits long enough for the round trip
    // through the tty on a loaded machine.
    void OpenChannelVia(uint8_t ch, uint8_t net, uint8_t type, uint8_t tt, uint16_t period, uint8_t rf) {
        auto step = [&](uint8_t id, const std::function<void()>& call) {
            size_t before = Acks(id).size();
            call();
            ASSERT_TRUE(WaitUntil([&] { return Acks(id).size() > before; }, 100000)) << std::hex << int(id);
            ASSERT_EQ(Acks(id).back().Buffer[2], 0) << std::hex << int(id);
        };
        step(MESG_ASSIGN_CHANNEL_ID, [&] { ANT_AssignChannel(ch, 0, net); });
        step(MESG_CHANNEL_ID_ID, [&] { ANT_SetChannelId(ch, 0, type, tt); });
        step(MESG_CHANNEL_MESG_PERIOD_ID, [&] { ANT_SetChannelPeriod(ch, period); });
        step(MESG_CHANNEL_SEARCH_TIMEOUT_ID, [&] { ANT_SetChannelSearchTimeout(ch, 4); });
        step(MESG_CHANNEL_RADIO_FREQ_ID, [&] { ANT_SetChannelRFFreq(ch, rf); });
        step(MESG_OPEN_CHANNEL_ID, [&] { ANT_OpenChannel(ch); });
    }
    TPty Pty;
    TReportCapture Capture;
    std::shared_ptr<TAntSimStick> Stick;
    std::unique_ptr<TAntSimPipe> Pipe;
};

TEST_F(AntSerialLibraryTest, ChannelsOpenAndPagesArriveThroughTheTty) {
    for (uint8_t n = 1; n < 8; ++n) EXPECT_EQ(ANT_Init(n, 57600), 0);  // the path is number 0
    Open(0);
    ASSERT_EQ(ANT_ResetSystem(), 1);
    ASSERT_TRUE(WaitUntil([&] { return Stick->ResetCount() == 1; }, 100000));
    uint8_t key[8] = {};
    ASSERT_EQ(ANT_SetNetworkKey(1, key), 1);
    ASSERT_TRUE(WaitUntil([&] { return Acks(MESG_NETWORK_KEY_ID).size() == 1; }, 100000));
    OpenChannelVia(1, 1, 19, 1, 31814, 71);  // trainer
    OpenChannelVia(0, 0, 120, 0, 8070, 57);  // heart-rate strap
    ASSERT_TRUE(WaitUntil([&] { return Pages(0).size() >= 3 && Pages(1).size() >= 2; }, 200000));
    EXPECT_EQ(Stick->Channel(0).State, TAntSimChannelState::Tracking);
    EXPECT_EQ(Pages(0).back()[7], Stick->HeartRate().HeartRate());

    // Host frames reach the stick intact.
    const TAntPage page{1, 7, 0, 0, 0, 0, 0, 0};
    ANT_SendAcknowledgedData(1, page.data());
    ASSERT_TRUE(WaitUntil([&] { return Events(1, EVENT_TRANSFER_TX_COMPLETED) == 1; }, 100000));
    EXPECT_EQ(Stick->Trainer().ResistanceLevel(), 7);
    EXPECT_EQ(Stick->HostBadFrames(), 0u);

    ANT_Close();
    // The tty is free again after ANT_Close.
    TByteSink sink;
    TAntSerialTransport t(Pty.SlavePath, 57600);
    EXPECT_TRUE(t.Open(&sink)) << Capture.All();
    EXPECT_TRUE(Capture.Reports().empty()) << Capture.All();
}

// The library alone on a tty, with the test writing the stick's frames.
class AntSerialRawStickTest : public AntLibraryTest {
protected:
    void SetUp() override {
        AntLibraryTest::SetUp();
        ASSERT_TRUE(Pty.Ok());
        setenv("ZELTO_ANT", Pty.SlavePath.c_str(), 1);
    }
    void FromStick(uint8_t id, const std::vector<uint8_t>& data) {
        const auto bytes = EncodeAntFrame(id, data.data(), data.size());
        ASSERT_EQ(::write(Pty.Master, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    TPty Pty;
};

TEST_F(AntSerialRawStickTest, CutOffChannelIdNeverReachesTheResponseProcedure) {
    Open(0);
    FromStick(MESG_CHANNEL_ID_ID, {0, 0xEF});
    FromStick(MESG_CHANNEL_ID_ID, {0, 0xEF, 0xBE, 120, 5});
    // Frames arrive in order: once the whole one is in, the cut-off one had its turn.
    ASSERT_TRUE(WaitUntil([] { return !Calls(true, 0, MESG_CHANNEL_ID_ID).empty(); }, 100000));
    const auto ids = Calls(true, 0, MESG_CHANNEL_ID_ID);
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_EQ(ids[0].Buffer[2], 0xBE);
    EXPECT_EQ(ids[0].Buffer[4], 5);
}

}  // namespace
