#include "UI/Overlay/OverlayPillRules.h"

#include <gtest/gtest.h>

namespace {

using namespace OverlayPill;
using S = DictationStatus;

struct LookCase {
    S status;
    bool hovered, persistent, expanded, textPresent;
    QSizeF size;
    double radius;
    Face face;
};

TEST(OverlayPillRules, SizeCornersAndFaceFollowTheStatus) {
    const LookCase cases[] = {
        {S::idle, false, false, false, false, {40, 10}, 5, Face::idleWaveform},
        {S::idle, true, false, false, false, {140, 36}, 16, Face::hoverHint},
        {S::dismissed, false, false, true, true, {40, 10}, 5, Face::idleWaveform},
        {S::testing, true, true, true, true, {140, 36}, 16, Face::hoverHint},
        {S::initializing, false, false, false, false, {56, 34}, 16, Face::wakeUpStretch},
        {S::inserting, false, false, true, true, {56, 34}, 16, Face::happyEyes},
        {S::error, true, false, false, false, {56, 34}, 16, Face::confusedEyes},
        // Hands-free listening always shows the persistent eyes, never the live text.
        {S::listening, false, true, true, true, {340, 78}, 16, Face::persistentEyes},
        {S::listening, false, true, true, false, {200, 42}, 16, Face::persistentEyes},
        {S::listening, false, true, false, true, {200, 42}, 16, Face::persistentEyes},
        {S::listening, false, false, true, true, {320, 74}, 16, Face::listeningEyesWithText},
        {S::listening, false, false, true, false, {120, 40}, 16, Face::listeningEyes},
        {S::listening, false, false, false, true, {100, 38}, 16, Face::listeningEyes},
        {S::paused, false, true, false, false, {190, 40}, 16, Face::persistentPausedLabel},
        {S::paused, false, false, true, true, {100, 36}, 16, Face::pausedLabel},
        {S::stopping, false, false, true, true, {300, 66}, 16, Face::thinkingEyesWithText},
        {S::processing, false, true, true, true, {300, 66}, 16, Face::thinkingEyesWithText},
        {S::retrying, false, false, true, false, {56, 34}, 16, Face::thinkingEyes},
        {S::processing, false, false, false, true, {56, 34}, 16, Face::thinkingEyes},
    };
    for (const LookCase& c : cases) {
        const Inputs in{c.status, c.hovered, c.persistent, c.expanded, c.textPresent};
        SCOPED_TRACE(rawValue(c.status).toStdString() + (c.hovered ? " hovered" : "") +
                     (c.persistent ? " persistent" : "") + (c.expanded ? " expanded" : "") +
                     (c.textPresent ? " text" : ""));
        EXPECT_EQ(pillSize(in), c.size);
        EXPECT_DOUBLE_EQ(cornerRadius(in), c.radius);
        EXPECT_EQ(pillContent(in), c.face);
    }
}

TEST(OverlayPillRules, OutlineAndShadowPerStatus) {
    struct Case {
        S status;
        const char* hex;
        double opacity;
        double shadowRadius, shadowOffset;
    };
    const Case cases[] = {
        {S::error, "#F5A623", 0.12, 16, 4},      {S::inserting, "#FFFFFF", 0.15, 16, 4},
        {S::listening, "#FFFFFF", 0.12, 16, 4},  {S::idle, "#FFFFFF", 0.06, 4, 2},
        {S::dismissed, "#FFFFFF", 0.06, 4, 2},   {S::testing, "#FFFFFF", 0.06, 4, 2},
        {S::processing, "#FFFFFF", 0.06, 16, 4}, {S::paused, "#FFFFFF", 0.06, 16, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(rawValue(c.status).toStdString());
        EXPECT_EQ(borderColor(c.status).hex, QLatin1String(c.hex));
        EXPECT_DOUBLE_EQ(borderColor(c.status).opacity, c.opacity);
        EXPECT_DOUBLE_EQ(shadow(c.status).radius, c.shadowRadius);
        EXPECT_DOUBLE_EQ(shadow(c.status).offsetY, c.shadowOffset);
    }
}

TEST(OverlayPillRules, BandSmoothingRisesFastFallsSlowlyAndKeepsTenEntries) {
    std::vector<float> smooth(10, 0.0f);
    smoothBands(smooth, std::vector<float>(10, 1.0f));
    EXPECT_FLOAT_EQ(smooth[0], 0.7f);
    smooth.assign(10, 1.0f);
    smoothBands(smooth, std::vector<float>(10, 0.0f));
    EXPECT_FLOAT_EQ(smooth[9], 0.75f);
    smoothBands(smooth, std::vector<float>(10, 0.0f));
    EXPECT_FLOAT_EQ(smooth[9], 0.5625f);

    struct Case {
        size_t count;
        size_t changed;
    };
    for (const Case c : {Case{6, 6}, Case{12, 10}, Case{0, 0}}) {
        std::vector<float> s(10, 0.0f);
        smoothBands(s, std::vector<float>(c.count, 1.0f));
        ASSERT_EQ(s.size(), 10u);
        for (size_t i = 0; i < 10; ++i) EXPECT_FLOAT_EQ(s[i], i < c.changed ? 0.7f : 0.0f) << c.count << " " << i;
    }
}

TEST(OverlayPillRules, ElideHeadKeepsTheNewestWords) {
    const auto fitsIn = [](int chars) { return [chars](const QString& s) { return s.size() <= chars; }; };
    EXPECT_EQ(elideHead(QStringLiteral("short text"), fitsIn(20)), QStringLiteral("short text"));
    EXPECT_EQ(elideHead(QString(), fitsIn(0)), QString());
    // Cut at a word start, so the first word shown is whole.
    EXPECT_EQ(elideHead(QStringLiteral("one two three four five"), fitsIn(12)), QStringLiteral("…four five"));
    // One long word: cut inside it rather than show nothing.
    const QString shown = elideHead(QStringLiteral("supercalifragilisticexpialidocious"), fitsIn(10));
    EXPECT_EQ(shown, QStringLiteral("…lidocious"));
    // A cut that would land between the halves of an emoji moves past the whole emoji.
    const QString emoji = QString::fromUtf8("😀😀😀😀😀😀");
    EXPECT_EQ(elideHead(emoji, fitsIn(6)), QString::fromUtf8("…😀😀"));
}

}  // namespace
