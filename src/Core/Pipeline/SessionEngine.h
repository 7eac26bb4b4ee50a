#pragma once

#include "Core/Pipeline/PipelineSession.h"
#include "Core/VAD/VoiceActivityDetector.h"
#include "Models/ActiveAppInfo.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class DictationRecorder;
class TypingReminderController;
class StatusPublisher;
struct PipelineContext;

// One session per dictation: the microphone's start, stop and cancel, the hands-free
// (persistent) dictation with its pause and resume, the chunk path from the capture thread, the
// live text, and the background tasks a dictation runs while the user speaks. A stopped
// recording goes to one road through the hooks.
//
// Main thread only, but for the chunk handler it installs on the microphone, which runs on the
// capture thread and reaches the main thread only through runOnMain.
class SessionEngine {
public:
    struct Hooks {
        // The recording stopped and goes to the server's road, or to the batch road.
        std::function<void(PipelineSessionPtr session)> commitOverWebSocket;
        std::function<void(PipelineSessionPtr session)> processAudio;
        // The streaming connection reported an error (handed over from whichever thread saw it).
        std::function<void()> streamingFailed;
    };

    SessionEngine(PipelineContext& context, DictationRecorder& recorder, TypingReminderController& reminders,
                  Hooks hooks);
    ~SessionEngine();
    SessionEngine(const SessionEngine&) = delete;
    SessionEngine& operator=(const SessionEngine&) = delete;

    // The current dictation; none before the first and after a cancel.
    const PipelineSessionPtr& current() const { return m_session; }
    bool isCurrent(const PipelineSessionPtr& session) const { return session && session == m_session; }

    void start();
    // Hands the recording to one road: the server's, while the streaming link is up, else the batch.
    void stop();
    void cancel();
    void startPersistent();
    void pause();
    void resume();
    // A hands-free dictation always takes the batch road: its audio outlasts one streaming session.
    void finishPersistent();
    // Ends the dictation in flight, so a new hands-free one can begin; a road already pasting keeps
    // its own audio.
    void resetForPersistentRestart();

    // Empties both chunk buffers of the current dictation.
    void clearAllAudioChunks();
    // The chunks recorded so far by the current dictation, in both buffers.
    int recordedChunkCount() const;
    // Frames the voice detector heard speech in since the dictation began.
    int voicedFrames() const;
    // Level of the latest chunk, written by the capture thread for every chunk.
    float rawLevel() const;

    // Ends the session's on-device live text, if it has one open; its result is not used.
    QCoro::Task<> endLiveRecognition(PipelineSessionPtr session);
    void endLiveRecognitionDetached(const PipelineSessionPtr& session);

    // What the streaming link's error callback runs, on any thread: the error reaches the main
    // thread through runOnMain.
    std::function<void(const QString& message)> streamingErrorHandler() const;
    // The capture thread stops calling in, the microphone stops and its handler goes. The
    // pipeline's destructor calls this first.
    void shutDown();

private:
    // What the capture thread shares with the main thread.
    struct CaptureState {
        // Hands `job` to the main thread (runOnMain), where it runs with the engine unless the
        // pipeline has gone by then. Any thread.
        void post(std::function<void(SessionEngine&)> job);

        std::mutex receiverLock;          // guards the two below
        QObject* receiver = nullptr;      // the pipeline; cleared when it goes away
        SessionEngine* engine = nullptr;  // lives as long as the pipeline

        std::mutex chunksLock;  // guards lockedChunks only
        std::vector<AudioChunk> lockedChunks;
        std::atomic<quint64> generation{0};  // chunks of another dictation are dropped
        std::atomic<bool> feedRecognizer{false};
        std::atomic<bool> firstChunkSeen{false};
        std::atomic<float> rawLevel{0};
        std::atomic<Clock::TimePoint> lastVolumeUpdate{Clock::TimePoint()};
        std::atomic<Clock::TimePoint> sessionStartTime{Clock::TimePoint()};
        std::atomic<Clock::TimePoint> audioCaptureStartTime{Clock::TimePoint()};
        VoiceActivityDetector vad;
    };

    // A fresh session replaces the current one; roads of the old one stop at their next check.
    PipelineSessionPtr beginSession();
    // Detaches the current dictation: its roads stop at their next check, and its late chunks
    // are dropped. Answers the detached session.
    PipelineSessionPtr endCurrentSession();
    void drainAudioChunks();
    void installChunkHandler(bool withFirstChunkAndRecognizer);
    // Starts the microphone; answers the failure's description, empty when it started.
    QString startRecordingOrDescribeFailure();
    bool isCurrentGeneration(quint64 generation) const;
    void noteFirstChunk(quint64 generation, double timeToFirstChunkMs, double firstChunkLatencyMs);
    void resetCaptureForNewSession();
    void emitStartEvent(const std::optional<ActiveAppInfo>& app);
    void startBackgroundTasks(PipelineSession& session);
    void failStart(PipelineSession& session, const QString& failure);
    void startLiveText(PipelineSession& session);
    void announceListening(const PipelineSession& session, const std::optional<ActiveAppInfo>& app);

    PipelineContext& m_ctx;
    DictationRecorder& m_recorder;
    TypingReminderController& m_reminders;
    Hooks m_hooks;
    StatusPublisher& m_publisher;  // the context's
    std::shared_ptr<CaptureState> m_capture = std::make_shared<CaptureState>();
    PipelineSessionPtr m_session;
    quint64 m_nextGeneration = 0;
};
