#pragma once

#include <QCoro/QCoroTask>

class SessionEngine;
class TypingReminderController;
struct PipelineContext;

// The hotkeys that drive the session engine: push-to-talk, a double tap or the lock hotkey for
// the hands-free (persistent) dictation, and pasting the last transcript again. Main thread only.
class HotkeyModes {
public:
    HotkeyModes(PipelineContext& context, SessionEngine& engine, TypingReminderController& reminders);

    void pushToTalkDown();
    void pushToTalkUp();
    void lockHotkey();
    QCoro::Task<> pasteLastTranscript();

private:
    PipelineContext& m_ctx;
    SessionEngine& m_engine;
    TypingReminderController& m_reminders;
    // Long ago: the first press can never look like the second half of a double tap.
    double m_lastKeyDownTime = -1e9;
    double m_lastKeyUpTime = -1e9;
};
