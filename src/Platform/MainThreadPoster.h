#pragma once

#include <QObject>

#include <deque>
#include <functional>
#include <mutex>

// Hands work from a listener thread to the poster's thread (the main thread), in order. The
// jobs travel through a std::mutex-guarded queue rather than inside Qt's event queue, so
// ThreadSanitizer sees the hand-over; jobs still pending when the poster dies are dropped.
class MainThreadPoster : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    void post(std::function<void()> job);  // any thread
    void discardPending();                 // poster's thread

private:
    Q_INVOKABLE void drain();

    std::mutex m_mutex;
    std::deque<std::function<void()>> m_jobs;
    bool m_scheduled = false;
};
