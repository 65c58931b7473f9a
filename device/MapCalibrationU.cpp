#include "device/MapCalibrationU.h"

#include <memory>
#include <vector>

#include "platform/rtl/SysUtils.h"

namespace {

// The 15 integer values in their stored order, then "UseMapCalibration".
struct TIntegerValue {
    const char* Name;
    int32_t (TMapCalibration::*Get)() const;
    void (TMapCalibration::*Set)(int32_t);
};

const TIntegerValue kIntegerValues[] = {
    {"CalibrationP1", &TMapCalibration::CalibrationP1, &TMapCalibration::SetCalibrationP1},
    {"CalibrationP2", &TMapCalibration::CalibrationP2, &TMapCalibration::SetCalibrationP2},
    {"CalibrationP3", &TMapCalibration::CalibrationP3, &TMapCalibration::SetCalibrationP3},
    {"Speed1", &TMapCalibration::Speed1, &TMapCalibration::SetSpeed1},
    {"Speed2", &TMapCalibration::Speed2, &TMapCalibration::SetSpeed2},
    {"Speed3", &TMapCalibration::Speed3, &TMapCalibration::SetSpeed3},
    {"Resist1", &TMapCalibration::Resist1, &TMapCalibration::SetResist1},
    {"Resist2", &TMapCalibration::Resist2, &TMapCalibration::SetResist2},
    {"Resist3", &TMapCalibration::Resist3, &TMapCalibration::SetResist3},
    {"P1MaxValue", &TMapCalibration::P1MaxValue, &TMapCalibration::SetP1MaxValue},
    {"P2MaxValue", &TMapCalibration::P2MaxValue, &TMapCalibration::SetP2MaxValue},
    {"P3MaxValue", &TMapCalibration::P3MaxValue, &TMapCalibration::SetP3MaxValue},
    {"P1MinValue", &TMapCalibration::P1MinValue, &TMapCalibration::SetP1MinValue},
    {"P2MinValue", &TMapCalibration::P2MinValue, &TMapCalibration::SetP2MinValue},
    {"P3MinValue", &TMapCalibration::P3MinValue, &TMapCalibration::SetP3MinValue},
};
const char kUseMapCalibration[] = "UseMapCalibration";

const char* BoolText(bool b) {
    return b ? "True" : "False";
}

}  // namespace

// ---------------------------------------------------------------------------------
// Settings-store routines

bool RegValueExists(HKEY RootKey, const std::string& Key, const std::string& ValueName) {
    TRegistry reg;
    reg.SetRootKey(RootKey);
    return reg.OpenKey(Key, false) && reg.ValueExists(ValueName);
}

bool RegDeleteValue(HKEY RootKey, const std::string& Key, const std::string& ValueName) {
    TRegistry reg;
    reg.SetRootKey(RootKey);
    if (!reg.OpenKey(Key, false)) return false;
    return reg.DeleteValue(ValueName);
}

bool RegWriteString(HKEY RootKey, const std::string& Key, const std::string& ValueName, bool CanCreate,
                    const std::string& Text) {
    TRegistry reg;
    reg.SetRootKey(RootKey);
    // When the key did not open, the write itself raises.
    reg.OpenKey(Key, CanCreate);
    reg.WriteString(ValueName, Text);
    return true;
}

void RegReadStringDef0(HKEY RootKey, const std::string& Key, const std::string& ValueName,
                       std::string& Text) {
    Text = "0";
    TRegistry reg;
    reg.SetRootKey(RootKey);
    if (reg.OpenKey(Key, false)) Text = reg.ReadString(ValueName);
    if (Text.empty()) Text = "0";
}

std::string AddBackslash(const std::string& Path) {
    if (Path.empty() || Path.back() == '\\') return Path;
    return Path + '\\';
}

// ---------------------------------------------------------------------------------
// TMapCalibration

TMapCalibration::TMapCalibration(TComponent* AOwner) : TComponent(AOwner) {}

TMapCalibration::~TMapCalibration() = default;

void TMapCalibration::Assign(TPersistent* Source) {
    auto* src = dynamic_cast<TMapCalibration*>(Source);
    if (!src) {
        TComponent::Assign(Source);
        return;
    }
    SetCalibrationP1(src->CalibrationP1());
    SetCalibrationP2(src->CalibrationP2());
    SetCalibrationP3(src->CalibrationP3());
    SetSpeed1(src->Speed1());
    SetSpeed2(src->Speed2());
    SetSpeed3(src->Speed3());
    SetResist1(src->Resist1());
    SetResist2(src->Resist2());
    SetResist3(src->Resist3());
    SetTreviaVersion(src->TreviaVersion());
    SetUseMapCalibration(src->UseMapCalibration());
}

void TMapCalibration::SetCalibrationP1(int32_t Value) {
    if (FCalibrationP1 != Value) FCalibrationP1 = Value;
}
void TMapCalibration::SetCalibrationP2(int32_t Value) {
    if (FCalibrationP2 != Value) FCalibrationP2 = Value;
}
void TMapCalibration::SetCalibrationP3(int32_t Value) {
    if (FCalibrationP3 != Value) FCalibrationP3 = Value;
}
void TMapCalibration::SetSpeed1(int32_t Value) {
    if (FSpeed1 != Value) FSpeed1 = Value;
}
void TMapCalibration::SetSpeed2(int32_t Value) {
    if (FSpeed2 != Value) FSpeed2 = Value;
}
void TMapCalibration::SetSpeed3(int32_t Value) {
    if (FSpeed3 != Value) FSpeed3 = Value;
}
void TMapCalibration::SetResist1(int32_t Value) {
    if (FResist1 != Value) FResist1 = Value;
}
void TMapCalibration::SetResist3(int32_t Value) {
    if (FResist3 != Value) FResist3 = Value;
}
void TMapCalibration::SetTreviaVersion(double Value) {
    if (FTreviaVersion != Value) FTreviaVersion = Value;
}
void TMapCalibration::SetUseMapCalibration(bool Value) {
    if (FUseMapCalibration != Value) FUseMapCalibration = Value;
}
void TMapCalibration::SetUseConsoleValues(bool Value) {
    if (FUseConsoleValues != Value) FUseConsoleValues = Value;
}
void TMapCalibration::SetP1MaxValue(int32_t Value) {
    if (FP1MaxValue != Value) FP1MaxValue = Value;
}
void TMapCalibration::SetP2MaxValue(int32_t Value) {
    if (FP2MaxValue != Value) FP2MaxValue = Value;
}
void TMapCalibration::SetP3MaxValue(int32_t Value) {
    if (FP3MaxValue != Value) FP3MaxValue = Value;
}
void TMapCalibration::SetP1MinValue(int32_t Value) {
    if (FP1MinValue != Value) FP1MinValue = Value;
}
void TMapCalibration::SetP2MinValue(int32_t Value) {
    if (FP2MinValue != Value) FP2MinValue = Value;
}
void TMapCalibration::SetP3MinValue(int32_t Value) {
    if (FP3MinValue != Value) FP3MinValue = Value;
}

bool TMapCalibration::LoadSettings(HKEY RootKey, const std::string& Path) {
    return DoLoadSettings(RootKey, Path);
}

bool TMapCalibration::SaveSettings(HKEY RootKey, const std::string& Path) {
    return DoSaveSettings(RootKey, Path);
}

std::string TMapCalibration::GetKeyDeviceName() const {
    static const struct {
        double Model;
        const char* Key;
    } kKeys[] = {
        {1, "Trevia1"},     {2, "Trevia2"}, {3, "Trevia3"},     {4, "Trevia4"},
        {4.5, "Trevia4.5"}, {5, "Trevia5"}, {5.5, "Trevia5.5"}, {6, "Trevia6"},
        {7, "Trevia7"},     {9, "Trevia9"}, {10, "Trevia5"},  // model 10 shares model 5's key
        {11, "Trevia11"},
    };
    for (const auto& k : kKeys)
        if (FTreviaVersion == k.Model) return k.Key;
    throw Exception(
        Format("Error in TMapCalibration.GetKeyDeviceName: No key name for %2.1f", FTreviaVersion));
}

std::string TMapCalibration::GetValuePrefix(bool OldLayout) const {
    return OldLayout ? Name() + "_" : "";
}

bool TMapCalibration::DoLoadSettings(HKEY RootKey, const std::string& Path) {
    UpdateExistingOldKeysOfTrevia5(RootKey, Path);
    // A model without a key raises here with its own message.
    std::string key = AddBackslash(Path) + GetKeyDeviceName();
    std::string prefix = GetValuePrefix(false);
    try {
        std::string text;
        for (const auto& v : kIntegerValues) {
            RegReadStringDef0(RootKey, key, prefix + v.Name, text);
            (this->*v.Set)(StrToInt(text));
        }
        RegReadStringDef0(RootKey, key, prefix + kUseMapCalibration, text);
        SetUseMapCalibration(text == "True");
    } catch (...) {
        throw Exception("Error in TMapCalibration.DoLoadSettings");
    }
    return true;
}

bool TMapCalibration::DoSaveSettings(HKEY RootKey, const std::string& Path) {
    std::string key = AddBackslash(Path) + GetKeyDeviceName();
    std::string prefix = GetValuePrefix(false);
    try {
        for (const auto& v : kIntegerValues)
            RegWriteString(RootKey, key, prefix + v.Name, true, IntToStr((this->*v.Get)()));
        RegWriteString(RootKey, key, prefix + kUseMapCalibration, true, BoolText(UseMapCalibration()));
    } catch (...) {
        throw Exception("Error in TMapCalibration.DoSaveSettings");
    }
    return true;
}

// Model 5 once stored its values as "MapCalibrationTrevia5_<name>" inside "Trevia5".
// The values already stored under the current names are kept, the old ones take
// their place where present, all 16 are written, and only then are the old names
// removed, so an interrupted or failed move loses nothing. A value that is no number
// is not moved (a current one is written as 0, as a move that rewrites the key leaves
// it): as the move runs before every load, one would stop the loads of every model.
void TMapCalibration::UpdateExistingOldKeysOfTrevia5(HKEY RootKey, const std::string& Path) {
    std::string newKey = AddBackslash(Path) + "Trevia5";
    try {
        {
            TRegistry reg;
            reg.SetRootKey(RootKey);
            if (!reg.OpenKey(newKey, false)) return;
        }
        auto old = std::make_unique<TMapCalibration>(nullptr);
        old->SetTreviaVersion(5);
        old->SetName("MapCalibrationTrevia5");

        // Reads the values present under `prefix` into `old`.
        auto readLayout = [&](const std::string& prefix) {
            std::string text;
            for (const auto& v : kIntegerValues) {
                if (!RegValueExists(RootKey, newKey, prefix + v.Name)) continue;
                RegReadStringDef0(RootKey, newKey, prefix + v.Name, text);
                int32_t n = 0;
                if (TryStrToInt(text, n)) (old.get()->*v.Set)(n);
            }
            if (RegValueExists(RootKey, newKey, prefix + kUseMapCalibration)) {
                RegReadStringDef0(RootKey, newKey, prefix + kUseMapCalibration, text);
                old->SetUseMapCalibration(text == "True");
            }
        };
        std::string oldPrefix = old->GetValuePrefix(true);
        std::vector<std::string> moved;
        for (const auto& v : kIntegerValues)
            if (RegValueExists(RootKey, newKey, oldPrefix + v.Name)) moved.push_back(v.Name);
        if (RegValueExists(RootKey, newKey, oldPrefix + kUseMapCalibration))
            moved.push_back(kUseMapCalibration);
        if (moved.empty()) return;
        // The current values first, then the old ones in their place.
        readLayout(old->GetValuePrefix(false));
        readLayout(oldPrefix);
        old->DoSaveSettings(RootKey, Path);
        for (const auto& name : moved) RegDeleteValue(RootKey, newKey, oldPrefix + name);
    } catch (...) {
        throw Exception("Error in TMapCalibration.UpdateExistingOldKeysOfTrevia5");
    }
}
