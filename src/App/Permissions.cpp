#include "App/Permissions.h"

#include "Core/AudioEngine.h"
#include "Core/Logger.h"
#include "Platform/Linux/AtspiClient.h"

#include <QtConcurrent/QtConcurrent>
#include <QCoro/QCoroFuture>

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>

bool DesktopPermissionChecker::x11InputAvailable() {
    if (qEnvironmentVariableIsEmpty("DISPLAY")) return false;
    Display* display = XOpenDisplay(nullptr);
    if (!display) return false;
    int opcode = 0, event = 0, error = 0;
    bool ok = XQueryExtension(display, "XInputExtension", &opcode, &event, &error);
    if (ok) {
        int major = 2, minor = 0;
        ok = XIQueryVersion(display, &major, &minor) == Success && major >= 2;
    }
    if (ok) {
        int major = 0, minor = 0;
        ok = XTestQueryExtension(display, &event, &error, &major, &minor);
    }
    XCloseDisplay(display);
    return ok;
}

bool DesktopPermissionChecker::accessibilityBusAvailable() {
    return AtspiClient::shared().isTrusted();
}

QCoro::Task<bool> DesktopPermissionChecker::checkAccessibility() {
    const bool trusted = co_await QtConcurrent::run([] {
        return x11InputAvailable() && accessibilityBusAvailable();
    });
    m_lastAccessibility = trusted;
    co_return trusted;
}

QCoro::Task<PermissionSnapshot> DesktopPermissionChecker::check() {
    PermissionSnapshot snapshot;
    snapshot.accessibility = co_await checkAccessibility();
    snapshot.microphone = co_await AudioEngine::requestPermission();
    co_return snapshot;
}

bool DesktopPermissionChecker::lastKnownAccessibility() {
    if (!m_refreshing) {
        m_refreshing = true;
        [](DesktopPermissionChecker* self) -> QCoro::Task<> {
            co_await self->checkAccessibility();
            self->m_refreshing = false;
        }(this);
    }
    return m_lastAccessibility;
}

void DesktopPermissionChecker::requestAccessibility() {
    // Enabling the bus is what an assistive tool does; toolkits then export their trees.
    [](DesktopPermissionChecker* self) -> QCoro::Task<> {
        const bool enabled = co_await QtConcurrent::run([] { return AtspiClient::shared().enableAccessibility(); });
        VLOG(QStringLiteral("Permissions: Accessibility bus enabled: ") + (enabled ? "true" : "false"));
        co_await self->checkAccessibility();
    }(this);
}
