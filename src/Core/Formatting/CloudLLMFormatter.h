#pragma once

#include "Core/Formatting/TextFormatterProtocol.h"

#include <QJsonObject>
#include <QString>

// Formats a transcript on the vendor's cloud service: the raw text, the writing style and a
// context object (application, text around the cursor, screen words, the user's name,
// dictionary, replacements and snippets) go up; the formatted text and the name of the model
// that won the server's race come back. Results are named "cloud:" + that model.
class CloudLLMFormatter final : public TextFormatterProtocol {
public:
    static constexpr auto kRequestTimeout = std::chrono::seconds(10);
    // The health request has no time-out of its own; this only bounds a stuck server.
    static constexpr auto kAvailabilityTimeout = std::chrono::seconds(60);

    explicit CloudLLMFormatter(QString serverURL);

    QCoro::Task<FormattingResult> format(QString rawText, AppContext context, VantroseSettings settings) override;
    QString formatterName() const override { return m_formatterName; }

    // Whether the server's health reply reports any language-model provider up. Never fails.
    QCoro::Task<bool> isAvailable() const;

    const QString& serverURL() const { return m_serverURL; }
    // Tests shorten the formatting time-out.
    void setRequestTimeout(std::chrono::milliseconds timeout) { m_requestTimeout = timeout; }

    // The request body.
    static QJsonObject buildRequestBody(const QString& rawText, const AppContext& context,
                                        const VantroseSettings& settings);

private:
    const QString m_formatterName = QStringLiteral("CloudLLM");
    QString m_serverURL;
    std::chrono::milliseconds m_requestTimeout = kRequestTimeout;
};
