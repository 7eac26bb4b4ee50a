#include "Models/TranscriptionResult.h"

#include "Core/Clock.h"
#include "Models/Personalization.h"

TranscriptionResult::TranscriptionResult(Fields f)
    : id(QUuid::createUuid()),
      rawText(std::move(f.rawText)),
      formattedText(std::move(f.formattedText)),
      pastedText(f.pastedText.isEmpty() ? formattedText : std::move(f.pastedText)),
      duration(f.duration),
      speechDuration(f.speechDuration),
      wordCount(countWords(formattedText)),
      language(std::move(f.language)),
      detectedLanguage(std::move(f.detectedLanguage)),
      timestamp(Clock::current().now()),
      status(f.status),
      micAcquisitionTimeMs(f.micAcquisitionTimeMs),
      asrTimeMs(f.asrTimeMs),
      formatTimeMs(f.formatTimeMs),
      insertTimeMs(f.insertTimeMs),
      totalTimeMs(f.totalTimeMs),
      contextGatherTimeMs(f.contextGatherTimeMs),
      averageLogProb(f.averageLogProb),
      asrTierUsed(std::move(f.asrTierUsed)),
      usedFallbackASR(f.usedFallbackASR),
      usedFallbackFormatting(f.usedFallbackFormatting),
      appName(std::move(f.appName)),
      appBundleId(std::move(f.appBundleId)),
      appURL(std::move(f.appURL)),
      appType(std::move(f.appType)),
      ocrContext(std::move(f.ocrContext)),
      formatterUsed(std::move(f.formatterUsed)),
      formattingDivergenceScore(f.formattingDivergenceScore),
      hasRevertedAI(f.hasRevertedAI),
      screenshotData(std::move(f.screenshotData)),
      latencyMetrics(std::move(f.latencyMetrics)),
      persistenceMetrics(std::move(f.persistenceMetrics)) {}

std::int64_t TranscriptionResult::countWords(const QString& text) {
    return ::countWords(text);
}
