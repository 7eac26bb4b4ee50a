#include "Platform/X11/X11ActiveWindowTracker.h"

#include "Platform/Linux/AppIdentity.h"

#include <QFile>

#include <xcb/res.h>

namespace {

QByteArray readSmallFile(const QString& path, qint64 cap = qint64{256} * 1024) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.read(cap);
}

// UTF-8 text read up to a byte cap: a character the cap cut in two is left out rather than
// decoded into a replacement character.
QString utf8UpToCap(QByteArray bytes) {
    qsizetype start = bytes.size();
    int back = 0;
    while (start > 0 && back < 4 && (uchar(bytes[start - 1]) & 0xC0) == 0x80) --start, ++back;
    if (start > 0) {
        const uchar lead = uchar(bytes[start - 1]);
        const int length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        if (length > 1 && length > back + 1) bytes.truncate(start - 1);
    }
    return QString::fromUtf8(bytes);
}

}  // namespace

X11ActiveWindowTracker::X11ActiveWindowTracker() : XcbWorker(QStringLiteral("com.vantrose.app-detector")) {}

X11ActiveWindowTracker::~X11ActiveWindowTracker() { stopWorker(); }

bool X11ActiveWindowTracker::start(Handler handler) {
    if (isConnected()) return true;
    m_handler = std::move(handler);
    return startWorker();
}

void X11ActiveWindowTracker::stop() {
    stopWorker();
    m_watched = 0;
}

void X11ActiveWindowTracker::onConnected() {
    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(m_connection, m_root, XCB_CW_EVENT_MASK, &mask);
    refresh(false);
}

std::optional<ActiveWindowInfo> X11ActiveWindowTracker::latest() const {
    std::lock_guard lock(m_mutex);
    return m_latest;
}

std::optional<ActiveWindowInfo> X11ActiveWindowTracker::queryNow() {
    if (!isConnected()) return std::nullopt;
    return call([this] { return resolve(); });
}

QByteArray X11ActiveWindowTracker::property(xcb_window_t window, xcb_atom_t prop, xcb_atom_t type, uint32_t maxBytes) {
    const auto reply = xcbOwned(xcb_get_property_reply(
        m_connection, xcb_get_property(m_connection, 0, window, prop, type, 0, maxBytes / 4), nullptr));
    QByteArray value;
    if (reply && reply->type != XCB_NONE)
        value = QByteArray(static_cast<const char*>(xcb_get_property_value(reply.get())),
                           xcb_get_property_value_length(reply.get()));  // in bytes
    return value;
}

int32_t X11ActiveWindowTracker::windowPid(xcb_window_t window) {
    // X-Resource knows the process of the client that created the window, even when the
    // application never set _NET_WM_PID.
    xcb_res_client_id_spec_t spec{window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
    const auto reply = xcbOwned(
        xcb_res_query_client_ids_reply(m_connection, xcb_res_query_client_ids(m_connection, 1, &spec), nullptr));
    int32_t pid = 0;
    if (reply) {
        for (auto it = xcb_res_query_client_ids_ids_iterator(reply.get()); it.rem; xcb_res_client_id_value_next(&it)) {
            if ((it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) &&
                xcb_res_client_id_value_value_length(it.data) >= 1) {
                pid = int32_t(*xcb_res_client_id_value_value(it.data));
                break;
            }
        }
    }
    if (pid > 0) return pid;
    const QByteArray netPid = property(window, atom("_NET_WM_PID"), XCB_ATOM_CARDINAL, 4);
    if (netPid.size() == 4) pid = *reinterpret_cast<const int32_t*>(netPid.constData());
    return pid > 0 ? pid : 0;
}

std::optional<ActiveWindowInfo> X11ActiveWindowTracker::resolve() {
    const QByteArray active = property(m_root, atom("_NET_ACTIVE_WINDOW"), XCB_ATOM_WINDOW, 4);
    if (active.size() != 4) return std::nullopt;
    const xcb_window_t window = *reinterpret_cast<const uint32_t*>(active.constData());
    if (window == XCB_NONE) return std::nullopt;

    ActiveWindowInfo info;
    info.window = window;
    info.pid = windowPid(window);

    AppIdentity::Sources sources;
    if (info.pid > 0) {
        const QString proc = QStringLiteral("/proc/%1/").arg(info.pid);
        sources.flatpakId = AppIdentity::flatpakIdFromInfo(readSmallFile(proc + "root/.flatpak-info"));
        const qint64 parent = AppIdentity::parentPidFromStat(readSmallFile(proc + "stat"));
        const QByteArray parentEnviron =
            parent > 0 ? readSmallFile(QStringLiteral("/proc/%1/environ").arg(parent)) : QByteArray();
        sources.desktopFileId =
            AppIdentity::desktopIdFromEnviron(readSmallFile(proc + "environ"), info.pid, parentEnviron);
    }
    const xcb_atom_t utf8 = atom("UTF8_STRING");
    const QByteArray kdeDesktop = property(window, atom("_KDE_NET_WM_DESKTOP_FILE"), utf8);
    if (!kdeDesktop.isEmpty()) sources.desktopFileId = AppIdentity::desktopIdFromPath(QString::fromUtf8(kdeDesktop));
    sources.gtkApplicationId = utf8UpToCap(property(window, atom("_GTK_APPLICATION_ID"), utf8));
    AppIdentity::parseWmClass(property(window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING), &sources.wmClassInstance,
                              &sources.wmClassClass);

    info.appId = AppIdentity::chooseIdentifier(sources);
    info.appName = AppIdentity::findDesktopEntryName(AppIdentity::desktopEntryCandidates(sources));
    if (info.appName.isEmpty()) info.appName = sources.wmClassClass;

    QByteArray title = property(window, atom("_NET_WM_NAME"), utf8);
    info.title = title.isEmpty() ? QString::fromLocal8Bit(property(window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING))
                                 : utf8UpToCap(title);
    return info;
}

void X11ActiveWindowTracker::refresh(bool notify) {
    std::optional<ActiveWindowInfo> info = resolve();
    const xcb_window_t window = info ? info->window : 0;
    if (window != m_watched) {
        // Follow the active window's title (editors name the open file there).
        const uint32_t none = XCB_EVENT_MASK_NO_EVENT, props = XCB_EVENT_MASK_PROPERTY_CHANGE;
        if (m_watched) xcb_change_window_attributes(m_connection, m_watched, XCB_CW_EVENT_MASK, &none);
        if (window) xcb_change_window_attributes(m_connection, window, XCB_CW_EVENT_MASK, &props);
        m_watched = window;
    }
    bool changed = false;
    {
        std::lock_guard lock(m_mutex);
        changed = info.has_value() && (!m_latest || m_latest->window != info->window || m_latest->title != info->title);
        if (info) m_latest = info;
    }
    if (changed && notify && m_handler) m_handler(*info);
}

void X11ActiveWindowTracker::handleEvent(xcb_generic_event_t* event) {
    if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY) return;
    auto* p = reinterpret_cast<xcb_property_notify_event_t*>(event);
    const bool activeChanged = p->window == m_root && p->atom == atom("_NET_ACTIVE_WINDOW");
    const bool titleChanged =
        p->window == m_watched && m_watched && (p->atom == atom("_NET_WM_NAME") || p->atom == XCB_ATOM_WM_NAME);
    if (activeChanged || titleChanged) refresh(true);
}
