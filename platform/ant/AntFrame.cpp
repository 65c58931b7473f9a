#include "platform/ant/AntFrame.h"

#include <cstdio>

std::vector<uint8_t> EncodeAntFrame(uint8_t id, const uint8_t* data, size_t length) {
    if (length > ANT_MAX_FRAME_DATA) length = ANT_MAX_FRAME_DATA;
    std::vector<uint8_t> out;
    out.reserve(length + 4);
    out.push_back(ANT_SYNC);
    out.push_back(static_cast<uint8_t>(length));
    out.push_back(id);
    for (size_t i = 0; i < length; ++i) out.push_back(data[i]);
    uint8_t sum = 0;
    for (uint8_t b : out) sum ^= b;
    out.push_back(sum);
    return out;
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
        TAntFrame f;
        f.Id = FBuffer[pos + 2];
        f.Data.assign(FBuffer.begin() + pos + 3, FBuffer.begin() + pos + 3 + len);
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
