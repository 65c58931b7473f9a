// Filters of a cursor: expression filters (parsed, checked, bound and prepared once) and
// callback filters, their results as record bitmaps, and the answers that indexes give
// for comparisons of an indexed column with constants. An index answer must mark exactly
// the records that reading and evaluating them would keep; what an index cannot answer
// so is evaluated record by record over the records still in question.
#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

#include "db/engine/DataCursor.h"
#include "db/engine/DataTable.h"
#include "db/engine/EngineErrors.h"
#include "db/engine/Filter.h"
#include "db/storage/Encodings.h"
#include "db/storage/ExpressionEval.h"
#include "db/storage/ExpressionParser.h"
#include "db/storage/ExpressionValidate.h"
#include "db/storage/LanguageSettings.h"
#include "db/storage/RecordsBitmap.h"
#include "platform/rtl/ByteCodec.h"
#include "platform/rtl/Math.h"
#include "platform/rtl/ScopeGuard.h"
#include "platform/rtl/SysUtils.h"

namespace {

constexpr int32_t MaxFilterCount = 64;
constexpr int LevelByte = 0;
constexpr int IndexByte = 1;
// Room for one field value (the evaluator's buffers hold at least this).
constexpr int32_t ValueBufferSize = 256;

bool IsComparison(const TExpToken* n) {
    return n->NodeKind == nkBinary && n->Code >= opEqual && n->Code <= opLessEqual;
}

bool IsRangePredicate(const TExpToken* n) {
    return n->NodeKind == nkPredicate &&
           (n->Code == opInList || n->Code == opNotInList || n->Code == opBetween || n->Code == opNotBetween);
}

// Nodes whose truth an index range can give.
bool IsIndexable(const TExpToken* n) {
    return IsComparison(n) || n->NodeKind == nkPartialCompare || IsRangePredicate(n);
}

// Calls fn for every marked record; fn may clear bits of the bitmap as it goes.
template <class F>
void ForEachMarked(const TRecordsBitmap& bits, F&& fn) {
    const int32_t count = bits.RecordCount();
    const uint32_t* words = bits.Words();
    for (int32_t w = 0; w < bits.WordCount(); ++w) {
        uint32_t x = words[w];
        while (x != 0) {
            const int32_t record = w * 32 + __builtin_ctz(x) + 1;
            x &= x - 1;
            if (record > count) return;
            fn(record);
        }
    }
}

// Big-endian +1 / -1 over an image; false when it runs past the highest (lowest) value.
bool IncrementImage(uint8_t* p, int32_t n) {
    for (int32_t i = n - 1; i >= 0; --i)
        if (++p[i] != 0) return true;
    return false;
}

bool DecrementImage(uint8_t* p, int32_t n) {
    for (int32_t i = n - 1; i >= 0; --i)
        if (p[i]-- != 0) return true;
    return false;
}

}  // namespace

// ---- TFilter ------------------------------------------------------------------------------

void TFilter::FreeExpression() {
    FOwnedExpression.reset();
    FExpression = nullptr;
}

void TFilter::SetExpression(TExpToken* tree, bool owns) {
    if (tree == FExpression) return;
    FreeExpression();
    FExpression = tree;
    if (owns) FOwnedExpression.reset(tree);
    FIsCallback = false;
    FCallback = nullptr;
    FLevel = tree ? FCursor->OptimizeFilterNode(tree) : olNone;
}

void TFilter::Reoptimize() {
    if (!FIsCallback && FExpression) FLevel = FCursor->OptimizeFilterNode(FExpression);
}

namespace {

void CollectIndexNumbers(const TExpToken* node, std::vector<int32_t>& indexes) {
    if (!node || node->BindBytes[LevelByte] == olNone) return;
    if (IsIndexable(node)) {
        indexes.push_back(node->BindBytes[IndexByte]);
        return;
    }
    CollectIndexNumbers(node->First, indexes);
    CollectIndexNumbers(node->Second, indexes);
}

}  // namespace

std::vector<int32_t> TFilter::IndexNumbers() const {
    std::vector<int32_t> indexes;
    if (!FIsCallback) CollectIndexNumbers(FExpression, indexes);
    return indexes;
}

void TFilter::SetCallback(TFilterCallback callback) {
    FreeExpression();
    FCallback = std::move(callback);
    FIsCallback = true;
    FLevel = olNone;
}

void TFilter::BuildResult(const TRecordsBitmap& candidates, bool& restart) {
    // Every word of a spare buffer is clear, as a new one's: what is built over it is the same.
    if (FResult.BufferCapacity() == 0) FResult.Swap(FCursor->FSpareResult);
    if (!FIsCallback && FExpression) {
        FCursor->NarrowFilterInto(candidates, FExpression, FResult, FCountFirst, restart);
        return;
    }
    FResult.Assign(candidates);
    if (!FIsCallback) return;
    TDataCursor& c = *FCursor;
    std::vector<uint8_t> record(size_t(std::max({c.FRecordSize, c.FPhysicalRecordSize, RecordHeaderSize})));
    ForEachMarked(candidates, [&](int32_t n) {
        std::fill(record.begin(), record.end(), 0);
        c.FetchRecord(uint32_t(n), record.data());
        c.ComputeColumns(record.data());
        if (record[0] != 0 || !(FCallback && FCallback(record.data(), uint32_t(n)))) FResult.ClearBit(n);
    });
}

void TFilter::CheckRecord(uint32_t recordNo, const uint8_t* record) {
    const int32_t n = int32_t(recordNo);
    FResult.Extend(n);
    bool keep;
    if (FIsCallback)
        keep = FCallback && FCallback(record, recordNo);
    else
        keep = FExpression && FCursor->EvaluateFilterForRecord(FExpression, record);
    if (keep)
        FResult.SetBit(n);
    else
        FResult.ClearBit(n);
}

void TFilter::ClearRecord(uint32_t recordNo) {
    if (recordNo >= 1 && int32_t(recordNo) <= FResult.RecordCount()) FResult.ClearBit(int32_t(recordNo));
}

// ---- The filter list ----------------------------------------------------------------------

size_t TDataCursor::FilterIndex(const TFilter* filter) const {
    for (size_t i = 0; i < FFilters.size(); ++i)
        if (FFilters[i].get() == filter) return i;
    Raise(ZIZIVU_INVALIDFILTERHANDLE);
}

bool TDataCursor::HasFilter(const TFilter* filter) const {
    return filter && std::any_of(FFilters.begin(), FFilters.end(),
                                 [filter](const auto& f) { return f.get() == filter; });
}

TFilter* TDataCursor::InsertFilter(std::unique_ptr<TFilter> filter) {
    if (FFilters.size() >= size_t(MaxFilterCount)) Raise(ZIZIVU_TOOMANYFILTERS);
    TFilter* added = filter.get();
    auto at = FFilters.end();
    if (!added->IsChained())
        at = std::find_if(FFilters.begin(), FFilters.end(),
                          [](const std::unique_ptr<TCursorFilter>& f) { return f->IsChained(); });
    FFilters.insert(at, std::move(filter));
    return added;
}

// The view after a change of the filters: rebuilt (or only recombined) and the cursor back
// on its record.
void TDataCursor::AfterFilterChange(bool rebuild) {
    const bool was = FFiltered;
    UpdateFilterState();
    if (rebuild || (FFiltered && !was))
        ResetView();
    else
        ResetFilterBitmaps();
    Reposition();
}

TFilter* TDataCursor::AddFilter(const std::string& text, bool noPartialCompare, bool caseInsensitive,
                                bool countFirst, bool chained) {
    CheckOpen();
    TReadScope read(*this);
    RefreshIfChanged();
    if (FFilters.size() >= size_t(MaxFilterCount)) Raise(ZIZIVU_TOOMANYFILTERS);
    TExpTree tree(ParseFilterExpression(text));
    ValidateFilterExpression(tree.get());
    TExpTree prepared;
    {
        TLanguageSettingsSwap swap(FLanguage, FSort);
        const TGetColumnValueFunc fetch = [this](void*, void* record, TExpToken* node) {
            FetchFilterValue(static_cast<uint8_t*>(record), node);
        };
        prepared = PrepareExpressionTree(tree.get(), this, fetch, noPartialCompare, caseInsensitive, FSort,
                                         FLanguage);
    }
    auto filter = std::make_unique<TFilter>(this);
    filter->SetOptions(countFirst, chained);
    filter->SetExpression(prepared.release(), true);
    return InsertFilter(std::move(filter));
}

TFilter* TDataCursor::AddFilter(TExpToken* tree, bool ownsTree, bool countFirst, bool chained) {
    TExpTree owned(ownsTree ? tree : nullptr);
    CheckOpen();
    TReadScope read(*this);
    RefreshIfChanged();
    auto filter = std::make_unique<TFilter>(this);
    filter->SetOptions(countFirst, chained);
    // From here on a failure frees the tree with the filter (when owned).
    owned.release();
    filter->SetExpression(tree, ownsTree);
    return InsertFilter(std::move(filter));
}

TFilter* TDataCursor::AddFilter(TFilterCallback callback, bool chained) {
    CheckOpen();
    TReadScope read(*this);
    RefreshIfChanged();
    auto filter = std::make_unique<TFilter>(this);
    filter->SetOptions(false, chained);
    filter->SetCallback(std::move(callback));
    return InsertFilter(std::move(filter));
}

void TDataCursor::DropFilter(TFilter* filter) {
    CheckOpen();
    TReadScope read(*this);
    RefreshIfChanged();
    if (!filter) {
        for (const auto& f : FFilters)
            if (auto* own = dynamic_cast<TFilter*>(f.get())) own->GiveResultBuffer(FSpareResult);
        // The view is recombined once, by AfterFilterChange.
        std::exchange(FFilters, {});
        AfterFilterChange(false);
        return;
    }
    const size_t i = FilterIndex(filter);
    filter->GiveResultBuffer(FSpareResult);
    FFilters.erase(FFilters.begin() + std::ptrdiff_t(i));
    AfterFilterChange(false);
}

void TDataCursor::ActivateFilter(TFilter* filter) {
    CheckOpen();
    TReadScope read(*this);
    RefreshIfChanged();
    FilterIndex(filter);
    if (filter->IsActive()) return;
    filter->Activate();
    const bool was = FFiltered;
    UpdateFilterState();
    if (!was || FRebuilding) {
        AfterFilterChange(true);
        return;
    }
    // The other results stand: only the new filter is built.
    TRecordsBitmap narrowed;
    const TRecordsBitmap& candidates = FilterCandidates(filter, narrowed);
    bool restart = false;
    FRebuilding = true;
    // A filter whose result cannot be built stays inactive.
    TScopeGuard deactivate([this, filter] {
        FRebuilding = false;
        filter->Deactivate();
        UpdateFilterState();
    });
    filter->BuildResult(candidates, restart);
    deactivate.Dismiss();
    FRebuilding = false;
    AfterFilterChange(restart);
}

void TDataCursor::DeactivateFilter(TFilter* filter) {
    CheckOpen();
    TReadScope read(*this);
    RefreshIfChanged();
    if (filter) {
        FilterIndex(filter);
        filter->Deactivate();
    } else {
        for (const auto& f : FFilters)
            if (auto* own = dynamic_cast<TFilter*>(f.get())) own->Deactivate();
    }
    // Chained filters after it were built over what it accepted.
    AfterFilterChange(true);
}

void TDataCursor::ReplaceFilterTree(TExpToken* tree, TFilter* filter) {
    CheckOpen();
    TExpTree owned(tree);
    TReadScope read(*this);
    RefreshIfChanged();
    const size_t i = FilterIndex(filter);
    (void)i;
    if (!filter->IsActive()) Raise(ZIZIVU_INVALIDFILTERHANDLE);
    if (!tree) return;
    filter->SetExpression(owned.release(), true);
    if (FRebuilding) {
        AfterFilterChange(true);
        return;
    }
    // Only its result is built anew, and those of the chained filters after it (built over
    // what it accepted). The others stand: a join replaces its filter for every outer row,
    // and rebuilding all of them ran every nested sub-select's filter again each time.
    bool restart = false;
    {
        FRebuilding = true;
        TScopeGuard rebuilt([this] { FRebuilding = false; });
        TRecordsBitmap narrowed;
        bool after = false;
        for (const auto& f : FFilters) {
            after |= f.get() == filter;
            if (!after || !f->IsActive() || (f.get() != filter && !f->IsChained())) continue;
            f->BuildResult(FilterCandidates(f.get(), narrowed), restart);
            if (restart) break;
        }
    }
    AfterFilterChange(restart);
}

void TDataCursor::DropAllFilters() {
    // The filters go once the list is empty.
    std::exchange(FFilters, {});
    if (FOpen) {
        UpdateFilterState();
        ResetFilterBitmaps();
    }
}

// ---- Parsing and binding ------------------------------------------------------------------

TExpToken* TDataCursor::ParseFilterExpression(const std::string& text) {
    TLanguageSettingsSwap swap(FLanguage, FSort);
    TExpressionParser parser(nullptr);
    parser.SetErrorCode(ZIZIVU_FILTERERR);
    parser.SetTableName(FTableName);
    parser.SetContext("filter expression");
    parser.SetText(text);
    parser.NextToken();
    TExpTree tree = parser.ParseExpression(pfFilter);
    if (!tree) Raise(ZIZIVU_FILTERERR);
    // Whatever follows a complete expression is not part of it.
    if (!parser.TokenKindIs(tkEnd)) parser.RaiseToken("Unknown or unexpected symbol '");
    return tree.release();
}

void TDataCursor::ValidateFilterExpression(TExpToken* tree) {
    CheckOpen();
    const TBindColumnFunc bind = [this](void*, TExpToken* node) {
        const std::string name = Trim(node->ColumnName);
        TDataFile* data = DataFile();
        for (int32_t i = 0; i < data->GetFieldCount(); ++i) {
            const TFieldDescriptor& f = data->GetFieldDescriptor(i);
            if (!SameText(f.Name, name)) continue;
            node->BindWord = uint16_t(FFieldNumberAddressing ? f.FieldNo : i + 1);
            node->DataType = f.DataType;
            node->SubType = f.SubType;
            node->DataSize = uint32_t(f.DataSize);
            node->Decimals = f.Decimals;
            return true;
        }
        return false;
    };
    TLanguageSettingsSwap swap(FLanguage, FSort);
    ValidateExpression(ZIZIVU_FILTERERR, FTableName, "filter expression", true, bind, this, nullptr, tree);
    if (!tree || tree->DataType != dtBoolean)
        RaiseEngineError(ZIZIVU_FILTERERR, FTableName, "", "",
                         "filter expression must be a boolean expression");
}

// A column's value for the evaluator: the table field the binding named, a BLOB's bytes
// read through a temporary open.
void TDataCursor::FetchFilterValue(uint8_t* record, TExpToken* node) {
    const int32_t no = node->BindWord;
    const TFieldDescriptor& f = FieldAt(no, true);
    if (f.DataType == dtBlob) {
        uint32_t size = 0, count = 0;
        node->IsNull = 1;
        node->DataSize = 0;
        if (uint16_t code = OpenBlob(no, record, EngineBlobTag, true, bmRead)) Raise(code);
        uint16_t code = GetBlobSize(no, record, true, size);
        if (code == 0 && size > 0) {
            node->SetBufferSize(int32_t(size) + 1);
            code = GetBlob(no, record, true, count, size, node->Value, 0);
            if (code == ZIZIVU_ENDOFBLOB) code = 0;
            node->Value[count] = 0;
            node->DataSize = count;
            node->IsNull = 0;
        }
        const uint16_t freed = FreeBlob(no, record, EngineBlobTag, true);
        if (code == 0) code = freed;
        if (code != 0) Raise(code);
        return;
    }
    node->SetBufferSize(ValueBufferSize);
    bool blank;
    ReadFieldValue(f, record, blank, node->Value);
    node->IsNull = blank ? 1 : 0;
    node->DataSize = uint32_t(f.DataSize);
}

// ---- Evaluation ---------------------------------------------------------------------------

bool TDataCursor::EvaluateFilterForRecord(TExpToken* node, const uint8_t* record) {
    TLanguageSettingsSwap swap(FLanguage, FSort);
    const TGetColumnValueFunc fetch = [this](void*, void* rec, TExpToken* n) {
        FetchFilterValue(static_cast<uint8_t*>(rec), n);
    };
    TExpTree r = EvaluateExpression(node, const_cast<uint8_t*>(record), this, FSort, FLanguage, fetch);
    return r && !r->IsNull && r->Value && r->Get<uint16_t>() != 0;
}

void TDataCursor::EvaluateFilterForRecords(TExpToken* node, TRecordsBitmap& bits) {
    TLanguageSettingsSwap swap(FLanguage, FSort);
    std::vector<uint8_t> record(size_t(std::max({FRecordSize, FPhysicalRecordSize, RecordHeaderSize})));
    ForEachMarked(bits, [&](int32_t n) {
        ReadRecordInto(uint32_t(n), record.data(), 1, false);
        if (record[0] != 0 || !EvaluateFilterForRecord(node, record.data())) bits.ClearBit(n);
    });
}

// ---- Optimisation -------------------------------------------------------------------------

int32_t TDataCursor::FindIndexForField(int32_t fieldNo, bool caseInsensitive, bool anyCase) {
    CheckOpen();
    TIndexFile* index = IndexFile();
    const bool isString = TableField(fieldNo).DataType == dtString;
    const int32_t count = index->GetIndexCount();
    for (int32_t i = index->GetNoPrimaryIndex() ? 1 : 0; i <= count; ++i) {
        const TIndexDescriptor d = index->GetIndexDescriptor(i);
        if (d.KeyLength == 0 || d.FieldCount == 0 || d.FieldNumbers[0] != fieldNo) continue;
        // Ranges are walked in ascending key order.
        if (d.Descending != 0 || d.FieldOptions[0] != 0) continue;
        if (isString && !anyCase && (d.CaseInsensitive != 0) != caseInsensitive) continue;
        return i;
    }
    return -1;
}

// A comparison, partial comparison, IN list or BETWEEN of a column (or UPPER of one) with
// constants qualifies when an index on the column gives exactly its records: the constants
// have the column's own type (a constant that preparation could not convert exactly is
// left to evaluation), strings fit the field and compare as bytes (tables without
// language), and an UPPER comparison's constant is upper case already.
uint8_t TDataCursor::OptimizeComparison(TExpToken* node) {
    TExpToken* column = node->First;
    if (!column) return olNone;
    const bool upper = IsUpperOfColumn(column);
    if (upper) column = column->First;
    if (column->NodeKind != nkColumn || column->BindWord == 0) return olNone;
    const int32_t fieldCount = DataFile()->GetFieldCount();
    const TFieldDescriptor* field = nullptr;
    if (FFieldNumberAddressing) {
        field = &TableField(column->BindWord);
    } else {
        if (column->BindWord > fieldCount) return olNone;
        field = &DataFile()->GetFieldDescriptor(column->BindWord - 1);
    }
    const TFieldDescriptor& f = *field;
    switch (f.DataType) {
        case dtString:
            if (FLanguage != 0) return olNone;
            break;
        case dtDate:
        case dtBoolean:
        case dtSmallInt:
        case dtInteger:
        case dtFloat:
        case dtBCD:
        case dtTime:
        case dtTimeStamp:
        case dtWord:
            if (upper) return olNone;
            break;
        default:
            return olNone;
    }
    if (f.Computed) return olNone;
    const bool partial = node->NodeKind == nkPartialCompare;
    const bool partialCaseless = partial && node->CaseInsensitive != 0;
    if (partial) {
        if (f.DataType != dtString || (node->Code != opEqual && node->Code != opNotEqual)) return olNone;
        if (node->CompareLength > uint32_t(f.DataSize - 1)) return olNone;
    }
    auto constantFits = [&](const TExpToken* k, bool nullAllowed) {
        // A parameter counts as a constant: the filter is built from a copy of the tree
        // after the values arrived, and built again for every run.
        if (!k || k->NodeKind != nkConstant) return false;
        if (k->IsNull) return nullAllowed;
        if (k->DataType != f.DataType || !k->Value) return false;
        if (f.DataType == dtBCD && k->Decimals != f.Decimals) return false;
        if (f.DataType == dtString) {
            const size_t n = strnlen(k->Str(), size_t(k->BufferSize));
            if (n > size_t(f.DataSize - 1)) return false;
            if (upper && !partialCaseless) {
                std::string text(k->Str(), n), mapped(n, '\0');
                UpperCaseLocale(FLanguage, FSort, text.c_str(), mapped.data());
                if (mapped != text) return false;
            }
        }
        // Minus zero equals zero but has a key of its own.
        if ((f.DataType == dtFloat || f.DataType == dtTimeStamp) && k->Get<double>() == 0.0) return false;
        return true;
    };
    if (IsComparison(node) || partial) {
        const bool nullAllowed = node->Code == opEqual || node->Code == opNotEqual;
        if (!constantFits(node->Second, nullAllowed)) return olNone;
    } else if (node->Code == opInList || node->Code == opNotInList) {
        if (!node->Second) return olNone;
        for (const TExpToken* v = node->Second; v; v = v->Second)
            if (!constantFits(v, true)) return olNone;
    } else {
        const TExpToken* low = node->Second;
        if (!low || !constantFits(low, false) || !constantFits(low->Second, false)) return olNone;
    }
    const int32_t index = FindIndexForField(f.FieldNo, upper || partialCaseless, false);
    if (index < 0) return olNone;
    node->BindBytes[IndexByte] = uint8_t(index);
    return olWholly;
}

uint8_t TDataCursor::OptimizeFilterNode(TExpToken* node, bool selectivity) {
    if (!node) return olNone;
    uint8_t level = olNone;
    if (FComputedFields && !IsRecordNumberOrder()) {
        level = olNone;
    } else if (IsIndexable(node)) {
        level = OptimizeComparison(node);
        if (level == olWholly && selectivity) {
            TRecordsBitmap probe;
            bool restart = false;
            if (!BitmapFromIndexRange(node, probe, false, true, restart)) level = olNone;
        }
    } else if (node->NodeKind == nkUnary &&
               (node->Code == opNot || node->Code == opNegate || node->Code == opPlusSign)) {
        level = OptimizeFilterNode(node->First, selectivity);
    } else if (node->NodeKind == nkBinary && node->Code == opAnd) {
        const uint8_t a = OptimizeFilterNode(node->First, selectivity);
        const uint8_t b = OptimizeFilterNode(node->Second, selectivity);
        if (a == olWholly && b == olWholly) {
            level = olWholly;
        } else if (a != olNone || b != olNone) {
            level = olPartly;
            // The operand the index answers narrows first.
            if (b > a) std::swap(node->First, node->Second);
        }
    } else if (node->NodeKind == nkBinary && node->Code == opOr) {
        const uint8_t a = OptimizeFilterNode(node->First, selectivity);
        const uint8_t b = OptimizeFilterNode(node->Second, selectivity);
        level = a == olWholly && b == olWholly ? olWholly : olNone;
    }
    node->BindBytes[LevelByte] = level;
    return level;
}

// ---- Index ranges -------------------------------------------------------------------------

bool TDataCursor::BuildRangeKey(const TExpToken* node, const TExpToken* constant, uint8_t code,
                                int32_t indexNo, uint8_t* low, uint8_t* high) {
    const TIndexDescriptor d = IndexFile()->GetIndexDescriptor(indexNo);
    const TFieldDescriptor& f = TableField(d.FieldNumbers[0]);
    const int32_t segment = f.DataSize + 1;
    std::memset(low, 0, KeyBufferSize);
    std::memset(high, 0, KeyBufferSize);
    uint8_t key[KeyBufferSize] = {};
    int32_t lowLength, highLength;
    if (!constant || constant->IsNull) {
        // Blank values only (=), or every value (<>): the flag byte alone.
        if (code != opEqual && code != opNotEqual) return false;
        low[0] = high[0] = code == opEqual ? 0 : 1;
        lowLength = highLength = 1;
    } else {
        uint8_t value[ValueBufferSize + 8] = {};
        std::memcpy(value, constant->Value, size_t(std::min<int32_t>(constant->BufferSize, ValueBufferSize)));
        key[0] = 1;
        FieldToKey(f, value, key, d.CaseInsensitive != 0, false, FLanguage, FSort);
        const int32_t significant = node->NodeKind == nkPartialCompare && node->CompareLength > 0
                                        ? int32_t(node->CompareLength) + 1
                                        : segment;
        // Blank values never fall in a comparison's range: both ends keep flag byte 1.
        switch (code) {
            case opGreater:
                if (!IncrementImage(key + 1, segment - 1)) return false;
                [[fallthrough]];
            case opGreaterEqual:
                std::memcpy(low, key, size_t(segment));
                lowLength = segment;
                high[0] = 1;
                highLength = 1;
                break;
            case opLess:
                if (!DecrementImage(key + 1, segment - 1)) return false;
                [[fallthrough]];
            case opLessEqual:
                std::memcpy(high, key, size_t(segment));
                highLength = segment;
                low[0] = 1;
                lowLength = 1;
                break;
            default:
                std::memcpy(low, key, size_t(segment));
                std::memcpy(high, key, size_t(segment));
                lowLength = highLength = significant;
                break;
        }
    }
    // The rest of the keys: lowest below, highest above (the active index's fills).
    const int32_t savedNo = FIndexNo;
    const TIndexDescriptor saved = FIndex;
    FIndexNo = indexNo;
    FIndex = d;
    FillKey(low, lowLength, false);
    FillKey(high, highLength, true);
    FIndexNo = savedNo;
    FIndex = saved;
    return true;
}

int32_t TDataCursor::CountKeysInRange(int32_t indexNo, const uint8_t* low, const uint8_t* high,
                                      bool& restart) {
    const TIndexDescriptor d = IndexFile()->GetIndexDescriptor(indexNo);
    TCompareScope scope(*this, indexNo, d);
    int32_t from, last;
    bool found;
    if (!IndexFile()->FindKeyOrdinal(this, indexNo, low, from, found) ||
        !IndexFile()->FindKeyOrdinal(this, indexNo, high, last, found)) {
        restart = true;
        return 0;
    }
    if (!found) --last;
    return std::max(last - from + 1, 0);
}

bool TDataCursor::CountFromIndex(TExpToken* node, int32_t& count) {
    CheckOpen();
    if (!node || !IsIndexable(node)) return false;
    if (node->NodeKind == nkPredicate) {
        if (node->Code != opBetween) return false;
    } else if (node->Code == opNotEqual && node->Second && !node->Second->IsNull) {
        return false;  // the complement of a point range
    }
    TReadScope read(*this);
    RefreshIfChanged();
    // The view must be every live record (record-number order walks them through the
    // view bitmap, which only the filters narrow).
    if (FRangeActive && !IsRecordNumberOrder()) return false;
    for (const auto& f : FFilters)
        if (f->IsActive()) return false;
    if (OptimizeFilterNode(node) != olWholly) return false;
    const int32_t indexNo = node->BindBytes[IndexByte];
    uint8_t low[KeyBufferSize], high[KeyBufferSize], other[KeyBufferSize];
    for (;;) {
        // The same range the filter would mark; an empty one holds nothing.
        bool range;
        if (node->NodeKind == nkPredicate) {
            const TExpToken* from = node->Second;
            range = BuildRangeKey(node, from, opGreaterEqual, indexNo, low, other) &&
                    BuildRangeKey(node, from->Second, opLessEqual, indexNo, other, high);
        } else {
            range = BuildRangeKey(node, node->Second, node->Code, indexNo, low, high);
        }
        if (!range) {
            count = 0;
            return true;
        }
        bool restart = false;
        count = CountKeysInRange(indexNo, low, high, restart);
        if (!restart) return true;
    }
}

int32_t TDataCursor::MarkKeysInRange(int32_t indexNo, const uint8_t* low, const uint8_t* high, bool& restart,
                                     TRecordsBitmap& bitmap, bool countFirst) {
    const int32_t physical = int32_t(DataFile()->GetPhysicalRecordCount());
    bitmap.SetRecordCount(physical);
    bitmap.ClearAll();
    const TIndexDescriptor d = IndexFile()->GetIndexDescriptor(indexNo);
    TCompareScope scope(*this, indexNo, d);
    int32_t from, last, total;
    bool found;
    // A point range of a unique key has one bound: the second search would find what the
    // first did.
    const bool point = std::memcmp(low, high, size_t(d.KeyLength)) == 0;
    if (point && !countFirst) {
        // At most the one entry the search lands on: marked from the leaf the search left,
        // without ordinals summed on the way down and walked down to again.
        bool hit = false;
        uint32_t recNo = 0;
        if (!IndexFile()->FindKeyRecord(this, indexNo, low, hit, recNo)) {
            restart = true;
            return 0;
        }
        if (hit && recNo >= 1 && int64_t(recNo) <= physical) bitmap.SetBit(int32_t(recNo));
        return hit ? 1 : 0;
    }
    bool searched = IndexFile()->FindKeyOrdinal(this, indexNo, low, from, found);
    last = from;
    if (searched && !point) searched = IndexFile()->FindKeyOrdinal(this, indexNo, high, last, found);
    if (!searched || !IndexFile()->GetIndexKeyCount(this, indexNo, total)) {
        restart = true;
        return 0;
    }
    if (!found) --last;
    const int32_t count = std::max(last - from + 1, 0);
    auto mark = [&](int32_t a, int32_t b) {
        if (a > b || restart) return;
        if (!WalkOrdinals(indexNo, a, b, [&](const uint8_t*, uint32_t recNo) {
                if (recNo >= 1 && int64_t(recNo) <= physical) bitmap.SetBit(int32_t(recNo));
                return true;
            }))
            restart = true;
    };
    if (countFirst && FLanguage == 0 && count > total - count) {
        // The smaller side: the keys outside the range, inverted.
        mark(1, from - 1);
        mark(std::max(last, from - 1) + 1, total);
        bitmap.NotBitmap();
    } else {
        mark(from, last);
    }
    return count;
}

bool TDataCursor::BitmapFromIndexRange(TExpToken* node, TRecordsBitmap& bits, bool countFirst,
                                       bool selectivity, bool& restart) {
    const int32_t indexNo = node->BindBytes[IndexByte];
    struct TRange {
        uint8_t Low[KeyBufferSize];
        uint8_t High[KeyBufferSize];
    };
    std::vector<TRange> ranges;
    bool invert = false;
    auto add = [&](const TExpToken* constant, uint8_t code) {
        ranges.emplace_back();
        if (!BuildRangeKey(node, constant, code, indexNo, ranges.back().Low, ranges.back().High))
            ranges.pop_back();
    };
    if (node->NodeKind == nkPredicate && (node->Code == opInList || node->Code == opNotInList)) {
        for (const TExpToken* v = node->Second; v; v = v->Second) add(v, opEqual);
        invert = node->Code == opNotInList;
    } else if (node->NodeKind == nkPredicate) {
        TRange lower, upper;
        const TExpToken* from = node->Second;
        if (BuildRangeKey(node, from, opGreaterEqual, indexNo, lower.Low, lower.High) &&
            BuildRangeKey(node, from->Second, opLessEqual, indexNo, upper.Low, upper.High)) {
            ranges.emplace_back();
            std::memcpy(ranges.back().Low, lower.Low, KeyBufferSize);
            std::memcpy(ranges.back().High, upper.High, KeyBufferSize);
        }
        invert = node->Code == opNotBetween;
    } else {
        const TExpToken* constant = node->Second;
        const bool isNull = !constant || constant->IsNull;
        // <> NULL is the non-blank range itself; <> a value is the complement of =.
        if (node->Code == opNotEqual && !isNull) {
            add(constant, opEqual);
            invert = true;
        } else {
            add(constant, node->Code);
        }
    }
    if (selectivity) {
        int32_t keys = 0;
        for (const TRange& r : ranges) keys += CountKeysInRange(indexNo, r.Low, r.High, restart);
        if (restart) return true;
        if (keys > int32_t(Round((long double)GetTableRecordCount() * 0.9L))) return false;
    }
    const int32_t physical = int32_t(DataFile()->GetPhysicalRecordCount());
    bits.SetRecordCount(physical);
    bits.ClearAll();
    // Count-first only where one range is marked on its own.
    const bool alone = ranges.size() == 1 && !invert;
    for (size_t i = 0; i < ranges.size() && !restart; ++i) {
        if (i == 0) {
            MarkKeysInRange(indexNo, ranges[i].Low, ranges[i].High, restart, bits, countFirst && alone);
        } else {
            TRecordsBitmap more;
            MarkKeysInRange(indexNo, ranges[i].Low, ranges[i].High, restart, more);
            bits.OrBitmap(more);
        }
    }
    if (invert) bits.NotBitmap();
    return true;
}

template <class F>
bool TDataCursor::WithRangeMarks(F&& work) {
    TRecordsBitmap own;
    const bool shared = !FRangeMarksInUse;
    FRangeMarksInUse = true;
    TScopeGuard release([this, shared] {
        if (shared) FRangeMarksInUse = false;
    });
    return work(shared ? FRangeMarks : own);
}

// The candidates narrowed to the records for which the node holds, into result.
void TDataCursor::NarrowFilterInto(const TRecordsBitmap& candidates, TExpToken* node, TRecordsBitmap& result,
                                   bool countFirst, bool& restart) {
    int32_t first = 0, ordinal = 0;
    if (!restart && node->BindBytes[LevelByte] != olNone && IsIndexable(node) &&
        candidates.FindNext(first, 1, ordinal)) {
        // One indexed comparison: its range (a few marks, often) ANDed with the candidates
        // as they are, instead of a copy of every candidate that the range then clears.
        // Without the selectivity test the range is always marked.
        WithRangeMarks([&](TRecordsBitmap& range) {
            BitmapFromIndexRange(node, range, countFirst, false, restart);
            if (restart)
                result.Assign(candidates);
            else
                result.AssignAnd(candidates, range);
            return true;
        });
        return;
    }
    result.Assign(candidates);
    NarrowFilter(node, result, countFirst, false, restart);
}

// Narrows the candidates to the records for which the node holds.
void TDataCursor::NarrowFilter(TExpToken* node, TRecordsBitmap& bits, bool countFirst, bool underParent,
                               bool& restart) {
    int32_t first = 0, ordinal = 0;
    // No candidate left (found without counting them all).
    if (restart || !bits.FindNext(first, 1, ordinal)) return;
    const uint8_t level = node->BindBytes[LevelByte];
    if (level == olNone) {
        EvaluateFilterForRecords(node, bits);
        return;
    }
    if (IsIndexable(node)) {
        const bool marked = WithRangeMarks([&](TRecordsBitmap& range) {
            if (!BitmapFromIndexRange(node, range, countFirst, underParent, restart)) return false;
            if (!restart) bits.AndBitmap(range);
            return true;
        });
        if (!marked) EvaluateFilterForRecords(node, bits);
        return;
    }
    if (node->NodeKind == nkBinary && node->Code == opAnd) {
        NarrowFilter(node->First, bits, countFirst, true, restart);
        NarrowFilter(node->Second, bits, countFirst, true, restart);
        return;
    }
    if (node->NodeKind == nkBinary && node->Code == opOr) {
        TRecordsBitmap left, right;
        left.Assign(bits);
        right.Assign(bits);
        NarrowFilter(node->First, left, countFirst, true, restart);
        NarrowFilter(node->Second, right, countFirst, true, restart);
        if (restart) return;
        left.OrBitmap(right);
        bits.Assign(left);
        return;
    }
    if (node->NodeKind == nkUnary && node->Code == opNot) {
        TRecordsBitmap operand;
        operand.Assign(bits);
        NarrowFilter(node->First, operand, countFirst, true, restart);
        if (restart) return;
        operand.NotBitmap();
        bits.AndBitmap(operand);
        return;
    }
    EvaluateFilterForRecords(node, bits);
}
