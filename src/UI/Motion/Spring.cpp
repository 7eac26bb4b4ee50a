#include "UI/Motion/Spring.h"

#include <algorithm>

double Animation::curve(Kind kind, double t) {
    t = std::clamp(t, 0.0, 1.0);
    switch (kind) {
    case Kind::easeIn: return t * t * t;
    case Kind::easeOut: return 1 - std::pow(1 - t, 3);
    case Kind::easeInOut: return t < 0.5 ? 4 * t * t * t : 1 - std::pow(-2 * t + 2, 3) / 2;
    case Kind::linear: return t;
    case Kind::none:
    case Kind::spring: return 1;
    }
    return 1;
}

void AnimatedValue::animateTo(double target, const Animation& animation) {
    if (animation.kind == Animation::Kind::none ||
        (animation.kind != Animation::Kind::spring && animation.duration <= 0) ||
        (animation.kind == Animation::Kind::spring && animation.response <= 0)) {
        set(target);
        return;
    }
    if (animation.kind != Animation::Kind::spring) m_velocity = 0;
    m_target = target;
    m_from = m_value;
    m_elapsed = 0;
    m_animation = animation;
    m_animating = m_value != target || m_velocity != 0;
}

void AnimatedValue::set(double value) {
    m_value = m_target = m_from = value;
    m_velocity = 0;
    m_animating = false;
}

void AnimatedValue::step(double dt) {
    if (!m_animating || !(dt > 0)) return;
    if (m_animation.kind != Animation::Kind::spring) {
        m_elapsed += dt;
        const double fraction = m_elapsed / m_animation.duration;
        m_value = m_from + (m_target - m_from) * Animation::curve(m_animation.kind, fraction);
        if (fraction >= 1) set(m_target);
        return;
    }
    // Unit mass: stiffness from the period, damping from the fraction of the critical value.
    const double omega = 2 * M_PI / m_animation.response;
    const double stiffness = omega * omega;
    const double damping = 2 * m_animation.dampingFraction * omega;
    // Small semi-implicit steps keep stiff, short springs stable at any frame rate.
    const double maxStep = 1.0 / 480;
    while (dt > 0) {
        const double h = std::min(dt, maxStep);
        const double force = -stiffness * (m_value - m_target) - damping * m_velocity;
        m_velocity += force * h;
        m_value += m_velocity * h;
        dt -= h;
    }
    const double scale = std::max({std::abs(m_target - m_from), std::abs(m_target), 1.0});
    if (std::abs(m_value - m_target) < 1e-4 * scale && std::abs(m_velocity) < 1e-3 * scale) set(m_target);
}
