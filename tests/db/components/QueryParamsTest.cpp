// Query parameters: markers in the text, native value forms and the stored "Data" form.
#include <gtest/gtest.h>

#include "db/components/ZIZIVUQuery.h"
#include "db/storage/Encodings.h"
#include "platform/rtl/ByteCodec.h"
#include "platform/rtl/DateFormat.h"
#include "tests/support/ExpectError.h"

namespace {

std::string Hex(const std::string& b) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : b) {
        if (!out.empty()) out += ' ';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int c : b) s += char(c);
    return s;
}

std::vector<std::string> NamesOf(const TZIZIVUParams& p) {
    std::vector<std::string> out;
    for (int i = 0; i < p.GetCount(); ++i) out.push_back(p.RawItems(i)->Name());
    return out;
}

TEST(QueryMarkersTest, MarkersBecomeQuestionMarks) {
    struct Case {
        const char* text;
        const char* expected;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {"select * from t where a = :a and b = ':b' and c = :c",
         "select * from t where a = ? and b = ':b' and c = ?",
         {"a", "c"}},
        {"select a::b from t", "select a:b from t", {}},
        {"where x = :\"my p\" and y = 1", "where x = ? and y = 1", {"my p"}},
        {"where x = :'q p'", "where x = ?", {"q p"}},
        {"values(:a,:b);", "values(?,?);", {"a", "b"}},
        {"a = :p\r\nand b = :p", "a = ?\r\nand b = ?", {"p", "p"}},
        {"a = :p\nb", "a = ?\nb", {"p"}},
        // Either quote kind toggles the literal state, whatever opened it.
        {"where \"it's\" = :x", "where \"it's\" = :x", {}},
        // "::" gives one colon and the walk goes on after it.
        {"x:::a", "x:?", {"a"}},
        {"x = '10:30' and y = :t", "x = '10:30' and y = ?", {"t"}},
        {"", "", {}},
    };
    for (const Case& c : cases) {
        TZIZIVUParams list;
        EXPECT_EQ(c.expected, TZIZIVUQuery::CreateParams(&list, c.text)) << c.text;
        EXPECT_EQ(c.names, NamesOf(list)) << c.text;
        for (int i = 0; i < list.GetCount(); ++i) {
            EXPECT_EQ(ftUnknown, list.RawItems(i)->DataType());
            EXPECT_EQ(ptUnknown, list.RawItems(i)->ParamType());
        }
        EXPECT_EQ(c.expected, TZIZIVUQuery::CreateParams(nullptr, c.text)) << c.text;
    }
}

TEST(QueryParamsTest, RepeatedNamesShareTheFirstOne) {
    TZIZIVUParams list;
    TZIZIVUQuery::CreateParams(&list, "a = :P or b = :p or c = :q");
    ASSERT_EQ(3, list.GetCount());
    EXPECT_EQ(list.Items(0), list.Items(1));
    EXPECT_NE(list.RawItems(1), list.Items(1));
    EXPECT_EQ(list.RawItems(2), list.Items(2));
    EXPECT_EQ(list.RawItems(0), list.ParamByName("p"));
    ExpectError([&] { list.ParamByName("r"); }, "Parameter 'r' not found");

    // AssignValues takes only exactly equal names.
    TZIZIVUParams other;
    other.CreateParam(ftUnknown, "p", ptInput)->SetAsInteger(1);
    other.CreateParam(ftUnknown, "P", ptInput)->SetAsInteger(2);
    other.CreateParam(ftUnknown, "q", ptInput)->SetAsString("x");
    list.AssignValues(&other);
    EXPECT_EQ(2, list.RawItems(0)->AsInteger());
    EXPECT_EQ(ptInput, list.RawItems(0)->ParamType());
    EXPECT_EQ(1, list.RawItems(1)->AsInteger());
    EXPECT_EQ("x", list.RawItems(2)->AsString());

    // The stored form carries the first one's value at each position of the name.
    TZIZIVUParams copy;
    copy.LoadFromBytes(list.SaveToBytes());
    EXPECT_EQ(2, copy.RawItems(1)->AsInteger());
    EXPECT_FALSE(copy.IsEqual(&list));
    copy.Assign(&list);
    EXPECT_TRUE(copy.IsEqual(&list));
}

TEST(QueryParamsTest, NativeForms) {
    const TDateTime day = EncodeDate(2000, 1, 1);
    struct Case {
        const char* what;
        std::function<void(TZIZIVUParam&)> set;
        TFieldType type;
        std::string bytes;
    };
    auto f64 = [](double v) {
        std::string s(8, '\0');
        bytes::PutF64(reinterpret_cast<uint8_t*>(s.data()), v);
        return s;
    };
    auto i64 = [](int64_t v) {
        std::string s(8, '\0');
        bytes::PutI64(reinterpret_cast<uint8_t*>(s.data()), v);
        return s;
    };
    const Case cases[] = {
        {"string", [](TZIZIVUParam& p) { p.SetAsString("ab"); }, ftString, Bytes({'a', 'b', 0})},
        {"memo", [](TZIZIVUParam& p) { p.SetAsMemo(""); }, ftMemo, Bytes({0})},
        {"smallint", [](TZIZIVUParam& p) { p.SetAsSmallInt(-2); }, ftSmallint, Bytes({0xFE, 0xFF})},
        {"word", [](TZIZIVUParam& p) { p.SetAsWord(0x1234); }, ftWord, Bytes({0x34, 0x12})},
        {"boolean", [](TZIZIVUParam& p) { p.SetAsBoolean(true); }, ftBoolean, Bytes({1, 0})},
        {"integer", [](TZIZIVUParam& p) { p.SetAsInteger(-2); }, ftInteger, Bytes({0xFE, 0xFF, 0xFF, 0xFF})},
        // Day 730120 is 2000-01-01.
        {"date", [&](TZIZIVUParam& p) { p.SetAsDate(day); }, ftDate, Bytes({0x08, 0x24, 0x0B, 0x00})},
        // 12:00 is 43,200,000 ms.
        {"time", [](TZIZIVUParam& p) { p.SetAsTime(0.5); }, ftTime, Bytes({0x00, 0x2E, 0x93, 0x02})},
        {"float", [](TZIZIVUParam& p) { p.SetAsFloat(1.5); }, ftFloat, f64(1.5)},
        {"currency", [](TZIZIVUParam& p) { p.SetAsCurrency(2.25); }, ftCurrency, f64(2.25)},
        {"bcd", [](TZIZIVUParam& p) { p.SetAsBCD(Currency::FromUnits(123500)); }, ftBCD,
         i64(EncodeBCD(4, Currency::FromUnits(123500)))},
        {"date-time", [&](TZIZIVUParam& p) { p.SetAsDateTime(day + 0.5); }, ftDateTime,
         f64(730120.0 * 86400000 + 43200000)},
        {"blob", [](TZIZIVUParam& p) { p.SetAsBlob(std::string("\0\1\2", 3)); }, ftBlob, Bytes({0, 1, 2})},
    };
    for (const Case& c : cases) {
        TZIZIVUParam p(nullptr, "p");
        c.set(p);
        EXPECT_EQ(c.type, p.DataType()) << c.what;
        EXPECT_TRUE(p.Bound()) << c.what;
        EXPECT_FALSE(p.IsNull()) << c.what;
        ASSERT_EQ(int32_t(c.bytes.size()), p.GetDataSize()) << c.what;
        std::string got(c.bytes.size(), '\x55');
        p.GetData(got.data());
        EXPECT_EQ(Hex(c.bytes), Hex(got)) << c.what;
        // And back.
        TZIZIVUParam q(nullptr, "q", c.type);
        q.SetData(got.data(), int32_t(got.size()));
        EXPECT_TRUE(q.Value() == p.Value()) << c.what;
    }
    EXPECT_EQ(Currency::FromUnits(123500), [] {
        TZIZIVUParam p(nullptr, "p", ftBCD);
        uint8_t b[8];
        bytes::PutI64(b, EncodeBCD(4, Currency::FromUnits(123500)));
        p.SetData(b, 8);
        return p.AsBCD();
    }());

    // A value its type cannot hold is refused, not cut to the type's width.
    for (auto [type, value] : {std::pair<TFieldType, int64_t>{ftSmallint, 40000},
                               {ftWord, 70000},
                               {ftWord, -1},
                               {ftInteger, 4294967297LL}}) {
        TZIZIVUParam p(nullptr, "n", type);
        ExpectError([&] { p.SetValue(TVariant(value)); }, "Value of field 'n' is out of range");
        EXPECT_TRUE(p.IsNull()) << value;
    }

    TZIZIVUParam unknown(nullptr, "u");
    ExpectError([&] { unknown.GetDataSize(); }, "Field 'u' is of unknown type");
    TZIZIVUParam large(nullptr, "l", ftLargeint);
    ExpectError([&] { large.GetDataSize(); }, "Field 'l' is of an unsupported type");
    // A null date reads 0; Clear empties the value.
    TZIZIVUParam d(nullptr, "d");
    d.SetAsDate(day);
    d.Clear();
    EXPECT_TRUE(d.IsNull());
    EXPECT_EQ(0, d.AsDateTime());
    EXPECT_TRUE(d.Value().IsNull());
}

TEST(QueryParamsTest, StoredFormByteForByte) {
    TZIZIVUParams list;
    list.CreateParam(ftUnknown, "id", ptInput)->SetAsInteger(7);
    list.CreateParam(ftUnknown, "x", ptUnknown);
    TZIZIVUParam* s = list.CreateParam(ftString, "s", ptOutput);
    s->SetAsString("hi");
    s->Clear();
    const std::string expected = Bytes({
        0x01, 0x00,                                            // version 1
        0x03, 0x00,                                            // three parameters
        0x02, 'i',  'd',  0x01, 0x03, 0x04, 0x00,              // "id", input, integer, 4 bytes
        0x07, 0x00, 0x00, 0x00, 0x00, 0x01,                    // 7, not null, bound
        0x01, 'x',  0x00, 0x00, 0x01, 0x00,                    // "x": no type, no value; null, unbound
        0x01, 's',  0x02, 0x01, 0x01, 0x00, 0x00, 0x01, 0x01,  // "s", output, string, ""; null, bound
    });
    EXPECT_EQ(Hex(expected), Hex(list.SaveToBytes()));

    TZIZIVUParams back;
    back.LoadFromBytes(list.SaveToBytes());
    EXPECT_TRUE(back.IsEqual(&list));
    EXPECT_EQ(7, back.ParamByName("id")->AsInteger());
    EXPECT_TRUE(back.ParamByName("s")->IsNull());
    EXPECT_TRUE(back.ParamByName("s")->Bound());

    // Through the form stream as the binary property "Data".
    TMemoryStream stream;
    TWriter writer(stream);
    list.DefineProperties(&writer);
    stream.SetPosition(0);
    TReader reader(stream);
    TZIZIVUParams read;
    reader.BeginProperty(reader.ReadPropName());
    read.DefineProperties(&reader);
    EXPECT_TRUE(reader.PropHandled());
    EXPECT_TRUE(read.IsEqual(&list));
    // Nothing is written for an empty list, or for one equal to the ancestor's.
    TMemoryStream none;
    TWriter w2(none);
    TZIZIVUParams empty;
    empty.DefineProperties(&w2);
    w2.SetAncestor(&read);
    list.DefineProperties(&w2);
    EXPECT_EQ(0, none.Size());
    w2.SetAncestor(&empty);
    empty.DefineProperties(&w2);
    EXPECT_EQ(0, none.Size());
}

TEST(QueryParamsTest, ValuesAboveTheLimitAreNotSaved) {
    TZIZIVUParams list;
    list.CreateParam(ftUnknown, "big", ptInput)->SetAsString(std::string(3000, 'x'));
    ExpectError([&] { list.SaveToBytes(); }, "Parameter 'big', cannot save data larger than 2048 bytes");
    // 2047 characters and the terminator fit exactly.
    list.ParamByName("big")->SetAsString(std::string(2047, 'y'));
    TZIZIVUParams back;
    back.LoadFromBytes(list.SaveToBytes());
    EXPECT_EQ(std::string(2047, 'y'), back.ParamByName("big")->AsString());
    list.ParamByName("big")->SetAsBlob(std::string(2049, 'z'));
    ExpectError([&] { list.SaveToBytes(); }, "cannot save data larger than 2048 bytes");
}

TEST(QueryParamsTest, LongNamesAreSavedAsVersion2) {
    TZIZIVUParams list;
    const std::string name(300, 'n');
    list.CreateParam(ftUnknown, name, ptInput)->SetAsSmallInt(5);
    const std::string data = list.SaveToBytes();
    EXPECT_EQ(Hex(Bytes({0x02, 0x00, 0x01, 0x00, 0x00, 0x00, 0x2C, 0x01, 0x00, 0x00})),
              Hex(data.substr(0, 10)));
    EXPECT_EQ(Hex(Bytes({0x01, 0x02, 0x02, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x01})),
              Hex(data.substr(310)));
    TZIZIVUParams back;
    back.LoadFromBytes(data);
    ASSERT_EQ(1, back.GetCount());
    EXPECT_EQ(name, back.RawItems(0)->Name());
    EXPECT_EQ(5, back.RawItems(0)->AsInteger());
    // Short names keep version 1.
    list.RawItems(0)->SetName(std::string(255, 'n'));
    EXPECT_EQ(1, list.SaveToBytes()[0]);
}

TEST(QueryParamsTest, BadStoredFormsAreRefused) {
    // Version 0 is read like version 1.
    const std::string good = Bytes({0, 0, 1, 0, 1, 'a', 1, 3, 4, 0, 9, 0, 0, 0, 0, 1});
    struct Case {
        const char* what;
        std::string data;
    };
    const Case cases[] = {
        {"empty", ""},
        {"version 3", Bytes({3, 0, 0, 0})},
        {"no count", Bytes({1, 0})},
        {"count beyond the data", Bytes({1, 0, 2, 0, 1, 'a', 0, 0, 1, 0})},
        {"version 2 count of 2^32-1", Bytes({2, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0, 'a', 0, 0, 1, 0})},
        {"version 2 name length beyond the data",
         Bytes({2, 0, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 'a', 0, 0, 1, 0})},
        {"name cut short", Bytes({1, 0, 1, 0, 9, 'a', 'b', 0, 0, 1, 0})},
        {"value size above 2048",
         [] {
             std::string s = Bytes({1, 0, 1, 0, 1, 'a', 1, 15, 0xB8, 0x0B});
             return s + std::string(3000, 'x') + Bytes({0, 1});
         }()},
        {"version 2 value size of 2^32-1",
         Bytes({2, 0, 1, 0, 0, 0, 1, 0, 0, 0, 'a', 1, 15, 0xFF, 0xFF, 0xFF, 0xFF, 0, 1})},
        {"value beyond the data", Bytes({1, 0, 1, 0, 1, 'a', 1, 3, 8, 0, 1, 2, 3})},
        {"flags missing", Bytes({1, 0, 1, 0, 1, 'a', 1, 3, 4, 0, 9, 0, 0, 0, 0})},
        {"unknown data type", Bytes({1, 0, 1, 0, 1, 'a', 1, 200, 0, 0, 0, 1})},
        {"unknown direction", Bytes({1, 0, 1, 0, 1, 'a', 9, 0, 1, 0})},
        {"type without a stored form",
         Bytes({1, 0, 1, 0, 1, 'a', 1, ftLargeint, 8, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1})},
        {"decimal beyond the BCD form",
         Bytes({1, 0, 1, 0, 1, 'a', 1, ftBCD, 8, 0, 0x01, 0x00, 0x01, 0x04, 0x02, 0x00, 0x34, 0x12, 0, 1})},
        {"date before day 1", Bytes({1, 0, 1, 0, 1, 'a', 1, ftDate, 4, 0, 0, 0, 0, 0, 0, 1})},
    };
    for (const Case& c : cases) {
        TZIZIVUParams list;
        list.LoadFromBytes(good);
        ExpectError([&] { list.LoadFromBytes(c.data); }, "Unable to load bind parameters");
        // The list is as it was.
        ASSERT_EQ(1, list.GetCount()) << c.what;
        EXPECT_EQ(9, list.RawItems(0)->AsInteger()) << c.what;
    }
    // A string without its terminator ends at its stored size.
    TZIZIVUParams list;
    list.LoadFromBytes(Bytes({1, 0, 1, 0, 1, 's', 1, ftString, 2, 0, 'o', 'k', 0, 1}));
    EXPECT_EQ("ok", list.RawItems(0)->AsString());
    // A short fixed form reads zeros beyond its stored size.
    list.LoadFromBytes(Bytes({1, 0, 1, 0, 1, 'i', 1, ftInteger, 1, 0, 5, 0, 1}));
    EXPECT_EQ(5, list.RawItems(0)->AsInteger());
}

TEST(QueryParamsTest, AssignFieldAndAssign) {
    TZIZIVUParam source(nullptr, "src", ftUnknown, ptInput);
    source.SetAsFloat(2.5);
    TZIZIVUParam p(nullptr, "p");
    p.Assign(&source);
    EXPECT_EQ("p", p.Name());
    EXPECT_EQ(ftFloat, p.DataType());
    EXPECT_EQ(2.5, p.AsFloat());
    EXPECT_EQ(ptInput, p.ParamType());
    // The direction stays once known.
    TZIZIVUParam out(nullptr, "o", ftUnknown, ptOutput);
    out.Assign(&source);
    EXPECT_EQ(ptOutput, out.ParamType());
}

}  // namespace
