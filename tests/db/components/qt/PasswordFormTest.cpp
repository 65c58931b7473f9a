#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <thread>

#include "db/components/PasswordDialog.h"
#include "db/components/Sessions.h"
#include "db/components/qt/PasswordForm.h"
#include "db/engine/DataSession.h"

namespace {

QApplication& App() {
    static int argc = 1;
    static char name[] = "test_db_components_qt";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        return new QApplication(argc, argv);
    }();
    return *app;
}

class PasswordFormTest : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        session = DefaultSession();
        session->RemoveAllPasswords();
    }
    void TearDown() override {
        SetPasswordDialogHook(nullptr);
        FinalizeSessions();
    }
    bool Has(const std::string& p) { return session->EngineSession()->HasPassword(p); }
    TZIZIVUSession* session = nullptr;
};

TEST_F(PasswordFormTest, ControlsCaptionsAndGeometry) {
    TZIZIVUPasswordDialog d;
    EXPECT_EQ("Enter password", d.windowTitle().toStdString());
    EXPECT_EQ(QSize(273, 132), d.size());
    struct Row {
        const char* name;
        const char* caption;
        QRect geometry;
        bool enabled;
        const char* parent;
    };
    const Row rows[] = {
        {"AddButton", "&Add", QRect(16, 46, 65, 25), false, "GroupBox1"},
        {"RemoveButton", "&Remove", QRect(88, 46, 65, 25), false, "GroupBox1"},
        {"RemoveAllButton", "Re&move all", QRect(160, 46, 81, 25), true, "GroupBox1"},
        {"OKButton", "&OK", QRect(109, 98, 75, 25), false, "ZIZIVUPasswordDialog"},
        {"CancelButton", "Cancel", QRect(190, 98, 75, 25), true, "ZIZIVUPasswordDialog"},
    };
    for (const Row& r : rows) {
        auto* b = d.findChild<QPushButton*>(r.name);
        ASSERT_NE(nullptr, b) << r.name;
        EXPECT_EQ(r.caption, b->text().toStdString()) << r.name;
        EXPECT_EQ(r.geometry, b->geometry()) << r.name;
        EXPECT_EQ(r.enabled, b->isEnabled()) << r.name;
        EXPECT_EQ(r.parent, b->parentWidget()->objectName().toStdString()) << r.name;
    }
    EXPECT_TRUE(d.OKButton->isDefault());
    auto* group = d.findChild<QGroupBox*>("GroupBox1");
    ASSERT_NE(nullptr, group);
    EXPECT_EQ("Password", group->title().toStdString());
    EXPECT_EQ(QRect(8, 8, 257, 81), group->geometry());
    auto* edit = d.findChild<QLineEdit*>("Edit");
    ASSERT_NE(nullptr, edit);
    EXPECT_EQ(QRect(16, 18, 225, 21), edit->geometry());
    EXPECT_EQ(QLineEdit::Password, edit->echoMode());
}

TEST_F(PasswordFormTest, ButtonsFollowTheEditAndChangeTheSessionPasswords) {
    TZIZIVUPasswordDialog d;
    d.Session = session;
    d.Edit->setText("alpha");
    EXPECT_TRUE(d.AddButton->isEnabled());
    EXPECT_TRUE(d.RemoveButton->isEnabled());
    EXPECT_TRUE(d.OKButton->isEnabled());
    d.Edit->clear();
    EXPECT_FALSE(d.AddButton->isEnabled());
    EXPECT_FALSE(d.OKButton->isEnabled());

    d.Edit->setText("alpha");
    d.AddButton->click();
    EXPECT_TRUE(Has("alpha"));
    EXPECT_TRUE(d.Edit->text().isEmpty());
    EXPECT_FALSE(d.AddButton->isEnabled());
    EXPECT_TRUE(d.OKButton->isEnabled());  // something was added

    d.Edit->setText("beta");
    d.AddButton->click();
    d.Edit->setText("alpha");
    d.RemoveButton->click();
    EXPECT_FALSE(Has("alpha"));
    EXPECT_TRUE(Has("beta"));
    EXPECT_TRUE(d.Edit->text().isEmpty());
    d.RemoveAllButton->click();
    EXPECT_FALSE(Has("beta"));
}

TEST_F(PasswordFormTest, ModalDialogAnswersOkAndCancel) {
    InstallPasswordDialog();
    // OK adds what the edit holds.
    QTimer::singleShot(0, [] {
        auto* d = dynamic_cast<TZIZIVUPasswordDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(nullptr, d);
        d->Edit->setText("gamma");
        d->OKButton->click();
    });
    EXPECT_TRUE(session->DoPassword());
    EXPECT_TRUE(Has("gamma"));

    // Cancel answers false and keeps what Add put into the session.
    QTimer::singleShot(0, [] {
        auto* d = dynamic_cast<TZIZIVUPasswordDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(nullptr, d);
        d->Edit->setText("delta");
        d->AddButton->click();
        d->CancelButton->click();
    });
    EXPECT_FALSE(PasswordDialog(session));
    EXPECT_TRUE(Has("delta"));
}

TEST_F(PasswordFormTest, NoWindowOffTheGuiThread) {
    InstallPasswordDialog();
    bool answer = true;
    std::thread([&] { answer = PasswordDialog(session); }).join();
    EXPECT_FALSE(answer);
}

}  // namespace
