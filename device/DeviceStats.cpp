// The statistics step of the trainer component and its physics: moving averages,
// distance, averages and maxima, power and calories, the virtual-speed model, the
// heart-rate alarm, course end and trainer loss.
#include "device/DeviceStats.h"

#include <algorithm>
#include <cmath>

#include "device/TreviaDeviceANT.h"
#include "device/ulma_ant_class.h"
#include "platform/framework/Application.h"
#include "platform/rtl/Math.h"
#include "platform/rtl/Tick.h"

void TUlmaAverage::Push(double x) {
    for (size_t i = FValues.size(); i-- > 1;) FValues[i] = FValues[i - 1];
    if (!FValues.empty()) FValues[0] = x;
}

void TUlmaAverage::SetSize(int32_t n) {
    if (n > 0) FValues.resize(static_cast<size_t>(n), 0.0);
}

double TUlmaAverage::Mean() const {
    if (FValues.empty()) return 0;
    double sum = 0;
    for (double v : FValues) sum += v;
    return sum / static_cast<double>(FValues.size());
}

namespace TreviaDeviceANT {

void Delay(uint32_t ms) {
    Application()->Delay(ms);
}

long double RoundTo(int32_t Digits, long double x) {
    // 10^Digits as an integer power while it fits 32 bits; beyond that in floating point.
    long double f = 1;
    if (Digits > 0 && Digits <= 9) {
        int32_t p = 1;
        for (int32_t i = 0; i < Digits; ++i) p *= 10;
        f = p;
    } else if (Digits > 9) {
        f = std::pow(10.0L, static_cast<long double>(Digits));
    }
    const long double sign = x > 0 ? 1.0L : (x < 0 ? -1.0L : 0.0L);
    const long double r = static_cast<long double>(Trunc(f * x + 0.5L * sign)) / f;
    if (r >= -1e-8L && r <= 1e-8L) return 0;
    return r;
}

}  // namespace TreviaDeviceANT

using TreviaDeviceANT::RoundTo;

namespace {
// One step at a time in the whole process: a tick arriving while a step waits inside a
// pumping wait is dropped.
bool GStatsRunning = false;

constexpr double MilesPerKm = 0.621371192;
}  // namespace

double TTreviaDeviceANT::MassWithBike() {
    return RiderWeight() + (UOM() == umMiles ? 22 : 10);
}

double TTreviaDeviceANT::ComputeForces(double speed, double slope) {
    if (speed <= 0) return 0;
    long double a, b, c, d;
    if (UOM() == umMiles) {
        a = 0.006L, b = 0.33L, c = -0.6L, d = 0.02L;
    } else {
        a = 0.00145L, b = 0.127L, c = -0.37L, d = 0.027L;
    }
    const long double v = speed;
    const long double w = MassWithBike();
    const long double p = a * v * v * v + b * v * v + (d * w * slope + c) * v;
    return p > 0 ? static_cast<double>(p) : 0.0;
}

void TTreviaDeviceANT::ResetVirtualSpeed() {
    FVirtualSpeed = 0;
    FPrevVirtualSpeed = 0;
    FVirtualDistance = 0;
    FAttritionForce = 0;
    FGravityForce = 0;
    FPedalingForce = 0;
}

void TTreviaDeviceANT::SetVirtualSpeedEnabled(bool v) {
    FVirtualSpeedEnabled = v;
    if (!v) ResetVirtualSpeed();
}

void TTreviaDeviceANT::ComputeVirtualSpeed(double r) {
    if (r == 0) {
        ResetVirtualSpeed();
        return;
    }
    const double s = std::fabs(static_cast<double>(FCurrentSlope));
    const double m = MassWithBike();
    FPrevVirtualSpeed = FVirtualSpeed;
    const double prev = FPrevVirtualSpeed;
    FGravityForce = m * s * FVirtualSpeedAttenuation / 100;
    FPedalingForce = ComputeForces(r, 0) / r;
    FAttritionForce = (prev + r) != 0 ? ComputeForces(prev + r, 0) / (prev + r) : 0;
    FNetForce = FPedalingForce + FGravityForce - FAttritionForce;
    double next;
    if (FCurrentSlope < 0)
        next = static_cast<double>(RoundTo(FPrecisionSpeed, FNetForce / (m / 9.8) + prev));
    else if (std::fabs(FVirtualSpeed) > FTolerance)
        next = prev - FAttritionForce * 2.5 / (m / 9.8);
    else
        next = 0;
    if (next < 0) next = 0;
    FVirtualSpeed = next;
}

void TTreviaDeviceANT::ApplyHighPowerReduce() {
    if (HasState(csDestroying)) return;
    if (!FHighPowerReduceEnable) {
        SetHighPowerReduceCoefficient(1.0);
        return;
    }
    const long double u = FVirtualSpeedEnabled ? FInstantSpeed - FVirtualSpeed : FInstantSpeed;
    if (u >= FHighPowerReduceStartSpeed)
        SetHighPowerReduceCoefficient(1.0);
    else
        SetHighPowerReduceCoefficient(
            static_cast<double>((1 - FHighPowerReduceCoefficientMinimum) * u / FHighPowerReduceStartSpeed +
                                FHighPowerReduceCoefficientMinimum));
}

void TTreviaDeviceANT::UpdateHeartConnection(bool Active) {
    if (Active == FHeartConnectionActive) return;
    FHeartConnectionActive = Active;
    if (!Active) {
        SetHeartRate(0);
        SetAvgHeartRate(0);
    }
}

void TTreviaDeviceANT::HeartRateCheck(ulma_ANT* link) {
    // The raw value replaces the averaged one.
    if (link) SetHeartRate(link->HeartRate);
    const int32_t H = GetHeartRate();
    const int32_t high = AlarmHeartHighLimit(), low = AlarmHeartLowLimit();
    if (H >= high || H <= low) {
        const bool isHigherLimit = H >= high;
        bool doStop = true;
        const bool AbortedByComponent = false;
        // Without a positive low limit no percentage is given.
        int32_t PercentDelta = 0;
        if (low > 0) {
            if (isHigherLimit)
                PercentDelta =
                    high != 0 ? static_cast<int32_t>(Round((H - high) / static_cast<long double>(high) * 100))
                              : 0;
            else
                PercentDelta = static_cast<int32_t>(Round((low - H) / static_cast<long double>(low) * 100));
        }
        if (H > AlarmHeartMaxLimit()) {
            SetTreviaResistance(0);
            SetTreviaElevation(0);
        }
        DoAlarmHeart(PercentDelta, isHigherLimit, AbortedByComponent, doStop);
    }
    if (GetHeartRate() > GetMaxHeartRate()) SetMaxHeartRate(GetHeartRate());
    FHrCount += 1;
    FHrSum += GetHeartRate();
    if (FHrCount > 0 && FHrSum > 0)
        SetAvgHeartRate(static_cast<int32_t>(Round(static_cast<long double>(FHrSum) / FHrCount)));
}

void TTreviaDeviceANT::DoStats() {
    if (HasState(csDestroying) || GStatsRunning) return;
    {
        // Cleared on every way out of the block, exceptions included.
        GStatsRunning = true;
        struct TClear {
            ~TClear() { GStatsRunning = false; }
        } clear;
        // Without a link (a ride started before connecting) the link's steps are skipped.
        ulma_ANT* link = OwnLink();

        if (FTime == 0) FAuxSum = 0;
        const double startSpeed = GetSpeed();

        if (FConnectedANT && link) {
            FTime += 1;
            double t = link->Speed.load();
            if (UOM() == umMiles) t = MilesPerKm * t;
            SetDistance(GetDistance() + t / 3600);

            FSpeedAverage.Push(t);
            SetSpeed(static_cast<double>(RoundTo(FPrecisionSpeed, FSpeedAverage.Mean())));
            const uint32_t T = FTimerStats->NominalElapsed();
            SetAvgSpeed(
                T == 0 ? 0.0
                       : static_cast<double>(RoundTo(FPrecisionSpeed, GetDistance() / (T / 3600000.0L))));
            if (GetSpeed() > MaxSpeed()) SetMaxSpeed(GetSpeed());

            link->SetResistance(FTreviaResistance);

            const int32_t cadence = link->Cadence;
            SetCadence(cadence);
            FCadenceAverage.Push(cadence);
            SetCadence(static_cast<int32_t>(Round(FCadenceAverage.Mean())));
            if (GetCadence() > GetMaxCadence()) SetMaxCadence(GetCadence());
            FCadenceSum += GetCadence();
            SetAvgCadence(static_cast<int32_t>(Round(static_cast<long double>(FCadenceSum) / FTime)));

            FHrAverage.Push(link->HeartRate);
            SetHeartRate(static_cast<int32_t>(Trunc(FHrAverage.Mean())));

            if (FTime > 10) {
                FAuxSum += GetAuxValue();
                SetAuxAverage(static_cast<int32_t>(Round(static_cast<long double>(FAuxSum) / (FTime - 10))));
            }
        }

        if (FHeartEnabled) {
            if (GetHeartRate() < 35)
                UpdateHeartConnection(false);
            else if (!FHeartConnectionActive)
                UpdateHeartConnection(true);
            if (FHeartConnectionActive) HeartRateCheck(link);
        } else {
            SetHeartRate(0);
            SetAvgHeartRate(0);
        }

        FRealSpeed = GetSpeed();

        if (FVirtualSpeedEnabled) {
            SetSpeed(static_cast<double>(FRealSpeed + FVirtualSpeed));
            if (FCurrentSlope < 0 || FVirtualSpeed > 0)
                ComputeVirtualSpeed(static_cast<double>(FRealSpeed));
            else
                ResetVirtualSpeed();
            FVirtualDistance = FVirtualSpeed != 0
                                   ? static_cast<double>(RoundTo(FPrecisionDistance, FVirtualSpeed / 3600))
                                   : 0;
        }

        {
            const long double v = startSpeed;
            const long double w = MassWithBike();
            const long double slope = FCurrentSlope;
            long double e;
            if (UOM() == umMiles)
                e = 1.83e-05L * v * v * v + 1.3e-05L * v * w + 0.0015L * v * slope;
            else
                e = 4.4e-06L * v * v * v + 1.8e-05L * v * w + 0.002L * v * slope;
            if (e < 0) e = 0;
            FEnergy += e;
            // As the power below: beyond 32 bits the largest count, not a wrapped one.
            SetCalories(FEnergy >= INT32_MAX ? INT32_MAX : static_cast<int32_t>(Round(FEnergy)));
        }

        const double s = FVirtualSpeedEnabled ? static_cast<double>(FRealSpeed) : GetSpeed();
        // A power beyond 32 bits (a slope typed far out of range) is the largest there is,
        // not cut to a wrong one.
        const double force = ComputeForces(s, static_cast<double>(FCurrentSlope));
        SetPower(force >= INT32_MAX ? INT32_MAX : static_cast<int32_t>(Round(force)));
        ApplyHighPowerReduce();
        if (GetPower() > MaxPower()) SetMaxPower(GetPower());
        // Handlers run above may have disconnected: ask for the link again.
        link = OwnLink();
        // The brake's 16-bit scale: a power beyond it holds the brake at its top (the send
        // caps it at 0xFFFE), where a cut to 16 bits gave a light load.
        if (link) link->NawBrakeValue = static_cast<uint16_t>(std::clamp<int32_t>(GetPower(), 0, 0xFFFF));

        if (DistanceToPerform() > 0 && GetDistance() >= DistanceToPerform()) {
            Stop();
            SetCourseFlagB(true);
            SetCourseFlagA(true);
            DoCourseFinished();
        }

        link = OwnLink();
        if (link && !link->HeartSeen) DoHeartConnectionLost();

        link = OwnLink();
        if (link && link->TrainerLost) {
            FConnectedANT = false;
            TQorCustomDevice::Disconnect();
            DoDisconnected();
        }
    }
    TQorCustomDevice::DoStats();
}
