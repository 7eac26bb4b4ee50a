#include "Foundation/Clock.h"

#include <QCoreApplication>
#include <QTimer>

#include <QCoro/QCoroTimer>

#include <algorithm>
#include <cmath>
#include <coroutine>

namespace {
SystemClock g_systemClock;
std::atomic<Clock*> g_current{nullptr};

// The origin of a manual clock's monotonic time: far from the steady clock's own, so "long ago"
// arithmetic in the code under test never reaches before it.
constexpr auto kManualOrigin = std::chrono::hours(1);
}  // namespace

Clock& Clock::current() {
    Clock* c = g_current.load(std::memory_order_acquire);
    return c ? *c : g_systemClock;
}

void Clock::setCurrent(Clock* clock) { g_current.store(clock, std::memory_order_release); }

double Clock::millisecondsSince(TimePoint start) const { return toMilliseconds(monotonicNow() - start); }

std::chrono::milliseconds fromSeconds(double seconds) {
    if (!std::isfinite(seconds)) return std::chrono::milliseconds(0);
    // Beyond thirty thousand years either way is a value no one means; clamped, it stays a number.
    constexpr double kLimit = 1e12;
    return std::chrono::milliseconds(std::llround(std::clamp(seconds, -kLimit, kLimit) * 1000.0));
}

Clock::TimePoint SystemClock::monotonicNow() const { return std::chrono::steady_clock::now(); }

QDateTime SystemClock::now() const { return QDateTime::currentDateTime(); }

QCoro::Task<> SystemClock::sleep(std::chrono::milliseconds duration) {
    if (duration.count() <= 0) co_return;
    co_await QCoro::sleepFor(duration);
}

void SystemClock::callAfter(std::chrono::milliseconds delay, std::function<void()> fn) {
    QTimer::singleShot(std::max(delay, std::chrono::milliseconds(0)), QCoreApplication::instance(), std::move(fn));
}

ManualClock::ManualClock(QDateTime start) : m_start(std::move(start)) {}

ManualClock::~ManualClock() = default;

Clock::TimePoint ManualClock::monotonicNow() const { return TimePoint(kManualOrigin) + elapsed(); }

QDateTime ManualClock::now() const {
    return m_start.addMSecs(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed()).count());
}

void ManualClock::callAfter(std::chrono::milliseconds delay, std::function<void()> fn) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_calls.push_back({elapsed() + std::max(delay, std::chrono::milliseconds(0)), m_nextOrder++, std::move(fn)});
}

QCoro::Task<> ManualClock::sleep(std::chrono::milliseconds duration) {
    if (duration.count() <= 0) co_return;
    struct Wake {
        ManualClock& clock;
        std::chrono::milliseconds duration;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> handle) {
            clock.callAfter(duration, [handle] { handle.resume(); });
        }
        void await_resume() const noexcept {}
    };
    co_await Wake{*this, duration};
}

int ManualClock::pending() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return static_cast<int>(m_calls.size());
}

void ManualClock::advanceBy(Duration duration) {
    const Duration target = elapsed() + std::max(duration, Duration(0));
    for (;;) {
        std::function<void()> fn;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            const auto next = std::min_element(m_calls.begin(), m_calls.end(), [](const Call& a, const Call& b) {
                return a.dueAt != b.dueAt ? a.dueAt < b.dueAt : a.order < b.order;
            });
            if (next == m_calls.end() || next->dueAt > target) break;
            if (next->dueAt > elapsed()) m_elapsed.store(next->dueAt.count());
            fn = std::move(next->fn);
            m_calls.erase(next);
        }
        fn();  // may schedule more
    }
    m_elapsed.store(target.count());
}
