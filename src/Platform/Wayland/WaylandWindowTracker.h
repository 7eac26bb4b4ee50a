#pragma once

#include "Platform/DesktopBackend.h"
#include "Platform/Wayland/WaylandFrontApp.h"

#include <QString>

#include <memory>
#include <mutex>
#include <optional>

class AtspiFocusTracker;
class ForeignToplevelTracker;

// The application in front on a Wayland session, from three sources, best first: the
// accessibility bus's focus events (they name the process), the compositor's list of windows
// (where it offers one; no process), and the X11 window manager through XWayland (X11 windows
// only). The source that heard of a change last is the one in front; a window from the
// compositor's list takes the process of the focus event that named the same application. The
// handler runs on the main thread.
class WaylandWindowTracker final : public AbstractWindowTracker {
public:
    // `socket`: the compositor's (empty: WAYLAND_DISPLAY).
    explicit WaylandWindowTracker(QString socket = {});
    ~WaylandWindowTracker() override;

    bool start(Handler handler) override;
    void stop() override;
    std::optional<ActiveWindowInfo> latest() const override;
    std::optional<ActiveWindowInfo> queryNow() override { return latest(); }

    // Which sources follow the front (for the log and the tests): "accessibility",
    // "compositor", "XWayland".
    QStringList sources() const;

    // The application in front as last seen by any tracker of this process; the paste asks it
    // whether the front is a terminal. Any thread.
    static std::optional<WaylandFrontApp> latestFront();

private:
    enum Source { accessibility, compositor, xwayland, sourceCount };
    void heard(Source source, const std::optional<ActiveWindowInfo>& window);  // any thread

    QString m_socket;
    Handler m_handler;
    std::unique_ptr<AtspiFocusTracker> m_atspi;
    std::unique_ptr<ForeignToplevelTracker> m_toplevels;
    std::unique_ptr<AbstractWindowTracker> m_x11;

    mutable std::mutex m_mutex;
    std::optional<ActiveWindowInfo> m_seen[sourceCount];
    uint64_t m_heardAt[sourceCount] = {};
    uint64_t m_counter = 0;
};
