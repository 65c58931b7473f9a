#include "db/engine/WriteJournal.h"

#include <algorithm>

#include "db/storage/FileLayer.h"

void TWriteJournal::BeforeWrite(TFileHandler& file, int32_t position, int32_t count) {
    auto known = std::find_if(FSizes.begin(), FSizes.end(), [&](const TSize& s) { return s.File == &file; });
    if (count == 0) {
        // Ends the file: all of it from the position on is kept.
        if (known == FSizes.end()) known = FSizes.insert(FSizes.end(), TSize{&file, file.GetSize()});
        count = std::max(known->Size - position, 0);
    }
    // What lies beyond the old size goes when the file is cut back to it; until a read
    // comes back short the file has not grown, and a short read tells the old size.
    if (known != FSizes.end()) count = int32_t(std::clamp<int64_t>(int64_t(known->Size) - position, 0, count));
    if (count == 0) return;
    TSaved saved{&file, position, std::vector<uint8_t>(size_t(count))};
    file.Seek(position, 0);
    const int32_t n = file.Read(saved.Bytes.data(), count, true);
    if (n < count) {
        if (known == FSizes.end()) FSizes.push_back(TSize{&file, n > 0 ? position + n : file.GetSize()});
        saved.Bytes.resize(size_t(n));
    }
    if (n > 0) FSaved.push_back(std::move(saved));
}

void TWriteJournal::Undo() noexcept {
    // Below the handlers, whose failures raise: each step is tried once, whatever the last did.
    for (auto it = FSaved.rbegin(); it != FSaved.rend(); ++it) {
        TAbstractFile* f = it->File->FileObject();
        if (!f) continue;
        f->Lock();
        f->Seek(it->File->Handle(), it->Position, 0);
        f->Write(it->File->Handle(), it->Bytes.data(), int32_t(it->Bytes.size()));
        f->Unlock();
    }
    for (const TSize& s : FSizes) {
        TAbstractFile* f = s.File->FileObject();
        if (!f) continue;
        f->Lock();
        f->Seek(s.File->Handle(), s.Size, 0);
        f->Write(s.File->Handle(), nullptr, 0);
        f->Flush();
        f->Unlock();
    }
    Clear();
}

void TWriteJournal::Clear() {
    FSaved.clear();
    FSizes.clear();
}
