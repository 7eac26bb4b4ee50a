#pragma once

#include "Core/Formatting/FormattingResult.h"

#include "support/text/TaskOutcome.h"

#include <gtest/gtest.h>

#include <optional>

// What a formatter call is expected to throw: one of the formatter's own errors with its exact
// description, or a transport or JSON error of a given kind.
struct ExpectedFormatterError {
    std::optional<FormattingError::Kind> kind;
    const char* description = "";
    std::optional<FormatterRequestError::Kind> requestKind;

    static ExpectedFormatterError requestFailed() {
        return {FormattingError::Kind::ollamaRequestFailed, "Ollama API request failed", {}};
    }
    static ExpectedFormatterError invalidResponse() {
        return {FormattingError::Kind::invalidResponse, "Invalid response from formatter", {}};
    }
    static ExpectedFormatterError request(FormatterRequestError::Kind kind) { return {{}, "", kind}; }
};

inline void expectFormatterError(const TaskOutcome<FormattingResult>& outcome, const ExpectedFormatterError& expected) {
    ASSERT_TRUE(outcome.error) << "nothing was thrown";
    if (expected.kind) {
        const auto error = outcome.errorAs<FormattingError>();
        ASSERT_TRUE(error) << "not a FormattingError";
        EXPECT_EQ(error->kind(), *expected.kind);
        EXPECT_EQ(error->localizedDescription().toStdString(), expected.description);
    } else {
        const auto error = outcome.errorAs<FormatterRequestError>();
        ASSERT_TRUE(error) << "not a FormatterRequestError";
        EXPECT_EQ(error->kind(), *expected.requestKind) << error->what();
        EXPECT_FALSE(error->localizedDescription().isEmpty());
    }
}
