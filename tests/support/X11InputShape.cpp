#include "support/X11InputShape.h"

#include <QGuiApplication>
#include <QWidget>

#include <X11/Xlib.h>
#include <X11/extensions/shape.h>

QRegion x11InputRegion(QWidget* window) {
    // The toolkit's own display, so the question follows every request the program has made.
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!window || !x11 || !x11->display()) return {};
    int count = 0;
    int ordering = 0;
    XRectangle* rectangles =
        XShapeGetRectangles(x11->display(), static_cast<::Window>(window->winId()), ShapeInput, &count, &ordering);
    QRegion result;
    for (int i = 0; i < count; ++i)
        result += QRect(rectangles[i].x, rectangles[i].y, rectangles[i].width, rectangles[i].height);
    if (rectangles) XFree(rectangles);
    return result;
}
