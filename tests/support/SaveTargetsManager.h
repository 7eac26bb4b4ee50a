#pragma once

#include "Platform/X11/XcbOwned.h"

#include <QByteArray>

#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>

// A clipboard manager that does nothing but the ICCCM hand-off: asked for SAVE_TARGETS, it copies
// the listed targets from the CLIPBOARD owner, takes CLIPBOARD and serves the copies. (Managers
// that also copy every clipboard on their own would hide whether the owner hands over.) Runs on a
// thread of its own from construction to destruction.
class SaveTargetsManager {
public:
    SaveTargetsManager();
    ~SaveTargetsManager();
    SaveTargetsManager(const SaveTargetsManager&) = delete;
    SaveTargetsManager& operator=(const SaveTargetsManager&) = delete;

    int saves() const { return m_saves; }

private:
    xcb_atom_t atom(const char* name);
    XcbOwned<xcb_generic_event_t> next(uint8_t type, std::chrono::milliseconds timeout);
    QByteArray readProperty(xcb_window_t window, xcb_atom_t property, xcb_atom_t* type);
    void serve(xcb_generic_event_t* ev);
    void save(const xcb_selection_request_event_t* req);
    void run();

    xcb_connection_t* m_conn = nullptr;
    xcb_window_t m_window = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_saves{0};
    std::map<xcb_atom_t, std::pair<xcb_atom_t, QByteArray>> m_copies;  // the manager's thread only
    std::thread m_thread;
};
