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

std::mutex g_mutex;
std::deque<Pending> g_pending;

void drain() {
    for (;;) {
        Pending next;
        {
            std::lock_guard lock(g_mutex);
            if (g_pending.empty()) return;
            next = std::move(g_pending.front());
            g_pending.pop_front();
        }
        if (next.guarded && next.guard.isNull()) continue;  // its object is gone
        next.fn();
    }
}

void post(QObject* guard, bool guarded, std::function<void()> fn) {
    auto* app = QCoreApplication::instance();
    if (!app) return;
    {
        std::lock_guard lock(g_mutex);
        g_pending.push_back(Pending{QPointer<QObject>(guard), guarded, std::move(fn)});
    }
    // The posted call carries no data; whichever drain runs first takes every waiting call in order.
    QMetaObject::invokeMethod(app, &drain, Qt::QueuedConnection);
}
}  // namespace

void runOnMain(QObject* guard, std::function<void()> fn) { post(guard, true, std::move(fn)); }

void runOnMain(std::function<void()> fn) { post(nullptr, false, std::move(fn)); }
