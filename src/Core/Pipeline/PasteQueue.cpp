#include "Core/Pipeline/PasteQueue.h"

#include "Core/Desktop/AbstractTextInserter.h"

PasteQueue::PasteQueue(AbstractTextInserter& inserter, QObject* pipeline)
    : m_inserter(inserter),
      m_pipeline(pipeline) {}

QCoro::Task<PasteOutcome> PasteQueue::paste(QString text) {
    const QPointer<QObject> self(m_pipeline);
    while (m_busy) {
        co_await m_released.wait();
        if (!self) co_return PasteOutcome();
    }
    m_busy = true;
    const PasteOutcome outcome = co_await m_inserter.insertText(text, false);
    if (self) {
        m_busy = false;
        m_released.wakeAll();
    }
    co_return outcome;
}
