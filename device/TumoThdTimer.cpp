// The threaded timer with elapsed and lap time.
#include "device/TumoThdTimer.h"

TTumoThreadTimer::TTumoThreadTimer(TComponent* AOwner) : TThreadedTimer(AOwner) {
    FElapsedTime = 0;
    FLapTime = 0;
}

TTumoThreadTimer::~TTumoThreadTimer() = default;

void TTumoThreadTimer::SetElapsedTime(uint32_t v) {
    if (v != FElapsedTime) FElapsedTime = v;
}

void TTumoThreadTimer::SetLapTime(uint32_t v) {
    if (v != FLapTime) FLapTime = v;
}

void TTumoThreadTimer::ClearTimes() {
    SetElapsedTime(0);
    SetLapTime(0);
}
