#include "Core/Audio/SoundManager.h"
#include "support/MicFeeder.h"
#include "support/TestEnvironment.h"

#include <QFile>
#include <QTemporaryDir>

#include <thread>

#include <gtest/gtest.h>

namespace {

class SoundManagerDesktopTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!MicFeeder::available()) GTEST_SKIP() << "needs the test desktop's audio server";
        SoundManager::setSoundsDirectory(QStringLiteral(VANTROSE_SOURCE_DIR "/resources/sounds"));
    }
};

}  // namespace

// Quick repeated calls each play (they never wait for the previous sound), and every sound
// object is released once its sound has finished.
TEST_F(SoundManagerDesktopTest, SoundsPlayWithoutWaitingAndAreReleasedWhenDone) {
    SoundManager::playCustomSound("vantrose_on_off_sound", "mp3");
    SoundManager::playCustomSound("vantrose_on_off_sound", "mp3");
    SoundManager::playCustomSound("paste", "wav");
    EXPECT_EQ(SoundManager::activeSoundCount(), 3);
    EXPECT_TRUE(waitUntil([] { return SoundManager::activeSoundCount() == 0; }, std::chrono::seconds(8)));
}

TEST_F(SoundManagerDesktopTest, AFileThatIsNotASoundPlaysNothing) {
    QTemporaryDir dir;
    QFile bogus(dir.path() + "/error.wav");
    ASSERT_TRUE(bogus.open(QIODevice::WriteOnly));
    bogus.write("this is not a sound file at all");
    bogus.close();
    SoundManager::setSoundsDirectory(dir.path());
    SoundManager::playCustomSound("error", "wav");
    EXPECT_TRUE(waitUntil([] { return SoundManager::activeSoundCount() == 0; }, std::chrono::seconds(8)));
}

TEST_F(SoundManagerDesktopTest, CallsFromOtherThreadsPlayOnTheMainThread) {
    std::thread([] { SoundManager::playCustomSound("startup", "wav"); }).join();
    EXPECT_TRUE(waitUntil([] { return SoundManager::activeSoundCount() == 1; }));
    EXPECT_TRUE(waitUntil([] { return SoundManager::activeSoundCount() == 0; }, std::chrono::seconds(8)));
}
