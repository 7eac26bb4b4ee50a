#pragma once

#include "Platform/Linux/XcbWorker.h"

#include <QString>

#include <functional>
#include <mutex>
#include <optional>

struct ActiveWindowInfo {
    uint32_t window = 0;
    int32_t pid = 0;       // 0 when unknown
    QString appId;         // the identifier (see AppIdentity)
    QString appName;       // empty when neither a desktop entry nor WM_CLASS names it
    QString title;         // the window title (_NET_WM_NAME or WM_NAME)
};

// Follows the window manager's _NET_ACTIVE_WINDOW on the root window from a thread of its own
// and describes the active window's application: process id from X-Resource (else _NET_WM_PID),
// identifier from Flatpak, the desktop-file id, _GTK_APPLICATION_ID or WM_CLASS.
class X11ActiveWindowTracker : private XcbWorker {
public:
    // Called on the tracker's thread whenever another window becomes active, or the active
    // window's title changes.
    using Handler = std::function<void(const ActiveWindowInfo&)>;

    X11ActiveWindowTracker();
    ~X11ActiveWindowTracker() override;

    bool start(Handler handler);  // false without an X display; resolves the active window first
    void stop();
    bool isRunning() const { return isConnected(); }

    // The last description seen by the tracker; never waits on the X server.
    std::optional<ActiveWindowInfo> latest() const;
    // Asks the X server now; blocks the caller for a few round trips (call off the main thread).
    std::optional<ActiveWindowInfo> queryNow();

private:
    void onConnected() override;
    void handleEvent(xcb_generic_event_t* event) override;
    std::optional<ActiveWindowInfo> resolve();
    void refresh(bool notify);
    QByteArray property(xcb_window_t window, xcb_atom_t prop, xcb_atom_t type, uint32_t maxBytes = 4096);
    int32_t windowPid(xcb_window_t window);

    Handler m_handler;
    xcb_window_t m_watched = 0;
    mutable std::mutex m_mutex;
    std::optional<ActiveWindowInfo> m_latest;
};
