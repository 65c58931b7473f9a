// Restructure of a table to a complete new definition: header values only, a rebuild of
// the changed indexes, or a copy of every record into a new table that then takes the old
// one's place. Losses are put to the data-lost hook. Also the cursor clone and the BLOB
// checks of repair runs.
#include <algorithm>
#include <cstring>
#include <set>

#include "db/engine/BlobFile.h"
#include "db/engine/DataCursor.h"
#include "db/engine/DataDirectory.h"
#include "db/engine/DataSession.h"
#include "db/engine/DataTable.h"
#include "db/engine/EngineErrors.h"
#include "db/engine/EngineFileSupport.h"
#include "db/engine/FileMoves.h"
#include "db/engine/Filter.h"
#include "db/storage/Encodings.h"
#include "db/storage/ExpressionEval.h"
#include "db/storage/FileLayer.h"
#include "db/storage/LanguageSettings.h"
#include "platform/os/Files.h"
#include "platform/rtl/ByteCodec.h"
#include "platform/rtl/Math.h"
#include "platform/rtl/ScopeGuard.h"
#include "platform/rtl/SysUtils.h"

namespace {

constexpr const char* TableExtensions[3] = {".DAT", ".IDX", ".BLB"};
constexpr const char* BackupExtensions[3] = {".DBK", ".IBK", ".BBK"};
// Room for a converted value: the work area and the widest stored field.
constexpr size_t ConvertRoom = 512;

int32_t Percent(uint32_t n, uint32_t total) {
    return total == 0 ? 100 : int32_t(Round((long double)n / total * 100.0L));
}

const TFieldDescriptor* FieldByNumber(const std::vector<TFieldDescriptor>& fields, uint16_t no) {
    for (const TFieldDescriptor& f : fields)
        if (f.FieldNo == no) return &f;
    return nullptr;
}

// A session password for the length of an operation.
class TPasswordScope {
public:
    TPasswordScope(TDataSession* session, const std::string& password) {
        if (session && !password.empty() && !session->HasPassword(password)) {
            session->AddPassword(password);
            FSession = session;
            FPassword = password;
        }
    }
    ~TPasswordScope() {
        if (FSession) FSession->RemovePassword(FPassword);
    }
    TPasswordScope(const TPasswordScope&) = delete;
    TPasswordScope& operator=(const TPasswordScope&) = delete;

private:
    TDataSession* FSession = nullptr;
    std::string FPassword;
};

// The change counter a table file holds in its first four bytes.
uint32_t StoredChangeCount(const std::string& name, bool inMemory) {
    TFileHandler file;
    file.SetInMemory(inMemory);
    file.SetFileName(name);
    file.Open();
    TScopeGuard close([&file] { file.Close(); });
    uint8_t head[4];
    ReadAt(file, 0, head, 4);
    return bytes::GetU32(head);
}

// An index file's change counter as its first four bytes hold it: an encrypted one
// scrambles its header from byte 0, the counter with it.
uint32_t StoredIndexChangeCount(const TIndexFile& index) {
    uint8_t head[4];
    bytes::PutU32(head, index.GetChangeCount());
    if (index.Encrypted()) ScrambleBuffer(head, 4, IndexHeaderSeedLo, IndexHeaderSeedHi);
    return bytes::GetU32(head);
}

}  // namespace

// ---- Definitions --------------------------------------------------------------------------

bool TDataCursor::IndexDefinitionsDiffer(const TIndexDescriptor& a, const TIndexDescriptor& b,
                                         const std::vector<TFieldDescriptor>& oldFields,
                                         const std::vector<TFieldDescriptor>& newFields) {
    if (a.KeyLength != b.KeyLength || a.FieldCount != b.FieldCount || a.Descending != b.Descending ||
        a.CaseInsensitive != b.CaseInsensitive || a.Unique != b.Unique || a.Compression != b.Compression)
        return true;
    for (int32_t i = 0; i < a.FieldCount && i < MaxIndexFields; ++i) {
        if (a.FieldNumbers[i] != b.FieldNumbers[i] || a.FieldOptions[i] != b.FieldOptions[i]) return true;
        const TFieldDescriptor* nf = FieldByNumber(newFields, b.FieldNumbers[i]);
        if (!nf) RaiseEngineError(ZIZIVU_INVALIDFIELD, "", IntToStr(b.FieldNumbers[i]));
        const TFieldDescriptor* of = FieldByNumber(oldFields, a.FieldNumbers[i]);
        if (!of || FieldDefinitionsDiffer(*of, *nf)) return true;
    }
    return false;
}

void TDataCursor::RenumberIndexFields() {
    CheckOpen();
    CheckNotReadOnly();
    TDataFile* data = DataFile();
    TIndexFile* index = IndexFile();
    const int32_t count = data->GetFieldCount();
    auto position = [&](uint16_t no) -> uint16_t {
        for (int32_t i = 0; i < count; ++i)
            if (data->GetFieldDescriptor(i).FieldNo == no) return uint16_t(i + 1);
        Raise(ZIZIVU_INVALIDFIELD, IntToStr(no));
    };
    TReadScope read(*this);
    BeginWrite();
    {
        TScopeGuard end([this] { EndWrite(); });
        for (int32_t i = index->GetNoPrimaryIndex() ? 1 : 0; i <= index->GetIndexCount(); ++i) {
            TIndexDescriptor d = index->GetIndexDescriptor(i);
            if (d.KeyLength == 0) continue;
            for (int32_t k = 0; k < d.FieldCount && k < MaxIndexFields; ++k)
                d.FieldNumbers[k] = position(d.FieldNumbers[k]);
            index->SetIndexNameAndFields(i, d);
        }
        for (int32_t i = 0; i < count; ++i) {
            TFieldDescriptor f = data->GetFieldDescriptor(i);
            f.FieldNo = uint16_t(i + 1);
            data->SetFieldDescriptor(i, f);
        }
        data->MarkHeaderDirty();
        FlushAfterWrite();
    }
    FFieldNumberAddressing = false;
    LoadFieldTable();
    SetActiveIndexNumber(FIndexNo);
}

// ---- Restructure --------------------------------------------------------------------------

void TDataCursor::AlterTable(std::vector<TFieldDescriptor> fields, std::vector<TIndexDescriptor> indexes,
                             const TAlterTableOptions& options) {
    CheckNotOpen();
    CheckExclusive();
    CheckNotReadOnly();
    Open();
    TDataSession* session = FDirectory->Session();
    TDataDirectory* work = nullptr;
    std::unique_ptr<TDataCursor> copy;
    // The copy and the work directory go, and the cursor closes, whatever happens.
    TScopeGuard finish([&] {
        copy.reset();
        if (work && session) session->CloseDirectory(work);
        Close();
    });
    work = FInMemory || !session ? (session ? session->OpenDirectory("Memory", "") : nullptr)
                                 : session->OpenDirectory("", session->GetPrivateDirectory());
    if (!work) work = FDirectory;
    TAlterTableOptions opt = options;
    if (opt.LastAutoInc == -1) opt.LastAutoInc = GetLastAutoIncValue();
    ValidateTableDefinition(fields, indexes, opt);

    TDataFileHeader header;
    GetTableHeader(header);
    TDataFile* data = DataFile();
    TIndexFile* index = IndexFile();
    std::vector<TFieldDescriptor> oldFields;
    for (int32_t i = 0; i < data->GetFieldCount(); ++i) oldFields.push_back(data->GetFieldDescriptor(i));
    bool full = opt.Encrypted != (header.Encrypted != 0) || opt.BlobBlockSize != GetBlobBlockSize() ||
                opt.Language != FLanguage || opt.Sort != FSort || fields.size() != oldFields.size();
    for (size_t i = 0; !full && i < fields.size(); ++i)
        full = FieldDefinitionsDiffer(oldFields[i], fields[i]);

    if (full) {
        copy = std::make_unique<TDataCursor>(work);
        copy->SetFieldNumberAddressing(true);
        AlterByCopy(*copy, work, fields, indexes, opt);
    } else {
        // Index slots: 0 the primary (none when it has no fields), then the secondary ones.
        if (indexes.empty()) indexes.emplace_back();
        const bool oldPrimary = !index->GetNoPrimaryIndex();
        const bool newPrimary = indexes[0].FieldCount > 0;
        const int32_t oldCount = index->GetIndexCount();
        const int32_t newCount = int32_t(indexes.size()) - 1;
        bool rebuild = oldCount != newCount || oldPrimary != newPrimary;
        for (int32_t i = 0; !rebuild && i <= std::min(oldCount, newCount); ++i) {
            if (i == 0 && !oldPrimary) continue;
            rebuild =
                IndexDefinitionsDiffer(index->GetIndexDescriptor(i), indexes[size_t(i)], oldFields, fields);
        }
        if (rebuild) RebuildIndexes(indexes, oldFields, fields);
        // Header values that could not be written are read back from the files, so that the
        // close does not write them after the failure was reported.
        TScopeGuard reread([this] { FTable->ReadHeaders(); });
        StoreHeaderValues(fields, indexes, opt, options.LastAutoInc != -1);
        reread.Dismiss();
    }
}

void TDataCursor::StoreHeaderValues(const std::vector<TFieldDescriptor>& fields,
                                    const std::vector<TIndexDescriptor>& indexes,
                                    const TAlterTableOptions& opt, bool setAutoInc) {
    TReadScope read(*this);
    BeginWrite();
    TScopeGuard end([this] { EndWrite(); });
    for (size_t i = 0; i < fields.size(); ++i) SetFieldDefinition(int32_t(i + 1), fields[i]);
    for (size_t i = 0; i < indexes.size(); ++i)
        if (IndexFile()->GetIndexDescriptor(int32_t(i)).KeyLength != 0)
            SetIndexFieldInfo(int32_t(i), indexes[i]);
    DataFile()->SetDescriptionAndPassword(
        opt.Encrypted ? Trim(opt.Password) : std::string(), opt.Description, opt.UserMinor, opt.UserMajor,
        setAutoInc ? uint32_t(opt.LastAutoInc) : DataFile()->GetLastRowId());
    FlushAfterWrite();
}

void TDataCursor::RebuildIndexes(const std::vector<TIndexDescriptor>& indexes,
                                 const std::vector<TFieldDescriptor>& oldFields,
                                 const std::vector<TFieldDescriptor>& fields) {
    TIndexFile* index = IndexFile();
    const bool oldPrimary = !index->GetNoPrimaryIndex();
    const bool newPrimary = indexes[0].FieldCount > 0;
    const int32_t oldCount = index->GetIndexCount();
    const int32_t newCount = int32_t(indexes.size()) - 1;
    // The slots to build: added ones and those whose definition changed.
    std::vector<int32_t> marked;
    for (int32_t i = 0; i <= newCount; ++i) {
        if (i == 0 && !newPrimary) continue;
        if (i > oldCount || (i == 0 && !oldPrimary) ||
            IndexDefinitionsDiffer(index->GetIndexDescriptor(i), indexes[size_t(i)], oldFields, fields))
            marked.push_back(i);
    }
    TReadScope read(*this);
    BeginWrite();
    {
        TScopeGuard end([this] {
            EndWrite();
            SetActiveIndexNumber(FIndexNo <= IndexFile()->GetIndexCount() ? FIndexNo : 0);
        });
        // Records a new unique index refuses are put to the caller before anything changes.
        std::vector<std::pair<int32_t, TIndexDescriptor>> unique;
        for (int32_t i : marked)
            if (indexes[size_t(i)].Unique || i == 0) unique.emplace_back(i, indexes[size_t(i)]);
        const std::vector<uint32_t> refused = FindRefusedRecords(unique);

        // A backup index file the user already has is kept aside while ours is in use.
        const std::string backup = ForceFileExt(index->FileName(), ".IBK");
        TFileMoves userBackup(FInMemory);
        userBackup.Move(backup,
                        ForceFileExt((FInMemory ? std::string() : FDirectory->Path()) +
                                         FDirectory->GetTemporaryTableName(FInMemory),
                                     ".IBK"),
                        FTableName);
        TScopeGuard putBack([&userBackup] { userBackup.Undo(); });
        BackupIndex();
        {
            // Nothing of the data file changed yet: the old index file comes back whole.
            TScopeGuard restore([this] { RestoreIndexAfterFailure(); });
            for (int32_t i = oldCount; i > newCount; --i) {
                FreeIndexPages(i);
                index->DeleteIndexDescriptor(i, true);
            }
            if (oldPrimary && (!newPrimary || std::count(marked.begin(), marked.end(), 0))) FreeIndexPages(0);
            if (!newPrimary) index->SetNoPrimaryIndex(true);
            for (int32_t i : marked) {
                if (i <= oldCount && i > 0) FreeIndexPages(i);
                if (i == 0) index->SetNoPrimaryIndex(false);
                index->SetIndexDescriptor(i, indexes[size_t(i)]);
            }
            index->SetIndexCount(newCount);
            SetActiveIndexNumber(FIndexNo <= newCount || FIndexNo == RecordNumberOrderIndex ? FIndexNo : 0);
            if (!marked.empty() && DataFile()->GetPhysicalRecordCount() > 0)
                BuildIndexKeys(marked, true, refused);
            FlushAfterWrite();
            restore.Dismiss();
        }
        FTable->RestoreIndexFile(true, true);
        // The refused records go last, from the indexes that hold their keys.
        for (uint32_t n : refused) DeleteRecordAt(n, marked);
        FlushAfterWrite();
        end.Dismiss();
    }
    EndWrite();
    SetActiveIndexNumber(
        FIndexNo <= IndexFile()->GetIndexCount() || FIndexNo == RecordNumberOrderIndex ? FIndexNo : 0);
    ResetView();
}

// The undo step of a failed rebuild.
void TDataCursor::RestoreIndexAfterFailure() {
    FTable->RestoreIndexFile(false, true);
    FTable->DiscardBuffers();
    SaveChangeCounts();
    SetActiveIndexNumber(FIndexNo <= IndexFile()->GetIndexCount() ? FIndexNo : 0);
}

// One lost value or field of a copied record: the hook decides (it goes on when not set).
void TDataCursor::ReportLoss(const std::string& text, bool& silence, bool& cont) {
    if (!silence) DoDataLost(0, text, silence, cont);
}

void TDataCursor::AlterByCopy(TDataCursor& copy, TDataDirectory* work, std::vector<TFieldDescriptor>& fields,
                              std::vector<TIndexDescriptor>& indexes, const TAlterTableOptions& opt) {
    TDataSession* session = FDirectory->Session();
    TPasswordScope password(session, opt.Encrypted ? Trim(opt.Password) : std::string());
    const std::string tempName = work->GetTemporaryTableName(FInMemory);
    copy.SetTableName(tempName);
    copy.SetExclusive(true);
    copy.SetInMemory(FInMemory);
    TCreateTableOptions create = opt;
    create.Overwrite = false;
    copy.CreateTable(fields, indexes, create);
    bool completed = false;
    {
        // A copy that fails goes again, also when its close fails.
        TScopeGuard drop([&copy] {
            TScopeGuard remove([&copy] { copy.DeleteTable(); });
            copy.Close();
        });
        copy.SetRecordNumberOrder(true);
        copy.Open();
        copy.FKeepAutoInc = true;
        const uint32_t physical = DataFile()->GetPhysicalRecordCount();
        std::vector<uint8_t> old(size_t(std::max({FRecordSize, FPhysicalRecordSize, RecordHeaderSize})));
        std::vector<uint8_t> rec(size_t(std::max(copy.GetRecordSize(), RecordHeaderSize)));
        std::vector<uint8_t> value(ConvertRoom);
        std::vector<uint8_t> blob;
        bool silence = false, cont = true;
        TLanguageSettingsSwap swap(FLanguage, FSort);
        for (uint32_t n = 1; n <= physical && cont; ++n) {
            FetchRecord(n, old.data());
            if (old[0] != 0) continue;
            copy.InitRecord(rec.data());
            // The row id goes with the record (an auto-increment field may set it below).
            std::memcpy(rec.data() + AutoIncOffset, old.data() + AutoIncOffset, 4);
            for (int32_t i = 0; i < DataFile()->GetFieldCount() && cont; ++i) {
                const TFieldDescriptor& of = DataFile()->GetFieldDescriptor(i);
                const int32_t oldNo = FFieldNumberAddressing ? of.FieldNo : i + 1;
                std::fill(value.begin(), value.end(), 0);
                bool blank;
                ReadFieldValue(of, old.data(), blank, value.data());
                const TFieldDescriptor* nf = FieldByNumber(fields, of.FieldNo);
                // A blank stays blank, and a value lost to the new type leaves the field
                // blank: the new definition's defaults are for the fields the old one lacked,
                // not a value put in place of the user's NULL or of what was lost.
                auto leaveBlank = [&] {
                    if (nf && nf->DataType != dtBlob && !nf->IsAutoInc())
                        copy.PutField(nf->FieldNo, rec.data(), nullptr);
                };
                if (blank) {
                    leaveBlank();
                    continue;
                }
                if (!nf) {
                    ReportLoss(of.Name, silence, cont);
                    continue;
                }
                if (of.DataType == dtBlob) {
                    if (nf->DataType != dtBlob) {
                        leaveBlank();
                        ReportLoss(of.Name, silence, cont);
                        continue;
                    }
                    uint32_t size = 0, got = 0;
                    uint16_t code = OpenBlob(oldNo, old.data(), EngineBlobTag, true, bmRead);
                    if (code == 0) code = GetBlobSize(oldNo, old.data(), true, size);
                    blob.assign(size, 0);
                    if (code == 0 && size > 0)
                        code = GetBlob(oldNo, old.data(), true, got, size, blob.data(), 0);
                    if (code == 0)
                        code = copy.OpenBlob(nf->FieldNo, rec.data(), EngineBlobTag, false, bmReadWrite);
                    if (code == 0) code = copy.PutBlob(nf->FieldNo, rec.data(), false, got, blob.data(), 0);
                    const uint16_t freed = FreeBlob(oldNo, old.data(), EngineBlobTag, true);
                    if (code == 0) code = freed;
                    if (code != 0) Raise(code, of.Name);
                    continue;
                }
                if (!ConvertFieldValue(of.DataType, of.DataType == dtString ? of.Size : of.DataSize,
                                       nf->DataType, nf->DataType == dtString ? nf->Size : nf->DataSize,
                                       value.data(), nf->Decimals)) {
                    leaveBlank();
                    ReportLoss(of.Name, silence, cont);
                    continue;
                }
                copy.PutField(nf->FieldNo, rec.data(), value.data());
            }
            if (!cont) break;
            try {
                copy.InsertRecord(rec.data(), false);
            } catch (const EZIZIVUEngineError& e) {
                // A record the new definition refuses: the caller decides, and without a
                // hook nothing is lost.
                copy.FreeBlobBuffers(true);
                if (!OnDataLost) throw;
                if (!silence) DoDataLost(e.ErrorCode(), e.Message(), silence, cont);
                if (!cont) throw;
            }
            copy.FreeBlobBuffers(false);
            FreeBlobBuffers(false);
            DoRestructureProgress(int32_t(n), Percent(n, physical));
        }
        if (cont) {
            copy.RenumberIndexFields();
            copy.SetLastAutoIncValue(uint32_t(opt.LastAutoInc));
            completed = true;
        }
        copy.Close();
        drop.Dismiss();
    }
    if (!completed) {
        copy.DeleteTable();
        return;
    }
    // The file list moves no open file, so the table is closed before its files move. Another
    // user may open it meanwhile and write: its change counters tell. The cursor stays closed
    // (the restructure closes it at its end); a new table that could not take the old one's
    // place goes.
    const uint32_t leftCounts[2] = {DataFile()->GetChangeCount(), StoredIndexChangeCount(*IndexFile())};
    Close();
    TScopeGuard drop([&copy] { copy.DeleteTable(); });
    ReplaceTableFiles(work, tempName, opt.KeepBackups, leftCounts);
    drop.Dismiss();
}

// The new table takes the old one's place: the old files are moved aside (to the backup
// names when backups are kept, else to scratch names, so that earlier backups survive),
// the new ones moved in, and the set-aside files deleted unless they are the backups. A
// failure on the way moves everything back.
void TDataCursor::ReplaceTableFiles(TDataDirectory* work, const std::string& tempName, bool keepBackups,
                                    const uint32_t (&leftCounts)[2]) {
    const std::string prefix = FInMemory ? std::string() : FDirectory->Path();
    const std::string workPrefix = FInMemory ? std::string() : work->Path();
    const std::string base = prefix + RemoveFileExt(FTableName);
    const std::string newBase = workPrefix + RemoveFileExt(tempName);
    const std::string asideBase = prefix + RemoveFileExt(FDirectory->GetTemporaryTableName(FInMemory));
    auto aside = [&](int i) {
        return keepBackups ? base + BackupExtensions[i] : asideBase + TableExtensions[i];
    };
    // An old backup that stays (another user's, in a folder with the sticky bit) would
    // only make the move onto its name fail for a reason no code names.
    if (keepBackups)
        for (int i = 0; i < 3; ++i)
            if (DataFileExists(aside(i), FInMemory))
                if (const int32_t r = GlobalFileList()->DeleteFile(aside(i), FInMemory); r < 0)
                    RaiseEngineError(uint16_t(-r), aside(i));
    TFileMoves moves(FInMemory);
    TScopeGuard undo([&moves] { moves.Undo(); });
    for (int i = 0; i < 3; ++i) moves.Move(base + TableExtensions[i], aside(i), FTableName);
    // Set aside, the old files are out of every other user's reach: a write made since the
    // copy ended would be lost with them.
    for (int i = 0; i < 2; ++i)
        if (StoredChangeCount(aside(i), FInMemory) != leftCounts[i]) Raise(ZIZIVU_OSACCESSDENIED);
    for (int i = 0; i < 3; ++i)
        moves.Move(newBase + TableExtensions[i], base + TableExtensions[i], FTableName);
    // The new files were made by this process in its own folder: they take the old ones'
    // permissions and owner (a new BLOB file those of the data file), so that a shared table
    // stays open to the users it was shared with.
    if (!FInMemory)
        for (int i = 0; i < 3; ++i)
            if (DataFileExists(base + TableExtensions[i], false))
                (void)OsCopyAccess(DataFileExists(aside(i), false) ? aside(i) : aside(0),
                                   base + TableExtensions[i]);
    undo.Dismiss();
    if (!keepBackups)
        for (int i = 0; i < 3; ++i)
            if (DataFileExists(aside(i), FInMemory)) GlobalFileList()->DeleteFile(aside(i), FInMemory);
}

// ---- Clone --------------------------------------------------------------------------------

std::unique_ptr<TDataCursor> TDataCursor::Clone() {
    CheckOpen();
    {
        TReadScope read(*this);
        RefreshIfChanged();
    }
    auto c = std::make_unique<TDataCursor>(FDirectory);
    TPasswordScope password(FDirectory->Session(),
                            DataFile()->IsEncrypted() ? DataFile()->GetPassword() : "");
    c->SetTableName(FTableName);
    c->SetExclusive(FExclusive);
    c->SetSharedExclusive(FExclusive || FSharedExclusive);
    c->SetReadOnly(FReadOnly);
    c->SetInMemory(FInMemory);
    c->SetRecordNumberOrder(FRecordNumberOrder);
    c->SetComputedFields(FComputedFields);
    c->SetPassThrough(FPassThrough);
    c->Open();
    // The field table, computed columns included.
    c->FFields = FFields;
    c->FExpressions = FExpressions;
    c->FFieldCount = FFieldCount;
    c->FRecordSize = FRecordSize;
    c->FHasValidation = FHasValidation;
    c->FHasDefaults = FHasDefaults;
    c->FHasComputed = FHasComputed;
    c->FHasAutoInc = FHasAutoInc;
    c->FRecordBuffer.assign(FRecordBuffer.size(), 0);
    if (FIndexNo == RecordNumberOrderIndex || FIndexNo == DeletedIndexNo || FIndexNo == 0)
        c->SwitchToIndexNumber(FIndexNo);
    else
        c->SwitchToIndex(FIndex.Name);
    if (FRangeActive) {
        c->FRangeStart = FRangeStart;
        c->FRangeEnd = FRangeEnd;
        c->FRangeActive = true;
        c->ResetView();
    }
    for (const auto& f : FFilters) {
        const TFilter* filter = dynamic_cast<const TFilter*>(f.get());
        if (!filter) continue;
        TFilter* added = filter->IsCallback()
                             ? c->AddFilter(filter->Callback(), filter->IsChained())
                             : c->AddFilter(CloneExpressionTree(filter->Expression()).release(), true,
                                            filter->CountFirst(), filter->IsChained());
        if (filter->IsActive()) c->ActivateFilter(added);
    }
    if (FBof && FEof)
        c->First();
    else if (FBof)
        c->First();
    else if (FEof)
        c->Last();
    else
        c->GotoCursorRecord(*this);
    return c;
}

// ---- Repair -------------------------------------------------------------------------------

const TFieldDescriptor& TDataCursor::RepairBlobField(int32_t fieldNo, bool repair) {
    const TFieldDescriptor& f = FieldAt(fieldNo, true);
    if (f.DataType != dtBlob || f.Computed) Raise(ZIZIVU_INVALIDBLOBFIELD);
    if (repair) {
        CheckExclusive();
        CheckNotReadOnly();
    }
    return f;
}

uint32_t TDataCursor::StoredBlobStart(uint32_t recordNo, const TFieldDescriptor& f) {
    std::vector<uint8_t> image(size_t(std::max(FPhysicalRecordSize, RecordHeaderSize)));
    FetchRecord(recordNo, image.data());
    // A reading follows the start whatever the field's flag says (a sound blank field
    // names none): so do the checks.
    if (image[0] != 0) return 0;
    return bytes::GetU32(image.data() + f.Offset + 1);
}

void TDataCursor::ClearBlobReference(uint32_t recordNo, const TFieldDescriptor& f) {
    std::vector<uint8_t> image(size_t(std::max({FRecordSize, FPhysicalRecordSize, RecordHeaderSize})));
    FetchRecord(recordNo, image.data());
    // Flag byte, first block and BLOB id, as a BLOB emptied by a write leaves them.
    std::fill_n(image.begin() + f.Offset, 1 + f.DataSize, uint8_t(0));
    TRecord* rec = nullptr;
    while (!DataFile()->GetRecord(this, recordNo, rec, 1, false, false)) {
    }
    rec->CopyFields(image.data());
    DataFile()->ReleaseRecord(rec);
    ComputeColumns(image.data());
    FlushAfterWriteAndView(recordNo, image.data(), false, false);
}

uint16_t TDataCursor::VerifyBlob(uint32_t recordNo, int32_t fieldNo, bool repair) {
    CheckOpen();
    try {
        const TFieldDescriptor& f = RepairBlobField(fieldNo, repair);
        TReadScope read(*this);
        const uint32_t first = StoredBlobStart(recordNo, f);
        if (first == 0 || (FTable->HasBlobFile() && FTable->BlobFile()->IsBlockPosition(first))) return 0;
        if (!OnRepairLog) return ZIZIVU_INVALIDBLOBOFFSET;
        if (repair) ClearBlobReference(recordNo, f);
        DoRepairLog("Invalid BLOB offset in BLOB file for physical record # " + IntToStr(int32_t(recordNo)) +
                    ", " + (repair ? "error fixed" : "error not fixed"));
        return repair ? 0 : ZIZIVU_INVALIDBLOBOFFSET;
    } catch (const EZIZIVUEngineError& e) {
        return e.ErrorCode();
    }
}

namespace {
// The cursor's repair log on the BLOB file for one check; counts the findings.
class TBlobRepairLogScope {
public:
    TBlobRepairLogScope(TBlobFile& blobs, TDataCursor& cursor) : FBlobs(blobs), FSaved(blobs.OnRepairLog) {
        if (cursor.OnRepairLog)
            blobs.OnRepairLog = [this, &cursor](const std::string& text) {
                ++Findings;
                cursor.DoRepairLog(text);
            };
    }
    ~TBlobRepairLogScope() { FBlobs.OnRepairLog = FSaved; }
    TBlobRepairLogScope(const TBlobRepairLogScope&) = delete;
    TBlobRepairLogScope& operator=(const TBlobRepairLogScope&) = delete;

    int32_t Findings = 0;

private:
    TBlobFile& FBlobs;
    TBlobRepairLogEvent FSaved;
};
}  // namespace

uint16_t TDataCursor::VerifyBlobChain(uint32_t recordNo, int32_t fieldNo, bool repair) {
    CheckOpen();
    try {
        const TFieldDescriptor& f = RepairBlobField(fieldNo, repair);
        if (!FTable->HasBlobFile()) return 0;
        TBlobFile* blobs = FTable->BlobFile();
        TReadScope read(*this);
        const uint32_t start = StoredBlobStart(recordNo, f);
        if (start == 0) return 0;
        TBlobRepairLogScope log(*blobs, *this);
        uint32_t first = start;
        while (!blobs->CheckBlobChain(this, repair, recordNo, recordNo, first)) first = start;
        if (repair && first == 0)
            ClearBlobReference(recordNo, f);
        else if (repair && log.Findings > 0)
            FlushAfterWrite();
    } catch (const EZIZIVUEngineError& e) {
        return e.ErrorCode();
    }
    return 0;
}
