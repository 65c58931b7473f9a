// The web engine's request handling inside one process, with Google Benchmark: the work
// a CGI request costs the engine once the process runs (reading the variables and the
// body, parsing the fields, storing an upload, writing the answer), without the process
// start that the cold-start figure includes. No peer: these rows say where a request's
// time goes.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench/driver/BenchTable.h"
#include "platform/rtl/Classes.h"
#include "web/CGISEng.h"
#include "web/HUtils.h"

namespace bench {

namespace {

const char* const Boundary = "----ZeltoBenchBoundary7Hq2Lx9Wd";

struct TRequest {
    std::vector<std::string> Variables;
    std::string Body;
};

TRequest GetRequest() {
    return {{"SERVER_SOFTWARE=lighttpd/1.4.69", "REQUEST_METHOD=GET",
             "QUERY_STRING=name=Anna+Rossi&city=Z%C3%BCrich&n=42&note=a%26b%3Dc"},
            ""};
}

TRequest PostRequest(int fields) {
    std::string body;
    for (int i = 0; i < fields; ++i) {
        if (i) body += '&';
        body.append("field").append(std::to_string(i)).append("=value+").append(std::to_string(i));
        body.append("%21%3F");
    }
    return {
        {"SERVER_SOFTWARE=lighttpd/1.4.69", "REQUEST_METHOD=POST",
         "CONTENT_TYPE=application/x-www-form-urlencoded", "CONTENT_LENGTH=" + std::to_string(body.size())},
        body};
}

TRequest UploadRequest(size_t bytes) {
    std::string body = "--" + std::string(Boundary) +
                       "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"data.bin\"\r\n"
                       "Content-Type: application/octet-stream\r\n\r\n";
    uint64_t x = 0x2545F4914F6CDD1Dull;
    for (size_t i = 0; i < bytes; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        body += static_cast<char>(x);
    }
    body += "\r\n--" + std::string(Boundary) + "--\r\n";
    return {{"SERVER_SOFTWARE=lighttpd/1.4.69", "REQUEST_METHOD=POST",
             "CONTENT_TYPE=multipart/form-data; boundary=" + std::string(Boundary),
             "CONTENT_LENGTH=" + std::to_string(body.size())},
            body};
}

// One engine answering with the demo program's listing, the way a GUI program hosts it
// (the request ends without ending the process).
void RunRequests(benchmark::State& state, const TRequest& request, const std::string& tempDir) {
    TCGIStdEngine engine(nullptr);
    engine.SetCGIAutoTerminate(false);
    engine.AllowedMethods()->SetPut(true);
    engine.SetTempDir(tempDir);
    size_t fields = 0;
    engine.OnExecRequest = [&](TObject*) {
        engine.SetHeader("Content-Type", "text/plain");
        engine.WriteLn("method=" + engine.GetRequestMethod());
        engine.WriteLn("query=" + engine.GetQueryString());
        std::unique_ptr<TStringList> names = engine.GetFieldNames();
        for (int i = 0; i < names->Count(); ++i)
            engine.WriteLn("field:" + names->Get(i) + "=" + engine.GetField(names->Get(i)));
        fields = static_cast<size_t>(names->Count());
    };
    for (auto _ : state) {
        auto* variables = new TStringList;
        for (const auto& v : request.Variables) variables->Add(v);
        TStream* input = request.Body.empty() ? nullptr : new TStringStream(request.Body);
        engine.ProcessRequest(input, new TMemoryStream, variables);
    }
    if (fields == 0) state.SkipWithError("the engine found no fields");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(request.Body.size()));
}

// Keeps each benchmark's time per iteration for the table.
class TCollector : public benchmark::BenchmarkReporter {
public:
    bool ReportContext(const Context&) override { return true; }
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.error_occurred) {
                Errors.push_back(r.benchmark_name() + ": " + r.error_message);
                continue;
            }
            Seconds.push_back(
                {r.run_name.function_name, r.real_accumulated_time / static_cast<double>(r.iterations)});
        }
    }
    std::vector<std::pair<std::string, double>> Seconds;
    std::vector<std::string> Errors;
};

}  // namespace

void WebEngineWorkloads(TTable& table) {
    TScratch scratch;
    setenv("CGI_LOG_DIR", scratch.Path().c_str(), 1);
    const TProcessKind kind = ProcessKind();
    SetProcessKind(pkGuiProgram);
    const std::string temp = scratch.Path() + "/";
    struct TCase {
        const char* Name;
        const char* Workload;
        TRequest Request;
    };
    const std::vector<TCase> cases = {
        {"engine/get", "in process: GET with 4 query fields", GetRequest()},
        {"engine/post", "in process: urlencoded POST of 20 fields", PostRequest(20)},
        {"engine/post_20000", "in process: urlencoded POST of 20,000 fields", PostRequest(20000)},
        {"engine/upload_1MB", "in process: multipart upload of 1 MB", UploadRequest(1 << 20)},
    };
    for (const TCase& c : cases)
        benchmark::RegisterBenchmark(c.Name,
                                     [&c, temp](benchmark::State& s) { RunRequests(s, c.Request, temp); })
            ->MinTime(0.3)
            ->UseRealTime();
    TCollector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::ClearRegisteredBenchmarks();
    SetProcessKind(kind);
    unsetenv("CGI_LOG_DIR");

    for (const auto& e : collector.Errors) table.Fail("web", "in-process request", e);
    for (const auto& [name, seconds] : collector.Seconds)
        for (const TCase& c : cases)
            if (name == c.Name)
                table.Add({"web", c.Workload, "us/request", seconds * 1e6, 0, false, "",
                           "Google Benchmark, engine and listing handler in this process, no process start"});
}

}  // namespace bench
