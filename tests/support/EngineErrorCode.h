#pragma once
// The engine error code an action raises, for table-driven checks of failures.
#include <cstdint>
#include <functional>

#include "db/storage/EngineErrors.h"

// The engine code the action raised; 0 when it raised none.
inline uint16_t RaisedCode(const std::function<void()>& action) {
    try {
        action();
    } catch (const EZIZIVUEngineError& e) {
        return e.ErrorCode();
    }
    return 0;
}
