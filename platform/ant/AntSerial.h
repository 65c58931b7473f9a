#pragma once
// The serial transport: a stick reached through a tty (the serial bridge stick, or a
// native stick with a serial driver bound), raw 8N1 at the given rate. The tty is held
// exclusively (flock and TIOCEXCL) so that a second program sees it busy; a reader
// thread feeds the stick's bytes to the sink.
#include <termios.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/ant/AntDiscovery.h"
#include "platform/ant/AntTransport.h"

// The termios speed for a line rate; nullopt when the rate has no constant.
std::optional<speed_t> AntSerialSpeed(uint32_t baud);

class TAntSerialTransport : public TAntTransport {
public:
    TAntSerialTransport(std::string path, uint32_t baud);
    // Closes the tty when still open.
    ~TAntSerialTransport() override;

    // False when the tty does not open; the reason is in LastError and on stderr.
    bool Open(TAntByteSink* sink) override;
    // Restores the tty's settings and closes it; the reader thread is gone on return
    // (unless called from inside a delivery, which then finishes on its own).
    void Close() override;
    bool Write(const uint8_t* bytes, size_t count) override;

    const std::string& Path() const { return FPath; }
    uint32_t Baud() const { return FBaud; }
    TAntOpenError LastError() const;

private:
    struct TState;
    std::string FPath;
    uint32_t FBaud;
    std::shared_ptr<TState> FState;
};
