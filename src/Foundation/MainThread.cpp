#include "Foundation/MainThread.h"

#include <QMetaObject>

#include <deque>
#include <mutex>

namespace {

struct Pending {
    QPointer<QObject> guard;
    bool guarded = false;
    std::function<void()> fn;
};

// Receives the wake-up on the main thread. The wake-up is a queued call of a slot by name: Qt
// then carries nothing of ours across threads, and the callables travel only through g_pending,
// behind a lock ThreadSanitizer sees. (A queued functor is allocated on the posting thread and
// run on the main thread under Qt's own locks, which it does not see.)
class MainThreadInbox final : public QObject {
    Q_OBJECT
public:
    Q_INVOKABLE void drain();
};

std::mutex g_mutex;
std::deque<Pending> g_pending;       // guarded by g_mutex
bool g_wakeUpPosted = false;         // guarded by g_mutex
MainThreadInbox* g_inbox = nullptr;  // guarded by g_mutex; lives on the main thread, never deleted
QCoreApplication* g_inboxApp = nullptr;

void MainThreadInbox::drain() {
    for (;;) {
        Pending next;
        {
            std::lock_guard lock(g_mutex);
            if (g_pending.empty()) {
                g_wakeUpPosted = false;
                return;
            }
            next = std::move(g_pending.front());
            g_pending.pop_front();
            // A call that runs a nested event loop must not hold back what is posted meanwhile:
            // the next post wakes the main thread again, and that drain takes the queue in order.
            g_wakeUpPosted = false;
        }
        if (next.guarded && next.guard.isNull()) continue;  // its object is gone
        next.fn();
    }
}

// Under g_mutex. The application's constructor makes the inbox (below), on the main thread, so no
// thread but the main one ever touches it outside Qt's own code; one made here for an application
// that somehow has none yet is moved to the main thread.
MainThreadInbox* inboxFor(QCoreApplication* app) {
    if (!g_inbox || g_inboxApp != app) {
        g_inbox = new MainThreadInbox;
        if (g_inbox->thread() != app->thread()) g_inbox->moveToThread(app->thread());
        g_inboxApp = app;
    }
    return g_inbox;
}

void makeInboxWithTheApplication() {
    std::lock_guard lock(g_mutex);
    inboxFor(QCoreApplication::instance());
}

void post(QObject* guard, bool guarded, std::function<void()> fn) {
    auto* app = QCoreApplication::instance();
    if (!app) return;
    MainThreadInbox* wake = nullptr;
    {
        std::lock_guard lock(g_mutex);
        g_pending.push_back(Pending{QPointer<QObject>(guard), guarded, std::move(fn)});
        // A wake-up posted to an application object that has gone since never arrives.
        if (!g_wakeUpPosted || g_inboxApp != app) {
            g_wakeUpPosted = true;
            wake = inboxFor(app);
        }
    }
    if (wake) QMetaObject::invokeMethod(wake, "drain", Qt::QueuedConnection);
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(makeInboxWithTheApplication)

void runOnMain(QObject* guard, std::function<void()> fn) { post(guard, true, std::move(fn)); }

void runOnMain(std::function<void()> fn) { post(nullptr, false, std::move(fn)); }

#include "MainThread.moc"
