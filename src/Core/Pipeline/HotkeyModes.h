#pragma once

#include "Foundation/Clock.h"

#include <QCoro/QCoroTask>

#include <optional>

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
    // None before the first press and release, which can never be the second half of a double tap.
    std::optional<Clock::TimePoint> m_lastKeyDown;
    std::optional<Clock::TimePoint> m_lastKeyUp;
};
