// TStringList: order, duplicates, name=value pairs, text forms and change events.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <random>

#include "platform/rtl/Classes.h"
#include "platform/rtl/SysUtils.h"
#include "tests/support/ScratchDir.h"

namespace {

std::vector<std::string> Lines(const TStrings& s) {
    std::vector<std::string> v;
    for (int i = 0; i < s.Count(); ++i) v.push_back(s[i]);
    return v;
}

using V = std::vector<std::string>;

template <class E>
void ExpectMessage(const std::function<void()>& fn, const std::string& msg) {
    try {
        fn();
        ADD_FAILURE() << "no exception, expected: " << msg;
    } catch (const E& e) {
        EXPECT_EQ(e.Message(), msg);
    }
}

TEST(StringListTest, UnsortedEditingAndIndexErrors) {
    TStringList l;
    EXPECT_EQ(l.Add("b"), 0);
    EXPECT_EQ(l.Add("a"), 1);
    l.Insert(0, "c");
    l.Insert(3, "d");
    EXPECT_EQ(Lines(l), (V{"c", "b", "a", "d"}));
    l.Put(1, "B");
    l.Delete(0);
    EXPECT_EQ(Lines(l), (V{"B", "a", "d"}));
    EXPECT_EQ(l.IndexOf("b"), 0);
    EXPECT_EQ(l.IndexOf("D"), 2);
    EXPECT_EQ(l.IndexOf("x"), -1);
    l.SetCaseSensitive(true);
    EXPECT_EQ(l.IndexOf("b"), -1);
    EXPECT_EQ(l.IndexOf("B"), 0);
    ExpectMessage<EListError>([&] { l.Get(3); }, "List index out of bounds (3)");
    ExpectMessage<EListError>([&] { l.Delete(-1); }, "List index out of bounds (-1)");
    ExpectMessage<EListError>([&] { l.Insert(5, "x"); }, "List index out of bounds (5)");
    ExpectMessage<EListError>([&] { l.PutObject(3, nullptr); }, "List index out of bounds (3)");
}

TEST(StringListTest, SortedDuplicatesPolicies) {
    TStringList l;
    l.SetSorted(true);
    EXPECT_EQ(l.Add("m"), 0);
    EXPECT_EQ(l.Add("c"), 0);
    EXPECT_EQ(l.Add("x"), 2);
    EXPECT_EQ(l.Add("E"), 1);
    EXPECT_EQ(Lines(l), (V{"c", "E", "m", "x"}));
    // dupIgnore: the existing index, nothing added.
    EXPECT_EQ(l.Add("e"), 1);
    EXPECT_EQ(l.Count(), 4);
    int idx = -1;
    EXPECT_TRUE(l.Find("M", idx));
    EXPECT_EQ(idx, 2);
    EXPECT_FALSE(l.Find("d", idx));
    EXPECT_EQ(idx, 1);
    EXPECT_EQ(l.IndexOf("X"), 3);
    l.SetDuplicates(dupError);
    ExpectMessage<EListError>([&] { l.Add("C"); }, "String list does not allow duplicates");
    EXPECT_EQ(l.Count(), 4);
    l.SetDuplicates(dupAccept);
    l.Add("m");
    EXPECT_EQ(Lines(l), (V{"c", "E", "m", "m", "x"}));
    ExpectMessage<EListError>([&] { l.Insert(0, "a"); }, "Operation not allowed on sorted list");
    ExpectMessage<EListError>([&] { l.Put(0, "a"); }, "Operation not allowed on sorted list");
}

TEST(StringListTest, SortingOnDemandAndCaseSensitivity) {
    TStringList l;
    l.SetText("b\nB\na\n");
    l.SetSorted(true);
    EXPECT_EQ(Lines(l), (V{"a", "b", "B"}));
    l.SetCaseSensitive(true);  // re-sorted by byte order
    EXPECT_EQ(Lines(l), (V{"B", "a", "b"}));
    EXPECT_EQ(l.IndexOf("b"), 2);
    l.SetSorted(false);
    l.Add("A");
    EXPECT_EQ(l[3], "A");
}

TEST(StringListTest, NameValuePairs) {
    TStringList l;
    l.Add("Speed=12");
    l.Add("plain");
    l.Add("Formula=a=b");
    EXPECT_EQ(l.Values("speed"), "12");
    EXPECT_EQ(l.Values("FORMULA"), "a=b");
    EXPECT_EQ(l.Values("plain"), "");
    EXPECT_EQ(l.IndexOfName("plain"), -1);
    EXPECT_EQ(l.IndexOfName("formula"), 2);
    EXPECT_EQ(l.Names(0), "Speed");
    EXPECT_EQ(l.Names(1), "");
    EXPECT_EQ(l.ValueFromIndex(1), "");
    EXPECT_EQ(l.ValueFromIndex(2), "a=b");
    l.SetValues("SPEED", "13");
    EXPECT_EQ(l[0], "SPEED=13");
    l.SetValues("Power", "250");
    EXPECT_EQ(l[3], "Power=250");
    l.SetValues("speed", "");
    EXPECT_EQ(Lines(l), (V{"plain", "Formula=a=b", "Power=250"}));
    l.SetValues("absent", "");
    EXPECT_EQ(l.Count(), 3);
}

// The name lookup of a sorted list (form fields, say) finds what a walk over the lines finds,
// in both cases of CaseSensitive, with no more than a binary search's comparisons: a form of
// many thousand fields must not cost a walk of all fields per lookup.
TEST(StringListTest, NamesOfASortedListAreFoundByBinarySearch) {
    struct TCountingList : TStringList {
        mutable int Comparisons = 0;
        int CompareStrings(const std::string& a, const std::string& b) const override {
            ++Comparisons;
            return TStringList::CompareStrings(a, b);
        }
    };
    std::mt19937 rng(5);
    const std::string alphabet = "aAb=1";
    auto draw = [&](size_t maxLength) {
        std::string s(rng() % (maxLength + 1), ' ');
        for (char& c : s) c = alphabet[rng() % alphabet.size()];
        return s;
    };
    for (bool caseSensitive : {false, true}) {
        for (int round = 0; round < 40; ++round) {
            TStringList l;
            l.SetCaseSensitive(caseSensitive);
            l.SetSorted(true);
            l.SetDuplicates(dupAccept);
            for (int i = 0, n = static_cast<int>(rng() % 30); i < n; ++i) l.Add(draw(5));
            for (int k = 0; k < 30; ++k) {
                const std::string name = draw(3);
                int expected = -1;
                for (int i = 0; i < l.Count() && expected < 0; ++i) {
                    const size_t eq = l[i].find('=');
                    if (eq == std::string::npos) continue;
                    const std::string lineName = l[i].substr(0, eq);
                    if (caseSensitive ? lineName == name : SameText(lineName, name)) expected = i;
                }
                ASSERT_EQ(l.IndexOfName(name), expected) << "name \"" << name << "\" in " << l.CommaText();
            }
        }
    }
    TCountingList fields;
    fields.SetSorted(true);
    for (int i = 0; i < 1000; ++i) fields.Add("v" + std::to_string(i) + "=" + std::to_string(i));
    fields.Comparisons = 0;
    EXPECT_EQ(fields.ValueFromIndex(fields.IndexOfName("V999")), "999");
    EXPECT_EQ(fields.IndexOfName("v1000"), -1);
    EXPECT_LE(fields.Comparisons, 30);
}

TEST(StringListTest, TextJoinsAndSplits) {
    TStringList l;
    l.Add("a");
    l.Add("");
    l.Add("b");
    EXPECT_EQ(l.Text(), "a\r\n\r\nb\r\n");
    struct {
        const char* text;
        V want;
    } cases[] = {
        {"a\r\nb\nc\rd", {"a", "b", "c", "d"}},
        {"a\r\n", {"a"}},
        {"\r\n", {""}},
        {"", {}},
        {"a\n\rb", {"a", "", "b"}},
        {"a\n\nb", {"a", "", "b"}},
    };
    for (const auto& c : cases) {
        l.SetText(c.text);
        EXPECT_EQ(Lines(l), c.want) << c.text;
    }
    l.SetText(std::string("x\0y\n", 4));
    EXPECT_EQ(l[0], std::string("x\0y", 3));
}

TEST(StringListTest, CommaText) {
    TStringList l;
    l.Add("a");
    l.Add("b c");
    l.Add("d\"e");
    l.Add("f,g");
    l.Add("");
    EXPECT_EQ(l.CommaText(), "a,\"b c\",\"d\"\"e\",\"f,g\",");
    TStringList back;
    back.SetCommaText(l.CommaText());
    EXPECT_EQ(Lines(back), Lines(l));
    struct {
        const char* text;
        V want;
    } cases[] = {
        {"a, \"b c\" ,x", {"a", "b c", "x"}},
        {"a b", {"a", "b"}},
        {"  a,,b", {"a", "", "b"}},
        {"\"unterminated", {"unterminated"}},
        {"\"a\"b", {"a", "b"}},
        {"", {}},
        {"\"\"", {""}},
    };
    for (const auto& c : cases) {
        back.SetCommaText(c.text);
        EXPECT_EQ(Lines(back), c.want) << c.text;
    }
    back.Clear();
    back.Add("");
    EXPECT_EQ(back.CommaText(), "\"\"");
}

TEST(StringListTest, ChangeEventsAroundChangesAndUpdates) {
    TStringList l;
    std::string log;
    l.OnChanging = [&](TObject* s) {
        EXPECT_EQ(s, &l);
        log += "<" + std::to_string(l.Count());
    };
    l.OnChange = [&](TObject*) { log += ">" + std::to_string(l.Count()); };
    l.Add("a");
    EXPECT_EQ(log, "<0>1");
    log.clear();
    l.BeginUpdate();
    l.Add("b");
    l.BeginUpdate();
    l.Delete(0);
    l.EndUpdate();
    l.Add("c");
    EXPECT_EQ(log, "<1");
    l.EndUpdate();
    EXPECT_EQ(log, "<1>2");
    log.clear();
    l.SetText("x\ny\nz");
    EXPECT_EQ(log, "<2>3");
    log.clear();
    TStringList empty;
    empty.OnChange = [&](TObject*) { log += "!"; };
    empty.Clear();
    EXPECT_EQ(log, "");
    // A failing change leaves the update count balanced.
    l.SetSorted(true);
    l.SetDuplicates(dupError);
    EXPECT_THROW(l.AddStrings(l), EListError);
    EXPECT_EQ(l.UpdateCount(), 0);
}

// A change handler may raise (a query's text list closes the query, whose BeforeClose may
// refuse): the error reaches whoever changed the list, which stays changed and usable.
// When the change itself fails as well, the change's error is the one reported.
TEST(StringListTest, AChangeHandlerThatRaisesReachesTheCaller) {
    TStringList l;
    bool refuse = true;
    l.OnChange = [&](TObject*) {
        if (refuse) throw EAbort("Operation aborted");
    };
    TStringList other;
    other.SetText("c\nd");
    const std::vector<std::pair<const char*, std::function<void()>>> changes = {
        {"SetText", [&] { l.SetText("a\nb"); }},
        {"SetCommaText", [&] { l.SetCommaText("a,b"); }},
        {"AddStrings", [&] { l.AddStrings(other); }},
        {"Assign", [&] { l.Assign(&other); }},
    };
    for (const auto& [name, change] : changes) {
        EXPECT_THROW(change(), EAbort) << name;
        EXPECT_EQ(l.UpdateCount(), 0) << name;
    }
    EXPECT_EQ(Lines(l), V({"c", "d"}));
    refuse = false;
    l.SetText("x");
    EXPECT_EQ(Lines(l), V({"x"}));
    other.SetSorted(true);
    other.SetDuplicates(dupError);
    other.OnChange = l.OnChange;
    refuse = true;
    EXPECT_THROW(other.AddStrings(other), EListError);
}

TEST(StringListTest, AssignCopiesLinesAndObjects) {
    TObject o1, o2;
    TStringList src;
    src.AddObject("one", &o1);
    src.AddObject("two", &o2);
    TStringList dst;
    dst.Add("old");
    dst.Assign(&src);
    EXPECT_EQ(Lines(dst), (V{"one", "two"}));
    EXPECT_EQ(dst.GetObject(0), &o1);
    EXPECT_EQ(dst.GetObject(1), &o2);
    EXPECT_TRUE(dst.Equals(src));
    dst.Put(0, "ONE");
    EXPECT_FALSE(dst.Equals(src));
    ExpectMessage<EConvertError>([&] { dst.Assign(nullptr); }, "Cannot assign a nil to a TStringList");
    TPersistent other;
    ExpectMessage<EConvertError>([&] { dst.Assign(&other); }, "Cannot assign a TPersistent to a TStringList");
    // Sorted ignoring duplicates keeps one of each.
    TStringList sorted;
    sorted.SetSorted(true);
    src.Add("ONE");
    sorted.Assign(&src);
    EXPECT_EQ(Lines(sorted), (V{"one", "two"}));
    TStringList copy(sorted);
    EXPECT_TRUE(copy.Sorted());
    copy.Add("three");
    EXPECT_EQ(Lines(copy), (V{"one", "three", "two"}));
    EXPECT_EQ(sorted.Count(), 2);
    // AddObject on a sorted list ignoring a duplicate keeps the first object.
    sorted.AddObject("one", &o2);
    EXPECT_EQ(sorted.GetObject(0), &o1);
}

TEST(StringListTest, FileRoundTrip) {
    TScratchDir dir("rtl_strings");
    std::string path = dir.File("list.txt");
    TStringList l;
    l.SetText("alpha\nbeta=2\n\ngamma");
    l.SaveToFile(path);
    TStringList r;
    r.LoadFromFile(path);
    EXPECT_EQ(Lines(r), Lines(l));
    EXPECT_EQ(r.Values("BETA"), "2");
    EXPECT_THROW(r.LoadFromFile(dir.File("missing.txt")), EFOpenError);
}

}  // namespace
