#pragma once
// The USB transport: a native stick through libusb-1.0. It opens the stick's usbfs node,
// takes the first interface setting with a bulk IN and a bulk OUT endpoint (detaching a
// kernel driver that holds it, given back on close), and runs a reader thread that feeds
// the stick's bytes to the sink.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ant/AntReaderTransport.h"

// A configuration's descriptors as far as the endpoint choice needs them.
struct TAntUsbEndpoint {
    uint8_t Address = 0;     // bit 7: IN
    uint8_t Attributes = 0;  // bits 0-1: transfer type (2 = bulk)
    uint16_t MaxPacketSize = 0;
};
struct TAntUsbInterface {
    uint8_t Number = 0;
    uint8_t AltSetting = 0;
    std::vector<TAntUsbEndpoint> Endpoints;
};
struct TAntUsbConfig {
    std::vector<TAntUsbInterface> Interfaces;  // every setting of every interface, in order
};

struct TAntUsbSelection {
    uint8_t Interface = 0, AltSetting = 0;
    uint8_t InEndpoint = 0, OutEndpoint = 0;
    uint16_t InPacketSize = 0, OutPacketSize = 0;
    bool operator==(const TAntUsbSelection&) const = default;
};

// The first interface setting with both a bulk IN and a bulk OUT endpoint, and its first
// endpoint of each; nullopt when none has both.
std::optional<TAntUsbSelection> AntSelectUsbEndpoints(const TAntUsbConfig& config);
// A libusb error code as the user's case.
TAntOpenFailure AntFailureFromLibusb(int code);

class TAntUsbTransport : public TAntReaderTransport {
public:
    explicit TAntUsbTransport(std::string nodePath);

    // False when the stick does not open; the reason is in LastError and on stderr.
    bool Open(TAntByteSink* sink) override;
    bool Write(const uint8_t* bytes, size_t count) override;

private:
    struct TState;
    explicit TAntUsbTransport(std::shared_ptr<TState> state);
    std::shared_ptr<TState> FState;
};
