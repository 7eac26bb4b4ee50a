#include "Auth/AuthManager.h"
#include "Foundation/AppPaths.h"
#include "Foundation/UserDefaults.h"

#include "support/TestEnvironment.h"

#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

namespace {

const QString kProgram = QStringLiteral(VANTROSE_BINARY_DIR "/src/vantrose");

QString logText() {
    QFile file(AppPaths::logDir() + "/main.log");
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

}  // namespace

// Hotkeys and the paste chord need only X11: a session whose accessibility bus cannot be reached
// still dictates (without the focused field's text) instead of waiting at the permission gate.
TEST(AccessibilityBusDesktopTest, WithoutTheBusTheSignedInProgramStillStartsDictation) {
    ASSERT_TRUE(QFile::exists(kProgram)) << kProgram.toStdString();
    QFile::remove(AppPaths::logDir() + "/main.log");
    UserDefaults::shared().setValue(AuthManager::accessTokenKey, "stored-token");
    UserDefaults::shared().sync();

    QProcess app;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // No session bus, so no accessibility switch and no bus address from it.
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent/vantrose-bus"));
    env.remove(QStringLiteral("AT_SPI_BUS_ADDRESS"));
    app.setProcessEnvironment(env);
    app.setProcessChannelMode(QProcess::ForwardedChannels);
    app.start(kProgram, {});
    const bool shown =
        waitUntil([] { return logText().contains("Windows: Hub window shown"); }, std::chrono::seconds(30));
    const QString text = logText();
    const QString state = app.state() == QProcess::NotRunning
                              ? QStringLiteral("ended (status %1, %2)")
                                    .arg(app.exitCode())
                                    .arg(app.exitStatus() == QProcess::CrashExit ? "crashed" : "exited")
                              : QStringLiteral("running");
    app.terminate();
    if (!app.waitForFinished(15000)) {
        app.kill();
        app.waitForFinished(5000);
    }
    UserDefaults::shared().remove(AuthManager::accessTokenKey);
    UserDefaults::shared().sync();

    ASSERT_TRUE(shown) << "program " << state.toStdString() << "\n" << text.toStdString();
    EXPECT_TRUE(text.contains("LaunchAfterAuth: AX=true Mic=true")) << text.toStdString();
    EXPECT_TRUE(text.contains("LaunchAfterAuth: No accessibility bus")) << text.toStdString();
    EXPECT_TRUE(text.contains("LaunchAfterAuth: All permissions granted"));
    EXPECT_FALSE(text.contains("LaunchAfterAuth: Permissions missing"));
}
