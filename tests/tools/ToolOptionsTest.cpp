// The tools' command line: values reach their options; every wrong command line is told
// on stderr with the usage and refused; and the programs themselves end with status 2 on
// one, naming what was wrong.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/ScratchDir.h"
#include "tools/tool_options/ToolOptions.h"

namespace {

struct TValues {
    bool Fast = false;
    std::string Name;
    int32_t Count = 7;
    uint32_t Seed = 1;
    double Rate = 1;
    std::vector<std::string> Words;
};

// Parses `args` with a set of every kind of option; the stderr text (empty when taken).
std::string Parse(const std::vector<std::string>& args, TValues& v, bool words = false) {
    TToolOptions options("prog", "[options]");
    options.Flag("--fast", v.Fast)
        .Text("--name", v.Name)
        .Number("--count", v.Count, 1, 30)
        .Number("--seed", v.Seed)
        .Number("--rate", v.Rate, 0.5, 100);
    if (words) options.Arguments(v.Words, 2, 2);
    std::vector<std::string> line = {"prog"};
    line.insert(line.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : line) argv.push_back(a.data());
    testing::internal::CaptureStderr();
    const bool ok = options.Parse(int(argv.size()), argv.data());
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(ok, err.empty()) << err;
    return err;
}

TEST(ToolOptionsTest, ValuesReachTheirOptions) {
    TValues v;
    EXPECT_EQ(Parse({}, v), "");
    EXPECT_EQ(v.Count, 7);
    EXPECT_EQ(Parse({"--fast", "--name", "-x", "--count", "30", "--seed", "4294967295", "--rate", "2.5"}, v),
              "");
    EXPECT_TRUE(v.Fast);
    EXPECT_EQ(v.Name, "-x");
    EXPECT_EQ(v.Count, 30);
    EXPECT_EQ(v.Seed, 4294967295u);
    EXPECT_EQ(v.Rate, 2.5);
    EXPECT_EQ(Parse({"a", "--fast", "b"}, v, true), "");
    EXPECT_EQ(v.Words, (std::vector<std::string>{"a", "b"}));
}

TEST(ToolOptionsTest, WrongCommandLinesAreToldWithTheUsage) {
    struct TCase {
        std::vector<std::string> Args;
        std::string Message;
        bool Words = false;
    };
    std::vector<TCase> cases;
    for (const std::string bad : {"abc", "12x", "", " 5", "0", "31"})
        cases.push_back({{"--count", bad}, "--count takes a whole number from 1 to 30, not \"" + bad + "\""});
    cases.insert(cases.end(), {
        {{"--seed", "-1"}, "--seed takes a whole number from 0 to 4294967295, not \"-1\""},
        {{"--seed", "4294967296"}, "--seed takes a whole number from 0 to 4294967295, not \"4294967296\""},
        {{"--rate", "nan"}, "--rate takes a number from 0.5 to 100, not \"nan\""},
        {{"--rate", "0.1"}, "--rate takes a number from 0.5 to 100, not \"0.1\""},
        {{"--bogus"}, "unknown option --bogus"},
        {{"--fast", "-v"}, "unknown option -v"},
        {{"--count"}, "--count needs a value"},
        {{"extra"}, "unexpected argument extra"},
        {{"a"}, "too few arguments", true},
        {{"a", "b", "c"}, "unexpected argument c", true},
    });
    for (const auto& c : cases) {
        TValues v;
        EXPECT_EQ(Parse(c.Args, v, c.Words), std::string("prog: ") + c.Message + "\nusage: prog [options]\n");
        EXPECT_EQ(v.Count, 7) << c.Message;  // a refused value is not kept
    }
}

// A program run with a command line; its exit status and what it wrote to stderr.
struct TRun {
    int Status = -1;
    std::string Stderr, Stdout;
};

// A path as one word of the shell, whatever it holds.
std::string ShellWord(const std::string& path) {
    std::string w = "'";
    for (char c : path) w += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return w + "'";
}

TRun RunTool(const std::string& program, const std::string& args) {
    TRun r;
    const TScratchDir scratch("tool-run");
    const std::string errFile = scratch.File("stderr.txt");
    FILE* p = ::popen((ShellWord(program) + " " + args + " 2>" + ShellWord(errFile)).c_str(), "r");
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) r.Stdout.append(buf, n);
    const int status = ::pclose(p);
    r.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (FILE* f = std::fopen(errFile.c_str(), "r")) {
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) r.Stderr.append(buf, n);
        std::fclose(f);
    }
    return r;
}

TEST(ToolOptionsTest, ProgramsRefuseWrongUseWithStatusTwo) {
    const struct {
        const char* Program;
        const char* Args;
        const char* Message;
    } cases[] = {
        {ZELTO_TOOL_WEB_BATTERY, "--requests abc", "web_battery: --requests takes a whole number"},
        {ZELTO_TOOL_WEB_BATTERY, "--requests 0", "web_battery: --requests takes a whole number"},
        {ZELTO_TOOL_WEB_BATTERY, "--clock-speed 0", "web_battery: --clock-speed takes a number"},
        {ZELTO_TOOL_WEB_BATTERY, "--help", "web_battery: unknown option --help"},
        {ZELTO_TOOL_DAMAGED_TABLES, "--variants zz", "damaged_tables: --variants takes a whole number"},
        {ZELTO_TOOL_DAMAGED_TABLES, "--only 'no such variant'",
         "damaged_tables: no variant's name contains \"no such variant\""},
        {ZELTO_TOOL_TABLE_STRESS, "--procs x", "table_stress: --procs takes a whole number from 1 to 30"},
        {ZELTO_TOOL_TABLE_STRESS, "--ops", "table_stress: --ops needs a value"},
        {ZELTO_TOOL_TABLE_CHECK, "onlyone", "table_check: too few arguments"},
#ifdef ZELTO_TOOL_RIDE_SOAK
        {ZELTO_TOOL_RIDE_SOAK, "--minutes five", "ride_soak: --minutes takes a whole number"},
#endif
    };
    for (const auto& c : cases) {
        const TRun r = RunTool(c.Program, c.Args);
        EXPECT_EQ(r.Status, 2) << c.Program << " " << c.Args;
        EXPECT_EQ(r.Stderr.rfind(c.Message, 0), 0u) << r.Stderr;
        EXPECT_NE(r.Stderr.find("\nusage: "), std::string::npos) << r.Stderr;
    }
}

TEST(ToolOptionsTest, TableCheckNamesTheMissingFile) {
    const TScratchDir scratch("table-check");
    const std::string folder = scratch.Path();
    const TRun r = RunTool(ZELTO_TOOL_TABLE_CHECK, ShellWord(folder) + " NOSUCH");
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Stdout.find("data file missing: " + folder + "/NOSUCH.DAT"), std::string::npos) << r.Stdout;
}

}  // namespace
