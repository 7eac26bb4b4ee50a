#pragma once

#include "Core/Cloud/AbstractAccount.h"
#include "Core/Cloud/AccountAccess.h"

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QUrl>

#include <QCoro/QCoroTask>

#include <functional>
#include <optional>

// The account object: Google sign-in through the vendor's server (authorisation code with PKCE),
// the tokens kept in the user defaults, their refresh, and sign-out. Main thread only, except
// cachedAccessToken(), which any thread may call.
class AuthManager : public AbstractAccount, public AbstractAccessTokenSource {
    Q_OBJECT
public:
    struct AuthUser {
        QString id;
        QString email;
        QString name;
        QString picture;
        QString plan;
        QString apiKey;  // "api_key"

        // Absent when any of the six members is missing or not a string.
        static std::optional<AuthUser> fromJson(const QJsonObject& object);
        QJsonObject toJson() const;
        bool operator==(const AuthUser&) const = default;
    };

    // Opens a URL in the user's default browser; true when it was handed over. The application
    // installs one backed by the desktop; without one, sign-in reports that no browser opened.
    using URLOpener = std::function<bool(const QUrl&)>;
    static void setURLOpener(URLOpener opener);

    static AuthManager& shared();
    // Makes the shared instance the network clients' token source (created on first use).
    static void installAsTokenSource();
    // Reads the stored sign-in state. Tests build their own instances.
    explicit AuthManager(QObject* parent = nullptr);
    ~AuthManager() override;

    bool isAuthenticated() const override { return m_isAuthenticated; }
    const std::optional<AuthUser>& currentUser() const { return m_currentUser; }
    std::optional<QString> currentUserEmail() const override;
    bool isLoading() const override { return m_isLoading; }
    // Empty when there is no error.
    QString errorMessage() const override { return m_errorMessage.value_or(QString()); }
    bool hasErrorMessage() const override { return m_errorMessage.has_value(); }
    QString googleClientID() const { return m_googleClientID; }

    void signInWithGoogle() override;
    void handleURL(const QUrl& url);

    // A usable access token, refreshed first when it expires within a minute; nothing when
    // there is none or it cannot be refreshed now. Concurrent callers share one refresh.
    QCoro::Task<std::optional<QString>> getAccessToken() override;
    // The stored access token without expiry test or refresh. Any thread.
    std::optional<QString> cachedAccessToken() const override;
    // A server refused `refused`: the stored token when it changed meanwhile; else the tokens
    // are refreshed at once and the new access token answered. A refused refresh signs out, and
    // so does a refusal of the token such a refresh just gave.
    QCoro::Task<std::optional<QString>> replaceRefusedToken(QString refused) override;
    void logout() override;

    // Whether `url` belongs to the account server (same scheme, host and port), the only place
    // a bearer token may be sent.
    static bool mayCarryToken(const QUrl& url);
    // The account server's base: the user default "cloudServerURL", else the built-in server.
    static QString serverBase();

    static const QString accessTokenKey;   // "com.vantrose.accessToken"
    static const QString refreshTokenKey;  // "com.vantrose.refreshToken"
    static const QString userDataKey;      // "com.vantrose.userData"

    // Exposed for tests.
    static QString generateCodeVerifier();
    static QString generateCodeChallenge(const QString& verifier);
    static bool isTokenExpired(const QString& token);

Q_SIGNALS:
    // Internal: a refresh finished; waiting callers pick up its outcome.
    void refreshFinished(bool refreshed);

private:
    struct PostResult {
        enum class Kind { Ok, Rejected, Failed };
        Kind kind = Kind::Failed;
        QJsonObject object;  // when Ok
        QString message;     // when Rejected: the error shown to the user
        int status = 0;      // HTTP status when a response arrived
    };

    QCoro::Task<void> exchangeCode(QString code);
    QCoro::Task<PostResult> postJSON(QString path, QJsonObject body);
    bool handleAuthResponse(const QJsonObject& reply);
    QCoro::Task<bool> refreshTokenIfNeeded();
    QCoro::Task<bool> performRefresh();
    QCoro::Task<void> postLogout(QString accessToken);
    static std::optional<QUrl> serverURL(const QString& path);

    void setAuthenticated(bool value);
    void setCurrentUser(std::optional<AuthUser> user);
    void setLoading(bool value);
    void setErrorMessage(std::optional<QString> message);

    bool m_isAuthenticated = false;
    std::optional<AuthUser> m_currentUser;
    bool m_isLoading = false;
    std::optional<QString> m_errorMessage;
    QString m_googleClientID;
    std::optional<QString> m_codeVerifier;  // memory only
    std::optional<QString> m_oauthState;    // memory only; checked on the callback
    bool m_refreshInFlight = false;
    // The access token the last refresh after a refusal gave; refused again, it signs out.
    std::optional<QString> m_refreshedAfterRefusal;
};
