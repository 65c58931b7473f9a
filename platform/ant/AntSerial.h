#pragma once
// The serial transport: a stick reached through a tty (the serial bridge stick, or a
// native stick with a serial driver bound), raw 8N1 at the given rate. The tty is held
// with an exclusive flock so that a second program sees it busy; a reader
// thread feeds the stick's bytes to the sink. Close restores the tty's settings.
#include <termios.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/ant/AntReaderTransport.h"

// The termios speed for a line rate; nullopt when the rate has no constant.
std::optional<speed_t> AntSerialSpeed(uint32_t baud);

class TAntSerialTransport : public TAntReaderTransport {
public:
    TAntSerialTransport(std::string path, uint32_t baud);

    // False when the tty does not open; the reason is in LastError and on stderr.
    bool Open(TAntByteSink* sink) override;
    bool Write(const uint8_t* bytes, size_t count) override;

    uint32_t Baud() const { return FBaud; }

private:
    struct TState;
    TAntSerialTransport(std::shared_ptr<TState> state, std::string path, uint32_t baud);
    uint32_t FBaud;
    std::shared_ptr<TState> FState;
};
