// Session list, session files (format, permissions, date), clearing and expiry.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "platform/rtl/FileDate.h"
#include "tests/support/ForkChild.h"
#include "tests/web/WebTestSupport.h"
#include "web/HSessVar.h"

namespace {

class TStoredObject : public TObject {};

// Splits a session file into its records (each ends with a zero byte).
std::vector<std::string> Records(const std::string& bytes) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t i = 0; i < bytes.size(); ++i)
        if (bytes[i] == '\0') {
            out.push_back(bytes.substr(start, i - start));
            start = i + 1;
        }
    EXPECT_EQ(start, bytes.size()) << "bytes after the last record";
    return out;
}

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        FEngine = std::make_unique<TTestEngine>();
        FDir = TestDir() + "/sessions-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ForceDirectories(FDir);
    }
    void TearDown() override {
        RequestContext().SessionVariables.reset();
        FEngine.reset();  // ends every session
        EXPECT_EQ(SessionCount(), 0);
    }
    std::string File(const std::string& name) { return FDir + "/" + name + ".ses"; }

    std::unique_ptr<TTestEngine> FEngine;
    std::string FDir;
};

#ifdef ZELTO_HAVE_LIBCRYPTO
std::string DecryptRecord(const std::string& key, const std::string& cipher) {
    return OracleCfb(key, DefaultBlowfishIV, cipher, false);
}
#endif

TEST_F(SessionTest, SavedFileHoldsOneEncryptedRecordPerVariable) {
    FEngine->CGISession()->SetEncryptionKey("a key of my own");
    const std::string file = File("s1");
    // A file left with wider permissions is narrowed when the session is written.
    std::ofstream(file) << "old content that is longer than the new one";
    ::chmod(file.c_str(), 0644);
    const TDateTime expiry = Now() + 1.0 / 24;
    TCGISessionVariables* s = StartRequestSession(FEngine.get(), "s1", expiry, file);
    s->Variables()->Add("user=bob");
    s->Variables()->Add("cart=3 items & more");
    s->SaveSession();
    EXPECT_TRUE(s->Saved);

    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    TDateTime age = 0;
    ASSERT_TRUE(FileAge(file, age));
    EXPECT_NEAR(age, expiry, 1.0 / 86400);

    const std::vector<std::string> records = Records(ReadFileBytes(file));
    ASSERT_EQ(records.size(), 2u);
    TBlowFish bf;
    bf.SetKey("a key of my own");
    EXPECT_EQ(records[0], UrlEncode(bf.Encrypt("\x01user=bob")));
    for (const auto& r : records) {
        EXPECT_EQ(r.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789./\\%+"),
                  std::string::npos);
    }
#ifdef ZELTO_HAVE_LIBCRYPTO
    EXPECT_EQ(DecryptRecord("a key of my own", UrlDecode(records[0])), "\x01user=bob");
    EXPECT_EQ(DecryptRecord("a key of my own", UrlDecode(records[1])),
              "\x01"
              "cart=3 items & more");
#endif
}

TEST_F(SessionTest, ClearWritesOnlyTheMarkerAndRemovesObjects) {
    const std::string file = File("s2");
    TCGISessionVariables* s = StartRequestSession(FEngine.get(), "s2", Now() + 1, file);
    std::vector<std::string> removed;
    s->OnRemoveSessionObject = [&](TObject* Sender, const std::string& ClassName, TObject* Value) {
        EXPECT_EQ(Sender, s);
        removed.push_back(ClassName);
        delete Value;
    };
    s->Variables()->Add("a=a long value that makes the first record long");
    s->Variables()->AddObject("obj=1", new TStoredObject);
    s->SaveSession();
    const size_t savedSize = ReadFileBytes(file).size();

    s->ClearLocked();
    EXPECT_EQ(removed, std::vector<std::string>{"(anonymous namespace)::TStoredObject"});
    EXPECT_EQ(s->Variables()->Count(), 0);
    EXPECT_FALSE(s->Saved);
    TBlowFish bf;
    bf.SetKey(DefaultEncryptionKey);
    const std::string marker = bf.Encrypt(UrlEncode(bf.Encrypt("\x03")) + '\0');
    const std::string bytes = ReadFileBytes(file);
    EXPECT_EQ(bytes, marker);
    EXPECT_LT(bytes.size(), savedSize);
}

TEST_F(SessionTest, ClearOrCurrentSessionWithoutSessionFails) {
    try {
        FEngine->CurrentSession();
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "No Session started");
    }
    TCGISessionVariables v(nullptr);
    v.CurrentSessionName = "never started";
    try {
        v.Clear();
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "No Session started");
    }
}

TEST_F(SessionTest, ExpiryFromTheEntryOrTheFileDate) {
    const std::string file = File("s3");
    std::ofstream(file) << "x";
    TCGISessionVariables* s = StartRequestSession(FEngine.get(), "s3", Now() + 0.5, file);
    EXPECT_GT(s->GetExpiryLocked(), Now());
    // An expiry in the past has expired.
    StartRequestSession(FEngine.get(), "s3", Now() - 0.5, file);
    s = static_cast<TCGISessionVariables*>(FEngine->CurrentSession());
    EXPECT_EQ(s->GetExpiry(), 0);
    // No expiry of its own: the file's date counts.
    s = StartRequestSession(FEngine.get(), "s3", 0, file);
    ASSERT_TRUE(FileSetDate(file, Now() - 2));
    EXPECT_EQ(s->GetExpiry(), 0);
    const TDateTime later = Now() + 2;
    ASSERT_TRUE(FileSetDate(file, later));
    EXPECT_NEAR(s->GetExpiry(), later, 1.0 / 86400);
    // Not file-based and no expiry: expired.
    s = StartRequestSession(FEngine.get(), "memory only", 0);
    EXPECT_EQ(s->GetExpiry(), 0);
    s->Saved = true;
}

TEST_F(SessionTest, ExpireSessionsRemovesOlderSessionsAndTellsTheEngine) {
    int removed = 0;
    FEngine->OnRemoveSessionObject = [&](TObject*, const std::string&, TObject* Value) {
        ++removed;
        delete Value;
    };
    TCGISessionVariables* s = StartRequestSession(FEngine.get(), "old", Now() - 1);
    s->Variables()->AddObject("o1=", new TStoredObject);
    s->Variables()->AddObject("o2=", new TStoredObject);
    s = StartRequestSession(FEngine.get(), "new", Now() + 1);
    s->Variables()->AddObject("o3=", new TStoredObject);
    s->Variables()->Add("plain=1");
    EXPECT_EQ(SessionCount(), 2);

    s->ExpireSessions(Now());
    EXPECT_EQ(SessionCount(), 1);
    EXPECT_EQ(removed, 2);
    EXPECT_TRUE(s->Variables());

    // Destroying the engine ends every session.
    FEngine.reset();
    EXPECT_EQ(removed, 3);
    EXPECT_EQ(SessionCount(), 0);
}

TEST_F(SessionTest, EndOfRequestSavesTheSession) {
    const std::string file = File("s4");
    FEngine->OnExecRequest = [&](TObject*) {
        TCGISessionVariables* s = StartRequestSession(FEngine.get(), "s4", Now() + 1, file);
        s->Variables()->Add("k=v");
    };
    RunRequest(*FEngine, {"REQUEST_METHOD=GET"});
    EXPECT_EQ(Records(ReadFileBytes(file)).size(), 1u);
    EXPECT_FALSE(RequestContext().SessionVariables);
    // The session stays in the list for the next request of this process.
    EXPECT_EQ(SessionCount(), 1);
}

// A session that cannot be saved (the disk is full) does not keep the answer from the client.
TEST_F(SessionTest, TheAnswerGoesOutWhenTheSessionCannotBeSaved) {
    FEngine->OnExecRequest = [&](TObject*) {
        StartRequestSession(FEngine.get(), "s5", Now() + 1, "/dev/full")->Variables()->Add("k=v");
        FEngine->Write("the answer");
    };
    const auto rec = RunRequest(*FEngine, {"REQUEST_METHOD=GET"});
    EXPECT_NE(rec->bytes.find("the answer"), std::string::npos) << rec->bytes;
}

// The names in a folder, sorted.
std::vector<std::string> FileNames(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The file of a session saved with these variables, as the default key writes it.
std::string SessionBytes(const std::vector<std::string>& vars) {
    TBlowFish bf;
    bf.SetKey(DefaultEncryptionKey);
    std::string bytes;
    for (const std::string& v : vars) bytes += UrlEncode(bf.Encrypt('\x01' + v)) + '\0';
    return bytes;
}

// Requests of one session in several processes: a process that reads the file while others
// save it finds one save whole, never a file cut short, emptied or mixed from two saves.
TEST_F(SessionTest, AReaderInAnotherProcessSeesOnlyWholeSessions) {
    const std::string file = File("shared");
    const std::string filler(3000, 'f');
    auto vars = [&](int who, int n) {
        return std::vector<std::string>{"who=" + std::to_string(who), "n=" + std::to_string(n),
                                        "pad=" + filler};
    };
    std::set<std::string> whole;
    for (int who = 0; who < 3; ++who)
        for (int n = 0; n < 40; ++n) whole.insert(SessionBytes(vars(who, n)));
    std::ofstream(file) << SessionBytes(vars(0, 0));
    std::vector<std::unique_ptr<TForkChild>> savers;
    for (int who = 0; who < 3; ++who)
        savers.push_back(std::make_unique<TForkChild>([&, who](TForkChild&) {
            for (int n = 0; n < 40; ++n) {
                TCGISessionVariables* s = StartRequestSession(nullptr, "shared", Now() + 1, file);
                for (const std::string& v : vars(who, n)) s->Variables()->Add(v);
                s->SaveSession();
                s->Variables()->Clear();
            }
            RequestContext().SessionVariables.reset();
            return 0;
        }));
    int reads = 0, torn = 0;
    for (bool running = true; running; ++reads) {
        running = false;
        for (auto& c : savers) {
            siginfo_t info{};  // left to wait for: Finish reaps it
            running |= ::waitid(P_PID, c->Pid(), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
        }
        if (!whole.count(ReadFileBytes(file))) ++torn;
    }
    for (auto& c : savers) EXPECT_TRUE(c->Finish().ExitedWith(0));
    EXPECT_EQ(torn, 0) << "of " << reads << " reads";
    EXPECT_TRUE(whole.count(ReadFileBytes(file)));
}

// A save is written beside the file and put in its place only once whole: one that fails
// leaves the last saved session, and what others placed at the file's name is replaced, not
// written into (a link to a file elsewhere) or refused (no regular file: a pipe, a device).
TEST_F(SessionTest, ASaveReplacesTheFileOnlyWhenWholeAndNeverWritesThroughIt) {
    const std::string file = File("s6");
    const std::string before = SessionBytes({"user=bob", "cart=2"});
    std::ofstream(file) << before;
    TForkChild full([&](TForkChild&) {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        TCGISessionVariables* s = StartRequestSession(nullptr, "s6", Now() + 1, file);
        s->Variables()->Add("user=bob");
        s->Variables()->Add("cart=" + std::string(10000, 'c'));
        try {
            s->SaveSession();
        } catch (const Exception&) {
            s->Saved = true;  // nothing more to try at its end
            return 0;
        }
        return 1;
    });
    EXPECT_TRUE(full.Finish().ExitedWith(0)) << "the save did not fail";
    EXPECT_EQ(ReadFileBytes(file), before);

    const std::string elsewhere = FDir + "/elsewhere.txt";
    std::ofstream(elsewhere) << "not a session";
    ::unlink(file.c_str());
    ASSERT_EQ(::link(elsewhere.c_str(), file.c_str()), 0);
    TCGISessionVariables* s = StartRequestSession(FEngine.get(), "s6", Now() + 1, file);
    s->Variables()->Add("user=bob");
    s->SaveSession();
    EXPECT_EQ(ReadFileBytes(elsewhere), "not a session");
    EXPECT_EQ(ReadFileBytes(file), SessionBytes({"user=bob"}));

    ::unlink(file.c_str());
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    s->Saved = false;
    s->SaveSession();
    EXPECT_FALSE(s->Saved);
    struct stat st {};
    ASSERT_EQ(::lstat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(FileNames(FDir), (std::vector<std::string>{"elsewhere.txt", "s6.ses"}));  // nothing left beside
    s->Saved = true;
}

TEST_F(SessionTest, ReleaseRequestWithFreeAllDropsEverySession) {
    StartRequestSession(FEngine.get(), "a", Now() + 1);
    TCGISessionVariables* s = StartRequestSession(FEngine.get(), "b", Now() + 1);
    EXPECT_EQ(SessionCount(), 2);
    s->ReleaseRequest(true);
    EXPECT_EQ(SessionCount(), 0);
    EXPECT_EQ(s->IndexOfCurrent(), -1);
    // A session started afterwards gets a new list.
    s = StartRequestSession(FEngine.get(), "c", Now() + 1);
    EXPECT_EQ(SessionCount(), 1);
    EXPECT_EQ(s->IndexOfCurrent(), 0);
}

// Two requests of one session on two threads: every change of either lands. A single call
// runs under the session lock; a change made of several calls holds the accessor.
TEST_F(SessionTest, RequestsOfOneSessionOnTwoThreadsChangeItUnderTheLock) {
    constexpr int kChanges = 3000;
    auto request = [&](int thread) {
        TCGISessionVariables* s = StartRequestSession(FEngine.get(), "shared", Now() + 1);
        for (int i = 0; i < kChanges; ++i) {
            s->Variables()->Add("t" + std::to_string(thread) + "_" + std::to_string(i) + "=x");
            auto v = s->Variables();
            v->SetValues("count", IntToStr(StrToIntDef(v->Values("count"), 0) + 1));
        }
        RequestContext().SessionVariables.reset();
    };
    std::thread a(request, 1), b(request, 2);
    a.join();
    b.join();
    TCGISessionVariables* s = StartRequestSession(FEngine.get(), "shared", Now() + 1);
    auto v = s->Variables();
    ASSERT_TRUE(v);
    EXPECT_EQ(v->Count(), 2 * kChanges + 1);
    EXPECT_EQ(v->Values("count"), IntToStr(2 * kChanges));
    EXPECT_GE(v->IndexOfName("t1_" + std::to_string(kChanges - 1)), 0);
    EXPECT_GE(v->IndexOfName("t2_" + std::to_string(kChanges - 1)), 0);
}

}  // namespace
