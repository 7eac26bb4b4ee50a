#pragma once

#include "Foundation/Clock.h"

// A ManualClock that is the process clock while it lives: every read, wait and delayed call of
// the code under test runs on it, when advance() reaches it.
class InstalledManualClock : public ManualClock {
public:
    InstalledManualClock() { Clock::setCurrent(this); }
    ~InstalledManualClock() override { Clock::setCurrent(nullptr); }
    InstalledManualClock(const InstalledManualClock&) = delete;
    InstalledManualClock& operator=(const InstalledManualClock&) = delete;
};
