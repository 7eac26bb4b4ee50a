#include "App/ShellRules.h"

#include <gtest/gtest.h>

#include <vector>

using namespace ShellRules;

namespace {

TEST(ShellRules, WindowSizesFollowTheScreenWithTheirMinimums) {
    // 1440 x 875: half the width (720) and 55 % of the height (481.25) are below the hub's minimums.
    const QRect laptop(0, 25, 1440, 875);
    EXPECT_EQ(hubGeometry(laptop).size(), QSize(750, 500));
    EXPECT_EQ(onboardingGeometry(laptop).size(), QSize(792, 550));
    EXPECT_EQ(hubGeometry(laptop).center(), laptop.center());
    const QRect large(1920, 0, 2560, 1400);  // a second monitor to the right
    EXPECT_EQ(hubGeometry(large), QRect(1920 + 640, 315, 1280, 770));
    // Content that asks for more opens the hub larger, never beyond the screen.
    EXPECT_EQ(hubGeometry(laptop, QSize(900, 640)).size(), QSize(900, 640));
    EXPECT_EQ(hubGeometry(laptop, QSize(600, 400)).size(), QSize(750, 500));
    EXPECT_EQ(hubGeometry(QRect(0, 0, 1024, 600), QSize(1100, 700)).size(), QSize(1024, 540));
}

TEST(ShellRules, OverlaySitsCentredTwentyPixelsAboveTheBottom) {
    EXPECT_EQ(overlayOrigin(QRect(0, 0, 1280, 800), QSize(400, 160)), QPoint(440, 620));
    EXPECT_EQ(overlayOrigin(QRect(1280, 30, 1920, 1050), QSize(400, 160)), QPoint(1280 + 760, 900));
}

std::vector<double> fade(OverlayFrame frame, const OverlayInput& input, int ticks) {
    std::vector<double> seen;
    for (int i = 0; i < ticks; ++i) {
        frame = nextOverlayFrame(frame, input);
        seen.push_back(frame.visible ? frame.opacity : -1.0);
    }
    return seen;
}

TEST(ShellRules, OverlayFadesInOverThreeTicksAndOutOverFour) {
    const OverlayInput listening{DictationStatus::listening};
    EXPECT_EQ(fade({}, listening, 4), (std::vector<double>{0.4, 0.8, 1.0, 1.0}));
    const std::vector<double> out = fade({true, 1.0, false}, OverlayInput{DictationStatus::idle}, 5);
    ASSERT_EQ(out.size(), 5u);
    EXPECT_NEAR(out[0], 0.7, 1e-9);
    EXPECT_NEAR(out[1], 0.4, 1e-9);
    EXPECT_NEAR(out[2], 0.1, 1e-9);
    EXPECT_EQ(out[3], -1.0);  // ordered out
    EXPECT_EQ(out[4], -1.0);
}

struct WantCase {
    DictationStatus status = DictationStatus::idle;
    bool showOverlay;
    bool suggestion;
    bool wanted;
};

TEST(ShellRules, OverlayIsWantedForActiveStatusesOrASuggestionUnlessSwitchedOff) {
    const std::vector<WantCase> cases = {
        {DictationStatus::idle, true, false, false},        {DictationStatus::dismissed, true, false, false},
        {DictationStatus::testing, true, false, false},     {DictationStatus::idle, true, true, true},
        {DictationStatus::initializing, true, false, true}, {DictationStatus::error, true, false, true},
        {DictationStatus::inserting, true, false, true},    {DictationStatus::listening, false, false, false},
        {DictationStatus::idle, false, true, false},
    };
    for (const WantCase& c : cases)
        EXPECT_EQ(overlayWanted({c.status, c.showOverlay, c.suggestion, false}), c.wanted)
            << rawValue(c.status).toStdString() << " show=" << c.showOverlay << " suggestion=" << c.suggestion;
}

TEST(ShellRules, OnlyAHandsFreeDictationListeningOrPausedTakesClicks) {
    const struct {
        DictationStatus status = DictationStatus::idle;
        bool persistent;
        bool accepts;
    } cases[] = {
        {DictationStatus::listening, true, true},   {DictationStatus::paused, true, true},
        {DictationStatus::processing, true, false}, {DictationStatus::stopping, true, false},
        {DictationStatus::listening, false, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(nextOverlayFrame({}, {c.status, true, false, c.persistent}).acceptsMouse, c.accepts)
            << rawValue(c.status).toStdString();
}

}  // namespace
