#include "Foundation/Clock.h"

#include <chrono>

namespace {
SystemClock g_systemClock;
std::atomic<Clock*> g_current{nullptr};
}  // namespace

Clock& Clock::current() {
    Clock* c = g_current.load(std::memory_order_acquire);
    return c ? *c : g_systemClock;
}

void Clock::setCurrent(Clock* clock) { g_current.store(clock, std::memory_order_release); }

double SystemClock::monotonicSeconds() const {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

QDateTime SystemClock::now() const { return QDateTime::currentDateTime(); }

ManualClock::ManualClock(QDateTime start) : m_start(std::move(start)) {}

double ManualClock::monotonicSeconds() const { return 1000.0 + m_elapsedUs.load() / 1e6; }

QDateTime ManualClock::now() const { return m_start.addMSecs(m_elapsedUs.load() / 1000); }

void ManualClock::advance(double seconds) { m_elapsedUs.fetch_add(static_cast<int64_t>(seconds * 1e6)); }
