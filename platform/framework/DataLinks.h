#pragma once
// Data sources and data links: a source feeds a dataset's state changes and data events
// to the links of the controls that show it, and a link asks its dataset to edit or to
// take the control's pending changes.
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/framework/Component.h"

class TDataSet;
class TDataSource;
class TDataLink;
class TField;

// A dataset's state and the events it sends through its sources to their links.
enum TDataSetState : uint8_t {
    dsInactive,
    dsBrowse,
    dsEdit,
    dsInsert,
    dsSetKey,
    dsCalcFields,
    dsFilter,
    dsNewValue,
    dsOpening
};

enum TDataEvent : uint8_t {
    deFieldChange,
    deRecordChange,
    deDataSetChange,
    deDataSetScroll,
    deLayoutChange,
    deUpdateRecord,
    deUpdateState,
    deCheckBrowseMode,
    deFocusControl
};

using TDataChangeEvent = std::function<void(TObject* Sender, TField* Field)>;

class TDataSource : public TComponent {
public:
    explicit TDataSource(TComponent* AOwner);
    ~TDataSource() override;
    TDataSet* DataSet() const { return FDataSet; }
    void SetDataSet(TDataSet* ds);
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool v);
    bool AutoEdit() const { return FAutoEdit; }
    void SetAutoEdit(bool v) { FAutoEdit = v; }
    // The dataset's state, inactive when disabled or without dataset.
    TDataSetState State() const;
    // With AutoEdit, puts a browsing dataset into edit mode.
    void Edit();
    // True when this source feeds, directly or through master sources, the dataset ds.
    bool IsLinkedTo(TDataSet* ds) const;

    TNotifyEvent OnStateChange;
    TDataChangeEvent OnDataChange;
    TNotifyEvent OnUpdateData;

    // Used by the dataset and the links.
    void DataEvent(TDataEvent Event, TField* Field, int Info);
    void AddDataLink(TDataLink* l);
    void RemoveDataLink(TDataLink* l);
    const std::vector<TDataLink*>& DataLinks() const { return FDataLinks; }

protected:
    void Notification(TComponent* AComponent, TOperation Operation) override;

private:
    TDataSet* FDataSet = nullptr;
    std::vector<TDataLink*> FDataLinks;
    bool FEnabled = true;
    bool FAutoEdit = true;
    TDataSetState FState = dsInactive;
};

// A consumer of a data source: its overridable handlers are told when the dataset opens
// or closes, scrolls, changes a record, or must give up an edit.
class TDataLink : public TPersistent {
public:
    TDataLink() = default;
    ~TDataLink() override;
    TDataSource* DataSource() const { return FDataSource; }
    void SetDataSource(TDataSource* ds);
    TDataSet* DataSet() const;
    bool Active() const { return FActive; }
    bool Editing() const { return FEditing; }
    bool ReadOnly() const { return FReadOnly; }
    void SetReadOnly(bool v) { FReadOnly = v; }
    // Rows this link wants buffered (a grid's visible rows); the dataset keeps the largest.
    int BufferCount() const { return FBufferCount; }
    void SetBufferCount(int v);
    // Row of the active record in the dataset's buffer window, and rows filled.
    int ActiveRecord() const;
    int RecordCount() const;
    // Through the source's AutoEdit.
    bool Edit();
    // Asks the link to write its pending changes (UpdateData), guarded against re-entry.
    void UpdateRecord();

    // Used by the data source.
    void DataEvent(TDataEvent Event, TField* Field, int Info);

protected:
    virtual void ActiveChanged() {}
    virtual void CheckBrowseMode() {}
    virtual void DataSetChanged() { RecordChanged(nullptr); }
    virtual void DataSetScrolled(int /*Distance*/) { DataSetChanged(); }
    virtual void EditingChanged() {}
    virtual void FocusControl(TField* /*Field*/) {}
    virtual void LayoutChanged() { DataSetChanged(); }
    virtual void RecordChanged(TField* /*Field*/) {}
    virtual void UpdateData() {}

private:
    void UpdateState();
    TDataSource* FDataSource = nullptr;
    bool FActive = false;
    bool FEditing = false;
    bool FReadOnly = false;
    bool FUpdating = false;
    int FBufferCount = 1;
};
