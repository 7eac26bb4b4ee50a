#include "Core/Pipeline/PipelineCollaborators.h"

#include "Core/Audio/MicTimingPredictor.h"
#include "Core/Audio/SoundManager.h"
#include "Core/Cloud/NetworkSession.h"
#include "Core/Cloud/WavEncoding.h"
#include "Core/Formatting/FormattingResult.h"
#include "Core/Services/Analytics.h"
#include "Core/Services/FeatureFlags.h"
#include "Core/Services/MetricsLogger.h"

#include "Foundation/AppPaths.h"
#include "Foundation/Clock.h"
#include "Foundation/SerialQueue.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QPromise>
#include <QSaveFile>

#include <QCoro/QCoroFuture>

PipelineServices::PipelineServices() = default;
PipelineServices::~PipelineServices() = default;

bool PipelineServices::isFlagEnabled(const QString& key) const { return FeatureFlags::shared().isEnabled(key); }

std::optional<bool> PipelineServices::flagSetting(const QString& key) const {
    return FeatureFlags::shared().explicitValue(key);
}

QCoro::Task<> PipelineServices::refreshFlags() { co_await FeatureFlags::shared().fetchRemoteFlags(); }

int PipelineServices::enabledFlagCount() const {
    int enabled = 0;
    for (const FlagValue& flag : FeatureFlags::shared().allFlags())
        if (flag.boolValue) ++enabled;
    return enabled;
}

void PipelineServices::emitMetric(const QString& event, const QString& traceID, const QVariantMap& payload) {
    MetricsLogger::shared().emit(event, traceID, payload);
}

QString PipelineServices::metricsSessionID() const { return MetricsLogger::shared().sessionID(); }

void PipelineServices::track(const QString& event, const QVariantMap& properties) {
    Analytics::shared().track(event, properties);
}

void PipelineServices::trackDictationCompleted(const TranscriptionResult& result) {
    Analytics::shared().trackDictationCompleted(
        result.appName, result.appBundleId, result.duration, static_cast<int>(result.wordCount), result.asrTierUsed,
        result.formatterUsed, result.asrTimeMs, result.formatTimeMs, result.insertTimeMs, result.totalTimeMs);
}

void PipelineServices::playSound(const QString& name, const QString& extension) {
    SoundManager::playCustomSound(name, extension);
}

bool PipelineServices::microphoneAuthorized() const { return !AudioEngine::listInputDevices().empty(); }

void PipelineServices::warmUpServer(const QString& serverURL) { NetworkSession::shared().warmup(serverURL); }

QCoro::Task<std::optional<double>> PipelineServices::pingServer(QString serverURL) {
    co_return co_await NetworkSession::shared().ping(std::move(serverURL));
}

namespace {

std::optional<QString> writeRecording(const QString& folder, const QString& stamp, const std::vector<float>& samples) {
    // The user's own speech: the folder and the file are theirs alone.
    if (!QDir().mkpath(folder) ||
        !QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
        return std::nullopt;
    QString path = folder + QStringLiteral("/Recording %1.wav").arg(stamp);
    for (int n = 2; QFile::exists(path); ++n)
        path = folder + QStringLiteral("/Recording %1 (%2).wav").arg(stamp).arg(n);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return std::nullopt;
    file.write(WavEncoding::wav(samples, WavEncoding::kSampleRate));
    if (!file.commit()) return std::nullopt;
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
    return path;
}

}  // namespace

QCoro::Task<std::optional<QString>> PipelineServices::keepRecording(std::vector<float> samples) {
    const QString folder = AppPaths::dataDir() + QStringLiteral("/Recordings");
    const QString stamp = Clock::current().now().toString(QStringLiteral("yyyy-MM-dd HH.mm.ss"));
    auto promise = std::make_shared<QPromise<std::optional<QString>>>();
    QFuture<std::optional<QString>> writing = promise->future();
    promise->start();
    // One at a time, off the main thread.
    if (!m_recordings) m_recordings = std::make_unique<SerialQueue>(QStringLiteral("com.vantrose.recordings"));
    m_recordings->async([promise, folder, stamp, samples = std::move(samples)] {
        promise->addResult(writeRecording(folder, stamp, samples));
        promise->finish();
    });
    co_return co_await writing;
}

std::optional<double> PipelineServices::predictMicStartMs(const std::optional<QString>& deviceUID) {
    return MicTimingPredictor::shared().predict(deviceUID);
}

void PipelineServices::recordMicStart(const std::optional<QString>& deviceUID, double durationMs,
                                      std::optional<double> prediction) {
    MicTimingPredictor::shared().recordTiming(deviceUID, durationMs, prediction);
}

AudioEnginePipelineSource::AudioEnginePipelineSource() : m_engine(std::make_unique<AudioEngine>()) {}

AudioEnginePipelineSource::~AudioEnginePipelineSource() {
    m_engine->stopRecording();
    m_engine->onAudioChunk = nullptr;
}

void AudioEnginePipelineSource::setChunkHandler(ChunkHandler handler) {
    if (!handler) {
        m_engine->onAudioChunk = nullptr;
        return;
    }
    // The engine's own level is not used: the pipeline's voice detector measures every chunk.
    m_engine->onAudioChunk = [handler = std::move(handler)](const AudioChunk& chunk, float) { handler(chunk); };
}

void AudioEnginePipelineSource::startRecording() { m_engine->startRecording(); }
void AudioEnginePipelineSource::stopRecording() { m_engine->stopRecording(); }
void AudioEnginePipelineSource::prewarm() { m_engine->prewarm(); }
std::vector<float> AudioEnginePipelineSource::currentFrequencyBands() const {
    return m_engine->currentFrequencyBands();
}

void AudioEnginePipelineSource::setSelectedDeviceUID(const std::optional<QString>& uid) {
    m_engine->selectedDeviceUID = uid;
}

std::vector<AudioDeviceInfo> AudioEnginePipelineSource::listInputDevices() const {
    return AudioEngine::listInputDevices();
}

QString describeFailure(const std::exception& error) {
    if (const auto* formatting = dynamic_cast<const FormattingError*>(&error))
        return formatting->localizedDescription();
    if (const auto* request = dynamic_cast<const FormatterRequestError*>(&error))
        return request->localizedDescription();
    if (const auto* audio = dynamic_cast<const AudioEngineError*>(&error)) return audio->localizedDescription();
    const QString text = QString::fromUtf8(error.what());
    return text.isEmpty() ? QStringLiteral("Unknown error") : text;
}

QString describeFailure(std::exception_ptr error) {
    try {
        if (error) std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return describeFailure(e);
    } catch (...) {}
    return QStringLiteral("Unknown error");
}
