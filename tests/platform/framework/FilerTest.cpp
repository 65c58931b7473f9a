#include <gtest/gtest.h>

#include "platform/framework/Filer.h"

namespace {

// A component storing one string list under "Items".
class ListHolder : public TComponent {
public:
    using TComponent::TComponent;
    std::vector<std::string> items;
    bool loadingSeen = false;

    void DefineProperties(TFiler* Filer) override {
        TComponent::DefineProperties(Filer);
        Filer->DefineProperty(
            "Items",
            [this](TReader* r) {
                loadingSeen = HasState(csLoading);
                items.clear();
                r->ReadListBegin();
                while (!r->EndOfList()) items.push_back(r->ReadString());
                r->ReadListEnd();
            },
            [this](TWriter* w) {
                w->WriteListBegin();
                for (const auto& s : items) w->WriteString(s);
                w->WriteListEnd();
            },
            !items.empty());
    }
};

std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int x : b) s.push_back(static_cast<char>(x));
    return s;
}

TEST(Filer, BinaryLayout) {
    ListHolder h(nullptr);
    h.items = {"ab", ""};
    TStringStream s;
    WriteComponentProperties(&h, s);
    std::string want = Bytes({5, 0, 0, 0}) + "Items" + Bytes({1, 2, 2, 0, 0, 0}) + "ab" +
                       Bytes({2, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(s.DataString(), want);

    ListHolder r(nullptr);
    s.SetPosition(0);
    ReadComponentProperties(&r, s);
    EXPECT_EQ(r.items, h.items);
    EXPECT_TRUE(r.loadingSeen);
    EXPECT_FALSE(r.HasState(csLoading));
}

TEST(Filer, PropertyNamesMatchWithoutCase) {
    TStringStream s(Bytes({5, 0, 0, 0}) + "iTEMS" + Bytes({1, 2, 1, 0, 0, 0}) + "x" + Bytes({0, 0, 0, 0, 0}));
    ListHolder r(nullptr);
    r.items = {"old"};
    ReadComponentProperties(&r, s);
    EXPECT_EQ(r.items, std::vector<std::string>{"x"});
    EXPECT_EQ(s.Position(), s.Size());
}

TEST(Filer, MalformedDataRaises) {
    const std::string items = Bytes({5, 0, 0, 0}) + "Items";
    const std::string cases[] = {
        Bytes({5, 0, 0, 0}) + "Other" + Bytes({1, 0, 0, 0, 0, 0}),  // unknown property
        items + Bytes({2, 0, 0, 0, 0}),                             // string where a list belongs
        items + Bytes({1, 2, 0xff, 0xff, 0xff, 0x7f}) + "x",        // length beyond the data
        items + Bytes({1, 2, 3, 0, 0}),                             // truncated length
        items + Bytes({1, 2, 1, 0, 0, 0}) + "x",                    // list never ends
        Bytes({9, 0}),                                              // truncated name
    };
    for (const auto& c : cases) {
        ListHolder r(nullptr);
        TStringStream s(c);
        EXPECT_THROW(ReadComponentProperties(&r, s), Exception);
        EXPECT_FALSE(r.HasState(csLoading));
    }
    ListHolder r(nullptr);
    TStringStream s(cases[0]);
    EXPECT_THROW(ReadComponentProperties(&r, s), EReadError);
}

}  // namespace
