#pragma once

#include <QString>

#include <exception>
#include <string>

// What every formatter gives back.
struct FormattingResult {
    QString text;           // the formatted text
    double latencyMs = 0;   // time spent formatting
    QString formatterName;  // which formatter produced the text

    bool operator==(const FormattingResult&) const = default;
};

// The errors formatters throw besides transport and JSON errors (FormatterRequestError).
class FormattingError : public std::exception {
public:
    enum class Kind { modelNotAvailable, ollamaNotRunning, ollamaRequestFailed, invalidResponse };

    static FormattingError modelNotAvailable(const QString& model) { return {Kind::modelNotAvailable, model}; }
    static FormattingError ollamaNotRunning() { return {Kind::ollamaNotRunning}; }
    static FormattingError ollamaRequestFailed() { return {Kind::ollamaRequestFailed}; }
    static FormattingError invalidResponse() { return {Kind::invalidResponse}; }

    Kind kind() const { return m_kind; }
    QString localizedDescription() const;
    const char* what() const noexcept override { return m_what.c_str(); }

private:
    FormattingError(Kind kind, QString model = {});

    Kind m_kind;
    QString m_model;
    std::string m_what;
};

// A request that failed below the formatter's own checks: no connection, a time-out, or a
// body that is not JSON. Carries the transport's or the parser's own message.
class FormatterRequestError : public std::exception {
public:
    enum class Kind { transport, timeout, json, badURL };

    FormatterRequestError(Kind kind, const QString& message)
        : m_kind(kind),
          m_message(message),
          m_what(message.toStdString()) {}

    Kind kind() const { return m_kind; }
    QString localizedDescription() const { return m_message; }
    const char* what() const noexcept override { return m_what.c_str(); }

private:
    Kind m_kind;
    QString m_message;
    std::string m_what;
};
