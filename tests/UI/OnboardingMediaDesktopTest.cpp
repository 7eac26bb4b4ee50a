// The onboarding's own media as the desktop plays them: both background videos decode, show
// frames and loop; the onboarding sounds come out of the desktop's speakers; a missing file is
// skipped without a sound or a frame.
#include "Core/Audio/SoundManager.h"
#include "UI/Onboarding/OnboardingMedia.h"
#include "UI/Onboarding/VideoBackgroundView.h"

#include "support/MicFeeder.h"
#include "support/SinkMonitor.h"
#include "support/TestEnvironment.h"

#include <QElapsedTimer>
#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace std::chrono_literals;
constexpr auto kDeadline = 30s;

int brightest(const QImage& image) {
    int best = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) best = std::max(best, qGray(image.pixel(x, y)));
    return best;
}

class OnboardingMediaDesktopTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!MicFeeder::available()) GTEST_SKIP() << "needs the virtual desktop (scripts/with-desktop.sh)";
        SoundManager::setSoundsDirectory(QStringLiteral(VANTROSE_SOURCE_DIR "/resources/sounds"));
    }
    void TearDown() override { SoundManager::setSoundsDirectory({}); }
};

TEST_F(OnboardingMediaDesktopTest, BothVideosDecodeShowFramesAndLoop) {
    struct Case {
        const char* name;
        double seconds;  // the clip's length
    };
    for (const Case& c : {Case{"tv_zoom", 4}, Case{"steps_bg", 6}}) {
        SCOPED_TRACE(c.name);
        VideoBackgroundView video(c.name, "mp4", "videos");
        ASSERT_TRUE(video.isPlaying());
        QElapsedTimer clock;
        qint64 lastFrameMs = -1;
        QObject::connect(&video, &VideoBackgroundView::frameChanged, [&] { lastFrameMs = clock.elapsed(); });
        ASSERT_TRUE(waitUntil([&] { return video.layer().hasFrame(); }, kDeadline)) << "no frame decoded";
        clock.start();

        QImage painted(240, 150, QImage::Format_RGB32);
        painted.fill(Qt::black);
        QPainter painter(&painted);
        video.layer().paint(painter, painted.rect(), 1.0);
        painter.end();
        EXPECT_GT(brightest(painted), 60) << "the frame drew nothing but black";

        // Frames still come after the clip's length: the player went round again.
        EXPECT_TRUE(waitUntil([&] { return lastFrameMs > c.seconds * 1000 + 500; }, kDeadline))
            << "last frame at " << lastFrameMs << " ms";
    }

    VideoBackgroundView missing("no_such_video", "mp4", "videos");
    EXPECT_FALSE(missing.isPlaying());
    EXPECT_FALSE(missing.layer().hasFrame());
}

TEST_F(OnboardingMediaDesktopTest, OnboardingSoundsAreHeardAndAMissingOneIsSkipped) {
    SinkMonitor speakers;
    ASSERT_TRUE(speakers.start()) << "parec cannot record the test desktop's speakers";
    const std::pair<const char*, const char*> sounds[] = {
        {"vantrose_first_onboarding_sound", "mp3"}, {"step_forward", "wav"}, {"complete", "wav"}};
    for (const auto& [name, ext] : sounds) {
        SCOPED_TRACE(name);
        speakers.reset();
        SFX::shared().play(name, ext);
        EXPECT_TRUE(waitUntil([&] { return speakers.loudSamples() > 0; }, kDeadline));
        EXPECT_TRUE(waitUntil([] { return SoundManager::activeSoundCount() == 0; }, kDeadline));
    }

    SFX::shared().play("no_such_sound", "wav");
    EXPECT_EQ(SoundManager::activeSoundCount(), 0);
}

}  // namespace
