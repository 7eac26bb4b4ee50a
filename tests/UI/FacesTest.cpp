#include "UI/Overlay/Faces/FaceMath.h"
#include "UI/Overlay/Faces/IdleFaces.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace Faces;

namespace {

TEST(FaceMath, IdleWaveformBarsStayFaintAndShort) {
    for (double time = 0; time < 30; time += 1.0 / 30) {
        for (int i = 0; i < 4; ++i) {
            const BarLook look = idleWaveformBar(i, time);
            const double highest = (i == 1 || i == 2) ? 6.1 : 5.3;
            EXPECT_GE(look.height, 2.5 - 1e-9) << i;
            EXPECT_LE(look.height, highest + 1e-9) << i;
            EXPECT_GE(look.opacity, 0.15 - 1e-9);
            EXPECT_LE(look.opacity, 0.3 + 1e-9);
        }
    }
}

TEST(FaceMath, FixedBarShapes) {
    const double risen[] = {14, 16, 18, 16, 14};
    for (int i = 0; i < 5; ++i) {
        EXPECT_DOUBLE_EQ(wakeUpBar(i, false).height, 3);
        EXPECT_DOUBLE_EQ(wakeUpBar(i, false).opacity, 0.1);
        EXPECT_NEAR(wakeUpBar(i, true).height, risen[i], 1e-9);
        EXPECT_DOUBLE_EQ(wakeUpBar(i, true).opacity, 0.5);
    }
    const double thinking[] = {7.8, 9, 7.8};
    const double confusedHigh[] = {6, 8, 10};
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(thinkingBar(i).height, thinking[i], 1e-9);
        EXPECT_DOUBLE_EQ(confusedBarHeight(i, true), confusedHigh[i]);
        EXPECT_DOUBLE_EQ(confusedBarHeight(i, false), confusedHigh[2 - i]);
    }
    EXPECT_NEAR(thinkingBar(1).opacity, 0.6, 1e-9);
    EXPECT_DOUBLE_EQ(confusedWobble().back().target, 0);
}

TEST(FaceMath, ThinkingLookReturnsToTheCentreBetweenGlances) {
    // Phases as the 0.6 s ticks advance them from 0: centre, right, centre, left, centre...
    const double offsets[] = {0, 3, 0, -3, 0, 3};
    int phase = 0;
    for (double expected : offsets) {
        phase = (phase + 1) % 4;
        EXPECT_DOUBLE_EQ(thinkingLook(phase).lookOffset, expected);
        EXPECT_DOUBLE_EQ(thinkingLook(phase).eyeScale, expected == 0 ? 1.0 : 0.9);
    }
}

TEST(FaceMath, IntervalTickerCountsWholeTicksAcrossFrames) {
    IntervalTicker thirty(1.0 / 30);
    int ticks = 0;
    for (int frame = 0; frame < 60; ++frame) ticks += thirty.advance(1.0 / 60);
    EXPECT_EQ(ticks, 30);
    IntervalTicker slow(0.6);
    EXPECT_EQ(slow.advance(0.59), 0);
    EXPECT_EQ(slow.advance(0.02), 1);
    EXPECT_EQ(slow.advance(1.2), 2);  // a late frame delivers the ticks it missed
}

TEST(FaceMath, PulsesRepeatWithAutoReverse) {
    EXPECT_DOUBLE_EQ(autoReversingEaseInOut(0, 1.2), 0);
    EXPECT_NEAR(autoReversingEaseInOut(0.6, 1.2), 0.5, 1e-9);
    EXPECT_NEAR(autoReversingEaseInOut(1.2, 1.2), 1, 1e-9);
    EXPECT_NEAR(autoReversingEaseInOut(2.4, 1.2), 0, 1e-9);
    EXPECT_NEAR(autoReversingEaseInOut(3.6, 1.2), 1, 1e-9);
}

TEST(FaceMath, PausedBreathStaysInItsRanges) {
    PausedBreath breath;
    for (int tick = 0; tick < 2000; ++tick) {
        breath.tick();
        EXPECT_GE(breath.breathe, 0.25 - 1e-9);
        EXPECT_LE(breath.breathe, 0.65 + 1e-9);
        for (double h : breath.barBreath) {
            EXPECT_GE(h, 2.5 - 1e-9);
            EXPECT_LE(h, 7.5 + 1e-9);
        }
    }
    EXPECT_NEAR(breath.time, 2000.0 / 30, 1e-6);
}

// ---- push-to-talk eyes ----------------------------------------------------------------------

TEST(FaceMath, WalleLayoutMirrorsTheEyesAroundTheGap) {
    EXPECT_TRUE(walleBarLayout(100, {0}).empty());
    EXPECT_TRUE(walleBarLayout(100, {1}).empty());

    const std::vector<PlacedBar> bars = walleBarLayout(100);
    ASSERT_EQ(bars.size(), 10u);
    const int indices[] = {4, 3, 2, 1, 0, 0, 1, 2, 3, 4};
    for (int k = 0; k < 10; ++k) EXPECT_EQ(bars[k].index, indices[k]) << k;
    EXPECT_DOUBLE_EQ(bars.front().x, 27);  // (100 - 46) / 2
    EXPECT_DOUBLE_EQ(bars.back().x + 2.5 - bars.front().x, 46);
    EXPECT_DOUBLE_EQ(bars[5].x - (bars[4].x + 2.5), 5);  // the eyes stand 5 apart
    EXPECT_DOUBLE_EQ(bars[1].x - (bars[0].x + 2.5), 2);

    const std::vector<PlacedBar> three = walleBarLayout(40, {3});  // odd counts drop the spare bar
    ASSERT_EQ(three.size(), 2u);
    EXPECT_DOUBLE_EQ(three[0].x, (40 - 10.0) / 2);
}

TEST(FaceMath, WalleBarsAtSilenceRippleBetweenThreeAndFourAndAHalf) {
    for (double t = 0; t < 2; t += 0.01) {
        for (int i = 0; i < 5; ++i) {
            const double h = walleBarHeight(i, 5, t, 0, 1);
            EXPECT_GE(h, 3 - 1e-9);
            EXPECT_LE(h, 4.5 + 1e-9);
        }
        EXPECT_DOUBLE_EQ(walleBarHeight(4, 5, t, 0, 1), 3);  // outer bars rest
    }
    EXPECT_DOUBLE_EQ(walleBarOpacity(0), 0.35);
    EXPECT_DOUBLE_EQ(walleBarOpacity(1), 1.0);
    // Loud: the dome 0.6, 0.9, 1.0 scales the boosted ripple; closed eyes shrink every bar.
    const double t = 0.25;  // sin(2πt) = 1
    EXPECT_NEAR(walleBarHeight(2, 5, t, 1, 1), 3 * (1 + 0.5 * (0.5 + 0.5 * std::sin(1.2 + M_PI / 2))) * 5, 1e-9);
    EXPECT_NEAR(walleBarHeight(0, 5, t, 1, 0.08), 3 * (1 + 0.5) * 5 * 0.6 * 0.08, 1e-9);
}

TEST(FaceMath, WalleTickSkipsFirstFrameStallsAndRepeats) {
    WalleEyesState s;
    EXPECT_EQ(s.tick(100, 0, false, 1, 1, 4), WalleEyesState::Tick::recordedTimeOnly);
    EXPECT_DOUBLE_EQ(s.smoothLevel, 0);
    // The second frame moves the level and starts the first blink.
    EXPECT_EQ(s.tick(100.016, 0, false, 1, 1, 4), WalleEyesState::Tick::blinkStarted);
    EXPECT_DOUBLE_EQ(s.smoothLevel, 0.5);
    EXPECT_DOUBLE_EQ(s.nextBlinkAt, 104.016);

    struct Frame {
        double now;
        bool moves;
    };
    const Frame frames[] = {
        {100.0165, false},  // within 0.001 s
        {101.0, false},     // a stall of 0.5 s or more
        {101.5, false},     // exactly 0.5 s
        {101.52, true},
    };
    for (const Frame& f : frames) {
        const double before = s.smoothLevel;
        const auto result = s.tick(f.now, 0, false, 1, 1, 4);
        EXPECT_EQ(result != WalleEyesState::Tick::recordedTimeOnly, f.moves) << f.now;
        EXPECT_EQ(s.smoothLevel != before, f.moves) << f.now;
        EXPECT_DOUBLE_EQ(s.prevTime, f.now);
    }
    EXPECT_DOUBLE_EQ(s.nextBlinkAt, 104.016);
}

TEST(FaceMath, WalleLevelTakesTheRawLevelOnlyWhenAboveTheFloor) {
    struct Case {
        bool hasPipeline;
        float raw;
        float volume;
        double expected;  // first moving frame from 0: half the target
    };
    const Case cases[] = {
        {true, 0.8f, 0.2f, 0.4},
        {true, 0.0f, 0.2f, 0.1},     // no chunk yet
        {true, 0.0009f, 0.2f, 0.1},  // at the floor
        {false, 0.8f, 0.2f, 0.1},    // no pipeline
    };
    for (const Case& c : cases) {
        WalleEyesState s;
        s.tick(10, c.raw, c.hasPipeline, c.volume, 1, 4);
        s.tick(10.02, c.raw, c.hasPipeline, c.volume, 1, 4);
        EXPECT_NEAR(s.smoothLevel, c.expected, 1e-6) << c.raw << " " << c.hasPipeline;
    }
}

TEST(FaceMath, WalleLevelAttacksFastAndReleasesSlowly) {
    WalleEyesState s;
    s.nextBlinkAt = 1e9;
    double now = 0;
    s.tick(now, 0, false, 1, 1, 4);
    const double rising[] = {0.5, 0.75, 0.875};
    for (double expected : rising) {
        s.tick(now += 0.02, 0, false, 1, 1, 4);
        EXPECT_NEAR(s.smoothLevel, expected, 1e-9);
    }
    s.smoothLevel = 1;
    s.tick(now += 0.02, 0, false, 0, 1, 4);
    EXPECT_NEAR(s.smoothLevel, 0.92, 1e-9);
    s.tick(now += 0.02, 0, false, 0, 1, 4);
    EXPECT_NEAR(s.smoothLevel, 0.8464, 1e-9);
}

TEST(FaceMath, NoNewBlinkWhileTheEyesAreStillClosing) {
    WalleEyesState s;
    s.tick(0, 0, false, 0, 1, 4);
    EXPECT_EQ(s.tick(0.02, 0, false, 0, 0.5, 4), WalleEyesState::Tick::updated);
    EXPECT_EQ(s.tick(0.04, 0, false, 0, 0.95, 4), WalleEyesState::Tick::blinkStarted);
    EXPECT_EQ(s.tick(0.06, 0, false, 0, 1, 4), WalleEyesState::Tick::updated);  // next one at 4.04
}

// ---- hands-free eyes ------------------------------------------------------------------------

TEST(FaceMath, PersistentTrailMovesOneBarPerTickAndFades) {
    PersistentEyesState s;
    s.tick(1, 1, 1, 4);  // one loud tick: smoothVolume 0.7
    s.tick(0, 1, 1, 4);  // then silence, released slowly: 0.63
    s.tick(0, 1, 1, 4);  //                                 0.567
    EXPECT_NEAR(s.leftBars[3], 0.7 * 0.92 * 0.92, 1e-9);
    EXPECT_NEAR(s.leftBars[4], 0.63 * 0.92, 1e-9);
    EXPECT_NEAR(s.leftBars[5], 0.567, 1e-9);
    EXPECT_NEAR(s.rightBars[2], 0.7 * 0.92 * 0.92, 1e-9);
    EXPECT_NEAR(s.rightBars[0], 0.567, 1e-9);
    EXPECT_NEAR(s.rightBars[1], 0.63 * 0.92, 1e-9);
    EXPECT_DOUBLE_EQ(s.leftBars[0], 0);
    EXPECT_DOUBLE_EQ(s.rightBars[5], 0);
    EXPECT_NEAR(s.time, 3.0 / 60, 1e-12);

    PersistentEyesState loud;
    for (int i = 0; i < 20; ++i) loud.tick(1, 1.12, 1, 4);
    EXPECT_DOUBLE_EQ(loud.leftBars[5], 1.0);  // the jitter never lifts a level past 1
}

TEST(FaceMath, PersistentFirstBlinkComesAtThreeAndAHalfSeconds) {
    PersistentEyesState s;
    int tick = 0;
    while (!s.tick(0, 1, 1, 4)) ++tick;
    EXPECT_NEAR(s.time, 3.5, 1.0 / 60);
    EXPECT_GE(s.time, 3.5);
    EXPECT_DOUBLE_EQ(s.nextBlinkAt, s.time + 4);
}

TEST(FaceMath, WaveBarsGrowOutwardAndIdleLow) {
    std::array<double, 6> full{};
    full.fill(1);
    const double weights[] = {0.65, 0.72, 0.79, 0.86, 0.93, 1.0};
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(waveBar(full, i, 0, 1).opacity, weights[i] * 0.72 + 0.28, 1e-9);

    const std::array<double, 6> silent{};
    for (int i : {0, 5, 6, 40}) {  // 6 and 40 lie past the list: level 0
        for (double t = 0; t < 20; t += 0.1) {
            const BarLook look = waveBar(silent, i, t, 1);
            EXPECT_GE(look.height, 3 - 1e-9);
            EXPECT_LE(look.height, 3.8 + 1e-9);
            EXPECT_DOUBLE_EQ(look.opacity, 0.28);
        }
    }
    EXPECT_DOUBLE_EQ(waveBar(silent, 0, 0, 0.08).height, 1.5);  // closed: the 1.5 floor
}

}  // namespace
