#pragma once

#include "Foundation/Clock.h"
#include "Models/PasteOutcome.h"

#include <QString>

#include <QCoro/QCoroTask>

#include <chrono>
#include <cmath>
#include <optional>

// Delivers finished text into the focused field of the frontmost application by way of the
// clipboard and a paste key chord, and puts the user's clipboard back afterwards.
class AbstractTextInserter {
public:
    virtual ~AbstractTextInserter() = default;

    // Pastes `text` and answers what happened; never throws. Pastes do not overlap: a second
    // call waits for the first. Runs on the main thread.
    virtual QCoro::Task<PasteOutcome> insertText(QString text, bool asHTML = false) = 0;
    // The record of the latest paste, with `clipboardRestored` set once the restore has run.
    virtual std::optional<PasteOutcome> lastPasteOutcome() const = 0;

    static constexpr auto kDefaultRestoreDelay = std::chrono::milliseconds(500);
    // The time between the paste and the restore of the user's clipboard; read at each paste.
    std::chrono::milliseconds clipboardRestoreDelay() const { return m_clipboardRestoreDelay; }
    void setClipboardRestoreDelay(std::chrono::milliseconds delay) { m_clipboardRestoreDelay = delay; }
    // The delay a stored setting of `seconds` asks for; the default when it is not a number.
    static std::chrono::milliseconds restoreDelayFromSeconds(double seconds) {
        return std::isfinite(seconds) ? fromSeconds(seconds) : kDefaultRestoreDelay;
    }

private:
    std::chrono::milliseconds m_clipboardRestoreDelay = kDefaultRestoreDelay;
};
