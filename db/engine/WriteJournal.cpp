#include "db/engine/WriteJournal.h"

#include <algorithm>
#include <cstring>

#include "db/storage/FileLayer.h"

namespace {

// Kept bytes are compared and stored in pieces of this size: a changed page or record run
// keeps its changed stretches, not the whole write.
constexpr int32_t JournalPiece = 512;
constexpr int32_t JournalBlock = 16384;
// Storage a released journal keeps for the next change (a cursor's single-row changes).
constexpr int32_t JournalKeptRead = 65536;
constexpr size_t JournalKeptEntries = 256;

uint64_t Word(const uint8_t* p) {
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// The first and one past the last position where the two differ; first == length when equal.
void ChangedStretch(const uint8_t* a, const uint8_t* b, int32_t length, int32_t& first, int32_t& end) {
    first = 0;
    while (first + 8 <= length && Word(a + first) == Word(b + first)) first += 8;
    while (first < length && a[first] == b[first]) ++first;
    end = length;
    if (first == length) return;
    while (end - 8 > first && Word(a + end - 8) == Word(b + end - 8)) end -= 8;
    while (a[end - 1] == b[end - 1]) --end;
}

}  // namespace

TWriteJournal::TFile& TWriteJournal::Touch(TFileHandler& file) {
    auto known =
        std::find_if(FFiles.begin(), FFiles.end(), [&](const TFile& f) { return f.Handler == &file; });
    return known != FFiles.end() ? *known : FFiles.emplace_back(TFile{&file, -1});
}

const uint8_t* TWriteJournal::Keep(const uint8_t* bytes, int32_t length) {
    if (FBlocks.empty() || FUsed + length > JournalBlock) {
        if (!FBlocks.empty()) ++FBlock;
        if (FBlock >= FBlocks.size()) {
            FBlocks.push_back(std::make_unique_for_overwrite<uint8_t[]>(JournalBlock));
            FBlock = FBlocks.size() - 1;
        }
        FUsed = 0;
    }
    uint8_t* at = FBlocks[FBlock].get() + FUsed;
    std::memcpy(at, bytes, size_t(length));
    FUsed += length;
    return at;
}

void TWriteJournal::Save(TFileHandler& file, int32_t position, const uint8_t* old, int32_t length) {
    FSaved.push_back(TSaved{&file, position, length, Keep(old, length)});
}

void TWriteJournal::BeforeWrite(TFileHandler& file, int32_t position, int32_t count, const void* data) {
    TFile& touched = Touch(file);
    if (count == 0) {
        // Ends the file: all of it from the position on is kept.
        if (touched.Size < 0) touched.Size = file.GetSize();
        count = std::max(touched.Size - position, 0);
        data = nullptr;
    } else if (touched.Size >= 0) {
        // What lies beyond the old size goes when the file is cut back to it.
        count = int32_t(std::clamp<int64_t>(int64_t(touched.Size) - position, 0, count));
    }
    if (count == 0) return;
    if (count > FReadCapacity) {
        FRead = std::make_unique_for_overwrite<uint8_t[]>(size_t(count));
        FReadCapacity = count;
    }
    file.Seek(position, 0);
    const int32_t n = file.Read(FRead.get(), count, true);
    // Until a read comes back short the file has not grown: that read tells its size.
    if (n < count && touched.Size < 0) touched.Size = n > 0 ? position + n : file.GetSize();
    const uint8_t* written = static_cast<const uint8_t*>(data);
    for (int32_t at = 0; at < n; at += JournalPiece) {
        const uint8_t* old = FRead.get() + at;
        const int32_t length = std::min(JournalPiece, n - at);
        if (!written) {
            Save(file, position + at, old, length);
            continue;
        }
        // Only the stretch from the first to the last byte the write changes.
        int32_t first, end;
        ChangedStretch(old, written + at, length, first, end);
        if (first < length) Save(file, position + at + first, old + first, end - first);
    }
}

void TWriteJournal::Undo() noexcept {
    // Below the handlers, whose failures raise: each step is tried once, whatever the last did.
    for (auto it = FSaved.rbegin(); it != FSaved.rend(); ++it) {
        TAbstractFile* f = it->File->FileObject();
        if (!f) continue;
        f->Lock();
        f->Seek(it->File->Handle(), it->Position, 0);
        f->Write(it->File->Handle(), it->Bytes, it->Length);
        f->Unlock();
    }
    for (const TFile& touched : FFiles) {
        TAbstractFile* f = touched.Handler->FileObject();
        if (!f) continue;
        f->Lock();
        if (touched.Size >= 0) {
            f->Seek(touched.Handler->Handle(), touched.Size, 0);
            f->Write(touched.Handler->Handle(), nullptr, 0);
        }
        f->Flush();
        f->Unlock();
    }
    Clear();
}

void TWriteJournal::Clear() {
    FSaved.clear();
    FFiles.clear();
    FBlock = 0;
    FUsed = 0;
}

void TWriteJournal::ReleaseStorage() {
    Clear();
    if (FBlocks.size() > 1) FBlocks.resize(1);
    if (FSaved.capacity() > JournalKeptEntries) std::vector<TSaved>().swap(FSaved);
    if (FReadCapacity > JournalKeptRead) {
        FRead.reset();
        FReadCapacity = 0;
    }
}
