#include "Models/DictationMetrics.h"

namespace {

void putOptional(QJsonObject& object, const char* key, const std::optional<double>& value) {
    if (value) object.insert(QLatin1StringView(key), *value);
}

void putOptional(QJsonObject& object, const char* key, const std::optional<QString>& value) {
    if (value) object.insert(QLatin1StringView(key), *value);
}

// The optional latency fields with their JSON member and analytics property names.
struct OptionalLatencyField {
    std::optional<double> DictationLatencyMetrics::*field;
    const char* key;
    const char* property;
};

constexpr OptionalLatencyField kOptionalLatencyFields[] = {
    {&DictationLatencyMetrics::timeToFirstChunkMs, "timeToFirstChunkMs", "time_to_first_chunk_ms"},
    {&DictationLatencyMetrics::prepareRequestMs, "prepareRequestMs", "prepare_request_ms"},
    {&DictationLatencyMetrics::uploadRequestMs, "uploadRequestMs", "upload_request_ms"},
    {&DictationLatencyMetrics::remoteLatencyMs, "remoteLatencyMs", "remote_latency_ms"},
    {&DictationLatencyMetrics::timeToPasteTextMs, "timeToPasteTextMs", "time_to_paste_text_ms"},
    {&DictationLatencyMetrics::axContextTimeMs, "axContextTimeMs", "ax_context_time_ms"},
    {&DictationLatencyMetrics::mediaStreamSetupMs, "mediaStreamSetupMs", "media_stream_setup_ms"},
    {&DictationLatencyMetrics::firstAudioChunkLatencyMs, "firstAudioChunkLatencyMs", "first_audio_chunk_latency_ms"},
    {&DictationLatencyMetrics::backendPingTimeAtStreamStartMs, "backendPingTimeAtStreamStartMs",
     "backend_ping_time_ms"},
    {&DictationLatencyMetrics::backendCommitAckTimeMs, "backendCommitAckTimeMs", "backend_commit_ack_time_ms"},
    {&DictationLatencyMetrics::serverProcessingTimeMs, "serverProcessingTimeMs", "server_processing_time_ms"},
    {&DictationLatencyMetrics::asrTimeMs, "asrTimeMs", "asr_time_ms"},
    {&DictationLatencyMetrics::llmTimeMs, "llmTimeMs", "llm_time_ms"},
    {&DictationLatencyMetrics::pastedTimeMs, "pastedTimeMs", "pasted_time_ms"},
    {&DictationLatencyMetrics::ocrCaptureTimeMs, "ocrCaptureTimeMs", "ocr_capture_time_ms"},
};

}  // namespace

// ---- HeartbeatLagSample ----

QJsonObject HeartbeatLagSample::toJson() const {
    return QJsonObject{
        {QStringLiteral("serverAudioSec"), serverAudioSec},
        {QStringLiteral("clientAudioSec"), clientAudioSec},
        {QStringLiteral("lagSec"), lagSec},
    };
}

JsonResult<HeartbeatLagSample> HeartbeatLagSample::fromJson(const QJsonValue& json, const QString& path) {
    JsonDecoder d(json, path);
    HeartbeatLagSample s;
    s.serverAudioSec = d.measurement(QStringLiteral("serverAudioSec"));
    s.clientAudioSec = d.measurement(QStringLiteral("clientAudioSec"));
    s.lagSec = d.measurement(QStringLiteral("lagSec"));
    return d.finish(s);
}

// ---- DictationLatencyMetrics ----

QVariantMap DictationLatencyMetrics::analyticsProperties() const {
    QVariantMap properties{
        {QStringLiteral("recording_length_ms"), recordingLengthMs},
        {QStringLiteral("heartbeat_lag_samples"), int(heartbeatLagSamples.size())},
    };
    for (const OptionalLatencyField& f : kOptionalLatencyFields) {
        if (const std::optional<double>& v = this->*f.field) {
            properties.insert(QLatin1StringView(f.property), *v);
        }
    }
    return properties;
}

QJsonObject DictationLatencyMetrics::toJson() const {
    QJsonObject object{
        {QStringLiteral("recordingLengthMs"), recordingLengthMs},
        {QStringLiteral("heartbeatLagSamples"), JsonCoding::fromList(heartbeatLagSamples)},
    };
    for (const OptionalLatencyField& f : kOptionalLatencyFields) putOptional(object, f.key, this->*f.field);
    return object;
}

JsonResult<DictationLatencyMetrics> DictationLatencyMetrics::fromJson(const QJsonValue& json, const QString& path) {
    JsonDecoder d(json, path);
    DictationLatencyMetrics m;
    m.recordingLengthMs = d.measurement(QStringLiteral("recordingLengthMs"));
    m.heartbeatLagSamples = d.list<HeartbeatLagSample>(QStringLiteral("heartbeatLagSamples"));
    for (const OptionalLatencyField& f : kOptionalLatencyFields) {
        m.*f.field = d.optionalNumber(QLatin1StringView(f.key));
    }
    return d.finish(std::move(m));
}

// ---- DictationPersistenceMetrics ----

QJsonObject DictationPersistenceMetrics::toJson() const {
    QJsonObject object{
        {QStringLiteral("traceID"), traceID},
        {QStringLiteral("sessionID"), sessionID},
        {QStringLiteral("transcriptCommand"), transcriptCommand},
        {QStringLiteral("speechDurationS"), speechDurationS},
        {QStringLiteral("recordingLengthMs"), recordingLengthMs},
        {QStringLiteral("e2eLatencyMs"), e2eLatencyMs},
        {QStringLiteral("fallbackLevel"), qint64(fallbackLevel)},
        {QStringLiteral("hasOpusChunks"), hasOpusChunks},
        {QStringLiteral("hasAXText"), hasAXText},
        {QStringLiteral("hasAXHTML"), hasAXHTML},
        {QStringLiteral("hasScreenshot"), hasScreenshot},
        {QStringLiteral("pasteSuccess"), pasteSuccess},
        {QStringLiteral("focusedControlChanged"), focusedControlChanged},
        {QStringLiteral("hasPrivilegeIssues"), hasPrivilegeIssues},
        {QStringLiteral("contextTokenCount"), qint64(contextTokenCount)},
        {QStringLiteral("fieldType"), fieldType},
    };
    putOptional(object, "clientNetworkLatencyMs", clientNetworkLatencyMs);
    putOptional(object, "fallbackReason", fallbackReason);
    putOptional(object, "pasteTimeMs", pasteTimeMs);
    return object;
}

JsonResult<DictationPersistenceMetrics> DictationPersistenceMetrics::fromJson(const QJsonValue& json,
                                                                              const QString& path) {
    JsonDecoder d(json, path);
    DictationPersistenceMetrics m;
    m.traceID = d.string(QStringLiteral("traceID"));
    m.sessionID = d.string(QStringLiteral("sessionID"));
    m.transcriptCommand = d.string(QStringLiteral("transcriptCommand"));
    m.speechDurationS = d.measurement(QStringLiteral("speechDurationS"));
    m.recordingLengthMs = d.measurement(QStringLiteral("recordingLengthMs"));
    m.e2eLatencyMs = d.measurement(QStringLiteral("e2eLatencyMs"));
    m.clientNetworkLatencyMs = d.optionalNumber(QStringLiteral("clientNetworkLatencyMs"));
    m.fallbackLevel = d.integer<qint64>(QStringLiteral("fallbackLevel"));
    m.fallbackReason = d.optionalString(QStringLiteral("fallbackReason"));
    m.hasOpusChunks = d.boolean(QStringLiteral("hasOpusChunks"));
    m.hasAXText = d.boolean(QStringLiteral("hasAXText"));
    m.hasAXHTML = d.boolean(QStringLiteral("hasAXHTML"));
    m.hasScreenshot = d.boolean(QStringLiteral("hasScreenshot"));
    m.pasteSuccess = d.boolean(QStringLiteral("pasteSuccess"));
    m.pasteTimeMs = d.optionalNumber(QStringLiteral("pasteTimeMs"));
    m.focusedControlChanged = d.boolean(QStringLiteral("focusedControlChanged"));
    m.hasPrivilegeIssues = d.boolean(QStringLiteral("hasPrivilegeIssues"));
    m.contextTokenCount = d.integer<qint64>(QStringLiteral("contextTokenCount"));
    m.fieldType = d.string(QStringLiteral("fieldType"));
    return d.finish(std::move(m));
}

// ---- DictationOutcomeSnapshot ----

QJsonObject DictationOutcomeSnapshot::toJson() const {
    QJsonObject object{
        {QStringLiteral("secondsAfterPaste"), qint64(secondsAfterPaste)},
        {QStringLiteral("initialPastedTextHash"), initialPastedTextHash},
        {QStringLiteral("finalTextHash"), finalTextHash},
        {QStringLiteral("charEditDistance"), qint64(charEditDistance)},
        {QStringLiteral("wordEditDistance"), qint64(wordEditDistance)},
        {QStringLiteral("manualCorrectionsCount"), qint64(manualCorrectionsCount)},
        {QStringLiteral("manualRewriteFraction"), manualRewriteFraction},
        {QStringLiteral("acceptedWithoutEdits"), acceptedWithoutEdits},
    };
    putOptional(object, "timeToStableTextMs", timeToStableTextMs);
    return object;
}

JsonResult<DictationOutcomeSnapshot> DictationOutcomeSnapshot::fromJson(const QJsonValue& json, const QString& path) {
    JsonDecoder d(json, path);
    DictationOutcomeSnapshot s;
    s.secondsAfterPaste = d.integer<qint64>(QStringLiteral("secondsAfterPaste"));
    s.initialPastedTextHash = d.string(QStringLiteral("initialPastedTextHash"));
    s.finalTextHash = d.string(QStringLiteral("finalTextHash"));
    s.charEditDistance = d.integer<qint64>(QStringLiteral("charEditDistance"));
    s.wordEditDistance = d.integer<qint64>(QStringLiteral("wordEditDistance"));
    s.timeToStableTextMs = d.optionalNumber(QStringLiteral("timeToStableTextMs"));
    s.manualCorrectionsCount = d.integer<qint64>(QStringLiteral("manualCorrectionsCount"));
    s.manualRewriteFraction = d.measurement(QStringLiteral("manualRewriteFraction"));
    s.acceptedWithoutEdits = d.boolean(QStringLiteral("acceptedWithoutEdits"));
    return d.finish(std::move(s));
}
