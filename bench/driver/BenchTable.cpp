#include "bench/driver/BenchTable.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace bench {

namespace {

std::string Figure(double v, const std::string& unit) {
    char buf[64];
    if (v != 0 && std::fabs(v) < 0.01)
        std::snprintf(buf, sizeof buf, "%.2e", v);
    else if (std::fabs(v) < 10)
        std::snprintf(buf, sizeof buf, "%.3f", v);
    else if (std::fabs(v) < 1000)
        std::snprintf(buf, sizeof buf, "%.1f", v);
    else
        std::snprintf(buf, sizeof buf, "%.0f", v);
    return unit.empty() ? buf : std::string(buf) + " " + unit;
}

}  // namespace

void TTable::Fail(const std::string& section, const std::string& workload, const std::string& reason) {
    FFailures.push_back(section + " / " + workload + ": " + reason);
    FFailed = true;
}

void TTable::Print() const {
    struct TLine {
        std::string Section, Workload, Ours, Peer, Ratio, Note;
    };
    std::vector<TLine> lines{{"section", "workload", "ours", "peer", "ratio", "how measured"}};
    for (const auto& r : FRows) {
        TLine l{r.Section, r.Workload, Figure(r.Ours, r.Unit), "-", "-", r.Note};
        if (r.HasBaseline) {
            l.Peer = Figure(r.Baseline, r.Unit);
            if (r.Baseline > 0) {
                char buf[32];
                std::snprintf(buf, sizeof buf, "%.2f", r.Ours / r.Baseline);
                l.Ratio = buf;
            }
            l.Note = "peer: " + r.BaselineName + (r.Note.empty() ? "" : "; " + r.Note);
        }
        lines.push_back(l);
    }
    size_t w[5] = {};
    for (const auto& l : lines) {
        w[0] = std::max(w[0], l.Section.size());
        w[1] = std::max(w[1], l.Workload.size());
        w[2] = std::max(w[2], l.Ours.size());
        w[3] = std::max(w[3], l.Peer.size());
        w[4] = std::max(w[4], l.Ratio.size());
    }
    auto print = [&](const TLine& l) {
        std::printf("%-*s  %-*s  %*s  %*s  %*s  %s\n", int(w[0]), l.Section.c_str(), int(w[1]),
                    l.Workload.c_str(), int(w[2]), l.Ours.c_str(), int(w[3]), l.Peer.c_str(), int(w[4]),
                    l.Ratio.c_str(), l.Note.c_str());
    };
    print(lines[0]);
    print({std::string(w[0], '-'), std::string(w[1], '-'), std::string(w[2], '-'), std::string(w[3], '-'),
           std::string(w[4], '-'), "-------------------"});
    std::string section;
    for (size_t i = 1; i < lines.size(); ++i) {
        TLine l = lines[i];
        if (l.Section == section)
            l.Section.clear();
        else
            section = l.Section;
        print(l);
    }
    for (const auto& f : FFailures) std::printf("NOT MEASURED  %s\n", f.c_str());
    std::fflush(stdout);
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t rank = static_cast<size_t>(std::ceil(fraction * values.size()));
    rank = std::clamp<size_t>(rank, 1, values.size());
    return values[rank - 1];
}

double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

TScratch::TScratch() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zelto-bench-XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a scratch folder in " + pattern);
    FPath = pattern;
}

TScratch::~TScratch() {
    std::error_code ec;
    std::filesystem::remove_all(FPath, ec);
}

TRunResult RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                      const std::string& stdinPath) {
    std::vector<char*> a, e;
    for (const auto& s : argv) a.push_back(const_cast<char*>(s.c_str()));
    a.push_back(nullptr);
    for (const auto& s : env) e.push_back(const_cast<char*>(s.c_str()));
    e.push_back(nullptr);
    const int in = ::open(stdinPath.empty() ? "/dev/null" : stdinPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) throw std::runtime_error("cannot open " + stdinPath);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        ::close(in);
        throw std::runtime_error("pipe failed");
    }
    const pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        dup2(in, 0);
        dup2(out[1], 1);
        execve(a[0], a.data(), e.data());
        _exit(127);
    }
    ::close(in);
    ::close(out[1]);
    TRunResult r;
    if (pid < 0) {
        ::close(out[0]);
        throw std::runtime_error("fork failed");
    }
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n > 0)
            r.Output.append(buf, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
            break;
    }
    ::close(out[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) r.ExitCode = WEXITSTATUS(status);
    return r;
}

}  // namespace bench
