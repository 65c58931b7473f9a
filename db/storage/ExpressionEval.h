#pragma once
// Evaluation of validated expression trees against the current record of a caller, the
// preparation of trees for repeated evaluation, the LIKE matcher and the tree utilities.
//
// String comparison, case mapping and LIKE use the language and sort passed in; CAST
// conversions read the process-wide settings, so callers evaluate inside their locale swap.
#include <cstdint>
#include <functional>

#include "db/storage/ExpToken.h"

class TRecordsBitmap;

// Fills a column reference's value, IsNull and DataSize for the current record from what
// the caller's binding stored in the node.
using TGetColumnValueFunc = std::function<void(void* owner, void* record, TExpToken* result)>;

// A new token from the pool holding node's value, handed to the caller.
TExpTree EvaluateExpression(TExpToken* node, void* record, void* owner, uint16_t sortID, uint16_t languageID,
                            const TGetColumnValueFunc& getColumnValue);
void EvaluateUnaryOperator(uint8_t code, TExpToken* operand, TExpToken* result);
void EvaluateBinaryOperator(uint8_t code, TExpToken* left, TExpToken* right, uint16_t sortID,
                            uint16_t languageID, TExpToken* result);
void EvaluatePartialCompare(uint8_t code, uint32_t compareLength, bool caseInsensitive, uint16_t sortID,
                            uint16_t languageID, TExpToken* result, TExpToken* right, TExpToken* left);
// Evaluates node; a non-NULL, non-string result is converted to target's type and takes
// target's type, subtype, size and decimals.
TExpTree EvaluateToType(const TExpToken* target, TExpToken* node, void* owner, uint16_t sortID,
                        uint16_t languageID, const TGetColumnValueFunc& getColumnValue);
// The value converted in place to target's type (NULL and strings are left as they are).
// Exactly: a value the target's type cannot hold exactly (a fraction for an integer, more
// decimals than a BCD's scale, a time of day for a date, a number out of range) is left
// as it is, so that it compares as before. Lossy: fractions are truncated or rounded to
// the target, as an assignment does; only numbers out of range are left.
enum class TConvertMode : uint8_t { Exact, Lossy };
void ConvertValueToType(const TExpToken* target, TExpToken* value);
void ConvertValueToType(const TExpToken* target, TExpToken* value, TConvertMode mode);

// A prepared copy of the tree: constants converted to what they are compared with,
// trailing-wildcard equality and LIKE turned into prefix comparisons. The given tree is
// not changed.
TExpTree PrepareExpressionTree(TExpToken* node, void* owner, const TGetColumnValueFunc& getColumnValue,
                               bool noPartialCompare, bool caseInsensitive, uint16_t sortID,
                               uint16_t languageID);
// Removes the NULL tests (= NULL, <> NULL) from a condition; true when the root itself was
// removed (it is returned to the pool and the tree becomes empty).
bool CheckConditionTree(TExpTree& tree);
// A deep copy; an empty tree for nil.
TExpTree CloneExpressionTree(const TExpToken* node);
bool ExpressionTreesEqual(const TExpToken* a, const TExpToken* b);

// One level of backtracking: only the last '%' is retried.
bool MatchesLikePattern(uint16_t languageID, uint16_t sortID, const char* text, const char* pattern);

// A bitmap from the global pool (a new one when the library is not started), and back.
TRecordsBitmap* NewRecordsBitmap();
void DisposeRecordsBitmap(TRecordsBitmap*& bitmap);
