#pragma once
// ANT serial frames: [0xA4][length][message id][data ...][checksum], where length
// counts the data bytes only and the checksum is the XOR of every byte from 0xA4 on.
// The parser accepts bytes in arbitrary pieces and resynchronises after a bad sync
// byte, a length beyond the limit or a wrong checksum.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

constexpr uint8_t ANT_SYNC = 0xA4;
// Longest data part accepted (extended messages included); longer lengths are corrupt.
constexpr uint8_t ANT_MAX_FRAME_DATA = 41;

// One 8-byte data page.
using TAntPage = std::array<uint8_t, 8>;

struct TAntFrame {
    uint8_t Id = 0;
    std::vector<uint8_t> Data;
    bool operator==(const TAntFrame&) const = default;
};

// The wire bytes of a frame (data longer than ANT_MAX_FRAME_DATA is cut off).
std::vector<uint8_t> EncodeAntFrame(uint8_t id, const uint8_t* data, size_t length);
inline std::vector<uint8_t> EncodeAntFrame(const TAntFrame& f) {
    return EncodeAntFrame(f.Id, f.Data.data(), f.Data.size());
}
// The data of a channel id message (0x51), sent to set a channel's id and answered to a
// request: [channel, device number (16-bit LE), device type, transmission type].
struct TAntChannelId {
    uint8_t Channel = 0;
    uint16_t DeviceNumber = 0;
    uint8_t DeviceType = 0;
    uint8_t TransmissionType = 0;
};
std::vector<uint8_t> EncodeAntChannelId(const TAntChannelId& id);
// Raises EReadError when `length` is short of the five bytes.
TAntChannelId DecodeAntChannelId(const uint8_t* data, size_t length);

// Printable form for logs and test messages: "4E: 01 02 ...".
std::string AntFrameText(const TAntFrame& f);

class TAntFrameParser {
public:
    // Called for every good frame, in order, on the thread that calls Feed.
    std::function<void(const TAntFrame&)> OnFrame;

    void Feed(const uint8_t* bytes, size_t count);
    // Drops a partly received frame.
    void Reset() { FBuffer.clear(); }

    // Bytes skipped while looking for a frame (garbage, bad lengths, bad checksums).
    uint64_t SkippedBytes() const { return FSkipped; }
    // Frames rejected for a bad checksum or length.
    uint64_t BadFrames() const { return FBadFrames; }
    uint64_t GoodFrames() const { return FGoodFrames; }

private:
    std::vector<uint8_t> FBuffer;
    uint64_t FSkipped = 0;
    uint64_t FBadFrames = 0;
    uint64_t FGoodFrames = 0;
};
