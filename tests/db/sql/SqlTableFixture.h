#pragma once
// SELECT tests against real tables: a session whose database and private folder are one
// scratch folder, tables made and filled through the cursor, statements prepared and run,
// and result rows read back as text.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "db/engine/DataCursor.h"
#include "db/engine/DataDirectory.h"
#include "db/engine/DataSession.h"
#include "db/sql/QueryStatement.h"
#include "db/storage/EngineErrors.h"
#include "db/storage/Library.h"
#include "tests/support/FieldDescriptors.h"
#include "tests/support/ScratchDir.h"

namespace sqltest {

// One value of a row: an integer, a text or NULL.
struct TValue {
    TValue() = default;
    TValue(int v) : Int(v) {}
    TValue(const char* s) : Text(s) {}
    static TValue Null() {
        TValue v;
        v.IsNull = true;
        return v;
    }
    bool IsNull = false;
    int32_t Int = 0;
    std::optional<std::string> Text;
};

using TRow = std::vector<std::string>;
using TRows = std::vector<TRow>;

inline TIndexDescriptor SecondaryIndex(const std::string& name, std::vector<uint16_t> fields,
                                       bool descending = false) {
    TIndexDescriptor d;
    d.Name = name;
    d.Descending = descending ? 1 : 0;
    for (size_t i = 0; i < fields.size(); ++i) d.FieldNumbers[i] = fields[i];
    d.FieldCount = uint8_t(fields.size());
    return d;
}

class SqlTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        InitializeLibrary();
        FSession = std::make_unique<TDataSession>();
        FSession->SetPrivateDirectory(FScratch.Path());
        FDatabase = FSession->OpenDirectory("db", FScratch.Path());
    }
    void TearDown() override {
        FStatement.reset();
        FSession.reset();
        FinalizeLibrary();
    }

    // A table without primary index; further indexes are secondary.
    void CreateTable(const std::string& name, std::vector<TFieldDescriptor> fields,
                     std::vector<TIndexDescriptor> secondary = {}) {
        TDataCursor c(FDatabase);
        c.SetTableName(name);
        c.SetExclusive(true);
        std::vector<TIndexDescriptor> indexes{TIndexDescriptor()};
        for (auto& d : secondary) indexes.push_back(d);
        c.CreateTable(std::move(fields), std::move(indexes), {});
    }

    void Insert(const std::string& table, const std::vector<std::vector<TValue>>& rows) {
        TDataCursor c(FDatabase);
        c.SetTableName(table);
        c.Open();
        std::vector<uint8_t> r(size_t(c.GetRecordSize()));
        for (const auto& row : rows) {
            c.InitRecord(r.data());
            int32_t no = 0;
            for (const TValue& v : row) {
                ++no;
                if (c.GetFieldDefinition(no).IsAutoInc()) continue;
                if (v.IsNull) {
                    c.PutField(no, r.data(), nullptr);
                } else if (v.Text) {
                    std::string s = *v.Text;
                    c.PutField(no, r.data(), s.c_str());
                } else if (c.GetFieldDefinition(no).DataType == dtSmallInt) {
                    const int16_t x = int16_t(v.Int);
                    c.PutField(no, r.data(), &x);
                } else if (c.GetFieldDefinition(no).DataType == dtFloat) {
                    const double x = v.Int;
                    c.PutField(no, r.data(), &x);
                } else {
                    c.PutField(no, r.data(), &v.Int);
                }
            }
            c.InsertRecord(r.data());
        }
    }

    // The text of one field of a record: NULL, a number or the characters.
    static std::string FieldText(TDataCursor& c, int32_t no, const uint8_t* record) {
        const TFieldDescriptor& f = c.GetFieldDefinition(no);
        uint8_t v[256] = {};
        bool blank = false;
        c.GetField(no, record, blank, v);
        if (blank) return "NULL";
        switch (f.DataType) {
            case dtString:
                return reinterpret_cast<const char*>(v);
            case dtSmallInt: {
                int16_t x;
                std::memcpy(&x, v, 2);
                return std::to_string(x);
            }
            case dtFloat: {
                double x;
                std::memcpy(&x, v, 8);
                char s[64];
                std::snprintf(s, sizeof s, "%g", x);
                return s;
            }
            default: {
                int32_t x;
                std::memcpy(&x, v, 4);
                return std::to_string(x);
            }
        }
    }

    // Every visible field of every record in the cursor's order.
    static TRows Rows(TDataCursor& c) {
        TRows rows;
        std::vector<uint8_t> r(size_t(std::max(c.GetRecordSize(), 9)));
        c.First();
        while (c.GetNextRecord(r.data()) == 0) {
            TRow row;
            for (int32_t no = 1; no <= c.GetFieldCount(); ++no)
                if (!c.GetFieldDefinition(no).WorkArea[HiddenFieldByte])
                    row.push_back(FieldText(c, no, r.data()));
            rows.push_back(row);
        }
        return rows;
    }

    static std::vector<std::string> Names(TDataCursor& c) {
        std::vector<std::string> names;
        for (int32_t no = 1; no <= c.GetFieldCount(); ++no) names.push_back(c.GetFieldDefinition(no).Name);
        return names;
    }

    // Prepares and runs a text; the statement stays for the result's lifetime.
    TDataCursor* Run(const std::string& text, const std::function<void(TQueryStatement&)>& setup = {}) {
        FStatement = std::make_unique<TQueryStatement>(FDatabase);
        if (setup) setup(*FStatement);
        int32_t position = 0;
        FStatement->Prepare(text, position);
        TDataCursor* result = nullptr;
        FStatement->Execute(result);
        return result;
    }

    TRows Query(const std::string& text, const std::function<void(TQueryStatement&)>& setup = {}) {
        TDataCursor* result = Run(text, setup);
        EXPECT_NE(result, nullptr) << text;
        return result ? Rows(*result) : TRows();
    }

    // The message of an SQL error (without the engine's prefix), or of another failure.
    std::string Error(const std::string& text) {
        try {
            Run(text);
        } catch (const EZIZIVUEngineError& e) {
            const std::string prefix = "ZIZIVU Engine Error # 11949 SQL error - ";
            return e.Message().rfind(prefix, 0) == 0 ? e.Message().substr(prefix.size())
                                                     : "<" + e.Message() + ">";
        }
        return "<accepted>";
    }

    // Files in the scratch folder.
    std::vector<std::string> Files() const {
        std::vector<std::string> out;
        for (auto& e : std::filesystem::directory_iterator(FScratch.Path()))
            out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }

    TScratchDir FScratch{"zelto-sql"};
    std::unique_ptr<TDataSession> FSession;
    TDataDirectory* FDatabase = nullptr;
    std::unique_ptr<TQueryStatement> FStatement;
};

}  // namespace sqltest
