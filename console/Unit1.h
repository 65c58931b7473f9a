#pragma once
// The test console's main window: connect to the trainer, watch the live values, ride,
// send resistance and commands, pair devices, switch the radio log, and read and write
// the parameter memories of trainer and console.
#include <QPointer>
#include <QWidget>
#include <memory>
#include <string>
#include <vector>

#include "console/Controls.h"
#include "device/MapCalibrationU.h"
#include "device/TreviaDeviceANT.h"

class TForm2;

// Lines the radio log (Memo1) keeps: some minutes of traffic with every frame logged.
inline constexpr int RadioLogMaxLines = 5000;

class TForm1 : public QWidget {
public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // The lifetime-test window that btn3 shows (set by the program; cleared when it goes).
    QPointer<TForm2> LifetimeForm;
    // Closing this window ends the program's loop (the program's main window).
    bool EndsProgramOnClose = false;

    // Components.
    std::unique_ptr<TTreviaDeviceANT> TreviaDeviceANT1;
    std::unique_ptr<TMapCalibration> mpclbrtn1;

    // Connection.
    QPushButton *Button1, *Button2;
    QCheckBox* chkNaw;
    QLineEdit *txtChannelTrainer, *txtChannelSdeCa, *txtChannelConsole;
    TSpinEdit *txtTDN, *txtCSN, *txtRoller;
    QCheckBox *chkCardio, *chkConsole;
    // Device numbers.
    QLabel *lblDeviceHR, *lblDeviceTrainer, *lblKeyboard;
    QPushButton* Button9;
    // Live values.
    QLabel *Label1, *Label2, *Label6, *Label20, *lbl2, *Label41;
    // Heart strap.
    QWidget* Panel2;
    QLabel *Label31, *Label32, *Label33, *Label34, *Label35, *Label36, *Label37, *Label38, *Label39;
    TMemo* mmo1;
    QPushButton *Button63, *Button64;
    // Ride.
    QPushButton *Button62, *btn5, *btn6;
    QCheckBox *chkMiles, *chkVirtualSpeed;
    QLineEdit* TxtSlope;
    QPushButton* SetSlope;
    // Resistance and power.
    TSpinEdit* TxtTreviaResistance;
    QPushButton* Button4;
    QLineEdit* txtPowerNaw;
    QPushButton* Button58;
    // Trainer commands.
    QLineEdit* txtTotalDistance;
    QPushButton *Button5, *Button6, *Button7;
    QLabel* lblTotalDistance;
    QLineEdit* txtEventPerTurns;
    QPushButton* Button61;
    // Console commands.
    QPushButton* cmdSleep;
    QCheckBox* CheckBox1;
    QPushButton *cmdUp, *cmdDown, *cmdEnter, *cmdTab;
    // Pairing and tools.
    QPushButton *btn1, *btn2, *btn3, *btn4;
    // Radio log.
    TMemo* Memo1;
    QCheckBox *chkTX, *chkRX, *chkChannel;
    QLineEdit* txtName;
    // Parameter memories.
    TStringGrid *GridEprom, *GridConsole;
    QComboBox *Cmb_Address, *ComboAddressConsole;
    TSpinEdit *Edt_NumByte, *edt_numByteConsole;
    TSpinEdit* txtValue;
    QLineEdit* txtDecimal;
    QPushButton *btn_ReadEprom, *btn_WriteEprom, *Button3, *Button8;
    // The field buttons, Button10 .. Button60, by name.
    QPushButton* FieldButton(const std::string& name) const;

    // Handlers.
    void FormCreate();
    void Button1Click();
    void Button2Click();
    void Button9Click();
    void Button62Click();
    void btn5Click();
    void btn6Click();
    void chkCardioClick();
    void chkConsoleClick();
    void chkMilesClick();
    void chkVirtualSpeedClick();
    void SetSlopeClick();
    void Button4Click();
    void Button58Click();
    void Button61Click();
    void Button5Click();
    void Button6Click();
    void Button7Click();
    void cmdSleepClick();
    void CheckBox1Click();
    void cmdUpClick();
    void cmdDownClick();
    void cmdEnterClick();
    void cmdTabClick();
    void chkTXClick();
    void chkRXClick();
    void LogFilterChange();
    void btn1Click();
    void btn2Click();
    void btn3Click();
    void btn4Click();
    void TreviaDeviceANT1Stats(TObject* Sender);
    void TreviaDeviceANT1Disconnected(TObject* Sender);
    void TreviaDeviceANT1OnConsoleKeydown(TObject* Sender, TConsoleKey key);
    void ConsoleConnection(TObject* Sender);
    void DongleNotFound(TObject* Sender);
    // Parameter-memory handlers.
    void btn_ReadEpromClick();
    void btn_WriteEpromClick();
    void Button3Click();
    void Button8Click();
    void Button64Click();
    void Button63Click();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void CreateControls();
    void CreateEpromControls();
    void LoadStoredSettings();
    // Disables the on-screen key for 500 ms, pumping messages.
    void HoldKey(QPushButton* key);
    // Raw read or write through one of the grids.
    void RawRead(TStringGrid* grid, QComboBox* address, TSpinEdit* count, bool trainer);
    void RawWrite(TStringGrid* grid, QComboBox* address, TSpinEdit* count, bool trainer);
    // Appends the named fields' read lines to mmo1 (the dumps).
    void DumpFields(const char* const* ReadButtons, size_t Count);
    std::vector<QPushButton*> FFieldButtons;
};

// The program's windows (globals, set by the program entry).
extern TForm1* Form1;
