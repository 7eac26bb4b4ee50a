#include "support/ConsentBrowser.h"

#include "support/TestEnvironment.h"

#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>

QJsonObject HttpResult::json() const { return QJsonDocument::fromJson(body).object(); }

HttpResult httpRequest(const QByteArray& method, const QUrl& url, const QByteArray& body,
                       const QList<QPair<QByteArray, QByteArray>>& headers) {
    static QNetworkAccessManager* manager = new QNetworkAccessManager;
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    for (const auto& [name, value] : headers) request.setRawHeader(name, value);
    if (!body.isEmpty() && !request.hasRawHeader("Content-Type"))
        request.setRawHeader("Content-Type", "application/json");
    QNetworkReply* reply = manager->sendCustomRequest(request, method, body);
    if (!waitUntil([reply] { return reply->isFinished(); }, std::chrono::seconds(30))) reply->abort();
    HttpResult out{reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll(),
                   reply->rawHeader("Location")};
    reply->deleteLater();
    return out;
}

QUrl acceptConsent(const QUrl& authorization, QString* error, int port, QByteArray* page) {
    auto fail = [error](const QString& why) {
        if (error) *error = why;
        return QUrl();
    };
    QUrl address = authorization;
    if (port >= 0) address.setPort(port);
    const HttpResult shown = httpRequest("GET", address);
    if (page) *page = shown.body;
    if (shown.status != 200)
        return fail(QStringLiteral("consent page: %1 %2").arg(shown.status).arg(QString::fromUtf8(shown.body)));
    const auto nonce = QRegularExpression(R"re(name="nonce" value="([^"]+)")re").match(QString::fromUtf8(shown.body));
    if (!nonce.hasMatch()) return fail(QStringLiteral("consent page without a form"));
    const HttpResult accepted =
        httpRequest("POST", address.adjusted(QUrl::RemoveQuery), "nonce=" + nonce.captured(1).toLatin1(),
                    {{"Content-Type", "application/x-www-form-urlencoded"}});
    if (accepted.status != 302) return fail(QStringLiteral("consent: %1").arg(accepted.status));
    const HttpResult returned = httpRequest("GET", QUrl::fromEncoded(accepted.location));
    if (returned.status != 302) return fail(QStringLiteral("callback hop: %1").arg(returned.status));
    return QUrl::fromEncoded(returned.location);
}
