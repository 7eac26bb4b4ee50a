// The built program on the virtual desktop, ended by SIGTERM in each state of a dictation: it
// shuts down in order, the history database still opens, the user's clipboard is the user's, and
// the next start works.
#include "Foundation/AppPaths.h"
#include "Platform/X11/X11KeyInjector.h"

#include "support/DesktopDictation.h"
#include "support/FixtureApp.h"
#include "support/LoopbackStreamingServer.h"
#include "support/LoopbackVendorServer.h"
#include "support/MicFeeder.h"
#include "support/ProcessReport.h"
#include "support/SaveTargetsManager.h"
#include "support/SpeechFixture.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

#include <gtest/gtest.h>

#include <csignal>
#include <memory>

namespace {

using namespace std::chrono_literals;
using Reply = LoopbackStreamingServer::CommitReply;

const QString kProgram = QStringLiteral(VANTROSE_BINARY_DIR "/src/vantrose");
constexpr uint8_t kRightAlt = 108;
constexpr auto kDeadline = 60s;
constexpr const char* kUserClipboard = "the user's own clipboard";

QString textLog() {
    QFile file(AppPaths::logDir() + "/main.log");
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QByteArray clipboardText() { return runTool("xclip", {"-selection", "clipboard", "-o", "-t", "UTF8_STRING"}); }

// The database file passes SQLite's own check and its history can be read; no file is fine too.
bool historyReadable() {
    const QString path = AppPaths::dataDir() + "/vantrose.sqlite";
    if (!QFile::exists(path)) return true;
    try {
        SQLite::Database db(path.toStdString(), SQLite::OPEN_READONLY, 2000);
        if (db.execAndGet("PRAGMA integrity_check").getString() != "ok") return false;
        SQLite::Statement query(db, "SELECT count(*) FROM history");
        return query.executeStep();
    } catch (const std::exception&) {
        return false;
    }
}

std::unique_ptr<QProcess> launch(const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment()) {
    auto app = std::make_unique<QProcess>();
    app->setProcessEnvironment(environment);
    app->setProcessChannelMode(QProcess::ForwardedChannels);
    app->start(kProgram);
    if (!app->waitForStarted(10000)) return nullptr;
    return app;
}

// Waits for `line` in the text log while the program runs; a failure says how the program ended or
// where it stands.
testing::AssertionResult logShows(const QProcess& app, const char* line) {
    const bool shown =
        waitUntil([&] { return textLog().contains(line) || app.state() == QProcess::NotRunning; }, kDeadline) &&
        textLog().contains(line);
    if (shown) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "no \"" << line << "\" in the log; " << processReport(app).toStdString()
                                       << "\n"
                                       << textLog().toStdString();
}

bool terminateAndWait(QProcess& app) {
    ::kill(app.processId(), SIGTERM);
    return app.waitForFinished(20000) && app.exitStatus() == QProcess::NormalExit && app.exitCode() == 0;
}

TEST(FaultMatrixDesktop, SigtermInEachStateOfADictation) {
    if (!MicFeeder::available()) GTEST_SKIP() << "needs the virtual microphone (scripts/with-desktop.sh)";
    ASSERT_TRUE(SpeechFixture::toolsAvailable());
    ASSERT_TRUE(QFile::exists(kProgram)) << kProgram.toStdString();

    enum class When { listening, committing, afterThePaste };
    const struct {
        const char* name;
        When when;
    } table[] = {
        {"while listening", When::listening},
        {"while the server works on the commit", When::committing},
        {"right after the paste", When::afterThePaste},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        QDir(AppPaths::logDir()).removeRecursively();
        LoopbackVendorServer server;
        ASSERT_TRUE(server.start());
        LoopbackStreamingServer streaming(server);
        streaming.setDefaultCommitReply(row.when == When::committing
                                            ? Reply::silence()
                                            : Reply::result(QStringLiteral("words"), QStringLiteral("Words.")));
        SaveTargetsManager manager;  // keeps the clipboard after the program is gone
        ASSERT_NO_FATAL_FAILURE(seedSignedInAccount(server));
        std::unique_ptr<QProcess> app = launch();
        ASSERT_TRUE(app);
        ASSERT_TRUE(logShows(*app, "Windows: Hub window shown"));
        ASSERT_TRUE(logShows(*app, "Pipeline: Keyboard monitor: true"));
        ASSERT_TRUE(waitUntil([&] { return streaming.openClientCount() == 1; }, kDeadline)) << textLog().toStdString();

        FixtureApp fixture{"DictationTarget", "dictation target"};
        ASSERT_TRUE(fixture.start(kDeadline));
        ASSERT_TRUE(fixture.activate(kDeadline));
        auto owner = startTool("xclip", {"-selection", "clipboard", "-i"}, kUserClipboard);
        ASSERT_TRUE(waitUntil([] { return clipboardText() == kUserClipboard; }, kDeadline));

        X11KeyInjector keys;
        auto listening = [] { return textLog().contains("Pipeline: Listening (mic:"); };
        if (row.when == When::listening) {
            ASSERT_TRUE(keys.sendKey(kRightAlt, true));
            const bool listened = waitUntil(listening, kDeadline);
            const bool ended = terminateAndWait(*app);
            keys.sendKey(kRightAlt, false);
            ASSERT_TRUE(listened) << textLog().toStdString();
            EXPECT_TRUE(ended) << textLog().toStdString();
        } else {
            const QString failure = holdKeyAndSpeak([&](bool down) { return keys.sendKey(kRightAlt, down); }, listening,
                                                    spokenSentence(SpeechFixture::sentences().first()), kDeadline);
            ASSERT_TRUE(failure.isEmpty()) << failure.toStdString();
            if (row.when == When::committing)
                ASSERT_TRUE(waitUntil([&] { return streaming.commitCount() == 1; }, kDeadline));
            else
                ASSERT_TRUE(fixture.waitForText(QStringLiteral("Words."), kDeadline)) << textLog().toStdString();
            EXPECT_TRUE(terminateAndWait(*app)) << textLog().toStdString();
        }
        EXPECT_TRUE(textLog().contains("Vantrose: Application terminated")) << textLog().toStdString();
        EXPECT_TRUE(historyReadable());
        EXPECT_TRUE(waitUntil([] { return clipboardText() == kUserClipboard; }, 10s)) << clipboardText().toStdString();

        // The next start comes up and listens for the hotkey.
        QFile::remove(AppPaths::logDir() + "/main.log");
        std::unique_ptr<QProcess> next = launch();
        ASSERT_TRUE(next);
        EXPECT_TRUE(logShows(*next, "Pipeline: Setup complete"));
        EXPECT_TRUE(terminateAndWait(*next));
    }
}

// The server no longer takes the account's tokens (it lost its sessions): the program refreshes
// once, is refused, signs out and shows the sign-in, and leaves the server alone from then on
// (no reconnection every 0.4 s); it still ends in order.
TEST(FaultMatrixDesktop, ServerThatRefusesTheTokenSignsOutOnce) {
    ASSERT_TRUE(QFile::exists(kProgram)) << kProgram.toStdString();
    QDir(AppPaths::logDir()).removeRecursively();
    LoopbackVendorServer server;
    ASSERT_TRUE(server.start());
    LoopbackStreamingServer streaming(server);
    streaming.setRequireValidToken(true);
    ASSERT_NO_FATAL_FAILURE(seedSignedInAccount(server));
    server.revokeAllTokens();

    std::unique_ptr<QProcess> app = launch();
    ASSERT_TRUE(app);
    ASSERT_TRUE(logShows(*app, "Auth: Signed out"));
    ASSERT_TRUE(logShows(*app, "Windows: Onboarding window shown"));
    const int handshakes = streaming.handshakeCount();
    waitUntil([] { return false; }, 3s);  // long enough for several rounds of the old loop
    const QString log = textLog();
    EXPECT_EQ(streaming.handshakeCount(), handshakes);
    EXPECT_LE(handshakes, 1);
    EXPECT_EQ(server.requestCount(server.paths().authRefresh), 1) << log.toStdString();
    EXPECT_FALSE(log.contains("Reconnect attempt")) << log.toStdString();
    EXPECT_TRUE(terminateAndWait(*app)) << textLog().toStdString();
    EXPECT_TRUE(textLog().contains("Vantrose: Application terminated"));
}

// The session bus (and with it the accessibility bus) is absent, or takes connections and never
// answers: the program still comes up, says why it runs without the bus, pastes a dictation with
// the user's clipboard given back, and ends in order.
TEST(FaultMatrixDesktop, SessionBusAbsentOrHanging) {
    if (!MicFeeder::available()) GTEST_SKIP() << "needs the virtual microphone (scripts/with-desktop.sh)";
    ASSERT_TRUE(QFile::exists(kProgram)) << kProgram.toStdString();
    QLocalServer silentBus;  // accepts and never says a word
    const QString silentPath = QDir(qEnvironmentVariable("XDG_RUNTIME_DIR", QDir::tempPath())).filePath("silent-bus");
    QLocalServer::removeServer(silentPath);
    ASSERT_TRUE(silentBus.listen(silentPath));
    QList<QLocalSocket*> held;
    QObject::connect(&silentBus, &QLocalServer::newConnection, [&] {
        while (QLocalSocket* s = silentBus.nextPendingConnection()) held << s;
    });

    const struct {
        const char* name;
        QString address;
        const char* logged;  // empty: nothing to say
    } table[] = {
        {"absent", "unix:path=" + silentPath + "-nobody-listens", ""},
        {"hanging", "unix:path=" + silentPath, "does not answer within 3000 ms; running without it"},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        QDir(AppPaths::logDir()).removeRecursively();
        LoopbackVendorServer server;
        ASSERT_TRUE(server.start());
        LoopbackStreamingServer streaming(server);
        streaming.setDefaultCommitReply(Reply::result(QStringLiteral("words"), QStringLiteral("Words.")));
        ASSERT_NO_FATAL_FAILURE(seedSignedInAccount(server));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("DBUS_SESSION_BUS_ADDRESS", row.address);
        std::unique_ptr<QProcess> app = launch(environment);
        ASSERT_TRUE(app);
        ASSERT_TRUE(logShows(*app, "Windows: Hub window shown"));
        // The hub can show before the pipeline's set-up has started the hotkey monitor.
        ASSERT_TRUE(logShows(*app, "Pipeline: Keyboard monitor: true"));
        if (*row.logged) {
            EXPECT_TRUE(textLog().contains(row.logged)) << textLog().toStdString();
        }
        ASSERT_TRUE(waitUntil([&] { return streaming.openClientCount() == 1; }, kDeadline)) << textLog().toStdString();

        FixtureApp fixture{"DictationTarget", "dictation target"};
        ASSERT_TRUE(fixture.start(kDeadline));
        ASSERT_TRUE(fixture.activate(kDeadline));
        auto owner = startTool("xclip", {"-selection", "clipboard", "-i"}, kUserClipboard);
        ASSERT_TRUE(waitUntil([] { return clipboardText() == kUserClipboard; }, kDeadline));
        X11KeyInjector keys;
        const QString failure = holdKeyAndSpeak([&](bool down) { return keys.sendKey(kRightAlt, down); },
                                                [] { return textLog().contains("Pipeline: Listening (mic:"); },
                                                spokenSentence(SpeechFixture::sentences().first()), kDeadline);
        ASSERT_TRUE(failure.isEmpty()) << failure.toStdString();
        EXPECT_TRUE(fixture.waitForText(QStringLiteral("Words."), kDeadline)) << textLog().toStdString();
        EXPECT_TRUE(waitUntil([] { return clipboardText() == kUserClipboard; }, kDeadline))
            << clipboardText().toStdString();
        EXPECT_TRUE(terminateAndWait(*app)) << textLog().toStdString();
    }
    qDeleteAll(held);
}

}  // namespace
