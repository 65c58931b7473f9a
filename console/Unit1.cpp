// The main window: controls, stored component settings and the handlers of connection,
// ride, resistance, commands, pairing and radio log.
#include "console/Unit1.h"

#include <QCloseEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QScreen>

#include "console/TreviaAntUtils.h"
#include "console/Unit2.h"
#include "platform/framework/Application.h"
#include "platform/framework/Dialogs.h"
#include "platform/rtl/SysUtils.h"

TForm1* Form1 = nullptr;

namespace {

QCheckBox* BindCheck(QCheckBox* box, TForm1* form, void (TForm1::*handler)()) {
    QObject::connect(box, &QCheckBox::toggled, box,
                     [form, handler] { RunHandler([&] { (form->*handler)(); }); });
    return box;
}

}  // namespace

TForm1::TForm1(QWidget* parent) : QWidget(parent) {
    setObjectName("Form1");
    setWindowTitle("ZeltoANT 2");
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(984, 775);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(0x80, 0x00, 0x80));
    pal.setColor(QPalette::WindowText, Qt::white);
    setPalette(pal);
    setAutoFillBackground(true);
    QFont f("DejaVu Sans Condensed");
    f.setPixelSize(11);
    setFont(f);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }

    TreviaDeviceANT1 = std::make_unique<TTreviaDeviceANT>(nullptr);
    TreviaDeviceANT1->SetName("TreviaDeviceANT1");
    mpclbrtn1 = std::make_unique<TMapCalibration>(nullptr);
    mpclbrtn1->SetName("mpclbrtn1");
    LoadStoredSettings();
    CreateControls();
    CreateEpromControls();
    FormCreate();
}

TForm1::~TForm1() {
    if (Form1 == this) Form1 = nullptr;
    // The window is going away: no handler of it may run from the device's teardown, whose
    // disconnect pumps messages (a click, a key or the lifetime test's tick would land on
    // a half-destroyed window).
    for (QWidget* w : findChildren<QWidget*>()) w->blockSignals(true);
    if (TreviaDeviceANT1) {
        TTreviaDeviceANT* d = TreviaDeviceANT1.get();
        d->OnStats = nullptr;
        d->OnDisconnected = nullptr;
        d->OnConsoleKeydown = nullptr;
        d->OnConsoleConnection = nullptr;
        d->OnErrorDonglenotFound = nullptr;
        d->SetDebugMemo(nullptr);
    }
    TreviaDeviceANT1.reset();
    mpclbrtn1.reset();
}

// The settings the window keeps for its components; they replace the components' defaults.
void TForm1::LoadStoredSettings() {
    TTreviaDeviceANT* d = TreviaDeviceANT1.get();
    d->SetRiderWeight(0);
    d->SetUOM(umKm);
    d->SetBikeWeight(10);
    d->SetTimerStatsEnabled(false);
    d->SetTimerStatsInterval(1000);
    d->SetTimerStatsThreadPriority(tpNormal);
    d->SetTimeToleranceMs(100);
    d->SetCadenceArrayLength(1);
    d->SetInitialResistance(0);
    d->SetSecurityActive(false);
    d->SetHighPowerReduceCoefficient(1);
    d->SetHighPowerReduceStartSpeed(7);
    d->SetHighPowerReduceCoefficientMinimum(0.25);
    d->SetResistanceReducer(1);
    d->SetPrecisionSpeed(8);
    d->SetPrecisionDistance(8);
    d->SetTolerance(2);
    d->SetResistanceMapAdapter(1);
    d->SetTime(0);
    d->SetVirtualSpeedEnabled(false);
    d->SetVirtualSpeedAttenuation(1);
    d->SetCalibration(1);
    d->SetNumberOfSearch(0);
    d->SeteventPerTurn(1);
    d->SetEnableConsole(true);
    d->OnStats = [this](TObject* s) { TreviaDeviceANT1Stats(s); };
    d->OnDisconnected = [this](TObject* s) { TreviaDeviceANT1Disconnected(s); };
    mpclbrtn1->SetP1MaxValue(0);
    mpclbrtn1->SetP2MaxValue(0);
    mpclbrtn1->SetP3MaxValue(0);
    mpclbrtn1->SetP1MinValue(0);
    mpclbrtn1->SetP2MinValue(0);
    mpclbrtn1->SetP3MinValue(0);
}

void TForm1::CreateControls() {
    auto on = [this](void (TForm1::*h)()) { return [this, h] { (this->*h)(); }; };

    // Connection.
    Button1 = NewButton(this, "Button1", "Connect", 8, 8, 75, 23, on(&TForm1::Button1Click));
    Button2 = NewButton(this, "Button2", "Disconnect", 88, 8, 75, 23, on(&TForm1::Button2Click));
    chkNaw = NewCheckBox(this, "chkNaw", "Vexa Naw", 172, 10, 100, 19, false);
    txtChannelTrainer = NewEdit(this, "txtChannelTrainer", "71", 8, 36, 36);
    txtChannelSdeCa = NewEdit(this, "txtChannelSdeCa", "57", 48, 36, 36);
    txtChannelConsole = NewEdit(this, "txtChannelConsole", "70", 88, 36, 36);
    chkCardio = NewCheckBox(this, "chkCardio", "HR", 136, 38, 45, 19, true);
    chkConsole = NewCheckBox(this, "chkConsole", "Console", 186, 38, 80, 19, true);
    txtTDN = NewSpinEdit(this, "txtTDN", 0, 65535, 0, 8, 62, 80);
    txtCSN = NewSpinEdit(this, "txtCSN", 0, 65535, 0, 92, 62, 80);
    txtRoller = NewSpinEdit(this, "txtRoller", 0, 0, 45, 176, 62, 60);
    BindCheck(chkCardio, this, &TForm1::chkCardioClick);
    BindCheck(chkConsole, this, &TForm1::chkConsoleClick);

    // Device numbers.
    auto* numbers = new QFrame(this);
    numbers->setFrameShape(QFrame::StyledPanel);
    numbers->setGeometry(8, 92, 300, 88);
    NewLabel(numbers, nullptr, "Device Number", 8, 4);
    NewLabel(numbers, nullptr, "Hr belt", 8, 26);
    NewLabel(numbers, nullptr, "Trainer", 8, 46);
    NewLabel(numbers, nullptr, "Keyboard", 8, 66);
    lblDeviceHR = NewLabel(numbers, "lblDeviceHR", "-----------------", 80, 26, 130);
    lblDeviceTrainer = NewLabel(numbers, "lblDeviceTrainer", "-----------------", 80, 46, 130);
    lblKeyboard = NewLabel(numbers, "lblKeyboard", "-----------------", 80, 66, 130);
    Button9 = NewButton(numbers, "Button9", "Update", 212, 4, 80, 23, on(&TForm1::Button9Click));

    // Live values.
    const char* captions[] = {"Cadence :", "Speed :", "Heart :", "Power :", "Distance :"};
    const char* names[] = {"Label1", "Label2", "Label6", "Label20", "lbl2"};
    QLabel** values[] = {&Label1, &Label2, &Label6, &Label20, &lbl2};
    for (int i = 0; i < 5; ++i) {
        NewLabel(this, nullptr, captions[i], 8, 190 + 20 * i);
        *values[i] = NewLabel(this, names[i], names[i], 80, 190 + 20 * i, 110);
    }
    NewLabel(this, nullptr, "Zero:", 200, 190);
    Label41 = NewLabel(this, "Label41", "0", 240, 190, 60);

    // Ride.
    Button62 = NewButton(this, "Button62", "Start", 8, 298, 60, 23, on(&TForm1::Button62Click));
    btn5 = NewButton(this, "btn5", "Stop", 72, 298, 60, 23, on(&TForm1::btn5Click));
    btn6 = NewButton(this, "btn6", "Pause", 136, 298, 60, 23, on(&TForm1::btn6Click));
    chkMiles = BindCheck(NewCheckBox(this, "chkMiles", "Miles", 208, 300, 70, 19, false), this,
                         &TForm1::chkMilesClick);
    chkVirtualSpeed = BindCheck(NewCheckBox(this, "chkVirtualSpeed", "Virtual Speed", 8, 328, 110, 19, false),
                                this, &TForm1::chkVirtualSpeedClick);
    TxtSlope = NewEdit(this, "TxtSlope", "0", 124, 326, 50);
    SetSlope = NewButton(this, "SetSlope", "Set Slope", 180, 325, 90, 23, on(&TForm1::SetSlopeClick));

    // Resistance and power.
    TxtTreviaResistance = NewSpinEdit(this, "TxtTreviaResistance", 0, 255, 0, 8, 356, 60);
    Button4 = NewButton(this, "Button4", "Send Resistance", 72, 355, 120, 23, on(&TForm1::Button4Click));
    txtPowerNaw = NewEdit(this, "txtPowerNaw", "", 8, 384, 60);
    Button58 = NewButton(this, "Button58", "Set power NAW", 72, 383, 120, 23, on(&TForm1::Button58Click));

    // Heart strap.
    auto* panel = new QFrame(this);
    panel->setObjectName("Panel2");
    panel->setFrameShape(QFrame::StyledPanel);
    panel->setGeometry(324, 8, 320, 300);
    Panel2 = panel;
    const char* heart[] = {"HeartBeatTime",        "HeartBeatCount",    "HeartCumulativeOperatingtime ",
                           "HeartManifactureID",   "HeartSerialNumber", "HeartHardwareVersion",
                           "HeartSoftwareVersion", "HeartModelNumber",  "HeartPreviousHeartBeat"};
    QLabel** heartValues[] = {&Label31, &Label32, &Label33, &Label34, &Label35,
                              &Label36, &Label37, &Label38, &Label39};
    for (int i = 0; i < 9; ++i) {
        NewLabel(panel, nullptr, heart[i], 8, 6 + 20 * i);
        const std::string name = "Label" + std::to_string(31 + i);
        *heartValues[i] = NewLabel(panel, name.c_str(), name.c_str(), 200, 6 + 20 * i, 110);
    }
    mmo1 = new TMemo(panel);
    mmo1->setObjectName("mmo1");
    mmo1->setGeometry(6, 192, 208, 102);
    Button63 = NewButton(panel, "Button63", "Button63", 220, 192, 94, 23, on(&TForm1::Button63Click));
    Button64 = NewButton(panel, "Button64", "Button64", 220, 218, 94, 23, on(&TForm1::Button64Click));

    // Console commands.
    cmdSleep = NewButton(this, "cmdSleep", "Sleep", 324, 314, 70, 23, on(&TForm1::cmdSleepClick));
    CheckBox1 = BindCheck(NewCheckBox(this, "CheckBox1", "Selected", 400, 316, 90, 19, false), this,
                          &TForm1::CheckBox1Click);
    cmdUp = NewButton(this, "cmdUp", " Up", 324, 342, 70, 23, on(&TForm1::cmdUpClick));
    cmdDown = NewButton(this, "cmdDown", "Down", 398, 342, 70, 23, on(&TForm1::cmdDownClick));
    cmdEnter = NewButton(this, "cmdEnter", "Enter", 472, 342, 70, 23, on(&TForm1::cmdEnterClick));
    cmdTab = NewButton(this, "cmdTab", "Tab", 546, 342, 70, 23, on(&TForm1::cmdTabClick));

    // Pairing and tools.
    btn1 = NewButton(this, "btn1", "HR BLT", 324, 370, 70, 23, on(&TForm1::btn1Click));
    btn2 = NewButton(this, "btn2", "CONS", 398, 370, 70, 23, on(&TForm1::btn2Click));
    btn3 = NewButton(this, "btn3", "Lifetime Test", 472, 370, 90, 23, on(&TForm1::btn3Click));
    btn4 = NewButton(this, "btn4", "btn4", 566, 370, 70, 23, on(&TForm1::btn4Click));

    // Radio log.
    chkTX = BindCheck(NewCheckBox(this, "chkTX", "TX", 324, 400, 44, 19, true), this, &TForm1::chkTXClick);
    chkRX = BindCheck(NewCheckBox(this, "chkRX", "RX", 372, 400, 44, 19, true), this, &TForm1::chkRXClick);
    chkChannel = BindCheck(NewCheckBox(this, "chkChannel", "Channel:", 424, 400, 76, 19, false), this,
                           &TForm1::LogFilterChange);
    txtName = NewEdit(this, "txtName", "0", 502, 398, 40);
    QObject::connect(txtName, &QLineEdit::textChanged, txtName,
                     [this] { RunHandler([this] { LogFilterChange(); }); });
    Memo1 = new TMemo(this);
    Memo1->setObjectName("Memo1");
    Memo1->setGeometry(662, 522, 314, 245);
    // The radio log gets a line per frame while logging is on: a ride of hours keeps the
    // latest lines only, so that memory stays flat.
    Memo1->SetMaxLines(RadioLogMaxLines);

    // Trainer commands.
    txtTotalDistance = NewEdit(this, "txtTotalDistance", "", 324, 428, 80);
    Button7 = NewButton(this, "Button7", "Set total distance", 408, 427, 130, 23, on(&TForm1::Button7Click));
    Button5 = NewButton(this, "Button5", "Save total distance", 324, 454, 130, 23, on(&TForm1::Button5Click));
    Button6 = NewButton(this, "Button6", "Read total distance", 458, 454, 130, 23, on(&TForm1::Button6Click));
    lblTotalDistance = NewLabel(this, "lblTotalDistance", "***********", 592, 458, 60);
    txtEventPerTurns = NewEdit(this, "txtEventPerTurns", "2", 324, 482, 40);
    Button61 = NewButton(this, "Button61", "setEventsPerTurn", 368, 481, 130, 23, on(&TForm1::Button61Click));
}

void TForm1::FormCreate() {
    static const char* const trainerCells[][2] = {
        {"Version (0x01)", "1"},
        {"Serial 1 LSB(0x02)", "0"},
        {"Serial 2 MSB(0x03)", "15"},
        {"Calibration P1_1 (0x04)", "27"},
        {"Calibration P1_2 (0x05)", "1"},
        {"Calibration P2_1 (0x06)", "30"},
        {"Calibration P2_2 (0x07)", "1"},
        {"Calibration P3_1 (0x08)", "48"},
        {"Calibration P3_2 (0x09)", "0"},
        {"Calibration V1 (0x0A)", "234"},
        {"Calibration V2 (0x0B)", "20"},
        {"Calibration V3 (0x0C)", "30"},
        {"Calibration B1 (0x0D)", "40"},
        {"Calibration B2 (0x0E)", "100"},
        {"Calibration B3 (0x0F)", "60"},
        {"Unit Type (0x10)", "0"},
        {"Production Date 1 (0x11)", "9"},
        {"Production Date 2 (0x12)", "03"},
        {"Production Date 3 (0x13)", "05"},
        {"Roll diameter mm(0x14)", "12"},
        {"Roll diameter mm/100(0x15)", "40"},
        {"Total Distance 1 LSB(0x16)", "0"},
        {"Total Distance 2 (0x17)", "0"},
        {"Total Distance 3 MSB(0x18)", "0"},
        {"Event Per turns (0x19)", "25"},
        {"Tx Power (0x1A)", ""},
        {"Tx channel (0x1B)", "71"},
        {"Spe&Cad Tx Chan (0x1C)", "57"},
        {"Zero Position (0x1D)", "2"},
        {"Excursion (0x1E)", "77"},
        {"Turning Dir (0x1F)", "0"},
    };
    static const char* const consoleCells[][2] = {
        {"Version (0x01)", "06"},          {"Serial D.N. 1 (0x02)", "1"},
        {"Serial D.N. 2 (0x03)", "2"},     {"Console Type (0x04)", "3"},
        {"Production Date(0x05)", "09"},   {"Production Date (0x06)", "27"},
        {"Production Date (0x07)", "07"},  {"Plus Sensibility (0x08)", "12"},
        {"Minus Sensibility (0x09)", "7"}, {"Enter Sensibility (0x0A)", "8"},
        {"Tab Sensibility (0x0B)", "9"},   {"T.D.N Lsb(0x0C)", "0"},
        {"T.D.N Msb(0x0D)", "0"},          {"Tx Power (0x0E)", "3"},
        {"Tx Channel PC (0xF)", "70"},     {"TX Channel TR (0x10)", "71"},
    };
    for (int r = 0; r < int(std::size(trainerCells)); ++r) {
        GridEprom->SetCells(0, r, trainerCells[r][0]);
        GridEprom->SetCells(1, r, trainerCells[r][1]);
    }
    for (int r = 0; r < int(std::size(consoleCells)); ++r) {
        GridConsole->SetCells(0, r, consoleCells[r][0]);
        GridConsole->SetCells(1, r, consoleCells[r][1]);
    }
    Cmb_Address->setCurrentIndex(0);
    TreviaDeviceANT1->OnConsoleKeydown = [this](TObject* s, TConsoleKey k) {
        TreviaDeviceANT1OnConsoleKeydown(s, k);
    };
    TreviaDeviceANT1->OnErrorDonglenotFound = [this](TObject* s) { DongleNotFound(s); };
    for (QLabel* l : {Label31, Label32, Label33, Label34, Label35, Label36, Label37, Label38, Label39})
        SetCaption(l, "0");
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (EndsProgramOnClose) Application()->Terminate();
    event->accept();
}

// ---------------------------------------------------------------- connection

void TForm1::Button1Click() {
    TTreviaDeviceANT* d = TreviaDeviceANT1.get();
    d->SetDebugMemo(&Memo1->Lines());
    if (!chkNaw->isChecked()) {
        d->SetRecieverType(ulmVexa);
        d->SetChannelConsole(StrToByte(Text(txtChannelConsole)));
        d->SetChannelTrainer(StrToByte(Text(txtChannelTrainer)));
        d->SetChannelSpeedCadence(StrToByte(Text(txtChannelSdeCa)));
    } else {
        d->SetRecieverType(ulmNAW);
    }
    d->OnConsoleConnection = [this](TObject* s) { ConsoleConnection(s); };
    d->Connect(txtTDN->Value(), 0, txtCSN->Value());
    ShowMessage(d->Connected() ? "Connesso" : "NON Connesso !!");
    d->SetRollDiameter(txtRoller->Value());
    d->SeteventPerTurn(2);
    d->SetPower(0);
    d->SetRiderWeight(50);
}

void TForm1::Button2Click() {
    TreviaDeviceANT1->Disconnect();
}

void TForm1::Button9Click() {
    TTreviaDeviceANT* d = TreviaDeviceANT1.get();
    auto show = [](QLabel* l, int32_t number, bool connected) {
        SetCaption(l, IntToStr(number) + (connected ? " -conn-" : ""));
    };
    show(lblDeviceHR, d->DeviceHrNumber(), d->ConnectedHr());
    show(lblDeviceTrainer, d->DeviceTrainerNumber(), d->ConnectedTrainer());
    show(lblKeyboard, d->DeviceNumberKeyboard(), d->ConnectedKeyboard());
}

// ---------------------------------------------------------------- ride and settings

void TForm1::Button62Click() {
    TreviaDeviceANT1->Start();
}
void TForm1::btn5Click() {
    TreviaDeviceANT1->Stop();
}
void TForm1::btn6Click() {
    TreviaDeviceANT1->Pause();
}
void TForm1::chkCardioClick() {
    TreviaDeviceANT1->SetHeartEnabled(chkCardio->isChecked());
}
void TForm1::chkConsoleClick() {
    TreviaDeviceANT1->SetEnableConsole(chkConsole->isChecked());
}
void TForm1::chkMilesClick() {
    TreviaDeviceANT1->SetUOM(chkMiles->isChecked() ? umMiles : umKm);
}
void TForm1::chkVirtualSpeedClick() {
    TreviaDeviceANT1->SetVirtualSpeedEnabled(chkVirtualSpeed->isChecked());
}
void TForm1::SetSlopeClick() {
    TreviaDeviceANT1->SetCurrentSlope(StrToFloat(Text(TxtSlope)));
}
void TForm1::Button4Click() {
    TreviaDeviceANT1->SetTreviaResistance(TxtTreviaResistance->Value());
}
void TForm1::Button58Click() {
    TreviaDeviceANT1->SetPower(StrToInt(Text(txtPowerNaw)));
}
void TForm1::Button61Click() {
    TreviaDeviceANT1->SeteventPerTurn(StrToByte(Text(txtEventPerTurns)));
}

// ---------------------------------------------------------------- commands

void TForm1::Button5Click() {
    TreviaDeviceANT1->TrainerCommand4();
}
void TForm1::Button6Click() {
    SetCaption(lblTotalDistance, UIntToStr(TreviaDeviceANT1->RequestDistance()));
}
void TForm1::Button7Click() {
    if (Text(txtTotalDistance).empty()) {
        ShowMessage("Put a value in the box!");
        return;
    }
    const int32_t v = StrToInt(Text(txtTotalDistance));
    // The distance is a 24-bit field.
    if (v < 0 || v >= (1 << 24)) throw EConvertError(Format("'%d' does not fit the total distance", v));
    TreviaDeviceANT1->TrainerCommand8(static_cast<uint32_t>(v));
}
void TForm1::cmdSleepClick() {
    TreviaDeviceANT1->ConsoleCommand8();
}
void TForm1::CheckBox1Click() {
    TreviaDeviceANT1->ConsoleCommand9(CheckBox1->isChecked());
}

void TForm1::HoldKey(QPushButton* key) {
    key->setEnabled(false);
    Application()->Delay(500);
    key->setEnabled(true);
}
void TForm1::cmdUpClick() {
    HoldKey(cmdUp);
}
void TForm1::cmdDownClick() {
    HoldKey(cmdDown);
}
void TForm1::cmdEnterClick() {
    HoldKey(cmdEnter);
}
void TForm1::cmdTabClick() {
    HoldKey(cmdTab);
}

// ---------------------------------------------------------------- radio log and pairing

void TForm1::chkTXClick() {
    TreviaDeviceANT1->SetLogEnabled(chkTX->isChecked());
}
void TForm1::chkRXClick() {
    TreviaDeviceANT1->SetRawLogEnabled(chkRX->isChecked());
}
void TForm1::LogFilterChange() {
    TreviaDeviceANT1->SetLogFilter(chkChannel->isChecked(), StrToInt(Text(txtName)));
}
void TForm1::btn1Click() {
    TreviaDeviceANT1->ReopenHrChannel();
}
void TForm1::btn2Click() {
    TreviaDeviceANT1->PairConsole();
}
void TForm1::btn3Click() {
    if (LifetimeForm) LifetimeForm->show();
}
void TForm1::btn4Click() {
    LoadDeviceSettings(TreviaDeviceANT1.get(), mpclbrtn1.get());
}

// ---------------------------------------------------------------- device events

void TForm1::TreviaDeviceANT1Stats(TObject* /*Sender*/) {
    TTreviaDeviceANT* d = TreviaDeviceANT1.get();
    SetCaption(Label1, IntToStr(d->GetCadence()));
    SetCaption(Label2, FloatToStr(d->GetSpeed()));
    SetCaption(Label6, IntToStr(d->GetHeartRate()));
    SetCaption(Label20, IntToStr(d->GetPower()));
    SetCaption(lbl2, FloatToStr(d->GetDistance()));
    SetCaption(Label31, UIntToStr(d->GetHrBeatTime()));
    SetCaption(Label32, UIntToStr(d->GetHrBeatCount()));
    SetCaption(Label33, UIntToStr(d->GetHrOperatingTime()));
    SetCaption(Label34, UIntToStr(d->GetHrManufacturerId()));
    SetCaption(Label35, UIntToStr(d->GetHrSerialNumber()));
    SetCaption(Label36, UIntToStr(d->GetHrHardwareVersion()));
    SetCaption(Label37, UIntToStr(d->GetHrSoftwareVersion()));
    SetCaption(Label38, UIntToStr(d->GetHrModelNumber()));
    SetCaption(Label39, UIntToStr(d->GetHrPreviousBeatTime()));
    if (d->GetSpeed() == 0) SetCaption(Label41, IntToStr(StrToInt(Caption(Label41)) + 1));
    TStrings& lines = mmo1->Lines();
    lines.Clear();
    lines.Add(Format("Calorie: %d ", d->GetCalories()));
    lines.Add(Format("Max Cadence: %d ", d->GetMaxCadence()));
    lines.Add(Format("Avg Cadence: %d ", d->GetAvgCadence()));
    lines.Add(Format("VirtualSpeed: %f", d->VirtualSpeed()));
    lines.Add(Format("Real Speed: %f", d->RealSpeed()));
    lines.Add(Format("Quality: %d", d->GetLinkQuality()));
}

void TForm1::TreviaDeviceANT1Disconnected(TObject* /*Sender*/) {
    TreviaDeviceANT1->Stop();
    ShowMessage("Disconnesso!!!");
}

void TForm1::TreviaDeviceANT1OnConsoleKeydown(TObject* /*Sender*/, TConsoleKey key) {
    static const char* const names[] = {"ckPlus", "ckMinus", "ckEnter", "ckTab"};
    QPushButton* buttons[] = {cmdUp, cmdDown, cmdEnter, cmdTab};
    if (key < ckPlus || key > ckTab) return;
    Memo1->Lines().Add(names[key]);
    Click(buttons[key]);
}

void TForm1::ConsoleConnection(TObject* /*Sender*/) {
    ShowMessage("console connessa!!");
}

void TForm1::DongleNotFound(TObject* /*Sender*/) {
    MessageBox("Usb dongle not found! Check it and restart the software.", Application()->Title(),
               MB_OK | MB_ICONERROR);
}
