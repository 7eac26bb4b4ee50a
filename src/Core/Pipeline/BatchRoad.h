#pragma once

#include "Core/Pipeline/DictationRecorder.h"
#include "Core/Pipeline/PipelineCollaborators.h"
#include "Core/Pipeline/PipelineSession.h"

#include <QCoro/QCoroTask>
#include <QString>

#include <chrono>
#include <optional>

class SessionEngine;
class StatusPublisher;
struct PipelineContext;

// The batch road: the whole recording is recognised once the user stops, with the context the
// dictation gathered meanwhile, then checked, formatted, fitted to the field and pasted. Each
// step that waits goes on only while its dictation is still the current one. Main thread only.
class BatchRoad {
public:
    BatchRoad(PipelineContext& context, SessionEngine& engine, DictationRecorder& recorder);

    // Runs the road for the session, once; a session that is no longer current, or already on
    // this road, is left alone.
    QCoro::Task<> process(PipelineSessionPtr session);

private:
    using Outcome = DictationRecorder::BatchOutcome;

    bool dropTooShortAudio(const PipelineSessionPtr& session, std::chrono::milliseconds duration);
    QCoro::Task<bool> awaitContext(PipelineSessionPtr session);
    void prepareRecognizer(PipelineSession& session);
    QCoro::Task<std::optional<PipelineTranscription>> transcribe(PipelineSessionPtr session);
    bool acceptTranscript(const PipelineSession& session, std::chrono::milliseconds duration, const Outcome& outcome);
    QCoro::Task<bool> formatTranscript(PipelineSessionPtr session, bool serverFormatted, Outcome& outcome);
    // Waits (bounded) for the probe a dictation started after the server's formatter failed, and
    // takes its answer. Answers false when the pipeline went away.
    QCoro::Task<bool> settleFormatterProbe();
    bool prepareFinalText(PipelineSession& session, Outcome& outcome);
    QCoro::Task<> fail(PipelineSessionPtr session, QString description);
    QCoro::Task<> keepPartlyRecognisedRecording(PipelineSessionPtr session, Outcome& outcome);
    QCoro::Task<> complete(PipelineSessionPtr session, Outcome outcome);
    void returnToIdle(PipelineSession& session);
    // The step goes back to idle after a while, unless another dictation has begun.
    QCoro::Task<> resetStepLater(quint64 generation);
    void showPartialRecognitionNotice(const std::optional<QString>& keptRecording);

    PipelineContext& m_ctx;
    StatusPublisher& m_publisher;  // the context's
    SessionEngine& m_engine;
    DictationRecorder& m_recorder;
};
