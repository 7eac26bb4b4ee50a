#include "App/Permissions.h"

#include "App/LogCategories.h"
#include "Core/Audio/AudioEngine.h"
#include "Foundation/Logger.h"
#include "Platform/Atspi/AtspiClient.h"
#include "Platform/DesktopBackend.h"

#include <QCoro/QCoroFuture>
#include <QtConcurrent/QtConcurrent>

#include <tuple>
#include <utility>

bool DesktopPermissionChecker::x11InputAvailable() { return DesktopBackend::current().keyInputAvailable(); }

bool DesktopPermissionChecker::accessibilityBusAvailable() { return AtspiClient::shared().isTrusted(); }

const QString DesktopPermissionChecker::noAccessibilityBusNotice = QStringLiteral(
    "Dictation works, but without the text around the cursor: the accessibility bus (AT-SPI) is not "
    "running. Install at-spi2-core and switch on assistive technologies in your desktop's "
    "accessibility settings (GNOME: gsettings set org.gnome.desktop.interface toolkit-accessibility "
    "true), then log in again.");

QCoro::Task<bool> DesktopPermissionChecker::checkAccessibility() {
    const auto [input, bus, needs] = co_await QtConcurrent::run([] {
        const bool input = x11InputAvailable();
        return std::tuple<bool, bool, DesktopBackend::InputNeeds>(input, accessibilityBusAvailable(),
                                                                  DesktopBackend::current().inputNeeds());
    });
    m_inputNeeds = needs.brief;
    m_inputNotice = needs.full;
    if (bus != m_lastBus) VLOG_INFO(lcPermissions) << "Accessibility bus available: " << (bus ? "true" : "false");
    m_lastAccessibility = input;
    m_lastBus = bus;
    co_return input;
}

QString DesktopPermissionChecker::inputNeeds() { return m_inputNeeds; }

QString DesktopPermissionChecker::inputNotice() { return m_inputNotice; }

QString DesktopPermissionChecker::accessibilityNotice() { return m_lastBus ? QString() : noAccessibilityBusNotice; }

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
        VLOG_INFO(lcPermissions) << "Accessibility bus enabled: " << (enabled ? "true" : "false");
        co_await self->checkAccessibility();
    }(this);
}
