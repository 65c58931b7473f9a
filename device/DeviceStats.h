#pragma once
// Numeric helpers of the device units: the moving average, the pumping wait and
// decimal rounding.
#include <cstdint>
#include <vector>

#include "platform/rtl/System.h"

// Moving average over a fixed number of samples, newest first. The mean divides by the
// whole length, so it ramps up while the array is still filling.
class TUlmaAverage : public TObject {
public:
    TUlmaAverage() : FValues(1, 0.0) {}
    // Shifts every sample one place towards the end (the oldest falls out) and stores x first.
    void Push(double x);
    // New length when n > 0; kept samples stay, new places are 0.
    void SetSize(int32_t n);
    int32_t Size() const { return static_cast<int32_t>(FValues.size()); }
    double Mean() const;
    double operator[](int32_t i) const { return FValues[i]; }

private:
    std::vector<double> FValues;
};

namespace TreviaDeviceANT {
// Waits `ms` clock milliseconds while the application keeps handling its messages.
void Delay(uint32_t ms);
// Rounds half away from zero to `Digits` decimals; results within 1e-8 of zero become 0.
long double RoundTo(int32_t Digits, long double x);
}  // namespace TreviaDeviceANT
