// Running CREATE TABLE, ALTER TABLE, DROP TABLE, CREATE INDEX and DROP INDEX: the column and
// index definitions of the statement become the engine's field and index descriptors, and
// the target cursor creates, restructures or deletes the table or one of its indexes.
#include <algorithm>
#include <vector>

#include "db/engine/DataCursor.h"
#include "db/engine/DataDirectory.h"
#include "db/engine/DataSession.h"
#include "db/sql/QueryStatement.h"
#include "db/sql/SqlEngineLink.h"
#include "db/storage/EngineErrors.h"
#include "platform/rtl/ScopeGuard.h"
#include "platform/rtl/SysUtils.h"

namespace {

// Texts of a field descriptor that the table keeps to 50 characters.
constexpr size_t DescriptorTextLength = 50;

[[noreturn]] void SqlError(const std::string& message) {
    RaiseEngineError(ZIZIVU_SQLERROR, "", "", "", message);
}

std::string Cut(const std::string& s) {
    return s.substr(0, DescriptorTextLength);
}

// The statement writes CHARCASE as 0 NOCHANGE, 1 LOWER, 2 UPPER; the table stores 0 as is,
// 1 upper, 2 lower.
uint8_t EngineCharCase(uint8_t charCase) {
    switch (charCase) {
        case ccUpper:
            return fcUpper;
        case ccLower:
            return fcLower;
        default:
            return fcAsIs;
    }
}

// A declared size the descriptor's byte cannot hold stays too large, so that the table's
// definition check refuses it instead of taking a wrapped value.
uint8_t DeclaredSize(int32_t size) {
    return static_cast<uint8_t>(std::clamp(size, 0, 255));
}

// The type of a column definition: size for strings and bytes, decimals for BCD.
void AssignType(TFieldDescriptor& d, const TCreateField& f) {
    d.DataType = f.DataType;
    d.SubType = f.SubType;
    d.Size = f.DataType == dtString || f.DataType == dtBytes ? DeclaredSize(f.Size) : 0;
    d.Decimals = f.DataType == dtBCD ? static_cast<uint8_t>(std::clamp(f.Decimals, 0, 255)) : 0;
}

// The attributes a CREATE TABLE column always has, and an ALTER TABLE column only when given.
void AssignAttributes(TFieldDescriptor& d, const TCreateField& f, bool onlyGiven) {
    if (!onlyGiven || f.DescriptionGiven) d.Description = Cut(f.Description);
    if (!onlyGiven || f.NotNullGiven) d.Required = f.NotNull ? 1 : 0;
    if (!onlyGiven || f.CharCaseGiven) d.CharCase = EngineCharCase(f.CharCase);
    if (!onlyGiven || f.MinValueGiven) d.MinValue = Cut(f.MinValue);
    if (!onlyGiven || f.MaxValueGiven) d.MaxValue = Cut(f.MaxValue);
    if (!onlyGiven || f.DefaultValueGiven) d.DefaultValue = Cut(f.DefaultValue);
}

TFieldDescriptor NewFieldDescriptor(const TCreateField& f) {
    TFieldDescriptor d;
    d.FieldNo = static_cast<uint16_t>(f.FieldNo);
    d.Name = f.ColumnName;
    AssignType(d, f);
    AssignAttributes(d, f, false);
    d.Computed = 0;
    return d;
}

size_t FindField(const std::vector<TFieldDescriptor>& fields, const std::string& name) {
    for (size_t i = 0; i < fields.size(); ++i)
        if (SameText(fields[i].Name, name)) return i;
    SqlError("Column " + name + " not found");
}

// An index over the named fields (case-insensitive) of the list.
TIndexDescriptor NewIndexDescriptor(TCreateIndex& index, const std::string& name,
                                    const std::vector<TFieldDescriptor>& fields) {
    index.BuildFieldList();
    TIndexDescriptor d;
    d.Name = name;
    d.Unique = index.Unique ? 1 : 0;
    d.Descending = index.Descending ? 1 : 0;
    d.CaseInsensitive = index.NoCase ? 1 : 0;
    d.Compression = index.Compression;
    const int32_t count = index.ColumnNames.Count();
    if (count > MaxIndexFields) RaiseEngineError(ZIZIVU_INVALIDKEYSIZE, "", "", name);
    for (int32_t i = 0; i < count; ++i)
        d.FieldNumbers[i] = fields[FindField(fields, index.ColumnNames[i])].FieldNo;
    d.FieldCount = static_cast<uint8_t>(count);
    return d;
}

// The options CREATE and ALTER TABLE give the table.
void SetTableOptions(TCreateTableOptions& options, const TTableOptions& given) {
    options.Language = given.LanguageID;
    options.Sort = given.SortID;
    options.BlobBlockSize = static_cast<uint16_t>(std::clamp(given.BlobBlockSize, 0, 65535));
    options.Description = given.Description;
    options.Encrypted = given.Encrypted;
    options.Password = given.Password;
    options.UserMajor = static_cast<uint16_t>(given.UserMajorVersion);
    options.UserMinor = static_cast<uint16_t>(given.UserMinorVersion);
}

}  // namespace

void TDataQuery::ExecCreateTable() {
    std::vector<TFieldDescriptor> fields;
    for (size_t i = 0; i < Clauses().CreateFields.size(); ++i) {
        Clauses().CreateFields[i]->AssignDataType(static_cast<int32_t>(i + 1));
        fields.push_back(NewFieldDescriptor(*Clauses().CreateFields[i]));
    }
    // Slot 0 is the primary index; a table without a primary key leaves it empty.
    std::vector<TIndexDescriptor> indexes(1);
    if (!Clauses().CreateIndexes.empty())
        indexes[0] = NewIndexDescriptor(*Clauses().CreateIndexes.front(), "", fields);
    TCreateTableOptions options;
    SetTableOptions(options, Clauses().Options);
    FRun.ResultCursor->SetExclusive(true);
    FRun.ResultCursor->SetInMemory(Clauses().TargetInMemory);
    FRun.ResultCursor->CreateTable(std::move(fields), std::move(indexes), options);
}

void TDataQuery::ExecDropTable() {
    FRun.ResultCursor->SetExclusive(true);
    FRun.ResultCursor->SetInMemory(Clauses().TargetInMemory);
    FRun.ResultCursor->DeleteTable();
}

namespace {

std::vector<TFieldDescriptor> TableFields(TDataCursor& cursor) {
    std::vector<TFieldDescriptor> fields;
    for (int32_t i = 1; i <= cursor.GetFieldCount(); ++i) fields.push_back(cursor.GetFieldDefinition(i));
    return fields;
}

}  // namespace

void TDataQuery::ExecCreateIndex() {
    FRun.ResultCursor->SetExclusive(true);
    FRun.ResultCursor->SetInMemory(Clauses().TargetInMemory);
    FRun.ResultCursor->Open();
    TScopeGuard close([this] { FRun.ResultCursor->Close(); });
    TCreateIndex& index = *Clauses().CreateIndexes.front();
    FRun.ResultCursor->AddIndex(NewIndexDescriptor(index, index.IndexName, TableFields(*FRun.ResultCursor)));
}

void TDataQuery::ExecDropIndex() {
    FRun.ResultCursor->SetExclusive(true);
    FRun.ResultCursor->SetInMemory(Clauses().TargetInMemory);
    if (SameText(Clauses().IndexName, "PRIMARY")) {
        DropPrimaryIndex();
        return;
    }
    FRun.ResultCursor->Open();
    TScopeGuard close([this] { FRun.ResultCursor->Close(); });
    FRun.ResultCursor->DeleteIndex(Clauses().IndexName);
}

// The table as it is: fields in field order, the primary index and the secondary ones;
// the statement's options, with the table's for every option the statement did not give.
void TDataQuery::ReadTableDefinition(std::vector<TFieldDescriptor>& fields,
                                     std::vector<TIndexDescriptor>& indexes, TTableOptions& options) {
    TDataCursor& c = *FRun.ResultCursor;
    options = Clauses().Options;
    if (!options.EncryptedGiven) {
        options.Encrypted = c.IsTableEncrypted();
        options.Password = options.Encrypted ? c.GetTablePassword() : std::string();
    }
    if (!options.LanguageGiven) options.LanguageID = c.GetLanguageID();
    if (!options.SortGiven) options.SortID = c.GetSortOrderID();
    if (!options.BlobBlockSizeGiven) options.BlobBlockSize = c.GetBlobBlockSize();
    if (!options.DescriptionGiven) options.Description = c.GetTableDescription();
    if (!options.UserMajorVersionGiven) options.UserMajorVersion = c.GetUserVersionMajor();
    if (!options.UserMinorVersionGiven) options.UserMinorVersion = c.GetUserVersionMinor();
    fields = TableFields(c);
    indexes.clear();
    for (int32_t i = 0; i <= c.GetIndexCount(); ++i) indexes.push_back(c.GetIndexDefinition(i));
}

void TDataQuery::RestructureTable(std::vector<TFieldDescriptor> fields, std::vector<TIndexDescriptor> indexes,
                                  const TTableOptions& given) {
    TDataCursor::TAlterTableOptions options;
    SetTableOptions(options, given);
    options.LastAutoInc = given.LastAutoInc;
    options.KeepBackups = !given.NoBackup;
    FRun.ResultCursor->AlterTable(std::move(fields), std::move(indexes), options);
}

void TDataQuery::DropPrimaryIndex() {
    std::vector<TFieldDescriptor> fields;
    std::vector<TIndexDescriptor> indexes;
    TTableOptions options;
    FRun.ResultCursor->Open();
    {
        TScopeGuard close([this] { FRun.ResultCursor->Close(); });
        ReadTableDefinition(fields, indexes, options);
    }
    indexes[0] = TIndexDescriptor();
    RestructureTable(std::move(fields), std::move(indexes), options);
}

void TDataQuery::ExecAlterTable() {
    FRun.ResultCursor->SetExclusive(true);
    FRun.ResultCursor->SetInMemory(Clauses().TargetInMemory);
    FRun.ResultCursor->SetPasswordCallback(OnPassword);
    std::vector<TFieldDescriptor> fields;
    std::vector<TIndexDescriptor> indexes;
    TTableOptions options;
    bool hasPrimary;
    FRun.ResultCursor->Open();
    {
        TScopeGuard close([this] { FRun.ResultCursor->Close(); });
        ReadTableDefinition(fields, indexes, options);
        hasPrimary = !FRun.ResultCursor->GetNoPrimaryIndex() && indexes[0].FieldCount > 0;
    }
    FRun.ResultCursor->SetPasswordCallback(nullptr);
    // A new column takes a number no column of the table has, so that the restructure,
    // which carries values over by number, never hands it an old column's values.
    int32_t nextFieldNo = 1;
    for (const TFieldDescriptor& f : fields) nextFieldNo = std::max<int32_t>(nextFieldNo, f.FieldNo + 1);
    int32_t n = static_cast<int32_t>(fields.size());
    for (const std::unique_ptr<TCreateField>& alteration : Clauses().CreateFields) {
        TCreateField& f = *alteration;
        if (f.AtPosition != 0 && (f.AtPosition > n || f.AtPosition < 0))
            SqlError("AT column position must be between 1 and " + IntToStr(n));
        if (f.Add) {
            ++n;
            f.AssignDataType(nextFieldNo++);
            TFieldDescriptor d = NewFieldDescriptor(f);
            if (f.AtPosition != 0)
                fields.insert(fields.begin() + (f.AtPosition - 1), d);
            else
                fields.push_back(d);
        } else if (f.Redefine) {
            size_t i = FindField(fields, f.ColumnName);
            if (f.AtPosition != 0) {
                TFieldDescriptor moved = fields[i];
                fields.erase(fields.begin() + i);
                i = static_cast<size_t>(f.AtPosition - 1);
                fields.insert(fields.begin() + i, moved);
            }
            TFieldDescriptor& d = fields[i];
            if (f.DataType != 0) AssignType(d, f);
            if (!f.NewColumnName.empty()) d.Name = f.NewColumnName;
            AssignAttributes(d, f, true);
        } else if (f.Drop) {
            fields.erase(fields.begin() + FindField(fields, f.ColumnName));
            --n;
        }
    }
    if (!Clauses().CreateIndexes.empty()) {
        TCreateIndex& primary = *Clauses().CreateIndexes.front();
        if (primary.Drop) {
            indexes[0] = TIndexDescriptor();
        } else {
            if (primary.Add && hasPrimary) SqlError("Cannot REDEFINE the primary key using the ADD keyword");
            indexes[0] = NewIndexDescriptor(primary, "", fields);
        }
    }
    RestructureTable(std::move(fields), std::move(indexes), options);
}
