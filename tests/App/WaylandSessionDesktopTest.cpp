// The built program on a Wayland session (Weston with XWayland, nested in the test desktop so its
// seat gives windows the focus): it starts on the Wayland back-end, follows the native
// application in front, and ends as at logout when the compositor goes away.
#include "Foundation/AppPaths.h"

#include "support/DesktopDictation.h"
#include "support/LoopbackVendorServer.h"
#include "support/MicFeeder.h"
#include "support/TestEnvironment.h"
#include "support/WaylandCompositors.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

#include <memory>

namespace {

using namespace std::chrono_literals;

const QString kProgram = QStringLiteral(VANTROSE_BINARY_DIR "/src/vantrose");
constexpr auto kDeadline = 60s;
constexpr int kEndDeadlineMs = 15000;

QString textLog() {
    QFile file(AppPaths::logDir() + "/main.log");
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

TEST(WaylandSessionDesktopTest, StartsOnTheWaylandBackEndFollowsTheFrontAndEndsWithTheCompositor) {
    if (!MicFeeder::available()) GTEST_SKIP() << "needs the virtual desktop (scripts/with-desktop.sh)";
    ASSERT_TRUE(QFile::exists(kProgram)) << kProgram.toStdString();
    WestonCompositor weston(WestonCompositor::Output::NestedInX11);
    ASSERT_TRUE(weston.start()) << weston.log().toStdString();
    LoopbackVendorServer server;
    ASSERT_TRUE(server.start());
    server.setLLMProviders(QJsonObject{{"loopback", false}});
    seedSignedInAccount(server);
    QDir(AppPaths::logDir()).removeRecursively();
    QDir(AppPaths::dataDir()).removeRecursively();

    QProcess app;
    app.setProcessChannelMode(QProcess::ForwardedChannels);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("WAYLAND_DISPLAY"), weston.socket());
    env.insert(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("wayland"));
    env.insert(QStringLiteral("DISPLAY"), weston.xDisplay());
    app.setProcessEnvironment(env);
    app.start(kProgram);
    ASSERT_TRUE(app.waitForStarted(10000));
    ASSERT_TRUE(waitUntil([] { return textLog().contains("Pipeline: Setup complete"); }, kDeadline))
        << textLog().toStdString();
    EXPECT_TRUE(textLog().contains("Desktop: wayland session")) << textLog().toStdString();
    EXPECT_TRUE(textLog().contains("Pipeline: Keyboard monitor: true")) << textLog().toStdString();
    // No portal, no keyboard device here: the hotkey falls back to XWayland, and the log says what
    // is missing.
    EXPECT_TRUE(waitUntil([] { return textLog().contains("HotkeySource: Global hotkey from: x11"); }, kDeadline))
        << textLog().toStdString();
    EXPECT_TRUE(waitUntil(
        [] { return textLog().contains("The hotkey works only while an X11 (XWayland) window has the focus"); }, 5s))
        << textLog().toStdString();
    EXPECT_TRUE(textLog().contains("AppDetector: Front application from: accessibility")) << textLog().toStdString();

    // A native Wayland field takes the focus: it is the application in front.
    WaylandGtkEntry field(weston.socket(), "Field in front");
    EXPECT_TRUE(
        waitUntil([] { return textLog().contains(QRegularExpression("App changed → .* \\(zenity\\)")); }, kDeadline))
        << textLog().toStdString();

    // The session ends: the compositor goes away, and the program with it.
    weston.kill();
    ASSERT_TRUE(app.waitForFinished(kEndDeadlineMs)) << "still running\n" << textLog().toStdString();
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit) << textLog().toStdString();
    EXPECT_NE(app.exitCode(), 0);
    EXPECT_TRUE(textLog().contains("Vantrose: The display connection was lost; quitting")) << textLog().toStdString();
    EXPECT_TRUE(waitUntil([] { return textLog().contains("Vantrose: Application terminated"); }, 5s))
        << textLog().toStdString();
}

}  // namespace
