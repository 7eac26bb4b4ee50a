#include "Core/Pipeline/PolishEngine.h"

PolishEngine::PolishEngine(HistoryStore* historyStore, QString ollamaEndpoint, QString ollamaModel, QObject* parent)
    : QObject(parent),
      m_historyStore(historyStore),
      m_ollamaEndpoint(std::move(ollamaEndpoint)),
      m_ollamaModel(std::move(ollamaModel)) {}

namespace {
template <typename T, typename Signal>
void assign(PolishEngine* self, T& field, const T& value, Signal signal) {
    if (field == value) return;
    field = value;
    Q_EMIT(self->*signal)();
}
}  // namespace

void PolishEngine::setStatus(PolishStatus status) { assign(this, m_status, status, &PolishEngine::statusChanged); }
void PolishEngine::setOriginalText(const QString& text) {
    assign(this, m_originalText, text, &PolishEngine::originalTextChanged);
}
void PolishEngine::setPolishedText(const QString& text) {
    assign(this, m_polishedText, text, &PolishEngine::polishedTextChanged);
}
void PolishEngine::setInstruction(const QString& text) {
    assign(this, m_instruction, text, &PolishEngine::instructionChanged);
}
void PolishEngine::setProcessingTimeMs(double ms) {
    assign(this, m_processingTimeMs, ms, &PolishEngine::processingTimeMsChanged);
}
void PolishEngine::setDiffCount(int count) { assign(this, m_diffCount, count, &PolishEngine::diffCountChanged); }
