// EPROM field map of trainer and console, and the console's settings loader.
#include "console/TreviaAntUtils.h"

#include "device/ulma_ant_class.h"
#include "platform/os/Registry.h"
#include "platform/rtl/ByteCodec.h"
#include "platform/rtl/Math.h"
#include "platform/rtl/SysUtils.h"

const char* const TreviaAntSettingsKey = "\\Software\\Valtura\\Vexatrevia\\TreviaDeviceVexaAnt";
const char* const TreviaAntSettingsPrefix = "VexaAntSettings_";

namespace TreviaAntUtils {

namespace {
void Refuse(const std::string& Field, const std::string& Value) {
    throw EConvertError(Format("'%s' does not fit the field %s", Value, Field));
}
}  // namespace

std::array<uint8_t, 4> EncodeUnsigned(int64_t Value, int Length, const std::string& Field) {
    const int64_t limit = int64_t(1) << (8 * Length);
    if (Value < 0 || Value >= limit) Refuse(Field, IntToStr(Value));
    // The value fits the field, so the bytes beyond it are zero.
    std::array<uint8_t, 4> b{};
    bytes::PutU32(b.data(), static_cast<uint32_t>(Value));
    return b;
}

std::array<uint8_t, 3> EncodeEpromDate(TDateTime Date) {
    int year, month, day;
    DecodeDate(Date, year, month, day);
    if (year < 2000 || year > 2255) Refuse("production date", IntToStr(year));
    return {static_cast<uint8_t>(day), static_cast<uint8_t>(month),
            static_cast<uint8_t>((year - 208) & 0xFF)};
}

TDateTime DecodeEpromDate(uint16_t Day, uint16_t Month, uint16_t YearByte) {
    return EncodeDate(YearByte + 2000, Month, Day);
}

std::array<uint8_t, 2> EncodeRollDiameter(long double Value) {
    if (!(Value >= 0) || Value >= 256) Refuse("roll diameter", FloatToStr(Value));
    const int64_t whole = Trunc(Value);
    const int64_t thousandths = Round((Value - whole) * 1000);
    if (thousandths > 255) Refuse("roll diameter", FloatToStr(Value));
    return {static_cast<uint8_t>(whole), static_cast<uint8_t>(thousandths)};
}

long double DecodeRollDiameter(uint16_t Whole, uint16_t Hundredths) {
    return Whole + Hundredths / 100.0L;
}

}  // namespace TreviaAntUtils

using namespace TreviaAntUtils;

namespace {

enum TMemory { Trainer, Console };

// Requests the range and reads the reply's bytes (one a word) as a little-endian value.
uint32_t ReadField(TTreviaDeviceANT* Device, TMemory Memory, uint16_t Address, uint8_t Length) {
    const bool done = Memory == Trainer ? Device->ReadTrainerEprom(Address, Length)
                                        : Device->ReadConsoleEprom(Address, Length);
    if (!done)
        throw ERdEPROM(Format("%s EPROM read failed (address 0x%.2X)",
                              Memory == Trainer ? "Trainer" : "Console", Address));
    std::array<uint8_t, 4> b{};
    TByteWriter w(b.data(), b.size());
    for (int k = 0; k < Length; ++k)
        w.U8(static_cast<uint8_t>(Memory == Trainer ? Device->GetTrainerEpromWord(k)
                                                    : Device->GetConsoleEpromWord(k)));
    return bytes::GetU32(b.data());
}

bool WriteBytes(TTreviaDeviceANT* Device, TMemory Memory, uint16_t Address, uint8_t Length,
                const std::array<uint8_t, 4>& b) {
    return Memory == Trainer ? Device->WriteTrainerEprom(Address, Length, b[0], b[1], b[2], b[3])
                             : Device->WriteConsoleEprom(Address, Length, b[0], b[1], b[2], b[3]);
}

bool WriteField(TTreviaDeviceANT* Device, TMemory Memory, uint16_t Address, uint8_t Length, int64_t Value,
                const char* Field) {
    return WriteBytes(Device, Memory, Address, Length, EncodeUnsigned(Value, Length, Field));
}

TDateTime ReadDate(TTreviaDeviceANT* Device, TMemory Memory, uint16_t Address) {
    ReadField(Device, Memory, Address, 3);
    auto word = [&](int k) {
        return Memory == Trainer ? Device->GetTrainerEpromWord(k) : Device->GetConsoleEpromWord(k);
    };
    return DecodeEpromDate(word(0), word(1), word(2));
}

bool WriteDate(TTreviaDeviceANT* Device, TMemory Memory, uint16_t Address, TDateTime Value) {
    const std::array<uint8_t, 3> d = EncodeEpromDate(Value);
    return WriteBytes(Device, Memory, Address, 3, {d[0], d[1], d[2], 0});
}

}  // namespace

#define EPROM_FIELD(Name, ReadType, Memory, Address, Length, Text)                \
    ReadType Read##Name(TTreviaDeviceANT* Device) {                               \
        return static_cast<ReadType>(ReadField(Device, Memory, Address, Length)); \
    }                                                                             \
    bool Write##Name(TTreviaDeviceANT* Device, int32_t Value) {                   \
        return WriteField(Device, Memory, Address, Length, Value, Text);          \
    }

EPROM_FIELD(TrainerFwVersion, uint16_t, Trainer, 0x01, 1, "trainer firmware version")
EPROM_FIELD(TrainerDeviceNumber, int32_t, Trainer, 0x02, 2, "trainer device number")
EPROM_FIELD(CalibrationP1, int32_t, Trainer, 0x04, 2, "calibration P1")
EPROM_FIELD(CalibrationP2, int32_t, Trainer, 0x06, 2, "calibration P2")
EPROM_FIELD(CalibrationP3, int32_t, Trainer, 0x08, 2, "calibration P3")
EPROM_FIELD(CalibrationV1, uint16_t, Trainer, 0x0A, 1, "calibration V1")
EPROM_FIELD(CalibrationV2, uint16_t, Trainer, 0x0B, 1, "calibration V2")
EPROM_FIELD(CalibrationV3, uint16_t, Trainer, 0x0C, 1, "calibration V3")
EPROM_FIELD(CalibrationB1, uint16_t, Trainer, 0x0D, 1, "calibration B1")
EPROM_FIELD(CalibrationB2, uint16_t, Trainer, 0x0E, 1, "calibration B2")
EPROM_FIELD(CalibrationB3, uint16_t, Trainer, 0x0F, 1, "calibration B3")
EPROM_FIELD(UnitType, uint16_t, Trainer, 0x10, 1, "unit type")
EPROM_FIELD(EventPerTurns, int32_t, Trainer, 0x19, 1, "events per turn")
EPROM_FIELD(ConsoleFwVersion, uint16_t, Console, 0x01, 1, "console firmware version")
EPROM_FIELD(ConsoleDeviceNumber, int32_t, Console, 0x02, 2, "console device number")
EPROM_FIELD(ConsoleType, uint16_t, Console, 0x04, 1, "console type")
EPROM_FIELD(ConsolePlusSensibility, uint16_t, Console, 0x08, 1, "plus-key sensibility")
EPROM_FIELD(ConsoleMinusSensibility, uint16_t, Console, 0x09, 1, "minus-key sensibility")
EPROM_FIELD(ConsoleEnterSensibility, uint16_t, Console, 0x0A, 1, "enter-key sensibility")
EPROM_FIELD(ConsoleTabSensibility, uint16_t, Console, 0x0B, 1, "tab-key sensibility")
EPROM_FIELD(ConsoleTrainerDeviceNumber, int32_t, Console, 0x0C, 2, "console trainer device number")
#undef EPROM_FIELD

TDateTime ReadProductionDate(TTreviaDeviceANT* Device) {
    return ReadDate(Device, Trainer, 0x11);
}
bool WriteProductionDate(TTreviaDeviceANT* Device, TDateTime Value) {
    return WriteDate(Device, Trainer, 0x11, Value);
}
TDateTime ReadConsoleProductionDate(TTreviaDeviceANT* Device) {
    return ReadDate(Device, Console, 0x05);
}
bool WriteConsoleProductionDate(TTreviaDeviceANT* Device, TDateTime Value) {
    return WriteDate(Device, Console, 0x05, Value);
}

long double ReadRollDiameter(TTreviaDeviceANT* Device) {
    ReadField(Device, Trainer, 0x14, 2);
    return DecodeRollDiameter(Device->GetTrainerEpromWord(0), Device->GetTrainerEpromWord(1));
}
bool WriteRollDiameter(TTreviaDeviceANT* Device, long double Value) {
    const std::array<uint8_t, 2> r = EncodeRollDiameter(Value);
    return WriteBytes(Device, Trainer, 0x14, 2, {r[0], r[1], 0, 0});
}

long double ReadTotalDistance(TTreviaDeviceANT* Device) {
    return ReadField(Device, Trainer, 0x16, 3);
}
bool WriteTotalDistance(TTreviaDeviceANT* Device, int32_t Value) {
    return WriteField(Device, Trainer, 0x16, 3, Value, "total distance");
}

bool LoadDeviceSettings(TTreviaDeviceANT* Device, TMapCalibration* Calibration) {
    try {
        TRegistry reg;
        reg.SetRootKey(HKEY_CURRENT_USER);
        reg.OpenKey(TreviaAntSettingsKey, false);
        auto text = [&](const char* name) {
            return reg.ReadString(std::string(TreviaAntSettingsPrefix) + name);
        };
        auto integer = [&](const char* name) { return StrToInt(text(name)); };
        // The radio's device numbers are 16-bit: one beyond would pair with another device
        // (cut to 16 bits) or with any (0).
        auto deviceNumber = [&](const char* name) {
            const std::string value = text(name);
            const int32_t n = StrToInt(value);
            if (n < 0 || n > 0xFFFF) throw EConvertError("'" + value + "' is not a valid device number");
            return n;
        };
        if (!Device->Connected()) {
            Calibration->SetResist1(integer("CalibrationB1"));
            Calibration->SetResist2(integer("CalibrationB2"));
            Calibration->SetResist3(integer("CalibrationB3"));
            Calibration->SetSpeed1(integer("CalibrationV1"));
            Calibration->SetSpeed2(integer("CalibrationV2"));
            Calibration->SetSpeed3(integer("CalibrationV3"));
            Calibration->SetCalibrationP1(integer("CalibrationP1"));
            Calibration->SetCalibrationP2(integer("CalibrationP2"));
            Calibration->SetCalibrationP3(integer("CalibrationP3"));
            Calibration->SetUseMapCalibration(true);
            Device->SetDeviceTrainerNumber(deviceNumber("TrainerDeviceNumber"));
            Device->SetDeviceNumberKeyboard(deviceNumber("ConsoleSerialNumber"));
        } else {
            // Whole millimetres and hundredths of one byte each are all the trainer keeps.
            const std::string value = text("RollDiameter");
            const long double diameter = StrToFloat(value);
            if (!(diameter >= 0) || diameter >= 255 + 2.56L)
                throw EConvertError("'" + value + "' is not a valid roll diameter");
            Device->SetRollDiameter(diameter);
        }
        return true;
    } catch (...) {
        return false;
    }
}
