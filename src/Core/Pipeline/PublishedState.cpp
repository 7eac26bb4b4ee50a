#include "Core/Pipeline/DictationPipeline.h"

#include "Foundation/Logger.h"

// The published state: what the views read, written only through these setters, each of which
// announces a change.

void DictationPipeline::setStatus(DictationStatus status) {
    ++m_statusEpoch;
    if (m_state.status == status) return;
    m_state.status = status;
    Q_EMIT statusChanged(status);
}

void DictationPipeline::setPipelineStep(PipelineStep step) {
    if (m_state.pipelineStep == step) return;
    m_state.pipelineStep = step;
    Q_EMIT pipelineStepChanged(step);
}

void DictationPipeline::setStreamingText(const QString& text) {
    if (m_state.streamingText == text) return;
    m_state.streamingText = text;
    Q_EMIT streamingTextChanged();
}

void DictationPipeline::setStreamingPartialText(const std::optional<QString>& text) {
    if (m_state.streamingPartialText == text) return;
    m_state.streamingPartialText = text;
    Q_EMIT streamingPartialTextChanged();
}

void DictationPipeline::setErrorMessage(const std::optional<QString>& message) {
    if (m_state.errorMessage == message) return;
    m_state.errorMessage = message;
    Q_EMIT errorMessageChanged();
}

void DictationPipeline::setPersistentMode(bool on) {
    if (m_state.isPersistentMode == on) return;
    m_state.isPersistentMode = on;
    Q_EMIT persistentModeChanged();
}

void DictationPipeline::setContinuousDictationLatched(bool on) {
    if (m_state.isContinuousDictationLatched == on) return;
    m_state.isContinuousDictationLatched = on;
    Q_EMIT continuousDictationLatchedChanged();
}

void DictationPipeline::setLevel(float volume, std::vector<float> bands) {
    m_state.currentVolume = volume;
    m_state.frequencyBands = std::move(bands);
    Q_EMIT levelChanged();
}

void DictationPipeline::startTimedRevert(DictationStatus shown, double seconds, std::function<void()> revert) {
    // Acts only when nothing has written the status since this revert's own write, so a revert
    // never ends the display of a later dictation.
    const quint64 epoch = m_statusEpoch;
    QPointer<DictationPipeline> self(this);
    [](QPointer<DictationPipeline> self, PipelineSleeper* sleeper, double seconds, quint64 epoch, DictationStatus shown,
       std::function<void()> revert) -> QCoro::Task<> {
        co_await sleeper->sleep(seconds);
        if (!self || self->m_statusEpoch != epoch || self->m_state.status != shown) co_return;
        revert();
    }(self, m_sleeper.get(), seconds, epoch, shown, std::move(revert));
}

// The dashboard's recent dictations and totals, as the history holds them.
void DictationPipeline::loadDashboard() {
    m_state.recentResults = m_history->recentHistory();
    if (m_state.recentResults.size() > maxRecentResults)
        m_state.recentResults = m_state.recentResults.mid(0, maxRecentResults);
    const PipelineHistory::Totals totals = m_history->loadTotals();
    m_state.totalDictations = totals.dictations;
    m_state.totalWords = totals.words;
    Q_EMIT recentResultsChanged();
    Q_EMIT totalsChanged();
    VLOG(QStringLiteral("Pipeline: Hydrated dashboard — %1 recent, %2 total dictations, %3 total words")
             .arg(m_state.recentResults.size())
             .arg(m_state.totalDictations)
             .arg(m_state.totalWords));
}

void DictationPipeline::addRecord(const TranscriptionResult& record) {
    m_state.lastResult = record;
    Q_EMIT lastResultChanged();
    m_history->save(record);
    m_state.recentResults.prepend(record);
    if (m_state.recentResults.size() > maxRecentResults) m_state.recentResults.removeLast();
    Q_EMIT recentResultsChanged();
    m_state.totalDictations += 1;
    m_state.totalWords += record.wordCount;
    Q_EMIT totalsChanged();
}
