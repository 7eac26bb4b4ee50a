#include "Core/ASR/WhisperASR.h"
#include "support/AwaitTask.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include <limits>

namespace {

const QString kFake = QStringLiteral(VANTROSE_TEST_SUPPORT_DIR "/fake-whisper-cli.sh");

class WhisperASRTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid()) << dir.errorString().toStdString();
        // A temporary folder of this test's own, so leftovers are attributable; given back after,
        // since the folder goes with the test and later tests of the process make theirs in TMPDIR.
        savedTmpDir = qgetenv("TMPDIR");
        hadTmpDir = qEnvironmentVariableIsSet("TMPDIR");
        ASSERT_TRUE(QDir().mkpath(dir.path() + "/tmp"));
        qputenv("TMPDIR", (dir.path() + "/tmp").toLocal8Bit());
        QFile model(modelPath);
        ASSERT_TRUE(model.open(QIODevice::WriteOnly));
        model.write("model");
        argsFile = dir.path() + "/args.txt";
        qputenv("FAKE_WHISPER_ARGS_FILE", argsFile.toLocal8Bit());
        for (const char* name : {"FAKE_WHISPER_TEXT", "FAKE_WHISPER_EXIT", "FAKE_WHISPER_SLEEP",
                                 "FAKE_WHISPER_NO_OUTPUT", "FAKE_WHISPER_NOISE_KB"})
            qunsetenv(name);
    }
    void TearDown() override {
        if (hadTmpDir)
            qputenv("TMPDIR", savedTmpDir);
        else
            qunsetenv("TMPDIR");
    }
    QStringList leftovers() const { return QDir(dir.path() + "/tmp").entryList({"vantrose_*"}, QDir::Files); }
    QStringList recordedArguments() const {
        QFile file(argsFile);
        if (!file.open(QIODevice::ReadOnly)) return {};
        return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    ASRError failure(WhisperASR& engine, std::vector<float> samples = std::vector<float>(1600, 0.1f)) {
        try {
            AwaitTask::run(engine.transcribe(std::move(samples)));
        } catch (const ASRError& error) {
            return error;
        }
        ADD_FAILURE() << "no error";
        return ASRError(ASRError::Code::noActiveSession);
    }

    QByteArray savedTmpDir;
    bool hadTmpDir = false;
    QTemporaryDir dir;
    QString modelPath = dir.path() + "/ggml-base.en.bin";
    QString argsFile;
};

}  // namespace

TEST_F(WhisperASRTest, RunsTheProgramWithTextOutputAndRemovesItsFiles) {
    WhisperASR engine(modelPath, "en", false, kFake);
    const ASRResult result = AwaitTask::run(engine.transcribe(std::vector<float>(16000, 0.25f)));
    EXPECT_EQ(result.text, "heard 16000 samples");
    EXPECT_FLOAT_EQ(result.confidence, 0.85f);
    EXPECT_EQ(result.language, "en");
    EXPECT_FALSE(result.serverFormatted);
    EXPECT_TRUE(engine.isInitialized());

    const QStringList args = recordedArguments();
    ASSERT_EQ(args.size(), 11) << args.join(' ').toStdString();
    EXPECT_EQ(args[0], "-m");
    EXPECT_EQ(args[1], modelPath);
    EXPECT_EQ(args[2], "-f");
    EXPECT_TRUE(QFileInfo(args[3]).fileName().startsWith("vantrose_input_"));
    EXPECT_TRUE(args[3].endsWith(".wav"));
    EXPECT_EQ(args[4], "-of");
    EXPECT_TRUE(QFileInfo(args[5]).fileName().startsWith("vantrose_output_"));
    EXPECT_FALSE(args[5].endsWith(".txt"));
    EXPECT_EQ(args.mid(6), (QStringList{"-l", "en", "-nt", "-otxt", "-ng"}));
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(' ').toStdString();

    QFile::remove(argsFile);
    WhisperASR gpu(modelPath, "de", true, kFake);
    AwaitTask::run(gpu.transcribe(std::vector<float>(10, 0.0f)));
    EXPECT_FALSE(recordedArguments().contains("-ng"));
    EXPECT_TRUE(recordedArguments().contains("de"));
}

TEST_F(WhisperASRTest, AnEmptyTranscriptIsNoError) {
    qputenv("FAKE_WHISPER_TEXT", "   ");
    WhisperASR engine(modelPath, "en", false, kFake);
    const ASRResult result = AwaitTask::run(engine.transcribe(std::vector<float>(800, 0.0f)));
    EXPECT_EQ(result.text, "");
    EXPECT_EQ(result.confidence, 0.0f);
}

// Every failure is a clear error, and the temporary files go in every case.
TEST_F(WhisperASRTest, FailuresAreReportedAndLeaveNoFiles) {
    struct Case {
        const char* name;
        const char* envName;
        const char* envValue;
        int timeoutMs;
        QString expected;
    };
    const std::vector<Case> cases = {
        {"exit status", "FAKE_WHISPER_EXIT", "3", 60000,
         "Transcription failed: whisper-cli exited with status 3: error: failed to process audio"},
        {"no transcript", "FAKE_WHISPER_NO_OUTPUT", "1", 60000,
         "Transcription failed: whisper-cli wrote no transcript"},
        {"deadline", "FAKE_WHISPER_SLEEP", "30", 300, "Transcription failed: whisper-cli did not finish within 0.3 s"},
    };
    for (const Case& c : cases) {
        qputenv(c.envName, c.envValue);
        WhisperASR engine(modelPath, "en", false, kFake);
        engine.setTimeoutMs(c.timeoutMs);
        const ASRError error = failure(engine);
        EXPECT_EQ(error.code(), ASRError::Code::transcriptionFailed) << c.name;
        EXPECT_TRUE(QString::fromUtf8(error.what()).startsWith(c.expected)) << c.name << ": " << error.what();
        EXPECT_TRUE(leftovers().isEmpty()) << c.name;
        qunsetenv(c.envName);
    }
}

TEST_F(WhisperASRTest, MissingModelOrProgramMakesTheEngineUnavailable) {
    WhisperASR noModel("/nonexistent/model.bin", "en", false, kFake);
    const ASRError modelError = failure(noModel);
    EXPECT_EQ(modelError.code(), ASRError::Code::engineNotAvailable);
    EXPECT_STREQ(modelError.what(), "Whisper model not found at: /nonexistent/model.bin");

    // A relative program path and a PATH that names the current folder are never used.
    QDir::setCurrent(dir.path());
    ASSERT_TRUE(QFile::copy(kFake, dir.path() + "/whisper-cli"));
    const QByteArray savedPath = qgetenv("PATH");
    qputenv("PATH", ".:bin:/nonexistent");
    for (const QString& configured : {QStringLiteral("whisper-cli"), QString()}) {
        WhisperASR engine(modelPath, "en", false, configured);
        EXPECT_EQ(engine.findWhisperBinary(), "");
        const ASRError error = failure(engine);
        EXPECT_EQ(error.code(), ASRError::Code::engineNotAvailable);
        EXPECT_STREQ(error.what(), "whisper-cli not found");
    }
    // On PATH it is found.
    qputenv("PATH", ("/nonexistent:" + dir.path() + ":" + savedPath).toLocal8Bit());
    WhisperASR onPath(modelPath);
    EXPECT_EQ(onPath.findWhisperBinary(), dir.path() + "/whisper-cli");
    EXPECT_EQ(AwaitTask::run(onPath.transcribe(std::vector<float>(5, 0.0f))).text, "heard 5 samples");
    qputenv("PATH", savedPath);
}

TEST_F(WhisperASRTest, ConcurrentRunsUseTheirOwnFilesAndChattyProgramsDoNotStall) {
    qputenv("FAKE_WHISPER_NOISE_KB", "512");  // more than a pipe holds
    WhisperASR engine(modelPath, "en", false, kFake);
    std::optional<ASRResult> first, second;
    auto run = [](WhisperASR* e, std::size_t n, std::optional<ASRResult>* out) -> QCoro::Task<> {
        *out = co_await e->transcribe(std::vector<float>(n, 0.5f));
    };
    auto a = run(&engine, 1000, &first);
    auto b = run(&engine, 2000, &second);
    ASSERT_TRUE(waitUntil([&] { return first && second; }, std::chrono::seconds(30)));
    EXPECT_EQ(first->text, "heard 1000 samples");
    EXPECT_EQ(second->text, "heard 2000 samples");
    EXPECT_TRUE(leftovers().isEmpty());
}

TEST_F(WhisperASRTest, StreamingIsNotSupported) {
    WhisperASR engine(modelPath);
    EXPECT_FALSE(engine.supportsStreaming());
    EXPECT_THROW(engine.startStreaming([](const QString&) {}), ASRError);
    EXPECT_THROW(engine.feedAudioChunk({}), ASRError);
    try {
        AwaitTask::run(engine.stopStreaming());
        FAIL();
    } catch (const ASRError& error) {
        EXPECT_STREQ(error.what(), "Streaming not supported");
    }
}

TEST(WhisperWavTest, SamplesAreClampedAndScaledBehindA44ByteHeader) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const QByteArray wav = WhisperASR::floatSamplesToWAV({0.0f, 1.0f, -1.0f, 2.0f, -0.5f, nan}, 16000);
    ASSERT_EQ(wav.size(), 44 + 12);
    EXPECT_EQ(wav.left(4), "RIFF");
    EXPECT_EQ(qFromLittleEndian<quint32>(wav.constData() + 4), 36u + 12u);
    EXPECT_EQ(wav.mid(8, 8), "WAVEfmt ");
    EXPECT_EQ(qFromLittleEndian<quint16>(wav.constData() + 22), 1);       // mono
    EXPECT_EQ(qFromLittleEndian<quint32>(wav.constData() + 24), 16000u);  // rate
    EXPECT_EQ(qFromLittleEndian<quint16>(wav.constData() + 34), 16);      // bits
    EXPECT_EQ(wav.mid(36, 4), "data");
    const auto sample = [&](int i) { return qFromLittleEndian<qint16>(wav.constData() + 44 + 2 * i); };
    EXPECT_EQ(sample(0), 0);
    EXPECT_EQ(sample(1), 32767);
    EXPECT_EQ(sample(2), -32767);
    EXPECT_EQ(sample(3), 32767);
    EXPECT_EQ(sample(4), -16383);
    EXPECT_EQ(sample(5), 32767);  // a NaN from a broken device is loud, never undefined
}
