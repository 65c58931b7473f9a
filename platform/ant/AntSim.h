#pragma once
// The simulated radio stick: an in-process transport that speaks ANT serial frames,
// emulates the stick (reset, network keys, channel assignment, ids, periods, search,
// open, close, channel-id requests, wildcard pairing) and the radio, and hosts four
// simulated devices: the trainer (receiver kind Vexa or NAW), the handlebar console,
// the heart-rate strap and the speed/cadence sensor.
//
// Selection: with ZELTO_ANT=sim, ANT_Init(n, baud) opens the stick installed on USB
// number n. When no test installed or removed any stick, number 0 gets a default stick
// with every device present (Vexa trainer) and the other numbers have none.
//
// Timing: each open channel has a slot once per channel period (period / 32768 s) on
// the stick's own thread, timed by the runtime tick source, so tests on the virtual
// clock run fast. At a slot of a searching channel the first present matching device
// is found (network number, RF, device type, transmission type and device number, 0
// matching anything); a channel still searching after its search time-out (units of
// 2.5 s; 255 never) reports EVENT_RX_SEARCH_TIMEOUT then EVENT_CHANNEL_CLOSED and is
// closed. At a slot of a tracking channel the device's next page arrives as
// EVENT_RX_BROADCAST data; a missing page (device absent or asleep, page lost, or a
// device period unlike the channel's) reports EVENT_RX_FAIL, and the 8th missing page in
// a row EVENT_RX_FAIL_GO_TO_SEARCH instead (the channel searches again). After each
// received page, a channel on which the host has sent data since it opened reports
// EVENT_TX (its reverse slot); a master channel (type 0x10) reports EVENT_TX every slot.
//
// Host frames are handled at once on the stick's thread: every configuration command
// gets one 0x40 response [channel or network, message id, code] (0x15 in the wrong
// channel state, 0x28 for a bad channel or network number); a close is followed by
// EVENT_CHANNEL_CLOSED; reset answers with the start-up message 0x6F [0x20]; request
// 0x51 answers [channel, number low, number high, device type, transmission type] with
// the tracked device's id (the channel's own id, wildcards included, while searching);
// 0x54 answers the capabilities [8, 8, 0, 0, 0, 0]. A broadcast on a tracking channel
// reaches the device; an acknowledged send reaches it and reports
// EVENT_TRANSFER_TX_COMPLETED, or EVENT_TRANSFER_TX_FAILED when the channel tracks no
// device or a failure is injected (the page is then not delivered). Data sent on a
// channel that is not open is answered [channel, 0x4E or 0x4F, 0x15] instead.
//
// Tests may also use a TAntSimStick of their own directly as a transport.
//
// Devices answer one page per slot, in this order: pages queued by the test
// (QueuePage), then their replies, then their regular page.
// - Trainer, Vexa (network 1, type 19, transmission 1, period 31814, RF 71): regular
//   page [1, resistance level last received, 0 ...]. Answers page 2 [2, a lo, a hi, l]
//   with [2, l bytes from address a (l = 1..6), 0 ...]; page 3 [3, a lo, a hi, l, d0-d3]
//   writes l bytes (1..4) and answers [0xFF, 3]; page 4 saves the total distance to
//   0x16-0x18 and answers [0xFF, 4]; page 7 answers [7, distance (24-bit LE), 0 ...];
//   page 8 [8, d0, d1, d2] sets the total distance and answers [0xFF, 8]; page 1 sets
//   the resistance level (no answer). A bad address/length or unknown page gets
//   [0xFE, page]. Memory 0x00-0x1F (0x01-0x1F the field map).
// - Trainer, NAW (network 0, type 121, transmission 1, period 16172, RF 57): regular
//   page with speed and cadence as decimal digits in nibbles (byte 0 high = speed
//   units, low = tenths; byte 1 high = tens, low = hundreds; byte 4 high = cadence
//   units; byte 5 high = tens, low = hundreds), bytes 2-3 a 16-bit page counter, byte 6
//   the flag. Pages from the host set the brake value (bytes 0-1).
// - Console (network 1, type 18, transmission 1, period 16150, RF 70): regular page
//   [5, plus, minus, enter, tab, 0, 0, 0] (1 = key down). Answers page 2 and 3 like
//   the trainer (memory 0x00-0x10); page 8 answers [0xFF, 8] and then sleeps (silent)
//   until Wake or a key change; page 9 [9, on] sets Selected and answers [0xFF, 9];
//   page 0x0A answers [0xFF, 0x0A] (or [0xFE, 0x0A] when refusing keep-alives).
// - Heart-rate strap (network 0, type 120, transmission 1, period 8070, RF 57): pages
//   4, 1, 4, 2, 4, 3 in blocks of four messages, the toggle bit (0x80) flipping every
//   four messages; bytes 4-5 the last beat time (1/1024 s), 6 the beat count, 7 the
//   heart rate; page 1 operating time (2 s units), 2 manufacturer and serial, 3
//   hardware, software and model, 4 the previous beat time.
// - Speed/cadence sensor (network 0, type 121, transmission 1, period 8086, RF 57,
//   device number the trainer's): [cadence time, cadence revolutions, speed time, speed
//   revolutions], 16-bit LE each, times in 1/1024 s, from the crank and wheel rates.
//
// Every method is thread-safe. Device objects belong to their stick.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/ant/AntFrame.h"
#include "platform/ant/AntTransport.h"

enum class TAntSimTrainerKind { Vexa, NAW };

// Default device numbers of a configured stick.
constexpr uint16_t AntSimTrainerNumber = 12345;  // also the speed/cadence sensor's
constexpr uint16_t AntSimConsoleNumber = 23456;
constexpr uint16_t AntSimHeartRateNumber = 4321;
// Missing pages in a row after which a tracking channel goes back to search.
constexpr int AntSimMissesToSearch = 8;
// Search time-out unit in milliseconds.
constexpr uint32_t AntSimSearchUnitMs = 2500;

struct TAntSimConfig {
    TAntSimTrainerKind TrainerKind = TAntSimTrainerKind::Vexa;
    bool Trainer = true;  // which devices are present (on the air)
    bool Console = true;
    bool HeartRate = true;
    bool SpeedCadence = true;
    uint32_t Seed = 1;  // for the probabilistic faults
};

// A device's identity and timing on the air.
struct TAntSimRadio {
    uint16_t DeviceNumber = 0;
    uint8_t DeviceType = 0;
    uint8_t TransmissionType = 0;
    uint8_t Network = 0;  // the network number the host must assign the channel to
    uint16_t Period = 8192;
    uint8_t RFFrequency = 57;
};

// The stick's view of one channel.
struct TAntSimChannelState {
    enum TState { Unassigned, Assigned, Searching, Tracking };
    TState State = Unassigned;
    uint8_t ChannelType = 0, Network = 0;
    uint16_t DeviceNumber = 0;
    uint8_t DeviceType = 0, TransmissionType = 0;
    uint16_t Period = 8192;
    uint8_t RFFrequency = 66, SearchTimeout = 12, TxPower = 3;
    bool HostTransmits = false;  // the host sent data since the channel opened
    bool Open() const { return State == Searching || State == Tracking; }
};

// A page the device got from the host.
struct TAntSimReceived {
    TAntPage Page{};
    bool Acknowledged = false;
};

class TAntSimStick;
struct TAntSimEngine;

class TAntSimDevice {
public:
    virtual ~TAntSimDevice() = default;
    virtual std::string Name() const = 0;

    TAntSimRadio Radio() const;
    void SetRadio(const TAntSimRadio& r);
    void SetDeviceNumber(uint16_t n);
    void SetTransmissionType(uint8_t t);

    // Off the air: a tracking channel misses its pages and goes back to search; a
    // searching channel times out.
    bool Present() const;
    void SetPresent(bool on);

    // Exact pages sent in the next slots, in order, before anything else.
    void QueuePage(const TAntPage& page);

    // Pages received from the host, oldest first.
    std::vector<TAntSimReceived> Received() const;
    void ClearReceived();
    // Pages the device has put on the air (lost ones included).
    uint32_t PagesSent() const;

    // Faults: the next `count` pages are lost; each page is lost with probability p.
    void LosePages(int count);
    void SetPageLoss(double p);
    // Faults: the next `count` acknowledged sends to this device fail (0x06, not
    // delivered); each fails with probability p.
    void FailAcknowledged(int count);
    void SetAcknowledgedFailure(double p);
    // Receives commands but never answers them (EPROM and command time-outs).
    void SetMute(bool mute);

protected:
    friend class TAntSimStick;
    friend struct TAntSimEngine;
    explicit TAntSimDevice(std::recursive_mutex& mutex) : FMutex(mutex) {}
    // Called with the stick's lock held.
    virtual TAntPage RegularPage(double slotSeconds) = 0;
    virtual void Receive(const TAntPage& page) = 0;
    virtual bool Asleep() const { return false; }
    void Reply(const TAntPage& page);  // queues an answer unless muted

    std::recursive_mutex& FMutex;  // the stick's
    TAntSimRadio FRadio;
    bool FPresent = true;
    bool FMute = false;
    std::vector<TAntPage> FQueued, FReplies;
    std::vector<TAntSimReceived> FReceived;
    uint32_t FPagesSent = 0;
    int FLoseCount = 0, FFailAckCount = 0;
    double FLossP = 0, FFailAckP = 0;
};

// A device with a parameter memory of N bytes, read and written by the host's EPROM
// commands.
template <size_t N>
class TAntSimMemoryDevice : public TAntSimDevice {
public:
    std::array<uint8_t, N> Eprom() const;
    void SetEprom(const std::array<uint8_t, N>& bytes);
    void SetEpromByte(uint8_t address, uint8_t value);  // an address past the end is ignored
    // Refuses EPROM writes with [0xFE, 3].
    void SetWriteProtected(bool on);

protected:
    explicit TAntSimMemoryDevice(std::recursive_mutex& mutex) : TAntSimDevice(mutex) {}
    std::array<uint8_t, N> FEprom{};
    bool FWriteProtected = false;
};
extern template class TAntSimMemoryDevice<32>;
extern template class TAntSimMemoryDevice<17>;

// Parameter memory: addresses 0x00-0x1F.
class TAntSimTrainer : public TAntSimMemoryDevice<32> {
public:
    std::string Name() const override { return "trainer"; }
    TAntSimTrainerKind Kind() const;
    // Switches the receiver kind and takes that kind's identity (number kept).
    void SetKind(TAntSimTrainerKind k);

    uint32_t TotalDistance() const;  // 24-bit
    void SetTotalDistance(uint32_t d);
    uint8_t ResistanceLevel() const;  // last resistance page (Vexa)
    uint16_t BrakeValue() const;      // last host page bytes 0-1 (NAW)

    // Live values sent by the NAW trainer.
    void SetSpeed(double kmh);  // 0 .. 999.9
    void SetCadence(int rpm);   // 0 .. 999
    void SetFlag(bool on);

protected:
    friend class TAntSimStick;
    friend struct TAntSimEngine;
    explicit TAntSimTrainer(std::recursive_mutex& mutex);
    TAntPage RegularPage(double slotSeconds) override;
    void Receive(const TAntPage& page) override;

private:
    TAntSimTrainerKind FKind = TAntSimTrainerKind::Vexa;
    uint32_t FTotalDistance = 0;
    uint8_t FResistance = 0;
    uint16_t FBrake = 0;
    double FSpeed = 0;
    int FCadence = 0;
    bool FFlag = false;
    uint16_t FCounter = 0;
};

// Parameter memory: addresses 0x00-0x10.
class TAntSimConsole : public TAntSimMemoryDevice<17> {
public:
    std::string Name() const override { return "console"; }

    // Keys 0..3: plus, minus, enter, tab. A key change wakes the console.
    void SetKey(int key, bool down);
    bool Key(int key) const;
    bool Selected() const;  // last command 9
    bool Sleeping() const;  // after command 8
    void Wake();
    uint32_t KeepAlives() const;  // keep-alive pages received
    void SetRefuseKeepAlive(bool on);

protected:
    friend class TAntSimStick;
    friend struct TAntSimEngine;
    explicit TAntSimConsole(std::recursive_mutex& mutex);
    TAntPage RegularPage(double slotSeconds) override;
    void Receive(const TAntPage& page) override;
    bool Asleep() const override { return FSleeping && FReplies.empty() && FQueued.empty(); }

private:
    std::array<bool, 4> FKeys{};
    bool FSelected = false, FSleeping = false, FRefuseKeepAlive = false;
    uint32_t FKeepAlives = 0;
};

class TAntSimHeartRate : public TAntSimDevice {
public:
    std::string Name() const override { return "heart rate"; }
    void SetHeartRate(uint8_t bpm);  // 0: no beats
    uint8_t HeartRate() const;
    void SetProductInfo(uint8_t manufacturer, uint16_t serial, uint8_t hardware, uint8_t software,
                        uint8_t model);
    void SetOperatingTime(uint32_t seconds);

protected:
    friend class TAntSimStick;
    friend struct TAntSimEngine;
    explicit TAntSimHeartRate(std::recursive_mutex& mutex);
    TAntPage RegularPage(double slotSeconds) override;
    void Receive(const TAntPage&) override {}

private:
    uint8_t FRate = 72, FManufacturer = 1, FHardware = 5, FSoftware = 9, FModel = 2;
    uint16_t FSerial = 0xBEEF;
    double FOperating = 3600, FClock = 0, FNextBeat = -1;
    uint16_t FBeatTime = 0, FPrevBeatTime = 0, FBeatCount = 0;
    uint32_t FMessage = 0;
};

class TAntSimSpeedCadence : public TAntSimDevice {
public:
    std::string Name() const override { return "speed/cadence"; }
    // Crank and wheel revolutions per minute (0: standing still).
    void SetCadence(double rpm);
    void SetWheelRpm(double rpm);

protected:
    friend class TAntSimStick;
    friend struct TAntSimEngine;
    explicit TAntSimSpeedCadence(std::recursive_mutex& mutex);
    TAntPage RegularPage(double slotSeconds) override;
    void Receive(const TAntPage&) override {}

private:
    double FCadence = 80, FWheel = 400, FClock = 0, FNextCrank = -1, FNextWheel = -1;
    uint16_t FCrankTime = 0, FCrankRevs = 0, FWheelTime = 0, FWheelRevs = 0;
};

class TAntSimStick : public TAntTransport {
public:
    explicit TAntSimStick(const TAntSimConfig& config = {});
    ~TAntSimStick() override;

    TAntSimTrainer& Trainer() { return *FTrainer; }
    TAntSimConsole& Console() { return *FConsole; }
    TAntSimHeartRate& HeartRate() { return *FHeartRate; }
    TAntSimSpeedCadence& SpeedCadence() { return *FSpeedCadence; }

    // Faults: the next `count` commands with this message id (0x46 key, 0x42 assign,
    // 0x51 id, 0x43 period, 0x60 power, 0x44 search time-out, 0x45 RF, 0x4B open, 0x4C
    // close, 0x41 unassign, 0x4D request) on this channel (network for 0x46; -1 any) are
    // answered with `code` and not carried out.
    void RefuseCommand(uint8_t messageId, uint8_t code, int channel = -1, int count = 1);
    // Sends a channel event now (receive buffer [channel, 1, event]); the channel's
    // state is not changed.
    void InjectEvent(uint8_t channel, uint8_t event);

    // Inspection.
    bool IsOpen() const;                        // opened by ANT_Init and not yet closed
    uint32_t OpenCount() const;                 // times opened
    uint32_t ResetCount() const;                // reset commands received
    std::vector<TAntFrame> HostFrames() const;  // every frame from the host, oldest first
    void ClearHostFrames();
    uint64_t HostBadFrames() const;  // corrupt frames from the host
    std::optional<TAntPage> LastBroadcast(uint8_t channel) const;
    std::optional<TAntPage> LastAcknowledged(uint8_t channel) const;
    TAntSimChannelState Channel(uint8_t channel) const;
    std::array<uint8_t, 8> NetworkKey(uint8_t network) const;
    // Frames the stick sent to the host, oldest first (responses, events, data).
    std::vector<TAntFrame> StickFrames() const;
    void ClearStickFrames();

    // TAntTransport
    bool Open(TAntByteSink* sink) override;
    void Close() override;
    bool Write(const uint8_t* bytes, size_t count) override;

    static constexpr int Channels = 8;
    static constexpr int Networks = 8;

private:
    friend struct TAntSimEngine;
    // The state, the devices and the lock; shared with the stick's thread, which keeps
    // it alive when the stick goes away from inside a delivery.
    struct TImpl;
    std::shared_ptr<TImpl> FImpl;
    TAntSimTrainer* FTrainer;
    TAntSimConsole* FConsole;
    TAntSimHeartRate* FHeartRate;
    TAntSimSpeedCadence* FSpeedCadence;
};

// Installed sticks (all sticks of the process). Install replaces a stick on that
// number; the library keeps a stick it has open until ANT_Close.
std::shared_ptr<TAntSimStick> AntSimInstall(uint8_t usbNumber, const TAntSimConfig& config = {});
// No stick on that number (the default stick on 0 is not created any more).
void AntSimRemove(uint8_t usbNumber);
// No stick on any number.
void AntSimRemoveAll();
// Forgets every installed stick: back to the default (a full stick on number 0,
// created at its first ANT_Init). Call it at the end of a test.
void AntSimRestore();
// The stick on that number: installed, or the default one once opened; nullptr if none.
std::shared_ptr<TAntSimStick> AntSimStick(uint8_t usbNumber);
