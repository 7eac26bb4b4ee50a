#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>

// A plain HTTP client that plays the browser against the local service: it never follows
// redirects by itself, so each hop can be checked.
struct HttpResult {
    int status = 0;
    QByteArray body;
    QByteArray location;
    QJsonObject json() const;
};

HttpResult httpRequest(const QByteArray& method, const QUrl& url, const QByteArray& body = {},
                       const QList<QPair<QByteArray, QByteArray>>& headers = {});

// What a browser does with the authorisation URL the program opened: loads the consent page,
// accepts it, follows the service's redirect, and gives the program's callback URL. `port`, when
// set, replaces the URL's port (a test service on a port of its own). An invalid URL and `error`
// set when a hop fails.
QUrl acceptConsent(const QUrl& authorization, QString* error, int port = -1, QByteArray* page = nullptr);
