// The physical sort of a data file's records: the sort key, its comparison, the sort of a
// wholly cached table in memory and the sort by runs in scratch files merged back into the
// data file, with duplicates dropped or groups folded on the way out.
#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "db/engine/DataFile.h"
#include "db/engine/EngineErrors.h"
#include "db/engine/EngineFileSupport.h"
#include "db/storage/Encodings.h"
#include "db/storage/LanguageSettings.h"
#include "platform/rtl/ByteCodec.h"
#include "platform/rtl/ScopeGuard.h"

namespace {

constexpr const char* ScratchExtension = ".TMP";
constexpr int32_t RowIdKeySize = 4;
constexpr int32_t MaxDeclaredSize = 250;
// Up to this many runs the scratch files stay open from their writing to the end of the
// merge; beyond it each slice opens its file for its read, so that a large table cannot run
// the process out of file handles.
constexpr uint32_t MaxOpenRuns = 128;
// The value a blank field contributes: zero bytes of any stored size.
const uint8_t BlankValue[256] = {};

int32_t Sign(int c) {
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

// The scratch files of one sort, deleted when the sort ends however it ends.
class TScratchFiles {
public:
    explicit TScratchFiles(bool inMemory) : FInMemory(inMemory) {}
    TScratchFiles(const TScratchFiles&) = delete;
    TScratchFiles& operator=(const TScratchFiles&) = delete;
    ~TScratchFiles() {
        for (const std::string& name : FNames) GlobalFileList()->DeleteFile(name, FInMemory);
    }
    void Add(const std::string& name) { FNames.push_back(name); }

private:
    bool FInMemory;
    std::vector<std::string> FNames;
};

// One sorted run in its scratch file, read back in slices during the merge.
struct TSortRun {
    std::string Name;
    std::unique_ptr<TFileHandler> File;  // open while the merge runs, when the runs are few
    uint32_t Count = 0;                  // records in the file
    uint32_t Next = 0;                   // the first record not yet read
    std::vector<uint8_t> Images;
    std::vector<uint8_t> Keys;
    // Per record of the file, when duplicates are dropped: whether its key differs from the
    // record's before it in the run.
    std::vector<bool> Distinct;
    int32_t Loaded = 0;
    int32_t Current = 0;
};

// A record of a run by the first bytes of its sort key.
struct TPrefixed {
    uint64_t Prefix;
    int32_t Index;
};

// Up to the first eight bytes of a key as a big-endian number (zeros past a shorter key).
uint64_t KeyPrefix(const uint8_t* key, int32_t length) {
    if constexpr (std::endian::native == std::endian::little) {
        if (length >= 8) {
            uint64_t word;
            std::memcpy(&word, key, 8);
            return __builtin_bswap64(word);
        }
    }
    uint64_t prefix = 0;
    for (int32_t i = 0; i < 8; ++i) prefix = (prefix << 8) | (i < length ? key[i] : 0);
    return prefix;
}

void Unscramble(TDataFile& file, uint8_t* images, int32_t count) {
    if (!file.IsEncrypted()) return;
    const int32_t size = file.GetRecordSize();
    for (int32_t i = 0; i < count; ++i) Scramble(images + size_t(i) * size_t(size), size, RecordSeed);
}

// Whole records at a file position, in the file's form; a span past the 32-bit file
// offsets is a broken cache state.
void ReadRecordsAt(TFileHandler& file, int64_t position, uint8_t* buffer, int64_t bytes) {
    if (position + bytes > INT32_MAX) RaiseEngineError(ZIZIVU_RECBUFCORRUPT, file.FileName());
    ReadAt(file, int32_t(position), buffer, int32_t(bytes));
}

void WriteRecordsAt(TFileHandler& file, int64_t position, const uint8_t* buffer, int64_t bytes) {
    if (position + bytes > INT32_MAX) RaiseEngineError(ZIZIVU_RECBUFCORRUPT, file.FileName());
    WriteAt(file, int32_t(position), buffer, int32_t(bytes));
}

}  // namespace

// Where sorted records go: renumbered from 1 into a buffer that is written to the data file
// from the first record position whenever it is full and at the end. Records whose keys
// equal the last one output are dropped, or folded into their group's head, which is held
// back until its group is complete.
class TSortOutput {
public:
    TSortOutput(TDataFile& file, bool dropDuplicates, const TSortGroupSteps* group, int32_t bufferRecords)
        : FFile(file),
          FSize(file.GetRecordSize()),
          FDropDuplicates(dropDuplicates),
          FGroup(group),
          FCapacity(bufferRecords),
          FBuffer(size_t(bufferRecords) * size_t(FSize)),
          FLastKey(size_t(file.SortKeyLength())),
          FHead(size_t(FSize)) {}

    void Put(const uint8_t* image, const uint8_t* key) {
        const bool same = FHasLast && FFile.CompareSortKeys(key, FLastKey.data(), false) == 0;
        if (FGroup) {
            if (same) {
                if (FGroup->Accumulate) FGroup->Accumulate(FHead.data(), image, false);
                return;
            }
            if (FHasLast) CloseGroup();
            std::memcpy(FHead.data(), image, size_t(FSize));
            std::memcpy(FLastKey.data(), key, FLastKey.size());
            FHasLast = true;
            if (FGroup->Accumulate) FGroup->Accumulate(FHead.data(), FHead.data(), true);
            return;
        }
        if (FDropDuplicates) {
            if (same) return;
            std::memcpy(FLastKey.data(), key, FLastKey.size());
            FHasLast = true;
        }
        Emit(image);
    }

    // Completes the last group and writes what is buffered; the number of records output.
    uint32_t Finish() {
        if (FGroup && FHasLast) CloseGroup();
        WriteBuffer();
        return FCount;
    }

    // Whether any record reached the data file.
    bool Written() const { return FWritten > 0; }
    // Whether a record whose key equals the one before it is left out.
    bool DropsDuplicates() const { return FDropDuplicates && !FGroup; }

private:
    void CloseGroup() {
        FHasLast = false;
        if (FGroup->Finish) FGroup->Finish(FHead.data());
        if (!FGroup->Keep || FGroup->Keep(FHead.data())) Emit(FHead.data());
    }

    void Emit(const uint8_t* image) {
        uint8_t* slot = FBuffer.data() + size_t(FBuffered) * size_t(FSize);
        std::memcpy(slot, image, size_t(FSize));
        slot[0] = 0;
        bytes::PutU32(slot + 1, ++FCount);
        if (++FBuffered == FCapacity) WriteBuffer();
    }

    void WriteBuffer() {
        if (FBuffered == 0) return;
        if (FFile.IsEncrypted()) {
            for (int32_t i = 0; i < FBuffered; ++i)
                Scramble(FBuffer.data() + size_t(i) * size_t(FSize), FSize, RecordSeed);
        }
        WriteRecordsAt(FFile, FFile.RecordPosition(FWritten + 1), FBuffer.data(), int64_t(FBuffered) * FSize);
        if (FFile.Owner()->ForceBufferFlush()) FFile.Flush();
        FFile.Owner()->SetTableChanged();
        FWritten += uint32_t(FBuffered);
        FBuffered = 0;
    }

    TDataFile& FFile;
    const int32_t FSize;
    const bool FDropDuplicates;
    const TSortGroupSteps* FGroup;
    const int32_t FCapacity;
    std::vector<uint8_t> FBuffer;
    int32_t FBuffered = 0;
    uint32_t FWritten = 0;
    uint32_t FCount = 0;
    // The key of the last record output, or of the pending group's head.
    std::vector<uint8_t> FLastKey;
    bool FHasLast = false;
    std::vector<uint8_t> FHead;
};

// ---- Keys -------------------------------------------------------------------------------

int32_t TDataFile::SetSortFields(int32_t sortFieldCount, const TFieldDescriptor* sortFields,
                                 bool caseInsensitive) {
    if (sortFieldCount < 0 || sortFieldCount > MaxFieldCount || (sortFieldCount > 0 && !sortFields))
        Fail(ZIZIVU_INVALIDFIELD);
    std::vector<TFieldDescriptor> fields(sortFields, sortFields + sortFieldCount);
    int32_t length = RowIdKeySize;
    for (TFieldDescriptor& f : fields) {
        // The stored size follows from the type, so that no key image reads past the field.
        bool bad = f.DataType == 0 || f.DataType > dtVarBytes;
        bad = bad || ((f.DataType == dtString || f.DataType == dtBytes || f.DataType == dtVarBytes) &&
                      f.Size > MaxDeclaredSize);
        SetFieldDataSize(f);
        if (!bad && f.HasStorage())
            bad = f.Offset < RecordHeaderSize || int32_t(f.Offset) + 1 + f.DataSize > FHeader.RecordSize;
        if (bad) Fail(ZIZIVU_INVALIDFIELD);
        length += f.DataSize + 1;
    }
    FSortFields = std::move(fields);
    FSortCaseInsensitive = caseInsensitive;
    FSortKeyLength = length;
    return length;
}

void TDataFile::BuildSortKey(const uint8_t* record, uint8_t* key) const {
    uint8_t* segment = key;
    for (const TFieldDescriptor& f : FSortFields) {
        const uint8_t* value = BlankValue;
        segment[0] = 0;
        if (f.IsAutoInc()) {
            value = record + AutoIncOffset;
            segment[0] = 1;
        } else if (!f.Computed && record[f.Offset] != 0) {
            value = record + f.Offset + 1;
            segment[0] = 1;
        }
        FieldToKey(f, value, segment, FSortCaseInsensitive, f.WorkArea[SortDescendingByte] != 0,
                   FHeader.LanguageId, FHeader.SortId);
        segment += f.DataSize + 1;
    }
    EncodeIntegerKey(bytes::GetI32(record + 5), segment);
}

int32_t TDataFile::CompareSortKeys(const uint8_t* a, const uint8_t* b, bool withRowId) const {
    const int32_t fieldsLength = FSortKeyLength - RowIdKeySize;
    const uint16_t language = FHeader.LanguageId;
    if (language == 0) {
        // Descending segments are stored inverted: plain byte order serves every segment.
        const int c = std::memcmp(a, b, size_t(fieldsLength));
        if (c != 0) return Sign(c);
    } else {
        int32_t at = 0;
        for (const TFieldDescriptor& f : FSortFields) {
            const bool descending = f.WorkArea[SortDescendingByte] != 0;
            int c;
            if (f.DataType == dtString) {
                c = CompareBuffers(a + at, b + at, 1, descending);
                if (c == 0 && a[at] != 0) {
                    // Key strings are zero-terminated within their segment; a locale
                    // comparison leaves them as they are.
                    c = CompareStrLocale(language, FHeader.SortId,
                                         const_cast<char*>(reinterpret_cast<const char*>(a + at + 1)),
                                         FSortCaseInsensitive, 0,
                                         const_cast<char*>(reinterpret_cast<const char*>(b + at + 1)));
                    if (descending) c = -c;
                }
            } else {
                c = CompareBuffers(a + at, b + at, f.DataSize + 1, descending);
            }
            if (c != 0) return Sign(c);
            at += f.DataSize + 1;
        }
    }
    if (!withRowId) return 0;
    return Sign(std::memcmp(a + fieldsLength, b + fieldsLength, RowIdKeySize));
}

// ---- Sort -------------------------------------------------------------------------------

uint32_t TDataFile::SortRecords(int32_t sortFieldCount, const TFieldDescriptor* sortFields,
                                bool caseInsensitive, bool dropDuplicates,
                                const TSortGroupSteps* groupSteps) {
    const int32_t size = FHeader.RecordSize;
    if (size < RecordHeaderSize) Fail(ZIZIVU_HEADERCORRUPT);
    SetSortFields(sortFieldCount, sortFields, caseInsensitive);
    const uint32_t total = GetPhysicalRecordCount();
    if (total == 0) return 0;
    const int32_t runRecords = MinInt32(SortRunBytes / size, SortRunRecords);
    TSortOutput output(*this, dropDuplicates, groupSteps, runRecords);
    const uint32_t count =
        FCache.Count() == int32_t(total) ? SortCachedRecords(output) : SortByRuns(output, runRecords);
    EndSort(count);
    return count;
}

void TDataFile::EndSort(uint32_t count) {
    if (count < GetPhysicalRecordCount()) {
        // Left-out duplicates, refused groups and deleted records leave the file.
        {
            TFileLockGuard guard(*this);
            Seek(int32_t(RecordPosition(count + 1)), 0);
            Write(nullptr, 0);
        }
        if (FOwner->ForceBufferFlush()) Flush();
    }
    FHeader.NextRecordNo = count + 1;
    FHeader.DeletedHead = 0;
    MarkHeaderDirty();
}

uint32_t TDataFile::SortCachedRecords(TSortOutput& output) {
    std::vector<TRecord*> records;
    records.reserve(size_t(FCache.Count()));
    for (int32_t i = 0; i < FCache.Count(); ++i) {
        TRecord* r = FCache.At(i);
        if (r->GetStatus() != 0) continue;
        r->SetExtraSize(FSortKeyLength);
        BuildSortKey(r->GetBuffer(), r->GetExtraBuffer());
        records.push_back(r);
    }
    std::sort(records.begin(), records.end(), [this](TRecord* a, TRecord* b) {
        return CompareSortKeys(a->GetExtraBuffer(), b->GetExtraBuffer(), true) < 0;
    });
    // The cache still holds every record as it was: once part of the file was overwritten,
    // writing the cache back restores the table.
    TScopeGuard restore([this, &output] {
        if (output.Written())
            for (int32_t i = 0; i < FCache.Count(); ++i) FCache.At(i)->SetModified(true);
    });
    for (TRecord* r : records) output.Put(r->GetBuffer(), r->GetExtraBuffer());
    const uint32_t count = output.Finish();
    restore.Dismiss();
    ClearRecordCache();
    return count;
}

uint32_t TDataFile::SortByRuns(TSortOutput& output, int32_t runRecords) {
    FlushRecords(false);
    ClearRecordCache();
    const int32_t size = FHeader.RecordSize;
    const int32_t keyLength = FSortKeyLength;
    const uint32_t total = GetPhysicalRecordCount();
    const bool inMemory = FOwner->InMemory();
    const std::string directory = FOwner->PrivateDirectory();
    TScratchFiles scratch(inMemory);
    // Declared after the scratch files: the runs' open files close before they are deleted.
    std::vector<TSortRun> runs;
    const bool keepOpen = (total - 1) / uint32_t(runRecords) + 1 <= MaxOpenRuns;
    // The runs' names are kept until the end: each search goes on after the last one taken.
    uint32_t nameCounter = 0;
    {
        std::vector<uint8_t> images(size_t(runRecords) * size_t(size));
        std::vector<uint8_t> sorted(images.size());
        std::vector<uint8_t> keys(size_t(runRecords) * size_t(keyLength));
        std::vector<int32_t> order;
        order.reserve(size_t(runRecords));
        std::vector<TPrefixed> prefixed;
        prefixed.reserve(size_t(runRecords));
        for (uint32_t first = 1; first <= total; first += uint32_t(runRecords)) {
            const int32_t n = int32_t(MinOf<uint32_t>(uint32_t(runRecords), total - first + 1));
            ReadRecordsAt(*this, RecordPosition(first), images.data(), int64_t(n) * size);
            Unscramble(*this, images.data(), n);
            order.clear();
            for (int32_t i = 0; i < n; ++i) {
                const uint8_t* image = images.data() + size_t(i) * size_t(size);
                if (image[0] != 0) continue;
                BuildSortKey(image, keys.data() + size_t(i) * size_t(keyLength));
                order.push_back(i);
            }
            if (order.empty()) continue;
            auto key = [&](int32_t i) { return keys.data() + size_t(i) * size_t(keyLength); };
            auto before = [&](int32_t a, int32_t b) { return CompareSortKeys(key(a), key(b), true) < 0; };
            // Records in key order already (a result table filled in that order) need no sort.
            if (!std::is_sorted(order.begin(), order.end(), before)) {
                if (FHeader.LanguageId == 0) {
                    // Without a language the keys compare byte by byte, row id last: their
                    // first eight bytes as one number order them as far as they differ.
                    prefixed.clear();
                    for (int32_t i : order) prefixed.push_back({KeyPrefix(key(i), keyLength), i});
                    std::sort(prefixed.begin(), prefixed.end(), [&](const TPrefixed& a, const TPrefixed& b) {
                        if (a.Prefix != b.Prefix) return a.Prefix < b.Prefix;
                        return before(a.Index, b.Index);
                    });
                    for (size_t i = 0; i < prefixed.size(); ++i) order[i] = prefixed[i].Index;
                } else {
                    std::sort(order.begin(), order.end(), before);
                }
            }
            for (size_t i = 0; i < order.size(); ++i) {
                uint8_t* image = sorted.data() + i * size_t(size);
                std::memcpy(image, images.data() + size_t(order[i]) * size_t(size), size_t(size));
                if (IsEncrypted()) Scramble(image, size, RecordSeed);
            }
            TSortRun run;
            const int32_t code =
                MakeUniqueFileName(directory, ScratchExtension, inMemory, run.Name, nameCounter);
            if (code < 0) RaiseEngineError(uint16_t(-code), directory);
            scratch.Add(run.Name);
            run.Count = uint32_t(order.size());
            if (output.DropsDuplicates()) {
                run.Distinct.resize(order.size());
                run.Distinct[0] = true;
                for (size_t i = 1; i < order.size(); ++i)
                    run.Distinct[i] = CompareSortKeys(key(order[i - 1]), key(order[i]), false) != 0;
            }
            auto file = std::make_unique<TFileHandler>();
            file->SetFileName(run.Name);
            file->SetInMemory(inMemory);
            file->CreateFile();
            WriteRecordsAt(*file, 0, sorted.data(), int64_t(run.Count) * size);
            if (keepOpen)
                run.File = std::move(file);
            else
                file->Close();
            runs.push_back(std::move(run));
        }
    }
    if (runs.empty()) return output.Finish();

    // Each run is read back in slices; together they take at most the bytes of a run of
    // the largest size (a run of small records is cut by its record count: with the slices
    // sized by it, a table of many runs read a few records per read).
    const int32_t slice = MaxInt32(1, MaxInt32(runRecords, SortRunBytes / size) / int32_t(runs.size()));
    auto refill = [&](TSortRun& run) {
        const int32_t n = int32_t(MinOf<uint32_t>(uint32_t(slice), run.Count - run.Next));
        run.Images.resize(size_t(n) * size_t(size));
        run.Keys.resize(size_t(n) * size_t(keyLength));
        if (run.File) {
            ReadRecordsAt(*run.File, int64_t(run.Next) * size, run.Images.data(), int64_t(n) * size);
        } else {
            TFileHandler file;
            file.SetFileName(run.Name);
            file.SetInMemory(inMemory);
            file.Open();
            ReadRecordsAt(file, int64_t(run.Next) * size, run.Images.data(), int64_t(n) * size);
            file.Close();
        }
        Unscramble(*this, run.Images.data(), n);
        for (int32_t i = 0; i < n; ++i)
            BuildSortKey(run.Images.data() + size_t(i) * size_t(size),
                         run.Keys.data() + size_t(i) * size_t(keyLength));
        run.Next += uint32_t(n);
        run.Loaded = n;
        run.Current = 0;
    };
    auto headKey = [&](int32_t r) {
        return runs[size_t(r)].Keys.data() + size_t(runs[size_t(r)].Current) * size_t(keyLength);
    };
    // A heap of runs by their head records, the smallest on top.
    const bool bytewise = FHeader.LanguageId == 0;
    auto later = [&](int32_t a, int32_t b) {
        const uint8_t* ka = headKey(a);
        const uint8_t* kb = headKey(b);
        if (bytewise) {
            const uint64_t pa = KeyPrefix(ka, keyLength), pb = KeyPrefix(kb, keyLength);
            if (pa != pb) return pa > pb;
        }
        return CompareSortKeys(ka, kb, true) > 0;
    };
    // The next record of a run; false when it has none. When duplicates are dropped, a record
    // whose key equals the one before it in its run is passed over (and not read): the merge
    // brings it right after that one, whose key it would be dropped against.
    auto advance = [&](TSortRun& run, bool skip) {
        for (;;) {
            if (++run.Current == run.Loaded) {
                if (skip)
                    while (run.Next < run.Count && !run.Distinct[run.Next]) ++run.Next;
                if (run.Next == run.Count) return false;
                refill(run);
                return true;
            }
            if (!skip || run.Distinct[run.Next - uint32_t(run.Loaded) + uint32_t(run.Current)]) return true;
        }
    };
    auto merge = [&](TSortOutput& out) {
        const bool skip = out.DropsDuplicates();
        std::vector<int32_t> heap;
        for (int32_t r = 0; r < int32_t(runs.size()); ++r) {
            runs[size_t(r)].Next = 0;
            refill(runs[size_t(r)]);
            heap.push_back(r);
        }
        std::make_heap(heap.begin(), heap.end(), later);
        while (!heap.empty()) {
            std::pop_heap(heap.begin(), heap.end(), later);
            const int32_t r = heap.back();
            TSortRun& run = runs[size_t(r)];
            out.Put(run.Images.data() + size_t(run.Current) * size_t(size), headKey(r));
            if (!advance(run, skip)) {
                heap.pop_back();
                continue;
            }
            std::push_heap(heap.begin(), heap.end(), later);
        }
        return out.Finish();
    };
    // When a failed merge has overwritten part of the file, the runs still hold every
    // record: they go back as by a plain sort.
    TScopeGuard restore([&] {
        if (!output.Written()) return;
        TSortOutput plain(*this, false, nullptr, runRecords);
        EndSort(merge(plain));
    });
    const uint32_t count = merge(output);
    restore.Dismiss();
    return count;
}
