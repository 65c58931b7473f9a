// The main window's parameter-memory tools: the raw grids of trainer and console, one
// Read and one Set button per named field (logged to Memo1) and the two dumps (to mmo1).
#include <functional>

#include "console/TreviaAntUtils.h"
#include "console/Unit1.h"
#include "platform/framework/Dialogs.h"
#include "platform/rtl/DateFormat.h"
#include "platform/rtl/SysUtils.h"

namespace {

using TReader = std::function<std::string(TTreviaDeviceANT*)>;
using TWriter = std::function<void(TForm1*)>;

struct TFieldButtons {
    const char *ReadName, *ReadCaption, *ReadLabel;
    const char *SetName, *SetCaption, *SetLabel;
    TReader Read;
    TWriter Set;
};

template <class R>
TReader IntReader(R (*read)(TTreviaDeviceANT*)) {
    return [read](TTreviaDeviceANT* d) { return IntToStr(read(d)); };
}
TReader FloatReader(long double (*read)(TTreviaDeviceANT*)) {
    return [read](TTreviaDeviceANT* d) { return FloatToStr(read(d)); };
}
TReader DateReader(TDateTime (*read)(TTreviaDeviceANT*)) {
    return [read](TTreviaDeviceANT* d) { return DateToStr(read(d)); };
}

// Writes the integer of txtValue, then logs the set label and the box's text.
TWriter IntWriter(bool (*write)(TTreviaDeviceANT*, int32_t), const char* label) {
    return [write, label](TForm1* f) {
        write(f->TreviaDeviceANT1.get(), f->txtValue->Value());
        f->Memo1->Lines().Add(label + Text(f->txtValue));
    };
}
// Writes today's date.
TWriter DateWriter(bool (*write)(TTreviaDeviceANT*, TDateTime), const char* label) {
    return [write, label](TForm1* f) {
        const TDateTime today = Date();
        write(f->TreviaDeviceANT1.get(), today);
        f->Memo1->Lines().Add(label + DateToStr(today));
    };
}

const std::vector<TFieldButtons>& Fields() {
    static const std::vector<TFieldButtons> fields = {
        // Trainer.
        {"Button10", "Read Trainer Fw Version", "-Trainer Firmware Version:", "Button11",
         "Set Trainer Fw Version", "-Set Trainer Firmware Value: ", IntReader(ReadTrainerFwVersion),
         IntWriter(WriteTrainerFwVersion, "-Set Trainer Firmware Value: ")},
        {"Button12", "Read Trainer Device Number", "-Trainer Device Number: ", "Button13",
         "Set Trainer Device Number", "-Set Trainer Device Number: ", IntReader(ReadTrainerDeviceNumber),
         IntWriter(WriteTrainerDeviceNumber, "-Set Trainer Device Number: ")},
        {"Button15", "Read Calibration P1", "-Calibration P1: ", "Button14", "Set Calibration P1",
         "-Set Calibration P1: ", IntReader(ReadCalibrationP1),
         IntWriter(WriteCalibrationP1, "-Set Calibration P1: ")},
        {"Button16", "Read Calibration P2", "-Calibration P2: ", "Button17", "Set Calibration P2",
         "-Set Calibration P2: ", IntReader(ReadCalibrationP2),
         IntWriter(WriteCalibrationP2, "-Set Calibration P2: ")},
        {"Button18", "Read Calibration P3", "-Calibration P3: ", "Button19", "Set Calibration P3",
         "-Set Calibration P3: ", IntReader(ReadCalibrationP3),
         IntWriter(WriteCalibrationP3, "-Set Calibration P3: ")},
        {"Button21", "Read Calibration V1", "-Calibration V1: ", "Button20", "Set Calibration V1",
         "-Set Calibration V1: ", IntReader(ReadCalibrationV1),
         IntWriter(WriteCalibrationV1, "-Set Calibration V1: ")},
        {"Button23", "Read Calibration V2", "-Calibration V2: ", "Button22", "Set Calibration V2",
         "-Set Calibration V2: ", IntReader(ReadCalibrationV2),
         IntWriter(WriteCalibrationV2, "-Set Calibration V2: ")},
        {"Button24", "Read Calibration V3", "-Calibration V3: ", "Button25", "set Calibration V3",
         "-Set Calibration V3: ", IntReader(ReadCalibrationV3),
         IntWriter(WriteCalibrationV3, "-Set Calibration V3: ")},
        {"Button26", "Read Calibration B1", "-Calibration B1: ", "Button27", "set Calibration B1",
         "-Set Calibration B1: ", IntReader(ReadCalibrationB1),
         IntWriter(WriteCalibrationB1, "-Set Calibration B1: ")},
        {"Button29", "Read Calibration B2", "-Calibration B2: ", "Button28", "set Calibration B2",
         "-Set Calibration B2: ", IntReader(ReadCalibrationB2),
         IntWriter(WriteCalibrationB2, "-Set Calibration B2: ")},
        {"Button30", "Read Calibration B3", "-Calibration B3: ", "Button31", "set Calibration B3",
         "-Set Calibration B3: ", IntReader(ReadCalibrationB3),
         IntWriter(WriteCalibrationB3, "-Set Calibration B3: ")},
        {"Button33", "Read Unit Type", "-Unit Type: ", "Button32", "set Unit Type",
         "-Set Unit Type: ", IntReader(ReadUnitType), IntWriter(WriteUnitType, "-Set Unit Type: ")},
        {"Button34", "Read Production Date", "-Unit Production Date: ", "Button35", "set Production Date",
         "-Set Unit Production Date: ", DateReader(ReadProductionDate),
         DateWriter(WriteProductionDate, "-Set Unit Production Date: ")},
        {"Button36", "Read  Roll Diameter", "-Roll Diameter: ", "Button37", "set Roll Diameter",
         "-Set Roll Diameter: ", FloatReader(ReadRollDiameter),
         [](TForm1* f) {
             // The hundredths typed go out as thousandths; the field map stores them as hundredths.
             const int32_t hundredths = StrToInt(Text(f->txtDecimal));
             WriteRollDiameter(f->TreviaDeviceANT1.get(), f->txtValue->Value() + hundredths / 1000.0L);
             f->Memo1->Lines().Add("-Set Roll Diameter: " + Text(f->txtValue) + "," + Text(f->txtDecimal));
         }},
        {"Button38", "Read Total Distance", "-Total Distance: ", "Button39", "set Total Distance", "",
         FloatReader(ReadTotalDistance),
         [](TForm1* f) {
             WriteTotalDistance(f->TreviaDeviceANT1.get(), f->txtValue->Value());
             f->Memo1->Lines().Add(Text(f->txtValue));
         }},
        {"Button59", "Read Event per Turns", "-Event per Turn : ", "Button60", "set Event per Turns",
         "-Set Event per Turn: ", IntReader(ReadEventPerTurns),
         IntWriter(WriteEventPerTurns, "-Set Event per Turn: ")},
        // Console.
        {"Button40", "Read Console Fw Version", "-Console Firmware Value: ", "Button41",
         "Set Console Fw Version", "-Set Console Firmware Value: ", IntReader(ReadConsoleFwVersion),
         IntWriter(WriteConsoleFwVersion, "-Set Console Firmware Value: ")},
        {"Button42", "Read Device Number", "-Console Device Number: ", "Button43", "Set Device Number",
         "-Set Console Serial Number: ", IntReader(ReadConsoleDeviceNumber),
         IntWriter(WriteConsoleDeviceNumber, "-Set Console Serial Number: ")},
        {"Button47", "Read Console type", "-Console Type: ", "Button46", "Set Console Type",
         "-Set Console Type : ", IntReader(ReadConsoleType),
         IntWriter(WriteConsoleType, "-Set Console Type : ")},
        {"Button45", "Read Console Production Date", "-Console Production Date: ", "Button44",
         "Set Console Production Date",
         "-Set Console Production Date: ", DateReader(ReadConsoleProductionDate),
         DateWriter(WriteConsoleProductionDate, "-Set Console Production Date: ")},
        {"Button48", "Console Plus Sensibility", "-Console Plus Sensibility: ", "Button49",
         "Set Console Plus Sensibility", "-Set Sensibility Plus: ", IntReader(ReadConsolePlusSensibility),
         IntWriter(WriteConsolePlusSensibility, "-Set Sensibility Plus: ")},
        {"Button50", "Console Minus Sensibility", "-Console Minus Sensibility: ", "Button51",
         "Set Console Minus Sensibility", "-Set Sensibility Minus: ", IntReader(ReadConsoleMinusSensibility),
         IntWriter(WriteConsoleMinusSensibility, "-Set Sensibility Minus: ")},
        {"Button52", "Console Enter Sensibility", "-Console Enter Sensibility: ", "Button53",
         "Set Console Enter Sensibility", "-Set Sensibility Enter: ", IntReader(ReadConsoleEnterSensibility),
         IntWriter(WriteConsoleEnterSensibility, "-Set Sensibility Enter: ")},
        {"Button54", "Console Tab Sensibility", "-Console Tab Sensibility: ", "Button55",
         "Set Console Tab Sensibility", "-Set Sensibility Tab: ", IntReader(ReadConsoleTabSensibility),
         IntWriter(WriteConsoleTabSensibility, "-Set Sensibility Tab: ")},
        {"Button56", "Console Trainer DeviceNumber", "-Console T.D.N.: ", "Button57", "Set Console T.D.N.",
         "-Set Console Trainer Device Number: ", IntReader(ReadConsoleTrainerDeviceNumber),
         IntWriter(WriteConsoleTrainerDeviceNumber, "-Set Console Trainer Device Number: ")},
    };
    return fields;
}

constexpr int TrainerFields = 16;
// The console dump reads the device number before the firmware version.
constexpr int ConsoleDumpOrder[] = {17, 16, 18, 19, 20, 21, 22, 23, 24};

QComboBox* NewAddressCombo(QWidget* parent, const char* name, int items, int x, int y) {
    auto* c = new QComboBox(parent);
    c->setObjectName(name);
    c->setEditable(true);
    for (int i = 1; i <= items; ++i) c->addItem(QString::asprintf("%02d", i));
    c->setGeometry(x, y, 52, 22);
    return c;
}

// A cell's value as one data byte; anything else is refused before a request goes out.
uint8_t CellByte(const TStringGrid* grid, int row) {
    const int32_t v = StrToInt(grid->Cells(1, row));
    if (v < 0 || v > 255) throw EConvertError(Format("'%d' is not a valid byte value", v));
    return static_cast<uint8_t>(v);
}

uint16_t AddressOf(const QComboBox* c) {
    const int32_t a = StrToInt(Text(c));
    if (a < 0 || a > 0xFFFF) throw EConvertError(Format("'%d' is not a valid address", a));
    return static_cast<uint16_t>(a);
}

}  // namespace

void TForm1::CreateEpromControls() {
    auto on = [this](void (TForm1::*h)()) { return [this, h] { (this->*h)(); }; };

    GridEprom = new TStringGrid(this, 2, 40);
    GridEprom->setObjectName("GridEprom");
    GridEprom->setGeometry(662, 8, 314, 238);
    GridEprom->setColumnWidth(0, 140);
    Cmb_Address = NewAddressCombo(this, "Cmb_Address", 12, 662, 250);
    Edt_NumByte = NewSpinEdit(this, "Edt_NumByte", 1, 4, 1, 718, 250, 44);
    btn_ReadEprom =
        NewButton(this, "btn_ReadEprom", "Read Eprom", 768, 249, 100, 23, on(&TForm1::btn_ReadEpromClick));
    btn_WriteEprom =
        NewButton(this, "btn_WriteEprom", "Write Eprom", 874, 249, 100, 23, on(&TForm1::btn_WriteEpromClick));

    GridConsole = new TStringGrid(this, 2, 16);
    GridConsole->setObjectName("GridConsole");
    GridConsole->setGeometry(662, 278, 314, 184);
    GridConsole->setColumnWidth(0, 140);
    ComboAddressConsole = NewAddressCombo(this, "ComboAddressConsole", 14, 662, 466);
    edt_numByteConsole = NewSpinEdit(this, "edt_numByteConsole", 1, 4, 1, 718, 466, 44);
    Button3 = NewButton(this, "Button3", "Read eprom", 768, 465, 100, 23, on(&TForm1::Button3Click));
    Button8 = NewButton(this, "Button8", "Write eprom", 874, 465, 100, 23, on(&TForm1::Button8Click));

    txtValue = NewSpinEdit(this, "txtValue", 0, 0, 0, 662, 494, 100);
    txtDecimal = NewEdit(this, "txtDecimal", "0", 768, 494, 50, 22);

    // Field buttons: two fields a row, four columns.
    const auto& fields = Fields();
    for (size_t i = 0; i < fields.size(); ++i) {
        const TFieldButtons& fb = fields[i];
        const int row = static_cast<int>(i) / 2, pair = static_cast<int>(i) % 2;
        const int x = 8 + pair * 324, y = 522 + row * 19;
        const TReader read = fb.Read;
        const char* label = fb.ReadLabel;
        FFieldButtons.push_back(
            NewButton(this, fb.ReadName, fb.ReadCaption, x, y, 160, 18,
                      [this, read, label] { Memo1->Lines().Add(label + read(TreviaDeviceANT1.get())); }));
        const TWriter set = fb.Set;
        FFieldButtons.push_back(
            NewButton(this, fb.SetName, fb.SetCaption, x + 162, y, 160, 18, [this, set] { set(this); }));
    }
}

QPushButton* TForm1::FieldButton(const std::string& name) const {
    for (QPushButton* b : FFieldButtons)
        if (b->objectName() == QString::fromStdString(name)) return b;
    return nullptr;
}

// ---------------------------------------------------------------- raw access

void TForm1::RawRead(TStringGrid* grid, QComboBox* address, TSpinEdit* count, bool trainer) {
    const uint16_t a = AddressOf(address);
    const uint8_t n = static_cast<uint8_t>(count->Value());
    TTreviaDeviceANT* d = TreviaDeviceANT1.get();
    const bool done = trainer ? d->ReadTrainerEprom(a, n) : d->ReadConsoleEprom(a, n);
    if (done)
        for (int k = 0; k < n; ++k)
            grid->SetCells(1, a - 1 + k,
                           IntToStr(trainer ? d->GetTrainerEpromWord(k) : d->GetConsoleEpromWord(k)));
    if (trainer) ShowMessage(done ? "Eprom Read Succefully" : "Eprom Read Failed");
}

void TForm1::RawWrite(TStringGrid* grid, QComboBox* address, TSpinEdit* count, bool trainer) {
    const uint16_t a = AddressOf(address);
    const uint8_t n = static_cast<uint8_t>(count->Value());
    uint8_t data[4] = {0, 0, 0, 0};
    for (int k = 0; k < n && k < 4; ++k) data[k] = CellByte(grid, a - 1 + k);
    TTreviaDeviceANT* d = TreviaDeviceANT1.get();
    const bool done = trainer ? d->WriteTrainerEprom(a, n, data[0], data[1], data[2], data[3])
                              : d->WriteConsoleEprom(a, n, data[0], data[1], data[2], data[3]);
    ShowMessage(done ? "Scrittura esegita!" : "Scrittura non eseguita!");
}

void TForm1::btn_ReadEpromClick() {
    RawRead(GridEprom, Cmb_Address, Edt_NumByte, true);
}
void TForm1::btn_WriteEpromClick() {
    RawWrite(GridEprom, Cmb_Address, Edt_NumByte, true);
}
void TForm1::Button3Click() {
    RawRead(GridConsole, ComboAddressConsole, edt_numByteConsole, false);
}
void TForm1::Button8Click() {
    RawWrite(GridConsole, ComboAddressConsole, edt_numByteConsole, false);
}

// ---------------------------------------------------------------- dumps

void TForm1::Button64Click() {
    const auto& fields = Fields();
    for (int i = 0; i < TrainerFields; ++i)
        mmo1->Lines().Add(fields[i].ReadLabel + fields[i].Read(TreviaDeviceANT1.get()));
}

void TForm1::Button63Click() {
    const auto& fields = Fields();
    for (int i : ConsoleDumpOrder)
        mmo1->Lines().Add(fields[i].ReadLabel + fields[i].Read(TreviaDeviceANT1.get()));
}
