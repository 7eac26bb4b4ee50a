#pragma once

#include "Models/DictationMetrics.h"
#include "Models/DictationStatus.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QUuid>

#include <cstdint>
#include <optional>

// What the maker of a dictation record supplies: every field except id, wordCount and timestamp.
struct TranscriptionResultFields {
    QString rawText;
    QString formattedText;
    QString pastedText;         // empty means "the formatted text"
    double duration = 0;        // seconds of recorded audio
    double speechDuration = 0;  // seconds of speech in it
    QString language;
    QString detectedLanguage;
    ResponseStatus status = ResponseStatus::formatted;
    double micAcquisitionTimeMs = 0;
    double asrTimeMs = 0;
    double formatTimeMs = 0;
    double insertTimeMs = 0;
    double totalTimeMs = 0;
    double contextGatherTimeMs = 0;
    float averageLogProb = 0;
    QString asrTierUsed;
    bool usedFallbackASR = false;
    bool usedFallbackFormatting = false;
    QString appName;
    QString appBundleId;
    std::optional<QString> appURL;
    QString appType;  // raw value of the AppType
    QStringList ocrContext;
    QString formatterUsed;
    float formattingDivergenceScore = 0;
    bool hasRevertedAI = false;
    std::optional<QByteArray> screenshotData;
    DictationLatencyMetrics latencyMetrics;
    DictationPersistenceMetrics persistenceMetrics;
};

// The record of one finished dictation: the supplied fields plus what the record stamps itself.
struct TranscriptionResult : TranscriptionResultFields {
    using Fields = TranscriptionResultFields;

    // A new record: a fresh random id, the current time, the word count of the formatted
    // text, and the formatted text as the pasted text when no pasted text was given.
    explicit TranscriptionResult(Fields fields);

    // Words of `text`: the non-empty pieces between runs of white space (spaces, tabs, line
    // breaks and the other Unicode white-space characters).
    static std::int64_t countWords(const QString& text);

    QUuid id;
    std::int64_t wordCount = 0;
    QDateTime timestamp;
};
