#pragma once

#include "Core/Desktop/AbstractContextReader.h"
#include "Foundation/Clock.h"
#include "support/FakeSupport.h"

#include <QList>

// An accessibility reader over a focused field and window the test describes. Watches of the
// focused element end after their duration on Clock::current(), so a ManualClock drives them.
class FakeContextReader final : public AbstractContextReader, private FakeLifetime {
public:
    struct Observation {
        std::int32_t pid = 0;
        std::chrono::milliseconds duration{0};
        Clock::TimePoint startedAt;  // Clock::current().monotonicNow()
        std::function<void(const QString&)> onChange;
    };

    std::optional<TextFieldContext> focusedField;  // absent: nothing readable is focused
    QStringList windowWords;
    std::optional<QStringList> contextWords;  // answer of parseContextWords; default: words of the field
    std::chrono::milliseconds readDelay{0};
    int focusedFieldReads = 0;
    int windowReads = 0;
    QList<Observation> observations;

    QCoro::Task<std::optional<TextFieldContext>> readFocusedTextField() override;
    QStringList parseContextWords(const TextFieldContext& field) const override;
    QCoro::Task<QStringList> readActiveWindowText() override;
    void observeTextChanges(std::int32_t pid, std::chrono::milliseconds duration,
                            std::function<void(const QString&)> onChange) override;

    // The focused element of `pid` now holds `text`: every watch of it that has not run out
    // is called on the main thread. Answers how many were.
    int changeText(std::int32_t pid, const QString& text);

    static TextFieldContext field(const QString& before, const QString& selected = {}, const QString& after = {},
                                  bool editable = true);
};
