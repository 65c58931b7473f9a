#include "device/QorDeviceBaseClasses.h"

#include "platform/framework/Dialogs.h"

TQorCustomDevice::TQorCustomDevice(TComponent* AOwner) : TComponent(AOwner) {
    FTimerStats = new TQorTimer(nullptr);
    FPhoto = std::make_unique<TPicture>();
    // Every value starts at the default its member initialiser gives; the timer is bound
    // through the virtual step so a descendant's override runs.
    BindStatsTimer();
}

TQorCustomDevice::~TQorCustomDevice() {
    FTimerStats->SetEnabled(false);
    delete FTimerStats;
    FTimerStats = nullptr;
}

void TQorCustomDevice::BindStatsTimer() {
    FTimerStats->OnTimer = [this](TObject*) { DoStats(); };
}

void TQorCustomDevice::Assign(TPersistent* Source) {
    if (auto* d = dynamic_cast<TQorCustomDevice*>(Source)) {
        SetRiderName(d->RiderName());
        return;
    }
    TComponent::Assign(Source);
}

// --- store-on-change setters ---

void TQorCustomDevice::SetRiderName(const std::string& v) {
    if (v != FRiderName) FRiderName = v;
}
void TQorCustomDevice::SetRiderId(int32_t v) {
    if (v != FRiderId) FRiderId = v;
}
void TQorCustomDevice::SetLastName(const std::string& v) {
    if (v != FLastName) FLastName = v;
}
void TQorCustomDevice::SetFirstName(const std::string& v) {
    if (v != FFirstName) FFirstName = v;
}
void TQorCustomDevice::SetBirthDate(double v) {
    if (v != FBirthDate) FBirthDate = v;
}
void TQorCustomDevice::SetRiderWeight(int32_t v) {
    if (v != FRiderWeight) FRiderWeight = v;
}
void TQorCustomDevice::SetUOM(TUnitMeasure v) {
    if (v != FUOM) FUOM = v;
}
void TQorCustomDevice::SetPhoto(TPicture* v) {
    FPhoto->Assign(v);
}
void TQorCustomDevice::SetColor(TColor v) {
    if (v != FColor) FColor = v;
}

double TQorCustomDevice::GetSpeed() {
    return FSpeed;
}
void TQorCustomDevice::SetSpeed(double v) {
    if (v != FSpeed) FSpeed = v;
}
void TQorCustomDevice::SetDistance(double v) {
    if (v != FDistance) FDistance = v;
}
int32_t TQorCustomDevice::GetCadence() {
    return FCadence;
}
void TQorCustomDevice::SetCadence(int32_t v) {
    if (v != FCadence) FCadence = v;
}
int32_t TQorCustomDevice::GetHeartRate() {
    return FHeartRate;
}
void TQorCustomDevice::SetHeartRate(int32_t v) {
    if (v != FHeartRate) FHeartRate = v;
}
int32_t TQorCustomDevice::GetPower() {
    return FPower;
}
void TQorCustomDevice::SetPower(int32_t v) {
    if (v != FPower) FPower = v;
}
int32_t TQorCustomDevice::GetMaxCadence() {
    return FMaxCadence;
}
void TQorCustomDevice::SetMaxCadence(int32_t v) {
    if (v != FMaxCadence) FMaxCadence = v;
}
int32_t TQorCustomDevice::GetMaxHeartRate() {
    return FMaxHeartRate;
}
void TQorCustomDevice::SetMaxHeartRate(int32_t v) {
    if (v != FMaxHeartRate) FMaxHeartRate = v;
}
int32_t TQorCustomDevice::GetAvgCadence() {
    return FAvgCadence;
}
void TQorCustomDevice::SetAvgCadence(int32_t v) {
    if (v != FAvgCadence) FAvgCadence = v;
}
int32_t TQorCustomDevice::GetAvgHeartRate() {
    return FAvgHeartRate;
}
void TQorCustomDevice::SetAvgHeartRate(int32_t v) {
    if (v != FAvgHeartRate) FAvgHeartRate = v;
}
double TQorCustomDevice::GetAvgSpeed() {
    return FAvgSpeed;
}
void TQorCustomDevice::SetAvgSpeed(double v) {
    if (v != FAvgSpeed) FAvgSpeed = v;
}
int32_t TQorCustomDevice::GetCalories() {
    return FCalories;
}
void TQorCustomDevice::SetCalories(int32_t v) {
    if (v != FCalories) FCalories = v;
}
void TQorCustomDevice::SetMaxSpeed(double v) {
    if (v != FMaxSpeed) FMaxSpeed = v;
}
void TQorCustomDevice::SetMaxPower(int32_t v) {
    if (v != FMaxPower) FMaxPower = v;
}

int32_t TQorCustomDevice::GetAuxValue() {
    return FAuxValue;
}
void TQorCustomDevice::SetAuxValue(int32_t v) {
    if (v != FAuxValue) FAuxValue = v;
}
int32_t TQorCustomDevice::GetAuxAverage() {
    return FAuxAverage;
}
void TQorCustomDevice::SetAuxAverage(int32_t v) {
    if (v != FAuxAverage) FAuxAverage = v;
}
int32_t TQorCustomDevice::GetAuxInteger() {
    return FAuxInteger;
}
void TQorCustomDevice::SetAuxInteger(int32_t v) {
    if (v != FAuxInteger) FAuxInteger = v;
}
void TQorCustomDevice::SetAuxIndex(int32_t v) {
    if (v != FAuxIndex) FAuxIndex = v;
}
bool TQorCustomDevice::IsAuxFlagSet() {
    return false;
}
bool TQorCustomDevice::GetCourseFlagA() {
    return FCourseFlagA;
}
void TQorCustomDevice::SetCourseFlagA(bool v) {
    if (v != FCourseFlagA) FCourseFlagA = v;
}
bool TQorCustomDevice::GetCourseFlagB() {
    return FCourseFlagB;
}
void TQorCustomDevice::SetCourseFlagB(bool v) {
    if (v != FCourseFlagB) FCourseFlagB = v;
}

void TQorCustomDevice::SetDeviceType(uint8_t v) {
    if (v != FDeviceType) FDeviceType = v;
}
bool TQorCustomDevice::GetConnected() {
    return FConnected;
}
void TQorCustomDevice::SetDistanceToPerform(double v) {
    if (v != FDistanceToPerform) FDistanceToPerform = v;
}

void TQorCustomDevice::SetHeartMaxLimit(int32_t v) {
    if (v != FHeartMaxLimit) FHeartMaxLimit = v;
}
void TQorCustomDevice::SetHeartUpperLimit(int32_t v) {
    if (v != FHeartUpperLimit) FHeartUpperLimit = v;
}
void TQorCustomDevice::SetHeartLowerLimit(int32_t v) {
    if (v != FHeartLowerLimit) FHeartLowerLimit = v;
}

void TQorCustomDevice::SetAlarmHeartHighLimit(int32_t v) {
    if (v == FAlarmHeartHighLimit) return;
    if (HasState(csDesigning) && v > 210) {
        v = 210;
        MessageBeep(0);
    }
    FAlarmHeartHighLimit = v;
}
void TQorCustomDevice::SetAlarmHeartLowLimit(int32_t v) {
    if (v == FAlarmHeartLowLimit) return;
    if (HasState(csDesigning) && v < 35) {
        v = 35;
        MessageBeep(0);
    }
    FAlarmHeartLowLimit = v;
}
void TQorCustomDevice::SetAlarmHeartMaxLimit(int32_t v) {
    if (v == FAlarmHeartMaxLimit) return;
    if (HasState(csDesigning) && v > 220) {
        v = 220;
        MessageBeep(0);
    }
    FAlarmHeartMaxLimit = v;
}

bool TQorCustomDevice::GetSimulationMode() {
    return FSimulationMode;
}
void TQorCustomDevice::SetSimulationMode(bool v) {
    FSimulationMode = v;
}

void TQorCustomDevice::SetTimeToleranceMs(uint32_t v) {
    if (v != FTimeToleranceMs) FTimeToleranceMs = v;
}
bool TQorCustomDevice::IsWithinTolerance(uint32_t A, uint32_t B) {
    return A - B <= FTimeToleranceMs;
}

void TQorCustomDevice::SetTimerStatsEnabled(bool v) {
    FTimerStats->SetEnabled(v);
}
bool TQorCustomDevice::GetTimerStatsEnabled() {
    return FTimerStats->Enabled();
}
void TQorCustomDevice::SetTimerStatsInterval(uint32_t v) {
    FTimerStats->SetInterval(v);
}
uint32_t TQorCustomDevice::GetTimerStatsInterval() {
    return FTimerStats->Interval();
}
void TQorCustomDevice::SetTimerStatsThreadPriority(TThreadPriority v) {
    FTimerStats->SetThreadPriority(v);
}
TThreadPriority TQorCustomDevice::GetTimerStatsThreadPriority() {
    return FTimerStats->ThreadPriority();
}

// --- events ---

void TQorCustomDevice::DoConnected() {
    if (OnConnected) OnConnected(this);
}
void TQorCustomDevice::DoDisconnected() {
    if (OnDisconnected) OnDisconnected(this);
}
void TQorCustomDevice::DoConnectionLost() {
    if (OnConnectionLost) OnConnectionLost(this);
}
void TQorCustomDevice::DoCourseFinished() {
    if (OnCourseFinished) OnCourseFinished(this);
}
void TQorCustomDevice::DoAfterStop() {
    if (OnAfterStop) OnAfterStop(this);
}
void TQorCustomDevice::DoBeforePause() {
    if (OnBeforePause) OnBeforePause(this);
}
void TQorCustomDevice::DoBeforeStart() {
    if (OnBeforeStart) OnBeforeStart(this);
}
void TQorCustomDevice::DoBeforeStop(bool& CanContinue) {
    if (OnBeforeStop) OnBeforeStop(this, CanContinue);
}
void TQorCustomDevice::DoHeartConnectionLost() {
    if (OnHeartConnectionLost) OnHeartConnectionLost(this);
}
void TQorCustomDevice::DoCompetitorStateChanged(TCompetitorState OldState, TCompetitorState NewState) {
    if (OnCompetitorStateChanged) OnCompetitorStateChanged(this, OldState, NewState);
}
void TQorCustomDevice::DoHeartCriticalValue() {
    if (OnHeartCriticalValue) OnHeartCriticalValue(this);
}
void TQorCustomDevice::DoStats() {
    if (OnStats) OnStats(this);
}

// --- ride state and connection ---

TCompetitorState TQorCustomDevice::GetCompetitorState() {
    return FCompetitorState;
}

void TQorCustomDevice::SetCompetitorState(TCompetitorState New) {
    if (New == FCompetitorState) return;
    const TCompetitorState old = FCompetitorState;
    FCompetitorState = New;
    DoCompetitorStateChanged(old, New);
}

bool TQorCustomDevice::Start() {
    return false;
}
bool TQorCustomDevice::Stop() {
    return false;
}
bool TQorCustomDevice::Pause() {
    return false;
}

bool TQorCustomDevice::Connect() {
    FConnected = true;
    DoConnected();
    return true;
}

bool TQorCustomDevice::Disconnect() {
    FConnected = false;
    // The base event: a descendant's DoDisconnected fires an event of its own.
    TQorCustomDevice::DoDisconnected();
    return true;
}

void TQorCustomDevice::SetLiveValues(int32_t HeartRate, int32_t Cadence, double Speed, double Distance,
                                     int32_t /*Extra*/) {
    SetSpeed(Speed);
    SetDistance(Distance);
    SetHeartRate(HeartRate);
    SetCadence(Cadence);
}

void TQorCustomDevice::ResetRideValues() {
    SetSpeed(0);
    SetAvgSpeed(0);
    SetCadence(0);
    SetAvgCadence(0);
    SetMaxCadence(0);
    SetHeartRate(0);
    SetMaxHeartRate(0);
    SetAvgHeartRate(0);
    FPower = 0;
    SetAuxAverage(0);
    SetAuxValue(0);
    SetAuxInteger(0);
    SetCourseFlagA(false);
    SetCourseFlagB(false);
    SetCalories(0);
    SetDistance(0);
    SetAuxIndex(-1);
}
