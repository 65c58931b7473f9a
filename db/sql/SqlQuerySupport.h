#pragma once
// Helpers the planning and execution files of the SQL processor share.
#include <cstdint>
#include <string>
#include <vector>

#include "db/storage/ExpToken.h"

// What a column node of a statement's expression is bound to (its BindLong2): a field of
// a source table (BindLong1 the table's FROM position, BindWord the field number) or a
// field of the result table (BindWord the result field number).
constexpr uint32_t BoundSourceColumn = 1;
constexpr uint32_t BoundResultColumn = 2;

// Room a column node's value buffer gets for any stored value but a BLOB's.
constexpr int32_t FieldValueBufferSize = 256;

bool IsComparison(const TExpToken* n);
bool IsAndOr(const TExpToken* n);
// > and <, >= and <= exchange; the others stay.
uint8_t MirrorOperator(uint8_t code);
// The FROM positions of the source tables the expression's columns name.
void CollectSourceTables(const TExpToken* n, std::vector<int32_t>& positions);
bool HasSubSelect(const TExpToken* n);
// The place of the last "\", ":" or "/" of a table name; npos without one.
size_t LastPathDelimiter(const std::string& name);
[[noreturn]] void RaiseSqlError(const std::string& message);
bool IsTrueValue(const TExpToken* v);
// The bytes of a value as a BLOB field takes them. A string's are its text up to its
// terminator; a BLOB value's, a memo's too, are its bytes, before the terminator every BLOB
// value carries (a memo function's result is as long as its text).
uint32_t BlobValueLength(const TExpToken& value);
