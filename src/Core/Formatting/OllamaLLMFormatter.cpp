#include "Core/Formatting/OllamaLLMFormatter.h"

#include "Core/Formatting/FormatterRequest.h"
#include "Core/Formatting/TextUnits.h"
#include "Core/LogCategories.h"
#include "Foundation/Clock.h"
#include "Foundation/Logger.h"
#include "Foundation/StringShield.h"
#include "Models/VoiceStyle.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkRequest>

#include <array>

namespace {

const char* styleSentence(WritingStyle style) {
    switch (style) {
    case WritingStyle::default_: return "Use a natural, neutral tone.";
    case WritingStyle::formal: return "Use formal, professional language.";
    case WritingStyle::casual: return "Use casual, conversational language.";
    case WritingStyle::veryCasual: return "Use very casual language, like texting a friend.";
    case WritingStyle::concise: return "Be as concise as possible while preserving meaning.";
    case WritingStyle::excited: return "Use an enthusiastic, energetic tone.";
    }
    return "";
}

const char* applicationSentence(AppType type) {
    switch (type) {
    case AppType::email: return "This is for an email. Use appropriate email formatting.";
    case AppType::messaging:
        return "This is for a chat message. Keep it casual and concise. Don't add a period at the end.";
    case AppType::coding: return "This is a code comment or documentation. Use technical language.";
    case AppType::ai: return "This is a prompt for an AI assistant. Be clear and detailed.";
    default: return "";
    }
}

constexpr std::array<const char*, 3> kPreambles = {
    "Here is the formatted text:", "Formatted text:", "Here's the formatted version:"};

}  // namespace

OllamaLLMFormatter::OllamaLLMFormatter(QString endpoint, QString model)
    : m_endpoint(std::move(endpoint)),
      m_model(std::move(model)) {}

QString OllamaLLMFormatter::buildPrompt(const QString& rawText, const AppContext& context,
                                        const VantroseSettings& settings) {
    QString prompt = QStringLiteral(
        "Format the following raw speech transcript into properly written text. Apply correct punctuation, "
        "capitalization, and paragraph breaks where appropriate. ");
    prompt += QString::fromUtf8(styleSentence(settings.writingStyle));
    prompt += QLatin1Char(' ');
    prompt += QString::fromUtf8(applicationSentence(context.appType));
    // The voice style (or the user's own instruction) chosen for the application in front.
    const QString instruction = VoiceStyles::instructionFor(settings, context.bundleId).value_or(QString()).trimmed();
    if (!instruction.isEmpty()) prompt += QStringLiteral(" Style for this app: ") + instruction;
    prompt += QLatin1Char('\n');
    if (!context.beforeText.isEmpty()) {
        prompt += QStringLiteral("\nText before cursor: \"") + TextUnits::lastCharacters(context.beforeText, 200) +
                  QLatin1Char('"');
    }
    if (!context.ocrContext.isEmpty())
        prompt +=
            QStringLiteral("\nWords visible on screen: ") + context.ocrContext.mid(0, 80).join(QStringLiteral(", "));
    prompt += QStringLiteral("\nOutput ONLY the formatted text, nothing else. Do not add any preamble or explanation.");
    prompt += QStringLiteral("\n\nRaw transcript: ") + rawText + QStringLiteral("\n\nFormatted text:");
    return prompt;
}

QString OllamaLLMFormatter::cleanLLMResponse(const QString& response) {
    QString text = response.trimmed();
    for (const char* preamble : kPreambles) {
        const QString lowered = QString::fromUtf8(preamble).toLower();
        if (text.toLower().startsWith(lowered)) text = text.mid(lowered.size()).trimmed();
    }
    if (text.startsWith(QLatin1Char('"')) && text.endsWith(QLatin1Char('"')))
        text = text.size() <= 1 ? QString() : text.mid(1, text.size() - 2);
    return text;
}

QCoro::Task<FormattingResult> OllamaLLMFormatter::format(QString rawText, AppContext context,
                                                         VantroseSettings settings) {
    const double start = Clock::current().monotonicMs();
    const QString model = m_model;
    const int timeoutMs = m_requestTimeoutMs;
    const QString name = m_formatterName + QLatin1Char(':') + model;
    QNetworkRequest request(
        FormatterRequest::urlOrThrow(m_endpoint, QStringLiteral("/api/generate"), QStringLiteral("Ollama endpoint")));
    request.setRawHeader(StringShield::hdrContentType().toUtf8(), StringShield::mimeJSON().toUtf8());

    const QJsonObject body{
        {QStringLiteral("model"), model},
        {QStringLiteral("prompt"), buildPrompt(rawText, context, settings)},
        {QStringLiteral("stream"), false},
        {QStringLiteral("options"), QJsonObject{{QStringLiteral("temperature"), 0.1},
                                                {QStringLiteral("top_p"), 0.9},
                                                {QStringLiteral("num_predict"), 512}}},
    };
    const QJsonObject reply = co_await FormatterRequest::postForObject(
        request, QJsonDocument(body).toJson(QJsonDocument::Compact), timeoutMs, QStringLiteral("response"));

    const double latencyMs = Clock::current().monotonicMs() - start;
    const QString text = cleanLLMResponse(reply.value(QStringLiteral("response")).toString());
    VLOG_INFO(lcOllamaLLM)
        << QStringLiteral("Formatted in %1ms using %2").arg(QString::number(latencyMs, 'f', 0), model);
    co_return FormattingResult{text, latencyMs, name};
}

QCoro::Task<bool> OllamaLLMFormatter::isAvailable() const {
    const QString model = m_model;
    const std::optional<QJsonObject> reply =
        co_await FormatterRequest::getObject(m_endpoint, QStringLiteral("/api/tags"), kAvailabilityTimeoutMs);
    const QJsonValue models = reply ? reply->value(QStringLiteral("models")) : QJsonValue();
    if (!models.isArray()) co_return false;
    bool found = false;
    for (const auto& entry : models.toArray()) {
        if (!entry.isObject()) co_return false;  // a list that is not all objects is a reply we do not understand
        const QJsonValue name = entry.toObject().value(QStringLiteral("name"));
        found = found || (name.isString() && name.toString().startsWith(model));
    }
    co_return found;
}
