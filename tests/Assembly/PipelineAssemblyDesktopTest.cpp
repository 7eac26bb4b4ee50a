// The pipeline assembled exactly as the program assembles it, on the virtual desktop: its
// analytics reach the server's upload, its HTTP session is warmed at set-up and pings the server
// for every dictation, and its feedback sounds come out of the desktop's speakers.
#include "Assembly/PipelineAssembly.h"

#include "Auth/AuthManager.h"
#include "Core/Audio/MicTimingPredictor.h"
#include "Core/Audio/SoundManager.h"
#include "Core/Cloud/NetworkSession.h"
#include "Core/Desktop/AbstractAppDetector.h"
#include "Core/Services/Analytics.h"
#include "Core/Services/FeatureFlags.h"
#include "Foundation/Clock.h"
#include "Foundation/StringShield.h"
#include "Foundation/UserDefaults.h"
#include "Platform/X11/X11KeyInjector.h"

#include "support/ExtraMicrophone.h"
#include "support/FixtureApp.h"
#include "support/LogText.h"
#include "support/LoopbackVendorServer.h"
#include "support/MicFeeder.h"
#include "support/SinkMonitor.h"
#include "support/SpeechFixture.h"
#include "support/TestEnvironment.h"

#include <QJsonArray>

#include <X11/keysym.h>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>

namespace {

using namespace std::chrono_literals;
constexpr auto kDeadline = 60s;  // the desktop suite may share the machine with other builds

class PipelineAssemblyDesktopTest : public ::testing::Test {
protected:
    // One server for the whole process: the analytics client reads its base once, when it is
    // first used.
    static void SetUpTestSuite() {
        if (!MicFeeder::available()) return;
        serverHolder = std::make_unique<LoopbackVendorServer>();
        if (!serverHolder->start()) return;
        serverHolder->setLLMProviders(QJsonObject{{"loopback", false}});
        UserDefaults::shared().setValue(QStringLiteral("cloudServerURL"), serverHolder->baseUrl());
        UserDefaults::shared().setValue(QStringLiteral("vantrose_cloud_server_url"), serverHolder->baseUrl());
    }
    static void TearDownTestSuite() { serverHolder.reset(); }

    void SetUp() override {
        if (!MicFeeder::available()) GTEST_SKIP() << "needs the virtual desktop (scripts/with-desktop.sh)";
        ASSERT_TRUE(serverHolder && serverHolder->port() != 0);
        ASSERT_EQ(Analytics::shared().serverURL(), server().baseUrl()) << "the analytics client was built earlier";
        SoundManager::setSoundsDirectory(QStringLiteral(VANTROSE_SOURCE_DIR "/resources/sounds"));
    }

    void TearDown() override {
        if (pipeline) pipeline->teardown();
        Clock::setCurrent(nullptr);
        if (!serverHolder) return;
        UserDefaults& defaults = UserDefaults::shared();
        defaults.setValue(QStringLiteral("cloudServerURL"), serverHolder->baseUrl());
        for (const QString& key : {AuthManager::accessTokenKey, AuthManager::refreshTokenKey}) defaults.remove(key);
    }

    // Says the first sentence into the microphone while the pipeline listens; waits for its record.
    void dictateOnce() {
        ASSERT_TRUE(SpeechFixture::toolsAvailable()) << "flite and sox make the spoken sentence";
        pipeline->startDictation();
        ASSERT_TRUE(waitUntil([&] { return pipeline->status() == DictationStatus::listening; }, kDeadline))
            << loggedText().toStdString();
        std::vector<float> samples = SpeechFixture::silence(0.3);
        const std::vector<float> speech = SpeechFixture::speak(SpeechFixture::sentences().first());
        samples.insert(samples.end(), speech.begin(), speech.end());
        MicFeeder mic;
        mic.play(samples);
        ASSERT_TRUE(waitUntil([&] { return mic.finished(); }, kDeadline));
        pipeline->stopDictation();
        ASSERT_TRUE(waitUntil([&] { return pipeline->lastResult().has_value(); }, kDeadline))
            << loggedText().toStdString();
    }

    // Signed in on a service of its own that formats, with the program's pipeline set up against it;
    // then the service's formatting fails as `fault` makes it, and one dictation is spoken.
    void dictateWhileFormattingFails(const std::function<void(LoopbackVendorServer&)>& fault) {
        LoopbackVendorServer service;
        ASSERT_TRUE(service.start());
        service.setLLMProviders(QJsonObject{{"loopback", true}});
        const LoopbackVendorServer::TokenPair tokens = service.issueTokens();
        UserDefaults& defaults = UserDefaults::shared();
        defaults.setValue(AuthManager::accessTokenKey, tokens.accessToken);
        defaults.setValue(AuthManager::refreshTokenKey, tokens.refreshToken);
        defaults.setValue(QStringLiteral("cloudServerURL"), service.baseUrl());
        const qsizetype mark = loggedText().size();
        ASSERT_NO_FATAL_FAILURE(assembleAndSetUp(VantroseSettings(), service.baseUrl()));
        ASSERT_TRUE(loggedTextSince(mark).contains("Pipeline: Cloud LLM formatter available"))
            << loggedTextSince(mark).toStdString();

        fault(service);
        ASSERT_NO_FATAL_FAILURE(dictateOnce());

        // Recognised on this machine, formatted by rule, pasted and kept.
        const TranscriptionResult& result = *pipeline->lastResult();
        EXPECT_TRUE(loggedTextSince(mark).contains("Pipeline: Formatter failed — "))
            << loggedTextSince(mark).toStdString();
        EXPECT_FALSE(loggedTextSince(mark).contains("Pipeline: Error — ")) << loggedTextSince(mark).toStdString();
        EXPECT_EQ(result.formatterUsed, "RuleBased");
        EXPECT_TRUE(result.usedFallbackFormatting);
        EXPECT_LE(SpeechFixture::wordErrorRate(SpeechFixture::sentences().first(), result.pastedText), 0.35)
            << result.pastedText.toStdString();
        EXPECT_TRUE(fixture.waitForText(result.pastedText, kDeadline)) << fixture.text().toStdString();
        ASSERT_FALSE(pipeline->recentResults().isEmpty());
        EXPECT_EQ(pipeline->recentResults().first().id, result.id);
    }

    // The program's pipeline over these stored settings, set up, with the fixture window focused.
    void assembleAndSetUp(VantroseSettings settings = VantroseSettings(), const QString& cloudServerURL = {}) {
        ASSERT_TRUE(fixture.start(kDeadline));
        ASSERT_TRUE(fixture.activate(kDeadline));
        settings.cloudServerURL = cloudServerURL.isEmpty() ? server().baseUrl() : cloudServerURL;
        pipeline = assembleDictationPipeline(settings);
        bool setUp = false;
        auto setup = [](DictationPipeline* p, bool* done) -> QCoro::Task<> {
            co_await p->setup();
            *done = true;
        }(pipeline.get(), &setUp);
        ASSERT_TRUE(waitUntil([&] { return setUp; }, kDeadline));
        ASSERT_TRUE(waitUntil([] { return loggedText().contains("Pipeline: Setup complete"); }, kDeadline))
            << loggedText().toStdString();
    }

    // Every event name the server has received so far, after handing it whatever is queued.
    QStringList uploadedEventNames() {
        Analytics::shared().flush();
        QStringList names;
        for (const QJsonObject& event : server().receivedEvents()) names << event.value("event").toString();
        return names;
    }

    bool uploaded(const QStringList& expected) {
        return waitUntil(
            [&] {
                const QStringList names = uploadedEventNames();
                for (const QString& name : expected)
                    if (!names.contains(name)) return false;
                return true;
            },
            kDeadline);
    }

    static inline std::unique_ptr<LoopbackVendorServer> serverHolder;
    ManualClock clock;  // installed by the tests that drive time; outlives the pipeline's tear-down
    static LoopbackVendorServer& server() { return *serverHolder; }
    FixtureApp fixture{"AssemblyTarget", "assembly target"};
    std::unique_ptr<DictationPipeline> pipeline;
};

TEST_F(PipelineAssemblyDesktopTest, ADictationPlaysItsSoundsPingsTheServerAndUploadsItsEvents) {
    ASSERT_TRUE(SpeechFixture::toolsAvailable()) << "flite and sox make the spoken sentence";
    SinkMonitor speakers;
    ASSERT_TRUE(speakers.start()) << "parec cannot record the test desktop's speakers";
    ASSERT_NO_FATAL_FAILURE(assembleAndSetUp());

    // Set-up warmed the shared session: a health request carrying its default headers.
    ASSERT_TRUE(waitUntil([] { return NetworkSession::shared().isWarmed(); }, kDeadline)) << loggedText().toStdString();
    EXPECT_TRUE(loggedText().contains("NetworkSession: Connection pre-warmed to " + server().baseUrl()));
    bool warmUpSeen = false;
    for (const RecordedRequest& request : server().requests(server().paths().health))
        warmUpSeen |= request.header(StringShield::hdrDeviceID().toUtf8()) == Analytics::shared().deviceID().toUtf8();
    EXPECT_TRUE(warmUpSeen);

    // The polish state and the command mode around it.
    ASSERT_TRUE(pipeline->polishEngine());
    ASSERT_TRUE(pipeline->commandMode());
    EXPECT_EQ(pipeline->commandMode()->polishEngine(), pipeline->polishEngine());
    EXPECT_TRUE(pipeline->polishEngine()->historyStore());
    EXPECT_EQ(pipeline->polishEngine()->ollamaEndpoint(), pipeline->settings().ollamaEndpoint);

    // The start sound is heard as recording begins.
    speakers.reset();
    pipeline->startDictation();
    ASSERT_TRUE(waitUntil([&] { return pipeline->status() == DictationStatus::listening; }, kDeadline))
        << loggedText().toStdString();
    EXPECT_TRUE(waitUntil([&] { return speakers.loudSamples() > 0; }, kDeadline)) << "no start sound";

    std::vector<float> samples = SpeechFixture::silence(0.3);
    const std::vector<float> speech = SpeechFixture::speak(SpeechFixture::sentences().first());
    samples.insert(samples.end(), speech.begin(), speech.end());
    MicFeeder mic;
    mic.play(samples);
    ASSERT_TRUE(waitUntil([&] { return mic.finished(); }, kDeadline));

    // Stop and paste sounds; the dictation's record carries the ping measured at its start.
    speakers.reset();
    pipeline->stopDictation();
    ASSERT_TRUE(waitUntil([&] { return pipeline->lastResult().has_value(); }, kDeadline)) << loggedText().toStdString();
    const std::optional<double> ping = pipeline->lastResult()->latencyMetrics.backendPingTimeAtStreamStartMs;
    ASSERT_TRUE(ping.has_value());
    EXPECT_GE(*ping, 0.0);
    EXPECT_TRUE(waitUntil([&] { return speakers.loudSamples() > 0; }, kDeadline)) << "no stop or paste sound";

    EXPECT_TRUE(uploaded({"dictation_started", "dictation_completed", "dictation_latency"}))
        << uploadedEventNames().join(' ').toStdString();
    for (const QJsonObject& event : server().receivedEvents()) {
        EXPECT_EQ(event.value("device_id").toString(), Analytics::shared().deviceID());
        if (event.value("event") == "dictation_completed") {
            EXPECT_EQ(event.value("properties").toObject().value("asr_tier").toString(),
                      pipeline->lastResult()->asrTierUsed);
        }
    }
}

// The local service stopped while signed in: the formatter's request is refused.
TEST_F(PipelineAssemblyDesktopTest, WithTheServiceStoppedTheRecognisedWordsArePastedFormattedByRule) {
    dictateWhileFormattingFails([](LoopbackVendorServer& service) { service.stop(); });
}

// The account server no longer accepts the token: the formatter's request is answered 401.
TEST_F(PipelineAssemblyDesktopTest, WithTheTokenRefusedTheRecognisedWordsArePastedFormattedByRule) {
    dictateWhileFormattingFails([](LoopbackVendorServer& service) {
        service.scriptAlways("POST", service.paths().format, LoopbackReply::error(401, "Not authenticated"));
    });
}

// "Play feedback sounds" as the speakers hear it: switched off, a dictation's start plays nothing;
// switched on again it plays at once; the feature switch in Vantrose.conf, where set, wins.
TEST_F(PipelineAssemblyDesktopTest, TheSoundSwitchIsObeyedAtOnceAndTheFeatureSwitchWins) {
    SinkMonitor speakers;
    ASSERT_TRUE(speakers.start()) << "parec cannot record the test desktop's speakers";
    ASSERT_NO_FATAL_FAILURE(assembleAndSetUp());
    // The loud samples the speakers give for a dictation's start: once every sound has ended and
    // half a second more has come out of them, whatever was played has been heard.
    const auto heardAtStart = [&]() -> long {
        speakers.reset();
        pipeline->startDictation();
        EXPECT_TRUE(waitUntil([&] { return pipeline->status() == DictationStatus::listening; }, kDeadline));
        EXPECT_TRUE(waitUntil([] { return SoundManager::activeSoundCount() == 0; }, kDeadline));
        const long ended = speakers.samples();
        EXPECT_TRUE(waitUntil([&] { return speakers.samples() >= ended + 8000; }, kDeadline));
        pipeline->cancelDictation();
        EXPECT_TRUE(waitUntil([&] { return pipeline->status() == DictationStatus::idle; }, kDeadline));
        return speakers.loudSamples();
    };
    EXPECT_GT(heardAtStart(), 0);
    pipeline->updateSettings([](VantroseSettings& s) { s.soundsEnabled = false; });
    EXPECT_EQ(heardAtStart(), 0);

    const QString featureSwitch = QStringLiteral("vantrose_feature_flags/sound-effects");
    UserDefaults::shared().setValue(featureSwitch, true);
    FeatureFlags::reloadForTesting();
    EXPECT_GT(heardAtStart(), 0);
    UserDefaults::shared().remove(featureSwitch);
    FeatureFlags::reloadForTesting();

    pipeline->updateSettings([](VantroseSettings& s) { s.soundsEnabled = true; });
    EXPECT_GT(heardAtStart(), 0);
}

// The microphone chosen before the restart records from the first dictation. Unplugged, the
// default records (its start-up filed under the default) and the choice stays; plugged in again,
// it records once more.
TEST_F(PipelineAssemblyDesktopTest, TheStoredMicrophoneRecordsAndItsTimingsAreItsOwn) {
    ExtraMicrophone usb(QStringLiteral("vantrose_usb_mic"));
    ASSERT_TRUE(usb.plugIn());
    VantroseSettings stored;
    stored.selectedMicUID = usb.uid();
    ASSERT_NO_FATAL_FAILURE(assembleAndSetUp(stored));
    MicTimingPredictor& timings = MicTimingPredictor::shared();

    // One dictation: a tone played into `fifo` must reach the pipeline (a pipe source is silent
    // while nobody writes it, so only the device that records hears it).
    const auto recordsFrom = [&](const QString& fifo) {
        pipeline->startDictation();
        if (!waitUntil([&] { return pipeline->status() == DictationStatus::listening; }, kDeadline)) return false;
        std::vector<float> tone(16000);
        for (std::size_t i = 0; i < tone.size(); ++i) tone[i] = 0.5f * float(std::sin(2 * M_PI * 440 * i / 16000.0));
        MicFeeder feeder(fifo);
        feeder.play(tone);
        const bool heard = waitUntil([&] { return pipeline->rawAudioLevel() > 0.5f; }, 10s);
        feeder.wait();
        pipeline->cancelDictation();
        waitUntil([&] { return pipeline->status() == DictationStatus::idle; }, kDeadline);
        return heard;
    };
    const QString defaultFifo = qEnvironmentVariable("VANTROSE_MIC_FIFO");
    const qsizetype usbStarts = timings.timings(usb.uid()).size();
    const qsizetype defaultStarts = timings.timings(QStringLiteral("system-default")).size();

    EXPECT_TRUE(recordsFrom(usb.fifoPath())) << loggedText().toStdString();
    EXPECT_EQ(timings.timings(usb.uid()).size(), usbStarts + 1);

    ASSERT_TRUE(usb.unplug());
    EXPECT_TRUE(recordsFrom(defaultFifo));
    EXPECT_EQ(timings.timings(QStringLiteral("system-default")).size(), defaultStarts + 1);
    EXPECT_EQ(timings.timings(usb.uid()).size(), usbStarts + 1);
    EXPECT_EQ(pipeline->settings().selectedMicUID, usb.uid());

    ASSERT_TRUE(usb.plugIn());
    EXPECT_TRUE(recordsFrom(usb.fifoPath()));
    EXPECT_EQ(timings.timings(usb.uid()).size(), usbStarts + 2);
}

// A burst of typing in another window makes a reminder; its events and the pipeline's answer to
// the dismissal reach the server's upload.
TEST_F(PipelineAssemblyDesktopTest, TypingReminderEventsReachTheUpload) {
    Clock::setCurrent(&clock);
    ASSERT_NO_FATAL_FAILURE(assembleAndSetUp());

    AbstractAppDetector& detector = pipeline->appDetector();
    ASSERT_TRUE(waitUntil(
        [&] {
            detector.updateActiveApp();
            return detector.activeApp().has_value() && !detector.activeApp()->bundleId.isEmpty();
        },
        kDeadline));
    const QString bundleId = detector.activeApp()->bundleId;

    // One key a second of the reminder's clock: the burst reaches its length after twenty.
    X11KeyInjector keys;
    const uint8_t a = keys.keycodeForKeysym(XK_a);
    ASSERT_NE(a, 0);
    TypingReminderEngine& engine = pipeline->typingReminders().engine();
    for (int typed = 1; typed <= 25 && !pipeline->typingSuggestion(); ++typed) {
        const int before = engine.burstCharacters(bundleId);
        ASSERT_TRUE(keys.sendKey(a, true));
        ASSERT_TRUE(keys.sendKey(a, false));
        ASSERT_TRUE(waitUntil(
            [&] { return engine.burstCharacters(bundleId) != before || pipeline->typingSuggestion(); }, kDeadline))
            << "key " << typed << " was not counted";
        clock.advance(1.0);
    }
    ASSERT_TRUE(pipeline->typingSuggestion()) << loggedText().toStdString();
    EXPECT_EQ(pipeline->typingSuggestion()->bundleId, bundleId);
    pipeline->dismissTypingSuggestion(false);

    EXPECT_TRUE(uploaded({"typing_reminder_shown", "typing_reminder_dismissed", "typing_reminder_dismiss_trigger"}))
        << uploadedEventNames().join(' ').toStdString();
    for (const QJsonObject& event : server().receivedEvents()) {
        if (event.value("event").toString().startsWith("typing_reminder")) {
            EXPECT_EQ(event.value("properties").toObject().value("bundle_id").toString(), bundleId);
        }
    }
}

}  // namespace
