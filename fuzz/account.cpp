// What the account server and the browser hand back: the user record of a sign-in reply (with
// its round trip), access tokens (their expiry is read from the unverified payload) and the
// sign-in callback URL. Fields are split at 0x1F: user JSON, token, callback URL.
#include "FuzzSupport.h"

#include "Auth/AuthManager.h"

#include <QJsonDocument>
#include <QUrl>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fuzz::initialize();
    const QStringList parts = Fuzz::fields(data, size, 3);

    const QJsonObject object = QJsonDocument::fromJson(parts[0].toUtf8()).object();
    if (const auto user = AuthManager::AuthUser::fromJson(object)) {
        const auto again = AuthManager::AuthUser::fromJson(user->toJson());
        Fuzz::check(again.has_value() && *again == *user, "account user round trip");
    }

    (void)AuthManager::isTokenExpired(parts[1]);

    // A callback with no sign-in in progress must be refused without reaching the network.
    AuthManager account;
    account.handleURL(QUrl(parts[2]));
    account.handleURL(QUrl(parts[2], QUrl::StrictMode));
    Fuzz::check(!account.isAuthenticated(), "a stray callback signed the user in", parts[2]);
    return 0;
}
