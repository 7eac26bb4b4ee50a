#pragma once

#include "Core/ASR/ASREngineProtocol.h"
#include "Core/Pipeline/PipelineCollaborators.h"
#include "Core/Pipeline/RetryEngine.h"

#include <QCoro/QCoroTask>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

class PocketSphinxASR;
class StreamingTransport;

// An on-device recogniser behind the live-text seam. The recogniser is shared: the batch road
// uses the same one as a tier.
class ASRPipelineLiveRecognizer final : public AbstractLiveRecognizer {
public:
    using HintsSetter = std::function<void(const QStringList& hints)>;

    // `setHints` passes vocabulary hints on; none: the recogniser takes no hints.
    explicit ASRPipelineLiveRecognizer(std::shared_ptr<ASREngineProtocol> engine, HintsSetter setHints = {});
    // PocketSphinx, whose hints bias the sessions started afterwards.
    explicit ASRPipelineLiveRecognizer(std::shared_ptr<PocketSphinxASR> engine);

    bool supportsStreaming() const override;
    void startStreaming(PartialResultCallback onPartialResult) override;
    void feedAudioChunk(const AudioChunk& chunk) override;
    QCoro::Task<> stopStreaming() override;
    void setVocabularyHints(const QStringList& hints) override;

    // The final text of the latest finished session.
    QString lastFinalText() const { return *m_lastFinalText; }
    const std::shared_ptr<ASREngineProtocol>& engine() const { return m_engine; }

private:
    std::shared_ptr<ASREngineProtocol> m_engine;
    HintsSetter m_setHints;
    // Shared with a stop in flight, which may finish after the adapter is gone.
    std::shared_ptr<QString> m_lastFinalText = std::make_shared<QString>();
};

// RetryEngine behind the batch seam. The cloud recogniser is built when the tiers are
// registered, for the settings' server; the on-device recogniser is the secondary tier, and a
// second on-device recogniser for the settings' language is the cloud-fallback tier.
class RetryPipelineBatchRecognizer final : public AbstractBatchRecognizer {
public:
    struct Factories {
        // The cloud recogniser for a server base URL. When it is a CloudASREngine, the context
        // and the request timings go through it.
        std::function<std::shared_ptr<ASREngineProtocol>(const QString& serverURL)> makeCloud;
        // A new on-device recogniser for a language identifier such as "en-US".
        std::function<std::shared_ptr<ASREngineProtocol>(const QString& language)> makeOnDevice;
    };

    RetryPipelineBatchRecognizer(std::shared_ptr<ASREngineProtocol> onDevice, Factories factories);
    // Real recognisers: CloudASREngine and PocketSphinxASR.
    explicit RetryPipelineBatchRecognizer(std::shared_ptr<ASREngineProtocol> onDevice);
    ~RetryPipelineBatchRecognizer() override;

    void registerTiers(const VantroseSettings& settings) override;
    QCoro::Task<PipelineTranscription> transcribe(std::vector<float> samples) override;
    QString lastTierUsed() const override;
    std::optional<QString> raceWinner() const override;
    bool hasCloudRecognizer() const override;
    void setCloudContext(const QJsonObject& context) override;
    std::optional<PipelineCloudMetrics> lastCloudMetrics() const override;

    RetryEngine& retryEngine() { return *m_retry; }
    const std::shared_ptr<ASREngineProtocol>& cloudRecognizer() const { return m_cloud; }

private:
    std::shared_ptr<ASREngineProtocol> m_onDevice;
    Factories m_factories;
    std::shared_ptr<ASREngineProtocol> m_cloud;
    std::unique_ptr<RetryEngine> m_retry;
};

// StreamingTransport behind the streaming seam. The transport's callbacks reach whatever the
// pipeline installed on the link at the time they fire.
class TransportPipelineStreamingLink final : public AbstractStreamingLink {
public:
    explicit TransportPipelineStreamingLink(std::unique_ptr<StreamingTransport> transport);
    ~TransportPipelineStreamingLink() override;

    State state() const override;
    int chunksSent() const override;
    void connect() override;
    void disconnect() override;
    void beginNewSession() override;
    void resetSession() override;
    void sendAudioChunk(const AudioChunk& chunk) override;
    // An empty context object sends none.
    void commit(const QJsonObject& context, const QString& language) override;
    double commitToResultMs() const override;

    StreamingTransport& transport() { return *m_transport; }

private:
    std::unique_ptr<StreamingTransport> m_transport;
};

// The server base URL of the streaming connection: the user default "cloudServerURL" when it
// holds a string, else the built-in server.
QString streamingServerURL();
