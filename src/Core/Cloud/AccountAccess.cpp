#include "Core/Cloud/AccountAccess.h"

#include "Foundation/Config.h"
#include "Foundation/UserDefaults.h"

#include <mutex>

namespace {

std::mutex g_providerMutex;
AccountAccess::TokenSourceProvider g_provider;

AbstractAccessTokenSource* installedSource() {
    AccountAccess::TokenSourceProvider provider;
    {
        std::lock_guard lock(g_providerMutex);
        provider = g_provider;
    }
    return provider ? &provider() : nullptr;
}

struct Origin {
    QString scheme;
    QString host;
    int port = -1;
    bool operator==(const Origin&) const = default;
};

std::optional<Origin> originOf(const QUrl& url) {
    if (!url.isValid() || url.host().isEmpty()) return std::nullopt;
    const QString scheme = url.scheme().toLower();
    const int defaultPort = scheme == "https" ? 443 : scheme == "http" ? 80 : -1;
    return Origin{scheme, url.host().toLower(), url.port(defaultPort)};
}

}  // namespace

namespace AccountAccess {

void setTokenSource(TokenSourceProvider provider) {
    std::lock_guard lock(g_providerMutex);
    g_provider = std::move(provider);
}

QCoro::Task<std::optional<QString>> getAccessToken() {
    AbstractAccessTokenSource* source = installedSource();
    if (!source) co_return std::nullopt;
    co_return co_await source->getAccessToken();
}

std::optional<QString> cachedAccessToken() {
    const AbstractAccessTokenSource* source = installedSource();
    return source ? source->cachedAccessToken() : std::nullopt;
}

QCoro::Task<std::optional<QString>> replaceRefusedToken(QString refused) {
    AbstractAccessTokenSource* source = installedSource();
    if (!source) co_return std::nullopt;
    co_return co_await source->replaceRefusedToken(std::move(refused));
}

QString serverBase() {
    const QString fromDefaults = UserDefaults::shared().string(QStringLiteral("cloudServerURL"));
    return fromDefaults.isEmpty() ? Config::defaultServerURL() : fromDefaults;
}

bool mayCarryToken(const QUrl& url) {
    const auto target = originOf(url);
    const auto account = originOf(QUrl(serverBase()));
    return target && account && *target == *account;
}

}  // namespace AccountAccess
