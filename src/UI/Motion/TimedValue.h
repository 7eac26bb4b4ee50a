#pragma once

// Timed motion for the onboarding's painted elements. A value is a function of the process
// clock (Clock::current()), so the picture at any moment follows from the state alone and tests
// can drive every animation with a manual clock. Unlike AnimatedValue (Spring.h), which is
// stepped frame by frame and keeps a spring's velocity across retargets, a TimedValue needs no
// ticking; its ease curves are the standard cubic Béziers.

struct TimedMotion {
    enum class Kind { easeOut, easeInOut, spring };
    Kind kind = Kind::easeOut;
    double duration = 0.35;        // ease curves, seconds
    double response = 0.5;         // springs, seconds per undamped oscillation
    double dampingFraction = 0.8;  // springs
    double delay = 0;              // seconds before the motion starts

    static TimedMotion easeOut(double duration, double delay = 0);
    static TimedMotion easeInOut(double duration);
    static TimedMotion spring(double response, double dampingFraction);

    // Fraction of the way from start to target `elapsed` seconds after the delay (a spring may
    // overshoot 1).
    double progress(double elapsed) const;
    // Seconds after the delay when the motion is at rest.
    double settleTime() const;
};

class TimedValue {
public:
    explicit TimedValue(double value = 0) : m_from(value), m_to(value) {}

    double value(double now) const;
    double target() const { return m_to; }
    // Moves from wherever the value is at `now` towards `target`.
    void animate(double target, const TimedMotion& motion, double now);
    bool isMoving(double now) const;

private:
    double m_from;
    double m_to;
    double m_start = 0;
    TimedMotion m_motion;
    bool m_animated = false;
};
