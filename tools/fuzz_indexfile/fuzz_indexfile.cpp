// Fuzz target of the index file: the input is an index file. It is opened and checked
// against a fixed table (field n is n bytes wide, field 900 a BLOB); every index is then
// walked: down the left edge, along the leaf links, counted, searched by ordinal and key,
// changed by one insertion and removal, and written back. A damaged file may only fail
// with an engine error: never a crash, a hang or another exception.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "db/engine/EngineErrors.h"
#include "db/engine/IndexFile.h"
#include "db/storage/FileLayer.h"
#include "db/storage/Library.h"
#include "tests/support/EngineFakes.h"

namespace {

const char* const kFileName = "MEMORY\\FUZZ.IDX";

void Walk(TIndexFile& f, TFakeCursor& c, int32_t indexNo) {
    // No walk of this file can take more steps than it has pages.
    const uint32_t pages = (f.GetNextNewPage() - IndexHeaderSize) / IndexPageSize + 1;
    int32_t total = 0;
    if (!f.GetIndexKeyCount(&c, indexNo, total)) return;
    TPageRef cur(f);
    if (!cur.Root(&c, indexNo, TPagePos::First) || !cur) return;
    const int32_t keyLength = cur->KeyLength();
    for (uint32_t depth = 0; !cur->IsLeaf(); ++depth) {
        if (depth > pages) RaiseEngineError(ZIZIVU_PAGEBUFCORRUPT);
        if (!cur.Get(&c, indexNo, cur->EntryValue(1))) return;
    }
    std::vector<std::string> firstKeys;
    int32_t seen = 0;
    for (uint32_t steps = 0;; ++steps) {
        if (steps > pages) RaiseEngineError(ZIZIVU_PAGEBUFCORRUPT);
        seen += cur->Count();
        if (cur->Count() > 0 && firstKeys.size() < 8)
            firstKeys.emplace_back(reinterpret_cast<const char*>(cur->EntryKey(1)), size_t(keyLength));
        const uint32_t next = cur->Next();
        if (next == 0) break;
        if (!cur.Get(&c, indexNo, next)) return;
    }
    cur.Release();
    std::vector<uint8_t> key(KeyBufferSize);
    uint32_t recordNo = 0;
    bool found = false;
    for (int32_t ordinal : {1, total / 2, total, seen}) {
        if (!f.GetKeyAtOrdinal(&c, indexNo, ordinal, key.data(), recordNo, found)) return;
    }
    for (const std::string& k : firstKeys) {
        int32_t ordinal = 0;
        if (!f.FindKeyOrdinal(&c, indexNo, reinterpret_cast<const uint8_t*>(k.data()), ordinal, found))
            return;
    }
    if (firstKeys.empty()) return;
    // One key just above the first leaf's first key, in and out again.
    std::string probe = firstKeys.front();
    probe.back() = char(uint8_t(probe.back()) + 1);
    int32_t ordinal = 0;
    const auto* p = reinterpret_cast<const uint8_t*>(probe.data());
    if (!f.FindKeyOrdinal(&c, indexNo, p, ordinal, found) || found) return;
    if (!f.InsertIndexKey(&c, indexNo, p, 1)) return;
    f.DeleteIndexKey(&c, indexNo, p);
}

void Exercise(const uint8_t* data, size_t size) {
    {
        TFileHandler h;
        h.SetFileName(kFileName);
        h.SetInMemory(true);
        h.CreateFile();
        if (size) h.Write(data, int32_t(size));
    }
    TFakeTableOwner table("FUZZ");
    TFakeCursor cursor;
    {
        TIndexFile f(&table);
        f.SetFileName(kFileName);
        f.SetInMemory(true);
        try {
            f.Open();
            f.CheckHeader(SizedFields);
        } catch (const EZIZIVUEngineError&) {
            return;
        }
        std::vector<int32_t> indexes;
        for (int32_t i = 0; i <= f.GetIndexCount(); ++i) indexes.push_back(i);
        indexes.push_back(DeletedIndexNo);
        for (int32_t i : indexes) {
            try {
                Walk(f, cursor, i);
            } catch (const EZIZIVUEngineError&) {
            }
        }
        try {
            f.FlushPages(false);
            f.WriteHeader(false);
        } catch (const EZIZIVUEngineError&) {
        }
    }
    GlobalFileList()->DeleteFile(kFileName, true);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool started = (InitializeLibrary(), true);
    (void)started;
    Exercise(data, size);
    return 0;
}

// The shared replay driver calls this after the last input, before the leak check.
extern "C" void ZeltoFuzzReplayDone() {
    FinalizeLibrary();
}
