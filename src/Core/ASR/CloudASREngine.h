#pragma once

#include "Core/ASR/ASREngineProtocol.h"
#include "Core/Cloud/NetworkSession.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

// Timings of the last cloud batch request, in milliseconds.
struct CloudRequestMetrics {
    double prepareRequestMs = 0;                   // audio encoded -> request ready (body, URL, headers, token)
    double uploadRequestMs = 0;                    // remote latency minus the server's own time, not below 0
    double remoteLatencyMs = 0;                    // request handed to the session -> reply received
    double serverProcessingTimeMs = 0;             // the reply's "total_time"
    double asrTimeMs = 0;                          // the reply's "asr_time"
    double llmTimeMs = 0;                          // the reply's "llm_time"
    std::optional<double> backendCommitAckTimeMs;  // the reply's "component_times"."commit_ack_ms"
};

// The first tier of the batch road: the whole recording goes to the vendor's server in one HTTP
// request, which transcribes and formats it. Does not stream.
//
// Runs on the main thread, like every recogniser coroutine; one request at a time.
class CloudASREngine final : public ASREngineProtocol {
public:
    static constexpr int kRequestTimeoutMs = 15'000;
    // The server recognises the whole recording before it answers, so the wait for its reply
    // grows by this much for every second of audio (more than the local service's own decoding
    // allowance, PocketSphinxASR::kBatchDeadlinePerAudioSecond, leaving time to format).
    static constexpr double kTimeoutPerAudioSecond = 1.5;

    // What the request needs from the account, analytics and HTTP layers. Left empty: the
    // account's access token, the analytics device identifier and the shared HTTP session.
    struct Services {
        std::function<QCoro::Task<std::optional<QString>>()> accessToken;
        std::function<QString()> deviceID;
        NetworkSession* session = nullptr;
        // For a recording of no length (see kTimeoutPerAudioSecond): without any traffic, and for
        // the whole request (the shared session's own bound).
        int requestTimeoutMs = kRequestTimeoutMs;
        int resourceTimeoutMs = NetworkSession::kResourceTimeoutMs;
    };

    CloudASREngine(const QString& engineName, const QString& serverURL);
    CloudASREngine(const QString& engineName, const QString& serverURL, Services services);
    ~CloudASREngine() override;

    QCoro::Task<ASRResult> transcribe(std::vector<float> samples) override;
    // Streaming is not offered: these do nothing, and stopping gives an empty result.
    void startStreaming(PartialResultCallback) override {}
    void feedAudioChunk(const std::vector<float>&) override {}
    QCoro::Task<ASRResult> stopStreaming() override;
    QString engineName() const override { return m_engineName; }
    bool supportsStreaming() const override { return false; }

    // The WAV file uploaded for `samples` (16-bit PCM, mono).
    static QByteArray samplesToWAV(const std::vector<float>& samples, int sampleRate);

    QString serverURL() const { return m_serverURL; }
    // The cloud context object sent with the next request; nothing sends none.
    void setContext(std::optional<QJsonObject> context) { m_context = std::move(context); }
    const std::optional<QJsonObject>& context() const { return m_context; }
    // Timings of the last request whose reply was a JSON object; nothing before the first.
    const std::optional<CloudRequestMetrics>& lastRequestMetrics() const { return m_lastRequestMetrics; }

private:
    QString m_engineName;
    QString m_serverURL;
    Services m_services;
    std::optional<QJsonObject> m_context;
    std::optional<CloudRequestMetrics> m_lastRequestMetrics;
    // Lets a request in flight notice that the engine went away while it waited.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};
