#include "UI/Onboarding/OnboardingMedia.h"
#include "UI/Motion/TimedValue.h"

#include "Core/Audio/SoundManager.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace {

TEST(OnboardingMotionTest, ValuesFollowTheirCurvesFromWhereTheyAre) {
    TimedValue value(0);
    value.animate(1, TimedMotion::easeOut(0.6, 0.1), 10.0);
    EXPECT_EQ(value.value(10.05), 0) << "nothing moves during the delay";
    EXPECT_GT(value.value(10.4), 0.5) << "an ease-out covers most of the way in its first half";
    EXPECT_EQ(value.value(10.71), 1);
    EXPECT_TRUE(value.isMoving(10.69));
    EXPECT_FALSE(value.isMoving(10.71));

    // Turning back mid-way starts from the value reached, not from either end.
    TimedValue back(0);
    back.animate(1, TimedMotion::easeInOut(1.0), 0);
    const double midway = back.value(0.5);
    back.animate(0, TimedMotion::easeInOut(1.0), 0.5);
    EXPECT_DOUBLE_EQ(back.value(0.5), midway);
    EXPECT_EQ(back.value(1.5), 0);

    // A spring overshoots a little, then rests on its target.
    TimedValue spring(6);
    spring.animate(20, TimedMotion::spring(0.35, 0.7), 0);
    double peak = 0;
    for (double t = 0; t < 1.0; t += 0.01) peak = std::max(peak, spring.value(t));
    EXPECT_GT(peak, 20);
    EXPECT_LT(peak, 21);
    EXPECT_FALSE(spring.isMoving(2.0));
    EXPECT_NEAR(spring.value(2.0), 20, 1e-9);
}

TEST(OnboardingMediaTest, AspectFillCropsTheOverflowEvenly) {
    struct Case {
        QSizeF frame, target;
        QRectF source;
    };
    const Case cases[] = {
        {{1920, 1080}, {700, 700}, {420, 0, 1080, 1080}},  // wide video, square window: sides cropped
        {{1080, 1920}, {800, 400}, {0, 690, 1080, 540}},   // tall video, wide window: top and bottom
        {{1600, 900}, {800, 450}, {0, 0, 1600, 900}},      // same proportions: nothing cropped
        {{0, 0}, {800, 450}, {}},
    };
    for (const Case& c : cases) {
        const QRectF source = aspectFillSource(c.frame, c.target);
        EXPECT_NEAR(source.x(), c.source.x(), 1e-6);
        EXPECT_NEAR(source.y(), c.source.y(), 1e-6);
        EXPECT_NEAR(source.width(), c.source.width(), 1e-6);
        EXPECT_NEAR(source.height(), c.source.height(), 1e-6);
    }
}

TEST(OnboardingMediaTest, LogoIsRoundCentredAndColouredBySector) {
    // A wide area: the logo takes the height and stays round in the middle.
    QImage image(300, 100, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        GoogleLogoOnboarding::paint(painter, QRectF(0, 0, 300, 100));
    }
    const QPointF c(150, 50);
    const double r = 45;
    auto at = [&](double degrees, double radius) {
        const double a = degrees * std::numbers::pi / 180;
        return image.pixelColor(int(c.x() + radius * std::cos(a)), int(c.y() + radius * std::sin(a)));
    };
    struct Probe {
        double degrees;
        QColor colour;
    };
    // Angles grow clockwise on screen: 90° is straight down.
    const Probe ring[] = {
        {-20, QColor::fromRgbF(0.26f, 0.52f, 0.96f)},
        {55, QColor::fromRgbF(0.2f, 0.66f, 0.33f)},
        {145, QColor::fromRgbF(0.98f, 0.74f, 0.02f)},
        {250, QColor::fromRgbF(0.92f, 0.26f, 0.21f)},
    };
    auto expectColour = [](const QColor& seen, const QColor& expected, const char* what) {
        EXPECT_NEAR(seen.red(), expected.red(), 2) << what;
        EXPECT_NEAR(seen.green(), expected.green(), 2) << what;
        EXPECT_NEAR(seen.blue(), expected.blue(), 2) << what;
        EXPECT_EQ(seen.alpha(), 255) << what;
    };
    for (const Probe& p : ring) expectColour(at(p.degrees, 0.8 * r), p.colour, "sector");
    expectColour(at(250, 0.4 * r), Qt::white, "the inside of the ring");
    expectColour(at(0, 0.5 * r), ring[0].colour, "the bar");
    EXPECT_EQ(at(180, 1.05 * r).alpha(), 0) << "nothing outside the circle";
    EXPECT_EQ(image.pixelColor(20, 50).alpha(), 0);
    EXPECT_EQ(image.pixelColor(280, 50).alpha(), 0);
}

TEST(OnboardingMediaTest, ResourcesAreFoundBesideTheSoundsFolder) {
    const QString root = TestEnvironment::root() + "/resources";
    ASSERT_TRUE(QDir().mkpath(root + "/sounds"));
    ASSERT_TRUE(QDir().mkpath(root + "/videos"));
    QFile video(root + "/videos/tv_zoom.mp4");
    ASSERT_TRUE(video.open(QIODevice::WriteOnly));
    video.close();
    SoundManager::setSoundsDirectory(root + "/sounds");

    EXPECT_EQ(onboardingResource("videos", "tv_zoom", "mp4"), QFileInfo(video).absoluteFilePath());
    EXPECT_TRUE(onboardingResource("videos", "steps_bg", "mp4").isEmpty());
    EXPECT_TRUE(onboardingResource("videos", "../videos/tv_zoom", "mp4").isEmpty());
    // Missing font files are skipped without harm, however often this runs.
    registerCustomFonts();
    registerCustomFonts();
    SoundManager::setSoundsDirectory({});
}

}  // namespace
