#include "UI/Theme/HoverLift.h"

#include <QEvent>
#include <QGraphicsDropShadowEffect>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <cmath>
#include <numbers>

HoverLiftLook HoverLiftLook::at(double progress) {
    // The spring may overshoot a little; the look follows it, never going below resting.
    const double p = std::max(0.0, progress);
    HoverLiftLook look;
    look.scale = 1.0 + 0.01 * p;
    look.shadowOpacity = 0.06 + 0.06 * p;
    look.shadowRadius = 2 + 6 * p;
    look.shadowOffsetY = 1 + 2 * p;
    return look;
}

bool SpringValue::step(double seconds) {
    // Unit mass: stiffness from the period, damping from the fraction of critical damping.
    const double omega = 2 * std::numbers::pi / m_response;
    const double stiffness = omega * omega;
    const double damping = 2 * m_damping * omega;
    double remaining = std::max(0.0, seconds);
    while (remaining > 0) {
        const double dt = std::min(remaining, 1.0 / 240);
        const double accel = -stiffness * (m_value - m_target) - damping * m_velocity;
        m_velocity += accel * dt;
        m_value += m_velocity * dt;
        remaining -= dt;
    }
    if (isSettled()) {
        m_value = m_target;
        m_velocity = 0;
        return false;
    }
    return true;
}

bool SpringValue::isSettled() const { return std::abs(m_value - m_target) < 1e-3 && std::abs(m_velocity) < 1e-3; }

HoverLift::HoverLift(QWidget* widget)
    : QObject(widget),
      m_widget(widget),
      m_shadow(new QGraphicsDropShadowEffect(widget)),
      m_timer(new QTimer(this)) {
    m_shadow->setColor(QColor(0, 0, 0));
    m_widget->setGraphicsEffect(m_shadow);
    m_widget->setAttribute(Qt::WA_Hover);
    m_widget->installEventFilter(this);
    m_timer->setInterval(16);
    connect(m_timer, &QTimer::timeout, this, &HoverLift::onTick);
    applyLook();
}

HoverLift* HoverLift::attach(QWidget* widget) {
    if (HoverLift* existing = of(widget)) return existing;
    return new HoverLift(widget);
}

HoverLift* HoverLift::of(const QWidget* widget) {
    return widget ? widget->findChild<HoverLift*>(QString(), Qt::FindDirectChildrenOnly) : nullptr;
}

void HoverLift::setHovered(bool hovered) {
    if (m_hovered == hovered) return;
    m_hovered = hovered;
    m_spring.setTarget(hovered ? 1.0 : 0.0);
    m_elapsed.start();
    m_timer->start();
}

void HoverLift::advance(double seconds) {
    if (!m_spring.step(seconds)) m_timer->stop();
    applyLook();
}

void HoverLift::onTick() {
    const double seconds = m_elapsed.isValid() ? m_elapsed.restart() / 1000.0 : 0.016;
    advance(seconds);
}

void HoverLift::applyLook() {
    const HoverLiftLook l = look();
    QColor color(0, 0, 0);
    color.setAlphaF(float(std::clamp(l.shadowOpacity, 0.0, 1.0)));
    m_shadow->setColor(color);
    // The blur radius here spreads about twice as far as a shadow radius does.
    m_shadow->setBlurRadius(l.shadowRadius * 2);
    m_shadow->setOffset(0, l.shadowOffsetY);
    m_widget->update();
    Q_EMIT lookChanged();
}

bool HoverLift::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_widget) {
        if (event->type() == QEvent::Enter || event->type() == QEvent::HoverEnter)
            setHovered(true);
        else if (event->type() == QEvent::Leave || event->type() == QEvent::HoverLeave)
            setHovered(false);
    }
    return QObject::eventFilter(watched, event);
}
