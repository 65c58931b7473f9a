// TPersistent, TStrings and TStringList with the framework's semantics.
#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <typeinfo>

#include "platform/rtl/Classes.h"
#include "platform/rtl/ScopeGuard.h"

namespace {

std::string ClassNameOf(const TObject* o) {
    if (!o) return "nil";
    const char* mangled = typeid(*o).name();
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> d(abi::__cxa_demangle(mangled, nullptr, nullptr, &status),
                                             std::free);
    return status == 0 && d ? std::string(d.get()) : std::string(mangled);
}

// Keeps BeginUpdate/EndUpdate balanced when a change raises. The end fires the change
// notification, whose handler may raise too (a dataset that refuses to close, say): as with
// any undo step, that error goes on to the caller unless another one is on its way already.
class TUpdateScope {
public:
    explicit TUpdateScope(TStrings& s) : FEnd(TEndUpdate{&s}) { s.BeginUpdate(); }

private:
    struct TEndUpdate {
        TStrings* Strings;
        void operator()() const { Strings->EndUpdate(); }
    };
    TScopeGuard<TEndUpdate> FEnd;
};

bool NeedsQuotes(const std::string& s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) <= ' ' || c == '"' || c == ',') return true;
    return false;
}

bool IsInnerBlank(char c) {
    return c != '\0' && static_cast<unsigned char>(c) <= ' ';
}

}  // namespace

// ---- TPersistent ----

void TPersistent::Assign(TPersistent* Source) {
    if (Source) {
        Source->AssignTo(this);
        return;
    }
    throw EConvertError("Cannot assign a nil to a " + ClassNameOf(this));
}

void TPersistent::AssignTo(TPersistent* Dest) {
    throw EConvertError("Cannot assign a " + ClassNameOf(this) + " to a " + ClassNameOf(Dest));
}

// ---- TStrings ----

int TStrings::CompareStrings(const std::string& a, const std::string& b) const {
    return CompareText(a, b);
}

int TStrings::Add(const std::string& s) {
    int n = Count();
    Insert(n, s);
    return n;
}

int TStrings::AddObject(const std::string& s, TObject* o) {
    int i = Add(s);
    PutObject(i, o);
    return i;
}

void TStrings::AddStrings(const TStrings& other) {
    if (&other == this) {
        TStringList copy;
        copy.AddStrings(other);
        AddStrings(copy);
        return;
    }
    TUpdateScope scope(*this);
    for (int i = 0; i < other.Count(); ++i) AddObject(other.Get(i), other.GetObject(i));
}

int TStrings::IndexOf(const std::string& s) const {
    for (int i = 0; i < Count(); ++i)
        if (CompareStrings(Get(i), s) == 0) return i;
    return -1;
}

int TStrings::IndexOfName(const std::string& name) const {
    for (int i = 0; i < Count(); ++i) {
        std::string s = Get(i);
        size_t p = s.find('=');
        if (p != std::string::npos && CompareStrings(s.substr(0, p), name) == 0) return i;
    }
    return -1;
}

std::string TStrings::Names(int index) const {
    std::string s = Get(index);
    size_t p = s.find('=');
    return p == std::string::npos ? "" : s.substr(0, p);
}

std::string TStrings::ValueFromIndex(int index) const {
    if (index < 0) return "";
    std::string s = Get(index);
    size_t p = s.find('=');
    return p == std::string::npos ? "" : s.substr(p + 1);
}

std::string TStrings::Values(const std::string& name) const {
    int i = IndexOfName(name);
    return i >= 0 ? ValueFromIndex(i) : "";
}

void TStrings::SetValues(const std::string& name, const std::string& value) {
    int i = IndexOfName(name);
    if (!value.empty()) {
        if (i < 0) i = Add("");
        Put(i, name + "=" + value);
    } else if (i >= 0) {
        Delete(i);
    }
}

std::string TStrings::Text() const {
    std::string out;
    for (int i = 0; i < Count(); ++i) {
        out += Get(i);
        out += "\r\n";
    }
    return out;
}

void TStrings::SetText(const std::string& t) {
    TUpdateScope scope(*this);
    Clear();
    size_t i = 0, n = t.size();
    while (i < n) {
        size_t start = i;
        while (i < n && t[i] != '\r' && t[i] != '\n') ++i;
        Add(t.substr(start, i - start));
        if (i < n && t[i] == '\r') ++i;
        if (i < n && t[i] == '\n') ++i;
    }
}

std::string TStrings::CommaText() const {
    int n = Count();
    if (n == 1 && Get(0).empty()) return "\"\"";
    std::string out;
    for (int i = 0; i < n; ++i) {
        std::string s = Get(i);
        if (NeedsQuotes(s)) {
            std::string q = "\"";
            for (char c : s) {
                q += c;
                if (c == '"') q += '"';
            }
            s = q + "\"";
        }
        if (i > 0) out += ',';
        out += s;
    }
    return out;
}

void TStrings::SetCommaText(const std::string& t) {
    TUpdateScope scope(*this);
    Clear();
    size_t i = 0, n = t.size();
    while (i < n && IsInnerBlank(t[i])) ++i;
    // A NUL byte ends the text, as it ends the framework's zero-terminated one.
    while (i < n && t[i] != '\0') {
        std::string s;
        if (t[i] == '"') {
            // Quoted item: "" is a quote; an unterminated quote runs to the end.
            ++i;
            while (i < n) {
                if (t[i] == '"') {
                    if (i + 1 < n && t[i + 1] == '"') {
                        s += '"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                s += t[i++];
            }
        } else {
            size_t start = i;
            while (i<n&& static_cast<unsigned char>(t[i])> ' ' && t[i] != ',') ++i;
            s = t.substr(start, i - start);
        }
        Add(s);
        while (i < n && IsInnerBlank(t[i])) ++i;
        if (i < n && t[i] == ',') {
            if (i + 1 == n || t[i + 1] == '\0') Add("");
            do {
                ++i;
            } while (i < n && IsInnerBlank(t[i]));
        }
    }
}

void TStrings::BeginUpdate() {
    if (FUpdateCount == 0) SetUpdateState(true);
    ++FUpdateCount;
}

void TStrings::EndUpdate() {
    if (FUpdateCount == 0) return;
    --FUpdateCount;
    if (FUpdateCount == 0) SetUpdateState(false);
}

void TStrings::LoadFromFile(const std::string& path) {
    TFileStream f(path, fmOpenRead | fmShareDenyNone);
    std::string data(static_cast<size_t>(f.Size()), '\0');
    if (!data.empty()) f.ReadBuffer(data.data(), static_cast<int64_t>(data.size()));
    SetText(data);
}

void TStrings::SaveToFile(const std::string& path) const {
    TFileStream f(path, fmCreate);
    std::string data = Text();
    f.WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
}

void TStrings::Assign(TPersistent* Source) {
    if (Source == this) return;
    if (auto* src = dynamic_cast<TStrings*>(Source)) {
        TUpdateScope scope(*this);
        Clear();
        AddStrings(*src);
        return;
    }
    TPersistent::Assign(Source);
}

bool TStrings::Equals(const TStrings& other) const {
    int n = Count();
    if (n != other.Count()) return false;
    for (int i = 0; i < n; ++i)
        if (Get(i) != other.Get(i)) return false;
    return true;
}

// ---- TStringList ----

TStringList::TStringList(const TStringList& o)
    : TStrings(),
      FItems(o.FItems),
      FSorted(o.FSorted),
      FCaseSensitive(o.FCaseSensitive),
      FDuplicates(o.FDuplicates) {}

TStringList& TStringList::operator=(const TStringList& o) {
    if (this == &o) return *this;
    Changing();
    FItems = o.FItems;
    FSorted = o.FSorted;
    FCaseSensitive = o.FCaseSensitive;
    FDuplicates = o.FDuplicates;
    Changed();
    return *this;
}

void TStringList::CheckIndex(int index, bool allowEnd) const {
    int limit = Count() + (allowEnd ? 1 : 0);
    if (index < 0 || index >= limit)
        throw EListError("List index out of bounds (" + std::to_string(index) + ")");
}

std::string TStringList::Get(int index) const {
    CheckIndex(index);
    return FItems[index].s;
}

void TStringList::Put(int index, const std::string& s) {
    if (FSorted) throw EListError("Operation not allowed on sorted list");
    CheckIndex(index);
    Changing();
    FItems[index].s = s;
    Changed();
}

TObject* TStringList::GetObject(int index) const {
    CheckIndex(index);
    return FItems[index].o;
}

void TStringList::PutObject(int index, TObject* o) {
    CheckIndex(index);
    Changing();
    FItems[index].o = o;
    Changed();
}

void TStringList::InsertItem(int index, const std::string& s, TObject* o) {
    Changing();
    FItems.insert(FItems.begin() + index, Item{s, o});
    Changed();
}

void TStringList::Insert(int index, const std::string& s) {
    if (FSorted) throw EListError("Operation not allowed on sorted list");
    CheckIndex(index, true);
    InsertItem(index, s, nullptr);
}

void TStringList::Delete(int index) {
    CheckIndex(index);
    Changing();
    FItems.erase(FItems.begin() + index);
    Changed();
}

void TStringList::Clear() {
    if (FItems.empty()) return;
    Changing();
    FItems.clear();
    Changed();
}

int TStringList::Add(const std::string& s) {
    return AddObject(s, nullptr);
}

int TStringList::AddObject(const std::string& s, TObject* o) {
    int index = Count();
    if (FSorted && Find(s, index)) {
        if (FDuplicates == dupIgnore) return index;
        if (FDuplicates == dupError) throw EListError("String list does not allow duplicates");
    }
    InsertItem(index, s, o);
    return index;
}

int TStringList::IndexOf(const std::string& s) const {
    if (!FSorted) return TStrings::IndexOf(s);
    int index;
    return Find(s, index) ? index : -1;
}

int TStringList::IndexOfName(const std::string& name) const {
    if (!FSorted) return TStrings::IndexOfName(name);
    // Both comparisons go byte by byte, and '=' equals only itself: a line holds the name
    // when it begins with name + '=' (a name with '=' is in no line). Such lines stand
    // together in the sorted list, from the first line that is not less than name + '='.
    if (name.find('=') != std::string::npos) return -1;
    const std::string key = name + '=';
    int index;
    Find(key, index);
    if (index < Count() && FItems[index].s.size() >= key.size() &&
        CompareStrings(FItems[index].s.substr(0, key.size()), key) == 0)
        return index;
    return -1;
}

bool TStringList::Find(const std::string& s, int& index) const {
    // First position whose string is not less than s.
    int lo = 0, hi = Count();
    while (lo < hi) {
        int mid = lo + (hi - lo) / 2;
        if (CompareStrings(FItems[mid].s, s) < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    index = lo;
    return lo < Count() && CompareStrings(FItems[lo].s, s) == 0;
}

void TStringList::Sort() {
    if (FSorted || FItems.size() < 2) return;
    Changing();
    std::stable_sort(FItems.begin(), FItems.end(),
                     [this](const Item& a, const Item& b) { return CompareStrings(a.s, b.s) < 0; });
    Changed();
}

void TStringList::SetSorted(bool v) {
    if (FSorted == v) return;
    if (v) Sort();
    FSorted = v;
}

void TStringList::SetCaseSensitive(bool v) {
    if (FCaseSensitive == v) return;
    FCaseSensitive = v;
    if (FSorted) {
        FSorted = false;
        Sort();
        FSorted = true;
    }
}

void TStringList::SetUpdateState(bool updating) {
    if (updating)
        Changing();
    else
        Changed();
}

void TStringList::Changed() {
    if (UpdateCount() == 0 && OnChange) OnChange(this);
}

void TStringList::Changing() {
    if (UpdateCount() == 0 && OnChanging) OnChanging(this);
}

int TStringList::CompareStrings(const std::string& a, const std::string& b) const {
    return FCaseSensitive ? CompareStr(a, b) : CompareText(a, b);
}
