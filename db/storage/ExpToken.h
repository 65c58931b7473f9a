#pragma once
// Nodes of parsed expression trees, which also carry values while a tree is evaluated,
// and the process-wide pool that recycles them.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "db/storage/Encodings.h"
#include "db/storage/Library.h"
#include "platform/rtl/System.h"

// Node kinds.
constexpr uint8_t nkUnary = 1;
constexpr uint8_t nkBinary = 2;
constexpr uint8_t nkPartialCompare = 3;  // made by tree preparation
constexpr uint8_t nkColumn = 4;
constexpr uint8_t nkConstant = 5;  // also NULL and parameter markers
constexpr uint8_t nkSubSelect = 6;
constexpr uint8_t nkFunction = 10;
constexpr uint8_t nkPredicate = 12;

// Operator and function codes.
constexpr uint8_t opIsNull = 1;
constexpr uint8_t opIsNotNull = 2;
constexpr uint8_t opEqual = 3;
constexpr uint8_t opNotEqual = 4;
constexpr uint8_t opGreater = 5;
constexpr uint8_t opLess = 6;
constexpr uint8_t opGreaterEqual = 7;
constexpr uint8_t opLessEqual = 8;
constexpr uint8_t opNot = 9;
constexpr uint8_t opAnd = 10;
constexpr uint8_t opOr = 11;
constexpr uint8_t opNegate = 15;
constexpr uint8_t opPlusSign = 16;
constexpr uint8_t opAdd = 17;
constexpr uint8_t opSubtract = 18;
constexpr uint8_t opMultiply = 19;
constexpr uint8_t opDivide = 20;
constexpr uint8_t fnSum = 23;
constexpr uint8_t fnCount = 24;
constexpr uint8_t fnMin = 25;
constexpr uint8_t fnMax = 26;
constexpr uint8_t fnAvg = 27;
constexpr uint8_t opLike = 31;
constexpr uint8_t opInList = 32;
constexpr uint8_t opInSelect = 33;
constexpr uint8_t fnUpper = 35;
constexpr uint8_t fnLower = 36;
constexpr uint8_t opBetween = 40;
constexpr uint8_t opNotBetween = 41;
constexpr uint8_t opNotLike = 42;
constexpr uint8_t opNotInList = 43;
constexpr uint8_t opNotInSelect = 44;
constexpr uint8_t fnSubstring = 45;
constexpr uint8_t fnReplace = 46;
constexpr uint8_t fnPos = 47;
constexpr uint8_t fnOccurs = 48;
constexpr uint8_t fnTrimLeading = 49;
constexpr uint8_t fnTrimTrailing = 50;
constexpr uint8_t fnTrimBoth = 51;
constexpr uint8_t fnCast = 52;
constexpr uint8_t fnExtractYear = 53;
constexpr uint8_t fnExtractMonth = 54;
constexpr uint8_t fnExtractDay = 55;
constexpr uint8_t fnExtractDayOfWeek = 56;
constexpr uint8_t fnExtractHour = 57;
constexpr uint8_t fnExtractMinute = 58;
constexpr uint8_t fnExtractSecond = 59;
constexpr uint8_t fnIf = 60;
constexpr uint8_t fnAbs = 61;
constexpr uint8_t fnRound = 62;

class TSubQuery;

// One node of an expression tree. Unary operators use First; binary operators First
// (left) and Second (right); predicates keep the tested expression in First and their
// operand list in Second; lists chain through Second.
// Not polymorphic: nothing derives from a node, and a sanitized build checks the dynamic
// type at every member access of a polymorphic class, which nodes get by the million.
class TExpToken final {
public:
    TExpToken();
    ~TExpToken();
    TExpToken(const TExpToken&) = delete;
    TExpToken& operator=(const TExpToken&) = delete;

    int32_t BufferSize = 0;
    std::string Text;
    uint8_t NodeKind = 0;
    uint8_t Code = 0;
    // Left to the binding callbacks of the callers (column numbers and the like).
    uint8_t BindBytes[3] = {0, 0, 0};
    std::string ColumnName;
    uint16_t BindWord = 0;
    std::string TableName;
    uint32_t BindLong1 = 0;
    uint32_t BindLong2 = 0;
    TSubQuery* SubQuery = nullptr;  // owned by the query statement, not by the tree
    uint8_t* Value = nullptr;
    uint8_t IsNull = 0;
    uint8_t IsParameter = 0;
    uint32_t CompareLength = 0;
    uint8_t CaseInsensitive = 0;
    uint8_t DataType = 0;
    uint8_t SubType = 0;
    uint32_t DataSize = 0;
    uint8_t Decimals = 0;
    uint8_t BoundFromString = 0;
    uint8_t SavedType = 0;
    uint8_t SavedSubType = 0;
    uint32_t SavedSize = 0;
    uint32_t SavedDecimals = 0;
    TExpToken* Parent = nullptr;
    TExpToken* First = nullptr;
    TExpToken* Second = nullptr;
    TExpToken* Third = nullptr;

    // Grows the value buffer in 255-byte steps; never shrinks it.
    void SetBufferSize(int32_t size);
    void Clear();
    // Pool reset.
    void Reset() { Clear(); }
    // Shallow copy: every field, the whole value buffer and the four links as they are.
    void Assign(const TExpToken& source);
    bool IsEqual(const TExpToken& other) const;
    // Resizes the buffer to hold the size and records it.
    void SetDataSize(uint32_t size);

    template <class T>
    T Get() const {
        T v;
        std::memcpy(&v, Value, sizeof v);
        return v;
    }
    template <class T>
    void Set(T v) {
        if (BufferSize < static_cast<int32_t>(sizeof v)) SetBufferSize(sizeof v);
        std::memcpy(Value, &v, sizeof v);
    }
    const char* Str() const { return reinterpret_cast<const char*>(Value); }
    char* Str() { return reinterpret_cast<char*>(Value); }
    // The zero-terminated text into the buffer, which grows to hold it.
    void SetStr(const std::string& s);
};

// The pool of free tokens.
class TExpTokenStack : public TObjectPool<TExpToken> {
public:
    TExpTokenStack() : TObjectPool<TExpToken>(1024) {}
};

// The global pool (nil outside InitializeLibrary .. FinalizeLibrary).
TExpTokenStack* ExpTokenStack();
void CreateExpTokenStack();
void DestroyExpTokenStack();

// A token from the global pool (a new one when the library is not started).
TExpToken* NewExpToken();
// Back to the global pool; the reference becomes nil.
void DisposeExpToken(TExpToken*& token);
// A constant, or a sign applied to one (what IN lists and BETWEEN bounds may hold).
bool IsConstantValue(const TExpToken* node);
// Returns every node of the tree to the pool, operands first; the reference becomes nil.
void FreeExpressionTree(TExpToken*& node);

// Owns a tree (or a single token) and frees it when it goes out of scope, so that a
// failure half-way through building or evaluating returns every node to the pool.
struct TExpTreeDeleter {
    void operator()(TExpToken* node) const {
        TExpToken* p = node;
        FreeExpressionTree(p);
    }
};
using TExpTree = std::unique_ptr<TExpToken, TExpTreeDeleter>;

inline TExpTree NewExpTree() {
    return TExpTree(NewExpToken());
}
