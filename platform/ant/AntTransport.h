#pragma once
// The byte transport under the radio library: the wire to a stick (simulated in
// process, serial tty or USB). The library writes host frames with Write and gets the
// stick's bytes through the sink, on whatever thread the transport delivers them.
#include <cstddef>
#include <cstdint>
#include <memory>

class TAntByteSink {
public:
    virtual ~TAntByteSink() = default;
    // Bytes from the stick. May be called on the transport's own thread; the sink may
    // call Write from inside it.
    virtual void Received(const uint8_t* bytes, size_t count) = 0;
};

class TAntTransport {
public:
    virtual ~TAntTransport() = default;
    // Starts delivery to `sink`; false when there is no stick.
    virtual bool Open(TAntByteSink* sink) = 0;
    // Stops delivery. When it returns, no delivery is running, except when Close is
    // called from inside a delivery (that one finishes after Close returns).
    virtual void Close() = 0;
    // Host bytes to the stick. Thread-safe; never delivers to the sink from inside.
    virtual bool Write(const uint8_t* bytes, size_t count) = 0;
};

// The transport for ANT_Init's USB device number and baud rate: with ZELTO_ANT=sim the
// simulated stick installed on that number; otherwise a real stick (AntDiscovery.h), or
// nullptr when there is none.
std::shared_ptr<TAntTransport> AntFindTransport(uint8_t usbDeviceNumber, uint32_t baudRate = 57600);
