#include "Core/Pipeline/HotkeyModes.h"

#include "Core/Learning/TypingReminderController.h"
#include "Core/LogCategories.h"
#include "Core/Pipeline/PipelineContext.h"
#include "Core/Pipeline/PipelineSupport.h"
#include "Core/Pipeline/SessionEngine.h"
#include "Foundation/Logger.h"

#include <QPointer>

using namespace PipelineSupport;

HotkeyModes::HotkeyModes(PipelineContext& context, SessionEngine& engine, TypingReminderController& reminders)
    : m_ctx(context),
      m_engine(engine),
      m_reminders(reminders) {}

void HotkeyModes::pushToTalkDown() {
    // The press answers a shown typing reminder: accepting it starts the dictation. It is not
    // counted as a press, so it can never be the first half of a double tap.
    if (m_reminders.typingSuggestion()) {
        m_reminders.acceptTypingSuggestion(TypingReminderController::AcceptTrigger::keyboard);
        return;
    }
    const Clock::TimePoint t = now();
    const std::optional<Clock::TimePoint> previousDown = m_lastKeyDown;
    const std::optional<Clock::TimePoint> previousUp = m_lastKeyUp;
    m_lastKeyDown = t;

    const DictationStatus status = m_ctx.publisher.status();
    if (m_ctx.publisher.state().isPersistentMode &&
        (status == DictationStatus::listening || status == DictationStatus::paused)) {
        VLOG_INFO(lcPipeline) << QStringLiteral("Hotkey press while persistent → finish");
        m_engine.finishPersistent();
        return;
    }
    const bool doubleTap = previousDown && previousUp && t - *previousDown < DictationPipeline::doubleTapWindow &&
                           t - *previousUp < DictationPipeline::doubleTapWindow;
    const bool restartable = status == DictationStatus::stopping || status == DictationStatus::processing ||
                             status == DictationStatus::idle || status == DictationStatus::inserting;
    if (doubleTap && restartable) {
        VLOG_INFO(lcPipeline) << QStringLiteral("Double-tap detected → cancelling in-flight + persistent mode ON");
        if (status != DictationStatus::idle) {
            m_engine.resetForPersistentRestart();
            VLOG_INFO(lcPipeline) << QStringLiteral("Cancelled previous dictation for persistent restart");
        }
        m_ctx.publisher.setPersistentMode(true);
        m_ctx.services->track(QStringLiteral("popo_lock"), {});
        m_engine.start();
        return;
    }
    if (status == DictationStatus::idle || status == DictationStatus::error) m_engine.start();
}

void HotkeyModes::pushToTalkUp() {
    m_lastKeyUp = now();
    if (!m_ctx.publisher.state().isPersistentMode && m_ctx.publisher.status() == DictationStatus::listening)
        m_engine.stop();
}

void HotkeyModes::lockHotkey() {
    if (m_ctx.publisher.state().isPersistentMode) {
        VLOG_INFO(lcPipeline) << QStringLiteral("Lock hotkey → finishing hands-free");
        m_engine.finishPersistent();
    } else if (m_ctx.publisher.status() == DictationStatus::idle ||
               m_ctx.publisher.status() == DictationStatus::error) {
        VLOG_INFO(lcPipeline) << QStringLiteral("Lock hotkey → starting hands-free");
        m_engine.startPersistent();
    } else if (m_ctx.publisher.status() == DictationStatus::listening) {
        VLOG_INFO(lcPipeline) << QStringLiteral("Lock hotkey → upgrading PTT to hands-free");
        m_ctx.publisher.setPersistentMode(true);
    }
}

QCoro::Task<> HotkeyModes::pasteLastTranscript() {
    if (!m_ctx.publisher.state().lastResult) co_return;
    const QPointer<QObject> self(m_ctx.pipeline);
    // Exactly what the dictation put in the field: fitted to it and with the user's replacements.
    const QString text = m_ctx.publisher.state().lastResult->pastedText;
    VLOG_INFO(lcPipeline) << QStringLiteral("Paste last transcript — \"") + text.left(50) + QStringLiteral("...\"");
    const PasteOutcome outcome = co_await m_ctx.pastes.paste(text);
    if (self && !outcome.success)
        VLOG_WARNING(lcPipeline) << QStringLiteral("Paste last transcript failed — nothing was pasted");
}
