#pragma once
// The table-password dialog: the user adds or removes table passwords of a session and
// confirms, after which the engine tries the open again.
#include <QDialog>

class QGroupBox;
class QLineEdit;
class QPushButton;
class TZIZIVUSession;

class TZIZIVUPasswordDialog : public QDialog {
public:
    explicit TZIZIVUPasswordDialog(QWidget* parent = nullptr);

    TZIZIVUSession* Session = nullptr;
    // Set once a password was added through the Add button.
    bool Added = false;

    QGroupBox* GroupBox1;
    QLineEdit* Edit;
    QPushButton* AddButton;
    QPushButton* RemoveButton;
    QPushButton* RemoveAllButton;
    QPushButton* OKButton;
    QPushButton* CancelButton;

    void EditChange();
    void AddButtonClick();
    void RemoveButtonClick();
    void RemoveAllButtonClick();
    void OKButtonClick();
};

// Shows the dialog for the session modally; true when closed with OK. Without a GUI
// application, or off its thread, the answer is Cancel at once.
bool ShowPasswordDialog(TZIZIVUSession* session);

// Makes the components' password dialog this one.
void InstallPasswordDialog();
