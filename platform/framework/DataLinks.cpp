// Data sources and data links: how a dataset tells its consumers what happened.
#include "platform/framework/DataLinks.h"

#include <algorithm>

#include "platform/framework/DataSet.h"
#include "platform/rtl/ScopeGuard.h"

// ---- TDataSource ----

TDataSource::TDataSource(TComponent* AOwner) : TComponent(AOwner) {}

TDataSource::~TDataSource() {
    Destroying();
    OnStateChange = nullptr;
    while (!FDataLinks.empty()) FDataLinks.back()->SetDataSource(nullptr);
    SetDataSet(nullptr);
}

void TDataSource::SetDataSet(TDataSet* ds) {
    if (ds == FDataSet) return;
    if (ds && IsLinkedTo(ds)) DatabaseError(SCircularDataLink, this);
    if (FDataSet) {
        FDataSet->RemoveDataSource(this);
        RemoveFreeNotification(FDataSet);
    }
    FDataSet = ds;
    if (FDataSet) {
        FDataSet->AddDataSource(this);
        FreeNotification(FDataSet);
    }
    DataEvent(deUpdateState, nullptr, 0);
}

void TDataSource::Notification(TComponent* AComponent, TOperation Operation) {
    TComponent::Notification(AComponent, Operation);
    if (Operation == opRemove && AComponent == FDataSet) SetDataSet(nullptr);
}

void TDataSource::SetEnabled(bool v) {
    if (FEnabled == v) return;
    FEnabled = v;
    DataEvent(deUpdateState, nullptr, 0);
}

TDataSetState TDataSource::State() const {
    if (!FDataSet || !FEnabled) return dsInactive;
    return FDataSet->State();
}

void TDataSource::Edit() {
    if (FAutoEdit && State() == dsBrowse) FDataSet->Edit();
}

bool TDataSource::IsLinkedTo(TDataSet* ds) const {
    // Walk from ds through the master sources it takes its data from.
    int guard = 0;
    while (ds && guard++ < 1000) {
        TDataSource* s = ds->GetDataSource();
        if (!s) break;
        if (s == this) return true;
        ds = s->DataSet();
    }
    return false;
}

void TDataSource::AddDataLink(TDataLink* l) {
    if (std::find(FDataLinks.begin(), FDataLinks.end(), l) == FDataLinks.end()) FDataLinks.push_back(l);
    if (FDataSet) FDataSet->UpdateBufferCount();
}

void TDataSource::RemoveDataLink(TDataLink* l) {
    auto it = std::find(FDataLinks.begin(), FDataLinks.end(), l);
    if (it != FDataLinks.end()) FDataLinks.erase(it);
    if (FDataSet) FDataSet->UpdateBufferCount();
}

void TDataSource::DataEvent(TDataEvent Event, TField* Field, int Info) {
    if (Event == deUpdateState) {
        TDataSetState s = State();
        if (s != FState) {
            FState = s;
            if (OnStateChange) OnStateChange(this);
        }
    }
    std::vector<TDataLink*> links = FDataLinks;
    for (TDataLink* l : links)
        if (std::find(FDataLinks.begin(), FDataLinks.end(), l) != FDataLinks.end())
            l->DataEvent(Event, Field, Info);
    if (!FEnabled || !FDataSet) return;
    switch (Event) {
        case deFieldChange:
        case deRecordChange:
        case deDataSetChange:
        case deDataSetScroll:
        case deLayoutChange:
            if (OnDataChange)
                OnDataChange(this, Event == deFieldChange || Event == deRecordChange ? Field : nullptr);
            break;
        case deUpdateRecord:
            if (OnUpdateData) OnUpdateData(this);
            break;
        default:
            break;
    }
}

// ---- TDataLink ----

TDataLink::~TDataLink() {
    if (FDataSource) FDataSource->RemoveDataLink(this);
}

void TDataLink::SetDataSource(TDataSource* ds) {
    if (ds == FDataSource) return;
    if (FDataSource) FDataSource->RemoveDataLink(this);
    FDataSource = ds;
    if (FDataSource) FDataSource->AddDataLink(this);
    UpdateState();
}

TDataSet* TDataLink::DataSet() const {
    return FDataSource ? FDataSource->DataSet() : nullptr;
}

void TDataLink::SetBufferCount(int v) {
    if (v < 1) v = 1;
    if (v == FBufferCount) return;
    FBufferCount = v;
    if (DataSet()) DataSet()->UpdateBufferCount();
}

int TDataLink::ActiveRecord() const {
    TDataSet* ds = DataSet();
    return ds && FActive ? ds->ActiveRecord() : 0;
}

int TDataLink::RecordCount() const {
    TDataSet* ds = DataSet();
    return ds && FActive ? std::min(ds->BufferedRecordCount(), FBufferCount) : 0;
}

bool TDataLink::Edit() {
    if (!FReadOnly && FDataSource) FDataSource->Edit();
    return FEditing;
}

void TDataLink::UpdateRecord() {
    FUpdating = true;
    TScopeGuard done([this] { FUpdating = false; });
    UpdateData();
}

void TDataLink::UpdateState() {
    bool active = FDataSource && FDataSource->State() != dsInactive;
    if (active != FActive) {
        FActive = active;
        ActiveChanged();
    }
    bool editing = FDataSource && !FReadOnly &&
                   (FDataSource->State() == dsEdit || FDataSource->State() == dsInsert ||
                    FDataSource->State() == dsSetKey);
    if (editing != FEditing) {
        FEditing = editing;
        EditingChanged();
    }
}

void TDataLink::DataEvent(TDataEvent Event, TField* Field, int Info) {
    if (Event == deUpdateState) {
        UpdateState();
        return;
    }
    if (!FActive) return;
    switch (Event) {
        case deFieldChange:
        case deRecordChange:
            if (!FUpdating) RecordChanged(Field);
            break;
        case deDataSetChange:
            DataSetChanged();
            break;
        case deDataSetScroll:
            DataSetScrolled(Info);
            break;
        case deLayoutChange:
            LayoutChanged();
            break;
        case deUpdateRecord:
            UpdateRecord();
            break;
        case deCheckBrowseMode:
            CheckBrowseMode();
            break;
        case deFocusControl:
            FocusControl(Field);
            break;
        default:
            break;
    }
}
