#pragma once

#include <QDateTime>

#include <atomic>
#include <cstdint>

// The seam through which the system reads time, so tests can drive double-tap
// windows, timed reverts and cooldowns without sleeping.
class Clock {
public:
    virtual ~Clock() = default;
    // Monotonic time in seconds since an arbitrary origin (the absolute-time clock).
    virtual double monotonicSeconds() const = 0;
    // Wall-clock time.
    virtual QDateTime now() const = 0;

    double monotonicMs() const { return monotonicSeconds() * 1000.0; }

    // The process-wide clock: the system clock unless a test installed another.
    static Clock& current();
    // Installs a clock (nullptr restores the system clock). The caller keeps ownership.
    static void setCurrent(Clock* clock);
};

class SystemClock final : public Clock {
public:
    double monotonicSeconds() const override;
    QDateTime now() const override;
};

// A clock that moves only when told to; safe to read from any thread.
class ManualClock final : public Clock {
public:
    explicit ManualClock(QDateTime start = QDateTime::fromSecsSinceEpoch(1'800'000'000, Qt::UTC));
    double monotonicSeconds() const override;
    QDateTime now() const override;
    void advance(double seconds);

private:
    std::atomic<int64_t> m_elapsedUs{0};
    QDateTime m_start;
};
