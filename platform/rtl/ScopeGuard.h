#pragma once
// An undo step that runs when its scope is left, unless the work it guards was committed.
// Error paths then cannot forget a step: the guard runs on every exit, thrown or returned.
#include <exception>
#include <utility>

template <class TAction>
class TScopeGuard {
public:
    explicit TScopeGuard(TAction action) : FAction(std::move(action)) {}
    // While an error unwinds the scope, that error is the one reported: an undo step that
    // fails then is dropped. Outside unwinding its failure goes on to the caller. Whether
    // an error unwinds is asked only when the step fails: the count of uncaught errors is a
    // thread-local lookup, and guards sit on per-row paths.
    ~TScopeGuard() noexcept(false) {
        if (!FActive) return;
        try {
            FAction();
        } catch (...) {
            if (std::uncaught_exceptions() == 0) throw;
        }
    }
    TScopeGuard(const TScopeGuard&) = delete;
    TScopeGuard& operator=(const TScopeGuard&) = delete;

    // The guarded work succeeded: the undo step is not needed.
    void Dismiss() { FActive = false; }

private:
    TAction FAction;
    bool FActive = true;
};
