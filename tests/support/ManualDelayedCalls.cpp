#include "support/ManualDelayedCalls.h"

#include <algorithm>

ManualDelayedCalls::ManualDelayedCalls() : m_installed(true) { Clock::setCurrent(&m_ownClock); }

ManualDelayedCalls::ManualDelayedCalls(ManualClock& clock) : m_clock(&clock) {}

ManualDelayedCalls::~ManualDelayedCalls() {
    if (m_installed) Clock::setCurrent(nullptr);
}

DelayedCall ManualDelayedCalls::delayedCall() {
    return [this](double seconds, std::function<void()> fn) {
        m_calls.push_back({m_clock->monotonicSeconds() + seconds, m_nextOrder++, std::move(fn)});
    };
}

void ManualDelayedCalls::advance(double seconds) {
    const double target = m_clock->monotonicSeconds() + seconds;
    for (;;) {
        auto next = std::min_element(m_calls.begin(), m_calls.end(), [](const Call& a, const Call& b) {
            return a.dueAt != b.dueAt ? a.dueAt < b.dueAt : a.order < b.order;
        });
        if (next == m_calls.end() || next->dueAt > target + 1e-9) break;
        const double step = next->dueAt - m_clock->monotonicSeconds();
        if (step > 0) m_clock->advance(step);
        auto fn = std::move(next->fn);
        m_calls.erase(next);
        fn();  // may schedule more calls
    }
    const double rest = target - m_clock->monotonicSeconds();
    if (rest > 0) m_clock->advance(rest);
}
