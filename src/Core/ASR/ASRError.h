#pragma once

#include <QString>

#include <stdexcept>

// The one error type of every recogniser; what() is the fixed English message.
class ASRError : public std::runtime_error {
public:
    enum class Code {
        engineNotAvailable,     // message: the carried text itself
        transcriptionFailed,    // "Transcription failed: " + the carried text
        recognizerUnavailable,  // "Speech recognizer unavailable"
        bufferCreationFailed,   // "Failed to create audio buffer"
        noActiveSession,        // "No active recognition session"
        streamingNotSupported,  // "Streaming not supported"
    };

    explicit ASRError(Code code, const QString& text = {});

    static ASRError engineNotAvailable(const QString& text) { return ASRError(Code::engineNotAvailable, text); }
    static ASRError transcriptionFailed(const QString& text) { return ASRError(Code::transcriptionFailed, text); }
    static ASRError recognizerUnavailable() { return ASRError(Code::recognizerUnavailable); }
    static ASRError streamingNotSupported() { return ASRError(Code::streamingNotSupported); }
    // The audio held no words (silence, a tone, noise): the recogniser worked, the text is empty.
    static ASRError noSpeechDetected() { return transcriptionFailed(QStringLiteral("No speech detected")); }
    bool isNoSpeechDetected() const {
        return m_code == Code::transcriptionFailed && m_text == QLatin1String("No speech detected");
    }

    Code code() const { return m_code; }
    QString text() const { return m_text; }
    QString localizedDescription() const { return QString::fromUtf8(what()); }

    static QString messageFor(Code code, const QString& text);

private:
    Code m_code;
    QString m_text;
};
