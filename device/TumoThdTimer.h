#pragma once
// The threaded timer with an elapsed time and a lap time that its user keeps.
#include <cstdint>

#include "device/ThdTimer.h"

class TTumoThreadTimer : public TThreadedTimer {
public:
    explicit TTumoThreadTimer(TComponent* AOwner);
    ~TTumoThreadTimer() override;

    uint32_t ElapsedTime() const { return FElapsedTime; }
    virtual void SetElapsedTime(uint32_t v);
    uint32_t LapTime() const { return FLapTime; }
    virtual void SetLapTime(uint32_t v);
    virtual void ClearTimes();

private:
    uint32_t FElapsedTime = 0;
    uint32_t FLapTime = 0;
};
