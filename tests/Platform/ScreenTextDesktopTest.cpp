#include "Platform/Linux/TesseractRecognizer.h"
#include "Platform/X11/PrimarySelectionReader.h"
#include "Platform/X11/ScreenGrabber.h"

#include "support/AtspiFixtureProcess.h"
#include "support/TestEnvironment.h"

#include <QCursor>
#include <QFont>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QProcess>
#include <QScreen>

#include <gtest/gtest.h>

#include <thread>

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
    if (!image) return QStringLiteral("<grab failed: %1>").arg(error);
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
    ASSERT_TRUE(waitUntil(
        [&] {
            seen = recogniseScreen();
            return seen.contains(QLatin1String("Zephyr")) && seen.contains(QLatin1String("Marguerite"));
        },
        std::chrono::seconds(20)))
        << seen.toStdString();
}

// Threads that wait for their own recognition may run it themselves while the worker runs
// another; the one engine must still see one image at a time, and each caller its own text.
TEST(ScreenTextDesktop, ConcurrentRecognitionsEachGetTheirOwnText) {
    const QStringList words{QStringLiteral("Harbour lantern"), QStringLiteral("Velvet meadow"),
                            QStringLiteral("Copper kettle")};
    QList<QImage> images;
    for (const QString& text : words) {
        QImage image(560, 90, QImage::Format_RGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPixelSize(36);
        painter.setFont(font);
        painter.setPen(Qt::black);
        painter.drawText(image.rect(), Qt::AlignCenter, text);
        painter.end();
        images << image;
    }
    constexpr int rounds = 3;
    QStringList seen[3];
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < rounds; ++round) {
                auto future = TesseractRecognizer::shared().recognize(images.at(t), 0.0);
                future.waitForFinished();
                seen[t] << future.result().lines.join(QLatin1Char(' '));
            }
        });
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < 3; ++t)
        for (const QString& text : seen[t]) EXPECT_EQ(text, words.at(t));
}

TEST(PrimarySelectionDesktop, ReadsTargetSelectionButNotAnotherProcesses) {
    AtspiFixtureProcess fixture({QStringLiteral("--text"), QStringLiteral("pick these words")});
    ASSERT_TRUE(fixture.waitUntilReady());
    // Select with the keyboard: Qt then offers the selection as PRIMARY.
    std::optional<QString> text;
    ASSERT_TRUE(waitUntil(
        [&] {
            QProcess::execute(QStringLiteral("xdotool"),
                              {QStringLiteral("key"), QStringLiteral("End"), QStringLiteral("shift+Home")});
            text = PrimarySelectionReader::read(fixture.pid(), std::chrono::milliseconds(500));
            return text.has_value();
        },
        std::chrono::seconds(20)));
    EXPECT_EQ(*text, QStringLiteral("pick these words"));
    EXPECT_EQ(PrimarySelectionReader::ownerPid(), fixture.pid());
    EXPECT_FALSE(PrimarySelectionReader::read(fixture.pid() + 100000, std::chrono::milliseconds(500)).has_value());
    // An unknown target matches no owner.
    EXPECT_FALSE(PrimarySelectionReader::read(0, std::chrono::milliseconds(500)).has_value());
    EXPECT_FALSE(PrimarySelectionReader::read(-1, std::chrono::milliseconds(500)).has_value());
}
