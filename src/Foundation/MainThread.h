#pragma once

#include <QCoreApplication>
#include <QObject>
#include <QPointer>
#include <QThread>

#include <functional>

// The one way to hand work to the main thread, from any thread (the main thread included: the
// call then runs on a later turn of its loop). With a guard, the call is dropped when the guard
// is destroyed before it runs, so a late callback never touches a dead object; the guard itself
// must be alive while runOnMain() is called, so an object that a worker posts for stops that
// worker before it goes. Calls run in the order they were posted, whichever threads posted them.
//
// The callables wait in a queue behind a std::mutex, and the main thread is woken by a queued
// call of a slot by name, which carries nothing of ours: ThreadSanitizer cannot see the locks
// inside Qt's event queue, so data carried in a posted closure would look like a race even
// though the hand-over is sound.
void runOnMain(QObject* guard, std::function<void()> fn);
void runOnMain(std::function<void()> fn);

inline bool isMainThread() {
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}
