// Fuzz target of a table's data file and BLOB file. The input is a file pair: a 32-bit
// little-endian length, that many bytes of ".DAT" file and the rest as the ".BLB" file (none
// when empty). Both go into in-memory files, which are opened, checked and walked: every
// record, every BLOB chain a record names (loaded, verified, saved one byte longer, freed)
// and a few slot allocations and deletions. A damaged pair must end in an engine error,
// never in a crash, a foreign exception or a hang.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "db/engine/BlobFile.h"
#include "db/engine/DataFile.h"
#include "db/engine/EngineErrors.h"
#include "db/storage/Library.h"
#include "platform/rtl/ByteCodec.h"
#include "tests/support/EngineFakes.h"

namespace {

// At most this many BLOB values are walked per input, to keep an input fast.
constexpr size_t MaxBlobsWalked = 64;

void PutFile(const std::string& name, const uint8_t* data, size_t size) {
    TFileHandler h;
    h.SetFileName(name);
    h.SetInMemory(true);
    h.CreateFile();
    if (size) h.Write(data, int32_t(size));
    h.Close();
}

void DropFile(const std::string& name) {
    if (GlobalFileList()->FileExists(name, true)) GlobalFileList()->DeleteFile(name, true);
}

struct TBlobRef {
    uint32_t RecordNo;
    uint32_t FirstBlock;
};

void Walk(TDataFile& data, TBlobFile* blobs) {
    data.Open();
    data.CheckHeader();
    std::vector<TBlobRef> refs;
    const uint32_t count = data.GetPhysicalRecordCount();
    for (uint32_t n = 1; n <= count; ++n) {
        TRecord* r = nullptr;
        if (!data.GetRecord(nullptr, n, r)) std::abort();  // no cursor: caches are never dropped
        if (r->GetStatus() == 0) {
            for (int32_t i = 0; i < data.GetFieldCount(); ++i) {
                const TFieldDescriptor& f = data.GetFieldDescriptor(i);
                if (f.DataType != dtBlob || !f.HasStorage()) continue;
                const uint8_t* field = r->GetBuffer() + f.Offset;
                const uint32_t first = bytes::GetU32(field + 1);
                if (field[0] && first && refs.size() < MaxBlobsWalked) refs.push_back({n, first});
            }
        }
        data.ReleaseRecord(r);
    }
    if (blobs && data.GetBlobFieldCount() > 0) {
        blobs->SetBlockSize(data.GetBlobBlockSize());
        blobs->SetEncrypted(data.IsEncrypted());
        blobs->Open();
        blobs->CheckHeader();
        for (const TBlobRef& ref : refs) {
            try {
                TBlobBuffer b(blobs, nullptr);
                b.RecordNo = ref.RecordNo;
                b.FirstBlock = ref.FirstBlock;
                b.Load();
                std::vector<std::string> log;
                blobs->OnRepairLog = [&](const std::string& line) { log.push_back(line); };
                uint32_t first = ref.FirstBlock;
                blobs->RepairBlobs(nullptr, true, false, ref.RecordNo, ref.RecordNo, first);
                blobs->OnRepairLog = nullptr;
                b.SetSize(b.Length() + 1);
                b.Save();
                b.FreeBlocks();
            } catch (const EZIZIVUEngineError&) {
                // One damaged chain; go on with the others.
            }
        }
        blobs->FlushBlocks(false);
        blobs->WriteHeader(false, false);
    }
    for (int i = 0; i < 3; ++i) {
        TRecord* r = nullptr;
        if (!data.AllocateRecord(nullptr, r)) std::abort();
        r->Clear(true);
        data.ReleaseRecord(r);
    }
    if (count > 0) {
        TRecord* r = nullptr;
        if (!data.GetRecord(nullptr, 1, r)) std::abort();
        if (r->GetStatus() == 0) data.DeleteRecord(r);
        data.ReleaseRecord(r);
    }
    data.FlushRecords(false);
    data.WriteHeader(false, false);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    static bool started = (InitializeLibrary(), true);
    (void)started;
    if (size < 4) return 0;
    size_t dataSize = bytes::GetU32(input);
    if (dataSize > size - 4) dataSize = size - 4;
    const uint8_t* dataBytes = input + 4;
    const uint8_t* blobBytes = dataBytes + dataSize;
    const size_t blobSize = size - 4 - dataSize;
    PutFile("FUZZ.DAT", dataBytes, dataSize);
    if (blobSize) PutFile("FUZZ.BLB", blobBytes, blobSize);
    {
        TFakeTableOwner table("FUZZ");
        TDataFile data(&table);
        data.SetFileName("FUZZ.DAT");
        data.SetInMemory(true);
        std::unique_ptr<TBlobFile> blobs;
        if (blobSize) {
            blobs = std::make_unique<TBlobFile>(&table);
            blobs->SetFileName("FUZZ.BLB");
            blobs->SetInMemory(true);
        }
        try {
            Walk(data, blobs.get());
        } catch (const EZIZIVUEngineError&) {
            // A damaged pair is refused.
        }
    }
    DropFile("FUZZ.DAT");
    DropFile("FUZZ.BLB");
    return 0;
}

// The shared replay driver calls this after the last input, before the leak check.
extern "C" void ZeltoFuzzReplayDone() {
    FinalizeLibrary();
}
