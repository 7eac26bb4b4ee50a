#include "Core/ASR/PocketSphinxASR.h"
#include "Core/Audio/AudioEngine.h"
#include "Foundation/Logger.h"
#include "support/AwaitTask.h"
#include "support/InstalledManualClock.h"
#include "support/SpeechFixture.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <QCoro/QCoroTask>

#include <gtest/gtest.h>

namespace {

// The sentence between short silences, cut to whole chunks as the microphone delivers them.
std::vector<float> padded(const std::vector<float>& speech) {
    std::vector<float> out = SpeechFixture::silence(0.3);
    out.insert(out.end(), speech.begin(), speech.end());
    const std::vector<float> tail = SpeechFixture::silence(0.3);
    out.insert(out.end(), tail.begin(), tail.end());
    out.resize(out.size() / AudioChunker::kChunkSize * AudioChunker::kChunkSize);
    return out;
}

void feedInChunks(ASREngineProtocol& engine, const std::vector<float>& samples) {
    AudioChunker chunker;
    chunker.push(samples.data(), samples.size(), [&](AudioChunk&& chunk) { engine.feedAudioChunk(chunk); });
}

QString logText() {
    Logger::flush();
    QFile file(Logger::shared().logFilePath());
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

ASRError expectError(QCoro::Task<ASRResult> task) {
    try {
        AwaitTask::run(std::move(task));
    } catch (const ASRError& error) {
        return error;
    }
    ADD_FAILURE() << "no error";
    return ASRError(ASRError::Code::noActiveSession);
}

class PocketSphinxASRTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!SpeechFixture::toolsAvailable()) GTEST_SKIP() << "flite and sox are needed";
        ASSERT_TRUE(engine.isAvailable());
        ASSERT_TRUE(engine.waitUntilIdle());
    }
    PocketSphinxASR engine;
};

}  // namespace

TEST_F(PocketSphinxASRTest, BatchRecognisesSpokenSentences) {
    double total = 0;
    const QStringList sentences = SpeechFixture::sentences();
    for (const QString& sentence : sentences) {
        const ASRResult result = AwaitTask::run(engine.transcribe(padded(SpeechFixture::speak(sentence))));
        const double wer = SpeechFixture::wordErrorRate(sentence, result.text);
        total += wer;
        EXPECT_LT(wer, 0.4) << sentence.toStdString() << " -> " << result.text.toStdString();
        EXPECT_EQ(result.language, "en-US");
        EXPECT_GT(result.confidence, 0.0f);
        EXPECT_LE(result.confidence, 1.0f);
        EXPECT_FALSE(result.serverFormatted);
        EXPECT_GT(result.latencyMs, 0.0);
    }
    EXPECT_LT(total / sentences.size(), 0.2);
}

TEST_F(PocketSphinxASRTest, BatchWithoutSpeechFailsAsNoSpeechDetected) {
    for (const std::vector<float>& samples : {std::vector<float>{}, SpeechFixture::silence(1.0)}) {
        const ASRError error = expectError(engine.transcribe(samples));
        EXPECT_EQ(error.code(), ASRError::Code::transcriptionFailed);
        EXPECT_STREQ(error.what(), "Transcription failed: No speech detected");
    }
}

TEST_F(PocketSphinxASRTest, StreamingPartialsGrowAndTheStopGivesTheSentence) {
    const QString sentence = SpeechFixture::sentences().at(0);
    const std::vector<float> audio = padded(SpeechFixture::speak(sentence));
    std::vector<QString> partials;  // written on the engine's worker, read after the stop
    engine.startStreaming([&](const QString& text) { partials.push_back(text); });
    feedInChunks(engine, audio);
    const ASRResult result = AwaitTask::run(engine.stopStreaming());

    EXPECT_LT(SpeechFixture::wordErrorRate(sentence, result.text), 0.2) << result.text.toStdString();
    ASSERT_GE(partials.size(), 3u);
    const auto words = [](const QString& t) { return t.split(' ', Qt::SkipEmptyParts).size(); };
    EXPECT_LT(words(partials.front()), words(partials.back()));
    EXPECT_GE(words(partials.back()), words(result.text) - 2);
    EXPECT_EQ(result.language, "en-US");
    EXPECT_TRUE(logText().contains("PocketSphinxASR: Streaming started (auto-rotate every 25s)"));
    EXPECT_TRUE(logText().contains("PocketSphinxASR: Streaming stopped — 1 segment(s)"));

    // The same recording in batch is the stream's own result; other audio is decoded afresh.
    const ASRResult again = AwaitTask::run(engine.transcribe(audio));
    EXPECT_EQ(again.text.toStdString(), result.text.toStdString());
    const QString other = SpeechFixture::sentences().at(3);
    const ASRResult fresh = AwaitTask::run(engine.transcribe(padded(SpeechFixture::speak(other))));
    EXPECT_LT(SpeechFixture::wordErrorRate(other, fresh.text), 0.4) << fresh.text.toStdString();
}

TEST_F(PocketSphinxASRTest, LongStreamsRotateIntoSegmentsThatJoinInOrder) {
    engine.setRotationInterval(std::chrono::seconds(2));
    const QStringList sentences = SpeechFixture::sentences().mid(0, 3);
    std::vector<float> audio;
    for (const QString& s : sentences) {
        const std::vector<float> part = padded(SpeechFixture::speak(s));
        audio.insert(audio.end(), part.begin(), part.end());
    }
    std::vector<QString> partials;
    engine.startStreaming([&](const QString& text) { partials.push_back(text); });
    feedInChunks(engine, audio);
    const ASRResult result = AwaitTask::run(engine.stopStreaming());

    EXPECT_LT(SpeechFixture::wordErrorRate(sentences.join(" "), result.text), 0.2) << result.text.toStdString();
    const QString log = logText();
    EXPECT_TRUE(log.contains("PocketSphinxASR: Session rotated — captured"));
    EXPECT_FALSE(result.text.contains("  "));
    // After a rotation each partial starts with the text of the closed segments.
    ASSERT_FALSE(partials.empty());
    const QString firstWords = result.text.section(' ', 0, 2);
    EXPECT_TRUE(partials.back().startsWith(firstWords)) << partials.back().toStdString();
}

TEST_F(PocketSphinxASRTest, BatchDuringAnOpenStreamLeavesTheStreamIntact) {
    const QString first = SpeechFixture::sentences().at(1);
    const QString second = SpeechFixture::sentences().at(2);
    engine.startStreaming([](const QString&) {});
    const std::vector<float> firstAudio = padded(SpeechFixture::speak(first));
    feedInChunks(engine, std::vector<float>(firstAudio.begin(), firstAudio.begin() + firstAudio.size() / 2));
    const ASRResult batch = AwaitTask::run(engine.transcribe(padded(SpeechFixture::speak(second))));
    feedInChunks(engine, std::vector<float>(firstAudio.begin() + firstAudio.size() / 2, firstAudio.end()));
    const ASRResult streamed = AwaitTask::run(engine.stopStreaming());
    EXPECT_LT(SpeechFixture::wordErrorRate(second, batch.text), 0.4) << batch.text.toStdString();
    EXPECT_LT(SpeechFixture::wordErrorRate(first, streamed.text), 0.4) << streamed.text.toStdString();
}

// Minutes of speech come back whole, in order; a deadline too short for the audio gives the text
// it reached, marked partial, never a short text passed off as the whole.
TEST_F(PocketSphinxASRTest, MinutesOfSpeechAreDecodedWholeOrMarkedPartial) {
    QString transcript;
    const std::vector<float> audio = SpeechFixture::longSpeech(180, &transcript);
    ASSERT_FALSE(audio.empty());
    const ASRResult whole = AwaitTask::run(engine.transcribe(audio), std::chrono::seconds(240));
    EXPECT_FALSE(whole.partial);
    EXPECT_LT(SpeechFixture::wordErrorRate(transcript, whole.text), 0.25) << whole.text.toStdString();
    const QString lastSentence = transcript.section(' ', -10);
    EXPECT_LT(SpeechFixture::wordErrorRate(lastSentence, whole.text.section(' ', -10)), 0.5)
        << "the end of the recording: " << whole.text.right(200).toStdString();

    engine.setBatchDeadline(std::chrono::seconds(2), 0);
    const ASRResult cut = AwaitTask::run(engine.transcribe(audio));
    EXPECT_TRUE(cut.partial);
    const int words = int(cut.text.split(' ', Qt::SkipEmptyParts).size());
    EXPECT_GT(words, 0);
    EXPECT_LT(words, int(transcript.split(' ').size()) / 2) << cut.text.toStdString();
    EXPECT_TRUE(logText().contains("PocketSphinxASR: Batch recognition hit its 2.0s deadline after"));
}

TEST(PocketSphinxASRAvailabilityTest, ALocaleWithoutAModelIsUnavailable) {
    PocketSphinxASR german{QLocale(QLocale::German, QLocale::Germany)};
    EXPECT_FALSE(german.isAvailable());
    EXPECT_EQ(german.localeIdentifier(), "de-DE");
    try {
        german.startStreaming([](const QString&) {});
        FAIL() << "no error";
    } catch (const ASRError& error) {
        EXPECT_EQ(error.code(), ASRError::Code::recognizerUnavailable);
        EXPECT_STREQ(error.what(), "Speech recognizer unavailable");
    }
    EXPECT_EQ(expectError(german.transcribe(std::vector<float>(16000, 0.1f))).code(),
              ASRError::Code::recognizerUnavailable);
    // Chunks and a stop without a stream are harmless.
    german.feedAudioChunk(std::vector<float>(640, 0.0f));
    EXPECT_EQ(AwaitTask::run(german.stopStreaming()).text, "");

    PocketSphinxASR missingModel{QLocale(QLocale::English, QLocale::UnitedStates), "/nonexistent"};
    EXPECT_FALSE(missingModel.isAvailable());
}

TEST_F(PocketSphinxASRTest, StopWithoutAStreamGivesAnEmptyText) {
    const ASRResult result = AwaitTask::run(engine.stopStreaming());
    EXPECT_EQ(result.text, "");
    EXPECT_EQ(result.language, "en-US");
}

// Hint words bias the streaming decoder; words without a pronunciation are dropped.
TEST_F(PocketSphinxASRTest, VocabularyHintsBiasTheStreamAndUnknownWordsAreDropped) {
    const QString sentence = QStringLiteral("the quick brown fox jumps over the lazy dog");
    const std::vector<float> audio = padded(SpeechFixture::speak(sentence));
    const auto stream = [&] {
        engine.startStreaming([](const QString&) {});
        feedInChunks(engine, audio);
        return AwaitTask::run(engine.stopStreaming()).text;
    };
    const QString plain = stream();
    engine.setVocabularyHints({QStringLiteral("Jumps"), QStringLiteral("Kubernetesx"), QStringLiteral("lazy dog")});
    const QString hinted = stream();
    EXPECT_FALSE(plain.split(' ').contains("jumps")) << plain.toStdString();
    EXPECT_TRUE(hinted.split(' ').contains("jumps")) << hinted.toStdString();
    EXPECT_TRUE(logText().contains("PocketSphinxASR: Vocabulary hints: 3 word(s) in the decoder's vocabulary"));
}

// An engine that loads its decoder when first needed and lets it go when unused: nothing is held
// before the first stream, the chunks fed while the model loads are all heard (the first word is
// kept), a release check that a newer use has overtaken does nothing, and the next stream after a
// release loads the decoder again.
TEST(PocketSphinxASROnDemandTest, LoadsOnFirstUseAndReleasesWhenUnused) {
    if (!SpeechFixture::toolsAvailable()) GTEST_SKIP() << "flite and sox are needed";
    InstalledManualClock clock;  // the release checks wait on it
    PocketSphinxASR engine{QLocale(QLocale::English, QLocale::UnitedStates),
                           PocketSphinxASR::OnDemand{std::chrono::seconds(30)}};
    ASSERT_TRUE(engine.isAvailable());
    EXPECT_EQ(engine.loadedDecoders(), 0);
    EXPECT_FALSE(engine.waitUntilIdle());

    const QString sentence = SpeechFixture::sentences().at(0);
    const std::vector<float> speech = SpeechFixture::speak(sentence);
    const auto stream = [&](const std::vector<float>& audio) {
        engine.startStreaming([](const QString&) {});
        feedInChunks(engine, audio);  // queued at once, while the decoder is still loading
        return AwaitTask::run(engine.stopStreaming()).text;
    };
    // Speech from the very first chunk: nothing before the first word.
    std::vector<float> fromThePress = speech;
    const std::vector<float> tail = SpeechFixture::silence(0.3);
    fromThePress.insert(fromThePress.end(), tail.begin(), tail.end());
    const QString first = stream(fromThePress);
    EXPECT_LT(SpeechFixture::wordErrorRate(sentence, first), 0.2) << first.toStdString();
    EXPECT_TRUE(first.startsWith(sentence.section(' ', 0, 0).toLower())) << first.toStdString();
    EXPECT_EQ(engine.loadedDecoders(), 1);
    ASSERT_EQ(clock.pending(), 1);

    // A check scheduled before a newer use does nothing; the newer use's own check releases, 30 s
    // after that use.
    clock.advance(std::chrono::seconds(10));
    const QString other = SpeechFixture::sentences().at(3);
    const ASRResult batch = AwaitTask::run(engine.transcribe(padded(SpeechFixture::speak(other))));
    EXPECT_LT(SpeechFixture::wordErrorRate(other, batch.text), 0.4) << batch.text.toStdString();
    clock.advance(std::chrono::seconds(29));  // the stream's check came due 10 s ago
    EXPECT_EQ(engine.loadedDecoders(), 1);
    clock.advance(std::chrono::seconds(1));
    EXPECT_EQ(engine.loadedDecoders(), 0);
    EXPECT_TRUE(logText().contains("PocketSphinxASR: Decoder released after 30s unused"));

    // The next press loads it again.
    engine.startStreaming([](const QString&) {});
    feedInChunks(engine, padded(speech));
    const QString reloaded = AwaitTask::run(engine.stopStreaming()).text;
    EXPECT_LT(SpeechFixture::wordErrorRate(sentence, reloaded), 0.2) << reloaded.toStdString();
}

// The decoder's dictionary holds only the language model's words, made once into the cache folder
// and reused; a cache folder that cannot be written leaves the full dictionary, and recognition
// works either way.
TEST(PocketSphinxASRDictionaryTest, TheLanguageModelsWordsAreCachedOrTheFullDictionaryServes) {
    if (!SpeechFixture::toolsAvailable()) GTEST_SKIP() << "flite and sox are needed";
    const QByteArray savedCache = qgetenv("XDG_CACHE_HOME");
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QFile blocker(dir.filePath("not-a-folder"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QString sentence = SpeechFixture::sentences().at(2);
    const std::vector<float> audio = padded(SpeechFixture::speak(sentence));

    struct Case {
        const char* name;
        QString cacheHome;
        bool cached;
    };
    for (const Case& c : {Case{"writable cache", dir.filePath("cache"), true},
                          Case{"cache folder blocked by a file", blocker.fileName(), false}}) {
        SCOPED_TRACE(c.name);
        qputenv("XDG_CACHE_HOME", c.cacheHome.toLocal8Bit());
        QDateTime firstWrite;
        for (int round = 0; round < 2; ++round) {
            PocketSphinxASR engine;
            ASSERT_TRUE(engine.waitUntilIdle());
            const ASRResult result = AwaitTask::run(engine.transcribe(audio));
            EXPECT_LT(SpeechFixture::wordErrorRate(sentence, result.text), 0.4) << result.text.toStdString();
            const QFileInfoList made = QDir(c.cacheHome + "/Vantrose").entryInfoList({"lm-words-*.dict"}, QDir::Files);
            if (!c.cached) {
                EXPECT_TRUE(made.isEmpty());
                continue;
            }
            ASSERT_EQ(made.size(), 1);
            const QFileInfo full(QStringLiteral(POCKETSPHINX_MODEL_DIR "/cmudict-en-us.dict"));
            EXPECT_GT(made.front().size(), 0);
            EXPECT_LT(made.front().size(), full.size() * 3 / 4);  // the words the model cannot say are gone
            if (round == 0)
                firstWrite = made.front().lastModified();
            else
                EXPECT_EQ(made.front().lastModified(), firstWrite);  // made once, then reused
        }
    }
    qputenv("XDG_CACHE_HOME", savedCache);
}
