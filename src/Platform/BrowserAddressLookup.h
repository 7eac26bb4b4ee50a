#pragma once

#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <cstdint>
#include <functional>
#include <optional>

class QObject;

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
};
