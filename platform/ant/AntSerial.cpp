// The serial transport over a tty.
#include "platform/ant/AntSerial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

std::optional<speed_t> AntSerialSpeed(uint32_t baud) {
    static const struct {
        uint32_t Baud;
        speed_t Speed;
    } rates[] = {{1200, B1200},      {2400, B2400},     {4800, B4800},     {9600, B9600},
                 {19200, B19200},    {38400, B38400},   {57600, B57600},   {115200, B115200},
                 {230400, B230400},  {460800, B460800}, {500000, B500000}, {921600, B921600},
                 {1000000, B1000000}};
    for (const auto& r : rates)
        if (r.Baud == baud) return r.Speed;
    return std::nullopt;
}

struct TAntSerialTransport::TState : TAntReaderState {
    int Fd = -1;
    int WakeFd = -1;
    termios Saved{};

    void WakeReader() override {
        uint64_t one = 1;
        (void)!::write(WakeFd, &one, sizeof one);
    }
    void Release() override {
        ::tcsetattr(Fd, TCSANOW, &Saved);
        ::close(Fd);  // drops the lock
        ::close(WakeFd);
        Fd = WakeFd = -1;
    }
};

TAntSerialTransport::TAntSerialTransport(std::string path, uint32_t baud)
    : TAntSerialTransport(std::make_shared<TState>(), std::move(path), baud) {}

TAntSerialTransport::TAntSerialTransport(std::shared_ptr<TState> state, std::string path, uint32_t baud)
    : TAntReaderTransport(state), FBaud(baud), FState(std::move(state)) {
    FState->Path = std::move(path);
}

bool TAntSerialTransport::Open(TAntByteSink* sink) {
    TState& S = *FState;
    std::unique_lock<std::mutex> g(S.Mutex);
    if (S.IsOpen) return false;
    S.Error = {};
    int fd = -1;
    auto fail = [&](TAntOpenFailure kind, const std::string& detail) {
        if (fd >= 0) ::close(fd);
        return FailOpen(g, kind, detail);
    };
    auto failErrno = [&](int err) { return fail(AntFailureFromErrno(err), std::strerror(err)); };

    fd = ::open(Path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return failErrno(errno);
    // The lock tells another program of ours (or any that honours flock) that the stick
    // is taken; it goes with the descriptor, so a killed process leaves none behind. (The
    // tty's exclusive mode would not: it belongs to the tty and outlives a killed holder
    // while anything else keeps the tty open, refusing every later open but root's.)
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return failErrno(errno == EWOULDBLOCK ? EBUSY : errno);
    termios saved{};
    if (::tcgetattr(fd, &saved) != 0) {
        int err = errno;
        return fail(TAntOpenFailure::Other, err == ENOTTY ? "not a serial device" : std::strerror(err));
    }
    auto speed = AntSerialSpeed(FBaud);
    if (!speed) return fail(TAntOpenFailure::Other, "unsupported line rate " + std::to_string(FBaud));
    termios t = saved;
    ::cfmakeraw(&t);
    t.c_cflag &= ~tcflag_t(CSIZE | CSTOPB | PARENB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    ::cfsetispeed(&t, *speed);
    ::cfsetospeed(&t, *speed);
    if (::tcsetattr(fd, TCSANOW, &t) != 0) {
        int err = errno;
        return fail(TAntOpenFailure::Other, std::strerror(err));
    }
    ::tcflush(fd, TCIOFLUSH);  // nothing stale from before us
    int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        int err = errno;
        ::tcsetattr(fd, TCSANOW, &saved);
        return fail(TAntOpenFailure::Other, std::strerror(err));
    }

    S.Fd = fd;
    S.WakeFd = wake;
    S.Saved = saved;
    // Delivers the tty's bytes until Close wakes it or the stick goes away.
    StartReader(sink, 512, [fd, wake](uint8_t* buf, size_t size, size_t& got) {
        pollfd p[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
        int r = ::poll(p, 2, -1);
        if (r < 0) return errno == EINTR ? TAntReadStep::Going : TAntReadStep::Lost;
        if (p[1].revents) return TAntReadStep::Ended;
        if (p[0].revents & POLLIN) {
            ssize_t n = ::read(fd, buf, size);
            if (n > 0) {
                got = size_t(n);
                return TAntReadStep::Going;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) return TAntReadStep::Going;
            return TAntReadStep::Lost;
        }
        if (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) return TAntReadStep::Lost;
        return TAntReadStep::Going;
    });
    return true;
}

bool TAntSerialTransport::Write(const uint8_t* bytes, size_t count) {
    TState& S = *FState;
    std::lock_guard<std::mutex> w(S.WriteMutex);
    int fd;
    {
        std::lock_guard<std::mutex> g(S.Mutex);
        if (!S.IsOpen) return false;
        fd = S.Fd;
    }
    while (count > 0) {
        ssize_t n = ::write(fd, bytes, count);
        if (n > 0) {
            bytes += n;
            count -= size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            // The line is slower than the host: wait for room, but not for ever.
            pollfd p{fd, POLLOUT, 0};
            int r = ::poll(&p, 1, 1000);
            if (r > 0 && (p.revents & POLLOUT)) continue;
        }
        return false;
    }
    return true;
}
