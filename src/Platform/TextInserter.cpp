#include "Platform/TextInserter.h"

#include "Core/Clock.h"
#include "Core/Logger.h"
#include "Core/SerialQueue.h"
#include "Core/TextUnits.h"
#include "Models/AppClassification.h"
#include "Platform/Linux/KeyCodeTable.h"
#include "Platform/Linux/X11ActiveWindowTracker.h"
#include "Platform/Linux/X11ClipboardService.h"
#include "Platform/Linux/X11KeyInjector.h"

#include <QFuture>
#include <QPointer>
#include <QPromise>
#include <QTimer>

#include <qcoro/qcorofuture.h>

#include <X11/keysym.h>

#include <cmath>
#include <mutex>
#include <thread>

namespace {
constexpr double kDefaultRestoreDelay = 0.5;
}

// Everything below runs on the paste queue's thread, one job at a time; `outcomeMutex`
// guards the record the main thread reads.
struct TextInserter::Worker {
    X11ClipboardService clipboard;
    X11KeyInjector keys;
    X11ActiveWindowTracker windows;
    bool started = false;

    std::optional<ClipboardSnapshot> saved;  // the user's clipboard while a restore is pending
    uint64_t ticket = 0;                     // our write that currently holds the clipboard
    QString writtenText;
    uint64_t generation = 0;                 // bumped by every paste that wrote

    mutable std::mutex outcomeMutex;
    std::optional<PasteOutcome> lastOutcome;
    uint64_t lastOutcomeGeneration = 0;

    void ensureStarted() {
        if (started) return;
        started = true;
        if (!clipboard.start()) VLOG("TextInserter: No X11 display; the clipboard cannot be used");
        windows.start({});
    }

    QString frontAppId(bool* isTerminal = nullptr) {
        const auto window = windows.queryNow();
        if (isTerminal)
            *isTerminal = window && AppType::detect(window->appId, window->appName) == AppType::terminal;
        return window ? window->appId : QString();
    }

    struct Result {
        PasteOutcome outcome;
        uint64_t generation = 0;
        uint64_t ticket = 0;
        bool scheduleRestore = false;
    };

    Result paste(const QString& text, const std::optional<QString>& html) {
        ensureStarted();
        Result result;
        PasteOutcome& o = result.outcome;
        const double t0 = Clock::current().monotonicSeconds();
        bool terminal = false;
        const QString appBefore = frontAppId(&terminal);
        const auto items = X11ClipboardService::textItems(text, /*concealed=*/true, html);

        // Overlapping pastes: while an earlier paste still holds the clipboard, the user's clipboard
        // is the one saved then; the earlier text is not worth saving.
        uint64_t newTicket = 0;
        if (saved && ticket) newTicket = clipboard.replaceContents(ticket, items);
        if (newTicket) {
            o.clipboardSaved = true;
            o.clipboardLengthBefore = int(TextUnits::characterCount(writtenText));
        } else {
            ClipboardSnapshot snapshot = clipboard.snapshot(maxSavedBytes, saveBudget);
            o.clipboardSaved = clipboard.isConnected() && snapshot.complete;
            if (!snapshot.complete)
                VLOG("TextInserter: Some clipboard formats could not be saved (too large or too slow)");
            o.clipboardLengthBefore = int(TextUnits::characterCount(snapshot.plainText().value_or(QString())));
            saved = std::move(snapshot);
            newTicket = clipboard.setContents(items);
        }

        o.clipboardWritten = o.clipboardWriteSuccessful = newTicket != 0;
        if (newTicket) {
            ticket = newTicket;
            writtenText = text;
            o.clipboardLengthAfter = int(TextUnits::characterCount(text));
        } else {
            VLOG("TextInserter: Could not take the clipboard; nothing pasted");
            o.clipboardLengthAfter = o.clipboardLengthBefore;
            if (!ticket) saved.reset();  // nothing of ours to undo
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

        if (newTicket) {
            if (!keys.waitForModifiersReleased(modifierReleaseBound))
                VLOG("TextInserter: Modifier keys still held; pasting anyway");
            const uint8_t ctrl = keys.keycodeForKeysym(XK_Control_L);
            const uint8_t shift = keys.keycodeForKeysym(XK_Shift_L);
            uint8_t v = keys.keycodeForKeysym(XK_v);
            if (!v) v = KeyCodeTable::xKeycodeFor(9);  // layouts without a Latin v: its position
            std::vector<uint8_t> modifiers{ctrl};
            if (terminal) modifiers.push_back(shift);
            o.pasteSimulated = ctrl && keys.pressKeys(modifiers, v);
            if (!o.pasteSimulated) VLOG("TextInserter: The paste keys could not be sent through XTest");
        }
        const double t1 = Clock::current().monotonicSeconds();
        o.textLength = int(TextUnits::characterCount(text));
        o.hasPrivilegeIssues = !keys.isAvailable();

        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        o.focusedControlChanged = appBefore != frontAppId();

        o.pasteOutcomeMs = o.totalTimeMs = (t1 - t0) * 1000.0;
        o.helperPasteProcessingMs = o.pasteOutcomeMs;
        o.success = o.clipboardWritten && o.pasteSimulated;
        VLOG(QStringLiteral("TextInserter: Pasted in %1ms — restoring clipboard async")
                 .arg(QString::number(o.pasteOutcomeMs, 'f', 0)));

        if (newTicket) {
            result.generation = ++generation;
            result.ticket = newTicket;
            result.scheduleRestore = true;
        }
        std::lock_guard lock(outcomeMutex);
        lastOutcome = o;
        lastOutcomeGeneration = result.generation;
        return result;
    }

    void restore(uint64_t forGeneration) {
        if (forGeneration != generation || !saved) return;  // a later paste restores instead
        bool restored = false;
        if (!clipboard.owns(ticket)) {  // NOLINT(bugprone-branch-clone): same outcome as a failed replace
            VLOG("TextInserter: Clipboard changed since the paste; keeping the new copy");
        } else if (saved->isEmpty()) {
            clipboard.release(ticket);
            restored = true;
            VLOG("TextInserter: No saved clipboard to restore, cleared");
        } else if (saved->isConcealed()) {
            // A password manager's copy: it expires it itself; never bring it back.
            clipboard.release(ticket);
            restored = true;
            VLOG("TextInserter: Saved clipboard was marked secret; cleared instead of restoring");
        } else if (clipboard.replaceContents(ticket, saved->items)) {
            restored = true;
        } else {
            VLOG("TextInserter: Clipboard changed since the paste; keeping the new copy");
        }
        saved.reset();
        ticket = 0;
        writtenText.clear();
        if (!restored) return;
        std::lock_guard lock(outcomeMutex);
        if (lastOutcome && lastOutcomeGeneration <= forGeneration) lastOutcome->clipboardRestored = true;
    }
};

TextInserter::TextInserter(QObject* parent)
    : QObject(parent),
      m_worker(std::make_shared<Worker>()),
      m_queue(std::make_unique<SerialQueue>(QStringLiteral("com.vantrose.paster"))) {}

TextInserter::~TextInserter() {
    // A clipboard still waiting for its restore goes back now rather than never.
    std::shared_ptr<Worker> worker = m_worker;
    m_queue->sync([worker] { worker->restore(worker->generation); });
    m_queue.reset();
}

double TextInserter::effectiveRestoreDelay(double seconds) {
    if (!std::isfinite(seconds)) return kDefaultRestoreDelay;
    return std::clamp(seconds, minRestoreDelay, maxRestoreDelay);
}

std::optional<PasteOutcome> TextInserter::lastPasteOutcome() const {
    std::lock_guard lock(m_worker->outcomeMutex);
    return m_worker->lastOutcome;
}

QCoro::Task<PasteOutcome> TextInserter::insertText(QString text, bool asHTML) {
    QPointer<TextInserter> guard(this);
    const double delay = effectiveRestoreDelay(clipboardRestoreDelay());
    std::optional<QString> html;
    if (asHTML) html = text;

    auto result = std::make_shared<Worker::Result>();
    auto resultMutex = std::make_shared<std::mutex>();
    auto promise = std::make_shared<QPromise<void>>();
    QFuture<void> done = promise->future();
    promise->start();
    std::shared_ptr<Worker> worker = m_worker;
    m_queue->async([worker, text, html, result, resultMutex, promise] {
        Worker::Result r = worker->paste(text, html);
        {
            std::lock_guard lock(*resultMutex);
            *result = r;
        }
        promise->finish();
    });
    co_await done;

    Worker::Result r;
    {
        std::lock_guard lock(*resultMutex);
        r = *result;
    }
    if (guard && r.scheduleRestore) {
        const uint64_t generation = r.generation;
        QTimer::singleShot(int(std::lround(delay * 1000)), guard.data(), [guard, generation] {
            if (!guard) return;
            std::shared_ptr<Worker> w = guard->m_worker;
            guard->m_queue->async([w, generation] { w->restore(generation); });
        });
    }
    co_return r.outcome;
}
