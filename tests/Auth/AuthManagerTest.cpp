#include "Auth/AuthManager.h"

#include "Core/Cloud/NetworkSession.h"
#include "Foundation/Clock.h"
#include "Foundation/Config.h"
#include "Foundation/StringShield.h"
#include "Foundation/UserDefaults.h"
#include "support/LogText.h"
#include "support/LoopbackVendorServer.h"
#include "support/TestEnvironment.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QUrlQuery>
#include <QUuid>

#include <QCoro/QCoroTask>

#include <gtest/gtest.h>

#include <memory>

namespace {

QString storedString(const QString& key) { return UserDefaults::shared().string(key); }

class AuthManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The stored session of the case before must not sign this one in.
        for (const QString& key : {AuthManager::accessTokenKey, AuthManager::refreshTokenKey, AuthManager::userDataKey})
            UserDefaults::shared().remove(key);
        logStart = logMark();
        ASSERT_TRUE(server.start());
        UserDefaults::shared().setValue("cloudServerURL", server.baseUrl());
        Clock::setCurrent(&clock);
        AuthManager::setURLOpener([this](const QUrl& url) {
            opened.append(url);
            return true;
        });
    }
    void TearDown() override {
        // Sign-out requests run on after the call returns; let them end while the server answers.
        EXPECT_TRUE(waitUntil([] { return NetworkSession::requestsInFlight() == 0; }));
        AuthManager::setURLOpener({});
        Clock::setCurrent(nullptr);
    }

    // The log lines of this case.
    QString loggedText() const { return loggedTextSince(logStart); }

    double nowSeconds() const { return clock.now().toMSecsSinceEpoch() / 1000.0; }

    QString tokenExpiringIn(double seconds) const {
        return LoopbackVendorServer::makeJwt(QJsonObject{{"exp", nowSeconds() + seconds}});
    }

    // Stores a server-issued pair, as an earlier sign-in would have.
    LoopbackVendorServer::TokenPair storeIssuedTokens() {
        const auto pair = server.issueTokens();
        UserDefaults::shared().setValue(AuthManager::accessTokenKey, pair.accessToken);
        UserDefaults::shared().setValue(AuthManager::refreshTokenKey, pair.refreshToken);
        return pair;
    }

    // Starts a sign-in and gives the callback URL the browser would deliver for it.
    QUrl startSignIn(AuthManager& auth) {
        auth.signInWithGoogle();
        EXPECT_FALSE(opened.isEmpty());
        if (opened.isEmpty()) return {};
        QString error;
        const QUrl callback = server.authorize(opened.last(), &error);
        EXPECT_TRUE(callback.isValid()) << error.toStdString();
        return callback;
    }

    std::optional<QString> token(AuthManager& auth) { return QCoro::waitFor(auth.getAccessToken()); }

    ManualClock clock;
    qsizetype logStart = 0;
    LoopbackVendorServer server;
    QList<QUrl> opened;
};

TEST_F(AuthManagerTest, StartsFromTheStoredState) {
    struct Case {
        const char* name;
        std::optional<QString> accessToken;
        std::optional<QJsonObject> profile;
        bool signedIn;
        bool hasUser;
    };
    QJsonObject withoutPlan = LoopbackVendorServer::defaultUser();
    withoutPlan.remove("plan");
    const Case cases[] = {
        {"nothing stored", std::nullopt, std::nullopt, false, false},
        {"empty token", QString(""), LoopbackVendorServer::defaultUser(), false, false},
        {"token and profile", QString("a.b.c"), LoopbackVendorServer::defaultUser(), true, true},
        {"profile lacking plan", QString("a.b.c"), withoutPlan, true, false},
        {"token without profile", QString("a.b.c"), std::nullopt, true, false},
    };
    for (const Case& c : cases) {
        auto& store = UserDefaults::shared();
        store.remove(AuthManager::accessTokenKey);
        store.remove(AuthManager::userDataKey);
        if (c.accessToken) store.setValue(AuthManager::accessTokenKey, *c.accessToken);
        if (c.profile) store.setValue(AuthManager::userDataKey, QString::fromUtf8(QJsonDocument(*c.profile).toJson()));
        AuthManager auth;
        EXPECT_EQ(auth.isAuthenticated(), c.signedIn) << c.name;
        EXPECT_EQ(auth.currentUser().has_value(), c.hasUser) << c.name;
        EXPECT_FALSE(auth.isLoading()) << c.name;
        EXPECT_EQ(auth.googleClientID(), Config::googleClientID());
    }
}

TEST_F(AuthManagerTest, VerifierAndChallengeAreUnpaddedBase64Url) {
    const QRegularExpression alphabet("^[A-Za-z0-9_-]{43}$");
    const QString verifier = AuthManager::generateCodeVerifier();
    const QString challenge = AuthManager::generateCodeChallenge(verifier);
    EXPECT_TRUE(alphabet.match(verifier).hasMatch()) << verifier.toStdString();
    EXPECT_TRUE(alphabet.match(challenge).hasMatch()) << challenge.toStdString();
    EXPECT_EQ(challenge,
              QString::fromLatin1(QCryptographicHash::hash(verifier.toUtf8(), QCryptographicHash::Sha256)
                                      .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals)));
    EXPECT_NE(AuthManager::generateCodeVerifier(), verifier);
}

TEST_F(AuthManagerTest, SignsInThroughTheServer) {
    AuthManager auth;
    QSignalSpy authenticated(&auth, &AuthManager::isAuthenticatedChanged);
    const QUrl callback = startSignIn(auth);
    EXPECT_TRUE(auth.isLoading());

    // The authorisation URL: exactly these items, in this order.
    ASSERT_EQ(opened.size(), 1);
    const QUrl authUrl = opened.first();
    EXPECT_EQ(authUrl.toString(QUrl::RemoveQuery), StringShield::googleAuthBase());
    const auto items = QUrlQuery(authUrl).queryItems(QUrl::FullyDecoded);
    QStringList names;
    for (const auto& item : items) names << item.first;
    EXPECT_EQ(names, QStringList({"client_id", "redirect_uri", "response_type", "scope", "code_challenge",
                                  "code_challenge_method", "access_type", "prompt", "state"}));
    const QUrlQuery q(authUrl);
    EXPECT_EQ(q.queryItemValue("client_id"), Config::googleClientID());
    EXPECT_EQ(q.queryItemValue("redirect_uri", QUrl::FullyDecoded),
              server.baseUrl() + StringShield::pathAuthCallback());
    EXPECT_EQ(q.queryItemValue("response_type"), "code");
    EXPECT_EQ(q.queryItemValue("scope", QUrl::FullyDecoded), "openid email profile");
    EXPECT_EQ(q.queryItemValue("code_challenge_method"), "S256");
    EXPECT_EQ(q.queryItemValue("access_type"), "offline");
    EXPECT_EQ(q.queryItemValue("prompt"), "select_account");
    EXPECT_FALSE(QUuid::fromString(q.queryItemValue("state")).isNull());

    auth.handleURL(callback);
    ASSERT_TRUE(waitUntil([&] { return !auth.isLoading(); }));
    EXPECT_TRUE(auth.isAuthenticated());
    EXPECT_EQ(authenticated.count(), 1);
    EXPECT_FALSE(auth.hasErrorMessage());
    ASSERT_TRUE(auth.currentUser().has_value());
    EXPECT_EQ(auth.currentUser()->toJson(), LoopbackVendorServer::defaultUser());

    // The server accepted the verifier against the challenge and issued live tokens.
    const auto exchanges = server.requests(StringShield::pathAuthToken());
    ASSERT_EQ(exchanges.size(), 1);
    EXPECT_EQ(exchanges[0].header("Content-Type"), StringShield::mimeJSON().toUtf8());
    EXPECT_FALSE(exchanges[0].hasHeader("Authorization"));
    EXPECT_EQ(exchanges[0].json().keys(), QStringList({"code", "code_verifier"}));
    EXPECT_TRUE(server.isValidAccessToken(storedString(AuthManager::accessTokenKey)));
    EXPECT_TRUE(server.isLiveRefreshToken(storedString(AuthManager::refreshTokenKey)));
    EXPECT_EQ(QJsonDocument::fromJson(storedString(AuthManager::userDataKey).toUtf8()).object(),
              LoopbackVendorServer::defaultUser());

    const QString log = loggedText();
    EXPECT_TRUE(log.contains("Auth: Opened Google sign-in in default browser"));
    EXPECT_TRUE(log.contains("Auth: Google sign-in successful — ada@example.com"));
    EXPECT_FALSE(log.contains(QUrlQuery(callback).queryItemValue("code")));
    EXPECT_FALSE(log.contains(storedString(AuthManager::accessTokenKey)));

    // The verifier was spent: replaying the callback cannot exchange again.
    auth.handleURL(callback);
    ASSERT_TRUE(waitUntil([&] { return auth.hasErrorMessage(); }));
    EXPECT_EQ(server.requestCount(StringShield::pathAuthToken()), 1);
    EXPECT_TRUE(auth.isAuthenticated());
}

TEST_F(AuthManagerTest, AcceptsOnlyCallbacksMeantForIt) {
    struct Case {
        const char* name;
        QString url;  // "%1" stands for the state of the sign-in in progress
        bool exchanges;
        QString errorMessage;  // expected when it does not exchange; empty: ignored
    };
    const Case cases[] = {
        {"host auth", "vantrose://auth?code=C&state=%1", true, {}},
        {"callback path", "vantrose://other/oauth/callback?code=C&state=%1", true, {}},
        {"code beats error", "vantrose://auth?code=C&error=denied&state=%1", true, {}},
        {"error only", "vantrose://auth?code=&error=access_denied&state=%1", false,
         "Google sign-in failed: access_denied"},
        {"unrelated URL", "vantrose://settings/open?code=C&state=%1", false, {}},
        {"path case matters", "vantrose://x/Callback?code=C&state=%1", false, {}},
        {"no code nor error", "vantrose://auth?state=%1", false, {}},
        {"foreign state", "vantrose://auth?code=C&state=forged", false,
         "Sign-in could not be verified. Please try again."},
        {"missing state", "vantrose://auth?code=C", false, "Sign-in could not be verified. Please try again."},
        {"error with foreign state", "vantrose://auth?error=denied&state=forged", false,
         "Sign-in could not be verified. Please try again."},
    };
    for (const Case& c : cases) {
        AuthManager auth;
        auth.signInWithGoogle();
        const QString state = QUrlQuery(opened.last()).queryItemValue("state");
        server.clearRequests();
        auth.handleURL(QUrl(QString(c.url).replace("%1", state)));
        if (c.exchanges) {
            ASSERT_TRUE(waitUntil([&] { return !auth.isLoading(); })) << c.name;
            // "C" is no code the server issued, so the exchange itself is refused.
            EXPECT_EQ(server.requestCount(StringShield::pathAuthToken()), 1) << c.name;
            EXPECT_EQ(server.requests().value(0).json().value("code").toString(), "C") << c.name;
        } else {
            QCoreApplication::processEvents();
            EXPECT_EQ(server.requestCount(StringShield::pathAuthToken()), 0) << c.name;
            EXPECT_EQ(auth.errorMessage(), c.errorMessage) << c.name;
            EXPECT_EQ(auth.isLoading(), c.errorMessage.isEmpty()) << c.name;
        }
        EXPECT_FALSE(auth.isAuthenticated()) << c.name;
    }
}

TEST_F(AuthManagerTest, ForgedCallbackDoesNotSpoilTheRealOne) {
    AuthManager auth;
    const QUrl callback = startSignIn(auth);
    QUrl forged = callback;
    QUrlQuery q(forged);
    q.removeAllQueryItems("state");
    q.addQueryItem("state", "attacker");
    forged.setQuery(q);
    auth.handleURL(forged);
    EXPECT_EQ(auth.errorMessage(), "Sign-in could not be verified. Please try again.");

    auth.handleURL(callback);
    ASSERT_TRUE(waitUntil([&] { return auth.isAuthenticated(); }));
    EXPECT_FALSE(auth.hasErrorMessage());
    EXPECT_EQ(server.requestCount(StringShield::pathAuthToken()), 1);
}

TEST_F(AuthManagerTest, CodeWithoutASignInInProgressNeedsTheVerifier) {
    AuthManager auth;  // as after a restart: nothing in memory
    auth.handleURL(QUrl("vantrose://auth?code=C&state=S"));
    EXPECT_EQ(auth.errorMessage(), "Missing PKCE verifier");
    EXPECT_FALSE(auth.isLoading());
    EXPECT_EQ(server.requests().size(), 0);
}

TEST_F(AuthManagerTest, ReportsEveryWayTheExchangeFails) {
    QJsonObject userWithoutKey = LoopbackVendorServer::defaultUser();
    userWithoutKey.remove("api_key");
    struct Case {
        const char* name;
        LoopbackReply reply;
        QString errorMessage;
    };
    const Case cases[] = {
        {"HTML error page", LoopbackReply::html(500), "Invalid response format"},
        {"malformed JSON", LoopbackReply::malformedJson(200), "Invalid response format"},
        {"detail shown", LoopbackReply::error(401, "Your account is suspended"), "Your account is suspended"},
        {"detail not a string", LoopbackReply::json(QJsonObject{{"detail", 5}}, 401), "Request failed"},
        {"no detail", LoopbackReply::json(QJsonObject{}, 403), "Request failed"},
        {"dropped connection", LoopbackReply::drop(), "Connection failed. Check your internet."},
        {"no tokens", LoopbackReply::json(QJsonObject{{"user", LoopbackVendorServer::defaultUser()}}),
         "Invalid server response"},
        {"refresh token missing",
         LoopbackReply::json(QJsonObject{{"user", userWithoutKey}, {"tokens", QJsonObject{{"access_token", "x"}}}}),
         "Invalid server response"},
        {"empty access token",
         LoopbackReply::json(QJsonObject{{"user", LoopbackVendorServer::defaultUser()},
                                         {"tokens", QJsonObject{{"access_token", ""}, {"refresh_token", "r"}}}}),
         "Invalid server response"},
    };
    for (const Case& c : cases) {
        AuthManager auth;
        const QUrl callback = startSignIn(auth);
        server.scriptAlways("POST", StringShield::pathAuthToken(), c.reply);
        auth.handleURL(callback);
        ASSERT_TRUE(waitUntil([&] { return !auth.isLoading(); }, std::chrono::seconds(10))) << c.name;
        EXPECT_EQ(auth.errorMessage(), c.errorMessage) << c.name;
        EXPECT_FALSE(auth.isAuthenticated()) << c.name;
        EXPECT_TRUE(storedString(AuthManager::accessTokenKey).isEmpty()) << c.name;
        server.clearScripts();
    }
    EXPECT_FALSE(loggedText().contains("sign-in successful"));
}

TEST_F(AuthManagerTest, ReplyWithAnIncompleteProfileStillSignsIn) {
    QJsonObject user = LoopbackVendorServer::defaultUser();
    user.remove("api_key");
    server.setUser(user);
    AuthManager auth;
    auth.handleURL(startSignIn(auth));
    ASSERT_TRUE(waitUntil([&] { return !auth.isLoading(); }));
    EXPECT_TRUE(auth.isAuthenticated());
    EXPECT_FALSE(auth.currentUser().has_value());
    EXPECT_FALSE(UserDefaults::shared().contains(AuthManager::userDataKey));
    EXPECT_FALSE(storedString(AuthManager::refreshTokenKey).isEmpty());
    EXPECT_TRUE(loggedText().contains("Auth: Google sign-in successful — ?"));
}

TEST_F(AuthManagerTest, WithoutABrowserTheSignInStopsWithAMessage) {
    for (const bool installed : {false, true}) {
        if (installed)
            AuthManager::setURLOpener([](const QUrl&) { return false; });
        else
            AuthManager::setURLOpener({});
        AuthManager auth;
        auth.signInWithGoogle();
        EXPECT_FALSE(auth.isLoading()) << installed;
        EXPECT_EQ(auth.errorMessage(), "Could not open the browser for sign-in") << installed;
    }
    EXPECT_FALSE(loggedText().contains("Opened Google sign-in"));
}

TEST_F(AuthManagerTest, JudgesExpiryFromThePayloadWithAMinuteMargin) {
    auto jwt = [](const QByteArray& payload) {
        return "h." +
               QString::fromLatin1(payload.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals)) +
               ".s";
    };
    const qint64 now = static_cast<qint64>(nowSeconds());
    const QByteArray ahead61 = "{\"exp\":" + QByteArray::number(now + 61) + "}";
    // Payload bytes chosen so base64url needs "-" and "_" and is not a multiple of 4 long.
    const QByteArray urlChars = "{\"exp\":" + QByteArray::number(now + 3600) + ",\"k\":\">>>???~~~\"}";
    ASSERT_TRUE(jwt(urlChars).contains('-') || jwt(urlChars).contains('_'));
    struct Case {
        const char* name;
        QString token;
        bool expired;
    };
    const Case cases[] = {
        {"61 s ahead", jwt(ahead61), false},
        {"59 s ahead", jwt("{\"exp\":" + QByteArray::number(now + 59) + "}"), true},
        {"fractional exp", jwt("{\"exp\":" + QByteArray::number(now + 60.5, 'f', 1) + "}"), false},
        {"base64url alphabet", jwt(urlChars), false},
        {"empty pieces dropped", "h..." + jwt(ahead61).mid(2), false},
        {"two parts", jwt(ahead61).section('.', 0, 1) + ".", true},
        {"exp a string", jwt("{\"exp\":\"" + QByteArray::number(now + 3600) + "\"}"), true},
        {"exp missing", jwt("{\"sub\":\"x\"}"), true},
        {"payload not JSON", jwt("not json"), true},
        {"payload an array", jwt("[1]"), true},
        {"not base64", "h.@@@.s", true},
        {"empty", "", true},
    };
    for (const Case& c : cases) EXPECT_EQ(AuthManager::isTokenExpired(c.token), c.expired) << c.name;
}

TEST_F(AuthManagerTest, GivesAValidTokenWithoutAsking) {
    const auto pair = storeIssuedTokens();
    AuthManager auth;
    EXPECT_EQ(token(auth), pair.accessToken);
    EXPECT_EQ(server.requests().size(), 0);
}

TEST_F(AuthManagerTest, RefreshesAnExpiringTokenAndStoresTheRotatedPair) {
    server.setAccessTokenLifetime(120);
    const auto first = storeIssuedTokens();
    AuthManager auth;
    clock.advance(std::chrono::seconds(61));  // 59 s left: inside the margin
    const auto refreshed = token(auth);
    ASSERT_TRUE(refreshed.has_value());
    EXPECT_NE(*refreshed, first.accessToken);
    EXPECT_TRUE(server.isValidAccessToken(*refreshed));
    EXPECT_FALSE(server.isLiveRefreshToken(first.refreshToken));
    EXPECT_TRUE(server.isLiveRefreshToken(storedString(AuthManager::refreshTokenKey)));
    EXPECT_EQ(storedString(AuthManager::accessTokenKey), *refreshed);

    const auto refreshes = server.requests("/auth/refresh");
    ASSERT_EQ(refreshes.size(), 1);
    EXPECT_EQ(refreshes[0].json(), (QJsonObject{{"refresh_token", first.refreshToken}}));
    EXPECT_FALSE(refreshes[0].hasHeader("Authorization"));
    EXPECT_EQ(token(auth), refreshed) << "the new token is good for a while";
    EXPECT_EQ(server.requests("/auth/refresh").size(), 1);
}

TEST_F(AuthManagerTest, ConcurrentCallersShareOneRefresh) {
    UserDefaults::shared().setValue(AuthManager::accessTokenKey, tokenExpiringIn(10));
    UserDefaults::shared().setValue(AuthManager::refreshTokenKey, server.issueTokens().refreshToken);
    server.scriptNext("POST", "/auth/refresh", LoopbackReply::normal().after(100));
    AuthManager auth;

    std::vector<std::optional<QString>> results(3);
    int done = 0;
    auto call = [&](int i) -> QCoro::Task<void> {
        results[i] = co_await auth.getAccessToken();
        ++done;
    };
    std::vector<QCoro::Task<void>> tasks;
    for (int i = 0; i < 3; ++i) tasks.push_back(call(i));
    ASSERT_TRUE(waitUntil([&] { return done == 3; }));

    EXPECT_EQ(server.requests("/auth/refresh").size(), 1);
    ASSERT_TRUE(results[0].has_value());
    EXPECT_TRUE(server.isValidAccessToken(*results[0]));
    EXPECT_EQ(results[1], results[0]);
    EXPECT_EQ(results[2], results[0]);
    EXPECT_TRUE(auth.isAuthenticated());
}

TEST_F(AuthManagerTest, OnlyARejectedRefreshSignsOut) {
    struct Case {
        const char* name;
        std::optional<LoopbackReply> reply;  // nothing: the server's own answer to a spent token
        bool signsOut;
    };
    const Case cases[] = {
        {"unknown refresh token", std::nullopt, true},
        {"400", LoopbackReply::error(400, "bad"), true},
        {"403 HTML", LoopbackReply::html(403), true},
        {"500 HTML", LoopbackReply::html(500), false},
        {"503 JSON", LoopbackReply::error(503, "maintenance"), false},
        {"429", LoopbackReply::error(429, "slow down"), false},
        {"dropped connection", LoopbackReply::drop(), false},
        {"malformed 200", LoopbackReply::malformedJson(200), false},
        {"200 without refresh token", LoopbackReply::json(QJsonObject{{"tokens", QJsonObject{{"access_token", "x"}}}}),
         false},
        {"200 with an empty access token",
         LoopbackReply::json(QJsonObject{{"tokens", QJsonObject{{"access_token", ""}, {"refresh_token", "r"}}}}),
         false},
    };
    for (const Case& c : cases) {
        const QString access = tokenExpiringIn(30);
        const QString refresh = c.reply ? server.issueTokens().refreshToken : QStringLiteral("spent");
        UserDefaults::shared().setValue(AuthManager::accessTokenKey, access);
        UserDefaults::shared().setValue(AuthManager::refreshTokenKey, refresh);
        UserDefaults::shared().setValue(AuthManager::userDataKey,
                                        QJsonDocument(LoopbackVendorServer::defaultUser()).toJson());
        if (c.reply) server.scriptAlways("POST", "/auth/refresh", *c.reply);
        AuthManager auth;
        ASSERT_TRUE(auth.isAuthenticated()) << c.name;

        EXPECT_EQ(token(auth), std::nullopt) << c.name;
        EXPECT_EQ(auth.isAuthenticated(), !c.signsOut) << c.name;
        EXPECT_EQ(auth.currentUser().has_value(), !c.signsOut) << c.name;
        EXPECT_EQ(storedString(AuthManager::accessTokenKey), c.signsOut ? QString() : access) << c.name;
        EXPECT_EQ(storedString(AuthManager::refreshTokenKey), c.signsOut ? QString() : refresh) << c.name;
        EXPECT_FALSE(auth.hasErrorMessage()) << c.name;
        server.clearScripts();
    }
}

// A server refused a token that has not expired (revoked, or the server lost its sessions): it
// is refreshed at once; a refusal of the refreshed one signs out, as a refused refresh does; a
// token replaced meanwhile is simply the one to try.
TEST_F(AuthManagerTest, RefusedTokenIsRefreshedOnceThenSignsOut) {
    const auto first = storeIssuedTokens();
    UserDefaults::shared().setValue(AuthManager::userDataKey,
                                    QJsonDocument(LoopbackVendorServer::defaultUser()).toJson());
    AuthManager auth;
    const auto refused = [&](const QString& token) { return QCoro::waitFor(auth.replaceRefusedToken(token)); };

    EXPECT_EQ(refused(QStringLiteral("an older token")), first.accessToken);  // replaced meanwhile
    EXPECT_TRUE(server.requests("/auth/refresh").isEmpty());

    const std::optional<QString> second = refused(first.accessToken);
    ASSERT_TRUE(second.has_value());
    EXPECT_NE(*second, first.accessToken);
    EXPECT_TRUE(server.isValidAccessToken(*second));
    EXPECT_EQ(storedString(AuthManager::accessTokenKey), *second);
    EXPECT_EQ(server.requests("/auth/refresh").size(), 1);
    EXPECT_TRUE(auth.isAuthenticated());

    EXPECT_EQ(refused(*second), std::nullopt);  // refused again: no second refresh
    EXPECT_EQ(server.requests("/auth/refresh").size(), 1);
    EXPECT_FALSE(auth.isAuthenticated());
    EXPECT_TRUE(storedString(AuthManager::accessTokenKey).isEmpty());
    EXPECT_TRUE(storedString(AuthManager::refreshTokenKey).isEmpty());
    EXPECT_EQ(refused(*second), std::nullopt);  // signed out: nothing to try

    // The server refuses the refresh too (its sessions are gone): signed out at the first refusal.
    const auto revoked = storeIssuedTokens();
    UserDefaults::shared().setValue(AuthManager::userDataKey,
                                    QJsonDocument(LoopbackVendorServer::defaultUser()).toJson());
    server.scriptAlways("POST", "/auth/refresh", LoopbackReply::error(401, "Invalid refresh token"));
    AuthManager again;
    ASSERT_TRUE(again.isAuthenticated());
    EXPECT_EQ(QCoro::waitFor(again.replaceRefusedToken(revoked.accessToken)), std::nullopt);
    EXPECT_FALSE(again.isAuthenticated());
    EXPECT_TRUE(loggedText().contains("Auth: Refresh token rejected by the server (401)"));
}

TEST_F(AuthManagerTest, ExpiredTokenWithoutRefreshTokenSendsNothing) {
    UserDefaults::shared().setValue(AuthManager::accessTokenKey, tokenExpiringIn(-5));
    AuthManager auth;
    EXPECT_EQ(token(auth), std::nullopt);
    EXPECT_TRUE(auth.isAuthenticated());
    EXPECT_EQ(server.requests().size(), 0);
}

TEST_F(AuthManagerTest, CachedTokenSkipsTheExpiryTest) {
    AuthManager auth;
    EXPECT_EQ(auth.cachedAccessToken(), std::nullopt);
    UserDefaults::shared().setValue(AuthManager::accessTokenKey, "");
    EXPECT_EQ(auth.cachedAccessToken(), std::nullopt);
    const QString expired = tokenExpiringIn(-3600);
    UserDefaults::shared().setValue(AuthManager::accessTokenKey, expired);
    EXPECT_EQ(auth.cachedAccessToken(), expired);
    EXPECT_EQ(server.requests().size(), 0);
}

TEST_F(AuthManagerTest, SignOutForgetsEverythingAndTellsTheServer) {
    const auto pair = storeIssuedTokens();
    UserDefaults::shared().setValue(AuthManager::userDataKey,
                                    QJsonDocument(LoopbackVendorServer::defaultUser()).toJson());
    AuthManager auth;
    QSignalSpy authenticated(&auth, &AuthManager::isAuthenticatedChanged);
    auth.logout();

    EXPECT_FALSE(auth.isAuthenticated());
    EXPECT_EQ(authenticated.count(), 1);
    EXPECT_FALSE(auth.currentUser().has_value());
    for (const QString& key : {AuthManager::accessTokenKey, AuthManager::refreshTokenKey, AuthManager::userDataKey})
        EXPECT_FALSE(UserDefaults::shared().contains(key)) << key.toStdString();
    ASSERT_TRUE(waitUntil([&] { return !server.isValidAccessToken(pair.accessToken); }));
    const auto logouts = server.requests("/auth/logout");
    ASSERT_EQ(logouts.size(), 1);
    EXPECT_EQ(logouts[0].header("Authorization"), "Bearer " + pair.accessToken.toUtf8());
    EXPECT_EQ(logouts[0].header("Content-Type"), StringShield::mimeJSON().toUtf8());
    EXPECT_TRUE(logouts[0].body.isEmpty());
    EXPECT_TRUE(loggedText().contains("Auth: Signed out"));
}

// Nothing goes on speaking for the account after sign-out: a request in flight with its token
// is stopped; one without a token runs on; the sign-out request itself still reaches the server.
TEST_F(AuthManagerTest, SignOutStopsTheRequestsThatCarryTheAccount) {
    const auto pair = storeIssuedTokens();
    server.scriptAlways("POST", "/slow", LoopbackReply::hang());
    const auto send = [&](bool withToken, std::optional<HttpResponse>& out) -> QCoro::Task<> {
        QNetworkRequest request(QUrl(server.baseUrl() + "/slow"));
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        if (withToken) request.setRawHeader("Authorization", "Bearer " + pair.accessToken.toUtf8());
        out = co_await NetworkSession::perform(NetworkSession::platformSession(), request, "POST", "{}",
                                               std::chrono::seconds(3));
    };
    std::optional<HttpResponse> account, anonymous;
    send(true, account);
    send(false, anonymous);
    ASSERT_TRUE(waitUntil([&] { return server.requestCount("/slow") == 2; }));

    AuthManager auth;
    auth.logout();
    ASSERT_TRUE(waitUntil([&] { return account.has_value(); }, std::chrono::milliseconds(1500)));
    EXPECT_FALSE(account->received);
    EXPECT_EQ(account->error, QNetworkReply::OperationCanceledError);
    EXPECT_FALSE(anonymous.has_value());
    ASSERT_TRUE(waitUntil([&] { return server.requestCount("/auth/logout") == 1; }));
    ASSERT_TRUE(waitUntil([&] { return anonymous.has_value(); }));
    EXPECT_EQ(anonymous->error, QNetworkReply::TimeoutError);
}

TEST_F(AuthManagerTest, SignOutWhileSignedOutSendsNothing) {
    AuthManager auth;
    auth.logout();
    QCoreApplication::processEvents();
    EXPECT_EQ(server.requests().size(), 0);
    EXPECT_FALSE(auth.isAuthenticated());
    EXPECT_TRUE(loggedText().contains("Auth: Signed out"));
}

TEST_F(AuthManagerTest, SignOutWithAnUnusableServerAddressStaysLocal) {
    storeIssuedTokens();
    UserDefaults::shared().setValue("cloudServerURL", "not a url");
    AuthManager auth;
    auth.logout();
    EXPECT_FALSE(auth.isAuthenticated());
    EXPECT_TRUE(loggedText().contains("Auth: The server address does not form a valid URL"));
}

TEST_F(AuthManagerTest, BearerTokensGoOnlyToTheAccountServer) {
    const QString base = server.baseUrl();
    struct Case {
        QString url;
        bool allowed;
    };
    const Case cases[] = {
        {base + "/v1/events", true},
        {base + "/v1/transcribe?x=1", true},
        {QString(base).replace("127.0.0.1", "127.0.0.2") + "/v1/events", false},
        {"http://127.0.0.1:1/v1/events", false},
        {QString(base).replace("http://", "https://") + "/v1/events", false},
        {"https://evil.example/v1/events", false},
    };
    for (const Case& c : cases) EXPECT_EQ(AuthManager::mayCarryToken(QUrl(c.url)), c.allowed) << c.url.toStdString();

    UserDefaults::shared().setValue("cloudServerURL", "https://api.example.com");
    EXPECT_TRUE(AuthManager::mayCarryToken(QUrl("https://API.example.com:443/v1/format")));
    EXPECT_FALSE(AuthManager::mayCarryToken(QUrl("http://api.example.com/v1/format")));
}

}  // namespace
