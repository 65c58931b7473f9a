// The tests' own helpers for second processes and scratch folders: a hanging or killed child
// must be reported as such, never waited for without end.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/support/ForkChild.h"
#include "tests/support/ScratchDir.h"

TEST(ForkChildTest, EndsAreReportedAsTheyHappened) {
    struct TRow {
        const char* Name;
        int (*Body)(TForkChild&);
        int Signal;  // sent once the child said it is ready; 0 for none
        bool Exited;
        int Status;
        int EndSignal;
    };
    const TRow rows[] = {
        {"exit status", [](TForkChild& me) { return me.Receive() == 'q' ? 7 : 1; }, 0, true, 7, 0},
        {"killed",
         [](TForkChild& me) {
             me.Send('r');
             for (;;) pause();
             return 0;
         },
         SIGTERM, false, -1, SIGTERM},
        // Started with SIGINT ignored, as a background job of a script: it still dies of it.
        {"interrupted",
         [](TForkChild& me) {
             me.Send('r');
             for (;;) pause();
             return 0;
         },
         SIGINT, false, -1, SIGINT},
        {"throws", [](TForkChild&) -> int { throw 1; }, 0, true, 125, 0},
    };
    struct sigaction ignore {
    }, old{};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGINT, &ignore, &old), 0);
    for (const auto& r : rows) {
        TForkChild child(r.Body);
        if (r.Signal) {
            ASSERT_EQ(child.Receive(), 'r') << r.Name;
            child.Kill(r.Signal);
        } else {
            child.Send('q');
        }
        const TChildEnd end = child.Finish();
        EXPECT_FALSE(end.TimedOut) << r.Name;
        EXPECT_EQ(end.Exited, r.Exited) << r.Name << ": " << end;
        EXPECT_EQ(end.Status, r.Status) << r.Name;
        EXPECT_EQ(end.Signal, r.EndSignal) << r.Name;
        EXPECT_EQ(child.Wait(), r.Exited ? r.Status : -1) << r.Name;
    }
    sigaction(SIGINT, &old, nullptr);
}

TEST(ForkChildTest, AHangingChildIsKilledAtTheDeadline) {
    TForkChild child([](TForkChild& me) {
        ::signal(SIGTERM, SIG_IGN);
        me.Send('r');
        for (;;) pause();
        return 0;
    });
    ASSERT_EQ(child.Receive(), 'r');
    child.Kill(SIGTERM);
    EXPECT_EQ(child.Receive(std::chrono::milliseconds(50)), 0);  // nothing comes
    const TChildEnd end = child.Finish(std::chrono::milliseconds(200));
    EXPECT_TRUE(end.TimedOut) << end;
    EXPECT_FALSE(end.ExitedWith(0));
    EXPECT_EQ(child.Wait(), -1);
}

TEST(ScratchDirTest, UniqueAndRemovedWithItsContent) {
    std::string path;
    {
        TScratchDir a("zelto-scratch"), b("zelto-scratch");
        path = a.Path();
        EXPECT_NE(a.Path(), b.Path());
        struct stat st {};
        ASSERT_EQ(::stat(a.Path().c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        std::filesystem::create_directories(a.File("deep/er"));
        std::ofstream(a.File("deep/er/f.txt")) << "x";
    }
    EXPECT_FALSE(std::filesystem::exists(path));
}
