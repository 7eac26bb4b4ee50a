#include "Core/Formatting/RuleBasedFormatter.h"

#include "Core/Formatting/TextRules.h"
#include "Core/Formatting/TextUnits.h"
#include "Core/LogCategories.h"
#include "Foundation/Clock.h"
#include "Foundation/Logger.h"

#include <QHash>
#include <QSet>

#include <array>

namespace {

struct ProperNoun {
    const char* word;     // lower case, letters only
    const char* written;  // nullptr: the word with its first letter upper-cased
};

constexpr std::array<ProperNoun, 41> kProperNouns = {{
    {"monday", nullptr},
    {"tuesday", nullptr},
    {"wednesday", nullptr},
    {"thursday", nullptr},
    {"friday", nullptr},
    {"saturday", nullptr},
    {"sunday", nullptr},
    {"january", nullptr},
    {"february", nullptr},
    {"march", nullptr},
    {"april", nullptr},
    {"may", nullptr},
    {"june", nullptr},
    {"july", nullptr},
    {"august", nullptr},
    {"september", nullptr},
    {"october", nullptr},
    {"november", nullptr},
    {"december", nullptr},
    {"google", nullptr},
    {"apple", nullptr},
    {"microsoft", nullptr},
    {"amazon", nullptr},
    {"facebook", nullptr},
    {"meta", nullptr},
    {"slack", nullptr},
    {"discord", nullptr},
    {"notion", nullptr},
    {"figma", nullptr},
    {"github", "GitHub"},
    {"gitlab", "GitLab"},
    {"javascript", "JavaScript"},
    {"typescript", "TypeScript"},
    {"python", nullptr},
    {"swift", nullptr},
    {"rust", nullptr},
    {"golang", "Go"},
    {"iphone", "iPhone"},
    {"ipad", "iPad"},
    {"macbook", "MacBook"},
    {"imac", "iMac"},
}};

struct SpokenMark {
    const char* spoken;
    const char* written;
};

constexpr std::array<SpokenMark, 8> kSpokenPunctuation = {{
    {"period", "."},
    {"comma", ","},
    {"question mark", "?"},
    {"exclamation mark", "!"},
    {"exclamation point", "!"},
    {"new line", "\n"},
    {"newline", "\n"},
    {"new paragraph", "\n\n"},
}};

// A text ending in one of these gets no closing period.
const QString kClosingCharacters = QStringLiteral(".!?:;,)]\"'");

// A fixed table as one alternation of whole words, compiled once: the terms cannot match each
// other's written forms, so one pass gives what one pass per term would.
struct TableRule {
    QRegularExpression pattern;
    QHash<QString, QString> writtenByLowered;
};

template <typename Entries, typename Written>
TableRule makeTableRule(const Entries& entries, Written written) {
    TableRule rule;
    QStringList alternatives;
    for (const auto& entry : entries) {
        const QString term = QString::fromUtf8(entry.first);
        alternatives << TextRules::escape(term);
        rule.writtenByLowered.insert(term.toLower(), written(entry));
    }
    rule.pattern = TextRules::compile(QStringLiteral("\\b(?:") + alternatives.join('|') + QStringLiteral(")\\b"));
    rule.pattern.optimize();
    return rule;
}

QString applyTable(const QString& text, const TableRule& rule) {
    return TextRules::replaceAll(text, rule.pattern, [&rule](const QRegularExpressionMatch& match) {
        return rule.writtenByLowered.value(match.captured(0).toLower(), match.captured(0));
    });
}

const TableRule& properNounRule() {
    static const TableRule rule = [] {
        std::vector<std::pair<const char*, const char*>> entries;
        entries.reserve(std::size(kProperNouns));
        for (const auto& noun : kProperNouns) entries.emplace_back(noun.word, noun.written);
        return makeTableRule(entries, [](const std::pair<const char*, const char*>& entry) {
            if (entry.second) return QString::fromUtf8(entry.second);
            QString word = QString::fromUtf8(entry.first);
            word[0] = word[0].toUpper();
            return word;
        });
    }();
    return rule;
}

const TableRule& spokenPunctuationRule() {
    static const TableRule rule = [] {
        std::vector<std::pair<const char*, const char*>> entries;
        entries.reserve(std::size(kSpokenPunctuation));
        for (const auto& mark : kSpokenPunctuation) entries.emplace_back(mark.spoken, mark.written);
        return makeTableRule(
            entries, [](const std::pair<const char*, const char*>& entry) { return QString::fromUtf8(entry.second); });
    }();
    return rule;
}

QRegularExpression wholeWordPattern(const QString& term) {
    return TextRules::compile(TextRules::wholeWord(TextRules::escape(term), term));
}

// Replaces whole-word matches of `term`, ignoring case, with `literal`.
QString replaceWholeWord(const QString& text, const QString& term, const QString& literal) {
    if (term.isEmpty()) return text;
    return TextRules::replaceAll(text, wholeWordPattern(term), literal);
}

// The letters of the text before the caret, near the caret, are all lower case: the user writes
// without capitals there.
bool followsLowerCase(const QString& beforeText) {
    const QString near = TextUnits::lastCharacters(beforeText.trimmed(), 100);
    bool anyLetter = false;
    for (const QChar c : near) {
        if (!c.isLetter()) continue;
        if (!c.isLower()) return false;
        anyLetter = true;
    }
    return anyLetter;
}

// The last sentence of a text that does not end in a closing mark: what follows the last
// sentence end (a mark followed by white space, or a line break).
QString lastSentence(const QString& text) {
    for (qsizetype i = text.size() - 1; i >= 0; --i) {
        const QChar c = text[i];
        const bool end =
            c == QLatin1Char('\n') || ((c == QLatin1Char('.') || c == QLatin1Char('!') || c == QLatin1Char('?')) &&
                                       i + 1 < text.size() && text[i + 1].isSpace());
        if (end) return text.mid(i + 1).trimmed();
    }
    return text;
}

void logGrowthLimit(const char* rules, qsizetype maxLength) {
    VLOG_WARNING(lcRuleBasedFormatter)
        << QStringLiteral("%1 would grow the text past %2 characters — skipping the remaining rules")
               .arg(QLatin1String(rules))
               .arg(maxLength);
}

}  // namespace

QCoro::Task<FormattingResult> RuleBasedFormatter::format(QString rawText, AppContext context,
                                                         VantroseSettings settings) {
    co_return formatNow(rawText, context, settings);
}

FormattingResult RuleBasedFormatter::formatNow(const QString& rawText, const AppContext& context,
                                               const VantroseSettings& settings) const {
    const double start = Clock::current().monotonicMs();
    QString text = rawText.trimmed();
    if (text.isEmpty()) return {QString(), 0.0, m_formatterName};
    const VoiceStyle style = VoiceStyles::forApp(settings, context.bundleId);

    // One limit for both chains: snippets continue from the replacements' output.
    const qsizetype maxLength = TextRules::growthLimit(text.size());
    bool limited = false;
    text = applyReplacements(text, settings.replacements, maxLength, &limited);
    if (!limited) text = applySnippets(text, settings.snippets, maxLength);
    text = capitalizeSentences(text, !(style == VoiceStyle::casual && followsLowerCase(context.beforeText)));
    text = capitalizeProperNouns(text, settings.customWords);
    text = fixCommonMistakes(text);
    text = capitalizeLoneI(text);
    text = ensureEndPunctuation(text, context.appType, style);
    text = cleanWhitespace(text);
    if (style == VoiceStyle::notes) text = oneSentencePerLine(text);
    return {text, Clock::current().monotonicMs() - start, m_formatterName};
}

QString RuleBasedFormatter::applyReplacements(const QString& text, const QMap<QString, QString>& replacements,
                                              qsizetype maxLength, bool* limited) {
    if (maxLength < 0) maxLength = TextRules::growthLimit(text.size());
    // Sorted key order, so overlapping entries always resolve the same way.
    QString result = TextRules::withValidSurrogates(text);
    for (auto it = replacements.cbegin(); it != replacements.cend(); ++it) {
        if (it.key().isEmpty()) continue;
        std::optional<QString> next =
            TextRules::replaceAllWithin(result, wholeWordPattern(it.key()), it.value(), maxLength);
        if (!next) {
            logGrowthLimit("Replacements", maxLength);
            if (limited) *limited = true;
            break;
        }
        result = std::move(*next);
    }
    return result;
}

QString RuleBasedFormatter::applySnippets(const QString& text, const QMap<QString, QString>& snippets,
                                          qsizetype maxLength, bool* limited) {
    if (maxLength < 0) maxLength = TextRules::growthLimit(text.size());
    QString result = text;
    for (auto it = snippets.cbegin(); it != snippets.cend(); ++it) {
        const QString& trigger = it.key();
        if (trigger.isEmpty()) continue;
        // Counted first, so an expansion past the limit is never built.
        const qsizetype count = result.count(trigger, Qt::CaseInsensitive);
        if (count == 0) continue;
        if (result.size() + count * (it.value().size() - trigger.size()) > maxLength) {
            logGrowthLimit("Snippets", maxLength);
            if (limited) *limited = true;
            break;
        }
        result.replace(trigger, it.value(), Qt::CaseInsensitive);
    }
    return result;
}

QString RuleBasedFormatter::capitalizeSentences(const QString& text, bool capitalizeFirst) {
    // A letter is capitalised at the start and after ".", "!" or "?" followed by white space,
    // so "file.txt", "example.com" and "2.5" keep their case.
    QString result;
    result.reserve(text.size());
    bool capitalizeNext = capitalizeFirst;
    const qsizetype size = text.size();
    for (qsizetype i = 0; i < size;) {
        const char32_t cp = TextUnits::firstCodePoint(QStringView(text).mid(i));
        const qsizetype width = QChar::requiresSurrogates(cp) ? 2 : 1;
        if (capitalizeNext && QChar::isLetter(cp)) {
            result += QStringView(text).mid(i, width).toString().toUpper();
            capitalizeNext = false;
        } else {
            result += QStringView(text).mid(i, width);
        }
        if ((cp == U'.' || cp == U'!' || cp == U'?') && i + 1 < size && text[i + 1].isSpace()) capitalizeNext = true;
        i += width;
    }
    return result;
}

QString RuleBasedFormatter::capitalizeProperNouns(const QString& text, const QStringList& customWords) {
    QString result = text;
    for (const QString& word : customWords) result = replaceWholeWord(result, word, word);  // the pattern ignores case
    return applyTable(result, properNounRule());
}

QString RuleBasedFormatter::fixCommonMistakes(const QString& text) { return applyTable(text, spokenPunctuationRule()); }

QString RuleBasedFormatter::capitalizeLoneI(const QString& text) {
    static const QRegularExpression loneI = TextRules::compile(QStringLiteral("\\bi\\b"), false);
    return TextRules::replaceAll(text, loneI, QStringLiteral("I"));
}

QString RuleBasedFormatter::ensureEndPunctuation(const QString& text, AppType appType, VoiceStyle style) {
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty() || kClosingCharacters.contains(trimmed.back())) return text;
    const bool question = isQuestion(lastSentence(trimmed));
    const bool fullPunctuation = style == VoiceStyle::professional || style == VoiceStyle::technical;
    if (!fullPunctuation) {
        if (appType == AppType::messaging) return text;
        const bool shortLine = !trimmed.contains(QLatin1Char('\n')) && trimmed.size() < kCasualShortLine;
        if (style == VoiceStyle::casual && shortLine && !question) return text;
    }
    return trimmed + (question ? QLatin1Char('?') : QLatin1Char('.'));
}

bool RuleBasedFormatter::isQuestion(const QString& sentence) {
    static const QRegularExpression separators = TextRules::compile(QStringLiteral("[^\\p{L}']+"));
    const QStringList words = sentence.toLower().split(separators, Qt::SkipEmptyParts);
    if (words.isEmpty()) return false;
    const QString& first = words.at(0);
    const QString second = words.size() > 1 ? words.at(1) : QString();

    static const QSet<QString> modalsAndBe{
        QStringLiteral("can"),      QStringLiteral("could"),    QStringLiteral("would"), QStringLiteral("will"),
        QStringLiteral("shall"),    QStringLiteral("should"),   QStringLiteral("is"),    QStringLiteral("are"),
        QStringLiteral("was"),      QStringLiteral("were"),     QStringLiteral("am"),    QStringLiteral("isn't"),
        QStringLiteral("aren't"),   QStringLiteral("can't"),    QStringLiteral("won't"), QStringLiteral("wouldn't"),
        QStringLiteral("couldn't"), QStringLiteral("shouldn't")};
    // Auxiliaries that also open commands ("do the dishes", "have a nice day", "may the best
    // win"): a question only with a pronoun after them.
    static const QSet<QString> otherAuxiliaries{
        QStringLiteral("do"),      QStringLiteral("does"),  QStringLiteral("did"),     QStringLiteral("have"),
        QStringLiteral("has"),     QStringLiteral("had"),   QStringLiteral("may"),     QStringLiteral("might"),
        QStringLiteral("must"),    QStringLiteral("don't"), QStringLiteral("doesn't"), QStringLiteral("didn't"),
        QStringLiteral("haven't"), QStringLiteral("hasn't")};
    static const QSet<QString> pronouns{
        QStringLiteral("you"),      QStringLiteral("i"),        QStringLiteral("we"),
        QStringLiteral("they"),     QStringLiteral("he"),       QStringLiteral("she"),
        QStringLiteral("it"),       QStringLiteral("this"),     QStringLiteral("that"),
        QStringLiteral("these"),    QStringLiteral("those"),    QStringLiteral("there"),
        QStringLiteral("anyone"),   QStringLiteral("anybody"),  QStringLiteral("someone"),
        QStringLiteral("somebody"), QStringLiteral("everyone"), QStringLiteral("everything"),
        QStringLiteral("anything"), QStringLiteral("your"),     QStringLiteral("my"),
        QStringLiteral("our"),      QStringLiteral("their")};
    static const QSet<QString> articles{QStringLiteral("the"), QStringLiteral("a"), QStringLiteral("an")};
    static const QSet<QString> howFollowers{QStringLiteral("many"),  QStringLiteral("much"), QStringLiteral("long"),
                                            QStringLiteral("often"), QStringLiteral("far"),  QStringLiteral("about"),
                                            QStringLiteral("come"),  QStringLiteral("old")};

    if (first == QLatin1String("what") || first == QLatin1String("which")) return !articles.contains(second);
    if (first == QLatin1String("who") || first == QLatin1String("whose") || first == QLatin1String("whom") ||
        first == QLatin1String("why"))
        return true;
    const bool auxiliaryNext = modalsAndBe.contains(second) || otherAuxiliaries.contains(second);
    if (first == QLatin1String("how")) return second.isEmpty() || auxiliaryNext || howFollowers.contains(second);
    // "When I get home" and "where we met" tell; "when is it" and "where are you" ask.
    if (first == QLatin1String("when") || first == QLatin1String("where")) return auxiliaryNext;
    if (modalsAndBe.contains(first)) return pronouns.contains(second) || articles.contains(second);
    if (otherAuxiliaries.contains(first)) return pronouns.contains(second);
    return false;
}

QString RuleBasedFormatter::oneSentencePerLine(const QString& text) {
    static const QRegularExpression sentenceEnd = TextRules::compile(QStringLiteral("([.!?])[ \\t]+(?=\\S)"));
    return TextRules::replaceAll(text, sentenceEnd,
                                 [](const QRegularExpressionMatch& match) { return match.captured(1) + '\n'; });
}

QString RuleBasedFormatter::cleanWhitespace(const QString& text) {
    QString result = text;
    while (result.contains(QLatin1String("  "))) result.replace(QLatin1String("  "), QLatin1String(" "));
    for (const char* mark : {".", ",", "!", "?", ";", ":"})
        result.replace(QLatin1Char(' ') + QLatin1String(mark), QLatin1String(mark));
    return result.trimmed();
}
