#pragma once

#include "Platform/X11/XcbOwned.h"

#include <QByteArray>
#include <QString>

#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

// An X connection served by a thread of its own. Subclasses react to events there and run
// requests there through call(), so the main thread never waits on the X server or on another
// application.
class XcbWorker {
public:
    explicit XcbWorker(QString threadName);
    virtual ~XcbWorker();
    XcbWorker(const XcbWorker&) = delete;
    XcbWorker& operator=(const XcbWorker&) = delete;

    bool isConnected() const { return m_connection != nullptr; }

    // Runs `fn` on the worker thread and returns its result; runs inline on the worker itself.
    template <typename F>
    auto call(F&& fn) -> decltype(fn()) {
        using R = decltype(fn());
        if (isWorkerThread()) return fn();
        auto task = std::make_shared<std::packaged_task<R()>>(std::forward<F>(fn));
        auto result = task->get_future();
        post([task] { (*task)(); });
        return result.get();
    }

protected:
    // Connects and starts the thread; false without a display. onConnected() runs first, on
    // the calling thread, before the worker exists.
    bool startWorker();
    // Ends and joins the thread and closes the connection. Subclasses call it in their destructor.
    void stopWorker();

    virtual void onConnected() {}
    virtual void handleEvent(xcb_generic_event_t* event) = 0;

    // Inside a job: reads events, handing the others to handleEvent(), until `match` accepts one
    // (returned) or the deadline passes (none).
    XcbOwned<xcb_generic_event_t> waitForEvent(const std::function<bool(xcb_generic_event_t*)>& match,
                                               std::chrono::steady_clock::time_point deadline);
    // Hands every event already queued to handleEvent().
    void dispatchPending();

    xcb_atom_t atom(const char* name);  // interned once, worker thread (or before start)
    QByteArray atomName(xcb_atom_t atom);
    bool isWorkerThread() const;

    xcb_connection_t* m_connection = nullptr;
    xcb_screen_t* m_screen = nullptr;
    xcb_window_t m_root = 0;

private:
    void post(std::function<void()> job);
    void run();

    QString m_threadName;
    std::thread m_thread;
    std::atomic<std::thread::id> m_threadId{};
    int m_wakeFd = -1;
    std::mutex m_mutex;
    std::deque<std::function<void()>> m_jobs;
    bool m_stopping = false;
    std::unordered_map<std::string, xcb_atom_t> m_atoms;
    std::unordered_map<xcb_atom_t, QByteArray> m_atomNames;
};
