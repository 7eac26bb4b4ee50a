#include "Core/ASR/PocketSphinxASR.h"
#include "Core/Audio/AudioEngine.h"
#include "Foundation/Logger.h"
#include "support/AwaitTask.h"
#include "support/MicFeeder.h"
#include "support/SpeechFixture.h"
#include "support/TestEnvironment.h"

#include <QFile>
#include <QProcess>

#include <pthread.h>

#include <mutex>

#include <gtest/gtest.h>

namespace {

QString logText() {
    Logger::flush();
    QFile file(Logger::shared().logFilePath());
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

std::vector<float> tone(double seconds, float amplitude = 0.3f) {
    std::vector<float> out(std::size_t(seconds * 16000));
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = amplitude * float(std::sin(2 * M_PI * 440.0 * double(i) / 16000.0));
    return out;
}

QString pactl(const QStringList& args) {
    QProcess process;
    process.start(QStringLiteral("pactl"), args);
    process.waitForFinished(10000);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

// Collects what the capture thread delivers.
struct ChunkLog {
    std::mutex mutex;
    std::vector<AudioChunk> chunks;
    float loudest = 0;
    QByteArray threadName;  // the kernel's name of the thread that delivered them

    void attach(AudioEngine& engine, ASREngineProtocol* recogniser = nullptr) {
        engine.onAudioChunk = [this, recogniser](const AudioChunk& chunk, float level) {
            if (recogniser) recogniser->feedAudioChunk(chunk);
            char name[32] = {};
            pthread_getname_np(pthread_self(), name, sizeof name);
            std::lock_guard lock(mutex);
            chunks.push_back(chunk);
            loudest = std::max(loudest, level);
            threadName = name;
        };
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return chunks.size();
    }
    float maxLevel() {
        std::lock_guard lock(mutex);
        return loudest;
    }
    QByteArray deliveringThread() {
        std::lock_guard lock(mutex);
        return threadName;
    }
};

class AudioCaptureDesktopTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!MicFeeder::available()) GTEST_SKIP() << "needs the virtual microphone (scripts/with-desktop.sh)";
    }
};

}  // namespace

TEST_F(AudioCaptureDesktopTest, ListsTheVirtualMicrophoneButNotTheSinkMonitor) {
    std::vector<AudioDeviceInfo> devices;
    ASSERT_TRUE(waitUntil([&] {
        devices = AudioEngine::listInputDevices();
        return !devices.empty();
    }));
    const auto mic =
        std::find_if(devices.begin(), devices.end(), [](const AudioDeviceInfo& d) { return d.uid == "mic"; });
    ASSERT_NE(mic, devices.end());
    EXPECT_TRUE(mic->isDefault);
    EXPECT_EQ(mic->id, QByteArray("mic"));
    for (const AudioDeviceInfo& d : devices) {
        EXPECT_FALSE(d.uid.contains("monitor")) << d.uid.toStdString();
        EXPECT_EQ(d.isDefault, d.uid == "mic") << d.uid.toStdString();
    }
    EXPECT_TRUE(AwaitTask::run(AudioEngine::requestPermission()));
}

// Sentences played into the microphone arrive as exact 640-sample chunks and the on-device
// recogniser, fed from the capture thread, returns their words with growing partial text.
TEST_F(AudioCaptureDesktopTest, SpokenSentencesArriveAsChunksAndAreRecognised) {
    if (!SpeechFixture::toolsAvailable()) GTEST_SKIP() << "flite and sox are needed";
    PocketSphinxASR recogniser;
    ASSERT_TRUE(recogniser.waitUntilIdle());
    AudioEngine engine;
    engine.prewarm();
    ChunkLog log;
    log.attach(engine, &recogniser);

    double totalWer = 0;
    const QStringList sentences = SpeechFixture::sentences().mid(0, 3);
    const QStringList voices = {"slt", "rms", "awb"};
    for (int i = 0; i < sentences.size(); ++i) {
        std::vector<float> audio = SpeechFixture::silence(0.3);
        const std::vector<float> speech = SpeechFixture::speak(sentences[i], voices[i]);
        audio.insert(audio.end(), speech.begin(), speech.end());
        audio.resize(audio.size() + 8000, 0.0f);

        std::mutex partialMutex;
        QStringList partials;
        recogniser.startStreaming([&](const QString& text) {
            std::lock_guard lock(partialMutex);
            partials << text;
        });
        const std::size_t before = log.count();
        engine.startRecording();
        ASSERT_TRUE(engine.isRecording());
        MicFeeder feeder;
        feeder.play(audio);
        ASSERT_TRUE(waitUntil([&] { return feeder.finished(); }, std::chrono::seconds(30)));
        // Everything written has been captured once the chunks cover it.
        EXPECT_TRUE(
            waitUntil([&] { return (log.count() - before) * 640 + 640 >= audio.size(); }, std::chrono::seconds(5)));
        engine.stopRecording();
        const ASRResult result = AwaitTask::run(recogniser.stopStreaming());

        const double wer = SpeechFixture::wordErrorRate(sentences[i], result.text);
        totalWer += wer;
        EXPECT_LT(wer, 0.4) << voices[i].toStdString() << ": " << result.text.toStdString();
        std::lock_guard lock(partialMutex);
        ASSERT_GE(partials.size(), 2);
        EXPECT_LT(partials.first().split(' ', Qt::SkipEmptyParts).size(),
                  partials.last().split(' ', Qt::SkipEmptyParts).size());
    }
    EXPECT_LT(totalWer / sentences.size(), 0.2);

    std::lock_guard lock(log.mutex);
    for (const AudioChunk& chunk : log.chunks) ASSERT_EQ(chunk.size(), 640u);
    EXPECT_GT(log.loudest, 0.5f);
    EXPECT_EQ(engine.currentVolume(), 0.0f);  // reset at stop
    const std::vector<float> bands = engine.currentFrequencyBands();
    EXPECT_EQ(bands.size(), 10u);
}

TEST_F(AudioCaptureDesktopTest, StartingTwiceCapturesOnceAndStoppingWhileIdleDoesNothing) {
    AudioEngine engine;
    ChunkLog log;
    log.attach(engine);
    engine.stopRecording();
    engine.startRecording();
    engine.startRecording();
    MicFeeder feeder;
    feeder.play(tone(1.0));
    feeder.wait();
    ASSERT_TRUE(waitUntil([&] { return log.count() >= 24; }));
    engine.stopRecording();
    engine.stopRecording();
    const QString text = logText();
    EXPECT_EQ(text.count("AudioEngine: Recording started (16kHz mono, 640-sample chunks)"), 1);
    EXPECT_EQ(text.count("AudioEngine: Recording stopped"), 1);
    // One capture: one second of audio is about 25 chunks, not twice that.
    EXPECT_LE(log.count(), 40u);
    EXPECT_GT(log.maxLevel(), 0.5f);
    // On the capture thread, which the kernel knows by its service ("top -H" shows it so).
    EXPECT_EQ(log.deliveringThread(), "audio-capture");
}

// Going back to the system default after choosing a microphone records from the default again,
// and a chosen microphone that has gone away falls back to the default with a log line.
TEST_F(AudioCaptureDesktopTest, TheDefaultIsResolvedAtEveryStart) {
    const QString fifo2 = TestEnvironment::root() + "/mic2.fifo";
    const QString module = pactl({"load-module", "module-pipe-source", "source_name=mic2", "file=" + fifo2,
                                  "format=s16le", "rate=16000", "channels=1"});
    ASSERT_FALSE(module.isEmpty());
    ASSERT_TRUE(waitUntil([] {
        for (const AudioDeviceInfo& d : AudioEngine::listInputDevices())
            if (d.uid == "mic2") return true;
        return false;
    }));

    AudioEngine engine;
    ChunkLog log;
    log.attach(engine);
    engine.selectedDeviceUID = QStringLiteral("mic2");
    engine.startRecording();
    EXPECT_EQ(engine.activeDeviceUID(), "mic2");
    engine.stopRecording();
    EXPECT_TRUE(logText().contains("AudioEngine: Input device set to '"));

    engine.setInputDevice(std::nullopt);
    EXPECT_TRUE(logText().contains("AudioEngine: Using system default input device"));
    engine.startRecording();
    EXPECT_EQ(engine.activeDeviceUID(), "mic");
    // A WAV file played into the microphone reaches the default device.
    MicFeeder feeder;
    ASSERT_TRUE(feeder.playFile(QStringLiteral(VANTROSE_SOURCE_DIR "/resources/sounds/startup.wav")));
    feeder.wait();
    EXPECT_TRUE(waitUntil([&] { return log.maxLevel() > 0.5f; }));
    engine.stopRecording();

    pactl({"unload-module", module});
    ASSERT_TRUE(waitUntil([] {
        for (const AudioDeviceInfo& d : AudioEngine::listInputDevices())
            if (d.uid == "mic2") return false;
        return true;
    }));
    try {
        engine.setInputDevice(QStringLiteral("mic2"));
        FAIL() << "no error";
    } catch (const AudioEngineError& error) {
        EXPECT_EQ(error.code(), AudioEngineError::Code::noInputDevice);
        EXPECT_STREQ(error.what(), "No microphone input device found");
    }
    EXPECT_EQ(engine.selectedDeviceUID, QStringLiteral("mic2"));
    engine.startRecording();
    EXPECT_EQ(engine.activeDeviceUID(), "mic");
    engine.stopRecording();
    EXPECT_TRUE(logText().contains("AudioEngine: Selected input device is not available; using the system default"));
}

// No audio server: a clear error at once, never a hang.
TEST(AudioServerDownDesktopTest, StartingWithoutAnAudioServerFailsClearly) {
    qputenv("PULSE_SERVER", "unix:/nonexistent/pulse/native");
    AudioEngine engine;
    EXPECT_TRUE(AudioEngine::listInputDevices().empty());
    try {
        engine.startRecording();
        FAIL() << "no error";
    } catch (const AudioEngineError& error) {
        EXPECT_EQ(error.code(), AudioEngineError::Code::noInputDevice);
        EXPECT_STREQ(error.what(), "No microphone input device found");
    }
    EXPECT_FALSE(engine.isRecording());
    EXPECT_FALSE(AwaitTask::run(AudioEngine::requestPermission()));
}
