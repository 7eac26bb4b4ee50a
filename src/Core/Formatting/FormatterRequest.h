#pragma once

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>

#include <chrono>
#include <optional>

// The HTTP exchanges the language-model formatters share, on the platform's shared session.
class FormatterRequest {
public:
    // base + path, or FormatterRequestError (badURL) naming `what` when that is no http(s) URL.
    static QUrl urlOrThrow(const QString& base, const QString& path, const QString& what);

    // GETs base + path; the body when the reply is status 200 and a JSON object, else nothing.
    // Never fails.
    static QCoro::Task<std::optional<QJsonObject>> getObject(QString base, QString path,
                                                             std::chrono::milliseconds timeout);

    // POSTs `body` and gives the reply object, which has a string `requiredMember`. Throws
    // FormatterRequestError for transport and JSON failures, FormattingError::ollamaRequestFailed
    // for a status other than 200 and FormattingError::invalidResponse for a reply without the member.
    static QCoro::Task<QJsonObject> postForObject(QNetworkRequest request, QByteArray body,
                                                  std::chrono::milliseconds timeout, QString requiredMember);
};
