#pragma once
// The trainer component: owns the one ANT link while connected, turns the link's raw
// values into live and ride values once per statistics tick, and offers the console the
// connection, ride, resistance, command, EPROM, logging and pairing operations. A 100 ms
// poll timer turns link flags into connection notices and console key events.
#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "device/DeviceStats.h"
#include "device/QorDeviceBaseClasses.h"
#include "platform/rtl/Classes.h"

class ulma_ANT;
class TTimer;
class TMapCalibration;
class TResistanceMap;

class TTreviaDeviceANT : public TQorCustomDevice {
public:
    explicit TTreviaDeviceANT(TComponent* AOwner);
    ~TTreviaDeviceANT() override;

    // The link of the process (nullptr while none exists).
    static ulma_ANT* Link();

    // --- Connection ---
    // Opens the stick (USB 0..7), sets the channels up and waits up to 40 s for the trainer.
    bool Connect(int32_t TrainerDeviceNumber, int32_t HrDeviceNumber, int32_t ConsoleDeviceNumber);
    bool Disconnect() override;
    bool Connected() const { return FConnectedANT; }
    bool ConnectedTrainer() const;
    bool ConnectedHr() const;
    bool ConnectedKeyboard() const;
    bool OutOfRange() const;
    int32_t GetLinkQuality() const;
    void ReopenHrChannel();
    void PairConsole();

    // --- Ride ---
    bool Start() override;
    bool Stop() override;
    bool Pause() override;
    void DoStats() override;

    // --- Resistance and road ---
    int32_t TreviaResistance() const { return FTreviaResistance; }
    void SetTreviaResistance(int32_t v);
    int32_t InitialResistance() const { return FInitialResistance; }
    void SetInitialResistance(int32_t v);
    int32_t TreviaElevation() const { return FTreviaElevation; }
    void SetTreviaElevation(int32_t v);
    bool SecurityActive() const { return FSecurityActive; }
    void SetSecurityActive(bool v) { FSecurityActive = v; }
    double HighPowerReduceCoefficient() const { return FHighPowerReduceCoefficient; }
    // Stores on change; values below the minimum become the minimum.
    void SetHighPowerReduceCoefficient(double v);
    bool HighPowerReduceEnable() const { return FHighPowerReduceEnable; }
    void SetHighPowerReduceEnable(bool v) { FHighPowerReduceEnable = v; }
    double HighPowerReduceStartSpeed() const { return FHighPowerReduceStartSpeed; }
    void SetHighPowerReduceStartSpeed(double v) { FHighPowerReduceStartSpeed = v; }
    double HighPowerReduceCoefficientMinimum() const { return FHighPowerReduceCoefficientMinimum; }
    void SetHighPowerReduceCoefficientMinimum(double v) { FHighPowerReduceCoefficientMinimum = v; }
    int32_t ResistanceLatency() const { return FResistanceLatency; }
    void SetResistanceLatency(int32_t v) { FResistanceLatency = v < 0 ? 0 : v; }
    double ResistanceReducer() const { return FResistanceReducer; }
    void SetResistanceReducer(double v) { FResistanceReducer = v; }
    long double CurrentSlope() const { return FCurrentSlope; }
    void SetCurrentSlope(long double v) { FCurrentSlope = v; }
    int32_t CurrentElevation() const { return FCurrentElevation; }
    void SetCurrentElevation(int32_t v) { FCurrentElevation = v; }
    long double ResistanceMapAdapter() const { return FResistanceMapAdapter; }
    void SetResistanceMapAdapter(long double v) {
        if (v != FResistanceMapAdapter) FResistanceMapAdapter = v;
    }
    TResistanceMap* ResistanceMap() const { return FResistanceMap; }
    void SetResistanceMap(TResistanceMap* v);
    TMapCalibration* MapCalibration() const { return FMapCalibration; }
    void SetMapCalibration(TMapCalibration* v);

    // --- Statistics settings and state ---
    int32_t HrArrayLength() const { return FHrArrayLength; }
    void SetHrArrayLength(int32_t v) { FHrArrayLength = v; }
    int32_t CadenceArrayLength() const { return FCadenceArrayLength; }
    void SetCadenceArrayLength(int32_t v);
    int32_t SpeedArrayLength() const { return FSpeedArrayLength; }
    void SetSpeedArrayLength(int32_t v) { FSpeedArrayLength = v; }
    bool HeartEnabled() const { return FHeartEnabled; }
    void SetHeartEnabled(bool v) { FHeartEnabled = v; }
    bool HeartConnectionActive() const { return FHeartConnectionActive; }
    void SetHeartConnectionActive(bool v) { FHeartConnectionActive = v; }
    int32_t PrecisionSpeed() const { return FPrecisionSpeed; }
    void SetPrecisionSpeed(int32_t v) { FPrecisionSpeed = v; }
    int32_t PrecisionDistance() const { return FPrecisionDistance; }
    void SetPrecisionDistance(int32_t v) { FPrecisionDistance = v; }
    double Tolerance() const { return FTolerance; }
    void SetTolerance(double v) { FTolerance = v; }
    long double RealSpeed() const { return FRealSpeed; }
    void SetRealSpeed(long double v) { FRealSpeed = v; }
    int32_t Time() const { return FTime; }
    void SetTime(int32_t v) { FTime = v; }
    uint32_t TimeElapsed() const { return FTimerStats->NominalElapsed(); }
    bool VirtualSpeedEnabled() const { return FVirtualSpeedEnabled; }
    // Turning it off clears the virtual-speed state.
    void SetVirtualSpeedEnabled(bool v);
    double VirtualSpeedAttenuation() const { return FVirtualSpeedAttenuation; }
    void SetVirtualSpeedAttenuation(double v) { FVirtualSpeedAttenuation = v; }
    double VirtualSpeed() const { return FVirtualSpeed; }
    double VirtualDistance() const { return FVirtualDistance; }
    double AttritionForce() const { return FAttritionForce; }
    double GravityForce() const { return FGravityForce; }
    double PedalingForce() const { return FPedalingForce; }
    long double InstantSpeed() const { return FInstantSpeed; }
    void SetInstantSpeed(long double v) { FInstantSpeed = v; }
    long double Energy() const { return FEnergy; }

    // Power model: W needed to ride at `speed` on `slope` percent.
    double ComputeForces(double speed, double slope);
    void ComputeVirtualSpeed(double RealSpeedValue);
    void ResetVirtualSpeed();
    void ApplyHighPowerReduce();

    // --- Stored-only settings ---
    const std::string& Version() const { return GetVersion(); }
    virtual const std::string& GetVersion() const;
    virtual void SetVersion(const std::string& v);
    double TreviaVersion() const { return 0; }
    int32_t IDConsole() const { return 0; }
    double Calibration() const { return FCalibration; }
    void SetCalibration(double v) { FCalibration = v; }
    int32_t NumberOfSearch() const { return FNumberOfSearch; }
    void SetNumberOfSearch(int32_t v) { FNumberOfSearch = v; }
    double UnitType() const { return FUnitType; }
    void SetUnitType(double v) {
        if (v != FUnitType) FUnitType = v;
    }

    // --- Link settings ---
    TUlmaRecieverType RecieverType() const { return FRecieverType; }
    void SetRecieverType(TUlmaRecieverType v) { FRecieverType = v; }
    long double RollDiameter() const { return FRollDiameter; }
    void SetRollDiameter(long double v);
    uint8_t eventPerTurn() const;
    void SeteventPerTurn(uint8_t v);
    int32_t DeviceTrainerNumber() const;
    void SetDeviceTrainerNumber(int32_t v);
    int32_t DeviceHrNumber() const;
    void SetDeviceHrNumber(int32_t v);
    int32_t DeviceNumberKeyboard() const;
    void SetDeviceNumberKeyboard(int32_t v);
    bool EnableConsole() const { return FEnableConsole; }
    void SetEnableConsole(bool v) { FEnableConsole = v; }
    const std::string& MsgUsbDongleNotFound() const { return FMsgUsbDongleNotFound; }
    virtual void SetMsgUsbDongleNotFound(const std::string& v);
    uint8_t ChannelConsole() const { return FChannelConsole; }
    void SetChannelConsole(uint8_t v) { FChannelConsole = v; }
    uint8_t ChannelTrainer() const { return FChannelTrainer; }
    void SetChannelTrainer(uint8_t v) { FChannelTrainer = v; }
    uint8_t ChannelSpeedCadence() const { return FChannelSpeedCadence; }
    void SetChannelSpeedCadence(uint8_t v) { FChannelSpeedCadence = v; }
    TStrings* DebugMemo() const { return FDebugMemo; }
    void SetDebugMemo(TStrings* v) { FDebugMemo = v; }
    TStrings* DebugRaw() const { return FDebugRaw; }
    void SetDebugRaw(TStrings* v) { FDebugRaw = v; }

    // --- Logging ---
    void SetLogFilter(bool Enabled, int32_t Channel);
    void SetLogEnabled(bool On);
    void SetRawLogEnabled(bool On);

    // --- Commands and EPROM ---
    bool ConsoleCommand8();
    bool ConsoleCommand9(bool Flag);
    uint32_t RequestDistance();
    bool TrainerCommand4();
    bool TrainerCommand8(uint32_t Value);
    bool ReadConsoleEprom(uint16_t Address, uint8_t Length);
    bool WriteConsoleEprom(uint16_t Address, uint8_t Length, uint8_t D0, uint8_t D1, uint8_t D2, uint8_t D3);
    bool ReadTrainerEprom(uint16_t Address, uint8_t Length);
    bool WriteTrainerEprom(uint16_t Address, uint8_t Length, uint8_t D0, uint8_t D1, uint8_t D2, uint8_t D3);
    uint16_t GetConsoleEpromWord(int32_t i) const;
    uint16_t GetTrainerEpromWord(int32_t i) const;

    // --- Heart-rate strap ---
    uint32_t GetHrBeatTime() const;
    uint32_t GetHrBeatCount() const;
    uint32_t GetHrOperatingTime() const;
    uint32_t GetHrManufacturerId() const;
    uint32_t GetHrSerialNumber() const;
    uint32_t GetHrHardwareVersion() const;
    uint32_t GetHrSoftwareVersion() const;
    uint32_t GetHrModelNumber() const;
    uint32_t GetHrPreviousBeatTime() const;

    // Does nothing (kept for stored forms).
    void TTimerButtons(TObject* Sender) { (void)Sender; }

    // --- Events of this component ---
    TNotifyEvent OnVersionChange;
    TNotifyEvent OnConnectionRecover;
    TNotifyEvent OnErrorDonglenotFound;
    TNotifyEvent OnHeartConnection;
    TNotifyEvent OnConsoleConnection;
    TConsoleKeyDownEvent OnConsoleKeydown;
    TNotifyEvent OnDisconnected;
    TAlarmEvent OnAlarmHeart;

    const TUlmaAverage& HrAverage() const { return FHrAverage; }
    const TUlmaAverage& CadenceAverage() const { return FCadenceAverage; }
    const TUlmaAverage& SpeedAverage() const { return FSpeedAverage; }
    TTimer* PollTimer() const { return FPollTimer.get(); }

protected:
    virtual void DoAlarmHeart(int32_t PercentDelta, bool isHigherLimit, bool AbortedByComponent,
                              bool& doStop);
    void DoDisconnected() override;
    void Notification(TComponent* AComponent, TOperation Operation) override;

private:
    // The link this component created, while it still exists.
    ulma_ANT* OwnLink() const;
    void ResetValues();
    void CreatePollTimer();
    void PollTick();
    // Stores the strap state; going absent zeroes heart rate and its average.
    void UpdateHeartConnection(bool Active);
    void HeartRateCheck(ulma_ANT* link);
    // Body weight plus the bike allowance of the unit system.
    double MassWithBike();
    // 0..255 with the two reserved codes moved down.
    static int32_t ClampResistance(int32_t v);

    TUlmaAverage FHrAverage, FCadenceAverage, FSpeedAverage;
    std::unique_ptr<TTimer> FPollTimer;
    bool FHeartNoticeGiven = false, FConsoleNoticeGiven = false;
    std::array<int32_t, 4> FKeyCount{};
    int32_t FDeviceTrainerNumber = 0, FDeviceHrNumber = 0, FDeviceNumberKeyboard = 0;

    bool FConnectedANT = false;
    TUlmaRecieverType FRecieverType = ulmVexa;
    long double FRollDiameter = 0;
    uint8_t FEventPerTurn = 1;
    bool FEnableConsole = true;
    std::string FMsgUsbDongleNotFound;
    uint8_t FChannelConsole = 70, FChannelTrainer = 71, FChannelSpeedCadence = 57;
    TStrings* FDebugMemo = nullptr;
    TStrings* FDebugRaw = nullptr;

    int32_t FHrArrayLength = 5, FCadenceArrayLength = 1, FSpeedArrayLength = 3;
    bool FHeartEnabled = true, FHeartConnectionActive = true;
    int32_t FTreviaResistance = 0, FInitialResistance = 0, FTreviaElevation = 0;
    bool FSecurityActive = false;
    double FHighPowerReduceCoefficient = 1.0;
    bool FHighPowerReduceEnable = false;
    double FHighPowerReduceStartSpeed = 7.0, FHighPowerReduceCoefficientMinimum = 0.25;
    int32_t FResistanceLatency = 0;
    double FResistanceReducer = 1.0;
    long double FCurrentSlope = 0;
    int32_t FCurrentElevation = 0;
    int32_t FPrecisionSpeed = 8, FPrecisionDistance = 8;
    double FTolerance = 2.0;
    long double FRealSpeed = 0, FInstantSpeed = 0;
    long double FResistanceMapAdapter = 1.0;
    TResistanceMap* FResistanceMap = nullptr;
    TMapCalibration* FMapCalibration = nullptr;
    double FCalibration = 1.0;
    int32_t FNumberOfSearch = 1;
    double FUnitType = 0;

    // Statistics step state.
    int32_t FTime = 0, FCadenceSum = 0, FHrCount = 0, FHrSum = 0, FAuxSum = 0;
    long double FEnergy = 0;
    bool FVirtualSpeedEnabled = false;
    double FVirtualSpeedAttenuation = 1.0;
    double FVirtualSpeed = 0, FPrevVirtualSpeed = 0, FVirtualDistance = 0;
    double FAttritionForce = 0, FGravityForce = 0, FPedalingForce = 0, FNetForce = 0;
};
