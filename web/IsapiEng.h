#pragma once
// ISAPI adapter: the extension and filter exports of the module, the stream over the
// host's extension control block, and the engine that registers itself as the one that
// serves ISAPI requests.
#include <functional>
#include <memory>
#include <string>

#include "web/IsapiTypes.h"
#include "web/ModuleEng.h"

// Per-thread ISAPI state of the request in progress.
struct TIsapiRequestState {
    EXTENSION_CONTROL_BLOCK* ECB = nullptr;        // set during HttpExtensionProc
    HTTP_FILTER_CONTEXT* FilterContext = nullptr;  // set during HttpFilterProc
    DWORD ExtensionStatus = HSE_STATUS_SUCCESS;
    bool MustUnload = false;  // the last TerminateExtension had HSE_TERM_MUST_UNLOAD
};
TIsapiRequestState& IsapiRequestState();

// The request body and response of the thread's ISAPI request: reads take the bytes the
// host read ahead, then ask ReadClient; writes go to WriteClient.
class TIsapiStream : public TStream {
public:
    // Count bytes, or fewer when the host has no more; -1 when nothing could be read.
    int64_t Read(void* Buffer, int64_t Count) override;
    int64_t Write(const void* Buffer, int64_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;  // always 0
    int32_t Position() const { return FPosition; }

private:
    int32_t FPosition = 0;  // within the bytes the host read ahead
};

// Largest ReadClient request, and the largest buffer offered to GetServerVariable.
inline constexpr int32_t IsapiReadChunk = 32386;
inline constexpr int32_t IsapiMaxVariableBuffer = 1 << 20;

// One server variable from the host of the thread's request (trimmed; empty when unknown).
std::string IsapiGetServerVariable(const std::string& Name);
// The variable list of the thread's extension request (sorted, no duplicates).
TStringList* BuildIsapiVariables();

using TGetExtensionVersionEvent =
    std::function<void(TObject* Sender, HSE_VERSION_INFO* Ver, std::string& Description, bool& Result)>;
using TGetFilterVersionEvent =
    std::function<void(TObject* Sender, DWORD& ServerFilterVersion, DWORD& FilterVersion, DWORD& Flags,
                       std::string& Description, bool& Result)>;
using THttpFilterEvent = std::function<void(TObject* Sender, HTTP_FILTER_CONTEXT* Context,
                                            DWORD NotificationType, DWORD& Status, void* Notification)>;

// The engine of ISAPI requests. The first one created registers itself; destroying it
// unregisters it.
class TIsapiEngine : public TModuleEngine {
public:
    explicit TIsapiEngine(TComponent* AOwner);
    ~TIsapiEngine() override;

    TGetExtensionVersionEvent OnGetExtensionVersion;
    TGetFilterVersionEvent OnGetFilterVersion;
    THttpFilterEvent OnHttpFilter;

    std::string GetHostServerVariable(const std::string& Name) override;
};

// The registered ISAPI engine (none at start).
TIsapiEngine* RegisteredIsapiEngine();
void RegisterIsapiEngine(TIsapiEngine* Engine);
