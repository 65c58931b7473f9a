#pragma once
// The query component: a dataset over the result of an SQL text run by the SQL processor,
// with its parameters (found as markers in the text, kept with their values and stored in
// the form stream) and an optional data source whose current record supplies them.
#include "db/components/EngineCursor.h"
//
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db/components/ZIZIVUDataSet.h"
#include "db/components/ZIZIVUTable.h"
#include "db/sql/QueryStatement.h"
#include "platform/framework/Filer.h"

class TZIZIVUParams;
class TZIZIVUQuery;

// Largest parameter value the stored form carries.
constexpr int32_t MaxStoredParamSize = 2048;

// One parameter of a query: name, data type, null and bound flags, direction and value.
class TZIZIVUParam : public TPersistent {
public:
    explicit TZIZIVUParam(TZIZIVUParams* Owner, const std::string& Name = std::string(),
                          TFieldType DataType = ftUnknown, TParamType ParamType = ptUnknown);

    TZIZIVUParams* Owner() const { return FOwner; }
    const std::string& Name() const { return FName; }
    void SetName(const std::string& v) { FName = v; }
    TFieldType DataType() const { return FDataType; }
    void SetDataType(TFieldType v) { FDataType = v; }
    TParamType ParamType() const { return FParamType; }
    void SetParamType(TParamType v) { FParamType = v; }
    bool IsNull() const { return FNull; }
    bool Bound() const { return FBound; }
    void SetBound(bool v) { FBound = v; }

    // The value; Null while the parameter is null. Setting a non-null value binds the
    // parameter; an unknown data type takes the variant's kind.
    TVariant Value() const;
    void SetValue(const TVariant& v);
    // Each setter binds, clears null, sets the data type and stores the value.
    void SetAsString(const std::string& v);
    void SetAsSmallInt(int16_t v);
    void SetAsInteger(int32_t v);
    void SetAsWord(uint16_t v);
    void SetAsBoolean(bool v);
    void SetAsFloat(double v);
    void SetAsCurrency(double v);
    void SetAsBCD(Currency v);
    void SetAsDate(TDateTime v);
    void SetAsTime(TDateTime v);
    void SetAsDateTime(TDateTime v);
    void SetAsMemo(const std::string& v);
    void SetAsBlob(const std::string& bytes);
    std::string AsString() const;
    int32_t AsInteger() const;
    double AsFloat() const;
    bool AsBoolean() const;
    Currency AsBCD() const;
    // 0 for a null parameter.
    TDateTime AsDateTime() const;
    // Null and an empty value.
    void Clear();

    // Type, value, null and bound flags; the direction only while this one's is unknown.
    void Assign(TPersistent* Source) override;
    // The field's type (a memo above 255 bytes becomes a string), value or null, and name;
    // bound.
    void AssignField(TField* Field);
    bool IsEqual(const TZIZIVUParam& Other) const;

    // The native form (see the table in the source): its size, a copy into Buffer, and a
    // value from Size bytes at Buffer. Data type 0 raises "Field '%s' is of unknown type",
    // a type without a native form "Field '%s' is of an unsupported type".
    int32_t GetDataSize() const;
    void GetData(void* Buffer) const;
    void SetData(const void* Buffer, int32_t Size);

private:
    void Bind(TFieldType Type, TVariant Value);
    [[noreturn]] void TypeError() const;

    TZIZIVUParams* FOwner;
    std::string FName;
    TFieldType FDataType;
    bool FNull = true;
    bool FBound = false;
    TParamType FParamType;
    TVariant FValue;
};

// The parameters of a query. By position a list gives the first parameter bearing the
// name of the one at that position, so repeated markers share the first one's value.
class TZIZIVUParams : public TPersistent {
public:
    explicit TZIZIVUParams(TPersistent* Owner = nullptr);
    ~TZIZIVUParams() override;
    TZIZIVUParams(const TZIZIVUParams&) = delete;
    TZIZIVUParams& operator=(const TZIZIVUParams&) = delete;

    TPersistent* Owner() const { return FOwner; }
    TZIZIVUParam* CreateParam(TFieldType DataType, const std::string& Name, TParamType ParamType);
    int GetCount() const { return static_cast<int>(FItems.size()); }
    int Count() const { return GetCount(); }
    TZIZIVUParam* Items(int Index) const;
    // The entry at that position itself.
    TZIZIVUParam* RawItems(int Index) const { return FItems.at(static_cast<size_t>(Index)).get(); }
    // Case-insensitive; FindParam gives nil, ParamByName raises "Parameter '%s' not found".
    TZIZIVUParam* FindParam(const std::string& Name) const;
    TZIZIVUParam* ParamByName(const std::string& Name) const;
    // Each parameter takes the value of the first parameter of Other with exactly its name.
    void AssignValues(const TZIZIVUParams* Other);
    void Clear();
    void Assign(TPersistent* Source) override;
    bool IsEqual(const TZIZIVUParams* Other) const;

    // The stored form (property "Data"): written when the list is not empty, or, against an
    // ancestor's list, when it differs from it.
    void DefineProperties(TFiler* Filer);
    void DefineDataProperty(TFiler* Filer, const std::string& Name, const TZIZIVUParams* Ancestor);
    void ReadBinaryData(TStream& Stream);
    void WriteBinaryData(TStream& Stream) const;
    // The stored form as bytes and back; a bad form raises "Unable to load bind parameters"
    // and leaves the list as it was.
    std::string SaveToBytes() const;
    void LoadFromBytes(const std::string& Data);

protected:
    void AssignTo(TPersistent* Dest) override;

private:
    TPersistent* FOwner;
    std::vector<std::unique_ptr<TZIZIVUParam>> FItems;
};

// Takes the query's parameter values from the current record of its data source.
class TZIZIVUQueryDataLink : public TDataLink {
public:
    explicit TZIZIVUQueryDataLink(TZIZIVUQuery* Query) : FQuery(Query) {}

protected:
    void ActiveChanged() override;
    void CheckBrowseMode() override;
    void RecordChanged(TField* Field) override;

private:
    TZIZIVUQuery* FQuery;
};

using TQueryScriptErrorEvent = std::function<void(TObject* Sender, Exception& E, bool& AbortScript)>;

class TZIZIVUQuery : public TZIZIVUDBDataSet {
public:
    explicit TZIZIVUQuery(TComponent* AOwner);
    ~TZIZIVUQuery() override;

    std::string EngineVersion() const { return TZIZIVUSession::EngineVersionText; }
    void SetEngineVersion(const std::string&) {}

    // Changing the text closes and unprepares the query and finds its markers again.
    TStringList* SQL() { return &FSQL; }
    void SetSQL(const TStrings& Value);
    TStringList* SQLScript() { return &FSQLScript; }
    void SetSQLScript(const TStrings& Value) { FSQLScript.Assign(const_cast<TStrings*>(&Value)); }
    // The text handed to the SQL processor: the lines of SQL, markers replaced by '?'.
    const std::string& Text() const { return FText; }

    TZIZIVUParams* Params() const { return FParams.get(); }
    void SetParams(TZIZIVUParams* Value) { FParams->Assign(Value); }
    int ParamCount() const { return FParams->GetCount(); }
    TZIZIVUParam* ParamByName(const std::string& Name) const { return FParams->ParamByName(Name); }
    bool ParamCheck() const { return FParamCheck; }
    void SetParamCheck(bool v) { FParamCheck = v; }

    bool RequestLive() const { return FRequestLive; }
    void SetRequestLive(bool v) { FRequestLive = v; }
    // -1: no limit. Passed on to a prepared statement.
    int32_t MaxRowCount() const { return FMaxRowCount; }
    void SetMaxRowCount(int32_t v);

    // Where unbound parameters take their values from: the fields of the same name.
    TDataSource* DataSource() const { return FDataLink->DataSource(); }
    // "Circular datalinks are not allowed" for a source that leads back here.
    void SetDataSource(TDataSource* v);
    TDataSource* GetDataSource() const override { return FDataLink->DataSource(); }

    bool Prepared() const { return FStatement != nullptr; }
    // Closed queries only; preparing needs a text of at least 2 characters.
    void SetPrepared(bool v);
    void Prepare() { SetPrepared(true); }
    void UnPrepare() { SetPrepared(false); }
    // Runs the statement without a result dataset: prepares when needed, binds the
    // parameters and executes; RowsAffected tells what it changed.
    void ExecSQL();
    int32_t RowsAffected() const { return FRowsAffected; }
    // Seconds.
    double ExecutionTime() const { return FExecutionTime; }
    TQueryStatement* StmtHandle() const { return FStatement.get(); }

    // Closes and unprepares.
    void Disconnect() override;
    void DefineProperties(TFiler* Filer) override;
    // The query's own stored block: present or not, and its bytes.
    bool HasStoredData() const { return FHasStoredData; }
    const std::string& StoredData() const { return FStoredData; }

    // Finds the markers of Text and returns it with each replaced by '?'; with a list,
    // appends one parameter per marker (unknown type and direction; names may repeat).
    static std::string CreateParams(TZIZIVUParams* List, const std::string& Text);

    TQueryProgressEvent OnQueryProgress;
    // Events of the published interface; nothing here fires them.
    TProgressEvent OnSaveProgress;
    TQueryScriptErrorEvent OnScriptError;

    // Used by the data link: reopen with the source's current values.
    void RefreshParams();

protected:
    TDataCursor* CreateHandle() override;
    void DestroyHandle() override;
    void QueryChanged();
    void PrepareStatement();
    TDataCursor* OpenResult();
    void ExecuteStatement();
    void SetParamsFromCursor();
    void DoQueryProgress(TObject* Sender, int32_t CurrentRecord, uint16_t PercentDone, bool& AbortQuery);

private:
    void FreeStatement();
    // Unprepares a statement that the open prepared.
    void ReleaseOpenPrepare();
    void DropPreparedStatement();
    // A statement runs once: one that ran is prepared again from the text.
    void FreshStatement();
    void ReadStoredData(TStream& Stream);
    void WriteStoredData(TStream& Stream);

    std::unique_ptr<TQueryStatement> FStatement;
    TStringList FSQL;
    TStringList FSQLScript;
    std::unique_ptr<TZIZIVUParams> FParams;
    std::string FText;
    std::unique_ptr<TZIZIVUQueryDataLink> FDataLink;
    bool FRequestLive = false;
    int32_t FMaxRowCount = -1;
    int32_t FRowsAffected = 0;
    double FExecutionTime = 0;
    std::string FStoredData;
    bool FHasStoredData = false;
    bool FParamCheck = true;
    bool FExecuted = false;      // the statement ran
    bool FOpenPrepared = false;  // prepared by the open, unprepared by its close
};
