// The desktop layer's fakes, exercised the way the pipeline drives the real services, plus the
// shared hotkey-binding logic of the listener interface.
#include "Foundation/Clock.h"
#include "Foundation/Logger.h"
#include "support/FakeAppDetector.h"
#include "support/FakeContextEngine.h"
#include "support/FakeContextReader.h"
#include "support/FakeKeyboardMonitor.h"
#include "support/FakeScreenCaptureEngine.h"
#include "support/FakeTextInserter.h"
#include "support/TestEnvironment.h"

#include <QCoreApplication>
#include <QFile>

#include <QCoro/QCoroTask>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {
void drainEvents() { QCoreApplication::processEvents(); }

QString logText() {
    Logger::flush();
    QFile f(Logger::shared().logFilePath());
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}
}  // namespace

TEST(KeyboardMonitorInterfaceTest, BindingsPickTheFirstActivateHotkey) {
    FakeKeyboardMonitor monitor;
    EXPECT_EQ(monitor.hotkey(), (Hotkey{61, 0}));
    EXPECT_EQ(monitor.pushToTalkKeyCode(), 61);
    EXPECT_EQ(monitor.fallbackKeyCode(), 61);
    EXPECT_EQ(monitor.comboUpDebounce(), std::chrono::milliseconds(200));

    const Hotkey first{49, Hotkey::controlFlag};
    monitor.setHotkeyBindings({{HotkeyAction::lock, Hotkey{40, 0}},
                               {HotkeyAction::activate, first},
                               {HotkeyAction::activate, Hotkey{50, 0}}});
    EXPECT_EQ(monitor.hotkey(), first);
    EXPECT_EQ(monitor.pushToTalkKeyCode(), 49);
    EXPECT_EQ(monitor.hotkeyBindings().size(), 3);
    EXPECT_EQ(monitor.configurationChanges, 1);

    // Without an activate binding the push-to-talk key stays as it was.
    monitor.setHotkeyBindings({{HotkeyAction::cancel, Hotkey{Hotkey::escapeKeyCode, 0}}});
    EXPECT_EQ(monitor.hotkey(), first);
    EXPECT_EQ(monitor.pushToTalkKeyCode(), 49);

    const QString cancelName = Hotkey{Hotkey::escapeKeyCode, 0}.displayName();
    EXPECT_TRUE(logText().contains("KeyboardMonitor: Hotkeys updated — cancel:" + cancelName));
    EXPECT_TRUE(logText().contains("KeyboardMonitor: Hotkeys updated — lock:"));
}

TEST(FakeKeyboardMonitorTest, DeliversKeysLaterOnTheMainThreadOnlyWhileRunning) {
    FakeKeyboardMonitor monitor;
    QStringList seen;
    monitor.onPushToTalkDown = [&] { seen << "down"; };
    monitor.onPushToTalkUp = [&] { seen << "up"; };
    monitor.onLock = [&] { seen << "lock"; };
    monitor.onPasteLastTranscript = [&] { seen << "paste-last"; };
    monitor.onDismiss = [&] { seen << "cancel"; };
    monitor.onKeyDown = [&](const KeyEvent& e) { seen << "key:" + e.characters; };

    EXPECT_FALSE(monitor.pressPushToTalk());  // not started
    monitor.startResult = false;
    EXPECT_FALSE(monitor.start());
    EXPECT_FALSE(monitor.pressPushToTalk());
    monitor.startResult = true;
    ASSERT_TRUE(monitor.start());

    monitor.pressPushToTalk();
    monitor.releasePushToTalk();
    monitor.pressLock();
    monitor.pressPasteLastTranscript();
    monitor.pressCancel();
    monitor.typeKey({0, 0, "a", false});
    EXPECT_TRUE(seen.isEmpty());  // never from inside the trigger
    ASSERT_TRUE(waitUntil([&] { return seen.size() == 6; }));
    EXPECT_EQ(seen, (QStringList{"down", "up", "lock", "paste-last", "cancel", "key:a"}));

    monitor.stop();
    EXPECT_FALSE(monitor.pressCancel());
    EXPECT_EQ(monitor.startCalls, 2);
    EXPECT_EQ(monitor.stopCalls, 1);
}

TEST(FakeKeyboardMonitorTest, APendingKeyDiesWithTheMonitor) {
    bool called = false;
    {
        FakeKeyboardMonitor monitor;
        monitor.onPushToTalkDown = [&] { called = true; };
        monitor.start();
        monitor.pressPushToTalk();
    }
    drainEvents();
    EXPECT_FALSE(called);
}

TEST(FakeTextInserterTest, AnswersScriptedOutcomesThenSuccessAndRecordsTexts) {
    FakeTextInserter inserter;
    inserter.setClipboardRestoreDelay(std::chrono::milliseconds(10));
    inserter.scriptedOutcomes.push_back(FakeTextInserter::failedOutcome("first"));

    const PasteOutcome failed = QCoro::waitFor(inserter.insertText("first"));
    EXPECT_FALSE(failed.success);
    EXPECT_TRUE(failed.hasPrivilegeIssues);
    const PasteOutcome ok = QCoro::waitFor(inserter.insertText("second"));
    EXPECT_TRUE(ok.success && ok.clipboardWritten);
    EXPECT_EQ(ok.textLength, 6);
    EXPECT_FALSE(ok.clipboardRestored);
    EXPECT_EQ(inserter.pastedTexts(), (QStringList{"first", "second"}));

    ASSERT_TRUE(inserter.lastPasteOutcome());
    ASSERT_TRUE(waitUntil([&] { return inserter.lastPasteOutcome()->clipboardRestored; }));
    EXPECT_EQ(inserter.lastPasteOutcome()->textLength, 6);
}

TEST(FakeTextInserterTest, ShowsWhenACallerLetsPastesOverlap) {
    FakeTextInserter inserter;
    inserter.delay = 30ms;
    auto first = inserter.insertText("one");
    auto second = inserter.insertText("two");
    EXPECT_EQ(inserter.pastesInFlight, 2);
    QCoro::waitFor(std::move(first));
    QCoro::waitFor(std::move(second));
    EXPECT_EQ(inserter.mostPastesInFlight, 2);
    EXPECT_EQ(inserter.pastesInFlight, 0);
}

TEST(FakeAppDetectorTest, FollowsTheFrontApplicationByIdentifier) {
    FakeAppDetector detector;
    QList<ActiveAppInfo> changes;
    detector.onAppChanged = [&](const ActiveAppInfo& app) { changes << app; };

    detector.updateActiveApp();
    EXPECT_FALSE(detector.activeApp());  // nothing in front yet

    detector.frontApp = FakeAppDetector::app("Mail", "org.gnome.Evolution", 10);
    detector.start();
    ASSERT_TRUE(detector.activeApp());
    EXPECT_EQ(detector.activeApp()->name, "Mail");

    // Same identifier: the stored record is kept, even with another title.
    detector.frontApp = FakeAppDetector::app("Mail (2)", "org.gnome.Evolution", 10);
    detector.updateActiveApp();
    EXPECT_EQ(detector.activeApp()->name, "Mail");
    // Nothing in front: the record stays.
    detector.frontApp.reset();
    detector.updateActiveApp();
    EXPECT_EQ(detector.activeApp()->bundleId, "org.gnome.Evolution");

    detector.activate(FakeAppDetector::app("Firefox", "org.mozilla.firefox", 11, "https://example.org"));
    EXPECT_EQ(detector.activeApp()->url, "https://example.org");
    ASSERT_TRUE(waitUntil([&] { return changes.size() == 1; }));
    EXPECT_EQ(changes[0].pid, 11);

    detector.stop();
    detector.activate(FakeAppDetector::app("Slack", "com.slack.Slack", 12));
    drainEvents();
    EXPECT_EQ(changes.size(), 1);
    EXPECT_EQ(detector.activeApp()->name, "Firefox");
}

TEST(FakeContextReaderTest, ReadsTakeTheirTimeAndWatchesRunOut) {
    ManualClock clock;
    Clock::setCurrent(&clock);
    FakeContextReader reader;
    reader.readDelay = 5ms;
    reader.focusedField = FakeContextReader::field("Hello Anna, ", "", "see you");
    reader.windowWords = {"Kubernetes", "Anna"};

    const auto field = QCoro::waitFor(reader.readFocusedTextField());
    ASSERT_TRUE(field);
    EXPECT_EQ(reader.parseContextWords(*field), (QStringList{"Hello", "Anna", "see", "you"}));
    EXPECT_EQ(QCoro::waitFor(reader.readActiveWindowText()), reader.windowWords);
    EXPECT_EQ(reader.focusedFieldReads, 1);

    QStringList texts;
    reader.observeTextChanges(7, std::chrono::seconds(5), [&](const QString& t) { texts << t; });
    EXPECT_EQ(reader.changeText(8, "other process"), 0);
    EXPECT_EQ(reader.changeText(7, "edited"), 1);
    ASSERT_TRUE(waitUntil([&] { return texts.size() == 1; }));
    clock.advance(std::chrono::seconds(5));
    EXPECT_EQ(reader.changeText(7, "too late"), 0);
    EXPECT_EQ(texts, QStringList{"edited"});
    Clock::setCurrent(nullptr);
}

TEST(FakeContextEngineTest, RecordsWhatThePipelineHandsIt) {
    FakeContextEngine engine;
    engine.delay = 5ms;
    engine.context.app.bundleId = "org.gnome.TextEditor";
    engine.context.userFirstName = "Ada";

    VantroseSettings settings;
    settings.userName = "Ada Lovelace";
    QCoro::Task<TranscriptionContext> task = [&]() -> QCoro::Task<TranscriptionContext> {
        FakeDictionarySource dictionary;  // gone before the answer arrives
        dictionary.entries = {{"Kubernetes", std::nullopt, false, 3}};
        co_return co_await engine.buildTranscriptionContext(settings, dictionary);
    }();
    const TranscriptionContext context = QCoro::waitFor(std::move(task));
    EXPECT_EQ(context.app.bundleId, "org.gnome.TextEditor");
    ASSERT_EQ(engine.buildCalls.size(), 1);
    EXPECT_EQ(engine.buildCalls[0].settings.userName, "Ada Lovelace");
    EXPECT_EQ(engine.buildCalls[0].dictionary.value(0).word, "Kubernetes");

    TranscriptionResult::Fields fields;
    fields.rawText = "hello";
    engine.updateAfterTranscription(TranscriptionResult(fields));
    ASSERT_EQ(engine.updates.size(), 1);
    EXPECT_EQ(engine.updates[0].rawText, "hello");
}

TEST(FakeScreenCaptureEngineTest, OneEnginePerDictationSharingOneScript) {
    auto script = std::make_shared<FakeScreenCaptureEngine::Script>();
    script->result.ocrWords = {"Quarterly", "Roadmap"};
    script->result.totalTimeMs = 12;
    script->delay = 5ms;
    const FakeScreenCaptureEngine::Factory make = FakeScreenCaptureEngine::factory(script);

    for (const QString& bundle : {QString("org.mozilla.firefox"), QString()}) {
        std::unique_ptr<AbstractScreenCaptureEngine> engine = make();
        EXPECT_EQ(QCoro::waitFor(engine->captureAndExtract(bundle)), script->result);
    }
    // An engine dropped while its capture is pending still lets the awaiting task finish.
    auto engine = make();
    auto pending = engine->captureAndExtract("com.slack.Slack");
    engine.reset();
    EXPECT_EQ(QCoro::waitFor(std::move(pending)).ocrWords, script->result.ocrWords);

    EXPECT_EQ(script->enginesMade, 3);
    EXPECT_EQ(script->requestedBundleIds, (QStringList{"org.mozilla.firefox", "", "com.slack.Slack"}));
}
