#include "Core/Pipeline/StatusPublisher.h"

#include "Core/LogCategories.h"
#include "Core/Pipeline/DictationPipeline.h"
#include "Foundation/Clock.h"
#include "Foundation/Logger.h"

#include <QPointer>

StatusPublisher::StatusPublisher(QObject* parent) : QObject(parent) {}

void StatusPublisher::setStatus(DictationStatus status) {
    ++m_statusEpoch;
    if (m_state.status == status) return;
    m_state.status = status;
    Q_EMIT statusChanged(status);
}

void StatusPublisher::setPipelineStep(PipelineStep step) {
    if (m_state.pipelineStep == step) return;
    m_state.pipelineStep = step;
    Q_EMIT pipelineStepChanged(step);
}

void StatusPublisher::setStreamingText(const QString& text) {
    if (m_state.streamingText == text) return;
    m_state.streamingText = text;
    Q_EMIT streamingTextChanged();
}

void StatusPublisher::setStreamingPartialText(const std::optional<QString>& text) {
    if (m_state.streamingPartialText == text) return;
    m_state.streamingPartialText = text;
    Q_EMIT streamingPartialTextChanged();
}

void StatusPublisher::setErrorMessage(const std::optional<QString>& message) {
    if (m_state.errorMessage == message) return;
    m_state.errorMessage = message;
    Q_EMIT errorMessageChanged();
}

void StatusPublisher::setPersistentMode(bool on) {
    if (m_state.isPersistentMode == on) return;
    m_state.isPersistentMode = on;
    Q_EMIT persistentModeChanged();
}

void StatusPublisher::setContinuousDictationLatched(bool on) {
    if (m_state.isContinuousDictationLatched == on) return;
    m_state.isContinuousDictationLatched = on;
    Q_EMIT continuousDictationLatchedChanged();
}

void StatusPublisher::setLevel(float volume, std::vector<float> bands) {
    m_state.currentVolume = volume;
    m_state.frequencyBands = std::move(bands);
    Q_EMIT levelChanged();
}

void StatusPublisher::startTimedRevert(DictationStatus shown, std::chrono::milliseconds delay,
                                       std::function<void()> revert) {
    const quint64 epoch = m_statusEpoch;
    QPointer<StatusPublisher> self(this);
    Clock::current().callAfter(delay, [self, epoch, shown, revert = std::move(revert)] {
        if (!self || self->m_statusEpoch != epoch || self->m_state.status != shown) return;
        revert();
    });
}

void StatusPublisher::showNotice(const QString& message, std::chrono::milliseconds delay) {
    setStatus(DictationStatus::error);
    setErrorMessage(message);
    startTimedRevert(DictationStatus::error, delay, [this] {
        setStatus(DictationStatus::idle);
        setErrorMessage(std::nullopt);
    });
}

void StatusPublisher::showDashboard(QList<TranscriptionResult> recent, AbstractPipelineHistory::Totals totals) {
    m_state.recentResults = std::move(recent);
    if (m_state.recentResults.size() > DictationPipeline::maxRecentResults)
        m_state.recentResults = m_state.recentResults.mid(0, DictationPipeline::maxRecentResults);
    m_state.totalDictations = totals.dictations;
    m_state.totalWords = totals.words;
    Q_EMIT recentResultsChanged();
    Q_EMIT totalsChanged();
    VLOG_INFO(lcPipeline) << QStringLiteral("Hydrated dashboard — %1 recent, %2 total dictations, %3 total words")
                                 .arg(m_state.recentResults.size())
                                 .arg(m_state.totalDictations)
                                 .arg(m_state.totalWords);
}

void StatusPublisher::setLastResult(const TranscriptionResult& record) {
    m_state.lastResult = record;
    Q_EMIT lastResultChanged();
}

void StatusPublisher::addToDashboard(const TranscriptionResult& record) {
    m_state.recentResults.prepend(record);
    if (m_state.recentResults.size() > DictationPipeline::maxRecentResults) m_state.recentResults.removeLast();
    Q_EMIT recentResultsChanged();
    m_state.totalDictations += 1;
    m_state.totalWords += record.wordCount;
    Q_EMIT totalsChanged();
}
