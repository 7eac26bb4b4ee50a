#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QThread>

#include <utility>

// Hops a callable onto the thread of `guard` (normally the main thread). The call is dropped
// when the guard is destroyed before it runs, so a late callback never touches a dead object.
template <typename F>
void runOnMain(QObject* guard, F&& fn) {
    QMetaObject::invokeMethod(guard, std::forward<F>(fn), Qt::QueuedConnection);
}

// Hops onto the application's main thread with no object to guard.
template <typename F>
void runOnMain(F&& fn) {
    if (auto* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, std::forward<F>(fn), Qt::QueuedConnection);
}

inline bool isMainThread() {
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}
