#include "db/engine/WriteJournal.h"

#include <algorithm>

#include "db/storage/FileLayer.h"

TWriteJournal::TFile& TWriteJournal::Touch(TFileHandler& file) {
    auto known =
        std::find_if(FFiles.begin(), FFiles.end(), [&](const TFile& f) { return f.Handler == &file; });
    return known != FFiles.end() ? *known : FFiles.emplace_back(TFile{&file, -1});
}

void TWriteJournal::BeforeWrite(TFileHandler& file, int32_t position, int32_t count) {
    TFile& touched = Touch(file);
    if (count == 0) {
        // Ends the file: all of it from the position on is kept.
        if (touched.Size < 0) touched.Size = file.GetSize();
        count = std::max(touched.Size - position, 0);
    } else if (touched.Size >= 0) {
        // What lies beyond the old size goes when the file is cut back to it.
        count = int32_t(std::clamp<int64_t>(int64_t(touched.Size) - position, 0, count));
    }
    if (count == 0) return;
    TSaved saved{&file, position, std::vector<uint8_t>(size_t(count))};
    file.Seek(position, 0);
    const int32_t n = file.Read(saved.Bytes.data(), count, true);
    if (n < count) {
        // Until a read comes back short the file has not grown: that read tells its size.
        if (touched.Size < 0) touched.Size = n > 0 ? position + n : file.GetSize();
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
}
