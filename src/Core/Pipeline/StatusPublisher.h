#pragma once

#include "Core/Pipeline/PipelineCollaborators.h"
#include "Core/Pipeline/PublishedState.h"

#include <QList>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>
#include <vector>

// The one writer of the state the views read. Each setter announces its change; DictationPipeline
// passes the announcements on as its own signals. Main thread only.
class StatusPublisher : public QObject {
    Q_OBJECT
public:
    explicit StatusPublisher(QObject* parent = nullptr);

    const PublishedState& state() const { return m_state; }
    DictationStatus status() const { return m_state.status; }
    // Counts status writes, unchanged values too, so a wait can tell whether anyone wrote since.
    quint64 statusEpoch() const { return m_statusEpoch; }

    void setStatus(DictationStatus status);
    void setPipelineStep(PipelineStep step);
    void setStreamingText(const QString& text);
    void setStreamingPartialText(const std::optional<QString>& text);
    void setErrorMessage(const std::optional<QString>& message);
    void setPersistentMode(bool on);
    void setContinuousDictationLatched(bool on);
    void setLevel(float volume, std::vector<float> bands);

    // The dashboard's recent dictations (newest first, at most DictationPipeline::maxRecentResults)
    // and totals, as the history holds them.
    void showDashboard(QList<TranscriptionResult> recent, AbstractPipelineHistory::Totals totals);
    void setLastResult(const TranscriptionResult& record);
    // A finished dictation joins the recent ones and the totals.
    void addToDashboard(const TranscriptionResult& record);

    // Runs `revert` after `delay` (on the process clock) when the status is still `shown` and
    // nothing has written it since, so a revert never ends the display of a later dictation.
    void startTimedRevert(DictationStatus shown, std::chrono::milliseconds delay, std::function<void()> revert);
    // Shows `message` in the error state for `delay`, then idle again (unless a newer state came).
    void showNotice(const QString& message, std::chrono::milliseconds delay);

Q_SIGNALS:
    void statusChanged(DictationStatus status);
    void pipelineStepChanged(PipelineStep step);
    void levelChanged();
    void streamingTextChanged();
    void streamingPartialTextChanged();
    void lastResultChanged();
    void recentResultsChanged();
    void totalsChanged();
    void errorMessageChanged();
    void persistentModeChanged();
    void continuousDictationLatchedChanged();

private:
    PublishedState m_state;
    quint64 m_statusEpoch = 0;
};
