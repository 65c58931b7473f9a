// The simulated stick: host frame handling, the radio slots of the open channels and
// the stick's thread. The devices are in AntSimDevices.cpp.
#include "platform/ant/AntSim.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <thread>

#include "platform/ant/ANT_DLL.h"
#include "platform/ant/AntDiscovery.h"
#include "platform/rtl/ByteCodec.h"
#include "platform/rtl/SyncObjs.h"
#include "platform/rtl/Tick.h"

namespace {

constexpr size_t LogCap = 20000;

template <class T>
void Append(std::vector<T>& v, T x) {
    if (v.size() >= LogCap) v.erase(v.begin(), v.begin() + LogCap / 2);
    v.push_back(std::move(x));
}

constexpr uint8_t RESPONSE_WRONG_STATE = 0x15;
constexpr uint8_t RESPONSE_INVALID = 0x28;
constexpr uint8_t MESG_STARTUP_ID = 0x6F;
constexpr uint8_t MESG_CAPABILITIES_ID = 0x54;
constexpr uint8_t MESG_CHANNEL_STATUS_ID = 0x52;

double PeriodMs(uint16_t period) {
    return period * 1000.0 / 32768.0;
}

}  // namespace

struct TAntSimStick::TImpl {
    std::recursive_mutex Mutex;  // the stick's state and its devices
    std::unique_ptr<TAntSimTrainer> Trainer;
    std::unique_ptr<TAntSimConsole> Console;
    std::unique_ptr<TAntSimHeartRate> HeartRate;
    std::unique_ptr<TAntSimSpeedCadence> SpeedCadence;

    ~TImpl() {
        if (Thread.joinable()) {
            if (std::this_thread::get_id() == Thread.get_id())
                Thread.detach();
            else
                Thread.join();
        }
    }

    struct TChannel {
        TAntSimChannelState S;
        TAntSimDevice* Tracked = nullptr;
        double Due = 0;             // next slot, stick clock ms
        double SearchDeadline = 0;  // < 0: never
        int Misses = 0;
        std::optional<TAntPage> LastBroadcast, LastAcknowledged;
    };
    struct TRefusal {
        uint8_t Id, Code;
        int Channel, Count;
    };

    TAntSimConfig Config;
    std::mt19937 Rng;
    TChannel Ch[TAntSimStick::Channels];
    std::array<std::array<uint8_t, 8>, TAntSimStick::Networks> Keys{};
    std::vector<TRefusal> Refusals;
    std::vector<TAntFrame> HostFrames, StickFrames;
    uint32_t Opens = 0, Resets = 0;
    TAntFrameParser HostParser;  // stick thread only
    std::vector<TAntFrame> Parsed;

    // Clock: the tick source extended to 64 bits (a jump of more than an hour, as when a
    // test swaps the clock, counts as no time).
    double Now64 = 0;
    uint32_t LastTick = 0;
    bool ClockStarted = false;
    double Now() {
        uint32_t t = GetTickCount();
        if (!ClockStarted) {
            ClockStarted = true;
            LastTick = t;
        }
        uint32_t d = TickDiff(LastTick, t);
        LastTick = t;
        if (d < 3600000u) Now64 += d;
        return Now64;
    }

    // Shared with Write/Close (inbox lock).
    std::mutex InboxMutex;
    std::vector<uint8_t> Inbox;
    std::vector<std::pair<uint8_t, uint8_t>> Injected;
    TAntByteSink* Sink = nullptr;
    bool Stop = true;
    bool IsOpen = false;
    TEvent Wake;
    std::thread Thread;

    bool Chance(double p) { return p > 0 && std::uniform_real_distribution<double>(0, 1)(Rng) < p; }
};

// ---------------------------------------------------------------------------------

TAntSimStick::TAntSimStick(const TAntSimConfig& config) : FImpl(std::make_shared<TImpl>()) {
    auto& I = *FImpl;
    I.Config = config;
    I.Rng.seed(config.Seed);
    I.Trainer.reset(new TAntSimTrainer(I.Mutex));
    I.Console.reset(new TAntSimConsole(I.Mutex));
    I.HeartRate.reset(new TAntSimHeartRate(I.Mutex));
    I.SpeedCadence.reset(new TAntSimSpeedCadence(I.Mutex));
    FTrainer = I.Trainer.get();
    FConsole = I.Console.get();
    FHeartRate = I.HeartRate.get();
    FSpeedCadence = I.SpeedCadence.get();
    FTrainer->SetKind(config.TrainerKind);
    FTrainer->FPresent = config.Trainer;
    FConsole->FPresent = config.Console;
    FHeartRate->FPresent = config.HeartRate;
    FSpeedCadence->FPresent = config.SpeedCadence;
}

// The state lives on while the stick's thread still runs (a stick dropped from inside
// a delivery); the thread lets go of it when it ends.
TAntSimStick::~TAntSimStick() {
    Close();
}

void TAntSimStick::RefuseCommand(uint8_t messageId, uint8_t code, int channel, int count) {
    std::lock_guard<std::recursive_mutex> g(FImpl->Mutex);
    FImpl->Refusals.push_back({messageId, code, channel, count});
}

void TAntSimStick::InjectEvent(uint8_t channel, uint8_t event) {
    {
        std::lock_guard<std::mutex> g(FImpl->InboxMutex);
        FImpl->Injected.push_back({channel, event});
    }
    FImpl->Wake.SetEvent();
}

bool TAntSimStick::IsOpen() const {
    std::lock_guard<std::mutex> g(FImpl->InboxMutex);
    return FImpl->IsOpen;
}
uint32_t TAntSimStick::OpenCount() const {
    std::lock_guard<std::recursive_mutex> g(FImpl->Mutex);
    return FImpl->Opens;
}
uint32_t TAntSimStick::ResetCount() const {
    std::lock_guard<std::recursive_mutex> g(FImpl->Mutex);
    return FImpl->Resets;
}
std::vector<TAntFrame> TAntSimStick::HostFrames() const {
    std::lock_guard<std::recursive_mutex> g(FImpl->Mutex);
    return FImpl->HostFrames;
}
void TAntSimStick::ClearHostFrames() {
    std::lock_guard<std::recursive_mutex> g(FImpl->Mutex);
    FImpl->HostFrames.clear();
}
uint64_t TAntSimStick::HostBadFrames() const {
    std::lock_guard<std::recursive_mutex> g(FImpl->Mutex);
    return FImpl->HostParser.BadFrames();
}
std::vector<TAntFrame> TAntSimStick::StickFrames() const {
    std::lock_guard<std::recursive_mutex> g(FImpl->Mutex);
    return FImpl->StickFrames;
}
void TAntSimStick::ClearStickFrames() {
    std::lock_guard<std::recursive_mutex> g(FImpl->Mutex);
    FImpl->StickFrames.clear();
}
std::optional<TAntPage> TAntSimStick::LastBroadcast(uint8_t channel) const {
    std::lock_guard<std::recursive_mutex> g(FImpl->Mutex);
    return channel < Channels ? FImpl->Ch[channel].LastBroadcast : std::nullopt;
}
std::optional<TAntPage> TAntSimStick::LastAcknowledged(uint8_t channel) const {
    std::lock_guard<std::recursive_mutex> g(FImpl->Mutex);
    return channel < Channels ? FImpl->Ch[channel].LastAcknowledged : std::nullopt;
}
TAntSimChannelState TAntSimStick::Channel(uint8_t channel) const {
    std::lock_guard<std::recursive_mutex> g(FImpl->Mutex);
    return channel < Channels ? FImpl->Ch[channel].S : TAntSimChannelState{};
}
std::array<uint8_t, 8> TAntSimStick::NetworkKey(uint8_t network) const {
    std::lock_guard<std::recursive_mutex> g(FImpl->Mutex);
    return network < Networks ? FImpl->Keys[network] : std::array<uint8_t, 8>{};
}

// ---------------------------------------------------------------------------------
// Transport

// The stick's work, run on its thread. Everything it sends is collected under the lock
// and delivered to the host afterwards, without the lock.
struct TAntSimEngine {
    explicit TAntSimEngine(TAntSimStick::TImpl& i)
        : I(i),
          M(i.Mutex),
          Devices{i.Trainer.get(), i.Console.get(), i.HeartRate.get(), i.SpeedCadence.get()} {}

    void Run();

private:
    void Respond(uint8_t ch, uint8_t id, uint8_t code) {
        Out.push_back({MESG_RESPONSE_EVENT_ID, {ch, id, code}});
    }
    void Event(uint8_t ch, uint8_t ev) { Out.push_back({MESG_RESPONSE_EVENT_ID, {ch, 0x01, ev}}); }
    bool Refused(uint8_t id, uint8_t ch, uint8_t& code);
    void HandleHost(const TAntFrame& f, double now);
    void Slot(uint8_t ch, double now);
    bool Matches(const TAntSimDevice& d, const TAntSimChannelState& c) const;
    TAntSimDevice* Find(const TAntSimChannelState& c) const;
    void Deliver(TAntSimDevice& d, const TAntPage& p, bool ack);
    bool Flush();  // false when the stick was closed meanwhile

    TAntSimStick::TImpl& I;
    std::recursive_mutex& M;
    std::array<TAntSimDevice*, 4> Devices;
    std::vector<TAntFrame> Out;
};

bool TAntSimEngine::Refused(uint8_t id, uint8_t ch, uint8_t& code) {
    for (auto it = I.Refusals.begin(); it != I.Refusals.end(); ++it) {
        if (it->Id != id || (it->Channel >= 0 && it->Channel != ch) || it->Count <= 0) continue;
        code = it->Code;
        if (--it->Count <= 0) I.Refusals.erase(it);
        return true;
    }
    return false;
}

bool TAntSimEngine::Matches(const TAntSimDevice& d, const TAntSimChannelState& c) const {
    const TAntSimRadio& r = d.FRadio;
    if (!d.FPresent || d.Asleep()) return false;
    if (r.Network != c.Network || r.RFFrequency != c.RFFrequency) return false;
    uint8_t type = c.DeviceType & 0x7F;
    if (type != 0 && type != (r.DeviceType & 0x7F)) return false;
    if (c.TransmissionType != 0 && c.TransmissionType != r.TransmissionType) return false;
    if (c.DeviceNumber != 0 && c.DeviceNumber != r.DeviceNumber) return false;
    return true;
}

TAntSimDevice* TAntSimEngine::Find(const TAntSimChannelState& c) const {
    for (auto* d : Devices)
        if (Matches(*d, c)) return d;
    return nullptr;
}

void TAntSimEngine::Deliver(TAntSimDevice& d, const TAntPage& p, bool ack) {
    Append(d.FReceived, TAntSimReceived{p, ack});
    d.Receive(p);
}

void TAntSimEngine::HandleHost(const TAntFrame& f, double now) {
    Append(I.HostFrames, f);
    const auto& d = f.Data;
    auto need = [&](size_t n) {
        if (d.size() >= n) return true;
        Respond(d.empty() ? 0 : d[0], f.Id, RESPONSE_INVALID);
        return false;
    };
    auto channel = [&](TAntSimStick::TImpl::TChannel*& c) {
        if (d[0] >= TAntSimStick::Channels) {
            Respond(d[0], f.Id, RESPONSE_INVALID);
            return false;
        }
        c = &I.Ch[d[0]];
        return true;
    };
    TAntSimStick::TImpl::TChannel* c = nullptr;
    uint8_t code = 0;

    switch (f.Id) {
        case MESG_SYSTEM_RESET_ID:
            ++I.Resets;
            for (auto& ch : I.Ch) ch = {};
            for (auto& k : I.Keys) k.fill(0);
            Out.push_back({MESG_STARTUP_ID, {0x20}});
            return;
        case MESG_NETWORK_KEY_ID:
            if (!need(9)) return;
            if (Refused(f.Id, d[0], code)) return Respond(d[0], f.Id, code);
            if (d[0] >= TAntSimStick::Networks) return Respond(d[0], f.Id, RESPONSE_INVALID);
            TByteReader(d.data() + 1, d.size() - 1).Bytes(I.Keys[d[0]].data(), 8);
            return Respond(d[0], f.Id, 0);
        case MESG_BROADCAST_DATA_ID:
        case MESG_ACKNOWLEDGED_DATA_ID: {
            if (!need(9) || !channel(c)) return;
            TAntPage p;
            TByteReader(d.data() + 1, d.size() - 1).Bytes(p.data(), p.size());
            bool ack = f.Id == MESG_ACKNOWLEDGED_DATA_ID;
            (ack ? c->LastAcknowledged : c->LastBroadcast) = p;
            if (!c->S.Open()) return Respond(d[0], f.Id, RESPONSE_WRONG_STATE);
            c->S.HostTransmits = true;
            TAntSimDevice* dev = c->S.State == TAntSimChannelState::Tracking ? c->Tracked : nullptr;
            if (dev && !Matches(*dev, c->S)) dev = nullptr;
            if (!ack) {
                if (dev) Deliver(*dev, p, false);
                return;
            }
            bool fail = !dev;
            if (dev && dev->FFailAckCount > 0) {
                --dev->FFailAckCount;
                fail = true;
            } else if (dev && I.Chance(dev->FFailAckP)) {
                fail = true;
            }
            if (!fail) Deliver(*dev, p, true);
            return Event(d[0], fail ? EVENT_TRANSFER_TX_FAILED : EVENT_TRANSFER_TX_COMPLETED);
        }
        case MESG_REQUEST_ID: {
            if (!need(2)) return;
            if (Refused(f.Id, d[0], code)) return Respond(d[0], f.Id, code);
            if (d[1] == MESG_CAPABILITIES_ID) {
                Out.push_back(
                    {MESG_CAPABILITIES_ID, {TAntSimStick::Channels, TAntSimStick::Networks, 0, 0, 0, 0}});
                return;
            }
            if (!channel(c)) return;
            if (d[1] == MESG_CHANNEL_STATUS_ID) {
                uint8_t st =
                    uint8_t(c->S.State) | uint8_t((c->S.Network & 3) << 2) | uint8_t(c->S.ChannelType & 0xF0);
                Out.push_back({MESG_CHANNEL_STATUS_ID, {d[0], st}});
                return;
            }
            if (d[1] != MESG_CHANNEL_ID_ID) return Respond(d[0], f.Id, RESPONSE_INVALID);
            if (c->S.State == TAntSimChannelState::Unassigned)
                return Respond(d[0], f.Id, RESPONSE_WRONG_STATE);
            TAntChannelId id{d[0], c->S.DeviceNumber, c->S.DeviceType, c->S.TransmissionType};
            if (c->S.State == TAntSimChannelState::Tracking && c->Tracked) {
                id.DeviceNumber = c->Tracked->FRadio.DeviceNumber;
                id.DeviceType = c->Tracked->FRadio.DeviceType;
                id.TransmissionType = c->Tracked->FRadio.TransmissionType;
            }
            Out.push_back({MESG_CHANNEL_ID_ID, EncodeAntChannelId(id)});
            return;
        }
        case MESG_ASSIGN_CHANNEL_ID:
        case MESG_UNASSIGN_CHANNEL_ID:
        case MESG_CHANNEL_ID_ID:
        case MESG_CHANNEL_MESG_PERIOD_ID:
        case MESG_CHANNEL_SEARCH_TIMEOUT_ID:
        case MESG_CHANNEL_RADIO_FREQ_ID:
        case MESG_CHANNEL_RADIO_TX_POWER_ID:
        case MESG_OPEN_CHANNEL_ID:
        case MESG_CLOSE_CHANNEL_ID:
            break;
        default:
            return Respond(d.empty() ? 0 : d[0], f.Id, RESPONSE_INVALID);
    }

    // Channel configuration and state.
    static const std::map<uint8_t, size_t> sizes = {{MESG_ASSIGN_CHANNEL_ID, 3},
                                                    {MESG_UNASSIGN_CHANNEL_ID, 1},
                                                    {MESG_CHANNEL_ID_ID, 5},
                                                    {MESG_CHANNEL_MESG_PERIOD_ID, 3},
                                                    {MESG_CHANNEL_SEARCH_TIMEOUT_ID, 2},
                                                    {MESG_CHANNEL_RADIO_FREQ_ID, 2},
                                                    {MESG_CHANNEL_RADIO_TX_POWER_ID, 2},
                                                    {MESG_OPEN_CHANNEL_ID, 1},
                                                    {MESG_CLOSE_CHANNEL_ID, 1}};
    if (!need(sizes.at(f.Id))) return;
    if (Refused(f.Id, d[0], code)) return Respond(d[0], f.Id, code);
    if (!channel(c)) return;
    auto& s = c->S;
    using St = TAntSimChannelState;
    switch (f.Id) {
        case MESG_ASSIGN_CHANNEL_ID:
            if (d[2] >= TAntSimStick::Networks) return Respond(d[0], f.Id, RESPONSE_INVALID);
            if (s.State != St::Unassigned) return Respond(d[0], f.Id, RESPONSE_WRONG_STATE);
            *c = {};
            c->S.State = St::Assigned;
            c->S.ChannelType = d[1];
            c->S.Network = d[2];
            return Respond(d[0], f.Id, 0);
        case MESG_UNASSIGN_CHANNEL_ID:
            if (s.State != St::Assigned) return Respond(d[0], f.Id, RESPONSE_WRONG_STATE);
            s.State = St::Unassigned;
            return Respond(d[0], f.Id, 0);
        case MESG_OPEN_CHANNEL_ID:
            if (s.State != St::Assigned) return Respond(d[0], f.Id, RESPONSE_WRONG_STATE);
            s.State = St::Searching;
            s.HostTransmits = false;
            c->Tracked = nullptr;
            c->Misses = 0;
            c->Due = now + PeriodMs(s.Period ? s.Period : 1);
            c->SearchDeadline =
                s.SearchTimeout == 255 ? -1 : now + double(s.SearchTimeout) * AntSimSearchUnitMs;
            return Respond(d[0], f.Id, 0);
        case MESG_CLOSE_CHANNEL_ID:
            if (!s.Open()) return Respond(d[0], f.Id, RESPONSE_WRONG_STATE);
            s.State = St::Assigned;
            c->Tracked = nullptr;
            Respond(d[0], f.Id, 0);
            return Event(d[0], EVENT_CHANNEL_CLOSED);
        default:
            break;
    }
    if (s.State == St::Unassigned) return Respond(d[0], f.Id, RESPONSE_WRONG_STATE);
    switch (f.Id) {
        case MESG_CHANNEL_ID_ID: {
            const TAntChannelId id = DecodeAntChannelId(d.data(), d.size());
            s.DeviceNumber = id.DeviceNumber;
            s.DeviceType = id.DeviceType;
            s.TransmissionType = id.TransmissionType;
            break;
        }
        case MESG_CHANNEL_MESG_PERIOD_ID:
            s.Period = TByteReader(d.data() + 1, d.size() - 1).U16();
            break;
        case MESG_CHANNEL_SEARCH_TIMEOUT_ID:
            s.SearchTimeout = d[1];
            break;
        case MESG_CHANNEL_RADIO_FREQ_ID:
            if (d[1] > 124) return Respond(d[0], f.Id, RESPONSE_INVALID);
            s.RFFrequency = d[1];
            break;
        case MESG_CHANNEL_RADIO_TX_POWER_ID:
            s.TxPower = d[1];
            break;
    }
    Respond(d[0], f.Id, 0);
}

// One radio slot of an open channel.
void TAntSimEngine::Slot(uint8_t ch, double now) {
    auto& c = I.Ch[ch];
    auto& s = c.S;
    using St = TAntSimChannelState;
    if (s.ChannelType & 0x10) {  // master: the host transmits every slot
        Event(ch, EVENT_TX);
        return;
    }
    if (s.State == St::Searching) {
        c.Tracked = Find(s);
        if (!c.Tracked) {
            if (c.SearchDeadline >= 0 && now >= c.SearchDeadline) {
                s.State = St::Assigned;
                Event(ch, EVENT_RX_SEARCH_TIMEOUT);
                Event(ch, EVENT_CHANNEL_CLOSED);
            }
            return;
        }
        s.State = St::Tracking;
        c.Misses = 0;
    }
    TAntSimDevice& d = *c.Tracked;
    bool miss = !Matches(d, s) || d.FRadio.Period != s.Period;
    TAntPage page{};
    if (!miss) {
        double secs = d.FRadio.Period / 32768.0;
        page = d.RegularPage(secs);
        if (!d.FQueued.empty()) {
            page = d.FQueued.front();
            d.FQueued.erase(d.FQueued.begin());
        } else if (!d.FReplies.empty()) {
            page = d.FReplies.front();
            d.FReplies.erase(d.FReplies.begin());
        }
        ++d.FPagesSent;
        if (d.FLoseCount > 0) {
            --d.FLoseCount;
            miss = true;
        } else if (I.Chance(d.FLossP)) {
            miss = true;
        }
    }
    if (miss) {
        if (++c.Misses >= AntSimMissesToSearch) {
            s.State = St::Searching;
            c.Tracked = nullptr;
            c.Misses = 0;
            c.SearchDeadline =
                s.SearchTimeout == 255 ? -1 : now + double(s.SearchTimeout) * AntSimSearchUnitMs;
            Event(ch, EVENT_RX_FAIL_GO_TO_SEARCH);
        } else {
            Event(ch, EVENT_RX_FAIL);
        }
        return;
    }
    c.Misses = 0;
    std::vector<uint8_t> data{ch};
    data.insert(data.end(), page.begin(), page.end());
    Out.push_back({MESG_BROADCAST_DATA_ID, data});
    if (s.HostTransmits) Event(ch, EVENT_TX);
}

bool TAntSimEngine::Flush() {
    std::vector<TAntFrame> out;
    out.swap(Out);
    {
        std::lock_guard<std::recursive_mutex> g(M);
        for (auto& f : out) Append(I.StickFrames, f);
    }
    for (auto& f : out) {
        TAntByteSink* sink;
        {
            std::lock_guard<std::mutex> g(I.InboxMutex);
            if (I.Stop) return false;
            sink = I.Sink;
        }
        auto bytes = EncodeAntFrame(f);
        sink->Received(bytes.data(), bytes.size());
    }
    return true;
}

void TAntSimEngine::Run() {
    I.HostParser.OnFrame = [this](const TAntFrame& f) { I.Parsed.push_back(f); };
    for (;;) {
        std::vector<uint8_t> bytes;
        std::vector<std::pair<uint8_t, uint8_t>> injected;
        {
            std::lock_guard<std::mutex> g(I.InboxMutex);
            if (I.Stop) return;
            bytes.swap(I.Inbox);
            injected.swap(I.Injected);
        }
        for (auto& [ch, ev] : injected) Event(ch, ev);
        if (!Flush()) return;
        if (!bytes.empty()) {
            std::vector<TAntFrame> frames;
            {
                std::lock_guard<std::recursive_mutex> g(M);
                I.HostParser.Feed(bytes.data(), bytes.size());
                frames.swap(I.Parsed);
            }
            for (auto& f : frames) {
                {
                    std::lock_guard<std::recursive_mutex> g(M);
                    HandleHost(f, I.Now());
                }
                if (!Flush()) return;
            }
        }
        // Radio slots that are due, in time order.
        double wait = -1;
        for (;;) {
            int next = -1;
            double now;
            {
                std::lock_guard<std::recursive_mutex> g(M);
                now = I.Now();
                for (int ch = 0; ch < TAntSimStick::Channels; ++ch) {
                    auto& c = I.Ch[ch];
                    if (!c.S.Open()) continue;
                    if (next < 0 || c.Due < I.Ch[next].Due) next = ch;
                }
                if (next < 0) {
                    wait = -1;
                    break;
                }
                auto& c = I.Ch[next];
                if (c.Due > now) {
                    wait = c.Due - now;
                    break;
                }
                double period = PeriodMs(c.S.Period ? c.S.Period : 1);
                c.Due += period;
                if (c.Due < now - 2 * period) c.Due = now + period;  // fell behind: skip
                Slot(uint8_t(next), now);
            }
            if (!Flush()) return;
            std::lock_guard<std::mutex> g(I.InboxMutex);
            if (!I.Inbox.empty() || !I.Injected.empty() || I.Stop) {
                wait = 0;
                break;
            }
        }
        if (wait == 0) continue;
        uint32_t ms = wait < 0 ? 1000 : uint32_t(std::min(1000.0, std::ceil(wait)));
        I.Wake.WaitFor(ms);
    }
}

bool TAntSimStick::Open(TAntByteSink* sink) {
    auto& I = *FImpl;
    {
        std::lock_guard<std::mutex> g(I.InboxMutex);
        if (I.IsOpen) return false;
    }
    if (I.Thread.joinable()) {
        if (std::this_thread::get_id() == I.Thread.get_id()) return false;
        I.Thread.join();
    }
    {
        std::lock_guard<std::recursive_mutex> g(I.Mutex);
        for (auto& ch : I.Ch) ch = {};
        for (auto& k : I.Keys) k.fill(0);
        I.HostParser.Reset();
        I.Parsed.clear();
        ++I.Opens;
    }
    {
        std::lock_guard<std::mutex> g(I.InboxMutex);
        I.Inbox.clear();
        I.Injected.clear();
        I.Sink = sink;
        I.Stop = false;
        I.IsOpen = true;
    }
    I.Wake.ResetEvent();
    I.Thread = std::thread([impl = FImpl] {
        TAntSimEngine e(*impl);
        e.Run();
    });
    return true;
}

void TAntSimStick::Close() {
    auto& I = *FImpl;
    {
        std::lock_guard<std::mutex> g(I.InboxMutex);
        if (!I.IsOpen) return;
        I.IsOpen = false;
        I.Stop = true;
        I.Sink = nullptr;
    }
    I.Wake.SetEvent();
    // From inside a delivery the thread finishes on its own once the delivery returns.
    if (I.Thread.joinable() && std::this_thread::get_id() != I.Thread.get_id()) I.Thread.join();
}

bool TAntSimStick::Write(const uint8_t* bytes, size_t count) {
    {
        std::lock_guard<std::mutex> g(FImpl->InboxMutex);
        if (!FImpl->IsOpen) return false;
        FImpl->Inbox.insert(FImpl->Inbox.end(), bytes, bytes + count);
    }
    FImpl->Wake.SetEvent();
    return true;
}

// ---------------------------------------------------------------------------------
// Installed sticks

namespace {

struct TRegistry {
    std::mutex Mutex;
    bool Configured = false;
    std::map<uint8_t, std::shared_ptr<TAntSimStick>> Sticks;
    // The first configuration replaces the default stick.
    void Configure() {
        if (!Configured) Sticks.clear();
        Configured = true;
    }
};

TRegistry& Registry() {
    static TRegistry r;
    return r;
}

}  // namespace

std::shared_ptr<TAntSimStick> AntSimInstall(uint8_t usbNumber, const TAntSimConfig& config) {
    auto s = std::make_shared<TAntSimStick>(config);
    auto& r = Registry();
    std::lock_guard<std::mutex> g(r.Mutex);
    r.Configure();
    r.Sticks[usbNumber] = s;
    return s;
}

void AntSimRemove(uint8_t usbNumber) {
    auto& r = Registry();
    std::lock_guard<std::mutex> g(r.Mutex);
    r.Configure();
    r.Sticks.erase(usbNumber);
}

void AntSimRemoveAll() {
    auto& r = Registry();
    std::lock_guard<std::mutex> g(r.Mutex);
    r.Configure();
    r.Sticks.clear();
}

void AntSimRestore() {
    std::map<uint8_t, std::shared_ptr<TAntSimStick>> old;
    auto& r = Registry();
    {
        std::lock_guard<std::mutex> g(r.Mutex);
        r.Configured = false;
        old.swap(r.Sticks);
    }
    // Sticks die outside the lock (a stick's destructor joins its thread).
}

std::shared_ptr<TAntSimStick> AntSimStick(uint8_t usbNumber) {
    auto& r = Registry();
    std::lock_guard<std::mutex> g(r.Mutex);
    auto it = r.Sticks.find(usbNumber);
    return it == r.Sticks.end() ? nullptr : it->second;
}

static std::shared_ptr<TAntSimStick> AntSimStickForInit(uint8_t usbNumber) {
    auto& r = Registry();
    std::lock_guard<std::mutex> g(r.Mutex);
    if (!r.Configured && usbNumber == 0 && !r.Sticks.count(0)) r.Sticks[0] = std::make_shared<TAntSimStick>();
    auto it = r.Sticks.find(usbNumber);
    return it == r.Sticks.end() ? nullptr : it->second;
}

std::shared_ptr<TAntTransport> AntFindTransport(uint8_t usbDeviceNumber, uint32_t baudRate) {
    const char* mode = std::getenv("ZELTO_ANT");
    if (mode && std::strcmp(mode, "sim") == 0) return AntSimStickForInit(usbDeviceNumber);
    return AntFindStick(usbDeviceNumber, baudRate);  // a real stick: serial tty or USB
}
