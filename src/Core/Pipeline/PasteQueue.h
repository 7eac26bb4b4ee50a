#pragma once

#include "Foundation/PendingValue.h"
#include "Models/PasteOutcome.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QPointer>
#include <QString>

class AbstractTextInserter;

// The pipeline's pastes, one at a time, so the user's clipboard is saved and restored around
// each. Main thread only.
class PasteQueue {
public:
    // `pipeline` owns the queue; a paste that resumes after it went away answers nothing.
    PasteQueue(AbstractTextInserter& inserter, QObject* pipeline);

    // Waits for the paste before it, then pastes `text`.
    QCoro::Task<PasteOutcome> paste(QString text);

private:
    AbstractTextInserter& m_inserter;
    QObject* m_pipeline;
    bool m_busy = false;
    WakeList m_released;
};
