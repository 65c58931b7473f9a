// The replay driver of the fuzz targets: runs every file of the corpus directories (or
// files) named on the command line through the target, in name order. Fails when a name
// is neither, or when nothing was replayed. A target that must tidy up after the last
// input (to leave nothing for the leak checker) defines ZeltoFuzzReplayDone.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" void ZeltoFuzzReplayDone() __attribute__((weak));

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    const std::string name = argc > 0 ? fs::path(argv[0]).filename().string() : "fuzz";
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        fs::path p(argv[i]);
        if (fs::is_directory(p)) {
            for (const auto& entry : fs::directory_iterator(p))
                if (entry.is_regular_file()) inputs.push_back(entry.path());
        } else if (fs::is_regular_file(p)) {
            inputs.push_back(p);
        } else {
            std::fprintf(stderr, "%s: no such corpus: %s\n", name.c_str(), argv[i]);
            return 2;
        }
    }
    std::sort(inputs.begin(), inputs.end());
    if (inputs.empty()) {
        std::fprintf(stderr, "%s: empty corpus\n", name.c_str());
        return 2;
    }
    for (const auto& path : inputs) {
        std::ifstream f(path, std::ios::binary);
        if (!f) {
            std::fprintf(stderr, "%s: cannot read %s\n", name.c_str(), path.c_str());
            return 2;
        }
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    if (ZeltoFuzzReplayDone) ZeltoFuzzReplayDone();
    std::printf("%s: %zu inputs replayed\n", name.c_str(), inputs.size());
    return 0;
}
