#include "Platform/X11/PrimarySelectionReader.h"

#include "Platform/X11/XcbOwned.h"

#include <QElapsedTimer>

#include <xcb/res.h>
#include <xcb/xcb.h>

#include <cstring>

#include <poll.h>

namespace {

constexpr uint32_t kMaxSelectionBytes = 1u << 20;

struct Connection {
    xcb_connection_t* conn = nullptr;
    xcb_screen_t* screen = nullptr;
    ~Connection() {
        if (conn) xcb_disconnect(conn);
    }
    bool open() {
        int screenNumber = 0;
        conn = xcb_connect(nullptr, &screenNumber);
        if (!conn || xcb_connection_has_error(conn)) return false;
        auto it = xcb_setup_roots_iterator(xcb_get_setup(conn));
        for (int i = 0; i < screenNumber && it.rem; ++i) xcb_screen_next(&it);
        screen = it.rem ? it.data : nullptr;
        return screen != nullptr;
    }
};

xcb_atom_t internAtom(xcb_connection_t* conn, const char* name) {
    auto cookie = xcb_intern_atom(conn, 0, uint16_t(std::strlen(name)), name);
    const auto reply = xcbOwned(xcb_intern_atom_reply(conn, cookie, nullptr));
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

std::optional<qint64> pidOfClient(xcb_connection_t* conn, xcb_window_t window) {
    xcb_res_client_id_spec_t spec{window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
    auto cookie = xcb_res_query_client_ids(conn, 1, &spec);
    const auto reply = xcbOwned(xcb_res_query_client_ids_reply(conn, cookie, nullptr));
    if (!reply) return std::nullopt;
    for (auto it = xcb_res_query_client_ids_ids_iterator(reply.get()); it.rem; xcb_res_client_id_value_next(&it)) {
        if ((it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) &&
            xcb_res_client_id_value_value_length(it.data) >= 1)
            return qint64(*xcb_res_client_id_value_value(it.data));
    }
    return std::nullopt;
}

std::optional<qint64> ownerPidOn(xcb_connection_t* conn, xcb_window_t* ownerOut) {
    auto cookie = xcb_get_selection_owner(conn, XCB_ATOM_PRIMARY);
    const auto reply = xcbOwned(xcb_get_selection_owner_reply(conn, cookie, nullptr));
    if (!reply || reply->owner == XCB_WINDOW_NONE) return std::nullopt;
    if (ownerOut) *ownerOut = reply->owner;
    return pidOfClient(conn, reply->owner);
}

// Waits for the SelectionNotify answering our request; false on timeout or a dead connection.
bool waitForNotify(xcb_connection_t* conn, xcb_window_t window, const QElapsedTimer& clock,
                   std::chrono::milliseconds timeout, xcb_atom_t* property) {
    const int fd = xcb_get_file_descriptor(conn);
    while (true) {
        while (const auto event = xcbOwned(xcb_poll_for_event(conn))) {
            if ((event->response_type & 0x7f) != XCB_SELECTION_NOTIFY) continue;
            const auto* notify = reinterpret_cast<const xcb_selection_notify_event_t*>(event.get());
            if (notify->requestor == window) {
                *property = notify->property;
                return true;
            }
        }
        if (xcb_connection_has_error(conn)) return false;
        const qint64 left = timeout.count() - clock.elapsed();
        if (left <= 0) return false;
        pollfd pfd{fd, POLLIN, 0};
        ::poll(&pfd, 1, int(left));
    }
}

std::optional<QString> convert(xcb_connection_t* conn, xcb_window_t window, xcb_atom_t target, xcb_atom_t property,
                               xcb_atom_t incr, const QElapsedTimer& clock, std::chrono::milliseconds timeout) {
    xcb_convert_selection(conn, window, XCB_ATOM_PRIMARY, target, property, XCB_CURRENT_TIME);
    xcb_flush(conn);
    xcb_atom_t answered = XCB_ATOM_NONE;
    if (!waitForNotify(conn, window, clock, timeout, &answered) || answered == XCB_ATOM_NONE) return std::nullopt;
    auto cookie = xcb_get_property(conn, 1, window, answered, XCB_GET_PROPERTY_TYPE_ANY, 0, kMaxSelectionBytes / 4);
    const auto reply = xcbOwned(xcb_get_property_reply(conn, cookie, nullptr));
    if (!reply || reply->type == incr || reply->bytes_after > 0 || reply->format != 8)
        return std::nullopt;  // missing, chunked (too large) or not text
    const auto* data = static_cast<const char*>(xcb_get_property_value(reply.get()));
    const int length = xcb_get_property_value_length(reply.get());
    if (target == XCB_ATOM_STRING) return QString::fromLatin1(data, length);
    return QString::fromUtf8(data, length);
}

}  // namespace

std::optional<qint64> PrimarySelectionReader::ownerPid() {
    Connection c;
    if (!c.open()) return std::nullopt;
    return ownerPidOn(c.conn, nullptr);
}

std::optional<QString> PrimarySelectionReader::read(qint64 ownerPid, std::chrono::milliseconds timeout) {
    Connection c;
    if (!c.open()) return std::nullopt;
    xcb_window_t owner = XCB_WINDOW_NONE;
    const auto pid = ownerPidOn(c.conn, &owner);
    if (owner == XCB_WINDOW_NONE) return std::nullopt;
    // Someone else's selection is not the target's: never hand it on, and without a known
    // target (or a known owner) there is nothing to compare, so nothing is read either.
    if (ownerPid <= 0 || !pid || *pid != ownerPid) return std::nullopt;

    QElapsedTimer clock;
    clock.start();
    const xcb_window_t window = xcb_generate_id(c.conn);
    const uint32_t mask = XCB_CW_EVENT_MASK;
    const uint32_t values[] = {XCB_EVENT_MASK_PROPERTY_CHANGE};
    xcb_create_window(c.conn, XCB_COPY_FROM_PARENT, window, c.screen->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, mask, values);
    const xcb_atom_t utf8 = internAtom(c.conn, "UTF8_STRING");
    const xcb_atom_t property = internAtom(c.conn, "VANTROSE_PRIMARY");
    const xcb_atom_t incr = internAtom(c.conn, "INCR");
    std::optional<QString> text;
    if (utf8 != XCB_ATOM_NONE) text = convert(c.conn, window, utf8, property, incr, clock, timeout);
    if (!text) text = convert(c.conn, window, XCB_ATOM_STRING, property, incr, clock, timeout);
    xcb_destroy_window(c.conn, window);
    xcb_flush(c.conn);
    return text;
}
