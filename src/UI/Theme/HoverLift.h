#pragma once

#include <QElapsedTimer>
#include <QObject>

class QGraphicsDropShadowEffect;
class QTimer;
class QWidget;

// The look of the hover lift at one moment, between resting (0) and lifted (1).
struct HoverLiftLook {
    double scale = 1.0;
    double shadowOpacity = 0.06;
    double shadowRadius = 2;
    double shadowOffsetY = 1;

    static HoverLiftLook at(double progress);
};

// A spring stepper (response and damping fraction as given), driven
// by explicit time steps so tests can drive it without waiting on the clock.
class SpringValue {
public:
    SpringValue(double response, double dampingFraction, double value = 0)
        : m_response(response),
          m_damping(dampingFraction),
          m_value(value),
          m_target(value) {}

    void setTarget(double target) { m_target = target; }
    double target() const { return m_target; }
    double value() const { return m_value; }
    // Advances by `seconds`; returns true while still moving.
    bool step(double seconds);
    bool isSettled() const;

private:
    double m_response;
    double m_damping;
    double m_value;
    double m_target;
    double m_velocity = 0;
};

// The hover lift of the dashboard cards: on pointer enter the widget's shadow grows and
// darkens and the widget is drawn slightly larger; on leave it springs back. Install on a
// widget with HoverLift::attach(widget). The shadow is applied as a graphics effect; a widget
// that wants the scale paints its content through look().scale about its centre.
class HoverLift : public QObject {
    Q_OBJECT
public:
    static HoverLift* attach(QWidget* widget);
    static HoverLift* of(const QWidget* widget);

    double progress() const { return m_spring.value(); }
    HoverLiftLook look() const { return HoverLiftLook::at(progress()); }
    // Steps the spring by `seconds` (the animation timer calls this; tests may too).
    void advance(double seconds);
    void setHovered(bool hovered);

Q_SIGNALS:
    void lookChanged();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit HoverLift(QWidget* widget);
    void applyLook();
    void onTick();

    QWidget* m_widget;
    QGraphicsDropShadowEffect* m_shadow;
    QTimer* m_timer;
    QElapsedTimer m_elapsed;
    bool m_hovered = false;
    SpringValue m_spring{0.3, 0.7, 0};
};
