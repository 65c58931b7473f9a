#pragma once
// Second processes for tests. A child is always waited for with a deadline: one that hangs
// is killed and reported, never left to stall the suite until ctest's time-out.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <ostream>
#include <string>

#include "tests/support/WaitUntil.h"

// How long a test waits for a child by default: far beyond what any child needs.
inline constexpr std::chrono::milliseconds ChildDeadline = std::chrono::seconds(60);

// How a child ended.
struct TChildEnd {
    bool Exited = false;  // by exit: Status holds its exit status
    int Status = -1;
    int Signal = 0;         // else the signal that ended it (0: no such child)
    bool TimedOut = false;  // still running at the deadline: killed here
    bool ExitedWith(int status) const { return Exited && Status == status; }
    bool KilledBy(int signal) const { return !Exited && !TimedOut && Signal == signal; }
};

inline std::ostream& operator<<(std::ostream& os, const TChildEnd& e) {
    if (e.TimedOut) return os << "still running at the deadline";
    if (e.Exited) return os << "exit status " << e.Status;
    if (e.Signal == 0) return os << "no child to wait for";
    return os << "killed by signal " << e.Signal;
}

// Waits for child `pid` (forked or spawned by the test) until `deadline`; then kills it
// and reports a time-out.
inline TChildEnd WaitForChild(pid_t pid, std::chrono::milliseconds deadline = ChildDeadline) {
    TChildEnd end;
    int status = 0;
    pid_t r = 0;
    bool ended = WaitUntil(
        [&] {
            r = ::waitpid(pid, &status, WNOHANG);
            return r == pid || (r < 0 && errno != EINTR);
        },
        TDeadline::After(deadline));
    if (ended && r != pid) return end;  // not (or no longer) a child to wait for
    if (!ended) {
        end.TimedOut = true;
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return end;
    }
    if (WIFEXITED(status)) {
        end.Exited = true;
        end.Status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        end.Signal = WTERMSIG(status);
    }
    return end;
}

// Runs a function in a forked child. The child talks to the test through a socket pair, one
// character per step, so the two sides move in lock step without sleeps; the function's
// return value is the child's exit status.
class TForkChild {
public:
    explicit TForkChild(const std::function<int(TForkChild&)>& body) {
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) std::abort();
        FPid = ::fork();
        if (FPid < 0) std::abort();
        if (FPid == 0) {
            ::close(pair[0]);
            FSocket = pair[1];
            CloseInheritedFiles();
            RestoreInterruptSignals();
            int status = 125;
            try {
                status = body(*this);
            } catch (...) {
            }
            ::_exit(status);
        }
        ::close(pair[1]);
        FSocket = pair[0];
    }
    TForkChild(const TForkChild&) = delete;
    TForkChild& operator=(const TForkChild&) = delete;
    // Reached without Finish only when a test failed early: the child gets a short while.
    ~TForkChild() { Finish(std::chrono::seconds(5)); }

    pid_t Pid() const { return FPid; }
    void Kill(int signal) const {
        if (FPid > 0) ::kill(FPid, signal);
    }

    // Sends one character; lost, not fatal, when the other side has gone.
    void Send(char c) {
        while (FSocket >= 0 && ::send(FSocket, &c, 1, MSG_NOSIGNAL) < 0 && errno == EINTR) {
        }
    }
    // The next character from the other side; 0 when it has gone or sent nothing before
    // the deadline.
    char Receive(std::chrono::milliseconds deadline = ChildDeadline) {
        if (FSocket < 0) return 0;
        pollfd p{FSocket, POLLIN, 0};
        const TDeadline end = TDeadline::After(deadline);
        for (;;) {
            int r = ::poll(&p, 1, 100);
            if (r > 0) break;
            if ((r < 0 && errno != EINTR) || end.Passed()) return 0;
        }
        char c = 0;
        ssize_t n;
        do {
            n = ::read(FSocket, &c, 1);
        } while (n < 0 && errno == EINTR);
        return n == 1 ? c : 0;
    }
    // Everything the other side sends until it closes its end (or the deadline passes).
    std::string ReceiveAll(std::chrono::milliseconds deadline = ChildDeadline) {
        std::string s;
        const TDeadline end = TDeadline::After(deadline);
        for (char c; !end.Passed() && (c = Receive(deadline)) != 0;) s += c;
        return s;
    }

    // Tells the child that the test has nothing more to say and waits for it until
    // `deadline`, killing it then.
    TChildEnd Finish(std::chrono::milliseconds deadline = ChildDeadline) {
        if (FPid > 0) {
            ::shutdown(FSocket, SHUT_WR);
            FEnd = WaitForChild(FPid, deadline);
            FPid = -1;
            ::close(FSocket);
            FSocket = -1;
        }
        return FEnd;
    }
    // The child's exit status; -1 when it did not exit normally (killed, or hanging).
    int Wait() {
        const TChildEnd end = Finish();
        return end.Exited ? end.Status : -1;
    }

private:
    // The child must not keep the test's open files (and their locks) alive.
    void CloseInheritedFiles() {
        if (FSocket > 3) ::close_range(3, FSocket - 1, 0);
        ::close_range(FSocket + 1, ~0u, 0);
    }
    // A test run as a background job of a script inherits SIGINT and SIGQUIT ignored; a
    // child the test stops with them must die of them.
    static void RestoreInterruptSignals() {
        sigset_t set;
        sigemptyset(&set);
        for (int s : {SIGINT, SIGQUIT}) {
            ::signal(s, SIG_DFL);
            sigaddset(&set, s);
        }
        ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    }

    pid_t FPid = -1;
    int FSocket = -1;
    TChildEnd FEnd;
};
