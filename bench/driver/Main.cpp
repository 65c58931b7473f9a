// bench_zelto [--quick] [section...]: runs the benchmark sections (all, or those named:
// db, web, radio; --quick: the database section at smaller sizes) and prints one table of our figures beside
// their peers. Figures are taken on this machine in this run; nothing is compared with stored expectations.
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "bench/driver/BenchTable.h"
#include "tools/tool_options/ToolOptions.h"

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--db-update-child") == 0) return bench::DbUpdateChild(argc, argv);
    bool quick = false;
    std::vector<std::string> sections;
    TToolOptions options("bench_zelto", "[--quick] [db] [web] [radio]");
    options.Flag("--quick", quick).Arguments(sections, 0, 3);
    if (!options.Parse(argc, argv)) return 2;
    static const std::set<std::string> known = {"db", "web", "radio"};
    for (const std::string& s : sections)
        if (!known.count(s)) return options.Fail("no section named " + s);
    auto wanted = [&](const char* section) {
        return sections.empty() || std::find(sections.begin(), sections.end(), section) != sections.end();
    };
    utsname u{};
    uname(&u);
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    char when[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", std::localtime(&now));
    std::printf("Zelto benchmarks, %s: %ld cores, %s %s, %s build\n", when, cores, u.sysname, u.machine,
#ifdef NDEBUG
                "release"
#else
                "debug"
#endif
    );
    std::printf("ratio = ours / peer (below 1: ours is faster). Running...\n\n");
    std::fflush(stdout);

    bench::TTable table;
    if (wanted("db")) {
        bench::DbWorkloads(table, quick);
        std::fflush(stdout);
    }
    if (wanted("web")) {
        bench::WebWorkloads(table);
        bench::WebEngineWorkloads(table);
    }
    if (wanted("radio")) bench::RadioWorkloads(table);
    table.Print();
    return table.Failed() ? 1 : 0;
}
