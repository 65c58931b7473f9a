// bench_zelto [--quick] [section...]: runs the benchmark sections (all, or those named:
// db, web, radio; --quick: the database section at smaller sizes) and prints one table of our figures beside
// their peers. Figures are taken on this machine in this run; nothing is compared with stored expectations.
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "bench/driver/BenchTable.h"

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--db-update-child") == 0) return bench::DbUpdateChild(argc, argv);
    bool quick = false, named = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0)
            quick = true;
        else
            named = true;
    }
    auto wanted = [&](const char* section) {
        if (!named) return true;
        for (int i = 1; i < argc; ++i)
            if (std::strcmp(argv[i], section) == 0) return true;
        return false;
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
