#include "Core/Pipeline/PipelineAdapters.h"

#include "Core/ASR/CloudASREngine.h"
#include "Core/ASR/PocketSphinxASR.h"
#include "Core/Cloud/StreamingTransport.h"
#include "Foundation/Config.h"
#include "Foundation/UserDefaults.h"

#include <QLocale>
#include <QVariant>

ASRPipelineLiveRecognizer::ASRPipelineLiveRecognizer(std::shared_ptr<ASREngineProtocol> engine, HintsSetter setHints)
    : m_engine(std::move(engine)),
      m_setHints(std::move(setHints)) {}

ASRPipelineLiveRecognizer::ASRPipelineLiveRecognizer(std::shared_ptr<PocketSphinxASR> engine) : m_engine(engine) {
    std::weak_ptr<PocketSphinxASR> weak = engine;
    m_setHints = [weak](const QStringList& hints) {
        if (const auto recognizer = weak.lock()) recognizer->setVocabularyHints(hints);
    };
}

bool ASRPipelineLiveRecognizer::supportsStreaming() const { return m_engine->supportsStreaming(); }

void ASRPipelineLiveRecognizer::startStreaming(PartialResultCallback onPartialResult) {
    m_engine->startStreaming(std::move(onPartialResult));
}

void ASRPipelineLiveRecognizer::feedAudioChunk(const AudioChunk& chunk) { m_engine->feedAudioChunk(chunk); }

QCoro::Task<> ASRPipelineLiveRecognizer::stopStreaming() {
    // Copies: the adapter may be destroyed while the stop is awaited.
    const std::shared_ptr<ASREngineProtocol> engine = m_engine;
    const std::shared_ptr<QString> finalText = m_lastFinalText;
    const ASRResult result = co_await engine->stopStreaming();
    *finalText = result.text;
}

void ASRPipelineLiveRecognizer::setVocabularyHints(const QStringList& hints) {
    if (m_setHints) m_setHints(hints);
}

RetryPipelineBatchRecognizer::RetryPipelineBatchRecognizer(std::shared_ptr<ASREngineProtocol> onDevice,
                                                           Factories factories)
    : m_onDevice(std::move(onDevice)),
      m_factories(std::move(factories)),
      m_retry(std::make_unique<RetryEngine>()) {}

RetryPipelineBatchRecognizer::RetryPipelineBatchRecognizer(std::shared_ptr<ASREngineProtocol> onDevice)
    : RetryPipelineBatchRecognizer(
          onDevice,  // a copy: the factory below keeps a weak reference to the same engine
          Factories{[](const QString& serverURL) -> std::shared_ptr<ASREngineProtocol> {
                        return std::make_shared<CloudASREngine>(QStringLiteral("Cloud (Vantrose Server)"), serverURL);
                    },
                    [shared = std::weak_ptr<ASREngineProtocol>(onDevice)](
                        const QString& language) -> std::shared_ptr<ASREngineProtocol> {
                        // A second decoder of the same model gives the same answer and costs
                        // about 80 MB: the recogniser already loaded for this language serves.
                        const auto loaded = std::dynamic_pointer_cast<PocketSphinxASR>(shared.lock());
                        if (loaded && QLocale(loaded->localeIdentifier()).name() == QLocale(language).name())
                            return loaded;
                        return std::make_shared<PocketSphinxASR>(QLocale(language));
                    }}) {}

RetryPipelineBatchRecognizer::~RetryPipelineBatchRecognizer() = default;

void RetryPipelineBatchRecognizer::registerTiers(const VantroseSettings& settings) {
    if (m_factories.makeCloud) m_cloud = m_factories.makeCloud(settings.cloudServerURL);
    if (m_cloud) m_retry->registerEngine(m_cloud, ASRTier::primary);
    if (m_onDevice) m_retry->registerEngine(m_onDevice, ASRTier::secondary);
    if (m_factories.makeOnDevice) {
        if (auto fallback = m_factories.makeOnDevice(settings.language))
            m_retry->registerEngine(std::move(fallback), ASRTier::cloudFallback);
    }
}

QCoro::Task<PipelineTranscription> RetryPipelineBatchRecognizer::transcribe(std::vector<float> samples) {
    const TieredASRResult tiered = co_await m_retry->transcribe(std::move(samples));
    PipelineTranscription transcription;
    transcription.text = tiered.result.text;
    transcription.tier = rawValue(tiered.tier);
    transcription.serverFormatted = tiered.result.serverFormatted;
    transcription.unformattedText = tiered.result.unformattedText;
    transcription.confidence = tiered.result.confidence;
    transcription.partial = tiered.result.partial;
    co_return transcription;
}

QString RetryPipelineBatchRecognizer::lastTierUsed() const { return rawValue(m_retry->lastTierUsed()); }

std::optional<QString> RetryPipelineBatchRecognizer::raceWinner() const { return m_retry->raceWinner(); }

bool RetryPipelineBatchRecognizer::hasCloudRecognizer() const { return m_cloud != nullptr; }

void RetryPipelineBatchRecognizer::setCloudContext(const QJsonObject& context) {
    if (const auto cloud = std::dynamic_pointer_cast<CloudASREngine>(m_cloud)) cloud->setContext(context);
}

std::optional<PipelineCloudMetrics> RetryPipelineBatchRecognizer::lastCloudMetrics() const {
    const auto cloud = std::dynamic_pointer_cast<CloudASREngine>(m_cloud);
    if (!cloud || !cloud->lastRequestMetrics()) return std::nullopt;
    const CloudRequestMetrics& m = *cloud->lastRequestMetrics();
    PipelineCloudMetrics metrics;
    metrics.prepareRequestMs = m.prepareRequestMs;
    metrics.uploadRequestMs = m.uploadRequestMs;
    metrics.remoteLatencyMs = m.remoteLatencyMs;
    metrics.serverProcessingTimeMs = m.serverProcessingTimeMs;
    metrics.asrTimeMs = m.asrTimeMs;
    metrics.llmTimeMs = m.llmTimeMs;
    metrics.backendCommitAckTimeMs = m.backendCommitAckTimeMs;
    return metrics;
}

TransportPipelineStreamingLink::TransportPipelineStreamingLink(std::unique_ptr<StreamingTransport> transport)
    : m_transport(std::move(transport)) {
    // Looked up at call time: the pipeline installs its handlers after the link is built.
    m_transport->onPartialResult = [this](const QString& text) {
        if (onPartialResult) onPartialResult(text);
    };
    m_transport->onFinalResult = [this](const QString& raw, const QString& formatted, const QJsonObject& message) {
        if (onFinalResult) onFinalResult(raw, formatted, message);
    };
    m_transport->onError = [this](const QString& message) {
        if (onError) onError(message);
    };
    m_transport->onDisconnect = [this] {
        if (onDisconnect) onDisconnect();
    };
}

TransportPipelineStreamingLink::~TransportPipelineStreamingLink() {
    m_transport->onPartialResult = nullptr;
    m_transport->onFinalResult = nullptr;
    m_transport->onError = nullptr;
    m_transport->onDisconnect = nullptr;
}

AbstractStreamingLink::State TransportPipelineStreamingLink::state() const { return m_transport->state(); }

int TransportPipelineStreamingLink::chunksSent() const { return m_transport->chunksSent(); }
void TransportPipelineStreamingLink::connect() { m_transport->connect(); }
void TransportPipelineStreamingLink::disconnect() { m_transport->disconnect(); }
void TransportPipelineStreamingLink::beginNewSession() { m_transport->beginNewSession(); }
void TransportPipelineStreamingLink::resetSession() { m_transport->resetSession(); }
void TransportPipelineStreamingLink::sendAudioChunk(const AudioChunk& chunk) { m_transport->sendAudioChunk(chunk); }

void TransportPipelineStreamingLink::commit(const QJsonObject& context, const QString& language) {
    m_transport->commit(context.isEmpty() ? std::nullopt : std::optional<QJsonObject>(context), language);
}

double TransportPipelineStreamingLink::commitToResultMs() const { return m_transport->commitToResultMs(); }

QString streamingServerURL() {
    const QVariant stored = UserDefaults::shared().value(QStringLiteral("cloudServerURL"));
    if (stored.typeId() == QMetaType::QString) return stored.toString();
    return Config::defaultServerURL();
}
