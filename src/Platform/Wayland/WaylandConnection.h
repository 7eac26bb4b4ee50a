#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

struct wl_display;
struct wl_interface;
struct wl_registry;

// One connection to the Wayland compositor, served by a thread of its own: events are read and
// handled there, and the components built on it run their requests there through call(), so no
// other thread ever waits on the compositor or on another client.
//
// The thread notices when the compositor goes away (the socket closes or breaks): the connection
// is marked lost, WaylandConnectionGuard hears of it, and every later call returns at once
// (requests on a dead connection are dropped, round trips fail). A protocol error of ours also
// ends the connection, but the compositor is still there: that is logged, not reported as lost.
class WaylandConnection {
public:
    // How long a round trip may take before the compositor counts as not answering.
    static constexpr std::chrono::milliseconds kRoundtripTimeout{2000};

    explicit WaylandConnection(QString threadName);
    ~WaylandConnection();
    WaylandConnection(const WaylandConnection&) = delete;
    WaylandConnection& operator=(const WaylandConnection&) = delete;

    // Connects to the compositor at `socket` (a name in XDG_RUNTIME_DIR or an absolute path;
    // empty: WAYLAND_DISPLAY), learns its globals and starts the thread. False when none answers.
    // `onLost` runs once, on the connection's thread, when the compositor goes away.
    bool connect(const QString& socket = {}, std::function<void()> onLost = {});
    // Ends and joins the thread and closes the connection; harmless when not connected.
    void disconnect();

    // Connected, and the connection still works.
    bool isConnected() const { return m_running.load() && !m_broken.load(); }
    // The compositor went away while we were connected.
    bool compositorLost() const { return m_lost.load(); }

    // The version at which the compositor offers the global `interfaceName`; 0 when it does not.
    uint32_t offeredVersion(const char* interfaceName) const;

    // Runs `fn` on the connection's thread and returns its result; inline on that thread itself,
    // and inline when the thread is not running (then `fn` finds no display).
    template <typename F>
    auto call(F&& fn) -> decltype(fn()) {
        using R = decltype(fn());
        if (isConnectionThread() || !m_running.load()) return fn();
        auto task = std::make_shared<std::packaged_task<R()>>(std::forward<F>(fn));
        auto result = task->get_future();
        post([task] { (*task)(); });
        return result.get();
    }

    // --- On the connection's thread only (inside call() or an event handler).

    wl_display* display() const { return m_display; }
    // Binds the first global named like `interface` at the lower of `version` and the offered
    // version; nullptr when the compositor does not offer it. The caller owns the proxy.
    void* bind(const wl_interface* interface, uint32_t version);
    // Sends what is queued and waits until the compositor has handled it, handling the events
    // that arrive meanwhile. False when the connection broke or the compositor did not answer
    // within `timeout`.
    bool roundtrip(std::chrono::milliseconds timeout = kRoundtripTimeout);
    // Sends what is queued; false when the connection broke.
    bool flush();
    // Writes `data` into `fd` (which it takes over) from the thread's loop, never blocking it: the
    // descriptor is closed once everything is written, when the reader goes away or after `timeout`.
    void writeInBackground(int fd, QByteArray data, std::chrono::milliseconds timeout);

private:
    struct Global {
        uint32_t name = 0;
        QByteArray interface;
        uint32_t version = 0;
    };
    struct Writer;

    static void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version);
    static void onGlobalRemove(void* data, wl_registry* registry, uint32_t name);

    bool isConnectionThread() const { return std::this_thread::get_id() == m_threadId.load(); }
    void post(std::function<void()> job);
    void run();
    // After a failed read, dispatch or flush: why the connection ended, reported once.
    void noteBroken(const char* during);
    // One pass over the background writes: writes what the pipes take, drops finished ones.
    void serviceWriters(const std::vector<short>& revents);

    QString m_threadName;
    wl_display* m_display = nullptr;
    wl_registry* m_registry = nullptr;
    std::function<void()> m_onLost;

    mutable std::mutex m_globalsMutex;
    std::vector<Global> m_globals;

    std::thread m_thread;
    std::atomic<std::thread::id> m_threadId{};
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_broken{false};
    std::atomic<bool> m_lost{false};
    int m_wakeFd = -1;
    std::mutex m_jobsMutex;
    std::deque<std::function<void()>> m_jobs;
    bool m_stopping = false;
    std::vector<std::unique_ptr<Writer>> m_writers;  // the thread's own
};
