#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "db/storage/EngineErrors.h"
#include "db/storage/FileLayer.h"
#include "db/storage/Library.h"
#include "db/storage/LibraryMemory.h"
#include "platform/os/Files.h"
#include "tests/support/EngineErrorCode.h"
#include "tests/support/FaultyFile.h"
#include "tests/support/FileListFixture.h"
#include "tests/support/ForkChild.h"
#include "tests/support/ScratchDir.h"

namespace {

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string Pattern(size_t n, int seed = 0) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char((i * 7 + seed) % 251);
    return s;
}

class FileLayer : public FileListTest {
protected:
    TFileHandler& Handler(const std::string& name, bool inMemory = false) {
        FHandlers.emplace_back(std::make_unique<TFileHandler>());
        TFileHandler& h = *FHandlers.back();
        h.SetFileName(name);
        h.SetInMemory(inMemory);
        return h;
    }
    void Put(TFileHandler& h, const std::string& data, int32_t at = 0) {
        h.Seek(at, 0);
        h.Write(data.data(), int32_t(data.size()));
    }
    std::string Get(TFileHandler& h, int32_t at, int32_t count) {
        std::string s(size_t(count), '\0');
        h.Seek(at, 0);
        s.resize(size_t(h.Read(s.data(), count, true)));
        return s;
    }

    TScratchDir FDir;
    std::vector<std::unique_ptr<TFileHandler>> FHandlers;
};

}  // namespace

TEST_F(FileLayer, MemoryFileBookkeeping) {
    TFileHandler& h = Handler("MEMORY\\PARTS.DAT", true);
    h.CreateFile();
    auto* file = static_cast<TMemoryFile*>(h.FileObject());
    Put(h, "0123456789", 5000);
    EXPECT_EQ(file->Size(), 5010);
    EXPECT_EQ(file->Capacity(), 8192);
    EXPECT_EQ(h.GetSize(), 5010);
    EXPECT_EQ(h.Seek(0, 1), 5010);  // GetSize keeps the position
    EXPECT_EQ(Get(h, 5000, 100), "0123456789");
    EXPECT_EQ(Get(h, 0, 3), std::string(3, '\0'));
    EXPECT_EQ(Get(h, 6000, 1), "");
    h.Seek(5000, 0);
    char buf[100];
    EXPECT_EQ(RaisedCode([&] { h.Read(buf, 100); }), ZIZIVU_READERR);
    // A write of 0 bytes cuts the file; what grows back reads as zeros.
    h.Seek(3, 0);
    h.Write(nullptr, 0);
    EXPECT_EQ(h.GetSize(), 3);
    EXPECT_EQ(file->Capacity(), 8192);
    Put(h, "x", 5009);
    EXPECT_EQ(Get(h, 5000, 10), std::string(9, '\0') + "x");
    // Cutting at 0 releases the buffer.
    h.Seek(0, 0);
    h.Write(nullptr, 0);
    EXPECT_EQ(file->Capacity(), 0);
    EXPECT_EQ(file->Buffer(), nullptr);
    Put(h, "abc", 1);
    EXPECT_EQ(Get(h, 0, 10), std::string("\0abc", 4));
}

TEST_F(FileLayer, MemoryFileRefusesNegativePositions) {
    TFileHandler& h = Handler("MEMORY\\NEG.DAT", true);
    h.CreateFile();
    Put(h, "abcdef");
    EXPECT_EQ(h.Seek(-4, 0), -4);
    char buf[4] = {'w', 'x', 'y', 'z'};
    EXPECT_EQ(RaisedCode([&] { h.Write(buf, 4); }), ZIZIVU_WRITEERR);
    EXPECT_EQ(RaisedCode([&] { h.Read(buf, 4); }), ZIZIVU_READERR);
    h.Write(nullptr, 0);  // nothing to cut before the start
    EXPECT_EQ(h.FileObject()->Size(), 6);
    EXPECT_EQ(Get(h, 0, 10), "abcdef");
    EXPECT_EQ(h.Seek(-2, 2), 4);
}

TEST_F(FileLayer, HandleIdsNeverRepeat) {
    TFileHandler& a = Handler("MEMORY\\IDS.DAT", true);
    a.CreateFile();
    Put(a, "0123456789");
    a.Close();
    TFileHandler& b = Handler("memory\\ids.dat", true);
    TFileHandler& c = Handler(" MEMORY\\IDS.DAT ", true);
    b.Open();
    c.Open();
    EXPECT_EQ(b.FileObject(), c.FileObject());
    EXPECT_NE(b.Handle(), c.Handle());
    b.Close();
    TFileHandler& d = Handler("MEMORY\\IDS.DAT", true);
    d.Open();
    EXPECT_NE(d.Handle(), c.Handle());
    // Each handle keeps its own position.
    c.Seek(2, 0);
    d.Seek(7, 0);
    char x;
    c.Read(&x, 1);
    EXPECT_EQ(x, '2');
    d.Read(&x, 1);
    EXPECT_EQ(x, '7');
}

TEST_F(FileLayer, SharingRulesInProcess) {
    std::string name = FDir.File("parts.dat");
    TFileHandler& creator = Handler(name);
    creator.CreateFile();
    Put(creator, "data");
    // The creator holds the file exclusively.
    EXPECT_EQ(RaisedCode([&] { Handler(name).Open(); }), ZIZIVU_OSACCESSDENIED);
    creator.Close();

    TFileHandler& a = Handler(name);
    TFileHandler& b = Handler("  " + FDir.Path() + "\\PARTS.DAT");
    a.Open();
    b.Open();
    EXPECT_EQ(a.FileObject(), b.FileObject());
    EXPECT_EQ(a.FileObject()->OpenCount(), 2);
    EXPECT_EQ(Get(b, 0, 10), "data");
    TFileHandler& x = Handler(name);
    x.SetExclusive(true);
    EXPECT_EQ(RaisedCode([&] { x.Open(); }), ZIZIVU_OSACCESSDENIED);
    EXPECT_FALSE(x.IsOpen());
    EXPECT_EQ(RaisedCode([&] { Handler(name).CreateFile(); }), ZIZIVU_OSACCESSDENIED);
    EXPECT_EQ(RaisedCode([&] { Handler(name).Delete(); }), ZIZIVU_OSACCESSDENIED);
    EXPECT_EQ(RaisedCode([&] { Handler(name).Rename(FDir.File("other.dat")); }), ZIZIVU_OSACCESSDENIED);
    a.Close();
    b.Close();
    EXPECT_EQ(GlobalFileList()->Count(), 0);  // a disk object goes with its last handle

    x.Open();
    EXPECT_EQ(RaisedCode([&] { Handler(name).Open(); }), ZIZIVU_OSACCESSDENIED);
    // A memory file of the same name is another file.
    EXPECT_EQ(RaisedCode([&] { Handler(name, true).Open(); }), ZIZIVU_OSPATHNOTFOUND);
    TFileHandler& m = Handler(name, true);
    m.CreateFile();
    EXPECT_NE(m.FileObject(), x.FileObject());
}

TEST_F(FileLayer, NamesDifferingInCaseAreTwoFilesWhenBothExist) {
    WriteText(FDir.File("x.dat"), "lower");
    WriteText(FDir.File("X.dat"), "UPPER");
    TFileHandler& lower = Handler(FDir.File("x.dat"));
    TFileHandler& upper = Handler(FDir.File("X.dat"));
    lower.Open();
    upper.Open();
    EXPECT_NE(lower.FileObject(), upper.FileObject());
    Put(lower, "12345");
    Put(upper, "ABC", 5);
    EXPECT_EQ(Get(upper, 0, 10), "UPPERABC");
    lower.Close();
    upper.Close();
    EXPECT_EQ(DiskFileBytes(FDir.File("x.dat")), "12345");
    EXPECT_EQ(DiskFileBytes(FDir.File("X.dat")), "UPPERABC");

    // A name that exists only in another case reaches that file, and shares its object
    // with the exact spelling.
    WriteText(FDir.File("Only.dat"), "only");
    TFileHandler& exact = Handler(FDir.File("Only.dat"));
    TFileHandler& other = Handler(FDir.Path() + "\\ONLY.DAT");
    exact.Open();
    other.Open();
    EXPECT_EQ(exact.FileObject(), other.FileObject());
    EXPECT_EQ(Get(other, 0, 10), "only");
    EXPECT_EQ(ResolveFileName(" " + FDir.Path() + "\\only.DAT "), FDir.File("Only.dat"));
    EXPECT_EQ(ResolveFileName(FDir.File("X.dat")), FDir.File("X.dat"));
    EXPECT_EQ(RaisedCode([&] { Handler(FDir.File("ONLY.dat")).Delete(); }), ZIZIVU_OSACCESSDENIED);

    // The object opened through ONLY.DAT stays with Only.dat when a file of that exact
    // name appears later: the new file gets an object of its own.
    WriteText(FDir.File("ONLY.DAT"), "twin");
    TFileHandler& twin = Handler(FDir.File("ONLY.DAT"));
    twin.Open();
    EXPECT_NE(twin.FileObject(), other.FileObject());
    EXPECT_EQ(Get(twin, 0, 10), "twin");
    EXPECT_EQ(Get(other, 0, 10), "only");
}

TEST_F(FileLayer, CreateAndOpenFailures) {
    EXPECT_EQ(RaisedCode([&] { Handler(FDir.Path() + "\\.DAT").CreateFile(); }), ZIZIVU_OSPATHNOTFOUND);
    EXPECT_EQ(RaisedCode([&] { Handler(FDir.File("  .DAT"), true).CreateFile(); }), ZIZIVU_OSPATHNOTFOUND);
    EXPECT_EQ(RaisedCode([&] { Handler(FDir.File("none.dat")).Open(); }), ZIZIVU_OSPATHNOTFOUND);
    EXPECT_EQ(RaisedCode([&] { Handler(FDir.File("nodir/x.dat")).CreateFile(); }), ZIZIVU_OSPATHNOTFOUND);
    try {
        Handler(FDir.File("none.dat")).Open();
        FAIL();
    } catch (const EZIZIVUEngineError& e) {
        EXPECT_NE(e.Message().find("none.dat"), std::string::npos);
    }
    // A handler that holds nothing.
    TFileHandler& h = Handler(FDir.File("closed.dat"));
    char buf[4];
    EXPECT_EQ(RaisedCode([&] { h.Read(buf, 4); }), ZIZIVU_READERR);
    EXPECT_EQ(RaisedCode([&] { h.Write(buf, 4); }), ZIZIVU_WRITEERR);
    EXPECT_EQ(h.Seek(10, 0), 0);
    EXPECT_EQ(h.GetSize(), 0);
    EXPECT_FALSE(h.LockRange(0, 1, true));
}

// A create that runs out of memory once its file is made takes the file away again: a table
// whose create failed leaves no file in the way of the next create of its name.
TEST_F(FileLayer, ACreateThatRunsOutOfMemoryLeavesNoFile) {
    static std::string made;
    made = FDir.File("made.dat");
    SetHeapRefusal([](int32_t) { return OsFileExists(made); });
    const uint16_t code = RaisedCode([&] { Handler(made).CreateFile(); });
    SetHeapRefusal(nullptr);
    EXPECT_EQ(code, ZIZIVU_OSNOMEMORY);
    EXPECT_FALSE(OsFileExists(made));
    TFileHandler& again = Handler(made);
    again.CreateFile();
    again.Close();
    EXPECT_TRUE(OsFileExists(made));
}

TEST_F(FileLayer, MemoryFileLifetime) {
    TFileHandler& keep = Handler("MEMORY\\KEEP.DAT", true);
    keep.CreateFile();
    Put(keep, "kept");
    keep.Close();
    TFileHandler& again = Handler("memory\\KEEP.dat", true);
    again.Open();
    EXPECT_EQ(Get(again, 0, 10), "kept");
    again.Close();

    TFileHandler& temp = Handler("MEMORY\\TEMP.DAT", true);
    temp.SetTemporary(true);
    temp.CreateFile();
    Put(temp, "gone");
    temp.Close();
    EXPECT_FALSE(DataFileExists("MEMORY\\TEMP.DAT", true));
    EXPECT_EQ(RaisedCode([&] { Handler("MEMORY\\TEMP.DAT", true).Open(); }), ZIZIVU_OSPATHNOTFOUND);

    TFileHandler& r = Handler("MEMORY\\KEEP.DAT", true);
    r.Rename("MEMORY\\NEW.DAT");
    EXPECT_EQ(r.FileName(), "MEMORY\\NEW.DAT");
    EXPECT_TRUE(DataFileExists("memory\\new.dat", true));
    EXPECT_FALSE(DataFileExists("MEMORY\\KEEP.DAT", true));
    // A memory rename never makes two files of one name.
    Handler("MEMORY\\OTHER.DAT", true).CreateFile();
    EXPECT_EQ(RaisedCode([&] { r.Rename("memory\\other.dat"); }), ZIZIVU_OSUNKNOWN);
    r.Delete();
    EXPECT_FALSE(DataFileExists("MEMORY\\NEW.DAT", true));
    EXPECT_EQ(RaisedCode([&] { r.Delete(); }), ZIZIVU_OSPATHNOTFOUND);
}

TEST_F(FileLayer, ReadOnlyDiskFile) {
    std::string name = FDir.File("ro.dat");
    WriteText(name, "frozen");
    ASSERT_EQ(::chmod(name.c_str(), 0444), 0);
    TFileHandler& h = Handler(name);
    h.Open();
    EXPECT_TRUE(h.ReadOnly());
    EXPECT_EQ(Get(h, 0, 20), "frozen");
    EXPECT_EQ(RaisedCode([&] { Put(h, "x"); }), ZIZIVU_WRITEERR);
    h.Close();
    EXPECT_EQ(DiskFileBytes(name), "frozen");
    EXPECT_EQ(RaisedCode([&] { Handler(name).CreateFile(); }), ZIZIVU_OSACCESSDENIED);
}

TEST_F(FileLayer, DiskFileReadWriteAndTruncate) {
    std::string name = FDir.File("rw.dat");
    TFileHandler& h = Handler(name);
    h.CreateFile();
    Put(h, "abcdefghij");
    h.Flush();
    EXPECT_EQ(h.GetSize(), 10);
    EXPECT_EQ(Get(h, 8, 5), "ij");
    h.Seek(4, 0);
    h.Write(nullptr, 0);
    EXPECT_EQ(h.GetSize(), 4);
    h.Close();
    EXPECT_EQ(DiskFileBytes(name), "abcd");
    // A case variant of an existing file opens that file.
    TFileHandler& v = Handler(FDir.Path() + "\\RW.DAT");
    EXPECT_TRUE(v.Exists());
    v.Open();
    EXPECT_EQ(Get(v, 0, 4), "abcd");
}

TEST_F(FileLayer, TemporaryOpenDeletesAtLastClose) {
    std::string name = FDir.File("sort.tmp");
    TFileHandler& c = Handler(name);
    c.SetTemporary(true);
    c.CreateFile();  // a create keeps the file
    c.Close();
    EXPECT_TRUE(OsFileExists(name));
    TFileHandler& a = Handler(name);
    TFileHandler& b = Handler(name);
    a.SetTemporary(true);
    a.Open();
    b.Open();
    a.Close();
    EXPECT_TRUE(OsFileExists(name));
    b.Close();
    EXPECT_FALSE(OsFileExists(name));
}

TEST_F(FileLayer, MemoryFileLocks) {
    TFileHandler& a = Handler("MEMORY\\L.DAT", true);
    a.CreateFile();
    a.Close();
    TFileHandler& b = Handler("MEMORY\\L.DAT", true);
    a.Open();
    b.Open();
    EXPECT_TRUE(a.LockRange(100, 10, true));
    EXPECT_FALSE(a.LockRange(105, 10, true));
    EXPECT_FALSE(b.LockRange(95, 6, true));
    EXPECT_FALSE(a.LockRange(100, 10, true));
    EXPECT_TRUE(b.LockRange(110, 5, true));
    EXPECT_FALSE(a.LockRange(100, 5, false));
    EXPECT_TRUE(b.LockRange(100, 10, false));
    EXPECT_FALSE(a.LockRange(100, 10, false));
    EXPECT_TRUE(a.LockRange(2000000000, 1, true));
    EXPECT_EQ(a.FileObject()->LockCount(), 2);
}

// Adjacent ranges given back with one unlock, in memory and on disk alike.
TEST_F(FileLayer, AdjacentRangesUnlockedTogether) {
    for (bool inMemory : {true, false}) {
        SCOPED_TRACE(inMemory);
        const std::string name = inMemory ? std::string("MEMORY\\R.DAT") : FDir.File("r.dat");
        TFileHandler& a = Handler(name, inMemory);
        a.CreateFile();
        ASSERT_TRUE(a.LockRange(100, 1, true));
        ASSERT_TRUE(a.LockRange(101, 1, true));
        ASSERT_TRUE(a.LockRange(102, 3, true));
        ASSERT_TRUE(a.LockRange(106, 1, true));
        EXPECT_FALSE(a.UnlockAdjacentRanges(99, 3));    // a byte not held
        EXPECT_FALSE(a.UnlockAdjacentRanges(100, 3));   // into a range
        EXPECT_FALSE(a.UnlockAdjacentRanges(100, 7));   // over the gap
        auto freeBytes = [&] {
            std::string free;
            for (uint32_t i = 100; i < 108; ++i) {
                bool got = a.LockRange(i, 1, true);
                free += got ? '1' : '0';
                if (got) a.LockRange(i, 1, false);
            }
            return free;
        };
        EXPECT_EQ(freeBytes(), "00000101");
        EXPECT_TRUE(a.UnlockAdjacentRanges(100, 5));
        EXPECT_EQ(freeBytes(), "11111101");
        EXPECT_FALSE(a.LockRange(102, 3, false));
        a.Close();
    }
}

TEST_F(FileLayer, MemoryFileLocksGoWithTheLastHandle) {
    TFileHandler& a = Handler("MEMORY\\LOST.DAT", true);
    a.CreateFile();
    ASSERT_TRUE(a.LockRange(2000000000, 4, true));
    TFileHandler& b = Handler("MEMORY\\LOST.DAT", true);
    a.Close();  // the last handle closes without unlocking
    b.Open();
    EXPECT_EQ(b.FileObject()->LockCount(), 0);
    EXPECT_TRUE(b.LockRange(2000000000, 4, true));
    // While another handle is open, a closing handle's ranges stay.
    TFileHandler& c = Handler("MEMORY\\LOST.DAT", true);
    c.Open();
    c.Close();
    EXPECT_FALSE(b.LockRange(2000000000, 1, true));
}

TEST_F(FileLayer, DiskFileLocksInProcess) {
    std::string name = FDir.File("l.dat");
    Handler(name).CreateFile();
    FHandlers.clear();
    TFileHandler& a = Handler(name);
    TFileHandler& b = Handler(name);
    a.Open();
    b.Open();
    EXPECT_TRUE(a.LockRange(2000000100, 10, true));
    EXPECT_FALSE(a.LockRange(2000000105, 10, true));
    EXPECT_FALSE(b.LockRange(2000000100, 1, true));
    EXPECT_TRUE(b.LockRange(2000000110, 5, true));
    EXPECT_FALSE(a.LockRange(2000000100, 5, false));
    EXPECT_TRUE(b.LockRange(2000000100, 10, false));
    EXPECT_TRUE(a.LockRange(2000000100, 10, true));
}

TEST_F(FileLayer, CopiesMoveWholeFiles) {
    for (bool inMemory : {false, true}) {
        for (size_t size : {size_t(0), size_t(65535), size_t(65536), size_t(140000)}) {
            SCOPED_TRACE(std::to_string(size) + (inMemory ? " memory" : " disk"));
            std::string src = FDir.File("src" + std::to_string(size) + ".dat");
            std::string bak = FDir.File("src" + std::to_string(size) + ".dbk");
            TFileHandler& h = Handler(src, inMemory);
            h.CreateFile();
            std::string data = Pattern(size);
            if (size) Put(h, data);
            h.Seek(17, 0);
            h.SaveToFile(bak);
            TFileHandler& copy = Handler(bak, inMemory);
            copy.Open();
            EXPECT_EQ(copy.GetSize(), int32_t(size));
            EXPECT_EQ(Get(copy, 0, int32_t(size) + 10), data);
            // Restoring a shorter file leaves no stale tail.
            Put(copy, "short");
            copy.Write(nullptr, 0);
            copy.Close();
            h.LoadFromFile(bak);
            EXPECT_EQ(h.GetSize(), 5);
            EXPECT_EQ(Get(h, 0, 100), "short");
            // The new file of a backup must not be open.
            copy.Open();
            EXPECT_EQ(RaisedCode([&] { h.SaveToFile(bak); }), ZIZIVU_OSACCESSDENIED);
            EXPECT_EQ(RaisedCode([&] { h.LoadFromFile(bak); }), ZIZIVU_OSACCESSDENIED);
            copy.Close();
        }
    }
}

TEST_F(FileLayer, CopyFailuresAreReported) {
    TFileList list;
    // Reads fail after the first step of the copy.
    TFaultyFile<TMemoryFile> source({TFileFault::ReadError, 1});
    source.SetFileName("SOURCE");
    int32_t id = source.CreateFile();
    std::string data = Pattern(70000);
    source.Write(id, data.data(), int32_t(data.size()));
    EXPECT_EQ(list.CopyFileTo(&source, id, "MEMORY\\COPY.DAT", true), -ZIZIVU_READERR);
    EXPECT_EQ(list.CopyFileTo(&source, id, FDir.File("copy.dat"), false), -ZIZIVU_READERR);
    source.SetFault({});
    EXPECT_EQ(list.CopyFileTo(&source, id, FDir.File("copy.dat"), false), 0);
    EXPECT_EQ(DiskFileBytes(FDir.File("copy.dat")), data);

    TFaultyFile<TMemoryFile> target({TFileFault::ShortWrites});
    target.SetFileName("TARGET");
    int32_t tid = target.CreateFile();
    EXPECT_EQ(list.CopyFileFrom(&target, tid, FDir.File("copy.dat"), false), -ZIZIVU_WRITEERR);
    EXPECT_EQ(list.CopyFileFrom(&target, tid, FDir.File("none.dat"), false), -ZIZIVU_OSPATHNOTFOUND);
}

TEST_F(FileLayer, BackupFailsWhenTheDiskRefuses) {
    std::string src = FDir.File("big.dat");
    WriteText(src, Pattern(200000));
    TForkChild child([&](TForkChild&) {
        // The child's writes stop at 100000 bytes.
        struct rlimit limit {
            100000, 100000
        };
        ::signal(SIGXFSZ, SIG_IGN);
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 10;
        TFileList list;
        TAbstractFile* file = nullptr;
        bool readOnly;
        int32_t id = list.OpenFile(src, false, false, false, readOnly, file);
        if (id <= 0) return 11;
        return list.CopyFileTo(file, id, FDir.File("big.dbk"), false) == -ZIZIVU_WRITEERR ? 0 : 12;
    });
    EXPECT_EQ(child.Wait(), 0);
}

TEST_F(FileLayer, FileListOperations) {
    TFileList& list = *GlobalFileList();
    TAbstractFile* file = nullptr;
    bool readOnly = true;
    EXPECT_EQ(list.OpenFile("MEMORY\\NONE", true, false, false, readOnly, file), -ZIZIVU_OSPATHNOTFOUND);
    EXPECT_EQ(file, nullptr);
    // A failed disk open leaves a closed object behind, reused by the next create.
    EXPECT_EQ(list.OpenFile(FDir.File("later.dat"), false, false, false, readOnly, file),
              -ZIZIVU_OSPATHNOTFOUND);
    EXPECT_EQ(list.Count(), 1);
    int32_t id = list.CreateFile(FDir.File("later.dat"), false, false, file);
    ASSERT_GT(id, 0);
    EXPECT_EQ(list.Count(), 1);
    // Another spelling that does not exist reaches the created file.
    TAbstractFile* upper = nullptr;
    EXPECT_EQ(list.CreateFile(FDir.File("LATER.DAT"), false, false, upper), -ZIZIVU_OSACCESSDENIED);
    EXPECT_EQ(list.CloseFile(file, true, id), -ZIZIVU_OSPATHNOTFOUND);
    EXPECT_EQ(list.CloseFile(file, false, id + 1), -ZIZIVU_OSBADHANDLE);
    EXPECT_EQ(list.CloseFile(file, false, id), 0);
    EXPECT_EQ(list.Count(), 0);
    // Unlisted disk files are renamed and deleted on disk.
    EXPECT_EQ(list.RenameFile(FDir.File("later.dat"), false, FDir.File("renamed.dat")), 0);
    EXPECT_TRUE(list.FileExists(FDir.File("renamed.dat"), false));
    WriteText(FDir.File("taken.dat"), "t");
    EXPECT_EQ(list.RenameFile(FDir.File("renamed.dat"), false, FDir.File("taken.dat")), -ZIZIVU_OSUNKNOWN);
    EXPECT_EQ(list.DeleteFile(FDir.File("renamed.dat"), false), 0);
    EXPECT_EQ(list.DeleteFile(FDir.File("renamed.dat"), false), -ZIZIVU_OSPATHNOTFOUND);
    EXPECT_EQ(list.RenameFile("MEMORY\\NONE", true, "MEMORY\\X"), -ZIZIVU_OSPATHNOTFOUND);
}

TEST_F(FileLayer, UniqueNames) {
    std::string tid = std::to_string(::gettid()).substr(0, 5);
    std::string name;
    ASSERT_EQ(MakeUniqueFileName(FDir.Path(), ".TMP", false, name), 0);
    EXPECT_EQ(name, FDir.Path() + "\\" + tid + "0.TMP");
    EXPECT_TRUE(OsFileExists(name));  // claimed on disk
    ASSERT_EQ(MakeUniqueFileName(FDir.Path() + "/", ".TMP", false, name), 0);
    EXPECT_EQ(name, FDir.Path() + "/" + tid + "1.TMP");
    // A caller's counter skips what it already took and follows the name made.
    uint32_t next = 1;
    ASSERT_EQ(MakeUniqueFileName(FDir.Path(), ".TMP", false, name, next), 0);
    EXPECT_EQ(name, FDir.Path() + "\\" + tid + "2.TMP");
    EXPECT_EQ(next, 3u);
    next = 5;
    ASSERT_EQ(MakeUniqueFileName(FDir.Path(), ".TMP", false, name, next), 0);
    EXPECT_EQ(name, FDir.Path() + "\\" + tid + "5.TMP");
    EXPECT_EQ(next, 6u);
    ASSERT_EQ(MakeUniqueFileName("MEMORY", ".TMP", true, name), 0);
    EXPECT_EQ(name, "MEMORY\\" + tid + "0.TMP");
    Handler(name, true).CreateFile();
    ASSERT_EQ(MakeUniqueFileName("MEMORY", ".TMP", true, name), 0);
    EXPECT_EQ(name, "MEMORY\\" + tid + "1.TMP");
    EXPECT_EQ(MakeUniqueFileName(FDir.File("nodir"), ".TMP", false, name), -ZIZIVU_OSPATHNOTFOUND);
}

TEST_F(FileLayer, UniqueNamesRunOut) {
    TScratchDir dir("zelto-files", "/dev/shm");  // 65536 files: fastest in memory
    std::string tid = std::to_string(::gettid()).substr(0, 5);
    for (int i = 0; i <= 0xFFFF; ++i) {
        int fd = ::open((dir.File(tid + std::to_string(i) + ".T")).c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    std::string name;
    EXPECT_EQ(MakeUniqueFileName(dir.Path(), ".T", false, name), -ZIZIVU_OSACCESSDENIED);
}

TEST_F(FileLayer, UniqueNamesUnderContention) {
    constexpr int kPerWorker = 25;
    auto work = [&](std::vector<std::string>& out) {
        for (int i = 0; i < kPerWorker; ++i) {
            std::string name;
            if (MakeUniqueFileName(FDir.Path(), ".TMP", false, name) == 0) out.push_back(name);
        }
    };
    std::string childList = FDir.File("child.txt");
    TForkChild child([&](TForkChild& me) {
        me.Receive();
        std::vector<std::string> names;
        work(names);
        std::ofstream out(childList);
        for (auto& n : names) out << n << "\n";
        return names.size() == kPerWorker ? 0 : 1;
    });
    std::vector<std::vector<std::string>> results(4);
    std::vector<std::thread> threads;
    child.Send('g');
    for (auto& r : results) threads.emplace_back(work, std::ref(r));
    for (auto& t : threads) t.join();
    ASSERT_EQ(child.Wait(), 0);
    std::vector<std::string> all;
    for (auto& r : results) {
        EXPECT_EQ(r.size(), size_t(kPerWorker));
        all.insert(all.end(), r.begin(), r.end());
    }
    std::ifstream in(childList);
    for (std::string line; std::getline(in, line);) all.push_back(line);
    EXPECT_EQ(all.size(), size_t(5 * kPerWorker));
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
}

TEST(FileNames, Helpers) {
    EXPECT_EQ(RemoveFileExt("C:\\DATA\\PARTS.DAT"), "C:\\DATA\\PARTS");
    EXPECT_EQ(RemoveFileExt("C:\\DATA.OLD\\PARTS"), "C:\\DATA.OLD\\PARTS");
    EXPECT_EQ(RemoveFileExt("/data.old/parts"), "/data.old/parts");
    EXPECT_EQ(RemoveFileExt("a.b.c"), "a.b");
    EXPECT_EQ(ForceFileExt("  PARTS ", ".DAT"), "PARTS.DAT");
    EXPECT_EQ(ForceFileExt(" parts.dat ", ".DAT"), "parts.dat");
    EXPECT_EQ(ForceFileExt("parts.IDX", ".DAT"), "parts.DAT");
    EXPECT_EQ(ForceFileExt("dir.x\\parts", ".DAT"), "dir.x\\parts.DAT");
    EXPECT_EQ(IncludeTrailingBackslash(" C:\\DATA "), "C:\\DATA\\");
    EXPECT_EQ(IncludeTrailingBackslash("C:\\DATA\\"), "C:\\DATA\\");
    EXPECT_EQ(IncludeTrailingBackslash("/data/"), "/data/");
    EXPECT_EQ(IncludeTrailingBackslash("  "), "");
    EXPECT_TRUE(HasPathChars(""));
    EXPECT_TRUE(HasPathChars("C:PARTS"));
    EXPECT_TRUE(HasPathChars("DATA\\PARTS"));
    EXPECT_TRUE(HasPathChars("data/parts"));
    EXPECT_FALSE(HasPathChars("PARTS.DAT"));
    EXPECT_EQ(ExtractNameNoExt("C:\\DATA.OLD\\PARTS.DAT"), "PARTS");
    EXPECT_EQ(ExtractNameNoExt("/data/parts"), "parts");
    std::string unc = "x";
    GetUniversalName("C:\\DATA", unc);
    EXPECT_EQ(unc, "");
}

TEST(FileNames, OsErrorsMapToEngineCodes) {
    struct {
        int error;
        uint16_t code;
    } table[] = {
        {ENOENT, ZIZIVU_OSPATHNOTFOUND},      {ENOTDIR, ZIZIVU_OSPATHNOTFOUND},
        {EMFILE, ZIZIVU_OSTOOMANYFILES},      {ENFILE, ZIZIVU_OSTOOMANYFILES},
        {EACCES, ZIZIVU_OSACCESSDENIED},      {EPERM, ZIZIVU_OSACCESSDENIED},
        {EROFS, ZIZIVU_OSACCESSDENIED},       {EBUSY, ZIZIVU_OSACCESSDENIED},
        {EWOULDBLOCK, ZIZIVU_OSACCESSDENIED}, {EBADF, ZIZIVU_OSBADHANDLE},
        {ENOMEM, ZIZIVU_OSNOMEMORY},          {ENODEV, ZIZIVU_OSBADDRIVE},
        {ENXIO, ZIZIVU_OSBADDRIVE},           {EXDEV, ZIZIVU_OSNOTSAMEDEVICE},
        {EEXIST, ZIZIVU_OSUNKNOWN},           {EIO, ZIZIVU_OSUNKNOWN},
    };
    for (auto& row : table) EXPECT_EQ(MapErrnoToEngineCode(row.error), row.code) << row.error;
    SetOsLastError(EMFILE);
    EXPECT_EQ(MapOSError(), ZIZIVU_OSTOOMANYFILES);
}
