// The ANT link's send side on the main thread: resistance and trainer commands, console
// commands, the EPROM exchange of trainer and console, and the console keep-alive.
#include "device/ulma_ant_class.h"
#include "platform/ant/ANT_DLL.h"
#include "platform/framework/Application.h"
#include "platform/framework/Dialogs.h"
#include "platform/rtl/ByteCodec.h"
#include "platform/rtl/Tick.h"

namespace {

// Marks an EPROM record busy for the length of one operation. A second operation started
// from inside the first one's pumping wait would take the first one's reply: it is refused.
template <class E>
class TEpromBusy {
public:
    TEpromBusy(std::atomic<bool>& Busy, const char* Text) : FBusy(Busy) {
        if (FBusy.exchange(true)) throw E(Text);
    }
    ~TEpromBusy() { FBusy = false; }
    TEpromBusy(const TEpromBusy&) = delete;
    TEpromBusy& operator=(const TEpromBusy&) = delete;

private:
    std::atomic<bool>& FBusy;
};

const char* const kTrainerBusy = "Trainer EPROM busy: another EPROM operation is waiting for its reply";
const char* const kConsoleBusy = "Console EPROM busy: another EPROM operation is waiting for its reply";

// Stores the request of one EPROM operation in its record.
void StoreRequest(ulma_ANT::TEpromRecord& r, uint16_t Address, uint8_t Length, uint8_t D0 = 0, uint8_t D1 = 0,
                  uint8_t D2 = 0, uint8_t D3 = 0) {
    r.Address = Address;
    r.Length = Length;
    r.Data[0] = D0;
    r.Data[1] = D1;
    r.Data[2] = D2;
    r.Data[3] = D3;
}

}  // namespace

std::array<uint8_t, 8> EpromPage(uint8_t Page, uint16_t Address, uint8_t Length, uint8_t D0, uint8_t D1,
                                 uint8_t D2, uint8_t D3) {
    std::array<uint8_t, 8> p{};
    TByteWriter(p.data(), p.size()).U8(Page).U16(Address).U8(Length).U8(D0).U8(D1).U8(D2).U8(D3);
    return p;
}

bool ulma_ANT::WaitFor(const std::function<bool()>& Done, uint32_t Start, uint32_t Limit, uint32_t Step,
                       bool LimitInclusive) {
    for (;;) {
        ulma_ant_class::Delay(Step);
        if (Done()) return true;
        const uint32_t elapsed = TicksSince(Start);
        if (LimitInclusive ? elapsed >= Limit : elapsed > Limit) return false;
        // A terminating application makes every pumping wait return at once: give up.
        if (Application()->Terminated()) return Done();
    }
}

void ulma_ANT::SetResistance(int32_t Level) {
    EnableTransmit();
    ResistanceLevel = static_cast<uint8_t>(Level);
    ResistancePending = true;
}

void ulma_ANT::TrainerCommand4() {
    Command4Pending = true;
}

void ulma_ANT::TrainerCommand8(uint32_t Value) {
    Command8Value = Value & 0xFFFFFF;
    Command8Pending = true;
}

uint32_t ulma_ANT::RequestDistance() {
    TotalDistance = 0;
    DistancePending = true;
    const uint32_t start = GetTickCount();
    if (!WaitFor([this] { return !DistancePending; }, start, 10000, 200, true)) {
        // No reply: a 0 would read as the trainer's distance.
        DistancePending = false;
        throw ERdEPROM("Time Out Read Total Distance!");
    }
    return TotalDistance;
}

bool ulma_ANT::ConsoleCommand8() {
    ConsoleCommand8Ack = false;
    SendCountedPage(3, {8, 0, 0, 0, 0, 0, 0, 0}, false);
    const uint32_t start = GetTickCount();
    const bool acknowledged = WaitFor([this] { return ConsoleCommand8Ack.load(); }, start, 10000, 200, true);
    if (FKeepAlive) FKeepAlive->SetEnabled(false);
    return acknowledged;
}

bool ulma_ANT::ConsoleCommand9(bool Value) {
    ConsoleCommand9Value = Value;
    ConsoleCommand9Ack = false;
    ConsoleCommand9Pending = true;
    const uint32_t start = GetTickCount();
    const bool acknowledged = WaitFor([this] { return ConsoleCommand9Ack.load(); }, start, 10000, 200, true);
    if (!acknowledged) ConsoleCommand9Pending = false;
    return acknowledged;
}

// Each failed acknowledged send restarts the read, all within one 20 s deadline.
bool ulma_ANT::ReadTrainerEprom(uint16_t Address, uint8_t Length) {
    TEpromRecord& r = TrainerEprom;
    TEpromBusy<ERdEPROM> busy(r.Busy, kTrainerBusy);
    bool started = false;
    uint32_t start = 0;
    for (;;) {
        StoreRequest(r, Address, Length);
        r.ReadDone = false;
        r.Retry = false;
        AddLogLine(ltCommand, "########## RICHIESTA EPROM LETTURA NEW ########");
        SendCountedPage(1, EpromPage(2, Address, Length), true);
        if (!started) {
            start = GetTickCount();
            started = true;
        }
        WaitFor([&r] { return r.ReadDone || r.Retry; }, start, 20000, 100, false);
        if (r.ReadDone || !r.Retry || TicksSince(start) > 20000 || !OwnsStick()) break;
    }
    const bool done = r.ReadDone;
    if (!done) ShowMessage("Time Out Read new EPROM!");
    return done;
}

void ulma_ANT::HoldTrainerEprom(const std::function<void()>& Wait) {
    TEpromBusy<ERdEPROM> busy(TrainerEprom.Busy, kTrainerBusy);
    Wait();
}

bool ulma_ANT::WriteTrainerEprom(uint16_t Address, uint8_t Length, uint8_t D0, uint8_t D1, uint8_t D2,
                                 uint8_t D3) {
    TEpromRecord& r = TrainerEprom;
    TEpromBusy<EWrEPROM> busy(r.Busy, kTrainerBusy);
    StoreRequest(r, Address, Length, D0, D1, D2, D3);
    r.WriteDone = false;
    r.WritePending = true;
    const uint32_t start = GetTickCount();
    if (!WaitFor([&r] { return r.WriteDone.load(); }, start, 20000, 100, false)) {
        // A write that timed out must not reach the trainer later.
        r.WritePending = false;
        throw EWrEPROM("Time Out Write Trainer EPROM!");
    }
    return true;
}

bool ulma_ANT::ReadConsoleEprom(uint16_t Address, uint8_t Length) {
    TEpromRecord& r = ConsoleEprom;
    TEpromBusy<ERdEPROM> busy(r.Busy, kConsoleBusy);
    StoreRequest(r, Address, Length);
    r.ReadDone = false;
    AddLogLine(ltCommand, "########## RICHIESTA EPROM CONSOLE LETTURA ########");
    SendCountedPage(3, EpromPage(2, Address, Length), true);
    const uint32_t start = GetTickCount();
    if (!WaitFor([&r] { return r.ReadDone.load(); }, start, 20000, 100, false))
        throw ERdEPROM("Time Out Read Console EPROM!");
    return true;
}

bool ulma_ANT::WriteConsoleEprom(uint16_t Address, uint8_t Length, uint8_t D0, uint8_t D1, uint8_t D2,
                                 uint8_t D3) {
    TEpromRecord& r = ConsoleEprom;
    TEpromBusy<EWrEPROM> busy(r.Busy, kConsoleBusy);
    StoreRequest(r, Address, Length, D0, D1, D2, D3);
    r.WriteDone = false;
    AddLogLine(ltCommand, "########## RICHIESTA EPROM CONSOLE SCRITTURA  ########");
    SendCountedPage(3, EpromPage(3, Address, Length, D0, D1, D2, D3), false);
    const uint32_t start = GetTickCount();
    if (!WaitFor([&r] { return r.WriteDone.load(); }, start, 20000, 100, false))
        throw EWrEPROM("Time Out Write Console EPROM!");
    return true;
}

void ulma_ANT::KeepAliveTimer(TObject* /*Sender*/) {
    ulma_Channel* rec = Channel(3);
    if (!rec) return;
    if (!ConsoleEnabled) {
        if (FKeepAlive) FKeepAlive->SetEnabled(false);
        return;
    }
    const std::array<uint8_t, 8> p{0x0A, 0, 0, 0, 0, 0, 0, 0};
    SendPage(3, p, false);
    if (FrameLogged(3))
        AddLogLine(
            ltCommand,
            Format("Tx(%d): [%.2X][%.2X][%.2X][%.2X][%.2X][%.2X][%.2X][%.2X] RF Freq:%d TxCount:%d   (KAL)",
                   3, p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], rec->RFFrequency.load(),
                   TxFrames.load()));
}
