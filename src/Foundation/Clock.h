#pragma once

#include <QCoro/QCoroTask>
#include <QDateTime>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

// The seam through which the program reads time, waits and calls later, so tests can drive
// double-tap windows, deadlines, timed reverts and delayed work without sleeping. Durations are
// std::chrono; monotonic time is a steady_clock time point.
class Clock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Duration = std::chrono::steady_clock::duration;

    virtual ~Clock() = default;
    // Monotonic time; only differences mean anything. Any thread.
    virtual TimePoint monotonicNow() const = 0;
    // Wall-clock time. Any thread.
    virtual QDateTime now() const = 0;
    // Resumes the awaiting coroutine `duration` from now (at once when it is not positive). Main
    // thread.
    virtual QCoro::Task<> sleep(std::chrono::milliseconds duration) = 0;
    // Runs `fn` once, `delay` from now, on the main thread.
    virtual void callAfter(std::chrono::milliseconds delay, std::function<void()> fn) = 0;

    // Milliseconds from `start` to now: the unit measured times leave the program in.
    double millisecondsSince(TimePoint start) const;

    // The process-wide clock: the system clock unless a test installed another.
    static Clock& current();
    // Installs a clock (nullptr restores the system clock). The caller keeps ownership.
    static void setCurrent(Clock* clock);
};

// A duration as a count of milliseconds or seconds, for the measured values and log lines that
// leave the program in those units.
template <typename Rep, typename Period>
double toMilliseconds(std::chrono::duration<Rep, Period> duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}
template <typename Rep, typename Period>
double toSeconds(std::chrono::duration<Rep, Period> duration) {
    return std::chrono::duration<double>(duration).count();
}
// A count of seconds (a stored setting, a server's field) as a duration, to the millisecond.
std::chrono::milliseconds fromSeconds(double seconds);

// steady_clock, the main thread's timers and QCoro::sleepFor.
class SystemClock final : public Clock {
public:
    TimePoint monotonicNow() const override;
    QDateTime now() const override;
    QCoro::Task<> sleep(std::chrono::milliseconds duration) override;
    void callAfter(std::chrono::milliseconds delay, std::function<void()> fn) override;
};

// A clock that moves only when told to. Reading it is safe from any thread; the calls and sleeps
// it holds run on the thread that advances it.
class ManualClock : public Clock {
public:
    explicit ManualClock(QDateTime start = QDateTime::fromSecsSinceEpoch(1'800'000'000, Qt::UTC));
    ~ManualClock() override;
    ManualClock(const ManualClock&) = delete;
    ManualClock& operator=(const ManualClock&) = delete;

    TimePoint monotonicNow() const override;
    QDateTime now() const override;
    QCoro::Task<> sleep(std::chrono::milliseconds duration) override;
    void callAfter(std::chrono::milliseconds delay, std::function<void()> fn) override;

    // Moves time forward by `duration`. Every call and sleep that comes due on the way runs at
    // its own time, in the order of their times (at equal times, in the order they were made),
    // including those that the ones run schedule within the same stretch.
    template <typename Rep, typename Period>
    void advance(std::chrono::duration<Rep, Period> duration) {
        advanceBy(std::chrono::round<Duration>(duration));
    }
    // The calls and sleeps not yet due.
    int pending() const;

private:
    struct Call {
        Duration dueAt;
        std::uint64_t order;
        std::function<void()> fn;
    };

    void advanceBy(Duration duration);
    Duration elapsed() const { return Duration(m_elapsed.load()); }

    std::atomic<Duration::rep> m_elapsed{0};
    QDateTime m_start;
    mutable std::mutex m_lock;  // guards the two fields below
    std::vector<Call> m_calls;
    std::uint64_t m_nextOrder = 0;
};
