#pragma once

#include "Platform/Wayland/WaylandFrontApp.h"

#include <QObject>

#include <functional>
#include <mutex>
#include <optional>

// Follows the application in front through the accessibility bus's focus events, which reach us
// on Wayland as on X11: the application whose element took the focus last is the one in front.
// The record has the process, so the identity comes from the process (Flatpak id, desktop file,
// executable) and the title from the window that holds the focused element. Applications that
// do not speak AT-SPI are not seen. The handler runs on the main thread.
class AtspiFocusTracker : public QObject {
    Q_OBJECT
public:
    // Called on the main thread when another application, or another window of it, takes the focus.
    using Handler = std::function<void(const WaylandFrontApp&)>;

    explicit AtspiFocusTracker(QObject* parent = nullptr);
    ~AtspiFocusTracker() override;

    // False when the accessibility bus cannot be used. Blocking (it asks the bus).
    bool start(Handler onChange);
    void stop();
    bool isRunning() const { return m_followerId != 0; }

    // The application that took the focus last; never waits. Any thread.
    std::optional<WaylandFrontApp> latest() const;

private:
    void focusChanged(qint64 pid, const QString& applicationName, const QString& windowTitle);  // AT-SPI's thread

    Handler m_handler;
    int m_followerId = 0;
    mutable std::mutex m_mutex;
    std::optional<WaylandFrontApp> m_latest;
};
