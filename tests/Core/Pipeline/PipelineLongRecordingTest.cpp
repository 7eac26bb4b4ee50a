// Minutes of speech on the program's batch road with the on-device recogniser (the server cannot
// be reached): the whole recording is pasted; when the recogniser runs out of time the text it
// has is pasted, the recording is kept and the user is told.
#include "Core/ASR/PocketSphinxASR.h"
#include "Core/Pipeline/PipelineAdapters.h"
#include "support/Pipeline/PipelineHarness.h"
#include "support/SpeechFixture.h"
#include "support/TestEnvironment.h"

#include <QFile>
#include <QTcpServer>

#include <gtest/gtest.h>

namespace {

using S = DictationStatus;
using namespace std::chrono_literals;

// A port nothing listens on.
QString unreachableServer() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return QStringLiteral("http://127.0.0.1:%1").arg(port);
}

class PipelineLongRecording : public ::testing::Test {
protected:
    void SetUp() override {
        if (!SpeechFixture::toolsAvailable()) GTEST_SKIP() << "flite and sox are needed";
        speech = SpeechFixture::longSpeech(180, &transcript);
        ASSERT_FALSE(speech.empty());
        device = std::make_shared<PocketSphinxASR>();
        ASSERT_TRUE(device->waitUntilIdle());
        PipelineHarness::Options options;
        options.makeBatchRecognizer = [this] { return std::make_unique<RetryPipelineBatchRecognizer>(device); };
        VantroseSettings settings;
        settings.cloudServerURL = unreachableServer();
        h = std::make_unique<PipelineHarness>(settings, options);
        h->setUp();
    }

    // The whole recording dictated at once; true once its text is pasted.
    bool dictateTheRecording() {
        h->pipeline->startDictation();
        h->audio->feedSamples(speech);
        h->pipeline->stopDictation();
        return waitUntil([&] { return h->inserter->calls.size() == 1; }, 240s);
    }

    QString transcript;
    std::vector<float> speech;
    std::shared_ptr<PocketSphinxASR> device;
    std::unique_ptr<PipelineHarness> h;
};

TEST_F(PipelineLongRecording, MinutesOfSpeechArePastedWhole) {
    ASSERT_TRUE(dictateTheRecording());
    const QString pasted = h->inserter->pastedTexts().first();
    EXPECT_LT(SpeechFixture::wordErrorRate(transcript, pasted), 0.3) << pasted.toStdString();
    EXPECT_LT(SpeechFixture::wordErrorRate(transcript.section(' ', -12), pasted.section(' ', -12)), 0.5)
        << pasted.right(200).toStdString();
    EXPECT_TRUE(h->waitForStatus(S::idle));
    EXPECT_EQ(h->pipeline->errorMessage(), std::nullopt);
    EXPECT_EQ(h->pipeline->lastResult()->asrTierUsed, QStringLiteral("secondary-batch"));
}

TEST_F(PipelineLongRecording, ARecordingTheRecogniserCannotFinishIsKeptAndTheUserTold) {
    device->setBatchDeadline(std::chrono::seconds(2), 0);
    ASSERT_TRUE(dictateTheRecording());
    const QString pasted = h->inserter->pastedTexts().first();
    EXPECT_FALSE(pasted.trimmed().isEmpty());
    EXPECT_LT(pasted.split(' ').size(), transcript.split(' ').size() / 2) << pasted.toStdString();

    ASSERT_TRUE(h->waitForStatus(S::error));
    const QString message = h->pipeline->errorMessage().value_or(QString());
    EXPECT_TRUE(message.startsWith("Only the start of the recording was transcribed. The whole recording is saved in "))
        << message.toStdString();
    const QString path = message.section(QStringLiteral(" is saved in "), 1);
    QFile kept(path);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly)) << path.toStdString();
    EXPECT_EQ(kept.size(), 44 + 2 * qint64(speech.size() / 640 * 640));  // every chunk recorded
    EXPECT_EQ(kept.permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther),
              QFile::Permissions());
    // The notice goes away like any other; the next dictation starts as usual.
    h->clock.advance(std::chrono::seconds(3));
    EXPECT_TRUE(h->waitForStatus(S::idle));
    EXPECT_EQ(h->pipeline->errorMessage(), std::nullopt);
}

}  // namespace
