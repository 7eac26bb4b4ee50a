#include "Core/Formatting/UserTextReplacements.h"

#include "Core/Formatting/TextRules.h"
#include "Core/TextUnits.h"

#include <QStringList>

QString UserTextReplacements::apply(const QString& text, const QList<TextReplacement>& replacements) {
    QString result = text;
    for (const TextReplacement& rule : replacements) {
        const QStringList pieces = TextUnits::splitAtSpaces(rule.trigger.toLower());
        if (pieces.isEmpty())
            continue;
        QStringList escaped;
        for (const QString& piece : pieces)
            escaped << QRegularExpression::escape(piece);
        const QString body = escaped.join(QStringLiteral("[\\s\\-_.,]*"));
        const QRegularExpression pattern =
            TextRules::compile(TextRules::wholeWord(body, pieces.front(), pieces.back()));
        result = TextRules::replaceAll(result, pattern, rule.replacement);
    }
    return result;
}
