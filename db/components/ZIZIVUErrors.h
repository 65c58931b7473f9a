#pragma once
// How engine error codes reach the application: EZIZIVUEngineError, defined once with the
// engine's error codes and raiser, and the components' check of a result code.
#include <cstdint>

#include "db/engine/EngineErrors.h"

// Raises EZIZIVUEngineError for a code that is not 0.
void Check(uint16_t code);
