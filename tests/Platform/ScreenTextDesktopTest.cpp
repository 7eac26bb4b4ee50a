#include "Platform/Linux/PrimarySelectionReader.h"
#include "Platform/Linux/ScreenGrabber.h"
#include "Platform/Linux/TesseractRecognizer.h"

#include "support/AtspiFixtureProcess.h"
#include "support/TestEnvironment.h"

#include <QCursor>
#include <QFont>
#include <QGuiApplication>
#include <QLabel>
#include <QProcess>
#include <QScreen>

#include <gtest/gtest.h>

namespace {

// A window showing `text` in large type at the top left; the pointer is moved onto it.
std::unique_ptr<QLabel> showSentence(const QString& text) {
    auto label = std::make_unique<QLabel>(text);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(28);
    label->setFont(font);
    label->setStyleSheet(QStringLiteral("background: white; color: black; padding: 24px;"));
    label->setWindowFlag(Qt::FramelessWindowHint);
    label->move(40, 40);
    label->show();
    QCursor::setPos(120, 80);
    return label;
}

QString recogniseScreen() {
    QString error;
    const auto image = ScreenGrabber::grabMonitorUnderPointer(&error);
    if (!image)
        return QStringLiteral("<grab failed: %1>").arg(error);
    auto future = TesseractRecognizer::shared().recognize(*image);
    future.waitForFinished();
    return future.result().lines.join(QLatin1Char(' '));
}

}  // namespace

TEST(ScreenGrabberDesktop, GrabsWholeMonitorInPhysicalPixels) {
    ASSERT_TRUE(ScreenGrabber::canCapture());
    QString error;
    const auto image = ScreenGrabber::grabMonitorUnderPointer(&error);
    ASSERT_TRUE(image.has_value()) << error.toStdString();
    // The test desktop is one 1280×800 monitor; X11 reports device pixels.
    EXPECT_EQ(image->size(), QSize(1280, 800));
}

TEST(ScreenTextDesktop, RecognisesRenderedSentence) {
    auto label = showSentence(QStringLiteral("Project Zephyr notes for Marguerite"));
    QString seen;
    ASSERT_TRUE(waitUntil([&] {
        seen = recogniseScreen();
        return seen.contains(QLatin1String("Zephyr")) && seen.contains(QLatin1String("Marguerite"));
    }, std::chrono::seconds(20))) << seen.toStdString();
}

TEST(PrimarySelectionDesktop, ReadsTargetSelectionButNotAnotherProcesses) {
    AtspiFixtureProcess fixture({QStringLiteral("--text"), QStringLiteral("pick these words")});
    ASSERT_TRUE(fixture.waitUntilReady());
    // Select with the keyboard: Qt then offers the selection as PRIMARY.
    std::optional<QString> text;
    ASSERT_TRUE(waitUntil([&] {
        QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("End"),
                                                      QStringLiteral("shift+Home")});
        text = PrimarySelectionReader::read(fixture.pid(), 500);
        return text.has_value();
    }, std::chrono::seconds(20)));
    EXPECT_EQ(*text, QStringLiteral("pick these words"));
    EXPECT_EQ(PrimarySelectionReader::ownerPid(), fixture.pid());
    EXPECT_FALSE(PrimarySelectionReader::read(fixture.pid() + 100000, 500).has_value());
}
