#pragma once
// Calibration values of one trainer model, kept in the settings store under one key
// per model below a path the owner chooses. Also the small settings-store routines
// the device components share.
#include <cstdint>
#include <string>

#include "platform/framework/Component.h"
#include "platform/os/Registry.h"

class TMapCalibration : public TComponent {
public:
    explicit TMapCalibration(TComponent* AOwner);
    ~TMapCalibration() override;
    // From another TMapCalibration: the nine calibration integers, TreviaVersion and
    // UseMapCalibration (not UseConsoleValues, not the limits).
    void Assign(TPersistent* Source) override;

    int32_t P1MaxValue() const { return FP1MaxValue; }
    int32_t P2MaxValue() const { return FP2MaxValue; }
    int32_t P3MaxValue() const { return FP3MaxValue; }
    int32_t P1MinValue() const { return FP1MinValue; }
    int32_t P2MinValue() const { return FP2MinValue; }
    int32_t P3MinValue() const { return FP3MinValue; }
    double TreviaVersion() const { return FTreviaVersion; }
    bool UseMapCalibration() const { return FUseMapCalibration; }
    bool UseConsoleValues() const { return FUseConsoleValues; }
    int32_t CalibrationP1() const { return FCalibrationP1; }
    int32_t CalibrationP2() const { return FCalibrationP2; }
    int32_t CalibrationP3() const { return FCalibrationP3; }
    int32_t Speed1() const { return FSpeed1; }
    int32_t Speed2() const { return FSpeed2; }
    int32_t Speed3() const { return FSpeed3; }
    int32_t Resist1() const { return FResist1; }
    int32_t Resist2() const { return FResist2; }
    int32_t Resist3() const { return FResist3; }

    virtual void SetCalibrationP1(int32_t Value);
    virtual void SetCalibrationP2(int32_t Value);
    virtual void SetCalibrationP3(int32_t Value);
    virtual void SetSpeed1(int32_t Value);
    virtual void SetSpeed2(int32_t Value);
    virtual void SetSpeed3(int32_t Value);
    virtual void SetResist1(int32_t Value);
    virtual void SetResist3(int32_t Value);
    virtual void SetTreviaVersion(double Value);
    virtual void SetUseMapCalibration(bool Value);
    virtual void SetUseConsoleValues(bool Value);
    virtual void SetP1MaxValue(int32_t Value);
    virtual void SetP2MaxValue(int32_t Value);
    virtual void SetP3MaxValue(int32_t Value);
    virtual void SetP1MinValue(int32_t Value);
    virtual void SetP2MinValue(int32_t Value);
    virtual void SetP3MinValue(int32_t Value);
    // Resist2 has no accessor of its own: the field is written directly.
    void SetResist2(int32_t Value) { FResist2 = Value; }

    // Both return True; failures raise (see the .cpp for the messages).
    virtual bool LoadSettings(HKEY RootKey, const std::string& Path);
    virtual bool SaveSettings(HKEY RootKey, const std::string& Path);

    // The key name of TreviaVersion ("Trevia4.5", model 10 shares "Trevia5"); raises
    // for a model without a key.
    std::string GetKeyDeviceName() const;
    // The old layout prefixes each value name with the component's name and "_".
    std::string GetValuePrefix(bool OldLayout) const;

protected:
    bool DoLoadSettings(HKEY RootKey, const std::string& Path);
    bool DoSaveSettings(HKEY RootKey, const std::string& Path);
    // One-time move of model 5's older value names to the current ones.
    void UpdateExistingOldKeysOfTrevia5(HKEY RootKey, const std::string& Path);

private:
    int32_t FP1MaxValue = 0;
    int32_t FP2MaxValue = 0;
    int32_t FP3MaxValue = 0;
    int32_t FP1MinValue = 0;
    int32_t FP2MinValue = 0;
    int32_t FP3MinValue = 0;
    double FTreviaVersion = 0;
    bool FUseMapCalibration = false;
    bool FUseConsoleValues = false;
    int32_t FCalibrationP1 = 0;
    int32_t FCalibrationP2 = 0;
    int32_t FCalibrationP3 = 0;
    int32_t FSpeed1 = 0;
    int32_t FSpeed2 = 0;
    int32_t FSpeed3 = 0;
    int32_t FResist1 = 0;
    int32_t FResist2 = 0;
    int32_t FResist3 = 0;
};

// Each routine uses its own TRegistry on RootKey.
// True when the key opens (without being created) and holds the value.
bool RegValueExists(HKEY RootKey, const std::string& Key, const std::string& ValueName);
// Deletes the value of an existing key; False when the key or the value is missing.
bool RegDeleteValue(HKEY RootKey, const std::string& Key, const std::string& ValueName);
// Writes a string value, creating the key when CanCreate; a failed write raises
// ERegistryException. Returns True.
bool RegWriteString(HKEY RootKey, const std::string& Key, const std::string& ValueName, bool CanCreate,
                    const std::string& Text);
// Text := the string value, or "0" when the key or value is missing or empty.
void RegReadStringDef0(HKEY RootKey, const std::string& Key, const std::string& ValueName, std::string& Text);
// Appends a backslash to a non-empty path that lacks one.
std::string AddBackslash(const std::string& Path);
