#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "platform/os/Files.h"
#include "tests/support/ForkChild.h"
#include "tests/support/ScratchDir.h"

namespace {

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::unique_ptr<TOsFile> OpenShared(const std::string& path) {
    return std::unique_ptr<TOsFile>(TOsFile::Open(path, TOsAccess::ReadWrite, TOsShare::ReadWrite));
}

// A new empty file at `path`, opened again as shared; null when either step fails.
std::unique_ptr<TOsFile> CreateShared(const std::string& path) {
    if (!std::unique_ptr<TOsFile>(TOsFile::Create(path))) return nullptr;
    return OpenShared(path);
}

constexpr uint64_t kHigh = 2000000000;  // where the engine's locks lie

// Allocations this thread may still make before one fails; -1: none fails.
thread_local long tAllocationsLeft = -1;

int OpenDescriptors() {
    int n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

}  // namespace

// The heap of this test program, which a test can make run out.
void* operator new(std::size_t size) {
    if (tAllocationsLeft == 0) {
        tAllocationsLeft = -1;
        throw std::bad_alloc();
    }
    if (tAllocationsLeft > 0) --tAllocationsLeft;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

TEST(OsFile, ReadWriteSeekAndTruncate) {
    TScratchDir dir;
    std::unique_ptr<TOsFile> f(TOsFile::Create(dir.File("a.dat")));
    ASSERT_TRUE(f);
    EXPECT_EQ(f->Write("hello world", 11), 11);
    EXPECT_EQ(f->Position(), 11);
    EXPECT_EQ(f->Seek(0, 2), 11);
    EXPECT_EQ(f->Seek(6, 0), 6);
    char buf[16] = {};
    EXPECT_EQ(f->Read(buf, 16), 5);  // short at the end of the file
    EXPECT_EQ(std::string(buf, 5), "world");
    EXPECT_EQ(f->Read(buf, 4), 0);
    EXPECT_EQ(f->Seek(-3, 1), 8);
    EXPECT_EQ(f->Seek(-9, 1), -1);
    EXPECT_EQ(OsLastError(), EINVAL);
    EXPECT_EQ(f->Position(), 8);
    EXPECT_EQ(f->Seek(5, 0), 5);
    EXPECT_TRUE(f->SetEndOfFile());
    EXPECT_EQ(f->Size(), 5);
    // Writing past the end leaves zeros in the gap.
    EXPECT_EQ(f->Seek(8, 0), 8);
    EXPECT_EQ(f->Write("!", 1), 1);
    EXPECT_TRUE(f->Flush());
    EXPECT_EQ(ReadText(dir.File("a.dat")), std::string("hello\0\0\0!", 9));
}

// Small reads in the file's first 4096 bytes come from a mapped page: they must see every
// write (this handle's and another process's) and end where the file ends.
TEST(OsFile, SmallReadsAtTheHeadFollowWritesAndCuts) {
    TScratchDir dir;
    std::string path = dir.File("a.dat");
    std::unique_ptr<TOsFile> f = CreateShared(path);
    ASSERT_TRUE(f);
    auto readAt = [&](int64_t at, int64_t count) {
        char buf[16] = {};
        f->Seek(at, 0);
        int64_t n = f->Read(buf, count);
        EXPECT_EQ(f->Position(), at + std::max<int64_t>(n, 0));
        return n < 0 ? std::string("?") : std::string(buf, size_t(n));
    };
    EXPECT_EQ(readAt(0, 4), "");
    ASSERT_EQ(f->Write("abcdefgh", 8), 8);
    EXPECT_EQ(readAt(0, 4), "abcd");
    EXPECT_EQ(readAt(6, 4), "gh");  // short at the end of the file
    TForkChild child([&](TForkChild& me) {
        std::unique_ptr<TOsFile> g = OpenShared(path);
        if (!g || g->Write("WXYZ", 4) != 4) return 1;
        me.Send('w');
        return 0;
    });
    ASSERT_EQ(child.Receive(), 'w');
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_EQ(readAt(0, 4), "WXYZ");
    f->Seek(2, 0);
    ASSERT_TRUE(f->SetEndOfFile());
    EXPECT_EQ(readAt(0, 4), "WX");
    // Growing again: a gap reads as zeros, and reads across the page's end stay whole.
    f->Seek(4090, 0);
    ASSERT_EQ(f->Write("123456789", 9), 9);
    EXPECT_EQ(readAt(100, 4), std::string(4, '\0'));
    EXPECT_EQ(readAt(4092, 4), "3456");
    EXPECT_EQ(readAt(4094, 8), "56789");
    EXPECT_EQ(readAt(4099, 4), "");
    f->Seek(4093, 0);
    ASSERT_TRUE(f->SetEndOfFile());
    EXPECT_EQ(readAt(4090, 8), "123");
}

// Another program cutting the file below the mapped page (a copy written over it) makes
// the page's bytes vanish: small reads there end where the file now ends instead of
// faulting, and see what is written again.
TEST(OsFile, SmallReadsAtTheHeadSurviveACutByAnotherProgram) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer keeps SIGBUS to itself";
#endif
    TScratchDir dir;
    std::string path = dir.File("a.dat");
    std::unique_ptr<TOsFile> f = CreateShared(path);
    ASSERT_TRUE(f);
    ASSERT_EQ(f->Write("abcdefgh", 8), 8);
    auto readAt = [&](int64_t at, int64_t count) {
        char buf[16] = {};
        f->Seek(at, 0);
        const int64_t n = f->Read(buf, count);
        return n < 0 ? std::string("?") : std::string(buf, size_t(n));
    };
    EXPECT_EQ(readAt(0, 4), "abcd");  // mapped
    auto other = [&](const std::string& text) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, text.data(), text.size()), ssize_t(text.size()));
        ::close(fd);
    };
    other("");
    EXPECT_EQ(readAt(0, 4), "");
    EXPECT_EQ(readAt(2, 4), "");
    other("PQ");
    EXPECT_EQ(readAt(0, 4), "PQ");
    f->Seek(4, 0);
    ASSERT_EQ(f->Write("rstu", 4), 4);  // a gap of zeros at 2 and 3
    EXPECT_EQ(readAt(0, 8), std::string("PQ\0\0rstu", 8));
}

TEST(OsFile, DescriptorsAreCloseOnExec) {
    TScratchDir dir;
    std::unique_ptr<TOsFile> f(TOsFile::Create(dir.File("a.dat")));
    ASSERT_TRUE(f);
    EXPECT_TRUE(::fcntl(f->Handle(), F_GETFD) & FD_CLOEXEC);
}

// A program started with its standard streams closed must not get a file in their place:
// whatever it printed would be written into that file.
TEST(OsFileProcesses, FilesNeverTakeTheStandardStreams) {
    TScratchDir dir;
    WriteText(dir.File("old.dat"), "old");
    TForkChild child([&](TForkChild&) {
        for (int fd = 0; fd <= 2; ++fd) ::close(fd);
        std::unique_ptr<TOsFile> files[] = {OpenShared(dir.File("old.dat")),
                                            std::unique_ptr<TOsFile>(TOsFile::Create(dir.File("a.dat"))),
                                            std::unique_ptr<TOsFile>(TOsFile::CreateNew(dir.File("b.dat")))};
        for (const auto& f : files)
            if (!f || f->Handle() <= 2 || !(::fcntl(f->Handle(), F_GETFD) & FD_CLOEXEC)) return 1;
        for (int fd = 0; fd <= 2; ++fd)
            if (::write(fd, "printed", 7) < 0 && errno != EBADF) return 2;
        return 0;
    });
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_EQ(ReadText(dir.File("old.dat")), "old");
    EXPECT_EQ(ReadText(dir.File("a.dat")), "");
    EXPECT_EQ(ReadText(dir.File("b.dat")), "");
}

// When the heap runs out at any allocation of an open or a create, nothing of it stays: no
// descriptor, so no share lock that would refuse the next open, and no file made by the call;
// a file that was there before stays.
TEST(OsFile, AnOpenThatRunsOutOfMemoryLeavesNothingBehind) {
    TScratchDir dir;
    const std::string path = dir.File("a.dat"), made = dir.File("made.dat");
    WriteText(path, "x");
    const std::vector<std::pair<std::string, std::function<TOsFile*()>>> openers = {
        {path, [&] { return TOsFile::Open(path, TOsAccess::ReadWrite, TOsShare::Exclusive); }},
        {path, [&] { return TOsFile::Create(path); }},
        {made, [&] { return TOsFile::Create(made); }},
        {made, [&] { return TOsFile::CreateNew(made); }},
    };
    for (const auto& [name, open] : openers) {
        int failures = 0;
        for (long n = 0; failures < 100; ++n) {
            const int descriptors = OpenDescriptors();
            std::unique_ptr<TOsFile> f;
            tAllocationsLeft = n;
            try {
                f.reset(open());
            } catch (const std::bad_alloc&) {
                tAllocationsLeft = -1;
                ++failures;
                EXPECT_EQ(OpenDescriptors(), descriptors) << name << ", allocation " << n;
                EXPECT_EQ(OsFileExists(made), false) << name << ", allocation " << n;
                ASSERT_TRUE(OsFileExists(path)) << name << ", allocation " << n;
                EXPECT_TRUE(
                    std::unique_ptr<TOsFile>(TOsFile::Open(path, TOsAccess::ReadWrite, TOsShare::Exclusive)))
                    << name << ", allocation " << n;
                continue;
            }
            tAllocationsLeft = -1;
            EXPECT_TRUE(f) << name;
            EXPECT_GT(failures, 0) << name;
            break;
        }
        EXPECT_TRUE(name != made || OsDeleteFile(made));
    }
}

TEST(OsFile, MissingFilesAndDirectories) {
    TScratchDir dir;
    EXPECT_FALSE(OpenShared(dir.File("none.dat")));
    EXPECT_EQ(OsLastError(), ENOENT);
    EXPECT_FALSE(OpenShared(dir.File("nodir/none.dat")));
    EXPECT_EQ(OsLastError(), ENOENT);
    EXPECT_FALSE(OpenShared(dir.Path()));
    EXPECT_EQ(OsLastError(), EACCES);
    EXPECT_FALSE(OsFileExists(dir.Path()));
    EXPECT_FALSE(OsDeleteFile(dir.File("none.dat")));
    EXPECT_EQ(OsLastError(), ENOENT);
}

TEST(OsFile, BackslashesAndCaseInsensitiveLookup) {
    TScratchDir dir;
    ASSERT_EQ(::mkdir(dir.File("Data").c_str(), 0777), 0);
    WriteText(dir.File("Data/Parts.DAT"), "x");
    EXPECT_EQ(OsResolvePath(dir.Path() + "\\data\\parts.dat"), dir.File("Data/Parts.DAT"));
    EXPECT_TRUE(OsFileExists(dir.Path() + "\\DATA\\PARTS.dat"));
    EXPECT_TRUE(OpenShared(dir.Path() + "\\data\\PARTS.DAT"));
    // A name that exists as spelled is taken as it is; two case variants match neither.
    WriteText(dir.File("Data/parts.dat"), "y");
    EXPECT_EQ(OsResolvePath(dir.File("Data/parts.dat")), dir.File("Data/parts.dat"));
    EXPECT_FALSE(OsFileExists(dir.File("data/PARTS.Dat")));
    // A create of a case variant reuses the existing file instead of adding a second one.
    WriteText(dir.File("Data/Index.IDX"), "old");
    std::unique_ptr<TOsFile> f(TOsFile::Create(dir.File("data/index.idx")));
    ASSERT_TRUE(f);
    EXPECT_EQ(f->Path(), dir.File("Data/Index.IDX"));
    EXPECT_EQ(f->Size(), 0);
    // Names of few letters are looked for variant by variant: the same answers.
    WriteText(dir.File("Data/17.Tmp"), "z");
    EXPECT_EQ(OsResolvePath(dir.File("data/17.TMP")), dir.File("Data/17.Tmp"));
    WriteText(dir.File("Data/18.tmp"), "z");
    WriteText(dir.File("Data/18.TMP"), "z");
    EXPECT_FALSE(OsFileExists(dir.File("Data/18.tMp")));
    EXPECT_FALSE(OsFileExists(dir.File("Data/19.TMP")));
    EXPECT_EQ(OsResolvePath(dir.File("Data/19.TMP")), dir.File("Data/19.TMP"));
}

TEST(OsFile, ReadOnlyJudgedFromPermissionBits) {
    TScratchDir dir;
    std::string path = dir.File("ro.dat");
    WriteText(path, "data");
    bool readOnly = true;
    ASSERT_TRUE(OsGetReadOnly(path, readOnly));
    EXPECT_FALSE(readOnly);
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    ASSERT_TRUE(OsGetReadOnly(path, readOnly));
    EXPECT_TRUE(readOnly);
    // Create-always refuses it even where the process could write anyway.
    EXPECT_FALSE(std::unique_ptr<TOsFile>(TOsFile::Create(path)));
    EXPECT_EQ(OsLastError(), EACCES);
    EXPECT_EQ(ReadText(path), "data");
    EXPECT_FALSE(OsGetReadOnly(dir.File("none"), readOnly));
    EXPECT_EQ(OsLastError(), ENOENT);
}

// What stands in a file's place and is no file: a FIFO would be waited on for a writer that
// never comes, and a create-always over a symbolic link would cut the file it leads to.
TEST(OsFileProcesses, ObjectsInAFilesPlaceAreRefused) {
    TScratchDir dir;
    ASSERT_EQ(::mkfifo(dir.File("pipe.dat").c_str(), 0444), 0);
    ASSERT_EQ(::mkfifo(dir.File("rw.dat").c_str(), 0644), 0);
    TForkChild child([&](TForkChild&) {
        if (TOsFile::Open(dir.File("pipe.dat"), TOsAccess::Read, TOsShare::ReadWrite) ||
            OsLastError() != EACCES)
            return 1;
        if (OpenShared(dir.File("rw.dat")) || OsLastError() != EACCES) return 2;
        return 0;
    });
    const TChildEnd end = child.Finish(std::chrono::seconds(10));
    EXPECT_TRUE(end.Exited && end.Status == 0) << "signal " << end.Signal << ", status " << end.Status;

    WriteText(dir.File("victim.txt"), "keep");
    ASSERT_EQ(::symlink(dir.File("victim.txt").c_str(), dir.File("t.idx").c_str()), 0);
    EXPECT_FALSE(std::unique_ptr<TOsFile>(TOsFile::Create(dir.File("t.idx"))));
    EXPECT_EQ(ReadText(dir.File("victim.txt")), "keep");
}

TEST(OsFile, DeleteOnClose) {
    TScratchDir dir;
    std::string path = dir.File("t.tmp");
    WriteText(path, "x");
    {
        std::unique_ptr<TOsFile> f(TOsFile::Open(path, TOsAccess::ReadWrite, TOsShare::ReadWrite, true));
        ASSERT_TRUE(f);
        EXPECT_TRUE(OsFileExists(path));
    }
    EXPECT_FALSE(OsFileExists(path));
}

TEST(OsFile, RenameNeverReplaces) {
    TScratchDir dir;
    WriteText(dir.File("a.dat"), "a");
    WriteText(dir.File("b.dat"), "b");
    EXPECT_FALSE(OsRenameFile(dir.File("a.dat"), dir.File("b.dat")));
    EXPECT_EQ(OsLastError(), EEXIST);
    EXPECT_FALSE(OsRenameFile(dir.File("a.dat"), dir.File("B.DAT")));  // a case variant is the same name
    EXPECT_EQ(ReadText(dir.File("b.dat")), "b");
    EXPECT_TRUE(OsRenameFile(dir.File("a.dat"), dir.File("c.dat")));
    EXPECT_EQ(ReadText(dir.File("c.dat")), "a");
    EXPECT_FALSE(OsFileExists(dir.File("a.dat")));
    // Changing only the case of a name is allowed.
    EXPECT_TRUE(OsRenameFile(dir.File("c.dat"), dir.File("C.DAT")));
    EXPECT_EQ(ReadText(dir.File("C.DAT")), "a");
    EXPECT_FALSE(OsRenameFile(dir.File("none.dat"), dir.File("d.dat")));
    EXPECT_EQ(OsLastError(), ENOENT);
}

TEST(OsFile, RenameAcrossFileSystemsCopies) {
    TScratchDir dir;
    struct stat a {
    }, b{};
    if (::stat("/dev/shm", &b) != 0 || ::stat(dir.Path().c_str(), &a) != 0 || a.st_dev == b.st_dev)
        GTEST_SKIP() << "no second file system at hand";
    std::string target = "/dev/shm/zelto-files-" + std::to_string(::getpid()) + ".dat";
    std::string big(200000, 'q');
    WriteText(dir.File("a.dat"), big);
    ASSERT_TRUE(OsRenameFile(dir.File("a.dat"), target));
    EXPECT_EQ(ReadText(target), big);
    EXPECT_FALSE(OsFileExists(dir.File("a.dat")));
    WriteText(dir.File("b.dat"), "b");
    EXPECT_FALSE(OsRenameFile(dir.File("b.dat"), target));
    EXPECT_EQ(OsLastError(), EEXIST);
    ::unlink(target.c_str());
}

// Many one-byte locks of one handle, as a transaction holds one per record: a range is
// refused when it reaches into any of them, wherever it lies among them.
TEST(OsFile, ManyRangeLocksOfOneHandle) {
    TScratchDir dir;
    std::unique_ptr<TOsFile> f(TOsFile::Create(dir.File("m.dat")));
    ASSERT_TRUE(f);
    constexpr uint64_t Top = 1000000;
    for (uint64_t i = 0; i < 2000; i += 2) ASSERT_TRUE(f->LockRange(Top - i, 1)) << i;
    struct Case {
        uint64_t Offset, Length;
        bool Granted;
    };
    const Case cases[] = {
        {Top - 1, 1, true},            // a gap between two held bytes
        {Top - 3, 1, true},            // another gap, now beside a lock just granted
        {Top - 1001, 2, false},        // the gap and the held byte above it
        {Top - 1102, 2, false},        // a held byte and the gap above it
        {Top - 1998 - 10, 10, true},   // below the lowest held byte, touching it
        {Top - 1998 - 10, 11, false},  // the same, reaching it
        {Top + 1, 5, true},            // above the highest
        {Top - 500, 1000, false},      // over many
        {0, Top - 2000, false},        // up to the range just granted
        {0, Top - 2008, true},
    };
    for (const Case& c : cases) EXPECT_EQ(f->LockRange(c.Offset, c.Length), c.Granted) << c.Offset;
    EXPECT_TRUE(f->UnlockRange(Top - 1000, 1));
    EXPECT_TRUE(f->LockRange(Top - 1001, 2));
    EXPECT_FALSE(f->UnlockRange(Top - 1001, 1));
    for (uint64_t i = 0; i < 2000; i += 2)
        if (i != 1000) {
            EXPECT_TRUE(f->UnlockRange(Top - i, 1)) << i;
        }
    EXPECT_FALSE(f->LockRange(Top - 1990, 1980));  // the two bytes locked over the gap
    EXPECT_TRUE(f->UnlockRange(Top - 1001, 2));
    EXPECT_TRUE(f->LockRange(Top - 1990, 1980));
}

// Locks, unlocks and span unlocks in random order, against a table of exact ranges: the
// handle's bookkeeping (runs of adjacent ranges of one length) grants and refuses alike.
TEST(OsFile, RangeLocksMatchAModelOfExactRanges) {
    TScratchDir dir;
    std::unique_ptr<TOsFile> f(TOsFile::Create(dir.File("r.dat")));
    ASSERT_TRUE(f);
    std::map<uint64_t, uint64_t> model;  // start -> length
    auto overlaps = [&](uint64_t offset, uint64_t length) {
        auto after = model.upper_bound(offset + length - 1);
        return after != model.begin() && offset < std::prev(after)->first + std::prev(after)->second;
    };
    auto spanHeld = [&](uint64_t offset, uint64_t length, auto& last) {
        last = model.find(offset);
        for (uint64_t at = offset; at < offset + length; ++last) {
            if (last == model.end() || last->first != at || last->second > offset + length - at) return false;
            at += last->second;
        }
        return true;
    };
    std::mt19937 random(7);
    auto pick = [&](uint32_t n) { return uint64_t(random() % n); };
    for (int step = 0; step < 20000; ++step) {
        const uint64_t offset = kHigh + pick(48), length = pick(4) == 0 ? 1 + pick(3) : 1;
        switch (pick(3)) {
        case 0: {
            const bool granted = !overlaps(offset, length);
            ASSERT_EQ(f->LockRange(offset, length), granted) << step;
            if (granted) model.emplace(offset, length);
            break;
        }
        case 1: {
            auto held = model.find(offset);
            const bool released = held != model.end() && held->second == length;
            ASSERT_EQ(f->UnlockRange(offset, length), released) << step;
            if (released) model.erase(held);
            break;
        }
        default: {
            const uint64_t span = 1 + pick(12);
            std::map<uint64_t, uint64_t>::iterator last;
            const bool released = spanHeld(offset, span, last);
            ASSERT_EQ(f->UnlockAdjacentRanges(offset, span), released) << step;
            if (released) model.erase(model.find(offset), last);
        }
        }
    }
    for (const auto& [offset, length] : model) EXPECT_TRUE(f->UnlockRange(offset, length)) << offset;
    EXPECT_TRUE(f->LockRange(kHigh, 64));
}

TEST(OsFile, RangeLocksInProcess) {
    TScratchDir dir;
    std::string path = dir.File("l.dat");
    std::unique_ptr<TOsFile> f = CreateShared(path);
    std::unique_ptr<TOsFile> g = OpenShared(path);
    ASSERT_TRUE(f && g);

    // Through the same file object: any overlap is refused, touching ranges are not.
    EXPECT_TRUE(f->LockRange(100, 10));
    EXPECT_FALSE(f->LockRange(105, 10));
    EXPECT_EQ(OsLastError(), EAGAIN);
    EXPECT_FALSE(f->LockRange(95, 6));
    EXPECT_FALSE(f->LockRange(0, 1000));
    EXPECT_TRUE(f->LockRange(110, 5));
    EXPECT_TRUE(f->LockRange(90, 10));
    // Through a second open of the same file.
    EXPECT_FALSE(g->LockRange(109, 1));
    EXPECT_TRUE(g->LockRange(115, 1));
    EXPECT_FALSE(f->LockRange(115, 1));
    // Unlocks must name exactly a locked range.
    EXPECT_FALSE(f->UnlockRange(100, 5));
    EXPECT_FALSE(f->UnlockRange(100, 11));
    EXPECT_FALSE(g->UnlockRange(100, 10));
    EXPECT_TRUE(f->UnlockRange(100, 10));
    EXPECT_FALSE(f->UnlockRange(100, 10));
    EXPECT_TRUE(g->LockRange(100, 10));
    // Locks far past the end of the file, up to the top of the 32-bit range.
    EXPECT_TRUE(f->LockRange(kHigh, 1));
    EXPECT_FALSE(g->LockRange(kHigh, 1));
    EXPECT_TRUE(f->LockRange(0xFFFFFFFFull, 0xFFFFFFFFull));
    EXPECT_FALSE(g->LockRange(0x1FFFFFFF0ull, 1));
    EXPECT_FALSE(f->LockRange(0, 0));
    // Closing the other open drops only its locks.
    g.reset();
    EXPECT_TRUE(f->LockRange(100, 10));
    EXPECT_EQ(f->Size(), 0);
}

TEST(OsFile, ReadOnlyOpensStillExcludeEachOther) {
    TScratchDir dir;
    std::string path = dir.File("r.dat");
    WriteText(path, "abc");
    std::unique_ptr<TOsFile> a(TOsFile::Open(path, TOsAccess::Read, TOsShare::ReadWrite));
    std::unique_ptr<TOsFile> b(TOsFile::Open(path, TOsAccess::Read, TOsShare::ReadWrite));
    std::unique_ptr<TOsFile> w = OpenShared(path);
    ASSERT_TRUE(a && b && w);
    EXPECT_TRUE(a->LockRange(kHigh, 4));
    EXPECT_FALSE(b->LockRange(kHigh + 2, 1));
    EXPECT_FALSE(w->LockRange(kHigh + 3, 1));
    EXPECT_TRUE(b->LockRange(kHigh + 4, 1));
    EXPECT_TRUE(a->UnlockRange(kHigh, 4));
    EXPECT_TRUE(w->LockRange(kHigh, 4));
    EXPECT_FALSE(a->LockRange(kHigh, 1));
    // A read-only open can take an exclusive share too.
    a.reset();
    b.reset();
    w.reset();
    std::unique_ptr<TOsFile> x(TOsFile::Open(path, TOsAccess::Read, TOsShare::Exclusive));
    ASSERT_TRUE(x);
    EXPECT_FALSE(OpenShared(path));
    EXPECT_EQ(OsLastError(), EBUSY);
}

TEST(OsFile, ShareModesInProcess) {
    TScratchDir dir;
    std::string path = dir.File("s.dat");
    WriteText(path, "keep me");
    {
        std::unique_ptr<TOsFile> a = OpenShared(path);
        ASSERT_TRUE(a);
        EXPECT_TRUE(OpenShared(path));
        EXPECT_FALSE(TOsFile::Open(path, TOsAccess::ReadWrite, TOsShare::Exclusive));
        EXPECT_EQ(OsLastError(), EBUSY);
        // A create of an open name fails before it truncates anything.
        EXPECT_FALSE(TOsFile::Create(path));
        EXPECT_EQ(OsLastError(), EBUSY);
        EXPECT_EQ(ReadText(path), "keep me");
        EXPECT_FALSE(OsDeleteFile(path));
        EXPECT_EQ(OsLastError(), EBUSY);
        EXPECT_FALSE(OsRenameFile(path, dir.File("t.dat")));
        EXPECT_EQ(OsLastError(), EBUSY);
    }
    std::unique_ptr<TOsFile> x(TOsFile::Open(path, TOsAccess::ReadWrite, TOsShare::Exclusive));
    ASSERT_TRUE(x);
    EXPECT_FALSE(OpenShared(path));
    x.reset();
    EXPECT_TRUE(OsRenameFile(path, dir.File("t.dat")));
    EXPECT_TRUE(OsDeleteFile(dir.File("t.dat")));
    EXPECT_FALSE(OsFileExists(dir.File("t.dat")));
}

TEST(OsFileProcesses, RangeLockRefusedUntilUnlocked) {
    TScratchDir dir;
    std::string path = dir.File("p.dat");
    std::unique_ptr<TOsFile> f = CreateShared(path);
    ASSERT_TRUE(f);
    ASSERT_TRUE(f->LockRange(kHigh, 10));

    TForkChild child([&](TForkChild& me) {
        std::unique_ptr<TOsFile> g = OpenShared(path);
        if (!g) return 1;
        if (g->LockRange(kHigh + 5, 1)) return 2;
        if (!g->LockRange(kHigh + 10, 1)) return 3;
        me.Send('a');
        if (me.Receive() != 'u') return 4;
        if (!g->LockRange(kHigh, 10)) return 5;
        me.Send('b');
        if (me.Receive() != 'q') return 6;
        return 0;
    });
    ASSERT_EQ(child.Receive(), 'a');
    // The child's lock holds against us too.
    EXPECT_FALSE(f->LockRange(kHigh + 10, 1));
    // An unrelated open and close of the same file keeps our lock.
    {
        std::unique_ptr<TOsFile> other = OpenShared(path);
        ASSERT_TRUE(other);
        int raw = ::open(path.c_str(), O_RDWR);
        ASSERT_GE(raw, 0);
        ::close(raw);
    }
    ASSERT_TRUE(f->UnlockRange(kHigh, 10));
    child.Send('u');
    ASSERT_EQ(child.Receive(), 'b');
    EXPECT_FALSE(f->LockRange(kHigh + 9, 1));
    child.Send('q');
    EXPECT_EQ(child.Wait(), 0);
    // The child's locks went with its process.
    EXPECT_TRUE(f->LockRange(kHigh, 11));
}

// Adjacent ranges, each locked on its own, given back with one call: refused with nothing
// released unless the span is exactly such a run; afterwards every byte is free for
// another process, and the in-process table no longer holds them.
TEST(OsFileProcesses, AdjacentRangesUnlockedInOneCall) {
    TScratchDir dir;
    std::string path = dir.File("a.dat");
    std::unique_ptr<TOsFile> f = CreateShared(path);
    ASSERT_TRUE(f);
    // Held: kHigh .. kHigh + 4 one byte each, kHigh + 5 .. + 7 as one; kHigh + 9 apart.
    for (uint64_t i = 0; i < 5; ++i) ASSERT_TRUE(f->LockRange(kHigh + i, 1));
    ASSERT_TRUE(f->LockRange(kHigh + 5, 3));
    ASSERT_TRUE(f->LockRange(kHigh + 9, 1));
    struct Refused {
        uint64_t Offset, Length;
    };
    const Refused refused[] = {
        {kHigh - 1, 3},  // starts on a byte not held
        {kHigh, 7},      // ends inside a range
        {kHigh + 6, 2},  // starts inside a range
        {kHigh, 10},     // over the gap
        {kHigh + 8, 1},  // only the gap
        {kHigh, 0},
    };
    for (const Refused& r : refused) EXPECT_FALSE(f->UnlockAdjacentRanges(r.Offset, r.Length)) << r.Offset;

    auto freeBytes = [&](TOsFile& g) {
        std::string free;
        for (uint64_t i = 0; i < 10; ++i) {
            bool got = g.LockRange(kHigh + i, 1);
            free += got ? '1' : '0';
            if (got) g.UnlockRange(kHigh + i, 1);
        }
        return free;
    };
    TForkChild child([&](TForkChild& me) {
        std::unique_ptr<TOsFile> g = OpenShared(path);
        if (!g) return 1;
        if (freeBytes(*g) != "0000000010") return 2;
        me.Send('a');
        if (me.Receive() != 'u') return 3;
        if (freeBytes(*g) != "1111111110") return 4;
        return 0;
    });
    ASSERT_EQ(child.Receive(), 'a');
    ASSERT_TRUE(f->UnlockAdjacentRanges(kHigh, 8));
    child.Send('u');
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_FALSE(f->UnlockRange(kHigh + 5, 3));
    EXPECT_EQ(freeBytes(*f), "1111111110");
    EXPECT_TRUE(f->UnlockAdjacentRanges(kHigh + 9, 1));
}

// A child forked while the file is open shares its open file description, and with it the
// parent's locks: the child must neither release them nor take locks the parent would not
// exclude, and its end must not delete the parent's file.
TEST(OsFileProcesses, AForkedChildNeitherReleasesNorTakesItsParentsLocks) {
    TScratchDir dir;
    std::unique_ptr<TOsFile> f = CreateShared(dir.File("p.dat"));
    ASSERT_TRUE(f && f->LockRange(kHigh, 1));
    std::unique_ptr<TOsFile> scratch(
        TOsFile::Open(dir.File("p.dat"), TOsAccess::ReadWrite, TOsShare::ReadWrite, true));
    ASSERT_TRUE(scratch);
    TForkChild child([&](TForkChild&) {
        f->UnlockRange(kHigh, 1);
        if (f->LockRange(kHigh + 1, 1)) return 1;
        scratch.reset();
        return 0;
    });
    EXPECT_EQ(child.Wait(), 0);
    std::unique_ptr<TOsFile> other = OpenShared(dir.File("p.dat"));
    ASSERT_TRUE(other);
    EXPECT_FALSE(other->LockRange(kHigh, 1));
    EXPECT_TRUE(other->LockRange(kHigh + 1, 1));
    EXPECT_TRUE(OsFileExists(dir.File("p.dat")));
}

TEST(OsFileProcesses, ExclusiveOpenRefusesTheOther) {
    TScratchDir dir;
    std::string path = dir.File("x.dat");
    WriteText(path, "content");
    std::unique_ptr<TOsFile> mine(TOsFile::Open(path, TOsAccess::ReadWrite, TOsShare::Exclusive));
    ASSERT_TRUE(mine);
    TForkChild child([&](TForkChild& me) {
        if (OpenShared(path)) return 1;
        if (OsLastError() != EBUSY) return 2;
        if (TOsFile::Open(path, TOsAccess::Read, TOsShare::ReadWrite)) return 3;
        if (TOsFile::Create(path)) return 4;
        me.Send('1');
        if (me.Receive() != 'c') return 5;
        // Now we hold it shared; the parent's exclusive open must fail.
        std::unique_ptr<TOsFile> g = OpenShared(path);
        if (!g) return 6;
        me.Send('2');
        if (me.Receive() != 'q') return 7;
        return 0;
    });
    ASSERT_EQ(child.Receive(), '1');
    mine.reset();
    child.Send('c');
    ASSERT_EQ(child.Receive(), '2');
    EXPECT_FALSE(TOsFile::Open(path, TOsAccess::ReadWrite, TOsShare::Exclusive));
    EXPECT_EQ(OsLastError(), EBUSY);
    EXPECT_FALSE(TOsFile::Create(path));
    EXPECT_EQ(ReadText(path), "content");
    EXPECT_TRUE(OpenShared(path));
    child.Send('q');
    EXPECT_EQ(child.Wait(), 0);
}

TEST(OsFileProcesses, DeleteAndRenameRefusedWhileOpenElsewhere) {
    TScratchDir dir;
    std::string path = dir.File("d.dat");
    WriteText(path, "x");
    TForkChild child([&](TForkChild& me) {
        std::unique_ptr<TOsFile> g = OpenShared(path);
        me.Send(g ? 'o' : 'f');
        return me.Receive() == 'q' ? 0 : 1;
    });
    ASSERT_EQ(child.Receive(), 'o');
    EXPECT_FALSE(OsDeleteFile(path));
    EXPECT_EQ(OsLastError(), EBUSY);
    EXPECT_FALSE(OsRenameFile(path, dir.File("e.dat")));
    EXPECT_EQ(OsLastError(), EBUSY);
    // A user who may neither read nor write the file cannot ask whether it is in use, and is
    // refused rather than take it away from its opener.
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0777), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0), 0);
    TForkChild stranger([&](TForkChild&) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 10;
        if (OsDeleteFile(path) || OsLastError() != EACCES) return 1;
        if (OsRenameFile(path, dir.File("e.dat")) || OsLastError() != EACCES) return 2;
        return 0;
    });
    EXPECT_EQ(stranger.Wait(), 0);
    EXPECT_TRUE(OsFileExists(path));
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    child.Send('q');
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_TRUE(OsRenameFile(path, dir.File("e.dat")));
    EXPECT_TRUE(OsDeleteFile(dir.File("e.dat")));
}

// A new file is held from the moment its name shows: programs that grab every file of the
// name the moment it appears never have it before its maker (and never make its maker's
// share claim fail), nor can they rename it away half written.
TEST(OsFileProcesses, ANewFileIsHeldBeforeItsNameShows) {
    TScratchDir dir;
    const std::string path = dir.File("new.req");
    std::vector<std::unique_ptr<TForkChild>> grabbers;
    for (int i = 0; i < 3; ++i)
        grabbers.push_back(std::make_unique<TForkChild>([&](TForkChild& me) {
            me.Send('r');
            for (;;) std::unique_ptr<TOsFile> g(TOsFile::Open(path, TOsAccess::Read, TOsShare::Exclusive));
            return 0;
        }));
    for (auto& g : grabbers) ASSERT_EQ(g->Receive(), 'r');
    int refused = 0;
    for (int round = 0; round < 2000; ++round) {
        std::unique_ptr<TOsFile> made(TOsFile::CreateNew(path));
        if (!made) ++refused;
        made.reset();
        while (OsFileExists(path) && !OsDeleteFile(path)) {
        }
    }
    for (auto& g : grabbers) g->Kill(SIGKILL);
    EXPECT_EQ(refused, 0);
}
