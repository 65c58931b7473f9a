#pragma once
// The request record a WSAPI host passes to Process, and the host functions the module
// binds by name in the host program.
//
// The record was laid out for 4-byte pointers. With 8-byte pointers the same fields follow
// in the same order, each pointer in an 8-byte slot aligned to 8, every text area and
// reserved area keeping its size; so every offset after the first pointer moves:
//
//   field                        4-byte pointers   8-byte pointers
//   remote host (pointer)                     44                48
//   remote address (pointer)                  48                56
//   remote name (pointer)                     52                64
//   method (text, 3136 bytes)                336               352
//   accept (text, 2176 bytes)               3472              3488
//   referer (text, 1280 bytes)              5648              5664
//   user agent (text, 516 bytes)            6928              6944
//   authentication type (pointer)           7444              7464
//   content type (text, 256 bytes)          7588              7612
//   content encoding (text, 1408 bytes)     7844              7868
//   count of extra header pairs (32-bit)    9252              9276
//   header pairs (name, value pointers)     9256              9280   (room for 100 pairs)
//   response flags (32-bit, set to 0)      10056             10880
//   response status (32-bit, set to 200)   10928             11752
//   record size                            10932             11760
//
// Texts are zero-terminated within their areas; a text that fills its area is cut there.
#include <cstddef>
#include <cstdint>

struct TWsapiHeaderPair {
    const char* Name;   // null: the pair is skipped
    const char* Value;  // null: empty
};

inline constexpr int WsapiMaxHeaderPairs = 100;

struct TWsapiRequest {
    uint8_t Reserved0[44];
    const char* RemoteHost;
    const char* RemoteAddress;
    const char* RemoteName;
    uint8_t Reserved1[280];
    char Method[3136];
    char Accept[2176];
    char Referer[1280];
    char UserAgent[516];
    const char* AuthType;
    uint8_t Reserved2[140];
    char ContentType[256];
    char ContentEncoding[1408];
    int32_t HeaderCount;
    TWsapiHeaderPair Headers[WsapiMaxHeaderPairs];
    int32_t ResponseFlags;
    uint8_t Reserved3[868];
    int32_t ResponseStatus;
};

// Offsets of the table above for this build's pointer size.
namespace WsapiLayout {
inline constexpr bool Wide = sizeof(void*) == 8;
inline constexpr size_t RemoteHost = Wide ? 48 : 44;
inline constexpr size_t RemoteAddress = Wide ? 56 : 48;
inline constexpr size_t RemoteName = Wide ? 64 : 52;
inline constexpr size_t Method = Wide ? 352 : 336;
inline constexpr size_t Accept = Wide ? 3488 : 3472;
inline constexpr size_t Referer = Wide ? 5664 : 5648;
inline constexpr size_t UserAgent = Wide ? 6944 : 6928;
inline constexpr size_t AuthType = Wide ? 7464 : 7444;
inline constexpr size_t ContentType = Wide ? 7612 : 7588;
inline constexpr size_t ContentEncoding = Wide ? 7868 : 7844;
inline constexpr size_t HeaderCount = Wide ? 9276 : 9252;
inline constexpr size_t Headers = Wide ? 9280 : 9256;
inline constexpr size_t ResponseFlags = Wide ? 10880 : 10056;
inline constexpr size_t ResponseStatus = Wide ? 11752 : 10928;
inline constexpr size_t Size = Wide ? 11760 : 10932;
}  // namespace WsapiLayout

static_assert(offsetof(TWsapiRequest, RemoteHost) == WsapiLayout::RemoteHost);
static_assert(offsetof(TWsapiRequest, RemoteAddress) == WsapiLayout::RemoteAddress);
static_assert(offsetof(TWsapiRequest, RemoteName) == WsapiLayout::RemoteName);
static_assert(offsetof(TWsapiRequest, Method) == WsapiLayout::Method);
static_assert(offsetof(TWsapiRequest, Accept) == WsapiLayout::Accept);
static_assert(offsetof(TWsapiRequest, Referer) == WsapiLayout::Referer);
static_assert(offsetof(TWsapiRequest, UserAgent) == WsapiLayout::UserAgent);
static_assert(offsetof(TWsapiRequest, AuthType) == WsapiLayout::AuthType);
static_assert(offsetof(TWsapiRequest, ContentType) == WsapiLayout::ContentType);
static_assert(offsetof(TWsapiRequest, ContentEncoding) == WsapiLayout::ContentEncoding);
static_assert(offsetof(TWsapiRequest, HeaderCount) == WsapiLayout::HeaderCount);
static_assert(offsetof(TWsapiRequest, Headers) == WsapiLayout::Headers);
static_assert(offsetof(TWsapiRequest, ResponseFlags) == WsapiLayout::ResponseFlags);
static_assert(offsetof(TWsapiRequest, ResponseStatus) == WsapiLayout::ResponseStatus);
static_assert(sizeof(TWsapiRequest) == WsapiLayout::Size);

// Host functions, exported by the host program under these names. Every call but
// bind_wsapi names the request record it concerns.
extern "C" {
// Announces the interface version the module speaks; nonzero when the host accepts it.
using TWsapiBind = int32_t (*)(int32_t Major, int32_t Minor, int32_t Flags);
// Bytes written to / read from the client (negative on failure).
using TWsapiWrite = int32_t (*)(TWsapiRequest* Request, const void* Buffer, int32_t Count);
using TWsapiRead = int32_t (*)(TWsapiRequest* Request, void* Buffer, int32_t Count);
using TWsapiFlush = int32_t (*)(TWsapiRequest* Request);
using TWsapiSendHeader = int32_t (*)(TWsapiRequest* Request);
// Copies the variable's value with its terminating zero into Buffer (Size bytes of room);
// the value's length, or -1 when the host has no such variable.
using TWsapiGetVariable = int32_t (*)(TWsapiRequest* Request, const char* Name, char* Buffer, int32_t Size);
using TWsapiDie = void (*)(TWsapiRequest* Request, int32_t Status, const char* Text);
// The module's export.
int32_t Process(TWsapiRequest* Request);
}
