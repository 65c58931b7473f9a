#pragma once
// Codes of the field and index descriptors that the layers above the engine write too:
// the bytes of a field descriptor's working area that have a meaning, and an index's key
// compression.
#include <cstdint>

// Bytes of a field descriptor from here on the engine carries without interpreting.
constexpr int32_t FieldWorkAreaOffset = 248;
// Working-area byte of a sort field's descriptor that marks descending order.
constexpr int32_t SortDescendingByte = 253 - FieldWorkAreaOffset;
// Working-area byte that marks a result table's field as hidden (the count behind an
// average), which a dataset does not show.
constexpr int32_t HiddenFieldByte = 252 - FieldWorkAreaOffset;

// Leaf key compression.
constexpr uint8_t icNone = 0;
constexpr uint8_t icLeading = 1;
constexpr uint8_t icTrailing = 2;
constexpr uint8_t icBoth = 3;
