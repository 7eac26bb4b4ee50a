#include "Auth/AuthManager.h"

#include "Core/Cloud/AccountAccess.h"

#include "Auth/LogCategories.h"
#include "Core/Cloud/NetworkSession.h"
#include "Foundation/Clock.h"
#include "Foundation/Config.h"
#include "Foundation/Logger.h"
#include "Foundation/StringShield.h"
#include "Foundation/UserDefaults.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QJsonDocument>
#include <QPointer>
#include <QRandomGenerator>
#include <QUrlQuery>
#include <QUuid>

#include <QCoro/QCoroSignal>

#include <chrono>

const QString AuthManager::accessTokenKey = QStringLiteral("com.vantrose.accessToken");
const QString AuthManager::refreshTokenKey = QStringLiteral("com.vantrose.refreshToken");
const QString AuthManager::userDataKey = QStringLiteral("com.vantrose.userData");

namespace {

const QString kConnectionFailed = QStringLiteral("Connection failed. Check your internet.");
const QString kStateMismatch = QStringLiteral("Sign-in could not be verified. Please try again.");
constexpr auto kRequestTimeout = std::chrono::seconds(60);
// Longer than a refresh request can take, so a waiting caller never outlives the one in flight.
constexpr auto kRefreshWaitLimit = std::chrono::seconds(90);

AuthManager::URLOpener& urlOpener() {
    static AuthManager::URLOpener opener;
    return opener;
}

QString base64Url(const QByteArray& bytes) {
    return QString::fromLatin1(bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

// A rejection of the refresh token itself, as opposed to the server or the network failing.
bool isRejection(int status) { return status == 400 || status == 401 || status == 403; }

// A token pair the program can use: an access token to send (an empty one would leave the program
// signed in with nothing to send) and a refresh token as a string.
bool holdsUsableTokens(const QJsonValue& tokens) {
    return tokens.isObject() && tokens["access_token"].isString() && !tokens["access_token"].toString().isEmpty() &&
           tokens["refresh_token"].isString();
}

}  // namespace

// ---------------------------------------------------------------- AuthUser

std::optional<AuthManager::AuthUser> AuthManager::AuthUser::fromJson(const QJsonObject& o) {
    for (const char* key : {"id", "email", "name", "picture", "plan", "api_key"})
        if (!o.value(QLatin1String(key)).isString()) return std::nullopt;
    return AuthUser{o.value("id").toString(),      o.value("email").toString(), o.value("name").toString(),
                    o.value("picture").toString(), o.value("plan").toString(),  o.value("api_key").toString()};
}

QJsonObject AuthManager::AuthUser::toJson() const {
    return QJsonObject{{"id", id},           {"email", email}, {"name", name},
                       {"picture", picture}, {"plan", plan},   {"api_key", apiKey}};
}

// ---------------------------------------------------------------- construction

void AuthManager::setURLOpener(URLOpener opener) { urlOpener() = std::move(opener); }

AuthManager& AuthManager::shared() {
    // Kept for the process; created on the main thread's side even when first asked for elsewhere.
    static AuthManager* instance = [] {
        auto* a = new AuthManager;
        if (auto* app = QCoreApplication::instance(); app && a->thread() != app->thread())
            a->moveToThread(app->thread());
        return a;
    }();
    return *instance;
}

void AuthManager::installAsTokenSource() {
    AccountAccess::setTokenSource([]() -> AbstractAccessTokenSource& { return shared(); });
}

AuthManager::AuthManager(QObject* parent) : AbstractAccount(parent), m_googleClientID(Config::googleClientID()) {
    auto& store = UserDefaults::shared();
    if (store.string(accessTokenKey).isEmpty()) return;
    m_isAuthenticated = true;
    const QString userData = store.string(userDataKey);
    if (!userData.isEmpty()) m_currentUser = AuthUser::fromJson(QJsonDocument::fromJson(userData.toUtf8()).object());
}

AuthManager::~AuthManager() = default;

QString AuthManager::serverBase() { return AccountAccess::serverBase(); }

std::optional<QUrl> AuthManager::serverURL(const QString& path) { return NetworkSession::joinURL(serverBase(), path); }

bool AuthManager::mayCarryToken(const QUrl& url) { return AccountAccess::mayCarryToken(url); }

// ---------------------------------------------------------------- published state

void AuthManager::setAuthenticated(bool value) {
    if (m_isAuthenticated == value) return;
    m_isAuthenticated = value;
    Q_EMIT isAuthenticatedChanged(value);
}

std::optional<QString> AuthManager::currentUserEmail() const {
    if (!m_currentUser) return std::nullopt;
    return m_currentUser->email;
}

void AuthManager::setCurrentUser(std::optional<AuthUser> user) {
    if (m_currentUser == user) return;
    m_currentUser = std::move(user);
    Q_EMIT currentUserChanged();
}

void AuthManager::setLoading(bool value) {
    if (m_isLoading == value) return;
    m_isLoading = value;
    Q_EMIT isLoadingChanged(value);
}

void AuthManager::setErrorMessage(std::optional<QString> message) {
    if (m_errorMessage == message) return;
    m_errorMessage = std::move(message);
    Q_EMIT errorMessageChanged(errorMessage());
}

// ---------------------------------------------------------------- PKCE sign-in

QString AuthManager::generateCodeVerifier() {
    QByteArray bytes(32, Qt::Uninitialized);
    QRandomGenerator::system()->generate(reinterpret_cast<quint32*>(bytes.data()),
                                         reinterpret_cast<quint32*>(bytes.data() + bytes.size()));
    return base64Url(bytes);
}

QString AuthManager::generateCodeChallenge(const QString& verifier) {
    return base64Url(QCryptographicHash::hash(verifier.toUtf8(), QCryptographicHash::Sha256));
}

void AuthManager::signInWithGoogle() {
    setLoading(true);
    setErrorMessage(std::nullopt);

    m_codeVerifier = generateCodeVerifier();
    const QString challenge = generateCodeChallenge(*m_codeVerifier);
    // Kept so the callback can prove it answers this sign-in and not one forged by a web page.
    m_oauthState = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    const QString redirectURI = serverBase() + StringShield::pathAuthCallback();

    QUrl url(StringShield::googleAuthBase(), QUrl::StrictMode);
    QUrlQuery query;
    query.setQueryItems({{"client_id", m_googleClientID},
                         {"redirect_uri", redirectURI},
                         {"response_type", "code"},
                         {"scope", "openid email profile"},
                         {"code_challenge", challenge},
                         {"code_challenge_method", "S256"},
                         {"access_type", "offline"},
                         {"prompt", "select_account"},
                         {"state", *m_oauthState}});
    if (url.isValid() && !url.isRelative()) url.setQuery(query);
    if (!url.isValid() || url.isRelative()) {
        setErrorMessage(QStringLiteral("Failed to build auth URL"));
        setLoading(false);
        return;
    }

    const URLOpener& open = urlOpener();
    if (!open) {
        VLOG_WARNING(lcAuth) << "No browser opener installed; cannot open the sign-in page";
    } else if (open(url)) {
        VLOG_INFO(lcAuth) << "Opened Google sign-in in default browser";
        return;  // isLoading stays set until the callback arrives
    } else {
        VLOG_WARNING(lcAuth) << "The default browser could not be opened for sign-in";
    }
    setErrorMessage(QStringLiteral("Could not open the browser for sign-in"));
    setLoading(false);
}

void AuthManager::handleURL(const QUrl& url) {
    if (!url.isValid()) return;
    if (url.host() != "auth" && !url.path().contains("callback")) return;

    const QUrlQuery query(url);
    const QString code = query.queryItemValue("code", QUrl::FullyDecoded);
    const QString error = query.queryItemValue("error", QUrl::FullyDecoded);
    if (code.isEmpty() && error.isEmpty()) return;

    const bool stateMatches = m_oauthState && query.queryItemValue("state", QUrl::FullyDecoded) == *m_oauthState;
    // A code with no sign-in in progress is reported as such by the exchange.
    if (!stateMatches && (m_codeVerifier || code.isEmpty())) {
        VLOG_WARNING(lcAuth) << "Ignored a sign-in callback that does not belong to the sign-in in progress";
        setErrorMessage(kStateMismatch);
        setLoading(false);
        return;
    }
    if (!code.isEmpty()) {
        (void)exchangeCode(code);
        return;
    }
    setErrorMessage("Google sign-in failed: " + error);
    setLoading(false);
}

QCoro::Task<void> AuthManager::exchangeCode(QString code) {
    QPointer<AuthManager> self(this);
    if (!m_codeVerifier) {
        setErrorMessage(QStringLiteral("Missing PKCE verifier"));
        setLoading(false);
        co_return;
    }
    const QString verifier = *m_codeVerifier;
    // Built outside the co_await: GCC 12 mis-compiles brace-initialised literals inside one.
    QJsonObject body;
    body.insert(QStringLiteral("code"), code);
    body.insert(QStringLiteral("code_verifier"), verifier);
    const PostResult result = co_await postJSON(StringShield::pathAuthToken(), body);
    if (!self) co_return;

    switch (result.kind) {
    case PostResult::Kind::Ok: {
        const bool accepted = handleAuthResponse(result.object);
        // The code is spent either way; a newer sign-in's verifier stays.
        if (m_codeVerifier == verifier) {
            m_codeVerifier.reset();
            m_oauthState.reset();
        }
        if (accepted)
            VLOG_INFO(lcAuth) << "Google sign-in successful — "
                              << (m_currentUser ? m_currentUser->email : QStringLiteral("?"));
        else
            VLOG_WARNING(lcAuth) << "Sign-in reply was not accepted";
        break;
    }
    case PostResult::Kind::Rejected:
        VLOG_WARNING(lcAuth) << "Sign-in failed — " << result.message;
        setErrorMessage(result.message);
        break;
    case PostResult::Kind::Failed: setErrorMessage(kConnectionFailed); break;
    }
    setLoading(false);
}

bool AuthManager::handleAuthResponse(const QJsonObject& reply) {
    const QJsonValue user = reply.value("user");
    const QJsonValue tokens = reply.value("tokens");
    if (!user.isObject() || !holdsUsableTokens(tokens)) {
        setErrorMessage(QStringLiteral("Invalid server response"));
        return false;
    }
    auto& store = UserDefaults::shared();
    store.setValue(accessTokenKey, tokens["access_token"].toString());
    store.setValue(refreshTokenKey, tokens["refresh_token"].toString());

    const QByteArray userJSON = QJsonDocument(user.toObject()).toJson(QJsonDocument::Compact);
    if (auto decoded = AuthUser::fromJson(QJsonDocument::fromJson(userJSON).object())) {
        setCurrentUser(decoded);
        store.setValue(userDataKey, QString::fromUtf8(userJSON));
    }
    setAuthenticated(true);
    setErrorMessage(std::nullopt);
    return true;
}

QCoro::Task<AuthManager::PostResult> AuthManager::postJSON(QString path, QJsonObject body) {
    PostResult out;
    const auto url = serverURL(path);
    if (!url) {
        VLOG_WARNING(lcAuth) << "The server address does not form a valid URL: " << serverBase() << path;
        co_return out;
    }
    QNetworkRequest request(*url);
    request.setTransferTimeout(NetworkSession::transferTimeout(kRequestTimeout));
    request.setRawHeader(StringShield::hdrContentType().toUtf8(), StringShield::mimeJSON().toUtf8());
    const HttpResponse response = co_await NetworkSession::perform(NetworkSession::platformSession(), request, "POST",
                                                                   QJsonDocument(body).toJson(QJsonDocument::Compact));
    if (!response.received) {
        VLOG_WARNING(lcAuth) << "Request to " << path << " failed — " << response.errorString;
        co_return out;
    }
    out.status = response.status;
    const QJsonDocument doc = QJsonDocument::fromJson(response.body);
    if (!doc.isObject()) {
        out.kind = PostResult::Kind::Rejected;
        out.message = QStringLiteral("Invalid response format");
        co_return out;
    }
    const QJsonObject object = doc.object();
    if (response.status >= 400) {
        out.kind = PostResult::Kind::Rejected;
        const QJsonValue detail = object.value("detail");
        out.message = detail.isString() ? detail.toString() : QStringLiteral("Request failed");
        co_return out;
    }
    out.kind = PostResult::Kind::Ok;
    out.object = object;
    co_return out;
}

// ---------------------------------------------------------------- tokens

std::optional<QString> AuthManager::cachedAccessToken() const {
    const QString token = UserDefaults::shared().string(accessTokenKey);
    if (token.isEmpty()) return std::nullopt;
    return token;
}

bool AuthManager::isTokenExpired(const QString& token) {
    const QStringList parts = token.split('.', Qt::SkipEmptyParts);
    if (parts.size() != 3) return true;
    QByteArray payload = parts[1].toLatin1();
    payload.replace('-', '+').replace('_', '/');
    payload.append(QByteArray((4 - payload.size() % 4) % 4, '='));
    const auto decoded = QByteArray::fromBase64Encoding(payload, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded) return true;
    const QJsonDocument doc = QJsonDocument::fromJson(*decoded);
    if (!doc.isObject()) return true;
    const QJsonValue exp = doc.object().value("exp");
    if (!exp.isDouble()) return true;
    // The claim is in seconds since the epoch; a token this close to its end counts as expired.
    constexpr auto kExpiryMargin = std::chrono::seconds(60);
    const double now = Clock::current().now().toMSecsSinceEpoch() / 1000.0;
    return exp.toDouble() - toSeconds(kExpiryMargin) < now;
}

QCoro::Task<std::optional<QString>> AuthManager::getAccessToken() {
    QPointer<AuthManager> self(this);
    const std::optional<QString> token = cachedAccessToken();
    if (!token) co_return std::nullopt;
    if (!isTokenExpired(*token)) co_return token;
    const bool refreshed = co_await refreshTokenIfNeeded();
    if (!self || !refreshed) co_return std::nullopt;
    co_return cachedAccessToken();
}

QCoro::Task<std::optional<QString>> AuthManager::replaceRefusedToken(QString refused) {
    QPointer<AuthManager> self(this);
    const std::optional<QString> stored = cachedAccessToken();
    if (!stored) co_return std::nullopt;
    // A refresh or a new sign-in replaced the refused token since it was sent: try that one.
    if (*stored != refused) co_return stored;
    if (m_refreshedAfterRefusal == refused) {
        // Refreshed because the server refused the token before it, and refused as well: these
        // tokens will not do, whatever the refresh said. The ending of a refused refresh.
        VLOG_WARNING(lcAuth) << "The server refused the refreshed access token as well";
        logout();
        co_return std::nullopt;
    }
    VLOG_WARNING(lcAuth) << "The server refused the access token; refreshing it";
    const bool refreshed = co_await refreshTokenIfNeeded();
    if (!self || !refreshed) co_return std::nullopt;
    const std::optional<QString> replacement = cachedAccessToken();
    m_refreshedAfterRefusal = replacement;
    co_return replacement;
}

QCoro::Task<bool> AuthManager::refreshTokenIfNeeded() {
    if (m_refreshInFlight) {
        const auto outcome = co_await qCoro(this, &AuthManager::refreshFinished, kRefreshWaitLimit);
        co_return outcome.value_or(false);
    }
    QPointer<AuthManager> self(this);
    m_refreshInFlight = true;
    const bool refreshed = co_await performRefresh();
    if (!self) co_return false;
    m_refreshInFlight = false;
    Q_EMIT refreshFinished(refreshed);
    co_return refreshed;
}

QCoro::Task<bool> AuthManager::performRefresh() {
    QPointer<AuthManager> self(this);
    auto& store = UserDefaults::shared();
    const QString refreshToken = store.string(refreshTokenKey);
    if (refreshToken.isEmpty()) co_return false;

    QJsonObject body;
    body.insert(QStringLiteral("refresh_token"), refreshToken);
    const PostResult result = co_await postJSON(StringShield::pathAuthRefresh(), body);
    if (!self) co_return false;
    if (store.string(refreshTokenKey) != refreshToken) {
        // Signed out or in again meanwhile: this reply is about credentials that are gone.
        co_return cachedAccessToken().has_value();
    }

    if (result.kind == PostResult::Kind::Ok) {
        const QJsonValue tokens = result.object.value("tokens");
        if (holdsUsableTokens(tokens)) {
            store.setValue(accessTokenKey, tokens["access_token"].toString());
            store.setValue(refreshTokenKey, tokens["refresh_token"].toString());
            co_return true;
        }
        VLOG_WARNING(lcAuth) << "Token refresh reply carried no tokens";
        co_return false;
    }
    if (result.kind == PostResult::Kind::Rejected && isRejection(result.status)) {
        VLOG_WARNING(lcAuth) << QStringLiteral("Refresh token rejected by the server (%1)").arg(result.status);
        logout();
        co_return false;
    }
    // The server or the network failed; the tokens may still be good next time.
    if (result.status > 0)
        VLOG_WARNING(lcAuth) << "Token refresh failed with status " << result.status << "; keeping the stored tokens";
    else
        VLOG_WARNING(lcAuth) << "Token refresh failed; keeping the stored tokens";
    co_return false;
}

// ---------------------------------------------------------------- sign-out

void AuthManager::logout() {
    auto& store = UserDefaults::shared();
    // Nothing goes on speaking for the account; the sign-out request, sent next, is the last.
    NetworkSession::abortAccountRequests();
    if (const auto token = cachedAccessToken()) (void)postLogout(*token);
    store.remove(accessTokenKey);
    store.remove(refreshTokenKey);
    store.remove(userDataKey);
    setAuthenticated(false);
    setCurrentUser(std::nullopt);
    setErrorMessage(std::nullopt);
    VLOG_INFO(lcAuth) << "Signed out";
}

QCoro::Task<void> AuthManager::postLogout(QString accessToken) {
    const auto url = serverURL(StringShield::pathAuthLogout());
    if (!url) {
        VLOG_WARNING(lcAuth) << "The server address does not form a valid URL: " << serverBase()
                             << StringShield::pathAuthLogout();
        co_return;
    }
    QNetworkRequest request(*url);
    request.setTransferTimeout(NetworkSession::transferTimeout(kRequestTimeout));
    request.setRawHeader(StringShield::hdrContentType().toUtf8(), StringShield::mimeJSON().toUtf8());
    request.setRawHeader(StringShield::hdrAuth().toUtf8(), (StringShield::hdrBearer() + accessToken).toUtf8());
    co_await NetworkSession::perform(NetworkSession::platformSession(), request, "POST", {});
}
