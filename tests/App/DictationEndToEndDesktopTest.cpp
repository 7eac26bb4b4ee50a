// The built program on the virtual desktop, dictating for real: Right Alt held through XTest, a
// spoken sentence played into the virtual microphone, the text pasted into the fixture window.
#include "Auth/AuthManager.h"
#include "Core/Services/SettingsStore.h"
#include "Foundation/AppPaths.h"
#include "Foundation/UserDefaults.h"
#include "Models/VantroseSettings.h"
#include "Platform/ContextReader.h"
#include "Platform/X11/X11KeyInjector.h"

#include "support/AtspiFixtureProcess.h"
#include "support/DesktopDictation.h"
#include "support/FakeAppDetector.h"
#include "support/FixtureApp.h"
#include "support/LoopbackStreamingServer.h"
#include "support/LoopbackVendorServer.h"
#include "support/MicFeeder.h"
#include "support/SaveTargetsManager.h"
#include "support/SpeechFixture.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSaveFile>

#include <QCoro/QCoroTask>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

#include <gtest/gtest.h>

#include <memory>
#include <optional>

namespace {

using namespace std::chrono_literals;

const QString kProgram = QStringLiteral(VANTROSE_BINARY_DIR "/src/vantrose");
constexpr uint8_t kRightAlt = 108;  // X keycode of Right Alt on the virtual desktop's keymap
constexpr auto kDeadline = 60s;     // the desktop suite may share the machine with other builds

QString readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QString textLog() { return readFile(AppPaths::logDir() + "/main.log"); }

// The metrics log's events, one object a line.
QList<QJsonObject> metricsEvents() {
    QList<QJsonObject> events;
    for (const QString& line : readFile(AppPaths::logDir() + "/metrics.jsonl").split('\n', Qt::SkipEmptyParts))
        events << QJsonDocument::fromJson(line.toUtf8()).object();
    return events;
}

QStringList metricsEventNames(const QString& traceID) {
    QStringList names;
    for (const QJsonObject& e : metricsEvents())
        if (e.value("trace_id").toString() == traceID) names << e.value("event").toString();
    return names;
}

// The focused text field of process `pid`, read through the accessibility bus.
std::optional<TextFieldContext> focusedField(qint64 pid) {
    FakeAppDetector detector;
    detector.frontApp = FakeAppDetector::app(QStringLiteral("Field"), QStringLiteral("field"), std::int32_t(pid));
    detector.updateActiveApp();
    ContextReader reader(&detector);
    return QCoro::waitFor(reader.readFocusedTextField());
}

// The process of the window the window manager reports as active; 0 when unknown.
qint64 activeWindowPid() {
    return runTool(QStringLiteral("xdotool"), {QStringLiteral("getactivewindow"), QStringLiteral("getwindowpid")})
        .trimmed()
        .toLongLong();
}

QByteArray clipboardText() { return runTool("xclip", {"-selection", "clipboard", "-o", "-t", "UTF8_STRING"}); }

struct HistoryRow {
    QString traceID;
    QString asrText;
    QString pastedText;
};

// The dictations the program has saved so far. The program writes from its own process, so a
// read may meet the database busy or not yet created: that reads as nothing saved yet.
QList<HistoryRow> historyRows() {
    const QString path = AppPaths::dataDir() + "/vantrose.sqlite";
    if (!QFile::exists(path)) return {};
    QList<HistoryRow> rows;
    try {
        SQLite::Database db(path.toStdString(), SQLite::OPEN_READONLY, 2000);
        SQLite::Statement query(db, "SELECT trace_id, asr_text, pasted_text FROM history");
        while (query.executeStep())
            rows.append({QString::fromStdString(query.getColumn(0).getString()),
                         QString::fromStdString(query.getColumn(1).getString()),
                         QString::fromStdString(query.getColumn(2).getString())});
    } catch (const std::exception&) {
        return {};
    }
    return rows;
}

class DictationEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!MicFeeder::available()) GTEST_SKIP() << "needs the virtual microphone (scripts/with-desktop.sh)";
        ASSERT_TRUE(SpeechFixture::toolsAvailable()) << "flite and sox make the spoken sentence";
        ASSERT_TRUE(QFile::exists(kProgram)) << kProgram.toStdString();
        ASSERT_TRUE(server.start());
        // Each case starts from no logs, no history and no settings, also when one process runs them all.
        QDir(AppPaths::logDir()).removeRecursively();
        QDir(AppPaths::dataDir()).removeRecursively();
    }

    void TearDown() override {
        if (app) {
            EXPECT_EQ(app->state(), QProcess::Running) << "the program ended during the dictation";
        }
        // A program left running would answer the next test's start as the running instance.
        if (app && app->state() != QProcess::NotRunning) {
            app->terminate();
            if (!app->waitForFinished(10000)) {
                app->kill();
                app->waitForFinished(5000);
            }
        }
    }

    void seedAccountAndSettings() { seedSignedInAccount(server); }

    // Starts the program and waits until its pipeline listens for the hotkey and its start-up
    // windows are up, so none of them takes the focus from the fixture later.
    void launch() {
        app = std::make_unique<QProcess>();
        app->setProcessChannelMode(QProcess::ForwardedChannels);
        app->start(kProgram);
        ASSERT_TRUE(app->waitForStarted(10000));
        ASSERT_TRUE(waitUntil([] { return textLog().contains("Pipeline: Setup complete"); }, kDeadline))
            << textLog().toStdString();
        EXPECT_TRUE(textLog().contains("Pipeline: Keyboard monitor: true")) << textLog().toStdString();
        ASSERT_TRUE(waitUntil([] { return textLog().contains("Windows: Hub window shown"); }, kDeadline));
    }

    // The fixture's field, focused, with the user's own text on the clipboard.
    void prepareTarget() {
        ASSERT_TRUE(fixture.start(kDeadline));
        ASSERT_TRUE(fixture.activate(kDeadline));
        clipboardOwner = startTool("xclip", {"-selection", "clipboard", "-i"}, kUserClipboard);
        ASSERT_TRUE(waitUntil([] { return clipboardText() == kUserClipboard; }, kDeadline));
    }

    // Holds Right Alt, speaks the sentence into the microphone, lets go.
    void dictate(const QString& sentence) {
        const QString failure = holdKeyAndSpeak([this](bool down) { return keys.sendKey(kRightAlt, down); },
                                                [] { return textLog().contains("Pipeline: Listening (mic:"); },
                                                spokenSentence(sentence), kDeadline);
        ASSERT_TRUE(failure.isEmpty()) << failure.toStdString() << "\n" << textLog().toStdString();
    }

    // The one dictation the program saved, once it is in the database.
    std::optional<HistoryRow> savedDictation() {
        QList<HistoryRow> rows;
        waitUntil([&] { return !(rows = historyRows()).isEmpty(); }, kDeadline);
        EXPECT_EQ(rows.size(), 1);
        if (rows.isEmpty()) return std::nullopt;
        return rows.first();
    }

    static constexpr const char* kUserClipboard = "the user's own clipboard";

    LoopbackVendorServer server;
    std::unique_ptr<QProcess> app;
    FixtureApp fixture{"DictationTarget", "dictation target"};
    std::unique_ptr<QProcess> clipboardOwner;
    X11KeyInjector keys;
};

TEST_F(DictationEndToEndTest, OnDeviceRecognitionPastesTheFormattedSentenceAndKeepsTheClipboard) {
    // No language model behind the server: the text is formatted on this machine, by rule.
    server.setLLMProviders(QJsonObject{{"loopback", false}});
    ASSERT_NO_FATAL_FAILURE(seedAccountAndSettings());
    ASSERT_NO_FATAL_FAILURE(launch());
    ASSERT_NO_FATAL_FAILURE(prepareTarget());

    const QString sentence = SpeechFixture::sentences().first();
    ASSERT_NO_FATAL_FAILURE(dictate(sentence));

    // One paste chord puts the whole text in at once.
    ASSERT_TRUE(waitUntil([&] { return !fixture.text().isEmpty(); }, kDeadline)) << textLog().toStdString();
    const QString pasted = fixture.text();
    EXPECT_TRUE(pasted.front().isUpper()) << pasted.toStdString();
    EXPECT_TRUE(pasted.endsWith('.')) << pasted.toStdString();
    EXPECT_LE(SpeechFixture::wordErrorRate(sentence, pasted), 0.35) << pasted.toStdString();
    EXPECT_TRUE(textLog().contains("Pipeline: ASR [secondary-batch]")) << textLog().toStdString();

    // The user's clipboard comes back once the paste is done with it.
    EXPECT_TRUE(waitUntil([] { return clipboardText() == kUserClipboard; }, kDeadline))
        << clipboardText().toStdString();

    const std::optional<HistoryRow> saved = savedDictation();
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->pastedText, pasted);
    EXPECT_FALSE(saved->asrText.isEmpty());
    EXPECT_TRUE(textLog().contains("Pipeline: Complete — ")) << textLog().toStdString();
    EXPECT_TRUE(waitUntil([&] { return metricsEventNames(saved->traceID).contains("dictation.complete"); }, kDeadline));
    EXPECT_TRUE(metricsEventNames(saved->traceID).contains("dictation.start"));
}

TEST_F(DictationEndToEndTest, TheStreamingServersTextIsPasted) {
    LoopbackStreamingServer streaming(server);
    const QString serverText = QStringLiteral("Streamed text from the loopback server.");
    streaming.setDefaultCommitReply(LoopbackStreamingServer::CommitReply::result(
        QStringLiteral("streamed text from the loopback server"), serverText));
    ASSERT_NO_FATAL_FAILURE(seedAccountAndSettings());
    ASSERT_NO_FATAL_FAILURE(launch());
    ASSERT_TRUE(waitUntil([&] { return streaming.openClientCount() == 1; }, kDeadline)) << textLog().toStdString();
    ASSERT_NO_FATAL_FAILURE(prepareTarget());

    ASSERT_NO_FATAL_FAILURE(dictate(SpeechFixture::sentences().first()));

    EXPECT_TRUE(fixture.waitForText(serverText, kDeadline)) << "field: " << fixture.text().toStdString() << "\n"
                                                            << textLog().toStdString();
    EXPECT_EQ(streaming.commitCount(), 1);
    EXPECT_FALSE(streaming.audioFrames().isEmpty());
    EXPECT_TRUE(textLog().contains("Pipeline: Committing via WebSocket")) << textLog().toStdString();
    EXPECT_TRUE(waitUntil([] { return clipboardText() == kUserClipboard; }, kDeadline))
        << clipboardText().toStdString();

    const std::optional<HistoryRow> saved = savedDictation();
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->pastedText, serverText);
    EXPECT_TRUE(textLog().contains("Pipeline: Streaming complete — ")) << textLog().toStdString();
    EXPECT_TRUE(waitUntil([&] { return metricsEventNames(saved->traceID).contains("dictation.start"); }, kDeadline));
}

// The text already in a field decides how a dictation continues it: after a clause (a letter or
// a comma) it goes on in lower case after one space, after a sentence end it starts a sentence,
// in an empty field it stands alone. In a GTK field and in a Qt field, read through the
// accessibility bus as the program reads them.
TEST_F(DictationEndToEndTest, AContinuationLandsInLowerCaseAfterItsSpaceInGtkAndQtFields) {
    LoopbackStreamingServer streaming(server);
    streaming.setDefaultCommitReply(LoopbackStreamingServer::CommitReply::result(QStringLiteral("we ship on friday"),
                                                                                 QStringLiteral("We ship on Friday.")));
    ASSERT_NO_FATAL_FAILURE(seedAccountAndSettings());
    ASSERT_NO_FATAL_FAILURE(launch());
    ASSERT_TRUE(waitUntil([&] { return streaming.openClientCount() == 1; }, kDeadline)) << textLog().toStdString();
    const std::vector<float> speech = spokenSentence(QStringLiteral("we ship on friday"));

    const struct {
        const char* before;
        const char* after;
    } cases[] = {
        {"Dear team, as discussed", "Dear team, as discussed we ship on Friday."},
        {"Dear team,", "Dear team, we ship on Friday."},
        {"Dear team.", "Dear team. We ship on Friday."},
        {"", "We ship on Friday."},
    };
    for (const bool gtk : {true, false}) {
        for (const auto& row : cases) {
            SCOPED_TRACE(std::string(gtk ? "GTK: " : "Qt: ") + row.before);
            const QString before = QString::fromUtf8(row.before);
            std::unique_ptr<GtkEntryProcess> gtkField;
            std::unique_ptr<AtspiFixtureProcess> qtField;
            qint64 pid = 0;
            if (gtk) {
                gtkField = std::make_unique<GtkEntryProcess>(before);
                pid = gtkField->pid();
            } else {
                qtField = std::make_unique<AtspiFixtureProcess>(QStringList{
                    QStringLiteral("--text"), before, QStringLiteral("--cursor"), QString::number(before.size())});
                ASSERT_TRUE(qtField->waitUntilReady());
                pid = qtField->pid();
            }
            // The field has the focus with the caret after its text and nothing selected (a GTK
            // entry selects its text when it takes the focus; End lets go of it).
            ASSERT_TRUE(waitUntil(
                [&] {
                    const std::optional<TextFieldContext> field = focusedField(pid);
                    if (gtk && field && field->value == before && !field->selectedText.isEmpty())
                        runTool(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("End")});
                    return field && field->value == before && field->beforeText == before &&
                           field->selectedText.isEmpty() && activeWindowPid() == pid;
                },
                kDeadline));

            const qsizetype mark = textLog().size();
            const auto loggedSince = [mark](const char* line) { return textLog().mid(mark).contains(line); };
            const QString failure =
                holdKeyAndSpeak([this](bool down) { return keys.sendKey(kRightAlt, down); },
                                [&] { return loggedSince("Pipeline: Listening (mic:"); }, speech, kDeadline);
            ASSERT_TRUE(failure.isEmpty()) << failure.toStdString();
            std::optional<TextFieldContext> field;
            EXPECT_TRUE(waitUntil(
                [&] {
                    field = focusedField(pid);
                    return field && field->value == QString::fromUtf8(row.after);
                },
                kDeadline))
                << (field ? field->value.toStdString() : std::string("(unread)")) << "\n"
                << textLog().toStdString();
            // The server's road pasted it, fitted to the field.
            EXPECT_TRUE(waitUntil([&] { return loggedSince("Pipeline: Streaming complete"); }, kDeadline));
        }
    }
}

}  // namespace

// After a dictation the program holds the user's restored clipboard; quitting hands it to the
// clipboard manager, so what the user copied outlives the program.
TEST_F(DictationEndToEndTest, TheUsersClipboardOutlivesTheProgramThroughTheClipboardManager) {
    SaveTargetsManager manager;
    LoopbackStreamingServer streaming(server);
    const QString serverText = QStringLiteral("Streamed text from the loopback server.");
    streaming.setDefaultCommitReply(LoopbackStreamingServer::CommitReply::result(
        QStringLiteral("streamed text from the loopback server"), serverText));
    ASSERT_NO_FATAL_FAILURE(seedAccountAndSettings());
    ASSERT_NO_FATAL_FAILURE(launch());
    ASSERT_TRUE(waitUntil([&] { return streaming.openClientCount() == 1; }, kDeadline)) << textLog().toStdString();
    ASSERT_NO_FATAL_FAILURE(prepareTarget());
    ASSERT_NO_FATAL_FAILURE(dictate(SpeechFixture::sentences().first()));
    ASSERT_TRUE(fixture.waitForText(serverText, kDeadline)) << textLog().toStdString();
    ASSERT_TRUE(waitUntil([] { return clipboardText() == kUserClipboard; }, kDeadline))
        << clipboardText().toStdString();

    app->terminate();
    ASSERT_TRUE(app->waitForFinished(15000));
    app.reset();
    EXPECT_EQ(manager.saves(), 1);
    EXPECT_EQ(clipboardText(), kUserClipboard);
    EXPECT_TRUE(textLog().contains("Clipboard: Handed the clipboard to the clipboard manager"))
        << textLog().toStdString();
}
