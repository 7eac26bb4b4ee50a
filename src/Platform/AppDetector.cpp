#include "Platform/AppDetector.h"

#include "Foundation/Logger.h"
#include "Foundation/MainThread.h"
#include "Platform/BrowserAddressLookup.h"
#include "Platform/DesktopBackend.h"
#include "Platform/LogCategories.h"

#include <QCoreApplication>
#include <QPointer>

AppDetector::AppDetector(QObject* parent)
    : QObject(parent),
      m_tracker(DesktopBackend::current().makeWindowTracker()),
      m_addresses(new BrowserAddressCache(this)) {
    browserAddressLookup = [cache = QPointer<BrowserAddressCache>(m_addresses)](const ActiveAppInfo& app) {
        return cache ? cache->addressFor(app) : std::nullopt;
    };
    connect(m_addresses, &BrowserAddressCache::addressChanged, this, &AppDetector::applyAddress);
}

// The tracker's thread posts to this object: it ends before the object does.
AppDetector::~AppDetector() {
    if (m_observing) m_tracker->stop();
}

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
        const bool ok = m_tracker->start(
            [this](const ActiveWindowInfo& window) { runOnMain(this, [this, window] { handleActivation(window); }); });
        if (!ok) VLOG_WARNING(lcAppDetector) << "No X11 display; the front application cannot be followed";
        m_observing = ok;
    }
    updateActiveApp();
    VLOG_INFO(lcAppDetector) << "Started monitoring app changes";
}

void AppDetector::stop() {
    if (m_observing) m_tracker->stop();
    m_observing = false;
    VLOG_INFO(lcAppDetector) << "Stopped monitoring";
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
    if (current && current->bundleId == info->bundleId && current->pid == info->pid) {
        // Same browser: only its address may have moved on since the record was taken.
        if (browserAddressLookup) setFrontAddress(browserAddressLookup(*current));
        return;
    }
    if (browserAddressLookup) info->url = browserAddressLookup(*info);
    setActiveApp(std::move(info));
}

void AppDetector::applyAddress(std::int32_t pid, const QString& url) {
    if (!activeApp() || activeApp()->pid != pid) return;  // a browser in the background
    setFrontAddress(url.isEmpty() ? std::nullopt : std::optional<QString>(url));
}

void AppDetector::setFrontAddress(const std::optional<QString>& url) {
    const auto& current = activeApp();
    if (!current || current->url == url) return;
    ActiveAppInfo updated = *current;
    updated.url = url;
    setActiveApp(std::move(updated));
}

void AppDetector::handleActivation(const ActiveWindowInfo& window) {
    if (!m_observing) return;
    std::optional<ActiveAppInfo> info = describe(window);
    if (!info) return;
    m_title = window.title;
    const std::optional<ActiveAppInfo> old = activeApp();
    setActiveApp(info);
    // The record starts without an address; reading it now means the next update, at the start
    // of a dictation, can answer it from the cache instead of waiting on the browser.
    if (browserAddressLookup) (void)browserAddressLookup(*info);
    if (old && old->bundleId == info->bundleId) return;
    VLOG_DEBUG(lcAppDetector) << "App changed → " << info->name << " (" << info->bundleId << ")";
    if (auto callback = onAppChanged) callback(*info);
}
