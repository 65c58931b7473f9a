// The web engine beside peers that do the same work by hand, each run as a real process
// the way a web server runs a CGI program (environment and standard input in, standard
// output read to the end):
// - cold start: the demo CGI program answering a GET with query-string fields, beside a
//   bare C program that decodes the same query string and prints the same listing;
// - upload: a 100 MB multipart body parsed and stored by the engine, beside dd copying
//   the same bytes from standard input into a file in the same folder.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/driver/BenchTable.h"

namespace bench {

namespace {

constexpr int ColdRequests = 1000;
constexpr int Runs = 3;
constexpr uint64_t UploadBytes = 100ull * 1024 * 1024;
const char* const Boundary = "----ZeltoBenchBoundary7Hq2Lx9Wd";

std::vector<std::string> ServerEnvironment(const std::string& scratch) {
    return {"PATH=/usr/bin:/bin",       "SERVER_SOFTWARE=lighttpd/1.4.69", "GATEWAY_INTERFACE=CGI/1.1",
            "SERVER_PROTOCOL=HTTP/1.1", "SERVER_NAME=localhost",           "SERVER_PORT=80",
            "REMOTE_ADDR=127.0.0.1",    "SCRIPT_NAME=/cgi-bin/demo.cgi",   "CGI_LOG_DIR=" + scratch + "/log"};
}

// Seconds per request over `count` requests of one program.
double ColdRun(const std::string& program, const std::vector<std::string>& env, int count) {
    TStopwatch w;
    for (int i = 0; i < count; ++i) {
        const TRunResult r = RunProgram({program}, env);
        if (r.ExitCode != 0) throw std::runtime_error(program + " exited with " + std::to_string(r.ExitCode));
    }
    return w.Seconds() / count;
}

void CheckAnswer(const std::string& program, const std::vector<std::string>& env, const std::string& expected,
                 const std::string& stdinPath = "") {
    const TRunResult r = RunProgram({program}, env, stdinPath);
    if (r.ExitCode != 0 || r.Output.find(expected) == std::string::npos)
        throw std::runtime_error(program + " did not answer \"" + expected + "\" (exit " +
                                 std::to_string(r.ExitCode) + "): " + r.Output.substr(0, 300));
}

void ColdStart(TTable& table) {
    TScratch scratch;
    std::vector<std::string> env = ServerEnvironment(scratch.Path());
    env.push_back("REQUEST_METHOD=GET");
    env.push_back("QUERY_STRING=name=Anna+Rossi&city=Z%C3%BCrich&n=42&note=a%26b%3Dc");
    // Both must give the same fields before either is timed.
    for (const char* program : {BENCH_CGI_DEMO, BENCH_BARE_CGI}) {
        CheckAnswer(program, env, "field:note=a&b=c");
        CheckAnswer(program, env, "field:n=42");
    }
    std::vector<double> ours, peer;
    for (int run = 0; run < Runs; ++run) {
        ours.push_back(ColdRun(BENCH_CGI_DEMO, env, ColdRequests));
        peer.push_back(ColdRun(BENCH_BARE_CGI, env, ColdRequests));
    }
    table.Add({"web", "CGI cold start, GET with 4 query fields", "ms/request", Median(ours) * 1e3,
               Median(peer) * 1e3, true, "bare C CGI program",
               "demo CGI program; fork/exec, " + std::to_string(ColdRequests) + " requests, median of " +
                   std::to_string(Runs) + " runs"});
}

// The multipart body: one text field and one file of UploadBytes pseudo-random bytes
// (fixed seed).
std::string WriteUploadBody(const std::string& dir) {
    const std::string path = dir + "/upload.body";
    std::ofstream f(path, std::ios::binary);
    f << "--" << Boundary << "\r\n"
      << "Content-Disposition: form-data; name=\"title\"\r\n\r\nbench upload\r\n"
      << "--" << Boundary << "\r\n"
      << "Content-Disposition: form-data; name=\"file\"; filename=\"data.bin\"\r\n"
      << "Content-Type: application/octet-stream\r\n\r\n";
    uint64_t x = 0x9E3779B97F4A7C15ull;
    std::vector<char> chunk(1 << 20);
    for (uint64_t done = 0; done < UploadBytes; done += chunk.size()) {
        for (size_t i = 0; i < chunk.size(); i += 8) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            for (int b = 0; b < 8; ++b) chunk[i + b] = static_cast<char>(x >> (8 * b));
        }
        f.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    }
    f << "\r\n--" << Boundary << "--\r\n";
    if (!f) throw std::runtime_error("cannot write " + path);
    return path;
}

void Upload(TTable& table) {
    TScratch scratch;
    const std::string body = WriteUploadBody(scratch.Path());
    const std::string store = scratch.Path() + "/up";
    std::filesystem::create_directory(store);
    std::vector<std::string> env = ServerEnvironment(scratch.Path());
    env.push_back("REQUEST_METHOD=POST");
    env.push_back("CONTENT_TYPE=multipart/form-data; boundary=" + std::string(Boundary));
    env.push_back("CONTENT_LENGTH=" + std::to_string(std::filesystem::file_size(body)));
    env.push_back("CGI_UPLOAD_TEMP=" + store);

    // dd with large blocks, and with the 1032-byte reads the engine's body reading is
    // made of (then writing in blocks of the same size).
    const std::string ddOut = scratch.Path() + "/dd.out";
    auto runDd = [&](const std::string& blockSize) {
        TStopwatch w;
        const TRunResult r = RunProgram({"/usr/bin/dd", "of=" + ddOut, "bs=" + blockSize, "status=none"},
                                        {"PATH=/usr/bin:/bin"}, body);
        const double s = w.Seconds();
        if (r.ExitCode != 0 || std::filesystem::file_size(ddOut) != std::filesystem::file_size(body))
            throw std::runtime_error("dd did not copy the body");
        std::filesystem::remove(ddOut);
        return s;
    };
    // Warm-up (the body comes from the page cache for all) and the engine's answer checked.
    runDd("64K");
    CheckAnswer(BENCH_UPLOAD_CGI, env, "size:file=" + std::to_string(UploadBytes), body);
    std::vector<double> ours, dd64, dd1032;
    for (int run = 0; run < Runs; ++run) {
        TStopwatch w;
        const TRunResult r = RunProgram({BENCH_UPLOAD_CGI}, env, body);
        ours.push_back(w.Seconds());
        if (r.ExitCode != 0) throw std::runtime_error("the upload program failed");
        dd64.push_back(runDd("64K"));
        dd1032.push_back(runDd("1032"));
    }
    if (!std::filesystem::is_empty(store)) throw std::runtime_error("the engine left its upload file behind");
    const std::string how = "CGI program on the engine; body from a file on standard input, median of " +
                            std::to_string(Runs) + " runs";
    table.Add({"web", "multipart upload of 100 MB, parsed and stored", "s", Median(ours), Median(dd64), true,
               "dd bs=64K, standard input to a file", how});
    table.Add({"web", "the same upload beside dd in 1032-byte blocks", "s", Median(ours), Median(dd1032),
               true, "dd bs=1032 (the engine reads its body 1032 bytes at a time)", how});
}

}  // namespace

void WebWorkloads(TTable& table) {
    try {
        ColdStart(table);
    } catch (const std::exception& e) {
        table.Fail("web", "CGI cold start", e.what());
    }
    try {
        Upload(table);
    } catch (const std::exception& e) {
        table.Fail("web", "multipart upload", e.what());
    }
}

}  // namespace bench
