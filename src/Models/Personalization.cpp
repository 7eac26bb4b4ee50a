#include "Models/Personalization.h"

#include "Foundation/Logger.h"
#include "Models/LogCategories.h"

#include <limits>

void PersonalizationSettings::recordDictation(qint64 wordCount) {
    qint64 total = 0;
    if (__builtin_add_overflow(totalWordsDictated, wordCount, &total)) {
        total = wordCount > 0 ? std::numeric_limits<qint64>::max() : std::numeric_limits<qint64>::min();
    }
    totalWordsDictated = total;
    if (totalWordsDictated >= voiceProfileWordThreshold && !voiceProfileUnlocked) {
        voiceProfileUnlocked = true;
        VLOG_INFO(lcPersonalization) << QStringLiteral("Voice profile unlocked! (%1 words)").arg(totalWordsDictated);
    }
}

QJsonObject PersonalizationSettings::toJson() const {
    QJsonObject json{
        {QStringLiteral("personalStyle"), rawValue(personalStyle)},
        {QStringLiteral("workStyle"), rawValue(workStyle)},
        {QStringLiteral("emailStyle"), rawValue(emailStyle)},
        {QStringLiteral("otherStyle"), rawValue(otherStyle)},
        {QStringLiteral("editingStrength"), rawValue(editingStrength)},
        {QStringLiteral("formattingMode"), rawValue(formattingMode)},
        {QStringLiteral("slackTagging"), slackTagging},
        {QStringLiteral("emailSignatureEnabled"), emailSignatureEnabled},
        {QStringLiteral("emailSignature"), emailSignature},
        {QStringLiteral("signaturePrefix"), rawValue(signaturePrefix)},
        {QStringLiteral("totalWordsDictated"), totalWordsDictated},
        {QStringLiteral("voiceProfileUnlocked"), voiceProfileUnlocked},
        {QStringLiteral("writingSamples"), QJsonArray::fromStringList(writingSamples)},
    };
    if (overrideStyle) json.insert(QStringLiteral("overrideStyle"), rawValue(*overrideStyle));
    return json;
}

JsonResult<PersonalizationSettings> PersonalizationSettings::fromJson(const QJsonValue& json, const QString& path) {
    JsonDecoder d(json, path);
    const auto style = [&d](const char* key) {
        return d.enumeration<WritingStyle>(QLatin1String(key), fromRawValue<WritingStyle>);
    };
    PersonalizationSettings p;
    p.personalStyle = style("personalStyle");
    p.workStyle = style("workStyle");
    p.emailStyle = style("emailStyle");
    p.otherStyle = style("otherStyle");
    p.overrideStyle = d.optionalEnumeration<WritingStyle>(QStringLiteral("overrideStyle"), fromRawValue<WritingStyle>);
    p.editingStrength =
        d.enumeration<EditingStrength>(QStringLiteral("editingStrength"), fromRawValue<EditingStrength>);
    p.formattingMode = d.enumeration<FormattingMode>(QStringLiteral("formattingMode"), fromRawValue<FormattingMode>);
    p.slackTagging = d.boolean(QStringLiteral("slackTagging"));
    p.emailSignatureEnabled = d.boolean(QStringLiteral("emailSignatureEnabled"));
    p.emailSignature = d.string(QStringLiteral("emailSignature"));
    p.signaturePrefix =
        d.enumeration<SignaturePrefix>(QStringLiteral("signaturePrefix"), fromRawValue<SignaturePrefix>);
    p.totalWordsDictated = d.integer<qint64>(QStringLiteral("totalWordsDictated"));
    p.voiceProfileUnlocked = d.boolean(QStringLiteral("voiceProfileUnlocked"));
    p.writingSamples = d.stringList(QStringLiteral("writingSamples"));
    return d.finish(std::move(p));
}

qint64 countWords(QStringView text) {
    qint64 words = 0;
    bool inWord = false;
    for (const QChar c : text) {
        const bool space = c.isSpace();
        if (!space && !inWord) ++words;
        inWord = !space;
    }
    return words;
}
