#pragma once
// The engine's cursor for the dataset components. The engine's BLOB open modes share
// their names with the framework's BLOB stream modes; here they are EngineBlobRead and
// EngineBlobReadWrite. Include this before any framework header.
#define bmRead EngineBlobRead
#define bmReadWrite EngineBlobReadWrite
#include "db/engine/DataCursor.h"
#undef bmRead
#undef bmReadWrite
