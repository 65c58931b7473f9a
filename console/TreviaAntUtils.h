#pragma once
// Named fields of the trainer's and the console's parameter memory (EPROM): one read and
// one write per field, turning values into the memory's bytes and back, plus the loader
// of the console's stored settings.
//
// Reads raise ERdEPROM when the device's read fails (no link, no reply). Writes refuse a
// value that does not fit its field with EConvertError before anything is sent, and
// return the device's write result.
#include <array>
#include <cstdint>
#include <string>

#include "device/MapCalibrationU.h"
#include "device/TreviaDeviceANT.h"
#include "platform/rtl/DateTime.h"

// Settings key under HKEY_CURRENT_USER and the prefix of its value names.
extern const char* const TreviaAntSettingsKey;
extern const char* const TreviaAntSettingsPrefix;

namespace TreviaAntUtils {

// Encodings, exposed for the console's own checks and the tests.
// Little-endian bytes of `Value` in a field of `Length` (1..4) bytes; raises EConvertError
// naming `Field` when the value is negative or too large for the field.
std::array<uint8_t, 4> EncodeUnsigned(int64_t Value, int Length, const std::string& Field);
// Day, month, year - 2000 (years 2000..2255).
std::array<uint8_t, 3> EncodeEpromDate(TDateTime Date);
TDateTime DecodeEpromDate(uint16_t Day, uint16_t Month, uint16_t YearByte);
// Whole millimetres and the fractional part x 1000, rounded (the console writes the
// hundredths typed as thousandths); both must fit a byte.
std::array<uint8_t, 2> EncodeRollDiameter(long double Value);
long double DecodeRollDiameter(uint16_t Whole, uint16_t Hundredths);

}  // namespace TreviaAntUtils

// Trainer EPROM.
uint16_t ReadTrainerFwVersion(TTreviaDeviceANT* Device);
bool WriteTrainerFwVersion(TTreviaDeviceANT* Device, int32_t Value);
int32_t ReadTrainerDeviceNumber(TTreviaDeviceANT* Device);
bool WriteTrainerDeviceNumber(TTreviaDeviceANT* Device, int32_t Value);
int32_t ReadCalibrationP1(TTreviaDeviceANT* Device);
bool WriteCalibrationP1(TTreviaDeviceANT* Device, int32_t Value);
int32_t ReadCalibrationP2(TTreviaDeviceANT* Device);
bool WriteCalibrationP2(TTreviaDeviceANT* Device, int32_t Value);
int32_t ReadCalibrationP3(TTreviaDeviceANT* Device);
bool WriteCalibrationP3(TTreviaDeviceANT* Device, int32_t Value);
uint16_t ReadCalibrationV1(TTreviaDeviceANT* Device);
bool WriteCalibrationV1(TTreviaDeviceANT* Device, int32_t Value);
uint16_t ReadCalibrationV2(TTreviaDeviceANT* Device);
bool WriteCalibrationV2(TTreviaDeviceANT* Device, int32_t Value);
uint16_t ReadCalibrationV3(TTreviaDeviceANT* Device);
bool WriteCalibrationV3(TTreviaDeviceANT* Device, int32_t Value);
uint16_t ReadCalibrationB1(TTreviaDeviceANT* Device);
bool WriteCalibrationB1(TTreviaDeviceANT* Device, int32_t Value);
uint16_t ReadCalibrationB2(TTreviaDeviceANT* Device);
bool WriteCalibrationB2(TTreviaDeviceANT* Device, int32_t Value);
uint16_t ReadCalibrationB3(TTreviaDeviceANT* Device);
bool WriteCalibrationB3(TTreviaDeviceANT* Device, int32_t Value);
uint16_t ReadUnitType(TTreviaDeviceANT* Device);
bool WriteUnitType(TTreviaDeviceANT* Device, int32_t Value);
TDateTime ReadProductionDate(TTreviaDeviceANT* Device);
bool WriteProductionDate(TTreviaDeviceANT* Device, TDateTime Value);
long double ReadRollDiameter(TTreviaDeviceANT* Device);
bool WriteRollDiameter(TTreviaDeviceANT* Device, long double Value);
long double ReadTotalDistance(TTreviaDeviceANT* Device);
bool WriteTotalDistance(TTreviaDeviceANT* Device, int32_t Value);
int32_t ReadEventPerTurns(TTreviaDeviceANT* Device);
bool WriteEventPerTurns(TTreviaDeviceANT* Device, int32_t Value);

// Console EPROM.
uint16_t ReadConsoleFwVersion(TTreviaDeviceANT* Device);
bool WriteConsoleFwVersion(TTreviaDeviceANT* Device, int32_t Value);
int32_t ReadConsoleDeviceNumber(TTreviaDeviceANT* Device);
bool WriteConsoleDeviceNumber(TTreviaDeviceANT* Device, int32_t Value);
uint16_t ReadConsoleType(TTreviaDeviceANT* Device);
bool WriteConsoleType(TTreviaDeviceANT* Device, int32_t Value);
TDateTime ReadConsoleProductionDate(TTreviaDeviceANT* Device);
bool WriteConsoleProductionDate(TTreviaDeviceANT* Device, TDateTime Value);
uint16_t ReadConsolePlusSensibility(TTreviaDeviceANT* Device);
bool WriteConsolePlusSensibility(TTreviaDeviceANT* Device, int32_t Value);
uint16_t ReadConsoleMinusSensibility(TTreviaDeviceANT* Device);
bool WriteConsoleMinusSensibility(TTreviaDeviceANT* Device, int32_t Value);
uint16_t ReadConsoleEnterSensibility(TTreviaDeviceANT* Device);
bool WriteConsoleEnterSensibility(TTreviaDeviceANT* Device, int32_t Value);
uint16_t ReadConsoleTabSensibility(TTreviaDeviceANT* Device);
bool WriteConsoleTabSensibility(TTreviaDeviceANT* Device, int32_t Value);
int32_t ReadConsoleTrainerDeviceNumber(TTreviaDeviceANT* Device);
bool WriteConsoleTrainerDeviceNumber(TTreviaDeviceANT* Device, int32_t Value);

// Not connected: the nine calibration values into the store, UseMapCalibration on, and
// the trainer and console device numbers into the device; connected: only RollDiameter.
// False at the first missing or malformed value (what was applied before stays).
bool LoadDeviceSettings(TTreviaDeviceANT* Device, TMapCalibration* Calibration);
