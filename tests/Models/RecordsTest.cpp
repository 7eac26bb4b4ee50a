#include "Foundation/Clock.h"
#include "Models/DictationMetrics.h"
#include "Models/DictationStatus.h"
#include "Models/TranscriptionResult.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <set>
#include <string>

namespace {

std::string str(const QString& s) { return s.toStdString(); }

std::set<std::string> keysOf(const QJsonObject& object) {
    std::set<std::string> keys;
    for (const QString& key : object.keys()) keys.insert(str(key));
    return keys;
}

// ---- Statuses ----

template <typename T>
void expectRawValues(std::initializer_list<const char*> names) {
    int i = 0;
    for (const char* name : names) {
        const T value = static_cast<T>(i++);
        EXPECT_EQ(str(rawValue(value)), name);
        const std::optional<T> parsed = fromRawValue<T>(QString::fromLatin1(name));
        ASSERT_TRUE(parsed.has_value()) << name;
        EXPECT_EQ(*parsed, value);
    }
    EXPECT_FALSE(fromRawValue<T>(QString()).has_value());
}

TEST(StatusTest, RawValuesInDeclarationOrder) {
    expectRawValues<DictationStatus>({"idle", "initializing", "listening", "paused", "stopping", "processing",
                                      "retrying", "inserting", "error", "dismissed", "testing"});
    expectRawValues<PipelineStep>({"idle", "listening", "transcribing", "formatting", "inserting", "done"});
    expectRawValues<ResponseStatus>(
        {"RAW_TRANSCRIPT", "FORMATTED", "ERROR", "EMPTY", "NO_AUDIO", "FALLBACK", "DISMISSED"});
}

TEST(StatusTest, RawValuesMatchExactly) {
    EXPECT_FALSE(fromRawValue<DictationStatus>(QStringLiteral("Idle")).has_value());
    EXPECT_EQ(fromRawValue<DictationStatus>(QStringLiteral("dismissed")), DictationStatus::dismissed);
    EXPECT_EQ(fromRawValue<ResponseStatus>(QStringLiteral("NO_AUDIO")), ResponseStatus::noAudio);
    EXPECT_FALSE(fromRawValue<ResponseStatus>(QStringLiteral("noAudio")).has_value());
    EXPECT_FALSE(fromRawValue<ResponseStatus>(QStringLiteral("no_audio")).has_value());
    EXPECT_FALSE(fromRawValue<PipelineStep>(QStringLiteral("done ")).has_value());
}

// ---- TranscriptionResult ----

TranscriptionResult::Fields sampleFields() {
    TranscriptionResult::Fields f;
    f.rawText = QStringLiteral("hello world");
    f.formattedText = QStringLiteral("Hello world.");
    f.status = ResponseStatus::formatted;
    f.asrTierUsed = QStringLiteral("primary-batch");
    f.appType = QStringLiteral("coding");
    f.appURL = QStringLiteral("https://github.com/");
    f.screenshotData = QByteArray("png");
    f.latencyMetrics.recordingLengthMs = 1200;
    f.persistenceMetrics.traceID = QStringLiteral("trace-1");
    return f;
}

TEST(TranscriptionResultTest, PastedTextFallsBackToTheFormattedText) {
    TranscriptionResult::Fields f = sampleFields();
    EXPECT_EQ(str(TranscriptionResult(f).pastedText), "Hello world.");
    f.pastedText = QStringLiteral("Something else");
    EXPECT_EQ(str(TranscriptionResult(f).pastedText), "Something else");
}

TEST(TranscriptionResultTest, StoresTheGivenFieldsAndStampsTheRecord) {
    ManualClock clock;
    Clock::setCurrent(&clock);
    const TranscriptionResult a(sampleFields());
    const TranscriptionResult b(sampleFields());
    Clock::setCurrent(nullptr);

    EXPECT_NE(a.id, b.id);
    EXPECT_FALSE(a.id.isNull());
    EXPECT_EQ(a.timestamp, clock.now());
    EXPECT_EQ(str(a.rawText), "hello world");
    EXPECT_EQ(a.status, ResponseStatus::formatted);
    EXPECT_EQ(a.appURL, QStringLiteral("https://github.com/"));
    EXPECT_EQ(a.screenshotData, QByteArray("png"));
    EXPECT_EQ(a.latencyMetrics.recordingLengthMs, 1200);
    EXPECT_EQ(str(a.persistenceMetrics.traceID), "trace-1");
}

TEST(TranscriptionResultTest, CountsWordsBetweenRunsOfWhiteSpace) {
    const std::pair<const char*, std::int64_t> cases[] = {
        {"", 0},
        {"   ", 0},
        {"two  words ", 2},
        {"  leading and trailing  ", 3},
        {"line\nbreak", 2},
        {"tab\tseparated", 2},
        {"\t", 0},
        {"mixed \t\r\n  run", 2},
        {"no\u00a0break space", 3},
        {"naïve café", 2},
    };
    for (const auto& [text, words] : cases) {
        TranscriptionResult::Fields f;
        f.formattedText = QString::fromUtf8(text);
        f.rawText = QStringLiteral("raw text has four words");
        EXPECT_EQ(TranscriptionResult(f).wordCount, words) << '"' << text << '"';
    }
}

// ---- JSON of the records ----

// Removing each member of a full encoding in turn must fail the decode exactly for the
// required members; optional members may also be null.
template <typename T>
void expectRequiredMembers(const T& full, const std::set<std::string>& optional) {
    const QJsonObject encoded = full.toJson();
    for (const QString& key : encoded.keys()) {
        QJsonObject without = encoded;
        without.remove(key);
        const JsonResult<T> decoded = T::fromJson(without);
        if (optional.count(str(key))) {
            EXPECT_TRUE(decoded.ok()) << "optional member " << str(key);
            QJsonObject nulled = encoded;
            nulled.insert(key, QJsonValue::Null);
            EXPECT_TRUE(T::fromJson(nulled).ok()) << "null optional member " << str(key);
        } else {
            ASSERT_FALSE(decoded.ok()) << "required member " << str(key);
            EXPECT_EQ(str(decoded.error().path), str(key));
        }
    }
}

template <typename T>
void expectRoundTrip(const T& value) {
    const QByteArray bytes = JsonCoding::toBytes(value.toJson());
    const JsonResult<T> decoded = JsonCoding::decode<T>(bytes);
    ASSERT_TRUE(decoded.ok()) << str(decoded.error().toString());
    EXPECT_TRUE(*decoded == value) << bytes.toStdString();
}

DictationLatencyMetrics fullLatency() {
    DictationLatencyMetrics m;
    m.timeToFirstChunkMs = 1;
    m.recordingLengthMs = 2;
    m.prepareRequestMs = 3;
    m.uploadRequestMs = 4;
    m.remoteLatencyMs = 5;
    m.timeToPasteTextMs = 6;
    m.axContextTimeMs = 7;
    m.mediaStreamSetupMs = 8;
    m.firstAudioChunkLatencyMs = 9;
    m.backendPingTimeAtStreamStartMs = 10;
    m.backendCommitAckTimeMs = 11;
    m.serverProcessingTimeMs = 12;
    m.asrTimeMs = 13;
    m.llmTimeMs = 14;
    m.pastedTimeMs = 15;
    m.ocrCaptureTimeMs = 16.5;
    m.heartbeatLagSamples = {{1.0, 0.5, 0.5}, {2.0, 1.75, 0.25}, {3.0, 3.0, 0.0}};
    return m;
}

DictationPersistenceMetrics fullPersistence() {
    DictationPersistenceMetrics m;
    m.traceID = QStringLiteral("trace");
    m.sessionID = QStringLiteral("session");
    m.transcriptCommand = QStringLiteral("dictation");
    m.speechDurationS = 1.5;
    m.recordingLengthMs = 2000;
    m.e2eLatencyMs = 340.25;
    m.clientNetworkLatencyMs = 40;
    m.fallbackLevel = 2;
    m.fallbackReason = QStringLiteral("timeout");
    m.hasOpusChunks = true;
    m.hasAXText = true;
    m.hasAXHTML = false;
    m.hasScreenshot = true;
    m.pasteSuccess = true;
    m.pasteTimeMs = 12;
    m.focusedControlChanged = true;
    m.hasPrivilegeIssues = false;
    m.contextTokenCount = 512;
    m.fieldType = QStringLiteral("email");
    return m;
}

DictationOutcomeSnapshot fullSnapshot() {
    DictationOutcomeSnapshot s;
    s.secondsAfterPaste = 30;
    s.initialPastedTextHash = QStringLiteral("abc");
    s.finalTextHash = QStringLiteral("def");
    s.charEditDistance = 4;
    s.wordEditDistance = 1;
    s.timeToStableTextMs = 2500;
    s.manualCorrectionsCount = 1;
    s.manualRewriteFraction = 0.25;
    s.acceptedWithoutEdits = false;
    return s;
}

TEST(LatencyMetricsTest, AnalyticsPropertiesOfAnEmptyRecord) {
    const QVariantMap properties = DictationLatencyMetrics{}.analyticsProperties();
    EXPECT_EQ(properties.keys(),
              (QStringList{QStringLiteral("heartbeat_lag_samples"), QStringLiteral("recording_length_ms")}));
    EXPECT_EQ(properties.value(QStringLiteral("heartbeat_lag_samples")).toInt(), 0);
    EXPECT_EQ(properties.value(QStringLiteral("recording_length_ms")).toDouble(), 0.0);
}

TEST(LatencyMetricsTest, AnalyticsPropertiesUseTheEventNames) {
    const QVariantMap properties = fullLatency().analyticsProperties();
    const std::set<std::string> expected = {"time_to_first_chunk_ms",
                                            "recording_length_ms",
                                            "prepare_request_ms",
                                            "upload_request_ms",
                                            "remote_latency_ms",
                                            "time_to_paste_text_ms",
                                            "ax_context_time_ms",
                                            "media_stream_setup_ms",
                                            "first_audio_chunk_latency_ms",
                                            "backend_ping_time_ms",
                                            "backend_commit_ack_time_ms",
                                            "server_processing_time_ms",
                                            "asr_time_ms",
                                            "llm_time_ms",
                                            "pasted_time_ms",
                                            "ocr_capture_time_ms",
                                            "heartbeat_lag_samples"};
    std::set<std::string> keys;
    for (const QString& k : properties.keys()) keys.insert(str(k));
    EXPECT_EQ(keys, expected);
    EXPECT_EQ(properties.value(QStringLiteral("backend_ping_time_ms")).toDouble(), 10.0);
    EXPECT_EQ(properties.value(QStringLiteral("ocr_capture_time_ms")).toDouble(), 16.5);
    EXPECT_EQ(properties.value(QStringLiteral("heartbeat_lag_samples")).toInt(), 3);

    DictationLatencyMetrics one;
    one.backendPingTimeAtStreamStartMs = 42;
    EXPECT_EQ(one.analyticsProperties().size(), 3);
    EXPECT_EQ(one.analyticsProperties().value(QStringLiteral("backend_ping_time_ms")).toDouble(), 42.0);
}

TEST(LatencyMetricsTest, JsonOfAnEmptyRecordHasOnlyTheRequiredMembers) {
    const QJsonObject json = DictationLatencyMetrics{}.toJson();
    EXPECT_EQ(keysOf(json), (std::set<std::string>{"recordingLengthMs", "heartbeatLagSamples"}));
    expectRoundTrip(DictationLatencyMetrics{});
}

TEST(LatencyMetricsTest, JsonRoundTripWithEveryField) {
    const DictationLatencyMetrics full = fullLatency();
    const QJsonObject json = full.toJson();
    EXPECT_EQ(keysOf(json),
              (std::set<std::string>{"timeToFirstChunkMs", "recordingLengthMs", "prepareRequestMs", "uploadRequestMs",
                                     "remoteLatencyMs", "timeToPasteTextMs", "axContextTimeMs", "mediaStreamSetupMs",
                                     "firstAudioChunkLatencyMs", "backendPingTimeAtStreamStartMs",
                                     "backendCommitAckTimeMs", "serverProcessingTimeMs", "asrTimeMs", "llmTimeMs",
                                     "pastedTimeMs", "ocrCaptureTimeMs", "heartbeatLagSamples"}));
    const QJsonArray samples = json.value(QStringLiteral("heartbeatLagSamples")).toArray();
    ASSERT_EQ(samples.size(), 3);
    EXPECT_EQ(keysOf(samples.at(1).toObject()), (std::set<std::string>{"serverAudioSec", "clientAudioSec", "lagSec"}));
    EXPECT_EQ(samples.at(1).toObject().value(QStringLiteral("lagSec")).toDouble(), 0.25);
    expectRoundTrip(full);
}

TEST(LatencyMetricsTest, RequiredAndOptionalMembers) {
    expectRequiredMembers(fullLatency(),
                          {"timeToFirstChunkMs", "prepareRequestMs", "uploadRequestMs", "remoteLatencyMs",
                           "timeToPasteTextMs", "axContextTimeMs", "mediaStreamSetupMs", "firstAudioChunkLatencyMs",
                           "backendPingTimeAtStreamStartMs", "backendCommitAckTimeMs", "serverProcessingTimeMs",
                           "asrTimeMs", "llmTimeMs", "pastedTimeMs", "ocrCaptureTimeMs"});
    expectRequiredMembers(HeartbeatLagSample{1, 2, 3}, {});
}

// JSON has no NaN or infinity: such a number is written as null. The record must still decode,
// with an optional number absent and a required one 0, and every other field as it was.
TEST(LatencyMetricsTest, NonFiniteNumbersSurviveTheRoundTrip) {
    using Optional = std::optional<double> DictationLatencyMetrics::*;
    const Optional optionalFields[] = {&DictationLatencyMetrics::timeToFirstChunkMs,
                                       &DictationLatencyMetrics::prepareRequestMs,
                                       &DictationLatencyMetrics::uploadRequestMs,
                                       &DictationLatencyMetrics::remoteLatencyMs,
                                       &DictationLatencyMetrics::timeToPasteTextMs,
                                       &DictationLatencyMetrics::axContextTimeMs,
                                       &DictationLatencyMetrics::mediaStreamSetupMs,
                                       &DictationLatencyMetrics::firstAudioChunkLatencyMs,
                                       &DictationLatencyMetrics::backendPingTimeAtStreamStartMs,
                                       &DictationLatencyMetrics::backendCommitAckTimeMs,
                                       &DictationLatencyMetrics::serverProcessingTimeMs,
                                       &DictationLatencyMetrics::asrTimeMs,
                                       &DictationLatencyMetrics::llmTimeMs,
                                       &DictationLatencyMetrics::pastedTimeMs,
                                       &DictationLatencyMetrics::ocrCaptureTimeMs};
    using Sample = double HeartbeatLagSample::*;
    const Sample sampleFields[] = {&HeartbeatLagSample::serverAudioSec, &HeartbeatLagSample::clientAudioSec,
                                   &HeartbeatLagSample::lagSec};
    auto reloaded = [](const DictationLatencyMetrics& m) {
        const JsonResult<DictationLatencyMetrics> decoded =
            JsonCoding::decode<DictationLatencyMetrics>(JsonCoding::toBytes(m.toJson()));
        EXPECT_TRUE(decoded.ok()) << str(decoded.error().toString());
        return decoded.ok() ? *decoded : DictationLatencyMetrics{};
    };

    for (const double bad : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity()}) {
        SCOPED_TRACE(bad);
        for (const Optional field : optionalFields) {
            DictationLatencyMetrics m = fullLatency();
            m.*field = bad;
            DictationLatencyMetrics expected = m;
            expected.*field = std::nullopt;
            EXPECT_EQ(reloaded(m), expected);
        }
        DictationLatencyMetrics m = fullLatency();
        m.recordingLengthMs = bad;
        DictationLatencyMetrics expected = m;
        expected.recordingLengthMs = 0;
        EXPECT_EQ(reloaded(m), expected);
        for (const Sample field : sampleFields) {
            m = fullLatency();
            m.heartbeatLagSamples[1].*field = bad;
            expected = m;
            expected.heartbeatLagSamples[1].*field = 0;
            EXPECT_EQ(reloaded(m), expected);
        }

        DictationPersistenceMetrics p;
        p.speechDurationS = p.recordingLengthMs = p.e2eLatencyMs = bad;
        p.clientNetworkLatencyMs = p.pasteTimeMs = bad;
        const auto decodedPersistence =
            JsonCoding::decode<DictationPersistenceMetrics>(JsonCoding::toBytes(p.toJson()));
        ASSERT_TRUE(decodedPersistence.ok());
        EXPECT_EQ(*decodedPersistence, DictationPersistenceMetrics{});

        DictationOutcomeSnapshot o;
        o.manualRewriteFraction = bad;
        o.timeToStableTextMs = bad;
        const auto decodedSnapshot = JsonCoding::decode<DictationOutcomeSnapshot>(JsonCoding::toBytes(o.toJson()));
        ASSERT_TRUE(decodedSnapshot.ok());
        EXPECT_EQ(*decodedSnapshot, DictationOutcomeSnapshot{});
    }
}

TEST(LatencyMetricsTest, DecodeErrors) {
    struct Case {
        const char* name;
        const char* json;
        const char* path;  // where the error is reported; nullptr when the decode succeeds
    };
    const Case cases[] = {
        {"unknown members are ignored", R"({"recordingLengthMs": 5, "heartbeatLagSamples": [], "extra": "x"})",
         nullptr},
        {"null optional", R"({"recordingLengthMs": 5, "heartbeatLagSamples": [], "asrTimeMs": null})", nullptr},
        {"mistyped optional", R"({"recordingLengthMs": 5, "heartbeatLagSamples": [], "asrTimeMs": "12"})", "asrTimeMs"},
        {"mistyped required", R"({"recordingLengthMs": "5", "heartbeatLagSamples": []})", "recordingLengthMs"},
        {"null required measurement", R"({"recordingLengthMs": null, "heartbeatLagSamples": []})", nullptr},
        {"missing required measurement", R"({"heartbeatLagSamples": []})", "recordingLengthMs"},
        {"samples not an array", R"({"recordingLengthMs": 5, "heartbeatLagSamples": {}})", "heartbeatLagSamples"},
        {"sample without lag",
         R"({"recordingLengthMs": 5, "heartbeatLagSamples": [{"serverAudioSec": 1, "clientAudioSec": 1}]})",
         "heartbeatLagSamples[0].lagSec"},
        {"sample not an object", R"({"recordingLengthMs": 5, "heartbeatLagSamples": [3]})", "heartbeatLagSamples[0]"},
    };
    for (const Case& c : cases) {
        const JsonResult<DictationLatencyMetrics> decoded =
            JsonCoding::decode<DictationLatencyMetrics>(QByteArray(c.json));
        if (!c.path) {
            EXPECT_TRUE(decoded.ok()) << c.name;
            continue;
        }
        ASSERT_FALSE(decoded.ok()) << c.name;
        EXPECT_EQ(str(decoded.error().path), c.path) << c.name;
    }
}

TEST(PersistenceMetricsTest, JsonRoundTrip) {
    const DictationPersistenceMetrics full = fullPersistence();
    EXPECT_EQ(keysOf(full.toJson()).size(), 19u);
    expectRoundTrip(full);

    DictationPersistenceMetrics minimal = full;
    minimal.clientNetworkLatencyMs.reset();
    minimal.fallbackReason.reset();
    minimal.pasteTimeMs.reset();
    const std::set<std::string> keys = keysOf(minimal.toJson());
    EXPECT_EQ(keys.count("clientNetworkLatencyMs") + keys.count("fallbackReason") + keys.count("pasteTimeMs"), 0u);
    expectRoundTrip(minimal);
}

TEST(PersistenceMetricsTest, RequiredAndOptionalMembers) {
    expectRequiredMembers(fullPersistence(), {"clientNetworkLatencyMs", "fallbackReason", "pasteTimeMs"});
}

TEST(PersistenceMetricsTest, MistypedMembersFail) {
    const std::pair<const char*, QJsonValue> cases[] = {
        {"fallbackLevel", 1.5},
        {"hasAXText", 1},
        {"fallbackReason", 3},
        {"traceID", QJsonValue::Null},
        {"contextTokenCount", QStringLiteral("512")},
    };
    for (const auto& [key, value] : cases) {
        QJsonObject json = fullPersistence().toJson();
        json.insert(QLatin1StringView(key), value);
        const JsonResult<DictationPersistenceMetrics> decoded = DictationPersistenceMetrics::fromJson(json);
        ASSERT_FALSE(decoded.ok()) << key;
        EXPECT_EQ(str(decoded.error().path), key);
    }
}

TEST(OutcomeSnapshotTest, JsonRoundTripWithAndWithoutStableTime) {
    expectRoundTrip(fullSnapshot());
    DictationOutcomeSnapshot unedited = fullSnapshot();
    unedited.timeToStableTextMs.reset();
    unedited.acceptedWithoutEdits = true;
    EXPECT_FALSE(unedited.toJson().contains(QStringLiteral("timeToStableTextMs")));
    const JsonResult<DictationOutcomeSnapshot> decoded = DictationOutcomeSnapshot::fromJson(unedited.toJson());
    ASSERT_TRUE(decoded.ok());
    EXPECT_FALSE(decoded->timeToStableTextMs.has_value());
    EXPECT_TRUE(*decoded == unedited);
}

TEST(OutcomeSnapshotTest, RequiredAndOptionalMembers) {
    expectRequiredMembers(fullSnapshot(), {"timeToStableTextMs"});
    QJsonObject json = fullSnapshot().toJson();
    json.insert(QStringLiteral("secondsAfterPaste"), 10.5);
    EXPECT_FALSE(DictationOutcomeSnapshot::fromJson(json).ok());
}

}  // namespace
