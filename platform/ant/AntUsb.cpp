// The USB transport over libusb-1.0. The usbfs node is opened here (so that the
// system's own reason is known when it fails) and handed to libusb.
#include "platform/ant/AntUsb.h"

#include <fcntl.h>
#include <libusb.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
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

struct TAntUsbTransport::TState : TAntReaderState {
    int Fd = -1;
    libusb_context* Ctx = nullptr;
    libusb_device_handle* Handle = nullptr;
    TAntUsbSelection Sel;
    bool Claimed = false;
    bool Detached = false;  // a kernel driver was detached and goes back on close

    // Gives everything back, in the reverse order of taking it.
    void Release() override {
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

TAntUsbTransport::TAntUsbTransport(std::string nodePath) : TAntUsbTransport(std::make_shared<TState>()) {
    FState->Path = std::move(nodePath);
}

TAntUsbTransport::TAntUsbTransport(std::shared_ptr<TState> state)
    : TAntReaderTransport(state), FState(std::move(state)) {}

bool TAntUsbTransport::Open(TAntByteSink* sink) {
    TState& S = *FState;
    std::unique_lock<std::mutex> g(S.Mutex);
    if (S.IsOpen) return false;
    S.Error = {};
    auto fail = [&](TAntOpenFailure kind, const std::string& detail) {
        S.Release();
        return FailOpen(g, kind, detail);
    };
    auto failUsb = [&](int code) { return fail(AntFailureFromLibusb(code), libusb_strerror(code)); };

    S.Fd = ::open(Path().c_str(), O_RDWR | O_CLOEXEC);
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

    const int packet = S.Sel.InPacketSize ? S.Sel.InPacketSize : 64;
    StartReader(
        sink, size_t(packet) * std::max(1, 512 / packet),
        [h = S.Handle, in = S.Sel.InEndpoint, halts = 0](uint8_t* buf, size_t size, size_t& got) mutable {
            int n = 0;
            int r = libusb_bulk_transfer(h, in, buf, int(size), &n, ReadTimeoutMs);
            got = size_t(std::max(n, 0));
            if (r == 0 || r == LIBUSB_ERROR_TIMEOUT || r == LIBUSB_ERROR_INTERRUPTED ||
                r == LIBUSB_ERROR_OVERFLOW) {
                halts = 0;
                return TAntReadStep::Going;
            }
            if (r == LIBUSB_ERROR_PIPE && ++halts < 3) {
                libusb_clear_halt(h, in);
                return TAntReadStep::Going;
            }
            return TAntReadStep::Lost;
        });
    return true;
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
