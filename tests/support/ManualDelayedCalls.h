#pragma once

#include "Foundation/Clock.h"
#include "Foundation/DelayedCall.h"

#include <functional>
#include <vector>

// Installs a ManualClock as the process clock (or drives one the caller installed) and collects
// the delayed calls a service makes; advance() moves the clock and runs every call that has come
// due, in the order of their times.
class ManualDelayedCalls {
public:
    ManualDelayedCalls();
    // Drives `clock`, which the caller owns and has installed.
    explicit ManualDelayedCalls(ManualClock& clock);
    ~ManualDelayedCalls();
    ManualDelayedCalls(const ManualDelayedCalls&) = delete;
    ManualDelayedCalls& operator=(const ManualDelayedCalls&) = delete;

    DelayedCall delayedCall();
    ManualClock& clock() { return *m_clock; }
    void advance(double seconds);
    int pending() const { return static_cast<int>(m_calls.size()); }

private:
    struct Call {
        double dueAt = 0;
        int order = 0;
        std::function<void()> fn;
    };

    ManualClock m_ownClock;
    ManualClock* m_clock = &m_ownClock;
    bool m_installed = false;  // the own clock is the process clock while this lives
    std::vector<Call> m_calls;
    int m_nextOrder = 0;
};
