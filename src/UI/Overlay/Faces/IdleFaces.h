#pragma once

#include "UI/Motion/Spring.h"
#include "UI/Overlay/Faces/FaceMath.h"
#include "UI/Overlay/Faces/FaceWidget.h"

#include <array>

// The faces of the pill outside listening. Each is built without inputs (plus an optional clock)
// and sizes itself to its content through sizeHint(); it paints that content centred in its frame.

// Eight faint green bars rippling slowly; `time` counts 1/30-second ticks.
class IdleWaveform : public FaceWidget {
    Q_OBJECT
public:
    explicit IdleWaveform(QWidget* parent = nullptr, MotionClock* clock = nullptr);
    QSize sizeHint() const override;
    double time() const { return m_time; }

protected:
    bool advance(double dt) override;
    void paintEvent(QPaintEvent*) override;

private:
    double m_time = 0;
    Faces::IntervalTicker m_ticker{1.0 / 30};
};

// A key cap and "Hold to talk", popping in when shown.
class HoverHint : public FaceWidget {
    Q_OBJECT
public:
    explicit HoverHint(QWidget* parent = nullptr, MotionClock* clock = nullptr);
    QSize sizeHint() const override;
    double popProgress() const { return m_appear.value(); }

protected:
    bool advance(double dt) override;
    void paintEvent(QPaintEvent*) override;

private:
    AnimatedValue m_appear{0};  // 0 hidden (opacity 0, scale 0.8) .. 1 shown
};

// Five green bars springing up left to right while the dictation starts.
class WakeUpStretch : public FaceWidget {
    Q_OBJECT
public:
    explicit WakeUpStretch(QWidget* parent = nullptr, MotionClock* clock = nullptr);
    QSize sizeHint() const override;
    // Height and opacity of bar i as drawn now.
    Faces::BarLook barLook(int i) const;

protected:
    bool advance(double dt) override;
    void paintEvent(QPaintEvent*) override;

private:
    std::array<AnimatedValue, 5> m_springs;  // 0 resting .. 1 risen
};

// Two pale-blue eyes glancing left and right every 0.6 s tick.
class ThinkingEyes : public FaceWidget {
    Q_OBJECT
public:
    explicit ThinkingEyes(QWidget* parent = nullptr, MotionClock* clock = nullptr);
    QSize sizeHint() const override;
    int phase() const { return m_phase; }
    double lookOffset() const { return m_lookOffset.value(); }
    double eyeScale() const { return m_eyeScale.value(); }

protected:
    bool advance(double dt) override;
    void paintEvent(QPaintEvent*) override;

private:
    int m_phase = 0;
    AnimatedValue m_lookOffset{0};
    AnimatedValue m_eyeScale{1};
    Faces::IntervalTicker m_ticker{0.6};
};

// Two smiling green eyes, then a green checkmark that stays.
class HappyEyes : public FaceWidget {
    Q_OBJECT
public:
    explicit HappyEyes(QWidget* parent = nullptr, MotionClock* clock = nullptr);
    QSize sizeHint() const override;
    bool checkShown() const { return m_checkPop; }
    double smileProgress() const { return m_smile.value(); }

protected:
    bool advance(double dt) override;
    void paintEvent(QPaintEvent*) override;

private:
    AnimatedValue m_smile{0};  // 0: opacity 0, scale 0.7; 1: full
    AnimatedValue m_check{0};  // grows from nothing
    bool m_checkPop = false;
};

// Two orange lopsided eyes that wobble once, then rest level.
class ConfusedEyes : public FaceWidget {
    Q_OBJECT
public:
    explicit ConfusedEyes(QWidget* parent = nullptr, MotionClock* clock = nullptr);
    QSize sizeHint() const override;
    double tilt() const { return m_tilt.value(); }

protected:
    bool advance(double dt) override;
    void paintEvent(QPaintEvent*) override;

private:
    AnimatedValue m_tilt{0};  // degrees, clockwise
};

// A pause symbol and a slowly pulsing "Paused".
class PausedLabel : public FaceWidget {
    Q_OBJECT
public:
    explicit PausedLabel(QWidget* parent = nullptr, MotionClock* clock = nullptr);
    QSize sizeHint() const override;
    double textOpacity() const;

protected:
    bool advance(double dt) override;
    void paintEvent(QPaintEvent*) override;

private:
    double m_elapsed = 0;
};

namespace Faces {
// Value 0..1 of an ease-in-out that repeats forever with auto-reverse, `elapsed` seconds in.
double autoReversingEaseInOut(double elapsed, double duration);
}  // namespace Faces
