#pragma once
// What the benchmark sections share: the one result table, medians, a stopwatch, a
// scratch folder and a runner that starts a program the way a web server starts a CGI
// program (fork and exec with a given environment and standard input, standard output
// read to the end).
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// One line of the table: our figure beside its peer's. A workload without a peer leaves
// `Baseline` empty and has no ratio.
struct TRow {
    std::string Section;
    std::string Workload;
    std::string Unit;
    double Ours = 0;
    double Baseline = 0;
    bool HasBaseline = false;
    std::string BaselineName;  // what the peer is
    std::string Note;          // how the figure was taken
};

class TTable {
public:
    void Add(const TRow& row) { FRows.push_back(row); }
    // A workload that could not be measured, with the reason.
    void Fail(const std::string& section, const std::string& workload, const std::string& reason);
    void Print() const;
    bool Failed() const { return FFailed; }

private:
    std::vector<TRow> FRows;
    std::vector<std::string> FFailures;
    bool FFailed = false;
};

double Median(std::vector<double> values);
// The value at `fraction` (0..1) of the sorted values, by nearest rank.
double Percentile(std::vector<double> values, double fraction);

class TStopwatch {
public:
    TStopwatch() : FStart(std::chrono::steady_clock::now()) {}
    double Seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - FStart).count();
    }

private:
    std::chrono::steady_clock::time_point FStart;
};

// CPU time of the whole process (every thread), in seconds.
double ProcessCpuSeconds();

// A folder under $TMPDIR (else /tmp), removed with its content when the object goes.
class TScratch {
public:
    TScratch();
    ~TScratch();
    TScratch(const TScratch&) = delete;
    TScratch& operator=(const TScratch&) = delete;
    const std::string& Path() const { return FPath; }

private:
    std::string FPath;
};

struct TRunResult {
    int ExitCode = -1;  // -1: did not exit normally
    std::string Output;
};

// Runs `argv` with exactly the environment `env`, standard input from `stdinPath`
// ("" for /dev/null), and collects its standard output until it ends.
TRunResult RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                      const std::string& stdinPath = "");

// Sections of the table.
void WebWorkloads(TTable& table);
void WebEngineWorkloads(TTable& table);
void RadioWorkloads(TTable& table);
// quick: smaller tables (10^5 rows at most) for a run of a minute.
void DbWorkloads(TTable& table, bool quick);
// The database section's child run (--db-update-child engine folder table).
int DbUpdateChild(int argc, char** argv);

}  // namespace bench
