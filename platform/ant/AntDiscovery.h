#pragma once
// Real radio sticks: finding them in sysfs, picking the transport for ANT_Init's USB
// device number, and telling the user why a stick did not open.
//
// Sticks have USB vendor 0x0fcf. Product 0x1004 is a USB-to-serial bridge seen as a tty
// (/dev/ttyUSBn); 0x1008 and 0x1009 are native USB sticks with bulk endpoints, reached
// through libusb, or through their tty when the kernel bound a serial driver to them.
// ANT_Init(n) opens the n-th stick in a stable order (bus, then port path), so a number
// keeps its meaning while the sticks stay where they are.
//
// ZELTO_ANT selects: "sim" the simulated stick (AntSim.h); a device path (starting with
// '/') that device on number 0 (a tty, or a usbfs node under /dev/bus/usb/ for the USB
// transport); unset or empty the sticks found in sysfs.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ant/AntTransport.h"

constexpr uint16_t AntUsbVendor = 0x0FCF;
constexpr uint16_t AntProductSerialBridge = 0x1004;
constexpr uint16_t AntProductUsb2 = 0x1008;
constexpr uint16_t AntProductUsbM = 0x1009;
// The serial bridge stick talks at its own rate, whatever the caller asks for.
constexpr uint32_t AntSerialBridgeBaud = 115200;

bool AntIsStickProduct(uint16_t product);

struct TAntStickInfo {
    std::string Name;        // sysfs name, e.g. "1-1.2"
    int Bus = 0;             // USB bus number
    std::vector<int> Ports;  // port path from the root hub
    uint16_t Vendor = 0, Product = 0;
    int DevNum = 0;   // device address on the bus
    std::string Tty;  // tty name ("ttyUSB0") when a serial driver is bound, else empty

    // Through the tty when there is one, else through libusb.
    bool UsesTty() const { return !Tty.empty(); }
    std::string TtyPath(const std::string& devRoot = "/dev") const;
    // The usbfs node, e.g. /dev/bus/usb/001/005.
    std::string UsbNodePath(const std::string& devRoot = "/dev") const;
    // The line rate to set on the tty: the bridge's own, else the caller's.
    uint32_t Baud(uint32_t requested) const;
};

// The sticks under <sysfsRoot>/bus/usb/devices, ordered by bus and port path.
std::vector<TAntStickInfo> AntDiscoverSticks(const std::string& sysfsRoot = "/sys");

// Why a stick did not open.
enum class TAntOpenFailure { None, NotFound, PermissionDenied, Busy, Other };

struct TAntOpenError {
    TAntOpenFailure Kind = TAntOpenFailure::None;
    std::string Device;  // the path or stick tried; empty when no stick was found at all
    std::string Detail;  // the system's words, for Other
};

TAntOpenFailure AntFailureFromErrno(int err);
// The text written to stderr: which case it was and what the user can do.
std::string AntOpenErrorText(const TAntOpenError& e);
// The udev rule that gives the logged-in user access to the sticks
// (scripts/udev/70-zelto-ant.rules in the repository).
extern const char* const AntUdevRule;

// Where reports go: stderr unless a test installs another receiver (nullptr restores).
using TAntReportProc = void (*)(const std::string& text);
void SetAntReportProc(TAntReportProc proc);
void AntReport(const std::string& text);
inline void AntReport(const TAntOpenError& e) {
    AntReport(AntOpenErrorText(e));
}

// The transport for USB device number `n` at `baud` when ZELTO_ANT is not "sim":
// nullptr when there is none (reported on stderr when no stick is present at all, or
// ZELTO_ANT holds something unusable). `sysfsRoot` and `devRoot` are for tests.
std::shared_ptr<TAntTransport> AntFindStick(uint8_t n, uint32_t baud, const std::string& sysfsRoot = "/sys",
                                            const std::string& devRoot = "/dev");
