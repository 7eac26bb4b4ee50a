#pragma once

#include "Foundation/MainThread.h"

#include <QObject>
#include <QPointer>

#include <QCoro/QCoroTask>
#include <QCoro/QCoroTimer>

#include <chrono>
#include <functional>
#include <memory>

// Shared by the fakes of the desktop layer: a guard object that dies with the fake, so a
// callback posted to the main thread or a delayed answer never touches a destroyed fake.
class FakeLifetime {
protected:
    // Runs `fn` on the main thread later, as the real services deliver their callbacks.
    void post(std::function<void()> fn) { runOnMain(m_guard.get(), std::move(fn)); }

    // Waits `delay` without blocking the event loop; false when the fake died meanwhile.
    QCoro::Task<bool> pause(std::chrono::milliseconds delay) {
        QPointer<QObject> guard = m_guard.get();
        if (delay.count() > 0) co_await QCoro::sleepFor(delay);
        co_return !guard.isNull();
    }

    // A context object for timers and connections that must end with the fake.
    QObject* guardObject() const { return m_guard.get(); }

private:
    std::unique_ptr<QObject> m_guard = std::make_unique<QObject>();
};
