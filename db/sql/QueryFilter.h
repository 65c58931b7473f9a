#pragma once
// The statement's conditions on a cursor: a filter that keeps the records for which its
// condition is true, evaluated record by record over the candidates the cursor's view
// offers (pushed-down WHERE parts, join conditions bound to the outer row, the value
// test of an IN sub-select on its result).
#include <cstdint>
#include <utility>
#include <vector>

#include "db/engine/DataCursor.h"
#include "db/storage/ExpToken.h"
#include "db/storage/RecordsBitmap.h"

class TQueryFilter : public TCursorFilter {
public:
    // Column nodes of the condition name the table's field by BindWord.
    TQueryFilter(TDataCursor* cursor, TExpTree condition, uint16_t language, uint16_t sort);
    TQueryFilter(const TQueryFilter&) = delete;
    TQueryFilter& operator=(const TQueryFilter&) = delete;

    bool IsActive() const override { return true; }
    void BuildResult(const TRecordsBitmap& candidates, bool& restart) override;
    void CheckRecord(uint32_t recordNo, const uint8_t* record) override;
    void ClearRecord(uint32_t recordNo) override;
    const TRecordsBitmap& Result() const override { return FResult; }

    TDataCursor* Cursor() const { return FCursor; }
    const TExpToken* Condition() const { return FCondition.get(); }
    void SetCondition(TExpTree condition) { FCondition = std::move(condition); }
    // Whether a record image of the table passes.
    bool Accepts(const uint8_t* record);

private:
    TDataCursor* FCursor;
    TExpTree FCondition;
    TRecordsBitmap FResult;
    uint16_t FLanguage;
    uint16_t FSort;
    std::vector<uint8_t> FImage;
    // Type and stored size of each table field, by field number - 1.
    std::vector<std::pair<uint8_t, uint8_t>> FFields;
};

// The filter joins the cursor's view (rebuilt at once), and leaves it.
void InstallCursorFilter(TDataCursor& cursor, TCursorFilter* filter);
void RemoveCursorFilter(TDataCursor& cursor, TCursorFilter* filter);
// After a filter's condition changed: the view rebuilt.
void RefreshCursorFilters(TDataCursor& cursor);
