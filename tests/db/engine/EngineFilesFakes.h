#pragma once
// Fakes of what the data and BLOB files need of their shared table and of the cursor, and
// helpers shared by the data-file and BLOB-file tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "db/engine/DataFile.h"
#include "db/engine/EngineErrors.h"
#include "db/engine/TableFiles.h"
#include "db/storage/FileLayer.h"
#include "db/storage/Library.h"

namespace enginefiles_test {

class TFakeTable : public TTableFilesOwner {
public:
    std::string TableName() const override { return Name; }
    bool ForceBufferFlush() const override { return Force; }
    bool StrictChangeDetection() const override { return Strict; }
    bool InTransaction() const override { return InTx; }
    void SetTableChanged() override { ++Changes; }
    bool NoPrimaryIndex() override { return NoPrimary; }
    std::string PrivateDirectory() const override { return Private; }
    bool InMemory() const override { return Memory; }

    std::string Name = "PARTS";
    bool Force = false;
    bool Strict = false;
    bool InTx = false;
    bool NoPrimary = false;
    std::string Private;
    bool Memory = true;
    int Changes = 0;
};

class TFakeCursor : public TCacheClient {
public:
    bool LockForCacheMiss() override {
        ++LockCalls;
        if (OnLock) OnLock();
        return LockResult;
    }
    uint32_t VisibleRun(uint32_t, int32_t, uint32_t maximum) override { return std::min(Visible, maximum); }
    int32_t CompareKeys(const uint8_t* entry, const uint8_t* key, int32_t length) override {
        int c = std::memcmp(entry, key, size_t(length));
        return c < 0 ? -1 : c > 0 ? 1 : 0;
    }

    bool LockResult = true;
    int LockCalls = 0;
    uint32_t Visible = 0xFFFFFFFF;
    std::function<void()> OnLock;
};

// The library and the file list for one test.
class EngineFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        InitializeLibrary();
        InitializeFileList();
    }
    void TearDown() override {
        FinalizeFileList();
        FinalizeLibrary();
    }

    // The whole content of a file through a handler of its own.
    static std::string FileBytes(const std::string& name, bool inMemory = true) {
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
    static void PatchFile(const std::string& name, int32_t offset, const std::string& data,
                          bool inMemory = true) {
        TFileHandler h;
        h.SetFileName(name);
        h.SetInMemory(inMemory);
        h.Open();
        h.Seek(offset, 0);
        h.Write(data.data(), int32_t(data.size()));
        h.Close();
    }
    static void AppendFile(const std::string& name, const std::string& data, bool inMemory = true) {
        TFileHandler h;
        h.SetFileName(name);
        h.SetInMemory(inMemory);
        h.Open();
        h.Seek(0, 2);
        h.Write(data.data(), int32_t(data.size()));
        h.Close();
    }
};

inline TFieldDescriptor MakeField(uint16_t no, const std::string& name, uint8_t type, uint8_t size = 0,
                                  uint8_t subType = 0) {
    TFieldDescriptor f;
    f.FieldNo = no;
    f.Name = name;
    f.DataType = type;
    f.Size = size;
    f.SubType = subType;
    return f;
}

inline std::string U32Bytes(uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[size_t(i)] = char(v >> (8 * i));
    return s;
}

// The engine code an action raised; 0 when it raised none.
inline uint16_t RaisedCode(const std::function<void()>& action) {
    try {
        action();
    } catch (const EZIZIVUEngineError& e) {
        return e.ErrorCode();
    }
    return 0;
}

}  // namespace enginefiles_test
