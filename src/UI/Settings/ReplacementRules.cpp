#include "UI/Settings/ReplacementRules.h"

#include "Core/Formatting/TextUnits.h"

namespace ReplacementRules {
namespace {

// The form in which the replacement step compares triggers.
QString matchingForm(const QString& trigger) {
    return TextUnits::splitAtSpaces(trigger.toLower()).join(QLatin1Char(' '));
}

}  // namespace

bool canAdd(const QString& trigger, const QString& replacement) { return !trigger.isEmpty() && !replacement.isEmpty(); }

QString problemWithNewRule(const QList<TextReplacement>& rules, const QString& trigger, const QString& replacement) {
    if (!canAdd(trigger, replacement)) return QStringLiteral("Enter both the phrase and its replacement.");
    const QString form = matchingForm(trigger);
    if (trigger.trimmed().isEmpty())
        return QStringLiteral("The phrase needs at least one word; spaces alone never match.");
    for (const TextReplacement& rule : rules) {
        if (matchingForm(rule.trigger) == form) {
            return QStringLiteral("%1 already has a replacement. Delete that rule first to change it.")
                .arg(quotedTrigger(rule.trigger));
        }
    }
    return {};
}

QList<TextReplacement> adding(QList<TextReplacement> rules, const QString& trigger, const QString& replacement) {
    rules.append(TextReplacement{trigger, replacement});
    return rules;
}

QList<TextReplacement> removingTrigger(QList<TextReplacement> rules, const QString& trigger) {
    rules.removeIf([&](const TextReplacement& rule) { return rule.trigger == trigger; });
    return rules;
}

QString quotedTrigger(const QString& trigger) { return QStringLiteral("“") + trigger + QStringLiteral("”"); }

}  // namespace ReplacementRules
