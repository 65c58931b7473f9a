#pragma once
// A trainer's resistance map: per resistance level, the power (W) absorbed at a set of
// roller speeds (km/h), kept as tab-separated text lines and parsed into a table.
// Also the device family's exception EMQor and the field helpers the parser uses.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device/MapCalibrationU.h"
#include "platform/framework/Component.h"
#include "platform/rtl/Classes.h"
#include "platform/rtl/SysUtils.h"

// The device family's exception: a table text chosen by Code plus an extra text.
class EMQor : public Exception {
public:
    // Message: table text of ACode + " (Error code: <ACode>)" + CR LF + Extra.
    EMQor(int32_t ACode, const std::string& Extra);
    static EMQor CreateCode(int32_t ACode, const std::string& Extra) { return EMQor(ACode, Extra); }
    int32_t Code() const { return FCode; }
    void SetCode(int32_t c) { FCode = c; }

private:
    int32_t FCode;
};

// Texts of EMQor codes 0-5.
extern const char* const MQorErrorTexts[6];

// The Index-th (0-based) run of S between Separator characters; empty when S has fewer.
std::string GetField(const std::string& S, char Separator, int Index);
// Field := text of S before the first Separator; S loses it and the separator. Without a
// separator, Field := S and S becomes empty.
void CutFirstField(std::string& S, char Separator, std::string& Field);
// How many times CutFirstField runs before S is empty.
int CountFields(const std::string& S, char Separator);
std::string ReplaceChar(char From, char To, const std::string& S);

class TResistanceMap : public TComponent {
public:
    explicit TResistanceMap(TComponent* AOwner);
    ~TResistanceMap() override;

    void Assign(TPersistent* Source) override;

    // The map lines: line 0 the speeds, then one line per level, fields tab-separated.
    TStringList* Strings() const { return FStrings.get(); }
    void SetStrings(TStrings* Value);
    double TreviaVersion() const { return FTreviaVersion; }
    virtual void SetTreviaVersion(double Value);
    double ResistanceMapAdapter() const { return FResistanceMapAdapter; }
    // 0 is stored as 1.0.
    virtual void SetResistanceMapAdapter(double Value);
    int32_t ResistanceLatency() const { return FResistanceLatency; }
    virtual void SetResistanceLatency(int32_t Value);
    int32_t MinPower() const { return FMinPower; }
    virtual void SetMinPower(int32_t Value);
    int32_t MaxPower() const { return FMaxPower; }
    virtual void SetMaxPower(int32_t Value);
    TMapCalibration* MapCalibration() const { return FMapCalibration; }
    void SetMapCalibration(TMapCalibration* Value);

    // The parsed table: row 0 the speeds, rows 1.. the levels; ColCount() columns each.
    const std::vector<std::vector<double>>& Table() const { return FTable; }
    int32_t ColCount() const { return FColCount; }

    // Builds the table from the lines; a field that is not a number raises EMQor code 4
    // (the cells converted before it stay set).
    virtual void ParseStrings();
    // Scales every power cell by ResistanceMapAdapter, rounded (model 4 onward).
    virtual void ApplyAdapter();
    // MinPower/MaxPower over the power cells (model 4 onward).
    virtual void ComputePowerRange();
    // Clamps a target power to what the map gives at Speed:
    //   0 no answer (speed 0, or no usable map), Power unchanged;
    //   1 target above the top level's power (or only level 1 has a power at the
    //     upper bracket speed), Power := that level's power;
    //   2 target below the lowest level, Power := the lowest level's power;
    //   3 target inside the map's range, Power := TargetPower.
    virtual uint8_t GetPowerForSpeed(int32_t& Power, int32_t TargetPower, bool IsMiles, long double Speed);

    void DefineProperties(TFiler* Filer) override;

    TNotifyEvent OnResistanceMapLoaded;

protected:
    void AssignTo(TPersistent* Dest) override;
    void Notification(TComponent* AComponent, TOperation Operation) override;
    virtual void DoResistanceMapLoaded();
    // Fired when the lines have changed / are about to change, outside loading.
    virtual void Changed();
    virtual void Changing();

private:
    void CopyFrom(const TResistanceMap& Source);
    void StringsChange(TObject* Sender);
    void StringsChanging(TObject* Sender);
    bool StrDataHasData(TFiler* Filer) const;

    std::unique_ptr<TStringList> FStrings;
    std::vector<std::vector<double>> FTable;
    int32_t FColCount = 0;
    double FTreviaVersion = 4.0;
    double FResistanceMapAdapter = 1.0;
    int32_t FResistanceLatency = 0;
    int32_t FMinPower = 0;
    int32_t FMaxPower = 0;
    TMapCalibration* FMapCalibration = nullptr;
    TNotifyEvent FOnChange;
    TNotifyEvent FOnChanging;
};
