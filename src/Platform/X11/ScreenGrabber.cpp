#include "Platform/X11/ScreenGrabber.h"

#include "Platform/X11/XcbOwned.h"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cstddef>
#include <cstring>

namespace {

struct Display {
    xcb_connection_t* conn = nullptr;
    xcb_screen_t* screen = nullptr;
    ~Display() {
        if (conn) xcb_disconnect(conn);
    }
    bool open(QString* error) {
        int screenNumber = 0;
        conn = xcb_connect(nullptr, &screenNumber);
        if (!conn || xcb_connection_has_error(conn)) {
            if (error) *error = QStringLiteral("No X11 display");
            return false;
        }
        auto it = xcb_setup_roots_iterator(xcb_get_setup(conn));
        for (int i = 0; i < screenNumber && it.rem; ++i) xcb_screen_next(&it);
        screen = it.rem ? it.data : nullptr;
        if (!screen && error) *error = QStringLiteral("Missing screen number");
        return screen != nullptr;
    }
};

// The pixel layout of the root window: its depth's pixmap format and its visual's colour masks.
ScreenGrabber::PixelLayout rootLayout(const Display& d) {
    ScreenGrabber::PixelLayout layout;
    const xcb_setup_t* setup = xcb_get_setup(d.conn);
    layout.lsbFirst = setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;
    for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem; xcb_format_next(&it))
        if (it.data->depth == d.screen->root_depth) {
            layout.bitsPerPixel = it.data->bits_per_pixel;
            layout.scanlinePad = it.data->scanline_pad;
        }
    for (auto depth = xcb_screen_allowed_depths_iterator(d.screen); depth.rem; xcb_depth_next(&depth))
        for (auto visual = xcb_depth_visuals_iterator(depth.data); visual.rem; xcb_visualtype_next(&visual))
            if (visual.data->visual_id == d.screen->root_visual) {
                layout.trueColor = visual.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR ||
                                   visual.data->_class == XCB_VISUAL_CLASS_DIRECT_COLOR;
                layout.redMask = visual.data->red_mask;
                layout.greenMask = visual.data->green_mask;
                layout.blueMask = visual.data->blue_mask;
            }
    return layout;
}

// One channel of a pixel scaled to 0..255.
struct Channel {
    int shift = 0;
    uint32_t max = 0;
    explicit Channel(uint32_t mask) {
        if (!mask) return;
        while (!((mask >> shift) & 1u)) ++shift;
        max = mask >> shift;
    }
    bool valid() const { return max != 0 && ((max + 1) & max) == 0; }  // contiguous bits
    uint32_t value(uint32_t pixel) const { return (((pixel >> shift) & max) * 255u + max / 2) / max; }
};

std::optional<QImage> grab(const Display& d, QRect area, QString* error) {
    const ScreenGrabber::PixelLayout layout = rootLayout(d);
    auto unsupported = [&] {
        if (error)
            *error = QStringLiteral("Unsupported screen format (depth %1, %2 bits per pixel)")
                         .arg(d.screen->root_depth)
                         .arg(layout.bitsPerPixel);
        return std::nullopt;
    };
    if (!ScreenGrabber::convertZPixmap(nullptr, 0, QSize(0, 0), layout)) return unsupported();
    xcb_generic_error_t* rawError = nullptr;
    auto cookie = xcb_get_image(d.conn, XCB_IMAGE_FORMAT_Z_PIXMAP, d.screen->root, int16_t(area.x()), int16_t(area.y()),
                                uint16_t(area.width()), uint16_t(area.height()), ~0u);
    const auto reply = xcbOwned(xcb_get_image_reply(d.conn, cookie, &rawError));
    const auto xerror = xcbOwned(rawError);
    if (!reply) {
        if (error) *error = QStringLiteral("X11 grab failed (error %1)").arg(xerror ? xerror->error_code : 0);
        return std::nullopt;
    }
    auto image = ScreenGrabber::convertZPixmap(xcb_get_image_data(reply.get()), xcb_get_image_data_length(reply.get()),
                                               area.size(), layout);
    if (!image && error) *error = QStringLiteral("X11 grab returned a short image");
    return image;
}

}  // namespace

std::optional<QImage> ScreenGrabber::convertZPixmap(const uint8_t* data, qsizetype length, QSize size,
                                                    const PixelLayout& layout) {
    const int bpp = layout.bitsPerPixel;
    const Channel red(layout.redMask), green(layout.greenMask), blue(layout.blueMask);
    if (!layout.trueColor || (bpp != 16 && bpp != 24 && bpp != 32) || !red.valid() || !green.valid() || !blue.valid() ||
        layout.scanlinePad <= 0 || layout.scanlinePad % 8 != 0)
        return std::nullopt;
    if (size.isEmpty()) return QImage();  // the layout alone was asked about
    const qsizetype padBytes = layout.scanlinePad / 8;
    const qsizetype rowBytes = (qsizetype(size.width()) * bpp / 8 + padBytes - 1) / padBytes * padBytes;
    if (!data || length < rowBytes * size.height()) return std::nullopt;
    const int bytes = bpp / 8;
    const bool plainArgb = bpp == 32 && layout.lsbFirst && layout.redMask == 0xff0000u && layout.greenMask == 0xff00u &&
                           layout.blueMask == 0xffu;
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y) {
        const uint8_t* row = data + y * rowBytes;
        auto* out = reinterpret_cast<QRgb*>(image.scanLine(y));
        if (plainArgb) {
            for (int x = 0; x < size.width(); ++x) {
                uint32_t pixel;
                std::memcpy(&pixel, row + static_cast<std::ptrdiff_t>(x) * 4, 4);
                out[x] = 0xff000000u | pixel;
            }
            continue;
        }
        for (int x = 0; x < size.width(); ++x) {
            const uint8_t* p = row + static_cast<std::ptrdiff_t>(x) * bytes;
            uint32_t pixel = 0;
            for (int b = 0; b < bytes; ++b) pixel |= uint32_t(p[layout.lsbFirst ? b : bytes - 1 - b]) << (8 * b);
            out[x] = qRgb(int(red.value(pixel)), int(green.value(pixel)), int(blue.value(pixel)));
        }
    }
    return image;
}

QRect ScreenGrabber::chooseMonitor(const QList<QRect>& monitors, int primaryIndex, QPoint pointer, QRect root) {
    for (const QRect& monitor : monitors)
        if (monitor.contains(pointer)) return monitor;
    if (primaryIndex >= 0 && primaryIndex < monitors.size()) return monitors.at(primaryIndex);
    if (!monitors.isEmpty()) return monitors.first();
    return root;
}

bool ScreenGrabber::canCapture() {
    Display d;
    if (!d.open(nullptr)) return false;
    return grab(d, QRect(0, 0, 1, 1), nullptr).has_value();
}

std::optional<QImage> ScreenGrabber::grabMonitorUnderPointer(QString* error) {
    Display d;
    if (!d.open(error)) return std::nullopt;
    const QRect root(0, 0, d.screen->width_in_pixels, d.screen->height_in_pixels);

    QPoint pointer(-1, -1);
    const auto pointerReply =
        xcbOwned(xcb_query_pointer_reply(d.conn, xcb_query_pointer(d.conn, d.screen->root), nullptr));
    if (pointerReply && pointerReply->same_screen) pointer = QPoint(pointerReply->root_x, pointerReply->root_y);

    QList<QRect> monitors;
    int primary = -1;
    const auto monitorsReply =
        xcbOwned(xcb_randr_get_monitors_reply(d.conn, xcb_randr_get_monitors(d.conn, d.screen->root, 1), nullptr));
    if (monitorsReply) {
        for (auto it = xcb_randr_get_monitors_monitors_iterator(monitorsReply.get()); it.rem;
             xcb_randr_monitor_info_next(&it)) {
            const QRect rect = QRect(it.data->x, it.data->y, it.data->width, it.data->height).intersected(root);
            if (rect.isEmpty()) continue;
            if (it.data->primary && primary < 0) primary = int(monitors.size());
            monitors.append(rect);
        }
    }
    const QRect area = chooseMonitor(monitors, primary, pointer, root);
    if (area.isEmpty()) {
        if (error) *error = QStringLiteral("Display not found");
        return std::nullopt;
    }
    return grab(d, area, error);
}
