#include "UI/Motion/MotionClock.h"
#include "UI/Motion/Spring.h"

#include "support/TestEnvironment.h"

#include <QObject>

#include <gtest/gtest.h>

namespace {

double runFor(AnimatedValue& value, double seconds, double frame = 1.0 / 60) {
    for (double t = 0; t < seconds; t += frame) value.step(frame);
    return value.value();
}

TEST(OverlaySpring, SettlesOnTargetForEveryKindOfAnimation) {
    const Animation animations[] = {
        Animation::spring(0.12, 0.88),
        Animation::spring(0.1, 0.5),
        Animation::spring(0.5, 0.75),
        Animation::easeOut(0.6),
        Animation::easeIn(0.04),
        Animation::easeInOut(1.2),
        Animation::physicalSpring(1, 200, 6),
    };
    for (const Animation& animation : animations) {
        AnimatedValue value(40);
        value.animateTo(140, animation);
        EXPECT_TRUE(value.isAnimating());
        EXPECT_DOUBLE_EQ(runFor(value, 3.0), 140);
        EXPECT_FALSE(value.isAnimating());
    }
}

TEST(OverlaySpring, UnderdampedSpringOvershootsAndCriticalDoesNot) {
    AnimatedValue bouncy(1.0), stiff(1.0);
    bouncy.animateTo(1.08, Animation::spring(0.1, 0.5));
    stiff.animateTo(1.08, Animation::spring(0.1, 1.0));
    double bouncyMax = 0, stiffMax = 0;
    for (int i = 0; i < 60; ++i) {
        bouncy.step(1.0 / 60);
        stiff.step(1.0 / 60);
        bouncyMax = std::max(bouncyMax, bouncy.value());
        stiffMax = std::max(stiffMax, stiff.value());
    }
    EXPECT_GT(bouncyMax, 1.09);
    EXPECT_LE(stiffMax, 1.08 + 1e-9);
}

TEST(OverlaySpring, CurveFollowsItsDurationAndJumpsHaveNoMotion) {
    AnimatedValue value(0);
    value.animateTo(1, Animation::easeOut(0.6));
    value.step(0.3);
    EXPECT_GT(value.value(), 0.5);  // ease-out: more than half the way at half the time
    EXPECT_LT(value.value(), 1.0);
    value.step(0.3);
    EXPECT_DOUBLE_EQ(value.value(), 1.0);

    value.animateTo(5, Animation::none());
    EXPECT_DOUBLE_EQ(value.value(), 5);
    EXPECT_FALSE(value.isAnimating());
}

TEST(OverlaySpring, ManualClockRunsStepsInOrderAndTicksUntilDone) {
    MotionClock clock(MotionClock::Mode::manual);
    QObject owner;
    std::vector<int> order;
    clock.schedule(&owner, 0.3, [&] { order.push_back(3); });
    clock.schedule(&owner, 0.1, [&] { order.push_back(1); });
    clock.schedule(&owner, 0.15, [&] { order.push_back(2); });
    int ticks = 0;
    clock.requestTicks(&owner, [&](double) { return ++ticks < 5; });
    clock.advance(0.2);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(ticks, 5);
    clock.advance(0.1);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_NEAR(clock.now(), 0.3, 1e-9);

    {
        QObject gone;
        clock.schedule(&gone, 0.1, [&] { order.push_back(99); });
    }
    clock.advance(0.2);
    EXPECT_EQ(order.size(), 3u);  // a step whose owner went away is dropped
}

TEST(OverlaySpring, RealClockTicksOnlyWhileSomethingMoves) {
    MotionClock clock(MotionClock::Mode::real);
    QObject owner;
    AnimatedValue value(0);
    value.animateTo(1, Animation::spring(0.12, 0.88));
    clock.requestTicks(&owner, [&](double dt) {
        value.step(dt);
        return value.isAnimating();
    });
    EXPECT_TRUE(clock.isTicking());
    ASSERT_TRUE(waitUntil([&] { return !clock.isTicking(); }));
    EXPECT_DOUBLE_EQ(value.value(), 1.0);
}

}  // namespace
