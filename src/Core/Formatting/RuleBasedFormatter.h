#pragma once

#include "Core/Formatting/TextFormatterProtocol.h"

#include <QMap>
#include <QStringList>

// The deterministic formatter: the user's replacements and snippets, sentence capitals,
// proper nouns, spoken punctuation, the lone "i", a closing period and white-space clean-up.
// Never fails, needs no network.
class RuleBasedFormatter final : public TextFormatterProtocol {
public:
    QCoro::Task<FormattingResult> format(QString rawText, AppContext context, VantroseSettings settings) override;
    QString formatterName() const override { return m_formatterName; }

    // The same, synchronously (format() only wraps it).
    FormattingResult formatNow(const QString& rawText, const AppContext& context,
                               const VantroseSettings& settings) const;

    // The steps, in the order format() runs them; exposed so each rule can be checked alone.
    // Replacements and snippets run each on the output of the one before; a rule that would take
    // the text past maxLength (by default TextRules::growthLimit of the text given) is skipped
    // with the rest of the chain, and `limited` (when given) is set.
    static QString applyReplacements(const QString& text, const QMap<QString, QString>& replacements,
                                     qsizetype maxLength = -1, bool* limited = nullptr);
    static QString applySnippets(const QString& text, const QMap<QString, QString>& snippets, qsizetype maxLength = -1,
                                 bool* limited = nullptr);
    static QString capitalizeSentences(const QString& text);
    static QString capitalizeProperNouns(const QString& text, const QStringList& customWords);
    static QString fixCommonMistakes(const QString& text);
    static QString capitalizeLoneI(const QString& text);
    static QString ensureEndPunctuation(const QString& text, AppType appType);
    static QString cleanWhitespace(const QString& text);

private:
    const QString m_formatterName = QStringLiteral("RuleBased");
};
