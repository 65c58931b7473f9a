#pragma once
// A field definition as the engine's tests and fuzz targets write them; free of the test
// framework.
#include <cstdint>
#include <string>

#include "db/engine/DataFile.h"

inline TFieldDescriptor MakeField(uint16_t no, const std::string& name, uint8_t type, uint8_t size = 0,
                                  uint8_t subType = 0) {
    TFieldDescriptor f;
    f.FieldNo = no;
    f.Name = name;
    f.DataType = type;
    f.Size = size;
    f.SubType = subType;
    return f;
}
