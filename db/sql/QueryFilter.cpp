#include "db/sql/QueryFilter.h"

#include <algorithm>
#include <cstring>

#include "db/engine/DataTable.h"
#include "db/storage/EngineErrors.h"
#include "db/storage/ExpressionEval.h"

namespace {

// Room for any stored value but a BLOB's.
constexpr int32_t FieldValueSize = 256;

}  // namespace

TQueryFilter::TQueryFilter(TDataCursor* cursor, TExpTree condition, uint16_t language, uint16_t sort)
    : FCursor(cursor), FCondition(std::move(condition)), FLanguage(language), FSort(sort) {
    const int32_t count = cursor->Table()->DataFile()->GetFieldCount();
    for (int32_t i = 0; i < count; ++i) {
        const TFieldDescriptor& f = cursor->Table()->DataFile()->GetFieldDescriptor(i);
        FFields.emplace_back(f.DataType, f.DataSize);
    }
}

bool TQueryFilter::Accepts(const uint8_t* record) {
    if (!FCondition) return true;
    // The evaluator may open a BLOB of the record, which wants a writable image.
    const size_t size = size_t(std::max(FCursor->Table()->DataFile()->GetRecordSize(), RecordHeaderSize));
    FImage.assign(record, record + size);
    TDataCursor* cursor = FCursor;
    const auto& fields = FFields;
    const TGetColumnValueFunc fetch = [cursor, &fields](void*, void* rec, TExpToken* node) {
        auto* image = static_cast<uint8_t*>(rec);
        const int32_t no = node->BindWord;
        if (no < 1 || size_t(no) > fields.size()) RaiseEngineError(ZIZIVU_INVALIDFIELD, cursor->TableName());
        const auto [type, dataSize] = fields[size_t(no) - 1];
        if (type == dtBlob) {
            node->IsNull = 1;
            node->DataSize = 0;
            uint16_t code = cursor->OpenBlob(no, image, EngineBlobTag, true, bmRead);
            if (code != 0) RaiseEngineError(code, cursor->TableName());
            uint32_t size = 0, count = 0;
            code = cursor->GetBlobSize(no, image, true, size);
            if (code == 0 && size > 0) {
                node->SetBufferSize(int32_t(size) + 1);
                code = cursor->GetBlob(no, image, true, count, size, node->Value, 0);
                node->Value[count] = 0;
                node->DataSize = count + 1;
                node->IsNull = 0;
            }
            cursor->FreeBlob(no, image, EngineBlobTag, true);
            if (code != 0) RaiseEngineError(code, cursor->TableName());
            return;
        }
        node->SetBufferSize(FieldValueSize);
        bool blank = false;
        cursor->GetTableField(no, image, blank, node->Value);
        node->IsNull = blank ? 1 : 0;
        node->DataSize = dataSize;
    };
    TExpTree v = EvaluateExpression(FCondition.get(), FImage.data(), this, FSort, FLanguage, fetch);
    return v && !v->IsNull && v->DataType == dtBoolean && (v->Value[0] | v->Value[1]) != 0;
}

void TQueryFilter::BuildResult(const TRecordsBitmap& candidates, bool& restart) {
    FResult.SetRecordCount(candidates.RecordCount());
    FResult.ClearAll();
    TDataFile* file = FCursor->Table()->DataFile();
    for (int32_t n = 1; n <= candidates.RecordCount(); ++n) {
        if (!candidates.GetBit(n)) continue;
        TRecord* record = nullptr;
        if (!file->GetRecord(FCursor, uint32_t(n), record)) {
            // The caches went under the walk: the view starts again.
            restart = true;
            return;
        }
        bool keep = false;
        try {
            keep = Accepts(record->GetBuffer());
        } catch (...) {
            file->ReleaseRecord(record);
            throw;
        }
        file->ReleaseRecord(record);
        if (keep) FResult.SetBit(n);
    }
}

void TQueryFilter::CheckRecord(uint32_t recordNo, const uint8_t* record) {
    if (FResult.RecordCount() < int32_t(recordNo)) FResult.SetRecordCount(int32_t(recordNo));
    if (Accepts(record))
        FResult.SetBit(int32_t(recordNo));
    else
        FResult.ClearBit(int32_t(recordNo));
}

void TQueryFilter::ClearRecord(uint32_t recordNo) {
    if (int32_t(recordNo) <= FResult.RecordCount()) FResult.ClearBit(int32_t(recordNo));
}

void InstallCursorFilter(TDataCursor& cursor, TCursorFilter* filter) {
    cursor.Filters().push_back(filter);
    RefreshCursorFilters(cursor);
}

void RemoveCursorFilter(TDataCursor& cursor, TCursorFilter* filter) {
    auto& list = cursor.Filters();
    list.erase(std::remove(list.begin(), list.end(), filter), list.end());
    if (cursor.IsOpen()) RefreshCursorFilters(cursor);
}

void RefreshCursorFilters(TDataCursor& cursor) {
    cursor.UpdateFilterState();
    cursor.Resync();
}
