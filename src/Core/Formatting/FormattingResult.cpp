#include "Core/Formatting/FormattingResult.h"

FormattingError::FormattingError(Kind kind, QString model)
    : m_kind(kind),
      m_model(std::move(model)),
      m_what(localizedDescription().toStdString()) {}

QString FormattingError::localizedDescription() const {
    switch (m_kind) {
    case Kind::modelNotAvailable:
        return QStringLiteral("Model '") + m_model + QStringLiteral("' not available. Run: ollama pull ") + m_model;
    case Kind::ollamaNotRunning: return QStringLiteral("Ollama is not running. Start it with: ollama serve");
    case Kind::ollamaRequestFailed: return QStringLiteral("Ollama API request failed");
    case Kind::invalidResponse: return QStringLiteral("Invalid response from formatter");
    }
    return {};
}
