#pragma once

#include "Platform/DesktopBackend.h"
#include "Platform/X11/XcbWorker.h"

#include <QString>

#include <functional>
#include <mutex>
#include <optional>

// Follows the window manager's _NET_ACTIVE_WINDOW on the root window from a thread of its own
// and describes the active window's application: process id from X-Resource (else _NET_WM_PID),
// identifier from Flatpak, the desktop-file id, _GTK_APPLICATION_ID or WM_CLASS.
class X11ActiveWindowTracker : public AbstractWindowTracker, private XcbWorker {
public:
    // Window properties are read up to this many bytes: titles, WM_CLASS and application ids are
    // a few dozen bytes on a real desktop, and a client that sets megabytes should not make every
    // focus change copy them. A longer title is cut at a character boundary.
    static constexpr uint32_t maxPropertyBytes = 4096;

    X11ActiveWindowTracker();
    ~X11ActiveWindowTracker() override;

    bool start(Handler handler) override;  // false without an X display; resolves the active window first
    void stop() override;
    bool isRunning() const { return isConnected(); }

    // The last description seen by the tracker; never waits on the X server.
    std::optional<ActiveWindowInfo> latest() const override;
    // Asks the X server now; blocks the caller for a few round trips (call off the main thread).
    std::optional<ActiveWindowInfo> queryNow() override;

private:
    void onConnected() override;
    void handleEvent(xcb_generic_event_t* event) override;
    std::optional<ActiveWindowInfo> resolve();
    void refresh(bool notify);
    QByteArray property(xcb_window_t window, xcb_atom_t prop, xcb_atom_t type, uint32_t maxBytes = maxPropertyBytes);
    int32_t windowPid(xcb_window_t window);

    Handler m_handler;
    xcb_window_t m_watched = 0;
    mutable std::mutex m_mutex;
    std::optional<ActiveWindowInfo> m_latest;
};
