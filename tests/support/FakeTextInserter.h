#pragma once

#include "Core/Desktop/AbstractTextInserter.h"
#include "support/FakeSupport.h"

#include <QList>

#include <chrono>
#include <deque>

// A paster that records what it was asked to paste. Each paste answers the next scripted
// outcome, or a successful one when none is left, after `delay`. The restore of the user's
// clipboard is marked in lastPasteOutcome() after clipboardRestoreDelay().
class FakeTextInserter final : public AbstractTextInserter, private FakeLifetime {
public:
    struct Call {
        QString text;
        bool asHTML = false;
        std::chrono::steady_clock::time_point at = std::chrono::steady_clock::now();  // when it was asked
    };

    std::chrono::milliseconds delay{0};
    std::deque<PasteOutcome> scriptedOutcomes;
    QList<Call> calls;
    int pastesInFlight = 0;
    int mostPastesInFlight = 0;  // above 1 when a caller let pastes overlap

    QCoro::Task<PasteOutcome> insertText(QString text, bool asHTML = false) override;
    std::optional<PasteOutcome> lastPasteOutcome() const override { return m_last; }

    QStringList pastedTexts() const;
    // What a paste that worked looks like.
    static PasteOutcome successfulOutcome(const QString& text, double elapsedMs = 0);
    // A paste whose key chord could not be sent.
    static PasteOutcome failedOutcome(const QString& text);

private:
    std::optional<PasteOutcome> m_last;
    int m_generation = 0;
};
