#include "Storage/HistoryStore.h"
#include "support/LogText.h"
#include "support/Pipeline/PipelineHarness.h"
#include "support/TestEnvironment.h"
#include "support/text/QtPrinters.h"

#include <gtest/gtest.h>

namespace {

using S = DictationStatus;

TranscriptionContext mailContext() {
    TranscriptionContext context;
    context.app.name = QStringLiteral("Mail");
    context.app.bundleId = QStringLiteral("org.example.mail");
    context.app.url = QStringLiteral("https://mail.example.org");
    context.app.type = AppType::email;
    context.textboxContents.contents = QStringLiteral("Hi Ana,");
    context.textboxContents.beforeText = QStringLiteral("Hi Ana,");
    context.axContext = {QStringLiteral("Ana"), QStringLiteral("Hi")};
    context.ocrContext = {QStringLiteral("Inbox")};
    context.screenshot = QByteArray("png");
    context.dictionaryContext = {QStringLiteral("Vantrose")};
    context.prevASRText = QStringLiteral("earlier");
    context.contextGatherTimeMs = 900;
    return context;
}

struct BatchHarness : PipelineHarness {
    explicit BatchHarness(VantroseSettings settings = VantroseSettings()) : PipelineHarness(std::move(settings)) {
        setUp();
    }
    const TranscriptionResult& result() const { return *pipeline->lastResult(); }
    const FakePipelineHistory::Event* event(const QString& name) const {
        for (const auto& e : history->events)
            if (e.event == name) return &e;
        return nullptr;
    }
};

TEST(PipelineBatchRoad, SuccessPastesRecordsAndReports) {
    VantroseSettings settings;
    settings.textReplacements = {TextReplacement{QStringLiteral("world"), QStringLiteral("World")}};
    BatchHarness h(settings);
    h.contextEngine->context = mailContext();
    h.services->pingAnswer = 42.0;
    h.services->enabledFlags = {QStringLiteral("sound-effects"), QStringLiteral("store-screen-capture-history")};
    h.batch->answers.push_back(FakeBatchRecognizer::text(QStringLiteral("hello world"), QStringLiteral("primary")));
    h.batch->cloudMetrics = PipelineCloudMetrics{10, 300, 50, 20, 30, 40, std::nullopt};
    h.formatter->answer = QStringLiteral("Hello world.");
    ASSERT_TRUE(h.dictate(25));

    // Post-processing after "Hi Ana," continues the sentence in lower case after a space; the
    // replacement runs last.
    EXPECT_EQ(h.inserter->pastedTexts(), QStringList{QStringLiteral(" hello World.")});
    const TranscriptionResult& r = h.result();
    EXPECT_EQ(r.rawText, QStringLiteral("hello world"));
    EXPECT_EQ(r.formattedText, QStringLiteral("Hello world."));
    EXPECT_EQ(r.pastedText, QStringLiteral(" hello World."));  // what reached the field
    EXPECT_DOUBLE_EQ(r.duration, 1.0);
    EXPECT_EQ(r.language, QStringLiteral("en-US"));
    EXPECT_EQ(r.status, ResponseStatus::formatted);
    EXPECT_EQ(r.asrTierUsed, QStringLiteral("primary-batch"));
    EXPECT_TRUE(r.usedFallbackASR);
    EXPECT_EQ(r.formatterUsed, QStringLiteral("RuleBased"));
    EXPECT_FLOAT_EQ(r.averageLogProb, 0.9f);
    EXPECT_FLOAT_EQ(r.formattingDivergenceScore, 0.5f);
    EXPECT_EQ(r.appName, QStringLiteral("Mail"));
    EXPECT_EQ(r.appURL.value_or(QString()), QStringLiteral("https://mail.example.org"));
    EXPECT_EQ(r.appType, QStringLiteral("email"));
    EXPECT_EQ(r.screenshotData.value_or(QByteArray()), QByteArray("png"));
    EXPECT_DOUBLE_EQ(r.contextGatherTimeMs, 900);
    EXPECT_EQ(r.latencyMetrics.backendPingTimeAtStreamStartMs.value_or(-1), 42.0);
    EXPECT_EQ(r.latencyMetrics.uploadRequestMs.value_or(-1), 300);
    EXPECT_EQ(r.latencyMetrics.asrTimeMs.value_or(-1), 30);
    EXPECT_DOUBLE_EQ(r.latencyMetrics.recordingLengthMs, 1000);
    EXPECT_EQ(r.persistenceMetrics.fallbackLevel, 0);
    EXPECT_FALSE(r.persistenceMetrics.fallbackReason.has_value());
    EXPECT_TRUE(r.persistenceMetrics.hasAXText);
    EXPECT_TRUE(r.persistenceMetrics.hasScreenshot);
    EXPECT_EQ(r.persistenceMetrics.contextTokenCount, 3);
    EXPECT_EQ(r.persistenceMetrics.fieldType, QStringLiteral("email"));
    EXPECT_EQ(r.persistenceMetrics.traceID, h.history->events.first().traceID);

    // The cloud recogniser got the batch form of the context.
    ASSERT_TRUE(h.batch->cloudContext.has_value());
    EXPECT_EQ(h.batch->cloudContext->keys().size(), 11);
    EXPECT_EQ(h.batch->cloudContext->value("app").toObject().value("url").toString(), "https://mail.example.org");

    // Stored and counted everywhere.
    EXPECT_EQ(h.history->stored.size(), 1);
    EXPECT_EQ(h.pipeline->recentResults().size(), 1);
    EXPECT_EQ(h.pipeline->totalDictations(), 1);
    EXPECT_EQ(h.pipeline->totalWords(), 2);
    EXPECT_EQ(h.services->evaluated.size(), 1);
    EXPECT_EQ(h.services->completed.size(), 1);
    EXPECT_TRUE(h.services->trackedEvents().contains(QStringLiteral("dictation_latency")));
    EXPECT_EQ(h.pipeline->settings().personalization.totalWordsDictated, 2);
    ASSERT_EQ(h.contextEngine->updates.size(), 1);
    EXPECT_EQ(h.services->sounds.count(QStringLiteral("paste.wav")), 1);

    for (const char* name :
         {"dictation.start", "dictation.paste.outcome", "dictation.complete", "dictation.cloud_metrics",
          "dictation.transport.upload_spike", "dictation.context.ax_slow"})
        EXPECT_NE(h.event(QString::fromUtf8(name)), nullptr) << name;
    // One door: every metrics event goes to the metrics log and to the history's event table.
    EXPECT_EQ(h.services->metrics, h.history->eventNames());
    EXPECT_EQ(r.persistenceMetrics.sessionID, QStringLiteral("SESSION-1"));
    const auto* complete = h.event(QStringLiteral("dictation.complete"));
    ASSERT_NE(complete, nullptr);
    EXPECT_EQ(complete->fieldType, QStringLiteral("email"));
    EXPECT_EQ(complete->payload.value("quality").toMap().value("word_count").toInt(), 2);

    // Back to idle; the stage follows half a second later.
    EXPECT_EQ(h.pipeline->pipelineStep(), PipelineStep::done);
    EXPECT_TRUE(h.pipeline->streamingText().isEmpty());
    h.clock.advance(std::chrono::milliseconds(500));
    EXPECT_TRUE(waitUntil([&] { return h.pipeline->pipelineStep() == PipelineStep::idle; }));
}

TEST(PipelineBatchRoad, FallbackTierAndNoContext) {
    PipelineHarness h(VantroseSettings(), {false});
    h.setUp();
    h.batch->answers.push_back(FakeBatchRecognizer::text(QStringLiteral("hello world"), QStringLiteral("secondary")));
    h.batch->cloudMetrics = PipelineCloudMetrics{};
    ASSERT_TRUE(h.dictate(25));
    const TranscriptionResult& r = *h.pipeline->lastResult();
    EXPECT_EQ(r.asrTierUsed, QStringLiteral("secondary-batch"));
    EXPECT_EQ(r.persistenceMetrics.fallbackLevel, 1);
    EXPECT_EQ(r.persistenceMetrics.fallbackReason.value_or(QString()), QStringLiteral("retry_fallback"));
    EXPECT_FALSE(r.latencyMetrics.uploadRequestMs.has_value());  // cloud metrics only for the primary tier
    EXPECT_EQ(r.appType, QStringLiteral("general"));
    EXPECT_EQ(r.persistenceMetrics.fieldType, QStringLiteral("unknown"));
    EXPECT_FALSE(r.persistenceMetrics.hasAXText);
    EXPECT_EQ(r.persistenceMetrics.contextTokenCount, 0);
    EXPECT_FALSE(h.batch->cloudContext.has_value());
}

TEST(PipelineBatchRoad, TooShortRecordingEndsQuietlyAndClosesTheLiveStream) {
    for (const int chunks : {7, 8}) {
        SCOPED_TRACE(chunks);
        BatchHarness h;
        ASSERT_TRUE(h.dictate(chunks));
        const bool longEnough = chunks == 8;
        EXPECT_EQ(h.batch->transcribeCalls, longEnough ? 1 : 0);
        EXPECT_EQ(h.inserter->calls.size(), longEnough ? 1 : 0);
        EXPECT_EQ(h.recognizer->stopCalls, 1);  // ended on both exits
        EXPECT_FALSE(h.recognizer->open);
        EXPECT_EQ(h.pipeline->recordedChunkCount(), 0);
    }
}

TEST(PipelineBatchRoad, EmptyOrImplausibleTranscriptIsDiscarded) {
    const struct {
        const char* text;
        bool errorSound;
    } table[] = {{" \n ", false}, {"thank you for watching", true}};
    for (const auto& row : table) {
        SCOPED_TRACE(row.text);
        BatchHarness h;
        h.services->enabledFlags = {QStringLiteral("sound-effects")};
        h.batch->answers.push_back(FakeBatchRecognizer::text(QString::fromUtf8(row.text)));
        ASSERT_TRUE(h.dictate(25));
        EXPECT_TRUE(h.inserter->calls.isEmpty());
        EXPECT_TRUE(h.history->stored.isEmpty());
        EXPECT_FALSE(h.pipeline->lastResult().has_value());
        EXPECT_EQ(h.formatter->calls, 0);
        EXPECT_EQ(h.services->sounds.contains(QStringLiteral("error.wav")), row.errorSound);
    }
}

TEST(PipelineBatchRoad, FormattingModesAndTheirLabels) {
    const struct {
        FormattingMode mode;
        bool serverFormatted;
        const char* formatted;
        const char* label;
        int formatterCalls;
    } table[] = {
        {FormattingMode::aiFormatting, false, "Hello World.", "RuleBased", 1},
        {FormattingMode::noFormatting, false, "Hello WORLD", "none", 0},
        {FormattingMode::casualMessaging, false, "hello world.", "casual_RuleBased", 1},
        {FormattingMode::allLowercase, false, "hello world", "lowercase", 0},
        {FormattingMode::aiFormatting, true, "Hello WORLD", "server-combined", 0},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.label);
        VantroseSettings settings;
        settings.personalization.formattingMode = row.mode;
        BatchHarness h(settings);
        h.formatter->answer = QStringLiteral("Hello World.");
        h.batch->answers.push_back(
            FakeBatchRecognizer::text(QStringLiteral("Hello WORLD"), QStringLiteral("primary"), row.serverFormatted));
        ASSERT_TRUE(h.dictate(25));
        EXPECT_EQ(h.formatter->calls, row.formatterCalls);
        EXPECT_EQ(h.result().formattedText, QString::fromUtf8(row.formatted));
        EXPECT_EQ(h.result().formatterUsed, QString::fromUtf8(row.label));
    }
}

// "Enable AI formatting" off, switched on the running pipeline: the rules format the recogniser's
// own words, never a language model, on either road; a server's formatted text gives way.
TEST(PipelineBatchRoad, WithoutAIFormattingTheRulesFormatTheRecognisedWords) {
    const struct {
        const char* name;
        bool serverFormatted;
    } table[] = {{"on-device words", false}, {"words the server formatted", true}};
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        BatchHarness h;
        h.pipeline->updateSettings([](VantroseSettings& s) { s.formattingEnabled = false; });
        h.formatter->name = QStringLiteral("Model");
        h.formatter->answer = QStringLiteral("Hi there, world!");
        FakeBatchRecognizer::Answer answer = FakeBatchRecognizer::text(
            row.serverFormatted ? QStringLiteral("Hi there, world!") : QStringLiteral("hello world"),
            QStringLiteral("primary"), row.serverFormatted);
        if (row.serverFormatted) answer.transcription.unformattedText = QStringLiteral("hello world");
        h.batch->answers.push_back(answer);
        ASSERT_TRUE(h.dictate(25));
        EXPECT_EQ(h.formatter->calls, 0);
        EXPECT_EQ(h.inserter->pastedTexts(), QStringList{QStringLiteral("Hello world.")});
        EXPECT_EQ(h.result().rawText, QStringLiteral("hello world"));
        EXPECT_EQ(h.result().formatterUsed, QStringLiteral("RuleBased"));
    }

    // The streaming road: the server's recognition, not its formatted text.
    PipelineHarness h;
    h.setUp();
    h.pipeline->updateSettings([](VantroseSettings& s) { s.formattingEnabled = false; });
    h.link->linkState = AbstractStreamingLink::State::connected;
    h.record(25);
    h.pipeline->stopDictation();
    ASSERT_TRUE(waitUntil([&] { return h.link->commits.size() == 1; }));
    h.link->onFinalResult(QStringLiteral("hello world"), QStringLiteral("Hi there, world!"),
                          QJsonObject{{"llm_provider", "model"}});
    ASSERT_TRUE(h.waitForStatus(S::idle));
    EXPECT_EQ(h.inserter->pastedTexts(), QStringList{QStringLiteral("Hello world.")});
    EXPECT_EQ(h.pipeline->lastResult()->formatterUsed, QStringLiteral("streaming:RuleBased"));
}

TEST(PipelineBatchRoad, PlaceholderTextIsHiddenFromTheFormatter) {
    BatchHarness h;
    TranscriptionContext context = mailContext();
    // Some fields select their prompt when focused.
    context.textboxContents.contents = QStringLiteral("Type a message");
    context.textboxContents.beforeText.clear();
    context.textboxContents.selectedText = QStringLiteral("Type a message");
    h.contextEngine->context = context;
    ASSERT_TRUE(h.dictate(25));
    ASSERT_EQ(h.formatter->contexts.size(), 1);
    EXPECT_TRUE(h.formatter->contexts.first().selectedText.isEmpty());
    EXPECT_EQ(h.batch->cloudContext->value("textbox").toObject().value("selected_text").toString(), "Type a message");
}

TEST(PipelineBatchRoad, ScreenWordsReplaceTheContextsOwn) {
    BatchHarness h;
    h.services->enabledFlags = {QStringLiteral("should-ocr-screen-capture")};
    h.contextEngine->context = mailContext();
    h.screen->result.ocrWords = {QStringLiteral("Quarterly"), QStringLiteral("Report")};
    h.screen->result.totalTimeMs = 55;
    ASSERT_TRUE(h.dictate(25));
    EXPECT_EQ(h.result().ocrContext, (QStringList{QStringLiteral("Quarterly"), QStringLiteral("Report")}));
    EXPECT_EQ(h.result().latencyMetrics.ocrCaptureTimeMs.value_or(-1), 55);
    EXPECT_EQ(h.screen->enginesMade, 1);
}

// A formatter that fails (the server refuses or cannot be reached) costs the dictation nothing:
// the rules format it, and it is fitted, replaced, pasted and kept as usual.
TEST(PipelineBatchRoad, FormatterFailurePastesTheRuleFormattedText) {
    const struct {
        FormattingMode mode;
        const char* formatted;
        const char* pasted;
        const char* label;
    } table[] = {
        {FormattingMode::aiFormatting, "Hello world.", "Hello World!.", "RuleBased"},
        {FormattingMode::casualMessaging, "hello world.", "hello World!.", "casual_RuleBased"},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.label);
        VantroseSettings settings;
        settings.personalization.formattingMode = row.mode;
        settings.textReplacements = {TextReplacement{QStringLiteral("world"), QStringLiteral("World!")}};
        BatchHarness h(settings);
        h.formatter->failure = QStringLiteral("Connection refused");
        const qsizetype mark = loggedText().size();
        bool failedShown = false;
        QObject::connect(h.pipeline.get(), &DictationPipeline::statusChanged,
                         [&](DictationStatus status) { failedShown |= status == S::error || status == S::retrying; });
        h.batch->answers.push_back(FakeBatchRecognizer::text(QStringLiteral("hello world")));
        ASSERT_TRUE(h.dictate(25));

        EXPECT_EQ(h.inserter->pastedTexts(), QStringList{QString::fromUtf8(row.pasted)});
        ASSERT_EQ(h.history->stored.size(), 1);
        const TranscriptionResult& r = h.result();
        EXPECT_EQ(r.formattedText, QString::fromUtf8(row.formatted));
        EXPECT_EQ(r.pastedText, QString::fromUtf8(row.pasted));
        EXPECT_EQ(r.formatterUsed, QString::fromUtf8(row.label));
        EXPECT_TRUE(r.usedFallbackFormatting);
        EXPECT_FALSE(failedShown);
        EXPECT_FALSE(h.pipeline->errorMessage().has_value());
        EXPECT_FALSE(h.services->trackedEvents().contains(QStringLiteral("dictation_failed")));
        EXPECT_TRUE(loggedTextSince(mark).contains(
            QStringLiteral("Pipeline: Formatter failed — Connection refused — pasting the rule-based text")));
    }
}

// The server's formatter that failed gives way to the pipeline's own; the next dictation asks the
// server again and takes its formatter back once it is there.
TEST(PipelineBatchRoad, AfterTheServersFormatterFailedTheNextDictationAsksAgain) {
    auto cloud = std::make_shared<FakeFormatter>();
    cloud->name = QStringLiteral("cloud:model-1");
    cloud->answer = QStringLiteral("From the server.");
    std::shared_ptr<TextFormatterProtocol> probeAnswer = cloud;
    int probes = 0;
    PipelineHarness::Options options;
    options.probeCloudFormatter = [&] {
        ++probes;
        return probeAnswer;
    };
    PipelineHarness h(VantroseSettings(), options);
    h.setUp();
    ASSERT_EQ(probes, 1);
    EXPECT_EQ(&h.pipeline->formatter(), cloud.get());

    const auto dictate = [&] {
        h.inserter->calls.clear();
        EXPECT_TRUE(h.dictate(25));
        return h.pipeline->lastResult()->formatterUsed;
    };
    cloud->failure = QStringLiteral("Ollama API request failed");
    EXPECT_EQ(dictate(), QStringLiteral("RuleBased"));  // the rules, after the server's failure
    EXPECT_EQ(h.inserter->pastedTexts(), QStringList{QStringLiteral("Hello world.")});
    EXPECT_EQ(h.formatter->calls, 0);
    EXPECT_EQ(probes, 1);

    cloud->failure.reset();
    EXPECT_EQ(dictate(), QStringLiteral("cloud:model-1"));  // asked again, and back
    EXPECT_EQ(probes, 2);
    EXPECT_EQ(h.inserter->pastedTexts(), QStringList{QStringLiteral("From the server.")});

    cloud->failure = QStringLiteral("Ollama API request failed");
    dictate();
    probeAnswer = nullptr;  // the server reports no formatter now
    EXPECT_EQ(dictate(), QStringLiteral("RuleBased"));
    EXPECT_EQ(probes, 3);
    EXPECT_EQ(h.formatter->calls, 1);  // the pipeline's own formatter, without a failure
    EXPECT_FALSE(h.pipeline->lastResult()->usedFallbackFormatting);
    dictate();
    EXPECT_EQ(probes, 3);  // a settled answer is not asked for again
}

// A cancel while the dictation is being recognised or formatted ends it: nothing is pasted.
TEST(PipelineBatchRoad, CancelDuringProcessingPastesNothing) {
    for (const bool inFormatter : {false, true}) {
        SCOPED_TRACE(inFormatter);
        BatchHarness h;
        auto gate = std::make_shared<FakeGate>();
        (inFormatter ? h.formatter->gate : h.batch->gate) = gate;
        h.record(25);
        h.pipeline->stopDictation();
        ASSERT_TRUE(waitUntil([&] { return gate->waiting() == 1; }));
        h.pipeline->cancelDictation();
        EXPECT_EQ(h.pipeline->status(), S::idle);
        gate->open();
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        EXPECT_TRUE(h.inserter->calls.isEmpty());
        EXPECT_TRUE(h.history->stored.isEmpty());
        EXPECT_EQ(h.pipeline->status(), S::idle);
    }
}

// Pasting nothing would still overwrite the user's clipboard and store an empty record.
TEST(PipelineBatchRoad, EmptyFinalTextReturnsQuietlyToIdle) {
    const struct {
        const char* formatted;
        const char* replaced;
    } table[] = {{"", nullptr}, {"Um.", "Um."}};
    for (const auto& row : table) {
        SCOPED_TRACE(row.formatted);
        VantroseSettings settings;
        if (row.replaced) settings.textReplacements = {TextReplacement{QString::fromUtf8(row.replaced), QString()}};
        BatchHarness h(settings);
        h.formatter->answer = QString::fromUtf8(row.formatted);
        ASSERT_TRUE(h.dictate(25));
        EXPECT_TRUE(h.inserter->calls.isEmpty());
        EXPECT_TRUE(h.history->stored.isEmpty());
        EXPECT_FALSE(h.pipeline->lastResult().has_value());
    }
}

TEST(PipelineBatchRoad, RecentResultsKeepTheNewestHundred) {
    PipelineHarness h;
    for (int i = 0; i < 100; ++i) {
        TranscriptionResult::Fields f;
        f.formattedText = QStringLiteral("old %1").arg(i);
        h.history->preloaded.append(TranscriptionResult(f));
    }
    h.setUp();
    ASSERT_TRUE(h.dictate(25));
    ASSERT_EQ(h.pipeline->recentResults().size(), 100);
    EXPECT_EQ(h.pipeline->recentResults().first().formattedText, QStringLiteral("Hello world."));
    EXPECT_EQ(h.pipeline->recentResults().last().formattedText, QStringLiteral("old 98"));
}

TEST(PipelineBatchRoad, EveryFifthEvaluatedDictationPrintsTheReport) {
    BatchHarness h;
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(h.dictate(25));
    EXPECT_EQ(h.services->reports, 1);
}

TEST(PipelineBatchRoad, LatencyWarningsFollowTheirThresholds) {
    const struct {
        double axMs;
        const char* expected;
    } table[] = {{800, nullptr}, {800.5, "dictation.context.ax_slow"}, {1200.5, "dictation.context.ax_timeout_mode"}};
    for (const auto& row : table) {
        SCOPED_TRACE(row.axMs);
        BatchHarness h;
        TranscriptionContext context = mailContext();
        context.contextGatherTimeMs = row.axMs;
        h.contextEngine->context = context;
        ASSERT_TRUE(h.dictate(25));
        const bool slow = h.event(QStringLiteral("dictation.context.ax_slow")) != nullptr;
        const bool timeout = h.event(QStringLiteral("dictation.context.ax_timeout_mode")) != nullptr;
        EXPECT_EQ(slow, row.expected && QByteArray(row.expected) == "dictation.context.ax_slow");
        EXPECT_EQ(timeout, row.expected && QByteArray(row.expected) == "dictation.context.ax_timeout_mode");
    }
}

TEST(PipelineBatchRoad, DivergenceCountsDistinctWords) {
    const struct {
        const char* raw;
        const char* formatted;
        float expected;
    } table[] = {{"Hello world", "hello world.", 0.5f},
                 {"", "anything", 0.0f},
                 {"a b", "A B", 0.0f},
                 {"one two three", "one", 2.0f / 3.0f}};
    for (const auto& row : table) {
        SCOPED_TRACE(row.raw);
        EXPECT_FLOAT_EQ(
            DictationPipeline::computeDivergence(QString::fromUtf8(row.raw), QString::fromUtf8(row.formatted)),
            row.expected);
    }
}

}  // namespace

namespace {

// The real history store behind the seam keeps the record, its events and the totals.
TEST(PipelineHistoryStore, DictationIsStoredInTheDatabase) {
    const QString path = TestEnvironment::root() + QStringLiteral("/pipeline-history.sqlite");
    HistoryStore* store = nullptr;
    PipelineHarness::Options options;
    options.makeHistory = [&] {
        auto owned = std::make_unique<HistoryStore>(path);
        store = owned.get();
        return std::make_unique<HistoryStorePipelineHistory>(std::move(owned));
    };
    {
        PipelineHarness h(VantroseSettings(), options);
        h.setUp();
        ASSERT_TRUE(h.dictate(25));
        store->flush();
        EXPECT_EQ(store->loadTotals().dictations, 1);
        EXPECT_EQ(store->loadTotals().words, 2);
    }
    PipelineHarness reopened(VantroseSettings(), options);
    reopened.setUp();
    EXPECT_EQ(reopened.pipeline->totalDictations(), 1);
    ASSERT_EQ(reopened.pipeline->recentResults().size(), 1);
    EXPECT_EQ(reopened.pipeline->recentResults().first().pastedText, QStringLiteral("Hello world."));
}

}  // namespace

namespace {

// The stage reset after a completion belongs to that dictation: a new one keeps its stage.
TEST(PipelineStage, ResetAfterCompletionLeavesANewDictationAlone) {
    PipelineHarness h;
    h.setUp();
    ASSERT_TRUE(h.dictate(25));
    EXPECT_EQ(h.pipeline->pipelineStep(), PipelineStep::done);
    h.pipeline->startDictation();
    h.clock.advance(std::chrono::milliseconds(500));
    QCoreApplication::processEvents();
    EXPECT_EQ(h.pipeline->pipelineStep(), PipelineStep::listening);
}

}  // namespace
