#pragma once
// The structures an ISAPI host passes to the module's exports: the extension control block
// of a request, the filter context of a filter call and the two version records. Only the
// fields the module uses are defined; a host fills them and keeps them valid for the call.
#include <cstdint>

using BOOL = int32_t;
using DWORD = uint32_t;
// The host's handle of one connection; opaque to the module.
using HCONN = void*;

inline constexpr BOOL ISAPI_TRUE = 1;
inline constexpr BOOL ISAPI_FALSE = 0;

// Extension version 2.0, answered by GetExtensionVersion and GetFilterVersion.
inline constexpr DWORD HSE_VERSION = 0x00020000;
// Status of HttpExtensionProc: the request was served, or it failed.
inline constexpr DWORD HSE_STATUS_SUCCESS = 1;
inline constexpr DWORD HSE_STATUS_ERROR = 4;
// TerminateExtension: the host unloads the module whatever the answer.
inline constexpr DWORD HSE_TERM_MUST_UNLOAD = 0x00000002;
// HttpFilterProc: pass the notification on to the next filter.
inline constexpr DWORD SF_STATUS_REQ_NEXT_NOTIFICATION = 0x08000002;

inline constexpr int HSE_MAX_EXT_DLL_NAME_LEN = 256;
inline constexpr int SF_MAX_FILTER_DESC_LEN = 257;

// Host callbacks of a request. Size is in/out: the room offered or bytes wanted on entry,
// the bytes delivered on return (GetServerVariable counts the terminating zero).
using PFN_GETSERVERVARIABLE = BOOL (*)(HCONN ConnID, const char* VariableName, void* Buffer, DWORD* Size);
using PFN_WRITECLIENT = BOOL (*)(HCONN ConnID, const void* Buffer, DWORD* Bytes, DWORD Reserved);
using PFN_READCLIENT = BOOL (*)(HCONN ConnID, void* Buffer, DWORD* Size);

struct EXTENSION_CONTROL_BLOCK {
    HCONN ConnID;
    const char* lpszMethod;          // may be null
    const char* lpszQueryString;     // may be null
    const char* lpszPathInfo;        // may be null
    const char* lpszPathTranslated;  // may be null
    DWORD cbTotalBytes;              // whole body length
    DWORD cbAvailable;               // body bytes the host read ahead into lpbData
    const uint8_t* lpbData;
    PFN_GETSERVERVARIABLE GetServerVariable;
    PFN_WRITECLIENT WriteClient;
    PFN_READCLIENT ReadClient;
};

struct HTTP_FILTER_CONTEXT;
using PFN_FILTER_GETSERVERVARIABLE = BOOL (*)(HTTP_FILTER_CONTEXT* pfc, const char* VariableName,
                                              void* Buffer, DWORD* Size);
using PFN_FILTER_WRITECLIENT = BOOL (*)(HTTP_FILTER_CONTEXT* pfc, const void* Buffer, DWORD* Bytes,
                                        DWORD Reserved);

struct HTTP_FILTER_CONTEXT {
    PFN_FILTER_GETSERVERVARIABLE GetServerVariable;
    PFN_FILTER_WRITECLIENT WriteClient;
};

struct HSE_VERSION_INFO {
    DWORD dwExtensionVersion;
    char lpszExtensionDesc[HSE_MAX_EXT_DLL_NAME_LEN];
};

struct HTTP_FILTER_VERSION {
    DWORD dwServerFilterVersion;
    DWORD dwFilterVersion;
    char lpszFilterDesc[SF_MAX_FILTER_DESC_LEN];
    DWORD dwFlags;
};

// The module's exports as a host calls them.
extern "C" {
BOOL GetExtensionVersion(HSE_VERSION_INFO* pVer);
DWORD HttpExtensionProc(EXTENSION_CONTROL_BLOCK* pECB);
BOOL TerminateExtension(DWORD dwFlags);
BOOL GetFilterVersion(HTTP_FILTER_VERSION* pVer);
DWORD HttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD NotificationType, void* pvNotification);
}
