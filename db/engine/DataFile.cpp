// The data file's header and field descriptors: layout, creation, the open check and
// header writes; and the key image of one field.
#include "db/engine/DataFile.h"

#include <cstring>

#include "db/engine/EngineErrors.h"
#include "db/engine/EngineFileSupport.h"
#include "db/storage/Encodings.h"
#include "db/storage/LanguageSettings.h"
#include "db/storage/LibraryMemory.h"
#include "platform/os/Locale.h"
#include "platform/rtl/ByteCodec.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/ScopeGuard.h"

namespace {

constexpr int32_t DescriptionLength = 50;
constexpr int32_t PasswordLength = 15;
constexpr int32_t ValueTextLength = 50;
constexpr int32_t MaxDeclaredSize = 250;
// Days between 30 December 1899 and 1 January of year 1, taken off the header's stamp.
constexpr double StampDayOffset = 693594.0;
// Smallest block that still carries data behind the 18-byte block header.
constexpr uint32_t MinBlobBlockSize = 19;

// A short string as long as its length byte claims, within the image.
std::string ReadRawShortString(const uint8_t* image, int32_t offset, int32_t imageSize) {
    int32_t n = image[offset];
    if (n > imageSize - offset - 1) n = imageSize - offset - 1;
    return std::string(reinterpret_cast<const char*>(image + offset + 1), size_t(n));
}

bool IsSizedType(uint8_t type) {
    return type == dtString || type == dtBytes || type == dtVarBytes;
}

}  // namespace

// ---- Layouts ----------------------------------------------------------------------------

void TDataFileHeader::ReadFrom(const uint8_t* image) {
    TByteReader r(image, DataFileHeaderSize);
    ChangeCount = r.U32();
    BlobBlockSize = r.U32();
    Version = r.U8();
    DeletedHead = r.U32();
    NextRecordNo = r.U32();
    LastRowId = r.U32();
    RecordSize = r.U16();
    FieldCount = r.U16();
    BlobFieldCount = r.U16();
    Stamp = r.F64();
    Description = r.ShortString(DescriptionLength);
    Encrypted = r.U8();
    Password = r.ShortString(PasswordLength);
    LanguageId = r.U16();
    SortId = r.U16();
    UserMajor = r.U16();
    UserMinor = r.U16();
    Modified = r.U8();
    LastBlobId = r.U32();
    EngineVersion = r.I64();
    Reserved124 = r.U16();
    Reserved126 = r.U8();
}

void TDataFileHeader::WriteTo(uint8_t* image) const {
    TByteWriter w(image, DataFileHeaderSize);
    w.U32(ChangeCount).U32(BlobBlockSize).U8(Version).U32(DeletedHead).U32(NextRecordNo).U32(LastRowId);
    w.U16(RecordSize).U16(FieldCount).U16(BlobFieldCount).F64(Stamp);
    w.ShortString(Description, DescriptionLength).U8(Encrypted).ShortString(Password, PasswordLength);
    w.U16(LanguageId).U16(SortId).U16(UserMajor).U16(UserMinor).U8(Modified).U32(LastBlobId);
    w.I64(EngineVersion).U16(Reserved124).U8(Reserved126);
}

void TFieldDescriptor::ReadFrom(const uint8_t* image) {
    TByteReader r(image, FieldDescriptorSize);
    FieldNo = r.U16();
    Name = ReadRawShortString(image, 2, FieldDescriptorSize);
    Description = ReadRawShortString(image, 33, FieldDescriptorSize);
    r.SetPos(84);
    DataType = r.U8();
    SubType = r.U8();
    Size = r.U8();
    Decimals = r.U8();
    DataSize = r.U8();
    DataDecimals = r.U8();
    Offset = r.U16();
    Required = r.U8();
    CharCase = r.U8();
    MinValue = ReadRawShortString(image, 94, FieldDescriptorSize);
    MaxValue = ReadRawShortString(image, 145, FieldDescriptorSize);
    DefaultValue = ReadRawShortString(image, 196, FieldDescriptorSize);
    r.SetPos(247);
    Computed = r.U8();
    r.Bytes(WorkArea, FieldWorkAreaSize);
}

void TFieldDescriptor::WriteTo(uint8_t* image) const {
    TByteWriter w(image, FieldDescriptorSize);
    w.U16(FieldNo).ShortString(Name, MaxFieldNameLength).ShortString(Description, DescriptionLength);
    w.U8(DataType).U8(SubType).U8(Size).U8(Decimals).U8(DataSize).U8(DataDecimals).U16(Offset);
    w.U8(Required).U8(CharCase);
    w.ShortString(MinValue, ValueTextLength).ShortString(MaxValue, ValueTextLength);
    w.ShortString(DefaultValue, ValueTextLength).U8(Computed).Bytes(WorkArea, FieldWorkAreaSize);
}

bool TFieldDescriptor::HasStorage() const {
    return !IsAutoInc() && !Computed;
}

void SetFieldDataSize(TFieldDescriptor& field) {
    switch (field.DataType) {
        case dtString:
            field.DataSize = uint8_t(field.Size + 1);
            break;
        case dtDate:
        case dtInteger:
        case dtTime:
        case dtLongWord:
            field.DataSize = 4;
            break;
        case dtBlob:
        case dtFloat:
        case dtBCD:
        case dtTimeStamp:
            field.DataSize = 8;
            break;
        case dtBoolean:
        case dtSmallInt:
        case dtWord:
            field.DataSize = 2;
            break;
        case dtExtended:
            field.DataSize = 10;
            break;
        default:
            field.DataSize = field.Size;
            break;
    }
    field.DataDecimals = field.Decimals;
}

void TRecordHeader::ReadFrom(const uint8_t* image) {
    TByteReader r(image, RecordHeaderSize);
    Status = r.U8();
    RecordNo = r.U32();
    RowId = r.U32();
}

void TRecordHeader::WriteTo(uint8_t* image) const {
    TByteWriter(image, RecordHeaderSize).U8(Status).U32(RecordNo).U32(RowId);
}

// ---- File life --------------------------------------------------------------------------

TDataFile::TDataFile(TTableFilesOwner* owner) : FOwner(owner) {
    SetBlockBufferSize(65535, 32767, FReadBuffer, FReadCapacity);
    SetBlockBufferSize(65535, 32767, FWriteBuffer, FWriteCapacity);
}

TDataFile::~TDataFile() {
    TDataFile::Close();
}

void TDataFile::Fail(uint16_t code) const {
    RaiseEngineError(code, FOwner ? FOwner->TableName() : FileName());
}

void TDataFile::Open() {
    if (IsOpen()) return;
    TFileHandler::Open();
    TScopeGuard close([this] {
        FFields.clear();
        TFileHandler::Close();
    });
    ReadHeader();
    if (FHeader.FieldCount > MaxFieldCount) Fail(ZIZIVU_HEADERCORRUPT);
    ReadFieldDescriptors();
    close.Dismiss();
    FCache.ResetCounters();
    SetCacheSizes();
}

void TDataFile::Close() {
    FFields.clear();
    ClearRecordCache();
    TFileHandler::Close();
}

void TDataFile::SetCacheSizes() {
    const int32_t size = FHeader.RecordSize;
    FReadAheadCount = size ? 65535 / size : 1;
    FCache.SetCapacity(size ? MinInt32(131070 / size, 8191) : 8191);
}

void TDataFile::InitStructure(uint16_t language, uint16_t sort, const TFieldDescriptor* fields,
                              int32_t fieldCount, uint16_t blobBlockSize, const std::string& description,
                              const std::string& password, bool encrypted, uint16_t userMinor,
                              uint16_t userMajor) {
    if (fieldCount < 0 || fieldCount > MaxFieldCount) Fail(ZIZIVU_FIELDLIMIT);
    ClearRecordCache();
    FHeader = TDataFileHeader();
    FRowIdsWithinLast = false;
    FHeader.LanguageId = language;
    FHeader.SortId = sort;
    FHeader.UserMinor = userMinor;
    FHeader.UserMajor = userMajor;
    FHeader.Encrypted = encrypted ? 1 : 0;
    if (encrypted) {
        FHeader.Password = ScrambledText(password.substr(0, PasswordLength));
        FHeader.Description = ScrambledText(description.substr(0, DescriptionLength));
    } else {
        FHeader.Description = description.substr(0, DescriptionLength);
    }
    FFields.assign(fields, fields + fieldCount);
    int32_t blobs = 0;
    int32_t offset = RecordHeaderSize;
    for (TFieldDescriptor& f : FFields) {
        SetFieldDataSize(f);
        if (f.DataType == dtBlob && ++blobs > MaxBlobFieldCount) Fail(ZIZIVU_BLOBLIMIT);
        if (f.IsAutoInc()) {
            f.Offset = AutoIncOffset;
        } else if (!f.Computed) {
            f.Offset = uint16_t(offset);
            offset += f.DataSize + 1;
            if (offset > MaxRecordSize) Fail(ZIZIVU_MAXRECSIZE);
        }
    }
    uint32_t blockSize = blobBlockSize ? blobBlockSize : DefaultBlobBlockSize;
    if (blobs > 0 && blockSize < MinBlobBlockSize) Fail(ZIZIVU_BLOBLIMIT);
    FHeader.FieldCount = uint16_t(fieldCount);
    FHeader.BlobFieldCount = uint16_t(blobs);
    FHeader.BlobBlockSize = blobs > 0 ? blockSize : 0;
    FHeader.Version = EngineFileVersion;
    FHeader.DeletedHead = 0;
    FHeader.NextRecordNo = 1;
    FHeader.LastRowId = 0;
    FHeader.RecordSize = uint16_t(offset);
    FHeader.ChangeCount = 0;
    FHeaderModified = true;
    FFieldsModified = true;
    SetCacheSizes();
}

void TDataFile::CheckHeader() {
    if (FHeader.Version != EngineFileVersion) Fail(ZIZIVU_BADVERSION);
    if (FHeader.LanguageId != 0 && !IsLocaleInstalled(MakeLCID(FHeader.LanguageId, FHeader.SortId)))
        Fail(ZIZIVU_LANGDRIVERMISSING);
    const int32_t count = FHeader.FieldCount;
    if (count > MaxFieldCount || int32_t(FFields.size()) != count) Fail(ZIZIVU_HEADERCORRUPT);
    bool corrupt = false;
    int32_t offset = RecordHeaderSize;
    int32_t blobs = 0;
    {
        TLanguageSettingsSwap swap(FHeader.LanguageId, FHeader.SortId);
        auto validText = [](const std::string& text, uint8_t type) {
            if (int32_t(text.size()) > ValueTextLength) return false;
            try {
                return IsValidFieldValueStr(text, type);
            } catch (const Exception&) {
                return false;
            }
        };
        for (int32_t i = 0; i < count && !corrupt; ++i) {
            TFieldDescriptor& f = FFields[i];
            SetFieldDataSize(f);
            const std::string name = Trim(f.Name);
            bool bad = name.empty() || int32_t(f.Name.size()) > MaxFieldNameLength;
            for (int32_t j = 0; j < i && !bad; ++j) {
                bad = SameText(Trim(FFields[j].Name), name) || FFields[j].FieldNo == f.FieldNo;
            }
            bad = bad || f.DataType == 0 || f.DataType > dtVarBytes;
            bad = bad || (IsSizedType(f.DataType) ? f.Size > MaxDeclaredSize : f.Size != 0);
            bad = bad || !validText(f.DefaultValue, f.DataType) || !validText(f.MinValue, f.DataType) ||
                  !validText(f.MaxValue, f.DataType);
            bad = bad || (f.Decimals != 0 && f.DataType != dtBCD);
            bad = bad || f.CharCase > fcLower;
            if (!bad) {
                if (f.IsAutoInc()) {
                    bad = f.Offset != AutoIncOffset;
                } else if (!f.Computed) {
                    bad = f.Offset != offset;
                    offset += f.DataSize + 1;
                }
            }
            bad = bad || f.FieldNo != i + 1;
            if (f.DataType == dtBlob) ++blobs;
            corrupt = bad;
        }
    }
    if (corrupt || FHeader.RecordSize != offset || FHeader.BlobFieldCount != blobs)
        Fail(ZIZIVU_HEADERCORRUPT);
    if (blobs > 0 && (FHeader.BlobBlockSize & 0xFFFF) != 0 &&
        (FHeader.BlobBlockSize & 0xFFFF) < MinBlobBlockSize)
        Fail(ZIZIVU_HEADERCORRUPT);
    CheckRecordCount();
}

void TDataFile::CheckRecordCount() {
    const int64_t length = GetSize();
    const int64_t dataStart = int64_t(DataFileHeaderSize) + int64_t(FieldDescriptorSize) * FHeader.FieldCount;
    const int32_t size = FHeader.RecordSize;
    if (size <= 0 || length < dataStart || (length - dataStart) % size != 0 ||
        (length - dataStart) / size + 1 != int64_t(FHeader.NextRecordNo))
        Fail(ZIZIVU_HEADERCORRUPT);
    if (FHeader.DeletedHead >= FHeader.NextRecordNo) Fail(ZIZIVU_HEADERCORRUPT);
}

void TDataFile::ReadHeader() {
    uint8_t image[DataFileHeaderSize];
    ReadAt(*this, 0, image, DataFileHeaderSize);
    const uint32_t last = FHeader.LastRowId, changes = FHeader.ChangeCount;
    FHeader.ReadFrom(image);
    // A header this file did not write last may come from another writer.
    if (FHeader.LastRowId != last || FHeader.ChangeCount != changes) FRowIdsWithinLast = false;
    FHeaderModified = false;
}

void TDataFile::WriteHeader(bool always, bool flush) {
    if (!always && !FHeaderModified) return;
    ++FHeader.ChangeCount;
    FHeader.EngineVersion = EngineVersionStamp;
    FHeader.Stamp = Now() - StampDayOffset;
    FHeader.Modified = FHeaderModified ? 1 : 0;
    uint8_t image[DataFileHeaderSize];
    FHeader.WriteTo(image);
    WriteAt(*this, 0, image, DataFileHeaderSize, FOwner->Journal());
    if (flush || FOwner->ForceBufferFlush()) Flush();
    FOwner->SetTableChanged();
    FHeaderModified = false;
}

void TDataFile::MarkHeaderDirty() {
    ++FHeader.ChangeCount;
    FHeaderModified = true;
    FOwner->SetTableChanged();
}

bool TDataFile::HeaderChanged() {
    // The counter (bytes 0..3) alone answers the common case of no change.
    uint8_t counter[4];
    ReadAt(*this, 0, counter, 4);
    if (bytes::GetU32(counter) == FHeader.ChangeCount) return false;
    uint8_t image[DataFileHeaderSize];
    ReadAt(*this, 0, image, DataFileHeaderSize);
    if (bytes::GetU32(image) == FHeader.ChangeCount) return false;
    FRowIdsWithinLast = false;
    const TDataFileHeader held = FHeader;
    FHeader.ReadFrom(image);
    {
        TScopeGuard refuse([&] { FHeader = held; });
        // The table's shape changes only while no one else has it open.
        if (FHeader.Version != held.Version || FHeader.RecordSize != held.RecordSize ||
            FHeader.FieldCount != held.FieldCount || FHeader.BlobFieldCount != held.BlobFieldCount ||
            (FHeader.BlobBlockSize & 0xFFFF) != (held.BlobBlockSize & 0xFFFF) ||
            FHeader.Encrypted != held.Encrypted || FHeader.LanguageId != held.LanguageId ||
            FHeader.SortId != held.SortId)
            Fail(ZIZIVU_HEADERCORRUPT);
        CheckRecordCount();
        refuse.Dismiss();
    }
    FHeaderModified = false;
    return true;
}

void TDataFile::GetHeader(uint8_t* image) const {
    FHeader.WriteTo(image);
}

void TDataFile::Empty() {
    ClearRecordCache();
    WriteAt(*this, int32_t(DataFileHeaderSize + FieldDescriptorSize * int32_t(FFields.size())),
            FWriteBuffer.get(), 0, FOwner->Journal());
    if (FOwner->ForceBufferFlush()) Flush();
    FHeader.ChangeCount = 0;
    FHeader.DeletedHead = 0;
    FHeader.NextRecordNo = 1;
    FHeader.LastRowId = 0;
    FHeaderModified = true;
    FRowIdsWithinLast = true;
    FOwner->SetTableChanged();
}

// ---- Descriptors ------------------------------------------------------------------------

void TDataFile::ReadFieldDescriptors() {
    const int32_t count = FHeader.FieldCount;
    std::vector<uint8_t> images(size_t(count) * FieldDescriptorSize);
    if (count > 0) ReadAt(*this, DataFileHeaderSize, images.data(), int32_t(images.size()));
    FFields.assign(size_t(count), TFieldDescriptor());
    for (int32_t i = 0; i < count; ++i) {
        uint8_t* image = images.data() + size_t(i) * FieldDescriptorSize;
        if (IsEncrypted()) Scramble(image, FieldDescriptorSize, RecordSeed);
        FFields[i].ReadFrom(image);
    }
    FFieldsModified = false;
}

void TDataFile::WriteFieldDescriptors() {
    if (!FFieldsModified) return;
    std::vector<uint8_t> images(FFields.size() * FieldDescriptorSize);
    for (size_t i = 0; i < FFields.size(); ++i) {
        uint8_t* image = images.data() + i * FieldDescriptorSize;
        FFields[i].WriteTo(image);
        if (IsEncrypted()) Scramble(image, FieldDescriptorSize, RecordSeed);
    }
    if (!images.empty())
        WriteAt(*this, DataFileHeaderSize, images.data(), int32_t(images.size()), FOwner->Journal());
    if (FOwner->ForceBufferFlush()) Flush();
    FOwner->SetTableChanged();
    FFieldsModified = false;
}

bool TDataFile::FindFieldDescriptor(uint16_t fieldNo, TFieldDescriptor& field) const {
    for (const TFieldDescriptor& f : FFields) {
        if (f.FieldNo == fieldNo) {
            field = f;
            return true;
        }
    }
    return false;
}

int32_t TDataFile::FindFieldDescriptorByName(const std::string& name) const {
    for (size_t i = 0; i < FFields.size(); ++i) {
        if (SameText(FFields[i].Name, name)) return int32_t(i);
    }
    return -1;
}

void TDataFile::SetFieldDescriptor(int32_t i, const TFieldDescriptor& field) {
    TFieldDescriptor& f = FFields[i];
    f.FieldNo = field.FieldNo;
    f.Name = field.Name;
    f.SubType = field.SubType;
    f.Description = field.Description;
    f.Required = field.Required;
    f.CharCase = field.CharCase;
    f.MinValue = field.MinValue;
    f.MaxValue = field.MaxValue;
    f.DefaultValue = field.DefaultValue;
    FFieldsModified = true;
}

// ---- Header values ----------------------------------------------------------------------

int32_t TDataFile::GetBlobBlockSize() const {
    const int32_t size = int32_t(FHeader.BlobBlockSize & 0xFFFF);
    return size ? size : DefaultBlobBlockSize;
}

std::string TDataFile::ScrambledText(const std::string& text) const {
    std::string s = text;
    if (!s.empty()) Scramble(s.data(), int32_t(s.size()), TextSeed);
    return s;
}

std::string TDataFile::GetDescription() const {
    return IsEncrypted() ? ScrambledText(FHeader.Description) : FHeader.Description;
}

std::string TDataFile::GetPassword() const {
    return IsEncrypted() ? ScrambledText(FHeader.Password) : "";
}

void TDataFile::SetDescriptionAndPassword(const std::string& password, const std::string& description,
                                          uint16_t userMinor, uint16_t userMajor, uint32_t lastRowId) {
    const std::string d = description.substr(0, DescriptionLength);
    const std::string p = password.substr(0, PasswordLength);
    FHeader.Description = IsEncrypted() ? ScrambledText(d) : d;
    FHeader.Password = IsEncrypted() ? ScrambledText(p) : p;
    FHeader.UserMinor = userMinor;
    FHeader.UserMajor = userMajor;
    if (lastRowId < FHeader.LastRowId) FRowIdsWithinLast = false;
    FHeader.LastRowId = lastRowId;
    MarkHeaderDirty();
}

void TDataFile::SetLastRowId(uint32_t value) {
    if (value < FHeader.LastRowId) FRowIdsWithinLast = false;
    FHeader.LastRowId = value;
    MarkHeaderDirty();
}

uint32_t TDataFile::NextRowId() {
    if (FHeader.LastRowId >= MaxRowId) {
        FHeader.LastRowId = 0;
        FRowIdsWithinLast = false;
    }
    ++FHeader.LastRowId;
    MarkHeaderDirty();
    return FHeader.LastRowId;
}

uint32_t TDataFile::NextBlobId() {
    if (FHeader.LastBlobId >= MaxRowId) FHeader.LastBlobId = 0;
    ++FHeader.LastBlobId;
    MarkHeaderDirty();
    return FHeader.LastBlobId;
}

// ---- Keys -------------------------------------------------------------------------------

void FieldToKey(const TFieldDescriptor& field, const uint8_t* value, uint8_t* key, bool caseInsensitive,
                bool descending, uint16_t language, uint16_t sort) {
    uint8_t* out = key + 1;
    const int32_t size = field.DataSize;
    switch (field.DataType) {
        case dtString: {
            // Copied up to the terminator, never beyond the stored size.
            std::memset(out, 0, size_t(size));
            int32_t n = 0;
            while (n < size - 1 && value[n] != 0) ++n;
            std::memcpy(out, value, size_t(n));
            if (caseInsensitive && n > 0) {
                std::string text(reinterpret_cast<const char*>(value), size_t(n));
                UpperCaseLocale(language, sort, text.c_str(), text.data());
                std::memcpy(out, text.data(), size_t(n));
            }
            break;
        }
        case dtDate:
        case dtInteger:
        case dtTime:
            EncodeIntegerKey(bytes::GetI32(value), out);
            break;
        case dtBoolean:
        case dtWord:
            EncodeWordKey(bytes::GetU16(value), out);
            break;
        case dtSmallInt:
            EncodeSmallIntKey(bytes::GetI16(value), out);
            break;
        case dtFloat:
        case dtTimeStamp:
            EncodeFloatKey(bytes::GetF64(value), out);
            break;
        case dtBCD:
            EncodeInt64Key(bytes::GetI64(value), out);
            break;
        default:
            std::memcpy(out, value, size_t(size));
            break;
    }
    if (language == 0 && descending) {
        InvertKeyBytes(key, field.DataType == dtString ? size : size + 1);
    }
}

int CompareEntryNumber(uint32_t number, const TCacheEntry* entry) {
    return number < entry->Number ? -1 : number > entry->Number ? 1 : 0;
}

int CompareEntries(const TCacheEntry* a, const TCacheEntry* b) {
    return CompareEntryNumber(a->Number, b);
}
