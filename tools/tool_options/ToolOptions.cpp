#include "tools/tool_options/ToolOptions.h"

#include <charconv>
#include <cstdio>
#include <utility>

namespace {

// The whole text as a number of type T, or nothing.
template <typename T>
bool ReadNumber(const std::string& text, T& value) {
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    return !text.empty() && error == std::errc() && stop == end;
}

// Stores a number from low to high; any other text is answered with `wanted`.
template <typename T>
std::function<std::string(const std::string&)> Ranged(T& target, T low, T high, std::string wanted) {
    return [&target, low, high, wanted](const std::string& v) {
        T n{};
        if (!ReadNumber(v, n) || !(n >= low && n <= high)) return wanted;  // NaN is in no range
        target = n;
        return std::string();
    };
}

std::string Shown(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

}  // namespace

TToolOptions::TToolOptions(std::string program, std::string usage)
    : FProgram(std::move(program)), FUsage(std::move(usage)) {}

TToolOptions& TToolOptions::Add(const std::string& name, bool takesValue,
                                std::function<std::string(const std::string&)> store) {
    FOptions.push_back({name, takesValue, std::move(store)});
    return *this;
}

TToolOptions& TToolOptions::Flag(const std::string& name, bool& target) {
    return Add(name, false, [&target](const std::string&) {
        target = true;
        return std::string();
    });
}

TToolOptions& TToolOptions::Text(const std::string& name, std::string& target) {
    return Add(name, true, [&target](const std::string& v) {
        target = v;
        return std::string();
    });
}

TToolOptions& TToolOptions::Number(const std::string& name, int32_t& target, int32_t low, int32_t high) {
    return Add(name, true,
               Ranged(target, low, high,
                      "a whole number from " + std::to_string(low) + " to " + std::to_string(high)));
}

TToolOptions& TToolOptions::Number(const std::string& name, uint32_t& target) {
    return Add(name, true,
               Ranged(target, 0u, UINT32_MAX, "a whole number from 0 to " + std::to_string(UINT32_MAX)));
}

TToolOptions& TToolOptions::Number(const std::string& name, double& target, double low, double high) {
    return Add(name, true, Ranged(target, low, high, "a number from " + Shown(low) + " to " + Shown(high)));
}

TToolOptions& TToolOptions::Arguments(std::vector<std::string>& target, size_t least, size_t most) {
    FArguments = &target;
    FLeast = least;
    FMost = most;
    return *this;
}

bool TToolOptions::Parse(int argc, char** argv) {
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.size() < 2 || a[0] != '-') {
            words.push_back(a);
            continue;
        }
        const TOption* option = nullptr;
        for (const TOption& o : FOptions)
            if (o.Name == a) option = &o;
        if (!option) return Fail("unknown option " + a), false;
        std::string value;
        if (option->TakesValue) {
            if (i + 1 >= argc) return Fail(a + " needs a value"), false;
            value = argv[++i];
        }
        const std::string wanted = option->Store(value);
        if (!wanted.empty()) return Fail(a + " takes " + wanted + ", not \"" + value + "\""), false;
    }
    if (!FArguments && !words.empty()) return Fail("unexpected argument " + words.front()), false;
    if (FArguments) {
        if (words.size() < FLeast) return Fail("too few arguments"), false;
        if (words.size() > FMost) return Fail("unexpected argument " + words[FMost]), false;
        *FArguments = std::move(words);
    }
    return true;
}

int TToolOptions::Fail(const std::string& text) const {
    std::fprintf(stderr, "%s: %s\nusage: %s %s\n", FProgram.c_str(), text.c_str(), FProgram.c_str(),
                 FUsage.c_str());
    return 2;
}
