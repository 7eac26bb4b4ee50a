#include "Core/ASR/WhisperASR.h"

#include "Core/Cloud/WavEncoding.h"
#include "Core/LogCategories.h"
#include "Foundation/Logger.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QUuid>
#include <QtEndian>

#include <QCoro/QCoroProcess>

#include <algorithm>
#include <cmath>
#include <memory>

namespace {

constexpr qint64 kMaxTranscriptBytes = 1 << 20;
constexpr qint64 kKeptErrorBytes = 4096;

// Removes the run's temporary files however the run ends.
struct TemporaryFiles {
    QStringList paths;
    ~TemporaryFiles() {
        for (const QString& path : paths) QFile::remove(path);
    }
};

QString lastLine(const QByteArray& bytes) {
    const QList<QByteArray> lines = bytes.trimmed().split('\n');
    return lines.isEmpty() ? QString() : QString::fromUtf8(lines.last().trimmed()).left(200);
}

}  // namespace

WhisperASR::WhisperASR(QString modelPath, QString language, bool useGPU, QString executablePath, QString engineName)
    : m_engineName(std::move(engineName)),
      m_modelPath(std::move(modelPath)),
      m_language(std::move(language)),
      m_useGPU(useGPU),
      m_executablePath(std::move(executablePath)) {}

void WhisperASR::initialize() {
    if (m_isInitialized) return;
    if (!QFileInfo(m_modelPath).isFile())
        throw ASRError::engineNotAvailable(QStringLiteral("Whisper model not found at: ") + m_modelPath);
    m_isInitialized = true;
    VLOG_INFO(lcWhisperASR) << "Model loaded from " << m_modelPath;
}

void WhisperASR::startStreaming(PartialResultCallback) { throw ASRError::streamingNotSupported(); }

void WhisperASR::feedAudioChunk(const std::vector<float>&) { throw ASRError::streamingNotSupported(); }

QCoro::Task<ASRResult> WhisperASR::stopStreaming() {
    throw ASRError::streamingNotSupported();
    co_return ASRResult{};
}

QByteArray WhisperASR::floatSamplesToWAV(const std::vector<float>& samples, int sampleRate) {
    return WavEncoding::wav(samples, sampleRate);
}

QString WhisperASR::findWhisperBinary() const {
    const auto runnable = [](const QString& path) {
        const QFileInfo info(path);
        return info.isAbsolute() && info.isFile() && info.isExecutable();
    };
    // A configured path is used only when it is absolute: nothing is resolved against the
    // current folder.
    if (!m_executablePath.isEmpty()) return runnable(m_executablePath) ? m_executablePath : QString();
    for (const QString& dir : qEnvironmentVariable("PATH").split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        QString candidate = dir + QStringLiteral("/whisper-cli");
        if (QDir::isAbsolutePath(dir) && runnable(candidate)) return candidate;
    }
    const QString built = QDir::homePath() + QStringLiteral("/whisper.cpp/build/bin/whisper-cli");
    return runnable(built) ? built : QString();
}

QStringList WhisperASR::arguments(const QString& audioPath, const QString& outputBase) const {
    QStringList args{QStringLiteral("-m"),  m_modelPath,
                     QStringLiteral("-f"),  audioPath,
                     QStringLiteral("-of"), outputBase,
                     QStringLiteral("-l"),  m_language,
                     QStringLiteral("-nt"), QStringLiteral("-otxt")};
    if (!m_useGPU) args << QStringLiteral("-ng");  // -ng means "no GPU"
    return args;
}

QCoro::Task<ASRResult> WhisperASR::transcribe(std::vector<float> samples) {
    QElapsedTimer timer;
    timer.start();
    initialize();
    const QString program = findWhisperBinary();
    if (program.isEmpty()) throw ASRError::engineNotAvailable(QStringLiteral("whisper-cli not found"));

    const QString tmp = QDir::tempPath();
    const QString inputPath = tmp + QStringLiteral("/vantrose_input_") +
                              QUuid::createUuid().toString(QUuid::WithoutBraces) + QStringLiteral(".wav");
    const QString outputPath = tmp + QStringLiteral("/vantrose_output_") +
                               QUuid::createUuid().toString(QUuid::WithoutBraces) + QStringLiteral(".txt");
    TemporaryFiles cleanup{{inputPath, outputPath}};
    {
        // The recording is private: the file is created fresh, readable by the user only.
        QFile input(inputPath);
        if (!input.open(QIODevice::WriteOnly | QIODevice::NewOnly, QFileDevice::ReadOwner | QFileDevice::WriteOwner))
            throw ASRError::transcriptionFailed(QStringLiteral("Could not write the temporary audio file: ") +
                                                input.errorString());
        const QByteArray wav = floatSamplesToWAV(samples, 16000);
        if (input.write(wav) != wav.size())
            throw ASRError::transcriptionFailed(QStringLiteral("Could not write the temporary audio file: ") +
                                                input.errorString());
    }
    const QString language = m_language;
    const WhisperOutput output = co_await runWhisper(program, inputPath, outputPath);
    co_return ASRResult{output.text, output.confidence, language, double(timer.nsecsElapsed()) / 1e6, false};
}

QCoro::Task<WhisperASR::WhisperOutput> WhisperASR::runWhisper(QString program, QString audioPath, QString outputPath) {
    QString outputBase = outputPath;
    if (outputBase.endsWith(QStringLiteral(".txt"))) outputBase.chop(4);
    const int timeoutMs = m_timeoutMs;

    auto process = std::make_unique<QProcess>();
    process->setProgram(program);
    process->setArguments(arguments(audioPath, outputBase));
    // Both pipes are drained as the child writes; only the end of its error output is kept,
    // for the error message. Its standard output carries the transcript and is not kept.
    auto errorTail = std::make_shared<QByteArray>();
    QProcess* raw = process.get();
    QObject::connect(raw, &QProcess::readyReadStandardOutput, raw, [raw] { raw->readAllStandardOutput(); });
    QObject::connect(raw, &QProcess::readyReadStandardError, raw, [raw, errorTail] {
        errorTail->append(raw->readAllStandardError());
        if (errorTail->size() > kKeptErrorBytes) *errorTail = errorTail->right(kKeptErrorBytes);
    });

    const bool started = co_await qCoro(*raw).start();
    if (!started)
        throw ASRError::transcriptionFailed(QStringLiteral("whisper-cli could not be started: ") + raw->errorString());
    const bool finished = co_await qCoro(*raw).waitForFinished(std::chrono::milliseconds(timeoutMs));
    if (!finished) {
        raw->kill();
        raw->waitForFinished(2000);
        throw ASRError::transcriptionFailed(
            QStringLiteral("whisper-cli did not finish within %1 s").arg(timeoutMs / 1000.0, 0, 'f', 1));
    }
    errorTail->append(raw->readAllStandardError());
    if (raw->exitStatus() != QProcess::NormalExit)
        throw ASRError::transcriptionFailed(QStringLiteral("whisper-cli crashed"));
    if (raw->exitCode() != 0) {
        QString message = QStringLiteral("whisper-cli exited with status %1").arg(raw->exitCode());
        const QString detail = lastLine(*errorTail);
        if (!detail.isEmpty()) message += QStringLiteral(": ") + detail;
        throw ASRError::transcriptionFailed(message);
    }

    QFile file(outputPath);
    if (!file.open(QIODevice::ReadOnly))
        throw ASRError::transcriptionFailed(QStringLiteral("whisper-cli wrote no transcript: ") + file.errorString());
    if (file.size() > kMaxTranscriptBytes)
        throw ASRError::transcriptionFailed(QStringLiteral("whisper-cli wrote an oversized transcript"));
    const QString text = QString::fromUtf8(file.readAll()).trimmed();
    co_return WhisperOutput{text, text.isEmpty() ? 0.0f : 0.85f};
}
