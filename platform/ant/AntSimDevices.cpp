// The simulated devices: what each one puts on the air and how it answers the host.
#include <cmath>

#include "platform/ant/AntSim.h"
#include "platform/rtl/ByteCodec.h"

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

TAntPage Answer(uint8_t ok, uint8_t command) {
    return TAntPage{ok, command, 0, 0, 0, 0, 0, 0};
}
constexpr uint8_t ACK_PAGE = 0xFF;
constexpr uint8_t NACK_PAGE = 0xFE;

// EPROM read [2, a lo, a hi, l] and write [3, a lo, a hi, l, d0..d3] on a memory.
template <size_t N>
TAntPage MemoryCommand(std::array<uint8_t, N>& mem, const TAntPage& p, bool writeProtected) {
    const unsigned a = bytes::GetU16(&p[1]), l = p[3];
    if (p[0] == 2) {
        if (l < 1 || l > 6 || a + l > N) return Answer(NACK_PAGE, 2);
        TAntPage r{2, 0, 0, 0, 0, 0, 0, 0};
        for (unsigned i = 0; i < l; ++i) r[1 + i] = mem[a + i];
        return r;
    }
    if (l < 1 || l > 4 || a + l > N || writeProtected) return Answer(NACK_PAGE, 3);
    for (unsigned i = 0; i < l; ++i) mem[a + i] = p[4 + i];
    return Answer(ACK_PAGE, 3);
}

// Events of a steady rate (revolutions or beats per minute) up to `clock` seconds:
// advances the event count and the 1/1024 s time of the last event.
void Events(double rpm, double clock, double& next, uint16_t& time, uint16_t& count,
            uint16_t* prevTime = nullptr) {
    if (rpm <= 0) {
        next = -1;
        return;
    }
    if (next < 0) next = clock;
    while (next <= clock) {
        if (prevTime) *prevTime = time;
        time = uint16_t(int64_t(std::llround(next * 1024.0)) & 0xFFFF);
        ++count;
        next += 60.0 / rpm;
    }
}

}  // namespace

// ---------------------------------------------------------------------------------
// Common

TAntSimRadio TAntSimDevice::Radio() const {
    Guard g(FMutex);
    return FRadio;
}
void TAntSimDevice::SetRadio(const TAntSimRadio& r) {
    Guard g(FMutex);
    FRadio = r;
}
void TAntSimDevice::SetDeviceNumber(uint16_t n) {
    Guard g(FMutex);
    FRadio.DeviceNumber = n;
}
void TAntSimDevice::SetTransmissionType(uint8_t t) {
    Guard g(FMutex);
    FRadio.TransmissionType = t;
}
bool TAntSimDevice::Present() const {
    Guard g(FMutex);
    return FPresent;
}
void TAntSimDevice::SetPresent(bool on) {
    Guard g(FMutex);
    FPresent = on;
}
void TAntSimDevice::QueuePage(const TAntPage& page) {
    Guard g(FMutex);
    FQueued.push_back(page);
}
std::vector<TAntSimReceived> TAntSimDevice::Received() const {
    Guard g(FMutex);
    return FReceived;
}
void TAntSimDevice::ClearReceived() {
    Guard g(FMutex);
    FReceived.clear();
}
uint32_t TAntSimDevice::PagesSent() const {
    Guard g(FMutex);
    return FPagesSent;
}
void TAntSimDevice::LosePages(int count) {
    Guard g(FMutex);
    FLoseCount = count;
}
void TAntSimDevice::SetPageLoss(double p) {
    Guard g(FMutex);
    FLossP = p;
}
void TAntSimDevice::FailAcknowledged(int count) {
    Guard g(FMutex);
    FFailAckCount = count;
}
void TAntSimDevice::SetAcknowledgedFailure(double p) {
    Guard g(FMutex);
    FFailAckP = p;
}
void TAntSimDevice::SetMute(bool mute) {
    Guard g(FMutex);
    FMute = mute;
}
void TAntSimDevice::Reply(const TAntPage& page) {
    if (!FMute) FReplies.push_back(page);
}

// ---------------------------------------------------------------------------------
// Parameter memory

template <size_t N>
std::array<uint8_t, N> TAntSimMemoryDevice<N>::Eprom() const {
    Guard g(this->FMutex);
    return FEprom;
}
template <size_t N>
void TAntSimMemoryDevice<N>::SetEprom(const std::array<uint8_t, N>& bytes) {
    Guard g(this->FMutex);
    FEprom = bytes;
}
template <size_t N>
void TAntSimMemoryDevice<N>::SetEpromByte(uint8_t address, uint8_t value) {
    Guard g(this->FMutex);
    if (address < N) FEprom[address] = value;
}
template <size_t N>
void TAntSimMemoryDevice<N>::SetWriteProtected(bool on) {
    Guard g(this->FMutex);
    FWriteProtected = on;
}

template class TAntSimMemoryDevice<32>;
template class TAntSimMemoryDevice<17>;

// ---------------------------------------------------------------------------------
// Trainer

TAntSimTrainer::TAntSimTrainer(std::recursive_mutex& mutex) : TAntSimMemoryDevice(mutex) {
    // Parameter memory in the layout of the console's field map.
    const uint16_t number = AntSimTrainerNumber;
    const uint16_t p1 = 1200, p2 = 2500, p3 = 4000;
    const uint32_t distance = 74565;  // km
    TByteWriter w(FEprom.data(), FEprom.size());
    w.U8(0x00);
    w.U8(0x12);                 // 0x01 firmware version
    w.U16(number);              // 0x02 device number
    w.U16(p1).U16(p2).U16(p3);  // 0x04 calibration P1, P2, P3
    w.U8(10).U8(25).U8(40);     // 0x0A V1 V2 V3
    w.U8(20).U8(60).U8(120);    // 0x0D B1 B2 B3
    w.U8(1);                    // 0x10 unit type
    w.U8(15).U8(6).U8(9);       // 0x11 production date 15.06.2009
    w.U8(30).U8(50);            // 0x14 roll diameter 30.50 mm
    w.U24(distance);            // 0x16 total distance
    w.U8(2);                    // 0x19 events per turn
    w.U8(3);                    // 0x1A Tx power
    w.U8(71);                   // 0x1B Tx channel
    w.U8(57);                   // 0x1C speed/cadence Tx channel
    w.U8(0x80);                 // 0x1D zero position
    w.U8(0x40);                 // 0x1E excursion
    w.U8(0);                    // 0x1F turning direction
    FTotalDistance = distance;
    SetKind(TAntSimTrainerKind::Vexa);
    FRadio.DeviceNumber = number;
}

TAntSimTrainerKind TAntSimTrainer::Kind() const {
    Guard g(FMutex);
    return FKind;
}

void TAntSimTrainer::SetKind(TAntSimTrainerKind k) {
    Guard g(FMutex);
    FKind = k;
    uint16_t number = FRadio.DeviceNumber;
    if (k == TAntSimTrainerKind::Vexa)
        FRadio = {number, 19, 1, 1, 31814, 71};
    else
        FRadio = {number, 121, 1, 0, 16172, 57};
}

uint32_t TAntSimTrainer::TotalDistance() const {
    Guard g(FMutex);
    return FTotalDistance;
}
void TAntSimTrainer::SetTotalDistance(uint32_t d) {
    Guard g(FMutex);
    FTotalDistance = d & 0xFFFFFF;
}
uint8_t TAntSimTrainer::ResistanceLevel() const {
    Guard g(FMutex);
    return FResistance;
}
uint16_t TAntSimTrainer::BrakeValue() const {
    Guard g(FMutex);
    return FBrake;
}
void TAntSimTrainer::SetSpeed(double kmh) {
    Guard g(FMutex);
    FSpeed = kmh;
}
void TAntSimTrainer::SetCadence(int rpm) {
    Guard g(FMutex);
    FCadence = rpm;
}
void TAntSimTrainer::SetFlag(bool on) {
    Guard g(FMutex);
    FFlag = on;
}

TAntPage TAntSimTrainer::RegularPage(double) {
    if (FKind == TAntSimTrainerKind::Vexa) return TAntPage{1, FResistance, 0, 0, 0, 0, 0, 0};
    // NAW: decimal digits in nibbles.
    long tenths = std::lround(std::fmax(0.0, std::fmin(FSpeed, 999.9)) * 10);
    int cad = FCadence < 0 ? 0 : FCadence > 999 ? 999 : FCadence;
    TAntPage p{};
    p[0] = uint8_t(((tenths / 10 % 10) << 4) | (tenths % 10));
    p[1] = uint8_t(((tenths / 100 % 10) << 4) | (tenths / 1000 % 10));
    bytes::PutU16(&p[2], FCounter);
    p[4] = uint8_t((cad % 10) << 4);
    p[5] = uint8_t(((cad / 10 % 10) << 4) | (cad / 100 % 10));
    p[6] = FFlag ? 1 : 0;
    ++FCounter;
    return p;
}

void TAntSimTrainer::Receive(const TAntPage& p) {
    if (FKind == TAntSimTrainerKind::NAW) {
        FBrake = bytes::GetU16(&p[0]);
        return;
    }
    switch (p[0]) {
        case 1:
            FResistance = p[1];
            return;
        case 2:
        case 3:
            Reply(MemoryCommand(FEprom, p, FWriteProtected));
            return;
        case 4:
            bytes::PutU24(&FEprom[0x16], FTotalDistance);
            Reply(Answer(ACK_PAGE, 4));
            return;
        case 7: {
            TAntPage r{7, 0, 0, 0, 0, 0, 0, 0};
            bytes::PutU24(&r[1], FTotalDistance);
            Reply(r);
            return;
        }
        case 8:
            FTotalDistance = bytes::GetU24(&p[1]);
            Reply(Answer(ACK_PAGE, 8));
            return;
        default:
            Reply(Answer(NACK_PAGE, p[0]));
            return;
    }
}

// ---------------------------------------------------------------------------------
// Console

TAntSimConsole::TAntSimConsole(std::recursive_mutex& mutex) : TAntSimMemoryDevice(mutex) {
    const uint16_t number = AntSimConsoleNumber, trainer = AntSimTrainerNumber;
    TByteWriter w(FEprom.data(), FEprom.size());
    w.U8(0x00);
    w.U8(0x10);                     // 0x01 firmware version
    w.U16(number);                  // 0x02 device number
    w.U8(1);                        // 0x04 console type
    w.U8(20).U8(3).U8(10);          // 0x05 production date 20.03.2010
    w.U8(40).U8(40).U8(50).U8(50);  // 0x08 key sensibilities
    w.U16(trainer);                 // 0x0C trainer device number
    w.U8(3);                        // 0x0E Tx power
    w.U8(70);                       // 0x0F Tx channel to the PC
    w.U8(71);                       // 0x10 Tx channel to the trainer
    FRadio = {number, 18, 1, 1, 16150, 70};
}

void TAntSimConsole::SetKey(int key, bool down) {
    Guard g(FMutex);
    if (key < 0 || key > 3) return;
    if (FKeys[key] != down) FSleeping = false;
    FKeys[key] = down;
}
bool TAntSimConsole::Key(int key) const {
    Guard g(FMutex);
    return key >= 0 && key <= 3 && FKeys[key];
}
bool TAntSimConsole::Selected() const {
    Guard g(FMutex);
    return FSelected;
}
bool TAntSimConsole::Sleeping() const {
    Guard g(FMutex);
    return FSleeping;
}
void TAntSimConsole::Wake() {
    Guard g(FMutex);
    FSleeping = false;
}
uint32_t TAntSimConsole::KeepAlives() const {
    Guard g(FMutex);
    return FKeepAlives;
}
void TAntSimConsole::SetRefuseKeepAlive(bool on) {
    Guard g(FMutex);
    FRefuseKeepAlive = on;
}

TAntPage TAntSimConsole::RegularPage(double) {
    return TAntPage{5, uint8_t(FKeys[0]), uint8_t(FKeys[1]), uint8_t(FKeys[2]), uint8_t(FKeys[3]), 0, 0, 0};
}

void TAntSimConsole::Receive(const TAntPage& p) {
    switch (p[0]) {
        case 2:
        case 3:
            Reply(MemoryCommand(FEprom, p, FWriteProtected));
            return;
        case 8:
            Reply(Answer(ACK_PAGE, 8));
            FSleeping = true;
            return;
        case 9:
            FSelected = p[1] != 0;
            Reply(Answer(ACK_PAGE, 9));
            return;
        case 0x0A:
            ++FKeepAlives;
            Reply(Answer(FRefuseKeepAlive ? NACK_PAGE : ACK_PAGE, 0x0A));
            return;
        default:
            Reply(Answer(NACK_PAGE, p[0]));
            return;
    }
}

// ---------------------------------------------------------------------------------
// Heart-rate strap

void TAntSimHeartRate::SetHeartRate(uint8_t bpm) {
    Guard g(FMutex);
    FRate = bpm;
}
uint8_t TAntSimHeartRate::HeartRate() const {
    Guard g(FMutex);
    return FRate;
}
void TAntSimHeartRate::SetProductInfo(uint8_t manufacturer, uint16_t serial, uint8_t hardware,
                                      uint8_t software, uint8_t model) {
    Guard g(FMutex);
    FManufacturer = manufacturer;
    FSerial = serial;
    FHardware = hardware;
    FSoftware = software;
    FModel = model;
}
void TAntSimHeartRate::SetOperatingTime(uint32_t seconds) {
    Guard g(FMutex);
    FOperating = seconds;
}

TAntSimHeartRate::TAntSimHeartRate(std::recursive_mutex& mutex) : TAntSimDevice(mutex) {
    FRadio = {AntSimHeartRateNumber, 120, 1, 0, 8070, 57};
}

TAntPage TAntSimHeartRate::RegularPage(double slotSeconds) {
    FClock += slotSeconds;
    FOperating += slotSeconds;
    Events(FRate, FClock, FNextBeat, FBeatTime, FBeatCount, &FPrevBeatTime);
    static const uint8_t pattern[6] = {4, 1, 4, 2, 4, 3};
    uint32_t block = FMessage / 4;
    ++FMessage;
    uint8_t page = pattern[block % 6];
    TAntPage p{};
    p[0] = uint8_t(page | ((block & 1) ? 0x80 : 0));
    switch (page) {
        case 1: {
            bytes::PutU24(&p[1], uint32_t(FOperating / 2));
            break;
        }
        case 2:
            p[1] = FManufacturer;
            bytes::PutU16(&p[2], FSerial);
            break;
        case 3:
            p[1] = FHardware;
            p[2] = FSoftware;
            p[3] = FModel;
            break;
        case 4:
            bytes::PutU16(&p[2], FPrevBeatTime);
            break;
    }
    bytes::PutU16(&p[4], FBeatTime);
    p[6] = uint8_t(FBeatCount);
    p[7] = FRate;
    return p;
}

// ---------------------------------------------------------------------------------
// Speed/cadence sensor

TAntSimSpeedCadence::TAntSimSpeedCadence(std::recursive_mutex& mutex) : TAntSimDevice(mutex) {
    FRadio = {AntSimTrainerNumber, 121, 1, 0, 8086, 57};
}

void TAntSimSpeedCadence::SetCadence(double rpm) {
    Guard g(FMutex);
    FCadence = rpm;
}
void TAntSimSpeedCadence::SetWheelRpm(double rpm) {
    Guard g(FMutex);
    FWheel = rpm;
}

TAntPage TAntSimSpeedCadence::RegularPage(double slotSeconds) {
    FClock += slotSeconds;
    Events(FCadence, FClock, FNextCrank, FCrankTime, FCrankRevs);
    Events(FWheel, FClock, FNextWheel, FWheelTime, FWheelRevs);
    TAntPage p{};
    TByteWriter(p.data(), p.size()).U16(FCrankTime).U16(FCrankRevs).U16(FWheelTime).U16(FWheelRevs);
    return p;
}
