#include "support/TextRuleProperties.h"

#include "Core/Formatting/RuleBasedFormatter.h"
#include "Core/Formatting/TextRules.h"
#include "Core/Formatting/TextUnits.h"
#include "Core/Formatting/UserTextReplacements.h"

namespace TextRuleProperties {
namespace {

std::string shown(const QString& text) {
    std::string out;
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u >= 0x20 && u < 0x7F)
            out += char(u);
        else
            out += "\\u" + QString::number(u, 16).rightJustified(4, QLatin1Char('0')).toStdString();
    }
    return out;
}

}  // namespace

std::optional<std::string> triggerReplacesItself(const QString& trigger, const QString& value) {
    if (TextUnits::splitAtSpaces(trigger).isEmpty() || trigger.startsWith(QLatin1Char(' ')) ||
        trigger.endsWith(QLatin1Char(' ')) || value.size() > TextRules::growthLimit(trigger.size()))
        return std::nullopt;
    const QString user = UserTextReplacements::apply(trigger, {{trigger, value}});
    if (user != value) return "user replacement of \"" + shown(trigger) + "\" gave \"" + shown(user) + "\"";
    const QString formatter = RuleBasedFormatter::applyReplacements(trigger, {{trigger, value}});
    if (formatter != value)
        return "formatter replacement of \"" + shown(trigger) + "\" gave \"" + shown(formatter) + "\"";
    return std::nullopt;
}

std::optional<std::string> chainsStayBounded(const QString& text, const VantroseSettings& settings) {
    const qsizetype limit = TextRules::growthLimit(text.size());
    const struct {
        const char* name;
        qsizetype size;
    } results[] = {
        {"replacements", RuleBasedFormatter::applyReplacements(text, settings.replacements).size()},
        {"snippets", RuleBasedFormatter::applySnippets(text, settings.snippets).size()},
        {"user replacements", UserTextReplacements::apply(text, settings.textReplacements).size()},
    };
    for (const auto& r : results)
        if (r.size > limit)
            return std::string(r.name) + " grew " + std::to_string(text.size()) + " characters to " +
                   std::to_string(r.size) + ", past " + std::to_string(limit);
    return std::nullopt;
}

std::optional<std::string> strayHalvesChangeNothingElse(const QString& text, const VantroseSettings& settings) {
    const QString valid = TextRules::withValidSurrogates(text);
    RuleBasedFormatter formatter;
    const AppContext context(QStringLiteral("Editor"), QStringLiteral("org.example.editor"), std::nullopt, {}, {}, {},
                             true, {});
    const QString a = formatter.formatNow(text, context, settings).text;
    const QString b = formatter.formatNow(valid, context, settings).text;
    if (a != b)
        return "formatting \"" + shown(text) + "\" gave \"" + shown(a) + "\", without stray halves \"" + shown(b) +
               "\"";
    const QString c = UserTextReplacements::apply(text, settings.textReplacements);
    const QString d = UserTextReplacements::apply(valid, settings.textReplacements);
    if (c != d)
        return "user replacements of \"" + shown(text) + "\" gave \"" + shown(c) + "\", without stray halves \"" +
               shown(d) + "\"";
    return std::nullopt;
}

}  // namespace TextRuleProperties
