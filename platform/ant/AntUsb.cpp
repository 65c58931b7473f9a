// The USB transport over libusb-1.0. The usbfs node is opened here (so that the
// system's own reason is known when it fails) and handed to libusb.
#include "platform/ant/AntUsb.h"

#include <fcntl.h>
#include <libusb.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

std::optional<TAntUsbSelection> AntSelectUsbEndpoints(const TAntUsbConfig& config) {
    constexpr uint8_t Bulk = LIBUSB_TRANSFER_TYPE_BULK;
    for (const auto& intf : config.Interfaces) {
        const TAntUsbEndpoint* in = nullptr;
        const TAntUsbEndpoint* out = nullptr;
        for (const auto& ep : intf.Endpoints) {
            if ((ep.Attributes & 0x03) != Bulk) continue;
            const TAntUsbEndpoint*& slot = (ep.Address & LIBUSB_ENDPOINT_IN) ? in : out;
            if (!slot) slot = &ep;
        }
        if (in && out)
            return TAntUsbSelection{intf.Number,  intf.AltSetting,   in->Address,
                                    out->Address, in->MaxPacketSize, out->MaxPacketSize};
    }
    return std::nullopt;
}

TAntOpenFailure AntFailureFromLibusb(int code) {
    switch (code) {
        case LIBUSB_SUCCESS:
            return TAntOpenFailure::None;
        case LIBUSB_ERROR_ACCESS:
            return TAntOpenFailure::PermissionDenied;
        case LIBUSB_ERROR_BUSY:
            return TAntOpenFailure::Busy;
        case LIBUSB_ERROR_NO_DEVICE:
        case LIBUSB_ERROR_NOT_FOUND:
            return TAntOpenFailure::NotFound;
        default:
            return TAntOpenFailure::Other;
    }
}

namespace {

TAntUsbConfig ConfigOf(const libusb_config_descriptor& cfg) {
    TAntUsbConfig out;
    for (int i = 0; i < cfg.bNumInterfaces; ++i) {
        const libusb_interface& intf = cfg.interface[i];
        for (int a = 0; a < intf.num_altsetting; ++a) {
            const libusb_interface_descriptor& d = intf.altsetting[a];
            TAntUsbInterface x;
            x.Number = d.bInterfaceNumber;
            x.AltSetting = d.bAlternateSetting;
            for (int e = 0; e < d.bNumEndpoints; ++e)
                x.Endpoints.push_back({d.endpoint[e].bEndpointAddress, d.endpoint[e].bmAttributes,
                                       d.endpoint[e].wMaxPacketSize});
            out.Interfaces.push_back(std::move(x));
        }
    }
    return out;
}

// A read that waits this long at most, so that Close is never held up for longer.
constexpr unsigned ReadTimeoutMs = 100;
constexpr unsigned WriteTimeoutMs = 1000;

}  // namespace

struct TAntUsbTransport::TState {
    std::mutex Mutex;  // everything below but Stop
    std::mutex WriteMutex;
    std::string Path;
    bool IsOpen = false;
    int Fd = -1;
    libusb_context* Ctx = nullptr;
    libusb_device_handle* Handle = nullptr;
    TAntUsbSelection Sel;
    bool Claimed = false;
    bool Detached = false;  // a kernel driver was detached and goes back on close
    std::thread Thread;
    TAntOpenError Error;
    std::atomic<bool> Stop{false};

    // Gives everything back, in the reverse order of taking it.
    void Release() {
        if (Handle) {
            if (Claimed) libusb_release_interface(Handle, Sel.Interface);
            if (Detached) libusb_attach_kernel_driver(Handle, Sel.Interface);
            libusb_close(Handle);
        }
        if (Ctx) libusb_exit(Ctx);
        if (Fd >= 0) ::close(Fd);
        Handle = nullptr;
        Ctx = nullptr;
        Fd = -1;
        Claimed = Detached = false;
    }
};

namespace {

void ReadLoop(const std::shared_ptr<void>& keep, std::atomic<bool>& stop, libusb_device_handle* h,
              TAntUsbSelection sel, TAntByteSink* sink, const std::string& path) {
    (void)keep;
    const int packet = sel.InPacketSize ? sel.InPacketSize : 64;
    std::vector<uint8_t> buf(size_t(packet) * std::max(1, 512 / packet));
    int halts = 0;
    bool lost = false;
    while (!stop.load()) {
        int n = 0;
        int r = libusb_bulk_transfer(h, sel.InEndpoint, buf.data(), int(buf.size()), &n, ReadTimeoutMs);
        if (stop.load()) return;
        if (n > 0) sink->Received(buf.data(), size_t(n));
        if (r == 0 || r == LIBUSB_ERROR_TIMEOUT || r == LIBUSB_ERROR_INTERRUPTED ||
            r == LIBUSB_ERROR_OVERFLOW) {
            halts = 0;
            continue;
        }
        if (r == LIBUSB_ERROR_PIPE && ++halts < 3) {
            libusb_clear_halt(h, sel.InEndpoint);
            continue;
        }
        lost = true;
        break;
    }
    if (lost && !stop.load()) AntReport("ANT stick " + path + ": the stick went away (unplugged?).\n");
}

}  // namespace

TAntUsbTransport::TAntUsbTransport(std::string nodePath)
    : FPath(std::move(nodePath)), FState(std::make_shared<TState>()) {
    FState->Path = FPath;
}

TAntUsbTransport::~TAntUsbTransport() {
    Close();
}

TAntOpenError TAntUsbTransport::LastError() const {
    std::lock_guard<std::mutex> g(FState->Mutex);
    return FState->Error;
}

bool TAntUsbTransport::Open(TAntByteSink* sink) {
    TState& S = *FState;
    std::unique_lock<std::mutex> g(S.Mutex);
    if (S.IsOpen) return false;
    S.Error = {};
    auto fail = [&](TAntOpenFailure kind, const std::string& detail) {
        S.Release();
        S.Error = {kind, FPath, detail};
        const TAntOpenError e = S.Error;
        g.unlock();
        AntReport(e);
        return false;
    };
    auto failUsb = [&](int code) { return fail(AntFailureFromLibusb(code), libusb_strerror(code)); };

    S.Fd = ::open(FPath.c_str(), O_RDWR | O_CLOEXEC);
    if (S.Fd < 0) {
        int err = errno;
        return fail(AntFailureFromErrno(err), std::strerror(err));
    }
    // The node is already open: libusb need not look at the other devices.
    libusb_set_option(nullptr, LIBUSB_OPTION_NO_DEVICE_DISCOVERY);
    if (int r = libusb_init(&S.Ctx); r != 0) {
        S.Ctx = nullptr;
        return failUsb(r);
    }
    if (int r = libusb_wrap_sys_device(S.Ctx, intptr_t(S.Fd), &S.Handle); r != 0) {
        S.Handle = nullptr;
        return failUsb(r);
    }
    libusb_config_descriptor* cfg = nullptr;
    if (int r = libusb_get_active_config_descriptor(libusb_get_device(S.Handle), &cfg); r != 0)
        return failUsb(r);
    auto sel = AntSelectUsbEndpoints(ConfigOf(*cfg));
    libusb_free_config_descriptor(cfg);
    if (!sel) return fail(TAntOpenFailure::Other, "not a radio stick (no bulk IN and OUT endpoints)");
    S.Sel = *sel;

    if (libusb_kernel_driver_active(S.Handle, S.Sel.Interface) == 1) {
        if (int r = libusb_detach_kernel_driver(S.Handle, S.Sel.Interface); r != 0) return failUsb(r);
        S.Detached = true;
    }
    if (int r = libusb_claim_interface(S.Handle, S.Sel.Interface); r != 0) return failUsb(r);
    S.Claimed = true;
    if (S.Sel.AltSetting != 0)
        if (int r = libusb_set_interface_alt_setting(S.Handle, S.Sel.Interface, S.Sel.AltSetting); r != 0)
            return failUsb(r);

    S.Stop = false;
    S.IsOpen = true;
    std::shared_ptr<TState> keep = FState;
    S.Thread = std::thread(
        [keep, h = S.Handle, sel = S.Sel, sink] { ReadLoop(keep, keep->Stop, h, sel, sink, keep->Path); });
    return true;
}

void TAntUsbTransport::Close() {
    TState& S = *FState;
    std::thread th;
    {
        std::lock_guard<std::mutex> g(S.Mutex);
        if (!S.IsOpen) return;
        S.IsOpen = false;
        S.Stop = true;
        th = std::move(S.Thread);
    }
    if (th.joinable()) {
        // The reader notices Stop within one read time-out. From inside a delivery it
        // ends on its own once the delivery returns, without touching the handle.
        if (th.get_id() == std::this_thread::get_id())
            th.detach();
        else
            th.join();
    }
    std::lock_guard<std::mutex> w(S.WriteMutex);
    std::lock_guard<std::mutex> g(S.Mutex);
    S.Release();
}

bool TAntUsbTransport::Write(const uint8_t* bytes, size_t count) {
    TState& S = *FState;
    std::lock_guard<std::mutex> w(S.WriteMutex);
    libusb_device_handle* h;
    TAntUsbSelection sel;
    {
        std::lock_guard<std::mutex> g(S.Mutex);
        if (!S.IsOpen) return false;
        h = S.Handle;
        sel = S.Sel;
    }
    std::vector<uint8_t> data(bytes, bytes + count);
    size_t done = 0;
    while (done < data.size()) {
        int n = 0;
        int r = libusb_bulk_transfer(h, sel.OutEndpoint, data.data() + done, int(data.size() - done), &n,
                                     WriteTimeoutMs);
        done += size_t(std::max(n, 0));
        if (r != 0) return false;
    }
    // A write that fills its last packet exactly needs an empty one to end it.
    if (sel.OutPacketSize && count % sel.OutPacketSize == 0 && count > 0) {
        int n = 0;
        libusb_bulk_transfer(h, sel.OutEndpoint, data.data(), 0, &n, WriteTimeoutMs);
    }
    return true;
}
