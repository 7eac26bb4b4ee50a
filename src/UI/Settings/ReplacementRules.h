#pragma once

#include "Models/VantroseSettings.h"

#include <QList>
#include <QString>

// Adding and deleting the user's text replacement rules, apart from the tab's widgets.
namespace ReplacementRules {

// "Add" is offered once both fields hold at least one character.
bool canAdd(const QString& trigger, const QString& replacement);

// Why a new rule would not work: empty text when it can be added. A trigger without a word
// could never match, and a second rule for a trigger already there would never apply because
// triggers match ignoring case and spacing and the first rule takes the phrase.
QString problemWithNewRule(const QList<TextReplacement>& rules, const QString& trigger, const QString& replacement);

// The rule appended exactly as typed.
QList<TextReplacement> adding(QList<TextReplacement> rules, const QString& trigger, const QString& replacement);
// Every rule with exactly this trigger removed; the others keep their order.
QList<TextReplacement> removingTrigger(QList<TextReplacement> rules, const QString& trigger);

// How the list shows a trigger: in curly double quotes.
QString quotedTrigger(const QString& trigger);

}  // namespace ReplacementRules
