// Reliability battery of the web engine: malformed requests against the demo CGI program
// under a real lighttpd on 127.0.0.1. Every request must end in an answer, an error page
// or a clean refusal (the connection closed) within the reading watchdog's limit; no
// program may crash, and no upload, session or temporary file may stay behind.
//
//   web_battery [--requests N] [--seed S] [--jobs J] [--clock-speed X] [--only I] [--keep]
//               [--demo PATH] [--dir DIR]
//
// Each request is made from the seed and its own number, so `--seed S --only I` replays
// one. The demo program runs its clock X times faster (CGI_DEMO_CLOCK_SPEED), so a stalled
// body meets the 30 s watchdog in 30/X s. lighttpd runs the demo through this program
// itself (as the ".cgi" interpreter), which records how each run ended.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/LocalLighttpd.h"
#include "tools/tool_options/ToolOptions.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// ---- The wrapper: lighttpd starts "web_battery <script>"; the demo runs as our child.

pid_t GChild = 0;

void Forward(int sig) {
    if (GChild > 0) ::kill(GChild, sig);
}

// One line "[query] what" appended to the status log.
void Record(const char* statusLog, const std::string& what) {
    const char* query = std::getenv("QUERY_STRING");
    std::string line = std::string(query ? query : "").substr(0, 40);
    for (char& c : line)
        if (c == ' ' || c == '\n' || c == '\r') c = '_';
    line = "[" + line + "] " + what + "\n";
    const int fd = ::open(statusLog, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
        [[maybe_unused]] ssize_t n = ::write(fd, line.data(), line.size());
        ::close(fd);
    }
}

int RunWrapped(const char* script, const char* statusLog) {
    struct sigaction sa {};
    sa.sa_handler = Forward;
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(sig, &sa, nullptr);
    Record(statusLog, "start");
    GChild = ::fork();
    if (GChild == 0) {
        char* argv[] = {const_cast<char*>(script), nullptr};
        ::execve(script, argv, environ);
        ::_exit(127);
    }
    if (GChild < 0) return 1;
    int status = 0;
    while (::waitpid(GChild, &status, 0) < 0 && errno == EINTR) {
    }
    Record(statusLog, WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                                        : "signal " + std::to_string(WTERMSIG(status)));
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// ---- Requests

// How the client sends a request.
enum class TSend {
    Whole,   // everything, then waits for the answer
    Hold,    // everything (a body shorter than announced), keeps the connection open
    CutOff,  // part of it, then goes away
};

struct TCase {
    std::string Kind;
    std::string Wire;
    TSend Send = TSend::Whole;
};

std::string RandomBytes(std::mt19937& rng, size_t n, bool binary) {
    std::string s(n, '\0');
    for (char& c : s) c = binary ? static_cast<char>(rng() & 0xFF) : static_cast<char>('a' + rng() % 26);
    return s;
}

std::string Head(int index, const std::string& method, const std::vector<std::string>& headers,
                 const std::string& query = "") {
    std::string h = method + " /demo.cgi?case=" + std::to_string(index) + query +
                    " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    for (const auto& x : headers) h += x + "\r\n";
    return h + "\r\n";
}

std::string Part(const std::string& boundary, const std::string& name, const std::string& filename,
                 const std::string& content) {
    std::string p = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"";
    if (!filename.empty()) p += "; filename=\"" + filename + "\"\r\nContent-Type: application/octet-stream";
    return p + "\r\n\r\n" + content + "\r\n";
}

std::string Multipart(const std::string& boundary) {
    return "Content-Type: multipart/form-data; boundary=" + boundary;
}

std::string Length(int64_t n) {
    return "Content-Length: " + std::to_string(n);
}

// The kinds of malformed request, each made from the random source.
using TMaker = TCase (*)(int index, std::mt19937& rng);

const std::vector<std::pair<const char*, TMaker>>& Kinds() {
    static const std::vector<std::pair<const char*, TMaker>> kinds = {
        {"short-body-form",
         [](int i, std::mt19937& rng) {
             // Announced more than comes; the connection stays open: the watchdog (large
             // bodies) or the server's idle limit (small ones) ends it.
             const int64_t announced = rng() % 4 ? 2049 + rng() % 200000 : 10 + rng() % 2000;
             const std::string body = "a=1&b=" + RandomBytes(rng, rng() % (announced / 2 + 1), false);
             return TCase{
                 "",
                 Head(i, "POST", {"Content-Type: application/x-www-form-urlencoded", Length(announced)}) +
                     body,
                 TSend::Hold};
         }},
        {"short-body-upload",
         [](int i, std::mt19937& rng) {
             const std::string file = RandomBytes(rng, 3000 + rng() % 60000, rng() % 2);
             const std::string body = Part("XyZ", "note", "", "hi") + Part("XyZ", "doc", "a.bin", file);
             return TCase{
                 "", Head(i, "POST", {Multipart("XyZ"), Length(body.size() + 1 + rng() % 100000)}) + body,
                 TSend::Hold};
         }},
        {"long-body",
         [](int i, std::mt19937& rng) {
             // More than announced: the rest reaches the server as the next request.
             const bool upload = rng() % 2;
             std::string body =
                 upload ? Part("XyZ", "doc", "a.txt", RandomBytes(rng, rng() % 5000, true)) + "--XyZ--\r\n"
                        : "a=1&b=" + RandomBytes(rng, rng() % 5000, false);
             const int64_t announced = rng() % (body.size() + 1);
             body += RandomBytes(rng, rng() % 3000, true);
             return TCase{"",
                          Head(i, "POST",
                               {upload ? Multipart("XyZ") : "Content-Type: application/x-www-form-urlencoded",
                                Length(announced)}) +
                              body};
         }},
        {"huge-length",
         [](int i, std::mt19937& rng) {
             static const char* lengths[] = {"2147483647",          "2147483648",
                                             "4294967296",          "9223372036854775807",
                                             "9223372036854775808", "99999999999999999999999999",
                                             "1000000000000"};
             const std::string l = lengths[rng() % std::size(lengths)];
             const bool upload = rng() % 2;
             const std::string body = upload
                                          ? Part("XyZ", "doc", "a.bin", RandomBytes(rng, rng() % 40000, true))
                                          : "a=" + RandomBytes(rng, rng() % 40000, false);
             return TCase{"",
                          Head(i, "POST",
                               {upload ? Multipart("XyZ") : "Content-Type: application/x-www-form-urlencoded",
                                "Content-Length: " + l}) +
                              body,
                          rng() % 2 ? TSend::Hold : TSend::CutOff};
         }},
        {"bad-length",
         [](int i, std::mt19937& rng) {
             static const char* lengths[] = {
                 "-1",  "-2049", "-9223372036854775808", "12abc", "0x100", "+5", " 7", "1e3", "", "5, 5",
                 "3\t", "٣"};
             const std::string l = lengths[rng() % std::size(lengths)];
             std::string h = "Content-Length: " + l;
             if (rng() % 4 == 0) h += "\r\nContent-Length: 3";  // twice
             return TCase{
                 "", Head(i, "POST", {"Content-Type: application/x-www-form-urlencoded", h}) + "a=1&b=2"};
         }},
        {"boundary",
         [](int i, std::mt19937& rng) {
             // Missing, empty, overlong, quoted wrongly, or unlike the one in the body.
             const std::string file = RandomBytes(rng, rng() % 20000, true);
             const std::string body =
                 Part("XyZ", "doc", "a.bin", file) + Part("XyZ", "f", "", "v") + "--XyZ--\r\n";
             std::string type;
             switch (rng() % 8) {
                 case 0:
                     type = "Content-Type: multipart/form-data";
                     break;
                 case 1:
                     type = "Content-Type: multipart/form-data; boundary=";
                     break;
                 case 2:
                     type = Multipart(std::string(71 + rng() % 6000, 'B'));
                     break;
                 case 3:
                     type = Multipart("\"XyZ");
                     break;
                 case 4:
                     type = Multipart("Xy");
                     break;  // a prefix of the one in the body
                 case 5:
                     type = Multipart("XyZW");
                     break;  // longer than the one in the body
                 case 6:
                     type = Multipart("XyZ; boundary=Other");
                     break;
                 default:
                     type = "Content-Type: multipart/form-data; charset=utf-8; boundary=" +
                            RandomBytes(rng, 12, true);
             }
             return TCase{"", Head(i, "POST", {type, Length(body.size())}) + body};
         }},
        {"broken-parts",
         [](int i, std::mt19937& rng) {
             const std::string b = "XyZ";
             std::string body;
             switch (rng() % 9) {
                 case 0:
                     body = "--XyZ\r\n\r\nno headers\r\n--XyZ--\r\n";
                     break;
                 case 1:
                     body = "--XyZ\r\nContent-Disposition: form-data\r\n\r\nno name\r\n--XyZ--\r\n";
                     break;
                 case 2:
                     body = Part(b, "doc", "a.bin", RandomBytes(rng, rng() % 30000, true));
                     break;  // no end
                 case 3:
                     body = "--XyZ" + RandomBytes(rng, rng() % 3000, true);
                     break;
                 case 4:
                     body = Part(b, "doc", "../../../../etc/passwd", "x") + "--XyZ--\r\n";
                     break;
                 case 5:
                     body = Part(b, "a\"b", "c\"d", "x") + "--XyZ--\r\n";
                     break;
                 case 6:
                     body = "--XyZ\r\nContent-Disposition: form-data; name=\"" + std::string(70000, 'n') +
                            "\"\r\n\r\nv\r\n--XyZ--\r\n";
                     break;
                 case 7:
                     body = "--XyZ\r\nContent-Disposition: form-data; name=\"f\"\r\n" +
                            RandomBytes(rng, 9000, true);
                     break;
                 default:
                     body = std::string(rng() % 4, '\n') + "--XyZ--\r\n--XyZ\r\n--XyZ--";
             }
             return TCase{"", Head(i, "POST", {Multipart(b), Length(body.size())}) + body};
         }},
        {"header-crlf",
         [](int i, std::mt19937& rng) {
             static const std::string values[] = {
                 "a\rb", "a\nb", "a\r\n b", "x\r\nX-Injected: 1", "\r", std::string("a\0b", 3)};
             const std::string v = values[rng() % std::size(values)];
             static const char* names[] = {"Cookie", "Content-Type", "Accept", "Authorization", "X-Thing"};
             std::string h = std::string(names[rng() % std::size(names)]) + ": " + v;
             return TCase{"", Head(i, rng() % 2 ? "GET" : "POST", {h, Length(3)}) + "a=1"};
         }},
        {"binary",
         [](int i, std::mt19937& rng) {
             // Raw bytes where text belongs: escaped in the query, in a header value now
             // and then, and in the body.
             // The server refuses escaped control characters and broken UTF-8 in the query:
             // half the queries keep to printable bytes, so that they reach the program.
             std::string q;
             const bool printable = rng() % 2;
             for (int k = 0, n = static_cast<int>(rng() % 40); k < n; ++k) {
                 char hex[4];
                 const unsigned byte = printable ? 0x20 + rng() % 0x5F : rng() & 0xFF;
                 std::snprintf(hex, sizeof hex, "%%%02X", byte);
                 q += rng() % 3 ? std::string(hex) : std::string(1, "=&+"[rng() % 3]);
             }
             std::vector<std::string> headers = {rng() % 2 ? "Content-Type: application/x-www-form-urlencoded"
                                                           : "Content-Type: application/octet-stream"};
             if (rng() % 3 == 0) {
                 // Header bytes the server lets through: no control characters.
                 std::string h = "Accept: " + RandomBytes(rng, rng() % 200, true);
                 for (char& c : h)
                     if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
                         c = static_cast<char>(0x80 | (c & 0x3F));
                 headers.push_back(h);
             }
             const std::string body = RandomBytes(rng, rng() % 10000, true);
             headers.push_back(Length(body.size()));
             return TCase{"", Head(i, "POST", headers, "&" + q) + body};
         }},
        {"many-parts",
         [](int i, std::mt19937& rng) {
             // Many uploads and fields in one form, now and then with an error raised after
             // the uploads were stored: every temporary file must still go.
             std::string body;
             const int files = 1 + static_cast<int>(rng() % 60);
             for (int k = 0; k < files; ++k)
                 body += Part("XyZ", "f" + std::to_string(k), "file" + std::to_string(k) + ".bin",
                              RandomBytes(rng, rng() % 3000, true));
             for (int k = 0, n = static_cast<int>(rng() % 2000); k < n; ++k)
                 body += Part("XyZ", "v" + std::to_string(k), "", std::to_string(k));
             body += "--XyZ--\r\n";
             return TCase{"", Head(i, "POST", {Multipart("XyZ"), Length(body.size())},
                                   rng() % 3 ? "" : "&fail=after") +
                                  body};
         }},
        {"oversized-head",
         [](int i, std::mt19937& rng) {
             // A head beyond what servers take, or just under it; a request line with odd parts.
             std::vector<std::string> headers;
             switch (rng() % 4) {
                 case 0:
                     headers.push_back("Cookie: " + RandomBytes(rng, 4000 + rng() % 70000, false));
                     break;
                 case 1:
                     for (int k = 0, n = static_cast<int>(50 + rng() % 400); k < n; ++k)
                         headers.push_back("X-H" + std::to_string(k) + ": " + RandomBytes(rng, 30, false));
                     break;
                 case 2:
                     headers.push_back("Authorization: Basic " + RandomBytes(rng, rng() % 5000, false));
                     break;
                 default:
                     headers.push_back("Authorization: Basic ====");
             }
             return TCase{"", Head(i, "GET", headers, "&" + std::string(rng() % 6000, 'q') + "=1")};
         }},
        {"cut-off",
         [](int i, std::mt19937& rng) {
             // The client leaves partway: during the head, during an upload, during a form.
             std::string full;
             if (rng() % 2) {
                 const std::string body =
                     Part("XyZ", "doc", "a.bin", RandomBytes(rng, 1000 + rng() % 200000, true));
                 full = Head(i, "POST", {Multipart("XyZ"), Length(body.size() + 9)}) + body + "--XyZ--\r\n";
             } else {
                 const std::string body = "a=" + RandomBytes(rng, rng() % 100000, false);
                 full = Head(i, "POST",
                             {"Content-Type: application/x-www-form-urlencoded", Length(body.size())}) +
                        body;
             }
             full.resize(rng() % full.size());
             return TCase{"", full, TSend::CutOff};
         }},
        {"session",
         [](int i, std::mt19937& rng) {
             // Sessions of odd names, with broken form bodies.
             static const char* names[] = {
                 "abc", "..%2F..%2Fx", "%00", "a%0Ab",
                 "ZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZ"};
             const std::string q = std::string("&session=") + names[rng() % std::size(names)] +
                                   "&sv_x=" + std::to_string(rng() % 1000) + (rng() % 3 ? "" : "&clear=1");
             const std::string body = Part("XyZ", "sv_y", "", RandomBytes(rng, rng() % 3000, true)) +
                                      (rng() % 2 ? "--XyZ--\r\n" : "");
             return TCase{"", Head(i, "POST", {Multipart("XyZ"), Length(body.size())}, q) + body};
         }},
        {"form-encoding",
         [](int i, std::mt19937& rng) {
             static const char* bodies[] = {"%",        "a=%",      "a=%G1",          "&&&===&", "=v",
                                            "a=%u00e9", "a=%%%%%%", "a=\x80\xff\xfe", "%00=%00"};
             std::string body = bodies[rng() % std::size(bodies)];
             if (rng() % 3 == 0) body = std::string(100000 + rng() % 100000, 'k') + "=" + body;
             return TCase{"", Head(i, "POST",
                                   {"Content-Type: application/x-www-form-urlencoded", Length(body.size())}) +
                                  body};
         }},
    };
    return kinds;
}

TCase MakeCase(uint32_t seed, int index) {
    std::mt19937 rng(seed * 1000003u + static_cast<uint32_t>(index));
    const auto& kinds = Kinds();
    const auto& k = kinds[static_cast<size_t>(index) % kinds.size()];
    TCase c = k.second(index, rng);
    c.Kind = k.first;
    return c;
}

// ---- The client

int Connect(int port) {
    return ConnectLoopback(port, timeval{0, 200000}, true);
}

struct TOutcome {
    std::string What;  // answer 200, error page, refused 4xx, closed, left, no answer
    bool Failed = false;
    double Seconds = 0;
    std::string Answer;  // what came back, for a replayed request
};

TOutcome Run(const TCase& c, int port, std::chrono::seconds limit) {
    TOutcome o;
    const auto start = Clock::now();
    const int s = Connect(port);
    if (s < 0) return {"no connection", true, 0, ""};
    // Send what the server takes; a server that refuses early stops reading.
    size_t sent = 0;
    while (sent < c.Wire.size() && Clock::now() - start < limit) {
        const ssize_t n = ::send(s, c.Wire.data() + sent, c.Wire.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            // The server does not read: perhaps it has answered already.
            pollfd p{s, POLLIN, 0};
            if (::poll(&p, 1, 0) == 1) break;
        } else {
            break;
        }
    }
    if (c.Send == TSend::CutOff) {
        ::close(s);
        return {"left", false, std::chrono::duration<double>(Clock::now() - start).count(), ""};
    }
    std::string raw;
    bool closed = false;
    while (Clock::now() - start < limit) {
        char buf[8192];
        const ssize_t n = ::recv(s, buf, sizeof buf, 0);
        if (n > 0) {
            raw.append(buf, static_cast<size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            closed = true;
            break;
        }
    }
    ::close(s);
    o.Answer = raw;
    o.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // Skip interim answers.
    while (raw.rfind("HTTP/1.1 1", 0) == 0 && raw.find("\r\n\r\n") != std::string::npos)
        raw.erase(0, raw.find("\r\n\r\n") + 4);
    if (raw.rfind("HTTP/1.", 0) == 0 && raw.size() >= 12) {
        const int status = std::atoi(raw.substr(9, 3).c_str());
        const size_t end = raw.find("\r\n\r\n");
        const std::string body = end == std::string::npos ? "" : raw.substr(end + 4);
        if (body.find("Unhandled Exception") != std::string::npos)
            o.What = "error page";
        else
            o.What = (status >= 400 ? "refused " : "answer ") + std::to_string(status);
        // A server still holding the connection after its answer would be a hang.
        o.Failed = !closed;
        if (!closed) o.What += " (connection held)";
    } else if (closed) {
        o.What = raw.empty() ? "closed" : "garbled answer";
        o.Failed = !raw.empty();
    } else {
        o.What = "no answer in time";
        o.Failed = true;
    }
    return o;
}

// ---- Set-up

std::string SelfPath() {
    std::error_code ec;
    return fs::read_symlink("/proc/self/exe", ec).string();
}

std::string ReadAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

std::vector<std::string> Listing(const std::string& dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(dir, ec)) out.push_back(e.path().string());
    return out;
}

struct TOptions {
    int32_t Requests = 150;
    uint32_t Seed = 1;
    int32_t Jobs = 8;
    double ClockSpeed = 30;
    int32_t Only = -1;
    bool Keep = false;
    std::string Demo, Dir;
};

// What the requests ended in.
struct TTally {
    std::map<std::string, std::map<std::string, int>> ByKind;  // kind -> outcome -> count
    std::vector<std::string> Failures;
    double Slowest = 0;
    double Seconds = 0;
    int Sent() const {
        int n = 0;
        for (const auto& [kind, outcomes] : ByKind)
            for (const auto& [what, count] : outcomes) n += count;
        return n;
    }
};

// The requests, opt.Jobs at a time (or the one of --only, with its answer shown).
void SendRequests(const TOptions& opt, int port, std::chrono::seconds limit, TTally& tally) {
    const auto started = Clock::now();
    std::mutex mutex;
    std::atomic<int> nextIndex{opt.Only >= 0 ? opt.Only : 0};
    const int endIndex = opt.Only >= 0 ? opt.Only + 1 : opt.Requests;
    std::vector<std::thread> workers;
    for (int j = 0; j < opt.Jobs; ++j)
        workers.emplace_back([&] {
            for (int i; (i = nextIndex++) < endIndex;) {
                const TCase c = MakeCase(opt.Seed, i);
                const TOutcome o = Run(c, port, limit);
                std::lock_guard<std::mutex> g(mutex);
                if (opt.Only >= 0)
                    std::printf("request %d (%s), %zu bytes: %s\n%s\n", i, c.Kind.c_str(), c.Wire.size(),
                                o.What.c_str(), o.Answer.substr(0, 600).c_str());
                ++tally.ByKind[c.Kind][o.What];
                tally.Slowest = std::max(tally.Slowest, o.Seconds);
                if (o.Failed)
                    tally.Failures.push_back("request " + std::to_string(i) + " (" + c.Kind + "): " + o.What);
            }
        });
    for (auto& w : workers) w.join();
    tally.Seconds = std::chrono::duration<double>(Clock::now() - started).count();
}

// The requests whose demo program has started and not ended, from the wrapper's lines.
std::vector<std::string> StillRunning(const std::string& statusText) {
    std::map<std::string, int> running;
    std::istringstream in(statusText);
    for (std::string line; std::getline(in, line);) {
        const size_t cut = line.find("] ");
        if (cut != std::string::npos)
            running[line.substr(0, cut + 1)] += line.substr(cut + 2) == "start" ? 1 : -1;
    }
    std::vector<std::string> out;
    for (const auto& [request, n] : running)
        if (n > 0) out.push_back(request);
    return out;
}

// Waits until every program the server started has ended (and no new one started for a
// moment): one still running past the limits has outlived the watchdog and the server's
// idle limit. Returns the status log as it stands then.
std::string WaitForPrograms(const std::string& statusLog, std::chrono::seconds limit, TTally& tally) {
    std::string statusText;
    const auto settleEnd = Clock::now() + limit;
    for (auto lastChange = Clock::now();;) {
        const std::string now = ReadAll(statusLog);
        if (now != statusText) statusText = now, lastChange = Clock::now();
        const bool quiet = Clock::now() - lastChange > std::chrono::milliseconds(700);
        if ((quiet && StillRunning(statusText).empty()) || Clock::now() > settleEnd) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    for (const std::string& request : StillRunning(statusText))
        tally.Failures.push_back("demo program of " + request + " still running after the limits");
    return statusText;
}

void StopServer(pid_t server) {
    ::kill(server, SIGTERM);
    for (int k = 0; k < 100 && ::waitpid(server, nullptr, WNOHANG) == 0; ++k)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::kill(server, SIGKILL);
    ::waitpid(server, nullptr, 0);
}

// The wrapper's lines "[query] exit N" or "[query] signal N": how the demo's runs ended.
// Prints them by end; the programs that ended and how many of them crashed.
std::pair<int, int> ReportProgramEnds(const std::string& statusText, TTally& tally) {
    std::map<std::string, int> ends;
    int programs = 0, crashes = 0;
    std::istringstream statusLines(statusText);
    for (std::string line; std::getline(statusLines, line);) {
        const size_t cut = line.find("] ");
        if (cut == std::string::npos || line.substr(cut + 2) == "start") continue;
        const std::string how = line.substr(cut + 2);
        ++ends[how];
        ++programs;
        // The server stops programs of clients that left with SIGTERM (SIGKILL if they
        // linger); every other signal, and the sanitizers' exit codes, are crashes.
        const bool signal = how.rfind("signal ", 0) == 0;
        const int code = std::atoi(how.substr(how.find(' ') + 1).c_str());
        if ((signal && code != SIGTERM && code != SIGKILL) || (!signal && code != 0)) {
            ++crashes;
            tally.Failures.push_back("demo program of " + line);
        }
    }
    std::printf("demo program runs by end:");
    for (const auto& [how, count] : ends) std::printf("  %s: %d", how.c_str(), count);
    std::printf("\n");
    return {programs, crashes};
}

// Uploads, temporary files, sanitizer reports and stray session files left in the folder;
// the session files kept.
std::vector<std::string> LeftFiles(const std::string& D, int& sessions) {
    std::vector<std::string> left;
    for (const char* sub : {"uploads", "tmp", "sanitizer"})
        for (const auto& f : Listing(D + "/" + sub))
            // The thread sanitizer's runtime makes this file in TMPDIR as a program starts and
            // removes it at once; a program the web server ends in between leaves it.
            if (fs::path(f).filename().string().rfind("tsan.rodata.", 0) != 0) left.push_back(f);
    for (const auto& f : Listing(D + "/sessions"))
        if (fs::path(f).extension() != ".ses") left.push_back(f);
    for (const auto& f : Listing(D + "/www"))
        if (fs::path(f).filename() != "demo.cgi") left.push_back(f);
    sessions = 0;
    for (const auto& f : Listing(D + "/sessions")) sessions += fs::path(f).extension() == ".ses";
    return left;
}

int RunBattery(TOptions opt) {
    const std::string self = SelfPath();
    if (opt.Demo.empty())
        opt.Demo = fs::path(self).parent_path().parent_path().string() + "/cgi_demo/cgi_demo";
    const std::string lighttpd = FindProgram("lighttpd");
    if (lighttpd.empty()) {
        std::printf("web_battery: lighttpd is not installed; nothing run\n");
        return 0;
    }
    if (::access(opt.Demo.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "web_battery: no demo program at %s\n", opt.Demo.c_str());
        return 2;
    }
    if (opt.Dir.empty())
        opt.Dir = (fs::temp_directory_path() / ("web_battery." + std::to_string(::getpid()))).string();
    const std::string D = opt.Dir;
    fs::remove_all(D);
    for (const char* sub : {"www", "sessions", "uploads", "log", "tmp", "sanitizer"})
        fs::create_directories(D + "/" + sub);
    fs::create_symlink(opt.Demo, D + "/www/demo.cgi");
    const int port = FreePort();
    // The server's idle limit is twice the watchdog's 30 s (lighttpd's default is 60 s), both
    // on the demo's clock: the watchdog ends a stalled large body, the server a small one.
    const int idle = std::max(2, static_cast<int>(60 / opt.ClockSpeed));
    const auto limit = std::chrono::seconds(static_cast<int>(30 / opt.ClockSpeed) + idle + 10);
    std::ostringstream clockSpeed;
    clockSpeed << opt.ClockSpeed;
    const TLighttpdSetup setup{
        D,
        port,
        self,
        {{"CGI_LOG_DIR", D + "/log"},
         {"CGI_DEMO_SESSION_DIR", D + "/sessions"},
         {"CGI_DEMO_TEMP", D + "/uploads"},
         {"TMPDIR", D + "/tmp"},
         {"CGI_DEMO_CLOCK_SPEED", clockSpeed.str()},
         {"WEB_BATTERY_STATUS_LOG", D + "/status.log"},
         // Quoted: the sanitizers' options part at a blank, and the folder may hold one.
         {"ASAN_OPTIONS", "log_path=\"" + D + "/sanitizer/asan\":exitcode=86:detect_leaks=1"},
         {"UBSAN_OPTIONS", "log_path=\"" + D + "/sanitizer/ubsan\":exitcode=87:print_stacktrace=1"}},
        {"server.max-read-idle = " + std::to_string(idle), "server.max-connections = 256"}};
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string v = *e;
        if (v.rfind("REQUEST_METHOD=", 0) != 0 && v.rfind("WEB_BATTERY_", 0) != 0) env.push_back(v);
    }
    const pid_t server = setup.Start(lighttpd, env);
    const bool up = setup.WaitUntilListening(std::chrono::seconds(5));
    if (!up) {
        std::fprintf(stderr, "web_battery: lighttpd did not start; %s/error.log says: %s\n", D.c_str(),
                     ReadAll(D + "/error.log").c_str());
        ::kill(server, SIGKILL);
        return 1;
    }

    std::printf("web_battery: seed %u, %d requests, %d at a time, demo clock x%g, in %s\n", opt.Seed,
                opt.Only >= 0 ? 1 : opt.Requests, opt.Jobs, opt.ClockSpeed, D.c_str());
    std::fflush(stdout);
    TTally tally;
    SendRequests(opt, port, limit, tally);
    const std::string statusText = WaitForPrograms(D + "/status.log", limit, tally);
    StopServer(server);

    std::printf("requests by kind and outcome (%d sent, %.1f s, slowest %.2f s, limit %lld s):\n",
                tally.Sent(), tally.Seconds, tally.Slowest, static_cast<long long>(limit.count()));
    for (const auto& [kind, outcomes] : tally.ByKind) {
        std::printf("  %-18s", kind.c_str());
        for (const auto& [what, count] : outcomes) std::printf("  %s: %d", what.c_str(), count);
        std::printf("\n");
    }
    const auto [programs, crashes] = ReportProgramEnds(statusText, tally);
    int sessions = 0;
    const std::vector<std::string> left = LeftFiles(D, sessions);
    std::printf("programs ended: %d; crashes: %d; session files kept: %d; files left behind: %zu\n", programs,
                crashes, sessions, left.size());
    // Answers without one program behind them test nothing of the engine.
    if (programs == 0 && tally.Sent() > 0) tally.Failures.push_back("no demo program ran");
    for (const auto& f : left) {
        tally.Failures.push_back("left behind: " + f);
        if (f.find("/sanitizer/") != std::string::npos) std::printf("%s\n", ReadAll(f).c_str());
    }
    if (tally.Failures.empty()) {
        std::printf("web_battery: passed\n");
        if (!opt.Keep) fs::remove_all(D);
        return 0;
    }
    std::printf("web_battery: %zu failures (replay one with --seed %u --only N):\n", tally.Failures.size(),
                opt.Seed);
    for (const auto& f : tally.Failures) std::printf("  %s\n", f.c_str());
    std::printf("files kept in %s\n", D.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (const char* log = std::getenv("WEB_BATTERY_STATUS_LOG"); log && argc == 2)
        return RunWrapped(argv[1], log);

    TOptions opt;
    TToolOptions options("web_battery",
                         "[--requests N] [--seed S] [--jobs J] [--clock-speed X] [--only I] [--keep] "
                         "[--demo PATH] [--dir DIR]");
    options.Number("--requests", opt.Requests, 1, 10000000)
        .Number("--seed", opt.Seed)
        .Number("--jobs", opt.Jobs, 1, 256)
        .Number("--clock-speed", opt.ClockSpeed, 1, 1000)
        .Number("--only", opt.Only, 0, 10000000)
        .Flag("--keep", opt.Keep)
        .Text("--demo", opt.Demo)
        .Text("--dir", opt.Dir);
    if (!options.Parse(argc, argv)) return 2;
    try {
        return RunBattery(std::move(opt));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "web_battery: %s\n", e.what());
        return 1;
    }
}
