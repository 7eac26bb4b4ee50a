#pragma once

#include "Core/Pipeline/DictationRecorder.h"
#include "Core/Pipeline/PipelineSession.h"

#include <QCoro/QCoroTask>
#include <QJsonObject>
#include <QString>

class BatchRoad;
class SessionEngine;
class StatusPublisher;
struct PipelineContext;

// The streaming road: the audio went to the server while the user spoke; on stop the dictation
// is committed with its context, and the server's answer is checked, fitted to the field and
// pasted. A lost or failing link hands the dictation to the batch road instead. Main thread only.
class StreamingRoad {
public:
    StreamingRoad(PipelineContext& context, SessionEngine& engine, BatchRoad& batchRoad, DictationRecorder& recorder);

    // Commits the session's recording, once its context is in (or its deadline passed).
    QCoro::Task<> commit(PipelineSessionPtr session);
    // The current dictation, when it still waits for the server, goes to the batch road;
    // `reason` (when not empty) says why in the log.
    void fallBackToBatch(const QString& reason);
    // The server's answer to the latest commit.
    void handleResult(const QString& asrText, const QString& llmText, const QJsonObject& metrics);

private:
    using Outcome = DictationRecorder::StreamingOutcome;

    QCoro::Task<> complete(PipelineSessionPtr session, Outcome outcome);
    // The dictation ends without a paste.
    void drop(PipelineSession& session, bool clearPartialText);
    void reset(bool clearPartialText);

    PipelineContext& m_ctx;
    StatusPublisher& m_publisher;  // the context's
    SessionEngine& m_engine;
    BatchRoad& m_batchRoad;
    DictationRecorder& m_recorder;
};
