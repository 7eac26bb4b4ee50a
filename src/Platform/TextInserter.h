#pragma once

#include "Core/Desktop/AbstractTextInserter.h"

#include <QObject>

#include <chrono>
#include <memory>

class SerialQueue;

// Pastes finished text into the focused field: saves the user's CLIPBOARD (every target, within
// a size cap and a time budget), offers the text marked as a secret for clipboard managers,
// sends Ctrl+V through XTest (Ctrl+Shift+V in terminals) and, after the restore delay, gives
// the user's clipboard back, but only while the selection is still ours. Pastes run one at a
// time on a worker; the main thread only awaits them.
class TextInserter : public QObject, public AbstractTextInserter {
    Q_OBJECT
public:
    static constexpr double minRestoreDelay = 0.2;   // the target must fetch the text first
    static constexpr double maxRestoreDelay = 10.0;  // the user's clipboard stays away no longer
    static constexpr qint64 maxSavedBytes = qint64{32} * 1024 * 1024;
    static constexpr std::chrono::milliseconds saveBudget{1000};
    static constexpr std::chrono::milliseconds modifierReleaseBound{500};

    explicit TextInserter(QObject* parent = nullptr);
    ~TextInserter() override;  // restores a clipboard still waiting for its delay

    QCoro::Task<PasteOutcome> insertText(QString text, bool asHTML = false) override;
    std::optional<PasteOutcome> lastPasteOutcome() const override;

    // The delay actually used for a configured one: finite and within the bounds above.
    static double effectiveRestoreDelay(double seconds);

private:
    struct Worker;
    std::shared_ptr<Worker> m_worker;
    std::unique_ptr<SerialQueue> m_queue;  // declared last: drained before the worker goes
};
