// The radio library over ANT serial frames: calls become host frames written to the
// transport; frames from the stick fill the registered buffers and call the registered
// procedures. No lock is held while a procedure runs, so procedures may call back in.
#include "platform/ant/ANT_DLL.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/ant/AntFrame.h"
#include "platform/ant/AntTransport.h"
#include "platform/rtl/ByteCodec.h"

namespace {

constexpr int MaxChannels = 8;

class TAntLibrary : public TAntByteSink {
public:
    TAntLibrary() {
        FParser.OnFrame = [this](const TAntFrame& f) { Dispatch(f); };
    }
    // A stick still open at exit is closed before the members go.
    ~TAntLibrary() override { Close(); }

    bool Init(uint8_t usb, uint32_t baud) {
        Close();
        auto t = AntFindTransport(usb, baud);
        if (!t) return false;
        {
            std::lock_guard<std::mutex> g(FMutex);
            FResponse = nullptr;
            FResponseBuffer = nullptr;
            for (auto& c : FChannels) c = {};
            FParser.Reset();
        }
        if (!t->Open(this)) return false;
        std::lock_guard<std::mutex> g(FMutex);
        FTransport = t;
        return true;
    }

    void Close() {
        std::shared_ptr<TAntTransport> t;
        {
            std::lock_guard<std::mutex> g(FMutex);
            t = std::move(FTransport);
            FTransport.reset();
        }
        // Outside the lock: a delivery still running may call back into the library.
        if (t) t->Close();
        std::lock_guard<std::mutex> g(FMutex);
        FResponse = nullptr;
        FResponseBuffer = nullptr;
        for (auto& c : FChannels) c = {};
    }

    uint8_t Send(uint8_t id, std::initializer_list<uint8_t> data) {
        std::vector<uint8_t> d(data);
        return Send(id, d.data(), d.size());
    }

    uint8_t Send(uint8_t id, const uint8_t* data, size_t n) {
        std::shared_ptr<TAntTransport> t;
        {
            std::lock_guard<std::mutex> g(FMutex);
            t = FTransport;
        }
        if (!t) return 0;
        auto bytes = EncodeAntFrame(id, data, n);
        return t->Write(bytes.data(), bytes.size()) ? 1 : 0;
    }

    void AssignResponse(RESPONSE_FUNC f, uint8_t* buf) {
        std::lock_guard<std::mutex> g(FMutex);
        FResponse = f;
        FResponseBuffer = buf;
    }

    void AssignChannelEvent(uint8_t ch, CHANNEL_EVENT_FUNC f, uint8_t* buf) {
        if (ch >= MaxChannels) return;
        std::lock_guard<std::mutex> g(FMutex);
        FChannels[ch] = {f, buf};
    }

    // Bytes arrive on the transport's delivery thread, one delivery at a time.
    void Received(const uint8_t* bytes, size_t count) override { FParser.Feed(bytes, count); }

private:
    struct TChannel {
        CHANNEL_EVENT_FUNC Func = nullptr;
        uint8_t* Buffer = nullptr;
    };

    static void Fill(uint8_t* buf, const uint8_t* data, size_t n) {
        n = std::min<size_t>(n, ANT_BUFFER_SIZE);
        std::memcpy(buf, data, n);
        std::memset(buf + n, 0, ANT_BUFFER_SIZE - n);
    }

    void ChannelEvent(uint8_t ch, uint8_t event, const uint8_t* data, size_t n) {
        if (ch >= MaxChannels) return;
        TChannel c;
        {
            std::lock_guard<std::mutex> g(FMutex);
            c = FChannels[ch];
        }
        if (!c.Func) return;
        if (c.Buffer) Fill(c.Buffer, data, n);
        c.Func(ch, event);
    }

    void Response(uint8_t ch, uint8_t id, const uint8_t* data, size_t n) {
        RESPONSE_FUNC f;
        uint8_t* buf;
        {
            std::lock_guard<std::mutex> g(FMutex);
            f = FResponse;
            buf = FResponseBuffer;
        }
        if (!f) return;
        if (buf) Fill(buf, data, n);
        f(ch, id);
    }

    void Dispatch(const TAntFrame& f) {
        const uint8_t* d = f.Data.data();
        size_t n = f.Data.size();
        switch (f.Id) {
            case MESG_RESPONSE_EVENT_ID:
                if (n < 3) return;
                if (d[1] == 0x01)  // a channel event, not an answer to a command
                    ChannelEvent(d[0], d[2], d, n);
                else
                    Response(d[0], MESG_RESPONSE_EVENT_ID, d, n);
                return;
            case MESG_BROADCAST_DATA_ID:
                if (n >= 9) ChannelEvent(d[0], EVENT_RX_BROADCAST, d, n);
                return;
            case MESG_ACKNOWLEDGED_DATA_ID:
                if (n >= 9) ChannelEvent(d[0], EVENT_RX_ACKNOWLEDGED, d, n);
                return;
            case MESG_CHANNEL_ID_ID:
                // A cut-off id would reach the procedure as a number with zeros filled in.
                if (n >= 5) Response(d[0], f.Id, d, n);
                return;
            case 0x52:  // channel status
                if (n >= 1) Response(d[0], f.Id, d, n);
                return;
            default:
                Response(0, f.Id, d, n);
                return;
        }
    }

    std::mutex FMutex;
    std::shared_ptr<TAntTransport> FTransport;
    RESPONSE_FUNC FResponse = nullptr;
    uint8_t* FResponseBuffer = nullptr;
    TChannel FChannels[MaxChannels];
    TAntFrameParser FParser;  // used only on the delivery thread
};

TAntLibrary& Lib() {
    static TAntLibrary lib;
    return lib;
}

// A channel or network number followed by 8 bytes (a key or a data page); none send zeros.
std::array<uint8_t, 9> NumberAndEight(uint8_t number, const uint8_t* eight) {
    std::array<uint8_t, 9> d{};
    TByteWriter w(d.data(), d.size());
    w.U8(number);
    if (eight) w.Bytes(eight, 8);
    return d;
}

}  // namespace

uint8_t ANT_Init(uint8_t ucUSBDeviceNum, uint32_t ulBaudrate) {
    return Lib().Init(ucUSBDeviceNum, ulBaudrate) ? 1 : 0;
}

void ANT_Close() {
    Lib().Close();
}

uint8_t ANT_ResetSystem() {
    return Lib().Send(MESG_SYSTEM_RESET_ID, {0});
}

uint8_t ANT_SetNetworkKey(uint8_t ucNetNumber, const uint8_t* pucKey) {
    const auto d = NumberAndEight(ucNetNumber, pucKey);
    return Lib().Send(MESG_NETWORK_KEY_ID, d.data(), d.size());
}

uint8_t ANT_AssignChannel(uint8_t ucANTChannel, uint8_t ucChanType, uint8_t ucNetNumber) {
    return Lib().Send(MESG_ASSIGN_CHANNEL_ID, {ucANTChannel, ucChanType, ucNetNumber});
}

uint8_t ANT_UnAssignChannel(uint8_t ucANTChannel) {
    return Lib().Send(MESG_UNASSIGN_CHANNEL_ID, {ucANTChannel});
}

uint8_t ANT_SetChannelId(uint8_t ucANTChannel, uint16_t usDeviceNumber, uint8_t ucDeviceType,
                         uint8_t ucTransmissionType) {
    const auto d = EncodeAntChannelId({ucANTChannel, usDeviceNumber, ucDeviceType, ucTransmissionType});
    return Lib().Send(MESG_CHANNEL_ID_ID, d.data(), d.size());
}

uint8_t ANT_SetChannelPeriod(uint8_t ucANTChannel, uint16_t usMesgPeriod) {
    uint8_t d[3];
    TByteWriter(d, sizeof d).U8(ucANTChannel).U16(usMesgPeriod);
    return Lib().Send(MESG_CHANNEL_MESG_PERIOD_ID, d, sizeof d);
}

uint8_t ANT_SetChannelRFFreq(uint8_t ucANTChannel, uint8_t ucRFFreq) {
    return Lib().Send(MESG_CHANNEL_RADIO_FREQ_ID, {ucANTChannel, ucRFFreq});
}

uint8_t ANT_SetChannelSearchTimeout(uint8_t ucANTChannel, uint8_t ucSearchTimeout) {
    return Lib().Send(MESG_CHANNEL_SEARCH_TIMEOUT_ID, {ucANTChannel, ucSearchTimeout});
}

uint8_t ANT_SetChannelTxPower(uint8_t ucANTChannel, uint8_t ucTransmitPower) {
    return Lib().Send(MESG_CHANNEL_RADIO_TX_POWER_ID, {ucANTChannel, ucTransmitPower});
}

uint8_t ANT_OpenChannel(uint8_t ucANTChannel) {
    return Lib().Send(MESG_OPEN_CHANNEL_ID, {ucANTChannel});
}

uint8_t ANT_CloseChannel(uint8_t ucANTChannel) {
    return Lib().Send(MESG_CLOSE_CHANNEL_ID, {ucANTChannel});
}

uint8_t ANT_RequestMessage(uint8_t ucANTChannel, uint8_t ucMessageID) {
    return Lib().Send(MESG_REQUEST_ID, {ucANTChannel, ucMessageID});
}

uint8_t ANT_SendBroadcastData(uint8_t ucANTChannel, const uint8_t* pucData) {
    const auto d = NumberAndEight(ucANTChannel, pucData);
    return Lib().Send(MESG_BROADCAST_DATA_ID, d.data(), d.size());
}

uint8_t ANT_SendAcknowledgedData(uint8_t ucANTChannel, const uint8_t* pucData) {
    const auto d = NumberAndEight(ucANTChannel, pucData);
    return Lib().Send(MESG_ACKNOWLEDGED_DATA_ID, d.data(), d.size());
}

void ANT_AssignResponseFunction(RESPONSE_FUNC pfResponse, uint8_t* pucResponseBuffer) {
    Lib().AssignResponse(pfResponse, pucResponseBuffer);
}

void ANT_AssignChannelEventFunction(uint8_t ucANTChannel, CHANNEL_EVENT_FUNC pfChannelEvent,
                                    uint8_t* pucRxBuffer) {
    Lib().AssignChannelEvent(ucANTChannel, pfChannelEvent, pucRxBuffer);
}
