// Environment of the web engine tests: a private log and temp directory, GUI process kind,
// and an exit handler that records instead of ending the test program.
#include "tests/web/WebTestSupport.h"

#ifdef ZELTO_HAVE_LIBCRYPTO
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>
#endif

#include <stdlib.h>

#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>

#include "tests/support/ScratchDir.h"

namespace {

std::mutex GExitMutex;
std::vector<int> GExitCodes;

}  // namespace

namespace {

std::unique_ptr<TScratchDir> GScratch;

// A death test's child re-runs this program: it takes the parent's folder (passed down in
// the environment), which the parent removes at the end, instead of leaving one of its own.
std::string MakeTestDir() {
    if (const char* inherited = std::getenv("ZELTO_WEBTEST_DIR"); inherited && *inherited) return inherited;
    GScratch = std::make_unique<TScratchDir>("webtest");
    setenv("ZELTO_WEBTEST_DIR", GScratch->Path().c_str(), 1);
    return GScratch->Path();
}

class TWebEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        setenv("CGI_LOG_DIR", (TestDir() + "/log").c_str(), 1);
        SetProcessKind(pkGuiProgram);
        InstallRecordingExitHandler();
    }
    void TearDown() override {
        StopReadingWatchdog();
        GScratch.reset();
    }
};

[[maybe_unused]] auto* const GEnvironment = ::testing::AddGlobalTestEnvironment(new TWebEnvironment);

}  // namespace

std::string TestDir() {
    static const std::string dir = MakeTestDir();
    return dir;
}

std::string LogFileName() {
    return TestDir() + "/log/" + ChangeFileExt(ExtractFileName(GetModuleFileName()), ".Log");
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void InstallRecordingExitHandler() {
    SetProcessExitHandler([](int code) {
        std::lock_guard<std::mutex> lk(GExitMutex);
        GExitCodes.push_back(code);
    });
}

std::vector<int> TakeExitCodes() {
    std::lock_guard<std::mutex> lk(GExitMutex);
    std::vector<int> codes;
    codes.swap(GExitCodes);
    return codes;
}

#ifdef ZELTO_HAVE_LIBCRYPTO
std::string OracleCfb(const std::string& key, const std::string& iv, const std::string& data, bool encrypt) {
    BF_KEY k;
    BF_set_key(&k, static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(key.data()));
    unsigned char ivec[8];
    std::string padded = iv;
    padded.resize(8, '\0');
    std::memcpy(ivec, padded.data(), 8);
    std::string out(data.size(), '\0');
    int num = 0;
    BF_cfb64_encrypt(reinterpret_cast<const unsigned char*>(data.data()),
                     reinterpret_cast<unsigned char*>(out.data()), static_cast<long>(data.size()), &k, ivec,
                     &num, encrypt ? BF_ENCRYPT : BF_DECRYPT);
    return out;
}
#endif
