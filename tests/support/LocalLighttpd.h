#pragma once
// A lighttpd on 127.0.0.1 that runs the demo CGI program, for the end-to-end web tests and
// the web battery: a free port, the server's configuration, the server started (it dies
// with this process) and waited for, and client connections. Free of the test framework
// and of the project's libraries, so that the battery can use it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

// The program's path on PATH or in the sbin folders (where lighttpd usually is); "" when
// it is nowhere.
inline std::string FindProgram(const std::string& name) {
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/usr/sbin:/sbin:/usr/local/sbin";
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        const std::string candidate = path.substr(start, end - start) + "/" + name;
        if (end > start && ::access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

// A loopback port nobody listens on just now.
inline int FreePort() {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    socklen_t len = sizeof(a);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

// A connection to the port on 127.0.0.1 whose receives (and, with sendsToo, sends) give
// up after timeout; -1 when nobody listens.
inline int ConnectLoopback(int port, timeval timeout, bool sendsToo) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        ::close(s);
        return -1;
    }
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    if (sendsToo) ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
    return s;
}

// One answer: the status (0 when no answer came), the headers in lower case and the body.
struct THttpResponse {
    int status = 0;
    std::string headers;
    std::string body;
};

// Sends one request on a connection of its own to the port on 127.0.0.1 and reads the
// answer until the server closes the connection.
inline THttpResponse HttpRequest(int port, const std::string& method, const std::string& target,
                                 const std::vector<std::string>& headers = {}, const std::string& body = "") {
    THttpResponse r;
    const int s = ConnectLoopback(port, timeval{20, 0}, false);
    if (s < 0) return r;
    std::string req = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    for (const auto& h : headers) req += h + "\r\n";
    if (!body.empty() || method == "POST") req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    req += "\r\n" + body;
    ::send(s, req.data(), req.size(), MSG_NOSIGNAL);
    std::string raw;
    char buf[4096];
    for (ssize_t n; (n = ::recv(s, buf, sizeof(buf), 0)) > 0;) raw.append(buf, static_cast<size_t>(n));
    ::close(s);
    const size_t end = raw.find("\r\n\r\n");
    if (raw.rfind("HTTP/1.", 0) != 0 || end == std::string::npos) return r;
    r.status = std::atoi(raw.substr(9, 3).c_str());
    r.headers = raw.substr(0, end);
    for (char& c : r.headers) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    r.body = raw.substr(end + 4);
    return r;
}

// The environment of this process without the variables that make a CGI request: the
// web server's own.
inline std::vector<std::string> CleanEnvironment() {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string s(*e);
        const std::string name = s.substr(0, s.find('='));
        if (name != "REQUEST_METHOD" && name != "SERVER_SOFTWARE" && name != "CGI_VERSION" &&
            name != "QUERY_STRING" && name != "CONTENT_LENGTH" && name != "CONTENT_TYPE")
            env.push_back(s);
    }
    return env;
}

// Starts a program with the given environment; it dies with this process.
inline pid_t SpawnWithEnvironment(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    std::vector<char*> a, e;
    for (const auto& s : argv) a.push_back(const_cast<char*>(s.c_str()));
    a.push_back(nullptr);
    for (const auto& s : env) e.push_back(const_cast<char*>(s.c_str()));
    e.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::execve(a[0], a.data(), e.data());
        ::_exit(127);
    }
    return pid;
}

// Dir/www is the document root (the demo linked there as demo.cgi is the caller's), the
// error log is Dir/error.log and the configuration Dir/lighttpd.conf.
struct TLighttpdSetup {
    std::string Dir;
    int Port = 0;
    // What runs a .cgi file ("" runs it itself).
    std::string CgiRunner;
    // Variables the server adds to the programs' environment.
    std::vector<std::pair<std::string, std::string>> Environment;
    // Further lines of configuration.
    std::vector<std::string> Options;

    std::string ConfigPath() const { return Dir + "/lighttpd.conf"; }

    // A text as a quoted string of the configuration.
    static std::string Quoted(const std::string& text) {
        std::string q = "\"";
        for (char c : text) {
            if (c == '"' || c == '\\') q += '\\';
            q += c;
        }
        return q + '"';
    }

    void WriteConfig() const {
        std::ofstream conf(ConfigPath());
        conf << "server.document-root = " << Quoted(Dir + "/www") << "\n"
             << "server.bind = \"127.0.0.1\"\n"
             << "server.port = " << Port << "\n"
             << "server.errorlog = " << Quoted(Dir + "/error.log") << "\n"
             << "server.modules = (\"mod_cgi\", \"mod_setenv\")\n"
             // The program starts while the body still arrives.
             << "server.stream-request-body = 2\n";
        for (const auto& line : Options) conf << line << "\n";
        conf << "cgi.assign = (\".cgi\" => " << Quoted(CgiRunner) << ")\n";
        conf << "setenv.add-environment = (";
        for (size_t i = 0; i < Environment.size(); ++i)
            conf << (i ? ", " : "") << Quoted(Environment[i].first) << " => "
                 << Quoted(Environment[i].second);
        conf << ")\n";
    }

    // Writes the configuration and starts the server (program: lighttpd's path) with the
    // environment env; it dies with this process.
    pid_t Start(const std::string& program, const std::vector<std::string>& env) const {
        WriteConfig();
        return SpawnWithEnvironment({program, "-D", "-f", ConfigPath()}, env);
    }

    // Whether the server takes connections within the time (asked every 25 ms).
    bool WaitUntilListening(std::chrono::milliseconds within) const {
        const auto end = std::chrono::steady_clock::now() + within;
        for (;;) {
            const int s = ConnectLoopback(Port, timeval{1, 0}, false);
            if (s >= 0) {
                ::close(s);
                return true;
            }
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
    }
};
