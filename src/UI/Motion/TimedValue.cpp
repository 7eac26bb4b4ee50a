#include "UI/Motion/TimedValue.h"

#include <QEasingCurve>
#include <QPointF>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

// The standard ease curves as cubic Béziers: ease-out (0, 0, 0.58, 1), ease-in-out (0.42, 0, 0.58, 1).
QEasingCurve bezier(double x1, double x2) {
    QEasingCurve curve(QEasingCurve::BezierSpline);
    curve.addCubicBezierSegment(QPointF(x1, 0), QPointF(x2, 1), QPointF(1, 1));
    return curve;
}

const QEasingCurve& easeOutCurve() {
    static const QEasingCurve curve = bezier(0, 0.58);
    return curve;
}

const QEasingCurve& easeInOutCurve() {
    static const QEasingCurve curve = bezier(0.42, 0.58);
    return curve;
}

// Within this fraction of the distance a spring counts as at rest.
constexpr double kSpringRest = 0.001;

}  // namespace

TimedMotion TimedMotion::easeOut(double duration, double delay) {
    TimedMotion m;
    m.kind = Kind::easeOut;
    m.duration = duration;
    m.delay = delay;
    return m;
}

TimedMotion TimedMotion::easeInOut(double duration) {
    TimedMotion m;
    m.kind = Kind::easeInOut;
    m.duration = duration;
    return m;
}

TimedMotion TimedMotion::spring(double response, double dampingFraction) {
    TimedMotion m;
    m.kind = Kind::spring;
    m.response = response;
    m.dampingFraction = dampingFraction;
    return m;
}

double TimedMotion::progress(double elapsed) const {
    if (elapsed <= 0) return 0;
    if (elapsed >= settleTime()) return 1;
    switch (kind) {
    case Kind::easeOut: return easeOutCurve().valueForProgress(elapsed / duration);
    case Kind::easeInOut: return easeInOutCurve().valueForProgress(elapsed / duration);
    case Kind::spring: {
        // A unit mass on a damped spring released at rest one unit from its target.
        const double omega = 2 * std::numbers::pi / response;
        const double zeta = std::clamp(dampingFraction, 0.01, 1.0);
        const double decay = std::exp(-zeta * omega * elapsed);
        if (zeta >= 1.0) return 1 - decay * (1 + omega * elapsed);
        const double damped = omega * std::sqrt(1 - zeta * zeta);
        return 1 - decay * (std::cos(damped * elapsed) + zeta * omega / damped * std::sin(damped * elapsed));
    }
    }
    return 1;
}

double TimedMotion::settleTime() const {
    if (kind != Kind::spring) return std::max(duration, 0.0);
    const double omega = 2 * std::numbers::pi / response;
    const double zeta = std::clamp(dampingFraction, 0.01, 1.0);
    // The envelope of the oscillation falls below the rest threshold (critically damped
    // springs carry an extra linear factor, hence the margin).
    return std::log(1 / kSpringRest) / (zeta * omega) * (zeta >= 1.0 ? 1.5 : 1.0);
}

double TimedValue::value(double now) const {
    if (!m_animated) return m_to;
    return m_from + (m_to - m_from) * m_motion.progress(now - m_start - m_motion.delay);
}

void TimedValue::animate(double target, const TimedMotion& motion, double now) {
    m_from = value(now);
    m_to = target;
    m_start = now;
    m_motion = motion;
    m_animated = true;
}

bool TimedValue::isMoving(double now) const {
    return m_animated && now - m_start < m_motion.delay + m_motion.settleTime();
}
