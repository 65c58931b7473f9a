#pragma once
// Shared pieces of the expression tests: a started library with fixed formats, a fake
// table whose columns bind and deliver values, and helpers to parse, check and evaluate.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "db/storage/EngineErrors.h"
#include "db/storage/ExpToken.h"
#include "db/storage/ExpressionEval.h"
#include "db/storage/ExpressionParser.h"
#include "db/storage/ExpressionValidate.h"
#include "db/storage/LanguageSettings.h"
#include "db/storage/Library.h"
#include "platform/rtl/DateFormat.h"

namespace exprtest {

struct TColumn {
    std::string Name;
    uint8_t Type;
    uint32_t Size;
    uint8_t SubType = 0;
    uint8_t Decimals = 0;
};

// One record: the stored value bytes of each column, and its NULL flag.
struct TRecord {
    std::vector<std::vector<uint8_t>> Values;
    std::vector<bool> Nulls;
};

class TFakeTable {
public:
    std::vector<TColumn> Columns;
    int BindCalls = 0;
    std::map<std::string, int> Reads;  // column name -> GetColumnValue calls

    TFakeTable() {
        Columns = {
            {"Name", dtString, 21},    {"Smith", dtString, 21},    {"Active", dtBoolean, 2},
            {"Qty", dtInteger, 4},     {"Small", dtSmallInt, 2},   {"W", dtWord, 2},
            {"Price", dtFloat, 8},     {"Amount", dtBCD, 8, 0, 2}, {"Day", dtDate, 4},
            {"Day2", dtDate, 4},       {"At", dtTime, 4},          {"At2", dtTime, 4},
            {"Stamp", dtTimeStamp, 8}, {"Stamp2", dtTimeStamp, 8}, {"Memo", dtBlob, 8, 22},
            {"Pic", dtBlob, 8, 23},    {"Raw", dtBytes, 10},       {"Cash", dtFloat, 8, fstMoney},
            {"Long", dtString, 251},
        };
    }

    int IndexOf(const std::string& name) const {
        for (size_t i = 0; i < Columns.size(); ++i)
            if (SameText(Columns[i].Name, name)) return static_cast<int>(i);
        return -1;
    }

    bool Bind(TExpToken* n) {
        ++BindCalls;
        int i = IndexOf(n->ColumnName);
        if (i < 0) return false;
        const TColumn& c = Columns[i];
        n->BindWord = static_cast<uint16_t>(i);
        n->DataType = c.Type;
        n->SubType = c.SubType;
        n->SetDataSize(c.Size);
        n->Decimals = c.Decimals;
        return true;
    }

    void Get(void* record, TExpToken* r) {
        auto* rec = static_cast<TRecord*>(record);
        const TColumn& c = Columns[r->BindWord];
        ++Reads[c.Name];
        std::memset(r->Value, 0, r->BufferSize);
        const auto& v = rec->Values[r->BindWord];
        if (static_cast<int64_t>(v.size()) > r->BufferSize) r->SetBufferSize(static_cast<int32_t>(v.size()));
        if (!v.empty()) std::memcpy(r->Value, v.data(), v.size());
        r->IsNull = rec->Nulls[r->BindWord] ? 1 : 0;
        r->DataSize = c.Size;
    }

    TBindColumnFunc Binder() {
        return [this](void*, TExpToken* n) { return Bind(n); };
    }
    TGetColumnValueFunc Getter() {
        return [this](void*, void* rec, TExpToken* r) { Get(rec, r); };
    }

    // An empty record: every column NULL.
    TRecord NewRecord() const {
        TRecord r;
        r.Values.resize(Columns.size());
        r.Nulls.assign(Columns.size(), true);
        return r;
    }
    template <class T>
    void Put(TRecord& r, const std::string& name, T v) const {
        int i = IndexOf(name);
        r.Values[i].resize(sizeof v);
        std::memcpy(r.Values[i].data(), &v, sizeof v);
        r.Nulls[i] = false;
    }
    void PutStr(TRecord& r, const std::string& name, const std::string& s) const {
        int i = IndexOf(name);
        r.Values[i].assign(s.begin(), s.end());
        r.Values[i].push_back(0);
        r.Nulls[i] = s.empty();
    }
};

inline int32_t DayOf(int y, int m, int d) {
    return DateTimeToTimeStamp(EncodeDate(y, m, d)).Date;
}
inline int32_t MsOf(int h, int n, int s, int ms = 0) {
    return ((h * 60 + n) * 60 + s) * 1000 + ms;
}
inline double StampOf(int y, int m, int d, int h, int n, int s) {
    return static_cast<double>(DayOf(y, m, d)) * MSecsPerDay + MsOf(h, n, s);
}

// The statement that owns a parser collects parameters and creates sub-selects.
class TFakeSubQuery : public TSubQuery {
public:
    int Columns = 1;
    int Rows = 0;
    std::vector<int32_t> Keys;  // the rows of the result column
    int FilterCalls = 0;
    bool FailFilter = false;  // the filter refuses (a failing sub-select)
    std::string LastFilterOp;
    void ParseSubSelect(TExpressionParser& p) override {
        // SELECT <column> FROM <table>
        p.NextToken();
        p.NextToken();
        if (p.TokenKindIs(',')) {
            p.NextToken();
            p.NextToken();
            Columns = 2;
        }
        p.NextToken();
        p.NextToken();
    }
    int32_t ResultColumnCount() override { return Columns; }
    bool BindSubQueryColumn(TExpToken* node) override {
        node->DataType = dtInteger;
        node->SetDataSize(4);
        return true;
    }
    void SetSubQueryFilter(TExpToken* cmp) override {
        ++FilterCalls;
        if (FailFilter) throw Exception("sub-select failed");
        LastFilterOp = cmp->NodeKind == nkBinary && cmp->Code == opEqual && cmp->Second->NodeKind == nkColumn
                           ? "="
                           : "?";
        Rows = 0;
        if (cmp->First->IsNull) return;
        for (int32_t k : Keys)
            if (k == cmp->First->Get<int32_t>()) ++Rows;
    }
    int32_t GetRecordCount() override { return Rows; }
};

class TFakeStatement : public TExpressionOwner {
public:
    std::vector<std::unique_ptr<TFakeSubQuery>> Queries;
    std::vector<TExpToken*> Params;
    TSubQuery* CreateSubQuery() override {
        Queries.push_back(std::make_unique<TFakeSubQuery>());
        return Queries.back().get();
    }
    void AddParameter(TExpToken* node) override { Params.push_back(node); }
};

// The library started, fixed formats (language 0) in force, and a fake table.
class ExpressionTest : public ::testing::Test {
protected:
    void SetUp() override {
        InitializeLibrary();
        FSwap.emplace(0, 0);
    }
    void TearDown() override {
        FSwap.reset();
        FinalizeLibrary();
    }

    TExpTree Parse(const std::string& text, uint8_t flags = pfExtendedPredicates,
                   TExpressionOwner* owner = nullptr) {
        TExpressionParser p(owner);
        p.SetErrorCode(ZIZIVU_FILTERERR);
        p.SetContext("filter expression");
        p.SetText(text);
        p.NextToken();
        return p.ParseExpression(flags);
    }

    // Parsed and validated as a filter would.
    TExpTree Check(const std::string& text, uint8_t flags = 31) {
        TExpTree t = Parse(text, flags, &Statement);
        ValidateExpression(ZIZIVU_FILTERERR, "", "filter expression", true, Table.Binder(), nullptr, nullptr,
                           t.get());
        return t;
    }

    TExpTree Eval(TExpToken* tree, TRecord& rec) {
        return EvaluateExpression(tree, &rec, nullptr, 0, 0, Table.Getter());
    }
    TExpTree Eval(const std::string& text, TRecord& rec) {
        TExpTree t = Check(text);
        return Eval(t.get(), rec);
    }
    TExpTree Eval(const std::string& text) {
        TRecord rec = Table.NewRecord();
        return Eval(text, rec);
    }
    // A boolean result: 1 true, 0 false.
    int Truth(const std::string& text, TRecord& rec) {
        TExpTree r = Eval(text, rec);
        EXPECT_EQ(r->IsNull, 0) << text;
        return r->Get<uint16_t>();
    }
    int Truth(const std::string& text) {
        TRecord rec = Table.NewRecord();
        return Truth(text, rec);
    }

    TFakeTable Table;
    TFakeStatement Statement;

private:
    std::optional<TLanguageSettingsSwap> FSwap;
};

// The engine error's extra text for code and table, or "(no error)".
template <class F>
std::string ErrorOf(F&& work, uint16_t code = ZIZIVU_FILTERERR) {
    try {
        work();
    } catch (const EZIZIVUEngineError& e) {
        if (e.ErrorCode() != code) return "(code " + std::to_string(e.ErrorCode()) + ")";
        return e.Errors().front().Message();
    }
    return "(no error)";
}

inline std::string Expected(const std::string& extra, uint16_t code = ZIZIVU_FILTERERR,
                            const std::string& table = "") {
    return FormatEngineErrorMessage(code, table, "", "", extra);
}

}  // namespace exprtest
