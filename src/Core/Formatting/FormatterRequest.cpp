#include "Core/Formatting/FormatterRequest.h"

#include "Core/Cloud/NetworkSession.h"
#include "Core/Formatting/FormattingResult.h"

#include <QJsonDocument>
#include <QJsonParseError>

QUrl FormatterRequest::urlOrThrow(const QString& base, const QString& path, const QString& what) {
    const auto url = NetworkSession::joinURL(base, path);
    if (!url)
        throw FormatterRequestError(FormatterRequestError::Kind::badURL,
                                    QStringLiteral("Invalid ") + what + QStringLiteral(" URL"));
    return *url;
}

QCoro::Task<std::optional<QJsonObject>> FormatterRequest::getObject(QString base, QString path,
                                                                    std::chrono::milliseconds timeout) {
    const auto url = NetworkSession::joinURL(base, path);
    if (!url) co_return std::nullopt;
    const HttpResponse response = co_await NetworkSession::perform(
        NetworkSession::platformSession(), QNetworkRequest(*url), QByteArrayLiteral("GET"), {}, timeout);
    if (!response.received || response.status != 200) co_return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(response.body);
    if (!document.isObject()) co_return std::nullopt;
    co_return document.object();
}

QCoro::Task<QJsonObject> FormatterRequest::postForObject(QNetworkRequest request, QByteArray body,
                                                         std::chrono::milliseconds timeout, QString requiredMember) {
    const HttpResponse response = co_await NetworkSession::perform(NetworkSession::platformSession(), request,
                                                                   QByteArrayLiteral("POST"), body, timeout);
    if (!response.received) {
        throw FormatterRequestError(response.error == QNetworkReply::TimeoutError
                                        ? FormatterRequestError::Kind::timeout
                                        : FormatterRequestError::Kind::transport,
                                    response.errorString);
    }
    if (response.status != 200) throw FormattingError::ollamaRequestFailed();

    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(response.body, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        throw FormatterRequestError(FormatterRequestError::Kind::json, parseError.errorString());
    if (!document.isObject() || !document.object().value(requiredMember).isString())
        throw FormattingError::invalidResponse();
    co_return document.object();
}
