#include "Platform/Wayland/WaylandConnection.h"

#include "Foundation/Logger.h"
#include "Foundation/ThreadName.h"
#include "Platform/LogCategories.h"
#include "Platform/Wayland/WaylandConnectionGuard.h"

#include <wayland-client.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

int pollTimeout(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return int(std::clamp<long long>(left.count(), 0, 60'000));
}

// A write into a pipe whose reader is gone raises SIGPIPE at the writing thread. The connection's
// thread blocks it, so the write fails with EPIPE instead; this takes the signal off the thread's
// pending set again.
void discardPendingSigpipe() {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    const timespec now{0, 0};
    while (sigtimedwait(&pipe, nullptr, &now) == SIGPIPE) {}
}

}  // namespace

struct WaylandConnection::Writer {
    int fd = -1;
    QByteArray data;
    qsizetype written = 0;
    Clock::time_point deadline;

    enum class State { Pending, Done, Failed };
    State writeSome() {
        while (written < data.size()) {
            const ssize_t n = ::write(fd, data.constData() + written, size_t(data.size() - written));
            if (n > 0) {
                written += n;
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && errno == EAGAIN) {
                return State::Pending;
            } else {
                if (errno == EPIPE) discardPendingSigpipe();
                return State::Failed;
            }
        }
        return State::Done;
    }
    ~Writer() {
        if (fd >= 0) ::close(fd);
    }
};

WaylandConnection::WaylandConnection(QString threadName) : m_threadName(std::move(threadName)) {}

WaylandConnection::~WaylandConnection() { disconnect(); }

void WaylandConnection::onGlobal(void* data, wl_registry*, uint32_t name, const char* interface, uint32_t version) {
    auto* self = static_cast<WaylandConnection*>(data);
    std::lock_guard lock(self->m_globalsMutex);
    self->m_globals.push_back(Global{name, QByteArray(interface), version});
}

void WaylandConnection::onGlobalRemove(void* data, wl_registry*, uint32_t name) {
    auto* self = static_cast<WaylandConnection*>(data);
    std::lock_guard lock(self->m_globalsMutex);
    std::erase_if(self->m_globals, [name](const Global& g) { return g.name == name; });
}

bool WaylandConnection::connect(const QString& socket, std::function<void()> onLost) {
    if (m_running.load()) return true;
    const QByteArray name = socket.toLocal8Bit();
    m_display = wl_display_connect(name.isEmpty() ? nullptr : name.constData());
    if (!m_display) return false;
    static const wl_registry_listener listener = {
        .global = &WaylandConnection::onGlobal,
        .global_remove = &WaylandConnection::onGlobalRemove,
    };
    m_registry = wl_display_get_registry(m_display);
    wl_registry_add_listener(m_registry, &listener, this);
    m_broken = false;
    m_lost = false;
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0 || !roundtrip()) {
        disconnect();
        return false;
    }
    m_onLost = std::move(onLost);
    m_running = true;
    m_thread = std::thread([this] {
        m_threadId = std::this_thread::get_id();
        nameCurrentThread(m_threadName);
        run();
    });
    return true;
}

void WaylandConnection::disconnect() {
    if (m_thread.joinable()) {
        {
            std::lock_guard lock(m_jobsMutex);
            m_stopping = true;
        }
        const uint64_t one = 1;
        (void)!::write(m_wakeFd, &one, sizeof one);
        m_thread.join();
        m_threadId = std::thread::id{};
        m_stopping = false;
    }
    m_running = false;
    m_writers.clear();
    if (m_registry) {
        wl_registry_destroy(m_registry);
        m_registry = nullptr;
    }
    if (m_display) {
        wl_display_disconnect(m_display);
        m_display = nullptr;
    }
    if (m_wakeFd >= 0) {
        ::close(m_wakeFd);
        m_wakeFd = -1;
    }
    std::lock_guard lock(m_globalsMutex);
    m_globals.clear();
}

uint32_t WaylandConnection::offeredVersion(const char* interfaceName) const {
    std::lock_guard lock(m_globalsMutex);
    for (const Global& g : m_globals)
        if (g.interface == interfaceName) return g.version;
    return 0;
}

void* WaylandConnection::bind(const wl_interface* interface, uint32_t version) {
    if (!m_registry || m_broken.load()) return nullptr;
    uint32_t name = 0;
    uint32_t offered = 0;
    {
        std::lock_guard lock(m_globalsMutex);
        for (const Global& g : m_globals) {
            if (g.interface == interface->name) {
                name = g.name;
                offered = g.version;
                break;
            }
        }
    }
    if (offered == 0) return nullptr;
    return wl_registry_bind(m_registry, name, interface, std::min(version, offered));
}

bool WaylandConnection::flush() {
    if (!m_display || m_broken.load()) return false;
    const auto deadline = Clock::now() + kRoundtripTimeout;
    while (wl_display_flush(m_display) < 0) {
        if (errno != EAGAIN) {
            noteBroken("flush");
            return false;
        }
        // The socket is full: the compositor is slow to read. Wait for room, within bounds.
        pollfd fd{wl_display_get_fd(m_display), POLLOUT, 0};
        if (Clock::now() >= deadline || poll(&fd, 1, pollTimeout(deadline)) < 0) return false;
    }
    return true;
}

bool WaylandConnection::roundtrip(std::chrono::milliseconds timeout) {
    if (!m_display || m_broken.load()) return false;
    bool done = false;
    static const wl_callback_listener listener = {
        .done = [](void* data, wl_callback*, uint32_t) { *static_cast<bool*>(data) = true; },
    };
    wl_callback* callback = wl_display_sync(m_display);
    wl_callback_add_listener(callback, &listener, &done);
    const auto deadline = Clock::now() + timeout;
    while (!done && !m_broken.load()) {
        if (wl_display_dispatch_pending(m_display) < 0) {
            noteBroken("dispatch");
            break;
        }
        if (done || !flush()) break;
        if (wl_display_prepare_read(m_display) != 0) continue;  // events arrived meanwhile
        if (Clock::now() >= deadline) {
            wl_display_cancel_read(m_display);
            break;
        }
        pollfd fd{wl_display_get_fd(m_display), POLLIN, 0};
        if (poll(&fd, 1, pollTimeout(deadline)) > 0) {
            if (wl_display_read_events(m_display) < 0) noteBroken("read");
        } else {
            wl_display_cancel_read(m_display);
        }
    }
    // A late answer to a destroyed callback is dropped by libwayland.
    wl_callback_destroy(callback);
    return done;
}

void WaylandConnection::writeInBackground(int fd, QByteArray data, std::chrono::milliseconds timeout) {
    if (!isConnectionThread() && m_running.load()) {
        post(
            [this, fd, data = std::move(data), timeout]() mutable { writeInBackground(fd, std::move(data), timeout); });
        return;
    }
    auto writer = std::make_unique<Writer>();
    writer->fd = fd;
    writer->data = std::move(data);
    writer->deadline = Clock::now() + timeout;
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    // Most contents fit in the pipe at once; only the rest waits for the loop.
    if (writer->writeSome() == Writer::State::Pending && m_running.load()) m_writers.push_back(std::move(writer));
}

void WaylandConnection::post(std::function<void()> job) {
    {
        std::lock_guard lock(m_jobsMutex);
        m_jobs.push_back(std::move(job));
    }
    const uint64_t one = 1;
    (void)!::write(m_wakeFd, &one, sizeof one);
}

void WaylandConnection::noteBroken(const char* during) {
    if (m_broken.exchange(true)) return;
    const int error = m_display ? wl_display_get_error(m_display) : 0;
    if (error == EPROTO) {
        const wl_interface* interface = nullptr;
        uint32_t id = 0;
        const uint32_t code = wl_display_get_protocol_error(m_display, &interface, &id);
        VLOG_WARNING(lcWayland) << m_threadName << ": The compositor ended the connection over a protocol error ("
                                << (interface ? interface->name : "unknown interface") << ", error " << code << ")";
        return;
    }
    if (!m_running.load()) return;  // still connecting: that is a failed connect, not a loss
    m_lost = true;
    VLOG_INFO(lcWayland) << m_threadName << ": The compositor closed the connection (" << during << ": "
                         << std::strerror(error ? error : EPIPE) << ")";
    WaylandConnectionGuard::reportConnectionLost(qPrintable(m_threadName));
    if (m_onLost) m_onLost();
}

void WaylandConnection::serviceWriters(const std::vector<short>& revents) {
    const auto now = Clock::now();
    for (size_t i = 0; i < m_writers.size(); ++i) {
        Writer& w = *m_writers[i];
        auto state = Writer::State::Pending;
        if (i < revents.size() && (revents[i] & (POLLOUT | POLLERR | POLLHUP))) state = w.writeSome();
        if (state == Writer::State::Pending && now >= w.deadline) state = Writer::State::Failed;
        if (state != Writer::State::Pending) m_writers[i].reset();
    }
    std::erase(m_writers, nullptr);
}

void WaylandConnection::run() {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    const int displayFd = wl_display_get_fd(m_display);
    std::vector<pollfd> fds;
    std::vector<short> writerEvents;
    for (;;) {
        std::deque<std::function<void()>> jobs;
        bool stopping = false;
        {
            std::lock_guard lock(m_jobsMutex);
            jobs.swap(m_jobs);
            stopping = m_stopping;
        }
        for (auto& job : jobs) job();
        if (stopping) break;

        // The read protocol of a multi-threaded client: announce the read, then poll, then read or cancel.
        bool reading = false;
        short displayEvents = POLLIN;
        if (!m_broken.load()) {
            while (!m_broken.load() && wl_display_prepare_read(m_display) != 0)
                if (wl_display_dispatch_pending(m_display) < 0) noteBroken("dispatch");
            reading = !m_broken.load();
            if (reading && wl_display_flush(m_display) < 0) {
                if (errno == EAGAIN) {
                    displayEvents |= POLLOUT;
                } else {
                    wl_display_cancel_read(m_display);
                    reading = false;
                    noteBroken("flush");
                }
            }
        }

        fds.clear();
        fds.push_back({m_wakeFd, POLLIN, 0});
        if (reading) fds.push_back({displayFd, displayEvents, 0});
        const size_t firstWriter = fds.size();
        auto wake = Clock::time_point::max();
        for (const auto& w : m_writers) {
            fds.push_back({w->fd, POLLOUT, 0});
            wake = std::min(wake, w->deadline);
        }
        const int timeout = m_writers.empty() ? -1 : pollTimeout(wake);
        if (poll(fds.data(), nfds_t(fds.size()), timeout) < 0) {
            if (reading) wl_display_cancel_read(m_display);
            continue;
        }
        if (fds[0].revents & POLLIN) {
            uint64_t value = 0;
            (void)!::read(m_wakeFd, &value, sizeof value);
        }
        if (reading) {
            // A closed or broken socket reads as an error here: that is how a compositor that
            // went away shows, and the descriptor is not polled again.
            if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
                if (wl_display_read_events(m_display) < 0) noteBroken("read");
            } else {
                wl_display_cancel_read(m_display);
            }
            if (!m_broken.load() && wl_display_dispatch_pending(m_display) < 0) noteBroken("dispatch");
        }
        writerEvents.clear();
        for (size_t i = firstWriter; i < fds.size(); ++i) writerEvents.push_back(fds[i].revents);
        serviceWriters(writerEvents);
    }
    m_writers.clear();
}
