#pragma once

#include "Platform/DesktopBackend.h"

// The desktop services of a Wayland session, each through the standard interfaces the desktop
// offers, best first, with XWayland as the last resort:
//   keys: the portal's global shortcuts, the keyboard devices (evdev), the X11 listener;
//   paste: the clipboard through data-control or XWayland's bridge, the chord through the
//          portal's remote desktop or the compositor's virtual keyboard;
//   front application: the accessibility bus's focus events, the compositor's list of windows,
//          the X11 window manager.
// Screen text and the selection stay X11's (XWayland windows only): Wayland lets no program read
// another's pixels or selection without the user picking them each time.
class WaylandBackend final : public DesktopBackend {
public:
    // What granting means on a Wayland session: the brief of inputNeeds().
    static constexpr auto inputNeedsBrief = "Allow Vantrose's shortcuts when asked, or join the input group";

    QString name() const override { return QStringLiteral("wayland"); }
    std::optional<QString> unavailableReason() const override;
    std::unique_ptr<AbstractWindowTracker> makeWindowTracker() override;
    std::unique_ptr<AbstractKeySource> makeKeySource() override;
    std::unique_ptr<AbstractPasteWorker> makePasteWorker() override;
    bool keyInputAvailable() override;
    InputNeeds inputNeeds() override;
    void simulateKeyPress(uint16_t keyCode, uint64_t flags) override;
    bool canCaptureScreen() override;
    std::optional<QImage> grabMonitorUnderPointer(QString* error) override;
    std::optional<QString> readSelection(qint64 ownerPid, std::chrono::milliseconds timeout) override;
    bool setWindowInputRegion(QWindow* window, const QRegion& region) override;
    void installConnectionHandlers(std::function<void()> toolkitConnectionLost) override;
    void setConnectionLostHook(std::function<void()> hook) override;
};
