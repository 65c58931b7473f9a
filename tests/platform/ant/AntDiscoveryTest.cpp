// Finding sticks in a fake sysfs tree, their stable order, the transport chosen for a
// USB number or a device path, and the texts that tell the user what went wrong.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/ant/AntDiscovery.h"
#include "platform/ant/AntSerial.h"
#include "platform/ant/AntUsb.h"
#include "tests/platform/ant/AntSerialTestUtil.h"
#include "tests/support/ScratchDir.h"

namespace fs = std::filesystem;
using namespace anttest;

namespace {

// A sysfs-like tree: <root>/bus/usb/devices/<name>/{idVendor,idProduct,busnum,devnum}.
class TFakeSysfs {
public:
    TFakeSysfs() { fs::create_directories(Devices()); }
    fs::path Devices() const { return fs::path(Root) / "bus" / "usb" / "devices"; }

    void Device(const std::string& name, const std::string& vendor, const std::string& product, int busnum,
                int devnum) {
        fs::path d = Devices() / name;
        fs::create_directories(d);
        Write(d / "idVendor", vendor + "\n");
        Write(d / "idProduct", product + "\n");
        Write(d / "busnum", std::to_string(busnum) + "\n");
        Write(d / "devnum", std::to_string(devnum) + "\n");
    }
    // A usb-serial driver's tty: <dev>/<dev>:1.0/ttyUSBn; the modem driver's: .../tty/ttyACMn.
    void Tty(const std::string& name, const std::string& tty, bool underTtyDir = false) {
        fs::path intf = Devices() / name / (name + ":1.0");
        fs::create_directories(underTtyDir ? intf / "tty" / tty : intf / tty);
    }
    static void Write(const fs::path& p, const std::string& s) { std::ofstream(p) << s; }

    TScratchDir Scratch{"antsysfs"};
    std::string Root = Scratch.Path();
};

std::vector<std::string> Names(const std::vector<TAntStickInfo>& sticks) {
    std::vector<std::string> out;
    for (const auto& s : sticks) out.push_back(s.Name);
    return out;
}

TEST(AntDiscoveryTest, OrdersSticksByBusThenNumericPortPathAndSkipsEverythingElse) {
    TFakeSysfs sys;
    sys.Device("2-1", "0fcf", "1008", 2, 3);
    sys.Device("1-1.10", "0fcf", "1009", 1, 9);
    sys.Device("1-1.2", "0fcf", "1008", 1, 4);
    sys.Device("1-3", "0FCF", "1004", 1, 12);  // upper-case hex from some kernels
    sys.Device("1-1", "0fcf", "1009", 1, 2);
    sys.Device("10-1", "0fcf", "1008", 10, 2);
    // Not sticks: another vendor, another product of the vendor, a root hub, an interface
    // entry, a device without attributes, a bad name, an unreadable product.
    sys.Device("1-4", "046d", "1008", 1, 5);
    sys.Device("1-5", "0fcf", "1006", 1, 6);
    sys.Device("usb1", "0fcf", "1008", 1, 1);
    sys.Device("1-1.2:1.0", "0fcf", "1008", 1, 4);
    fs::create_directories(sys.Devices() / "1-6");
    sys.Device("x-1", "0fcf", "1008", 1, 7);
    sys.Device("1-7", "0fcf", "zz", 1, 8);

    auto sticks = AntDiscoverSticks(sys.Root);
    EXPECT_EQ(Names(sticks), (std::vector<std::string>{"1-1", "1-1.2", "1-1.10", "1-3", "2-1", "10-1"}));
    ASSERT_EQ(sticks.size(), 6u);
    EXPECT_EQ(sticks[2].Bus, 1);
    EXPECT_EQ(sticks[2].Ports, (std::vector<int>{1, 10}));
    EXPECT_EQ(sticks[2].Product, 0x1009);
    EXPECT_EQ(sticks[2].DevNum, 9);
    EXPECT_EQ(sticks[3].Product, AntProductSerialBridge);
}

TEST(AntDiscoveryTest, FindsTheTtyOfABridgeAndOfANativeStickWithASerialDriver) {
    TFakeSysfs sys;
    sys.Device("1-1", "0fcf", "1004", 1, 3);
    sys.Tty("1-1", "ttyUSB3");
    sys.Device("1-2", "0fcf", "1009", 1, 4);
    sys.Tty("1-2", "ttyACM0", true);
    sys.Device("3-2", "0fcf", "1008", 3, 17);
    fs::create_directories(sys.Devices() / "3-2" / "3-2:1.0");  // interface without a tty

    auto s = AntDiscoverSticks(sys.Root);
    ASSERT_EQ(s.size(), 3u);
    EXPECT_TRUE(s[0].UsesTty());
    EXPECT_EQ(s[0].TtyPath(), "/dev/ttyUSB3");
    EXPECT_EQ(s[0].Baud(57600), AntSerialBridgeBaud);  // the bridge's own rate
    EXPECT_EQ(s[1].TtyPath("/x"), "/x/ttyACM0");
    EXPECT_EQ(s[1].Baud(57600), 57600u);
    EXPECT_FALSE(s[2].UsesTty());
    EXPECT_EQ(s[2].UsbNodePath(), "/dev/bus/usb/003/017");
}

TEST(AntDiscoveryTest, NoTreeMeansNoSticks) {
    EXPECT_TRUE(AntDiscoverSticks("/nonexistent-sysfs-root").empty());
}

class AntFindStickTest : public ::testing::Test {
protected:
    TFakeSysfs Sys;
    TReportCapture Capture;
    TEnvScope Env{"ZELTO_ANT", nullptr};
};

TEST_F(AntFindStickTest, NumbersFollowTheOrderAndPickTheTransport) {
    Sys.Device("1-2", "0fcf", "1008", 1, 7);
    Sys.Device("1-1", "0fcf", "1004", 1, 5);
    Sys.Tty("1-1", "ttyUSB3");
    Sys.Device("2-1", "0fcf", "1009", 2, 2);
    Sys.Tty("2-1", "ttyUSB0");

    auto t0 = std::dynamic_pointer_cast<TAntSerialTransport>(AntFindStick(0, 57600, Sys.Root, "/devx"));
    ASSERT_TRUE(t0);
    EXPECT_EQ(t0->Path(), "/devx/ttyUSB3");
    EXPECT_EQ(t0->Baud(), AntSerialBridgeBaud);
    auto t1 = std::dynamic_pointer_cast<TAntUsbTransport>(AntFindStick(1, 57600, Sys.Root, "/devx"));
    ASSERT_TRUE(t1);
    EXPECT_EQ(t1->Path(), "/devx/bus/usb/001/007");
    auto t2 = std::dynamic_pointer_cast<TAntSerialTransport>(AntFindStick(2, 57600, Sys.Root, "/devx"));
    ASSERT_TRUE(t2);
    EXPECT_EQ(t2->Path(), "/devx/ttyUSB0");
    EXPECT_EQ(t2->Baud(), 57600u);
    for (uint8_t n = 3; n < 8; ++n) EXPECT_EQ(AntFindStick(n, 57600, Sys.Root), nullptr);
    EXPECT_TRUE(Capture.Reports().empty());  // numbers beyond the sticks are probes, not errors
}

TEST_F(AntFindStickTest, NoStickIsReportedOncePerProbeRound) {
    for (uint8_t n = 0; n < 8; ++n) EXPECT_EQ(AntFindStick(n, 57600, Sys.Root), nullptr);
    auto r = Capture.Reports();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_NE(r[0].find("no stick present"), std::string::npos) << r[0];
}

TEST_F(AntFindStickTest, ABridgeWithoutItsTtyIsReportedAndSkipped) {
    Sys.Device("1-1", "0fcf", "1004", 1, 5);
    EXPECT_EQ(AntFindStick(0, 57600, Sys.Root), nullptr);
    EXPECT_NE(Capture.All().find("no tty"), std::string::npos) << Capture.All();
}

TEST_F(AntFindStickTest, AnExplicitPathIsNumberZeroOnly) {
    Sys.Device("1-1", "0fcf", "1004", 1, 5);
    Sys.Tty("1-1", "ttyUSB3");
    {
        TEnvScope e("ZELTO_ANT", "/dev/ttyUSB3");
        auto t = std::dynamic_pointer_cast<TAntSerialTransport>(AntFindStick(0, 57600, Sys.Root));
        ASSERT_TRUE(t);
        EXPECT_EQ(t->Path(), "/dev/ttyUSB3");
        EXPECT_EQ(t->Baud(), AntSerialBridgeBaud);  // known to sysfs as the bridge
        for (uint8_t n = 1; n < 8; ++n) EXPECT_EQ(AntFindStick(n, 57600, Sys.Root), nullptr);
    }
    {
        TEnvScope e("ZELTO_ANT", "/dev/ttyS4");
        auto t = std::dynamic_pointer_cast<TAntSerialTransport>(AntFindStick(0, 38400, Sys.Root));
        ASSERT_TRUE(t);
        EXPECT_EQ(t->Baud(), 38400u);
    }
    {
        TEnvScope e("ZELTO_ANT", "/dev/bus/usb/001/005");
        auto t = std::dynamic_pointer_cast<TAntUsbTransport>(AntFindStick(0, 57600, Sys.Root));
        ASSERT_TRUE(t);
        EXPECT_EQ(t->Path(), "/dev/bus/usb/001/005");
    }
    EXPECT_TRUE(Capture.Reports().empty());
    {
        TEnvScope e("ZELTO_ANT", "usb0");
        EXPECT_EQ(AntFindStick(0, 57600, Sys.Root), nullptr);
    }
    EXPECT_NE(Capture.All().find("ZELTO_ANT=usb0"), std::string::npos) << Capture.All();
}

TEST(AntOpenErrorTextTest, EachCaseSaysWhatHappenedAndWhatToDo) {
    struct TRow {
        TAntOpenFailure Kind;
        std::string Device, Detail;
        std::vector<std::string> Wanted;
    };
    const TRow rows[] = {
        {TAntOpenFailure::NotFound, "", "", {"no stick present", "0fcf:1008", "ZELTO_ANT=sim"}},
        {TAntOpenFailure::NotFound, "/dev/ttyUSB0", "", {"/dev/ttyUSB0", "no such device"}},
        {TAntOpenFailure::PermissionDenied,
         "/dev/ttyUSB0",
         "",
         {"/dev/ttyUSB0", "permission denied", "70-zelto-ant.rules", "udevadm", AntUdevRule}},
        {TAntOpenFailure::Busy,
         "/dev/bus/usb/001/004",
         "",
         {"/dev/bus/usb/001/004", "busy", "another program"}},
        {TAntOpenFailure::Other, "/dev/ttyS0", "not a serial device", {"/dev/ttyS0", "not a serial device"}},
    };
    for (const auto& r : rows) {
        const std::string text = AntOpenErrorText({r.Kind, r.Device, r.Detail});
        for (const auto& w : r.Wanted) EXPECT_NE(text.find(w), std::string::npos) << w << " in\n" << text;
        EXPECT_EQ(text.back(), '\n');
    }
    EXPECT_EQ(AntOpenErrorText({}), "");
}

// The rule printed to the user is the one shipped in the repository.
TEST(AntOpenErrorTextTest, PrintedUdevRuleIsTheRepositoryFile) {
    fs::path file = fs::path(__FILE__).parent_path() / "../../../scripts/udev/70-zelto-ant.rules";
    std::ifstream in(file);
    ASSERT_TRUE(in) << file;
    std::string line, rules;
    while (std::getline(in, line))
        if (!line.empty() && line[0] != '#') rules += line + "\n";
    EXPECT_EQ(rules, AntUdevRule);
}

}  // namespace
