#include "Platform/X11/XcbWorker.h"

#include "Foundation/ThreadName.h"
#include "Platform/X11/X11ConnectionGuard.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

XcbWorker::XcbWorker(QString threadName) : m_threadName(std::move(threadName)) {}

XcbWorker::~XcbWorker() { stopWorker(); }

bool XcbWorker::startWorker() {
    if (m_thread.joinable()) return true;
    int screenNumber = 0;
    xcb_connection_t* c = xcb_connect(nullptr, &screenNumber);
    if (!c || xcb_connection_has_error(c)) {
        if (c) xcb_disconnect(c);
        return false;
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber && it.rem; ++i) xcb_screen_next(&it);
    if (!it.rem) {
        xcb_disconnect(c);
        return false;
    }
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0) {
        xcb_disconnect(c);
        return false;
    }
    m_connection = c;
    m_screen = it.data;
    m_root = it.data->root;
    onConnected();
    xcb_flush(c);
    m_thread = std::thread([this] {
        m_threadId = std::this_thread::get_id();
        nameCurrentThread(m_threadName);
        run();
    });
    return true;
}

void XcbWorker::stopWorker() {
    if (m_thread.joinable()) {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        const uint64_t one = 1;
        (void)!write(m_wakeFd, &one, sizeof one);
        m_thread.join();
        m_threadId = std::thread::id{};
        m_stopping = false;
    }
    if (m_connection) {
        xcb_disconnect(m_connection);
        m_connection = nullptr;
    }
    if (m_wakeFd >= 0) {
        close(m_wakeFd);
        m_wakeFd = -1;
    }
}

bool XcbWorker::isWorkerThread() const { return std::this_thread::get_id() == m_threadId.load(); }

void XcbWorker::post(std::function<void()> job) {
    {
        std::lock_guard lock(m_mutex);
        m_jobs.push_back(std::move(job));
    }
    const uint64_t one = 1;
    (void)!write(m_wakeFd, &one, sizeof one);
}

void XcbWorker::dispatchPending() {
    while (const XcbOwned<xcb_generic_event_t> ev = xcbOwned(xcb_poll_for_event(m_connection))) handleEvent(ev.get());
}

void XcbWorker::run() {
    pollfd fds[2] = {{xcb_get_file_descriptor(m_connection), POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
    for (;;) {
        std::deque<std::function<void()>> jobs;
        bool stopping = false;
        {
            std::lock_guard lock(m_mutex);
            jobs.swap(m_jobs);
            stopping = m_stopping;
        }
        for (auto& job : jobs) job();
        if (stopping) break;
        dispatchPending();
        xcb_flush(m_connection);
        // The loop ends only when asked to: callers wait on it for their jobs.
        if (poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents & POLLIN) {
            uint64_t value = 0;
            (void)!read(m_wakeFd, &value, sizeof value);
        }
        // A broken connection reports hang-up for ever, whatever it is polled for: stop watching
        // it, or this loop spins at full speed. Jobs are still served; they fail at once.
        if (fds[0].fd >= 0 && xcb_connection_has_error(m_connection)) {
            fds[0].fd = -1;
            X11ConnectionGuard::reportConnectionLost(qPrintable(m_threadName));
        }
    }
}

XcbOwned<xcb_generic_event_t> XcbWorker::waitForEvent(const std::function<bool(xcb_generic_event_t*)>& match,
                                                      std::chrono::steady_clock::time_point deadline) {
    xcb_flush(m_connection);
    for (;;) {
        while (XcbOwned<xcb_generic_event_t> ev = xcbOwned(xcb_poll_for_event(m_connection))) {
            if (match(ev.get())) return ev;
            handleEvent(ev.get());
        }
        if (xcb_connection_has_error(m_connection)) return nullptr;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return nullptr;
        pollfd fd{xcb_get_file_descriptor(m_connection), POLLIN, 0};
        poll(&fd, 1, int(std::min<long long>(left.count(), 1000)) + 1);
    }
}

xcb_atom_t XcbWorker::atom(const char* name) {
    auto it = m_atoms.find(name);
    if (it != m_atoms.end()) return it->second;
    const auto reply =
        xcbOwned(xcb_intern_atom_reply(m_connection, xcb_intern_atom(m_connection, 0, strlen(name), name), nullptr));
    const xcb_atom_t a = reply ? xcb_atom_t(reply->atom) : xcb_atom_t(XCB_ATOM_NONE);
    if (a != XCB_ATOM_NONE) {
        m_atoms.emplace(name, a);
        m_atomNames.emplace(a, QByteArray(name));
    }
    return a;
}

QByteArray XcbWorker::atomName(xcb_atom_t a) {
    auto it = m_atomNames.find(a);
    if (it != m_atomNames.end()) return it->second;
    const auto reply = xcbOwned(xcb_get_atom_name_reply(m_connection, xcb_get_atom_name(m_connection, a), nullptr));
    QByteArray name;
    if (reply) name = QByteArray(xcb_get_atom_name_name(reply.get()), xcb_get_atom_name_name_length(reply.get()));
    if (!name.isEmpty()) {
        m_atomNames.emplace(a, name);
        m_atoms.emplace(name.toStdString(), a);
    }
    return name;
}
