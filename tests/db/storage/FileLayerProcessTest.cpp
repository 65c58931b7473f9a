// The file layer between two processes: the test holds files through handlers, a forked
// child through a file list of its own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>

#include "db/storage/EngineErrors.h"
#include "db/storage/FileLayer.h"
#include "db/storage/Library.h"
#include "tests/support/EngineErrorCode.h"
#include "tests/support/FileListFixture.h"
#include "tests/support/ForkChild.h"
#include "tests/support/ScratchDir.h"

namespace {

constexpr uint32_t kRecordLock = 2000000000;

class FileLayerProcesses : public FileListTest {
protected:
    void SetUp() override {
        FileListTest::SetUp();
        FName = FDir.File("PARTS.DAT");
        std::ofstream(FName) << "content";
    }
    TScratchDir FDir;
    std::string FName;
};

}  // namespace

TEST_F(FileLayerProcesses, RangeLockRefusedToTheOtherUntilUnlocked) {
    TFileHandler h;
    h.SetFileName(FName);
    h.Open();
    ASSERT_TRUE(h.LockRange(kRecordLock, 4, true));
    TForkChild child([&](TForkChild& me) {
        TFileList list;
        TAbstractFile* file = nullptr;
        bool readOnly;
        if (list.OpenFile(FDir.Path() + "\\parts.dat", false, false, false, readOnly, file) <= 0) return 1;
        if (file->LockRegion(kRecordLock + 3, 1)) return 2;
        me.Send('r');
        if (me.Receive() != 'u') return 3;
        if (!file->LockRegion(kRecordLock, 4)) return 4;
        me.Send('l');
        return me.Receive() == 'q' ? 0 : 5;
    });
    ASSERT_EQ(child.Receive(), 'r');
    // Opening and closing the file elsewhere in this process keeps the lock.
    {
        TFileList other;
        TAbstractFile* file = nullptr;
        bool readOnly;
        int32_t id = other.OpenFile(FName, false, false, false, readOnly, file);
        ASSERT_GT(id, 0);
        EXPECT_FALSE(file->LockRegion(kRecordLock, 1));
        EXPECT_EQ(other.CloseFile(file, false, id), 0);
        ::close(::open(FName.c_str(), O_RDONLY));
    }
    EXPECT_TRUE(h.LockRange(kRecordLock, 4, false));
    child.Send('u');
    ASSERT_EQ(child.Receive(), 'l');
    EXPECT_FALSE(h.LockRange(kRecordLock + 1, 1, true));
    child.Send('q');
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_TRUE(h.LockRange(kRecordLock + 1, 1, true));
}

TEST_F(FileLayerProcesses, ExclusiveOpenRefusesTheOther) {
    TFileHandler h;
    h.SetFileName(FName);
    h.SetExclusive(true);
    h.Open();
    TForkChild child([&](TForkChild& me) {
        TFileList list;
        TAbstractFile* file = nullptr;
        bool readOnly;
        if (list.OpenFile(FName, false, false, false, readOnly, file) != -ZIZIVU_OSACCESSDENIED) return 1;
        if (list.CreateFile(FName, false, false, file) != -ZIZIVU_OSACCESSDENIED) return 2;
        me.Send('1');
        if (me.Receive() != 'c') return 3;
        int32_t id = list.OpenFile(FName, false, false, false, readOnly, file);
        if (id <= 0) return 4;
        me.Send('2');
        return me.Receive() == 'q' ? 0 : 5;
    });
    ASSERT_EQ(child.Receive(), '1');
    h.Close();
    child.Send('c');
    ASSERT_EQ(child.Receive(), '2');
    EXPECT_EQ(RaisedCode([&] { h.Open(); }), ZIZIVU_OSACCESSDENIED);
    TFileHandler creator;
    creator.SetFileName(FName);
    EXPECT_EQ(RaisedCode([&] { creator.CreateFile(); }), ZIZIVU_OSACCESSDENIED);
    TFileHandler shared;
    shared.SetFileName(FName);
    shared.Open();
    char buf[7];
    EXPECT_EQ(shared.Read(buf, 7), 7);  // the failed create truncated nothing
    child.Send('q');
    EXPECT_EQ(child.Wait(), 0);
}

TEST_F(FileLayerProcesses, DeleteAndRenameRefusedWhileTheOtherHoldsTheFile) {
    TForkChild child([&](TForkChild& me) {
        TFileList list;
        TAbstractFile* file = nullptr;
        bool readOnly;
        me.Send(list.OpenFile(FName, false, false, false, readOnly, file) > 0 ? 'o' : 'f');
        return me.Receive() == 'q' ? 0 : 1;
    });
    ASSERT_EQ(child.Receive(), 'o');
    TFileHandler h;
    h.SetFileName(FName);
    EXPECT_EQ(RaisedCode([&] { h.Delete(); }), ZIZIVU_OSACCESSDENIED);
    EXPECT_EQ(RaisedCode([&] { h.Rename(FDir.File("PARTS.DBK")); }), ZIZIVU_OSACCESSDENIED);
    EXPECT_EQ(h.FileName(), FName);
    EXPECT_TRUE(h.Exists());
    child.Send('q');
    EXPECT_EQ(child.Wait(), 0);
    h.Rename(FDir.File("PARTS.DBK"));
    EXPECT_TRUE(h.Exists());
    h.Delete();
    EXPECT_FALSE(h.Exists());
}
