// Fuzz target of the ANT frame parser: any byte stream, fed in pieces whose sizes come
// from the input, must give only frames that survive a round trip, and the same frames
// whatever the pieces.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
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

#ifndef ZELTO_LIBFUZZER
// Replays every file of the given directories (or files).
int main(int argc, char** argv) {
    int files = 0;
    for (int i = 1; i < argc; ++i) {
        std::vector<std::filesystem::path> paths;
        if (std::filesystem::is_directory(argv[i])) {
            for (auto& e : std::filesystem::directory_iterator(argv[i]))
                if (e.is_regular_file()) paths.push_back(e.path());
        } else {
            paths.push_back(argv[i]);
        }
        for (auto& p : paths) {
            std::ifstream in(p, std::ios::binary);
            std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            ++files;
        }
    }
    std::printf("fuzz_ant: %d inputs replayed\n", files);
    return files > 0 ? 0 : 1;
}
#endif
