// Pulls the adapters' exports out of the static web library into the module.
#include "web/IsapiEng.h"
#include "web/WsapiEng.h"

[[gnu::used]] extern void* const ZeltoWebModuleExports[] = {
    reinterpret_cast<void*>(&GetExtensionVersion), reinterpret_cast<void*>(&HttpExtensionProc),
    reinterpret_cast<void*>(&TerminateExtension),  reinterpret_cast<void*>(&GetFilterVersion),
    reinterpret_cast<void*>(&HttpFilterProc),      reinterpret_cast<void*>(&Process),
};
