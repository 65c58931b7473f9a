// The ANT link: construction, the stick, the channel records and their set-up chain,
// the library's response procedure, tear-down and the log.
#include "device/ulma_ant_class.h"

#include <cctype>
#include <cstdio>
#include <thread>

#include "platform/ant/ANT_DLL.h"
#include "platform/ant/AntFrame.h"
#include "platform/framework/Application.h"
#include "platform/os/Registry.h"
#include "platform/rtl/Math.h"
#include "platform/rtl/Thread.h"
#include "platform/rtl/Tick.h"

namespace {

// The link both procedures serve, and how many procedure calls are running right now
// (the destructor waits for them after unhooking the link).
std::atomic<ulma_ANT*> GLink{nullptr};
std::atomic<int> GInCallback{0};
thread_local int TCallbackDepth = 0;

struct TCallbackScope {
    TCallbackScope() {
        ++GInCallback;
        ++TCallbackDepth;
    }
    ~TCallbackScope() {
        --TCallbackDepth;
        --GInCallback;
    }
};

}  // namespace

const char* const AntLinkSettingsKey = "\\Software\\Valtura\\Vexatrevia\\AntLink";
const char* const AntNetworkKey0Value = "NetworkKey0";

void ulma_ant_class::Delay(uint32_t Milliseconds) {
    Application()->Delay(Milliseconds);
}

TAntKey ReadAntNetworkKey0() {
    TAntKey key{};
    try {
        TRegistry reg;
        reg.SetRootKey(HKEY_CURRENT_USER);
        if (!reg.OpenKeyReadOnly(AntLinkSettingsKey) || !reg.ValueExists(AntNetworkKey0Value)) return key;
        const std::string text = reg.ReadString(AntNetworkKey0Value);
        std::string digits;
        bool wellFormed = true;
        for (char c : text) {
            if (std::isxdigit(static_cast<unsigned char>(c)))
                digits += c;
            else if (c != ' ' && c != ',' && c != ':' && c != '-')
                wellFormed = false;
        }
        if (!wellFormed || digits.size() != 16) {
            // Someone wrote this value on purpose: say that it is not used.
            std::fprintf(stderr,
                         "%s value \"%s\" in %s ignored: not 16 hexadecimal digits; network key 0 stays all "
                         "zero\n",
                         AntNetworkKey0Value, text.c_str(),
                         TRegistry::StoreFileFor(HKEY_CURRENT_USER).c_str());
            return TAntKey{};
        }
        for (int i = 0; i < 8; ++i)
            key[i] = static_cast<uint8_t>(std::stoi(digits.substr(i * 2, 2), nullptr, 16));
    } catch (const std::exception&) {
        return TAntKey{};
    }
    return key;
}

std::array<uint8_t, 8> ulma_Channel::TransmitPage() const {
    std::array<uint8_t, 8> page{};
    for (int i = 0; i < 8; ++i) page[i] = TxPage[i];
    return page;
}

ulma_ANT* AntLink() {
    return GLink.load();
}

bool ulma_ANT::OwnsStick() const {
    return FOpen && GLink.load() == this;
}

uint8_t ResponseFunction(uint8_t Channel, uint8_t MessageId) {
    TCallbackScope scope;
    ulma_ANT* link = GLink.load();
    if (!link || link->Destroying) return 0;
    try {
        link->ResponseEvent(Channel, MessageId);
    } catch (...) {
    }
    return 0;
}

uint8_t ChannelEvent0(uint8_t Channel, uint8_t Event) {
    TCallbackScope scope;
    ulma_ANT* link = GLink.load();
    if (!link || link->Destroying) return 0;
    // Nothing may unwind into the library.
    try {
        link->ChannelEvent(Channel, Event);
    } catch (...) {
    }
    return 0;
}

ulma_ANT::ulma_ANT() {
    NewKeepAliveTimer();
    GLink.store(this);
}

void ulma_ANT::NewKeepAliveTimer() {
    FKeepAlive = std::make_unique<TTimer>(nullptr);
    FKeepAlive->SetEnabled(false);
    FKeepAlive->SetInterval(15000);
    FKeepAlive->OnTimer = [this](TObject* Sender) { KeepAliveTimer(Sender); };
}

ulma_ANT::~ulma_ANT() {
    try {
        if (FOpen) Close();
    } catch (...) {
    }
    ulma_ANT* self = this;
    GLink.compare_exchange_strong(self, nullptr);
    while (GInCallback.load() > TCallbackDepth) std::this_thread::yield();
    FKeepAlive.reset();
    RemoveQueuedCalls(this);
    if (!Destroying && IsMainThread()) {
        try {
            FlushLog();
        } catch (...) {
        }
    }
}

// ---------------------------------------------------------------- log

void ulma_ANT::AddLogLine(TLogTarget Target, const std::string& Text) {
    TStrings* memo = Target == ltCommand ? FLogMemo.load() : FRawMemo.load();
    if (!memo) return;
    {
        std::lock_guard<std::mutex> lock(FLogMutex);
        FLogQueue.emplace_back(Target, Text);
    }
    if (IsMainThread())
        FlushLog();
    else if (!FFlushQueued.exchange(true))
        QueueMainThreadCall(
            [this] {
                FFlushQueued = false;
                FlushLog();
            },
            this);
}

void ulma_ANT::FlushLog() {
    if (!IsMainThread() || FFlushing) return;
    FFlushing = true;
    try {
        for (;;) {
            std::deque<std::pair<TLogTarget, std::string>> lines;
            {
                std::lock_guard<std::mutex> lock(FLogMutex);
                lines.swap(FLogQueue);
            }
            if (lines.empty()) break;
            for (auto& [target, text] : lines) {
                TStrings* memo = target == ltCommand ? FLogMemo.load() : FRawMemo.load();
                if (memo) memo->Add(text);
            }
        }
    } catch (...) {
        FFlushing = false;
        throw;
    }
    FFlushing = false;
}

bool ulma_ANT::FrameLogged(int Channel) const {
    return LogEnabled && (!FilterOn || Channel == FilterChannel);
}

void ulma_ANT::LogSentFrame(int Channel, const std::array<uint8_t, 8>& p) {
    if (!FrameLogged(Channel)) return;
    ulma_Channel* rec = this->Channel(Channel);
    int rf = rec ? rec->RFFrequency.load() : 0;
    AddLogLine(ltCommand,
               Format("Tx(%d): [%.2X][%.2X][%.2X][%.2X][%.2X][%.2X][%.2X][%.2X] RF Freq:%d RxCount:%d",
                      Channel, p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], rf, TxFrames.load()));
}

void ulma_ANT::SendPage(int Channel, const std::array<uint8_t, 8>& Page, bool Acknowledged) {
    if (ulma_Channel* rec = this->Channel(Channel))
        for (int i = 0; i < 8; ++i) rec->TxPage[i] = Page[i];
    if (Acknowledged)
        ANT_SendAcknowledgedData(static_cast<uint8_t>(Channel), Page.data());
    else
        ANT_SendBroadcastData(static_cast<uint8_t>(Channel), Page.data());
}

void ulma_ANT::SendCountedPage(int Channel, const std::array<uint8_t, 8>& Page, bool Acknowledged) {
    SendPage(Channel, Page, Acknowledged);
    LogSentFrame(Channel, Page);
    ++TxFrames;
}

// ---------------------------------------------------------------- channels

ulma_Channel* ulma_ANT::Channel(int Channel) const {
    if (Channel < 0 || Channel >= MaxChannels || Channel >= FChannelCount) return nullptr;
    return FChannels[Channel].load();
}

bool ulma_ANT::ChannelAlive(int Channel) const {
    ulma_Channel* rec = this->Channel(Channel);
    return rec && rec->Alive;
}

bool ulma_ANT::Connect(uint8_t DeviceNumber) {
    if (ANT_Init(DeviceNumber, BaudRate) != 1) {
        AddLogLine(ltCommand, "Not Connected " + IntToStr(DeviceNumber));
        return false;
    }
    FOpen = true;
    ANT_AssignResponseFunction(ResponseFunction, FResponseBuffer);
    AddLogLine(ltCommand, "Chiave connessa!");
    ANT_ResetSystem();
    AddLogLine(ltCommand, "Cmd - Reset");
    ulma_ant_class::Delay(600);
    return true;
}

void ulma_ANT::SetChannelParams(uint8_t Channel, uint8_t Network, uint16_t Period, uint8_t DeviceType,
                                uint8_t TransmissionType, uint8_t ChannelType, uint8_t RFFrequency,
                                int32_t DeviceNumber, const TAntKey& Key) {
    if (Channel >= MaxChannels) throw Exception(Format("ANT channel %d out of range", Channel));
    if (!FSlots[Channel]) FSlots[Channel] = std::make_unique<ulma_Channel>();
    ulma_Channel& rec = *FSlots[Channel];
    rec.Alive = false;
    rec.Network = Network;
    rec.Period = Period;
    rec.DeviceType = DeviceType;
    rec.TransmissionType = TransmissionType;
    rec.ChannelType = ChannelType;
    rec.RFFrequency = RFFrequency;
    rec.DeviceNumber = DeviceNumber;
    rec.NetworkKey = Key;
    for (auto& b : rec.TxPage) b = 0;
    FChannels[Channel].store(&rec);
    if (FChannelCount < Channel + 1) FChannelCount = Channel + 1;
    AddLogLine(ltCommand, "Set channel parameter array [" + IntToStr(Channel) + "]");
}

void ulma_ANT::SetChannelPlan(int32_t TrainerNumber, int32_t HrNumber, int32_t ConsoleNumber,
                              uint8_t ChannelTrainer, uint8_t ChannelSpeedCadence, uint8_t ChannelConsole) {
    const TAntKey key0 = ReadAntNetworkKey0();
    const TAntKey key1{};
    const bool vexa = RecieverType == ulmVexa;
    if (TrainerNumber < 0) TrainerNumber = 0;
    SetChannelParams(0, 0, 8070, 120, 0, 0, 57, HrNumber, key0);
    if (vexa)
        SetChannelParams(1, 1, 31814, 19, 1, 0, ChannelTrainer, TrainerNumber, key1);
    else
        SetChannelParams(1, 0, 16172, 121, 1, 0, 57, TrainerNumber, key0);
    if (vexa) SetChannelParams(2, 0, 8086, 121, 0, 0, ChannelSpeedCadence, TrainerNumber, key0);
    SetChannelParams(3, 1, 16150, 18, 1, 0, ChannelConsole, ConsoleNumber, key1);
}

void ulma_ANT::WaitChannelAlive(uint8_t Channel) {
    const uint32_t start = GetTickCount();
    WaitFor([&] { return ChannelAlive(Channel); }, start, 10000, 100, false);
}

void ulma_ANT::OpenChannels() {
    const bool vexa = RecieverType == ulmVexa;
    // A handler run inside a wait may have closed this link or opened the stick for a
    // newer one: then the set-up stops.
    StartChannel(1);
    WaitChannelAlive(1);
    if (vexa && OwnsStick()) {
        StartChannel(2);
        WaitChannelAlive(2);
    }
    if (vexa && ConsoleEnabled && OwnsStick()) {
        StartChannel(3);
        WaitChannelAlive(3);
    }
    if (HeartEnabled && OwnsStick()) {
        StartChannel(0);
        WaitChannelAlive(0);
    }
    if (!OwnsStick()) return;
    EnableTransmit();
    if (vexa && ChannelAlive(3)) {
        NewKeepAliveTimer();
        FKeepAlive->SetEnabled(true);
    }
}

void ulma_ANT::StartChannel(uint8_t Channel) {
    ulma_Channel* rec = this->Channel(Channel);
    if (!rec) return;
    ANT_AssignChannelEventFunction(Channel, ChannelEvent0, FRxBuffers[Channel]);
    AddLogLine(ltCommand, Format("ANT_AssignChannelEventFunction(%d),@ChannelEvent0)", Channel));
    const TAntKey& k = rec->NetworkKey;
    SetupChannel = Channel;
    AddLogLine(ltCommand, "Cmd - SetNetworkKey(" +
                              Format("%d; [%.2x] [%.2x] [%.2x] [%.2x] [%.2x] [%.2x] [%.2x] [%.2x]",
                                     rec->Network.load(), k[0], k[1], k[2], k[3], k[4], k[5], k[6], k[7]) +
                              ")");
    ANT_SetNetworkKey(rec->Network, k.data());
}

void ulma_ANT::ReopenHrChannel() {
    ANT_OpenChannel(0);
}

void ulma_ANT::ReopenConsoleChannel() {
    ANT_OpenChannel(3);
}

int32_t ulma_ANT::GetLinkQuality() const {
    const uint64_t good = GoodEvents, fail = RxFailures;
    if (good + fail == 0) return 0;
    return static_cast<int32_t>(Round(static_cast<long double>(good) / (good + fail) * 100));
}

// ---------------------------------------------------------------- responses

void ulma_ANT::ResponseEvent(uint8_t /*Channel*/, uint8_t MessageId) {
    const uint8_t* r = FResponseBuffer;
    const uint8_t ch = r[0];
    switch (MessageId) {
        case MESG_RESPONSE_EVENT_ID:
            // Responses to data sends (0x4E, 0x50) and 0x04 are ignored, whatever their code.
            if (r[1] == 0x04 || r[1] == MESG_BROADCAST_DATA_ID || r[1] == 0x50) break;
            if (r[2] != RESPONSE_NO_ERROR)
                ResponseFailure(ch, r[1], r[2]);
            else
                ChannelResponse(ch, r[1], r[2]);
            break;
        case MESG_CHANNEL_ID_ID: {
            ulma_Channel* rec = Channel(ch);
            if (!rec || rec->DeviceNumber != 0) break;
            const TAntChannelId id = DecodeAntChannelId(r, ANT_BUFFER_SIZE);
            const int32_t number = id.DeviceNumber;
            rec->TransmissionType = id.TransmissionType;
            rec->DeviceNumber = number;
            if (number != 0)
                AddLogLine(ltCommand,
                           "Paring done (" + IntToStr(ch) + "). Device Number =  " + IntToStr(number));
            break;
        }
        case 0x54:
            AddLogLine(ltCommand, "ANT Capabilities:" + std::string("  -Max Channel: ") + IntToStr(r[0]) +
                                      "  -Max Network: " + IntToStr(r[1]) + "  -Standard Options: " +
                                      Format("0x%x", r[2]) + "  -Advanced Options: " + Format("0x%x", r[3]) +
                                      "  -Advanced Options 2: " + Format("0x%x", r[4]));
            break;
        default:
            break;
    }
}

void ulma_ANT::ResponseFailure(uint8_t ch, uint8_t Answered, uint8_t Code) {
    std::string line;
    switch (Answered) {
        case MESG_NETWORK_KEY_ID:
            line = "Fail(0x" + IntToHex(static_cast<int64_t>(Code), 2) + ") - NetworkKey";
            break;
        case MESG_ASSIGN_CHANNEL_ID:
            line = Format("Fail(0x%.2X) - AssignChannel(%.2d)", Code, ch);
            break;
        case MESG_CHANNEL_ID_ID:
            line = Format("Fail(0x%.2X) - SetChannelID(%.2d)", Code, ch);
            break;
        case MESG_CHANNEL_MESG_PERIOD_ID:
            line = Format("Fail(0x%.2X) - SetChannelPeriod(%d)", Code, ch);
            break;
        case MESG_CHANNEL_SEARCH_TIMEOUT_ID:
            line = Format("Fail(0x%.2X) - SetChannelSearchTimeout(%.2d)", Code, ch);
            break;
        case MESG_CHANNEL_RADIO_FREQ_ID:
            line = Format("Fail(0x%.2X) - SetRFFreq(%.2d)", Code, ch);
            break;
        case MESG_OPEN_CHANNEL_ID:
            line = Format("Fail(0x%.2x) - Open(%.2d)", Code, ch);
            break;
        case MESG_CLOSE_CHANNEL_ID:
            line = Format("Fail(0x%.2x) - Close(%.2d)", Code, ch);
            if (ulma_Channel* rec = Channel(ch)) rec->Alive = false;
            break;
        case MESG_UNASSIGN_CHANNEL_ID:
            line = Format("Fail((0x%.2X)) - UnassignChannel(%d)", Code, ch);
            break;
        default:
            // The refused transmit-power step (0x60) is reported here too.
            line = Format("Fail(0x%.2X) - MesgID:(0x%.2X) - Channel:(%.2d)", Code, Answered, ch);
            break;
    }
    AddLogLine(ltCommand, line);
}

void ulma_ANT::ChannelResponse(uint8_t ch, uint8_t Answered, uint8_t /*Code*/) {
    ulma_Channel* rec = Channel(ch);
    switch (Answered) {
        case MESG_NETWORK_KEY_ID: {
            AddLogLine(ltCommand, "Ack - SetNetworkKey");
            const uint8_t sc = SetupChannel;
            ulma_Channel* setup = Channel(sc);
            if (!setup) break;
            AddLogLine(ltCommand,
                       "Cmd - AssignChannel(" +
                           Format("%d; %d, %d", sc, setup->ChannelType.load(), setup->Network.load()) + ")");
            ANT_AssignChannel(sc, setup->ChannelType, setup->Network);
            break;
        }
        case MESG_ASSIGN_CHANNEL_ID:
            if (!rec) break;
            AddLogLine(ltCommand, "Ack - AssignChannel(" +
                                      Format("%d; %d; %d", ch, rec->ChannelType.load(), rec->Network.load()) +
                                      ")");
            AddLogLine(ltCommand, "Cmd - SetChannelId(" +
                                      Format("%d; %d; %d; %d", ch, rec->DeviceNumber.load(),
                                             rec->DeviceType.load(), rec->TransmissionType.load()) +
                                      ")");
            ANT_SetChannelId(ch, static_cast<uint16_t>(rec->DeviceNumber), rec->DeviceType,
                             rec->TransmissionType);
            break;
        case MESG_CHANNEL_ID_ID:
            if (!rec) break;
            // The receive buffer holds no channel-id reply at this point: the record keeps its
            // number and type, the line reports them.
            if (rec->DeviceNumber == 0)
                AddLogLine(ltCommand,
                           "Ack - ANT_RequestMessage Device Number:" + IntToStr(rec->DeviceNumber) +
                               " Transmission Type:" + IntToStr(rec->TransmissionType));
            AddLogLine(ltCommand, "Ack - SetChannelID");
            AddLogLine(ltCommand, "Cmd - SetChannelPeriod(" + Format("%d; %d", ch, rec->Period.load()) + ")");
            ANT_SetChannelPeriod(ch, rec->Period);
            break;
        case MESG_CHANNEL_MESG_PERIOD_ID:
            AddLogLine(ltCommand, "Ack - SetChannelPeriod");
            AddLogLine(ltCommand, "Cmd - ANT_SetTransmitPower");
            ANT_SetChannelTxPower(ch, 3);
            break;
        case MESG_CHANNEL_RADIO_TX_POWER_ID:
            AddLogLine(ltCommand, "Ack - ANT_SetTransmitPower");
            AddLogLine(ltCommand, "Cmd - SetChannelSearchTimeout(" + Format("%d: %d", ch, 4) + ")");
            ANT_SetChannelSearchTimeout(ch, 4);
            break;
        case MESG_CHANNEL_SEARCH_TIMEOUT_ID:
            if (!rec) break;
            AddLogLine(ltCommand, "Ack - SetChannelSearchTimeout");
            AddLogLine(ltCommand,
                       "Cmd - SetChannelRFFreq(" + Format("%d; %d", ch, rec->RFFrequency.load()) + ")");
            ANT_SetChannelRFFreq(ch, rec->RFFrequency);
            break;
        case MESG_CHANNEL_RADIO_FREQ_ID:
            AddLogLine(ltCommand, "Ack - SetRFFreq");
            AddLogLine(ltCommand, "Cmd - OpenChannel " + IntToStr(ch));
            ANT_OpenChannel(ch);
            break;
        case MESG_OPEN_CHANNEL_ID:
            AddLogLine(ltCommand, "Ack - Open " + IntToStr(ch));
            if (rec && rec->DeviceNumber == 0) {
                AddLogLine(ltCommand, "Cmd - ANT_RequestMessage(" + IntToStr(ch) + ",MESG_CHANNEL_ID_ID)");
                ANT_RequestMessage(ch, MESG_CHANNEL_ID_ID);
            }
            break;
        case MESG_CLOSE_CHANNEL_ID:
            AddLogLine(ltCommand, "Ack - Close");
            if (rec) rec->Alive = false;
            break;
        case MESG_UNASSIGN_CHANNEL_ID:
            AddLogLine(ltCommand, "Ack - UnassignChannel");
            break;
        default:
            AddLogLine(ltCommand, Format("Ack - MesgID:(0x%.2X) - Channel:(%.2d)", Answered, ch));
            break;
    }
}

// ---------------------------------------------------------------- tear-down

void ulma_ANT::Close() {
    if (FClosing) return;
    FClosing = true;
    struct TClosing {
        bool& Flag;
        ~TClosing() { Flag = false; }
    } closing{FClosing};
    if (FKeepAlive) {
        FKeepAlive->SetEnabled(false);
        FKeepAlive->OnTimer = nullptr;
    }
    const bool quiet = Destroying;
    auto log = [&](const std::string& line) {
        if (!quiet) AddLogLine(ltCommand, line);
    };
    const int count = FChannelCount;
    for (int c = 0; c < count; ++c) {
        ulma_Channel* rec = Channel(c);
        if (!rec || !rec->Alive) continue;
        rec->Alive = false;
        ANT_CloseChannel(static_cast<uint8_t>(c));
        ulma_ant_class::Delay(1000);
        if (GLink.load() != this) break;
        ChannelClosed = false;
        log("Cmd - Close channel " + IntToStr(c));
        ANT_UnAssignChannel(static_cast<uint8_t>(c));
        log("Cmd - Unassigned channel " + IntToStr(c));
    }
    // A newer link created during a wait has opened the stick anew: it is not ours to close.
    if (GLink.load() != this) {
        FOpen = false;
        return;
    }
    ANT_ResetSystem();
    log("Cmd - ResetSystem");
    ulma_ant_class::Delay(1000);
    if (GLink.load() != this) {
        FOpen = false;
        return;
    }
    ANT_Close();
    FOpen = false;
    log("Cmd - Close");
}
