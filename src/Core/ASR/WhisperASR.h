#pragma once

#include "Core/ASR/ASREngineProtocol.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <vector>

// The command-line recogniser: runs whisper.cpp's "whisper-cli" on a temporary WAV file and
// reads the text file it writes. Batch only.
class WhisperASR final : public ASREngineProtocol {
public:
    // `executablePath`, when given, must be absolute; otherwise whisper-cli is looked up on PATH.
    WhisperASR(QString modelPath, QString language = QStringLiteral("en"), bool useGPU = false,
               QString executablePath = {}, QString engineName = QStringLiteral("Whisper"));

    // Checks the model file once. Throws ASRError::engineNotAvailable when it is missing.
    void initialize();

    QCoro::Task<ASRResult> transcribe(std::vector<float> samples) override;
    void startStreaming(PartialResultCallback onPartialResult) override;
    void feedAudioChunk(const std::vector<float>& chunk) override;
    QCoro::Task<ASRResult> stopStreaming() override;
    QString engineName() const override { return m_engineName; }
    bool supportsStreaming() const override { return false; }

    QString modelPath() const { return m_modelPath; }
    QString language() const { return m_language; }
    bool useGPU() const { return m_useGPU; }
    bool isInitialized() const { return m_isInitialized; }
    // Longest a run may take before the child is killed.
    void setTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }

    // 44-byte RIFF/WAVE header, 16-bit little-endian PCM, mono; samples converted as every upload
    // converts them (WavEncoding: clamped to -1..1, x 32767, a NaN loud rather than undefined).
    static QByteArray floatSamplesToWAV(const std::vector<float>& samples, int sampleRate);
    // The executable to run, or an empty string when there is none.
    QString findWhisperBinary() const;
    // The command line for one run (output path given without its ".txt").
    QStringList arguments(const QString& audioPath, const QString& outputBase) const;

private:
    struct WhisperOutput {
        QString text;
        float confidence = 0;
    };
    QCoro::Task<WhisperOutput> runWhisper(QString program, QString audioPath, QString outputPath);

    QString m_engineName;
    QString m_modelPath;
    QString m_language;
    bool m_useGPU;
    QString m_executablePath;
    bool m_isInitialized = false;
    std::chrono::milliseconds m_timeout = std::chrono::minutes(2);
};
