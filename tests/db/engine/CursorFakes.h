#pragma once
// A scratch database for cursor tests: a session, a directory on disk (or the in-memory
// one), table definitions and small record helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db/engine/DataCursor.h"
#include "db/engine/DataDirectory.h"
#include "db/engine/DataSession.h"
#include "db/engine/EngineErrors.h"
#include "db/storage/Library.h"
#include "platform/rtl/ByteCodec.h"
#include "tests/support/EngineErrorCode.h"
#include "tests/support/FieldDescriptors.h"
#include "tests/support/ScratchDir.h"

namespace cursor_test {

inline TIndexDescriptor Index(const std::string& name, std::vector<uint16_t> fields, bool unique = true,
                              bool descending = false, bool caseInsensitive = false) {
    TIndexDescriptor d;
    d.Name = name;
    d.Unique = unique ? 1 : 0;
    d.Descending = descending ? 1 : 0;
    d.CaseInsensitive = caseInsensitive ? 1 : 0;
    for (size_t i = 0; i < fields.size(); ++i) d.FieldNumbers[i] = fields[i];
    d.FieldCount = uint8_t(fields.size());
    return d;
}

// The primary index slot of a table without primary index.
inline TIndexDescriptor NoPrimary() {
    return TIndexDescriptor();
}

class CursorTest : public ::testing::Test {
protected:
    void SetUp() override {
        InitializeLibrary();
        FSession = std::make_unique<TDataSession>();
        FDir = FSession->OpenDirectory("db", FScratch.Path());
    }
    void TearDown() override {
        FCursors.clear();
        FSession.reset();
        FinalizeLibrary();
    }

    TDataCursor& NewCursor(const std::string& table = "PARTS", TDataDirectory* dir = nullptr) {
        FCursors.push_back(std::make_unique<TDataCursor>(dir ? dir : FDir));
        FCursors.back()->SetTableName(table);
        return *FCursors.back();
    }

    void Create(const std::string& table, std::vector<TFieldDescriptor> fields,
                std::vector<TIndexDescriptor> indexes, TCreateTableOptions options = {}) {
        TDataCursor c(FDir);
        c.SetTableName(table);
        c.SetExclusive(true);
        c.CreateTable(std::move(fields), std::move(indexes), options);
    }

    TDataCursor& OpenCursor(const std::string& table = "PARTS") {
        TDataCursor& c = NewCursor(table);
        c.Open();
        return c;
    }

    // Field values in and out of record buffers.
    static void PutInt(TDataCursor& c, std::vector<uint8_t>& r, int32_t field, int32_t v) {
        uint8_t b[8];
        bytes::PutI32(b, v);
        c.PutField(field, r.data(), b);
    }
    static void PutStr(TDataCursor& c, std::vector<uint8_t>& r, int32_t field, const std::string& s) {
        std::vector<char> b(s.begin(), s.end());
        b.push_back(0);
        c.PutField(field, r.data(), b.data());
    }
    static int32_t GetInt(TDataCursor& c, const std::vector<uint8_t>& r, int32_t field,
                          bool* blank = nullptr) {
        uint8_t b[256];
        bool isBlank;
        c.GetField(field, r.data(), isBlank, b);
        if (blank) *blank = isBlank;
        return bytes::GetI32(b);
    }
    static std::string GetStr(TDataCursor& c, const std::vector<uint8_t>& r, int32_t field) {
        char b[256];
        bool blank;
        c.GetField(field, r.data(), blank, b);
        return blank ? std::string("<blank>") : std::string(b);
    }
    static std::vector<uint8_t> Buffer(TDataCursor& c) {
        std::vector<uint8_t> r(size_t(c.GetRecordSize()));
        c.InitRecord(r.data());
        return r;
    }

    // Every value of an integer field in the cursor's order.
    static std::vector<int32_t> Walk(TDataCursor& c, int32_t field) {
        std::vector<int32_t> out;
        std::vector<uint8_t> r(size_t(c.GetRecordSize()));
        c.First();
        while (c.GetNextRecord(r.data()) == 0) out.push_back(GetInt(c, r, field));
        return out;
    }
    // Every value of string field 2 in the cursor's order.
    static std::vector<std::string> Names(TDataCursor& c) {
        std::vector<std::string> out;
        std::vector<uint8_t> r(size_t(c.GetRecordSize()));
        c.First();
        while (c.GetNextRecord(r.data()) == 0) out.push_back(GetStr(c, r, 2));
        return out;
    }
    // A row of a table whose field 1 is an integer ID and field 2 a string NAME.
    static void Insert(TDataCursor& c, int32_t id, const std::string& name) {
        std::vector<uint8_t> r = Buffer(c);
        PutInt(c, r, 1, id);
        PutStr(c, r, 2, name);
        c.InsertRecord(r.data());
    }

    TScratchDir FScratch{"zelto-cursor"};
    std::unique_ptr<TDataSession> FSession;
    TDataDirectory* FDir = nullptr;
    std::vector<std::unique_ptr<TDataCursor>> FCursors;
};

}  // namespace cursor_test
