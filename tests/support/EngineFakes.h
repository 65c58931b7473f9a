#pragma once
// Stand-ins shared by the tests and the fuzz targets of the table's files: the table that
// owns them, with its answers in plain fields; a cursor in plain byte order (optionally
// reversed); the field lookup of the index tests; and small file helpers. Free of the test
// framework, so that the fuzz targets can use it.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

#include "db/engine/DataFile.h"
#include "db/engine/IndexFile.h"
#include "db/engine/TableFiles.h"
#include "db/storage/FileLayer.h"
#include "tests/support/FieldDescriptors.h"

class TFakeTableOwner : public TTableFilesOwner {
public:
    explicit TFakeTableOwner(std::string name = "PARTS") : Name(std::move(name)) {}

    std::string TableName() const override { return Name; }
    bool ForceBufferFlush() const override { return ForceFlush; }
    bool StrictChangeDetection() const override { return Strict; }
    bool InTransaction() const override { return Transaction; }
    void SetTableChanged() override { ++Changes; }
    bool NoPrimaryIndex() override { return NoPrimary; }
    std::string PrivateDirectory() const override { return Private; }
    bool InMemory() const override { return Memory; }

    std::string Name;
    bool ForceFlush = false;
    bool Strict = false;
    bool Transaction = false;
    bool NoPrimary = false;
    std::string Private;
    bool Memory = true;
    int Changes = 0;
};

// Counts the cache misses' lock calls; OnLock runs inside one (it may drop caches) and
// LockResult is the answer. Visible caps the read-ahead run.
class TFakeCursor : public TCacheClient {
public:
    bool LockForCacheMiss() override {
        ++LockCalls;
        if (OnLock) OnLock();
        return LockResult;
    }
    uint32_t VisibleRun(uint32_t, int32_t, uint32_t maximum) override { return std::min(Visible, maximum); }
    int32_t CompareKeys(const uint8_t* entry, const uint8_t* key, int32_t length) override {
        const int c = std::memcmp(entry, key, size_t(length));
        const int32_t sign = (c > 0) - (c < 0);
        return Descending ? -sign : sign;
    }

    bool LockResult = true;
    bool Descending = false;
    int LockCalls = 0;
    uint32_t Visible = 0xFFFFFFFF;
    std::function<void()> OnLock;
};

// Field n (1..600) is a byte field of n bytes; field 900 is a BLOB; others do not exist.
inline bool SizedFields(int32_t fieldNo, TIndexFieldInfo& info) {
    if (fieldNo == 900) {
        info = {dtBlob, 10};
        return true;
    }
    if (fieldNo < 1 || fieldNo > 600) return false;
    info = {dtBytes, fieldNo};
    return true;
}

// The whole content of a file through a handler of its own.
inline std::string FileBytes(const std::string& name, bool inMemory = true) {
    TFileHandler h;
    h.SetFileName(name);
    h.SetInMemory(inMemory);
    h.Open();
    const int32_t size = h.GetSize();
    std::string s(size_t(size), '\0');
    h.Seek(0, 0);
    if (size) h.Read(s.data(), size);
    h.Close();
    return s;
}
