// Fuzz target of the ANT frame parser: any byte stream, fed in pieces whose sizes come
// from the input, must give only frames that survive a round trip, and the same frames
// whatever the pieces.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/ant/AntFrame.h"

namespace {

std::vector<TAntFrame> Parse(const uint8_t* data, size_t size, size_t piece) {
    std::vector<TAntFrame> frames;
    TAntFrameParser p;
    p.OnFrame = [&](const TAntFrame& f) { frames.push_back(f); };
    for (size_t i = 0; i < size; i += piece) p.Feed(data + i, std::min(piece, size - i));
    if (p.GoodFrames() != frames.size()) std::abort();
    return frames;
}

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_ant: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t piece = size ? data[0] % 13 + 1 : 1;
    auto whole = Parse(data, size, size ? size : 1);
    auto pieces = Parse(data, size, piece);
    Check(whole == pieces, "frames depend on how the bytes arrive");

    std::vector<uint8_t> wire;
    for (auto& f : whole) {
        Check(f.Data.size() <= ANT_MAX_FRAME_DATA, "frame longer than the limit");
        auto e = EncodeAntFrame(f);
        wire.insert(wire.end(), e.begin(), e.end());
    }
    Check(wire.size() <= size, "more frame bytes than input");
    Check(Parse(wire.data(), wire.size(), 1) == whole, "round trip changed the frames");
    return 0;
}
