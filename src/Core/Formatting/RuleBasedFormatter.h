#pragma once

#include "Core/Formatting/TextFormatterProtocol.h"
#include "Models/VoiceStyle.h"

#include <QMap>
#include <QStringList>

// The deterministic formatter: the user's replacements and snippets, sentence capitals,
// proper nouns, spoken punctuation, the lone "i", a closing period (a question mark after a
// question) and white-space clean-up, shaped by the voice style the settings give the
// application in front. Never fails, needs no network.
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
    // `capitalizeFirst` false leaves the first letter as it was said (a casual reply to a
    // lower-case conversation); later sentences are still capitalised.
    static QString capitalizeSentences(const QString& text, bool capitalizeFirst = true);
    static QString capitalizeProperNouns(const QString& text, const QStringList& customWords);
    static QString fixCommonMistakes(const QString& text);
    static QString capitalizeLoneI(const QString& text);
    // A closing "." (or "?" when the last sentence asks something) unless the text already ends
    // in a closing mark. Messaging gets none, and neither does a short casual line; a
    // professional or technical text always gets its full stop.
    static QString ensureEndPunctuation(const QString& text, AppType appType, VoiceStyle style = VoiceStyle::natural);
    static QString cleanWhitespace(const QString& text);
    // Notes: every sentence on a line of its own.
    static QString oneSentencePerLine(const QString& text);

    // Whether a sentence asks something: it opens with a question word ("what", "why", "how
    // many"...) or with an auxiliary followed by its subject ("can you", "is it", "do we").
    static bool isQuestion(const QString& sentence);
    // A casual line this short ends without a full stop, as chat messages do.
    static constexpr qsizetype kCasualShortLine = 60;

private:
    const QString m_formatterName = QStringLiteral("RuleBased");
};
