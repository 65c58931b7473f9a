// The main window's parameter-memory tools: the raw grids of trainer and console, one
// Read and one Set button per named field (logged to Memo1) and the two dumps (to mmo1).
#include <functional>

#include "console/TreviaAntUtils.h"
#include "console/Unit1.h"
#include "platform/framework/Dialogs.h"
#include "platform/rtl/DateFormat.h"
#include "platform/rtl/SysUtils.h"

namespace {

// What one field's two buttons do: Read gives the value as text; Set writes from the
// form's boxes and gives the text logged after the set label.
struct TFieldOps {
    std::function<std::string(TTreviaDeviceANT*)> Read;
    std::function<std::string(TForm1*)> Set;
};

struct TFieldButtons {
    const char *ReadName, *ReadCaption, *ReadLabel;
    const char *SetName, *SetCaption, *SetLabel;
    TFieldOps Ops;
};

// An integer field: the Set button writes the integer of txtValue and logs its text.
template <class R>
TFieldOps IntField(R (*read)(TTreviaDeviceANT*), bool (*write)(TTreviaDeviceANT*, int32_t)) {
    return {[read](TTreviaDeviceANT* d) { return IntToStr(read(d)); },
            [write](TForm1* f) {
                write(f->TreviaDeviceANT1.get(), f->txtValue->Value());
                return Text(f->txtValue);
            }};
}

// A date field: the Set button writes today's date.
TFieldOps DateField(TDateTime (*read)(TTreviaDeviceANT*), bool (*write)(TTreviaDeviceANT*, TDateTime)) {
    return {[read](TTreviaDeviceANT* d) { return DateToStr(read(d)); },
            [write](TForm1* f) {
                const TDateTime today = Date();
                write(f->TreviaDeviceANT1.get(), today);
                return DateToStr(today);
            }};
}

// The roll diameter: the hundredths typed go out as thousandths (the field map stores
// them as hundredths); logged as "mm,hundredths".
TFieldOps RollDiameterField() {
    return {[](TTreviaDeviceANT* d) { return FloatToStr(ReadRollDiameter(d)); },
            [](TForm1* f) {
                const int32_t hundredths = StrToInt(Text(f->txtDecimal));
                WriteRollDiameter(f->TreviaDeviceANT1.get(), f->txtValue->Value() + hundredths / 1000.0L);
                return Text(f->txtValue) + "," + Text(f->txtDecimal);
            }};
}

// The total distance reads as a floating-point value; its set line is the box's text alone.
TFieldOps TotalDistanceField() {
    return {[](TTreviaDeviceANT* d) { return FloatToStr(ReadTotalDistance(d)); },
            [](TForm1* f) {
                WriteTotalDistance(f->TreviaDeviceANT1.get(), f->txtValue->Value());
                return Text(f->txtValue);
            }};
}

const std::vector<TFieldButtons>& Fields() {
    static const std::vector<TFieldButtons> fields = {
        // Trainer.
        {"Button10", "Read Trainer Fw Version", "-Trainer Firmware Version:", "Button11",
         "Set Trainer Fw Version",
         "-Set Trainer Firmware Value: ", IntField(ReadTrainerFwVersion, WriteTrainerFwVersion)},
        {"Button12", "Read Trainer Device Number", "-Trainer Device Number: ", "Button13",
         "Set Trainer Device Number",
         "-Set Trainer Device Number: ", IntField(ReadTrainerDeviceNumber, WriteTrainerDeviceNumber)},
        {"Button15", "Read Calibration P1", "-Calibration P1: ", "Button14", "Set Calibration P1",
         "-Set Calibration P1: ", IntField(ReadCalibrationP1, WriteCalibrationP1)},
        {"Button16", "Read Calibration P2", "-Calibration P2: ", "Button17", "Set Calibration P2",
         "-Set Calibration P2: ", IntField(ReadCalibrationP2, WriteCalibrationP2)},
        {"Button18", "Read Calibration P3", "-Calibration P3: ", "Button19", "Set Calibration P3",
         "-Set Calibration P3: ", IntField(ReadCalibrationP3, WriteCalibrationP3)},
        {"Button21", "Read Calibration V1", "-Calibration V1: ", "Button20", "Set Calibration V1",
         "-Set Calibration V1: ", IntField(ReadCalibrationV1, WriteCalibrationV1)},
        {"Button23", "Read Calibration V2", "-Calibration V2: ", "Button22", "Set Calibration V2",
         "-Set Calibration V2: ", IntField(ReadCalibrationV2, WriteCalibrationV2)},
        {"Button24", "Read Calibration V3", "-Calibration V3: ", "Button25", "set Calibration V3",
         "-Set Calibration V3: ", IntField(ReadCalibrationV3, WriteCalibrationV3)},
        {"Button26", "Read Calibration B1", "-Calibration B1: ", "Button27", "set Calibration B1",
         "-Set Calibration B1: ", IntField(ReadCalibrationB1, WriteCalibrationB1)},
        {"Button29", "Read Calibration B2", "-Calibration B2: ", "Button28", "set Calibration B2",
         "-Set Calibration B2: ", IntField(ReadCalibrationB2, WriteCalibrationB2)},
        {"Button30", "Read Calibration B3", "-Calibration B3: ", "Button31", "set Calibration B3",
         "-Set Calibration B3: ", IntField(ReadCalibrationB3, WriteCalibrationB3)},
        {"Button33", "Read Unit Type", "-Unit Type: ", "Button32", "set Unit Type",
         "-Set Unit Type: ", IntField(ReadUnitType, WriteUnitType)},
        {"Button34", "Read Production Date", "-Unit Production Date: ", "Button35", "set Production Date",
         "-Set Unit Production Date: ", DateField(ReadProductionDate, WriteProductionDate)},
        {"Button36", "Read  Roll Diameter", "-Roll Diameter: ", "Button37", "set Roll Diameter",
         "-Set Roll Diameter: ", RollDiameterField()},
        {"Button38", "Read Total Distance", "-Total Distance: ", "Button39", "set Total Distance", "",
         TotalDistanceField()},
        {"Button59", "Read Event per Turns", "-Event per Turn : ", "Button60", "set Event per Turns",
         "-Set Event per Turn: ", IntField(ReadEventPerTurns, WriteEventPerTurns)},
        // Console.
        {"Button40", "Read Console Fw Version", "-Console Firmware Value: ", "Button41",
         "Set Console Fw Version",
         "-Set Console Firmware Value: ", IntField(ReadConsoleFwVersion, WriteConsoleFwVersion)},
        {"Button42", "Read Device Number", "-Console Device Number: ", "Button43", "Set Device Number",
         "-Set Console Serial Number: ", IntField(ReadConsoleDeviceNumber, WriteConsoleDeviceNumber)},
        {"Button47", "Read Console type", "-Console Type: ", "Button46", "Set Console Type",
         "-Set Console Type : ", IntField(ReadConsoleType, WriteConsoleType)},
        {"Button45", "Read Console Production Date", "-Console Production Date: ", "Button44",
         "Set Console Production Date",
         "-Set Console Production Date: ", DateField(ReadConsoleProductionDate, WriteConsoleProductionDate)},
        {"Button48", "Console Plus Sensibility", "-Console Plus Sensibility: ", "Button49",
         "Set Console Plus Sensibility",
         "-Set Sensibility Plus: ", IntField(ReadConsolePlusSensibility, WriteConsolePlusSensibility)},
        {"Button50", "Console Minus Sensibility", "-Console Minus Sensibility: ", "Button51",
         "Set Console Minus Sensibility",
         "-Set Sensibility Minus: ", IntField(ReadConsoleMinusSensibility, WriteConsoleMinusSensibility)},
        {"Button52", "Console Enter Sensibility", "-Console Enter Sensibility: ", "Button53",
         "Set Console Enter Sensibility",
         "-Set Sensibility Enter: ", IntField(ReadConsoleEnterSensibility, WriteConsoleEnterSensibility)},
        {"Button54", "Console Tab Sensibility", "-Console Tab Sensibility: ", "Button55",
         "Set Console Tab Sensibility",
         "-Set Sensibility Tab: ", IntField(ReadConsoleTabSensibility, WriteConsoleTabSensibility)},
        {"Button56", "Console Trainer DeviceNumber", "-Console T.D.N.: ", "Button57", "Set Console T.D.N.",
         "-Set Console Trainer Device Number: ",
         IntField(ReadConsoleTrainerDeviceNumber, WriteConsoleTrainerDeviceNumber)},
    };
    return fields;
}

// The dumps, by the fields' Read buttons, in the order they are listed.
const char* const TrainerDump[] = {"Button10", "Button12", "Button15", "Button16", "Button18", "Button21",
                                   "Button23", "Button24", "Button26", "Button29", "Button30", "Button33",
                                   "Button34", "Button36", "Button38", "Button59"};
const char* const ConsoleDump[] = {"Button42", "Button40", "Button47", "Button45", "Button48",
                                   "Button50", "Button52", "Button54", "Button56"};

const TFieldButtons& FieldByReadName(const std::string& name) {
    for (const TFieldButtons& f : Fields())
        if (name == f.ReadName) return f;
    throw Exception("No field button " + name);
}

QComboBox* NewAddressCombo(QWidget* parent, const char* name, int items, int x, int y) {
    auto* c = new QComboBox(parent);
    c->setObjectName(name);
    c->setEditable(true);
    for (int i = 1; i <= items; ++i) c->addItem(QString::asprintf("%02d", i));
    c->setGeometry(x, y, 52, 22);
    return c;
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
        FFieldButtons.push_back(NewButton(this, fb.ReadName, fb.ReadCaption, x, y, 160, 18, [this, &fb] {
            Memo1->Lines().Add(fb.ReadLabel + fb.Ops.Read(TreviaDeviceANT1.get()));
        }));
        FFieldButtons.push_back(NewButton(this, fb.SetName, fb.SetCaption, x + 162, y, 160, 18, [this, &fb] {
            Memo1->Lines().Add(fb.SetLabel + fb.Ops.Set(this));
        }));
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
    for (int k = 0; k < n && k < 4; ++k) data[k] = StrToByte(grid->Cells(1, a - 1 + k));
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

void TForm1::DumpFields(const char* const* names, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const TFieldButtons& f = FieldByReadName(names[i]);
        mmo1->Lines().Add(f.ReadLabel + f.Ops.Read(TreviaDeviceANT1.get()));
    }
}

void TForm1::Button64Click() {
    DumpFields(TrainerDump, std::size(TrainerDump));
}

void TForm1::Button63Click() {
    DumpFields(ConsoleDump, std::size(ConsoleDump));
}
