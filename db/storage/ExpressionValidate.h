#pragma once
// Binding, typing and checking of parsed expression trees, the type rules of operators,
// functions and CAST, and inspections of trees used by the filters and the SQL processor.
//
// Date strings are converted with the process-wide settings: validate with the table's
// locale swapped in.
#include <cstdint>
#include <functional>
#include <string>

#include "db/storage/ExpToken.h"

// Finds the column that node names (ColumnName, TableName), stores in the node what the
// caller's evaluation needs, sets DataType, SubType, DataSize and Decimals; false for an
// unknown name.
using TBindColumnFunc = std::function<bool(void* owner, TExpToken* node)>;

// Validates node and its subtree in place; raises the first error through the engine
// error raiser with errorCode and tableName. parent is nil for the root.
void ValidateExpression(uint16_t errorCode, const std::string& tableName, const std::string& context,
                        bool makeBooleanComparisons, const TBindColumnFunc& bindColumn, void* owner,
                        TExpToken* parent, TExpToken* node);

// The comparisons of the tree with a parameter marker that now has a value, met as the same
// value written in the statement is: a text compared with a date, time or timestamp is
// read as one, and a value the comparison cannot take is refused. A prepared statement's
// markers are untyped until their values are set.
void MeetParameterValues(uint16_t errorCode, const std::string& context, TExpToken* root);

// Bit 128 of code is ignored.
bool OperatorAcceptsTypes(uint8_t code, uint8_t leftType, uint8_t leftSubType, uint8_t rightSubType,
                          uint8_t rightType);
bool UnaryAcceptsType(uint8_t code, uint8_t type);
uint8_t UnaryResultType(uint8_t code, uint8_t type);
uint8_t UnaryResultSubType(uint8_t code, uint8_t type, uint8_t subType);
uint8_t BinaryResultType(uint8_t code, uint8_t leftType, uint8_t rightType);
uint8_t BinaryResultSubType(uint8_t code, uint8_t leftType, uint8_t leftSubType, uint8_t rightSubType,
                            uint8_t rightType);
bool CastAcceptsType(uint8_t targetType, uint8_t sourceType);
// Sizes, scale and BLOB subtype of a CAST target or column definition from its type
// arguments (chained from node's Second).
void ValidateCastArguments(uint16_t errorCode, const std::string& tableName, const std::string& context,
                           TExpToken* node);
// The node becomes node = True (a copy of it as the left operand).
void MakeBooleanComparison(TExpToken* node);

bool ExpressionHasColumns(const TExpToken* node);
bool ExpressionHasAggregates(const TExpToken* node);
bool ExpressionIsDisjunction(const TExpToken* node);
bool ExpressionHasNot(const TExpToken* node);
