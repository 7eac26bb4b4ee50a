#include "Platform/Wayland/WaylandKeySource.h"

#include "Foundation/Logger.h"
#include "Platform/LogCategories.h"
#include "Platform/X11/X11Backend.h"

#include <xcb/xcb.h>

namespace {

std::mutex g_latestMutex;
std::optional<HotkeySourceChoice> g_latest;

bool xDisplayConnects() {
    if (qEnvironmentVariableIsEmpty("DISPLAY")) return false;
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const bool ok = connection && !xcb_connection_has_error(connection);
    if (connection) xcb_disconnect(connection);
    return ok;
}

}  // namespace

WaylandKeySource::WaylandKeySource() : WaylandKeySource(Options{}) {}

WaylandKeySource::WaylandKeySource(Options options)
    : m_options(std::move(options)),
      m_portalKeys([this](const KeySourceEvent& event) {
          if (m_handler) m_handler(event);
      }) {
    if (!m_options.xDisplayAvailable) m_options.xDisplayAvailable = xDisplayConnects;
    if (!m_options.makeX11Source) m_options.makeX11Source = [] { return X11Backend().makeKeySource(); };
}

WaylandKeySource::~WaylandKeySource() { stop(); }

QString WaylandKeySource::methodName(Method method) const {
    return method == Method::Preferred
               ? QStringLiteral("the Wayland session's hotkey sources (portal, keyboard devices, XWayland)")
               : QStringLiteral("nothing further (the Wayland sources include every fallback)");
}

bool WaylandKeySource::start(Handler handler, Method method, std::function<void()> onConnectionLost) {
    if (method == Method::Fallback) {
        // The preferred start already falls back as far as a Wayland session allows.
        std::lock_guard lock(m_mutex);
        m_error = QStringLiteral("no further source");
        return false;
    }
    if (m_running) return true;
    m_handler = std::move(handler);
    m_onConnectionLost = std::move(onConnectionLost);
    m_running = true;
    m_portal = new PortalGlobalShortcuts(this);
    m_portal->setDeadlines(m_options.portalDeadlines);
    connect(m_portal, &PortalGlobalShortcuts::activated, this,
            [this](HotkeyAction action) { m_portalKeys.activated(action); });
    connect(m_portal, &PortalGlobalShortcuts::deactivated, this,
            [this](HotkeyAction action) { m_portalKeys.deactivated(action); });
    // No Deactivated comes after the session ends: a held push-to-talk is let go now.
    connect(m_portal, &PortalGlobalShortcuts::sessionEnded, this, [this] { m_portalKeys.releaseAll(); });
    m_portalKeys.setBindings(m_bindings);
    choose(++m_generation);
    return true;
}

QCoro::Task<> WaylandKeySource::choose(uint64_t generation) {
    const QPointer<WaylandKeySource> self(this);
    HotkeySourceChooser::Session session;
    session.evdev = EvdevKeyReader::probe(m_options.evdev);
    session.xDisplay = m_options.xDisplayAvailable();
    const HotkeySourceChoice choice = co_await HotkeySourceChooser::choose(*m_portal, m_bindings, session);
    if (!self || !m_running || generation != m_generation) co_return;
    useChoice(choice);
}

void WaylandKeySource::useChoice(const HotkeySourceChoice& chosen) {
    HotkeySourceChoice choice = chosen;
    QString error;
    if (choice.source == HotkeySource::evdev) {
        m_evdev = std::make_unique<EvdevKeyReader>(m_options.evdev);
        if (!m_evdev->start(m_handler)) {
            error = m_evdev->lastError();
            VLOG_WARNING(lcHotkeySource) << "The keyboard devices cannot be followed: " << error;
            m_evdev.reset();
            choice = HotkeySourceChooser::decide(PortalGlobalShortcuts::State::missing, false,
                                                 {EvdevAvailability{}, m_options.xDisplayAvailable()});
            choice.gaps = chosen.gaps;
            choice.gaps << HotkeySourceGap::noKeyboardDevices;
            if (choice.source == HotkeySource::none) choice.gaps << HotkeySourceGap::noXDisplay;
        }
    }
    if (choice.source == HotkeySource::x11) {
        m_x11 = m_options.makeX11Source();
        m_x11->setBindings(m_bindings);
        if (!m_x11->start(m_handler, Method::Preferred, m_onConnectionLost) &&
            !m_x11->start(m_handler, Method::Fallback, m_onConnectionLost)) {
            error = m_x11->lastError();
            VLOG_WARNING(lcHotkeySource) << "The X11 listener through XWayland failed: " << error;
            m_x11.reset();
            choice.source = HotkeySource::none;
            choice.gaps << HotkeySourceGap::noXDisplay;
        }
    }
    const QString notice = choice.notice();
    if (!notice.isEmpty()) VLOG_WARNING(lcHotkeySource) << notice;
    {
        std::lock_guard lock(m_mutex);
        m_choice = choice;
        m_error = error;
    }
    std::lock_guard lock(g_latestMutex);
    g_latest = choice;
}

void WaylandKeySource::setBindings(const QList<HotkeyBinding>& bindings) {
    if (bindings == m_bindings) return;
    m_bindings = bindings;
    m_portalKeys.setBindings(bindings);
    if (m_x11) m_x11->setBindings(bindings);
    // The portal binds a session's shortcuts once: new bindings need the choice made again.
    if (m_running && choice() && choice()->source == HotkeySource::portal) {
        stopSources();
        choose(++m_generation);
    }
}

void WaylandKeySource::stopSources() {
    m_portalKeys.releaseAll();
    if (m_portal) m_portal->stop();
    if (m_evdev) m_evdev->stop();
    m_evdev.reset();
    if (m_x11) m_x11->stop();
    m_x11.reset();
    std::lock_guard lock(m_mutex);
    m_choice.reset();
}

void WaylandKeySource::stop() {
    if (!m_running) return;
    m_running = false;
    ++m_generation;
    stopSources();
    delete m_portal;
    m_portal = nullptr;
}

QString WaylandKeySource::lastError() const {
    std::lock_guard lock(m_mutex);
    return m_error;
}

std::optional<HotkeySourceChoice> WaylandKeySource::choice() const {
    std::lock_guard lock(m_mutex);
    return m_choice;
}

std::optional<HotkeySourceChoice> WaylandKeySource::latestChoice() {
    std::lock_guard lock(g_latestMutex);
    return g_latest;
}
