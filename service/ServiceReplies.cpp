#include "ServiceReplies.h"

#include <QHttpServerRequest>
#include <QJsonDocument>

namespace ServiceReplies {

QHttpServerResponse errorReply(QHttpServerResponse::StatusCode status, const QString& detail) {
    return QHttpServerResponse(QJsonObject{{"detail", detail}}, status);
}

std::optional<QJsonObject> jsonObjectBody(const QHttpServerRequest& request, QHttpServerResponse* error,
                                          qsizetype maxBytes, const QString& tooLargeDetail) {
    if (request.body().size() > maxBytes) {
        *error = errorReply(QHttpServerResponse::StatusCode::PayloadTooLarge, tooLargeDetail);
        return std::nullopt;
    }
    const QJsonDocument doc = QJsonDocument::fromJson(request.body());
    if (!doc.isObject()) {
        *error = errorReply(QHttpServerResponse::StatusCode::BadRequest, QStringLiteral("body is not a JSON object"));
        return std::nullopt;
    }
    return doc.object();
}

}  // namespace ServiceReplies
