#include "Core/Formatting/AdaptiveFormatter.h"

#include "Core/Formatting/TextUnits.h"
#include "Core/LogCategories.h"
#include "Foundation/Logger.h"

AdaptiveFormatter::AdaptiveFormatter(const QString& ollamaEndpoint, const QString& ollamaModel)
    : m_llmFormatter(ollamaEndpoint, ollamaModel) {}

bool AdaptiveFormatter::wantsLanguageModel(const QString& rawText, AppType appType) {
    switch (appType) {
    case AppType::email:
    case AppType::document:
    case AppType::ai:
    case AppType::social: return true;
    default: return TextUnits::splitAtSpaces(rawText).size() > kLongDictationWords;
    }
}

QCoro::Task<FormattingResult> AdaptiveFormatter::format(QString rawText, AppContext context,
                                                        VantroseSettings settings) {
    // Copies: the formatter may be destroyed while the model is asked.
    const RuleBasedFormatter rules;
    OllamaLLMFormatter llm = m_llmFormatter;
    const std::shared_ptr<std::optional<bool>> available = m_llmAvailable;

    if (!settings.useLLMFormatting || !wantsLanguageModel(rawText, context.appType))
        co_return rules.formatNow(rawText, context, settings);

    if (!available->has_value()) *available = co_await llm.isAvailable();
    if (!available->value()) co_return rules.formatNow(rawText, context, settings);

    try {
        co_return co_await llm.format(rawText, context, settings);
    } catch (const std::exception& error) {
        VLOG_WARNING(lcAdaptiveFormatter) << "LLM failed, falling back to rules: " << QString::fromUtf8(error.what());
    }
    co_return rules.formatNow(rawText, context, settings);
}
