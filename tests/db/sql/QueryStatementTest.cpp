// The statement model: defaults and reset, the query component's calls, parameters and
// the position after a statement.
#include <cstring>

#include "SqlTestSupport.h"

using namespace sqltest;

namespace {

using QueryStatementTest = SqlParseTest;

TEST_F(QueryStatementTest, NewStatementDefaults) {
    TQueryStatement s(nullptr);
    ASSERT_EQ(s.QueryCount(), 1);
    TDataQuery* q = s.MainQuery();
    EXPECT_EQ(s.Query(0), q);
    EXPECT_EQ(q->Owner(), &s);
    EXPECT_EQ(q->Clauses().Kind, skNone);
    EXPECT_EQ(q->MaxRowCount(), -1);
    EXPECT_EQ(q->Clauses().Options.BlobBlockSize, 512);
    EXPECT_EQ(q->PlanText(), "");  // no plan, no ORDER BY index
    EXPECT_EQ(q->Clauses().Options.UserMajorVersion, 1);
    EXPECT_EQ(q->Clauses().Options.UserMinorVersion, 0);
    EXPECT_EQ(q->Clauses().Options.LastAutoInc, -1);
    EXPECT_EQ(q->Clauses().Options.CommitInterval, 0);
    EXPECT_FALSE(q->RequestLive());
    EXPECT_EQ(s.GetExecutionTime(), 0);
    EXPECT_EQ(s.GetRowsAffected(), 0);
}

TEST_F(QueryStatementTest, ParsingAgainResetsAllButTheCallersSettings) {
    TQueryStatement s(nullptr);
    s.SetRequestLive(true);
    s.SetMaxRowCount(25);
    int progress = 0, passwords = 0;
    s.SetProgressEvent([&](TObject*, int32_t, uint16_t, bool&) { ++progress; });
    s.SetPasswordEvent([&] { return ++passwords > 0; });
    s.Parse(
        "CREATE TABLE t (a INTEGER, BLOB BLOCK SIZE 2048 ENCRYPTED WITH 'p' USER MAJOR VERSION 4 USER MINOR "
        "VERSION 2)");
    TDataQuery* q = s.MainQuery();
    EXPECT_EQ(q->Clauses().Options.BlobBlockSize, 2048);
    s.Parse("SELECT a FROM t ORDER BY a");
    EXPECT_EQ(q->Clauses().Kind, skSelect);
    EXPECT_TRUE(q->Clauses().CreateFields.empty());
    EXPECT_TRUE(q->Clauses().TargetTableName.empty());
    EXPECT_EQ(q->Clauses().Options.BlobBlockSize, 512);
    EXPECT_EQ(q->Clauses().Options.UserMajorVersion, 1);
    EXPECT_FALSE(q->Clauses().Options.BlobBlockSizeGiven);
    EXPECT_FALSE(q->Clauses().Options.Encrypted);
    EXPECT_EQ(q->Clauses().ResultFields.size(), 1u);
    EXPECT_TRUE(q->RequestLive());
    EXPECT_EQ(q->MaxRowCount(), 25);
    bool abort = false;
    q->DoProgress(1, 50, abort);
    EXPECT_EQ(progress, 1);
    ASSERT_TRUE(q->OnPassword);
    EXPECT_TRUE(q->OnPassword());
}

TEST_F(QueryStatementTest, ParseReturnsThePositionAfterTheStatement) {
    TQueryStatement s(nullptr);
    EXPECT_EQ(s.Parse("SELECT a FROM t"), 15);
    EXPECT_EQ(s.Parse("SELECT a FROM t;  "), 18);
    EXPECT_EQ(s.Parse("DROP TABLE t ; /* done */"), 25);
}

TEST_F(QueryStatementTest, ReparsingDropsTheSubSelectsOfTheEarlierText) {
    TQueryStatement s(nullptr);
    s.Parse("SELECT * FROM t WHERE a IN (SELECT b FROM u)");
    EXPECT_EQ(s.QueryCount(), 2);
    s.Parse("SELECT * FROM t");
    EXPECT_EQ(s.QueryCount(), 1);
}

// A record as the query component lays it out: per value a flag byte and the stored bytes.
struct TParamRecord {
    std::vector<TQueryStatement::TParamValue> Fields;
    std::vector<uint8_t> Bytes;

    void Add(uint8_t type, const void* value, int32_t size, bool isNull = false, uint8_t decimals = 0) {
        TQueryStatement::TParamValue f;
        f.DataType = type;
        f.DataSize = size;
        f.Decimals = decimals;
        f.Offset = static_cast<int32_t>(Bytes.size());
        Fields.push_back(f);
        Bytes.push_back(isNull ? 0 : 1);
        const auto* p = static_cast<const uint8_t*>(value);
        Bytes.insert(Bytes.end(), p, p + size);
    }
    void AddBlob(const std::string& data) {
        TQueryStatement::TParamValue f;
        f.DataType = dtBlob;
        f.SubType = 22;
        f.Offset = static_cast<int32_t>(Bytes.size());
        Fields.push_back(f);
        Bytes.push_back(1);
        uint32_t length = static_cast<uint32_t>(data.size());
        const char* address = data.data();
        Bytes.insert(Bytes.end(), reinterpret_cast<uint8_t*>(&length),
                     reinterpret_cast<uint8_t*>(&length) + 4);
        Bytes.insert(Bytes.end(), reinterpret_cast<uint8_t*>(&address),
                     reinterpret_cast<uint8_t*>(&address) + sizeof address);
    }
};

TEST_F(QueryStatementTest, ParametersTakeTheirValuesByPosition) {
    auto s = Parse("UPDATE t SET a = ?, b = ?, m = ? WHERE c = ? AND d IN (SELECT e FROM u WHERE f = ?)");
    ASSERT_EQ(s->ParamCount(), 5);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(s->Param(i)->IsParameter, 1);
    // The markers in text order, the sub-select's last.
    TDataQuery* q = s->MainQuery();
    EXPECT_EQ(s->Param(0), q->Clauses().UpdateValues[0]->Expression.get());
    EXPECT_EQ(s->Param(3), q->Clauses().Where->First->Second);

    TParamRecord r;
    int32_t i32 = 42;
    r.Add(dtInteger, &i32, 4);
    r.Add(dtString, "abc", 4);
    const std::string memo = "a long memo";
    r.AddBlob(memo);
    int32_t garbage = 7;
    r.Add(dtInteger, &garbage, 4, true);
    s->SetParams(4, r.Fields.data(), r.Bytes.data());

    EXPECT_EQ(s->Param(0)->DataType, dtInteger);
    EXPECT_EQ(s->Param(0)->Get<int32_t>(), 42);
    EXPECT_EQ(s->Param(0)->IsNull, 0);
    EXPECT_STREQ(s->Param(1)->Str(), "abc");
    EXPECT_EQ(s->Param(1)->DataSize, 4u);
    EXPECT_EQ(s->Param(2)->DataType, dtBlob);
    // Its bytes and a terminator, as a string's value has.
    EXPECT_EQ(s->Param(2)->DataSize, memo.size() + 1);
    EXPECT_STREQ(s->Param(2)->Str(), memo.c_str());
    EXPECT_EQ(s->Param(3)->IsNull, 1);  // flag byte 0, whatever the bytes
    // Fewer values than markers: the rest keep what they had.
    EXPECT_EQ(s->Param(4)->DataType, 0);

    i32 = 43;
    TParamRecord more;
    for (int k = 0; k < 6; ++k) more.Add(dtInteger, &i32, 4);
    try {
        s->SetParams(6, more.Fields.data(), more.Bytes.data());
        FAIL() << "more values than markers";
    } catch (const EZIZIVUEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), ZIZIVU_SQLERROR);
        EXPECT_EQ(e.Message(), SqlErrorPrefix + "Internal parameter error");
    }
    EXPECT_EQ(s->Param(4)->Get<int32_t>(), 43);
}

// The query component's field descriptors serve as they are.
TEST_F(QueryStatementTest, ParametersFromDescriptors) {
    struct TDescriptor {
        uint8_t DataType, SubType, DataSize, Decimals;
        uint16_t Offset;
    };
    auto s = Parse("SELECT * FROM t WHERE a = ?");
    const TDescriptor d[] = {{dtSmallInt, 0, 2, 0, 3}};
    const uint8_t record[] = {9, 9, 9, 1, 0x34, 0x12};
    s->SetParams(1, d, record);
    EXPECT_EQ(s->Param(0)->DataType, dtSmallInt);
    EXPECT_EQ(s->Param(0)->Get<int16_t>(), 0x1234);
}

}  // namespace
