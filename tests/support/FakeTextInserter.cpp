#include "support/FakeTextInserter.h"

#include <QTimer>

PasteOutcome FakeTextInserter::successfulOutcome(const QString& text, double elapsedMs) {
    PasteOutcome outcome;
    outcome.success = true;
    outcome.clipboardSaved = true;
    outcome.clipboardWritten = true;
    outcome.pasteSimulated = true;
    outcome.clipboardWriteSuccessful = true;
    outcome.clipboardLengthAfter = static_cast<int>(text.size());
    outcome.pasteOutcomeMs = elapsedMs;
    outcome.helperPasteProcessingMs = elapsedMs;
    outcome.textLength = static_cast<int>(text.size());
    outcome.totalTimeMs = elapsedMs;
    return outcome;
}

PasteOutcome FakeTextInserter::failedOutcome(const QString& text) {
    PasteOutcome outcome = successfulOutcome(text);
    outcome.success = false;
    outcome.pasteSimulated = false;
    outcome.hasPrivilegeIssues = true;
    return outcome;
}

QStringList FakeTextInserter::pastedTexts() const {
    QStringList texts;
    for (const Call& call : calls) texts.append(call.text);
    return texts;
}

QCoro::Task<PasteOutcome> FakeTextInserter::insertText(QString text, bool asHTML) {
    calls.append({text, asHTML});
    ++pastesInFlight;
    mostPastesInFlight = std::max(mostPastesInFlight, pastesInFlight);
    const auto wait = delay;
    const bool alive = co_await pause(wait);
    if (!alive) co_return failedOutcome(text);
    --pastesInFlight;

    PasteOutcome outcome = successfulOutcome(text, static_cast<double>(wait.count()));
    if (!scriptedOutcomes.empty()) {
        outcome = scriptedOutcomes.front();
        scriptedOutcomes.pop_front();
    }
    m_last = outcome;
    const int generation = ++m_generation;
    // Only the latest paste's restore is recorded, as a newer paste replaces the record.
    QTimer::singleShot(static_cast<int>(clipboardRestoreDelay() * 1000), this->guardObject(), [this, generation] {
        if (generation == m_generation && m_last) m_last->clipboardRestored = true;
    });
    co_return outcome;
}
