#include "UI/Overlay/Faces/FaceMath.h"

#include <QRandomGenerator>

#include <algorithm>
#include <cmath>

namespace Faces {

int IntervalTicker::advance(double dt) {
    m_pending += std::max(0.0, dt);
    int ticks = 0;
    // The small slack keeps 1/60-second frames from drifting a tick late through rounding.
    while (m_pending >= m_interval - 1e-9) {
        m_pending -= m_interval;
        ++ticks;
    }
    return ticks;
}

BarLook idleWaveformBar(int i, double time) {
    const double s = 0.5 + 0.5 * std::sin(0.6 * i + 0.5 * time);
    return {(1 - 0.2 * std::abs(i - 1.5)) * 4 * s + 2.5, 0.15 * s + 0.15};
}

BarLook wakeUpBar(int i, bool sprung) {
    if (!sprung) return {3, 0.1};
    return {(1 - 0.2 * std::abs(i - 2)) * 10 + 8, 0.5};
}

BarLook thinkingBar(int i) {
    const double k = 1 - 0.3 * std::abs(i - 1);
    return {4 * k + 5, 0.3 * k + 0.3};
}

ThinkingLook thinkingLook(int phase) {
    switch (((phase % 4) + 4) % 4) {
    case 0: return {-3, 0.9};
    case 2: return {3, 0.9};
    default: return {0, 1.0};
    }
}

double confusedBarHeight(int i, bool highSide) { return highSide ? 2.0 * i + 6 : 10.0 - 2.0 * i; }

const std::array<TiltStep, 4>& confusedWobble() {
    static const std::array<TiltStep, 4> steps{{{0, 8, 6}, {0.12, -4, 8}, {0.24, 2, 12}, {0.35, 0, 14}}};
    return steps;
}

void PausedBreath::tick() {
    time += 1.0 / 30;
    breathe = 0.45 + 0.2 * std::sin(0.8 * time);
    for (int i = 0; i < int(barBreath.size()); ++i) barBreath[i] = 5 + 2.5 * std::sin(0.7 * i + 0.5 * time);
}

std::vector<PlacedBar> walleBarLayout(double width, const WalleGeometry& g) {
    std::vector<PlacedBar> bars;
    if (g.barCount < 2) return bars;
    const int n = g.barCount / 2;
    const double eyeWidth = n * g.barW + (n - 1) * g.barGap;
    double x = (width - (2 * eyeWidth + g.eyeGap)) / 2;
    for (int k = 0; k < n; ++k) {
        bars.push_back({x, n - 1 - k});
        x += g.barW + g.barGap;
    }
    x += g.eyeGap - g.barGap;
    for (int k = 0; k < n; ++k) {
        bars.push_back({x, k});
        x += g.barW + g.barGap;
    }
    return bars;
}

double walleBarHeight(int i, int n, double t, double smoothLevel, double blinkPhase) {
    const double c = (n - 1) / 2.0;
    const double d = c - i;
    const double envelope = std::max(1 - d * d / (2.0 * n), 0.3);
    const double ripple = 1 + 0.5 * (0.5 + 0.5 * std::sin(0.6 * i + 2 * M_PI * t));
    const double boost = std::max(5 * smoothLevel, 1.0);
    return std::max(3 * ripple * boost * envelope, 3.0) * blinkPhase;
}

double walleBarOpacity(double smoothLevel) { return std::min(2 * smoothLevel, 0.65) + 0.35; }

WalleEyesState::Tick WalleEyesState::tick(double now, float rawLevel, bool hasPipeline, float volume, double blinkPhase,
                                          double nextBlinkDelay) {
    const double dt = now - prevTime;
    prevTime = now;
    if (!(dt > 0.001) || !(dt < 0.5)) return Tick::recordedTimeOnly;
    const double v = hasPipeline && rawLevel > 0.001f ? double(rawLevel) : double(volume);
    smoothLevel = smoothLevel < v ? 0.5 * v + 0.5 * smoothLevel : 0.08 * v + 0.92 * smoothLevel;
    if (nextBlinkAt <= now && blinkPhase >= 0.95) {
        nextBlinkAt = now + nextBlinkDelay;
        return Tick::blinkStarted;
    }
    return Tick::updated;
}

bool PersistentEyesState::tick(float volume, double jitter, double blinkPhase, double nextBlinkDelay) {
    time += 1.0 / 60;
    const double v = volume;
    smoothVolume = smoothVolume < v ? 0.7 * v + 0.3 * smoothVolume : 0.1 * v + 0.9 * smoothVolume;
    const double level = std::min(jitter * smoothVolume, 1.0);
    for (int k = 0; k < barsPerEye - 1; ++k) leftBars[k] = leftBars[k + 1] * 0.92;
    leftBars[barsPerEye - 1] = level;
    for (int k = barsPerEye - 1; k >= 1; --k) rightBars[k] = rightBars[k - 1] * 0.92;
    rightBars[0] = level;
    if (nextBlinkAt <= time && blinkPhase >= 0.95) {
        nextBlinkAt = time + nextBlinkDelay;
        return true;
    }
    return false;
}

BarLook waveBar(const std::array<double, PersistentEyesState::barsPerEye>& bars, int i, double time,
                double blinkPhase) {
    constexpr int n = PersistentEyesState::barsPerEye;
    double a = i >= 0 && i < n ? bars[i] : 0.0;
    a *= 0.65 + 0.35 * i / double(std::max(n - 1, 1));
    double h = a * 42 + (0.1 + 0.1 * std::sin(0.7 * i + (0.25 * i + 0.6) * time)) * 4 + 3;
    h = std::max(h, 3.0) * blinkPhase;
    return {std::max(h, 1.5), a * 0.72 + 0.28};
}

double uniform(double lo, double hi) { return lo + (hi - lo) * QRandomGenerator::global()->generateDouble(); }

}  // namespace Faces
