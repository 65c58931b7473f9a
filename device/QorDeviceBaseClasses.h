#pragma once
// Base of the device components: rider data, live and ride values of one training ride,
// heart-rate limits, the ride state and the statistics timer whose tick runs the
// statistics step. Descendants add the radio and override the step and the ride operations.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "device/QorDeviceTypes.h"
#include "device/QorTimerU.h"
#include "platform/framework/Component.h"
#include "platform/rtl/Graphics.h"
#include "platform/rtl/System.h"
#include "platform/rtl/Thread.h"

enum TUnitMeasure : uint8_t { umKm = 0, umMiles = 1 };

// Ride state. Only 0, 4, 5 and 6 are ever set; 1 to 3 belong to the range.
enum TCompetitorState : uint8_t {
    cstNone = 0,
    cstReserved1 = 1,
    cstReserved2 = 2,
    cstReserved3 = 3,
    cstRunning = 4,
    cstPaused = 5,
    cstStopped = 6,
};

using TAlarmEvent = std::function<void(TObject* Sender, int32_t PercentDelta, bool isHigherLimit,
                                       bool AbortedByComponent, bool& doStop)>;
using TBeforeStopEvent = std::function<void(TObject* Sender, bool& CanContinue)>;
using TCompetitorStateChangedEvent = std::function<void(TObject* Sender, TCompetitorState OldCompetitorState,
                                                        TCompetitorState NewCompetitorState)>;
using TConsoleKeyDownEvent = std::function<void(TObject* Sender, TConsoleKey key)>;

class TQorCustomDevice : public TComponent {
public:
    explicit TQorCustomDevice(TComponent* AOwner);
    ~TQorCustomDevice() override;

    // Copies the rider name from another device; anything else goes to the default.
    void Assign(TPersistent* Source) override;

    // --- Rider data ---
    const std::string& RiderName() const { return FRiderName; }
    virtual void SetRiderName(const std::string& v);
    int32_t RiderId() const { return FRiderId; }
    virtual void SetRiderId(int32_t v);
    const std::string& LastName() const { return FLastName; }
    virtual void SetLastName(const std::string& v);
    const std::string& FirstName() const { return FFirstName; }
    virtual void SetFirstName(const std::string& v);
    double BirthDate() const { return FBirthDate; }
    virtual void SetBirthDate(double v);
    int32_t RiderWeight() const { return FRiderWeight; }
    virtual void SetRiderWeight(int32_t v);
    TUnitMeasure UOM() const { return FUOM; }
    virtual void SetUOM(TUnitMeasure v);
    TPicture* Photo() const { return FPhoto.get(); }
    virtual void SetPhoto(TPicture* v);
    TColor Color() const { return FColor; }
    virtual void SetColor(TColor v);
    double BikeWeight() const { return FBikeWeight; }
    void SetBikeWeight(double v) { FBikeWeight = v; }

    // --- Live and ride values ---
    virtual double GetSpeed();
    virtual void SetSpeed(double v);
    double GetDistance() const { return FDistance; }
    virtual void SetDistance(double v);
    virtual int32_t GetCadence();
    virtual void SetCadence(int32_t v);
    virtual int32_t GetHeartRate();
    virtual void SetHeartRate(int32_t v);
    virtual int32_t GetPower();
    virtual void SetPower(int32_t v);
    virtual int32_t GetMaxCadence();
    virtual void SetMaxCadence(int32_t v);
    virtual int32_t GetMaxHeartRate();
    virtual void SetMaxHeartRate(int32_t v);
    virtual int32_t GetAvgCadence();
    virtual void SetAvgCadence(int32_t v);
    virtual int32_t GetAvgHeartRate();
    virtual void SetAvgHeartRate(int32_t v);
    virtual double GetAvgSpeed();
    virtual void SetAvgSpeed(double v);
    virtual int32_t GetCalories();
    virtual void SetCalories(int32_t v);
    double MaxSpeed() const { return FMaxSpeed; }
    virtual void SetMaxSpeed(double v);
    int32_t MaxPower() const { return FMaxPower; }
    virtual void SetMaxPower(int32_t v);

    // --- Auxiliary values kept for descendants ---
    virtual int32_t GetAuxValue();
    virtual void SetAuxValue(int32_t v);
    virtual int32_t GetAuxAverage();
    virtual void SetAuxAverage(int32_t v);
    virtual int32_t GetAuxInteger();
    virtual void SetAuxInteger(int32_t v);
    int32_t AuxIndex() const { return FAuxIndex; }
    virtual void SetAuxIndex(int32_t v);
    virtual bool IsAuxFlagSet();
    virtual bool GetCourseFlagA();
    virtual void SetCourseFlagA(bool v);
    virtual bool GetCourseFlagB();
    virtual void SetCourseFlagB(bool v);

    uint8_t DeviceType() const { return FDeviceType; }
    virtual void SetDeviceType(uint8_t v);
    virtual bool GetConnected();

    double DistanceToPerform() const { return FDistanceToPerform; }
    virtual void SetDistanceToPerform(double v);

    // --- Heart-rate limits ---
    int32_t HeartMaxLimit() const { return FHeartMaxLimit; }
    virtual void SetHeartMaxLimit(int32_t v);
    int32_t HeartUpperLimit() const { return FHeartUpperLimit; }
    virtual void SetHeartUpperLimit(int32_t v);
    int32_t HeartLowerLimit() const { return FHeartLowerLimit; }
    virtual void SetHeartLowerLimit(int32_t v);
    // At design time values beyond 210 / 35 / 220 are replaced by the bound (with a beep).
    int32_t AlarmHeartHighLimit() const { return FAlarmHeartHighLimit; }
    virtual void SetAlarmHeartHighLimit(int32_t v);
    int32_t AlarmHeartLowLimit() const { return FAlarmHeartLowLimit; }
    virtual void SetAlarmHeartLowLimit(int32_t v);
    int32_t AlarmHeartMaxLimit() const { return FAlarmHeartMaxLimit; }
    virtual void SetAlarmHeartMaxLimit(int32_t v);

    virtual bool GetSimulationMode();
    virtual void SetSimulationMode(bool v);
    bool SimulationMode() { return GetSimulationMode(); }

    uint32_t TimeToleranceMs() const { return FTimeToleranceMs; }
    virtual void SetTimeToleranceMs(uint32_t v);
    // True when A - B (modulo 2^32) is not above TimeToleranceMs.
    virtual bool IsWithinTolerance(uint32_t A, uint32_t B);

    // --- Statistics timer ---
    virtual void SetTimerStatsEnabled(bool v);
    virtual bool GetTimerStatsEnabled();
    virtual void SetTimerStatsInterval(uint32_t v);
    virtual uint32_t GetTimerStatsInterval();
    virtual void SetTimerStatsThreadPriority(TThreadPriority v);
    virtual TThreadPriority GetTimerStatsThreadPriority();
    TQorTimer* StatsTimer() const { return FTimerStats; }

    // --- Ride state ---
    virtual TCompetitorState GetCompetitorState();
    virtual void SetCompetitorState(TCompetitorState New);
    virtual bool Start();
    virtual bool Stop();
    virtual bool Pause();
    virtual bool Connect();
    virtual bool Disconnect();
    // Sets speed, distance, heart rate and cadence; `Extra` is not used.
    virtual void SetLiveValues(int32_t HeartRate, int32_t Cadence, double Speed, double Distance,
                               int32_t Extra);

    // The statistics step; the base only fires OnStats.
    virtual void DoStats();

    // --- Events ---
    TNotifyEvent OnConnected;
    TNotifyEvent OnDisconnected;
    TNotifyEvent OnConnectionLost;
    TNotifyEvent OnCourseFinished;
    TNotifyEvent OnAfterStop;
    TAlarmEvent OnAlarmHeart;
    TCompetitorStateChangedEvent OnCompetitorStateChanged;
    TNotifyEvent OnBeforePause;
    TNotifyEvent OnBeforeStart;
    TBeforeStopEvent OnBeforeStop;
    TNotifyEvent OnHeartConnectionLost;
    TNotifyEvent OnStats;
    TNotifyEvent OnHeartCriticalValue;

protected:
    virtual void DoConnected();
    virtual void DoDisconnected();
    virtual void DoConnectionLost();
    virtual void DoCourseFinished();
    virtual void DoAfterStop();
    virtual void DoBeforePause();
    virtual void DoBeforeStart();
    virtual void DoBeforeStop(bool& CanContinue);
    virtual void DoHeartConnectionLost();
    virtual void DoCompetitorStateChanged(TCompetitorState OldState, TCompetitorState NewState);
    virtual void DoHeartCriticalValue();

    // Binds the statistics timer's tick to the (overridden) statistics step.
    void BindStatsTimer();
    // Clears the ride values before a stopped ride starts again.
    void ResetRideValues();

    TQorTimer* FTimerStats = nullptr;
    bool FConnected = false;
    TCompetitorState FCompetitorState = cstNone;

private:
    std::string FRiderName, FLastName, FFirstName;
    int32_t FRiderId = -1;
    double FBirthDate = 0;
    int32_t FRiderWeight = 0;
    TUnitMeasure FUOM = umKm;
    std::unique_ptr<TPicture> FPhoto;
    TColor FColor = 0;
    double FBikeWeight = 10;

    double FSpeed = 0, FDistance = 0, FAvgSpeed = 0, FMaxSpeed = 0;
    int32_t FCadence = 0, FHeartRate = 0, FPower = 0;
    int32_t FAvgCadence = 0, FAvgHeartRate = 0, FMaxCadence = 0, FMaxHeartRate = 0, FMaxPower = 0;
    int32_t FCalories = 0;
    int32_t FAuxValue = 0, FAuxAverage = 0, FAuxInteger = 0, FAuxIndex = 0;
    bool FCourseFlagA = false, FCourseFlagB = false;
    uint8_t FDeviceType = 0;
    double FDistanceToPerform = 0;
    int32_t FHeartMaxLimit = 220, FHeartUpperLimit = 0, FHeartLowerLimit = 0;
    int32_t FAlarmHeartHighLimit = 210, FAlarmHeartLowLimit = 35, FAlarmHeartMaxLimit = 220;
    bool FSimulationMode = false;
    uint32_t FTimeToleranceMs = 100;
};
