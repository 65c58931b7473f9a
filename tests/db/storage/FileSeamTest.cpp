// The fault-injecting file under files opened by name, seen through TFileHandler.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "db/storage/EngineErrors.h"
#include "db/storage/FileLayer.h"
#include "db/storage/Library.h"
#include "tests/support/FaultyFile.h"
#include "tests/support/FileListFixture.h"
#include "tests/support/ScratchDir.h"

namespace {

class FileSeam : public FileListTest {
protected:
    TScratchDir FDir;
};

// One step on a handler: 'W' writes the text at the end, 'R' reads the text's length from
// the start, 'F' flushes. Code is what the step raises (0 for nothing).
struct TStep {
    char Op;
    std::string Text;
    uint16_t Code;
};

uint16_t Step(TFileHandler& h, const TStep& s) {
    try {
        if (s.Op == 'W') {
            h.Seek(h.GetSize(), 0);
            h.Write(s.Text.data(), int32_t(s.Text.size()));
        } else if (s.Op == 'R') {
            std::string buf(s.Text.size(), '\0');
            h.Seek(0, 0);
            h.Read(buf.data(), int32_t(buf.size()));
            EXPECT_EQ(buf, s.Text);
        } else {
            h.Flush();
        }
    } catch (const EZIZIVUEngineError& e) {
        return e.ErrorCode();
    }
    return 0;
}

TEST_F(FileSeam, FaultsReachTheHandlerOfANamedFile) {
    struct {
        const char* Name;
        TFileFault Fault;
        std::vector<TStep> Steps;
        std::string OnDisk;  // after the last close
    } cases[] = {
        {"full",
         {TFileFault::FullAtSize, 10},
         {{'W', "12345678", 0}, {'W', "abcd", ZIZIVU_WRITEERR}, {'W', "x", ZIZIVU_WRITEERR}},
         "12345678ab"},
        {"short", {TFileFault::ShortWrites, 1}, {{'W', "1234", 0}, {'W', "abcd", ZIZIVU_WRITEERR}}, "1234ab"},
        {"read",
         {TFileFault::ReadError, 1, 1},
         {{'W', "1234", 0}, {'R', "1234", 0}, {'R', "1234", ZIZIVU_READERR}, {'R', "1234", 0}},
         "1234"},
        {"write",
         {TFileFault::WriteError, 1},
         {{'W', "1234", 0}, {'W', "abcd", ZIZIVU_WRITEERR}, {'F', "", 0}},
         "1234"},
        {"flush",
         {TFileFault::FlushError, 1, 1},
         {{'W', "1234", 0}, {'F', "", 0}, {'F', "", ZIZIVU_WRITEERR}, {'F', "", 0}},
         "1234"},
        {"other.log", {TFileFault::WriteError, 0}, {{'W', "1234", 0}}, "1234"},  // planned for .dat only
    };
    for (const auto& c : cases) {
        TFaultInjector injector;
        injector.Plan(".DAT", c.Fault);
        std::string name =
            FDir.File(std::string(c.Name) + (std::string(c.Name) == "other.log" ? "" : ".dat"));
        TFileHandler h;
        h.SetFileName(name);
        h.CreateFile();
        EXPECT_EQ(injector.LiveFiles(), 1);
        for (size_t i = 0; i < c.Steps.size(); ++i)
            EXPECT_EQ(Step(h, c.Steps[i]), c.Steps[i].Code) << c.Name << " step " << i;
        h.Close();
        EXPECT_EQ(injector.LiveFiles(), 0);
        EXPECT_EQ(DiskFileBytes(name), c.OnDisk) << c.Name;
    }
}

TEST_F(FileSeam, CrashDropsWhatWasWrittenSinceTheLastFlush) {
    for (bool inMemory : {false, true}) {
        TFaultInjector injector;
        std::string name = inMemory ? "MEMORY\\CRASH.DAT" : FDir.File("crash.dat");
        TFileHandler h, other;
        h.SetFileName(name);
        h.SetInMemory(inMemory);
        other.SetFileName(name);
        other.SetInMemory(inMemory);
        h.CreateFile();
        EXPECT_EQ(Step(h, {'W', "durable", 0}), 0);
        EXPECT_EQ(Step(h, {'F', "", 0}), 0);
        h.Seek(0, 0);
        h.Write("LOST", 4);
        EXPECT_EQ(Step(h, {'W', " and more", 0}), 0);
        injector.Crash();
        // The crashed file answers nothing until it is closed.
        EXPECT_EQ(Step(h, {'R', "durable", 0}), ZIZIVU_READERR);
        EXPECT_EQ(Step(h, {'W', "x", 0}), ZIZIVU_WRITEERR);
        h.Close();
        other.Open();
        EXPECT_EQ(other.GetSize(), 7) << inMemory;
        EXPECT_EQ(Step(other, {'R', "durable", 0}), 0) << inMemory;
        // A crash with nothing unflushed keeps everything.
        EXPECT_EQ(Step(other, {'W', "!", 0}), 0);
        EXPECT_EQ(Step(other, {'F', "", 0}), 0);
        injector.Crash();
        other.Close();
        other.Open();
        EXPECT_EQ(Step(other, {'R', "durable!", 0}), 0) << inMemory;
        other.Close();
    }
}

}  // namespace
