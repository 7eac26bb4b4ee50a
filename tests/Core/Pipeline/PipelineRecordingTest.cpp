#include "support/LogText.h"
#include "support/Pipeline/PipelineHarness.h"
#include "support/TestEnvironment.h"

#include <QJsonArray>

#include <gtest/gtest.h>

namespace {

using S = DictationStatus;

TranscriptionContext editorContext() {
    TranscriptionContext context;
    context.app.name = QStringLiteral("Editor");
    context.app.bundleId = QStringLiteral("org.example.editor");
    context.app.type = AppType::document;
    context.textboxContents.beforeText = QStringLiteral("Dear team,");
    context.textboxContents.contents = QStringLiteral("Dear team,");
    context.dictionaryContext = {QStringLiteral("Vantrose")};
    context.axContext = {QStringLiteral("team")};
    context.contextGatherTimeMs = 42;
    return context;
}

// Set-up runs again when onboarding completes a second time; nothing may be doubled then.
TEST(PipelineSetup, WiresCollaboratorsOnceEvenWhenRunTwice) {
    VantroseSettings settings;
    settings.clipboardRestoreDelay = 1.25;
    settings.cloudServerURL = QStringLiteral("http://127.0.0.1:9");
    settings.ollamaModel = QStringLiteral("tiny-model");
    PipelineHarness h(settings);
    h.history->totals = {7, 70};
    EXPECT_EQ(h.pipeline->polishEngine(), nullptr);
    EXPECT_EQ(h.pipeline->commandMode(), nullptr);
    h.setUp();
    PolishEngine* polish = h.pipeline->polishEngine();
    h.setUp();

    EXPECT_EQ(h.keyboard->startCalls, 1);
    EXPECT_TRUE(h.keyboard->isRunning());
    EXPECT_EQ(h.keyboard->hotkeyBindings(), settings.hotkeys);
    EXPECT_EQ(h.keyboard->pushToTalkKeyCode(), settings.pushToTalkHotkey().keyCode);
    EXPECT_EQ(h.detector->startCalls, 1);
    EXPECT_EQ(h.history->initializeCalls, 1);
    EXPECT_EQ(h.batch->registerCalls, 1);
    EXPECT_EQ(h.link->connectCalls, 1);
    EXPECT_EQ(h.services->refreshCalls, 1);
    EXPECT_EQ(h.audio->prewarmCalls, 1);
    EXPECT_EQ(h.inserter->clipboardRestoreDelay(), std::chrono::milliseconds(1250));
    EXPECT_EQ(h.pipeline->totalDictations(), 7);
    EXPECT_EQ(h.pipeline->totalWords(), 70);
    ASSERT_NE(h.pipeline->contextEngine(), nullptr);
    EXPECT_EQ(h.services->warmUps, QStringList{settings.cloudServerURL});

    // The polish state and the command mode around it, built once from the settings.
    ASSERT_NE(polish, nullptr);
    EXPECT_EQ(h.pipeline->polishEngine(), polish);
    EXPECT_EQ(polish->ollamaModel(), "tiny-model");
    EXPECT_EQ(polish->ollamaEndpoint(), settings.ollamaEndpoint);
    ASSERT_NE(h.pipeline->commandMode(), nullptr);
    EXPECT_EQ(h.pipeline->commandMode()->polishEngine(), polish);
    EXPECT_FALSE(h.pipeline->commandMode()->isActive());
}

TEST(PipelineSetup, AdoptsTheServersFormatterOnlyWhenItAnswers) {
    for (const bool available : {true, false}) {
        SCOPED_TRACE(available);
        auto cloud = std::make_shared<FakeFormatter>();
        cloud->name = QStringLiteral("CloudLLM");
        PipelineHarness::Options options;
        options.probeCloudFormatter = [&]() -> std::shared_ptr<TextFormatterProtocol> {
            if (available) return cloud;
            return nullptr;
        };
        PipelineHarness h(VantroseSettings(), options);
        h.keyboard->startResult = false;  // set-up goes on without hotkeys
        h.setUp();
        EXPECT_EQ(h.pipeline->formatter().formatterName(),
                  available ? QStringLiteral("CloudLLM") : QStringLiteral("RuleBased"));
        EXPECT_EQ(h.history->initializeCalls, 1);
    }
}

TEST(PipelineSetup, StartBeforeSetupGathersAnEmptyContext) {
    PipelineHarness h;
    EXPECT_TRUE(h.dictate());
    ASSERT_TRUE(h.pipeline->lastResult().has_value());
    EXPECT_TRUE(h.pipeline->lastResult()->appName.isEmpty());
}

TEST(PipelineSetup, TeardownStopsListenerDetectorAndMicrophone) {
    PipelineHarness h;
    h.pipeline->teardown();  // before set-up: harmless
    h.setUp();
    h.record(3);
    h.pipeline->teardown();
    EXPECT_FALSE(h.keyboard->isRunning());
    EXPECT_FALSE(h.detector->isRunning());
    EXPECT_FALSE(h.audio->recording);
}

TEST(PipelineRecording, HotkeysFromTheListenerDriveADictation) {
    PipelineHarness h;
    h.setUp();
    ASSERT_TRUE(h.keyboard->pressPushToTalk());
    ASSERT_TRUE(h.waitForStatus(S::listening));
    h.audio->feed(25);
    ASSERT_TRUE(h.keyboard->releasePushToTalk());
    ASSERT_TRUE(waitUntil([&] { return h.inserter->calls.size() == 1; }));
    EXPECT_TRUE(h.waitForStatus(S::idle));
    EXPECT_EQ(h.inserter->pastedTexts(), QStringList{QStringLiteral("Hello world.")});
}

TEST(PipelineRecording, StartReportsTheActiveApplicationAndPlaysTheSound) {
    PipelineHarness h;
    h.services->enabledFlags = {QStringLiteral("sound-effects")};
    h.setUp();
    h.detector->frontApp = FakeAppDetector::app(QStringLiteral("Mail"), QStringLiteral("org.example.mail"), 77,
                                                QStringLiteral("https://mail.example.org"));
    h.pipeline->startDictation();
    ASSERT_EQ(h.pipeline->status(), S::listening);
    EXPECT_EQ(h.pipeline->pipelineStep(), PipelineStep::listening);
    ASSERT_FALSE(h.history->events.isEmpty());
    const auto& start = h.history->events.first();
    EXPECT_EQ(start.event, QStringLiteral("dictation.start"));
    EXPECT_EQ(start.traceID, h.pipeline->currentTraceID());
    EXPECT_EQ(start.payload.value(QStringLiteral("app_name")).toString(), QStringLiteral("Mail"));
    EXPECT_EQ(start.payload.value(QStringLiteral("app_url")).toString(), QStringLiteral("https://mail.example.org"));
    EXPECT_EQ(start.payload.value(QStringLiteral("input_device")).toString(), QStringLiteral("system-default"));
    EXPECT_EQ(start.payload.value(QStringLiteral("asr_tier")).toString(), QStringLiteral("primary"));
    EXPECT_EQ(start.payload.value(QStringLiteral("transport")).toString(), QStringLiteral("http"));
    EXPECT_TRUE(h.services->sounds.contains(QStringLiteral("vantrose_on_off_sound.mp3")));
    ASSERT_TRUE(h.services->trackedEvents().contains(QStringLiteral("dictation_started")));
    EXPECT_EQ(h.services->tracked.last().properties.value(QStringLiteral("bundle_id")).toString(),
              QStringLiteral("org.example.mail"));
}

TEST(PipelineRecording, LiveTextFollowsTheRecogniser) {
    PipelineHarness h;
    h.setUp();
    h.record(5);
    EXPECT_EQ(h.recognizer->fedChunks.load(), 5);
    ASSERT_TRUE(h.recognizer->onPartial);
    h.recognizer->onPartial(QStringLiteral("hello wor"));
    EXPECT_TRUE(waitUntil([&] { return h.pipeline->streamingText() == QStringLiteral("hello wor"); }));
}

// A recogniser that cannot stream costs the live text, not the dictation.
TEST(PipelineRecording, FailedLiveTextStartKeepsTheDictationGoing) {
    PipelineHarness h;
    h.setUp();
    h.recognizer->startFailure = QStringLiteral("No model for the language");
    h.record(25);
    EXPECT_EQ(h.pipeline->status(), S::listening);
    EXPECT_FALSE(h.pipeline->errorMessage().has_value());
    EXPECT_EQ(h.recognizer->fedChunks.load(), 0);
    h.pipeline->stopDictation();
    ASSERT_TRUE(waitUntil([&] { return h.inserter->calls.size() == 1; }));
    EXPECT_TRUE(h.waitForStatus(S::idle));
}

// A microphone that fails to start leaves nothing running behind the error.
TEST(PipelineRecording, FailedMicrophoneStartStopsWhatItStarted) {
    PipelineHarness h;
    h.setUp();
    h.contextEngine->delay = std::chrono::milliseconds(50);
    h.audio->startFailure = QStringLiteral("No input device");
    h.pipeline->startDictation();
    EXPECT_EQ(h.pipeline->status(), S::error);
    EXPECT_EQ(h.pipeline->errorMessage().value_or(QString()), QStringLiteral("Mic failed: No input device"));
    EXPECT_EQ(h.audio->stopCalls.load(), 1);
    EXPECT_EQ(h.recognizer->startCalls, 0);
    EXPECT_EQ(h.pipeline->recordedChunkCount(), 0);
    // The next start works like one from idle.
    h.audio->startFailure.reset();
    h.pipeline->startDictation();
    EXPECT_EQ(h.pipeline->status(), S::listening);
    EXPECT_FALSE(h.pipeline->errorMessage().has_value());
}

TEST(PipelineRecording, RoadChoiceFollowsTheTransportState) {
    using State = AbstractStreamingLink::State;
    const struct {
        State state;
        bool webSocket;
    } table[] = {{State::connecting, true},
                 {State::connected, true},
                 {State::streaming, true},
                 {State::committed, false},
                 {State::disconnected, false}};
    for (const auto& row : table) {
        SCOPED_TRACE(rawValue(row.state).toStdString());
        PipelineHarness h;
        h.setUp();
        h.batch->gate = std::make_shared<FakeGate>();
        h.record(25);
        h.link->linkState = row.state;
        h.pipeline->stopDictation();
        EXPECT_EQ(h.pipeline->status(), S::processing);
        if (row.webSocket) {
            ASSERT_TRUE(waitUntil([&] { return h.link->commits.size() == 1; }));
            EXPECT_EQ(h.batch->transcribeCalls, 0);
            EXPECT_EQ(h.recognizer->stopCalls, 1);  // the on-device stream ends with the commit
        } else {
            ASSERT_TRUE(waitUntil([&] { return h.batch->transcribeCalls == 1; }));
            EXPECT_TRUE(h.link->commits.isEmpty());
        }
    }
}

TEST(PipelineRecording, CommitCarriesLanguageAndTheGatheredContext) {
    const struct {
        const char* language;
        const char* sent;
    } table[] = {{"en-US", "en"}, {"fr", "fr"}, {"", ""}, {"pt-BR-x", "pt"}};
    for (const auto& row : table) {
        SCOPED_TRACE(row.language);
        VantroseSettings settings;
        settings.language = QString::fromUtf8(row.language);
        PipelineHarness h(settings);
        h.setUp();
        h.contextEngine->context = editorContext();
        h.contextEngine->delay = std::chrono::milliseconds(30);  // still gathering at the stop
        h.link->linkState = AbstractStreamingLink::State::connected;
        h.record(25);
        h.pipeline->stopDictation();
        EXPECT_TRUE(h.link->commits.isEmpty());
        ASSERT_TRUE(waitUntil([&] { return h.link->commits.size() == 1; }));
        const auto& commit = h.link->commits.first();
        EXPECT_EQ(commit.language, QString::fromUtf8(row.sent));
        EXPECT_EQ(commit.context.keys(), (QStringList{"app", "dictionary", "textbox"}));
        EXPECT_EQ(commit.context.value("app").toObject().value("bundleId").toString(), "org.example.editor");
        EXPECT_EQ(commit.context.value("app").toObject().value("type").toString(), "document");
        EXPECT_FALSE(commit.context.value("app").toObject().contains("url"));
        EXPECT_EQ(commit.context.value("textbox").toObject().value("before_text").toString(), "Dear team,");
        EXPECT_EQ(commit.context.value("dictionary").toArray().size(), 1);
    }
}

TEST(PipelineRecording, CancelWhileListeningDismissesAndEndsTheLiveStream) {
    PipelineHarness h;
    h.setUp();
    h.record(10);
    h.recognizer->onPartial(QStringLiteral("hello"));
    QCoreApplication::processEvents();
    h.pipeline->cancelDictation();
    EXPECT_EQ(h.pipeline->status(), S::dismissed);
    EXPECT_EQ(h.pipeline->recordedChunkCount(), 0);
    EXPECT_TRUE(h.pipeline->streamingText().isEmpty());
    EXPECT_FLOAT_EQ(h.pipeline->currentVolume(), 0.0f);
    EXPECT_FALSE(h.audio->recording);
    EXPECT_EQ(h.recognizer->stopCalls, 1);
    EXPECT_FALSE(h.recognizer->open);
    h.pipeline->startDictation();  // refused within the second
    EXPECT_EQ(h.pipeline->status(), S::dismissed);
}

// A cancel while the ending road waits for the context: the dismissed dictation is neither
// committed nor allowed to hand its (empty) context and hints to the recogniser.
TEST(PipelineRecording, CancelWhileTheRoadWaitsForTheContextEndsThatRoad) {
    for (const bool overTheSocket : {true, false}) {
        SCOPED_TRACE(overTheSocket ? "WebSocket road" : "batch road");
        VantroseSettings settings;
        settings.customWords = {QStringLiteral("Vantrose")};
        PipelineHarness h(settings);
        h.setUp();
        h.contextEngine->delay = std::chrono::hours(1);  // still gathering
        if (overTheSocket) h.link->linkState = AbstractStreamingLink::State::connected;
        h.record(25);
        h.pipeline->stopDictation();
        QCoreApplication::processEvents();
        h.pipeline->cancelDictation();
        QCoreApplication::processEvents();
        EXPECT_EQ(h.pipeline->status(), S::idle);
        EXPECT_TRUE(h.link->commits.isEmpty());
        EXPECT_TRUE(h.recognizer->hints.isEmpty());
        EXPECT_FALSE(h.batch->cloudContext.has_value());
        EXPECT_EQ(h.batch->transcribeCalls, 0);
        EXPECT_TRUE(h.inserter->calls.isEmpty());
    }
}

// A context, screen-text or ping task that fails or never answers: the road waits for it only
// until its deadline and goes on without its result.
TEST(PipelineRecording, FailedOrSilentBackgroundTaskDoesNotHoldTheRoad) {
    const struct {
        const char* name;
        std::function<void(PipelineHarness&)> arrange;
        bool contextKept;
        bool silent;  // never answers: the deadline decides
    } table[] = {
        {"context fails", [](PipelineHarness& h) { h.contextEngine->failure = QStringLiteral("bus gone"); }, false,
         false},
        {"context silent", [](PipelineHarness& h) { h.contextEngine->delay = std::chrono::hours(1); }, false, true},
        {"screen text fails", [](PipelineHarness& h) { h.screen->failure = QStringLiteral("grab failed"); }, true,
         false},
        {"screen text silent", [](PipelineHarness& h) { h.screen->delay = std::chrono::hours(1); }, true, true},
        {"ping fails", [](PipelineHarness& h) { h.services->pingFailure = QStringLiteral("offline"); }, true, false},
        {"ping silent", [](PipelineHarness& h) { h.services->pingGate = std::make_shared<FakeGate>(); }, true, true},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        PipelineHarness h;
        h.setUp();
        h.services->enabledFlags.insert(QStringLiteral("should-ocr-screen-capture"));
        h.contextEngine->context = editorContext();
        row.arrange(h);
        const auto deadlineLines = [] { return loggedText().count(QStringLiteral("gave no answer within")); };
        const int linesBefore = deadlineLines();
        h.record(25);
        h.pipeline->stopDictation();
        // Manual time moves on only while the test looks: nothing is decided by a real clock.
        ASSERT_TRUE(waitUntil([&] {
            if (row.silent) h.clock.advance(std::chrono::milliseconds(500));
            return h.inserter->calls.size() == 1 && h.pipeline->status() == S::idle;
        }));
        ASSERT_TRUE(h.pipeline->lastResult().has_value());
        EXPECT_EQ(h.pipeline->lastResult()->appName, row.contextKept ? QStringLiteral("Editor") : QString());
        EXPECT_EQ(deadlineLines() - linesBefore, row.silent ? 1 : 0);
    }
    // Over the socket the commit goes out without the context that never came.
    PipelineHarness h;
    h.setUp();
    h.contextEngine->delay = std::chrono::hours(1);
    h.link->linkState = AbstractStreamingLink::State::connected;
    h.record(25);
    h.pipeline->stopDictation();
    ASSERT_TRUE(waitUntil([&] {
        h.clock.advance(std::chrono::milliseconds(500));
        return h.link->commits.size() == 1;
    }));
    EXPECT_TRUE(h.link->commits.first().context.isEmpty());
}

TEST(PipelineRecording, MicrophoneChoiceIsStoredAndNamed) {
    PipelineHarness h;
    h.audio->devices = {AudioDeviceInfo{"usb", QStringLiteral("usb"), QStringLiteral("USB Mic"), false}};
    h.pipeline->setMicDevice(QStringLiteral("usb"));
    EXPECT_EQ(h.audio->selectedDeviceUID.value_or(QString()), QStringLiteral("usb"));
    h.pipeline->setMicDevice(QStringLiteral("gone"));
    EXPECT_EQ(h.audio->selectedDeviceUID.value_or(QString()), QStringLiteral("gone"));
    h.pipeline->setMicDevice(std::nullopt);
    EXPECT_FALSE(h.audio->selectedDeviceUID.has_value());
}

// The microphone chosen before the restart records from the first dictation; while it is not
// connected the default records (and its timings are the default's), and the choice is kept.
TEST(PipelineRecording, TheStoredMicrophoneRecordsFromSetUpAndTimingsGoToTheDeviceInUse) {
    const AudioDeviceInfo usb{"usb", QStringLiteral("usb"), QStringLiteral("USB Mic"), false};
    struct Case {
        const char* name;
        bool connected;
        std::optional<QString> filedUnder;
    };
    for (const Case& c : {Case{"connected", true, QStringLiteral("usb")}, Case{"absent", false, std::nullopt}}) {
        SCOPED_TRACE(c.name);
        VantroseSettings settings;
        settings.selectedMicUID = QStringLiteral("usb");
        PipelineHarness h(settings);
        if (c.connected) h.audio->devices = {usb};
        EXPECT_FALSE(h.audio->selectedDeviceUID.has_value());
        h.setUp();
        EXPECT_EQ(h.audio->selectedDeviceUID, QStringLiteral("usb"));
        ASSERT_TRUE(h.dictate(25));
        EXPECT_EQ(h.services->micPredictionDevices, QList<std::optional<QString>>{c.filedUnder});
        EXPECT_EQ(h.services->micStartDevices, QList<std::optional<QString>>{c.filedUnder});
        EXPECT_EQ(h.pipeline->settings().selectedMicUID, QStringLiteral("usb"));

        // The device comes (back): the next dictation records from it, with no new choice.
        h.audio->devices = {usb};
        ASSERT_TRUE(h.dictate(25));
        EXPECT_EQ(h.services->micStartDevices.last(), QStringLiteral("usb"));
    }
}

TEST(PipelineRecording, AMicrophoneStoredElsewhereIsTheOneInUse) {
    PipelineHarness h;
    h.setUp();
    h.pipeline->updateSettings([](VantroseSettings& s) { s.selectedMicUID = QStringLiteral("usb"); });
    EXPECT_EQ(h.audio->selectedDeviceUID, QStringLiteral("usb"));
    h.pipeline->updateSettings([](VantroseSettings& s) { s.selectedMicUID.reset(); });
    EXPECT_FALSE(h.audio->selectedDeviceUID.has_value());
}

// ----- The streaming road and its fall-back: one road per dictation -------------------------

struct StreamingHarness : PipelineHarness {
    StreamingHarness() {
        setUp();
        link->linkState = AbstractStreamingLink::State::connected;
        record(25);
        pipeline->stopDictation();
        waitUntil([&] { return link->commits.size() == 1; });
    }
};

TEST(PipelineStreamingRoad, ServerResultIsPastedAndRecorded) {
    StreamingHarness h;
    VantroseSettings settings = h.pipeline->settings();
    settings.textReplacements = {TextReplacement{QStringLiteral("world"), QStringLiteral("World!")}};
    h.pipeline->setSettings(settings);
    h.link->onFinalResult(QStringLiteral("hello world"), QStringLiteral("Hello world."),
                          QJsonObject{{"asr_time", 0.2}, {"asr_provider", "fast"}});
    ASSERT_TRUE(h.waitForStatus(S::idle));
    EXPECT_EQ(h.inserter->pastedTexts(), QStringList{QStringLiteral("Hello World!.")});
    ASSERT_TRUE(h.pipeline->lastResult().has_value());
    const TranscriptionResult& record = *h.pipeline->lastResult();
    EXPECT_EQ(record.formattedText, QStringLiteral("Hello world."));
    EXPECT_EQ(record.pastedText, QStringLiteral("Hello World!."));
    EXPECT_EQ(record.asrTierUsed, QStringLiteral("streaming:fast"));
    EXPECT_EQ(record.formatterUsed, QStringLiteral("streaming:streaming"));
    EXPECT_DOUBLE_EQ(record.asrTimeMs, 200);
    EXPECT_EQ(h.batch->transcribeCalls, 0);
}

// A cancel or a double tap while the server's text is being pasted: the text has reached the
// field and is recorded with the dictation's own audio length.
TEST(PipelineStreamingRoad, CancelOrDoubleTapDuringThePasteKeepsTheAudioLength) {
    const struct {
        const char* name;
        std::function<void(DictationPipeline&)> interrupt;
    } table[] = {
        {"cancel", [](DictationPipeline& p) { p.cancelDictation(); }},
        {"double tap",
         [](DictationPipeline& p) {
             p.handlePushToTalkDown();
             p.handlePushToTalkUp();
             p.handlePushToTalkDown();
         }},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        StreamingHarness h;
        h.inserter->delay = std::chrono::milliseconds(100);
        h.link->onFinalResult(QStringLiteral("hello world"), QStringLiteral("Hello world."), {});
        ASSERT_EQ(h.pipeline->status(), S::inserting);
        ASSERT_EQ(h.inserter->pastesInFlight, 1);
        row.interrupt(*h.pipeline);
        ASSERT_TRUE(waitUntil([&] { return h.history->stored.size() == 1; }));
        EXPECT_DOUBLE_EQ(h.history->stored.first().duration, toSeconds(25 * DictationPipeline::chunkDuration));
        EXPECT_DOUBLE_EQ(h.history->stored.first().latencyMetrics.recordingLengthMs,
                         toMilliseconds(25 * DictationPipeline::chunkDuration));
    }
}

TEST(PipelineStreamingRoad, ErrorAndDisconnectTogetherTakeOneBatchRoad) {
    StreamingHarness h;
    h.link->onError(QStringLiteral("server error"));
    h.link->onDisconnect();
    QCoreApplication::processEvents();
    ASSERT_TRUE(waitUntil([&] { return h.inserter->calls.size() == 1; }));
    ASSERT_TRUE(h.waitForStatus(S::idle));
    QCoreApplication::processEvents();
    EXPECT_EQ(h.batch->transcribeCalls, 1);
    EXPECT_EQ(h.inserter->calls.size(), 1);
    EXPECT_EQ(h.history->stored.size(), 1);
}

TEST(PipelineStreamingRoad, LateServerResultDuringTheFallBackIsDropped) {
    StreamingHarness h;
    h.batch->gate = std::make_shared<FakeGate>();
    h.link->onDisconnect();
    ASSERT_TRUE(waitUntil([&] { return h.batch->gate->waiting() == 1; }));
    h.link->onFinalResult(QStringLiteral("late words"), QStringLiteral("Late words."), {});
    h.batch->gate->open();
    ASSERT_TRUE(waitUntil([&] { return h.inserter->calls.size() == 1; }));
    ASSERT_TRUE(h.waitForStatus(S::idle));
    EXPECT_EQ(h.inserter->pastedTexts(), QStringList{QStringLiteral("Hello world.")});
}

TEST(PipelineStreamingRoad, DisconnectDuringARunningBatchRoadChangesNothing) {
    PipelineHarness h;
    h.setUp();
    h.batch->gate = std::make_shared<FakeGate>();
    h.link->linkState = AbstractStreamingLink::State::connected;
    h.pipeline->startPersistentDictation();
    h.audio->feed(25);
    h.pipeline->finishPersistentDictation();  // hands-free: always the batch road
    ASSERT_TRUE(waitUntil([&] { return h.batch->gate->waiting() == 1; }));
    h.link->onDisconnect();
    h.link->onError(QStringLiteral("socket closed"));
    QCoreApplication::processEvents();
    h.batch->gate->open();
    ASSERT_TRUE(waitUntil([&] { return h.inserter->calls.size() == 1; }));
    ASSERT_TRUE(h.waitForStatus(S::idle));
    QCoreApplication::processEvents();
    EXPECT_EQ(h.batch->transcribeCalls, 1);
    EXPECT_EQ(h.inserter->calls.size(), 1);
    EXPECT_TRUE(h.link->commits.isEmpty());
}

TEST(PipelineStreamingRoad, EmptyOrHallucinatedResultReturnsQuietly) {
    for (const auto& [raw, formatted] : {std::pair{"", " \n "}, std::pair{"thank you for watching", "Hi."}}) {
        SCOPED_TRACE(raw);
        StreamingHarness h;
        h.link->onFinalResult(QString::fromUtf8(raw), QString::fromUtf8(formatted), {});
        EXPECT_EQ(h.pipeline->status(), S::idle);
        QCoreApplication::processEvents();
        EXPECT_TRUE(h.inserter->calls.isEmpty());
        EXPECT_TRUE(h.history->stored.isEmpty());
    }
}

}  // namespace
