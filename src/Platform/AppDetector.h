#pragma once

#include "Core/Desktop/AbstractAppDetector.h"
#include "Platform/MainThreadPoster.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class X11ActiveWindowTracker;
struct ActiveWindowInfo;

// Keeps the record of the application that has the user's focus, following the window
// manager's active window. This process's own windows (hub, overlay) never count as the front
// application: dictation targets the application the user came from.
class AppDetector : public QObject, public AbstractAppDetector {
    Q_OBJECT
public:
    explicit AppDetector(QObject* parent = nullptr);
    ~AppDetector() override;

    void start() override;
    void stop() override;
    void updateActiveApp() override;

    // The active window's title (editors show the open file there); empty when unknown.
    QString activeWindowTitle() const { return m_title; }

    // Looks up a browser's address for a new record (installed by the accessibility layer);
    // without it records carry no address.
    std::function<std::optional<QString>(const ActiveAppInfo&)> browserAddressLookup;

private:
    void handleActivation(const ActiveWindowInfo& window);
    std::optional<ActiveAppInfo> describe(const ActiveWindowInfo& window) const;

    MainThreadPoster m_poster;  // declared before the tracker, whose thread posts into it
    std::unique_ptr<X11ActiveWindowTracker> m_tracker;
    QString m_title;
    bool m_observing = false;
};
