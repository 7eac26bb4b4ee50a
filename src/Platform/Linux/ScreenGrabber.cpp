#include "Platform/Linux/ScreenGrabber.h"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

struct Display {
    xcb_connection_t* conn = nullptr;
    xcb_screen_t* screen = nullptr;
    ~Display() {
        if (conn)
            xcb_disconnect(conn);
    }
    bool open(QString* error) {
        int screenNumber = 0;
        conn = xcb_connect(nullptr, &screenNumber);
        if (!conn || xcb_connection_has_error(conn)) {
            if (error)
                *error = QStringLiteral("No X11 display");
            return false;
        }
        auto it = xcb_setup_roots_iterator(xcb_get_setup(conn));
        for (int i = 0; i < screenNumber && it.rem; ++i)
            xcb_screen_next(&it);
        screen = it.rem ? it.data : nullptr;
        if (!screen && error)
            *error = QStringLiteral("Missing screen number");
        return screen != nullptr;
    }
};

int bitsPerPixelForDepth(xcb_connection_t* conn, uint8_t depth) {
    const xcb_setup_t* setup = xcb_get_setup(conn);
    for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem; xcb_format_next(&it))
        if (it.data->depth == depth)
            return it.data->bits_per_pixel;
    return 0;
}

std::optional<QImage> grab(const Display& d, QRect area, QString* error) {
    const int bpp = bitsPerPixelForDepth(d.conn, d.screen->root_depth);
    const bool littleEndian = xcb_get_setup(d.conn)->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;
    if (bpp != 32 || d.screen->root_depth < 24 || !littleEndian) {
        if (error)
            *error = QStringLiteral("Unsupported screen format (depth %1, %2 bits per pixel)")
                         .arg(d.screen->root_depth)
                         .arg(bpp);
        return std::nullopt;
    }
    xcb_generic_error_t* xerror = nullptr;
    auto cookie = xcb_get_image(d.conn, XCB_IMAGE_FORMAT_Z_PIXMAP, d.screen->root, int16_t(area.x()), int16_t(area.y()),
                                uint16_t(area.width()), uint16_t(area.height()), ~0u);
    Reply<xcb_get_image_reply_t> reply(xcb_get_image_reply(d.conn, cookie, &xerror), &std::free);
    if (!reply) {
        if (error)
            *error = QStringLiteral("X11 grab failed (error %1)").arg(xerror ? xerror->error_code : 0);
        std::free(xerror);
        return std::nullopt;
    }
    const int length = xcb_get_image_data_length(reply.get());
    const qsizetype stride = qsizetype(area.width()) * 4;
    if (length < stride * area.height()) {
        if (error)
            *error = QStringLiteral("X11 grab returned a short image");
        return std::nullopt;
    }
    QImage image(area.width(), area.height(), QImage::Format_RGB32);
    const uint8_t* data = xcb_get_image_data(reply.get());
    for (int row = 0; row < area.height(); ++row)
        std::memcpy(image.scanLine(row), data + row * stride, size_t(stride));
    return image;
}

}  // namespace

QRect ScreenGrabber::chooseMonitor(const QList<QRect>& monitors, int primaryIndex, QPoint pointer, QRect root) {
    for (const QRect& monitor : monitors)
        if (monitor.contains(pointer))
            return monitor;
    if (primaryIndex >= 0 && primaryIndex < monitors.size())
        return monitors.at(primaryIndex);
    if (!monitors.isEmpty())
        return monitors.first();
    return root;
}

bool ScreenGrabber::canCapture() {
    Display d;
    if (!d.open(nullptr))
        return false;
    return grab(d, QRect(0, 0, 1, 1), nullptr).has_value();
}

std::optional<QImage> ScreenGrabber::grabMonitorUnderPointer(QString* error) {
    Display d;
    if (!d.open(error))
        return std::nullopt;
    const QRect root(0, 0, d.screen->width_in_pixels, d.screen->height_in_pixels);

    QPoint pointer(-1, -1);
    Reply<xcb_query_pointer_reply_t> pointerReply(
        xcb_query_pointer_reply(d.conn, xcb_query_pointer(d.conn, d.screen->root), nullptr), &std::free);
    if (pointerReply && pointerReply->same_screen)
        pointer = QPoint(pointerReply->root_x, pointerReply->root_y);

    QList<QRect> monitors;
    int primary = -1;
    Reply<xcb_randr_get_monitors_reply_t> monitorsReply(
        xcb_randr_get_monitors_reply(d.conn, xcb_randr_get_monitors(d.conn, d.screen->root, 1), nullptr), &std::free);
    if (monitorsReply) {
        for (auto it = xcb_randr_get_monitors_monitors_iterator(monitorsReply.get()); it.rem;
             xcb_randr_monitor_info_next(&it)) {
            const QRect rect = QRect(it.data->x, it.data->y, it.data->width, it.data->height).intersected(root);
            if (rect.isEmpty())
                continue;
            if (it.data->primary && primary < 0)
                primary = int(monitors.size());
            monitors.append(rect);
        }
    }
    const QRect area = chooseMonitor(monitors, primary, pointer, root);
    if (area.isEmpty()) {
        if (error)
            *error = QStringLiteral("Display not found");
        return std::nullopt;
    }
    return grab(d, area, error);
}
