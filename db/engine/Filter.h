#pragma once
// One filter of a cursor: a prepared expression tree or a callback, and the bitmap of the
// records it accepts. The filter object is the handle that TDataCursor::AddFilter returns.
//
// Comparisons of an indexed column with constants are answered from the index; each tree
// node carries its optimisation level (0 none, 1 partly, 2 wholly from indexes) in
// BindBytes[0] and the index chosen for it in BindBytes[1]. Column references name their
// table field by position in BindWord.
#include <cstdint>
#include <functional>
#include <vector>

#include "db/engine/DataCursor.h"
#include "db/storage/ExpToken.h"
#include "db/storage/RecordsBitmap.h"

// Asked about one record (its buffer and physical number); true keeps it.
using TFilterCallback = std::function<bool(const uint8_t* record, uint32_t recordNo)>;

// Optimisation levels.
constexpr uint8_t olNone = 0;
constexpr uint8_t olPartly = 1;
constexpr uint8_t olWholly = 2;

class TFilter : public TCursorFilter {
public:
    explicit TFilter(TDataCursor* cursor) : FCursor(cursor) {}
    TFilter(const TFilter&) = delete;
    TFilter& operator=(const TFilter&) = delete;

    TDataCursor* Cursor() const { return FCursor; }
    bool IsActive() const override { return FActive; }
    bool IsChained() const override { return FChained; }
    bool IsCallback() const { return FIsCallback; }
    bool CountFirst() const { return FCountFirst; }
    bool OwnsExpression() const { return FOwnedExpression != nullptr; }
    uint8_t Level() const { return FLevel; }
    const TExpToken* Expression() const { return FExpression; }
    const TFilterCallback& Callback() const { return FCallback; }
    // The indexes that answer the condition's comparisons, in the order its tree names
    // them; none when every record is evaluated.
    std::vector<int32_t> IndexNumbers() const;

    void Activate() { FActive = true; }
    void Deactivate() { FActive = false; }
    // Replaces the tree (the old one is freed when owned) and computes its level.
    void SetExpression(TExpToken* tree, bool owns);
    void SetCallback(TFilterCallback callback);
    // The levels and index choices again, after the table's indexes changed.
    void Reoptimize();
    void SetOptions(bool countFirst, bool chained) {
        FCountFirst = countFirst;
        FChained = chained;
    }

    void BuildResult(const TRecordsBitmap& candidates, bool& restart) override;
    void CheckRecord(uint32_t recordNo, const uint8_t* record) override;
    void ClearRecord(uint32_t recordNo) override;
    const TRecordsBitmap& Result() const override { return FResult; }
    // A filter about to go gives its result's buffer, cleared, to spare when it is the
    // bigger one: the next filter built takes it instead of allocating and zeroing its own.
    void GiveResultBuffer(TRecordsBitmap& spare) {
        if (FResult.BufferCapacity() <= spare.BufferCapacity()) return;
        FResult.ClearAll();
        FResult.Swap(spare);
    }

private:
    void FreeExpression();

    TDataCursor* FCursor;
    TExpToken* FExpression = nullptr;
    TFilterCallback FCallback;
    TRecordsBitmap FResult;
    // The expression again when the filter owns it.
    TExpTree FOwnedExpression;
    bool FActive = false;
    bool FIsCallback = false;
    uint8_t FLevel = olNone;
    bool FChained = false;
    bool FCountFirst = false;
};
