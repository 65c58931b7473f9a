#pragma once
// An undo step that runs when its scope is left, unless the work it guards was committed.
// Error paths then cannot forget a step: the guard runs on every exit, thrown or returned.
#include <utility>

template <class TAction>
class TScopeGuard {
public:
    explicit TScopeGuard(TAction action) : FAction(std::move(action)) {}
    ~TScopeGuard() {
        if (FActive) FAction();
    }
    TScopeGuard(const TScopeGuard&) = delete;
    TScopeGuard& operator=(const TScopeGuard&) = delete;

    // The guarded work succeeded: the undo step is not needed.
    void Dismiss() { FActive = false; }

private:
    TAction FAction;
    bool FActive = true;
};
