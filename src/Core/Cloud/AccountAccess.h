#pragma once

#include <QString>
#include <QUrl>

#include <QCoro/QCoroTask>

#include <functional>
#include <optional>

// Where the network clients get the signed-in account's bearer token. The account layer
// implements it; the program installs its source at start (see AccountAccess::setTokenSource).
class AbstractAccessTokenSource {
public:
    virtual ~AbstractAccessTokenSource() = default;

    // A usable access token, refreshed first when it is about to expire; nothing when there is
    // none or it cannot be refreshed now. Main thread.
    virtual QCoro::Task<std::optional<QString>> getAccessToken() = 0;
    // The stored access token without expiry test or refresh. Any thread.
    virtual std::optional<QString> cachedAccessToken() const = 0;
    // A server refused `refused`, an access token this source gave out, whatever its expiry
    // says (revoked, or the server lost its sessions). Answers the token to try instead: the
    // stored one when it has changed meanwhile, else the one a refresh gives. A refresh the
    // server refuses, and a refusal of the token such a refresh just gave, sign out. Nothing
    // when there is no token to try. Main thread.
    virtual QCoro::Task<std::optional<QString>> replaceRefusedToken(QString refused) {
        (void)refused;
        co_return std::nullopt;
    }
};

// The account server as the network clients see it.
namespace AccountAccess {

// Hands out the token source; asked on each use, so the source may be created lazily. Install
// it before any client runs; without one, every request goes without a token.
using TokenSourceProvider = std::function<AbstractAccessTokenSource&()>;
void setTokenSource(TokenSourceProvider provider);

// The installed source's answers; nothing without a source.
QCoro::Task<std::optional<QString>> getAccessToken();
std::optional<QString> cachedAccessToken();
QCoro::Task<std::optional<QString>> replaceRefusedToken(QString refused);

// The account server's base: the user default "cloudServerURL", else the built-in server.
QString serverBase();
// Whether `url` belongs to the account server (same scheme, host and port), the only place a
// bearer token may be sent.
bool mayCarryToken(const QUrl& url);

}  // namespace AccountAccess
