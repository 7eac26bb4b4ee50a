#include "Platform/Wayland/AtspiFocusTracker.h"

#include "Foundation/MainThread.h"
#include "Platform/Atspi/AtspiClient.h"
#include "Platform/Wayland/WaylandAppIdentity.h"

AtspiFocusTracker::AtspiFocusTracker(QObject* parent) : QObject(parent) {}

AtspiFocusTracker::~AtspiFocusTracker() { stop(); }

bool AtspiFocusTracker::start(Handler onChange) {
    if (isRunning()) return true;
    m_handler = std::move(onChange);
    m_followerId = AtspiClient::shared().followFocus([this](const AtspiClient::FocusChange& change) {
        focusChanged(change.pid, change.applicationName, change.windowTitle);
    });
    return isRunning();
}

void AtspiFocusTracker::stop() {
    // Once this returns, the accessibility thread no longer calls into this object.
    if (m_followerId) AtspiClient::shared().stopFollowingFocus(m_followerId);
    m_followerId = 0;
}

std::optional<WaylandFrontApp> AtspiFocusTracker::latest() const {
    std::lock_guard lock(m_mutex);
    return m_latest;
}

void AtspiFocusTracker::focusChanged(qint64 pid, const QString& applicationName, const QString& windowTitle) {
    WaylandFrontApp front = WaylandAppIdentity::forProcess(pid, applicationName);
    front.title = windowTitle;
    {
        std::lock_guard lock(m_mutex);
        if (m_latest == front) return;  // focus moved within the same window
        m_latest = front;
    }
    runOnMain(this, [this, front] {
        if (m_handler) m_handler(front);
    });
}
