// Finding real sticks in sysfs and choosing their transport; the user-facing reasons
// why a stick did not open.
#include "platform/ant/AntDiscovery.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/ant/AntSerial.h"
#include "platform/ant/AntUsb.h"

namespace fs = std::filesystem;

const char* const AntUdevRule =
    "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"0fcf\", ATTR{idProduct}==\"1004|1008|1009\", MODE=\"0660\", "
    "TAG+=\"uaccess\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n"
    "SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"0fcf\", ATTRS{idProduct}==\"1004|1008|1009\", MODE=\"0660\", "
    "TAG+=\"uaccess\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n";

bool AntIsStickProduct(uint16_t product) {
    return product == AntProductSerialBridge || product == AntProductUsb2 || product == AntProductUsbM;
}

std::string TAntStickInfo::TtyPath(const std::string& devRoot) const {
    return Tty.empty() ? std::string() : devRoot + "/" + Tty;
}

std::string TAntStickInfo::UsbNodePath(const std::string& devRoot) const {
    char tail[32];
    std::snprintf(tail, sizeof tail, "/bus/usb/%03d/%03d", Bus, DevNum);
    return devRoot + tail;
}

uint32_t TAntStickInfo::Baud(uint32_t requested) const {
    return Product == AntProductSerialBridge ? AntSerialBridgeBaud : requested;
}

namespace {

// First line of a sysfs attribute, trimmed; empty when missing.
std::string ReadAttr(const fs::path& p) {
    std::ifstream in(p);
    std::string s;
    if (!in || !std::getline(in, s)) return {};
    while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '\t')) s.pop_back();
    return s;
}

bool ParseNumber(const std::string& s, int base, long& out) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || v < 0) return false;
    out = v;
    return true;
}

// "<bus>-<port>[.<port>...]" (root hubs "usbN" and interfaces "1-1:1.0" are not devices).
bool ParseDeviceName(const std::string& name, int& bus, std::vector<int>& ports) {
    auto dash = name.find('-');
    if (dash == std::string::npos || name.find(':') != std::string::npos) return false;
    long b;
    if (!ParseNumber(name.substr(0, dash), 10, b)) return false;
    ports.clear();
    size_t pos = dash + 1;
    while (true) {
        size_t dot = name.find('.', pos);
        long p;
        if (!ParseNumber(name.substr(pos, dot == std::string::npos ? std::string::npos : dot - pos), 10, p))
            return false;
        ports.push_back(int(p));
        if (dot == std::string::npos) break;
        pos = dot + 1;
    }
    bus = int(b);
    return true;
}

std::vector<std::string> SortedChildren(const fs::path& dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        out.push_back(it->path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

// The tty of a device: an interface "<name>:<config>.<n>" holds either "ttyUSBn"
// (usb-serial drivers) or "tty/ttyACMn" (the modem class driver).
std::string FindTty(const fs::path& device, const std::string& name) {
    for (const auto& intf : SortedChildren(device)) {
        if (intf.rfind(name + ":", 0) != 0) continue;
        const fs::path dir = device / intf;
        for (const auto& child : SortedChildren(dir))
            if (child.rfind("tty", 0) == 0 && child != "tty") return child;
        for (const auto& child : SortedChildren(dir / "tty"))
            if (child.rfind("tty", 0) == 0) return child;
    }
    return {};
}

std::atomic<TAntReportProc> ReportProc{nullptr};

}  // namespace

std::vector<TAntStickInfo> AntDiscoverSticks(const std::string& sysfsRoot) {
    const fs::path devices = fs::path(sysfsRoot) / "bus" / "usb" / "devices";
    std::vector<TAntStickInfo> out;
    for (const auto& name : SortedChildren(devices)) {
        TAntStickInfo s;
        if (!ParseDeviceName(name, s.Bus, s.Ports)) continue;
        const fs::path dir = devices / name;
        long vendor, product, devnum, busnum;
        if (!ParseNumber(ReadAttr(dir / "idVendor"), 16, vendor) || vendor != AntUsbVendor) continue;
        if (!ParseNumber(ReadAttr(dir / "idProduct"), 16, product) || !AntIsStickProduct(uint16_t(product)))
            continue;
        s.Name = name;
        s.Vendor = uint16_t(vendor);
        s.Product = uint16_t(product);
        if (ParseNumber(ReadAttr(dir / "busnum"), 10, busnum)) s.Bus = int(busnum);
        if (ParseNumber(ReadAttr(dir / "devnum"), 10, devnum)) s.DevNum = int(devnum);
        s.Tty = FindTty(dir, name);
        out.push_back(std::move(s));
    }
    std::stable_sort(out.begin(), out.end(), [](const TAntStickInfo& a, const TAntStickInfo& b) {
        if (a.Bus != b.Bus) return a.Bus < b.Bus;
        return a.Ports < b.Ports;
    });
    return out;
}

TAntOpenFailure AntFailureFromErrno(int err) {
    switch (err) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return TAntOpenFailure::NotFound;
        case EACCES:
        case EPERM:
        case EROFS:
            return TAntOpenFailure::PermissionDenied;
        case EBUSY:
        case EWOULDBLOCK:
            return TAntOpenFailure::Busy;
        default:
            return TAntOpenFailure::Other;
    }
}

std::string AntOpenErrorText(const TAntOpenError& e) {
    const std::string who = e.Device.empty() ? "ANT stick: " : "ANT stick " + e.Device + ": ";
    switch (e.Kind) {
        case TAntOpenFailure::None:
            return {};
        case TAntOpenFailure::NotFound:
            if (e.Device.empty())
                return who +
                       "no stick present (no USB device 0fcf:1004, 0fcf:1008 or 0fcf:1009 is plugged in). "
                       "Plug the stick in, or set ZELTO_ANT=sim for the simulated one.\n";
            return who + "no such device. Is the stick plugged in?\n";
        case TAntOpenFailure::PermissionDenied:
            return who +
                   "permission denied. Install the udev rule that gives you access to the stick, then "
                   "unplug it and plug it in again:\n"
                   "  sudo cp scripts/udev/70-zelto-ant.rules /etc/udev/rules.d/\n"
                   "  sudo udevadm control --reload-rules && sudo udevadm trigger\n"
                   "The rule:\n" +
                   AntUdevRule;
        case TAntOpenFailure::Busy:
            return who + "busy: another program is using the stick. Close it and connect again.\n";
        case TAntOpenFailure::Other:
            return who + "cannot open the stick" + (e.Detail.empty() ? "" : ": " + e.Detail) + ".\n";
    }
    return {};
}

void SetAntReportProc(TAntReportProc proc) {
    ReportProc.store(proc);
}

void AntReport(const std::string& text) {
    if (text.empty()) return;
    if (TAntReportProc p = ReportProc.load()) return p(text);
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
}

namespace {

// The stick behind a tty path, when sysfs knows it (to pick the bridge's rate).
const TAntStickInfo* StickOfTty(const std::vector<TAntStickInfo>& sticks, const std::string& path) {
    std::error_code ec;
    fs::path real = fs::canonical(path, ec);
    const std::string name = (ec ? fs::path(path) : real).filename().string();
    for (const auto& s : sticks)
        if (!s.Tty.empty() && s.Tty == name) return &s;
    return nullptr;
}

std::shared_ptr<TAntTransport> TransportForPath(const std::string& path, uint32_t baud,
                                                const std::string& sysfsRoot) {
    if (path.rfind("/dev/bus/usb/", 0) == 0) return std::make_shared<TAntUsbTransport>(path);
    const auto sticks = AntDiscoverSticks(sysfsRoot);
    if (const TAntStickInfo* s = StickOfTty(sticks, path)) baud = s->Baud(baud);
    return std::make_shared<TAntSerialTransport>(path, baud);
}

}  // namespace

std::shared_ptr<TAntTransport> AntFindStick(uint8_t n, uint32_t baud, const std::string& sysfsRoot,
                                            const std::string& devRoot) {
    const char* env = std::getenv("ZELTO_ANT");
    const std::string mode = env ? env : "";
    if (!mode.empty()) {
        // An explicit device is number 0; the caller probes further numbers after a
        // failure, which must not report the same device again.
        if (n != 0) return nullptr;
        if (mode[0] != '/') {
            AntReport("ANT stick: ZELTO_ANT=" + mode +
                      " is neither \"sim\" nor a device path such as /dev/ttyUSB0.\n");
            return nullptr;
        }
        return TransportForPath(mode, baud, sysfsRoot);
    }
    const auto sticks = AntDiscoverSticks(sysfsRoot);
    if (n >= sticks.size()) {
        // Reported once per probe round (the caller tries 0, 1, 2 ...).
        if (sticks.empty() && n == 0) AntReport(TAntOpenError{TAntOpenFailure::NotFound, "", ""});
        return nullptr;
    }
    const TAntStickInfo& s = sticks[n];
    if (s.Product == AntProductSerialBridge && !s.UsesTty()) {
        // The bridge speaks only through its serial driver.
        AntReport(TAntOpenError{
            TAntOpenFailure::Other, "on USB " + s.Name,
            "it has no tty; load its serial driver (sudo modprobe cp210x) and plug it in again"});
        return nullptr;
    }
    if (s.UsesTty()) return std::make_shared<TAntSerialTransport>(s.TtyPath(devRoot), s.Baud(baud));
    return std::make_shared<TAntUsbTransport>(s.UsbNodePath(devRoot));
}
