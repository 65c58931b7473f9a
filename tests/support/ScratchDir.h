#pragma once
// A scratch folder for one test or fixture: created fresh and unique under the temporary
// directory, removed with everything in it when the object goes; and the reading of a file
// there as a whole.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

class TScratchDir {
public:
    // Under `base` when given and writable, else under $TMPDIR or /tmp; `prefix` starts
    // the folder's name so that a left-over one tells which test made it.
    explicit TScratchDir(const std::string& prefix = "zelto-test", const char* base = nullptr) {
        if (!base || ::access(base, W_OK) != 0) base = std::getenv("TMPDIR");
        if (!base || !*base || ::access(base, W_OK) != 0) base = "/tmp";
        std::string tmpl = std::string(base) + "/" + prefix + "-XXXXXX";
        if (!::mkdtemp(tmpl.data()))
            throw std::runtime_error("cannot create a scratch folder under " + std::string(base));
        FPath = tmpl;
    }
    TScratchDir(const TScratchDir&) = delete;
    TScratchDir& operator=(const TScratchDir&) = delete;
    ~TScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(FPath, ec);
    }
    const std::string& Path() const { return FPath; }
    std::string File(const std::string& name) const { return FPath + "/" + name; }

private:
    std::string FPath;
};

// The whole content of a file on disk, read past the engine.
inline std::string DiskFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
