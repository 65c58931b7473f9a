#pragma once
// Statements run against a scratch database on disk: a session, the database's directory,
// statements prepared and executed as the query component does, and cursors to look at
// the tables past the SQL processor.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db/engine/DataCursor.h"
#include "db/engine/DataDirectory.h"
#include "db/engine/DataSession.h"
#include "db/sql/QueryStatement.h"
#include "db/storage/EngineErrors.h"
#include "db/storage/Library.h"
#include "platform/rtl/ByteCodec.h"
#include "tests/support/ScratchDir.h"

namespace sqltest {

// How a statement failed: its engine code and message (without the engine's prefix).
struct TExecFailure {
    uint16_t Code = 0;
    std::string Message;
};

class SqlExecTest : public ::testing::Test {
protected:
    void SetUp() override {
        InitializeLibrary();
        Session = std::make_unique<TDataSession>();
        Session->SetLockRetryCount(0);
        Database = Session->OpenDirectory("db", Scratch.Path());
    }
    void TearDown() override {
        Session.reset();
        FinalizeLibrary();
    }

    // A new session on the folder, as a program started again would open it.
    void Reopen() {
        Session.reset();
        Session = std::make_unique<TDataSession>();
        Database = Session->OpenDirectory("db", Scratch.Path());
    }

    // Prepares and executes the text; returns the rows affected.
    int32_t Run(const std::string& text, const TQueryProgressEvent& progress = nullptr) {
        TQueryStatement s(Database);
        int32_t position = 0;
        s.Prepare(text, position);
        if (progress) s.SetProgressEvent(progress);
        TDataCursor* result = nullptr;
        s.Execute(result);
        return s.GetRowsAffected();
    }

    TExecFailure Fail(const std::string& text) {
        TExecFailure f;
        try {
            Run(text);
            ADD_FAILURE() << text << " was accepted";
        } catch (const EZIZIVUEngineError& e) {
            f.Code = e.ErrorCode();
            const std::string prefix = "ZIZIVU Engine Error # 11949 SQL error - ";
            f.Message = e.Message().rfind(prefix, 0) == 0 ? e.Message().substr(prefix.size()) : e.Message();
        }
        return f;
    }

    // COUNT(*) of the table's rows that meet the condition; -1 when no row came back.
    int32_t Count(const std::string& table, const std::string& where) {
        TQueryStatement s(Database);
        int32_t position = 0;
        s.Prepare("SELECT COUNT(*) FROM " + table + " WHERE " + where, position);
        TDataCursor* result = nullptr;
        s.Execute(result);
        std::vector<uint8_t> r(size_t(result->GetRecordSize()));
        result->First();
        int32_t n = -1;
        bool blank = false;
        if (result->GetNextRecord(r.data()) == 0) result->GetField(1, r.data(), blank, &n);
        return n;
    }

    std::unique_ptr<TDataCursor> Open(const std::string& table) {
        auto c = std::make_unique<TDataCursor>(Database);
        c->SetTableName(table);
        c->Open();
        return c;
    }

    // Rows of integer fields through the engine, each row's values for fields 1, 2, ...
    void InsertRows(const std::string& table, const std::vector<std::vector<int32_t>>& rows) {
        auto c = Open(table);
        std::vector<uint8_t> r(size_t(c->GetRecordSize()));
        // One transaction: written once at its end.
        Database->StartTransaction();
        for (const std::vector<int32_t>& row : rows) {
            c->InitRecord(r.data());
            for (size_t i = 0; i < row.size(); ++i) {
                uint8_t v[8];
                bytes::PutI32(v, row[i]);
                c->PutField(int32_t(i + 1), r.data(), v);
            }
            c->InsertRecord(r.data());
        }
        Database->Commit(true);
    }

    // The integer field of every record in physical order.
    std::vector<int32_t> Ints(const std::string& table, int32_t field) {
        auto c = Open(table);
        c->SwitchToIndexNumber(RecordNumberOrderIndex);
        std::vector<int32_t> out;
        std::vector<uint8_t> r(size_t(c->GetRecordSize()));
        c->First();
        while (c->GetNextRecord(r.data()) == 0) {
            uint8_t v[256];
            bool blank = false;
            c->GetField(field, r.data(), blank, v);
            out.push_back(blank ? -999 : bytes::GetI32(v));
        }
        return out;
    }

    TScratchDir Scratch{"zelto-sql"};
    std::unique_ptr<TDataSession> Session;
    TDataDirectory* Database = nullptr;
};

}  // namespace sqltest
