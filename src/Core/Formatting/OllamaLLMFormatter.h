#pragma once

#include "Core/Formatting/TextFormatterProtocol.h"

#include <QString>

// Formats a transcript with a language model on a local Ollama server: one instruction prompt
// from the writing style, the application and what is around the cursor; one non-streamed
// completion; the model's habitual preambles and quotes cleaned off.
//
// The coroutines copy what they need before their first suspension, so a formatter may be
// destroyed while a request is in flight.
class OllamaLLMFormatter final : public TextFormatterProtocol {
public:
    static constexpr auto kRequestTimeout = std::chrono::seconds(10);
    // The model-list request has no time-out of its own; this only keeps a stuck server from
    // holding a dictation forever.
    static constexpr auto kAvailabilityTimeout = std::chrono::seconds(60);

    OllamaLLMFormatter(QString endpoint, QString model);

    QCoro::Task<FormattingResult> format(QString rawText, AppContext context, VantroseSettings settings) override;
    QString formatterName() const override { return m_formatterName; }

    // Whether the server answers its model list with a model whose name starts with `model`.
    // Never fails: every problem answers false.
    QCoro::Task<bool> isAvailable() const;

    // Tests shorten the generate time-out.
    void setRequestTimeout(std::chrono::milliseconds timeout) { m_requestTimeout = timeout; }

    const QString& endpoint() const { return m_endpoint; }
    const QString& model() const { return m_model; }

    static QString buildPrompt(const QString& rawText, const AppContext& context, const VantroseSettings& settings);
    static QString cleanLLMResponse(const QString& response);

private:
    const QString m_formatterName = QStringLiteral("OllamaLLM");
    QString m_endpoint;
    QString m_model;
    std::chrono::milliseconds m_requestTimeout = kRequestTimeout;
};
