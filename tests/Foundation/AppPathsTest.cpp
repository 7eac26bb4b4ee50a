#include "Foundation/AppPaths.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

// The first root holding `folder/file`, relative to `base`; empty when none does.
QString found(const QStringList& roots, const QString& base, const QString& relative) {
    for (const QString& root : roots)
        if (QFile::exists(root + QLatin1Char('/') + relative)) return QDir(base).relativeFilePath(root);
    return {};
}

}  // namespace

// Sounds and videos are found from wherever the program runs: installed, or in a build folder
// configured anywhere (inside the checkout or not), by the program, its tests and benchmarks.
TEST(AppPathsTest, TheProgramsResourcesAreFoundInEveryLayout) {
    struct Case {
        const char* layout;
        const char* program;  // the executable's folder
        const char* staged;   // where the resources lie; empty: nowhere
        const char* expected;
    };
    const Case cases[] = {
        {"installed", "usr/bin", "usr/share/vantrose", "usr/share/vantrose"},
        {"build folder outside the checkout", "elsewhere/build/src", "elsewhere/build/share/vantrose",
         "elsewhere/build/share/vantrose"},
        {"its tests", "elsewhere/build/tests", "elsewhere/build/share/vantrose", "elsewhere/build/share/vantrose"},
        {"its benchmarks", "elsewhere/build/bench", "elsewhere/build/share/vantrose", "elsewhere/build/share/vantrose"},
        {"a data folder", "opt/vantrose/bin", "data/vantrose", "data/vantrose"},
        {"nothing staged", "opt/vantrose/bin", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.layout);
        QTemporaryDir base;
        ASSERT_TRUE(base.isValid());
        const QString program = base.filePath(QString::fromUtf8(c.program));
        ASSERT_TRUE(QDir().mkpath(program));
        if (*c.staged) {
            const QString sounds = base.filePath(QString::fromUtf8(c.staged) + "/sounds");
            ASSERT_TRUE(QDir().mkpath(sounds));
            QFile paste(sounds + "/paste.wav");
            ASSERT_TRUE(paste.open(QIODevice::WriteOnly));
        }
        const QStringList roots = AppPaths::resourceRootsFor(program, {base.filePath("data")});
        EXPECT_EQ(found(roots, base.path(), "sounds/paste.wav"), QString::fromUtf8(c.expected));
    }
}

// This build stages its resources beside its programs, as an installation has them.
TEST(AppPathsTest, ThisBuildFindsItsStagedSounds) {
    const QString path = AppPaths::resourceFile("sounds", "paste.wav");
    EXPECT_EQ(path, QDir(QStringLiteral(VANTROSE_BINARY_DIR "/share/vantrose/sounds/paste.wav")).absolutePath());
    EXPECT_FALSE(AppPaths::resourceFile("videos", "tv_zoom.mp4").isEmpty());
    EXPECT_TRUE(AppPaths::resourceFile("sounds", "../sounds/paste.wav").isEmpty());
    EXPECT_TRUE(AppPaths::resourceFile("..", "vantrose/sounds").isEmpty());
}
