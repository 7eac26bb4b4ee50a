#pragma once

#include "Core/Desktop/AbstractTextInserter.h"

#include <QObject>

#include <chrono>
#include <memory>

class AbstractPasteWorker;
class SerialQueue;

// Pastes finished text into the focused field: saves the user's clipboard (every target, within
// the size caps and a time budget), offers the text marked as a secret for clipboard managers,
// sends the paste chord (Ctrl+Shift+V in terminals) and, after the restore delay, gives the
// user's clipboard back, but only while the clipboard is still ours. The session's back-end does
// the work, one paste at a time on a worker; the main thread only awaits them.
class TextInserter : public QObject, public AbstractTextInserter {
    Q_OBJECT
public:
    static constexpr auto minRestoreDelay = std::chrono::milliseconds(200);  // the target must fetch the text first
    static constexpr auto maxRestoreDelay = std::chrono::seconds(10);  // the user's clipboard stays away no longer
    // What of the user's clipboard is saved for the restore: all targets together, and each one.
    // A copied screenshot is a few MiB as PNG; an owner offering more for one target (an
    // uncompressed bitmap of a large screen, or a hostile client) gets that target left out and
    // the others, the text among them, kept.
    static constexpr qint64 maxSavedBytes = qint64{32} * 1024 * 1024;
    static constexpr qint64 maxSavedTargetBytes = qint64{8} * 1024 * 1024;
    static constexpr std::chrono::milliseconds saveBudget{1000};
    // How long a paste waits for the user to let go of the keys still held (the hotkey that asked
    // for it); a paste whose keys could not be sent by then fails.
    static constexpr std::chrono::milliseconds modifierReleaseBound{2000};

    explicit TextInserter(QObject* parent = nullptr);
    ~TextInserter() override;  // restores a clipboard still waiting for its delay

    QCoro::Task<PasteOutcome> insertText(QString text, bool asHTML = false) override;
    std::optional<PasteOutcome> lastPasteOutcome() const override;

    // The delay actually used for a configured one: within the bounds above.
    static std::chrono::milliseconds effectiveRestoreDelay(std::chrono::milliseconds configured);

private:
    std::shared_ptr<AbstractPasteWorker> m_worker;  // the session's back-end does the paste
    std::unique_ptr<SerialQueue> m_queue;           // declared last: drained before the worker goes
};
