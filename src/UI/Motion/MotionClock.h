#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <map>
#include <vector>

// The time source of the overlay's animations and delayed steps. A real clock ticks at display
// rate only while some animation asks for it, so an idle overlay costs nothing; a manual clock
// moves only through advance(), so tests drive animations and delays without waiting.
class MotionClock : public QObject {
    Q_OBJECT
public:
    enum class Mode { real, manual };
    static constexpr double frameSeconds = 1.0 / 60;

    explicit MotionClock(Mode mode = Mode::real, QObject* parent = nullptr);

    // Seconds since the clock was made.
    double now() const;

    // `tick(dt)` runs on every frame until it answers false; the ticker is dropped when `owner`
    // is destroyed. Asking again while it is already running does nothing.
    void requestTicks(QObject* owner, std::function<bool(double dt)> tick);
    // Runs `step` once, `delay` seconds from now, unless `owner` is gone by then.
    void schedule(QObject* owner, double delay, std::function<void()> step);

    // Whether the display-rate timer runs (real clocks only).
    bool isTicking() const { return m_frameTimer.isActive(); }

    // Manual clocks: moves time on by `seconds`, frame by frame, running due steps in order.
    void advance(double seconds);

    // One clock for every overlay view that was not given another.
    static MotionClock& shared();

private:
    struct Ticker {
        QPointer<QObject> owner;
        std::function<bool(double)> tick;
    };
    struct Pending {
        QPointer<QObject> owner;
        std::function<void()> step;
    };

    void frame(double dt);
    void runDue();

    Mode m_mode;
    QElapsedTimer m_elapsed;
    double m_manualNow = 0;
    double m_lastFrame = 0;
    QTimer m_frameTimer;
    std::map<QObject*, Ticker> m_tickers;
    std::multimap<double, Pending> m_pending;  // manual mode only
};
