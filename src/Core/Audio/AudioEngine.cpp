#include "Core/Audio/AudioEngine.h"

#include "Core/LogCategories.h"
#include "Foundation/Logger.h"
#include "Foundation/ThreadName.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSource>
#include <QIODevice>
#include <QMediaDevices>
#include <QThread>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <QCoro/QCoroFuture>

#include <algorithm>
#include <cmath>
#include <cstring>

// ---------------------------------------------------------------------------------------------
// Errors

QString AudioEngineError::messageFor(Code code) {
    switch (code) {
    case Code::formatCreationFailed: return QStringLiteral("Failed to create audio format");
    case Code::converterCreationFailed: return QStringLiteral("Failed to create audio converter");
    case Code::noInputDevice: return QStringLiteral("No microphone input device found");
    case Code::permissionDenied: return QStringLiteral("Microphone permission denied");
    case Code::captureStartFailed: return QStringLiteral("Failed to start audio capture");
    }
    return {};
}

AudioEngineError::AudioEngineError(Code code, const QString& detail)
    : std::runtime_error(
          (detail.isEmpty() ? messageFor(code) : messageFor(code) + QStringLiteral(": ") + detail).toStdString()),
      m_code(code) {}

namespace {

QAudioFormat targetFormat() {
    QAudioFormat format;
    format.setSampleRate(AudioEngine::kSampleRate);
    format.setChannelCount(1);
    format.setSampleFormat(QAudioFormat::Float);
    return format;
}

QString audioErrorName(QAudio::Error error) {
    switch (error) {
    case QAudio::NoError: return QStringLiteral("no error");
    case QAudio::OpenError: return QStringLiteral("the device could not be opened");
    case QAudio::IOError: return QStringLiteral("read error from the audio server");
    case QAudio::UnderrunError: return QStringLiteral("underrun");
    case QAudio::FatalError: return QStringLiteral("the audio server failed");
    }
    return QStringLiteral("unknown error");
}

// Receives the audio server's bytes on the capture thread, in whatever slices it delivers them,
// and hands whole float samples to the chunker.
class ChunkSink final : public QIODevice {
public:
    void begin(std::function<void(AudioChunk&&)> deliver) {
        m_deliver = std::move(deliver);
        m_chunker.clear();
        m_partial.clear();
        if (!isOpen()) open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }
    void end() {
        // Fewer than 640 samples left over: dropped with the capture.
        m_chunker.clear();
        m_partial.clear();
        m_deliver = nullptr;
    }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 len) override {
        if (len <= 0 || !m_deliver) return len;
        const char* cursor = data;
        qint64 left = len;
        // Complete a sample split across two deliveries.
        if (!m_partial.isEmpty()) {
            const qint64 need = qint64(sizeof(float)) - m_partial.size();
            const qint64 take = std::min(need, left);
            m_partial.append(cursor, take);
            cursor += take;
            left -= take;
            if (m_partial.size() == qint64(sizeof(float))) {
                float sample;
                std::memcpy(&sample, m_partial.constData(), sizeof(float));
                m_partial.clear();
                m_chunker.push(&sample, 1, m_deliver);
            }
        }
        const qint64 whole = left / qint64(sizeof(float));
        if (whole > 0) {
            m_scratch.resize(static_cast<std::size_t>(whole));
            std::memcpy(m_scratch.data(), cursor, static_cast<std::size_t>(whole) * sizeof(float));
            m_chunker.push(m_scratch.data(), m_scratch.size(), m_deliver);
            cursor += whole * qint64(sizeof(float));
            left -= whole * qint64(sizeof(float));
        }
        if (left > 0) m_partial.append(cursor, left);
        return len;
    }

private:
    std::function<void(AudioChunk&&)> m_deliver;
    AudioChunker m_chunker;
    QByteArray m_partial;
    std::vector<float> m_scratch;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Capture worker: lives on the capture thread and owns the QAudioSource.

class AudioCaptureWorker final : public QObject {
public:
    explicit AudioCaptureWorker(AudioEngine* engine) : m_engine(engine) {
        m_poll.setTimerType(Qt::PreciseTimer);
        m_poll.setInterval(std::chrono::milliseconds(10));
        QObject::connect(&m_poll, &QTimer::timeout, this, [this] { drain(); });
    }

    // Returns an empty string on success, otherwise what went wrong.
    QString start(const QAudioDevice& device) {
        stop();
        m_source = new QAudioSource(device, targetFormat(), this);
        // The audio server hands over one buffer at a time once it has filled: small buffers
        // keep the audio flowing in 20 ms steps.
        m_source->setBufferSize(AudioChunker::kChunkSize / 2 * sizeof(float));
        QObject::connect(m_source, &QAudioSource::stateChanged, this, [this](QAudio::State state) {
            if (state == QAudio::StoppedState && m_source && m_source->error() != QAudio::NoError && m_running)
                VLOG_WARNING(lcAudioEngine) << QStringLiteral("Capture stopped by the audio server (%1)")
                                                   .arg(audioErrorName(m_source->error()));
        });
        m_sink.begin([engine = m_engine](AudioChunk&& chunk) { engine->deliverChunk(std::move(chunk)); });
        m_running = true;
        // Read, not pushed: Qt pushes captured audio only on a timer as long as the device's own
        // latency, which is 128 ms on some sources (a pipe), so the first chunk came a tenth of a
        // second after the key. Reading every few milliseconds takes each piece as it arrives.
        m_device = m_source->start();
        if (!m_device || m_source->error() != QAudio::NoError || m_source->state() == QAudio::StoppedState) {
            QString reason = audioErrorName(m_source->error());
            stop();
            return reason;
        }
        QObject::connect(m_device, &QIODevice::readyRead, this, [this] { drain(); });
        m_poll.start();
        drain();
        return {};
    }

    void stop() {
        m_poll.stop();
        if (m_source) {
            drain();  // what the server already holds belongs to the recording
            m_running = false;
            m_source->stop();  // also deletes m_device
            delete m_source;
            m_source = nullptr;
        }
        m_running = false;
        m_device = nullptr;
        m_sink.end();
    }

private:
    void drain() {
        if (!m_device || !m_running) return;
        for (;;) {
            const qint64 n = m_device->read(m_buffer.data(), qint64(m_buffer.size()));
            if (n <= 0) break;
            m_sink.write(m_buffer.data(), n);
            if (n < qint64(m_buffer.size())) break;
        }
    }

    AudioEngine* m_engine;
    ChunkSink m_sink;
    QAudioSource* m_source = nullptr;
    QIODevice* m_device = nullptr;  // owned by m_source
    QTimer m_poll{this};            // a child, so it moves to the capture thread with the worker
    QByteArray m_buffer = QByteArray(16384, Qt::Uninitialized);
    bool m_running = false;
};

// ---------------------------------------------------------------------------------------------

AudioEngine::AudioEngine() {
    m_thread = new QThread();
    const QString label = QStringLiteral("com.vantrose.audio-capture");
    m_thread->setObjectName(label);
    // Named again from inside: Qt gives the kernel the label's first 15 bytes ("com.vantrose.au").
    QObject::connect(
        m_thread, &QThread::started, m_thread, [label] { nameCurrentThread(label); }, Qt::DirectConnection);
    m_worker = new AudioCaptureWorker(this);
    m_worker->moveToThread(m_thread);
    m_thread->start();
}

AudioEngine::~AudioEngine() {
    stopRecording();
    // The worker owns objects of the capture thread: it is deleted there.
    QMetaObject::invokeMethod(
        m_worker, [worker = m_worker] { delete worker; }, Qt::BlockingQueuedConnection);
    m_worker = nullptr;
    m_thread->quit();
    m_thread->wait();
    delete m_thread;
}

void AudioEngine::startRecording() {
    if (m_isRecording) return;

    // The device is resolved at every start, so going back to the system default takes effect
    // even after a microphone was chosen, and a default that changed is followed.
    QAudioDevice device;
    if (selectedDeviceUID) {
        try {
            setInputDevice(selectedDeviceUID);
            const QByteArray wanted = selectedDeviceUID->toUtf8();
            for (const QAudioDevice& candidate : QMediaDevices::audioInputs())
                if (candidate.id() == wanted) device = candidate;
        } catch (const AudioEngineError&) {
            VLOG_WARNING(lcAudioEngine) << "Selected input device is not available; using the system default";
        }
    }
    if (device.isNull()) device = QMediaDevices::defaultAudioInput();
    if (device.isNull()) throw AudioEngineError(AudioEngineError::Code::noInputDevice);

    const QAudioFormat format = targetFormat();
    if (!format.isValid()) throw AudioEngineError(AudioEngineError::Code::formatCreationFailed);
    if (!device.isFormatSupported(format)) throw AudioEngineError(AudioEngineError::Code::converterCreationFailed);

    QString failure;
    QMetaObject::invokeMethod(
        m_worker, [&] { failure = m_worker->start(device); }, Qt::BlockingQueuedConnection);
    if (!failure.isEmpty()) throw AudioEngineError(AudioEngineError::Code::captureStartFailed, failure);

    {
        std::lock_guard lock(m_deviceLock);
        m_activeDeviceUID = QString::fromUtf8(device.id());
        m_openedChosenDeviceUID =
            selectedDeviceUID && *selectedDeviceUID == m_activeDeviceUID ? selectedDeviceUID : std::nullopt;
    }
    m_isRecording = true;
    VLOG_INFO(lcAudioEngine) << "Recording started (16kHz mono, 640-sample chunks)";
}

void AudioEngine::stopRecording() {
    if (!m_isRecording) return;
    QMetaObject::invokeMethod(
        m_worker, [this] { m_worker->stop(); }, Qt::BlockingQueuedConnection);
    m_isRecording = false;
    {
        std::lock_guard lock(m_vizLock);
        m_currentVolume = 0.0f;
    }
    VLOG_INFO(lcAudioEngine) << "Recording stopped";
}

void AudioEngine::prewarm() {
    // The first query connects Qt Multimedia to the audio server and loads the device list.
    (void)QMediaDevices::defaultAudioInput().preferredFormat();
    VLOG_INFO(lcAudioEngine) << "Pre-warmed audio graph";
}

void AudioEngine::setInputDevice(const std::optional<QString>& uid) {
    selectedDeviceUID = uid;
    if (!uid) {
        VLOG_INFO(lcAudioEngine) << "Using system default input device";
        return;
    }
    for (const AudioDeviceInfo& info : listInputDevices()) {
        if (info.uid == *uid) {
            VLOG_INFO(lcAudioEngine) << QStringLiteral("Input device set to '%1' (%2)").arg(info.name, info.uid);
            return;
        }
    }
    throw AudioEngineError(AudioEngineError::Code::noInputDevice);
}

float AudioEngine::currentVolume() const {
    std::lock_guard lock(m_vizLock);
    return m_currentVolume;
}

std::vector<float> AudioEngine::currentFrequencyBands() const {
    std::lock_guard lock(m_vizLock);
    return m_currentFrequencyBands;
}

QString AudioEngine::activeDeviceUID() const {
    std::lock_guard lock(m_deviceLock);
    return m_activeDeviceUID;
}

std::optional<QString> AudioEngine::resolvedDeviceUID() const {
    if (!selectedDeviceUID) return std::nullopt;
    const QByteArray wanted = selectedDeviceUID->toUtf8();
    for (const QAudioDevice& device : QMediaDevices::audioInputs())
        if (device.id() == wanted) return selectedDeviceUID;
    return std::nullopt;
}

std::optional<QString> AudioEngine::openedChosenDeviceUID() const {
    std::lock_guard lock(m_deviceLock);
    return m_openedChosenDeviceUID;
}

void AudioEngine::deliverChunk(AudioChunk&& chunk) {
    const float level = computeRMS(chunk);
    std::vector<float> bands = computeFrequencyBands(chunk, kBandCount);
    {
        std::lock_guard lock(m_vizLock);
        m_currentVolume = level;
        m_currentFrequencyBands.swap(bands);
    }
    if (onAudioChunk) onAudioChunk(chunk, level);
}

std::vector<AudioDeviceInfo> AudioEngine::listInputDevices() {
    std::vector<AudioDeviceInfo> devices;
    // Qt 6.4's isDefault() is unreliable; the default is decided by comparing ids.
    const QByteArray defaultId = QMediaDevices::defaultAudioInput().id();
    for (const QAudioDevice& device : QMediaDevices::audioInputs()) {
        AudioDeviceInfo info;
        info.id = device.id();
        info.uid = QString::fromUtf8(device.id());
        info.name = device.description();
        info.isDefault = !defaultId.isEmpty() && device.id() == defaultId;
        devices.push_back(std::move(info));
    }
    return devices;
}

QCoro::Task<bool> AudioEngine::requestPermission() {
    const QAudioDevice device = QMediaDevices::defaultAudioInput();
    if (device.isNull()) co_return false;
    // Opening the device talks to the audio server; keep that off the caller's thread. The future
    // is named before it is awaited: g++ 12 destroys a lambda temporary inside a co_await
    // expression twice, which here released the device list's own entry.
    QFuture<bool> opening = QtConcurrent::run([device] {
        QAudioSource source(device, targetFormat());
        QIODevice* io = source.start();
        const bool ok = io != nullptr && source.error() == QAudio::NoError;
        source.stop();
        return ok;
    });
    co_return co_await opening;
}

float AudioEngine::computeRMS(const float* samples, std::size_t count) {
    if (count == 0) return 0.0f;
    float sum = 0.0f;
    for (std::size_t i = 0; i < count; ++i) sum += samples[i] * samples[i];
    const float rms = std::sqrt(sum / static_cast<float>(count));
    const float db = 20.0f * std::log10(std::max(rms, 1e-9f));
    return std::clamp((db + 60.0f) / 60.0f, 0.0f, 1.0f);
}

std::vector<float> AudioEngine::computeFrequencyBands(const AudioChunk& samples, int bandCount) {
    std::vector<float> bands(static_cast<std::size_t>(std::max(bandCount, 0)), 0.0f);
    const std::size_t n = samples.size();
    if (n == 0) return bands;
    for (int i = 0; i < bandCount; ++i) {
        const double lower = 80.0 * std::pow(100.0, double(i) / bandCount);
        const double upper = 80.0 * std::pow(100.0, double(i + 1) / bandCount);
        const double centre = (lower + upper) / 2.0;
        if (centre >= 8000.0) continue;
        const double w = 2.0 * M_PI * centre / 16000.0;
        double re = 0.0, im = 0.0;
        for (std::size_t j = 0; j < n; j += 2) {
            re += samples[j] * std::cos(w * double(j));
            im += samples[j] * std::sin(w * double(j));
        }
        const double magnitude = std::sqrt(re * re + im * im) / double(n);
        bands[static_cast<std::size_t>(i)] = static_cast<float>(std::min(2.0 * magnitude * 50.0, 1.0));
    }
    return bands;
}

AudioChunk AudioEngine::concatenate(const std::vector<AudioChunk>& chunks) {
    std::size_t total = 0;
    for (const AudioChunk& chunk : chunks) total += chunk.size();
    AudioChunk joined;
    joined.reserve(total);
    for (const AudioChunk& chunk : chunks) joined.insert(joined.end(), chunk.begin(), chunk.end());
    return joined;
}
