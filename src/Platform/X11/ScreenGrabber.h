#pragma once

#include <QImage>
#include <QList>
#include <QPoint>
#include <QRect>
#include <QString>

#include <cstdint>
#include <optional>

// Grabs X11 screen contents in physical pixels (X11 coordinates are device pixels).
// Blocking: call it off the main thread.
class ScreenGrabber {
public:
    // "Screen recording" on X11: a one-pixel grab of the root window works.
    static bool canCapture();

    // The monitor under the pointer (the primary monitor, then the first one, when the pointer is
    // outside every monitor; the whole root window when RandR lists none). On failure returns
    // nothing and sets `error` to a short description.
    static std::optional<QImage> grabMonitorUnderPointer(QString* error);

    // How the X server lays out the pixels of a Z-format image of the root window.
    struct PixelLayout {
        int bitsPerPixel = 0;
        int scanlinePad = 32;    // bits each row is padded to
        bool lsbFirst = true;    // byte order of a pixel
        bool trueColor = false;  // colours are in the pixel (TrueColor/DirectColor), not in a palette
        uint32_t redMask = 0, greenMask = 0, blueMask = 0;
    };
    // Converts a Z-format image to 8 bits per channel. Nothing when the layout is not one of
    // 16, 24 or 32 bits per pixel with colour masks, or the data is too short.
    static std::optional<QImage> convertZPixmap(const uint8_t* data, qsizetype length, QSize size,
                                                const PixelLayout& layout);

    // Which rectangle to grab: the first monitor containing the pointer, else the primary one,
    // else the first, else the root.
    static QRect chooseMonitor(const QList<QRect>& monitors, int primaryIndex, QPoint pointer, QRect root);
};
