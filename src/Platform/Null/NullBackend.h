#pragma once

#include "Platform/DesktopBackend.h"

// The back-end of a session without an X display (a bare Wayland session, a console, a test
// that removed DISPLAY): nothing is heard, sent, read or followed, and every answer says so at
// once instead of failing later inside a windowing system's library.
class NullBackend final : public DesktopBackend {
public:
    QString name() const override { return QStringLiteral("none"); }
    std::optional<QString> unavailableReason() const override;
    std::unique_ptr<AbstractWindowTracker> makeWindowTracker() override;
    std::unique_ptr<AbstractKeySource> makeKeySource() override;
    std::unique_ptr<AbstractPasteWorker> makePasteWorker() override;
    bool keyInputAvailable() override { return false; }
    void simulateKeyPress(uint16_t keyCode, uint64_t flags) override;
    bool canCaptureScreen() override { return false; }
    std::optional<QImage> grabMonitorUnderPointer(QString* error) override;
    std::optional<QString> readSelection(qint64, std::chrono::milliseconds) override { return std::nullopt; }
};
