#pragma once

#include "Core/ASR/ASREngineProtocol.h"

#include <QLocale>
#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
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
// The decoder is built on the engine's own worker queue, and every decoding step runs there: the
// capture thread only queues its chunks. Streaming partial text is reported from the worker each
// time it changes; a long stream is cut into sessions (utterances) every 25 s of audio so the
// decoder's search stays small.
//
// A loaded decoder holds about 80 MB (language model, dictionary, search). By default it loads
// when the engine is built and stays. An engine built with an OnDemand residency loads it when a
// stream or a batch first needs it (chunks fed meanwhile wait in the queue, so nothing is lost)
// and lets it go once it has gone unused for a while, so an idle program does not carry it.
class PocketSphinxASR final : public ASREngineProtocol {
public:
    static constexpr auto kRotationInterval = std::chrono::seconds(25);
    // A batch is decoded whole unless it outlasts its deadline: this much, plus
    // kBatchDeadlinePerAudioSecond for every second of audio. The decoder runs at about a fifth
    // of real time, so a machine several times slower still finishes a long recording; past the
    // deadline the result is the text so far, marked partial.
    static constexpr auto kBatchDeadlineBase = std::chrono::seconds(15);
    static constexpr double kBatchDeadlinePerAudioSecond = 1.0;
    static std::chrono::milliseconds batchDeadline(std::size_t sampleCount, std::chrono::milliseconds base,
                                                   double perAudioSecond);

    struct OnDemand {
        // How long the decoder stays after the end of its last stream or batch. The release
        // check runs on the process clock, on the main thread (the thread that stops streams and
        // awaits batches in the program).
        std::chrono::milliseconds releaseAfter = std::chrono::minutes(5);
    };

    explicit PocketSphinxASR(const QLocale& locale = QLocale(QLocale::English, QLocale::UnitedStates),
                             const QString& modelDir = QStringLiteral(POCKETSPHINX_MODEL_DIR));
    PocketSphinxASR(const QLocale& locale, OnDemand onDemand,
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
    // Blocks until every job queued so far (loading, chunks) has run; true when the decoder
    // is loaded. For benchmarks and tests.
    bool waitUntilIdle();
    // Decoders held right now (0, 1, or 2 while a batch runs beside a stream). For tests.
    int loadedDecoders();
    // Sessions are rotated after this much streamed audio. Set before startStreaming().
    void setRotationInterval(std::chrono::milliseconds interval) { m_rotationInterval = interval; }
    // The batch deadline's allowances (see kBatchDeadlineBase). Set before transcribe().
    void setBatchDeadline(std::chrono::milliseconds base, double perAudioSecond) {
        m_batchDeadlineBase = base;
        m_batchDeadlinePerAudioSecond = perAudioSecond;
    }

private:
    PocketSphinxASR(const QLocale& locale, std::optional<OnDemand> onDemand, const QString& modelDir, int);

    struct Outcome;
    struct Decoder;
    struct StreamState;

    // Worker-queue helpers.
    void loadDecoder();
    void releaseIfUnused(uint64_t use);
    Decoder* decoderForBatch();
    void processStreamChunk(const std::vector<float>& chunk);
    void rotateSession();
    void applyHints(const QStringList& hints);
    Outcome decodeBatch(const std::vector<float>& samples, std::chrono::milliseconds deadline);
    Outcome finishStream();

    const bool m_available;
    const QString m_localeIdentifier;
    const QString m_modelDir;
    std::chrono::milliseconds m_rotationInterval = kRotationInterval;
    std::chrono::milliseconds m_batchDeadlineBase = kBatchDeadlineBase;
    double m_batchDeadlinePerAudioSecond = kBatchDeadlinePerAudioSecond;

    mutable std::mutex m_hintsMutex;
    QStringList m_vocabularyHints;

    std::atomic<bool> m_streaming{false};

    // On-demand residency. m_uses counts streams and batches begun; a release check carries the
    // count of its time and does nothing when another use has begun since.
    const std::optional<OnDemand> m_onDemand;
    std::atomic<uint64_t> m_uses{0};
    std::shared_ptr<int> m_lifetime = std::make_shared<int>(0);  // guards the delayed checks
    void scheduleRelease();

    // Owned by the worker queue.
    std::unique_ptr<Decoder> m_decoder;       // streaming, and batch while no stream is open
    std::unique_ptr<Decoder> m_batchDecoder;  // built the first time a batch runs during a stream
    bool m_loadFailed = false;                // a model that failed to load is not tried again
    // The live cepstral mean of a released decoder (it has learnt the microphone and the room):
    // the next decoder starts from it instead of the model's default.
    std::vector<float> m_savedCmn;
    std::unique_ptr<StreamState> m_stream;
    std::unique_ptr<SerialQueue> m_queue;  // declared last: destroyed first, finishing its jobs
};
