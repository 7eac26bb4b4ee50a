#include "UI/Motion/MotionClock.h"
#include "UI/Overlay/Faces/IdleFaces.h"
#include "UI/Overlay/Faces/ListeningFaces.h"

#include "support/Pipeline/PipelineHarness.h"
#include "support/TestEnvironment.h"

#include <QImage>
#include <QPainter>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>

namespace {

QImage render(QWidget& face, QSize size) {
    face.resize(size);
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    face.render(&image, {}, {}, QWidget::DrawChildren);
    return image;
}

// Columns [first, last] holding any painted pixel; {-1, -1} when nothing is painted.
std::pair<int, int> paintedColumns(const QImage& image) {
    int first = -1, last = -1;
    for (int x = 0; x < image.width(); ++x)
        for (int y = 0; y < image.height(); ++y)
            if (qAlpha(image.pixel(x, y)) > 0) {
                if (first < 0) first = x;
                last = x;
                break;
            }
    return {first, last};
}

// Height of the painting in a column, counting partly covered edge rows by their coverage.
double paintedHeight(const QImage& image, int x) {
    int sum = 0, strongest = 0;
    for (int y = 0; y < image.height(); ++y) {
        sum += qAlpha(image.pixel(x, y));
        strongest = std::max(strongest, qAlpha(image.pixel(x, y)));
    }
    return strongest == 0 ? 0 : double(sum) / strongest;
}

class FacesDesktopTest : public ::testing::Test {
protected:
    MotionClock clock{MotionClock::Mode::manual};
};

// ---- entrance sequences ---------------------------------------------------------------------

TEST_F(FacesDesktopTest, WakeUpBarsRiseLeftToRightAndSettleOnTheDome) {
    WakeUpStretch face(nullptr, &clock);
    EXPECT_DOUBLE_EQ(face.barLook(0).height, 3);
    clock.advance(0.15);
    EXPECT_GT(face.barLook(0).height, 3.5);
    EXPECT_DOUBLE_EQ(face.barLook(4).height, 3);  // the last bar waits 0.2 s
    EXPECT_DOUBLE_EQ(face.barLook(4).opacity, 0.1);
    clock.advance(2);
    const double risen[] = {14, 16, 18, 16, 14};
    for (int i = 0; i < 5; ++i) {
        EXPECT_NEAR(face.barLook(i).height, risen[i], 1e-6);
        EXPECT_NEAR(face.barLook(i).opacity, 0.5, 1e-6);
    }
}

TEST_F(FacesDesktopTest, HappyEyesSmileThenKeepTheCheckmark) {
    HappyEyes face(nullptr, &clock);
    clock.advance(0.2);
    EXPECT_FALSE(face.checkShown());
    EXPECT_GT(face.smileProgress(), 0.5);
    clock.advance(0.1);
    EXPECT_TRUE(face.checkShown());
    clock.advance(5);
    EXPECT_TRUE(face.checkShown());
    // At rest only the checkmark is drawn: a single painted shape, no pair of eyes.
    const QImage image = render(face, {56, 34});
    const auto [first, last] = paintedColumns(image);
    ASSERT_GE(first, 0);
    EXPECT_LE(last - first + 1, 13);
}

TEST_F(FacesDesktopTest, ConfusedEyesWobbleAndComeToRestLevel) {
    ConfusedEyes face(nullptr, &clock);
    double highest = 0, lowest = 0;
    for (int frame = 0; frame < 30; ++frame) {
        clock.advance(1.0 / 60);
        highest = std::max(highest, face.tilt());
        lowest = std::min(lowest, face.tilt());
    }
    EXPECT_GT(highest, 4);
    EXPECT_LT(lowest, -1);
    clock.advance(3);
    EXPECT_EQ(face.tilt(), 0.0);
}

TEST_F(FacesDesktopTest, HintPopsInAndPausedTextPulses) {
    HoverHint hint(nullptr, &clock);
    PausedLabel paused(nullptr, &clock);
    EXPECT_DOUBLE_EQ(hint.popProgress(), 0);
    EXPECT_DOUBLE_EQ(paused.textOpacity(), 0.25);
    clock.advance(1.2);
    EXPECT_DOUBLE_EQ(hint.popProgress(), 1);
    EXPECT_NEAR(paused.textOpacity(), 0.55, 1e-6);
    clock.advance(1.2);
    EXPECT_NEAR(paused.textOpacity(), 0.25, 1e-6);
    EXPECT_DOUBLE_EQ(hint.popProgress(), 1);
}

TEST_F(FacesDesktopTest, TimerFacesCountTicksAndThinkingGlancesBriefly) {
    IdleWaveform idle(nullptr, &clock);
    ThinkingEyes thinking(nullptr, &clock);
    double offCentreSince = -1, longestOffCentre = 0, right = 0, left = 0;
    for (int frame = 1; frame <= 600; ++frame) {
        clock.advance(1.0 / 60);
        const double t = frame / 60.0;
        const double offset = thinking.lookOffset();
        right = std::max(right, offset);
        left = std::min(left, offset);
        if (std::abs(offset) > 1.5) {
            if (offCentreSince < 0) offCentreSince = t;
            longestOffCentre = std::max(longestOffCentre, t - offCentreSince);
        } else {
            offCentreSince = -1;
        }
        if (frame == 60) {
            EXPECT_LT(std::abs(offset), 1e-9);  // centred for the first 1.2 s
        }
    }
    EXPECT_NEAR(idle.time(), 10.0, 1e-6);
    EXPECT_GT(right, 2.5);
    EXPECT_LT(left, -2.5);
    EXPECT_LE(longestOffCentre, 0.6);
}

TEST(FacesRealClock, FacesMoveOnTheDisplayClockByDefault) {
    IdleWaveform idle;
    EXPECT_TRUE(waitUntil([&] { return idle.time() >= 0.1; }));
}

// ---- listening eyes -------------------------------------------------------------------------

class ListeningFacesTest : public FacesDesktopTest {
protected:
    void SetUp() override { h.setUp(); }
    PipelineHarness h;
    std::vector<float> bands = std::vector<float>(10, 0.f);
};

TEST_F(ListeningFacesTest, WalleEyesAtSilenceAreTwoCentredDomesFortySixWide) {
    WalleEyes eyes(bands, 0, Qt::white, *h.pipeline, nullptr, &clock);
    clock.advance(2);
    const QImage image = render(eyes, {100, 38});
    const auto [first, last] = paintedColumns(image);
    EXPECT_EQ(first, 27);
    EXPECT_EQ(last, 72);
    // Middle bar of each eye (index 2) at most 4.5 high, outer bars (index 4) 3 high.
    EXPECT_LE(paintedHeight(image, 37), 4.7);
    EXPECT_GE(paintedHeight(image, 37), 2.8);
    EXPECT_NEAR(paintedHeight(image, 28), 3, 0.2);
    EXPECT_NEAR(paintedHeight(image, 71), 3, 0.2);
    EXPECT_EQ(qAlpha(image.pixel(50, 19)), 0);  // the gap between the eyes
}

TEST_F(ListeningFacesTest, WalleEyesFollowTheRawLevelAndBlinkOnTheSecondFrame) {
    h.pipeline->startDictation();
    ASSERT_EQ(h.pipeline->status(), DictationStatus::listening);
    h.audio->feed(1, 0.6f);
    ASSERT_GT(h.pipeline->rawAudioLevel(), 0.001f);
    const float raw = h.pipeline->rawAudioLevel();

    WalleEyes eyes(bands, 0.0f, Qt::white, *h.pipeline, nullptr, &clock);
    clock.advance(1.0 / 60);
    EXPECT_DOUBLE_EQ(eyes.state().smoothLevel, 0);  // the first frame records the time only
    clock.advance(1.0 / 60);
    EXPECT_NEAR(eyes.state().smoothLevel, 0.5 * raw, 1e-6);
    clock.advance(0.04);
    EXPECT_LT(eyes.blinkPhase(), 0.2);  // shut
    clock.advance(0.6);
    EXPECT_NEAR(eyes.blinkPhase(), 1.0, 0.05);  // open again
    EXPECT_GT(eyes.state().smoothLevel, 0.9 * raw);

    const QImage image = render(eyes, {100, 38});
    EXPECT_GT(paintedHeight(image, 36), 12);  // loud middle bars stand tall
}

TEST_F(ListeningFacesTest, PersistentControlsActOnTheirOwnTaps) {
    h.pipeline->startPersistentDictation();
    ASSERT_EQ(h.pipeline->status(), DictationStatus::listening);
    int stops = 0;
    PersistentEyes eyes(
        bands, 0.2f, [&] { ++stops; }, *h.pipeline, nullptr, &clock);
    eyes.resize(200, 42);
    eyes.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&eyes));

    QTest::mouseClick(&eyes, Qt::LeftButton, {}, QPoint(100, 21));  // the eyes themselves
    EXPECT_EQ(stops, 0);
    EXPECT_EQ(h.pipeline->status(), DictationStatus::listening);
    QTest::mouseClick(&eyes, Qt::LeftButton, {}, eyes.stopPillRect().center().toPoint());
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(h.pipeline->status(), DictationStatus::listening);  // the action decides, not the face
    QTest::mouseClick(&eyes, Qt::LeftButton, {}, eyes.pauseButtonRect().center().toPoint());
    EXPECT_EQ(h.pipeline->status(), DictationStatus::paused);
    EXPECT_EQ(stops, 1);

    // The red pill sits at the right edge, inside 6 pixels of padding.
    const QRectF stop = eyes.stopPillRect();
    EXPECT_NEAR(stop.right(), 194, 0.5);
    const QImage image = render(eyes, {200, 42});
    const QColor red = image.pixelColor(QPoint(int(stop.left()) + 4, int(stop.center().y())));
    EXPECT_GT(red.red(), 200);
    EXPECT_LT(red.green(), 100);
}

TEST_F(ListeningFacesTest, PauseOutsideHandsFreeListeningChangesNothing) {
    h.pipeline->startDictation();
    PersistentEyes eyes(
        bands, 0, [] {}, *h.pipeline, nullptr, &clock);
    eyes.resize(200, 42);
    eyes.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&eyes));
    QTest::mouseClick(&eyes, Qt::LeftButton, {}, eyes.pauseButtonRect().center().toPoint());
    EXPECT_EQ(h.pipeline->status(), DictationStatus::listening);
}

TEST_F(ListeningFacesTest, PausedLabelRoutesPlayAndStop) {
    int resumes = 0, stops = 0;
    PersistentPausedLabel label([&] { ++resumes; }, [&] { ++stops; }, *h.pipeline, nullptr, &clock);
    label.resize(190, 40);
    label.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&label));
    struct Tap {
        QPoint at;
        int resumes;
        int stops;
    };
    const Tap taps[] = {
        {label.playButtonRect().center().toPoint(), 1, 0},
        {QPoint(95, 20), 1, 0},  // the breathing bars and the word
        {label.stopPillRect().center().toPoint(), 1, 1},
        {QPoint(2, 2), 1, 1},  // the corner outside the play circle
    };
    for (const Tap& tap : taps) {
        QTest::mouseClick(&label, Qt::LeftButton, {}, tap.at);
        EXPECT_EQ(resumes, tap.resumes) << tap.at.x();
        EXPECT_EQ(stops, tap.stops) << tap.at.x();
    }
    // A press on play released over the bars is no tap.
    QTest::mousePress(&label, Qt::LeftButton, {}, label.playButtonRect().center().toPoint());
    QTest::mouseRelease(&label, Qt::LeftButton, {}, QPoint(95, 20));
    EXPECT_EQ(resumes, 1);
    EXPECT_NEAR(label.stopPillRect().right(), 182, 0.5);
}

TEST_F(ListeningFacesTest, HandsFreeEyesTickAtSixtyHertzAndBlinkAfterThreeAndAHalfSeconds) {
    PersistentEyes eyes(
        bands, 0.5f, [] {}, *h.pipeline, nullptr, &clock);
    clock.advance(1.0);
    EXPECT_NEAR(eyes.state().time, 1.0, 1e-6);
    EXPECT_NEAR(eyes.state().smoothVolume, 0.5, 1e-3);
    clock.advance(2.45);
    EXPECT_DOUBLE_EQ(eyes.blinkPhase(), 1.0);
    clock.advance(0.1);
    EXPECT_LT(eyes.blinkPhase(), 0.5);
}

}  // namespace
