#pragma once

#include "Platform/DesktopBackend.h"
#include "Platform/X11/X11KeyInjector.h"

// The desktop services of an X11 session (also XWayland): XInput2/RECORD for keys, XTest for
// synthetic ones, the CLIPBOARD and PRIMARY selections, the window manager's active window and
// screen grabs, each on connections of its own.
class X11Backend final : public DesktopBackend {
public:
    QString name() const override { return QStringLiteral("x11"); }
    std::optional<QString> unavailableReason() const override;
    std::unique_ptr<AbstractWindowTracker> makeWindowTracker() override;
    std::unique_ptr<AbstractKeySource> makeKeySource() override;
    std::unique_ptr<AbstractPasteWorker> makePasteWorker() override;
    bool keyInputAvailable() override;
    void simulateKeyPress(uint16_t keyCode, uint64_t flags) override;
    bool canCaptureScreen() override;
    std::optional<QImage> grabMonitorUnderPointer(QString* error) override;
    std::optional<QString> readSelection(qint64 ownerPid, std::chrono::milliseconds timeout) override;
    bool setWindowInputRegion(QWindow* window, const QRegion& region) override;
    void installConnectionHandlers(std::function<void()> toolkitConnectionLost) override;
    void setConnectionLostHook(std::function<void()> hook) override;

private:
    X11KeyInjector m_keys;  // simulateKeyPress's connection, opened at its first use
};
