// The engine dataset's filters: the expression filter of Filter, the callback filter of
// OnFilterRecord, FindFirst and friends, and the filter that Locate searches with when no
// index serves the key fields.
#include "db/components/EngineCursor.h"
//
#include <cstring>

#include "db/components/ZIZIVUDataSet.h"
#include "db/engine/Filter.h"
#include "db/storage/Encodings.h"
#include "db/storage/ExpressionEval.h"
#include "db/storage/LanguageSettings.h"
#include "platform/rtl/ScopeGuard.h"

namespace {

constexpr size_t FieldValueSize = 256;

void Adopt(TExpToken* parent, TExpToken*& slot, TExpToken* child) {
    slot = child;
    child->Parent = parent;
}

}  // namespace

// ---- the dataset's two filters ----

void TZIZIVUDataSet::CreateExprFilter() {
    DestroyLookupCursor();  // a clone of the old view
    if (Filter().empty()) return;
    TZIZIVUDataSetLock lock(CursorSession());
    FExprFilter = FCursor->AddFilter(Filter(), (FilterOptions() & foNoPartialCompare) != 0,
                                     (FilterOptions() & foCaseInsensitive) != 0, true, false);
}

void TZIZIVUDataSet::CreateFuncFilter() {
    DestroyLookupCursor();  // a clone of the old view
    if (!OnFilterRecord()) return;
    TZIZIVUDataSetLock lock(CursorSession());
    FFuncFilter = FCursor->AddFilter(
        [this](const uint8_t* record, uint32_t) { return FilterRecordCallback(record); }, true);
}

void TZIZIVUDataSet::DropExprFilter() {
    DestroyLookupCursor();  // a clone of the old view
    if (!FExprFilter) return;
    TZIZIVUDataSetLock lock(CursorSession());
    TFilter* f = FExprFilter;
    FExprFilter = nullptr;
    FCursor->DropFilter(f);
}

void TZIZIVUDataSet::DropFuncFilter() {
    DestroyLookupCursor();  // a clone of the old view
    if (!FFuncFilter) return;
    TZIZIVUDataSetLock lock(CursorSession());
    TFilter* f = FFuncFilter;
    FFuncFilter = nullptr;
    FCursor->DropFilter(f);
}

void TZIZIVUDataSet::ActivateFilters() {
    DestroyLookupCursor();  // a clone of the old view
    TZIZIVUDataSetLock lock(CursorSession());
    if (FExprFilter) FCursor->ActivateFilter(FExprFilter);
    if (FFuncFilter) FCursor->ActivateFilter(FFuncFilter);
}

void TZIZIVUDataSet::DeactivateFilters() {
    DestroyLookupCursor();  // a clone of the old view
    TZIZIVUDataSetLock lock(CursorSession());
    if (FFuncFilter) FCursor->DeactivateFilter(FFuncFilter);
    if (FExprFilter) FCursor->DeactivateFilter(FExprFilter);
}

// The record under test stands in the filter state's buffer while OnFilterRecord runs.
bool TZIZIVUDataSet::FilterRecordCallback(const uint8_t* Record) {
    const TFilterRecordEvent& handler = OnFilterRecord();
    if (!handler) return true;
    TRecordBuffer temp = AllocRecordBuffer();
    std::memcpy(temp, Record, size_t(FRecordSize));
    TRecordBuffer saved = FFilterBuffer;
    FFilterBuffer = temp;
    TDataSetState old = SetTempState(dsFilter);
    TScopeGuard restore([&] {
        RestoreState(old);
        FFilterBuffer = saved;
        FreeRecordBuffer(temp);
    });
    bool accept = true;
    if (CalcFieldsSize() > 0) {
        TRecordBuffer savedCalc = CalcBuffer();
        CalculateFields(temp);
        SetCalcBuffer(savedCalc);
    }
    handler(this, accept);
    return accept;
}

void TZIZIVUDataSet::SetFilterText(const std::string& v) {
    if (Active() && v != Filter()) {
        CheckBrowseMode();
        TDataSet::SetFilterText(v);
        RebuildExprFilter();
        return;
    }
    TDataSet::SetFilterText(v);
}

void TZIZIVUDataSet::SetFilterOptions(TFilterOptions v) {
    if (Active() && v != FilterOptions()) {
        CheckBrowseMode();
        TDataSet::SetFilterOptions(v);
        RebuildExprFilter();
        return;
    }
    TDataSet::SetFilterOptions(v);
}

// The expression filter made again from the text and options now set, active when the
// dataset is filtered; the view starts over.
void TZIZIVUDataSet::RebuildExprFilter() {
    DropExprFilter();
    CreateExprFilter();
    if (Filtered() && FExprFilter) {
        TZIZIVUDataSetLock lock(CursorSession());
        FCursor->ActivateFilter(FExprFilter);
    }
    First();
}

void TZIZIVUDataSet::SetOnFilterRecord(const TFilterRecordEvent& v) {
    TDataSet::SetOnFilterRecord(v);
    if (!Active()) return;
    CheckBrowseMode();
    DropFuncFilter();
    CreateFuncFilter();
    if (Filtered() && FFuncFilter) {
        TZIZIVUDataSetLock lock(CursorSession());
        FCursor->ActivateFilter(FFuncFilter);
    }
    First();
}

void TZIZIVUDataSet::SetFiltered(bool v) {
    if (Active() && v != Filtered()) {
        CheckBrowseMode();
        TDataSet::SetFiltered(v);
        if (v)
            ActivateFilters();
        else
            DeactivateFilters();
        First();
        return;
    }
    TDataSet::SetFiltered(v);
}

bool TZIZIVUDataSet::FindRecord(bool Restart, bool GoForward) {
    CheckBrowseMode();
    DoBeforeScroll();
    SetFound(false);
    UpdateCursorPos();
    CursorPosChanged();
    bool found;
    {
        TZIZIVUDataSetLock lock(CursorSession());
        const bool activate = !Filtered();
        if (activate) ActivateFilters();
        std::vector<uint8_t> record(size_t(FRecordSize) + 8, 0);
        TScopeGuard deactivate([this, activate] {
            if (activate) DeactivateFilters();
        });
        if (Restart) {
            if (GoForward)
                FCursor->First();
            else
                FCursor->Last();
        }
        uint16_t rc =
            GoForward ? FCursor->GetNextRecord(record.data()) : FCursor->GetPriorRecord(record.data());
        found = rc == 0;
    }
    if (found) {
        Resync(rmExact | rmCenter);
        DoAfterScroll();
    }
    return found;
}

// ---- Locate through a filter ----

TExpToken* TZIZIVUDataSet::BuildLocateValue(const TFieldDescriptor& d, const TVariant& Value,
                                            TLocateOptions Options) {
    TExpTree k = NewExpTree();
    k->NodeKind = nkConstant;
    k->DataType = d.DataType;
    if (Value.IsNull()) {
        k->Text = "NULL";
        k->IsNull = 1;
        return k.release();
    }
    switch (d.DataType) {
        case dtString:
        case dtBlob:
        case dtBytes:
        case dtVarBytes: {
            // The text as it is: a quote in it is a character like any other.
            std::string s = Value.AsString();
            k->DataType = dtString;
            if (!s.empty() && (Options & loPartialKey)) {
                // Compared over the text's length; a trailing '*' only marks the prefix.
                if (s.back() != '*') s += '*';
                if (s == "*") s.clear();
            }
            if (s.empty()) {
                k->Text = "NULL";
                k->IsNull = 1;
                return k.release();
            }
            k->Text = s;
            k->SetDataSize(uint32_t(s.size()) + 1);
            k->SetStr(s);
            return k.release();
        }
        default:
            break;
    }
    uint8_t image[FieldValueSize];
    if (!VariantToImage(d, Value, image)) {
        k->Text = "NULL";
        k->IsNull = 1;
        return k.release();
    }
    k->Text = Value.AsString();
    uint32_t size;
    switch (d.DataType) {
        case dtBoolean:
        case dtSmallInt:
        case dtWord:
            size = 2;
            break;
        case dtDate:
        case dtTime:
        case dtInteger:
        case dtLongWord:
            size = 4;
            break;
        default:
            size = 8;
            break;
    }
    k->SubType = d.DataType == dtFloat ? d.SubType : 0;
    k->Decimals = d.DataType == dtBCD ? d.Decimals : 0;
    k->SetDataSize(size);
    std::memcpy(k->Value, image, size);
    return k.release();
}

TExpToken* TZIZIVUDataSet::BuildLocateFilter(const std::vector<TField*>& Fields,
                                             const std::vector<TVariant>& Values, TLocateOptions Options) {
    TExpTree root;
    for (size_t i = 0; i < Fields.size(); ++i) {
        const TFieldDescriptor& d = FCursor->GetFieldDefinition(Fields[i]->FieldNo());
        TExpTree cmp = NewExpTree();
        cmp->NodeKind = nkBinary;
        cmp->Code = opEqual;
        cmp->Text = "=";
        TExpTree col = NewExpTree();
        col->NodeKind = nkColumn;
        col->ColumnName = d.Name;
        col->Text = d.Name;
        Adopt(cmp.get(), cmp->First, col.release());
        Adopt(cmp.get(), cmp->Second, BuildLocateValue(d, Values[i], Options));
        if (!root) {
            root = std::move(cmp);
            continue;
        }
        TExpTree both = NewExpTree();
        both->NodeKind = nkBinary;
        both->Code = opAnd;
        both->Text = "AND";
        Adopt(both.get(), both->First, root.release());
        Adopt(both.get(), both->Second, cmp.release());
        root = std::move(both);
    }
    return root.release();
}

bool TZIZIVUDataSet::LocateByFilter(TDataCursor* Cursor, const std::vector<TField*>& Fields,
                                    const std::vector<TVariant>& Values, TLocateOptions Options,
                                    uint8_t* Record) {
    TExpTree tree(BuildLocateFilter(Fields, Values, Options));
    Cursor->ValidateFilterExpression(tree.get());
    TExpTree prepared;
    {
        const uint16_t language = Cursor->GetLanguageID(), sort = Cursor->GetSortOrderID();
        TLanguageSettingsSwap swap(language, sort);
        const TGetColumnValueFunc fetch = [Cursor](void*, void* record, TExpToken* node) {
            uint8_t value[FieldValueSize] = {};
            bool blank = true;
            Cursor->GetTableField(node->BindWord, static_cast<uint8_t*>(record), blank, value);
            node->IsNull = blank ? 1 : 0;
            node->SetBufferSize(int32_t(FieldValueSize));
            std::memcpy(node->Value, value, FieldValueSize);
        };
        prepared = PrepareExpressionTree(tree.get(), Cursor, fetch, (Options & loPartialKey) == 0,
                                         (Options & loCaseInsensitive) != 0, sort, language);
    }
    TFilter* filter = Cursor->AddFilter(prepared.release(), true, true, false);
    TScopeGuard drop([Cursor, filter] { Cursor->DropFilter(filter); });
    Cursor->ActivateFilter(filter);
    Cursor->First();
    return Cursor->GetNextRecord(Record) == 0;
}
