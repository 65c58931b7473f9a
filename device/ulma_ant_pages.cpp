// The ANT link's receive side: channel events, page decoding, the trainer's answer,
// failure counters and the reopening of channels after search time-outs.
#include <cstdlib>

#include "device/ulma_ant_class.h"
#include "platform/ant/ANT_DLL.h"
#include "platform/rtl/ByteCodec.h"
#include "platform/rtl/Math.h"

namespace {

const char* const kHandleInterference = "It should call \"HandleInterference\". Removed from cose.";

// One decimal digit of a NAW page: a 4-bit group, most significant bit first.
int Digit(uint8_t Value, bool High) {
    const uint8_t base = High ? 4 : 0;
    return 8 * TestBit(Value, base + 3) + 4 * TestBit(Value, base + 2) + 2 * TestBit(Value, base + 1) +
           TestBit(Value, base + 0);
}

}  // namespace

bool TestBit(uint8_t Value, uint8_t Bit) {
    return Bit < 8 && ((Value >> Bit) & 1) != 0;
}

void DecodeTrainerPage(ulma_ANT& Link, const uint8_t* Buffer, float& Speed, int32_t& Cadence, int32_t& Count,
                       uint8_t& Flag) {
    const uint8_t* p = Buffer + 1;
    const long double speed =
        Digit(p[0], true) + Digit(p[0], false) / 10.0L + Digit(p[1], true) * 10 + Digit(p[1], false) * 100;
    Speed = static_cast<float>(speed);
    Cadence = Digit(p[4], true) + Digit(p[5], true) * 10 + Digit(p[5], false) * 100;
    const int32_t raw = 2 * bytes::GetU16(&p[2]);
    if (Count == -1) Link.NawCountBase = raw;
    Count = raw - Link.NawCountBase;
    Flag = p[6] != 0 ? 1 : 0;
}

bool ulma_ANT::ChannelEvent(uint8_t Channel, uint8_t Event) {
    if (Channel >= MaxChannels) return false;
    switch (Event) {
        case EVENT_RX_ACKNOWLEDGED:
        case EVENT_RX_BROADCAST:
            ReceivedPage(Channel);
            break;
        case EVENT_RX_SEARCH_TIMEOUT:
            SearchTimeout(Channel);
            break;
        case EVENT_RX_FAIL: {
            ulma_Channel* rec = this->Channel(Channel);
            const int rf = rec ? rec->RFFrequency.load() : 0;
            const float noConnect = NoConnectCount;
            const std::string line =
                Format("Rx Fail RF Freq:%d NoConnectCount:%f.0 Channel: %d", rf, noConnect, Channel);
            if (FrameLogged(Channel)) AddLogLine(ltCommand, line);
            ++RxFailures;
            NoConnectCount = noConnect + 1;
            break;
        }
        case EVENT_TX:
            TransmitEvent(Channel);
            break;
        case EVENT_TRANSFER_TX_COMPLETED:
            TransferResult(Channel, true);
            break;
        case EVENT_TRANSFER_TX_FAILED:
            TransferResult(Channel, false);
            break;
        case EVENT_CHANNEL_CLOSED:
            ChannelClosed = true;
            AddLogLine(ltCommand, "Ack - Channel Close" + IntToStr(Channel));
            break;
        case EVENT_RX_FAIL_GO_TO_SEARCH:
            NoConnectCount = 0;
            if (InterferenceArmed) {
                InterferenceArmed = false;
                AddLogLine(ltCommand, kHandleInterference);
                Interference = true;
            } else {
                Interference = false;
            }
            break;
        default:
            break;
    }
    return true;
}

void ulma_ANT::ReceivedPage(uint8_t Channel) {
    uint8_t rx[9];
    for (int i = 0; i < 9; ++i) rx[i] = FRxBuffers[Channel][i];
    const uint8_t* p = rx + 1;
    SearchReopen[Channel] = 0;
    ulma_Channel* rec = this->Channel(Channel);
    const int rf = rec ? rec->RFFrequency.load() : 0;
    if (FRawMemo.load() && FrameLogged(Channel))
        AddLogLine(
            ltRaw,
            Format("Rx(%d): [%.2X][%.2X][%.2X][%.2X][%.2X][%.2X][%.2X][%.2X] RF Freq:%d RxCount:%d", Channel,
                   rx[0], rx[1], rx[2], rx[3], rx[4], rx[5], rx[6], rx[7], rf, TxFrames.load()));
    if (rec && rec->DeviceNumber == 0) ANT_RequestMessage(Channel, MESG_CHANNEL_ID_ID);
    ++GoodEvents;
    NoConnectCount = 0;
    auto buildRecv = [&] {
        FLastRecvLine =
            Format("Recv(%d): [%.2X][%.2X][%.2X][%.2X][%.2X][%.2X][%.2X][%.2X] RF Freq:%d RxCount:%d",
                   Channel, p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], rf, GoodEvents.load());
    };
    buildRecv();
    switch (Channel) {
        case 0:
            DecodeHeartRate(p);
            break;
        case 1:
            DecodeTrainer(p);
            break;
        case 2:
            DecodeSpeedCadence(p);
            break;
        case 3:
            DecodeConsole(p);
            if (p[0] == 2) buildRecv();
            break;
        default:
            break;
    }
    if (RawLogEnabled && (!FilterOn || Channel == FilterChannel)) AddLogLine(ltCommand, FLastRecvLine);
    if (TransmitEnabled && Channel == 1) AnswerTrainer();
}

void ulma_ANT::DecodeHeartRate(const uint8_t* p) {
    if (ulma_Channel* rec = Channel(0)) rec->Alive = true;
    HeartSeen = true;
    HeartRate = p[7];
    HeartBeatEventTime = bytes::GetU16(&p[4]);
    HeartBeatCount = p[6];
    switch (p[0] & 0x7F) {
        case 1:
            HrOperatingTime = bytes::GetU24(&p[1]);
            break;
        case 2:
            HrManufacturerId = p[1];
            HrSerialNumber = bytes::GetU16(&p[2]);
            break;
        case 3:
            HrHardwareVersion = p[1];
            HrSoftwareVersion = p[2];
            HrModelNumber = p[3];
            break;
        case 4:
            HrPreviousBeatTime = bytes::GetU16(&p[2]);
            break;
        default:
            break;
    }
}

// Combined speed and cadence: differences are taken on the 16-bit values as read, so a
// page whose time or count wrapped only moves the previous values on. The first page of
// each measure only gives the previous values (there is nothing to compare it with).
void ulma_ANT::DecodeSpeedCadence(const uint8_t* p) {
    if (ulma_Channel* rec = Channel(2)) rec->Alive = true;
    TByteReader page(p, 8);
    const int32_t cTime = page.U16(), cRevs = page.U16();
    const int32_t sTime = page.U16(), sRevs = page.U16();
    CadenceEventTime = cTime;
    CadenceRevolutions = cRevs;
    SpeedEventTime = sTime;
    SpeedRevolutions = sRevs;

    const int32_t prevCTime = PrevCadenceEventTime, prevCRevs = PrevCadenceRevolutions;
    if (prevCTime == -1) {
        PrevCadenceEventTime = cTime;
        PrevCadenceRevolutions = cRevs;
    } else if (cRevs != prevCRevs) {
        const int32_t dt = cTime - prevCTime, dr = cRevs - prevCRevs;
        if (dt > 0 && dr > 0) {
            Cadence = static_cast<int32_t>(Round(1024.0L / std::abs(dt) * 60));
            CadenceNoChangeCount = 0;
        }
        PrevCadenceEventTime = cTime;
        PrevCadenceRevolutions = cRevs;
    } else if (cTime == prevCTime) {
        if (++CadenceNoChangeCount > 40) Cadence = 0;
    }

    const int32_t prevSTime = PrevSpeedEventTime, prevSRevs = PrevSpeedRevolutions;
    if (!FSpeedSeen) {
        FSpeedSeen = true;
        PrevSpeedEventTime = sTime;
        PrevSpeedRevolutions = sRevs;
    } else if (sRevs != prevSRevs) {
        const int32_t dt = sTime - prevSTime, dr = sRevs - prevSRevs;
        if (dt > 0 && dr > 0) {
            const uint8_t perTurn = EventPerTurn ? EventPerTurn.load() : 1;
            long double speed =
                (static_cast<long double>(RollDiameter) / perTurn) * 3.14L * 3686.4L / 1000 * dr / dt;
            if (speed < 0.4L) speed = 0;
            Speed = static_cast<float>(speed);
        }
        PrevSpeedEventTime = sTime;
        PrevSpeedRevolutions = sRevs;
    } else if (sTime == prevSTime) {
        Speed = 0;
    }
}

void ulma_ANT::DecodeConsole(const uint8_t* p) {
    if (ulma_Channel* rec = Channel(3)) rec->Alive = true;
    if (ConsoleCommand9Pending) AnswerCommand9();
    switch (p[0]) {
        case 0xFF:
            switch (p[1]) {
                case 8:
                    ConsoleCommand8Ack = true;
                    break;
                case 9:
                    ConsoleCommand9Ack = true;
                    break;
                case 0x0A:
                    KeepAliveAck = true;
                    break;
                case 3:
                    ConsoleEprom.WriteDone = true;
                    break;
                default:
                    break;
            }
            break;
        case 5:
            for (int k = 0; k < 4; ++k) ConsoleKeys[k] = p[k + 1] != 0;
            break;
        case 2:
            for (int i = 0; i < 6; ++i) ConsoleEprom.Reply[i] = p[i + 1];
            AddLogLine(ltCommand, "********EPROM RECEIVED CONSOLE******");
            ConsoleEprom.ReadDone = true;
            break;
        default:  // 0xFE 0x0A: keep-alive refused, no effect
            break;
    }
}

void ulma_ANT::DecodeTrainer(const uint8_t* p) {
    const int32_t kind = RecieverType;
    if (kind != ulmVexa && kind != ulmNAW) return;
    ulma_Channel* rec = Channel(1);
    if (rec && !rec->Alive && rec->DeviceNumber != 0) rec->Alive = true;
    if (kind == ulmNAW) {
        float speed = Speed;
        int32_t cadence = Cadence, count = NawEventCount;
        uint8_t flag = NawFlag;
        DecodeTrainerPage(*this, FRxBuffers[1], speed, cadence, count, flag);
        Speed = speed;
        Cadence = cadence;
        NawEventCount = count;
        NawFlag = flag;
        return;
    }
    switch (p[0]) {
        case 7:
            AddLogLine(ltCommand, "Distance Recieved command (1)");
            TotalDistance = bytes::GetU24(&p[1]);
            DistancePending = false;
            break;
        case 2:
            for (int i = 0; i < 6; ++i) TrainerEprom.Reply[i] = p[i + 1];
            TrainerEprom.ReadDone = true;
            break;
        case 0xFF:
            AddLogLine(ltCommand, "ACK(1)-CMD(" + IntToStr(p[1]) + ")");
            // A write's acknowledgement comes after its page: one while the page still
            // waits to go out is a late one, of an earlier write.
            if (p[1] == 3 && !TrainerEprom.WritePending) TrainerEprom.WriteDone = true;
            break;
        case 0xFE:
            AddLogLine(ltCommand, "NACK!!(1)-CMD(" + IntToStr(p[1]) + ")");
            break;
        default:
            break;
    }
}

void ulma_ANT::AnswerTrainer() {
    std::array<uint8_t, 8> page{};
    const int32_t kind = RecieverType;
    if (kind == ulmVexa) {
        page = {1, ResistanceLevel, 0, 0, 0, 0, 0, 0};
    } else if (kind == ulmNAW) {
        uint16_t brake = NawBrakeValue;
        if (brake == 0xFFFF) {
            NawBrakeValue.compare_exchange_strong(brake, 0xFFFE);
            brake = 0xFFFE;
        }
        page = {0, 0, 0, 0, 0, 0, 0, 1};
        bytes::PutU16(&page[0], brake);
    } else {
        return;
    }
    SendPage(1, page, false);
    if (FrameLogged(1))
        AddLogLine(ltCommand,
                   "Tx(1):(" +
                       Format("%d; [%.2X] [%.2X] [%.2X] [%.2X] [%.2X] [%.2X] [%.2X] [%.2X]", 1, page[0],
                              page[1], page[2], page[3], page[4], page[5], page[6], page[7]) +
                       ")");
}

void ulma_ANT::AnswerCommand9() {
    const std::array<uint8_t, 8> page{9, static_cast<uint8_t>(ConsoleCommand9Value ? 1 : 0), 0, 0, 0, 0, 0,
                                      0};
    ConsoleCommand9Pending = false;
    SendCountedPage(3, page, false);
}

// The channel may transmit: the trainer's queued pages, in a fixed order, a later one
// overwriting an earlier one. A queued command page is also sent, so it reaches the trainer.
void ulma_ANT::TransmitEvent(uint8_t Channel) {
    ulma_Channel* rec = this->Channel(Channel);
    if (Channel == 1 && rec && TransmitEnabled) {
        std::array<uint8_t, 8> page = rec->TransmitPage();
        const int32_t kind = RecieverType;
        if (kind == ulmVexa) {
            bool command = false, write = false;
            if (ResistancePending) {
                page = {1, ResistanceLevel, 0, 0, 0, 0, 0, 0};
                ResistancePending = false;
            }
            if (Command4Pending) {
                page = {4, 0, 0, 0, 0, 0, 0, 0};
                Command4Pending = false;
                command = true;
            }
            if (DistancePending) {
                page = {7, 0, 0, 0, 0, 0, 0, 0};
                command = true;
            }
            if (Command8Pending) {
                page = {8, 0, 0, 0, 0, 0, 0, 0};
                bytes::PutU24(&page[1], Command8Value);
                Command8Pending = false;
                command = true;
            }
            if (TrainerEprom.WritePending) {
                const TEpromRecord& r = TrainerEprom;
                page = EpromPage(3, r.Address, static_cast<uint8_t>(r.Length),
                                 static_cast<uint8_t>(r.Data[0]), static_cast<uint8_t>(r.Data[1]),
                                 static_cast<uint8_t>(r.Data[2]), static_cast<uint8_t>(r.Data[3]));
                TrainerEprom.WritePending = false;
                write = true;
            }
            if (write) AddLogLine(ltCommand, "########## RICHIESTA EPROM TRAINER SCRITTURA  ########");
            if (write || command) {
                SendCountedPage(1, page, false);
            } else {
                for (int i = 0; i < 8; ++i) rec->TxPage[i] = page[i];
            }
        } else if (kind == ulmNAW) {
            const uint16_t brake = NawBrakeValue;
            uint8_t b[2];
            bytes::PutU16(b, brake);
            rec->TxPage[0] = b[0];
            rec->TxPage[1] = b[1];
        }
    }
    if (FRawMemo.load() && FrameLogged(Channel)) {
        std::array<uint8_t, 8> t{};
        if (rec) t = rec->TransmitPage();
        AddLogLine(
            ltRaw,
            Format("Tx(%d): [%.2X][%.2X][%.2X][%.2X][%.2X][%.2X][%.2X][%.2X] RF Freq:%d RxCount:%d", Channel,
                   t[0], t[1], t[2], t[3], t[4], t[5], t[6], t[7], rec ? rec->RFFrequency.load() : 0, 0));
    }
}

void ulma_ANT::TransferResult(uint8_t Channel, bool Completed) {
    ++GoodEvents;
    InterferenceArmed = true;
    NoConnectCount = 0;
    if (FrameLogged(Channel)) {
        const uint8_t* rx = FRxBuffers[Channel];
        AddLogLine(ltCommand,
                   Format("Recv Ack(%d): [%.2X][%.2X][%.2X][%.2X][%.2X][%.2X][%.2X][%.2X] RxCount:%d",
                          Channel, rx[0], rx[1], rx[2], rx[3], rx[4], rx[5], rx[6], rx[7], 0));
        AddLogLine(ltCommand,
                   std::string(Completed ? "EVENT_TRANSFER_TX_COMPLETED (" : "EVENT_TRANSFER_TX_FAILED (") +
                       IntToStr(Channel) + ")");
    }
    if (Completed) return;
    // A failed send of the trainer channel restarts a waiting EPROM read, logged or not.
    if (Channel == 1) TrainerEprom.Retry = true;
    if (RawLogEnabled && (!FilterOn || Channel == FilterChannel)) AddLogLine(ltCommand, FLastRecvLine);
}

void ulma_ANT::SearchTimeout(uint8_t Channel) {
    if (SearchReopen[Channel] <= 5) {
        ++SearchReopen[Channel];
        ANT_OpenChannel(Channel);
    } else if (Interference) {
        Interference = false;
        AddLogLine(ltCommand, "Cmd - OpenChannel(" + IntToStr(Channel) + ")");
        ANT_OpenChannel(Channel);
    } else {
        AddLogLine(ltCommand, kHandleInterference);
        if (Channel == 0 && ChannelAlive(0)) {
            HeartSeen = true;
            HeartRate = 0;
        }
        if (Channel == 1 && ChannelAlive(1)) TrainerLost = true;
        // A sensor no longer searched for would show its last speed and cadence for good.
        if (Channel == 2 && ChannelAlive(2)) {
            Speed = 0;
            Cadence = 0;
        }
    }
}
