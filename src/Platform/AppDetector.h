#pragma once

#include "Core/Desktop/AbstractAppDetector.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

class BrowserAddressCache;
class AbstractWindowTracker;
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
    QString activeWindowTitle() const override { return m_title; }

    // Answers a browser's address at once for updateActiveApp(). By default it is the detector's
    // own address cache, which re-reads the address bar off the main thread and updates the
    // record when the front browser's address changes; replace it or clear it (no addresses).
    std::function<std::optional<QString>(const ActiveAppInfo&)> browserAddressLookup;

private:
    void handleActivation(const ActiveWindowInfo& window);
    void applyAddress(std::int32_t pid, const QString& url);  // the cache saw a new address
    void setFrontAddress(const std::optional<QString>& url);
    std::optional<ActiveAppInfo> describe(const ActiveWindowInfo& window) const;

    std::unique_ptr<AbstractWindowTracker> m_tracker;
    BrowserAddressCache* m_addresses;  // child object
    QString m_title;
    bool m_observing = false;
};
