#pragma once

#include "UI/Motion/Spring.h"
#include "UI/Overlay/Faces/FaceMath.h"
#include "UI/Overlay/Faces/FaceWidget.h"

#include <QPointer>

#include <functional>
#include <vector>

class DictationPipeline;

// A face with round and capsule controls that act on a single tap: press and release inside the
// same control.
class TappableFace : public FaceWidget {
    Q_OBJECT
protected:
    using FaceWidget::FaceWidget;
    // Which control (1, 2, ...) lies under `point`; 0 for none.
    virtual int controlAt(QPointF point) const = 0;
    virtual void activate(int control) = 0;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    int m_pressed = 0;
};

// Push-to-talk listening: two eyes, each a dome of five bars whose height follows the microphone
// level, with a travelling ripple and random blinks. Fills the frame it is given. The level is the
// pipeline's per-chunk raw level when above 0.001, else `volume`.
class WalleEyes : public FaceWidget {
    Q_OBJECT
public:
    WalleEyes(const std::vector<float>& bands, float volume, QColor tint, DictationPipeline& pipeline,
              QWidget* parent = nullptr, MotionClock* clock = nullptr);

    void setBands(const std::vector<float>& bands) { m_bands = bands; }
    void setVolume(float volume) { m_volume = volume; }

    // One frame at clock time `now` (normally driven by the display clock).
    void tick(double now);

    const Faces::WalleEyesState& state() const { return m_state; }
    double blinkPhase() const { return m_blink.value(); }
    QSize sizeHint() const override { return {100, 38}; }

protected:
    bool advance(double dt) override;
    void paintEvent(QPaintEvent*) override;

private:
    std::vector<float> m_bands;  // handed on by the pill; the eyes follow the level instead
    float m_volume;
    QColor m_tint;
    QPointer<DictationPipeline> m_pipeline;
    Faces::WalleEyesState m_state;
    AnimatedValue m_blink{1.0};
    Faces::WalleGeometry m_geometry;
};

// Hands-free listening: a pause button, two eyes of six bars fed by a rolling history of the level
// over a soft glow, and a red "Stop" pill. Fills the width it is given.
class PersistentEyes : public TappableFace {
    Q_OBJECT
public:
    PersistentEyes(const std::vector<float>& bands, float volume, std::function<void()> onStop,
                   DictationPipeline& pipeline, QWidget* parent = nullptr, MotionClock* clock = nullptr);

    void setBands(const std::vector<float>& bands) { m_bands = bands; }
    void setVolume(float volume) { m_volume = volume; }

    // One 1/60-second step of the level history (normally driven by the display clock).
    void tick();

    const Faces::PersistentEyesState& state() const { return m_state; }
    double blinkPhase() const { return m_blink.value(); }
    QRectF pauseButtonRect() const;
    QRectF stopPillRect() const;
    QSize sizeHint() const override { return {200, 42}; }

protected:
    bool advance(double dt) override;
    void paintEvent(QPaintEvent*) override;
    int controlAt(QPointF point) const override;
    void activate(int control) override;

private:
    std::vector<float> m_bands;
    float m_volume;
    std::function<void()> m_onStop;
    QPointer<DictationPipeline> m_pipeline;
    Faces::PersistentEyesState m_state;
    AnimatedValue m_blink{1.0};
    AnimatedValue m_glow{0};  // follows the smoothed level with a short ease-out
    Faces::IntervalTicker m_ticker{1.0 / 60};
    double m_shownFor = 0;  // drives the pulsing dot of the "Stop" pill
};

// Hands-free pause: a play button, five breathing bars with the word "Paused", and the "Stop" pill.
class PersistentPausedLabel : public TappableFace {
    Q_OBJECT
public:
    PersistentPausedLabel(std::function<void()> onResume, std::function<void()> onStop, DictationPipeline& pipeline,
                          QWidget* parent = nullptr, MotionClock* clock = nullptr);

    const Faces::PausedBreath& breath() const { return m_breath; }
    QRectF playButtonRect() const;
    QRectF stopPillRect() const;
    QSize sizeHint() const override { return {190, 40}; }

protected:
    bool advance(double dt) override;
    void paintEvent(QPaintEvent*) override;
    int controlAt(QPointF point) const override;
    void activate(int control) override;

private:
    std::function<void()> m_onResume;
    std::function<void()> m_onStop;
    QPointer<DictationPipeline> m_pipeline;  // held, not read
    Faces::PausedBreath m_breath;
    std::array<AnimatedValue, 5> m_barHeights;
    Faces::IntervalTicker m_ticker{1.0 / 30};
};
