// The cursor's life: options, open and close with the password exchange, the definition
// checks before a table is created, the whole-table maintenance, header access, and the
// locks and change detection every operation runs under.
#include "db/engine/DataCursor.h"

#include <algorithm>
#include <cstring>

#include "db/engine/BlobFile.h"
#include "db/engine/DataDirectory.h"
#include "db/engine/DataSession.h"
#include "db/engine/DataTable.h"
#include "db/engine/EngineErrors.h"
#include "db/storage/Encodings.h"
#include "db/storage/FileLayer.h"
#include "db/storage/LanguageSettings.h"
#include "db/storage/RecordsBitmap.h"
#include "platform/os/Locale.h"
#include "platform/rtl/ByteCodec.h"
#include "platform/rtl/ScopeGuard.h"
#include "platform/rtl/SysUtils.h"

namespace {

constexpr int32_t MaxIndexCount = 32;
constexpr int32_t MinBlobBlock = 64;
constexpr size_t MaxPasswordLength = 15;

}  // namespace

TDataCursor::TDataCursor(TDataDirectory* directory)
    : FDirectory(directory),
      FRangeStart(KeyBufferSize, 0),
      FRangeEnd(KeyBufferSize, 0xFF),
      FCurKey(KeyBufferSize, 0),
      FKeyBuffer1(KeyBufferSize, 0),
      FKeyBuffer2(KeyBufferSize, 0) {}

TDataCursor::~TDataCursor() {
    try {
        Close();
    } catch (...) {
        // A cursor that cannot close cleanly is freed all the same.
    }
}

void TDataCursor::Raise(uint16_t code, const std::string& field, const std::string& index) const {
    RaiseEngineError(code, FTableName, field, index);
}

// ---- Options ------------------------------------------------------------------------------

void TDataCursor::CheckNotOpen() const {
    if (FOpen) Raise(ZIZIVU_TABLEINUSE);
}

void TDataCursor::RaiseNotOpen() const {
    Raise(ZIZIVU_NOCURRREC);
}

void TDataCursor::CheckExclusive() const {
    if (!FExclusive) Raise(ZIZIVU_NEEDEXCLUSIVE);
}

void TDataCursor::CheckNotReadOnly() const {
    if (FReadOnly) Raise(ZIZIVU_OSACCESSDENIED);
}

void TDataCursor::SetExclusive(bool v) {
    CheckNotOpen();
    FExclusive = v;
}

void TDataCursor::SetReadOnly(bool v) {
    CheckNotOpen();
    FReadOnly = v;
}

void TDataCursor::SetInMemory(bool v) {
    CheckNotOpen();
    FInMemory = v;
}

void TDataCursor::SetTableName(const std::string& name) {
    CheckNotOpen();
    std::string n = Trim(name);
    if (n.size() < 4 || !SameText(n.substr(n.size() - 4), ".DAT")) n = ForceFileExt(n, ".DAT");
    if (n != FTableName) FTableName = n;
}

void TDataCursor::SetSharedExclusive(bool v) {
    CheckNotOpen();
    FSharedExclusive = v;
}

void TDataCursor::SetRecordNumberOrder(bool v) {
    if (v == FRecordNumberOrder) return;
    CheckNotOpen();
    FRecordNumberOrder = v;
}

void TDataCursor::SetPassThrough(bool v) {
    if (v == FPassThrough) return;
    CheckNotOpen();
    FPassThrough = v;
}

void TDataCursor::SetFieldNumberAddressing(bool v) {
    CheckNotOpen();
    FFieldNumberAddressing = v;
}

void TDataCursor::SetKeepAutoInc(bool v) {
    if (FOpen && FHasAutoInc) FKeepAutoInc = v;
}

void TDataCursor::DoRepairLog(const std::string& text) {
    if (OnRepairLog) OnRepairLog(text);
}

void TDataCursor::DoIndexProgress(uint32_t recordNo, int32_t percent) {
    if (OnIndexProgress) OnIndexProgress(recordNo, percent);
}

void TDataCursor::DoRestructureProgress(int32_t recordNo, int32_t percent) {
    if (OnRestructureProgress) OnRestructureProgress(recordNo, percent);
}

void TDataCursor::DoDataLost(uint16_t code, const std::string& text, bool& silence, bool& cont) {
    if (OnDataLost) OnDataLost(code, text, silence, cont);
}

// ---- Open and close ---------------------------------------------------------------------

void TDataCursor::ClearFieldTable() {
    FFields.clear();
    FExpressions.clear();
    FFieldCount = 0;
    FRecordSize = 0;
    FPhysicalRecordSize = 0;
    FHasValidation = FHasDefaults = FHasComputed = FHasAutoInc = false;
}

void TDataCursor::LoadFieldTable() {
    ClearFieldTable();
    TDataFile* data = DataFile();
    FFieldCount = data->GetFieldCount();
    FPhysicalRecordSize = data->GetRecordSize();
    FRecordSize = FPhysicalRecordSize;
    for (int32_t i = 0; i < FFieldCount; ++i) {
        const TFieldDescriptor& f = data->GetFieldDescriptor(i);
        FFields.push_back(f);
        if (f.IsAutoInc()) FHasAutoInc = true;
        if (f.Required || !f.MinValue.empty() || !f.MaxValue.empty()) FHasValidation = true;
        if (!f.DefaultValue.empty()) FHasDefaults = true;
    }
    FExpressions.assign(size_t(FFieldCount), nullptr);
}

void TDataCursor::AskForPassword(const std::string& password) {
    TDataSession* session = FDirectory->Session();
    for (;;) {
        if (session && session->HasPassword(password)) return;
        if (!FPasswordCallback || !FPasswordCallback()) Raise(ZIZIVU_PASSWORDREQUIRED);
    }
}

void TDataCursor::Open() {
    if (FOpen) return;
    ClearFieldTable();
    TDataTable* table = nullptr;
    const int32_t r = FDirectory->OpenTable(FTableName, table, FRecordNumberOrder, FComputedFields,
                                            FPassThrough, FInMemory, FSharedExclusive, FExclusive);
    if (r < 0) Raise(uint16_t(-r));
    FTable = table;
    if (FTable->ReadOnly()) {
        FForcedReadOnly = true;
        FReadOnly = true;
    }
    FOpen = true;
    FReadDepth = 0;
    FWriteDepth = 0;
    // A refused password or a damaged header leaves nothing open behind.
    TScopeGuard close([this] { Close(); });
    OpenView();
    close.Dismiss();
}

void TDataCursor::OpenView() {
    // The headers as they are now (a table opened inside a transaction had them checked by
    // its directory).
    if (!FFieldNumberAddressing && FTable->OpenCount() == 1 && !FTable->InTransaction())
        FTable->ReadHeadersLocked();
    if (DataFile()->IsEncrypted()) AskForPassword(DataFile()->GetPassword());
    FLanguage = DataFile()->GetLanguageId();
    FSort = DataFile()->GetSortId();
    GetLanguageCharMap(FLanguage, FSort, FCharMap);
    LoadFieldTable();
    // Building the view reads pages and records as any operation does: under the read lock
    // at a cache miss, where another process's changes are found.
    TReadScope read(*this);
    SaveChangeCounts();
    FRecordBuffer.assign(size_t(std::max(FRecordSize, RecordHeaderSize)), 0);
    std::fill(FRangeStart.begin(), FRangeStart.end(), 0);
    std::fill(FRangeEnd.begin(), FRangeEnd.end(), 0xFF);
    FRangeActive = false;
    SetEmpty();
    RebuildDeletedIndex();
    SetActiveIndexNumber(FRecordNumberOrder ? RecordNumberOrderIndex : 0);
    UpdateFilterState();
    ResetView();
    First();
}

void TDataCursor::Close() {
    if (!FOpen) return;
    FreeBlobBuffers(true);
    DropAllFilters();
    FFiltered = false;
    FFilteredCount = 0;
    for (TRecordsBitmap* b : {&FRangeBitmap, &FLiveBitmap, &FViewBitmap}) b->SetRecordCount(0);
    FViewIsLive = false;
    FSpareResult.SetBufferSize(0);
    FRecordBuffer.clear();
    ClearFieldTable();
    SetEmpty();
    FLanguage = FSort = 0;
    FKeepAutoInc = false;
    TDataTable* table = FTable;
    try {
        if (FReadDepth > 0 && FReadOwned) table->UnlockRead();
    } catch (...) {
    }
    FReadDepth = 0;
    FReadOwned = false;
    FWriteDepth = 0;
    FTable = nullptr;
    FOpen = false;
    FRangeActive = false;
    std::fill(FRangeStart.begin(), FRangeStart.end(), 0);
    std::fill(FRangeEnd.begin(), FRangeEnd.end(), 0xFF);
    const int32_t r = FDirectory->CloseTable(table, FPassThrough);
    if (r < 0) Raise(uint16_t(-r));
}

// A table without primary index that was written elsewhere, or whose write was cut short
// between the data and the index file, gets its deleted-records index rebuilt.
void TDataCursor::RebuildDeletedIndex() {
    TIndexFile* index = IndexFile();
    if (!index->GetNoPrimaryIndex() || FReadOnly) return;
    const uint32_t physical = DataFile()->GetPhysicalRecordCount();
    TIndexDescriptor d = index->GetIndexDescriptor(DeletedIndexNo);
    int32_t keys = 0;
    // A tree that cannot be read is built again as well, and its pages are left where they
    // are: a damaged tree may lead into another index's pages, which freeing it would take.
    bool unreadable = false;
    if (d.KeyLength == DeletedIndexKeyLength) {
        TReadScope read(*this);
        try {
            while (!index->GetIndexKeyCount(this, DeletedIndexNo, keys)) {
            }
        } catch (const EZIZIVUEngineError& e) {
            if (e.ErrorCode() != ZIZIVU_PAGEBUFCORRUPT) throw;
            unreadable = true;
        }
        if (!unreadable && uint32_t(keys) == physical) return;
    }
    BeginWrite();
    TScopeGuard end([this] { EndWrite(); });
    index->SetNoPrimaryIndex(true);
    if (d.KeyLength != DeletedIndexKeyLength) {
        TIndexDescriptor fresh;
        fresh.Name = DeletedIndexName;
        fresh.KeyLength = DeletedIndexKeyLength;
        fresh.Unique = 1;
        index->SetIndexDescriptor(DeletedIndexNo, fresh);
    } else if (unreadable) {
        index->SetRootPageNo(DeletedIndexNo, 0);
    } else {
        FreeIndexPages(DeletedIndexNo);
    }
    const int32_t saved = FIndexNo;
    SetActiveIndexNumber(DeletedIndexNo);
    uint32_t active = 0;
    std::vector<uint8_t> image(size_t(std::max(FPhysicalRecordSize, RecordHeaderSize)));
    uint8_t key[DeletedIndexKeyLength];
    for (uint32_t n = 1; n <= physical; ++n) {
        FetchRecord(n, image.data());
        if (image[0] == 0) ++active;
        BuildDeletedKey(image[0] == 0 ? 0 : 1, bytes::GetU32(image.data() + 5), key);
        if (!index->InsertIndexKey(this, DeletedIndexNo, key, n)) Raise(ZIZIVU_PAGEBUFCORRUPT);
    }
    index->SetCounter3974(active);
    FTable->FlushBuffers(false, false, true, false, true);
    SetActiveIndexNumber(saved);
}

// Frees every page of an index's tree to its free chain; the index becomes empty.
void TDataCursor::FreeIndexPages(int32_t indexNo) {
    TIndexFile* index = IndexFile();
    // Every leaf lies as deep as the first one met: of the deleted-records index's leaves
    // only the headers are read, as a freed page keeps no entries.
    struct TPending {
        uint32_t Pos;
        int32_t Depth;
    };
    std::vector<TPending> pending;
    if (index->GetRootPageNo(indexNo)) pending.push_back({index->GetRootPageNo(indexNo), 0});
    std::vector<std::pair<uint32_t, bool>> all;  // position, read without its entries
    // A page read without its entries and not freed must not stay in the cache after a failure.
    TScopeGuard drop([index, indexNo, &all] {
        for (const auto& [pos, bare] : all)
            if (bare) index->DropCleanPage(indexNo, pos);
    });
    int32_t leafDepth = -1;
    while (!pending.empty()) {
        const TPending at = pending.back();
        pending.pop_back();
        if (all.size() > 1000000) Raise(ZIZIVU_PAGEBUFCORRUPT);
        const bool bare = indexNo == DeletedIndexNo && at.Depth == leafDepth;
        all.emplace_back(at.Pos, bare);
        TPageRef page(*index);
        if (!page.Get(this, indexNo, at.Pos, bare)) Raise(ZIZIVU_PAGEBUFCORRUPT);
        if (bare && !page->IsLeaf()) Raise(ZIZIVU_PAGEBUFCORRUPT);
        if (page->IsLeaf()) {
            if (leafDepth < 0) leafDepth = at.Depth;
            continue;
        }
        for (int32_t i = 1; i <= page->Count(); ++i) pending.push_back({page->EntryValue(i), at.Depth + 1});
    }
    for (const auto& [pos, bare] : all) {
        TPageRef page(*index);
        if (!page.Get(this, indexNo, pos, bare)) Raise(ZIZIVU_PAGEBUFCORRUPT);
        index->FreePage(this, page.get());
    }
    drop.Dismiss();
    index->SetRootPageNo(indexNo, 0);
}

// ---- Create and validate ------------------------------------------------------------------

void TDataCursor::ValidateTableDefinition(std::vector<TFieldDescriptor>& fields,
                                          std::vector<TIndexDescriptor>& indexes,
                                          const TCreateTableOptions& options) {
    if (options.Encrypted) {
        const std::string p = Trim(options.Password);
        if (p.empty() || p.size() > MaxPasswordLength) Raise(ZIZIVU_INVALIDPASSWORD);
    }
    if (options.Language != 0 && !IsLocaleInstalled(MakeLCID(options.Language, options.Sort)))
        Raise(ZIZIVU_LANGDRIVERMISSING);
    if (fields.size() > size_t(MaxFieldCount) || options.LastAutoInc < -1) Raise(ZIZIVU_FIELDLIMIT);
    if (indexes.size() > size_t(MaxIndexCount)) Raise(ZIZIVU_INDEXLIMIT);
    if (options.BlobBlockSize < MinBlobBlock) Raise(ZIZIVU_BLOBLIMIT);
    RunWithLanguageSettings(options.Language, options.Sort, [&] { ValidateFieldDefinitions(fields, true); });
    ValidateIndexDefinitions(options.PrimaryOptional, indexes, fields);
}

void TDataCursor::ValidateFieldDefinitions(std::vector<TFieldDescriptor>& fields, bool assignOffsets) {
    int32_t offset = RecordHeaderSize;
    for (size_t i = 0; i < fields.size(); ++i) {
        TFieldDescriptor& f = fields[i];
        std::string name = Trim(f.Name);
        if (name.empty() || !IsIdentStartChar(name[0]) || name.size() > size_t(MaxFieldNameLength))
            Raise(ZIZIVU_INVALIDFIELDNAME, name);
        f.Name = name;
        for (size_t j = 0; j < i; ++j)
            if (SameText(fields[j].Name, name)) Raise(ZIZIVU_INVALIDFIELDNAME, name);
        for (size_t j = 0; j < i; ++j)
            if (fields[j].FieldNo == f.FieldNo) Raise(ZIZIVU_INVALIDFIELDDEF, name);
        // Type 0, or one no stored form exists for: a table written with it opens nowhere.
        if (f.DataType == 0 || f.DataType > dtVarBytes) Raise(ZIZIVU_INVALIDFIELDDEF, name);
        if (f.DataType == dtString || f.DataType == dtBytes) {
            if (f.Size > 250) Raise(ZIZIVU_INVALIDFIELDDEF, name);
        } else {
            f.Size = 0;
        }
        for (const std::string* text : {&f.DefaultValue, &f.MinValue, &f.MaxValue})
            if (!text->empty() && !IsValidFieldValueStr(*text, f.DataType))
                Raise(ZIZIVU_INVALIDVALCHECK, name);
        if (f.DataType != dtBCD) f.Decimals = 0;
        SetFieldDataSize(f);
        if (!FComputedFields) f.Computed = 0;
        if (!assignOffsets) continue;
        if (f.IsAutoInc()) {
            f.Offset = AutoIncOffset;
        } else if (!f.Computed) {
            f.Offset = uint16_t(offset);
            offset += f.DataSize + 1;
        }
    }
}

void TDataCursor::ValidateIndexDefinitions(bool primaryOptional, std::vector<TIndexDescriptor>& indexes,
                                           const std::vector<TFieldDescriptor>& fields) {
    for (size_t i = 0; i < indexes.size(); ++i) {
        TIndexDescriptor& d = indexes[i];
        if (i == 0) {
            d.Name.clear();
            d.Unique = 1;
        } else {
            const std::string name = Trim(d.Name);
            if (name.empty() || !IsIdentStartChar(name[0])) Raise(ZIZIVU_INVALIDINDEXNAME, "", name);
            for (size_t j = 1; j < i; ++j)
                if (SameText(Trim(indexes[j].Name), name)) Raise(ZIZIVU_INDEXEXISTS, "", name);
            d.Name = name;
        }
        int32_t keyLength = 0;
        int32_t count = 0;
        for (; count < MaxIndexFields && d.FieldNumbers[count] != 0; ++count) {
            const uint16_t no = d.FieldNumbers[count];
            const TFieldDescriptor* f = nullptr;
            for (const TFieldDescriptor& c : fields)
                if (c.FieldNo == no) f = &c;
            if (!f) {
                if (i == 0 && primaryOptional) break;
                Raise(ZIZIVU_INVALIDINDEXFIELD, IntToStr(no), d.Name);
            }
            if (f->DataType == dtBlob) Raise(ZIZIVU_INVALIDINDEXTYPE, "", d.Name);
            keyLength += f->DataSize + 1;
        }
        for (int32_t k = count; k < MaxIndexFields; ++k) d.FieldNumbers[k] = 0;
        if (keyLength > MaxKeyFieldBytes || (keyLength == 0 && !(i == 0 && primaryOptional)))
            Raise(ZIZIVU_INVALIDKEYSIZE, "", d.Name);
        if (!d.Unique && keyLength > 0) keyLength += 4;
        d.FieldCount = uint8_t(count);
        d.KeyLength = uint16_t(keyLength);
        d.RootPage = 0;
        d.FreeHead = 0;
    }
}

void TDataCursor::CreateTable(std::vector<TFieldDescriptor> fields, std::vector<TIndexDescriptor> indexes,
                              const TCreateTableOptions& options) {
    CheckNotOpen();
    CheckExclusive();
    CheckNotReadOnly();
    TDataSession* session = FDirectory->Session();
    const bool addedPassword =
        options.Encrypted && session && !options.Password.empty() && !session->HasPassword(options.Password);
    if (addedPassword) session->AddPassword(options.Password);
    TScopeGuard forget([&] {
        if (addedPassword) session->RemovePassword(options.Password);
    });
    ValidateTableDefinition(fields, indexes, options);
    if (FDirectory->TableExists(FTableName, FInMemory) && !options.Overwrite) Raise(ZIZIVU_TABLEEXISTS);
    TTableDefinition def;
    def.Language = options.Language;
    def.Sort = options.Sort;
    def.Fields = fields;
    // No fields in the primary index: a table without primary index.
    if (!indexes.empty() && (indexes[0].FieldCount > 0 || indexes.size() > 1)) {
        def.Indexes = indexes;
        if (indexes[0].FieldCount == 0) def.Indexes[0].KeyLength = 0;
    }
    def.BlobBlockSize = options.BlobBlockSize;
    def.Description = options.Description;
    def.Password = Trim(options.Password);
    def.Encrypted = options.Encrypted;
    def.UserMajor = options.UserMajor;
    def.UserMinor = options.UserMinor;
    TDataTable* table = nullptr;
    // The files are not made temporary here: an in-memory temporary would vanish with
    // the close below; the open gives them their temporary wish.
    const int32_t r = FDirectory->CreateTable(FTableName, table, false, FInMemory, def);
    if (r < 0) Raise(uint16_t(-r));
    // A create that fails after its files were made takes them away again, also when the
    // close fails: a half-written table would stand in the way of the next create.
    bool closed = false;
    TScopeGuard discard([this, table, &closed] {
        TScopeGuard remove([this] { FDirectory->DeleteTable(FTableName, FInMemory); });
        if (!closed) FDirectory->CloseTable(table, false);
    });
    if (def.Indexes.empty() || def.Indexes[0].FieldCount == 0) table->IndexFile()->SetNoPrimaryIndex(true);
    if (options.LastAutoInc > 0) table->DataFile()->SetLastRowId(uint32_t(options.LastAutoInc));
    table->FlushBuffers(false, true, true, true, true);
    closed = true;
    const int32_t c = FDirectory->CloseTable(table, false);
    if (c < 0) Raise(uint16_t(-c));
    discard.Dismiss();
}

void TDataCursor::DeleteTable() {
    CheckNotOpen();
    const int32_t r = FDirectory->DeleteTable(FTableName, FInMemory);
    if (r < 0) Raise(uint16_t(-r));
}

void TDataCursor::RenameTable(const std::string& newName) {
    CheckNotOpen();
    const int32_t r = FDirectory->RenameTable(FTableName, newName, false, FInMemory);
    if (r < 0) Raise(uint16_t(-r));
}

void TDataCursor::RenameTableToBackup() {
    CheckNotOpen();
    const int32_t r = FDirectory->RenameTable(FTableName, FTableName, true, FInMemory);
    if (r < 0) Raise(uint16_t(-r));
}

void TDataCursor::EmptyTable() {
    CheckOpen();
    CheckExclusive();
    CheckNotReadOnly();
    FreeBlobBuffers(true);
    FTable->Empty();
    FDeletedKeysPending = false;
    SaveChangeCounts();
    ResetView();
    First();
}

void TDataCursor::BackupIndex() {
    CheckOpen();
    CheckExclusive();
    CheckNotReadOnly();
    FTable->BackupIndexFile();
}

void TDataCursor::RestoreIndex(bool keep) {
    CheckOpen();
    CheckExclusive();
    // keep: the index stays as it is now and the backup is only dropped.
    FTable->RestoreIndexFile(keep, true);
    FTable->DiscardBuffers();
    SaveChangeCounts();
    SetActiveIndexNumber(FIndexNo);
    ResetView();
    First();
}

// ---- Header access ------------------------------------------------------------------------

void TDataCursor::ReadClosedHeader(TDataFileHeader& header) {
    TFileHandler file;
    file.SetInMemory(FInMemory);
    file.SetFileName((FInMemory ? std::string() : FDirectory->Path()) + FTableName);
    file.Open();
    uint8_t image[DataFileHeaderSize];
    {
        TFileLockGuard guard(file);
        file.Seek(0, 0);
        file.Read(image, DataFileHeaderSize);
    }
    file.Close();
    header.ReadFrom(image);
    if (header.Encrypted) {
        for (std::string* s : {&header.Password, &header.Description})
            if (!s->empty()) Scramble(s->data(), int32_t(s->size()), TextSeed);
        AskForPassword(header.Password);
    }
}

std::unique_ptr<TIndexFile> TDataCursor::OpenClosedIndexFile() {
    TDataFileHeader header;
    ReadClosedHeader(header);
    auto file = std::make_unique<TIndexFile>(nullptr);
    file->SetInMemory(FInMemory);
    file->SetFileName((FInMemory ? std::string() : FDirectory->Path()) + ForceFileExt(FTableName, ".IDX"));
    file->SetEncrypted(header.Encrypted != 0);
    file->Open();
    return file;
}

void TDataCursor::GetTableHeader(TDataFileHeader& header) {
    if (FOpen) {
        header = DataFile()->Header();
        header.Password = DataFile()->GetPassword();
        header.Description = DataFile()->GetDescription();
        return;
    }
    ReadClosedHeader(header);
}

uint32_t TDataCursor::GetLastAutoIncValue() {
    TDataFileHeader h;
    GetTableHeader(h);
    return h.LastRowId;
}

void TDataCursor::SetLastAutoIncValue(uint32_t v) {
    CheckOpen();
    CheckNotReadOnly();
    BeginWrite();
    TScopeGuard end([this] { EndWrite(); });
    DataFile()->SetLastRowId(v);
    FlushAfterWrite();
}

uint32_t TDataCursor::NextBlobId() {
    CheckOpen();
    return DataFile()->NextBlobId();
}

int32_t TDataCursor::GetBlobBlockSize() {
    TDataFileHeader h;
    GetTableHeader(h);
    const int32_t size = int32_t(h.BlobBlockSize & 0xFFFF);
    return size ? size : DefaultBlobBlockSize;
}

int32_t TDataCursor::GetBlobBlockDataSize() {
    return GetBlobBlockSize() - BlockHeaderSize;
}

uint16_t TDataCursor::GetLanguageID() {
    if (FOpen) return FLanguage;
    TDataFileHeader h;
    GetTableHeader(h);
    return h.LanguageId;
}

uint16_t TDataCursor::GetSortOrderID() {
    if (FOpen) return FSort;
    TDataFileHeader h;
    GetTableHeader(h);
    return h.SortId;
}

uint16_t TDataCursor::GetUserVersionMajor() {
    TDataFileHeader h;
    GetTableHeader(h);
    return h.UserMajor;
}

uint16_t TDataCursor::GetUserVersionMinor() {
    TDataFileHeader h;
    GetTableHeader(h);
    return h.UserMinor;
}

std::string TDataCursor::GetTableDescription() {
    TDataFileHeader h;
    GetTableHeader(h);
    return h.Description;
}

bool TDataCursor::IsTableEncrypted() {
    TDataFileHeader h;
    GetTableHeader(h);
    return h.Encrypted != 0;
}

std::string TDataCursor::GetTablePassword() {
    TDataFileHeader h;
    GetTableHeader(h);
    return h.Encrypted ? h.Password : std::string();
}

void TDataCursor::SetTableInfo(const std::string& description, const std::string& password,
                               uint16_t userMajor, uint16_t userMinor) {
    CheckOpen();
    CheckNotReadOnly();
    BeginWrite();
    TScopeGuard end([this] { EndWrite(); });
    DataFile()->SetDescriptionAndPassword(password, description, userMinor, userMajor,
                                          DataFile()->GetLastRowId());
    FlushAfterWrite();
}

int32_t TDataCursor::GetIndexCount() {
    if (FOpen) return IndexFile()->GetIndexCount();
    return OpenClosedIndexFile()->GetIndexCount();
}

bool TDataCursor::GetNoPrimaryIndex() {
    if (FOpen) return IndexFile()->GetNoPrimaryIndex();
    return OpenClosedIndexFile()->GetNoPrimaryIndex();
}

void TDataCursor::SetNoPrimaryIndex(bool v) {
    CheckOpen();
    IndexFile()->SetNoPrimaryIndex(v);
}

void TDataCursor::SetIndexCount(int32_t n) {
    CheckOpen();
    IndexFile()->SetIndexCount(n);
}

std::string TDataCursor::GetIndexFields(int32_t n) {
    if (FOpen) return IndexFile()->GetIndexFields(n);
    return OpenClosedIndexFile()->GetIndexFields(n);
}

int32_t TDataCursor::GetRecordSize() {
    if (FOpen) return FRecordSize;
    TDataFileHeader h;
    GetTableHeader(h);
    return h.RecordSize;
}

int32_t TDataCursor::GetFieldCount() {
    if (FOpen) return FFieldCount;
    TDataFileHeader h;
    GetTableHeader(h);
    return h.FieldCount;
}

int32_t TDataCursor::GetBlobFieldCount() {
    TDataFileHeader h;
    GetTableHeader(h);
    return h.BlobFieldCount;
}

// ---- Definitions --------------------------------------------------------------------------

const TFieldDescriptor& TDataCursor::GetFieldDefinition(int32_t n) const {
    return GetFieldDefinitionChecked(n);
}

TFieldDescriptor TDataCursor::GetTableFieldDefinition(int32_t n) const {
    CheckOpen();
    if (n < 1 || n > DataFile()->GetFieldCount()) Raise(ZIZIVU_INVALIDFIELD, IntToStr(n));
    return DataFile()->GetFieldDescriptor(n - 1);
}

void TDataCursor::RaiseInvalidField(int32_t fieldNo) const {
    Raise(ZIZIVU_INVALIDFIELD, IntToStr(fieldNo));
}

const TFieldDescriptor* TDataCursor::GetFieldDefinitionByName(const std::string& name) const {
    const std::string wanted = Trim(name);
    for (const TFieldDescriptor& f : FFields)
        if (SameText(f.Name, wanted)) return &f;
    return nullptr;
}

void TDataCursor::SetFieldDefinition(int32_t n, const TFieldDescriptor& field) {
    CheckOpen();
    if (n < 1 || n > DataFile()->GetFieldCount()) Raise(ZIZIVU_INVALIDFIELD, IntToStr(n));
    DataFile()->SetFieldDescriptor(n - 1, field);
    DataFile()->MarkHeaderDirty();
    if (n <= FFieldCount) {
        FFields[size_t(n - 1)] = DataFile()->GetFieldDescriptor(n - 1);
        const TFieldDescriptor& f = FFields[size_t(n - 1)];
        if (f.Required || !f.MinValue.empty() || !f.MaxValue.empty()) FHasValidation = true;
        if (!f.DefaultValue.empty()) FHasDefaults = true;
    }
}

TIndexDescriptor TDataCursor::GetIndexDefinition(int32_t n) {
    CheckOpen();
    if (n == RecordNumberOrderIndex) return TIndexDescriptor();
    return IndexFile()->GetIndexDescriptor(n);
}

void TDataCursor::SetIndexDefinition(int32_t n, const TIndexDescriptor& index) {
    CheckOpen();
    IndexFile()->SetIndexDescriptor(n, index);
    if (n == FIndexNo) SetActiveIndexNumber(n);
}

void TDataCursor::SetIndexFieldInfo(int32_t n, const TIndexDescriptor& index) {
    CheckOpen();
    IndexFile()->SetIndexNameAndFields(n, index);
    if (n == FIndexNo) SetActiveIndexNumber(n);
}

bool TDataCursor::FieldDefinitionsDiffer(const TFieldDescriptor& a, const TFieldDescriptor& b) {
    return a.FieldNo != b.FieldNo || a.DataType != b.DataType || a.SubType != b.SubType ||
           a.DataSize != b.DataSize || a.Decimals != b.Decimals || a.Required != b.Required ||
           a.CharCase != b.CharCase || !SameText(a.DefaultValue, b.DefaultValue) ||
           !SameText(a.MinValue, b.MinValue) || !SameText(a.MaxValue, b.MaxValue);
}

void TDataCursor::PrepareTableDefinition(const std::vector<TFieldDescriptor>& fields,
                                         const std::vector<TExpToken*>& expressions) {
    CheckOpen();
    FFields = fields;
    FFieldCount = int32_t(fields.size());
    FExpressions.assign(size_t(FFieldCount), nullptr);
    FHasComputed = FHasValidation = FHasDefaults = FHasAutoInc = false;
    int32_t offset = FPhysicalRecordSize;
    for (int32_t i = 0; i < FFieldCount; ++i) {
        TFieldDescriptor& f = FFields[size_t(i)];
        if (f.DataSize == 0) SetFieldDataSize(f);
        if (size_t(i) < expressions.size()) FExpressions[size_t(i)] = expressions[size_t(i)];
        if (f.Computed) {
            FHasComputed = true;
            f.Offset = uint16_t(offset);
            offset += f.DataSize + 1;
        }
        if (f.IsAutoInc()) FHasAutoInc = true;
        if (f.Required || !f.MinValue.empty() || !f.MaxValue.empty()) FHasValidation = true;
        if (!f.DefaultValue.empty()) FHasDefaults = true;
    }
    FRecordSize = offset;
    FRecordBuffer.assign(size_t(std::max(FRecordSize, RecordHeaderSize)), 0);
    LoadCurrentRecord();
}

// ---- Caches, locks and change detection -------------------------------------------------

void TDataCursor::DiscardBuffers() {
    CheckOpen();
    FTable->DiscardBuffers();
}

void TDataCursor::FlushBuffers(bool commit) {
    CheckOpen();
    FTable->FlushBuffers(false, false, commit, false, false);
}

void TDataCursor::LockTableRead() {
    CheckOpen();
    if (FTable->LockExplicitRead() || TableChanged()) {
        ResetView();
        Reposition();
    }
}

void TDataCursor::UnlockTableRead() {
    CheckOpen();
    FTable->UnlockExplicitRead();
}

void TDataCursor::LockReadForOperation() {
    const bool held = FTable->HoldsReadLock();
    FTable->LockRead();
    FReadOwned = !held && FTable->HoldsReadLock();
}

void TDataCursor::UnlockReadForOperation() {
    FReadOwned = false;
    FTable->UnlockRead();
}

bool TDataCursor::LockForCacheMiss() {
    if (!FTable || FReadDepth == 0 || FTable->HoldsReadLock() || FTable->HoldsWriteLock()) return true;
    const bool changed = FTable->LockRead();
    FReadOwned = FTable->HoldsReadLock();
    return !changed;
}

void TDataCursor::BeginWrite() {
    CheckOpen();
    if (FWriteDepth++ > 0) return;
    // A failure leaves no write begun, and no write lock that this call took.
    bool took = false;
    TScopeGuard undo([this, &took] {
        FWriteDepth = 0;
        if (took) FTable->ReleaseWriteLock();
    });
    // A reader byte of this process lies inside the writer's range: the write lock takes
    // the place of the operation's read lock.
    if (FReadOwned && FTable->HoldsReadLock()) {
        FReadOwned = false;
        FTable->UnlockRead();
    }
    const bool held = FTable->HoldsWriteLock();
    const bool changed = FTable->LockForWrite();
    took = !held && FTable->HoldsWriteLock();
    if (changed || TableChanged()) {
        ResetView();
        Reposition();
    }
    undo.Dismiss();
}

void TDataCursor::EndWrite() {
    if (FWriteDepth <= 0) return;
    if (--FWriteDepth > 0) return;
    SaveChangeCounts();
    if (FTable) FTable->UnlockForWrite();
}

void TDataCursor::SaveChangeCounts() {
    if (!FTable) return;
    FChangeCounts[0] = DataFile()->GetChangeCount();
    FChangeCounts[1] = IndexFile()->GetChangeCount();
    FChangeCounts[2] = FTable->HasBlobFile() ? FTable->BlobFile()->GetChangeCount() : 0;
}

bool TDataCursor::TableChanged() {
    if (!FTable || (FExclusive && !FSharedExclusive) || FTable->Unchanging()) return false;
    const uint32_t now[3] = {DataFile()->GetChangeCount(), IndexFile()->GetChangeCount(),
                             FTable->HasBlobFile() ? FTable->BlobFile()->GetChangeCount() : 0};
    const bool changed = std::memcmp(now, FChangeCounts, sizeof now) != 0;
    std::memcpy(FChangeCounts, now, sizeof now);
    return changed;
}

void TDataCursor::FlushFillKeys() {
    if (FFillRecords.empty()) return;
    TCompareScope scope(*this, DeletedIndexNo, IndexFile()->IndexDescriptor(DeletedIndexNo));
    const bool done =
        IndexFile()->AppendIndexKeys(this, DeletedIndexNo, FFillKeys.data(), DeletedIndexKeyLength,
                                     FFillRecords.data(), int32_t(FFillRecords.size()));
    FFillKeys.clear();
    FFillRecords.clear();
    if (!done) Raise(ZIZIVU_PAGEBUFCORRUPT);
}

void TDataCursor::StartPrivateFill(bool keysRebuilt) {
    FPrivateFill = true;
    // Only a table without indexes is sorted, and its sort builds the index (SortRecords).
    const TIndexFile* index = IndexFile();
    if (keysRebuilt && index->GetIndexCount() == 0 && index->GetNoPrimaryIndex()) FDeletedKeysPending = true;
}

void TDataCursor::EndPrivateFill() {
    if (!FPrivateFill) return;
    FlushFillKeys();
    FPrivateFill = false;
    SaveChangeCounts();
    // The view comes from the deleted-records index: the sort that builds it builds the view.
    if (FDeletedKeysPending) return;
    ResetView();
    Reposition();
}

void TDataCursor::BuildPendingDeletedKeys() {
    if (FDeletedKeysPending) RebuildDeletedIndex(DataFile()->GetPhysicalRecordCount(), false);
}

void TDataCursor::CompleteDeletedKeys() {
    if (!FDeletedKeysPending) return;
    BuildPendingDeletedKeys();
    ResetView();
    Reposition();
}

void TDataCursor::DropPrivateFill() {
    FPrivateFill = false;
    FFillKeys.clear();
    FFillRecords.clear();
}

void TDataCursor::CheckChanges() {
    if (TableChanged())
        ResetView();
    else if (!FPositionStale)
        return;
    Reposition();
}

void TDataCursor::RefreshIfChanged() {
    CheckOpen();
    // With strict change detection the operation's read lock has run the table's change
    // check already; the counters tell either way.
    CheckChanges();
}

// The change check under the read lock, the view rebuilt and the cursor back on its record.
// A statement run again asks for the rebuild only when the change counters moved: while
// they stand, the view built last (kept up to date by this cursor's own writes and filter
// changes) is what a rebuild would give, and rebuilding costs passes over a bitmap of every
// record of the table.
void TDataCursor::Resync(bool onlyWhenChanged) {
    CheckOpen();
    const bool held = FTable->HoldsReadLock();
    FTable->LockRead();
    const bool owned = !held && FTable->HoldsReadLock();
    TScopeGuard unlock([this, owned] {
        if (owned) FTable->UnlockRead();
    });
    if (onlyWhenChanged) {
        // Compared here also for an exclusive table, which the cursors of this process share.
        uint32_t before[3];
        std::memcpy(before, FChangeCounts, sizeof before);
        SaveChangeCounts();
        if (std::memcmp(before, FChangeCounts, sizeof before) == 0) return;
    } else {
        TableChanged();
    }
    ResetView();
    Reposition();
}

void TDataCursor::AfterCachesDropped() {
    if (FRebuilding || !TableChanged()) return;
    ResetView();
    FPositionStale = true;
}

// Every change writes the headers too: their change counters are how other processes
// learn of it.
void TDataCursor::FlushAfterWrite() {
    const bool blob = FTable->HasBlobFile();
    FTable->FlushBuffers(false, true, false, blob, true);
}

// ---- TTableWriteBatch ------------------------------------------------------------------

TTableWriteBatch::TTableWriteBatch(TDataCursor& cursor, int32_t rowsPerCommit, bool keysRebuilt)
    : FRowsPerCommit(rowsPerCommit), FRollback([this] {
          if (FFillCursor) FFillCursor->DropPrivateFill();
          if (FTable) FTable->Rollback();
      }) {
    TDataTable* table = cursor.Table();
    if (!cursor.Exclusive() || !table || table->InTransaction()) return;
    // Outside a transaction only a private result table defers its row writes.
    const bool ownResult = table->DefersRowWrites();
    table->StartTransaction();
    FTable = table;
    // Nobody else can open a private result table and its one cursor reads no row
    // before the batch ends: its view is built once at the end instead of per row, and
    // its new records take no record locks.
    if (ownResult) {
        FFillCursor = &cursor;
        cursor.StartPrivateFill(keysRebuilt);
    }
}

void TTableWriteBatch::RowWritten() {
    if (!FTable || ++FRows % FRowsPerCommit != 0) return;
    if (FFillCursor) FFillCursor->FlushFillKeys();
    FTable->Commit(false, false);
}

bool TTableWriteBatch::Finish() {
    // Keys that fail to go in roll the batch back as a failed row does.
    if (FFillCursor) FFillCursor->FlushFillKeys();
    TDataTable* table = FTable;
    FTable = nullptr;
    TDataCursor* deferred = FFillCursor;
    FFillCursor = nullptr;
    FRollback.Dismiss();
    TScopeGuard resume([deferred] {
        if (deferred) deferred->DropPrivateFill();
    });
    if (table) table->Commit(true, false);
    if (!deferred) return false;
    deferred->EndPrivateFill();
    return true;
}
