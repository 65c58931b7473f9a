#include "db/components/PasswordDialog.h"

#include <mutex>

namespace {

std::mutex HookLock;

TPasswordDialogHook& Hook() {
    static TPasswordDialogHook hook;
    return hook;
}

}  // namespace

void SetPasswordDialogHook(TPasswordDialogHook hook) {
    std::lock_guard<std::mutex> guard(HookLock);
    Hook() = std::move(hook);
}

bool HasPasswordDialogHook() {
    std::lock_guard<std::mutex> guard(HookLock);
    return static_cast<bool>(Hook());
}

bool PasswordDialog(TZIZIVUSession* Session) {
    TPasswordDialogHook hook;
    {
        std::lock_guard<std::mutex> guard(HookLock);
        hook = Hook();
    }
    return hook ? hook(Session) : false;
}
