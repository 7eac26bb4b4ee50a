#pragma once

#include <cmath>

// How an animated value moves to a new target: a spring (response = the period of the undamped
// spring in seconds, dampingFraction 1 = critically damped), a timed curve, or a jump.
struct Animation {
    enum class Kind { none, spring, easeIn, easeOut, easeInOut, linear };

    Kind kind = Kind::none;
    double response = 0;         // springs
    double dampingFraction = 1;  // springs
    double duration = 0;         // curves

    static constexpr Animation none() { return {}; }
    static constexpr Animation spring(double response, double dampingFraction) {
        return {Kind::spring, response, dampingFraction, 0};
    }
    static constexpr Animation easeIn(double duration) { return {Kind::easeIn, 0, 1, duration}; }
    static constexpr Animation easeOut(double duration) { return {Kind::easeOut, 0, 1, duration}; }
    static constexpr Animation easeInOut(double duration) { return {Kind::easeInOut, 0, 1, duration}; }
    static constexpr Animation linear(double duration) { return {Kind::linear, 0, 1, duration}; }

    // A spring given the physical way (mass, stiffness, damping), as interpolating springs are.
    static Animation physicalSpring(double mass, double stiffness, double damping) {
        const double omega = std::sqrt(stiffness / mass);
        return spring(2 * M_PI / omega, damping / (2 * std::sqrt(stiffness * mass)));
    }

    // Progress 0..1 of a timed curve at fraction 0..1 of its duration.
    static double curve(Kind kind, double fraction);
};

// One scalar that follows its target with an Animation. Advanced explicitly by step(dt), so the
// owner decides where time comes from (a display timer, or a test's manual clock).
class AnimatedValue {
public:
    explicit AnimatedValue(double value = 0) : m_value(value), m_target(value), m_from(value) {}

    // Moves towards `target`; a spring keeps its current velocity, a curve starts from here.
    void animateTo(double target, const Animation& animation);
    // Jumps to `value` with no motion.
    void set(double value);
    // Advances time by `dt` seconds.
    void step(double dt);

    double value() const { return m_value; }
    double target() const { return m_target; }
    bool isAnimating() const { return m_animating; }

private:
    double m_value;
    double m_target;
    double m_from;
    double m_velocity = 0;
    double m_elapsed = 0;
    Animation m_animation;
    bool m_animating = false;
};
