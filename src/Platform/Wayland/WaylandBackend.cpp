#include "Platform/Wayland/WaylandBackend.h"

#include "Foundation/Logger.h"
#include "Foundation/UserDefaults.h"
#include "Platform/Linux/EvdevKeyReader.h"
#include "Platform/LogCategories.h"
#include "Platform/Wayland/PortalPasteChord.h"
#include "Platform/Wayland/PortalRequests.h"
#include "Platform/Wayland/WaylandConnection.h"
#include "Platform/Wayland/WaylandConnectionGuard.h"
#include "Platform/Wayland/WaylandKeySource.h"
#include "Platform/Wayland/WaylandPaster.h"
#include "Platform/Wayland/WaylandWindowTracker.h"
#include "Platform/X11/X11Backend.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>

#include <wayland-client-core.h>

#include <mutex>

namespace {

// The paste worker over the Wayland paster; one paste at a time on the paste queue's thread.
class WaylandPasteWorker final : public AbstractPasteWorker {
public:
    WaylandPasteWorker()
        : m_paster(QString(), &WaylandWindowTracker::latestFront,
                   std::make_unique<PortalPasteChord>(UserDefaults::shared())) {}
    Result paste(const QString& text, const std::optional<QString>& html) override {
        const WaylandPaster::Result r = m_paster.paste(text, html);
        return {r.outcome, r.generation, r.scheduleRestore};
    }
    void restore(uint64_t generation) override { m_paster.restore(generation); }
    void restorePending() override { m_paster.restorePending(); }
    std::optional<PasteOutcome> lastOutcome() const override { return m_paster.lastOutcome(); }

private:
    WaylandPaster m_paster;
};

X11Backend& xwayland() {
    static X11Backend backend;
    return backend;
}

bool portalOnBus() {
    QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
    return bus && bus->isServiceRegistered(QString::fromLatin1(Portal::service)).value();
}

}  // namespace

std::optional<QString> WaylandBackend::unavailableReason() const {
    wl_display* display = wl_display_connect(nullptr);
    if (!display) {
        const QByteArray socket = qgetenv("WAYLAND_DISPLAY");
        return QStringLiteral("Cannot reach the Wayland compositor \"%1\". Vantrose needs a Wayland or X11 session.")
            .arg(socket.isEmpty() ? QStringLiteral("wayland-0") : QString::fromLocal8Bit(socket));
    }
    wl_display_disconnect(display);
    // The program's own windows are X11 windows: they need the session's XWayland.
    if (const std::optional<QString> x11 = xwayland().unavailableReason())
        return QStringLiteral("This Wayland session runs no XWayland, which Vantrose's windows need: ") + *x11;
    return std::nullopt;
}

std::unique_ptr<AbstractWindowTracker> WaylandBackend::makeWindowTracker() {
    return std::make_unique<WaylandWindowTracker>();
}

std::unique_ptr<AbstractKeySource> WaylandBackend::makeKeySource() { return std::make_unique<WaylandKeySource>(); }

std::unique_ptr<AbstractPasteWorker> WaylandBackend::makePasteWorker() {
    return std::make_unique<WaylandPasteWorker>();
}

bool WaylandBackend::keyInputAvailable() {
    // Once the key source has chosen, its choice tells; until then, whether any source can be
    // had. The XWayland listener counts (it hears X11 windows); inputNeeds() says what it lacks.
    if (const std::optional<HotkeySourceChoice> choice = WaylandKeySource::latestChoice())
        return choice->source != HotkeySource::none;
    return EvdevKeyReader::probe().keyboards > 0 || portalOnBus() || xwayland().keyInputAvailable();
}

DesktopBackend::InputNeeds WaylandBackend::inputNeeds() {
    InputNeeds needs;
    needs.brief = QString::fromLatin1(inputNeedsBrief);
    // Until the key source has chosen, nothing is known to be missing.
    const std::optional<HotkeySourceChoice> choice = WaylandKeySource::latestChoice();
    needs.full = choice ? choice->notice() : QString();
    return needs;
}

void WaylandBackend::simulateKeyPress(uint16_t keyCode, uint64_t flags) {
    // Reaches XWayland windows only; the hotkey test of the settings uses it.
    xwayland().simulateKeyPress(keyCode, flags);
}

bool WaylandBackend::canCaptureScreen() { return false; }

std::optional<QImage> WaylandBackend::grabMonitorUnderPointer(QString* error) {
    if (error) *error = QStringLiteral("screen text is read on X11 sessions only");
    return std::nullopt;
}

std::optional<QString> WaylandBackend::readSelection(qint64 ownerPid, std::chrono::milliseconds timeout) {
    // XWayland windows' selection; native windows offer theirs to no one.
    if (qEnvironmentVariableIsEmpty("DISPLAY")) return std::nullopt;
    return xwayland().readSelection(ownerPid, timeout);
}

bool WaylandBackend::setWindowInputRegion(QWindow* window, const QRegion& region) {
    // Our own windows run through XWayland when the toolkit uses its X11 platform.
    return xwayland().setWindowInputRegion(window, region);
}

void WaylandBackend::installConnectionHandlers(std::function<void()> toolkitConnectionLost) {
    xwayland().installConnectionHandlers(std::move(toolkitConnectionLost));
}

void WaylandBackend::setConnectionLostHook(std::function<void()> hook) {
    // The compositor going away ends the program as the X display going away does. A connection
    // of its own watches for that: on a desktop without a list of windows nothing else of ours
    // talks to the compositor between pastes.
    xwayland().setConnectionLostHook(hook);
    WaylandConnectionGuard::setConnectionLostHook(std::move(hook));
    static std::once_flag watching;
    std::call_once(watching, [] {
        // Kept to the end of the process, never joined from a static destructor.
        auto* watch = new WaylandConnection(QStringLiteral("com.vantrose.wl-watch"));
        if (!watch->connect()) VLOG_WARNING(lcWayland) << "No Wayland compositor to watch";
    });
}
