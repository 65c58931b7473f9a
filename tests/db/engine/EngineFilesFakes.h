#pragma once
// The table and cursor stand-ins of the data-file and BLOB-file tests, and helpers shared by
// those tests.
#include <gtest/gtest.h>

#include <string>

#include "db/engine/DataFile.h"
#include "db/engine/EngineErrors.h"
#include "db/storage/FileLayer.h"
#include "tests/support/EngineErrorCode.h"
#include "tests/support/EngineFakes.h"
#include "tests/support/FileListFixture.h"

namespace enginefiles_test {

using TFakeTable = TFakeTableOwner;

// The library and the file list for one test.
class EngineFilesTest : public FileListTest {
protected:
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
    static void DropFile(const std::string& name, bool inMemory = true) {
        TFileHandler h;
        h.SetFileName(name);
        h.SetInMemory(inMemory);
        h.Delete();
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

inline std::string U32Bytes(uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[size_t(i)] = char(v >> (8 * i));
    return s;
}

}  // namespace enginefiles_test
