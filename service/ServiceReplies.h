#pragma once

#include <QHttpServerResponse>
#include <QJsonObject>
#include <QString>

#include <optional>

class QHttpServerRequest;

// What every route of the service answers with, and how it reads a JSON body.
namespace ServiceReplies {

// The default cap of a JSON request body.
inline constexpr qsizetype kMaxJsonBody = 1 << 20;

// A JSON error the program reads: {"detail": ...} with the status.
QHttpServerResponse errorReply(QHttpServerResponse::StatusCode status, const QString& detail);

// The request's body as a JSON object; otherwise nothing, and `error` holds the reply: 413 with
// `tooLargeDetail` over `maxBytes`, 400 when the body is not a JSON object.
std::optional<QJsonObject> jsonObjectBody(const QHttpServerRequest& request, QHttpServerResponse* error,
                                          qsizetype maxBytes = kMaxJsonBody,
                                          const QString& tooLargeDetail = QStringLiteral("request body too large"));

}  // namespace ServiceReplies
