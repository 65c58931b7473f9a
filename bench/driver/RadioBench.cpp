// The radio link on the simulated stick:
// - answer time: the trainer component connected through a pseudo-terminal to the
//   simulated stick, as to a real stick's tty; each trainer page the stick puts on the
//   line is timed until the component's answer page for the trainer channel comes back.
//   The virtual clock runs the radio's slots faster; the times are real time.
// - connect wait: the CPU time of the whole process (stick thread included) while the
//   link waits 10 s on a clock running at real speed for a trainer that stays silent;
//   a wait that spins shows up as a large share of a core.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/driver/BenchTable.h"
#include "device/TreviaDeviceANT.h"
#include "device/ulma_ant_class.h"
#include "platform/ant/ANT_DLL.h"
#include "platform/ant/AntFrame.h"
#include "platform/ant/AntSim.h"
#include "platform/ant/AntSimPipe.h"
#include "platform/framework/Application.h"
#include "platform/rtl/Thread.h"
#include "platform/rtl/Tick.h"

namespace bench {

namespace {

using TClock = std::chrono::steady_clock;

constexpr int AnswerSamples = 200;
constexpr double AnswerClockSpeed = 20.0;
constexpr uint8_t TrainerChannel = 1;

// The settings store in a scratch folder and no stick installed, for one workload.
class TRadioEnvironment {
public:
    TRadioEnvironment() {
        MainThreadId();
        setenv("ZELTO_CONFIG_DIR", FConfig.Path().c_str(), 1);
        setenv("ZELTO_ANT", "sim", 1);
        AntSimRestore();
    }
    ~TRadioEnvironment() {
        AntSimRestore();
        Application()->ProcessMessages();
    }

private:
    TScratch FConfig;
};

// A clock that runs at real speed until told to run faster (so that the link's closing
// waits do not cost real seconds after a real-time measurement).
class TShiftClock : public TTickSource {
public:
    explicit TShiftClock(double speed) : FSpeed(speed), FOrigin(TClock::now()) { SetTickSource(this); }
    ~TShiftClock() override { SetTickSource(nullptr); }
    uint32_t Ticks() override {
        std::lock_guard<std::mutex> g(FMutex);
        return TicksLocked();
    }
    std::chrono::nanoseconds RealDuration(uint32_t ms) override {
        std::lock_guard<std::mutex> g(FMutex);
        return std::chrono::nanoseconds(static_cast<int64_t>(ms * 1e6 / FSpeed));
    }
    void SetSpeed(double speed) {
        std::lock_guard<std::mutex> g(FMutex);
        FBase = TicksLocked();
        FOrigin = TClock::now();
        FSpeed = speed;
    }

private:
    uint32_t TicksLocked() const {
        const double ms = std::chrono::duration<double, std::milli>(TClock::now() - FOrigin).count();
        return FBase + static_cast<uint32_t>(ms * FSpeed);
    }
    std::mutex FMutex;
    double FSpeed;
    uint32_t FBase = 0;
    TClock::time_point FOrigin;
};

// Stands between the simulated stick and the line: notes when a trainer page leaves for
// the host and when the host's next page for the trainer channel arrives.
class TTimedStick : public TAntTransport, public TAntByteSink {
public:
    explicit TTimedStick(std::shared_ptr<TAntSimStick> stick) : FStick(std::move(stick)) {
        FFromStick.OnFrame = [this](const TAntFrame& f) {
            if (f.Id == MESG_BROADCAST_DATA_ID && !f.Data.empty() && f.Data[0] == TrainerChannel) {
                FPageAt = TClock::now();
                FArmed = true;
            }
        };
        FFromHost.OnFrame = [this](const TAntFrame& f) {
            if ((f.Id == MESG_BROADCAST_DATA_ID || f.Id == MESG_ACKNOWLEDGED_DATA_ID) && !f.Data.empty() &&
                f.Data[0] == TrainerChannel && FArmed) {
                FSamples.push_back(std::chrono::duration<double>(TClock::now() - FPageAt).count());
                FArmed = false;
            }
        };
    }
    bool Open(TAntByteSink* sink) override {
        {
            std::lock_guard<std::mutex> g(FMutex);
            FSink = sink;
        }
        return FStick->Open(this);
    }
    void Close() override { FStick->Close(); }
    bool Write(const uint8_t* bytes, size_t count) override {
        {
            std::lock_guard<std::mutex> g(FMutex);
            FFromHost.Feed(bytes, count);
        }
        return FStick->Write(bytes, count);
    }
    void Received(const uint8_t* bytes, size_t count) override {
        TAntByteSink* sink;
        {
            std::lock_guard<std::mutex> g(FMutex);
            FFromStick.Feed(bytes, count);
            sink = FSink;
        }
        if (sink) sink->Received(bytes, count);
    }
    // Answer times in seconds, oldest first.
    std::vector<double> Samples() {
        std::lock_guard<std::mutex> g(FMutex);
        return FSamples;
    }
    void ClearSamples() {
        std::lock_guard<std::mutex> g(FMutex);
        FSamples.clear();
        FArmed = false;
    }

private:
    std::shared_ptr<TAntSimStick> FStick;
    std::mutex FMutex;
    TAntByteSink* FSink = nullptr;
    TAntFrameParser FFromStick, FFromHost;
    TClock::time_point FPageAt;
    bool FArmed = false;
    std::vector<double> FSamples;
};

// A pseudo-terminal: the host opens the slave path as a stick's tty.
class TPty {
public:
    TPty() {
        Master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (Master < 0 || grantpt(Master) != 0 || unlockpt(Master) != 0)
            throw std::runtime_error("no pseudo-terminal");
        SlavePath = ptsname(Master);
        // Held open so that the master never sees a hang-up between two opens.
        FKeeper = ::open(SlavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~TPty() {
        if (FKeeper >= 0) ::close(FKeeper);
        ::close(Master);
    }
    int Master = -1;
    std::string SlavePath;

private:
    int FKeeper = -1;
};

void AnswerTime(TTable& table) {
    TRadioEnvironment env;
    TVirtualClockScope clock(AnswerClockSpeed);
    TPty pty;
    auto timed = std::make_shared<TTimedStick>(std::make_shared<TAntSimStick>());
    TAntSimPipe pipe(timed, pty.Master);
    if (!pipe.Start()) throw std::runtime_error("the simulated stick did not open");
    setenv("ZELTO_ANT", pty.SlavePath.c_str(), 1);

    TTreviaDeviceANT trainer(nullptr);
    trainer.SetRecieverType(ulmVexa);
    if (!trainer.Connect(AntSimTrainerNumber, AntSimHeartRateNumber, AntSimConsoleNumber))
        throw std::runtime_error("the trainer component did not connect through " + pty.SlavePath);
    timed->ClearSamples();
    const TStopwatch w;
    while (timed->Samples().size() < static_cast<size_t>(AnswerSamples) && w.Seconds() < 120)
        Application()->Delay(20);
    const std::vector<double> samples = timed->Samples();
    trainer.Disconnect();
    pipe.Stop();
    setenv("ZELTO_ANT", "sim", 1);
    if (samples.size() < static_cast<size_t>(AnswerSamples))
        throw std::runtime_error("only " + std::to_string(samples.size()) + " trainer pages were answered");
    const std::string how = std::to_string(samples.size()) +
                            " trainer pages, trainer component over a pseudo-terminal tty, all channels open";
    table.Add({"radio", "trainer page to the component's answer, median", "ms", Median(samples) * 1e3, 0,
               false, "", how});
    table.Add({"radio", "trainer page to the component's answer, 99th pct", "ms",
               Percentile(samples, 0.99) * 1e3, 0, false, "", how});
}

void ConnectWait(TTable& table) {
    TRadioEnvironment env;
    TShiftClock clock(1.0);
    TAntSimConfig config;
    config.Trainer = false;  // the other devices answer at once
    AntSimInstall(0, config);
    ulma_ANT link;
    link.RecieverType = ulmVexa;
    const double cpu0 = ProcessCpuSeconds();
    const TStopwatch w;
    if (!link.Connect(0)) throw std::runtime_error("the simulated stick did not open");
    link.SetChannelPlan(AntSimTrainerNumber, AntSimHeartRateNumber, AntSimConsoleNumber);
    link.OpenChannels();
    const double wall = w.Seconds(), cpu = ProcessCpuSeconds() - cpu0;
    const bool trainerAlive = link.ChannelAlive(TrainerChannel);
    clock.SetSpeed(100.0);
    link.Close();
    if (trainerAlive) throw std::runtime_error("the silent trainer's channel came alive");
    char how[160];
    std::snprintf(
        how, sizeof how,
        "process CPU / wall time over the link's set-up (%.1f s, 10 s of it waiting for the trainer)", wall);
    table.Add(
        {"radio", "connect wait with a silent trainer", "% of a core", cpu / wall * 100, 0, false, "", how});
}

}  // namespace

void RadioWorkloads(TTable& table) {
    try {
        AnswerTime(table);
    } catch (const std::exception& e) {
        table.Fail("radio", "trainer page to answer", e.what());
    }
    try {
        ConnectWait(table);
    } catch (const std::exception& e) {
        table.Fail("radio", "connect wait", e.what());
    }
}

}  // namespace bench
