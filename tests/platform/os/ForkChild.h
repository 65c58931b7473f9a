#pragma once
// A second process for sharing tests: the body runs in a forked child and talks to the
// test through two pipes, one character per step, so the two sides move in lock step
// without sleeps. The body's return value is the child's exit status.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>

class TForkChild {
public:
    explicit TForkChild(const std::function<int(TForkChild&)>& body) {
        int toChild[2], toParent[2];
        if (::pipe(toChild) != 0 || ::pipe(toParent) != 0) std::abort();
        FPid = ::fork();
        if (FPid < 0) std::abort();
        if (FPid == 0) {
            ::close(toChild[1]);
            ::close(toParent[0]);
            FIn = toChild[0];
            FOut = toParent[1];
            CloseInheritedFiles();
            int status = body(*this);
            ::_exit(status);
        }
        ::close(toChild[0]);
        ::close(toParent[1]);
        FIn = toParent[0];
        FOut = toChild[1];
    }
    TForkChild(const TForkChild&) = delete;
    TForkChild& operator=(const TForkChild&) = delete;
    ~TForkChild() { Wait(); }

    void Send(char c) {
        while (::write(FOut, &c, 1) < 0) {
        }
    }
    // The next character from the other side; 0 when it has gone.
    char Receive() {
        char c = 0;
        ssize_t n;
        do {
            n = ::read(FIn, &c, 1);
        } while (n < 0);
        return n == 1 ? c : 0;
    }
    // The child's exit status (-1 when it did not exit normally).
    int Wait() {
        if (FPid > 0) {
            ::close(FOut);
            FOut = -1;
            int status = 0;
            while (::waitpid(FPid, &status, 0) < 0) {
            }
            FStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            FPid = -1;
            ::close(FIn);
            FIn = -1;
        }
        return FStatus;
    }

private:
    // The child must not keep the test's open files (and their locks) alive.
    void CloseInheritedFiles() {
        int low = FIn < FOut ? FIn : FOut, high = FIn < FOut ? FOut : FIn;
        if (low > 3) ::close_range(3, low - 1, 0);
        if (high > low + 1) ::close_range(low + 1, high - 1, 0);
        ::close_range(high + 1, ~0u, 0);
    }

    pid_t FPid = -1;
    int FIn = -1;
    int FOut = -1;
    int FStatus = -1;
};

// A fresh directory under the system's temporary directory, removed with its files.
class TTempDir {
public:
    // Under base when given and usable, else under $TMPDIR or /tmp.
    explicit TTempDir(const char* base = nullptr) {
        if (!base || ::access(base, W_OK) != 0) base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/zelto-files-XXXXXX";
        if (!::mkdtemp(tmpl.data())) std::abort();
        FPath = tmpl;
    }
    ~TTempDir() { (void)!std::system(("rm -rf '" + FPath + "'").c_str()); }
    const std::string& Path() const { return FPath; }
    std::string File(const std::string& name) const { return FPath + "/" + name; }

private:
    std::string FPath;
};
