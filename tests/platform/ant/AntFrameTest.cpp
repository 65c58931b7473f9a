#include <gtest/gtest.h>

#include "platform/ant/AntFrame.h"
#include "platform/rtl/SysUtils.h"

namespace {

std::vector<TAntFrame> ParseAll(const std::vector<uint8_t>& bytes, size_t piece = 0,
                                TAntFrameParser* out = nullptr) {
    TAntFrameParser local;
    TAntFrameParser& p = out ? *out : local;
    std::vector<TAntFrame> frames;
    p.OnFrame = [&](const TAntFrame& f) { frames.push_back(f); };
    if (piece == 0) piece = bytes.size() ? bytes.size() : 1;
    for (size_t i = 0; i < bytes.size(); i += piece)
        p.Feed(bytes.data() + i, std::min(piece, bytes.size() - i));
    return frames;
}

void Add(std::vector<uint8_t>& v, const std::vector<uint8_t>& more) {
    v.insert(v.end(), more.begin(), more.end());
}

TEST(AntFrame, EncodesSyncLengthIdDataAndXorChecksum) {
    // Open channel 1: A4 01 4B 01 -> checksum A4^01^4B^01 = EF
    uint8_t ch = 1;
    EXPECT_EQ(EncodeAntFrame(0x4B, &ch, 1), (std::vector<uint8_t>{0xA4, 0x01, 0x4B, 0x01, 0xEF}));
    // Reset with its filler byte.
    uint8_t z = 0;
    EXPECT_EQ(EncodeAntFrame(0x4A, &z, 1), (std::vector<uint8_t>{0xA4, 0x01, 0x4A, 0x00, 0xEF}));
    // Empty data part.
    EXPECT_EQ(EncodeAntFrame(0x4A, nullptr, 0), (std::vector<uint8_t>{0xA4, 0x00, 0x4A, 0xEE}));
}

TEST(AntFrame, ChannelIdIsChannelNumberLowHighTypeTransmission) {
    const std::vector<uint8_t> wire{3, 0x39, 0x30, 19, 1};
    EXPECT_EQ(EncodeAntChannelId({3, 0x3039, 19, 1}), wire);
    const TAntChannelId id = DecodeAntChannelId(wire.data(), wire.size());
    EXPECT_EQ(id.Channel, 3);
    EXPECT_EQ(id.DeviceNumber, 0x3039);
    EXPECT_EQ(id.DeviceType, 19);
    EXPECT_EQ(id.TransmissionType, 1);
    // A cut-off message is refused, not read beyond its end.
    EXPECT_THROW(DecodeAntChannelId(wire.data(), 4), EReadError);
}

TEST(AntFrame, RoundTripInAnyPieces) {
    std::vector<TAntFrame> frames = {
        {0x40, {1, 0x46, 0}},
        {0x4E, {1, 0xA4, 0xA4, 0x00, 0xFF, 1, 2, 3, 4}},  // sync bytes inside the data
        {0x51, {3, 0x39, 0x30, 19, 1}},
        {0x6F, {}},
        {0x54, std::vector<uint8_t>(ANT_MAX_FRAME_DATA, 0x5A)},
    };
    std::vector<uint8_t> wire;
    for (auto& f : frames) Add(wire, EncodeAntFrame(f));
    for (size_t piece : {size_t(0), size_t(1), size_t(2), size_t(3), size_t(7)}) {
        TAntFrameParser p;
        EXPECT_EQ(ParseAll(wire, piece, &p), frames) << "piece " << piece;
        EXPECT_EQ(p.BadFrames(), 0u);
        EXPECT_EQ(p.SkippedBytes(), 0u);
    }
}

TEST(AntFrame, ResynchronisesAfterCorruption) {
    const TAntFrame a{0x40, {0, 0x42, 0}}, b{0x4E, {2, 1, 2, 3, 4, 5, 6, 7, 8}};
    auto ea = EncodeAntFrame(a), eb = EncodeAntFrame(b);

    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        std::vector<TAntFrame> want;
    };
    std::vector<Case> cases;
    {  // garbage before a frame
        std::vector<uint8_t> v{0x00, 0x13, 0xFF};
        Add(v, ea);
        cases.push_back({"garbage", v, {a}});
    }
    {  // a bad checksum loses only that frame
        auto bad = ea;
        bad.back() ^= 1;
        Add(bad, eb);
        cases.push_back({"checksum", bad, {b}});
    }
    {  // a length beyond the limit
        std::vector<uint8_t> v{0xA4, 0xFF, 0x4E};
        Add(v, ea);
        cases.push_back({"length", v, {a}});
    }
    {  // a frame cut short, then a whole one: the whole one is found inside
        std::vector<uint8_t> v(eb.begin(), eb.begin() + 6);
        Add(v, ea);
        cases.push_back({"cut", v, {a}});
    }
    {  // a stray sync byte right before a frame
        std::vector<uint8_t> v{0xA4};
        Add(v, eb);
        cases.push_back({"stray sync", v, {b}});
    }
    for (auto& c : cases) {
        for (size_t piece : {size_t(0), size_t(1)}) {
            TAntFrameParser p;
            EXPECT_EQ(ParseAll(c.bytes, piece, &p), c.want) << c.name << " piece " << piece;
            EXPECT_GT(p.SkippedBytes(), 0u) << c.name;
        }
    }
}

TEST(AntFrame, KeepsAnUnfinishedFrameUntilTheRestArrives) {
    auto e = EncodeAntFrame(TAntFrame{0x4B, {3}});
    TAntFrameParser p;
    int n = 0;
    p.OnFrame = [&](const TAntFrame&) { ++n; };
    p.Feed(e.data(), e.size() - 1);
    EXPECT_EQ(n, 0);
    p.Feed(e.data() + e.size() - 1, 1);
    EXPECT_EQ(n, 1);
}

}  // namespace
