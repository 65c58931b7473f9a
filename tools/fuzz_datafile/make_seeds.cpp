// Writes the seed corpus of fuzz_datafile into the directory given: table file pairs made by
// the engine (with and without BLOBs, plain and encrypted, with deleted records and chains
// over several blocks) and a few with one known piece of damage.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "db/engine/BlobFile.h"
#include "db/engine/DataFile.h"
#include "db/storage/Library.h"
#include "platform/rtl/ByteCodec.h"
#include "tests/support/EngineFakes.h"

namespace {

// The file's bytes; the in-memory file is dropped.
std::string Contents(const std::string& name) {
    std::string s = FileBytes(name);
    GlobalFileList()->DeleteFile(name, true);
    return s;
}

struct TPair {
    std::string Data;
    std::string Blob;
};

// A table of five records; with BLOBs, records 2 and 4 carry values of 30 and 200 bytes
// in 64-byte blocks; record 3 is deleted.
TPair MakeTable(bool withBlobs, bool encrypted) {
    TFakeTableOwner table("SEED");
    std::vector<TFieldDescriptor> fields{MakeField(1, "ID", dtInteger, 0, fstAutoInc),
                                         MakeField(2, "NAME", dtString, 12), MakeField(3, "QTY", dtSmallInt)};
    if (withBlobs) fields.push_back(MakeField(4, "NOTES", dtBlob, 0, 22));
    TDataFile data(&table);
    data.SetFileName("SEED.DAT");
    data.SetInMemory(true);
    data.CreateFile();
    data.InitStructure(0, 0, fields.data(), int32_t(fields.size()), 64, "seed", encrypted ? "pw" : "",
                       encrypted, 0, 1);
    TBlobFile blobs(&table);
    if (withBlobs) {
        blobs.SetFileName("SEED.BLB");
        blobs.SetInMemory(true);
        blobs.SetBlockSize(64);
        blobs.SetEncrypted(encrypted);
        blobs.CreateFile();
    }
    for (uint32_t n = 1; n <= 5; ++n) {
        TRecord* r = nullptr;
        data.AllocateRecord(nullptr, r);
        r->Clear(true);
        uint8_t* b = r->GetBuffer();
        b[9] = 1;
        std::snprintf(reinterpret_cast<char*>(b + 10), 13, "part%u", n);
        b[23] = 1;
        bytes::PutI16(b + 24, int16_t(n * 10));
        if (withBlobs && (n == 2 || n == 4)) {
            TBlobBuffer value(&blobs, nullptr);
            value.RecordNo = n;
            value.SetSize(n == 2 ? 30 : 200);
            for (uint32_t i = 0; i < value.Length(); ++i) value.GetData()[i] = uint8_t(i + n);
            value.Save();
            b[26] = 1;
            bytes::PutU32(b + 27, value.FirstBlock);
            bytes::PutU32(b + 31, data.NextBlobId());
        }
        r->SetModified(true);
        data.ReleaseRecord(r);
    }
    TRecord* r = nullptr;
    data.GetRecord(nullptr, 3, r);
    data.DeleteRecord(r);
    data.ReleaseRecord(r);
    data.FlushRecords(false);
    data.WriteHeader(true, false);
    data.WriteFieldDescriptors();
    data.Close();
    TPair pair;
    if (withBlobs) {
        blobs.FlushBlocks(false);
        blobs.WriteHeader(true, false);
        blobs.Close();
        pair.Blob = Contents("SEED.BLB");
    }
    pair.Data = Contents("SEED.DAT");
    return pair;
}

void Write(const std::string& dir, const std::string& name, const TPair& pair) {
    std::string input(4, '\0');
    bytes::PutU32(reinterpret_cast<uint8_t*>(input.data()), uint32_t(pair.Data.size()));
    input += pair.Data;
    input += pair.Blob;
    std::ofstream(dir + "/" + name, std::ios::binary) << input;
}

void PutU32At(std::string& s, size_t at, uint32_t v) {
    bytes::PutU32(reinterpret_cast<uint8_t*>(s.data()) + at, v);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s corpus-directory\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    InitializeLibrary();
    const TPair plain = MakeTable(true, false);
    Write(dir, "seed-blobs", plain);
    Write(dir, "seed-encrypted", MakeTable(true, true));
    Write(dir, "seed-noblobs", MakeTable(false, false));
    // The 200-byte value of record 4 starts at the second block (64) and runs over five.
    TPair cycle = plain;
    PutU32At(cycle.Blob, 512 + 64 * 3 + 4, 512 + 64 * 1);
    Write(dir, "damage-cycle", cycle);
    TPair shortChain = plain;
    PutU32At(shortChain.Blob, 512 + 64 * 1 + 14, 400);
    Write(dir, "damage-total", shortChain);
    TPair freeHead = plain;
    PutU32At(freeHead.Blob, 9, 300);
    Write(dir, "damage-freehead", freeHead);
    TPair recordSize = plain;
    recordSize.Data[21] = 0;
    recordSize.Data[22] = 0;
    Write(dir, "damage-recordsize", recordSize);
    FinalizeLibrary();
    return 0;
}
