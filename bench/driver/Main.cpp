// bench_zelto [section...]: runs the benchmark sections (all, or those named: web,
// radio) and prints one table of our figures beside their peers. Figures are taken on this machine in this
// run; nothing is compared with stored expectations.
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "bench/driver/BenchTable.h"

int main(int argc, char** argv) {
    auto wanted = [&](const char* section) {
        if (argc < 2) return true;
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
    // The database section (our engine beside an embedded SQL engine on the same data)
    // goes here, before the web section, once the SQL processor and the dataset
    // components exist.
    if (wanted("web")) {
        bench::WebWorkloads(table);
        bench::WebEngineWorkloads(table);
    }
    if (wanted("radio")) bench::RadioWorkloads(table);
    table.Print();
    return table.Failed() ? 1 : 0;
}
