#include "Platform/DesktopBackend.h"

#include "Platform/Null/NullBackend.h"
#include "Platform/X11/X11Backend.h"

DesktopBackend& DesktopBackend::current() {
    // One of each for the process; which one answers depends on the session's DISPLAY alone
    // (XWayland sets it too). A DISPLAY that names no reachable server still gets X11: its services fail to
    // connect and say so, and the entry point reports it through unavailableReason().
    static X11Backend x11;
    static NullBackend none;
    if (qEnvironmentVariableIsEmpty("DISPLAY")) return none;
    return x11;
}
