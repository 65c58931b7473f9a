#pragma once
// The table component: the engine dataset of one table of a database, with its index
// chosen by name or by fields, master-detail by range, the table's field and index
// definitions, table creation from definitions, and a second cursor for Lookup.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db/components/ZIZIVUDataSet.h"

class TZIZIVUTable;
class TReader;
class TWriter;
struct TFieldDescriptor;
struct TIndexDescriptor;

using TProgressEvent = std::function<void(TObject* Sender, int32_t Percent, bool& Abort)>;
using TLogEvent = std::function<void(TObject* Sender, const std::string& Text)>;
using TUpgradeProgressEvent = std::function<void(TObject* Sender, int32_t Current, int32_t Percent)>;
using TDataLostEvent = std::function<void(TObject* Sender, uint16_t Code, const std::string& Context,
                                          bool& Silence, bool& Continue)>;

// The link of a detail table to its master's data source.
class TZIZIVUMasterDataLink : public TDataLink {
public:
    explicit TZIZIVUMasterDataLink(TZIZIVUTable* Table) : FTable(Table) {}
    const std::string& FieldNames() const { return FFieldNames; }
    void SetFieldNames(const std::string& v);
    // The master's fields named by FieldNames (empty while the link is inactive).
    const std::vector<TField*>& Fields() const { return FFields; }

protected:
    void ActiveChanged() override;
    void CheckBrowseMode() override;
    void LayoutChanged() override;
    void RecordChanged(TField* Field) override;

private:
    TZIZIVUTable* FTable;
    std::string FFieldNames;
    std::vector<TField*> FFields;
};

// Definitions gathered for a restructure of a table: a list of engine descriptors owned
// by the list. Nothing in the table fills them.
template <class T>
class TRestructureDefList : public TObject {
public:
    explicit TRestructureDefList(TZIZIVUTable* Owner) : FOwner(Owner) {}
    TZIZIVUTable* Owner() const { return FOwner; }
    int Count() const { return static_cast<int>(FItems.size()); }
    T* Items(int i) const { return FItems.at(size_t(i)).get(); }
    T* Add(const T& Item) {
        FItems.push_back(std::make_unique<T>(Item));
        return FItems.back().get();
    }
    void Clear() { FItems.clear(); }

private:
    TZIZIVUTable* FOwner;
    std::vector<std::unique_ptr<T>> FItems;
};

class TRestructureFieldDefs : public TRestructureDefList<TFieldDescriptor> {
public:
    using TRestructureDefList::TRestructureDefList;
};

class TRestructureIndexDefs : public TRestructureDefList<TIndexDescriptor> {
public:
    using TRestructureDefList::TRestructureDefList;
};

class TZIZIVUTable : public TZIZIVUDBDataSet {
public:
    explicit TZIZIVUTable(TComponent* AOwner);
    ~TZIZIVUTable() override;

    std::string EngineVersion() const { return TZIZIVUSession::EngineVersionText; }
    void SetEngineVersion(const std::string&) {}

    // Closed tables only.
    bool Exclusive() const { return FExclusive; }
    void SetExclusive(bool v);
    bool ReadOnly() const { return FReadOnly; }
    void SetReadOnly(bool v);
    bool InMemory() const { return FInMemory; }
    // True also names the in-memory database "Memory".
    void SetInMemory(bool v);
    const std::string& TableName() const { return FTableName; }
    // A name with a folder (':', '\' or '/') gives DatabaseName the folder (unless in
    // memory) and keeps the file name.
    void SetTableName(const std::string& v);
    // FieldDefs and IndexDefs go into the stored form (when not empty).
    bool StoreDefs() const { return FStoreDefs; }
    void SetStoreDefs(bool v) { FStoreDefs = v; }

    // Index choice: by name, or by ';'-separated leading fields.
    std::string IndexName() const { return FFieldsIndex ? std::string() : FIndexName; }
    void SetIndexName(const std::string& v);
    std::string IndexFieldNames() const { return FFieldsIndex ? FIndexName : std::string(); }
    void SetIndexFieldNames(const std::string& v);
    TIndexDefs* IndexDefs() const { return FIndexDefs.get(); }
    TRestructureFieldDefs* RestructureFieldDefs() const { return FRestructureFieldDefs.get(); }
    TRestructureIndexDefs* RestructureIndexDefs() const { return FRestructureIndexDefs.get(); }

    // Master-detail.
    TDataSource* MasterSource() const { return FMasterLink->DataSource(); }
    // "Circular datalinks are not allowed" for a source that leads back here.
    void SetMasterSource(TDataSource* v);
    const std::string& MasterFields() const { return FMasterLink->FieldNames(); }
    void SetMasterFields(const std::string& v);
    TDataSource* GetDataSource() const override { return FMasterLink->DataSource(); }

    void InitFieldDefs() override;
    void UpdateIndexDefs() override;
    bool TableExists();
    // A new table from FieldDefs and IndexDefs (an existing one is replaced).
    void CreateTable();

    // Descriptors of definitions (zeroed first); field numbers count the field definitions.
    void FieldDefToDescriptor(TFieldDef* Def, TFieldDescriptor& Descriptor);
    void ParseIndexFields(TIndexDef* Def, TIndexDescriptor& Descriptor);

    // Events of the published interface; nothing here fires them.
    TProgressEvent OnRepairProgress, OnIndexProgress, OnCopyProgress, OnOptimizeProgress,
        OnRestructureProgress;
    TLogEvent OnRepairLog, OnUpgradeLog;
    TUpgradeProgressEvent OnUpgradeProgress;
    TDataLostEvent OnDataLost;

    // Used by the master link.
    void MasterChanged();
    void MasterDisabled();

    void DefineProperties(TFiler* Filer) override;

protected:
    void OpenCursor(bool InfoQuery) override;
    TDataCursor* CreateHandle() override;
    void DestroyHandle() override;
    void DestroyLookupCursor() override;
    TDataCursor* GetLookupCursor(const std::string& KeyFields, bool CaseInsensitive) override;
    void InternalOpen() override;
    void DoOnNewRecord() override;

private:
    TDataCursor* OpenTableCursor(const std::string& IndexName);
    // The index that IndexName or IndexFieldNames selects.
    std::string ResolveIndexName();
    void SetIndex(const std::string& Value, bool FieldsIndex);
    // The master's current values as the detail's range (on the active index).
    void SetMasterRange();
    void CheckMasterRange();
    bool MasterActive() const;
    std::unique_ptr<TDataCursor> OpenTempCursor();
    void CloseTempCursor(std::unique_ptr<TDataCursor> Cursor);
    std::string GetIndexFieldList(TDataCursor* Cursor, const TIndexDescriptor& Descriptor);
    void CheckInMemoryTable();
    void DropInMemoryTable();
    void ReadFieldDefs(TReader* Reader);
    void WriteFieldDefs(TWriter* Writer);
    void ReadIndexDefs(TReader* Reader);
    void WriteIndexDefs(TWriter* Writer);

    std::unique_ptr<TIndexDefs> FIndexDefs;
    std::unique_ptr<TZIZIVUMasterDataLink> FMasterLink;
    std::unique_ptr<TRestructureFieldDefs> FRestructureFieldDefs;
    std::unique_ptr<TRestructureIndexDefs> FRestructureIndexDefs;
    bool FExclusive = false;
    bool FReadOnly = false;
    bool FInMemory = false;
    bool FStoreDefs = false;
    std::string FTableName;
    std::string FIndexName;
    bool FFieldsIndex = false;
    std::unique_ptr<TDataCursor> FLookupCursor;
    std::string FLookupKeyFields;
    bool FLookupCaseInsensitive = false;
};
