// An Ollama reply body: the JSON object's "response" text is cleaned into the formatted text,
// which must be a piece of the reply, never anything else. Prompts are built from arbitrary
// settings text too. Fields (0x1F): the reply body, the raw dictated text.
#include "FuzzSupport.h"

#include "Core/Formatting/OllamaLLMFormatter.h"

#include <QJsonDocument>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fuzz::initialize();
    const QStringList parts = Fuzz::fields(data, size, 2);
    const QJsonObject reply = QJsonDocument::fromJson(parts[0].toUtf8()).object();
    const QString response = reply.value(QStringLiteral("response")).toString();
    const QString cleaned = OllamaLLMFormatter::cleanLLMResponse(response);
    Fuzz::check(response.contains(cleaned), "the cleaned reply is a piece of the reply", response);

    VantroseSettings settings;
    settings.customWords = parts[1].split(QLatin1Char(' '));
    const AppContext context(QStringLiteral("App"), parts[1], parts[1], parts[1], parts[1], {}, true, {});
    (void)OllamaLLMFormatter::buildPrompt(parts[1], context, settings);
    return 0;
}
