#pragma once

#include <QCoreApplication>
#include <QObject>
#include <QPointer>
#include <QThread>

#include <functional>

// Hops a callable onto the main thread. With a guard, the call is dropped when the guard is
// destroyed before it runs, so a late callback never touches a dead object. Calls run in the
// order they were posted.
//
// The callables wait in a queue behind a std::mutex rather than inside Qt's posted events:
// ThreadSanitizer cannot see Qt's futex-based locks, so data captured by a closure carried in a
// posted event would look like a race even though the hand-over is sound.
void runOnMain(QObject* guard, std::function<void()> fn);
void runOnMain(std::function<void()> fn);

inline bool isMainThread() {
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}
