#include "support/LoopbackVendorServer.h"
#include "support/TestEnvironment.h"

#include "Foundation/StringShield.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <memory>

namespace {

struct Result {
    int status = 0;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QByteArray body;
};

class LoopbackVendorServerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }

    Result send(const QByteArray& method, const QString& path, const QByteArray& body = {}, int timeoutMs = 5000) {
        QNetworkRequest request(QUrl(server.baseUrl() + path));
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        request.setTransferTimeout(timeoutMs);
        QNetworkReply* reply = nam.sendCustomRequest(request, method, body);
        EXPECT_TRUE(waitUntil([&] { return reply->isFinished(); }, std::chrono::milliseconds(timeoutMs + 2000)));
        Result r;
        r.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        r.error = reply->error();
        r.body = reply->readAll();
        reply->deleteLater();
        return r;
    }

    static QJsonObject object(const QByteArray& body) { return QJsonDocument::fromJson(body).object(); }

    LoopbackVendorServer server;
    QNetworkAccessManager nam;
};

TEST_F(LoopbackVendorServerTest, RecordsRequestsAndKeepsConnectionsAlive) {
    const Result first = send("GET", StringShield::pathHealth() + "?probe=1");
    EXPECT_EQ(first.status, 200);
    EXPECT_EQ(object(first.body).value("version").toString(), "1.0.0-loopback");
    const Result second = send("POST", StringShield::pathEvents(), R"({"events":[]})");
    EXPECT_EQ(second.status, 200);

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].path, StringShield::pathHealth());
    EXPECT_EQ(requests[0].query.queryItemValue("probe"), "1");
    EXPECT_EQ(requests[1].header("content-type"), "application/json");
    EXPECT_EQ(requests[1].body, R"({"events":[]})");
    EXPECT_EQ(requests[0].connectionId, requests[1].connectionId);
    EXPECT_EQ(server.connectionCount(), 1);
}

TEST_F(LoopbackVendorServerTest, ScriptedRepliesComeFirstThenTheRouteAnswersAgain) {
    const QString health = StringShield::pathHealth();
    server.scriptNext("GET", health, LoopbackReply::html(503));
    server.scriptNext("GET", health, LoopbackReply::malformedJson());
    // Qt resends once when a reused connection closes without an answer, so drop twice.
    server.scriptNext("GET", health, LoopbackReply::drop());
    server.scriptNext("GET", health, LoopbackReply::drop());
    server.scriptNext("GET", health, LoopbackReply::normal().after(50));

    const Result html = send("GET", health);
    EXPECT_EQ(html.status, 503);
    EXPECT_TRUE(html.body.contains("<html>"));
    const Result malformed = send("GET", health);
    EXPECT_EQ(malformed.status, 200);
    EXPECT_TRUE(QJsonDocument::fromJson(malformed.body).isNull());
    const Result dropped = send("GET", health);
    EXPECT_EQ(dropped.status, 0);
    EXPECT_NE(dropped.error, QNetworkReply::NoError);
    EXPECT_EQ(send("GET", health).status, 200);
    EXPECT_EQ(send("GET", "/nowhere").status, 404);
    EXPECT_EQ(send("DELETE", health).status, 405);
}

TEST_F(LoopbackVendorServerTest, HangingRouteLeavesTheClientToTimeOut) {
    server.scriptAlways("GET", StringShield::pathHealth(), LoopbackReply::hang());
    const Result r = send("GET", StringShield::pathHealth(), {}, 200);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.error, QNetworkReply::NoError);
}

TEST_F(LoopbackVendorServerTest, CustomRoutesReplaceHandlers) {
    server.route("PUT", "/v1/settings", [](const RecordedRequest& r) {
        return LoopbackReply::json(QJsonObject{{"echo", r.json().value("x")}}, 201);
    });
    const Result r = send("PUT", "/v1/settings", R"({"x":7})");
    EXPECT_EQ(r.status, 201);
    EXPECT_EQ(object(r.body).value("echo").toInt(), 7);
}

TEST_F(LoopbackVendorServerTest, TokenExchangeChecksTheChallengeAgainstTheVerifier) {
    const QByteArray verifier = "a-verifier-that-is-long-enough-for-the-check-000";
    const QString challenge =
        QString::fromLatin1(QCryptographicHash::hash(verifier, QCryptographicHash::Sha256)
                                .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
    auto authorizeUrl = [&] {
        QUrl url("https://accounts.example.test/o/oauth2/auth");
        QUrlQuery q;
        q.addQueryItem("client_id", "client");
        q.addQueryItem("redirect_uri", server.baseUrl() + StringShield::pathAuthCallback());
        q.addQueryItem("response_type", "code");
        q.addQueryItem("code_challenge", challenge);
        q.addQueryItem("code_challenge_method", "S256");
        q.addQueryItem("state", "s1");
        url.setQuery(q);
        return url;
    };
    QString error;
    const QUrl callback = server.authorize(authorizeUrl(), &error);
    ASSERT_TRUE(callback.isValid()) << error.toStdString();
    EXPECT_EQ(QUrlQuery(callback).queryItemValue("state"), "s1");
    const QString code = QUrlQuery(callback).queryItemValue("code");

    auto exchange = [&](const QString& c, const QByteArray& v) {
        return send("POST", StringShield::pathAuthToken(),
                    QJsonDocument(QJsonObject{{"code", c}, {"code_verifier", QString::fromLatin1(v)}}).toJson());
    };
    const Result wrong = exchange(code, "another-verifier");
    EXPECT_EQ(wrong.status, 400);
    EXPECT_EQ(object(wrong.body).value("detail").toString(), "PKCE verification failed");
    EXPECT_EQ(exchange(code, verifier).status, 400) << "a code is good for one attempt only";

    const QString code2 = QUrlQuery(server.authorize(authorizeUrl())).queryItemValue("code");
    const Result ok = exchange(code2, verifier);
    ASSERT_EQ(ok.status, 200);
    const QJsonObject tokens = object(ok.body).value("tokens").toObject();
    EXPECT_TRUE(server.isValidAccessToken(tokens.value("access_token").toString()));
    EXPECT_EQ(object(ok.body).value("user").toObject(), LoopbackVendorServer::defaultUser());
}

TEST_F(LoopbackVendorServerTest, RefreshRotatesAndLogoutRevokes) {
    const auto pair = server.issueTokens();
    auto refresh = [&](const QString& token) {
        return send("POST", "/auth/refresh", QJsonDocument(QJsonObject{{"refresh_token", token}}).toJson());
    };
    const Result first = refresh(pair.refreshToken);
    ASSERT_EQ(first.status, 200);
    const QJsonObject tokens = object(first.body).value("tokens").toObject();
    EXPECT_FALSE(server.isValidAccessToken(pair.accessToken));
    EXPECT_EQ(refresh(pair.refreshToken).status, 401) << "a rotated refresh token is spent";

    QNetworkRequest request(QUrl(server.baseUrl() + "/auth/logout"));
    request.setRawHeader("Authorization", "Bearer " + tokens.value("access_token").toString().toUtf8());
    QNetworkReply* reply = nam.post(request, QByteArray());
    ASSERT_TRUE(waitUntil([&] { return reply->isFinished(); }));
    reply->deleteLater();
    EXPECT_FALSE(server.isValidAccessToken(tokens.value("access_token").toString()));
    EXPECT_EQ(refresh(tokens.value("refresh_token").toString()).status, 401);
}

TEST_F(LoopbackVendorServerTest, UpgradeRequestsAreHandedOver) {
    QTcpSocket* handed = nullptr;
    server.setUpgradeHandler([&](QTcpSocket* s) { handed = s; });
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.port());
    ASSERT_TRUE(client.waitForConnected(2000));
    client.write("GET /v1/ws/transcribe HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n");
    ASSERT_TRUE(waitUntil([&] { return handed != nullptr; }));
    EXPECT_GT(handed->bytesAvailable(), 0) << "the handshake stays unread for the new owner";
    EXPECT_EQ(server.requestCount("/v1/ws/transcribe"), 1);
}

TEST_F(LoopbackVendorServerTest, ClearingAnEarlierOwnersUpgradeHandlerKeepsTheCurrentOne) {
    // A streaming server replaced by a new one is destroyed after its successor installed itself.
    int old = 0, current = 0;
    server.setUpgradeHandler([&](QTcpSocket*) { ++current; }, &current);
    server.clearUpgradeHandler(&old);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.port());
    ASSERT_TRUE(client.waitForConnected(2000));
    client.write("GET /v1/ws/transcribe HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n");
    EXPECT_TRUE(waitUntil([&] { return current == 1; }));
}

}  // namespace
