#pragma once

#include <array>
#include <limits>
#include <vector>

// The shapes and motion rules of the pill's faces, kept free of widgets so they can be checked
// directly. Sizes are in pixels (one per point), times in seconds.
namespace Faces {

struct BarLook {
    double height = 0;
    double opacity = 0;
};

// Counts fixed-interval ticks out of the variable frame steps of the display clock; a delayed frame
// yields its missed ticks late, so tick-counted time falls behind wall time rather than jumping.
class IntervalTicker {
public:
    explicit IntervalTicker(double interval) : m_interval(interval) {}
    int advance(double dt);

private:
    double m_interval;
    double m_pending = 0;
};

// Idle pill: bar i (0 next to the middle gap, 3 at the edge) of either mirrored group.
BarLook idleWaveformBar(int i, double time);
// Start-up: bar i of five, before and after its spring.
BarLook wakeUpBar(int i, bool sprung);
// Thinking: bar i of an eye (same in both eyes).
BarLook thinkingBar(int i);

struct ThinkingLook {
    double lookOffset = 0;
    double eyeScale = 1;
};
ThinkingLook thinkingLook(int phase);

// Error: bar i of the eye whose high side is outward (true) or the mirrored one.
double confusedBarHeight(int i, bool highSide);

struct TiltStep {
    double at;       // seconds after the face is shown
    double target;   // degrees
    double damping;  // physical damping of a mass-1, stiffness-200 spring
};
const std::array<TiltStep, 4>& confusedWobble();

// Breathing of the paused label (opacity of "Paused") and its bars.
struct PausedBreath {
    double time = 0;
    double breathe = 0.3;
    std::array<double, 6> barBreath{3, 3, 3, 3, 3, 3};
    void tick();  // one tick of 1/30 s
};

// ---- listening eyes -------------------------------------------------------------------------

struct WalleGeometry {
    int barCount = 10;
    double barW = 2.5;
    double barGap = 2.0;
    double eyeGap = 5.0;
};

struct PlacedBar {
    double x;   // left edge
    int index;  // 0 next to the gap between the eyes
};
// Left-to-right bars of both eyes, centred in a canvas `width` wide; empty below two bars.
std::vector<PlacedBar> walleBarLayout(double width, const WalleGeometry& g = {});
// Height (already opened/closed by blinkPhase, before the 2-pixel floor) of bar i of n at time t.
double walleBarHeight(int i, int n, double t, double smoothLevel, double blinkPhase);
double walleBarOpacity(double smoothLevel);

// The per-frame state of the push-to-talk eyes apart from the animated blink.
struct WalleEyesState {
    enum class Tick { recordedTimeOnly, updated, blinkStarted };

    double smoothLevel = 0;
    // The first frame only records the time, so the eyes blink on the second.
    double nextBlinkAt = -std::numeric_limits<double>::infinity();
    double prevTime = std::numeric_limits<double>::quiet_NaN();

    // `nextBlinkDelay` is the random pause (3 to 6 s) used if a blink starts on this frame.
    Tick tick(double now, float rawLevel, bool hasPipeline, float volume, double blinkPhase, double nextBlinkDelay);
};

// The per-tick state of the hands-free eyes apart from the animated blink.
struct PersistentEyesState {
    static constexpr int barsPerEye = 6;

    double time = 0;
    double nextBlinkAt = 3.5;
    double smoothVolume = 0;
    std::array<double, barsPerEye> leftBars{};
    std::array<double, barsPerEye> rightBars{};

    // One tick of 1/60 s; `jitter` in 0.88..1.12, `nextBlinkDelay` in 3..6. True when a blink starts.
    bool tick(float volume, double jitter, double blinkPhase, double nextBlinkDelay);
};

// Bar i of one eye of the hands-free eyes; an index past the list reads as level 0.
BarLook waveBar(const std::array<double, PersistentEyesState::barsPerEye>& bars, int i, double time, double blinkPhase);

// A uniformly random value in [lo, hi].
double uniform(double lo, double hi);

}  // namespace Faces
