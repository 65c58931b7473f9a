#include "db/components/qt/PasswordForm.h"

#include <QApplication>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QThread>

#include "db/components/PasswordDialog.h"
#include "db/components/Sessions.h"

namespace {

QPushButton* MakeButton(QWidget* parent, const char* name, const char* caption, int x, int y, int w, int h) {
    auto* b = new QPushButton(QString::fromLatin1(caption), parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setGeometry(x, y, w, h);
    b->setAutoDefault(false);
    return b;
}

}  // namespace

TZIZIVUPasswordDialog::TZIZIVUPasswordDialog(QWidget* parent) : QDialog(parent) {
    setObjectName("ZIZIVUPasswordDialog");
    setWindowTitle("Enter password");
    setFixedSize(273, 132);
    setModal(true);

    GroupBox1 = new QGroupBox("Password", this);
    GroupBox1->setObjectName("GroupBox1");
    GroupBox1->setGeometry(8, 8, 257, 81);

    Edit = new QLineEdit(GroupBox1);
    Edit->setObjectName("Edit");
    Edit->setGeometry(16, 18, 225, 21);
    Edit->setEchoMode(QLineEdit::Password);
    Edit->setStyleSheet("lineedit-password-character: 42;");  // '*'

    AddButton = MakeButton(GroupBox1, "AddButton", "&Add", 16, 46, 65, 25);
    AddButton->setEnabled(false);
    RemoveButton = MakeButton(GroupBox1, "RemoveButton", "&Remove", 88, 46, 65, 25);
    RemoveButton->setEnabled(false);
    RemoveAllButton = MakeButton(GroupBox1, "RemoveAllButton", "Re&move all", 160, 46, 81, 25);

    OKButton = MakeButton(this, "OKButton", "&OK", 109, 98, 75, 25);
    OKButton->setDefault(true);
    OKButton->setEnabled(false);
    CancelButton = MakeButton(this, "CancelButton", "Cancel", 190, 98, 75, 25);

    connect(Edit, &QLineEdit::textChanged, this, [this] { EditChange(); });
    connect(AddButton, &QPushButton::clicked, this, [this] { AddButtonClick(); });
    connect(RemoveButton, &QPushButton::clicked, this, [this] { RemoveButtonClick(); });
    connect(RemoveAllButton, &QPushButton::clicked, this, [this] { RemoveAllButtonClick(); });
    connect(OKButton, &QPushButton::clicked, this, [this] {
        OKButtonClick();
        accept();
    });
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
    Edit->setFocus();
}

void TZIZIVUPasswordDialog::EditChange() {
    const bool hasText = !Edit->text().isEmpty();
    AddButton->setEnabled(hasText);
    RemoveButton->setEnabled(hasText);
    OKButton->setEnabled(hasText || Added);
}

void TZIZIVUPasswordDialog::AddButtonClick() {
    if (Session) Session->AddPassword(Edit->text().toStdString());
    Added = true;
    Edit->clear();
    Edit->setFocus();
    EditChange();
}

void TZIZIVUPasswordDialog::RemoveButtonClick() {
    if (Session) Session->RemovePassword(Edit->text().toStdString());
    Edit->clear();
    Edit->setFocus();
}

void TZIZIVUPasswordDialog::RemoveAllButtonClick() {
    if (Session) Session->RemoveAllPasswords();
    Edit->setFocus();
}

void TZIZIVUPasswordDialog::OKButtonClick() {
    if (Session) Session->AddPassword(Edit->text().toStdString());
}

bool ShowPasswordDialog(TZIZIVUSession* session) {
    // A process without a GUI application, or a worker thread, must not wait on a window.
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (!app || QThread::currentThread() != app->thread()) return false;
    TZIZIVUPasswordDialog dialog;
    dialog.Session = session;
    if (QScreen* screen = QGuiApplication::primaryScreen())
        dialog.move(screen->geometry().center() - dialog.rect().center());
    return dialog.exec() == QDialog::Accepted;
}

void InstallPasswordDialog() {
    SetPasswordDialogHook(&ShowPasswordDialog);
}
