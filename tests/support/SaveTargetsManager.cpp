#include "support/SaveTargetsManager.h"

#include <cstring>

using namespace std::chrono_literals;

SaveTargetsManager::SaveTargetsManager() {
    m_conn = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(m_conn)) return;
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(m_conn)).data;
    m_window = xcb_generate_id(m_conn);
    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(m_conn, XCB_COPY_FROM_PARENT, m_window, screen->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
    xcb_set_selection_owner(m_conn, m_window, atom("CLIPBOARD_MANAGER"), XCB_CURRENT_TIME);
    xcb_flush(m_conn);
    m_thread = std::thread([this] { run(); });
}

SaveTargetsManager::~SaveTargetsManager() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    xcb_disconnect(m_conn);
}

xcb_atom_t SaveTargetsManager::atom(const char* name) {
    const auto r = xcbOwned(xcb_intern_atom_reply(m_conn, xcb_intern_atom(m_conn, 0, strlen(name), name), nullptr));
    return r ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
}

XcbOwned<xcb_generic_event_t> SaveTargetsManager::next(uint8_t type, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline && !m_stop) {
        if (auto ev = xcbOwned(xcb_poll_for_event(m_conn))) {
            if ((ev->response_type & 0x7f) == type) return ev;
            if ((ev->response_type & 0x7f) == XCB_SELECTION_REQUEST) serve(ev.get());
            continue;
        }
        std::this_thread::sleep_for(2ms);
    }
    return nullptr;
}

QByteArray SaveTargetsManager::readProperty(xcb_window_t window, xcb_atom_t property, xcb_atom_t* type) {
    const auto r = xcbOwned(xcb_get_property_reply(
        m_conn, xcb_get_property(m_conn, 1, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 1 << 20), nullptr));
    QByteArray data;
    if (r) {
        data = QByteArray(static_cast<const char*>(xcb_get_property_value(r.get())),
                          xcb_get_property_value_length(r.get()));
        if (type) *type = r->type;
    }
    return data;
}

void SaveTargetsManager::serve(xcb_generic_event_t* ev) {
    auto* req = reinterpret_cast<xcb_selection_request_event_t*>(ev);
    xcb_selection_notify_event_t reply{};
    reply.response_type = XCB_SELECTION_NOTIFY;
    reply.requestor = req->requestor;
    reply.selection = req->selection;
    reply.target = req->target;
    reply.time = req->time;
    if (req->selection == atom("CLIPBOARD_MANAGER") && req->target == atom("SAVE_TARGETS")) {
        save(req);
        reply.property = req->property;
    } else if (req->selection == atom("CLIPBOARD") && m_copies.count(req->target)) {
        const auto& [type, data] = m_copies.at(req->target);
        xcb_change_property(m_conn, XCB_PROP_MODE_REPLACE, req->requestor, req->property, type, 8, data.size(),
                            data.constData());
        reply.property = req->property;
    }
    xcb_send_event(m_conn, 0, req->requestor, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&reply));
    xcb_flush(m_conn);
}

void SaveTargetsManager::save(const xcb_selection_request_event_t* req) {
    const QByteArray list = readProperty(req->requestor, req->property, nullptr);
    const auto* targets = reinterpret_cast<const xcb_atom_t*>(list.constData());
    const xcb_atom_t slot = atom("SAVED");
    for (qsizetype i = 0; i < list.size() / 4; ++i) {
        xcb_convert_selection(m_conn, m_window, atom("CLIPBOARD"), targets[i], slot, XCB_CURRENT_TIME);
        xcb_flush(m_conn);
        const auto notify = next(XCB_SELECTION_NOTIFY, 2s);
        if (!notify) continue;
        if (reinterpret_cast<const xcb_selection_notify_event_t*>(notify.get())->property != XCB_NONE) {
            xcb_atom_t type = XCB_ATOM_NONE;
            const QByteArray data = readProperty(m_window, slot, &type);
            m_copies[targets[i]] = {type, data};
        }
    }
    xcb_set_selection_owner(m_conn, m_window, atom("CLIPBOARD"), XCB_CURRENT_TIME);
    ++m_saves;
}

void SaveTargetsManager::run() {
    while (!m_stop) {
        if (const auto ev = next(XCB_SELECTION_REQUEST, 50ms)) serve(ev.get());
    }
}
