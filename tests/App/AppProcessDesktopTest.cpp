#include "Auth/AuthManager.h"
#include "Foundation/AppPaths.h"
#include "Foundation/UserDefaults.h"

#include "support/FixtureApp.h"
#include "support/TestEnvironment.h"

#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/utsname.h>

namespace {

const QString kProgram = QStringLiteral(VANTROSE_BINARY_DIR "/src/vantrose");

// The built program, started with this test's throwaway folders on the virtual desktop.
class AppProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(QFile::exists(kProgram)) << kProgram.toStdString();
        QFile::remove(logPath());
    }

    void TearDown() override {
        // A program left running would answer the next test's start as the running instance.
        for (QProcess* p : processes) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(5000);
            }
            delete p;
        }
    }

    static void seedSignedIn() {
        UserDefaults::shared().setValue(AuthManager::accessTokenKey, "stored-token");
        UserDefaults::shared().sync();
    }

    QProcess* launch(const QStringList& arguments = {}) {
        auto* p = new QProcess;
        p->setProcessChannelMode(QProcess::ForwardedChannels);
        p->start(kProgram, arguments);
        processes << p;
        return p;
    }

    static QString logPath() { return AppPaths::logDir() + "/main.log"; }
    static QString log() {
        QFile file(logPath());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    static bool logShows(const QString& text, int times = 1,
                         std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        return waitUntil([&] { return log().count(text) >= times; }, timeout);
    }

    QList<QProcess*> processes;
};

struct SignalCase {
    int signal;
    const char* name;
};

void PrintTo(const SignalCase& c, std::ostream* os) { *os << c.name; }

class AppShutdownTest : public AppProcessTest, public ::testing::WithParamInterface<SignalCase> {};

TEST_P(AppShutdownTest, SignedInStartReachesTheHubAndASignalShutsDownInOrder) {
    seedSignedIn();
    QProcess* app = launch();
    ASSERT_TRUE(logShows("Windows: Hub window shown")) << log().toStdString();

    QString text = log();
    struct utsname machine {};
    ASSERT_EQ(::uname(&machine), 0);
    EXPECT_TRUE(text.contains("=== Vantrose v0.1.3 starting ==="));
    EXPECT_TRUE(text.contains(QStringLiteral("Architecture: ") + machine.machine));
    EXPECT_TRUE(text.contains("StatusItem: "));
    EXPECT_TRUE(text.contains("LaunchAfterAuth: AX=true Mic=true")) << text.toStdString();
    EXPECT_LT(text.indexOf("Vantrose: Application launching..."),
              text.indexOf("LaunchAfterAuth: All permissions granted"));

    ::kill(app->processId(), GetParam().signal);
    ASSERT_TRUE(app->waitForFinished(15000));
    EXPECT_EQ(app->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app->exitCode(), 0);
    text = log();
    const qsizetype received = text.indexOf("Vantrose: Received signal");
    const qsizetype teardown = text.indexOf("Pipeline: Teardown complete");
    const qsizetype terminated = text.indexOf("Vantrose: Application terminated");
    ASSERT_GE(received, 0);
    EXPECT_LT(received, teardown);
    EXPECT_LT(teardown, terminated);
}

INSTANTIATE_TEST_SUITE_P(Signals, AppShutdownTest,
                         ::testing::Values(SignalCase{SIGTERM, "SIGTERM"}, SignalCase{SIGINT, "SIGINT"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AppProcessTest, SignedOutStartOpensOnboardingWithoutThePermissionGate) {
    QProcess* app = launch();
    ASSERT_TRUE(logShows("Vantrose: Application launched successfully"));
    EXPECT_TRUE(logShows("Windows: Onboarding window shown"));
    EXPECT_FALSE(log().contains("LaunchAfterAuth"));
    app->terminate();
    EXPECT_TRUE(app->waitForFinished(15000));
}

TEST_F(AppProcessTest, ASecondStartHandsItsURLToTheRunningInstanceAndExits) {
    seedSignedIn();
    QProcess* app = launch();
    ASSERT_TRUE(logShows("Vantrose: Application launched successfully"));

    QProcess* second = launch({"vantrose://auth/callback?code=SECRETCODE&state=SECRETSTATE"});
    ASSERT_TRUE(second->waitForFinished(15000));
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_TRUE(logShows("Auth: Received URL callback: vantrose://auth/callback?code=<redacted>&state=<redacted>"))
        << log().toStdString();
    EXPECT_EQ(log().count("=== Vantrose v0.1.3 starting ==="), 1);  // the second one never started up
    EXPECT_FALSE(log().contains("SECRETCODE"));
    EXPECT_FALSE(log().contains("SECRETSTATE"));
    EXPECT_EQ(app->state(), QProcess::Running);
    app->terminate();
    EXPECT_TRUE(app->waitForFinished(15000));
}

// On a desktop without a tray (this one has none) the hub, once closed, comes back when the
// program is started again.
TEST_F(AppProcessTest, WithoutATrayASecondStartBringsTheClosedHubBack) {
    seedSignedIn();
    QProcess* app = launch();
    ASSERT_TRUE(logShows("Windows: Hub window shown")) << log().toStdString();
    EXPECT_TRUE(log().contains("StatusItem: No system tray on this desktop"));
    const auto hubShown = [] {
        bool ok = false;
        const QByteArray found = runTool("xdotool", {"search", "--onlyvisible", "--name", "^Vantrose$"}, {}, &ok);
        return ok && !found.trimmed().isEmpty();
    };
    ASSERT_TRUE(waitUntil(hubShown, std::chrono::seconds(20)));
    // Closed as a user closes it: the window manager's Alt+F4 on the active hub.
    ASSERT_TRUE(waitUntil(
        [] {
            return runTool("xdotool", {"getactivewindow", "getwindowname"}).trimmed() == "Vantrose";
        },
        std::chrono::seconds(20)));
    bool closed = false;
    runTool("xdotool", {"key", "alt+F4"}, {}, &closed);
    ASSERT_TRUE(closed);
    ASSERT_TRUE(waitUntil([&] { return !hubShown(); }, std::chrono::seconds(20)));

    QProcess* second = launch();
    ASSERT_TRUE(second->waitForFinished(15000));
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_TRUE(logShows("Windows: Hub window shown", 2)) << log().toStdString();
    EXPECT_TRUE(waitUntil(hubShown, std::chrono::seconds(20)));
    EXPECT_EQ(log().count("=== Vantrose v0.1.3 starting ==="), 1);
    EXPECT_EQ(app->state(), QProcess::Running);
    app->terminate();
    EXPECT_TRUE(app->waitForFinished(15000));
}

TEST_F(AppProcessTest, AKilledInstanceDoesNotKeepTheNextOneFromStarting) {
    QProcess* first = launch();
    ASSERT_TRUE(logShows("Vantrose: Application launched successfully"));
    first->kill();  // no chance to remove its socket
    ASSERT_TRUE(first->waitForFinished(5000));
    QProcess* next = launch();
    EXPECT_TRUE(logShows("Vantrose: Application launched successfully", 2)) << log().toStdString();
    EXPECT_EQ(next->state(), QProcess::Running);
    next->terminate();
    EXPECT_TRUE(next->waitForFinished(15000));
}

struct NoDisplayCase {
    const char* name;
    const char* display;         // nullptr: DISPLAY not set
    const char* waylandDisplay;  // nullptr: WAYLAND_DISPLAY not set
    const char* message;
};

void PrintTo(const NoDisplayCase& c, std::ostream* os) { *os << c.name; }

class AppWithoutDisplayTest : public AppProcessTest, public ::testing::WithParamInterface<NoDisplayCase> {};

// The toolkit would abort (and dump core) before a word is logged: the program says why instead.
TEST_P(AppWithoutDisplayTest, ExitsWithAClearMessage) {
    const NoDisplayCase c = GetParam();
    QProcess app;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.remove(QStringLiteral("XDG_SESSION_TYPE"));
    if (c.display) env.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(c.display));
    if (c.waylandDisplay) env.insert(QStringLiteral("WAYLAND_DISPLAY"), QString::fromLatin1(c.waylandDisplay));
    app.setProcessEnvironment(env);
    app.start(kProgram);
    ASSERT_TRUE(app.waitForFinished(30000));
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_NE(app.exitCode(), 0);
    const QString err = QString::fromLocal8Bit(app.readAllStandardError());
    EXPECT_TRUE(err.contains(QStringLiteral("vantrose: ") + c.message)) << err.toStdString();
    EXPECT_TRUE(log().contains(QStringLiteral("Vantrose: ") + c.message)) << log().toStdString();
}

INSTANTIATE_TEST_SUITE_P(Displays, AppWithoutDisplayTest,
                         ::testing::Values(NoDisplayCase{"Unset", nullptr, nullptr,
                                                         "No display: neither WAYLAND_DISPLAY nor DISPLAY is set."},
                                           NoDisplayCase{"Unreachable", ":4093", nullptr,
                                                         "Cannot open the X11 display \":4093\"."},
                                           NoDisplayCase{"NoCompositor", ":4093", "wayland-nobody",
                                                         "Cannot reach the Wayland compositor \"wayland-nobody\"."}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
