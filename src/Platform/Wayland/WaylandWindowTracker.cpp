#include "Platform/Wayland/WaylandWindowTracker.h"

#include "Foundation/Logger.h"
#include "Platform/LogCategories.h"
#include "Platform/Wayland/AtspiFocusTracker.h"
#include "Platform/Wayland/ForeignToplevelTracker.h"
#include "Platform/X11/X11Backend.h"

#include <QStringList>

namespace {

std::mutex g_frontMutex;
std::optional<WaylandFrontApp> g_front;

ActiveWindowInfo fromFront(const WaylandFrontApp& front) {
    ActiveWindowInfo info;
    info.pid = static_cast<int32_t>(front.pid);
    info.appId = front.appId;
    info.appName = front.appName;
    info.title = front.title;
    return info;
}

}  // namespace

WaylandWindowTracker::WaylandWindowTracker(QString socket) : m_socket(std::move(socket)) {}

WaylandWindowTracker::~WaylandWindowTracker() { stop(); }

bool WaylandWindowTracker::start(Handler handler) {
    m_handler = std::move(handler);
    m_atspi = std::make_unique<AtspiFocusTracker>();
    if (!m_atspi->start([this](const WaylandFrontApp& front) { heard(accessibility, fromFront(front)); }))
        m_atspi.reset();
    m_toplevels = std::make_unique<ForeignToplevelTracker>();
    const bool toplevels = m_toplevels->start(
        [this](const std::optional<WaylandFrontApp>& front) {
            heard(compositor, front ? std::optional(fromFront(*front)) : std::nullopt);
        },
        m_socket);
    if (!toplevels) m_toplevels.reset();
    if (!qEnvironmentVariableIsEmpty("DISPLAY")) {
        m_x11 = X11Backend().makeWindowTracker();
        if (!m_x11->start([this](const ActiveWindowInfo& window) { heard(xwayland, window); })) m_x11.reset();
    }
    const QStringList followed = sources();
    if (followed.isEmpty())
        VLOG_WARNING(lcAppDetector) << "Nothing on this Wayland session tells which application is in front";
    else
        VLOG_INFO(lcAppDetector) << "Front application from: " << followed.join(QStringLiteral(", "));
    return !followed.isEmpty();
}

void WaylandWindowTracker::stop() {
    if (m_atspi) m_atspi->stop();
    if (m_toplevels) m_toplevels->stop();
    if (m_x11) m_x11->stop();
    m_atspi.reset();
    m_toplevels.reset();
    m_x11.reset();
}

QStringList WaylandWindowTracker::sources() const {
    QStringList names;
    if (m_atspi) names << QStringLiteral("accessibility");
    if (m_toplevels) names << QStringLiteral("compositor");
    if (m_x11) names << QStringLiteral("XWayland");
    return names;
}

void WaylandWindowTracker::heard(Source source, const std::optional<ActiveWindowInfo>& window) {
    std::optional<ActiveWindowInfo> front;
    {
        std::lock_guard lock(m_mutex);
        m_seen[source] = window;
        m_heardAt[source] = window ? ++m_counter : 0;
    }
    front = latest();
    if (front) {
        std::lock_guard lock(g_frontMutex);
        g_front = WaylandFrontApp{front->pid, front->appId, front->appName, front->title};
    }
    if (front && m_handler) m_handler(*front);
}

std::optional<ActiveWindowInfo> WaylandWindowTracker::latest() const {
    std::lock_guard lock(m_mutex);
    int newest = -1;
    for (int source = 0; source < sourceCount; ++source)
        if (m_seen[source] && (newest < 0 || m_heardAt[source] > m_heardAt[newest])) newest = source;
    if (newest < 0) return std::nullopt;
    ActiveWindowInfo front = *m_seen[newest];
    // The compositor's list names no process; the focus event for the same application does.
    const auto& focused = m_seen[accessibility];
    if (front.pid == 0 && focused && focused->appId == front.appId) front.pid = focused->pid;
    return front;
}

std::optional<WaylandFrontApp> WaylandWindowTracker::latestFront() {
    std::lock_guard lock(g_frontMutex);
    return g_front;
}
