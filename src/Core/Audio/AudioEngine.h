#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <QCoro/QCoroTask>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <vector>

class QThread;
class AudioCaptureWorker;

// Audio inside the system: 16 kHz mono float samples in -1..1.
using AudioChunk = std::vector<float>;

// One input device as the audio server reports it.
struct AudioDeviceInfo {
    QByteArray id;  // the Qt Multimedia device id
    QString uid;    // the same id as text; stored in the settings as the selected microphone
    QString name;   // human-readable description
    bool isDefault = false;

    bool operator==(const AudioDeviceInfo&) const = default;
};

class AudioEngineError : public std::runtime_error {
public:
    enum class Code {
        formatCreationFailed,
        converterCreationFailed,
        noInputDevice,
        permissionDenied,
        captureStartFailed,
    };

    explicit AudioEngineError(Code code, const QString& detail = {});
    Code code() const { return m_code; }
    QString localizedDescription() const { return QString::fromUtf8(what()); }

    static QString messageFor(Code code);

private:
    Code m_code;
};

// Cuts an arbitrary stream of samples into chunks of exactly `chunkSize` samples. The remainder
// carries over to the next push; what is left at the end is dropped with the chunker.
class AudioChunker {
public:
    static constexpr std::size_t kChunkSize = 640;  // 40 ms at 16 kHz

    explicit AudioChunker(std::size_t chunkSize = kChunkSize) : m_chunkSize(chunkSize) {
        m_pending.reserve(chunkSize * 2);
    }

    template <typename Emit>
    void push(const float* samples, std::size_t count, Emit&& emit) {
        m_pending.insert(m_pending.end(), samples, samples + count);
        std::size_t offset = 0;
        while (m_pending.size() - offset >= m_chunkSize) {
            AudioChunk chunk(m_pending.begin() + static_cast<std::ptrdiff_t>(offset),
                             m_pending.begin() + static_cast<std::ptrdiff_t>(offset + m_chunkSize));
            offset += m_chunkSize;
            emit(std::move(chunk));
        }
        m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(offset));
    }

    std::size_t pendingCount() const { return m_pending.size(); }
    void clear() { m_pending.clear(); }

private:
    std::size_t m_chunkSize;
    std::vector<float> m_pending;
};

// Turns the microphone into 640-sample chunks of 16 kHz mono float audio, each with its 0..1
// level, and keeps the latest level and ten frequency bands for the live meter.
//
// Capture runs on a dedicated thread that owns the QAudioSource; `onAudioChunk` is called there.
// startRecording/stopRecording/setInputDevice/prewarm belong to the main thread.
class AudioEngine {
public:
    using ChunkCallback = std::function<void(const AudioChunk& chunk, float level)>;
    static constexpr int kBandCount = 10;
    static constexpr int kSampleRate = 16000;

    AudioEngine();
    ~AudioEngine();

    AudioEngine(const AudioEngine&) = delete;
    AudioEngine& operator=(const AudioEngine&) = delete;

    // Starts capture; no effect when already recording. Throws AudioEngineError.
    void startRecording();
    // Stops capture; no effect when idle.
    void stopRecording();
    // Builds the audio back-end before the first dictation.
    void prewarm();
    // Records the choice (nullopt = the system default). Throws noInputDevice when no input
    // device has that uid; the choice is kept either way.
    void setInputDevice(const std::optional<QString>& uid);

    bool isRecording() const { return m_isRecording; }
    // Written directly by the owner when the user picks a microphone; nullopt = system default.
    std::optional<QString> selectedDeviceUID;
    // Installed by the owner while idle; runs on the capture thread.
    ChunkCallback onAudioChunk;

    float currentVolume() const;
    std::vector<float> currentFrequencyBands() const;
    // The device the running (or last) capture opened.
    QString activeDeviceUID() const;
    // The device a start opens now: the chosen one while it is connected; none for the system
    // default (nothing chosen, or the chosen device is not connected).
    std::optional<QString> resolvedDeviceUID() const;
    // The chosen device when the running (or last) capture opened it; none when it recorded from
    // the system default.
    std::optional<QString> openedChosenDeviceUID() const;

    static std::vector<AudioDeviceInfo> listInputDevices();
    // Linux has no microphone prompt: the permission holds when an input device exists and opens.
    static QCoro::Task<bool> requestPermission();

    static float computeRMS(const float* samples, std::size_t count);
    static float computeRMS(const AudioChunk& samples) { return computeRMS(samples.data(), samples.size()); }
    static std::vector<float> computeFrequencyBands(const AudioChunk& samples, int bandCount);
    static AudioChunk concatenate(const std::vector<AudioChunk>& chunks);

private:
    friend class AudioCaptureWorker;
    // Capture thread: one cut chunk.
    void deliverChunk(AudioChunk&& chunk);

    bool m_isRecording = false;
    QThread* m_thread = nullptr;
    AudioCaptureWorker* m_worker = nullptr;  // lives on m_thread

    mutable std::mutex m_vizLock;  // guards the two fields below only
    float m_currentVolume = 0.0f;
    std::vector<float> m_currentFrequencyBands = std::vector<float>(kBandCount, 0.0f);

    mutable std::mutex m_deviceLock;
    QString m_activeDeviceUID;
    std::optional<QString> m_openedChosenDeviceUID;
};
