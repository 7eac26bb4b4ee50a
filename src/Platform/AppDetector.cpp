#include "Platform/AppDetector.h"

#include "Core/Logger.h"
#include "Platform/Linux/X11ActiveWindowTracker.h"

#include <QCoreApplication>

AppDetector::AppDetector(QObject* parent)
    : QObject(parent), m_tracker(std::make_unique<X11ActiveWindowTracker>()) {}

AppDetector::~AppDetector() = default;

std::optional<ActiveAppInfo> AppDetector::describe(const ActiveWindowInfo& window) const {
    if (window.pid > 0 && window.pid == QCoreApplication::applicationPid()) return std::nullopt;
    ActiveAppInfo info;
    info.name = window.appName.isEmpty() ? QStringLiteral("Unknown") : window.appName;
    info.bundleId = window.appId;
    info.pid = window.pid;
    return info;
}

void AppDetector::start() {
    if (!m_observing) {
        // The tracker's thread reports changes; they are handled here, on the main thread.
        const bool ok = m_tracker->start([this](const ActiveWindowInfo& window) {
            m_poster.post([this, window] { handleActivation(window); });
        });
        if (!ok) VLOG("AppDetector: No X11 display; the front application cannot be followed");
        m_observing = ok;
    }
    updateActiveApp();
    VLOG("AppDetector: Started monitoring app changes");
}

void AppDetector::stop() {
    if (m_observing) m_tracker->stop();
    m_observing = false;
    VLOG("AppDetector: Stopped monitoring");
}

void AppDetector::updateActiveApp() {
    if (!m_observing) return;
    const std::optional<ActiveWindowInfo> window = m_tracker->latest();
    if (!window) return;
    std::optional<ActiveAppInfo> info = describe(*window);
    if (!info) return;
    m_title = window->title;
    const auto& current = activeApp();
    // Another instance of the same application is another target (its own pid and fields).
    if (current && current->bundleId == info->bundleId && current->pid == info->pid) return;
    if (browserAddressLookup) info->url = browserAddressLookup(*info);
    setActiveApp(std::move(info));
}

void AppDetector::handleActivation(const ActiveWindowInfo& window) {
    if (!m_observing) return;
    std::optional<ActiveAppInfo> info = describe(window);
    if (!info) return;
    m_title = window.title;
    const std::optional<ActiveAppInfo> old = activeApp();
    setActiveApp(info);
    if (old && old->bundleId == info->bundleId) return;
    VLOG("AppDetector: App changed → " + info->name + " (" + info->bundleId + ")");
    if (auto callback = onAppChanged) callback(*info);
}
