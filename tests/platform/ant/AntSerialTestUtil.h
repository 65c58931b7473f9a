#pragma once
// Helpers of the real-stick tests: a pseudo-terminal pair standing in for a stick's tty,
// a receiver that collects what the library reports, and a byte sink.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/ant/AntDiscovery.h"
#include "platform/ant/AntTransport.h"
#include "tests/support/WaitUntil.h"

namespace anttest {

// The reports of AntReport while a TReportCapture lives.
class TReportCapture {
public:
    TReportCapture() {
        Clear();
        SetAntReportProc(&Receive);
    }
    ~TReportCapture() { SetAntReportProc(nullptr); }
    static std::vector<std::string> Reports() {
        std::lock_guard<std::mutex> g(Mutex());
        return Store();
    }
    static std::string All() {
        std::string s;
        for (const auto& r : Reports()) s += r;
        return s;
    }
    static void Clear() {
        std::lock_guard<std::mutex> g(Mutex());
        Store().clear();
    }

private:
    static void Receive(const std::string& text) {
        std::lock_guard<std::mutex> g(Mutex());
        Store().push_back(text);
    }
    static std::mutex& Mutex() {
        static std::mutex m;
        return m;
    }
    static std::vector<std::string>& Store() {
        static std::vector<std::string> v;
        return v;
    }
};

// A pseudo-terminal pair: the slave path is what the serial transport opens, the master
// is the stick's side of the wire.
class TPty {
public:
    TPty() {
        Master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (Master < 0 || grantpt(Master) != 0 || unlockpt(Master) != 0) return;
        SlavePath = ptsname(Master);
        // Held open so that the master never sees a hang-up between two opens.
        Keeper = ::open(SlavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~TPty() {
        CloseMaster();
        if (Keeper >= 0) ::close(Keeper);
    }
    bool Ok() const { return Master >= 0 && Keeper >= 0 && !SlavePath.empty(); }
    void CloseMaster() {
        if (Master >= 0) ::close(Master);
        Master = -1;
    }
    // Reads what the host wrote until `count` bytes arrived or 5 s passed.
    std::vector<uint8_t> ReadMaster(size_t count) const {
        std::vector<uint8_t> out;
        ::fcntl(Master, F_SETFL, ::fcntl(Master, F_GETFL) | O_NONBLOCK);
        ::WaitUntil(
            [&] {
                uint8_t buf[256];
                for (ssize_t n; (n = ::read(Master, buf, sizeof buf)) > 0;)
                    out.insert(out.end(), buf, buf + n);
                return out.size() >= count;
            },
            TDeadline::After(std::chrono::seconds(5)));
        return out;
    }
    int Master = -1;
    int Keeper = -1;
    std::string SlavePath;
};

// Collects the bytes a transport delivers; OnBytes runs inside the delivery.
class TByteSink : public TAntByteSink {
public:
    void Received(const uint8_t* bytes, size_t count) override {
        {
            std::lock_guard<std::mutex> g(M);
            Bytes.insert(Bytes.end(), bytes, bytes + count);
            ++Deliveries;
        }
        Cv.notify_all();
        if (OnBytes) OnBytes();
    }
    bool WaitFor(size_t count, int ms = 5000) {
        std::unique_lock<std::mutex> g(M);
        return Cv.wait_for(g, std::chrono::milliseconds(ms), [&] { return Bytes.size() >= count; });
    }
    std::vector<uint8_t> Get() {
        std::lock_guard<std::mutex> g(M);
        return Bytes;
    }
    int DeliveryCount() {
        std::lock_guard<std::mutex> g(M);
        return Deliveries;
    }
    std::function<void()> OnBytes;
    std::mutex M;
    std::condition_variable Cv;
    std::vector<uint8_t> Bytes;
    int Deliveries = 0;
};

// Sets an environment variable for one scope.
class TEnvScope {
public:
    TEnvScope(const char* name, const char* value) : FName(name) {
        if (const char* old = getenv(name)) {
            FHad = true;
            FOld = old;
        }
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~TEnvScope() {
        if (FHad)
            setenv(FName.c_str(), FOld.c_str(), 1);
        else
            unsetenv(FName.c_str());
    }

private:
    std::string FName, FOld;
    bool FHad = false;
};

}  // namespace anttest
