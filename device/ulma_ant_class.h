#pragma once
// The ANT link: the one object that talks to the radio stick through the radio library.
// It configures and opens the channels of the trainer, the speed/cadence sensor, the
// handlebar console and the heart-rate strap, decodes their pages, sends resistance,
// commands and parameter-memory (EPROM) requests, keeps the console alive and logs all
// traffic to two optional memos.
//
// Threads: the library calls back on a thread of its own (or nested inside a call). The
// link takes no lock: everything the callbacks write and the main thread polls is an
// atomic, and reply bytes are stored before the flag that announces them. Memo lines
// written on the library's thread are handed over to the main thread.
#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "device/QorDeviceTypes.h"
#include "platform/rtl/Classes.h"
#include "platform/rtl/SysUtils.h"

class TTimer;

// Failures of the EPROM exchange.
class ERdEPROM : public Exception {
public:
    using Exception::Exception;
};
class EWrEPROM : public Exception {
public:
    using Exception::Exception;
};

using TAntKey = std::array<uint8_t, 8>;

// The link's waits: pump the application loop for `Milliseconds` clock milliseconds.
namespace ulma_ant_class {
void Delay(uint32_t Milliseconds);
}

// Network 0's key lives in the settings store: HKEY_CURRENT_USER, key
// "\Software\Valtura\Vexatrevia\AntLink", string value "NetworkKey0" holding the eight
// key bytes as 16 hexadecimal digits (blanks, commas, colons or dashes between bytes
// allowed). Missing: all zero; malformed: all zero, and stderr names the value and the file.
extern const char* const AntLinkSettingsKey;
extern const char* const AntNetworkKey0Value;
TAntKey ReadAntNetworkKey0();

// One radio channel: its set-up parameters, alive flag and transmit page. Records are
// refilled in place by SetChannelParams, so the library thread never sees a freed one.
class ulma_Channel {
public:
    std::atomic<uint8_t> Network{0};
    // Set by received data, cleared by a close acknowledgement, by Close and by a new set-up.
    std::atomic<bool> Alive{false};
    std::atomic<uint16_t> Period{0};  // 1/32768 s
    std::atomic<uint8_t> DeviceType{0};
    std::atomic<uint8_t> TransmissionType{0};
    std::atomic<uint8_t> ChannelType{0};
    std::atomic<uint8_t> RFFrequency{0};   // 2400 + n MHz
    std::atomic<int32_t> DeviceNumber{0};  // 0 = pair with any device
    TAntKey NetworkKey{};                  // main thread only
    // The page of the last send of this channel.
    std::array<std::atomic<uint8_t>, 8> TxPage{};

    std::array<uint8_t, 8> TransmitPage() const;
};

class ulma_ANT {
public:
    static constexpr int MaxChannels = 8;

    ulma_ANT();
    // Freeing an open link runs the close sequence first.
    ~ulma_ANT();
    ulma_ANT(const ulma_ANT&) = delete;
    ulma_ANT& operator=(const ulma_ANT&) = delete;

    // --- Set-up (driven by the trainer component's connect) ---
    // Opens the stick on USB device number `DeviceNumber`; True on success.
    bool Connect(uint8_t DeviceNumber);
    // Creates or refills the record of `Channel` (0..7) and clears its alive flag.
    void SetChannelParams(uint8_t Channel, uint8_t Network, uint16_t Period, uint8_t DeviceType,
                          uint8_t TransmissionType, uint8_t ChannelType, uint8_t RFFrequency,
                          int32_t DeviceNumber, const TAntKey& Key);
    // The channel plan: heart rate (0), trainer (1), speed/cadence (2, Vexa only), console (3).
    // Network 0's key comes from ReadAntNetworkKey0(); network 1's is all zero.
    void SetChannelPlan(int32_t TrainerNumber, int32_t HrNumber, int32_t ConsoleNumber,
                        uint8_t ChannelTrainer = 71, uint8_t ChannelSpeedCadence = 57,
                        uint8_t ChannelConsole = 70);
    // Starts the planned channels one after another, each with a 10 s alive wait.
    void OpenChannels();
    // First step of one channel's set-up chain; the rest runs from the acknowledgements.
    void StartChannel(uint8_t Channel);
    void ReopenHrChannel();
    void ReopenConsoleChannel();
    int32_t GetLinkQuality() const;
    // Closes the channels and the stick. A Close started inside the waits of a running one
    // returns at once; a Close whose stick was taken over meanwhile by a newer link stops
    // touching it.
    void Close();
    // The stick is open for this link (Connect succeeded, Close not yet run).
    bool IsOpen() const { return FOpen; }

    // --- Commands, EPROM exchange, keep-alive ---
    void SetResistance(int32_t Level);
    void TrainerCommand4();
    void TrainerCommand8(uint32_t Value);
    // Asks for the total distance; waits for the reply up to 10 s; returns it (0 on time-out).
    uint32_t RequestDistance();
    // Console sleep; False when the console did not acknowledge within 10 s.
    bool ConsoleCommand8();
    // Console "selected" on/off; False when not acknowledged within 10 s.
    bool ConsoleCommand9(bool Value);
    // False (after a message box) when no reply came within 20 s.
    bool ReadTrainerEprom(uint16_t Address, uint8_t Length);
    // Runs `Wait` with the trainer's EPROM record still busy: the wait of a caller that has
    // yet to take a read's reply, which an operation started from a handler meanwhile would
    // overwrite (such an operation is refused as during the read's own wait).
    void HoldTrainerEprom(const std::function<void()>& Wait);
    bool WriteTrainerEprom(uint16_t Address, uint8_t Length, uint8_t D0, uint8_t D1, uint8_t D2, uint8_t D3);
    bool ReadConsoleEprom(uint16_t Address, uint8_t Length);
    bool WriteConsoleEprom(uint16_t Address, uint8_t Length, uint8_t D0, uint8_t D1, uint8_t D2, uint8_t D3);
    void EnableTransmit() { TransmitEnabled = true; }
    void KeepAliveTimer(TObject* Sender);
    // The 15 s console keep-alive timer (created disabled; created anew by OpenChannels).
    TTimer* KeepAlive() const { return FKeepAlive.get(); }

    // --- Callbacks (entered through the library's procedures) ---
    void ResponseEvent(uint8_t Channel, uint8_t MessageId);
    bool ChannelEvent(uint8_t Channel, uint8_t Event);

    // --- Channels ---
    // Number of record slots (1 after construction; Channel + 1 after SetChannelParams).
    int ChannelCount() const { return FChannelCount; }
    // The record of `Channel`, or nullptr when it has none.
    ulma_Channel* Channel(int Channel) const;
    bool ChannelAlive(int Channel) const;
    // The buffer the library fills before each event of `Channel`: channel, page bytes 0-7.
    const uint8_t* RxBuffer(int Channel) const {
        return Channel >= 0 && Channel < MaxChannels ? FRxBuffers[Channel] : nullptr;
    }
    const uint8_t* ResponseBuffer() const { return FResponseBuffer; }

    // --- Options ---
    std::atomic<uint16_t> BaudRate{57600};
    std::atomic<int32_t> RecieverType{ulmVexa};
    std::atomic<bool> HeartEnabled{true};
    std::atomic<bool> ConsoleEnabled{true};
    std::atomic<bool> LogEnabled{true};
    std::atomic<bool> RawLogEnabled{true};
    std::atomic<bool> FilterOn{false};
    std::atomic<int32_t> FilterChannel{0};
    std::atomic<bool> TransmitEnabled{true};
    std::atomic<bool> Destroying{false};
    // Memos (owned by the caller): the command log and the raw-frame log.
    void SetLogMemo(TStrings* Memo) { FLogMemo = Memo; }
    void SetRawMemo(TStrings* Memo) { FRawMemo = Memo; }
    TStrings* LogMemo() const { return FLogMemo; }
    TStrings* RawMemo() const { return FRawMemo; }
    // Writes the lines handed over from the library's thread; main thread only.
    void FlushLog();

    // --- Counters ---
    std::atomic<int64_t> TxFrames{0};
    std::atomic<uint32_t> GoodEvents{0};
    std::atomic<uint32_t> RxFailures{0};
    std::atomic<float> NoConnectCount{0};
    std::array<std::atomic<uint32_t>, MaxChannels> SearchReopen{};
    std::atomic<bool> Interference{false};
    std::atomic<bool> InterferenceArmed{false};
    std::atomic<uint8_t> SetupChannel{0};
    std::atomic<bool> ChannelClosed{false};

    // --- Heart-rate strap ---
    std::atomic<int32_t> HeartRate{0};
    std::atomic<uint32_t> HeartBeatEventTime{0};
    std::atomic<uint8_t> HeartBeatCount{0};
    std::atomic<uint32_t> HrOperatingTime{0};
    std::atomic<uint8_t> HrManufacturerId{0};
    std::atomic<uint16_t> HrSerialNumber{0};
    std::atomic<uint8_t> HrHardwareVersion{0};
    std::atomic<uint8_t> HrSoftwareVersion{0};
    std::atomic<uint8_t> HrModelNumber{0};
    std::atomic<uint16_t> HrPreviousBeatTime{0};
    std::atomic<bool> HeartSeen{false};

    // --- Speed and cadence (sensor pages, or the NAW trainer page) ---
    std::atomic<int32_t> Cadence{0};
    std::atomic<float> Speed{0};  // km/h
    std::atomic<int32_t> CadenceEventTime{0};
    std::atomic<int32_t> CadenceRevolutions{0};
    std::atomic<int32_t> PrevCadenceEventTime{-1};
    std::atomic<int32_t> PrevCadenceRevolutions{0};
    std::atomic<int32_t> SpeedEventTime{0};
    std::atomic<int32_t> SpeedRevolutions{0};
    std::atomic<int32_t> PrevSpeedEventTime{0};
    std::atomic<int32_t> PrevSpeedRevolutions{0};
    std::atomic<int32_t> CadenceNoChangeCount{0};
    std::atomic<double> RollDiameter{0};  // mm
    std::atomic<uint8_t> EventPerTurn{2};

    // --- NAW trainer ---
    std::atomic<int32_t> NawEventCount{-1};
    std::atomic<int32_t> NawCountBase{-1};
    std::atomic<uint8_t> NawFlag{0};
    std::atomic<uint16_t> NawBrakeValue{0};

    // --- Trainer ---
    std::atomic<uint32_t> TotalDistance{0};
    std::atomic<bool> TrainerLost{false};
    std::atomic<uint8_t> ResistanceLevel{0};
    std::atomic<bool> ResistancePending{false};
    std::atomic<bool> Command4Pending{false};
    std::atomic<bool> DistancePending{false};
    std::atomic<bool> Command8Pending{false};
    std::atomic<uint32_t> Command8Value{0};

    // --- Console ---
    std::array<std::atomic<bool>, 4> ConsoleKeys{};  // indexed by TConsoleKey
    std::atomic<bool> ConsoleCommand8Ack{false};
    std::atomic<bool> ConsoleCommand9Ack{false};
    std::atomic<bool> KeepAliveAck{false};
    std::atomic<bool> ConsoleCommand9Pending{false};
    std::atomic<bool> ConsoleCommand9Value{false};

    // --- EPROM exchange records ---
    struct TEpromRecord {
        std::atomic<uint16_t> Address{0};
        std::atomic<uint16_t> Length{0};
        std::array<std::atomic<uint16_t>, 4> Data{};
        std::array<std::atomic<uint16_t>, 6> Reply{};  // one reply byte per slot
        std::atomic<bool> WritePending{false};
        std::atomic<bool> ReadDone{false};
        std::atomic<bool> WriteDone{false};
        std::atomic<bool> Retry{false};
        std::atomic<bool> Busy{false};  // an operation is waiting for its reply
    };
    TEpromRecord TrainerEprom;
    TEpromRecord ConsoleEprom;

private:
    enum TLogTarget { ltCommand, ltRaw };
    void AddLogLine(TLogTarget Target, const std::string& Text);
    bool FrameLogged(int Channel) const;
    void LogSentFrame(int Channel, const std::array<uint8_t, 8>& Page);
    void WaitChannelAlive(uint8_t Channel);
    // A fresh 15 s keep-alive timer, disabled, ticking KeepAliveTimer.
    void NewKeepAliveTimer();
    void ResponseFailure(uint8_t Channel, uint8_t Answered, uint8_t Code);
    void ChannelResponse(uint8_t Channel, uint8_t Answered, uint8_t Code);
    // Sends `Page` on `Channel` (broadcast or acknowledged) after storing it as the channel's
    // transmit page.
    void SendPage(int Channel, const std::array<uint8_t, 8>& Page, bool Acknowledged);
    // A command, EPROM or console-answer page: sent, logged as a frame line when logged
    // (with the count before this send) and counted.
    void SendCountedPage(int Channel, const std::array<uint8_t, 8>& Page, bool Acknowledged);

    // Receive side (pages).
    void ReceivedPage(uint8_t Channel);
    void DecodeHeartRate(const uint8_t* Page);
    void DecodeSpeedCadence(const uint8_t* Page);
    void DecodeConsole(const uint8_t* Page);
    void DecodeTrainer(const uint8_t* Page);
    void AnswerTrainer();
    void AnswerCommand9();
    void TransmitEvent(uint8_t Channel);
    void TransferResult(uint8_t Channel, bool Completed);
    void SearchTimeout(uint8_t Channel);
    // Pumping wait: `Step` ms at a time until `Done` holds or `Limit` ms passed since `Start`
    // (reached at more than the limit, or at the limit itself when `LimitInclusive`).
    bool WaitFor(const std::function<bool()>& Done, uint32_t Start, uint32_t Limit, uint32_t Step,
                 bool LimitInclusive);

    std::array<std::unique_ptr<ulma_Channel>, MaxChannels> FSlots;
    std::array<std::atomic<ulma_Channel*>, MaxChannels> FChannels{};
    std::atomic<int> FChannelCount{1};
    uint8_t FRxBuffers[MaxChannels][16] = {};
    uint8_t FResponseBuffer[64] = {};
    std::unique_ptr<TTimer> FKeepAlive;
    bool FOpen = false;
    bool FClosing = false;
    // This link still drives the stick: open, and no newer link has been created since.
    bool OwnsStick() const;
    // Last "Recv" line built (library thread).
    std::string FLastRecvLine;
    std::atomic<bool> FSpeedSeen{false};  // a first speed page gave the previous values

    std::atomic<TStrings*> FLogMemo{nullptr};
    std::atomic<TStrings*> FRawMemo{nullptr};
    std::mutex FLogMutex;
    std::deque<std::pair<TLogTarget, std::string>> FLogQueue;
    std::atomic<bool> FFlushQueued{false};
    bool FFlushing = false;
};

// The link the library's callbacks serve (set by the constructor, cleared by the destructor).
ulma_ANT* AntLink();

// The library's procedures.
uint8_t ResponseFunction(uint8_t Channel, uint8_t MessageId);
uint8_t ChannelEvent0(uint8_t Channel, uint8_t Event);

// Decodes a NAW trainer page (`Buffer` is the channel's receive buffer: channel, page).
void DecodeTrainerPage(ulma_ANT& Link, const uint8_t* Buffer, float& Speed, int32_t& Cadence, int32_t& Count,
                       uint8_t& Flag);
// An EPROM read (page 2) or write (page 3) request: [page, address (16-bit LE), length, data 0-3].
std::array<uint8_t, 8> EpromPage(uint8_t Page, uint16_t Address, uint8_t Length, uint8_t D0 = 0,
                                 uint8_t D1 = 0, uint8_t D2 = 0, uint8_t D3 = 0);
// True when bit `Bit` (0 = least significant) of `Value` is set.
bool TestBit(uint8_t Value, uint8_t Bit);
