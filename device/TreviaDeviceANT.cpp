#include "device/TreviaDeviceANT.h"

#include <vector>

#include "device/MapCalibrationU.h"
#include "device/ResistanceMapU.h"
#include "device/ulma_ant_class.h"
#include "platform/framework/Application.h"
#include "platform/framework/Dialogs.h"
#include "platform/rtl/Math.h"
#include "platform/rtl/Tick.h"

using TreviaDeviceANT::Delay;

namespace {

// The one link of the process and the component that created it. A component only
// drives the link it created; Connect of another component frees it first. The holders
// are never destroyed: a link still open when the program ends would be closed after the
// radio library it sends through has gone, pumping the loop for seconds as the program
// ends; the library closes the stick itself then.
std::unique_ptr<ulma_ANT>& GLink = *new std::unique_ptr<ulma_ANT>;
TTreviaDeviceANT* GLinkOwner = nullptr;

// Link operations with a pumping wait that are on the stack right now. A handler run
// inside such a wait may disconnect or connect again: the link it drops is closed at
// once, but freed only when the outermost of those operations has returned.
int GLinkCalls = 0;
std::vector<std::unique_ptr<ulma_ANT>>& GRetiredLinks = *new std::vector<std::unique_ptr<ulma_ANT>>;

class TLinkCall {
public:
    TLinkCall() { ++GLinkCalls; }
    ~TLinkCall() {
        if (--GLinkCalls > 0) return;
        std::vector<std::unique_ptr<ulma_ANT>> retired;
        retired.swap(GRetiredLinks);
    }
    TLinkCall(const TLinkCall&) = delete;
    TLinkCall& operator=(const TLinkCall&) = delete;
};

// Drops the link of the process (closing it first when still open).
void DropLink() {
    std::unique_ptr<ulma_ANT> link = std::move(GLink);
    GLinkOwner = nullptr;
    if (!link) return;
    if (GLinkCalls == 0) return;  // freed here; freeing an open link closes it
    TLinkCall call;
    if (link->IsOpen()) link->Close();
    link->FlushLog();
    GRetiredLinks.push_back(std::move(link));
}

const char* const DefaultMsgUsbDongleNotFound = "Usb dongle not found! Check it and restart the software.";
constexpr uint32_t TrainerWaitMs = 40000;
constexpr uint32_t TrainerPollMs = 300;
constexpr uint32_t PollIntervalMs = 100;

}  // namespace

ulma_ANT* TTreviaDeviceANT::Link() {
    return GLink.get();
}

ulma_ANT* TTreviaDeviceANT::OwnLink() const {
    return GLinkOwner == this ? GLink.get() : nullptr;
}

TTreviaDeviceANT::TTreviaDeviceANT(TComponent* AOwner) : TQorCustomDevice(AOwner) {
    FDebugMemo = nullptr;
    FDebugRaw = nullptr;
    ResetValues();
    BindStatsTimer();
    FHrAverage.SetSize(FHrArrayLength);
    FCadenceAverage.SetSize(FCadenceArrayLength);
    FSpeedAverage.SetSize(FSpeedArrayLength);
    SetDeviceType(6);
    SetDistance(0);
    CreatePollTimer();
    FDeviceTrainerNumber = FDeviceHrNumber = FDeviceNumberKeyboard = 0;
    FHeartNoticeGiven = FConsoleNoticeGiven = false;
    FEnableConsole = true;
    FHeartEnabled = true;
    FUnitType = 0;
    FMsgUsbDongleNotFound = DefaultMsgUsbDongleNotFound;
    FChannelTrainer = 71;
    FChannelSpeedCadence = 57;
    FChannelConsole = 70;
}

void TTreviaDeviceANT::ResetValues() {
    FHrArrayLength = 5;
    FCadenceArrayLength = 1;
    FSpeedArrayLength = 3;
    FHighPowerReduceCoefficient = 1.0;
    FHighPowerReduceEnable = false;
    FHighPowerReduceStartSpeed = 7.0;
    FHighPowerReduceCoefficientMinimum = 0.25;
    FResistanceLatency = 0;
    FInstantSpeed = 0;
    FPrecisionSpeed = 8;
    FPrecisionDistance = 8;
    FTolerance = 2.0;
    FHrCount = 0;
    FHrSum = 0;
    FHeartEnabled = true;
    FHeartConnectionActive = true;
    FTime = 0;
    FResistanceMapAdapter = 1.0;
    FResistanceReducer = 1.0;
    FCalibration = 1.0;
    FEnergy = 0;
    SetDistance(0);
    SetTreviaResistance(0);
    SetCompetitorState(cstStopped);
    FVirtualSpeedAttenuation = 1.0;
    FKeyCount.fill(0);
}

TTreviaDeviceANT::~TTreviaDeviceANT() {
    // From here on the statistics step and the high-power reduction stand still.
    Destroying();
    if (ulma_ANT* link = OwnLink()) {
        link->Destroying = true;
        // The memos may die with the form before the link's last flush.
        link->SetLogMemo(nullptr);
        link->SetRawMemo(nullptr);
    }
    FDebugMemo = nullptr;
    Disconnect();
    // Disconnect keeps the link while destroying; nothing else would free it.
    if (GLinkOwner == this) DropLink();
    FPollTimer.reset();
}

void TTreviaDeviceANT::Notification(TComponent* AComponent, TOperation Operation) {
    TQorCustomDevice::Notification(AComponent, Operation);
    if (Operation != opRemove) return;
    if (AComponent == FResistanceMap) FResistanceMap = nullptr;
    if (AComponent == FMapCalibration) FMapCalibration = nullptr;
}

void TTreviaDeviceANT::SetResistanceMap(TResistanceMap* v) {
    if (v == FResistanceMap) return;
    if (FResistanceMap) FResistanceMap->RemoveFreeNotification(this);
    FResistanceMap = v;
    if (v) v->FreeNotification(this);
}

void TTreviaDeviceANT::SetMapCalibration(TMapCalibration* v) {
    if (v == FMapCalibration) return;
    if (FMapCalibration) FMapCalibration->RemoveFreeNotification(this);
    FMapCalibration = v;
    if (v) v->FreeNotification(this);
}

const std::string& TTreviaDeviceANT::GetVersion() const {
    static const std::string version = "1.0.0.10";
    return version;
}
void TTreviaDeviceANT::SetVersion(const std::string&) {}

void TTreviaDeviceANT::SetMsgUsbDongleNotFound(const std::string& v) {
    if (v != FMsgUsbDongleNotFound) FMsgUsbDongleNotFound = v;
}

void TTreviaDeviceANT::SetCadenceArrayLength(int32_t v) {
    FCadenceArrayLength = v;
    FCadenceAverage.SetSize(v);
}

// ---------------------------------------------------------------- connection

void TTreviaDeviceANT::CreatePollTimer() {
    FPollTimer = std::make_unique<TTimer>(nullptr);
    FPollTimer->SetInterval(PollIntervalMs);
    FPollTimer->OnTimer = [this](TObject*) { PollTick(); };
    FPollTimer->SetEnabled(true);
}

bool TTreviaDeviceANT::Connect(int32_t TrainerDeviceNumber, int32_t HrDeviceNumber,
                               int32_t ConsoleDeviceNumber) {
    FConnectedANT = false;
    // Freeing an open link runs its close sequence first.
    DropLink();
    TLinkCall call;
    GLink = std::make_unique<ulma_ANT>();
    GLinkOwner = this;
    ulma_ANT* link = GLink.get();
    link->RecieverType = FRecieverType;
    if (FDebugMemo) link->SetLogMemo(FDebugMemo);
    if (FDebugRaw) link->SetRawMemo(FDebugRaw);
    FConnectedANT = true;

    link->BaudRate = 57600;
    bool opened = false;
    for (uint8_t usb = 0; usb <= 7 && !opened; ++usb) opened = link->Connect(usb);
    // A handler run inside the waits may have dropped or replaced the link: the state is
    // then the one that handler's Disconnect or Connect left.
    if (OwnLink() != link) return false;
    if (!opened) {
        FConnectedANT = false;
        MessageBox(FMsgUsbDongleNotFound, "", MB_ICONERROR | MB_SYSTEMMODAL | MB_SETFOREGROUND | MB_TOPMOST);
        return false;
    }

    if (FDeviceTrainerNumber != 0) TrainerDeviceNumber = FDeviceTrainerNumber;
    if (FDeviceHrNumber != 0) HrDeviceNumber = FDeviceHrNumber;
    if (FDeviceNumberKeyboard != 0) ConsoleDeviceNumber = FDeviceNumberKeyboard;
    if (TrainerDeviceNumber < 0) TrainerDeviceNumber = 0;
    FHeartNoticeGiven = false;
    FConsoleNoticeGiven = false;

    link->SetChannelPlan(TrainerDeviceNumber, HrDeviceNumber, ConsoleDeviceNumber, FChannelTrainer,
                         FChannelSpeedCadence, FChannelConsole);
    link->HeartEnabled = FHeartEnabled;
    link->ConsoleEnabled = FEnableConsole;
    link->OpenChannels();
    if (OwnLink() != link) return false;

    const uint32_t start = GetTickCount();
    while (!link->ChannelAlive(1) && TicksSince(start) < TrainerWaitMs) {
        if (Application()->Terminated()) break;
        Delay(TrainerPollMs);
        if (OwnLink() != link) return false;
    }

    FConnectedANT = link->ChannelAlive(1);
    if (FConnectedANT) {
        if (!FPollTimer) CreatePollTimer();
        if (link->ChannelAlive(3) && link->KeepAlive()) link->KeepAlive()->SetEnabled(true);
        TQorCustomDevice::Connect();
    }
    return FConnectedANT;
}

bool TTreviaDeviceANT::Disconnect() {
    TQorCustomDevice::Disconnect();
    SetTimerStatsEnabled(false);
    ulma_ANT* link = OwnLink();
    if (link && link->KeepAlive()) {
        link->KeepAlive()->OnTimer = nullptr;
        link->KeepAlive()->SetEnabled(false);
    }
    FPollTimer.reset();
    TLinkCall call;
    if (link) {
        link->Close();
        Delay(400);
    }
    if (!HasState(csDestroying)) {
        FConnectedANT = false;
        if (link && OwnLink() == link) DropLink();
    }
    return true;
}

void TTreviaDeviceANT::DoDisconnected() {
    if (OnDisconnected) OnDisconnected(this);
}

void TTreviaDeviceANT::DoAlarmHeart(int32_t PercentDelta, bool isHigherLimit, bool AbortedByComponent,
                                    bool& doStop) {
    if (OnAlarmHeart) OnAlarmHeart(this, PercentDelta, isHigherLimit, AbortedByComponent, doStop);
}

bool TTreviaDeviceANT::ConnectedTrainer() const {
    ulma_ANT* link = OwnLink();
    return link && link->ChannelAlive(2);
}
bool TTreviaDeviceANT::ConnectedHr() const {
    ulma_ANT* link = OwnLink();
    return link && link->ChannelAlive(0);
}
bool TTreviaDeviceANT::ConnectedKeyboard() const {
    ulma_ANT* link = OwnLink();
    return link && link->ChannelAlive(3);
}
// The link raises its interference flag when a tracked device's pages stop arriving
// and the channel has to search again: the device went out of range.
bool TTreviaDeviceANT::OutOfRange() const {
    ulma_ANT* link = OwnLink();
    return link && link->Interference;
}
int32_t TTreviaDeviceANT::GetLinkQuality() const {
    ulma_ANT* link = OwnLink();
    return link ? link->GetLinkQuality() : 0;
}

void TTreviaDeviceANT::ReopenHrChannel() {
    FHeartNoticeGiven = false;
    if (ulma_ANT* link = OwnLink()) link->ReopenHrChannel();
}

void TTreviaDeviceANT::PairConsole() {
    FConsoleNoticeGiven = false;
    ulma_ANT* link = OwnLink();
    if (!link) return;
    link->SetChannelParams(3, 1, 16150, 18, 1, 0, 70, 0, TAntKey{});
    link->ReopenConsoleChannel();
    if (link->KeepAlive()) link->KeepAlive()->SetEnabled(true);
}

// Connection notices and console keys. A key reports once, when it is released.
void TTreviaDeviceANT::PollTick() {
    ulma_ANT* link = OwnLink();
    if (!link || link->ChannelCount() < 4) return;
    if (!FHeartNoticeGiven && link->ChannelAlive(1)) {
        FHeartNoticeGiven = true;
        if (OnHeartConnection) OnHeartConnection(this);
        // The handler may have disconnected.
        if (OwnLink() != link) return;
    }
    if (FEnableConsole && !FConsoleNoticeGiven && link->ChannelAlive(3) && OnConsoleConnection) {
        FConsoleNoticeGiven = true;
        OnConsoleConnection(this);
        if (OwnLink() != link) return;
    }
    if (!OnConsoleKeydown) return;
    std::array<bool, 4> pressed{};
    for (int k = 0; k < 4; ++k) pressed[k] = link->ConsoleKeys[k];
    for (int k = 0; k < 4; ++k)
        if (pressed[k]) {
            ++FKeyCount[k];
            break;
        }
    for (int k = 0; k < 4; ++k)
        if (!pressed[k] && FKeyCount[k] > 0) {
            FKeyCount.fill(0);
            OnConsoleKeydown(this, static_cast<TConsoleKey>(k));
            break;
        }
}

// ---------------------------------------------------------------- ride

bool TTreviaDeviceANT::Start() {
    // A disconnect stops the statistics of a running ride but leaves it running: such a
    // ride goes on as after a pause, or it could never be started again and its values
    // would stay frozen. A ride that runs is left alone.
    const bool cut = FCompetitorState == cstRunning && !GetTimerStatsEnabled();
    if (FCompetitorState == cstRunning && !cut) return false;
    DoBeforeStart();
    SetTimerStatsEnabled(false);
    BindStatsTimer();
    const TCompetitorState old = FCompetitorState;
    ulma_ANT* link = OwnLink();
    if (old != cstPaused && !cut) {
        FCadenceSum = 0;
        FTime = 0;
        SetDistance(0);
        SetMaxHeartRate(0);
        SetMaxSpeed(0);
        SetMaxCadence(0);
        SetMaxPower(0);
        // The next trainer status page takes its count as the new baseline.
        if (link) {
            link->NawCountBase = -1;
            link->NawEventCount = -1;
        }
    } else if (link) {
        link->NawCountBase = 2 * link->NawEventCount;
    }
    if (old == cstStopped) {
        SetCalories(0);
        FEnergy = 0;
        ResetRideValues();
        FTimerStats->Reset();
    }
    SetCourseFlagB(false);
    SetCourseFlagA(false);
    SetTreviaResistance(FInitialResistance);
    FAuxSum = 0;
    SetTimerStatsEnabled(true);
    SetCompetitorState(cstRunning);
    DoCompetitorStateChanged(old, FCompetitorState);
    return true;
}

bool TTreviaDeviceANT::Stop() {
    bool CanContinue = true;
    DoBeforeStop(CanContinue);
    if (!CanContinue) return false;
    SetTreviaResistance(FInitialResistance);
    SetTimerStatsEnabled(false);
    const TCompetitorState old = FCompetitorState;
    SetCompetitorState(cstStopped);
    DoCompetitorStateChanged(old, FCompetitorState);
    DoAfterStop();
    return true;
}

bool TTreviaDeviceANT::Pause() {
    DoBeforePause();
    SetTimerStatsEnabled(false);
    const TCompetitorState old = FCompetitorState;
    SetCompetitorState(cstPaused);
    DoCompetitorStateChanged(old, FCompetitorState);
    return true;
}

// ---------------------------------------------------------------- resistance

int32_t TTreviaDeviceANT::ClampResistance(int32_t v) {
    if (v > 255) v = 255;
    if (v < 0) v = 0;
    if (v == 240) v = 239;
    if (v == 247) v = 246;
    return v;
}

void TTreviaDeviceANT::SetTreviaResistance(int32_t v) {
    if (FRecieverType != ulmVexa || v == FTreviaResistance) return;
    v = ClampResistance(v);
    if (FSecurityActive && GetSpeed() == 0) v = 0;
    FTreviaResistance =
        static_cast<int32_t>(Round(static_cast<long double>(v) * FHighPowerReduceCoefficient));
    if (ulma_ANT* link = OwnLink()) link->SetResistance(v);
}

void TTreviaDeviceANT::SetInitialResistance(int32_t v) {
    v = ClampResistance(v);
    if (v == FInitialResistance) return;
    FInitialResistance = v;
    SetTreviaResistance(v);
}

void TTreviaDeviceANT::SetTreviaElevation(int32_t v) {
    if (v != FTreviaElevation) FTreviaElevation = v;
}

void TTreviaDeviceANT::SetHighPowerReduceCoefficient(double v) {
    if (v == FHighPowerReduceCoefficient) return;
    if (v < FHighPowerReduceCoefficientMinimum) v = FHighPowerReduceCoefficientMinimum;
    FHighPowerReduceCoefficient = v;
}

// ---------------------------------------------------------------- link settings

void TTreviaDeviceANT::SetRollDiameter(long double v) {
    if (v != FRollDiameter) FRollDiameter = v;
    if (ulma_ANT* link = OwnLink()) link->RollDiameter = static_cast<double>(v);
}

uint8_t TTreviaDeviceANT::eventPerTurn() const {
    ulma_ANT* link = OwnLink();
    const uint8_t v = link ? link->EventPerTurn.load() : FEventPerTurn;
    return v == 0 ? 1 : v;
}

void TTreviaDeviceANT::SeteventPerTurn(uint8_t v) {
    FEventPerTurn = v == 0 ? 1 : v;
    if (ulma_ANT* link = OwnLink()) link->EventPerTurn = FEventPerTurn;
}

// Device numbers: stored here, and written into the channel record while a link has one.
static void WriteChannelNumber(ulma_ANT* link, int channel, int32_t v) {
    if (!link) return;
    if (ulma_Channel* rec = link->Channel(channel)) rec->DeviceNumber = v;
}
static int32_t ReadChannelNumber(ulma_ANT* link, int channel, int32_t stored) {
    if (!link) return stored;
    ulma_Channel* rec = link->Channel(channel);
    return rec ? rec->DeviceNumber.load() : 0;
}

int32_t TTreviaDeviceANT::DeviceTrainerNumber() const {
    return ReadChannelNumber(OwnLink(), 1, FDeviceTrainerNumber);
}
void TTreviaDeviceANT::SetDeviceTrainerNumber(int32_t v) {
    FDeviceTrainerNumber = v;
    WriteChannelNumber(OwnLink(), 1, v);
}
int32_t TTreviaDeviceANT::DeviceHrNumber() const {
    return ReadChannelNumber(OwnLink(), 0, FDeviceHrNumber);
}
void TTreviaDeviceANT::SetDeviceHrNumber(int32_t v) {
    FDeviceHrNumber = v;
    WriteChannelNumber(OwnLink(), 0, v);
}
int32_t TTreviaDeviceANT::DeviceNumberKeyboard() const {
    return ReadChannelNumber(OwnLink(), 3, FDeviceNumberKeyboard);
}
void TTreviaDeviceANT::SetDeviceNumberKeyboard(int32_t v) {
    FDeviceNumberKeyboard = v;
    WriteChannelNumber(OwnLink(), 3, v);
}

// ---------------------------------------------------------------- logging

void TTreviaDeviceANT::SetLogFilter(bool Enabled, int32_t Channel) {
    ulma_ANT* link = OwnLink();
    if (!link) return;
    link->FilterOn = Enabled;
    link->FilterChannel = Channel;
}
void TTreviaDeviceANT::SetLogEnabled(bool On) {
    if (ulma_ANT* link = OwnLink()) link->LogEnabled = On;
}
void TTreviaDeviceANT::SetRawLogEnabled(bool On) {
    if (ulma_ANT* link = OwnLink()) link->RawLogEnabled = On;
}

// ---------------------------------------------------------------- commands and EPROM
// Without a link nothing can be sent: the operations report failure.

bool TTreviaDeviceANT::ConsoleCommand8() {
    TLinkCall call;
    ulma_ANT* link = OwnLink();
    return link && link->ConsoleCommand8();
}
bool TTreviaDeviceANT::ConsoleCommand9(bool Flag) {
    TLinkCall call;
    ulma_ANT* link = OwnLink();
    return link && link->ConsoleCommand9(Flag);
}
uint32_t TTreviaDeviceANT::RequestDistance() {
    TLinkCall call;
    ulma_ANT* link = OwnLink();
    return link ? link->RequestDistance() : 0;
}
bool TTreviaDeviceANT::TrainerCommand4() {
    ulma_ANT* link = OwnLink();
    if (!link) return false;
    link->TrainerCommand4();
    return true;
}
bool TTreviaDeviceANT::TrainerCommand8(uint32_t Value) {
    ulma_ANT* link = OwnLink();
    if (!link) return false;
    link->TrainerCommand8(Value);
    return true;
}
bool TTreviaDeviceANT::ReadConsoleEprom(uint16_t Address, uint8_t Length) {
    TLinkCall call;
    ulma_ANT* link = OwnLink();
    return link && link->ReadConsoleEprom(Address, Length);
}
bool TTreviaDeviceANT::WriteConsoleEprom(uint16_t Address, uint8_t Length, uint8_t D0, uint8_t D1, uint8_t D2,
                                         uint8_t D3) {
    TLinkCall call;
    ulma_ANT* link = OwnLink();
    return link && link->WriteConsoleEprom(Address, Length, D0, D1, D2, D3);
}
bool TTreviaDeviceANT::ReadTrainerEprom(uint16_t Address, uint8_t Length) {
    TLinkCall call;
    ulma_ANT* link = OwnLink();
    if (!link) return false;
    const bool done = link->ReadTrainerEprom(Address, Length);
    link->HoldTrainerEprom([] { Delay(2000); });
    return done;
}
bool TTreviaDeviceANT::WriteTrainerEprom(uint16_t Address, uint8_t Length, uint8_t D0, uint8_t D1, uint8_t D2,
                                         uint8_t D3) {
    TLinkCall call;
    ulma_ANT* link = OwnLink();
    return link && link->WriteTrainerEprom(Address, Length, D0, D1, D2, D3);
}

// The reply holds six byte slots; other indices read as 0.
static uint16_t ReplyWord(const ulma_ANT::TEpromRecord& rec, int32_t i) {
    if (i < 0 || i >= static_cast<int32_t>(rec.Reply.size())) return 0;
    return rec.Reply[i];
}
uint16_t TTreviaDeviceANT::GetConsoleEpromWord(int32_t i) const {
    ulma_ANT* link = OwnLink();
    return link ? ReplyWord(link->ConsoleEprom, i) : 0;
}
uint16_t TTreviaDeviceANT::GetTrainerEpromWord(int32_t i) const {
    ulma_ANT* link = OwnLink();
    return link ? ReplyWord(link->TrainerEprom, i) : 0;
}

// ---------------------------------------------------------------- heart-rate strap

#define HR_GETTER(Name, Field)                    \
    uint32_t TTreviaDeviceANT::Name() const {     \
        ulma_ANT* link = OwnLink();               \
        return link ? uint32_t(link->Field) : 0u; \
    }
HR_GETTER(GetHrBeatTime, HeartBeatEventTime)
HR_GETTER(GetHrBeatCount, HeartBeatCount)
HR_GETTER(GetHrOperatingTime, HrOperatingTime)
HR_GETTER(GetHrManufacturerId, HrManufacturerId)
HR_GETTER(GetHrSerialNumber, HrSerialNumber)
HR_GETTER(GetHrHardwareVersion, HrHardwareVersion)
HR_GETTER(GetHrSoftwareVersion, HrSoftwareVersion)
HR_GETTER(GetHrModelNumber, HrModelNumber)
HR_GETTER(GetHrPreviousBeatTime, HrPreviousBeatTime)
#undef HR_GETTER
