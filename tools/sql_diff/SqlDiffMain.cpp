// Runs random statements on the SQL processor and on SQLite and compares them; reports the
// first mismatch reduced to a small statement over few rows. Exit status 0 when all agreed.
//   sql_diff [--seed S] [--count N]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "tests/support/SqlDiff.h"

int main(int argc, char** argv) {
    // The statements are written in the fixed English formats, not in the user's language.
    ::setenv("LC_ALL", "C", 1);
    sqldiff::TOptions options;
    for (int i = 1; i < argc; i += 2) {
        if (i + 1 < argc && std::strcmp(argv[i], "--seed") == 0) {
            options.Seed = std::strtoull(argv[i + 1], nullptr, 10);
        } else if (i + 1 < argc && std::strcmp(argv[i], "--count") == 0) {
            options.Count = std::strtoll(argv[i + 1], nullptr, 10);
        } else {
            std::fprintf(stderr, "usage: sql_diff [--seed S] [--count N]\n");
            return 2;
        }
    }
    const sqldiff::TOutcome out = sqldiff::Run(options, &std::cerr);
    std::cout << out.Statements << " statements agreed, " << out.BothFailed << " of them refused by both\n";
    if (out.Mismatch) std::cout << out.Report;
    return out.Mismatch ? 1 : 0;
}
