#pragma once
// The engine's error codes, error context, messages, raiser and EZIZIVUEngineError.
// One definition serves every layer: the file layer below raises through the same class.
#include "db/storage/EngineErrors.h"
