#pragma once

#include "Core/ASR/ASREngineProtocol.h"

#include <QLocale>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

class SerialQueue;
struct ps_decoder_s;

// The on-device recogniser: pocketsphinx with the US English model, in batch and streaming form.
//
// The decoder is built once, on the engine's own worker queue, and every decoding step runs
// there: the capture thread only queues its chunks. Streaming partial text is reported from the
// worker each time it changes; a long stream is cut into sessions (utterances) every 25 s of
// audio so the decoder's search stays small.
class PocketSphinxASR final : public ASREngineProtocol {
public:
    static constexpr double kRotationIntervalSeconds = 25.0;
    static constexpr double kBatchTimeoutSeconds = 15.0;

    explicit PocketSphinxASR(const QLocale& locale = QLocale(QLocale::English, QLocale::UnitedStates),
                             const QString& modelDir = QStringLiteral(POCKETSPHINX_MODEL_DIR));
    ~PocketSphinxASR() override;

    QCoro::Task<ASRResult> transcribe(std::vector<float> samples) override;
    void startStreaming(PartialResultCallback onPartialResult) override;
    void feedAudioChunk(const std::vector<float>& chunk) override;
    QCoro::Task<ASRResult> stopStreaming() override;
    QString engineName() const override { return QStringLiteral("PocketSphinx"); }
    bool supportsStreaming() const override { return true; }

    // Words the user is likely to say; they bias every streaming session started afterwards.
    // Words the model's dictionary does not know are dropped (there is no pronunciation for them).
    void setVocabularyHints(const QStringList& hints);
    QStringList vocabularyHints() const;

    bool isAvailable() const { return m_available; }
    QString localeIdentifier() const { return m_localeIdentifier; }
    // Blocks until the decoder has been built; true when it loaded. For benchmarks and tests.
    bool waitUntilLoaded();
    // Sessions are rotated after this much streamed audio. Set before startStreaming().
    void setRotationIntervalSeconds(double seconds) { m_rotationSeconds = seconds; }

private:
    struct Outcome;
    struct Decoder;
    struct StreamState;

    // Worker-queue helpers.
    Decoder* decoderForBatch();
    void processStreamChunk(const std::vector<float>& chunk);
    void rotateSession();
    void applyHints(const QStringList& hints);
    Outcome decodeBatch(const std::vector<float>& samples);
    Outcome finishStream();

    const bool m_available;
    const QString m_localeIdentifier;
    const QString m_modelDir;
    double m_rotationSeconds = kRotationIntervalSeconds;

    mutable std::mutex m_hintsMutex;
    QStringList m_vocabularyHints;

    std::atomic<bool> m_streaming{false};

    // Owned by the worker queue.
    std::unique_ptr<Decoder> m_decoder;       // streaming, and batch while no stream is open
    std::unique_ptr<Decoder> m_batchDecoder;  // built the first time a batch runs during a stream
    std::unique_ptr<StreamState> m_stream;
    std::unique_ptr<SerialQueue> m_queue;  // declared last: destroyed first, finishing its jobs
};
