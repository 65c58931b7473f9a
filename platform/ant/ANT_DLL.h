#pragma once
// The radio library: the calls the ANT link makes, with the radio stick's own
// call-and-response order. Every configuration call leads to exactly one call of the
// response procedure with message id 0x40 (byte 1 the command answered, byte 2 the
// response code); buffers are filled before each call of a procedure; procedures may
// be called on the library's own thread or from inside another library call.
//
// Which stick ANT_Init opens: with ZELTO_ANT=sim the simulated stick (in process,
// platform/ant/AntSim.h) installed on that USB number; otherwise a real stick through
// the serial or USB transport (platform/ant/AntDiscovery.h).
//
// Buffers: the library writes at most ANT_BUFFER_SIZE bytes into the response buffer
// and into a receive buffer, zero-filling what the message does not cover. Received
// data fills [channel, 8-byte page]; any other channel event [channel, 1, event code];
// a response the message's data ([channel, message id, code] for 0x40). Messages too short
// for their layout (a channel id under 5 bytes, data under 9) are dropped.
// Other calls return 1 when the command was passed to the stick, 0 when no stick is open.
#include <cstdint>

constexpr int ANT_BUFFER_SIZE = 9;

// Procedures: (channel, message id) for responses, (channel, event code) for channel
// events. The result is not used by the library.
using RESPONSE_FUNC = uint8_t (*)(uint8_t ucChannel, uint8_t ucResponseMsgID);
using CHANNEL_EVENT_FUNC = uint8_t (*)(uint8_t ucChannel, uint8_t ucEvent);

// 1 on success.
uint8_t ANT_Init(uint8_t ucUSBDeviceNum, uint32_t ulBaudrate);
void ANT_Close();
uint8_t ANT_ResetSystem();
uint8_t ANT_SetNetworkKey(uint8_t ucNetNumber, const uint8_t* pucKey);
uint8_t ANT_AssignChannel(uint8_t ucANTChannel, uint8_t ucChanType, uint8_t ucNetNumber);
uint8_t ANT_UnAssignChannel(uint8_t ucANTChannel);
uint8_t ANT_SetChannelId(uint8_t ucANTChannel, uint16_t usDeviceNumber, uint8_t ucDeviceType,
                         uint8_t ucTransmissionType);
uint8_t ANT_SetChannelPeriod(uint8_t ucANTChannel, uint16_t usMesgPeriod);
uint8_t ANT_SetChannelRFFreq(uint8_t ucANTChannel, uint8_t ucRFFreq);
uint8_t ANT_SetChannelSearchTimeout(uint8_t ucANTChannel, uint8_t ucSearchTimeout);
uint8_t ANT_SetChannelTxPower(uint8_t ucANTChannel, uint8_t ucTransmitPower);
uint8_t ANT_OpenChannel(uint8_t ucANTChannel);
uint8_t ANT_CloseChannel(uint8_t ucANTChannel);
uint8_t ANT_RequestMessage(uint8_t ucANTChannel, uint8_t ucMessageID);
uint8_t ANT_SendBroadcastData(uint8_t ucANTChannel, const uint8_t* pucData);
uint8_t ANT_SendAcknowledgedData(uint8_t ucANTChannel, const uint8_t* pucData);
void ANT_AssignResponseFunction(RESPONSE_FUNC pfResponse, uint8_t* pucResponseBuffer);
void ANT_AssignChannelEventFunction(uint8_t ucANTChannel, CHANNEL_EVENT_FUNC pfChannelEvent,
                                    uint8_t* pucRxBuffer);

// Message ids and channel events the link uses.
constexpr uint8_t MESG_RESPONSE_EVENT_ID = 0x40;
constexpr uint8_t MESG_UNASSIGN_CHANNEL_ID = 0x41;
constexpr uint8_t MESG_ASSIGN_CHANNEL_ID = 0x42;
constexpr uint8_t MESG_CHANNEL_MESG_PERIOD_ID = 0x43;
constexpr uint8_t MESG_CHANNEL_SEARCH_TIMEOUT_ID = 0x44;
constexpr uint8_t MESG_CHANNEL_RADIO_FREQ_ID = 0x45;
constexpr uint8_t MESG_NETWORK_KEY_ID = 0x46;
constexpr uint8_t MESG_SYSTEM_RESET_ID = 0x4A;
constexpr uint8_t MESG_OPEN_CHANNEL_ID = 0x4B;
constexpr uint8_t MESG_CLOSE_CHANNEL_ID = 0x4C;
constexpr uint8_t MESG_REQUEST_ID = 0x4D;
constexpr uint8_t MESG_BROADCAST_DATA_ID = 0x4E;
constexpr uint8_t MESG_ACKNOWLEDGED_DATA_ID = 0x4F;
constexpr uint8_t MESG_CHANNEL_ID_ID = 0x51;
constexpr uint8_t MESG_RADIO_TX_POWER_ID = 0x47;
constexpr uint8_t MESG_CHANNEL_RADIO_TX_POWER_ID = 0x60;

constexpr uint8_t RESPONSE_NO_ERROR = 0x00;
constexpr uint8_t EVENT_RX_SEARCH_TIMEOUT = 0x01;
constexpr uint8_t EVENT_RX_FAIL = 0x02;
constexpr uint8_t EVENT_TX = 0x03;
constexpr uint8_t EVENT_TRANSFER_RX_FAILED = 0x04;
constexpr uint8_t EVENT_TRANSFER_TX_COMPLETED = 0x05;
constexpr uint8_t EVENT_TRANSFER_TX_FAILED = 0x06;
constexpr uint8_t EVENT_CHANNEL_CLOSED = 0x07;
constexpr uint8_t EVENT_RX_FAIL_GO_TO_SEARCH = 0x08;
constexpr uint8_t EVENT_RX_BROADCAST = 0x9A;
constexpr uint8_t EVENT_RX_ACKNOWLEDGED = 0x9B;
