// Logout as it happens: the session ends its programs and the X server together. The built
// program runs on an X server of the test's own, which the test then takes away.
#include "Auth/AuthManager.h"
#include "Core/Services/SettingsStore.h"
#include "Foundation/AppPaths.h"
#include "Foundation/UserDefaults.h"
#include "Models/VantroseSettings.h"
#include "Platform/X11/X11KeyInjector.h"

#include "support/DesktopDictation.h"
#include "support/LoopbackVendorServer.h"
#include "support/MicFeeder.h"
#include "support/PrivateXServer.h"
#include "support/SpeechFixture.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSaveFile>

#include <gtest/gtest.h>

#include <csignal>
#include <memory>

namespace {

using namespace std::chrono_literals;

const QString kProgram = QStringLiteral(VANTROSE_BINARY_DIR "/src/vantrose");
constexpr uint8_t kRightAlt = 108;
constexpr auto kDeadline = 60s;
// Generous for a loaded machine; a program that ignores the signal or spins never ends at all.
constexpr int kEndDeadlineMs = 15000;

QString textLog() {
    QFile file(AppPaths::logDir() + "/main.log");
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The direct children of `pid`, from /proc.
QList<qint64> childrenOf(qint64 pid) {
    QList<qint64> children;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!stat.open(QIODevice::ReadOnly)) continue;
        const QByteArray line = stat.readAll();
        const qsizetype close = line.lastIndexOf(')');
        if (close < 0) continue;
        const QList<QByteArray> fields = line.mid(close + 2).split(' ');
        if (fields.size() > 1 && fields[1].toLongLong() == pid) children << entry.toLongLong();
    }
    return children;
}

bool processGone(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) return true;
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    return close >= 0 && line.mid(close + 2, 1) == "Z";
}

enum class Moment { Idle, AfterADictation, WhileRecording };
enum class Ending { SignalAndServerGone, ServerGoneOnly };

struct LogoutCase {
    const char* name;
    Moment moment;
    Ending ending;
};

void PrintTo(const LogoutCase& c, std::ostream* os) { *os << c.name; }

class LogoutTest : public ::testing::TestWithParam<LogoutCase> {
protected:
    void SetUp() override {
        if (!MicFeeder::available()) GTEST_SKIP() << "needs the virtual microphone (scripts/with-desktop.sh)";
        ASSERT_TRUE(QFile::exists(kProgram)) << kProgram.toStdString();
        ASSERT_TRUE(SpeechFixture::toolsAvailable());
        ASSERT_TRUE(server.start());
        ASSERT_TRUE(xserver.start());
        QDir(AppPaths::logDir()).removeRecursively();
        QDir(AppPaths::dataDir()).removeRecursively();
    }

    void TearDown() override {
        keys.reset();
        if (app && app->state() != QProcess::NotRunning) {
            app->kill();
            app->waitForFinished(5000);
        }
    }

    void seedAccountAndSettings() {
        server.setLLMProviders(QJsonObject{{"loopback", false}});
        seedSignedInAccount(server);
    }

    void launch() {
        app = std::make_unique<QProcess>();
        app->setProcessChannelMode(QProcess::ForwardedChannels);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), xserver.display());
        app->setProcessEnvironment(env);
        app->start(kProgram);
        ASSERT_TRUE(app->waitForStarted(10000));
        ASSERT_TRUE(waitUntil([] { return textLog().contains("Pipeline: Setup complete"); }, kDeadline))
            << textLog().toStdString();
        ASSERT_TRUE(textLog().contains("Pipeline: Keyboard monitor: true")) << textLog().toStdString();
        ASSERT_TRUE(waitUntil([] { return textLog().contains("Windows: Hub window shown"); }, kDeadline));
    }

    bool sendRightAlt(bool down) {
        ScopedDisplay display(xserver.display());
        if (!keys) keys = std::make_unique<X11KeyInjector>();
        return keys->sendKey(kRightAlt, down);
    }

    void startRecording() {
        ASSERT_TRUE(sendRightAlt(true));
        ASSERT_TRUE(waitUntil([] { return textLog().contains("Pipeline: Listening (mic:"); }, kDeadline))
            << textLog().toStdString();
        std::vector<float> samples = SpeechFixture::silence(0.3);
        const std::vector<float> speech = SpeechFixture::speak(SpeechFixture::sentences().first());
        samples.insert(samples.end(), speech.begin(), speech.end());
        mic.play(samples);
    }

    void dictate() {
        ASSERT_NO_FATAL_FAILURE(startRecording());
        ASSERT_TRUE(waitUntil([&] { return mic.finished(); }, kDeadline));
        ASSERT_TRUE(sendRightAlt(false));
        ASSERT_TRUE(waitUntil([] { return textLog().contains("Pipeline: Complete — "); }, kDeadline))
            << textLog().toStdString();
    }

    LoopbackVendorServer server;
    PrivateXServer xserver;
    std::unique_ptr<QProcess> app;
    std::unique_ptr<X11KeyInjector> keys;
    MicFeeder mic;
};

TEST_P(LogoutTest, TheProgramEndsPromptlyAndLeavesNoChild) {
    const LogoutCase c = GetParam();
    ASSERT_NO_FATAL_FAILURE(seedAccountAndSettings());
    ASSERT_NO_FATAL_FAILURE(launch());
    if (c.moment == Moment::AfterADictation) {
        ASSERT_NO_FATAL_FAILURE(dictate());
    }
    if (c.moment == Moment::WhileRecording) {
        ASSERT_NO_FATAL_FAILURE(startRecording());
        // The key stays held: still recording, with the sentence heard.
        ASSERT_TRUE(waitUntil([&] { return mic.finished(); }, kDeadline));
    }

    const qint64 pid = app->processId();
    const QList<qint64> children = childrenOf(pid);
    keys.reset();  // our own connection to that server goes first
    if (c.ending == Ending::SignalAndServerGone) ::kill(pid, SIGTERM);
    xserver.kill();

    ASSERT_TRUE(app->waitForFinished(kEndDeadlineMs)) << "still running\n" << textLog().toStdString();
    EXPECT_EQ(app->exitStatus(), QProcess::NormalExit) << textLog().toStdString();
    if (c.ending == Ending::ServerGoneOnly) {
        EXPECT_NE(app->exitCode(), 0);
        EXPECT_TRUE(textLog().contains("Vantrose: The display connection was lost; quitting"))
            << textLog().toStdString();
    }
    // Ended through its own shut-down: devices and listeners released, then the last line.
    EXPECT_TRUE(waitUntil([] { return textLog().contains("Vantrose: Application terminated"); }, 5s))
        << textLog().toStdString();
    EXPECT_TRUE(textLog().contains("Pipeline: Teardown complete"));
    for (const qint64 child : children)
        EXPECT_TRUE(waitUntil([child] { return processGone(child); }, 10s)) << "child " << child << " left running";
}

INSTANTIATE_TEST_SUITE_P(
    Moments, LogoutTest,
    ::testing::Values(LogoutCase{"AfterADictation", Moment::AfterADictation, Ending::SignalAndServerGone},
                      LogoutCase{"WhileRecording", Moment::WhileRecording, Ending::SignalAndServerGone},
                      LogoutCase{"IdleServerGoneOnly", Moment::Idle, Ending::ServerGoneOnly},
                      LogoutCase{"RecordingServerGoneOnly", Moment::WhileRecording, Ending::ServerGoneOnly}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
