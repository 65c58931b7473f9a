#include "db/storage/ExpToken.h"

#include <vector>

#include "db/storage/EngineErrors.h"
#include "db/storage/LibraryMemory.h"
#include "platform/rtl/SysUtils.h"

namespace {

constexpr int32_t TokenBufferStep = 255;
constexpr int32_t TokenBufferInitial = 251;

TExpTokenStack* GExpTokenStack = nullptr;

// What a string holds without heap storage.
const size_t LocalTextCapacity = std::string().capacity();

// Empties the string and gives back heap storage it holds (short texts live inside it).
void ReleaseText(std::string& s) {
    if (s.capacity() > LocalTextCapacity)
        std::string().swap(s);
    else
        s.clear();
}

}  // namespace

TExpToken::TExpToken() {
    SetBufferSize(TokenBufferInitial);
}

TExpToken::~TExpToken() {
    SetBlockBufferSize(0, TokenBufferStep, Value, BufferSize);
}

void TExpToken::SetBufferSize(int32_t size) {
    SetBlockBufferSize(size, TokenBufferStep, Value, BufferSize);
}

void TExpToken::Clear() {
    // The strings give their storage back instead of keeping it for the token's next use:
    // otherwise the pool's idle tokens collect a buffer for every long name or constant
    // any of them ever held, and a statement's run leaves memory behind it.
    ReleaseText(Text);
    NodeKind = 0;
    Code = 0;
    BindBytes[0] = BindBytes[1] = BindBytes[2] = 0;
    ReleaseText(ColumnName);
    BindWord = 0;
    ReleaseText(TableName);
    BindLong1 = BindLong2 = 0;
    SubQuery = nullptr;
    IsNull = 0;
    IsParameter = 0;
    CompareLength = 0;
    CaseInsensitive = 0;
    DataType = 0;
    SubType = 0;
    DataSize = 0;
    Decimals = 0;
    BoundFromString = 0;
    SavedType = SavedSubType = 0;
    SavedSize = SavedDecimals = 0;
    Parent = First = Second = Third = nullptr;
    // A cleared token keeps one block of value buffer; a grown one is given back.
    if (Value && BufferSize <= TokenBufferStep) {
        std::memset(Value, 0, BufferSize);
    } else {
        SetBlockBufferSize(0, TokenBufferStep, Value, BufferSize);
        SetBufferSize(TokenBufferInitial);
    }
}

void TExpToken::Assign(const TExpToken& s) {
    if (&s == this) return;
    if (BufferSize < s.BufferSize) SetBufferSize(s.BufferSize);
    if (s.BufferSize > 0) std::memcpy(Value, s.Value, s.BufferSize);
    Text = s.Text;
    NodeKind = s.NodeKind;
    Code = s.Code;
    std::memcpy(BindBytes, s.BindBytes, sizeof BindBytes);
    ColumnName = s.ColumnName;
    BindWord = s.BindWord;
    TableName = s.TableName;
    BindLong1 = s.BindLong1;
    BindLong2 = s.BindLong2;
    SubQuery = s.SubQuery;
    IsNull = s.IsNull;
    IsParameter = s.IsParameter;
    CompareLength = s.CompareLength;
    CaseInsensitive = s.CaseInsensitive;
    DataType = s.DataType;
    SubType = s.SubType;
    DataSize = s.DataSize;
    Decimals = s.Decimals;
    BoundFromString = s.BoundFromString;
    SavedType = s.SavedType;
    SavedSubType = s.SavedSubType;
    SavedSize = s.SavedSize;
    SavedDecimals = s.SavedDecimals;
    Parent = s.Parent;
    First = s.First;
    Second = s.Second;
    Third = s.Third;
}

bool TExpToken::IsEqual(const TExpToken& o) const {
    if (NodeKind != o.NodeKind || Code != o.Code || !SameText(ColumnName, o.ColumnName) ||
        !SameText(TableName, o.TableName) || IsParameter != o.IsParameter ||
        CompareLength != o.CompareLength || CaseInsensitive != o.CaseInsensitive || DataType != o.DataType ||
        SubType != o.SubType || DataSize != o.DataSize || Decimals != o.Decimals)
        return false;
    if (NodeKind == nkConstant) {
        if (IsNull != o.IsNull) return false;
        int64_t n = DataSize;
        if (n > BufferSize) n = BufferSize;
        if (n > o.BufferSize) n = o.BufferSize;
        if (n > 0 && std::memcmp(Value, o.Value, static_cast<size_t>(n)) != 0) return false;
    }
    return true;
}

void TExpToken::SetDataSize(uint32_t size) {
    if (size == DataSize) return;
    // A size past the 32-bit buffer capacity cannot be had (and must not read as the
    // negative size that frees the buffer).
    if (size > static_cast<uint32_t>(INT32_MAX)) RaiseEngineError(ZIZIVU_OSNOMEMORY);
    if (static_cast<int64_t>(size) > BufferSize) SetBufferSize(static_cast<int32_t>(size));
    DataSize = size;
}

void TExpToken::SetStr(const std::string& s) {
    if (static_cast<int64_t>(s.size()) + 1 > BufferSize) SetBufferSize(static_cast<int32_t>(s.size()) + 1);
    std::memcpy(Value, s.c_str(), s.size() + 1);
}

TExpTokenStack* ExpTokenStack() {
    return GExpTokenStack;
}

void CreateExpTokenStack() {
    if (!GExpTokenStack) GExpTokenStack = new TExpTokenStack();
}

void DestroyExpTokenStack() {
    delete GExpTokenStack;
    GExpTokenStack = nullptr;
}

TExpToken* NewExpToken() {
    if (GExpTokenStack) return GExpTokenStack->Pop();
    return new TExpToken();
}

void DisposeExpToken(TExpToken*& token) {
    if (!token) return;
    if (GExpTokenStack) {
        GExpTokenStack->Push(token);
    } else {
        delete token;
        token = nullptr;
    }
}

bool IsConstantValue(const TExpToken* n) {
    return n && (n->NodeKind == nkConstant ||
                 (n->NodeKind == nkUnary && (n->Code == opNegate || n->Code == opPlusSign) && n->First &&
                  n->First->NodeKind == nkConstant));
}

void FreeExpressionTree(TExpToken*& node) {
    if (!node) return;
    // Operands before the nodes that hold them (First, Second, Third, then the node), with
    // an explicit stack: long lists and long left-deep chains must not exhaust the machine
    // stack. An operand's link is cut when it is taken on, so a node whose links are all
    // empty is done. The stack stays in a local array while it fits, which spares the heap
    // for the single values and small trees an evaluation frees at every level.
    constexpr size_t LocalDepth = 64;
    TExpToken* local[LocalDepth];
    std::vector<TExpToken*> spill;
    TExpToken** stack = local;
    size_t capacity = LocalDepth;
    size_t top = 0;
    stack[top++] = node;
    while (top > 0) {
        TExpToken* n = stack[top - 1];
        TExpToken** link = n->First ? &n->First : n->Second ? &n->Second : n->Third ? &n->Third : nullptr;
        if (!link) {
            --top;
            DisposeExpToken(n);
            continue;
        }
        if (top == capacity) {
            if (spill.empty()) spill.assign(local, local + top);
            capacity *= 2;
            spill.resize(capacity);
            stack = spill.data();
        }
        stack[top++] = *link;
        *link = nullptr;
    }
    node = nullptr;
}
