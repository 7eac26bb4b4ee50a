#include "Core/Formatting/UserTextReplacements.h"

#include "Core/Formatting/TextRules.h"
#include "Core/Formatting/TextUnits.h"
#include "Core/LogCategories.h"
#include "Foundation/Logger.h"

#include <QStringList>

QString UserTextReplacements::apply(const QString& text, const QList<TextReplacement>& replacements) {
    const qsizetype maxLength = TextRules::growthLimit(text.size());
    QString result = TextRules::withValidSurrogates(text);
    for (const TextReplacement& rule : replacements) {
        // Not lower-cased: the pattern ignores case, and lower-casing can change a trigger's
        // length ("İ" becomes two code units) so that it no longer matches its own text.
        const QStringList pieces = TextUnits::splitAtSpaces(rule.trigger);
        if (pieces.isEmpty()) continue;
        QStringList escaped;
        for (const QString& piece : pieces) escaped << TextRules::escape(piece);
        const QString body = escaped.join(QStringLiteral("[\\s\\-_.,]*"));
        const QRegularExpression pattern =
            TextRules::compile(TextRules::wholeWord(body, pieces.front(), pieces.back()));
        std::optional<QString> next = TextRules::replaceAllWithin(result, pattern, rule.replacement, maxLength);
        if (!next) {
            VLOG_WARNING(lcUserTextReplacements) << QStringLiteral(
                                                        "Replacements would grow the text past %1 characters — "
                                                        "skipping the remaining rules")
                                                        .arg(maxLength);
            break;
        }
        result = std::move(*next);
    }
    return result;
}
