#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "db/components/PasswordDialog.h"
#include "db/components/Sessions.h"
#include "db/engine/DataDirectory.h"
#include "db/engine/DataSession.h"

namespace {

class SessionsTest : public ::testing::Test {
protected:
    void TearDown() override {
        SetPasswordDialogHook(nullptr);
        FinalizeSessions();
    }
    // Expects `fn` to raise an EDatabaseError whose message ends with `text`.
    template <class F>
    static void ExpectError(F fn, const std::string& text) {
        try {
            fn();
            ADD_FAILURE() << "no error, expected: " << text;
        } catch (const EDatabaseError& e) {
            std::string m = e.what();
            EXPECT_TRUE(m.size() >= text.size() && m.compare(m.size() - text.size(), text.size(), text) == 0)
                << m << " / expected: " << text;
        }
    }
};

TEST_F(SessionsTest, DefaultSessionAndLookup) {
    TZIZIVUSession* def = DefaultSession();
    ASSERT_NE(nullptr, def);
    EXPECT_EQ("Default", def->SessionName());
    EXPECT_TRUE(def->IsDefault());
    EXPECT_EQ(def, Sessions().FindSession(""));
    EXPECT_EQ(def, Sessions().FindSession("DEFAULT"));
    EXPECT_EQ("2.12", def->EngineVersion());

    auto* other = new TZIZIVUSession(nullptr);
    other->SetSessionName("Reports");
    EXPECT_FALSE(other->IsDefault());
    EXPECT_EQ(other, Sessions().GetSession("reports"));
    EXPECT_EQ(def, Sessions().FindSession(""));
    ExpectError([] { Sessions().GetSession("Nowhere"); }, "Session name Nowhere is not valid.");
    auto* third = new TZIZIVUSession(nullptr);
    ExpectError([&] { third->SetSessionName("REPORTS"); }, "Session name REPORTS already exists.");
    ExpectError([&] { third->SetActive(true); }, "Session name is missing.");
    EXPECT_FALSE(third->Active());
    delete other;
    EXPECT_EQ(nullptr, Sessions().FindSession("Reports"));
}

TEST_F(SessionsTest, AutoSessionNames) {
    TComponent formA(nullptr), formB(nullptr), formC(nullptr);
    auto* a = new TZIZIVUSession(&formA);
    a->SetName("Session1");
    a->SetAutoSessionName(true);
    auto* b = new TZIZIVUSession(&formB);
    b->SetName("Session1");
    b->SetAutoSessionName(true);
    EXPECT_EQ("Session1_1", a->SessionName());
    EXPECT_EQ("Session1_2", b->SessionName());
    b->SetName("Other");
    EXPECT_EQ("Other_2", b->SessionName());
    // A freed number is taken again.
    delete a;
    auto* c = new TZIZIVUSession(&formC);
    c->SetName("Session1");
    c->SetAutoSessionName(true);
    EXPECT_EQ("Session1_1", c->SessionName());
    // An auto-session is the only session of its owner, both ways round.
    ExpectError([&] { new TZIZIVUSession(&formC); }, "This auto-session already exists.");
    EXPECT_EQ(1, formC.ComponentCount());
    auto* plain = new TZIZIVUSession(&formA);
    new TZIZIVUSession(&formA);
    ExpectError([&] { plain->SetAutoSessionName(true); },
                "The active auto-session can be the only active session.");
    c->SetActive(true);
    ExpectError([&] { c->SetAutoSessionName(false); },
                "Cannot perform this operation on the active auto-session.");
}

TEST_F(SessionsTest, DatabaseNamesAreChecked) {
    auto* db = new TZIZIVUDatabase(nullptr);
    EXPECT_EQ(DefaultSession(), db->Session());
    EXPECT_TRUE(db->KeepConnection());
    for (const char* bad : {"1abc", "a:b", "a\\b", " x", ""}) {
        if (!*bad) continue;
        ExpectError([&] { db->SetDatabaseName(bad); }, Format("Database name %s is not valid.", bad));
    }
    for (const char* good : {"abc", "_x1", "\x81name", "\xFEz"})
        EXPECT_NO_THROW(db->SetDatabaseName(good)) << good;
    db->SetDatabaseName("");
    ExpectError([&] { db->Open(); }, "Database name is missing.");

    auto* other = new TZIZIVUDatabase(nullptr);
    other->SetDatabaseName("Stock");
    ExpectError([&] { db->SetDatabaseName("STOCK"); }, "Database name STOCK already exists.");
    db->SetDatabaseName("Memory");
    db->Open();
    EXPECT_TRUE(db->Connected());
    EXPECT_EQ("", db->Directory());  // the in-memory database has no folder
    ExpectError([&] { db->SetDatabaseName("Other"); }, "Cannot perform this operation on an open database.");
    db->Close();
    delete db;
    delete other;
}

TEST_F(SessionsTest, ActivationStartsTheEngineAndCopiesTheSettings) {
    auto* s = new TZIZIVUSession(nullptr);
    s->SetSessionName("Work");
    s->SetLockRetryCount(3);
    s->SetLockWaitTime(7);
    s->SetForceBufferFlush(true);
    s->SetStrictChangeDetection(true);
    s->SetLanguageID(0x0407);
    s->SetSortID(1);
    int startups = 0;
    s->OnStartup = [&](TObject*) { ++startups; };
    s->SetActive(true);
    EXPECT_EQ(1, startups);
    EXPECT_TRUE(DefaultSession()->Active());
    EXPECT_TRUE(EngineInitialized());
    TDataSession* es = s->EngineSession();
    ASSERT_NE(nullptr, es);
    EXPECT_NE(DefaultSession()->EngineSession(), es);
    EXPECT_EQ(3, es->LockRetryCount());
    EXPECT_EQ(7, es->LockWaitTime());
    EXPECT_TRUE(es->ForceBufferFlush());
    EXPECT_TRUE(es->StrictChangeDetection());
    EXPECT_EQ(0x0407, es->LanguageID());
    EXPECT_EQ(1, es->SortID());
    s->SetLockRetryCount(9);  // passed on while active
    EXPECT_EQ(9, es->LockRetryCount());
    ExpectError([&] { s->SetSessionName("Else"); }, "Cannot perform this operation on an active session.");

    // Deactivating another session frees only its engine session.
    s->LockSession();
    EXPECT_EQ(es, GetEngineSession());
    s->UnlockSession();
    s->SetActive(false);
    EXPECT_TRUE(EngineInitialized());
    EXPECT_EQ(DefaultSession()->EngineSession(), GetEngineSession());
    DefaultSession()->SetActive(false);
    EXPECT_FALSE(EngineInitialized());
}

TEST_F(SessionsTest, DeactivatingDefaultFirstClosesTheOtherSessions) {
    auto* s = new TZIZIVUSession(nullptr);
    s->SetSessionName("Other");
    auto* db = new TZIZIVUDatabase(s);
    db->SetDatabaseName("Memory");
    db->Open();
    ASSERT_TRUE(s->Active());
    ASSERT_TRUE(db->Connected());
    DefaultSession()->SetActive(false);
    EXPECT_FALSE(s->Active());
    EXPECT_FALSE(db->Connected());
    EXPECT_FALSE(EngineInitialized());
    // Everything starts again on the next use.
    db->Open();
    EXPECT_TRUE(db->Connected());
    EXPECT_TRUE(DefaultSession()->Active());
}

TEST_F(SessionsTest, TwoThreadsOnOneSessionAreSerialised) {
    auto* s = new TZIZIVUSession(nullptr);
    s->SetSessionName("Shared");
    // Held by this thread, the section is closed to others; nested locks keep it closed.
    s->LockSession();
    s->LockSession();
    s->UnlockSession();
    bool entered = true;
    std::thread([&] {
        entered = Sessions().Lock().TryEnter();
        if (entered) Sessions().Lock().Leave();
    }).join();
    EXPECT_FALSE(entered);
    s->UnlockSession();
    std::thread([&] {
        entered = Sessions().Lock().TryEnter();
        if (entered) Sessions().Lock().Leave();
    }).join();
    EXPECT_TRUE(entered);

    // Many threads on the one session never overlap inside it.
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                TZIZIVUSessionLock lock(s);
                // Inside, this thread holds the process-wide section itself.
                if (Sessions().Lock().TryEnter())
                    Sessions().Lock().Leave();
                else
                    overlap = true;
                if (inside.fetch_add(1) != 0) overlap = true;
                for (int k = 0; k < 20; ++k) std::this_thread::yield();
                inside.fetch_sub(1);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_FALSE(overlap);
    EXPECT_EQ(0, s->LockCount());
}

TEST_F(SessionsTest, PasswordsAndThePasswordCallback) {
    TZIZIVUSession* def = DefaultSession();
    def->AddPassword("secret");  // activates the session
    ASSERT_TRUE(def->Active());
    EXPECT_TRUE(def->EngineSession()->HasPassword("secret"));
    def->RemovePassword("secret");
    EXPECT_FALSE(def->EngineSession()->HasPassword("secret"));
    def->AddPassword("a");
    def->AddPassword("b");
    def->RemoveAllPasswords();
    EXPECT_FALSE(def->EngineSession()->HasPassword("a"));

    // Without a handler and without a display the answer is Cancel.
    EXPECT_FALSE(HasPasswordDialogHook());
    EXPECT_FALSE(def->DoPassword());
    TZIZIVUSession* asked = nullptr;
    SetPasswordDialogHook([&](TZIZIVUSession* s) {
        asked = s;
        s->AddPassword("typed");
        return true;
    });
    EXPECT_TRUE(def->DoPassword());
    EXPECT_EQ(def, asked);
    EXPECT_TRUE(def->EngineSession()->HasPassword("typed"));
    // A handler decides alone.
    def->OnPassword = [](TObject*, bool& cont) { cont = false; };
    EXPECT_FALSE(def->DoPassword());
}

TEST_F(SessionsTest, TemporaryDatabasesAreCountedAndFreed) {
    auto* s = new TZIZIVUSession(nullptr);
    s->SetSessionName("Temp");
    s->SetKeepConnections(false);
    TZIZIVUDatabase* db = s->OpenDatabase("Memory");
    EXPECT_TRUE(db->Temporary());
    EXPECT_TRUE(db->Connected());
    EXPECT_EQ(db, s->OpenDatabase("MEMORY"));
    EXPECT_EQ(2, db->ReferenceCount());
    s->CloseDatabase(db);
    EXPECT_EQ(1, s->DatabaseCount());
    s->CloseDatabase(db);
    EXPECT_EQ(0, s->DatabaseCount());  // freed

    // A database component keeps its connection after the last reference by default.
    auto* named = new TZIZIVUDatabase(s);
    named->SetDatabaseName("Memory");
    EXPECT_EQ(named, s->OpenDatabase("memory"));
    s->CloseDatabase(named);
    EXPECT_TRUE(named->Connected());
    named->SetKeepConnection(false);
    s->OpenDatabase("memory");
    s->CloseDatabase(named);
    EXPECT_FALSE(named->Connected());
    EXPECT_EQ(1, s->DatabaseCount());

    // A failed open leaves no temporary database behind.
    ExpectError([&] { s->OpenDatabase(""); }, "Database name is missing.");
    EXPECT_EQ(1, s->DatabaseCount());
}

TEST_F(SessionsTest, SharedHandlesAndFollowingARenamedSession) {
    auto* s1 = new TZIZIVUSession(nullptr);
    s1->SetSessionName("One");
    auto* s2 = new TZIZIVUSession(nullptr);
    s2->SetSessionName("Two");
    auto* a = new TZIZIVUDatabase(s1);
    a->SetDatabaseName("Memory");
    auto* b = new TZIZIVUDatabase(s2);
    b->SetDatabaseName("Memory");
    b->SetHandleShared(true);
    a->Open();
    b->Open();
    EXPECT_EQ(a->Handle(), b->Handle());
    EXPECT_EQ(2, a->Handle()->ReferenceCount());
    // The session owning the handle goes first: the sharer is closed with it.
    s1->SetActive(false);
    EXPECT_FALSE(a->Connected());
    EXPECT_FALSE(b->Connected());

    TComponent form(nullptr);
    auto* s3 = new TZIZIVUSession(&form);
    s3->SetSessionName("Three");
    auto* c = new TZIZIVUDatabase(&form);
    c->SetSessionName("Three");
    EXPECT_EQ(s3, c->Session());
    s3->SetSessionName("Renamed");
    EXPECT_EQ("Renamed", c->SessionName());
    c->SetSessionName("Nowhere");
    c->SetDatabaseName("Memory");
    ExpectError([&] { c->Open(); }, "Session name Nowhere is not valid.");
}

TEST_F(SessionsTest, ActiveAndConnectedWaitForLoaded) {
    TComponent form(nullptr);
    auto* s = new TZIZIVUSession(&form);
    s->SetSessionName("Loaded");
    auto* db = new TZIZIVUDatabase(s);
    db->SetDatabaseName("Memory");
    s->Loading();
    db->Loading();
    s->SetActive(true);
    db->SetConnected(true);
    EXPECT_FALSE(s->Active());
    EXPECT_FALSE(db->Connected());
    s->Loaded();
    EXPECT_TRUE(s->Active());
    db->Loaded();
    EXPECT_TRUE(db->Connected());
}

}  // namespace
