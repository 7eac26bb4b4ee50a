#include "Core/Formatting/CloudLLMFormatter.h"

#include "Core/Cloud/AccountAccess.h"
#include "Core/Formatting/FormatterRequest.h"
#include "Core/Formatting/TextUnits.h"
#include "Core/LogCategories.h"
#include "Core/Services/Analytics.h"
#include "Foundation/Clock.h"
#include "Foundation/Logger.h"
#include "Foundation/StringShield.h"
#include "Models/RawValue.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkRequest>

namespace {

QJsonObject stringMap(const QMap<QString, QString>& map) {
    QJsonObject object;
    for (auto it = map.cbegin(); it != map.cend(); ++it) object.insert(it.key(), it.value());
    return object;
}

}  // namespace

CloudLLMFormatter::CloudLLMFormatter(QString serverURL) : m_serverURL(std::move(serverURL)) {}

QJsonObject CloudLLMFormatter::buildRequestBody(const QString& rawText, const AppContext& context,
                                                const VantroseSettings& settings) {
    const QStringList nameParts = TextUnits::splitAtSpaces(settings.userName);
    const QString firstName = nameParts.isEmpty() ? QString() : nameParts.front();
    const QString lastName = nameParts.mid(1).join(QLatin1Char(' '));

    const QJsonObject app{
        {QStringLiteral("name"), context.appName},
        {QStringLiteral("bundle_id"), context.bundleId},
        {QStringLiteral("type"), rawValue(context.appType)},
        {QStringLiteral("url"), context.appURL.value_or(QString())},
    };
    const QJsonObject contextObject{
        {QStringLiteral("app"), app},
        {QStringLiteral("before_text"), TextUnits::lastCharacters(context.beforeText, 500)},
        {QStringLiteral("after_text"), TextUnits::firstCharacters(context.afterText, 200)},
        {QStringLiteral("selected_text"), context.selectedText},
        {QStringLiteral("ocr_context"), QJsonArray::fromStringList(context.ocrContext)},
        {QStringLiteral("user_first_name"), firstName},
        {QStringLiteral("user_last_name"), lastName},
        {QStringLiteral("dictionary_context"), QJsonArray::fromStringList(settings.customWords)},
        {QStringLiteral("replacements"), stringMap(settings.replacements)},
        {QStringLiteral("snippets"), stringMap(settings.snippets)},
    };
    return QJsonObject{
        {QStringLiteral("text"), rawText},
        {QStringLiteral("context"), contextObject},
        {QStringLiteral("style"), rawValue(settings.writingStyle)},
        {QStringLiteral("app_type"), rawValue(context.appType)},
    };
}

QCoro::Task<FormattingResult> CloudLLMFormatter::format(QString rawText, AppContext context,
                                                        VantroseSettings settings) {
    const Clock::TimePoint start = Clock::current().monotonicNow();
    const std::chrono::milliseconds timeout = m_requestTimeout;
    const QByteArray body = QJsonDocument(buildRequestBody(rawText, context, settings)).toJson(QJsonDocument::Compact);
    const QUrl url =
        FormatterRequest::urlOrThrow(m_serverURL, StringShield::pathFormat(), QStringLiteral("cloud formatter"));

    QNetworkRequest request(url);
    request.setRawHeader(StringShield::hdrContentType().toUtf8(), StringShield::mimeJSON().toUtf8());
    request.setRawHeader(StringShield::hdrDeviceID().toUtf8(), Analytics::shared().deviceID().toUtf8());

    const std::optional<QString> token = co_await AccountAccess::getAccessToken();
    // A signed-out user still gets formatting; a token only ever goes to the account server.
    if (token && !token->isEmpty() && AccountAccess::mayCarryToken(url))
        request.setRawHeader(StringShield::hdrAuth().toUtf8(), (StringShield::hdrBearer() + *token).toUtf8());

    const QJsonObject reply = co_await FormatterRequest::postForObject(request, body, timeout, QStringLiteral("text"));

    const double latencyMs = Clock::current().millisecondsSince(start);
    const QJsonValue winnerValue = reply.value(QStringLiteral("race_winner"));
    const QString winner = winnerValue.isString() ? winnerValue.toString() : QStringLiteral("unknown");
    VLOG_INFO(lcCloudLLMFormatter)
        << QStringLiteral("formatted in %1ms (%2)").arg(QString::number(latencyMs, 'f', 0), winner);
    co_return FormattingResult{reply.value(QStringLiteral("text")).toString(), latencyMs,
                               QStringLiteral("cloud:") + winner};
}

QCoro::Task<bool> CloudLLMFormatter::isAvailable() const {
    const std::optional<QJsonObject> reply =
        co_await FormatterRequest::getObject(m_serverURL, StringShield::pathHealth(), kAvailabilityTimeout);
    const QJsonValue providers = reply ? reply->value(QStringLiteral("llm_providers")) : QJsonValue();
    if (!providers.isObject()) co_return false;
    bool anyUp = false;
    for (const auto& up : providers.toObject()) {
        if (!up.isBool()) co_return false;
        anyUp = anyUp || up.toBool();
    }
    co_return anyUp;
}
