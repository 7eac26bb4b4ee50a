#pragma once

#include "Models/ActiveAppInfo.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <QCoro/QCoroTask>

#include <cstdint>
#include <functional>
#include <optional>

// The text of a browser's address bar, read through AT-SPI. The frontmost-application tracker
// uses it for browsers; the lookup talks to the browser's process, so it never runs on the
// main thread: use lookupAsync() or lookupTask() from there.
class BrowserAddressLookup {
public:
    // Lower-case pieces of an application identifier that mark a browser, tested in order.
    static const QStringList browserNames;
    static bool isBrowser(const QString& bundleId);

    static constexpr int maxDepth = 6;
    static constexpr int maxChildren = 20;

    // Blocking. Absent for a non-browser identifier, an application without a readable
    // address bar, or our own process.
    static std::optional<QString> lookup(std::int32_t pid, const QString& bundleId);

    // Runs the lookup off the main thread and hands its answer to `done` on the main thread;
    // nothing is delivered once `context` (a main-thread object) is gone.
    static void lookupAsync(std::int32_t pid, const QString& bundleId, QObject* context,
                            std::function<void(std::optional<QString>)> done);
    static QCoro::Task<std::optional<QString>> lookupTask(std::int32_t pid, QString bundleId);
    // The same for a tracker record; fits ContextEngine::setAddressLookup.
    static QCoro::Task<std::optional<QString>> lookupForApp(ActiveAppInfo app);
};

// For callers that must answer at once (the front-application tracker on the main thread):
// answers the address last read for a browser process and refreshes it off the main thread,
// announcing a changed address, so a record follows the browser's navigation.
class BrowserAddressCache : public QObject {
    Q_OBJECT
public:
    explicit BrowserAddressCache(QObject* parent = nullptr);

    // Immediate; absent for non-browsers and before the first read of that process.
    std::optional<QString> addressFor(const ActiveAppInfo& app);
    std::optional<QString> cached(std::int32_t pid) const;

Q_SIGNALS:
    // An empty `url` means the browser no longer shows a readable address.
    void addressChanged(std::int32_t pid, const QString& url);

private:
    void refresh(std::int32_t pid, const QString& bundleId);

    QHash<std::int32_t, QString> m_addresses;
    QSet<std::int32_t> m_refreshing;
};
