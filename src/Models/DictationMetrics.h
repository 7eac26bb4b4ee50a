#pragma once

#include "Models/JsonCoding.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QVariantMap>

#include <cstdint>
#include <optional>

// Measurement records of one dictation. Names ending in Ms are milliseconds; those ending in
// Sec, and speechDurationS, are seconds.
//
// JSON form: one object whose members are named as the fields; absent optional fields are
// left out; decoding needs every non-optional member with the right type, accepts optional
// members missing or null and ignores unknown members. A number that is not finite is written
// as null (JSON has no other form for it): an optional one reads back absent, a required one
// as 0, so a stored record survives one bad measurement.

// One measurement of streaming lag.
struct HeartbeatLagSample {
    double serverAudioSec = 0;  // audio the server side counts
    double clientAudioSec = 0;  // audio the client side counts
    double lagSec = 0;          // the lag between them

    QJsonObject toJson() const;
    static JsonResult<HeartbeatLagSample> fromJson(const QJsonValue& json, const QString& path = {});

    friend bool operator==(const HeartbeatLagSample&, const HeartbeatLagSample&) = default;
};

// Latency breakdown of a dictation, sent as the "dictation_latency" analytics event.
struct DictationLatencyMetrics {
    std::optional<double> timeToFirstChunkMs;
    double recordingLengthMs = 0;
    std::optional<double> prepareRequestMs;
    std::optional<double> uploadRequestMs;
    std::optional<double> remoteLatencyMs;
    std::optional<double> timeToPasteTextMs;
    std::optional<double> axContextTimeMs;
    std::optional<double> mediaStreamSetupMs;
    std::optional<double> firstAudioChunkLatencyMs;
    std::optional<double> backendPingTimeAtStreamStartMs;
    std::optional<double> backendCommitAckTimeMs;
    std::optional<double> serverProcessingTimeMs;
    std::optional<double> asrTimeMs;
    std::optional<double> llmTimeMs;
    std::optional<double> pastedTimeMs;
    std::optional<double> ocrCaptureTimeMs;
    QList<HeartbeatLagSample> heartbeatLagSamples;

    // The analytics properties: "recording_length_ms" and "heartbeat_lag_samples" (the number
    // of samples) always, then one entry per optional field that has a value.
    QVariantMap analyticsProperties() const;

    QJsonObject toJson() const;
    static JsonResult<DictationLatencyMetrics> fromJson(const QJsonValue& json, const QString& path = {});

    friend bool operator==(const DictationLatencyMetrics&, const DictationLatencyMetrics&) = default;
};

// Diagnostic fields stored beside the history row.
struct DictationPersistenceMetrics {
    QString traceID;
    QString sessionID;
    QString transcriptCommand;  // the pipeline writes "dictation"
    double speechDurationS = 0;
    double recordingLengthMs = 0;
    double e2eLatencyMs = 0;
    std::optional<double> clientNetworkLatencyMs;
    std::int64_t fallbackLevel = 0;
    std::optional<QString> fallbackReason;
    bool hasOpusChunks = false;
    bool hasAXText = false;
    bool hasAXHTML = false;
    bool hasScreenshot = false;
    bool pasteSuccess = false;
    std::optional<double> pasteTimeMs;
    bool focusedControlChanged = false;
    bool hasPrivilegeIssues = false;
    std::int64_t contextTokenCount = 0;
    QString fieldType;  // the application category's raw value

    QJsonObject toJson() const;
    static JsonResult<DictationPersistenceMetrics> fromJson(const QJsonValue& json, const QString& path = {});

    friend bool operator==(const DictationPersistenceMetrics&, const DictationPersistenceMetrics&) = default;
};

// What became of pasted text some seconds after the paste.
struct DictationOutcomeSnapshot {
    std::int64_t secondsAfterPaste = 0;
    QString initialPastedTextHash;
    QString finalTextHash;
    std::int64_t charEditDistance = 0;
    std::int64_t wordEditDistance = 0;
    std::optional<double> timeToStableTextMs;  // absent when the text was never edited
    std::int64_t manualCorrectionsCount = 0;
    double manualRewriteFraction = 0;  // 0 to 1
    bool acceptedWithoutEdits = false;

    QJsonObject toJson() const;
    static JsonResult<DictationOutcomeSnapshot> fromJson(const QJsonValue& json, const QString& path = {});

    friend bool operator==(const DictationOutcomeSnapshot&, const DictationOutcomeSnapshot&) = default;
};
