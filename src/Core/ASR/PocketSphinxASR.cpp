#include "Core/ASR/PocketSphinxASR.h"

#include "Core/LogCategories.h"
#include "Foundation/Logger.h"
#include "Foundation/SerialQueue.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QFuture>
#include <QPromise>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTemporaryFile>

#include <QCoro/QCoroFuture>

#include <pocketsphinx.h>
#include <sphinxbase/cmn.h>
#include <sphinxbase/err.h>
#include <sphinxbase/feat.h>
#include <sphinxbase/ngram_model.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <type_traits>

#include <malloc.h>

// ---------------------------------------------------------------------------------------------

struct PocketSphinxASR::Outcome {
    std::optional<ASRResult> result;
    std::optional<ASRError> error;
    int segments = 0;
};

struct PocketSphinxASR::Decoder {
    ps_decoder_t* ps = nullptr;
    std::set<std::string> hintWords;  // the hint words the current search is biased towards
    std::string baseModelName;        // the main language model inside the decoder's model set

    // Batch recognition runs on the main language model alone.
    void setHintsActive(bool active) {
        if (hintWords.empty() || !ps) return;
        ngram_model_t* lmset = ps_get_lm(ps, ps_get_search(ps));
        if (!lmset) return;
        if (active)
            ngram_model_set_interp(lmset, nullptr, nullptr);
        else
            ngram_model_set_select(lmset, baseModelName.c_str());
    }
    ~Decoder() {
        if (ps) ps_free(ps);
    }
};

struct PocketSphinxASR::StreamState {
    bool open = false;  // an utterance is being decoded
    PartialResultCallback onPartialResult;
    QStringList completedSegments;
    QString currentSegmentText;
    float currentConfidence = 0.5f;
    std::size_t sessionSamples = 0;
    // Fingerprint of every sample this stream heard, so a batch call over the same audio can
    // return the stream's result instead of decoding it again.
    std::size_t totalSamples = 0;
    uint64_t hash = 1469598103934665603ull;
    // The last finished stream.
    bool haveLast = false;
    std::size_t lastSamples = 0;
    uint64_t lastHash = 0;
    QString lastText;
    float lastConfidence = 0.5f;
};

namespace {

std::mutex& decoderLoading() {
    static std::mutex loading;
    return loading;
}

static_assert(std::is_same_v<mfcc_t, float>, "the saved cepstral mean is kept as floats");
// Share of the hint model in the interpolated language model.
constexpr float kHintWeight = 0.05f;
// How long a due rotation may wait for a pause in the speech.
constexpr double kRotationGraceSeconds = 5.0;

uint64_t fnv1a(uint64_t hash, const float* samples, std::size_t count) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(samples);
    for (std::size_t i = 0; i < count * sizeof(float); ++i) {
        hash ^= bytes[i];
        hash *= 1099511628211ull;
    }
    return hash;
}

void toPcm16(const float* samples, std::size_t count, std::vector<int16_t>& out) {
    out.resize(count);
    for (std::size_t i = 0; i < count; ++i)
        out[i] = static_cast<int16_t>(std::lround(std::clamp(samples[i], -1.0f, 1.0f) * 32767.0f));
}

int wordCount(const QString& text) { return int(text.split(QLatin1Char(' '), Qt::SkipEmptyParts).size()); }

QString hypothesis(ps_decoder_t* ps) {
    int32 score = 0;
    const char* hyp = ps_get_hyp(ps, &score);
    return hyp ? QString::fromUtf8(hyp) : QString();
}

// Mean posterior of the recognised words; 0.5 when the decoder reported none.
float confidenceOf(ps_decoder_t* ps) {
    (void)ps_get_prob(ps);  // computes the word posteriors read below
    logmath_t* lmath = ps_get_logmath(ps);
    double sum = 0;
    int count = 0;
    for (ps_seg_t* seg = ps_seg_iter(ps); seg; seg = ps_seg_next(seg)) {
        const char* word = ps_seg_word(seg);
        if (!word || word[0] == '<' || word[0] == '[' || word[0] == '+') continue;  // silence and fillers
        int32 ascr = 0, lscr = 0, lback = 0;
        sum += std::clamp(logmath_exp(lmath, ps_seg_prob(seg, &ascr, &lscr, &lback)), 0.0, 1.0);
        ++count;
    }
    return count ? float(sum / count) : 0.5f;
}

template <typename T, typename Job>
QFuture<T> runOnQueue(SerialQueue& queue, Job job) {
    auto promise = std::make_shared<QPromise<T>>();
    QFuture<T> future = promise->future();
    promise->start();
    queue.async([promise, job = std::move(job)]() mutable {
        promise->addResult(job());
        promise->finish();
    });
    return future;
}

// The pronouncing dictionary has about 135k words; the search only ever holds the ~79k the
// language model knows, but the decoder parses and indexes all of them. A dictionary of the model's
// words alone loads in about half the time and keeps some 13 MB less. It is made once, from the
// two model files, and kept in the cache folder under a name that changes with them; when the
// cache cannot be written, the full dictionary serves.
QString lmWordsDictionary(const QString& dictPath, const QString& lmPath) {
    const QFileInfo dict(dictPath), lm(lmPath);
    const QByteArray key = (dict.canonicalFilePath() + QString::number(dict.size()) +
                            QString::number(dict.lastModified().toMSecsSinceEpoch()) + lm.canonicalFilePath() +
                            QString::number(lm.size()) + QString::number(lm.lastModified().toMSecsSinceEpoch()))
                               .toUtf8();
    const QString cacheDir =
        QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) + QStringLiteral("/Vantrose");
    QString cached = cacheDir + QStringLiteral("/lm-words-") +
                     QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Sha1).toHex().left(16)) +
                     QStringLiteral(".dict");
    if (QFileInfo(cached).size() > 0) return cached;

    QFile source(dictPath);
    if (!QDir().mkpath(cacheDir) || !source.open(QIODevice::ReadOnly)) return dictPath;
    logmath_t* lmath = logmath_init(1.0001, 0, 0);
    ngram_model_t* model =
        lmath ? ngram_model_read(nullptr, lm.filePath().toLocal8Bit().constData(), NGRAM_AUTO, lmath) : nullptr;
    if (!model) {
        if (lmath) logmath_free(lmath);
        return dictPath;
    }
    const int32 unknown = ngram_unknown_wid(model);
    QSaveFile out(cached);
    int kept = 0;
    if (out.open(QIODevice::WriteOnly)) {
        while (!source.atEnd()) {
            const QByteArray line = source.readLine();
            // "word" or "word(2)" for an alternative pronunciation, then the phones.
            QByteArray word = line.left(line.indexOf(' '));
            if (const qsizetype variant = word.indexOf('('); variant > 0) word.truncate(variant);
            if (!word.isEmpty() && ngram_wid(model, word.constData()) != unknown) {
                out.write(line);
                ++kept;
            }
        }
    }
    ngram_model_free(model);
    logmath_free(lmath);
    if (kept == 0 || !out.commit()) return dictPath;
    VLOG_INFO(lcPocketSphinxASR) << QStringLiteral("Dictionary of the language model's words: %1 entries").arg(kept);
    return cached;
}

bool modelPresent(const QString& dir) {
    return QFile::exists(dir + "/en-us/mdef") && QFile::exists(dir + "/en-us.lm.bin") &&
           QFile::exists(dir + "/cmudict-en-us.dict");
}

}  // namespace

// ---------------------------------------------------------------------------------------------

PocketSphinxASR::PocketSphinxASR(const QLocale& locale, const QString& modelDir)
    : PocketSphinxASR(locale, std::nullopt, modelDir, 0) {}

PocketSphinxASR::PocketSphinxASR(const QLocale& locale, OnDemand onDemand, const QString& modelDir)
    : PocketSphinxASR(locale, std::optional<OnDemand>(std::move(onDemand)), modelDir, 0) {}

PocketSphinxASR::PocketSphinxASR(const QLocale& locale, std::optional<OnDemand> onDemand, const QString& modelDir, int)
    : m_available(locale.language() == QLocale::English && modelPresent(modelDir)),
      m_localeIdentifier(locale.name().replace(QLatin1Char('_'), QLatin1Char('-'))),
      m_modelDir(modelDir),
      m_onDemand(std::move(onDemand)),
      m_stream(std::make_unique<StreamState>()),
      m_queue(std::make_unique<SerialQueue>(QStringLiteral("com.vantrose.pocketsphinx"))) {
    if (!m_available) {
        VLOG_WARNING(lcPocketSphinxASR)
            << QStringLiteral("No speech model for locale %1; the recognizer is unavailable").arg(m_localeIdentifier);
        return;
    }
    // Loading takes about half a second: never on the caller's thread.
    if (!m_onDemand) m_queue->async([this] { loadDecoder(); });
}

void PocketSphinxASR::loadDecoder() {
    if (m_decoder || m_loadFailed) return;
    QElapsedTimer timer;
    timer.start();
    const QByteArray hmm = (m_modelDir + "/en-us").toLocal8Bit();
    const QByteArray lm = (m_modelDir + "/en-us.lm.bin").toLocal8Bit();
    // The library's log file is process-wide and each "-logfn" closes the previous one, so
    // decoders loading on several threads would close one handle twice: its log is switched
    // off once instead, and loading is serialised.
    static std::once_flag quietLibrary;
    std::call_once(quietLibrary, [] { err_set_logfp(nullptr); });
    std::lock_guard loadingLock(decoderLoading());
    const QByteArray dict =
        lmWordsDictionary(m_modelDir + "/cmudict-en-us.dict", m_modelDir + "/en-us.lm.bin").toLocal8Bit();
    // No second (flat-lexicon) pass: it decodes the whole utterance again at its end, which
    // would put seconds between key-up and text; the lattice best path keeps the accuracy.
    cmd_ln_t* config = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", hmm.constData(), "-lm", lm.constData(), "-dict",
                                   dict.constData(), "-fwdflat", "no", "-bestpath", "yes", nullptr);
    ps_decoder_t* ps = config ? ps_init(config) : nullptr;
    if (config) cmd_ln_free_r(config);  // the decoder keeps its own reference
    if (!ps) {
        m_loadFailed = true;
        VLOG_WARNING(lcPocketSphinxASR) << QStringLiteral("Failed to load the speech model from %1").arg(m_modelDir);
        return;
    }
    feat_t* features = ps_get_feat(ps);
    if (!m_savedCmn.empty() && features && features->cmn_struct &&
        m_savedCmn.size() == std::size_t(feat_cepsize(features)))
        cmn_live_set(features->cmn_struct, m_savedCmn.data());
    m_decoder = std::make_unique<Decoder>();
    m_decoder->ps = ps;
    VLOG_INFO(lcPocketSphinxASR) << QStringLiteral("Decoder loaded in %1ms").arg(timer.elapsed());
}

void PocketSphinxASR::scheduleRelease() {
    if (!m_onDemand || !m_onDemand->delayedCall || !m_available) return;
    const uint64_t use = m_uses.load();
    m_onDemand->delayedCall(m_onDemand->releaseAfterSeconds, [this, alive = std::weak_ptr<int>(m_lifetime), use] {
        if (alive.expired() || m_uses.load() != use) return;
        m_queue->async([this, use] { releaseIfUnused(use); });
    });
}

void PocketSphinxASR::releaseIfUnused(uint64_t use) {
    // A stream or batch begun since the check was scheduled keeps the decoder for its own check.
    if (m_uses.load() != use || m_stream->open || m_streaming.load() || (!m_decoder && !m_batchDecoder)) return;
    if (m_decoder) {
        feat_t* features = ps_get_feat(m_decoder->ps);
        if (features && features->cmn_struct) {
            m_savedCmn.assign(std::size_t(feat_cepsize(features)), 0.0f);
            cmn_live_get(features->cmn_struct, m_savedCmn.data());
        }
    }
    m_batchDecoder.reset();
    m_decoder.reset();
    // The model's arrays were freed into this thread's malloc arena: hand the pages back.
    malloc_trim(0);
    VLOG_INFO(lcPocketSphinxASR)
        << QStringLiteral("Decoder released after %1s unused").arg(m_onDemand->releaseAfterSeconds);
}

int PocketSphinxASR::loadedDecoders() {
    int count = 0;
    m_queue->sync([&] { count = (m_decoder ? 1 : 0) + (m_batchDecoder ? 1 : 0); });
    return count;
}

PocketSphinxASR::~PocketSphinxASR() {
    m_queue.reset();  // runs what is queued, then joins; the decoders go after
}

bool PocketSphinxASR::waitUntilIdle() {
    if (!m_available) return false;
    // A barrier job; std::mutex and std::condition_variable keep the hand-over visible to
    // ThreadSanitizer.
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    bool loaded = false;
    m_queue->async([&] {
        std::lock_guard lock(mutex);
        loaded = m_decoder != nullptr;
        done = true;
        cv.notify_one();
    });
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return done; });
    return loaded;
}

void PocketSphinxASR::setVocabularyHints(const QStringList& hints) {
    std::lock_guard lock(m_hintsMutex);
    m_vocabularyHints = hints;
}

QStringList PocketSphinxASR::vocabularyHints() const {
    std::lock_guard lock(m_hintsMutex);
    return m_vocabularyHints;
}

// ---------------------------------------------------------------------------------------------
// Batch

QCoro::Task<ASRResult> PocketSphinxASR::transcribe(std::vector<float> samples) {
    QElapsedTimer timer;
    timer.start();
    if (!m_available) throw ASRError::recognizerUnavailable();
    ++m_uses;
    const std::chrono::milliseconds deadline =
        batchDeadline(samples.size(), m_batchDeadlineBase, m_batchDeadlinePerAudioSecond);
    QFuture<Outcome> future = runOnQueue<Outcome>(
        *m_queue, [this, deadline, samples = std::move(samples)] { return decodeBatch(samples, deadline); });
    Outcome outcome = co_await future;
    scheduleRelease();
    if (outcome.error) throw *outcome.error;
    ASRResult result = *outcome.result;
    result.latencyMs = double(timer.nsecsElapsed()) / 1e6;
    co_return result;
}

PocketSphinxASR::Decoder* PocketSphinxASR::decoderForBatch() {
    loadDecoder();
    if (!m_decoder) return nullptr;
    if (!m_stream->open) return m_decoder.get();
    // A batch while a stream is open needs a decoder of its own; built once, on first need.
    if (!m_batchDecoder) {
        ps_decoder_t* ps = nullptr;
        {
            std::lock_guard loadingLock(decoderLoading());
            ps = ps_init(ps_get_config(m_decoder->ps));
        }
        if (!ps) return nullptr;
        m_batchDecoder = std::make_unique<Decoder>();
        m_batchDecoder->ps = ps;
    }
    return m_batchDecoder.get();
}

std::chrono::milliseconds PocketSphinxASR::batchDeadline(std::size_t sampleCount, std::chrono::milliseconds base,
                                                         double perAudioSecond) {
    const double audioMs = double(sampleCount) * 1000.0 / 16000.0;
    return base + std::chrono::milliseconds(static_cast<int64_t>(audioMs * perAudioSecond));
}

PocketSphinxASR::Outcome PocketSphinxASR::decodeBatch(const std::vector<float>& samples,
                                                      std::chrono::milliseconds deadline) {
    Outcome outcome;
    // The same audio the last stream heard: same decoder, same answer, no second pass.
    StreamState& stream = *m_stream;
    if (stream.haveLast && !stream.open && samples.size() == stream.lastSamples &&
        fnv1a(1469598103934665603ull, samples.data(), samples.size()) == stream.lastHash) {
        if (stream.lastText.trimmed().isEmpty()) {
            outcome.error = ASRError::noSpeechDetected();
        } else {
            outcome.result = ASRResult{stream.lastText, stream.lastConfidence, m_localeIdentifier, 0, false};
        }
        return outcome;
    }

    Decoder* decoder = decoderForBatch();
    if (!decoder) {
        outcome.error = ASRError::recognizerUnavailable();
        return outcome;
    }
    ps_decoder_t* ps = decoder->ps;
    decoder->setHintsActive(false);
    const auto stopAt = std::chrono::steady_clock::now() + deadline;
    // A long recording is decoded as utterances of about the streams' rotation length, each cut
    // at a pause, as a stream is: the search stays small, so the decoder keeps its pace.
    const std::size_t utteranceSamples = std::size_t(m_rotationSeconds * 16000.0);
    const std::size_t graceSamples = std::size_t(kRotationGraceSeconds * 16000.0);
    constexpr std::size_t kBlock = 4000;  // a quarter second between checks of the deadline and the pauses
    QStringList segments;
    double confidenceSum = 0;
    int confidenceCount = 0;
    auto endUtterance = [&] {
        ps_end_utt(ps);
        const QString text = hypothesis(ps).trimmed();
        if (text.isEmpty()) return;
        segments << text;
        confidenceSum += confidenceOf(ps);
        ++confidenceCount;
    };
    std::vector<int16_t> pcm;
    std::size_t offset = 0;
    std::size_t inUtterance = 0;
    ps_start_utt(ps);
    while (offset < samples.size()) {
        if (std::chrono::steady_clock::now() > stopAt) break;
        const std::size_t n = std::min(kBlock, samples.size() - offset);
        toPcm16(samples.data() + offset, n, pcm);
        ps_process_raw(ps, pcm.data(), pcm.size(), FALSE, FALSE);
        offset += n;
        inUtterance += n;
        if (offset < samples.size() && inUtterance >= utteranceSamples &&
            (!ps_get_in_speech(ps) || inUtterance >= utteranceSamples + graceSamples)) {
            endUtterance();
            ps_start_utt(ps);
            inUtterance = 0;
        }
    }
    endUtterance();
    decoder->setHintsActive(true);
    const bool partial = offset < samples.size();
    if (partial)
        VLOG_WARNING(lcPocketSphinxASR) << QStringLiteral(
                                               "Batch recognition hit its %1s deadline after %2s of %3s of audio; "
                                               "the text covers only that part")
                                               .arg(QString::number(deadline.count() / 1000.0, 'f', 1),
                                                    QString::number(offset / 16000.0, 'f', 1),
                                                    QString::number(samples.size() / 16000.0, 'f', 1));
    const QString text = segments.join(QLatin1Char(' '));
    if (text.isEmpty()) {
        outcome.error = partial ? ASRError::transcriptionFailed(QStringLiteral("Recognition did not finish in time"))
                                : ASRError::noSpeechDetected();
        return outcome;
    }
    const float confidence = confidenceCount ? float(confidenceSum / confidenceCount) : 0.5f;
    outcome.result = ASRResult{text, confidence, m_localeIdentifier, 0, false, partial};
    outcome.segments = int(segments.size());
    return outcome;
}

// ---------------------------------------------------------------------------------------------
// Streaming

void PocketSphinxASR::startStreaming(PartialResultCallback onPartialResult) {
    if (!m_available) throw ASRError::recognizerUnavailable();
    const QStringList hints = vocabularyHints();
    ++m_uses;
    m_streaming = true;
    m_queue->async([this, hints, callback = std::move(onPartialResult)]() mutable {
        loadDecoder();
        StreamState& stream = *m_stream;
        if (stream.open && m_decoder) ps_end_utt(m_decoder->ps);  // a stream that was never stopped
        stream.open = false;
        stream.onPartialResult = std::move(callback);
        stream.completedSegments.clear();
        stream.currentSegmentText.clear();
        stream.currentConfidence = 0.5f;
        stream.sessionSamples = 0;
        stream.totalSamples = 0;
        stream.hash = 1469598103934665603ull;
        stream.haveLast = false;
        if (!m_decoder) return;  // the model failed to load: chunks are dropped, the stop gives ""
        applyHints(hints);
        stream.open = ps_start_utt(m_decoder->ps) == 0;
    });
    VLOG_INFO(lcPocketSphinxASR) << QStringLiteral("Streaming started (auto-rotate every %1s)").arg(m_rotationSeconds);
}

void PocketSphinxASR::feedAudioChunk(const std::vector<float>& chunk) {
    if (!m_streaming.load(std::memory_order_relaxed)) return;
    m_queue->async([this, chunk] { processStreamChunk(chunk); });
}

void PocketSphinxASR::processStreamChunk(const std::vector<float>& chunk) {
    StreamState& stream = *m_stream;
    if (!stream.open || !m_decoder) return;
    std::vector<int16_t> pcm;
    toPcm16(chunk.data(), chunk.size(), pcm);
    ps_process_raw(m_decoder->ps, pcm.data(), pcm.size(), FALSE, FALSE);
    stream.hash = fnv1a(stream.hash, chunk.data(), chunk.size());
    stream.totalSamples += chunk.size();
    stream.sessionSamples += chunk.size();

    const QString text = hypothesis(m_decoder->ps);
    if (text != stream.currentSegmentText) {
        stream.currentSegmentText = text;
        if (stream.onPartialResult) {
            QStringList parts = stream.completedSegments;
            parts << stream.currentSegmentText;
            stream.onPartialResult(parts.join(QLatin1Char(' ')));
        }
    }
    // A session with no text yet is never rotated, however long it runs. Past the interval the
    // cut waits for a pause (at most a few seconds), so no word is split across two sessions.
    const double sessionSeconds = double(stream.sessionSamples) / 16000.0;
    if (sessionSeconds >= m_rotationSeconds && !stream.currentSegmentText.isEmpty() &&
        (!ps_get_in_speech(m_decoder->ps) || sessionSeconds >= m_rotationSeconds + kRotationGraceSeconds))
        rotateSession();
}

void PocketSphinxASR::rotateSession() {
    StreamState& stream = *m_stream;
    ps_end_utt(m_decoder->ps);
    const QString finalText = hypothesis(m_decoder->ps).trimmed();
    if (!finalText.isEmpty()) {
        stream.completedSegments << finalText;
        VLOG_INFO(lcPocketSphinxASR) << QStringLiteral("Session rotated — captured %1 words (total segments: %2)")
                                            .arg(wordCount(finalText))
                                            .arg(stream.completedSegments.size());
    }
    stream.currentSegmentText.clear();
    stream.sessionSamples = 0;
    stream.open = ps_start_utt(m_decoder->ps) == 0;
}

QCoro::Task<ASRResult> PocketSphinxASR::stopStreaming() {
    QElapsedTimer timer;
    timer.start();
    m_streaming = false;
    // The decoder has heard every chunk already; finishing the utterance is all that is left.
    QFuture<Outcome> future = runOnQueue<Outcome>(*m_queue, [this] { return finishStream(); });
    Outcome outcome = co_await future;
    scheduleRelease();
    ASRResult result = *outcome.result;
    result.latencyMs = double(timer.nsecsElapsed()) / 1e6;
    VLOG_INFO(lcPocketSphinxASR) << QStringLiteral("Streaming stopped — %1 segment(s), %2 words [%3ms]")
                                        .arg(outcome.segments)
                                        .arg(wordCount(result.text))
                                        .arg(qRound64(result.latencyMs));
    co_return result;
}

PocketSphinxASR::Outcome PocketSphinxASR::finishStream() {
    StreamState& stream = *m_stream;
    if (stream.open && m_decoder) {
        ps_end_utt(m_decoder->ps);
        stream.currentSegmentText = hypothesis(m_decoder->ps);
        stream.currentConfidence = confidenceOf(m_decoder->ps);
        stream.open = false;
    }
    if (!stream.currentSegmentText.trimmed().isEmpty()) stream.completedSegments << stream.currentSegmentText;
    QString text = stream.completedSegments.join(QLatin1Char(' '));
    text.replace(QStringLiteral("  "), QStringLiteral(" "));
    text = text.trimmed();

    Outcome outcome;
    outcome.segments = int(stream.completedSegments.size());
    outcome.result = ASRResult{text, stream.currentConfidence, m_localeIdentifier, 0, false};

    stream.haveLast = stream.totalSamples > 0;
    stream.lastSamples = stream.totalSamples;
    stream.lastHash = stream.hash;
    stream.lastText = text;
    stream.lastConfidence = stream.currentConfidence;
    stream.onPartialResult = nullptr;
    stream.completedSegments.clear();
    stream.currentSegmentText.clear();
    return outcome;
}

// ---------------------------------------------------------------------------------------------
// Vocabulary hints

void PocketSphinxASR::applyHints(const QStringList& hints) {
    ps_decoder_t* ps = m_decoder->ps;
    std::set<std::string> words;
    static const QRegularExpression separators(QStringLiteral("[^\\w']+"));
    for (const QString& hint : hints) {
        for (const QString& part : hint.toLower().split(separators, Qt::SkipEmptyParts)) {
            const QByteArray word = part.toUtf8();
            char* phones = ps_lookup_word(ps, word.constData());
            if (!phones) continue;  // out of vocabulary: the model cannot say it
            ckd_free(phones);
            words.insert(word.toStdString());
        }
    }
    if (words == m_decoder->hintWords) return;

    // Bias the search towards the hint words: a small unigram model interpolated with the main
    // language model. Every hint word is already in the main vocabulary, so the word-id mapping
    // stays as it is and the search picks up the new scores without being rebuilt.
    ngram_model_t* lmset = ps_get_lm(ps, ps_get_search(ps));
    if (!lmset) return;
    if (!m_decoder->hintWords.empty())
        if (ngram_model_t* old = ngram_model_set_remove(lmset, "hints", TRUE)) ngram_model_free(old);
    m_decoder->hintWords.clear();
    std::vector<std::string> names;
    for (ngram_model_set_iter_t* it = ngram_model_set_iter(lmset); it; it = ngram_model_set_iter_next(it)) {
        const char* name = nullptr;
        ngram_model_set_iter_model(it, &name);
        if (name) names.emplace_back(name);
    }
    if (names.empty()) return;
    m_decoder->baseModelName = names.front();
    if (words.empty()) {
        ngram_model_set_select(lmset, names.front().c_str());
    } else {
        QTemporaryFile arpa;
        if (!arpa.open()) return;
        const double logp = std::log10(1.0 / double(words.size()));
        QByteArray body = "\\data\\\nngram 1=" + QByteArray::number(qulonglong(words.size()) + 2) +
                          "\n\n\\1-grams:\n-99 <s>\n-99 </s>\n";
        for (const std::string& w : words) body += QByteArray::number(logp, 'f', 4) + ' ' + w.c_str() + '\n';
        body += "\n\\end\\\n";
        arpa.write(body);
        arpa.flush();
        ngram_model_t* hintModel = ngram_model_read(ps_get_config(ps), arpa.fileName().toLocal8Bit().constData(),
                                                    NGRAM_ARPA, ps_get_logmath(ps));
        if (!hintModel) return;
        ngram_model_set_add(lmset, hintModel, "hints", 1.0f, TRUE);
        const char* interpNames[2] = {names.front().c_str(), "hints"};
        const float32 weights[2] = {1.0f - kHintWeight, kHintWeight};
        ngram_model_set_interp(lmset, interpNames, weights);
        m_decoder->hintWords = words;
    }
    VLOG_INFO(lcPocketSphinxASR)
        << QStringLiteral("Vocabulary hints: %1 word(s) in the decoder's vocabulary").arg(words.size());
}
