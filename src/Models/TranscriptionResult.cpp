#include "Models/TranscriptionResult.h"

#include "Foundation/Clock.h"
#include "Models/Personalization.h"

TranscriptionResult::TranscriptionResult(Fields f)
    : Fields(std::move(f)),
      id(QUuid::createUuid()),
      wordCount(countWords(formattedText)),
      timestamp(Clock::current().now()) {
    if (pastedText.isEmpty()) pastedText = formattedText;
}

std::int64_t TranscriptionResult::countWords(const QString& text) { return ::countWords(text); }
