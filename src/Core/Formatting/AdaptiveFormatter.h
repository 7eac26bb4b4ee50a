#pragma once

#include "Core/Formatting/OllamaLLMFormatter.h"
#include "Core/Formatting/RuleBasedFormatter.h"

#include <memory>
#include <optional>

// The default formatter: long dictations, and dictations into mail, documents, AI assistants
// and social applications, go to the local language model when the user switched it on and
// the server has the model; everything else, and every model failure, goes to the rules.
class AdaptiveFormatter final : public TextFormatterProtocol {
public:
    static constexpr qsizetype kLongDictationWords = 30;

    AdaptiveFormatter(const QString& ollamaEndpoint, const QString& ollamaModel);

    QCoro::Task<FormattingResult> format(QString rawText, AppContext context, VantroseSettings settings) override;
    QString formatterName() const override { return m_formatterName; }

    const OllamaLLMFormatter& llmFormatter() const { return m_llmFormatter; }
    OllamaLLMFormatter& llmFormatter() { return m_llmFormatter; }
    // Absent until the first dictation that wants the model; then kept for the formatter's life.
    std::optional<bool> llmAvailable() const { return *m_llmAvailable; }

private:
    static bool wantsLanguageModel(const QString& rawText, AppType appType);

    const QString m_formatterName = QStringLiteral("Adaptive");
    OllamaLLMFormatter m_llmFormatter;
    // Shared with running format() calls, which may outlive the formatter.
    std::shared_ptr<std::optional<bool>> m_llmAvailable = std::make_shared<std::optional<bool>>();
};
