#include "UI/Motion/MotionClock.h"

#include <algorithm>
#include <cmath>

MotionClock::MotionClock(Mode mode, QObject* parent) : QObject(parent), m_mode(mode) {
    m_elapsed.start();
    m_frameTimer.setInterval(16);
    m_frameTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_frameTimer, &QTimer::timeout, this, [this] {
        const double t = now();
        const double dt = t - m_lastFrame;
        m_lastFrame = t;
        // After a stall the animations jump rather than replaying the lost time in one step.
        frame(std::min(dt, 0.1));
    });
}

MotionClock& MotionClock::shared() {
    static MotionClock* clock = new MotionClock(Mode::real);
    return *clock;
}

double MotionClock::now() const { return m_mode == Mode::manual ? m_manualNow : m_elapsed.nsecsElapsed() / 1e9; }

void MotionClock::requestTicks(QObject* owner, std::function<bool(double)> tick) {
    if (!owner) return;
    auto it = m_tickers.find(owner);
    if (it != m_tickers.end() && it->second.owner) return;
    // A destroyed owner's entry is dropped at the next frame (or replaced here).
    m_tickers[owner] = Ticker{owner, std::move(tick)};
    if (m_mode == Mode::real && !m_frameTimer.isActive()) {
        m_lastFrame = now();
        m_frameTimer.start();
    }
}

void MotionClock::schedule(QObject* owner, double delay, std::function<void()> step) {
    if (m_mode == Mode::real) {
        QTimer::singleShot(std::max(0, static_cast<int>(std::lround(delay * 1000))), owner, std::move(step));
        return;
    }
    m_pending.emplace(m_manualNow + std::max(0.0, delay), Pending{owner, std::move(step)});
}

void MotionClock::frame(double dt) {
    // Copy first: a tick may add or remove tickers.
    std::vector<std::pair<QObject*, Ticker>> tickers(m_tickers.begin(), m_tickers.end());
    for (auto& [key, ticker] : tickers) {
        if (!ticker.owner) {
            m_tickers.erase(key);
            continue;
        }
        if (!ticker.tick(dt)) {
            auto it = m_tickers.find(key);
            if (it != m_tickers.end() && it->second.owner == ticker.owner) m_tickers.erase(it);
        }
    }
    if (m_tickers.empty()) m_frameTimer.stop();
}

void MotionClock::runDue() {
    while (!m_pending.empty() && m_pending.begin()->first <= m_manualNow + 1e-9) {
        Pending pending = std::move(m_pending.begin()->second);
        m_pending.erase(m_pending.begin());
        if (pending.owner) pending.step();
    }
}

void MotionClock::advance(double seconds) {
    if (m_mode != Mode::manual) return;
    const double end = m_manualNow + seconds;
    runDue();
    while (m_manualNow < end - 1e-9) {
        double next = std::min(end, m_manualNow + frameSeconds);
        if (!m_pending.empty()) next = std::min(next, std::max(m_pending.begin()->first, m_manualNow));
        const double dt = next - m_manualNow;
        m_manualNow = next;
        if (dt > 0) frame(dt);
        runDue();
    }
}
