#pragma once
// Steps bound to the end of a scope, so that an error path needs no hand-written clean-up:
// TScopeExit runs its step however the scope is left, TScopeFail only when an exception
// leaves it (an undo). A step runs inside a destructor and must not throw.
#include <exception>
#include <utility>

template <class F>
class TScopeExit {
public:
    explicit TScopeExit(F step) : FStep(std::move(step)) {}
    TScopeExit(const TScopeExit&) = delete;
    TScopeExit& operator=(const TScopeExit&) = delete;
    ~TScopeExit() { FStep(); }

private:
    F FStep;
};

template <class F>
class TScopeFail {
public:
    explicit TScopeFail(F step) : FStep(std::move(step)), FExceptions(std::uncaught_exceptions()) {}
    TScopeFail(const TScopeFail&) = delete;
    TScopeFail& operator=(const TScopeFail&) = delete;
    ~TScopeFail() {
        if (std::uncaught_exceptions() > FExceptions) FStep();
    }

private:
    F FStep;
    int FExceptions;
};
