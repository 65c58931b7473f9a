#include "platform/os/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>
#include <vector>

#include "platform/rtl/SysUtils.h"

namespace {

thread_local int GOsLastError = 0;

// Every opener holds a shared lock on the open byte; an exclusive opener also holds the
// exclusive byte. Both lie far above anything a 32-bit offset and length can reach.
constexpr off_t kOpenByte = off_t(1) << 62;
constexpr off_t kExclusiveByte = kOpenByte + 1;

// The mapped head of a file, and the longest read served from it.
constexpr int64_t kHeadBytes = 4096;
constexpr int64_t kHeadReadMax = 16;

bool Fail(int error) {
    GOsLastError = error;
    return false;
}

int64_t FailValue(int error) {
    GOsLastError = error;
    return -1;
}

// A process started with a standard stream closed would get a file in its place, and what
// it prints would be written into that file. Such a descriptor is moved above them, and the
// stream's number is given /dev/null, so that later opens do not take it either.
int AboveStandardStreams(int fd) {
    if (fd < 0 || fd > STDERR_FILENO) return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int error = errno;
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
        ::dup2(null, fd);
        if (null > STDERR_FILENO) ::close(null);
    } else {
        ::close(fd);
    }
    errno = error;
    return moved;
}

int OpenRetry(const std::string& path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags, mode);
    } while (fd < 0 && errno == EINTR);
    return AboveStandardStreams(fd);
}

// Closes without letting close() disturb the error already recorded.
void CloseQuietly(int fd) {
    int saved = errno;
    ::close(fd);
    errno = saved;
}

bool SetOfdLock(int fd, short type, off_t start, off_t length) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = length;
    while (::fcntl(fd, F_OFD_SETLK, &fl) == -1) {
        if (errno == EINTR) continue;
        if (errno == EACCES) errno = EAGAIN;
        return false;
    }
    return true;
}

// 1 when another open file holds any lock on the range, 0 when none does, -1 on failure.
int HeldElsewhere(int fd, off_t start, off_t length) {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = length;
    while (::fcntl(fd, F_OFD_GETLK, &fl) == -1) {
        if (errno != EINTR) return -1;
    }
    return fl.l_type != F_UNLCK ? 1 : 0;
}

// Takes the share-mode locks of an open. Each side first announces itself and then looks
// for the other, so two racing openers can both be refused but never both admitted.
bool ClaimShare(int fd, bool exclusive) {
    if (!SetOfdLock(fd, F_RDLCK, kOpenByte, 1)) return false;
    if (exclusive && !SetOfdLock(fd, F_RDLCK, kExclusiveByte, 1)) return false;
    int held = HeldElsewhere(fd, exclusive ? kOpenByte : kExclusiveByte, 1);
    if (held < 0) return false;
    if (held > 0) {
        errno = EBUSY;
        return false;
    }
    return true;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

// A name with at most this many letters is looked for by asking for each of its case
// variants; a longer one by reading the folder. The names the engine makes up as it goes
// (a sort's scratch files: digits and ".TMP") are new by rule, and a sort makes hundreds of
// them in one folder: reading the folder for each would cost time growing with the square
// of their number.
constexpr size_t kProbedLetters = 3;

// The single entry of dir that equals name ignoring case; empty when none or several.
std::string UniqueCaseMatch(const std::string& dir, const std::string& name) {
    std::string found;
    int matches = 0;
    // Case is ignored as the file systems that ignore it do: for ASCII letters alone,
    // whatever the process's locale (as SameText does).
    const std::string lower = LowerCase(name);
    size_t letters[kProbedLetters];
    size_t count = 0;
    for (size_t i = 0; i < lower.size() && count <= kProbedLetters; ++i)
        if (lower[i] >= 'a' && lower[i] <= 'z') {
            if (count < kProbedLetters) letters[count] = i;
            ++count;
        }
    if (count <= kProbedLetters) {
        std::string variant = lower;
        struct stat st {};
        for (unsigned mask = 0; mask < (1u << count); ++mask) {
            for (size_t j = 0; j < count; ++j) {
                const char c = lower[letters[j]];
                variant[letters[j]] = (mask >> j) & 1 ? char(c - 'a' + 'A') : c;
            }
            if (::lstat(JoinPath(dir, variant).c_str(), &st) == 0) {
                ++matches;
                found = variant;
            }
        }
        return matches == 1 ? found : "";
    }
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return "";
    while (dirent* e = ::readdir(d)) {
        if (::strcmp(e->d_name, ".") == 0 || ::strcmp(e->d_name, "..") == 0) continue;
        if (SameText(e->d_name, name)) {
            ++matches;
            found = e->d_name;
        }
    }
    ::closedir(d);
    return matches == 1 ? found : "";
}

// Copies an open file to a new file and removes the source: a rename across file systems.
bool CopyAcross(int sourceFd, const std::string& from, const std::string& to) {
    struct stat st {};
    if (::fstat(sourceFd, &st) != 0) return Fail(errno);
    int target = OpenRetry(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777);
    if (target < 0) return Fail(errno);
    std::vector<char> buffer(65536);
    off_t offset = 0;
    int error = 0;
    for (;;) {
        ssize_t n = ::pread(sourceFd, buffer.data(), buffer.size(), offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = errno;
            break;
        }
        if (n == 0) break;
        ssize_t done = 0;
        while (done < n) {
            ssize_t w = ::write(target, buffer.data() + done, n - done);
            if (w < 0) {
                if (errno == EINTR) continue;
                error = errno;
                break;
            }
            if (w == 0) {
                error = ENOSPC;
                break;
            }
            done += w;
        }
        if (error) break;
        offset += n;
    }
    if (!error && ::fsync(target) != 0) error = errno;
    if (::close(target) != 0 && !error && errno != EINTR) error = errno;
    if (error) {
        ::unlink(to.c_str());
        return Fail(error);
    }
    if (::unlink(from.c_str()) != 0) {
        error = errno;
        ::unlink(to.c_str());
        return Fail(error);
    }
    return true;
}

bool RenameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
    // File systems without the flag: a hard link refuses an existing target as well.
    if (::link(from.c_str(), to.c_str()) == 0) {
        if (::unlink(from.c_str()) == 0) return true;
        int error = errno;
        ::unlink(to.c_str());
        errno = error;
        return false;
    }
    if (errno == EEXIST || errno == EXDEV || errno == ENOENT) return false;
    struct stat st {};
    if (::lstat(to.c_str(), &st) == 0) {
        errno = EEXIST;
        return false;
    }
    return ::rename(from.c_str(), to.c_str()) == 0;
}

// Opens a file and takes its share-mode locks. check may refuse what was opened (an errno
// value, 0 to go on); held works on the file once the locks are had (a create truncates
// only then). The descriptor and the resolved path, or -1 with the last error set.
int OpenHeld(const std::string& path, std::string& resolved, int flags, bool exclusive, int directoryError,
             int (*check)(const struct stat&), int (*held)(int)) {
    resolved = OsResolvePath(path);
    if (resolved.empty()) return int(FailValue(ENOENT));
    // Without waiting: a FIFO in a file's place would wait for a writer (check refuses it); the
    // flag means nothing to a regular file.
    int fd = OpenRetry(resolved, flags | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) return int(FailValue(errno == EISDIR ? directoryError : errno));
    struct stat st {};
    int error = ::fstat(fd, &st) != 0 ? errno : check ? check(st) : 0;
    if (!error && !ClaimShare(fd, exclusive)) error = errno;
    if (!error && held) error = held(fd);
    if (error) {
        ::close(fd);
        return int(FailValue(error));
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    return fd;
}

// A new file shows its name only once it is held, so that no other program can open,
// rename or delete it between its making and its share claim (a request file of the web
// exchange was claimed half written so): it is made unnamed in its folder, claimed, and
// then linked under its name, which fails when the name exists, as O_EXCL fails.
// kNoUnnamedFiles where the file system or the system has no unnamed files.
constexpr int kNoUnnamedFiles = -2;
int CreateHeld(const std::string& path, std::string& resolved) {
    resolved = OsResolvePath(path);
    if (resolved.empty()) return int(FailValue(ENOENT));
    const size_t slash = resolved.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : resolved.substr(0, slash);
    const int fd = OpenRetry(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd < 0) return kNoUnnamedFiles;
    if (!ClaimShare(fd, true)) {
        const int error = errno;
        ::close(fd);
        return int(FailValue(error));
    }
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, resolved.c_str(), AT_SYMLINK_FOLLOW) != 0) {
        const int error = errno;
        ::close(fd);
        // Without /proc the file cannot be named from its descriptor.
        if (error == ENOENT && ::access("/proc/self/fd", F_OK) != 0) return kNoUnnamedFiles;
        return int(FailValue(error));
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    return fd;
}

}  // namespace

int OsLastError() {
    return GOsLastError;
}
void SetOsLastError(int error) {
    GOsLastError = error;
}

std::string OsResolvePath(const std::string& path) {
    std::string p = path;
    for (char& c : p)
        if (c == '\\') c = '/';
    struct stat st {};
    if (p.empty() || ::lstat(p.c_str(), &st) == 0) return p;

    std::string current = p[0] == '/' ? "/" : "";
    bool resolving = true;
    size_t pos = 0;
    while (pos < p.size()) {
        size_t slash = p.find('/', pos);
        std::string part = p.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
        pos = slash == std::string::npos ? p.size() : slash + 1;
        if (part.empty()) continue;
        std::string candidate = JoinPath(current, part);
        if (resolving && ::lstat(candidate.c_str(), &st) != 0) {
            std::string match = errno == ENOENT ? UniqueCaseMatch(current, part) : "";
            if (match.empty())
                resolving = false;
            else
                candidate = JoinPath(current, match);
        }
        current = candidate;
    }
    if (p.back() == '/' && (current.empty() || current.back() != '/')) current += '/';
    return current;
}

int OsOpenFileOnly(const std::string& path, int flags) {
    const int fd = OpenRetry(path, flags | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat st {};
    const int error = ::fstat(fd, &st) != 0 ? errno
                      : S_ISREG(st.st_mode) ? 0
                      : S_ISDIR(st.st_mode) ? EISDIR
                                            : EACCES;
    if (!error) return fd;
    ::close(fd);
    errno = error;
    return -1;
}

bool OsFileExists(const std::string& path) {
    struct stat st {};
    std::string p = OsResolvePath(path);
    if (p.empty() || ::stat(p.c_str(), &st) != 0) return Fail(errno == 0 ? ENOENT : errno);
    return !S_ISDIR(st.st_mode);
}

bool OsGetReadOnly(const std::string& path, bool& readOnly, bool* forAll) {
    readOnly = false;
    if (forAll) *forAll = false;
    std::string p = OsResolvePath(path);
    struct stat st {};
    if (p.empty()) return Fail(ENOENT);
    if (::stat(p.c_str(), &st) != 0) return Fail(errno);
    const bool noWriteBits = (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
    readOnly = noWriteBits || ::access(p.c_str(), W_OK) != 0;
    if (forAll) *forAll = noWriteBits;
    return true;
}

// A file opened only to claim it exclusively before it is deleted or renamed: read-only, or
// write-only for a file this process may write and not read. A file it may do neither with
// is refused (EACCES), as there is no asking whether another program has it open.
int OpenToClaim(const std::string& path) {
    int fd = OpenRetry(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == EACCES) fd = OpenRetry(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    return fd;
}

bool OsDeleteFile(const std::string& path) {
    std::string p = OsResolvePath(path);
    if (p.empty()) return Fail(ENOENT);
    int fd = OpenToClaim(p);
    if (fd < 0) return Fail(errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        int error = S_ISDIR(st.st_mode) ? EACCES : errno;
        ::close(fd);
        return Fail(error);
    }
    if (!ClaimShare(fd, true)) {
        int error = errno;
        ::close(fd);
        return Fail(error);
    }
    int error = ::unlink(p.c_str()) == 0 ? 0 : errno;
    ::close(fd);
    return error ? Fail(error) : true;
}

bool OsSyncFolderOf(const std::string& path) {
    std::string p = OsResolvePath(path);
    size_t slash = p.find_last_of('/');
    std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : p.substr(0, slash));
    int fd = OpenRetry(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Fail(errno);
    int error = 0;
    while (::fsync(fd) != 0) {
        if (errno != EINTR) {
            error = errno;
            break;
        }
    }
    ::close(fd);
    return error ? Fail(error) : true;
}

bool OsCopyAccess(const std::string& from, const std::string& to) {
    const std::string source = OsResolvePath(from);
    const std::string target = OsResolvePath(to);
    struct stat st {};
    if (source.empty() || target.empty()) return Fail(ENOENT);
    if (::stat(source.c_str(), &st) != 0) return Fail(errno);
    if (::chown(target.c_str(), st.st_uid, st.st_gid) != 0)
        (void)::chown(target.c_str(), uid_t(-1), st.st_gid);
    // After the owner, whose change clears the set-id bits.
    return ::chmod(target.c_str(), st.st_mode & 07777) == 0 || Fail(errno);
}

bool OsRenameFile(const std::string& from, const std::string& to) {
    std::string source = OsResolvePath(from);
    std::string target = OsResolvePath(to);
    if (source.empty() || target.empty()) return Fail(ENOENT);
    struct stat sourceStat {};
    struct stat targetStat {};
    if (::stat(source.c_str(), &sourceStat) != 0) return Fail(errno);
    bool caseOnly = false;
    if (::stat(target.c_str(), &targetStat) == 0) {
        // Allowed only when the one entry matching the new name is the file itself and
        // the new name changes the case of its last component.
        std::string spelled = to;
        for (char& c : spelled)
            if (c == '\\') c = '/';
        size_t slash = spelled.rfind('/');
        std::string literal =
            slash == std::string::npos
                ? spelled
                : JoinPath(OsResolvePath(spelled.substr(0, slash + 1)), spelled.substr(slash + 1));
        if (targetStat.st_dev != sourceStat.st_dev || targetStat.st_ino != sourceStat.st_ino ||
            source == literal || !SameText(source, literal))
            return Fail(EEXIST);
        target = literal;
        caseOnly = true;
    }

    int fd = OpenToClaim(source);
    if (fd < 0) return Fail(errno);
    if (!ClaimShare(fd, true)) {
        int error = errno;
        ::close(fd);
        return Fail(error);
    }
    bool ok = caseOnly ? ::rename(source.c_str(), target.c_str()) == 0 : RenameNoReplace(source, target);
    int error = ok ? 0 : errno;
    if (!ok && error == EXDEV) {
        ok = CopyAcross(fd, source, target);
        error = ok ? 0 : GOsLastError;
    }
    CloseQuietly(fd);
    return ok ? true : Fail(error);
}

// ---- TOsFile ----

namespace {
// Forks of this process, counted in the child: a file opened before the last one is the
// parent's.
std::atomic<uint32_t> gForks{0};
[[maybe_unused]] const int gForkCounter = ::pthread_atfork(nullptr, nullptr, [] { gForks.fetch_add(1); });
}  // namespace

bool TOsFile::Inherited() const {
    return FForks != gForks.load(std::memory_order_relaxed);
}

TOsFile::TOsFile(int handle, std::string path, bool writable, bool deleteOnClose)
    : FForks(gForks.load(std::memory_order_relaxed)),
      FHandle(handle),
      FPath(std::move(path)),
      FWritable(writable),
      FDeleteOnClose(deleteOnClose) {}

TOsFile::~TOsFile() {
    if (FHead) ::munmap(const_cast<char*>(FHead), kHeadBytes);
    if (FDeleteOnClose && !Inherited()) ::unlink(FPath.c_str());
    ::close(FHandle);
}

TOsFile* TOsFile::Adopt(int fd, const std::string& path, bool writable, bool deleteOnClose, bool created) {
    if (fd < 0) return nullptr;
    try {
        return new TOsFile(fd, path, writable, deleteOnClose);
    } catch (...) {
        if (created || deleteOnClose) ::unlink(path.c_str());
        CloseQuietly(fd);
        throw;
    }
}

TOsFile* TOsFile::Open(const std::string& path, TOsAccess access, TOsShare share, bool deleteOnClose) {
    bool writable = access == TOsAccess::ReadWrite;
    std::string p;
    int fd = OpenHeld(
        path, p, writable ? O_RDWR : O_RDONLY, share == TOsShare::Exclusive, EACCES,
        [](const struct stat& st) { return S_ISREG(st.st_mode) ? 0 : EACCES; }, nullptr);
    return Adopt(fd, p, writable, deleteOnClose, false);
}

TOsFile* TOsFile::Create(const std::string& path) {
    // A new name is made by CreateNew, so that the file is known as this call's own should
    // its object not be had; a name that exists is opened and cut, unless it is a symbolic
    // link (ELOOP), which another user may have put there for the cut to reach its target.
    if (TOsFile* made = CreateNew(path); made || OsLastError() != EEXIST) return made;
    std::string p;
    int fd = OpenHeld(
        path, p, O_RDWR | O_CREAT | O_NOFOLLOW, true, EACCES,
        [](const struct stat& st) {
            return !S_ISREG(st.st_mode) || (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 ? EACCES : 0;
        },
        [](int held) {
            // An empty file is left alone: ext4 takes a cut to zero for a file about to be
            // rewritten in place and writes its new data out at the close, which a sort's
            // scratch file, deleted soon after, never needs.
            struct stat st {};
            if (::fstat(held, &st) == 0 && st.st_size == 0) return 0;
            while (::ftruncate(held, 0) != 0)
                if (errno != EINTR) return errno;
            return 0;
        });
    return Adopt(fd, p, true, false, false);
}

TOsFile* TOsFile::CreateNew(const std::string& path) {
    std::string p;
    int fd = CreateHeld(path, p);
    if (fd == kNoUnnamedFiles)
        fd = OpenHeld(path, p, O_RDWR | O_CREAT | O_EXCL, true, EEXIST, nullptr, nullptr);
    return Adopt(fd, p, true, false, true);
}

namespace {

// Another program may cut a file below a page this process has mapped (a copy written over
// an open table does). Touching the lost page then raises SIGBUS: a copy from a mapped head
// catches it and reports the copy failed, and the read goes to the file instead. Every
// other SIGBUS goes to the handler that was there before.
// Volatile: its stores around the copy must stay where they are.
thread_local sigjmp_buf* volatile tHeadCopy = nullptr;
struct sigaction gFormerBusAction {};

void OnBusError(int signal, siginfo_t* info, void* context) {
    if (tHeadCopy) siglongjmp(*tHeadCopy, 1);
    if (gFormerBusAction.sa_flags & SA_SIGINFO) {
        if (gFormerBusAction.sa_sigaction) return gFormerBusAction.sa_sigaction(signal, info, context);
    } else if (gFormerBusAction.sa_handler != SIG_DFL && gFormerBusAction.sa_handler != SIG_IGN) {
        return gFormerBusAction.sa_handler(signal);
    }
    // The default action, once the faulting access runs again.
    ::signal(SIGBUS, SIG_DFL);
}

void CatchBusErrors() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_sigaction = OnBusError;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGBUS, &action, &gFormerBusAction);
    });
}

// Byte by byte (at most kHeadReadMax), so that no library copy is left halfway by a jump.
bool CopyFromMap(void* buffer, const char* from, int64_t count) {
    sigjmp_buf jump;
    if (sigsetjmp(jump, 0) != 0) {
        tHeadCopy = nullptr;
        sigset_t bus;
        sigemptyset(&bus);
        sigaddset(&bus, SIGBUS);
        pthread_sigmask(SIG_UNBLOCK, &bus, nullptr);
        return false;
    }
    tHeadCopy = &jump;
    const volatile char* source = from;
    char* target = static_cast<char*>(buffer);
    for (int64_t i = 0; i < count; ++i) target[i] = source[i];
    tHeadCopy = nullptr;
    return true;
}

}  // namespace

bool TOsFile::ReadFromHead(void* buffer, int64_t count) {
    if (count <= 0 || count > kHeadReadMax || FPosition > kHeadBytes - count) return false;
    if (!FHeadTried) {
        struct stat st {};
        // An empty file is mapped later, once it has a head to read.
        if (::fstat(FHandle, &st) != 0 || st.st_size <= 0) return false;
        FHeadTried = true;
        CatchBusErrors();
        void* head = ::mmap(nullptr, kHeadBytes, PROT_READ, MAP_SHARED, FHandle, 0);
        if (head == MAP_FAILED) return false;
        FHead = static_cast<const char*>(head);
        FHeadValid = std::min<int64_t>(st.st_size, kHeadBytes);
    }
    if (!FHead || FPosition + count > FHeadValid) return false;
    if (!CopyFromMap(buffer, FHead + FPosition, count)) {
        // Cut by someone else: what the file still holds is no longer known.
        FHeadValid = 0;
        return false;
    }
    FPosition += count;
    return true;
}

void TOsFile::FileReaches(int64_t end) {
    if (FHead && end > FHeadValid) FHeadValid = std::min(end, kHeadBytes);
}

int64_t TOsFile::Read(void* buffer, int64_t count) {
    std::lock_guard<std::mutex> guard(FLock);
    if (count < 0) return FailValue(EINVAL);
    if (ReadFromHead(buffer, count)) return count;
    int64_t done = 0;
    while (done < count) {
        ssize_t n =
            ::pread(FHandle, static_cast<char*>(buffer) + done, size_t(count - done), FPosition + done);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (done == 0) return FailValue(errno);
            break;
        }
        if (n == 0) break;
        done += n;
    }
    FPosition += done;
    return done;
}

int64_t TOsFile::Write(const void* buffer, int64_t count) {
    std::lock_guard<std::mutex> guard(FLock);
    if (count < 0) return FailValue(EINVAL);
    int64_t done = 0;
    while (done < count) {
        ssize_t n = ::pwrite(FHandle, static_cast<const char*>(buffer) + done, size_t(count - done),
                             FPosition + done);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (done == 0) return FailValue(errno);
            break;
        }
        if (n == 0) {
            if (done == 0) return FailValue(ENOSPC);
            break;
        }
        done += n;
    }
    FPosition += done;
    FileReaches(FPosition);
    return done;
}

int64_t TOsFile::Seek(int64_t offset, int origin) {
    std::lock_guard<std::mutex> guard(FLock);
    int64_t base;
    switch (origin) {
        case 0:
            base = 0;
            break;
        case 1:
            base = FPosition;
            break;
        case 2: {
            struct stat st {};
            if (::fstat(FHandle, &st) != 0) return FailValue(errno);
            base = st.st_size;
            break;
        }
        default:
            return FailValue(EINVAL);
    }
    if ((offset < 0 && base + offset < 0) || (offset > 0 && base > INT64_MAX - offset))
        return FailValue(EINVAL);
    FPosition = base + offset;
    return FPosition;
}

int64_t TOsFile::Position() {
    std::lock_guard<std::mutex> guard(FLock);
    return FPosition;
}

bool TOsFile::SetEndOfFile() {
    std::lock_guard<std::mutex> guard(FLock);
    // Lowered before the cut, so that no read from the map can outlive it.
    FHeadValid = std::min(FHeadValid, FPosition);
    while (::ftruncate(FHandle, FPosition) != 0) {
        if (errno != EINTR) return Fail(errno);
    }
    FileReaches(FPosition);
    return true;
}

bool TOsFile::Flush() {
    while (::fsync(FHandle) != 0) {
        if (errno != EINTR) return Fail(errno);
    }
    return true;
}

int64_t TOsFile::Size() {
    struct stat st {};
    if (::fstat(FHandle, &st) != 0) return FailValue(errno);
    return st.st_size;
}

void TOsFile::AddRun(TRuns::const_iterator before, uint64_t start, TRun run) {
    if (FSpare.empty()) {
        FRanges.emplace_hint(before, start, run);
        return;
    }
    FSpare.key() = start;
    FSpare.mapped() = run;
    FRanges.insert(before, std::move(FSpare));
}

void TOsFile::DropRun(TRuns::iterator run) {
    if (FSpare.empty())
        FSpare = FRanges.extract(run);
    else
        FRanges.erase(run);
}

// Re-keys a run whose first ranges were released; it stays where it was in the order.
TOsFile::TRuns::iterator TOsFile::MoveRun(TRuns::iterator run, uint64_t start, uint64_t count) {
    auto next = std::next(run);
    auto node = FRanges.extract(run);
    node.key() = start;
    node.mapped().Count = count;
    return FRanges.insert(next, std::move(node));
}

TOsFile::TRuns::iterator TOsFile::RunAt(uint64_t offset, uint64_t& index) {
    auto after = FRanges.upper_bound(offset);
    if (after == FRanges.begin()) return FRanges.end();
    auto run = std::prev(after);
    const uint64_t into = offset - run->first, length = run->second.Length;
    index = length == 1 ? into : into / length;
    if (index >= run->second.Count || index * length != into) return FRanges.end();
    return run;
}

bool TOsFile::LockRange(uint64_t offset, uint64_t length) {
    std::lock_guard<std::mutex> guard(FLock);
    if (length == 0 || offset >= uint64_t(kOpenByte) || length > uint64_t(kOpenByte) - offset)
        return Fail(EINVAL);
    if (Inherited()) return Fail(EBADF);
    const uint64_t end = offset + length;
    auto after = FRanges.upper_bound(end - 1);
    auto before = after == FRanges.begin() ? FRanges.end() : std::prev(after);
    if (before != FRanges.end() && offset < before->second.End(before->first)) return Fail(EAGAIN);
    off_t start = off_t(offset), len = off_t(length);
    if (FWritable) {
        if (!SetOfdLock(FHandle, F_WRLCK, start, len)) return Fail(errno);
    } else {
        // A read-only file takes a shared lock and then makes sure it is the only holder.
        if (!SetOfdLock(FHandle, F_RDLCK, start, len)) return Fail(errno);
        int held = HeldElsewhere(FHandle, start, len);
        if (held != 0) {
            int error = held < 0 ? errno : EAGAIN;
            SetOfdLock(FHandle, F_UNLCK, start, len);
            return Fail(error);
        }
    }
    const bool joinsAfter = after != FRanges.end() && after->first == end && after->second.Length == length;
    if (before != FRanges.end() && before->second.Length == length &&
        before->second.End(before->first) == offset) {
        ++before->second.Count;
        if (joinsAfter) {
            before->second.Count += after->second.Count;
            DropRun(after);
        }
    } else if (joinsAfter) {
        MoveRun(after, offset, after->second.Count + 1);
    } else {
        AddRun(after, offset, TRun{length, 1});
    }
    return true;
}

bool TOsFile::UnlockRange(uint64_t offset, uint64_t length) {
    std::lock_guard<std::mutex> guard(FLock);
    uint64_t index = 0;
    auto run = RunAt(offset, index);
    if (run == FRanges.end() || run->second.Length != length) return Fail(EINVAL);
    if (!Inherited() && !SetOfdLock(FHandle, F_UNLCK, off_t(offset), off_t(length))) return Fail(errno);
    const uint64_t count = run->second.Count;
    if (count == 1)
        DropRun(run);
    else if (index == 0)
        MoveRun(run, offset + length, count - 1);
    else if (index == count - 1)
        run->second.Count = count - 1;
    else {
        run->second.Count = index;
        AddRun(std::next(run), offset + length, TRun{length, count - index - 1});
    }
    return true;
}

bool TOsFile::UnlockAdjacentRanges(uint64_t offset, uint64_t length) {
    std::lock_guard<std::mutex> guard(FLock);
    if (length == 0 || length > UINT64_MAX - offset) return Fail(EINVAL);
    const uint64_t end = offset + length;
    uint64_t head = 0;  // ranges of the first run below the span
    auto first = RunAt(offset, head);
    if (first == FRanges.end()) return Fail(EINVAL);
    // Whole ranges from `offset` on, each starting where the one before ends, up to `end`.
    auto last = first;
    uint64_t at = offset, index = head, tail = 0;  // tail: ranges of the last run above the span
    for (;;) {
        if (last == FRanges.end() || last->second.End(last->first) <= at) return Fail(EINVAL);
        const TRun& run = last->second;
        const uint64_t left = run.Count - index, fit = (end - at) / run.Length;
        if (fit == 0) return Fail(EINVAL);
        const uint64_t take = std::min(left, fit);
        at += take * run.Length;
        if (at == end) {
            tail = left - take;
            break;
        }
        if (take < left) return Fail(EINVAL);  // the next range reaches past the end
        ++last;
        index = 0;
        if (last != FRanges.end() && last->first != at) return Fail(EINVAL);
    }
    // Every byte of the span is held by this open file description, so one unlock of the
    // span releases exactly what the separate unlocks would.
    if (!Inherited() && !SetOfdLock(FHandle, F_UNLCK, off_t(offset), off_t(length))) return Fail(errno);
    const uint64_t runLength = last->second.Length;
    if (first == last) {
        if (head > 0) {
            first->second.Count = head;
            if (tail > 0) AddRun(std::next(first), end, TRun{runLength, tail});
        } else if (tail > 0) {
            MoveRun(first, end, tail);
        } else {
            DropRun(first);
        }
        return true;
    }
    if (head > 0) {
        first->second.Count = head;
        ++first;
    }
    if (tail > 0)
        last = MoveRun(last, end, tail);
    else
        ++last;
    // What lies between is released whole.
    while (first != last) {
        auto next = std::next(first);
        DropRun(first);
        first = next;
    }
    return true;
}
