// Copying between a stick and a file descriptor.
#include "platform/ant/AntSimPipe.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

TAntSimPipe::TAntSimPipe(std::shared_ptr<TAntTransport> stick, int fd) : FStick(std::move(stick)), FFd(fd) {}

TAntSimPipe::~TAntSimPipe() {
    Stop();
}

bool TAntSimPipe::Start() {
    if (!FStop.load()) return false;
    // Writes never block the stick: with nobody reading the far side, bytes are lost as
    // on a real line.
    ::fcntl(FFd, F_SETFL, ::fcntl(FFd, F_GETFL) | O_NONBLOCK);
    FWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (FWake < 0) return false;
    FStop = false;
    if (!FStick->Open(this)) {
        FStop = true;
        ::close(FWake);
        FWake = -1;
        return false;
    }
    FThread = std::thread([this] { Run(); });
    return true;
}

void TAntSimPipe::Stop() {
    if (FStop.exchange(true)) return;
    uint64_t one = 1;
    (void)!::write(FWake, &one, sizeof one);
    if (FThread.joinable()) FThread.join();
    FStick->Close();
    ::close(FWake);
    FWake = -1;
}

void TAntSimPipe::Run() {
    uint8_t buf[512];
    while (!FStop.load()) {
        pollfd p[2] = {{FFd, POLLIN, 0}, {FWake, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (p[1].revents) return;
        if (p[0].revents & POLLIN) {
            ssize_t n = ::read(FFd, buf, sizeof buf);
            if (n > 0) {
                FStick->Write(buf, size_t(n));
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        }
        // No peer on the far side (a pseudo-terminal whose slave is not open): wait for one.
        ::poll(&p[1], 1, 2);
    }
}

void TAntSimPipe::Received(const uint8_t* bytes, size_t count) {
    std::lock_guard<std::mutex> g(FWriteMutex);
    while (count > 0) {
        ssize_t n = ::write(FFd, bytes, count);
        if (n > 0) {
            bytes += n;
            count -= size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        pollfd p{FFd, POLLOUT, 0};
        if (n < 0 && errno == EAGAIN && ::poll(&p, 1, 50) > 0) continue;
        return;
    }
}
