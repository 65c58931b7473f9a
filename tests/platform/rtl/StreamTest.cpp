// Memory, string, file and handle streams; file-system helpers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "platform/rtl/Classes.h"
#include "tests/support/ScratchDir.h"

namespace {

std::string ReadAll(TStream& s) {
    std::string out(static_cast<size_t>(s.Size()), '\0');
    s.SetPosition(0);
    s.ReadBuffer(out.data(), static_cast<int64_t>(out.size()));
    return out;
}

TEST(MemoryStreamTest, ReadWriteSeekAndGrowth) {
    TMemoryStream m;
    EXPECT_EQ(m.Write("abc", 3), 3);
    EXPECT_EQ(m.Position(), 3);
    EXPECT_EQ(m.Seek(10, soBeginning), 10);
    EXPECT_EQ(m.Write("z", 1), 1);
    EXPECT_EQ(m.Size(), 11);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.Memory()), 11),
              std::string("abc\0\0\0\0\0\0\0z", 11));
    char buf[8] = {};
    EXPECT_EQ(m.Read(buf, 8), 0);  // at the end
    m.Seek(-3, soEnd);
    EXPECT_EQ(m.Read(buf, 8), 3);
    m.Seek(1, soBeginning);
    m.Seek(1, soCurrent);
    EXPECT_EQ(m.Read(buf, 1), 1);
    EXPECT_EQ(buf[0], 'c');
    m.SetSize(2);
    EXPECT_EQ(m.Position(), 2);
    EXPECT_EQ(m.Size(), 2);
    m.SetPosition(0);
    try {
        m.ReadBuffer(buf, 3);
        ADD_FAILURE() << "short read accepted";
    } catch (const EReadError& e) {
        EXPECT_EQ(e.Message(), "Stream read error");
    }
    m.Seek(-5, soBeginning);
    EXPECT_EQ(m.Write("x", 1), 0);
    m.Clear();
    EXPECT_EQ(m.Size(), 0);
    EXPECT_EQ(m.Position(), 0);
}

TEST(MemoryStreamTest, StringStreamAndCopies) {
    TStringStream s("hello world");
    EXPECT_EQ(s.Position(), 0);
    EXPECT_EQ(s.Size(), 11);
    s.Seek(6, soBeginning);
    s.WriteBuffer("W", 1);
    EXPECT_EQ(s.DataString(), "hello World");
    s.Seek(0, soEnd);
    s.WriteBuffer("!", 1);
    EXPECT_EQ(s.DataString(), "hello World!");

    TMemoryStream m;
    s.SetPosition(5);
    EXPECT_EQ(m.CopyFrom(s, 0), 12);  // 0 copies the whole source from its start
    EXPECT_EQ(ReadAll(m), "hello World!");
    s.SetPosition(6);
    TMemoryStream part;
    EXPECT_EQ(part.CopyFrom(s, 5), 5);
    EXPECT_EQ(ReadAll(part), "World");
    s.SetPosition(10);
    EXPECT_THROW(part.CopyFrom(s, 5), EReadError);

    TMemoryStream loaded;
    loaded.LoadFromStream(s);
    EXPECT_EQ(ReadAll(loaded), "hello World!");
    TStringStream out;
    loaded.SaveToStream(out);
    EXPECT_EQ(out.DataString(), "hello World!");
}

TEST(FileStreamTest, CreateOpenReadWriteAndErrors) {
    TScratchDir dir("rtl_streams");
    ASSERT_FALSE(dir.Path().empty());
    std::string path = dir.File("data.bin");
    {
        TFileStream f(path, fmCreate);
        f.WriteBuffer("0123456789", 10);
        EXPECT_EQ(f.Size(), 10);
        f.SetSize(4);
        EXPECT_EQ(f.Size(), 4);
        EXPECT_EQ(f.FileName(), path);
    }
    {
        TFileStream f(path, fmOpenReadWrite);
        EXPECT_EQ(ReadAll(f), "0123");
        f.Seek(0, soEnd);
        f.WriteBuffer("xy", 2);
        EXPECT_EQ(f.Seek(-1, soCurrent), 5);
    }
    {
        TFileStream f(path, fmOpenRead | fmShareDenyNone);
        EXPECT_EQ(ReadAll(f), "0123xy");
        try {
            f.WriteBuffer("q", 1);
            ADD_FAILURE() << "write to a read-only stream";
        } catch (const EWriteError& e) {
            EXPECT_EQ(e.Message(), "Stream write error");
        }
    }
    {
        TFileStream f(path, fmCreate);  // truncates
        EXPECT_EQ(f.Size(), 0);
    }
    try {
        TFileStream f(dir.File("missing"), fmOpenRead);
        ADD_FAILURE() << "opened a missing file";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message(), "Cannot open file \"" + dir.File("missing") + "\"");
    }
    EXPECT_THROW(TFileStream(dir.Path(), fmOpenRead), EFOpenError);
    try {
        TFileStream f(dir.File("no/such/dir"), fmCreate);
        ADD_FAILURE() << "created in a missing directory";
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message(), "Cannot create file \"" + dir.File("no/such/dir") + "\"");
    }
    // Both are file stream errors.
    EXPECT_THROW(TFileStream(dir.File("missing"), fmOpenRead), EFileStreamError);

    TMemoryStream m;
    m.WriteBuffer("abc", 3);
    m.SaveToFile(dir.File("m.bin"));
    TMemoryStream r;
    r.LoadFromFile(dir.File("m.bin"));
    EXPECT_EQ(ReadAll(r), "abc");
}

// Also over descriptors a host left non-blocking: a read or write that would wait, waits.
TEST(HandleStreamTest, PipeWritesAllAndReadsShortChunks) {
    for (const bool nonBlocking : {false, true}) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        if (nonBlocking)
            for (int fd : fds) ASSERT_EQ(fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK), 0);
        const std::string payload(300000, 'p');  // larger than a pipe's buffer
        std::string received(payload.size(), '\0');
        std::thread reader([&] {
            THandleStream in(fds[0]);
            try {
                in.ReadBuffer(received.data(), static_cast<int64_t>(received.size()));
            } catch (const EReadError&) {
            }
        });
        THandleStream out(fds[1]);
        EXPECT_EQ(out.Write(payload.data(), static_cast<int64_t>(payload.size())),
                  static_cast<int64_t>(payload.size()));
        reader.join();
        EXPECT_TRUE(received == payload) << "non-blocking " << nonBlocking;
        EXPECT_EQ(out.Seek(0, soCurrent), -1);  // pipes do not seek
        close(fds[1]);
        THandleStream in(fds[0]);
        char c;
        EXPECT_EQ(in.Read(&c, 1), 0);  // end of file
        close(fds[0]);
    }
}

TEST(FileSystemTest, DirectoriesRenameDelete) {
    TScratchDir dir("rtl_streams");
    std::string deep = dir.File("a/b/c");
    EXPECT_TRUE(ForceDirectories(deep + "/"));
    EXPECT_TRUE(DirectoryExists(deep));
    EXPECT_FALSE(FileExists(deep));
    EXPECT_TRUE(ForceDirectories(deep));
    EXPECT_FALSE(ForceDirectories(""));
    std::string f1 = deep + "/one.txt", f2 = deep + "/two.txt";
    { TFileStream(f1, fmCreate).WriteBuffer("1", 1); }
    { TFileStream(f2, fmCreate).WriteBuffer("2", 1); }
    EXPECT_TRUE(FileExists(f1));
    EXPECT_FALSE(RenameFile(f1, f2));  // an existing target is not replaced
    TFileStream check(f2, fmOpenRead);
    EXPECT_EQ(ReadAll(check), "2");
    EXPECT_TRUE(DeleteFile(f2));
    EXPECT_FALSE(DeleteFile(f2));
    EXPECT_TRUE(RenameFile(f1, f2));
    EXPECT_FALSE(FileExists(f1));
    EXPECT_TRUE(FileExists(f2));
    setenv("RTL_TEST_VARIABLE", "v1", 1);
    EXPECT_EQ(GetEnvironmentVariable("RTL_TEST_VARIABLE"), "v1");
    unsetenv("RTL_TEST_VARIABLE");
    EXPECT_EQ(GetEnvironmentVariable("RTL_TEST_VARIABLE"), "");
}

}  // namespace
