#pragma once
// The lifetime test: at each time step the trainer's resistance level moves up by the
// byte step until the maximum, then down until the bottom, and so on, sent through the
// main window's "Send Resistance" button.
#include <QPointer>
#include <QWidget>
#include <memory>

#include "console/Controls.h"
#include "device/TumoThdTimer.h"

class TForm1;

class TForm2 : public QWidget {
public:
    // `MainForm` is the window whose resistance box and button the test drives.
    explicit TForm2(TForm1* MainForm, QWidget* parent = nullptr);
    ~TForm2() override;

    QPushButton *btnStart, *btnStop;
    TSpinEdit *txtMaxParameter, *txtTimeStep, *txtByteStep;
    QLineEdit *txtOre, *txtMinuti, *txtSecondi;
    std::unique_ptr<TTumoThreadTimer> tmr1;

    void btnStartClick();
    void btnStopClick();
    void tmr1Timer(TObject* Sender);

    bool GoingUp() const { return FUp; }

private:
    // Cleared when the main window goes, so a late tick drives nothing.
    QPointer<TForm1> FMainForm;
    int32_t FSeconds = 0, FMinutes = 0, FHours = 0;
    bool FUp = true;
};

extern TForm2* Form2;
