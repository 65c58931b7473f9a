// The USB transport: the interface and endpoint choice over descriptor sets, libusb's
// errors as the user's cases, and failed opens that leave nothing behind.
#include <gtest/gtest.h>
#include <libusb.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/ant/AntUsb.h"
#include "tests/platform/ant/AntSerialTestUtil.h"
#include "tests/support/ScratchDir.h"

using namespace anttest;

namespace {

constexpr uint8_t Bulk = 2, Interrupt = 3, Iso = 1;

TAntUsbInterface Intf(uint8_t number, uint8_t alt, std::vector<TAntUsbEndpoint> eps) {
    return {number, alt, std::move(eps)};
}

TEST(AntUsbSelectTest, PicksTheFirstSettingWithBulkInAndOut) {
    struct TRow {
        const char* Name;
        TAntUsbConfig Config;
        std::optional<TAntUsbSelection> Wanted;
    };
    const TRow rows[] = {
        {"the stick's own layout",
         {{Intf(0, 0, {{0x81, Bulk, 64}, {0x01, Bulk, 64}})}},
         TAntUsbSelection{0, 0, 0x81, 0x01, 64, 64}},
        {"OUT listed first",
         {{Intf(0, 0, {{0x02, Bulk, 32}, {0x83, Bulk, 64}})}},
         TAntUsbSelection{0, 0, 0x83, 0x02, 64, 32}},
        {"interrupt and isochronous endpoints are not bulk",
         {{Intf(0, 0, {{0x81, Interrupt, 8}, {0x01, Bulk, 64}}),
           Intf(1, 0, {{0x82, Iso, 192}, {0x84, Bulk, 64}, {0x04, Bulk, 64}})}},
         TAntUsbSelection{1, 0, 0x84, 0x04, 64, 64}},
        {"an alternate setting carries the endpoints",
         {{Intf(0, 0, {}), Intf(0, 1, {{0x81, Bulk, 512}, {0x01, Bulk, 512}})}},
         TAntUsbSelection{0, 1, 0x81, 0x01, 512, 512}},
        {"the first of several bulk endpoints per direction",
         {{Intf(2, 0, {{0x81, Bulk, 64}, {0x82, Bulk, 64}, {0x03, Bulk, 64}, {0x01, Bulk, 64}})}},
         TAntUsbSelection{2, 0, 0x81, 0x03, 64, 64}},
        {"IN only", {{Intf(0, 0, {{0x81, Bulk, 64}, {0x82, Bulk, 64}})}}, std::nullopt},
        {"the pair split over two interfaces",
         {{Intf(0, 0, {{0x81, Bulk, 64}}), Intf(1, 0, {{0x01, Bulk, 64}})}},
         std::nullopt},
        {"no interfaces", {}, std::nullopt},
    };
    for (const auto& r : rows) EXPECT_EQ(AntSelectUsbEndpoints(r.Config), r.Wanted) << r.Name;
}

TEST(AntUsbSelectTest, LibusbErrorsGiveTheUsersCase) {
    EXPECT_EQ(AntFailureFromLibusb(LIBUSB_ERROR_ACCESS), TAntOpenFailure::PermissionDenied);
    EXPECT_EQ(AntFailureFromLibusb(LIBUSB_ERROR_BUSY), TAntOpenFailure::Busy);
    EXPECT_EQ(AntFailureFromLibusb(LIBUSB_ERROR_NO_DEVICE), TAntOpenFailure::NotFound);
    EXPECT_EQ(AntFailureFromLibusb(LIBUSB_ERROR_IO), TAntOpenFailure::Other);
}

TEST(AntUsbTransportTest, FailedOpensAreReportedAndLeaveNothingOpen) {
    TReportCapture capture;
    TScratchDir scratch("antusb");
    const std::string d = scratch.Path();
    const std::string plain = d + "/001";
    { std::ofstream(plain) << ""; }
    TByteSink sink;
    {
        TAntUsbTransport t(d + "/bus/usb/001/009");
        EXPECT_FALSE(t.Open(&sink));
        EXPECT_EQ(t.LastError().Kind, TAntOpenFailure::NotFound);
        EXPECT_NE(capture.All().find("no such device"), std::string::npos) << capture.All();
        EXPECT_FALSE(t.Write(reinterpret_cast<const uint8_t*>("x"), 1));
    }
    {
        // Not a usbfs node: libusb refuses it; the descriptor is closed again.
        capture.Clear();
        TAntUsbTransport t(plain);
        EXPECT_FALSE(t.Open(&sink));
        EXPECT_EQ(t.LastError().Kind, TAntOpenFailure::Other);
        EXPECT_NE(capture.All().find(plain), std::string::npos) << capture.All();
        t.Close();
    }
    EXPECT_EQ(sink.DeliveryCount(), 0);
}

}  // namespace
