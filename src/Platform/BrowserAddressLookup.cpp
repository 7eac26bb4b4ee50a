#include "Platform/BrowserAddressLookup.h"

#include "Foundation/MainThread.h"
#include "Platform/Atspi/AtspiClient.h"

#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QtConcurrent/QtConcurrentRun>

#include <QCoro/QCoroFuture>

const QStringList BrowserAddressLookup::browserNames = {
    QStringLiteral("safari"),
    QStringLiteral("chrome"),
    QStringLiteral("firefox"),
    QStringLiteral("arc"),
    QStringLiteral("brave"),
    QStringLiteral("edge"),
    QStringLiteral("opera"),
    // Chromium's ids carry no "chrome".
    QStringLiteral("chromium"),
};

bool BrowserAddressLookup::isBrowser(const QString& bundleId) {
    const QString lowered = bundleId.toLower();
    for (const QString& name : browserNames)
        if (lowered.contains(name)) return true;
    return false;
}

std::optional<QString> BrowserAddressLookup::lookup(std::int32_t pid, const QString& bundleId) {
    if (pid <= 0 || !isBrowser(bundleId)) return std::nullopt;
    return AtspiClient::shared().findAddressBarText(pid, maxDepth, maxChildren);
}

void BrowserAddressLookup::lookupAsync(std::int32_t pid, const QString& bundleId, QObject* context,
                                       std::function<void(std::optional<QString>)> done) {
    QPointer<QObject> guard(context);
    (void)QtConcurrent::run([pid, bundleId, guard, done = std::move(done)] {
        std::optional<QString> url = lookup(pid, bundleId);
        // The guard is only looked at on the main thread, where the context lives.
        runOnMain([guard, done, url] {
            if (guard && done) done(url);
        });
    });
}

QCoro::Task<std::optional<QString>> BrowserAddressLookup::lookupTask(std::int32_t pid, QString bundleId) {
    // Named first: g++ 12 mishandles lambda temporaries inside co_await expressions.
    QFuture<std::optional<QString>> looking = QtConcurrent::run([pid, bundleId] { return lookup(pid, bundleId); });
    co_return co_await looking;
}

QCoro::Task<std::optional<QString>> BrowserAddressLookup::lookupForApp(ActiveAppInfo app) {
    return lookupTask(app.pid, app.bundleId);
}

BrowserAddressCache::BrowserAddressCache(QObject* parent) : QObject(parent) {}

std::optional<QString> BrowserAddressCache::cached(std::int32_t pid) const {
    const auto it = m_addresses.constFind(pid);
    if (it == m_addresses.constEnd()) return std::nullopt;
    return *it;
}

std::optional<QString> BrowserAddressCache::addressFor(const ActiveAppInfo& app) {
    if (app.pid <= 0 || !BrowserAddressLookup::isBrowser(app.bundleId)) return std::nullopt;
    refresh(app.pid, app.bundleId);
    return cached(app.pid);
}

void BrowserAddressCache::refresh(std::int32_t pid, const QString& bundleId) {
    if (m_refreshing.contains(pid)) return;  // one read per process at a time; its answer serves every caller
    m_refreshing.insert(pid);
    BrowserAddressLookup::lookupAsync(pid, bundleId, this, [this, pid](std::optional<QString> url) {
        m_refreshing.remove(pid);
        const std::optional<QString> before = cached(pid);
        if (url)
            m_addresses.insert(pid, *url);
        else
            m_addresses.remove(pid);
        if (before != url) Q_EMIT addressChanged(pid, url.value_or(QString()));
    });
}
