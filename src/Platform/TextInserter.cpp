#include "Platform/TextInserter.h"

#include "Foundation/SerialQueue.h"
#include "Platform/DesktopBackend.h"

#include <QFuture>
#include <QPointer>
#include <QPromise>
#include <QTimer>

#include <QCoro/QCoroFuture>

#include <cmath>
#include <mutex>

TextInserter::TextInserter(QObject* parent)
    : QObject(parent),
      m_worker(DesktopBackend::current().makePasteWorker()),
      m_queue(std::make_unique<SerialQueue>(QStringLiteral("com.vantrose.paster"))) {}

TextInserter::~TextInserter() {
    // A clipboard still waiting for its restore goes back now rather than never.
    std::shared_ptr<AbstractPasteWorker> worker = m_worker;
    m_queue->sync([worker] { worker->restorePending(); });
    m_queue.reset();
}

std::chrono::milliseconds TextInserter::effectiveRestoreDelay(std::chrono::milliseconds configured) {
    return std::clamp<std::chrono::milliseconds>(configured, minRestoreDelay, maxRestoreDelay);
}

std::optional<PasteOutcome> TextInserter::lastPasteOutcome() const { return m_worker->lastOutcome(); }

QCoro::Task<PasteOutcome> TextInserter::insertText(QString text, bool asHTML) {
    QPointer<TextInserter> guard(this);
    const std::chrono::milliseconds delay = effectiveRestoreDelay(clipboardRestoreDelay());
    std::optional<QString> html;
    if (asHTML) html = text;

    auto result = std::make_shared<AbstractPasteWorker::Result>();
    auto resultMutex = std::make_shared<std::mutex>();
    auto promise = std::make_shared<QPromise<void>>();
    QFuture<void> done = promise->future();
    promise->start();
    std::shared_ptr<AbstractPasteWorker> worker = m_worker;
    m_queue->async([worker, text, html, result, resultMutex, promise] {
        AbstractPasteWorker::Result r = worker->paste(text, html);
        {
            std::lock_guard lock(*resultMutex);
            *result = r;
        }
        promise->finish();
    });
    co_await done;

    AbstractPasteWorker::Result r;
    {
        std::lock_guard lock(*resultMutex);
        r = *result;
    }
    if (guard && r.scheduleRestore) {
        const uint64_t generation = r.generation;
        QTimer::singleShot(delay, guard.data(), [guard, generation] {
            if (!guard) return;
            std::shared_ptr<AbstractPasteWorker> w = guard->m_worker;
            guard->m_queue->async([w, generation] { w->restore(generation); });
        });
    }
    co_return r.outcome;
}
