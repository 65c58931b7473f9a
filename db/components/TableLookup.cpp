// The table's lookup cursor: a clone of its cursor on the index of the key fields.
#include "db/components/EngineCursor.h"
//
#include "db/components/ZIZIVUTable.h"

TDataCursor* TZIZIVUTable::GetLookupCursor(const std::string& KeyFields, bool CaseInsensitive) {
    if (State() == dsSetKey) return nullptr;
    if (FLookupCursor && SameText(FLookupKeyFields, KeyFields) && FLookupCaseInsensitive == CaseInsensitive)
        return FLookupCursor.get();
    DestroyLookupCursor();
    if (!FIndexDefs->Updated()) UpdateIndexDefs();
    TIndexDef* def = FIndexDefs->GetIndexForFields(KeyFields, CaseInsensitive);
    if (!def || ((def->Options() & ixCaseInsensitive) != 0) != CaseInsensitive) return nullptr;
    TZIZIVUDataSetLock lock(CursorSession());
    FLookupCursor = FCursor->Clone();
    FLookupCursor->SwitchToIndex(def->Name());
    FLookupKeyFields = KeyFields;
    FLookupCaseInsensitive = CaseInsensitive;
    return FLookupCursor.get();
}
