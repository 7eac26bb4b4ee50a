#include "Core/Audio/SoundManager.h"

#include <QFile>

#include <gtest/gtest.h>

namespace {
const QString kSounds = QStringLiteral(VANTROSE_SOURCE_DIR "/resources/sounds");
}

// The four sounds the program plays are our own short 16-bit mono WAV files.
TEST(SoundManagerTest, ShippedSoundsAreShortWavFiles) {
    SoundManager::setSoundsDirectory(kSounds);
    for (const QString name : {"startup", "vantrose_on_off_sound", "paste", "error"}) {
        const QString path = SoundManager::resolve(name, name == "vantrose_on_off_sound" ? "mp3" : "wav");
        ASSERT_FALSE(path.isEmpty()) << name.toStdString();
        EXPECT_TRUE(path.endsWith(name + ".wav"));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray header = file.read(44);
        EXPECT_EQ(header.left(4), "RIFF");
        EXPECT_EQ(header.mid(8, 4), "WAVE");
        EXPECT_LT(file.size(), 100 * 1024);
    }
}

TEST(SoundManagerTest, UnknownOrEscapingNamesResolveToNothing) {
    SoundManager::setSoundsDirectory(kSounds);
    for (const auto& [name, ext] : std::vector<std::pair<QString, QString>>{
             {"missing", "wav"}, {"../sounds/paste", "wav"}, {"", "wav"}, {"paste", "wav/../x"}}) {
        EXPECT_EQ(SoundManager::resolve(name, ext), "") << name.toStdString();
        SoundManager::playCustomSound(name, ext);
        EXPECT_EQ(SoundManager::activeSoundCount(), 0);
    }
}
