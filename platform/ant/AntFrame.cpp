#include "platform/ant/AntFrame.h"

#include <cstdio>

#include "platform/rtl/ByteCodec.h"

std::vector<uint8_t> EncodeAntFrame(uint8_t id, const uint8_t* data, size_t length) {
    if (length > ANT_MAX_FRAME_DATA) length = ANT_MAX_FRAME_DATA;
    std::vector<uint8_t> out(length + 4);
    TByteWriter w(out.data(), out.size());
    w.U8(ANT_SYNC).U8(static_cast<uint8_t>(length)).U8(id).Bytes(data, length);
    uint8_t sum = 0;
    for (size_t i = 0; i < w.Pos(); ++i) sum ^= out[i];
    w.U8(sum);
    return out;
}

std::vector<uint8_t> EncodeAntChannelId(const TAntChannelId& id) {
    std::vector<uint8_t> out(5);
    TByteWriter(out.data(), out.size())
        .U8(id.Channel)
        .U16(id.DeviceNumber)
        .U8(id.DeviceType)
        .U8(id.TransmissionType);
    return out;
}

TAntChannelId DecodeAntChannelId(const uint8_t* data, size_t length) {
    TByteReader r(data, length);
    TAntChannelId id;
    id.Channel = r.U8();
    id.DeviceNumber = r.U16();
    id.DeviceType = r.U8();
    id.TransmissionType = r.U8();
    return id;
}

std::string AntFrameText(const TAntFrame& f) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02X:", f.Id);
    std::string s = buf;
    for (uint8_t b : f.Data) {
        std::snprintf(buf, sizeof buf, " %02X", b);
        s += buf;
    }
    return s;
}

// Keeps the unparsed bytes in FBuffer. A frame is taken only when its sync byte, length
// and checksum are right; otherwise one byte is dropped and the search starts again at
// the next sync byte, so a good frame hidden behind garbage or a cut-off frame is found.
void TAntFrameParser::Feed(const uint8_t* bytes, size_t count) {
    FBuffer.insert(FBuffer.end(), bytes, bytes + count);
    size_t pos = 0;
    while (pos < FBuffer.size()) {
        if (FBuffer[pos] != ANT_SYNC) {
            ++pos;
            ++FSkipped;
            continue;
        }
        if (FBuffer.size() - pos < 2) break;
        uint8_t len = FBuffer[pos + 1];
        if (len > ANT_MAX_FRAME_DATA) {
            ++FBadFrames;
            ++pos;
            ++FSkipped;
            continue;
        }
        size_t total = size_t(len) + 4;
        if (FBuffer.size() - pos < total) break;
        uint8_t sum = 0;
        for (size_t i = 0; i < total; ++i) sum ^= FBuffer[pos + i];
        if (sum != 0) {
            ++FBadFrames;
            ++pos;
            ++FSkipped;
            continue;
        }
        TByteReader r(FBuffer.data() + pos, total);
        r.Skip(2);  // sync and length, checked above
        TAntFrame f;
        f.Id = r.U8();
        f.Data.resize(len);
        r.Bytes(f.Data.data(), len);
        pos += total;
        ++FGoodFrames;
        // The handler may feed the parser again (not expected, but harmless): drop the
        // consumed bytes first so the buffer is consistent.
        FBuffer.erase(FBuffer.begin(), FBuffer.begin() + pos);
        pos = 0;
        if (OnFrame) OnFrame(f);
    }
    FBuffer.erase(FBuffer.begin(), FBuffer.begin() + pos);
}
