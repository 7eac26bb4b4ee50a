#pragma once

#include "Platform/Wayland/WaylandFrontApp.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class WaylandConnection;

// Follows the active window through the compositor's list of windows
// (zwlr_foreign_toplevel_manager_v1, offered by wlroots compositors such as Sway): each window's
// app id, title and states, the active one being the window in front. The list names no process,
// so the record has no pid. Runs on a connection of its own; the handler runs on the main thread.
class ForeignToplevelTracker : public QObject {
    Q_OBJECT
public:
    // Called on the main thread whenever another window becomes active (nothing when none is),
    // or the active window's title or app id changes.
    using Handler = std::function<void(const std::optional<WaylandFrontApp>&)>;

    explicit ForeignToplevelTracker(QObject* parent = nullptr);
    ~ForeignToplevelTracker() override;

    // Follows the compositor at `socket` (empty: WAYLAND_DISPLAY). False when none answers or it
    // offers no list of windows. Blocking for a few round trips.
    bool start(Handler onChange, const QString& socket = {});
    void stop();
    // Following, and the compositor is still there.
    bool isRunning() const;

    // The active window as last seen; never waits on the compositor. Any thread.
    std::optional<WaylandFrontApp> latest() const;

private:
    struct Impl;
    void publish(const std::optional<WaylandFrontApp>& front);  // on the connection's thread

    Handler m_handler;
    std::shared_ptr<WaylandConnection> m_connection;
    std::unique_ptr<Impl> m_impl;  // lives on the connection's thread
    mutable std::mutex m_mutex;
    std::optional<WaylandFrontApp> m_latest;
};
