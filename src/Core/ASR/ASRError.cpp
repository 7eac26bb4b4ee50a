#include "Core/ASR/ASRError.h"

QString ASRError::messageFor(Code code, const QString& text) {
    switch (code) {
    case Code::engineNotAvailable: return text;
    case Code::transcriptionFailed: return QStringLiteral("Transcription failed: ") + text;
    case Code::recognizerUnavailable: return QStringLiteral("Speech recognizer unavailable");
    case Code::bufferCreationFailed: return QStringLiteral("Failed to create audio buffer");
    case Code::noActiveSession: return QStringLiteral("No active recognition session");
    case Code::streamingNotSupported: return QStringLiteral("Streaming not supported");
    }
    return text;
}

ASRError::ASRError(Code code, const QString& text)
    : std::runtime_error(messageFor(code, text).toStdString()),
      m_code(code),
      m_text(text) {}
