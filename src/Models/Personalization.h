#pragma once

#include "Models/JsonCoding.h"
#include "Models/RawValue.h"

#include <QString>
#include <QStringList>
#include <QStringView>

#include <optional>

enum class WritingStyle {
    default_,  // "default" (a reserved word in C++)
    formal,
    casual,
    veryCasual,
    concise,
    excited,
};

template <>
struct RawValueTable<WritingStyle> {
    static constexpr std::pair<WritingStyle, const char*> cases[] = {
        {WritingStyle::default_, "default"}, {WritingStyle::formal, "formal"},
        {WritingStyle::casual, "casual"},    {WritingStyle::veryCasual, "very_casual"},
        {WritingStyle::concise, "concise"},  {WritingStyle::excited, "excited"},
    };
};

// How strongly formatting may change the user's words.
enum class EditingStrength { none, light, verbatim };

template <>
struct RawValueTable<EditingStrength> {
    static constexpr std::pair<EditingStrength, const char*> cases[] = {
        {EditingStrength::none, "none"},
        {EditingStrength::light, "light"},
        {EditingStrength::verbatim, "verbatim"},
    };
};

// How the batch road formats a transcript.
enum class FormattingMode {
    aiFormatting,     // run the formatter
    noFormatting,     // leave the transcript as recognised
    casualMessaging,  // run the formatter, then lower-case its text
    allLowercase,     // lower-case the transcript
};

template <>
struct RawValueTable<FormattingMode> {
    static constexpr std::pair<FormattingMode, const char*> cases[] = {
        {FormattingMode::aiFormatting, "ai"},
        {FormattingMode::noFormatting, "raw"},
        {FormattingMode::casualMessaging, "casual"},
        {FormattingMode::allLowercase, "lowercase"},
    };
};

// How an e-mail signature is introduced.
enum class SignaturePrefix { none, written, spoken };

template <>
struct RawValueTable<SignaturePrefix> {
    static constexpr std::pair<SignaturePrefix, const char*> cases[] = {
        {SignaturePrefix::none, "none"},
        {SignaturePrefix::written, "written"},
        {SignaturePrefix::spoken, "spoken"},
    };
};

// How dictated text is written for this user, and the running word count that unlocks the
// voice profile. Travels inside the settings value.
struct PersonalizationSettings {
    static constexpr qint64 voiceProfileWordThreshold = 500;

    WritingStyle personalStyle = WritingStyle::casual;
    WritingStyle workStyle = WritingStyle::default_;
    WritingStyle emailStyle = WritingStyle::formal;
    WritingStyle otherStyle = WritingStyle::default_;
    std::optional<WritingStyle> overrideStyle;  // when set, used instead of the per-context style
    EditingStrength editingStrength = EditingStrength::light;
    FormattingMode formattingMode = FormattingMode::aiFormatting;
    bool slackTagging = true;
    bool emailSignatureEnabled = false;
    QString emailSignature;
    SignaturePrefix signaturePrefix = SignaturePrefix::none;
    qint64 totalWordsDictated = 0;
    bool voiceProfileUnlocked = false;  // set once the count reaches the threshold; never cleared
    QStringList writingSamples;

    // Adds one finished dictation's words (saturating at the 64-bit limit) and unlocks the
    // voice profile when the total first reaches the threshold.
    void recordDictation(qint64 wordCount);

    bool operator==(const PersonalizationSettings&) const = default;

    QJsonObject toJson() const;
    static JsonResult<PersonalizationSettings> fromJson(const QJsonValue& json, const QString& path = {});
};

// The number of words in a text: the non-empty pieces between runs of white space (spaces,
// tabs, line breaks and the other Unicode white-space characters).
qint64 countWords(QStringView text);
